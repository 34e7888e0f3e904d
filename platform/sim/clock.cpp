#include "platform/clock.h"
#include "platform/calendar_tm.h"

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "platform/sim/objects.h"
#include "platform/sim/scoped_time_zone.h"

namespace {

// The updater's run-time library is the Windows one, whose 64-bit mktime
// refuses instants before 1970-01-01 00:00:00 UTC and after
// 3000-12-31 23:59:59 UTC; the simulated host keeps the same range so that
// both builds accept and refuse the same clocks.
constexpr std::int64_t EARLIEST_TIME = 0;
constexpr std::int64_t LATEST_TIME = 32535215999;

}  // namespace

void SleepMs(std::uint32_t milliseconds)
{
    ++World().sleeps;
    RecordCall("Sleep ", milliseconds);
    // A zero-length sleep still gives the processor away, and the loops that
    // make one also ask the service manager across processes each time: on a
    // PC such a pass costs a few milliseconds (about 2.8 ms measured under
    // Wine). A millisecond keeps those loops moving in virtual time as they
    // do on a PC, instead of freezing the world around them.
    PassTime(milliseconds == 0 ? 1 : milliseconds);
}

std::uint32_t TickCount()
{
    const SimWorld& world = World();
    return static_cast<std::uint32_t>(world.tickAtStart + world.nowMs);
}

std::uint64_t AwakeMs()
{
    const SimWorld& world = World();
    return world.nowMs - world.asleepMs;
}

void ReadLocalTime(LocalTimeFields* out)
{
    const SimWorld& world = World();
    const std::uint64_t sinceStart = world.millisecondsAtStart + world.nowMs;
    const std::time_t seconds =
        static_cast<std::time_t>(world.localTimeAtStart + static_cast<std::int64_t>(sinceStart / 1000));
    std::tm local{};
    {
        ScopedTimeZone zone(world.timeZone);
        localtime_r(&seconds, &local);
    }
    out->wYear = static_cast<std::uint16_t>(local.tm_year + 1900);
    out->wMonth = static_cast<std::uint16_t>(local.tm_mon + 1);
    out->wDayOfWeek = static_cast<std::uint16_t>(local.tm_wday);
    out->wDay = static_cast<std::uint16_t>(local.tm_mday);
    out->wHour = static_cast<std::uint16_t>(local.tm_hour);
    out->wMinute = static_cast<std::uint16_t>(local.tm_min);
    out->wSecond = static_cast<std::uint16_t>(local.tm_sec);
    out->wMilliseconds = static_cast<std::uint16_t>(sinceStart % 1000);
}

std::int64_t MakeLocalTime(CalendarFields* fields)
{
    std::tm record = CalendarToTm(*fields);
    std::time_t result;
    {
        ScopedTimeZone zone(World().timeZone);
        result = std::mktime(&record);
    }
    static_assert(sizeof(std::time_t) == 8, "the conversion must be the 64-bit one");
    const std::int64_t seconds = static_cast<std::int64_t>(result);
    // glibc's -1 is ambiguous (one second before 1970), but that instant is
    // outside the accepted range anyway.
    if (seconds < EARLIEST_TIME || seconds > LATEST_TIME) {
        return -1;
    }
    TmToCalendar(record, fields);
    return seconds;
}
