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

// How many characters of a text were shown as replacements, by kind, so that the caller can
// say so. Each writer adds to the counts it is given.
typedef struct TEXT_REPLACEMENTS
{
    DWORD controls;       // C0 controls other than TAB, DEL, and C1 controls other than U+0085
    DWORD lineSeparators; // U+0085, U+2028 and U+2029, which other tools take as line ends
    DWORD surrogates;     // unpaired surrogates, which no strict UTF-16 reader accepts
} TEXT_REPLACEMENTS;

// Writes count characters of a text that the program did not write itself (a database's text,
// a path, a name from the library) so that it can neither end nor fake a line nor drive a
// terminal: C0 controls other than TAB become their control pictures (U+2400 + code), DEL
// becomes U+2421, the C1 controls U+0080 to U+009F other than U+0085 become U+FFFD, U+0085
// becomes U+2424, U+2028 becomes U+21B5, U+2029 becomes U+00B6 and an unpaired surrogate
// becomes U+FFFD. Runs of other characters are written with one write each, so a text with
// nothing to replace costs one write. Returns 1 or 0 as FileWriteChars does.
BOOL FileWriteText(HANDLE file, LPCWSTR text, DWORD count, TEXT_REPLACEMENTS* replaced);

// The same onto the console, one WriteConsoleW per run. Returns 1 only when every character
// was shown; like ConsolePrintf it leaves the last error as it was.
BOOL ConsoleWriteText(HANDLE console, LPCWSTR text, DWORD count, TEXT_REPLACEMENTS* replaced);

// True when a writer replaced any character.
BOOL AnyReplaced(const TEXT_REPLACEMENTS* replaced);
