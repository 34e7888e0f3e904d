#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "tests/logic/sim_fixture.h"

namespace {

class SimRegistryTest : public SimulatedWorldFixture { };

SimRegistryValue Value(const std::string& name, const std::string& bytes, std::uint32_t type = 1)
{
    return SimRegistryValue{name, type, std::vector<std::uint8_t>(bytes.begin(), bytes.end())};
}

// The friendly-name lookup's handling of short rooms, stale bytes and
// missing terminators is only tested if the simulated query behaves as
// RegQueryValueExA does.
TEST_F(SimRegistryTest, RegistryQueryFollowsTheRoomRules)
{
    World().registry = {{3,
                         false,
                         {Value("CreateFileName", std::string("abc\0", 4)), Value("Bare", "abcd"),
                          Value("Number", std::string("\x2A\0\0\0", 4), 4)}}};
    const struct {
        const char* name;
        const char* value;
        bool withBuffer;
        std::uint32_t room;
        std::int32_t status;
        std::uint32_t sizeAfter, typeAfter;
        std::string bufferAfter;  // the first 8 bytes of a buffer that started as "########"
    } cases[] = {
        {"fits exactly", "CreateFileName", true, 4, 0, 4, 1, std::string("abc\0####", 8)},
        {"room to spare: bytes beyond untouched", "CreateFileName", true, 256, 0, 4, 1, std::string("abc\0####", 8)},
        {"one byte short: more data, nothing copied", "CreateFileName", true, 3, 234, 4, 1, "########"},
        {"no buffer: the size alone", "CreateFileName", false, 0, 0, 4, 1, "########"},
        {"stored without terminator, none added", "Bare", true, 8, 0, 4, 1, "abcd####"},
        {"other value types say so", "Number", true, 4, 0, 4, 4, std::string("\x2A\0\0\0####", 8)},
        {"missing value: REG_NONE, size kept", "FriendlyName", true, 256, 2, 256, 0, "########"},
    };
    StartWorld();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Handle key = NO_HANDLE;
        ASSERT_EQ(OpenMachineKey(
                      "SYSTEM\\CurrentControlSet\\Control\\Class\\{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\0003", &key),
                  0);
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

}  // namespace
