#include "platform/registry.h"

#include <cstring>
#include <string>

#include "platform/sim/error_codes.h"
#include "platform/sim/objects.h"

namespace {

const char CLASS_KEY[] = "SYSTEM\\CurrentControlSet\\Control\\Class\\{6bdd1fc6-810f-11d0-bec7-08002be2092f}";

// Which key a path names: -1 the Image class key itself, 0..9999 one of its
// instances, -2 anything else. Key names are compared ignoring case, as the
// registry does; an instance is exactly four decimal digits.
int ParseKey(const char* subKey)
{
    if (subKey == nullptr) {
        return -2;
    }
    const std::size_t length = std::strlen(subKey);
    const std::size_t prefix = sizeof CLASS_KEY - 1;
    if (length < prefix || !StartsWithIgnoringCase(subKey, CLASS_KEY, prefix)) {
        return -2;
    }
    if (length == prefix) {
        return -1;
    }
    if (length != prefix + 5 || subKey[prefix] != '\\') {
        return -2;
    }
    int number = 0;
    for (std::size_t i = prefix + 1; i < length; ++i) {
        if (subKey[i] < '0' || subKey[i] > '9') {
            return -2;
        }
        number = number * 10 + (subKey[i] - '0');
    }
    return number;
}

const SimRegistryInstance* FindInstance(int number)
{
    for (const SimRegistryInstance& instance : World().registry) {
        if (instance.number == number) {
            return &instance;
        }
    }
    return nullptr;
}

// Keys outside the Image class live in the world's machineKeys, by
// lower-case path; a handle to one carries instance OWN_KEY and the path.
constexpr int OWN_KEY = -3;

std::string LowerPath(const char* subKey)
{
    std::string path = subKey != nullptr ? subKey : "";
    for (char& ch : path) {
        if (ch >= 'A' && ch <= 'Z') {
            ch = static_cast<char>(ch - 'A' + 'a');
        }
    }
    return path;
}

Handle OwnKeyHandle(const std::string& path)
{
    SimObject object;
    object.kind = SimObjectKind::RegistryKey;
    object.instance = OWN_KEY;
    object.name = path;
    return NewSimObject(object);
}

std::int32_t QueryOwnKeyValue(const SimObject& key, const char* name, std::uint32_t* type, void* data,
                              std::uint32_t* size)
{
    const auto& keys = World().machineKeys;
    const auto found = keys.find(key.name);
    if (found == keys.end()) {
        return ERROR_FILE_NOT_FOUND_CODE;
    }
    const auto value = found->second.find(LowerPath(name));
    if (value == found->second.end()) {
        if (type != nullptr) {
            *type = 0;
        }
        return ERROR_FILE_NOT_FOUND_CODE;
    }
    // The type and bytes as stored, under the same room rules as the Image
    // class's values.
    const auto stored = static_cast<std::uint32_t>(value->second.data.size());
    if (type != nullptr) {
        *type = value->second.type;
    }
    if (data != nullptr && *size < stored) {
        *size = stored;
        return ERROR_MORE_DATA_CODE;
    }
    if (data != nullptr && stored != 0) {
        std::memcpy(data, value->second.data.data(), stored);
    }
    if (size != nullptr) {
        *size = stored;
    }
    return ERROR_SUCCESS_CODE;
}

// The imaging service's key in the SYSTEM hive, where its start type lives.
const char SERVICE_KEY[] = "system\\currentcontrolset\\services\\stisvc";

}  // namespace

std::int32_t OpenMachineKey(const char* subKey, Handle* key)
{
    SimWorld& world = World();
    ++world.registryOpens;
    if (key == nullptr) {
        return ERROR_INVALID_PARAMETER_CODE;
    }
    *key = NO_HANDLE;
    // Every key the updater opens is under HKLM with KEY_ALL_ACCESS, which
    // a token that is not elevated does not get.
    if (!world.elevated) {
        return ERROR_ACCESS_DENIED_CODE;
    }
    const int number = ParseKey(subKey);
    if (number == -2) {
        ++world.ownKeyOpens;
        const std::string path = LowerPath(subKey);
        if (world.machineKeys.count(path) == 0) {
            return ERROR_FILE_NOT_FOUND_CODE;
        }
        *key = OwnKeyHandle(path);
        return ERROR_SUCCESS_CODE;
    }
    if (number >= 0) {
        const SimRegistryInstance* instance = FindInstance(number);
        if (instance == nullptr) {
            return ERROR_FILE_NOT_FOUND_CODE;
        }
        if (instance->openRefused) {
            return ERROR_ACCESS_DENIED_CODE;
        }
    }
    // Only keys that exist are worth a line: a lookup tries up to 10,000.
    RecordCall("RegOpenKey ", number < 0 ? "class" : subKey + sizeof CLASS_KEY);
    SimObject object;
    object.kind = SimObjectKind::RegistryKey;
    object.instance = number;
    *key = NewSimObject(object);
    return ERROR_SUCCESS_CODE;
}

std::int32_t QueryKeyValue(Handle key, const char* name, std::uint32_t* type, void* data, std::uint32_t* size)
{
    const SimObject* keyObject = FindSimObject(key, SimObjectKind::RegistryKey);
    if (keyObject == nullptr) {
        return ERROR_INVALID_HANDLE_CODE;
    }
    RecordCall("RegQueryValue ", name ? name : "(default)");
    // A buffer without its size is refused before anything is looked up.
    if (data != nullptr && size == nullptr) {
        return ERROR_INVALID_PARAMETER_CODE;
    }
    if (keyObject->instance == OWN_KEY) {
        return QueryOwnKeyValue(*keyObject, name, type, data, size);
    }
    const SimRegistryInstance* instance = keyObject->instance >= 0 ? FindInstance(keyObject->instance) : nullptr;
    const SimRegistryValue* value = nullptr;
    if (instance != nullptr) {
        for (const SimRegistryValue& candidate : instance->values) {
            if (EqualIgnoringCase(candidate.name.c_str(), name ? name : "")) {
                value = &candidate;
                break;
            }
        }
    }
    if (value == nullptr) {
        // The platform writes REG_NONE into the caller's type for a value it
        // did not find (seen under Wine); the size is left alone.
        if (type) {
            *type = 0;
        }
        return ERROR_FILE_NOT_FOUND_CODE;
    }
    const auto stored = static_cast<std::uint32_t>(value->data.size());
    if (type) {
        *type = value->type;
    }
    if (data == nullptr) {
        if (size) {
            *size = stored;
        }
        return ERROR_SUCCESS_CODE;
    }
    if (*size < stored) {
        *size = stored;
        return ERROR_MORE_DATA_CODE;
    }
    // The bytes as the writer stored them: no terminator is added, so a
    // text stored without one arrives without one.
    for (std::uint32_t i = 0; i < stored; ++i) {
        static_cast<std::uint8_t*>(data)[i] = value->data[i];
    }
    *size = stored;
    return ERROR_SUCCESS_CODE;
}

void CloseMachineKey(Handle key)
{
    SimObject* object = FindSimObject(key, SimObjectKind::RegistryKey);
    if (object == nullptr) {
        return;
    }
    object->open = false;
    ++World().registryCloses;
}

std::int32_t CreateMachineKey(const char* subKey, Handle* key)
{
    if (subKey == nullptr || key == nullptr || ParseKey(subKey) != -2 || !World().elevated) {
        return ERROR_ACCESS_DENIED_CODE;
    }
    const std::string path = LowerPath(subKey);
    RecordCall("RegCreateKey ", path);
    SimWorld& world = World();
    if (world.machineKeys.count(path) == 0) {
        world.NoteHiveChange(SimHive::Software);
    }
    world.machineKeys[path];
    *key = OwnKeyHandle(path);
    return ERROR_SUCCESS_CODE;
}

std::int32_t SetKeyNumber(Handle key, const char* name, std::uint32_t value)
{
    const SimObject* keyObject = FindSimObject(key, SimObjectKind::RegistryKey);
    if (keyObject == nullptr || keyObject->instance != OWN_KEY || name == nullptr) {
        return ERROR_INVALID_HANDLE_CODE;
    }
    RecordCall("RegSetValue ", name, " ", value);
    SimWorld& world = World();
    if (world.setValue.Applies(++world.valueWrites)) {
        return static_cast<std::int32_t>(world.setValue.error);
    }
    world.NoteHiveChange(SimHive::Software);
    world.machineKeys[keyObject->name][LowerPath(name)] = value;
    return ERROR_SUCCESS_CODE;
}

std::int32_t DeleteMachineKey(const char* subKey)
{
    const std::string path = LowerPath(subKey);
    RecordCall("RegDeleteKey ", path);
    SimWorld& world = World();
    if (!world.elevated) {
        return ERROR_ACCESS_DENIED_CODE;
    }
    if (world.machineKeys.count(path) == 0) {
        return ERROR_FILE_NOT_FOUND_CODE;
    }
    world.NoteHiveChange(SimHive::Software);
    world.machineKeys.erase(path);
    return ERROR_SUCCESS_CODE;
}

std::int32_t FlushMachineKey(const char* subKey)
{
    const std::string path = LowerPath(subKey);
    RecordCall("RegFlushKey ", path);
    SimWorld& world = World();
    if (world.flushKey.Applies(++world.keyFlushes)) {
        return static_cast<std::int32_t>(world.flushKey.error);
    }
    if (path == SERVICE_KEY) {
        if (!world.serviceNow.installed) {
            return ERROR_FILE_NOT_FOUND_CODE;
        }
        world.FlushHive(SimHive::System);
        return ERROR_SUCCESS_CODE;
    }
    if (world.machineKeys.count(path) == 0) {
        return ERROR_FILE_NOT_FOUND_CODE;
    }
    world.FlushHive(SimHive::Software);
    return ERROR_SUCCESS_CODE;
}
