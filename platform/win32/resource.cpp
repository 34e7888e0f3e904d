#include "platform/resource.h"

#include <windows.h>

Handle FindBinaryResource(std::uint16_t id)
{
    return FindResourceA(nullptr, MAKEINTRESOURCEA(id), "BINARY");
}

Handle LoadBinaryResource(Handle resource)
{
    return LoadResource(nullptr, static_cast<HRSRC>(resource));
}

const void* LockBinaryResource(Handle loaded)
{
    return LockResource(static_cast<HGLOBAL>(loaded));
}

std::uint32_t SizeOfBinaryResource(Handle resource)
{
    return SizeofResource(nullptr, static_cast<HRSRC>(resource));
}
