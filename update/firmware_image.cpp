#include "update/firmware_image.h"

#include <cstring>

#include "common/print.h"
#include "common/sha256.h"
#include "common/shared.h"
#include "platform/resource.h"

namespace {

constexpr std::uint32_t DIGEST_SIZE = 32;

// Finds, loads and locks the "BINARY" resource `id` and asks its size, in
// that order. False when it cannot be found or loaded; *failure then names
// the step. The lock's address and the size are not judged here.
bool LockResourceBytes(std::uint16_t id, const void** data, std::uint32_t* size, MessageId* failure)
{
    const Handle found = FindBinaryResource(id);
    if (found == NO_HANDLE) {
        *failure = MSG_FIND_RESOURCE_ERROR;
        return false;
    }
    const Handle loaded = LoadBinaryResource(found);
    if (loaded == NO_HANDLE) {
        *failure = MSG_LOAD_RESOURCE_ERROR;
        return false;
    }
    *data = LockBinaryResource(loaded);
    *size = SizeOfBinaryResource(found);
    return true;
}

}  // namespace

bool LoadFirmwareImage(std::uint16_t resourceId, FirmwareImage* image)
{
    const void* data = nullptr;
    std::uint32_t size = 0;
    MessageId failure = MSG_FIND_RESOURCE_ERROR;
    if (!LockResourceBytes(resourceId, &data, &size, &failure)) {
        PrintMessage(failure, Language);
        return false;
    }
    return TakeLockedImage(data, size, image);
}

bool TakeLockedImage(const void* data, std::uint32_t size, FirmwareImage* image)
{
    if (size == 0) {
        PrintMessage(MSG_RESOURCE_EMPTY, Language);
        return false;
    }
    // The whole image is later written straight from this address; a lock
    // that gave none must stop here rather than hand the driver a null
    // buffer of millions of bytes.
    if (data == nullptr) {
        PrintMessage(MSG_LOCK_RESOURCE_ERROR, Language);
        return false;
    }
    image->data = data;
    image->size = size;
    return true;
}

bool ImageMatchesDigest(const FirmwareImage& image, const void* digest, std::uint32_t digestSize)
{
    if (digest == nullptr || digestSize != DIGEST_SIZE || image.data == nullptr) {
        return false;
    }
    Sha256 ctx;
    Sha256Init(&ctx);
    Sha256Update(&ctx, static_cast<const std::uint8_t*>(image.data), image.size);
    std::uint8_t computed[DIGEST_SIZE];
    Sha256Final(&ctx, computed);
    return std::memcmp(computed, digest, DIGEST_SIZE) == 0;
}

bool EmbeddedImageIsIntact()
{
    // A copy of the executable that arrived cut or altered (a network copy,
    // a USB stick, a mail gateway) would otherwise burn whatever bytes it
    // holds. Loaded quietly: the one line below says all the user can do.
    FirmwareImage image{nullptr, 0};
    const void* digest = nullptr;
    std::uint32_t digestSize = 0;
    MessageId failure = MSG_FIND_RESOURCE_ERROR;
    const bool intact = LockResourceBytes(FIRMWARE_RESOURCE_ID, &image.data, &image.size, &failure) &&
                        image.size != 0 &&
                        LockResourceBytes(FIRMWARE_DIGEST_RESOURCE_ID, &digest, &digestSize, &failure) &&
                        ImageMatchesDigest(image, digest, digestSize);
    if (!intact) {
        PrintMessage(MSG_IMAGE_DAMAGED, Language);
    }
    return intact;
}
