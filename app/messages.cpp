#include "common/print.h"

#include <array>

namespace {

// English texts, in id order.
// Long texts run on over two lines as adjacent literals; no comma is
// missing between them.
// NOLINTBEGIN(bugprone-suspicious-missing-comma)
constexpr const char* ENGLISH_TEXTS[MESSAGE_COUNT] = {
    // 0 MSG_NO_FOLLOWING_ARGUMENT
    "Warning - no following argument!!\n",
    // 1 MSG_GET_DESCRIPTOR_ERROR
    "Get device descriptor error!!\n",
    // 2 MSG_DEVICE_FOUND
    "Device found!!\n",
    // 3 MSG_DEVICE_NOT_FOUND
    "Device not found!!\nEnd program...\n",
    // 4 MSG_LOADING_FIRMWARE
    "Loading firmware...\n",
    // 5 MSG_FIND_RESOURCE_ERROR
    "Loading firmware (find resource) error!!\n",
    // 6 MSG_LOAD_RESOURCE_ERROR
    "Loading firmware (load resource) error!!\n",
    // 7 MSG_LOCK_RESOURCE_ERROR
    "Loading firmware (lock resource) error!!\n",
    // 8 MSG_RESOURCE_EMPTY
    "Loading firmware (resource length is zero) error!!\n",
    // 9 MSG_NEWLINE
    "\n",
    // 10 MSG_CHECKING_FIRMWARE
    "Checking firmware...\n",
    // 11 MSG_DEVICE_BUSY
    "Device is busy... Please wait...\n",
    // 12 MSG_STATUS_ERROR
    "Check device status error!!\n",
    // 13 MSG_NOT_RESPONDING
    "Device is not responsed!!\n",
    // 14 MSG_SENDING_FIRMWARE
    "Sending firmware...\n",
    // 15 MSG_SEND_COMMAND_ERROR
    "Send FW command error!!\n",
    // 16 MSG_SEND_DATA_ERROR
    "Send FW data error!!\n",
    // 17 MSG_UPGRADE_WAIT
    "FW Upgrade! Please wait...\nDuring firmware update, please make sure device power is stable.\n",
    // 18 MSG_REBOOT_SCANNER
    "Please reboot Scanner... \n",
    // 19 MSG_BURN_DONE
    "Burning firmware done!!\n",
    // 20 MSG_BURN_ERROR
    "Burning firmware error!!\n",
    // 21 MSG_USB_TIMEOUT
    "USB timeout error!!\n",
    // 22 MSG_USB_OVERLAPPED_ERROR
    "Get USB overlapped result error!!\n",
    // 23 MSG_USB_WRITE_ERROR
    "Write to USB error!!\n",
    // 24 MSG_USB_READ_ERROR
    "Read from USB error!!\n",
    // 25 MSG_USB_SIZE_MISMATCH
    "Request and return USB data size not matched!!\n",
    // 26 MSG_WIA_CLOSE_FAILED
    "Failed to close WIA!! Please restart your computer and update again!!\n",
    // 27 MSG_WIA_START_FAILED
    "Failed to Start WIA!!\n",
    // 28 MSG_UPDATE_FAILED
    "Update Failed: After 20 second will close windows\n",
    // 29 MSG_UPDATE_SUCCEEDED
    "Update Succeed: After 20 second will close windows\n",
    // 30 MSG_CLOSING_WIA
    "Close WIA service...\n",
    // 31 MSG_STARTING_WIA
    "Start WIA service...\n",
    // 32 MSG_POWER_ON_CHECK
    "Check Device power on...\n",
    // 33 MSG_POWER_OFF_CHECK
    "Check Device power off...\n",
    // 34 MSG_POWER_ON_TIMEOUT
    "Check Device power on time out!!!\n",
    // 35 MSG_POWER_OFF_TIMEOUT
    "Check Device power off time out!!!\n",
    // 36 MSG_CHECK_VERSION
    "Check Device firmware version...",
    // 37 MSG_RELAY_DONE
    "Update relayed firmware done, waiting device auto power on then update the latest firmware.\n",
    // 38 MSG_DEVICE_READY
    "Device is ready... Please wait...\n",
    // 39 MSG_SCAN_APP_BUSY
    "The Orvane Scan application is currently in use with another task or another user on this com"
    "puter.  Please wait until the other task is complete and then try again.\n",
    // 40 MSG_SCAN_APP_BUSY_RETRY
    "The Orvane Scan application is currently in use with another task or another user on this com"
    "puter.  Please wait until the other task is complete and then try again...\n",
    // 41 MSG_UTILITY_BUSY
    "The Tavin application is currently in use with another task or another user on this computer."
    "  Please wait until the other task is complete and then try again.\n",
    // 42 MSG_NOT_ELEVATED
    "Please run this program as administrator (right-click it and choose \"Run as administrator\"), "
    "then try again. Nothing on this PC or the scanner was changed.\n",
    // 43 MSG_IMAGE_DAMAGED
    "This copy of fwupdate.exe is damaged or incomplete (its firmware does not match its check value). "
    "Get a fresh copy of fwupdate.exe and run that one. Nothing on this PC or the scanner was changed.\n",
};

// Traditional Chinese texts, in id order, as the code page 950 bytes that a
// Taiwanese console shows; the comment above each gives the characters. The
// console's code page is left alone, so these bytes go out unchanged.
constexpr const char* CHINESE_TEXTS[MESSAGE_COUNT] = {
    // 50 警告 - no following argument!!\n
    "\xC4\xB5\xA7\x69 - no following argument!!\n",
    // 51 獲取設備描述符的錯誤!!\n
    "\xC0\xF2\xA8\xFA\xB3\x5D\xB3\xC6\xB4\x79\xAD\x7A\xB2\xC5\xAA\xBA\xBF\xF9\xBB\x7E!!\n",
    // 52 設備發現!!\n
    "\xB3\x5D\xB3\xC6\xB5\x6F\xB2\x7B!!\n",
    // 53 設備未找到!!\n結束 程序...\n
    "\xB3\x5D\xB3\xC6\xA5\xBC\xA7\xE4\xA8\xEC!!\n\xB5\xB2\xA7\xF4 \xB5\x7B\xA7\xC7...\n",
    // 54 固件裝載中...\n
    "\xA9\x54\xA5\xF3\xB8\xCB\xB8\xFC\xA4\xA4...\n",
    // 55 加載固件（查找資源）錯誤!!\n
    "\xA5\x5B\xB8\xFC\xA9\x54\xA5\xF3\xA1\x5D\xAC\x64\xA7\xE4\xB8\xEA\xB7\xBD\xA1\x5E\xBF\xF9"
    "\xBB\x7E!!\n",
    // 56 加載固件（負載資源）錯誤!!\n
    "\xA5\x5B\xB8\xFC\xA9\x54\xA5\xF3\xA1\x5D\xAD\x74\xB8\xFC\xB8\xEA\xB7\xBD\xA1\x5E\xBF\xF9"
    "\xBB\x7E!!\n",
    // 57 加載固件（鎖定資源）錯誤!!\n
    "\xA5\x5B\xB8\xFC\xA9\x54\xA5\xF3\xA1\x5D\xC2\xEA\xA9\x77\xB8\xEA\xB7\xBD\xA1\x5E\xBF\xF9"
    "\xBB\x7E!!\n",
    // 58 加載固件（資源長度為零）錯誤!!\n
    "\xA5\x5B\xB8\xFC\xA9\x54\xA5\xF3\xA1\x5D\xB8\xEA\xB7\xBD\xAA\xF8\xAB\xD7\xAC\xB0\xB9\x73"
    "\xA1\x5E\xBF\xF9\xBB\x7E!!\n",
    // 59 \n
    "\n",
    // 60 檢查韌體...\n
    "\xC0\xCB\xAC\x64\xB6\xB4\xC5\xE9...\n",
    // 61 設備忙碌中... 請稍候...\n
    "\xB3\x5D\xB3\xC6\xA6\xA3\xB8\x4C\xA4\xA4... \xBD\xD0\xB5\x79\xAD\xD4...\n",
    // 62 檢查設備狀態錯誤!!\n
    "\xC0\xCB\xAC\x64\xB3\x5D\xB3\xC6\xAA\xAC\xBA\x41\xBF\xF9\xBB\x7E!!\n",
    // 63 設備未得到回覆!!\n
    "\xB3\x5D\xB3\xC6\xA5\xBC\xB1\x6F\xA8\xEC\xA6\x5E\xC2\xD0!!\n",
    // 64 發送韌體...\n
    "\xB5\x6F\xB0\x65\xB6\xB4\xC5\xE9...\n",
    // 65 發送韌體命令錯誤!!\n
    "\xB5\x6F\xB0\x65\xB6\xB4\xC5\xE9\xA9\x52\xA5\x4F\xBF\xF9\xBB\x7E!!\n",
    // 66 發送韌體數據錯誤!!\n
    "\xB5\x6F\xB0\x65\xB6\xB4\xC5\xE9\xBC\xC6\xBE\xDA\xBF\xF9\xBB\x7E!!\n",
    // 67 韌體升級，請稍候...\n在韌體更新期間，請確保設備電源隱定。\n
    "\xB6\xB4\xC5\xE9\xA4\xC9\xAF\xC5\xA1\x41\xBD\xD0\xB5\x79\xAD\xD4...\n\xA6\x62\xB6\xB4\xC5\xE9"
    "\xA7\xF3\xB7\x73\xB4\xC1\xB6\xA1\xA1\x41\xBD\xD0\xBD\x54\xAB\x4F\xB3\x5D\xB3\xC6\xB9\x71"
    "\xB7\xBD\xC1\xF4\xA9\x77\xA1\x43\n",
    // 68 請重啟掃描器...\n
    "\xBD\xD0\xAD\xAB\xB1\xD2\xB1\xBD\xB4\x79\xBE\xB9...\n",
    // 69 升級韌體完畢!!\n
    "\xA4\xC9\xAF\xC5\xB6\xB4\xC5\xE9\xA7\xB9\xB2\xA6!!\n",
    // 70 升級韌體錯誤!!\n
    "\xA4\xC9\xAF\xC5\xB6\xB4\xC5\xE9\xBF\xF9\xBB\x7E!!\n",
    // 71 USB超時錯誤!!\n
    "USB\xB6\x57\xAE\xC9\xBF\xF9\xBB\x7E!!\n",
    // 72 獲取USB重疊結果錯誤!!\n
    "\xC0\xF2\xA8\xFAUSB\xAD\xAB\xC5\x7C\xB5\xB2\xAA\x47\xBF\xF9\xBB\x7E!!\n",
    // 73 寫入USB錯誤!!\n
    "\xBC\x67\xA4\x4AUSB\xBF\xF9\xBB\x7E!!\n",
    // 74 讀取USB錯誤!!\n
    "\xC5\xAA\xA8\xFAUSB\xBF\xF9\xBB\x7E!!\n",
    // 75 請求與並返回USB數據大小不匹配!!\n
    "\xBD\xD0\xA8\x44\xBB\x50\xA8\xC3\xAA\xF0\xA6\x5EUSB\xBC\xC6\xBE\xDA\xA4\x6A\xA4\x70\xA4\xA3"
    "\xA4\xC7\xB0\x74!!\n",
    // 76 關閉 WIA 失敗!!請重新啟動電腦，再更新一次!!\n
    "\xC3\xF6\xB3\xAC WIA \xA5\xA2\xB1\xD1!!\xBD\xD0\xAD\xAB\xB7\x73\xB1\xD2\xB0\xCA\xB9\x71"
    "\xB8\xA3\xA1\x41\xA6\x41\xA7\xF3\xB7\x73\xA4\x40\xA6\xB8!!\n",
    // 77 啟動 WIA 失敗!!\n
    "\xB1\xD2\xB0\xCA WIA \xA5\xA2\xB1\xD1!!\n",
    // 78 更新失敗: 20 秒後即將關閉視窗!!\n
    "\xA7\xF3\xB7\x73\xA5\xA2\xB1\xD1: 20 \xAC\xED\xAB\xE1\xA7\x59\xB1\x4E\xC3\xF6\xB3\xAC\xB5\xF8"
    "\xB5\xA1!!\n",
    // 79 更新成功: 20 秒後即將關閉視窗!!\n
    "\xA7\xF3\xB7\x73\xA6\xA8\xA5\x5C: 20 \xAC\xED\xAB\xE1\xA7\x59\xB1\x4E\xC3\xF6\xB3\xAC\xB5\xF8"
    "\xB5\xA1!!\n",
    // 80 關閉 WIA 服務...\n
    "\xC3\xF6\xB3\xAC WIA \xAA\x41\xB0\xC8...\n",
    // 81 啟動 WIA 服務...\n
    "\xB1\xD2\xB0\xCA WIA \xAA\x41\xB0\xC8...\n",
    // 82 檢查裝置電源開啟...\n
    "\xC0\xCB\xAC\x64\xB8\xCB\xB8\x6D\xB9\x71\xB7\xBD\xB6\x7D\xB1\xD2...\n",
    // 83 檢查裝置電源關閉...\n
    "\xC0\xCB\xAC\x64\xB8\xCB\xB8\x6D\xB9\x71\xB7\xBD\xC3\xF6\xB3\xAC...\n",
    // 84 檢查裝置電源開啟超時!!!\n
    "\xC0\xCB\xAC\x64\xB8\xCB\xB8\x6D\xB9\x71\xB7\xBD\xB6\x7D\xB1\xD2\xB6\x57\xAE\xC9!!!\n",
    // 85 檢查裝置電源關閉超時!!!\n
    "\xC0\xCB\xAC\x64\xB8\xCB\xB8\x6D\xB9\x71\xB7\xBD\xC3\xF6\xB3\xAC\xB6\x57\xAE\xC9!!!\n",
    // 86 檢查裝置韌體版本...
    "\xC0\xCB\xAC\x64\xB8\xCB\xB8\x6D\xB6\xB4\xC5\xE9\xAA\xA9\xA5\xBB...",
    // 87 更新中繼固件完成，等待設備自動開機然後更新最新固件。\n
    "\xA7\xF3\xB7\x73\xA4\xA4\xC4\x7E\xA9\x54\xA5\xF3\xA7\xB9\xA6\xA8\xA1\x41\xB5\xA5\xAB\xDD"
    "\xB3\x5D\xB3\xC6\xA6\xDB\xB0\xCA\xB6\x7D\xBE\xF7\xB5\x4D\xAB\xE1\xA7\xF3\xB7\x73\xB3\xCC"
    "\xB7\x73\xA9\x54\xA5\xF3\xA1\x43\n",
    // 88 設備已準備... 請稍候...\n
    "\xB3\x5D\xB3\xC6\xA4\x77\xB7\xC7\xB3\xC6... \xBD\xD0\xB5\x79\xAD\xD4...\n",
    // 89 Orvane Scan 應用程序當前正在與此計算機上的其他任務或其他用戶一起使用。 請等到其他任務完成後再試。\n
    "Orvane Scan \xC0\xB3\xA5\xCE\xB5\x7B\xA7\xC7\xB7\xED\xAB\x65\xA5\xBF\xA6\x62\xBB\x50\xA6\xB9"
    "\xAD\x70\xBA\xE2\xBE\xF7\xA4\x57\xAA\xBA\xA8\xE4\xA5\x4C\xA5\xF4\xB0\xC8\xA9\xCE\xA8\xE4"
    "\xA5\x4C\xA5\xCE\xA4\xE1\xA4\x40\xB0\x5F\xA8\xCF\xA5\xCE\xA1\x43 \xBD\xD0\xB5\xA5\xA8\xEC"
    "\xA8\xE4\xA5\x4C\xA5\xF4\xB0\xC8\xA7\xB9\xA6\xA8\xAB\xE1\xA6\x41\xB8\xD5\xA1\x43\n",
    // 90 Orvane Scan 應用程序當前正在與此計算機上的其他任務或其他用戶一起使用。 請等到其他任務完成後再試。。。\n
    "Orvane Scan \xC0\xB3\xA5\xCE\xB5\x7B\xA7\xC7\xB7\xED\xAB\x65\xA5\xBF\xA6\x62\xBB\x50\xA6\xB9"
    "\xAD\x70\xBA\xE2\xBE\xF7\xA4\x57\xAA\xBA\xA8\xE4\xA5\x4C\xA5\xF4\xB0\xC8\xA9\xCE\xA8\xE4"
    "\xA5\x4C\xA5\xCE\xA4\xE1\xA4\x40\xB0\x5F\xA8\xCF\xA5\xCE\xA1\x43 \xBD\xD0\xB5\xA5\xA8\xEC"
    "\xA8\xE4\xA5\x4C\xA5\xF4\xB0\xC8\xA7\xB9\xA6\xA8\xAB\xE1\xA6\x41\xB8\xD5\xA1\x43\xA1\x43"
    "\xA1\x43\n",
    // 91 Tavin 應用程序當前正在與此計算機上的其他任務或其他用戶一起使用。 請等到其他任務完成後再試。\n
    "Tavin \xC0\xB3\xA5\xCE\xB5\x7B\xA7\xC7\xB7\xED\xAB\x65\xA5\xBF\xA6\x62\xBB\x50\xA6\xB9"
    "\xAD\x70\xBA\xE2\xBE\xF7\xA4\x57\xAA\xBA\xA8\xE4\xA5\x4C\xA5\xF4\xB0\xC8\xA9\xCE\xA8\xE4"
    "\xA5\x4C\xA5\xCE\xA4\xE1\xA4\x40\xB0\x5F\xA8\xCF\xA5\xCE\xA1\x43 \xBD\xD0\xB5\xA5\xA8\xEC"
    "\xA8\xE4\xA5\x4C\xA5\xF4\xB0\xC8\xA7\xB9\xA6\xA8\xAB\xE1\xA6\x41\xB8\xD5\xA1\x43\n",
    // 92 請以系統管理員身分執行此程式
    // (在程式上按右鍵，選擇「以系統管理員身分執行」)，然後再試一次。電腦與掃描器均未變更。\n
    "\xBD\xD0\xA5\x48\xA8\x74\xB2\xCE\xBA\xDE\xB2\x7A\xAD\xFB\xA8\xAD\xA4\xC0\xB0\xF5\xA6\xE6"
    "\xA6\xB9\xB5\x7B\xA6\xA1 (\xA6\x62\xB5\x7B\xA6\xA1\xA4\x57\xAB\xF6\xA5\x6B\xC1\xE4"
    "\xA1\x41\xBF\xEF\xBE\xDC\xA1\x75\xA5\x48\xA8\x74\xB2\xCE\xBA\xDE\xB2\x7A\xAD\xFB\xA8\xAD"
    "\xA4\xC0\xB0\xF5\xA6\xE6\xA1\x76)\xA1\x41\xB5\x4D\xAB\xE1\xA6\x41\xB8\xD5\xA4\x40"
    "\xA6\xB8\xA1\x43\xB9\x71\xB8\xA3\xBB\x50\xB1\xBD\xB4\x79\xBE\xB9\xA7\xA1\xA5\xBC\xC5\xDC"
    "\xA7\xF3\xA1\x43\n",
    // 93 此 fwupdate.exe 檔案已損毀或不完整（其中的韌體與檢查值不符）。
    // 請取得新的 fwupdate.exe 再執行。電腦與掃描器均未變更。\n
    "\xA6\xB9 fwupdate.exe \xC0\xC9\xAE\xD7\xA4\x77\xB7\x6C\xB7\xB4\xA9\xCE\xA4\xA3\xA7\xB9\xBE\xE3\xA1\x5D"
    "\xA8\xE4\xA4\xA4\xAA\xBA\xB6\xB4\xC5\xE9\xBB\x50\xC0\xCB\xAC\x64\xAD\xC8\xA4\xA3\xB2\xC5\xA1\x5E\xA1\x43"
    "\xBD\xD0\xA8\xFA\xB1\x6F\xB7\x73\xAA\xBA fwupdate.exe \xA6\x41\xB0\xF5\xA6\xE6\xA1\x43"
    "\xB9\x71\xB8\xA3\xBB\x50\xB1\xBD\xB4\x79\xBE\xB9\xA7\xA1\xA5\xBC\xC5\xDC\xA7\xF3\xA1\x43\n",
};
// NOLINTEND(bugprone-suspicious-missing-comma)

// One flat table: English at the id, Chinese fifty slots further on, every
// other slot empty.
constexpr std::array<const char*, MESSAGE_SLOTS> BuildCatalogue()
{
    std::array<const char*, MESSAGE_SLOTS> slots{};
    for (int id = 0; id < MESSAGE_COUNT; ++id) {
        slots[id] = ENGLISH_TEXTS[id];
        slots[id + MESSAGES_PER_LANGUAGE] = CHINESE_TEXTS[id];
    }
    return slots;
}

constexpr std::array<const char*, MESSAGE_SLOTS> CATALOGUE = BuildCatalogue();

}  // namespace

const char* MessageText(int slot)
{
    if (slot < 0 || slot >= MESSAGE_SLOTS) {
        return nullptr;
    }
    return CATALOGUE[static_cast<std::size_t>(slot)];
}
