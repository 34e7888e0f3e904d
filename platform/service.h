// The Service Control Manager.
#pragma once
#include "platform/handle.h"
#include <cstdint>

// Twin of the platform's SERVICE_STATUS.
struct ServiceStatus {
    std::uint32_t dwServiceType;
    std::uint32_t dwCurrentState;
    std::uint32_t dwControlsAccepted;
    std::uint32_t dwWin32ExitCode;
    std::uint32_t dwServiceSpecificExitCode;
    std::uint32_t dwCheckPoint;
    std::uint32_t dwWaitHint;
};
static_assert(sizeof(ServiceStatus) == 28);

// The head of the platform's QUERY_SERVICE_CONFIGA block: the fields before
// its text pointers.
struct ServiceConfigHead {
    std::uint32_t dwServiceType;
    std::uint32_t dwStartType;
    std::uint32_t dwErrorControl;
};

constexpr std::uint32_t SERVICE_STOPPED_STATE = 1;
constexpr std::uint32_t SERVICE_START_PENDING_STATE = 2;
constexpr std::uint32_t SERVICE_STOP_PENDING_STATE = 3;
constexpr std::uint32_t SERVICE_RUNNING_STATE = 4;
constexpr std::uint32_t SERVICE_AUTO_START_TYPE = 2;
constexpr std::uint32_t SERVICE_DEMAND_START_TYPE = 3;
constexpr std::uint32_t SERVICE_DISABLED_TYPE = 4;
constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER_CODE = 122;

// OpenSCManagerA(NULL, NULL, GENERIC_EXECUTE). NO_HANDLE on failure.
Handle OpenServiceManager();
// OpenServiceA(manager, name, 0x37). NO_HANDLE on failure.
Handle OpenNamedService(Handle manager, const char* name);
// QueryServiceStatus.
bool QueryServiceState(Handle service, ServiceStatus* status);
// QueryServiceConfigA(service, buffer, size, needed): buffer may be null with
// size 0. The buffer, when given, receives a QUERY_SERVICE_CONFIGA block
// whose head is ServiceConfigHead.
bool QueryServiceConfiguration(Handle service, void* buffer, std::uint32_t size, std::uint32_t* needed);
// QueryServiceConfig2W(service, SERVICE_CONFIG_TRIGGER_INFO, ...): how many
// triggers may start or stop the service by themselves (a device's arrival,
// say). False, with the platform's error, when the count cannot be read.
bool QueryServiceTriggerCount(Handle service, std::uint32_t* triggers);
// ChangeServiceConfigA(service, SERVICE_NO_CHANGE, startType,
// SERVICE_NO_CHANGE, NULL, NULL, NULL, NULL, NULL, NULL, NULL).
bool ChangeServiceStartType(Handle service, std::uint32_t startType);
// ControlService(service, SERVICE_CONTROL_STOP, status).
bool SendServiceStop(Handle service, ServiceStatus* status);
// StartServiceA(service, 0, NULL).
bool StartNamedService(Handle service);
// CloseServiceHandle.
void CloseServiceObject(Handle handle);

// LocalAlloc(LMEM_FIXED, size) / LocalFree.
void* AllocateFixed(std::uint32_t size);
void FreeFixed(void* block);

// The names the service manager's own tools (sc query) print for a state
// and a start type.
inline const char* ServiceStateName(std::uint32_t state)
{
    constexpr const char* NAMES[] = {"UNKNOWN", "STOPPED",          "START_PENDING", "STOP_PENDING",
                                     "RUNNING", "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED"};
    return state < sizeof NAMES / sizeof NAMES[0] ? NAMES[state] : "UNKNOWN";
}

inline const char* ServiceStartTypeName(std::uint32_t startType)
{
    constexpr const char* NAMES[] = {"BOOT_START", "SYSTEM_START", "AUTO_START", "DEMAND_START", "DISABLED"};
    return startType < sizeof NAMES / sizeof NAMES[0] ? NAMES[startType] : "UNKNOWN";
}
