// The updater's real code as the simulated world's processes: the first run
// on the calling thread, and every copy the world starts.
#pragma once
#include <string>
#include <vector>

// Tells the world how to start a copy of the updater (UpdaterMain) and how
// to swap the updater's process-wide values between its processes.
void UseRealUpdaterForCopies();

// Runs the updater as the world's first process with these arguments, then
// lets the rest of the world (handlers, copies) run to its end; returns the
// exit code, or throws SimProcessEnded when the process was ended.
int RunUpdaterProcess(std::vector<std::string> arguments);
