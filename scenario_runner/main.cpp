// fwupdate-sim: the updater over a simulated PC and scanner. Standard output
// is the updater's console and nothing else, so that it can be compared
// byte for byte; everything the simulator itself says goes to standard
// error.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "common/shared.h"
#include "firmware/identity.h"
#include "platform/sim/wire_replay.h"
#include "platform/sim/wire_trace.h"
#include "platform/sim/world.h"
#include "scenario_runner/interruptions.h"
#include "scenario_runner/report.h"
#include "scenario_runner/runner_options.h"
#include "scenario_runner/scenario.h"
#include "scenario_runner/scenario_reader.h"
#include "scenario_runner/updater_call.h"

namespace {

constexpr int BAD_INPUT_STATUS = 2;

// What the report needs if the updater ends the process from inside
// instead of returning.
struct RunInProgress {
    bool running = false;
    std::string reportFile;
    SimService serviceBefore;
};
RunInProgress g_run;

// How each run in the world ended, for the report.
std::vector<RunOutcome> g_runs;

WireTrace g_trace;
WireReplay g_replay;

// The trace file is complete however the run ends.
bool CloseTrace()
{
    if (g_wireTrace == nullptr) {
        return true;
    }
    g_wireTrace = nullptr;
    return g_trace.Close();
}

bool WriteReport(const std::string& name, RunEnd end, int exitCode)
{
    if (name.empty()) {
        return true;
    }
    const std::string text = ReportText(World(), g_run.serviceBefore, exitCode, end, g_runs);
    std::ofstream file(name, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    if (!file) {
        std::fprintf(stderr, "fwupdate-sim: %s: the report could not be written\n", PrintableText(name).c_str());
        return false;
    }
    return true;
}

// The only way the updater ends without returning is an exit from inside
// the run, and its only exit code is 0.
void ReportProcessExit()
{
    if (!g_run.running) {
        return;
    }
    g_run.running = false;
    std::fflush(stdout);
    CloseTrace();
    WriteReport(g_run.reportFile, RunEnd::ProcessExit, 0);
}

// A refusal quotes what it was given (file names, options, the scenario's
// own text); escaped, none of it can add a line of its own.
int Refuse(const std::string& message, bool withUsage)
{
    std::fprintf(stderr, "fwupdate-sim: %s\n", PrintableText(message).c_str());
    if (withUsage) {
        std::fputs(RunnerUsage(), stderr);
    }
    return BAD_INPUT_STATUS;
}

// A process ended without returning (killed, or a control event's
// default) has no exit code of its own to give; this one tells it from
// every code the updater returns.
constexpr int ENDED_WITHOUT_RETURNING = 3;

// One run of the updater as a process of its own: how it ended goes to the
// report's runs. The scanner's downloads count across runs, so each run's
// own are the difference.
int RunOneProcess(const std::vector<std::string>& arguments)
{
    const std::uint32_t downloadsBefore = World().model.downloads;
    int exitCode = ENDED_WITHOUT_RETURNING;
    const char* endedBy = "return";
    try {
        exitCode = CallUpdater(arguments);
    } catch (const SimProcessEnded& ended) {
        endedBy = ended.how;
    }
    g_runs.push_back({exitCode, endedBy, World().model.downloads - downloadsBefore, World().keepAwake});
    return exitCode;
}

// The first run, then each later one in the world it left: the updater's
// exit code is the last run's.
int RunEveryProcess(const std::vector<std::string>& arguments, const ScenarioInterruptions& interruptions)
{
    int exitCode = RunOneProcess(arguments);
    for (const std::vector<std::string>& later : interruptions.laterRuns) {
        World().StartNextProcess();
        ResetProcessState();
        exitCode = RunOneProcess(later);
    }
    return exitCode;
}

// Reads the capture with the same checks as a scenario (regular file,
// bounded size) before parsing it, so that a folder, a device or a FIFO is
// refused in one line instead of crashing or exhausting memory.
bool LoadReplay(const std::string& fileName, std::string* error)
{
    std::string text;
    if (!ReadBoundedFile(fileName, REPLAY_MAX_BYTES, "a replay capture", &text, error)) {
        return false;
    }
    if (!g_replay.Parse(std::vector<std::uint8_t>(text.begin(), text.end()), error)) {
        *error = fileName + ": " + *error;
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    RunnerOptions options;
    std::string error;
    if (!ParseRunnerOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &error)) {
        return Refuse(error, true);
    }
    if (options.help) {
        std::fputs(RunnerUsage(), stderr);
        return 0;
    }
    // The values of fwupdate.exe's version resource that hold for this
    // build too, under the resource's own names. Asked for, so standard output.
    if (options.version) {
        std::fputs("fwupdate-sim " FWU_VERSION_TEXT "\n"
                   "ProductName: " FWU_PRODUCT_NAME "\n"
                   "ProductVersion: " FWU_VERSION_TEXT "\n"
                   "FirmwareImage: " FWU_IMAGE_IDENTITY "\n",
                   stdout);
        return 0;
    }

    SimWorld& world = World();
    std::vector<std::string> arguments;
    ScenarioInterruptions interruptions;
    ApplyDefaultWorld(&world, &arguments);
    if (!options.scenarioFile.empty()) {
        std::string text;
        if (!ReadScenarioFile(options.scenarioFile, &text, &error)) {
            return Refuse(error, false);
        }
        if (!ApplyScenario(options.scenarioFile, text, &world, &arguments, &interruptions, &error)) {
            return Refuse(error, false);
        }
    }
    if (options.hasUpdaterArguments) {
        arguments = options.updaterArguments;
    }

    // Find out now, not after a long run, that the report has nowhere to go.
    if (!options.reportFile.empty() && !std::ofstream(options.reportFile, std::ios::binary | std::ios::trunc)) {
        return Refuse(options.reportFile + ": the report cannot be written there", false);
    }

    if (!options.replayFile.empty()) {
        if (!LoadReplay(options.replayFile, &error)) {
            return Refuse(error, false);
        }
        g_replay.StartClock(&world);
        g_wireReplay = &g_replay;
    }
    if (!options.traceFile.empty()) {
        if (!g_trace.Open(options.traceFile)) {
            return Refuse(options.traceFile + ": the trace cannot be written there", false);
        }
        g_wireTrace = &g_trace;
    }

    ScheduleInterruptions(interruptions, &world);
    world.echoConsole = true;
    world.realtime = options.realtime;
    world.Start();
    ResetProcessState();

    g_run.reportFile = options.reportFile;
    g_run.serviceBefore = world.serviceNow;
    g_run.running = true;
    std::atexit(ReportProcessExit);

    const int exitCode = RunEveryProcess(arguments, interruptions);
    g_run.running = false;
    std::fflush(stdout);
    if (g_wireReplay) {
        g_wireReplay->Finish();
    }
    if (!CloseTrace()) {
        return Refuse(options.traceFile + ": the trace could not be written", false);
    }

    if (!WriteReport(options.reportFile, RunEnd::Return, exitCode)) {
        return BAD_INPUT_STATUS;
    }
    return exitCode;
}
