// Local time and the run-time's conversion of it, which the clock check
// hands a record whose month is 1..12 where 0..11 is expected.
#include "platform/clock.h"

#include <gtest/gtest.h>

namespace {

bool SameDate(const CalendarFields& a, const CalendarFields& b)
{
    return a.tm_sec == b.tm_sec && a.tm_min == b.tm_min && a.tm_hour == b.tm_hour && a.tm_mday == b.tm_mday &&
           a.tm_mon == b.tm_mon && a.tm_year == b.tm_year && a.tm_wday == b.tm_wday && a.tm_yday == b.tm_yday;
}

TEST(PlatformClockTest, MakeLocalTimeNormalisesTheRecordOrLeavesItAsItCame)
{
    struct Case {
        const char* name;
        CalendarFields in;
        CalendarFields out;  // tm_isdst is the zone's and is not compared
        std::int64_t secondsAfterPlain;
    };
    // 6 Jan 2027 10:20:30, written plainly: the reference for the seconds.
    CalendarFields plain{30, 20, 10, 6, 0, 127, 0, 0, -1};
    const std::int64_t reference = MakeLocalTime(&plain);
    ASSERT_NE(reference, -1);
    const Case cases[] = {
        {"month 12 rolls into January of the next year",
         {30, 20, 10, 6, 12, 126, 0, 0, -1},
         {30, 20, 10, 6, 0, 127, 3, 5, 0},
         0},
        {"49 seconds later", {19, 21, 10, 6, 12, 126, 0, 0, -1}, {19, 21, 10, 6, 0, 127, 3, 5, 0}, 49},
        {"31 February becomes 3 March", {0, 0, 8, 31, 1, 126, 6, 0, -1}, {0, 0, 8, 3, 2, 126, 2, 61, 0}, -1},
        {"29 February of a leap year stays", {0, 0, 0, 29, 1, 128, 0, 0, -1}, {0, 0, 0, 29, 1, 128, 2, 59, 0}, -1},
        // 36 zero bytes: year 1900, before what the run-time converts.
        {"zero record", {0, 0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0, 0}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CalendarFields fields = c.in;
        const std::int64_t seconds = MakeLocalTime(&fields);
        EXPECT_EQ(seconds == -1, c.in.tm_year == 0);
        EXPECT_TRUE(c.secondsAfterPlain < 0 || seconds == reference + c.secondsAfterPlain) << seconds - reference;
        EXPECT_TRUE(SameDate(fields, c.out));
    }
}

TEST(PlatformClockTest, LocalTimeFieldsAreOneCalendarDate)
{
    LocalTimeFields now{};
    ReadLocalTime(&now);
    EXPECT_LE(now.wMilliseconds, 999);
    // Converting the date back must change nothing and give its weekday.
    CalendarFields date{now.wSecond, now.wMinute, now.wHour, now.wDay, now.wMonth - 1, now.wYear - 1900, 0, 0, -1};
    CalendarFields expected = date;
    expected.tm_wday = now.wDayOfWeek;
    ASSERT_NE(MakeLocalTime(&date), -1);
    expected.tm_yday = date.tm_yday;
    EXPECT_TRUE(SameDate(date, expected));
}

}  // namespace
