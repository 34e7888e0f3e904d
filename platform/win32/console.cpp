#include "platform/console.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <vector>

namespace {

// The console input mode found before QuickEdit was turned off; restored
// once, by whichever thread gets there first.
std::atomic<DWORD> g_savedInputMode{0};
std::atomic<bool> g_inputModeChanged{false};

// Far more than any line the updater prints; a longer text goes out as bytes.
constexpr std::size_t CONSOLE_TEXT_LIMIT = 65536;

// The same text as UTF-16 for the console, each line feed preceded by a
// carriage return as the run-time's text mode puts it on the screen today.
// Empty when the code page cannot convert it.
std::vector<wchar_t> ToConsoleText(const char* data, std::size_t size, std::uint32_t codePage)
{
    std::vector<wchar_t> text;
    if (size > CONSOLE_TEXT_LIMIT) {
        return text;
    }
    const int length = static_cast<int>(size);
    const int wideLength = MultiByteToWideChar(codePage, 0, data, length, nullptr, 0);
    if (wideLength <= 0) {
        return text;
    }
    std::vector<wchar_t> wide(static_cast<std::size_t>(wideLength));
    if (MultiByteToWideChar(codePage, 0, data, length, wide.data(), wideLength) != wideLength) {
        return text;
    }
    text.reserve(wide.size() * 2);
    for (const wchar_t character : wide) {
        if (character == L'\n') {
            text.push_back(L'\r');
        }
        text.push_back(character);
    }
    return text;
}

// True when the text reached a console through WriteConsoleW; false when
// standard output is no console (a file or a pipe) or the text could not
// be converted, so that the caller writes the bytes instead.
bool WriteToConsole(const char* data, std::size_t size, std::uint32_t codePage)
{
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (output == nullptr || output == INVALID_HANDLE_VALUE || GetConsoleMode(output, &mode) == 0) {
        return false;
    }
    const std::vector<wchar_t> text = ToConsoleText(data, size, codePage);
    if (text.empty()) {
        return false;
    }
    // Bytes written through the run-time before the console was found must
    // stay ahead of this text.
    std::fflush(stdout);
    DWORD written = 0;
    return WriteConsoleW(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0;
}

}  // namespace

void ConsoleWrite(const char* data, std::size_t size, std::uint32_t codePage)
{
    // Bytes on a console are decoded with the console's output code page,
    // which follows the system locale, not the user's language: a Taiwanese
    // region format on an English Windows would show the Chinese texts as
    // garbage. As UTF-16 they read right on any console.
    if (size == 0 || WriteToConsole(data, size, codePage)) {
        return;
    }
    // stdout stays in the C run-time's text mode, so each line feed reaches
    // a file or a pipe as CR LF, as printf would write it.
    std::fwrite(data, 1, size, stdout);
    std::fflush(stdout);
}

bool HoldConsoleSelectionOff()
{
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == nullptr || input == INVALID_HANDLE_VALUE || GetConsoleMode(input, &mode) == 0) {
        return false;
    }
    // ENABLE_EXTENDED_FLAGS is what makes the console take the QuickEdit
    // bit as given; without it the bit is ignored.
    const DWORD quiet = (mode | ENABLE_EXTENDED_FLAGS) & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE);
    if (SetConsoleMode(input, quiet) == 0) {
        return false;
    }
    g_savedInputMode = mode;
    g_inputModeChanged = true;
    return true;
}

void RestoreConsoleSelection()
{
    if (!g_inputModeChanged.exchange(false)) {
        return;
    }
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    // A mode read without ENABLE_EXTENDED_FLAGS would put the extended bits
    // back as they were only with the flag: keep it set.
    SetConsoleMode(input, g_savedInputMode | ENABLE_EXTENDED_FLAGS);
}
