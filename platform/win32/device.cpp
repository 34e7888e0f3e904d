#include "platform/device.h"

#include <windows.h>

#include <usbscan.h>

#include <cstddef>

// The transfer record travels to the platform as is, so it must be the
// platform's OVERLAPPED byte for byte.
static_assert(sizeof(TransferOverlapped) == sizeof(OVERLAPPED));
static_assert(offsetof(TransferOverlapped, Internal) == offsetof(OVERLAPPED, Internal));
static_assert(offsetof(TransferOverlapped, InternalHigh) == offsetof(OVERLAPPED, InternalHigh));
static_assert(offsetof(TransferOverlapped, Offset) == offsetof(OVERLAPPED, Offset));
static_assert(offsetof(TransferOverlapped, OffsetHigh) == offsetof(OVERLAPPED, OffsetHigh));
static_assert(offsetof(TransferOverlapped, hEvent) == offsetof(OVERLAPPED, hEvent));

namespace {

// The still-image driver's requests: the 8-byte USB device descriptor, a
// pipe's reset, the handle's time-outs.
constexpr DWORD IOCTL_GET_DEVICE_DESCRIPTOR_CODE = 0x80002018;
constexpr DWORD IOCTL_RESET_PIPE_CODE = 0x8000201C;
constexpr DWORD IOCTL_SET_TIMEOUT_CODE = 0x8000202C;
// usbscan.h builds the codes from the int 0x8000 shifted into the sign bit.
static_assert(IOCTL_GET_DEVICE_DESCRIPTOR_CODE == static_cast<DWORD>(IOCTL_GET_DEVICE_DESCRIPTOR));
static_assert(IOCTL_RESET_PIPE_CODE == static_cast<DWORD>(IOCTL_RESET_PIPE));
static_assert(IOCTL_SET_TIMEOUT_CODE == static_cast<DWORD>(IOCTL_SET_TIMEOUT));
static_assert(sizeof(TransferTimeouts) == sizeof(USBSCAN_TIMEOUT));
static_assert(offsetof(TransferTimeouts, TimeoutRead) == offsetof(USBSCAN_TIMEOUT, TimeoutRead));
static_assert(offsetof(TransferTimeouts, TimeoutWrite) == offsetof(USBSCAN_TIMEOUT, TimeoutWrite));
static_assert(offsetof(TransferTimeouts, TimeoutEvent) == offsetof(USBSCAN_TIMEOUT, TimeoutEvent));
static_assert(static_cast<DWORD>(BulkPipe::ReadData) == READ_DATA_PIPE);
static_assert(static_cast<DWORD>(BulkPipe::WriteData) == WRITE_DATA_PIPE);

OVERLAPPED* AsOverlapped(TransferOverlapped* overlapped)
{
    return reinterpret_cast<OVERLAPPED*>(overlapped);
}

}  // namespace

Handle OpenDevicePath(const char* path)
{
    // Synchronous on purpose (no FILE_FLAG_OVERLAPPED): a transfer call
    // returns only once the driver has finished it.
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_SYSTEM, nullptr);
}

bool RequestDeviceDescriptor(Handle device, DeviceDescriptor* descriptor, std::uint32_t* returned)
{
    DWORD count = 0;
    const BOOL ok = DeviceIoControl(device, IOCTL_GET_DEVICE_DESCRIPTOR_CODE, descriptor, sizeof(DeviceDescriptor),
                                    descriptor, sizeof(DeviceDescriptor), &count, nullptr);
    if (returned != nullptr) {
        *returned = count;
    }
    return ok != FALSE;
}

bool SetTransferTimeouts(Handle device, const TransferTimeouts* timeouts)
{
    USBSCAN_TIMEOUT request{timeouts->TimeoutRead, timeouts->TimeoutWrite, timeouts->TimeoutEvent};
    DWORD count = 0;
    return DeviceIoControl(device, IOCTL_SET_TIMEOUT_CODE, &request, sizeof request, nullptr, 0, &count, nullptr) !=
           FALSE;
}

bool ResetBulkPipe(Handle device, BulkPipe pipe)
{
    PIPE_TYPE type = pipe == BulkPipe::ReadData ? READ_DATA_PIPE : WRITE_DATA_PIPE;
    DWORD count = 0;
    return DeviceIoControl(device, IOCTL_RESET_PIPE_CODE, &type, sizeof type, nullptr, 0, &count, nullptr) != FALSE;
}

Handle CreateCompletionEvent()
{
    return CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

bool WriteDevice(Handle device, const void* data, std::uint32_t size, std::uint32_t* transferred,
                 TransferOverlapped* overlapped)
{
    DWORD count = 0;
    const BOOL ok = WriteFile(device, data, size, &count, AsOverlapped(overlapped));
    if (transferred != nullptr) {
        *transferred = count;
    }
    return ok != FALSE;
}

bool ReadDevice(Handle device, void* data, std::uint32_t size, std::uint32_t* transferred,
                TransferOverlapped* overlapped)
{
    DWORD count = 0;
    const BOOL ok = ReadFile(device, data, size, &count, AsOverlapped(overlapped));
    if (transferred != nullptr) {
        *transferred = count;
    }
    return ok != FALSE;
}

bool WaitForCompletion(Handle event, std::uint32_t milliseconds)
{
    return WaitForSingleObject(event, milliseconds) == WAIT_OBJECT_0;
}

bool FetchTransferResult(Handle device, TransferOverlapped* overlapped, std::uint32_t* transferred)
{
    DWORD count = 0;
    const BOOL ok = GetOverlappedResult(device, AsOverlapped(overlapped), &count, TRUE);
    if (transferred != nullptr) {
        *transferred = count;
    }
    return ok != FALSE;
}
