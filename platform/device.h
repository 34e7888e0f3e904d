// The still-image USB driver's device paths and bulk transfers.
#pragma once
#include "platform/handle.h"
#include <cstdint>

// The driver's 8-byte DEVICE_DESCRIPTOR.
struct DeviceDescriptor {
    std::uint16_t usVendorId;
    std::uint16_t usProductId;
    std::uint16_t usBcdDevice;
    std::uint16_t usLanguageId;
};
static_assert(sizeof(DeviceDescriptor) == 8);

// Layout twin of the platform's OVERLAPPED (x86_64): offsets and size match
// field for field, so the Windows build hands it to the platform as is.
struct TransferOverlapped {
    std::uintptr_t Internal;
    std::uintptr_t InternalHigh;
    std::uint32_t Offset;
    std::uint32_t OffsetHigh;
    Handle hEvent;
};

// CreateFileA(path, GENERIC_READ|GENERIC_WRITE, FILE_SHARE_READ|
// FILE_SHARE_WRITE, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_SYSTEM, NULL).
// Returns INVALID_HANDLE when the path cannot be opened.
Handle OpenDevicePath(const char* path);

// DeviceIoControl(device, IOCTL_GET_DEVICE_DESCRIPTOR, descriptor, 8,
// descriptor, 8, returned, NULL). Nonzero on success.
bool RequestDeviceDescriptor(Handle device, DeviceDescriptor* descriptor, std::uint32_t* returned);

// The driver's USBSCAN_TIMEOUT: how long, in seconds, it holds a bulk read,
// a bulk write or an event wait on one handle before it gives the request
// up. 120 s on a handle nobody set; 0 holds it for ever; 214 s at most.
struct TransferTimeouts {
    std::uint32_t TimeoutRead;
    std::uint32_t TimeoutWrite;
    std::uint32_t TimeoutEvent;
};
static_assert(sizeof(TransferTimeouts) == 12);

// DeviceIoControl(device, IOCTL_SET_TIMEOUT, timeouts, 12, NULL, 0,
// returned, NULL). Nonzero on success.
bool SetTransferTimeouts(Handle device, const TransferTimeouts* timeouts);

// The driver's PIPE_TYPE for the bulk pipes.
enum class BulkPipe : std::uint32_t { ReadData = 1, WriteData = 2 };

// DeviceIoControl(device, IOCTL_RESET_PIPE, &pipe, 4, NULL, 0, returned,
// NULL): clears a halt (the device stalled) on that pipe, which otherwise
// fails every later transfer on it. Nonzero on success.
bool ResetBulkPipe(Handle device, BulkPipe pipe);

// CreateEventA(NULL, FALSE, FALSE, NULL): auto-reset, not signalled,
// unnamed. NO_HANDLE on failure. Released with CloseObject.
Handle CreateCompletionEvent();

// WriteFile / ReadFile on the device with the OVERLAPPED. Nonzero when the
// call succeeded; *transferred receives the count the call reports.
bool WriteDevice(Handle device, const void* data, std::uint32_t size, std::uint32_t* transferred,
                 TransferOverlapped* overlapped);
bool ReadDevice(Handle device, void* data, std::uint32_t size, std::uint32_t* transferred,
                TransferOverlapped* overlapped);

// WaitForSingleObject(event, milliseconds) == WAIT_OBJECT_0.
bool WaitForCompletion(Handle event, std::uint32_t milliseconds);

// GetOverlappedResult(device, overlapped, transferred, TRUE). Nonzero on
// success.
bool FetchTransferResult(Handle device, TransferOverlapped* overlapped, std::uint32_t* transferred);
