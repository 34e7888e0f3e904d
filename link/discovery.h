// Finding the scanner among the still-image driver's numbered device paths.
#pragma once
#include <cstdint>
#include "platform/handle.h"

constexpr int USBSCAN_PATH_COUNT = 256;

// Searches \\.\usbscan0 .. \\.\usbscan255. On a match: DeviceHandle open on
// it, DevicePath set, UpdateMode set from the descriptor, MSG_DEVICE_FOUND
// printed, true. Otherwise MSG_DEVICE_NOT_FOUND and false.
bool FindScanner();

// The silent search: an open handle on the scanner (DevicePath follows), or
// NO_HANDLE. DeviceHandle is left to the caller.
Handle RediscoverScanner();

// One presence check that also reconnects: the old DeviceHandle is closed
// (it belongs to a device that left or restarted, and nothing uses it again,
// so a scanner that keeps failing leaves no handles behind) and the silent
// search's result replaces it. True when the scanner was found. The one
// place after discovery that writes DeviceHandle.
bool ReconnectScanner();

// The run's mode that follows from a found device's IDs: 1 only for the
// model that needs a reboot prompt, 0 for every other.
std::int32_t ModeForDevice(std::uint16_t vendorId, std::uint16_t productId);
