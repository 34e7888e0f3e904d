#include "host/service_debt.h"

#include <optional>

#include "common/print.h"
#include "common/shared.h"
#include "platform/console_control.h"
#include "platform/registry.h"
#include "platform/service.h"

namespace {

const char* const STATE_VALUE = "ImagingServiceState";
const char* const START_TYPE_VALUE = "ImagingServiceStartType";

// Holds the section for one scope, on every return.
class DebtSection {
public:
    DebtSection() { LockServiceDebt(); }
    ~DebtSection() { UnlockServiceDebt(); }
    DebtSection(const DebtSection&) = delete;
    DebtSection& operator=(const DebtSection&) = delete;
};

// Writes one number into the record, creating the key when missing.
bool WriteRecord(const char* name, std::uint32_t value)
{
    Handle key = NO_HANDLE;
    if (CreateMachineKey(SERVICE_DEBT_KEY, &key) != 0) {
        return false;
    }
    const bool written = SetKeyNumber(key, name, value) == 0;
    CloseMachineKey(key);
    return written;
}

bool RecordFound()
{
    Handle key = NO_HANDLE;
    if (OpenMachineKey(SERVICE_DEBT_KEY, &key) != 0) {
        return false;
    }
    std::uint32_t type = 0;
    std::uint32_t state = 0;
    std::uint32_t size = sizeof state;
    const bool found = QueryKeyValue(key, STATE_VALUE, &type, &state, &size) == 0;
    CloseMachineKey(key);
    return found;
}

}  // namespace

bool StopImagingService(CWIAControl& service, std::uint32_t stateBefore)
{
    const DebtSection section;
    // Without the record a kill after the stop would leave the service down
    // for good; the update does not go on without it.
    if (!WriteRecord(STATE_VALUE, stateBefore)) {
        return false;
    }
    ImagingServiceOwed = true;
    if (!service.Stop()) {
        ImagingServiceOwed = false;
        DeleteMachineKey(SERVICE_DEBT_KEY);
        return false;
    }
    // What it was before we disabled it, for whoever reads the record.
    WriteRecord(START_TYPE_VALUE, service.StartTypeBefore());
    return true;
}

void GiveImagingServiceBack(CWIAControl* service, bool announce)
{
    const DebtSection section;
    if (!ImagingServiceOwed) {
        return;
    }
    if (announce) {
        PrintMessage(MSG_STARTING_WIA, Language);
    }
    std::optional<CWIAControl> fresh;
    if (service == nullptr) {
        service = &fresh.emplace();
    }
    const bool started = service->Start();
    // This run has tried; no second try from the other thread.
    ImagingServiceOwed = false;
    if (!started) {
        // The record stays, so the next run tries again.
        if (announce) {
            PrintMessage(MSG_WIA_START_FAILED, Language);
        }
        return;
    }
    DeleteMachineKey(SERVICE_DEBT_KEY);
}

void SettleDebtLeftBehind()
{
    if (!RecordFound()) {
        return;
    }
    ImagingServiceOwed = true;
    GiveImagingServiceBack(nullptr, true);
}
