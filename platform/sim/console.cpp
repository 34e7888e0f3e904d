#include "platform/console.h"

#include <cstdio>

#include "platform/sim/world.h"

void ConsoleWrite(const char* data, std::size_t size, std::uint32_t codePage)
{
    // The captured bytes stay as the updater wrote them (line feeds alone):
    // the tests compare against the texts as written, and the CR LF of a
    // Windows console is the run-time's business, not the updater's. The
    // code page they were written in is kept beside them, so that a test
    // can tell Big5 text handed over as ASCII.
    SimWorld& world = World();
    world.console.append(data, size);
    if (size != 0) {
        if (!world.consoleRuns.empty() && world.consoleRuns.back().codePage == codePage) {
            world.consoleRuns.back().size += size;
        } else {
            world.consoleRuns.push_back(SimConsoleRun{codePage, size});
        }
    }
    if (world.echoConsole) {
        std::fwrite(data, 1, size, stdout);
        std::fflush(stdout);
    }
}
