#include "update/burn_monitor.h"

#include "common/print.h"
#include "common/shared.h"
#include "link/discovery.h"
#include "link/transfer.h"
#include "link/wire.h"
#include "platform/clock.h"
#include "update/readiness.h"

namespace {

void PrintProgress(int counter)
{
    // The same English line in both languages: it is not a catalogue entry.
    ConsolePrintf("Burning firmware... (%d)\n", counter);
}

}  // namespace

bool FollowNormalBurn(std::int32_t updateMode)
{
    CommandBlock poll;
    BuildCommandBlock(&poll, OP_STATUS, SUB_FIRMWARE, 0, 0);
    StatusReply reply{};
    // Firmware keeps answering while it burns. A scanner that says
    // "burning" for ever would keep the imaging service disabled and both
    // mutexes held for as long as the window stays open, so the burn gets
    // the readiness wait's bound, counted from the first poll in time the PC
    // was awake: the scanner burns on while the PC sleeps, and a sleep
    // longer than the bound must not by itself fail a burn that finished.
    // The bound is looked at only after a poll: a progress line the console
    // held for minutes (a selection in its window) must not fail a burn
    // that finished meanwhile, so the scanner always has the last word.
    const std::uint64_t start = AwakeMs();
    for (int counter = 1;; ++counter) {
        if (!ExchangeCommandWithRetry(&poll, &reply)) {
            PrintMessage(MSG_BURN_ERROR, Language);
            return false;
        }
        const std::uint16_t state = ReplyState(reply);
        if (state == STATE_READY) {
            PrintMessage(MSG_BURN_DONE, Language);
            if (updateMode == 1) {
                PrintMessage(MSG_REBOOT_SCANNER, Language);
            }
            return true;
        }
        if (state != STATE_BURNING || AwakeMs() - start >= READY_WAIT_MS) {
            PrintMessage(MSG_BURN_ERROR, Language);
            return false;
        }
        PrintProgress(counter);
        SleepMs(POLL_INTERVAL_MS);
    }
}

bool FollowRecoveryBurn()
{
    // One counter for both waits: leaving late leaves less time to return,
    // so the whole power cycle stays within about POWER_CYCLE_LIMIT seconds.
    // The handle of the check before tells whether the scanner left since,
    // even if it is back already: a check made late (a console write held
    // by a selection) must not miss a power cycle and wait for one that
    // has happened. The search runs on every check all the same, the one
    // that finds the handle dead included: it reports a device on the bus
    // that cannot say what it is on every pass, as every search does, and
    // replaces the dead handle with what is on the bus now.
    int counter = 1;
    for (;;) {
        SleepMs(POLL_INTERVAL_MS);
        const bool stayed = ScannerHandleAlive();
        const bool found = ReconnectScanner();
        if (!stayed || !found) {
            break;
        }
        PrintProgress(counter);
        if (counter == POWER_CYCLE_LIMIT) {
            PrintMessage(MSG_POWER_OFF_TIMEOUT, Language);
            return false;
        }
        ++counter;
    }

    ConsolePrintf("\n");
    PrintMessage(MSG_POWER_OFF_CHECK, Language);
    PrintMessage(MSG_POWER_ON_CHECK, Language);
    for (;;) {
        ++counter;
        SleepMs(POLL_INTERVAL_MS);
        if (ReconnectScanner()) {
            ConsolePrintf("\n");
            break;
        }
        if (counter >= POWER_CYCLE_LIMIT) {
            PrintMessage(MSG_POWER_ON_TIMEOUT, Language);
            return false;
        }
    }

    // Back from its power cycle, the scanner may run its new firmware or its
    // loader again; either answer means it took the image.
    std::uint16_t state = STATE_READY;
    if (!WaitUntilReadyForTenMinutes(&state)) {
        return false;
    }
    PrintMessage(MSG_BURN_DONE, Language);
    return true;
}
