#include <cstdint>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "tests/logic/sim_fixture.h"

namespace {

using SimClockTest = SimTest;

TEST_F(SimClockTest, SleepsAdvanceVirtualTimeAndTheTickCountWraps)
{
    World().tickAtStart = 0xFFFFFF00u;
    StartWorld();
    EXPECT_EQ(TickCount(), 0xFFFFFF00u);
    SleepMs(0xFF);
    EXPECT_EQ(TickCount(), 0xFFFFFFFFu);
    SleepMs(0x101);
    EXPECT_EQ(TickCount(), 0x100u);
    EXPECT_EQ(World().nowMs, 0x200u);
    EXPECT_EQ(World().sleeps, 2u);
}

struct LocalCase {
    const char* zone;
    std::uint32_t afterMs;
    LocalTimeFields expected;
};

TEST_F(SimClockTest, LocalTimeFollowsTheVirtualClockInTheWorldsZone)
{
    // 1796552430 is Sunday 2026-12-06 10:20:30 UTC; the run starts 250 ms
    // into that second.
    const LocalCase cases[] = {
        {"UTC", 0, {2026, 12, 0, 6, 10, 20, 30, 250}},
        {"UTC", 749, {2026, 12, 0, 6, 10, 20, 30, 999}},
        {"UTC", 750, {2026, 12, 0, 6, 10, 20, 31, 0}},
        {"Asia/Taipei", 0, {2026, 12, 0, 6, 18, 20, 30, 250}},
        {"America/New_York", 0, {2026, 12, 0, 6, 5, 20, 30, 250}},
        {"Pacific/Kiritimati", 0, {2026, 12, 1, 7, 0, 20, 30, 250}},
        {"UTC", 49 * 3600 * 1000u, {2026, 12, 2, 8, 11, 20, 30, 250}},
    };
    for (const LocalCase& c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " +" + std::to_string(c.afterMs));
        SetUp();
        World().timeZone = c.zone;
        StartWorld();
        World().Advance(c.afterMs);
        LocalTimeFields t{};
        ReadLocalTime(&t);
        EXPECT_EQ(t.wYear, c.expected.wYear);
        EXPECT_EQ(t.wMonth, c.expected.wMonth);
        EXPECT_EQ(t.wDayOfWeek, c.expected.wDayOfWeek);
        EXPECT_EQ(t.wDay, c.expected.wDay);
        EXPECT_EQ(t.wHour, c.expected.wHour);
        EXPECT_EQ(t.wMinute, c.expected.wMinute);
        EXPECT_EQ(t.wSecond, c.expected.wSecond);
        EXPECT_EQ(t.wMilliseconds, c.expected.wMilliseconds);
    }
}

struct ConvertCase {
    const char* name;
    const char* zone;
    CalendarFields in;
    std::int64_t seconds;
    CalendarFields out;  // the normalised record (unchanged when refused)
};

TEST_F(SimClockTest, MakeLocalTimeNormalisesUnderTheWorldsZone)
{
    const ConvertCase cases[] = {
        {"month 12 rolls into January of the next year", "UTC",
         {30, 20, 10, 6, 12, 126, 0, 0, -1}, 1799230830, {30, 20, 10, 6, 0, 127, 3, 5, 0}},
        {"31 February is 3 March", "UTC",
         {0, 0, 8, 31, 1, 126, 6, 0, -1}, 1772524800, {0, 0, 8, 3, 2, 126, 2, 61, 0}},
        {"seconds beyond 59 carry", "UTC",
         {75, 59, 23, 31, 11, 126, 0, 0, 0}, 1798761615, {15, 0, 0, 1, 0, 127, 5, 0, 0}},
        {"summer in Berlin decides daylight saving itself", "Europe/Berlin",
         {0, 0, 12, 1, 6, 126, 0, 0, -1}, 1782900000, {0, 0, 12, 1, 6, 126, 3, 181, 1}},
        {"Taipei is eight hours ahead", "Asia/Taipei",
         {0, 0, 8, 1, 0, 126, 0, 0, -1}, 1767225600, {0, 0, 8, 1, 0, 126, 4, 0, 0}},
        {"a record of zeros (1900) is refused", "UTC",
         {0, 0, 0, 0, 0, 0, 0, 0, 0}, -1, {0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"one second before 1970 is refused", "UTC",
         {59, 59, 23, 31, 11, 69, 0, 0, 0}, -1, {59, 59, 23, 31, 11, 69, 0, 0, 0}},
        {"the first second of 1970 converts", "UTC",
         {0, 0, 0, 1, 0, 70, 9, 9, 0}, 0, {0, 0, 0, 1, 0, 70, 4, 0, 0}},
        {"past the year 3000 is refused", "UTC",
         {0, 0, 0, 1, 0, 1101, 0, 0, 0}, -1, {0, 0, 0, 1, 0, 1101, 0, 0, 0}},
    };
    for (const ConvertCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().timeZone = c.zone;
        StartWorld();
        CalendarFields f = c.in;
        EXPECT_EQ(MakeLocalTime(&f), c.seconds);
        EXPECT_EQ(f.tm_sec, c.out.tm_sec);
        EXPECT_EQ(f.tm_min, c.out.tm_min);
        EXPECT_EQ(f.tm_hour, c.out.tm_hour);
        EXPECT_EQ(f.tm_mday, c.out.tm_mday);
        EXPECT_EQ(f.tm_mon, c.out.tm_mon);
        EXPECT_EQ(f.tm_year, c.out.tm_year);
        EXPECT_EQ(f.tm_wday, c.out.tm_wday);
        EXPECT_EQ(f.tm_yday, c.out.tm_yday);
        EXPECT_EQ(f.tm_isdst, c.out.tm_isdst);
    }
}

TEST_F(SimClockTest, TheProcessZoneIsLeftAsItWas)
{
    World().timeZone = "Asia/Taipei";
    StartWorld();
    for (const char* before : {"Pacific/Auckland", static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(before ? before : "unset");
        if (before) {
            setenv("TZ", before, 1);
        } else {
            unsetenv("TZ");
        }
        CalendarFields f{0, 0, 8, 1, 0, 126, 0, 0, -1};
        EXPECT_EQ(MakeLocalTime(&f), 1767225600);
        LocalTimeFields t{};
        ReadLocalTime(&t);
        const char* after = std::getenv("TZ");
        if (before) {
            ASSERT_NE(after, nullptr);
            EXPECT_STREQ(after, before);
        } else {
            EXPECT_EQ(after, nullptr);
        }
    }
    unsetenv("TZ");
}

}  // namespace
