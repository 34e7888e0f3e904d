// The simulator's own command line:
//   fwupdate-sim [--scenario FILE] [--report FILE] [--realtime] [--trace FILE] [--replay FILE]
//                [-- updater arguments]
//   fwupdate-sim --version
#pragma once
#include <string>
#include <vector>

struct RunnerOptions {
    std::string scenarioFile;  // empty: the default world
    std::string reportFile;    // empty: no report
    bool realtime = false;
    std::string traceFile;   // empty: no wire trace
    std::string replayFile;  // empty: the scanner model answers
    bool help = false;
    bool version = false;
    // Everything after "--", handed to the updater unchanged; it replaces
    // the scenario's own argument list.
    bool hasUpdaterArguments = false;
    std::vector<std::string> updaterArguments;
};

// False with *error set for an unknown option, a repeated one, or one whose
// value is missing.
bool ParseRunnerOptions(const std::vector<std::string>& arguments, RunnerOptions* options, std::string* error);

// One paragraph of usage, for standard error.
const char* RunnerUsage();
