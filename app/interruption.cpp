#include "app/interruption.h"

#include "common/shared.h"
#include "host/service_debt.h"
#include "platform/console.h"
#include "platform/console_control.h"

namespace {

// Ctrl+C and Ctrl+Break are ignored while an update is under way: a half-run
// update can leave the imaging service disabled and the scanner in its
// recovery loader. Before and after, they end the process as usual.
// Closing the window, log-off and shutdown cannot be refused: the platform
// ends the process when the handler returns, or 5 seconds after the event
// whatever the handler is doing, while the main thread is still inside
// whatever call it was in. The handler uses them to settle the imaging
// service, then lets the process end.
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
    GiveImagingServiceBackOnClose();
    return false;
}

}  // namespace

void InstallInterruptionHandling()
{
    InstallConsoleControlHandler(OnConsoleControl);
}
