// Local calendar time under a named time zone, for the scenario's start
// time and for the clock the scanner holds at the end of a run. The C
// library knows only one zone at a time (TZ), so each helper sets it for
// the duration of the call and puts the previous one back.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

// Whether `zone` is a zone the C library will honour as written: a name
// of a compiled zone under the system's zone database, or a POSIX rule
// such as "CET-1CEST,M3.5.0,M10.5.0/3" that reads whole, with offsets of at
// most 24 hours. The C library quietly takes an unknown name for UTC and
// clamps or half-reads a rule, which would make a scenario lie about its
// own clock.
bool IsKnownTimeZone(const std::string& zone);

struct LocalInstant {
    std::int64_t unixSeconds;
    std::uint16_t milliseconds;
};

// "YYYY-MM-DDTHH:MM:SS" with an optional fraction of 1 to 3 digits, read as
// a wall-clock time in `zone`. Empty when the text is malformed or names a
// time that does not exist there (a date such as 31 April, or an hour
// skipped by a daylight-saving change).
std::optional<LocalInstant> ParseLocalTime(const std::string& text, const std::string& zone);

// "YYYY-MM-DDTHH:MM:SS" of `unixSeconds` in `zone`.
std::string FormatLocalTime(std::int64_t unixSeconds, const std::string& zone);

// mktime of nine struct tm fields (tm_sec first) under `zone`: the seconds,
// or empty when the C library cannot convert them.
std::optional<std::int64_t> LocalFieldsToSeconds(const std::int32_t fields[9], const std::string& zone);
