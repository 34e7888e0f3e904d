// The give-back that needs no person. A run that leaves the imaging
// service owed past its end (a close, log-off or shutdown while the scanner
// receives or burns its image) cannot bring it back itself; a task of the
// Task Scheduler does, as SYSTEM, from a copy of this executable in a
// folder only administrators and SYSTEM can write: at each start of Windows
// and every minute, until the record is settled or its runs are used up.
#pragma once
#include <cstdint>

// The argument the task runs the copy with.
inline constexpr const char* GIVE_BACK_SWITCH = "--give-back";
// The task's name in the scheduler's root folder.
inline constexpr const char* GIVE_BACK_TASK_NAME = "fwupdate imaging service give-back";
// Where the run notes the copy's folder and the task counts its runs: its
// own key, so the record's key is deleted whole as before.
inline constexpr const char* GIVE_BACK_KEY = "SOFTWARE\\fwupdate-giveback";

// Sets up the give-back for the record that stands now: any give-back an
// earlier run left goes first, then a new folder (created with its
// descriptor, never one that was there), the executable copied into it,
// the folder noted in the registry, the task registered. False when a step
// failed; what it made is removed again, and the record waits for the next
// run as it always did.
bool PrepareGiveBack();

// Keeps the give-back that stands for a dead run's record, which this run
// has taken on: it settles the same record. Its count of runs starts over,
// so that its last run, which no longer asks the scanner, is as far from
// this run's image as from the first. False when no task and note stand,
// or the count could not be reset on disk: then a new one is needed.
bool KeepGiveBack();

// Removes the task and the copy with its folder. Only for the holder of the
// one-updater mutex, once no record is left or the give-back gives up. A
// copy that runs as the task's instance stays; the task's action removes
// it once that run returned 0. Nothing is done when no give-back was set up.
void DismantleGiveBack();

// Counts one run of the task: how many there were, this one included. 0
// when no give-back is noted (nothing to count).
std::uint32_t CountGiveBackRun();
