/* Little-endian fields in byte buffers: the scanner's records, the wire
 * trace and the Wine driver's set-up records all put the low byte first.
 * Byte by byte, so the result is the same on any host and under any packing,
 * and with no run-time library, so the kernel-mode test driver (C) can use
 * the same helpers as the updater. It sits with the platform headers, the
 * floor that every layer (the scanner model and the Wine driver too) may
 * include, and includes standard headers only. */
#pragma once
#include <stdint.h>

static inline uint16_t GetLe16(const uint8_t* at)
{
    return (uint16_t)(at[0] | (at[1] << 8));
}

static inline uint32_t GetLe32(const uint8_t* at)
{
    return (uint32_t)at[0] | ((uint32_t)at[1] << 8) | ((uint32_t)at[2] << 16) | ((uint32_t)at[3] << 24);
}

static inline uint64_t GetLe64(const uint8_t* at)
{
    return (uint64_t)GetLe32(at) | ((uint64_t)GetLe32(at + 4) << 32);
}

static inline void PutLe16(uint8_t* at, uint16_t value)
{
    at[0] = (uint8_t)(value & 0xFFu);
    at[1] = (uint8_t)(value >> 8);
}

static inline void PutLe32(uint8_t* at, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        at[i] = (uint8_t)((value >> (8 * i)) & 0xFFu);
    }
}

static inline void PutLe64(uint8_t* at, uint64_t value)
{
    PutLe32(at, (uint32_t)(value & 0xFFFFFFFFu));
    PutLe32(at + 4, (uint32_t)(value >> 32));
}
