// The program's frame: options, language, the sequence and the outcome.
#pragma once
#include <cstdint>

#include "app/outcome.h"

// The whole program: the help, the check, or the update once; returns the
// exit code (always 0 for an update without the unattended switch).
int UpdaterMain(int argc, char** argv);

// Language, options, echo, elevation, then the check, or the device search
// and the stages after it. The run's outcome.
UpdateOutcome RunUpdateSequence(int argc, char** argv, bool checkOnly);

// The switches that change what a run does and how it ends, all off by
// default. Like the mode's options, each is named by an argument's second
// character ("/s" and "-s" alike), in either case.
struct RunSwitches {
    bool unattended = false;  // s: no closing pause; the exit code tells the outcome
    bool checkOnly = false;   // c: report whether an update can run, change nothing
    bool help = false;        // ?, h, or any "--" option: the help, and nothing else
};
RunSwitches ReadSwitches(int argc, char** argv);

// The options' effect on a mode that starts at `mode` (prints the warning
// for a trailing b).
std::int32_t ReadOptions(int argc, char** argv, std::int32_t mode);

// atoi with the value clamped to the signed 32-bit limits.
std::int32_t ParseModeValue(const char* text);

// The run's mode that follows from a found device's IDs: 1 only for the
// model that needs a reboot prompt, 0 for every other.
std::int32_t ModeForDevice(std::uint16_t vendorId, std::uint16_t productId);
