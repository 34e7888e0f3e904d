// Finding the scanner among the driver's numbered paths, on a simulated bus
// laid out per case.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/shared.h"
#include "link/discovery.h"
#include "tests/logic/sim_fixture.h"

namespace {

const char FOUND[] = "Device found!!\n\n";
const char NOT_FOUND[] = "Device not found!!\nEnd program...\n\n";
const char DESCRIPTOR_ERROR[] = "Get device descriptor error!!\n\n";

constexpr std::uint16_t OTHER_VENDOR = 0x04B8;

class LinkDiscoveryTest : public SimTest {
protected:
    void PutScannerAt(int path) { World().scanner.path = path; }
    void PutForeign(int path, std::uint16_t vendor, std::uint16_t product, bool descriptorFails = false)
    {
        World().foreignDevices.push_back({path, vendor, product, descriptorFails});
    }
};

struct BusCase {
    const char* name;
    int scannerPath;  // -1: not attached
    std::vector<SimForeignDevice> foreign;
    bool found;
    const char* devicePath;  // after the search
    std::string console;
    std::uint32_t opens, closes;
};

TEST_F(LinkDiscoveryTest, FindScannerOverBusLayouts)
{
    const BusCase cases[] = {
        {"nothing attached: 256 silent misses", -1, {}, false, "", NOT_FOUND, 0, 0},
        {"missing lower paths are silent", 3, {}, true, "\\\\.\\usbscan3", FOUND, 1, 0},
        {"last path", 255, {}, true, "\\\\.\\usbscan255", FOUND, 1, 0},
        {"foreign devices below are opened, asked and closed", 4,
         {{0, OTHER_VENDOR, 0x0001, false}, {2, OTHER_VENDOR, SCANNER_PRODUCT_ID, false}},
         true, "\\\\.\\usbscan4", FOUND, 3, 2},
        {"reboot-prompt product is refused", -1,
         {{1, SCANNER_VENDOR_ID, REBOOT_PROMPT_PRODUCT_ID, false}}, false, "", NOT_FOUND, 1, 1},
        {"a failing descriptor is reported and the search goes on", 5,
         {{1, OTHER_VENDOR, 0x0001, true}}, true, "\\\\.\\usbscan5",
         std::string(DESCRIPTOR_ERROR) + FOUND, 2, 1},
        {"two failing descriptors, no scanner", -1,
         {{0, OTHER_VENDOR, 0, true}, {9, OTHER_VENDOR, 0, true}}, false, "",
         std::string(DESCRIPTOR_ERROR) + DESCRIPTOR_ERROR + NOT_FOUND, 2, 2},
        // A second device with the scanner's IDs sits above the real one:
        // it is never opened.
        {"the lower of two scanners wins", 6,
         {{9, SCANNER_VENDOR_ID, SCANNER_PRODUCT_ID, false}}, true, "\\\\.\\usbscan6", FOUND, 1, 0},
        {"the lower of two scanners wins, other order", 9,
         {{6, SCANNER_VENDOR_ID, SCANNER_PRODUCT_ID, false}}, true, "\\\\.\\usbscan6", FOUND, 1, 0},
    };
    for (const BusCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        PutScannerAt(c.scannerPath);
        World().foreignDevices = c.foreign;
        StartWorld();

        EXPECT_EQ(FindScanner(), c.found);
        EXPECT_EQ(Console(), c.console);
        EXPECT_STREQ(DevicePath, c.devicePath);
        EXPECT_EQ(DeviceHandle != NO_HANDLE && DeviceHandle != INVALID_HANDLE, c.found);
        EXPECT_EQ(World().deviceOpens, c.opens);
        EXPECT_EQ(World().deviceCloses, c.closes);
    }
}

TEST_F(LinkDiscoveryTest, ScannerWhoseDescriptorFailsIsNotTaken)
{
    PutScannerAt(2);
    World().scanner.descriptorFails = true;
    StartWorld();
    EXPECT_FALSE(FindScanner());
    EXPECT_EQ(Console(), std::string(DESCRIPTOR_ERROR) + NOT_FOUND);
    EXPECT_EQ(World().deviceOpens, World().deviceCloses);
}

TEST_F(LinkDiscoveryTest, FoundScannerResetsTheModeBeforeItsMessage)
{
    PutScannerAt(0);
    StartWorld();
    UpdateMode = 1;  // as -a leaves it
    ASSERT_TRUE(FindScanner());
    EXPECT_EQ(UpdateMode, 0);
}

TEST_F(LinkDiscoveryTest, FailedSearchLeavesPathAndModeAlone)
{
    PutScannerAt(-1);
    StartWorld();
    std::snprintf(DevicePath, sizeof DevicePath, "%s", "\\\\.\\usbscan7");
    UpdateMode = 5;
    EXPECT_FALSE(FindScanner());
    EXPECT_STREQ(DevicePath, "\\\\.\\usbscan7");
    EXPECT_EQ(UpdateMode, 5);
}

TEST_F(LinkDiscoveryTest, MessagesFollowTheLanguage)
{
    PutScannerAt(1);
    PutForeign(0, OTHER_VENDOR, 0, true);
    StartWorld();
    Language = 1;
    ASSERT_TRUE(FindScanner());
    // Code page 950 bytes of the two Chinese texts, each with its extra line end.
    EXPECT_EQ(Console(),
              "\xC0\xF2\xA8\xFA\xB3]\xB3\xC6\xB4y\xADz\xB2\xC5\xAA\xBA\xBF\xF9\xBB~!!\n\n"
              "\xB3]\xB3\xC6\xB5o\xB2{!!\n\n");
}

TEST(LinkModeTest, OnlyTheRebootPromptModelSelectsModeOne)
{
    struct Case {
        std::uint16_t vendor, product;
        std::int32_t mode;
    };
    const Case cases[] = {
        {SCANNER_VENDOR_ID, REBOOT_PROMPT_PRODUCT_ID, 1},
        {SCANNER_VENDOR_ID, SCANNER_PRODUCT_ID, 0},
        {OTHER_VENDOR, REBOOT_PROMPT_PRODUCT_ID, 0},
        {OTHER_VENDOR, SCANNER_PRODUCT_ID, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.product);
        EXPECT_EQ(ModeForDevice(c.vendor, c.product), c.mode);
    }
}

TEST_F(LinkDiscoveryTest, RediscoveryIsSilentWhileTheScannerIsAway)
{
    PutScannerAt(0);
    World().scanner.absences[0] = {10, 100000, 0};
    World().scanner.absenceCount = 1;
    StartWorld();
    ASSERT_TRUE(FindScanner());
    Handle found = DeviceHandle;
    World().Advance(50);
    World().console.clear();

    EXPECT_EQ(RediscoverScanner(), NO_HANDLE);
    EXPECT_EQ(Console(), "");
    EXPECT_STREQ(DevicePath, "\\\\.\\usbscan0");
    EXPECT_EQ(DeviceHandle, found);  // the caller decides what to store
}

TEST_F(LinkDiscoveryTest, RediscoveryFollowsTheScannerToItsNewNumber)
{
    PutScannerAt(0);
    World().scanner.absences[0] = {10, 200, 7};
    World().scanner.absenceCount = 1;
    StartWorld();
    ASSERT_TRUE(FindScanner());
    Handle old = DeviceHandle;
    World().Advance(500);
    World().console.clear();

    Handle again = RediscoverScanner();
    EXPECT_NE(again, NO_HANDLE);
    EXPECT_STREQ(DevicePath, "\\\\.\\usbscan7");
    EXPECT_EQ(DeviceHandle, old);
    EXPECT_EQ(Console(), "");
}

TEST_F(LinkDiscoveryTest, RediscoveryRepeatsTheDescriptorErrorOnEveryCall)
{
    PutScannerAt(3);
    PutForeign(1, OTHER_VENDOR, 0, true);
    StartWorld();
    EXPECT_NE(RediscoverScanner(), NO_HANDLE);
    EXPECT_NE(RediscoverScanner(), NO_HANDLE);
    EXPECT_EQ(Console(), std::string(DESCRIPTOR_ERROR) + DESCRIPTOR_ERROR);
    EXPECT_STREQ(DevicePath, "\\\\.\\usbscan3");
}

}  // namespace
