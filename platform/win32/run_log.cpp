#include "platform/run_log.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>
// clang-format on

namespace {

constexpr int WIDE_PATH_SIZE = 520;
constexpr std::uint64_t NO_SIZE = ~std::uint64_t{0};

bool Widen(const char* text, wchar_t* wide, int size)
{
    return text != nullptr && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, size) > 0;
}

bool Narrow(const wchar_t* wide, char* text, std::uint32_t size)
{
    return WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, static_cast<int>(size), nullptr, nullptr) > 0;
}

bool IsAdministratorsOrSystem(PSID sid)
{
    return sid != nullptr &&
           (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid));
}

// Protected, and whatever it allows goes to Administrators or SYSTEM
// alone. Deny entries take nothing away from that.
bool DaclIsAdminsOnly(PSECURITY_DESCRIPTOR descriptor, PACL dacl)
{
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (dacl == nullptr || !GetSecurityDescriptorControl(descriptor, &control, &revision) ||
        (control & SE_DACL_PROTECTED) == 0) {
        return false;
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry)) {
            return false;
        }
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
            continue;
        }
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE ||
            !IsAdministratorsOrSystem(&static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart)) {
            return false;
        }
    }
    return true;
}

LogFolder JudgeDescriptor(HANDLE folder)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return LogFolder::Unreadable;
    }
    LogFolder verdict = LogFolder::Trusted;
    if (!IsAdministratorsOrSystem(owner)) {
        verdict = LogFolder::ForeignOwner;
    } else if (!DaclIsAdminsOnly(descriptor, dacl)) {
        verdict = LogFolder::OpenDacl;
    }
    LocalFree(descriptor);
    return verdict;
}

}  // namespace

bool ProgramDataFolder(char* path, std::uint32_t size)
{
    wchar_t folder[MAX_PATH] = {};
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) {
        return Narrow(folder, path, size);
    }
    const DWORD length = GetEnvironmentVariableW(L"ProgramData", folder, MAX_PATH);
    return length > 0 && length < MAX_PATH && Narrow(folder, path, size);
}

bool ComputerNameText(char* name, std::uint32_t size)
{
    wchar_t wide[MAX_COMPUTERNAME_LENGTH + 256] = {};
    DWORD length = sizeof wide / sizeof wide[0];
    if (!GetComputerNameExW(ComputerNamePhysicalDnsHostname, wide, &length)) {
        length = sizeof wide / sizeof wide[0];
        if (!GetComputerNameW(wide, &length)) {
            return false;
        }
    }
    return Narrow(wide, name, size);
}

std::uint64_t UtcFileTime()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

bool ReadServiceSnapshot(const char* name, std::uint32_t* state, std::uint32_t* startType)
{
    wchar_t wide[WIDE_PATH_SIZE] = {};
    SC_HANDLE manager =
        Widen(name, wide, WIDE_PATH_SIZE) ? OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT) : nullptr;
    SC_HANDLE service = manager ? OpenServiceW(manager, wide, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG) : nullptr;
    SERVICE_STATUS status{};
    alignas(QUERY_SERVICE_CONFIGW) BYTE config[8192] = {};
    DWORD needed = 0;
    const bool read =
        service != nullptr && QueryServiceStatus(service, &status) &&
        QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config), sizeof config, &needed);
    if (read) {
        *state = status.dwCurrentState;
        *startType = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config)->dwStartType;
    }
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    return read;
}

LogFolder InspectLogFolder(const char* path)
{
    wchar_t wide[WIDE_PATH_SIZE] = {};
    if (!Widen(path, wide, WIDE_PATH_SIZE)) {
        return LogFolder::Unreadable;
    }
    HANDLE folder =
        CreateFileW(wide, READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? LogFolder::Missing
                                                                              : LogFolder::Unreadable;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    LogFolder verdict = LogFolder::Unreadable;
    if (GetFileInformationByHandle(folder, &information)) {
        if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            verdict = LogFolder::ReparsePoint;
        } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            verdict = LogFolder::NotAFolder;
        } else {
            verdict = JudgeDescriptor(folder);
        }
    }
    CloseHandle(folder);
    return verdict;
}

bool CreateLogFolder(const char* path)
{
    wchar_t wide[WIDE_PATH_SIZE] = {};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!Widen(path, wide, WIDE_PATH_SIZE) ||
        !ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAG:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                                                              SDDL_REVISION_1, &descriptor, nullptr)) {
        return false;
    }
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
    const bool created = CreateDirectoryW(wide, &attributes) != FALSE;
    LocalFree(descriptor);
    return created;
}

LogFile OpenLogForAppend(const char* path, Handle* file)
{
    wchar_t wide[WIDE_PATH_SIZE] = {};
    if (!Widen(path, wide, WIDE_PATH_SIZE)) {
        return LogFile::Failed;
    }
    // Another run may hold the file open for its own line, or rename it.
    HANDLE opened = CreateFileW(wide, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | DELETE | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return LogFile::Failed;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    LogFile verdict = LogFile::Opened;
    if (!GetFileInformationByHandle(opened, &information)) {
        verdict = LogFile::Failed;
    } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        verdict = LogFile::ReparsePoint;
    } else if (information.nNumberOfLinks > 1) {
        verdict = LogFile::HardLinked;
    }
    if (verdict != LogFile::Opened) {
        CloseHandle(opened);
        return verdict;
    }
    *file = opened;
    return verdict;
}

bool AppendLogBytes(Handle file, const char* data, std::uint32_t size)
{
    DWORD written = 0;
    return WriteFile(static_cast<HANDLE>(file), data, size, &written, nullptr) && written == size;
}

std::uint64_t LogFileSize(Handle file)
{
    LARGE_INTEGER size{};
    return GetFileSizeEx(static_cast<HANDLE>(file), &size) ? static_cast<std::uint64_t>(size.QuadPart) : NO_SIZE;
}

bool RenameOpenLog(Handle file, const char* newPath)
{
    wchar_t wide[WIDE_PATH_SIZE] = {};
    if (!Widen(newPath, wide, WIDE_PATH_SIZE)) {
        return false;
    }
    const std::size_t nameBytes = std::wcslen(wide) * sizeof(wchar_t);
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + nameBytes, 0);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(rename->FileName, wide, nameBytes);
    return SetFileInformationByHandle(static_cast<HANDLE>(file), FileRenameInfo, rename,
                                      static_cast<DWORD>(buffer.size())) != FALSE;
}

void CloseLogFile(Handle file)
{
    CloseHandle(static_cast<HANDLE>(file));
}

std::int32_t WriteMachineText(const char* subKey, const char* name, const char* text)
{
    wchar_t wideKey[WIDE_PATH_SIZE] = {};
    wchar_t wideName[WIDE_PATH_SIZE] = {};
    wchar_t wideText[WIDE_PATH_SIZE] = {};
    if (!Widen(subKey, wideKey, WIDE_PATH_SIZE) || !Widen(name, wideName, WIDE_PATH_SIZE) ||
        !Widen(text, wideText, WIDE_PATH_SIZE)) {
        return ERROR_INVALID_PARAMETER;
    }
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, wideKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const DWORD bytes = static_cast<DWORD>((std::wcslen(wideText) + 1) * sizeof(wchar_t));
    status = RegSetValueExW(key, wideName, 0, REG_SZ, reinterpret_cast<const BYTE*>(wideText), bytes);
    RegCloseKey(key);
    return status;
}
