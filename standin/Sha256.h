// SHA-256 (FIPS 180-4), of bytes held in memory or taken in pieces, free of platform headers.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define SDB_SHA256_SIZE 32u

// Writes the 32-byte digest of size bytes at bytes into digest.
void SdbSha256(const uint8_t* bytes, size_t size, uint8_t digest[SDB_SHA256_SIZE]);

// The state of a hash taken in pieces: SdbSha256Begin, SdbSha256Add for each piece in order,
// SdbSha256End for the digest.
typedef struct _SDB_SHA256
{
    uint32_t hash[8];
    uint64_t size;     // bytes taken so far
    uint8_t block[64]; // the bytes of the block begun, waiting for the rest of it
} SDB_SHA256;

void SdbSha256Begin(SDB_SHA256* state);
void SdbSha256Add(SDB_SHA256* state, const uint8_t* bytes, size_t size);
void SdbSha256End(SDB_SHA256* state, uint8_t digest[SDB_SHA256_SIZE]);
