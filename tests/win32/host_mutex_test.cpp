// Each guard against a real named mutex that another process holds. The
// other process is this test program started again in a helper mode that
// runs one guard and reports through its exit code, so whatever a guard
// leaves open ends with it.
#include "host/guards.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "common/shared.h"

namespace {

const char* const GUARD_MODE = "--fwu-try-guard";  // scanner|utility FRIENDLYNAME
constexpr DWORD GUARD_TOOK_IT = 10;
constexpr DWORD GUARD_FAILED_SLOT_UNCHANGED = 20;
constexpr DWORD GUARD_FAILED_SLOT_CHANGED = 30;

bool TryGuard(bool scanner)
{
    return scanner ? AcquireScannerMutex() : AcquireUtilityMutex();
}

// The helper mode takes over before any test runs.
const bool HELPER_MODE_CHECKED = [] {
    if (__argc == 4 && std::strcmp(__argv[1], GUARD_MODE) == 0) {
        ResetProcessState();
        std::snprintf(FriendlyName, sizeof FriendlyName, "%s", __argv[3]);
        const bool scanner = std::strcmp(__argv[2], "scanner") == 0;
        const bool taken = TryGuard(scanner);
        const Handle slot = scanner ? ScannerMutex : UtilityMutex;
        ExitProcess(taken                    ? GUARD_TOOK_IT
                    : slot == INVALID_HANDLE ? GUARD_FAILED_SLOT_UNCHANGED
                                             : GUARD_FAILED_SLOT_CHANGED);
    }
    return true;
}();

// Runs one guard in another process; its exit code and the time it took.
DWORD GuardElsewhere(const char* which, const std::string& friendlyName, DWORD* elapsedMs)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string commandLine = std::string("\"") + self + "\" " + GUARD_MODE + " " + which + " \"" + friendlyName + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const DWORD started = GetTickCount();
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return 0;
    }
    DWORD code = 0;
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    }
    *elapsedMs = GetTickCount() - started;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

TEST(HostMutexTest, MutexHeldByAnotherProcessFailsTheGuardAfterThreeTries)
{
    ASSERT_TRUE(HELPER_MODE_CHECKED);
    for (const char* which : {"scanner", "utility"}) {
        SCOPED_TRACE(which);
        const bool scanner = std::strcmp(which, "scanner") == 0;
        ResetProcessState();
        const std::string friendly = "fwu_host_" + std::to_string(GetCurrentProcessId());
        std::snprintf(FriendlyName, sizeof FriendlyName, "%s", friendly.c_str());
        const std::string name =
            scanner ? "Global\\ORVANE_SCAN_EXT_APP_MUTEX_" + friendly : "{3F9E21C4-7B0A-4d6e-8C5F-A1D2E3B4C5F6}";
        // This process takes the mutex under its exact name...
        ASSERT_TRUE(TryGuard(scanner));
        Handle* slot = scanner ? &ScannerMutex : &UtilityMutex;
        ASSERT_NE(*slot, INVALID_HANDLE);
        HANDLE seen = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
        EXPECT_NE(seen, nullptr) << name;
        CloseHandle(seen);
        // ...with an inheritable handle and a present, null DACL, which lets
        // the other applications open it under any account.
        DWORD flags = 0;
        EXPECT_TRUE(GetHandleInformation(*slot, &flags) && (flags & HANDLE_FLAG_INHERIT) != 0);
        unsigned char descriptor[1024] = {};
        DWORD needed = 0;
        BOOL present = FALSE;
        BOOL defaulted = TRUE;
        PACL dacl = reinterpret_cast<PACL>(1);
        ASSERT_TRUE(GetKernelObjectSecurity(*slot, DACL_SECURITY_INFORMATION, descriptor, sizeof descriptor, &needed));
        ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
        EXPECT_TRUE(present && dacl == nullptr && !defaulted);

        // ...so the same guard in another process gives up, after a pause
        // behind each of its three tries, and leaves its slot alone.
        DWORD elapsed = 0;
        EXPECT_EQ(GuardElsewhere(which, friendly, &elapsed), GUARD_FAILED_SLOT_UNCHANGED);
        EXPECT_GE(elapsed, 2900u);

        // Let go, the name is free for the next one.
        EXPECT_TRUE(ReleaseMutex(*slot));
        CloseHandle(*slot);
        *slot = INVALID_HANDLE;
        EXPECT_EQ(GuardElsewhere(which, friendly, &elapsed), GUARD_TOOK_IT);
    }
}

}  // namespace
