// Device steps of the helper: the same platform calls, with the same
// parameters, that the updater makes on a still-image device path, one
// printed line per call so that a test can follow what the driver did.
#include "tools/wine-scanner/helper/helper.h"

#include <windows.h>

#include "platform/byte_order.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD IOCTL_GET_DEVICE_DESCRIPTOR = 0x80002018;
constexpr DWORD IOCTL_RESET_PIPE = 0x8000201C;
constexpr DWORD IOCTL_SET_TIMEOUT = 0x8000202C;

HANDLE g_device = INVALID_HANDLE_VALUE;
// Where the last "elapsed" step (or the first step) found the clock.
ULONGLONG g_markMs = 0;

std::string PathOf(int number)
{
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\usbscan%d", number);
    return path;
}

// One bulk call as the updater makes it: a fresh event, an OVERLAPPED on the
// synchronous handle, the call, a 1000 ms completion wait and the outcome.
void Transfer(bool write, std::vector<unsigned char>& buffer)
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD moved = 0;
    BOOL ok = write ? WriteFile(g_device, buffer.data(), DWORD(buffer.size()), &moved, &overlapped)
                    : ReadFile(g_device, buffer.data(), DWORD(buffer.size()), &moved, &overlapped);
    DWORD callError = ok ? 0 : GetLastError();
    std::printf("%s call=%d", write ? "write" : "read", ok ? 1 : 0);
    if (!ok) {
        std::printf(" error=%lu\n", static_cast<unsigned long>(callError));
        CloseHandle(event);
        return;
    }
    std::printf(" moved=%lu", static_cast<unsigned long>(moved));
    DWORD wait = WaitForSingleObject(event, 1000);
    std::printf(" wait=%s", wait == WAIT_OBJECT_0 ? "signalled" : "timeout");
    DWORD outcome = 0;
    BOOL fetched = GetOverlappedResult(g_device, &overlapped, &outcome, TRUE);
    std::printf(" result=%d count=%lu\n", fetched ? 1 : 0, static_cast<unsigned long>(outcome));
    CloseHandle(event);
}

unsigned long Number(const char* text)
{
    return std::strtoul(text, nullptr, 0);
}

void OpenStep(const char* number)
{
    std::string path = PathOf(int(Number(number)));
    g_device = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_SYSTEM, nullptr);
    if (g_device == INVALID_HANDLE_VALUE) {
        std::printf("open %s failed error=%lu\n", path.c_str(), static_cast<unsigned long>(GetLastError()));
    } else {
        std::printf("open %s ok\n", path.c_str());
    }
}

void DescriptorStep()
{
    unsigned short record[4] = {0, 0, 0, 0};
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(g_device, IOCTL_GET_DEVICE_DESCRIPTOR, record, sizeof record, record, sizeof record,
                              &returned, nullptr);
    if (ok) {
        std::printf("descriptor vendor=%04x product=%04x returned=%lu\n", record[0], record[1],
                    static_cast<unsigned long>(returned));
    } else {
        std::printf("descriptor failed error=%lu\n", static_cast<unsigned long>(GetLastError()));
    }
}

// The 16-byte command block from OP SUB PARAM LENGTH, sent, and its status
// reply read back.
void CommandStep(char** values)
{
    std::vector<unsigned char> block(16, 0);
    block[0] = 0x20;
    block[1] = 0x02;
    block[4] = static_cast<unsigned char>(Number(values[0]));
    block[6] = static_cast<unsigned char>(Number(values[1]));
    unsigned long param = Number(values[2]);
    unsigned long length = Number(values[3]);
    block[8] = static_cast<unsigned char>(param);
    block[9] = static_cast<unsigned char>(param >> 8);
    for (int b = 0; b < 4; ++b) {
        block[12 + b] = static_cast<unsigned char>(length >> (8 * b));
    }
    Transfer(true, block);
    std::vector<unsigned char> reply(32, 0);
    Transfer(false, reply);
    std::printf("state=%u\n", unsigned(GetLe16(reply.data() + 4)));
}

// IOCTL_SET_TIMEOUT with USBSCAN_TIMEOUT {read, write, event} in seconds.
void TimeoutsStep(char** values)
{
    DWORD seconds[3] = {DWORD(Number(values[0])), DWORD(Number(values[1])), DWORD(Number(values[2]))};
    DWORD returned = 0;
    if (DeviceIoControl(g_device, IOCTL_SET_TIMEOUT, seconds, sizeof seconds, nullptr, 0, &returned, nullptr)) {
        std::printf("timeouts ok\n");
    } else {
        std::printf("timeouts failed error=%lu\n", static_cast<unsigned long>(GetLastError()));
    }
}

// IOCTL_RESET_PIPE with a PIPE_TYPE given by number (1 read, 2 write).
void ResetStep(const char* pipe)
{
    DWORD type = DWORD(Number(pipe));
    DWORD returned = 0;
    if (DeviceIoControl(g_device, IOCTL_RESET_PIPE, &type, sizeof type, nullptr, 0, &returned, nullptr)) {
        std::printf("reset ok\n");
    } else {
        std::printf("reset failed error=%lu\n", static_cast<unsigned long>(GetLastError()));
    }
}

// The wall time since the previous mark, for a test to bound.
void ElapsedStep()
{
    const ULONGLONG now = GetTickCount64();
    std::printf("elapsed %llu ms\n", static_cast<unsigned long long>(now - g_markMs));
    g_markMs = now;
}

void WriteStep(const char* size)
{
    std::vector<unsigned char> data(Number(size));
    for (size_t b = 0; b < data.size(); ++b) {
        data[b] = static_cast<unsigned char>(b * 7 + 1);
    }
    Transfer(true, data);
}

}  // namespace

// open N | descriptor | command OP SUB PARAM LENGTH | write SIZE | read SIZE
// | sleep MS | close | timeouts READ WRITE EVENT | reset PIPE | elapsed; each
// step prints one line.
int RunDeviceSteps(int argc, char** argv)
{
    int i = 0;
    g_markMs = GetTickCount64();
    auto need = [&](int count) {
        if (i + count >= argc) {
            std::fprintf(stderr, "step %s: missing arguments\n", argv[i]);
            std::exit(2);
        }
    };
    for (; i < argc; ++i) {
        std::string step = argv[i];
        if (step == "open") {
            need(1);
            OpenStep(argv[++i]);
        } else if (step == "descriptor") {
            DescriptorStep();
        } else if (step == "command") {
            need(4);
            CommandStep(argv + i + 1);
            i += 4;
        } else if (step == "write") {
            need(1);
            WriteStep(argv[++i]);
        } else if (step == "read") {
            need(1);
            std::vector<unsigned char> data(Number(argv[++i]));
            Transfer(false, data);
        } else if (step == "sleep") {
            need(1);
            Sleep(DWORD(Number(argv[++i])));
            std::printf("slept\n");
        } else if (step == "timeouts") {
            need(3);
            TimeoutsStep(argv + i + 1);
            i += 3;
        } else if (step == "reset") {
            need(1);
            ResetStep(argv[++i]);
        } else if (step == "elapsed") {
            ElapsedStep();
        } else if (step == "close") {
            CloseHandle(g_device);
            g_device = INVALID_HANDLE_VALUE;
            std::printf("closed\n");
        } else {
            std::fprintf(stderr, "unknown step %s\n", step.c_str());
            return 2;
        }
        std::fflush(stdout);
    }
    return 0;
}
