// The long readiness wait before and after a download: download and burn
// monitoring both wait on it, so it lives apart from either.
#pragma once
#include <cstdint>

constexpr std::uint32_t READY_WAIT_MS = 600000;
constexpr std::uint32_t POLL_INTERVAL_MS = 1000;

// Polls the device status once a second until the scanner reports ready or
// recovery, for at most ten minutes (READY_WAIT_MS). Stores that state in
// *state and returns true; prints its message and returns false on failure.
// Unlike the sequence's short check of five firmware queries, every query
// here is the retrying exchange.
bool WaitUntilReadyForTenMinutes(std::uint16_t* state);
