// Playing a wire trace back: the scanner (and every other device on the
// bus) answers from a recorded trace instead of its model. Each read gets
// the recorded reply, in order; each write is compared with the recorded
// request, and the first request that differs ends the run with one line
// on standard error and exit status 2. A device is on the bus, under the
// path its address names, from the first to the last request it answered.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/device.h"

class SimWorld;

struct ReplayRequest {
    std::uint32_t index = 0;  // its place in the trace, from 1
    std::uint8_t kind = 0;    // TraceRequestKind
    std::uint16_t address = 0;
    std::uint64_t timeMs = 0;
    std::uint32_t size = 0;         // bytes asked for
    std::vector<std::uint8_t> out;  // the bytes kept of a write
    std::uint32_t status = 0;
    std::uint32_t count = 0;
    std::vector<std::uint8_t> in;  // the bytes kept of a read's answer, or of the descriptor
};

class WireReplay {
public:
    // Reads a pcap file of link type USBPcap. False with *error set when
    // the file cannot be read or is not such a trace.
    bool Load(const std::string& fileName, std::string* error);
    // Builds the requests from a trace's bytes (the file's whole content).
    bool Parse(const std::vector<std::uint8_t>& bytes, std::string* error);

    // Sets the world's clock so that the clock record the updater sends
    // comes out as the recorded one (its local time, in the world's zone).
    // Leaves the world alone when the trace holds no clock record.
    void StartClock(SimWorld* world) const;

    // The device calls, answered from the trace.
    // `path`: the path's number, -1 for a name that is no device path.
    Handle Open(int path);
    bool Descriptor(Handle device, DeviceDescriptor* descriptor, std::uint32_t* returned);
    bool Transfer(Handle device, bool write, void* data, std::uint32_t size, std::uint32_t* transferred,
                  TransferOverlapped* overlapped);
    // At the end of the run: requests left over are a divergence too.
    void Finish();

    const std::vector<ReplayRequest>& Requests() const { return m_requests; }

private:
    [[noreturn]] void Diverge(const std::string& line);

    // When each device address is on the bus: its first and last request
    // that found it there.
    struct Presence {
        std::uint16_t address;
        std::uint64_t fromMs, toMs;
    };

    std::vector<ReplayRequest> m_requests;
    std::vector<Presence> m_presence;
    std::size_t m_next = 0;
    bool m_clockRecordNext = false;  // the next write is a clock record
};

// The run's replay, or null when the scanner model answers.
extern WireReplay* g_wireReplay;

// The one line that names a diverging request and both byte strings.
std::string DivergenceLine(std::uint32_t index, const std::string& recorded, const std::string& sent);
