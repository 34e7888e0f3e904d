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
    // up the scanner's ten minutes.
    const std::uint64_t start = AwakeMs();
    for (;;) {
        const std::uint64_t elapsed = AwakeMs() - start;
        if (elapsed >= READY_WAIT_MS) {
            PrintMessage(MSG_NOT_RESPONDING, Language);
            return false;
        }
        if (!ExchangeCommandWithRetry(&poll, &reply)) {
            PrintMessage(MSG_STATUS_ERROR, Language);
            return false;
        }
        const std::uint16_t now = ReplyState(reply);
        if (now == STATE_READY || now == STATE_RECOVERY) {
            *state = now;
            return true;
        }
        PrintMessage(MSG_DEVICE_BUSY, Language);
        SleepMs(POLL_INTERVAL_MS);
    }
}
