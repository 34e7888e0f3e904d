// What every run of the updater promises, whatever the scanner, the bus or
// the PC did: checked after a simulated run.
#pragma once
#include <cstdint>
#include <string>

#include "host/guards.h"
#include "host/wia_control.h"
#include "link/transfer.h"
#include "platform/sim/world.h"
#include "tools/fuzz/watch.h"
#include "update/burn_monitor.h"
#include "update/download.h"
#include "update/readiness.h"

namespace run_bound {

// Waits of the sequence and the entry that have no name outside their own
// files: the settling pause after the service stage, the readiness queries
// and their pauses, and the closing pause.
constexpr std::uint64_t SERVICE_SETTLE_MS = 1000;
constexpr std::uint64_t READINESS_QUERIES = 5;
constexpr std::uint64_t READINESS_PAUSE_MS = 1000;
constexpr std::uint64_t CLOSING_PAUSE_MS = 20000;

// One single-try exchange: the block's completion wait, then the reply's.
constexpr std::uint64_t EXCHANGE_MS = 2 * TRANSFER_WAIT_MS;
// A retried exchange: two stages of five waits with four reconnect pauses.
constexpr std::uint64_t RETRIED_EXCHANGE_MS =
    2 * (EXCHANGE_TRIES * TRANSFER_WAIT_MS + (EXCHANGE_TRIES - 1) * RECONNECT_PAUSE_MS);
// A wait bounded from its start: the last poll starts just inside the
// bound, may take a whole retried exchange, and a pause follows it.
constexpr std::uint64_t BOUNDED_POLLING_MS = READY_WAIT_MS + RETRIED_EXCHANGE_MS + POLL_INTERVAL_MS;

constexpr std::uint64_t PROBE_MS = EXCHANGE_MS;
constexpr std::uint64_t GUARDS_MS = 2 * MUTEX_TRIES * MUTEX_RETRY_PAUSE_MS;
// The stop waits once; never past its limit (a zero hint costs the
// simulated host a millisecond a pass, still inside the limit).
constexpr std::uint64_t STOP_MS = SERVICE_WAIT_LIMIT_MS;
constexpr std::uint64_t READINESS_MS = READINESS_QUERIES * EXCHANGE_MS + (READINESS_QUERIES - 1) * READINESS_PAUSE_MS;
// Set: exchange and record write; read back: exchange, then reads that do
// not wait on the event.
constexpr std::uint64_t CLOCK_MS = 2 * EXCHANGE_MS + TRANSFER_WAIT_MS;
// Readiness wait, announcement, the image's one write, the start delay.
constexpr std::uint64_t DOWNLOAD_MS = BOUNDED_POLLING_MS + RETRIED_EXCHANGE_MS + TRANSFER_WAIT_MS + BURN_START_DELAY_MS;
// Normal burn: polled within the readiness bound from its first poll.
constexpr std::uint64_t NORMAL_BURN_MS = BOUNDED_POLLING_MS;
// Recovery burn: at most one pause more than the power-cycle limit of
// presence checks (a scanner that leaves at the last check gets one more),
// then the readiness wait again.
constexpr std::uint64_t RECOVERY_BURN_MS = (POWER_CYCLE_LIMIT + 1) * POLL_INTERVAL_MS + BOUNDED_POLLING_MS;
// A restart may first wait for a stop still pending, then for the start.
constexpr std::uint64_t RESTART_MS = 2 * SERVICE_WAIT_LIMIT_MS;

}  // namespace run_bound

// Longest virtual time a run may take: every stage at its longest, one
// after the other (about 25 minutes).
constexpr std::uint64_t RUN_VIRTUAL_MS_BOUND =
    run_bound::PROBE_MS + run_bound::GUARDS_MS + run_bound::STOP_MS + run_bound::SERVICE_SETTLE_MS +
    run_bound::READINESS_MS + run_bound::CLOCK_MS + run_bound::DOWNLOAD_MS +
    (run_bound::NORMAL_BURN_MS > run_bound::RECOVERY_BURN_MS ? run_bound::NORMAL_BURN_MS
                                                             : run_bound::RECOVERY_BURN_MS) +
    run_bound::RESTART_MS + run_bound::CLOSING_PAUSE_MS;

// An empty text when every promise held; otherwise which one broke. `before`
// is the service as the run found it.
std::string CheckRunInvariants(SimWorld& world, const SimService& before, const RunWatch& watch);

// Whether the console bytes are made only of catalogue texts (each printed
// with its extra line end) and the direct prints, in `language`, and end with
// exactly one outcome message. On failure `why` says where.
bool ConsoleIsWellFormed(const std::string& console, unsigned language, std::string* why);
