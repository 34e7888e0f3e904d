// What the run owes the imaging service once it has taken it off the
// scanner: the service back, started. The debt is kept twice:
// in memory, for the console control handler that may settle it on its own
// thread, and in the registry, for the next run when this process ends
// without warning.
#pragma once
#include <cstdint>

#include "host/wia_control.h"

// The start type Windows gives the imaging service (on demand): what a
// record whose own start type cannot be restored gives the service back.
constexpr std::uint32_t IMAGING_SERVICE_DEFAULT_START_TYPE = SERVICE_DEMAND_START_TYPE;

// Stops and disables the service, owing it back from before the stop: the
// record (the state and the start type before) is written first, so a run
// killed at any point after it is repaired by the next run. A stop that
// fails changes no start type, so it leaves nothing owed and no record.
// After a close nothing is stopped; a close during the stop has the service
// given back here, quietly. Prints nothing itself but a failed
// configuration read.
bool StopImagingService(CWIAControl& service, std::uint32_t stateBefore);

// The main thread's give-back when the service is owed: automatic start,
// started, followed until it runs. Exactly one thread gives it back; the
// other finds nothing owed. With `announce` the usual messages are printed.
// `service` may be null: a fresh object then. The record goes only once the
// service was given back. False only when this thread's start (or start
// type) failed: the service is not back, and its record stays.
bool GiveImagingServiceBack(CWIAControl* service, bool announce);

// The console control handler's part, for a close, log-off or shutdown:
// waits no longer than `budgetMs` from its start, prints nothing, holds no
// lock across a wait.
// Before the image write and after the burn it gives the service back (the
// start type it had, a start asked for); while the image is in flight it
// leaves the service off and the record in place, letting a write under way
// finish within its time; while the main thread is stopping the service or
// giving it back it lets that thread finish.
void GiveImagingServiceBackOnClose(std::uint32_t budgetMs);

// Whether a record is there (with its state): a dead run owes the service.
// `imageSent`: that run had begun to send the image.
bool DebtLeftBehind(bool* imageSent);

// Run only while holding the one-updater mutex, when the record can only be
// a dead run's: gives the service back first, announced, with the start type
// it had, if it is still as that run left it; otherwise only removes the
// record.
void SettleDebtLeftBehind();
