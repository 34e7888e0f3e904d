#include "update/download.h"

#include "common/print.h"
#include "common/shared.h"
#include "link/transfer.h"
#include "link/wire.h"
#include "platform/clock.h"
#include "update/burn_monitor.h"
#include "update/firmware_image.h"
#include "update/readiness.h"

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
    // One request of the whole image, straight from the executable's
    // memory: the scanner expects exactly the announced count in one go.
    if (!WriteData(image.data, image.size)) {
        PrintMessage(MSG_SEND_DATA_ERROR, Language);
        return false;
    }

    SleepMs(BURN_START_DELAY_MS);
    PrintMessage(MSG_UPGRADE_WAIT, Language);
    return recovery ? FollowRecoveryBurn() : FollowNormalBurn(updateMode);
}
