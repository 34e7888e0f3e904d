// The run's entry in the Application event log on the simulated PC: one per
// run, its id, level and insertion strings for every way a run ends, and a
// log that refuses changes nothing else about the run.
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/shared.h"
#include "report/event_log.h"
#include "tests/logic/app_test_support.h"

namespace {

constexpr std::uint16_t INFORMATION = 4;
constexpr std::uint16_t WARNING = 2;
constexpr std::uint16_t ERROR = 1;

// The build's image digest as the entry must name it, hex-encoded here
// apart from the code under test.
std::string EmbeddedDigestHex()
{
    std::string hex;
    for (std::uint32_t i = 0; i < EmbeddedDigestSize(); ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", EmbeddedDigestData()[i]);
        hex += pair;
    }
    return hex;
}

struct EntryRow {
    const char* name;
    std::function<void()> configure;
    std::vector<std::string> args;
    std::uint32_t messageId;  // as the message table numbers it: severity in the top bits
    std::uint16_t type;
    // The outcome's code, how the run was started, the scanner's path, the mode.
    std::vector<std::string> strings;
};

const EntryRow ENTRY_ROWS[] = {
    {"Updated", [] {}, {"/s"}, 0x400003E8, INFORMATION, {"0", "unattended", "\\\\.\\usbscan0", "0"}},
    {"UpdatedAtTheConsole", [] {}, {}, 0x400003E8, INFORMATION, {"0", "attended", "\\\\.\\usbscan0", "0"}},
    // Without a scanner no search set the mode: the entry names the options'.
    {"NoScannerWithTheOptionsMode",
     [] { World().scanner.path = -1; },
     {"/s", "-a"},
     0x800003EA,
     WARNING,
     {"40", "unattended", "none", "1"}},
    {"ScannerAtAnotherPath",
     [] {
         World().scanner.path = 7;
         World().registry.clear();
         apptest::AddScannerInstance(0, "\\\\.\\usbscan7");
     },
     {"/s"},
     0x400003E8,
     INFORMATION,
     {"0", "unattended", "\\\\.\\usbscan7", "0"}},
    {"Busy",
     [] { World().mutexesHeldByOthers = {apptest::SCANNER_MUTEX}; },
     {"/s"},
     0x800003E9,
     WARNING,
     {"1618", "unattended", "\\\\.\\usbscan0", "0"}},
    // A plain run exits 0 whatever happened; its entry still names the code.
    {"BusyAtTheConsole",
     [] { World().mutexesHeldByOthers = {apptest::SCANNER_MUTEX}; },
     {},
     0x800003E9,
     WARNING,
     {"1618", "attended", "\\\\.\\usbscan0", "0"}},
    {"NoScanner", [] { World().scanner.path = -1; }, {"/s"}, 0x800003EA, WARNING, {"40", "unattended", "none", "0"}},
    {"NotElevated", [] { World().elevated = false; }, {"/s"}, 0xC00003EB, ERROR, {"41", "unattended", "none", "0"}},
    {"FailedBeforeImage",
     [] { World().registry.clear(); },
     {"/s"},
     0xC00003EC,
     ERROR,
     {"42", "unattended", "\\\\.\\usbscan0", "0"}},
    {"FailedAfterImage",
     [] { World().scanner.burnMs = 6000 + 600000 + 1; },
     {"/s"},
     0xC00003ED,
     ERROR,
     {"43", "unattended", "\\\\.\\usbscan0", "0"}},
    {"ServiceNotGivenBack",
     [] { World().service.start.first = 1; },
     {"/s"},
     0xC00003EE,
     ERROR,
     {"44", "unattended", "\\\\.\\usbscan0", "0"}},
    {"ImageDamaged",
     [] { World().imageFlippedByte = 100; },
     {"/s"},
     0xC00003EF,
     ERROR,
     {"45", "unattended", "none", "0"}},
    {"CheckCanRun", [] {}, {"/c"}, 0x400003F2, INFORMATION, {"0", "check", "\\\\.\\usbscan0", "0"}},
    {"CheckMustWait",
     [] { World().mutexesHeldByOthers = {apptest::SCANNER_MUTEX}; },
     {"/s", "/c"},
     0x400003F2,
     INFORMATION,
     {"1618", "check", "\\\\.\\usbscan0", "0"}},
    {"CheckFindsNoScanner",
     [] { World().scanner.path = -1; },
     {"/c"},
     0x400003F2,
     INFORMATION,
     {"40", "check", "none", "0"}},
};

class ReportEventLogTest : public AppRunFixture {
protected:
    static bool RecordWritable(const EntryRow& row) { return std::string(row.name) != "NotElevated"; }

    int RunRow(const EntryRow& row)
    {
        SetUp();
        row.configure();
        return Run(row.args);
    }
};

TEST_F(ReportEventLogTest, EachRunWritesOneEntryForItsOutcome)
{
    for (const EntryRow& row : ENTRY_ROWS) {
        SCOPED_TRACE(row.name);
        RunRow(row);
        // Without elevation the run's record cannot be written either, and
        // a second entry says why.
        ASSERT_EQ(World().eventLog.size(), RecordWritable(row) ? 1u : 2u);
        if (!RecordWritable(row)) {
            EXPECT_EQ(World().eventLog[1].eventId, MessageIdFor(RunEvent::RecordNotWritten));
        }
        const SimEventLogEntry& entry = World().eventLog[0];
        EXPECT_EQ(entry.source, "fwupdate");
        EXPECT_EQ(entry.eventId, row.messageId);
        EXPECT_EQ(entry.type, row.type);
        std::vector<std::string> strings = row.strings;
        strings.push_back(EmbeddedDigestHex());
        EXPECT_EQ(entry.strings, strings);
        EXPECT_EQ(entry.process, 0);
    }
}

// A copy that carries no digest cannot name its image; its entry still goes.
TEST_F(ReportEventLogTest, AnEntryForACopyWithoutItsDigestNamesNoImage)
{
    World().digest = SimImage::Missing;
    EXPECT_EQ(Run({"/s"}), 45);
    ASSERT_EQ(World().eventLog.size(), 1u);
    EXPECT_EQ(World().eventLog[0].strings, (std::vector<std::string>{"45", "unattended", "none", "0", "unknown"}));
}

// Asking how the updater is run is no run: nothing is logged.
TEST_F(ReportEventLogTest, TheHelpLogsNothing)
{
    for (const char* help : {"/?", "-h", "--help"}) {
        SCOPED_TRACE(help);
        SetUp();
        EXPECT_EQ(Run({help}), 0);
        EXPECT_TRUE(World().eventLog.empty());
        EXPECT_EQ(World().reportEventCalls, 0u);
    }
}

// The log is the administrator's extra: a log that refuses the entry leaves
// the console, the exit code, the time and the scanner as they would be.
TEST_F(ReportEventLogTest, ARefusedEntryChangesNothingElse)
{
    for (const EntryRow& row : ENTRY_ROWS) {
        SCOPED_TRACE(row.name);
        const int code = RunRow(row);
        const std::string console = Console();
        const std::uint64_t endMs = World().nowMs;
        const std::uint32_t downloads = World().model.downloads;

        SetUp();
        row.configure();
        World().reportEvent.first = 1;
        World().reportEvent.error = 1502;  // ERROR_LOG_FILE_FULL
        StartWorld();
        EXPECT_EQ(apptest::RunProgram(row.args), code);
        EXPECT_EQ(Console(), console);
        EXPECT_EQ(World().nowMs, endMs);
        EXPECT_EQ(World().model.downloads, downloads);
        EXPECT_EQ(World().reportEventCalls, RecordWritable(row) ? 1u : 2u);
        EXPECT_TRUE(World().eventLog.empty());
    }
}

TEST_F(ReportEventLogTest, ARecordThatCannotBeWrittenIsAWarningWithItsReason)
{
    StartWorld();
    LogRecordNotWritten("C:\\ProgramData\\fwupdate\\last-run.json: access denied (5)");
    ASSERT_EQ(World().eventLog.size(), 1u);
    EXPECT_EQ(World().eventLog[0].eventId, 0x800003FCu);
    EXPECT_EQ(World().eventLog[0].type, WARNING);
    EXPECT_EQ(World().eventLog[0].strings,
              std::vector<std::string>{"C:\\ProgramData\\fwupdate\\last-run.json: access denied (5)"});
}

}  // namespace
