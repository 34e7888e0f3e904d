#include "tools/fuzz/invariants.h"

#include <cstring>
#include <vector>

#include "app/messages.h"
#include "platform/service.h"

namespace {

bool StartsWith(const std::string& s, std::size_t at, const std::string& prefix)
{
    return s.compare(at, prefix.size(), prefix) == 0;
}

// Length of a "<prefix><signed decimal><suffix>" token at `at`, or 0.
std::size_t NumberToken(const std::string& s, std::size_t at, const std::string& prefix, const std::string& suffix)
{
    if (!StartsWith(s, at, prefix)) return 0;
    std::size_t i = at + prefix.size();
    if (i < s.size() && s[i] == '-') ++i;
    const std::size_t digits = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    if (i == digits || i - digits > 10) return 0;
    if (!StartsWith(s, i, suffix)) return 0;
    return i + suffix.size() - at;
}

}  // namespace

bool ConsoleIsWellFormed(const std::string& console, unsigned language, std::string* why)
{
    std::vector<std::string> texts;
    for (int id = 0; id < MESSAGE_COUNT; ++id) {
        const char* text = MessageText(id + MESSAGES_PER_LANGUAGE * static_cast<int>(language));
        if (text == nullptr) {
            *why = "catalogue slot without text for id " + std::to_string(id);
            return false;
        }
        texts.push_back(std::string(text) + "\n");
    }
    const std::string succeeded = texts[MSG_UPDATE_SUCCEEDED];
    const std::string failed = texts[MSG_UPDATE_FAILED];
    texts.push_back("Recovery Mode!!!\n");
    texts.push_back("\n");

    // Which prefixes of the output can be cut into whole tokens.
    std::vector<bool> reachable(console.size() + 1, false);
    reachable[0] = true;
    bool echoSeen = false;
    for (std::size_t at = 0; at < console.size(); ++at) {
        if (!reachable[at]) continue;
        for (const std::string& t : texts)
            if (StartsWith(console, at, t)) reachable[at + t.size()] = true;
        if (std::size_t n = NumberToken(console, at, "Burning firmware... (", ")\n")) reachable[at + n] = true;
        if (std::size_t n = NumberToken(console, at, "QueryServiceConfig failed (", ")")) reachable[at + n] = true;
        // The mode's echo comes once, before anything but the option warning.
        if (!echoSeen) {
            std::size_t warnings = 0;
            while (StartsWith(console, warnings, texts[MSG_NO_FOLLOWING_ARGUMENT]))
                warnings += texts[MSG_NO_FOLLOWING_ARGUMENT].size();
            if (at == warnings) {
                if (std::size_t n = NumberToken(console, at, "", "\n")) reachable[at + n] = true;
                echoSeen = true;
            }
        }
    }
    if (!reachable[console.size()]) {
        std::size_t last = 0;
        for (std::size_t i = 0; i <= console.size(); ++i)
            if (reachable[i]) last = i;
        *why = "console text not made of known messages after byte " + std::to_string(last);
        return false;
    }
    auto count = [&](const std::string& t) {
        std::size_t n = 0;
        for (std::size_t at = console.find(t); at != std::string::npos; at = console.find(t, at + 1)) ++n;
        return n;
    };
    const std::size_t outcomes = count(succeeded) + count(failed);
    if (outcomes != 1) {
        *why = "expected exactly one outcome message, found " + std::to_string(outcomes);
        return false;
    }
    const bool endsWell = console.size() >= succeeded.size() &&
                              console.compare(console.size() - succeeded.size(), succeeded.size(), succeeded) == 0;
    const bool endsBadly = console.size() >= failed.size() &&
                           console.compare(console.size() - failed.size(), failed.size(), failed) == 0;
    if (!endsWell && !endsBadly) {
        *why = "the outcome message is not the last thing printed";
        return false;
    }
    return true;
}

namespace {

// Whether a refusal covered any of the first `calls` calls.
bool Fired(const SimRefusal& refusal, std::uint32_t calls)
{
    return refusal.first != 0 && refusal.first <= calls;
}

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

std::string CheckRunInvariants(SimWorld& world, const SimService& before, int exitCode)
{
    (void)before;
    if (exitCode != 0) return "exit code " + std::to_string(exitCode);

    // 1. The run ended, within its bound of virtual time.
    if (world.nowMs > RUN_VIRTUAL_MS_BOUND) return "the run took " + std::to_string(world.nowMs) + " virtual ms";

    const unsigned language = world.languageId == 0x0404 ? 1u : 0u;
    const auto printed = [&](MessageId id) {
        const char* text = MessageText(id + MESSAGES_PER_LANGUAGE * static_cast<int>(language));
        return world.console.find(std::string(text) + "\n") != std::string::npos;
    };

    // 2. A service the updater took down is given back, automatic and
    // running, unless the service manager itself refused to give it back.
    if (printed(MSG_CLOSING_WIA) && !printed(MSG_WIA_CLOSE_FAILED)) {
        const SimService& s = world.serviceNow;
        const SimService& cfg = world.service;
        const SimServiceCalls& n = world.serviceCalls;
        const bool refused = Fired(cfg.openManager, n.openManager) || Fired(cfg.openService, n.openService) ||
                             Fired(cfg.queryStatus, n.queryStatus) || Fired(cfg.queryConfig, n.queryConfig) ||
                             Fired(cfg.changeConfig, n.changeConfig) || Fired(cfg.start, n.start) ||
                             Fired(world.allocateFixed, world.fixedAllocationCalls) || cfg.stuckPending;
        if (!refused) {
            // A start may still be pending when the run ends; let it finish.
            world.Advance(60000);
            if (s.startType != SERVICE_AUTO_START_TYPE)
                return "the imaging service was left with start type " + std::to_string(s.startType);
            if (s.state != SERVICE_RUNNING_STATE)
                return "the imaging service was left in state " + std::to_string(s.state);
        }
    }

    // 3. No named mutex stays owned by the updater.
    for (const auto& [name, m] : world.mutexes)
        if (m.updaterOwnership != 0) return "the updater still owns mutex " + name;

    // 4. At most one download, and a reported success means the scanner got
    // exactly the embedded image. An announcement whose write went through
    // but whose completion was lost is sent again by the exchange's retry;
    // the scanner then starts that exchange afresh, so what must never
    // happen twice is the image itself starting to arrive.
    const ScannerModel& scanner = world.model;
    if (scanner.imageTransfers > 1) return std::to_string(scanner.imageTransfers) + " image transfers";
    if (printed(MSG_UPDATE_SUCCEEDED)) {
        if (!scanner.imageComplete || scanner.imageBytes != EmbeddedImageSize())
            return "success reported but the scanner holds " + std::to_string(scanner.imageBytes) + " bytes";
        Sha256 ctx;
        Sha256Init(&ctx);
        Sha256Update(&ctx, EmbeddedImageData(), EmbeddedImageSize());
        std::uint8_t expected[32];
        Sha256Final(&ctx, expected);
        if (std::memcmp(expected, scanner.imageSha256, 32) != 0)
            return "success reported but the image digest is " + Hex(scanner.imageSha256, 32);
    }

    // 5. The console holds only the updater's own texts, and one outcome.
    std::string why;
    if (!ConsoleIsWellFormed(world.console, language, &why)) return why;
    return {};
}
