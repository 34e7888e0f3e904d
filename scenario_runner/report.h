// The report of a simulated run: how the PC and the scanner look after the
// updater ended, as JSON.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/sim/world.h"

enum class RunEnd { Return, ProcessExit };

// Names of service states and start types, as the scenario files write them.
const char* ReportStateName(std::uint32_t state);
const char* ReportStartTypeName(std::uint32_t startType);

// Lower-case hexadecimal of `size` bytes.
std::string HexText(const std::uint8_t* bytes, std::size_t size);

// The time the scanner holds at the end of the run: the record it received,
// read as local time in the world's zone and advanced by the whole seconds
// since it arrived. Null when it holds none or the record names no time.
nlohmann::json ScannerClockText(const SimWorld& world);

// A text of the run (a mutex name holds whatever bytes the registry gave)
// as a JSON string: well-formed UTF-8 stays as it is; every byte that is
// not part of a well-formed UTF-8 sequence becomes the four characters \x
// and two lower-case hex digits, and so does a backslash that would
// otherwise read as the start of such an escape (\x5c). Every \xHH in the
// result therefore stands for exactly one byte, and a text without such
// bytes is unchanged.
std::string ReportString(const std::string& bytes);

// `serviceBefore` is the service as the updater found it. Every text in it
// has gone through ReportString, so it always serialises.
nlohmann::json BuildReport(const SimWorld& world, const SimService& serviceBefore, int exitCode, RunEnd end);

// The report as the file holds it: BuildReport indented by two, and a line
// feed.
std::string ReportText(const SimWorld& world, const SimService& serviceBefore, int exitCode, RunEnd end);

// How one run of the updater in the world ended.
struct RunOutcome {
    int exitCode = 0;
    const char* endedBy = "";  // "return", "killed", or the control event that ended it
    std::uint32_t downloads = 0;
    bool keepAwakeAtEnd = false;
};

// ReportText with the runs in the world, in order, and InterruptionFacts.
std::string ReportText(const SimWorld& world, const SimService& serviceBefore, int exitCode, RunEnd end,
                       const std::vector<RunOutcome>& runs);

// What interruptions leave behind: the registry record of a service owed
// back, the keep-awake request, what the console's control events did, how
// long the PC slept, and whether another updater got to write the scanner.
nlohmann::json InterruptionFacts(const SimWorld& world);
