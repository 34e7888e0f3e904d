#include "tools/fuzz/invariants.h"

#include <cstring>
#include <vector>

#include "common/print.h"
#include "common/shared.h"
#include "host/guards.h"
#include "platform/service.h"
#include "platform/sim/objects.h"

namespace {

bool StartsWith(const std::string& s, std::size_t at, const std::string& prefix)
{
    return s.compare(at, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& s, const std::string& suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// How many times `t` occurs in `s`, overlaps included.
std::size_t Occurrences(const std::string& s, const std::string& t)
{
    std::size_t n = 0;
    for (std::size_t at = s.find(t); at != std::string::npos; at = s.find(t, at + 1)) {
        ++n;
    }
    return n;
}

// Length of a "<prefix><signed decimal><suffix>" token at `at`, or 0.
std::size_t NumberToken(const std::string& s, std::size_t at, const std::string& prefix, const std::string& suffix)
{
    if (!StartsWith(s, at, prefix)) {
        return 0;
    }
    std::size_t i = at + prefix.size();
    if (i < s.size() && s[i] == '-') {
        ++i;
    }
    const std::size_t digits = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        ++i;
    }
    if (i == digits || i - digits > 10) {
        return 0;
    }
    if (!StartsWith(s, i, suffix)) {
        return 0;
    }
    return i + suffix.size() - at;
}

// The whole texts a console may hold in `language`: every catalogue text
// with the extra line end it is printed with (at its message id), then the
// direct lines without a number. Null, with `why` set, when a catalogue slot
// has no text.
const std::vector<std::string>* ConsoleTexts(unsigned language, std::string* why)
{
    // The catalogue never changes: its texts are gathered once per language.
    static std::vector<std::string> catalogue[2];
    std::vector<std::string>& texts = catalogue[language != 0 ? 1 : 0];
    if (!texts.empty()) {
        return &texts;
    }
    for (int id = 0; id < MESSAGE_COUNT; ++id) {
        const char* text = MessageText(id + MESSAGES_PER_LANGUAGE * static_cast<int>(language));
        if (text == nullptr) {
            texts.clear();
            *why = "catalogue slot without text for id " + std::to_string(id);
            return nullptr;
        }
        texts.push_back(std::string(text) + "\n");
    }
    texts.push_back("Recovery Mode!!!\n");
    texts.push_back("\n");
    return &texts;
}

// Where the mode's echo may stand: at the start, after any number of the
// option warning, the only thing that may come before it.
std::size_t EchoPosition(const std::string& console, const std::string& warning)
{
    std::size_t at = 0;
    while (StartsWith(console, at, warning)) {
        at += warning.size();
    }
    return at;
}

// Which prefixes of the console can be cut into whole tokens: the texts,
// the direct lines that carry a number, and the mode's echo, which comes
// once.
std::vector<bool> WholeTokenPrefixes(const std::string& console, const std::vector<std::string>& texts)
{
    std::vector<bool> reachable(console.size() + 1, false);
    reachable[0] = true;
    const std::size_t echoAt = EchoPosition(console, texts[MSG_NO_FOLLOWING_ARGUMENT]);
    for (std::size_t at = 0; at < console.size(); ++at) {
        if (!reachable[at]) {
            continue;
        }
        for (const std::string& t : texts) {
            if (t[0] == console[at] && StartsWith(console, at, t)) {
                reachable[at + t.size()] = true;
            }
        }
        if (std::size_t n = NumberToken(console, at, "Burning firmware... (", ")\n")) {
            reachable[at + n] = true;
        }
        if (std::size_t n = NumberToken(console, at, "QueryServiceConfig failed (", ")")) {
            reachable[at + n] = true;
        }
        if (at == echoAt) {
            if (std::size_t n = NumberToken(console, at, "", "\n")) {
                reachable[at + n] = true;
            }
        }
    }
    return reachable;
}

std::size_t LastReachable(const std::vector<bool>& reachable)
{
    std::size_t last = 0;
    for (std::size_t i = 0; i < reachable.size(); ++i) {
        if (reachable[i]) {
            last = i;
        }
    }
    return last;
}

// Exactly one outcome message, and nothing printed after it.
bool OutcomeComesOnceAndLast(const std::string& console, const std::string& succeeded, const std::string& failed,
                             std::string* why)
{
    const std::size_t outcomes = Occurrences(console, succeeded) + Occurrences(console, failed);
    if (outcomes != 1) {
        *why = "expected exactly one outcome message, found " + std::to_string(outcomes);
        return false;
    }
    if (!EndsWith(console, succeeded) && !EndsWith(console, failed)) {
        *why = "the outcome message is not the last thing printed";
        return false;
    }
    return true;
}

}  // namespace

bool ConsoleIsWellFormed(const std::string& console, unsigned language, std::string* why)
{
    const std::vector<std::string>* texts = ConsoleTexts(language, why);
    if (texts == nullptr) {
        return false;
    }
    const std::vector<bool> reachable = WholeTokenPrefixes(console, *texts);
    if (!reachable[console.size()]) {
        *why = "console text not made of known messages after byte " + std::to_string(LastReachable(reachable));
        return false;
    }
    return OutcomeComesOnceAndLast(console, (*texts)[MSG_UPDATE_SUCCEEDED], (*texts)[MSG_UPDATE_FAILED], why);
}

namespace {

std::string Hex(const std::uint8_t* bytes, std::size_t size)
{
    static const char DIGITS[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out += DIGITS[bytes[i] >> 4];
        out += DIGITS[bytes[i] & 15];
    }
    return out;
}

unsigned LanguageOf(const SimWorld& world)
{
    return world.languageId == 0x0404 ? 1u : 0u;
}

// Whether the run printed catalogue message `id` as a whole line.
bool Printed(const SimWorld& world, MessageId id)
{
    const char* text = MessageText(id + MESSAGES_PER_LANGUAGE * static_cast<int>(LanguageOf(world)));
    return world.console.find(std::string(text) + "\n") != std::string::npos;
}

// Where a pending state left alone ends up.
std::uint32_t Settled(const SimService& s, std::uint64_t nowMs)
{
    if (s.stuckPending) {
        return s.state;
    }
    if (s.state == SERVICE_START_PENDING_STATE && nowMs >= s.startPendingMs) {
        return SERVICE_RUNNING_STATE;
    }
    if (s.state == SERVICE_STOP_PENDING_STATE && nowMs >= s.stopPendingMs) {
        return SERVICE_STOPPED_STATE;
    }
    return s.state;
}

const GuardTries* TriesOf(const RunWatch& watch, const std::string& name)
{
    for (const GuardTries& g : watch.guards) {
        if (g.name == name) {
            return &g;
        }
    }
    return nullptr;
}

// A guard may fail only when its mutex existed because another application
// had it, at every one of its tries (or the platform refused the try); a
// name that does not fit is refused before any try.
std::string GuardFailure(const RunWatch& watch, const std::string& name, const char* which)
{
    const GuardTries* g = TriesOf(watch, name);
    if (g == nullptr) {
        if (name.size() >= static_cast<std::size_t>(MUTEX_NAME_SIZE)) {
            return {};
        }
        return std::string("3: the ") + which + " guard failed without trying";
    }
    if (g->tries != MUTEX_TRIES) {
        return std::string("3: the ") + which + " guard failed after " + std::to_string(g->tries) + " tries";
    }
    if (g->triesWhileOtherHeld + g->triesRefused < g->tries) {
        return std::string("3: the ") + which + " guard failed although only " +
               std::to_string(g->triesWhileOtherHeld) + " of its tries found another application holding it";
    }
    return {};
}

// Each check below returns an empty text when its promise held, otherwise
// which one broke, starting with the promise's number in docs/fuzzing.md.
// They share one signature so that CheckRunInvariants can run them as a list.
using RunCheck = std::string (*)(const SimWorld& world, const SimService& before, const RunWatch& watch);

// The run ended within its wall-clock bound. The watch stops a run as it
// passes the bound, at its next sleep or transfer; this judges the time
// the run took in the end.
std::string CheckRunWithinWallClockBound(const SimWorld& world, const SimService& /*before*/, const RunWatch& watch)
{
    const std::uint64_t counted = CountedMs(world, watch);
    if (counted > RUN_WALL_CLOCK_BOUND_MS) {
        return "1: the run took " + std::to_string(counted) + " ms of wall-clock time (bound " +
               std::to_string(RUN_WALL_CLOCK_BOUND_MS) + ")";
    }
    return {};
}

// Only the updater's own texts, exactly one outcome, printed last, and the
// pause after it.
std::string CheckConsole(const SimWorld& world, const SimService& /*before*/, const RunWatch& watch)
{
    std::string why;
    if (!ConsoleIsWellFormed(world.console, LanguageOf(world), &why)) {
        return "5: " + why;
    }
    if (world.nowMs - watch.lastPrintMs < run_bound::CLOSING_PAUSE_MS) {
        return "5: the run ended " + std::to_string(world.nowMs - watch.lastPrintMs) + " ms after the outcome";
    }
    return {};
}

// The imaging service as the rules leave it: untouched when the updater did
// not stop it; its start type kept and never started when the stop failed;
// otherwise given back with the start type it had and running or starting
// (a disabled one stays disabled and stopped), unless the restart reported
// its failure; a stopped service only kept from starting gets its start
// type back and is never stopped or started.
// Whether a copy of the updater ran beside this run: the service's and the
// scanner's counts are the world's, so what a copy did there is its own
// account (promises 9, 12 and 13 judge who may do what as it happens).
bool CopiesRan(const SimWorld& world)
{
    for (std::size_t p = 1; p < world.processes.size(); ++p) {
        if (world.processes[p].started) {
            return true;
        }
    }
    return false;
}

std::string CheckImagingService(const SimWorld& world, const SimService& before, const RunWatch& /*watch*/)
{
    if (CopiesRan(world)) {
        return {};
    }
    const SimService& s = world.serviceNow;
    const SimServiceCalls& n = world.serviceCalls;
    if (Printed(world, MSG_WIA_CLOSE_FAILED)) {
        if (n.start != 0) {
            return "2: the updater started the imaging service after its stop failed";
        }
        if (s.startType != before.startType) {
            return "2: a failed stop left the imaging service with start type " + std::to_string(s.startType);
        }
    } else if (!Printed(world, MSG_CLOSING_WIA)) {
        // Nothing stopped: at most a stopped service kept from starting by
        // itself, its start type put back unless the updater said it could
        // not be.
        if (n.control != 0 || n.start != 0) {
            return "2: the imaging service was stopped or started although the updater did not stop it";
        }
        if (s.startType != before.startType && !Printed(world, MSG_WIA_START_FAILED)) {
            return "2: the imaging service was left with start type " + std::to_string(s.startType) +
                   " although the updater did not stop it";
        }
        // A trigger may start it on any arrival of the scanner, before the
        // update or after the give-back.
        if (!before.startTrigger && s.state != before.state && s.state != Settled(before, world.nowMs)) {
            return "2: the imaging service was left in state " + std::to_string(s.state) +
                   " although the updater did not stop it";
        }
    } else if (before.startType == SERVICE_DISABLED_TYPE) {
        // Disabled before the stop: given back as it was, not started.
        if (n.start != 0 || (s.startType != SERVICE_DISABLED_TYPE && !Printed(world, MSG_WIA_START_FAILED))) {
            return "2: a disabled imaging service was started or given start type " + std::to_string(s.startType);
        }
    } else {
        if (!Printed(world, MSG_STARTING_WIA)) {
            return "2: the updater stopped the imaging service and never gave it back";
        }
        if (!Printed(world, MSG_WIA_START_FAILED)) {
            if (s.startType != before.startType) {
                return "2: the imaging service was given back with start type " + std::to_string(s.startType) +
                       ", not its own " + std::to_string(before.startType);
            }
            if (s.state != SERVICE_RUNNING_STATE && s.state != SERVICE_START_PENDING_STATE) {
                return "2: the imaging service was given back in state " + std::to_string(s.state);
            }
        }
    }
    return {};
}

// No named mutex stays owned by the updater; a guard failed only where
// another application held its mutex.
std::string CheckMutexes(const SimWorld& world, const SimService& /*before*/, const RunWatch& watch)
{
    for (const auto& [name, m] : world.mutexes) {
        if (m.OwnedBy(0)) {
            return "3: the updater still owns mutex " + name;
        }
    }
    if (Printed(world, MSG_SCAN_APP_BUSY)) {
        std::string r =
            GuardFailure(watch, std::string("Global\\ORVANE_SCAN_EXT_APP_MUTEX_") + FriendlyName, "scan application");
        if (!r.empty()) {
            return r;
        }
    }
    if (Printed(world, MSG_UTILITY_BUSY) && !watch.utilitySeenElsewhere) {
        return GuardFailure(watch, "{3F9E21C4-7B0A-4d6e-8C5F-A1D2E3B4C5F6}", "utility");
    }
    return {};
}

// At most one download, and a reported success means the scanner got
// exactly the embedded image. An announcement whose write went through but
// whose completion was lost is sent again by the exchange's retry; the
// scanner then starts that exchange afresh, so what must never happen twice
// is the image itself starting to arrive.
std::string CheckDownload(const SimWorld& world, const SimService& /*before*/, const RunWatch& /*watch*/)
{
    if (CopiesRan(world)) {
        return {};
    }
    const ScannerModel& scanner = world.model;
    if (scanner.imageTransfers > 1) {
        return "4: " + std::to_string(scanner.imageTransfers) + " image transfers";
    }
    if (!Printed(world, MSG_UPDATE_SUCCEEDED)) {
        return {};
    }
    if (!scanner.imageComplete || scanner.imageBytes != EmbeddedImageSize()) {
        return "4: success reported but the scanner holds " + std::to_string(scanner.imageBytes) + " bytes";
    }
    Sha256 ctx;
    Sha256Init(&ctx);
    Sha256Update(&ctx, EmbeddedImageData(), EmbeddedImageSize());
    std::uint8_t expected[32];
    Sha256Final(&ctx, expected);
    if (std::memcmp(expected, scanner.imageSha256, 32) != 0) {
        return "4: success reported but the image digest is " + Hex(scanner.imageSha256, 32);
    }
    return {};
}

// Whether `mutex` is the handle of a guard try that took ownership.
bool IsOwnedGuardHandle(const RunWatch& watch, const SimObject& mutex)
{
    bool owned = false;
    for (Handle h : watch.ownedMutexHandles) {
        owned = owned || LookUpSimObject(h) == &mutex;
    }
    return owned;
}

// Nothing left open but what is open by design: the current device handle,
// and the handles of the guard mutexes the run took (released, never
// closed).
std::string CheckHandlesClosed(const SimWorld& world, const SimService& /*before*/, const RunWatch& watch)
{
    int devices = 0;
    for (const SimObject& o : world.objects) {
        if (!o.open) {
            continue;
        }
        switch (o.kind) {
        case SimObjectKind::Device:
            ++devices;
            break;
        case SimObjectKind::Event:
            return "6: a completion event was left open";
        case SimObjectKind::RegistryKey:
            return "6: a registry key was left open";
        case SimObjectKind::ServiceManager:
        case SimObjectKind::Service:
            return "6: a service handle was left open";
        case SimObjectKind::Mutex:
            if (!IsOwnedGuardHandle(watch, o)) {
                return "6: the handle of a failed try on mutex " + o.name + " was left open";
            }
            break;
        default:
            break;
        }
    }
    if (devices > 1) {
        return "6: " + std::to_string(devices) + " device handles were left open";
    }
    return {};
}

// In the order they are judged: the first promise broken is the verdict.
// The console comes before the checks that read what the run printed.
// A run that hung printed no outcome: its verdict comes first.
const RunCheck RUN_CHECKS[] = {
    CheckRunNeverHung, CheckRunWithinWallClockBound, CheckConsole, CheckImagingService, CheckMutexes,
    CheckDownload,     CheckHandlesClosed,
};

}  // namespace

std::string CheckRunNeverHung(const SimWorld& world, const SimService& /*before*/, const RunWatch& /*watch*/)
{
    if (world.processEndedBy == "hung") {
        return "11: the run hung in a transfer the driver holds for ever, at " + std::to_string(world.nowMs) +
               " virtual ms";
    }
    return {};
}

std::string CheckRunInvariants(SimWorld& world, const SimService& before, const RunWatch& watch)
{
    // Promises judged while the run went on (watch.cpp).
    if (!watch.broken.empty()) {
        return watch.broken;
    }
    for (RunCheck check : RUN_CHECKS) {
        std::string verdict = check(world, before, watch);
        if (!verdict.empty()) {
            return verdict;
        }
    }
    return {};
}
