// Helpers shared by the simulated platform groups: the handle table, the
// call record, the last error and the passing of virtual time.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "platform/handle.h"
#include "platform/sim/threads.h"
#include "platform/sim/world.h"

// Adds an object to the world's table and returns its handle.
Handle NewSimObject(const SimObject& object);
// The open object of that kind behind a handle, or nullptr for a null,
// invalid, closed, unknown or differently-kinded handle. The pointer is good
// until the next NewSimObject.
SimObject* FindSimObject(Handle handle, SimObjectKind kind);
// Any object behind a handle, open or not; nullptr when unknown.
SimObject* LookUpSimObject(Handle handle);

inline void AppendCallPart(std::string& line, const char* text)
{
    line += text;
}
inline void AppendCallPart(std::string& line, const std::string& text)
{
    line += text;
}
template <typename Number, typename = std::enable_if_t<std::is_integral_v<Number>>>
void AppendCallPart(std::string& line, Number number)
{
    line += std::to_string(number);
}

// Appends a line made of `parts` (texts and numbers, in order) to
// World().calls when calls are being recorded. The line is only built then:
// a fuzzing run makes millions of platform calls and looks at none of them.
template <typename... Parts> void RecordCall(const Parts&... parts)
{
    SimWorld& world = World();
    if (!world.recordCalls) {
        return;
    }
    std::string line;
    // A copy's calls are told from the first process's by its number.
    if (world.currentProcess != 0) {
        line = "#" + std::to_string(world.currentProcess) + " ";
    }
    (AppendCallPart(line, parts), ...);
    const bool cut = !world.powerCutAtCall.empty() && line.rfind(world.powerCutAtCall, 0) == 0 &&
                     ++world.powerCutCallsSeen == world.powerCutAtCallNumber;
    world.calls.push_back(std::move(line));
    if (cut) {
        world.calls.emplace_back("Power cut");
        CutSimPower();
    }
}
void SetSimLastError(std::uint32_t code);

// Lets virtual time pass (and real time too in a realtime world).
void PassTime(std::uint32_t milliseconds);
// The same, spent inside one platform call that holds the calling thread
// (a transfer the driver keeps until its time-out, a service control): the
// world remembers the longest such call.
void BlockInCall(std::uint32_t milliseconds);

// ASCII-only case-insensitive comparison, as the platform compares names.
bool EqualIgnoringCase(const char* left, const char* right);
// Whether `text` begins with `prefix`, compared the same way.
bool StartsWithIgnoringCase(const char* text, const char* prefix, std::size_t prefixLength);
