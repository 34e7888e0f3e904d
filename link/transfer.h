// The four transfers on the scanner's bulk pipes. Each prints its own
// failure message and returns true on success, false on failure.
#pragma once
#include "link/wire.h"
#include <cstdint>

constexpr std::uint32_t TRANSFER_WAIT_MS = 1000;
constexpr int EXCHANGE_TRIES = 5;
constexpr std::uint32_t RECONNECT_PAUSE_MS = 1000;
constexpr int READ_FAILURE_LIMIT = 1000;

// One block out, one reply in, one try.
bool ExchangeCommand(const CommandBlock* block, StatusReply* reply);
// The same with up to five tries per stage and a reconnect between tries.
bool ExchangeCommandWithRetry(const CommandBlock* block, StatusReply* reply);
// The whole buffer out in one request.
bool WriteData(const void* data, std::uint32_t size);
// One 36-byte record in, reads summed until complete. Failed and empty
// reads are repeated at once; after READ_FAILURE_LIMIT of them the next one
// prints MSG_USB_TIMEOUT and the result is false.
bool ReadData(ClockRecord* record);
