// Streaming SHA-256 with nothing but integer arithmetic, so that the same
// file builds for a kernel-mode driver without any run-time library.
#include "common/sha256.h"

namespace {

const uint32_t ROUND_CONSTANTS[64] = {
    0x428a2f98u, 0x71374491u, 0xb5c0fbcfu, 0xe9b5dba5u, 0x3956c25bu, 0x59f111f1u, 0x923f82a4u, 0xab1c5ed5u,
    0xd807aa98u, 0x12835b01u, 0x243185beu, 0x550c7dc3u, 0x72be5d74u, 0x80deb1feu, 0x9bdc06a7u, 0xc19bf174u,
    0xe49b69c1u, 0xefbe4786u, 0x0fc19dc6u, 0x240ca1ccu, 0x2de92c6fu, 0x4a7484aau, 0x5cb0a9dcu, 0x76f988dau,
    0x983e5152u, 0xa831c66du, 0xb00327c8u, 0xbf597fc7u, 0xc6e00bf3u, 0xd5a79147u, 0x06ca6351u, 0x14292967u,
    0x27b70a85u, 0x2e1b2138u, 0x4d2c6dfcu, 0x53380d13u, 0x650a7354u, 0x766a0abbu, 0x81c2c92eu, 0x92722c85u,
    0xa2bfe8a1u, 0xa81a664bu, 0xc24b8b70u, 0xc76c51a3u, 0xd192e819u, 0xd6990624u, 0xf40e3585u, 0x106aa070u,
    0x19a4c116u, 0x1e376c08u, 0x2748774cu, 0x34b0bcb5u, 0x391c0cb3u, 0x4ed8aa4au, 0x5b9cca4fu, 0x682e6ff3u,
    0x748f82eeu, 0x78a5636fu, 0x84c87814u, 0x8cc70208u, 0x90befffau, 0xa4506cebu, 0xbef9a3f7u, 0xc67178f2u,
};

inline uint32_t RotateRight(uint32_t value, int bits)
{
    return (value >> bits) | (value << (32 - bits));
}

// The compression function keeps the standard's own names (a to h, the
// message schedule w), so it can be read line by line against FIPS 180-4.
// NOLINTBEGIN(readability-identifier-length)
void CompressBlock(uint32_t state[8], const uint8_t block[64])
{
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
        w[i] = (uint32_t)block[4 * i] << 24 | (uint32_t)block[4 * i + 1] << 16 | (uint32_t)block[4 * i + 2] << 8 |
               (uint32_t)block[4 * i + 3];
    }
    for (int i = 16; i < 64; ++i) {
        const uint32_t s0 = RotateRight(w[i - 15], 7) ^ RotateRight(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = RotateRight(w[i - 2], 17) ^ RotateRight(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
        const uint32_t s1 = RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25);
        const uint32_t choice = (e & f) ^ (~e & g);
        const uint32_t t1 = h + s1 + choice + ROUND_CONSTANTS[i] + w[i];
        const uint32_t s0 = RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22);
        const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        const uint32_t t2 = s0 + majority;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}
// NOLINTEND(readability-identifier-length)

}  // namespace

void Sha256Init(Sha256* ctx)
{
    ctx->state[0] = 0x6a09e667u;
    ctx->state[1] = 0xbb67ae85u;
    ctx->state[2] = 0x3c6ef372u;
    ctx->state[3] = 0xa54ff53au;
    ctx->state[4] = 0x510e527fu;
    ctx->state[5] = 0x9b05688cu;
    ctx->state[6] = 0x1f83d9abu;
    ctx->state[7] = 0x5be0cd19u;
    ctx->length = 0;
    ctx->used = 0;
    for (int i = 0; i < 64; ++i) {
        ctx->block[i] = 0;
    }
}

void Sha256Update(Sha256* ctx, const uint8_t* data, uint64_t size)
{
    ctx->length += size;
    uint64_t at = 0;
    // Top up a partly filled block first, then hash whole blocks straight
    // from the caller's bytes: a 13 MB image is never staged anywhere.
    if (ctx->used != 0) {
        while (at < size && ctx->used < 64) {
            ctx->block[ctx->used++] = data[at++];
        }
        if (ctx->used < 64) {
            return;
        }
        CompressBlock(ctx->state, ctx->block);
        ctx->used = 0;
    }
    while (size - at >= 64) {
        CompressBlock(ctx->state, data + at);
        at += 64;
    }
    while (at < size) {
        ctx->block[ctx->used++] = data[at++];
    }
}

void Sha256Final(Sha256* ctx, uint8_t digest[32])
{
    const uint64_t bitLength = ctx->length * 8;
    ctx->block[ctx->used++] = 0x80;
    if (ctx->used > 56) {
        while (ctx->used < 64) {
            ctx->block[ctx->used++] = 0;
        }
        CompressBlock(ctx->state, ctx->block);
        ctx->used = 0;
    }
    while (ctx->used < 56) {
        ctx->block[ctx->used++] = 0;
    }
    for (int i = 0; i < 8; ++i) {
        ctx->block[56 + i] = (uint8_t)(bitLength >> (56 - 8 * i));
    }
    CompressBlock(ctx->state, ctx->block);
    ctx->used = 0;
    for (int i = 0; i < 8; ++i) {
        digest[4 * i] = (uint8_t)(ctx->state[i] >> 24);
        digest[4 * i + 1] = (uint8_t)(ctx->state[i] >> 16);
        digest[4 * i + 2] = (uint8_t)(ctx->state[i] >> 8);
        digest[4 * i + 3] = (uint8_t)ctx->state[i];
    }
}
