// Fault-schedule fuzzing of the whole updater: the fuzzer's bytes build a
// simulated PC and scanner (states, timings, transfer faults, devices that
// move, the imaging service and its refusals, registry contents, held
// mutexes, arguments, language), the updater runs once in virtual time, and
// the promises it makes to its users are checked. A broken promise aborts, so
// that libFuzzer keeps the input.
//
// The decoder leans towards the worlds an update meets (the scanner's
// registry instance present and matching, timings of seconds) and keeps the
// rare ones within reach: no instance at all, a scanner that burns or stays
// busy for ever, a service stuck pending, reads that keep failing.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "app/entry.h"
#include "common/print.h"
#include "common/shared.h"
#include "host/guards.h"
#include "host/wia_control.h"
#include "platform/sim/world.h"
#include "platform/sim/world_internal.h"
#include "scenario_runner/updater_process.h"
#include "tools/fuzz/blocking.h"
#include "tools/fuzz/interruptions.h"
#include "tools/fuzz/invariants.h"
#include "tools/fuzz/watch.h"
#include "update/readiness.h"

namespace {

constexpr std::uint32_t FOREVER = 0xFFFFFFFFu;

// Nobody runs the updater again after a cut run: the PC is left to give
// the service back by itself (drawn last, one input in two).
bool g_leftAlone = false;

template <typename T, std::size_t N> T Pick(FuzzedDataProvider& p, const T (&values)[N])
{
    return values[p.ConsumeIntegralInRange<std::size_t>(0, N - 1)];
}

// True about once in `n` decodings. A provider that has run out of bytes
// gives the lowest value of every range, so that is the usual case here:
// short inputs describe ordinary worlds.
bool OneIn(FuzzedDataProvider& p, int n)
{
    return p.ConsumeIntegralInRange<int>(0, n - 1) == n - 1;
}

// A duration: mostly seconds, sometimes minutes, rarely without end.
std::uint32_t Duration(FuzzedDataProvider& p, std::uint32_t usual)
{
    switch (p.ConsumeIntegralInRange<int>(0, 15)) {
    case 15:
        return FOREVER;
    case 14:
    case 13:
        return p.ConsumeIntegralInRange<std::uint32_t>(usual, 2 * READY_WAIT_MS);
    default:
        return p.ConsumeIntegralInRange<std::uint32_t>(0, usual);
    }
}

SimRefusal MaybeRefuse(FuzzedDataProvider& p)
{
    SimRefusal r;
    if (OneIn(p, 16)) {
        r.first = p.ConsumeIntegralInRange<std::uint32_t>(1, 6);
        r.count = p.ConsumeBool() ? 1u : FOREVER;
        r.error = Pick(p, {5u, 1060u, 1058u, 6u});
    }
    return r;
}

std::vector<std::uint8_t> Text(const std::string& s, bool terminate = true)
{
    std::vector<std::uint8_t> bytes(s.begin(), s.end());
    if (terminate) {
        bytes.push_back(0);
    }
    return bytes;
}

// The scanner's path as the driver's instance records it, in any letter case.
std::string PathAsRecorded(FuzzedDataProvider& p, int path)
{
    std::string text = "\\\\.\\usbscan" + std::to_string(path);
    if (OneIn(p, 4)) {
        for (char& c : text) {
            if (c >= 'a' && c <= 'z' && p.ConsumeBool()) {
                c = static_cast<char>(c - 'a' + 'A');
            }
        }
    }
    return text;
}

std::string FriendlyNameText(FuzzedDataProvider& p)
{
    switch (p.ConsumeIntegralInRange<int>(0, 15)) {
    case 15:
        return std::string(p.ConsumeIntegralInRange<std::size_t>(200, 300), 'N');
    case 14:
        return "Orvane\\DS-1200";  // a name no mutex may carry
    case 13:
        return "";
    default:
        return p.ConsumeRandomLengthString(24);
    }
}

// The scanner's own instance: all three values as the driver writes them,
// at a low instance number, sometimes with one value spoilt.
SimRegistryInstance ScannerInstance(FuzzedDataProvider& p, int number, int path, const std::string& friendly)
{
    SimRegistryInstance inst;
    inst.number = number;
    inst.openRefused = OneIn(p, 32);
    inst.values.push_back({"CreateFileName", 1, Text(PathAsRecorded(p, path))});
    inst.values.push_back({"MatchingDeviceId", 1,
                           Text(Pick(p, {"USB\\VID_7A3C&PID_41B2", "usb\\vid_7a3c&pid_41b2",
                                         "USB\\VID_7A3C&PID_41B2&MI_00", "USB\\VID_7a3c&PID_41B2\\5&2f"}))});
    switch (p.ConsumeIntegralInRange<int>(0, 15)) {
    case 15:
        break;  // no friendly name
    case 14:
        inst.values.push_back({"FriendlyName", 1, Text(std::string(256, 'F'), false)});
        break;
    case 13:
        inst.values.push_back({"FriendlyName", 3, Text(friendly)});
        break;
    default:
        inst.values.push_back({"FriendlyName", 1, Text(friendly)});
        break;
    }
    return inst;
}

// Anything else in the Image class: other scanners, half-written instances,
// values of other types, a near miss on the path or the IDs.
SimRegistryInstance OtherInstance(FuzzedDataProvider& p, int taken, int path, const std::string& friendly)
{
    SimRegistryInstance inst;
    // Instance numbers are key names: one key per number.
    inst.number = p.ConsumeIntegralInRange<int>(0, 20);
    if (inst.number == taken) {
        ++inst.number;
    }
    inst.openRefused = OneIn(p, 16);
    const int form = p.ConsumeIntegralInRange<int>(0, 5);
    std::string id = p.ConsumeBool() ? "usb\\vid_7a3c&pid_41b2" : "USB\\VID_7A3C&PID_41B2&MI_00";
    if (form == 1) {
        id = "usb\\vid_7a3c&pid_41";
    }
    if (form == 0) {
        id = "USB\\VID_04B8&PID_0142";
    }
    inst.values.push_back(
        {"CreateFileName", OneIn(p, 8) ? 3u : 1u, Text(p.ConsumeBool() ? PathAsRecorded(p, path) : "\\\\.\\Usbscan9")});
    inst.values.push_back({"MatchingDeviceId", form == 2 ? 3u : 1u, Text(id)});
    if (form == 3) {
        inst.values.push_back({"FriendlyName", 1, Text(std::string(256, 'F'), false)});
    } else if (form != 4) {
        inst.values.push_back({"FriendlyName", 1, Text(friendly)});
    }
    return inst;
}

// Answers to the first status queries, before the scanner model's own.
void BuildStatusScript(FuzzedDataProvider& p, ScannerConfig& s)
{
    s.scriptLength = p.ConsumeIntegralInRange<std::uint32_t>(0, 8);
    for (std::uint32_t i = 0; i < s.scriptLength; ++i) {
        s.script[i] =
            Pick(p, {std::uint16_t{0}, std::uint16_t{6}, std::uint16_t{7}, std::uint16_t{3}, std::uint16_t{0xFFFF}});
    }
}

// Times the scanner leaves the bus, and the path it comes back at.
void BuildAbsences(FuzzedDataProvider& p, ScannerConfig& s)
{
    s.absenceCount = p.ConsumeIntegralInRange<std::uint32_t>(0, 2);
    for (std::uint32_t i = 0; i < s.absenceCount; ++i) {
        SimAbsence& a = s.absences[i];
        a.fromMs = p.ConsumeIntegralInRange<std::uint64_t>(0, 60000);
        a.toMs = a.fromMs + p.ConsumeIntegralInRange<std::uint64_t>(0, 40000);
        a.thenPath = p.ConsumeIntegralInRange<std::int32_t>(0, 6);
    }
}

// How many calls a transfer fault spoils: a few calls, a burst, or every
// call from then on (reads that keep failing).
std::uint32_t FaultCallCount(FuzzedDataProvider& p)
{
    switch (p.ConsumeIntegralInRange<int>(0, 7)) {
    case 7:
        return FOREVER;
    case 6:
    case 5:
        return p.ConsumeIntegralInRange<std::uint32_t>(1, 1200);
    default:
        return p.ConsumeIntegralInRange<std::uint32_t>(1, 6);
    }
}

// The kinds a transfer fault takes, read from one byte as six choices.
// The two that once meant a lost completion (a synchronous handle has none
// to lose) now stall the pipe, so an older input still spoils the same
// calls, in the way a real device can.
constexpr std::uint8_t FAULT_KINDS[] = {SIM_FAULT_CALL_FAILS, SIM_FAULT_STALL,   SIM_FAULT_STALL,
                                        SIM_FAULT_SHORT,      SIM_FAULT_PARTIAL, SIM_FAULT_EMPTY};

void BuildTransferFaults(FuzzedDataProvider& p, ScannerConfig& s)
{
    s.faultCount = p.ConsumeIntegralInRange<std::uint32_t>(0, 4);
    for (std::uint32_t i = 0; i < s.faultCount; ++i) {
        SimFaultRule& f = s.faults[i];
        f.direction = p.ConsumeBool() ? SIM_DIR_WRITE : SIM_DIR_READ;
        f.kind = Pick(p, FAULT_KINDS);
        f.first = p.ConsumeIntegralInRange<std::uint32_t>(1, 30);
        f.count = FaultCallCount(p);
        f.amount = p.ConsumeIntegralInRange<std::uint32_t>(0, 40);
    }
}

void BuildScanner(FuzzedDataProvider& p, ScannerConfig& s)
{
    s.path = OneIn(p, 8) ? -1 : p.ConsumeIntegralInRange<std::int32_t>(0, 6);

    s.productId = OneIn(p, 10) ? REBOOT_PROMPT_PRODUCT_ID : SCANNER_PRODUCT_ID;
    s.descriptorFails = OneIn(p, 16);
    s.recovery = OneIn(p, 4);
    s.busyState = Pick(p, {std::uint16_t{1}, std::uint16_t{3}, std::uint16_t{7}, std::uint16_t{0x55AA}});
    // Busy for a while, or never ready at all.
    s.busyForMs = p.ConsumeBool() ? 0 : Duration(p, 15000);
    BuildStatusScript(p, s);
    // Burns for seconds, minutes, or for ever.
    s.burnMs = Duration(p, 30000);
    s.burnEndState = OneIn(p, 6) ? Pick(p, {std::uint16_t{6}, std::uint16_t{3}}) : std::uint16_t{0};
    // The recovery power cycle: mostly seconds, sometimes past the checks.
    s.leaveAfterMs = OneIn(p, 8) ? p.ConsumeIntegralInRange<std::uint32_t>(0, 100000)
                                 : p.ConsumeIntegralInRange<std::uint32_t>(0, 10000);
    s.absentMs = OneIn(p, 8) ? p.ConsumeIntegralInRange<std::uint32_t>(0, 100000)
                             : p.ConsumeIntegralInRange<std::uint32_t>(0, 10000);
    s.returnPath = p.ConsumeIntegralInRange<std::int32_t>(0, 6);
    s.returnInRecovery = p.ConsumeBool();
    s.clockSkewSeconds = p.ConsumeBool() ? 0 : p.ConsumeIntegralInRange<std::int32_t>(-120, 120);
    if (OneIn(p, 16)) {
        s.clockScripted = true;
        for (auto& b : s.clockReply) {
            b = p.ConsumeIntegral<std::uint8_t>();
        }
    }
    BuildAbsences(p, s);
    BuildTransferFaults(p, s);
}

void BuildService(FuzzedDataProvider& p, SimService& v)
{
    v.installed = !OneIn(p, 10);
    v.state = Pick(p, {SERVICE_RUNNING_STATE, SERVICE_RUNNING_STATE, SERVICE_STOPPED_STATE, SERVICE_START_PENDING_STATE,
                       SERVICE_STOP_PENDING_STATE});
    v.startType = Pick(p, {SERVICE_AUTO_START_TYPE, SERVICE_DEMAND_START_TYPE, SERVICE_DISABLED_TYPE});
    v.runningControls = Pick(p, {7u, 1u, 0u});
    // Pending for seconds, past the updater's waits, or stuck for good.
    v.startPendingMs = OneIn(p, 8) ? p.ConsumeIntegralInRange<std::uint32_t>(SERVICE_WAIT_LIMIT_MS - 2000, 120000)
                                   : p.ConsumeIntegralInRange<std::uint32_t>(0, 8000);
    v.stopPendingMs = OneIn(p, 8) ? p.ConsumeIntegralInRange<std::uint32_t>(SERVICE_WAIT_LIMIT_MS - 2000, 120000)
                                  : p.ConsumeIntegralInRange<std::uint32_t>(0, 8000);
    v.startWaitHint = Pick(p, {0u, 100u, 3000u, 10000u, 20000u, FOREVER});
    v.stopWaitHint = Pick(p, {0u, 100u, 3000u, 20000u, 45000u});
    v.stuckPending = OneIn(p, 12);
    v.openManager = MaybeRefuse(p);
    v.openService = MaybeRefuse(p);
    v.queryStatus = MaybeRefuse(p);
    v.queryConfig = MaybeRefuse(p);
    v.changeConfig = MaybeRefuse(p);
    v.control = MaybeRefuse(p);
    v.start = MaybeRefuse(p);
}

// Read last, after the parts that came before it, so that older inputs keep
// their meaning: a start trigger on the scanner's arrival (Windows starts a
// stopped service that is not disabled as the scanner comes onto the bus,
// back from an absence or its loader's power cycle), and the trigger
// query's refusal.
void BuildServiceTriggers(FuzzedDataProvider& p, SimService& v)
{
    v.startTrigger = OneIn(p, 3);
    v.queryTriggers = MaybeRefuse(p);
}

// The PC's language, tick count, time zone and local time.
void BuildLocale(FuzzedDataProvider& p, SimWorld& w)
{
    w.languageId =
        p.ConsumeBool()
            ? 0x0404
            : Pick(p, {std::uint16_t{0x0409}, std::uint16_t{0x0804}, std::uint16_t{0x0C04}, std::uint16_t{0x1404}});
    w.tickAtStart = p.ConsumeBool() ? 0xFFFFFFFFu - p.ConsumeIntegralInRange<std::uint32_t>(0, 700000)
                                    : p.ConsumeIntegral<std::uint32_t>();
    w.timeZone = Pick(p, {"UTC", "Europe/Berlin", "America/New_York", "Asia/Taipei"});
    w.localTimeAtStart = 1767225600 + p.ConsumeIntegralInRange<std::int64_t>(0, 2 * 366 * 86400);
}

void BuildForeignDevices(FuzzedDataProvider& p, SimWorld& w)
{
    const int foreign = p.ConsumeIntegralInRange<int>(0, 3);
    for (int i = 0; i < foreign; ++i) {
        SimForeignDevice d;
        d.path = p.ConsumeIntegralInRange<int>(0, 6);
        d.vendorId = p.ConsumeBool() ? SCANNER_VENDOR_ID : p.ConsumeIntegral<std::uint16_t>();
        d.productId = Pick(p, {REBOOT_PROMPT_PRODUCT_ID, std::uint16_t{0x1234}, SCANNER_PRODUCT_ID});
        d.descriptorFails = OneIn(p, 4);
        w.foreignDevices.push_back(d);
    }
}

// The registry: mostly the scanner's own instance among a few others; now
// and then only others, or nothing, so that the whole walk runs.
void BuildRegistry(FuzzedDataProvider& p, SimWorld& w, const std::string& friendly)
{
    const int path = w.scanner.path < 0 ? 0 : w.scanner.path;
    const bool scannerListed = !OneIn(p, 8);
    const int number = !scannerListed ? -1
                       : OneIn(p, 16) ? p.ConsumeIntegralInRange<int>(0, MAX_CLASS_INSTANCE)
                                      : p.ConsumeIntegralInRange<int>(0, 12);
    const int others = p.ConsumeIntegralInRange<int>(0, scannerListed ? 2 : 3);
    for (int i = 0; i < others; ++i) {
        w.registry.push_back(OtherInstance(p, number, path, friendly));
    }
    if (scannerListed) {
        w.registry.push_back(ScannerInstance(p, number, path, friendly));
    }
}

// Other applications that hold the guard mutexes.
void BuildMutexesHeldByOthers(FuzzedDataProvider& p, SimWorld& w, const std::string& friendly)
{
    if (OneIn(p, 8)) {
        w.mutexesHeldByOthers.push_back("Global\\ORVANE_SCAN_EXT_APP_MUTEX_" + friendly);
    }
    if (OneIn(p, 8)) {
        w.mutexesHeldByOthers.push_back("{3F9E21C4-7B0A-4d6e-8C5F-A1D2E3B4C5F6}");
    }
}

// When the other applications let go of their mutexes, in virtual ms from
// the start: never, or within the seconds the two guards spend trying.
void BuildMutexReleasesByOthers(FuzzedDataProvider& p, SimWorld& w)
{
    for (const std::string& name : w.mutexesHeldByOthers) {
        const std::uint64_t at = p.ConsumeIntegralInRange<std::uint64_t>(0, 8000);
        if (at != 0) {
            w.mutexReleasesByOthers[name] = at;
        }
    }
}

// Other users' sessions, and the scanner tool open in one of them from the
// start (let go of later, or never): a tool started after the updater's
// look is beyond what a look can keep out, as the README says. The session
// list and the look may be refused.
void BuildSessions(FuzzedDataProvider& p, SimWorld& w)
{
    const int sessions = p.ConsumeIntegralInRange<int>(0, 2);
    for (int i = 0; i < sessions; ++i) {
        w.otherSessions.push_back(p.ConsumeIntegralInRange<std::uint32_t>(0, 3));
    }
    if (!w.otherSessions.empty() && w.otherSessions.back() != 0 && OneIn(p, 2)) {
        const std::string name =
            "Session\\" + std::to_string(w.otherSessions.back()) + "\\{3F9E21C4-7B0A-4d6e-8C5F-A1D2E3B4C5F6}";
        w.mutexesHeldByOthers.push_back(name);
        const std::uint64_t at = p.ConsumeIntegralInRange<std::uint64_t>(0, 8000);
        if (at != 0) {
            w.mutexReleasesByOthers[name] = at;
        }
    }
    w.sessionsUnreadable = OneIn(p, 16);
    w.openMutex = MaybeRefuse(p);
}

SimImage ImageKind(FuzzedDataProvider& p)
{
    const int image = p.ConsumeIntegralInRange<int>(0, 15);
    return image == 15   ? SimImage::Missing
           : image == 14 ? SimImage::NotLoadable
           : image == 13 ? SimImage::Empty
                         : SimImage::Present;
}

// The promises are the interactive update's: a help or check run changes
// nothing to judge, and an unattended one exits with the outcome's code. An
// argument that would name one of those switches names none instead; as a
// mode's value it reads 0 either way, so every kept input means what it did.
void MuteRunSwitch(std::string* argument)
{
    if (argument->size() >= 2 && std::string("sScC?hH-").find((*argument)[1]) != std::string::npos) {
        (*argument)[1] = 'x';
    }
}

void BuildArguments(FuzzedDataProvider& p, std::vector<std::string>& args)
{
    args.assign(1, "fwupdate.exe");
    const int argCount = p.ConsumeIntegralInRange<int>(0, 3);
    for (int i = 0; i < argCount; ++i) {
        args.push_back(p.ConsumeBool() ? std::string(Pick(p, {"-a", "-b", "/a", "ab", "", "-", "-b"}))
                                       : p.ConsumeRandomLengthString(16));
        MuteRunSwitch(&args.back());
    }
}

// The parts are read from the bytes in this order. A part added later goes
// at the end (as the mutex releases and the interruptions did), so that older
// inputs keep their meaning.
void BuildWorld(FuzzedDataProvider& p, std::vector<std::string>& args)
{
    SimWorld& w = World();
    ResetProcessState();

    BuildLocale(p, w);
    BuildForeignDevices(p, w);
    BuildScanner(p, w.scanner);
    BuildService(p, w.service);
    const std::string friendly = FriendlyNameText(p);
    BuildRegistry(p, w, friendly);
    BuildMutexesHeldByOthers(p, w, friendly);
    w.image = ImageKind(p);
    w.createEvent = MaybeRefuse(p);
    w.createMutex = MaybeRefuse(p);
    BuildArguments(p, args);
    BuildMutexReleasesByOthers(p, w);
    BuildInterruptions(p, w);
    BuildBlocking(p, w);
    BuildConcurrency(p, w);
    BuildPowerCut(p, w);
    BuildServiceTriggers(p, w.service);
    g_leftAlone = p.ConsumeBool();
    BuildSessions(p, w);
}

// The process's time zone follows the world's, so that the simulated
// clock's conversions find it set already instead of loading a zone file for
// each of them.
void UseTimeZone(const std::string& zone)
{
    const char* now = std::getenv("TZ");
    if (now != nullptr && zone == now) {
        return;
    }
    setenv("TZ", zone.c_str(), 1);
    tzset();
}

// Runs the updater as one process; true when the process ended without
// returning (killed, or a console control event's default). With `judged`,
// the run's own promises are judged as its main returns, before the rest
// of the PC (copies started late, users' programs) goes on and changes the
// service, the mutexes and the scanner they are about.
bool RunProcess(std::vector<std::string>& args, int* rc, std::string* judged = nullptr,
                const SimService* before = nullptr)
{
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    try {
        // The world's copies of the updater run its real code too.
        UseRealUpdaterForCopies();
        *rc = RunFirstProcess([&argv, &args, judged, before] {
            const int exitCode = UpdaterMain(static_cast<int>(args.size()), argv.data());
            if (judged != nullptr) {
                *judged = exitCode != 0 ? "1: exit code " + std::to_string(exitCode)
                                        : CheckRunInvariants(World(), *before, Watch());
            }
            return exitCode;
        });
        return false;
    } catch (const SimProcessEnded&) {
        return true;
    }
}

// Runs after the first one in the same PC: enough for every control event
// the decoder makes to have reached a run, and for the last one to settle
// what they left behind.
constexpr int MOST_RUNS = 6;
const char* const DEBT_KEY = "software\\fwupdate";

bool RecordLeft(const SimWorld& w)
{
    return w.machineKeys.count(DEBT_KEY) != 0;
}

// Whether the run whose console began at `from` printed that the service
// would not start: it then leaves the record for the next run, as it should.
bool RestartRefusedSince(const SimWorld& w, std::size_t from)
{
    const unsigned language = w.languageId == 0x0404 ? 1u : 0u;
    const auto printed = [&w, from, language](int message) {
        const std::string text =
            std::string(MessageText(message + MESSAGES_PER_LANGUAGE * static_cast<int>(language))) + "\n";
        return w.console.find(text, from) != std::string::npos;
    };
    // A run that could not take the one-updater mutex (busy, or its create
    // refused) may not touch the record: it is some live run's, for all it
    // can tell.
    return printed(MSG_WIA_START_FAILED) || printed(MSG_DEVICE_BUSY) || w.createMutex.first != 0;
}

// The copies never hang either, and none may be left past its bound.
std::string CheckCopies(const SimWorld& w)
{
    for (std::size_t p = 1; p < w.processes.size(); ++p) {
        if (w.processes[p].endedBy == "hung") {
            return "11: copy " + std::to_string(p) + " hung in a transfer the driver holds for ever";
        }
    }
    return {};
}

// The runs after the first: while the one before ended without returning,
// or returned owing a start the service refused, the next run follows in
// the same PC, and each that returns must leave no record it could settle.
std::string RunNextRuns(SimWorld& w, std::vector<std::string>& args, bool ended)
{
    int rc = 0;
    NoteRecordMayWait(false);
    NotePowerCut(false);
    for (int run = 1; run < MOST_RUNS && (ended || RecordLeft(w)); ++run) {
        // After a shutdown Windows starts the service with its next start,
        // whatever the scanner does: that start is not the updater's.
        // Not so after a power cut: Windows then starts the service from
        // what its hive held on disk, and a disabled start type the updater
        // let get lost starts it beside the dead run's burn (promise 12).
        if (w.shutdownInProgress) {
            HandServiceBackToUser();
        }
        const bool powerWasCut = w.powerWasCut;
        w.StartNextProcess();
        if (powerWasCut) {
            NotePowerCut(true);
            NoteWindowsStartedAfterPowerCut(w);
        }
        ResetProcessState();
        ResetWatch(w, RUN_WALL_CLOCK_BOUND_MS);
        const std::size_t consoleAt = w.console.size();
        // A run that finds the scanner still burning leaves the record for
        // a run after the burn, as it should (judged as it asks, which may
        // be long after it started, and as it returns: the scanner may come
        // back to the bus in between).
        ended = RunProcess(args, &rc);
        if (ended && w.processEndedBy == "hung") {
            return {};
        }
        // A run that never held the one-updater mutex (a give-back task's
        // run held it) leaves the record as it must, for a later run.
        const bool mayWait = Watch().recordMayWaitWhenAsked || RecordMayWait(w) || !Watch().tookUpdaterMutex;
        NoteRecordMayWait(mayWait);
        if (!ended && RecordLeft(w) && !RestartRefusedSince(w, consoleAt) && !mayWait) {
            return "8: run " + std::to_string(run + 1) + " returned at " + std::to_string(w.nowMs) +
                   " virtual ms and left the record of the service it could settle";
        }
    }
    // The last run the world plays did not return (a kill, or power lost
    // before its removal of the record reached the disk): the record is the
    // next run's, which the world does not play.
    if (ended) {
        NoteRecordMayWait(true);
    }
    return {};
}

// Whether anything in the world may keep the give-back from the service or
// the record: a refusal the service manager, the registry or the mutex
// makes, a start the manager gives up on, a pending state that never ends,
// or a user's program that may hold the updater's mutex.
bool GiveBackMayBeKept(const SimWorld& w)
{
    const SimService& s = w.service;
    for (const SimRefusal* r : {&s.openManager, &s.openService, &s.queryStatus, &s.queryConfig, &s.changeConfig,
                                &s.control, &s.start, &w.createMutex, &w.setValue, &w.flushKey}) {
        if (r->first != 0) {
            return true;
        }
    }
    return s.stuckPending || s.startTakesMs >= 30000 || !w.userMutexHolders.empty();
}

// Promise 17: nobody runs the updater again after a run cut with the PC
// left on. Within the hour (the task's runs a minute apart, and what the
// PC slept) the PC gives the service back by itself: no record, the start
// type it had, and no task, copy or note left. The watch judges every
// task run as it goes (promises 12, 13, 16).
std::string LeaveAlone(SimWorld& w, const SimService& before)
{
    constexpr std::uint32_t STEP_MS = 60000;
    std::uint64_t slept = 0;
    for (const SimSystemSleep& sleep : w.systemSleeps) {
        slept += sleep.lengthMs;
    }
    const std::uint64_t untilMs = w.nowMs + 60ull * 60000 + slept;
    while (w.nowMs < untilMs && Worldwide().broken.empty()) {
        w.Advance(STEP_MS);
    }
    if (!Worldwide().broken.empty()) {
        return Worldwide().broken;
    }
    const std::string when = " an hour after the last run, with nobody to run the updater";
    if (RecordLeft(w)) {
        return "17: the record was still there" + when;
    }
    if (w.serviceNow.startType != before.startType) {
        return "17: the imaging service had start type " + std::to_string(w.serviceNow.startType) + ", not " +
               std::to_string(before.startType) + "," + when;
    }
    if (!w.tasks.empty() || w.machineKeys.count("software\\fwupdate-giveback") != 0) {
        return "17: the give-back's task or note was still there" + when;
    }
    const std::string copies = SimLowerPath(w.programFilesPath) + "\\fwupdate-giveback-";
    for (const auto& entry : w.files) {
        if (entry.first.rfind(copies, 0) == 0) {
            return "17: " + entry.first + " was still there" + when;
        }
    }
    return {};
}

// The promises judged over the whole world once its last run is over.
std::string CheckWorld(const SimWorld& w, const SimService& before, const std::string& nextRuns)
{
    for (const std::string& verdict :
         {Worldwide().broken, CheckRunNeverHung(w, before, Watch()), CheckCopies(w), nextRuns}) {
        if (!verdict.empty()) {
            return verdict;
        }
    }
    return HasInterruptions(w) ? CheckInterruptionPromises(w, before) : std::string();
}

// One whole run of the updater in the world the bytes describe; an empty
// text when every promise held. A run that ended without returning, or that
// left the record of a start the service refused, is followed by the next
// run in the same PC, which owes the repair; one that hung is judged as it
// stands, as nothing follows it.
std::string RunOnce(const std::uint8_t* data, std::size_t size, bool recordCalls, std::vector<std::string>& args)
{
    FuzzedDataProvider provider(data, size);
    World() = SimWorld{};
    BuildWorld(provider, args);
    SimWorld& w = World();
    UseTimeZone(w.timeZone);
    w.recordCalls = recordCalls;
    w.Start();
    const SimService before = w.serviceNow;
    ResetWorldWatch();
    ResetWatch(w, RUN_WALL_CLOCK_BOUND_MS);
    int rc = 0;
    try {
        std::string verdict;
        const bool ended = RunProcess(args, &rc, &verdict, &before);
        if (!ended && !verdict.empty()) {
            return verdict;
        }
        const bool hung = ended && w.processEndedBy == "hung";
        // Left alone: a run cut with the PC on (no shutdown, no power cut)
        // that left the record is followed by no next run, in a world that
        // lets the give-back do its work (otherwise the next runs are judged).
        if (g_leftAlone && ended && !hung && RecordLeft(w) && !w.shutdownInProgress && !w.powerWasCut &&
            !GiveBackMayBeKept(w)) {
            const std::string verdict = LeaveAlone(w, before);
            return verdict.empty() ? CheckWorld(w, before, {}) : verdict;
        }
        return CheckWorld(w, before, hung ? std::string() : RunNextRuns(w, args, ended));
    } catch (const RunOverBound&) {
        // The first process's main thread was stopped inside a call: the
        // other simulated threads are unwound before the world goes.
        EndSimulatedThreads();
        return "1: the run was still going after " + std::to_string(CountedMs(w, Watch())) +
               " ms of wall-clock time (bound " + std::to_string(RUN_WALL_CLOCK_BOUND_MS) + ")";
    }
}

void PrintRefusal(const char* what, const SimRefusal& r)
{
    if (r.first != 0) {
        std::fprintf(stderr, "  %s refused from call %u, %u calls, error %u\n", what, r.first, r.count, r.error);
    }
}

void PrintForeignDevices(const SimWorld& w)
{
    for (const SimForeignDevice& d : w.foreignDevices) {
        std::fprintf(stderr, "  foreign device at %d: %04x:%04x%s\n", d.path, d.vendorId, d.productId,
                     d.descriptorFails ? ", descriptor fails" : "");
    }
}

void PrintScanner(const ScannerConfig& s)
{
    std::fprintf(stderr,
                 "  scanner at %d, product %04x%s%s, busy state %u for %u ms, burn %u ms then state %u\n"
                 "  power cycle: leaves after %u ms, away %u ms, back at %d%s; clock skew %d s%s\n",
                 s.path, s.productId, s.descriptorFails ? ", descriptor fails" : "", s.recovery ? ", in recovery" : "",
                 s.busyState, s.busyForMs, s.burnMs, s.burnEndState, s.leaveAfterMs, s.absentMs, s.returnPath,
                 s.returnInRecovery ? " in recovery" : "", s.clockSkewSeconds,
                 s.clockScripted ? ", scripted clock" : "");
}

// The scanner's status script, absences and transfer faults, each list
// within its array.
void PrintScannerSchedules(const ScannerConfig& s)
{
    if (s.scriptLength > 0) {
        std::fprintf(stderr, "  status script:");
        for (std::uint32_t i = 0; i < s.scriptLength && i < static_cast<std::uint32_t>(SIM_MAX_SCRIPT); ++i) {
            std::fprintf(stderr, " %u", s.script[i]);
        }
        std::fprintf(stderr, "\n");
    }
    for (std::uint32_t i = 0; i < s.absenceCount && i < static_cast<std::uint32_t>(SIM_MAX_ABSENCES); ++i) {
        std::fprintf(stderr, "  absent from %llu to %llu ms, then at %d\n",
                     static_cast<unsigned long long>(s.absences[i].fromMs),
                     static_cast<unsigned long long>(s.absences[i].toMs), s.absences[i].thenPath);
    }
    for (std::uint32_t i = 0; i < s.faultCount && i < static_cast<std::uint32_t>(SIM_MAX_FAULTS); ++i) {
        const SimFaultRule& f = s.faults[i];
        std::fprintf(stderr, "  fault: %s calls %u..+%u kind %u amount %u\n",
                     f.direction == SIM_DIR_WRITE ? "write" : "read", f.first, f.count, f.kind, f.amount);
    }
}

void PrintService(const SimService& v)
{
    std::fprintf(stderr,
                 "  service%s: state %u, start type %u, controls %u, start pending %u ms (hint %u), "
                 "stop pending %u ms (hint %u)%s%s\n",
                 v.installed ? "" : " (not installed)", v.state, v.startType, v.runningControls, v.startPendingMs,
                 v.startWaitHint, v.stopPendingMs, v.stopWaitHint, v.stuckPending ? ", stuck pending" : "",
                 v.startTrigger ? ", started by the scanner's arrival" : "");
    PrintRefusal("OpenSCManager", v.openManager);
    PrintRefusal("OpenService", v.openService);
    PrintRefusal("QueryServiceStatus", v.queryStatus);
    PrintRefusal("QueryServiceConfig", v.queryConfig);
    PrintRefusal("ChangeServiceConfig", v.changeConfig);
    PrintRefusal("ControlService", v.control);
    PrintRefusal("StartService", v.start);
    PrintRefusal("QueryServiceConfig2 triggers", v.queryTriggers);
}

// A registry value's bytes as text, anything unprintable as \xNN.
std::string Shown(const std::vector<std::uint8_t>& data)
{
    std::string shown;
    for (std::uint8_t b : data) {
        char hex[8];
        if (b >= 0x20 && b < 0x7F) {
            shown += static_cast<char>(b);
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            shown += hex;
        }
    }
    return shown;
}

void PrintRegistry(const SimWorld& w)
{
    for (const SimRegistryInstance& inst : w.registry) {
        std::fprintf(stderr, "  registry instance %04d%s:", inst.number, inst.openRefused ? " (refused)" : "");
        for (const SimRegistryValue& v : inst.values) {
            std::fprintf(stderr, " %s(type %u)=\"%s\"", v.name.c_str(), v.type, Shown(v.data).c_str());
        }
        std::fprintf(stderr, "\n");
    }
}

void PrintMutexesHeldByOthers(const SimWorld& w)
{
    for (const std::string& name : w.mutexesHeldByOthers) {
        const auto release = w.mutexReleasesByOthers.find(name);
        std::fprintf(stderr, "  held by another application: %s", name.c_str());
        if (release != w.mutexReleasesByOthers.end()) {
            std::fprintf(stderr, ", let go at %llu ms", static_cast<unsigned long long>(release->second));
        }
        std::fprintf(stderr, "\n");
    }
}

// The world the bytes made, for a person reading a failure.
void PrintWorld(const SimWorld& w, const std::vector<std::string>& args)
{
    std::fprintf(stderr, "--- world ---\n  arguments:");
    for (const std::string& a : args) {
        std::fprintf(stderr, " \"%s\"", a.c_str());
    }
    std::fprintf(stderr, "\n  language 0x%04x, tick at start %u, zone %s, local time %lld\n", w.languageId,
                 w.tickAtStart, w.timeZone.c_str(), static_cast<long long>(w.localTimeAtStart));
    PrintForeignDevices(w);
    PrintScanner(w.scanner);
    PrintScannerSchedules(w.scanner);
    PrintService(w.service);
    PrintRefusal("CreateEvent", w.createEvent);
    PrintRefusal("CreateMutex", w.createMutex);
    PrintRegistry(w);
    PrintMutexesHeldByOthers(w);
    for (const std::uint32_t session : w.otherSessions) {
        std::fprintf(stderr, "  another session: %u\n", static_cast<unsigned>(session));
    }
    if (w.sessionsUnreadable) {
        std::fprintf(stderr, "  the session list cannot be read\n");
    }
    PrintRefusal("OpenMutex", w.openMutex);
    PrintBlocking(w);
    PrintInterruptions(w);
    std::fprintf(stderr, "  image %d\n", static_cast<int>(w.image));
}

void PrintCalls(const std::vector<std::string>& calls)
{
    std::fprintf(stderr, "--- platform calls ---\n");
    // A run stopped at its bound made calls for many virtual minutes; its
    // beginning and its end tell the story.
    // FWU_FUZZ_ALL_CALLS set in the environment shows every call.
    const std::size_t shown = std::getenv("FWU_FUZZ_ALL_CALLS") != nullptr ? calls.size() : 400;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls.size() > 2 * shown && i == shown) {
            std::fprintf(stderr, "... %zu calls left out ...\n", calls.size() - 2 * shown);
        }
        if (calls.size() > 2 * shown && i >= shown && i < calls.size() - shown) {
            continue;
        }
        std::fprintf(stderr, "%s\n", calls[i].c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> args;
    const std::string verdict = RunOnce(data, size, false, args);
    if (verdict.empty()) {
        // Nothing of the run stays allocated: memory stays flat over
        // millions of runs, and libFuzzer's leak check has nothing to chase.
        World() = SimWorld{};
        ResetWatch(World(), 0);
        return 0;
    }
    // Run the same world again with every platform call written down, so
    // that the report shows how the run went.
    const std::string failure = RunOnce(data, size, true, args);
    const SimWorld& w = World();
    std::fprintf(stderr, "invariant broken: %s\n", failure.c_str());
    PrintWorld(w, args);
    PrintCalls(w.calls);
    std::fprintf(stderr, "--- console ---\n");
    std::fwrite(w.console.data(), 1, w.console.size(), stderr);
    std::abort();
}
