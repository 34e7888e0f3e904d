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

// Refuses every call of one kind from the first on.
SimRefusal Always(std::uint32_t error = 5)
{
    SimRefusal refusal;
    refusal.first = 1;
    refusal.error = error;
    return refusal;
}

// Refuses exactly the n-th call of one kind.
SimRefusal OnlyCall(std::uint32_t n, std::uint32_t error = 5)
{
    SimRefusal refusal;
    refusal.first = n;
    refusal.count = 1;
    refusal.error = error;
    return refusal;
}

class HostServiceTest : public SimTest {
protected:
    SimService& Service() { return World().service; }
    const SimService& Now() { return World().serviceNow; }

    // The service manager calls and sleeps made so far. The size of the
    // configuration block is the platform's business: a sized query shows
    // as "QueryServiceConfig block".
    std::vector<std::string> ServiceCalls()
    {
        std::vector<std::string> seen;
        for (const std::string& line : World().calls) {
            if (line.rfind("QueryServiceConfig ", 0) == 0 && line != "QueryServiceConfig 0") {
                seen.push_back("QueryServiceConfig block");
            } else if (line.rfind("Open", 0) == 0 || line.rfind("Query", 0) == 0 || line.rfind("Change", 0) == 0 ||
                       line.rfind("Control", 0) == 0 || line.rfind("StartService", 0) == 0 ||
                       line.rfind("CloseService", 0) == 0 || line.rfind("Sleep", 0) == 0) {
                seen.push_back(line);
            }
        }
        return seen;
    }
};

// ---- Stop ----

struct StopCase {
    const char* name;
    std::uint32_t state;
    std::uint32_t startType;
    bool refuseControl;
    bool refuseChange;
    int result;
    std::uint32_t stateAfter;
    std::uint32_t startTypeAfter;
};

// A refused control or change request turns into a result of 0, so a case
// that refuses them and still expects 1 proves the request was never made.
const StopCase STOP_CASES[] = {
    {"running service is stopped and disabled", RUNNING, AUTO, false, false, 1, STOPPED, DISABLED},
    {"stopped and disabled: no control, no change", STOPPED, DISABLED, true, true, 1, STOPPED, DISABLED},
    {"stopped on manual start: only disabled", STOPPED, MANUAL, true, false, 1, STOPPED, DISABLED},
    {"stop pending: no control, disabled", STOP_PENDING, AUTO, true, false, 1, STOP_PENDING, DISABLED},
    {"start pending: no control, disabled", START_PENDING, AUTO, true, false, 1, START_PENDING, DISABLED},
    {"refused stop leaves the start type alone", RUNNING, AUTO, true, false, 0, RUNNING, AUTO},
    {"refused change after a stop", RUNNING, AUTO, false, true, 0, STOPPED, AUTO},
};

TEST_F(HostServiceTest, StopLeavesTheServiceAsExpected)
{
    for (const StopCase& c : STOP_CASES) {
        SCOPED_TRACE(c.name);
        SetUp();
        Service().state = c.state;
        Service().startType = c.startType;
        // A pending state must still be visible afterwards.
        Service().stuckPending = (c.state == STOP_PENDING || c.state == START_PENDING);
        if (c.refuseControl) Service().control = Always();
        if (c.refuseChange) Service().changeConfig = Always();
        StartWorld();
        {
            CWIAControl control;
            EXPECT_EQ(control.Stop(), c.result);
        }
        EXPECT_EQ(Now().state, c.stateAfter);
        EXPECT_EQ(Now().startType, c.startTypeAfter);
        EXPECT_EQ(Console(), "");
        EXPECT_EQ(World().serviceHandlesOpen, 0u) << "the destructor closes both handles";
        if (c.state != RUNNING) {
            EXPECT_EQ(World().sleeps, 0u) << "nothing to wait for without a stop request";
        }
    }
}

// ---- Start ----

struct StartCase {
    const char* name;
    std::uint32_t state;
    std::uint32_t startType;
    bool refuseStart;
    bool refuseChange;
    int result;
    std::uint32_t stateAfter;
    std::uint32_t startTypeAfter;
};

const StartCase START_CASES[] = {
    {"stopped and disabled is made automatic and started", STOPPED, DISABLED, false, false, 1, RUNNING, AUTO},
    {"running: made automatic, no start request", RUNNING, MANUAL, true, false, 1, RUNNING, AUTO},
    {"running and automatic: nothing to do", RUNNING, AUTO, true, true, 1, RUNNING, AUTO},
    {"start pending is left alone", START_PENDING, DISABLED, true, false, 1, START_PENDING, AUTO},
    {"stop pending is waited for, then started", STOP_PENDING, DISABLED, false, false, 1, RUNNING, AUTO},
    {"stop pending for ever is a failed start", STOP_PENDING, DISABLED, false, false, 0, STOP_PENDING, AUTO},
    {"refused start after the type was set", STOPPED, DISABLED, true, false, 0, STOPPED, AUTO},
    {"refused change: nothing started", STOPPED, DISABLED, false, true, 0, STOPPED, DISABLED},
};

TEST_F(HostServiceTest, StartLeavesTheServiceAsExpected)
{
    for (const StartCase& c : START_CASES) {
        SCOPED_TRACE(c.name);
        SetUp();
        Service().state = c.state;
        Service().startType = c.startType;
        // Pending states that must end are given a hint so the wait sees
        // them end; the others never end.
        Service().stuckPending = c.stateAfter == c.state && c.state != STOPPED && c.state != RUNNING;
        Service().stopPendingMs = 2000;
        Service().stopWaitHint = 500;
        if (c.refuseStart) Service().start = Always();
        if (c.refuseChange) Service().changeConfig = Always();
        StartWorld();
        {
            CWIAControl control;
            EXPECT_EQ(control.Start(), c.result);
        }
        EXPECT_EQ(Now().state, c.stateAfter);
        EXPECT_EQ(Now().startType, c.startTypeAfter);
        EXPECT_EQ(Console(), "");
        EXPECT_EQ(World().serviceHandlesOpen, 0u);
    }
}

TEST_F(HostServiceTest, ManualStartTypeEndsAutomaticAfterStopAndStart)
{
    Service().state = RUNNING;
    Service().startType = MANUAL;
    StartWorld();
    CWIAControl control;
    ASSERT_EQ(control.Stop(), 1);
    EXPECT_EQ(Now().state, STOPPED);
    EXPECT_EQ(Now().startType, DISABLED);
    ASSERT_EQ(control.Start(), 1);
    EXPECT_EQ(Now().state, RUNNING);
    EXPECT_EQ(Now().startType, AUTO);
}

// ---- the calls each operation makes, in order ----

struct SequenceCase {
    const char* name;
    bool start;  // Start, else Stop
    std::uint32_t state;
    std::uint32_t startType;
    SimRefusal queryStatus;
    std::vector<std::string> calls;
};

std::vector<SequenceCase> SequenceCases()
{
    return {
        {"Stop of a running service", false, RUNNING, AUTO, {},
         {"OpenSCManager", "OpenService STISVC", "QueryServiceStatus", "ControlService STOP",
          // the stop reports pending with a zero hint, then stopped
          "QueryServiceStatus", "Sleep 0", "QueryServiceStatus", "Sleep 0",
          "QueryServiceConfig 0", "QueryServiceConfig block", "ChangeServiceConfig 4",
          "CloseServiceHandle manager", "CloseServiceHandle service"}},
        {"Stop of a stopped, disabled service", false, STOPPED, DISABLED, {},
         {"OpenSCManager", "OpenService STISVC", "QueryServiceStatus", "QueryServiceConfig 0",
          "QueryServiceConfig block", "CloseServiceHandle manager", "CloseServiceHandle service"}},
        {"Stop whose wait loses the status", false, RUNNING, AUTO, OnlyCall(2),
         {"OpenSCManager", "OpenService STISVC", "QueryServiceStatus", "ControlService STOP", "QueryServiceStatus",
          // a failed query drops the service handle first, then the manager
          "CloseServiceHandle service", "CloseServiceHandle manager",
          "OpenSCManager", "OpenService STISVC", "QueryServiceStatus",
          "QueryServiceConfig 0", "QueryServiceConfig block", "ChangeServiceConfig 4",
          "CloseServiceHandle manager", "CloseServiceHandle service"}},
        {"Start of a stopped, disabled service", true, STOPPED, DISABLED, {},
         {"OpenSCManager", "OpenService STISVC", "QueryServiceStatus", "QueryServiceConfig 0",
          "QueryServiceConfig block", "ChangeServiceConfig 2", "QueryServiceStatus", "StartService",
          // pending for 3 s with a 3 s hint: the whole hint is slept first
          "QueryServiceStatus", "Sleep 3000", "QueryServiceStatus", "Sleep 0",
          "CloseServiceHandle manager", "CloseServiceHandle service"}},
        {"Start of a running, automatic service", true, RUNNING, AUTO, {},
         {"OpenSCManager", "OpenService STISVC", "QueryServiceStatus", "QueryServiceConfig 0",
          "QueryServiceConfig block", "QueryServiceStatus", "CloseServiceHandle manager",
          "CloseServiceHandle service"}},
    };
}

TEST_F(HostServiceTest, EachOperationMakesItsCallsInOrder)
{
    for (const SequenceCase& c : SequenceCases()) {
        SCOPED_TRACE(c.name);
        SetUp();
        Service().state = c.state;
        Service().startType = c.startType;
        Service().startPendingMs = 3000;
        Service().startWaitHint = 3000;
        Service().stopPendingMs = 0;
        Service().stopWaitHint = 0;
        Service().queryStatus = c.queryStatus;
        StartWorld();
        {
            CWIAControl control;
            EXPECT_EQ(c.start ? control.Start() : control.Stop(), 1);
        }
        EXPECT_EQ(ServiceCalls(), c.calls);
    }
}

// ---- handles ----

TEST_F(HostServiceTest, QueryStatusCopiesTheRecordAndKeepsHandlesOpen)
{
    Service().state = RUNNING;
    Service().runningControls = 7;
    StartWorld();
    CWIAControl control;
    ServiceStatus status{};
    status.dwCheckPoint = 99;  // must be overwritten
    ASSERT_EQ(control.QueryStatus(&status), 1);
    EXPECT_EQ(status.dwCurrentState, RUNNING);
    EXPECT_EQ(status.dwControlsAccepted, 7u);
    EXPECT_EQ(status.dwCheckPoint, 0u);
    EXPECT_EQ(World().serviceHandlesOpen, 2u);
    EXPECT_EQ(control.QueryStatus(nullptr), 0);
    EXPECT_EQ(World().serviceHandlesOpen, 2u);
}

// ---- absent or refused service ----

struct UnreachableCase {
    const char* name;
    bool installed;
    bool refuseManager;
};

const UnreachableCase UNREACHABLE_CASES[] = {
    {"service not installed", false, false},
    {"manager refuses access", true, true},
};

TEST_F(HostServiceTest, UnreachableServiceFailsEveryOperationSilently)
{
    for (const UnreachableCase& c : UNREACHABLE_CASES) {
        SCOPED_TRACE(c.name);
        SetUp();
        Service().installed = c.installed;
        Service().state = RUNNING;
        if (c.refuseManager) Service().openManager = Always();
        StartWorld();
        CWIAControl control;
        ServiceStatus status{};
        EXPECT_EQ(control.QueryStatus(&status), 0);
        EXPECT_EQ(control.SetStartType(DISABLED), 0);
        EXPECT_EQ(control.Stop(), 0);
        EXPECT_EQ(control.Start(), 0);
        EXPECT_EQ(Console(), "");
        EXPECT_EQ(World().serviceHandlesOpen, 0u);
    }
}

// ---- the configuration read and its diagnostic ----

TEST_F(HostServiceTest, UnreadableConfigurationPrintsOneUnterminatedLine)
{
    struct Case {
        const char* name;
        SimRefusal refusal;
        const char* expected;
    };
    const Case cases[] = {
        {"sizing call refused", OnlyCall(1, 5), "QueryServiceConfig failed (5)"},
        {"reading call refused", OnlyCall(2, 1359), "QueryServiceConfig failed (1359)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Service().state = STOPPED;
        Service().startType = MANUAL;
        Service().queryConfig = c.refusal;
        StartWorld();
        CWIAControl control;
        EXPECT_EQ(control.Stop(), 0);
        EXPECT_EQ(Console(), c.expected);
        EXPECT_EQ(Now().startType, MANUAL);
    }
}

TEST_F(HostServiceTest, NoMemoryForTheConfigurationIsReportedWithItsCode)
{
    Service().state = STOPPED;
    Service().startType = AUTO;
    World().allocateFixed.first = 1;
    World().allocateFixed.error = 8;  // ERROR_NOT_ENOUGH_MEMORY
    StartWorld();
    CWIAControl control;
    EXPECT_EQ(control.SetStartType(DISABLED), 0);
    EXPECT_EQ(Console(), "QueryServiceConfig failed (8)");
    EXPECT_EQ(Now().startType, AUTO);
}

TEST_F(HostServiceTest, ConfigurationBlockIsFreedOnEveryPath)
{
    struct Case {
        const char* name;
        std::uint32_t startType;
        SimRefusal queryConfig;
        SimRefusal changeConfig;
        int result;
    };
    const Case cases[] = {
        {"type already right", DISABLED, {}, {}, 1},
        {"type changed", AUTO, {}, {}, 1},
        {"change refused", AUTO, {}, Always(), 0},
        {"reading refused", AUTO, OnlyCall(2), {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Service().state = STOPPED;
        Service().startType = c.startType;
        Service().queryConfig = c.queryConfig;
        Service().changeConfig = c.changeConfig;
        StartWorld();
        CWIAControl control;
        EXPECT_EQ(control.SetStartType(DISABLED), c.result);
        EXPECT_EQ(World().fixedAllocations, 1u);
        EXPECT_EQ(World().fixedFrees, 1u);
    }
}

// ---- the bound of each wait ----

struct WaitCase {
    const char* name;
    bool start;             // Start's wait, else Stop's
    std::uint32_t hint;     // the hint the stuck pending state reports
    std::uint32_t tickAtStart;
};

const WaitCase WAIT_CASES[] = {
    {"stop pending for ever, 3 s hint", false, 3000, 0x10000000u},
    {"stop pending for ever, no hint", false, 0, 0x10000000u},
    {"stop pending for ever, hint longer than the bound", false, 60000, 0x10000000u},
    {"stop pending for ever across the tick wrap", false, 3000, 0xFFFFF000u},
    {"start pending for ever, 3 s hint", true, 3000, 0x10000000u},
    {"start pending for ever, no hint", true, 0, 0x10000000u},
    {"start pending for ever, hint longer than the bound", true, 60000, 0x10000000u},
    {"start pending for ever across the tick wrap", true, 3000, 0xFFFFF000u},
};

TEST_F(HostServiceTest, StuckPendingStateEndsTheWaitWithinThirtySeconds)
{
    for (const WaitCase& c : WAIT_CASES) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().tickAtStart = c.tickAtStart;
        Service().stuckPending = true;
        if (c.start) {
            Service().state = STOPPED;
            Service().startType = DISABLED;
            Service().startWaitHint = c.hint;
        } else {
            Service().state = RUNNING;
            Service().startType = AUTO;
            Service().stopWaitHint = c.hint;
        }
        StartWorld();
        CWIAControl control;
        // A start that was requested counts as done; a stop that never
        // ended still leaves the service disabled.
        EXPECT_EQ(c.start ? control.Start() : control.Stop(), 1);
        EXPECT_EQ(Now().state, c.start ? START_PENDING : STOP_PENDING);
        EXPECT_EQ(Now().startType, c.start ? AUTO : DISABLED);
        // Gave up once 30 s had passed: not sooner, and never a whole long
        // hint beyond it. A zero hint gets there too: every pass costs time.
        EXPECT_GE(World().nowMs, 30000u);
        EXPECT_LT(World().nowMs, 33000u);
    }
}

}  // namespace
