// Named mutexes.
#pragma once
#include "platform/handle.h"

constexpr std::uint32_t ERROR_ALREADY_EXISTS_CODE = 183;

// CreateMutexA with security attributes whose descriptor (revision 1) has a
// present, null DACL and whose handle is inheritable, initial ownership
// requested, and the name. NO_HANDLE on failure; LastError() afterwards
// tells whether the mutex existed already.
Handle CreateOwnedMutex(const char* name);
// ReleaseMutex.
bool ReleaseOwnedMutex(Handle mutex);
// WaitForSingleObject(mutex, 0): takes a mutex that nobody owns, one whose
// owner ended without releasing it (abandoned) included. False while
// someone else owns it.
bool TakeUnownedMutex(Handle mutex);
