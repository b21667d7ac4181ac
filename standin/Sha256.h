// SHA-256 (FIPS 180-4) of a byte range held in memory, free of platform headers.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define SDB_SHA256_SIZE 32u

// Writes the 32-byte digest of size bytes at bytes into digest.
void SdbSha256(const uint8_t* bytes, size_t size, uint8_t digest[SDB_SHA256_SIZE]);
