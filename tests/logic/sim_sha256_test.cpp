#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sim/sha256.h"
#include "platform/sim/world.h"

namespace {

std::string Hex(const std::uint8_t digest[32])
{
    std::string text;
    char pair[3];
    for (int i = 0; i < 32; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        text += pair;
    }
    return text;
}

// Feeds the message in pieces of `piece` bytes (0: all at once).
std::string Digest(const std::string& message, std::size_t piece)
{
    Sha256 ctx;
    Sha256Init(&ctx);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.data());
    if (piece == 0) {
        Sha256Update(&ctx, bytes, message.size());
    } else {
        for (std::size_t at = 0; at < message.size(); at += piece)
            Sha256Update(&ctx, bytes + at, std::min(piece, message.size() - at));
    }
    std::uint8_t digest[32];
    Sha256Final(&ctx, digest);
    return Hex(digest);
}

struct Vector {
    const char* name;
    std::string message;
    const char* digest;
};

// The published test vectors, and lengths around the padding boundary
// (55, 56 and 64 bytes), where a wrong length block is most likely.
const Vector VECTORS[] = {
    {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"two blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"four blocks",
     "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    {"one million a", std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

TEST(SimSha256, MatchesPublishedVectorsWhateverThePieces)
{
    for (const Vector& v : VECTORS) {
        for (std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{63}, std::size_t{64}, std::size_t{65},
                                  std::size_t{1000}}) {
            SCOPED_TRACE(std::string(v.name) + ", pieces of " + std::to_string(piece));
            EXPECT_EQ(Digest(v.message, piece), v.digest);
        }
    }
}

TEST(SimSha256, LengthsAroundThePaddingBoundaryDifferAndAreStable)
{
    // 55 bytes fit one block with the length, 56 need a second one.
    std::vector<std::string> digests;
    for (std::size_t n : {55, 56, 57, 63, 64, 65}) {
        const std::string message(n, 'x');
        const std::string whole = Digest(message, 0);
        EXPECT_EQ(Digest(message, 7), whole) << n;
        for (const std::string& earlier : digests) EXPECT_NE(earlier, whole) << n;
        digests.push_back(whole);
    }
}

TEST(SimSha256, EmbeddedImageIsTheWholeDevelopmentImage)
{
    // The development image is SHA-256 in counter mode over a fixed seed:
    // block i is the digest of the seed followed by i as 8 little-endian
    // bytes. Its first and last blocks prove the embedding starts and ends
    // where it should.
    const std::string seed = "development firmware image v1";
    auto block = [&](std::uint64_t counter) {
        std::string message = seed;
        for (int i = 0; i < 8; ++i) message += static_cast<char>(counter >> (8 * i));
        Sha256 ctx;
        Sha256Init(&ctx);
        Sha256Update(&ctx, reinterpret_cast<const std::uint8_t*>(message.data()), message.size());
        std::vector<std::uint8_t> digest(32);
        Sha256Final(&ctx, digest.data());
        return digest;
    };
    const std::uint32_t size = 13633428;  // the shipped image's size
    ASSERT_EQ(EmbeddedImageSize(), size);
    const std::uint8_t* data = EmbeddedImageData();
    EXPECT_EQ(std::vector<std::uint8_t>(data, data + 32), block(0));
    const std::uint32_t lastBlock = size / 32;  // a 20-byte tail
    const std::vector<std::uint8_t> tail = block(lastBlock);
    EXPECT_EQ(std::vector<std::uint8_t>(data + 32 * lastBlock, data + size),
              std::vector<std::uint8_t>(tail.begin(), tail.begin() + size % 32));
}

}  // namespace
