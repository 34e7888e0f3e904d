// Fuzzing of the scenario runner: the bytes are a scenario file. The
// scenario runner promises that every file is either refused with one printable
// line that names it (fwupdate-sim then exits with status 2), or builds a
// world the updater runs in, after which the report is JSON that reads back
// as exactly what was written. Anything else (a broken promise, or an
// exception that would end the simulator) aborts, so that libFuzzer keeps
// the input.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/shared.h"
#include "platform/sim/world.h"
#include "scenario_runner/report.h"
#include "scenario_runner/scenario.h"
#include "scenario_runner/scenario_reader.h"
#include "scenario_runner/updater_call.h"

namespace {

constexpr const char* FILE_NAME = "fuzz.json";
// Each duration a scenario sets is kept under a minute, so that one run
// costs milliseconds; what the updater does with long timings is the update
// fuzzer's concern, the files are this one's.
constexpr std::uint32_t MAX_DURATION_MS = 60000;

[[noreturn]] void Broken(const char* promise, const std::string& detail)
{
    std::fprintf(stderr, "scenario runner promise broken: %s\n%s\n", promise, detail.c_str());
    std::abort();
}

void Shorten(std::uint32_t* milliseconds)
{
    *milliseconds = std::min(*milliseconds, MAX_DURATION_MS);
}

void ShortenDurations(SimWorld* world)
{
    Shorten(&world->scanner.burnMs);
    Shorten(&world->scanner.busyForMs);
    Shorten(&world->scanner.leaveAfterMs);
    Shorten(&world->scanner.absentMs);
    Shorten(&world->service.startPendingMs);
    Shorten(&world->service.stopPendingMs);
    Shorten(&world->service.startWaitHint);
    Shorten(&world->service.stopWaitHint);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // fwupdate-sim refuses a larger file before the reader sees it.
    if (size > SCENARIO_MAX_BYTES) {
        return 0;
    }
    const std::string text(reinterpret_cast<const char*>(data), size);

    SimWorld& world = World();
    std::vector<std::string> arguments;
    ApplyDefaultWorld(&world, &arguments);
    std::string error;
    if (!ApplyScenario(FILE_NAME, text, &world, &arguments, &error)) {
        if (error.rfind(std::string(FILE_NAME) + ": ", 0) != 0) {
            Broken("a refusal names the file", error);
        }
        if (PrintableText(error) != error) {
            Broken("a refusal is one line of printable text", error);
        }
        return 0;
    }

    ShortenDurations(&world);
    world.recordCalls = false;
    world.Start();
    ResetProcessState();
    const SimService before = world.serviceNow;

    const int exitCode = CallUpdater(arguments);

    const std::string report = ReportText(world, before, exitCode, RunEnd::Return);
    const nlohmann::json readBack = nlohmann::json::parse(report, nullptr, false);
    if (readBack.is_discarded()) {
        Broken("the report is JSON", report);
    }
    if (readBack != BuildReport(world, before, exitCode, RunEnd::Return)) {
        Broken("the report reads back as what was written", report);
    }
    return 0;
}
