// The friendly-name lookup over simulated Image-class registry instances.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "host/guards.h"
#include "tests/logic/sim_fixture.h"

namespace {

const char* const SCANNER_PATH = "\\\\.\\usbscan3";
const char* const SCANNER_ID = "usb\\vid_7a3c&pid_41b2";

SimRegistryValue Text(const std::string& name, const std::string& text)
{
    SimRegistryValue value;
    value.name = name;
    value.data.assign(text.begin(), text.end());
    value.data.push_back(0);
    return value;
}

// Text stored by a writer that left out the terminating zero.
SimRegistryValue Unterminated(const std::string& name, const std::string& text)
{
    SimRegistryValue value;
    value.name = name;
    value.data.assign(text.begin(), text.end());
    return value;
}

SimRegistryValue Dword(const std::string& name)
{
    SimRegistryValue value;
    value.name = name;
    value.type = 4;  // REG_DWORD
    value.data = {1, 0, 0, 0};
    return value;
}

SimRegistryInstance Instance(int number, std::vector<SimRegistryValue> values)
{
    SimRegistryInstance instance;
    instance.number = number;
    instance.values = std::move(values);
    return instance;
}

SimRegistryInstance Device(int number, const std::string& path, const std::string& id, const std::string& name)
{
    return Instance(number, {Text("CreateFileName", path), Text("MatchingDeviceId", id), Text("FriendlyName", name)});
}

struct LookupCase {
    const char* name;
    std::vector<SimRegistryInstance> registry;
    bool found;
    std::string friendlyName;  // FriendlyName afterwards when found
    std::string devicePath = SCANNER_PATH;
};

std::vector<SimRegistryInstance> TwelveOthersThen(SimRegistryInstance last)
{
    std::vector<SimRegistryInstance> registry;
    for (int n = 0; n < 12; ++n) {
        registry.push_back(Device(n, "\\\\.\\usbscan" + std::to_string(10 + n), SCANNER_ID, "Other"));
    }
    registry.push_back(std::move(last));
    return registry;
}

std::vector<LookupCase> LookupCases()
{
    const std::string path255(255, 'p');
    return {
        {"instance 0012 after 0000-0011", TwelveOthersThen(Device(12, SCANNER_PATH, SCANNER_ID, "Orvane S12")), true,
         "Orvane S12"},
        {"gaps in the numbering do not end the search",
         {Device(3, "\\\\.\\usbscan9", SCANNER_ID, "Other"), Device(4711, SCANNER_PATH, SCANNER_ID, "Far away")}, true,
         "Far away"},
        {"last instance number", {Device(9999, SCANNER_PATH, SCANNER_ID, "Last")}, true, "Last"},
        {"device path in other letter case", {Device(0, "\\\\.\\USBSCAN3", SCANNER_ID, "Caps path")}, true,
         "Caps path"},
        {"ids in upper case", {Device(0, SCANNER_PATH, "USB\\VID_7A3C&PID_41B2", "Caps id")}, true, "Caps id"},
        {"id with a revision after the product", {Device(0, SCANNER_PATH, "usb\\vid_7a3c&pid_41b2&rev_0100", "Rev")},
         true, "Rev"},
        {"id of 20 characters", {Device(0, SCANNER_PATH, "usb\\vid_7a3c&pid_41b", "Short")}, false, ""},
        {"id without a product part", {Device(0, SCANNER_PATH, "usb\\vid_7a3c", "Shorter")}, false, ""},
        {"empty id", {Device(0, SCANNER_PATH, "", "Empty")}, false, ""},
        // The earlier id's product digits still sit past the short id's end.
        {"short id after a longer one",
         {Device(0, SCANNER_PATH, "usb\\vid_7a3d&pid_41b2", "Other vendor"),
          Device(1, SCANNER_PATH, "usb\\vid_7a3c", "Short")},
         false, ""},
        {"other vendor first, ours second",
         {Device(0, SCANNER_PATH, "usb\\vid_1234&pid_41b2", "Wrong vendor"),
          Device(1, SCANNER_PATH, SCANNER_ID, "Right one")},
         true, "Right one"},
        {"other product first, ours second",
         {Device(0, SCANNER_PATH, "usb\\vid_7a3c&pid_41b3", "Wrong product"),
          Device(1, SCANNER_PATH, SCANNER_ID, "Right one")},
         true, "Right one"},
        {"the first matching instance decides",
         {Device(0, SCANNER_PATH, SCANNER_ID, "First"), Device(1, SCANNER_PATH, SCANNER_ID, "Second")}, true, "First"},
        {"matching instance without a friendly name ends the search",
         {Instance(0, {Text("CreateFileName", SCANNER_PATH), Text("MatchingDeviceId", SCANNER_ID)}),
          Device(1, SCANNER_PATH, SCANNER_ID, "Never read")},
         false, ""},
        {"instance without a device path is passed over",
         {Instance(0, {Text("MatchingDeviceId", SCANNER_ID), Text("FriendlyName", "No path")}),
          Device(1, SCANNER_PATH, SCANNER_ID, "With path")},
         true, "With path"},
        {"no instance at all", {}, false, ""},
        {"only other devices",
         {Device(0, "\\\\.\\usbscan0", SCANNER_ID, "A"), Device(1, "\\\\.\\usbscan1", "usb\\vid_04a9&pid_1909", "B")},
         false, ""},
        {"empty friendly name", {Device(0, SCANNER_PATH, SCANNER_ID, "")}, true, ""},
        {"friendly name of 255 characters", {Device(0, SCANNER_PATH, SCANNER_ID, std::string(255, 'n'))}, true,
         std::string(255, 'n')},
        // The type variable serves the whole lookup: after a non-text value
        // only four bytes are offered, too few for a device path.
        {"non-text value leaves four bytes of room for the next query",
         {Instance(0, {Dword("CreateFileName")}), Device(1, SCANNER_PATH, SCANNER_ID, "Behind a number")}, false, ""},
        {"text found again restores the full room",
         {Instance(0, {Dword("CreateFileName")}), Device(1, SCANNER_PATH, SCANNER_ID, "Cut off"),
          Device(2, SCANNER_PATH, SCANNER_ID, "Read whole")},
         true, "Read whole"},
        // Stored without a terminating zero.
        {"unterminated path shorter than an earlier one",
         {Device(0, std::string(SCANNER_PATH) + "7", SCANNER_ID, "Other"),
          Instance(1, {Unterminated("CreateFileName", SCANNER_PATH), Text("MatchingDeviceId", SCANNER_ID),
                       Text("FriendlyName", "No zero")})},
         true, "No zero"},
        {"unterminated friendly name", {Instance(0, {Text("CreateFileName", SCANNER_PATH),
                                                     Text("MatchingDeviceId", SCANNER_ID),
                                                     Unterminated("FriendlyName", "Bare")})},
         true, "Bare"},
        {"unterminated path filling all 256 bytes",
         {Instance(0, {Unterminated("CreateFileName", path255 + "x"), Text("MatchingDeviceId", SCANNER_ID),
                       Text("FriendlyName", "Too long")})},
         false, "", path255},
        {"value of 256 bytes with its zero does not fit",
         {Device(0, SCANNER_PATH, SCANNER_ID, std::string(256, 'n'))}, false, ""},
    };
}

class HostFriendlyNameTest : public SimTest {
protected:
    void UsePath(const std::string& path) { std::snprintf(DevicePath, sizeof DevicePath, "%s", path.c_str()); }
};

TEST_F(HostFriendlyNameTest, LookupFindsTheScannersInstance)
{
    for (const LookupCase& c : LookupCases()) {
        SCOPED_TRACE(c.name);
        SetUp();
        UsePath(c.devicePath);
        World().registry = c.registry;
        StartWorld();
        EXPECT_EQ(LookupFriendlyName(), c.found);
        if (c.found) {
            EXPECT_EQ(std::string(FriendlyName), c.friendlyName);
        }
        EXPECT_NE(std::memchr(FriendlyName, 0, sizeof FriendlyName), nullptr) << "FriendlyName lost its zero";
        EXPECT_EQ(Console(), "");
    }
}

TEST_F(HostFriendlyNameTest, UnterminatedFriendlyNameFillingTheBufferIsRefusedAndStaysTerminated)
{
    UsePath(SCANNER_PATH);
    World().registry = {Instance(0, {Text("CreateFileName", SCANNER_PATH), Text("MatchingDeviceId", SCANNER_ID),
                                     Unterminated("FriendlyName", std::string(256, 'n'))})};
    StartWorld();
    EXPECT_FALSE(LookupFriendlyName());
    EXPECT_LT(std::strlen(FriendlyName), sizeof FriendlyName);
}

TEST_F(HostFriendlyNameTest, RefusedInstanceKeyIsPassedOver)
{
    UsePath(SCANNER_PATH);
    SimRegistryInstance refused = Device(0, SCANNER_PATH, SCANNER_ID, "Locked");
    refused.openRefused = true;
    World().registry = {refused, Device(1, SCANNER_PATH, SCANNER_ID, "Open")};
    StartWorld();
    EXPECT_TRUE(LookupFriendlyName());
    EXPECT_STREQ(FriendlyName, "Open");
}

TEST_F(HostFriendlyNameTest, FailedLookupLeavesAnEarlierNameAlone)
{
    UsePath(SCANNER_PATH);
    std::snprintf(FriendlyName, sizeof FriendlyName, "%s", "Earlier");
    World().registry = {Device(0, "\\\\.\\usbscan4", SCANNER_ID, "Other")};
    StartWorld();
    EXPECT_FALSE(LookupFriendlyName());
    EXPECT_STREQ(FriendlyName, "Earlier");
}

}  // namespace
