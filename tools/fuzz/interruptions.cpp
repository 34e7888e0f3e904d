#include "tools/fuzz/interruptions.h"

#include "common/print.h"

namespace {

// Interruptions land within the first two minutes, where every stage of a
// normal update happens.
constexpr std::uint64_t LATEST_EVENT_MS = 120000;
constexpr std::uint32_t LONGEST_SLEEP_MS = 30 * 60 * 1000;
const char* const DEBT_KEY = "software\\fwupdate";

bool Maybe(FuzzedDataProvider& provider, int oneIn)
{
    return provider.remaining_bytes() > 0 && provider.ConsumeIntegralInRange<int>(1, oneIn) == 1;
}

std::uint64_t When(FuzzedDataProvider& provider)
{
    return provider.ConsumeIntegralInRange<std::uint64_t>(0, LATEST_EVENT_MS);
}

}  // namespace

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

bool HasInterruptions(const SimWorld& world)
{
    return !world.controlEvents.empty() || world.killAtMs != NEVER_MS || !world.systemSleeps.empty() ||
           !world.updaterCopies.empty();
}

std::string CheckInterruptionPromises(const SimWorld& world, const SimService& before)
{
    const unsigned language = world.languageId == 0x0404 ? 1u : 0u;
    const std::string refused =
        std::string(MessageText(MSG_WIA_START_FAILED + MESSAGES_PER_LANGUAGE * static_cast<int>(language))) + "\n";
    const bool restartRefused = world.console.find(refused) != std::string::npos;
    // The last run may end by a control event whose handler's restart was
    // refused: that leaves the record for the run after it, as it should.
    const bool lastEndedByControl = world.processEnded && world.processEndedBy != "killed";
    if (world.machineKeys.count(DEBT_KEY) != 0 && !restartRefused && !lastEndedByControl) {
        return "8: the record of a service owed back outlived the run that could settle it";
    }
    if (world.serviceNow.startType == SERVICE_DISABLED_TYPE && before.startType != SERVICE_DISABLED_TYPE &&
        !restartRefused && world.machineKeys.count(DEBT_KEY) == 0) {
        return "8: the imaging service was left disabled with no record of it";
    }
    if (world.keepAwake) {
        return "10: the keep-awake request outlived the run";
    }
    return {};
}
