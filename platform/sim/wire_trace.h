// The simulated host's wire trace: every device request of the run, as the
// scanner's USB link would have carried it, in pcap (USBPcap) form. The
// device calls report each request here; with no trace open that costs one
// test of a null pointer.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/device.h"
#include "scanner_model/scanner_model.h"

class WireTrace {
public:
    // Opens (truncates) the file and writes pcap's file header. False when
    // the file cannot be written.
    bool Open(const std::string& fileName);
    // Flushes and closes; false if any write failed.
    bool Close();

    // The descriptor request on `device`; `descriptor` is what it answered
    // (null when the request failed). `gone`: the handle's device has left.
    void Descriptor(Handle device, bool answered, bool gone, const DeviceDescriptor* descriptor);
    // A bulk write or read on `device`. `transfer` is the scanner's outcome,
    // or null when the call never reached the scanner (a dead handle, or
    // another maker's device).
    void Transfer(Handle device, bool write, const void* data, std::uint32_t size, const ScannerTransfer* transfer);

    // A request already decided elsewhere (the replay of a trace).
    void Record(std::uint16_t address, std::uint8_t kind, const std::uint8_t* out, std::uint32_t size,
                std::uint32_t status, std::uint32_t count, const std::uint8_t* in, std::uint16_t vendorId,
                std::uint16_t productId);

private:
    std::FILE* m_file = nullptr;
    bool m_ok = true;
    std::uint64_t m_requests = 0;
};

// The run's trace, or null when none is written.
extern WireTrace* g_wireTrace;
