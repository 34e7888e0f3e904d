// Finding the scanner among the still-image driver's numbered device paths.
#pragma once
#include "platform/device.h"
#include "platform/handle.h"
#include <cstdint>

constexpr int USBSCAN_PATH_COUNT = 256;

// Searches \\.\usbscan0 .. \\.\usbscan255. On a match: DeviceHandle open on
// it, DevicePath set, *found the scanner's descriptor, MSG_DEVICE_FOUND
// printed, true. Otherwise MSG_DEVICE_NOT_FOUND and false. What the run
// makes of the descriptor is the application's rule, not the search's.
bool FindScanner(DeviceDescriptor* found);

// The silent search: an open handle on the scanner (DevicePath follows), or
// NO_HANDLE. DeviceHandle is left to the caller.
Handle RediscoverScanner();

// One presence check that also reconnects: the old DeviceHandle is closed
// (it belongs to a device that left or restarted, and nothing uses it again,
// so a scanner that keeps failing leaves no handles behind) and the silent
// search's result replaces it. True when the scanner was found. The one
// place after discovery that writes DeviceHandle.
bool ReconnectScanner();
// Whether DeviceHandle still reaches the scanner. A handle outlives the
// device's stay on the bus: once the scanner has left, even if it came back
// since, its old handle answers nothing, so this tells a scanner that never
// left from one that left and returned unseen.
bool ScannerHandleAlive();
