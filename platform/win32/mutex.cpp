#include "platform/mutex.h"

#include <windows.h>

#include <sddl.h>
#include <tlhelp32.h>

#include <algorithm>

static_assert(ERROR_ALREADY_EXISTS_CODE == ERROR_ALREADY_EXISTS);

Handle CreateOwnedMutex(const char* name)
{
    // A present but null DACL lets the maker's applications, running under
    // any account or session, open the same mutex and see it taken.
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), &descriptor, TRUE};
    // CreateMutexA is the last call, so LastError() tells the caller whether
    // the name existed already.
    return CreateMutexA(&attributes, TRUE, name);
}

Handle CreateAdminOnlyMutex(const char* name)
{
    // Protected, so no inherited entry widens it: full access for the
    // Administrators group and SYSTEM, the only accounts an elevated
    // updater runs under, and for nobody else.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;GA;;;BA)(A;;GA;;;SY)", SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return nullptr;
    }
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    const HANDLE mutex = CreateMutexA(&attributes, TRUE, name);
    // LocalFree may touch the last error; the caller reads the create's.
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    SetLastError(error);
    return mutex;
}

bool ReleaseOwnedMutex(Handle mutex)
{
    return ReleaseMutex(mutex) != FALSE;
}

bool TakeUnownedMutex(Handle mutex)
{
    const DWORD result = WaitForSingleObject(mutex, 0);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

MutexLook LookForMutex(const char* name)
{
    // SYNCHRONIZE is the least a mutex's descriptor grants whoever may
    // wait on it; the handle only proves the name is there.
    const HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, name);
    if (mutex != nullptr) {
        CloseHandle(mutex);
        return MutexLook::Present;
    }
    // No such name, or no such directory: a session that has none (it has
    // ended, say) holds no name either.
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? MutexLook::Absent : MutexLook::Unknown;
}

bool ListOtherSessions(std::uint32_t* ids, std::uint32_t room, std::uint32_t* count)
{
    *count = 0;
    DWORD own = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &own)) {
        return false;
    }
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return false;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    bool whole = true;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && whole; more = Process32NextW(snapshot, &entry)) {
        DWORD session = 0;
        // A protected process may not tell; it is no user's application.
        if (!ProcessIdToSessionId(entry.th32ProcessID, &session) || session == own ||
            std::find(ids, ids + *count, session) != ids + *count) {
            continue;
        }
        if (*count == room) {
            whole = false;
        } else {
            ids[(*count)++] = session;
        }
    }
    CloseHandle(snapshot);
    return whole;
}
