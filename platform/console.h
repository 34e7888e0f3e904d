// Standard output.
#pragma once
#include <cstddef>

// Writes the bytes to standard output as the C run-time's text-mode stdout
// would (on Windows every line feed becomes CR LF), and flushes them so that
// they are on the console before any following pause. The result of the
// write is not reported: nothing in the updater depends on it.
void ConsoleWrite(const char* data, std::size_t size);
