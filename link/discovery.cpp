#include "link/discovery.h"

#include <cstdio>
#include <cstring>

#include "common/print.h"
#include "common/shared.h"
#include "link/transfer.h"
#include "platform/device.h"

namespace {

// Room for any path the driver numbers; "\\.\usbscan255" needs 15 bytes.
constexpr int PATH_BUFFER_SIZE = 200;

// Opens device path `number` and asks for its descriptor. Keeps the handle
// open only when the device is our scanner; everything else is closed again
// before the search moves on, so probing leaves no handle behind. A device
// that cannot say what it is gets one message per probe: the user should
// learn that something on the bus misbehaves, but it must not stop the
// search.
Handle ProbePath(int number, char (&path)[PATH_BUFFER_SIZE], DeviceDescriptor* descriptor)
{
    std::snprintf(path, sizeof path, "\\\\.\\usbscan%d", number);
    Handle device = OpenDevicePath(path);
    if (!IsOpenHandle(device)) {
        return NO_HANDLE;
    }
    // The request reuses the record for input and output; a stale record
    // from the previous device must never decide for this one.
    std::memset(descriptor, 0, sizeof *descriptor);
    std::uint32_t returned = 0;
    if (!RequestDeviceDescriptor(device, descriptor, &returned)) {
        PrintMessage(MSG_GET_DESCRIPTOR_ERROR, Language);
        CloseObject(device);
        return NO_HANDLE;
    }
    if (descriptor->usVendorId != SCANNER_VENDOR_ID || descriptor->usProductId != SCANNER_PRODUCT_ID) {
        CloseObject(device);
        return NO_HANDLE;
    }
    // Every handle the run keeps gets the short time-outs, so that a
    // scanner that stops answering costs seconds a call, not the driver's
    // two minutes. A driver that refuses keeps its own; the transfers'
    // bounds in time still hold the run.
    SetCommandTimeouts(device);
    return device;
}

// Searches the paths in increasing order and stops at the first scanner, so
// of two scanners the lower number wins and higher paths are never touched.
Handle SearchPaths(DeviceDescriptor* descriptor)
{
    char path[PATH_BUFFER_SIZE] = {};
    for (int number = 0; number < USBSCAN_PATH_COUNT; ++number) {
        Handle device = ProbePath(number, path, descriptor);
        if (device != NO_HANDLE) {
            std::snprintf(DevicePath, DEVICE_PATH_SIZE, "%s", path);
            return device;
        }
    }
    return NO_HANDLE;
}

}  // namespace

bool FindScanner(DeviceDescriptor* found)
{
    DeviceHandle = NO_HANDLE;
    *found = {};
    Handle device = SearchPaths(found);
    if (device == NO_HANDLE) {
        // The last device probed is no scanner; its record must not be
        // mistaken for one.
        *found = {};
        PrintMessage(MSG_DEVICE_NOT_FOUND, Language);
        return false;
    }
    DeviceHandle = device;
    PrintMessage(MSG_DEVICE_FOUND, Language);
    return true;
}

bool ReconnectScanner()
{
    if (IsOpenHandle(DeviceHandle)) {
        CloseObject(DeviceHandle);
    }
    DeviceHandle = RediscoverScanner();
    return DeviceHandle != NO_HANDLE;
}

bool ScannerHandleAlive()
{
    if (!IsOpenHandle(DeviceHandle)) {
        return false;
    }
    DeviceDescriptor descriptor = {};
    std::uint32_t returned = 0;
    return RequestDeviceDescriptor(DeviceHandle, &descriptor, &returned) &&
           descriptor.usVendorId == SCANNER_VENDOR_ID && descriptor.usProductId == SCANNER_PRODUCT_ID;
}

Handle RediscoverScanner()
{
    // Silent about a missing scanner: callers poll while it power-cycles,
    // and a line per poll would bury the messages that matter.
    DeviceDescriptor descriptor = {};
    return SearchPaths(&descriptor);
}
