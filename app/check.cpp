#include "app/check.h"

#include <cstdint>

#include "app/sequence.h"
#include "common/print.h"
#include "common/shared.h"
#include "host/guards.h"
#include "host/service_debt.h"
#include "host/wia_control.h"
#include "link/discovery.h"
#include "link/wire.h"
#include "platform/device.h"
#include "platform/mutex.h"
#include "platform/service.h"

namespace {

// What the one status query found the scanner doing.
enum class ScannerSeen { Firmware, Recovery, Burning, NoAnswer };

ScannerSeen AskScanner()
{
    bool answered = false;
    const std::uint16_t state = AskScannerState(SUB_DEVICE, &answered);
    if (!answered) {
        PrintMessage(MSG_CHECK_NO_ANSWER, Language);
        return ScannerSeen::NoAnswer;
    }
    if (state == STATE_RECOVERY) {
        PrintMessage(MSG_CHECK_RECOVERY, Language);
        return ScannerSeen::Recovery;
    }
    if (state == STATE_BURNING) {
        PrintMessage(MSG_CHECK_BURNING, Language);
        return ScannerSeen::Burning;
    }
    PrintMessage(MSG_CHECK_FIRMWARE, Language);
    return ScannerSeen::Firmware;
}

// A mutex the look took is let go and closed at once: a handle kept open
// would keep the name alive, and its owner's next start would find it taken.
void LetGo(Handle* slot)
{
    ReleaseOwnedMutex(*slot);
    CloseObject(*slot);
    *slot = INVALID_HANDLE;
}

bool LookAtUpdaterMutex()
{
    const bool free = AcquireUpdaterMutex();
    if (free) {
        LetGo(&UpdaterMutex);
    }
    PrintMessage(free ? MSG_CHECK_UPDATER_FREE : MSG_CHECK_UPDATER_HELD, Language);
    return free;
}

// The two guards as the update takes them, tries and pauses alike, so the
// check says what the update would find. Nothing is held afterwards.
// Returns the outcome the guards alone would give the update.
UpdateOutcome LookAtGuards()
{
    UpdateOutcome outcome = UpdateOutcome::Updated;
    if (!LookupFriendlyName()) {
        PrintMessage(MSG_CHECK_NO_NAME, Language);
        outcome = UpdateOutcome::FailedBeforeImage;
    } else if (AcquireScannerMutex()) {
        LetGo(&ScannerMutex);
        PrintMessage(MSG_CHECK_SCAN_APP_FREE, Language);
    } else {
        PrintMessage(MSG_CHECK_SCAN_APP_HELD, Language);
        outcome = UpdateOutcome::Busy;
    }
    if (AcquireUtilityMutex()) {
        LetGo(&UtilityMutex);
        PrintMessage(MSG_CHECK_UTILITY_FREE, Language);
    } else {
        PrintMessage(MSG_CHECK_UTILITY_HELD, Language);
        outcome = outcome == UpdateOutcome::Updated ? UpdateOutcome::Busy : outcome;
    }
    return outcome;
}

// Queries only: the state and the start type, neither changed. Alike in
// both languages, as the service manager's own words.
void ReportService()
{
    CWIAControl service;
    ServiceStatus status{};
    std::uint32_t startType = 0xFFFFFFFFu;
    const bool queried = service.QueryStatus(&status);
    if (!queried || !service.ReadStartType(&startType, true)) {
        startType = 0xFFFFFFFFu;
    }
    ConsolePrintf("WIA (stisvc): %s, %s\n", queried ? ServiceStateName(status.dwCurrentState) : "UNKNOWN",
                  ServiceStartTypeName(startType));
}

// The record is read, never settled: the next update does that.
void ReportRecord()
{
    bool imageSent = false;
    PrintMessage(DebtLeftBehind(&imageSent) ? MSG_CHECK_RECORD : MSG_CHECK_NO_RECORD, Language);
}

// The scanner's part: found, its release, its state. NoScanner when not
// found; Busy while it burns (a dead run's image, or anybody's: the update
// would find it not ready); else what its guards give. Guards are not taken
// from a scanner in its recovery loader, so they do not count for one.
UpdateOutcome LookAtScanner()
{
    DeviceDescriptor found = {};
    if (!FindScanner(&found)) {
        return UpdateOutcome::NoScanner;
    }
    ConsolePrintf("bcdDevice: %04X\n", static_cast<unsigned>(found.usBcdDevice));
    const ScannerSeen seen = AskScanner();
    const UpdateOutcome guards = LookAtGuards();
    if (seen == ScannerSeen::Burning) {
        return guards == UpdateOutcome::FailedBeforeImage ? guards : UpdateOutcome::Busy;
    }
    return seen == ScannerSeen::Recovery ? UpdateOutcome::Updated : guards;
}

}  // namespace

UpdateOutcome RunCheck()
{
    PrintMessage(MSG_CHECK_ONLY, Language);
    const bool updaterFree = LookAtUpdaterMutex();
    UpdateOutcome outcome = LookAtScanner();
    ReportService();
    ReportRecord();
    if (outcome == UpdateOutcome::Updated && !updaterFree) {
        outcome = UpdateOutcome::Busy;
    }
    return outcome;
}

void PrintCheckVerdict(UpdateOutcome outcome)
{
    if (outcome == UpdateOutcome::Updated) {
        PrintMessage(MSG_CHECK_CAN_UPDATE, Language);
    } else if (outcome == UpdateOutcome::Busy) {
        PrintMessage(MSG_CHECK_MUST_WAIT, Language);
    } else {
        PrintMessage(MSG_CHECK_CANNOT_UPDATE, Language);
    }
}
