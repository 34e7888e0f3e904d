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
std::atomic<bool> ImagingServiceStartOwed{true};
std::atomic<bool> ImageInFlight{false};
std::atomic<bool> ImageWriteUnderWay{false};
bool ImageWriteBegun = false;
bool ScannerSeenInRecovery = false;
std::shared_ptr<void> RunJournal;
std::atomic<std::uint32_t> CloseTimeLimitMs{5000};
std::atomic<std::uint32_t> SessionEndTimeLimitMs{5000};
Handle UtilityMutex = INVALID_HANDLE;

void ResetProcessState()
{
    // The values a process starts with are the record's own defaults.
    LoadProcessValues(ProcessValues{});
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
    values.imagingServiceDebt = ImagingServiceDebt;
    values.imagingServiceStartTypeOwed = ImagingServiceStartTypeOwed;
    values.imagingServiceStartOwed = ImagingServiceStartOwed;
    values.imageInFlight = ImageInFlight;
    values.imageWriteUnderWay = ImageWriteUnderWay;
    values.imageWriteBegun = ImageWriteBegun;
    values.scannerSeenInRecovery = ScannerSeenInRecovery;
    values.runJournal = RunJournal;
    values.processEnding = ProcessEnding;
    values.closeTimeLimitMs = CloseTimeLimitMs;
    values.sessionEndTimeLimitMs = SessionEndTimeLimitMs;
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
    ImagingServiceDebt = values.imagingServiceDebt;
    ImagingServiceStartTypeOwed = values.imagingServiceStartTypeOwed;
    ImagingServiceStartOwed = values.imagingServiceStartOwed;
    ImageInFlight = values.imageInFlight;
    ImageWriteUnderWay = values.imageWriteUnderWay;
    ImageWriteBegun = values.imageWriteBegun;
    ScannerSeenInRecovery = values.scannerSeenInRecovery;
    RunJournal = values.runJournal;
    ProcessEnding = values.processEnding;
    CloseTimeLimitMs = values.closeTimeLimitMs;
    SessionEndTimeLimitMs = values.sessionEndTimeLimitMs;
}
