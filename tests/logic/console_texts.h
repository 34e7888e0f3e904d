// Console text the tests expect, typed from the message table. Each
// catalogue message is its text plus the one line end more that
// PrintMessage adds.
#pragma once
#include <string>

namespace texts {

inline const std::string WARNING = "Warning - no following argument!!\n\n";
inline const std::string DESCRIPTOR_ERROR = "Get device descriptor error!!\n\n";
inline const std::string FOUND = "Device found!!\n\n";
inline const std::string NOT_FOUND = "Device not found!!\nEnd program...\n\n";
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
inline const std::string USB_OVERLAPPED_ERROR = "Get USB overlapped result error!!\n\n";
inline const std::string USB_WRITE_ERROR = "Write to USB error!!\n\n";
inline const std::string USB_READ_ERROR = "Read from USB error!!\n\n";
inline const std::string USB_SIZE_MISMATCH = "Request and return USB data size not matched!!\n\n";
inline const std::string CLOSE_FAILED = "Failed to close WIA!! Please restart your computer and update again!!\n\n";
inline const std::string START_FAILED = "Failed to Start WIA!!\n\n";
inline const std::string FAILED = "Update Failed: After 20 second will close windows\n\n";
inline const std::string SUCCEEDED = "Update Succeed: After 20 second will close windows\n\n";
inline const std::string CLOSING = "Close WIA service...\n\n";
inline const std::string STARTING = "Start WIA service...\n\n";
inline const std::string POWER_ON_CHECK = "Check Device power on...\n\n";
inline const std::string POWER_OFF_CHECK = "Check Device power off...\n\n";
inline const std::string POWER_ON_TIMEOUT = "Check Device power on time out!!!\n\n";
inline const std::string POWER_OFF_TIMEOUT = "Check Device power off time out!!!\n\n";
inline const std::string SCAN_APP_BUSY =
    "The Orvane Scan application is currently in use with another task or another user on this computer.  "
    "Please wait until the other task is complete and then try again.\n\n";
inline const std::string SCAN_APP_BUSY_RETRY =
    "The Orvane Scan application is currently in use with another task or another user on this computer.  "
    "Please wait until the other task is complete and then try again...\n\n";
inline const std::string UTILITY_BUSY =
    "The Tavin application is currently in use with another task or another user on this computer.  "
    "Please wait until the other task is complete and then try again.\n\n";
inline const std::string NOT_ELEVATED =
    "Please run this program as administrator (right-click it and choose \"Run as administrator\"), "
    "then try again. Nothing on this PC or the scanner was changed.\n\n";
inline const std::string IMAGE_DAMAGED =
    "This copy of fwupdate.exe is damaged or incomplete (its firmware does not match its check value). "
    "Get a fresh copy of fwupdate.exe and run that one. Nothing on this PC or the scanner was changed.\n\n";
inline const std::string LOCK_RESOURCE_ERROR = "Loading firmware (lock resource) error!!\n\n";
inline const std::string BLANK_LINE = "\n\n";
inline const std::string VERSION_CHECK = "Check Device firmware version...\n";
inline const std::string RELAYED_DONE =
    "Update relayed firmware done, waiting device auto power on then update the latest firmware.\n\n";
inline const std::string READY = "Device is ready... Please wait...\n\n";
// The help and the check's lines.
inline const std::string HELP_SWITCHES =
    "Usage: fwupdate.exe [/s] [/c] [/?]\n  (no switch)  update the scanner, then keep the window op"
    "en 20 seconds\n  /s  unattended: no pause at the end; the exit code tells the outcome\n  /c  c"
    "heck only: report whether an update can run now; nothing is changed\n  /?  this help (also /h,"
    " or any option that starts with --); nothing is changed\nA switch may start with - or /. /a an"
    "d /b N only change the number on the first line.\n\n";
inline const std::string HELP_EXIT_CODES =
    "Exit codes (with /s or /c; without them a run always exits 0):\n  0     updated (with /c: an u"
    "pdate can run now)\n  1618  busy: another update, the Orvane Scan application or the Tavin app"
    "lication\n        is using the scanner, or it still burns an earlier image; run again later\n "
    " 40    no scanner found\n  41    not run as administrator\n  42    failed before the image was"
    " sent: the scanner keeps its firmware\n  43    failed after the image was sent: the scanner ma"
    "y be in its recovery\n        loader; run again\n  44    updated, but the imaging service (WIA"
    ") was not started again\n  45    the firmware image inside this program is damaged\nEach run adds"
    " one line to %ProgramData%\\fwupdate\\runs.jsonl.\n\n";
inline const std::string CHECK_ONLY = "Check only: nothing on this PC or the scanner will be changed.\n";
inline const std::string CHECK_FIRMWARE = "The scanner runs its firmware.\n";
inline const std::string CHECK_RECOVERY = "The scanner runs its recovery loader.\n";
inline const std::string CHECK_BURNING = "The scanner is burning an image.\n";
inline const std::string CHECK_NO_ANSWER = "The scanner did not answer its status query.\n";
inline const std::string CHECK_UPDATER_FREE = "No other copy of the updater is running.\n";
inline const std::string CHECK_UPDATER_HELD = "Another copy of the updater is running.\n";
inline const std::string CHECK_SCAN_APP_FREE = "The Orvane Scan application is not using the scanner.\n";
inline const std::string CHECK_SCAN_APP_HELD = "The Orvane Scan application is using the scanner.\n";
inline const std::string CHECK_NO_NAME =
    "The scanner's name is not in the registry: the Orvane Scan application's lock cannot be checke"
    "d.\n";
inline const std::string CHECK_UTILITY_FREE = "The Tavin application is not using the scanner.\n";
inline const std::string CHECK_UTILITY_HELD = "The Tavin application is using the scanner.\n";
inline const std::string CHECK_NO_RECORD = "No interrupted run left the imaging service to be given back.\n";
inline const std::string CHECK_RECORD =
    "An interrupted run left the imaging service stopped: the next update gives it back first.\n";
inline const std::string CHECK_CAN_UPDATE = "An update can run now.\n";
inline const std::string CHECK_MUST_WAIT = "An update must wait: run again later.\n";
inline const std::string CHECK_CANNOT_UPDATE = "An update cannot run as things are.\n";
// One of the sequence's direct lines, not a catalogue message.
inline const std::string RECOVERY = "Recovery Mode!!!\n";

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

}  // namespace texts
