// Downloading the embedded firmware image and following the burn.
#pragma once
#include <cstdint>

constexpr std::uint32_t READY_WAIT_MS = 600000;
constexpr std::uint32_t POLL_INTERVAL_MS = 1000;
constexpr std::uint32_t BURN_START_DELAY_MS = 6000;
constexpr int POWER_CYCLE_LIMIT = 90;

// Waits (at most ten minutes) until the scanner reports ready or recovery.
// Stores that state in *state and returns true; prints its message and
// returns false on failure.
bool WaitUntilReady(std::uint16_t* state);

// True when the burn was seen to finish.
bool DownloadFirmware(std::uint16_t resourceId, std::int32_t updateMode);
