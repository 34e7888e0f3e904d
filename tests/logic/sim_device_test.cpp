#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/logic/sim_bus.h"
#include "tests/logic/sim_fixture.h"

namespace {

using SimDeviceTest = SimTest;

struct PathCase {
    const char* path;
    int scannerAt;  // where the scanner sits
    bool opens;
};

TEST_F(SimDeviceTest, OnlyTheDriversExactPathNamesOpen)
{
    const PathCase cases[] = {
        {"\\\\.\\usbscan0", 0, true},
        {"\\\\.\\usbscan7", 7, true},
        {"\\\\.\\usbscan42", 42, true},
        {"\\\\.\\usbscan255", 255, true},
        {"\\\\.\\USBSCAN3", 3, true},  // object names ignore case
        {"\\\\.\\usbscan00", 0, false},
        {"\\\\.\\usbscan07", 7, false},
        {"\\\\.\\usbscan256", 255, false},
        {"\\\\.\\usbscan1000", 100, false},
        {"\\\\.\\usbscan-1", 1, false},
        {"\\\\.\\usbscan+1", 1, false},
        {"\\\\.\\usbscan", 0, false},
        {"\\\\.\\usbscan1x", 1, false},
        {"\\\\.\\usbscan 1", 1, false},
        {"usbscan0", 0, false},
        {"\\\\.\\usbscan1", 0, false},  // nothing there
        {"", 0, false},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.path);
        SetUp();
        World().scanner.path = c.scannerAt;
        StartWorld();
        Handle h = OpenDevicePath(c.path);
        EXPECT_EQ(h != INVALID_HANDLE, c.opens);
        EXPECT_NE(h, NO_HANDLE);
        if (!c.opens) {
            EXPECT_EQ(LastError(), 2u);
        }
        EXPECT_EQ(World().deviceOpens, c.opens ? 1u : 0u);
        EXPECT_EQ(World().deviceOpenAttempts, 1u);
    }
}

struct DescriptorCase {
    const char* name;
    int path;
    bool ok;
    std::uint16_t vendor, product;
};

TEST_F(SimDeviceTest, DescriptorsComeFromWhateverSitsAtThePath)
{
    World().scanner.path = 4;
    World().foreignDevices = {{0, 0x04A9, 0x1909, false}, {1, 0x7A3C, 0x39C1, false}, {2, 0, 0, true}};
    const DescriptorCase cases[] = {
        {"another maker's device", 0, true, 0x04A9, 0x1909},
        {"the sibling model", 1, true, 0x7A3C, 0x39C1},
        {"a device whose request fails", 2, false, 0, 0},
        {"the scanner", 4, true, 0x7A3C, 0x41B2},
    };
    StartWorld();
    for (const DescriptorCase& c : cases) {
        SCOPED_TRACE(c.name);
        Handle h = OpenScannerAt(c.path);
        ASSERT_NE(h, INVALID_HANDLE);
        DeviceDescriptor d{0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
        std::uint32_t returned = 99;
        EXPECT_EQ(RequestDeviceDescriptor(h, &d, &returned), c.ok);
        if (c.ok) {
            EXPECT_EQ(d.usVendorId, c.vendor);
            EXPECT_EQ(d.usProductId, c.product);
            EXPECT_EQ(returned, 8u);
        }
        CloseObject(h);
    }
    EXPECT_EQ(OpenScannerAt(3), INVALID_HANDLE);
    EXPECT_EQ(World().deviceOpens, 4u);
    EXPECT_EQ(World().deviceCloses, 4u);
}

TEST_F(SimDeviceTest, ScannerDescriptorCanBeMadeToFail)
{
    for (int way = 0; way < 2; ++way) {
        SCOPED_TRACE(way == 0 ? "world switch" : "scanner configuration");
        SetUp();
        if (way == 0) {
            World().descriptorFailsOnScanner = true;
        } else {
            World().scanner.descriptorFails = true;
        }
        StartWorld();
        DeviceDescriptor d{};
        std::uint32_t returned = 0;
        EXPECT_FALSE(RequestDeviceDescriptor(OpenScannerAt(0), &d, &returned));
    }
}

TEST_F(SimDeviceTest, TransfersOnHandlesThatAreNotALiveScannerFailWithoutReachingIt)
{
    World().foreignDevices = {{1, 0x04A9, 0x1909, false}};
    StartWorld();
    Handle closed = OpenScannerAt(0);
    CloseObject(closed);
    Handle event = CreateCompletionEvent();
    const std::vector<std::pair<const char*, Handle>> handles = {
        {"none", NO_HANDLE},
        {"invalid", INVALID_HANDLE},
        {"closed", closed},
        {"an event", event},
        {"a foreign device", OpenScannerAt(1)},
        {"garbage", reinterpret_cast<Handle>(std::uintptr_t{0x1234})},
    };
    for (const auto& [name, handle] : handles) {
        SCOPED_TRACE(name);
        std::vector<std::uint8_t> data;
        EXPECT_FALSE(BusWrite(handle, DeviceStatus()).call);
        EXPECT_FALSE(BusRead(handle, &data, 32).call);
    }
    EXPECT_EQ(World().model.writeCalls, 0u);
    EXPECT_EQ(World().model.readCalls, 0u);
    EXPECT_EQ(BusStatus(OpenScannerAt(0)), 0);
}

TEST_F(SimDeviceTest, EventsAreCountedAndRefusedByCallNumber)
{
    World().createEvent = SimRefusal{2, 2, 8};
    StartWorld();
    Handle first = CreateCompletionEvent();
    EXPECT_NE(first, NO_HANDLE);
    EXPECT_EQ(CreateCompletionEvent(), NO_HANDLE);
    EXPECT_EQ(LastError(), 8u);
    EXPECT_EQ(CreateCompletionEvent(), NO_HANDLE);
    Handle fourth = CreateCompletionEvent();
    EXPECT_NE(fourth, NO_HANDLE);
    EXPECT_NE(fourth, first);
    CloseObject(first);
    CloseObject(first);  // a second close is not counted
    EXPECT_EQ(World().eventsCreated, 2u);
    EXPECT_EQ(World().eventsClosed, 1u);
    EXPECT_EQ(World().eventCreateCalls, 4u);
}

TEST_F(SimDeviceTest, AnUnsignalledWaitCostsItsTimeAndASignalIsConsumedOnce)
{
    StartWorld();
    Handle event = CreateCompletionEvent();
    EXPECT_FALSE(WaitForCompletion(event, 1000));
    EXPECT_EQ(World().nowMs, 1000u);

    Handle h = OpenScannerAt(0);
    std::vector<std::uint8_t> block = DeviceStatus();
    TransferOverlapped overlapped{};
    overlapped.hEvent = event;
    std::uint32_t count = 0;
    ASSERT_TRUE(WriteDevice(h, block.data(), 16, &count, &overlapped));
    EXPECT_TRUE(WaitForCompletion(event, 1000));
    EXPECT_FALSE(WaitForCompletion(event, 250)) << "auto-reset";
    EXPECT_EQ(World().nowMs, 1250u);
    std::uint32_t fetched = 0;
    EXPECT_TRUE(FetchTransferResult(h, &overlapped, &fetched));
    EXPECT_EQ(fetched, 16u);
}

TEST_F(SimDeviceTest, CallsAreRecordedInOrder)
{
    World().scanner.path = 1;
    StartWorld();
    EXPECT_EQ(OpenScannerAt(0), INVALID_HANDLE);
    EXPECT_EQ(BusStatus(OpenScannerAt(1)), 0);
    const std::vector<std::string> expected = {
        "OpenDevicePath \\\\.\\usbscan0 failed",
        "OpenDevicePath \\\\.\\usbscan1",
        "Write 16",
        "Read 32",
    };
    EXPECT_EQ(World().calls, expected);
}

}  // namespace
