// Replacements for WriteFile and WriteConsoleW that record what is written and fail on request.
#pragma once

#include <windows.h>
#include <string.h>
#include <wchar.h>

// The code under test calls the platform through its import pointers; defining those pointers
// here makes the linker take ours instead of the import library's.
#if defined(__i386__)
#define IMPORT_POINTER(name, argumentBytes) __asm__("__imp__" #name "@" #argumentBytes)
#else
#define IMPORT_POINTER(name, argumentBytes) __asm__("__imp_" #name)
#endif

#define FAKE_FILE ((HANDLE)(ULONG_PTR)0x4F17)
#define FAKE_CONSOLE ((HANDLE)(ULONG_PTR)0xC0E5)
#define FAKE_FILE_CHARS (1 << 20)
#define FAKE_CONSOLE_CHARS (1 << 16)

struct FakeWrites
{
    WCHAR file[FAKE_FILE_CHARS + 1]; // every byte that reached the file, then a zero character
    DWORD fileBytes;
    WCHAR console[FAKE_CONSOLE_CHARS + 1]; // every character that reached the console
    DWORD consoleChars;
    DWORD fileCalls; // WriteFile calls, failed ones included
    DWORD consoleCalls;
    DWORD maxBytesPerCall; // 0: no limit; otherwise writes complete in parts of this size
    DWORD failFromCall;    // 0: never; otherwise this and every later WriteFile call fails
    DWORD zeroAtCall;      // 0: never; otherwise this call succeeds but writes nothing
    DWORD overReport;      // added to the count of bytes a write reports
    const WCHAR* failText; // a write whose characters contain this text fails
    BOOL failAfterText;    // and so does every write after it (a disk that fills)
    DWORD error;           // last error set by a failed write
    DWORD consoleShortBy;  // the console writes this many characters fewer than asked
    BOOL consoleFails;
};

static FakeWrites g_writes;

static void ResetWrites(void)
{
    memset(&g_writes, 0, sizeof(g_writes));
    g_writes.error = ERROR_DISK_FULL;
}

// The file's bytes as little-endian UTF-16 text (the tests run on little-endian machines).
static const WCHAR* FileText(void)
{
    return g_writes.file;
}

// True when the file holds exactly the bytes of expected, without its terminating zero.
static bool FileIs(const WCHAR* expected)
{
    size_t bytes = wcslen(expected) * sizeof(WCHAR);
    return g_writes.fileBytes == bytes && memcmp(g_writes.file, expected, bytes) == 0;
}

static bool ContainsText(const WCHAR* text, DWORD length, const WCHAR* part)
{
    DWORD partLength = (DWORD)wcslen(part);
    for (DWORD start = 0; start + partLength <= length; start++)
    {
        if (memcmp(text + start, part, partLength * sizeof(WCHAR)) == 0)
        {
            return true;
        }
    }
    return false;
}

static BOOL WINAPI FakeWriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written,
                                 LPOVERLAPPED overlapped)
{
    g_writes.fileCalls++;
    *written = 0;
    if (file != FAKE_FILE || overlapped != NULL)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    bool fail = g_writes.failFromCall != 0 && g_writes.fileCalls >= g_writes.failFromCall;
    if (g_writes.failText != NULL &&
        ContainsText((const WCHAR*)buffer, size / sizeof(WCHAR), g_writes.failText))
    {
        fail = true;
        if (g_writes.failAfterText && g_writes.failFromCall == 0)
        {
            g_writes.failFromCall = g_writes.fileCalls;
        }
    }
    if (fail)
    {
        SetLastError(g_writes.error);
        return FALSE;
    }
    if (g_writes.zeroAtCall == g_writes.fileCalls)
    {
        return TRUE;
    }
    DWORD count = size;
    if (g_writes.maxBytesPerCall != 0 && count > g_writes.maxBytesPerCall)
    {
        count = g_writes.maxBytesPerCall;
    }
    if (g_writes.fileBytes + count > FAKE_FILE_CHARS * sizeof(WCHAR))
    {
        SetLastError(ERROR_HANDLE_DISK_FULL);
        return FALSE;
    }
    memcpy((BYTE*)g_writes.file + g_writes.fileBytes, buffer, count);
    g_writes.fileBytes += count;
    memset((BYTE*)g_writes.file + g_writes.fileBytes, 0, sizeof(WCHAR));
    *written = count + g_writes.overReport;
    return TRUE;
}

static BOOL WINAPI FakeWriteConsoleW(HANDLE console, const VOID* buffer, DWORD count,
                                     LPDWORD written, LPVOID reserved)
{
    g_writes.consoleCalls++;
    if (console != FAKE_CONSOLE || reserved != NULL || g_writes.consoleFails ||
        g_writes.consoleChars + count > FAKE_CONSOLE_CHARS)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD shown = count > g_writes.consoleShortBy ? count - g_writes.consoleShortBy : 0;
    memcpy(g_writes.console + g_writes.consoleChars, buffer, shown * sizeof(WCHAR));
    g_writes.consoleChars += shown;
    g_writes.console[g_writes.consoleChars] = L'\0';
    *written = shown;
    return TRUE;
}

extern "C"
{
    decltype(&WriteFile) FakeWriteFilePointer IMPORT_POINTER(WriteFile, 20) = FakeWriteFile;
    decltype(&WriteConsoleW) FakeWriteConsolePointer IMPORT_POINTER(WriteConsoleW,
                                                                    20) = FakeWriteConsoleW;
}
