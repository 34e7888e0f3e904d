#include "platform/power.h"

#include "platform/sim/world.h"

void RequestSystemAwake(bool keepAwake)
{
    SimWorld& world = World();
    // An ended process has no requests left, whatever its unwinding does.
    if (world.processEnded) {
        return;
    }
    ++world.keepAwakeRequests;
    world.keepAwake = keepAwake;
}
