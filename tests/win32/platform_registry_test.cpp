// Registry reads under HKEY_LOCAL_MACHINE, on an Image-class instance key
// that the test writes itself.
#include "platform/registry.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

const char INSTANCE_KEY[] = "SYSTEM\\CurrentControlSet\\Control\\Class\\{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\9876";
const char DEVICE_PATH[] = "\\\\.\\Usbscan3";

class PlatformRegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A key left by a run that ended early would bring its own values.
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, INSTANCE_KEY);
        HKEY key = nullptr;
        ASSERT_EQ(
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, INSTANCE_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
        const DWORD number = 0x41B2;
        RegSetValueExA(key, "CreateFileName", 0, REG_SZ, reinterpret_cast<const BYTE*>(DEVICE_PATH),
                       sizeof DEVICE_PATH);
        RegSetValueExA(key, "Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
        RegCloseKey(key);
    }
    void TearDown() override { RegDeleteTreeA(HKEY_LOCAL_MACHINE, INSTANCE_KEY); }
};

// The lookup keeps one type variable across its queries and sizes the next
// room from it, so what each query leaves there matters as much as its
// status.
TEST_F(PlatformRegistryTest, QueriesReportStatusTypeAndSize)
{
    struct Case {
        const char* name;
        std::uint32_t typeBefore;
        std::uint32_t room;
        std::int32_t status;
        std::uint32_t typeAfter;
        std::uint32_t sizeAfter;
    };
    const Case cases[] = {
        // The text and its terminating zero.
        {"CreateFileName", REG_SZ_TYPE, 256, ERROR_SUCCESS, REG_SZ_TYPE, 13},
        // Too little room: the size needed comes back, and the type with it.
        {"CreateFileName", REG_DWORD, 4, ERROR_MORE_DATA, REG_SZ_TYPE, 13},
        {"Number", REG_SZ_TYPE, 256, ERROR_SUCCESS, REG_DWORD, 4},
        // A missing value: Wine writes REG_NONE into the type before it
        // looks the value up, so the type that went in does not survive.
        {"FriendlyName", REG_SZ_TYPE, 256, ERROR_FILE_NOT_FOUND, REG_NONE, 256},
        {"FriendlyName", REG_DWORD, 4, ERROR_FILE_NOT_FOUND, REG_NONE, 4},
    };
    Handle key = NO_HANDLE;
    ASSERT_EQ(OpenMachineKey(INSTANCE_KEY, &key), ERROR_SUCCESS);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.name << " in " << c.room << " bytes");
        char buffer[256] = {};
        std::uint32_t type = c.typeBefore;
        std::uint32_t size = c.room;
        EXPECT_EQ(QueryKeyValue(key, c.name, &type, buffer, &size), c.status);
        EXPECT_EQ(type, c.typeAfter);
        EXPECT_EQ(size, c.sizeAfter);
        EXPECT_TRUE(c.status != ERROR_SUCCESS || c.typeAfter != REG_SZ_TYPE || std::strcmp(buffer, DEVICE_PATH) == 0);
    }
    CloseMachineKey(key);
}

}  // namespace
