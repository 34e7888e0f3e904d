// The start's check of the embedded image against the SHA-256 the build
// stored beside it: a copy of the executable that arrived cut or altered
// says so once and touches nothing, and an intact one runs as before.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/sha256.h"
#include "platform/sim/world.h"
#include "tests/logic/app_test_support.h"
#include "tests/logic/console_texts.h"

namespace {

using namespace texts;

const std::string INTACT_RUN = "0\n" + FOUND + CLOSING + UNTIL_BURN + BURN_DONE + STARTING + SUCCEEDED;
const std::string DAMAGED_RUN = "0\n" + IMAGE_DAMAGED + FAILED;

// The build's digest with `size` bytes: cut short, or with a byte more.
std::vector<std::uint8_t> BuildDigestResized(std::size_t size)
{
    std::vector<std::uint8_t> digest(EmbeddedDigestData(), EmbeddedDigestData() + EmbeddedDigestSize());
    digest.resize(size, 0);
    return digest;
}

class AppImageCheckTest : public AppRunFixture {
protected:
    // Every call that would change the PC or reach the scanner.
    static std::size_t CallsThatTouchSomething()
    {
        std::size_t count = 0;
        for (const char* prefix : {"CreateMutex", "RegOpenKey", "RegCreateKey", "RegDeleteKey", "OpenSCManager"}) {
            count += apptest::CountCalls(prefix);
        }
        return count + World().deviceOpenAttempts + World().mutexCreates + World().registryOpens + World().valueWrites +
               World().serviceCalls.openManager + World().registerTaskCalls + World().createFolderCalls +
               World().copyFileCalls;
    }
};

TEST_F(AppImageCheckTest, OnlyAnImageThatMatchesItsDigestIsUpdated)
{
    const std::uint32_t lastByte = EmbeddedImageSize() - 1;
    const struct {
        const char* name;
        std::function<void()> configure;
        bool intact;
    } cases[] = {
        {"as built", [] {}, true},
        {"first image byte altered", [] { World().imageFlippedByte = 0; }, false},
        {"a byte in the middle altered", [] { World().imageFlippedByte = 6816714; }, false},
        // The tail that fills no whole 64-byte block still counts.
        {"last image byte altered", [lastByte] { World().imageFlippedByte = lastByte; }, false},
        {"digest cut to 31 bytes", [] { World().digestBytes = BuildDigestResized(31); }, false},
        {"digest with a 33rd byte", [] { World().digestBytes = BuildDigestResized(33); }, false},
        {"digest of another image",
         [] {
             World().digestBytes = BuildDigestResized(32);
             (*World().digestBytes)[31] ^= 0x01;
         },
         false},
        {"digest given again as built", [] { World().digestBytes = BuildDigestResized(32); }, true},
        {"digest missing", [] { World().digest = SimImage::Missing; }, false},
        {"digest not loadable", [] { World().digest = SimImage::NotLoadable; }, false},
        {"digest empty", [] { World().digest = SimImage::Empty; }, false},
        {"image missing", [] { World().image = SimImage::Missing; }, false},
        {"image not loadable", [] { World().image = SimImage::NotLoadable; }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.configure();
        const auto keysBefore = World().machineKeys;
        EXPECT_EQ(Run(), 0);
        if (c.intact) {
            EXPECT_EQ(Console(), INTACT_RUN);
            EXPECT_EQ(World().model.downloads, 1u);
            continue;
        }
        EXPECT_EQ(Console(), DAMAGED_RUN);
        EXPECT_EQ(CallsThatTouchSomething(), 0u);
        EXPECT_EQ(World().mutexes.size(), 0u);
        EXPECT_EQ(World().machineKeys, keysBefore);
        EXPECT_EQ(World().serviceNow.state, World().service.state);
        EXPECT_EQ(World().serviceNow.startType, World().service.startType);
        EXPECT_EQ(World().model.downloads, 0u);
        EXPECT_EQ(World().nowMs, 20000u);  // the closing pause, nothing before it
    }
}

// The line in Traditional Chinese, and the elevation check first: a copy
// run without the rights hears about those, not about its image.
TEST_F(AppImageCheckTest, TheLineFollowsTheLanguageAndComesAfterTheElevationCheck)
{
    World().languageId = 0x0404;
    World().imageFlippedByte = 100;
    Run();
    const std::string console = apptest::Big5ToUtf8(Console());
    EXPECT_EQ(console.rfind("0\n此 fwupdate.exe 檔案已損毀或不完整", 0), 0u) << console;
    EXPECT_EQ(console.find("設備"), std::string::npos);

    SetUp();
    World().elevated = false;
    World().imageFlippedByte = 100;
    Run();
    EXPECT_EQ(Console(), "0\n" + NOT_ELEVATED + FAILED);
}

// The build stored the very digest of the image it embedded.
TEST_F(AppImageCheckTest, TheBuildStoresThe32ByteDigestOfItsImage)
{
    Sha256 ctx;
    Sha256Init(&ctx);
    Sha256Update(&ctx, EmbeddedImageData(), EmbeddedImageSize());
    std::uint8_t digest[32];
    Sha256Final(&ctx, digest);
    ASSERT_EQ(EmbeddedDigestSize(), 32u);
    EXPECT_EQ(std::vector<std::uint8_t>(EmbeddedDigestData(), EmbeddedDigestData() + 32),
              std::vector<std::uint8_t>(digest, digest + 32));
}

}  // namespace
