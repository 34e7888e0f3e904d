// Process services.
#pragma once
#include <cstdint>

// GetUserDefaultLangID: the user's default language identifier.
std::uint16_t UserDefaultLanguageId();
