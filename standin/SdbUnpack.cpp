// Unpacking of compressed shim databases into a caller's buffer, free of platform headers.
#include "standin/SdbUnpack.h"
#include "standin/SdbCore.h"

#include <zlib.h>

#define SDB_PACKED_MAGIC 0x6662647Au // "zdbf" read as a little-endian DWORD

// zlib counts its input in 32 bits; a larger stream is handed over in pieces.
#define SDB_UNPACK_INPUT_CHUNK 0x40000000u

bool SdbUnpackIsPacked(const uint8_t* bytes, size_t size)
{
    return bytes != nullptr && size >= SDB_HEADER_SIZE &&
           SdbReadLe32(bytes + 8) == SDB_PACKED_MAGIC;
}

SDB_UNPACK_RESULT SdbUnpackReadHeader(const uint8_t* bytes, size_t size, uint32_t limit,
                                      uint32_t* unpackedSize)
{
    *unpackedSize = 0;
    if (bytes == nullptr || size < SDB_PACKED_HEADER_SIZE)
    {
        return SDB_UNPACK_HEADER_CUT;
    }
    if (SdbReadLe32(bytes + 12) != SDB_PACKED_METHOD_ZLIB)
    {
        return SDB_UNPACK_UNKNOWN_METHOD;
    }
    uint32_t declared = SdbReadLe32(bytes + 16);
    if (declared < SDB_HEADER_SIZE)
    {
        return SDB_UNPACK_SIZE_TOO_SMALL;
    }
    if (declared > limit)
    {
        return SDB_UNPACK_SIZE_TOO_LARGE;
    }
    *unpackedSize = declared;
    return SDB_UNPACK_DONE;
}

// Runs inflate over the whole input. Once out is full, one spare byte of room tells a stream
// that ends there from one that would go on: the spare byte is never handed to the caller.
// With headOnly, filling out is enough: the rest of the stream is not looked at.
static SDB_UNPACK_RESULT Inflate(z_stream* stream, const uint8_t* input, size_t inputSize,
                                 uint8_t* out, uint32_t outSize, bool headOnly)
{
    size_t fed = 0;
    uint8_t spare = 0;
    bool probing = false;
    stream->next_out = out;
    stream->avail_out = outSize;
    for (;;)
    {
        if (stream->avail_in == 0 && fed < inputSize)
        {
            size_t chunk = inputSize - fed;
            if (chunk > SDB_UNPACK_INPUT_CHUNK)
            {
                chunk = SDB_UNPACK_INPUT_CHUNK;
            }
            stream->next_in = (Bytef*)(input + fed);
            stream->avail_in = (uInt)chunk;
            fed += chunk;
        }
        if (stream->avail_out == 0 && headOnly)
        {
            return SDB_UNPACK_DONE;
        }
        if (stream->avail_out == 0 && !probing)
        {
            probing = true;
            stream->next_out = &spare;
            stream->avail_out = 1;
        }
        int status = inflate(stream, Z_NO_FLUSH);
        if (probing && stream->avail_out == 0)
        {
            return SDB_UNPACK_MORE_THAN_SIZE;
        }
        bool inputLeft = stream->avail_in != 0 || fed < inputSize;
        switch (status)
        {
            case Z_STREAM_END:
                if (!probing && stream->avail_out != 0)
                {
                    return SDB_UNPACK_LESS_THAN_SIZE;
                }
                return inputLeft ? SDB_UNPACK_DAMAGED : SDB_UNPACK_DONE;
            case Z_OK:
            case Z_BUF_ERROR:
                // inflate returns only when it ran out of input or room, or found the end.
                if (!inputLeft)
                {
                    return SDB_UNPACK_STREAM_CUT;
                }
                if (status == Z_BUF_ERROR && stream->avail_in != 0 && stream->avail_out != 0)
                {
                    return SDB_UNPACK_DAMAGED;
                }
                break;
            case Z_MEM_ERROR:
                return SDB_UNPACK_NO_MEMORY;
            default: // Z_DATA_ERROR, Z_NEED_DICT (a preset dictionary nobody supplies)
                return SDB_UNPACK_DAMAGED;
        }
    }
}

// Inflates the stream behind the header of bytes into out; see Inflate.
static SDB_UNPACK_RESULT Unpack(const uint8_t* bytes, size_t size, uint8_t* out, uint32_t outSize,
                                bool headOnly, const SDB_UNPACK_ALLOCATOR* allocator)
{
    if (bytes == nullptr || size < SDB_PACKED_HEADER_SIZE)
    {
        return SDB_UNPACK_HEADER_CUT;
    }
    z_stream stream = {};
    stream.zalloc = allocator->alloc;
    stream.zfree = allocator->free;
    stream.opaque = allocator->opaque;
    // The zlib wrapper only (no raw deflate, no gzip): its header and Adler-32 check are part
    // of the format.
    int status = inflateInit(&stream);
    if (status != Z_OK)
    {
        return status == Z_MEM_ERROR ? SDB_UNPACK_NO_MEMORY : SDB_UNPACK_DAMAGED;
    }
    SDB_UNPACK_RESULT result = Inflate(&stream, bytes + SDB_PACKED_HEADER_SIZE,
                                       size - SDB_PACKED_HEADER_SIZE, out, outSize, headOnly);
    inflateEnd(&stream);
    return result;
}

SDB_UNPACK_RESULT SdbUnpackStream(const uint8_t* bytes, size_t size, uint8_t* out,
                                  uint32_t unpackedSize, const SDB_UNPACK_ALLOCATOR* allocator)
{
    return Unpack(bytes, size, out, unpackedSize, false, allocator);
}

SDB_UNPACK_RESULT SdbUnpackHead(const uint8_t* bytes, size_t size, uint8_t* out, uint32_t count,
                                const SDB_UNPACK_ALLOCATOR* allocator)
{
    return Unpack(bytes, size, out, count, true, allocator);
}
