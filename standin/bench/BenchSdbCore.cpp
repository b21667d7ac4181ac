// Benchmark of the database reader: times the open's check and hash, walks whole databases
// repeatedly and prints items per second.
#include "standin/SdbCore.h"
#include "standin/Sha256.h"

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
        std::vector<uint8_t> members(SdbCoreMembersRoom((uint32_t)size));
        std::vector<uint8_t> work(SdbCoreScanRoom((uint32_t)size));
        SDB_IMAGE image;
        auto start = std::chrono::steady_clock::now();
        uint8_t digest[SDB_SHA256_SIZE];
        SdbSha256(bytes.data(), size, digest);
        double hashSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        start = std::chrono::steady_clock::now();
        bool opened = SdbCoreOpenImage(&image, bytes.data(), size, members.data());
        double openSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!opened)
        {
            fprintf(stderr, "%s: not a database\n", argv[index]);
            return 1;
        }
        start = std::chrono::steady_clock::now();
        SDB_DAMAGE damage;
        uint64_t copyBytes = SdbCoreScan(&image, work.data(), nullptr, 0, &damage);
        double scanSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::vector<uint8_t> copies(copyBytes);
        if (copyBytes != 0)
        {
            SdbCoreScan(&image, work.data(), copies.data(), copyBytes, &damage);
        }
        printf("%s: hash %.3f ms (%.0f MB/s), open %.3f ms, check %.3f ms (%.0f MB/s); damage %u "
               "cut %d at 0x%08X missing %llu end 0x%08X; %llu bytes of copies\n",
               argv[index], hashSeconds * 1e3, size / hashSeconds / 1e6, openSeconds * 1e3,
               scanSeconds * 1e3, size / scanSeconds / 1e6, damage.what, damage.cutShort,
               damage.tagid, (unsigned long long)damage.missing, damage.end,
               (unsigned long long)copyBytes);
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
