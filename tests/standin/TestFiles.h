// The stand-in tests' way to their databases: the folder the build writes them to, and a small one
// read whole.
#pragma once

#include "Check.h"

#include <stdlib.h>
#include <wchar.h>

#define PATH_CHARS 1024
#define MAX_FILE 4096

// The path of a file of the test databases.
static inline const wchar_t* TestData(const wchar_t* name, wchar_t* path)
{
    const wchar_t* folder = _wgetenv(L"SHIMLIST_TESTDATA");
    _snwprintf(path, PATH_CHARS, L"%ls/%ls", folder != nullptr ? folder : L"../testdata", name);
    path[PATH_CHARS - 1] = 0;
    return path;
}

// Reads a small test database whole; gives its size.
static inline DWORD ReadBytes(const wchar_t* name, BYTE* bytes)
{
    wchar_t path[PATH_CHARS];
    HANDLE file = CreateFileW(TestData(name, path), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    DWORD got = 0;
    ok(file != INVALID_HANDLE_VALUE && ReadFile(file, bytes, MAX_FILE, &got, nullptr),
       "reading %ls failed with %lu", path, GetLastError());
    CloseHandle(file);
    return got;
}
