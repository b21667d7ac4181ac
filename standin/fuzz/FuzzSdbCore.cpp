// libFuzzer target: unpacks compressed files, walks every tag, reads every value the reader
// offers, and holds the open's check against the walk.
#include "standin/SdbCore.h"
#include "standin/SdbUnpack.h"

#include <algorithm>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <vector>
#include <zlib.h>

// Compressed inputs may declare any size; a low limit keeps each run small and quick.
#define FUZZ_UNPACK_LIMIT (16u << 20)
// Ordinary images up to this size are also packed and unpacked again, to check the round trip.
#define FUZZ_ROUND_TRIP_MAX 0x10000u

// A broken promise of the reader is a finding: abort so that libFuzzer keeps the input.
static void Require(bool condition)
{
    if (!condition)
    {
        abort();
    }
}

// Touches every byte from data to data + size and checks that they lie inside the file.
static uint32_t TouchRange(const SDB_IMAGE* image, const uint8_t* data, uint32_t size)
{
    Require(data >= image->bytes && (uint64_t)(data - image->bytes) + size <= image->size);
    uint32_t sum = 0;
    for (uint32_t index = 0; index < size; index++)
    {
        sum += data[index];
    }
    return sum;
}

// Checks a text against the STRING item it comes from: that item's characters up to the first
// zero character inside its data, or all of them, then a zero character. It lies in place only
// when the data holds that zero; a copy lies outside the image.
static uint32_t TouchText(const SDB_IMAGE* image, uint32_t item, const uint8_t* text)
{
    Require((SdbCoreGetTag(image, item) & 0xF000) == 0x8000);
    const uint8_t* data = image->bytes + item + 6;
    uint32_t characters = SdbCoreGetDataSize(image, item) / 2;
    uint32_t length = 0;
    while (length < characters && (data[2 * length] != 0 || data[2 * length + 1] != 0))
    {
        length++;
    }
    Require(text == data ? length < characters
                         : text < image->bytes || text >= image->bytes + image->size);
    uint32_t sum = 0;
    for (uint32_t index = 0; index < 2 * length; index++)
    {
        Require(text[index] == data[index]);
        sum += text[index];
    }
    Require(text[2 * length] == 0 && text[2 * length + 1] == 0);
    return sum;
}

// The STRING children of the string table, as the walk gives them: what a reference may name.
typedef std::vector<uint32_t> MEMBERS;

static bool IsMember(const MEMBERS& members, uint64_t tagid)
{
    return std::binary_search(members.begin(), members.end(), tagid);
}

static uint32_t ReadEverything(const SDB_IMAGE* image, const MEMBERS& members, uint32_t tagid)
{
    uint32_t sum = SdbCoreGetTag(image, tagid);
    uint32_t size = SdbCoreGetDataSize(image, tagid);
    sum += SdbCoreReadWord(image, tagid, 0xFFFF);
    sum += SdbCoreReadDword(image, tagid, 0xFFFFFFFF);
    sum += (uint32_t)SdbCoreReadQword(image, tagid, ~0ull);
    const uint8_t* data = SdbCoreGetBinaryData(image, tagid);
    if (data != nullptr)
    {
        sum += TouchRange(image, data, size);
    }
    const uint8_t* text = SdbCoreGetStringData(image, tagid);
    uint32_t item = tagid;
    if ((SdbCoreGetTag(image, tagid) & 0xF000) == 0x6000 && size == 4)
    {
        uint64_t named = (uint64_t)image->stringTable + SdbReadLe32(image->bytes + tagid + 2);
        Require((text != nullptr) == IsMember(members, named));
        item = (uint32_t)named;
    }
    if (text != nullptr)
    {
        sum += TouchText(image, item, text);
    }
    return sum;
}

// Where the item at tagid ends, its pad byte included, by the format's sizes alone.
static uint64_t ItemEnd(const SDB_IMAGE* image, uint32_t tagid)
{
    uint32_t type = SdbCoreGetTag(image, tagid) & 0xF000;
    bool sized = type == 0x7000 || type == 0x8000 || type == 0x9000;
    return ((uint64_t)tagid + (sized ? 6 : 2) + SdbCoreGetDataSize(image, tagid) + 1) & ~1ull;
}

// The first damage as the walk shows it: where a parent's children stop before its end, a
// top-level tag of no defined type; and apart from those, a reference that names no member.
typedef struct _FIRST_DAMAGE
{
    uint64_t at;     // UINT64_MAX while none is seen
    uint32_t parent; // the parent whose children stop, or the item itself
    bool refused;    // the children stop there
} FIRST_DAMAGE;

static void SeeDamage(FIRST_DAMAGE* first, uint64_t at, uint32_t parent, bool refused)
{
    if (at < first->at)
    {
        *first = {at, parent, refused};
    }
}

// Holds the damage the open's check found against the walk's own view of it.
static void CheckDamage(const SDB_IMAGE* image, const FIRST_DAMAGE& first, const SDB_DAMAGE& damage)
{
    if (first.at == UINT64_MAX)
    {
        Require(damage.what == SDB_DAMAGE_NONE);
        return;
    }
    Require(damage.what != SDB_DAMAGE_NONE && damage.tagid == first.at);
    bool cutShort =
        damage.what == SDB_DAMAGE_TAG_PAST_FILE_END || damage.what == SDB_DAMAGE_DATA_PAST_FILE_END;
    Require(damage.cutShort == cutShort);
    if (damage.what == SDB_DAMAGE_STRINGREF_OUTSIDE)
    {
        Require(!first.refused && (SdbCoreGetTag(image, damage.tagid) & 0xF000) == 0x6000 &&
                damage.missing == SdbReadLe32(image->bytes + damage.tagid + 2));
        return;
    }
    Require(damage.missing > 0);
    if (first.parent != SDB_TAGID_ROOT)
    {
        Require(first.refused && damage.what == SDB_DAMAGE_TAG_PAST_LIST_END &&
                damage.end == first.parent + 6 + SdbCoreGetDataSize(image, first.parent));
        return;
    }
    Require(damage.end == image->size);
    if (damage.what == SDB_DAMAGE_BYTES_AFTER_TAGS)
    {
        // Stray bytes: a tag of no defined type, or a single byte that no tag fits in.
        Require(damage.missing == image->size - damage.tagid &&
                (!first.refused || damage.missing == 1));
        return;
    }
    Require(first.refused && cutShort);
}

// Depth first over the whole tree without recursion: hostile input can nest lists as deep as
// the file is long.
static uint32_t WalkAll(const SDB_IMAGE* image, const MEMBERS& members, FIRST_DAMAGE* first,
                        FIRST_DAMAGE* reference)
{
    std::vector<uint32_t> parents;
    std::vector<uint32_t> children;
    std::vector<uint64_t> reached; // where the children so far end
    uint32_t sum = 0;
    parents.push_back(SDB_TAGID_ROOT);
    children.push_back(SdbCoreGetFirstChild(image, SDB_TAGID_ROOT));
    reached.push_back(SDB_HEADER_SIZE);
    while (!parents.empty())
    {
        uint32_t child = children.back();
        uint32_t parent = parents.back();
        if (child == SDB_TAGID_NULL)
        {
            uint64_t end = parent == SDB_TAGID_ROOT
                               ? image->size
                               : (uint64_t)parent + 6 + SdbCoreGetDataSize(image, parent);
            if (reached.back() < end)
            {
                SeeDamage(first, reached.back(), parent, true);
            }
            parents.pop_back();
            children.pop_back();
            reached.pop_back();
            continue;
        }
        Require(child > parent && child < image->size && child == reached.back());
        if (parent != SDB_TAGID_ROOT)
        {
            Require((uint64_t)child < (uint64_t)parent + 6 + SdbCoreGetDataSize(image, parent));
        }
        sum += ReadEverything(image, members, child);
        uint32_t type = SdbCoreGetTag(image, child) & 0xF000;
        // A reference of 0 names no text, which is no damage.
        uint32_t value = type == 0x6000 ? SdbReadLe32(image->bytes + child + 2) : 0;
        if (value != 0 && !IsMember(members, (uint64_t)image->stringTable + value))
        {
            SeeDamage(reference, child, child, false);
        }
        if (parent == SDB_TAGID_ROOT && (type == 0 || type > 0x9000))
        {
            SeeDamage(first, child, SDB_TAGID_ROOT, false);
        }
        uint32_t next = SdbCoreGetNextChild(image, parent, child);
        Require(next == SDB_TAGID_NULL || next > child);
        children.back() = next;
        reached.back() = ItemEnd(image, child);
        uint32_t grandchild = SdbCoreGetFirstChild(image, child);
        if (type == 0x7000)
        {
            parents.push_back(child);
            children.push_back(grandchild);
            reached.push_back((uint64_t)child + 6);
        }
        else
        {
            Require(grandchild == SDB_TAGID_NULL);
        }
    }
    return sum;
}

// Reads everything the reader offers of an image; false when the image is refused.
static bool CheckImage(const uint8_t* data, size_t size)
{
    // The owner of an image keeps a zero tail after it; the sanitiser sees any read past that,
    // and past the room the open and its check are given.
    std::vector<uint8_t> copy(data, data + size);
    copy.resize(size + SDB_IMAGE_ZERO_TAIL, 0);
    std::vector<uint8_t> marks(SdbCoreMembersRoom((uint32_t)size));
    std::vector<uint8_t> work(SdbCoreScanRoom((uint32_t)size));
    SDB_IMAGE image;
    if (size > SDB_IMAGE_MAX_SIZE || !SdbCoreOpenImage(&image, copy.data(), size, marks.data()))
    {
        return false;
    }
    SDB_DAMAGE damage;
    uint64_t needed = SdbCoreScan(&image, work.data(), nullptr, 0, &damage);
    std::vector<uint8_t> copies(needed);
    if (needed != 0)
    {
        SDB_DAMAGE again;
        Require(SdbCoreScan(&image, work.data(), copies.data(), needed, &again) == needed &&
                memcmp(&again, &damage, sizeof(damage)) == 0);
    }
    Require(image.scanned);
    MEMBERS members;
    for (uint32_t item = SdbCoreGetFirstChild(&image, image.stringTable);
         image.stringTable != 0 && item != SDB_TAGID_NULL;
         item = SdbCoreGetNextChild(&image, image.stringTable, item))
    {
        if ((SdbCoreGetTag(&image, item) & 0xF000) == 0x8000)
        {
            members.push_back(item);
        }
    }
    FIRST_DAMAGE first = {UINT64_MAX, 0, false};
    FIRST_DAMAGE reference = first;
    volatile uint32_t sink = WalkAll(&image, members, &first, &reference);
    // A file of its header alone lacks its first tag, which no walk can show.
    if (size == SDB_HEADER_SIZE)
    {
        Require(damage.what == SDB_DAMAGE_TAG_PAST_FILE_END && damage.cutShort &&
                damage.tagid == SDB_HEADER_SIZE && damage.missing == 2 &&
                damage.end == SDB_HEADER_SIZE);
    }
    else
    {
        CheckDamage(&image, first.at != UINT64_MAX ? first : reference, damage);
    }
    // Identifiers the walk never hands out: the header, odd offsets, the end, far beyond it.
    static const uint32_t strayTagids[] = {1, 11, 13, 0xFFFFFFFF, 0xFFFFFFFE, 0x7FFFFFFF};
    for (uint32_t tagid : strayTagids)
    {
        sink = sink + ReadEverything(&image, members, tagid) + SdbCoreGetFirstChild(&image, tagid) +
               SdbCoreGetNextChild(&image, tagid, tagid + 2);
    }
    // Every offset as an item and as a parent, as a caller with a made-up TAGID would pass it;
    // in a large image only the offsets near its two ends, to keep the runs quick.
    for (uint32_t tagid = 0; tagid <= size + 8; tagid++)
    {
        if (size > 1024 && tagid == 512)
        {
            tagid = (uint32_t)size - 64;
        }
        uint32_t child = SdbCoreGetFirstChild(&image, tagid);
        Require(child == SDB_TAGID_NULL || child > tagid);
        sink = sink + ReadEverything(&image, members, tagid) + child +
               SdbCoreGetNextChild(&image, tagid, child);
    }
    (void)sink;
    return true;
}

static const SDB_UNPACK_ALLOCATOR DefaultAllocator = {nullptr, nullptr, nullptr};

// Unpacks a compressed file into a buffer of exactly the declared size, where the sanitiser
// sees any write past it.
static SDB_UNPACK_RESULT Unpack(const uint8_t* data, size_t size, std::vector<uint8_t>* out)
{
    uint32_t unpackedSize = 0xFFFFFFFF;
    SDB_UNPACK_RESULT result = SdbUnpackReadHeader(data, size, FUZZ_UNPACK_LIMIT, &unpackedSize);
    if (result != SDB_UNPACK_DONE)
    {
        Require(unpackedSize == 0);
        return result;
    }
    Require(unpackedSize >= SDB_HEADER_SIZE && unpackedSize <= FUZZ_UNPACK_LIMIT);
    out->assign(unpackedSize, 0);
    return SdbUnpackStream(data, size, out->data(), unpackedSize, &DefaultAllocator);
}

// A compressed file of the image with the given declared size, cut short by cut bytes.
static std::vector<uint8_t> Pack(const uint8_t* data, size_t size, uint32_t declared, size_t cut)
{
    uLongf packedSize = compressBound(size);
    std::vector<uint8_t> packed(SDB_PACKED_HEADER_SIZE + packedSize);
    const uint32_t header[5] = {3, 0, 0x6662647A, SDB_PACKED_METHOD_ZLIB, declared};
    memcpy(packed.data(), header, sizeof(header)); // the fuzzing hosts are little-endian
    Require(compress2(packed.data() + SDB_PACKED_HEADER_SIZE, &packedSize, data, size, 1) == Z_OK);
    packed.resize(SDB_PACKED_HEADER_SIZE + packedSize - cut);
    return packed;
}

// Packs a small ordinary image and checks that exactly it comes back, and that a declared size
// one too small or too large and a stream one byte short are each refused as such.
static void CheckRoundTrip(const uint8_t* data, size_t size)
{
    uint32_t exact = (uint32_t)size;
    static const struct
    {
        int32_t sizeChange;
        size_t cut;
        SDB_UNPACK_RESULT expected;
    } variants[] = {
        {0, 0, SDB_UNPACK_DONE},
        {-1, 0, SDB_UNPACK_MORE_THAN_SIZE},
        {1, 0, SDB_UNPACK_LESS_THAN_SIZE},
        {0, 1, SDB_UNPACK_STREAM_CUT},
    };
    for (const auto& variant : variants)
    {
        uint32_t declared = exact + variant.sizeChange;
        if (declared < SDB_HEADER_SIZE)
        {
            continue;
        }
        std::vector<uint8_t> packed = Pack(data, size, declared, variant.cut);
        std::vector<uint8_t> out;
        Require(Unpack(packed.data(), packed.size(), &out) == variant.expected);
        Require(variant.expected != SDB_UNPACK_DONE ||
                (out.size() == size && memcmp(out.data(), data, size) == 0));
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (SdbUnpackIsPacked(data, size))
    {
        std::vector<uint8_t> out;
        if (Unpack(data, size, &out) == SDB_UNPACK_DONE)
        {
            CheckImage(out.data(), out.size());
        }
        return 0;
    }
    if (CheckImage(data, size) && size <= FUZZ_ROUND_TRIP_MAX)
    {
        CheckRoundTrip(data, size);
    }
    return 0;
}
