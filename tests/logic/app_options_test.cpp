// The command line, the mode value's conversion, the echo and the choice of
// language, seen the way a user sees them: on the console of a whole run.
#include <climits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/entry.h"
#include "common/shared.h"
#include "tests/logic/app_test_support.h"
#include "tests/logic/console_texts.h"

using namespace texts;

namespace {

TEST(AppOptionsModeValueTest, ConvertsAsAtoiWithinTheSigned32BitRange)
{
    const struct {
        const char* text;
        std::int32_t value;
    } cases[] = {
        {"-12", -12},
        {"+42", 42},
        {"  \t\n\v\f\r19", 19},
        {"5x", 5},
        {"0x10", 0},
        {"abc", 0},
        {"", 0},
        {"+-5", 0},
        {"- 5", 0},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-99999999999", INT32_MIN},
        {"000000000000000000000000000000000000000042", 42},
        {"123456789012345678901234567890123456789012345678901234567890", INT32_MAX},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseModeValue(c.text), c.value) << '"' << c.text << '"';
    }
}

// Each command line runs the whole program with no scanner attached, so the
// echo shows the mode the options left, after any warning.
class AppOptionsTest : public SimulatedWorldFixture { };

TEST_F(AppOptionsTest, SetTheModeEchoedBeforeTheSearch)
{
    const struct {
        std::vector<std::string> args;
        std::string echo;
    } cases[] = {
        {{}, "0\n"},
        {{"-a"}, "1\n"},
        {{"-b", "7"}, "7\n"},
        {{"-b", "abc"}, "0\n"},
        {{"-b", "-99999999999"}, "-2147483648\n"},
        {{"-b"}, WARNING + "0\n"},
        {{"-b", "9", "-b"}, WARNING + "9\n"},
        {{"-a", "-b"}, WARNING + "1\n"},
        {{"-b", "-a"}, "0\n"},
        {{"-a", "-b", "5"}, "5\n"},
        {{"-b", "5", "-a"}, "1\n"},
        // Only the second character of an argument counts.
        {{"/a"}, "1\n"},
        {{"ab", "3"}, "3\n"},
        {{"-abc"}, "1\n"},
        {{"a"}, "0\n"},
        {{""}, "0\n"},
        {{"-b", "", "-a"}, "1\n"},
        {{"-c", "-A", "-B", "--a"}, "0\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        SetUp();
        World().scanner.path = -1;
        StartWorld();
        EXPECT_EQ(apptest::RunProgram(c.args), 0);
        EXPECT_EQ(Console(), c.echo + NOT_FOUND + FAILED);
    }
}

TEST_F(AppOptionsTest, OnlyTaiwaneseChineseSwitchesTheMessages)
{
    const struct {
        std::uint16_t languageId;
        std::vector<std::string> args;
        std::uint16_t language;
        std::string consoleUtf8;  // English is ASCII, so decoding leaves it as it is
    } cases[] = {
        // The warning is Chinese too, and comes before the echo.
        {0x0404,
         {"-a", "-b"},
         1,
         "警告 - no following argument!!\n\n1\n設備未找到!!\n結束 程序...\n\n更新失敗: 20 秒後即將關閉視窗!!\n\n"},
        {0x0409, {}, 0, "0\n" + NOT_FOUND + FAILED},
        {0x0804, {}, 0, "0\n" + NOT_FOUND + FAILED},
        {0x0C04, {}, 0, "0\n" + NOT_FOUND + FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.languageId);
        SetUp();
        World().scanner.path = -1;
        World().languageId = c.languageId;
        StartWorld();
        EXPECT_EQ(apptest::RunProgram(c.args), 0);
        EXPECT_EQ(Language, c.language);
        EXPECT_EQ(apptest::Big5ToUtf8(Console()), c.consoleUtf8);
    }
}

}  // namespace
