// The console control handler's time after a close, log-off or shutdown is
// the system's: the hung-application time-out for a close, the wait-to-kill
// time-out for log-off and shutdown, each 5 s unless changed. The handler
// keeps within the one that applies, so the process ends because the
// handler returned, never because the system cut it off halfway.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "tests/logic/app_test_support.h"

namespace {

constexpr std::uint64_t EVENT_AT_MS = 1000;
// The stop the handler waits for outlasts every budget below.
constexpr std::uint32_t LONG_STOP_MS = 20000;

class AppHandlerBudgetTest : public AppRunFixture { };

TEST_F(AppHandlerBudgetTest, TheHandlerKeepsWithinTheTimeLimitThatApplies)
{
    const struct {
        const char* name;
        ConsoleControl event;
        std::uint32_t hungAppMs, waitToKillMs;
        // When the handler, waiting for a stop it cannot see end, gives up.
        std::uint64_t endsFromMs, endsByMs;
    } cases[] = {
        {"close, 5 s (the default): a second in hand", ConsoleControl::Close, 5000, 5000, 4000, 4200},
        {"close, 2 s: a second in hand", ConsoleControl::Close, 2000, 5000, 1000, 1200},
        {"close, 1 s: half of it in hand", ConsoleControl::Close, 1000, 5000, 500, 700},
        {"close reads its own value, not log-off's", ConsoleControl::Close, 3000, 1500, 2000, 2200},
        {"log-off reads its own value, not the close's", ConsoleControl::Logoff, 2000, 3000, 2000, 2200},
        {"log-off, 2 s", ConsoleControl::Logoff, 5000, 2000, 1000, 1200},
        {"shutdown, 1.5 s", ConsoleControl::Shutdown, 5000, 1500, 750, 950},
        // A profile's value above the default is not trusted: the session
        // may still run on the one it loaded at log-on.
        {"close, 8 s stored: the default's budget", ConsoleControl::Close, 8000, 5000, 4000, 4200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().hungAppTimeoutMs = c.hungAppMs;
        World().waitToKillTimeoutMs = c.waitToKillMs;
        World().service.stopPendingMs = LONG_STOP_MS;
        World().service.stopWaitHint = LONG_STOP_MS;
        World().controlEvents.push_back({EVENT_AT_MS, c.event});
        EXPECT_TRUE(RunToItsEnd());
        EXPECT_FALSE(CutOff());
        ASSERT_EQ(World().controlLog.size(), 1u);
        EXPECT_EQ(World().controlLog[0].substr(World().controlLog[0].size() - 5), "ended");
        EXPECT_GE(World().nowMs, EVENT_AT_MS + c.endsFromMs);
        EXPECT_LE(World().nowMs, EVENT_AT_MS + c.endsByMs);
        // Nothing reached the scanner, and the service's stop left its
        // record for the next run.
        EXPECT_EQ(World().model.downloads, 0u);
        EXPECT_TRUE(Recorded());
    }
}

// The simulated PC cuts a handler off at the world's own limit, which is
// what the budget is held against.
TEST_F(AppHandlerBudgetTest, TheSimulatedPcEndsAHandlerAtTheLimitOfItsEvent)
{
    const struct {
        ConsoleControl event;
        std::uint32_t expected;
    } cases[] = {
        {ConsoleControl::Close, 1234},  {ConsoleControl::Logoff, 4321}, {ConsoleControl::Shutdown, 4321},
        {ConsoleControl::Interrupt, 0}, {ConsoleControl::Break, 0},
    };
    World().hungAppTimeoutMs = 1234;
    World().waitToKillTimeoutMs = 4321;
    for (const auto& c : cases) {
        EXPECT_EQ(SimControlTimeLimitMs(World(), c.event), c.expected);
    }
}

}  // namespace
