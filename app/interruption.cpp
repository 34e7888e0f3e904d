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
// ends the process after a few seconds whatever the handler says. The
// handler uses them to give back the imaging service, then lets the process
// end.
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
    // From here on nothing new is written to the scanner: a write the main
    // thread started would run into the service's restart.
    ProcessEnding = true;
    GiveImagingServiceBack(nullptr, false);
    return false;
}

}  // namespace

void InstallInterruptionHandling()
{
    InstallConsoleControlHandler(OnConsoleControl);
}
