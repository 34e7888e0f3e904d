// The simulated PC and scanner behind the platform headers. Tests, the
// scenario runner and the fuzzer configure a world through its public
// fields, call Start(), run updater code, then inspect the same object.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/console_control.h"
#include "platform/device.h"
#include "platform/service.h"
#include "scanner_model/scanner_config.h"
#include "scanner_model/scanner_model.h"

// A call that the simulated platform refuses: calls number first ..
// first + count - 1 (counted from 1) fail with `error`. first == 0: never.
struct SimRefusal {
    std::uint32_t first = 0;
    std::uint32_t count = 0xFFFFFFFFu;
    std::uint32_t error = 5;  // ERROR_ACCESS_DENIED
    bool Applies(std::uint32_t callNumber) const
    {
        return first != 0 && callNumber >= first && callNumber - first < count;
    }
};

// Another maker's still-image device, or one whose descriptor request fails.
struct SimForeignDevice {
    int path = 0;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    bool descriptorFails = false;
};

struct SimService {
    bool installed = true;
    std::uint32_t state = SERVICE_RUNNING_STATE;
    std::uint32_t startType = SERVICE_AUTO_START_TYPE;
    // Accepted controls while running (Wine's stisvc reports 7); other
    // states accept none.
    std::uint32_t runningControls = 7;
    std::uint32_t startPendingMs = 3000;  // how long START_PENDING lasts
    std::uint32_t stopPendingMs = 0;      // how long STOP_PENDING lasts
    std::uint32_t startWaitHint = 3000;
    std::uint32_t stopWaitHint = 0;
    bool stuckPending = false;  // a pending state that never ends
    // A start trigger on the scanner's arrival: while stopped and not
    // disabled, the service starts when the scanner comes onto the bus.
    bool startTrigger = false;
    // How long the service takes to answer a stop control, and to start
    // (StartService returns once it reports). The manager gives up on
    // either at 30 s and fails the call with ERROR_SERVICE_REQUEST_TIMEOUT.
    std::uint32_t controlTakesMs = 0;
    std::uint32_t startTakesMs = 0;
    SimRefusal openManager, openService, queryStatus, queryConfig, changeConfig, control, start;
    SimRefusal queryTriggers;  // QueryServiceConfig2 for the triggers
};

struct SimRegistryValue {
    std::string name;
    std::uint32_t type = 1;          // REG_SZ
    std::vector<std::uint8_t> data;  // stored bytes, terminator included when the writer put one
};

struct SimRegistryInstance {
    int number = 0;  // 0..9999: the key's name is number as four digits
    bool openRefused = false;
    std::vector<SimRegistryValue> values;
};

// A value of a key outside the Image class: a REG_DWORD as the updater
// writes it, or whatever type and bytes a test or another program put there.
struct SimKeyValue {
    std::uint32_t type = 4;  // REG_DWORD
    std::vector<std::uint8_t> data;

    SimKeyValue() = default;
    // NOLINTNEXTLINE(google-explicit-constructor): a number is a REG_DWORD
    SimKeyValue(std::uint32_t number) : data(4)
    {
        for (std::size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<std::uint8_t>(number >> (8 * i));
        }
    }
    SimKeyValue(std::uint32_t valueType, std::vector<std::uint8_t> bytes) : type(valueType), data(std::move(bytes)) { }
    // The number a REG_DWORD holds; anything else reads as 0xFFFFFFFF.
    // NOLINTNEXTLINE(google-explicit-constructor)
    operator std::uint32_t() const
    {
        if (type != 4 || data.size() != 4) {
            return 0xFFFFFFFFu;
        }
        return data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<std::uint32_t>(data[3]) << 24);
    }
};
using SimKeyValues = std::map<std::string, SimKeyValue>;

// The two hives the updater's writes land in: the service's start type in
// SYSTEM, the record in SOFTWARE. Each reaches the disk on its own.
enum class SimHive : std::uint8_t { System, Software };

enum class SimImage { Present, Missing, NotLoadable, Empty };

inline constexpr std::uint64_t NEVER_MS = ~std::uint64_t{0};

// Which process a simulated object belongs to: the first updater is 0, the
// copies of world.updaterCopies follow in order.
constexpr int NO_PROCESS = -1;

struct SimMutex {
    std::string name;
    // Another application created it, owns it and keeps a handle to it. The
    // mutex lives while that handle or any updater process's is open.
    bool heldByOther = false;
    int createdBy = NO_PROCESS;  // the updater process that created it
    int owner = NO_PROCESS;      // the updater process that owns it
    int ownership = 0;           // the owner's recursion count
    // Handles each updater process holds on it, by process.
    std::map<int, int> handles;
    // Standard users' programs that opened it and wait for it.
    int otherWaiters = 0;
    std::uint64_t otherLetsGoAtMs = NEVER_MS;  // virtual ms: it releases and closes its handle
    // Created with a DACL for administrators and SYSTEM only; otherwise a
    // null DACL lets any account open it.
    bool adminsOnly = false;

    bool OwnedBy(int process) const { return owner == process && ownership > 0; }
    int HandlesOf(int process) const
    {
        const auto found = handles.find(process);
        return found == handles.end() ? 0 : found->second;
    }
    bool CreatedBy(int process) const { return createdBy == process; }
};

// usbscan's time-out on a handle nobody set one on.
constexpr std::uint32_t DRIVER_DEFAULT_TIMEOUT_S = 120;

// What a simulated handle stands for. Handles are tokens that index the
// world's object table, so a stale, foreign or garbage handle is recognised
// instead of being followed.
enum class SimObjectKind : std::uint8_t {
    Device,
    Event,
    Mutex,
    ServiceManager,
    Service,
    RegistryKey,
    Resource,
    LoadedResource,
    LogFile
};

struct SimObject {
    SimObjectKind kind = SimObjectKind::Event;
    bool open = true;
    // Device: the path it was opened under; the scanner's generation then,
    // or the index of the foreign device.
    int path = -1;
    bool scanner = false;
    int foreign = -1;
    std::uint32_t generation = 0;
    // Device: how long the driver holds a request on this handle, seconds;
    // the driver's own default until the updater sets it.
    TransferTimeouts timeouts{DRIVER_DEFAULT_TIMEOUT_S, DRIVER_DEFAULT_TIMEOUT_S, DRIVER_DEFAULT_TIMEOUT_S};
    bool signalled = false;      // Event
    std::string name;            // Mutex; LogFile: the file's lower-case path
    int instance = -1;           // RegistryKey: instance number, -1 for the class key
    std::uint16_t resource = 0;  // Resource, LoadedResource: the resource's id
};

// A stretch of the console bytes written in one code page.
struct SimConsoleRun {
    std::uint32_t codePage = 0;
    std::size_t size = 0;
};

// Calls made so far to each service operation (what the refusals count).
struct SimServiceCalls {
    std::uint32_t openManager = 0, openService = 0, queryStatus = 0, queryConfig = 0, changeConfig = 0, control = 0,
                  start = 0, queryTriggers = 0;
};

// A console control event that reaches the updater at a virtual time.
// With noHandler (a log-off or shutdown that does not wait for console
// programs) the process ends endAfterMs after the event and its handler is
// never called.
struct SimControlEvent {
    std::uint64_t atMs = 0;
    ConsoleControl event = ConsoleControl::Interrupt;
    bool noHandler = false;
    std::uint32_t endAfterMs = 0;
};

// Another copy of the updater, started at a virtual time with its own
// command line: a process of its own running the updater's real code.
struct SimUpdaterCopy {
    std::uint64_t atMs = 0;
    std::vector<std::string> arguments;
    std::uint64_t killAtMs = NEVER_MS;  // the copy is killed then
};

// A standard user's program that opens a named mutex at a virtual time, if
// its DACL lets it (or creates it when missing), waits for it and, once it
// owns it, keeps it.
struct SimUserMutexHolder {
    std::string name;
    std::uint64_t atMs = 0;
};
enum class SimUserMutexState : std::uint8_t { NotYet, Refused, Waiting, Holding };

// What belongs to one process: the world's own fields of the same names hold
// the running process's, and each SimProcess keeps the others' meanwhile.
struct SimProcessView {
    std::string console;
    std::vector<SimConsoleRun> consoleRuns;
    std::vector<SimObject> objects;
    ConsoleControlHandler controlHandler = nullptr;
    std::uint32_t lastError = 0;
    bool keepAwake = false;
    std::uint32_t keepAwakeRequests = 0;
    bool processEnded = false;
    std::string processEndedBy;
    bool quickEdit = true;
    std::uint64_t quickEditOffFromMs = NEVER_MS;
    std::uint64_t quickEditOffUntilMs = NEVER_MS;
    std::uint32_t serviceHandlesOpen = 0;
};

// One updater process in the world: index 0 is the first run (and each of
// its later runs), 1.. the copies in the order of world.updaterCopies.
struct SimProcess {
    std::vector<std::string> arguments;
    bool started = false;
    bool ended = false;                 // it is gone: returned, killed or ended by an event
    int exitCode = -1;                  // what its main returned; -1 when it did not return
    std::string endedBy;                // "return", "killed", "close", ...
    SimProcessView view;                // its console, handles, ... while another process runs, and afterwards
    std::shared_ptr<void> logicValues;  // the updater's process-wide values while another process runs
    int debtOwner = -1;                 // the simulated thread that holds its service-debt lock
    std::string imagePath;              // the executable it runs from: a file it keeps from being deleted
    std::string task;                   // the scheduled task it is an instance of; empty for the updater's runs
};

// How the world starts a copy of the updater, set by the layer that links
// the updater's code (the platform layer cannot include it): its entry, and
// the process-wide values the updater keeps, saved and loaded as the
// simulated threads of different processes take turns.
struct SimUpdaterProgram {
    std::function<int(const std::vector<std::string>&)> main;
    std::function<std::shared_ptr<void>()> saveValues;
    std::function<void(const std::shared_ptr<void>&)> loadValues;
    std::function<void()> resetValues;
};
void SetSimUpdaterProgram(SimUpdaterProgram program);

// The PC sleeps at a virtual time for a while: the tick count and the
// scanner's own time go on, the PC's awake time does not.
struct SimSystemSleep {
    std::uint64_t atMs = 0;
    std::uint32_t lengthMs = 0;
};

// A selection is made in the console window at a virtual time and held for
// a while: every console write in that stretch waits for its end. One made
// by a click needs QuickEdit on at that moment; one made through the
// window's menu (Mark) does not.
struct SimConsoleSelection {
    std::uint64_t atMs = 0;
    std::uint32_t lengthMs = 0;
    bool byClick = true;
    // When not empty, the selection is made instead just as the first
    // console is about to show a write that begins with this text: two
    // lines written in the same virtual millisecond can be told apart.
    std::string whenWriting;
};

// Thrown out of the platform layer when the simulated process ends without
// returning (killed, or a control event's default): the caller of the
// updater catches it. The world is marked first, so calls that run during
// the unwinding change nothing a real ended process could not.
struct SimProcessEnded {
    const char* how;
};

// A file or folder on the simulated PC's disk, kept by its lower-case path.
struct SimFile {
    bool folder = false;
    bool adminOnly = false;   // created with a DACL for administrators and SYSTEM only
    bool userOwned = false;   // owned by a standard user, not by Administrators or SYSTEM
    bool reparse = false;     // a junction or symbolic link: whatever it points to is not followed
    std::uint32_t links = 1;  // names the file has (a hard link a user made adds one)
    std::string content;      // a file's bytes
};
inline SimFile MakeSimFile(bool folder, bool adminOnly)
{
    SimFile file;
    file.folder = folder;
    file.adminOnly = adminOnly;
    return file;
}

// A task of the simulated Task Scheduler (see RegisterGiveBackTask): its
// instance runs the updater's program as SYSTEM, with no console, at the
// PC's start and every minute; after an exit code 0 its folder goes.
struct SimTask {
    std::string program;
    std::string argument;
    std::string folder;
    std::uint64_t nextRunAtMs = NEVER_MS;
    int instance = NO_PROCESS;  // the process of the instance that runs now
};

// One start of a task's instance, for the report and the tests.
struct SimTaskRun {
    std::string task;
    std::uint64_t atMs = 0;
    int process = NO_PROCESS;  // NO_PROCESS: its program was not there to start
    int exitCode = -1;         // -1 until it returned; it stays -1 when it was ended
};

// An entry the updater wrote to the Application event log.
struct SimEventLogEntry {
    std::string source;
    std::uint16_t type = 0;  // EventLogType's value
    std::uint32_t eventId = 0;
    std::vector<std::string> strings;
    int process = NO_PROCESS;  // the process that wrote it
};

class DeviceLink;

class SimWorld {
public:
    // ---- configuration (set before Start) ----
    std::uint16_t languageId = 0x0409;
    // The process runs elevated. Without it, as Windows does for a standard
    // user's token or an administrator's filtered one: the Image class key
    // and the updater's own key under HKLM refuse KEY_ALL_ACCESS and their
    // creation and removal, the service manager refuses GENERIC_EXECUTE, and
    // a Global\ mutex can neither be created nor opened when its DACL is
    // for administrators only (ERROR_ACCESS_DENIED, 5, each).
    bool elevated = true;
    // How long after a close (the hung-application time-out) and after a
    // log-off or shutdown (the wait-to-kill time-out) the process is ended
    // when its handler has not returned.
    std::uint32_t hungAppTimeoutMs = 5000;
    std::uint32_t waitToKillTimeoutMs = 5000;
    std::uint32_t tickAtStart = 0x10000000u;     // may sit just below the 2^32 wrap
    std::int64_t localTimeAtStart = 1796552430;  // Unix seconds: 2026-12-06 10:20:30 UTC
    std::uint16_t millisecondsAtStart = 250;
    std::string timeZone = "UTC";  // a TZ value; MakeLocalTime runs the C library's mktime under it
    bool realtime = false;         // sleeps also wait in real time
    bool echoConsole = false;      // also write console bytes to the real stdout as they come
    std::vector<SimForeignDevice> foreignDevices;
    ScannerConfig scanner = DefaultScannerConfig();
    SimService service;
    std::vector<SimRegistryInstance> registry;
    std::vector<std::string> mutexesHeldByOthers;
    // When another application lets go of a mutex it holds (a name from
    // mutexesHeldByOthers): virtual ms since the start.
    std::map<std::string, std::uint64_t> mutexReleasesByOthers;
    // The Terminal Services sessions other processes run in (the updater's
    // own left out): a user's desktop while a deployment tool runs the
    // updater as SYSTEM in session 0. A mutex without a prefix that an
    // application holds in one of them is named here as Windows lets
    // another session reach it: "Session\<id>\<name>".
    std::vector<std::uint32_t> otherSessions;
    bool sessionsUnreadable = false;  // the process snapshot fails
    SimRefusal openMutex;             // OpenMutexA refused (its error)
    SimImage image = SimImage::Present;
    // The image's SHA-256 the executable carries beside it (resource 122):
    // present, missing, not loadable or empty, like the image. With
    // `digestBytes` set, the resource holds those bytes instead of the
    // build's (a digest of the wrong length, or one of another image).
    SimImage digest = SimImage::Present;
    std::optional<std::vector<std::uint8_t>> digestBytes;
    // The image as a damaged copy of the executable holds it: the byte at
    // this offset inverted (a copy altered on its way, not rebuilt).
    std::optional<std::uint32_t> imageFlippedByte;
    SimRefusal createEvent;  // CreateEventA failures
    SimRefusal setTimeouts;  // IOCTL_SET_TIMEOUT failures
    SimRefusal createMutex;  // CreateMutexA returning null
    SimRefusal setValue;     // RegSetValueExA on the updater's own key
    bool descriptorFailsOnScanner = false;
    // How fast a bulk write moves its bytes: 0 moves any size at once. A
    // write that takes time holds its call, and a process that ends inside
    // it leaves the device with none of its bytes (the platform cancels
    // the request).
    std::uint32_t bulkBytesPerMs = 0;
    SimRefusal allocateFixed;  // LocalAlloc returning null
    bool recordCalls = true;   // keep the `calls` lines (the fuzzer turns them off)
    // What answers device requests: null for the scanner model and the
    // foreign devices above; a replay or a recorder otherwise. Not owned.
    DeviceLink* deviceLink = nullptr;
    std::vector<SimControlEvent> controlEvents;  // in any order
    std::uint64_t killAtMs = NEVER_MS;           // the process is killed (TerminateProcess, power lost)
    std::vector<SimSystemSleep> systemSleeps;
    std::vector<SimConsoleSelection> consoleSelections;  // in any order
    bool quickEditAtStart = true;                        // a legacy console's default
    std::vector<SimUpdaterCopy> updaterCopies;           // in any order
    std::vector<SimUserMutexHolder> userMutexHolders;    // in any order
    // Registry keys outside the Image class, by lower-case path: their
    // values by lower-case name. Kept across processes, as the registry is.
    std::map<std::string, SimKeyValues> machineKeys;
    // Power lost at this virtual time while the first run is alive: every
    // process ends at once, each hive loses what was not on disk yet, and
    // the next run (StartNextProcess) comes in the PC started again. The
    // scanner keeps its own power.
    std::uint64_t powerCutAtMs = NEVER_MS;
    // Or power lost as the platform call whose `calls` line starts with
    // this text is made for the powerCutAtCallNumber-th time (the call does
    // not happen); tests only, as it needs recordCalls.
    std::string powerCutAtCall;
    std::uint32_t powerCutAtCallNumber = 1;
    // Windows' lazy flusher writes a hive out this long after its first
    // change not yet on disk. NEVER_MS (the default) is the worse case:
    // nothing reaches the disk but what RegFlushKey or a shutdown wrote.
    std::uint64_t systemLazyFlushMs = NEVER_MS;
    std::uint64_t softwareLazyFlushMs = NEVER_MS;
    SimRefusal flushKey;  // RegFlushKey failures
    // The executable the updater runs from, and when it stops being
    // reachable (a USB stick pulled, a download folder cleaned).
    std::string programPath = "D:\\fwupdate.exe";
    std::uint64_t programGoneAtMs = NEVER_MS;
    std::string programFilesPath = "C:\\Program Files";
    // Files and folders there before the run, by lower-case path (a folder
    // a user made first, say).
    std::map<std::string, SimFile> filesAtStart;
    SimRefusal createFolder, copyFile, registerTask;  // counted over the world
    SimRefusal reportEvent;                           // ReportEventW failures, counted over the world
    // Where the run record is kept: a folder any user may create in.
    std::string programDataPath = "C:\\ProgramData";
    std::string computerName = "SCANPC-07";
    // Bytes the disk still takes; a write that does not fit fails whole
    // (ERROR_DISK_FULL). Kept across processes, as the disk is.
    std::uint64_t diskFreeBytes = ~std::uint64_t{0};
    // How long Windows takes from its start to a user's log-on: the
    // scheduler's start-up tasks run meanwhile.
    std::uint32_t logonAfterStartMs = 30000;
    // How long Windows takes after a shutdown event to start again (going
    // down, the firmware, the boot): the scanner's time goes on.
    std::uint32_t restartTakesMs = 60000;
    // The scheduler starts no task instance from then on (the PC is left
    // alone long enough): keeps a task that never removes itself finite.
    std::uint64_t tasksUntilMs = 86400000;

    // Resets every piece of run-time state from the configuration: clock,
    // scanner model, service, mutex namespace, console, counters.
    void Start();
    void ResetCounters();

    // ---- run-time state and observations ----
    std::uint64_t nowMs = 0;  // virtual milliseconds since Start
    std::string console;      // every byte the updater wrote
    // The code page of each stretch of `console`, in order; adjacent writes
    // in one code page share a stretch.
    std::vector<SimConsoleRun> consoleRuns;
    ScannerModel model;     // the scanner, with what it received
    SimService serviceNow;  // the service as it is now
    std::map<std::string, SimMutex> mutexes;
    std::uint32_t eventsCreated = 0, eventsClosed = 0;
    std::uint32_t deviceOpens = 0, deviceCloses = 0;  // successful opens; closes of open device handles
    std::uint32_t serviceHandlesOpen = 0;             // open manager and service handles
    std::vector<std::string> calls;   // a line per platform call of interest, in order ("ControlService STOP", ...)
    std::uint32_t registryOpens = 0;  // RegOpenKeyExA calls, failed ones included
    std::uint32_t ownKeyOpens = 0;    // of those, opens of keys outside the Image class
    std::uint32_t mutexCreates = 0;   // CreateMutexA calls, refused ones included
    std::uint32_t mutexOpens = 0;     // OpenMutexA calls, refused ones included
    std::uint32_t sleeps = 0;
    std::uint32_t lastError = 0;             // what LastError() returns
    std::uint32_t eventCreateCalls = 0;      // CreateEventA calls, refused ones included
    std::uint32_t setTimeoutsCalls = 0;      // IOCTL_SET_TIMEOUT requests, refused ones included
    std::uint64_t longestCallMs = 0;         // the longest a single platform call held the main thread
    std::uint64_t firstHeldAtMs = NEVER_MS;  // when the first transfer the device never answered began
    std::uint64_t lastTransferEndMs = 0;     // when the last bulk transfer call returned
    std::uint32_t deviceOpenAttempts = 0;    // CreateFileA calls, failed ones included
    std::uint32_t registryCloses = 0;
    std::uint32_t valueWrites = 0;  // RegSetValueExA calls, refused ones included
    std::uint32_t keyFlushes = 0;   // RegFlushKey calls, refused ones included
    // What each hive holds on disk, and since when each has changes that
    // are not there yet (NEVER_MS: none).
    std::map<std::string, SimKeyValues> machineKeysOnDisk;
    std::uint32_t startTypeOnDisk = 0;
    std::uint64_t systemChangedSinceMs = NEVER_MS;
    std::uint64_t softwareChangedSinceMs = NEVER_MS;
    bool powerWasCut = false;          // the power went; the next run comes in the PC started again
    std::uint32_t startTypeAtCut = 0;  // the service's start type in memory as the power went
    std::uint32_t powerCutCallsSeen = 0;
    std::uint32_t fixedAllocationCalls = 0;              // LocalAlloc calls, refused ones included
    std::uint32_t fixedAllocations = 0, fixedFrees = 0;  // blocks handed out and given back
    std::uint64_t servicePendingUntilMs = 0;             // when the service's pending state ends
    // The service was running or starting at some moment from the scanner's
    // first image byte to the end of its burn (or of its loader's power
    // cycle), that end included.
    bool serviceBesideImage = false;
    bool scannerSeenPresent = false;          // the scanner's presence at the last look ...
    std::uint32_t scannerSeenGeneration = 0;  // ... and its generation: an arrival is a change
    SimServiceCalls serviceCalls;
    std::vector<SimObject> objects;  // every handle given out in this run
    ConsoleControlHandler controlHandler = nullptr;
    std::size_t controlEventsDone = 0;  // events delivered so far, in time order
    std::size_t systemSleepsDone = 0;
    std::vector<std::string> controlLog;           // "ctrl_c handled", "close ended", ... in order
    bool quickEdit = true;                         // the console input's QuickEdit mode now
    std::uint64_t quickEditOffFromMs = NEVER_MS;   // the run turned it off then ...
    std::uint64_t quickEditOffUntilMs = NEVER_MS;  // ... and put it back then
    std::uint64_t consoleBlockedMs = 0;            // virtual time writes waited for a selection
    std::uint64_t lastConsoleWriteMs = NEVER_MS;   // when the first process's last write reached its console
    bool keepAwake = false;                        // the system-required request stands
    std::uint32_t keepAwakeRequests = 0;           // requests made (set or cleared)
    std::uint64_t asleepMs = 0;                    // virtual time the PC slept
    bool processEnded = false;
    std::string processEndedBy;  // "killed", "ctrl_c", "close", ... when it ended without returning
    std::uint32_t processesStarted = 1;
    bool shutdownInProgress = false;    // a shutdown event came: the service manager refuses controls
    int currentProcess = 0;             // the process whose thread runs now (whose view the fields above hold)
    std::vector<SimProcess> processes;  // [0] the first updater, then the copies
    std::size_t updaterCopiesStarted = 0;
    std::size_t userMutexHoldersDone = 0;
    std::vector<SimUserMutexState> userMutexStates;  // by userMutexHolders index, in time order
    std::map<std::string, SimFile> files;            // the disk now, by lower-case path
    std::map<std::string, SimTask> tasks;            // registered tasks, by name
    std::vector<SimTaskRun> taskRuns;                // every instance started, in order
    std::uint32_t createFolderCalls = 0, copyFileCalls = 0, registerTaskCalls = 0;
    // The Application event log: every entry written since Start, by any
    // process, kept across runs as Windows keeps it; refused ones included
    // in the count only.
    std::vector<SimEventLogEntry> eventLog;
    std::uint32_t reportEventCalls = 0;
    std::uint32_t logFolderCreates = 0, logAppends = 0;  // the run record's, refused ones included
    std::uint64_t diskFreeNow = 0;                       // what the disk still takes
    // The image the resource calls hand out when `imageFlippedByte` is set.
    std::vector<std::uint8_t> alteredImage;

    // Ends the running process: the process-owned state goes as the
    // platform takes it back, its other threads unwind, and SimProcessEnded
    // is thrown.
    [[noreturn]] void EndProcess(const char* how);
    // The next run of the updater in the same PC (after a shutdown, in the
    // restarted PC): a new process (no handles, no handler, no keep-awake
    // request, mutexes it owned abandoned), while the service, the
    // registry, the scanner and the clock go on. After a shutdown the PC
    // starts again first: the service as its start type says, the
    // scheduler's start-up tasks, and `logonAfterStartMs` later the run.
    void StartNextProcess();
    // A change about to be made to a hive: the lazy flusher writes out what
    // was due before it, and the hive has a change not on disk from now on.
    void NoteHiveChange(SimHive hive);
    // RegFlushKey, or the lazy flusher: the hive's changes are on disk.
    void FlushHive(SimHive hive);

    // Advances virtual time (and the service's pending states with it). A
    // pending state lasts at least until the next passage of time, even a
    // zero-length one, so a status query right after a stop or start shows it.
    void Advance(std::uint32_t milliseconds);
};

// The process's one world.
SimWorld& World();

// The world's time limit after a close, log-off or shutdown (its handler
// cut off then); 0 for Ctrl+C and Ctrl+Break, which have none.
std::uint32_t SimControlTimeLimitMs(const SimWorld& world, ConsoleControl event);

// Runs `main` as the first updater process's main thread on the calling
// thread, then lets every other simulated thread (handlers, copies, users'
// programs) run to its end, as the PC goes on after the process. Returns
// what main returned; a SimProcessEnded out of main is thrown on after that.
int RunFirstProcess(const std::function<int()>& main);
// After the last run the PC stays on: the scheduler's tasks run at their
// triggers until none is left (or `tasksUntilMs`). RunFirstProcess runs the
// world only until its threads are done, so that a next run can start
// right away; a trigger still due then comes during that run.
void LeaveSimPcOn();
// Unwinds and joins every simulated thread but the caller's: what a new
// world does before it starts.
void EndSimulatedThreads();

// The embedded image's bytes and size (the same bytes FindBinaryResource
// reaches when the world's image is Present).
const std::uint8_t* EmbeddedImageData();
std::uint32_t EmbeddedImageSize();
// The image's SHA-256 as the build computed it and embedded it (32 bytes).
const std::uint8_t* EmbeddedDigestData();
std::uint32_t EmbeddedDigestSize();
