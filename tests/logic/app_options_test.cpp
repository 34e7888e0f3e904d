// The command line, the mode value's conversion, the echo and the choice of
// language, seen the way a user sees them: on the console of a whole run.
#include <cctype>
#include <climits>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/entry.h"
#include "app/shared.h"
#include "tests/logic/app_test_support.h"

namespace {

const std::string NOT_FOUND = "Device not found!!\nEnd program...\n\n";
const std::string FAILED = "Update Failed: After 20 second will close windows\n\n";
const std::string WARNING = "Warning - no following argument!!\n\n";

TEST(AppModeValue, ConvertsAsAtoiWithinTheSigned32BitRange)
{
    struct Case {
        const char* text;
        std::int32_t value;
    };
    const Case cases[] = {
        {"7", 7},
        {"-12", -12},
        {"+42", 42},
        {"  \t\n\v\f\r19", 19},
        {"5x", 5},
        {"0x10", 0},
        {"abc", 0},
        {"", 0},
        {"-", 0},
        {"+-5", 0},
        {"- 5", 0},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"99999999999", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-99999999999", INT32_MIN},
        {"000000000000000000000000000000000000000042", 42},
        {"123456789012345678901234567890123456789012345678901234567890", INT32_MAX},
        {"-123456789012345678901234567890123456789012345678901234567890", INT32_MIN},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseModeValue(c.text), c.value) << '"' << c.text << '"';
    }
}

struct OptionCase {
    const char* name;
    std::vector<std::string> args;
    std::string console;  // the run's output up to the outcome, no scanner attached
};

// Each command line runs the whole program with no scanner attached, so the
// echo shows the mode the options left, after any warning.
const OptionCase OPTION_CASES[] = {
    {"no arguments", {}, "0\n"},
    {"-a", {"-a"}, "1\n"},
    {"-b 7", {"-b", "7"}, "7\n"},
    {"-b -12", {"-b", "-12"}, "-12\n"},
    {"-b abc", {"-b", "abc"}, "0\n"},
    {"-b overflow", {"-b", "99999999999"}, "2147483647\n"},
    {"-b underflow", {"-b", "-99999999999"}, "-2147483648\n"},
    {"trailing -b", {"-b"}, WARNING + "0\n"},
    {"trailing -b keeps the earlier value", {"-b", "9", "-b"}, WARNING + "9\n"},
    {"trailing -b after -a", {"-a", "-b"}, WARNING + "1\n"},
    {"-b consumes -a", {"-b", "-a"}, "0\n"},
    {"-a -b 5", {"-a", "-b", "5"}, "5\n"},
    {"-b 5 -a", {"-b", "5", "-a"}, "1\n"},
    {"/a", {"/a"}, "1\n"},
    {"xa", {"xa"}, "1\n"},
    {"aa", {"aa"}, "1\n"},
    {"ab acts as -b", {"ab", "3"}, "3\n"},
    {"-abc acts as -a", {"-abc"}, "1\n"},
    {"-bcd acts as -b", {"-bcd", "4"}, "4\n"},
    {"lone a", {"a"}, "0\n"},
    {"lone -", {"-"}, "0\n"},
    {"empty argument", {""}, "0\n"},
    {"empty argument after -a", {"-a", ""}, "1\n"},
    {"value consumed even when empty", {"-b", "", "-a"}, "1\n"},
    {"other letters", {"-c", "-A", "-B", "--a"}, "0\n"},
    {"-b value is not read as an option", {"-b", "xa"}, "0\n"},
};

void PrintTo(const OptionCase& option, std::ostream* out)
{
    *out << option.name;
}

class AppOptions : public SimTest, public ::testing::WithParamInterface<OptionCase> {};

TEST_P(AppOptions, EchoTheModeBeforeTheSearch)
{
    World().scanner.path = -1;
    StartWorld();
    EXPECT_EQ(apptest::RunProgram(GetParam().args), 0);
    EXPECT_EQ(Console(), GetParam().console + NOT_FOUND + FAILED);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, AppOptions, ::testing::ValuesIn(OPTION_CASES),
                         [](const ::testing::TestParamInfo<OptionCase>& info) {
                             std::string name;
                             for (char c : std::string(info.param.name)) {
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name + "_" + std::to_string(info.index);
                         });

struct LanguageCase {
    std::uint16_t languageId;
    std::uint16_t language;
    std::string consoleUtf8;  // English is ASCII, so decoding leaves it as it is
};

const LanguageCase LANGUAGE_CASES[] = {
    {0x0404, 1, "0\n設備未找到!!\n結束 程序...\n\n更新失敗: 20 秒後即將關閉視窗!!\n\n"},
    {0x0409, 0, "0\n" + NOT_FOUND + FAILED},
    {0x0804, 0, "0\n" + NOT_FOUND + FAILED},
    {0x0C04, 0, "0\n" + NOT_FOUND + FAILED},
    {0x1404, 0, "0\n" + NOT_FOUND + FAILED},
};

void PrintTo(const LanguageCase& language, std::ostream* out)
{
    *out << "language id " << language.languageId;
}

class AppLanguage : public SimTest, public ::testing::WithParamInterface<LanguageCase> {};

TEST_P(AppLanguage, OnlyTaiwaneseChineseSwitchesTheMessages)
{
    World().scanner.path = -1;
    World().languageId = GetParam().languageId;
    StartWorld();
    EXPECT_EQ(apptest::RunProgram({}), 0);
    EXPECT_EQ(Language, GetParam().language);
    EXPECT_EQ(apptest::Big5ToUtf8(Console()), GetParam().consoleUtf8);
}

INSTANTIATE_TEST_SUITE_P(LanguageIds, AppLanguage, ::testing::ValuesIn(LANGUAGE_CASES),
                         [](const ::testing::TestParamInfo<LanguageCase>& info) {
                             char name[16];
                             std::snprintf(name, sizeof name, "Id%04X", info.param.languageId);
                             return std::string(name);
                         });

class AppChineseOptions : public SimTest {};

TEST_F(AppChineseOptions, WarningPrecedesTheEcho)
{
    World().scanner.path = -1;
    World().languageId = 0x0404;
    StartWorld();
    apptest::RunProgram({"-a", "-b"});
    EXPECT_EQ(apptest::Big5ToUtf8(Console()),
              "警告 - no following argument!!\n\n1\n設備未找到!!\n結束 程序...\n\n"
              "更新失敗: 20 秒後即將關閉視窗!!\n\n");
}

}  // namespace
