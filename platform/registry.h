// The registry under HKEY_LOCAL_MACHINE.
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

constexpr std::uint32_t REG_DWORD_TYPE = 4;

// RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, NULL, 0, KEY_ALL_ACCESS,
// NULL, key, NULL): opens the key, creating it when missing. Returns the
// status code, 0 on success.
std::int32_t CreateMachineKey(const char* subKey, Handle* key);
// RegSetValueExA(key, name, 0, REG_DWORD, value, 4).
std::int32_t SetKeyNumber(Handle key, const char* name, std::uint32_t value);
// RegDeleteKeyA(HKEY_LOCAL_MACHINE, subKey): a key without subkeys.
std::int32_t DeleteMachineKey(const char* subKey);

// RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, KEY_QUERY_VALUE, key),
// RegFlushKey(key), RegCloseKey(key): returns once the whole hive that holds
// the key is on disk. Until then a write lives only in memory, and power
// lost before the registry's lazy flush loses it. Returns the status code,
// 0 on success (2 for a key that is not there).
std::int32_t FlushMachineKey(const char* subKey);

constexpr std::int32_t REG_VALUE_NOT_FOUND = 2;  // ERROR_FILE_NOT_FOUND
