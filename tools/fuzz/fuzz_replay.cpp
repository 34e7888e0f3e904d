// Fuzzing of the wire-trace replay: the bytes are a whole capture file, as
// `fwupdate-sim --replay` would read it. The replay promises that every
// file is either refused in one printable line (fwupdate-sim then exits
// with status 2), or played: the updater runs against it in the default
// world and either reaches the end of the trace or stops at one printable
// divergence line (status 2 too). Anything else (a broken promise, a
// sanitizer's finding, an exception that would end the simulator) aborts,
// so that libFuzzer keeps the input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/shared.h"
#include "platform/sim/wire_replay.h"
#include "platform/sim/world.h"
#include "scenario_runner/scenario.h"
#include "scenario_runner/scenario_reader.h"
#include "scenario_runner/updater_call.h"

namespace {

// A run that plays a trace must end in time: each request the updater
// makes takes one from the trace, and the waits between them are the
// updater's own bounded ones.
constexpr std::uint64_t LONGEST_RUN_MS = 24ull * 60 * 60 * 1000;

[[noreturn]] void Broken(const char* promise, const std::string& detail)
{
    std::fprintf(stderr, "replay promise broken: %s\n%s\n", promise, detail.c_str());
    std::abort();
}

void CheckOneLine(const char* what, const std::string& line)
{
    if (line.empty() || PrintableText(line) != line) {
        Broken(what, line);
    }
}

// Plays the updater against the replay; a divergence ends the process as
// fwupdate-sim's would, without leaving the fuzzer.
void Play(WireReplay* replay)
{
    SimWorld& world = World();
    std::vector<std::string> arguments;
    ApplyDefaultWorld(&world, &arguments);
    world.recordCalls = false;
    replay->StartClock(&world);
    std::string diverged;
    replay->OnDivergence([&diverged](const std::string& line) {
        diverged = line;
        World().EndProcess("replay diverged");
    });
    world.deviceLink = replay;
    world.Start();
    ResetProcessState();
    try {
        CallUpdater(arguments);
        replay->Finish();
    } catch (const SimProcessEnded&) {
        CheckOneLine("a divergence is one line of printable text", diverged);
    }
    world.deviceLink = nullptr;
    if (world.nowMs > LONGEST_RUN_MS) {
        Broken("a replay ends in bounded time", std::to_string(world.nowMs) + " ms");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // fwupdate-sim refuses a larger file before the reader sees it.
    if (size > REPLAY_MAX_BYTES) {
        return 0;
    }
    static WireReplay replay;
    std::string error;
    if (!replay.Parse(std::vector<std::uint8_t>(data, data + size), &error)) {
        CheckOneLine("a refusal is one line of printable text", error);
        return 0;
    }
    World() = SimWorld{};
    Play(&replay);
    return 0;
}
