// The program's frame: options, language, the sequence and the outcome.
#pragma once
#include <cstdint>

// The whole program: runs the update once and returns the exit code (0).
int UpdaterMain(int argc, char** argv);

// Language, options, echo, device search, and the stages after it. True
// when the firmware update succeeded.
bool RunUpdateSequence(int argc, char** argv);

// The options' effect on a mode that starts at `mode` (prints the warning
// for a trailing b).
std::int32_t ReadOptions(int argc, char** argv, std::int32_t mode);

// atoi with the value clamped to the signed 32-bit limits.
std::int32_t ParseModeValue(const char* text);

// The run's mode that follows from a found device's IDs: 1 only for the
// model that needs a reboot prompt, 0 for every other.
std::int32_t ModeForDevice(std::uint16_t vendorId, std::uint16_t productId);
