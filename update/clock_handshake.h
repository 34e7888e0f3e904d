// Setting the scanner's clock from the PC and reading it back.
#pragma once
#include <cstdint>

constexpr std::int64_t CLOCK_TOLERANCE_SECONDS = 50;

// True when the clock read back lies strictly within 50 s of the one sent.
bool SetScannerClock();
