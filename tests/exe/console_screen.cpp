// Runs a console program on this launcher's own console, with the console's
// output code page set first, and writes what the screen then shows, read
// back cell by cell, as UTF-8 lines: what a user would read, whatever bytes
// or characters the program handed the console.
//
//   console_screen.exe CODE_PAGE SCREEN_FILE TIMEOUT_MS PROGRAM [ARGUMENT...]
//
// The screen file holds every row above the cursor, blanks at the end of a
// row dropped, each row ended by a line feed; after the rows, a last line
// "exit N" with the program's exit code, or "timeout" when it was stopped
// after TIMEOUT_MS. Exit code 0 when the screen was written, 2 with one line
// on standard error otherwise.
//
// Wine gives a program a console whose screen can be read back only when it
// runs on a terminal (under `script`, for example): without a display a new
// console (CREATE_NEW_CONSOLE, AllocConsole) has no screen buffer. The
// launcher therefore uses the console it was started on, cleared first.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr DWORD MAX_TIMEOUT_MS = 600000;
constexpr SHORT MAX_ROW_WIDTH = 1024;

int Fail(const char* what)
{
    std::fprintf(stderr, "console_screen: %s (error %lu)\n", what, GetLastError());
    return 2;
}

HANDLE OpenConsole(const char* name)
{
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                       0, nullptr);
}

bool ClearScreen(HANDLE screen)
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(screen, &info) == 0) {
        return false;
    }
    const DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
    DWORD written = 0;
    return FillConsoleOutputCharacterW(screen, L' ', cells, COORD{0, 0}, &written) != 0 &&
           SetConsoleCursorPosition(screen, COORD{0, 0}) != 0;
}

// The program and its arguments as one command line, each in quotes.
std::string CommandLine(int argc, char** argv, int first)
{
    std::string line;
    for (int i = first; i < argc; ++i) {
        if (!line.empty()) {
            line += ' ';
        }
        line += '"';
        line += argv[i];
        line += '"';
    }
    return line;
}

// Waits for the program; one that outlives the timeout is stopped. The
// result is the last line of the screen file.
std::string RunOnConsole(std::string commandLine, HANDLE input, HANDLE screen, DWORD timeoutMs)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = screen;
    startup.hStdError = screen;
    PROCESS_INFORMATION process{};
    if (CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process) ==
        0) {
        return std::string();
    }
    std::string outcome = "timeout";
    if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        outcome = "exit " + std::to_string(code);
    } else {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return outcome;
}

// One row of the screen as UTF-8, blanks at its end dropped.
std::string ReadRow(HANDLE screen, SHORT row, SHORT width)
{
    std::vector<wchar_t> cells(static_cast<std::size_t>(width));
    DWORD read = 0;
    if (ReadConsoleOutputCharacterW(screen, cells.data(), static_cast<DWORD>(width), COORD{0, row}, &read) == 0) {
        return std::string();
    }
    while (read > 0 && cells[read - 1] == L' ') {
        --read;
    }
    if (read == 0) {
        return std::string();
    }
    const int wide = static_cast<int>(read);
    const int size = WideCharToMultiByte(CP_UTF8, 0, cells.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, cells.data(), wide, text.data(), size, nullptr, nullptr);
    return text;
}

bool WriteScreen(HANDLE screen, const char* path, const std::string& outcome)
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(screen, &info) == 0) {
        return false;
    }
    const SHORT width = info.dwSize.X < MAX_ROW_WIDTH ? info.dwSize.X : MAX_ROW_WIDTH;
    std::string text;
    for (SHORT row = 0; row < info.dwCursorPosition.Y; ++row) {
        text += ReadRow(screen, row, width) + "\n";
    }
    // A row the program began and did not end is shown as it stands.
    if (info.dwCursorPosition.X != 0) {
        text += ReadRow(screen, info.dwCursorPosition.Y, width) + "\n";
    }
    text += outcome + "\n";
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: console_screen CODE_PAGE SCREEN_FILE TIMEOUT_MS PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    const UINT codePage = static_cast<UINT>(std::strtoul(argv[1], nullptr, 10));
    const unsigned long timeout = std::strtoul(argv[3], nullptr, 10);
    const DWORD timeoutMs = timeout < MAX_TIMEOUT_MS ? static_cast<DWORD>(timeout) : MAX_TIMEOUT_MS;
    const HANDLE input = OpenConsole("CONIN$");
    const HANDLE screen = OpenConsole("CONOUT$");
    DWORD mode = 0;
    if (screen == INVALID_HANDLE_VALUE || GetConsoleMode(screen, &mode) == 0) {
        return Fail("no console to run on (start the launcher on a terminal)");
    }
    if (SetConsoleOutputCP(codePage) == 0 || GetConsoleOutputCP() != codePage) {
        return Fail("the console refuses the code page");
    }
    if (!ClearScreen(screen)) {
        return Fail("cannot clear the screen");
    }
    const std::string outcome = RunOnConsole(CommandLine(argc, argv, 4), input, screen, timeoutMs);
    if (outcome.empty()) {
        return Fail("cannot start the program");
    }
    if (!WriteScreen(screen, argv[2], outcome)) {
        return Fail("cannot write the screen file");
    }
    return 0;
}
