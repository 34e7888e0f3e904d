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
        {{"-x", "-A", "-B", "/z"}, "0\n"},
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

TEST(AppOptionsSwitchesTest, NamedByTheSecondCharacterAndNeverByTheModesValue)
{
    const struct {
        std::vector<std::string> args;
        bool unattended, checkOnly, help;
    } cases[] = {
        {{}, false, false, false},
        {{"/s"}, true, false, false},
        {{"-s"}, true, false, false},
        {{"/S"}, true, false, false},
        {{"xs"}, true, false, false},
        {{"/silent"}, true, false, false},
        {{"/c"}, false, true, false},
        {{"-C"}, false, true, false},
        {{"/s", "/c"}, true, true, false},
        {{"/?"}, false, false, true},
        {{"-?"}, false, false, true},
        {{"/h"}, false, false, true},
        {{"-H"}, false, false, true},
        {{"--help"}, false, false, true},
        {{"--version"}, false, false, true},
        {{"--"}, false, false, true},
        {{"/s", "/?"}, true, false, true},
        // The mode's value is taken whatever it looks like.
        {{"-b", "/s"}, false, false, false},
        {{"-b", "--help", "/c"}, false, true, false},
        {{"/b", "-?"}, false, false, false},
        // Too short, or named by another character.
        {{"s"}, false, false, false},
        {{"?"}, false, false, false},
        {{""}, false, false, false},
        {{"-a", "-x", "/z"}, false, false, false},
        {{"-b"}, false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        std::vector<std::string> words = c.args;
        std::vector<char*> argv = {const_cast<char*>("fwupdate.exe")};
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        const RunSwitches switches = ReadSwitches(static_cast<int>(argv.size() - 1), argv.data());
        EXPECT_EQ(switches.unattended, c.unattended);
        EXPECT_EQ(switches.checkOnly, c.checkOnly);
        EXPECT_EQ(switches.help, c.help);
    }
}

// Asking for help updates nothing: the default world, whose plain run
// updates the scanner, sees no search, no mutex, no service call and no
// registry access, and the console holds the help alone, in the user's
// language. No pause either.
TEST_F(AppOptionsTest, HelpPrintsTheSwitchesAndCodesAndTouchesNothing)
{
    const struct {
        std::vector<std::string> args;
        std::uint16_t languageId;
        std::string consoleUtf8;  // empty: no help, the run updates as ever
    } cases[] = {
        {{"/?"}, 0x0409, HELP_SWITCHES + HELP_EXIT_CODES},
        {{"-h"}, 0x0409, HELP_SWITCHES + HELP_EXIT_CODES},
        {{"--help"}, 0x0409, HELP_SWITCHES + HELP_EXIT_CODES},
        {{"--version"}, 0x0409, HELP_SWITCHES + HELP_EXIT_CODES},
        {{"/s", "/c", "/?"}, 0x0409, HELP_SWITCHES + HELP_EXIT_CODES},
        {{"/?"}, 0x0404, "用法: fwupdate.exe [/s] [/c] [/?]\n"},
        // "-?" is the mode's value here.
        {{"-b", "-?"}, 0x0409, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        SetUp();
        apptest::AddScannerInstance(0, apptest::SCANNER_PATH);
        World().languageId = c.languageId;
        StartWorld();
        EXPECT_EQ(apptest::RunProgram(c.args), 0);
        if (c.consoleUtf8.empty()) {
            EXPECT_EQ(World().model.downloads, 1u);
            continue;
        }
        // The Chinese help is held to its catalogue entry elsewhere; here
        // only its language counts.
        EXPECT_EQ(apptest::Big5ToUtf8(Console()).rfind(c.consoleUtf8, 0), 0u);
        if (c.languageId != 0x0404) {
            EXPECT_EQ(Console(), c.consoleUtf8);
        }
        EXPECT_EQ(World().model.downloads, 0u);
        EXPECT_EQ(World().deviceOpenAttempts, 0u);
        EXPECT_EQ(World().mutexCreates, 0u);
        EXPECT_EQ(World().registryOpens, 0u);
        EXPECT_EQ(World().serviceCalls.openManager, 0u);
        EXPECT_EQ(World().sleeps, 0u);
        EXPECT_TRUE(World().calls.empty()) << ::testing::PrintToString(World().calls);
    }
}

}  // namespace
