#include "report/json_line.h"

#include <cstdio>

namespace {

constexpr char HEX_DIGITS[] = "0123456789abcdef";
// Named, so that no brace in a character literal unbalances a reader's count.
constexpr char OBJECT_OPEN = 0x7B;
constexpr std::uint64_t FILETIME_PER_MS = 10000;
constexpr std::int64_t MS_PER_DAY = 86400000;
// Days from 0000-03-01 to 1601-01-01 in the proleptic Gregorian calendar.
constexpr std::int64_t DAYS_TO_1601 = 584694;

void AppendEscape(std::string* line, unsigned byte)
{
    *line += "\\u00";
    *line += HEX_DIGITS[(byte >> 4) & 0xF];
    *line += HEX_DIGITS[byte & 0xF];
}

// The ASCII bytes: true when `byte` was one and has been written.
bool AppendAscii(std::string* line, unsigned char byte)
{
    if (byte >= 0x80) {
        return false;
    }
    if (byte == '"' || byte == '\\') {
        *line += '\\';
        *line += static_cast<char>(byte);
    } else if (byte == '\n') {
        *line += "\\n";
    } else if (byte == '\r') {
        *line += "\\r";
    } else if (byte == '\t') {
        *line += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
        AppendEscape(line, byte);
    } else {
        *line += static_cast<char>(byte);
    }
    return true;
}

// The length of the well-formed UTF-8 sequence at `at`, 0 for none: no
// overlong form, no surrogate, nothing above U+10FFFF.
std::size_t Utf8SequenceAt(const unsigned char* at, std::size_t left)
{
    const unsigned lead = at[0];
    std::size_t length = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    }
    if (length == 0 || length > left || at[1] < low || at[1] > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (at[i] < 0x80 || at[i] > 0xBF) {
            return 0;
        }
    }
    return length;
}

}  // namespace

void AppendJsonBytes(std::string* line, const char* bytes, std::size_t size)
{
    *line += '"';
    for (std::size_t i = 0; i < size; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (!AppendAscii(line, byte)) {
            AppendEscape(line, byte);
        }
    }
    *line += '"';
}

void AppendJsonUtf8(std::string* line, const char* text, std::size_t size)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    *line += '"';
    std::size_t at = 0;
    while (at < size) {
        if (AppendAscii(line, bytes[at])) {
            ++at;
            continue;
        }
        const std::size_t length = Utf8SequenceAt(bytes + at, size - at);
        if (length == 0) {
            *line += "\\ufffd";
            ++at;
            continue;
        }
        line->append(text + at, length);
        at += length;
    }
    *line += '"';
}

void AppendJsonKey(std::string* line, const char* key)
{
    if (!line->empty() && line->back() != OBJECT_OPEN && line->back() != '[') {
        *line += ',';
    }
    AppendJsonBytes(line, key, std::char_traits<char>::length(key));
    *line += ':';
}

void AppendJsonNumber(std::string* line, std::int64_t number)
{
    *line += std::to_string(number);
}

void AppendJsonUtcTime(std::string* line, std::uint64_t fileTime)
{
    const auto ms = static_cast<std::int64_t>(fileTime / FILETIME_PER_MS);
    const std::int64_t msOfDay = ms % MS_PER_DAY;
    // The civil date of a day count, counted in 400-year eras from March.
    const std::int64_t days = ms / MS_PER_DAY + DAYS_TO_1601;
    const std::int64_t era = days / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    const std::int64_t day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const std::int64_t month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[128] = {};
    std::snprintf(text, sizeof text, "\"%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ\"",
                  static_cast<long long>(year), static_cast<long long>(month), static_cast<long long>(day),
                  static_cast<long long>(msOfDay / 3600000), static_cast<long long>(msOfDay / 60000 % 60),
                  static_cast<long long>(msOfDay / 1000 % 60), static_cast<long long>(msOfDay % 1000));
    *line += text;
}
