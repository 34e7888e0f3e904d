// Opaque handles shared by every platform group.
#pragma once
#include <cstdint>

// A platform object handle. The Windows build stores a HANDLE (or HKEY,
// SC_HANDLE, HRSRC, HGLOBAL) here; the simulated build stores a token that
// numbers one of its own objects, so that a stale or foreign handle is
// recognised rather than followed.
using Handle = void*;

// "No handle" is a null pointer.
inline constexpr Handle NO_HANDLE = nullptr;

// All bits set: what a failed open of a path returns on Windows, and the
// "no mutex held" marker of the two mutex slots.
// NOLINTNEXTLINE(performance-no-int-to-ptr): a marker value, never followed
inline const Handle INVALID_HANDLE = reinterpret_cast<Handle>(~std::uintptr_t{0});

// True for a handle that refers to an object: neither "no handle" nor the
// failed-open value.
inline bool IsOpenHandle(Handle object)
{
    return object != NO_HANDLE && object != INVALID_HANDLE;
}

// The calling thread's last platform error code.
std::uint32_t LastError();

// Gives a handle back to the platform (CloseHandle). Devices, events and
// mutexes.
void CloseObject(Handle object);
