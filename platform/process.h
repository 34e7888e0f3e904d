// Process services.
#pragma once
#include <cstdint>

// GetUserDefaultLangID: the user's default language identifier.
std::uint16_t UserDefaultLanguageId();

// GetTokenInformation(TokenElevation) on the process's own token: whether
// the process runs elevated. A manifest that asks for administrator rights
// does not make it so when UAC is off or a compatibility layer runs the
// program as invoker. True when the token cannot be asked.
bool ProcessIsElevated();
