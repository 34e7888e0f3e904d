#include "app/interruption.h"

#include <algorithm>
#include <cstdint>

#include "common/shared.h"
#include "host/service_debt.h"
#include "platform/console.h"
#include "platform/console_control.h"

namespace {

// Ctrl+C and Ctrl+Break are ignored while an update is under way: a half-run
// update can leave the imaging service disabled and the scanner in its
// recovery loader. Before and after, they end the process as usual.
// Closing the window, log-off and shutdown cannot be refused: the platform
// ends the process when the handler returns, or at the system's time limit
// for the event whatever the handler is doing (5 s unless changed), while
// the main thread is still inside whatever call it was in. The handler uses
// them to settle the imaging service, then lets the process end.
//
// The handler keeps a second of the limit in hand, half of it for a limit
// under two seconds: what that margin covers (the handler thread's start on
// a PC busy ending a session, the last poll's step, the return through the
// default handler) does not shrink or grow with the limit. What the handler
// leaves undone the record covers; what it leaves half-done nothing does.
std::uint32_t HandlerBudgetMs(std::uint32_t limitMs)
{
    constexpr std::uint32_t MARGIN_MS = 1000;
    return limitMs - std::min(MARGIN_MS, limitMs / 2);
}

bool OnConsoleControl(ConsoleControl event)
{
    if (event == ConsoleControl::Interrupt || event == ConsoleControl::Break) {
        if (UpdateUnderWay) {
            return true;
        }
        // The process ends: the console it leaves behind gets its own mode.
        RestoreConsoleSelection();
        return false;
    }
    RestoreConsoleSelection();
    const std::uint32_t limitMs = event == ConsoleControl::Close ? CloseTimeLimitMs : SessionEndTimeLimitMs;
    GiveImagingServiceBackOnClose(HandlerBudgetMs(limitMs));
    return false;
}

}  // namespace

void InstallInterruptionHandling()
{
    CloseTimeLimitMs = ControlEventTimeLimitMs(ConsoleControl::Close);
    SessionEndTimeLimitMs = ControlEventTimeLimitMs(ConsoleControl::Logoff);
    InstallConsoleControlHandler(OnConsoleControl);
}
