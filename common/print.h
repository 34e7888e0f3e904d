// The message ids and the console helpers every stage prints through. The
// texts themselves are the application's: its catalogue (app/messages.cpp)
// defines MessageText.
#pragma once
#include <cstddef>
#include <cstdint>

using MessageId = std::int32_t;

constexpr int MESSAGE_SLOTS = 500;
constexpr int MESSAGES_PER_LANGUAGE = 100;

enum : MessageId {
    MSG_NO_FOLLOWING_ARGUMENT = 0,
    MSG_GET_DESCRIPTOR_ERROR = 1,
    MSG_DEVICE_FOUND = 2,
    MSG_DEVICE_NOT_FOUND = 3,
    MSG_LOADING_FIRMWARE = 4,
    MSG_FIND_RESOURCE_ERROR = 5,
    MSG_LOAD_RESOURCE_ERROR = 6,
    MSG_LOCK_RESOURCE_ERROR = 7,
    MSG_RESOURCE_EMPTY = 8,
    MSG_NEWLINE = 9,
    MSG_CHECKING_FIRMWARE = 10,
    MSG_DEVICE_BUSY = 11,
    MSG_STATUS_ERROR = 12,
    MSG_NOT_RESPONDING = 13,
    MSG_SENDING_FIRMWARE = 14,
    MSG_SEND_COMMAND_ERROR = 15,
    MSG_SEND_DATA_ERROR = 16,
    MSG_UPGRADE_WAIT = 17,
    MSG_REBOOT_SCANNER = 18,
    MSG_BURN_DONE = 19,
    MSG_BURN_ERROR = 20,
    MSG_USB_TIMEOUT = 21,
    MSG_USB_OVERLAPPED_ERROR = 22,
    MSG_USB_WRITE_ERROR = 23,
    MSG_USB_READ_ERROR = 24,
    MSG_USB_SIZE_MISMATCH = 25,
    MSG_WIA_CLOSE_FAILED = 26,
    MSG_WIA_START_FAILED = 27,
    MSG_UPDATE_FAILED = 28,
    MSG_UPDATE_SUCCEEDED = 29,
    MSG_CLOSING_WIA = 30,
    MSG_STARTING_WIA = 31,
    MSG_POWER_ON_CHECK = 32,
    MSG_POWER_OFF_CHECK = 33,
    MSG_POWER_ON_TIMEOUT = 34,
    MSG_POWER_OFF_TIMEOUT = 35,
    MSG_CHECK_VERSION = 36,
    MSG_RELAY_DONE = 37,
    MSG_DEVICE_READY = 38,
    MSG_SCAN_APP_BUSY = 39,
    MSG_SCAN_APP_BUSY_RETRY = 40,
    MSG_UTILITY_BUSY = 41,
    MSG_NOT_ELEVATED = 42,
    MSG_HELP_SWITCHES = 43,
    MSG_HELP_EXIT_CODES = 44,
    MSG_CHECK_ONLY = 45,
    MSG_CHECK_FIRMWARE = 46,
    MSG_CHECK_RECOVERY = 47,
    MSG_CHECK_BURNING = 48,
    MSG_CHECK_NO_ANSWER = 49,
    MSG_CHECK_UPDATER_FREE = 50,
    MSG_CHECK_UPDATER_HELD = 51,
    MSG_CHECK_SCAN_APP_FREE = 52,
    MSG_CHECK_SCAN_APP_HELD = 53,
    MSG_CHECK_NO_NAME = 54,
    MSG_CHECK_UTILITY_FREE = 55,
    MSG_CHECK_UTILITY_HELD = 56,
    MSG_CHECK_NO_RECORD = 57,
    MSG_CHECK_RECORD = 58,
    MSG_CHECK_CAN_UPDATE = 59,
    MSG_CHECK_MUST_WAIT = 60,
    MSG_CHECK_CANNOT_UPDATE = 61,
    MSG_IMAGE_DAMAGED = 62,
    MESSAGE_COUNT = 63
};

// The text in a slot (id + 100 * language), or nullptr for an empty slot or
// one outside the table. Defined by the catalogue in app/.
const char* MessageText(int slot);

// Writes the entry's text and one line end more ("%s\n"), as text in the
// language's code page.
void PrintMessage(MessageId id, std::uint16_t language);

// Bounded formatted print to standard output; the format is always a
// literal of the caller's, and the text it makes is ASCII (the direct lines,
// alike in both languages).
void ConsolePrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Told of each line once it went to the console: a catalogue entry by its
// id (text null), a direct line by its bytes (id -1). Null stops it. The
// run record keeps the run's lines with it, in English whatever the
// console's language.
using PrintWatcher = void (*)(MessageId id, const char* text, std::size_t size);
void WatchPrints(PrintWatcher watcher);
