// Downloading the embedded firmware image and following the burn.
#pragma once
#include <cstdint>

constexpr std::uint32_t BURN_START_DELAY_MS = 6000;

// True when the burn was seen to finish.
bool DownloadFirmware(std::uint16_t resourceId, std::int32_t updateMode);
