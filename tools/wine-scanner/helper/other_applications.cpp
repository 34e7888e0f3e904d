// The maker's other applications as the updater meets them: mutexes that
// exist and are owned before the updater starts (--hold), and a watch on
// the names the updater itself takes (--watch), so that after its exit the
// harness learns which of them it created and which it still owned when its
// process ended (the platform then marks the mutex abandoned).
#include "tools/wine-scanner/helper/helper.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Watched {
    std::string name;
    HANDLE handle = nullptr;
};

std::atomic<bool> g_inputEnded{false};

// The harness closes our standard input once the updater has exited.
void WaitForInputEnd()
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[64];
    DWORD got = 0;
    while (ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    }
    g_inputEnded = true;
}

HANDLE HoldMutex(const char* name)
{
    // The same security as the applications use: a present, null DACL.
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, TRUE};
    HANDLE mutex = CreateMutexA(&attributes, TRUE, name);
    if (mutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS)
        return nullptr;
    return mutex;
}

void OpenSeen(std::vector<Watched>& watched)
{
    for (Watched& w : watched) {
        if (w.handle == nullptr)
            w.handle = OpenMutexA(SYNCHRONIZE, FALSE, w.name.c_str());
    }
}

void PrintJsonText(const std::string& text)
{
    std::putchar('"');
    for (unsigned char c : text) {
        if (c == '"' || c == '\\')
            std::printf("\\%c", c);
        else if (c < 0x20)
            std::printf("\\u%04x", c);
        else
            std::putchar(c);
    }
    std::putchar('"');
}

}  // namespace

int RunOtherApplications(int argc, char** argv)
{
    std::vector<HANDLE> held;
    std::vector<Watched> watched;
    for (int i = 0; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--hold") == 0) {
            HANDLE mutex = HoldMutex(argv[i + 1]);
            if (mutex == nullptr) {
                std::fprintf(stderr, "fwusimctl others: cannot hold %s (error %lu)\n", argv[i + 1],
                             static_cast<unsigned long>(GetLastError()));
                return 1;
            }
            held.push_back(mutex);
        } else if (std::strcmp(argv[i], "--watch") == 0) {
            watched.push_back(Watched{argv[i + 1], nullptr});
        } else {
            std::fprintf(stderr, "fwusimctl others: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);

    std::thread input(WaitForInputEnd);
    while (!g_inputEnded) {
        OpenSeen(watched);
        Sleep(20);
    }
    input.join();

    // Each watched name: never seen; seen and given back before the
    // updater's end; or still owned by it when its process ended.
    std::printf("{");
    for (size_t i = 0; i < watched.size(); ++i) {
        const char* fate = "unseen";
        if (watched[i].handle != nullptr) {
            DWORD result = WaitForSingleObject(watched[i].handle, 0);
            fate = result == WAIT_ABANDONED ? "abandoned" : result == WAIT_OBJECT_0 ? "released" : "owned";
        }
        std::printf("%s", i ? ", " : "");
        PrintJsonText(watched[i].name);
        std::printf(": \"%s\"", fate);
    }
    std::printf("}\n");
    std::fflush(stdout);
    return 0;
}
