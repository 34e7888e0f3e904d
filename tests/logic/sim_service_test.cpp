#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "platform/handle.h"
#include "platform/service.h"
#include "tests/logic/sim_fixture.h"

namespace {

class SimServiceTest : public SimulatedWorldFixture { };

// Stop and start in the wrong state fail with the service manager's own
// codes and change nothing, so a service control that sends a request it
// should not have sent shows as a failure.
TEST_F(SimServiceTest, ServiceStopAndStartAreRefusedInTheWrongState)
{
    const struct {
        const char* name;
        std::uint32_t state, startType, controls;
        std::uint32_t stopError, startError;  // 0: accepted
    } cases[] = {
        {"running, accepts stop", SERVICE_RUNNING_STATE, SERVICE_AUTO_START_TYPE, 7, 0, 1056},
        {"running, accepts no stop", SERVICE_RUNNING_STATE, SERVICE_AUTO_START_TYPE, 6, 1052, 1056},
        {"stopped", SERVICE_STOPPED_STATE, SERVICE_DEMAND_START_TYPE, 7, 1062, 0},
        {"stopped and disabled", SERVICE_STOPPED_STATE, SERVICE_DISABLED_TYPE, 7, 1062, 1058},
        {"stop pending", SERVICE_STOP_PENDING_STATE, SERVICE_AUTO_START_TYPE, 7, 1061, 1056},
        {"start pending", SERVICE_START_PENDING_STATE, SERVICE_AUTO_START_TYPE, 7, 1061, 1056},
    };
    for (const auto& c : cases) {
        for (const bool stop : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (stop ? ", stop" : ", start"));
            SetUp();
            World().service.state = c.state;
            World().service.startType = c.startType;
            World().service.runningControls = c.controls;
            World().service.stuckPending = true;
            StartWorld();
            const Handle service = OpenNamedService(OpenServiceManager(), "STISVC");
            ServiceStatus answer{};
            const std::uint32_t error = stop ? c.stopError : c.startError;
            EXPECT_EQ(stop ? SendServiceStop(service, &answer) : StartNamedService(service), error == 0);
            if (error != 0) {
                EXPECT_EQ(LastError(), error);
                EXPECT_EQ(World().serviceNow.state, c.state);
            }
        }
    }
}

}  // namespace
