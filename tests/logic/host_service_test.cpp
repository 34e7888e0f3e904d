// The imaging-service control over the simulated service manager: what each
// operation leaves the service as, which requests it makes, how its waits
// end, and what it prints.
#include <cstdint>
#include <string>
#include <vector>

#include "host/wia_control.h"
#include "tests/logic/sim_fixture.h"

namespace {

constexpr std::uint32_t STOPPED = SERVICE_STOPPED_STATE;
constexpr std::uint32_t START_PENDING = SERVICE_START_PENDING_STATE;
constexpr std::uint32_t STOP_PENDING = SERVICE_STOP_PENDING_STATE;
constexpr std::uint32_t RUNNING = SERVICE_RUNNING_STATE;
constexpr std::uint32_t AUTO = SERVICE_AUTO_START_TYPE;
constexpr std::uint32_t MANUAL = SERVICE_DEMAND_START_TYPE;
constexpr std::uint32_t DISABLED = SERVICE_DISABLED_TYPE;

// Refuses calls of one kind: every one from the first, or only the n-th.
SimRefusal Refuse(std::uint32_t onlyCall = 0, std::uint32_t error = 5)
{
    SimRefusal refusal;
    refusal.first = onlyCall == 0 ? 1 : onlyCall;
    refusal.count = onlyCall == 0 ? refusal.count : 1;
    refusal.error = error;
    return refusal;
}

class HostServiceTest : public SimulatedWorldFixture {
protected:
    SimService& Service() { return World().service; }
    const SimService& Now() { return World().serviceNow; }
    void Configure(std::uint32_t state, std::uint32_t startType)
    {
        SetUp();
        Service().state = state;
        Service().startType = startType;
    }
};

struct OperationCase {
    const char* name;
    bool start;  // Start, else Stop
    std::uint32_t state, startType;
    bool refuseRequest;  // the stop control or the start request
    bool refuseChange;
    bool result;
    std::uint32_t stateAfter, startTypeAfter;
};

// A refused request turns into a false result, so a case that refuses it and
// still expects true proves the request was never made.
const OperationCase OPERATION_CASES[] = {
    {"stop: running is stopped and disabled", false, RUNNING, AUTO, false, false, 1, STOPPED, DISABLED},
    {"stop: stopped and disabled, nothing sent", false, STOPPED, DISABLED, true, true, 1, STOPPED, DISABLED},
    {"stop: stopped on manual, only disabled", false, STOPPED, MANUAL, true, false, 1, STOPPED, DISABLED},
    {"stop: start pending is waited out, stopped, disabled", false, START_PENDING, AUTO, false, false, 1, STOPPED,
     DISABLED},
    {"stop: start pending for ever is a failed stop", false, START_PENDING, AUTO, true, false, 0, START_PENDING, AUTO},
    {"stop: refused stop leaves the type alone", false, RUNNING, AUTO, true, false, 0, RUNNING, AUTO},
    {"stop: refused change after a stop", false, RUNNING, AUTO, false, true, 0, STOPPED, AUTO},
    {"start: stopped and disabled, made automatic, started", true, STOPPED, DISABLED, false, false, 1, RUNNING, AUTO},
    {"start: running, made automatic, no start", true, RUNNING, MANUAL, true, false, 1, RUNNING, AUTO},
    {"start: start pending is left alone", true, START_PENDING, DISABLED, true, false, 1, START_PENDING, AUTO},
    {"start: stop pending is waited for, then started", true, STOP_PENDING, DISABLED, false, false, 1, RUNNING, AUTO},
    {"start: stop pending for ever is a failed start", true, STOP_PENDING, DISABLED, false, false, 0, STOP_PENDING,
     AUTO},
    {"start: refused start after the type was set", true, STOPPED, DISABLED, true, false, 0, STOPPED, AUTO},
    {"start: refused change, nothing started", true, STOPPED, DISABLED, false, true, 0, STOPPED, DISABLED},
};

TEST_F(HostServiceTest, StopAndStartLeaveTheServiceAsExpected)
{
    for (const OperationCase& c : OPERATION_CASES) {
        SCOPED_TRACE(c.name);
        Configure(c.state, c.startType);
        // A pending state that must still show afterwards never ends; the
        // one the start waits out ends after 2 s.
        Service().stuckPending = c.stateAfter == c.state && c.state != STOPPED && c.state != RUNNING;
        Service().stopPendingMs = 2000;
        Service().stopWaitHint = 500;
        if (c.refuseRequest) {
            (c.start ? Service().start : Service().control) = Refuse();
        }
        if (c.refuseChange) {
            Service().changeConfig = Refuse();
        }
        StartWorld();
        {
            CWIAControl control;
            EXPECT_EQ(c.start ? control.Start() : control.Stop(), c.result);
        }
        EXPECT_EQ(Now().state, c.stateAfter);
        EXPECT_EQ(Now().startType, c.startTypeAfter);
        EXPECT_EQ(Console(), "");
        EXPECT_EQ(World().serviceHandlesOpen, 0u) << "the destructor closes both handles";
    }
}

TEST_F(HostServiceTest, EachOperationMakesItsCallsInOrder)
{
    const struct {
        const char* name;
        bool start;
        std::uint32_t state, startType;
        SimRefusal queryStatus;
        std::vector<std::string> calls;
        bool result = true;
    } cases[] = {
        {"stop of a running service",
         false,
         RUNNING,
         AUTO,
         {},
         {"OpenSCManager", "OpenService STISVC", "QueryServiceStatus", "ControlService STOP",
          // the stop reports pending with a zero hint: a second's pause (never
          // a zero one), then stopped
          "QueryServiceStatus", "Sleep 1000", "QueryServiceStatus", "Sleep 1000", "QueryServiceConfig 0",
          "QueryServiceConfig block", "ChangeServiceConfig 4", "CloseServiceHandle manager",
          "CloseServiceHandle service"}},
        {"stop whose wait loses the status",
         false,
         RUNNING,
         AUTO,
         Refuse(2),
         {"OpenSCManager", "OpenService STISVC", "QueryServiceStatus", "ControlService STOP", "QueryServiceStatus",
          // a failed query drops the service handle first, then the manager;
          // a service not seen stopped keeps its start type
          "CloseServiceHandle service", "CloseServiceHandle manager"},
         0},
        {"start of a stopped, disabled service",
         true,
         STOPPED,
         DISABLED,
         {},
         {"OpenSCManager", "OpenService STISVC", "QueryServiceStatus", "QueryServiceConfig 0",
          "QueryServiceConfig block", "ChangeServiceConfig 2", "QueryServiceStatus", "StartService",
          // pending for 3 s with a 3 s hint: a tenth of it is under the
          // second's floor, so a query a second until it runs
          "QueryServiceStatus", "Sleep 1000", "QueryServiceStatus", "Sleep 1000", "QueryServiceStatus", "Sleep 1000",
          "QueryServiceStatus", "Sleep 1000", "CloseServiceHandle manager", "CloseServiceHandle service"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Configure(c.state, c.startType);
        Service().queryStatus = c.queryStatus;
        StartWorld();
        {
            CWIAControl control;
            EXPECT_EQ(c.start ? control.Start() : control.Stop(), c.result);
        }
        // The size of the configuration block is the platform's business.
        std::vector<std::string> seen;
        for (const std::string& line : World().calls) {
            if (line.rfind("QueryServiceConfig ", 0) == 0 && line != "QueryServiceConfig 0") {
                seen.push_back("QueryServiceConfig block");
            } else if (line.find("Service") != std::string::npos || line.rfind("OpenSCManager", 0) == 0 ||
                       line.rfind("Sleep", 0) == 0) {
                seen.push_back(line);
            }
        }
        EXPECT_EQ(seen, c.calls);
    }
}

TEST_F(HostServiceTest, QueryStatusCopiesTheRecordAndKeepsHandlesOpen)
{
    StartWorld();
    CWIAControl control;
    ServiceStatus status{};
    status.dwCheckPoint = 99;  // must be overwritten
    ASSERT_TRUE(control.QueryStatus(&status));
    EXPECT_EQ(status.dwCurrentState, RUNNING);
    EXPECT_EQ(status.dwControlsAccepted, 7u);
    EXPECT_EQ(status.dwCheckPoint, 0u);
    EXPECT_FALSE(control.QueryStatus(nullptr));
    EXPECT_EQ(World().serviceHandlesOpen, 2u);
}

// Handles whose status read was refused are closed and forgotten: the next
// query opens both afresh and reads the state. Kept, they would be used
// after their close and every later operation would fail.
TEST_F(HostServiceTest, RefusedQueryIsFollowedByFreshHandles)
{
    Configure(RUNNING, AUTO);
    Service().queryStatus = Refuse(1);
    StartWorld();
    CWIAControl control;
    ServiceStatus status{};
    EXPECT_FALSE(control.QueryStatus(&status));
    EXPECT_EQ(World().serviceHandlesOpen, 0u);
    ASSERT_TRUE(control.QueryStatus(&status));
    EXPECT_EQ(status.dwCurrentState, RUNNING);
    EXPECT_EQ(World().serviceCalls.openManager, 2u);
    EXPECT_EQ(World().serviceCalls.openService, 2u);
    EXPECT_EQ(World().serviceHandlesOpen, 2u);
}

// A stop that cannot read the state does not go on as though the service
// were stopped: it might be running and holding the scanner.
TEST_F(HostServiceTest, StopThatCannotReadTheStateFails)
{
    Configure(RUNNING, AUTO);
    Service().queryStatus = Refuse(1);
    StartWorld();
    {
        CWIAControl control;
        EXPECT_FALSE(control.Stop());
    }
    EXPECT_EQ(Now().state, RUNNING);
    EXPECT_EQ(Now().startType, AUTO);
    EXPECT_EQ(World().serviceCalls.control, 0u);
    EXPECT_EQ(World().serviceCalls.changeConfig, 0u);
}

// The restart opens its handles for the start type, then reads the state:
// when that read is refused nothing is started, and that is no restart.
TEST_F(HostServiceTest, StartThatCannotReadTheStateFails)
{
    Configure(STOPPED, DISABLED);
    Service().queryStatus = Refuse(2);
    StartWorld();
    {
        CWIAControl control;
        EXPECT_FALSE(control.Start());
    }
    EXPECT_EQ(Now().state, STOPPED);
    EXPECT_EQ(Now().startType, AUTO);
    EXPECT_EQ(World().serviceCalls.start, 0u);
}

TEST_F(HostServiceTest, UnreachableServiceFailsEveryOperationSilently)
{
    for (const bool installed : {false, true}) {
        SCOPED_TRACE(installed ? "manager refuses access" : "service not installed");
        Configure(RUNNING, AUTO);
        Service().installed = installed;
        if (installed) {
            Service().openManager = Refuse();
        }
        StartWorld();
        CWIAControl control;
        ServiceStatus status{};
        EXPECT_FALSE(control.QueryStatus(&status));
        EXPECT_FALSE(control.SetStartType(DISABLED));
        EXPECT_FALSE(control.Stop());
        EXPECT_FALSE(control.Start());
        EXPECT_EQ(Console(), "");
        EXPECT_EQ(World().serviceHandlesOpen, 0u);
    }
}

// The configuration block is sized, allocated, read and freed on every
// path; a failure to read it is the one line this class prints, without a
// line end.
TEST_F(HostServiceTest, StartTypeChangeReadsTheConfigurationAndFreesIt)
{
    const struct {
        const char* name;
        std::uint32_t startType;
        SimRefusal queryConfig, changeConfig, allocate;
        bool result;
        std::string console;
        std::uint32_t allocations, startTypeAfter;
    } cases[] = {
        {"type already right", DISABLED, {}, {}, {}, 1, "", 1, DISABLED},
        {"type changed", AUTO, {}, {}, {}, 1, "", 1, DISABLED},
        {"change refused", AUTO, {}, Refuse(), {}, 0, "", 1, AUTO},
        {"sizing call refused", MANUAL, Refuse(1, 5), {}, {}, 0, "QueryServiceConfig failed (5)", 0, MANUAL},
        {"reading call refused", MANUAL, Refuse(2, 1359), {}, {}, 0, "QueryServiceConfig failed (1359)", 1, MANUAL},
        {"no memory for the block", AUTO, {}, {}, Refuse(0, 8), 0, "QueryServiceConfig failed (8)", 0, AUTO},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Configure(STOPPED, c.startType);
        Service().queryConfig = c.queryConfig;
        Service().changeConfig = c.changeConfig;
        World().allocateFixed = c.allocate;
        StartWorld();
        CWIAControl control;
        EXPECT_EQ(control.SetStartType(DISABLED), c.result);
        EXPECT_EQ(Console(), c.console);
        EXPECT_EQ(Now().startType, c.startTypeAfter);
        EXPECT_EQ(World().fixedAllocations, c.allocations);
        EXPECT_EQ(World().fixedFrees, c.allocations);
    }
}

TEST_F(HostServiceTest, StuckPendingStateEndsTheWaitWithinThirtySeconds)
{
    const struct {
        const char* name;
        bool start;          // Start's wait, else Stop's
        bool starting;       // the stop finds the service stuck starting
        std::uint32_t hint;  // what the stuck pending state reports
        std::uint32_t tickAtStart;
    } cases[] = {
        {"stop, 3 s hint", false, false, 3000, 0x10000000u},
        {"stop, no hint, across the tick wrap", false, false, 0, 0xFFFFF000u},
        {"stop, 20 s hint: the second sleep is what is left", false, false, 20000, 0x10000000u},
        {"stop, hint longer than the bound", false, false, 60000, 0x10000000u},
        // Pauses of 7 s do not divide 30 s: the fifth is what is left.
        {"stop, 70 s hint: the last pause is what is left", false, false, 70000, 0x10000000u},
        {"stop of a service stuck starting, 70 s hint", false, true, 70000, 0xFFFFF000u},
        {"stop of a service stuck starting, no hint", false, true, 0, 0x10000000u},
        {"start, 3 s hint across the tick wrap", true, false, 3000, 0xFFFFF000u},
        {"start, no hint", true, false, 0, 0x10000000u},
        {"start, 20 s hint: the second sleep is what is left", true, false, 20000, 0x10000000u},
        {"start, hint longer than the bound", true, false, 60000, 0x10000000u},
        {"start, 70 s hint: the last pause is what is left", true, false, 70000, 0x10000000u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Configure(c.start ? STOPPED : (c.starting ? START_PENDING : RUNNING), c.start ? DISABLED : AUTO);
        World().tickAtStart = c.tickAtStart;
        Service().stuckPending = true;
        (c.start || c.starting ? Service().startWaitHint : Service().stopWaitHint) = c.hint;
        StartWorld();
        CWIAControl control;
        // A start that was requested counts as done. A stop that never
        // ended failed: the service may still hold the scanner, and it keeps
        // its start type.
        EXPECT_EQ(c.start ? control.Start() : control.Stop(), c.start);
        EXPECT_EQ(Now().state, c.start || c.starting ? START_PENDING : STOP_PENDING);
        EXPECT_EQ(Now().startType, AUTO);
        EXPECT_EQ(World().serviceCalls.changeConfig, c.start ? 1u : 0u);
        EXPECT_EQ(World().serviceCalls.control, c.start || c.starting ? 0u : 1u);
        // Gave up as 30 s had passed: not sooner, and not a pause later.
        EXPECT_EQ(World().nowMs, 30000u);
    }
}

}  // namespace
