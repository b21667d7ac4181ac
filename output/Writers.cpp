// The console and file writers: text formatted by the platform formatter, and the write loop.
#include "output/Writers.h"

#include <stdarg.h>

// wvsprintfW takes no buffer size: it stores at most 1024 characters and a terminating zero and
// cuts longer results itself, so every caller owns a buffer of this size for one call.
#define FORMAT_BUFFER_CHARS 1026

BOOL FileWriteBytes(HANDLE file, const void* bytes, DWORD size)
{
    const BYTE* position = (const BYTE*)bytes;
    while (size != 0)
    {
        DWORD written = 0;
        if (!WriteFile(file, position, size, &written, NULL))
        {
            return FALSE;
        }
        // A write that reports success without progress would repeat for ever; it is a failure
        // of the device, not something to retry.
        if (written == 0 || written > size)
        {
            SetLastError(ERROR_WRITE_FAULT);
            return FALSE;
        }
        position += written;
        size -= written;
    }
    return TRUE;
}

// A text that the database hands out may lie at an odd address (a string reference can point
// anywhere in the file), so characters are read as two bytes: x86 loads them as one unaligned
// character, and nothing reads a character through a misaligned pointer.
static WCHAR CharAt(LPCWSTR text, DWORD index)
{
    const BYTE* bytes = (const BYTE*)text + 2 * (SIZE_T)index;
    return (WCHAR)(bytes[0] | (bytes[1] << 8));
}

DWORD TextLength(LPCWSTR text)
{
    DWORD length = 0;
    while (CharAt(text, length) != L'\0')
    {
        length++;
    }
    return length;
}

BOOL FileWriteChars(HANDLE file, LPCWSTR text, DWORD count)
{
    return FileWriteBytes(file, text, count * sizeof(WCHAR));
}

// What a character that must not reach the output as it stands is shown as: the control
// pictures of C0 by code, then the picture of DEL, the replacement character for the other C1
// controls, the picture of NEL, an arrow for U+2028, a pilcrow for U+2029 and the replacement
// character for an unpaired surrogate. Each replacement is one character, so the listing keeps
// its columns. C1 has no pictures of its own; a terminal takes U+009B as the start of a control
// sequence, so these must not pass, and the console line's counts say what the U+FFFD stood for.
static const WCHAR Replacements[] = L"\x2400\x2401\x2402\x2403\x2404\x2405\x2406\x2407"
                                    L"\x2408\x2409\x240A\x240B\x240C\x240D\x240E\x240F"
                                    L"\x2410\x2411\x2412\x2413\x2414\x2415\x2416\x2417"
                                    L"\x2418\x2419\x241A\x241B\x241C\x241D\x241E\x241F"
                                    L"\x2421\xFFFD\x2424\x21B5\x00B6\xFFFD";
#define REPLACEMENT_DEL 32
#define REPLACEMENT_C1 33
#define REPLACEMENT_NEL 34
#define REPLACEMENT_LINE_SEPARATOR 35
#define REPLACEMENT_PARAGRAPH_SEPARATOR 36
#define REPLACEMENT_SURROGATE 37

static BOOL IsHighSurrogate(WCHAR c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

static BOOL IsLowSurrogate(WCHAR c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

// The index in Replacements of what c is shown as, or -1 when it is shown as it stands. A
// surrogate that reaches this is unpaired: runs take whole pairs.
static int ReplacementIndex(WCHAR c)
{
    if (c < 0x20)
    {
        return c == L'\t' ? -1 : (int)c;
    }
    if (c >= 0x80 && c <= 0x9F)
    {
        return c == 0x85 ? REPLACEMENT_NEL : REPLACEMENT_C1;
    }
    switch (c)
    {
        case 0x7F:
            return REPLACEMENT_DEL;
        case 0x2028:
            return REPLACEMENT_LINE_SEPARATOR;
        case 0x2029:
            return REPLACEMENT_PARAGRAPH_SEPARATOR;
        default:
            return IsHighSurrogate(c) || IsLowSurrogate(c) ? REPLACEMENT_SURROGATE : -1;
    }
}

// The next piece of the count characters of text to show, from *at on: a run of characters
// shown as they stand, or one replacement (counted in *replaced). Sets *piece, advances *at and
// returns the piece's length; 0 at the end of the text.
static DWORD NextPiece(LPCWSTR text, DWORD count, DWORD* at, LPCWSTR* piece,
                       TEXT_REPLACEMENTS* replaced)
{
    DWORD start = *at;
    DWORD end = start;
    int index = -1;
    while (end < count)
    {
        WCHAR c = CharAt(text, end);
        // Printable ASCII first: nearly every character of a real database is one.
        if (c >= 0x20 && c < 0x7F)
        {
            end++;
            continue;
        }
        if (IsHighSurrogate(c) && end + 1 < count && IsLowSurrogate(CharAt(text, end + 1)))
        {
            end += 2;
            continue;
        }
        index = ReplacementIndex(c);
        if (index >= 0)
        {
            break;
        }
        end++;
    }
    if (end > start)
    {
        *piece = text + start;
        *at = end;
        return end - start;
    }
    if (index < 0)
    {
        return 0;
    }
    if (index == REPLACEMENT_SURROGATE)
    {
        replaced->surrogates++;
    }
    else if (index >= REPLACEMENT_NEL)
    {
        replaced->lineSeparators++;
    }
    else
    {
        replaced->controls++;
    }
    *piece = Replacements + index;
    *at = start + 1;
    return 1;
}

BOOL FileWriteText(HANDLE file, LPCWSTR text, DWORD count, TEXT_REPLACEMENTS* replaced)
{
    BOOL written = TRUE;
    DWORD at = 0;
    LPCWSTR piece;
    DWORD length;
    while ((length = NextPiece(text, count, &at, &piece, replaced)) != 0)
    {
        written &= FileWriteChars(file, piece, length);
    }
    return written;
}

BOOL AnyReplaced(const TEXT_REPLACEMENTS* replaced)
{
    return (replaced->controls | replaced->lineSeparators | replaced->surrogates) != 0;
}

// Formats into buffer (FORMAT_BUFFER_CHARS characters); returns the number of characters to
// write, 0 when there are none.
static DWORD FormatText(LPWSTR buffer, LPCWSTR format, va_list values)
{
    int count = wvsprintfW(buffer, format, values);
    if (count <= 0)
    {
        return 0;
    }
    if (count > FORMAT_BUFFER_CHARS - 1)
    {
        count = FORMAT_BUFFER_CHARS - 1;
    }
    // Wine's formatter counts the terminator of a result that it had to cut; that zero is not
    // text and must not reach the listing or the console.
    if (buffer[count - 1] == L'\0')
    {
        count--;
    }
    return (DWORD)count;
}

BOOL FilePrintf(HANDLE file, LPCWSTR format, ...)
{
    WCHAR buffer[FORMAT_BUFFER_CHARS];
    va_list values;
    va_start(values, format);
    DWORD count = FormatText(buffer, format, values);
    va_end(values);
    if (count == 0)
    {
        return FALSE;
    }
    return FileWriteBytes(file, buffer, count * sizeof(WCHAR));
}

// A diagnostic must not change the last error: the run turns the error of a failed listing step
// into its exit code after reporting it, and a console that refuses the text (standard error
// redirected to a file, say) would otherwise put its own code in that place.
static BOOL ConsoleWriteChars(HANDLE console, LPCWSTR text, DWORD count)
{
    DWORD written = 0;
    return WriteConsoleW(console, text, count, &written, NULL) && written == count;
}

BOOL ConsolePrintf(HANDLE console, LPCWSTR format, ...)
{
    DWORD error = GetLastError();
    WCHAR buffer[FORMAT_BUFFER_CHARS];
    va_list values;
    va_start(values, format);
    DWORD count = FormatText(buffer, format, values);
    va_end(values);
    BOOL shown = count != 0 && ConsoleWriteChars(console, buffer, count);
    SetLastError(error);
    return shown;
}

// A path echoed in a diagnostic must not fake a console line either.
BOOL ConsoleWriteText(HANDLE console, LPCWSTR text, DWORD count, TEXT_REPLACEMENTS* replaced)
{
    DWORD error = GetLastError();
    BOOL shown = TRUE;
    DWORD at = 0;
    LPCWSTR piece;
    DWORD length;
    while ((length = NextPiece(text, count, &at, &piece, replaced)) != 0)
    {
        shown &= ConsoleWriteChars(console, piece, length);
    }
    SetLastError(error);
    return shown;
}
