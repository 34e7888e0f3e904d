#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/device.h"
#include "platform/handle.h"
#include "platform/sim/device_link.h"
#include "platform/sim/error_codes.h"
#include "platform/sim/wire_replay.h"
#include "platform/sim/wire_trace.h"
#include "scanner_model/usbpcap.h"
#include "tests/logic/sim_fixture.h"

namespace {

class SimDeviceTest : public SimulatedWorldFixture { };

// The transfer tests find event leaks by comparing these two counters, so a
// refused create and a second close must count for nothing.
TEST_F(SimDeviceTest, EventsAreCountedOnceAndRefusedByCallNumber)
{
    World().createEvent = SimRefusal{2, 2, 8};
    StartWorld();
    const Handle first = CreateCompletionEvent();
    EXPECT_NE(first, NO_HANDLE);
    EXPECT_EQ(CreateCompletionEvent(), NO_HANDLE);
    EXPECT_EQ(LastError(), 8u);
    EXPECT_EQ(CreateCompletionEvent(), NO_HANDLE);
    EXPECT_NE(CreateCompletionEvent(), NO_HANDLE);
    CloseObject(first);
    CloseObject(first);
    EXPECT_EQ(World().eventsCreated, 2u);
    EXPECT_EQ(World().eventsClosed, 1u);
}

}  // namespace

namespace {

// A device that answers every request with one scripted answer and keeps
// what it was asked.
class ScriptedLink final : public DeviceLink {
public:
    DeviceAnswer answer;
    std::vector<std::string> asked;

    bool Attach(int path, SimObject* device) override
    {
        asked.push_back("attach " + std::to_string(path));
        device->scanner = true;
        device->generation = 1;
        return path == 4;
    }
    DeviceAnswer Describe(const SimObject&) override
    {
        asked.emplace_back("describe");
        return answer;
    }
    DeviceAnswer Write(const SimObject&, const std::uint8_t*, std::uint32_t size) override
    {
        asked.push_back("write " + std::to_string(size));
        return answer;
    }
    DeviceAnswer Read(const SimObject&, std::uint8_t* data, std::uint32_t size) override
    {
        asked.push_back("read " + std::to_string(size));
        std::fill_n(data, std::min(size, answer.count), std::uint8_t{0xA5});
        return answer;
    }
};

class SimDeviceLinkTest : public SimulatedWorldFixture {
protected:
    void SetUp() override
    {
        SimulatedWorldFixture::SetUp();
        World().deviceLink = &m_link;
        StartWorld();
    }
    void TearDown() override { World().deviceLink = nullptr; }

    ScriptedLink m_link;
};

// Whoever answers, each wire outcome becomes the same platform result: the
// updater's transfer code tells a refused call, a request never answered
// and a short count apart only through these. The handle is synchronous:
// a call that returns success has its event set and its outcome ready. A
// status no link should give is a failure, never bytes that moved.
TEST_F(SimDeviceLinkTest, EachWireOutcomeBecomesOnePlatformResult)
{
    struct Case {
        const char* name;
        std::uint32_t status;
        bool called;
        std::uint32_t lastError;
        std::uint32_t transferred;
        std::uint64_t heldMs;  // the handle keeps the driver's 120 s
    };
    const Case cases[] = {
        {"success", USBD_STATUS_SUCCESS_VALUE, true, 0, 20, 0},
        {"call fails", USBD_STATUS_STALL_PID_VALUE, false, ERROR_GEN_FAILURE_CODE, 0, 0},
        {"device gone", USBD_STATUS_DEVICE_GONE_VALUE, false, ERROR_DEVICE_NOT_CONNECTED_CODE, 0, 0},
        {"other maker's device", USBD_STATUS_NOT_SUPPORTED_VALUE, false, ERROR_INVALID_FUNCTION_CODE, 0, 0},
        {"never answered", USBD_STATUS_CANCELED_VALUE, false, ERROR_SEM_TIMEOUT_CODE, 0, 120000},
        {"a status no link gives", 0x40000000u, false, ERROR_GEN_FAILURE_CODE, 0, 0},
    };
    const Handle device = OpenDevicePath("\\\\.\\usbscan4");
    ASSERT_NE(device, INVALID_HANDLE);
    const Handle event = CreateCompletionEvent();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_link.answer = {c.status, 20, 0, 0};
        for (const bool write : {true, false}) {
            std::uint8_t buffer[32] = {};
            std::uint32_t transferred = 99;
            TransferOverlapped overlapped{};
            overlapped.hEvent = event;
            const std::uint64_t before = World().nowMs;
            const bool called = write ? WriteDevice(device, buffer, sizeof buffer, &transferred, &overlapped)
                                      : ReadDevice(device, buffer, sizeof buffer, &transferred, &overlapped);
            EXPECT_EQ(called, c.called);
            EXPECT_EQ(transferred, c.transferred);
            EXPECT_EQ(World().nowMs - before, c.heldMs);
            if (!called) {
                EXPECT_EQ(LastError(), c.lastError);
                EXPECT_FALSE(WaitForCompletion(event, 0)) << "a failed call set the event";
                continue;
            }
            EXPECT_TRUE(WaitForCompletion(event, 0));
            std::uint32_t fetched = 0;
            EXPECT_TRUE(FetchTransferResult(device, &overlapped, &fetched));
            EXPECT_EQ(fetched, 20u);
        }
    }
}

TEST_F(SimDeviceLinkTest, TheLinkDecidesWhatIsOnTheBusAndNeverSeesABadHandle)
{
    EXPECT_EQ(OpenDevicePath("\\\\.\\usbscan3"), INVALID_HANDLE);
    EXPECT_EQ(LastError(), ERROR_FILE_NOT_FOUND_CODE);
    EXPECT_EQ(OpenDevicePath("\\\\.\\usbscan04"), INVALID_HANDLE);  // no device path at all
    const Handle device = OpenDevicePath("\\\\.\\usbscan4");
    ASSERT_NE(device, INVALID_HANDLE);

    m_link.answer = {USBD_STATUS_SUCCESS_VALUE, USB_DEVICE_DESCRIPTOR_SIZE, 0x1234, 0x5678};
    DeviceDescriptor descriptor{};
    ASSERT_TRUE(RequestDeviceDescriptor(device, &descriptor, nullptr));
    EXPECT_EQ(descriptor.usVendorId, 0x1234);
    EXPECT_EQ(descriptor.usProductId, 0x5678);
    m_link.answer = {USBD_STATUS_DEVICE_GONE_VALUE, 0, 0, 0};
    EXPECT_FALSE(RequestDeviceDescriptor(device, &descriptor, nullptr));
    EXPECT_EQ(LastError(), ERROR_DEVICE_NOT_CONNECTED_CODE);

    CloseObject(device);
    std::uint8_t byte = 0;
    EXPECT_FALSE(WriteDevice(device, &byte, 1, nullptr, nullptr));
    EXPECT_EQ(LastError(), ERROR_INVALID_HANDLE_CODE);
    EXPECT_EQ(m_link.asked, (std::vector<std::string>{"attach 3", "attach -1", "attach 4", "describe", "describe"}));
}

// The recorder passes every request on and writes down the answer it got:
// read back by the replay, the trace holds the same requests and outcomes.
TEST_F(SimDeviceLinkTest, ATraceReadsBackAsTheAnswersItRecorded)
{
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    WireTrace trace;
    ASSERT_TRUE(trace.Start(file, &m_link));
    World().deviceLink = &trace;
    const Handle device = OpenDevicePath("\\\\.\\usbscan4");
    const std::uint32_t statuses[] = {USBD_STATUS_SUCCESS_VALUE, USBD_STATUS_CANCELED_VALUE,
                                      USBD_STATUS_DEVICE_GONE_VALUE};
    for (const std::uint32_t status : statuses) {
        m_link.answer = {status, status == USBD_STATUS_SUCCESS_VALUE ? 16u : 0u, 0, 0};
        std::uint8_t buffer[16] = {1, 2, 3};
        WriteDevice(device, buffer, sizeof buffer, nullptr, nullptr);
        ReadDevice(device, buffer, sizeof buffer, nullptr, nullptr);
    }
    ASSERT_TRUE(trace.Good());
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::ftell(file)));
    std::rewind(file);
    ASSERT_EQ(std::fread(bytes.data(), 1, bytes.size(), file), bytes.size());
    std::fclose(file);

    WireReplay replay;
    std::string error;
    ASSERT_TRUE(replay.Parse(bytes, &error)) << error;
    ASSERT_EQ(replay.Requests().size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) {
        const ReplayRequest& request = replay.Requests()[i];
        EXPECT_EQ(request.kind, i % 2 == 0 ? TRACE_WRITE : TRACE_READ);
        EXPECT_EQ(request.status, statuses[i / 2]);
        EXPECT_EQ(request.size, 16u);
        EXPECT_EQ(request.address, 5u);
    }
    EXPECT_EQ(replay.Requests()[1].in, std::vector<std::uint8_t>(16, 0xA5));

    // A capture that ended before the last completion came: that read was
    // not answered while it was recorded, and replays as never answered.
    const std::size_t failedReadCompletion = PCAP_RECORD_HEADER_SIZE + USBPCAP_HEADER_SIZE;
    bytes.resize(bytes.size() - failedReadCompletion);
    ASSERT_TRUE(replay.Parse(bytes, &error)) << error;
    ASSERT_EQ(replay.Requests().size(), 6u);
    EXPECT_EQ(replay.Requests()[5].status, USBD_STATUS_CANCELED_VALUE);
    EXPECT_EQ(replay.Requests()[5].count, 0u);
    EXPECT_EQ(replay.Requests()[4].status, USBD_STATUS_DEVICE_GONE_VALUE);
}

}  // namespace
