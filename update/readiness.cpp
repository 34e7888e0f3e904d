#include "update/readiness.h"

#include "common/print.h"
#include "common/shared.h"
#include "link/transfer.h"
#include "link/wire.h"
#include "platform/clock.h"

bool WaitUntilReadyForTenMinutes(std::uint16_t* state)
{
    CommandBlock poll;
    BuildCommandBlock(&poll, OP_STATUS, SUB_DEVICE, 0, 0);
    StatusReply reply{};
    // Counted in time the PC was awake: a sleep in the middle does not use
    // up the scanner's ten minutes. The bound is looked at after each
    // answer, so a busy line the console held past it (a selection in its
    // window) still gets one more poll: the scanner has the last word.
    const std::uint64_t start = AwakeMs();
    for (;;) {
        if (!ExchangeCommandWithRetry(&poll, &reply)) {
            PrintMessage(MSG_STATUS_ERROR, Language);
            return false;
        }
        const std::uint16_t now = ReplyState(reply);
        if (now == STATE_READY || now == STATE_RECOVERY) {
            *state = now;
            return true;
        }
        if (AwakeMs() - start >= READY_WAIT_MS) {
            PrintMessage(MSG_NOT_RESPONDING, Language);
            return false;
        }
        PrintMessage(MSG_DEVICE_BUSY, Language);
        SleepMs(POLL_INTERVAL_MS);
    }
}
