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
std::atomic<bool> ImagingServiceOwed{false};
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
    ImagingServiceOwed = false;
}

ProcessValues SaveProcessValues()
{
    ProcessValues values;
    values.language = Language;
    values.updateMode = UpdateMode;
    values.deviceHandle = DeviceHandle;
    std::memcpy(values.devicePath, DevicePath, sizeof DevicePath);
    std::memcpy(values.friendlyName, FriendlyName, sizeof FriendlyName);
    values.scannerMutex = ScannerMutex;
    values.utilityMutex = UtilityMutex;
    values.updaterMutex = UpdaterMutex;
    values.updateUnderWay = UpdateUnderWay;
    values.imagingServiceOwed = ImagingServiceOwed;
    values.processEnding = ProcessEnding;
    return values;
}

void LoadProcessValues(const ProcessValues& values)
{
    Language = values.language;
    UpdateMode = values.updateMode;
    DeviceHandle = values.deviceHandle;
    std::memcpy(DevicePath, values.devicePath, sizeof DevicePath);
    std::memcpy(FriendlyName, values.friendlyName, sizeof FriendlyName);
    ScannerMutex = values.scannerMutex;
    UtilityMutex = values.utilityMutex;
    UpdaterMutex = values.updaterMutex;
    UpdateUnderWay = values.updateUnderWay;
    ImagingServiceOwed = values.imagingServiceOwed;
    ProcessEnding = values.processEnding;
}
