#include "platform/console_control.h"

#include "platform/sim/threads.h"
#include "platform/sim/world.h"

bool InstallConsoleControlHandler(ConsoleControlHandler handler)
{
    World().controlHandler = handler;
    return true;
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
