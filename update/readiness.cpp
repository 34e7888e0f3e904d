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
    const std::uint32_t start = TickCount();
    for (;;) {
        // The tick count wraps at 2^32; the unsigned difference still gives
        // the time elapsed, so the wait lasts its full bound at any start.
        const std::uint32_t elapsed = TickCount() - start;
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
