// libFuzzer target: unpacks compressed files, walks every tag and reads every value the reader
// offers.
#include "standin/SdbCore.h"
#include "standin/SdbUnpack.h"

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

// Scans a text to its zero character, which must come before the end of the zero tail.
static uint32_t TouchText(const SDB_IMAGE* image, const uint8_t* text)
{
    const uint8_t* limit = image->bytes + image->size + SDB_IMAGE_ZERO_TAIL;
    // An empty STRING as the last item has its text right at the end: the zero tail.
    Require(text >= image->bytes && text <= image->bytes + image->size);
    uint32_t sum = 0;
    for (;; text += 2)
    {
        Require(text + 2 <= limit);
        if (text[0] == 0 && text[1] == 0)
        {
            return sum;
        }
        sum += text[0] + text[1];
    }
}

static uint32_t ReadEverything(const SDB_IMAGE* image, uint32_t tagid)
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
    if (text != nullptr)
    {
        sum += TouchText(image, text);
    }
    return sum;
}

// Depth first over the whole tree without recursion: hostile input can nest lists as deep as
// the file is long.
static uint32_t WalkAll(const SDB_IMAGE* image)
{
    std::vector<uint32_t> parents;
    std::vector<uint32_t> children;
    uint32_t sum = 0;
    parents.push_back(SDB_TAGID_ROOT);
    children.push_back(SdbCoreGetFirstChild(image, SDB_TAGID_ROOT));
    while (!parents.empty())
    {
        uint32_t child = children.back();
        if (child == SDB_TAGID_NULL)
        {
            parents.pop_back();
            children.pop_back();
            continue;
        }
        uint32_t parent = parents.back();
        Require(child > parent && child < image->size);
        if (parent != SDB_TAGID_ROOT)
        {
            Require((uint64_t)child < (uint64_t)parent + 6 + SdbCoreGetDataSize(image, parent));
        }
        sum += ReadEverything(image, child);
        uint32_t next = SdbCoreGetNextChild(image, parent, child);
        Require(next == SDB_TAGID_NULL || next > child);
        children.back() = next;
        uint32_t grandchild = SdbCoreGetFirstChild(image, child);
        if (grandchild != SDB_TAGID_NULL)
        {
            Require((SdbCoreGetTag(image, child) & 0xF000) == 0x7000);
            parents.push_back(child);
            children.push_back(grandchild);
        }
    }
    return sum;
}

// Reads everything the reader offers of an image; false when the image is refused.
static bool CheckImage(const uint8_t* data, size_t size)
{
    // The owner of an image keeps a zero tail after it; the sanitiser sees any read past that.
    std::vector<uint8_t> copy(data, data + size);
    copy.resize(size + SDB_IMAGE_ZERO_TAIL, 0);
    SDB_IMAGE image;
    if (!SdbCoreOpenImage(&image, copy.data(), size))
    {
        return false;
    }
    volatile uint32_t sink = WalkAll(&image);
    // Identifiers the walk never hands out: the header, odd offsets, the end, far beyond it.
    static const uint32_t strayTagids[] = {1, 11, 13, 0xFFFFFFFF, 0xFFFFFFFE, 0x7FFFFFFF};
    for (uint32_t tagid : strayTagids)
    {
        sink = sink + ReadEverything(&image, tagid) + SdbCoreGetFirstChild(&image, tagid) +
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
        sink = sink + ReadEverything(&image, tagid) + child +
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
