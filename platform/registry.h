// The registry, read only, under HKEY_LOCAL_MACHINE.
#pragma once
#include "platform/handle.h"
#include <cstdint>

constexpr std::uint32_t REG_SZ_TYPE = 1;

// RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, KEY_ALL_ACCESS, key). Returns
// the platform's status code, 0 on success.
std::int32_t OpenMachineKey(const char* subKey, Handle* key);
// RegQueryValueExA(key, name, NULL, type, data, size). Returns the status
// code, 0 on success; *type and *size are updated as the platform does.
std::int32_t QueryKeyValue(Handle key, const char* name, std::uint32_t* type, void* data, std::uint32_t* size);
// RegCloseKey.
void CloseMachineKey(Handle key);
