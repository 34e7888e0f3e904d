#include "platform/console_control.h"

#include "platform/sim/threads.h"
#include "platform/sim/world.h"

bool InstallConsoleControlHandler(ConsoleControlHandler handler)
{
    World().controlHandler = handler;
    return true;
}

// The world's values, read as Windows' own profile would be: one above the
// default is not trusted (the world still ends the process at its own
// value).
std::uint32_t ControlEventTimeLimitMs(ConsoleControl event)
{
    if (event == ConsoleControl::Interrupt || event == ConsoleControl::Break) {
        return NO_CONTROL_TIME_LIMIT;
    }
    const std::uint32_t stored = SimControlTimeLimitMs(World(), event);
    return stored < DEFAULT_CONTROL_TIME_LIMIT_MS ? stored : DEFAULT_CONTROL_TIME_LIMIT_MS;
}

// A real lock between the simulated threads of the running process: a
// handler that comes while the main thread is inside the section waits for
// it, and the main thread goes on meanwhile.
void LockServiceDebt()
{
    LockSimServiceDebt();
}

void UnlockServiceDebt()
{
    UnlockSimServiceDebt();
}
