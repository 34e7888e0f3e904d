#include "platform/console.h"

#include <cstdio>

void ConsoleWrite(const char* data, std::size_t size)
{
    // stdout stays in the C run-time's text mode, so each line feed reaches
    // the console as CR LF, as printf would write it.
    std::fwrite(data, 1, size, stdout);
    std::fflush(stdout);
}
