// A scanner that sends its clock record in short packets, slowly. A short
// packet ends a bulk read on the wire, so each read of the record returns
// one byte, after the scanner kept the host's driver waiting `packetMs` for
// it: below the handle's 5 s time-out, a packet never lets a read time out.
// Everything else is answered by the world's own scanner model.
#pragma once
#include <algorithm>
#include <cstdint>

#include "link/wire.h"
#include "platform/sim/device_link.h"
#include "platform/sim/objects.h"
#include "platform/sim/world.h"

class SlowPacketLink final : public DeviceLink {
public:
    explicit SlowPacketLink(std::uint32_t packetMs) : m_packetMs(packetMs) { }

    bool Attach(int path, SimObject* device) override { return ModelDeviceLink().Attach(path, device); }
    DeviceAnswer Describe(const SimObject& device) override { return ModelDeviceLink().Describe(device); }
    DeviceAnswer Write(const SimObject& device, const std::uint8_t* data, std::uint32_t size) override
    {
        const bool clockSet = size == COMMAND_BLOCK_SIZE && data[4] == OP_WRITE && data[6] == SUB_CLOCK;
        if (clockSet && m_clockSetSentMs == NEVER_MS) {
            m_clockSetSentMs = World().nowMs;
        }
        return ModelDeviceLink().Write(device, data, size);
    }
    void ResetPipe(const SimObject& device, std::uint8_t direction) override
    {
        ModelDeviceLink().ResetPipe(device, direction);
    }

    DeviceAnswer Read(const SimObject& device, std::uint8_t* data, std::uint32_t size) override
    {
        if (World().model.phase != SCANNER_PHASE_DATA_IN) {
            return ModelDeviceLink().Read(device, data, size);
        }
        ++m_packets;
        BlockInCall(m_packetMs);
        return ModelDeviceLink().Read(device, data, std::min<std::uint32_t>(size, 1));
    }

    // Reads of the record asked for; when the first clock-set block went
    // out (the clock stage's start), NEVER_MS before.
    std::uint32_t Packets() const { return m_packets; }
    std::uint64_t ClockSetSentMs() const { return m_clockSetSentMs; }

private:
    std::uint32_t m_packetMs;
    std::uint32_t m_packets = 0;
    std::uint64_t m_clockSetSentMs = NEVER_MS;
};
