// The burn from the scanner's recovery loader: the scanner takes the image,
// leaves the bus for its power cycle and comes back, and the updater follows
// it only by looking for it once a second.
#include <string>

#include "app/shared.h"
#include "link/discovery.h"
#include "link/wire.h"
#include "tests/logic/sim_fixture.h"
#include "tests/logic/update_texts.h"
#include "update/download.h"

using namespace update_texts;

namespace {

// Presence checks come 6 s (the start delay) plus 1 s per check after the
// image arrived: check k at 6000 + 1000 k ms. Leaving and returning half a
// second between two checks keeps every case clear of a tie.
constexpr std::uint32_t LeavingBefore(int check)
{
    return 6000u + 1000u * static_cast<std::uint32_t>(check) - 500u;
}

// The scanner found gone: the run of progress lines ends and both power
// checks are announced.
std::string Gone()
{
    return "\n" + POWER_OFF_CHECK + POWER_ON_CHECK;
}

class UpdateRecoveryTest : public SimTest {
protected:
    // A scanner in its loader that leaves before check `leaveCheck` and is
    // back before check `backCheck` (0: never leaves).
    void RecoveryScanner(int leaveCheck, int backCheck)
    {
        ScannerConfig& scanner = World().scanner;
        scanner.recovery = true;
        scanner.returnInRecovery = false;
        if (leaveCheck == 0) {
            scanner.leaveAfterMs = 0xFFFFFFFFu;
            scanner.absentMs = 0;
            return;
        }
        scanner.leaveAfterMs = LeavingBefore(leaveCheck);
        scanner.absentMs = 1000u * static_cast<std::uint32_t>(backCheck - leaveCheck);
    }

    void Connect()
    {
        StartWorld();
        DeviceHandle = RediscoverScanner();
        ASSERT_NE(DeviceHandle, NO_HANDLE);
    }
};

struct PowerCycleCase {
    const char* name;
    int leaveCheck;      // first check that finds the scanner gone (0: never)
    int backCheck;       // first check that finds it back
    std::int32_t mode;   // never adds the reboot prompt on this path
    bool result;
    std::string afterUpgradeWait;
};

class UpdatePowerCycleTest : public UpdateRecoveryTest, public ::testing::WithParamInterface<PowerCycleCase> {};

TEST_P(UpdatePowerCycleTest, FollowsTheScannerOffAndOnTheBus)
{
    RecoveryScanner(GetParam().leaveCheck, GetParam().backCheck);
    Connect();
    EXPECT_EQ(DownloadFirmware(FIRMWARE_RESOURCE_ID, GetParam().mode), GetParam().result);
    EXPECT_EQ(Console(), UNTIL_BURN + GetParam().afterUpgradeWait);
    // No status query may reach the loader before it has gone and returned:
    // the only ones are the readiness waits before and after.
    EXPECT_EQ(World().model.statusQueries, GetParam().result ? 2u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, UpdatePowerCycleTest,
    ::testing::Values(
        PowerCycleCase{"NeverLeaves", 0, 0, 0, false, Progress(1, 90) + POWER_OFF_TIMEOUT},
        PowerCycleCase{"GoneAtFirstCheck", 1, 4, 1, true, Gone() + "\n" + BURN_DONE},
        PowerCycleCase{"GoneAtFirstNeverBack", 1, 200, 0, false, Gone() + POWER_ON_TIMEOUT},
        // Present 29 times: checks 31 to 90 remain for its return.
        PowerCycleCase{"BackAtTheLastCheck", 30, 90, 1, true, Progress(1, 29) + Gone() + "\n" + BURN_DONE},
        PowerCycleCase{"BackOneCheckTooLate", 30, 91, 0, false, Progress(1, 29) + Gone() + POWER_ON_TIMEOUT},
        // Leaving at the 90th check still leaves one check to return.
        PowerCycleCase{"LeavesAtCheck90BackAt91", 90, 91, 1, true, Progress(1, 89) + Gone() + "\n" + BURN_DONE},
        PowerCycleCase{"LeavesAtCheck90BackLater", 90, 92, 0, false, Progress(1, 89) + Gone() + POWER_ON_TIMEOUT}),
    [](const auto& info) { return std::string(info.param.name); });

struct ReturnCase {
    const char* name;
    std::int32_t returnPath;
    bool returnInRecovery;
};

class UpdateReturnTest : public UpdateRecoveryTest, public ::testing::WithParamInterface<ReturnCase> {};

TEST_P(UpdateReturnTest, FinishesOnTheScannerWhereverItCameBack)
{
    RecoveryScanner(3, 6);
    World().scanner.returnPath = GetParam().returnPath;
    World().scanner.returnInRecovery = GetParam().returnInRecovery;
    Connect();
    EXPECT_TRUE(DownloadFirmware(FIRMWARE_RESOURCE_ID, 1));
    EXPECT_EQ(Console(), UNTIL_BURN + Progress(1, 2) + Gone() + "\n" + BURN_DONE);
    EXPECT_EQ(std::string(DevicePath), "\\\\.\\usbscan" + std::to_string(GetParam().returnPath));
    // The handles of the checks made before are given back; only the one on
    // the returned scanner stays open.
    EXPECT_EQ(World().deviceOpens - World().deviceCloses, 1u);
}

INSTANTIATE_TEST_SUITE_P(Paths, UpdateReturnTest,
                         ::testing::Values(ReturnCase{"SamePathReady", 0, false},
                                           ReturnCase{"OtherPathReady", 9, false},
                                           ReturnCase{"OtherPathStillInLoader", 200, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateRecoveryTest, BusyAfterReturnIsWaitedForLikeBefore)
{
    RecoveryScanner(2, 4);
    // Status replies in order: the wait before the download, then the wait
    // after the return, which sees the scanner busy twice.
    ScannerConfig& scanner = World().scanner;
    const std::uint16_t replies[] = {STATE_RECOVERY, 3, STATE_BURNING, STATE_READY};
    scanner.scriptLength = 0;
    for (std::uint16_t state : replies) {
        scanner.script[scanner.scriptLength++] = state;
    }
    Connect();
    EXPECT_TRUE(DownloadFirmware(FIRMWARE_RESOURCE_ID, 0));
    EXPECT_EQ(Console(), UNTIL_BURN + Progress(1, 1) + Gone() + "\n" + BUSY + BUSY + BURN_DONE);
}

}  // namespace
