#include "update/download.h"

#include "common/print.h"
#include "common/shared.h"
#include "link/transfer.h"
#include "link/wire.h"
#include "platform/clock.h"
#include "platform/console_control.h"
#include "platform/registry.h"
#include "update/burn_monitor.h"
#include "update/firmware_image.h"
#include "update/readiness.h"

namespace {

// The image leaves only while no close is under way, and from then on a
// close finds it in flight: both under the debt lock, so the handler never
// restarts the imaging service beside a scanner that receives or burns.
// The record says so too, on disk: a run started after this one died (or
// after the power went) must not bring the service back while the scanner
// may still burn what it was sent. That holds for a dead run's record this
// run could not settle as much as for its own: either has the next run
// start the service. A record that cannot say so keeps the image back: the
// run ends as a send that failed, and the service is given back as usual.
// Run under the debt lock when a record is kept. Both hives go to disk
// before the first byte: the disabled start type, or power lost during the
// burn brings Windows up with the service starting beside it; the mark, or
// the next run takes the record for one made before any image and starts
// the service beside the burn. The record is written here rather than by
// the service's own code, which this layer does not call.
bool MarkImageSent()
{
    Handle key = NO_HANDLE;
    if (OpenMachineKey(SERVICE_DEBT_KEY, &key) != 0) {
        return false;
    }
    const bool written = SetKeyNumber(key, IMAGE_SENT_VALUE, 1) == 0;
    CloseMachineKey(key);
    return written && FlushMachineKey(SERVICE_DEBT_KEY) == 0 && FlushMachineKey(SERVICE_CONFIG_KEY) == 0;
}

bool BeginImageInFlight()
{
    LockServiceDebt();
    const ServiceDebt debt = ImagingServiceDebt;
    const bool recorded = debt == ServiceDebt::Owed || debt == ServiceDebt::LeftForNextRun;
    const bool allowed = !ProcessEnding && (!recorded || MarkImageSent());
    if (allowed) {
        ImageInFlight = true;
        ImageWriteUnderWay = true;
        ImageWriteBegun = true;
    }
    UnlockServiceDebt();
    return allowed;
}

// One request of the whole image, straight from the executable's memory:
// the scanner expects exactly the announced count in one go. Then the burn
// is followed to its end.
bool SendImageAndFollowBurn(const FirmwareImage& image, bool recovery, std::int32_t updateMode)
{
    const bool sent = BeginImageInFlight() && WriteData(image.data, image.size);
    ImageWriteUnderWay = false;
    if (!sent) {
        // A scanner without the whole image has nothing to burn.
        ImageInFlight = false;
        PrintMessage(MSG_SEND_DATA_ERROR, Language);
        return false;
    }
    SleepMs(BURN_START_DELAY_MS);
    PrintMessage(MSG_UPGRADE_WAIT, Language);
    const bool burnt = recovery ? FollowRecoveryBurn() : FollowNormalBurn(updateMode);
    ImageInFlight = false;
    return burnt;
}

}  // namespace

bool DownloadFirmware(std::uint16_t resourceId, std::int32_t updateMode)
{
    PrintMessage(MSG_LOADING_FIRMWARE, Language);
    FirmwareImage image;
    if (!LoadFirmwareImage(resourceId, &image)) {
        return false;
    }

    PrintMessage(MSG_CHECKING_FIRMWARE, Language);
    std::uint16_t state = STATE_READY;
    if (!WaitUntilReadyForTenMinutes(&state)) {
        return false;
    }
    // The loader takes the image under its own parameter and then restarts
    // off the bus, so the burn has to be followed differently.
    const bool recovery = state == STATE_RECOVERY;
    const std::uint16_t param = recovery ? DOWNLOAD_PARAM_RECOVERY : DOWNLOAD_PARAM_NORMAL;

    PrintMessage(MSG_SENDING_FIRMWARE, Language);
    CommandBlock announce;
    BuildCommandBlock(&announce, OP_WRITE, SUB_FIRMWARE, param, image.size);
    StatusReply reply{};
    if (!ExchangeCommandWithRetry(&announce, &reply)) {
        PrintMessage(MSG_SEND_COMMAND_ERROR, Language);
        return false;
    }
    return SendImageAndFollowBurn(image, recovery, updateMode);
}
