// What a real PC does to a run that the run did not ask for: console control
// events, a killed process, a sleep, a second copy of the updater.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/shared.h"
#include "host/guards.h"
#include "host/service_debt.h"
#include "platform/sim/world.h"
#include "tests/logic/app_test_support.h"
#include "tests/logic/console_texts.h"

namespace {

using namespace texts;

constexpr std::uint32_t BURN_MS = 30000;
const char* const UPDATER_MUTEX = UPDATER_MUTEX_NAME;
using apptest::DEBT_KEY;

class AppInterruptionTest : public AppRunFixture {
protected:
    void SetUp() override
    {
        AppRunFixture::SetUp();
        World().scanner.burnMs = BURN_MS;
    }

    // The next run in the same PC, as a new process.
    bool RunAgain()
    {
        World().StartNextProcess();
        ResetProcessState();
        try {
            apptest::RunProgram({});
            return false;
        } catch (const SimProcessEnded&) {
            return true;
        }
    }

    // When the burn of an undisturbed run ends: the runs are deterministic,
    // so the same world burns at the same virtual time.
    std::uint64_t BurnEndsAtMs(const std::function<void()>& configure = [] {})
    {
        SetUp();
        configure();
        Run();
        const std::uint64_t end = World().model.burnEndsAtMs;
        SetUp();
        configure();
        return end;
    }

    static bool ServiceGivenBack()
    {
        return World().serviceNow.state == SERVICE_RUNNING_STATE &&
               World().serviceNow.startType == SERVICE_AUTO_START_TYPE;
    }
};

// Each control event at a few moments of a normal update: whether the
// process ends, and what the PC and the scanner look like afterwards. A
// close while the scanner burns leaves the service off and the record for
// the next run, which gives it back first.
TEST_F(AppInterruptionTest, ControlEventsKeepTheUpdateOrSettleTheService)
{
    enum When { MidBurn, BeforeDownload, ClosingPause };
    const struct {
        const char* name;
        ConsoleControl event;
        When when;
        bool ends;
        std::uint32_t downloads;
        bool leftForNextRun;
    } cases[] = {
        {"ctrl+c mid-burn is ignored", ConsoleControl::Interrupt, MidBurn, false, 1, false},
        {"ctrl+break mid-burn is ignored", ConsoleControl::Break, MidBurn, false, 1, false},
        {"ctrl+c before the download is ignored", ConsoleControl::Interrupt, BeforeDownload, false, 1, false},
        {"ctrl+c in the closing pause ends the process", ConsoleControl::Interrupt, ClosingPause, true, 1, false},
        {"close mid-burn leaves the service off", ConsoleControl::Close, MidBurn, true, 1, true},
        {"log-off mid-burn leaves the service off", ConsoleControl::Logoff, MidBurn, true, 1, true},
        {"shutdown mid-burn leaves the service off", ConsoleControl::Shutdown, MidBurn, true, 1, true},
        {"close before the download gives it back", ConsoleControl::Close, BeforeDownload, true, 0, false},
        {"close in the closing pause", ConsoleControl::Close, ClosingPause, true, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint64_t burnEnds = BurnEndsAtMs();
        // Before the download: while the readiness is asked, after the
        // service has stopped.
        const std::uint64_t at = c.when == MidBurn          ? burnEnds - BURN_MS / 2
                                 : c.when == BeforeDownload ? 2500
                                                            : burnEnds + 15000;
        World().controlEvents.push_back({at, c.event});
        EXPECT_EQ(RunToItsEnd(), c.ends);
        // The handler asks for the start and does not wait for it.
        World().Advance(World().service.startPendingMs);
        EXPECT_EQ(World().model.downloads, c.downloads);
        EXPECT_EQ(ServiceGivenBack(), !c.leftForNextRun);
        EXPECT_EQ(Recorded(), c.leftForNextRun);
        EXPECT_FALSE(World().keepAwake);
        if (!c.ends) {
            EXPECT_EQ(Console().substr(Console().size() - SUCCEEDED.size()), SUCCEEDED);
        }
        if (c.leftForNextRun) {
            EXPECT_EQ(World().serviceNow.startType, SERVICE_DISABLED_TYPE);
            // The next run comes once the scanner has finished its burn.
            World().Advance(BURN_MS);
            World().console.clear();
            EXPECT_FALSE(RunAgain());
            // After a shutdown the give-back's task has given the service
            // back as Windows started, before anybody logged on to run the
            // updater; after a close or log-off the PC stayed on, and the
            // task's next trigger is still to come.
            const bool byTheTask = c.event == ConsoleControl::Shutdown;
            EXPECT_EQ(Console().rfind("0\n" + (byTheTask ? "" : STARTING) + FOUND, 0), 0u) << Console();
            EXPECT_TRUE(ServiceGivenBack());
            EXPECT_FALSE(Recorded());
        }
    }
}

// The console control handler prints nothing, and asks for the start
// without following the service to running: Windows ends the process
// seconds after a close.
TEST_F(AppInterruptionTest, TheHandlersGiveBackIsQuietAndQuick)
{
    const struct {
        const char* name;
        std::function<void()> configure;
        bool givenBack;
    } cases[] = {
        {"slow start", [] { World().service.startPendingMs = 20000; }, true},
        // Two reads for the stop's record, two for its disable: the
        // handler's read is the fifth.
        {"configuration unreadable", [] { World().service.queryConfig.first = 5; }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.configure();
        World().controlEvents.push_back({2500, ConsoleControl::Close});
        EXPECT_TRUE(RunToItsEnd());
        EXPECT_EQ(Console().find("QueryServiceConfig"), std::string::npos);
        EXPECT_EQ(Console().find(STARTING), std::string::npos);
        EXPECT_LT(World().nowMs, 2500u + 1000u);
        EXPECT_EQ(Recorded(), !c.givenBack);
        if (c.givenBack) {
            EXPECT_EQ(World().serviceNow.startType, SERVICE_AUTO_START_TYPE);
            EXPECT_EQ(World().serviceCalls.start, 1u);
        }
    }
}

// A kill leaves the service disabled and the record behind; the next run
// gives the service back first, then updates as usual.
TEST_F(AppInterruptionTest, TheRunAfterAKillGivesTheServiceBack)
{
    const struct {
        const char* name;
        bool killMidBurn;
        bool fixedByHand;  // somebody started the service between the runs
    } cases[] = {
        {"killed mid-burn", true, false},
        {"killed mid-burn, service already running again", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        World().killAtMs = BurnEndsAtMs() - BURN_MS / 2;
        // The scheduler refuses the give-back's task: the next run is what
        // gives the service back.
        World().registerTask.first = 1;
        EXPECT_TRUE(RunToItsEnd());
        EXPECT_EQ(World().processEndedBy, "killed");
        EXPECT_EQ(World().serviceNow.startType, SERVICE_DISABLED_TYPE);
        EXPECT_EQ(World().serviceNow.state, SERVICE_STOPPED_STATE);
        ASSERT_TRUE(Recorded());
        EXPECT_EQ(World().machineKeys[DEBT_KEY]["imagingservicestate"], SERVICE_RUNNING_STATE);
        EXPECT_EQ(World().machineKeys[DEBT_KEY]["imagingservicestarttype"], SERVICE_AUTO_START_TYPE);
        if (c.fixedByHand) {
            World().serviceNow.state = SERVICE_RUNNING_STATE;
            World().serviceNow.startType = SERVICE_DEMAND_START_TYPE;
        }
        // Somebody's later choice stands: only the record goes.
        const std::string settled = c.fixedByHand ? "" : STARTING;
        // The user starts it again a minute later, once the scanner has
        // finished the burn it was given.
        World().Advance(60000);
        World().console.clear();
        EXPECT_FALSE(RunAgain());
        // The run that stopped it gives it back as it found it: manual
        // when somebody set it so.
        EXPECT_EQ(World().serviceNow.state, SERVICE_RUNNING_STATE);
        EXPECT_EQ(World().serviceNow.startType, c.fixedByHand ? SERVICE_DEMAND_START_TYPE : SERVICE_AUTO_START_TYPE);
        EXPECT_FALSE(Recorded());
        EXPECT_EQ(Console().rfind("0\n" + settled + FOUND + CLOSING, 0), 0u);
        EXPECT_EQ(Console().substr(Console().size() - SUCCEEDED.size()), SUCCEEDED);
        // The updater mutex the killed copy held was abandoned, not busy.
        EXPECT_EQ(World().model.downloads, 2u);
    }
}

// The record is settled before the search, so a run that finds no scanner
// still gives the service back.
TEST_F(AppInterruptionTest, ARecordIsSettledEvenWithoutAScanner)
{
    World().scanner.path = -1;
    World().service.state = SERVICE_STOPPED_STATE;
    World().service.startType = SERVICE_DISABLED_TYPE;
    World().machineKeys[DEBT_KEY]["imagingservicestate"] = SERVICE_RUNNING_STATE;
    World().machineKeys[DEBT_KEY]["imagingservicestarttype"] = SERVICE_AUTO_START_TYPE;
    EXPECT_FALSE(RunToItsEnd());
    EXPECT_TRUE(ServiceGivenBack());
    EXPECT_FALSE(Recorded());
    EXPECT_EQ(Console(), "0\n" + STARTING + NOT_FOUND + FAILED);
}

// What a run finds left behind, settled before it looks for the scanner
// (none is attached here): the service is given back as it was before the
// killed run stopped it, and only while it is still as that run left it.
// While another copy holds the one-updater mutex the record is that copy's
// live debt, and nobody touches it.
TEST_F(AppInterruptionTest, ARecordIsSettledOnlyAsTheKilledRunLeftTheService)
{
    constexpr std::uint32_t NONE = 0;
    constexpr std::uint32_t STOPPED = SERVICE_STOPPED_STATE;
    constexpr std::uint32_t RUNNING = SERVICE_RUNNING_STATE;
    constexpr std::uint32_t AUTO = SERVICE_AUTO_START_TYPE;
    constexpr std::uint32_t MANUAL = SERVICE_DEMAND_START_TYPE;
    constexpr std::uint32_t DISABLED = SERVICE_DISABLED_TYPE;
    const struct {
        const char* name;
        std::uint32_t recordedState, recordedStartType;  // NONE: value missing
        std::uint32_t state, startType;                  // the service as found
        bool otherCopyRuns;
        bool settles;  // prints the start and starts it
        std::uint32_t stateAfter, startTypeAfter;
        bool recordAfter;
    } cases[] = {
        {"disabled: its own start type back", RUNNING, MANUAL, STOPPED, DISABLED, false, true, RUNNING, MANUAL, false},
        {"no start type recorded: the default", RUNNING, NONE, STOPPED, DISABLED, false, true, RUNNING, MANUAL, false},
        {"killed between stop and disable", RUNNING, MANUAL, STOPPED, MANUAL, false, true, RUNNING, MANUAL, false},
        {"killed while it still stops", RUNNING, AUTO, SERVICE_STOP_PENDING_STATE, AUTO, false, true, RUNNING, AUTO,
         false},
        {"set to manual since: left alone", RUNNING, AUTO, STOPPED, MANUAL, false, false, STOPPED, MANUAL, false},
        {"started by hand since: left alone", RUNNING, AUTO, RUNNING, AUTO, false, false, RUNNING, AUTO, false},
        {"disabled before the run: cannot start", RUNNING, DISABLED, STOPPED, DISABLED, false, false, STOPPED, DISABLED,
         false},
        {"a key without its state is removed", NONE, AUTO, STOPPED, DISABLED, false, false, STOPPED, DISABLED, false},
        {"another copy updates: not touched", RUNNING, AUTO, STOPPED, DISABLED, true, false, STOPPED, DISABLED, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().scanner.path = -1;
        World().service.state = c.state;
        World().service.startType = c.startType;
        World().service.stopPendingMs = 5000;
        auto& record = World().machineKeys[DEBT_KEY];
        if (c.recordedState != NONE) {
            record["imagingservicestate"] = c.recordedState;
        }
        if (c.recordedStartType != NONE) {
            record["imagingservicestarttype"] = c.recordedStartType;
        }
        if (c.otherCopyRuns) {
            World().mutexesHeldByOthers = {UPDATER_MUTEX};
        }
        EXPECT_FALSE(RunToItsEnd());
        EXPECT_EQ(Console(), "0\n" + std::string(c.settles ? STARTING : "") + NOT_FOUND + FAILED);
        EXPECT_EQ(World().serviceNow.state, c.stateAfter);
        EXPECT_EQ(World().serviceNow.startType, c.startTypeAfter);
        EXPECT_EQ(Recorded(), c.recordAfter);
    }
}

// A second copy started while the first one updates (the first holds the
// one-updater mutex, has the service disabled and the record written)
// says the device is busy and touches nothing of the first copy's.
TEST_F(AppInterruptionTest, ASecondCopyLeavesTheFirstCopysRecordAlone)
{
    for (const bool recovery : {false, true}) {
        SCOPED_TRACE(recovery ? "recovery loader" : "normal firmware");
        SetUp();
        World().scanner.recovery = recovery;
        World().mutexesHeldByOthers = {UPDATER_MUTEX};
        World().service.state = SERVICE_STOPPED_STATE;
        World().service.startType = SERVICE_DISABLED_TYPE;
        World().machineKeys[DEBT_KEY]["imagingservicestate"] = SERVICE_RUNNING_STATE;
        World().machineKeys[DEBT_KEY]["imagingservicestarttype"] = SERVICE_AUTO_START_TYPE;
        EXPECT_FALSE(RunToItsEnd());
        EXPECT_EQ(Console(), "0\n" + FOUND + BUSY + FAILED);
        EXPECT_EQ(World().serviceNow.startType, SERVICE_DISABLED_TYPE);
        EXPECT_EQ(World().serviceNow.state, SERVICE_STOPPED_STATE);
        EXPECT_TRUE(Recorded());
        EXPECT_EQ(World().serviceCalls.openManager, 0u);
    }
}

// The record exists from before the stop's first step to the give-back:
// a run killed anywhere in between is repaired by the next one. A record
// that cannot be written whole leaves no key and no stop.
TEST_F(AppInterruptionTest, TheRecordCoversTheWholeStop)
{
    const struct {
        const char* name;
        std::uint32_t stopPendingMs;
        std::uint64_t killAtMs;
        std::uint32_t refusedWrite;  // 0: none
        bool recorded;
    } cases[] = {
        // The give-back's note takes the first two value writes.
        {"killed while the stop is pending", 20000, 5000, 0, true},
        {"the start type cannot be written", 0, NEVER_MS, 3, false},
        {"the state cannot be written", 0, NEVER_MS, 4, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        // The next run's repair: no give-back task to come first.
        World().registerTask.first = 1;
        World().service.stopPendingMs = c.stopPendingMs;
        World().service.stopWaitHint = c.stopPendingMs;
        World().killAtMs = c.killAtMs;
        World().setValue.first = c.refusedWrite;
        RunToItsEnd();
        EXPECT_EQ(Recorded(), c.recorded);
        if (!c.recorded) {
            EXPECT_EQ(Console().rfind(CLOSE_FAILED + FAILED), Console().size() - (CLOSE_FAILED + FAILED).size());
            EXPECT_EQ(World().serviceNow.state, SERVICE_RUNNING_STATE);
            EXPECT_EQ(World().serviceCalls.control, 0u);
            continue;
        }
        World().Advance(60000);
        World().console.clear();
        EXPECT_FALSE(RunAgain());
        EXPECT_EQ(Console().rfind("0\n" + STARTING + FOUND, 0), 0u);
        EXPECT_TRUE(ServiceGivenBack());
        EXPECT_FALSE(Recorded());
    }
}

// A run with no record treats the service as it always has: a stopped
// service is left alone, and nothing is written to the registry but the
// image that updated the scanner.
TEST_F(AppInterruptionTest, WithoutARecordAStoppedServiceIsLeftAlone)
{
    World().service.state = SERVICE_STOPPED_STATE;
    World().service.startType = SERVICE_DISABLED_TYPE;
    EXPECT_FALSE(RunToItsEnd());
    EXPECT_EQ(World().serviceNow.state, SERVICE_STOPPED_STATE);
    EXPECT_EQ(World().serviceNow.startType, SERVICE_DISABLED_TYPE);
    for (const auto& [key, values] : World().machineKeys) {
        EXPECT_EQ(key, "software\\fwupdate-state");
    }
    EXPECT_EQ(Console().find(STARTING), std::string::npos);
}

// A sleep longer than the ten-minute bound in the middle of the burn does
// not by itself fail the update: the scanner burned on meanwhile.
TEST_F(AppInterruptionTest, ASleepDoesNotUseUpTheTenMinutes)
{
    const std::uint32_t lengths[] = {11 * 60 * 1000, 3 * 60 * 60 * 1000};
    for (const std::uint32_t length : lengths) {
        SCOPED_TRACE(length);
        World().systemSleeps.push_back({BurnEndsAtMs() - BURN_MS / 2, length});
        EXPECT_FALSE(RunToItsEnd());
        EXPECT_EQ(Console().find(BURN_ERROR), std::string::npos);
        EXPECT_EQ(Console().substr(Console().size() - SUCCEEDED.size()), SUCCEEDED);
        EXPECT_EQ(World().asleepMs, length);
        EXPECT_TRUE(ServiceGivenBack());
    }
}

// The keep-awake request stands while the update is under way and is
// cleared on every way out.
TEST_F(AppInterruptionTest, KeepAwakeIsClearedOnEveryReturn)
{
    const struct {
        const char* name;
        std::function<void()> configure;
    } cases[] = {
        {"success", [] {}},
        {"burn error", [] { World().scanner.burnEndState = 0x7777; }},
        {"scan application busy", [] { World().mutexesHeldByOthers = {apptest::SCANNER_MUTEX}; }},
        {"service will not stop", [] { World().service.control.first = 1; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.configure();
        EXPECT_FALSE(RunToItsEnd());
        EXPECT_EQ(World().keepAwakeRequests, 2u);
        EXPECT_FALSE(World().keepAwake);
        EXPECT_TRUE(ServiceGivenBack());
        EXPECT_FALSE(Recorded());
    }
}

// Two copies of the updater never talk to the scanner at once.
TEST_F(AppInterruptionTest, OneUpdaterAtATime)
{
    const struct {
        const char* name;
        bool recovery;
        bool weAreSecond;  // the other copy holds the mutex from the start
    } cases[] = {
        {"normal firmware, another copy runs", false, true},
        {"recovery loader, another copy runs", true, true},
        {"normal firmware, another copy starts mid-burn", false, false},
        {"recovery loader, another copy starts mid-update", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (c.recovery) {
            World().scanner.recovery = true;
        }
        if (c.weAreSecond) {
            World().mutexesHeldByOthers = {UPDATER_MUTEX};
        } else {
            World().updaterCopies.push_back({2500, {}});
        }
        EXPECT_FALSE(RunToItsEnd());
        if (c.weAreSecond) {
            EXPECT_EQ(Console(), "0\n" + FOUND + BUSY + FAILED);
            EXPECT_EQ(World().model.downloads, 0u);
            EXPECT_EQ(World().serviceCalls.openManager, 0u);
            EXPECT_EQ(World().mutexes.count(apptest::SCANNER_MUTEX), 0u);
        } else {
            // The copy runs the updater's own code beside the first and
            // finds the one-updater mutex owned.
            const SimProcess& copy = World().processes[1];
            EXPECT_TRUE(copy.started);
            EXPECT_EQ(copy.endedBy, "return");
            // It must not settle the record of a run still under way.
            EXPECT_EQ(copy.view.console.find(STARTING), std::string::npos);
            EXPECT_EQ(copy.view.console.substr(copy.view.console.size() - FAILED.size()), FAILED);
            EXPECT_EQ(World().model.downloads, 1u);
        }
        EXPECT_TRUE(ServiceGivenBack());
    }
}

}  // namespace
