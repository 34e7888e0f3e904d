// fwupdate-sim: the updater over a simulated PC and scanner. Standard output
// is the updater's console and nothing else, so that it can be compared
// byte for byte; everything the simulator itself says goes to standard
// error.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/shared.h"
#include "firmware/identity.h"
#include "platform/sim/wire_replay.h"
#include "platform/sim/wire_trace.h"
#include "platform/sim/world.h"
#include "scenario_runner/interruptions.h"
#include "scenario_runner/output_file.h"
#include "scenario_runner/report.h"
#include "scenario_runner/runner_options.h"
#include "scenario_runner/scenario.h"
#include "scenario_runner/scenario_reader.h"
#include "scenario_runner/updater_process.h"

namespace {

constexpr int BAD_INPUT_STATUS = 2;

// What the report needs if the updater ends the process from inside
// instead of returning.
struct RunInProgress {
    bool running = false;
    SimService serviceBefore;
};
RunInProgress g_run;

// How each run in the world ended, for the report.
std::vector<RunOutcome> g_runs;

// The outputs, opened only once every input has been read, and the links
// that record and replay the wire.
OutputFile g_reportFile;
OutputFile g_traceFile;
WireTrace g_trace;
WireReplay g_replay;

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

// The trace is put in place however the run ends, unless a record of it
// could not be written.
bool FinishTrace()
{
    if (!g_traceFile.Active()) {
        return true;
    }
    World().deviceLink = nullptr;
    std::string error;
    if (!g_trace.Good()) {
        g_traceFile.Discard();
        Refuse(g_traceFile.Name() + ": the trace could not be written", false);
        return false;
    }
    if (!g_traceFile.Commit(&error)) {
        Refuse(error, false);
        return false;
    }
    return true;
}

bool WriteReport(RunEnd end, int exitCode)
{
    if (!g_reportFile.Active()) {
        return true;
    }
    const std::string text = ReportText(World(), g_run.serviceBefore, exitCode, end, g_runs);
    std::string error;
    if (std::fwrite(text.data(), 1, text.size(), g_reportFile.Stream()) != text.size() ||
        !g_reportFile.Commit(&error)) {
        g_reportFile.Discard();
        Refuse(g_reportFile.Name() + ": the report could not be written", false);
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
    FinishTrace();
    WriteReport(RunEnd::ProcessExit, 0);
}

// A replay that diverges ends the process with status 2: the trace of what
// was played up to there is kept, a report of a run that did not finish is not.
void FinishDivergedReplay(const std::string& /*line*/)
{
    g_run.running = false;
    FinishTrace();
    g_reportFile.Discard();
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
        exitCode = RunUpdaterProcess(arguments);
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
    // Nobody starts the updater again; the PC stays on.
    LeaveSimPcOn();
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

// --help and --version: true when one of them was asked for and answered.
bool AnswerInformation(const RunnerOptions& options)
{
    if (options.help) {
        std::fputs(RunnerUsage(), stderr);
        return true;
    }
    // The values of fwupdate.exe's version resource that hold for this
    // build too, under the resource's own names. Asked for, so standard output.
    if (options.version) {
        std::fputs("fwupdate-sim " FWU_VERSION_TEXT "\n"
                   "ProductName: " FWU_PRODUCT_NAME "\n"
                   "ProductVersion: " FWU_VERSION_TEXT "\n"
                   "FirmwareImage: " FWU_IMAGE_IDENTITY "\n",
                   stdout);
        return true;
    }
    return false;
}

// No output may be an input, nor the other output, under any name: the
// run would destroy what it reads, or mix two files into one.
bool OutputsStandApart(const RunnerOptions& options, std::string* error)
{
    const std::string* inputs[] = {&options.scenarioFile, &options.replayFile};
    const std::string* outputs[] = {&options.reportFile, &options.traceFile};
    for (const std::string* output : outputs) {
        for (const std::string* input : inputs) {
            if (!output->empty() && !input->empty() && (*output == *input || SameFile(*output, *input))) {
                *error = *output + ": is also an input (" + *input + "); an output never overwrites an input";
                return false;
            }
        }
    }
    if (!options.reportFile.empty() &&
        (options.reportFile == options.traceFile || SameFile(options.reportFile, options.traceFile))) {
        *error = options.reportFile + ": --report and --trace name the same file";
        return false;
    }
    return true;
}

// The scenario and the capture to replay, read in full before any output
// is opened.
bool ReadInputs(const RunnerOptions& options, SimWorld* world, std::vector<std::string>* arguments,
                ScenarioInterruptions* interruptions, std::string* error)
{
    ApplyDefaultWorld(world, arguments);
    if (!options.scenarioFile.empty()) {
        std::string text;
        if (!ReadScenarioFile(options.scenarioFile, &text, error) ||
            !ApplyScenario(options.scenarioFile, text, world, arguments, interruptions, error)) {
            return false;
        }
    }
    if (options.hasUpdaterArguments) {
        *arguments = options.updaterArguments;
    }
    if (!options.replayFile.empty()) {
        if (!LoadReplay(options.replayFile, error)) {
            return false;
        }
        g_replay.StartClock(world);
        g_replay.OnDivergence(FinishDivergedReplay);
        world->deviceLink = &g_replay;
    }
    return true;
}

// Found out now, not after a long run, that an output has nowhere to go.
bool OpenOutputs(const RunnerOptions& options, SimWorld* world, std::string* error)
{
    if (!options.reportFile.empty() && !g_reportFile.Begin(options.reportFile, "the report", error)) {
        return false;
    }
    if (!options.traceFile.empty()) {
        if (!g_traceFile.Begin(options.traceFile, "the trace", error)) {
            return false;
        }
        DeviceLink* answering = world->deviceLink != nullptr ? world->deviceLink : &ModelDeviceLink();
        if (!g_trace.Start(g_traceFile.Stream(), answering)) {
            *error = options.traceFile + ": the trace cannot be written there";
            return false;
        }
        world->deviceLink = &g_trace;
    }
    return true;
}

// Runs every process of the scenario; the exit status is the last run's,
// or 2 when an output could not be finished.
int RunAndFinish(const RunnerOptions& options, const ScenarioInterruptions& interruptions, SimWorld* world,
                 const std::vector<std::string>& arguments)
{
    ScheduleInterruptions(interruptions, world);
    world->echoConsole = true;
    world->realtime = options.realtime;
    world->Start();
    ResetProcessState();

    g_run.serviceBefore = world->serviceNow;
    g_run.running = true;
    std::atexit(ReportProcessExit);

    const int exitCode = RunEveryProcess(arguments, interruptions);
    g_run.running = false;
    std::fflush(stdout);
    if (!options.replayFile.empty()) {
        g_replay.Finish();
    }
    const bool traced = FinishTrace();
    const bool reported = WriteReport(RunEnd::Return, exitCode);
    return traced && reported ? exitCode : BAD_INPUT_STATUS;
}

}  // namespace

int main(int argc, char** argv)
{
    RunnerOptions options;
    std::string error;
    if (!ParseRunnerOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &error)) {
        return Refuse(error, true);
    }
    if (AnswerInformation(options)) {
        return 0;
    }
    SimWorld& world = World();
    std::vector<std::string> arguments;
    ScenarioInterruptions interruptions;
    if (!OutputsStandApart(options, &error) || !ReadInputs(options, &world, &arguments, &interruptions, &error) ||
        !OpenOutputs(options, &world, &error)) {
        return Refuse(error, false);
    }
    return RunAndFinish(options, interruptions, &world, arguments);
}
