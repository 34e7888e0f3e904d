#include "platform/sim/world.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/sim/objects.h"

extern "C" {
extern const std::uint8_t fw_embedded_image_start[];
extern const std::uint8_t fw_embedded_image_end[];
}

namespace {

// Handles are small multiples of 16 above this base: never null, never all
// bits set, and far from any address the updater could mistake for one.
constexpr std::uintptr_t HANDLE_BASE = 0x5100000;
constexpr std::uintptr_t HANDLE_STEP = 16;

void SettleService(SimWorld& world)
{
    SimService& service = world.serviceNow;
    if (service.stuckPending || world.nowMs < world.servicePendingUntilMs) {
        return;
    }
    if (service.state == SERVICE_START_PENDING_STATE) {
        service.state = SERVICE_RUNNING_STATE;
    }
    if (service.state == SERVICE_STOP_PENDING_STATE) {
        service.state = SERVICE_STOPPED_STATE;
    }
}

// Another application that lets go of its mutex releases it and closes its
// handle; with no handle of the updater's left, the name leaves the
// namespace and the next create makes a new mutex.
void LetGoOfMutexes(SimWorld& world)
{
    for (auto it = world.mutexes.begin(); it != world.mutexes.end();) {
        SimMutex& mutex = it->second;
        if (mutex.heldByOther && world.nowMs >= mutex.otherLetsGoAtMs) {
            mutex.heldByOther = false;
            if (mutex.updaterHandles == 0) {
                it = world.mutexes.erase(it);
                continue;
            }
        }
        ++it;
    }
}

const char* ControlName(ConsoleControl event)
{
    switch (event) {
    case ConsoleControl::Interrupt:
        return "ctrl_c";
    case ConsoleControl::Break:
        return "ctrl_break";
    case ConsoleControl::Close:
        return "close";
    case ConsoleControl::Logoff:
        return "logoff";
    case ConsoleControl::Shutdown:
        return "shutdown";
    }
    return "?";
}

// The other copy of the updater takes the one-updater mutex only when nobody
// owns it; it then writes the scanner (not modelled byte by byte: it is the
// fact that two copies write that matters) and keeps the mutex.
void StartOtherUpdater(SimWorld& world)
{
    world.otherUpdaterTried = true;
    auto it = world.mutexes.find(OTHER_UPDATER_MUTEX_NAME);
    if (it != world.mutexes.end() && (it->second.heldByOther || it->second.updaterOwnership > 0)) {
        return;
    }
    SimMutex& mutex = world.mutexes[OTHER_UPDATER_MUTEX_NAME];
    mutex.name = OTHER_UPDATER_MUTEX_NAME;
    mutex.heldByOther = true;
    world.otherUpdaterWrote = true;
}

// A handler runs on a thread of its own: while the main thread is inside
// the section the handler waits for, the event waits too.
void DeliverControlEvent(SimWorld& world, ConsoleControl event)
{
    const bool handled = world.controlHandler != nullptr && world.controlHandler(event);
    world.controlLog.push_back(std::string(ControlName(event)) + (handled ? " handled" : " ended"));
    if (!handled) {
        world.EndProcess(ControlName(event));
    }
}

void SleepThePc(SimWorld& world, const SimSystemSleep& sleep)
{
    world.nowMs += sleep.lengthMs;
    world.asleepMs += sleep.lengthMs;
    SettleService(world);
    LetGoOfMutexes(world);
    world.model.Update(world.nowMs);
}

// Everything scheduled up to now happens, in time order. Nothing is
// delivered while a delivery runs: the handler's own sleeps pass time too.
void DeliverDueEvents(SimWorld& world)
{
    static bool delivering = false;
    if (delivering || world.processEnded) {
        return;
    }
    struct Guard {
        Guard() { delivering = true; }
        ~Guard() { delivering = false; }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
    } guard;
    while (world.systemSleepsDone < world.systemSleeps.size() &&
           world.systemSleeps[world.systemSleepsDone].atMs <= world.nowMs) {
        SleepThePc(world, world.systemSleeps[world.systemSleepsDone++]);
    }
    if (world.nowMs >= world.killAtMs) {
        world.EndProcess("killed");
    }
    if (!world.otherUpdaterTried && world.nowMs >= world.otherUpdaterAtMs) {
        StartOtherUpdater(world);
    }
    while (!world.serviceDebtLocked && world.controlEventsDone < world.controlEvents.size() &&
           world.controlEvents[world.controlEventsDone].atMs <= world.nowMs) {
        DeliverControlEvent(world, world.controlEvents[world.controlEventsDone++].event);
    }
}

}  // namespace

SimWorld& World()
{
    static SimWorld world;
    return world;
}

void SimWorld::Start()
{
    nowMs = 0;
    console.clear();
    consoleRuns.clear();
    model.Reset(scanner);
    serviceNow = service;
    servicePendingUntilMs = 0;
    if (serviceNow.state == SERVICE_START_PENDING_STATE) {
        servicePendingUntilMs = serviceNow.startPendingMs;
    }
    if (serviceNow.state == SERVICE_STOP_PENDING_STATE) {
        servicePendingUntilMs = serviceNow.stopPendingMs;
    }
    SettleService(*this);
    serviceCalls = SimServiceCalls{};
    mutexes.clear();
    for (const std::string& name : mutexesHeldByOthers) {
        SimMutex& mutex = mutexes[name];
        mutex.name = name;
        mutex.heldByOther = true;
        const auto release = mutexReleasesByOthers.find(name);
        if (release != mutexReleasesByOthers.end()) {
            mutex.otherLetsGoAtMs = release->second;
        }
    }
    LetGoOfMutexes(*this);
    eventsCreated = eventsClosed = 0;
    deviceOpens = deviceCloses = 0;
    serviceHandlesOpen = 0;
    calls.clear();
    registryOpens = registryCloses = 0;
    valueWrites = 0;
    ownKeyOpens = 0;
    mutexCreates = 0;
    sleeps = 0;
    lastError = 0;
    eventCreateCalls = 0;
    setTimeoutsCalls = 0;
    longestCallMs = 0;
    firstHeldAtMs = NEVER_MS;
    lastTransferEndMs = 0;
    deviceOpenAttempts = 0;
    fixedAllocationCalls = fixedAllocations = fixedFrees = 0;
    objects.clear();
    auto byTime = [](const auto& left, const auto& right) { return left.atMs < right.atMs; };
    std::stable_sort(controlEvents.begin(), controlEvents.end(), byTime);
    std::stable_sort(systemSleeps.begin(), systemSleeps.end(), byTime);
    std::stable_sort(consoleSelections.begin(), consoleSelections.end(), byTime);
    quickEdit = quickEditAtStart;
    quickEditOffFromMs = quickEditOffUntilMs = NEVER_MS;
    consoleBlockedMs = 0;
    controlHandler = nullptr;
    serviceDebtLocked = false;
    controlEventsDone = systemSleepsDone = 0;
    controlLog.clear();
    keepAwake = false;
    keepAwakeRequests = 0;
    asleepMs = 0;
    processEnded = false;
    processEndedBy.clear();
    otherUpdaterTried = otherUpdaterWrote = false;
    processesStarted = 1;
}

void SimWorld::Advance(std::uint32_t milliseconds)
{
    nowMs += milliseconds;
    SettleService(*this);
    LetGoOfMutexes(*this);
    model.Update(nowMs);
    DeliverDueEvents(*this);
}

void SimWorld::EndProcess(const char* how)
{
    processEnded = true;
    processEndedBy = how;
    // What the platform takes back from an ended process.
    keepAwake = false;
    controlHandler = nullptr;
    throw SimProcessEnded{how};
}

void SimWorld::StartNextProcess()
{
    for (auto it = mutexes.begin(); it != mutexes.end();) {
        it->second.updaterOwnership = 0;
        it->second.updaterHandles = 0;
        it->second.createdByUpdater = false;
        it = it->second.heldByOther ? std::next(it) : mutexes.erase(it);
    }
    objects.clear();
    serviceHandlesOpen = 0;
    controlHandler = nullptr;
    serviceDebtLocked = false;
    keepAwake = false;
    // A console mode the ended process changed stays changed.
    quickEditOffFromMs = quickEditOffUntilMs = NEVER_MS;
    processEnded = false;
    processEndedBy.clear();
    killAtMs = NEVER_MS;
    ++processesStarted;
}

const std::uint8_t* EmbeddedImageData()
{
    return fw_embedded_image_start;
}

std::uint32_t EmbeddedImageSize()
{
    return static_cast<std::uint32_t>(fw_embedded_image_end - fw_embedded_image_start);
}

Handle NewSimObject(const SimObject& object)
{
    SimWorld& world = World();
    world.objects.push_back(object);
    // A simulated handle is a number in a pointer's clothes, never followed.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    return reinterpret_cast<Handle>(HANDLE_BASE + HANDLE_STEP * (world.objects.size() - 1));
}

SimObject* LookUpSimObject(Handle handle)
{
    SimWorld& world = World();
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (value < HANDLE_BASE || (value - HANDLE_BASE) % HANDLE_STEP != 0) {
        return nullptr;
    }
    const std::uintptr_t index = (value - HANDLE_BASE) / HANDLE_STEP;
    if (index >= world.objects.size()) {
        return nullptr;
    }
    return &world.objects[index];
}

SimObject* FindSimObject(Handle handle, SimObjectKind kind)
{
    SimObject* object = LookUpSimObject(handle);
    if (object == nullptr || !object->open || object->kind != kind) {
        return nullptr;
    }
    return object;
}

void SetSimLastError(std::uint32_t code)
{
    World().lastError = code;
}

void BlockInCall(std::uint32_t milliseconds)
{
    SimWorld& world = World();
    if (milliseconds > world.longestCallMs) {
        world.longestCallMs = milliseconds;
    }
    PassTime(milliseconds);
}

void PassTime(std::uint32_t milliseconds)
{
    World().Advance(milliseconds);
    if (World().realtime && milliseconds > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

namespace {

char LowerAscii(char ch)
{
    return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
}

}  // namespace

bool EqualIgnoringCase(const char* left, const char* right)
{
    for (;; ++left, ++right) {
        if (LowerAscii(*left) != LowerAscii(*right)) {
            return false;
        }
        if (*left == '\0') {
            return true;
        }
    }
}

bool StartsWithIgnoringCase(const char* text, const char* prefix, std::size_t prefixLength)
{
    // The updater spells its names exactly as the platform does, so the
    // plain comparison nearly always settles it.
    if (std::strncmp(text, prefix, prefixLength) == 0) {
        return true;
    }
    for (std::size_t i = 0; i < prefixLength; ++i) {
        if (LowerAscii(text[i]) != LowerAscii(prefix[i])) {
            return false;
        }
        if (text[i] == '\0') {
            return false;
        }
    }
    return true;
}
