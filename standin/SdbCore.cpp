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

// True for the types whose tag is followed by a size field.
static bool HasSizeField(uint16_t tag)
{
    uint32_t type = tag & TAG_TYPE_MASK;
    return type == TAG_TYPE_LIST || type == TAG_TYPE_STRING || type == TAG_TYPE_BINARY;
}

// Bytes of data of the types without a size field.
static uint32_t FixedDataSize(uint16_t tag)
{
    switch (tag & TAG_TYPE_MASK)
    {
        case TAG_TYPE_BYTE:
            return 1;
        case TAG_TYPE_WORD:
            return 2;
        case TAG_TYPE_DWORD:
        case TAG_TYPE_STRINGREF:
            return 4;
        case TAG_TYPE_QWORD:
            return 8;
        default: // NULL and the undefined types
            return 0;
    }
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
    item->dataSize = FixedDataSize(item->tag);
    if (HasSizeField(item->tag))
    {
        if ((uint64_t)tagid + 6 > size)
        {
            return false;
        }
        item->dataSize = SdbReadLe32(image->bytes + tagid + 2);
        item->data = (uint64_t)tagid + 6;
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

uint32_t SdbCoreMembersRoom(uint32_t size)
{
    return size / 16 + 2;
}

// Marks the STRING children of the string table in members: the items that a reference may name.
// Every child of a list at an even offset lies at an even offset, and the root's children do.
static void MarkMembers(SDB_IMAGE* image, uint8_t* members)
{
    image->members = members;
    if (image->stringTable == 0 || members == nullptr)
    {
        return;
    }
    SDB_ITEM table;
    LocateItem(image, image->stringTable, &table);
    image->stringTableEnd = (uint32_t)(table.data + table.dataSize);
    uint32_t bits = (uint32_t)(table.dataSize + 1) / 2;
    for (uint32_t index = 0; index < (bits + 7) / 8; index++)
    {
        members[index] = 0;
    }
    for (uint32_t child = SdbCoreGetFirstChild(image, image->stringTable); child != SDB_TAGID_NULL;
         child = SdbCoreGetNextChild(image, image->stringTable, child))
    {
        if ((SdbCoreGetTag(image, child) & TAG_TYPE_MASK) == TAG_TYPE_STRING)
        {
            uint32_t bit = (child - (uint32_t)table.data) / 2;
            members[bit / 8] |= (uint8_t)(1u << (bit % 8));
        }
    }
}

// True when tagid is a STRING child of the string table.
static bool IsMember(const SDB_IMAGE* image, uint64_t tagid)
{
    uint64_t first = (uint64_t)image->stringTable + 6;
    if (image->members == nullptr || tagid < first || tagid >= image->stringTableEnd ||
        (tagid - first) % 2 != 0)
    {
        return false;
    }
    uint64_t bit = (tagid - first) / 2;
    return (image->members[bit / 8] >> (bit % 8)) & 1;
}

bool SdbCoreOpenImage(SDB_IMAGE* image, const uint8_t* bytes, size_t size, uint8_t* members)
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
    image->stringTableEnd = 0;
    image->scanned = false;
    image->members = nullptr;
    image->copies = nullptr;
    image->copyCount = 0;
    for (uint32_t child = SdbCoreGetFirstChild(image, SDB_TAGID_ROOT); child != SDB_TAGID_NULL;
         child = SdbCoreGetNextChild(image, SDB_TAGID_ROOT, child))
    {
        if (SdbCoreGetTag(image, child) == SDB_TAG_STRINGTABLE)
        {
            image->stringTable = child;
            break;
        }
    }
    MarkMembers(image, members);
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

// The text of a zero-sized or one-byte STRING: it has no character.
static const uint8_t EmptyText[2] = {0, 0};

// The copy of the text of the STRING at tagid, or null when it has none.
static const uint8_t* FindCopy(const SDB_IMAGE* image, uint32_t tagid)
{
    uint32_t low = 0;
    uint32_t high = image->copyCount;
    while (low < high)
    {
        uint32_t middle = low + (high - low) / 2;
        uint32_t found = SdbReadLe32(image->copies + 8 * (size_t)middle);
        if (found == tagid)
        {
            return image->copies + SdbReadLe32(image->copies + 8 * (size_t)middle + 4);
        }
        if (found < tagid)
        {
            low = middle + 1;
        }
        else
        {
            high = middle;
        }
    }
    return nullptr;
}

// True when the data holds a zero character.
static bool HoldsZero(const uint8_t* data, uint64_t size)
{
    for (uint64_t offset = 0; offset + 1 < size; offset += 2)
    {
        if (data[offset] == 0 && data[offset + 1] == 0)
        {
            return true;
        }
    }
    return false;
}

// The text of the STRING item at tagid, bounded by its data. The scan has copied every text
// without a zero character that the walk gives, so a string-table item needs no search for its
// zero once the image is scanned.
static const uint8_t* BoundedText(const SDB_IMAGE* image, uint32_t tagid, const SDB_ITEM* item,
                                  bool member)
{
    if (item->dataSize < 2)
    {
        return EmptyText;
    }
    const uint8_t* copy = FindCopy(image, tagid);
    if (copy != nullptr)
    {
        return copy;
    }
    const uint8_t* data = image->bytes + item->data;
    if ((member && image->scanned) || HoldsZero(data, item->dataSize))
    {
        return data;
    }
    return nullptr;
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
            return BoundedText(image, tagid, &item, IsMember(image, tagid));
        case TAG_TYPE_STRINGREF:
        {
            // The reference counts from the string table's own tag to the tag of the item
            // holding the text, which must be one of the table's STRING children.
            uint64_t named = (uint64_t)image->stringTable + SdbReadLe32(image->bytes + item.data);
            SDB_ITEM text;
            if (!IsMember(image, named) || !LocateItem(image, (uint32_t)named, &text))
            {
                return nullptr;
            }
            return BoundedText(image, (uint32_t)named, &text, true);
        }
        default:
            return nullptr;
    }
}

// ---- The scan: the walk's items in file order, the first damage, and the copies of texts.

// The stack of open lists lives in the caller's work bytes as the steps from each list's TAGID
// to its child's: one byte for a step below 255, else its four bytes and a 255. A step is at
// least 6 (a list's tag and size) and the steps add up to at most the image's size, so the stack
// never takes more than a sixth of it.
#define SCAN_LONG_STEP 0xFFu

typedef struct _SDB_SCAN
{
    SDB_DAMAGE damage;    // the first damage to the structure
    SDB_DAMAGE reference; // the first reference that names no string-table item
    uint32_t copyCount;   // texts that need a copy
    uint64_t copyBytes;   // their index entries and copies
    uint8_t* copies;      // where the copies go, or null while only counting
    uint64_t copyOffset;  // where the next copy goes
} SDB_SCAN;

size_t SdbCoreScanRoom(uint32_t size)
{
    return size / 6 + 8;
}

static void PushStep(uint8_t* work, size_t* used, uint64_t step)
{
    if (step < SCAN_LONG_STEP)
    {
        work[(*used)++] = (uint8_t)step;
        return;
    }
    for (unsigned index = 0; index < 4; index++)
    {
        work[(*used)++] = (uint8_t)(step >> (8 * index));
    }
    work[(*used)++] = SCAN_LONG_STEP;
}

static uint64_t PopStep(const uint8_t* work, size_t* used)
{
    uint8_t last = work[--*used];
    if (last != SCAN_LONG_STEP)
    {
        return last;
    }
    *used -= 4;
    return SdbReadLe32(work + *used);
}

static void NoteDamage(SDB_DAMAGE* damage, uint32_t what, uint64_t tagid, uint64_t missing,
                       uint64_t end)
{
    if (damage->what != SDB_DAMAGE_NONE)
    {
        return;
    }
    damage->what = what;
    damage->cutShort =
        what == SDB_DAMAGE_TAG_PAST_FILE_END || what == SDB_DAMAGE_DATA_PAST_FILE_END;
    damage->tagid = (uint32_t)tagid;
    damage->missing = missing;
    damage->end = (uint32_t)end;
}

// Notes why the walk refuses the child at offset of a parent whose children end at end: it does
// not lie whole inside the parent. A top-level child is cut by the end of the file, also when
// only one byte of its tag is left (which a file cut there and one with a stray byte appended
// both show: the cut is the likelier); any other one overruns its list, which lies inside the
// file.
static void NoteRefusedChild(const SDB_IMAGE* image, uint64_t offset, uint64_t end, bool topLevel,
                             SDB_SCAN* scan)
{
    uint64_t left = end - offset;
    // How far the child reaches: to the end of its tag or size field when they are cut, else to
    // the end of its data.
    uint16_t tag = left >= 2 ? ReadLe16(image->bytes + offset) : 0;
    uint64_t reach = offset + (HasSizeField(tag) ? 6 : 2);
    bool headerFits = reach <= end;
    if (headerFits)
    {
        reach += HasSizeField(tag) ? SdbReadLe32(image->bytes + offset + 2) : FixedDataSize(tag);
    }
    uint32_t what = !topLevel    ? SDB_DAMAGE_TAG_PAST_LIST_END
                    : headerFits ? SDB_DAMAGE_DATA_PAST_FILE_END
                                 : SDB_DAMAGE_TAG_PAST_FILE_END;
    NoteDamage(&scan->damage, what, offset, reach - end, end);
}

// Counts, or writes, the copy of a STRING's text that holds no zero character.
static void NoteText(const SDB_IMAGE* image, uint32_t tagid, const SDB_ITEM* item, SDB_SCAN* scan)
{
    const uint8_t* data = image->bytes + item->data;
    if (item->dataSize < 2 || HoldsZero(data, item->dataSize))
    {
        return;
    }
    uint64_t characters = item->dataSize & ~(uint64_t)1;
    if (scan->copies != nullptr)
    {
        uint8_t* entry = scan->copies + 8 * (uint64_t)scan->copyCount;
        uint8_t* copy = scan->copies + scan->copyOffset;
        for (unsigned index = 0; index < 4; index++)
        {
            entry[index] = (uint8_t)(tagid >> (8 * index));
            entry[4 + index] = (uint8_t)(scan->copyOffset >> (8 * index));
        }
        for (uint64_t index = 0; index < characters; index++)
        {
            copy[index] = data[index];
        }
        copy[characters] = 0;
        copy[characters + 1] = 0;
        scan->copyOffset += characters + 2;
    }
    scan->copyCount++;
    scan->copyBytes += 8 + characters + 2;
}

// Walks the items the walk gives, in file order, without recursion: the children of the root
// from the header to the end of the file, and of each list within its data, each child only
// while it lies whole inside its parent; the first that does not ends its parent's children.
static void ScanItems(const SDB_IMAGE* image, uint8_t* work, SDB_SCAN* scan)
{
    size_t used = 0;
    uint64_t list = SDB_TAGID_ROOT; // the innermost open list
    uint64_t end = image->size;     // where its children end
    uint64_t offset = SDB_HEADER_SIZE;
    for (;;)
    {
        SDB_ITEM item;
        bool inside = offset < end && LocateItem(image, (uint32_t)offset, &item) &&
                      item.data + item.dataSize <= end;
        if (offset < end && !inside)
        {
            NoteRefusedChild(image, offset, end, list == SDB_TAGID_ROOT, scan);
            offset = end;
        }
        if (offset >= end)
        {
            if (list == SDB_TAGID_ROOT)
            {
                return;
            }
            // The list's siblings follow it, after its pad byte.
            offset = (end + 1) & ~(uint64_t)1;
            list -= PopStep(work, &used);
            end = list == SDB_TAGID_ROOT ? image->size
                                         : list + 6 + SdbReadLe32(image->bytes + list + 2);
            continue;
        }
        uint32_t type = item.tag & TAG_TYPE_MASK;
        if (type == TAG_TYPE_STRINGREF)
        {
            // A reference of 0 can name no item (the first lies 6 bytes into the table): it is
            // a reference to no text, as a writer puts for a string it does not have (the
            // sdbtool project's all_tagtypes.sdb, which has no table), not a wrong one.
            uint32_t reference = SdbReadLe32(image->bytes + item.data);
            if (reference != 0 && !IsMember(image, (uint64_t)image->stringTable + reference))
            {
                NoteDamage(&scan->reference, SDB_DAMAGE_STRINGREF_OUTSIDE, offset, reference,
                           image->stringTableEnd);
            }
        }
        else if (type == TAG_TYPE_STRING)
        {
            NoteText(image, (uint32_t)offset, &item, scan);
        }
        else if (list == SDB_TAGID_ROOT && (type == 0 || type > TAG_TYPE_BINARY))
        {
            NoteDamage(&scan->damage, SDB_DAMAGE_BYTES_AFTER_TAGS, offset, image->size - offset,
                       image->size);
        }
        if (type == TAG_TYPE_LIST)
        {
            PushStep(work, &used, offset - list);
            list = offset;
            end = item.data + item.dataSize;
            offset = item.data;
            continue;
        }
        offset = item.next;
    }
}

uint64_t SdbCoreScan(SDB_IMAGE* image, uint8_t* work, uint8_t* copies, uint64_t room,
                     SDB_DAMAGE* damage)
{
    SDB_SCAN scan = {};
    ScanItems(image, work, &scan);
    // A database holds at least its DATABASE list: a file that ends with its header is one cut
    // right there (the first 12 bytes of any database), however well formed the rest would be.
    if (image->size <= SDB_HEADER_SIZE)
    {
        NoteDamage(&scan.damage, SDB_DAMAGE_TAG_PAST_FILE_END, SDB_HEADER_SIZE, 2, image->size);
    }
    // A file cut inside its string table, the last of its parts, has no table for the walk, and
    // every reference before the cut would name nothing: the damage to the structure explains
    // them, and references are judged only in a whole structure.
    *damage = scan.damage.what != SDB_DAMAGE_NONE ? scan.damage : scan.reference;
    uint64_t needed = scan.copyBytes;
    // The copies follow their index; every offset must fit the index's 32 bits.
    if (needed == 0 || (copies != nullptr && room == needed && needed <= 0xFFFFFFFFu))
    {
        if (needed != 0)
        {
            scan.copies = copies;
            scan.copyOffset = 8 * (uint64_t)scan.copyCount;
            scan.copyCount = 0;
            ScanItems(image, work, &scan);
            image->copies = copies;
            image->copyCount = scan.copyCount;
        }
        image->scanned = true;
    }
    return needed;
}
