// The exclusive-use guards against real named mutexes. The "other
// application" is this test program started again in a helper mode: it
// creates the mutex, says so through an event, and holds the mutex until it
// is told to let go. A guard that must fail also runs in a helper process,
// because a failed guard keeps the handles its tries obtained for the rest
// of its process, and the utility mutex's name is fixed.
#include "host/guards.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "app/shared.h"
#include "platform/handle.h"

namespace {

const char* const HOLD_MODE = "--fwu-hold-mutex";    // NAME READY RELEASE
const char* const GUARD_MODE = "--fwu-try-guard";    // scanner|utility FRIENDLYNAME
const char* const SCANNER_PREFIX = "Global\\ORVANE_SCAN_EXT_APP_MUTEX_";
const char* const UTILITY_NAME = "{3F9E21C4-7B0A-4d6e-8C5F-A1D2E3B4C5F6}";

// Exit codes of the guard helper.
constexpr DWORD GUARD_TOOK_IT = 10;
constexpr DWORD GUARD_FAILED_SLOT_UNCHANGED = 20;
constexpr DWORD GUARD_FAILED_SLOT_CHANGED = 30;

[[noreturn]] void HoldMutex(const char* name, const char* ready, const char* release)
{
    HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
    HANDLE readyEvent = OpenEventA(EVENT_MODIFY_STATE, FALSE, ready);
    HANDLE releaseEvent = OpenEventA(SYNCHRONIZE, FALSE, release);
    if (mutex == nullptr || readyEvent == nullptr || releaseEvent == nullptr) {
        ExitProcess(1);
    }
    SetEvent(readyEvent);
    WaitForSingleObject(releaseEvent, 60000);
    ReleaseMutex(mutex);
    ExitProcess(0);
}

[[noreturn]] void TryGuard(const char* which, const char* friendlyName)
{
    ResetProcessState();
    std::snprintf(FriendlyName, sizeof FriendlyName, "%s", friendlyName);
    const bool scanner = std::strcmp(which, "scanner") == 0;
    const bool taken = scanner ? AcquireScannerMutex() : AcquireUtilityMutex();
    const Handle slot = scanner ? ScannerMutex : UtilityMutex;
    ExitProcess(taken ? GUARD_TOOK_IT : slot == INVALID_HANDLE ? GUARD_FAILED_SLOT_UNCHANGED : GUARD_FAILED_SLOT_CHANGED);
}

// The helper modes take over before any test runs.
const bool HELPER_MODE_CHECKED = [] {
    if (__argc == 5 && std::strcmp(__argv[1], HOLD_MODE) == 0) {
        HoldMutex(__argv[2], __argv[3], __argv[4]);
    }
    if (__argc == 4 && std::strcmp(__argv[1], GUARD_MODE) == 0) {
        TryGuard(__argv[2], __argv[3]);
    }
    return true;
}();

std::string Unique(const char* what)
{
    return std::string("fwu_host_") + what + "_" + std::to_string(GetCurrentProcessId()) + "_" +
           std::to_string(GetTickCount());
}

HANDLE StartSelf(const std::string& arguments)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string commandLine = std::string("\"") + self + "\" " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

// Another application holding one named mutex for as long as it lives.
class OtherApplication {
public:
    explicit OtherApplication(const std::string& mutexName)
    {
        const std::string ready = Unique("ready");
        const std::string release = Unique("release");
        m_ready = CreateEventA(nullptr, TRUE, FALSE, ready.c_str());
        m_release = CreateEventA(nullptr, TRUE, FALSE, release.c_str());
        m_process = StartSelf(std::string(HOLD_MODE) + " \"" + mutexName + "\" " + ready + " " + release);
        m_holding = m_process != nullptr && WaitForSingleObject(m_ready, 30000) == WAIT_OBJECT_0;
    }
    ~OtherApplication()
    {
        SetEvent(m_release);
        if (m_process != nullptr) {
            WaitForSingleObject(m_process, 30000);
            CloseHandle(m_process);
        }
        CloseHandle(m_ready);
        CloseHandle(m_release);
    }
    OtherApplication(const OtherApplication&) = delete;
    OtherApplication& operator=(const OtherApplication&) = delete;

    bool Holding() const { return m_holding; }

private:
    HANDLE m_ready = nullptr;
    HANDLE m_release = nullptr;
    HANDLE m_process = nullptr;
    bool m_holding = false;
};

// Runs one guard in a helper process; the exit code and the time it took.
DWORD RunGuardElsewhere(const char* which, const std::string& friendlyName, DWORD* elapsedMs)
{
    const DWORD started = GetTickCount();
    HANDLE process = StartSelf(std::string(GUARD_MODE) + " " + which + " \"" + friendlyName + "\"");
    if (process == nullptr) return 0;
    DWORD code = 0;
    if (WaitForSingleObject(process, 60000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process, &code);
    }
    CloseHandle(process);
    *elapsedMs = GetTickCount() - started;
    return code;
}

// Whether a mutex of this name exists, seen from a fresh handle.
bool MutexExists(const std::string& name)
{
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
    if (mutex == nullptr) return false;
    CloseHandle(mutex);
    return true;
}

class HostMutexGuardTest : public ::testing::Test {
protected:
    void SetUp() override { ResetProcessState(); }
    void TearDown() override
    {
        for (Handle* slot : {&ScannerMutex, &UtilityMutex}) {
            if (*slot != INVALID_HANDLE) {
                ReleaseMutex(*slot);
                CloseHandle(*slot);
                *slot = INVALID_HANDLE;
            }
        }
    }
};

TEST_F(HostMutexGuardTest, FreeMutexesAreTakenUnderTheirNames)
{
    ASSERT_TRUE(HELPER_MODE_CHECKED);
    const std::string friendly = Unique("free");
    std::snprintf(FriendlyName, sizeof FriendlyName, "%s", friendly.c_str());
    ASSERT_TRUE(AcquireScannerMutex());
    ASSERT_TRUE(AcquireUtilityMutex());
    EXPECT_NE(ScannerMutex, INVALID_HANDLE);
    EXPECT_NE(UtilityMutex, INVALID_HANDLE);
    EXPECT_TRUE(MutexExists(SCANNER_PREFIX + friendly));
    EXPECT_TRUE(MutexExists(UTILITY_NAME));

    // Another process now finds both taken.
    DWORD elapsed = 0;
    EXPECT_EQ(RunGuardElsewhere("scanner", friendly, &elapsed), GUARD_FAILED_SLOT_UNCHANGED);
    EXPECT_EQ(RunGuardElsewhere("utility", "", &elapsed), GUARD_FAILED_SLOT_UNCHANGED);
}

TEST_F(HostMutexGuardTest, MutexHeldByAnotherProcessMakesTheGuardFailAfterThreeTries)
{
    struct Case {
        const char* guard;
        bool utility;
    };
    for (const Case& c : {Case{"scanner", false}, Case{"utility", true}}) {
        SCOPED_TRACE(c.guard);
        const std::string friendly = Unique("held");
        OtherApplication other(c.utility ? std::string(UTILITY_NAME) : SCANNER_PREFIX + friendly);
        ASSERT_TRUE(other.Holding());
        DWORD elapsed = 0;
        EXPECT_EQ(RunGuardElsewhere(c.guard, friendly, &elapsed), GUARD_FAILED_SLOT_UNCHANGED);
        // Three one-second pauses, the last one included.
        EXPECT_GE(elapsed, 2900u);
    }
}

TEST_F(HostMutexGuardTest, MutexLetGoByTheOtherProcessIsTaken)
{
    const std::string friendly = Unique("released");
    {
        OtherApplication other(SCANNER_PREFIX + friendly);
        ASSERT_TRUE(other.Holding());
    }
    std::snprintf(FriendlyName, sizeof FriendlyName, "%s", friendly.c_str());
    EXPECT_TRUE(AcquireScannerMutex());
}

}  // namespace
