#include "tools/fuzz/interruptions.h"

#include <algorithm>
#include <cstdio>

#include "common/print.h"
#include "host/guards.h"
#include "scanner_model/wire_values.h"

namespace {

// Interruptions land within the first two minutes, where every stage of a
// normal update happens.
constexpr std::uint64_t LATEST_EVENT_MS = 120000;
// Now and then an event lands late, where the longest waits are: a
// silent scanner's time-outs, a slow service, a console held by a
// selection, the burn.
constexpr std::uint64_t LATE_EVENT_MS = 1500000;
constexpr std::uint32_t LONGEST_SLEEP_MS = 30 * 60 * 1000;
// How long the image's write takes at the slowest and fastest rate played.
constexpr std::uint32_t FASTEST_IMAGE_WRITE_MS = 300;
constexpr std::uint32_t SLOWEST_IMAGE_WRITE_MS = 15000;
// Windows gives a log-off or shutdown that does not wait for console
// programs no handler; the process goes at once or a little later.
constexpr std::uint32_t LONGEST_END_WITHOUT_HANDLER_MS = 20000;
const char* const DEBT_KEY = "software\\fwupdate";
// How late the lazy flusher writes a hive out after its first change, when
// it does before a power cut.
constexpr std::uint64_t LONGEST_LAZY_FLUSH_MS = 10000;
// The world's power went at some point (its cut time is cleared then).
bool g_powerWasCut = false;

bool Maybe(FuzzedDataProvider& provider, int oneIn)
{
    return provider.remaining_bytes() > 0 && provider.ConsumeIntegralInRange<int>(1, oneIn) == 1;
}

std::uint64_t When(FuzzedDataProvider& provider)
{
    return provider.ConsumeIntegralInRange<std::uint64_t>(0, LATEST_EVENT_MS);
}

// A moment of the run: mostly early, sometimes late.
std::uint64_t Anytime(FuzzedDataProvider& provider)
{
    return provider.ConsumeIntegralInRange<std::uint64_t>(0, Maybe(provider, 4) ? LATE_EVENT_MS : LATEST_EVENT_MS);
}

SimControlEvent ControlEvent(FuzzedDataProvider& provider)
{
    SimControlEvent control;
    control.atMs = Anytime(provider);
    control.event = static_cast<ConsoleControl>(provider.ConsumeIntegralInRange<int>(0, 4));
    const bool endsTheSession = control.event == ConsoleControl::Logoff || control.event == ConsoleControl::Shutdown;
    if (endsTheSession && Maybe(provider, 3)) {
        control.noHandler = true;
        control.endAfterMs = provider.ConsumeIntegralInRange<std::uint32_t>(0, LONGEST_END_WITHOUT_HANDLER_MS);
    }
    return control;
}

std::vector<std::string> CopyArguments(FuzzedDataProvider& provider)
{
    switch (provider.ConsumeIntegralInRange<int>(0, 3)) {
    case 3:
        return {"-b", "7"};
    case 2:
        return {"-a"};
    default:
        return {};
    }
}

}  // namespace

void BuildConcurrency(FuzzedDataProvider& provider, SimWorld& world)
{
    if (!Maybe(provider, 4)) {
        return;
    }
    if (provider.ConsumeBool()) {
        const std::uint32_t ms =
            provider.ConsumeIntegralInRange<std::uint32_t>(FASTEST_IMAGE_WRITE_MS, SLOWEST_IMAGE_WRITE_MS);
        world.bulkBytesPerMs = std::max<std::uint32_t>(1, EmbeddedImageSize() / ms);
    }
    const int controls = provider.ConsumeIntegralInRange<int>(0, 2);
    for (int i = 0; i < controls; ++i) {
        world.controlEvents.push_back(ControlEvent(provider));
    }
    const int copies = provider.ConsumeIntegralInRange<int>(0, 2);
    for (int i = 0; i < copies; ++i) {
        const std::uint64_t at = Anytime(provider);
        world.updaterCopies.push_back({at, CopyArguments(provider)});
    }
    if (Maybe(provider, 4)) {
        world.userMutexHolders.push_back({UPDATER_MUTEX_NAME, When(provider)});
    }
}

void BuildInterruptions(FuzzedDataProvider& provider, SimWorld& world)
{
    if (!Maybe(provider, 3)) {
        return;
    }
    const int controls = provider.ConsumeIntegralInRange<int>(0, 2);
    for (int i = 0; i < controls; ++i) {
        const auto event = static_cast<ConsoleControl>(provider.ConsumeIntegralInRange<int>(0, 4));
        world.controlEvents.push_back({When(provider), event});
    }
    if (Maybe(provider, 4)) {
        world.killAtMs = When(provider);
    }
    if (Maybe(provider, 4)) {
        world.systemSleeps.push_back(
            {When(provider), provider.ConsumeIntegralInRange<std::uint32_t>(0, LONGEST_SLEEP_MS)});
    }
    if (Maybe(provider, 4)) {
        world.updaterCopies.push_back({When(provider), {}});
    }
}

void BuildPowerCut(FuzzedDataProvider& provider, SimWorld& world)
{
    if (!Maybe(provider, 6)) {
        return;
    }
    world.powerCutAtMs = Anytime(provider);
    // Each hive's lazy flush: never before the cut (the worse case), or
    // some seconds after its first change, so that the two hives can reach
    // the disk in either order.
    for (std::uint64_t* lazy : {&world.systemLazyFlushMs, &world.softwareLazyFlushMs}) {
        if (provider.ConsumeBool()) {
            *lazy = provider.ConsumeIntegralInRange<std::uint64_t>(0, LONGEST_LAZY_FLUSH_MS);
        }
    }
}

bool HasInterruptions(const SimWorld& world)
{
    return !world.controlEvents.empty() || world.killAtMs != NEVER_MS || !world.systemSleeps.empty() ||
           !world.updaterCopies.empty() || !world.userMutexHolders.empty() || world.powerCutAtMs != NEVER_MS ||
           g_powerWasCut;
}

void NotePowerCut(bool cut)
{
    g_powerWasCut = cut;
}

namespace {

// The last run found the scanner busy with a dead run's image, as it
// started or as it returned: the record it left waits for a later run.
bool g_recordMayWait = false;

}  // namespace

void NoteRecordMayWait(bool mayWait)
{
    g_recordMayWait = mayWait;
}

bool RecordMayWait(const SimWorld& world)
{
    const auto record = world.machineKeys.find(DEBT_KEY);
    if (record == world.machineKeys.end() || record->second.count("imagesent") == 0) {
        return false;
    }
    // What the scanner says of itself now (its script, a busy stretch, its
    // burn's end state included); peeking only brings the model to now.
    auto& m = const_cast<ScannerModel&>(world.model);  // NOLINT(cppcoreguidelines-pro-type-const-cast)
    const std::uint16_t state = m.PeekState(world.nowMs);
    const bool busy = state == scanner_wire::STATE_BURNING_VALUE || state == scanner_wire::STATE_RECOVERY_VALUE;
    return (busy || m.burning || m.inRecovery || m.config.scriptLength != 0) && m.attachedPath >= 0 &&
           m.attachedPath <= 255 && !(m.powerCycling && m.powerCycleLeft);
}

std::string CheckInterruptionPromises(const SimWorld& world, const SimService& before)
{
    const unsigned language = world.languageId == 0x0404 ? 1u : 0u;
    const std::string refused =
        std::string(MessageText(MSG_WIA_START_FAILED + MESSAGES_PER_LANGUAGE * static_cast<int>(language))) + "\n";
    const std::string busy =
        std::string(MessageText(MSG_DEVICE_BUSY + MESSAGES_PER_LANGUAGE * static_cast<int>(language))) + "\n";
    // A run that could not take the one-updater mutex may not settle the
    // record: for all it can tell, a live run owns it.
    const bool restartRefused = world.console.find(refused) != std::string::npos ||
                                world.console.find(busy) != std::string::npos || world.createMutex.first != 0;
    // The last run may end by a control event whose handler's restart was
    // refused: that leaves the record for the run after it, as it should.
    const bool lastEndedByControl =
        world.processEnded && world.processEndedBy != "killed" && world.processEndedBy != "power_cut";
    // A scanner that still burns keeps the record waiting for a later run.
    const bool mayWait = g_recordMayWait || RecordMayWait(world);
    g_recordMayWait = false;
    if (world.machineKeys.count(DEBT_KEY) != 0 && !restartRefused && !lastEndedByControl && !mayWait) {
        return "8: the record of a service owed back outlived the run that could settle it";
    }
    if (world.serviceNow.startType == SERVICE_DISABLED_TYPE && before.startType != SERVICE_DISABLED_TYPE &&
        !restartRefused && world.machineKeys.count(DEBT_KEY) == 0) {
        return "8: the imaging service was left disabled with no record of it";
    }
    if (world.keepAwake) {
        return "10: the keep-awake request outlived the run";
    }
    // After a power cut the next start of Windows or the next run gives the
    // service back as it was: its own start type, on every path.
    const bool powerWasCut = g_powerWasCut;
    g_powerWasCut = false;
    if (powerWasCut && !restartRefused && !mayWait && world.serviceNow.startType != before.startType) {
        return "15: after a power cut the imaging service was left with start type " +
               std::to_string(world.serviceNow.startType) + ", not " + std::to_string(before.startType);
    }
    return {};
}

void PrintInterruptions(const SimWorld& world)
{
    for (const SimControlEvent& control : world.controlEvents) {
        std::fprintf(stderr, "  control event %d at %llu ms%s", static_cast<int>(control.event),
                     static_cast<unsigned long long>(control.atMs), control.noHandler ? ", no handler" : "");
        if (control.noHandler) {
            std::fprintf(stderr, ", ends %u ms later", control.endAfterMs);
        }
        std::fprintf(stderr, "\n");
    }
    if (world.killAtMs != NEVER_MS) {
        std::fprintf(stderr, "  killed at %llu ms\n", static_cast<unsigned long long>(world.killAtMs));
    }
    if (world.powerCutAtMs != NEVER_MS) {
        std::fprintf(stderr, "  power cut at %llu ms, lazy flush SYSTEM %lld SOFTWARE %lld ms\n",
                     static_cast<unsigned long long>(world.powerCutAtMs),
                     world.systemLazyFlushMs == NEVER_MS ? -1LL : static_cast<long long>(world.systemLazyFlushMs),
                     world.softwareLazyFlushMs == NEVER_MS ? -1LL : static_cast<long long>(world.softwareLazyFlushMs));
    }
    for (const SimSystemSleep& sleep : world.systemSleeps) {
        std::fprintf(stderr, "  PC asleep at %llu ms for %u ms\n", static_cast<unsigned long long>(sleep.atMs),
                     sleep.lengthMs);
    }
    for (const SimUpdaterCopy& copy : world.updaterCopies) {
        std::fprintf(stderr, "  copy of the updater at %llu ms, %zu arguments\n",
                     static_cast<unsigned long long>(copy.atMs), copy.arguments.size());
    }
    for (const SimUserMutexHolder& holder : world.userMutexHolders) {
        std::fprintf(stderr, "  standard user's program opens %s at %llu ms\n", holder.name.c_str(),
                     static_cast<unsigned long long>(holder.atMs));
    }
    if (world.bulkBytesPerMs != 0) {
        std::fprintf(stderr, "  bulk writes move %u bytes per ms\n", world.bulkBytesPerMs);
    }
    for (const std::string& line : world.controlLog) {
        std::fprintf(stderr, "  control log: %s\n", line.c_str());
    }
}
