// Helpers shared by the simulated platform groups: the handle table, the
// call record, the last error and the passing of virtual time.
#pragma once
#include <cstdint>
#include <string>

#include "platform/handle.h"
#include "platform/sim/world.h"

// Adds an object to the world's table and returns its handle.
Handle NewSimObject(const SimObject& object);
// The open object of that kind behind a handle, or nullptr for a null,
// invalid, closed, unknown or differently-kinded handle. The pointer is good
// until the next NewSimObject.
SimObject* FindSimObject(Handle handle, SimObjectKind kind);
// Any object behind a handle, open or not; nullptr when unknown.
SimObject* LookUpSimObject(Handle handle);

// Appends a line to World().calls when calls are being recorded.
void RecordCall(const std::string& line);
void SetSimLastError(std::uint32_t code);

// Lets virtual time pass (and real time too in a realtime world).
void PassTime(std::uint32_t milliseconds);

// ASCII-only case-insensitive comparison, as the platform compares names.
bool EqualIgnoringCase(const char* a, const char* b);
