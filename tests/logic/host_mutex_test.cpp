// The two exclusive-use mutexes over the simulated namespace: their names,
// the three tries, the time they cost, and what the slots hold afterwards.
#include <cstdio>
#include <string>

#include "app/shared.h"
#include "host/guards.h"
#include "tests/logic/sim_fixture.h"

namespace {

const std::string SCANNER_PREFIX = "Global\\ORVANE_SCAN_EXT_APP_MUTEX_";
const std::string UTILITY_NAME = "{3F9E21C4-7B0A-4d6e-8C5F-A1D2E3B4C5F6}";

enum class Guard { Scanner, Utility };

bool Acquire(Guard guard)
{
    return guard == Guard::Scanner ? AcquireScannerMutex() : AcquireUtilityMutex();
}

Handle Slot(Guard guard)
{
    return guard == Guard::Scanner ? ScannerMutex : UtilityMutex;
}

class HostMutexGuardTest : public SimTest {
protected:
    void UseFriendlyName(const std::string& name)
    {
        std::snprintf(FriendlyName, sizeof FriendlyName, "%s", name.c_str());
    }

    // Whether the updater owns the named mutex now.
    bool OwnedByUpdater(const std::string& name)
    {
        auto found = World().mutexes.find(name);
        return found != World().mutexes.end() && found->second.updaterOwnership > 0;
    }
};

struct FreeCase {
    const char* name;
    Guard guard;
    std::string friendlyName;
    std::string mutexName;
};

TEST_F(HostMutexGuardTest, FreeMutexIsTakenAtOnceUnderItsName)
{
    const FreeCase cases[] = {
        {"per-scanner", Guard::Scanner, "Orvane S300", SCANNER_PREFIX + "Orvane S300"},
        {"empty friendly name gives the bare prefix", Guard::Scanner, "", SCANNER_PREFIX},
        {"longest name that fits (259 characters)", Guard::Scanner, std::string(226, 'n'),
         SCANNER_PREFIX + std::string(226, 'n')},
        {"utility-wide, friendly name not used", Guard::Utility, "Orvane S300", UTILITY_NAME},
    };
    for (const FreeCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        UseFriendlyName(c.friendlyName);
        StartWorld();
        EXPECT_TRUE(Acquire(c.guard));
        EXPECT_NE(Slot(c.guard), INVALID_HANDLE);
        EXPECT_NE(Slot(c.guard), NO_HANDLE);
        EXPECT_TRUE(OwnedByUpdater(c.mutexName));
        EXPECT_EQ(World().mutexes.size(), 1u) << "exactly one mutex, under exactly that name";
        EXPECT_EQ(World().mutexCreates, 1u);
        EXPECT_EQ(World().nowMs, 0u) << "no pause after a successful try";
        EXPECT_EQ(Console(), "");
    }
}

TEST_F(HostMutexGuardTest, MutexHeldByAnotherApplicationCostsThreeTriesAndThreeSeconds)
{
    for (Guard guard : {Guard::Scanner, Guard::Utility}) {
        SCOPED_TRACE(guard == Guard::Scanner ? "per-scanner" : "utility-wide");
        SetUp();
        UseFriendlyName("Orvane S300");
        World().mutexesHeldByOthers = {guard == Guard::Scanner ? SCANNER_PREFIX + "Orvane S300" : UTILITY_NAME};
        StartWorld();
        EXPECT_FALSE(Acquire(guard));
        EXPECT_EQ(Slot(guard), INVALID_HANDLE);
        EXPECT_EQ(World().mutexCreates, 3u);
        EXPECT_EQ(World().nowMs, 3000u) << "a pause after every failed try, the third included";
        EXPECT_EQ(Console(), "");
    }
}

TEST_F(HostMutexGuardTest, NullHandleCountsAsAFailedTry)
{
    struct Case {
        std::uint32_t refusedCalls;
        bool taken;
        std::uint64_t pauseMs;
    };
    const Case cases[] = {{1, true, 1000}, {2, true, 2000}, {3, false, 3000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.refusedCalls);
        SetUp();
        World().createMutex.first = 1;
        World().createMutex.count = c.refusedCalls;
        StartWorld();
        EXPECT_EQ(AcquireUtilityMutex(), c.taken);
        EXPECT_EQ(UtilityMutex != INVALID_HANDLE, c.taken);
        EXPECT_EQ(World().nowMs, c.pauseMs);
        EXPECT_EQ(OwnedByUpdater(UTILITY_NAME), c.taken);
    }
}

TEST_F(HostMutexGuardTest, FriendlyNameTooLongForTheMutexNameFailsWithoutAnyMutex)
{
    for (std::size_t length : {227u, 240u, 255u}) {
        SCOPED_TRACE(length);
        SetUp();
        UseFriendlyName(std::string(length, 'n'));
        StartWorld();
        EXPECT_FALSE(AcquireScannerMutex());
        EXPECT_EQ(ScannerMutex, INVALID_HANDLE);
        EXPECT_EQ(World().mutexCreates, 0u);
        EXPECT_TRUE(World().mutexes.empty());
        EXPECT_EQ(Console(), "");
    }
}

TEST_F(HostMutexGuardTest, NewMutexReleasesTheOneInTheSlot)
{
    UseFriendlyName("First");
    StartWorld();
    ASSERT_TRUE(AcquireScannerMutex());
    const Handle first = ScannerMutex;
    UseFriendlyName("Second");
    ASSERT_TRUE(AcquireScannerMutex());
    EXPECT_NE(ScannerMutex, first);
    EXPECT_FALSE(OwnedByUpdater(SCANNER_PREFIX + "First"));
    EXPECT_TRUE(OwnedByUpdater(SCANNER_PREFIX + "Second"));
}

TEST_F(HostMutexGuardTest, FailedGuardLeavesAHeldSlotAlone)
{
    UseFriendlyName("Mine");
    World().mutexesHeldByOthers = {SCANNER_PREFIX + "Theirs"};
    StartWorld();
    ASSERT_TRUE(AcquireScannerMutex());
    const Handle mine = ScannerMutex;
    UseFriendlyName("Theirs");
    EXPECT_FALSE(AcquireScannerMutex());
    EXPECT_EQ(ScannerMutex, mine);
    EXPECT_TRUE(OwnedByUpdater(SCANNER_PREFIX + "Mine"));
}

}  // namespace
