// A run without elevation: Windows refuses the protected calls (the
// registry's HKLM keys, the service manager, the global namespace), and the
// updater says so once, before it touches any of them, and changes nothing.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "platform/mutex.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "tests/logic/app_test_support.h"
#include "tests/logic/console_texts.h"

namespace {

using namespace texts;

constexpr std::uint32_t ACCESS_DENIED = 5;
constexpr std::uint32_t ALREADY_EXISTS = 183;

class AppElevationTest : public AppRunFixture {
protected:
    // A dead run's record with the service it left disabled.
    static void LeaveADeadRunsRecord()
    {
        World().machineKeys[apptest::DEBT_KEY] = {{"imagingservicestate", SERVICE_RUNNING_STATE},
                                                  {"imagingservicestarttype", SERVICE_AUTO_START_TYPE}};
        World().service.state = SERVICE_STOPPED_STATE;
        World().service.startType = SERVICE_DISABLED_TYPE;
    }
    static std::size_t ProtectedCalls()
    {
        std::size_t count = 0;
        for (const char* prefix : {"CreateMutex", "RegOpenKey", "RegCreateKey", "RegDeleteKey", "OpenSCManager"}) {
            count += apptest::CountCalls(prefix);
        }
        return count;
    }
};

TEST_F(AppElevationTest, AnUnelevatedRunSaysSoOnceAndChangesNothing)
{
    const struct {
        const char* name;
        std::uint16_t language;
        bool deadRunsRecord;
        bool updaterMutexExists;
        std::string line;
    } cases[] = {
        {"a plain PC", 0x0409, false, false, NOT_ELEVATED},
        {"a dead run's record and its disabled service", 0x0409, true, false, NOT_ELEVATED},
        {"another copy made the updater mutex", 0x0409, false, true, NOT_ELEVATED},
        {"Traditional Chinese", 0x0404, false, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().elevated = false;
        World().languageId = c.language;
        if (c.deadRunsRecord) {
            LeaveADeadRunsRecord();
        }
        if (c.updaterMutexExists) {
            World().mutexesHeldByOthers.push_back("Global\\fwupdate-update");
        }
        const auto recordBefore = World().machineKeys;
        EXPECT_EQ(Run(), 0);
        if (c.language == 0x0404) {
            EXPECT_NE(apptest::Big5ToUtf8(Console()).find("請以系統管理員身分執行此程式"), std::string::npos);
            EXPECT_EQ(apptest::Big5ToUtf8(Console()).find("設備"), std::string::npos);
        } else {
            EXPECT_EQ(Console(), "0\n" + c.line + FAILED);
        }
        EXPECT_EQ(ProtectedCalls(), 0u);
        EXPECT_EQ(World().deviceOpenAttempts, 0u);
        EXPECT_EQ(World().machineKeys, recordBefore);
        EXPECT_EQ(World().serviceNow.state, World().service.state);
        EXPECT_EQ(World().serviceNow.startType, World().service.startType);
        EXPECT_EQ(World().model.downloads, 0u);
    }
}

// An elevated run never prints the line.
TEST_F(AppElevationTest, AnElevatedRunGoesOnAsBefore)
{
    Run();
    EXPECT_EQ(Console().find(NOT_ELEVATED), std::string::npos);
    EXPECT_EQ(Console().rfind("0\n" + FOUND, 0), 0u);
}

// What the simulated PC refuses a process that is not elevated, as Windows
// does; an elevated one gets every call.
TEST_F(AppElevationTest, TheSimulatedPcRefusesWhatWindowsRefuses)
{
    for (const bool elevated : {false, true}) {
        SCOPED_TRACE(elevated ? "elevated" : "not elevated");
        SetUp();
        World().elevated = elevated;
        World().mutexesHeldByOthers.push_back("Global\\other-app");
        World().machineKeys[apptest::DEBT_KEY] = {};
        StartWorld();
        const std::int32_t refused = elevated ? 0 : static_cast<std::int32_t>(ACCESS_DENIED);
        Handle key = NO_HANDLE;
        EXPECT_EQ(OpenMachineKey("SYSTEM\\CurrentControlSet\\Control\\Class\\"
                                 "{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\0000",
                                 &key),
                  refused);
        EXPECT_EQ(OpenMachineKey("SOFTWARE\\fwupdate", &key), refused);
        EXPECT_EQ(CreateMachineKey("SOFTWARE\\fwupdate", &key), refused);
        EXPECT_EQ(DeleteMachineKey("SOFTWARE\\fwupdate"), refused);
        EXPECT_EQ(World().machineKeys.count(apptest::DEBT_KEY), elevated ? 0u : 1u);
        const Handle manager = OpenServiceManager();
        EXPECT_EQ(manager == NO_HANDLE, !elevated);
        if (!elevated) {
            EXPECT_EQ(LastError(), ACCESS_DENIED);
        }
        // The global namespace: no new name, no administrators-only one.
        const Handle updater = CreateAdminOnlyMutex("Global\\fwupdate-update");
        EXPECT_EQ(updater == NO_HANDLE, !elevated);
        EXPECT_EQ(LastError(), elevated ? 0u : ACCESS_DENIED);
        if (!elevated) {
            // One an elevated copy made for administrators only.
            World().elevated = true;
            ASSERT_NE(CreateAdminOnlyMutex("Global\\admins-only"), NO_HANDLE);
            World().elevated = false;
            EXPECT_EQ(CreateOwnedMutex("Global\\admins-only"), NO_HANDLE);
            EXPECT_EQ(LastError(), ACCESS_DENIED);
        }
        // A global mutex another program made with a null DACL opens; a
        // session-local name is created.
        EXPECT_NE(CreateOwnedMutex("Global\\other-app"), NO_HANDLE);
        EXPECT_EQ(LastError(), ALREADY_EXISTS);
        EXPECT_NE(CreateOwnedMutex(apptest::UTILITY_MUTEX), NO_HANDLE);
        EXPECT_EQ(LastError(), 0u);
    }
}

}  // namespace
