#include "app/give_back.h"

#include <cstring>

#include "app/sequence.h"
#include "common/shared.h"
#include "host/give_back.h"
#include "host/guards.h"
#include "host/service_debt.h"
#include "platform/mutex.h"
#include "report/event_log.h"
#include "report/run_record.h"

bool IsGiveBackRun(int argc, char** argv)
{
    return argc == 2 && argv[1] != nullptr && std::strcmp(argv[1], GIVE_BACK_SWITCH) == 0;
}

namespace {

// A task's run that settled the record, or gave up on it, is news for an
// administrator: the run that left the service off was cut and wrote
// nothing of its own. A run that only waited for the burn is not.
void ReportGiveBackEnd(bool givenBack, std::uint32_t runs, int code)
{
    LogGiveBackEnd(givenBack, runs);
    const RunSummary record = WriteRunRecord({givenBack ? "ServiceGivenBack" : "GiveBackGaveUp", code, false});
    if (record.skipped != RecordSkipped::None && record.skipped != RecordSkipped::NotBegun) {
        LogRecordNotWritten(RecordSkippedName(record.skipped));
    }
}

}  // namespace

int RunGiveBack(int argc, char** argv)
{
    // Only the mutex's holder writes anything: while a run holds it, that
    // run owns the record, and this run neither counts nor waits.
    if (!AcquireUpdaterMutex()) {
        return GIVE_BACK_NOT_YET;
    }
    bool imageSent = false;
    const bool owed = DebtLeftBehind(&imageSent);
    if (owed) {
        BeginRunRecord(argc, argv);
    }
    const std::uint32_t runs = CountGiveBackRun();
    // The last run no longer waits for the scanner; a start that fails
    // even then leaves the record to the next run of the updater.
    const bool lastRun = runs >= GIVE_BACK_MOST_RUNS;
    if (lastRun) {
        SettleDebtLeftBehind();
    } else {
        SettleDebtIfScannerDone();
    }
    const bool settled = !DebtLeftBehind(&imageSent);
    const bool done = lastRun || settled;
    if (done) {
        DismantleGiveBack();
    }
    // All the record's work is done: the mutex may go.
    ReleaseOwnedMutex(UpdaterMutex);
    UpdaterMutex = INVALID_HANDLE;
    const int code = done ? GIVE_BACK_DONE : GIVE_BACK_NOT_YET;
    if (owed && done) {
        ReportGiveBackEnd(settled, runs, code);
    }
    return code;
}
