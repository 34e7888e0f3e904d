// Named mutexes.
#pragma once
#include "platform/handle.h"

constexpr std::uint32_t ERROR_ALREADY_EXISTS_CODE = 183;

// CreateMutexA with security attributes whose descriptor (revision 1) has a
// present, null DACL and whose handle is inheritable, initial ownership
// requested, and the name. NO_HANDLE on failure; LastError() afterwards
// tells whether the mutex existed already.
Handle CreateOwnedMutex(const char* name);
// CreateMutexA with a descriptor whose DACL lets only the Administrators
// group and SYSTEM open the mutex (full access), a handle that is not
// inherited, and initial ownership requested. NO_HANDLE on failure (an
// existing mutex the caller may not open: ERROR_ACCESS_DENIED); LastError()
// afterwards tells whether the mutex existed already.
Handle CreateAdminOnlyMutex(const char* name);
// ReleaseMutex.
bool ReleaseOwnedMutex(Handle mutex);
// WaitForSingleObject(mutex, 0): takes a mutex that nobody owns, one whose
// owner ended without releasing it (abandoned) included. False while
// someone else owns it.
bool TakeUnownedMutex(Handle mutex);
