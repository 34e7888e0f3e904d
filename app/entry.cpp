#include "app/entry.h"

#include <optional>

#include "app/interruption.h"
#include "app/sequence.h"
#include "common/print.h"
#include "common/shared.h"
#include "host/guards.h"
#include "host/service_debt.h"
#include "host/wia_control.h"
#include "link/discovery.h"
#include "link/transfer.h"
#include "link/wire.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/handle.h"
#include "platform/mutex.h"
#include "platform/process.h"

namespace {

// Chinese (Taiwan) exactly: other Chinese variants read English.
constexpr std::uint16_t TAIWAN_LANGUAGE_ID = 0x0404;
// Both outcome messages promise the user these 20 seconds to read them.
constexpr std::uint32_t CLOSING_PAUSE_MS = 20000;

// Gives up ownership of a guard mutex the run took. The handle stays open
// until the process ends: closing it is left to the platform.
void ReleaseGuardMutex(Handle* slot)
{
    if (IsOpenHandle(*slot)) {
        ReleaseOwnedMutex(*slot);
    }
    *slot = INVALID_HANDLE;
}

// Asks a scanner on the bus, without a word on the console, whether it
// still burns: a run that ended during the burn left the imaging service
// off so that the two never meet, and a run started right after it must not
// bring the service back early. The handle goes again; discovery opens its
// own.
bool ScannerStillBurning()
{
    DeviceHandle = RediscoverScanner();
    if (DeviceHandle == NO_HANDLE) {
        return false;
    }
    CommandBlock block;
    BuildCommandBlock(&block, OP_STATUS, SUB_FIRMWARE, 0, 0);
    StatusReply reply{};
    const bool burning = ExchangeCommand(&block, &reply) && ReplyState(reply) == STATE_BURNING;
    if (IsOpenHandle(DeviceHandle)) {
        CloseObject(DeviceHandle);
    }
    DeviceHandle = NO_HANDLE;
    return burning;
}

}  // namespace

std::int32_t ModeForDevice(std::uint16_t vendorId, std::uint16_t productId)
{
    return vendorId == SCANNER_VENDOR_ID && productId == REBOOT_PROMPT_PRODUCT_ID ? 1 : 0;
}

bool RunUpdateSequence(int argc, char** argv)
{
    // The service object lives as long as the sequence, so the handles that
    // its status query opens serve the stop and the restart after it.
    std::optional<CWIAControl> imagingService;
    imagingService.emplace();

    Language = UserDefaultLanguageId() == TAIWAN_LANGUAGE_ID ? 1 : 0;
    UpdateMode = 0;
    UpdateMode = ReadOptions(argc, argv, UpdateMode);
    // Echoed before any device is touched, so the user sees the options took.
    ConsolePrintf("%d\n", static_cast<int>(UpdateMode));
    // A run killed while it had the imaging service disabled left a record;
    // the service comes back first, whether or not a scanner is found now.
    // Only the holder of the one-updater mutex may: while another copy
    // holds it, the record is that copy's, and its update is live. Nor
    // while the scanner still burns what the dead run sent: the record
    // waits for a run that finds the burn over.
    if (AcquireUpdaterMutex() && !(DebtLeftBehind() && ScannerStillBurning())) {
        SettleDebtLeftBehind();
    }

    DeviceDescriptor found = {};
    if (!FindScanner(&found)) {
        return false;
    }
    // The found device overrides the options' mode; nothing between the
    // search and here reads it.
    UpdateMode = ModeForDevice(found.usVendorId, found.usProductId);
    return RunUpdateStages(imagingService);
}

int UpdaterMain(int argc, char** argv)
{
    ScannerMutex = INVALID_HANDLE;
    UtilityMutex = INVALID_HANDLE;
    UpdaterMutex = INVALID_HANDLE;
    InstallInterruptionHandling();
    // A click in the window would start a selection that holds every line
    // the run prints, and the main thread with it, until a key is pressed.
    HoldConsoleSelectionOff();

    const bool succeeded = RunUpdateSequence(argc, argv);

    ReleaseGuardMutex(&ScannerMutex);
    ReleaseGuardMutex(&UtilityMutex);
    ReleaseGuardMutex(&UpdaterMutex);
    // The closing message may well be copied out of the window.
    RestoreConsoleSelection();
    PrintMessage(succeeded ? MSG_UPDATE_SUCCEEDED : MSG_UPDATE_FAILED, Language);
    SleepMs(CLOSING_PAUSE_MS);
    // The exit code never tells success from failure; the console does.
    return 0;
}
