#include <gtest/gtest.h>

#include "platform/clock.h"
#include "tests/logic/sim_fixture.h"

namespace {

class SimClockTest : public SimulatedWorldFixture { };

// The waits of the updater are bounded by tick differences; they are only
// tested across the wrap if the simulated tick count really wraps.
TEST_F(SimClockTest, SleepsAdvanceVirtualTimeAndTheTickCountWraps)
{
    World().tickAtStart = 0xFFFFFF00u;
    StartWorld();
    EXPECT_EQ(TickCount(), 0xFFFFFF00u);
    SleepMs(0xFF);
    EXPECT_EQ(TickCount(), 0xFFFFFFFFu);
    SleepMs(0x101);
    EXPECT_EQ(TickCount(), 0x100u);
    EXPECT_EQ(World().nowMs, 0x200u);
    EXPECT_EQ(World().sleeps, 2u);
}

}  // namespace
