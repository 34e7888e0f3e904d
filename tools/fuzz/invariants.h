// What every run of the updater promises, whatever the scanner, the bus or
// the PC did: checked after a simulated run.
#pragma once
#include <string>

#include "platform/sim/world.h"

// Longest virtual time a run may take: two ten-minute readiness waits, the
// power-cycle watch, the bounded service waits, retries and the final pause,
// with room to spare.
constexpr unsigned long long RUN_VIRTUAL_MS_BOUND = 45ull * 60 * 1000;

// An empty text when every promise held; otherwise which one broke.
std::string CheckRunInvariants(SimWorld& world, const SimService& before, int exitCode);

// Whether the console bytes are made only of catalogue texts (each printed
// with its extra line end) and the direct prints, in `language`, and end with
// exactly one outcome message. On failure `why` says where.
bool ConsoleIsWellFormed(const std::string& console, unsigned language, std::string* why);
