// The two exclusive-use mutexes over the simulated namespace: their names,
// the three tries, the time they cost, and what the slots hold afterwards.
#include <cstdio>
#include <string>

#include "common/shared.h"
#include "host/guards.h"
#include "platform/mutex.h"
#include "tests/logic/sim_fixture.h"

namespace {

const std::string SCANNER_PREFIX = "Global\\ORVANE_SCAN_EXT_APP_MUTEX_";
const std::string UTILITY_NAME = "{3F9E21C4-7B0A-4d6e-8C5F-A1D2E3B4C5F6}";

class HostMutexTest : public SimulatedWorldFixture {
protected:
    void Prepare(const std::string& friendlyName)
    {
        SetUp();
        std::snprintf(FriendlyName, sizeof FriendlyName, "%s", friendlyName.c_str());
    }
    bool Acquire(bool scanner) { return scanner ? AcquireScannerMutex() : AcquireUtilityMutex(); }
    Handle Slot(bool scanner) { return scanner ? ScannerMutex : UtilityMutex; }
    bool OwnedByUpdater(const std::string& name)
    {
        auto found = World().mutexes.find(name);
        return found != World().mutexes.end() && found->second.OwnedBy(0);
    }
};

TEST_F(HostMutexTest, FreeMutexIsTakenAtOnceUnderItsName)
{
    const struct {
        const char* name;
        bool scanner;
        std::string friendlyName, mutexName;
    } cases[] = {
        {"per-scanner", true, "Orvane S300", SCANNER_PREFIX + "Orvane S300"},
        {"empty friendly name gives the bare prefix", true, "", SCANNER_PREFIX},
        {"longest name that fits (259 characters)", true, std::string(226, 'n'),
         SCANNER_PREFIX + std::string(226, 'n')},
        {"utility-wide, friendly name not used", false, "Orvane S300", UTILITY_NAME},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Prepare(c.friendlyName);
        StartWorld();
        EXPECT_TRUE(Acquire(c.scanner));
        EXPECT_NE(Slot(c.scanner), INVALID_HANDLE);
        EXPECT_TRUE(OwnedByUpdater(c.mutexName));
        EXPECT_EQ(World().mutexes.size(), 1u) << "exactly one mutex, under exactly that name";
        EXPECT_EQ(World().nowMs, 0u) << "no pause after a successful try";
        EXPECT_EQ(Console(), "");
    }
}

// Held by another application, refused outright, or too long a name: each
// try costs a pause, three tries at most, and nothing lands in the slot. A
// failed try gives back the handle it got, so an application that lets go
// during the pauses leaves the name free for the next try.
TEST_F(HostMutexTest, TriesThreeTimesWithAPauseAfterEachFailure)
{
    const struct {
        const char* name;
        bool scanner;
        std::string friendlyName;
        std::string heldByOther;
        std::uint64_t otherLetsGoAtMs;
        std::uint32_t refusedCreates;
        bool taken;
        std::uint32_t creates;
        std::uint64_t pauseMs;
    } cases[] = {
        {"per-scanner held by the scan application", true, "Orvane S300", SCANNER_PREFIX + "Orvane S300", NEVER_MS, 0,
         false, 3, 3000},
        {"utility-wide held by the utility", false, "Orvane S300", UTILITY_NAME, NEVER_MS, 0, false, 3, 3000},
        // Tries at 0, 1 and 2 s: the one after the release creates it anew.
        {"scan application lets go 1.5 s in", true, "Orvane S300", SCANNER_PREFIX + "Orvane S300", 1500, 0, true, 3,
         2000},
        {"utility lets go 0.5 s in", false, "", UTILITY_NAME, 500, 0, true, 2, 1000},
        {"null handle once, then taken", false, "", "", NEVER_MS, 1, true, 2, 1000},
        {"null handle three times", false, "", "", NEVER_MS, 3, false, 3, 3000},
        // The platform refuses a backslash after the namespace prefix.
        {"friendly name holding a backslash", true, "Orvane\\S300", "", NEVER_MS, 0, false, 3, 3000},
        // A cut name would be somebody else's mutex, or nobody's.
        {"friendly name one too long for the mutex name", true, std::string(227, 'n'), "", NEVER_MS, 0, false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Prepare(c.friendlyName);
        if (!c.heldByOther.empty()) {
            World().mutexesHeldByOthers = {c.heldByOther};
            World().mutexReleasesByOthers[c.heldByOther] = c.otherLetsGoAtMs;
        }
        World().createMutex.first = c.refusedCreates == 0 ? 0 : 1;
        World().createMutex.count = c.refusedCreates;
        StartWorld();
        EXPECT_EQ(Acquire(c.scanner), c.taken);
        EXPECT_EQ(Slot(c.scanner) != INVALID_HANDLE, c.taken);
        EXPECT_EQ(World().mutexCreates, c.creates);
        EXPECT_EQ(World().nowMs, c.pauseMs);
        EXPECT_EQ(Console(), "");
        int openMutexHandles = 0;
        for (const SimObject& object : World().objects) {
            openMutexHandles += object.kind == SimObjectKind::Mutex && object.open ? 1 : 0;
        }
        EXPECT_EQ(openMutexHandles, c.taken ? 1 : 0) << "only the slot's handle stays open";
    }
}

// The simulated namespace refuses names the way the platform does.
TEST_F(HostMutexTest, NamespaceRefusesABackslashAfterThePrefix)
{
    const struct {
        const char* name;
        bool refused;
    } cases[] = {
        {"Global\\ORVANE_SCAN_EXT_APP_MUTEX_Orvane DS-1200", false},
        {"Global\\ORVANE_SCAN_EXT_APP_MUTEX_Orvane\\DS-1200", true},
        {"Local\\a\\b", true},
        {"{3F9E21C4-7B0A-4d6e-8C5F-A1D2E3B4C5F6}", false},
        {"plain\\name", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        StartWorld();
        const Handle mutex = CreateOwnedMutex(c.name);
        EXPECT_EQ(mutex == NO_HANDLE, c.refused);
        EXPECT_EQ(LastError(), c.refused ? 3u : 0u);
        EXPECT_EQ(World().mutexes.size(), c.refused ? 0u : 1u);
    }
}

TEST_F(HostMutexTest, NewMutexReplacesTheSlotsOneAndAFailedOneLeavesItAlone)
{
    Prepare("First");
    World().mutexesHeldByOthers = {SCANNER_PREFIX + "Theirs"};
    StartWorld();
    ASSERT_TRUE(AcquireScannerMutex());
    const Handle first = ScannerMutex;
    std::snprintf(FriendlyName, sizeof FriendlyName, "%s", "Second");
    ASSERT_TRUE(AcquireScannerMutex());
    EXPECT_NE(ScannerMutex, first);
    EXPECT_FALSE(OwnedByUpdater(SCANNER_PREFIX + "First"));
    EXPECT_TRUE(OwnedByUpdater(SCANNER_PREFIX + "Second"));

    const Handle second = ScannerMutex;
    std::snprintf(FriendlyName, sizeof FriendlyName, "%s", "Theirs");
    EXPECT_FALSE(AcquireScannerMutex());
    EXPECT_EQ(ScannerMutex, second);
    EXPECT_TRUE(OwnedByUpdater(SCANNER_PREFIX + "Second"));
}

}  // namespace
