#include <gtest/gtest.h>

#include "platform/device.h"
#include "tests/logic/sim_fixture.h"

namespace {

class SimDeviceTest : public SimulatedWorldFixture { };

// The transfer tests find event leaks by comparing these two counters, so a
// refused create and a second close must count for nothing.
TEST_F(SimDeviceTest, EventsAreCountedOnceAndRefusedByCallNumber)
{
    World().createEvent = SimRefusal{2, 2, 8};
    StartWorld();
    const Handle first = CreateCompletionEvent();
    EXPECT_NE(first, NO_HANDLE);
    EXPECT_EQ(CreateCompletionEvent(), NO_HANDLE);
    EXPECT_EQ(LastError(), 8u);
    EXPECT_EQ(CreateCompletionEvent(), NO_HANDLE);
    EXPECT_NE(CreateCompletionEvent(), NO_HANDLE);
    CloseObject(first);
    CloseObject(first);
    EXPECT_EQ(World().eventsCreated, 2u);
    EXPECT_EQ(World().eventsClosed, 1u);
}

}  // namespace
