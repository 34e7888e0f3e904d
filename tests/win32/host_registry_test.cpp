// The friendly-name lookup against instance keys that each test writes
// under the real Image class key and removes afterwards.
#include "host/guards.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/shared.h"

namespace {

const char* const CLASS_KEY = "SYSTEM\\CurrentControlSet\\Control\\Class\\{6bdd1fc6-810f-11d0-bec7-08002be2092f}";
// A path no real device of the prefix has, so instances the prefix may
// already hold never match.
const char* const SCANNER_PATH = "\\\\.\\usbscan241";
const char* const SCANNER_ID = "usb\\vid_7a3c&pid_41b2";

struct Value {
    const char* name;
    DWORD type;
    std::string bytes;  // written as they are: a text's zero only if it is here
};

Value Text(const char* name, const std::string& text)
{
    return {name, REG_SZ, text + std::string(1, '\0')};
}

class HostRegistryLookupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::snprintf(DevicePath, sizeof DevicePath, "%s", SCANNER_PATH);
        std::memset(FriendlyName, 0, sizeof FriendlyName);
    }
    void TearDown() override
    {
        for (const std::string& key : m_written) {
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str());
        }
    }

    void WriteInstance(int number, const std::vector<Value>& values)
    {
        char key[256];
        std::snprintf(key, sizeof key, "%s\\%04d", CLASS_KEY, number);
        HKEY handle = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr),
                  ERROR_SUCCESS);
        m_written.push_back(key);
        for (const Value& value : values) {
            EXPECT_EQ(RegSetValueExA(handle, value.name, 0, value.type,
                                     reinterpret_cast<const BYTE*>(value.bytes.data()),
                                     static_cast<DWORD>(value.bytes.size())),
                      ERROR_SUCCESS);
        }
        RegCloseKey(handle);
    }

    void WriteDevice(int number, const std::string& path, const std::string& id, const std::string& name)
    {
        WriteInstance(number, {Text("CreateFileName", path), Text("MatchingDeviceId", id), Text("FriendlyName", name)});
    }

    std::vector<std::string> m_written;
};

TEST_F(HostRegistryLookupTest, FindsTheScannerBehindOtherInstances)
{
    WriteDevice(40, "\\\\.\\usbscan242", SCANNER_ID, "Other path");
    WriteDevice(41, SCANNER_PATH, "usb\\vid_1234&pid_41b2", "Other vendor");
    WriteDevice(43, "\\\\.\\USBSCAN241", "USB\\VID_7A3C&PID_41B2", "Orvane Wine");
    WriteDevice(44, SCANNER_PATH, SCANNER_ID, "Never read");
    EXPECT_TRUE(LookupFriendlyName());
    EXPECT_STREQ(FriendlyName, "Orvane Wine");
}

TEST_F(HostRegistryLookupTest, MatchingInstanceWithoutFriendlyNameEndsTheSearch)
{
    WriteInstance(40, {Text("CreateFileName", SCANNER_PATH), Text("MatchingDeviceId", SCANNER_ID)});
    WriteDevice(41, SCANNER_PATH, SCANNER_ID, "Never read");
    EXPECT_FALSE(LookupFriendlyName());
}

TEST_F(HostRegistryLookupTest, NoMatchingInstanceGivesFalse)
{
    WriteDevice(40, SCANNER_PATH, "usb\\vid_7a3c&pid_41b", "Short id");
    EXPECT_FALSE(LookupFriendlyName());
}

TEST_F(HostRegistryLookupTest, NonTextValueLeavesFourBytesForTheNextQuery)
{
    // Instance 40's number leaves four bytes of room, too few for 41's path;
    // 41's failed read reports text again, so 42 is read whole.
    WriteInstance(40, {{"CreateFileName", REG_DWORD, std::string("\x01\x00\x00\x00", 4)}});
    WriteDevice(41, SCANNER_PATH, SCANNER_ID, "Cut off");
    WriteDevice(42, SCANNER_PATH, SCANNER_ID, "Read whole");
    EXPECT_TRUE(LookupFriendlyName());
    EXPECT_STREQ(FriendlyName, "Read whole");
}

TEST_F(HostRegistryLookupTest, UnterminatedValuesAreReadAsTheirOwnText)
{
    // Instance 40 leaves a longer path in the lookup's buffer; 41's path,
    // stored without its zero, must not pick up 40's last character.
    WriteDevice(40, std::string(SCANNER_PATH) + "7", SCANNER_ID, "Other");
    WriteInstance(41, {{"CreateFileName", REG_SZ, SCANNER_PATH},
                       Text("MatchingDeviceId", SCANNER_ID),
                       {"FriendlyName", REG_SZ, "No zero"}});
    EXPECT_TRUE(LookupFriendlyName());
    EXPECT_STREQ(FriendlyName, "No zero");
}

TEST_F(HostRegistryLookupTest, FriendlyNameFillingTheWholeBufferIsRefused)
{
    WriteInstance(40, {Text("CreateFileName", SCANNER_PATH), Text("MatchingDeviceId", SCANNER_ID),
                       {"FriendlyName", REG_SZ, std::string(256, 'n')}});
    EXPECT_FALSE(LookupFriendlyName());
    EXPECT_NE(std::memchr(FriendlyName, 0, sizeof FriendlyName), nullptr);
}

}  // namespace
