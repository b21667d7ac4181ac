// Cost per tag of each piece of work shimlist does between its writes, measured without writing.
//
// Usage: shimlist_walkcost DATABASE [REPEATS]
// Walks the whole database through apphelp.dll several times, each time doing a little more of
// what the listing does for every tag, and prints the best time per tag of each stage:
//   walk     SdbGetFirstChild / SdbGetNextChild / SdbGetTagFromTagID, recursing into lists
//   name     + SdbTagToString
//   value    + the value reads by type (WORD/DWORD/QWORD, string pointer, byte data and size)
//   format   + the line head and the numeric values formatted by wvsprintfW (not written)
// and the cost of opening and closing the database (the stand-in copies the file).
// The differences between stages are the costs of the lookups, the name table and the
// formatter; the WriteFile calls that the listing adds are what the floor program measures.
#include <windows.h>
#include <shellapi.h>

#include "sdb/Sdb.h"

enum
{
    STAGE_WALK,
    STAGE_NAME,
    STAGE_VALUE,
    STAGE_FORMAT,
    STAGE_COUNT
};

static const char* const StageNames[STAGE_COUNT] = {"walk", "name", "value", "format"};

// What one walk found; the checksum keeps the compiler from dropping the reads.
typedef struct _WALK_RESULT
{
    DWORD tags;
    ULONGLONG checksum;
} WALK_RESULT;

static void Walk(PDB pdb, TAGID parent, int stage, WALK_RESULT* result)
{
    for (TAGID child = SdbGetFirstChild(pdb, parent); child != TAGID_NULL;
         child = SdbGetNextChild(pdb, parent, child))
    {
        TAG tag = SdbGetTagFromTagID(pdb, child);
        result->tags++;
        result->checksum += tag;
        WCHAR line[1026];
        if (stage >= STAGE_NAME)
        {
            LPCWSTR name = SdbTagToString(tag);
            result->checksum += name[0];
        }
        if (stage >= STAGE_FORMAT)
        {
            result->checksum += wsprintfW(line, L"0x%08lX%ls0x%04hX = ", child, L"\t\t", tag);
        }
        ULONGLONG value = 0;
        if (stage >= STAGE_VALUE)
        {
            switch (tag & TAG_TYPE_MASK)
            {
                case TAG_TYPE_WORD:
                    value = SdbReadWORDTag(pdb, child, 0xFFFF);
                    break;
                case TAG_TYPE_DWORD:
                    value = SdbReadDWORDTag(pdb, child, 0xFFFFFFFF);
                    break;
                case TAG_TYPE_QWORD:
                    value = SdbReadQWORDTag(pdb, child, ~0ULL);
                    break;
                case TAG_TYPE_STRINGREF:
                case TAG_TYPE_STRING:
                {
                    LPCWSTR text = SdbGetStringTagPtr(pdb, child);
                    value = text != NULL ? text[0] : 0;
                    break;
                }
                case TAG_TYPE_BYTE:
                case TAG_TYPE_BINARY:
                {
                    const BYTE* data = (const BYTE*)SdbGetBinaryTagData(pdb, child);
                    DWORD size = SdbGetTagDataSize(pdb, child);
                    value = size != 0 && data != NULL ? data[0] + size : 0;
                    break;
                }
            }
            result->checksum += value;
        }
        if (stage >= STAGE_FORMAT)
        {
            switch (tag & TAG_TYPE_MASK)
            {
                case TAG_TYPE_WORD:
                    result->checksum += wsprintfW(line, L": 0x%04hX\r\n", (WORD)value);
                    break;
                case TAG_TYPE_DWORD:
                    result->checksum += wsprintfW(line, L": 0x%08lX\r\n", (DWORD)value);
                    break;
                case TAG_TYPE_QWORD:
                    result->checksum += wsprintfW(line, L": 0x%016I64X\r\n", value);
                    break;
            }
        }
        if ((tag & TAG_TYPE_MASK) == TAG_TYPE_LIST)
        {
            Walk(pdb, child, stage, result);
        }
    }
}

static void Print(HANDLE output, const char* format, ...)
{
    char text[1025];
    va_list values;
    va_start(values, format);
    int length = wvsprintfA(text, format, values);
    va_end(values);
    DWORD written;
    if (length > 0)
    {
        WriteFile(output, text, (DWORD)length, &written, NULL);
    }
}

// Nanoseconds per item, in tenths, from performance-counter ticks; negative when a later stage
// happened to run faster than an earlier one (the figures are then within the noise).
static LONGLONG TenthsOfNs(LONGLONG ticks, LONGLONG frequency, DWORD items)
{
    return ticks * 10000000000LL / frequency / (items != 0 ? items : 1);
}

// The sign, the whole nanoseconds and the tenth of a figure from TenthsOfNs.
static void SplitTenths(LONGLONG tenths, const char** sign, DWORD* whole, DWORD* tenth)
{
    *sign = tenths < 0 ? "-" : "";
    ULONGLONG magnitude = (ULONGLONG)(tenths < 0 ? -tenths : tenths);
    *whole = (DWORD)(magnitude / 10);
    *tenth = (DWORD)(magnitude % 10);
}

static DWORD Measure(HANDLE output, LPCWSTR path, DWORD repeats)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    LONGLONG best[STAGE_COUNT + 1];
    WALK_RESULT result = {0, 0};
    for (int stage = 0; stage <= STAGE_COUNT; stage++)
    {
        best[stage] = 0x7FFFFFFFFFFFFFFFLL;
    }
    for (DWORD repeat = 0; repeat < repeats; repeat++)
    {
        LARGE_INTEGER start;
        LARGE_INTEGER end;
        QueryPerformanceCounter(&start);
        PDB pdb = SdbOpenDatabase(path, DOS_PATH);
        if (pdb == NULL)
        {
            Print(output, "SdbOpenDatabase failed, error %lu\n", GetLastError());
            return 1;
        }
        SdbCloseDatabase(pdb);
        QueryPerformanceCounter(&end);
        if (end.QuadPart - start.QuadPart < best[STAGE_COUNT])
        {
            best[STAGE_COUNT] = end.QuadPart - start.QuadPart;
        }
        pdb = SdbOpenDatabase(path, DOS_PATH);
        if (pdb == NULL)
        {
            Print(output, "SdbOpenDatabase failed, error %lu\n", GetLastError());
            return 1;
        }
        for (int stage = 0; stage < STAGE_COUNT; stage++)
        {
            result.tags = 0;
            QueryPerformanceCounter(&start);
            Walk(pdb, TAGID_ROOT, stage, &result);
            QueryPerformanceCounter(&end);
            if (end.QuadPart - start.QuadPart < best[stage])
            {
                best[stage] = end.QuadPart - start.QuadPart;
            }
        }
        SdbCloseDatabase(pdb);
    }
    Print(output, "tags %lu, best of %lu walks (checksum %lu)\n", result.tags, repeats,
          (DWORD)result.checksum);
    LONGLONG previous = 0;
    for (int stage = 0; stage < STAGE_COUNT; stage++)
    {
        const char* totalSign;
        const char* addedSign;
        DWORD total;
        DWORD totalTenth;
        DWORD added;
        DWORD addedTenth;
        SplitTenths(TenthsOfNs(best[stage], frequency.QuadPart, result.tags), &totalSign, &total,
                    &totalTenth);
        SplitTenths(TenthsOfNs(best[stage] - previous, frequency.QuadPart, result.tags), &addedSign,
                    &added, &addedTenth);
        Print(output, "%-7s %s%lu.%lu ns/tag in all, %s%lu.%lu ns/tag added\n", StageNames[stage],
              totalSign, total, totalTenth, addedSign, added, addedTenth);
        previous = best[stage];
    }
    const char* openSign;
    DWORD open;
    DWORD openTenth;
    SplitTenths(TenthsOfNs(best[STAGE_COUNT], frequency.QuadPart, 1000000), &openSign, &open,
                &openTenth);
    Print(output, "open and close: %lu.%lu ms\n", open, openTenth);
    return 0;
}

extern "C" void WINAPI EntryPoint(void)
{
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    DWORD exitCode = ERROR_BAD_ARGUMENTS;
    if (arguments == NULL || count < 2 || count > 3)
    {
        Print(output, "usage: shimlist_walkcost DATABASE [REPEATS]\n");
    }
    else
    {
        DWORD repeats = 0;
        for (LPCWSTR digit = count == 3 ? arguments[2] : L"5"; *digit >= L'0' && *digit <= L'9';
             digit++)
        {
            repeats = repeats * 10 + (DWORD)(*digit - L'0');
        }
        exitCode = Measure(output, arguments[1], repeats != 0 ? repeats : 1);
    }
    ExitProcess(exitCode);
}
