#include "platform/handle.h"

#include "platform/sim/error_codes.h"
#include "platform/sim/objects.h"

std::uint32_t LastError()
{
    return World().lastError;
}

void CloseObject(Handle object)
{
    SimWorld& w = World();
    SimObject* o = LookUpSimObject(object);
    // CloseHandle takes kernel objects only: service, registry and resource
    // handles have their own release calls.
    if (o == nullptr || !o->open ||
        (o->kind != SimObjectKind::Device && o->kind != SimObjectKind::Event && o->kind != SimObjectKind::Mutex)) {
        SetSimLastError(ERROR_INVALID_HANDLE_CODE);
        return;
    }
    o->open = false;
    switch (o->kind) {
    case SimObjectKind::Device:
        ++w.deviceCloses;
        RecordCall("CloseDevice \\\\.\\usbscan", o->path);
        break;
    case SimObjectKind::Event:
        ++w.eventsClosed;
        break;
    case SimObjectKind::Mutex: {
        RecordCall("CloseMutex ", o->name);
        auto it = w.mutexes.find(o->name);
        if (it == w.mutexes.end()) {
            break;
        }
        SimMutex& m = it->second;
        if (m.updaterHandles > 0) {
            --m.updaterHandles;
        }
        // With the updater's last handle gone its ownership ends (the mutex
        // is abandoned), and a name nobody else holds leaves the namespace.
        if (m.updaterHandles == 0) {
            m.updaterOwnership = 0;
            if (!m.heldByOther) {
                w.mutexes.erase(it);
            }
        }
        break;
    }
    default:
        break;
    }
}
