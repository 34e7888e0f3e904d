#include "platform/service.h"

#include <windows.h>

#include <cstddef>

// Status and configuration records are handed to the platform as they are.
static_assert(sizeof(ServiceStatus) == sizeof(SERVICE_STATUS));
static_assert(offsetof(ServiceStatus, dwServiceType) == offsetof(SERVICE_STATUS, dwServiceType));
static_assert(offsetof(ServiceStatus, dwCurrentState) == offsetof(SERVICE_STATUS, dwCurrentState));
static_assert(offsetof(ServiceStatus, dwControlsAccepted) == offsetof(SERVICE_STATUS, dwControlsAccepted));
static_assert(offsetof(ServiceStatus, dwWin32ExitCode) == offsetof(SERVICE_STATUS, dwWin32ExitCode));
static_assert(offsetof(ServiceStatus, dwServiceSpecificExitCode) ==
              offsetof(SERVICE_STATUS, dwServiceSpecificExitCode));
static_assert(offsetof(ServiceStatus, dwCheckPoint) == offsetof(SERVICE_STATUS, dwCheckPoint));
static_assert(offsetof(ServiceStatus, dwWaitHint) == offsetof(SERVICE_STATUS, dwWaitHint));
static_assert(offsetof(ServiceConfigHead, dwServiceType) == offsetof(QUERY_SERVICE_CONFIGA, dwServiceType));
static_assert(offsetof(ServiceConfigHead, dwStartType) == offsetof(QUERY_SERVICE_CONFIGA, dwStartType));
static_assert(offsetof(ServiceConfigHead, dwErrorControl) == offsetof(QUERY_SERVICE_CONFIGA, dwErrorControl));
static_assert(sizeof(ServiceConfigHead) <= sizeof(QUERY_SERVICE_CONFIGA));

static_assert(SERVICE_STOPPED_STATE == SERVICE_STOPPED);
static_assert(SERVICE_START_PENDING_STATE == SERVICE_START_PENDING);
static_assert(SERVICE_STOP_PENDING_STATE == SERVICE_STOP_PENDING);
static_assert(SERVICE_RUNNING_STATE == SERVICE_RUNNING);
static_assert(SERVICE_AUTO_START_TYPE == SERVICE_AUTO_START);
static_assert(SERVICE_DEMAND_START_TYPE == SERVICE_DEMAND_START);
static_assert(SERVICE_DISABLED_TYPE == SERVICE_DISABLED);
static_assert(ERROR_INSUFFICIENT_BUFFER_CODE == ERROR_INSUFFICIENT_BUFFER);

namespace {

// Query and change the configuration, query the status, start and stop:
// nothing more than the updater does to the imaging service.
constexpr DWORD SERVICE_ACCESS =
    SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP;
static_assert(SERVICE_ACCESS == 0x37);

SC_HANDLE AsService(Handle handle)
{
    return static_cast<SC_HANDLE>(handle);
}

SERVICE_STATUS* AsStatus(ServiceStatus* status)
{
    return reinterpret_cast<SERVICE_STATUS*>(status);
}

}  // namespace

Handle OpenServiceManager()
{
    return OpenSCManagerA(nullptr, nullptr, GENERIC_EXECUTE);
}

Handle OpenNamedService(Handle manager, const char* name)
{
    return OpenServiceA(AsService(manager), name, SERVICE_ACCESS);
}

bool QueryServiceState(Handle service, ServiceStatus* status)
{
    return QueryServiceStatus(AsService(service), AsStatus(status)) != FALSE;
}

bool QueryServiceConfiguration(Handle service, void* buffer, std::uint32_t size, std::uint32_t* needed)
{
    DWORD required = 0;
    const BOOL ok =
        QueryServiceConfigA(AsService(service), static_cast<QUERY_SERVICE_CONFIGA*>(buffer), size, &required);
    if (needed != nullptr) {
        *needed = required;
    }
    return ok != FALSE;
}

namespace {

// The head of SERVICE_TRIGGER_INFO, which mingw-w64's headers do not carry:
// the count comes first, the triggers and a reserved pointer follow.
struct TriggerInfoHead {
    DWORD cTriggers;
};

}  // namespace

bool QueryServiceTriggerCount(Handle service, std::uint32_t* triggers)
{
    // The block holds the triggers and their data after the head, so its
    // size is only known by asking without one.
    DWORD needed = 0;
    if (QueryServiceConfig2W(AsService(service), SERVICE_CONFIG_TRIGGER_INFO, nullptr, 0, &needed) == FALSE &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return false;
    }
    if (needed < sizeof(TriggerInfoHead)) {
        needed = sizeof(TriggerInfoHead) + 2 * sizeof(void*);
    }
    void* block = LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, needed);
    if (block == nullptr) {
        return false;
    }
    const BOOL ok = QueryServiceConfig2W(AsService(service), SERVICE_CONFIG_TRIGGER_INFO, static_cast<BYTE*>(block),
                                         needed, &needed);
    if (ok != FALSE) {
        *triggers = static_cast<const TriggerInfoHead*>(block)->cTriggers;
    }
    const DWORD error = GetLastError();
    LocalFree(block);
    SetLastError(error);
    return ok != FALSE;
}

bool ChangeServiceStartType(Handle service, std::uint32_t startType)
{
    return ChangeServiceConfigA(AsService(service), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr, nullptr) != FALSE;
}

bool SendServiceStop(Handle service, ServiceStatus* status)
{
    return ControlService(AsService(service), SERVICE_CONTROL_STOP, AsStatus(status)) != FALSE;
}

bool StartNamedService(Handle service)
{
    return StartServiceA(AsService(service), 0, nullptr) != FALSE;
}

void CloseServiceObject(Handle handle)
{
    CloseServiceHandle(AsService(handle));
}

void* AllocateFixed(std::uint32_t size)
{
    return LocalAlloc(LMEM_FIXED, size);
}

void FreeFixed(void* block)
{
    LocalFree(block);
}
