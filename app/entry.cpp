#include "app/entry.h"

#include <optional>

#include "app/check.h"
#include "app/give_back.h"
#include "app/interruption.h"
#include "app/sequence.h"
#include "common/print.h"
#include "common/shared.h"
#include "host/give_back.h"
#include "host/guards.h"
#include "host/service_debt.h"
#include "host/wia_control.h"
#include "link/discovery.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/mutex.h"
#include "platform/process.h"
#include "report/event_log.h"
#include "report/run_record.h"
#include "update/firmware_image.h"

namespace {

// Chinese (Taiwan) exactly: other Chinese variants read English.
constexpr std::uint16_t TAIWAN_LANGUAGE_ID = 0x0404;
// Both outcome messages promise the user these 20 seconds to read them.
constexpr std::uint32_t CLOSING_PAUSE_MS = 20000;

// Gives up ownership of a guard mutex the run took. The handle stays open
// until the process ends: closing it is left to the platform.
void ReleaseGuardMutex(Handle* slot)
{
    if (IsOpenHandle(*slot)) {
        ReleaseOwnedMutex(*slot);
    }
    *slot = INVALID_HANDLE;
}

void ChooseLanguage()
{
    Language = UserDefaultLanguageId() == TAIWAN_LANGUAGE_ID ? 1 : 0;
}

// The help asked for on the command line: the switches, the exit codes and
// where a run's record is kept, and nothing else. No search, no mutex, no
// service, no registry, no pause: an administrator who asks how the updater
// is run must not have a scanner updated.
int ShowHelp()
{
    ChooseLanguage();
    PrintMessage(MSG_HELP_SWITCHES, Language);
    PrintMessage(MSG_HELP_EXIT_CODES, Language);
    return 0;
}

// A run whose dead predecessor's burn still goes and that did not update
// the scanner itself has to come again: the record waits for it. One that
// sent its own image says so instead, as that is what the scanner has now.
UpdateOutcome WithRecordWaiting(UpdateOutcome outcome, bool recordWaits)
{
    if (!recordWaits || ScannerUpdated(outcome) || outcome == UpdateOutcome::FailedAfterImage) {
        return outcome;
    }
    return UpdateOutcome::Busy;
}

RunEvent EventFor(UpdateOutcome outcome)
{
    switch (outcome) {
    case UpdateOutcome::Updated:
        return RunEvent::Updated;
    case UpdateOutcome::Busy:
        return RunEvent::Busy;
    case UpdateOutcome::NoScanner:
        return RunEvent::NoScanner;
    case UpdateOutcome::NotElevated:
        return RunEvent::NotElevated;
    case UpdateOutcome::FailedAfterImage:
        return RunEvent::FailedAfterImage;
    case UpdateOutcome::ServiceNotGivenBack:
        return RunEvent::ServiceNotGivenBack;
    case UpdateOutcome::ImageDamaged:
        return RunEvent::ImageDamaged;
    case UpdateOutcome::FailedBeforeImage:
        break;
    }
    return RunEvent::FailedBeforeImage;
}

// The run's one entry in the event log, for whoever looks after many PCs:
// a check says what it found, an update how it ended. Written before the
// closing pause, which a user may end by closing the window.
void LogRun(const RunSwitches& switches, UpdateOutcome outcome)
{
    RunFacts facts;
    facts.outcomeCode = ExitCodeFor(outcome);
    facts.kind = switches.checkOnly ? RunKind::Check : switches.unattended ? RunKind::Unattended : RunKind::Attended;
    facts.scannerPath = DevicePath;
    facts.mode = UpdateMode;
    LogRunEvent(switches.checkOnly ? RunEvent::CheckResult : EventFor(outcome), facts);
}

int EndRun(const RunSwitches& switches, UpdateOutcome outcome)
{
    // A check changed nothing and says so itself; it ends at once, as a
    // command typed at a prompt does, and its code always tells.
    if (switches.checkOnly) {
        PrintCheckVerdict(outcome);
        return ExitCodeFor(outcome);
    }
    PrintMessage(ScannerUpdated(outcome) ? MSG_UPDATE_SUCCEEDED : MSG_UPDATE_FAILED, Language);
    // Unattended, nobody reads the window: the code tells the outcome.
    if (switches.unattended) {
        return ExitCodeFor(outcome);
    }
    SleepMs(CLOSING_PAUSE_MS);
    // For the user at the console the exit code never tells success from
    // failure; the console does, and scripts written for it expect 0.
    return 0;
}

// The run's end and what it leaves for an administrator. The event log's
// entry comes before the closing pause, which a closed window cuts short;
// the record's line after it, so that its end time and closing line are the
// run's. A record that could not be written says why in the event log.
int EndAndReport(const RunSwitches& switches, UpdateOutcome outcome)
{
    LogRun(switches, outcome);
    const int code = EndRun(switches, outcome);
    const RunSummary record =
        WriteRunRecord({OutcomeName(outcome), code, ScannerUpdated(outcome) && !switches.checkOnly});
    if (record.skipped != RecordSkipped::None && record.skipped != RecordSkipped::NotBegun) {
        LogRecordNotWritten(RecordSkippedName(record.skipped));
    }
    return code;
}

}  // namespace

std::int32_t ModeForDevice(std::uint16_t vendorId, std::uint16_t productId)
{
    return vendorId == SCANNER_VENDOR_ID && productId == REBOOT_PROMPT_PRODUCT_ID ? 1 : 0;
}

UpdateOutcome RunUpdateSequence(int argc, char** argv, bool checkOnly)
{
    // The service object lives as long as the sequence, so the handles that
    // its status query opens serve the stop and the restart after it.
    std::optional<CWIAControl> imagingService;
    imagingService.emplace();

    ChooseLanguage();
    UpdateMode = 0;
    UpdateMode = ReadOptions(argc, argv, UpdateMode);
    // Echoed before any device is touched, so the user sees the options took.
    ConsolePrintf("%d\n", static_cast<int>(UpdateMode));
    // Without elevation every protected call ahead is refused, and each
    // refusal would read as something else (a busy scanner, a busy scan
    // application, no record of a dead run): say why once, before any
    // mutex, registry key or service is touched, and change nothing.
    if (!ProcessIsElevated()) {
        PrintMessage(MSG_NOT_ELEVATED, Language);
        return UpdateOutcome::NotElevated;
    }
    // An executable cut or altered on its way here would burn whatever it
    // holds: its image is checked against the digest the build embedded
    // before anything is touched, and a damaged copy changes nothing. A
    // check run says so too: no update can run from this copy.
    if (!EmbeddedImageIsIntact()) {
        return UpdateOutcome::ImageDamaged;
    }
    if (checkOnly) {
        return RunCheck();
    }
    // A run killed while it had the imaging service disabled left a record;
    // the service comes back first, whether or not a scanner is found now.
    // Only the holder of the one-updater mutex may: while another copy
    // holds it, the record is that copy's, and its update is live. Nor
    // while the scanner still burns what the dead run sent: the record
    // waits for a run that finds the burn over.
    // A record left while the scanner was still busy is settled at the
    // end of this run instead, if it updates the scanner itself.
    bool waiting = AcquireUpdaterMutex() && !SettleDebtIfScannerDone();

    DeviceDescriptor found = {};
    UpdateOutcome outcome = UpdateOutcome::NoScanner;
    if (FindScanner(&found)) {
        // The found device overrides the options' mode; nothing between the
        // search and here reads it.
        UpdateMode = ModeForDevice(found.usVendorId, found.usProductId);
        outcome = RunUpdateStages(imagingService, &waiting);
    }
    const bool succeeded = ScannerUpdated(outcome);
    // A run that updated the scanner followed its own burn to the end: the
    // scanner is done with whatever the dead run sent, whether the record
    // was kept at the start or when the mutex came only at the stages.
    // After a failure the record waits for the next run's start (asking the scanner again here
    // could reach one another application holds).
    if (waiting && succeeded) {
        SettleDebtLeftBehind();
    }
    // With no record left the give-back has nothing to do: it goes now,
    // not at its next trigger.
    bool imageSent = false;
    if (IsOpenHandle(UpdaterMutex) && !DebtLeftBehind(&imageSent)) {
        DismantleGiveBack();
    }
    return WithRecordWaiting(outcome, waiting);
}

int UpdaterMain(int argc, char** argv)
{
    ScannerMutex = INVALID_HANDLE;
    UtilityMutex = INVALID_HANDLE;
    UpdaterMutex = INVALID_HANDLE;
    // The give-back task's run has no console and no user: what it did goes
    // to the event log and the record alone.
    if (IsGiveBackRun(argc, argv)) {
        return RunGiveBack(argc, argv);
    }
    const RunSwitches switches = ReadSwitches(argc, argv);
    if (switches.help) {
        return ShowHelp();
    }
    // Before the handler can print: its lines go into the record too.
    BeginRunRecord(argc, argv);
    InstallInterruptionHandling();
    // A click in the window would start a selection that holds every line
    // the run prints, and the main thread with it, until a key is pressed.
    HoldConsoleSelectionOff();

    const UpdateOutcome outcome = RunUpdateSequence(argc, argv, switches.checkOnly);

    ReleaseGuardMutex(&ScannerMutex);
    ReleaseGuardMutex(&UtilityMutex);
    // After a close, log-off or shutdown the handler may still be giving
    // the service back and removing the record: a copy that took the mutex
    // now would settle the same record beside it. The mutex goes with the
    // process instead, and the next run takes it over as abandoned.
    if (!ProcessEnding) {
        ReleaseGuardMutex(&UpdaterMutex);
    }
    // The closing message may well be copied out of the window.
    RestoreConsoleSelection();
    return EndAndReport(switches, outcome);
}
