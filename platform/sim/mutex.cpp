#include "platform/mutex.h"

#include <string>

#include "platform/sim/error_codes.h"
#include "platform/sim/objects.h"
#include "platform/sim/world_internal.h"

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
    const int process = world.currentProcess;
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
        // caller learns from the last error that it was there already. An
        // administrators-only DACL lets in an elevated process alone.
        if (it->second.adminsOnly && !world.elevated) {
            SetSimLastError(ERROR_ACCESS_DENIED_CODE);
            return NO_HANDLE;
        }
        ++it->second.handles[process];
        const Handle handle = NewSimObject(object);
        SetSimLastError(ERROR_ALREADY_EXISTS_CODE);
        return handle;
    }
    // Creating a named object in the global namespace takes
    // SeCreateGlobalPrivilege, which a token that is not elevated lacks.
    if (!world.elevated && key.rfind("Global\\", 0) == 0) {
        SetSimLastError(ERROR_ACCESS_DENIED_CODE);
        return NO_HANDLE;
    }
    SimMutex& mutex = world.mutexes[key];
    mutex.name = key;
    mutex.createdBy = process;
    mutex.adminsOnly = adminsOnly;
    mutex.owner = process;
    mutex.ownership = 1;
    mutex.handles[process] = 1;
    const Handle handle = NewSimObject(object);
    SetSimLastError(0);
    return handle;
}

bool Unreferenced(const SimMutex& mutex)
{
    return mutex.handles.empty() && !mutex.heldByOther && mutex.otherWaiters == 0;
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
    if (it == world.mutexes.end() || !it->second.OwnedBy(world.currentProcess)) {
        SetSimLastError(ERROR_NOT_OWNER_CODE);
        return false;
    }
    if (--it->second.ownership == 0) {
        it->second.owner = NO_PROCESS;
        GrantWaitingUsers(world);
    }
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
    SimMutex& found = it->second;
    // Already ours: a mutex is recursive for its owner.
    if (found.OwnedBy(world.currentProcess)) {
        ++found.ownership;
        return true;
    }
    // Unowned, or abandoned by a process that is gone (WAIT_ABANDONED,
    // which grants it too).
    if (found.ownership > 0 && !SimMutexAbandoned(world, found)) {
        return false;
    }
    found.owner = world.currentProcess;
    found.ownership = 1;
    return true;
}

bool SimMutexAbandoned(const SimWorld& world, const SimMutex& mutex)
{
    if (mutex.owner == NO_PROCESS || mutex.ownership == 0) {
        return false;
    }
    const auto owner = static_cast<std::size_t>(mutex.owner);
    return owner < world.processes.size() && world.processes[owner].ended;
}

// A standard user's program may open a mutex whose DACL is null; one made
// for administrators only refuses it. A name nobody holds it creates.
void OpenUserMutex(SimWorld& world, std::size_t holder)
{
    const std::string& name = world.userMutexHolders[holder].name;
    auto it = world.mutexes.find(name);
    if (it != world.mutexes.end() && it->second.adminsOnly) {
        world.userMutexStates[holder] = SimUserMutexState::Refused;
        return;
    }
    SimMutex& mutex = world.mutexes[name];
    mutex.name = name;
    ++mutex.otherWaiters;
    world.userMutexStates[holder] = SimUserMutexState::Waiting;
    GrantWaitingUsers(world);
}

// A waiting user's program takes its mutex as soon as nobody owns it, or
// its owner is gone; it never lets go.
void GrantWaitingUsers(SimWorld& world)
{
    for (std::size_t i = 0; i < world.userMutexStates.size(); ++i) {
        if (world.userMutexStates[i] != SimUserMutexState::Waiting) {
            continue;
        }
        auto it = world.mutexes.find(world.userMutexHolders[i].name);
        if (it == world.mutexes.end()) {
            continue;
        }
        SimMutex& mutex = it->second;
        if (mutex.heldByOther || (mutex.ownership > 0 && !SimMutexAbandoned(world, mutex))) {
            continue;
        }
        mutex.owner = NO_PROCESS;
        mutex.ownership = 0;
        mutex.heldByOther = true;
        mutex.otherLetsGoAtMs = NEVER_MS;
        --mutex.otherWaiters;
        world.userMutexStates[i] = SimUserMutexState::Holding;
    }
}

// A process that is gone holds no handle; what it owned is abandoned, and a
// name nobody holds leaves the namespace.
void DropProcessMutexes(SimWorld& world, int process)
{
    for (auto it = world.mutexes.begin(); it != world.mutexes.end();) {
        SimMutex& mutex = it->second;
        mutex.handles.erase(process);
        if (mutex.owner == process) {
            mutex.owner = NO_PROCESS;
            mutex.ownership = 0;
        }
        it = Unreferenced(mutex) ? world.mutexes.erase(it) : std::next(it);
    }
    GrantWaitingUsers(world);
}

MutexLook LookForMutex(const char* name)
{
    SimWorld& world = World();
    const std::string key = name ? name : "";
    RecordCall("OpenMutex " + key);
    ++world.mutexOpens;
    if (world.openMutex.Applies(world.mutexOpens)) {
        SetSimLastError(world.openMutex.error);
        return MutexLook::Unknown;
    }
    if (world.mutexes.count(key) == 0) {
        SetSimLastError(ERROR_FILE_NOT_FOUND_CODE);
        return MutexLook::Absent;
    }
    return MutexLook::Present;
}

bool ListOtherSessions(std::uint32_t* ids, std::uint32_t room, std::uint32_t* count)
{
    const SimWorld& world = World();
    RecordCall("ListSessions");
    *count = 0;
    if (world.sessionsUnreadable) {
        SetSimLastError(ERROR_ACCESS_DENIED_CODE);
        return false;
    }
    for (const std::uint32_t session : world.otherSessions) {
        if (*count == room) {
            return false;
        }
        ids[(*count)++] = session;
    }
    return true;
}
