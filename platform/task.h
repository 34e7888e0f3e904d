// The Task Scheduler, and the files of the program a task runs.
#pragma once
#include <cstdint>

// Room for a path: MAX_PATH and more, zero-terminated.
constexpr std::uint32_t PROGRAM_PATH_SIZE = 520;

// GetModuleFileNameA(NULL, ...): the running executable's path. False when
// it does not fit (a cut path names another file).
bool OwnProgramPath(char* path, std::uint32_t size);

// SHGetFolderPathA(CSIDL_PROGRAM_FILES): the machine's Program Files
// folder, in which only administrators and SYSTEM may create anything.
bool ProgramFilesFolder(char* path, std::uint32_t size);

// CreateDirectoryA with a protected descriptor whose DACL gives
// Administrators and SYSTEM full access and nobody else any. Fails when
// anything already has the name (a folder, a file, a link someone made).
bool CreateAdminOnlyFolder(const char* path);

// CopyFileA(from, to, TRUE): never over an existing file.
bool CopyProgramFile(const char* from, const char* to);

// DeleteFileA(file) then RemoveDirectoryA(folder). True when the folder is
// gone; a program still running from the file keeps both.
bool RemoveProgramFolder(const char* folder, const char* file);

// Registers task `name` in the scheduler's root folder, replacing one of
// that name: it runs as SYSTEM whether or not anybody logs on, at each
// start of Windows and from a minute after the registration, each
// repeated every minute for as long as the task exists, one instance at a
// time (a trigger that comes while one runs starts nothing), each stopped
// after ten minutes. Its action runs `program` with `argument` and, once
// the program returned 0, removes `folder` with everything in it.
bool RegisterGiveBackTask(const char* name, const char* program, const char* argument, const char* folder);

// ITaskFolder::DeleteTask. True when no task of that name is left.
bool DeleteScheduledTask(const char* name);

// Whether a task of that name is registered.
bool ScheduledTaskExists(const char* name);
