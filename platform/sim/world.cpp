#include "platform/sim/world.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/sim/objects.h"
#include "platform/sim/threads.h"
#include "platform/sim/world_internal.h"

extern "C" {
extern const std::uint8_t fw_embedded_image_start[];
extern const std::uint8_t fw_embedded_image_end[];
extern const std::uint8_t fw_embedded_digest_start[];
extern const std::uint8_t fw_embedded_digest_end[];
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
// handle; with no handle of an updater's or a user's program left, the name
// leaves the namespace and the next create makes a new mutex.
void LetGoOfMutexes(SimWorld& world)
{
    for (auto it = world.mutexes.begin(); it != world.mutexes.end();) {
        SimMutex& mutex = it->second;
        if (mutex.heldByOther && world.nowMs >= mutex.otherLetsGoAtMs) {
            mutex.heldByOther = false;
            if (mutex.handles.empty() && mutex.otherWaiters == 0) {
                it = world.mutexes.erase(it);
                continue;
            }
        }
        ++it;
    }
    GrantWaitingUsers(world);
}

// From the scanner's first image byte until its burn, or its loader's
// power cycle, is over.
bool ImageUnderWay(const ScannerModel& model)
{
    return (model.imageBytes > 0 && !model.imageComplete) || model.burning || model.powerCycling;
}

bool ServiceActive(const SimService& service)
{
    return service.installed &&
           (service.state == SERVICE_RUNNING_STATE || service.state == SERVICE_START_PENDING_STATE);
}

// A start trigger on the device's arrival: the service manager starts a
// stopped service that is not disabled as the scanner comes onto the bus,
// whether it came back from an absence or from its loader's power cycle.
void PlayScannerArrival(SimWorld& world)
{
    const bool present = world.model.present;
    const bool arrived =
        present && (!world.scannerSeenPresent || world.model.generation != world.scannerSeenGeneration);
    world.scannerSeenPresent = present;
    world.scannerSeenGeneration = world.model.generation;
    SimService& service = world.serviceNow;
    if (arrived && service.startTrigger && service.installed && service.state == SERVICE_STOPPED_STATE &&
        service.startType != SERVICE_DISABLED_TYPE && !world.shutdownInProgress) {
        service.state = SERVICE_START_PENDING_STATE;
        world.servicePendingUntilMs = world.nowMs + service.startPendingMs;
    }
}

// Brings the scanner and the service to now; `imageBefore` is whether the
// scanner had an image under way before this stretch, so a service the
// burn's last event starts still counts.
void UpdateScannerAndService(SimWorld& world, bool imageBefore)
{
    world.model.Update(world.nowMs);
    PlayScannerArrival(world);
    if ((imageBefore || ImageUnderWay(world.model)) && ServiceActive(world.serviceNow)) {
        world.serviceBesideImage = true;
    }
}

void SleepThePc(SimWorld& world, const SimSystemSleep& sleep)
{
    const bool imageBefore = ImageUnderWay(world.model);
    world.nowMs += sleep.lengthMs;
    world.asleepMs += sleep.lengthMs;
    SettleService(world);
    LetGoOfMutexes(world);
    UpdateScannerAndService(world, imageBefore);
}

void SwapProcessView(SimWorld& world, SimProcessView& view)
{
    std::swap(world.console, view.console);
    std::swap(world.consoleRuns, view.consoleRuns);
    std::swap(world.objects, view.objects);
    std::swap(world.controlHandler, view.controlHandler);
    std::swap(world.lastError, view.lastError);
    std::swap(world.keepAwake, view.keepAwake);
    std::swap(world.keepAwakeRequests, view.keepAwakeRequests);
    std::swap(world.processEnded, view.processEnded);
    std::swap(world.processEndedBy, view.processEndedBy);
    std::swap(world.quickEdit, view.quickEdit);
    std::swap(world.quickEditOffFromMs, view.quickEditOffFromMs);
    std::swap(world.quickEditOffUntilMs, view.quickEditOffUntilMs);
    std::swap(world.serviceHandlesOpen, view.serviceHandlesOpen);
}

// The first process's record and one per copy, each copy's view as a fresh
// process in a console of its own finds it.
void MakeProcesses(SimWorld& world)
{
    world.currentProcess = 0;
    world.processes.assign(1 + world.updaterCopies.size(), SimProcess{});
    world.processes[0].started = true;
    world.updaterCopiesStarted = 0;
    world.userMutexHoldersDone = 0;
    world.userMutexStates.assign(world.userMutexHolders.size(), SimUserMutexState::NotYet);
    world.shutdownInProgress = false;
    world.processes[0].imagePath = world.programPath;
}

// The disk as the world starts: what was there before, the updater's own
// executable, and Program Files, where only administrators create.
void MakeFiles(SimWorld& world)
{
    world.files = world.filesAtStart;
    world.files[SimLowerPath(world.programPath)] = SimFile{};
    world.files[SimLowerPath(world.programFilesPath)] = MakeSimFile(true, true);
    world.files.emplace(SimLowerPath(world.programDataPath), MakeSimFile(true, false));
    world.tasks.clear();
    world.taskRuns.clear();
    world.createFolderCalls = world.copyFileCalls = world.registerTaskCalls = 0;
    world.logFolderCreates = world.logAppends = 0;
    world.diskFreeNow = world.diskFreeBytes;
}

}  // namespace

const char* SimControlName(ConsoleControl event)
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

SimWorld& World()
{
    static SimWorld world;
    return world;
}

std::uint32_t SimControlTimeLimitMs(const SimWorld& world, ConsoleControl event)
{
    switch (event) {
    case ConsoleControl::Close:
        return world.hungAppTimeoutMs;
    case ConsoleControl::Logoff:
    case ConsoleControl::Shutdown:
        return world.waitToKillTimeoutMs;
    default:
        return 0;
    }
}

void SimWorld::Start()
{
    ResetSimThreads();
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
    serviceBesideImage = false;
    scannerSeenPresent = model.present;
    scannerSeenGeneration = model.generation;
    serviceCalls = SimServiceCalls{};
    auto byTime = [](const auto& left, const auto& right) { return left.atMs < right.atMs; };
    std::stable_sort(controlEvents.begin(), controlEvents.end(), byTime);
    std::stable_sort(systemSleeps.begin(), systemSleeps.end(), byTime);
    for (SimConsoleSelection& selection : consoleSelections) {
        if (!selection.whenWriting.empty()) {
            selection.atMs = NEVER_MS;  // made once its text comes
        }
    }
    std::stable_sort(consoleSelections.begin(), consoleSelections.end(), byTime);
    std::stable_sort(updaterCopies.begin(), updaterCopies.end(), byTime);
    std::stable_sort(userMutexHolders.begin(), userMutexHolders.end(), byTime);
    MakeProcesses(*this);
    MakeFiles(*this);
    eventLog.clear();
    reportEventCalls = 0;
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
    // The PC starts with every hive on disk as it stands.
    machineKeysOnDisk = machineKeys;
    startTypeOnDisk = serviceNow.startType;
    systemChangedSinceMs = softwareChangedSinceMs = NEVER_MS;
    powerWasCut = false;
    powerCutCallsSeen = 0;
    // A damaged copy's image: read-only in the executable, so the world
    // keeps the altered bytes itself.
    alteredImage.clear();
    if (imageFlippedByte.has_value() && *imageFlippedByte < EmbeddedImageSize()) {
        alteredImage.assign(EmbeddedImageData(), EmbeddedImageData() + EmbeddedImageSize());
        alteredImage[*imageFlippedByte] = static_cast<std::uint8_t>(~alteredImage[*imageFlippedByte]);
    }
    ResetCounters();
}

void SimWorld::ResetCounters()
{
    eventsCreated = eventsClosed = 0;
    deviceOpens = deviceCloses = 0;
    serviceHandlesOpen = 0;
    calls.clear();
    registryOpens = registryCloses = 0;
    valueWrites = 0;
    keyFlushes = 0;
    ownKeyOpens = 0;
    mutexCreates = 0;
    mutexOpens = 0;
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
    quickEdit = quickEditAtStart;
    quickEditOffFromMs = quickEditOffUntilMs = NEVER_MS;
    consoleBlockedMs = 0;
    lastConsoleWriteMs = NEVER_MS;
    controlHandler = nullptr;
    controlEventsDone = systemSleepsDone = 0;
    controlLog.clear();
    keepAwake = false;
    keepAwakeRequests = 0;
    asleepMs = 0;
    processEnded = false;
    processEndedBy.clear();
    processesStarted = 1;
}

void SimWorld::Advance(std::uint32_t milliseconds)
{
    SleepSimThreadUntil(nowMs + milliseconds);
}

void SimWorld::EndProcess(const char* how)
{
    EndSimProcess(currentProcess, how);
    ThrowIfSimThreadEnded();
    throw SimProcessEnded{how};
}

namespace {
void StartWindowsAgain(SimWorld& world);
}  // namespace

void SimWorld::StartNextProcess()
{
    ResetSimThreads();
    DropProcessMutexes(*this, 0);
    for (auto& [name, mutex] : mutexes) {
        if (mutex.createdBy == 0) {
            mutex.createdBy = NO_PROCESS;
        }
    }
    objects.clear();
    serviceHandlesOpen = 0;
    controlHandler = nullptr;
    keepAwake = false;
    // A console mode the ended process changed stays changed.
    quickEditOffFromMs = quickEditOffUntilMs = NEVER_MS;
    processEnded = false;
    processEndedBy.clear();
    killAtMs = NEVER_MS;
    // After a shutdown the next run comes after Windows has started again:
    // the service manager takes controls, and the service runs if its start
    // type says so.
    processes[0] = SimProcess{};
    processes[0].imagePath = programPath;
    ++processesStarted;
    // Until the PC has started, the run has not: a control event or a kill
    // still to come waits for it.
    StartWindowsAgain(*this);
    processes[0].started = true;
}

namespace {

void StartWindowsAgain(SimWorld& world)
{
    auto& tasks = world.tasks;
    auto& nowMs = world.nowMs;
    // A shutdown writes every hive out; power lost wrote none, and the PC
    // starts from what the disk held (the registry lost it at the cut).
    if (world.shutdownInProgress || world.powerWasCut) {
        if (world.shutdownInProgress) {
            world.FlushHive(SimHive::System);
            world.FlushHive(SimHive::Software);
        }
        // Windows takes a while to go down and come up again; no task
        // starts meanwhile. Without a task nothing in the worlds acts in
        // that time, and the run comes at once as it always did.
        if (!tasks.empty()) {
            SleepSimThreadUntil(nowMs + world.restartTakesMs);
        }
        world.shutdownInProgress = false;
        world.powerWasCut = false;
        // A start trigger fires for a scanner on the bus as Windows finds it.
        SimService& service = world.serviceNow;
        const bool triggered =
            service.startTrigger && service.startType != SERVICE_DISABLED_TYPE && world.model.Present(nowMs, nullptr);
        service.state =
            service.startType == SERVICE_AUTO_START_TYPE || triggered ? SERVICE_RUNNING_STATE : SERVICE_STOPPED_STATE;
        world.servicePendingUntilMs = 0;
        // Each task's start-up trigger; the user logs on a while later.
        for (auto& [name, task] : tasks) {
            task.nextRunAtMs = nowMs;
        }
        if (!tasks.empty()) {
            SleepSimThreadUntil(nowMs + world.logonAfterStartMs);
        }
    }
}

}  // namespace

std::string SimLowerPath(const std::string& path)
{
    std::string lower = path;
    for (char& ch : lower) {
        if (ch >= 'A' && ch <= 'Z') {
            ch = static_cast<char>(ch - 'A' + 'a');
        }
    }
    return lower;
}

std::string SimParentFolder(const std::string& path)
{
    const std::size_t cut = path.rfind('\\');
    return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

void RemoveSimFolder(SimWorld& world, const std::string& folder)
{
    const std::string lower = SimLowerPath(folder);
    if (lower.empty()) {
        return;
    }
    std::erase_if(world.files, [&lower](const auto& entry) {
        return entry.first == lower || entry.first.rfind(lower + "\\", 0) == 0;
    });
}

namespace {

std::uint64_t& ChangedSince(SimWorld& world, SimHive hive)
{
    return hive == SimHive::System ? world.systemChangedSinceMs : world.softwareChangedSinceMs;
}

// The lazy flusher's writes that fell due by now, each of the hive as it
// stood then: no change has been made since (a change writes out what was
// due before it).
void FlushDueHives(SimWorld& world)
{
    for (const SimHive hive : {SimHive::System, SimHive::Software}) {
        const std::uint64_t since = ChangedSince(world, hive);
        const std::uint64_t after = hive == SimHive::System ? world.systemLazyFlushMs : world.softwareLazyFlushMs;
        if (since != NEVER_MS && after != NEVER_MS && world.nowMs - since >= after) {
            world.FlushHive(hive);
        }
    }
}

}  // namespace

void SimWorld::NoteHiveChange(SimHive hive)
{
    FlushDueHives(*this);
    std::uint64_t& since = ChangedSince(*this, hive);
    if (since == NEVER_MS) {
        since = nowMs;
    }
}

void SimWorld::FlushHive(SimHive hive)
{
    if (hive == SimHive::System) {
        startTypeOnDisk = serviceNow.startType;
    } else {
        machineKeysOnDisk = machineKeys;
    }
    ChangedSince(*this, hive) = NEVER_MS;
}

void LoseUnflushedRegistry(SimWorld& world)
{
    FlushDueHives(world);
    world.machineKeys = world.machineKeysOnDisk;
    world.serviceNow.startType = world.startTypeOnDisk;
    world.systemChangedSinceMs = world.softwareChangedSinceMs = NEVER_MS;
}

void MoveSimClockTo(SimWorld& world, std::uint64_t atMs)
{
    // The stretch about to pass is judged as things stand at its start.
    const bool imageBefore = ImageUnderWay(world.model);
    if (imageBefore && ServiceActive(world.serviceNow)) {
        world.serviceBesideImage = true;
    }
    world.nowMs = std::max(world.nowMs, atMs);
    if (world.nowMs >= world.programGoneAtMs) {
        world.files.erase(SimLowerPath(world.programPath));
    }
    SettleService(world);
    LetGoOfMutexes(world);
    UpdateScannerAndService(world, imageBefore);
    while (world.systemSleepsDone < world.systemSleeps.size() &&
           world.systemSleeps[world.systemSleepsDone].atMs <= world.nowMs) {
        SleepThePc(world, world.systemSleeps[world.systemSleepsDone++]);
    }
}

void ShowSimProcess(SimWorld& world, int process)
{
    const int before = world.currentProcess;
    if (process == before || static_cast<std::size_t>(process) >= world.processes.size() ||
        static_cast<std::size_t>(before) >= world.processes.size()) {
        return;
    }
    // The running process's slot holds nothing of use while it runs: the
    // swap parks the world's fields there and takes the other's out.
    SwapProcessView(world, world.processes[before].view);
    SwapProcessView(world, world.processes[process].view);
    world.currentProcess = process;
}

void EndSimProcessState(SimWorld& world, int process, const char* how, bool returned)
{
    SimProcess& record = world.processes[process];
    record.ended = true;
    record.endedBy = how;
    if (!returned) {
        WithSimProcessView(world, process, [&world, how] {
            world.processEnded = true;
            world.processEndedBy = how;
            world.keepAwake = false;
            world.controlHandler = nullptr;
        });
    }
    // A copy's handles close with it; the first process's stay for the
    // report until the next run starts.
    if (process != 0) {
        DropProcessMutexes(world, process);
    }
}

const std::uint8_t* EmbeddedImageData()
{
    return fw_embedded_image_start;
}

std::uint32_t EmbeddedImageSize()
{
    return static_cast<std::uint32_t>(fw_embedded_image_end - fw_embedded_image_start);
}

const std::uint8_t* EmbeddedDigestData()
{
    return fw_embedded_digest_start;
}

std::uint32_t EmbeddedDigestSize()
{
    return static_cast<std::uint32_t>(fw_embedded_digest_end - fw_embedded_digest_start);
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
