#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "platform/console.h"
#include "platform/device.h"
#include "platform/process.h"
#include "platform/resource.h"
#include "tests/logic/sim_fixture.h"

namespace {

using SimHostTest = SimTest;

struct ImageCase {
    const char* name;
    SimImage image;
    bool found;
    bool loaded;
    std::uint32_t size;  // 0xFFFFFFFF: the embedded image's size
};

TEST_F(SimHostTest, EmbeddedImageCanBeMissingUnloadableOrEmpty)
{
    const ImageCase cases[] = {
        {"present", SimImage::Present, true, true, 0xFFFFFFFFu},
        {"missing", SimImage::Missing, false, false, 0},
        {"not loadable", SimImage::NotLoadable, true, false, 0xFFFFFFFFu},
        {"empty", SimImage::Empty, true, true, 0},
    };
    for (const ImageCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        World().image = c.image;
        StartWorld();
        Handle resource = FindBinaryResource(121);
        EXPECT_EQ(resource != NO_HANDLE, c.found);
        if (!c.found) continue;
        const std::uint32_t size = c.size == 0xFFFFFFFFu ? EmbeddedImageSize() : c.size;
        EXPECT_EQ(SizeOfBinaryResource(resource), size);
        Handle loaded = LoadBinaryResource(resource);
        EXPECT_EQ(loaded != NO_HANDLE, c.loaded);
        if (c.loaded) {
            // The bytes are the executable's own: no copy is handed out.
            EXPECT_EQ(LockBinaryResource(loaded), static_cast<const void*>(EmbeddedImageData()));
        }
    }
}

TEST_F(SimHostTest, OnlyResource121Exists)
{
    StartWorld();
    EXPECT_EQ(FindBinaryResource(120), NO_HANDLE);
    EXPECT_EQ(FindBinaryResource(1), NO_HANDLE);
    EXPECT_NE(FindBinaryResource(121), NO_HANDLE);
}

TEST_F(SimHostTest, ConsoleKeepsTheExactBytesInOrder)
{
    StartWorld();
    ConsoleWrite("Device found!!\n", 15);
    ConsoleWrite("a\0b", 3);
    ConsoleWrite("\n", 1);
    ConsoleWrite("ignored", 0);
    EXPECT_EQ(Console(), std::string("Device found!!\na\0b\n", 19));
}

TEST_F(SimHostTest, StartResetsWhatTheLastRunLeft)
{
    World().languageId = 0x0404;
    StartWorld();
    ConsoleWrite("x", 1);
    World().Advance(5000);
    Handle event = CreateCompletionEvent();
    ASSERT_NE(event, NO_HANDLE);
    World().Start();
    EXPECT_EQ(Console(), "");
    EXPECT_EQ(World().nowMs, 0u);
    EXPECT_EQ(World().eventsCreated, 0u);
    EXPECT_TRUE(World().calls.empty());
    EXPECT_EQ(UserDefaultLanguageId(), 0x0404);
    CloseObject(event);  // a handle from before the restart names nothing now
    EXPECT_EQ(World().eventsClosed, 0u);
}

}  // namespace
