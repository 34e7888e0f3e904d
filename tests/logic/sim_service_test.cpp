#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/handle.h"
#include "platform/service.h"
#include "tests/logic/sim_fixture.h"

namespace {

class SimServiceTest : public SimTest {
protected:
    Handle OpenStisvc()
    {
        m_manager = OpenServiceManager();
        EXPECT_NE(m_manager, NO_HANDLE);
        return OpenNamedService(m_manager, "STISVC");
    }
    ServiceStatus Status(Handle service)
    {
        ServiceStatus s{};
        EXPECT_TRUE(QueryServiceState(service, &s));
        return s;
    }
    Handle m_manager = NO_HANDLE;
};

TEST_F(SimServiceTest, StartPassesThroughStartPendingForItsDuration)
{
    World().service.state = SERVICE_STOPPED_STATE;
    World().service.startPendingMs = 3000;
    World().service.startWaitHint = 3000;
    StartWorld();
    Handle s = OpenStisvc();
    ASSERT_TRUE(StartNamedService(s));
    ServiceStatus now = Status(s);
    EXPECT_EQ(now.dwCurrentState, SERVICE_START_PENDING_STATE);
    EXPECT_EQ(now.dwWaitHint, 3000u);
    EXPECT_EQ(now.dwControlsAccepted, 0u);
    SleepMs(2999);
    EXPECT_EQ(Status(s).dwCurrentState, SERVICE_START_PENDING_STATE);
    SleepMs(1);
    now = Status(s);
    EXPECT_EQ(now.dwCurrentState, SERVICE_RUNNING_STATE);
    EXPECT_EQ(now.dwControlsAccepted, 7u);
    EXPECT_EQ(now.dwWaitHint, 0u);
}

TEST_F(SimServiceTest, StopShowsStopPendingUntilTimePassesEvenWhenItTakesNoTime)
{
    World().service.stopPendingMs = 0;
    World().service.stopWaitHint = 0;
    StartWorld();
    Handle s = OpenStisvc();
    ServiceStatus answer{};
    ASSERT_TRUE(SendServiceStop(s, &answer));
    EXPECT_EQ(answer.dwCurrentState, SERVICE_STOP_PENDING_STATE);
    EXPECT_EQ(answer.dwWaitHint, 0u);
    EXPECT_EQ(Status(s).dwCurrentState, SERVICE_STOP_PENDING_STATE);
    SleepMs(0);
    EXPECT_EQ(Status(s).dwCurrentState, SERVICE_STOPPED_STATE);
}

TEST_F(SimServiceTest, AStuckPendingStateNeverEnds)
{
    World().service.stuckPending = true;
    World().service.stopPendingMs = 10;
    StartWorld();
    Handle s = OpenStisvc();
    ServiceStatus answer{};
    ASSERT_TRUE(SendServiceStop(s, &answer));
    SleepMs(3600000);
    EXPECT_EQ(Status(s).dwCurrentState, SERVICE_STOP_PENDING_STATE);
}

struct ControlCase {
    const char* name;
    std::uint32_t state;
    std::uint32_t startType;
    std::uint32_t controls;
    bool stopOk;
    std::uint32_t stopError;
    bool startOk;
    std::uint32_t startError;
};

TEST_F(SimServiceTest, StopAndStartAreRefusedInTheWrongState)
{
    const ControlCase cases[] = {
        {"running, accepts stop", SERVICE_RUNNING_STATE, SERVICE_AUTO_START_TYPE, 7, true, 0, false, 1056},
        {"running, accepts no stop", SERVICE_RUNNING_STATE, SERVICE_AUTO_START_TYPE, 6, false, 1052, false, 1056},
        {"stopped", SERVICE_STOPPED_STATE, SERVICE_DEMAND_START_TYPE, 7, false, 1052, true, 0},
        {"stopped and disabled", SERVICE_STOPPED_STATE, SERVICE_DISABLED_TYPE, 7, false, 1052, false, 1058},
        {"start pending", SERVICE_START_PENDING_STATE, SERVICE_AUTO_START_TYPE, 7, false, 1052, false, 1056},
        {"stop pending", SERVICE_STOP_PENDING_STATE, SERVICE_AUTO_START_TYPE, 7, false, 1052, false, 1056},
    };
    for (const ControlCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (int call = 0; call < 2; ++call) {
            SetUp();
            World().service.state = c.state;
            World().service.startType = c.startType;
            World().service.runningControls = c.controls;
            World().service.stuckPending = true;
            StartWorld();
            Handle s = OpenStisvc();
            ServiceStatus answer{};
            const bool ok = call == 0 ? SendServiceStop(s, &answer) : StartNamedService(s);
            EXPECT_EQ(ok, call == 0 ? c.stopOk : c.startOk) << (call == 0 ? "stop" : "start");
            if (!ok) {
                EXPECT_EQ(LastError(), call == 0 ? c.stopError : c.startError);
                EXPECT_EQ(World().serviceNow.state, c.state) << "a refused call changes nothing";
            }
        }
    }
}

TEST_F(SimServiceTest, ConfigurationIsReadInTwoCalls)
{
    World().service.startType = SERVICE_DEMAND_START_TYPE;
    StartWorld();
    Handle s = OpenStisvc();
    std::uint32_t needed = 0;
    EXPECT_FALSE(QueryServiceConfiguration(s, nullptr, 0, &needed));
    EXPECT_EQ(LastError(), ERROR_INSUFFICIENT_BUFFER_CODE);
    ASSERT_GT(needed, 64u);  // the record's head and pointers, then its texts
    ASSERT_LT(needed, 8192u);

    std::vector<std::uint8_t> block(needed, 0xCC);
    std::uint32_t again = 0;
    EXPECT_FALSE(QueryServiceConfiguration(s, block.data(), needed - 1, &again));
    EXPECT_EQ(LastError(), ERROR_INSUFFICIENT_BUFFER_CODE);
    EXPECT_EQ(again, needed);

    ASSERT_TRUE(QueryServiceConfiguration(s, block.data(), needed, &again));
    ServiceConfigHead head;
    std::memcpy(&head, block.data(), sizeof head);
    EXPECT_EQ(head.dwStartType, SERVICE_DEMAND_START_TYPE);
    // The display name pointer is the record's last field and points at a
    // terminated text inside the block.
    const char* display = nullptr;
    std::memcpy(&display, block.data() + 56, sizeof display);
    ASSERT_GE(reinterpret_cast<const std::uint8_t*>(display), block.data() + 64);
    ASSERT_LT(reinterpret_cast<const std::uint8_t*>(display), block.data() + needed);
    EXPECT_EQ(std::memchr(display, 0, block.data() + needed - reinterpret_cast<const std::uint8_t*>(display)) !=
                  nullptr,
              true);

    ASSERT_TRUE(ChangeServiceStartType(s, SERVICE_DISABLED_TYPE));
    ASSERT_TRUE(QueryServiceConfiguration(s, block.data(), needed, &again));
    std::memcpy(&head, block.data(), sizeof head);
    EXPECT_EQ(head.dwStartType, SERVICE_DISABLED_TYPE);
    EXPECT_FALSE(ChangeServiceStartType(s, 1)) << "system start is for drivers";
    EXPECT_EQ(World().serviceNow.startType, SERVICE_DISABLED_TYPE);
}

struct RefusalCase {
    const char* name;
    SimRefusal SimService::*refusal;
    bool (*call)(Handle manager, Handle service);
};

TEST_F(SimServiceTest, EachCallCanBeRefusedByCallNumber)
{
    const RefusalCase cases[] = {
        {"open manager", &SimService::openManager, [](Handle, Handle) { return OpenServiceManager() != NO_HANDLE; }},
        {"open service", &SimService::openService,
         [](Handle m, Handle) { return OpenNamedService(m, "stisvc") != NO_HANDLE; }},
        {"query status", &SimService::queryStatus,
         [](Handle, Handle s) {
             ServiceStatus st{};
             return QueryServiceState(s, &st);
         }},
        {"query configuration", &SimService::queryConfig,
         [](Handle, Handle s) {
             std::uint32_t needed = 0;
             return QueryServiceConfiguration(s, nullptr, 0, &needed) || LastError() == 122u;
         }},
        {"change configuration", &SimService::changeConfig,
         [](Handle, Handle s) { return ChangeServiceStartType(s, SERVICE_AUTO_START_TYPE); }},
        {"stop", &SimService::control,
         [](Handle, Handle s) {
             ServiceStatus st{};
             World().serviceNow.state = SERVICE_RUNNING_STATE;
             return SendServiceStop(s, &st);
         }},
        {"start", &SimService::start,
         [](Handle, Handle s) {
             World().serviceNow.state = SERVICE_STOPPED_STATE;
             return StartNamedService(s);
         }},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        (World().service.*c.refusal) = SimRefusal{2, 1, 1722};
        StartWorld();
        Handle manager = OpenServiceManager();
        Handle service = OpenNamedService(manager, "STISVC");
        // For the two opens, the opens just above were call 1.
        const bool openedAlready = c.refusal == &SimService::openManager || c.refusal == &SimService::openService;
        if (!openedAlready) {
            EXPECT_TRUE(c.call(manager, service)) << "call 1";
        }
        EXPECT_FALSE(c.call(manager, service)) << "call 2";
        EXPECT_EQ(LastError(), 1722u);
        EXPECT_TRUE(c.call(manager, service)) << "call 3";
    }
}

TEST_F(SimServiceTest, MissingServiceAndHandleBookkeeping)
{
    World().service.installed = false;
    StartWorld();
    Handle manager = OpenServiceManager();
    EXPECT_EQ(OpenNamedService(manager, "STISVC"), NO_HANDLE);
    EXPECT_EQ(LastError(), 1060u);
    EXPECT_EQ(World().serviceHandlesOpen, 1u);

    SetUp();
    StartWorld();
    manager = OpenServiceManager();
    EXPECT_EQ(OpenNamedService(manager, "Spooler"), NO_HANDLE);
    Handle service = OpenNamedService(manager, "StiSvc");
    EXPECT_NE(service, NO_HANDLE);
    EXPECT_EQ(World().serviceHandlesOpen, 2u);
    CloseServiceObject(manager);
    CloseServiceObject(manager);
    CloseServiceObject(service);
    EXPECT_EQ(World().serviceHandlesOpen, 0u);
    ServiceStatus st{};
    EXPECT_FALSE(QueryServiceState(service, &st)) << "a closed handle";
}

TEST_F(SimServiceTest, FixedBlocksAreCountedAndCanBeRefused)
{
    World().allocateFixed = SimRefusal{2, 1, 8};
    StartWorld();
    void* first = AllocateFixed(200);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(AllocateFixed(200), nullptr);
    EXPECT_EQ(LastError(), 8u);
    FreeFixed(first);
    FreeFixed(nullptr);
    EXPECT_EQ(World().fixedAllocations, 1u);
    EXPECT_EQ(World().fixedFrees, 1u);
}

}  // namespace
