// Scenario files: a simulated PC and scanner described in JSON (comments
// allowed), applied on top of the scenario runner's default world.
#pragma once
#include <string>
#include <vector>

#include "platform/sim/world.h"

struct ScenarioInterruptions;

// The registry instance the default world holds, so that an update runs
// through to its end without a scenario: instance 0000 of the Image class
// for the scanner at \\.\usbscan0.
SimRegistryInstance DefaultScannerInstance();

// The scenario runner's default world: SimWorld's own defaults with
// DefaultScannerConfig(), plus the default registry instance and no
// updater arguments.
void ApplyDefaultWorld(SimWorld* world, std::vector<std::string>* arguments);

// Applies a scenario's text to `world` and `arguments` (both already holding
// the defaults). On a refusal returns false and sets *error to one line that
// names the file and the key path, or the line and column of an error of
// the JSON syntax, with every unprintable byte escaped (PrintableText); the
// world may then be half-changed and is not to be run.
bool ApplyScenario(const std::string& fileName, const std::string& text, SimWorld* world,
                   std::vector<std::string>* arguments, std::string* error);

// The same, for a caller that plays interruptions and later runs: they go
// to *interruptions. The overload above refuses a scenario that has them.
bool ApplyScenario(const std::string& fileName, const std::string& text, SimWorld* world,
                   std::vector<std::string>* arguments, ScenarioInterruptions* interruptions, std::string* error);
