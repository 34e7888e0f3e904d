// Named mutexes as the guards take them: owned at once, open to every
// account, and reporting a name that exists already.
#include "platform/mutex.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>

namespace {

void UniqueName(char* name, std::size_t size, const char* prefix)
{
    static int serial = 0;
    std::snprintf(name, size, "%sfwu-mutex-test-%lu-%d", prefix, GetCurrentProcessId(), ++serial);
}

DWORD WINAPI ReleaseFromOtherThread(void* mutex)
{
    return ReleaseOwnedMutex(mutex) ? 1 : 0;
}

// Both namespaces the guards use: the global one for the per-scanner name,
// the session's own for the utility-wide name.
const char* const PREFIXES[] = {"Global\\", ""};

TEST(MutexTest, FirstCreatorOwnsItAndLaterOnesSeeItExist)
{
    for (const char* prefix : PREFIXES) {
        SCOPED_TRACE(prefix);
        char name[128];
        UniqueName(name, sizeof name, prefix);

        SetLastError(12345);
        Handle first = CreateOwnedMutex(name);
        ASSERT_NE(first, NO_HANDLE);
        EXPECT_NE(LastError(), ERROR_ALREADY_EXISTS_CODE);

        Handle second = CreateOwnedMutex(name);
        ASSERT_NE(second, NO_HANDLE);
        EXPECT_EQ(LastError(), ERROR_ALREADY_EXISTS_CODE);

        // Ownership came with the first creation, once: one release gives
        // it up and a second one finds nothing to give.
        EXPECT_TRUE(ReleaseOwnedMutex(first));
        EXPECT_FALSE(ReleaseOwnedMutex(first));

        // Released but still open: the name still exists.
        Handle third = CreateOwnedMutex(name);
        ASSERT_NE(third, NO_HANDLE);
        EXPECT_EQ(LastError(), ERROR_ALREADY_EXISTS_CODE);
        CloseObject(third);
        CloseObject(second);
        CloseObject(first);
    }
}

TEST(MutexTest, OwnershipBelongsToTheCreatingThread)
{
    char name[128];
    UniqueName(name, sizeof name, "");
    Handle mutex = CreateOwnedMutex(name);
    ASSERT_NE(mutex, NO_HANDLE);
    HANDLE thread = CreateThread(nullptr, 0, ReleaseFromOtherThread, mutex, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    WaitForSingleObject(thread, INFINITE);
    DWORD released = 2;
    GetExitCodeThread(thread, &released);
    CloseHandle(thread);
    EXPECT_EQ(released, 0u) << "another thread must not be able to release our mutex";
    EXPECT_TRUE(ReleaseOwnedMutex(mutex));
    CloseObject(mutex);
}

TEST(MutexTest, HandleIsInheritableAndDaclIsNull)
{
    char name[128];
    UniqueName(name, sizeof name, "Global\\");
    Handle mutex = CreateOwnedMutex(name);
    ASSERT_NE(mutex, NO_HANDLE);

    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(mutex, &flags));
    EXPECT_NE(flags & HANDLE_FLAG_INHERIT, 0u);

    // A present, null DACL: every account may open the mutex, which is how
    // the other applications see it taken.
    unsigned char buffer[1024] = {};
    DWORD needed = 0;
    ASSERT_TRUE(GetKernelObjectSecurity(mutex, DACL_SECURITY_INFORMATION, buffer, sizeof buffer, &needed))
        << GetLastError();
    BOOL present = FALSE;
    BOOL defaulted = TRUE;
    PACL dacl = reinterpret_cast<PACL>(1);
    ASSERT_TRUE(GetSecurityDescriptorDacl(buffer, &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(dacl, nullptr);
    EXPECT_FALSE(defaulted);

    EXPECT_TRUE(ReleaseOwnedMutex(mutex));
    CloseObject(mutex);
}

TEST(HandleTest, LastErrorIsTheThreadsErrorAndCloseEndsTheHandle)
{
    const DWORD codes[] = {0, 2, 122, 183, 0xC0000005};
    for (DWORD code : codes) {
        SetLastError(code);
        EXPECT_EQ(LastError(), code);
    }
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(event, nullptr);
    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(event, &flags));
    CloseObject(event);
    EXPECT_FALSE(GetHandleInformation(event, &flags));
}

} // namespace
