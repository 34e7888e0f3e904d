// Download of the embedded image and the burn on the scanner's normal
// firmware: loading, readiness wait, announcement, the one image write and
// the burn polls.
#include <cstring>
#include <string>
#include <vector>

#include "common/sha256.h"
#include "common/shared.h"
#include "link/discovery.h"
#include "link/wire.h"
#include "platform/sim/objects.h"
#include "tests/logic/console_texts.h"
#include "tests/logic/sim_fixture.h"
#include "update/download.h"
#include "update/firmware_image.h"

using namespace texts;

namespace {

class UpdateDownloadTest : public SimulatedWorldFixture {
protected:
    // Starts the world and opens the scanner as discovery leaves it.
    void Connect()
    {
        StartWorld();
        DeviceHandle = RediscoverScanner();
        ASSERT_NE(DeviceHandle, NO_HANDLE);
    }

    // Status replies in order; the first answers the readiness poll.
    void Script(const std::vector<std::uint16_t>& states)
    {
        ScannerConfig& scanner = World().scanner;
        for (std::uint16_t state : states) {
            scanner.script[scanner.scriptLength++] = state;
        }
    }

    void AddFault(SimDirection direction, SimFaultKind kind, std::uint32_t first, std::uint32_t count)
    {
        World().scanner.faults[World().scanner.faultCount++] = SimFaultRule{direction, kind, first, count, 0};
    }
};

TEST_F(UpdateDownloadTest, ImageThatCannotBeLoadedLeavesTheScannerAlone)
{
    const struct {
        SimImage image;
        std::string message;
    } cases[] = {{SimImage::Missing, FIND_RESOURCE_ERROR},
                 {SimImage::NotLoadable, LOAD_RESOURCE_ERROR},
                 {SimImage::Empty, RESOURCE_EMPTY}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        SetUp();
        World().image = c.image;
        Connect();
        EXPECT_FALSE(DownloadFirmware(FIRMWARE_RESOURCE_ID, 1));
        EXPECT_EQ(Console(), LOADING + c.message);
        EXPECT_EQ(World().model.writeCalls + World().model.readCalls, 0u);
    }
}

// The simulated executable always locks to an address, so the judgement of
// the lock's result is exercised on its own.
TEST_F(UpdateDownloadTest, NeverTakesALockedImageWithoutAddressOrBytes)
{
    static const std::uint8_t byte = 0x5A;
    const struct {
        const std::uint8_t* address;
        std::uint32_t size;
        std::string console;
    } cases[] = {
        {nullptr, 13633428, "Loading firmware (lock resource) error!!\n\n"},
        {nullptr, 0, RESOURCE_EMPTY},
        {&byte, 0, RESOURCE_EMPTY},
        {&byte, 1, ""},
    };
    StartWorld();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        World().console.clear();
        const bool taken = c.console.empty();
        FirmwareImage image{nullptr, 0};
        EXPECT_EQ(TakeLockedImage(c.address, c.size, &image), taken);
        EXPECT_EQ(Console(), c.console);
        EXPECT_EQ(image.data, taken ? &byte : nullptr);
        EXPECT_EQ(image.size, taken ? c.size : 0u);
    }
}

TEST_F(UpdateDownloadTest, ScannerReceivesExactlyTheEmbeddedImageInOneWrite)
{
    std::uint8_t expected[32];
    Sha256 ctx;
    Sha256Init(&ctx);
    Sha256Update(&ctx, EmbeddedImageData(), EmbeddedImageSize());
    Sha256Final(&ctx, expected);
    for (const bool recovery : {false, true}) {
        SCOPED_TRACE(recovery ? "recovery loader" : "normal firmware");
        SetUp();
        World().scanner.recovery = recovery;
        Connect();
        ASSERT_TRUE(DownloadFirmware(FIRMWARE_RESOURCE_ID, 0));
        const ScannerModel& model = World().model;
        EXPECT_EQ(model.downloads, 1u);
        EXPECT_EQ(model.downloadParam, recovery ? DOWNLOAD_PARAM_RECOVERY : DOWNLOAD_PARAM_NORMAL);
        EXPECT_EQ(model.announcedLength, EmbeddedImageSize());
        EXPECT_EQ(model.imageBytes, EmbeddedImageSize());
        ASSERT_TRUE(model.imageComplete);
        EXPECT_EQ(std::memcmp(model.imageSha256, expected, sizeof expected), 0);
        // Every command block is one write call; the image adds exactly one.
        EXPECT_EQ(model.writeCalls, model.commandsReceived + 1);
        EXPECT_EQ(model.protocolErrors, 0u);
    }
}

// Write calls: 1 readiness poll, 2 announcement, 3 the image. Read calls:
// 1 readiness reply, 2 announcement reply. The retrying exchange tries each
// stage five times before it reports.
TEST_F(UpdateDownloadTest, FailedTransferStopsWithItsStagesMessage)
{
    const struct {
        const char* name;
        SimDirection direction;
        SimFaultKind kind;
        std::uint32_t first, count;
        std::string console;
        std::uint32_t commands;  // command blocks the scanner received: none after the failure
    } cases[] = {
        {"readiness reply never readable", SIM_DIR_READ, SIM_FAULT_CALL_FAILS, 1, 5,
         LOADING + CHECKING + USB_READ_ERROR + STATUS_ERROR, 1},
        {"announcement never written", SIM_DIR_WRITE, SIM_FAULT_CALL_FAILS, 2, 5,
         LOADING + CHECKING + SENDING + USB_WRITE_ERROR + SEND_COMMAND_ERROR, 1},
        {"image write fails", SIM_DIR_WRITE, SIM_FAULT_CALL_FAILS, 3, 1,
         LOADING + CHECKING + SENDING + USB_WRITE_ERROR + SEND_DATA_ERROR, 2},
        {"image write stalls", SIM_DIR_WRITE, SIM_FAULT_STALL, 3, 1,
         LOADING + CHECKING + SENDING + USB_WRITE_ERROR + SEND_DATA_ERROR, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        AddFault(c.direction, c.kind, c.first, c.count);
        Connect();
        EXPECT_FALSE(DownloadFirmware(FIRMWARE_RESOURCE_ID, 1));
        EXPECT_EQ(Console(), c.console);
        EXPECT_EQ(World().model.commandsReceived, c.commands);
    }
}

// A scanner that falls silent once it has answered the readiness poll and
// the announcement (two requests each) never takes the image. The write is
// held for the room it was given, 5 s and a second for every 256 KiB: 57 s
// for the shipped 13,633,428 bytes, typed as a number so that a change of
// the rate shows here. The handle has its command time-outs back after it.
TEST_F(UpdateDownloadTest, ImageWriteToASilentScannerIsHeldForTheRoomItWasGiven)
{
    World().scanner.silentByCount = true;
    World().scanner.silentAfterTransfers = 4;
    Connect();
    ASSERT_EQ(EmbeddedImageSize(), 13633428u);
    EXPECT_FALSE(DownloadFirmware(FIRMWARE_RESOURCE_ID, 1));
    EXPECT_EQ(Console(), LOADING + CHECKING + SENDING + USB_WRITE_ERROR + SEND_DATA_ERROR);
    EXPECT_EQ(World().model.unanswered, 1u);
    EXPECT_EQ(World().model.imageBytes, 0u);
    EXPECT_EQ(World().longestCallMs, 57000u);
    const SimObject* device = FindSimObject(DeviceHandle, SimObjectKind::Device);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->timeouts.TimeoutWrite, 5u);
    EXPECT_EQ(device->timeouts.TimeoutRead, 5u);
}

TEST_F(UpdateDownloadTest, BusyScannerIsPolledOnceASecondThenReady)
{
    // Burning counts as busy while waiting for an idle scanner.
    World().scanner.busyState = STATE_BURNING;
    World().scanner.busyForMs = 2500;
    Connect();
    ASSERT_TRUE(DownloadFirmware(FIRMWARE_RESOURCE_ID, 0));
    // Busy at 0, 1 and 2 s, ready at 3 s; the burn is over before the
    // first burn poll.
    EXPECT_EQ(Console(), LOADING + CHECKING + Repeat(BUSY, 3) + SENDING + UPGRADE_WAIT + BURN_DONE);
}

TEST_F(UpdateDownloadTest, TenMinutesOfBusyRepliesEndTheWaitAcrossTheTickWrap)
{
    for (const std::uint32_t tick : {0x10000000u, 0xFFFFFFFFu - 5000u}) {
        SCOPED_TRACE(tick);
        SetUp();
        World().tickAtStart = tick;
        World().scanner.busyState = 3;
        World().scanner.busyForMs = 0xFFFFFFFFu;
        Connect();
        EXPECT_FALSE(DownloadFirmware(FIRMWARE_RESOURCE_ID, 0));
        // Polls at 0 s, 1 s, ... 600 s: the one that finds the ten minutes
        // over is the last, and says not responding instead of busy.
        EXPECT_EQ(Console(), LOADING + CHECKING + Repeat(BUSY, 600) + NOT_RESPONDING);
        EXPECT_EQ(World().model.statusQueries, 601u);
        EXPECT_EQ(World().model.downloads, 0u);
        EXPECT_GE(World().nowMs, 600000u);
        EXPECT_LT(World().nowMs, 601000u);
    }
}

TEST_F(UpdateDownloadTest, NumbersEachBurningPollAndPromptsOnlyInModeOne)
{
    for (const std::int32_t mode : {0, 1, 2}) {
        SCOPED_TRACE(mode);
        SetUp();
        Script({STATE_READY, STATE_BURNING, STATE_BURNING, STATE_BURNING, STATE_READY});
        Connect();
        EXPECT_TRUE(DownloadFirmware(FIRMWARE_RESOURCE_ID, mode));
        EXPECT_EQ(Console(), UNTIL_BURN + Progress(1, 3) + BURN_DONE + (mode == 1 ? REBOOT : ""));
    }
}

// The burn polls get the readiness wait's ten minutes, counted from the
// first burn poll, which comes 6 s after the image arrived: polls at 0 s,
// 1 s, ... 600 s. The bound is looked at after each answer, so the scanner
// has the last word: ready at the poll that finds the bound passed is done.
TEST_F(UpdateDownloadTest, TenMinutesOfBurningEndTheBurnAcrossTheTickWrap)
{
    const struct {
        const char* name;
        std::uint32_t burnMs;  // from the image's arrival
        bool done;
        int progressLines;
    } cases[] = {
        {"ready at the last poll inside the bound", 6000 + 599000, true, 599},
        {"ready at the poll that finds the bound passed", 6000 + 600000, true, 600},
        {"still burning at that poll", 6000 + 600001, false, 600},
    };
    for (const std::uint32_t tick : {0x10000000u, 0xFFFFFFFFu - 10000u}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " from tick " + std::to_string(tick));
            SetUp();
            World().tickAtStart = tick;
            World().scanner.burnMs = c.burnMs;
            Connect();
            EXPECT_EQ(DownloadFirmware(FIRMWARE_RESOURCE_ID, 0), c.done);
            EXPECT_EQ(Console(), UNTIL_BURN + Progress(1, c.progressLines) + (c.done ? BURN_DONE : BURN_ERROR));
            // The readiness poll, the announcement, then one poll a line and
            // the one that ended the burn either way.
            EXPECT_EQ(World().model.commandsReceived, 2u + c.progressLines + 1u);
            EXPECT_LT(World().nowMs, 6000u + 600000u + 1000u);
        }
    }
}

TEST_F(UpdateDownloadTest, AnyStateButBurningOrReadyIsAFailedBurn)
{
    const struct {
        int burningPolls;  // STATE_BURNING replies before the bad one
        std::uint16_t badState;
    } cases[] = {{0, STATE_RECOVERY}, {0, 1}, {2, STATE_RECOVERY}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.badState);
        SetUp();
        Script({STATE_READY});
        Script(std::vector<std::uint16_t>(c.burningPolls, STATE_BURNING));
        Script({c.badState});
        Connect();
        EXPECT_FALSE(DownloadFirmware(FIRMWARE_RESOURCE_ID, 1));
        EXPECT_EQ(Console(), UNTIL_BURN + Progress(1, c.burningPolls) + BURN_ERROR);
    }
}

TEST_F(UpdateDownloadTest, BurnPollThatCannotBeExchangedIsAFailedBurn)
{
    Script({STATE_READY, STATE_BURNING});
    // Reads 1 and 2 answer the readiness poll and the announcement, read 3
    // the first burn poll; from the second burn poll on nothing comes back.
    AddFault(SIM_DIR_READ, SIM_FAULT_CALL_FAILS, 4, 5);
    Connect();
    EXPECT_FALSE(DownloadFirmware(FIRMWARE_RESOURCE_ID, 1));
    EXPECT_EQ(Console(), UNTIL_BURN + Progress(1, 1) + USB_READ_ERROR + BURN_ERROR);
}

}  // namespace
