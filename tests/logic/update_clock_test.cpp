// The clock handshake: the record the scanner receives, the window the
// read-back must fall in, and what the handshake does when a transfer fails.
#include <cstring>
#include <string>
#include <utility>

#include "common/shared.h"
#include "link/discovery.h"
#include "link/wire.h"
#include "tests/logic/console_texts.h"
#include "tests/logic/sim_fixture.h"
#include "update/clock_handshake.h"

using namespace texts;

namespace {

class UpdateClockTest : public SimulatedWorldFixture {
protected:
    void Connect()
    {
        StartWorld();
        DeviceHandle = RediscoverScanner();
        ASSERT_NE(DeviceHandle, NO_HANDLE);
    }
};

TEST_F(UpdateClockTest, SentRecordCarriesTheHostDateOneMonthOnNormalised)
{
    const struct {
        const char* name;
        std::int64_t hostUnixSeconds;
        const char* zone;
        std::int32_t fields[9];  // tm_sec .. tm_isdst as they reach the scanner
    } cases[] = {
        // Sunday 6 Dec 2026 10:20:30.250: month 12 rolls into January 2027,
        // a Wednesday, day 5 of its year; the milliseconds stay behind.
        {"December rolls into the next year", 1796552430, "UTC", {30, 20, 10, 6, 0, 127, 3, 5, 0}},
        // Saturday 31 Jan 2026 08:00: "31 February" is Tuesday 3 March.
        {"31 January skips February", 1769846400, "UTC", {0, 0, 8, 3, 2, 126, 2, 61, 0}},
        // 2028 is a leap year: 29 January goes out as Tuesday 29 February.
        {"leap-year January 29", 1832749200, "UTC", {0, 0, 9, 29, 1, 128, 2, 59, 0}},
        // Noon on Sunday 15 Feb 2026 in winter time goes out as noon on
        // Sunday 15 March, which the zone keeps in summer time.
        {"into daylight saving", 1771174800, "EST5EDT,M3.2.0,M11.1.0", {0, 0, 12, 15, 2, 126, 0, 73, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().localTimeAtStart = c.hostUnixSeconds;
        World().timeZone = c.zone;
        Connect();
        // A scanner that keeps what it got agrees with itself in any zone.
        EXPECT_TRUE(SetScannerClock());
        ASSERT_TRUE(World().model.clockHeld);
        ClockRecord record;
        std::memcpy(record.bytes, World().model.clockRecord, sizeof record.bytes);
        for (int i = 0; i < 9; ++i) {
            EXPECT_EQ(ClockField(record, i), c.fields[i]) << "field " << i;
        }
        EXPECT_EQ(Console(), "");
    }
}

TEST_F(UpdateClockTest, AcceptsOnlyStrictlyWithinFiftySeconds)
{
    const std::pair<std::int32_t, bool> skews[] = {{-50, false}, {-49, true}, {0, true}, {49, true}, {50, false}};
    for (const auto& [skew, accepted] : skews) {
        SCOPED_TRACE(skew);
        SetUp();
        World().scanner.clockSkewSeconds = skew;
        Connect();
        EXPECT_EQ(SetScannerClock(), accepted);
        EXPECT_EQ(World().model.clockReads, 1u);
        // A clock outside the window is reported by the update's outcome only.
        EXPECT_EQ(Console(), "");
    }
}

// A record the conversion cannot take reads as -1 seconds: a zero record
// read back, or a host date out of its range. Two such failures must not
// count as a match.
TEST_F(UpdateClockTest, UnconvertibleRecordsAreRefused)
{
    const struct {
        const char* name;
        std::int64_t hostUnixSeconds;
        bool zeroReply;
        std::uint32_t clockReads;
    } cases[] = {
        {"zero record read back", 1796552430, true, 1},
        // 1 Dec 1969 00:00:10 UTC goes out as 1 Jan 1970 00:00:10: ten
        // seconds, within the window of the zero record's -1.
        {"zero record read back near the epoch", -2678390, true, 1},
        {"host after the year 3000: nothing sent", 32532580800, false, 0},
        {"host date that goes out before 1970: nothing sent", -4017600, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().localTimeAtStart = c.hostUnixSeconds;
        World().scanner.clockScripted = c.zeroReply;
        std::memset(World().scanner.clockReply, 0, sizeof World().scanner.clockReply);
        Connect();
        EXPECT_FALSE(SetScannerClock());
        EXPECT_EQ(World().model.clockReads, c.clockReads);
        if (c.clockReads == 0) {
            EXPECT_EQ(World().model.commandsReceived, 0u);
        }
        EXPECT_EQ(Console(), "");
    }
}

TEST_F(UpdateClockTest, FailedTransferStopsAtItsStepWithoutRetry)
{
    const struct {
        const char* name;
        SimDirection direction;
        SimFaultKind kind;
        std::uint32_t call;
        std::string console;
        std::uint32_t writeCalls;  // block, record, read-back block
        std::uint32_t readCalls;   // reply, reply, record
        bool recordSent;
        std::uint32_t clockReads;
    } cases[] = {
        // The set command never goes out: neither the record nor the
        // read-back command follows.
        {"set command write fails", SIM_DIR_WRITE, SIM_FAULT_CALL_FAILS, 1, USB_WRITE_ERROR, 1, 0, false, 0},
        {"set command reply fails", SIM_DIR_READ, SIM_FAULT_CALL_FAILS, 1, USB_READ_ERROR, 1, 1, false, 0},
        // A stall moves nothing: the scanner holds no record.
        {"record write stalls", SIM_DIR_WRITE, SIM_FAULT_STALL, 2, USB_WRITE_ERROR, 2, 1, false, 0},
        {"read-back reply fails", SIM_DIR_READ, SIM_FAULT_CALL_FAILS, 2, USB_READ_ERROR, 3, 2, true, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().scanner.faults[World().scanner.faultCount++] = SimFaultRule{c.direction, c.kind, c.call, 1, 0};
        Connect();
        EXPECT_FALSE(SetScannerClock());
        EXPECT_EQ(Console(), c.console);
        EXPECT_EQ(World().model.writeCalls, c.writeCalls);
        EXPECT_EQ(World().model.readCalls, c.readCalls);
        EXPECT_EQ(World().model.clockHeld, c.recordSent);
        EXPECT_EQ(World().model.clockReads, c.clockReads);
    }
}

}  // namespace
