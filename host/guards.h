// The exclusive-use guards that keep the maker's other scanner applications
// away during the update.
#pragma once

constexpr int MAX_CLASS_INSTANCE = 9999;
constexpr int MUTEX_NAME_SIZE = 260;
constexpr int MUTEX_TRIES = 3;
constexpr unsigned MUTEX_RETRY_PAUSE_MS = 1000;
// The updater's own, in the global namespace so that a copy started from
// another session sees it too.
constexpr const char* UPDATER_MUTEX_NAME = "Global\\fwupdate-update";

// Reads the scanner's friendly name from the Image-class registry instance
// whose device path is DevicePath.
bool LookupFriendlyName();
// Takes the per-scanner mutex named after FriendlyName into ScannerMutex.
bool AcquireScannerMutex();
// Takes the utility-wide mutex into UtilityMutex.
bool AcquireUtilityMutex();
// Takes the one-updater mutex into UpdaterMutex: no two copies of the
// updater talk to the scanner at once, and only the holder touches the
// imaging service's record. A mutex left by a copy that ended without
// releasing it (abandoned) is taken over. True at once when already held.
bool AcquireUpdaterMutex();
