// What every run of the updater promises, whatever the scanner, the bus or
// the PC did: checked after a simulated run.
#pragma once
#include <cstdint>
#include <string>

#include "platform/sim/world.h"
#include "tools/fuzz/watch.h"

// The longest a run may take on a real PC, stage by stage, in time the PC
// was awake and the console let the run write: what the updater promises
// its users whatever the scanner and the service do, so these are fixed
// numbers, not sums of the updater's own constants (a constant that grows
// must break the promise, not widen it). Transfers are held at most the
// time-out the updater sets on its handles (5 s, more for the image); the
// service manager holds a call at most 30 s.
namespace run_bound {

// A record left behind by a run that was killed: a stop still pending, the
// start and the wait for it, 30 s each.
constexpr std::uint64_t SETTLE_RECORD_MS = 90000;
// Before it, when that run had begun to send the image: one status
// exchange with the scanner, whether it still burns.
constexpr std::uint64_t RECORD_PROBE_MS = 10000;
// The probe: one command block and its reply.
constexpr std::uint64_t PROBE_MS = 10000;
// Two guards, three tries each, a second apart.
constexpr std::uint64_t GUARDS_MS = 6000;
// A service still starting waited out, then the stop control, then the
// wait for the service to say it stopped.
constexpr std::uint64_t START_WAIT_MS = 30000;
constexpr std::uint64_t STOP_MS = 60000;
// Five status queries a second apart.
constexpr std::uint64_t READINESS_MS = 55000;
// The clock set and read back: two exchanges, the record out, the record's
// reads given up once 10 s have passed, judged after every read (15 s with
// the read under way then).
constexpr std::uint64_t CLOCK_MS = 40000;
// Ten minutes of polls; the last may start just inside them and take a
// whole retried exchange.
constexpr std::uint64_t TEN_MINUTE_WAIT_MS = 661000;
// The announcement's retried exchange and the image's one write, which
// gets its size at a quarter of full speed on top of the 5 s.
constexpr std::uint64_t ANNOUNCE_AND_WRITE_MS = 117000;
constexpr std::uint64_t START_DELAY_MS = 6000;
// The burn is followed for ten minutes; in the recovery loader the power
// cycle is watched instead, and then the scanner gets ten minutes again.
constexpr std::uint64_t NORMAL_BURN_MS = TEN_MINUTE_WAIT_MS;
constexpr std::uint64_t RECOVERY_BURN_MS = 92000 + TEN_MINUTE_WAIT_MS;
// The service given back: a stop still pending, the start, its wait.
constexpr std::uint64_t GIVE_BACK_MS = 90000;
constexpr std::uint64_t CLOSING_PAUSE_MS = 20000;

constexpr std::uint64_t STAGES_MS =
    RECORD_PROBE_MS + SETTLE_RECORD_MS + PROBE_MS + GUARDS_MS + START_WAIT_MS + STOP_MS + READINESS_MS + CLOCK_MS +
    TEN_MINUTE_WAIT_MS + ANNOUNCE_AND_WRITE_MS + START_DELAY_MS +
    (NORMAL_BURN_MS > RECOVERY_BURN_MS ? NORMAL_BURN_MS : RECOVERY_BURN_MS) + GIVE_BACK_MS + CLOSING_PAUSE_MS;

}  // namespace run_bound

// The wall-clock bound of one run: 33 minutes, the stages above (1,948 s)
// and the search for the scanner (under a second), rounded up. Time the PC
// slept and time a selection in the console window held the run's writes
// are a person's doing and do not count.
constexpr std::uint64_t RUN_WALL_CLOCK_BOUND_MS = 1980000;
static_assert(run_bound::STAGES_MS <= RUN_WALL_CLOCK_BOUND_MS, "the stages must fit the promised bound");

// An empty text when every promise held; otherwise which one broke. `before`
// is the service as the run found it.
std::string CheckRunInvariants(SimWorld& world, const SimService& before, const RunWatch& watch);

// The run did not end with a transfer the driver holds for ever (a handle
// whose time-out is 0): the process would never end, with the imaging
// service and the guards still taken. Also judged on its own after a run
// that follows an interrupted one.
std::string CheckRunNeverHung(const SimWorld& world, const SimService& before, const RunWatch& watch);

// Whether the console bytes are made only of catalogue texts (each printed
// with its extra line end) and the direct prints, in `language`, and end with
// exactly one outcome message. On failure `why` says where.
bool ConsoleIsWellFormed(const std::string& console, unsigned language, std::string* why);
