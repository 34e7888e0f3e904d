#include "app/give_back.h"

#include <cstring>

#include "app/sequence.h"
#include "common/shared.h"
#include "host/give_back.h"
#include "host/guards.h"
#include "host/service_debt.h"
#include "platform/mutex.h"

bool IsGiveBackRun(int argc, char** argv)
{
    return argc == 2 && argv[1] != nullptr && std::strcmp(argv[1], GIVE_BACK_SWITCH) == 0;
}

int RunGiveBack()
{
    // Only the mutex's holder writes anything: while a run holds it, that
    // run owns the record, and this run neither counts nor waits.
    if (!AcquireUpdaterMutex()) {
        return GIVE_BACK_NOT_YET;
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
    bool imageSent = false;
    const bool done = lastRun || !DebtLeftBehind(&imageSent);
    if (done) {
        DismantleGiveBack();
    }
    // All the record's work is done: the mutex may go.
    ReleaseOwnedMutex(UpdaterMutex);
    UpdaterMutex = INVALID_HANDLE;
    return done ? GIVE_BACK_DONE : GIVE_BACK_NOT_YET;
}
