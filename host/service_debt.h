// What the run owes the imaging service once it has taken it off the
// scanner: the service back, automatic and started. The debt is kept twice:
// in memory, for the console control handler that may settle it on its own
// thread, and in the registry, for the next run when this process ends
// without warning.
#pragma once
#include <cstdint>

#include "host/wia_control.h"

// The updater's own key under HKEY_LOCAL_MACHINE. It exists only while a
// run owes the service back.
inline constexpr const char* SERVICE_DEBT_KEY = "SOFTWARE\\fwupdate";

// Stops and disables the service, owing it back from before the stop: the
// record is written first, so a run killed at any point after it is
// repaired by the next run. A stop that fails changes no start type, so it
// leaves nothing owed and no record. Runs inside the section a console
// control handler waits for.
bool StopImagingService(CWIAControl& service, std::uint32_t stateBefore);

// Gives the service back when it is owed: automatic start, started. Exactly
// one caller does it, whichever thread comes first; the other finds nothing
// owed. With `announce` the usual messages are printed (the main thread;
// the handler prints nothing). `service` may be null: a fresh object then.
// The record goes only once the service was given back.
void GiveImagingServiceBack(CWIAControl* service, bool announce);

// A run that finds a record left behind by a run that ended without warning
// gives the service back first, announced.
void SettleDebtLeftBehind();
