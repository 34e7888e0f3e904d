#include "platform/device.h"

#include <cstring>
#include <string>

#include "platform/sim/error_codes.h"
#include "platform/sim/objects.h"
#include "platform/sim/wire_replay.h"
#include "platform/sim/wire_trace.h"

namespace {

// What GetOverlappedResult finds in Internal after a failed transfer.
constexpr std::uintptr_t STATUS_UNSUCCESSFUL_VALUE = 0xC0000001u;
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

// The scanner's device object if the handle is one and the scanner has not
// left the bus since it was opened; sets the last error otherwise.
SimObject* LiveDevice(Handle device)
{
    SimObject* object = FindSimObject(device, SimObjectKind::Device);
    if (object == nullptr) {
        SetSimLastError(ERROR_INVALID_HANDLE_CODE);
        return nullptr;
    }
    if (object->scanner) {
        SimWorld& world = World();
        if (!world.model.Present(world.nowMs, nullptr) || world.model.Generation(world.nowMs) != object->generation) {
            SetSimLastError(ERROR_DEVICE_NOT_CONNECTED_CODE);
            return nullptr;
        }
    }
    return object;
}

bool FinishTransfer(const ScannerTransfer& transfer, std::uint32_t* transferred, TransferOverlapped* overlapped)
{
    if (!transfer.callOk) {
        if (transferred) {
            *transferred = 0;
        }
        SetSimLastError(ERROR_GEN_FAILURE_CODE);
        return false;
    }
    if (transferred) {
        *transferred = transfer.count;
    }
    if (overlapped) {
        // The outcome travels in the OVERLAPPED, as the platform's does;
        // GetOverlappedResult reads it from there.
        overlapped->Internal = transfer.resultOk ? 0 : STATUS_UNSUCCESSFUL_VALUE;
        overlapped->InternalHigh = transfer.count;
        if (SimObject* event = FindSimObject(overlapped->hEvent, SimObjectKind::Event)) {
            event->signalled = transfer.signalled;
        }
    }
    return true;
}

}  // namespace

Handle OpenDevicePath(const char* path)
{
    SimWorld& world = World();
    ++world.deviceOpenAttempts;
    const int number = ParseDevicePath(path);
    if (g_wireReplay) {
        return g_wireReplay->Open(number);
    }
    const char* shown = path ? path : "(null)";
    SimObject device;
    device.kind = SimObjectKind::Device;
    device.path = number;
    int32_t scannerPath = -1;
    if (number >= 0 && world.model.Present(world.nowMs, &scannerPath) && scannerPath == number) {
        device.scanner = true;
        device.generation = world.model.Generation(world.nowMs);
    } else if (number >= 0) {
        for (std::size_t i = 0; i < world.foreignDevices.size(); ++i) {
            if (world.foreignDevices[i].path == number) {
                device.foreign = static_cast<int>(i);
                break;
            }
        }
    }
    if (!device.scanner && device.foreign < 0) {
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
    if (g_wireReplay) {
        return g_wireReplay->Descriptor(device, descriptor, returned);
    }
    SimWorld& world = World();
    SimObject* object = LiveDevice(device);
    if (object == nullptr) {
        if (g_wireTrace) {
            g_wireTrace->Descriptor(device, false, true, nullptr);
        }
        return false;
    }
    RecordCall("GetDescriptor ", PATH_PREFIX, object->path);
    std::uint16_t vendor = 0, product = 0;
    bool fails = false;
    if (object->scanner) {
        vendor = world.model.config.vendorId;
        product = world.model.config.productId;
        fails = world.model.config.descriptorFails || world.descriptorFailsOnScanner;
    } else {
        const SimForeignDevice& foreign = world.foreignDevices[static_cast<std::size_t>(object->foreign)];
        vendor = foreign.vendorId;
        product = foreign.productId;
        fails = foreign.descriptorFails;
    }
    if (fails) {
        if (g_wireTrace) {
            g_wireTrace->Descriptor(device, false, false, nullptr);
        }
        SetSimLastError(ERROR_GEN_FAILURE_CODE);
        return false;
    }
    const DeviceDescriptor answer{vendor, product, DEVICE_RELEASE, 0};
    if (g_wireTrace) {
        g_wireTrace->Descriptor(device, true, false, &answer);
    }
    if (descriptor) {
        *descriptor = answer;
    }
    if (returned) {
        *returned = sizeof(DeviceDescriptor);
    }
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

namespace {

// Whether a transfer on `device` reaches the scanner: a live handle on it,
// not on another maker's device, whose protocol the scanner's commands mean
// nothing to. A transfer that does not fails with nothing moved.
bool ReachesScanner(Handle device, std::uint32_t* transferred)
{
    SimObject* object = LiveDevice(device);
    if (object != nullptr && object->scanner) {
        return true;
    }
    if (transferred) {
        *transferred = 0;
    }
    if (object != nullptr) {
        SetSimLastError(ERROR_INVALID_FUNCTION_CODE);
    }
    return false;
}

}  // namespace

bool WriteDevice(Handle device, const void* data, std::uint32_t size, std::uint32_t* transferred,
                 TransferOverlapped* overlapped)
{
    if (g_wireReplay) {
        return g_wireReplay->Transfer(device, true, const_cast<void*>(data), size, transferred, overlapped);
    }
    SimWorld& world = World();
    RecordCall("Write ", size);
    if (!ReachesScanner(device, transferred)) {
        if (g_wireTrace) {
            g_wireTrace->Transfer(device, true, data, size, nullptr);
        }
        return false;
    }
    const ScannerTransfer transfer = world.model.Write(world.nowMs, static_cast<const std::uint8_t*>(data), size);
    if (g_wireTrace) {
        g_wireTrace->Transfer(device, true, data, size, &transfer);
    }
    return FinishTransfer(transfer, transferred, overlapped);
}

bool ReadDevice(Handle device, void* data, std::uint32_t size, std::uint32_t* transferred,
                TransferOverlapped* overlapped)
{
    if (g_wireReplay) {
        return g_wireReplay->Transfer(device, false, data, size, transferred, overlapped);
    }
    SimWorld& world = World();
    RecordCall("Read ", size);
    if (!ReachesScanner(device, transferred)) {
        if (g_wireTrace) {
            g_wireTrace->Transfer(device, false, data, size, nullptr);
        }
        return false;
    }
    const ScannerTransfer transfer = world.model.Read(world.nowMs, static_cast<std::uint8_t*>(data), size);
    if (g_wireTrace) {
        g_wireTrace->Transfer(device, false, data, size, &transfer);
    }
    return FinishTransfer(transfer, transferred, overlapped);
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
