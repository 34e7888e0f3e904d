#include "platform/mutex.h"

#include <windows.h>

#include <sddl.h>

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
