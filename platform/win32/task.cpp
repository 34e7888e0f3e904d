#include "platform/task.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

// clang-format off
#include <windows.h>
#include <initguid.h>
#include <objbase.h>
#include <sddl.h>
#include <shlobj.h>
#include <taskschd.h>
// clang-format on

namespace {

// The XML text of a task, in the code page's bytes before it is widened.
constexpr std::size_t TASK_XML_SIZE = 8192;
constexpr std::size_t ESCAPED_SIZE = 4 * PROGRAM_PATH_SIZE;
constexpr std::size_t WIDE_NAME_SIZE = 260;
constexpr std::uint64_t FILETIME_PER_SECOND = 10000000;

// Text for an XML element: the five characters XML reserves become
// entities. False when the result does not fit.
bool EscapeXml(const char* text, char* out, std::size_t size)
{
    std::size_t used = 0;
    for (; *text != '\0'; ++text) {
        const char* piece = nullptr;
        char single[2] = {*text, '\0'};
        switch (*text) {
        case '&':
            piece = "&amp;";
            break;
        case '<':
            piece = "&lt;";
            break;
        case '>':
            piece = "&gt;";
            break;
        case '"':
            piece = "&quot;";
            break;
        case '\'':
            piece = "&apos;";
            break;
        default:
            piece = single;
            break;
        }
        const std::size_t length = std::strlen(piece);
        if (used + length + 1 > size) {
            return false;
        }
        std::memcpy(out + used, piece, length);
        used += length;
    }
    out[used] = '\0';
    return true;
}

// A minute from now, in UTC, as the schema's dateTime.
void StartBoundary(char* out, std::size_t size)
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks{};
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    ticks.QuadPart += 60 * FILETIME_PER_SECOND;
    now.dwLowDateTime = ticks.LowPart;
    now.dwHighDateTime = ticks.HighPart;
    SYSTEMTIME utc{};
    FileTimeToSystemTime(&now, &utc);
    std::snprintf(out, size, "%04u-%02u-%02uT%02u:%02u:%02uZ", utc.wYear, utc.wMonth, utc.wDay, utc.wHour, utc.wMinute,
                  utc.wSecond);
}

// The task as the Task Scheduler schema has it: a start-up trigger and a
// time trigger, both repeated every minute for as long as the task exists;
// one instance at a time, on batteries too, ten minutes at most; SYSTEM.
// cmd.exe runs the program, and removes the folder only after it returned 0
// (`&&`): a program cannot delete the file it runs from.
bool TaskXml(const char* program, const char* argument, const char* folder, char* xml, std::size_t size)
{
    char system[MAX_PATH] = {};
    const UINT systemLength = GetSystemDirectoryA(system, sizeof system);
    if (systemLength == 0 || systemLength >= sizeof system) {
        return false;
    }
    char command[3 * PROGRAM_PATH_SIZE] = {};
    const int commandLength =
        std::snprintf(command, sizeof command, "/d /s /c \"\"%s\" %s && rd /s /q \"%s\"\"", program, argument, folder);
    char escaped[ESCAPED_SIZE] = {};
    char cmd[ESCAPED_SIZE] = {};
    char start[32] = {};
    StartBoundary(start, sizeof start);
    if (commandLength <= 0 || commandLength >= static_cast<int>(sizeof command) ||
        !EscapeXml(command, escaped, sizeof escaped) || !EscapeXml(system, cmd, sizeof cmd)) {
        return false;
    }
    const int length =
        std::snprintf(xml, size,
                      "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
                      "<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\n"
                      "<Triggers>\n"
                      "<BootTrigger><Repetition><Interval>PT1M</Interval></Repetition></BootTrigger>\n"
                      "<TimeTrigger><StartBoundary>%s</StartBoundary>"
                      "<Repetition><Interval>PT1M</Interval></Repetition></TimeTrigger>\n"
                      "</Triggers>\n"
                      "<Principals><Principal id=\"GiveBack\"><UserId>S-1-5-18</UserId>"
                      "<RunLevel>HighestAvailable</RunLevel></Principal></Principals>\n"
                      "<Settings><MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>"
                      "<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>"
                      "<StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>"
                      "<StartWhenAvailable>true</StartWhenAvailable>"
                      "<ExecutionTimeLimit>PT10M</ExecutionTimeLimit><Enabled>true</Enabled></Settings>\n"
                      "<Actions Context=\"GiveBack\"><Exec><Command>%s\\cmd.exe</Command>"
                      "<Arguments>%s</Arguments></Exec></Actions>\n"
                      "</Task>\n",
                      start, cmd, escaped);
    return length > 0 && length < static_cast<int>(size);
}

// The scheduler's root folder, reached through a connected ITaskService;
// COM is set up for the calling thread and taken down again with it.
class SchedulerRoot {
public:
    SchedulerRoot()
    {
        const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        m_uninitialize = SUCCEEDED(init);
        ITaskService* service = nullptr;
        if (FAILED(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                                    reinterpret_cast<void**>(&service)))) {
            return;
        }
        VARIANT empty{};
        VariantInit(&empty);
        BSTR root = SysAllocString(L"\\");
        if (root != nullptr && SUCCEEDED(service->Connect(empty, empty, empty, empty))) {
            service->GetFolder(root, &m_folder);
        }
        SysFreeString(root);
        service->Release();
    }
    ~SchedulerRoot()
    {
        if (m_folder != nullptr) {
            m_folder->Release();
        }
        if (m_uninitialize) {
            CoUninitialize();
        }
    }
    SchedulerRoot(const SchedulerRoot&) = delete;
    SchedulerRoot& operator=(const SchedulerRoot&) = delete;
    ITaskFolder* Folder() const { return m_folder; }

private:
    ITaskFolder* m_folder = nullptr;
    bool m_uninitialize = false;
};

// A task's name as the scheduler takes it; null when it does not convert.
BSTR WideName(const char* name)
{
    wchar_t wide[WIDE_NAME_SIZE] = {};
    if (name == nullptr || MultiByteToWideChar(CP_ACP, 0, name, -1, wide, WIDE_NAME_SIZE) == 0) {
        return nullptr;
    }
    return SysAllocString(wide);
}

}  // namespace

bool OwnProgramPath(char* path, std::uint32_t size)
{
    const DWORD length = GetModuleFileNameA(nullptr, path, size);
    return length > 0 && length < size;
}

bool ProgramFilesFolder(char* path, std::uint32_t size)
{
    char folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, folder))) {
        return false;
    }
    const int length = std::snprintf(path, size, "%s", folder);
    return length > 0 && static_cast<std::uint32_t>(length) < size;
}

bool CreateAdminOnlyFolder(const char* path)
{
    // Protected (no ACE inherited from the parent); Administrators and
    // SYSTEM full control, inherited by what is put inside.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return false;
    }
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
    const bool created = CreateDirectoryA(path, &attributes) != FALSE;
    LocalFree(descriptor);
    return created;
}

bool CopyProgramFile(const char* from, const char* to)
{
    return CopyFileA(from, to, TRUE) != FALSE;
}

bool RemoveProgramFolder(const char* folder, const char* file)
{
    if (!DeleteFileA(file) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        return false;
    }
    return RemoveDirectoryA(folder) != FALSE;
}

bool RegisterGiveBackTask(const char* name, const char* program, const char* argument, const char* folder)
{
    static char xml[TASK_XML_SIZE];
    static wchar_t wideXml[TASK_XML_SIZE];
    if (!TaskXml(program, argument, folder, xml, sizeof xml) ||
        MultiByteToWideChar(CP_ACP, 0, xml, -1, wideXml, TASK_XML_SIZE) == 0) {
        return false;
    }
    const SchedulerRoot root;
    BSTR path = WideName(name);
    BSTR text = SysAllocString(wideXml);
    bool registered = false;
    if (root.Folder() != nullptr && path != nullptr && text != nullptr) {
        VARIANT user{};
        VariantInit(&user);
        user.vt = VT_BSTR;
        user.bstrVal = SysAllocString(L"S-1-5-18");
        VARIANT empty{};
        VariantInit(&empty);
        IRegisteredTask* task = nullptr;
        // Only a whole registration counts: SCHED_S_SOME_TRIGGERS_FAILED is a
        // success code, and a task without its start-up or its repeating
        // trigger would miss the restart or the PC left on.
        registered = root.Folder()->RegisterTask(path, text, TASK_CREATE_OR_UPDATE, user, empty,
                                                 TASK_LOGON_SERVICE_ACCOUNT, empty, &task) == S_OK;
        if (task != nullptr) {
            task->Release();
        }
        VariantClear(&user);
    }
    SysFreeString(text);
    SysFreeString(path);
    return registered;
}

bool DeleteScheduledTask(const char* name)
{
    const SchedulerRoot root;
    BSTR path = WideName(name);
    bool gone = false;
    if (root.Folder() != nullptr && path != nullptr) {
        const HRESULT result = root.Folder()->DeleteTask(path, 0);
        gone = SUCCEEDED(result) || result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    SysFreeString(path);
    return gone;
}

bool ScheduledTaskExists(const char* name)
{
    const SchedulerRoot root;
    BSTR path = WideName(name);
    bool exists = false;
    if (root.Folder() != nullptr && path != nullptr) {
        IRegisteredTask* task = nullptr;
        exists = SUCCEEDED(root.Folder()->GetTask(path, &task));
        if (task != nullptr) {
            task->Release();
        }
    }
    SysFreeString(path);
    return exists;
}
