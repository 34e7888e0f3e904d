#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "tests/logic/sim_fixture.h"

namespace {

const std::string CLASS_KEY = "SYSTEM\\CurrentControlSet\\Control\\Class\\{6bdd1fc6-810f-11d0-bec7-08002be2092f}";

SimRegistryValue Text(const std::string& name, const std::string& bytes, std::uint32_t type = 1)
{
    return SimRegistryValue{name, type, std::vector<std::uint8_t>(bytes.begin(), bytes.end())};
}

class SimRegistryTest : public SimTest {
protected:
    Handle OpenInstance(const std::string& subKey, std::int32_t expected = 0)
    {
        Handle key = NO_HANDLE;
        EXPECT_EQ(OpenMachineKey(subKey.c_str(), &key), expected) << subKey;
        return key;
    }
};

struct RoomCase {
    const char* name;
    const char* value;
    bool withBuffer;
    std::uint32_t room;
    std::int32_t status;
    std::uint32_t sizeAfter;
    std::uint32_t typeAfter;
    std::string bufferAfter;  // the first 8 bytes of a buffer that started as "########"
};

TEST_F(SimRegistryTest, QueryFollowsTheRoomRules)
{
    World().registry = {{3,
                         false,
                         {Text("CreateFileName", std::string("abc\0", 4)), Text("Bare", "abcd"),
                          Text("Number", std::string("\x2A\0\0\0", 4), 4), Text("Empty", "")}}};
    const RoomCase cases[] = {
        {"fits exactly", "CreateFileName", true, 4, 0, 4, 1, std::string("abc\0####", 8)},
        {"room to spare: bytes beyond are untouched", "CreateFileName", true, 256, 0, 4, 1,
         std::string("abc\0####", 8)},
        {"one byte short: more data, nothing copied", "CreateFileName", true, 3, 234, 4, 1, "########"},
        {"no room at all", "CreateFileName", true, 0, 234, 4, 1, "########"},
        {"no buffer: the size alone", "CreateFileName", false, 0, 0, 4, 1, "########"},
        {"stored without terminator, none added", "Bare", true, 8, 0, 4, 1, "abcd####"},
        {"other value types say so", "Number", true, 4, 0, 4, 4, std::string("\x2A\0\0\0####", 8)},
        {"a dword in too little room", "Number", true, 2, 234, 4, 4, "########"},
        {"an empty value", "Empty", true, 4, 0, 0, 1, "########"},
        {"value names ignore case", "createfilename", true, 4, 0, 4, 1, std::string("abc\0####", 8)},
        {"missing value", "FriendlyName", true, 256, 2, 256, 77, "########"},
    };
    StartWorld();
    for (const RoomCase& c : cases) {
        SCOPED_TRACE(c.name);
        Handle key = OpenInstance(CLASS_KEY + "\\0003");
        std::vector<char> buffer(300, '#');
        std::uint32_t size = c.room;
        std::uint32_t type = 77;
        EXPECT_EQ(QueryKeyValue(key, c.value, &type, c.withBuffer ? buffer.data() : nullptr, &size), c.status);
        EXPECT_EQ(size, c.sizeAfter);
        EXPECT_EQ(type, c.typeAfter);
        EXPECT_EQ(std::string(buffer.data(), 8), c.bufferAfter);
        CloseMachineKey(key);
    }
}

struct KeyCase {
    std::string subKey;
    std::int32_t status;
};

TEST_F(SimRegistryTest, InstanceKeysAreFourDigitsUnderTheImageClass)
{
    World().registry = {{12, false, {}}, {0, false, {}}, {9999, false, {}}, {7, true, {}}};
    std::string lowerClass = CLASS_KEY;
    for (char& ch : lowerClass) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    const KeyCase cases[] = {
        {CLASS_KEY + "\\0012", 0},
        {CLASS_KEY + "\\0000", 0},
        {CLASS_KEY + "\\9999", 0},
        {lowerClass + "\\0012", 0},  // key names ignore case
        {CLASS_KEY + "\\0007", 5},   // access refused
        {CLASS_KEY + "\\0001", 2},   // no such instance
        {CLASS_KEY + "\\12", 2},
        {CLASS_KEY + "\\00012", 2},
        {CLASS_KEY + "\\001x", 2},
        {CLASS_KEY + "0012", 2},
        {"SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}\\0012", 2},
    };
    StartWorld();
    for (const KeyCase& c : cases) {
        SCOPED_TRACE(c.subKey);
        Handle key = reinterpret_cast<Handle>(std::uintptr_t{0x77});
        EXPECT_EQ(OpenMachineKey(c.subKey.c_str(), &key), c.status);
        EXPECT_EQ(key == NO_HANDLE, c.status != 0);
        CloseMachineKey(key);
    }
    EXPECT_EQ(World().registryOpens, std::size(cases));
    EXPECT_EQ(World().registryCloses, 4u);
}

TEST_F(SimRegistryTest, AClosedKeyCannotBeQueried)
{
    World().registry = {{0, false, {Text("FriendlyName", std::string("Scanner\0", 8))}}};
    StartWorld();
    Handle key = OpenInstance(CLASS_KEY + "\\0000");
    CloseMachineKey(key);
    char buffer[16];
    std::uint32_t size = sizeof buffer, type = 0;
    EXPECT_EQ(QueryKeyValue(key, "FriendlyName", &type, buffer, &size), 6);
}

}  // namespace
