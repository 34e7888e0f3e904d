// Resources embedded in the running executable.
#pragma once
#include "platform/handle.h"
#include <cstdint>

// FindResourceA(NULL, MAKEINTRESOURCEA(id), "BINARY"). NO_HANDLE when absent.
Handle FindBinaryResource(std::uint16_t id);
// LoadResource(NULL, resource). NO_HANDLE when it cannot be loaded.
Handle LoadBinaryResource(Handle resource);
// LockResource(loaded): the bytes' address.
const void* LockBinaryResource(Handle loaded);
// SizeofResource(NULL, resource).
std::uint32_t SizeOfBinaryResource(Handle resource);
