// Playing a wire trace back: the scanner (and every other device on the
// bus) answers from a recorded trace instead of its model. Each read gets
// the recorded reply, in order; each write is compared with the recorded
// request, and the first request that differs ends the run with one line
// on standard error and exit status 2. A device is on the bus, under the
// path its address names, from the first to the last request it answered.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/sim/device_link.h"

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

class WireReplay final : public DeviceLink {
public:
    // Builds the requests from a trace's bytes (the file's whole content).
    // False with *error set when they are not such a trace.
    bool Parse(const std::vector<std::uint8_t>& bytes, std::string* error);

    // Sets the world's clock so that the clock record the updater sends
    // comes out as the recorded one (its local time, in the world's zone).
    // Leaves the world alone when the trace holds no usable clock record.
    void StartClock(SimWorld* world) const;

    // Called with the line that names a divergence before it ends the
    // process with status 2 (to finish the caller's files); a handler that
    // does not return (a fuzzer's, which throws) keeps the process. Once
    // diverged, every later request finds its device gone.
    void OnDivergence(std::function<void(const std::string& line)> handler) { m_onDivergence = std::move(handler); }

    bool Attach(int path, SimObject* device) override;
    DeviceAnswer Describe(const SimObject& device) override;
    DeviceAnswer Write(const SimObject& device, const std::uint8_t* data, std::uint32_t size) override;
    DeviceAnswer Read(const SimObject& device, std::uint8_t* data, std::uint32_t size) override;
    // At the end of the run: requests left over are a divergence too.
    void Finish();

    const std::vector<ReplayRequest>& Requests() const { return m_requests; }

private:
    // When one device address is on the bus: its first and last request
    // that found it there.
    struct Presence {
        std::uint16_t address;
        std::uint64_t fromMs, toMs;
    };

    void RebaseRealClock(std::uint64_t* slack);
    void FindPresences(std::uint64_t slack);
    // The recorded requests that make up one transfer of the updater's
    // (several bulk packets for one large write): [first, last].
    std::size_t LastPieceOf(std::size_t first, bool write, std::uint16_t address, std::uint32_t size) const;
    void CheckRequest(std::size_t first, std::size_t last, std::uint8_t kind, std::uint16_t address,
                      const std::uint8_t* bytes, std::uint32_t size, bool compareBytes);
    DeviceAnswer Transfer(const SimObject& device, std::uint8_t kind, std::uint8_t* bytes, std::uint32_t size);
    [[noreturn]] void Diverge(const std::string& line);
    [[noreturn]] void DivergeFromNothing(const std::string& sent);

    std::vector<ReplayRequest> m_requests;
    std::vector<Presence> m_presence;
    // Indices into m_presence of each path's addresses, in order of their
    // first request.
    std::vector<std::vector<std::size_t>> m_presenceByPath;
    std::size_t m_next = 0;
    bool m_clockRecordNext = false;  // the next write is a clock record
    std::function<void(const std::string& line)> m_onDivergence;
    bool m_diverged = false;
};

// The one line that names a diverging request and both byte strings.
std::string DivergenceLine(std::uint32_t index, const std::string& recorded, const std::string& sent);
