#include "tools/fuzz/invariants.h"

#include <cstring>
#include <vector>

#include "common/print.h"
#include "common/shared.h"
#include "platform/service.h"
#include "platform/sim/objects.h"

namespace {

bool StartsWith(const std::string& s, std::size_t at, const std::string& prefix)
{
    return s.compare(at, prefix.size(), prefix) == 0;
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

}  // namespace

bool ConsoleIsWellFormed(const std::string& console, unsigned language, std::string* why)
{
    // The catalogue never changes: its texts are gathered once per language.
    static std::vector<std::string> catalogue[2];
    std::vector<std::string>& texts = catalogue[language != 0 ? 1 : 0];
    if (texts.empty()) {
        for (int id = 0; id < MESSAGE_COUNT; ++id) {
            const char* text = MessageText(id + MESSAGES_PER_LANGUAGE * static_cast<int>(language));
            if (text == nullptr) {
                texts.clear();
                *why = "catalogue slot without text for id " + std::to_string(id);
                return false;
            }
            texts.push_back(std::string(text) + "\n");
        }
        texts.push_back("Recovery Mode!!!\n");
        texts.push_back("\n");
    }
    const std::string& succeeded = texts[MSG_UPDATE_SUCCEEDED];
    const std::string& failed = texts[MSG_UPDATE_FAILED];

    // Which prefixes of the output can be cut into whole tokens.
    std::vector<bool> reachable(console.size() + 1, false);
    reachable[0] = true;
    bool echoSeen = false;
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
        // The mode's echo comes once, before anything but the option warning.
        if (!echoSeen) {
            std::size_t warnings = 0;
            while (StartsWith(console, warnings, texts[MSG_NO_FOLLOWING_ARGUMENT])) {
                warnings += texts[MSG_NO_FOLLOWING_ARGUMENT].size();
            }
            if (at == warnings) {
                if (std::size_t n = NumberToken(console, at, "", "\n")) {
                    reachable[at + n] = true;
                }
                echoSeen = true;
            }
        }
    }
    if (!reachable[console.size()]) {
        std::size_t last = 0;
        for (std::size_t i = 0; i <= console.size(); ++i) {
            if (reachable[i]) {
                last = i;
            }
        }
        *why = "console text not made of known messages after byte " + std::to_string(last);
        return false;
    }
    auto count = [&](const std::string& t) {
        std::size_t n = 0;
        for (std::size_t at = console.find(t); at != std::string::npos; at = console.find(t, at + 1)) {
            ++n;
        }
        return n;
    };
    const std::size_t outcomes = count(succeeded) + count(failed);
    if (outcomes != 1) {
        *why = "expected exactly one outcome message, found " + std::to_string(outcomes);
        return false;
    }
    const bool endsWell = console.size() >= succeeded.size() &&
                          console.compare(console.size() - succeeded.size(), succeeded.size(), succeeded) == 0;
    const bool endsBadly =
        console.size() >= failed.size() && console.compare(console.size() - failed.size(), failed.size(), failed) == 0;
    if (!endsWell && !endsBadly) {
        *why = "the outcome message is not the last thing printed";
        return false;
    }
    return true;
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

}  // namespace

namespace {

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

}  // namespace

std::string CheckRunInvariants(SimWorld& world, const SimService& before, const RunWatch& watch)
{
    // Promises judged while the run went on (watch.cpp).
    if (!watch.broken.empty()) {
        return watch.broken;
    }

    // 1. The run ended, within its bound of virtual time (a run past it was
    // stopped there and never gets here).
    // Time the PC slept does not count: the updater's bounds are awake time.
    if (world.nowMs - world.asleepMs > RUN_VIRTUAL_MS_BOUND) {
        return "1: the run took " + std::to_string(world.nowMs - world.asleepMs) + " awake virtual ms";
    }

    const unsigned language = world.languageId == 0x0404 ? 1u : 0u;
    const auto printed = [&](MessageId id) {
        const char* text = MessageText(id + MESSAGES_PER_LANGUAGE * static_cast<int>(language));
        return world.console.find(std::string(text) + "\n") != std::string::npos;
    };

    // 5. Only the updater's own texts, exactly one outcome, printed last,
    // and the pause after it.
    std::string why;
    if (!ConsoleIsWellFormed(world.console, language, &why)) {
        return "5: " + why;
    }
    if (world.nowMs - watch.lastPrintMs < run_bound::CLOSING_PAUSE_MS) {
        return "5: the run ended " + std::to_string(world.nowMs - watch.lastPrintMs) + " ms after the outcome";
    }

    // 2. The imaging service as the rules leave it.
    const SimService& s = world.serviceNow;
    const SimServiceCalls& n = world.serviceCalls;
    if (!printed(MSG_CLOSING_WIA)) {
        if (n.control != 0 || n.changeConfig != 0 || n.start != 0) {
            return "2: the imaging service was changed although the updater did not stop it";
        }
        if (s.startType != before.startType || (s.state != before.state && s.state != Settled(before, world.nowMs))) {
            return "2: the imaging service was left in state " + std::to_string(s.state) + ", start type " +
                   std::to_string(s.startType) + " although the updater did not stop it";
        }
    } else if (printed(MSG_WIA_CLOSE_FAILED)) {
        if (n.start != 0) {
            return "2: the updater started the imaging service after its stop failed";
        }
        if (s.startType != before.startType) {
            return "2: a failed stop left the imaging service with start type " + std::to_string(s.startType);
        }
    } else {
        if (!printed(MSG_STARTING_WIA)) {
            return "2: the updater stopped the imaging service and never gave it back";
        }
        if (!printed(MSG_WIA_START_FAILED)) {
            if (s.startType != SERVICE_AUTO_START_TYPE) {
                return "2: the imaging service was given back with start type " + std::to_string(s.startType);
            }
            if (s.state != SERVICE_RUNNING_STATE && s.state != SERVICE_START_PENDING_STATE) {
                return "2: the imaging service was given back in state " + std::to_string(s.state);
            }
        }
    }

    // 3. No named mutex stays owned by the updater; a guard failed only
    // where another application held its mutex.
    for (const auto& [name, m] : world.mutexes) {
        if (m.updaterOwnership != 0) {
            return "3: the updater still owns mutex " + name;
        }
    }
    if (printed(MSG_SCAN_APP_BUSY)) {
        std::string r =
            GuardFailure(watch, std::string("Global\\ORVANE_SCAN_EXT_APP_MUTEX_") + FriendlyName, "scan application");
        if (!r.empty()) {
            return r;
        }
    }
    if (printed(MSG_UTILITY_BUSY)) {
        std::string r = GuardFailure(watch, "{3F9E21C4-7B0A-4d6e-8C5F-A1D2E3B4C5F6}", "utility");
        if (!r.empty()) {
            return r;
        }
    }

    // 4. At most one download, and a reported success means the scanner got
    // exactly the embedded image. An announcement whose write went through
    // but whose completion was lost is sent again by the exchange's retry;
    // the scanner then starts that exchange afresh, so what must never
    // happen twice is the image itself starting to arrive.
    const ScannerModel& scanner = world.model;
    if (scanner.imageTransfers > 1) {
        return "4: " + std::to_string(scanner.imageTransfers) + " image transfers";
    }
    if (printed(MSG_UPDATE_SUCCEEDED)) {
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
    }

    // 6. Nothing left open but what is open by design: the current device
    // handle, and the handles of the guard mutexes the run took (released,
    // never closed).
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
        case SimObjectKind::Mutex: {
            bool owned = false;
            for (Handle h : watch.ownedMutexHandles) {
                owned = owned || LookUpSimObject(h) == &o;
            }
            if (!owned) {
                return "6: the handle of a failed try on mutex " + o.name + " was left open";
            }
            break;
        }
        default:
            break;
        }
    }
    if (devices > 1) {
        return "6: " + std::to_string(devices) + " device handles were left open";
    }
    return {};
}
