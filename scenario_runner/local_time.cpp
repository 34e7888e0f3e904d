#include "scenario_runner/local_time.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>

#include "platform/sim/scoped_time_zone.h"

namespace {

// Reads `count` decimal digits at `pos`; -1 when any is not a digit.
int Digits(const std::string& text, std::size_t pos, std::size_t count)
{
    if (pos + count > text.size()) {
        return -1;
    }
    int value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// The POSIX TZ rule "std offset [dst [offset] [,start[/time],end[/time]]]",
// read whole. The C library clamps what it cannot use (an offset of 99
// hours becomes 24, a rule it cannot read leaves summer time on for good),
// so anything outside the ranges it honours is refused here instead.
class PosixRule {
public:
    explicit PosixRule(const std::string& text) : m_text(text) { }

    bool ReadsWhole()
    {
        if (!Name() || !Offset(24)) {
            return false;
        }
        if (AtEnd()) {
            return true;
        }
        if (!Name()) {
            return false;
        }
        if (!AtEnd() && Peek() != ',' && !Offset(24)) {
            return false;
        }
        if (AtEnd()) {
            return true;  // summer time by the library's default rule
        }
        return Take(',') && Change() && Take(',') && Change() && AtEnd();
    }

private:
    bool AtEnd() const { return m_at == m_text.size(); }
    char Peek() const { return AtEnd() ? '\0' : m_text[m_at]; }
    bool IsDigit() const { return Peek() >= '0' && Peek() <= '9'; }
    bool Take(char ch)
    {
        if (Peek() != ch) {
            return false;
        }
        ++m_at;
        return true;
    }

    // Three or more letters, or <...> holding three or more letters,
    // digits and signs.
    bool Name()
    {
        std::size_t length = 0;
        if (Take('<')) {
            while (std::isalnum(static_cast<unsigned char>(Peek())) || Peek() == '+' || Peek() == '-') {
                ++m_at;
                ++length;
            }
            return length >= 3 && Take('>');
        }
        while (std::isalpha(static_cast<unsigned char>(Peek()))) {
            ++m_at;
            ++length;
        }
        return length >= 3;
    }

    // 1 to `digits` decimal digits, no more than `max`.
    bool Number(int digits, int max, int* value)
    {
        *value = 0;
        int count = 0;
        while (IsDigit() && count < digits) {
            *value = *value * 10 + (Peek() - '0');
            ++m_at;
            ++count;
        }
        return count > 0 && !IsDigit() && *value <= max;
    }

    // [+-]hh[:mm[:ss]] with hours up to `maxHours`, minutes and seconds up
    // to 59.
    bool Offset(int maxHours)
    {
        if (!Take('+')) {
            Take('-');
        }
        int part = 0;
        if (!Number(3, maxHours, &part)) {
            return false;
        }
        for (int i = 0; i < 2 && Take(':'); ++i) {
            if (!Number(2, 59, &part)) {
                return false;
            }
        }
        return true;
    }

    // Jn (1..365), n (0..365) or Mm.w.d, and an optional /time. The time of
    // a change may lie outside the day it names, up to 167 hours either
    // way, as zone files write it.
    bool Change()
    {
        int value = 0;
        if (Take('J')) {
            if (!Number(3, 365, &value) || value < 1) {
                return false;
            }
        } else if (Take('M')) {
            if (!Number(2, 12, &value) || value < 1 || !Take('.')) {
                return false;
            }
            if (!Number(1, 5, &value) || value < 1 || !Take('.')) {
                return false;
            }
            if (!Number(1, 6, &value)) {
                return false;
            }
        } else if (!Number(3, 365, &value)) {
            return false;
        }
        return !Take('/') || Offset(167);
    }

    const std::string& m_text;
    std::size_t m_at = 0;
};

// Whether the file is a compiled zone (the C library's own format,
// "TZif", a version, and a header whose counts fit in the file) rather
// than one of the tables that share the folder.
bool IsZoneFile(const std::filesystem::path& path)
{
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(path, ignored)) {
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    unsigned char header[44];
    if (!file.read(reinterpret_cast<char*>(header), sizeof header)) {
        return false;
    }
    if (std::memcmp(header, "TZif", 4) != 0) {
        return false;
    }
    if (header[4] != 0 && (header[4] < '2' || header[4] > '4')) {
        return false;
    }
    auto count = [&header](int index) {
        const unsigned char* at = header + 20 + 4 * index;
        return static_cast<std::uint64_t>(at[0]) << 24 | static_cast<std::uint64_t>(at[1]) << 16 |
               static_cast<std::uint64_t>(at[2]) << 8 | at[3];
    };
    const std::uint64_t isUtCount = count(0), isStdCount = count(1), leapCount = count(2), timeCount = count(3),
                        typeCount = count(4), charCount = count(5);
    if (typeCount == 0) {
        return false;
    }
    const std::uint64_t body = timeCount * 5 + typeCount * 6 + charCount + leapCount * 8 + isStdCount + isUtCount;
    const std::uint64_t size = std::filesystem::file_size(path, ignored);
    return size != static_cast<std::uint64_t>(-1) && size >= sizeof header + body;
}

}  // namespace

bool IsKnownTimeZone(const std::string& zone)
{
    if (zone.empty() || zone.size() > 200) {
        return false;
    }
    if (PosixRule(zone).ReadsWhole()) {
        return true;
    }
    // A database name: letters, digits and a few signs, never a way out of
    // the database folder.
    static const std::regex databaseName(R"(^[A-Za-z][A-Za-z0-9_+-]*(/[A-Za-z0-9_+-]+)*$)");
    if (!std::regex_match(zone, databaseName)) {
        return false;
    }
    return IsZoneFile(std::filesystem::path("/usr/share/zoneinfo") / zone);
}

std::optional<LocalInstant> ParseLocalTime(const std::string& text, const std::string& zone)
{
    if (text.size() < 19 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':') {
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
        if (text[19] != '.' || digits < 1 || digits > 3) {
            return std::nullopt;
        }
        milliseconds = Digits(text, 20, digits);
        if (milliseconds < 0) {
            return std::nullopt;
        }
        for (std::size_t i = digits; i < 3; ++i) {
            milliseconds *= 10;
        }
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
    // -1 is both mktime's failure and the last second of 1969; a failed
    // call leaves the fields as they were, so the weekday tells them apart.
    fields.tm_wday = -1;
    const std::time_t seconds = std::mktime(&fields);
    // mktime moves a date that does not exist (31 April, a skipped hour) to
    // one that does; such a start time is refused rather than shifted.
    if (fields.tm_wday == -1 || fields.tm_year != year - 1900 || fields.tm_mon != month - 1 || fields.tm_mday != day ||
        fields.tm_hour != hour || fields.tm_min != minute || fields.tm_sec != second) {
        return std::nullopt;
    }
    return LocalInstant{static_cast<std::int64_t>(seconds), static_cast<std::uint16_t>(milliseconds)};
}

std::string FormatLocalTime(std::int64_t unixSeconds, const std::string& zone)
{
    ScopedTimeZone scoped(zone);
    const std::time_t seconds = static_cast<std::time_t>(unixSeconds);
    std::tm fields{};
    if (localtime_r(&seconds, &fields) == nullptr) {
        return {};
    }
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", fields.tm_year + 1900, fields.tm_mon + 1,
                  fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
    return text;
}

std::optional<std::int64_t> LocalFieldsToSeconds(const std::int32_t values[9], const std::string& zone)
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
    // As in ParseLocalTime: only an untouched weekday marks a failure.
    fields.tm_wday = -1;
    const std::time_t seconds = std::mktime(&fields);
    if (fields.tm_wday == -1) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(seconds);
}
