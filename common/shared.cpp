#include "common/shared.h"

#include <cstring>

std::uint16_t Language = 0;
std::int32_t UpdateMode = 0;
Handle DeviceHandle = NO_HANDLE;
char DevicePath[DEVICE_PATH_SIZE] = {};
char FriendlyName[FRIENDLY_NAME_SIZE] = {};
Handle ScannerMutex = INVALID_HANDLE;
Handle UpdaterMutex = INVALID_HANDLE;
std::atomic<bool> UpdateUnderWay{false};
std::atomic<bool> ProcessEnding{false};
std::atomic<ServiceDebt> ImagingServiceDebt{ServiceDebt::None};
std::atomic<std::uint32_t> ImagingServiceStartTypeOwed{0};
std::atomic<bool> ImageInFlight{false};
std::atomic<bool> ImageWriteUnderWay{false};
Handle UtilityMutex = INVALID_HANDLE;

void ResetProcessState()
{
    Language = 0;
    UpdateMode = 0;
    DeviceHandle = NO_HANDLE;
    std::memset(DevicePath, 0, sizeof DevicePath);
    std::memset(FriendlyName, 0, sizeof FriendlyName);
    ScannerMutex = INVALID_HANDLE;
    UtilityMutex = INVALID_HANDLE;
    UpdaterMutex = INVALID_HANDLE;
    UpdateUnderWay = false;
    ProcessEnding = false;
    ImagingServiceDebt = ServiceDebt::None;
    ImagingServiceStartTypeOwed = 0;
    ImageInFlight = false;
    ImageWriteUnderWay = false;
}
