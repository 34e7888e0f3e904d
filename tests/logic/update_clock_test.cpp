// The clock handshake: the record the scanner receives, the window the
// read-back must fall in, and what the handshake does when a transfer fails.
#include <cstring>
#include <string>

#include "app/shared.h"
#include "link/discovery.h"
#include "link/wire.h"
#include "tests/logic/sim_fixture.h"
#include "tests/logic/update_texts.h"
#include "update/clock_handshake.h"

using namespace update_texts;

namespace {

// A POSIX zone with daylight saving from the second Sunday of March to the
// first Sunday of November, five hours behind UTC in winter.
constexpr const char* EASTERN = "EST5EDT,M3.2.0,M11.1.0";

class UpdateClockTest : public SimTest {
protected:
    void Connect()
    {
        StartWorld();
        DeviceHandle = RediscoverScanner();
        ASSERT_NE(DeviceHandle, NO_HANDLE);
    }

    static ClockRecord Received()
    {
        ClockRecord record;
        std::memcpy(record.bytes, World().model.clockRecord, sizeof record.bytes);
        return record;
    }

    void ScriptClockReply(const ClockRecord& record)
    {
        World().scanner.clockScripted = true;
        std::memcpy(World().scanner.clockReply, record.bytes, sizeof record.bytes);
    }
};

// ---- the record the scanner receives ----

struct SentRecordCase {
    const char* name;
    std::int64_t hostUnixSeconds;
    const char* zone;
    // tm_sec, tm_min, tm_hour, tm_mday, tm_mon, tm_year, tm_wday, tm_yday,
    // tm_isdst as they reach the scanner.
    std::int32_t fields[9];
};

class UpdateSentRecordTest : public UpdateClockTest, public ::testing::WithParamInterface<SentRecordCase> {};

TEST_P(UpdateSentRecordTest, CarriesTheHostDateOneMonthOnNormalised)
{
    World().localTimeAtStart = GetParam().hostUnixSeconds;
    World().timeZone = GetParam().zone;
    Connect();
    // A scanner that keeps what it got agrees with itself in any zone.
    EXPECT_TRUE(SetScannerClock());
    ASSERT_TRUE(World().model.clockHeld);
    const ClockRecord record = Received();
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(ClockField(record, i), GetParam().fields[i]) << "field " << i;
    }
    EXPECT_EQ(Console(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Dates, UpdateSentRecordTest,
    ::testing::Values(
        // Sunday 6 Dec 2026 10:20:30.250: month 12 rolls into January 2027,
        // a Wednesday, day 5 of its year; the milliseconds stay behind.
        SentRecordCase{"DecemberRollsIntoNextYear", 1796552430, "UTC", {30, 20, 10, 6, 0, 127, 3, 5, 0}},
        // Saturday 31 Jan 2026 08:00: "31 February" is Tuesday 3 March.
        SentRecordCase{"JanuaryThirtyFirstSkipsFebruary", 1769846400, "UTC", {0, 0, 8, 3, 2, 126, 2, 61, 0}},
        // 2028 is a leap year: 29 January goes out as Tuesday 29 February,
        // 30 January as Wednesday 1 March.
        SentRecordCase{"LeapYearJanuary29", 1832749200, "UTC", {0, 0, 9, 29, 1, 128, 2, 59, 0}},
        SentRecordCase{"LeapYearJanuary30", 1832835600, "UTC", {0, 0, 9, 1, 2, 128, 3, 60, 0}},
        // Noon on Sunday 15 Feb 2026 in winter time is sent as noon on
        // Sunday 15 March, which the zone keeps in summer time.
        SentRecordCase{"IntoDaylightSaving", 1771174800, EASTERN, {0, 0, 12, 15, 2, 126, 0, 73, 1}},
        // Noon on Thursday 15 Oct 2026 in summer time goes out as noon on
        // Sunday 15 November, back in winter time.
        SentRecordCase{"OutOfDaylightSaving", 1792080000, EASTERN, {0, 0, 12, 15, 10, 126, 0, 318, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- the window ----

struct SkewCase {
    const char* name;
    std::int32_t skewSeconds;
    bool accepted;
};

class UpdateClockWindowTest : public UpdateClockTest, public ::testing::WithParamInterface<SkewCase> {};

TEST_P(UpdateClockWindowTest, AcceptsOnlyStrictlyWithinFiftySeconds)
{
    World().scanner.clockSkewSeconds = GetParam().skewSeconds;
    Connect();
    EXPECT_EQ(SetScannerClock(), GetParam().accepted);
    EXPECT_EQ(World().model.clockReads, 1u);
    // A clock outside the window is reported by the update's outcome only.
    EXPECT_EQ(Console(), "");
}

INSTANTIATE_TEST_SUITE_P(Skews, UpdateClockWindowTest,
                         ::testing::Values(SkewCase{"Behind50", -50, false}, SkewCase{"Behind49", -49, true},
                                           SkewCase{"Exact", 0, true}, SkewCase{"Ahead49", 49, true},
                                           SkewCase{"Ahead50", 50, false}, SkewCase{"AheadAnHour", 3600, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateClockTest, ZeroRecordIsRefused)
{
    ScriptClockReply(ClockRecord{});
    Connect();
    EXPECT_FALSE(SetScannerClock());
    EXPECT_EQ(World().model.clockReads, 1u);
}

TEST_F(UpdateClockTest, ZeroRecordIsRefusedWithTheHostSecondsFromTheEpoch)
{
    // Host time Monday 1 Dec 1969 00:00:10 UTC goes out as 1 Jan 1970
    // 00:00:10: ten seconds, within the window of the -1 that the zero
    // record's failed conversion reads as.
    World().localTimeAtStart = -2678390;
    ScriptClockReply(ClockRecord{});
    Connect();
    EXPECT_FALSE(SetScannerClock());
    EXPECT_EQ(World().model.clockReads, 1u);
}

struct UnconvertibleHostCase {
    const char* name;
    std::int64_t hostUnixSeconds;
};

class UpdateUnconvertibleHostTest : public UpdateClockTest, public ::testing::WithParamInterface<UnconvertibleHostCase> {};

// A host time that the conversion cannot take reads as -1, and so would any
// read-back that fails to convert: such a match proves nothing.
TEST_P(UpdateUnconvertibleHostTest, IsRefusedBeforeAnythingIsSent)
{
    World().localTimeAtStart = GetParam().hostUnixSeconds;
    Connect();
    EXPECT_FALSE(SetScannerClock());
    EXPECT_EQ(World().model.commandsReceived, 0u);
    EXPECT_FALSE(World().model.clockHeld);
    EXPECT_EQ(Console(), "");
}

INSTANTIATE_TEST_SUITE_P(Hosts, UpdateUnconvertibleHostTest,
                         ::testing::Values(
                             // 1 Dec 3000 goes out as January 3001.
                             UnconvertibleHostCase{"AfterYear3000", 32532580800},
                             // 15 Nov 1969 goes out as 15 Dec 1969.
                             UnconvertibleHostCase{"Before1970", -4017600}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- failed transfers ----

struct TransferFailureCase {
    const char* name;
    SimFaultRule fault;
    std::string console;
    std::uint32_t writeCalls;  // block, record, read-back block
    std::uint32_t readCalls;   // reply, reply, record
    bool recordSent;
    std::uint32_t clockReads;
};

class UpdateClockTransferFailureTest : public UpdateClockTest, public ::testing::WithParamInterface<TransferFailureCase> {};

TEST_P(UpdateClockTransferFailureTest, StopsAtTheFailedStepWithoutRetry)
{
    World().scanner.faults[World().scanner.faultCount++] = GetParam().fault;
    Connect();
    EXPECT_FALSE(SetScannerClock());
    EXPECT_EQ(Console(), GetParam().console);
    EXPECT_EQ(World().model.writeCalls, GetParam().writeCalls);
    EXPECT_EQ(World().model.readCalls, GetParam().readCalls);
    EXPECT_EQ(World().model.clockHeld, GetParam().recordSent);
    EXPECT_EQ(World().model.clockReads, GetParam().clockReads);
}

constexpr SimFaultRule Fails(SimDirection direction, SimFaultKind kind, std::uint32_t call)
{
    return SimFaultRule{static_cast<std::uint8_t>(direction), static_cast<std::uint8_t>(kind), call, 1, 0};
}

INSTANTIATE_TEST_SUITE_P(
    Steps, UpdateClockTransferFailureTest,
    ::testing::Values(
        // The set command never goes out: neither the record nor the
        // read-back command follows.
        TransferFailureCase{"SetCommandWriteFails", Fails(SIM_DIR_WRITE, SIM_FAULT_CALL_FAILS, 1), USB_WRITE_ERROR,
                            1, 0, false, 0},
        TransferFailureCase{"SetCommandReplyFails", Fails(SIM_DIR_READ, SIM_FAULT_CALL_FAILS, 1), USB_READ_ERROR, 1,
                            1, false, 0},
        TransferFailureCase{"RecordWriteTimesOut", Fails(SIM_DIR_WRITE, SIM_FAULT_WAIT_TIMEOUT, 2), USB_TIMEOUT, 2,
                            1, true, 0},
        TransferFailureCase{"ReadBackReplyFails", Fails(SIM_DIR_READ, SIM_FAULT_CALL_FAILS, 2), USB_READ_ERROR, 3,
                            2, true, 1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
