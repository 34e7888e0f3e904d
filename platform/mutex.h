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

// What a look for a named mutex found.
enum class MutexLook {
    Absent,   // no object of that name
    Present,  // there, whoever holds it
    Unknown,  // the look was refused: it may be there
};
// OpenMutexA(SYNCHRONIZE, FALSE, name), the handle closed again at once:
// Absent for ERROR_FILE_NOT_FOUND and for ERROR_PATH_NOT_FOUND (a session
// directory that is not there), Unknown for any other refusal.
MutexLook LookForMutex(const char* name);

// The Terminal Services sessions that other processes run in, this
// process's own left out, each once: a process snapshot
// (CreateToolhelp32Snapshot) and ProcessIdToSessionId for each process.
// A process whose session cannot be read is passed over. False when the
// snapshot cannot be taken or more sessions than `room` are found.
bool ListOtherSessions(std::uint32_t* ids, std::uint32_t room, std::uint32_t* count);
