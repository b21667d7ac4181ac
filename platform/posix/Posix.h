// What the POSIX layer's own files share: text conversion and the process's command line.
#pragma once

#include <windows.h>

// Converts count UTF-16 units to UTF-8 into out (room for outSize bytes); gives the byte count,
// or -1 when the text holds an unpaired surrogate or does not fit. With replace, an unpaired
// surrogate becomes U+FFFD instead of failing.
long PosixUtf8FromUtf16(const WCHAR* text, size_t count, char* out, size_t outSize, bool replace);

// The UTF-8 bytes that a text of count UTF-16 units needs at most.
static inline size_t PosixUtf8Room(size_t count)
{
    return count * 3 + 1;
}

// Appends the UTF-16 form of the zero-terminated UTF-8 text to out; gives the number of units
// written, or -1 when the text is not valid UTF-8 (overlong forms, surrogates and values past
// U+10FFFF included). out must have room for strlen(text) units.
long PosixUtf16FromUtf8(const char* text, WCHAR* out);

// Hands the process's command line to GetCommandLineW; called once, before the program runs.
void PosixSetCommandLine(LPWSTR commandLine);

// The Windows error code for an errno value.
DWORD PosixErrorFromErrno(int error);

// Keeps a copy of standard error for PosixReport, which may write after the program has closed
// its error handle; called once, before the program runs.
void PosixKeepReportChannel(void);

// Writes a message of the layer's own on standard error, formatted by wvsprintfW.
void PosixReport(LPCWSTR format, ...);
