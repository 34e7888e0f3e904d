// The device operations against a named pipe that the test holds the other
// end of. The client end is opened through OpenDevicePath, synchronously, as
// the scanner's path is, so the transfers take the same platform path as
// they do on the scanner.
#include "platform/device.h"
#include "platform/resource.h"

#include <windows.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr DWORD PIPE_BUFFER = 64 * 1024;

// One pipe per test: the server end stays with the test, the client end is
// the "device".
class PipeDevice {
public:
    PipeDevice()
    {
        static int serial = 0;
        std::snprintf(m_name, sizeof m_name, "\\\\.\\pipe\\fwu-device-test-%lu-%d", GetCurrentProcessId(), ++serial);
        m_server = CreateNamedPipeA(m_name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                                    PIPE_BUFFER, PIPE_BUFFER, 0, nullptr);
        if (m_server != INVALID_HANDLE_VALUE) {
            m_device = OpenDevicePath(m_name);
        }
    }
    ~PipeDevice()
    {
        CloseServer();
        if (m_device != INVALID_HANDLE_VALUE) {
            CloseHandle(m_device);
        }
    }
    PipeDevice(const PipeDevice&) = delete;
    PipeDevice& operator=(const PipeDevice&) = delete;

    bool Ready() const { return m_server != INVALID_HANDLE_VALUE && m_device != INVALID_HANDLE_VALUE; }
    Handle Device() const { return m_device; }
    HANDLE Server() const { return m_server; }

    void CloseServer()
    {
        if (m_server != INVALID_HANDLE_VALUE) {
            CloseHandle(m_server);
            m_server = INVALID_HANDLE_VALUE;
        }
    }

    // What the device side wrote, exactly `size` bytes.
    std::vector<unsigned char> Receive(DWORD size)
    {
        std::vector<unsigned char> bytes(size);
        DWORD total = 0;
        while (total < size) {
            DWORD got = 0;
            if (!ReadFile(m_server, bytes.data() + total, size - total, &got, nullptr) || got == 0) {
                break;
            }
            total += got;
        }
        bytes.resize(total);
        return bytes;
    }

    bool Send(const void* data, DWORD size)
    {
        DWORD written = 0;
        return WriteFile(m_server, data, size, &written, nullptr) && written == size;
    }

private:
    char m_name[96] = {};
    HANDLE m_server = INVALID_HANDLE_VALUE;
    Handle m_device = INVALID_HANDLE_VALUE;
};

std::vector<unsigned char> Pattern(std::size_t size, unsigned seed)
{
    std::vector<unsigned char> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>((i * 31 + seed) & 0xFF);
    }
    return bytes;
}

TransferOverlapped OverlappedWith(Handle event)
{
    TransferOverlapped overlapped{};
    overlapped.hEvent = event;
    return overlapped;
}

TEST(DevicePathTest, NoScannerPathUnderWine)
{
    SetLastError(0);
    EXPECT_EQ(OpenDevicePath("\\\\.\\usbscan0"), INVALID_HANDLE);
    EXPECT_EQ(LastError(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(OpenDevicePath("\\\\.\\pipe\\fwu-no-such-pipe"), INVALID_HANDLE);
}

TEST(DevicePathTest, OpenedHandleIsSynchronous)
{
    PipeDevice pipe;
    ASSERT_TRUE(pipe.Ready());
    // A handle opened for overlapped I/O would let a transfer call return
    // before the data moved, and the logic's byte count checks would lie.
    FILE_MODE_INFORMATION mode{};
    IO_STATUS_BLOCK io{};
    using QueryInformation = LONG(WINAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int);
    auto query = reinterpret_cast<QueryInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationFile")));
    ASSERT_NE(query, nullptr);
    constexpr int FILE_MODE_INFORMATION_CLASS = 16;
    ASSERT_EQ(query(pipe.Device(), &io, &mode, sizeof mode, FILE_MODE_INFORMATION_CLASS), 0);
    EXPECT_NE(mode.Mode & (FILE_SYNCHRONOUS_IO_NONALERT | FILE_SYNCHRONOUS_IO_ALERT), 0ul);
}

TEST(CompletionEventTest, StartsUnsignalledAndResetsItself)
{
    Handle event = CreateCompletionEvent();
    ASSERT_NE(event, NO_HANDLE);
    EXPECT_FALSE(WaitForCompletion(event, 0)) << "a new event must not be signalled";
    ASSERT_TRUE(SetEvent(event));
    EXPECT_TRUE(WaitForCompletion(event, 0));
    EXPECT_FALSE(WaitForCompletion(event, 0)) << "a satisfied wait must reset the event";
    EXPECT_FALSE(WaitForCompletion(event, 20)) << "a wait that times out is not a completion";
    CloseObject(event);
}

TEST(CompletionEventTest, EachEventIsSeparate)
{
    Handle first = CreateCompletionEvent();
    Handle second = CreateCompletionEvent();
    ASSERT_NE(first, NO_HANDLE);
    ASSERT_NE(second, NO_HANDLE);
    EXPECT_NE(first, second) << "events must be unnamed, never shared";
    ASSERT_TRUE(SetEvent(first));
    EXPECT_FALSE(WaitForCompletion(second, 0));
    CloseObject(first);
    CloseObject(second);
}

// A write of every size the updater sends: the command block, the clock
// record, and larger buffers up to the pipe's buffer.
TEST(DeviceTransferTest, WritesReachTheOtherEndWhole)
{
    const std::uint32_t sizes[] = {1, 16, 36, 4096, PIPE_BUFFER / 2};
    for (std::uint32_t size : sizes) {
        SCOPED_TRACE(size);
        PipeDevice pipe;
        ASSERT_TRUE(pipe.Ready());
        const auto data = Pattern(size, size);
        Handle event = CreateCompletionEvent();
        ASSERT_NE(event, NO_HANDLE);
        TransferOverlapped overlapped = OverlappedWith(event);

        std::uint32_t reported = 0xDEAD;
        ASSERT_TRUE(WriteDevice(pipe.Device(), data.data(), size, &reported, &overlapped));
        EXPECT_EQ(reported, size);
        EXPECT_TRUE(WaitForCompletion(event, 1000)) << "the completion event must be signalled";
        // The platform reports into our record: status and count sit where
        // OVERLAPPED keeps them.
        EXPECT_EQ(overlapped.Internal, 0u);
        EXPECT_EQ(overlapped.InternalHigh, size);
        std::uint32_t fetched = 0xDEAD;
        EXPECT_TRUE(FetchTransferResult(pipe.Device(), &overlapped, &fetched));
        EXPECT_EQ(fetched, size);
        EXPECT_EQ(pipe.Receive(size), data);
        CloseObject(event);
    }
}

TEST(DeviceTransferTest, ReadsBringTheOtherEndsBytes)
{
    const std::uint32_t sizes[] = {16, 32, 36, 4096};
    for (std::uint32_t size : sizes) {
        SCOPED_TRACE(size);
        PipeDevice pipe;
        ASSERT_TRUE(pipe.Ready());
        const auto data = Pattern(size, 7);
        ASSERT_TRUE(pipe.Send(data.data(), size));
        Handle event = CreateCompletionEvent();
        ASSERT_NE(event, NO_HANDLE);
        TransferOverlapped overlapped = OverlappedWith(event);

        std::vector<unsigned char> received(size, 0xEE);
        std::uint32_t reported = 0xDEAD;
        ASSERT_TRUE(ReadDevice(pipe.Device(), received.data(), size, &reported, &overlapped));
        EXPECT_EQ(reported, size);
        EXPECT_TRUE(WaitForCompletion(event, 1000));
        std::uint32_t fetched = 0xDEAD;
        EXPECT_TRUE(FetchTransferResult(pipe.Device(), &overlapped, &fetched));
        EXPECT_EQ(fetched, size);
        EXPECT_EQ(received, data);
        CloseObject(event);
    }
}

TEST(DeviceTransferTest, ShortReadsReportWhatArrived)
{
    // The clock record may come in pieces; each read call reports its own
    // count and the pieces land where they were asked for.
    PipeDevice pipe;
    ASSERT_TRUE(pipe.Ready());
    const auto record = Pattern(36, 3);
    unsigned char buffer[36] = {};
    Handle event = CreateCompletionEvent();
    ASSERT_NE(event, NO_HANDLE);

    ASSERT_TRUE(pipe.Send(record.data(), 20));
    TransferOverlapped first = OverlappedWith(event);
    std::uint32_t got = 0;
    ASSERT_TRUE(ReadDevice(pipe.Device(), buffer, 36, &got, &first));
    EXPECT_EQ(got, 20u);

    ASSERT_TRUE(pipe.Send(record.data() + 20, 16));
    TransferOverlapped second = OverlappedWith(event);
    ASSERT_TRUE(ReadDevice(pipe.Device(), buffer + got, 36 - got, &got, &second));
    EXPECT_EQ(got, 16u);
    EXPECT_EQ(std::memcmp(buffer, record.data(), sizeof buffer), 0);
    CloseObject(event);
}

struct DrainJob {
    HANDLE server;
    const unsigned char* expected;
    std::uint32_t size;
    std::uint32_t received;
    bool same;
};

DWORD WINAPI Drain(void* argument)
{
    auto* job = static_cast<DrainJob*>(argument);
    std::vector<unsigned char> chunk(PIPE_BUFFER);
    job->same = true;
    while (job->received < job->size) {
        DWORD got = 0;
        if (!ReadFile(job->server, chunk.data(), PIPE_BUFFER, &got, nullptr) || got == 0) {
            break;
        }
        if (job->received + got > job->size ||
            std::memcmp(chunk.data(), job->expected + job->received, got) != 0) {
            job->same = false;
        }
        job->received += got;
    }
    return 0;
}

TEST(DeviceTransferTest, WholeFirmwareImageGoesOutInOneCall)
{
    Handle resource = FindBinaryResource(121);
    ASSERT_NE(resource, NO_HANDLE);
    Handle loaded = LoadBinaryResource(resource);
    ASSERT_NE(loaded, NO_HANDLE);
    const auto* image = static_cast<const unsigned char*>(LockBinaryResource(loaded));
    const std::uint32_t size = SizeOfBinaryResource(resource);
    ASSERT_NE(image, nullptr);
    ASSERT_GT(size, PIPE_BUFFER * 4) << "the image must be far larger than one pipe buffer";

    PipeDevice pipe;
    ASSERT_TRUE(pipe.Ready());
    DrainJob job{pipe.Server(), image, size, 0, false};
    HANDLE reader = CreateThread(nullptr, 0, Drain, &job, 0, nullptr);
    ASSERT_NE(reader, nullptr);

    Handle event = CreateCompletionEvent();
    ASSERT_NE(event, NO_HANDLE);
    TransferOverlapped overlapped = OverlappedWith(event);
    std::uint32_t reported = 0;
    const bool written = WriteDevice(pipe.Device(), image, size, &reported, &overlapped);
    EXPECT_TRUE(written);
    EXPECT_EQ(reported, size);
    EXPECT_TRUE(WaitForCompletion(event, 1000));
    std::uint32_t fetched = 0;
    EXPECT_TRUE(FetchTransferResult(pipe.Device(), &overlapped, &fetched));
    EXPECT_EQ(fetched, size);

    if (!written) {
        pipe.CloseServer();
    }
    WaitForSingleObject(reader, INFINITE);
    CloseHandle(reader);
    EXPECT_EQ(job.received, size);
    EXPECT_TRUE(job.same) << "the bytes on the far side differ from the image";
    CloseObject(event);
}

// A transfer on a pipe whose far end is gone must fail at the call, as a
// scanner that left the bus does; no byte count may be taken for success.
TEST(DeviceTransferTest, BrokenPipeFailsTheCall)
{
    struct Case {
        const char* name;
        bool write;
    };
    const Case cases[] = {{"write", true}, {"read", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PipeDevice pipe;
        ASSERT_TRUE(pipe.Ready());
        pipe.CloseServer();
        Handle event = CreateCompletionEvent();
        ASSERT_NE(event, NO_HANDLE);
        TransferOverlapped overlapped = OverlappedWith(event);
        unsigned char buffer[16] = {};
        std::uint32_t reported = 0xDEAD;
        SetLastError(0);
        const bool ok = c.write ? WriteDevice(pipe.Device(), buffer, sizeof buffer, &reported, &overlapped)
                                : ReadDevice(pipe.Device(), buffer, sizeof buffer, &reported, &overlapped);
        EXPECT_FALSE(ok);
        EXPECT_NE(LastError(), 0u);
        EXPECT_EQ(reported, 0u);
        CloseObject(event);
    }
}

TEST(DeviceDescriptorTest, NonScannerRefusesTheRequest)
{
    // A pipe knows nothing of the still-image driver's request; the failure
    // must come back as a failure.
    PipeDevice pipe;
    ASSERT_TRUE(pipe.Ready());
    DeviceDescriptor descriptor{};
    std::uint32_t returned = 0xDEAD;
    EXPECT_FALSE(RequestDeviceDescriptor(pipe.Device(), &descriptor, &returned));
    EXPECT_EQ(returned, 0u);
}

} // namespace
