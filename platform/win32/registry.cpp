#include "platform/registry.h"

#include <windows.h>

static_assert(REG_SZ_TYPE == REG_SZ);
static_assert(REG_DWORD_TYPE == REG_DWORD);
static_assert(REG_VALUE_NOT_FOUND == ERROR_FILE_NOT_FOUND);

std::int32_t OpenMachineKey(const char* subKey, Handle* key)
{
    HKEY opened = nullptr;
    const LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, KEY_ALL_ACCESS, &opened);
    *key = status == ERROR_SUCCESS ? opened : NO_HANDLE;
    return status;
}

std::int32_t QueryKeyValue(Handle key, const char* name, std::uint32_t* type, void* data, std::uint32_t* size)
{
    // The caller's variables go in and come back exactly as the platform
    // leaves them (it may reset the type of a value it did not find).
    DWORD valueType = type != nullptr ? *type : 0;
    DWORD room = size != nullptr ? *size : 0;
    const LONG status = RegQueryValueExA(static_cast<HKEY>(key), name, nullptr, type != nullptr ? &valueType : nullptr,
                                         static_cast<BYTE*>(data), size != nullptr ? &room : nullptr);
    if (type != nullptr) {
        *type = valueType;
    }
    if (size != nullptr) {
        *size = room;
    }
    return status;
}

void CloseMachineKey(Handle key)
{
    RegCloseKey(static_cast<HKEY>(key));
}

std::int32_t CreateMachineKey(const char* subKey, Handle* key)
{
    HKEY created = nullptr;
    const LONG status =
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr);
    *key = status == ERROR_SUCCESS ? created : NO_HANDLE;
    return status;
}

std::int32_t SetKeyNumber(Handle key, const char* name, std::uint32_t value)
{
    const DWORD number = value;
    return RegSetValueExA(static_cast<HKEY>(key), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                          sizeof number);
}

std::int32_t DeleteMachineKey(const char* subKey)
{
    return RegDeleteKeyA(HKEY_LOCAL_MACHINE, subKey);
}

std::int32_t FlushMachineKey(const char* subKey)
{
    // Reading rights are all RegFlushKey asks for: a key of the service
    // manager's need not grant this process more.
    HKEY opened = nullptr;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, KEY_QUERY_VALUE, &opened);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    status = RegFlushKey(opened);
    RegCloseKey(opened);
    return status;
}
