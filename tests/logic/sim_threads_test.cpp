// The simulated PC's threads and processes: a control handler runs on its
// own thread at the event's time whatever the main thread is blocked in, a
// close ends the process at most five seconds after it comes, the handler
// waits for a lock the main thread holds, copies of a program run as
// processes of their own beside the first, and the same world always plays
// the same way.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/console_control.h"
#include "platform/handle.h"
#include "platform/mutex.h"
#include "platform/service.h"
#include "platform/sim/error_codes.h"
#include "platform/sim/objects.h"
#include "platform/sim/world.h"
#include "platform/sim/world_internal.h"
#include "tests/logic/sim_fixture.h"

namespace {

const char* const MUTEX = "Global\\sim-test";

// What the handlers below saw; a handler is a plain function, so it reports
// through these.
std::uint64_t g_handlerRanAtMs = NEVER_MS;
std::uint64_t g_handlerLockedAtMs = NEVER_MS;
std::uint32_t g_handlerSleepsMs = 0;

bool NoteTimeAndGoOn(ConsoleControl /*event*/)
{
    g_handlerRanAtMs = World().nowMs;
    return true;
}

bool SleepThenReturn(ConsoleControl /*event*/)
{
    g_handlerRanAtMs = World().nowMs;
    SleepMs(g_handlerSleepsMs);
    return false;
}

bool TakeTheDebtLock(ConsoleControl /*event*/)
{
    LockServiceDebt();
    g_handlerLockedAtMs = World().nowMs;
    UnlockServiceDebt();
    return true;
}

class SimThreadsTest : public SimulatedWorldFixture {
protected:
    void SetUp() override
    {
        SimulatedWorldFixture::SetUp();
        g_handlerRanAtMs = g_handlerLockedAtMs = NEVER_MS;
        g_handlerSleepsMs = 0;
    }

    // Runs `main` as the first process; the time it ended at, and how.
    std::string RunMain(const std::function<void()>& main, std::uint64_t* endedAtMs)
    {
        StartWorld();
        std::string how = "return";
        try {
            RunFirstProcess([&] {
                try {
                    main();
                } catch (const SimProcessEnded&) {
                    *endedAtMs = World().nowMs;
                    throw;
                }
                *endedAtMs = World().nowMs;
                return 0;
            });
        } catch (const SimProcessEnded& ended) {
            how = ended.how;
        }
        return how;
    }

    // Copies run this: it reports through the copy's own console.
    static void UseProgram(std::function<int(const std::vector<std::string>&)> main)
    {
        SimUpdaterProgram program;
        program.main = std::move(main);
        program.saveValues = [] { return std::shared_ptr<void>(); };
        program.loadValues = [](const std::shared_ptr<void>&) {};
        program.resetValues = [] {};
        SetSimUpdaterProgram(program);
    }
};

void Write(const std::string& text)
{
    ConsoleWrite(text.data(), text.size(), 437);
}

Handle OpenStisvc()
{
    return OpenNamedService(OpenServiceManager(), "stisvc");
}

// A Ctrl+C during a call that holds the main thread reaches the handler at
// its own time, and the main thread's call ends when it would have.
TEST_F(SimThreadsTest, AnEventInsideABlockedCallRunsAtItsTime)
{
    const struct {
        const char* name;
        std::function<void()> configure;
        std::function<void()> block;
        std::uint64_t mainEndsAtMs;
    } cases[] = {
        {"a transfer held 120 s", [] {}, [] { BlockInCall(120000); }, 120000},
        {"a console write held by a selection",
         [] {
             World().consoleSelections.push_back({0, 60000, false, {}});
         },
         [] { Write("held\n"); }, 60000},
        {"a stop the service answers in 30 s", [] { World().service.controlTakesMs = 40000; },
         [] {
             ServiceStatus status{};
             EXPECT_FALSE(SendServiceStop(OpenStisvc(), &status));
         },
         30000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.configure();
        World().controlEvents.push_back({1000, ConsoleControl::Interrupt});
        std::uint64_t endedAt = 0;
        const std::string how = RunMain(
            [&c] {
                InstallConsoleControlHandler(NoteTimeAndGoOn);
                c.block();
            },
            &endedAt);
        EXPECT_EQ(how, "return");
        EXPECT_EQ(g_handlerRanAtMs, 1000u);
        EXPECT_EQ(endedAt, c.mainEndsAtMs);
        EXPECT_EQ(World().controlLog, std::vector<std::string>{"ctrl_c handled"});
    }
}

// A close, log-off or shutdown ends the process when the handler returns,
// or five seconds after the event if it has not; without a handler call the
// process ends at the time the event gives.
TEST_F(SimThreadsTest, AProcessEndsWhenItsHandlerReturnsOrFiveSecondsAfter)
{
    const struct {
        const char* name;
        SimControlEvent event;
        std::uint32_t handlerSleepsMs;
        std::uint64_t endsAtMs;
        const char* log;
        bool handlerRan;
    } cases[] = {
        {"close, handler done in 1 s", {1000, ConsoleControl::Close}, 1000, 2000, "close ended", true},
        {"close, handler would take 8 s", {1000, ConsoleControl::Close}, 8000, 6000, "close cut off", true},
        {"log-off, handler would take 5 s", {1000, ConsoleControl::Logoff}, 5000, 6000, "logoff cut off", true},
        {"ctrl+c refused by the handler", {1000, ConsoleControl::Interrupt}, 500, 1500, "ctrl_c ended", true},
        {"log-off without the handler",
         {1000, ConsoleControl::Logoff, true, 0},
         0,
         1000,
         "logoff ended without the handler",
         false},
        {"shutdown without the handler, 2 s on",
         {1000, ConsoleControl::Shutdown, true, 2000},
         0,
         3000,
         "shutdown ended without the handler",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        g_handlerSleepsMs = c.handlerSleepsMs;
        World().controlEvents.push_back(c.event);
        std::uint64_t endedAt = 0;
        const std::string how = RunMain(
            [] {
                InstallConsoleControlHandler(SleepThenReturn);
                SleepMs(60000);
            },
            &endedAt);
        EXPECT_EQ(how, SimControlName(c.event.event));
        EXPECT_EQ(endedAt, c.endsAtMs);
        EXPECT_EQ(World().controlLog, std::vector<std::string>{c.log});
        EXPECT_EQ(g_handlerRanAtMs != NEVER_MS, c.handlerRan);
        EXPECT_TRUE(World().processEnded);
    }
}

// The handler waits for the lock the main thread holds, and gets it when
// the main thread lets go; the main thread goes on meanwhile.
TEST_F(SimThreadsTest, AHandlerWaitsForTheDebtLockTheMainThreadHolds)
{
    World().controlEvents.push_back({1000, ConsoleControl::Break});
    std::uint64_t endedAt = 0;
    std::uint64_t mainLetGoAt = 0;
    RunMain(
        [&mainLetGoAt] {
            InstallConsoleControlHandler(TakeTheDebtLock);
            LockServiceDebt();
            SleepMs(3000);
            mainLetGoAt = World().nowMs;
            UnlockServiceDebt();
            SleepMs(1000);
        },
        &endedAt);
    EXPECT_EQ(mainLetGoAt, 3000u);
    EXPECT_EQ(g_handlerLockedAtMs, 3000u);
    EXPECT_EQ(endedAt, 4000u);
}

// A copy started at 2 s runs beside the first process: it finds the first's
// mutex owned, writes to its own console, and the calls interleave in time.
TEST_F(SimThreadsTest, ACopyRunsBesideTheFirstAndSeesItsMutex)
{
    UseProgram([](const std::vector<std::string>& arguments) {
        const Handle mutex = CreateAdminOnlyMutex(MUTEX);
        const bool existed = LastError() == ERROR_ALREADY_EXISTS_CODE;
        const bool taken = TakeUnownedMutex(mutex);
        Write(arguments.at(0) + (existed ? " existed" : " new") + (taken ? " taken\n" : " busy\n"));
        return taken ? 0 : 7;
    });
    World().updaterCopies.push_back({2000, {"copy"}});
    std::uint64_t endedAt = 0;
    RunMain(
        [] {
            const Handle mutex = CreateAdminOnlyMutex(MUTEX);
            SleepMs(5000);
            Write("first done\n");
            ReleaseOwnedMutex(mutex);
            CloseObject(mutex);
        },
        &endedAt);
    const SimProcess& copy = World().processes.at(1);
    EXPECT_EQ(copy.endedBy, "return");
    EXPECT_EQ(copy.exitCode, 7);
    EXPECT_EQ(copy.view.console, "copy existed busy\n");
    EXPECT_EQ(Console(), "first done\n");
    const std::vector<std::string> calls = {
        "CreateMutex Global\\sim-test",    "Sleep 5000",
        "#1 CreateMutex Global\\sim-test", "#1 WaitForSingleObject Global\\sim-test",
        "ReleaseMutex Global\\sim-test",   "CloseMutex Global\\sim-test",
    };
    EXPECT_EQ(World().calls, calls);
    EXPECT_EQ(World().mutexes.count(MUTEX), 0u);
}

// A mutex whose owner is killed is abandoned: a copy that holds a handle
// and waits takes it as soon as the owner is gone.
TEST_F(SimThreadsTest, AnAbandonedMutexIsTakenOver)
{
    std::uint64_t takenAt = NEVER_MS;
    UseProgram([&takenAt](const std::vector<std::string>&) {
        const Handle mutex = CreateOwnedMutex(MUTEX);
        while (!TakeUnownedMutex(mutex)) {
            SleepMs(700);
        }
        takenAt = World().nowMs;
        return 0;
    });
    World().updaterCopies.push_back({1000, {}});
    World().killAtMs = 3000;
    std::uint64_t endedAt = 0;
    const std::string how = RunMain(
        [] {
            CreateOwnedMutex(MUTEX);
            SleepMs(60000);
        },
        &endedAt);
    EXPECT_EQ(how, "killed");
    EXPECT_EQ(endedAt, 3000u);
    // Tries at 1000, 1700, 2400 and 3100 ms.
    EXPECT_EQ(takenAt, 3100u);
}

// A standard user's program opens a mutex with a null DACL, waits for it and
// keeps it once the updater lets go; one made for administrators only
// refuses it.
TEST_F(SimThreadsTest, AUsersProgramHoldsOnlyAMutexItMayOpen)
{
    const struct {
        const char* name;
        bool adminsOnly;
        SimUserMutexState state;
        bool heldByOtherAtEnd;
    } cases[] = {
        {"null DACL", false, SimUserMutexState::Holding, true},
        {"administrators only", true, SimUserMutexState::Refused, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().userMutexHolders.push_back({MUTEX, 1000});
        std::uint64_t endedAt = 0;
        RunMain(
            [&c] {
                const Handle mutex = c.adminsOnly ? CreateAdminOnlyMutex(MUTEX) : CreateOwnedMutex(MUTEX);
                SleepMs(5000);
                ReleaseOwnedMutex(mutex);
                CloseObject(mutex);
                SleepMs(1);
            },
            &endedAt);
        ASSERT_EQ(World().userMutexStates.size(), 1u);
        EXPECT_EQ(World().userMutexStates[0], c.state);
        EXPECT_EQ(World().mutexes.count(MUTEX) == 1 && World().mutexes[MUTEX].heldByOther, c.heldByOtherAtEnd);
    }
}

// From a shutdown on, the service manager refuses a stop and a start at once
// with ERROR_SHUTDOWN_IN_PROGRESS; before it they go through.
TEST_F(SimThreadsTest, AShutdownRefusesServiceControls)
{
    const struct {
        const char* name;
        std::uint32_t callAtMs;
        bool start;
        std::uint32_t error;
    } cases[] = {
        {"stop before the shutdown", 500, false, 0},
        {"stop after the shutdown", 1500, false, ERROR_SHUTDOWN_IN_PROGRESS_CODE},
        {"start after the shutdown", 1500, true, ERROR_SHUTDOWN_IN_PROGRESS_CODE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().service.state = c.start ? SERVICE_STOPPED_STATE : SERVICE_RUNNING_STATE;
        World().controlEvents.push_back({1000, ConsoleControl::Shutdown, true, 10000});
        std::uint64_t endedAt = 0;
        bool done = false;
        std::uint32_t error = 0;
        RunMain(
            [&] {
                SleepMs(c.callAtMs);
                const Handle service = OpenStisvc();
                ServiceStatus status{};
                done = c.start ? StartNamedService(service) : SendServiceStop(service, &status);
                error = LastError();
            },
            &endedAt);
        EXPECT_EQ(done, c.error == 0);
        if (c.error != 0) {
            EXPECT_EQ(error, c.error);
        }
    }
}

// The same world plays the same way every time: calls, consoles, log.
TEST_F(SimThreadsTest, TheSameWorldPlaysTheSameWay)
{
    const auto play = [this] {
        SetUp();
        UseProgram([](const std::vector<std::string>&) {
            for (int i = 0; i < 5; ++i) {
                Write("copy " + std::to_string(World().nowMs) + "\n");
                SleepMs(300);
            }
            return 0;
        });
        World().updaterCopies.push_back({100, {}});
        World().controlEvents.push_back({450, ConsoleControl::Interrupt});
        std::uint64_t endedAt = 0;
        RunMain(
            [] {
                InstallConsoleControlHandler(NoteTimeAndGoOn);
                for (int i = 0; i < 5; ++i) {
                    Write("first " + std::to_string(World().nowMs) + "\n");
                    SleepMs(250);
                }
            },
            &endedAt);
        return World().calls.size() + World().controlLog.size() > 0
                   ? Console() + "|" + World().processes.at(1).view.console + "|" + std::to_string(endedAt)
                   : std::string();
    };
    const std::string first = play();
    EXPECT_EQ(first, play());
    EXPECT_EQ(first, "first 0\nfirst 250\nfirst 500\nfirst 750\nfirst 1000\n|"
                     "copy 100\ncopy 400\ncopy 700\ncopy 1000\ncopy 1300\n|1250");
}

}  // namespace
