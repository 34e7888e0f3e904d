// The platform calls that carry the updater through an interrupted run: its
// registry record, the takeover of an abandoned mutex, awake time.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "platform/console_control.h"
#include "platform/mutex.h"
#include "platform/registry.h"

namespace {

std::string Unique(const char* base)
{
    return std::string(base) + std::to_string(GetCurrentProcessId());
}

TEST(PlatformInterruptionTest, RecordIsWrittenReadAndDeleted)
{
    const std::string path = Unique("SOFTWARE\\fwupdate-test-");
    Handle key = NO_HANDLE;
    ASSERT_EQ(CreateMachineKey(path.c_str(), &key), 0);
    EXPECT_EQ(SetKeyNumber(key, "ImagingServiceState", 4), 0);
    CloseMachineKey(key);
    // Both hives the updater flushes: its record's, and the service's
    // start type's (a key it may only read).
    EXPECT_EQ(FlushMachineKey(path.c_str()), 0);
    EXPECT_EQ(FlushMachineKey("SYSTEM\\CurrentControlSet\\Services\\stisvc"), 0);

    ASSERT_EQ(OpenMachineKey(path.c_str(), &key), 0);
    std::uint32_t type = 0;
    std::uint32_t value = 0;
    std::uint32_t size = sizeof value;
    EXPECT_EQ(QueryKeyValue(key, "ImagingServiceState", &type, &value, &size), 0);
    EXPECT_EQ(type, REG_DWORD_TYPE);
    EXPECT_EQ(value, 4u);
    EXPECT_EQ(size, 4u);
    CloseMachineKey(key);

    EXPECT_EQ(DeleteMachineKey(path.c_str()), 0);
    EXPECT_EQ(OpenMachineKey(path.c_str(), &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(DeleteMachineKey(path.c_str()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(FlushMachineKey(path.c_str()), REG_VALUE_NOT_FOUND);
}

struct Holder {
    const char* name;
    HANDLE taken;  // signalled once the thread owns the mutex
    HANDLE letGo;  // the thread ends when this is signalled
};

DWORD WINAPI HoldAndEnd(void* parameter)
{
    Holder* holder = static_cast<Holder*>(parameter);
    CreateMutexA(nullptr, TRUE, holder->name);
    SetEvent(holder->taken);
    WaitForSingleObject(holder->letGo, INFINITE);
    return 0;  // ends owning the mutex: it is abandoned
}

// A mutex owned by a live thread is refused; once that thread ends without
// releasing it, the mutex is taken over.
TEST(PlatformInterruptionTest, AbandonedMutexIsTakenOverAndAHeldOneIsNot)
{
    const std::string name = Unique("Local\\fwupdate-test-");
    Holder holder{name.c_str(), CreateEventA(nullptr, TRUE, FALSE, nullptr),
                  CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    HANDLE thread = CreateThread(nullptr, 0, HoldAndEnd, &holder, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(holder.taken, 10000), WAIT_OBJECT_0);

    const Handle mutex = CreateOwnedMutex(name.c_str());
    ASSERT_NE(mutex, NO_HANDLE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(TakeUnownedMutex(mutex));

    SetEvent(holder.letGo);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(TakeUnownedMutex(mutex));
    EXPECT_TRUE(ReleaseOwnedMutex(mutex));
    CloseHandle(mutex);
    CloseHandle(thread);
    CloseHandle(holder.taken);
    CloseHandle(holder.letGo);
}

TEST(PlatformInterruptionTest, AwakeTimeMovesWithTheTickCount)
{
    // On a loaded machine Wine once read 146 ms of awake time across a
    // 200 ms sleep: its clock can lag by tens of milliseconds (most likely
    // the shared time it reads is refreshed late). A second's sleep keeps
    // such a lag far inside the margins, which still tell a clock that
    // stands still or counts in the wrong unit.
    const std::uint64_t awakeBefore = AwakeMs();
    const DWORD ticksBefore = GetTickCount();
    Sleep(1000);
    const std::uint64_t awake = AwakeMs() - awakeBefore;
    const DWORD ticks = GetTickCount() - ticksBefore;
    EXPECT_GE(awake, 750u);
    EXPECT_LE(awake, static_cast<std::uint64_t>(ticks) + 250);
}

bool IgnoreEverything(ConsoleControl)
{
    return true;
}

TEST(PlatformInterruptionTest, HandlerInstallsAndTheDebtLockIsReusable)
{
    EXPECT_TRUE(InstallConsoleControlHandler(IgnoreEverything));
    for (int i = 0; i < 3; ++i) {
        LockServiceDebt();
        UnlockServiceDebt();
    }
    SUCCEED();
}

}  // namespace
