#include "host/guards.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/shared.h"
#include "platform/clock.h"
#include "platform/mutex.h"
#include "platform/registry.h"

namespace {

const char* const IMAGE_CLASS_KEY = "SYSTEM\\CurrentControlSet\\Control\\Class\\{6bdd1fc6-810f-11d0-bec7-08002be2092f}";
const char* const SCANNER_MUTEX_PREFIX = "Global\\ORVANE_SCAN_EXT_APP_MUTEX_";
const char* const UTILITY_MUTEX_NAME = "{3F9E21C4-7B0A-4d6e-8C5F-A1D2E3B4C5F6}";

constexpr std::uint32_t REGISTRY_TEXT_SIZE = 256;
constexpr std::uint32_t NON_TEXT_ROOM = 4;
constexpr std::int32_t ERROR_FILE_NOT_FOUND_STATUS = 2;
constexpr int KEY_TEXT_SIZE = 256;
// More sessions than a PC has users at once; a longer list cannot be read
// whole, and the run then counts the utility as running.
constexpr std::uint32_t MAX_SESSIONS_LOOKED_AT = 64;
// "VID_7a3c&PID_41b2": the vendor digits start at 8, the product digits at 17.
constexpr std::size_t VENDOR_OFFSET = 8;
constexpr std::size_t PRODUCT_OFFSET = 17;
constexpr std::size_t MIN_DEVICE_ID_LENGTH = 21;

static_assert(sizeof FriendlyName == REGISTRY_TEXT_SIZE);

char LowerAscii(char ch)
{
    return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
}

bool SameTextIgnoringCase(const char* left, const char* right)
{
    for (; *left != '\0' && *right != '\0'; ++left, ++right) {
        if (LowerAscii(*left) != LowerAscii(*right)) {
            return false;
        }
    }
    return *left == *right;
}

bool SameDigitsIgnoringCase(const char* text, const char* digits, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (LowerAscii(text[i]) != LowerAscii(digits[i])) {
            return false;
        }
    }
    return true;
}

// Reads one value of an instance key as text into a buffer of
// REGISTRY_TEXT_SIZE bytes. The one value-type variable of the lookup
// decides the room offered: the whole buffer while the last value found
// was text, four bytes after any other type. The stored bytes need not end
// in a zero, so the text is always cut right after what was read; a value
// that fills the whole buffer without a zero is not text we can use.
bool ReadInstanceText(const char* instanceKey, const char* valueName, std::uint32_t* valueType, char* buffer)
{
    Handle key = NO_HANDLE;
    if (OpenMachineKey(instanceKey, &key) != 0) {
        return false;
    }
    std::uint32_t size = (*valueType == REG_SZ_TYPE) ? REGISTRY_TEXT_SIZE : NON_TEXT_ROOM;
    // The type variable follows the values the lookup finds. The platform
    // writes REG_NONE into it for a value that is not there, which would
    // shrink the room of the next query to 4 bytes and so pass over the
    // scanner's own instance when it follows one without the value.
    const std::uint32_t typeBefore = *valueType;
    const std::int32_t status = QueryKeyValue(key, valueName, valueType, buffer, &size);
    if (status == ERROR_FILE_NOT_FOUND_STATUS) {
        *valueType = typeBefore;
    }
    CloseMachineKey(key);
    if (status != 0) {
        // A refused read may have left anything in the buffer.
        buffer[REGISTRY_TEXT_SIZE - 1] = '\0';
        return false;
    }
    if (size < REGISTRY_TEXT_SIZE) {
        buffer[size] = '\0';
        return true;
    }
    if (std::memchr(buffer, '\0', REGISTRY_TEXT_SIZE) != nullptr) {
        return true;
    }
    buffer[REGISTRY_TEXT_SIZE - 1] = '\0';
    return false;
}

bool MatchesScannerIds(const char* deviceId, const char* vendor, const char* product)
{
    return std::strlen(deviceId) >= MIN_DEVICE_ID_LENGTH &&
           SameDigitsIgnoringCase(deviceId + VENDOR_OFFSET, vendor, 4) &&
           SameDigitsIgnoringCase(deviceId + PRODUCT_OFFSET, product, 4);
}

// Three tries, a pause after each failed one. A mutex that exists already,
// owned or not, means the other application is there. The handle such a try
// got is closed before the pause: a named mutex lives as long as any handle
// to it, so keeping ours would keep the other application's mutex alive
// after it let go, and the next try could never succeed.
bool AcquireNamedMutex(const char* name, Handle* slot)
{
    for (int attempt = 0; attempt < MUTEX_TRIES; ++attempt) {
        const Handle mutex = CreateOwnedMutex(name);
        const std::uint32_t error = LastError();
        if (mutex != NO_HANDLE && error != ERROR_ALREADY_EXISTS_CODE) {
            if (*slot != INVALID_HANDLE) {
                ReleaseOwnedMutex(*slot);
            }
            *slot = mutex;
            return true;
        }
        if (mutex != NO_HANDLE) {
            CloseObject(mutex);
        }
        SleepMs(MUTEX_RETRY_PAUSE_MS);
    }
    return false;
}

// The utility's name has no Global\ prefix, so each session has its own:
// run from session 0 by a deployment tool, or beside another user's
// desktop, the updater holds a name the utility there never sees. Each
// other session's name is looked at through its own directory; one that
// is there, or a look (or a session list) that cannot tell, counts as the
// utility running: the run ends busy and comes again, rather than update
// beside it. A look only: a utility started there later is not kept out.
bool UtilityRunsInAnotherSession()
{
    std::uint32_t sessions[MAX_SESSIONS_LOOKED_AT];
    std::uint32_t count = 0;
    if (!ListOtherSessions(sessions, MAX_SESSIONS_LOOKED_AT, &count)) {
        return true;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        // Session 0 runs services only: no desktop application is there.
        if (sessions[i] == 0) {
            continue;
        }
        char name[MUTEX_NAME_SIZE];
        std::snprintf(name, sizeof name, "Session\\%u\\%s", static_cast<unsigned>(sessions[i]), UTILITY_MUTEX_NAME);
        if (LookForMutex(name) != MutexLook::Absent) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool LookupFriendlyName()
{
    char vendor[8];
    char product[8];
    std::snprintf(vendor, sizeof vendor, "%04x", static_cast<unsigned>(SCANNER_VENDOR_ID));
    std::snprintf(product, sizeof product, "%04x", static_cast<unsigned>(SCANNER_PRODUCT_ID));

    char createFileName[REGISTRY_TEXT_SIZE] = {};
    char matchingDeviceId[REGISTRY_TEXT_SIZE] = {};
    std::uint32_t valueType = REG_SZ_TYPE;
    char instanceKey[KEY_TEXT_SIZE];

    // Instance numbers have gaps, so every number is tried.
    for (int instance = 0; instance <= MAX_CLASS_INSTANCE; ++instance) {
        std::snprintf(instanceKey, sizeof instanceKey, "%s\\%04d", IMAGE_CLASS_KEY, instance);
        if (!ReadInstanceText(instanceKey, "CreateFileName", &valueType, createFileName) ||
            !SameTextIgnoringCase(createFileName, DevicePath)) {
            continue;
        }
        if (!ReadInstanceText(instanceKey, "MatchingDeviceId", &valueType, matchingDeviceId) ||
            !MatchesScannerIds(matchingDeviceId, vendor, product)) {
            continue;
        }
        // The first instance that is our scanner decides.
        return ReadInstanceText(instanceKey, "FriendlyName", &valueType, FriendlyName);
    }
    return false;
}

bool AcquireScannerMutex()
{
    char name[MUTEX_NAME_SIZE];
    const int length = std::snprintf(name, sizeof name, "%s%s", SCANNER_MUTEX_PREFIX, FriendlyName);
    // A cut name would be some other application's mutex, or nobody's.
    if (length < 0 || length >= MUTEX_NAME_SIZE) {
        return false;
    }
    return AcquireNamedMutex(name, &ScannerMutex);
}

bool AcquireUtilityMutex()
{
    char name[MUTEX_NAME_SIZE];
    std::snprintf(name, sizeof name, "%s", UTILITY_MUTEX_NAME);
    if (!AcquireNamedMutex(name, &UtilityMutex)) {
        return false;
    }
    if (UtilityRunsInAnotherSession()) {
        ReleaseOwnedMutex(UtilityMutex);
        CloseObject(UtilityMutex);
        UtilityMutex = INVALID_HANDLE;
        return false;
    }
    return true;
}

bool AcquireUpdaterMutex()
{
    if (IsOpenHandle(UpdaterMutex)) {
        return true;
    }
    const Handle mutex = CreateAdminOnlyMutex(UPDATER_MUTEX_NAME);
    if (mutex == NO_HANDLE) {
        return false;
    }
    // The create grants ownership only to the copy that made the mutex; an
    // existing one is ours only when nobody owns it.
    if (LastError() == ERROR_ALREADY_EXISTS_CODE && !TakeUnownedMutex(mutex)) {
        CloseObject(mutex);
        return false;
    }
    UpdaterMutex = mutex;
    return true;
}
