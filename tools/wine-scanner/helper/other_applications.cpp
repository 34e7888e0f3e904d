// The maker's other applications as the updater meets them: mutexes that
// exist and are owned before the updater starts (--hold), an application
// that lets go of its mutex at a given time of the scanner's (--release),
// and a watch on the names the updater itself takes (--watch), so that
// after its exit the harness learns which of them it created and which it
// still owned when its process ended (the platform then marks the mutex
// abandoned).
#include "tools/wine-scanner/helper/helper.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tools/wine-scanner/driver/control.h"

namespace {

struct Watched {
    std::string name;
    HANDLE handle = nullptr;
};

constexpr unsigned long long NEVER = ~0ull;

struct Held {
    std::string name;
    HANDLE handle = nullptr;
    // The scanner's time (ms since the updater first opened a device path,
    // the origin the scenarios count from) at which we let go.
    unsigned long long releaseAtMs = NEVER;
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
    if (mutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
        return nullptr;
    }
    return mutex;
}

// The scanner's time as the driver keeps it; false until the updater has
// opened a device path (the scanner's time has not begun) or when the
// driver does not answer.
bool ScannerTime(HANDLE control, unsigned long long* nowMs)
{
    FwuSimDriverState state{};
    DWORD returned = 0;
    if (!DeviceIoControl(control, FWU_SIM_IOCTL_STATE, nullptr, 0, &state, sizeof state, &returned, nullptr) ||
        returned != sizeof state || !state.started) {
        return false;
    }
    *nowMs = state.nowMs;
    return true;
}

// Lets go of every held mutex whose time has come: ownership and our handle
// both, so the name lives on only through handles others have open. From
// then on the name is watched like the updater's own.
void ReleaseDue(HANDLE control, std::vector<Held>& held, std::vector<Watched>& watched)
{
    unsigned long long now = 0;
    if (control == INVALID_HANDLE_VALUE || !ScannerTime(control, &now)) {
        return;
    }
    for (Held& h : held) {
        if (h.handle == nullptr || now < h.releaseAtMs) {
            continue;
        }
        ReleaseMutex(h.handle);
        CloseHandle(h.handle);
        h.handle = nullptr;
        std::fprintf(stderr, "fwusimctl others: let go of %s at %llu ms\n", h.name.c_str(), now);
        watched.push_back(Watched{h.name, nullptr});
    }
}

void OpenSeen(std::vector<Watched>& watched)
{
    for (Watched& w : watched) {
        if (w.handle == nullptr) {
            w.handle = OpenMutexA(SYNCHRONIZE, FALSE, w.name.c_str());
        }
    }
}

void PrintJsonText(const std::string& text)
{
    std::putchar('"');
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            std::printf("\\%c", c);
        } else if (c < 0x20) {
            std::printf("\\u%04x", c);
        } else {
            std::putchar(c);
        }
    }
    std::putchar('"');
}

// What the options ask for: the names held from the start, with their
// release times, and the names watched.
struct Others {
    std::vector<Held> held;
    std::vector<Watched> watched;
    bool releases = false;  // some held name is let go at a time
};

// Returns 0, or the exit code for options that cannot be followed.
int ReadOptions(int argc, char** argv, Others& others)
{
    for (int i = 0; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--hold") == 0) {
            HANDLE mutex = HoldMutex(argv[i + 1]);
            if (mutex == nullptr) {
                std::fprintf(stderr, "fwusimctl others: cannot hold %s (error %lu)\n", argv[i + 1],
                             static_cast<unsigned long>(GetLastError()));
                return 1;
            }
            others.held.push_back(Held{argv[i + 1], mutex, NEVER});
        } else if (std::strcmp(argv[i], "--watch") == 0) {
            others.watched.push_back(Watched{argv[i + 1], nullptr});
        } else if (std::strcmp(argv[i], "--release") == 0 && i + 2 < argc) {
            // --release NAME MS, for a name held before it.
            Held* target = nullptr;
            for (Held& h : others.held) {
                target = h.name == argv[i + 1] ? &h : target;
            }
            char* end = nullptr;
            const unsigned long long at = std::strtoull(argv[i + 2], &end, 10);
            if (target == nullptr || end == argv[i + 2] || *end != '\0') {
                std::fprintf(stderr, "fwusimctl others: --release %s %s: not a held name and a time in ms\n",
                             argv[i + 1], argv[i + 2]);
                return 2;
            }
            target->releaseAtMs = at;
            others.releases = true;
            ++i;
        } else {
            std::fprintf(stderr, "fwusimctl others: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    return 0;
}

// Each watched name: never seen; seen and given back before the updater's
// end; or still owned by it when its process ended.
void PrintFates(const std::vector<Watched>& watched)
{
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
}

}  // namespace

int RunOtherApplications(int argc, char** argv)
{
    Others others;
    const int failure = ReadOptions(argc, argv, others);
    if (failure != 0) {
        return failure;
    }
    HANDLE control = INVALID_HANDLE_VALUE;
    if (others.releases) {
        control = CreateFileA(FWU_SIM_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
        if (control == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "fwusimctl others: the scanner driver does not answer (error %lu)\n",
                         static_cast<unsigned long>(GetLastError()));
            return 1;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);

    std::thread input(WaitForInputEnd);
    while (!g_inputEnded) {
        // The thread that took a mutex is the one that may release it.
        ReleaseDue(control, others.held, others.watched);
        OpenSeen(others.watched);
        Sleep(20);
    }
    input.join();
    if (control != INVALID_HANDLE_VALUE) {
        CloseHandle(control);
    }
    PrintFates(others.watched);
    return 0;
}
