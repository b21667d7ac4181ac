// SHA-256 (FIPS 180-4), of bytes held in memory or taken in pieces, free of platform headers.
#include "standin/Sha256.h"

#define SHA256_BLOCK 64u

// The first 32 bits of the fractional parts of the cube roots of the first 64 primes.
static const uint32_t RoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// The first 32 bits of the fractional parts of the square roots of the first 8 primes.
static const uint32_t InitialHash[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

static inline uint32_t Rotate(uint32_t value, unsigned count)
{
    return (value >> count) | (value << (32 - count));
}

static inline uint32_t ReadBe32(const uint8_t* p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

// One round of the compression function. The eight working variables rotate their roles by one
// place each round rather than being moved: d and h are the two that a round changes.
static inline void Round(uint32_t a, uint32_t b, uint32_t c, uint32_t& d, uint32_t e, uint32_t f,
                         uint32_t g, uint32_t& h, uint32_t constantAndWord)
{
    uint32_t sum1 = Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25);
    uint32_t choice = (e & f) ^ (~e & g);
    uint32_t first = h + sum1 + choice + constantAndWord;
    uint32_t sum0 = Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22);
    uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
    d += first;
    h = first + sum0 + majority;
}

// Runs the compression function over one 64-byte block.
static void CompressBlock(uint32_t hash[8], const uint8_t* block)
{
    uint32_t schedule[64];
    for (unsigned t = 0; t < 16; t++)
    {
        schedule[t] = ReadBe32(block + 4 * t);
    }
    for (unsigned t = 16; t < 64; t++)
    {
        uint32_t early = schedule[t - 15];
        uint32_t late = schedule[t - 2];
        uint32_t sigma0 = Rotate(early, 7) ^ Rotate(early, 18) ^ (early >> 3);
        uint32_t sigma1 = Rotate(late, 17) ^ Rotate(late, 19) ^ (late >> 10);
        schedule[t] = sigma1 + schedule[t - 7] + sigma0 + schedule[t - 16];
    }
    uint32_t a = hash[0], b = hash[1], c = hash[2], d = hash[3];
    uint32_t e = hash[4], f = hash[5], g = hash[6], h = hash[7];
    for (unsigned t = 0; t < 64; t += 8)
    {
        Round(a, b, c, d, e, f, g, h, RoundConstants[t] + schedule[t]);
        Round(h, a, b, c, d, e, f, g, RoundConstants[t + 1] + schedule[t + 1]);
        Round(g, h, a, b, c, d, e, f, RoundConstants[t + 2] + schedule[t + 2]);
        Round(f, g, h, a, b, c, d, e, RoundConstants[t + 3] + schedule[t + 3]);
        Round(e, f, g, h, a, b, c, d, RoundConstants[t + 4] + schedule[t + 4]);
        Round(d, e, f, g, h, a, b, c, RoundConstants[t + 5] + schedule[t + 5]);
        Round(c, d, e, f, g, h, a, b, RoundConstants[t + 6] + schedule[t + 6]);
        Round(b, c, d, e, f, g, h, a, RoundConstants[t + 7] + schedule[t + 7]);
    }
    hash[0] += a;
    hash[1] += b;
    hash[2] += c;
    hash[3] += d;
    hash[4] += e;
    hash[5] += f;
    hash[6] += g;
    hash[7] += h;
}

void SdbSha256Begin(SDB_SHA256* state)
{
    for (unsigned index = 0; index < 8; index++)
    {
        state->hash[index] = InitialHash[index];
    }
    state->size = 0;
}

void SdbSha256Add(SDB_SHA256* state, const uint8_t* bytes, size_t size)
{
    size_t held = (size_t)(state->size % SHA256_BLOCK);
    state->size += size;
    // A block begun by an earlier call is completed first; whole blocks are then taken where
    // they lie, and what is left waits for the next call.
    if (held != 0)
    {
        size_t take = SHA256_BLOCK - held < size ? SHA256_BLOCK - held : size;
        for (size_t index = 0; index < take; index++)
        {
            state->block[held + index] = bytes[index];
        }
        bytes += take;
        size -= take;
        if (held + take < SHA256_BLOCK)
        {
            return;
        }
        CompressBlock(state->hash, state->block);
    }
    for (; size >= SHA256_BLOCK; bytes += SHA256_BLOCK, size -= SHA256_BLOCK)
    {
        CompressBlock(state->hash, bytes);
    }
    for (size_t index = 0; index < size; index++)
    {
        state->block[index] = bytes[index];
    }
}

void SdbSha256End(SDB_SHA256* state, uint8_t digest[SDB_SHA256_SIZE])
{
    // The padding: the rest of the message, one 1 bit, zeros, and the message's length in bits
    // as a big-endian 64-bit number, filling one block or, when the rest leaves no room for the
    // length, two.
    uint8_t tail[2 * SHA256_BLOCK];
    size_t rest = (size_t)(state->size % SHA256_BLOCK);
    size_t tailSize = rest + 9 <= SHA256_BLOCK ? SHA256_BLOCK : 2 * SHA256_BLOCK;
    for (size_t index = 0; index < tailSize; index++)
    {
        tail[index] = index < rest ? state->block[index] : 0;
    }
    tail[rest] = 0x80;
    uint64_t bits = state->size * 8;
    for (unsigned index = 0; index < 8; index++)
    {
        tail[tailSize - 1 - index] = (uint8_t)(bits >> (8 * index));
    }
    for (size_t offset = 0; offset < tailSize; offset += SHA256_BLOCK)
    {
        CompressBlock(state->hash, tail + offset);
    }
    for (unsigned index = 0; index < 8; index++)
    {
        digest[4 * index] = (uint8_t)(state->hash[index] >> 24);
        digest[4 * index + 1] = (uint8_t)(state->hash[index] >> 16);
        digest[4 * index + 2] = (uint8_t)(state->hash[index] >> 8);
        digest[4 * index + 3] = (uint8_t)state->hash[index];
    }
}

void SdbSha256(const uint8_t* bytes, size_t size, uint8_t digest[SDB_SHA256_SIZE])
{
    SDB_SHA256 state;
    SdbSha256Begin(&state);
    SdbSha256Add(&state, bytes, size);
    SdbSha256End(&state, digest);
}
