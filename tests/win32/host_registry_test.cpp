// The friendly-name lookup against instance keys that each case writes
// under the real Image class key and removes afterwards.
#include "host/guards.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/shared.h"

namespace {

const std::string CLASS_KEY = "SYSTEM\\CurrentControlSet\\Control\\Class\\{6bdd1fc6-810f-11d0-bec7-08002be2092f}";
// A path no real device of the prefix has, so instances the prefix may
// already hold never match.
const std::string PATH = "\\\\.\\usbscan241";
const std::string ID = "usb\\vid_7a3c&pid_41b2";

struct Value {
    const char* name;
    DWORD type;
    std::string bytes;  // written as they are: a text's zero only if it is here
};
struct Instance {
    int number;
    std::vector<Value> values;
};

Value Text(const char* name, const std::string& text)
{
    return {name, REG_SZ, text + std::string(1, '\0')};
}
Instance Device(int number, const std::string& path, const std::string& id, const std::string& name)
{
    return {number, {Text("CreateFileName", path), Text("MatchingDeviceId", id), Text("FriendlyName", name)}};
}

void Write(const Instance& instance, std::vector<std::string>* written)
{
    char key[256];
    std::snprintf(key, sizeof key, "%s\\%04d", CLASS_KEY.c_str(), instance.number);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, key);
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    written->push_back(key);
    for (const Value& value : instance.values) {
        // Wine adds the zero a text seems to lack when a zero follows it in
        // memory: a byte that is not zero follows here.
        const std::string stored = value.bytes + '\x7f';
        EXPECT_EQ(RegSetValueExA(handle, value.name, 0, value.type, reinterpret_cast<const BYTE*>(stored.data()),
                                 static_cast<DWORD>(value.bytes.size())),
                  ERROR_SUCCESS);
    }
    RegCloseKey(handle);
}

TEST(HostRegistryTest, FindsTheScannersFriendlyName)
{
    struct Case {
        const char* name;
        std::vector<Instance> instances;
        const char* friendlyName;  // null when the lookup must fail
    };
    const Case cases[] = {
        {"other path, other vendor, then ours in other letter case; later ones unread",
         {Device(40, "\\\\.\\usbscan242", ID, "Other path"), Device(41, PATH, "usb\\vid_1234&pid_41b2", "Other vendor"),
          Device(43, "\\\\.\\USBSCAN241", "USB\\VID_7A3C&PID_41B2", "Orvane Wine"), Device(44, PATH, ID, "Never read")},
         "Orvane Wine"},
        {"matching instance without a friendly name ends the search",
         {{40, {Text("CreateFileName", PATH), Text("MatchingDeviceId", ID)}}, Device(41, PATH, ID, "Never read")},
         nullptr},
        {"id one character short", {Device(40, PATH, "usb\\vid_7a3c&pid_41b", "Short id")}, nullptr},
        // The number leaves four bytes of room, too few for 41's path; 41's
        // refused read reports text again, so 42 is read whole.
        {"non-text value leaves four bytes for the next query",
         {{40, {{"CreateFileName", REG_DWORD, std::string("\x01\x00\x00\x00", 4)}}},
          Device(41, PATH, ID, "Cut off"),
          Device(42, PATH, ID, "Read whole")},
         "Read whole"},
        // The platform writes REG_NONE into the type for a value it did not
        // find; the scanner's instance right after must still be read whole.
        {"instance without a device path just before ours",
         {{40, {Text("MatchingDeviceId", ID)}}, Device(41, PATH, ID, "After a gap")},
         "After a gap"},
        {"friendly name filling the whole buffer without a zero",
         {{40,
           {Text("CreateFileName", PATH),
            Text("MatchingDeviceId", ID),
            {"FriendlyName", REG_SZ, std::string(256, 'n')}}}},
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::snprintf(DevicePath, sizeof DevicePath, "%s", PATH.c_str());
        std::memset(FriendlyName, 'x', sizeof FriendlyName - 1);
        std::vector<std::string> written;
        for (const Instance& instance : c.instances) {
            Write(instance, &written);
        }
        EXPECT_EQ(LookupFriendlyName(), c.friendlyName != nullptr);
        EXPECT_NE(std::memchr(FriendlyName, 0, sizeof FriendlyName), nullptr) << "FriendlyName lost its zero";
        EXPECT_TRUE(c.friendlyName == nullptr || std::strcmp(FriendlyName, c.friendlyName) == 0) << FriendlyName;
        for (const std::string& key : written) {
            RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
        }
    }
}

}  // namespace
