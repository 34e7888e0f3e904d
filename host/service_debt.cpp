#include "host/service_debt.h"

#include <optional>

#include "common/print.h"
#include "common/shared.h"
#include "host/give_back.h"
#include "platform/clock.h"
#include "platform/console_control.h"
#include "platform/registry.h"
#include "platform/service.h"

namespace {

const char* const STATE_VALUE = "ImagingServiceState";
const char* const START_TYPE_VALUE = "ImagingServiceStartType";

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
// writes could not complete is no record and is removed. The record is on
// disk before the service is touched: the registry writes a hive out only
// lazily, and power lost before that would leave a disabled service that
// no record repairs.
bool WriteRecord(std::uint32_t state, std::uint32_t startType)
{
    Handle key = NO_HANDLE;
    if (CreateMachineKey(SERVICE_DEBT_KEY, &key) != 0) {
        return false;
    }
    const bool written =
        SetKeyNumber(key, START_TYPE_VALUE, startType) == 0 && SetKeyNumber(key, STATE_VALUE, state) == 0;
    CloseMachineKey(key);
    if (!written || FlushMachineKey(SERVICE_DEBT_KEY) != 0) {
        DeleteMachineKey(SERVICE_DEBT_KEY);
        return false;
    }
    return true;
}

// The start type the service is given back on its disk before the record
// goes: otherwise power lost between the two can bring back a disabled
// service with the record that would repair it gone. A record that stays
// because of it only costs the next run a look at the service.
void RemoveRecordOnceServiceIsOnDisk()
{
    if (FlushMachineKey(SERVICE_CONFIG_KEY) == 0) {
        DeleteMachineKey(SERVICE_DEBT_KEY);
    }
}

enum class Record { Absent, Incomplete, Found };
enum class Number { Missing, Read, Unreadable };

// One number of the record: a REG_DWORD of four bytes. Anything else there
// (another type, another size, more than the room) is Unreadable: somebody
// else wrote it, and nothing of it is believed.
Number RecordNumber(Handle key, const char* name, std::uint32_t* number)
{
    std::uint32_t type = 0;
    std::uint32_t value = 0;
    std::uint32_t size = sizeof value;
    const std::int32_t status = QueryKeyValue(key, name, &type, &value, &size);
    if (status == REG_VALUE_NOT_FOUND) {
        return Number::Missing;
    }
    if (status != 0 || type != REG_DWORD_TYPE || size != sizeof value) {
        return Number::Unreadable;
    }
    *number = value;
    return Number::Read;
}

// A start type the service manager takes back for a program's service:
// automatic, on demand or disabled. Boot and system starts belong to
// drivers and are refused on every try, so a record holding one (or
// anything else) would never be settled: the service gets its default.
std::uint32_t StartTypeToRestore(Number read, std::uint32_t recorded)
{
    const bool valid = recorded == SERVICE_AUTO_START_TYPE || recorded == SERVICE_DEMAND_START_TYPE ||
                       recorded == SERVICE_DISABLED_TYPE;
    return read == Number::Read && valid ? recorded : IMAGING_SERVICE_DEFAULT_START_TYPE;
}

// The record, the start type it asks back (the service's default when it
// names none we can restore), whether its run had begun to send the image
// and, in `stateBefore` when asked, the state that run found the service in
// (0 when unreadable: the service is then started, as for a running one). A
// state we cannot read still makes a record: the service may be disabled
// behind it. An ImageSent we cannot read counts as sent, so the scanner is
// asked before the service is started.
Record ReadRecord(std::uint32_t* startType, bool* imageSent, std::uint32_t* stateBefore = nullptr)
{
    Handle key = NO_HANDLE;
    if (OpenMachineKey(SERVICE_DEBT_KEY, &key) != 0) {
        return Record::Absent;
    }
    std::uint32_t state = 0;
    std::uint32_t recorded = 0;
    std::uint32_t sent = 0;
    const Number stateRead = RecordNumber(key, STATE_VALUE, &state);
    const bool found = stateRead != Number::Missing;
    if (stateBefore != nullptr) {
        *stateBefore = stateRead == Number::Read ? state : 0;
    }
    const Number startTypeRead = RecordNumber(key, START_TYPE_VALUE, &recorded);
    *startType = StartTypeToRestore(startTypeRead, recorded);
    const Number sentRead = RecordNumber(key, IMAGE_SENT_VALUE, &sent);
    *imageSent = sentRead == Number::Unreadable || (sentRead == Number::Read && sent != 0);
    CloseMachineKey(key);
    return found ? Record::Found : Record::Incomplete;
}

// What a run that stopped the service leaves: disabled, or, when it ended
// between the stop and the disable, stopped (or still stopping) with its
// start type untouched. Anything else is somebody's later choice, and it
// stands.
bool AsThisUpdaterLeftIt(std::uint32_t startTypeNow, std::uint32_t recorded, std::uint32_t stateNow)
{
    const bool down = stateNow == SERVICE_STOPPED_STATE || stateNow == SERVICE_STOP_PENDING_STATE;
    return startTypeNow == SERVICE_DISABLED_TYPE || (startTypeNow == recorded && down);
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
        RemoveRecordOnceServiceIsOnDisk();
    }
    const DebtSection section;
    ImagingServiceDebt = done ? ServiceDebt::None : ServiceDebt::LeftForNextRun;
}

// Sleeps in short steps while `busy` holds, within the handler's budget.
template <typename Busy> void WaitWithinBudget(std::uint32_t startTick, std::uint32_t budgetMs, Busy busy)
{
    while (busy() && TickCount() - startTick < budgetMs) {
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
    // A record that stands already (a dead run's, kept while its scanner
    // may still burn or after its give-back failed) names the service as it
    // was before any updater touched it, and is never written over: a record
    // of the service that run left, disabled or stopped, would give it back
    // so for good. What it names is what this run owes. A service it left
    // stopped and disabled is off already.
    std::uint32_t recordedType = 0;
    std::uint32_t recordedState = 0;
    bool imageSent = false;
    const bool standing = ReadRecord(&recordedType, &imageSent, &recordedState) == Record::Found;
    if (standing && stateBefore == SERVICE_STOPPED_STATE && startType == SERVICE_DISABLED_TYPE) {
        return true;
    }
    // Before the service is touched: a run cut from here on (a kill in the
    // stop's wait, a close in the burn) leaves the service owed with nobody
    // to run the updater again, and the give-back brings it back by itself.
    // Without it the update goes on, and the record waits for a next run;
    // with no record to settle it removes itself. A give-back that stands
    // for a standing record is kept: a new one that could not be made
    // would otherwise leave that record with none.
    if (!standing || !KeepGiveBack()) {
        PrepareGiveBack();
    }
    {
        const DebtSection section;
        // Without the record a kill after the stop would leave the service
        // down for good; the update does not go on without it. After a
        // close the service is not touched at all.
        if (ProcessEnding || (!standing && !WriteRecord(stateBefore, startType))) {
            return false;
        }
        ImagingServiceStartTypeOwed = standing ? recordedType : startType;
        // A service found stopped was only kept from starting by itself:
        // it goes back stopped.
        // So is one that was disabled: it cannot be started, and as it was
        // is disabled.
        const std::uint32_t owedState = standing ? recordedState : stateBefore;
        ImagingServiceStartOwed =
            owedState != SERVICE_STOPPED_STATE && ImagingServiceStartTypeOwed != SERVICE_DISABLED_TYPE;
        ImagingServiceDebt = ServiceDebt::Stopping;
    }
    const bool stopped = service.Stop();
    {
        const DebtSection section;
        if (!ProcessEnding) {
            // A stop that fails changes no start type: this run owes
            // nothing, and a dead run's record stays for the next run.
            if (stopped) {
                ImagingServiceDebt = ServiceDebt::Owed;
            } else if (standing) {
                ImagingServiceDebt = ServiceDebt::LeftForNextRun;
            } else {
                ImagingServiceDebt = ServiceDebt::None;
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

bool GiveImagingServiceBack(CWIAControl* service, bool announce)
{
    if (ImagingServiceDebt != ServiceDebt::Owed) {
        return true;
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
            return true;
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
        RemoveRecordOnceServiceIsOnDisk();
    }
    {
        const DebtSection section;
        ImagingServiceDebt = ServiceDebt::None;
    }
    if (!started && announce) {
        PrintMessage(MSG_WIA_START_FAILED, Language);
    }
    return started;
}

void GiveImagingServiceBackOnClose(std::uint32_t budgetMs)
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
        WaitWithinBudget(startTick, budgetMs, [] { return ImageWriteUnderWay.load(); });
        return;
    }
    if (found == ServiceDebt::Owed) {
        GiveBackQuietly();
        return;
    }
    // The main thread is stopping the service or giving it back: it
    // finishes that, quietly after a close, while the handler waits.
    WaitWithinBudget(startTick, budgetMs, MainThreadIsOnIt);
}

bool DebtLeftBehind(bool* imageSent)
{
    std::uint32_t startType = 0;
    return ReadRecord(&startType, imageSent) == Record::Found;
}

void SettleDebtLeftBehind()
{
    std::uint32_t recorded = IMAGING_SERVICE_DEFAULT_START_TYPE;
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
    // again; one set otherwise since is as somebody wants it. The start type
    // seen may be a give-back that power lost would still take away, so the
    // record goes only once it is on the disk.
    if (record == Record::Incomplete || recorded == SERVICE_DISABLED_TYPE ||
        (readable && !AsThisUpdaterLeftIt(startType, recorded, status.dwCurrentState))) {
        RemoveRecordOnceServiceIsOnDisk();
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
    RemoveRecordOnceServiceIsOnDisk();
}
