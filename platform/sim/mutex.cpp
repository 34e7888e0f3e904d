#include "platform/mutex.h"

#include <string>

#include "platform/sim/error_codes.h"
#include "platform/sim/objects.h"

namespace {

// A backslash in an object's name separates directories of the object
// namespace. "Global\" and "Local\" lead into the two namespaces a program
// may name; a backslash after them asks for a directory that does not
// exist, and the platform refuses the name with ERROR_PATH_NOT_FOUND (as
// measured under Wine for a friendly name holding a backslash).
bool NamesADirectoryThatDoesNotExist(const std::string& name)
{
    std::size_t rest = 0;
    for (const char* prefix : {"Global\\", "Local\\"}) {
        const std::string text = prefix;
        if (name.compare(0, text.size(), text) == 0) {
            rest = text.size();
            break;
        }
    }
    return name.find('\\', rest) != std::string::npos;
}

}  // namespace

namespace {

Handle CreateMutexWithDacl(const char* name, bool adminsOnly)
{
    SimWorld& world = World();
    ++world.mutexCreates;
    // Names are taken literally: "Global\X" and "X" are different names
    // here, as they are for a process outside session 0.
    const std::string key = name ? name : "";
    RecordCall("CreateMutex " + key);
    if (world.createMutex.Applies(world.mutexCreates)) {
        SetSimLastError(world.createMutex.error);
        return NO_HANDLE;
    }
    if (NamesADirectoryThatDoesNotExist(key)) {
        SetSimLastError(ERROR_PATH_NOT_FOUND_CODE);
        return NO_HANDLE;
    }
    SimObject object;
    object.kind = SimObjectKind::Mutex;
    object.name = key;
    auto it = world.mutexes.find(key);
    if (it != world.mutexes.end()) {
        // An existing mutex: a handle to it, ownership not granted, and the
        // caller learns from the last error that it was there already.
        ++it->second.updaterHandles;
        const Handle handle = NewSimObject(object);
        SetSimLastError(ERROR_ALREADY_EXISTS_CODE);
        return handle;
    }
    SimMutex& mutex = world.mutexes[key];
    mutex.name = key;
    mutex.createdByUpdater = true;
    mutex.adminsOnly = adminsOnly;
    mutex.updaterOwnership = 1;
    mutex.updaterHandles = 1;
    const Handle handle = NewSimObject(object);
    SetSimLastError(0);
    return handle;
}

}  // namespace

Handle CreateOwnedMutex(const char* name)
{
    return CreateMutexWithDacl(name, false);
}

Handle CreateAdminOnlyMutex(const char* name)
{
    return CreateMutexWithDacl(name, true);
}

bool ReleaseOwnedMutex(Handle mutex)
{
    SimWorld& world = World();
    const SimObject* object = FindSimObject(mutex, SimObjectKind::Mutex);
    if (object == nullptr) {
        SetSimLastError(ERROR_INVALID_HANDLE_CODE);
        return false;
    }
    RecordCall("ReleaseMutex " + object->name);
    auto it = world.mutexes.find(object->name);
    if (it == world.mutexes.end() || it->second.updaterOwnership == 0) {
        SetSimLastError(ERROR_NOT_OWNER_CODE);
        return false;
    }
    --it->second.updaterOwnership;
    return true;
}

bool TakeUnownedMutex(Handle mutex)
{
    SimWorld& world = World();
    const SimObject* object = FindSimObject(mutex, SimObjectKind::Mutex);
    if (object == nullptr) {
        SetSimLastError(ERROR_INVALID_HANDLE_CODE);
        return false;
    }
    RecordCall("WaitForSingleObject " + object->name);
    auto it = world.mutexes.find(object->name);
    if (it == world.mutexes.end() || it->second.heldByOther) {
        return false;
    }
    // Unowned, abandoned by an ended process, or already ours (a mutex is
    // recursive for its owner).
    ++it->second.updaterOwnership;
    return true;
}
