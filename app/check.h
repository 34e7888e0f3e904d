// The check-only run: whether an update could run now, reported and
// changing nothing.
#pragma once
#include "app/outcome.h"

// After the elevation check: finds the scanner, asks its state once, looks
// at the one-updater and guard mutexes (each held no longer than the look),
// queries the imaging service and reads whether a dead run's record waits.
// No service control, no registry write, nothing sent to the scanner but
// the status query. Prints the report and returns Updated when an update
// can run now, Busy when it has to wait, or the outcome that keeps it from
// running.
UpdateOutcome RunCheck();

// The report's last line, for the outcome RunCheck returned.
void PrintCheckVerdict(UpdateOutcome outcome);
