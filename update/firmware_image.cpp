#include "update/firmware_image.h"

#include "common/print.h"
#include "common/shared.h"
#include "platform/resource.h"

bool LoadFirmwareImage(std::uint16_t resourceId, FirmwareImage* image)
{
    const Handle found = FindBinaryResource(resourceId);
    if (found == NO_HANDLE) {
        PrintMessage(MSG_FIND_RESOURCE_ERROR, Language);
        return false;
    }
    const Handle loaded = LoadBinaryResource(found);
    if (loaded == NO_HANDLE) {
        PrintMessage(MSG_LOAD_RESOURCE_ERROR, Language);
        return false;
    }
    const void* data = LockBinaryResource(loaded);
    return TakeLockedImage(data, SizeOfBinaryResource(found), image);
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
