// Fault-schedule fuzzing of the whole updater: the fuzzer's bytes build a
// simulated PC and scanner (states, timings, transfer faults, devices that
// move, the imaging service and its refusals, registry contents, held
// mutexes, arguments, language), the updater runs once in virtual time, and
// the promises it makes to its users are checked. A broken promise aborts, so
// that libFuzzer keeps the input.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/entry.h"
#include "app/messages.h"
#include "app/shared.h"
#include "platform/sim/world.h"
#include "tools/fuzz/invariants.h"

namespace {

template <typename T, std::size_t N>
T Pick(FuzzedDataProvider& p, const T (&values)[N])
{
    return values[p.ConsumeIntegralInRange<std::size_t>(0, N - 1)];
}

SimRefusal MaybeRefuse(FuzzedDataProvider& p)
{
    SimRefusal r;
    if (p.ConsumeIntegralInRange<int>(0, 15) == 0) {
        r.first = p.ConsumeIntegralInRange<std::uint32_t>(1, 6);
        r.count = p.ConsumeBool() ? 1u : 0xFFFFFFFFu;
        r.error = Pick(p, {5u, 1060u, 1058u, 6u});
    }
    return r;
}

std::vector<std::uint8_t> Text(const std::string& s, bool terminate = true)
{
    std::vector<std::uint8_t> bytes(s.begin(), s.end());
    if (terminate) bytes.push_back(0);
    return bytes;
}

void BuildWorld(FuzzedDataProvider& p, std::vector<std::string>& args)
{
    SimWorld& w = World();
    w = SimWorld{};
    ResetProcessState();

    w.languageId = p.ConsumeBool() ? 0x0404 : Pick(p, {std::uint16_t{0x0409}, std::uint16_t{0x0804},
                                                        std::uint16_t{0x0C04}, std::uint16_t{0x1404}});
    w.tickAtStart = p.ConsumeBool() ? 0xFFFFFFFFu - p.ConsumeIntegralInRange<std::uint32_t>(0, 700000)
                                    : p.ConsumeIntegral<std::uint32_t>();
    w.timeZone = Pick(p, {"UTC", "Europe/Berlin", "America/New_York", "Asia/Taipei"});
    w.localTimeAtStart = 1767225600 + p.ConsumeIntegralInRange<std::int64_t>(0, 2 * 366 * 86400);

    const int foreign = p.ConsumeIntegralInRange<int>(0, 3);
    for (int i = 0; i < foreign; ++i) {
        SimForeignDevice d;
        d.path = p.ConsumeIntegralInRange<int>(0, 6);
        d.vendorId = p.ConsumeBool() ? SCANNER_VENDOR_ID : p.ConsumeIntegral<std::uint16_t>();
        d.productId = Pick(p, {REBOOT_PROMPT_PRODUCT_ID, std::uint16_t{0x1234}, SCANNER_PRODUCT_ID});
        d.descriptorFails = p.ConsumeIntegralInRange<int>(0, 3) == 0;
        w.foreignDevices.push_back(d);
    }

    ScannerConfig& s = w.scanner;
    s.path = p.ConsumeIntegralInRange<int>(0, 7) == 0 ? -1 : p.ConsumeIntegralInRange<std::int32_t>(0, 6);
    s.productId = p.ConsumeIntegralInRange<int>(0, 9) == 0 ? REBOOT_PROMPT_PRODUCT_ID : SCANNER_PRODUCT_ID;
    s.descriptorFails = p.ConsumeIntegralInRange<int>(0, 15) == 0;
    s.recovery = p.ConsumeIntegralInRange<int>(0, 3) == 0;
    s.busyState = Pick(p, {std::uint16_t{1}, std::uint16_t{3}, std::uint16_t{7}, std::uint16_t{0x55AA}});
    s.busyForMs = p.ConsumeBool() ? 0 : p.ConsumeIntegralInRange<std::uint32_t>(0, 700000);
    s.scriptLength = p.ConsumeIntegralInRange<std::uint32_t>(0, 8);
    for (std::uint32_t i = 0; i < s.scriptLength; ++i)
        s.script[i] = Pick(p, {std::uint16_t{0}, std::uint16_t{6}, std::uint16_t{7}, std::uint16_t{3},
                               std::uint16_t{0xFFFF}});
    s.burnMs = p.ConsumeIntegralInRange<std::uint32_t>(0, 30000);
    s.burnEndState = p.ConsumeIntegralInRange<int>(0, 5) == 0 ? Pick(p, {std::uint16_t{6}, std::uint16_t{3}})
                                                               : std::uint16_t{0};
    s.leaveAfterMs = p.ConsumeIntegralInRange<std::uint32_t>(0, 100000);
    s.absentMs = p.ConsumeIntegralInRange<std::uint32_t>(0, 100000);
    s.returnPath = p.ConsumeIntegralInRange<std::int32_t>(0, 6);
    s.returnInRecovery = p.ConsumeBool();
    s.clockSkewSeconds = p.ConsumeBool() ? 0 : p.ConsumeIntegralInRange<std::int32_t>(-120, 120);
    if (p.ConsumeIntegralInRange<int>(0, 15) == 0) {
        s.clockScripted = true;
        for (auto& b : s.clockReply) b = p.ConsumeIntegral<std::uint8_t>();
    }
    s.absenceCount = p.ConsumeIntegralInRange<std::uint32_t>(0, 2);
    for (std::uint32_t i = 0; i < s.absenceCount; ++i) {
        SimAbsence& a = s.absences[i];
        a.fromMs = p.ConsumeIntegralInRange<std::uint64_t>(0, 60000);
        a.toMs = a.fromMs + p.ConsumeIntegralInRange<std::uint64_t>(0, 40000);
        a.thenPath = p.ConsumeIntegralInRange<std::int32_t>(0, 6);
    }
    s.faultCount = p.ConsumeIntegralInRange<std::uint32_t>(0, 4);
    for (std::uint32_t i = 0; i < s.faultCount; ++i) {
        SimFaultRule& f = s.faults[i];
        f.direction = p.ConsumeBool() ? SIM_DIR_WRITE : SIM_DIR_READ;
        f.kind = p.ConsumeIntegralInRange<std::uint8_t>(SIM_FAULT_CALL_FAILS, SIM_FAULT_EMPTY);
        f.first = p.ConsumeIntegralInRange<std::uint32_t>(1, 30);
        f.count = p.ConsumeBool() ? p.ConsumeIntegralInRange<std::uint32_t>(1, 6)
                                  : p.ConsumeIntegralInRange<std::uint32_t>(1, 1200);
        f.amount = p.ConsumeIntegralInRange<std::uint32_t>(0, 40);
    }

    SimService& v = w.service;
    v.installed = p.ConsumeIntegralInRange<int>(0, 9) != 0;
    v.state = Pick(p, {SERVICE_RUNNING_STATE, SERVICE_RUNNING_STATE, SERVICE_STOPPED_STATE,
                       SERVICE_START_PENDING_STATE, SERVICE_STOP_PENDING_STATE});
    v.startType = Pick(p, {SERVICE_AUTO_START_TYPE, SERVICE_DEMAND_START_TYPE, SERVICE_DISABLED_TYPE});
    v.runningControls = Pick(p, {7u, 1u, 0u});
    v.startPendingMs = p.ConsumeIntegralInRange<std::uint32_t>(0, 8000);
    v.stopPendingMs = p.ConsumeIntegralInRange<std::uint32_t>(0, 8000);
    v.startWaitHint = Pick(p, {0u, 100u, 3000u, 10000u});
    v.stopWaitHint = Pick(p, {0u, 100u, 3000u});
    v.stuckPending = p.ConsumeIntegralInRange<int>(0, 15) == 0;
    v.openManager = MaybeRefuse(p);
    v.openService = MaybeRefuse(p);
    v.queryStatus = MaybeRefuse(p);
    v.queryConfig = MaybeRefuse(p);
    v.changeConfig = MaybeRefuse(p);
    v.control = MaybeRefuse(p);
    v.start = MaybeRefuse(p);

    // The scanner's registry instance, and sometimes others around it.
    const std::string path = "\\\\.\\usbscan" + std::to_string(s.path < 0 ? 0 : s.path);
    const std::string friendly = p.ConsumeIntegralInRange<int>(0, 7) == 0
                                     ? std::string(p.ConsumeIntegralInRange<std::size_t>(200, 300), 'N')
                                     : p.ConsumeRandomLengthString(24);
    const int instances = p.ConsumeIntegralInRange<int>(0, 3);
    for (int i = 0; i < instances; ++i) {
        SimRegistryInstance inst;
        inst.number = p.ConsumeIntegralInRange<int>(0, 20);
        inst.openRefused = p.ConsumeIntegralInRange<int>(0, 15) == 0;
        const int form = p.ConsumeIntegralInRange<int>(0, 5);
        std::string id = p.ConsumeBool() ? "usb\\vid_7a3c&pid_41b2" : "USB\\VID_7A3C&PID_41B2&MI_00";
        if (form == 1) id = "usb\\vid_7a3c&pid_41";
        inst.values.push_back({"CreateFileName", 1, Text(p.ConsumeBool() ? path : "\\\\.\\Usbscan9")});
        inst.values.push_back({"MatchingDeviceId", form == 2 ? 3u : 1u, Text(id)});
        if (form == 3) {
            inst.values.push_back({"FriendlyName", 1, Text(std::string(256, 'F'), false)});
        } else if (form != 4) {
            inst.values.push_back({"FriendlyName", 1, Text(friendly)});
        }
        w.registry.push_back(inst);
    }

    if (p.ConsumeIntegralInRange<int>(0, 7) == 0)
        w.mutexesHeldByOthers.push_back("Global\\ORVANE_SCAN_EXT_APP_MUTEX_" + friendly);
    if (p.ConsumeIntegralInRange<int>(0, 7) == 0)
        w.mutexesHeldByOthers.push_back("{3F9E21C4-7B0A-4d6e-8C5F-A1D2E3B4C5F6}");
    const int image = p.ConsumeIntegralInRange<int>(0, 15);
    w.image = image == 0 ? SimImage::Missing : image == 1 ? SimImage::NotLoadable
                                               : image == 2 ? SimImage::Empty : SimImage::Present;
    w.createEvent = MaybeRefuse(p);
    w.createMutex = MaybeRefuse(p);

    args.assign(1, "fwupdate.exe");
    const int argCount = p.ConsumeIntegralInRange<int>(0, 3);
    for (int i = 0; i < argCount; ++i)
        args.push_back(p.ConsumeBool() ? std::string(Pick(p, {"-a", "-b", "/a", "ab", "", "-", "-b"}))
                                       : p.ConsumeRandomLengthString(16));
}

}  // namespace

namespace {

// One whole run of the updater in the world the bytes describe; an empty
// text when every promise held.
std::string RunOnce(const std::uint8_t* data, std::size_t size, bool recordCalls)
{
    FuzzedDataProvider provider(data, size);
    std::vector<std::string> args;
    BuildWorld(provider, args);
    SimWorld& w = World();
    w.recordCalls = recordCalls;
    w.Start();
    const SimService before = w.serviceNow;

    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = UpdaterMain(static_cast<int>(args.size()), argv.data());
    return CheckRunInvariants(w, before, rc);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (RunOnce(data, size, false).empty()) return 0;
    // Run the same world again with every platform call written down, so
    // that the report shows how the run went.
    const std::string failure = RunOnce(data, size, true);
    const SimWorld& w = World();
    std::fprintf(stderr, "invariant broken: %s\n--- platform calls ---\n", failure.c_str());
    for (const std::string& call : w.calls) std::fprintf(stderr, "%s\n", call.c_str());
    std::fprintf(stderr, "--- console ---\n");
    std::fwrite(w.console.data(), 1, w.console.size(), stderr);
    std::abort();
}
