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

// A decimal number of milliseconds stored as text under the user's
// HKEY_CURRENT_USER\\Control Panel\\Desktop, where the system keeps what
// SystemParametersInfo answers for it. SystemParametersInfoW itself lives
// in user32.dll, and a console process that loads user32.dll is no longer
// sent log-off and shutdown events at all.
std::uint32_t StoredTimeoutMs(const char* name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return DEFAULT_CONTROL_TIME_LIMIT_MS;
    }
    char text[16] = {};
    DWORD type = 0;
    DWORD size = sizeof text - 1;
    const LONG status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ || size == 0) {
        return DEFAULT_CONTROL_TIME_LIMIT_MS;
    }
    text[size < sizeof text ? size : sizeof text - 1] = '\0';
    std::uint32_t value = 0;
    std::size_t digits = 0;
    for (const char* at = text; *at >= '0' && *at <= '9' && digits < 9; ++at, ++digits) {
        value = value * 10 + static_cast<std::uint32_t>(*at - '0');
    }
    if (digits == 0 || (text[digits] != '\0' && digits < 9)) {
        return DEFAULT_CONTROL_TIME_LIMIT_MS;
    }
    return value < DEFAULT_CONTROL_TIME_LIMIT_MS ? value : DEFAULT_CONTROL_TIME_LIMIT_MS;
}

}  // namespace

std::uint32_t ControlEventTimeLimitMs(ConsoleControl event)
{
    switch (event) {
    case ConsoleControl::Close:
        return StoredTimeoutMs("HungAppTimeout");
    case ConsoleControl::Logoff:
    case ConsoleControl::Shutdown:
        return StoredTimeoutMs("WaitToKillAppTimeout");
    default:
        return NO_CONTROL_TIME_LIMIT;
    }
}

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
