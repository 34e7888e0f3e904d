// The simulated host's wire trace: every device request of the run, as the
// scanner's USB link would have carried it, in pcap (USBPcap) form. The
// trace is a link of its own around whatever answers (the scanner model or
// a replay): each request goes on to that link and is recorded with its
// answer on the way back.
#pragma once
#include <cstdint>
#include <cstdio>

#include "platform/sim/device_link.h"

class WireTrace final : public DeviceLink {
public:
    // Starts a trace into `file` (open for writing, owned by the caller),
    // recording the requests `answering` answers. Writes pcap's file
    // header; false when that cannot be written.
    bool Start(std::FILE* file, DeviceLink* answering);
    // Whether every record so far was written.
    bool Good() const { return m_ok; }

    bool Attach(int path, SimObject* device) override;
    DeviceAnswer Describe(const SimObject& device) override;
    DeviceAnswer Write(const SimObject& device, const std::uint8_t* data, std::uint32_t size) override;
    DeviceAnswer Read(const SimObject& device, std::uint8_t* data, std::uint32_t size) override;
    void ResetPipe(const SimObject& device, std::uint8_t direction) override
    {
        m_answering->ResetPipe(device, direction);
    }

private:
    void Record(const SimObject& device, std::uint8_t kind, const std::uint8_t* bytes, std::uint32_t size,
                const DeviceAnswer& answer);

    std::FILE* m_file = nullptr;
    DeviceLink* m_answering = nullptr;
    bool m_ok = true;
    std::uint64_t m_requests = 0;
};
