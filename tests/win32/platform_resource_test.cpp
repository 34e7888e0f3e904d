// The embedded firmware image, found the way the updater finds it: in the
// running executable's own resources.
#include "platform/resource.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

TEST(PlatformResourceTest, ImageIsTheEmbeddedFileAndOtherIdsAreAbsent)
{
    Handle resource = FindBinaryResource(121);
    ASSERT_NE(resource, NO_HANDLE);
    const std::uint32_t size = SizeOfBinaryResource(resource);
    EXPECT_EQ(size, 13633428u);
    const void* bytes = LockBinaryResource(LoadBinaryResource(resource));
    ASSERT_NE(bytes, nullptr);
    std::ifstream in(FWU_EMBEDDED_IMAGE_FILE, std::ios::binary);
    const std::vector<char> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_EQ(file.size(), size) << "cannot read " << FWU_EMBEDDED_IMAGE_FILE << " or its size differs";
    EXPECT_EQ(std::memcmp(bytes, file.data(), size), 0);

    // Id 1 is the manifest: present, but not of the "BINARY" type.
    for (std::uint16_t id : {1, 120, 123, 65535}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(FindBinaryResource(id), NO_HANDLE);
    }
}

// Beside the image, the 32 bytes of its SHA-256 the build wrote.
TEST(PlatformResourceTest, DigestIsTheBuildsFileOf32Bytes)
{
    Handle resource = FindBinaryResource(122);
    ASSERT_NE(resource, NO_HANDLE);
    ASSERT_EQ(SizeOfBinaryResource(resource), 32u);
    const void* bytes = LockBinaryResource(LoadBinaryResource(resource));
    ASSERT_NE(bytes, nullptr);
    std::ifstream in(FWU_EMBEDDED_DIGEST_FILE, std::ios::binary);
    const std::vector<char> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_EQ(file.size(), 32u) << "cannot read " << FWU_EMBEDDED_DIGEST_FILE;
    EXPECT_EQ(std::memcmp(bytes, file.data(), 32), 0);
}

}  // namespace
