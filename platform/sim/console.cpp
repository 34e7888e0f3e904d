#include "platform/console.h"

#include <cstdio>

#include "platform/sim/world.h"

void ConsoleWrite(const char* data, std::size_t size)
{
    // The captured bytes stay as the updater wrote them (line feeds alone):
    // the tests compare against the texts as written, and the CR LF of a
    // Windows console is the run-time's business, not the updater's.
    SimWorld& world = World();
    world.console.append(data, size);
    if (world.echoConsole) {
        std::fwrite(data, 1, size, stdout);
        std::fflush(stdout);
    }
}
