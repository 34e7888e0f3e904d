// Power lost while the updater has the imaging service off, and records
// that hold what nobody should have written: the next start of Windows and
// the next run give the service back as it was, and never beside a burn.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/service_debt.h"
#include "platform/registry.h"
#include "platform/sim/world.h"
#include "scanner_model/wire_values.h"
#include "tests/logic/app_test_support.h"
#include "tests/logic/console_texts.h"

namespace {

using namespace texts;
using apptest::DEBT_KEY;

// Long enough that the runs after the cut meet the burn of an image sent
// before it.
constexpr std::uint32_t BURN_MS = 20 * 60 * 1000;

class AppPowerCutTest : public AppRunFixture {
protected:
    void SetUp() override
    {
        AppRunFixture::SetUp();
        World().scanner.burnMs = BURN_MS;
    }

    // The next run in the PC as it is now; true when it did not return.
    static bool RunAgain()
    {
        try {
            apptest::RunNextProcess();
            return false;
        } catch (const SimProcessEnded&) {
            return true;
        }
    }

    static bool ServiceBesideABurn()
    {
        const std::uint32_t state = World().serviceNow.state;
        return World().model.burning && (state == SERVICE_RUNNING_STATE || state == SERVICE_START_PENDING_STATE);
    }

    static std::string ImageWrite() { return "Write " + std::to_string(EmbeddedImageSize()); }
};

// Power lost as each step of the stop, the record and its ImageSent is
// about to happen (the step does not), or in the burn, with each hive's
// lazy flush either never done (the worse case) or done at once: Windows
// comes up, the next run meets the scanner still burning anything it was
// sent, and a run after the burn settles what is left. The service is
// never running beside the burn and ends as it was: automatic, running,
// with no record.
TEST_F(AppPowerCutTest, EveryPointOfTheStopAndTheImageIsRepaired)
{
    const struct {
        const char* name;
        std::string call;  // empty: a time in the burn instead
        std::uint32_t number;
    } points[] = {
        {"before the record", "RegCreateKey ", 1},
        {"start type written, state not", "RegSetValue ImagingServiceState", 1},
        {"record written, not on disk", "RegFlushKey software", 1},
        {"record on disk, stop not sent", "ControlService STOP", 1},
        {"stopped, not disabled", "ChangeServiceConfig 4", 1},
        {"disabled, ImageSent not written", "RegSetValue ImageSent", 1},
        {"ImageSent written, not on disk", "RegFlushKey software", 2},
        {"ImageSent on disk, start type not", "RegFlushKey system", 1},
        {"as the image goes out", ImageWrite(), 1},
        {"in the burn", "", 0},
    };
    const struct {
        const char* name;
        std::uint64_t systemLazyMs, softwareLazyMs;
    } flushes[] = {
        {"no lazy flush", NEVER_MS, NEVER_MS},
        {"SYSTEM flushed lazily", 0, NEVER_MS},
        {"SOFTWARE flushed lazily", NEVER_MS, 0},
    };
    for (const auto& flush : flushes) {
        for (const auto& point : points) {
            SCOPED_TRACE(std::string(point.name) + ", " + flush.name);
            SetUp();
            World().systemLazyFlushMs = flush.systemLazyMs;
            World().softwareLazyFlushMs = flush.softwareLazyMs;
            World().powerCutAtCall = point.call;
            World().powerCutAtCallNumber = point.number;
            if (point.call.empty()) {
                World().powerCutAtMs = 90000;
            }
            EXPECT_TRUE(RunToItsEnd());
            EXPECT_EQ(World().processes[0].endedBy, "power_cut");
            EXPECT_EQ(World().model.burning, point.call.empty());
            // Windows starts again; then the next run.
            World().StartNextProcess();
            EXPECT_FALSE(ServiceBesideABurn()) << "Windows started the service beside the burn";
            // A run that sends its own image follows that burn within its
            // own ten-minute bound; the burn judged here is the dead run's.
            const std::uint32_t burnsAtTheCut = World().model.burnsStarted;
            EXPECT_FALSE(RunAgain());
            EXPECT_FALSE(ServiceBesideABurn() && World().model.burnsStarted == burnsAtTheCut)
                << "the next run started the service beside the burn";
            World().Advance(BURN_MS);
            EXPECT_FALSE(RunAgain());
            EXPECT_EQ(World().serviceNow.state, SERVICE_RUNNING_STATE);
            EXPECT_EQ(World().serviceNow.startType, SERVICE_AUTO_START_TYPE);
            EXPECT_FALSE(Recorded());
        }
    }
}

// Power lost in the burn of a world whose stopped service Windows would
// start as it comes up (automatic), or a trigger would: the run keeps it
// off through the restart and gives it back as it was before any updater
// touched it. A dead run's record whose give-back failed (the service back
// on its own start type but not started) is what this run owes as well:
// its service is given back started, not as the stopped one this run met.
TEST_F(AppPowerCutTest, AServiceThatCanStartByItselfStaysOffThroughARestartInTheBurn)
{
    const struct {
        const char* name;
        std::uint32_t startType;
        bool trigger, deadRunsRecord;
        std::uint32_t stateAfter;
    } cases[] = {
        {"stopped, automatic", SERVICE_AUTO_START_TYPE, false, false, SERVICE_STOPPED_STATE},
        {"stopped on demand, nothing starts it", SERVICE_DEMAND_START_TYPE, false, false, SERVICE_STOPPED_STATE},
        {"a dead run's record, automatic", SERVICE_AUTO_START_TYPE, false, true, SERVICE_RUNNING_STATE},
        {"a dead run's record, on demand with a trigger", SERVICE_DEMAND_START_TYPE, true, true, SERVICE_RUNNING_STATE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().service.state = SERVICE_STOPPED_STATE;
        World().service.startType = c.startType;
        World().service.startTrigger = c.trigger;
        if (c.deadRunsRecord) {
            World().machineKeys[DEBT_KEY]["imagingservicestate"] = SERVICE_RUNNING_STATE;
            World().machineKeys[DEBT_KEY]["imagingservicestarttype"] = c.startType;
            World().machineKeysOnDisk = World().machineKeys;
            World().service.start = SimRefusal{1, 1};
        }
        World().powerCutAtMs = 90000;
        EXPECT_TRUE(RunToItsEnd());
        ASSERT_TRUE(World().model.burning);
        World().StartNextProcess();
        EXPECT_FALSE(ServiceBesideABurn()) << "Windows started the service beside the burn";
        EXPECT_FALSE(RunAgain());
        World().Advance(BURN_MS);
        EXPECT_FALSE(RunAgain());
        EXPECT_EQ(World().serviceNow.state, c.stateAfter);
        EXPECT_EQ(World().serviceNow.startType, c.startType);
        EXPECT_FALSE(Recorded());
    }
}

// A record whose start type the service manager cannot take back (another
// type, another size, a boot, system or unknown start) gives the service
// its default start type instead of being refused on every run; one whose
// state is unreadable is still a record.
TEST_F(AppPowerCutTest, HostileRecordValuesGiveTheServiceItsDefault)
{
    const std::vector<std::uint8_t> two = {2, 0, 0, 0};
    const struct {
        const char* name;
        SimKeyValue state, startType;
    } cases[] = {
        {"start type as text", SERVICE_RUNNING_STATE, SimKeyValue(REG_SZ_TYPE, {'2', 0})},
        {"start type as binary", SERVICE_RUNNING_STATE, SimKeyValue(3, two)},
        {"start type of eight bytes", SERVICE_RUNNING_STATE, SimKeyValue(11, {2, 0, 0, 0, 0, 0, 0, 0})},
        {"start type of two bytes", SERVICE_RUNNING_STATE, SimKeyValue(REG_DWORD_TYPE, {2, 0})},
        {"boot start", SERVICE_RUNNING_STATE, 0u},
        {"system start", SERVICE_RUNNING_STATE, 1u},
        {"start type 5", SERVICE_RUNNING_STATE, 5u},
        {"start type 0xFFFFFFFF", SERVICE_RUNNING_STATE, 0xFFFFFFFFu},
        {"state as text", SimKeyValue(REG_SZ_TYPE, {'4', 0}), SERVICE_AUTO_START_TYPE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().scanner.path = -1;
        World().service.state = SERVICE_STOPPED_STATE;
        World().service.startType = SERVICE_DISABLED_TYPE;
        World().machineKeys[DEBT_KEY]["imagingservicestate"] = c.state;
        World().machineKeys[DEBT_KEY]["imagingservicestarttype"] = c.startType;
        const bool readable = c.startType.type == REG_DWORD_TYPE && c.startType.data.size() == 4 &&
                              (c.startType == SERVICE_AUTO_START_TYPE);
        EXPECT_FALSE(RunToItsEnd());
        EXPECT_EQ(Console(), "0\n" + STARTING + NOT_FOUND + FAILED);
        EXPECT_EQ(World().serviceNow.state, SERVICE_RUNNING_STATE);
        EXPECT_EQ(World().serviceNow.startType,
                  readable ? SERVICE_AUTO_START_TYPE : IMAGING_SERVICE_DEFAULT_START_TYPE);
        EXPECT_FALSE(Recorded());
    }
}

// An ImageSent the updater did not write as a number counts as sent: the
// scanner is asked first, and while it burns the service stays off.
TEST_F(AppPowerCutTest, AnUnreadableImageSentKeepsTheServiceOffWhileTheScannerBurns)
{
    const struct {
        const char* name;
        SimKeyValue imageSent;
    } cases[] = {
        {"one byte of 0", SimKeyValue(3, {0})},
        {"text 0", SimKeyValue(REG_SZ_TYPE, {'0', 0})},
        {"eight bytes", SimKeyValue(11, {0, 0, 0, 0, 0, 0, 0, 0})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().scanner.busyState = scanner_wire::STATE_BURNING_VALUE;
        World().scanner.busyForMs = BURN_MS;
        World().service.state = SERVICE_STOPPED_STATE;
        World().service.startType = SERVICE_DISABLED_TYPE;
        World().machineKeys[DEBT_KEY]["imagingservicestate"] = SERVICE_RUNNING_STATE;
        World().machineKeys[DEBT_KEY]["imagingservicestarttype"] = SERVICE_AUTO_START_TYPE;
        World().machineKeys[DEBT_KEY]["imagesent"] = c.imageSent;
        EXPECT_FALSE(RunToItsEnd());
        EXPECT_EQ(apptest::CountCalls("StartService"), 0u);
        EXPECT_EQ(World().serviceNow.startType, SERVICE_DISABLED_TYPE);
        EXPECT_TRUE(Recorded());
    }
}

// The image goes out only once the record says so on disk and the disabled
// start type is on disk too: a write or flush that fails keeps the image
// back, and the service is given back as after any failed send. A record
// that cannot reach the disk before the stop stops nothing.
TEST_F(AppPowerCutTest, AnImageTheRecordCannotVouchForStaysBack)
{
    const struct {
        const char* name;
        std::uint32_t refusedWrite, refusedFlush;  // 0: none
        bool stopped;
    } cases[] = {
        // The give-back's note comes first: two values and a flush.
        {"ImageSent cannot be written", 5, 0, true},
        {"ImageSent cannot reach the disk", 0, 3, true},
        {"the disabled start type cannot reach the disk", 0, 4, true},
        {"the record cannot reach the disk", 0, 2, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().setValue.first = c.refusedWrite;
        World().flushKey.first = c.refusedFlush;
        World().flushKey.count = 1;
        EXPECT_FALSE(RunToItsEnd());
        EXPECT_EQ(World().model.imageBytes, 0u);
        EXPECT_EQ(World().model.burnsStarted, 0u);
        if (c.stopped) {
            const std::string tail = SEND_DATA_ERROR + STARTING + FAILED;
            EXPECT_EQ(Console().substr(Console().size() - tail.size()), tail);
        } else {
            EXPECT_EQ(World().serviceCalls.control, 0u);
            const std::string tail = CLOSE_FAILED + FAILED;
            EXPECT_EQ(Console().substr(Console().size() - tail.size()), tail);
        }
        EXPECT_EQ(World().serviceNow.state, SERVICE_RUNNING_STATE);
        EXPECT_EQ(World().serviceNow.startType, SERVICE_AUTO_START_TYPE);
        EXPECT_FALSE(Recorded());
    }
}

// A give-back whose start type never reached the disk (its flush failed, so
// its record stayed): the next run sees the service as somebody left it and
// lets the record go, which must wait for that start type to be on disk, or
// power lost next brings back a disabled service with nothing to repair it.
TEST_F(AppPowerCutTest, ARecordGoesOnlyWithTheStartTypeItLeavesOnDisk)
{
    World().scanner.path = -1;
    World().service.state = SERVICE_STOPPED_STATE;
    World().service.startType = SERVICE_DISABLED_TYPE;
    World().machineKeys[DEBT_KEY]["imagingservicestate"] = SERVICE_RUNNING_STATE;
    World().machineKeys[DEBT_KEY]["imagingservicestarttype"] = SERVICE_AUTO_START_TYPE;
    World().flushKey.first = 1;
    World().flushKey.count = 1;
    // The record's removal reaches the disk at once, the start type never
    // by itself.
    World().systemLazyFlushMs = NEVER_MS;
    World().softwareLazyFlushMs = 0;
    EXPECT_FALSE(RunToItsEnd());
    ASSERT_TRUE(Recorded());
    ASSERT_EQ(World().serviceNow.startType, SERVICE_AUTO_START_TYPE);
    ASSERT_EQ(World().startTypeOnDisk, SERVICE_DISABLED_TYPE);
    // The next run, cut off by the power in its closing pause.
    World().powerCutAtCall = "Sleep 20000";
    EXPECT_TRUE(RunAgain());
    World().StartNextProcess();
    EXPECT_FALSE(World().serviceNow.startType == SERVICE_DISABLED_TYPE && !Recorded())
        << "the service came back disabled with no record";
    EXPECT_FALSE(RunAgain());
    EXPECT_EQ(World().serviceNow.state, SERVICE_RUNNING_STATE);
    EXPECT_EQ(World().serviceNow.startType, SERVICE_AUTO_START_TYPE);
    EXPECT_FALSE(Recorded());
}

}  // namespace
