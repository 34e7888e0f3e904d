// The give-back's operating-system side: an admin-only folder made fresh,
// the executable copied into it, the task registered and deleted.
#include "platform/task.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

const char* const TASK_NAME = "fwupdate platform test task";

class PlatformTaskTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char temp[MAX_PATH] = {};
        ASSERT_NE(GetTempPathA(sizeof temp, temp), 0u);
        std::snprintf(m_folder, sizeof m_folder, "%sfwupdate-task-test-%08lX", temp, GetCurrentProcessId());
        std::snprintf(m_copy, sizeof m_copy, "%s\\fwupdate.exe", m_folder);
        RemoveProgramFolder(m_folder, m_copy);
        DeleteScheduledTask(TASK_NAME);
    }
    void TearDown() override
    {
        RemoveProgramFolder(m_folder, m_copy);
        DeleteScheduledTask(TASK_NAME);
    }

    char m_folder[PROGRAM_PATH_SIZE] = {};
    char m_copy[PROGRAM_PATH_SIZE] = {};
};

// Who may do what with the folder: two entries, SYSTEM's among them, and
// none for Everyone, Users or Authenticated Users. Windows keeps the
// descriptor as given (Administrators and SYSTEM, protected); Wine 8 on a
// file system without its extended attributes reads one back from the
// POSIX mode bits (the owner and SYSTEM, not protected), so the
// Administrators entry and the protected flag are not checked here.
void ExpectAdminOnly(const char* path)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                                    &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(dacl, nullptr);
    EXPECT_EQ(dacl->AceCount, 2u);
    bool system = false;
    std::string seen;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, &entry));
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        ASSERT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        char* text = nullptr;
        if (ConvertSidToStringSidA(sid, &text)) {
            seen += std::string(text) + " ";
            LocalFree(text);
        }
        EXPECT_FALSE(IsWellKnownSid(sid, WinWorldSid) || IsWellKnownSid(sid, WinBuiltinUsersSid) ||
                     IsWellKnownSid(sid, WinAuthenticatedUserSid));
        system = system || IsWellKnownSid(sid, WinLocalSystemSid);
    }
    EXPECT_TRUE(system) << seen;
    LocalFree(descriptor);
}

TEST_F(PlatformTaskTest, AFolderIsMadeFreshAndHoldsTheCopy)
{
    char own[PROGRAM_PATH_SIZE] = {};
    ASSERT_TRUE(OwnProgramPath(own, sizeof own));
    char tiny[4] = {};
    EXPECT_FALSE(OwnProgramPath(tiny, sizeof tiny));
    char programFiles[PROGRAM_PATH_SIZE] = {};
    ASSERT_TRUE(ProgramFilesFolder(programFiles, sizeof programFiles));
    EXPECT_NE(GetFileAttributesA(programFiles) & FILE_ATTRIBUTE_DIRECTORY, 0u);

    ASSERT_TRUE(CreateAdminOnlyFolder(m_folder));
    ExpectAdminOnly(m_folder);
    // A name that is taken is never used, whoever made it.
    EXPECT_FALSE(CreateAdminOnlyFolder(m_folder));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    ASSERT_TRUE(CopyProgramFile(own, m_copy));
    EXPECT_FALSE(CopyProgramFile(own, m_copy));
    EXPECT_TRUE(RemoveProgramFolder(m_folder, m_copy));
    EXPECT_EQ(GetFileAttributesA(m_folder), INVALID_FILE_ATTRIBUTES);
}

// Wine 8 keeps a registered task (its XML under the system folder's
// tasks) but never runs it: only registration and deletion are checked.
TEST_F(PlatformTaskTest, ATaskIsRegisteredAndDeleted)
{
    ASSERT_TRUE(CreateAdminOnlyFolder(m_folder));
    EXPECT_FALSE(ScheduledTaskExists(TASK_NAME));
    ASSERT_TRUE(RegisterGiveBackTask(TASK_NAME, m_copy, "--give-back", m_folder));
    EXPECT_TRUE(ScheduledTaskExists(TASK_NAME));
    // Registering again replaces it.
    EXPECT_TRUE(RegisterGiveBackTask(TASK_NAME, m_copy, "--give-back", m_folder));
    EXPECT_TRUE(DeleteScheduledTask(TASK_NAME));
    EXPECT_FALSE(ScheduledTaskExists(TASK_NAME));
    // Nothing left to delete counts as gone.
    EXPECT_TRUE(DeleteScheduledTask(TASK_NAME));
}

}  // namespace
