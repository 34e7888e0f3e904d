#include "platform/resource.h"

#include <string>

#include "platform/sim/error_codes.h"
#include "platform/sim/objects.h"

namespace {
constexpr std::uint16_t IMAGE_RESOURCE_ID = 121;
}  // namespace

Handle FindBinaryResource(std::uint16_t id)
{
    RecordCall("FindResource ", id);
    // The executable carries one "BINARY" resource, the image, under 121.
    if (id != IMAGE_RESOURCE_ID || World().image == SimImage::Missing) {
        SetSimLastError(ERROR_RESOURCE_NAME_NOT_FOUND_CODE);
        return NO_HANDLE;
    }
    SimObject resource;
    resource.kind = SimObjectKind::Resource;
    return NewSimObject(resource);
}

Handle LoadBinaryResource(Handle resource)
{
    RecordCall("LoadResource");
    if (FindSimObject(resource, SimObjectKind::Resource) == nullptr) {
        SetSimLastError(ERROR_INVALID_HANDLE_CODE);
        return NO_HANDLE;
    }
    if (World().image == SimImage::NotLoadable) {
        SetSimLastError(ERROR_RESOURCE_NAME_NOT_FOUND_CODE);
        return NO_HANDLE;
    }
    SimObject loaded;
    loaded.kind = SimObjectKind::LoadedResource;
    return NewSimObject(loaded);
}

const void* LockBinaryResource(Handle loaded)
{
    if (FindSimObject(loaded, SimObjectKind::LoadedResource) == nullptr) {
        return nullptr;
    }
    return EmbeddedImageData();
}

std::uint32_t SizeOfBinaryResource(Handle resource)
{
    if (FindSimObject(resource, SimObjectKind::Resource) == nullptr) {
        SetSimLastError(ERROR_INVALID_HANDLE_CODE);
        return 0;
    }
    return World().image == SimImage::Empty ? 0 : EmbeddedImageSize();
}
