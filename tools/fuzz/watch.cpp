#include "tools/fuzz/watch.h"

#include <cstring>
#include <thread>

#include "app/give_back.h"
#include "common/print.h"
#include "common/shared.h"

#include "host/guards.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/device.h"
#include "platform/mutex.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "platform/sim/world.h"
#include "scanner_model/wire_values.h"
#include "tools/fuzz/interruptions.h"

namespace {

const char SCANNER_MUTEX_PREFIX[] = "Global\\ORVANE_SCAN_EXT_APP_MUTEX_";
const char UTILITY_MUTEX_NAME[] = "{3F9E21C4-7B0A-4d6e-8C5F-A1D2E3B4C5F6}";

void Break(const std::string& promise)
{
    RunWatch& watch = Watch();
    if (watch.broken.empty()) {
        watch.broken = promise;
    }
    WorldWatch& world = Worldwide();
    if (world.broken.empty()) {
        world.broken = promise;
    }
}

bool Alive(const SimWorld& w, int process)
{
    return process >= 0 && static_cast<std::size_t>(process) < w.processes.size() && w.processes[process].started &&
           !w.processes[process].ended;
}

// Where the running process's run started: the watch's own for the first
// process, a copy's taken at its first watched call (its time and the
// PC's sleep then, so that a sleep before it is not counted as the copy's
// awake time).
const RunStart& StartOfRunning(const SimWorld& w)
{
    const int process = w.currentProcess;
    if (process == 0) {
        return Watch().start;
    }
    auto& starts = Worldwide().copyStarts;
    auto found = starts.find(process);
    if (found == starts.end()) {
        found = starts.emplace(process, RunStart{w.nowMs, w.asleepMs, w.consoleBlockedMs}).first;
    }
    return found->second;
}

// A run past its bound is stopped: the first process's main thread by
// RunOverBound, any other thread (a copy, a handler) by ending its process,
// as a thread of the simulated PC cannot carry the fuzzer's exception.
void CheckTime()
{
    SimWorld& w = World();
    const RunStart& start = StartOfRunning(w);
    const std::uint64_t counted = w.nowMs - start.atMs - (w.asleepMs - start.asleepMs) -
                                  (w.currentProcess == 0 ? w.consoleBlockedMs - start.consoleBlockedMs : 0);
    if (counted <= Watch().boundMs) {
        return;
    }
    if (std::this_thread::get_id() == Worldwide().hostThread) {
        throw RunOverBound{};
    }
    Break("1: process " + std::to_string(w.currentProcess) + " was still going after " + std::to_string(counted) +
          " ms of wall-clock time (bound " + std::to_string(Watch().boundMs) + ")");
    w.EndProcess("over its bound");
}

// The live process, other than the running one, that owns the one-updater
// mutex; NO_PROCESS when none does.
int OtherOwnerOfUpdaterMutex(const SimWorld& w)
{
    const auto found = w.mutexes.find(UPDATER_MUTEX_NAME);
    if (found == w.mutexes.end() || found->second.ownership <= 0) {
        return NO_PROCESS;
    }
    const int owner = found->second.owner;
    return owner != w.currentProcess && Alive(w, owner) ? owner : NO_PROCESS;
}

// A change to the imaging service or its record is made only by the holder
// of the one-updater mutex: a second copy must never take the first one's
// live record for a dead run's, nor its stopped service for one to start.
void JudgeChangeByOwner(const char* what)
{
    const SimWorld& w = World();
    const int owner = OtherOwnerOfUpdaterMutex(w);
    if (owner != NO_PROCESS) {
        Break("13: process " + std::to_string(w.currentProcess) + " " + what + " while process " +
              std::to_string(owner) + " owns the one-updater mutex");
    }
}

// Whether the process that delivered the image has followed its burn to
// the end and gives the service back itself: its announced give-back
// (printed before the start) came after the image. Judged as it prints.
void NoteBurnFollowed(const SimWorld& w)
{
    WorldWatch& ww = Worldwide();
    if (ww.burnFollowed || ww.follower != w.currentProcess ||
        (ww.follower == 0 && w.processesStarted != ww.followerRun)) {
        return;
    }
    const unsigned language = w.languageId == 0x0404 ? 1u : 0u;
    const std::string starting =
        std::string(MessageText(MSG_STARTING_WIA + MESSAGES_PER_LANGUAGE * static_cast<int>(language))) + "\n";
    ww.burnFollowed = w.console.find(starting, ww.followerConsoleAt) != std::string::npos;
}

// The process that delivered the image the scanner burns still runs (for
// the first process: the same run of it).
bool FollowerAlive(const SimWorld& w)
{
    const WorldWatch& ww = Worldwide();
    return ww.follower == 0 ? (w.processesStarted == ww.followerRun && !w.processes[0].ended)
                            : (ww.follower > 0 && !w.processes[ww.follower].ended);
}

// What the scanner is doing with its image, as the scanner sees it: null
// when neither, or when the run that sent it has followed the burn to its
// end (a burn longer than the run's bound, a scanner that stopped
// answering: the run gives up and gives the service back).
const char* ScannerBusyWithImage(const SimWorld& w)
{
    // A write the scanner does not take (it fell silent), or one whose
    // process is gone (its request cancelled), brings it no bytes.
    const int writer = Worldwide().imageWriteBy;
    if (writer != NO_PROCESS && !w.model.Silent(w.nowMs) &&
        (static_cast<std::size_t>(writer) >= w.processes.size() || !w.processes[writer].ended)) {
        return "receiving the image";
    }
    const ScannerModel& m = w.model;
    // A loader that has its image answers as a ready scanner until it leaves
    // the bus to burn: a later run cannot tell it from one, so that stretch
    // is held against the run that sent the image only, while it lives.
    const bool senderAlive = FollowerAlive(w);
    // A later run believes what the scanner says of itself: with a scripted
    // status (which may say ready while it burns), transfer faults or a
    // scanner that falls silent (one that cannot answer is taken as not
    // burning: a burning scanner says so) the burn is held against the
    // sender only.
    // Nor can it answer while it is off the bus.
    std::int32_t path = -1;
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast): peeking only brings the model to now
    const bool onTheBus = const_cast<ScannerModel&>(m).Present(w.nowMs, &path);
    const bool scripted = m.config.scriptLength != 0 || m.config.faultCount != 0 || m.config.silentByCount ||
                          m.config.silentByTime || !onTheBus;
    const bool burning =
        (m.burning && (senderAlive || !scripted)) || (senderAlive && m.powerCycling && !m.powerCycleLeft);
    return burning && Worldwide().imageSentWithServiceOff && !Worldwide().burnFollowed ? "burning it" : nullptr;
}

// A world in which the rules let the updater send the image beside the
// service: it runs accepting no control, or its status may not be read (the
// updater then leaves it as it is).
bool ServiceMayStayBesideImage(const SimWorld& w)
{
    const SimService& s = w.service;
    return s.runningControls == 0 || s.openManager.first != 0 || s.openService.first != 0 || s.queryStatus.first != 0;
}

// The imaging service stays off while the scanner receives or burns the
// image the updater sent, once an updater took it off: judged for the
// stretch of time about to pass.
void JudgeServiceBesideImage(const SimWorld& w, std::uint64_t untilMs)
{
    const std::uint32_t state = w.serviceNow.state;
    if (!Worldwide().serviceTakenOff || (state != SERVICE_RUNNING_STATE && state != SERVICE_START_PENDING_STATE)) {
        return;
    }
    // A world in which the updater may not reach the service (the rules
    // then leave it as it is) cannot keep a trigger or anybody from starting
    // it: promise 16 leaves such worlds out as well.
    if (ServiceMayStayBesideImage(w)) {
        return;
    }
    const char* busy = ScannerBusyWithImage(w);
    if (busy == nullptr) {
        // Running again while the scanner has no image of ours: a start
        // asked for that answered too late, or anybody's, makes it the
        // user's again. An image sent beside it is promise 16's to judge.
        HandServiceBackToUser();
        return;
    }
    Break("12: the imaging service was " + std::string(state == SERVICE_RUNNING_STATE ? "running" : "starting") +
          " from " + std::to_string(w.nowMs) + " to " + std::to_string(untilMs) + " virtual ms while the scanner was " +
          busy);
}

// Promise 15: no image beside a running or starting service, whatever its
// start type and triggers: from the scanner's first image byte to the end
// of its burn (the world's own account, its last moment included), while
// the run that sends it follows it and has not given the service back.
void JudgeServiceBesideSentImage(SimWorld& w)
{
    const WorldWatch& ww = Worldwide();
    const bool sending = ww.imageWriteBy != NO_PROCESS;
    const bool following = sending || (FollowerAlive(w) && !ww.burnFollowed);
    if (w.serviceBesideImage && following && !ServiceMayStayBesideImage(w)) {
        Break("16: the imaging service was " +
              std::string(w.serviceNow.state == SERVICE_START_PENDING_STATE ? "starting" : "running") + " at " +
              std::to_string(w.nowMs) + " virtual ms beside the image process " +
              std::to_string(sending ? ww.imageWriteBy : ww.follower) + " sent");
    }
    // Each stretch on its own.
    w.serviceBesideImage = false;
}

// No standard user's program ever holds a one-updater mutex an updater
// made: it would lock every run out. (One that makes the name itself while
// no updater holds it is beyond any descriptor the updater can give; the
// README says so.)
void JudgeUsersPrograms(const SimWorld& w)
{
    const auto mutex = w.mutexes.find(UPDATER_MUTEX_NAME);
    if (mutex == w.mutexes.end() || mutex->second.createdBy == NO_PROCESS) {
        return;
    }
    for (std::size_t i = 0; i < w.userMutexStates.size() && i < w.userMutexHolders.size(); ++i) {
        if (w.userMutexHolders[i].name == UPDATER_MUTEX_NAME && w.userMutexStates[i] == SimUserMutexState::Holding) {
            Break("14: a standard user's program (opened at " + std::to_string(w.userMutexHolders[i].atMs) +
                  " ms) holds " + UPDATER_MUTEX_NAME + " at " + std::to_string(w.nowMs) + " virtual ms");
        }
    }
}

// Whether the updater owns, right now, both guard mutexes.
// The scanner tool open in another session than the updater's (its mutex,
// with no prefix, is one per session); session 0 runs no desktop tool.
bool UtilityRunsElsewhere(const SimWorld& w)
{
    const std::string tail = std::string("\\") + UTILITY_MUTEX_NAME;
    for (const auto& [name, m] : w.mutexes) {
        if (m.heldByOther && name.rfind("Session\\", 0) == 0 && name.rfind("Session\\0\\", 0) != 0 &&
            name.size() > tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0) {
            return true;
        }
    }
    return false;
}

bool UpdaterOwnsBothGuards(const SimWorld& w)
{
    bool scanner = false, utility = false;
    for (const auto& [name, m] : w.mutexes) {
        if (!m.OwnedBy(w.currentProcess)) {
            continue;
        }
        if (name.compare(0, sizeof SCANNER_MUTEX_PREFIX - 1, SCANNER_MUTEX_PREFIX) == 0) {
            scanner = true;
        }
        if (name == UTILITY_MUTEX_NAME) {
            utility = true;
        }
    }
    return scanner && utility && !UtilityRunsElsewhere(w);
}

int& RegistryLookupsOfRunning(const SimWorld& w)
{
    return w.currentProcess == 0 ? Watch().registryLookups : Worldwide().copyRegistryLookups[w.currentProcess];
}

// The running process's view of its own stop: each copy stops and waits
// for the service on its own.
bool& StopAcceptedOfRunning(const SimWorld& w)
{
    return w.currentProcess == 0 ? Watch().stopAccepted : Worldwide().copyStopAccepted[w.currentProcess];
}

bool& StoppedReportedOfRunning(const SimWorld& w)
{
    return w.currentProcess == 0 ? Watch().stoppedReported : Worldwide().copyStoppedReported[w.currentProcess];
}

// Whether another application, or another copy of the updater, has the
// name open right now.
bool OtherApplicationHolds(const SimWorld& w, const char* name)
{
    const auto it = w.mutexes.find(name);
    if (it == w.mutexes.end()) {
        return false;
    }
    if (it->second.heldByOther) {
        return true;
    }
    for (const auto& [process, handles] : it->second.handles) {
        if (process != w.currentProcess && handles > 0) {
            return true;
        }
    }
    return false;
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

// Windows' start after a power cut is the updater's doing only when it
// starts a service an updater had disabled: the disabled start type was
// lost for want of a flush. A service that was never disabled starts as it
// would after a shutdown.
void NoteWindowsStartedAfterPowerCut(const SimWorld& world)
{
    if (ScannerBusyWithImage(world) == nullptr || world.startTypeAtCut != SERVICE_DISABLED_TYPE) {
        HandServiceBackToUser();
    }
}

void HandServiceBackToUser()
{
    Worldwide().serviceTakenOff = false;
    Worldwide().imageSentWithServiceOff = false;
}

WorldWatch& Worldwide()
{
    static WorldWatch watch;
    return watch;
}

void ResetWorldWatch()
{
    Worldwide() = WorldWatch{};
    Worldwide().hostThread = std::this_thread::get_id();
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

namespace {

// The first run's first write to the scanner: what the scanner could say
// of a dead run's image as it is asked.
void NoteFirstWrite(const SimWorld& w)
{
    if (w.currentProcess == 0 && !Watch().wroteYet) {
        Watch().wroteYet = true;
        Watch().recordMayWaitWhenAsked = RecordMayWait(w);
    }
}

// A write the scanner takes as its image marks the writer as its sender
// while the call lasts.
struct ImageWrite {
    bool image;
    explicit ImageWrite(bool isImage, int by) : image(isImage)
    {
        if (image) {
            Worldwide().imageWriteBy = by;
        }
    }
    ~ImageWrite()
    {
        if (image) {
            Worldwide().imageWriteBy = NO_PROCESS;
        }
    }
    ImageWrite(const ImageWrite&) = delete;
    ImageWrite& operator=(const ImageWrite&) = delete;
};

// A write that started a burn or a loader's power cycle: the writer follows
// it if the write was its image; otherwise nobody does.
void NoteBurnStarted(const SimWorld& w, int process, bool intended, bool serviceOffAtWrite)
{
    WorldWatch& ww = Worldwide();
    if (!intended) {
        ww.follower = NO_PROCESS;
        ww.imageSentWithServiceOff = false;
        return;
    }
    ww.follower = process;
    ww.followerRun = w.processesStarted;
    ww.followerConsoleAt = w.console.size();
    ww.burnFollowed = false;
    ww.imageSentWithServiceOff = serviceOffAtWrite;
}

}  // namespace

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
bool __real__Z17ReleaseOwnedMutexPv(Handle mutex);
void __real__Z12ConsoleWritePKcmj(const char* data, std::size_t size, std::uint32_t codePage);
bool __real__Z17StartNamedServicePv(Handle service);
bool __real__Z22ChangeServiceStartTypePvj(Handle service, std::uint32_t startType);
std::int32_t __real__Z16CreateMachineKeyPKcPPv(const char* subKey, Handle* key);
std::int32_t __real__Z12SetKeyNumberPvPKcj(Handle key, const char* name, std::uint32_t value);
std::int32_t __real__Z16DeleteMachineKeyPKc(const char* subKey);
std::int32_t __real__Z14OpenMachineKeyPKcPPv(const char* subKey, Handle* key);
void __real__Z14MoveSimClockToR8SimWorldm(SimWorld& world, std::uint64_t atMs);
MutexLook __real__Z12LookForMutexPKc(const char* name);
bool __real__Z17ListOtherSessionsPjjS_(std::uint32_t* ids, std::uint32_t room, std::uint32_t* count);

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
    const int process = w.currentProcess;
    // Judged as things stand when the bytes go out.
    const bool serviceLetGo = !StopAcceptedOfRunning(w) || StoppedReportedOfRunning(w);
    // The registry lookup is the first guard: it runs only for a scanner
    // that is not in its recovery loader, and before anything but the
    // status probe is sent. The updater's own key (the record of a service
    // owed back) is not part of it. Each process's run looks up on its own.
    const bool guarded = RegistryLookupsOfRunning(w) == 0 || UpdaterOwnsBothGuards(w);
    // Two copies of the updater never write the scanner at once: each writes
    // only while it owns the one-updater mutex.
    const auto updaterMutex = w.mutexes.find(UPDATER_MUTEX_NAME);
    const bool exclusive = updaterMutex != w.mutexes.end() && updaterMutex->second.OwnedBy(process);
    const std::uint32_t reached = w.model.writeCalls;
    const std::uint32_t burns = w.model.burnsStarted + w.model.powerCycles;
    // Whose the service is while the image goes out; it counts for the burn
    // this write starts, and a write the scanner does not take starts none.
    const bool serviceOffAtWrite = Worldwide().serviceTakenOff;
    // Only the updater's own image write sends an image. A command that a
    // scanner still waiting for the rest of a cut image takes as its last
    // bytes (a later run's first probe, say) starts a burn of what that
    // scanner holds, which no run sent and none follows.
    const bool intended = ImageWriteUnderWay.load();
    NoteFirstWrite(w);
    // The scanner has taken the announcement and waits for the image: this
    // write is the image, for as long as the call takes (a process that
    // ends inside it cancels it).
    const ImageWrite imageWrite(intended && w.model.phase == SCANNER_PHASE_DATA_OUT &&
                                    w.model.lastSubcode == scanner_wire::SUBCODE_FIRMWARE,
                                process);
    const bool ok = __real__Z11WriteDevicePvPKvjPjP18TransferOverlapped(device, data, size, transferred, overlapped);
    if (w.model.writeCalls != reached) {
        if (!serviceLetGo) {
            Break("2: written to the scanner before the imaging service reported stopped");
        }
        if (!guarded) {
            Break("3: written to the scanner in normal mode without owning both mutexes, or with the scanner tool "
                  "open in another session");
        }
        if (!exclusive) {
            Break("9: process " + std::to_string(process) +
                  " wrote to the scanner without owning the one-updater mutex");
        }
    }
    if (w.model.burnsStarted + w.model.powerCycles != burns) {
        NoteBurnStarted(w, process, intended, serviceOffAtWrite);
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
    const SimWorld& w = World();
    if (ok && status != nullptr && status->dwCurrentState == SERVICE_STOPPED_STATE && StopAcceptedOfRunning(w)) {
        StoppedReportedOfRunning(w) = true;
    }
    return ok;
}

bool __wrap__Z15SendServiceStopPvP13ServiceStatus(Handle service, ServiceStatus* status)
{
    JudgeChangeByOwner("sent the imaging service a stop");
    const bool ok = __real__Z15SendServiceStopPvP13ServiceStatus(service, status);
    if (ok) {
        const SimWorld& w = World();
        StopAcceptedOfRunning(w) = true;
        StoppedReportedOfRunning(w) = status != nullptr && status->dwCurrentState == SERVICE_STOPPED_STATE;
        Worldwide().serviceTakenOff = true;
    }
    return ok;
}

// The give-back task's last run starts the service whatever the scanner
// says: a scanner that still says it burns after the task's runs (at
// least 22 minutes) is wedged, as one past a run's ten minutes is.
bool GiveBackGivesUp(const SimWorld& w)
{
    const auto note = w.machineKeys.find("software\\fwupdate-giveback");
    if (note == w.machineKeys.end() || w.processes[static_cast<std::size_t>(w.currentProcess)].task.empty()) {
        return false;
    }
    const auto runs = note->second.find("runs");
    return runs != note->second.end() && static_cast<std::uint32_t>(runs->second) != 0xFFFFFFFFu &&
           static_cast<std::uint32_t>(runs->second) >= GIVE_BACK_MOST_RUNS;
}

bool __wrap__Z17StartNamedServicePv(Handle service)
{
    JudgeChangeByOwner("started the imaging service");
    const bool ok = __real__Z17StartNamedServicePv(service);
    // Given back at a moment the scanner may have it: from here on the
    // service is the user's again, and a burn the scanner goes on with is
    // no longer kept from it (a later run that stops the service and gives
    // it back leaves it as it found it). A start beside the image stays
    // taken off, and the time that passes with it is judged.
    if (ok && (ScannerBusyWithImage(World()) == nullptr || GiveBackGivesUp(World()))) {
        HandServiceBackToUser();
    }
    return ok;
}

bool __wrap__Z22ChangeServiceStartTypePvj(Handle service, std::uint32_t startType)
{
    JudgeChangeByOwner("changed the imaging service's start type");
    const bool ok = __real__Z22ChangeServiceStartTypePvj(service, startType);
    // A service kept from starting is given back without a line: the
    // follower putting its start type back has followed the burn to its end.
    WorldWatch& ww = Worldwide();
    if (ok && startType != SERVICE_DISABLED_TYPE && World().currentProcess == ww.follower && FollowerAlive(World())) {
        ww.burnFollowed = true;
    }
    return ok;
}

std::int32_t __wrap__Z16CreateMachineKeyPKcPPv(const char* subKey, Handle* key)
{
    JudgeChangeByOwner("created the record's key");
    return __real__Z16CreateMachineKeyPKcPPv(subKey, key);
}

std::int32_t __wrap__Z12SetKeyNumberPvPKcj(Handle key, const char* name, std::uint32_t value)
{
    JudgeChangeByOwner("wrote the record");
    return __real__Z12SetKeyNumberPvPKcj(key, name, value);
}

std::int32_t __wrap__Z16DeleteMachineKeyPKc(const char* subKey)
{
    JudgeChangeByOwner("removed the record");
    return __real__Z16DeleteMachineKeyPKc(subKey);
}

std::int32_t __wrap__Z14OpenMachineKeyPKcPPv(const char* subKey, Handle* key)
{
    const SimWorld& w = World();
    const std::uint32_t ownKeyOpens = w.ownKeyOpens;
    const std::int32_t status = __real__Z14OpenMachineKeyPKcPPv(subKey, key);
    if (w.ownKeyOpens == ownKeyOpens) {
        ++RegistryLookupsOfRunning(w);
    }
    return status;
}

// Every passage of virtual time, on any simulated thread: what holds over
// the stretch about to pass is judged before it passes.
void __wrap__Z14MoveSimClockToR8SimWorldm(SimWorld& world, std::uint64_t atMs)
{
    if (atMs > world.nowMs) {
        JudgeServiceBesideImage(world, atMs);
    }
    __real__Z14MoveSimClockToR8SimWorldm(world, atMs);
    JudgeServiceBesideSentImage(world);
    JudgeUsersPrograms(world);
}

Handle __wrap__Z16CreateOwnedMutexPKc(const char* name)
{
    const SimWorld& w = World();
    const bool otherHolds = name != nullptr && OtherApplicationHolds(w, name);
    const Handle mutex = __real__Z16CreateOwnedMutexPKc(name);
    // The run's watch follows the first process's guards; a copy's tries
    // are its own.
    if (w.currentProcess != 0) {
        return mutex;
    }
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

// The scanner tool's look into the other sessions: a tool seen there, or a
// look that cannot tell, lets the utility guard fail.
MutexLook __wrap__Z12LookForMutexPKc(const char* name)
{
    const MutexLook look = __real__Z12LookForMutexPKc(name);
    if (look != MutexLook::Absent && World().currentProcess == 0) {
        Watch().utilitySeenElsewhere = true;
    }
    return look;
}

bool __wrap__Z17ListOtherSessionsPjjS_(std::uint32_t* ids, std::uint32_t room, std::uint32_t* count)
{
    const bool whole = __real__Z17ListOtherSessionsPjjS_(ids, room, count);
    if (!whole && World().currentProcess == 0) {
        Watch().utilitySeenElsewhere = true;
    }
    return whole;
}

// The one-updater mutex: its handle is kept, released and never closed, when
// the create made it or a later wait took it; a try that found it owned must
// close its handle.
Handle __wrap__Z20CreateAdminOnlyMutexPKc(const char* name)
{
    const Handle mutex = __real__Z20CreateAdminOnlyMutexPKc(name);
    if (mutex != NO_HANDLE) {
        const bool owned = LastError() != ERROR_ALREADY_EXISTS_CODE;
        (owned ? Watch().ownedMutexHandles : Watch().failedTryHandles).push_back(mutex);
        if (owned && World().currentProcess == 0) {
            Watch().tookUpdaterMutex = true;
        }
    }
    return mutex;
}

bool __wrap__Z16TakeUnownedMutexPv(Handle mutex)
{
    const bool taken = __real__Z16TakeUnownedMutexPv(mutex);
    if (taken) {
        Watch().ownedMutexHandles.push_back(mutex);
        if (World().currentProcess == 0) {
            Watch().tookUpdaterMutex = true;
        }
    }
    return taken;
}

// The process that sent the image lets go of the one-updater mutex: its
// run is over, and the burn, if any is left, is no longer its to follow (a
// run that kept a dead run's record has no give-back of its own to print).
bool __wrap__Z17ReleaseOwnedMutexPv(Handle mutex)
{
    const SimWorld& w = World();
    const auto updater = w.mutexes.find(UPDATER_MUTEX_NAME);
    const bool owned = updater != w.mutexes.end() && updater->second.OwnedBy(w.currentProcess);
    const bool ok = __real__Z17ReleaseOwnedMutexPv(mutex);
    WorldWatch& ww = Worldwide();
    const auto after = w.mutexes.find(UPDATER_MUTEX_NAME);
    if (owned && after != w.mutexes.end() && !after->second.OwnedBy(w.currentProcess) &&
        w.currentProcess == ww.follower && FollowerAlive(w)) {
        ww.burnFollowed = true;
    }
    return ok;
}

void __wrap__Z12ConsoleWritePKcmj(const char* data, std::size_t size, std::uint32_t codePage)
{
    __real__Z12ConsoleWritePKcmj(data, size, codePage);
    // The closing pause is the first process's; a copy prints to its own
    // console.
    if (World().currentProcess == 0) {
        Watch().lastPrintMs = World().nowMs;
    }
    NoteBurnFollowed(World());
}
}
