// The scenario keys for interruptions and later runs. Each table below is
// the whole list of keys its object accepts.
#include "scenario_runner/interruptions.h"

namespace {

using Value = ScenarioValue;

constexpr ScenarioChoice CONTROL_EVENTS[] = {
    {"ctrl_c", static_cast<std::uint32_t>(ConsoleControl::Interrupt)},
    {"ctrl_break", static_cast<std::uint32_t>(ConsoleControl::Break)},
    {"close", static_cast<std::uint32_t>(ConsoleControl::Close)},
    {"logoff", static_cast<std::uint32_t>(ConsoleControl::Logoff)},
    {"shutdown", static_cast<std::uint32_t>(ConsoleControl::Shutdown)},
};

// A day of virtual time: far past any run, with a bound the reader can
// state. A sleep may last a week (a laptop left shut over a holiday).
constexpr std::int64_t MAX_EVENT_MS = 24LL * 3600 * 1000;
constexpr std::int64_t MAX_SLEEP_MS = 7 * MAX_EVENT_MS;
constexpr std::size_t MAX_CONTROLS = 16;
constexpr std::size_t MAX_SLEEPS = 16;
constexpr std::size_t MAX_LATER_RUNS = 4;
constexpr std::size_t MAX_RUN_ARGUMENTS = 64;
constexpr std::size_t MAX_COPIES = 4;
constexpr std::size_t MAX_MUTEX_HOLDERS = 8;
constexpr std::int64_t MAX_END_AFTER_MS = 60 * 1000;
constexpr std::size_t MAX_MUTEX_NAME = 260;

std::uint64_t EventMs(const Value& value)
{
    return static_cast<std::uint64_t>(value.Integer(0, MAX_EVENT_MS));
}

std::vector<std::string> ReadArguments(const Value& value)
{
    std::vector<std::string> arguments;
    for (const Value& element : value.Elements(MAX_RUN_ARGUMENTS)) {
        arguments.push_back(element.Text());
    }
    return arguments;
}

constexpr ScenarioField<SimControlEvent> CONTROL_FIELDS[] = {
    {"event",
     [](const Value& value, SimControlEvent& control) {
         control.event = static_cast<ConsoleControl>(value.Choice(CONTROL_EVENTS));
     },
     true},
    {"at_ms", [](const Value& value, SimControlEvent& control) { control.atMs = EventMs(value); }, true},
    {"no_handler", [](const Value& value, SimControlEvent& control) { control.noHandler = value.Bool(); }},
    {"end_after_ms",
     [](const Value& value, SimControlEvent& control) {
         control.endAfterMs = static_cast<std::uint32_t>(value.Integer(0, MAX_END_AFTER_MS));
     }},
};

constexpr ScenarioField<SimSystemSleep> SLEEP_FIELDS[] = {
    {"at_ms", [](const Value& value, SimSystemSleep& sleep) { sleep.atMs = EventMs(value); }, true},
    {"length_ms",
     [](const Value& value, SimSystemSleep& sleep) {
         sleep.lengthMs = static_cast<std::uint32_t>(value.Integer(1, MAX_SLEEP_MS));
     },
     true},
};

constexpr ScenarioField<SimUpdaterCopy> COPY_FIELDS[] = {
    {"at_ms", [](const Value& value, SimUpdaterCopy& copy) { copy.atMs = EventMs(value); }, true},
    {"arguments", [](const Value& value, SimUpdaterCopy& copy) { copy.arguments = ReadArguments(value); }},
};

constexpr ScenarioField<SimUserMutexHolder> HOLDER_FIELDS[] = {
    {"name",
     [](const Value& value, SimUserMutexHolder& holder) {
         holder.name = value.Text();
         if (holder.name.empty() || holder.name.size() > MAX_MUTEX_NAME) {
             value.Refuse("must be a mutex name of 1 to " + std::to_string(MAX_MUTEX_NAME) + " bytes");
         }
     },
     true},
    {"at_ms", [](const Value& value, SimUserMutexHolder& holder) { holder.atMs = EventMs(value); }, true},
};

// Copies and users' programs may share a time: they start in the order the
// file lists them.
template <typename Item, std::size_t FIELDS>
void ReadTimed(const Value& value, std::vector<Item>& items, std::size_t most,
               const ScenarioField<Item> (&fields)[FIELDS])
{
    items.clear();
    for (const Value& element : value.Elements(most)) {
        Item item;
        ReadFields<Item>(element, item, fields);
        if (!items.empty() && item.atMs < items.back().atMs) {
            element.Member("at_ms").Refuse("must not come before the one before it (at " +
                                           std::to_string(items.back().atMs) + ")");
        }
        items.push_back(std::move(item));
    }
}

// Events at one time would have no order the file could state; events out
// of order are more likely a typo than a plan.
void ReadControls(const Value& value, ScenarioInterruptions& interruptions)
{
    interruptions.controls.clear();
    for (const Value& element : value.Elements(MAX_CONTROLS)) {
        SimControlEvent control;
        ReadFields<SimControlEvent>(element, control, CONTROL_FIELDS);
        if (!interruptions.controls.empty() && control.atMs <= interruptions.controls.back().atMs) {
            element.Member("at_ms").Refuse("must come after the event before it (at " +
                                           std::to_string(interruptions.controls.back().atMs) + ")");
        }
        interruptions.controls.push_back(control);
    }
}

void ReadSleeps(const Value& value, ScenarioInterruptions& interruptions)
{
    interruptions.sleeps.clear();
    for (const Value& element : value.Elements(MAX_SLEEPS)) {
        SimSystemSleep sleep;
        ReadFields<SimSystemSleep>(element, sleep, SLEEP_FIELDS);
        if (!interruptions.sleeps.empty()) {
            const SimSystemSleep& before = interruptions.sleeps.back();
            if (sleep.atMs < before.atMs + before.lengthMs) {
                element.Member("at_ms").Refuse("the PC is still asleep then: the sleep before it ends at " +
                                               std::to_string(before.atMs + before.lengthMs));
            }
        }
        interruptions.sleeps.push_back(sleep);
    }
}

constexpr ScenarioField<ScenarioInterruptions> INTERRUPTION_FIELDS[] = {
    {"control", ReadControls},
    {"kill_at_ms",
     [](const Value& value, ScenarioInterruptions& interruptions) { interruptions.killAtMs = EventMs(value); }},
    {"sleeps", ReadSleeps},
    {"updater_copies",
     [](const Value& value, ScenarioInterruptions& interruptions) {
         ReadTimed(value, interruptions.copies, MAX_COPIES, COPY_FIELDS);
     }},
    {"user_mutex_holders",
     [](const Value& value, ScenarioInterruptions& interruptions) {
         ReadTimed(value, interruptions.mutexHolders, MAX_MUTEX_HOLDERS, HOLDER_FIELDS);
     }},
};

struct LaterRun {
    std::vector<std::string> arguments;
};

constexpr ScenarioField<LaterRun> LATER_RUN_FIELDS[] = {
    {"arguments", [](const Value& value, LaterRun& run) { run.arguments = ReadArguments(value); }},
};

}  // namespace

void ReadInterruptions(const ScenarioValue& value, ScenarioInterruptions& interruptions)
{
    ReadFields<ScenarioInterruptions>(value, interruptions, INTERRUPTION_FIELDS);
    // Nothing happens to a process after it is gone.
    if (interruptions.killAtMs == NEVER_MS) {
        return;
    }
    if (!interruptions.controls.empty() && interruptions.controls.back().atMs >= interruptions.killAtMs) {
        value.Member("control").Refuse("an event at or after kill_at_ms (" + std::to_string(interruptions.killAtMs) +
                                       ") reaches no process");
    }
}

void ReadLaterRuns(const ScenarioValue& value, ScenarioInterruptions& interruptions)
{
    interruptions.laterRuns.clear();
    for (const Value& element : value.Elements(MAX_LATER_RUNS)) {
        LaterRun run;
        ReadFields<LaterRun>(element, run, LATER_RUN_FIELDS);
        interruptions.laterRuns.push_back(std::move(run.arguments));
    }
}

void ScheduleInterruptions(const ScenarioInterruptions& interruptions, SimWorld* world)
{
    world->controlEvents = interruptions.controls;
    world->killAtMs = interruptions.killAtMs;
    world->systemSleeps = interruptions.sleeps;
    world->updaterCopies = interruptions.copies;
    world->userMutexHolders = interruptions.mutexHolders;
}

const char* ControlEventName(ConsoleControl event)
{
    for (const ScenarioChoice& choice : CONTROL_EVENTS) {
        if (choice.value == static_cast<std::uint32_t>(event)) {
            return choice.name;
        }
    }
    return "unknown";
}
