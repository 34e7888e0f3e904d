// Console text of the download and the burn, typed from the message table.
// Each catalogue message is its text plus the one line end more that
// PrintMessage adds.
#pragma once
#include <string>

namespace update_texts {

inline const std::string LOADING = "Loading firmware...\n\n";
inline const std::string FIND_RESOURCE_ERROR = "Loading firmware (find resource) error!!\n\n";
inline const std::string LOAD_RESOURCE_ERROR = "Loading firmware (load resource) error!!\n\n";
inline const std::string RESOURCE_EMPTY = "Loading firmware (resource length is zero) error!!\n\n";
inline const std::string CHECKING = "Checking firmware...\n\n";
inline const std::string BUSY = "Device is busy... Please wait...\n\n";
inline const std::string STATUS_ERROR = "Check device status error!!\n\n";
inline const std::string NOT_RESPONDING = "Device is not responsed!!\n\n";
inline const std::string SENDING = "Sending firmware...\n\n";
inline const std::string SEND_COMMAND_ERROR = "Send FW command error!!\n\n";
inline const std::string SEND_DATA_ERROR = "Send FW data error!!\n\n";
inline const std::string UPGRADE_WAIT =
    "FW Upgrade! Please wait...\nDuring firmware update, please make sure device power is stable.\n\n";
inline const std::string REBOOT = "Please reboot Scanner... \n\n";
inline const std::string BURN_DONE = "Burning firmware done!!\n\n";
inline const std::string BURN_ERROR = "Burning firmware error!!\n\n";
inline const std::string USB_TIMEOUT = "USB timeout error!!\n\n";
inline const std::string USB_WRITE_ERROR = "Write to USB error!!\n\n";
inline const std::string USB_READ_ERROR = "Read from USB error!!\n\n";
inline const std::string POWER_ON_CHECK = "Check Device power on...\n\n";
inline const std::string POWER_OFF_CHECK = "Check Device power off...\n\n";
inline const std::string POWER_ON_TIMEOUT = "Check Device power on time out!!!\n\n";
inline const std::string POWER_OFF_TIMEOUT = "Check Device power off time out!!!\n\n";

// Everything a download prints before it starts following the burn.
inline const std::string UNTIL_BURN = LOADING + CHECKING + SENDING + UPGRADE_WAIT;

// Progress lines first..last, as the burn monitor numbers them.
inline std::string Progress(int first, int last)
{
    std::string lines;
    for (int i = first; i <= last; ++i) {
        lines += "Burning firmware... (" + std::to_string(i) + ")\n";
    }
    return lines;
}

inline std::string Repeat(const std::string& text, int times)
{
    std::string all;
    for (int i = 0; i < times; ++i) {
        all += text;
    }
    return all;
}

}  // namespace update_texts
