// The hand-written JSON: every byte escaped so that any line parses, and
// the UTC times a reader compares.
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "report/json_line.h"

namespace {

struct BytesRow {
    const char* name;
    std::string bytes;
    std::string json;
};

const BytesRow BYTES_ROWS[] = {
    {"Plain", "Device found!!\n", R"("Device found!!\n")"},
    {"QuoteAndBackslash", "C:\\a \"b\"", R"("C:\\a \"b\"")"},
    {"ControlCharacters", std::string("\x01\t\r\x1f\x7f", 5), R"("\u0001\t\r\u001f\u007f")"},
    {"NulKept", std::string("a\0b", 3), R"("a\u0000b")"},
    // Big5 for "掃描器": each byte its own character, the line still ASCII.
    {"CodePage950", "\xB1\xBD\xB4\x79\xBE\xB9", R"("\u00b1\u00bd\u00b4y\u00be\u00b9")"},
};

TEST(ReportJsonLineTest, BytesAreEscapedOneByOne)
{
    for (const BytesRow& row : BYTES_ROWS) {
        SCOPED_TRACE(row.name);
        std::string line;
        AppendJsonBytes(&line, row.bytes.data(), row.bytes.size());
        EXPECT_EQ(line, row.json);
        // Each character a reader gets is the byte written.
        const std::u32string decoded = [&] {
            std::u32string out;
            const std::string utf8 = nlohmann::json::parse(line).get<std::string>();
            for (std::size_t i = 0; i < utf8.size(); ++i) {
                const auto lead = static_cast<unsigned char>(utf8[i]);
                if (lead < 0x80) {
                    out += lead;
                } else {
                    out += static_cast<char32_t>(((lead & 0x1F) << 6) | (utf8[++i] & 0x3F));
                }
            }
            return out;
        }();
        ASSERT_EQ(decoded.size(), row.bytes.size());
        for (std::size_t i = 0; i < decoded.size(); ++i) {
            EXPECT_EQ(decoded[i], static_cast<unsigned char>(row.bytes[i]));
        }
    }
}

const BytesRow UTF8_ROWS[] = {
    {"Ascii", "SCANPC", R"("SCANPC")"},
    {"TwoAndThreeByteKept", "Caf\xC3\xA9-\xE6\x8E\x83", "\"Caf\xC3\xA9-\xE6\x8E\x83\""},
    {"FourByteKept", "\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
    {"CutSequence", "a\xC3", R"("a\ufffd")"},
    {"Overlong", "\xC0\xAF", R"("\ufffd\ufffd")"},
    {"Surrogate", "\xED\xA0\x80", R"("\ufffd\ufffd\ufffd")"},
    {"AboveTheLastCodePoint", "\xF4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},
    {"Big5IsNoUtf8", "\xB1\xBD", R"("\ufffd\ufffd")"},
};

TEST(ReportJsonLineTest, Utf8KeepsWellFormedTextAndReplacesTheRest)
{
    for (const BytesRow& row : UTF8_ROWS) {
        SCOPED_TRACE(row.name);
        std::string line;
        AppendJsonUtf8(&line, row.bytes.data(), row.bytes.size());
        EXPECT_EQ(line, row.json);
        EXPECT_TRUE(nlohmann::json::accept(line));
    }
}

struct TimeRow {
    std::uint64_t fileTime;
    const char* text;
};

constexpr std::uint64_t UNIX_EPOCH = 116444736000000000ull;
constexpr std::uint64_t PER_MS = 10000;

const TimeRow TIME_ROWS[] = {
    {0, "\"1601-01-01T00:00:00.000Z\""},
    {UNIX_EPOCH, "\"1970-01-01T00:00:00.000Z\""},
    {UNIX_EPOCH + 951782400000ull * PER_MS + 999 * PER_MS, "\"2000-02-29T00:00:00.999Z\""},
    {UNIX_EPOCH + 1796552430250ull * PER_MS, "\"2026-12-06T10:20:30.250Z\""},
    {UNIX_EPOCH + 4107542399000ull * PER_MS, "\"2100-02-28T23:59:59.000Z\""},
    {UNIX_EPOCH + 4107542400000ull * PER_MS, "\"2100-03-01T00:00:00.000Z\""},
};

TEST(ReportJsonLineTest, UtcTimesAreIso8601)
{
    for (const TimeRow& row : TIME_ROWS) {
        std::string line;
        AppendJsonUtcTime(&line, row.fileTime);
        EXPECT_EQ(line, row.text);
    }
}

TEST(ReportJsonLineTest, KeysTakeACommaAfterAMemberOnly)
{
    std::string line = "{";
    AppendJsonKey(&line, "a");
    AppendJsonNumber(&line, -5);
    AppendJsonKey(&line, "b\"");
    line += "[";
    AppendJsonNumber(&line, 7);
    line += "]}";
    EXPECT_EQ(line, R"({"a":-5,"b\"":[7]})");
}

}  // namespace
