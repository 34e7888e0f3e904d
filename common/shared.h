// Process-wide values of the one update run. Each is written by the stage
// named beside it and read by the stages after it; the update runs on one
// thread. The atomic values are also read by the console control
// handler, which the platform calls on a thread of its own.
#pragma once
#include "platform/handle.h"
#include <atomic>
#include <cstdint>
#include <memory>

constexpr std::uint16_t SCANNER_VENDOR_ID = 0x7A3C;
constexpr std::uint16_t SCANNER_PRODUCT_ID = 0x41B2;
constexpr std::uint16_t REBOOT_PROMPT_PRODUCT_ID = 0x39C1;
constexpr std::uint16_t FIRMWARE_RESOURCE_ID = 121;
// The image's SHA-256 as the build computed it: 32 raw bytes.
constexpr std::uint16_t FIRMWARE_DIGEST_RESOURCE_ID = 122;
constexpr int DEVICE_PATH_SIZE = 256;
constexpr int FRIENDLY_NAME_SIZE = 256;

// 0 English, 1 Traditional Chinese; chosen once at the start of the run.
extern std::uint16_t Language;
// Mode of the run; 1 adds the reboot prompt after a normal burn.
extern std::int32_t UpdateMode;
// The open handle on the scanner, NO_HANDLE or INVALID_HANDLE when none.
// Discovery sets it; reconnects replace it; nobody closes it.
extern Handle DeviceHandle;
// Path of the most recent discovery match.
extern char DevicePath[DEVICE_PATH_SIZE];
// The scanner's friendly name from the registry.
extern char FriendlyName[FRIENDLY_NAME_SIZE];
// The two guard mutexes; INVALID_HANDLE while none is held.
extern Handle ScannerMutex;
extern Handle UtilityMutex;
// The one-updater mutex; INVALID_HANDLE while not held.
extern Handle UpdaterMutex;
// True from the first thing the run changes beyond discovery until the
// imaging service is given back: Ctrl+C and Ctrl+Break are ignored then.
extern std::atomic<bool> UpdateUnderWay;
// What the run owes the imaging service (host/service_debt.h), as the
// main thread and the console control handler see it under the debt lock.
enum class ServiceDebt : std::uint8_t {
    None,            // nothing owed, or already given back
    Stopping,        // the record is written; the main thread is stopping it
    Owed,            // stopped and disabled; nobody is giving it back yet
    Returning,       // one thread is giving it back; the other keeps away
    LeftForNextRun,  // the record stays in place for the next run
};
extern std::atomic<ServiceDebt> ImagingServiceDebt;
// The start type the service had before this run disabled it.
extern std::atomic<std::uint32_t> ImagingServiceStartTypeOwed;
// Whether the give-back starts the service too: false for a service that was
// stopped and only kept from starting by itself, which is given back stopped.
extern std::atomic<bool> ImagingServiceStartOwed;
// From just before the image write until the burn has been followed to its
// end: the scanner must not meet the imaging service in that stretch.
extern std::atomic<bool> ImageInFlight;
// Just around the image write itself.
extern std::atomic<bool> ImageWriteUnderWay;
// From the start of this run's image write on, whatever became of it: a
// failure after it may have left the scanner in its recovery loader.
extern bool ImageWriteBegun;
// A status query of this run found the scanner in its recovery loader.
extern bool ScannerSeenInRecovery;
// The run record's journal of what the run printed (report/ owns its
// type): empty until the record begins, and for runs that keep none.
extern std::shared_ptr<void> RunJournal;
// Set by the console control handler when the process is about to end: no
// new write goes to the scanner after it.
extern std::atomic<bool> ProcessEnding;
// How long the system lets the process run after a close, and after a
// log-off or shutdown, read once at the start for the console control
// handler (which must not ask the system when the session is ending).
extern std::atomic<std::uint32_t> CloseTimeLimitMs;
extern std::atomic<std::uint32_t> SessionEndTimeLimitMs;

// The updater's own key under HKEY_LOCAL_MACHINE: the record of what a run
// owes the imaging service. It exists only while a run owes the service
// back. Its value IMAGE_SENT_VALUE says the image had begun to leave.
inline constexpr const char* SERVICE_DEBT_KEY = "SOFTWARE\\fwupdate";
inline constexpr const char* IMAGE_SENT_VALUE = "ImageSent";
// Where the service manager keeps the imaging service's configuration, its
// start type included: the SYSTEM hive, flushed apart from the record's.
inline constexpr const char* SERVICE_CONFIG_KEY = "SYSTEM\\CurrentControlSet\\Services\\stisvc";

// Every value above as one process has it. The simulator runs several
// copies of the updater in one process and swaps their values in and out;
// a value added above belongs here too.
struct ProcessValues {
    std::uint16_t language = 0;
    std::int32_t updateMode = 0;
    Handle deviceHandle = NO_HANDLE;
    char devicePath[DEVICE_PATH_SIZE] = {};
    char friendlyName[FRIENDLY_NAME_SIZE] = {};
    Handle scannerMutex = INVALID_HANDLE;
    Handle utilityMutex = INVALID_HANDLE;
    Handle updaterMutex = INVALID_HANDLE;
    bool updateUnderWay = false;
    ServiceDebt imagingServiceDebt = ServiceDebt::None;
    std::uint32_t imagingServiceStartTypeOwed = 0;
    bool imagingServiceStartOwed = true;
    bool imageInFlight = false;
    bool imageWriteUnderWay = false;
    bool imageWriteBegun = false;
    bool scannerSeenInRecovery = false;
    std::shared_ptr<void> runJournal;
    bool processEnding = false;
    std::uint32_t closeTimeLimitMs = 5000;
    std::uint32_t sessionEndTimeLimitMs = 5000;
};
ProcessValues SaveProcessValues();
void LoadProcessValues(const ProcessValues& values);

// Puts every value back to its state at process start. A real process runs
// once; the simulator, the tests and the fuzzer run many updates in one
// process.
void ResetProcessState();
