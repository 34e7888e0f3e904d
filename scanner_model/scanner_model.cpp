// The simulated scanner. Kept free of the C++ run-time (no library headers,
// no allocation, no exceptions, byte loops instead of library copies) so that
// a kernel-mode test driver can link the very same behaviour.
#include "scanner_model/scanner_model.h"

#include "platform/byte_order.h"
#include "scanner_model/wire_values.h"

namespace {

void ZeroBytes(void* to, uint32_t size)
{
    uint8_t* bytes = static_cast<uint8_t*>(to);
    for (uint32_t i = 0; i < size; ++i) {
        bytes[i] = 0;
    }
}

void CopyBytes(void* to, const void* from, uint32_t size)
{
    uint8_t* target = static_cast<uint8_t*>(to);
    const uint8_t* source = static_cast<const uint8_t*>(from);
    for (uint32_t i = 0; i < size; ++i) {
        target[i] = source[i];
    }
}

uint32_t Smaller(uint32_t left, uint32_t right)
{
    return left < right ? left : right;
}

uint8_t FaultFor(const ScannerConfig& config, uint8_t direction, uint32_t call, uint32_t* amount)
{
    const uint32_t count = Smaller(config.faultCount, (uint32_t)SIM_MAX_FAULTS);
    for (uint32_t i = 0; i < count; ++i) {
        const SimFaultRule& rule = config.faults[i];
        if (rule.direction != direction || rule.first == 0) {
            continue;
        }
        if (call >= rule.first && call - rule.first < rule.count) {
            *amount = rule.amount;
            return rule.kind;
        }
    }
    *amount = 0;
    return SIM_FAULT_NONE;
}

}  // namespace

ScannerConfig DefaultScannerConfig()
{
    ScannerConfig config;
    ZeroBytes(&config, sizeof config);
    config.path = 0;
    config.vendorId = 0x7A3C;
    config.productId = 0x41B2;
    config.busyState = 3;
    config.burnMs = 3000;
    config.burnEndState = 0;
    config.leaveAfterMs = 2500;
    config.absentMs = 5000;
    config.returnPath = 0;
    config.returnInRecovery = false;
    return config;
}

void ScannerModel::Reset(const ScannerConfig& newConfig)
{
    ZeroBytes(this, sizeof *this);
    CopyBytes(&config, &newConfig, sizeof config);
    attachedPath = config.path;
    inRecovery = config.recovery;
    generation = 1;
    phase = SCANNER_PHASE_COMMAND;
    present = attachedPath >= 0 && attachedPath <= 255;
    Sha256Init(&digest);
    Update(0);
}

// A timed event that is due: what happens, to which absence, and when.
struct ScannerModel::TimedEvent {
    enum Kind : uint8_t { NONE, ABSENCE_BEGINS, ABSENCE_ENDS, CYCLE_LEAVES, CYCLE_RETURNS, BURN_ENDS };
    Kind kind;
    uint32_t which;
    uint64_t atMs;
};

void ScannerModel::Update(uint64_t nowMs)
{
    if (nowMs < lastUpdateMs) {
        nowMs = lastUpdateMs;
    }
    lastUpdateMs = nowMs;
    // Play the timed events in the order they happen, so that an absence
    // and a power cycle that overlap leave the scanner where the later of
    // them puts it.
    for (;;) {
        const TimedEvent event = EarliestDue(nowMs);
        if (event.kind == TimedEvent::NONE) {
            break;
        }
        Play(event);
        SettlePresence();
    }
}

// The earliest event due by `nowMs`. Of two at the same time, the first
// considered wins: the absences in their order, the power cycle, the burn.
ScannerModel::TimedEvent ScannerModel::EarliestDue(uint64_t nowMs) const
{
    TimedEvent earliest{TimedEvent::NONE, 0, 0};
    auto consider = [&](TimedEvent::Kind kind, uint64_t atMs, uint32_t which) {
        if (atMs > nowMs) {
            return;
        }
        if (earliest.kind == TimedEvent::NONE || atMs < earliest.atMs) {
            earliest.kind = kind;
            earliest.atMs = atMs;
            earliest.which = which;
        }
    };
    const uint32_t absenceCount = Smaller(config.absenceCount, (uint32_t)SIM_MAX_ABSENCES);
    for (uint32_t i = 0; i < absenceCount; ++i) {
        const uint32_t bit = 1u << i;
        if (!(absencesBegun & bit)) {
            consider(TimedEvent::ABSENCE_BEGINS, config.absences[i].fromMs, i);
        } else if (!(absencesEnded & bit)) {
            consider(TimedEvent::ABSENCE_ENDS, config.absences[i].toMs, i);
        }
    }
    if (powerCycling && !powerCycleLeft) {
        consider(TimedEvent::CYCLE_LEAVES, leaveAtMs, 0);
    }
    if (powerCycling && powerCycleLeft) {
        consider(TimedEvent::CYCLE_RETURNS, backAtMs, 0);
    }
    if (burning) {
        consider(TimedEvent::BURN_ENDS, burnEndsAtMs, 0);
    }
    return earliest;
}

void ScannerModel::Play(const TimedEvent& event)
{
    switch (event.kind) {
    case TimedEvent::ABSENCE_BEGINS:
        absencesBegun |= 1u << event.which;
        break;
    case TimedEvent::ABSENCE_ENDS:
        absencesEnded |= 1u << event.which;
        attachedPath = config.absences[event.which].thenPath;
        break;
    case TimedEvent::CYCLE_LEAVES:
        powerCycleLeft = true;
        break;
    case TimedEvent::CYCLE_RETURNS:
        powerCycling = false;
        powerCycleLeft = false;
        attachedPath = config.returnPath;
        inRecovery = config.returnInRecovery;
        burning = false;
        burnEnded = false;
        break;
    case TimedEvent::BURN_ENDS:
        burning = false;
        burnEnded = true;
        break;
    case TimedEvent::NONE:
        break;
    }
}

// Whether the scanner is on the bus after an event; leaving it ends the
// generation.
void ScannerModel::SettlePresence()
{
    bool away = attachedPath < 0 || attachedPath > 255 || (powerCycling && powerCycleLeft);
    const uint32_t absenceCount = Smaller(config.absenceCount, (uint32_t)SIM_MAX_ABSENCES);
    for (uint32_t i = 0; i < absenceCount; ++i) {
        const uint32_t bit = 1u << i;
        if ((absencesBegun & bit) && !(absencesEnded & bit)) {
            away = true;
        }
    }
    if (present && away) {
        // Off the bus: every handle opened before is dead, and whatever
        // half-finished exchange was going on is forgotten.
        ++generation;
        phase = SCANNER_PHASE_COMMAND;
        pendingSize = 0;
        pendingOffset = 0;
        dataExpected = 0;
        dataReceived = 0;
    }
    present = !away;
}

bool ScannerModel::Present(uint64_t nowMs, int32_t* path)
{
    Update(nowMs);
    if (present && path) {
        *path = attachedPath;
    }
    return present;
}

uint32_t ScannerModel::Generation(uint64_t nowMs)
{
    Update(nowMs);
    return generation;
}

uint16_t ScannerModel::PeekState(uint64_t nowMs)
{
    Update(nowMs);
    if (scriptUsed < Smaller(config.scriptLength, (uint32_t)SIM_MAX_SCRIPT)) {
        return config.script[scriptUsed];
    }
    if (nowMs < config.busyForMs) {
        return config.busyState;
    }
    if (inRecovery) {
        return scanner_wire::STATE_RECOVERY_VALUE;
    }
    if (burning) {
        return scanner_wire::STATE_BURNING_VALUE;
    }
    if (burnEnded) {
        return config.burnEndState;
    }
    return 0;
}

bool ScannerModel::ClockNow(uint64_t nowMs, uint8_t out[36])
{
    if (config.clockScripted) {
        CopyBytes(out, config.clockReply, scanner_wire::RECORD_SIZE);
        return true;
    }
    if (!clockHeld) {
        ZeroBytes(out, scanner_wire::RECORD_SIZE);
        return false;
    }
    CopyBytes(out, clockRecord, scanner_wire::RECORD_SIZE);
    // The scanner counts whole seconds only; the host's mktime carries an
    // overflowing tm_sec into the other fields, so there is no need to.
    const uint64_t elapsed = nowMs > clockSetAtMs ? (nowMs - clockSetAtMs) / 1000 : 0;
    const uint32_t seconds = GetLe32(out) + (uint32_t)elapsed + (uint32_t)config.clockSkewSeconds;
    PutLe32(out, seconds);
    return true;
}

namespace {

// The reply's bytes other than the state are never read by the host; they
// carry a sequence number and a fixed pattern rather than zeros, so that a
// host that looked at the wrong bytes would notice.
void BuildReply(uint8_t reply[32], uint32_t sequence, uint16_t state, uint8_t opcode, uint8_t subcode)
{
    PutLe32(reply, sequence);
    reply[4] = (uint8_t)state;
    reply[5] = (uint8_t)(state >> 8);
    reply[6] = opcode;
    reply[7] = subcode;
    for (uint32_t i = 8; i < scanner_wire::REPLY_SIZE; ++i) {
        reply[i] = (uint8_t)(i * 37 + 0x5A);
    }
}

}  // namespace

bool ScannerModel::Silent(uint64_t nowMs) const
{
    return (config.silentByCount && transfersAnswered >= config.silentAfterTransfers) ||
           (config.silentByTime && nowMs >= config.silentFromMs);
}

void ScannerModel::ResetPipe(uint8_t direction)
{
    ++pipeResets;
    haltedPipes = (uint8_t)(haltedPipes & ~(1u << direction));
}

// What a bulk request meets before the protocol sees it. A scanner off the
// bus and a halted pipe fail the call at once; a silent scanner leaves it
// unanswered; a stall fails it and halts the pipe; a plain failure fails
// it alone. True when the request goes no further; `result` says how.
bool ScannerModel::TurnedAway(uint64_t nowMs, uint8_t direction, uint8_t fault, ScannerTransfer* result)
{
    const uint8_t pipe = (uint8_t)(1u << direction);
    if (!present || (haltedPipes & pipe) != 0) {
        return true;
    }
    if (Silent(nowMs)) {
        ++unanswered;
        result->answered = false;
        return true;
    }
    // Whatever follows, the scanner has answered this one.
    ++transfersAnswered;
    if (fault == SIM_FAULT_STALL) {
        haltedPipes = (uint8_t)(haltedPipes | pipe);
        return true;
    }
    return fault == SIM_FAULT_CALL_FAILS;
}

ScannerTransfer ScannerModel::Write(uint64_t nowMs, const uint8_t* data, uint32_t size)
{
    Update(nowMs);
    ScannerTransfer result = {true, false, true, true, 0};
    ++writeCalls;
    uint32_t amount = 0;
    const uint8_t fault = FaultFor(config, SIM_DIR_WRITE, writeCalls, &amount);
    if (TurnedAway(nowMs, SIM_DIR_WRITE, fault, &result)) {
        return result;
    }
    uint32_t moved = size;
    if (fault == SIM_FAULT_SHORT) {
        moved = size > amount ? size - amount : 0;
    }

    if (phase == SCANNER_PHASE_DATA_OUT) {
        // More than was announced is a broken transfer: the scanner stalls
        // the pipe and takes none of it.
        if (moved > dataExpected - dataReceived) {
            ++protocolErrors;
            return result;
        }
        if (lastSubcode == scanner_wire::SUBCODE_FIRMWARE) {
            // Hashed as it arrives and never kept: the scanner holds no
            // second copy of the image.
            if (dataReceived == 0 && moved > 0) {
                ++imageTransfers;
            }
            Sha256Update(&digest, data, moved);
            imageBytes += moved;
        } else {
            for (uint32_t i = 0; i < moved; ++i) {
                if (dataReceived + i < scanner_wire::RECORD_SIZE) {
                    pending[dataReceived + i] = data[i];
                }
            }
        }
        dataReceived += moved;
        if (dataReceived == dataExpected) {
            FinishDataOut(nowMs);
        }
    } else if (moved == scanner_wire::BLOCK_SIZE && GetLe32(data) == scanner_wire::MARKER) {
        // A whole command block starts a new exchange in any phase but the
        // data phase: a reply or record nobody read is dropped.
        AcceptCommand(nowMs, data);
    } else if (fault != SIM_FAULT_SHORT) {
        // Anything else where a command belongs is refused.
        ++protocolErrors;
        return result;
    }
    // A block cut short by the bus never arrives whole and is dropped.

    result.callOk = true;
    result.count = moved;
    return result;
}

ScannerTransfer ScannerModel::Read(uint64_t nowMs, uint8_t* data, uint32_t size)
{
    Update(nowMs);
    ScannerTransfer result = {true, false, true, true, 0};
    ++readCalls;
    uint32_t amount = 0;
    const uint8_t fault = FaultFor(config, SIM_DIR_READ, readCalls, &amount);
    if (TurnedAway(nowMs, SIM_DIR_READ, fault, &result)) {
        return result;
    }
    if (phase != SCANNER_PHASE_REPLY && phase != SCANNER_PHASE_DATA_IN) {
        ++protocolErrors;
        return result;
    }
    const uint32_t available = Smaller(size, pendingSize - pendingOffset);
    uint32_t moved = available;
    uint32_t consumed = available;
    if (fault == SIM_FAULT_SHORT) {
        moved = available > amount ? available - amount : 0;
    } else if (fault == SIM_FAULT_PARTIAL) {
        moved = Smaller(available, amount);
        consumed = moved;
    } else if (fault == SIM_FAULT_EMPTY) {
        moved = 0;
        consumed = 0;
    }
    CopyBytes(data, pending + pendingOffset, moved);
    pendingOffset += consumed;
    if (pendingOffset == pendingSize) {
        if (phase == SCANNER_PHASE_REPLY) {
            FinishReply(nowMs);
        } else {
            phase = SCANNER_PHASE_COMMAND;
        }
    }
    result.callOk = true;
    result.count = moved;
    return result;
}

void ScannerModel::AcceptCommand(uint64_t nowMs, const uint8_t* block)
{
    ++commandsReceived;
    lastOpcode = block[4];
    lastSubcode = block[6];
    lastParam = GetLe16(block + 8);
    const uint32_t length = GetLe32(block + 12);
    dataExpected = 0;
    dataReceived = 0;

    uint16_t state = PeekState(nowMs);
    if (lastOpcode == scanner_wire::OPCODE_STATUS) {
        ++statusQueries;
        if (scriptUsed < Smaller(config.scriptLength, (uint32_t)SIM_MAX_SCRIPT)) {
            ++scriptUsed;
        }
    } else if (lastOpcode == scanner_wire::OPCODE_WRITE && lastSubcode == scanner_wire::SUBCODE_FIRMWARE) {
        ++downloads;
        downloadParam = lastParam;
        announcedLength = length;
        imageBytes = 0;
        imageComplete = false;
        ZeroBytes(imageSha256, sizeof imageSha256);
        Sha256Init(&digest);
        dataExpected = length;
    } else if (lastOpcode == scanner_wire::OPCODE_WRITE && lastSubcode == scanner_wire::SUBCODE_CLOCK) {
        dataExpected = length;
    } else if (lastOpcode == scanner_wire::OPCODE_READ && lastSubcode == scanner_wire::SUBCODE_CLOCK) {
        ++clockReads;
    }
    BuildReply(pending, commandsReceived, state, lastOpcode, lastSubcode);
    pendingSize = scanner_wire::REPLY_SIZE;
    pendingOffset = 0;
    phase = SCANNER_PHASE_REPLY;
}

void ScannerModel::FinishReply(uint64_t nowMs)
{
    pendingSize = 0;
    pendingOffset = 0;
    if (lastOpcode == scanner_wire::OPCODE_WRITE &&
        (lastSubcode == scanner_wire::SUBCODE_FIRMWARE || lastSubcode == scanner_wire::SUBCODE_CLOCK)) {
        phase = SCANNER_PHASE_DATA_OUT;
        dataReceived = 0;
        if (dataExpected == 0) {
            FinishDataOut(nowMs);
        }
    } else if (lastOpcode == scanner_wire::OPCODE_READ && lastSubcode == scanner_wire::SUBCODE_CLOCK) {
        ClockNow(nowMs, pending);
        pendingSize = scanner_wire::RECORD_SIZE;
        phase = SCANNER_PHASE_DATA_IN;
    } else {
        phase = SCANNER_PHASE_COMMAND;
    }
}

void ScannerModel::FinishDataOut(uint64_t nowMs)
{
    phase = SCANNER_PHASE_COMMAND;
    if (lastSubcode == scanner_wire::SUBCODE_CLOCK) {
        if (dataExpected == scanner_wire::RECORD_SIZE) {
            CopyBytes(clockRecord, pending, scanner_wire::RECORD_SIZE);
            clockHeld = true;
            clockSetAtMs = nowMs;
            ++clockSets;
        } else {
            ++protocolErrors;  // not a clock record: taken and dropped
        }
        return;
    }
    Sha256Final(&digest, imageSha256);
    imageComplete = true;
    if (lastParam == scanner_wire::PARAM_BURN) {
        burning = true;
        burnEnded = false;
        burnEndsAtMs = nowMs + config.burnMs;
        ++burnsStarted;
    } else if (lastParam == scanner_wire::PARAM_POWER_CYCLE) {
        powerCycling = true;
        powerCycleLeft = false;
        leaveAtMs = nowMs + config.leaveAfterMs;
        backAtMs = leaveAtMs + config.absentMs;
        ++powerCycles;
    }
    Update(nowMs);
}
