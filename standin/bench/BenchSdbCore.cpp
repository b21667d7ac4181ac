// Benchmark of the database reader: walks whole databases repeatedly and prints items per second.
#include "standin/SdbCore.h"

#include <chrono>
#include <stdio.h>
#include <vector>

// Reads every value of every item once, depth first, as the listing does; gives the item count.
static uint64_t WalkAll(const SDB_IMAGE* image, uint64_t* checksum)
{
    std::vector<uint32_t> parents = {SDB_TAGID_ROOT};
    std::vector<uint32_t> children = {SdbCoreGetFirstChild(image, SDB_TAGID_ROOT)};
    uint64_t items = 0;
    while (!parents.empty())
    {
        uint32_t child = children.back();
        if (child == SDB_TAGID_NULL)
        {
            parents.pop_back();
            children.pop_back();
            continue;
        }
        items++;
        *checksum += SdbCoreGetTag(image, child) + SdbCoreGetDataSize(image, child) +
                     SdbCoreReadDword(image, child, 0) + SdbCoreReadQword(image, child, 0);
        const uint8_t* text = SdbCoreGetStringData(image, child);
        *checksum += text != nullptr ? text[0] : 0;
        children.back() = SdbCoreGetNextChild(image, parents.back(), child);
        uint32_t first = SdbCoreGetFirstChild(image, child);
        if (first != SDB_TAGID_NULL)
        {
            parents.push_back(child);
            children.push_back(first);
        }
    }
    return items;
}

int main(int argc, char** argv)
{
    for (int index = 1; index < argc; index++)
    {
        FILE* file = fopen(argv[index], "rb");
        if (file == nullptr)
        {
            fprintf(stderr, "%s: cannot open\n", argv[index]);
            return 1;
        }
        std::vector<uint8_t> bytes;
        uint8_t chunk[65536];
        size_t got;
        while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0)
        {
            bytes.insert(bytes.end(), chunk, chunk + got);
        }
        fclose(file);
        size_t size = bytes.size();
        bytes.resize(size + SDB_IMAGE_ZERO_TAIL, 0);
        SDB_IMAGE image;
        auto start = std::chrono::steady_clock::now();
        bool opened = SdbCoreOpenImage(&image, bytes.data(), size);
        double openSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!opened)
        {
            fprintf(stderr, "%s: not a database\n", argv[index]);
            return 1;
        }
        uint64_t checksum = 0;
        uint64_t items = 0;
        int rounds = 0;
        start = std::chrono::steady_clock::now();
        double seconds = 0;
        while (seconds < 1.0)
        {
            items = WalkAll(&image, &checksum);
            rounds++;
            seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
        double perWalk = seconds / rounds;
        printf("%s: %zu bytes, %llu items, open %.3f ms, walk %.3f ms (%.1f M items/s, %.0f MB/s) "
               "over %d rounds [checksum %llu]\n",
               argv[index], size, (unsigned long long)items, openSeconds * 1e3, perWalk * 1e3,
               items / perWalk / 1e6, size / perWalk / 1e6, rounds, (unsigned long long)checksum);
    }
    return 0;
}
