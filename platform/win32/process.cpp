#include "platform/process.h"

#include <windows.h>

std::uint16_t UserDefaultLanguageId()
{
    return GetUserDefaultLangID();
}
