#include "platform/console.h"

#include <cstdio>
#include <string>

#include "platform/sim/objects.h"
#include "platform/sim/world.h"

namespace {

// Whether a selection holds the console's output at `nowMs`: one made by a
// click took only while QuickEdit was on when it was made. Its end, or 0.
std::uint64_t SelectionEndAt(const SimWorld& world, std::uint64_t nowMs)
{
    for (const SimConsoleSelection& selection : world.consoleSelections) {
        if (!selection.whenWriting.empty() && selection.atMs == NEVER_MS) {
            continue;
        }
        const std::uint64_t end = selection.atMs + selection.lengthMs;
        if (selection.atMs > nowMs || end <= nowMs) {
            continue;
        }
        const bool turnedOff = selection.atMs >= world.quickEditOffFromMs && selection.atMs < world.quickEditOffUntilMs;
        if (selection.byClick && (turnedOff || !world.quickEditAtStart)) {
            continue;
        }
        return end;
    }
    return 0;
}

// A selection waiting for a text is made the first time a write begins
// with it.
void MakeSelectionsOnText(SimWorld& world, const char* data, std::size_t size)
{
    for (SimConsoleSelection& selection : world.consoleSelections) {
        const std::string& text = selection.whenWriting;
        if (!text.empty() && selection.atMs == NEVER_MS && size >= text.size() &&
            std::string(data, text.size()) == text) {
            selection.atMs = world.nowMs;
        }
    }
}

// A write waits, holding its thread, for as long as a selection lasts.
void WaitForSelections(SimWorld& world)
{
    for (std::uint64_t end = SelectionEndAt(world, world.nowMs); end != 0; end = SelectionEndAt(world, world.nowMs)) {
        const std::uint64_t wait = end - world.nowMs;
        RecordCall("Console write held by a selection for ", wait, " ms");
        const std::uint64_t fromMs = world.nowMs;
        const std::uint64_t asleepBefore = world.asleepMs;
        BlockInCall(static_cast<std::uint32_t>(wait < 0xFFFFFFFFu ? wait : 0xFFFFFFFFu));
        // Counted once it has passed, and only the time the PC was awake: a
        // process that ends inside the wait was held only until then, and
        // a sleep inside it is counted as sleep.
        World().consoleBlockedMs += (world.nowMs - fromMs) - (world.asleepMs - asleepBefore);
    }
}

}  // namespace

bool HoldConsoleSelectionOff()
{
    SimWorld& world = World();
    RecordCall("SetConsoleMode QuickEdit off");
    world.quickEditOffFromMs = world.nowMs;
    world.quickEditOffUntilMs = NEVER_MS;
    world.quickEdit = false;
    return true;
}

void RestoreConsoleSelection()
{
    SimWorld& world = World();
    if (world.quickEditOffFromMs == NEVER_MS || world.quickEditOffUntilMs != NEVER_MS) {
        return;
    }
    RecordCall("SetConsoleMode restored");
    world.quickEditOffUntilMs = world.nowMs;
    world.quickEdit = world.quickEditAtStart;
}

void ConsoleWrite(const char* data, std::size_t size, std::uint32_t codePage)
{
    // The captured bytes stay as the updater wrote them (line feeds alone):
    // the tests compare against the texts as written, and the CR LF of a
    // Windows console is the run-time's business, not the updater's. The
    // code page they were written in is kept beside them, so that a test
    // can tell Big5 text handed over as ASCII.
    SimWorld& world = World();
    // The selections are made in the first process's console window; each
    // copy has a window of its own that nobody touches.
    const bool firstConsole = world.currentProcess == 0;
    if (firstConsole) {
        MakeSelectionsOnText(world, data, size);
        WaitForSelections(world);
    }
    world.console.append(data, size);
    if (firstConsole) {
        world.lastConsoleWriteMs = world.nowMs;
    }
    if (size != 0) {
        if (!world.consoleRuns.empty() && world.consoleRuns.back().codePage == codePage) {
            world.consoleRuns.back().size += size;
        } else {
            world.consoleRuns.push_back(SimConsoleRun{codePage, size});
        }
    }
    if (world.echoConsole && firstConsole) {
        std::fwrite(data, 1, size, stdout);
        std::fflush(stdout);
    }
}
