#include "sim/local_time.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <regex>

namespace {

// Sets TZ for one computation and puts the previous value back.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const std::string& zone)
    {
        if (const char* previous = std::getenv("TZ")) {
            m_hadPrevious = true;
            m_previous = previous;
        }
        setenv("TZ", zone.c_str(), 1);
        tzset();
    }
    ~ScopedTimeZone()
    {
        if (m_hadPrevious) {
            setenv("TZ", m_previous.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    bool m_hadPrevious = false;
    std::string m_previous;
};

// Reads `count` decimal digits at `pos`; -1 when any is not a digit.
int Digits(const std::string& text, std::size_t pos, std::size_t count)
{
    if (pos + count > text.size()) return -1;
    int value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

}  // namespace

bool IsKnownTimeZone(const std::string& zone)
{
    if (zone.empty() || zone.size() > 200) return false;
    static const std::regex posixRule(
        R"(^([A-Za-z]{3,}|<[A-Za-z0-9+-]+>)[+-]?\d{1,2}(:\d{2}){0,2})"
        R"((([A-Za-z]{3,}|<[A-Za-z0-9+-]+>)([+-]?\d{1,2}(:\d{2}){0,2})?(,[^,]+,[^,]+)?)?$)");
    if (std::regex_match(zone, posixRule)) return true;
    // A database name: letters, digits and a few signs, never a way out of
    // the database folder.
    static const std::regex databaseName(R"(^[A-Za-z][A-Za-z0-9_+-]*(/[A-Za-z0-9_+-]+)*$)");
    if (!std::regex_match(zone, databaseName)) return false;
    std::error_code ignored;
    return std::filesystem::is_regular_file(std::filesystem::path("/usr/share/zoneinfo") / zone, ignored);
}

std::optional<LocalInstant> ParseLocalTime(const std::string& text, const std::string& zone)
{
    if (text.size() < 19 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':') {
        return std::nullopt;
    }
    const int year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2);
    const int hour = Digits(text, 11, 2), minute = Digits(text, 14, 2), second = Digits(text, 17, 2);
    if (year < 1900 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 59) {
        return std::nullopt;
    }
    int milliseconds = 0;
    if (text.size() > 19) {
        const std::size_t digits = text.size() - 20;
        if (text[19] != '.' || digits < 1 || digits > 3) return std::nullopt;
        milliseconds = Digits(text, 20, digits);
        if (milliseconds < 0) return std::nullopt;
        for (std::size_t i = digits; i < 3; ++i) milliseconds *= 10;
    }

    ScopedTimeZone scoped(zone);
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&fields);
    // mktime moves a date that does not exist (31 April, a skipped hour) to
    // one that does; such a start time is refused rather than shifted.
    if (seconds == static_cast<std::time_t>(-1) || fields.tm_year != year - 1900 || fields.tm_mon != month - 1 ||
        fields.tm_mday != day || fields.tm_hour != hour || fields.tm_min != minute || fields.tm_sec != second) {
        return std::nullopt;
    }
    return LocalInstant{static_cast<std::int64_t>(seconds), static_cast<std::uint16_t>(milliseconds)};
}

std::string FormatLocalTime(std::int64_t unixSeconds, const std::string& zone)
{
    ScopedTimeZone scoped(zone);
    const std::time_t seconds = static_cast<std::time_t>(unixSeconds);
    std::tm fields{};
    if (localtime_r(&seconds, &fields) == nullptr) return {};
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", fields.tm_year + 1900, fields.tm_mon + 1,
                  fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
    return text;
}

std::int64_t LocalFieldsToSeconds(const std::int32_t values[9], const std::string& zone)
{
    ScopedTimeZone scoped(zone);
    std::tm fields{};
    fields.tm_sec = values[0];
    fields.tm_min = values[1];
    fields.tm_hour = values[2];
    fields.tm_mday = values[3];
    fields.tm_mon = values[4];
    fields.tm_year = values[5];
    fields.tm_wday = values[6];
    fields.tm_yday = values[7];
    fields.tm_isdst = values[8];
    return static_cast<std::int64_t>(std::mktime(&fields));
}
