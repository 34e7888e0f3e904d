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
const std::string DEBT_KEY = "software\\fwupdate";

class AppInterruptionTest : public AppRunFixture {
protected:
    void SetUp() override
    {
        AppRunFixture::SetUp();
        World().scanner.burnMs = BURN_MS;
    }

    // Runs the program; true when the process ended without returning.
    bool RunToItsEnd()
    {
        try {
            Run();
            return false;
        } catch (const SimProcessEnded&) {
            return true;
        }
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
    static bool DebtRecorded() { return World().machineKeys.count(DEBT_KEY) == 1; }
};

// Each control event at a few moments of a normal update: whether the
// process ends, and what the PC and the scanner look like afterwards.
TEST_F(AppInterruptionTest, ControlEventsKeepTheUpdateOrGiveTheServiceBack)
{
    enum When { MidBurn, BeforeDownload, ClosingPause };
    const struct {
        const char* name;
        ConsoleControl event;
        When when;
        bool ends;
        std::uint32_t downloads;
    } cases[] = {
        {"ctrl+c mid-burn is ignored", ConsoleControl::Interrupt, MidBurn, false, 1},
        {"ctrl+break mid-burn is ignored", ConsoleControl::Break, MidBurn, false, 1},
        {"ctrl+c before the download is ignored", ConsoleControl::Interrupt, BeforeDownload, false, 1},
        {"ctrl+c in the closing pause ends the process", ConsoleControl::Interrupt, ClosingPause, true, 1},
        {"close mid-burn gives the service back", ConsoleControl::Close, MidBurn, true, 1},
        {"log-off mid-burn gives the service back", ConsoleControl::Logoff, MidBurn, true, 1},
        {"shutdown mid-burn leaves the record for the next boot", ConsoleControl::Shutdown, MidBurn, true, 1},
        {"close before the download sends no image", ConsoleControl::Close, BeforeDownload, true, 0},
        {"close in the closing pause", ConsoleControl::Close, ClosingPause, true, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint64_t burnEnds = BurnEndsAtMs();
        // Before the download: inside the second the scanner is given after
        // the service stopped, a few milliseconds into the run.
        const std::uint64_t at = c.when == MidBurn          ? burnEnds - BURN_MS / 2
                                 : c.when == BeforeDownload ? 500
                                                            : burnEnds + 15000;
        World().controlEvents.push_back({at, c.event});
        EXPECT_EQ(RunToItsEnd(), c.ends);
        EXPECT_EQ(World().model.downloads, c.downloads);
        // A shutdown's service manager starts nothing (error 1115): the
        // start type is put back, and the record stays for the next run.
        const bool shutdown = c.event == ConsoleControl::Shutdown;
        EXPECT_EQ(World().serviceNow.startType, SERVICE_AUTO_START_TYPE);
        EXPECT_EQ(ServiceGivenBack(), !shutdown);
        EXPECT_EQ(DebtRecorded(), shutdown);
        EXPECT_FALSE(World().keepAwake);
        if (!c.ends) {
            EXPECT_EQ(Console().substr(Console().size() - SUCCEEDED.size()), SUCCEEDED);
        }
    }
}

// A close that arrives while the main thread gives the service back waits
// for it and finds nothing left to do: the service is given back once.
TEST_F(AppInterruptionTest, CloseDuringTheMainThreadsGiveBackDoesItOnce)
{
    const std::uint64_t burnEnds = BurnEndsAtMs();
    World().service.startPendingMs = 3000;
    // The burn's last poll comes within a second of its end, then the start
    // waits out its pending state inside the section.
    World().controlEvents.push_back({burnEnds + 2500, ConsoleControl::Close});
    EXPECT_TRUE(RunToItsEnd());
    EXPECT_TRUE(ServiceGivenBack());
    // Two configuration reads for the disable, two for the one give-back.
    EXPECT_EQ(World().serviceCalls.queryConfig, 4u);
    EXPECT_EQ(World().serviceCalls.start, 1u);
    EXPECT_EQ(Console().find(STARTING), Console().rfind(STARTING));
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
        EXPECT_TRUE(RunToItsEnd());
        EXPECT_EQ(World().processEndedBy, "killed");
        EXPECT_EQ(World().serviceNow.startType, SERVICE_DISABLED_TYPE);
        EXPECT_EQ(World().serviceNow.state, SERVICE_STOPPED_STATE);
        ASSERT_TRUE(DebtRecorded());
        EXPECT_EQ(World().machineKeys[DEBT_KEY]["imagingservicestate"], SERVICE_RUNNING_STATE);
        EXPECT_EQ(World().machineKeys[DEBT_KEY]["imagingservicestarttype"], SERVICE_AUTO_START_TYPE);
        if (c.fixedByHand) {
            World().serviceNow.state = SERVICE_RUNNING_STATE;
            World().serviceNow.startType = SERVICE_DEMAND_START_TYPE;
        }
        // The user starts it again a minute later, once the scanner has
        // finished the burn it was given.
        World().Advance(60000);
        World().console.clear();
        EXPECT_FALSE(RunAgain());
        EXPECT_TRUE(ServiceGivenBack());
        EXPECT_FALSE(DebtRecorded());
        EXPECT_EQ(Console().rfind("0\n" + STARTING + FOUND + CLOSING, 0), 0u);
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
    EXPECT_FALSE(RunToItsEnd());
    EXPECT_TRUE(ServiceGivenBack());
    EXPECT_FALSE(DebtRecorded());
    EXPECT_EQ(Console(), "0\n" + STARTING + NOT_FOUND + FAILED);
}

// A run with no record treats the service as it always has: a stopped
// service is left alone, and nothing is written to the registry.
TEST_F(AppInterruptionTest, WithoutARecordAStoppedServiceIsLeftAlone)
{
    World().service.state = SERVICE_STOPPED_STATE;
    World().service.startType = SERVICE_DISABLED_TYPE;
    EXPECT_FALSE(RunToItsEnd());
    EXPECT_EQ(World().serviceNow.state, SERVICE_STOPPED_STATE);
    EXPECT_EQ(World().serviceNow.startType, SERVICE_DISABLED_TYPE);
    EXPECT_TRUE(World().machineKeys.empty());
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
        EXPECT_FALSE(DebtRecorded());
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
