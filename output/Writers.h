// Formatting and writing of the listing into the output file and of diagnostics onto the console.
#pragma once

#include <windows.h>

// Formats with wvsprintfW into a stack buffer and writes the text with one WriteConsoleW call.
// Returns 1 only when every character was written, otherwise 0; a partial write is a failure.
BOOL ConsolePrintf(HANDLE console, LPCWSTR format, ...);

// Formats with wvsprintfW into a stack buffer and writes the text into the file.
// Returns 1 when every byte was written, 0 otherwise (GetLastError tells why).
BOOL FilePrintf(HANDLE file, LPCWSTR format, ...);

// Writes count wide characters, unformatted, into the file. Returns 1 or 0 as FilePrintf does.
BOOL FileWriteChars(HANDLE file, LPCWSTR text, DWORD count);

// The write loop: writes size bytes, continuing partial writes until none are left.
// Returns 1 when all were written, 0 after the first failing WriteFile (which is not retried).
BOOL FileWriteBytes(HANDLE file, const void* bytes, DWORD size);

// The number of characters of a zero-terminated text, for writing it with FileWriteChars.
DWORD TextLength(LPCWSTR text);
