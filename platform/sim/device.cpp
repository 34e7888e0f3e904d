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
    for (const char* p = digits; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return -1;
        }
        number = number * 10 + (*p - '0');
    }
    return number <= 255 ? number : -1;
}

// The scanner's device object if the handle is one and the scanner has not
// left the bus since it was opened; sets the last error otherwise.
SimObject* LiveDevice(Handle device)
{
    SimObject* o = FindSimObject(device, SimObjectKind::Device);
    if (o == nullptr) {
        SetSimLastError(ERROR_INVALID_HANDLE_CODE);
        return nullptr;
    }
    if (o->scanner) {
        SimWorld& w = World();
        if (!w.model.Present(w.nowMs, nullptr) || w.model.Generation(w.nowMs) != o->generation) {
            SetSimLastError(ERROR_DEVICE_NOT_CONNECTED_CODE);
            return nullptr;
        }
    }
    return o;
}

bool FinishTransfer(const ScannerTransfer& t, std::uint32_t* transferred, TransferOverlapped* overlapped)
{
    if (!t.callOk) {
        if (transferred) {
            *transferred = 0;
        }
        SetSimLastError(ERROR_GEN_FAILURE_CODE);
        return false;
    }
    if (transferred) {
        *transferred = t.count;
    }
    if (overlapped) {
        // The outcome travels in the OVERLAPPED, as the platform's does;
        // GetOverlappedResult reads it from there.
        overlapped->Internal = t.resultOk ? 0 : STATUS_UNSUCCESSFUL_VALUE;
        overlapped->InternalHigh = t.count;
        if (SimObject* event = FindSimObject(overlapped->hEvent, SimObjectKind::Event)) {
            event->signalled = t.signalled;
        }
    }
    return true;
}

}  // namespace

Handle OpenDevicePath(const char* path)
{
    SimWorld& w = World();
    ++w.deviceOpenAttempts;
    const int number = ParseDevicePath(path);
    if (g_wireReplay) {
        return g_wireReplay->Open(number);
    }
    const char* shown = path ? path : "(null)";
    SimObject device;
    device.kind = SimObjectKind::Device;
    device.path = number;
    int32_t scannerPath = -1;
    if (number >= 0 && w.model.Present(w.nowMs, &scannerPath) && scannerPath == number) {
        device.scanner = true;
        device.generation = w.model.Generation(w.nowMs);
    } else if (number >= 0) {
        for (std::size_t i = 0; i < w.foreignDevices.size(); ++i) {
            if (w.foreignDevices[i].path == number) {
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
    ++w.deviceOpens;
    SetSimLastError(0);
    return NewSimObject(device);
}

bool RequestDeviceDescriptor(Handle device, DeviceDescriptor* descriptor, std::uint32_t* returned)
{
    if (g_wireReplay) {
        return g_wireReplay->Descriptor(device, descriptor, returned);
    }
    SimWorld& w = World();
    SimObject* o = LiveDevice(device);
    if (o == nullptr) {
        if (g_wireTrace) {
            g_wireTrace->Descriptor(device, false, true, nullptr);
        }
        return false;
    }
    RecordCall("GetDescriptor ", PATH_PREFIX, o->path);
    std::uint16_t vendor = 0, product = 0;
    bool fails = false;
    if (o->scanner) {
        vendor = w.model.config.vendorId;
        product = w.model.config.productId;
        fails = w.model.config.descriptorFails || w.descriptorFailsOnScanner;
    } else {
        const SimForeignDevice& f = w.foreignDevices[static_cast<std::size_t>(o->foreign)];
        vendor = f.vendorId;
        product = f.productId;
        fails = f.descriptorFails;
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
    SimWorld& w = World();
    ++w.eventCreateCalls;
    if (w.createEvent.Applies(w.eventCreateCalls)) {
        RecordCall("CreateEvent refused");
        SetSimLastError(w.createEvent.error);
        return NO_HANDLE;
    }
    ++w.eventsCreated;
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
    SimObject* o = LiveDevice(device);
    if (o != nullptr && o->scanner) {
        return true;
    }
    if (transferred) {
        *transferred = 0;
    }
    if (o != nullptr) {
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
    SimWorld& w = World();
    RecordCall("Write ", size);
    if (!ReachesScanner(device, transferred)) {
        if (g_wireTrace) {
            g_wireTrace->Transfer(device, true, data, size, nullptr);
        }
        return false;
    }
    const ScannerTransfer t = w.model.Write(w.nowMs, static_cast<const std::uint8_t*>(data), size);
    if (g_wireTrace) {
        g_wireTrace->Transfer(device, true, data, size, &t);
    }
    return FinishTransfer(t, transferred, overlapped);
}

bool ReadDevice(Handle device, void* data, std::uint32_t size, std::uint32_t* transferred,
                TransferOverlapped* overlapped)
{
    if (g_wireReplay) {
        return g_wireReplay->Transfer(device, false, data, size, transferred, overlapped);
    }
    SimWorld& w = World();
    RecordCall("Read ", size);
    if (!ReachesScanner(device, transferred)) {
        if (g_wireTrace) {
            g_wireTrace->Transfer(device, false, data, size, nullptr);
        }
        return false;
    }
    const ScannerTransfer t = w.model.Read(w.nowMs, static_cast<std::uint8_t*>(data), size);
    if (g_wireTrace) {
        g_wireTrace->Transfer(device, false, data, size, &t);
    }
    return FinishTransfer(t, transferred, overlapped);
}

bool WaitForCompletion(Handle event, std::uint32_t milliseconds)
{
    SimObject* o = FindSimObject(event, SimObjectKind::Event);
    if (o == nullptr) {
        RecordCall("Wait failed");
        SetSimLastError(ERROR_INVALID_HANDLE_CODE);
        return false;
    }
    if (o->signalled) {
        o->signalled = false;  // auto-reset
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
