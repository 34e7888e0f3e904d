// The run of the give-back task (see host/give_back.h).
#pragma once
#include <cstdint>

// How many runs of the task wait for a scanner that says it still burns.
// The triggers come a minute apart, two a minute at most after a restart:
// at least 22 minutes, against a burn of about twelve. A scanner that still
// says so then is wedged, not burning, and the service comes back anyway.
constexpr std::uint32_t GIVE_BACK_MOST_RUNS = 45;
// The task's run is over and the copy may go (0), or it waits for the next
// trigger (1).
constexpr int GIVE_BACK_DONE = 0;
constexpr int GIVE_BACK_NOT_YET = 1;

// Whether the command line asks for the give-back run.
bool IsGiveBackRun(int argc, char** argv);

// The task's run, as SYSTEM with no console: while another run holds the
// one-updater mutex, that run owns the record and this one waits. Else it
// settles the record as a run's start does (asking the scanner first),
// and once no record is left, or its runs are used up, it removes the
// task and returns GIVE_BACK_DONE. A run that ends a record this way says
// so in the event log and the run record.
int RunGiveBack(int argc, char** argv);
