// What the updater did and was told at the platform's edge during one run.
// The fuzz target is linked with --wrap on the platform calls below, so every
// such call the logic makes passes through watch.cpp first; the promises that
// are about the order of things (what held when the scanner was written to,
// how long the run has gone on) are judged there, as they happen.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/handle.h"
#include "platform/sim/world.h"

// The tries of one guard mutex, by name.
struct GuardTries {
    std::string name;
    int tries = 0;
    int triesWhileOtherHeld = 0;  // another application had the name open
    int triesRefused = 0;         // the platform gave no handle at all
};

// Where the world stood when the run started: a run that follows an
// interrupted one starts late, after sleeps and selections of its own.
struct RunStart {
    std::uint64_t atMs = 0;
    std::uint64_t asleepMs = 0;
    std::uint64_t consoleBlockedMs = 0;
};

struct RunWatch {
    RunStart start;
    // The look into the other sessions found the scanner tool there, or
    // could not tell: the utility guard may fail for it.
    bool utilitySeenElsewhere = false;
    // Counted time (CountedMs) past which the run has broken its bound; the
    // run is stopped there (RunOverBound) instead of going on for virtual
    // days.
    std::uint64_t boundMs = 0;
    bool stopAccepted = false;              // the imaging service took a stop control
    bool stoppedReported = false;           // and a status report since said stopped
    std::uint64_t lastPrintMs = 0;          // virtual time of the last console bytes
    std::vector<Handle> ownedMutexHandles;  // tries that took ownership
    std::vector<Handle> failedTryHandles;   // handles of tries that did not
    std::vector<GuardTries> guards;
    int registryLookups = 0;  // Image-class keys the run opened (tries included)
    // The run's first write to the scanner is what it asks first: with a
    // dead run's record that names the image, whether the scanner still
    // burns it. Whether it then could say so, judged as that write goes out.
    bool wroteYet = false;
    bool recordMayWaitWhenAsked = false;
    // The run took the one-updater mutex at some point: only then may it
    // touch a record (a give-back task's run may hold the mutex meanwhile).
    bool tookUpdaterMutex = false;
    std::string broken;  // the first promise broken while the run went on
};

// The one run's watch; Reset before each run, with the run's bound, in
// the world as the run finds it.
RunWatch& Watch();
void ResetWatch(const SimWorld& world, std::uint64_t boundMs);

// Virtual time since the run started that counts against its bound: what a
// clock on the wall shows, less what the PC slept and what the run's console
// writes waited for a selection in the window.
std::uint64_t CountedMs(const SimWorld& world, const RunWatch& watch);

// Thrown out of the updater from a passage of time beyond the bound.
struct RunOverBound { };

// What the watch follows over a whole world, across its runs and the
// processes that run beside each other (copies, handler threads): reset
// once per input.
struct WorldWatch {
    // The thread that runs the first process's main: only there may
    // RunOverBound be thrown; a copy or a handler past its bound has its
    // process ended instead.
    std::thread::id hostThread;
    // An updater's stop control was accepted, and no start has given the
    // service back since at a moment the scanner could have it.
    bool serviceTakenOff = false;
    // The process whose write of the image is under way, or NO_PROCESS.
    int imageWriteBy = NO_PROCESS;
    // The process that delivered the image the scanner burns, which run of
    // the first process that was, and how much of its console stood then.
    int follower = NO_PROCESS;
    std::uint32_t followerRun = 0;
    std::size_t followerConsoleAt = 0;
    // The follower announced its give-back after the image: it followed
    // the burn to its end (the burn finished, failed, or outlasted the
    // run's bound), and the service is the user's again whatever the
    // scanner still does.
    bool burnFollowed = false;
    // The image went out while an updater had the service off: the burn
    // is then the updater's to keep the service away from. (A service
    // that accepted no stop was never taken off, and the scanner took its
    // image beside it.)
    bool imageSentWithServiceOff = false;
    // Where each copy's run started, taken at its first watched call.
    std::map<int, RunStart> copyStarts;
    // By copy, what RunWatch keeps of the first process's run.
    std::map<int, int> copyRegistryLookups;
    std::map<int, bool> copyStopAccepted, copyStoppedReported;
    // The first promise broken while any run of the world went on.
    std::string broken;
};
WorldWatch& Worldwide();
void ResetWorldWatch();
// The imaging service is the user's again (given back, started by Windows
// or by anybody while the scanner has no image of ours): from here on a
// burn that goes on is no longer held against it.
void HandServiceBackToUser();
// Windows has started again after a power cut: a service it started while
// the scanner was busy with no image of ours, or one no updater had
// disabled as the power went, is the user's again, as after a give-back or
// a shutdown; a disabled one lost beside a burn stays taken off, and
// promise 12 judges the time that passes with it.
void NoteWindowsStartedAfterPowerCut(const SimWorld& world);
