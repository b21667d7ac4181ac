// Tests of the stand-in apphelp.dll through its exports, on the real databases and crafted ones,
// and of its check and hash.
#include "sdb/Sdb.h"
#include "standin/SdbCore.h"
#include "standin/Sha256.h"
#include "TestFiles.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#define MAX_TEXTS 256
#define MAX_CHILDREN 32

// Writes bytes into a fresh file in the temporary folder and gives its path.
static const wchar_t* WriteTemp(const wchar_t* name, const BYTE* bytes, DWORD size, wchar_t* path)
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    _snwprintf(path, PATH_CHARS, L"%lsstandin-%lu-%ls", folder, GetCurrentProcessId(), name);
    path[PATH_CHARS - 1] = 0;
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ok(file != INVALID_HANDLE_VALUE &&
           (size == 0 || WriteFile(file, bytes, size, &written, nullptr)) && written == size,
       "writing %ls failed with %lu", path, GetLastError());
    CloseHandle(file);
    return path;
}

static const wchar_t* Show(LPCWSTR text)
{
    return text != nullptr ? text : L"(null)";
}

static bool SameText(LPCWSTR got, LPCWSTR expected)
{
    return got != nullptr && wcscmp(got, expected) == 0;
}

static DWORD HeaderSize(TAG tag)
{
    TAG type = tag & TAG_TYPE_MASK;
    return type == TAG_TYPE_LIST || type == TAG_TYPE_STRING || type == TAG_TYPE_BINARY ? 6 : 2;
}

// What a walk over a whole database saw.
struct WALK
{
    PDB pdb;
    DWORD fileSize;
    const BYTE* base; // where TAGID 0 lies in the library's copy, once a STRING has shown it
    const void* tableTexts[MAX_TEXTS]; // texts of the string table's items
    unsigned tableCount;

    unsigned items;
    unsigned stringRefs;
    unsigned maxDepth;
};

// Checks that the children of parent follow each other without gap and end exactly at end,
// that every data pointer lies inside the file, and every reference reaches a string-table item.
static void CheckChildren(WALK* walk, TAGID parent, DWORD start, DWORD end, unsigned depth)
{
    DWORD expected = start;
    walk->maxDepth = depth > walk->maxDepth ? depth : walk->maxDepth;
    for (TAGID child = SdbGetFirstChild(walk->pdb, parent); child != TAGID_NULL;
         child = SdbGetNextChild(walk->pdb, parent, child))
    {
        ok(child == expected, "child of 0x%lX at 0x%lX, expected at 0x%lX", parent, child,
           expected);
        TAG tag = SdbGetTagFromTagID(walk->pdb, child);
        DWORD size = SdbGetTagDataSize(walk->pdb, child);
        DWORD dataStart = child + HeaderSize(tag);
        ok((ULONGLONG)dataStart + size <= walk->fileSize,
           "item 0x%lX: %lu bytes of data run past the end of the file at 0x%lX", child, size,
           walk->fileSize);
        walk->items++;
        TAG type = tag & TAG_TYPE_MASK;
        if (type == TAG_TYPE_STRING)
        {
            const BYTE* text = (const BYTE*)SdbGetStringTagPtr(walk->pdb, child);
            ok(text != nullptr, "STRING 0x%lX gave no text", child);
            if (walk->base == nullptr && text != nullptr)
            {
                walk->base = text - dataStart;
            }
            ok(walk->base == nullptr || text == walk->base + dataStart,
               "STRING 0x%lX text not at its data", child);
        }
        if (type == TAG_TYPE_BINARY || type == TAG_TYPE_BYTE)
        {
            const BYTE* data = (const BYTE*)SdbGetBinaryTagData(walk->pdb, child);
            ok(data != nullptr && (walk->base == nullptr || data == walk->base + dataStart),
               "data of 0x%lX at %p, expected offset 0x%lX", child, data, dataStart);
        }
        if (type == TAG_TYPE_STRINGREF)
        {
            walk->stringRefs++;
            LPCWSTR text = SdbGetStringTagPtr(walk->pdb, child);
            bool found = false;
            for (unsigned index = 0; index < walk->tableCount; index++)
            {
                found = found || walk->tableTexts[index] == text;
            }
            ok(walk->tableCount == 0 ? text == nullptr : found,
               "reference 0x%lX gave %p (%ls), not the text of a string-table item", child, text,
               Show(text));
        }
        if (type == TAG_TYPE_LIST)
        {
            CheckChildren(walk, child, child + 6, child + 6 + size, depth + 1);
        }
        expected = (dataStart + size + 1) & ~1u;
    }
    ok(expected == end, "children of 0x%lX end at 0x%lX, expected 0x%lX", parent, expected, end);
}

// Collects the texts of the string table (a root child), then walks and checks everything.
static WALK WalkDatabase(PDB pdb, DWORD fileSize)
{
    WALK walk = {pdb, fileSize, nullptr, {}, 0, 0, 0, 0};
    for (TAGID child = SdbGetFirstChild(pdb, TAGID_ROOT); child != TAGID_NULL;
         child = SdbGetNextChild(pdb, TAGID_ROOT, child))
    {
        for (TAGID item = SdbGetFirstChild(pdb, child);
             SdbGetTagFromTagID(pdb, child) == 0x7801 && item != TAGID_NULL;
             item = SdbGetNextChild(pdb, child, item))
        {
            ok(walk.tableCount < MAX_TEXTS, "more than %d strings", MAX_TEXTS);
            walk.tableTexts[walk.tableCount++ % MAX_TEXTS] = SdbGetStringTagPtr(pdb, item);
        }
    }
    CheckChildren(&walk, TAGID_ROOT, 12, fileSize, 0);
    return walk;
}

static void TestRealDatabases()
{
    static const struct
    {
        const wchar_t* name;
        DWORD major, minor;
        TAG rootTags[3];
    } files[] = {
        {L"AtomicShimx86.sdb", 2, 1, {0x7802, 0x7001, 0x7801}},
        {L"T1546.011CompatDatabase.sdb", 2, 3, {0x7802, 0x7001, 0x7801}},
        {L"app_x32.sdb", 2, 3, {0x7802, 0x7001, 0x7801}},
        {L"app_x64.sdb", 2, 3, {0x7802, 0x7001, 0x7801}},
        {L"all_tagtypes.sdb", 3, 0, {0x7001, 0, 0}},
    };
    for (const auto& file : files)
    {
        wchar_t path[PATH_CHARS];
        TestData(file.name, path);
        DWORD major = 0xdeadbeef, minor = 0xdeadbeef;
        BOOL result = SdbGetDatabaseVersion(path, &major, &minor);
        ok(result && major == file.major && minor == file.minor,
           "%ls: version %d %lu.%lu, expected TRUE %lu.%lu", file.name, result, major, minor,
           file.major, file.minor);
        PDB pdb = SdbOpenDatabase(path, DOS_PATH);
        ok(pdb != nullptr, "%ls: SdbOpenDatabase failed with %lu", file.name, GetLastError());
        if (pdb == nullptr)
        {
            continue;
        }
        ok(SdbGetFirstChild(pdb, TAGID_ROOT) == 12, "%ls: first root child 0x%lX, expected 0xC",
           file.name, SdbGetFirstChild(pdb, TAGID_ROOT));
        int index = 0;
        for (TAGID child = SdbGetFirstChild(pdb, TAGID_ROOT); child != TAGID_NULL;
             child = SdbGetNextChild(pdb, TAGID_ROOT, child), index++)
        {
            TAG tag = SdbGetTagFromTagID(pdb, child);
            ok(index < 3 && tag == file.rootTags[index], "%ls: root child %d is 0x%04X", file.name,
               index, tag);
        }
        static BYTE bytes[MAX_FILE];
        WALK walk = WalkDatabase(pdb, ReadBytes(file.name, bytes));
        ok(walk.items > 0 && walk.maxDepth > 0, "%ls: %u items, depth %u", file.name, walk.items,
           walk.maxDepth);
        SdbCloseDatabase(pdb);
    }
}

// AtomicShimx86.sdb, read off its bytes: INDEXES 0xC, DATABASE 0xF0, STRINGTABLE 0x186.
static void TestAtomicShim()
{
    wchar_t path[PATH_CHARS];
    PDB pdb = SdbOpenDatabase(TestData(L"AtomicShimx86.sdb", path), DOS_PATH);
    ok(pdb != nullptr, "SdbOpenDatabase failed with %lu", GetLastError());
    if (pdb == nullptr)
    {
        return;
    }
    static const struct
    {
        TAGID tagid;
        TAG tag;
        DWORD size;
        const wchar_t* text;
    } database[] = {
        {0xF6, 0x5001, 8, nullptr},
        {0x100, 0x6022, 4, L"2.1.0.3"},
        {0x106, 0x6001, 4, L"AtomicShim"},
        {0x10C, 0x4023, 4, nullptr},
        {0x112, 0x9007, 16, nullptr},
        {0x128, 0x7002, 0, nullptr},
        {0x12E, 0x7007, 0x52, nullptr},
        {0x134, 0x6001, 4, L"AtomicTest.exe"},
        {0x13A, 0x6006, 4, L"AtomicTest"},
        {0x140, 0x6005, 4, L"<Unknown>"},
        {0x146, 0x9004, 16, nullptr},
        {0x15C, 0x7008, 0x12, nullptr},
        {0x162, 0x6001, 4, L"*"},
        {0x168, 0x6014, 4, L"AtomicTest.exe"},
        {0x16E, 0x6015, 4, L"AtomicTest.exe"},
        {0x174, 0x7009, 0x0C, nullptr},
        {0x17A, 0x6001, 4, L"InjectDll"},
        {0x180, 0x6008, 4, L"C:\\Tools\\AtomicTest.dll"},
    };
    // Depth first: each list's first child follows it, the rest are its next siblings.
    TAGID order[MAX_CHILDREN];
    unsigned found = 0;
    TAGID parents[8] = {0xF0};
    unsigned depth = 1;
    TAGID child = SdbGetFirstChild(pdb, 0xF0);
    while (depth > 0 && depth < 8 && found < MAX_CHILDREN)
    {
        if (child == TAGID_NULL)
        {
            child = parents[--depth];
            child = depth == 0 ? TAGID_NULL : SdbGetNextChild(pdb, parents[depth - 1], child);
            continue;
        }
        order[found++] = child;
        TAGID first = SdbGetFirstChild(pdb, child);
        if (first != TAGID_NULL)
        {
            parents[depth++] = child;
            child = first;
        }
        else
        {
            child = SdbGetNextChild(pdb, parents[depth - 1], child);
        }
    }
    size_t count = sizeof(database) / sizeof(database[0]);
    ok(found == count, "%u items under DATABASE, expected %u", found, (unsigned)count);
    for (size_t index = 0; index < found && index < count; index++)
    {
        const auto& item = database[index];
        TAG tag = SdbGetTagFromTagID(pdb, order[index]);
        DWORD size = SdbGetTagDataSize(pdb, order[index]);
        ok(order[index] == item.tagid && tag == item.tag && size == item.size,
           "item %u: 0x%lX tag 0x%04X size %lu, expected 0x%lX 0x%04X %lu", (unsigned)index,
           order[index], tag, size, item.tagid, item.tag, item.size);
        LPCWSTR text = SdbGetStringTagPtr(pdb, item.tagid);
        ok(item.text != nullptr ? SameText(text, item.text) : text == nullptr,
           "0x%lX: text %ls, expected %ls", item.tagid, Show(text), Show(item.text));
    }
    ok(SdbReadQWORDTag(pdb, 0xF6, 0) == 0x01D36ED74B38B463ull, "TIME 0x%016llX",
       SdbReadQWORDTag(pdb, 0xF6, 0));
    ok(SdbReadDWORDTag(pdb, 0x10C, 0) == 1, "DWORD 0x10C: %lu", SdbReadDWORDTag(pdb, 0x10C, 0));
    // Readers of another type, and data of items that have none, give the default.
    ok(SdbReadWORDTag(pdb, 0x10C, 0xBEEF) == 0xBEEF, "WORD of a DWORD item");
    ok(SdbReadQWORDTag(pdb, 0x10C, 7) == 7, "QWORD of a DWORD item");
    ok(SdbReadDWORDTag(pdb, 0xF6, 0xFEED) == 0xFEED, "DWORD of a QWORD item");
    ok(SdbGetBinaryTagData(pdb, 0x106) == nullptr, "data of a STRINGREF");
    ok(SdbGetStringTagPtr(pdb, 0x112) == nullptr, "text of a BINARY");
    ok(SdbGetFirstChild(pdb, 0x128) == TAGID_NULL, "empty LIBRARY has child 0x%lX",
       SdbGetFirstChild(pdb, 0x128));
    ok(SdbGetFirstChild(pdb, 0x106) == TAGID_NULL, "a STRINGREF has children");
    ok(SdbGetNextChild(pdb, 0x106, 0x10C) == TAGID_NULL, "a STRINGREF as parent");
    ok(SdbGetNextChild(pdb, 0xF0, 0x180) == TAGID_NULL, "child after the end of DATABASE");
    ok(SdbGetNextChild(pdb, TAGID_ROOT, 0x186) == TAGID_NULL, "child after the string table");
    ok(SdbGetNextChild(pdb, 0xF0, 0xF0) == TAGID_NULL, "a list as its own child");
    static const TAGID stray[] = {0, 1, 11, 625, 626, 0x7FFFFFFF, 0xFFFFFFFE, 0xFFFFFFFF};
    for (TAGID tagid : stray)
    {
        ok(SdbGetTagFromTagID(pdb, tagid) == 0 && SdbGetTagDataSize(pdb, tagid) == 0 &&
               SdbGetBinaryTagData(pdb, tagid) == nullptr &&
               SdbGetStringTagPtr(pdb, tagid) == nullptr && SdbReadDWORDTag(pdb, tagid, 5) == 5 &&
               (tagid == 0 || SdbGetFirstChild(pdb, tagid) == 0),
           "TAGID 0x%lX outside the items answers", tagid);
    }
    // The first index entry (key, TAGID) names the EXE.
    const BYTE* bits = (const BYTE*)SdbGetBinaryTagData(pdb, 0x26);
    ok(SdbGetTagDataSize(pdb, 0x26) == 12 && bits != nullptr && memcmp(bits, "ETCIMOTA", 8) == 0 &&
           SdbGetTagFromTagID(pdb, *(const DWORD*)(bits + 8)) == 0x7007,
       "INDEX_BITS 0x26 does not lead to the EXE");
    WCHAR text[40];
    ok(SdbGUIDToString((const GUID*)SdbGetBinaryTagData(pdb, 0x112), text, 40) &&
           wcscmp(text, L"{084c9f6c-a911-44f5-aecf-6a9a55b93c43}") == 0,
       "DATABASE_ID %ls", text);
    // The copy the pointers lead into is read-only.
    MEMORY_BASIC_INFORMATION info = {};
    VirtualQuery(SdbGetStringTagPtr(pdb, 0x106), &info, sizeof(info));
    ok(info.Protect == PAGE_READONLY, "protection 0x%lX, expected PAGE_READONLY", info.Protect);
    SdbCloseDatabase(pdb);
}

// all_tagtypes.sdb: one DATABASE (0xC, ending at the file end 0x104) with an item of every type.
static void TestAllTagTypes()
{
    wchar_t path[PATH_CHARS];
    PDB pdb = SdbOpenDatabase(TestData(L"all_tagtypes.sdb", path), DOS_PATH);
    ok(pdb != nullptr, "SdbOpenDatabase failed with %lu", GetLastError());
    if (pdb == nullptr)
    {
        return;
    }
    static const struct
    {
        TAGID tagid;
        TAG tag;
        DWORD size;
    } items[] = {
        {0x12, 0x7000, 0}, {0x18, 0x1000, 0}, {0x1A, 0x2000, 1},  {0x1E, 0x3000, 2},
        {0x22, 0x4000, 4}, {0x28, 0x5000, 8}, {0x32, 0x9000, 8},  {0x40, 0x8000, 2},
        {0x48, 0x6000, 4}, {0x4E, 0x7001, 0}, {0x54, 0x1001, 0},  {0x56, 0x2001, 1},
        {0x5A, 0x3001, 2}, {0x5E, 0x4001, 4}, {0x64, 0x5002, 8},  {0x6E, 0x9001, 8},
        {0x7C, 0x8001, 8}, {0x8A, 0x6001, 4}, {0x90, 0x7002, 26}, {0xB0, 0x7005, 0x4E},
    };
    TAGID child = SdbGetFirstChild(pdb, 0xC);
    for (const auto& item : items)
    {
        ok(child == item.tagid && SdbGetTagFromTagID(pdb, child) == item.tag &&
               SdbGetTagDataSize(pdb, child) == item.size,
           "0x%lX tag 0x%04X size %lu, expected 0x%lX 0x%04X %lu", child,
           SdbGetTagFromTagID(pdb, child), SdbGetTagDataSize(pdb, child), item.tagid, item.tag,
           item.size);
        child = SdbGetNextChild(pdb, 0xC, child);
    }
    ok(child == TAGID_NULL, "a child 0x%lX after PATCH", child);
    ok(SdbGetFirstChild(pdb, 0x12) == TAGID_NULL && SdbGetFirstChild(pdb, 0x4E) == TAGID_NULL,
       "empty lists have children");
    const BYTE* byte = (const BYTE*)SdbGetBinaryTagData(pdb, 0x1A);
    ok(byte != nullptr && *byte == 0xFF, "BYTE data %p", byte);
    ok(SdbReadWORDTag(pdb, 0x1E, 0) == 0xFFFF && SdbReadDWORDTag(pdb, 0x22, 0) == 0xFFFFFFFF &&
           SdbReadQWORDTag(pdb, 0x28, 0) == ~0ull,
       "all-bits-set values");
    ok(SdbReadWORDTag(pdb, 0x5A, 9) == 0 && SdbReadDWORDTag(pdb, 0x5E, 9) == 0 &&
           SdbReadQWORDTag(pdb, 0x64, 9) == 0,
       "zero values");
    ok(SameText(SdbGetStringTagPtr(pdb, 0x40), L"") &&
           SameText(SdbGetStringTagPtr(pdb, 0x7C), L"val"),
       "STRING items: %ls, %ls", Show(SdbGetStringTagPtr(pdb, 0x40)),
       Show(SdbGetStringTagPtr(pdb, 0x7C)));
    // No string table: references lead nowhere.
    ok(SdbGetStringTagPtr(pdb, 0x48) == nullptr && SdbGetStringTagPtr(pdb, 0x8A) == nullptr,
       "a reference resolved without a string table");
    ok(SdbReadDWORDTag(pdb, 0xCE, 0) == 0x11122, "FROM_LINK_DATE 0x%lX",
       SdbReadDWORDTag(pdb, 0xCE, 0));
    ok(SdbGetTagDataSize(pdb, 0xE8) == 0 && SdbGetBinaryTagData(pdb, 0xE8) != nullptr,
       "empty EXE_ID");
    WCHAR text[40];
    ok(SdbGUIDToString((const GUID*)SdbGetBinaryTagData(pdb, 0xEE), text, 40) &&
           wcscmp(text, L"{55667788-1122-1122-1122-334455667788}") == 0,
       "EXE_ID %ls", text);
    SdbCloseDatabase(pdb);
}

static void TestNames()
{
    ok(SameText(SdbTagToString(0x7001), L"DATABASE"), "0x7001: %ls", Show(SdbTagToString(0x7001)));
    ok(SameText(SdbTagToString(0x4033), L"FROM_LINK_DATE"), "0x4033: %ls",
       Show(SdbTagToString(0x4033)));
    static const TAG invalid[] = {0x0000, 0x1000, 0xFFFF, 0x2001, 0x9001, 0x8000, 0xA000};
    for (TAG tag : invalid)
    {
        ok(SameText(SdbTagToString(tag), L"InvalidTag"), "0x%04X: %ls", tag,
           Show(SdbTagToString(tag)));
    }
    // Every value against the table the names come from.
    static WCHAR names[400][48];
    static WORD nameOf[0x10000]; // 1 + index into names, or 0 for InvalidTag
    FILE* table = fopen(SHIMLIST_TAG_NAMES_TSV, "r");
    ok(table != nullptr, "cannot open %s", SHIMLIST_TAG_NAMES_TSV);
    char line[256];
    int named = 0;
    while (table != nullptr && fgets(line, sizeof(line), table) != nullptr)
    {
        unsigned value;
        char name[128];
        if (line[0] != '#' && sscanf(line, "0x%x\t%47s", &value, name) == 2 && value <= 0xFFFF &&
            named < 400)
        {
            mbstowcs(names[named], name, 48);
            nameOf[value] = (WORD)++named;
        }
    }
    if (table != nullptr)
    {
        fclose(table);
    }
    ok(named == 354, "%d names in the table, expected 354", named);
    int wrong = 0;
    for (unsigned value = 0; value <= 0xFFFF; value++)
    {
        LPCWSTR name = nameOf[value] != 0 ? names[nameOf[value] - 1] : L"InvalidTag";
        wrong += !SameText(SdbTagToString((TAG)value), name);
    }
    ok(wrong == 0, "%d tag values named wrongly", wrong);
}

static void TestGuidText()
{
    static const BYTE guid[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                  0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
    WCHAR text[41];
    wmemset(text, 0xCCCC, 41);
    ok(SdbGUIDToString((const GUID*)guid, text, 39) &&
           wcscmp(text, L"{67452301-ab89-efcd-fedc-ba9876543210}") == 0 && text[39] == 0xCCCC,
       "GUID text %ls", text);
    SetLastError(0xdeadbeef);
    ok(!SdbGUIDToString((const GUID*)guid, text, 38) && GetLastError() == ERROR_INSUFFICIENT_BUFFER,
       "38 characters accepted, error %lu", GetLastError());
    ok(!SdbGUIDToString(nullptr, text, 40) && !SdbGUIDToString((const GUID*)guid, nullptr, 40),
       "null pointers accepted");
}

static void TestOpenFailures()
{
    static const struct
    {
        const wchar_t* name;
        BYTE bytes[16];
        DWORD size;
        DWORD error;
    } cases[] = {
        {L"text.sdb", {'n', 'o', 't', ' ', 'a', ' ', 'd', 'b', '\n', '\n', '\n', '\n'}, 12, 11},
        {L"short.sdb", {2, 0, 0, 0, 1}, 5, 11},
        {L"empty.sdb", {0}, 0, 11},
        // A compressed file whose header is cut short: it ends early.
        {L"zdbf.sdb", {3, 0, 0, 0, 0, 0, 0, 0, 'z', 'd', 'b', 'f', 1, 0x10, 0, 0}, 16, 38},
        {L"major1.sdb", {1, 0, 0, 0, 0, 0, 0, 0, 's', 'd', 'b', 'f'}, 12, 11},
        {L"major4.sdb", {4, 0, 0, 0, 0, 0, 0, 0, 's', 'd', 'b', 'f'}, 12, 11},
    };
    wchar_t path[PATH_CHARS];
    for (const auto& item : cases)
    {
        WriteTemp(item.name, item.bytes, item.size, path);
        SetLastError(0xdeadbeef);
        PDB pdb = SdbOpenDatabase(path, DOS_PATH);
        ok(pdb == nullptr && GetLastError() == item.error, "%ls: %p error %lu, expected NULL %lu",
           item.name, pdb, GetLastError(), item.error);
        DWORD major = 0xdeadbeef, minor = 0xdeadbeef;
        SetLastError(0xdeadbeef);
        BOOL result = SdbGetDatabaseVersion(path, &major, &minor);
        ok(!result && major == 0 && minor == 0 && GetLastError() == item.error,
           "%ls: version %d %lu.%lu error %lu, expected FALSE 0.0 %lu", item.name, result, major,
           minor, GetLastError(), item.error);
        DeleteFileW(path);
    }
    wchar_t missing[PATH_CHARS];
    TestData(L"no-such-database.sdb", missing);
    SetLastError(0xdeadbeef);
    ok(SdbOpenDatabase(missing, DOS_PATH) == nullptr && GetLastError() == 2,
       "missing file: error %lu, expected 2", GetLastError());
    DWORD major = 0xdeadbeef, minor = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    ok(!SdbGetDatabaseVersion(missing, &major, &minor) && major == 0 && minor == 0 &&
           GetLastError() == 2,
       "missing file: version %lu.%lu error %lu", major, minor, GetLastError());
    SetLastError(0xdeadbeef);
    ok(SdbOpenDatabase(TestData(L"AtomicShimx86.sdb", path), NT_PATH) == nullptr &&
           GetLastError() == ERROR_INVALID_PARAMETER,
       "NT_PATH: error %lu", GetLastError());
    ok(SdbOpenDatabase(nullptr, DOS_PATH) == nullptr, "null path opened");
    // A file larger than any TAGID reaches (sparse: it takes no room on the disk).
    WriteTemp(L"huge.sdb", (const BYTE*)"\3\0\0\0\0\0\0\0sdbf", 12, path);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER size;
    size.QuadPart = 5ll << 30;
    ok(SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && SetEndOfFile(file),
       "making a 5 GiB file failed with %lu", GetLastError());
    CloseHandle(file);
    SetLastError(0xdeadbeef);
    ok(SdbOpenDatabase(path, DOS_PATH) == nullptr && GetLastError() == ERROR_FILE_TOO_LARGE,
       "5 GiB file: error %lu, expected 223", GetLastError());
    DeleteFileW(path);
    // A null handle is answered, never followed.
    ok(SdbGetFirstChild(nullptr, TAGID_ROOT) == 0 && SdbGetNextChild(nullptr, 0, 12) == 0 &&
           SdbGetTagFromTagID(nullptr, 12) == 0 && SdbReadWORDTag(nullptr, 12, 3) == 3 &&
           SdbReadDWORDTag(nullptr, 12, 3) == 3 && SdbReadQWORDTag(nullptr, 12, 3) == 3 &&
           SdbGetStringTagPtr(nullptr, 12) == nullptr &&
           SdbGetBinaryTagData(nullptr, 12) == nullptr && SdbGetTagDataSize(nullptr, 12) == 0,
       "a null PDB was read");
    SdbCloseDatabase(nullptr);
}

// Cuts of AtomicShimx86.sdb: only items lying whole inside the cut are children.
static void TestTruncated()
{
    static BYTE bytes[MAX_FILE];
    ReadBytes(L"AtomicShimx86.sdb", bytes);
    wchar_t path[PATH_CHARS];
    static const struct
    {
        DWORD cut;
        unsigned rootChildren;
    } cuts[] = {{12, 0},   {13, 0},    {17, 0},    {18, 0},    {0xEF, 0},  {0xF0, 1},
                {0xF6, 1}, {0x100, 1}, {0x185, 1}, {0x186, 2}, {0x190, 2}, {625, 2}};
    for (const auto& item : cuts)
    {
        WriteTemp(L"cut.sdb", bytes, item.cut, path);
        PDB pdb = SdbOpenDatabase(path, DOS_PATH);
        ok(pdb != nullptr, "cut at %lu: error %lu", item.cut, GetLastError());
        DeleteFileW(path);
        if (pdb == nullptr)
        {
            continue;
        }
        unsigned count = 0;
        for (TAGID child = SdbGetFirstChild(pdb, TAGID_ROOT); child != TAGID_NULL;
             child = SdbGetNextChild(pdb, TAGID_ROOT, child))
        {
            count++;
        }
        ok(count == item.rootChildren, "cut at 0x%lX: %u root children, expected %u", item.cut,
           count, item.rootChildren);
        // Past the end of what is left: nothing to read.
        ok(SdbGetTagFromTagID(pdb, item.cut) == 0 &&
               SdbGetTagDataSize(pdb, 0xF0) == (item.cut >= 0x186 ? 0x90u : 0u),
           "cut at 0x%lX: reads past the end", item.cut);
        // Without its string table the database has no texts for its references.
        LPCWSTR name = SdbGetStringTagPtr(pdb, 0x106);
        ok(name == nullptr, "cut at 0x%lX: reference gave %ls", item.cut, Show(name));
        WalkDatabase(pdb, item.cut >= 0x186 ? 0x186 : (item.cut >= 0xF0 ? 0xF0 : 12));
        SdbCloseDatabase(pdb);
    }
}

// The library reads a private copy: the file may be written, shortened and deleted meanwhile.
static void TestPrivateCopy()
{
    static BYTE bytes[MAX_FILE];
    wchar_t path[PATH_CHARS];
    WriteTemp(L"copy.sdb", bytes, ReadBytes(L"AtomicShimx86.sdb", bytes), path);
    HANDLE writer =
        CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    ok(writer != INVALID_HANDLE_VALUE, "CreateFileW failed with %lu", GetLastError());
    PDB pdb = SdbOpenDatabase(path, DOS_PATH);
    ok(pdb != nullptr, "open beside a writer failed with %lu", GetLastError());
    SetFilePointer(writer, 0x20, nullptr, FILE_BEGIN);
    SetEndOfFile(writer);
    CloseHandle(writer);
    ok(DeleteFileW(path), "DeleteFileW failed with %lu", GetLastError());
    if (pdb != nullptr)
    {
        ok(SameText(SdbGetStringTagPtr(pdb, 0x180), L"C:\\Tools\\AtomicTest.dll"),
           "text after the file was cut: %ls", Show(SdbGetStringTagPtr(pdb, 0x180)));
        SdbCloseDatabase(pdb);
    }
}

static PDB OpenCrafted(const wchar_t* name)
{
    wchar_t path[PATH_CHARS];
    PDB pdb = SdbOpenDatabase(TestData(name, path), DOS_PATH);
    ok(pdb != nullptr, "%ls: SdbOpenDatabase failed with %lu", name, GetLastError());
    return pdb;
}

// True when the children of parent are exactly the expected ones (a list ending in 0).
static bool HasChildren(PDB pdb, TAGID parent, const TAGID* expected)
{
    TAGID child = SdbGetFirstChild(pdb, parent);
    for (; *expected != TAGID_NULL; expected++)
    {
        if (child != *expected)
        {
            return false;
        }
        child = SdbGetNextChild(pdb, parent, child);
    }
    return child == TAGID_NULL;
}

static void TestCrafted()
{
    PDB pdb = OpenCrafted(L"standin_header_only.sdb");
    ok(pdb != nullptr && SdbGetFirstChild(pdb, TAGID_ROOT) == 0, "header only: a child");
    SdbCloseDatabase(pdb);

    if ((pdb = OpenCrafted(L"standin_layout.sdb")) != nullptr)
    {
        static const TAGID expected[] = {0x12, 0x14, 0x16, 0x18, 0x1E, 0x22,
                                         0x2C, 0x38, 0x3E, 0x44, 0x56, 0};
        ok(HasChildren(pdb, 0xC, expected), "children of DATABASE");
        ok(SdbGetTagFromTagID(pdb, 0x12) == 0 && SdbGetTagFromTagID(pdb, 0x14) == 0xA000 &&
               SdbGetTagFromTagID(pdb, 0x16) == 0xF0FF && SdbGetTagDataSize(pdb, 0x14) == 0,
           "undefined types");
        const BYTE* data = (const BYTE*)SdbGetBinaryTagData(pdb, 0x22);
        ok(SdbGetTagDataSize(pdb, 0x22) == 3 && data != nullptr && data[0] == 1 && data[2] == 3,
           "odd BINARY");
        ok(SameText(SdbGetStringTagPtr(pdb, 0x2C), L"Hi"), "STRING %ls",
           Show(SdbGetStringTagPtr(pdb, 0x2C)));
        static const TAGID none[] = {0}, library[] = {0x4A, 0}, shim[] = {0x50, 0};
        ok(HasChildren(pdb, 0x38, none) && HasChildren(pdb, 0x44, library) &&
               HasChildren(pdb, 0x4A, shim),
           "nested lists");
        ok(SdbReadDWORDTag(pdb, 0x50, 0) == 9 &&
               SdbReadQWORDTag(pdb, 0x56, 0) == 0x0123456789ABCDEFull,
           "values after the pads");
        WalkDatabase(pdb, 0x60);
        SdbCloseDatabase(pdb);
    }
    if ((pdb = OpenCrafted(L"standin_no_string_table.sdb")) != nullptr)
    {
        ok(SdbGetStringTagPtr(pdb, 0x12) == nullptr && SdbGetStringTagPtr(pdb, 0x18) == nullptr,
           "references resolved without a string table");
        ok(SameText(SdbGetStringTagPtr(pdb, 0x1E), L"inline"), "inline STRING %ls",
           Show(SdbGetStringTagPtr(pdb, 0x1E)));
        SdbCloseDatabase(pdb);
    }
    if ((pdb = OpenCrafted(L"standin_size_past_end.sdb")) != nullptr)
    {
        static const TAGID first[] = {0x12, 0};
        ok(HasChildren(pdb, 0xC, first), "children past a damaged size");
        ok(SdbGetTagFromTagID(pdb, 0x18) == 0x9003 && SdbGetTagDataSize(pdb, 0x18) == 0 &&
               SdbGetBinaryTagData(pdb, 0x18) == nullptr,
           "damaged BINARY gives size %lu", SdbGetTagDataSize(pdb, 0x18));
        SdbCloseDatabase(pdb);
    }
    // Lists each sized to hold only the head of the next: none lies inside the one before it,
    // so each is a child of the root, every other one, and none has a child.
    if ((pdb = OpenCrafted(L"hardening_overrun.sdb")) != nullptr)
    {
        unsigned count = 0;
        for (TAGID child = SdbGetFirstChild(pdb, TAGID_ROOT); child != TAGID_NULL;
             child = SdbGetNextChild(pdb, TAGID_ROOT, child))
        {
            ok(child == 12 + 12 * count && SdbGetFirstChild(pdb, child) == TAGID_NULL,
               "root child %u at 0x%lX with child 0x%lX", count, child,
               SdbGetFirstChild(pdb, child));
            count++;
        }
        ok(count == 32, "%u root children, expected 32", count);
        SdbCloseDatabase(pdb);
    }
    if ((pdb = OpenCrafted(L"standin_wrapped_size.sdb")) != nullptr)
    {
        static const TAGID root[] = {0xC, 0}, first[] = {0x12, 0};
        ok(HasChildren(pdb, TAGID_ROOT, root), "root children past a wrap");
        ok(HasChildren(pdb, 0xC, first), "DATABASE children past a wrap");
        ok(SdbGetTagDataSize(pdb, 0x18) == 0 && SdbGetBinaryTagData(pdb, 0x18) == nullptr &&
               SdbGetFirstChild(pdb, 0x20) == 0,
           "wrapped sizes read");
        SdbCloseDatabase(pdb);
    }
    if ((pdb = OpenCrafted(L"standin_bad_reference.sdb")) != nullptr)
    {
        ok(SameText(SdbGetStringTagPtr(pdb, 0x12), L"good"), "good reference: %ls",
           Show(SdbGetStringTagPtr(pdb, 0x12)));
        ok(SdbGetStringTagPtr(pdb, 0x18) == nullptr && SdbGetStringTagPtr(pdb, 0x1E) == nullptr &&
               SdbGetStringTagPtr(pdb, 0x24) == nullptr,
           "references outside the file resolved");
        SdbCloseDatabase(pdb);
    }
    // Found by fuzzing: the text of an empty STRING ending the file lies in the zero tail.
    if ((pdb = OpenCrafted(L"standin_empty_string_at_end.sdb")) != nullptr)
    {
        static const TAGID root[] = {0xC, 0xFBA, 0};
        ok(HasChildren(pdb, TAGID_ROOT, root), "children of the root");
        ok(SdbGetTagDataSize(pdb, 0xFBA) == 0 && SameText(SdbGetStringTagPtr(pdb, 0xFBA), L""),
           "empty STRING at the end: %ls", Show(SdbGetStringTagPtr(pdb, 0xFBA)));
        SdbCloseDatabase(pdb);
    }
    if ((pdb = OpenCrafted(L"standin_deep.sdb")) != nullptr)
    {
        unsigned depth = 0;
        TAGID item = SdbGetFirstChild(pdb, TAGID_ROOT);
        while (SdbGetTagFromTagID(pdb, item) == 0x7002)
        {
            item = SdbGetFirstChild(pdb, item);
            depth++;
        }
        ok(depth == 5000 && item == 12 + 5000 * 6 &&
               SameText(SdbGetStringTagPtr(pdb, item), L"deep"),
           "innermost item 0x%lX at depth %u", item, depth);
        SdbCloseDatabase(pdb);
    }
}

// What the open's check says of an image: its damage, and the bytes of copies its texts need.
struct CHECKED
{
    bool opened;
    SDB_DAMAGE damage;
    uint64_t copyBytes;
};

// Checks an image as the stand-in's open does, in buffers of exactly the room it asks for.
static CHECKED CheckImage(const BYTE* bytes, DWORD size)
{
    CHECKED result = {};
    BYTE* image = (BYTE*)calloc(size + SDB_IMAGE_ZERO_TAIL, 1);
    uint8_t* members = (uint8_t*)malloc(SdbCoreMembersRoom(size));
    uint8_t* work = (uint8_t*)malloc(SdbCoreScanRoom(size));
    memcpy(image, bytes, size);
    SDB_IMAGE description;
    result.opened = SdbCoreOpenImage(&description, image, size, members);
    if (result.opened)
    {
        result.copyBytes = SdbCoreScan(&description, work, nullptr, 0, &result.damage);
    }
    free(work);
    free(members);
    free(image);
    return result;
}

static bool SameDamage(const SDB_DAMAGE& got, const SDB_DAMAGE& expected)
{
    return got.what == expected.what && got.cutShort == expected.cutShort &&
           got.tagid == expected.tagid && got.missing == expected.missing &&
           got.end == expected.end;
}

#define DAMAGE_FORMAT "what %u cut short %d at 0x%X missing %llu end 0x%X"
#define DAMAGE_ARGS(d) (d).what, (d).cutShort, (d).tagid, (unsigned long long)(d).missing, (d).end

// Cuts and damages of a real database and of a written one, each with its first damage.
// AtomicShimx86.sdb (0x272 bytes): INDEXES 0xC with INDEX 0x12 (ending at 0x38, its INDEX_BITS
// at 0x26), DATABASE 0xF0 with references at 0x100 (6) and 0x106 (28), STRINGTABLE 0x186 with
// items at 0x18C and 0x1A2. standin_odd_end.sdb (0x44 bytes): DATABASE 0xC (ending at 0x1E, a
// BYTE at 0x18, a tag of no type at 0x1C), STRINGTABLE 0x1E, 3 bytes of FILE_BITS at 0x3A.
static void TestCheck()
{
    static const wchar_t Atomic[] = L"AtomicShimx86.sdb";
    static const wchar_t OddEnd[] = L"standin_odd_end.sdb";
    static const struct
    {
        const wchar_t* name;
        DWORD cut;     // bytes kept; 0 keeps them all
        DWORD patchAt; // where patch is written as a DWORD; 0 writes none
        DWORD patch;
        DWORD tailSize; // bytes of tail appended
        const char* tail;
        uint32_t what; // the damage expected
        uint32_t tagid;
        uint64_t missing;
        uint32_t end;
    } cases[] = {
        {Atomic, 0, 0, 0, 0, "", SDB_DAMAGE_NONE, 0, 0, 0},
        // Cut inside the string table's tag, its size field, the tag of its first item, its
        // data, one byte short; at the end of DATABASE (the references then name nothing) and
        // at the end of the indexes.
        {Atomic, 0x187, 0, 0, 0, "", SDB_DAMAGE_TAG_PAST_FILE_END, 0x186, 1, 0x187},
        {Atomic, 0x189, 0, 0, 0, "", SDB_DAMAGE_TAG_PAST_FILE_END, 0x186, 3, 0x189},
        {Atomic, 0x18D, 0, 0, 0, "", SDB_DAMAGE_DATA_PAST_FILE_END, 0x186, 229, 0x18D},
        {Atomic, 0x200, 0, 0, 0, "", SDB_DAMAGE_DATA_PAST_FILE_END, 0x186, 114, 0x200},
        {Atomic, 0x271, 0, 0, 0, "", SDB_DAMAGE_DATA_PAST_FILE_END, 0x186, 1, 0x271},
        {Atomic, 0x186, 0, 0, 0, "", SDB_DAMAGE_STRINGREF_OUTSIDE, 0x100, 6, 0},
        {Atomic, 0xF0, 0, 0, 0, "", SDB_DAMAGE_NONE, 0, 0, 0},
        // Trailing bytes: one, two zeros, a list's tag without its size, a NULL tag.
        {Atomic, 0, 0, 0, 1, "\0", SDB_DAMAGE_TAG_PAST_FILE_END, 0x272, 1, 0x273},
        {Atomic, 0, 0, 0, 2, "\0\0", SDB_DAMAGE_BYTES_AFTER_TAGS, 0x272, 2, 0x274},
        {Atomic, 0, 0, 0, 2, "\x01\x70", SDB_DAMAGE_TAG_PAST_FILE_END, 0x272, 4, 0x274},
        {Atomic, 0, 0, 0, 2, "\x01\x10", SDB_DAMAGE_NONE, 0, 0, 0},
        // References past the table and into the middle of its second item, at an even and an
        // odd offset; no table at all (its tag made another list's); a cut outranks the damaged
        // reference before it.
        {Atomic, 0, 0x108, 0x1000, 0, "", SDB_DAMAGE_STRINGREF_OUTSIDE, 0x106, 0x1000, 0x272},
        {Atomic, 0, 0x108, 30, 0, "", SDB_DAMAGE_STRINGREF_OUTSIDE, 0x106, 30, 0x272},
        {Atomic, 0, 0x108, 29, 0, "", SDB_DAMAGE_STRINGREF_OUTSIDE, 0x106, 29, 0x272},
        {Atomic, 0, 0x186, 0x00E67802, 0, "", SDB_DAMAGE_STRINGREF_OUTSIDE, 0x100, 6, 0},
        {Atomic, 0x200, 0x108, 30, 0, "", SDB_DAMAGE_DATA_PAST_FILE_END, 0x186, 114, 0x200},
        // A reference of 0 names no text: no damage, with a table or without.
        {Atomic, 0, 0x108, 0, 0, "", SDB_DAMAGE_NONE, 0, 0, 0},
        // Sizes that run past the list (data, a whole list) and past the file.
        {Atomic, 0, 0x28, 13, 0, "", SDB_DAMAGE_TAG_PAST_LIST_END, 0x26, 1, 0x38},
        {Atomic, 0, 0x14, 0x1000, 0, "", SDB_DAMAGE_TAG_PAST_LIST_END, 0x12, 0xF28, 0xF0},
        {Atomic, 0, 0xF2, 0x200, 0, "", SDB_DAMAGE_DATA_PAST_FILE_END, 0xF0, 0x84, 0x272},
        // Odd-size data at the end: its pad byte may be missing, not its data.
        {OddEnd, 0, 0, 0, 0, "", SDB_DAMAGE_NONE, 0, 0, 0},
        {OddEnd, 0x43, 0, 0, 0, "", SDB_DAMAGE_NONE, 0, 0, 0},
        {OddEnd, 0x42, 0, 0, 0, "", SDB_DAMAGE_DATA_PAST_FILE_END, 0x3A, 1, 0x42},
        {OddEnd, 0, 0, 0, 1, "\0", SDB_DAMAGE_TAG_PAST_FILE_END, 0x44, 1, 0x45},
        // DATABASE one byte short: one byte of its last tag lies inside it.
        {OddEnd, 0, 0xE, 11, 0, "", SDB_DAMAGE_TAG_PAST_LIST_END, 0x1C, 1, 0x1D},
    };
    static BYTE bytes[MAX_FILE];
    for (const auto& item : cases)
    {
        DWORD size = ReadBytes(item.name, bytes);
        if (item.cut != 0)
        {
            size = item.cut;
        }
        if (item.patchAt != 0)
        {
            memcpy(bytes + item.patchAt, &item.patch, 4);
        }
        memcpy(bytes + size, item.tail, item.tailSize);
        bool cutShort =
            item.what == SDB_DAMAGE_TAG_PAST_FILE_END || item.what == SDB_DAMAGE_DATA_PAST_FILE_END;
        SDB_DAMAGE expected = {item.what, cutShort, item.tagid, item.missing, item.end};
        CHECKED checked = CheckImage(bytes, size + item.tailSize);
        ok(checked.opened && SameDamage(checked.damage, expected),
           "%ls cut at 0x%lX, 0x%lX at 0x%lX, %lu more bytes: " DAMAGE_FORMAT
           ", expected " DAMAGE_FORMAT,
           item.name, item.cut, item.patch, item.patchAt, item.tailSize,
           DAMAGE_ARGS(checked.damage), DAMAGE_ARGS(expected));
    }
}

// Every test database is whole but those damaged on purpose; no real one needs a copy of a text.
static void TestWholeDatabases()
{
    static const struct
    {
        const wchar_t* name;
        SDB_DAMAGE damage;
    } damaged[] = {
        {L"hardening_overrun.sdb", {SDB_DAMAGE_TAG_PAST_LIST_END, false, 0x12, 6, 0x18}},
        // A file of its header alone: the first tag is missing.
        {L"standin_header_only.sdb", {SDB_DAMAGE_TAG_PAST_FILE_END, true, 0xC, 2, 0xC}},
        {L"standin_bad_reference.sdb",
         {SDB_DAMAGE_STRINGREF_OUTSIDE, false, 0x18, 0xFFFFFFF0, 0x40}},
        {L"standin_bounded_texts.sdb", {SDB_DAMAGE_STRINGREF_OUTSIDE, false, 0x74, 0x3E, 0x50}},
        {L"standin_no_string_table.sdb", {SDB_DAMAGE_STRINGREF_OUTSIDE, false, 0x12, 6, 0}},
        {L"standin_size_past_end.sdb", {SDB_DAMAGE_TAG_PAST_LIST_END, false, 0x18, 248, 0x26}},
        {L"standin_wrapped_size.sdb",
         {SDB_DAMAGE_TAG_PAST_LIST_END, false, 0x18, 0xFFFFFFE8, 0x20}},
    };
    static const wchar_t* real[] = {L"AtomicShimx86.sdb", L"T1546.011CompatDatabase.sdb",
                                    L"all_tagtypes.sdb", L"app_x32.sdb", L"app_x64.sdb"};
    wchar_t pattern[PATH_CHARS];
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(TestData(L"*.sdb", pattern), &found);
    ok(search != INVALID_HANDLE_VALUE, "no databases in %ls", pattern);
    unsigned seen = 0, seenDamaged = 0;
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found))
    {
        wchar_t path[PATH_CHARS];
        HANDLE file = CreateFileW(TestData(found.cFileName, path), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD size = GetFileSize(file, nullptr);
        BYTE* bytes = (BYTE*)malloc(size + 1);
        DWORD got = 0;
        ok(ReadFile(file, bytes, size, &got, nullptr) && got == size, "reading %ls failed", path);
        CloseHandle(file);
        CHECKED checked = CheckImage(bytes, got);
        free(bytes);
        SDB_DAMAGE expected = {SDB_DAMAGE_NONE, false, 0, 0, 0};
        for (const auto& item : damaged)
        {
            if (wcscmp(item.name, found.cFileName) == 0)
            {
                expected = item.damage;
                seenDamaged++;
            }
        }
        bool isReal = false;
        for (const wchar_t* name : real)
        {
            isReal = isReal || wcscmp(name, found.cFileName) == 0;
        }
        ok(checked.opened && SameDamage(checked.damage, expected) &&
               (!isReal || checked.copyBytes == 0),
           "%ls: " DAMAGE_FORMAT ", %llu bytes of copies; expected " DAMAGE_FORMAT, path,
           DAMAGE_ARGS(checked.damage), (unsigned long long)checked.copyBytes,
           DAMAGE_ARGS(expected));
        seen++;
    }
    FindClose(search);
    ok(seen >= 15 && seenDamaged == sizeof(damaged) / sizeof(damaged[0]),
       "%u databases, %u of the damaged ones", seen, seenDamaged);
}

static void HexDigest(const BYTE* bytes, size_t size, char* text)
{
    uint8_t digest[SDB_SHA256_SIZE];
    SdbSha256(bytes, size, digest);
    for (unsigned index = 0; index < SDB_SHA256_SIZE; index++)
    {
        sprintf(text + 2 * index, "%02x", digest[index]);
    }
}

// The standard's examples, and the real databases against the sums published with them.
static void TestSha256()
{
    static const struct
    {
        const char* text;
        const char* digest;
    } vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    char text[2 * SDB_SHA256_SIZE + 1];
    for (const auto& item : vectors)
    {
        HexDigest((const BYTE*)item.text, strlen(item.text), text);
        ok(strcmp(text, item.digest) == 0, "SHA-256 of \"%s\": %s", item.text, text);
    }
    BYTE* million = (BYTE*)malloc(1000000);
    memset(million, 'a', 1000000);
    HexDigest(million, 1000000, text);
    ok(strcmp(text, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0") == 0,
       "SHA-256 of a million 'a': %s", text);
    // Taken in pieces that begin, fill and pass blocks, the same bytes give the same digest.
    static const size_t pieces[] = {1, 62, 1, 64, 65, 127, 1000, 0, 3};
    SDB_SHA256 state;
    SdbSha256Begin(&state);
    size_t taken = 0;
    for (size_t piece : pieces)
    {
        SdbSha256Add(&state, million + taken, piece);
        taken += piece;
    }
    SdbSha256Add(&state, million + taken, 1000000 - taken);
    uint8_t digest[SDB_SHA256_SIZE];
    SdbSha256End(&state, digest);
    uint8_t whole[SDB_SHA256_SIZE];
    SdbSha256(million, 1000000, whole);
    ok(memcmp(digest, whole, sizeof(whole)) == 0, "SHA-256 in pieces differs from the whole's");
    free(million);
    FILE* sums = fopen(SHIMLIST_REALDB_SUMS, "r");
    ok(sums != nullptr, "cannot open %s", SHIMLIST_REALDB_SUMS);
    char line[256];
    int checked = 0;
    while (sums != nullptr && fgets(line, sizeof(line), sums) != nullptr)
    {
        char digest[80];
        char name[128];
        if (sscanf(line, "%79s %127s", digest, name) != 2)
        {
            continue;
        }
        wchar_t wide[128];
        mbstowcs(wide, name, 128);
        static BYTE bytes[MAX_FILE];
        HexDigest(bytes, ReadBytes(wide, bytes), text);
        ok(strcmp(text, digest) == 0, "%s: SHA-256 %s, expected %s", name, text, digest);
        checked++;
    }
    if (sums != nullptr)
    {
        fclose(sums);
    }
    ok(checked == 5, "%d sums checked, expected 5", checked);
}

// standin_bounded_texts.sdb: texts end inside their items or are copies of all their
// characters; references that name no STRING item of the table have none.
static void TestBoundedTexts()
{
    PDB pdb = OpenCrafted(L"standin_bounded_texts.sdb");
    if (pdb == nullptr)
    {
        return;
    }
    static const struct
    {
        TAGID tagid;
        const wchar_t* text;
    } texts[] = {
        {0x12, L"plain"}, {0x24, L"AB"},   {0x2E, L"C"},    {0x38, L"E"},    {0x44, L""},
        {0x56, L"plain"}, {0x5C, L"AB"},   {0x62, L"C"},    {0x68, L"E"},    {0x6E, L""},
        {0x74, nullptr},  {0x7A, nullptr}, {0x80, nullptr}, {0x86, nullptr}, {0x8C, L"IJ"},
    };
    for (const auto& item : texts)
    {
        LPCWSTR text = SdbGetStringTagPtr(pdb, item.tagid);
        ok(item.text != nullptr ? SameText(text, item.text) : text == nullptr,
           "0x%lX: text %ls, expected %ls", item.tagid, Show(text), Show(item.text));
    }
    // "plain" lies in the copy of the file, at its item's data; the copies lie outside it.
    const BYTE* base = (const BYTE*)SdbGetStringTagPtr(pdb, 0x12) - 0x18;
    const BYTE* copy = (const BYTE*)SdbGetStringTagPtr(pdb, 0x24);
    ok(copy == (const BYTE*)SdbGetStringTagPtr(pdb, 0x5C) && (copy < base || copy >= base + 0x96),
       "the copy of 0x24 at %p, the file at %p", copy, base);
    MEMORY_BASIC_INFORMATION info = {};
    VirtualQuery(copy, &info, sizeof(info));
    ok(info.Protect == PAGE_READONLY, "copies' protection 0x%lX, expected PAGE_READONLY",
       info.Protect);
    SdbCloseDatabase(pdb);
}

int main()
{
    TestRealDatabases();
    TestAtomicShim();
    TestAllTagTypes();
    TestNames();
    TestGuidText();
    TestOpenFailures();
    TestTruncated();
    TestPrivateCopy();
    TestCrafted();
    TestCheck();
    TestWholeDatabases();
    TestSha256();
    TestBoundedTexts();
    return CheckSummary();
}
