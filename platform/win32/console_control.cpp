#include "platform/console_control.h"

#include <windows.h>

namespace {

ConsoleControlHandler g_handler = nullptr;
SRWLOCK g_serviceDebt = SRWLOCK_INIT;

BOOL WINAPI RouteConsoleControl(DWORD type)
{
    ConsoleControl event = ConsoleControl::Interrupt;
    switch (type) {
    case CTRL_C_EVENT:
        event = ConsoleControl::Interrupt;
        break;
    case CTRL_BREAK_EVENT:
        event = ConsoleControl::Break;
        break;
    case CTRL_CLOSE_EVENT:
        event = ConsoleControl::Close;
        break;
    case CTRL_LOGOFF_EVENT:
        event = ConsoleControl::Logoff;
        break;
    case CTRL_SHUTDOWN_EVENT:
        event = ConsoleControl::Shutdown;
        break;
    default:
        return FALSE;
    }
    return g_handler != nullptr && g_handler(event) ? TRUE : FALSE;
}

}  // namespace

bool InstallConsoleControlHandler(ConsoleControlHandler handler)
{
    g_handler = handler;
    return SetConsoleCtrlHandler(RouteConsoleControl, TRUE) != FALSE;
}

void LockServiceDebt()
{
    AcquireSRWLockExclusive(&g_serviceDebt);
}

void UnlockServiceDebt()
{
    ReleaseSRWLockExclusive(&g_serviceDebt);
}
