// Unpacking of compressed shim databases into a caller's buffer, free of platform headers.
#pragma once

#include <stddef.h>
#include <stdint.h>

// A compressed database: five little-endian DWORDs (the format's major and minor version, the
// magic "zdbf", the compression method, the size of the unpacked database), then one zlib
// stream that unpacks to an ordinary database of exactly that size.
#define SDB_PACKED_HEADER_SIZE 20u
#define SDB_PACKED_METHOD_ZLIB 1u

typedef enum _SDB_UNPACK_RESULT
{
    SDB_UNPACK_DONE,
    SDB_UNPACK_HEADER_CUT,     // the file ends inside the 20-byte header
    SDB_UNPACK_UNKNOWN_METHOD, // a compression method other than zlib
    SDB_UNPACK_SIZE_TOO_SMALL, // the declared size cannot hold a database header
    SDB_UNPACK_SIZE_TOO_LARGE, // the declared size is above the caller's limit
    SDB_UNPACK_DAMAGED,        // the stream is not valid zlib, or bytes follow its end
    SDB_UNPACK_STREAM_CUT,     // the file ends before the stream does
    SDB_UNPACK_MORE_THAN_SIZE, // the stream yields more bytes than declared
    SDB_UNPACK_LESS_THAN_SIZE, // the stream ends with fewer bytes than declared
    SDB_UNPACK_NO_MEMORY,      // the allocator refused zlib's working memory
} SDB_UNPACK_RESULT;

// The allocator zlib takes its working memory (some 40 KiB) from; null functions mean zlib's
// own default, which only a program with a C runtime can use.
typedef struct _SDB_UNPACK_ALLOCATOR
{
    void* (*alloc)(void* opaque, unsigned int items, unsigned int size);
    void (*free)(void* opaque, void* address);
    void* opaque;
} SDB_UNPACK_ALLOCATOR;

// True when the file's magic says it is compressed; its header may still be cut short.
bool SdbUnpackIsPacked(const uint8_t* bytes, size_t size);

// Checks the header of a compressed file and gives the declared size of the unpacked database.
// Everything that can be refused without unpacking is refused here, so that a caller allocates
// the declared size only after this has passed.
SDB_UNPACK_RESULT SdbUnpackReadHeader(const uint8_t* bytes, size_t size, uint32_t limit,
                                      uint32_t* unpackedSize);

// Inflates the stream that follows the header of the compressed file bytes into out, which
// holds exactly the declared size: inflating stops as soon as the output would pass it. Done
// only when the stream ends exactly at the end of the file and fills out exactly.
SDB_UNPACK_RESULT SdbUnpackStream(const uint8_t* bytes, size_t size, uint8_t* out,
                                  uint32_t unpackedSize, const SDB_UNPACK_ALLOCATOR* allocator);

// Inflates only the first count bytes of the stream into out, for a caller that needs the
// unpacked database's header alone. Done once out is full, whatever follows in the stream; the
// stream ending sooner is SDB_UNPACK_LESS_THAN_SIZE.
SDB_UNPACK_RESULT SdbUnpackHead(const uint8_t* bytes, size_t size, uint8_t* out, uint32_t count,
                                const SDB_UNPACK_ALLOCATOR* allocator);
