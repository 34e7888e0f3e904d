// The firmware image that the updater carries inside its own executable.
#pragma once
#include <cstdint>

// Where the embedded image lies and how long it is. The bytes belong to the
// executable's module: they are used in place, never copied or freed.
struct FirmwareImage {
    const void* data;
    std::uint32_t size;
};

// Finds, loads and locks the "BINARY" resource `resourceId`. On failure
// prints the one message that names the step that failed and returns false;
// *image is then left untouched.
bool LoadFirmwareImage(std::uint16_t resourceId, FirmwareImage* image);

// The last two steps of the load: judges what the lock and the size query
// gave. An empty resource fails as empty whatever its address; a resource
// with bytes but no address fails at the lock. Kept apart from the platform
// calls so that each outcome of the lock can be exercised.
bool TakeLockedImage(const void* data, std::uint32_t size, FirmwareImage* image);

// The SHA-256 of `image` is the `digestSize` bytes at `digest`. A digest of
// any length but 32, or none at all, matches no image.
bool ImageMatchesDigest(const FirmwareImage& image, const void* digest, std::uint32_t digestSize);

// The start of a run: the embedded image against the SHA-256 the build
// embedded beside it. True when both load and agree; otherwise prints the
// one line that tells the user to get a fresh copy of the executable and
// returns false. Prints nothing else, whichever step failed.
bool EmbeddedImageIsIntact();
