// The four transfers on the scanner's bulk pipes. Each prints its own
// failure message and returns true on success, false on failure.
#pragma once
#include "link/wire.h"
#include "platform/handle.h"
#include <cstdint>

constexpr std::uint32_t TRANSFER_WAIT_MS = 1000;
constexpr int EXCHANGE_TRIES = 5;
constexpr std::uint32_t RECONNECT_PAUSE_MS = 1000;
constexpr int READ_FAILURE_LIMIT = 1000;
// The driver holds a transfer to a scanner that does not answer until the
// handle's time-out: 120 s unless set. The scanner answers a command, a
// reply or a clock record within milliseconds, so five seconds is ample and
// keeps a silent scanner from holding the run for minutes a call.
constexpr std::uint32_t COMMAND_TIMEOUT_S = 5;
// A write of the whole image gets the command time-out plus the time it
// takes at a quarter of what a full-speed link moves in bulk (about 1 MB/s):
// 57 s for the shipped image, which a high-speed link sends in under one.
// The time-out must outlast the slowest write that still works, since one
// it cuts leaves the scanner with part of an image; a bus shared with
// periodic traffic gives bulk less than its best, so the rate assumed is
// kept low. Only a silent scanner pays for the margin.
constexpr std::uint32_t SLOWEST_BULK_BYTES_PER_S = 256 * 1024;
// The driver refuses a longer time-out.
constexpr std::uint32_t LONGEST_TIMEOUT_S = 214;
// ReadData gives up after this long as well as after READ_FAILURE_LIMIT
// calls: a call the driver holds until its time-out costs seconds, not the
// microseconds of a read that fails at once, and a scanner can keep each
// read going that long and still move a byte.
constexpr std::uint32_t READ_TIME_LIMIT_MS = 10000;

// One block out, one reply in, one try.
bool ExchangeCommand(const CommandBlock* block, StatusReply* reply);
// The same with up to five tries per stage and a reconnect between tries.
bool ExchangeCommandWithRetry(const CommandBlock* block, StatusReply* reply);
// The whole buffer out in one request.
bool WriteData(const void* data, std::uint32_t size);
// The driver's time-outs for commands and replies on a scanner handle.
// False when the driver refused them (it then keeps its own).
bool SetCommandTimeouts(Handle device);
// One 36-byte record in, reads summed until complete. Failed and empty
// reads are repeated at once. After more than READ_FAILURE_LIMIT of them,
// or after any read that leaves the record unfinished once
// READ_TIME_LIMIT_MS have passed (so at most one read's time-out later),
// MSG_USB_TIMEOUT is printed and the result is false.
bool ReadData(ClockRecord* record);
