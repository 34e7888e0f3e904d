// What a scenario does to the updater's process and PC while it runs:
// console control events, a kill, system sleeps, another updater in the
// same world, and later runs of the updater in the world the first run
// left behind.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/world.h"
#include "scenario_runner/scenario_reader.h"

enum class ControlEvent : std::uint8_t { CtrlC, CtrlBreak, Close, Logoff, Shutdown };

// A control event the console sends the process at a virtual time.
struct ScheduledControl {
    ControlEvent event = ControlEvent::CtrlC;
    std::uint64_t atMs = 0;
};

// The PC sleeps from atMs for lengthMs; the scanner may drop off the bus
// while it does (a hub that loses power) and come back on waking.
struct ScheduledSleep {
    std::uint64_t atMs = 0;
    std::uint64_t lengthMs = 0;
    bool scannerLeavesBus = false;
};

// A second copy of the updater started in the same world at atMs.
struct OtherUpdater {
    bool present = false;
    std::uint64_t atMs = 0;
    std::vector<std::string> arguments;
};

struct ScenarioInterruptions {
    std::vector<ScheduledControl> controls;  // in time order
    std::uint64_t killAtMs = NEVER_MS;       // the process is ended without warning
    std::vector<ScheduledSleep> sleeps;      // in time order, none overlapping
    OtherUpdater otherUpdater;
    // The arguments of each later run, started after the previous process
    // ended, in the world it left behind.
    std::vector<std::vector<std::string>> laterRuns;

    bool Any() const
    {
        return !controls.empty() || killAtMs != NEVER_MS || !sleeps.empty() || otherUpdater.present ||
               !laterRuns.empty();
    }
};

// The "interruptions" object and the "then_run" array of a scenario; a
// refusal throws ScenarioError with the key path.
void ReadInterruptions(const ScenarioValue& value, ScenarioInterruptions& interruptions);
void ReadLaterRuns(const ScenarioValue& value, ScenarioInterruptions& interruptions);

// The name a scenario gives an event ("ctrl_c", "close", ...).
const char* ControlEventName(ControlEvent event);
