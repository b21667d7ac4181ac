// Tests of the stand-in's record of the last database it opened: size, hash, image size, damage.
#include "sdb/Sdb.h"
#include "standin/Evidence.h"
#include "standin/Sha256.h"
#include "TestFiles.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <zlib.h>

// The SHA-256 of AtomicShimx86.sdb, as published with it (tests/realdb/SHA256SUMS).
static const BYTE AtomicShimSha256[32] = {
    0x58, 0x27, 0xb7, 0xac, 0xa5, 0xf5, 0xaf, 0x9f, 0x2b, 0x29, 0x6d, 0xfc, 0xfd, 0xc3, 0x60, 0x86,
    0x48, 0xb0, 0x7a, 0x6f, 0x7c, 0x34, 0xce, 0xfc, 0x06, 0x72, 0xb8, 0xbc, 0xe2, 0x39, 0xec, 0x61,
};

// Opens bytes written to a temporary file and closes the database again; true when it opened.
static bool OpenBytes(const BYTE* bytes, DWORD size)
{
    wchar_t folder[MAX_PATH];
    wchar_t path[PATH_CHARS];
    GetTempPathW(MAX_PATH, folder);
    _snwprintf(path, PATH_CHARS, L"%lsevidence-%lu.sdb", folder, GetCurrentProcessId());
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ok(WriteFile(file, bytes, size, &written, nullptr) && written == size,
       "writing %ls failed with %lu", path, GetLastError());
    CloseHandle(file);
    PDB pdb = SdbOpenDatabase(path, DOS_PATH);
    SdbCloseDatabase(pdb);
    DeleteFileW(path);
    return pdb != nullptr;
}

static void TestEvidence()
{
    SDB_EVIDENCE evidence;
    memset(&evidence, 0xCC, sizeof(evidence));
    static const SDB_EVIDENCE none = {};
    ok(!SdbStandinGetEvidence(&evidence) && memcmp(&evidence, &none, sizeof(none)) == 0,
       "evidence before any open");
    ok(!SdbStandinGetEvidence(nullptr) && GetLastError() == ERROR_INVALID_PARAMETER,
       "evidence into a null record");
    static BYTE bytes[MAX_FILE];
    DWORD size = ReadBytes(L"AtomicShimx86.sdb", bytes);
    wchar_t path[PATH_CHARS];
    DWORD major, minor;
    ok(SdbGetDatabaseVersion(TestData(L"AtomicShimx86.sdb", path), &major, &minor) &&
           !SdbStandinGetEvidence(&evidence),
       "the version query left evidence");

    ok(OpenBytes(bytes, size) && SdbStandinGetEvidence(&evidence) && evidence.opened &&
           evidence.fileSize == size && evidence.imageSize == size &&
           memcmp(evidence.sha256, AtomicShimSha256, 32) == 0 &&
           evidence.damage.what == SDB_DAMAGE_NONE,
       "whole database: size %llu, image %u, damage %u", (unsigned long long)evidence.fileSize,
       evidence.imageSize, evidence.damage.what);

    // Cut inside the string table: the record is the cut file's, and a failed open keeps it.
    ok(OpenBytes(bytes, 0x200) && SdbStandinGetEvidence(&evidence) && evidence.fileSize == 0x200 &&
           evidence.damage.what == SDB_DAMAGE_DATA_PAST_FILE_END && evidence.damage.cutShort &&
           evidence.damage.tagid == 0x186 && evidence.damage.missing == 114 &&
           evidence.damage.end == 0x200,
       "cut database: damage %u at 0x%X missing %llu", evidence.damage.what, evidence.damage.tagid,
       (unsigned long long)evidence.damage.missing);
    SDB_EVIDENCE before = evidence;
    ok(!OpenBytes((const BYTE*)"not a database", 14) && SdbStandinGetEvidence(&evidence) &&
           memcmp(&evidence, &before, sizeof(before)) == 0,
       "a failed open changed the evidence");

    // Compressed: the file's size and hash are those of the bytes read, the image's its own.
    static BYTE packed[MAX_FILE];
    uLongf packedSize = MAX_FILE - 20;
    ok(compress2(packed + 20, &packedSize, bytes, size, 9) == Z_OK, "compress2 failed");
    const DWORD header[5] = {3, 0, 0x6662647A, 1, size};
    memcpy(packed, header, sizeof(header));
    uint8_t digest[32];
    SdbSha256(packed, 20 + packedSize, digest);
    ok(OpenBytes(packed, 20 + packedSize) && SdbStandinGetEvidence(&evidence) &&
           evidence.fileSize == 20 + packedSize && evidence.imageSize == size &&
           memcmp(evidence.sha256, digest, 32) == 0 && evidence.damage.what == SDB_DAMAGE_NONE,
       "compressed database: size %llu, image %u", (unsigned long long)evidence.fileSize,
       evidence.imageSize);
}

int main()
{
    TestEvidence();
    return CheckSummary();
}
