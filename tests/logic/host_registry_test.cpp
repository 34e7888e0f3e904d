// The friendly-name lookup over simulated Image-class registry instances.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/guards.h"
#include "tests/logic/sim_fixture.h"

namespace {

const char* const SCANNER_PATH = "\\\\.\\usbscan3";
const char* const SCANNER_ID = "usb\\vid_7a3c&pid_41b2";

// Text as the installer stores it, or as a writer that left out the zero.
SimRegistryValue Text(const std::string& name, const std::string& text, bool terminated = true)
{
    SimRegistryValue value{name, 1, std::vector<std::uint8_t>(text.begin(), text.end())};
    if (terminated) {
        value.data.push_back(0);
    }
    return value;
}

SimRegistryValue Dword(const std::string& name)
{
    return SimRegistryValue{name, 4, {1, 0, 0, 0}};
}

SimRegistryInstance Instance(int number, std::vector<SimRegistryValue> values, bool refused = false)
{
    return SimRegistryInstance{number, refused, std::move(values)};
}

SimRegistryInstance Device(int number, const std::string& path, const std::string& id, const std::string& name,
                           bool refused = false)
{
    return Instance(number, {Text("CreateFileName", path), Text("MatchingDeviceId", id), Text("FriendlyName", name)},
                    refused);
}

std::vector<SimRegistryInstance> TwelveOthersThen(SimRegistryInstance last)
{
    std::vector<SimRegistryInstance> registry;
    for (int n = 0; n < 12; ++n) {
        registry.push_back(Device(n, "\\\\.\\usbscan" + std::to_string(10 + n), SCANNER_ID, "Other"));
    }
    registry.push_back(std::move(last));
    return registry;
}

struct LookupCase {
    const char* name;
    std::vector<SimRegistryInstance> registry;
    bool found;
    std::string friendlyName;  // afterwards, "*" when any; it was "Earlier" before the lookup
    std::string devicePath = SCANNER_PATH;
};

std::vector<LookupCase> LookupCases()
{
    const std::string path255(255, 'p');
    return {
        {"instance 0012 after 0000-0011", TwelveOthersThen(Device(12, SCANNER_PATH, SCANNER_ID, "Orvane S12")), true,
         "Orvane S12"},
        {"gaps do not end the search, up to 9999",
         {Device(3, "\\\\.\\usbscan9", SCANNER_ID, "Other"), Device(9999, SCANNER_PATH, SCANNER_ID, "Last")},
         true,
         "Last"},
        {"path and ids in other letter case",
         {Device(0, "\\\\.\\USBSCAN3", "USB\\VID_7A3C&PID_41B2", "Caps")},
         true,
         "Caps"},
        {"id with a revision after the product",
         {Device(0, SCANNER_PATH, "usb\\vid_7a3c&pid_41b2&rev_0100", "Rev")},
         true,
         "Rev"},
        {"id of 20 characters", {Device(0, SCANNER_PATH, "usb\\vid_7a3c&pid_41b", "Short")}, false, "Earlier"},
        // The earlier id's product digits still sit past the short id's end.
        {"short id after a longer one",
         {Device(0, SCANNER_PATH, "usb\\vid_7a3d&pid_41b2", "Other vendor"),
          Device(1, SCANNER_PATH, "usb\\vid_7a3c", "Short")},
         false,
         "Earlier"},
        {"other vendor, other product, then ours",
         {Device(0, SCANNER_PATH, "usb\\vid_1234&pid_41b2", "Wrong vendor"),
          Device(1, SCANNER_PATH, "usb\\vid_7a3c&pid_41b3", "Wrong product"),
          Device(2, SCANNER_PATH, SCANNER_ID, "Right one")},
         true,
         "Right one"},
        {"two instances for one path: the first decides",
         {Device(0, SCANNER_PATH, SCANNER_ID, "First"), Device(1, SCANNER_PATH, SCANNER_ID, "Second")},
         true,
         "First"},
        {"matching instance without a friendly name ends the search",
         {Instance(0, {Text("CreateFileName", SCANNER_PATH), Text("MatchingDeviceId", SCANNER_ID)}),
          Device(1, SCANNER_PATH, SCANNER_ID, "Never read")},
         false,
         "Earlier"},
        {"instance without a device path is passed over",
         {Instance(0, {Text("MatchingDeviceId", SCANNER_ID), Text("FriendlyName", "No path")}),
          Device(1, SCANNER_PATH, SCANNER_ID, "With path")},
         true,
         "With path"},
        {"refused instance key is passed over",
         {Device(0, SCANNER_PATH, SCANNER_ID, "Locked", true), Device(1, SCANNER_PATH, SCANNER_ID, "Open")},
         true,
         "Open"},
        {"only other devices",
         {Device(0, "\\\\.\\usbscan0", SCANNER_ID, "A"), Device(1, "\\\\.\\usbscan1", "usb\\vid_04a9&pid_1909", "B")},
         false,
         "Earlier"},
        {"empty friendly name", {Device(0, SCANNER_PATH, SCANNER_ID, "")}, true, ""},
        {"friendly name of 255 characters",
         {Device(0, SCANNER_PATH, SCANNER_ID, std::string(255, 'n'))},
         true,
         std::string(255, 'n')},
        {"value of 256 bytes with its zero does not fit",
         {Device(0, SCANNER_PATH, SCANNER_ID, std::string(256, 'n'))},
         false,
         "Earlier"},
        // The type variable serves the whole lookup: after a non-text value
        // only four bytes are offered, too few for a device path.
        {"non-text value leaves four bytes of room for the next query",
         {Instance(0, {Dword("CreateFileName")}), Device(1, SCANNER_PATH, SCANNER_ID, "Behind a number")},
         false,
         "Earlier"},
        {"text found again restores the full room",
         {Instance(0, {Dword("CreateFileName")}), Device(1, SCANNER_PATH, SCANNER_ID, "Cut off"),
          Device(2, SCANNER_PATH, SCANNER_ID, "Read whole")},
         true,
         "Read whole"},
        {"unterminated path shorter than an earlier one",
         {Device(0, std::string(SCANNER_PATH) + "7", SCANNER_ID, "Other"),
          Instance(1, {Text("CreateFileName", SCANNER_PATH, false), Text("MatchingDeviceId", SCANNER_ID),
                       Text("FriendlyName", "No zero")})},
         true,
         "No zero"},
        {"unterminated friendly name",
         {Instance(0, {Text("CreateFileName", SCANNER_PATH), Text("MatchingDeviceId", SCANNER_ID),
                       Text("FriendlyName", "Bare", false)})},
         true,
         "Bare"},
        {"unterminated friendly name filling the buffer",
         {Instance(0, {Text("CreateFileName", SCANNER_PATH), Text("MatchingDeviceId", SCANNER_ID),
                       Text("FriendlyName", std::string(256, 'n'), false)})},
         false,
         "*"},
        {"unterminated path filling all 256 bytes",
         {Instance(0, {Text("CreateFileName", path255 + "x", false), Text("MatchingDeviceId", SCANNER_ID),
                       Text("FriendlyName", "Too long")})},
         false,
         "Earlier",
         path255},
    };
}

class HostRegistryTest : public SimulatedWorldFixture { };

TEST_F(HostRegistryTest, LookupFindsTheScannersInstance)
{
    for (const LookupCase& c : LookupCases()) {
        SCOPED_TRACE(c.name);
        SetUp();
        std::snprintf(DevicePath, sizeof DevicePath, "%s", c.devicePath.c_str());
        std::snprintf(FriendlyName, sizeof FriendlyName, "%s", "Earlier");
        World().registry = c.registry;
        StartWorld();
        EXPECT_EQ(LookupFriendlyName(), c.found);
        ASSERT_NE(std::memchr(FriendlyName, 0, sizeof FriendlyName), nullptr) << "FriendlyName lost its zero";
        if (c.friendlyName != "*") {
            EXPECT_EQ(std::string(FriendlyName), c.friendlyName);
        }
        EXPECT_EQ(Console(), "");
    }
}

}  // namespace
