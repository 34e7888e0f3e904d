// Following the scanner while it writes a downloaded image to its flash.
#pragma once
#include <cstdint>

constexpr int POWER_CYCLE_LIMIT = 90;

// Normal firmware: polls the firmware status once a second while it reports
// burning, for at most READY_WAIT_MS from the first poll. True when it
// reports ready again; the reboot prompt follows for `updateMode` 1.
bool FollowNormalBurn(std::int32_t updateMode);

// Recovery loader: watches the scanner leave the bus and come back (about
// POWER_CYCLE_LIMIT presence checks in all), then waits until it is ready.
// Sends no status query before it has returned.
bool FollowRecoveryBurn();
