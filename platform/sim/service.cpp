#include "platform/service.h"

#include <cstdlib>
#include <string>

#include "platform/sim/error_codes.h"
#include "platform/sim/objects.h"

namespace {

constexpr std::uint32_t SERVICE_WIN32_SHARE_PROCESS_TYPE = 0x20;
constexpr std::uint32_t SERVICE_ERROR_NORMAL_CONTROL = 1;
constexpr std::uint32_t SERVICE_ACCEPT_STOP_FLAG = 1;
const char SERVICE_NAME[] = "STISVC";

// QUERY_SERVICE_CONFIGA as the 64-bit platform lays it out: the head, then
// five text pointers and the tag; the texts follow the record in the same
// block, which is why the caller has to ask for the size first.
struct ServiceConfigBlock {
    ServiceConfigHead head;
    const char* lpBinaryPathName;
    const char* lpLoadOrderGroup;
    std::uint32_t dwTagId;
    const char* lpDependencies;
    const char* lpServiceStartName;
    const char* lpDisplayName;
};

const char BINARY_PATH[] = "C:\\windows\\system32\\svchost.exe -k imgsvc";
const char LOAD_ORDER_GROUP[] = "";
const char DEPENDENCIES[] = "RpcSs\0";  // a list: the extra zero ends it
const char START_NAME[] = "LocalSystem";
const char DISPLAY_NAME[] = "Windows Image Acquisition (WIA)";

constexpr std::uint32_t CONFIG_BLOCK_SIZE = sizeof(ServiceConfigBlock) + sizeof BINARY_PATH + sizeof LOAD_ORDER_GROUP +
                                            sizeof DEPENDENCIES + sizeof START_NAME + sizeof DISPLAY_NAME;

// Counts the call and, when its refusal covers it, fails it.
// The service manager waits this long for a service to answer a control or
// to start before the call fails with ERROR_SERVICE_REQUEST_TIMEOUT.
constexpr std::uint32_t SERVICE_REQUEST_LIMIT_MS = 30000;

// A refusal that is the manager's time-out comes only after its wait.
bool Refused(const SimRefusal& refusal, std::uint32_t& counter)
{
    ++counter;
    if (!refusal.Applies(counter)) {
        return false;
    }
    if (refusal.error == ERROR_SERVICE_REQUEST_TIMEOUT_CODE) {
        BlockInCall(SERVICE_REQUEST_LIMIT_MS);
    }
    SetSimLastError(refusal.error);
    return true;
}

// The call waits while the service takes `takesMs` to answer; one slower
// than the manager's limit fails the call at the limit, changing nothing.
bool AnsweredInTime(std::uint32_t takesMs)
{
    if (takesMs >= SERVICE_REQUEST_LIMIT_MS) {
        RecordCall("service did not answer in time");
        BlockInCall(SERVICE_REQUEST_LIMIT_MS);
        SetSimLastError(ERROR_SERVICE_REQUEST_TIMEOUT_CODE);
        return false;
    }
    BlockInCall(takesMs);
    return true;
}

SimObject* ServiceHandle(Handle service)
{
    SimObject* object = FindSimObject(service, SimObjectKind::Service);
    if (object == nullptr) {
        SetSimLastError(ERROR_INVALID_HANDLE_CODE);
    }
    return object;
}

void FillStatus(const SimWorld& world, ServiceStatus* status)
{
    const SimService& service = world.serviceNow;
    *status = ServiceStatus{};
    status->dwServiceType = SERVICE_WIN32_SHARE_PROCESS_TYPE;
    status->dwCurrentState = service.state;
    status->dwControlsAccepted = service.state == SERVICE_RUNNING_STATE ? service.runningControls : 0;
    if (service.state == SERVICE_START_PENDING_STATE) {
        status->dwWaitHint = service.startWaitHint;
    }
    if (service.state == SERVICE_STOP_PENDING_STATE) {
        status->dwWaitHint = service.stopWaitHint;
    }
}

char* Place(char*& cursor, const char* text, std::size_t size)
{
    char* at = cursor;
    for (std::size_t i = 0; i < size; ++i) {
        at[i] = text[i];
    }
    cursor += size;
    return at;
}

}  // namespace

Handle OpenServiceManager()
{
    SimWorld& world = World();
    RecordCall("OpenSCManager");
    if (Refused(world.service.openManager, world.serviceCalls.openManager)) {
        return NO_HANDLE;
    }
    // GENERIC_EXECUTE holds SC_MANAGER_LOCK, which the manager grants to
    // administrators only.
    if (!world.elevated) {
        SetSimLastError(ERROR_ACCESS_DENIED_CODE);
        return NO_HANDLE;
    }
    SimObject manager;
    manager.kind = SimObjectKind::ServiceManager;
    ++world.serviceHandlesOpen;
    return NewSimObject(manager);
}

Handle OpenNamedService(Handle manager, const char* name)
{
    SimWorld& world = World();
    RecordCall("OpenService ", name ? name : "(null)");
    if (FindSimObject(manager, SimObjectKind::ServiceManager) == nullptr) {
        SetSimLastError(ERROR_INVALID_HANDLE_CODE);
        return NO_HANDLE;
    }
    if (Refused(world.service.openService, world.serviceCalls.openService)) {
        return NO_HANDLE;
    }
    // Service names are case-insensitive on the platform.
    if (!world.serviceNow.installed || name == nullptr || !EqualIgnoringCase(name, SERVICE_NAME)) {
        SetSimLastError(ERROR_SERVICE_DOES_NOT_EXIST_CODE);
        return NO_HANDLE;
    }
    SimObject service;
    service.kind = SimObjectKind::Service;
    ++world.serviceHandlesOpen;
    return NewSimObject(service);
}

bool QueryServiceState(Handle service, ServiceStatus* status)
{
    SimWorld& world = World();
    RecordCall("QueryServiceStatus");
    if (ServiceHandle(service) == nullptr) {
        return false;
    }
    if (Refused(world.service.queryStatus, world.serviceCalls.queryStatus)) {
        return false;
    }
    if (status == nullptr) {
        SetSimLastError(ERROR_INVALID_PARAMETER_CODE);
        return false;
    }
    FillStatus(world, status);
    return true;
}

bool QueryServiceConfiguration(Handle service, void* buffer, std::uint32_t size, std::uint32_t* needed)
{
    SimWorld& world = World();
    RecordCall("QueryServiceConfig ", size);
    if (ServiceHandle(service) == nullptr) {
        return false;
    }
    if (Refused(world.service.queryConfig, world.serviceCalls.queryConfig)) {
        return false;
    }
    if (needed == nullptr) {
        SetSimLastError(ERROR_INVALID_PARAMETER_CODE);
        return false;
    }
    if (buffer == nullptr || size < CONFIG_BLOCK_SIZE) {
        *needed = CONFIG_BLOCK_SIZE;
        SetSimLastError(ERROR_INSUFFICIENT_BUFFER_CODE);
        return false;
    }
    auto* block = static_cast<ServiceConfigBlock*>(buffer);
    char* cursor = static_cast<char*>(buffer) + sizeof(ServiceConfigBlock);
    *block = ServiceConfigBlock{};
    block->head.dwServiceType = SERVICE_WIN32_SHARE_PROCESS_TYPE;
    block->head.dwStartType = world.serviceNow.startType;
    block->head.dwErrorControl = SERVICE_ERROR_NORMAL_CONTROL;
    block->lpBinaryPathName = Place(cursor, BINARY_PATH, sizeof BINARY_PATH);
    block->lpLoadOrderGroup = Place(cursor, LOAD_ORDER_GROUP, sizeof LOAD_ORDER_GROUP);
    block->lpDependencies = Place(cursor, DEPENDENCIES, sizeof DEPENDENCIES);
    block->lpServiceStartName = Place(cursor, START_NAME, sizeof START_NAME);
    block->lpDisplayName = Place(cursor, DISPLAY_NAME, sizeof DISPLAY_NAME);
    *needed = CONFIG_BLOCK_SIZE;
    return true;
}

bool QueryServiceTriggerCount(Handle service, std::uint32_t* triggers)
{
    SimWorld& world = World();
    RecordCall("QueryServiceConfig2 triggers");
    if (ServiceHandle(service) == nullptr) {
        return false;
    }
    if (Refused(world.service.queryTriggers, world.serviceCalls.queryTriggers)) {
        return false;
    }
    if (triggers == nullptr) {
        SetSimLastError(ERROR_INVALID_PARAMETER_CODE);
        return false;
    }
    *triggers = world.serviceNow.startTrigger ? 1 : 0;
    return true;
}

bool ChangeServiceStartType(Handle service, std::uint32_t startType)
{
    SimWorld& world = World();
    RecordCall("ChangeServiceConfig ", startType);
    if (ServiceHandle(service) == nullptr) {
        return false;
    }
    if (Refused(world.service.changeConfig, world.serviceCalls.changeConfig)) {
        return false;
    }
    // A program's service can be started automatically, on demand, or not
    // at all; boot and system starts belong to drivers.
    if (startType != SERVICE_AUTO_START_TYPE && startType != SERVICE_DEMAND_START_TYPE &&
        startType != SERVICE_DISABLED_TYPE) {
        SetSimLastError(ERROR_INVALID_PARAMETER_CODE);
        return false;
    }
    if (world.serviceNow.startType != startType) {
        world.NoteHiveChange(SimHive::System);
    }
    world.serviceNow.startType = startType;
    return true;
}

namespace {

// From a shutdown on the service manager takes no control and starts
// nothing: both fail at once.
bool RefusedForShutdown(const SimWorld& world)
{
    if (!world.shutdownInProgress) {
        return false;
    }
    SetSimLastError(ERROR_SHUTDOWN_IN_PROGRESS_CODE);
    return true;
}

}  // namespace

bool SendServiceStop(Handle service, ServiceStatus* status)
{
    SimWorld& world = World();
    RecordCall("ControlService STOP");
    if (ServiceHandle(service) == nullptr) {
        return false;
    }
    if (RefusedForShutdown(world)) {
        return false;
    }
    if (Refused(world.service.control, world.serviceCalls.control)) {
        return false;
    }
    SimService& now = world.serviceNow;
    // The manager's own answers: a stopped service is not active, a pending
    // one cannot take a control now, a running one may not take a stop.
    if (now.state == SERVICE_STOPPED_STATE) {
        SetSimLastError(ERROR_SERVICE_NOT_ACTIVE_CODE);
        return false;
    }
    if (now.state != SERVICE_RUNNING_STATE) {
        SetSimLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL_CODE);
        return false;
    }
    if ((now.runningControls & SERVICE_ACCEPT_STOP_FLAG) == 0) {
        SetSimLastError(ERROR_INVALID_SERVICE_CONTROL_CODE);
        return false;
    }
    if (!AnsweredInTime(now.controlTakesMs)) {
        return false;
    }
    now.state = SERVICE_STOP_PENDING_STATE;
    world.servicePendingUntilMs = world.nowMs + now.stopPendingMs;
    // The answer shows the pending state even when it ends at once: the
    // service reports STOP_PENDING before it is gone.
    if (status) {
        FillStatus(world, status);
    }
    return true;
}

bool StartNamedService(Handle service)
{
    SimWorld& world = World();
    RecordCall("StartService");
    if (ServiceHandle(service) == nullptr) {
        return false;
    }
    if (RefusedForShutdown(world)) {
        return false;
    }
    if (Refused(world.service.start, world.serviceCalls.start)) {
        return false;
    }
    SimService& now = world.serviceNow;
    if (now.startType == SERVICE_DISABLED_TYPE) {
        SetSimLastError(ERROR_SERVICE_DISABLED_CODE);
        return false;
    }
    if (now.state != SERVICE_STOPPED_STATE) {
        SetSimLastError(ERROR_SERVICE_ALREADY_RUNNING_CODE);
        return false;
    }
    if (!AnsweredInTime(now.startTakesMs)) {
        return false;
    }
    now.state = SERVICE_START_PENDING_STATE;
    world.servicePendingUntilMs = world.nowMs + now.startPendingMs;
    return true;
}

void CloseServiceObject(Handle handle)
{
    SimWorld& world = World();
    SimObject* object = LookUpSimObject(handle);
    if (object == nullptr || !object->open ||
        (object->kind != SimObjectKind::ServiceManager && object->kind != SimObjectKind::Service)) {
        SetSimLastError(ERROR_INVALID_HANDLE_CODE);
        return;
    }
    RecordCall(object->kind == SimObjectKind::ServiceManager ? "CloseServiceHandle manager"
                                                             : "CloseServiceHandle service");
    object->open = false;
    --world.serviceHandlesOpen;
}

void* AllocateFixed(std::uint32_t size)
{
    SimWorld& world = World();
    ++world.fixedAllocationCalls;
    if (world.allocateFixed.Applies(world.fixedAllocationCalls)) {
        SetSimLastError(world.allocateFixed.error);
        return nullptr;
    }
    ++world.fixedAllocations;
    // Never a zero-byte request to malloc: a null there would read as a
    // refusal.
    return std::malloc(size == 0 ? 1 : size);
}

void FreeFixed(void* block)
{
    if (block == nullptr) {
        return;
    }
    ++World().fixedFrees;
    std::free(block);
}
