// How a simulated scanner behaves: plain data, no standard library, so that
// the same description drives the scanner model in the simulated host and in
// test tooling that cannot use the C++ run-time (a kernel-mode driver).
#pragma once
#include <stdint.h>

enum SimDirection : uint8_t { SIM_DIR_WRITE = 0, SIM_DIR_READ = 1 };

// Kinds 2 and 3 are retired and stay unused, so that an old input cannot name another kind by them.
enum SimFaultKind : uint8_t {
    SIM_FAULT_NONE = 0,
    SIM_FAULT_CALL_FAILS = 1,  // the WriteFile/ReadFile call itself fails; nothing moves
    SIM_FAULT_SHORT = 4,       // the call moves `amount` bytes fewer than asked; the rest is lost
    SIM_FAULT_PARTIAL = 5,     // reads only: at most `amount` bytes now, the rest stays for the next read
    SIM_FAULT_EMPTY = 6,       // reads only: success with zero bytes, nothing consumed
    SIM_FAULT_STALL = 7,       // the device stalls: the call fails, nothing moves, and the pipe stays
                               // halted (every later call on it fails alike) until the host resets it
};

// Applies to the calls number `first` .. `first + count - 1` (counted from 1
// over the whole run) in one direction; first == 0 never applies. Only calls
// that reach the scanner count: a call on a dead handle does not. The first
// rule that covers a call decides.
struct SimFaultRule {
    uint8_t direction;  // SimDirection
    uint8_t kind;       // SimFaultKind
    uint32_t first;
    uint32_t count;
    uint32_t amount;
};

// The scanner leaves the bus at `fromMs` (virtual milliseconds since the run
// started) and is back at `toMs` under path `thenPath`. Handles opened
// before it left stay dead.
struct SimAbsence {
    uint64_t fromMs;
    uint64_t toMs;
    int32_t thenPath;
};

constexpr int SIM_MAX_SCRIPT = 64;
constexpr int SIM_MAX_FAULTS = 16;
constexpr int SIM_MAX_ABSENCES = 8;

struct ScannerConfig {
    int32_t path;  // 0..255 at the start, -1 when not attached
    uint16_t vendorId;
    uint16_t productId;
    bool descriptorFails;
    bool recovery;                    // runs its recovery loader instead of its firmware
    uint16_t busyState;               // state reported while busy
    uint32_t busyForMs;               // busy from the start of the run for this long
    uint16_t script[SIM_MAX_SCRIPT];  // answers to successive status queries, before the model's own
    uint32_t scriptLength;
    uint32_t burnMs;        // normal path: burning for this long after the image arrived
    uint16_t burnEndState;  // state after the burn (STATE_READY or an error state)
    // Recovery path: after the image arrived the loader stays on the bus for
    // leaveAfterMs, is gone for absentMs, then comes back at returnPath,
    // running its loader again when returnInRecovery, else ready.
    uint32_t leaveAfterMs;
    uint32_t absentMs;
    int32_t returnPath;
    bool returnInRecovery;
    int32_t clockSkewSeconds;  // added to the clock it returns
    bool clockScripted;        // return clockReply instead of its own clock
    uint8_t clockReply[36];
    SimAbsence absences[SIM_MAX_ABSENCES];
    uint32_t absenceCount;
    SimFaultRule faults[SIM_MAX_FAULTS];
    uint32_t faultCount;
    // A scanner that stays on the bus but stops answering its bulk pipes:
    // from then on no request completes, and each is held by the host's
    // driver until the handle's time-out. It falls silent once it has
    // answered silentAfterTransfers requests (when silentByCount), or at
    // silentFromMs (when silentByTime), whichever comes first, and stays
    // silent for the rest of the run.
    bool silentByCount;
    uint32_t silentAfterTransfers;
    bool silentByTime;
    uint64_t silentFromMs;
};

// A ready scanner at path 0 with the supported IDs, a 3-second burn and a
// 5-second recovery power cycle that comes back at the same path.
ScannerConfig DefaultScannerConfig();
