// Reader of the shim database format over a file image held in memory, free of platform headers.
#pragma once

#include "standin/Evidence.h"

#include <stddef.h>
#include <stdint.h>

#define SDB_HEADER_SIZE 12u
#define SDB_TAGID_ROOT 0u
#define SDB_TAGID_NULL 0u
#define SDB_TAG_STRINGTABLE 0x7801u

// Zero bytes that the owner of an image keeps right after it. Text is handed out as a bare
// pointer and the caller reads up to the first zero character; every text ends inside its item
// or is a copy, and the tail stops a caller that reads one too far inside the owner's block,
// whatever the alignment of the pointer: three zero bytes would do, four are kept.
#define SDB_IMAGE_ZERO_TAIL 4u

// The largest image the reader accepts: TAGIDs are 32-bit offsets, so nothing beyond them
// could be addressed.
#define SDB_IMAGE_MAX_SIZE 0xFFFFFFF0u

// The largest database the stand-in holds, as a file or unpacked, on every build: far above any
// real one (the largest, the upgrade check's, unpacks to about 12 MB), and low enough that a
// 32-bit process finds room for it and, while it unpacks, for the compressed copy beside it. A
// compressed file can declare any size; this bounds what such a claim can make it allocate.
#define SDB_MAX_FILE_SIZE 0x10000000u

// A little-endian DWORD at p, whatever its alignment.
static inline uint32_t SdbReadLe32(const uint8_t* p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

// An image and what its open learnt of it. Texts are handed out bounded by their items: a STRING
// whose data holds no zero character is handed out as a terminated copy of its characters.
typedef struct _SDB_IMAGE
{
    const uint8_t* bytes;    // the whole file, followed by SDB_IMAGE_ZERO_TAIL zero bytes
    uint32_t size;           // bytes of the file, without the zero tail
    uint32_t stringTable;    // TAGID of the root's string table, or 0 when there is none
    uint32_t stringTableEnd; // end of the string table's data, or 0
    bool scanned;            // SdbCoreScan has attached every copy that the texts need
    const uint8_t* members;  // bit k set: a STRING child of the string table at its data + 2k
    const uint8_t* copies;   // copyCount (TAGID, offset) pairs by rising TAGID, then the copies
    uint32_t copyCount;
} SDB_IMAGE;

// Reads the 12-byte header; true only for the magic "sdbf" and a major version this reader
// understands (2 or 3). The outputs are set in any case, to 0 when the header is too short.
bool SdbCoreReadHeader(const uint8_t* bytes, size_t size, uint32_t* major, uint32_t* minor);

// Bytes of room for the string table's items that SdbCoreOpenImage needs for an image of size
// bytes: one bit per even offset of the table, at most a sixteenth of the image.
uint32_t SdbCoreMembersRoom(uint32_t size);

// Fills in the image description for a checked file image, with the string table's items marked
// in members (SdbCoreMembersRoom bytes, which must stay while the image is read); false when the
// header is refused or the image is larger than SDB_IMAGE_MAX_SIZE.
bool SdbCoreOpenImage(SDB_IMAGE* image, const uint8_t* bytes, size_t size, uint8_t* members);

// Bytes of working memory that SdbCoreScan needs for an image of size bytes: its stack of open
// lists takes at most a byte for every six bytes of the image, however deep they nest.
size_t SdbCoreScanRoom(uint32_t size);

// One pass over every item that SdbCoreGetFirstChild and SdbCoreGetNextChild give, in file order:
// sets *damage to the first damage (see Evidence.h), and gives the bytes that copies of the
// texts without a zero character take (0 for every real database). Given copies of exactly that
// many bytes (from an earlier call), it writes them and attaches them to the image, which keeps
// them while it is read. work holds SdbCoreScanRoom bytes.
uint64_t SdbCoreScan(SDB_IMAGE* image, uint8_t* work, uint8_t* copies, uint64_t room,
                     SDB_DAMAGE* damage);

uint16_t SdbCoreGetTag(const SDB_IMAGE* image, uint32_t tagid);
uint32_t SdbCoreGetFirstChild(const SDB_IMAGE* image, uint32_t parent);
uint32_t SdbCoreGetNextChild(const SDB_IMAGE* image, uint32_t parent, uint32_t previous);

// Byte count of the item's data (the pad byte not counted); the data always lies inside the image.
uint32_t SdbCoreGetDataSize(const SDB_IMAGE* image, uint32_t tagid);

uint16_t SdbCoreReadWord(const SDB_IMAGE* image, uint32_t tagid, uint16_t fallback);
uint32_t SdbCoreReadDword(const SDB_IMAGE* image, uint32_t tagid, uint32_t fallback);
uint64_t SdbCoreReadQword(const SDB_IMAGE* image, uint32_t tagid, uint64_t fallback);

// Data of a BYTE or BINARY item, or null.
const uint8_t* SdbCoreGetBinaryData(const SDB_IMAGE* image, uint32_t tagid);

// Start of the UTF-16LE text of a STRING item or of the string-table item a STRINGREF names, or
// null. The text ends at a zero character inside the item's data, or is a copy of all of that
// data's characters (an odd last byte left out); a STRING that the open did not see and that
// holds no zero character gives null.
const uint8_t* SdbCoreGetStringData(const SDB_IMAGE* image, uint32_t tagid);
