// The embedded firmware image, found the way the updater finds it: in the
// running executable's own resources.
#include "platform/resource.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr std::uint32_t SHIPPED_IMAGE_SIZE = 13633428;

std::vector<unsigned char> ReadWholeFile(const char* path)
{
    std::vector<unsigned char> bytes;
    if (std::FILE* file = std::fopen(path, "rb")) {
        unsigned char chunk[65536];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
            bytes.insert(bytes.end(), chunk, chunk + got);
        }
        std::fclose(file);
    }
    return bytes;
}

TEST(ResourceTest, FirmwareImageIsTheEmbeddedFileByteForByte)
{
    Handle resource = FindBinaryResource(121);
    ASSERT_NE(resource, NO_HANDLE);
    const std::uint32_t size = SizeOfBinaryResource(resource);
    EXPECT_EQ(size, SHIPPED_IMAGE_SIZE);
    Handle loaded = LoadBinaryResource(resource);
    ASSERT_NE(loaded, NO_HANDLE);
    const void* bytes = LockBinaryResource(loaded);
    ASSERT_NE(bytes, nullptr);

    const std::vector<unsigned char> file = ReadWholeFile(FWU_EMBEDDED_IMAGE_FILE);
    ASSERT_EQ(file.size(), size) << "cannot read " << FWU_EMBEDDED_IMAGE_FILE << " or its size differs";
    EXPECT_EQ(std::memcmp(bytes, file.data(), size), 0);
}

TEST(ResourceTest, ImageStaysInTheModule)
{
    // Two lookups give the same address: the bytes live in the executable's
    // mapped image and are never copied.
    const void* first = LockBinaryResource(LoadBinaryResource(FindBinaryResource(121)));
    const void* second = LockBinaryResource(LoadBinaryResource(FindBinaryResource(121)));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
}

TEST(ResourceTest, OtherIdsAreAbsent)
{
    // Id 1 is the manifest: present, but not of the "BINARY" type.
    const std::uint16_t ids[] = {1, 120, 122, 65535};
    for (std::uint16_t id : ids) {
        SCOPED_TRACE(id);
        EXPECT_EQ(FindBinaryResource(id), NO_HANDLE);
    }
}

} // namespace
