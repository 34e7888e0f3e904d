#include "platform/resource.h"

#include <string>

#include "platform/sim/error_codes.h"
#include "platform/sim/objects.h"

namespace {

// The executable carries two "BINARY" resources: the image under 121 and
// its SHA-256 under 122.
constexpr std::uint16_t IMAGE_RESOURCE_ID = 121;
constexpr std::uint16_t DIGEST_RESOURCE_ID = 122;

// How the world has the resource behind `id` (the image's or the digest's).
SimImage ResourceState(std::uint16_t id)
{
    return id == DIGEST_RESOURCE_ID ? World().digest : World().image;
}

const std::uint8_t* ResourceBytes(std::uint16_t id)
{
    const SimWorld& world = World();
    if (id == DIGEST_RESOURCE_ID) {
        return world.digestBytes.has_value() ? world.digestBytes->data() : EmbeddedDigestData();
    }
    return world.alteredImage.empty() ? EmbeddedImageData() : world.alteredImage.data();
}

std::uint32_t ResourceSize(std::uint16_t id)
{
    const SimWorld& world = World();
    if (id == DIGEST_RESOURCE_ID) {
        return world.digestBytes.has_value() ? static_cast<std::uint32_t>(world.digestBytes->size())
                                             : EmbeddedDigestSize();
    }
    return EmbeddedImageSize();
}

}  // namespace

Handle FindBinaryResource(std::uint16_t id)
{
    RecordCall("FindResource ", id);
    if ((id != IMAGE_RESOURCE_ID && id != DIGEST_RESOURCE_ID) || ResourceState(id) == SimImage::Missing) {
        SetSimLastError(ERROR_RESOURCE_NAME_NOT_FOUND_CODE);
        return NO_HANDLE;
    }
    SimObject resource;
    resource.kind = SimObjectKind::Resource;
    resource.resource = id;
    return NewSimObject(resource);
}

Handle LoadBinaryResource(Handle resource)
{
    RecordCall("LoadResource");
    const SimObject* found = FindSimObject(resource, SimObjectKind::Resource);
    if (found == nullptr) {
        SetSimLastError(ERROR_INVALID_HANDLE_CODE);
        return NO_HANDLE;
    }
    if (ResourceState(found->resource) == SimImage::NotLoadable) {
        SetSimLastError(ERROR_RESOURCE_NAME_NOT_FOUND_CODE);
        return NO_HANDLE;
    }
    SimObject loaded;
    loaded.kind = SimObjectKind::LoadedResource;
    loaded.resource = found->resource;
    return NewSimObject(loaded);
}

const void* LockBinaryResource(Handle loaded)
{
    const SimObject* found = FindSimObject(loaded, SimObjectKind::LoadedResource);
    if (found == nullptr) {
        return nullptr;
    }
    return ResourceBytes(found->resource);
}

std::uint32_t SizeOfBinaryResource(Handle resource)
{
    const SimObject* found = FindSimObject(resource, SimObjectKind::Resource);
    if (found == nullptr) {
        SetSimLastError(ERROR_INVALID_HANDLE_CODE);
        return 0;
    }
    return ResourceState(found->resource) == SimImage::Empty ? 0 : ResourceSize(found->resource);
}
