// Whole runs of the program on the simulated PC: every way the update can
// end, what the console shows for it, and what the run leaves behind on the
// host (imaging service, guard mutexes, service handles).
#include <algorithm>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/entry.h"
#include "common/shared.h"
#include "link/wire.h"
#include "tests/logic/app_test_support.h"
#include "tests/logic/console_texts.h"

using namespace texts;

namespace {

// A ready scanner whose burn is over before the first burn poll.
const std::string NORMAL_DOWNLOAD = UNTIL_BURN + BURN_DONE;

// A vendor that is not the scanner's.
constexpr std::uint16_t OTHER_VENDOR = 0x04B8;

void AddFault(SimDirection direction, SimFaultKind kind, std::uint32_t first, std::uint32_t count)
{
    ScannerConfig& scanner = World().scanner;
    scanner.faults[scanner.faultCount++] = SimFaultRule{direction, kind, first, count, 0};
}

// Answers to the status queries in order: the first goes to the probe, the
// rest to the readiness wait.
void ScriptStates(const std::vector<std::uint16_t>& states)
{
    ScannerConfig& scanner = World().scanner;
    scanner.scriptLength = 0;
    for (std::uint16_t state : states) {
        scanner.script[scanner.scriptLength++] = state;
    }
}

// The platform calls of interest, from the first one that `line` names.
std::vector<std::string> CallsFrom(const std::string& line)
{
    const std::vector<std::string>& calls = World().calls;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i] == line) {
            return std::vector<std::string>(calls.begin() + static_cast<std::ptrdiff_t>(i), calls.end());
        }
    }
    return {};
}

bool HeldByUpdater(const char* name)
{
    auto found = World().mutexes.find(name);
    return found != World().mutexes.end() && found->second.OwnedBy(0);
}

bool CreatedByUpdater(const char* name)
{
    auto found = World().mutexes.find(name);
    return found != World().mutexes.end() && found->second.CreatedBy(0);
}

enum class ServiceAfter { Untouched, Restarted, StoppedAutomatic, StillStopping };

struct ReturnRow {
    const char* name;
    std::function<void()> configure;
    std::string console;
    ServiceAfter service;
};

// One row per way the update ends.
const ReturnRow RETURN_ROWS[] = {
    {"NoScanner", [] { World().scanner.path = -1; }, "0\n" + NOT_FOUND + FAILED, ServiceAfter::Untouched},
    {"NoRegistryInstance", [] { World().registry.clear(); }, "0\n" + FOUND + SCAN_APP_BUSY_RETRY + FAILED,
     ServiceAfter::Untouched},
    {"ScanApplicationHoldsItsMutex", [] { World().mutexesHeldByOthers = {apptest::SCANNER_MUTEX}; },
     "0\n" + FOUND + SCAN_APP_BUSY + FAILED, ServiceAfter::Untouched},
    {"UtilityHoldsItsMutex", [] { World().mutexesHeldByOthers = {apptest::UTILITY_MUTEX}; },
     "0\n" + FOUND + UTILITY_BUSY + FAILED, ServiceAfter::Untouched},
    {"ScanApplicationLetsGoDuringTheGuard",
     [] {
         World().mutexesHeldByOthers = {apptest::SCANNER_MUTEX};
         World().mutexReleasesByOthers[apptest::SCANNER_MUTEX] = 1500;
     },
     "0\n" + FOUND + CLOSING + NORMAL_DOWNLOAD + STARTING + SUCCEEDED, ServiceAfter::Restarted},
    // The per-scanner mutex's name is refused by the platform.
    {"FriendlyNameHoldsABackslash",
     [] {
         World().registry.clear();
         SimRegistryInstance instance;
         instance.values = {apptest::TextValue("CreateFileName", apptest::SCANNER_PATH),
                            apptest::TextValue("MatchingDeviceId", "usb\\vid_7a3c&pid_41b2"),
                            apptest::TextValue("FriendlyName", "Orvane\\DS-1200")};
         World().registry.push_back(instance);
     },
     "0\n" + FOUND + SCAN_APP_BUSY + FAILED, ServiceAfter::Untouched},
    {"ServiceRefusesToStop", [] { World().service.control.first = 1; }, "0\n" + FOUND + CLOSING + CLOSE_FAILED + FAILED,
     ServiceAfter::Untouched},
    // Still stopping when the wait gives up: it may still hold the scanner.
    {"ServiceNeverFinishesStopping",
     [] {
         World().service.stuckPending = true;
         World().service.stopWaitHint = 3000;
     },
     "0\n" + FOUND + CLOSING + CLOSE_FAILED + FAILED, ServiceAfter::StillStopping},
    // Stopped but not disabled: neither waited on nor started again.
    {"ServiceStopsButCannotBeDisabled", [] { World().service.changeConfig.first = 1; },
     "0\n" + FOUND + CLOSING + CLOSE_FAILED + FAILED, ServiceAfter::StoppedAutomatic},
    {"ReadinessQueryFails", [] { AddFault(SIM_DIR_READ, SIM_FAULT_CALL_FAILS, 2, 1); },
     "0\n" + FOUND + CLOSING + USB_READ_ERROR + STATUS_ERROR + STARTING + FAILED, ServiceAfter::Restarted},
    {"NeverReady",
     [] {
         ScriptStates({STATE_READY, 5, 5, 5, 5, 5});
     },
     "0\n" + FOUND + CLOSING + NOT_RESPONDING + STARTING + FAILED, ServiceAfter::Restarted},
    {"ClockOutsideTheWindow", [] { World().scanner.clockSkewSeconds = 50; },
     "0\n" + FOUND + CLOSING + STARTING + FAILED, ServiceAfter::Restarted},
    {"ClockOutsideTheWindowServiceWillNotStart",
     [] {
         World().scanner.clockSkewSeconds = -50;
         World().service.start.first = 1;
     },
     "0\n" + FOUND + CLOSING + STARTING + START_FAILED + FAILED, ServiceAfter::StoppedAutomatic},
    {"BurnOutlastsTenMinutes", [] { World().scanner.burnMs = 6000 + 600000 + 1; },
     "0\n" + FOUND + CLOSING + UNTIL_BURN + Progress(1, 600) + BURN_ERROR + STARTING + FAILED, ServiceAfter::Restarted},
    // The start's check finds no image to hash: the run ends before the search.
    {"EmptyImage", [] { World().image = SimImage::Empty; }, "0\n" + IMAGE_DAMAGED + FAILED, ServiceAfter::Untouched},
    {"Success", [] {}, "0\n" + FOUND + CLOSING + NORMAL_DOWNLOAD + STARTING + SUCCEEDED, ServiceAfter::Restarted},
    {"SuccessServiceWillNotStart", [] { World().service.start.first = 1; },
     "0\n" + FOUND + CLOSING + NORMAL_DOWNLOAD + STARTING + START_FAILED + SUCCEEDED, ServiceAfter::StoppedAutomatic},
};

void PrintTo(const ReturnRow& row, std::ostream* out)
{
    *out << row.name;
}

class AppSequenceReturnPathsTest : public AppRunFixture, public ::testing::WithParamInterface<ReturnRow> { };

TEST_P(AppSequenceReturnPathsTest, ConsoleServiceAndGuardsAtTheEnd)
{
    const ReturnRow& row = GetParam();
    row.configure();
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Console(), row.console);

    const SimService& service = World().serviceNow;
    EXPECT_EQ(service.state, row.service == ServiceAfter::StoppedAutomatic ? SERVICE_STOPPED_STATE
                             : row.service == ServiceAfter::StillStopping  ? SERVICE_STOP_PENDING_STATE
                                                                           : SERVICE_RUNNING_STATE);
    EXPECT_EQ(service.startType, SERVICE_AUTO_START_TYPE);
    if (row.service == ServiceAfter::Untouched || row.service == ServiceAfter::StillStopping) {
        EXPECT_EQ(World().serviceCalls.start, 0u);
    }
    // Whatever the path, the run owns no guard mutex and no service handle
    // once it is over, and it ended with the full pause.
    EXPECT_FALSE(HeldByUpdater(apptest::SCANNER_MUTEX));
    EXPECT_FALSE(HeldByUpdater(apptest::UTILITY_MUTEX));
    EXPECT_EQ(ScannerMutex, INVALID_HANDLE);
    EXPECT_EQ(UtilityMutex, INVALID_HANDLE);
    EXPECT_EQ(World().serviceHandlesOpen, 0u);
    EXPECT_GE(World().nowMs, 20000u);
}

INSTANTIATE_TEST_SUITE_P(Rows, AppSequenceReturnPathsTest, ::testing::ValuesIn(RETURN_ROWS),
                         [](const ::testing::TestParamInfo<ReturnRow>& info) { return std::string(info.param.name); });

class AppSequenceTest : public AppRunFixture { };

TEST_F(AppSequenceTest, SuccessTakesBothGuardsAndGivesThemBack)
{
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(CreatedByUpdater(apptest::SCANNER_MUTEX));
    EXPECT_TRUE(CreatedByUpdater(apptest::UTILITY_MUTEX));
    // Scanner mutex first, then the utility's, then the updater's own, then
    // the console's selection given back for the closing pause, the run's
    // entry in the event log (its image named from the digest resource)
    // before that pause, which a closed window cuts short; and released,
    // not closed: the handles stay with the process. The run's record
    // follows the pause, so that its end time is the run's.
    std::vector<std::string> ending = CallsFrom(std::string("ReleaseMutex ") + apptest::SCANNER_MUTEX);
    ending.resize(std::min<std::size_t>(ending.size(), 8));
    EXPECT_EQ(ending,
              (std::vector<std::string>{std::string("ReleaseMutex ") + apptest::SCANNER_MUTEX,
                                        std::string("ReleaseMutex ") + apptest::UTILITY_MUTEX,
                                        "ReleaseMutex Global\\fwupdate-update", "SetConsoleMode restored",
                                        "FindResource 122", "LoadResource", "ReportEvent 0x400003E8", "Sleep 20000"}));
    EXPECT_EQ(apptest::CountCalls("CloseMutex"), 0u);
    EXPECT_EQ(World().mutexes[apptest::SCANNER_MUTEX].HandlesOf(0), 1);
    EXPECT_EQ(World().mutexes[apptest::UTILITY_MUTEX].HandlesOf(0), 1);
    // The status query, the stop and the restart share one pair of handles.
    EXPECT_EQ(World().serviceCalls.openManager, 1u);
    // The scanner's handle stays open to the end of the run.
    EXPECT_NE(DeviceHandle, NO_HANDLE);
    EXPECT_EQ(World().deviceCloses, 0u);
}

// Only a probe that reports the recovery loader skips the guards; the
// readiness wait then decides about the clock.
TEST_F(AppSequenceTest, ProbeDecidesTheGuardsAndReadinessTheClock)
{
    const struct {
        const char* name;
        std::function<void()> configure;
        std::string afterFound;
        bool guards;
    } cases[] = {
        {"failed probe counts as a normal scanner", [] { AddFault(SIM_DIR_WRITE, SIM_FAULT_CALL_FAILS, 1, 1); },
         USB_WRITE_ERROR + CLOSING, true},
        {"recovery probe, then ready", [] { ScriptStates({STATE_RECOVERY}); }, CLOSING, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.configure();
        EXPECT_EQ(Run(), 0);
        EXPECT_EQ(Console(), "0\n" + FOUND + c.afterFound + NORMAL_DOWNLOAD + STARTING + SUCCEEDED);
        EXPECT_EQ(apptest::CountCalls("RegOpenKey ") > 0, c.guards);
        EXPECT_EQ(CreatedByUpdater(apptest::SCANNER_MUTEX), c.guards);
        EXPECT_EQ(World().model.clockSets, 1u);
    }
}

TEST_F(AppSequenceTest, ReadinessAnswers)
{
    const struct {
        const char* name;
        std::vector<std::uint16_t> states;  // probe first, then the readiness queries
        std::string afterClosing;
        std::uint32_t clockSets;
    } cases[] = {
        {"ready at the fifth query", {STATE_READY, 5, 5, 5, 5, STATE_READY}, NORMAL_DOWNLOAD + STARTING + SUCCEEDED, 1},
        {"recovery at the fifth query",
         {STATE_READY, 5, 5, 5, 5, STATE_RECOVERY},
         RECOVERY + NORMAL_DOWNLOAD + STARTING + SUCCEEDED,
         0},
        {"burning counts as busy",
         {STATE_READY, STATE_BURNING, STATE_BURNING, STATE_BURNING, STATE_BURNING, STATE_BURNING},
         NOT_RESPONDING + STARTING + FAILED,
         0},
        {"busy with any other value",
         {STATE_READY, 1, 2, 0xFFFF, 0x0600, 0x0106},
         NOT_RESPONDING + STARTING + FAILED,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        ScriptStates(c.states);
        EXPECT_EQ(Run(), 0);
        EXPECT_EQ(Console(), "0\n" + FOUND + CLOSING + c.afterClosing);
        EXPECT_EQ(World().model.clockSets, c.clockSets);
        // The probe and five readiness queries, then the download's own.
        if (c.afterClosing.find(NOT_RESPONDING) != std::string::npos) {
            EXPECT_EQ(World().model.statusQueries, 6u);
        }
    }
}

TEST_F(AppSequenceTest, ReadinessQueriesFollowTheServiceStageASecondApart)
{
    ScriptStates({STATE_READY, 5, 5, 5, 5, 5});
    Run();
    // From the service's disabling to the start of the restart: one pause,
    // then five queries with a pause between each two.
    std::vector<std::string> between;
    for (const std::string& call : CallsFrom("ChangeServiceConfig 4")) {
        if (call == "CloseServiceHandle manager") {
            break;
        }
        if (call.rfind("Sleep", 0) == 0 || call.rfind("Write", 0) == 0 || call.rfind("Read", 0) == 0) {
            between.push_back(call);
        }
    }
    std::vector<std::string> expected = {"Sleep 1000"};
    for (int query = 1; query <= 5; ++query) {
        expected.insert(expected.end(), {"Write 16", "Read 32"});
        if (query < 5) {
            expected.push_back("Sleep 1000");
        }
    }
    EXPECT_EQ(between, expected);
}

TEST_F(AppSequenceTest, ReadinessFailureAfterBusyRepliesIsAStatusError)
{
    ScriptStates({STATE_READY, 5, 5});
    AddFault(SIM_DIR_READ, SIM_FAULT_CALL_FAILS, 4, 1);
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Console(), "0\n" + FOUND + CLOSING + USB_READ_ERROR + STATUS_ERROR + STARTING + FAILED);
}

// A service that cannot be queried, is stopped already or accepts no stop
// is neither stopped nor started, whatever the update's outcome.
TEST_F(AppSequenceTest, ServiceNotStoppedByTheRunIsLeftAsItWas)
{
    const struct {
        const char* name;
        std::function<void()> configure;
        std::string afterFound;
        std::uint32_t startType;
    } cases[] = {
        {"unqueryable, success", [] { World().service.queryStatus.first = 1; }, NORMAL_DOWNLOAD + SUCCEEDED,
         SERVICE_AUTO_START_TYPE},
        {"unqueryable, failure",
         [] {
             World().service.queryStatus.first = 1;
             AddFault(SIM_DIR_READ, SIM_FAULT_CALL_FAILS, 2, 1);
         },
         USB_READ_ERROR + STATUS_ERROR + FAILED, SERVICE_AUTO_START_TYPE},
        {"stopped on manual start",
         [] {
             World().service.state = SERVICE_STOPPED_STATE;
             World().service.startType = SERVICE_DEMAND_START_TYPE;
         },
         NORMAL_DOWNLOAD + SUCCEEDED, SERVICE_DEMAND_START_TYPE},
        {"running, accepting no controls", [] { World().service.runningControls = 0; }, NORMAL_DOWNLOAD + SUCCEEDED,
         SERVICE_AUTO_START_TYPE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.configure();
        const std::uint32_t state = World().service.state;
        EXPECT_EQ(Run(), 0);
        EXPECT_EQ(Console(), "0\n" + FOUND + c.afterFound);
        EXPECT_EQ(World().serviceCalls.control + World().serviceCalls.start + World().serviceCalls.changeConfig, 0u);
        EXPECT_EQ(World().serviceNow.state, state);
        EXPECT_EQ(World().serviceNow.startType, c.startType);
    }
}

TEST_F(AppSequenceTest, RestartAfterAFailureRunsOnAFreshServiceObject)
{
    AddFault(SIM_DIR_READ, SIM_FAULT_CALL_FAILS, 2, 1);
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Console(), "0\n" + FOUND + CLOSING + USB_READ_ERROR + STATUS_ERROR + STARTING + FAILED);
    // The sequence's own pair of handles is closed before the fresh object
    // opens its own for the start.
    EXPECT_EQ(World().serviceCalls.openManager, 2u);
    const std::vector<std::string> restart = CallsFrom("CloseServiceHandle manager");
    ASSERT_GE(restart.size(), 3u);
    EXPECT_EQ(restart[1], "CloseServiceHandle service");
    EXPECT_EQ(restart[2], "OpenSCManager");
    EXPECT_EQ(World().serviceHandlesOpen, 0u);
    EXPECT_EQ(World().serviceNow.state, SERVICE_RUNNING_STATE);
}

// A clock read that never succeeds must not end the process on the spot,
// leaving the imaging service stopped and disabled and both guards owned:
// it fails the update like any other stage.
TEST_F(AppSequenceTest, ClockReadThatKeepsFailingEndsAsAFailedUpdate)
{
    // Reads 1 and 2 answer the probe and the readiness query, 3 and 4 the
    // clock commands; from the fifth on the record never arrives.
    AddFault(SIM_DIR_READ, SIM_FAULT_CALL_FAILS, 5, 100000);
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Console(), "0\n" + FOUND + CLOSING + USB_TIMEOUT + STARTING + FAILED);
    EXPECT_EQ(World().serviceNow.state, SERVICE_RUNNING_STATE);
    EXPECT_EQ(World().serviceNow.startType, SERVICE_AUTO_START_TYPE);
    EXPECT_TRUE(CreatedByUpdater(apptest::SCANNER_MUTEX));
    EXPECT_FALSE(HeldByUpdater(apptest::SCANNER_MUTEX));
    EXPECT_FALSE(HeldByUpdater(apptest::UTILITY_MUTEX));
    EXPECT_EQ(World().model.downloads, 0u);
    EXPECT_GE(World().nowMs, 20000u);
}

TEST_F(AppSequenceTest, ScannerBehindForeignDevicesSetsTheModeAnew)
{
    World().registry.clear();
    apptest::AddScannerInstance(7, "\\\\.\\USBSCAN3");
    World().foreignDevices = {SimForeignDevice{0, 0x04A9, 0x1909, false},
                              SimForeignDevice{1, SCANNER_VENDOR_ID, REBOOT_PROMPT_PRODUCT_ID, false}};
    World().scanner.path = 3;
    EXPECT_EQ(Run({"-a"}), 0);
    // The mode given on the command line shows only in the echo: the found
    // scanner sets it back to 0, so no reboot prompt follows.
    EXPECT_EQ(Console(), "1\n" + FOUND + CLOSING + NORMAL_DOWNLOAD + STARTING + SUCCEEDED);
    EXPECT_EQ(UpdateMode, 0);
    EXPECT_STREQ(DevicePath, "\\\\.\\usbscan3");
    EXPECT_STREQ(FriendlyName, apptest::SCANNER_NAME);
}

// The mode the sequence sets after the search follows from the found
// device's IDs alone.
TEST(AppSequenceModeTest, OnlyTheRebootPromptModelSelectsModeOne)
{
    const struct {
        std::uint16_t vendor, product;
        std::int32_t mode;
    } cases[] = {
        {SCANNER_VENDOR_ID, REBOOT_PROMPT_PRODUCT_ID, 1},
        {SCANNER_VENDOR_ID, SCANNER_PRODUCT_ID, 0},
        {OTHER_VENDOR, REBOOT_PROMPT_PRODUCT_ID, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ModeForDevice(c.vendor, c.product), c.mode) << c.vendor << ":" << c.product;
    }
}

}  // namespace

// The imaging service never meets the image: one still starting is waited
// out and stopped, one that a trigger can start is kept disabled, and each
// is given back with the start type it had, started only if it ran.
TEST_F(AppSequenceTest, TheServiceIsOffBesideTheImageAndGivenBackAsFound)
{
    const struct {
        const char* name;
        std::uint32_t state, startType;
        bool trigger;
        std::function<void()> configure;
        std::string console;  // after FOUND
        std::uint32_t stateAfter;
        std::uint32_t downloads;
    } cases[] = {
        {"starting, automatic", SERVICE_START_PENDING_STATE, SERVICE_AUTO_START_TYPE, false, [] {},
         CLOSING + NORMAL_DOWNLOAD + STARTING + SUCCEEDED, SERVICE_RUNNING_STATE, 1},
        {"starting on manual, slow to run", SERVICE_START_PENDING_STATE, SERVICE_DEMAND_START_TYPE, false,
         [] { World().service.startPendingMs = 12000; }, CLOSING + NORMAL_DOWNLOAD + STARTING + SUCCEEDED,
         SERVICE_RUNNING_STATE, 1},
        {"starting for ever", SERVICE_START_PENDING_STATE, SERVICE_AUTO_START_TYPE, false,
         [] { World().service.stuckPending = true; }, CLOSING + CLOSE_FAILED + FAILED, SERVICE_START_PENDING_STATE, 0},
        {"running on manual", SERVICE_RUNNING_STATE, SERVICE_DEMAND_START_TYPE, false, [] {},
         CLOSING + NORMAL_DOWNLOAD + STARTING + SUCCEEDED, SERVICE_RUNNING_STATE, 1},
        {"running on manual, update fails", SERVICE_RUNNING_STATE, SERVICE_DEMAND_START_TYPE, false,
         [] { AddFault(SIM_DIR_READ, SIM_FAULT_CALL_FAILS, 2, 1); },
         CLOSING + USB_READ_ERROR + STATUS_ERROR + STARTING + FAILED, SERVICE_RUNNING_STATE, 0},
        {"stopped with a trigger, scanner back on the bus in its burn", SERVICE_STOPPED_STATE,
         SERVICE_DEMAND_START_TYPE, true,
         [] {
             World().scanner.burnMs = 20000;
             World().scanner.absences[0] = SimAbsence{14000, 16000, 0};
             World().scanner.absenceCount = 1;
         },
         "", SERVICE_STOPPED_STATE, 1},
        {"stopped with a trigger, recovery loader's power cycle", SERVICE_STOPPED_STATE, SERVICE_AUTO_START_TYPE, true,
         [] {
             World().scanner.recovery = true;
             World().scanner.leaveAfterMs = 9000;
         },
         "", SERVICE_STOPPED_STATE, 1},
        {"stopped with a trigger, not to be disabled", SERVICE_STOPPED_STATE, SERVICE_DEMAND_START_TYPE, true,
         [] { World().service.changeConfig.first = 1; }, CLOSE_FAILED + FAILED, SERVICE_STOPPED_STATE, 0},
        {"stopped, triggers unreadable", SERVICE_STOPPED_STATE, SERVICE_DEMAND_START_TYPE, false,
         [] { World().service.queryTriggers.first = 1; }, NORMAL_DOWNLOAD + SUCCEEDED, SERVICE_STOPPED_STATE, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().service.state = c.state;
        World().service.startType = c.startType;
        World().service.startTrigger = c.trigger;
        c.configure();
        Run();
        if (!c.console.empty()) {
            EXPECT_EQ(Console(), "0\n" + FOUND + c.console);
        } else {
            EXPECT_EQ(Console().find(CLOSING), std::string::npos);
            EXPECT_EQ(Console().find(STARTING), std::string::npos);
            EXPECT_EQ(Console().substr(Console().size() - SUCCEEDED.size()), SUCCEEDED);
        }
        EXPECT_FALSE(World().serviceBesideImage);
        EXPECT_EQ(World().model.downloads, c.downloads);
        EXPECT_EQ(World().serviceNow.state, c.stateAfter);
        EXPECT_EQ(World().serviceNow.startType, c.startType);
        EXPECT_FALSE(Recorded());
    }
}

// A dead run's record kept while its scanner burns, and a start-type read
// that fails as the run looks at the stopped, trigger-started service it
// left disabled: the run takes the worse case and keeps the service off,
// which must not write its own record over the dead run's (it would name
// the disabled start type and give the service back disabled for good).
TEST_F(AppSequenceTest, ADeadRunsRecordIsNeverWrittenOver)
{
    World().service.state = SERVICE_STOPPED_STATE;
    World().service.startType = SERVICE_DISABLED_TYPE;
    World().service.startTrigger = true;
    World().service.queryConfig = SimRefusal{1, 1, 1058};
    auto& record = World().machineKeys[apptest::DEBT_KEY];
    record["imagingservicestate"] = SERVICE_RUNNING_STATE;
    record["imagingservicestarttype"] = SERVICE_DEMAND_START_TYPE;
    record["imagesent"] = 1;
    World().scanner.busyState = STATE_BURNING;
    World().scanner.busyForMs = 3600000;
    Run();
    ASSERT_TRUE(Recorded());
    EXPECT_EQ(static_cast<std::uint32_t>(World().machineKeys[apptest::DEBT_KEY]["imagingservicestarttype"]),
              SERVICE_DEMAND_START_TYPE);
    EXPECT_EQ(World().serviceNow.startType, SERVICE_DISABLED_TYPE);
}
