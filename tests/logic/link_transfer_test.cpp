// The four transfers against a simulated scanner whose transfer calls fail
// on cue. Expected console text is one catalogue line per failure, each
// followed by the extra line end that every message carries.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/shared.h"
#include "link/discovery.h"
#include "link/transfer.h"
#include "link/wire.h"
#include "tests/logic/console_texts.h"
#include "tests/logic/sim_fixture.h"
#include "tests/logic/slow_packet_link.h"

using namespace texts;

namespace {

constexpr auto W = SIM_DIR_WRITE;
constexpr auto R = SIM_DIR_READ;
constexpr std::uint32_t FOREVER = 100000;

SimFaultRule Rule(SimDirection direction, SimFaultKind kind, std::uint32_t first, std::uint32_t count,
                  std::uint32_t amount = 0)
{
    return {direction, kind, first, count, amount};
}

class LinkTransferTest : public SimulatedWorldFixture {
protected:
    // A fresh world whose scanner at path 0 fails as `rules` say, found as
    // the run finds it; the search's own console text is dropped.
    void Connect(const std::vector<SimFaultRule>& rules = {}, SimRefusal createEvent = {})
    {
        SetUp();
        ScannerConfig& scanner = World().scanner;
        for (const SimFaultRule& rule : rules) {
            scanner.faults[scanner.faultCount++] = rule;
        }
        World().createEvent = createEvent;
        StartWorld();
        DeviceDescriptor descriptor = {};
        ASSERT_TRUE(FindScanner(&descriptor));
        World().console.clear();
    }

    // Starts the world, finds the scanner and asks it for its clock record,
    // which the test then reads; the console so far is dropped.
    void AskForTheClock()
    {
        StartWorld();
        DeviceDescriptor descriptor = {};
        ASSERT_TRUE(FindScanner(&descriptor));
        CommandBlock block = Block(OP_READ, SUB_CLOCK, CLOCK_PARAM_GET, CLOCK_RECORD_SIZE);
        StatusReply reply = {};
        ASSERT_TRUE(ExchangeCommand(&block, &reply));
        World().console.clear();
    }

    static CommandBlock Block(std::uint8_t opcode, std::uint8_t subcode, std::uint16_t param = 0,
                              std::uint32_t length = 0)
    {
        CommandBlock block;
        BuildCommandBlock(&block, opcode, subcode, param, length);
        return block;
    }

    bool Exchange(bool retry)
    {
        CommandBlock block = Block(OP_STATUS, SUB_FIRMWARE);
        StatusReply reply = {};
        return retry ? ExchangeCommandWithRetry(&block, &reply) : ExchangeCommand(&block, &reply);
    }

    std::uint32_t Writes() { return World().model.writeCalls; }
    std::uint32_t Reads() { return World().model.readCalls; }
    void ExpectEventsBalanced() { EXPECT_EQ(World().eventsCreated, World().eventsClosed); }
};

TEST_F(LinkTransferTest, RetryArithmeticOfTheExchange)
{
    const struct {
        const char* name;
        bool retry;
        std::vector<SimFaultRule> faults;
        bool result;
        std::uint32_t writes, reads, reconnects;
        std::string console;
    } cases[] = {
        {"clean exchange", true, {}, 1, 1, 1, 0, ""},
        {"write fails four times", true, {Rule(W, SIM_FAULT_CALL_FAILS, 1, 4)}, 1, 5, 1, 4, ""},
        {"write fails five times", true, {Rule(W, SIM_FAULT_CALL_FAILS, 1, 5)}, 0, 5, 0, 4, USB_WRITE_ERROR},
        {"fifth write try fails its own way",
         true,
         {Rule(W, SIM_FAULT_CALL_FAILS, 1, 4), Rule(W, SIM_FAULT_SHORT, 5, 1, 1)},
         0,
         5,
         0,
         4,
         USB_SIZE_MISMATCH},
        {"15 of 16 bytes is never retried", true, {Rule(W, SIM_FAULT_SHORT, 1, 1, 1)}, 0, 1, 0, 0, USB_SIZE_MISMATCH},
        {"read retry does not send the block again", true, {Rule(R, SIM_FAULT_CALL_FAILS, 1, 1)}, 1, 1, 2, 1, ""},
        {"read fails five times", true, {Rule(R, SIM_FAULT_CALL_FAILS, 1, 5)}, 0, 1, 5, 4, USB_READ_ERROR},
        {"31-byte reply is never retried", true, {Rule(R, SIM_FAULT_SHORT, 1, 1, 1)}, 0, 1, 1, 0, USB_SIZE_MISMATCH},
        {"empty reply is a wrong count", true, {Rule(R, SIM_FAULT_EMPTY, 1, 1)}, 0, 1, 1, 0, USB_SIZE_MISMATCH},
        // Tries are counted per stage: four reconnects each, eight in all.
        {"both stages use every reconnect",
         true,
         {Rule(W, SIM_FAULT_CALL_FAILS, 1, 4), Rule(R, SIM_FAULT_CALL_FAILS, 1, 4)},
         1,
         5,
         5,
         8,
         ""},
        // The single try reports its first failure and never reconnects.
        {"single try: write call fails", false, {Rule(W, SIM_FAULT_CALL_FAILS, 1, 1)}, 0, 1, 0, 0, USB_WRITE_ERROR},
        {"single try: read stalls", false, {Rule(R, SIM_FAULT_STALL, 1, 1)}, 0, 1, 1, 0, USB_READ_ERROR},
        {"single try: 31-byte reply", false, {Rule(R, SIM_FAULT_SHORT, 1, 1, 1)}, 0, 1, 1, 0, USB_SIZE_MISMATCH},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Connect(c.faults);
        EXPECT_EQ(Exchange(c.retry), c.result);
        EXPECT_EQ(Console(), c.console);
        EXPECT_EQ(Writes(), c.writes);
        EXPECT_EQ(Reads(), c.reads);
        EXPECT_EQ(World().sleeps, c.reconnects);
        EXPECT_EQ(World().eventsCreated, 1 + c.reconnects) << "a fresh event for every reconnect";
        ExpectEventsBalanced();
        EXPECT_EQ(World().deviceOpens - World().deviceCloses, 1u) << "a reconnect closes the handle it replaces";
    }
}

// A stall halts its pipe until the host resets it, and reopening the path
// does not clear it: every call that fails resets its pipe, so the next try
// (or the next transfer) finds it clear. Without the reset a stall would
// fail every try that follows it.
TEST_F(LinkTransferTest, AFailedCallResetsItsPipeSoAStallEndsWithIt)
{
    const struct {
        const char* name;
        bool retry;
        std::vector<SimFaultRule> faults;
        bool result;
        std::uint32_t writes, reads, resets;
        std::string console;
    } cases[] = {
        {"write stall, then the retry goes through", true, {Rule(W, SIM_FAULT_STALL, 1, 1)}, 1, 2, 1, 1, ""},
        {"read stall, then the retry reads the reply", true, {Rule(R, SIM_FAULT_STALL, 1, 1)}, 1, 1, 2, 1, ""},
        {"a stall on every try: each is reset", true, {Rule(W, SIM_FAULT_STALL, 1, 5)}, 0, 5, 0, 5, USB_WRITE_ERROR},
        {"single try: the stalled write is reported",
         false,
         {Rule(W, SIM_FAULT_STALL, 1, 1)},
         0,
         1,
         0,
         1,
         USB_WRITE_ERROR},
        {"single try: the stalled read is reported",
         false,
         {Rule(R, SIM_FAULT_STALL, 1, 1)},
         0,
         1,
         1,
         1,
         USB_READ_ERROR},
        {"a plain failure is reset as well, at no cost", true, {Rule(W, SIM_FAULT_CALL_FAILS, 1, 1)}, 1, 2, 1, 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Connect(c.faults);
        EXPECT_EQ(Exchange(c.retry), c.result);
        EXPECT_EQ(Console(), c.console);
        EXPECT_EQ(Writes(), c.writes);
        EXPECT_EQ(Reads(), c.reads);
        EXPECT_EQ(World().model.pipeResets, c.resets);
        EXPECT_EQ(World().model.haltedPipes, 0u) << "a pipe left halted";
        EXPECT_EQ(World().longestCallMs, 0u) << "a stall fails at once";
    }
}

// A scanner that stays on the bus but no longer answers: the driver holds
// each call for the handle's time-out and then fails it, so the console
// says the call failed. The search set 5 s on the handle; a driver that
// refused keeps its own 120 s. Typed as numbers, not the constants, so a
// change of either shows here.
TEST_F(LinkTransferTest, ASilentScannerHoldsEachCallForTheHandlesTimeOut)
{
    const struct {
        const char* name;
        bool retry;
        std::uint32_t answeredFirst;  // requests it answers before it falls silent
        bool timeoutsRefused;
        std::uint64_t heldMs;  // each call
        std::uint64_t elapsedMs;
        std::uint32_t unanswered;
        std::string console;
    } cases[] = {
        {"single try: the block is never taken", false, 0, false, 5000, 5000, 1, USB_WRITE_ERROR},
        {"single try: the reply never comes", false, 1, false, 5000, 5000, 1, USB_READ_ERROR},
        // Five reads of 5 s and four reconnect pauses of 1 s between them.
        {"retried: every read of the reply is held", true, 1, false, 5000, 29000, 5, USB_READ_ERROR},
        {"time-outs refused: the driver's two minutes", false, 0, true, 120000, 120000, 1, USB_WRITE_ERROR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().scanner.silentByCount = true;
        World().scanner.silentAfterTransfers = c.answeredFirst;
        if (c.timeoutsRefused) {
            World().setTimeouts = SimRefusal{1, FOREVER, 1};
        }
        StartWorld();
        DeviceDescriptor descriptor = {};
        ASSERT_TRUE(FindScanner(&descriptor));
        World().console.clear();
        const std::uint64_t before = World().nowMs;

        EXPECT_FALSE(Exchange(c.retry));
        EXPECT_EQ(Console(), c.console);
        EXPECT_EQ(World().nowMs - before, c.elapsedMs);
        EXPECT_EQ(World().model.unanswered, c.unanswered);
        EXPECT_EQ(World().longestCallMs, c.heldMs);
        ExpectEventsBalanced();
    }
}

// The scanner drops off 10 ms into the run and comes back as path 4. Each
// failed try is followed by a search and a one-second pause, so the return
// time decides which reconnect finds it; tries on no device still count.
TEST_F(LinkTransferTest, ExchangeFollowsAScannerThatLeavesAndReturns)
{
    const struct {
        const char* name;
        std::uint64_t backAtMs;
        bool result;
        std::uint32_t reconnects;
        std::string console;
    } cases[] = {
        {"back before the first reconnect", 15, 1, 1, ""},
        {"back before the fourth reconnect", 2500, 1, 4, ""},
        {"back too late for the fifth try", 3500, 0, 4, USB_WRITE_ERROR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().scanner.absences[0] = {10, c.backAtMs, 4};
        World().scanner.absenceCount = 1;
        StartWorld();
        DeviceDescriptor descriptor = {};
        ASSERT_TRUE(FindScanner(&descriptor));
        World().console.clear();
        World().Advance(20);

        EXPECT_EQ(Exchange(true), c.result);
        EXPECT_EQ(Console(), c.console);
        EXPECT_EQ(World().sleeps, c.reconnects);
        EXPECT_STREQ(DevicePath, c.result ? "\\\\.\\usbscan4" : "\\\\.\\usbscan0");
        EXPECT_EQ(DeviceHandle != NO_HANDLE, c.result);
        ExpectEventsBalanced();
    }
}

TEST_F(LinkTransferTest, ReconnectEventThatCannotBeMadeCountsAsATimeout)
{
    const struct {
        const char* name;
        std::uint32_t refusedEvents;  // from the first reconnect's event on
        bool result;
        std::uint32_t reconnects;
        std::string console;
    } cases[] = {
        {"one event refused", 1, 1, 2, ""},
        {"every later event refused", FOREVER, 0, 4, USB_TIMEOUT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Connect({Rule(W, SIM_FAULT_CALL_FAILS, 1, 1)}, {2, c.refusedEvents, 8});
        EXPECT_EQ(Exchange(true), c.result);
        EXPECT_EQ(Console(), c.console);
        EXPECT_EQ(World().sleeps, c.reconnects);
        ExpectEventsBalanced();
    }
}

TEST_F(LinkTransferTest, NoDeviceOrNoEventFailsSilentlyWithoutTouchingTheBus)
{
    const struct {
        const char* name;
        bool dropHandle;
        Handle handle;
        std::uint32_t refuseEventFrom;
    } cases[] = {
        {"no handle", true, NO_HANDLE, 0},
        {"invalid handle", true, INVALID_HANDLE, 0},
        {"event refused", false, NO_HANDLE, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Connect({}, {c.refuseEventFrom, FOREVER, 8});
        if (c.dropHandle) {
            DeviceHandle = c.handle;
        }
        ClockRecord record;
        const std::uint8_t data[4] = {1, 2, 3, 4};
        EXPECT_EQ(Exchange(false), 0);
        EXPECT_EQ(Exchange(true), 0);
        EXPECT_FALSE(WriteData(data, sizeof data));
        EXPECT_FALSE(ReadData(&record));
        EXPECT_EQ(Console(), "");
        EXPECT_EQ(Writes() + Reads() + World().sleeps, 0u);
        ExpectEventsBalanced();
    }
}

TEST_F(LinkTransferTest, WriteDataReportsItsFailureAndNeverRetries)
{
    const struct {
        SimFaultKind kind;
        std::string console;
    } cases[] = {{SIM_FAULT_STALL, USB_WRITE_ERROR}, {SIM_FAULT_SHORT, USB_SIZE_MISMATCH}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.console);
        Connect({Rule(W, c.kind, 2, 1, 1)});  // the block goes out; the data does not
        CommandBlock block = Block(OP_WRITE, SUB_CLOCK, CLOCK_PARAM_SET, CLOCK_RECORD_SIZE);
        StatusReply reply = {};
        ClockRecord record = {};
        ASSERT_TRUE(ExchangeCommand(&block, &reply));

        EXPECT_FALSE(WriteData(record.bytes, sizeof record.bytes));
        EXPECT_EQ(Console(), c.console);
        EXPECT_EQ(Writes(), 2u);
        EXPECT_EQ(World().sleeps, 0u);
        ExpectEventsBalanced();
    }
}

TEST_F(LinkTransferTest, ReadDataSumsPiecesAndBoundsFailures)
{
    const struct {
        const char* name;
        std::vector<SimFaultRule> faults;  // read call 1 is the reply; the record starts at call 2
        bool result;
        std::uint32_t reads;
        std::uint32_t recordBytes;  // leading bytes of the device's record that arrived; the rest is zero
        std::string console;
    } cases[] = {
        {"whole record at once", {}, 1, 2, 36, ""},
        {"20 then 16 bytes, in order", {Rule(R, SIM_FAULT_PARTIAL, 2, 1, 20)}, 1, 3, 36, ""},
        {"one byte at a time", {Rule(R, SIM_FAULT_PARTIAL, 2, 36, 1)}, 1, 37, 36, ""},
        {"a stalled read is reset and read again", {Rule(R, SIM_FAULT_STALL, 2, 1)}, 1, 3, 36, ""},
        {"1000 failed calls are tolerated", {Rule(R, SIM_FAULT_CALL_FAILS, 2, 1000)}, 1, 1002, 36, ""},
        {"the 1001st failed call gives up", {Rule(R, SIM_FAULT_CALL_FAILS, 2, FOREVER)}, 0, 1002, 0, USB_TIMEOUT},
        {"1000 empty reads are tolerated", {Rule(R, SIM_FAULT_EMPTY, 2, 1000)}, 1, 1002, 36, ""},
        {"the 1001st empty read gives up", {Rule(R, SIM_FAULT_EMPTY, 2, FOREVER)}, 0, 1002, 0, USB_TIMEOUT},
        {"empty and failed reads share one limit",
         {Rule(R, SIM_FAULT_EMPTY, 2, 600), Rule(R, SIM_FAULT_CALL_FAILS, 602, FOREVER)},
         0,
         1002,
         0,
         USB_TIMEOUT},
        {"progress does not forgive earlier failures",
         {Rule(R, SIM_FAULT_CALL_FAILS, 2, 500), Rule(R, SIM_FAULT_PARTIAL, 502, 1, 20),
          Rule(R, SIM_FAULT_CALL_FAILS, 503, 501)},
         0,
         1003,
         20,
         USB_TIMEOUT},
    };
    std::uint8_t device[36];
    for (int i = 0; i < 36; ++i) {
        device[i] = static_cast<std::uint8_t>(0x40 + 3 * i);
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        for (const SimFaultRule& rule : c.faults) {
            World().scanner.faults[World().scanner.faultCount++] = rule;
        }
        World().scanner.clockScripted = true;
        std::memcpy(World().scanner.clockReply, device, sizeof device);
        StartWorld();
        DeviceDescriptor descriptor = {};
        ASSERT_TRUE(FindScanner(&descriptor));
        World().console.clear();
        CommandBlock block = Block(OP_READ, SUB_CLOCK, CLOCK_PARAM_GET, CLOCK_RECORD_SIZE);
        StatusReply reply = {};
        ASSERT_TRUE(ExchangeCommand(&block, &reply));
        ClockRecord record;
        std::memset(record.bytes, 0xEE, sizeof record.bytes);

        EXPECT_EQ(ReadData(&record), c.result);
        EXPECT_EQ(Console(), c.console);
        EXPECT_EQ(Reads(), c.reads);
        for (std::uint32_t i = 0; i < 36; ++i) {
            ASSERT_EQ(record.bytes[i], i < c.recordBytes ? device[i] : 0) << "byte " << i;
        }
        EXPECT_EQ(World().sleeps, 0u);  // failed reads are repeated at once
        ExpectEventsBalanced();
    }
}

// The count of failed reads bounds a scanner that fails at once; a silent
// one costs the handle's time-out a read, so ReadData also gives up once
// 10 s have passed, with the time-out message. It falls silent after the
// clock read's block and reply.
TEST_F(LinkTransferTest, ReadDataGivesUpOnASilentScannerAfterTenSeconds)
{
    const struct {
        const char* name;
        bool timeoutsRefused;
        std::uint32_t recordReads;
        std::uint64_t elapsedMs;
    } cases[] = {
        {"5 s a read: the second ends the ten seconds", false, 2, 10000},
        {"the driver's 120 s: one read is enough", true, 1, 120000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().scanner.silentByCount = true;
        World().scanner.silentAfterTransfers = 2;
        if (c.timeoutsRefused) {
            World().setTimeouts = SimRefusal{1, FOREVER, 1};
        }
        ASSERT_NO_FATAL_FAILURE(AskForTheClock());
        const std::uint64_t before = World().nowMs;
        ClockRecord record;

        EXPECT_FALSE(ReadData(&record));
        EXPECT_EQ(Console(), USB_TIMEOUT);
        EXPECT_EQ(Reads(), 1 + c.recordReads);
        EXPECT_EQ(World().model.unanswered, c.recordReads);
        EXPECT_EQ(World().nowMs - before, c.elapsedMs);
        ExpectEventsBalanced();
    }
}

// A scanner that sends the record a byte at a time, each byte just inside
// the handle's time-out, never fails a read: every read brings progress. The
// ten seconds hold it all the same, judged after every read, whatever it
// returned; the read under way when they run out is the most they can be
// overrun by. Before, 36 such bytes held the read-back for three minutes.
TEST_F(LinkTransferTest, ReadDataHoldsAScannerThatSendsShortPacketsSlowlyToTenSeconds)
{
    const struct {
        const char* name;
        std::uint32_t packetMs;
        bool result;
        std::uint32_t packets;
        std::uint64_t elapsedMs;
        std::string console;
    } cases[] = {
        {"a byte every 200 ms arrives within the bound", 200, true, 36, 7200, ""},
        {"a byte a second: the tenth read ends the ten seconds", 1000, false, 10, 10000, USB_TIMEOUT},
        {"a byte every 4.9 s: the third read overruns by one read", 4900, false, 3, 14700, USB_TIMEOUT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SlowPacketLink link(c.packetMs);
        SetUp();
        World().deviceLink = &link;
        ASSERT_NO_FATAL_FAILURE(AskForTheClock());
        const std::uint64_t before = World().nowMs;
        ClockRecord record;

        EXPECT_EQ(ReadData(&record), c.result);
        EXPECT_EQ(Console(), c.console);
        EXPECT_EQ(link.Packets(), c.packets);
        EXPECT_EQ(World().nowMs - before, c.elapsedMs);
        EXPECT_LE(World().nowMs - before, READ_TIME_LIMIT_MS + COMMAND_TIMEOUT_S * 1000) << "beyond one read under way";
        ExpectEventsBalanced();
        World().deviceLink = nullptr;
    }
}

}  // namespace
