#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/mutex.h"
#include "tests/logic/sim_fixture.h"

namespace {

using SimMutexTest = SimTest;

const char SCAN_APP[] = "Global\\ORVANE_SCAN_EXT_APP_MUTEX_Scanner";

TEST_F(SimMutexTest, ANameHeldByAnotherApplicationExistsAndIsNotOwned)
{
    World().mutexesHeldByOthers = {SCAN_APP};
    StartWorld();
    Handle h = CreateOwnedMutex(SCAN_APP);
    EXPECT_NE(h, NO_HANDLE);
    EXPECT_EQ(LastError(), ERROR_ALREADY_EXISTS_CODE);
    EXPECT_EQ(World().mutexes.at(SCAN_APP).updaterOwnership, 0);
    EXPECT_FALSE(ReleaseOwnedMutex(h));
    EXPECT_EQ(LastError(), 288u);
    CloseObject(h);
    EXPECT_EQ(World().mutexes.count(SCAN_APP), 1u) << "the other application still holds it";
}

TEST_F(SimMutexTest, ANewNameIsCreatedAndOwnedByTheUpdater)
{
    StartWorld();
    Handle h = CreateOwnedMutex(SCAN_APP);
    ASSERT_NE(h, NO_HANDLE);
    EXPECT_EQ(LastError(), 0u);
    const SimMutex& m = World().mutexes.at(SCAN_APP);
    EXPECT_TRUE(m.createdByUpdater);
    EXPECT_FALSE(m.heldByOther);
    EXPECT_EQ(m.updaterOwnership, 1);

    // A second create finds it: a handle, "already exists", no more ownership.
    Handle again = CreateOwnedMutex(SCAN_APP);
    EXPECT_NE(again, NO_HANDLE);
    EXPECT_NE(again, h);
    EXPECT_EQ(LastError(), ERROR_ALREADY_EXISTS_CODE);
    EXPECT_EQ(World().mutexes.at(SCAN_APP).updaterOwnership, 1);

    EXPECT_TRUE(ReleaseOwnedMutex(h));
    EXPECT_EQ(World().mutexes.at(SCAN_APP).updaterOwnership, 0);
    EXPECT_FALSE(ReleaseOwnedMutex(h)) << "released once already";
    CloseObject(h);
    CloseObject(again);
    EXPECT_EQ(World().mutexes.count(SCAN_APP), 0u) << "the last handle takes the name with it";
}

TEST_F(SimMutexTest, NamesAreTakenLiterally)
{
    World().mutexesHeldByOthers = {"Global\\{3F9E21C4-7B0A-4d6e-8C5F-A1D2E3B4C5F6}"};
    StartWorld();
    const char* others[] = {"{3F9E21C4-7B0A-4d6e-8C5F-A1D2E3B4C5F6}", "Local\\{3F9E21C4-7B0A-4d6e-8C5F-A1D2E3B4C5F6}",
                            "global\\{3F9E21C4-7B0A-4d6e-8C5F-A1D2E3B4C5F6}"};
    for (const char* name : others) {
        SCOPED_TRACE(name);
        EXPECT_NE(CreateOwnedMutex(name), NO_HANDLE);
        EXPECT_EQ(LastError(), 0u);
    }
}

TEST_F(SimMutexTest, RefusedCreatesReturnNoHandle)
{
    World().createMutex = SimRefusal{2, 1, 5};
    World().mutexesHeldByOthers = {SCAN_APP};
    StartWorld();
    EXPECT_NE(CreateOwnedMutex("A"), NO_HANDLE);
    EXPECT_EQ(CreateOwnedMutex(SCAN_APP), NO_HANDLE);
    EXPECT_EQ(LastError(), 5u);
    EXPECT_NE(CreateOwnedMutex("B"), NO_HANDLE);
    EXPECT_EQ(LastError(), 0u);
    EXPECT_EQ(World().mutexCreates, 3u);
    const std::vector<std::string> expected = {"CreateMutex A", std::string("CreateMutex ") + SCAN_APP, "CreateMutex B"};
    EXPECT_EQ(World().calls, expected);
}

}  // namespace
