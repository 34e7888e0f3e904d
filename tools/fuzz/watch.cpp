#include "tools/fuzz/watch.h"

#include <cstring>

#include "host/guards.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/device.h"
#include "platform/mutex.h"
#include "platform/service.h"
#include "platform/sim/world.h"

namespace {

const char SCANNER_MUTEX_PREFIX[] = "Global\\ORVANE_SCAN_EXT_APP_MUTEX_";
const char UTILITY_MUTEX_NAME[] = "{3F9E21C4-7B0A-4d6e-8C5F-A1D2E3B4C5F6}";

void Break(const char* promise)
{
    RunWatch& watch = Watch();
    if (watch.broken.empty()) {
        watch.broken = promise;
    }
}

void CheckTime()
{
    if (CountedMs(World(), Watch()) > Watch().boundMs) {
        throw RunOverBound{};
    }
}

// Whether the updater owns, right now, both guard mutexes.
bool UpdaterOwnsBothGuards(const SimWorld& w)
{
    bool scanner = false, utility = false;
    for (const auto& [name, m] : w.mutexes) {
        if (!m.OwnedBy(0)) {
            continue;
        }
        if (name.compare(0, sizeof SCANNER_MUTEX_PREFIX - 1, SCANNER_MUTEX_PREFIX) == 0) {
            scanner = true;
        }
        if (name == UTILITY_MUTEX_NAME) {
            utility = true;
        }
    }
    return scanner && utility;
}

// Whether another application has the name open right now.
bool OtherApplicationHolds(const SimWorld& w, const char* name)
{
    const auto it = w.mutexes.find(name);
    return it != w.mutexes.end() && it->second.heldByOther;
}

GuardTries& TriesOf(const char* name)
{
    RunWatch& watch = Watch();
    for (GuardTries& g : watch.guards) {
        if (g.name == name) {
            return g;
        }
    }
    watch.guards.push_back(GuardTries{});
    watch.guards.back().name = name;
    return watch.guards.back();
}

}  // namespace

RunWatch& Watch()
{
    static RunWatch watch;
    return watch;
}

void ResetWatch(const SimWorld& world, std::uint64_t boundMs)
{
    // A fresh object, so that nothing allocated by one run outlives it.
    Watch() = RunWatch{};
    Watch().start = {world.nowMs, world.asleepMs, world.consoleBlockedMs};
    Watch().boundMs = boundMs;
}

std::uint64_t CountedMs(const SimWorld& world, const RunWatch& watch)
{
    const std::uint64_t asleep = world.asleepMs - watch.start.asleepMs;
    const std::uint64_t blocked = world.consoleBlockedMs - watch.start.consoleBlockedMs;
    return world.nowMs - watch.start.atMs - asleep - blocked;
}

// The real platform calls, under the names --wrap gives them.
extern "C" {
void __real__Z7SleepMsj(std::uint32_t milliseconds);
bool __real__Z17WaitForCompletionPvj(Handle event, std::uint32_t milliseconds);
bool __real__Z11WriteDevicePvPKvjPjP18TransferOverlapped(Handle device, const void* data, std::uint32_t size,
                                                         std::uint32_t* transferred, TransferOverlapped* overlapped);
bool __real__Z10ReadDevicePvS_jPjP18TransferOverlapped(Handle device, void* data, std::uint32_t size,
                                                       std::uint32_t* transferred, TransferOverlapped* overlapped);
bool __real__Z17QueryServiceStatePvP13ServiceStatus(Handle service, ServiceStatus* status);
bool __real__Z15SendServiceStopPvP13ServiceStatus(Handle service, ServiceStatus* status);
Handle __real__Z16CreateOwnedMutexPKc(const char* name);
Handle __real__Z20CreateAdminOnlyMutexPKc(const char* name);
bool __real__Z16TakeUnownedMutexPv(Handle mutex);
void __real__Z12ConsoleWritePKcmj(const char* data, std::size_t size, std::uint32_t codePage);

void __wrap__Z7SleepMsj(std::uint32_t milliseconds)
{
    __real__Z7SleepMsj(milliseconds);
    CheckTime();
}

bool __wrap__Z17WaitForCompletionPvj(Handle event, std::uint32_t milliseconds)
{
    const bool signalled = __real__Z17WaitForCompletionPvj(event, milliseconds);
    CheckTime();
    return signalled;
}

bool __wrap__Z11WriteDevicePvPKvjPjP18TransferOverlapped(Handle device, const void* data, std::uint32_t size,
                                                         std::uint32_t* transferred, TransferOverlapped* overlapped)
{
    SimWorld& w = World();
    // Judged as things stand when the bytes go out.
    const bool serviceLetGo = !Watch().stopAccepted || Watch().stoppedReported;
    // The registry lookup is the first guard: it runs only for a scanner
    // that is not in its recovery loader, and before anything but the
    // status probe is sent. The updater's own key (the record of a service
    // owed back) is not part of it.
    const bool guarded = w.registryOpens == w.ownKeyOpens || UpdaterOwnsBothGuards(w);
    // Two copies of the updater never write the scanner at once: each writes
    // only while it owns the one-updater mutex.
    const auto updaterMutex = w.mutexes.find(UPDATER_MUTEX_NAME);
    const bool exclusive = updaterMutex != w.mutexes.end() && updaterMutex->second.OwnedBy(0);
    const std::uint32_t reached = w.model.writeCalls;
    const bool ok = __real__Z11WriteDevicePvPKvjPjP18TransferOverlapped(device, data, size, transferred, overlapped);
    if (w.model.writeCalls != reached) {
        if (!serviceLetGo) {
            Break("2: written to the scanner before the imaging service reported stopped");
        }
        if (!guarded) {
            Break("3: written to the scanner in normal mode without owning both mutexes");
        }
        if (!exclusive) {
            Break("9: written to the scanner without owning the one-updater mutex");
        }
    }
    // A transfer the driver held until its time-out passes time without a
    // sleep: a loop of them is stopped at the bound like any other wait.
    CheckTime();
    return ok;
}

bool __wrap__Z10ReadDevicePvS_jPjP18TransferOverlapped(Handle device, void* data, std::uint32_t size,
                                                       std::uint32_t* transferred, TransferOverlapped* overlapped)
{
    const bool ok = __real__Z10ReadDevicePvS_jPjP18TransferOverlapped(device, data, size, transferred, overlapped);
    CheckTime();
    return ok;
}

bool __wrap__Z17QueryServiceStatePvP13ServiceStatus(Handle service, ServiceStatus* status)
{
    const bool ok = __real__Z17QueryServiceStatePvP13ServiceStatus(service, status);
    if (ok && status != nullptr && status->dwCurrentState == SERVICE_STOPPED_STATE && Watch().stopAccepted) {
        Watch().stoppedReported = true;
    }
    return ok;
}

bool __wrap__Z15SendServiceStopPvP13ServiceStatus(Handle service, ServiceStatus* status)
{
    const bool ok = __real__Z15SendServiceStopPvP13ServiceStatus(service, status);
    if (ok) {
        Watch().stopAccepted = true;
        Watch().stoppedReported = status != nullptr && status->dwCurrentState == SERVICE_STOPPED_STATE;
    }
    return ok;
}

Handle __wrap__Z16CreateOwnedMutexPKc(const char* name)
{
    const SimWorld& w = World();
    const bool otherHolds = name != nullptr && OtherApplicationHolds(w, name);
    const Handle mutex = __real__Z16CreateOwnedMutexPKc(name);
    RunWatch& watch = Watch();
    GuardTries& tries = TriesOf(name != nullptr ? name : "");
    ++tries.tries;
    if (otherHolds) {
        ++tries.triesWhileOtherHeld;
    }
    if (mutex == NO_HANDLE) {
        ++tries.triesRefused;
    } else if (LastError() == ERROR_ALREADY_EXISTS_CODE) {
        watch.failedTryHandles.push_back(mutex);
    } else {
        watch.ownedMutexHandles.push_back(mutex);
    }
    return mutex;
}

// The one-updater mutex: its handle is kept, released and never closed, when
// the create made it or a later wait took it; a try that found it owned must
// close its handle.
Handle __wrap__Z20CreateAdminOnlyMutexPKc(const char* name)
{
    const Handle mutex = __real__Z20CreateAdminOnlyMutexPKc(name);
    if (mutex != NO_HANDLE) {
        auto& handles = LastError() == ERROR_ALREADY_EXISTS_CODE ? Watch().failedTryHandles : Watch().ownedMutexHandles;
        handles.push_back(mutex);
    }
    return mutex;
}

bool __wrap__Z16TakeUnownedMutexPv(Handle mutex)
{
    const bool taken = __real__Z16TakeUnownedMutexPv(mutex);
    if (taken) {
        Watch().ownedMutexHandles.push_back(mutex);
    }
    return taken;
}

void __wrap__Z12ConsoleWritePKcmj(const char* data, std::size_t size, std::uint32_t codePage)
{
    __real__Z12ConsoleWritePKcmj(data, size, codePage);
    Watch().lastPrintMs = World().nowMs;
}
}
