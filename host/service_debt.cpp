#include "host/service_debt.h"

#include <optional>

#include "common/print.h"
#include "common/shared.h"
#include "platform/clock.h"
#include "platform/console_control.h"
#include "platform/registry.h"
#include "platform/service.h"

namespace {

const char* const STATE_VALUE = "ImagingServiceState";
const char* const START_TYPE_VALUE = "ImagingServiceStartType";

// Windows ends a process 5 s after a close, log-off or shutdown whatever
// its handler is doing. The handler is done well before: what it leaves
// undone the record covers, what it leaves half-done nothing does.
constexpr std::uint32_t HANDLER_BUDGET_MS = 4000;
constexpr std::uint32_t HANDLER_POLL_MS = 100;

// Holds the section for one scope, on every return. Nothing inside it
// waits for the service, the scanner or the console.
class DebtSection {
public:
    DebtSection() { LockServiceDebt(); }
    ~DebtSection() { UnlockServiceDebt(); }
    DebtSection(const DebtSection&) = delete;
    DebtSection& operator=(const DebtSection&) = delete;
};

// The start type goes first and the state last: a record is the key with
// its state, so it never exists without what it has to restore. A key the
// writes could not complete is no record and is removed.
bool WriteRecord(std::uint32_t state, std::uint32_t startType)
{
    Handle key = NO_HANDLE;
    if (CreateMachineKey(SERVICE_DEBT_KEY, &key) != 0) {
        return false;
    }
    const bool written =
        SetKeyNumber(key, START_TYPE_VALUE, startType) == 0 && SetKeyNumber(key, STATE_VALUE, state) == 0;
    CloseMachineKey(key);
    if (!written) {
        DeleteMachineKey(SERVICE_DEBT_KEY);
    }
    return written;
}

enum class Record { Absent, Incomplete, Found };

// One number of the record, or `otherwise` when it is not there.
std::uint32_t RecordNumber(Handle key, const char* name, std::uint32_t otherwise)
{
    std::uint32_t type = 0;
    std::uint32_t value = 0;
    std::uint32_t size = sizeof value;
    return QueryKeyValue(key, name, &type, &value, &size) == 0 ? value : otherwise;
}

// The record, the start type it asks back (automatic when it names none,
// the service's default), whether its run had begun to send the image and,
// in `stateBefore` when asked, the state that run found the service in.
Record ReadRecord(std::uint32_t* startType, bool* imageSent, std::uint32_t* stateBefore = nullptr)
{
    Handle key = NO_HANDLE;
    if (OpenMachineKey(SERVICE_DEBT_KEY, &key) != 0) {
        return Record::Absent;
    }
    constexpr std::uint32_t MISSING = 0xFFFFFFFFu;
    const std::uint32_t state = RecordNumber(key, STATE_VALUE, MISSING);
    const bool found = state != MISSING;
    if (stateBefore != nullptr) {
        *stateBefore = state;
    }
    *startType = RecordNumber(key, START_TYPE_VALUE, SERVICE_AUTO_START_TYPE);
    *imageSent = RecordNumber(key, IMAGE_SENT_VALUE, 0) != 0;
    CloseMachineKey(key);
    return found ? Record::Found : Record::Incomplete;
}

// What a run that stopped the service leaves: disabled, or, when it ended
// between the stop and the disable, stopped with its start type untouched.
// Anything else is somebody's later choice, and it stands.
bool AsThisUpdaterLeftIt(std::uint32_t startTypeNow, std::uint32_t recorded, std::uint32_t stateNow)
{
    return startTypeNow == SERVICE_DISABLED_TYPE || (startTypeNow == recorded && stateNow == SERVICE_STOPPED_STATE);
}

// The handler's give-back, also done by the main thread when a close came
// during its stop: the recorded start type, a start asked for and not
// waited for, nothing printed. The record goes only once all of it was
// done; otherwise it stays for the next run.
void GiveBackQuietly()
{
    CWIAControl service;
    const std::uint32_t recorded = ImagingServiceStartTypeOwed;
    std::uint32_t startType = 0;
    ServiceStatus status{};
    bool done = service.ReadStartType(&startType, true) && service.QueryStatus(&status);
    if (done && AsThisUpdaterLeftIt(startType, recorded, status.dwCurrentState)) {
        done = service.ChangeStartType(startType, recorded) && (!ImagingServiceStartOwed || service.RequestStart());
    }
    if (done) {
        DeleteMachineKey(SERVICE_DEBT_KEY);
    }
    const DebtSection section;
    ImagingServiceDebt = done ? ServiceDebt::None : ServiceDebt::LeftForNextRun;
}

// Sleeps in short steps while `busy` holds, within the handler's budget.
template <typename Busy> void WaitWithinBudget(std::uint32_t startTick, Busy busy)
{
    while (busy() && TickCount() - startTick < HANDLER_BUDGET_MS) {
        SleepMs(HANDLER_POLL_MS);
    }
}

bool MainThreadIsOnIt()
{
    const ServiceDebt debt = ImagingServiceDebt;
    return debt == ServiceDebt::Stopping || debt == ServiceDebt::Returning;
}

}  // namespace

bool StopImagingService(CWIAControl& service, std::uint32_t stateBefore)
{
    std::uint32_t startType = 0;
    if (!service.ReadStartType(&startType)) {
        return false;
    }
    {
        const DebtSection section;
        // Without the record a kill after the stop would leave the service
        // down for good; the update does not go on without it. After a
        // close the service is not touched at all.
        if (ProcessEnding || !WriteRecord(stateBefore, startType)) {
            return false;
        }
        ImagingServiceStartTypeOwed = startType;
        // A service found stopped was only kept from starting by itself:
        // it goes back stopped.
        // So is one that was disabled: it cannot be started, and as it was
        // is disabled.
        ImagingServiceStartOwed = stateBefore != SERVICE_STOPPED_STATE && startType != SERVICE_DISABLED_TYPE;
        ImagingServiceDebt = ServiceDebt::Stopping;
    }
    const bool stopped = service.Stop();
    {
        const DebtSection section;
        if (!ProcessEnding) {
            // A stop that fails changes no start type: nothing is owed.
            ImagingServiceDebt = stopped ? ServiceDebt::Owed : ServiceDebt::None;
            if (!stopped) {
                DeleteMachineKey(SERVICE_DEBT_KEY);
            }
            return stopped;
        }
        ImagingServiceDebt = ServiceDebt::Returning;
    }
    // A close came during the stop; the handler waits for this thread to
    // give the service back as it would have.
    GiveBackQuietly();
    return false;
}

void GiveImagingServiceBack(CWIAControl* service, bool announce)
{
    if (ImagingServiceDebt != ServiceDebt::Owed) {
        return;
    }
    // Printed outside the section: a selection in the window can hold the
    // print for as long as it lasts, and the handler must not wait for it.
    // A service kept from starting is not started, and nothing is said.
    const bool start = ImagingServiceStartOwed;
    if (announce && start) {
        PrintMessage(MSG_STARTING_WIA, Language);
    }
    {
        const DebtSection section;
        // The handler may have taken it over meanwhile.
        if (ImagingServiceDebt != ServiceDebt::Owed) {
            return;
        }
        ImagingServiceDebt = ServiceDebt::Returning;
    }
    std::optional<CWIAControl> fresh;
    if (service == nullptr) {
        service = &fresh.emplace();
    }
    // The start type it had, whatever that was: the owner's choice stands.
    const std::uint32_t startType = ImagingServiceStartTypeOwed;
    const bool started = start ? service->Start(startType) : service->SetStartType(startType);
    // The record stays after a failed start, so the next run tries again.
    if (started) {
        DeleteMachineKey(SERVICE_DEBT_KEY);
    }
    {
        const DebtSection section;
        ImagingServiceDebt = ServiceDebt::None;
    }
    if (!started && announce) {
        PrintMessage(MSG_WIA_START_FAILED, Language);
    }
}

void GiveImagingServiceBackOnClose()
{
    const std::uint32_t startTick = TickCount();
    ServiceDebt found = ServiceDebt::None;
    bool imageInFlight = false;
    {
        const DebtSection section;
        // From here on nothing new is written to the scanner, and no stop
        // begins.
        ProcessEnding = true;
        found = ImagingServiceDebt;
        imageInFlight = ImageInFlight;
        if (found == ServiceDebt::Owed) {
            ImagingServiceDebt = imageInFlight ? ServiceDebt::LeftForNextRun : ServiceDebt::Returning;
        }
    }
    if (imageInFlight) {
        // The scanner is receiving or burning its image: the service stays
        // off and the record stays for the next run. A whole image is safer
        // with the scanner than a cut one, so a write under way gets what
        // the budget leaves.
        WaitWithinBudget(startTick, [] { return ImageWriteUnderWay.load(); });
        return;
    }
    if (found == ServiceDebt::Owed) {
        GiveBackQuietly();
        return;
    }
    // The main thread is stopping the service or giving it back: it
    // finishes that, quietly after a close, while the handler waits.
    WaitWithinBudget(startTick, MainThreadIsOnIt);
}

bool DebtLeftBehind(bool* imageSent)
{
    std::uint32_t startType = 0;
    return ReadRecord(&startType, imageSent) == Record::Found;
}

void SettleDebtLeftBehind()
{
    std::uint32_t recorded = SERVICE_AUTO_START_TYPE;
    bool imageSent = false;
    std::uint32_t stateBefore = 0;
    const Record record = ReadRecord(&recorded, &imageSent, &stateBefore);
    if (record == Record::Absent) {
        return;
    }
    CWIAControl service;
    std::uint32_t startType = 0;
    ServiceStatus status{};
    const bool readable = service.ReadStartType(&startType) && service.QueryStatus(&status);
    // A service that was disabled before it was stopped cannot be started
    // again; one set otherwise since is as somebody wants it.
    if (record == Record::Incomplete || recorded == SERVICE_DISABLED_TYPE ||
        (readable && !AsThisUpdaterLeftIt(startType, recorded, status.dwCurrentState))) {
        DeleteMachineKey(SERVICE_DEBT_KEY);
        return;
    }
    // A service that run found stopped was only kept from starting by
    // itself: its start type goes back, quietly, and it stays stopped.
    // (A disabled one has gone above: it was not to start at all.)
    const bool start = stateBefore != SERVICE_STOPPED_STATE;
    if (start) {
        PrintMessage(MSG_STARTING_WIA, Language);
    }
    // What was read decides the start type's change; a service that could
    // not be read is tried from the start, and says why it fails.
    const bool changed = readable ? service.ChangeStartType(startType, recorded) : service.SetStartType(recorded);
    const bool started = changed && (!start || service.StartAndFollow());
    if (!started) {
        // The record stays, so the next run tries again; an image this run
        // sends is noted in it.
        {
            const DebtSection section;
            if (ImagingServiceDebt == ServiceDebt::None) {
                ImagingServiceDebt = ServiceDebt::LeftForNextRun;
            }
        }
        PrintMessage(MSG_WIA_START_FAILED, Language);
        return;
    }
    DeleteMachineKey(SERVICE_DEBT_KEY);
}
