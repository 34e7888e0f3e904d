// A console program that writes down every control event it is sent, with
// the tick count, to the file named by its argument, then keeps its handler
// busy for 12 s so that the log shows how long the platform lets it run.
// The main thread prints a line a second until it is ended.
#include <windows.h>

#include <stdio.h>

static HANDLE logFile;

static void LogLine(const char* text)
{
    char line[160];
    const int length = wsprintfA(line, "%lu %s\r\n", GetTickCount(), text);
    DWORD written = 0;
    WriteFile(logFile, line, (DWORD)length, &written, NULL);
    FlushFileBuffers(logFile);
}

static BOOL WINAPI OnControl(DWORD type)
{
    char line[64];
    wsprintfA(line, "event %lu", type);
    LogLine(line);
    for (int second = 1; second <= 12; ++second) {
        Sleep(1000);
        wsprintfA(line, "handler alive %d s", second);
        LogLine(line);
    }
    LogLine("handler returns FALSE");
    return FALSE;
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        return 2;
    }
    logFile = CreateFileA(argv[1], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
    char line[96];
    wsprintfA(line, "started, pid %lu", GetCurrentProcessId());
    LogLine(line);
    SetConsoleCtrlHandler(OnControl, TRUE);
    for (int tick = 0;; ++tick) {
        printf("tick %d\n", tick);
        fflush(stdout);
        Sleep(1000);
    }
}
