// The simulated scanner: its command protocol, states, burn, recovery power
// cycle, clock, image check and transfer faults, in virtual time. Written
// without the C++ standard library, exceptions or allocation, so that test
// tooling that runs in kernel mode can use the very same model.
#pragma once
#include <stdint.h>

#include "common/sha256.h"
#include "scanner_model/scanner_config.h"

// What one transfer call looks like from the host.
struct ScannerTransfer {
    bool answered;  // false: the scanner never completes it (the host's time-out ends it)
    bool callOk;    // the WriteFile/ReadFile call succeeded
    // Always true. A call on the scanner's synchronous handle returns only
    // once the request is complete, its event set and its outcome ready;
    // the two stay for the Wine driver's bridge, which reads them.
    bool signalled;  // the completion event gets signalled
    bool resultOk;   // GetOverlappedResult succeeds
    uint32_t count;  // bytes moved (what the call and the outcome report)
};

// Protocol phases of the scanner's two bulk pipes.
enum ScannerPhase : uint8_t {
    SCANNER_PHASE_COMMAND = 0,   // waiting for a 16-byte command block
    SCANNER_PHASE_REPLY = 1,     // the 32-byte status reply waits to be read
    SCANNER_PHASE_DATA_OUT = 2,  // `length` announced bytes are expected on bulk-out
    SCANNER_PHASE_DATA_IN = 3,   // a 36-byte clock record waits to be read
};

class ScannerModel {
public:
    void Reset(const ScannerConfig& config);

    // Plays every timed event (absences, the power cycle) up to `nowMs`.
    // Time never goes back; the other operations call it themselves.
    void Update(uint64_t nowMs);

    // The state a status query would report now, without consuming the
    // script (for reports and tests).
    uint16_t PeekState(uint64_t nowMs);

    // Whether the scanner is on the bus at `nowMs`, and under which path.
    bool Present(uint64_t nowMs, int32_t* path);
    // Changes every time the scanner leaves the bus; a handle opened under one
    // generation is dead under any other.
    uint32_t Generation(uint64_t nowMs);

    // A bulk-out / bulk-in call of `size` bytes at `nowMs`, faults applied.
    ScannerTransfer Write(uint64_t nowMs, const uint8_t* data, uint32_t size);
    ScannerTransfer Read(uint64_t nowMs, uint8_t* data, uint32_t size);

    // The host resets a bulk pipe (SIM_DIR_WRITE or SIM_DIR_READ): a halt
    // on it is cleared.
    void ResetPipe(uint8_t direction);
    // Whether it has stopped answering its bulk pipes by `nowMs`.
    bool Silent(uint64_t nowMs) const;

    // The clock record it would hand back now (its own clock, advanced).
    bool ClockNow(uint64_t nowMs, uint8_t out[36]);

    // ---- observations ----
    ScannerConfig config;
    uint32_t writeCalls;
    uint32_t readCalls;
    uint32_t commandsReceived;
    uint32_t statusQueries;
    uint32_t clockSets;
    uint32_t clockReads;
    uint32_t downloads;        // download announcements received
    uint16_t downloadParam;    // param of the last announcement
    uint32_t announcedLength;  // length of the last announcement
    uint64_t imageBytes;       // image bytes received after the last announcement
    uint8_t imageSha256[32];   // their digest, once all announced bytes arrived
    bool imageComplete;        // imageBytes == announcedLength and the digest is final
    bool clockHeld;            // a clock record was received
    uint8_t clockRecord[36];   // as received
    uint64_t clockSetAtMs;
    uint32_t protocolErrors;     // writes refused because they broke the phase order, reads with nothing pending
    uint32_t burnsStarted;       // downloads with param 0x1005 that arrived whole
    uint32_t powerCycles;        // downloads with param 4 that arrived whole
    uint32_t imageTransfers;     // image data phases in which bytes arrived
    uint32_t transfersAnswered;  // bulk requests it completed, either way
    uint32_t unanswered;         // bulk requests it left without an answer (silent)
    uint32_t pipeResets;         // resets of either bulk pipe by the host
    uint8_t haltedPipes;         // bit SIM_DIR_WRITE / SIM_DIR_READ: that pipe is halted

    // ---- internal state (public so that a driver can snapshot it) ----
    // Protocol phase, pending reply bytes, data phase counters, burn and
    // power-cycle timing: see the implementation.
    uint8_t phase;
    uint8_t pending[36];
    uint32_t pendingSize;
    uint32_t pendingOffset;
    uint8_t lastOpcode, lastSubcode;
    uint16_t lastParam;
    uint32_t dataExpected, dataReceived;
    uint32_t scriptUsed;
    bool inRecovery;
    bool burning;
    uint64_t burnEndsAtMs;
    bool powerCycling;
    uint64_t leaveAtMs, backAtMs;
    bool burnEnded;        // a burn ran to its end: burnEndState from then on
    bool powerCycleLeft;   // the power cycle's absence has begun
    int32_t attachedPath;  // path while on the bus; -1 when none
    bool present;
    uint32_t generation;
    uint32_t absencesBegun;  // bit i: absence i has begun
    uint32_t absencesEnded;  // bit i: absence i has ended
    uint64_t lastUpdateMs;
    Sha256 digest;

private:
    struct TimedEvent;
    TimedEvent EarliestDue(uint64_t nowMs) const;
    void Play(const TimedEvent& event);
    void SettlePresence();
    void AcceptCommand(uint64_t nowMs, const uint8_t* block);
    void FinishReply(uint64_t nowMs);
    void FinishDataOut(uint64_t nowMs);
    bool TurnedAway(uint64_t nowMs, uint8_t direction, uint8_t fault, ScannerTransfer* result);
};
