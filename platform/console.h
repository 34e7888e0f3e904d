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
