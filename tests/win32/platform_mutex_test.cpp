// The descriptors of the two kinds of named mutex, read back from the
// objects the platform made: what the updater's own mutex lets other
// accounts do, and what the guard mutexes shared with the maker's other
// applications let them do.
#include "platform/mutex.h"

#include <windows.h>

#include <aclapi.h>

#include <string>

#include <gtest/gtest.h>

namespace {

// Generic rights in an entry mean, for a mutex, these specific ones
// (MapGenericMask wants the table writable).
GENERIC_MAPPING mutexRights = {STANDARD_RIGHTS_READ | MUTANT_QUERY_STATE, STANDARD_RIGHTS_WRITE,
                               STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, MUTEX_ALL_ACCESS};

std::string UniqueName(const char* what)
{
    return std::string("Global\\fwu_platform_mutex_") + what + "_" + std::to_string(GetCurrentProcessId());
}

// The mutex's own descriptor, as another program would read it.
struct ReadBack {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD error = ERROR_SUCCESS;

    explicit ReadBack(Handle mutex)
    {
        error = GetSecurityInfo(mutex, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                                &descriptor);
        DWORD revision = 0;
        if (error == ERROR_SUCCESS && !GetSecurityDescriptorControl(descriptor, &control, &revision)) {
            error = GetLastError();
        }
    }
    ReadBack(const ReadBack&) = delete;
    ReadBack& operator=(const ReadBack&) = delete;
    ~ReadBack() { LocalFree(descriptor); }
};

TEST(PlatformMutexTest, AdminOnlyMutexAllowsAdministratorsAndSystemAlone)
{
    const std::string name = UniqueName("admin");
    const Handle mutex = CreateAdminOnlyMutex(name.c_str());
    ASSERT_NE(mutex, NO_HANDLE) << GetLastError();
    const ReadBack read(mutex);
    ASSERT_EQ(read.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(read.control & SE_DACL_PRESENT);
    // Protected: nothing a parent container grants is added to it.
    EXPECT_TRUE(read.control & SE_DACL_PROTECTED);
    ASSERT_NE(read.dacl, nullptr);
    ASSERT_EQ(read.dacl->AceCount, 2);

    struct Allowed {
        WELL_KNOWN_SID_TYPE who;
        const char* name;
        int seen;
    };
    Allowed allowed[] = {{WinBuiltinAdministratorsSid, "Administrators", 0}, {WinLocalSystemSid, "SYSTEM", 0}};
    for (DWORD i = 0; i < read.dacl->AceCount; ++i) {
        SCOPED_TRACE(i);
        void* entry = nullptr;
        ASSERT_TRUE(GetAce(read.dacl, i, &entry));
        ASSERT_EQ(static_cast<const ACE_HEADER*>(entry)->AceType, ACCESS_ALLOWED_ACE_TYPE);
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        // Windows maps GENERIC_ALL to the mutex's own rights as it stores
        // the entry; Wine 8 keeps GENERIC_ALL as given. Either must come to
        // every right on a mutex.
        ACCESS_MASK rights = ace->Mask;
        MapGenericMask(&rights, &mutexRights);
        EXPECT_EQ(rights & MUTEX_ALL_ACCESS, static_cast<ACCESS_MASK>(MUTEX_ALL_ACCESS)) << std::hex << ace->Mask;
        const PSID sid = &ace->SidStart;
        bool known = false;
        for (Allowed& account : allowed) {
            if (IsWellKnownSid(sid, account.who)) {
                ++account.seen;
                known = true;
            }
        }
        EXPECT_TRUE(known) << "an entry for another account";
    }
    for (const Allowed& account : allowed) {
        EXPECT_EQ(account.seen, 1) << account.name;
    }
    CloseHandle(mutex);
}

TEST(PlatformMutexTest, OwnedMutexKeepsANullDaclForEveryAccount)
{
    // The maker's applications, under any account or session, open the
    // guard mutexes by name: a present, null DACL lets every one of them.
    const std::string name = UniqueName("owned");
    const Handle mutex = CreateOwnedMutex(name.c_str());
    ASSERT_NE(mutex, NO_HANDLE) << GetLastError();
    const ReadBack read(mutex);
    ASSERT_EQ(read.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(read.control & SE_DACL_PRESENT);
    EXPECT_EQ(read.dacl, nullptr);
    CloseHandle(mutex);
}

}  // namespace

// A look finds a name that is there, also through a session's own
// directory ("Session\<id>\", as a run in session 0 reaches a desktop's
// names), and tells a name that is not there, or a session that has no
// directory, from a look that cannot answer. The session list leaves the
// run's own session out.
TEST(PlatformMutexTest, LooksReachEachSessionsNamesAndTellPresentFromAbsent)
{
    DWORD own = 0;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &own));
    const std::string local = "fwu_platform_mutex_local_" + std::to_string(GetCurrentProcessId());
    const std::string directory = "Session\\" + std::to_string(own) + "\\";
    const Handle mutex = CreateOwnedMutex(local.c_str());
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(LookForMutex(local.c_str()), MutexLook::Present);
    EXPECT_EQ(LookForMutex((directory + local).c_str()), MutexLook::Present);
    EXPECT_EQ(LookForMutex((directory + "fwu_platform_mutex_none").c_str()), MutexLook::Absent);
    EXPECT_EQ(LookForMutex("Session\\77\\fwu_platform_mutex_none"), MutexLook::Absent);
    ReleaseOwnedMutex(mutex);
    CloseHandle(mutex);
    EXPECT_EQ(LookForMutex((directory + local).c_str()), MutexLook::Absent);

    std::uint32_t sessions[64];
    std::uint32_t count = 0;
    ASSERT_TRUE(ListOtherSessions(sessions, 64, &count));
    for (std::uint32_t i = 0; i < count; ++i) {
        EXPECT_NE(sessions[i], own);
    }
}
