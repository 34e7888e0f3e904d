#include "common/print.h"

#include <cstdarg>
#include <cstdio>

#include "platform/console.h"

namespace {

// Longer than any catalogue text in either language; anything longer is cut
// rather than overrun.
constexpr std::size_t CONSOLE_LINE_SIZE = 1024;

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
    ConsolePrintf("%s\n", text);
}

void ConsolePrintf(const char* format, ...)
{
    char line[CONSOLE_LINE_SIZE];
    va_list args;
    va_start(args, format);
    const int wanted = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (wanted <= 0) {
        return;
    }
    std::size_t size = static_cast<std::size_t>(wanted);
    if (size >= sizeof line) {
        size = sizeof line - 1;
    }
    ConsoleWrite(line, size);
}
