#include "platform/console_control.h"

#include "platform/sim/world.h"

bool InstallConsoleControlHandler(ConsoleControlHandler handler)
{
    World().controlHandler = handler;
    return true;
}

// The simulated process has one thread; a control event that falls inside
// this section is delivered once the section is left, at the next passage of
// time, as a handler that waits for the lock would run then.
void LockServiceDebt()
{
    World().serviceDebtLocked = true;
}

void UnlockServiceDebt()
{
    World().serviceDebtLocked = false;
}
