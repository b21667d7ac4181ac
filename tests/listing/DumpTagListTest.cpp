// Tests of the tag walk and the renderings over a simulated database and file.
#include "Check.h"
#include "FakeDatabase.h"
#include "FakeWrites.h"
#include "listing/DumpTagList.h"

// Lists the whole fake database. Unless the caller asks for the walk's notes, nothing may be
// left out.
static BOOL Walk(WALK_NOTES* notes = NULL)
{
    ResetWrites();
    WALK_NOTES ownNotes = {};
    BOOL result = DumpTagList(FAKE_CONSOLE, FAKE_FILE, FAKE_PDB, TAGID_ROOT, 0,
                              notes != NULL ? notes : &ownNotes);
    ok(!ownNotes.cutOff, "the walk left out lists of a database that nests them shallowly");
    return result;
}

static void CheckListing(int line, BOOL result, BOOL expectedResult, const WCHAR* expectedFile,
                         const WCHAR* expectedConsole)
{
    ok(result == expectedResult, "line %d: DumpTagList returned %d, expected %d", line, result,
       expectedResult);
    ok(FileIs(expectedFile), "line %d: listing of %lu bytes\n%ls\nexpected\n%ls", line,
       g_writes.fileBytes, FileText(), expectedFile);
    ok(wcscmp(g_writes.console, expectedConsole) == 0, "line %d: console shows\n%ls\nexpected\n%ls",
       line, g_writes.console, expectedConsole);
}

static void TestGenericRenderings(void)
{
    static const BYTE bytes[] = {0x00, 0xAB, 0x10};
    static const BYTE oneByte[] = {0x7F};
    ResetDatabase();
    AddTag(0x0C, TAGID_ROOT, 0x1001);
    AddTag(0x0E, TAGID_ROOT, 0x3001, 0x00AB);
    AddTag(0x12, TAGID_ROOT, 0x3001, 0xFFFF);
    AddTag(0x16, TAGID_ROOT, 0x4001, 5);
    AddTag(0x1C, TAGID_ROOT, 0x4001, 0xFFFFFFFF);
    AddTag(0x22, TAGID_ROOT, 0x5007, 0x0123456789ABCDEFULL);
    AddTag(0x2C, TAGID_ROOT, 0x5007, ~0ULL);
    AddTag(0x36, TAGID_ROOT, 0x5007, 0xFFFFFFFF00000000ULL);
    AddTag(0x38, TAGID_ROOT, 0x5007, 0x00000000FFFFFFFFULL);
    AddText(0x40, TAGID_ROOT, 0x6001, L"notepad.exe");
    AddText(0x46, TAGID_ROOT, 0x8801, L"");
    AddText(0x4C, TAGID_ROOT, 0x6001, NULL);
    AddData(0x50, TAGID_ROOT, 0x9005, bytes, 3);
    AddData(0x58, TAGID_ROOT, 0x9005, bytes, 0);
    AddData(0x5E, TAGID_ROOT, 0x9005, NULL, 4);
    AddData(0x64, TAGID_ROOT, 0x2001, oneByte, 1);
    AddTag(0x68, TAGID_ROOT, 0x7002);
    AddTag(0x6E, TAGID_ROOT, 0x7001);
    AddText(0x74, 0x6E, 0x6001, L"inner");
    AddTag(0x7A, 0x6E, 0x7007);
    AddTag(0x80, 0x7A, 0x1001);
    AddTag(0x82, 0x6E, 0x4001, 0x10);
    AddTag(0x90, TAGID_ROOT, 0x0000);
    AddTag(0x92, TAGID_ROOT, 0xA000);
    AddTag(0x94, TAGID_ROOT, 0xF123);
    AddTag(0x96, TAGID_ROOT, NULL_NAME_TAG);
    AddTag(0x97, TAGID_ROOT, EMPTY_NAME_TAG);
    AddTag(0x98, TAGID_ROOT, 0x4001, 0);
    CheckListing(__LINE__, Walk(), TRUE,
                 L"0x0000000C\t0x1001 = INCLUDE\r\n"
                 L"0x0000000E\t0x3001 = MATCH_MODE: 0x00AB\r\n"
                 L"0x00000012\t0x3001 = MATCH_MODE\r\n"
                 L"0x00000016\t0x4001 = SIZE: 0x00000005\r\n"
                 L"0x0000001C\t0x4001 = SIZE\r\n"
                 L"0x00000022\t0x5007 = DATA_QWORD: 0x0123456789ABCDEF\r\n"
                 L"0x0000002C\t0x5007 = DATA_QWORD\r\n"
                 L"0x00000036\t0x5007 = DATA_QWORD: 0xFFFFFFFF00000000\r\n"
                 L"0x00000038\t0x5007 = DATA_QWORD: 0x00000000FFFFFFFF\r\n"
                 L"0x00000040\t0x6001 = NAME: notepad.exe\r\n"
                 L"0x00000046\t0x8801 = STRINGTABLE_ITEM: \r\n"
                 L"0x0000004C\t0x6001 = NAME\r\n"
                 L"0x00000050\t0x9005 = DATA_BITS: 0x00AB10\r\n"
                 L"0x00000058\t0x9005 = DATA_BITS\r\n"
                 L"0x0000005E\t0x9005 = DATA_BITS\r\n"
                 L"0x00000064\t0x2001 = InvalidTag: 0x7F\r\n"
                 L"0x00000068\t0x7002 = LIBRARY\r\n"
                 L"0x0000006E\t0x7001 = DATABASE\r\n"
                 L"0x00000074\t\t0x6001 = NAME: inner\r\n"
                 L"0x0000007A\t\t0x7007 = EXE\r\n"
                 L"0x00000080\t\t\t0x1001 = INCLUDE\r\n"
                 L"0x00000082\t\t0x4001 = SIZE: 0x00000010\r\n"
                 L"0x00000090\t0x0000 = InvalidTag\r\n"
                 L"0x00000092\t0xA000 = InvalidTag\r\n"
                 L"0x00000094\t0xF123 = InvalidTag\r\n"
                 L"0x00000096\t0x1FFF = \r\n"
                 L"0x00000097\t0x1FFD = \r\n"
                 L"0x00000098\t0x4001 = SIZE: 0x00000000\r\n",
                 L"Undefined TAG_TYPE 0x0000 for TAGID 0x00000090\n"
                 L"Undefined TAG_TYPE 0xA000 for TAGID 0x00000092\n"
                 L"Undefined TAG_TYPE 0xF123 for TAGID 0x00000094\n");

    // A root without children: nothing written, nothing reported.
    ResetDatabase();
    CheckListing(__LINE__, Walk(), TRUE, L"", L"");
    ok(g_writes.fileCalls == 0, "%lu WriteFile calls for an empty root, expected 0",
       g_writes.fileCalls);
}

// Texts and names beyond the formatter's limit are written whole, line end included.
static void TestLongTexts(void)
{
    static WCHAR text[20001];
    for (int index = 0; index < 20000; index++)
    {
        text[index] = index % 2 == 0 ? L'a' : L'b';
    }
    ResetDatabase();
    AddText(0x0C, TAGID_ROOT, 0x8801, text);
    AddTag(0x20, TAGID_ROOT, LONG_NAME_TAG);
    AddTag(0x22, TAGID_ROOT, 0x1001);

    static WCHAR expected[25000];
    wcscpy(expected, L"0x0000000C\t0x8801 = STRINGTABLE_ITEM: ");
    wcscat(expected, text);
    wcscat(expected, L"\r\n0x00000020\t0x1FFE = ");
    wcscat(expected, g_db.longName);
    wcscat(expected, L"\r\n0x00000022\t0x1001 = INCLUDE\r\n");
    CheckListing(__LINE__, Walk(), TRUE, expected, L"");

    // A reference in a damaged file can put a text at an odd address (the checked build traps
    // on a misaligned read).
    alignas(2) static const BYTE odd[] = {0, 'o', 0, 'd', 0, 'd', 0, 0, 0};
    ResetDatabase();
    AddText(0x0C, TAGID_ROOT, 0x6001, (const WCHAR*)(odd + 1));
    CheckListing(__LINE__, Walk(), TRUE, L"0x0000000C\t0x6001 = NAME: odd\r\n", L"");
}

static void TestTimes(void)
{
    ResetDatabase();
    AddTag(0x10, TAGID_ROOT, 0x401D, 0);
    AddTag(0x11, TAGID_ROOT, 0x401D, 86400 * 1);
    AddTag(0x12, TAGID_ROOT, 0x401D, 86400 * 2);
    AddTag(0x13, TAGID_ROOT, 0x401D, 86400 * 3);
    AddTag(0x14, TAGID_ROOT, 0x401D, 86400 * 4);
    AddTag(0x15, TAGID_ROOT, 0x401D, 86400 * 5);
    AddTag(0x16, TAGID_ROOT, 0x401D, 86400 * 6);
    AddTag(0x17, TAGID_ROOT, 0x401E, 1709210096);
    AddTag(0x18, TAGID_ROOT, 0x401D, 0xFFFFFFFE);
    AddTag(0x19, TAGID_ROOT, 0x401E, 0xFFFFFFFF);
    AddTag(0x1A, TAGID_ROOT, 0x4033, 0);
    AddTag(0x20, TAGID_ROOT, 0x5001, 0);
    AddTag(0x21, TAGID_ROOT, 0x5001, 0x01DA6B0BB36F2970ULL);
    AddTag(0x22, TAGID_ROOT, 0x5001, 0x7FFFFFFFFFFFFFFFULL);
    AddTag(0x23, TAGID_ROOT, 0x5001, 0x8000000000000000ULL);
    AddTag(0x24, TAGID_ROOT, 0x5001, ~0ULL);
    AddTag(0x25, TAGID_ROOT, 0x5001, 0xFFFFFFFF00000000ULL);
    AddTag(0x26, TAGID_ROOT, 0x5007, 0);
    SetLastError(0xdeadbeef);
    BOOL result = Walk();
    // The platform's own error code for an unconvertible time goes into the message.
    SYSTEMTIME unused;
    FILETIME bad = {0, 0x80000000};
    SetLastError(0xdeadbeef);
    BOOL converted = FileTimeToSystemTime(&bad, &unused);
    DWORD error = GetLastError();
    ok(!converted, "FileTimeToSystemTime converted 0x8000000000000000, expected a failure");
    WCHAR console[200];
    _snwprintf(console, 200,
               L"FileTimeToSystemTime() returned error %lu\nFileTimeToSystemTime() returned error "
               L"%lu\n",
               error, error);
    CheckListing(__LINE__, result, TRUE,
                 L"0x00000010\t0x401D = LINK_DATE: Thursday, 1970-01-01 00:00:00.000 UTC\r\n"
                 L"0x00000011\t0x401D = LINK_DATE: Friday, 1970-01-02 00:00:00.000 UTC\r\n"
                 L"0x00000012\t0x401D = LINK_DATE: Saturday, 1970-01-03 00:00:00.000 UTC\r\n"
                 L"0x00000013\t0x401D = LINK_DATE: Sunday, 1970-01-04 00:00:00.000 UTC\r\n"
                 L"0x00000014\t0x401D = LINK_DATE: Monday, 1970-01-05 00:00:00.000 UTC\r\n"
                 L"0x00000015\t0x401D = LINK_DATE: Tuesday, 1970-01-06 00:00:00.000 UTC\r\n"
                 L"0x00000016\t0x401D = LINK_DATE: Wednesday, 1970-01-07 00:00:00.000 UTC\r\n"
                 L"0x00000017\t0x401E = UPTO_LINK_DATE: Thursday, 2024-02-29 12:34:56.000 UTC\r\n"
                 L"0x00000018\t0x401D = LINK_DATE: Sunday, 2106-02-07 06:28:14.000 UTC\r\n"
                 L"0x00000019\t0x401E = UPTO_LINK_DATE\r\n"
                 L"0x0000001A\t0x4033 = FROM_LINK_DATE: 0x00000000\r\n"
                 L"0x00000020\t0x5001 = TIME: Monday, 1601-01-01 00:00:00.000 UTC\r\n"
                 L"0x00000021\t0x5001 = TIME: Thursday, 2024-02-29 12:34:56.007 UTC\r\n"
                 L"0x00000022\t0x5001 = TIME: Thursday, 30828-09-14 02:48:05.477 UTC\r\n"
                 L"0x00000023\t0x5001 = TIME: 0x8000000000000000\r\n"
                 L"0x00000024\t0x5001 = TIME\r\n"
                 L"0x00000025\t0x5001 = TIME: 0xFFFFFFFF00000000\r\n"
                 L"0x00000026\t0x5007 = DATA_QWORD: 0x0000000000000000\r\n",
                 console);
}

static void TestVersionsAndGuids(void)
{
    static const BYTE ones[16] = {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                  0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11};
    static const BYTE distinct[20] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC,
                                      0xBA, 0x98, 0x76, 0x54, 0x32, 0x10, 0x0F, 0x1E, 0x2D, 0x3C};
    ResetDatabase();
    AddTag(0x10, TAGID_ROOT, 0x5002, 0x0005000100020003ULL);
    AddTag(0x11, TAGID_ROOT, 0x5003, 0xFFFF000000010002ULL);
    AddTag(0x12, TAGID_ROOT, 0x5006, 0x0006000125804000ULL);
    AddTag(0x13, TAGID_ROOT, 0x500D, 0);
    AddTag(0x14, TAGID_ROOT, 0x5002, ~0ULL);
    AddData(0x20, TAGID_ROOT, 0x9007, ones, 16);
    AddData(0x21, TAGID_ROOT, 0x9004, distinct, 16);
    AddData(0x22, TAGID_ROOT, 0x9006, distinct, 16);
    AddData(0x23, TAGID_ROOT, 0x9008, distinct, 16);
    AddData(0x24, TAGID_ROOT, 0x9009, distinct, 16);
    AddData(0x25, TAGID_ROOT, 0x9010, distinct, 16);
    AddData(0x26, TAGID_ROOT, 0x9011, distinct, 16);
    AddData(0x27, TAGID_ROOT, 0x9004, distinct, 20);
    AddData(0x28, TAGID_ROOT, 0x9004, distinct, 15);
    AddData(0x29, TAGID_ROOT, 0x9005, distinct, 16);
    CheckListing(
        __LINE__, Walk(), TRUE,
        L"0x00000010\t0x5002 = BIN_FILE_VERSION: 5.1.2.3\r\n"
        L"0x00000011\t0x5003 = BIN_PRODUCT_VERSION: 65535.0.1.2\r\n"
        L"0x00000012\t0x5006 = UPTO_BIN_PRODUCT_VERSION: 6.1.9600.16384\r\n"
        L"0x00000013\t0x500D = UPTO_BIN_FILE_VERSION: 0.0.0.0\r\n"
        L"0x00000014\t0x5002 = BIN_FILE_VERSION\r\n"
        L"0x00000020\t0x9007 = DATABASE_ID: {11111111-1111-1111-1111-111111111111}\r\n"
        L"0x00000021\t0x9004 = EXE_ID: {67452301-ab89-efcd-fedc-ba9876543210}\r\n"
        L"0x00000022\t0x9006 = MSI_PACKAGE_ID: {67452301-ab89-efcd-fedc-ba9876543210}\r\n"
        L"0x00000023\t0x9008 = CONTEXT_PLATFORM_ID: {67452301-ab89-efcd-fedc-ba9876543210}\r\n"
        L"0x00000024\t0x9009 = CONTEXT_BRANCH_ID: {67452301-ab89-efcd-fedc-ba9876543210}\r\n"
        L"0x00000025\t0x9010 = FIX_ID: {67452301-ab89-efcd-fedc-ba9876543210}\r\n"
        L"0x00000026\t0x9011 = APP_ID: {67452301-ab89-efcd-fedc-ba9876543210}\r\n"
        L"0x00000027\t0x9004 = EXE_ID: 0x0123456789ABCDEFFEDCBA98765432100F1E2D3C\r\n"
        L"0x00000028\t0x9004 = EXE_ID: 0x0123456789ABCDEFFEDCBA98765432\r\n"
        L"0x00000029\t0x9005 = DATA_BITS: 0x0123456789ABCDEFFEDCBA9876543210\r\n",
        L"");
    ok(g_db.guidLength == 40, "SdbGUIDToString was given length %lu, expected 40",
       (DWORD)g_db.guidLength);

    // When the library cannot convert a GUID, the line shows its bytes and still ends.
    ResetDatabase();
    g_db.guidFails = TRUE;
    AddData(0x20, TAGID_ROOT, 0x9007, ones, 16);
    AddTag(0x30, TAGID_ROOT, 0x1001);
    CheckListing(__LINE__, Walk(), TRUE,
                 L"0x00000020\t0x9007 = DATABASE_ID: 0x11111111111111111111111111111111\r\n"
                 L"0x00000030\t0x1001 = INCLUDE\r\n",
                 L"SdbGUIDToString() returned FALSE!\n");

    // A library that fills the whole buffer without a terminator: the line stops at its end.
    ResetDatabase();
    g_db.guidUnterminated = TRUE;
    AddData(0x20, TAGID_ROOT, 0x9007, ones, 16);
    CheckListing(__LINE__, Walk(), TRUE,
                 L"0x00000020\t0x9007 = DATABASE_ID: 777777777777777777777777777777777777777\r\n",
                 L"");
}

// Every entry of the hex pair table: one tag whose data holds each byte value once.
static void TestEveryByteValue(void)
{
    static BYTE bytes[256];
    static WCHAR expected[600] = L"0x0000000C\t0x9005 = DATA_BITS: 0x";
    for (int value = 0; value < 256; value++)
    {
        bytes[value] = (BYTE)value;
        _snwprintf(expected + wcslen(expected), 3, L"%02X", value);
    }
    wcscat(expected, L"\r\n");
    ResetDatabase();
    AddData(0x0C, TAGID_ROOT, 0x9005, bytes, 256);
    CheckListing(__LINE__, Walk(), TRUE, expected, L"");
}

// Writes one patch record at record; returns its size. module may fill the field completely.
static DWORD PutRecord(BYTE* record, DWORD action, DWORD size, DWORD length, DWORD rva,
                       DWORD unknown, const WCHAR* module, const BYTE* pattern, DWORD patternSize)
{
    DWORD fields[5] = {action, size, length, rva, unknown};
    memcpy(record, fields, sizeof(fields));
    memset(record + 20, 0, 64);
    memcpy(record + 20, module, wcslen(module) * sizeof(WCHAR) > 64 ? 64 : wcslen(module) * 2);
    memcpy(record + 84, pattern, patternSize);
    return 84 + patternSize;
}

static void TestPatchRecords(void)
{
    static const BYTE nops[] = {0x90, 0x90};
    static const BYTE words[] = {0x41, 0x00, 0x42, 0x00, 0x43, 0x00};
    static BYTE replace[200], skipped[400], ended[400], fullModule[200], junk[200];

    DWORD used = PutRecord(replace, 2, 86, 2, 0x1000, 0, L"kernel32.dll", nops, 2);
    used += PutRecord(replace + used, 0, 0, 0, 0, 0, L"", NULL, 0) - 84 + 8;
    DWORD replaceSize = 86 + 8;

    // Records of other actions are skipped, action 0 too when its size is not 0.
    DWORD skippedSize = PutRecord(skipped, 3, 85, 1, 0x2000, 0, L"user32.dll", nops, 1);
    skippedSize += PutRecord(skipped + skippedSize, 0, 85, 1, 0x2000, 0, L"user32.dll", nops, 1);
    skippedSize +=
        PutRecord(skipped + skippedSize, 4, 86, 2, 0x00ABCDEF, 0xFEEDF00D, L"ntdll.dll", nops, 2);
    skippedSize += 8; // the end record: 8 zero bytes

    // The end record stops the decoding even with a record after it.
    DWORD endedSize = PutRecord(ended, 4, 84, 0, 0x10, 0, L"a.dll", NULL, 0);
    endedSize += 8;
    endedSize += PutRecord(ended + endedSize, 2, 86, 2, 0x20, 0, L"b.dll", nops, 2);

    // 32 characters fill the module field with no zero; the pattern after it must not show.
    DWORD fullModuleSize =
        PutRecord(fullModule, 2, 90, 6, 0x30, 1, L"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", words, 6);
    fullModuleSize += 8;

    // A record may be larger than its header and pattern: its size leads to the next one.
    static BYTE padded[300];
    DWORD paddedSize = PutRecord(padded, 2, 90, 2, 0x50, 3, L"d.dll", nops, 2);
    memset(padded + paddedSize, 0xCC, 4);
    paddedSize = 90 + PutRecord(padded + 90, 4, 84, 0, 0x60, 4, L"e.dll", NULL, 0);
    paddedSize += 8;

    // Junk after the module name's terminator is not shown.
    DWORD junkSize = PutRecord(junk, 4, 84, 0, 0x40, 2, L"c.dll", NULL, 0);
    memcpy(junk + 20 + 12, L"XYZ", 6);
    junkSize += 8;

    ResetDatabase();
    AddData(0x10, TAGID_ROOT, 0x9002, replace, 0);
    AddData(0x20, TAGID_ROOT, 0x9002, replace, replaceSize);
    AddData(0x30, TAGID_ROOT, 0x9002, skipped, skippedSize);
    AddData(0x40, TAGID_ROOT, 0x9002, ended, endedSize);
    AddData(0x50, TAGID_ROOT, 0x9002, fullModule, fullModuleSize);
    AddData(0x60, TAGID_ROOT, 0x9002, junk, junkSize);
    AddData(0x68, TAGID_ROOT, 0x9002, padded, paddedSize);
    AddData(0x70, TAGID_ROOT, 0x9002, NULL, 10);
    AddData(0x80, TAGID_ROOT, 0x9002, NULL, 0);
    CheckListing(__LINE__, Walk(), TRUE,
                 L"0x00000010\t0x9002 = PATCH_BITS:\r\n"
                 L"0x00000020\t0x9002 = PATCH_BITS:\r\n"
                 L"\t\t\t Action  = 2 (REPLACE)\r\n"
                 L"\t\t\t Module  = kernel32.dll\r\n"
                 L"\t\t\t RVA     = 0x00001000\r\n"
                 L"\t\t\t Length  = 2\r\n"
                 L"\t\t\t Pattern = 0x9090\r\n"
                 L"\t\t\t Unknown = 0x00000000\r\n"
                 L"0x00000030\t0x9002 = PATCH_BITS:\r\n"
                 L"\t\t\t Action  = 4 (MATCH)\r\n"
                 L"\t\t\t Module  = ntdll.dll\r\n"
                 L"\t\t\t RVA     = 0x00ABCDEF\r\n"
                 L"\t\t\t Length  = 2\r\n"
                 L"\t\t\t Pattern = 0x9090\r\n"
                 L"\t\t\t Unknown = 0xFEEDF00D\r\n"
                 L"0x00000040\t0x9002 = PATCH_BITS:\r\n"
                 L"\t\t\t Action  = 4 (MATCH)\r\n"
                 L"\t\t\t Module  = a.dll\r\n"
                 L"\t\t\t RVA     = 0x00000010\r\n"
                 L"\t\t\t Length  = 0\r\n"
                 L"\t\t\t Pattern = 0x\r\n"
                 L"\t\t\t Unknown = 0x00000000\r\n"
                 L"0x00000050\t0x9002 = PATCH_BITS:\r\n"
                 L"\t\t\t Action  = 2 (REPLACE)\r\n"
                 L"\t\t\t Module  = ABCDEFGHIJKLMNOPQRSTUVWXYZ012345\r\n"
                 L"\t\t\t RVA     = 0x00000030\r\n"
                 L"\t\t\t Length  = 6\r\n"
                 L"\t\t\t Pattern = 0x410042004300\r\n"
                 L"\t\t\t Unknown = 0x00000001\r\n"
                 L"0x00000060\t0x9002 = PATCH_BITS:\r\n"
                 L"\t\t\t Action  = 4 (MATCH)\r\n"
                 L"\t\t\t Module  = c.dll\r\n"
                 L"\t\t\t RVA     = 0x00000040\r\n"
                 L"\t\t\t Length  = 0\r\n"
                 L"\t\t\t Pattern = 0x\r\n"
                 L"\t\t\t Unknown = 0x00000002\r\n"
                 L"0x00000068\t0x9002 = PATCH_BITS:\r\n"
                 L"\t\t\t Action  = 2 (REPLACE)\r\n"
                 L"\t\t\t Module  = d.dll\r\n"
                 L"\t\t\t RVA     = 0x00000050\r\n"
                 L"\t\t\t Length  = 2\r\n"
                 L"\t\t\t Pattern = 0x9090\r\n"
                 L"\t\t\t Unknown = 0x00000003\r\n"
                 L"\t\t\t Action  = 4 (MATCH)\r\n"
                 L"\t\t\t Module  = e.dll\r\n"
                 L"\t\t\t RVA     = 0x00000060\r\n"
                 L"\t\t\t Length  = 0\r\n"
                 L"\t\t\t Pattern = 0x\r\n"
                 L"\t\t\t Unknown = 0x00000004\r\n"
                 L"0x00000070\t0x9002 = PATCH_BITS\r\n"
                 L"0x00000080\t0x9002 = PATCH_BITS\r\n",
                 L"");
    (void)used;
}

// Texts that would end, start, fake a line or drive a terminal are shown with replacements. The
// first tag whose name, value or module names needed any is named on the console (a list before
// its children); the run closes with a total when there were more, and says nothing without any.
static void TestReplacedTexts(void)
{
    static BYTE records[200];
    DWORD size = PutRecord(records, 2, 84, 0, 0x10, 0, L"a\rb.dll", NULL, 0);
    size += PutRecord(records + size, 4, 84, 0, 0x20, 0, L"c\x2029\xDC00", NULL, 0);

    ResetDatabase();
    AddTag(0x10, TAGID_ROOT, FORGED_NAME_TAG);
    AddText(0x20, 0x10, 0x6001, L"x\n0x00000120\t\t0x6001 = NAME: harmless.exe");
    AddText(0x30, 0x10, 0x6001, L"plain \xD83D\xDE00");
    AddData(0x40, TAGID_ROOT, 0x9002, records, size);
    AddText(0x50, TAGID_ROOT, 0x6001, L"\x0080\x009B[2J\x009F\x0085");
    WALK_NOTES notes = {};
    CheckListing(__LINE__, Walk(&notes), TRUE,
                 L"0x00000010\t0x7FFD = LIST\x240D\x240A"
                 L"0x00000001\t0x1001 = INCLUDE\r\n"
                 L"0x00000020\t\t0x6001 = NAME: x\x240A"
                 L"0x00000120\t\t0x6001 = NAME: harmless.exe\r\n"
                 L"0x00000030\t\t0x6001 = NAME: plain \xD83D\xDE00\r\n"
                 L"0x00000040\t0x9002 = PATCH_BITS:\r\n"
                 L"\t\t\t Action  = 2 (REPLACE)\r\n\t\t\t Module  = a\x240D"
                 L"b.dll\r\n\t\t\t RVA     = 0x00000010\r\n\t\t\t Length  = 0\r\n"
                 L"\t\t\t Pattern = 0x\r\n\t\t\t Unknown = 0x00000000\r\n"
                 L"\t\t\t Action  = 4 (MATCH)\r\n\t\t\t Module  = c\x00B6\xFFFD\r\n"
                 L"\t\t\t RVA     = 0x00000020\r\n\t\t\t Length  = 0\r\n"
                 L"\t\t\t Pattern = 0x\r\n\t\t\t Unknown = 0x00000000\r\n"
                 L"0x00000050\t0x6001 = NAME: \xFFFD\xFFFD[2J\xFFFD\x2424\r\n",
                 L"Text of TAGID 0x00000010 shown with replacements: control characters 2, line "
                 L"separators 0, unpaired surrogates 0\n"
                 L"Texts of 4 tags shown with replacements in all: control characters 7, line "
                 L"separators 2, unpaired surrogates 1\n");
    ok(notes.replacedTags == 4 && !notes.cutOff, "notes say %lu tags, cut-off %d",
       notes.replacedTags, notes.cutOff);

    // One tag, nested: its own line and no total.
    ResetDatabase();
    AddTag(0x10, TAGID_ROOT, 0x7001);
    AddText(0x20, 0x10, 0x6001,
            L"a\x009B"
            L"b");
    AddText(0x30, TAGID_ROOT, 0x6001, L"plain");
    CheckListing(__LINE__, Walk(), TRUE,
                 L"0x00000010\t0x7001 = DATABASE\r\n"
                 L"0x00000020\t\t0x6001 = NAME: a\xFFFD"
                 L"b\r\n"
                 L"0x00000030\t0x6001 = NAME: plain\r\n",
                 L"Text of TAGID 0x00000020 shown with replacements: control characters 1, line "
                 L"separators 0, unpaired surrogates 0\n");
}

// Records that do not fit their data stop the decoding; the rest is shown as bytes.
static void TestMalformedPatchRecords(void)
{
    static const BYTE nops[] = {0x90, 0x90, 0x90};
    static BYTE zeroSize[100], beyond[100], small[200], longPattern[100], tail[100],
        shortHeader[60];

    PutRecord(zeroSize, 2, 0, 0, 0, 0, L"", NULL, 0);
    PutRecord(beyond, 2, 88, 3, 0, 0, L"", nops, 3); // data ends after 87 bytes
    PutRecord(small, 4, 40, 0, 0, 0, L"", NULL, 0);
    PutRecord(longPattern, 2, 87, 4, 0, 0, L"", nops, 3);
    DWORD tailSize = PutRecord(tail, 2, 85, 1, 0x50, 0, L"m", nops, 1);
    memcpy(tail + tailSize, "\x01\x02\x03\x04\x05", 5);
    tailSize += 5;
    PutRecord(shortHeader, 2, 60, 0, 0, 0, L"", NULL, 0); // only the first 60 bytes are data

    ResetDatabase();
    AddData(0x10, TAGID_ROOT, 0x9002, zeroSize, 8);
    AddData(0x20, TAGID_ROOT, 0x9002, beyond, 87);
    AddData(0x30, TAGID_ROOT, 0x9002, small, 100);
    AddData(0x40, TAGID_ROOT, 0x9002, longPattern, 87);
    AddData(0x50, TAGID_ROOT, 0x9002, tail, tailSize);
    AddData(0x60, TAGID_ROOT, 0x9002, shortHeader, 60);
    AddTag(0x70, TAGID_ROOT, 0x1001);
    BOOL result = Walk();

    WCHAR expected[20000];
    wcscpy(expected, L"0x00000010\t0x9002 = PATCH_BITS:\r\n\t\t\t Rest    = 0x0200000000000000\r\n"
                     L"0x00000020\t0x9002 = PATCH_BITS:\r\n\t\t\t Rest    = 0x0200000058000000");
    for (int index = 8; index < 87; index++)
    {
        wcscat(expected, index >= 84 ? L"90" : index == 8 ? L"03" : L"00");
    }
    wcscat(expected,
           L"\r\n0x00000030\t0x9002 = PATCH_BITS:\r\n\t\t\t Rest    = 0x0400000028000000");
    for (int index = 8; index < 100; index++)
    {
        wcscat(expected, L"00");
    }
    wcscat(expected, L"\r\n0x00000040\t0x9002 = PATCH_BITS:\r\n\t\t\t Rest    = 0x0200000057000000"
                     L"04000000");
    for (int index = 12; index < 87; index++)
    {
        wcscat(expected, index >= 84 ? L"90" : L"00");
    }
    wcscat(expected, L"\r\n0x00000050\t0x9002 = PATCH_BITS:\r\n"
                     L"\t\t\t Action  = 2 (REPLACE)\r\n"
                     L"\t\t\t Module  = m\r\n"
                     L"\t\t\t RVA     = 0x00000050\r\n"
                     L"\t\t\t Length  = 1\r\n"
                     L"\t\t\t Pattern = 0x90\r\n"
                     L"\t\t\t Unknown = 0x00000000\r\n"
                     L"\t\t\t Rest    = 0x0102030405\r\n"
                     L"0x00000060\t0x9002 = PATCH_BITS:\r\n\t\t\t Rest    = 0x020000003C000000");
    for (int index = 8; index < 60; index++)
    {
        wcscat(expected, L"00");
    }
    wcscat(expected, L"\r\n0x00000070\t0x1001 = INCLUDE\r\n");
    CheckListing(__LINE__, result, TRUE, expected,
                 L"Patch record at offset 0 of the data of TAGID 0x00000010 cannot be decoded: "
                 L"its size is 0; the rest is shown undecoded\n"
                 L"Patch record at offset 0 of the data of TAGID 0x00000020 cannot be decoded: "
                 L"its size reaches beyond the data; the rest is shown undecoded\n"
                 L"Patch record at offset 0 of the data of TAGID 0x00000030 cannot be decoded: "
                 L"its size is smaller than a record header; the rest is shown undecoded\n"
                 L"Patch record at offset 0 of the data of TAGID 0x00000040 cannot be decoded: "
                 L"its pattern reaches beyond the record; the rest is shown undecoded\n"
                 L"Patch record at offset 85 of the data of TAGID 0x00000050 cannot be decoded: "
                 L"fewer bytes are left than an action and a size take; the rest is shown "
                 L"undecoded\n"
                 L"Patch record at offset 0 of the data of TAGID 0x00000060 cannot be decoded: "
                 L"fewer bytes are left than a record header takes; the rest is shown undecoded\n");
}

// Indents deeper than the run of ten tabs show the whole run, for tag lines and record lines.
static void TestDeepIndents(void)
{
    static BYTE patch[100];
    DWORD patchSize = PutRecord(patch, 4, 84, 0, 0x77, 0, L"d", NULL, 0) + 8;
    ResetDatabase();
    TAGID parent = TAGID_ROOT;
    for (TAGID level = 0; level < 12; level++)
    {
        AddTag(0x100 + level, parent, 0x7001);
        parent = 0x100 + level;
        if (level == 6 || level == 7)
        {
            AddData(0x200 + level, parent, 0x9002, patch, patchSize);
        }
    }
    AddTag(0x300, parent, 0x1001);
    BOOL result = Walk();

    static const WCHAR tabs[] = L"\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t";
    WCHAR expected[8000] = L"";
    WCHAR line[400];
    for (int level = 0; level < 12; level++)
    {
        int indent = level + 1 > 10 ? 10 : level + 1;
        _snwprintf(line, 400, L"0x%08X%.*ls0x7001 = DATABASE\r\n", 0x100 + level, indent, tabs);
        wcscat(expected, line);
        if (level == 6 || level == 7)
        {
            int inner = level + 2 > 10 ? 10 : level + 2;
            int records = level + 4 > 10 ? 10 : level + 4;
            _snwprintf(line, 400,
                       L"0x%08X%.*ls0x9002 = PATCH_BITS:\r\n%.*ls Action  = 4 (MATCH)\r\n"
                       L"%.*ls Module  = d\r\n%.*ls RVA     = 0x00000077\r\n"
                       L"%.*ls Length  = 0\r\n%.*ls Pattern = 0x\r\n%.*ls Unknown = 0x00000000\r\n",
                       0x200 + level, inner, tabs, records, tabs, records, tabs, records, tabs,
                       records, tabs, records, tabs, records, tabs);
            wcscat(expected, line);
        }
    }
    wcscat(expected, L"0x00000300\t\t\t\t\t\t\t\t\t\t0x1001 = INCLUDE\r\n");
    CheckListing(__LINE__, result, TRUE, expected, L"");
}

// A library that runs past the end of a list gives the tags after it as the list's children: an
// empty list's next sibling, and a last child's first tag after its parent. Each is listed once.
static void TestChildrenThatFollowTheList(void)
{
    ResetDatabase();
    AddTag(0x0C, TAGID_ROOT, 0x7001);
    AddTag(0x12, 0x0C, 0x1001);
    AddTag(0x12, TAGID_ROOT, 0x1001);
    AddTag(0x18, TAGID_ROOT, 0x7002);
    AddTag(0x1E, 0x18, 0x7007);
    AddTag(0x24, 0x1E, 0x1001);
    AddTag(0x24, TAGID_ROOT, 0x1001);
    CheckListing(__LINE__, Walk(), TRUE,
                 L"0x0000000C\t0x7001 = DATABASE\r\n0x00000012\t0x1001 = INCLUDE\r\n"
                 L"0x00000018\t0x7002 = LIBRARY\r\n0x0000001E\t\t0x7007 = EXE\r\n"
                 L"0x00000024\t0x1001 = INCLUDE\r\n",
                 L"TAGID 0x00000012 follows the list TAGID 0x0000000C and is also given as its "
                 L"child: the list ends there\n"
                 L"TAGID 0x00000024 follows the list TAGID 0x0000001E and is also given as its "
                 L"child: the list ends there\n");
}

// Lists nested past the depth limit: their own lines are written, their children are not, the
// rest of the database is, and the cut-off flag says that the listing is not complete, whatever
// the last error holds afterwards. A failed write is still reported with its own error.
static void TestDepthLimit(void)
{
    ResetDatabase();
    TAGID parent = TAGID_ROOT;
    for (TAGID level = 0; level < 300; level++)
    {
        AddTag(0x1000 + level, parent, 0x7001);
        parent = 0x1000 + level;
    }
    AddTag(0x5000, parent, 0x1001);
    AddTag(0x6000, 0x1000 + 100, 0x1001); // a sibling after the cut, inside the chain
    AddTag(0x7000, TAGID_ROOT, 0x1001);
    WALK_NOTES notes = {};
    SetLastError(0);
    BOOL result = Walk(&notes);
    ok(notes.cutOff, "the cut-off flag is clear after lists nested too deep");
    ok(GetLastError() == 0, "the walk left last error %lu", GetLastError());

    static WCHAR expected[300 * 40];
    expected[0] = L'\0';
    WCHAR* end = expected;
    for (int level = 0; level < 256; level++)
    {
        end += _snwprintf(end, 40, L"0x%08X%.*ls0x7001 = DATABASE\r\n", 0x1000 + level,
                          level + 1 > 10 ? 10 : level + 1, L"\t\t\t\t\t\t\t\t\t\t");
    }
    wcscpy(end, L"0x00006000\t\t\t\t\t\t\t\t\t\t0x1001 = INCLUDE\r\n"
                L"0x00007000\t0x1001 = INCLUDE\r\n");
    CheckListing(__LINE__, result, TRUE, expected,
                 L"Lists nest deeper than 256 levels: the children of TAGID 0x000010FF are not "
                 L"listed\n");

    // The line of the list that is cut off fails to be written.
    notes = WALK_NOTES();
    ResetWrites();
    g_writes.failText = L"0x000010FF";
    result = DumpTagList(FAKE_CONSOLE, FAKE_FILE, FAKE_PDB, TAGID_ROOT, 0, &notes);
    ok(result == FALSE && notes.cutOff, "DumpTagList returned %d with cut-off %d, expected 0 and 1",
       result, notes.cutOff);
    ok(wcscmp(g_writes.console, L"Lists nest deeper than 256 levels: the children of TAGID "
                                L"0x000010FF are not listed\n"
                                L"WriteFile() returned error 112 for level 255\n") == 0,
       "console shows\n%ls", g_writes.console);
}

static void BuildReportTree(void)
{
    ResetDatabase();
    AddTag(0x0C, TAGID_ROOT, 0x4001, 1);
    AddTag(0x12, TAGID_ROOT, 0x7001);
    AddTag(0x18, 0x12, 0x4001, 2);
    AddTag(0x1E, 0x12, 0x7007);
    AddText(0x24, 0x1E, 0x6001, L"victim");
    AddTag(0x30, 0x12, 0x7002);
    AddText(0x36, 0x30, 0x6001, L"other");
    AddText(0x40, TAGID_ROOT, 0x6001, L"last");
}

// Every call of the walk reports its own failed writes once, after its children, with its level.
static void TestWriteFailureReports(void)
{
    BuildReportTree();
    ResetWrites();
    g_writes.failText = L"victim";
    WALK_NOTES notes = {};
    BOOL result = DumpTagList(FAKE_CONSOLE, FAKE_FILE, FAKE_PDB, TAGID_ROOT, 0, &notes);
    CheckListing(__LINE__, result, FALSE,
                 L"0x0000000C\t0x4001 = SIZE: 0x00000001\r\n"
                 L"0x00000012\t0x7001 = DATABASE\r\n"
                 L"0x00000018\t\t0x4001 = SIZE: 0x00000002\r\n"
                 L"0x0000001E\t\t0x7007 = EXE\r\n"
                 L"0x00000024\t\t\t0x6001 = NAME: \r\n"
                 L"0x00000030\t\t0x7002 = LIBRARY\r\n"
                 L"0x00000036\t\t\t0x6001 = NAME: other\r\n"
                 L"0x00000040\t0x6001 = NAME: last\r\n",
                 L"WriteFile() returned error 112 for level 2\n");

    // Sibling lists report separately; the lists around them wrote their own lines.
    ResetWrites();
    g_writes.failText = L"\t\t\t0x6001";
    g_writes.error = ERROR_HANDLE_DISK_FULL;
    result = DumpTagList(FAKE_CONSOLE, FAKE_FILE, FAKE_PDB, TAGID_ROOT, 0, &notes);
    ok(result == FALSE, "DumpTagList returned %d, expected 0", result);
    ok(wcscmp(g_writes.console, L"WriteFile() returned error 39 for level 2\n"
                                L"WriteFile() returned error 39 for level 2\n") == 0,
       "console shows\n%ls", g_writes.console);

    // A failure in the root's own line only.
    ResetWrites();
    g_writes.failText = L"last";
    result = DumpTagList(FAKE_CONSOLE, FAKE_FILE, FAKE_PDB, TAGID_ROOT, 0, &notes);
    ok(result == FALSE, "DumpTagList returned %d, expected 0", result);
    ok(wcscmp(g_writes.console, L"WriteFile() returned error 112 for level 0\n") == 0,
       "console shows\n%ls", g_writes.console);

    // The disk fills while the innermost list is written: every call reports, inner ones first.
    ResetWrites();
    g_writes.failText = L"victim";
    g_writes.failAfterText = TRUE;
    result = DumpTagList(FAKE_CONSOLE, FAKE_FILE, FAKE_PDB, TAGID_ROOT, 0, &notes);
    ok(result == FALSE, "DumpTagList returned %d, expected 0", result);
    ok(wcscmp(g_writes.console, L"WriteFile() returned error 112 for level 2\n"
                                L"WriteFile() returned error 112 for level 2\n"
                                L"WriteFile() returned error 112 for level 1\n"
                                L"WriteFile() returned error 112 for level 0\n") == 0,
       "console shows\n%ls", g_writes.console);

    // A time that cannot be converted after the failed write leaves the write's error, for the
    // report and for the run's exit code.
    BuildReportTree();
    AddTag(0x50, TAGID_ROOT, 0x5001, 0x8000000000000000ULL);
    ResetWrites();
    g_writes.failText = L"last";
    g_writes.error = ERROR_HANDLE_DISK_FULL;
    result = DumpTagList(FAKE_CONSOLE, FAKE_FILE, FAKE_PDB, TAGID_ROOT, 0, &notes);
    ok(result == FALSE && GetLastError() == ERROR_HANDLE_DISK_FULL,
       "DumpTagList returned %d with last error %lu, expected 0 and 39", result, GetLastError());
    ok(wcscmp(g_writes.console, L"FileTimeToSystemTime() returned error 87\n"
                                L"WriteFile() returned error 39 for level 0\n") == 0,
       "console shows\n%ls", g_writes.console);
    BuildReportTree();

    // A nested call started at another level reports that level.
    ResetWrites();
    g_writes.failText = L"other";
    result = DumpTagList(FAKE_CONSOLE, FAKE_FILE, FAKE_PDB, 0x30, 7, &notes);
    ok(result == FALSE, "DumpTagList returned %d, expected 0", result);
    ok(wcscmp(g_writes.console, L"WriteFile() returned error 112 for level 7\n") == 0,
       "console shows\n%ls", g_writes.console);
}

int main(void)
{
    TestGenericRenderings();
    TestLongTexts();
    TestTimes();
    TestVersionsAndGuids();
    TestEveryByteValue();
    TestPatchRecords();
    TestMalformedPatchRecords();
    TestReplacedTexts();
    TestDeepIndents();
    TestDepthLimit();
    TestChildrenThatFollowTheList();
    TestWriteFailureReports();
    return CheckSummary();
}
