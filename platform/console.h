// Standard output.
#pragma once
#include <cstddef>
#include <cstdint>

// The code pages of the bytes the updater writes: the English texts and the
// direct lines are plain ASCII, the Traditional Chinese texts Big5 bytes as
// code page 950 holds them.
constexpr std::uint32_t CODE_PAGE_ASCII = 20127;
constexpr std::uint32_t CODE_PAGE_BIG5 = 950;

// Writes the bytes, which are text in the given code page, to standard
// output, and flushes them so that they are on the screen before any
// following pause. On a console the text is shown as the characters it
// encodes, whatever the console's own output code page; a file or a pipe
// receives the bytes themselves as the C run-time's text-mode stdout writes
// them (on Windows every line feed becomes CR LF), which callers may rely
// on. The result of the write is not reported: nothing in the updater
// depends on it.
void ConsoleWrite(const char* data, std::size_t size, std::uint32_t codePage);

// While a selection is made in a console window (a click with QuickEdit on,
// or Mark from its menu) every write to it waits until the selection ends.
// Turns QuickEdit off for the run (GetConsoleMode / SetConsoleMode on the
// console input with ENABLE_EXTENDED_FLAGS and without
// ENABLE_QUICK_EDIT_MODE), keeping the mode it found. False when there is no
// console input or its mode cannot be changed: nothing to restore then.
bool HoldConsoleSelectionOff();
// Puts back the console input mode that HoldConsoleSelectionOff found, if it
// changed it. Safe to call more than once and from any thread.
void RestoreConsoleSelection();
