// The give-back that needs no person: a run cut while the scanner burns
// leaves the service off, and the scheduler's task brings it back once the
// burn is over, never beside it, whether the PC stays on or restarts, and
// then leaves nothing of itself behind.
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/give_back.h"
#include "host/give_back.h"
#include "platform/sim/world.h"
#include "platform/sim/world_internal.h"
#include "report/event_log.h"
#include "tests/logic/app_test_support.h"
#include "tests/logic/console_texts.h"

namespace {

using namespace texts;
using apptest::DEBT_KEY;

constexpr std::uint32_t BURN_MS = 120000;
constexpr std::uint64_t MINUTE_MS = 60000;
constexpr std::uint64_t STEP_MS = 250;

class AppGiveBackTest : public AppRunFixture {
protected:
    void SetUp() override
    {
        AppRunFixture::SetUp();
        World().scanner.burnMs = BURN_MS;
    }

    // When an undisturbed run's burn starts and ends.
    void MeasureBurn()
    {
        SetUp();
        Run();
        m_burnEndsAtMs = World().model.burnEndsAtMs;
        SetUp();
    }

    static bool ServiceBack()
    {
        return World().serviceNow.state == SERVICE_RUNNING_STATE &&
               World().serviceNow.startType == SERVICE_AUTO_START_TYPE;
    }

    // The PC runs on in small steps until `untilMs`: when the service ran
    // again first, and whether it ever ran while the scanner burned.
    void Watch(std::uint64_t untilMs)
    {
        while (World().nowMs < untilMs) {
            World().Advance(STEP_MS);
            const bool running = World().serviceNow.state == SERVICE_RUNNING_STATE ||
                                 World().serviceNow.state == SERVICE_START_PENDING_STATE;
            m_besideBurn = m_besideBurn || (running && World().model.burning);
            if (ServiceBack() && m_backAtMs == NEVER_MS) {
                m_backAtMs = World().nowMs;
            }
        }
    }

    // Nothing of the give-back is left: no task, no copy, no note, no record.
    static void ExpectNoTrace()
    {
        EXPECT_TRUE(World().tasks.empty());
        const std::string copies = SimLowerPath(World().programFilesPath) + "\\";
        for (const auto& [path, file] : World().files) {
            EXPECT_NE(path.rfind(copies, 0), 0u) << path;
        }
        EXPECT_EQ(World().machineKeys.count("software\\fwupdate-giveback"), 0u);
        EXPECT_FALSE(Recorded());
    }

    std::uint64_t m_burnEndsAtMs = 0;
    std::uint64_t m_backAtMs = NEVER_MS;
    bool m_besideBurn = false;
};

// The run ends mid-burn and the PC stays on: the service is back within a
// minute of the burn's end (and the start's few seconds), never during it,
// from a copy that does not need the executable's own folder.
TEST_F(AppGiveBackTest, WithThePcLeftOnTheServiceComesBackAfterTheBurn)
{
    const struct {
        const char* name;
        ConsoleControl event;
        bool kill;
        bool stickPulled;
    } cases[] = {
        {"close", ConsoleControl::Close, false, false},
        {"log-off", ConsoleControl::Logoff, false, false},
        {"killed", ConsoleControl::Close, true, false},
        {"close, then the USB stick is pulled", ConsoleControl::Close, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MeasureBurn();
        m_backAtMs = NEVER_MS;
        m_besideBurn = false;
        const std::uint64_t endAtMs = m_burnEndsAtMs - BURN_MS / 2;
        if (c.kill) {
            World().killAtMs = endAtMs;
        } else {
            World().controlEvents.push_back({endAtMs, c.event});
        }
        if (c.stickPulled) {
            World().programGoneAtMs = endAtMs + 1000;
        }
        EXPECT_TRUE(RunToItsEnd());
        ASSERT_TRUE(Recorded());
        ASSERT_EQ(World().tasks.size(), 1u);
        const SimTask& task = World().tasks.begin()->second;
        EXPECT_NE(SimLowerPath(task.program), SimLowerPath(World().programPath));
        EXPECT_TRUE(World().files.at(SimLowerPath(task.folder)).adminOnly);
        Watch(m_burnEndsAtMs + 3 * MINUTE_MS);
        EXPECT_FALSE(m_besideBurn);
        EXPECT_GT(m_backAtMs, m_burnEndsAtMs);
        EXPECT_LE(m_backAtMs, m_burnEndsAtMs + MINUTE_MS + World().service.startPendingMs + STEP_MS);
        LeaveSimPcOn();
        ExpectNoTrace();
    }
}

// A run killed before its image, in the stop's wait, leaves the service
// stopped and owed as surely as one cut in the burn: the task, set up before
// the service was touched, gives it back within its first minute with the
// start type it had, and removes itself.
TEST_F(AppGiveBackTest, ARunKilledInTheStopIsGivenBackWithinAMinute)
{
    const struct {
        const char* name;
        std::uint32_t startType;
    } cases[] = {
        {"automatic", SERVICE_AUTO_START_TYPE},
        {"manual", SERVICE_DEMAND_START_TYPE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().service.startType = c.startType;
        World().service.stopPendingMs = 20000;
        World().service.stopWaitHint = 20000;
        World().killAtMs = 5000;
        EXPECT_TRUE(RunToItsEnd());
        ASSERT_TRUE(Recorded());
        ASSERT_EQ(World().tasks.size(), 1u);
        EXPECT_EQ(World().model.imageBytes, 0u);
        const std::uint64_t killedAtMs = World().nowMs;
        World().Advance(MINUTE_MS + World().service.startPendingMs + STEP_MS);
        EXPECT_LE(World().nowMs, killedAtMs + 2 * MINUTE_MS);
        EXPECT_EQ(World().serviceNow.state, SERVICE_RUNNING_STATE);
        EXPECT_EQ(World().serviceNow.startType, c.startType);
        LeaveSimPcOn();
        ExpectNoTrace();
    }
}

// A shutdown mid-burn: Windows' next start runs the task before anybody
// logs on. A burn already over by then has the service back before the
// log-on; one still going has it back within a minute of its end.
TEST_F(AppGiveBackTest, AfterARestartTheServiceComesBackBeforeTheLogOn)
{
    const struct {
        const char* name;
        std::uint64_t offMs;  // how long the PC stays off after the event
        bool backAtLogOn;
    } cases[] = {
        {"off until after the burn", BURN_MS, true},
        {"restarted while the scanner still burns", 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MeasureBurn();
        m_backAtMs = NEVER_MS;
        m_besideBurn = false;
        World().controlEvents.push_back({m_burnEndsAtMs - BURN_MS / 2, ConsoleControl::Shutdown});
        EXPECT_TRUE(RunToItsEnd());
        ASSERT_TRUE(Recorded());
        World().restartTakesMs = static_cast<std::uint32_t>(c.offMs);
        const std::uint32_t runsBefore = static_cast<std::uint32_t>(World().taskRuns.size());
        World().StartNextProcess();
        // No task ran while the PC was off; the start-up trigger's run did.
        ASSERT_GT(World().taskRuns.size(), runsBefore);
        EXPECT_GE(World().taskRuns[runsBefore].atMs, World().nowMs - World().logonAfterStartMs);
        EXPECT_EQ(ServiceBack(), c.backAtLogOn);
        EXPECT_EQ(Recorded(), !c.backAtLogOn);
        if (!c.backAtLogOn) {
            EXPECT_TRUE(World().model.burning);
            Watch(m_burnEndsAtMs + 3 * MINUTE_MS);
            EXPECT_FALSE(m_besideBurn);
            EXPECT_LE(m_backAtMs, m_burnEndsAtMs + MINUTE_MS + World().service.startPendingMs + STEP_MS);
        }
        ExpectNoTrace();
    }
}

// A scanner that says it burns for ever is wedged, not burning: the task
// gives up waiting after its runs, gives the service back anyway, and
// removes itself.
TEST_F(AppGiveBackTest, TheTaskIsBoundedInTime)
{
    World().scanner.burnMs = 10u * 3600u * 1000u;
    World().controlEvents.push_back({60000, ConsoleControl::Close});
    EXPECT_TRUE(RunToItsEnd());
    ASSERT_TRUE(World().model.burning);
    LeaveSimPcOn();
    EXPECT_TRUE(ServiceBack());
    EXPECT_LE(World().nowMs, (GIVE_BACK_MOST_RUNS + 2) * MINUTE_MS);
    EXPECT_GE(World().taskRuns.size(), GIVE_BACK_MOST_RUNS);
    ExpectNoTrace();
}

// Every run that ends with no record removes the give-back it set up; one
// that could not set it up updates all the same; a folder name somebody
// else holds already is never used.
TEST_F(AppGiveBackTest, ARunLeavesNoGiveBackBehind)
{
    const struct {
        const char* name;
        SimRefusal* refusal;
        std::uint32_t error;
    } cases[] = {
        {"plain update", nullptr, 0},
        {"the scheduler refuses the task", &World().registerTask, 5},
        {"the copy fails", &World().copyFile, 112},
        {"the first folder name is taken", &World().createFolder, 183},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (c.refusal != nullptr) {
            *c.refusal = SimRefusal{1, 1, c.error};
        }
        Run();
        EXPECT_EQ(Console().substr(Console().size() - SUCCEEDED.size()), SUCCEEDED);
        // Set up before the image, taken down once: at the end, or at once.
        EXPECT_EQ(apptest::CountCalls("CreateDirectory"), c.refusal == &World().createFolder ? 2u : 1u);
        EXPECT_EQ(apptest::CountCalls("DeleteTask"), 1u);
        EXPECT_EQ(apptest::CountCalls("RegisterTask"), c.refusal == &World().copyFile ? 0u : 1u);
        ExpectNoTrace();
        EXPECT_TRUE(ServiceBack());
    }
}

// A cut run writes nothing of its own after the cut, so the task's end is
// what an administrator reads: one entry and one record line when it gave
// the service back or gave up on it, none for the runs that only waited.
TEST_F(AppGiveBackTest, TheTaskSaysHowItEndedAndNothingWhileItWaits)
{
    const struct {
        const char* name;
        std::uint32_t burnMs;
        bool startRefused;
        RunEvent event;
        const char* outcome;
    } cases[] = {
        {"given back after the burn", BURN_MS, false, RunEvent::ServiceGivenBack, "ServiceGivenBack"},
        {"wedged scanner, given back on the last run", 10u * 3600u * 1000u, false, RunEvent::ServiceGivenBack,
         "ServiceGivenBack"},
        {"the service will not start", BURN_MS, true, RunEvent::GiveBackGaveUp, "GiveBackGaveUp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().scanner.burnMs = c.burnMs;
        World().controlEvents.push_back({60000, ConsoleControl::Close});
        EXPECT_TRUE(RunToItsEnd());
        ASSERT_TRUE(Recorded());
        if (c.startRefused) {
            World().service.start = SimRefusal{1, 0xFFFFFFFFu, 1058};
        }
        LeaveSimPcOn();
        EXPECT_TRUE(World().tasks.empty());
        EXPECT_EQ(Recorded(), c.startRefused);
        std::vector<const SimEventLogEntry*> ends;
        for (const auto& entry : World().eventLog) {
            if (entry.eventId == MessageIdFor(RunEvent::ServiceGivenBack) ||
                entry.eventId == MessageIdFor(RunEvent::GiveBackGaveUp)) {
                ends.push_back(&entry);
            }
        }
        ASSERT_EQ(ends.size(), 1u);
        EXPECT_EQ(ends[0]->eventId, MessageIdFor(c.event));
        EXPECT_EQ(ends[0]->type, static_cast<std::uint16_t>(EventInfoFor(c.event).type));
        ASSERT_EQ(ends[0]->strings.size(), 1u);
        EXPECT_EQ(ends[0]->strings[0], std::to_string(World().taskRuns.size()));
        // The task's line is the log's only line about the give-back.
        std::vector<std::string> outcomes;
        const auto log = World().files.find("c:\\programdata\\fwupdate\\runs.jsonl");
        ASSERT_NE(log, World().files.end());
        std::istringstream lines(log->second.content);
        for (std::string line; std::getline(lines, line);) {
            const std::string outcome = nlohmann::json::parse(line)["outcome"].get<std::string>();
            if (outcome == "ServiceGivenBack" || outcome == "GiveBackGaveUp") {
                outcomes.push_back(outcome);
            }
        }
        EXPECT_EQ(outcomes, std::vector<std::string>{c.outcome}) << log->second.content;
    }
}

// A run that takes on a dead run's record keeps the give-back standing for
// it (its count started over) rather than making a new one: one that
// could not be made (a full disk, a scheduler that refuses) would leave the
// record with none, and a cut in this run's burn with nobody to settle it.
TEST_F(AppGiveBackTest, AGiveBackStandingForATakenOnRecordIsKept)
{
    const struct {
        const char* name;
        SimRefusal* refusal;
    } cases[] = {
        {"a new copy could be made", nullptr},
        {"no new copy can be made", &World().copyFile},
        {"the scheduler refuses a new task", &World().registerTask},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().service.stopPendingMs = 20000;
        World().service.stopWaitHint = 20000;
        World().killAtMs = 5000;
        // The next run's settle cannot start the service: it takes the
        // record on and updates.
        World().service.start = SimRefusal{1, 1, 5};
        EXPECT_TRUE(RunToItsEnd());
        ASSERT_TRUE(Recorded());
        ASSERT_EQ(World().tasks.size(), 1u);
        if (c.refusal != nullptr) {
            *c.refusal = SimRefusal{2, 0xFFFFFFFFu, 112};
        }
        World().StartNextProcess();
        World().killAtMs = World().nowMs + 60000;
        EXPECT_THROW(apptest::RunProgram({}), SimProcessEnded);
        EXPECT_GT(World().model.imageBytes, 0u);
        ASSERT_TRUE(Recorded());
        ASSERT_EQ(World().tasks.size(), 1u);
        EXPECT_EQ(apptest::CountCalls("CreateDirectory"), 1u);
        m_besideBurn = false;
        Watch(World().nowMs + BURN_MS + 2 * MINUTE_MS);
        EXPECT_FALSE(m_besideBurn);
        EXPECT_TRUE(ServiceBack());
        LeaveSimPcOn();
        ExpectNoTrace();
    }
}

}  // namespace
