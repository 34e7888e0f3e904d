#include "platform/task.h"

#include <cstdio>
#include <string>

#include "platform/sim/objects.h"
#include "platform/sim/world.h"
#include "platform/sim/world_internal.h"

namespace {

constexpr std::uint32_t ERROR_FILE_NOT_FOUND_CODE = 2;
constexpr std::uint32_t ERROR_PATH_NOT_FOUND_CODE = 3;
constexpr std::uint32_t ERROR_ACCESS_DENIED_CODE = 5;
constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER_CODE_HERE = 122;
constexpr std::uint32_t ERROR_ALREADY_EXISTS_CODE_HERE = 183;
constexpr std::uint32_t REPEAT_MS = 60000;

bool CopyOut(const std::string& text, char* buffer, std::uint32_t size)
{
    if (buffer == nullptr || text.size() + 1 > size) {
        SetSimLastError(ERROR_INSUFFICIENT_BUFFER_CODE_HERE);
        return false;
    }
    std::snprintf(buffer, size, "%s", text.c_str());
    return true;
}

bool Fails(std::uint32_t error)
{
    SetSimLastError(error);
    return false;
}

// A running process's executable cannot be deleted.
bool RunsFrom(const SimWorld& world, const std::string& lowerPath)
{
    for (const SimProcess& process : world.processes) {
        if (process.started && !process.ended && SimLowerPath(process.imagePath) == lowerPath) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool OwnProgramPath(char* path, std::uint32_t size)
{
    SimWorld& world = World();
    return CopyOut(world.processes[world.currentProcess].imagePath, path, size);
}

bool ProgramFilesFolder(char* path, std::uint32_t size)
{
    return CopyOut(World().programFilesPath, path, size);
}

bool CreateAdminOnlyFolder(const char* path)
{
    SimWorld& world = World();
    RecordCall("CreateDirectory ", path ? path : "");
    if (path == nullptr) {
        return Fails(ERROR_PATH_NOT_FOUND_CODE);
    }
    if (world.createFolder.Applies(++world.createFolderCalls)) {
        return Fails(world.createFolder.error);
    }
    const std::string lower = SimLowerPath(path);
    const auto parent = world.files.find(SimParentFolder(lower));
    if (parent == world.files.end() || !parent->second.folder) {
        return Fails(ERROR_PATH_NOT_FOUND_CODE);
    }
    if (world.files.count(lower) != 0) {
        return Fails(ERROR_ALREADY_EXISTS_CODE_HERE);
    }
    world.files[lower] = MakeSimFile(true, true);
    return true;
}

bool CopyProgramFile(const char* from, const char* to)
{
    SimWorld& world = World();
    RecordCall("CopyFile ", to ? to : "");
    if (from == nullptr || to == nullptr) {
        return Fails(ERROR_FILE_NOT_FOUND_CODE);
    }
    if (world.copyFile.Applies(++world.copyFileCalls)) {
        return Fails(world.copyFile.error);
    }
    const std::string source = SimLowerPath(from);
    const std::string target = SimLowerPath(to);
    if (world.files.count(source) == 0) {
        return Fails(ERROR_FILE_NOT_FOUND_CODE);
    }
    const auto parent = world.files.find(SimParentFolder(target));
    if (parent == world.files.end() || !parent->second.folder) {
        return Fails(ERROR_PATH_NOT_FOUND_CODE);
    }
    if (world.files.count(target) != 0) {
        return Fails(ERROR_ALREADY_EXISTS_CODE_HERE);
    }
    // A file takes its folder's descriptor.
    world.files[target] = MakeSimFile(false, parent->second.adminOnly);
    return true;
}

bool RemoveProgramFolder(const char* folder, const char* file)
{
    SimWorld& world = World();
    RecordCall("RemoveDirectory ", folder ? folder : "");
    if (folder == nullptr || file == nullptr) {
        return Fails(ERROR_PATH_NOT_FOUND_CODE);
    }
    const std::string lowerFile = SimLowerPath(file);
    if (RunsFrom(world, lowerFile)) {
        return Fails(ERROR_ACCESS_DENIED_CODE);
    }
    world.files.erase(lowerFile);
    const std::string lowerFolder = SimLowerPath(folder);
    for (const auto& [path, entry] : world.files) {
        if (path.rfind(lowerFolder + "\\", 0) == 0) {
            return Fails(ERROR_ACCESS_DENIED_CODE);  // not empty
        }
    }
    if (world.files.erase(lowerFolder) == 0) {
        return Fails(ERROR_FILE_NOT_FOUND_CODE);
    }
    return true;
}

bool RegisterGiveBackTask(const char* name, const char* program, const char* argument, const char* folder)
{
    SimWorld& world = World();
    RecordCall("RegisterTask ", name ? name : "");
    if (name == nullptr || program == nullptr || argument == nullptr || folder == nullptr) {
        return Fails(ERROR_FILE_NOT_FOUND_CODE);
    }
    if (world.registerTask.Applies(++world.registerTaskCalls)) {
        return Fails(world.registerTask.error);
    }
    SimTask& task = world.tasks[name];
    // A replaced task keeps an instance that runs; its triggers start over.
    task.program = program;
    task.argument = argument;
    task.folder = folder;
    task.nextRunAtMs = world.nowMs + REPEAT_MS;
    return true;
}

bool DeleteScheduledTask(const char* name)
{
    RecordCall("DeleteTask ", name ? name : "");
    if (name != nullptr) {
        World().tasks.erase(name);
    }
    return true;
}

bool ScheduledTaskExists(const char* name)
{
    return name != nullptr && World().tasks.count(name) != 0;
}
