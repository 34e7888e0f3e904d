// What the updater did and was told at the platform's edge during one run.
// The fuzz target is linked with --wrap on the platform calls below, so every
// such call the logic makes passes through watch.cpp first; the promises that
// are about the order of things (what held when the scanner was written to,
// how long the run has gone on) are judged there, as they happen.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/handle.h"

// The tries of one guard mutex, by name.
struct GuardTries {
    std::string name;
    int tries = 0;
    int triesWhileOtherHeld = 0;  // another application had the name open
    int triesRefused = 0;         // the platform gave no handle at all
};

struct RunWatch {
    // Virtual time past which the run has broken its bound; the run is
    // stopped there (RunOverBound) instead of going on for virtual days.
    std::uint64_t boundMs = 0;
    bool stopAccepted = false;              // the imaging service took a stop control
    bool stoppedReported = false;           // and a status report since said stopped
    std::uint64_t lastPrintMs = 0;          // virtual time of the last console bytes
    std::vector<Handle> ownedMutexHandles;  // tries that took ownership
    std::vector<Handle> failedTryHandles;   // handles of tries that did not
    std::vector<GuardTries> guards;
    std::string broken;  // the first promise broken while the run went on
};

// The one run's watch; Reset before each run, with the run's bound.
RunWatch& Watch();
void ResetWatch(std::uint64_t boundMs);

// Thrown out of the updater from a passage of time beyond the bound.
struct RunOverBound { };
