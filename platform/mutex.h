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
