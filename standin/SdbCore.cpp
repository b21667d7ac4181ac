// Reader of the shim database format over a file image held in memory, free of platform headers.
#include "SdbCore.h"

// Offsets and sizes are added in 64 bits throughout: a TAGID near 4 GiB plus a size field of
// any value must not wrap round to a small, plausible-looking offset on a 32-bit build.

#define SDB_MAGIC 0x66626473u // "sdbf" read as a little-endian DWORD

#define TAG_TYPE_MASK 0xF000u
#define TAG_TYPE_NULL 0x1000u
#define TAG_TYPE_BYTE 0x2000u
#define TAG_TYPE_WORD 0x3000u
#define TAG_TYPE_DWORD 0x4000u
#define TAG_TYPE_QWORD 0x5000u
#define TAG_TYPE_STRINGREF 0x6000u
#define TAG_TYPE_LIST 0x7000u
#define TAG_TYPE_STRING 0x8000u
#define TAG_TYPE_BINARY 0x9000u

// Where one item lies: its data and the offset just past it, pad byte included.
typedef struct _SDB_ITEM
{
    uint16_t tag;
    uint64_t data;     // offset of the data
    uint64_t dataSize; // bytes of data, as stored
    uint64_t next;     // offset of the following item
} SDB_ITEM;

static uint16_t ReadLe16(const uint8_t* p)
{
    return (uint16_t)(p[0] | (p[1] << 8));
}

static uint64_t ReadLe64(const uint8_t* p)
{
    return (uint64_t)SdbReadLe32(p) | ((uint64_t)SdbReadLe32(p + 4) << 32);
}

// Describes the item at tagid; false unless the whole item (tag, size field and data) lies
// inside the file. Items of the header region are never items. Types the format does not
// define carry no size field that could be trusted, so they are taken as a bare 2-byte tag:
// the walk can step over them and the caller can still see and report them.
static bool LocateItem(const SDB_IMAGE* image, uint32_t tagid, SDB_ITEM* item)
{
    if (image == nullptr || tagid < SDB_HEADER_SIZE)
    {
        return false;
    }
    uint64_t size = image->size;
    if ((uint64_t)tagid + 2 > size)
    {
        return false;
    }
    item->tag = ReadLe16(image->bytes + tagid);
    item->data = (uint64_t)tagid + 2;
    switch (item->tag & TAG_TYPE_MASK)
    {
        case TAG_TYPE_BYTE:
            item->dataSize = 1;
            break;
        case TAG_TYPE_WORD:
            item->dataSize = 2;
            break;
        case TAG_TYPE_DWORD:
        case TAG_TYPE_STRINGREF:
            item->dataSize = 4;
            break;
        case TAG_TYPE_QWORD:
            item->dataSize = 8;
            break;
        case TAG_TYPE_LIST:
        case TAG_TYPE_STRING:
        case TAG_TYPE_BINARY:
            if ((uint64_t)tagid + 6 > size)
            {
                return false;
            }
            item->dataSize = SdbReadLe32(image->bytes + tagid + 2);
            item->data = (uint64_t)tagid + 6;
            break;
        default: // NULL and the undefined types
            item->dataSize = 0;
            break;
    }
    if (item->data + item->dataSize > size)
    {
        return false;
    }
    // Every item starts on an even offset in the format versions read here: BYTE data and odd
    // BINARY data are followed by a pad byte whose value means nothing.
    item->next = (item->data + item->dataSize + 1) & ~(uint64_t)1;
    return true;
}

// The span of a parent's children: the root's run to the end of the file, a list's to the end
// of its data. False for anything that is not the root or a list lying inside the file.
static bool LocateChildren(const SDB_IMAGE* image, uint32_t parent, uint64_t* first, uint64_t* end)
{
    if (image == nullptr)
    {
        return false;
    }
    if (parent == SDB_TAGID_ROOT)
    {
        *first = SDB_HEADER_SIZE;
        *end = image->size;
        return true;
    }
    SDB_ITEM list;
    if (!LocateItem(image, parent, &list) || (list.tag & TAG_TYPE_MASK) != TAG_TYPE_LIST)
    {
        return false;
    }
    *first = list.data;
    *end = list.data + list.dataSize;
    return true;
}

// A child is returned only when it lies whole inside its parent (and so inside the file). A child
// that ran past its parent's end would be met again as one of the parent's later siblings: a
// damaged file made of such lists would list its bytes many times over.
static uint32_t ValidChild(const SDB_IMAGE* image, uint64_t offset, uint64_t end)
{
    SDB_ITEM item;
    if (offset >= end || offset > SDB_IMAGE_MAX_SIZE ||
        !LocateItem(image, (uint32_t)offset, &item) || item.data + item.dataSize > end)
    {
        return SDB_TAGID_NULL;
    }
    return (uint32_t)offset;
}

bool SdbCoreReadHeader(const uint8_t* bytes, size_t size, uint32_t* major, uint32_t* minor)
{
    *major = 0;
    *minor = 0;
    if (bytes == nullptr || size < SDB_HEADER_SIZE)
    {
        return false;
    }
    *major = SdbReadLe32(bytes);
    *minor = SdbReadLe32(bytes + 4);
    return SdbReadLe32(bytes + 8) == SDB_MAGIC && (*major == 2 || *major == 3);
}

bool SdbCoreOpenImage(SDB_IMAGE* image, const uint8_t* bytes, size_t size)
{
    uint32_t major;
    uint32_t minor;
    if (size > SDB_IMAGE_MAX_SIZE || !SdbCoreReadHeader(bytes, size, &major, &minor))
    {
        return false;
    }
    image->bytes = bytes;
    image->size = (uint32_t)size;
    image->stringTable = 0;
    for (uint32_t child = SdbCoreGetFirstChild(image, SDB_TAGID_ROOT); child != SDB_TAGID_NULL;
         child = SdbCoreGetNextChild(image, SDB_TAGID_ROOT, child))
    {
        if (SdbCoreGetTag(image, child) == SDB_TAG_STRINGTABLE)
        {
            image->stringTable = child;
            break;
        }
    }
    return true;
}

uint16_t SdbCoreGetTag(const SDB_IMAGE* image, uint32_t tagid)
{
    if (image == nullptr || tagid < SDB_HEADER_SIZE || (uint64_t)tagid + 2 > image->size)
    {
        return 0;
    }
    return ReadLe16(image->bytes + tagid);
}

uint32_t SdbCoreGetFirstChild(const SDB_IMAGE* image, uint32_t parent)
{
    uint64_t first;
    uint64_t end;
    if (!LocateChildren(image, parent, &first, &end))
    {
        return SDB_TAGID_NULL;
    }
    return ValidChild(image, first, end);
}

uint32_t SdbCoreGetNextChild(const SDB_IMAGE* image, uint32_t parent, uint32_t previous)
{
    uint64_t first;
    uint64_t end;
    SDB_ITEM item;
    if (!LocateChildren(image, parent, &first, &end) || previous < first || previous >= end ||
        !LocateItem(image, previous, &item))
    {
        return SDB_TAGID_NULL;
    }
    // item.next > previous always (every item has its 2-byte tag), so a walk cannot stall.
    return ValidChild(image, item.next, end);
}

uint32_t SdbCoreGetDataSize(const SDB_IMAGE* image, uint32_t tagid)
{
    SDB_ITEM item;
    if (!LocateItem(image, tagid, &item))
    {
        return 0;
    }
    return (uint32_t)item.dataSize;
}

// Locates an item of exactly the given type.
static bool LocateTyped(const SDB_IMAGE* image, uint32_t tagid, uint32_t type, SDB_ITEM* item)
{
    return LocateItem(image, tagid, item) && (item->tag & TAG_TYPE_MASK) == type;
}

uint16_t SdbCoreReadWord(const SDB_IMAGE* image, uint32_t tagid, uint16_t fallback)
{
    SDB_ITEM item;
    if (!LocateTyped(image, tagid, TAG_TYPE_WORD, &item))
    {
        return fallback;
    }
    return ReadLe16(image->bytes + item.data);
}

uint32_t SdbCoreReadDword(const SDB_IMAGE* image, uint32_t tagid, uint32_t fallback)
{
    SDB_ITEM item;
    if (!LocateTyped(image, tagid, TAG_TYPE_DWORD, &item))
    {
        return fallback;
    }
    return SdbReadLe32(image->bytes + item.data);
}

uint64_t SdbCoreReadQword(const SDB_IMAGE* image, uint32_t tagid, uint64_t fallback)
{
    SDB_ITEM item;
    if (!LocateTyped(image, tagid, TAG_TYPE_QWORD, &item))
    {
        return fallback;
    }
    return ReadLe64(image->bytes + item.data);
}

const uint8_t* SdbCoreGetBinaryData(const SDB_IMAGE* image, uint32_t tagid)
{
    SDB_ITEM item;
    if (!LocateItem(image, tagid, &item))
    {
        return nullptr;
    }
    uint32_t type = item.tag & TAG_TYPE_MASK;
    if (type != TAG_TYPE_BINARY && type != TAG_TYPE_BYTE)
    {
        return nullptr;
    }
    return image->bytes + item.data;
}

const uint8_t* SdbCoreGetStringData(const SDB_IMAGE* image, uint32_t tagid)
{
    SDB_ITEM item;
    if (!LocateItem(image, tagid, &item))
    {
        return nullptr;
    }
    switch (item.tag & TAG_TYPE_MASK)
    {
        case TAG_TYPE_STRING:
            return image->bytes + item.data;
        case TAG_TYPE_STRINGREF:
        {
            if (image->stringTable == 0)
            {
                return nullptr;
            }
            // The reference counts from the string table's own tag to the tag of the item
            // holding the text; the characters follow that item's tag and size field.
            uint64_t text =
                (uint64_t)image->stringTable + SdbReadLe32(image->bytes + item.data) + 6;
            if (text >= image->size)
            {
                return nullptr;
            }
            return image->bytes + text;
        }
        default:
            return nullptr;
    }
}
