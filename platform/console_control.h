// Console control events (Ctrl+C, Ctrl+Break, the window closed, log-off,
// shutdown), and the one section that their handler must never interrupt.
#pragma once
#include <cstdint>

enum class ConsoleControl { Interrupt, Break, Close, Logoff, Shutdown };

// Called on a thread of its own (on Windows) when an event arrives. True:
// the event is handled and the process goes on; false: the platform's
// default follows, which ends the process.
using ConsoleControlHandler = bool (*)(ConsoleControl event);

// SetConsoleCtrlHandler(route, TRUE) with a routine that hands every event
// to `handler`. False when the platform refused it.
bool InstallConsoleControlHandler(ConsoleControlHandler handler);

// Every event has a limit of this many milliseconds or more.
constexpr std::uint32_t DEFAULT_CONTROL_TIME_LIMIT_MS = 5000;
constexpr std::uint32_t NO_CONTROL_TIME_LIMIT = 0xFFFFFFFFu;

// How long the system lets the process run after `event` before it ends
// it, whatever the handler is doing: SPI_GETHUNGAPPTIMEOUT for a close,
// SPI_GETWAITTOKILLTIMEOUT for log-off and shutdown, both 5000 ms unless
// changed; NO_CONTROL_TIME_LIMIT for Ctrl+C and Ctrl+Break. What the user's
// profile stores is what the session loaded at log-on, or later: a value
// stored above the default is not trusted, and the default stands for it
// and for one that cannot be read. Ask at the start, not in the handler.
std::uint32_t ControlEventTimeLimitMs(ConsoleControl event);

// One lock, taken by whichever thread changes what the run owes the imaging
// service (the main thread's stop and give-back, or the handler's give-back),
// so that neither sees the other halfway through. Not recursive.
void LockServiceDebt();
void UnlockServiceDebt();
