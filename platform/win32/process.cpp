#include "platform/process.h"

#include <windows.h>

std::uint16_t UserDefaultLanguageId()
{
    return GetUserDefaultLangID();
}

bool ProcessIsElevated()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return true;
    }
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const BOOL asked = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(token);
    // A token that cannot say is taken as elevated: the run then goes on as
    // it always has, and whatever is refused later says so itself.
    return !asked || elevation.TokenIsElevated != 0;
}
