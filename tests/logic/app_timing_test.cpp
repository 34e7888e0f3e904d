// Whole runs against a PC that blocks: a scanner that stops answering while
// the driver holds each request until the handle's time-out, a stalled pipe,
// a service that takes its time, a console held by a selection. Every case
// is held to the README's table of the longest each stage can take.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/wire.h"
#include "tests/logic/app_test_support.h"
#include "tests/logic/console_texts.h"
#include "tests/logic/slow_packet_link.h"

using namespace texts;

namespace {

// The README's table: the longest a real PC spends in each stage, seconds.
// (The start delay and the recovery power cycle make no transfers; their
// counts are held by the download and recovery tests.)
constexpr std::uint64_t PROBE_S = 10;
constexpr std::uint64_t GUARDS_S = 6;
constexpr std::uint64_t STOP_S = 60;
constexpr std::uint64_t READINESS_S = 55;
constexpr std::uint64_t CLOCK_S = 40;
constexpr std::uint64_t READY_WAIT_S = 661;
constexpr std::uint64_t IMAGE_S = 117;
constexpr std::uint64_t BURN_S = 661;
constexpr std::uint64_t GIVE_BACK_S = 90;
constexpr std::uint64_t CLOSING_S = 20;

// Everything up to the clock handshake, in the order a run passes it.
constexpr std::uint64_t UP_TO_READINESS_S = PROBE_S + GUARDS_S + STOP_S + READINESS_S;
// What every failed run adds after its failure.
constexpr std::uint64_t AFTER_FAILURE_S = GIVE_BACK_S + CLOSING_S;

const std::string RUN_START = "0\n" + FOUND;
const std::string FAILED_RUN_END = STARTING + FAILED;
const std::string POWER_CYCLE = "\n" + POWER_OFF_CHECK + POWER_ON_CHECK + "\n";

void AddFault(SimDirection direction, SimFaultKind kind, std::uint32_t first)
{
    ScannerConfig& scanner = World().scanner;
    scanner.faults[scanner.faultCount++] = SimFaultRule{direction, kind, first, 1, 0};
}

bool RecordLeft()
{
    return World().machineKeys.count("software\\fwupdate") == 1;
}

class AppTimingTest : public AppRunFixture { };

// The scanner falls silent after answering this many bulk requests of a
// normal run: probe 2, readiness 2, clock set 2 and its record 1, read-back
// 2 and its record 1, the download's readiness poll 2, announcement 2,
// image 1, then the burn polls. Where a stage may last ten minutes, the
// scanner keeps it going for most of them before it falls silent.
struct SilentRow {
    const char* stage;
    std::function<void()> configure;
    std::string console;
    // The README's stages from the one it falls silent in to the one that
    // gives up, and when the first of them began (0: at the silence).
    std::uint64_t boundS;
    std::uint64_t stageStartMs;
};

void SilentAfter(std::uint32_t transfers)
{
    World().scanner.silentByCount = true;
    World().scanner.silentAfterTransfers = transfers;
}

void SilentFrom(std::uint64_t ms)
{
    World().scanner.silentByTime = true;
    World().scanner.silentFromMs = ms;
}

// The service's stop takes 2 s and a 1 s pause follows it: everything after
// the guards starts at 3 s in this world, and the burn checks 6 s after the
// image.
constexpr std::uint64_t AFTER_STOP_MS = 3000;
constexpr std::uint64_t BURN_CHECKS_MS = AFTER_STOP_MS + 6000;
constexpr std::uint64_t SILENT_AT_MS = 590000;

const std::vector<SilentRow> SILENT_ROWS = {
    {"probe", [] { SilentAfter(0); },
     RUN_START + USB_WRITE_ERROR + CLOSING + USB_WRITE_ERROR + STATUS_ERROR + FAILED_RUN_END,
     PROBE_S + GUARDS_S + STOP_S + READINESS_S, 0},
    {"readiness", [] { SilentAfter(2); }, RUN_START + CLOSING + USB_WRITE_ERROR + STATUS_ERROR + FAILED_RUN_END,
     READINESS_S, 0},
    {"clock set", [] { SilentAfter(4); }, RUN_START + CLOSING + USB_WRITE_ERROR + FAILED_RUN_END, CLOCK_S, 0},
    {"clock read-back", [] { SilentAfter(9); }, RUN_START + CLOSING + USB_TIMEOUT + FAILED_RUN_END, CLOCK_S, 0},
    // Ready to the probe and the first readiness query, then busy until
    // the download's wait has run 587 s, then silent.
    {"download's readiness wait",
     [] {
         World().scanner.script[0] = World().scanner.script[1] = STATE_READY;
         World().scanner.scriptLength = 2;
         World().scanner.busyForMs = SILENT_AT_MS;
         SilentFrom(SILENT_AT_MS);
     },
     RUN_START + CLOSING + LOADING + CHECKING + Repeat(BUSY, 587) + USB_WRITE_ERROR + STATUS_ERROR + FAILED_RUN_END,
     READY_WAIT_S, AFTER_STOP_MS},
    {"announcement", [] { SilentAfter(12); },
     RUN_START + CLOSING + LOADING + CHECKING + SENDING + USB_WRITE_ERROR + SEND_COMMAND_ERROR + FAILED_RUN_END,
     IMAGE_S, 0},
    {"image write", [] { SilentAfter(14); },
     RUN_START + CLOSING + LOADING + CHECKING + SENDING + USB_WRITE_ERROR + SEND_DATA_ERROR + FAILED_RUN_END, IMAGE_S,
     0},
    // Burning for 581 checks, then silent.
    {"burn",
     [] {
         World().scanner.burnMs = 3600000;
         SilentFrom(SILENT_AT_MS);
     },
     RUN_START + CLOSING + UNTIL_BURN + Progress(1, 581) + USB_WRITE_ERROR + BURN_ERROR + FAILED_RUN_END, BURN_S,
     BURN_CHECKS_MS},
    // The loader: probe 2, readiness 2, readiness poll 2, announcement 2,
    // image 1; silent once back from its power cycle.
    {"back from the power cycle",
     [] {
         World().scanner.recovery = true;
         SilentAfter(9);
     },
     RUN_START + CLOSING + RECOVERY + UNTIL_BURN + POWER_CYCLE + USB_WRITE_ERROR + STATUS_ERROR + FAILED_RUN_END,
     READY_WAIT_S, 0},
};

// Before, a scanner silent at the clock read-back held the run for about
// 33 hours (1001 reads of 120 s each) with the service disabled.
TEST_F(AppTimingTest, SilentScannerEndsEachStageWithinItsBoundAndGivesTheServiceBack)
{
    for (const SilentRow& row : SILENT_ROWS) {
        SCOPED_TRACE(row.stage);
        SetUp();
        row.configure();
        EXPECT_EQ(Run(), 0);
        EXPECT_EQ(Console(), row.console);
        ASSERT_NE(World().firstHeldAtMs, NEVER_MS) << "the scanner never fell silent";
        const std::uint64_t stageStart = row.stageStartMs != 0 ? row.stageStartMs : World().firstHeldAtMs;
        EXPECT_LE(World().lastTransferEndMs - stageStart, row.boundS * 1000);
        // The failure's end: the service given back in its default 4 s, and
        // the closing pause.
        EXPECT_LE(World().nowMs - World().lastTransferEndMs, (GIVE_BACK_S + CLOSING_S) * 1000);
        EXPECT_EQ(World().serviceNow.state, SERVICE_RUNNING_STATE);
        EXPECT_EQ(World().serviceNow.startType, SERVICE_AUTO_START_TYPE);
        EXPECT_FALSE(RecordLeft());
        EXPECT_EQ(World().processEndedBy, "");
    }
}

// A scanner that answers the clock read-back with one byte at a time, each
// just inside the handle's 5 s time-out, so that no read ever fails: the
// clock stage still ends within its row, and the run gives the service
// back. Before, the 36 bytes held the stage for three minutes.
TEST_F(AppTimingTest, ClockRecordSentInSlowShortPacketsEndsWithinTheClockRow)
{
    SlowPacketLink link(4900);
    World().deviceLink = &link;
    EXPECT_EQ(Run(), 0);
    World().deviceLink = nullptr;
    EXPECT_EQ(Console(), RUN_START + CLOSING + USB_TIMEOUT + FAILED_RUN_END);
    ASSERT_NE(link.ClockSetSentMs(), NEVER_MS);
    EXPECT_LE(World().lastTransferEndMs - link.ClockSetSentMs(), CLOCK_S * 1000);
    EXPECT_EQ(World().serviceNow.state, SERVICE_RUNNING_STATE);
    EXPECT_FALSE(RecordLeft());
}

// The driver is asked for short time-outs on every handle the run keeps,
// and the image write alone gets room for the whole image.
TEST_F(AppTimingTest, KeptHandlesGetShortTimeOutsAndTheImageWriteItsOwn)
{
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Console(), RUN_START + CLOSING + UNTIL_BURN + BURN_DONE + STARTING + SUCCEEDED);
    EXPECT_EQ(apptest::CountCalls("SetTimeouts 5 5 5"), 2u) << "one after the search, one after the image";
    EXPECT_EQ(apptest::CountCalls("SetTimeouts 5 57 5"), 1u);
    EXPECT_LE(World().longestCallMs, 57000u);
}

// A driver that will not take the time-outs keeps its own: the update
// still runs, at the driver's pace.
TEST_F(AppTimingTest, RefusedTimeOutsLeaveAWorkingUpdate)
{
    World().setTimeouts.first = 1;
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Console(), RUN_START + CLOSING + UNTIL_BURN + BURN_DONE + STARTING + SUCCEEDED);
}

// A stall halts the pipe until the host resets it; the run resets it after
// the failed call, so the next transfer on that pipe gets through.
TEST_F(AppTimingTest, StalledPipeIsResetBeforeTheNextTransfer)
{
    const struct {
        const char* name;
        SimDirection direction;
        std::uint32_t call;
        std::string console;
    } cases[] = {
        // The probe's single exchange fails, and the readiness query after
        // it finds the pipe working again.
        {"probe reply", SIM_DIR_READ, 1,
         RUN_START + USB_READ_ERROR + CLOSING + UNTIL_BURN + BURN_DONE + STARTING + SUCCEEDED},
        // The first burn poll is tried again after a reconnect.
        {"burn poll", SIM_DIR_WRITE, 9, RUN_START + CLOSING + UNTIL_BURN + BURN_DONE + STARTING + SUCCEEDED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        AddFault(c.direction, SIM_FAULT_STALL, c.call);
        EXPECT_EQ(Run(), 0);
        EXPECT_EQ(Console(), c.console);
        EXPECT_GE(World().model.pipeResets, 1u);
        EXPECT_EQ(World().model.haltedPipes, 0u);
        EXPECT_EQ(World().model.downloads, 1u);
    }
}

// ControlService is held while the service answers, up to the manager's
// 30 s; the wait after it looks at the service once a second at most, and
// gives up within its own 30 s.
TEST_F(AppTimingTest, SlowServiceStopsWithinTheStopBound)
{
    const struct {
        const char* name;
        std::uint32_t controlTakesMs;
        std::uint32_t stopPendingMs;
        bool stuck;
        std::uint32_t refusedWith;  // the stop control's documented failure; 0: none
        std::string console;
        std::uint32_t stateAfterStop;
    } cases[] = {
        {"stop that blocks 25 s, then 4 s pending with no hint", 25000, 4000, false, 0,
         RUN_START + CLOSING + UNTIL_BURN + BURN_DONE + STARTING + SUCCEEDED, SERVICE_RUNNING_STATE},
        {"service that never answers the stop", 40000, 0, false, 0, RUN_START + CLOSING + CLOSE_FAILED + FAILED,
         SERVICE_RUNNING_STATE},
        {"stop that stays pending", 0, 0, true, 0, RUN_START + CLOSING + CLOSE_FAILED + FAILED,
         SERVICE_STOP_PENDING_STATE},
        // ERROR_DEPENDENT_SERVICES_RUNNING, ERROR_SERVICE_REQUEST_TIMEOUT
        // (after the manager's 30 s), ERROR_SHUTDOWN_IN_PROGRESS.
        {"dependent services running", 0, 0, false, 1051, RUN_START + CLOSING + CLOSE_FAILED + FAILED,
         SERVICE_RUNNING_STATE},
        {"request time-out", 0, 0, false, 1053, RUN_START + CLOSING + CLOSE_FAILED + FAILED, SERVICE_RUNNING_STATE},
        {"shutdown in progress", 0, 0, false, 1115, RUN_START + CLOSING + CLOSE_FAILED + FAILED, SERVICE_RUNNING_STATE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().service.controlTakesMs = c.controlTakesMs;
        World().service.stopPendingMs = c.stopPendingMs;
        World().service.stopWaitHint = 0;
        World().service.stuckPending = c.stuck;
        if (c.refusedWith != 0) {
            World().service.control = SimRefusal{1, 0xFFFFFFFFu, c.refusedWith};
        }
        EXPECT_EQ(Run(), 0);
        EXPECT_EQ(Console(), c.console);
        EXPECT_EQ(World().serviceNow.state, c.stateAfterStop);
        EXPECT_EQ(World().serviceNow.startType, SERVICE_AUTO_START_TYPE) << "a failed stop disables nothing";
        EXPECT_LE(World().longestCallMs, 30000u);
        EXPECT_FALSE(RecordLeft());
        // No hammering: the stop's wait and the give-back's together look
        // at the service at most once a second.
        EXPECT_LE(apptest::CountCalls("QueryServiceStatus"), 2 + STOP_S + GIVE_BACK_S);
        const std::uint64_t bound = PROBE_S + GUARDS_S + STOP_S + CLOSING_S;
        if (c.console.find(CLOSE_FAILED) != std::string::npos) {
            EXPECT_LE(World().nowMs, bound * 1000);
        }
    }
}

// The start that gives the service back is held while the service starts,
// and followed at most once a second within its own bound.
TEST_F(AppTimingTest, SlowServiceIsGivenBackWithinItsBound)
{
    World().scanner.silentByCount = true;
    World().scanner.silentAfterTransfers = 2;  // fail right after the stop
    World().service.startTakesMs = 25000;
    World().service.startPendingMs = 20000;
    World().service.startWaitHint = 0;
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Console(), RUN_START + CLOSING + USB_WRITE_ERROR + STATUS_ERROR + FAILED_RUN_END);
    EXPECT_EQ(World().serviceNow.state, SERVICE_RUNNING_STATE);
    EXPECT_FALSE(RecordLeft());
    EXPECT_LE(World().nowMs, (UP_TO_READINESS_S + AFTER_FAILURE_S) * 1000);
    EXPECT_LE(apptest::CountCalls("QueryServiceStatus"), 2 + STOP_S + GIVE_BACK_S);
}

// A record left by a killed run is settled first, before the scanner is
// even looked for, and within the give-back's bound however slowly the
// service starts.
TEST_F(AppTimingTest, RecordLeftBehindIsSettledWithinTheGiveBackBound)
{
    World().scanner.path = -1;
    World().service.state = SERVICE_STOPPED_STATE;
    World().service.startType = SERVICE_DISABLED_TYPE;
    World().service.startTakesMs = 25000;
    World().service.startPendingMs = 20000;
    World().service.startWaitHint = 0;
    World().machineKeys["software\\fwupdate"]["imagingservicestate"] = SERVICE_RUNNING_STATE;
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Console(), "0\n" + STARTING + NOT_FOUND + FAILED);
    EXPECT_EQ(World().serviceNow.state, SERVICE_RUNNING_STATE);
    EXPECT_FALSE(RecordLeft());
    EXPECT_LE(World().nowMs, (GIVE_BACK_S + CLOSING_S) * 1000);
    EXPECT_LE(apptest::CountCalls("QueryServiceStatus"), 2 + GIVE_BACK_S);
}

// A selection in the console window holds every write, and the main thread
// with it. QuickEdit is off for the run, so a click makes none; one made
// from the window's menu still holds a progress line for fifteen minutes,
// and the burn that finished meanwhile is still reported done.
TEST_F(AppTimingTest, ConsoleHeldDuringTheBurnDoesNotFailAFinishedBurn)
{
    const struct {
        const char* name;
        bool byClick;
        std::string progress;
        std::uint64_t heldMs;
    } cases[] = {
        {"click", true, Progress(1, 54), 0},
        // Burning at 9 s and at 10 s, whose line waits until 910 s; the poll
        // after it finds the burn over.
        {"menu", false, Progress(1, 2), 900000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().scanner.burnMs = 60000;
        World().consoleSelections = {SimConsoleSelection{10000, 900000, c.byClick, {}}};
        EXPECT_EQ(Run(), 0);
        EXPECT_EQ(Console(), RUN_START + CLOSING + UNTIL_BURN + c.progress + BURN_DONE + STARTING + SUCCEEDED);
        EXPECT_EQ(World().consoleBlockedMs, c.heldMs);
        EXPECT_TRUE(World().quickEdit) << "the console's mode is put back";
    }
}

// In recovery mode the scanner leaves and comes back by itself. A progress
// line held by a selection for a minute must not hide that it did: the
// handle of the check before is dead once it has left, even though a new
// search finds it again.
TEST_F(AppTimingTest, PowerCycleBehindAHeldConsoleIsStillSeen)
{
    World().scanner.recovery = true;
    World().scanner.leaveAfterMs = 10000;
    World().scanner.absentMs = 5000;
    // The image arrives at 3 s and the first check comes at 10 s; its line
    // is held from 10 s to 70 s, while the scanner is away from 13 to 18 s.
    World().consoleSelections = {SimConsoleSelection{10000, 60000, false, {}}};
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Console(), RUN_START + CLOSING + RECOVERY + UNTIL_BURN + Progress(1, 1) + POWER_CYCLE + BURN_DONE +
                             STARTING + SUCCEEDED);
    EXPECT_EQ(World().model.powerCycles, 1u);
}

}  // namespace
