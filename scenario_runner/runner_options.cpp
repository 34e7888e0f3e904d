#include "scenario_runner/runner_options.h"

namespace {

// The file name after option arguments[*i]; refuses a repeat, a missing
// name and one that looks like the next option.
bool TakeFileOption(const std::vector<std::string>& arguments, std::size_t* at, std::string* file, std::string* error)
{
    const std::string& option = arguments[*at];
    if (!file->empty()) {
        *error = option + " given twice";
        return false;
    }
    if (*at + 1 >= arguments.size() || arguments[*at + 1].empty() || arguments[*at + 1].rfind("--", 0) == 0) {
        *error = option + " needs a file name";
        return false;
    }
    *file = arguments[++*at];
    return true;
}

}  // namespace

bool ParseRunnerOptions(const std::vector<std::string>& arguments, RunnerOptions* options, std::string* error)
{
    *options = RunnerOptions{};
    bool seenScenario = false, seenReport = false;
    for (std::size_t at = 0; at < arguments.size(); ++at) {
        const std::string& argument = arguments[at];
        if (argument == "--") {
            options->hasUpdaterArguments = true;
            options->updaterArguments.assign(arguments.begin() + static_cast<std::ptrdiff_t>(at) + 1, arguments.end());
            return true;
        }
        if (argument == "--scenario" || argument == "--report") {
            bool& seen = argument == "--scenario" ? seenScenario : seenReport;
            if (seen) {
                *error = argument + " given twice";
                return false;
            }
            // A value that looks like an option is far more likely a
            // forgotten file name than a file called "--realtime".
            if (at + 1 >= arguments.size() || arguments[at + 1].empty() || arguments[at + 1].rfind("--", 0) == 0) {
                *error = argument + " needs a file name";
                return false;
            }
            seen = true;
            (argument == "--scenario" ? options->scenarioFile : options->reportFile) = arguments[++at];
            continue;
        }
        if (argument == "--trace" || argument == "--replay") {
            if (!TakeFileOption(arguments, &at, argument == "--trace" ? &options->traceFile : &options->replayFile,
                                error)) {
                return false;
            }
            continue;
        }
        if (argument == "--realtime") {
            if (options->realtime) {
                *error = "--realtime given twice";
                return false;
            }
            options->realtime = true;
            continue;
        }
        if (argument == "--help" || argument == "-h") {
            options->help = true;
            continue;
        }
        if (argument == "--version") {
            options->version = true;
            continue;
        }
        *error = "unknown option \"" + argument + "\" (updater arguments go after --)";
        return false;
    }
    return true;
}

const char* RunnerUsage()
{
    return "usage: fwupdate-sim [--scenario FILE] [--report FILE] [--realtime] [-- updater arguments]\n"
           "       fwupdate-sim --version\n"
           "  Runs the firmware updater over a simulated PC and scanner. Standard output\n"
           "  carries exactly the updater's console bytes; the simulator speaks on\n"
           "  standard error. Exit status: the updater's, or 2 for a bad scenario or option.\n"
           "  --version prints the release's version and the embedded firmware image's\n"
           "  size and SHA-256, as fwupdate.exe's version resource names them.\n"
           "  --trace FILE   writes every device request to FILE (pcap, USBPcap)\n"
           "  --replay FILE  the devices answer from the trace FILE; exit status 2 at the\n"
           "                 first request that differs from the recorded one\n";
}
