#include "platform/clock.h"
#include "platform/calendar_tm.h"

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

std::uint64_t AwakeMs()
{
    ULONGLONG units = 0;  // 100 ns
    QueryUnbiasedInterruptTime(&units);
    return units / 10000;
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
    std::tm calendar = CalendarToTm(*fields);
    const __time64_t seconds = _mktime64(&calendar);
    // A record the run-time cannot convert is left as it came.
    if (seconds == -1) {
        return -1;
    }
    TmToCalendar(calendar, fields);
    return seconds;
}
