// Console control events (Ctrl+C, Ctrl+Break, the window closed, log-off,
// shutdown), and the one section that their handler must never interrupt.
#pragma once

enum class ConsoleControl { Interrupt, Break, Close, Logoff, Shutdown };

// Called on a thread of its own (on Windows) when an event arrives. True:
// the event is handled and the process goes on; false: the platform's
// default follows, which ends the process.
using ConsoleControlHandler = bool (*)(ConsoleControl event);

// SetConsoleCtrlHandler(route, TRUE) with a routine that hands every event
// to `handler`. False when the platform refused it.
bool InstallConsoleControlHandler(ConsoleControlHandler handler);

// One lock, taken by whichever thread changes what the run owes the imaging
// service (the main thread's stop and give-back, or the handler's give-back),
// so that neither sees the other halfway through. Not recursive.
void LockServiceDebt();
void UnlockServiceDebt();
