// Registry reads under HKEY_LOCAL_MACHINE, on an Image-class instance key
// that the test writes itself into the build's own Wine prefix.
#include "platform/registry.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr const char* CLASS_KEY = "SYSTEM\\CurrentControlSet\\Control\\Class\\{6bdd1fc6-810f-11d0-bec7-08002be2092f}";
constexpr const char* INSTANCE_KEY =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\9876";
constexpr const char* DEVICE_PATH = "\\\\.\\Usbscan3";

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, INSTANCE_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        const DWORD number = 0x41B2;
        RegSetValueExA(key, "CreateFileName", 0, REG_SZ, reinterpret_cast<const BYTE*>(DEVICE_PATH),
                       static_cast<DWORD>(std::strlen(DEVICE_PATH) + 1));
        RegSetValueExA(key, "Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
        RegCloseKey(key);
    }
    void TearDown() override { RegDeleteKeyA(HKEY_LOCAL_MACHINE, INSTANCE_KEY); }
};

TEST_F(RegistryTest, OpensExistingKeysOnly)
{
    struct Case {
        const char* key;
        std::int32_t status;
    };
    const Case cases[] = {
        {CLASS_KEY, ERROR_SUCCESS},
        {INSTANCE_KEY, ERROR_SUCCESS},
        {"SYSTEM\\CurrentControlSet\\Control\\Class\\{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\9877",
         ERROR_FILE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        Handle key = reinterpret_cast<Handle>(1);
        EXPECT_EQ(OpenMachineKey(c.key, &key), c.status);
        if (c.status == ERROR_SUCCESS) {
            EXPECT_NE(key, NO_HANDLE);
            CloseMachineKey(key);
        } else {
            EXPECT_EQ(key, NO_HANDLE);
        }
    }
}

TEST_F(RegistryTest, QueriesReportStatusTypeAndSize)
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
        // Too little room: the size needed comes back, with the type.
        {"CreateFileName", 4, 4, ERROR_MORE_DATA, REG_SZ_TYPE, 13},
        {"Number", REG_SZ_TYPE, 256, ERROR_SUCCESS, REG_DWORD, 4},
        // A missing value: the type is whatever the platform leaves there.
        {"FriendlyName", REG_SZ_TYPE, 256, ERROR_FILE_NOT_FOUND, 0, 0},
    };
    Handle key = NO_HANDLE;
    ASSERT_EQ(OpenMachineKey(INSTANCE_KEY, &key), ERROR_SUCCESS);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SCOPED_TRACE(c.room);
        char buffer[256] = {};
        std::uint32_t type = c.typeBefore;
        std::uint32_t size = c.room;
        EXPECT_EQ(QueryKeyValue(key, c.name, &type, buffer, &size), c.status);
        if (c.status != ERROR_FILE_NOT_FOUND) {
            EXPECT_EQ(type, c.typeAfter);
            EXPECT_EQ(size, c.sizeAfter);
        }
        if (c.status == ERROR_SUCCESS && c.typeAfter == REG_SZ_TYPE) {
            EXPECT_STREQ(buffer, DEVICE_PATH);
        }
    }
    CloseMachineKey(key);
}

} // namespace
