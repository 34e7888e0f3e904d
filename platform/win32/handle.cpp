#include "platform/handle.h"

#include <windows.h>

std::uint32_t LastError()
{
    return GetLastError();
}

void CloseObject(Handle object)
{
    CloseHandle(object);
}
