#include "tools/fuzz/blocking.h"

#include <cstdio>

#include "platform/sim/error_codes.h"

namespace {

constexpr std::uint32_t FOREVER = 0xFFFFFFFFu;
// Where a normal update spends its time: the first two minutes. Now and then
// a part lands anywhere in a run that waits its longest.
constexpr std::uint64_t EARLY_MS = 120000;
constexpr std::uint64_t LATE_MS = 1500000;
// The service manager gives a service this long to answer a control or a
// start; an answer slower than that fails the call.
constexpr std::uint32_t MANAGER_LIMIT_MS = 30000;

// True about once in `oneIn` decodings, and never once the bytes are gone.
bool Maybe(FuzzedDataProvider& provider, int oneIn)
{
    return provider.remaining_bytes() > 0 && provider.ConsumeIntegralInRange<int>(1, oneIn) == 1;
}

template <typename T, std::size_t N> T Pick(FuzzedDataProvider& provider, const T (&values)[N])
{
    return values[provider.ConsumeIntegralInRange<std::size_t>(0, N - 1)];
}

// A moment of the run: mostly early, sometimes late.
std::uint64_t When(FuzzedDataProvider& provider)
{
    return provider.ConsumeIntegralInRange<std::uint64_t>(0, Maybe(provider, 4) ? LATE_MS : EARLY_MS);
}

// The scanner answers for a while, then leaves every bulk request to the
// driver's time-out: after a few requests (the probe, the clock), after
// many (deep into a busy wait), or from a moment on; sometimes both.
void BuildSilence(FuzzedDataProvider& provider, ScannerConfig& scanner)
{
    if (!Maybe(provider, 3)) {
        return;
    }
    scanner.silentByCount = provider.ConsumeBool();
    scanner.silentAfterTransfers = provider.ConsumeIntegralInRange<std::uint32_t>(0, Maybe(provider, 4) ? 3000 : 60);
    scanner.silentByTime = !scanner.silentByCount || provider.ConsumeBool();
    scanner.silentFromMs = When(provider);
}

// How long the service takes to answer: at once, seconds, just inside the
// manager's limit, or past it (the call then fails after the limit).
std::uint32_t AnswerTime(FuzzedDataProvider& provider)
{
    switch (provider.ConsumeIntegralInRange<int>(0, 7)) {
    case 7:
        return provider.ConsumeIntegralInRange<std::uint32_t>(MANAGER_LIMIT_MS, 4 * MANAGER_LIMIT_MS);
    case 6:
    case 5:
        return provider.ConsumeIntegralInRange<std::uint32_t>(MANAGER_LIMIT_MS - 10000, MANAGER_LIMIT_MS - 1);
    default:
        return provider.ConsumeIntegralInRange<std::uint32_t>(0, 5000);
    }
}

// A refusal with one of the errors the service manager documents for the
// call, in place of whatever refusal the call had.
template <std::size_t N>
void DocumentedRefusal(FuzzedDataProvider& provider, SimRefusal& refusal, const std::uint32_t (&errors)[N])
{
    if (!Maybe(provider, 4)) {
        return;
    }
    refusal.first = provider.ConsumeIntegralInRange<std::uint32_t>(1, 3);
    refusal.count = provider.ConsumeBool() ? 1u : FOREVER;
    refusal.error = Pick(provider, errors);
}

void BuildSlowService(FuzzedDataProvider& provider, SimService& service)
{
    if (!Maybe(provider, 3)) {
        return;
    }
    service.controlTakesMs = AnswerTime(provider);
    service.startTakesMs = AnswerTime(provider);
    const std::uint32_t stopErrors[] = {ERROR_DEPENDENT_SERVICES_RUNNING_CODE, ERROR_SERVICE_REQUEST_TIMEOUT_CODE,
                                        ERROR_SHUTDOWN_IN_PROGRESS_CODE};
    const std::uint32_t startErrors[] = {ERROR_SERVICE_REQUEST_TIMEOUT_CODE, ERROR_SHUTDOWN_IN_PROGRESS_CODE};
    DocumentedRefusal(provider, service.control, stopErrors);
    DocumentedRefusal(provider, service.start, startErrors);
}

// Up to three selections, by a click (which takes only while QuickEdit is
// on) or from the window's menu (which always takes), held for seconds or,
// now and then, for minutes.
void BuildSelections(FuzzedDataProvider& provider, SimWorld& world)
{
    if (!Maybe(provider, 3)) {
        return;
    }
    world.quickEditAtStart = !provider.ConsumeBool();
    const int selections = provider.ConsumeIntegralInRange<int>(1, 3);
    for (int i = 0; i < selections; ++i) {
        SimConsoleSelection selection;
        selection.atMs = When(provider);
        selection.lengthMs = provider.ConsumeIntegralInRange<std::uint32_t>(1, Maybe(provider, 4) ? 900000 : 20000);
        selection.byClick = !provider.ConsumeBool();
        world.consoleSelections.push_back(selection);
    }
}

// Now and then every wait at its longest in one run, which no part above
// makes likely on its own: the service slow to stop and to start, the
// scanner ready at first, then busy for most of the ten-minute wait before
// the download, burning for ever, and falling silent late in the burn's ten
// minutes. This is where the run's wall-clock bound is tight.
void BuildLongestWaits(FuzzedDataProvider& provider, SimWorld& world)
{
    if (!Maybe(provider, 8)) {
        return;
    }
    SimService& service = world.service;
    service.controlTakesMs = provider.ConsumeIntegralInRange<std::uint32_t>(20000, MANAGER_LIMIT_MS - 1);
    service.startTakesMs = provider.ConsumeIntegralInRange<std::uint32_t>(20000, MANAGER_LIMIT_MS - 1);
    // Pending just inside the updater's waits, so that the run goes on.
    service.stopPendingMs = provider.ConsumeIntegralInRange<std::uint32_t>(20000, 28000);
    service.startPendingMs = provider.ConsumeIntegralInRange<std::uint32_t>(20000, 28000);
    ScannerConfig& scanner = world.scanner;
    // Ready to the probe and the readiness query, so the clock and the
    // download follow.
    scanner.scriptLength = 2;
    scanner.script[0] = 0;
    scanner.script[1] = 0;
    scanner.busyForMs = provider.ConsumeIntegralInRange<std::uint32_t>(500000, 700000);
    scanner.burnMs = FOREVER;
    scanner.silentByTime = true;
    scanner.silentFromMs = scanner.busyForMs + provider.ConsumeIntegralInRange<std::uint64_t>(0, 680000);
}

}  // namespace

void BuildBlocking(FuzzedDataProvider& provider, SimWorld& world)
{
    BuildSilence(provider, world.scanner);
    BuildSlowService(provider, world.service);
    BuildSelections(provider, world);
    BuildLongestWaits(provider, world);
}

void PrintBlocking(const SimWorld& world)
{
    const ScannerConfig& scanner = world.scanner;
    if (scanner.silentByCount) {
        std::fprintf(stderr, "  scanner falls silent after %u answered requests\n", scanner.silentAfterTransfers);
    }
    if (scanner.silentByTime) {
        std::fprintf(stderr, "  scanner falls silent at %llu ms\n",
                     static_cast<unsigned long long>(scanner.silentFromMs));
    }
    if (world.service.controlTakesMs != 0 || world.service.startTakesMs != 0) {
        std::fprintf(stderr, "  service answers a stop in %u ms, a start in %u ms\n", world.service.controlTakesMs,
                     world.service.startTakesMs);
    }
    if (!world.quickEditAtStart || !world.consoleSelections.empty()) {
        std::fprintf(stderr, "  console: QuickEdit %s at the start\n", world.quickEditAtStart ? "on" : "off");
    }
    for (const SimConsoleSelection& selection : world.consoleSelections) {
        std::fprintf(stderr, "  console selection by %s at %llu ms for %u ms\n", selection.byClick ? "click" : "menu",
                     static_cast<unsigned long long>(selection.atMs), selection.lengthMs);
    }
}
