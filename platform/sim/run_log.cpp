#include "platform/run_log.h"

#include <cstdio>
#include <string>

#include "platform/sim/objects.h"
#include "platform/sim/world.h"
#include "platform/sim/world_internal.h"

namespace {

constexpr std::uint32_t ERROR_PATH_NOT_FOUND_HERE = 3;
constexpr std::uint32_t ERROR_ACCESS_DENIED_HERE = 5;
constexpr std::uint32_t ERROR_DISK_FULL_HERE = 112;
constexpr std::uint32_t ERROR_ALREADY_EXISTS_HERE = 183;
constexpr std::uint32_t ERROR_INVALID_OWNER_HERE = 1307;
// 1970-01-01 in FILETIME steps, and steps per millisecond.
constexpr std::uint64_t UNIX_EPOCH_FILETIME = 116444736000000000ull;
constexpr std::uint64_t FILETIME_PER_MS = 10000;

bool CopyText(const std::string& text, char* buffer, std::uint32_t size)
{
    if (buffer == nullptr || text.size() + 1 > size) {
        return false;
    }
    std::snprintf(buffer, size, "%s", text.c_str());
    return true;
}

bool Refuse(std::uint32_t error)
{
    SetSimLastError(error);
    return false;
}

// Every handle any process holds on a renamed file follows it.
void RenameOpenObjects(SimWorld& world, const std::string& from, const std::string& to)
{
    const auto follow = [&](std::vector<SimObject>& objects) {
        for (SimObject& object : objects) {
            if (object.kind == SimObjectKind::LogFile && object.name == from) {
                object.name = to;
            }
        }
    };
    follow(world.objects);
    for (SimProcess& process : world.processes) {
        follow(process.view.objects);
    }
}

}  // namespace

bool ProgramDataFolder(char* path, std::uint32_t size)
{
    return CopyText(World().programDataPath, path, size);
}

bool ComputerNameText(char* name, std::uint32_t size)
{
    return CopyText(World().computerName, name, size);
}

std::uint64_t UtcFileTime()
{
    const SimWorld& world = World();
    const std::uint64_t unixMs =
        static_cast<std::uint64_t>(world.localTimeAtStart) * 1000 + world.millisecondsAtStart + world.nowMs;
    return UNIX_EPOCH_FILETIME + unixMs * FILETIME_PER_MS;
}

bool ReadServiceSnapshot(const char* name, std::uint32_t* state, std::uint32_t* startType)
{
    RecordCall("QueryServiceSnapshot ", name ? name : "");
    const SimWorld& world = World();
    if (name == nullptr || !world.serviceNow.installed) {
        return false;
    }
    *state = world.serviceNow.state;
    *startType = world.serviceNow.startType;
    return true;
}

LogFolder InspectLogFolder(const char* path)
{
    RecordCall("InspectFolder ", path ? path : "");
    const SimWorld& world = World();
    const auto found = path == nullptr ? world.files.end() : world.files.find(SimLowerPath(path));
    if (found == world.files.end()) {
        return LogFolder::Missing;
    }
    const SimFile& entry = found->second;
    if (entry.reparse) {
        return LogFolder::ReparsePoint;
    }
    if (!entry.folder) {
        return LogFolder::NotAFolder;
    }
    if (entry.userOwned) {
        return LogFolder::ForeignOwner;
    }
    return entry.adminOnly ? LogFolder::Trusted : LogFolder::OpenDacl;
}

bool CreateLogFolder(const char* path)
{
    SimWorld& world = World();
    RecordCall("CreateLogFolder ", path ? path : "");
    ++world.logFolderCreates;
    if (path == nullptr) {
        return Refuse(ERROR_PATH_NOT_FOUND_HERE);
    }
    // Only an administrator's token may name Administrators the owner.
    if (!world.elevated) {
        return Refuse(ERROR_INVALID_OWNER_HERE);
    }
    const std::string lower = SimLowerPath(path);
    const auto parent = world.files.find(SimParentFolder(lower));
    if (parent == world.files.end() || !parent->second.folder) {
        return Refuse(ERROR_PATH_NOT_FOUND_HERE);
    }
    if (world.files.count(lower) != 0) {
        return Refuse(ERROR_ALREADY_EXISTS_HERE);
    }
    world.files[lower] = MakeSimFile(true, true);
    return true;
}

LogFile OpenLogForAppend(const char* path, Handle* file)
{
    SimWorld& world = World();
    RecordCall("CreateFile append ", path ? path : "");
    const std::string lower = SimLowerPath(path ? path : "");
    const auto parent = world.files.find(SimParentFolder(lower));
    if (path == nullptr || parent == world.files.end() || !parent->second.folder) {
        Refuse(ERROR_PATH_NOT_FOUND_HERE);
        return LogFile::Failed;
    }
    if (parent->second.adminOnly && !world.elevated) {
        Refuse(ERROR_ACCESS_DENIED_HERE);
        return LogFile::Failed;
    }
    const auto [entry, created] = world.files.emplace(lower, SimFile{});
    if (!created && entry->second.reparse) {
        return LogFile::ReparsePoint;
    }
    if (!created && entry->second.links > 1) {
        return LogFile::HardLinked;
    }
    if (entry->second.folder) {
        Refuse(ERROR_ACCESS_DENIED_HERE);
        return LogFile::Failed;
    }
    SimObject object;
    object.kind = SimObjectKind::LogFile;
    object.name = lower;
    *file = NewSimObject(object);
    return LogFile::Opened;
}

bool AppendLogBytes(Handle file, const char* data, std::uint32_t size)
{
    SimWorld& world = World();
    RecordCall("WriteFile log ", size);
    ++world.logAppends;
    const SimObject* object = FindSimObject(file, SimObjectKind::LogFile);
    const auto found = object == nullptr ? world.files.end() : world.files.find(object->name);
    if (found == world.files.end() || data == nullptr) {
        return Refuse(ERROR_ACCESS_DENIED_HERE);
    }
    // A full disk takes none of the bytes: the line is never cut.
    if (size > world.diskFreeNow) {
        return Refuse(ERROR_DISK_FULL_HERE);
    }
    found->second.content.append(data, size);
    world.diskFreeNow -= world.diskFreeNow == ~std::uint64_t{0} ? 0 : size;
    return true;
}

std::uint64_t LogFileSize(Handle file)
{
    const SimWorld& world = World();
    const SimObject* object = FindSimObject(file, SimObjectKind::LogFile);
    const auto found = object == nullptr ? world.files.end() : world.files.find(object->name);
    return found == world.files.end() ? ~std::uint64_t{0} : found->second.content.size();
}

bool RenameOpenLog(Handle file, const char* newPath)
{
    SimWorld& world = World();
    RecordCall("RenameFile ", newPath ? newPath : "");
    const SimObject* object = FindSimObject(file, SimObjectKind::LogFile);
    if (object == nullptr || newPath == nullptr) {
        return Refuse(ERROR_ACCESS_DENIED_HERE);
    }
    const std::string from = object->name;
    const std::string to = SimLowerPath(newPath);
    const auto found = world.files.find(from);
    if (found == world.files.end()) {
        return Refuse(ERROR_PATH_NOT_FOUND_HERE);
    }
    if (from != to) {
        const auto old = world.files.find(to);
        if (old != world.files.end() && old->second.folder) {
            return Refuse(ERROR_ALREADY_EXISTS_HERE);
        }
        SimFile moved = found->second;
        world.files.erase(found);
        world.files[to] = std::move(moved);
        RenameOpenObjects(world, from, to);
    }
    return true;
}

void CloseLogFile(Handle file)
{
    SimObject* object = FindSimObject(file, SimObjectKind::LogFile);
    if (object != nullptr) {
        object->open = false;
    }
}

std::int32_t WriteMachineText(const char* subKey, const char* name, const char* text)
{
    RecordCall("RegSetValue text ", subKey ? subKey : "", "\\", name ? name : "");
    SimWorld& world = World();
    if (subKey == nullptr || name == nullptr || text == nullptr) {
        return static_cast<std::int32_t>(ERROR_PATH_NOT_FOUND_HERE);
    }
    if (!world.elevated) {
        return static_cast<std::int32_t>(ERROR_ACCESS_DENIED_HERE);
    }
    world.NoteHiveChange(SimHive::Software);
    const std::string value(text);
    std::vector<std::uint8_t> bytes(value.begin(), value.end());
    bytes.push_back(0);
    world.machineKeys[SimLowerPath(subKey)][SimLowerPath(name)] = SimKeyValue(1, bytes);
    return 0;
}
