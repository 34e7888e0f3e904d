// The copy between CalendarFields and the C library's struct tm that both
// platforms' MakeLocalTime need around their run-time's conversion.
#pragma once
#include <ctime>

#include "platform/clock.h"

inline std::tm CalendarToTm(const CalendarFields& fields)
{
    std::tm record{};
    record.tm_sec = fields.tm_sec;
    record.tm_min = fields.tm_min;
    record.tm_hour = fields.tm_hour;
    record.tm_mday = fields.tm_mday;
    record.tm_mon = fields.tm_mon;
    record.tm_year = fields.tm_year;
    record.tm_wday = fields.tm_wday;
    record.tm_yday = fields.tm_yday;
    record.tm_isdst = fields.tm_isdst;
    return record;
}

inline void TmToCalendar(const std::tm& record, CalendarFields* fields)
{
    fields->tm_sec = record.tm_sec;
    fields->tm_min = record.tm_min;
    fields->tm_hour = record.tm_hour;
    fields->tm_mday = record.tm_mday;
    fields->tm_mon = record.tm_mon;
    fields->tm_year = record.tm_year;
    fields->tm_wday = record.tm_wday;
    fields->tm_yday = record.tm_yday;
    fields->tm_isdst = record.tm_isdst;
}
