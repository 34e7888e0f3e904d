// Finding the scanner among the driver's numbered paths, on a simulated bus
// laid out per case.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/shared.h"
#include "link/discovery.h"
#include "tests/logic/console_texts.h"
#include "tests/logic/sim_fixture.h"

using namespace texts;

namespace {

const char* const EARLIER_PATH = "\\\\.\\usbscan7";

constexpr std::uint16_t OTHER_VENDOR = 0x04B8;

class LinkDiscoveryTest : public SimulatedWorldFixture { };

struct BusCase {
    const char* name;
    int scannerPath;  // -1: not attached
    std::vector<SimForeignDevice> foreign;
    bool found;
    const char* devicePath;  // after the search; a failed one leaves the earlier path
    std::string console;
    std::uint32_t opens, closes;
    std::uint32_t attempts;  // paths tried: \\.\usbscan0 upwards, never beyond 255
    bool scannerDescriptorFails = false;
};

TEST_F(LinkDiscoveryTest, FindScannerOverBusLayouts)
{
    const BusCase cases[] = {
        {"nothing attached: 256 silent misses", -1, {}, false, EARLIER_PATH, NOT_FOUND, 0, 0, 256},
        {"missing lower paths are silent", 3, {}, true, "\\\\.\\usbscan3", FOUND, 1, 0, 4},
        {"last path", 255, {}, true, "\\\\.\\usbscan255", FOUND, 1, 0, 256},
        {"foreign devices below are opened, asked and closed",
         4,
         {{0, OTHER_VENDOR, 0x0001, false}, {2, OTHER_VENDOR, SCANNER_PRODUCT_ID, false}},
         true,
         "\\\\.\\usbscan4",
         FOUND,
         3,
         2,
         5},
        {"reboot-prompt product is refused",
         -1,
         {{1, SCANNER_VENDOR_ID, REBOOT_PROMPT_PRODUCT_ID, false}},
         false,
         EARLIER_PATH,
         NOT_FOUND,
         1,
         1,
         256},
        {"a failing descriptor is reported and the search goes on",
         5,
         {{1, OTHER_VENDOR, 0x0001, true}},
         true,
         "\\\\.\\usbscan5",
         DESCRIPTOR_ERROR + FOUND,
         2,
         1,
         6},
        {"the scanner's own descriptor fails",
         2,
         {},
         false,
         EARLIER_PATH,
         DESCRIPTOR_ERROR + NOT_FOUND,
         1,
         1,
         256,
         true},
        // A second device with the scanner's IDs is never opened.
        {"the lower of two scanners wins",
         6,
         {{9, SCANNER_VENDOR_ID, SCANNER_PRODUCT_ID, false}},
         true,
         "\\\\.\\usbscan6",
         FOUND,
         1,
         0,
         7},
        {"the lower of two scanners wins, other order",
         9,
         {{6, SCANNER_VENDOR_ID, SCANNER_PRODUCT_ID, false}},
         true,
         "\\\\.\\usbscan6",
         FOUND,
         1,
         0,
         7},
    };
    for (const BusCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().scanner.path = c.scannerPath;
        World().scanner.descriptorFails = c.scannerDescriptorFails;
        World().foreignDevices = c.foreign;
        StartWorld();
        std::snprintf(DevicePath, sizeof DevicePath, "%s", EARLIER_PATH);
        UpdateMode = 5;  // the search hands the descriptor back and leaves the mode alone
        DeviceDescriptor found = {};

        EXPECT_EQ(FindScanner(&found), c.found);
        EXPECT_EQ(Console(), c.console);
        EXPECT_STREQ(DevicePath, c.devicePath);
        EXPECT_EQ(UpdateMode, 5);
        EXPECT_EQ(found.usProductId, c.found ? SCANNER_PRODUCT_ID : 0);
        EXPECT_EQ(IsOpenHandle(DeviceHandle), c.found);
        EXPECT_EQ(World().deviceOpens, c.opens);
        EXPECT_EQ(World().deviceCloses, c.closes);
        EXPECT_EQ(World().deviceOpenAttempts, c.attempts);
    }
}

// The search again, as a reconnect makes it: silent when nothing is found,
// following the scanner to a new number, and never storing the handle
// itself (the caller decides).
TEST_F(LinkDiscoveryTest, RediscoveryFollowsTheScannerAndStoresNoHandle)
{
    const struct {
        const char* name;
        std::uint64_t backAtMs;
        bool found;
        const char* devicePath;
    } cases[] = {
        {"still away", 100000, false, "\\\\.\\usbscan0"},
        {"back under a new number", 200, true, "\\\\.\\usbscan7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().scanner.absences[0] = {10, c.backAtMs, 7};
        World().scanner.absenceCount = 1;
        StartWorld();
        DeviceDescriptor descriptor = {};
        ASSERT_TRUE(FindScanner(&descriptor));
        const Handle found = DeviceHandle;
        World().Advance(500);
        World().console.clear();

        EXPECT_EQ(RediscoverScanner() != NO_HANDLE, c.found);
        EXPECT_EQ(Console(), "");
        EXPECT_STREQ(DevicePath, c.devicePath);
        EXPECT_EQ(DeviceHandle, found);
    }
}

TEST_F(LinkDiscoveryTest, RediscoveryRepeatsTheDescriptorErrorOnEveryCall)
{
    World().scanner.path = 3;
    World().foreignDevices = {{1, OTHER_VENDOR, 0, true}};
    StartWorld();
    EXPECT_NE(RediscoverScanner(), NO_HANDLE);
    EXPECT_NE(RediscoverScanner(), NO_HANDLE);
    EXPECT_EQ(Console(), DESCRIPTOR_ERROR + DESCRIPTOR_ERROR);
}

}  // namespace
