// Time: sleeps, the millisecond tick count, local calendar time and the
// run-time library's conversion of a broken-down local time.
#pragma once
#include <cstdint>

// Sleep (milliseconds).
void SleepMs(std::uint32_t milliseconds);

// GetTickCount: milliseconds since an arbitrary start, wrapping at 2^32.
std::uint32_t TickCount();

// QueryUnbiasedInterruptTime in milliseconds: time the PC has been awake
// since an arbitrary start. Unlike the tick count it stands still while the
// PC sleeps, and at 64 bits it never wraps.
std::uint64_t AwakeMs();

// GetLocalTime's SYSTEMTIME, field for field.
struct LocalTimeFields {
    std::uint16_t wYear;
    std::uint16_t wMonth;      // 1..12
    std::uint16_t wDayOfWeek;  // 0 = Sunday
    std::uint16_t wDay;
    std::uint16_t wHour;
    std::uint16_t wMinute;
    std::uint16_t wSecond;
    std::uint16_t wMilliseconds;
};
void ReadLocalTime(LocalTimeFields* out);

// The nine fields of the C library's struct tm, in its order, as signed
// 32-bit values.
struct CalendarFields {
    std::int32_t tm_sec;
    std::int32_t tm_min;
    std::int32_t tm_hour;
    std::int32_t tm_mday;
    std::int32_t tm_mon;
    std::int32_t tm_year;
    std::int32_t tm_wday;
    std::int32_t tm_yday;
    std::int32_t tm_isdst;
};

// 64-bit mktime under the host's time zone: returns the seconds, or -1 for a
// record it cannot convert; on success rewrites all nine fields with the
// normalised local time.
std::int64_t MakeLocalTime(CalendarFields* fields);
