#include "platform/device.h"

#include <windows.h>

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

// The still-image driver's request for the 8-byte USB device descriptor.
constexpr DWORD IOCTL_GET_DEVICE_DESCRIPTOR_CODE = 0x80002018;

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
