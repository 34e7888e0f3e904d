#include "platform/handle.h"

#include "platform/sim/error_codes.h"
#include "platform/sim/objects.h"

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
        if (mutex.updaterHandles > 0) {
            --mutex.updaterHandles;
        }
        // With the updater's last handle gone its ownership ends (the mutex
        // is abandoned), and a name nobody else holds leaves the namespace.
        if (mutex.updaterHandles == 0) {
            mutex.updaterOwnership = 0;
            if (!mutex.heldByOther) {
                world.mutexes.erase(it);
            }
        }
        break;
    }
    default:
        break;
    }
}
