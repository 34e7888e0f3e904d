#include "app/sequence.h"

#include <cstdint>

#include "common/print.h"
#include "common/shared.h"
#include "host/give_back.h"
#include "host/guards.h"
#include "host/service_debt.h"
#include "link/discovery.h"
#include "link/transfer.h"
#include "link/wire.h"
#include "platform/clock.h"
#include "platform/handle.h"
#include "platform/power.h"
#include "platform/service.h"
#include "update/clock_handshake.h"
#include "update/download.h"

namespace {

// The scanner gets a second after the service let go of it before the first
// readiness query, and a second between the queries; five queries at most.
constexpr std::uint32_t SERVICE_SETTLE_MS = 1000;
constexpr std::uint32_t READINESS_PAUSE_MS = 1000;
constexpr int READINESS_QUERIES = 5;

// Asks the scanner whether it runs its firmware or its recovery loader. The
// exchange's own result is not looked at: a failed probe reads as ready, so
// the guards run as for a normal scanner.
std::uint16_t ProbeScannerState()
{
    bool answered = false;
    return AskScannerState(SUB_DEVICE, &answered);
}

// Keeps the maker's scan application and scanner-tool utility away from a
// scanner that runs its normal firmware. Each failure has its own message.
// A scanner with no registry instance to name its mutex is no busy one:
// waiting would not bring the instance, whatever the message says.
UpdateOutcome TakeGuards()
{
    if (!LookupFriendlyName()) {
        PrintMessage(MSG_SCAN_APP_BUSY_RETRY, Language);
        return UpdateOutcome::FailedBeforeImage;
    }
    if (!AcquireScannerMutex()) {
        PrintMessage(MSG_SCAN_APP_BUSY, Language);
        return UpdateOutcome::Busy;
    }
    if (!AcquireUtilityMutex()) {
        PrintMessage(MSG_UTILITY_BUSY, Language);
        return UpdateOutcome::Busy;
    }
    return UpdateOutcome::Updated;
}

enum class Readiness { Ready, Recovery, Failed };

// At most five firmware status queries a second apart, each a single
// exchange; a ready or recovery answer to the fifth still counts. The long
// wait around a download is WaitUntilReadyForTenMinutes.
Readiness CheckReadinessInFiveQueries()
{
    CommandBlock block;
    BuildCommandBlock(&block, OP_STATUS, SUB_FIRMWARE, 0, 0);
    StatusReply reply{};
    for (int query = 1;; ++query) {
        if (!ExchangeCommand(&block, &reply)) {
            PrintMessage(MSG_STATUS_ERROR, Language);
            return Readiness::Failed;
        }
        const std::uint16_t state = ReplyState(reply);
        if (state == STATE_READY) {
            return Readiness::Ready;
        }
        if (state == STATE_RECOVERY) {
            // Alike in both languages: not a catalogue entry.
            ConsolePrintf("Recovery Mode!!!\n");
            return Readiness::Recovery;
        }
        if (query == READINESS_QUERIES) {
            PrintMessage(MSG_NOT_RESPONDING, Language);
            return Readiness::Failed;
        }
        SleepMs(READINESS_PAUSE_MS);
    }
}

// Everything that talks to the scanner once the imaging service is out of
// the way. Each failing stage has printed its own reason.
bool UpdateScanner()
{
    const Readiness readiness = CheckReadinessInFiveQueries();
    if (readiness == Readiness::Failed) {
        return false;
    }
    // Only a scanner that runs its firmware is given the PC's time and asked
    // for it back; the recovery loader goes straight to the download.
    if (readiness == Readiness::Ready && !SetScannerClock()) {
        return false;
    }
    return DownloadFirmware(FIRMWARE_RESOURCE_ID, UpdateMode);
}

// The stretch in which the run has changed something on the PC or the
// scanner: Ctrl+C is ignored and the PC is asked not to sleep on idle. Both
// end on every return, after the imaging service was given back.
class UpdateUnderWayScope {
public:
    UpdateUnderWayScope()
    {
        UpdateUnderWay = true;
        RequestSystemAwake(true);
    }
    ~UpdateUnderWayScope()
    {
        RequestSystemAwake(false);
        UpdateUnderWay = false;
    }
    UpdateUnderWayScope(const UpdateUnderWayScope&) = delete;
    UpdateUnderWayScope& operator=(const UpdateUnderWayScope&) = delete;
};

// Whether a scanner on the bus may still be busy with the image a dead run
// began to send: it says it burns, or its loader (which leaves the bus to
// burn) still answers. A scanner not on the bus, one that answers anything
// else, and one that answers nothing (wedged, or waiting for the rest of a
// cut image; a scanner that burns says so) is done: the service is not kept
// from the user for a device that cannot say. A handle the run holds is
// renewed, as the scanner may have left and come back since; one opened for
// the question is closed again, discovery opening its own.
bool ScannerMayStillBurn()
{
    const bool borrowed = !IsOpenHandle(DeviceHandle);
    if (!ReconnectScanner()) {
        return false;
    }
    bool answered = false;
    const std::uint16_t state = AskScannerState(SUB_FIRMWARE, &answered);
    if (borrowed && IsOpenHandle(DeviceHandle)) {
        CloseObject(DeviceHandle);
        DeviceHandle = NO_HANDLE;
    }
    return answered && (state == STATE_BURNING || state == STATE_RECOVERY);
}

// What the imaging service needs before the scanner is written to.
enum class ServiceStep {
    None,     // nothing: it is not there, cannot be asked, or cannot start
    Stop,     // running or starting: stopped and disabled, started again after
    KeepOff,  // stopped, but it can start by itself: disabled, given back stopped
};

// Any accepted control counts as an active service that has to let go of
// the scanner, and so does one that is starting (it accepts controls once
// it runs, beside the image). A stopped or stopping service stays as it is
// unless it can start by itself during the update: on a trigger (a
// device's arrival, say), or as Windows starts again, which a deployment
// may make it do while the scanner burns. A service that cannot be queried
// is left alone, and then nothing is owed afterwards either.
ServiceStep ChooseServiceStep(CWIAControl& service, ServiceStatus* status)
{
    if (!service.QueryStatus(status)) {
        return ServiceStep::None;
    }
    const std::uint32_t state = status->dwCurrentState;
    if (status->dwControlsAccepted != 0 || state == SERVICE_START_PENDING_STATE) {
        return ServiceStep::Stop;
    }
    if (state != SERVICE_STOPPED_STATE && state != SERVICE_STOP_PENDING_STATE) {
        return ServiceStep::None;
    }
    // A disabled service starts on no trigger; its record, and a dead run's
    // record that names what it had before, stay as they are.
    std::uint32_t startType = 0;
    const bool known = service.ReadStartType(&startType, true);
    if (known && startType == SERVICE_DISABLED_TYPE) {
        return ServiceStep::None;
    }
    if (known && startType == SERVICE_AUTO_START_TYPE) {
        return ServiceStep::KeepOff;
    }
    return service.HasStartTrigger() ? ServiceStep::KeepOff : ServiceStep::None;
}

// Stops the service, or keeps a stopped one from starting; false, with the
// reason printed, when the update cannot go on beside it. Keeping a stopped
// service off says nothing: nothing is stopped.
bool TakeServiceOff(CWIAControl& service, ServiceStep step, std::uint32_t stateBefore)
{
    if (step == ServiceStep::Stop) {
        PrintMessage(MSG_CLOSING_WIA, Language);
    }
    // A stopped service is recorded as stopped: it is given back so.
    if (StopImagingService(service, step == ServiceStep::Stop ? stateBefore : SERVICE_STOPPED_STATE)) {
        return true;
    }
    // Whatever state the service is in now, the message sends the user to
    // a restart of the computer; it is not started here. After a close the
    // window is going: nothing more to say.
    if (!ProcessEnding) {
        PrintMessage(MSG_WIA_CLOSE_FAILED, Language);
    }
    return false;
}

// What a failed update leaves the scanner with: whatever it ran before,
// unless the image had begun to leave.
UpdateOutcome FailureOutcome()
{
    return ImageWriteBegun ? UpdateOutcome::FailedAfterImage : UpdateOutcome::FailedBeforeImage;
}

}  // namespace

std::uint16_t AskScannerState(std::uint16_t subcode, bool* answered)
{
    CommandBlock block;
    BuildCommandBlock(&block, OP_STATUS, subcode, 0, 0);
    StatusReply reply{};
    *answered = ExchangeCommand(&block, &reply);
    // For the run's record: which of its two programs the scanner ran.
    ScannerSeenInRecovery = ScannerSeenInRecovery || (*answered && ReplyState(reply) == STATE_RECOVERY);
    return ReplyState(reply);
}

bool SettleDebtIfScannerDone()
{
    bool imageSent = false;
    if (DebtLeftBehind(&imageSent) && imageSent && ScannerMayStillBurn()) {
        return false;
    }
    SettleDebtLeftBehind();
    return true;
}

UpdateOutcome RunUpdateStages(std::optional<CWIAControl>& imagingService, bool* recordWaits)
{
    // Before anything reaches the scanner beyond discovery: a second copy
    // would interleave its exchanges with ours, and in recovery mode, where
    // the guards are skipped, write the image twice. Usually held since the
    // start; a copy that held it then has ended since, and what it left
    // behind is settled first.
    const bool heldSinceTheStart = IsOpenHandle(UpdaterMutex);
    if (!AcquireUpdaterMutex()) {
        PrintMessage(MSG_DEVICE_BUSY, Language);
        return UpdateOutcome::Busy;
    }
    if (!heldSinceTheStart && !SettleDebtIfScannerDone()) {
        *recordWaits = true;
    }
    const UpdateUnderWayScope underWay;
    if (ProbeScannerState() != STATE_RECOVERY) {
        const UpdateOutcome guarded = TakeGuards();
        if (guarded != UpdateOutcome::Updated) {
            return guarded;
        }
    }

    ServiceStatus status{};
    const ServiceStep step = ChooseServiceStep(*imagingService, &status);
    if (step != ServiceStep::None && !TakeServiceOff(*imagingService, step, status.dwCurrentState)) {
        return UpdateOutcome::FailedBeforeImage;
    }
    SleepMs(SERVICE_SETTLE_MS);

    if (UpdateScanner()) {
        // A service that will not come back does not undo a good update,
        // but a script has to hear of it.
        const bool givenBack = GiveImagingServiceBack(&*imagingService, true);
        return givenBack ? UpdateOutcome::Updated : UpdateOutcome::ServiceNotGivenBack;
    }

    if (step != ServiceStep::None) {
        // After a failure the restart starts from nothing: the sequence's
        // object and its handles go first, and a fresh one does the start.
        imagingService.reset();
        GiveImagingServiceBack(nullptr, true);
    }
    return FailureOutcome();
}
