// A closed window, a log-off or a shutdown under Windows' rules: the handler
// runs on its own thread beside a main thread that goes on inside whatever
// call it was in, and the process ends when the handler returns or five
// seconds after the event. Whatever the moment, the imaging service is
// given back once or left for the next run with its record, never started
// beside an image in flight, and nothing new reaches the scanner.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/shared.h"
#include "host/guards.h"
#include "link/wire.h"
#include "platform/sim/world.h"
#include "tests/logic/app_test_support.h"
#include "tests/logic/console_texts.h"

namespace {

using namespace texts;
using apptest::DEBT_KEY;

constexpr std::uint64_t WINDOWS_GRACE_MS = 5000;

class AppCloseTest : public AppRunFixture {
protected:
    // These worlds play the handler and the next run's repair; the
    // give-back task, which would settle a record first, cannot be set up
    // here (app_give_back_test plays it).
    void SetUp() override
    {
        AppRunFixture::SetUp();
        World().registerTask.first = 1;
    }

    // The same world again from its start, configured by `configure`.
    void Again(const std::function<void()>& configure)
    {
        SetUp();
        configure();
    }

    // The next run in the same PC, as a new process, after the service had
    // a minute to settle. True when it updated and gave the service back,
    // settling what the ended run left first.
    bool NextRunSettlesAndUpdates()
    {
        World().Advance(60000);
        apptest::RunNextProcess();
        return Console().rfind("0\n" + STARTING + FOUND, 0) == 0 &&
               Console().substr(Console().size() - SUCCEEDED.size()) == SUCCEEDED && Given() && !Recorded();
    }

    // When the run's last line before `killAtMs` reached the console.
    std::uint64_t LastLineBefore(const std::function<void()>& configure, std::uint64_t killAtMs)
    {
        Again(configure);
        World().killAtMs = killAtMs;
        RunToItsEnd();
        return World().lastConsoleWriteMs;
    }

    static bool Given()
    {
        return World().serviceNow.state == SERVICE_RUNNING_STATE &&
               World().serviceNow.startType == SERVICE_AUTO_START_TYPE;
    }
};

// A close while the main thread waits for the service to stop: the handler
// holds nothing the main thread needs and waits for it instead; the main
// thread sees the close once the stop is done and gives the service back
// itself. A stop that outlasts the handler's budget leaves the service
// stopped with its start type untouched and the record, which the next run
// settles.
TEST_F(AppCloseTest, ACloseDuringTheStopIsSettledByTheMainThreadOrTheNextRun)
{
    const struct {
        const char* name;
        std::uint32_t stopMs;
        bool givenBackNow;
    } cases[] = {
        {"a 3 s stop", 3000, true},
        {"a 20 s stop", 20000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().service.stopPendingMs = c.stopMs;
        World().service.stopWaitHint = c.stopMs;
        World().controlEvents.push_back({1000, ConsoleControl::Close});
        EXPECT_TRUE(RunToItsEnd());
        EXPECT_FALSE(CutOff());
        EXPECT_LT(World().nowMs, 1000 + WINDOWS_GRACE_MS);
        EXPECT_EQ(World().model.downloads, 0u);
        EXPECT_EQ(Recorded(), !c.givenBackNow);
        World().Advance(World().service.startPendingMs + c.stopMs);
        EXPECT_EQ(World().serviceNow.startType, SERVICE_AUTO_START_TYPE);
        if (c.givenBackNow) {
            EXPECT_EQ(World().serviceNow.state, SERVICE_RUNNING_STATE);
        } else {
            EXPECT_EQ(World().serviceNow.state, SERVICE_STOPPED_STATE);
            EXPECT_TRUE(NextRunSettlesAndUpdates());
        }
    }
}

// A close while the main thread gives the service back (its start takes
// three seconds on the service manager, then three more to run): the
// handler waits for it, and the service is started once and announced once.
TEST_F(AppCloseTest, ACloseDuringTheMainThreadsGiveBackLetsItFinish)
{
    const auto configure = [] {
        World().scanner.burnMs = 5000;
        World().service.startTakesMs = 3000;
    };
    Again(configure);
    Run();
    // The outcome line comes right after the give-back.
    const std::uint64_t outcomeAtMs = World().lastConsoleWriteMs;
    Again(configure);
    World().controlEvents.push_back({outcomeAtMs - 2000, ConsoleControl::Close});
    EXPECT_TRUE(RunToItsEnd());
    EXPECT_FALSE(CutOff());
    EXPECT_TRUE(Given());
    EXPECT_FALSE(Recorded());
    EXPECT_EQ(World().serviceCalls.start, 1u);
    EXPECT_EQ(Console().find(STARTING), Console().rfind(STARTING));
}

// A log-off during the readiness queries: the handler gives the service
// back quietly while the service manager takes seconds over the start, and
// the main thread, its run over, reaches its closing pause meanwhile. A copy
// started then must not find the one-updater mutex free and settle the same
// record under the handler: the dying run keeps the mutex to its end.
TEST_F(AppCloseTest, TheMutexOutlivesTheHandlersGiveBack)
{
    World().scanner.busyState = 1;
    World().scanner.busyForMs = 600000;
    World().service.startTakesMs = 4200;
    World().controlEvents.push_back({2500, ConsoleControl::Logoff});
    World().updaterCopies.push_back({4500, {}});
    EXPECT_TRUE(RunToItsEnd());
    ASSERT_EQ(World().processes.size(), 2u);
    const std::string& copy = World().processes[1].view.console;
    EXPECT_EQ(copy.find(STARTING), std::string::npos) << copy;
    EXPECT_EQ(World().serviceCalls.start, 1u);
    EXPECT_EQ(World().serviceNow.startType, SERVICE_AUTO_START_TYPE);
    EXPECT_FALSE(Recorded());
}

// A close while a selection in the window holds the main thread on its
// "Start WIA service..." line: the handler gives the service back by itself
// within Windows' grace, as the printing thread holds nothing it needs.
TEST_F(AppCloseTest, ACloseWhileASelectionHoldsTheGiveBacksLine)
{
    const auto configure = [] { World().scanner.burnMs = 5000; };
    Again(configure);
    SimConsoleSelection selection{NEVER_MS, 120000, false, STARTING};
    World().consoleSelections.push_back(selection);
    Run();
    const std::uint64_t heldFromMs = World().consoleSelections[0].atMs;
    ASSERT_NE(heldFromMs, NEVER_MS);
    Again(configure);
    World().consoleSelections.push_back(selection);
    World().controlEvents.push_back({heldFromMs + 30000, ConsoleControl::Close});
    EXPECT_TRUE(RunToItsEnd());
    EXPECT_FALSE(CutOff());
    EXPECT_LT(World().nowMs, heldFromMs + 30000 + WINDOWS_GRACE_MS);
    World().Advance(World().service.startPendingMs);
    EXPECT_TRUE(Given());
    EXPECT_FALSE(Recorded());
}

// A close before the image: the handler's start takes three seconds on the
// service manager, and meanwhile the main thread goes on with the update
// beside it; nothing it tries to send reaches the scanner after the close.
TEST_F(AppCloseTest, NothingReachesTheScannerAfterAClose)
{
    const std::uint64_t closeAtMs = 2500;
    World().killAtMs = closeAtMs;
    RunToItsEnd();
    const std::uint32_t writesBefore = World().model.writeCalls;
    Again([] { World().service.startTakesMs = 3000; });
    World().controlEvents.push_back({closeAtMs, ConsoleControl::Close});
    EXPECT_TRUE(RunToItsEnd());
    EXPECT_EQ(World().model.writeCalls, writesBefore);
    EXPECT_EQ(World().model.downloads, 0u);
    World().Advance(World().service.startPendingMs);
    EXPECT_TRUE(Given());
    EXPECT_FALSE(Recorded());
}

// A close while the image streams to the scanner: the service stays off
// and the record stays, whatever the write does; a write that ends within
// the handler's budget hands the scanner the whole image, which it burns by
// itself, and one that does not is cut with the process. The next run gives
// the service back first once the scanner is done (it is asked first); a
// scanner left waiting for the rest of a cut image answers no command and
// burns nothing, and updates again once switched off and on.
TEST_F(AppCloseTest, ACloseDuringTheImageWriteLeavesTheServiceOff)
{
    const struct {
        const char* name;
        std::uint32_t writeMs;
        bool wholeImage;
    } cases[] = {
        {"a one-second write", 1000, true},
        {"a twenty-second write", 20000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint32_t rate = EmbeddedImageSize() / c.writeMs;
        // The scheduler refuses the give-back's task (its service disabled
        // by policy, say): the next run is what gives the service back.
        const auto configure = [rate] {
            World().scanner.burnMs = 8000;
            World().bulkBytesPerMs = rate;
            World().registerTask.first = 1;
        };
        Again(configure);
        Run();
        const std::uint64_t writeEndsAtMs = World().model.burnEndsAtMs - 8000;
        Again(configure);
        World().controlEvents.push_back({writeEndsAtMs - c.writeMs / 2, ConsoleControl::Close});
        EXPECT_TRUE(RunToItsEnd());
        EXPECT_FALSE(CutOff());
        EXPECT_EQ(World().model.burnsStarted, c.wholeImage ? 1u : 0u);
        EXPECT_EQ(World().serviceNow.startType, SERVICE_DISABLED_TYPE);
        EXPECT_EQ(World().serviceNow.state, SERVICE_STOPPED_STATE);
        EXPECT_TRUE(Recorded());
        if (c.wholeImage) {
            EXPECT_TRUE(NextRunSettlesAndUpdates());
            continue;
        }
        // It answers nothing, so it burns nothing: the next run gives the
        // service back first, then fails. Switched off and on, it updates.
        EXPECT_FALSE(NextRunSettlesAndUpdates());
        EXPECT_LT(Console().find(STARTING), Console().find(FOUND)) << Console();
        EXPECT_TRUE(Given());
        EXPECT_FALSE(Recorded());
        World().model.Reset(World().scanner);
        apptest::RunNextProcess();
        EXPECT_EQ(Console().substr(Console().size() - SUCCEEDED.size()), SUCCEEDED);
    }
}

// A run started right after one that ended during the burn, while the
// scanner still burns: the service stays off and the record stays (the run
// itself fails, the scanner being busy); a run after the burn settles it.
TEST_F(AppCloseTest, ARunRightAfterADeadRunsBurnLeavesTheServiceOff)
{
    World().scanner.burnMs = 60000;
    World().registerTask.first = 1;  // no give-back: the runs settle it
    World().controlEvents.push_back({20000, ConsoleControl::Close});
    EXPECT_TRUE(RunToItsEnd());
    ASSERT_TRUE(Recorded());
    apptest::RunNextProcess();
    EXPECT_EQ(Console().find(STARTING), std::string::npos);
    EXPECT_EQ(World().serviceNow.startType, SERVICE_DISABLED_TYPE);
    EXPECT_TRUE(Recorded());
    EXPECT_TRUE(NextRunSettlesAndUpdates());
}

// A run killed once its recovery loader took the whole image, while the
// loader stays on the bus before it leaves to burn: the loader answers as
// it did before the image, in recovery, and a run asking it then keeps the
// service off. A scanner that answers ready is done: the record is settled.
TEST_F(AppCloseTest, ARunRightAfterADeadRunsRecoveryImageAsksTheLoader)
{
    const struct {
        const char* name;
        bool answersReady;
    } cases[] = {
        {"the loader, still on the bus, answers in recovery", false},
        {"a scanner that answers ready", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Again([] {
            World().scanner.recovery = true;
            World().scanner.leaveAfterMs = 120000;
        });
        World().killAtMs = 30000;
        EXPECT_TRUE(RunToItsEnd());
        ASSERT_EQ(World().model.powerCycles, 1u);
        ASSERT_TRUE(World().model.present);
        ASSERT_TRUE(Recorded());
        if (c.answersReady) {
            ScannerConfig& config = World().model.config;
            config.scriptLength = World().model.scriptUsed + 1;
            config.script[World().model.scriptUsed] = STATE_READY;
        }
        World().killAtMs = NEVER_MS;
        apptest::RunNextProcess();
        const std::string next = Console();
        if (!c.answersReady) {
            EXPECT_EQ(next.find(STARTING), std::string::npos) << next;
            EXPECT_EQ(World().serviceNow.startType, SERVICE_DISABLED_TYPE);
            EXPECT_NE(World().serviceNow.state, SERVICE_RUNNING_STATE);
            EXPECT_TRUE(Recorded());
            continue;
        }
        EXPECT_EQ(next.rfind("0\n" + STARTING + FOUND, 0), 0u) << next;
        EXPECT_FALSE(Recorded());
    }
}

// A run whose first try at the one-updater mutex finds it held, by a copy
// killed before it sent anything, takes it over at the stages, finds the
// dead run's record with its image still in the loader, keeps the record,
// and then updates the scanner itself: it settles the record at its end.
TEST_F(AppCloseTest, ARecordKeptAtTheStagesIsSettledWhenTheRunUpdates)
{
    World().scanner.recovery = true;
    World().service.state = SERVICE_STOPPED_STATE;
    World().service.startType = SERVICE_DISABLED_TYPE;
    auto& record = World().machineKeys[DEBT_KEY];
    record["imagingservicestate"] = SERVICE_RUNNING_STATE;
    record["imagingservicestarttype"] = SERVICE_DEMAND_START_TYPE;
    record["imagesent"] = 1;
    // The copy takes the mutex while the first line is held, and is killed
    // in its settle pause, before its image; the run's search is held past
    // the kill.
    SimUpdaterCopy copy{10, {}};
    copy.killAtMs = 800;
    World().updaterCopies.push_back(copy);
    World().consoleSelections.push_back({0, 500, false, "0\n"});
    World().consoleSelections.push_back({0, 2000, false, "Device found"});
    EXPECT_FALSE(RunToItsEnd());
    ASSERT_EQ(World().processes.size(), 2u);
    EXPECT_EQ(World().processes[1].endedBy, "killed");
    EXPECT_EQ(World().model.powerCycles, 1u);
    EXPECT_NE(Console().find(STARTING), std::string::npos) << Console();
    EXPECT_EQ(Console().substr(Console().size() - SUCCEEDED.size()), SUCCEEDED) << Console();
    EXPECT_FALSE(Recorded());
    EXPECT_EQ(World().serviceNow.startType, SERVICE_DEMAND_START_TYPE);
}

// A dead run's record whose start is refused stays; the run finds the
// service stopped, stops nothing, and sends the image. Killed during the
// burn, it leaves that record to a run that must not start the service
// while the scanner still burns.
TEST_F(AppCloseTest, ARecordTheRunCouldNotSettleNotesItsImage)
{
    World().scanner.burnMs = 60000;
    World().registerTask.first = 1;  // no give-back: the runs settle it
    World().service.state = SERVICE_STOPPED_STATE;
    World().service.startType = SERVICE_DISABLED_TYPE;
    World().service.start.first = 1;
    World().service.start.count = 1;
    auto& record = World().machineKeys[DEBT_KEY];
    record["imagingservicestate"] = SERVICE_RUNNING_STATE;
    record["imagingservicestarttype"] = SERVICE_AUTO_START_TYPE;
    World().killAtMs = 30000;
    EXPECT_TRUE(RunToItsEnd());
    ASSERT_EQ(World().model.burnsStarted, 1u);
    ASSERT_TRUE(World().model.burning);
    EXPECT_EQ(World().machineKeys[DEBT_KEY]["imagesent"], 1u);
    apptest::RunNextProcess();
    EXPECT_EQ(Console().find(STARTING), std::string::npos) << Console();
    EXPECT_NE(World().serviceNow.state, SERVICE_RUNNING_STATE);
    EXPECT_TRUE(Recorded());
    EXPECT_TRUE(NextRunSettlesAndUpdates());
}

// The handler's start, held by the service manager for its 30 s, is cut
// off by Windows' 5 s: the start type is back by then, and the record stays
// for the next run, which finds the service stopped with that start type
// and starts it.
TEST_F(AppCloseTest, AHandlersStartTheManagerHoldsIsCutOffWithTheStartTypeBack)
{
    World().service.startTakesMs = 40000;
    World().controlEvents.push_back({2500, ConsoleControl::Close});
    EXPECT_TRUE(RunToItsEnd());
    EXPECT_TRUE(CutOff());
    EXPECT_LE(World().nowMs, 2500 + WINDOWS_GRACE_MS);
    EXPECT_EQ(World().serviceNow.startType, SERVICE_AUTO_START_TYPE);
    EXPECT_TRUE(Recorded());
    World().serviceNow.startTakesMs = 0;
    EXPECT_TRUE(NextRunSettlesAndUpdates());
}

// A record whose run had begun to send the image has the next run ask the
// scanner first. A silent scanner holds that question for the handle's 5 s
// write time-out at most, counts as done, and the record is settled.
TEST_F(AppCloseTest, TheRecordsQuestionToASilentScannerIsBounded)
{
    World().scanner.silentByTime = true;
    World().scanner.silentFromMs = 0;
    World().service.state = SERVICE_STOPPED_STATE;
    World().service.startType = SERVICE_DISABLED_TYPE;
    auto& record = World().machineKeys[DEBT_KEY];
    record["imagingservicestate"] = SERVICE_RUNNING_STATE;
    record["imagingservicestarttype"] = SERVICE_AUTO_START_TYPE;
    record["imagesent"] = 1;
    // A selection of a millisecond notes when the settle's line comes.
    World().consoleSelections.push_back({NEVER_MS, 1, false, STARTING});
    RunToItsEnd();
    const std::uint64_t settledAtMs = World().consoleSelections[0].atMs;
    EXPECT_LE(settledAtMs, 10000u);
    EXPECT_LT(Console().find(STARTING), Console().find(FOUND));
    EXPECT_FALSE(Recorded());
    World().Advance(World().service.startPendingMs);
    EXPECT_TRUE(Given());
}

// A shutdown's service manager starts nothing: the handler puts the start
// type back, the start is refused, and the record stays for the run after
// Windows has started again, which finds the service running and only
// removes the record. A log-off or shutdown that ends the process without
// a handler leaves what a kill leaves.
TEST_F(AppCloseTest, AShutdownLeavesTheServiceToWindowsNextStart)
{
    const struct {
        const char* name;
        ConsoleControl event;
        bool noHandler;
        std::uint32_t startTypeAfter;
        bool settledWithAMessage;
    } cases[] = {
        {"shutdown", ConsoleControl::Shutdown, false, SERVICE_AUTO_START_TYPE, false},
        {"shutdown without the handler", ConsoleControl::Shutdown, true, SERVICE_DISABLED_TYPE, true},
        {"log-off without the handler", ConsoleControl::Logoff, true, SERVICE_DISABLED_TYPE, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        SimControlEvent event{2500, c.event};
        event.noHandler = c.noHandler;
        World().controlEvents.push_back(event);
        EXPECT_TRUE(RunToItsEnd());
        EXPECT_EQ(World().serviceNow.startType, c.startTypeAfter);
        EXPECT_TRUE(Recorded());
        World().Advance(60000);
        apptest::RunNextProcess();
        EXPECT_EQ(Console().rfind("0\n" + std::string(c.settledWithAMessage ? STARTING : "") + FOUND, 0), 0u);
        EXPECT_TRUE(Given());
        EXPECT_FALSE(Recorded());
    }
}

// Copies of the updater started at any moment of the first one's run never
// touch its service, its record or its scanner. In the first one's closing
// pause its guard mutexes still exist (it keeps their handles to the end),
// so a copy then stops at the guards. (A run after the first has ended is
// the next run, covered where the world starts the next process.)
TEST_F(AppCloseTest, ASecondCopyAtAnyMomentLeavesTheFirstCopyAlone)
{
    World().scanner.burnMs = 8000;
    Run();
    const std::uint64_t outcomeAtMs = World().lastConsoleWriteMs;
    const std::string busy = "0\n" + FOUND + BUSY + FAILED;
    const std::string guarded = "0\n" + FOUND + SCAN_APP_BUSY + FAILED;
    const struct {
        std::uint64_t atMs;
        const std::string& console;
    } cases[] = {
        {0, busy},
        {500, busy},
        {1500, busy},
        {2500, busy},
        {5000, busy},
        {outcomeAtMs - 3000, busy},
        {outcomeAtMs + 500, guarded},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.atMs);
        Again([] { World().scanner.burnMs = 8000; });
        World().updaterCopies.push_back({c.atMs, {}});
        EXPECT_FALSE(RunToItsEnd());
        ASSERT_EQ(World().processes.size(), 2u);
        EXPECT_EQ(World().processes[1].view.console, c.console);
        EXPECT_EQ(World().model.downloads, 1u);
        EXPECT_EQ(Console().substr(Console().size() - SUCCEEDED.size()), SUCCEEDED);
        EXPECT_TRUE(Given());
        EXPECT_FALSE(Recorded());
    }
}

// A copy killed mid-burn while the first run, done, still holds a handle on
// the one-updater mutex in its closing pause: the mutex outlives the killed
// copy, abandoned, and a third copy takes it over, settles what the killed
// one left, and updates. The first run updates a scanner in its recovery
// loader, so it holds no guard mutex that would stop the copies.
TEST_F(AppCloseTest, AnAbandonedUpdaterMutexIsTakenOver)
{
    const auto configure = [] {
        World().scanner.burnMs = 3000;
        World().scanner.recovery = true;
    };
    Again(configure);
    Run();
    const std::uint64_t pauseFromMs = World().lastConsoleWriteMs + 100;
    Again(configure);
    SimUpdaterCopy killed{pauseFromMs, {}};
    killed.killAtMs = pauseFromMs + 8000;
    World().updaterCopies.push_back(killed);
    World().updaterCopies.push_back({pauseFromMs + 9000, {}});
    EXPECT_FALSE(RunToItsEnd());
    ASSERT_EQ(World().processes.size(), 3u);
    EXPECT_EQ(World().processes[1].endedBy, "killed");
    const std::string& third = World().processes[2].view.console;
    EXPECT_EQ(third.rfind("0\n" + STARTING + FOUND, 0), 0u) << third;
    EXPECT_EQ(third.substr(third.size() - SUCCEEDED.size()), SUCCEEDED);
    EXPECT_TRUE(Given());
    EXPECT_FALSE(Recorded());
}

// A standard user's program cannot open the one-updater mutex, so it cannot
// hold it and lock every later run out.
TEST_F(AppCloseTest, AUsersProgramCannotHoldTheUpdaterMutex)
{
    World().scanner.burnMs = 3000;
    World().userMutexHolders.push_back({UPDATER_MUTEX_NAME, 2000});
    EXPECT_FALSE(RunToItsEnd());
    ASSERT_EQ(World().userMutexStates.size(), 1u);
    EXPECT_EQ(World().userMutexStates[0], SimUserMutexState::Refused);
    apptest::RunNextProcess();
    EXPECT_EQ(Console().find(BUSY), std::string::npos);
    EXPECT_EQ(World().model.downloads, 2u);
}

}  // namespace
