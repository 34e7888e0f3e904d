// Talks to the simulated scanner through the platform's device calls alone,
// as the updater's transfers do, so the simulated platform is tested
// without the updater's link code in between.
#pragma once
#include <cstdint>
#include <cstdio>
#include <vector>

#include "platform/device.h"
#include "platform/sim/world.h"

// What one transfer looked like from the host.
struct BusResult {
    bool call = false;      // the WriteFile/ReadFile call succeeded
    bool signalled = false; // the completion wait succeeded
    bool fetched = false;   // GetOverlappedResult succeeded
    std::uint32_t count = 0;  // the count the call reported
};

inline BusResult BusTransfer(Handle device, bool write, std::uint8_t* data, std::uint32_t size)
{
    BusResult r;
    Handle event = CreateCompletionEvent();
    TransferOverlapped overlapped{};
    overlapped.hEvent = event;
    r.call = write ? WriteDevice(device, data, size, &r.count, &overlapped)
                   : ReadDevice(device, data, size, &r.count, &overlapped);
    if (r.call) {
        r.signalled = WaitForCompletion(event, 1000);
        std::uint32_t fetched = 0;
        r.fetched = FetchTransferResult(device, &overlapped, &fetched);
    }
    CloseObject(event);
    return r;
}

inline BusResult BusWrite(Handle device, std::vector<std::uint8_t> bytes)
{
    return BusTransfer(device, true, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

inline BusResult BusRead(Handle device, std::vector<std::uint8_t>* into, std::uint32_t size)
{
    into->assign(size, 0);
    return BusTransfer(device, false, into->data(), size);
}

// A command block, written out byte by byte from the wire layout.
inline std::vector<std::uint8_t> Command(std::uint8_t opcode, std::uint8_t subcode, std::uint16_t param,
                                         std::uint32_t length)
{
    return {0x20,
            0x02,
            0x00,
            0x00,
            opcode,
            0,
            subcode,
            0,
            static_cast<std::uint8_t>(param),
            static_cast<std::uint8_t>(param >> 8),
            0,
            0,
            static_cast<std::uint8_t>(length),
            static_cast<std::uint8_t>(length >> 8),
            static_cast<std::uint8_t>(length >> 16),
            static_cast<std::uint8_t>(length >> 24)};
}

inline std::vector<std::uint8_t> DeviceStatus()
{
    return Command(0x12, 2, 0, 0);
}

inline std::vector<std::uint8_t> FirmwareStatus()
{
    return Command(0x12, 8, 0, 0);
}

// The state a status exchange reports, or -1 when the exchange failed.
inline int BusStatus(Handle device, bool firmware = false)
{
    if (!BusWrite(device, firmware ? FirmwareStatus() : DeviceStatus()).fetched) return -1;
    std::vector<std::uint8_t> reply;
    const BusResult r = BusRead(device, &reply, 32);
    if (!r.fetched || r.count != 32) return -1;
    return reply[4] | reply[5] << 8;
}

inline Handle OpenScannerAt(int path)
{
    char text[32];
    std::snprintf(text, sizeof text, "\\\\.\\usbscan%d", path);
    return OpenDevicePath(text);
}
