// Decoding of the patch records that the data of a PATCH_BITS tag holds.
#include "listing/Renderings.h"
#include "listing/Tables.h"
#include "output/Writers.h"

// Record layout: action, size, pattern length, RVA and an unexplained DWORD, a 64-byte module
// name field, then the pattern. The size steps to the next record.
#define PATCH_ACTION_OFFSET 0
#define PATCH_SIZE_OFFSET 4
#define PATCH_LENGTH_OFFSET 8
#define PATCH_RVA_OFFSET 12
#define PATCH_UNKNOWN_OFFSET 16
#define PATCH_MODULE_OFFSET 20
#define PATCH_MODULE_CHARS 32
#define PATCH_HEADER_SIZE 84
// An action and a size of 0 end the records; the pair is all that must be there.
#define PATCH_END_SIZE 8

#define PATCH_ACTION_REPLACE 2
#define PATCH_ACTION_MATCH 4

// Records lie at any offset in the data, so their fields are assembled byte by byte.
static DWORD ReadDword(const BYTE* bytes)
{
    return (DWORD)bytes[0] | ((DWORD)bytes[1] << 8) | ((DWORD)bytes[2] << 16) |
           ((DWORD)bytes[3] << 24);
}

static BOOL WritePatchRecord(HANDLE file, const BYTE* record, DWORD action, LPCWSTR indent,
                             TEXT_REPLACEMENTS* replaced)
{
    // The module field need not end in a zero: at most 32 characters are taken, so that
    // nothing beyond the field is read.
    WCHAR module[PATCH_MODULE_CHARS];
    DWORD count = 0;
    while (count < PATCH_MODULE_CHARS)
    {
        const BYTE* character = record + PATCH_MODULE_OFFSET + 2 * count;
        module[count] = (WCHAR)(character[0] | (character[1] << 8));
        if (module[count] == L'\0')
        {
            break;
        }
        count++;
    }

    DWORD length = ReadDword(record + PATCH_LENGTH_OFFSET);
    BOOL written = FilePrintf(file, L"%ls Action  = %lu (%ls)\r\n%ls Module  = ", indent, action,
                              action == PATCH_ACTION_REPLACE ? L"REPLACE" : L"MATCH", indent);
    written &= FileWriteText(file, module, count, replaced);
    written &=
        FilePrintf(file, L"\r\n%ls RVA     = 0x%08lX\r\n%ls Length  = %lu\r\n%ls Pattern = 0x",
                   indent, ReadDword(record + PATCH_RVA_OFFSET), indent, length, indent);
    written &= WriteHexPairs(file, record + PATCH_HEADER_SIZE, length);
    written &= FilePrintf(file, L"\r\n%ls Unknown = 0x%08lX\r\n", indent,
                          ReadDword(record + PATCH_UNKNOWN_OFFSET));
    return written;
}

// Why the record at record, with remaining bytes left in the data, cannot be decoded; NULL when
// it can. The end record has been dealt with before.
static LPCWSTR PatchRecordFault(const BYTE* record, DWORD remaining)
{
    DWORD size = ReadDword(record + PATCH_SIZE_OFFSET);
    if (size == 0)
    {
        return L"its size is 0";
    }
    if (remaining < PATCH_HEADER_SIZE)
    {
        return L"fewer bytes are left than a record header takes";
    }
    if (size < PATCH_HEADER_SIZE)
    {
        return L"its size is smaller than a record header";
    }
    if (size > remaining)
    {
        return L"its size reaches beyond the data";
    }
    if (ReadDword(record + PATCH_LENGTH_OFFSET) > size - PATCH_HEADER_SIZE)
    {
        return L"its pattern reaches beyond the record";
    }
    return NULL;
}

BOOL DumpPatchRecords(HANDLE console, HANDLE file, TAGID tagid, const BYTE* data, DWORD size,
                      DWORD level, TEXT_REPLACEMENTS* replaced)
{
    // Records stand two tabs deeper than the tag's line.
    LPCWSTR indent = IndentOf(level, 2);
    BOOL written = FileWriteChars(file, L":\r\n", 3);

    // The data comes from the file as it is: every record is checked against what is left
    // before any field of it is read, and decoding stops at the first that does not fit.
    DWORD offset = 0;
    LPCWSTR fault = NULL;
    while (offset < size)
    {
        const BYTE* record = data + offset;
        DWORD remaining = size - offset;
        if (remaining < PATCH_END_SIZE)
        {
            fault = L"fewer bytes are left than an action and a size take";
            break;
        }
        DWORD action = ReadDword(record + PATCH_ACTION_OFFSET);
        if (action == 0 && ReadDword(record + PATCH_SIZE_OFFSET) == 0)
        {
            break;
        }
        fault = PatchRecordFault(record, remaining);
        if (fault != NULL)
        {
            break;
        }
        if (action == PATCH_ACTION_REPLACE || action == PATCH_ACTION_MATCH)
        {
            written &= WritePatchRecord(file, record, action, indent, replaced);
        }
        offset += ReadDword(record + PATCH_SIZE_OFFSET);
    }

    if (fault != NULL)
    {
        ConsolePrintf(console,
                      L"Patch record at offset %lu of the data of TAGID 0x%08lX cannot be decoded: "
                      L"%ls; the rest is shown undecoded\n",
                      offset, tagid, fault);
        written &= FilePrintf(file, L"%ls Rest    = 0x", indent);
        written &= WriteHexPairs(file, data + offset, size - offset);
        written &= FileWriteChars(file, L"\r\n", 2);
    }
    return written;
}
