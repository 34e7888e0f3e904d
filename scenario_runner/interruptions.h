// What a scenario does to the updater's process and PC while it runs:
// console control events, a kill, system sleeps, other copies of the
// updater and standard users' programs in the same world, and later runs of the updater in the world the first run
// left behind.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/world.h"
#include "scenario_runner/scenario_reader.h"

struct ScenarioInterruptions {
    std::vector<SimControlEvent> controls;         // in time order
    std::uint64_t killAtMs = NEVER_MS;             // the process is ended without warning
    std::vector<SimSystemSleep> sleeps;            // in time order, none overlapping
    std::vector<SimUpdaterCopy> copies;            // in time order
    std::vector<SimUserMutexHolder> mutexHolders;  // in time order
    // The arguments of each later run, started after the previous process
    // ended, in the world it left behind.
    std::vector<std::vector<std::string>> laterRuns;

    bool Any() const
    {
        return !controls.empty() || killAtMs != NEVER_MS || !sleeps.empty() || !copies.empty() ||
               !mutexHolders.empty() || !laterRuns.empty();
    }
};

// The "interruptions" object and the "then_run" array of a scenario; a
// refusal throws ScenarioError with the key path.
void ReadInterruptions(const ScenarioValue& value, ScenarioInterruptions& interruptions);
void ReadLaterRuns(const ScenarioValue& value, ScenarioInterruptions& interruptions);

// Hands the events of the first run to the world (before Start).
void ScheduleInterruptions(const ScenarioInterruptions& interruptions, SimWorld* world);

// The name a scenario gives an event ("ctrl_c", "close", ...).
const char* ControlEventName(ConsoleControl event);
