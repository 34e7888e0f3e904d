#include "common/print.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "platform/console.h"

namespace {

// Longer than any catalogue text in either language; anything longer is cut
// rather than overrun.
constexpr std::size_t CONSOLE_LINE_SIZE = 1024;
// The language whose texts are Big5 bytes; every other text is ASCII.
constexpr std::uint16_t CHINESE_LANGUAGE = 1;

// Set once before the run's threads start; read by any thread that prints.
std::atomic<PrintWatcher> Watcher{nullptr};

// Returns the line's size, 0 when nothing was written.
__attribute__((format(printf, 3, 0))) std::size_t WriteFormatted(char* line, std::uint32_t codePage, const char* format,
                                                                 va_list args)
{
    const int wanted = std::vsnprintf(line, CONSOLE_LINE_SIZE, format, args);
    if (wanted <= 0) {
        return 0;
    }
    std::size_t size = static_cast<std::size_t>(wanted);
    if (size >= CONSOLE_LINE_SIZE) {
        size = CONSOLE_LINE_SIZE - 1;
    }
    ConsoleWrite(line, size, codePage);
    return size;
}

__attribute__((format(printf, 2, 3))) void PrintInCodePage(std::uint32_t codePage, const char* format, ...)
{
    char line[CONSOLE_LINE_SIZE];
    va_list args;
    va_start(args, format);
    WriteFormatted(line, codePage, format, args);
    va_end(args);
}

}  // namespace

void PrintMessage(MessageId id, std::uint16_t language)
{
    // An id or language outside the table prints nothing instead of handing
    // a null text to the formatter.
    if (id < 0 || id >= MESSAGES_PER_LANGUAGE) {
        return;
    }
    const char* text = MessageText(id + MESSAGES_PER_LANGUAGE * static_cast<int>(language));
    if (text == nullptr) {
        return;
    }
    // The text is an argument, never the format, and gets one line end more
    // than it holds: most entries therefore leave an empty line behind them.
    // The console is told which code page the text's bytes are in.
    PrintInCodePage(language == CHINESE_LANGUAGE ? CODE_PAGE_BIG5 : CODE_PAGE_ASCII, "%s\n", text);
    const PrintWatcher watcher = Watcher.load();
    if (watcher != nullptr) {
        watcher(id, nullptr, 0);
    }
}

void ConsolePrintf(const char* format, ...)
{
    // The direct lines are ASCII in both languages.
    char line[CONSOLE_LINE_SIZE];
    va_list args;
    va_start(args, format);
    const std::size_t size = WriteFormatted(line, CODE_PAGE_ASCII, format, args);
    va_end(args);
    const PrintWatcher watcher = Watcher.load();
    if (watcher != nullptr && size > 0) {
        watcher(-1, line, size);
    }
}

void WatchPrints(PrintWatcher watcher)
{
    Watcher.store(watcher);
}
