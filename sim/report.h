// The report of a simulated run: how the PC and the scanner look after the
// updater ended, as JSON.
#pragma once
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/sim/world.h"

enum class RunEnd { Return, ProcessExit };

// Names of service states and start types, as the scenario files write them.
const char* ServiceStateName(std::uint32_t state);
const char* StartTypeName(std::uint32_t startType);

// Lower-case hexadecimal of `size` bytes.
std::string HexText(const std::uint8_t* bytes, std::size_t size);

// The time the scanner holds at the end of the run: the record it received,
// read as local time in the world's zone and advanced by the whole seconds
// since it arrived. Null when it holds none or the record names no time.
nlohmann::json ScannerClockText(const SimWorld& world);

// `serviceBefore` is the service as the updater found it.
nlohmann::json BuildReport(const SimWorld& world, const SimService& serviceBefore, int exitCode, RunEnd end);
