// SHA-256, streaming, without the C++ standard library.
#pragma once
#include <stdint.h>

struct Sha256 {
    uint32_t state[8];
    uint64_t length;
    uint8_t block[64];
    uint32_t used;
};

void Sha256Init(Sha256* ctx);
void Sha256Update(Sha256* ctx, const uint8_t* data, uint64_t size);
void Sha256Final(Sha256* ctx, uint8_t digest[32]);
