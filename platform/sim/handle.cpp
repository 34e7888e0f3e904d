#include "platform/handle.h"

#include "platform/sim/error_codes.h"
#include "platform/sim/objects.h"
#include "platform/sim/world_internal.h"

std::uint32_t LastError()
{
    return World().lastError;
}

void CloseObject(Handle object)
{
    SimWorld& world = World();
    SimObject* sim = LookUpSimObject(object);
    // CloseHandle takes kernel objects only: service, registry and resource
    // handles have their own release calls.
    if (sim == nullptr || !sim->open ||
        (sim->kind != SimObjectKind::Device && sim->kind != SimObjectKind::Event &&
         sim->kind != SimObjectKind::Mutex)) {
        SetSimLastError(ERROR_INVALID_HANDLE_CODE);
        return;
    }
    sim->open = false;
    switch (sim->kind) {
    case SimObjectKind::Device:
        ++world.deviceCloses;
        RecordCall("CloseDevice \\\\.\\usbscan", sim->path);
        break;
    case SimObjectKind::Event:
        ++world.eventsClosed;
        break;
    case SimObjectKind::Mutex: {
        RecordCall("CloseMutex ", sim->name);
        auto it = world.mutexes.find(sim->name);
        if (it == world.mutexes.end()) {
            break;
        }
        SimMutex& mutex = it->second;
        const int process = world.currentProcess;
        if (mutex.HandlesOf(process) > 1) {
            --mutex.handles[process];
            break;
        }
        // With the process's last handle gone its ownership ends (the mutex
        // is abandoned), and a name nobody else holds leaves the namespace.
        mutex.handles.erase(process);
        if (mutex.owner == process) {
            mutex.owner = NO_PROCESS;
            mutex.ownership = 0;
        }
        if (mutex.handles.empty() && !mutex.heldByOther && mutex.otherWaiters == 0) {
            world.mutexes.erase(it);
        }
        GrantWaitingUsers(world);
        break;
    }
    default:
        break;
    }
}
