// The four transfers against a simulated scanner whose transfer calls fail
// on cue. Expected console text is one catalogue line per failure, each
// followed by the extra line end that every message carries.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/shared.h"
#include "link/discovery.h"
#include "link/transfer.h"
#include "link/wire.h"
#include "tests/logic/sim_fixture.h"

namespace {

const char WRITE_ERROR[] = "Write to USB error!!\n\n";
const char READ_ERROR[] = "Read from USB error!!\n\n";
const char TIMEOUT[] = "USB timeout error!!\n\n";
const char OVERLAPPED_ERROR[] = "Get USB overlapped result error!!\n\n";
const char SIZE_MISMATCH[] = "Request and return USB data size not matched!!\n\n";

constexpr auto W = SIM_DIR_WRITE;
constexpr auto R = SIM_DIR_READ;
constexpr std::uint32_t FOREVER = 100000;

SimFaultRule Rule(SimDirection direction, SimFaultKind kind, std::uint32_t first, std::uint32_t count,
                  std::uint32_t amount = 0)
{
    return {direction, kind, first, count, amount};
}

class LinkTransferTest : public SimTest {
protected:
    void SetFaults(const std::vector<SimFaultRule>& rules)
    {
        ScannerConfig& scanner = World().scanner;
        scanner.faultCount = 0;
        for (const SimFaultRule& rule : rules) {
            scanner.faults[scanner.faultCount++] = rule;
        }
    }

    // A scanner at path 0, found as the run finds it; the search's own
    // console text is dropped so each case sees only its transfers.
    void Connect()
    {
        StartWorld();
        ASSERT_TRUE(FindScanner());
        World().console.clear();
    }

    static CommandBlock Block(std::uint8_t opcode, std::uint8_t subcode, std::uint16_t param = 0,
                              std::uint32_t length = 0)
    {
        CommandBlock block;
        BuildCommandBlock(&block, opcode, subcode, param, length);
        return block;
    }

    std::uint32_t Writes() { return World().model.writeCalls; }
    std::uint32_t Reads() { return World().model.readCalls; }

    void ExpectEventsBalanced()
    {
        EXPECT_EQ(World().eventsCreated, World().eventsClosed);
    }
};

struct ExchangeCase {
    const char* name;
    std::vector<SimFaultRule> faults;
    int result;
    std::uint32_t writes, reads, reconnects;
    std::string console;
};

TEST_F(LinkTransferTest, RetryArithmeticOfTheExchange)
{
    const ExchangeCase cases[] = {
        {"clean exchange", {}, 1, 1, 1, 0, ""},
        {"write fails once", {Rule(W, SIM_FAULT_CALL_FAILS, 1, 1)}, 1, 2, 1, 1, ""},
        {"write fails four times", {Rule(W, SIM_FAULT_CALL_FAILS, 1, 4)}, 1, 5, 1, 4, ""},
        {"write fails five times", {Rule(W, SIM_FAULT_CALL_FAILS, 1, 5)}, 0, 5, 0, 4, WRITE_ERROR},
        {"write never signalled", {Rule(W, SIM_FAULT_WAIT_TIMEOUT, 1, 5)}, 0, 5, 0, 4, TIMEOUT},
        {"write outcome lost", {Rule(W, SIM_FAULT_RESULT_FAILS, 1, 5)}, 0, 5, 0, 4, OVERLAPPED_ERROR},
        {"fifth write try fails its own way",
         {Rule(W, SIM_FAULT_CALL_FAILS, 1, 4), Rule(W, SIM_FAULT_RESULT_FAILS, 5, 1)}, 0, 5, 0, 4,
         OVERLAPPED_ERROR},
        {"15 of 16 bytes is never retried", {Rule(W, SIM_FAULT_SHORT, 1, 1, 1)}, 0, 1, 0, 0, SIZE_MISMATCH},
        {"short write after one retry",
         {Rule(W, SIM_FAULT_CALL_FAILS, 1, 1), Rule(W, SIM_FAULT_SHORT, 2, 1, 1)}, 0, 2, 0, 1, SIZE_MISMATCH},
        {"read retry does not send the block again", {Rule(R, SIM_FAULT_CALL_FAILS, 1, 1)}, 1, 1, 2, 1, ""},
        {"read fails five times", {Rule(R, SIM_FAULT_CALL_FAILS, 1, 5)}, 0, 1, 5, 4, READ_ERROR},
        {"fifth read try times out",
         {Rule(R, SIM_FAULT_CALL_FAILS, 1, 4), Rule(R, SIM_FAULT_WAIT_TIMEOUT, 5, 1)}, 0, 1, 5, 4, TIMEOUT},
        {"31-byte reply is never retried", {Rule(R, SIM_FAULT_SHORT, 1, 1, 1)}, 0, 1, 1, 0, SIZE_MISMATCH},
        {"reply in pieces is a wrong count", {Rule(R, SIM_FAULT_PARTIAL, 1, 1, 20)}, 0, 1, 1, 0, SIZE_MISMATCH},
        {"empty reply is a wrong count", {Rule(R, SIM_FAULT_EMPTY, 1, 1)}, 0, 1, 1, 0, SIZE_MISMATCH},
        // Tries are counted per stage: four reconnects each, eight in all.
        {"both stages use every reconnect",
         {Rule(W, SIM_FAULT_CALL_FAILS, 1, 4), Rule(R, SIM_FAULT_CALL_FAILS, 1, 4)}, 1, 5, 5, 8, ""},
    };
    for (const ExchangeCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        SetFaults(c.faults);
        Connect();
        CommandBlock block = Block(OP_STATUS, SUB_FIRMWARE);
        StatusReply reply = {};

        EXPECT_EQ(ExchangeCommandWithRetry(&block, &reply), c.result);
        EXPECT_EQ(Console(), c.console);
        EXPECT_EQ(Writes(), c.writes);
        EXPECT_EQ(Reads(), c.reads);
        EXPECT_EQ(World().sleeps, c.reconnects);
        EXPECT_EQ(World().eventsCreated, 1 + c.reconnects);
        ExpectEventsBalanced();
    }
}

TEST_F(LinkTransferTest, SingleTryExchangeReportsEachStep)
{
    const ExchangeCase cases[] = {
        {"write call fails", {Rule(W, SIM_FAULT_CALL_FAILS, 1, 1)}, 0, 1, 0, 0, WRITE_ERROR},
        {"write never signalled", {Rule(W, SIM_FAULT_WAIT_TIMEOUT, 1, 1)}, 0, 1, 0, 0, TIMEOUT},
        {"write outcome lost", {Rule(W, SIM_FAULT_RESULT_FAILS, 1, 1)}, 0, 1, 0, 0, OVERLAPPED_ERROR},
        {"15 of 16 bytes", {Rule(W, SIM_FAULT_SHORT, 1, 1, 1)}, 0, 1, 0, 0, SIZE_MISMATCH},
        {"read call fails", {Rule(R, SIM_FAULT_CALL_FAILS, 1, 1)}, 0, 1, 1, 0, READ_ERROR},
        {"read never signalled", {Rule(R, SIM_FAULT_WAIT_TIMEOUT, 1, 1)}, 0, 1, 1, 0, TIMEOUT},
        {"read outcome lost", {Rule(R, SIM_FAULT_RESULT_FAILS, 1, 1)}, 0, 1, 1, 0, OVERLAPPED_ERROR},
        {"31-byte reply", {Rule(R, SIM_FAULT_SHORT, 1, 1, 1)}, 0, 1, 1, 0, SIZE_MISMATCH},
    };
    for (const ExchangeCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        SetFaults(c.faults);
        Connect();
        CommandBlock block = Block(OP_STATUS, SUB_DEVICE);
        StatusReply reply = {};

        EXPECT_EQ(ExchangeCommand(&block, &reply), c.result);
        EXPECT_EQ(Console(), c.console);
        EXPECT_EQ(Writes(), c.writes);
        EXPECT_EQ(Reads(), c.reads);
        EXPECT_EQ(World().sleeps, 0u);  // a single try never reconnects
        EXPECT_EQ(World().eventsCreated, 1u);
        ExpectEventsBalanced();
    }
}

TEST_F(LinkTransferTest, ExchangeFillsTheWholeReplyFromTheDevice)
{
    World().scanner.script[0] = STATE_BURNING;
    World().scanner.scriptLength = 1;
    Connect();
    CommandBlock block = Block(OP_STATUS, SUB_FIRMWARE);
    StatusReply reply;
    std::memset(reply.bytes, 0xEE, sizeof reply.bytes);
    ASSERT_EQ(ExchangeCommand(&block, &reply), 1);
    EXPECT_EQ(ReplyState(reply), STATE_BURNING);
    EXPECT_EQ(Console(), "");
}

struct AbsenceCase {
    const char* name;
    std::uint64_t backAtMs;
    int result;
    std::uint32_t reconnects;
    std::string console;
};

// The scanner drops off 10 ms into the run and comes back as path 4. Each
// failed try is followed by a search and a one-second pause, so the return
// time decides which reconnect finds it; tries on no device still count.
TEST_F(LinkTransferTest, ExchangeFollowsAScannerThatLeavesAndReturns)
{
    const AbsenceCase cases[] = {
        {"back before the first reconnect", 15, 1, 1, ""},
        {"back before the third reconnect", 1500, 1, 3, ""},
        {"back before the fourth reconnect", 2500, 1, 4, ""},
        {"back too late for the fifth try", 3500, 0, 4, WRITE_ERROR},
    };
    for (const AbsenceCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().scanner.absences[0] = {10, c.backAtMs, 4};
        World().scanner.absenceCount = 1;
        Connect();
        World().Advance(20);
        CommandBlock block = Block(OP_STATUS, SUB_DEVICE);
        StatusReply reply = {};

        EXPECT_EQ(ExchangeCommandWithRetry(&block, &reply), c.result);
        EXPECT_EQ(Console(), c.console);
        EXPECT_EQ(World().sleeps, c.reconnects);
        if (c.result) {
            EXPECT_STREQ(DevicePath, "\\\\.\\usbscan4");
            EXPECT_NE(DeviceHandle, NO_HANDLE);
        } else {
            EXPECT_STREQ(DevicePath, "\\\\.\\usbscan0");
            EXPECT_EQ(DeviceHandle, NO_HANDLE);
        }
        ExpectEventsBalanced();
    }
}

TEST_F(LinkTransferTest, ReconnectEventThatCannotBeMadeCountsAsATimeout)
{
    struct Case {
        const char* name;
        std::uint32_t refusedEvents;  // from the first reconnect's event on
        int result;
        std::uint32_t reconnects;
        std::string console;
    };
    const Case cases[] = {
        {"one event refused", 1, 1, 2, ""},
        {"every later event refused", FOREVER, 0, 4, TIMEOUT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        SetFaults({Rule(W, SIM_FAULT_CALL_FAILS, 1, 1)});
        World().createEvent = {2, c.refusedEvents, 8};
        Connect();
        CommandBlock block = Block(OP_STATUS, SUB_DEVICE);
        StatusReply reply = {};

        EXPECT_EQ(ExchangeCommandWithRetry(&block, &reply), c.result);
        EXPECT_EQ(Console(), c.console);
        EXPECT_EQ(World().sleeps, c.reconnects);
        ExpectEventsBalanced();
    }
}

TEST_F(LinkTransferTest, NoDeviceOrNoEventFailsSilentlyWithoutTouchingTheBus)
{
    struct Case {
        const char* name;
        bool dropHandle;
        Handle handle;
        std::uint32_t refuseEventFrom;
    };
    const Case cases[] = {
        {"no handle", true, NO_HANDLE, 0},
        {"invalid handle", true, INVALID_HANDLE, 0},
        {"event refused", false, NO_HANDLE, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().createEvent = {c.refuseEventFrom, FOREVER, 8};
        Connect();
        if (c.dropHandle) {
            DeviceHandle = c.handle;
        }
        CommandBlock block = Block(OP_STATUS, SUB_DEVICE);
        StatusReply reply = {};
        ClockRecord record;
        const std::uint8_t data[4] = {1, 2, 3, 4};

        EXPECT_EQ(ExchangeCommand(&block, &reply), 0);
        EXPECT_EQ(ExchangeCommandWithRetry(&block, &reply), 0);
        EXPECT_EQ(WriteData(data, sizeof data), 0);
        EXPECT_EQ(ReadData(&record), 0);
        EXPECT_EQ(Console(), "");
        EXPECT_EQ(Writes(), 0u);
        EXPECT_EQ(Reads(), 0u);
        EXPECT_EQ(World().sleeps, 0u);
        ExpectEventsBalanced();
    }
}

TEST_F(LinkTransferTest, WriteDataSendsTheWholeImageInOneRequest)
{
    Connect();
    const std::uint32_t size = EmbeddedImageSize();
    CommandBlock block = Block(OP_WRITE, SUB_FIRMWARE, DOWNLOAD_PARAM_NORMAL, size);
    StatusReply reply = {};
    ASSERT_EQ(ExchangeCommandWithRetry(&block, &reply), 1);

    EXPECT_EQ(WriteData(EmbeddedImageData(), size), 1);
    EXPECT_EQ(Writes(), 2u);
    EXPECT_EQ(World().model.imageBytes, size);
    EXPECT_TRUE(World().model.imageComplete);
    EXPECT_EQ(Console(), "");
    ExpectEventsBalanced();
}

TEST_F(LinkTransferTest, WriteDataReportsEachStepAndNeverRetries)
{
    struct Case {
        const char* name;
        SimFaultKind kind;
        std::string console;
    };
    const Case cases[] = {
        {"call fails", SIM_FAULT_CALL_FAILS, WRITE_ERROR},
        {"never signalled", SIM_FAULT_WAIT_TIMEOUT, TIMEOUT},
        {"outcome lost", SIM_FAULT_RESULT_FAILS, OVERLAPPED_ERROR},
        {"one byte short", SIM_FAULT_SHORT, SIZE_MISMATCH},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        SetFaults({Rule(W, c.kind, 2, 1, 1)});  // the block goes out; the data does not
        Connect();
        CommandBlock block = Block(OP_WRITE, SUB_CLOCK, CLOCK_PARAM_SET, CLOCK_RECORD_SIZE);
        StatusReply reply = {};
        ClockRecord record = {};
        ASSERT_EQ(ExchangeCommand(&block, &reply), 1);

        EXPECT_EQ(WriteData(record.bytes, sizeof record.bytes), 0);
        EXPECT_EQ(Console(), c.console);
        EXPECT_EQ(Writes(), 2u);
        EXPECT_EQ(World().sleeps, 0u);
        ExpectEventsBalanced();
    }
}

struct ReadCase {
    const char* name;
    std::vector<SimFaultRule> faults;  // read call 1 is the reply; the record starts at call 2
    int result;
    std::uint32_t reads;
    std::uint32_t recordBytes;  // leading bytes of the device's record that arrived; the rest is zero
    std::string console;
};

TEST_F(LinkTransferTest, ReadDataSumsPiecesAndBoundsFailures)
{
    const ReadCase cases[] = {
        {"whole record at once", {}, 1, 2, 36, ""},
        {"20 then 16 bytes, in order", {Rule(R, SIM_FAULT_PARTIAL, 2, 1, 20)}, 1, 3, 36, ""},
        {"one byte at a time", {Rule(R, SIM_FAULT_PARTIAL, 2, 36, 1)}, 1, 37, 36, ""},
        {"unsignalled read is not awaited", {Rule(R, SIM_FAULT_WAIT_TIMEOUT, 2, 1)}, 1, 2, 36, ""},
        {"lost outcome is not fetched", {Rule(R, SIM_FAULT_RESULT_FAILS, 2, 1)}, 1, 2, 36, ""},
        {"1000 failed calls are tolerated", {Rule(R, SIM_FAULT_CALL_FAILS, 2, 1000)}, 1, 1002, 36, ""},
        {"the 1001st failed call gives up", {Rule(R, SIM_FAULT_CALL_FAILS, 2, FOREVER)}, 0, 1002, 0, TIMEOUT},
        {"1000 empty reads are tolerated", {Rule(R, SIM_FAULT_EMPTY, 2, 1000)}, 1, 1002, 36, ""},
        {"the 1001st empty read gives up", {Rule(R, SIM_FAULT_EMPTY, 2, FOREVER)}, 0, 1002, 0, TIMEOUT},
        {"empty and failed reads share one limit",
         {Rule(R, SIM_FAULT_EMPTY, 2, 600), Rule(R, SIM_FAULT_CALL_FAILS, 602, FOREVER)}, 0, 1002, 0, TIMEOUT},
        {"progress does not forgive earlier failures",
         {Rule(R, SIM_FAULT_CALL_FAILS, 2, 500), Rule(R, SIM_FAULT_PARTIAL, 502, 1, 20),
          Rule(R, SIM_FAULT_CALL_FAILS, 503, 501)},
         0, 1003, 20, TIMEOUT},
        {"progress then tolerated failures",
         {Rule(R, SIM_FAULT_PARTIAL, 2, 1, 20), Rule(R, SIM_FAULT_CALL_FAILS, 3, 1000)}, 1, 1003, 36, ""},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        SetFaults(c.faults);
        ScannerConfig& scanner = World().scanner;
        scanner.clockScripted = true;
        for (int i = 0; i < 36; ++i) {
            scanner.clockReply[i] = static_cast<std::uint8_t>(0x40 + 3 * i);
        }
        Connect();
        CommandBlock block = Block(OP_READ, SUB_CLOCK, CLOCK_PARAM_GET, CLOCK_RECORD_SIZE);
        StatusReply reply = {};
        ASSERT_EQ(ExchangeCommand(&block, &reply), 1);
        ClockRecord record;
        std::memset(record.bytes, 0xEE, sizeof record.bytes);

        EXPECT_EQ(ReadData(&record), c.result);
        EXPECT_EQ(Console(), c.console);
        EXPECT_EQ(Reads(), c.reads);
        for (std::uint32_t i = 0; i < 36; ++i) {
            std::uint8_t expected = i < c.recordBytes ? scanner.clockReply[i] : 0;
            ASSERT_EQ(record.bytes[i], expected) << "byte " << i;
        }
        EXPECT_EQ(World().sleeps, 0u);  // failed reads are repeated at once
        ExpectEventsBalanced();
    }
}

}  // namespace
