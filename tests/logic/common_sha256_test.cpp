// The report's image digest and the download tests compare digests made by
// this implementation on both sides, so only published vectors can show it
// is SHA-256 at all.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/sha256.h"
#include "platform/sim/world.h"

namespace {

// Feeds the message in pieces of `piece` bytes (0: all at once).
std::vector<std::uint8_t> Digest(const std::string& message, std::size_t piece = 0)
{
    Sha256 ctx;
    Sha256Init(&ctx);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.data());
    const std::size_t step = piece == 0 ? std::max<std::size_t>(message.size(), 1) : piece;
    for (std::size_t at = 0; at < message.size(); at += step) {
        Sha256Update(&ctx, bytes + at, std::min(step, message.size() - at));
    }
    std::vector<std::uint8_t> digest(32);
    Sha256Final(&ctx, digest.data());
    return digest;
}

std::string Hex(const std::vector<std::uint8_t>& digest)
{
    std::string text;
    char pair[3];
    for (std::uint8_t byte : digest) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

TEST(Sha256Test, MatchesPublishedVectorsWhateverThePieces)
{
    // "two blocks" is 56 bytes: its length no longer fits the first block.
    const struct {
        std::string message;
        const char* digest;
    } vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& v : vectors) {
        for (std::size_t piece : {0, 1, 63, 65}) {
            SCOPED_TRACE(std::to_string(v.message.size()) + " bytes in pieces of " + std::to_string(piece));
            EXPECT_EQ(Hex(Digest(v.message, piece)), v.digest);
        }
    }
}

TEST(Sha256Test, EmbeddedImageIsTheWholeDevelopmentImage)
{
    // The development image is SHA-256 in counter mode over a fixed seed:
    // block i is the digest of the seed followed by i as 8 little-endian
    // bytes. Its first and last blocks show the embedding starts and ends
    // where it should.
    auto block = [](std::uint64_t counter) {
        std::string message = "development firmware image v1";
        for (int i = 0; i < 8; ++i) {
            message += static_cast<char>(counter >> (8 * i));
        }
        return Digest(message);
    };
    const std::uint32_t size = 13633428;  // the shipped image's size
    ASSERT_EQ(EmbeddedImageSize(), size);
    const std::uint8_t* data = EmbeddedImageData();
    EXPECT_EQ(std::vector<std::uint8_t>(data, data + 32), block(0));
    const std::uint32_t last = size / 32;  // a 20-byte tail
    const std::vector<std::uint8_t> tail = block(last);
    EXPECT_EQ(std::vector<std::uint8_t>(data + 32 * last, data + size),
              std::vector<std::uint8_t>(tail.begin(), tail.begin() + size % 32));
}

}  // namespace
