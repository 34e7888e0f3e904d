// Local time under a named zone, for scenario start times and the scanner's
// clock in the report.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "scenario_runner/local_time.h"

namespace {

TEST(RunnerTimeTest, KnownZones)
{
    const struct {
        const char* zone;
        bool known;
    } cases[] = {
        {"Europe/Berlin", true},
        {"CET-1CEST,M3.5.0,M10.5.0/3", true},
        {"<+08>-8", true},
        {"", false},
        {"Europe", false},  // a folder of the database, not a zone
        {"../../../etc/passwd", false},
        {"/etc/localtime", false},
        {"Europe/../UTC", false},
        // files beside the zones that are not zones
        {"leapseconds", false},
        {"zone.tab", false},
        {"tzdata.zi", false},
        // POSIX rules: read whole, offsets within 24 hours
        {"EST5EDT", true},
        {"CET-1CEST", true},
        {"ABC+24", true},
        {"<-03>3<-02>,M3.5.0/-2,M10.5.0/-1", true},
        {"AAA-12:30:15BBB-13:45,J60/2,300/167:59:59", true},
        {"ABC+99", false},
        {"ABC+25", false},
        {"ABC-1:60", false},
        {"AB+1", false},
        {"ABC", false},
        {"<AB>-1", false},
        {"CET-1CEST,garbage,junk", false},
        {"CET-1CEST,M3.5.0", false},
        {"CET-1CEST,M3.5.0,M10.5.0,", false},
        {"CET-1CEST,M13.5.0,M10.5.0", false},
        {"CET-1CEST,M3.6.0,M10.5.0", false},
        {"CET-1CEST,M3.5.7,M10.5.0", false},
        {"CET-1CEST,J0,J365", false},
        {"CET-1CEST,0,366", false},
        {"CET-1CEST,M3.5.0/168,M10.5.0", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.zone);
        EXPECT_EQ(IsKnownTimeZone(c.zone), c.known);
    }
}

struct ParseCase {
    const char* text;
    const char* zone;
    bool valid;
    std::int64_t unixSeconds;
    int milliseconds;
};

// For a time whose instant the case does not pin down.
constexpr std::int64_t ANY_INSTANT = INT64_MIN;

const ParseCase PARSE_CASES[] = {
    {"2026-12-06T10:20:30", "UTC", true, 1796552430, 0},
    {"2026-12-06T10:20:30.250", "UTC", true, 1796552430, 250},
    {"2026-12-06T10:20:30.5", "UTC", true, 1796552430, 500},
    {"2026-07-01T12:00:00", "Europe/Berlin", true, 1782900000, 0},
    {"2024-02-29T00:00:00", "UTC", true, 1709164800, 0},
    // The hour repeated in autumn exists, whichever of the two it means.
    {"2026-10-25T02:30:00", "Europe/Berlin", true, ANY_INSTANT, 0},
    // The one second whose count is mktime's failure value.
    {"1969-12-31T23:59:59", "UTC", true, -1, 0},
    {"1970-01-01T07:59:59.999", "Asia/Taipei", true, -1, 999},
    {"2026-12-06T10:20:30.2500", "UTC", false, 0, 0},
    {"2026-12-06T10:20:30.", "UTC", false, 0, 0},
    {"2026-12-06 10:20:30", "UTC", false, 0, 0},
    {"2026-12-06T10:20:30Z", "UTC", false, 0, 0},
    {"2026-13-01T00:00:00", "UTC", false, 0, 0},
    {"2026-02-29T00:00:00", "UTC", false, 0, 0},
    {"2026-12-06T24:00:00", "UTC", false, 0, 0},
    {"2026-03-29T02:30:00", "Europe/Berlin", false, 0, 0},
    {"+026-12-06T10:20:30", "UTC", false, 0, 0},
};

TEST(RunnerTimeTest, ParsesLocalTimeInItsZone)
{
    for (const ParseCase& c : PARSE_CASES) {
        SCOPED_TRACE(std::string(c.text) + " in " + c.zone);
        const auto instant = ParseLocalTime(c.text, c.zone);
        ASSERT_EQ(instant.has_value(), c.valid);
        if (!c.valid) {
            continue;
        }
        if (c.unixSeconds != ANY_INSTANT) {
            EXPECT_EQ(instant->unixSeconds, c.unixSeconds);
        }
        EXPECT_EQ(instant->milliseconds, c.milliseconds);
    }
}

TEST(RunnerTimeTest, FormatsInTheGivenZone)
{
    EXPECT_EQ(FormatLocalTime(1796552430, "Asia/Taipei"), "2026-12-06T18:20:30");
    EXPECT_EQ(FormatLocalTime(1782900000, "Europe/Berlin"), "2026-07-01T12:00:00");
}

TEST(RunnerTimeTest, PutsTheProcessZoneBack)
{
    // The simulated platform converts local time under TZ as well; a helper
    // that left its own zone behind would shift every later conversion.
    setenv("TZ", "America/New_York", 1);
    tzset();
    ParseLocalTime("2026-12-06T10:20:30", "Asia/Taipei");
    FormatLocalTime(0, "Europe/Berlin");
    const std::int32_t fields[9] = {0, 0, 0, 1, 0, 70, 0, 0, 0};
    LocalFieldsToSeconds(fields, "UTC");
    ASSERT_NE(std::getenv("TZ"), nullptr);
    EXPECT_STREQ(std::getenv("TZ"), "America/New_York");

    unsetenv("TZ");
    tzset();
    ParseLocalTime("2026-12-06T10:20:30", "Asia/Taipei");
    EXPECT_EQ(std::getenv("TZ"), nullptr);
}

TEST(RunnerTimeTest, FieldsToSecondsReadsMonthsFromZero)
{
    const std::int32_t january1970[9] = {0, 0, 0, 1, 0, 70, 0, 0, 0};
    EXPECT_EQ(LocalFieldsToSeconds(january1970, "UTC"), 0);
    // 1 January 1970 in Taipei is 8 hours before it is in UTC.
    EXPECT_EQ(LocalFieldsToSeconds(january1970, "Asia/Taipei"), -8 * 3600);
    const std::int32_t lastSecondOf1969[9] = {59, 59, 23, 31, 11, 69, 0, 0, 0};
    EXPECT_EQ(LocalFieldsToSeconds(lastSecondOf1969, "UTC"), -1);
    // A year beyond what the calendar holds is no time at all.
    const std::int32_t farFuture[9] = {0, 0, 0, 1, INT32_MAX, INT32_MAX, 0, 0, 0};
    EXPECT_EQ(LocalFieldsToSeconds(farFuture, "UTC"), std::nullopt);
}

}  // namespace
