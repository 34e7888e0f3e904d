#include "platform/device.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/sim/device_link.h"
#include "platform/sim/error_codes.h"
#include "platform/sim/objects.h"
#include "scanner_model/usbpcap.h"

namespace {

constexpr std::uint16_t DEVICE_RELEASE = 0x0100;

const char PATH_PREFIX[] = "\\\\.\\usbscan";

// The still-image driver names its devices "\\.\usbscanN", N in decimal
// from 0 to 255 without leading zeros; anything else names nothing. Object
// names are case-insensitive on the platform, the number is not negotiable.
int ParseDevicePath(const char* path)
{
    if (path == nullptr) {
        return -1;
    }
    const std::size_t prefix = sizeof PATH_PREFIX - 1;
    const std::size_t length = std::strlen(path);
    if (length <= prefix || length > prefix + 3) {
        return -1;
    }
    if (!StartsWithIgnoringCase(path, PATH_PREFIX, prefix)) {
        return -1;
    }
    const char* digits = path + prefix;
    if (digits[0] == '0' && digits[1] != '\0') {
        return -1;
    }
    int number = 0;
    for (const char* digit = digits; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') {
            return -1;
        }
        number = number * 10 + (*digit - '0');
    }
    return number <= 255 ? number : -1;
}

DeviceLink& Link()
{
    SimWorld& world = World();
    return world.deviceLink != nullptr ? *world.deviceLink : ModelDeviceLink();
}

// The platform's error for a transfer the device did not take; 0 for one
// it took. A link answers with the five statuses DeviceAnswer lists; any
// other is taken for a failure rather than for bytes that moved.
std::uint32_t RefusalError(std::uint32_t status)
{
    switch (status) {
    case USBD_STATUS_SUCCESS_VALUE:
        return 0;
    case USBD_STATUS_DEVICE_GONE_VALUE:
        return ERROR_DEVICE_NOT_CONNECTED_CODE;
    case USBD_STATUS_NOT_SUPPORTED_VALUE:
        return ERROR_INVALID_FUNCTION_CODE;
    default:
        return ERROR_GEN_FAILURE_CODE;
    }
}

// A request the device never answers: the driver holds the call for the
// handle's time-out in that direction, then gives it up. A time-out of 0
// holds it for ever, and the process with it.
bool HoldUntilTimeOut(const SimObject& device, std::uint8_t direction, std::uint32_t* transferred)
{
    const std::uint32_t seconds =
        direction == SIM_DIR_WRITE ? device.timeouts.TimeoutWrite : device.timeouts.TimeoutRead;
    if (transferred) {
        *transferred = 0;
    }
    SimWorld& world = World();
    if (world.firstHeldAtMs == NEVER_MS) {
        world.firstHeldAtMs = world.nowMs;
    }
    if (seconds == 0) {
        RecordCall("Transfer never ends");
        world.EndProcess("hung");
    }
    RecordCall("Transfer timed out after ", seconds, " s");
    BlockInCall(std::min(seconds, 4000000u) * 1000);
    SetSimLastError(ERROR_SEM_TIMEOUT_CODE);
    return false;
}

// The handle is synchronous: a call returns only once its request is
// complete, so a transfer the device took returns its count with the
// outcome already in the OVERLAPPED for GetOverlappedResult and the event
// already set. One it did not take fails with nothing moved; one it never
// answers fails at the time-out.
bool FinishTransfer(const SimObject& device, std::uint8_t direction, const DeviceAnswer& answer,
                    std::uint32_t* transferred, TransferOverlapped* overlapped)
{
    if (answer.status == USBD_STATUS_CANCELED_VALUE) {
        return HoldUntilTimeOut(device, direction, transferred);
    }
    if (const std::uint32_t error = RefusalError(answer.status); error != 0) {
        if (transferred) {
            *transferred = 0;
        }
        SetSimLastError(error);
        return false;
    }
    if (transferred) {
        *transferred = answer.count;
    }
    if (overlapped) {
        overlapped->Internal = 0;
        overlapped->InternalHigh = answer.count;
        if (SimObject* event = FindSimObject(overlapped->hEvent, SimObjectKind::Event)) {
            event->signalled = true;
        }
    }
    return true;
}

// The device object behind a handle, or null with the last error set.
SimObject* OpenDevice(Handle device, std::uint32_t* transferred)
{
    SimObject* object = FindSimObject(device, SimObjectKind::Device);
    if (object == nullptr) {
        if (transferred) {
            *transferred = 0;
        }
        SetSimLastError(ERROR_INVALID_HANDLE_CODE);
    }
    return object;
}

}  // namespace

Handle OpenDevicePath(const char* path)
{
    SimWorld& world = World();
    ++world.deviceOpenAttempts;
    const char* shown = path ? path : "(null)";
    SimObject device;
    device.kind = SimObjectKind::Device;
    device.path = ParseDevicePath(path);
    if (!Link().Attach(device.path, &device)) {
        RecordCall("OpenDevicePath ", shown, " failed");
        SetSimLastError(ERROR_FILE_NOT_FOUND_CODE);
        return INVALID_HANDLE;
    }
    RecordCall("OpenDevicePath ", shown);
    ++world.deviceOpens;
    SetSimLastError(0);
    return NewSimObject(device);
}

bool RequestDeviceDescriptor(Handle device, DeviceDescriptor* descriptor, std::uint32_t* returned)
{
    const SimObject* object = OpenDevice(device, nullptr);
    if (object == nullptr) {
        return false;
    }
    RecordCall("GetDescriptor ", PATH_PREFIX, object->path);
    const DeviceAnswer answer = Link().Describe(*object);
    if (answer.status != USBD_STATUS_SUCCESS_VALUE) {
        SetSimLastError(answer.status == USBD_STATUS_DEVICE_GONE_VALUE ? ERROR_DEVICE_NOT_CONNECTED_CODE
                                                                       : ERROR_GEN_FAILURE_CODE);
        return false;
    }
    if (descriptor) {
        *descriptor = DeviceDescriptor{answer.vendorId, answer.productId, DEVICE_RELEASE, 0};
    }
    if (returned) {
        *returned = sizeof(DeviceDescriptor);
    }
    return true;
}

bool SetTransferTimeouts(Handle device, const TransferTimeouts* timeouts)
{
    SimWorld& world = World();
    SimObject* object = OpenDevice(device, nullptr);
    if (object == nullptr || timeouts == nullptr) {
        return false;
    }
    ++world.setTimeoutsCalls;
    if (world.setTimeouts.Applies(world.setTimeoutsCalls)) {
        RecordCall("SetTimeouts refused");
        SetSimLastError(world.setTimeouts.error);
        return false;
    }
    // Another maker's driver knows no such request.
    if (!object->scanner) {
        SetSimLastError(ERROR_INVALID_FUNCTION_CODE);
        return false;
    }
    RecordCall("SetTimeouts ", timeouts->TimeoutRead, " ", timeouts->TimeoutWrite, " ", timeouts->TimeoutEvent);
    object->timeouts = *timeouts;
    return true;
}

bool ResetBulkPipe(Handle device, BulkPipe pipe)
{
    const SimObject* object = OpenDevice(device, nullptr);
    if (object == nullptr) {
        return false;
    }
    const bool read = pipe == BulkPipe::ReadData;
    RecordCall("ResetPipe ", read ? "read" : "write");
    if (!object->scanner) {
        SetSimLastError(ERROR_INVALID_FUNCTION_CODE);
        return false;
    }
    Link().ResetPipe(*object, read ? SIM_DIR_READ : SIM_DIR_WRITE);
    return true;
}

Handle CreateCompletionEvent()
{
    SimWorld& world = World();
    ++world.eventCreateCalls;
    if (world.createEvent.Applies(world.eventCreateCalls)) {
        RecordCall("CreateEvent refused");
        SetSimLastError(world.createEvent.error);
        return NO_HANDLE;
    }
    ++world.eventsCreated;
    SimObject event;
    event.kind = SimObjectKind::Event;
    return NewSimObject(event);
}

bool WriteDevice(Handle device, const void* data, std::uint32_t size, std::uint32_t* transferred,
                 TransferOverlapped* overlapped)
{
    RecordCall("Write ", size);
    const SimObject* object = OpenDevice(device, transferred);
    if (object == nullptr) {
        return false;
    }
    // The object is copied: the device table may grow while the call waits.
    const SimObject held = *object;
    if (const std::uint32_t rate = World().bulkBytesPerMs; rate != 0 && held.scanner) {
        BlockInCall(size / rate);
    }
    const bool done = FinishTransfer(
        held, SIM_DIR_WRITE, Link().Write(held, static_cast<const std::uint8_t*>(data), size), transferred, overlapped);
    World().lastTransferEndMs = World().nowMs;
    return done;
}

bool ReadDevice(Handle device, void* data, std::uint32_t size, std::uint32_t* transferred,
                TransferOverlapped* overlapped)
{
    RecordCall("Read ", size);
    const SimObject* object = OpenDevice(device, transferred);
    if (object == nullptr) {
        return false;
    }
    const SimObject held = *object;
    const bool done = FinishTransfer(held, SIM_DIR_READ, Link().Read(held, static_cast<std::uint8_t*>(data), size),
                                     transferred, overlapped);
    World().lastTransferEndMs = World().nowMs;
    return done;
}

bool WaitForCompletion(Handle event, std::uint32_t milliseconds)
{
    SimObject* object = FindSimObject(event, SimObjectKind::Event);
    if (object == nullptr) {
        RecordCall("Wait failed");
        SetSimLastError(ERROR_INVALID_HANDLE_CODE);
        return false;
    }
    if (object->signalled) {
        object->signalled = false;  // auto-reset
        return true;
    }
    RecordCall("Wait timeout ", milliseconds);
    PassTime(milliseconds);
    return false;
}

bool FetchTransferResult(Handle device, TransferOverlapped* overlapped, std::uint32_t* transferred)
{
    if (FindSimObject(device, SimObjectKind::Device) == nullptr || overlapped == nullptr) {
        SetSimLastError(ERROR_INVALID_HANDLE_CODE);
        return false;
    }
    if (transferred) {
        *transferred = static_cast<std::uint32_t>(overlapped->InternalHigh);
    }
    if (overlapped->Internal != 0) {
        RecordCall("GetOverlappedResult failed");
        SetSimLastError(ERROR_GEN_FAILURE_CODE);
        return false;
    }
    return true;
}
