#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/logic/sim_bus.h"
#include "tests/logic/sim_fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class SimScannerTest : public SimTest {
protected:
    Handle Open(int path = 0)
    {
        Handle h = OpenScannerAt(path);
        EXPECT_NE(h, INVALID_HANDLE) << "path " << path;
        return h;
    }
    ScannerModel& Model() { return World().model; }
    void AddFault(std::uint8_t direction, std::uint8_t kind, std::uint32_t first, std::uint32_t amount = 0)
    {
        ScannerConfig& c = World().scanner;
        c.faults[c.faultCount++] = SimFaultRule{direction, kind, first, 1, amount};
    }
    // Announces and sends the embedded image with `param`, split into
    // writes of the given sizes (their sum is what arrives).
    void SendImage(Handle h, std::uint16_t param, const std::vector<std::uint32_t>& pieces)
    {
        const std::uint32_t size = EmbeddedImageSize();
        ASSERT_TRUE(BusWrite(h, Command(0x2A, 8, param, size)).fetched);
        Bytes reply;
        ASSERT_EQ(BusRead(h, &reply, 32).count, 32u);
        std::uint32_t at = 0;
        for (std::uint32_t piece : pieces) {
            const BusResult r = BusTransfer(h, true, const_cast<std::uint8_t*>(EmbeddedImageData()) + at, piece);
            ASSERT_TRUE(r.fetched);
            ASSERT_EQ(r.count, piece);
            at += piece;
        }
    }
};

std::vector<std::uint8_t> ImageDigest()
{
    Sha256 ctx;
    Sha256Init(&ctx);
    Sha256Update(&ctx, EmbeddedImageData(), EmbeddedImageSize());
    Bytes digest(32);
    Sha256Final(&ctx, digest.data());
    return digest;
}

// ---- protocol phases ----

enum class Op { Write, Read };

struct Step {
    Op op;
    Bytes bytes;          // what a write sends
    std::uint32_t size;   // what a read asks for
    bool callOk;
    std::uint32_t count;
};

Step W(Bytes bytes, bool ok = true)
{
    const auto n = static_cast<std::uint32_t>(bytes.size());
    return Step{Op::Write, std::move(bytes), 0, ok, ok ? n : 0};
}
Step R(std::uint32_t size, bool ok, std::uint32_t count)
{
    return Step{Op::Read, {}, size, ok, count};
}

struct PhaseCase {
    const char* name;
    std::vector<Step> steps;
};

const Bytes CLOCK_SET = Command(0x2A, 0x66, 1, 36);
const Bytes CLOCK_GET = Command(0x28, 0x66, 2, 36);
const Bytes RECORD(36, 0x11);

TEST_F(SimScannerTest, ProtocolPhasesAcceptOnlyTheWireOrder)
{
    Bytes badMarker = DeviceStatus();
    badMarker[1] = 0x03;
    Bytes cutBlock = DeviceStatus();
    cutBlock.pop_back();
    const PhaseCase cases[] = {
        {"status: block, reply, then a block again", {W(DeviceStatus()), R(32, true, 32), W(DeviceStatus())}},
        {"nothing to read before a command", {R(32, false, 0)}},
        {"nothing to read after the reply", {W(DeviceStatus()), R(32, true, 32), R(32, false, 0)}},
        {"data where the reply is due is refused and the reply stays",
         {W(CLOCK_SET), W(RECORD, false), R(32, true, 32), W(RECORD)}},
        {"a block with another marker is refused", {W(badMarker, false), R(32, false, 0)}},
        {"a block of 15 bytes is refused", {W(cutBlock, false)}},
        {"reply read in pieces, a short packet ends it",
         {W(DeviceStatus()), R(20, true, 20), R(20, true, 12), R(32, false, 0)}},
        {"a new block drops an unread reply", {W(DeviceStatus()), W(DeviceStatus()), R(32, true, 32), R(32, false, 0)}},
        {"clock set: exactly the announced bytes, then commands",
         {W(CLOCK_SET), R(32, true, 32), W(Bytes(37, 1), false), W(RECORD), R(32, false, 0), W(DeviceStatus())}},
        {"clock data may come in pieces", {W(CLOCK_SET), R(32, true, 32), W(Bytes(20, 1)), W(Bytes(16, 1)), W(DeviceStatus())}},
        {"clock read: reply, one record, then nothing",
         {W(CLOCK_GET), R(32, true, 32), R(36, true, 36), R(36, false, 0), W(DeviceStatus())}},
        {"a block during the data phase is taken as data", {W(CLOCK_SET), R(32, true, 32), W(DeviceStatus()),
                                                            W(Bytes(20, 1)), R(32, false, 0)}},
    };
    for (const PhaseCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        StartWorld();
        Handle h = Open();
        int index = 0;
        for (const Step& s : c.steps) {
            SCOPED_TRACE("step " + std::to_string(++index));
            Bytes data = s.bytes;
            const BusResult r =
                s.op == Op::Write ? BusWrite(h, data) : BusRead(h, &data, s.size);
            EXPECT_EQ(r.call, s.callOk);
            if (s.callOk) {
                EXPECT_EQ(r.count, s.count);
            }
        }
    }
}

TEST_F(SimScannerTest, ReplyCarriesTheStateInBytesFourAndFiveAndNoiseElsewhere)
{
    World().scanner.script[0] = 0x0107;
    World().scanner.scriptLength = 1;
    StartWorld();
    Handle h = Open();
    ASSERT_TRUE(BusWrite(h, DeviceStatus()).fetched);
    Bytes reply;
    ASSERT_EQ(BusRead(h, &reply, 32).count, 32u);
    EXPECT_EQ(reply[4], 0x07);
    EXPECT_EQ(reply[5], 0x01);
    // The other bytes are not all zero: a host reading the wrong bytes
    // would not get a plausible zero state by luck.
    int nonzero = 0;
    for (int i = 0; i < 32; ++i)
        if (i != 4 && i != 5 && reply[i] != 0) ++nonzero;
    EXPECT_GT(nonzero, 20);
}

// ---- states ----

struct StateCase {
    const char* name;
    ScannerConfig config;
    std::vector<std::pair<std::uint64_t, int>> queries;  // (virtual ms, expected state), in order
};

ScannerConfig With(void (*change)(ScannerConfig&))
{
    ScannerConfig c = DefaultScannerConfig();
    change(c);
    return c;
}

TEST_F(SimScannerTest, StateFollowsScriptThenBusyThenLoaderThenReady)
{
    const StateCase cases[] = {
        {"default scanner is ready", DefaultScannerConfig(), {{0, 0}, {5000, 0}}},
        {"script first, one entry per query, then the model",
         With([](ScannerConfig& c) {
             c.script[0] = 9;
             c.script[1] = 7;
             c.scriptLength = 2;
         }),
         {{0, 9}, {0, 7}, {0, 0}}},
        {"busy until busyForMs",
         With([](ScannerConfig& c) {
             c.busyForMs = 2500;
             c.busyState = 3;
         }),
         {{0, 3}, {2499, 3}, {2500, 0}}},
        {"script before busy",
         With([](ScannerConfig& c) {
             c.busyForMs = 2000;
             c.script[0] = 6;
             c.scriptLength = 1;
         }),
         {{0, 6}, {0, 3}, {2000, 0}}},
        {"recovery loader", With([](ScannerConfig& c) { c.recovery = true; }), {{0, 6}, {100000, 6}}},
        {"busy hides the loader",
         With([](ScannerConfig& c) {
             c.recovery = true;
             c.busyForMs = 1000;
             c.busyState = 7;
         }),
         {{0, 7}, {1000, 6}}},
    };
    for (const StateCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().scanner = c.config;
        StartWorld();
        Handle h = Open();
        for (const auto& [at, state] : c.queries) {
            World().Advance(static_cast<std::uint32_t>(at - World().nowMs));
            EXPECT_EQ(BusStatus(h, at % 2 == 1), state) << "at " << at;
        }
    }
}

TEST_F(SimScannerTest, ScriptIsConsumedByBothStatusQueriesButNotByOtherCommands)
{
    World().scanner.script[0] = 5;
    World().scanner.script[1] = 4;
    World().scanner.scriptLength = 2;
    StartWorld();
    Handle h = Open();
    ASSERT_TRUE(BusWrite(h, CLOCK_GET).fetched);
    Bytes reply;
    ASSERT_EQ(BusRead(h, &reply, 32).count, 32u);
    ASSERT_EQ(BusRead(h, &reply, 36).count, 36u);
    EXPECT_EQ(BusStatus(h, true), 5);
    EXPECT_EQ(BusStatus(h, false), 4);
    EXPECT_EQ(BusStatus(h, false), 0);
    EXPECT_EQ(Model().statusQueries, 3u);
}

// ---- the image and the burn ----

struct BurnCase {
    const char* name;
    std::uint16_t endState;
};

TEST_F(SimScannerTest, ImageArrivesWholeWithTheEmbeddedDigestAndStartsTheBurn)
{
    const BurnCase cases[] = {{"burn succeeds", 0}, {"burn ends in an error state", 0x23}};
    for (const BurnCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().scanner.burnMs = 3000;
        World().scanner.burnEndState = c.endState;
        StartWorld();
        Handle h = Open();
        World().Advance(500);
        SendImage(h, 0x1005, {EmbeddedImageSize()});
        EXPECT_TRUE(Model().imageComplete);
        EXPECT_EQ(Model().imageBytes, EmbeddedImageSize());
        EXPECT_EQ(Model().announcedLength, EmbeddedImageSize());
        EXPECT_EQ(Model().downloadParam, 0x1005);
        EXPECT_EQ(Bytes(Model().imageSha256, Model().imageSha256 + 32), ImageDigest());
        EXPECT_EQ(BusStatus(h, true), 7);
        World().Advance(2999);
        EXPECT_EQ(BusStatus(h, true), 7);
        World().Advance(1);
        EXPECT_EQ(BusStatus(h, true), c.endState);
        World().Advance(60000);
        EXPECT_EQ(BusStatus(h), c.endState);
        EXPECT_EQ(Model().burnsStarted, 1u);
    }
}

TEST_F(SimScannerTest, ImageInPiecesHashesTheSameAndAShortImageStartsNothing)
{
    StartWorld();
    Handle h = Open();
    const std::uint32_t size = EmbeddedImageSize();
    SendImage(h, 0x1005, {1, 63, 4097, size - 1 - 63 - 4097});
    EXPECT_TRUE(Model().imageComplete);
    EXPECT_EQ(Bytes(Model().imageSha256, Model().imageSha256 + 32), ImageDigest());

    SetUp();
    StartWorld();
    h = Open();
    SendImage(h, 0x1005, {size - 1});
    EXPECT_FALSE(Model().imageComplete);
    EXPECT_EQ(Model().imageBytes, size - 1u);
    EXPECT_EQ(Model().burnsStarted, 0u);
    // Still in its data phase: a status block is just one more data chunk.
    EXPECT_EQ(BusStatus(h), -1);
}

// ---- the recovery power cycle ----

struct CycleCase {
    const char* name;
    int returnPath;
    bool returnInRecovery;
    int stateAfter;
};

TEST_F(SimScannerTest, RecoveryDownloadPowerCyclesOnTheConfiguredTimeline)
{
    const CycleCase cases[] = {
        {"back at the same path, ready", 0, false, 0},
        {"back at another path, ready", 5, false, 0},
        {"back at another path, still in the loader", 7, true, 6},
    };
    for (const CycleCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().scanner.recovery = true;
        World().scanner.leaveAfterMs = 2500;
        World().scanner.absentMs = 5000;
        World().scanner.returnPath = c.returnPath;
        World().scanner.returnInRecovery = c.returnInRecovery;
        StartWorld();
        Handle h = Open();
        World().Advance(1000);
        SendImage(h, 4, {EmbeddedImageSize()});
        EXPECT_EQ(Model().powerCycles, 1u);
        EXPECT_EQ(Model().burnsStarted, 0u);
        const std::uint32_t generation = Model().Generation(World().nowMs);

        World().Advance(2499);
        EXPECT_EQ(BusStatus(h), 6) << "still on the bus just before it leaves";
        World().Advance(1);
        EXPECT_EQ(BusStatus(h), -1) << "gone";
        EXPECT_EQ(OpenScannerAt(0), INVALID_HANDLE);
        EXPECT_EQ(OpenScannerAt(c.returnPath), INVALID_HANDLE);
        World().Advance(4999);
        EXPECT_EQ(OpenScannerAt(c.returnPath), INVALID_HANDLE) << "still away";
        World().Advance(1);
        EXPECT_EQ(BusStatus(h), -1) << "the old handle stays dead";
        EXPECT_NE(Model().Generation(World().nowMs), generation);
        if (c.returnPath != 0) {
            EXPECT_EQ(OpenScannerAt(0), INVALID_HANDLE);
        }
        Handle back = Open(c.returnPath);
        EXPECT_EQ(BusStatus(back), c.stateAfter);
    }
}

TEST_F(SimScannerTest, LeavingTheBusForgetsAHalfFinishedExchange)
{
    World().scanner.absences[0] = SimAbsence{1000, 3000, 4};
    World().scanner.absenceCount = 1;
    StartWorld();
    Handle h = Open();
    ASSERT_TRUE(BusWrite(h, DeviceStatus()).fetched);  // reply left unread
    World().Advance(999);
    EXPECT_EQ(OpenScannerAt(4), INVALID_HANDLE);
    World().Advance(1);
    EXPECT_EQ(OpenScannerAt(0), INVALID_HANDLE);
    World().Advance(2000);
    Handle back = Open(4);
    Bytes reply;
    EXPECT_FALSE(BusRead(back, &reply, 32).call) << "the reply died with the old connection";
    const std::uint32_t readsBefore = Model().readCalls;
    EXPECT_FALSE(BusRead(h, &reply, 32).call);
    EXPECT_EQ(Model().readCalls, readsBefore) << "a dead handle never reaches the scanner";
    EXPECT_EQ(BusStatus(back), 0);
}

TEST_F(SimScannerTest, ScannerThatIsNotAttachedAtStartAppearsWhenItsAbsenceEnds)
{
    World().scanner.path = -1;
    World().scanner.absences[0] = SimAbsence{0, 4000, 2};
    World().scanner.absenceCount = 1;
    StartWorld();
    for (int path = 0; path < 256; ++path) EXPECT_EQ(OpenScannerAt(path), INVALID_HANDLE);
    World().Advance(4000);
    EXPECT_EQ(BusStatus(Open(2)), 0);
}

// ---- faults ----

struct FaultCase {
    const char* name;
    std::uint8_t direction;
    std::uint8_t kind;
    std::uint32_t amount;
    BusResult expected;
    int nextRead;  // count of a following 32-byte read of the reply (-1: the read call fails)
};

TEST_F(SimScannerTest, FaultRulesShapeTheAffectedCallOnly)
{
    // The fault hits the first call of its direction: the status block
    // (write) or the reading of its reply (read).
    const FaultCase cases[] = {
        {"write call fails, nothing moves", SIM_DIR_WRITE, SIM_FAULT_CALL_FAILS, 0, {false, false, false, 0}, -1},
        {"write never signalled, block arrived", SIM_DIR_WRITE, SIM_FAULT_WAIT_TIMEOUT, 0, {true, false, true, 16}, 32},
        {"write outcome lost, block arrived", SIM_DIR_WRITE, SIM_FAULT_RESULT_FAILS, 0, {true, true, false, 16}, 32},
        {"write one byte short, block dropped", SIM_DIR_WRITE, SIM_FAULT_SHORT, 1, {true, true, true, 15}, -1},
        {"read call fails, reply stays", SIM_DIR_READ, SIM_FAULT_CALL_FAILS, 0, {false, false, false, 0}, 32},
        {"read never signalled, reply consumed", SIM_DIR_READ, SIM_FAULT_WAIT_TIMEOUT, 0, {true, false, true, 32}, -1},
        {"read outcome lost, reply consumed", SIM_DIR_READ, SIM_FAULT_RESULT_FAILS, 0, {true, true, false, 32}, -1},
        {"read one byte short, rest lost", SIM_DIR_READ, SIM_FAULT_SHORT, 1, {true, true, true, 31}, -1},
        {"read partial, rest stays", SIM_DIR_READ, SIM_FAULT_PARTIAL, 20, {true, true, true, 20}, 12},
        {"read empty, nothing consumed", SIM_DIR_READ, SIM_FAULT_EMPTY, 0, {true, true, true, 0}, 32},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        AddFault(c.direction, c.kind, 1, c.amount);
        StartWorld();
        Handle h = Open();
        Bytes reply;
        const std::uint64_t before = World().nowMs;
        const BusResult first = c.direction == SIM_DIR_WRITE ? BusWrite(h, DeviceStatus()) : BusResult{};
        if (c.direction == SIM_DIR_READ) {
            ASSERT_TRUE(BusWrite(h, DeviceStatus()).fetched);
        }
        const BusResult hit = c.direction == SIM_DIR_WRITE ? first : BusRead(h, &reply, 32);
        EXPECT_EQ(hit.call, c.expected.call);
        EXPECT_EQ(hit.signalled, c.expected.signalled);
        EXPECT_EQ(hit.fetched, c.expected.fetched);
        EXPECT_EQ(hit.count, c.expected.count);
        // An unsignalled completion costs the whole wait in virtual time.
        EXPECT_EQ(World().nowMs - before, c.expected.call && !c.expected.signalled ? 1000u : 0u);
        const BusResult next = BusRead(h, &reply, 32);
        if (c.nextRead < 0) {
            EXPECT_FALSE(next.call);
        } else {
            EXPECT_TRUE(next.fetched);
            EXPECT_EQ(next.count, static_cast<std::uint32_t>(c.nextRead));
        }
        // Only that one call was touched: a fresh exchange works.
        EXPECT_EQ(BusStatus(h), 0);
    }
}

TEST_F(SimScannerTest, FaultRulesCountCallsPerDirectionAndHonourTheirSpan)
{
    ScannerConfig& c = World().scanner;
    c.faults[0] = SimFaultRule{SIM_DIR_WRITE, SIM_FAULT_CALL_FAILS, 2, 2, 0};  // writes 2 and 3
    c.faults[1] = SimFaultRule{SIM_DIR_READ, SIM_FAULT_CALL_FAILS, 0, 5, 0};   // first 0: inert
    c.faultCount = 2;
    StartWorld();
    Handle h = Open();
    EXPECT_EQ(BusStatus(h), 0);                          // write 1, read 1
    EXPECT_FALSE(BusWrite(h, DeviceStatus()).call);      // write 2
    EXPECT_FALSE(BusWrite(h, DeviceStatus()).call);      // write 3
    EXPECT_EQ(BusStatus(h), 0);                          // write 4, read 2
    EXPECT_EQ(Model().writeCalls, 4u);
    EXPECT_EQ(Model().readCalls, 2u);
}

// ---- the clock ----

std::int32_t Field(const Bytes& record, int index)
{
    std::int32_t value;
    std::memcpy(&value, record.data() + 4 * index, 4);
    return value;
}

Bytes ClockBytes(const std::int32_t (&fields)[9])
{
    Bytes record(36);
    std::memcpy(record.data(), fields, 36);
    return record;
}

struct ClockCase {
    const char* name;
    bool send;
    std::int32_t skew;
    bool scripted;
    std::uint32_t waitMs;
    std::int32_t expectedSeconds;  // tm_sec that comes back
};

TEST_F(SimScannerTest, ClockComesBackAdvancedByWholeSecondsAndTheSkew)
{
    const std::int32_t sent[9] = {30, 20, 10, 6, 0, 127, 3, 5, 0};
    const std::int32_t scripted[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const ClockCase cases[] = {
        {"read at once", true, 0, false, 0, 30},
        {"5.999 s later counts 5", true, 0, false, 5999, 35},
        {"skew added", true, -49, false, 2000, 30 + 2 - 49},
        {"seconds are not carried: the host normalises", true, 0, false, 45000, 75},
        {"scripted reply verbatim", true, 100, true, 9000, 1},
        {"never set: zeros", false, 0, false, 3000, 0},
    };
    for (const ClockCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().scanner.clockSkewSeconds = c.skew;
        World().scanner.clockScripted = c.scripted;
        std::memcpy(World().scanner.clockReply, scripted, 36);
        StartWorld();
        Handle h = Open();
        Bytes reply;
        if (c.send) {
            ASSERT_TRUE(BusWrite(h, CLOCK_SET).fetched);
            ASSERT_EQ(BusRead(h, &reply, 32).count, 32u);
            ASSERT_TRUE(BusWrite(h, ClockBytes(sent)).fetched);
            EXPECT_TRUE(Model().clockHeld);
            EXPECT_EQ(Bytes(Model().clockRecord, Model().clockRecord + 36), ClockBytes(sent));
        }
        World().Advance(c.waitMs);
        ASSERT_TRUE(BusWrite(h, CLOCK_GET).fetched);
        ASSERT_EQ(BusRead(h, &reply, 32).count, 32u);
        Bytes record;
        ASSERT_EQ(BusRead(h, &record, 36).count, 36u);
        EXPECT_EQ(Field(record, 0), c.expectedSeconds);
        for (int i = 1; i < 9; ++i) {
            const std::int32_t expected = c.scripted ? scripted[i] : c.send ? sent[i] : 0;
            EXPECT_EQ(Field(record, i), expected) << "field " << i;
        }
    }
}

TEST_F(SimScannerTest, DefaultConfigurationIsAReadyScannerAtPathZero)
{
    const ScannerConfig c = DefaultScannerConfig();
    EXPECT_EQ(c.path, 0);
    EXPECT_EQ(c.vendorId, 0x7A3C);
    EXPECT_EQ(c.productId, 0x41B2);
    EXPECT_FALSE(c.recovery);
    EXPECT_EQ(c.busyState, 3);
    EXPECT_EQ(c.busyForMs, 0u);
    EXPECT_EQ(c.burnMs, 3000u);
    EXPECT_EQ(c.burnEndState, 0);
    EXPECT_EQ(c.leaveAfterMs, 2500u);
    EXPECT_EQ(c.absentMs, 5000u);
    EXPECT_EQ(c.returnPath, 0);
    EXPECT_FALSE(c.returnInRecovery);
    EXPECT_EQ(c.scriptLength + c.faultCount + c.absenceCount, 0u);
    EXPECT_FALSE(c.clockScripted);
}

}  // namespace
