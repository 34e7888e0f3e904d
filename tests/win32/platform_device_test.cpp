// The transfer operations against a named pipe standing in for the scanner:
// the test holds the server end, and the client end is opened through
// OpenDevicePath, synchronously, as the scanner's path is.
#include "platform/device.h"
#include "platform/resource.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr DWORD PIPE_BUFFER = 64 * 1024;

struct PipeDevice {
    PipeDevice()
    {
        static int serial = 0;
        char name[96];
        std::snprintf(name, sizeof name, "\\\\.\\pipe\\fwu-device-test-%lu-%d", GetCurrentProcessId(), ++serial);
        server = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, PIPE_BUFFER, PIPE_BUFFER, 0,
                                  nullptr);
        device = OpenDevicePath(name);
    }
    ~PipeDevice()
    {
        CloseServer();
        if (device != INVALID_HANDLE) {
            CloseObject(device);
        }
    }
    void CloseServer()
    {
        if (server != INVALID_HANDLE_VALUE) {
            CloseHandle(server);
        }
        server = INVALID_HANDLE_VALUE;
    }
    bool Ready() const { return server != INVALID_HANDLE_VALUE && device != INVALID_HANDLE; }

    HANDLE server = INVALID_HANDLE_VALUE;
    Handle device = INVALID_HANDLE;
};

// One transfer as the logic makes it: a fresh completion event, the call,
// the wait on the event, the outcome. Both counts must be `expected`.
void Transfer(Handle device, bool write, void* data, std::uint32_t size, std::uint32_t expected)
{
    Handle event = CreateCompletionEvent();
    ASSERT_NE(event, NO_HANDLE);
    EXPECT_FALSE(WaitForCompletion(event, 0)) << "a new event must not be signalled";
    TransferOverlapped overlapped{};
    overlapped.hEvent = event;
    std::uint32_t reported = 0xDEAD;
    std::uint32_t fetched = 0xDEAD;
    EXPECT_TRUE(write ? WriteDevice(device, data, size, &reported, &overlapped)
                      : ReadDevice(device, data, size, &reported, &overlapped));
    EXPECT_EQ(reported, expected);
    EXPECT_TRUE(WaitForCompletion(event, 1000)) << "the completion must signal the event";
    EXPECT_FALSE(WaitForCompletion(event, 0)) << "a satisfied wait must reset the event";
    EXPECT_TRUE(FetchTransferResult(device, &overlapped, &fetched));
    EXPECT_EQ(fetched, expected);
    CloseObject(event);
}

// What the far end can read, up to `size` bytes.
std::vector<unsigned char> Receive(HANDLE server, DWORD size)
{
    std::vector<unsigned char> bytes(size);
    DWORD total = 0;
    DWORD got = 0;
    while (total < size && ReadFile(server, bytes.data() + total, size - total, &got, nullptr) && got > 0) {
        total += got;
    }
    bytes.resize(total);
    return bytes;
}

TEST(PlatformDeviceTest, EachTransferMovesAndCountsItsBytes)
{
    struct Case {
        const char* name;
        bool write;
        std::uint32_t asked;
        std::uint32_t moved;  // what the far end takes or has to give
    };
    const Case cases[] = {
        {"command block out", true, 16, 16},
        {"record arriving whole", false, 36, 36},
        {"record arriving in part: the count is what came", false, 36, 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PipeDevice pipe;
        ASSERT_TRUE(pipe.Ready());
        std::vector<unsigned char> sent(c.moved);
        for (std::size_t i = 0; i < sent.size(); ++i) {
            sent[i] = static_cast<unsigned char>(i * 31 + c.asked);
        }
        std::vector<unsigned char> data = c.write ? sent : std::vector<unsigned char>(c.asked, 0xEE);
        DWORD count = 0;
        ASSERT_TRUE(c.write || (WriteFile(pipe.server, sent.data(), c.moved, &count, nullptr) && count == c.moved));
        Transfer(pipe.device, c.write, data.data(), c.asked, c.moved);
        data.resize(c.moved);
        EXPECT_EQ(c.write ? Receive(pipe.server, c.moved) : data, sent);
    }
}

struct FarEnd {
    HANDLE server;
    DWORD size;
    std::vector<unsigned char> bytes;
};

DWORD WINAPI ReceiveAtTheFarEnd(void* argument)
{
    auto* end = static_cast<FarEnd*>(argument);
    end->bytes = Receive(end->server, end->size);
    return 0;
}

TEST(PlatformDeviceTest, WholeFirmwareImageGoesOutInOneCall)
{
    Handle resource = FindBinaryResource(121);
    ASSERT_NE(resource, NO_HANDLE);
    auto* image = static_cast<unsigned char*>(const_cast<void*>(LockBinaryResource(LoadBinaryResource(resource))));
    const std::uint32_t size = SizeOfBinaryResource(resource);
    ASSERT_NE(image, nullptr);

    PipeDevice pipe;
    ASSERT_TRUE(pipe.Ready());
    FarEnd receiver{pipe.server, size, {}};
    HANDLE reader = CreateThread(nullptr, 0, ReceiveAtTheFarEnd, &receiver, 0, nullptr);
    ASSERT_NE(reader, nullptr);
    Transfer(pipe.device, true, image, size, size);
    pipe.CloseServer();  // ends the reader should the write have stopped short
    WaitForSingleObject(reader, INFINITE);
    CloseHandle(reader);
    ASSERT_EQ(receiver.bytes.size(), size);
    EXPECT_EQ(std::memcmp(receiver.bytes.data(), image, size), 0) << "the bytes on the far side differ from the image";
}

// A path that is not there, a device that knows nothing of the descriptor
// request, and a far end that is gone, as a scanner that left the bus: each
// must come back as a failure, with no byte count to mistake for success.
TEST(PlatformDeviceTest, FailuresComeBackAsFailures)
{
    SetLastError(0);
    EXPECT_EQ(OpenDevicePath("\\\\.\\usbscan0"), INVALID_HANDLE);
    EXPECT_EQ(LastError(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));

    PipeDevice pipe;
    ASSERT_TRUE(pipe.Ready());
    DeviceDescriptor descriptor{};
    std::uint32_t count = 0xDEAD;
    EXPECT_FALSE(RequestDeviceDescriptor(pipe.device, &descriptor, &count));
    EXPECT_EQ(count, 0u);

    pipe.CloseServer();
    TransferOverlapped overlapped{};
    unsigned char buffer[16] = {};
    for (bool write : {true, false}) {
        SCOPED_TRACE(write ? "write" : "read");
        count = 0xDEAD;
        EXPECT_FALSE(write ? WriteDevice(pipe.device, buffer, sizeof buffer, &count, &overlapped)
                           : ReadDevice(pipe.device, buffer, sizeof buffer, &count, &overlapped));
        EXPECT_EQ(count, 0u);
    }
}

}  // namespace
