// Local time, its conversion to seconds, sleeps and the tick count.
#include "platform/clock.h"

#include <gtest/gtest.h>

namespace {

CalendarFields Fields(int sec, int min, int hour, int mday, int mon, int year, int wday, int yday, int isdst)
{
    return CalendarFields{sec, min, hour, mday, mon, year, wday, yday, isdst};
}

// The clock record goes out with the calendar month (1..12) where the
// conversion expects 0..11; the conversion must carry the overflow into
// the following months and years and rewrite every field.
TEST(MakeLocalTimeTest, NormalisesOutOfRangeFields)
{
    struct Case {
        const char* name;
        CalendarFields in;
        CalendarFields out;  // tm_isdst is not compared: it is the zone's
    };
    const Case cases[] = {
        {"month 12 rolls into January of the next year", Fields(30, 20, 10, 6, 12, 126, 0, 0, -1),
         Fields(30, 20, 10, 6, 0, 127, 3, 5, 0)},
        {"31 February becomes 3 March", Fields(0, 0, 8, 31, 1, 126, 6, 0, -1), Fields(0, 0, 8, 3, 2, 126, 2, 61, 0)},
        {"29 February of a leap year stays", Fields(0, 0, 0, 29, 1, 128, 0, 0, -1),
         Fields(0, 0, 0, 29, 1, 128, 2, 59, 0)},
        {"second 60 of New Year's Eve", Fields(60, 59, 23, 31, 11, 126, 0, 0, -1),
         Fields(0, 0, 0, 1, 0, 127, 5, 0, 0)},
        {"wrong weekday and year day are recomputed", Fields(0, 0, 12, 6, 11, 126, 5, 200, -1),
         Fields(0, 0, 12, 6, 11, 126, 0, 339, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CalendarFields fields = c.in;
        ASSERT_NE(MakeLocalTime(&fields), -1);
        EXPECT_EQ(fields.tm_sec, c.out.tm_sec);
        EXPECT_EQ(fields.tm_min, c.out.tm_min);
        EXPECT_EQ(fields.tm_hour, c.out.tm_hour);
        EXPECT_EQ(fields.tm_mday, c.out.tm_mday);
        EXPECT_EQ(fields.tm_mon, c.out.tm_mon);
        EXPECT_EQ(fields.tm_year, c.out.tm_year);
        EXPECT_EQ(fields.tm_wday, c.out.tm_wday);
        EXPECT_EQ(fields.tm_yday, c.out.tm_yday);
        EXPECT_TRUE(fields.tm_isdst == 0 || fields.tm_isdst == 1);
    }
}

TEST(MakeLocalTimeTest, SecondsOfOverflowedAndPlainRecordAgree)
{
    CalendarFields overflowed = Fields(30, 20, 10, 6, 12, 126, 0, 0, -1);
    CalendarFields plain = Fields(30, 20, 10, 6, 0, 127, 0, 0, -1);
    CalendarFields later = Fields(19, 21, 10, 6, 0, 127, 0, 0, -1);
    const std::int64_t seconds = MakeLocalTime(&overflowed);
    ASSERT_NE(seconds, -1);
    EXPECT_EQ(MakeLocalTime(&plain), seconds);
    EXPECT_EQ(MakeLocalTime(&later), seconds + 49);
    // 2027-01-06 10:20:30 lies within a day of its UTC reading, whatever
    // the host's zone.
    EXPECT_NEAR(static_cast<double>(seconds), 1799230830.0, 14 * 3600.0);
}

TEST(MakeLocalTimeTest, UnconvertibleRecordGivesMinusOneAndStaysAsItWas)
{
    const CalendarFields cases[] = {
        Fields(0, 0, 0, 0, 0, 0, 0, 0, 0),          // 36 zero bytes: year 1900
        Fields(0, 0, 0, 1, 0, 60, 0, 0, -1),        // 1960, before the epoch
    };
    for (const CalendarFields& in : cases) {
        SCOPED_TRACE(in.tm_year);
        CalendarFields fields = in;
        EXPECT_EQ(MakeLocalTime(&fields), -1);
        EXPECT_EQ(fields.tm_mday, in.tm_mday);
        EXPECT_EQ(fields.tm_year, in.tm_year);
        EXPECT_EQ(fields.tm_isdst, in.tm_isdst);
    }
}

TEST(LocalTimeTest, FieldsAreTheCalendarDate)
{
    LocalTimeFields now{};
    ReadLocalTime(&now);
    EXPECT_GE(now.wYear, 2000);
    EXPECT_GE(now.wMonth, 1);
    EXPECT_LE(now.wMonth, 12);
    EXPECT_GE(now.wDay, 1);
    EXPECT_LE(now.wDay, 31);
    EXPECT_LE(now.wHour, 23);
    EXPECT_LE(now.wMinute, 59);
    EXPECT_LE(now.wSecond, 59);
    EXPECT_LE(now.wMilliseconds, 999);
    // The weekday must belong to the date, not be another field.
    CalendarFields date = Fields(now.wSecond, now.wMinute, now.wHour, now.wDay, now.wMonth - 1, now.wYear - 1900,
                                 0, 0, -1);
    ASSERT_NE(MakeLocalTime(&date), -1);
    EXPECT_EQ(date.tm_wday, now.wDayOfWeek);
}

TEST(TickCountTest, SleepAdvancesTheTickCount)
{
    const std::uint32_t before = TickCount();
    SleepMs(50);
    const std::uint32_t elapsed = TickCount() - before;
    // The tick count moves in steps of up to about 16 ms.
    EXPECT_GE(elapsed, 50u - 16u);
}

} // namespace
