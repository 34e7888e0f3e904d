// The unattended and check-only runs on the simulated PC: the exit code of
// every way a run can end, and what a check leaves behind (nothing).
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/outcome.h"
#include "common/shared.h"
#include "link/wire.h"
#include "tests/logic/app_test_support.h"
#include "tests/logic/console_texts.h"

using namespace texts;

namespace {

const char* const UPDATER_MUTEX = "Global\\fwupdate-update";

// A dead run's record: it had stopped a running service with automatic
// start and begun to send the image.
void RecordOfADeadRunsImage()
{
    World().service.state = SERVICE_STOPPED_STATE;
    World().service.startType = SERVICE_DISABLED_TYPE;
    auto& record = World().machineKeys[apptest::DEBT_KEY];
    record["imagingservicestate"] = SERVICE_RUNNING_STATE;
    record["imagingservicestarttype"] = SERVICE_AUTO_START_TYPE;
    record["imagesent"] = 1;
}

// The scanner says it burns for longer than any wait of the run.
void ScannerBurnsForLong()
{
    World().scanner.busyState = STATE_BURNING;
    World().scanner.busyForMs = 3600000;
}

struct CodeRow {
    const char* name;
    std::function<void()> configure;
    int code;
};

// One row per outcome, and more than one world for some.
const CodeRow UNATTENDED_ROWS[] = {
    {"Default", [] {}, EXIT_CODE_UPDATED},
    {"ScanApplicationHoldsItsMutex", [] { World().mutexesHeldByOthers = {apptest::SCANNER_MUTEX}; }, EXIT_CODE_BUSY},
    {"UtilityHoldsItsMutex", [] { World().mutexesHeldByOthers = {apptest::UTILITY_MUTEX}; }, EXIT_CODE_BUSY},
    {"AnotherUpdaterHoldsItsMutex", [] { World().mutexesHeldByOthers = {UPDATER_MUTEX}; }, EXIT_CODE_BUSY},
    {"NoScanner", [] { World().scanner.path = -1; }, EXIT_CODE_NO_SCANNER},
    {"NotElevated", [] { World().elevated = false; }, EXIT_CODE_NOT_ELEVATED},
    {"NoRegistryInstance", [] { World().registry.clear(); }, EXIT_CODE_FAILED_BEFORE_IMAGE},
    {"ServiceRefusesToStop", [] { World().service.control.first = 1; }, EXIT_CODE_FAILED_BEFORE_IMAGE},
    {"NeverReady",
     [] {
         World().scanner.busyForMs = 3600000;
         World().scanner.busyState = 5;
     },
     EXIT_CODE_FAILED_BEFORE_IMAGE},
    {"ImageMissing", [] { World().image = SimImage::Missing; }, EXIT_CODE_IMAGE_DAMAGED},
    {"ImageAltered", [] { World().imageFlippedByte = 100; }, EXIT_CODE_IMAGE_DAMAGED},
    {"BurnOutlastsTenMinutes", [] { World().scanner.burnMs = 6000 + 600000 + 1; }, EXIT_CODE_FAILED_AFTER_IMAGE},
    {"BurnOutlastsTenMinutesServiceWillNotStart",
     [] {
         World().scanner.burnMs = 6000 + 600000 + 1;
         World().service.start.first = 1;
     },
     EXIT_CODE_FAILED_AFTER_IMAGE},
    {"ServiceWillNotStartAfterTheUpdate", [] { World().service.start.first = 1; }, EXIT_CODE_SERVICE_NOT_GIVEN_BACK},
    {"DeadRunsBurnStillGoing",
     [] {
         RecordOfADeadRunsImage();
         ScannerBurnsForLong();
     },
     EXIT_CODE_BUSY},
    // The dead run's scanner is done: the record is settled and the run
    // updates.
    {"DeadRunsBurnOver", [] { RecordOfADeadRunsImage(); }, EXIT_CODE_UPDATED},
};

class AppExitCodeTest : public AppRunFixture {
protected:
    // The row's world run as `args`: its exit code, console and end time.
    struct Ran {
        int code;
        std::string console;
        std::uint64_t endMs;
    };
    Ran RunRow(const CodeRow& row, const std::vector<std::string>& args)
    {
        SetUp();
        row.configure();
        const int code = Run(args);
        return {code, Console(), World().nowMs};
    }
};

// With /s the code tells the outcome; the console is the plain run's to the
// byte, and only the closing 20 seconds are gone. The plain run exits 0.
TEST_F(AppExitCodeTest, UnattendedRunsExitWithTheirOutcomesCode)
{
    for (const CodeRow& row : UNATTENDED_ROWS) {
        SCOPED_TRACE(row.name);
        const Ran plain = RunRow(row, {});
        const Ran unattended = RunRow(row, {"/s"});
        EXPECT_EQ(plain.code, 0);
        EXPECT_EQ(unattended.code, row.code);
        EXPECT_EQ(unattended.console, plain.console);
        EXPECT_EQ(plain.endMs - unattended.endMs, 20000u);
    }
}

TEST(AppExitCodeTableTest, EveryOutcomeHasItsOwnCodeAndNoneReadsAsSuccessOrReboot)
{
    const UpdateOutcome outcomes[] = {UpdateOutcome::Updated,
                                      UpdateOutcome::Busy,
                                      UpdateOutcome::NoScanner,
                                      UpdateOutcome::NotElevated,
                                      UpdateOutcome::FailedBeforeImage,
                                      UpdateOutcome::FailedAfterImage,
                                      UpdateOutcome::ServiceNotGivenBack,
                                      UpdateOutcome::ImageDamaged};
    std::vector<int> seen;
    for (const UpdateOutcome outcome : outcomes) {
        const int code = ExitCodeFor(outcome);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), code), 0) << code;
        seen.push_back(code);
        if (outcome != UpdateOutcome::Updated) {
            // What deployment tools count as success, a reboot or a retry
            // the outcome does not ask for.
            for (const int reserved : {0, 1707, 3010, 1641}) {
                EXPECT_NE(code, reserved);
            }
        }
    }
    EXPECT_EQ(ExitCodeFor(UpdateOutcome::Busy), 1618);
}

// The check's lines for a found scanner that runs its firmware, with
// nothing in an update's way.
const std::string CHECK_DEFAULT = "0\n" + CHECK_ONLY + CHECK_UPDATER_FREE + FOUND + "bcdDevice: 0100\n" +
                                  CHECK_FIRMWARE + CHECK_SCAN_APP_FREE + CHECK_UTILITY_FREE +
                                  "WIA (stisvc): RUNNING, AUTO_START\n" + CHECK_NO_RECORD + CHECK_CAN_UPDATE;

struct CheckRow {
    const char* name;
    std::function<void()> configure;
    int code;
    std::string console;  // empty: only the code and the verdict are held
};

const CheckRow CHECK_ROWS[] = {
    {"Default", [] {}, EXIT_CODE_UPDATED, CHECK_DEFAULT},
    {"ScanApplicationHoldsItsMutex", [] { World().mutexesHeldByOthers = {apptest::SCANNER_MUTEX}; }, EXIT_CODE_BUSY,
     "0\n" + CHECK_ONLY + CHECK_UPDATER_FREE + FOUND + "bcdDevice: 0100\n" + CHECK_FIRMWARE + CHECK_SCAN_APP_HELD +
         CHECK_UTILITY_FREE + "WIA (stisvc): RUNNING, AUTO_START\n" + CHECK_NO_RECORD + CHECK_MUST_WAIT},
    {"UtilityHoldsItsMutex", [] { World().mutexesHeldByOthers = {apptest::UTILITY_MUTEX}; }, EXIT_CODE_BUSY, ""},
    {"AnotherUpdaterHoldsItsMutex", [] { World().mutexesHeldByOthers = {UPDATER_MUTEX}; }, EXIT_CODE_BUSY, ""},
    // No guard is taken from the recovery loader, so none holds it back.
    {"RecoveryLoaderWhileTheScanApplicationHoldsItsMutex",
     [] {
         World().scanner.recovery = true;
         World().mutexesHeldByOthers = {apptest::SCANNER_MUTEX};
     },
     EXIT_CODE_UPDATED, ""},
    {"NoScanner", [] { World().scanner.path = -1; }, EXIT_CODE_NO_SCANNER,
     "0\n" + CHECK_ONLY + CHECK_UPDATER_FREE + NOT_FOUND + "WIA (stisvc): RUNNING, AUTO_START\n" + CHECK_NO_RECORD +
         CHECK_CANNOT_UPDATE},
    {"ImageAltered", [] { World().imageFlippedByte = 100; }, EXIT_CODE_IMAGE_DAMAGED,
     "0\n" + IMAGE_DAMAGED + CHECK_CANNOT_UPDATE},
    {"NotElevated", [] { World().elevated = false; }, EXIT_CODE_NOT_ELEVATED,
     "0\n" + NOT_ELEVATED + CHECK_CANNOT_UPDATE},
    {"NoRegistryInstance", [] { World().registry.clear(); }, EXIT_CODE_FAILED_BEFORE_IMAGE, ""},
    {"DeadRunsBurnStillGoing",
     [] {
         RecordOfADeadRunsImage();
         ScannerBurnsForLong();
     },
     EXIT_CODE_BUSY,
     "0\n" + CHECK_ONLY + CHECK_UPDATER_FREE + FOUND + "bcdDevice: 0100\n" + CHECK_BURNING + CHECK_SCAN_APP_FREE +
         CHECK_UTILITY_FREE + "WIA (stisvc): STOPPED, DISABLED\n" + CHECK_RECORD + CHECK_MUST_WAIT},
    {"DeadRunsBurnOver", [] { RecordOfADeadRunsImage(); }, EXIT_CODE_UPDATED, ""},
};

const std::string& VerdictFor(int code)
{
    return code == EXIT_CODE_UPDATED ? CHECK_CAN_UPDATE
           : code == EXIT_CODE_BUSY  ? CHECK_MUST_WAIT
                                     : CHECK_CANNOT_UPDATE;
}

bool IsChange(const std::string& call)
{
    for (const char* prefix : {"ControlService", "ChangeServiceConfig", "StartService", "RegCreateKey", "RegSetValue",
                               "RegDeleteKey", "RegFlushKey"}) {
        if (call.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

// With or without /s, a check reports and changes nothing: no service
// control, no registry write, no task, nothing sent to the scanner but its
// status query, no mutex kept, no closing pause.
TEST_F(AppExitCodeTest, ACheckReportsAndChangesNothing)
{
    for (const CheckRow& row : CHECK_ROWS) {
        for (const std::vector<std::string>& args : {std::vector<std::string>{"/c"}, {"/s", "-c"}}) {
            SCOPED_TRACE(std::string(row.name) + " " + ::testing::PrintToString(args));
            SetUp();
            row.configure();
            const SimService serviceBefore = World().service;
            const auto keysBefore = World().machineKeys;
            EXPECT_EQ(Run(args), row.code);
            if (!row.console.empty()) {
                EXPECT_EQ(Console(), row.console);
            }
            const std::string& verdict = VerdictFor(row.code);
            EXPECT_EQ(Console().substr(Console().size() - std::min(Console().size(), verdict.size())), verdict);
            EXPECT_EQ(World().model.downloads, 0u);
            EXPECT_LE(World().model.commandsReceived, 1u);
            for (const std::string& call : World().calls) {
                EXPECT_FALSE(IsChange(call)) << call;
            }
            EXPECT_EQ(World().valueWrites, 0u);
            EXPECT_EQ(World().machineKeys, keysBefore);
            EXPECT_EQ(World().serviceNow.state, serviceBefore.state);
            EXPECT_EQ(World().serviceNow.startType, serviceBefore.startType);
            EXPECT_EQ(World().registerTaskCalls + World().createFolderCalls + World().copyFileCalls, 0u);
            for (const auto& [name, mutex] : World().mutexes) {
                EXPECT_FALSE(mutex.OwnedBy(0)) << name;
                EXPECT_EQ(mutex.HandlesOf(0), 0) << name;
            }
            EXPECT_LT(World().nowMs, 20000u);
        }
    }
}

}  // namespace

// The utility's mutex has no Global\ prefix, so each session has its own. A
// deployment tool runs the updater as SYSTEM in session 0, where a user's
// utility on the desktop would not show: the updater looks into every
// other session, and a utility seen there (or a look that cannot tell)
// ends the run busy, before the service or the scanner is touched.
TEST_F(AppExitCodeTest, AUtilityInAnySessionKeepsTheUpdateBack)
{
    const std::string inSession1 = std::string("Session\\1\\") + apptest::UTILITY_MUTEX;
    const std::string inSession2 = std::string("Session\\2\\") + apptest::UTILITY_MUTEX;
    const struct {
        const char* name;
        std::vector<std::uint32_t> sessions;
        std::vector<std::string> held;
        std::function<void()> configure;
        int code;
    } cases[] = {
        {"a desktop without the utility", {1}, {}, [] {}, EXIT_CODE_UPDATED},
        {"the utility on a desktop", {1}, {inSession1}, [] {}, EXIT_CODE_BUSY},
        {"the utility on the second of two desktops", {1, 2}, {inSession2}, [] {}, EXIT_CODE_BUSY},
        // Services only: no desktop application runs in session 0.
        {"a name in session 0", {0}, {std::string("Session\\0\\") + apptest::UTILITY_MUTEX}, [] {}, EXIT_CODE_UPDATED},
        {"another session's name for another application", {1}, {"Session\\1\\Other"}, [] {}, EXIT_CODE_UPDATED},
        {"the sessions cannot be listed", {1}, {}, [] { World().sessionsUnreadable = true; }, EXIT_CODE_BUSY},
        {"the look is refused", {1}, {}, [] { World().openMutex.first = 1; }, EXIT_CODE_BUSY},
        {"more sessions than are looked at", std::vector<std::uint32_t>(65, 3), {}, [] {}, EXIT_CODE_BUSY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().otherSessions = c.sessions;
        World().mutexesHeldByOthers = c.held;
        c.configure();
        EXPECT_EQ(Run({"/s"}), c.code);
        const bool busy = c.code == EXIT_CODE_BUSY;
        EXPECT_EQ(Console(),
                  "0\n" + FOUND +
                      (busy ? UTILITY_BUSY + FAILED : CLOSING + UNTIL_BURN + BURN_DONE + STARTING + SUCCEEDED));
        EXPECT_EQ(World().model.downloads, busy ? 0u : 1u);
        EXPECT_EQ(World().serviceCalls.control, busy ? 0u : 1u);
        // The run's own session's name is not kept by a run that ends busy.
        const auto own = World().mutexes.find(apptest::UTILITY_MUTEX);
        EXPECT_TRUE(own == World().mutexes.end() || !own->second.OwnedBy(0));
    }
}
