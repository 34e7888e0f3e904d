#include "platform/clock.h"

#include <windows.h>

#include <ctime>

void SleepMs(std::uint32_t milliseconds)
{
    Sleep(milliseconds);
}

std::uint32_t TickCount()
{
    return GetTickCount();
}

void ReadLocalTime(LocalTimeFields* out)
{
    SYSTEMTIME now{};
    GetLocalTime(&now);
    out->wYear = now.wYear;
    out->wMonth = now.wMonth;
    out->wDayOfWeek = now.wDayOfWeek;
    out->wDay = now.wDay;
    out->wHour = now.wHour;
    out->wMinute = now.wMinute;
    out->wSecond = now.wSecond;
    out->wMilliseconds = now.wMilliseconds;
}

std::int64_t MakeLocalTime(CalendarFields* fields)
{
    std::tm calendar{};
    calendar.tm_sec = fields->tm_sec;
    calendar.tm_min = fields->tm_min;
    calendar.tm_hour = fields->tm_hour;
    calendar.tm_mday = fields->tm_mday;
    calendar.tm_mon = fields->tm_mon;
    calendar.tm_year = fields->tm_year;
    calendar.tm_wday = fields->tm_wday;
    calendar.tm_yday = fields->tm_yday;
    calendar.tm_isdst = fields->tm_isdst;
    const __time64_t seconds = _mktime64(&calendar);
    // A record the run-time cannot convert is left as it came.
    if (seconds == -1) {
        return -1;
    }
    fields->tm_sec = calendar.tm_sec;
    fields->tm_min = calendar.tm_min;
    fields->tm_hour = calendar.tm_hour;
    fields->tm_mday = calendar.tm_mday;
    fields->tm_mon = calendar.tm_mon;
    fields->tm_year = calendar.tm_year;
    fields->tm_wday = calendar.tm_wday;
    fields->tm_yday = calendar.tm_yday;
    fields->tm_isdst = calendar.tm_isdst;
    return seconds;
}
