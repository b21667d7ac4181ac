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

DWORD TextLength(LPCWSTR text)
{
    DWORD length = 0;
    while (text[length] != L'\0')
    {
        length++;
    }
    return length;
}

BOOL FileWriteChars(HANDLE file, LPCWSTR text, DWORD count)
{
    return FileWriteBytes(file, text, count * sizeof(WCHAR));
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
BOOL ConsolePrintf(HANDLE console, LPCWSTR format, ...)
{
    DWORD error = GetLastError();
    WCHAR buffer[FORMAT_BUFFER_CHARS];
    va_list values;
    va_start(values, format);
    DWORD count = FormatText(buffer, format, values);
    va_end(values);
    DWORD written = 0;
    BOOL shown =
        count != 0 && WriteConsoleW(console, buffer, count, &written, NULL) && written == count;
    SetLastError(error);
    return shown;
}
