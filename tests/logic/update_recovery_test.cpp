// The burn from the scanner's recovery loader: the scanner takes the image,
// leaves the bus for its power cycle and comes back, and the updater follows
// it only by looking for it once a second.
#include <string>
#include <vector>

#include "common/shared.h"
#include "link/discovery.h"
#include "link/wire.h"
#include "tests/logic/console_texts.h"
#include "tests/logic/sim_fixture.h"
#include "update/download.h"

using namespace texts;

namespace {

// The scanner found gone: the run of progress lines ends and both power
// checks are announced; found back, one more line end.
const std::string GONE = "\n" + POWER_OFF_CHECK + POWER_ON_CHECK;
const std::string BACK = GONE + "\n";

class UpdateRecoveryTest : public SimulatedWorldFixture {
protected:
    // A scanner in its loader that leaves before presence check `leaveCheck`
    // and is back before check `backCheck` (0: never leaves). Check k comes
    // 6 s (the start delay) plus k seconds after the image arrived; leaving
    // and returning half a second before a check keeps clear of ties.
    void RecoveryScanner(int leaveCheck, int backCheck)
    {
        SetUp();
        ScannerConfig& scanner = World().scanner;
        scanner.recovery = true;
        scanner.returnInRecovery = false;
        scanner.leaveAfterMs = leaveCheck == 0 ? 0xFFFFFFFFu : 6000u + 1000u * leaveCheck - 500u;
        scanner.absentMs = leaveCheck == 0 ? 0 : 1000u * (backCheck - leaveCheck);
    }

    void Connect()
    {
        StartWorld();
        DeviceHandle = RediscoverScanner();
        ASSERT_NE(DeviceHandle, NO_HANDLE);
    }
};

TEST_F(UpdateRecoveryTest, FollowsTheScannerOffAndOnTheBus)
{
    const struct {
        const char* name;
        int leaveCheck;     // first check that finds the scanner gone (0: never)
        int backCheck;      // first check that finds it back
        std::int32_t mode;  // never adds the reboot prompt on this path
        bool result;
        std::string afterUpgradeWait;
    } cases[] = {
        {"never leaves", 0, 0, 0, false, Progress(1, 90) + POWER_OFF_TIMEOUT},
        {"gone at the first check", 1, 4, 1, true, BACK + BURN_DONE},
        // Present 29 times: checks 31 to 90 remain for its return.
        {"back at the last check", 30, 90, 1, true, Progress(1, 29) + BACK + BURN_DONE},
        {"back one check too late", 30, 91, 0, false, Progress(1, 29) + GONE + POWER_ON_TIMEOUT},
        // Leaving at the 90th check still leaves one check to return.
        {"leaves at check 90, back at 91", 90, 91, 1, true, Progress(1, 89) + BACK + BURN_DONE},
        {"leaves at check 90, back later", 90, 92, 0, false, Progress(1, 89) + GONE + POWER_ON_TIMEOUT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecoveryScanner(c.leaveCheck, c.backCheck);
        Connect();
        EXPECT_EQ(DownloadFirmware(FIRMWARE_RESOURCE_ID, c.mode), c.result);
        EXPECT_EQ(Console(), UNTIL_BURN + c.afterUpgradeWait);
        // No status query may reach the loader before it has gone and
        // returned: the only ones are the readiness waits before and after.
        EXPECT_EQ(World().model.statusQueries, c.result ? 2u : 1u);
    }
}

TEST_F(UpdateRecoveryTest, FinishesOnTheScannerWhereverItCameBack)
{
    const struct {
        std::int32_t returnPath;
        bool returnInRecovery;
    } cases[] = {{0, false}, {9, false}, {200, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.returnPath);
        RecoveryScanner(3, 6);
        World().scanner.returnPath = c.returnPath;
        World().scanner.returnInRecovery = c.returnInRecovery;
        Connect();
        EXPECT_TRUE(DownloadFirmware(FIRMWARE_RESOURCE_ID, 1));
        EXPECT_EQ(Console(), UNTIL_BURN + Progress(1, 2) + BACK + BURN_DONE);
        EXPECT_EQ(std::string(DevicePath), "\\\\.\\usbscan" + std::to_string(c.returnPath));
        // The handles of the earlier checks are given back; only the one on
        // the returned scanner stays open.
        EXPECT_EQ(World().deviceOpens - World().deviceCloses, 1u);
    }
}

// Every presence check is a search of the paths, also the one that finds
// the old handle dead: a device on the bus whose descriptor request fails
// is reported on every pass it is probed, and the search, not the dead
// handle, decides what DeviceHandle holds next. The loader sits at path 1
// and leaves before check 3; a search stops at the scanner, so a failing
// device behind it is probed only while the scanner is away.
TEST_F(UpdateRecoveryTest, EveryPresenceCheckSearchesThePaths)
{
    const struct {
        const char* name;
        int failingPath;
        std::string afterUpgradeWait;
    } cases[] = {
        {"failing device before the scanner", 0,
         DESCRIPTOR_ERROR + Progress(1, 1) + DESCRIPTOR_ERROR + Progress(2, 2) + DESCRIPTOR_ERROR + GONE +
             Repeat(DESCRIPTOR_ERROR, 3) + "\n" + BURN_DONE},
        {"failing device behind the scanner", 5,
         Progress(1, 2) + DESCRIPTOR_ERROR + GONE + Repeat(DESCRIPTOR_ERROR, 2) + "\n" + BURN_DONE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecoveryScanner(3, 6);
        World().scanner.path = 1;
        World().scanner.returnPath = 1;
        SimForeignDevice failing;
        failing.path = c.failingPath;
        failing.descriptorFails = true;
        World().foreignDevices.push_back(failing);
        Connect();
        World().console.clear();
        EXPECT_TRUE(DownloadFirmware(FIRMWARE_RESOURCE_ID, 0));
        EXPECT_EQ(Console(), UNTIL_BURN + c.afterUpgradeWait);
        EXPECT_STREQ(DevicePath, "\\\\.\\usbscan1");
        EXPECT_EQ(World().deviceOpens - World().deviceCloses, 1u) << "only the returned scanner's handle stays open";
    }
}

TEST_F(UpdateRecoveryTest, BusyAfterReturnIsWaitedForLikeBefore)
{
    RecoveryScanner(2, 4);
    // The wait before the download, then the wait after the return, which
    // sees the scanner busy twice.
    const std::vector<std::uint16_t> replies = {STATE_RECOVERY, 3, STATE_BURNING, STATE_READY};
    for (std::uint16_t state : replies) {
        World().scanner.script[World().scanner.scriptLength++] = state;
    }
    Connect();
    EXPECT_TRUE(DownloadFirmware(FIRMWARE_RESOURCE_ID, 0));
    EXPECT_EQ(Console(), UNTIL_BURN + Progress(1, 1) + BACK + BUSY + BUSY + BURN_DONE);
}

}  // namespace
