#include "platform/process.h"

#include "platform/sim/world.h"

std::uint16_t UserDefaultLanguageId()
{
    return World().languageId;
}

bool ProcessIsElevated()
{
    return World().elevated;
}
