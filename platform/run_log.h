// What the record of each run needs from the system: where it is kept, the
// PC's name, the time in UTC, the imaging service looked at with query
// rights only, and a folder and file that nobody but an administrator or
// SYSTEM can have prepared. Paths and names are UTF-8.
#pragma once
#include "platform/handle.h"
#include <cstdint>

// Room for a path or a name, zero-terminated.
constexpr std::uint32_t RUN_LOG_PATH_SIZE = 520;

// SHGetFolderPathW(CSIDL_COMMON_APPDATA), else the ProgramData
// environment value. False when neither gives a path that fits.
bool ProgramDataFolder(char* path, std::uint32_t size);

// GetComputerNameExW(ComputerNamePhysicalDnsHostname) as UTF-8, else
// GetComputerNameW. False when the name cannot be read or does not fit.
bool ComputerNameText(char* name, std::uint32_t size);

// GetSystemTimeAsFileTime: 100-nanosecond steps since 1601-01-01 UTC.
std::uint64_t UtcFileTime();

// OpenSCManagerW(SC_MANAGER_CONNECT), OpenServiceW(SERVICE_QUERY_STATUS |
// SERVICE_QUERY_CONFIG), QueryServiceStatus, QueryServiceConfigW: rights a
// standard user has too, on handles of its own. False, with nothing
// written, when either cannot be read.
bool ReadServiceSnapshot(const char* name, std::uint32_t* state, std::uint32_t* startType);

// What a look at the record's folder found.
enum class LogFolder : std::uint8_t {
    Trusted,       // a folder owned by Administrators or SYSTEM, DACL protected, only they allowed
    Missing,       // nothing has the name
    ReparsePoint,  // a junction or symbolic link has the name
    NotAFolder,    // a file has the name
    ForeignOwner,  // owned by another account
    OpenDacl,      // its DACL is not protected, or allows somebody else
    Unreadable,    // it could not be opened or its descriptor read
};

// CreateFileW(FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT),
// GetFileInformationByHandle, GetSecurityInfo (owner and DACL).
LogFolder InspectLogFolder(const char* path);

// CreateDirectoryW with the descriptor O:BAG:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA).
// Fails when anything already has the name.
bool CreateLogFolder(const char* path);

enum class LogFile : std::uint8_t { Opened, ReparsePoint, HardLinked, Failed };

// CreateFileW(FILE_APPEND_DATA | DELETE, shared for reading, writing and
// deleting, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT), then
// GetFileInformationByHandle: a reparse point or a file with more than one
// name is closed again and refused. *file is set only for Opened.
LogFile OpenLogForAppend(const char* path, Handle* file);

// One WriteFile of all the bytes at the file's end. False when fewer went
// (a full disk), with the platform's error.
bool AppendLogBytes(Handle file, const char* data, std::uint32_t size);

// GetFileSizeEx. ~0 when it cannot be read.
std::uint64_t LogFileSize(Handle file);

// SetFileInformationByHandle(FileRenameInfo, replacing): the open file,
// and not whatever has its name by now, takes the new name.
bool RenameOpenLog(Handle file, const char* newPath);

// CloseHandle.
void CloseLogFile(Handle file);

// RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey), RegSetValueExW(REG_SZ),
// RegCloseKey. Returns the status code, 0 on success.
std::int32_t WriteMachineText(const char* subKey, const char* name, const char* text);
