// Download of the embedded image and the burn on the scanner's normal
// firmware: loading, readiness wait, announcement, the one image write and
// the burn polls.
#include <cstring>
#include <initializer_list>
#include <string>

#include "app/shared.h"
#include "link/discovery.h"
#include "link/wire.h"
#include "platform/sim/sha256.h"
#include "tests/logic/sim_fixture.h"
#include "tests/logic/update_texts.h"
#include "update/download.h"
#include "update/firmware_image.h"

using namespace update_texts;

namespace {

// Calls first .. first + count - 1 in one direction fail as `kind` says.
SimFaultRule Fault(SimDirection direction, SimFaultKind kind, std::uint32_t first, std::uint32_t count)
{
    return SimFaultRule{static_cast<std::uint8_t>(direction), static_cast<std::uint8_t>(kind), first, count, 0};
}

class UpdateDownloadTest : public SimTest {
protected:
    // Starts the world and opens the scanner as discovery leaves it.
    void Connect()
    {
        StartWorld();
        DeviceHandle = RediscoverScanner();
        ASSERT_NE(DeviceHandle, NO_HANDLE);
    }

    // Status replies in order; the first answers the readiness poll.
    void Script(std::initializer_list<std::uint16_t> states)
    {
        ScannerConfig& scanner = World().scanner;
        scanner.scriptLength = 0;
        for (std::uint16_t state : states) {
            scanner.script[scanner.scriptLength++] = state;
        }
    }

    void AddFault(const SimFaultRule& rule)
    {
        World().scanner.faults[World().scanner.faultCount++] = rule;
    }
};

// ---- loading the image ----

struct ResourceCase {
    const char* name;
    SimImage image;
    const std::string* message;
};

class UpdateResourceFailureTest : public UpdateDownloadTest, public ::testing::WithParamInterface<ResourceCase> {};

TEST_P(UpdateResourceFailureTest, PrintsItsMessageAndLeavesTheScannerAlone)
{
    World().image = GetParam().image;
    Connect();
    EXPECT_FALSE(DownloadFirmware(FIRMWARE_RESOURCE_ID, 1));
    EXPECT_EQ(Console(), LOADING + *GetParam().message);
    EXPECT_EQ(World().model.writeCalls, 0u);
    EXPECT_EQ(World().model.readCalls, 0u);
    EXPECT_EQ(World().model.commandsReceived, 0u);
}

INSTANTIATE_TEST_SUITE_P(Image, UpdateResourceFailureTest,
                         ::testing::Values(ResourceCase{"Missing", SimImage::Missing, &FIND_RESOURCE_ERROR},
                                           ResourceCase{"NotLoadable", SimImage::NotLoadable, &LOAD_RESOURCE_ERROR},
                                           ResourceCase{"Empty", SimImage::Empty, &RESOURCE_EMPTY}),
                         [](const auto& info) { return std::string(info.param.name); });

// The simulated executable always locks to an address, so the judgement of
// the lock's result is exercised on its own.
struct LockCase {
    const char* name;
    bool address;
    std::uint32_t size;
    std::string console;
    bool taken;
};

class UpdateLockedImageTest : public UpdateDownloadTest, public ::testing::WithParamInterface<LockCase> {};

TEST_P(UpdateLockedImageTest, NeverTakesAnImageWithoutAddressOrBytes)
{
    StartWorld();
    static const std::uint8_t byte = 0x5A;
    FirmwareImage image{nullptr, 0};
    EXPECT_EQ(TakeLockedImage(GetParam().address ? &byte : nullptr, GetParam().size, &image), GetParam().taken);
    EXPECT_EQ(Console(), GetParam().console);
    EXPECT_EQ(image.data, GetParam().taken ? &byte : nullptr);
    EXPECT_EQ(image.size, GetParam().taken ? GetParam().size : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Lock, UpdateLockedImageTest,
    ::testing::Values(LockCase{"NoAddress", false, 13633428, "Loading firmware (lock resource) error!!\n\n", false},
                      LockCase{"NoAddressNoBytes", false, 0, RESOURCE_EMPTY, false},
                      LockCase{"AddressNoBytes", true, 0, RESOURCE_EMPTY, false},
                      LockCase{"AddressAndBytes", true, 1, "", true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- the image on the wire ----

TEST_F(UpdateDownloadTest, ScannerReceivesExactlyTheEmbeddedImageInOneWrite)
{
    Connect();
    ASSERT_TRUE(DownloadFirmware(FIRMWARE_RESOURCE_ID, 0));

    const ScannerModel& model = World().model;
    EXPECT_EQ(model.downloads, 1u);
    EXPECT_EQ(model.downloadParam, DOWNLOAD_PARAM_NORMAL);
    EXPECT_EQ(model.announcedLength, EmbeddedImageSize());
    EXPECT_EQ(model.imageBytes, EmbeddedImageSize());
    ASSERT_TRUE(model.imageComplete);

    Sha256 ctx;
    Sha256Init(&ctx);
    Sha256Update(&ctx, EmbeddedImageData(), EmbeddedImageSize());
    std::uint8_t expected[32];
    Sha256Final(&ctx, expected);
    EXPECT_EQ(std::memcmp(model.imageSha256, expected, sizeof expected), 0);

    // Every command block is one write call; the image adds exactly one.
    EXPECT_EQ(model.writeCalls, model.commandsReceived + 1);
    EXPECT_EQ(model.protocolErrors, 0u);
}

TEST_F(UpdateDownloadTest, ScannerInRecoveryGetsTheRecoveryParameter)
{
    World().scanner.recovery = true;
    Connect();
    ASSERT_TRUE(DownloadFirmware(FIRMWARE_RESOURCE_ID, 0));
    EXPECT_EQ(World().model.downloadParam, DOWNLOAD_PARAM_RECOVERY);
    EXPECT_EQ(World().model.announcedLength, EmbeddedImageSize());
    EXPECT_EQ(World().model.imageBytes, EmbeddedImageSize());
}

// ---- failures around the image write ----

struct WireFailureCase {
    const char* name;
    SimFaultRule fault;
    std::string console;
    std::uint32_t commands;  // command blocks the scanner received: none after the failure
};

class UpdateWireFailureTest : public UpdateDownloadTest, public ::testing::WithParamInterface<WireFailureCase> {};

TEST_P(UpdateWireFailureTest, StopsWithTheStagesMessage)
{
    AddFault(GetParam().fault);
    Connect();
    EXPECT_FALSE(DownloadFirmware(FIRMWARE_RESOURCE_ID, 1));
    EXPECT_EQ(Console(), GetParam().console);
    EXPECT_EQ(World().model.commandsReceived, GetParam().commands);
}

// Write calls: 1 readiness poll, 2 announcement, 3 the image. Read calls:
// 1 readiness reply, 2 announcement reply. The retrying exchange tries each
// stage five times before it reports.
INSTANTIATE_TEST_SUITE_P(
    Download, UpdateWireFailureTest,
    ::testing::Values(
        WireFailureCase{"ReadinessReplyNeverReadable",
                        Fault(SIM_DIR_READ, SIM_FAULT_CALL_FAILS, 1, 5),
                        LOADING + CHECKING + USB_READ_ERROR + STATUS_ERROR, 1},
        WireFailureCase{"AnnouncementNeverWritten",
                        Fault(SIM_DIR_WRITE, SIM_FAULT_CALL_FAILS, 2, 5),
                        LOADING + CHECKING + SENDING + USB_WRITE_ERROR + SEND_COMMAND_ERROR, 1},
        WireFailureCase{"ImageWriteFails", Fault(SIM_DIR_WRITE, SIM_FAULT_CALL_FAILS, 3, 1),
                        LOADING + CHECKING + SENDING + USB_WRITE_ERROR + SEND_DATA_ERROR, 2},
        WireFailureCase{"ImageWriteNeverCompletes",
                        Fault(SIM_DIR_WRITE, SIM_FAULT_WAIT_TIMEOUT, 3, 1),
                        LOADING + CHECKING + SENDING + USB_TIMEOUT + SEND_DATA_ERROR, 2}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- readiness wait ----

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

struct TickStartCase {
    const char* name;
    std::uint32_t tickAtStart;
};

class UpdateReadinessBoundTest : public UpdateDownloadTest, public ::testing::WithParamInterface<TickStartCase> {};

TEST_P(UpdateReadinessBoundTest, TenMinutesOfBusyRepliesEndTheWait)
{
    World().tickAtStart = GetParam().tickAtStart;
    World().scanner.busyState = 3;
    World().scanner.busyForMs = 0xFFFFFFFFu;
    Connect();
    const std::uint64_t startMs = World().nowMs;
    EXPECT_FALSE(DownloadFirmware(FIRMWARE_RESOURCE_ID, 0));
    // Polls at 0 s, 1 s, ... 599 s; none starts once ten minutes are over.
    EXPECT_EQ(Console(), LOADING + CHECKING + Repeat(BUSY, 600) + NOT_RESPONDING);
    EXPECT_EQ(World().model.statusQueries, 600u);
    EXPECT_EQ(World().model.downloads, 0u);
    EXPECT_GE(World().nowMs - startMs, 600000u);
    EXPECT_LT(World().nowMs - startMs, 601000u);
}

INSTANTIATE_TEST_SUITE_P(Ticks, UpdateReadinessBoundTest,
                         ::testing::Values(TickStartCase{"FarFromTheWrap", 0x10000000u},
                                           TickStartCase{"WrapsDuringTheWait", 0xFFFFFFFFu - 5000u},
                                           TickStartCase{"WrapsJustAtTheStart", 0xFFFFFFFFu}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- burn on normal firmware ----

struct BurnModeCase {
    std::int32_t mode;
    bool rebootPrompt;
};

class UpdateNormalBurnModeTest : public UpdateDownloadTest, public ::testing::WithParamInterface<BurnModeCase> {};

TEST_P(UpdateNormalBurnModeTest, NumbersEachBurningPollAndPromptsOnlyInModeOne)
{
    Script({STATE_READY, STATE_BURNING, STATE_BURNING, STATE_BURNING, STATE_READY});
    Connect();
    EXPECT_TRUE(DownloadFirmware(FIRMWARE_RESOURCE_ID, GetParam().mode));
    EXPECT_EQ(Console(), UNTIL_BURN + Progress(1, 3) + BURN_DONE + (GetParam().rebootPrompt ? REBOOT : ""));
}

INSTANTIATE_TEST_SUITE_P(Modes, UpdateNormalBurnModeTest,
                         ::testing::Values(BurnModeCase{0, false}, BurnModeCase{1, true}, BurnModeCase{2, false},
                                           BurnModeCase{-1, false}),
                         [](const auto& info) {
                             return "Mode" + std::string(info.param.mode < 0 ? "Minus" : "") +
                                    std::to_string(info.param.mode < 0 ? -info.param.mode : info.param.mode);
                         });

struct BurnFailureCase {
    const char* name;
    std::uint16_t burningPolls;  // STATE_BURNING replies before the bad one
    std::uint16_t badState;
};

class UpdateNormalBurnFailureTest : public UpdateDownloadTest, public ::testing::WithParamInterface<BurnFailureCase> {};

TEST_P(UpdateNormalBurnFailureTest, AnyStateButBurningOrReadyIsAFailedBurn)
{
    ScannerConfig& scanner = World().scanner;
    scanner.scriptLength = 0;
    scanner.script[scanner.scriptLength++] = STATE_READY;
    for (int i = 0; i < GetParam().burningPolls; ++i) {
        scanner.script[scanner.scriptLength++] = STATE_BURNING;
    }
    scanner.script[scanner.scriptLength++] = GetParam().badState;
    Connect();
    EXPECT_FALSE(DownloadFirmware(FIRMWARE_RESOURCE_ID, 1));
    EXPECT_EQ(Console(), UNTIL_BURN + Progress(1, GetParam().burningPolls) + BURN_ERROR);
}

INSTANTIATE_TEST_SUITE_P(States, UpdateNormalBurnFailureTest,
                         ::testing::Values(BurnFailureCase{"RecoveryAtOnce", 0, STATE_RECOVERY},
                                           BurnFailureCase{"BusyAtOnce", 0, 1},
                                           BurnFailureCase{"AllBitsAtOnce", 0, 0xFFFF},
                                           BurnFailureCase{"RecoveryAfterTwo", 2, STATE_RECOVERY}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateDownloadTest, ChineseConsoleKeepsTheProgressLineEnglish)
{
    // Code page 950 bytes of the Traditional Chinese texts.
    const std::string loading = "\xa9\x54\xa5\xf3\xb8\xcb\xb8\xfc\xa4\xa4...\n\n";
    const std::string checking = "\xc0\xcb\xac\x64\xb6\xb4\xc5\xe9...\n\n";
    const std::string sending = "\xb5\x6f\xb0\x65\xb6\xb4\xc5\xe9...\n\n";
    const std::string upgradeWait =
        "\xb6\xb4\xc5\xe9\xa4\xc9\xaf\xc5\xa1\x41\xbd\xd0\xb5\x79\xad\xd4...\n"
        "\xa6\x62\xb6\xb4\xc5\xe9\xa7\xf3\xb7\x73\xb4\xc1\xb6\xa1\xa1\x41\xbd\xd0\xbd\x54\xab\x4f"
        "\xb3\x5d\xb3\xc6\xb9\x71\xb7\xbd\xc1\xf4\xa9\x77\xa1\x43\n\n";
    const std::string burnDone = "\xa4\xc9\xaf\xc5\xb6\xb4\xc5\xe9\xa7\xb9\xb2\xa6!!\n\n";
    const std::string reboot = "\xbd\xd0\xad\xab\xb1\xd2\xb1\xbd\xb4\x79\xbe\xb9...\n\n";

    Script({STATE_READY, STATE_BURNING, STATE_BURNING, STATE_READY});
    Connect();
    Language = 1;
    EXPECT_TRUE(DownloadFirmware(FIRMWARE_RESOURCE_ID, 1));
    EXPECT_EQ(Console(), loading + checking + sending + upgradeWait + Progress(1, 2) + burnDone + reboot);
}

TEST_F(UpdateDownloadTest, BurnPollThatCannotBeExchangedIsAFailedBurn)
{
    Script({STATE_READY, STATE_BURNING});
    // Reads 1 and 2 answer the readiness poll and the announcement, read 3
    // the first burn poll; from the second burn poll on nothing comes back.
    AddFault(Fault(SIM_DIR_READ, SIM_FAULT_CALL_FAILS, 4, 5));
    Connect();
    EXPECT_FALSE(DownloadFirmware(FIRMWARE_RESOURCE_ID, 1));
    EXPECT_EQ(Console(), UNTIL_BURN + Progress(1, 1) + USB_READ_ERROR + BURN_ERROR);
}

}  // namespace
