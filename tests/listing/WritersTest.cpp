// Tests of the console and file writers against simulated WriteFile and WriteConsoleW.
#include "Check.h"
#include "FakeWrites.h"
#include "output/Writers.h"

static void TestWriteLoop(void)
{
    static const char bytes[] = "0123456789abcdefghij";

    ResetWrites();
    BOOL result = FileWriteBytes(FAKE_FILE, bytes, 20);
    ok(result == 1, "whole write returned %d, expected 1", result);
    ok(g_writes.fileBytes == 20 && memcmp(g_writes.file, bytes, 20) == 0,
       "file holds %lu bytes '%.20s', expected the 20 bytes", g_writes.fileBytes,
       (const char*)g_writes.file);
    ok(g_writes.fileCalls == 1, "%lu WriteFile calls, expected 1", g_writes.fileCalls);

    // The platform completes the write in parts of 3 bytes: the loop continues from where
    // each part stopped.
    ResetWrites();
    g_writes.maxBytesPerCall = 3;
    result = FileWriteBytes(FAKE_FILE, bytes, 20);
    ok(result == 1, "partial writes returned %d, expected 1", result);
    ok(g_writes.fileBytes == 20 && memcmp(g_writes.file, bytes, 20) == 0,
       "file holds %lu bytes '%.20s' after partial writes", g_writes.fileBytes,
       (const char*)g_writes.file);
    ok(g_writes.fileCalls == 7, "%lu WriteFile calls, expected 7", g_writes.fileCalls);

    ResetWrites();
    result = FileWriteBytes(FAKE_FILE, bytes, 0);
    ok(result == 1 && g_writes.fileCalls == 0,
       "empty write returned %d after %lu calls, "
       "expected 1 after none",
       result, g_writes.fileCalls);

    // A full disk: the first failure ends the loop, without a retry, last error kept.
    ResetWrites();
    g_writes.failFromCall = 1;
    SetLastError(0xdeadbeef);
    result = FileWriteBytes(FAKE_FILE, bytes, 20);
    ok(result == 0, "failed write returned %d, expected 0", result);
    ok(g_writes.fileCalls == 1, "%lu WriteFile calls after a failure, expected 1",
       g_writes.fileCalls);
    ok(GetLastError() == ERROR_DISK_FULL, "last error %lu, expected %ld", GetLastError(),
       ERROR_DISK_FULL);

    // A failure in the middle of a write made of parts.
    ResetWrites();
    g_writes.maxBytesPerCall = 8;
    g_writes.failFromCall = 3;
    result = FileWriteBytes(FAKE_FILE, bytes, 20);
    ok(result == 0 && g_writes.fileCalls == 3 && g_writes.fileBytes == 16,
       "got %d after %lu calls with %u bytes, expected 0 after 3 with 16", result,
       g_writes.fileCalls, (unsigned)g_writes.fileBytes);

    // Success without a single byte written would loop for ever: it counts as a failure.
    ResetWrites();
    g_writes.maxBytesPerCall = 5;
    g_writes.zeroAtCall = 2;
    SetLastError(0xdeadbeef);
    result = FileWriteBytes(FAKE_FILE, bytes, 20);
    ok(result == 0, "zero-byte write returned %d, expected 0", result);
    ok(g_writes.fileCalls == 2, "%lu WriteFile calls, expected 2", g_writes.fileCalls);
    ok(GetLastError() == ERROR_WRITE_FAULT, "last error %lu, expected %ld", GetLastError(),
       ERROR_WRITE_FAULT);

    // A count beyond what was asked must not move the position past the caller's bytes.
    ResetWrites();
    g_writes.maxBytesPerCall = 5;
    g_writes.overReport = 16;
    result = FileWriteBytes(FAKE_FILE, bytes, 20);
    ok(result == 0 && g_writes.fileCalls == 1,
       "over-reported write returned %d after %lu calls, "
       "expected 0 after 1",
       result, g_writes.fileCalls);

    ResetWrites();
    result = FileWriteChars(FAKE_FILE, L":\r\n", 3);
    ok(result == 1 && FileIs(L":\r\n"),
       "FileWriteChars returned %d with %u bytes, expected 1 with 6", result,
       (unsigned)g_writes.fileBytes);
}

static void TestFilePrintf(void)
{
    ResetWrites();
    BOOL result = FilePrintf(
        FAKE_FILE, L"%ls|%lu|%hu|%02hu|%03hu|%04hu|%04hX|%08lX|%016I64X|%016I64X|%.32ls", L"text",
        4294967295UL, (WORD)65535, (WORD)7, (WORD)7, (WORD)1601, (WORD)0xBEEF, 0xABCDEFUL,
        0x0123456789ABCDEFULL, 0xFFFFFFFF00000000ULL, L"0123456789abcdefghijklmnopqrstuvWXYZ");
    const WCHAR* expected = L"text|4294967295|65535|07|007|1601|BEEF|00ABCDEF|0123456789ABCDEF|"
                            L"FFFFFFFF00000000|0123456789abcdefghijklmnopqrstuv";
    ok(result == 1, "FilePrintf returned %d, expected 1", result);
    ok(FileIs(expected), "wrote %lu bytes '%ls', expected '%ls'", g_writes.fileBytes, FileText(),
       expected);

    // Nothing formatted: nothing written, failure.
    ResetWrites();
    result = FilePrintf(FAKE_FILE, L"%ls", L"");
    ok(result == 0 && g_writes.fileCalls == 0,
       "empty result returned %d after %lu calls, "
       "expected 0 after none",
       result, g_writes.fileCalls);

    ResetWrites();
    g_writes.failFromCall = 1;
    result = FilePrintf(FAKE_FILE, L"line %lu\r\n", 1UL);
    ok(result == 0 && g_writes.fileCalls == 1,
       "failing FilePrintf returned %d after %lu calls, "
       "expected 0 after 1",
       result, g_writes.fileCalls);

    // The formatter cuts a result longer than its limit; only what it kept is written, all of
    // it: Wine's keeps 1023 characters and the terminator (a buffer too short for them would
    // lose one, and the formatter would write past its end).
    ResetWrites();
    static WCHAR longText[2001];
    wmemset(longText, L'x', 2000);
    result = FilePrintf(FAKE_FILE, L"%ls\r\n", longText);
    size_t characters = g_writes.fileBytes / 2;
    ok(result == 1 && characters == 1023,
       "cut FilePrintf returned %d with %u characters, expected 1 with 1023", result,
       (unsigned)characters);
    ok(wcsspn(g_writes.file, L"x") == characters,
       "cut FilePrintf wrote %u characters, of which %u are the text", (unsigned)characters,
       (unsigned)wcsspn(g_writes.file, L"x"));

    ResetWrites();
    result = ConsolePrintf(FAKE_CONSOLE, L"%ls\n", longText);
    ok(result == 1 && g_writes.consoleChars == 1023 &&
           wcsspn(g_writes.console, L"x") == g_writes.consoleChars,
       "cut ConsolePrintf returned %d with %lu characters, %u of them the text", result,
       g_writes.consoleChars, (unsigned)wcsspn(g_writes.console, L"x"));
}

static void TestConsolePrintf(void)
{
    ResetWrites();
    BOOL result = ConsolePrintf(FAKE_CONSOLE, L"%ls() returned error %lu\n", L"WriteFile", 112UL);
    ok(result == 1, "ConsolePrintf returned %d, expected 1", result);
    ok(wcscmp(g_writes.console, L"WriteFile() returned error 112\n") == 0, "console shows '%ls'",
       g_writes.console);
    ok(g_writes.consoleCalls == 1 && g_writes.fileCalls == 0,
       "%lu console and %lu file calls, expected 1 and 0", g_writes.consoleCalls,
       g_writes.fileCalls);

    // A partial console write is a failure and is not continued.
    ResetWrites();
    g_writes.consoleShortBy = 1;
    result = ConsolePrintf(FAKE_CONSOLE, L"abc\n");
    ok(result == 0 && g_writes.consoleCalls == 1,
       "short console write returned %d after %lu calls, expected 0 after 1", result,
       g_writes.consoleCalls);

    // The error of the failed step that a diagnostic reports survives the diagnostic, also
    // when the console refuses it: the run takes its exit code from it afterwards.
    ResetWrites();
    g_writes.consoleFails = TRUE;
    SetLastError(ERROR_HANDLE_DISK_FULL);
    result = ConsolePrintf(FAKE_CONSOLE, L"abc\n");
    ok(result == 0, "failing console write returned %d, expected 0", result);
    ok(GetLastError() == ERROR_HANDLE_DISK_FULL,
       "last error %lu after a refused diagnostic, expected 39", GetLastError());

    ResetWrites();
    result = ConsolePrintf(FAKE_CONSOLE, L"");
    ok(result == 0 && g_writes.consoleCalls == 0,
       "empty console text returned %d after %lu calls, expected 0 after none", result,
       g_writes.consoleCalls);
}

// Texts from a database are written so that they cannot end, start or fake a line, and stay
// valid UTF-16; plain runs take one write each, so a text with nothing to replace takes one.
static void TestWriteText(void)
{
    static const WCHAR everyControl[] = L"\x01\x02\x03\x04\x05\x06\x07\x08\x0A\x0B\x0C\x0D\x0E\x0F"
                                        L"\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1A\x1B\x1C\x1D"
                                        L"\x1E\x1F\x7F";
    static const WCHAR everyPicture[] = L"\x2401\x2402\x2403\x2404\x2405\x2406\x2407\x2408\x240A"
                                        L"\x240B\x240C\x240D\x240E\x240F\x2410\x2411\x2412\x2413"
                                        L"\x2414\x2415\x2416\x2417\x2418\x2419\x241A\x241B\x241C"
                                        L"\x241D\x241E\x241F\x2421";
    static const struct
    {
        const WCHAR* text;
        DWORD count; // of text; the zero is one of the characters when it is inside the count
        const WCHAR* shown;
        DWORD calls;
        DWORD controls, lineSeparators, surrogates;
    } cases[] = {
        {L"kernel32.dll", 12, L"kernel32.dll", 1, 0, 0, 0},
        {L"", 0, L"", 0, 0, 0, 0},
        // Characters near the replaced ones, the stand-ins themselves and a pair stay as they are.
        {L"a\tb~\x00A0\x00E9\x0416\x2027\x202A\x2424\xFFFD\xD83D\xDE00", 13,
         L"a\tb~\x00A0\x00E9\x0416\x2027\x202A\x2424\xFFFD\xD83D\xDE00", 1, 0, 0, 0},
        // C1 controls, the CSI that starts a terminal's control sequence among them, are shown
        // as U+FFFD and counted as controls; NEL keeps its own picture and kind.
        {L"\x0080\x009B"
         L"31m\x009F\x0084\x0085\x0086",
         9,
         L"\xFFFD\xFFFD"
         L"31m\xFFFD\xFFFD\x2424\xFFFD",
         7, 5, 1, 0},
        {L"x\r\n0x00000120\t\t0x6001 = NAME: harmless.exe", 42,
         L"x\x240D\x240A"
         L"0x00000120\t\t0x6001 = NAME: harmless.exe",
         4, 2, 0, 0},
        {everyControl, 31, everyPicture, 31, 31, 0, 0},
        {L"\0", 1, L"\x2400", 1, 1, 0, 0},
        {L"a\x0085"
         L"b\x2028"
         L"c\x2029",
         6,
         L"a\x2424"
         L"b\x21B5"
         L"c\x00B6",
         6, 0, 3, 0},
        // Unpaired: a high one at the end, a low one first, a high one before a non-low, a
        // pair in the wrong order, and a pair that the count splits.
        {L"\xDC00"
         L"a\xD800"
         L"b\xDC00\xD800\xD800",
         6,
         L"\xFFFD"
         L"a\xFFFD"
         L"b\xFFFD\xFFFD",
         6, 0, 0, 4},
        {L"\xD83D\xDE00\xD83D\xDE00", 3, L"\xD83D\xDE00\xFFFD", 2, 0, 0, 1},
    };
    for (DWORD index = 0; index < ARRAYSIZE(cases); index++)
    {
        ResetWrites();
        TEXT_REPLACEMENTS replaced = {1, 2, 3}; // the writer adds to what it is given
        BOOL result = FileWriteText(FAKE_FILE, cases[index].text, cases[index].count, &replaced);
        ok(result == 1 && FileIs(cases[index].shown),
           "case %lu: returned %d, wrote '%ls', expected '%ls'", index, result, FileText(),
           cases[index].shown);
        ok(g_writes.fileCalls == cases[index].calls, "case %lu: %lu WriteFile calls, expected %lu",
           index, g_writes.fileCalls, cases[index].calls);
        ok(replaced.controls == 1 + cases[index].controls &&
               replaced.lineSeparators == 2 + cases[index].lineSeparators &&
               replaced.surrogates == 3 + cases[index].surrogates,
           "case %lu: counts %lu %lu %lu, expected %lu %lu %lu", index, replaced.controls - 1,
           replaced.lineSeparators - 2, replaced.surrogates - 3, cases[index].controls,
           cases[index].lineSeparators, cases[index].surrogates);
    }

    // A failed write fails the text; the rest is still tried, as elsewhere in the listing.
    ResetWrites();
    g_writes.failFromCall = 2;
    TEXT_REPLACEMENTS replaced = {0, 0, 0};
    BOOL result = FileWriteText(FAKE_FILE, L"a\nb", 3, &replaced);
    ok(result == 0 && g_writes.fileCalls == 3, "failed text returned %d after %lu calls", result,
       g_writes.fileCalls);

    // The console gets the same: a path with a line end cannot fake a diagnostic.
    ResetWrites();
    SetLastError(ERROR_FILE_NOT_FOUND);
    replaced.controls = 0;
    result = ConsoleWriteText(FAKE_CONSOLE,
                              L"C:\\a\nWriteFile() returned error 5\n\x009B"
                              L"2J",
                              37, &replaced);
    ok(result == 1 &&
           wcscmp(g_writes.console, L"C:\\a\x240AWriteFile() returned error 5\x240A\xFFFD"
                                    L"2J") == 0 &&
           replaced.controls == 3 && GetLastError() == ERROR_FILE_NOT_FOUND,
       "console shows '%ls' (returned %d, %lu replaced, last error %lu)", g_writes.console, result,
       replaced.controls, GetLastError());
}

int main(void)
{
    TestWriteLoop();
    TestFilePrintf();
    TestConsolePrintf();
    TestWriteText();
    return CheckSummary();
}
