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
bool Refused(const SimRefusal& refusal, std::uint32_t& counter)
{
    ++counter;
    if (!refusal.Applies(counter)) {
        return false;
    }
    SetSimLastError(refusal.error);
    return true;
}

SimObject* ServiceHandle(Handle service)
{
    SimObject* o = FindSimObject(service, SimObjectKind::Service);
    if (o == nullptr) {
        SetSimLastError(ERROR_INVALID_HANDLE_CODE);
    }
    return o;
}

void FillStatus(const SimWorld& w, ServiceStatus* status)
{
    const SimService& s = w.serviceNow;
    *status = ServiceStatus{};
    status->dwServiceType = SERVICE_WIN32_SHARE_PROCESS_TYPE;
    status->dwCurrentState = s.state;
    status->dwControlsAccepted = s.state == SERVICE_RUNNING_STATE ? s.runningControls : 0;
    if (s.state == SERVICE_START_PENDING_STATE) {
        status->dwWaitHint = s.startWaitHint;
    }
    if (s.state == SERVICE_STOP_PENDING_STATE) {
        status->dwWaitHint = s.stopWaitHint;
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
    SimWorld& w = World();
    RecordCall("OpenSCManager");
    if (Refused(w.service.openManager, w.serviceCalls.openManager)) {
        return NO_HANDLE;
    }
    SimObject manager;
    manager.kind = SimObjectKind::ServiceManager;
    ++w.serviceHandlesOpen;
    return NewSimObject(manager);
}

Handle OpenNamedService(Handle manager, const char* name)
{
    SimWorld& w = World();
    RecordCall("OpenService ", name ? name : "(null)");
    if (FindSimObject(manager, SimObjectKind::ServiceManager) == nullptr) {
        SetSimLastError(ERROR_INVALID_HANDLE_CODE);
        return NO_HANDLE;
    }
    if (Refused(w.service.openService, w.serviceCalls.openService)) {
        return NO_HANDLE;
    }
    // Service names are case-insensitive on the platform.
    if (!w.serviceNow.installed || name == nullptr || !EqualIgnoringCase(name, SERVICE_NAME)) {
        SetSimLastError(ERROR_SERVICE_DOES_NOT_EXIST_CODE);
        return NO_HANDLE;
    }
    SimObject service;
    service.kind = SimObjectKind::Service;
    ++w.serviceHandlesOpen;
    return NewSimObject(service);
}

bool QueryServiceState(Handle service, ServiceStatus* status)
{
    SimWorld& w = World();
    RecordCall("QueryServiceStatus");
    if (ServiceHandle(service) == nullptr) {
        return false;
    }
    if (Refused(w.service.queryStatus, w.serviceCalls.queryStatus)) {
        return false;
    }
    if (status == nullptr) {
        SetSimLastError(ERROR_INVALID_PARAMETER_CODE);
        return false;
    }
    FillStatus(w, status);
    return true;
}

bool QueryServiceConfiguration(Handle service, void* buffer, std::uint32_t size, std::uint32_t* needed)
{
    SimWorld& w = World();
    RecordCall("QueryServiceConfig ", size);
    if (ServiceHandle(service) == nullptr) {
        return false;
    }
    if (Refused(w.service.queryConfig, w.serviceCalls.queryConfig)) {
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
    block->head.dwStartType = w.serviceNow.startType;
    block->head.dwErrorControl = SERVICE_ERROR_NORMAL_CONTROL;
    block->lpBinaryPathName = Place(cursor, BINARY_PATH, sizeof BINARY_PATH);
    block->lpLoadOrderGroup = Place(cursor, LOAD_ORDER_GROUP, sizeof LOAD_ORDER_GROUP);
    block->lpDependencies = Place(cursor, DEPENDENCIES, sizeof DEPENDENCIES);
    block->lpServiceStartName = Place(cursor, START_NAME, sizeof START_NAME);
    block->lpDisplayName = Place(cursor, DISPLAY_NAME, sizeof DISPLAY_NAME);
    *needed = CONFIG_BLOCK_SIZE;
    return true;
}

bool ChangeServiceStartType(Handle service, std::uint32_t startType)
{
    SimWorld& w = World();
    RecordCall("ChangeServiceConfig ", startType);
    if (ServiceHandle(service) == nullptr) {
        return false;
    }
    if (Refused(w.service.changeConfig, w.serviceCalls.changeConfig)) {
        return false;
    }
    // A program's service can be started automatically, on demand, or not
    // at all; boot and system starts belong to drivers.
    if (startType != SERVICE_AUTO_START_TYPE && startType != SERVICE_DEMAND_START_TYPE &&
        startType != SERVICE_DISABLED_TYPE) {
        SetSimLastError(ERROR_INVALID_PARAMETER_CODE);
        return false;
    }
    w.serviceNow.startType = startType;
    return true;
}

bool SendServiceStop(Handle service, ServiceStatus* status)
{
    SimWorld& w = World();
    RecordCall("ControlService STOP");
    if (ServiceHandle(service) == nullptr) {
        return false;
    }
    if (Refused(w.service.control, w.serviceCalls.control)) {
        return false;
    }
    SimService& s = w.serviceNow;
    if (s.state != SERVICE_RUNNING_STATE || (s.runningControls & SERVICE_ACCEPT_STOP_FLAG) == 0) {
        SetSimLastError(ERROR_INVALID_SERVICE_CONTROL_CODE);
        return false;
    }
    s.state = SERVICE_STOP_PENDING_STATE;
    w.servicePendingUntilMs = w.nowMs + s.stopPendingMs;
    // The answer shows the pending state even when it ends at once: the
    // service reports STOP_PENDING before it is gone.
    if (status) {
        FillStatus(w, status);
    }
    return true;
}

bool StartNamedService(Handle service)
{
    SimWorld& w = World();
    RecordCall("StartService");
    if (ServiceHandle(service) == nullptr) {
        return false;
    }
    if (Refused(w.service.start, w.serviceCalls.start)) {
        return false;
    }
    SimService& s = w.serviceNow;
    if (s.startType == SERVICE_DISABLED_TYPE) {
        SetSimLastError(ERROR_SERVICE_DISABLED_CODE);
        return false;
    }
    if (s.state != SERVICE_STOPPED_STATE) {
        SetSimLastError(ERROR_SERVICE_ALREADY_RUNNING_CODE);
        return false;
    }
    s.state = SERVICE_START_PENDING_STATE;
    w.servicePendingUntilMs = w.nowMs + s.startPendingMs;
    return true;
}

void CloseServiceObject(Handle handle)
{
    SimWorld& w = World();
    SimObject* o = LookUpSimObject(handle);
    if (o == nullptr || !o->open || (o->kind != SimObjectKind::ServiceManager && o->kind != SimObjectKind::Service)) {
        SetSimLastError(ERROR_INVALID_HANDLE_CODE);
        return;
    }
    RecordCall(o->kind == SimObjectKind::ServiceManager ? "CloseServiceHandle manager" : "CloseServiceHandle service");
    o->open = false;
    --w.serviceHandlesOpen;
}

void* AllocateFixed(std::uint32_t size)
{
    SimWorld& w = World();
    ++w.fixedAllocationCalls;
    if (w.allocateFixed.Applies(w.fixedAllocationCalls)) {
        SetSimLastError(w.allocateFixed.error);
        return nullptr;
    }
    ++w.fixedAllocations;
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
