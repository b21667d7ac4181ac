// Renderings of values: byte data, numbers, text, times, versions and GUIDs.
#include "listing/Renderings.h"
#include "listing/Tables.h"
#include "output/Writers.h"

// The file time of 1970-01-01 00:00:00 UTC, in 100-nanosecond intervals since 1601.
#define FILETIME_OF_1970 116444736000000000ULL
#define FILETIME_UNITS_PER_SECOND 10000000

// SdbGUIDToString is handed a buffer of this many characters.
#define GUID_TEXT_CHARS 40

BOOL WriteHexPairs(HANDLE file, const BYTE* data, DWORD size)
{
    BOOL written = TRUE;
    for (DWORD index = 0; index < size; index++)
    {
        written &= FileWriteChars(file, HexPairs + 2 * data[index], 2);
    }
    return written;
}

BOOL WriteByteData(HANDLE file, const BYTE* data, DWORD size)
{
    BOOL written = TRUE;
    if (size != 0)
    {
        written &= FileWriteChars(file, L": 0x", 4);
        written &= WriteHexPairs(file, data, size);
    }
    written &= FileWriteChars(file, L"\r\n", 2);
    return written;
}

BOOL WriteDwordValue(HANDLE file, DWORD value)
{
    return FilePrintf(file, L": 0x%08lX\r\n", value);
}

BOOL WriteQwordValue(HANDLE file, ULONGLONG value)
{
    return FilePrintf(file, L": 0x%016I64X\r\n", value);
}

BOOL WriteTextValue(HANDLE file, LPCWSTR text, TEXT_REPLACEMENTS* replaced)
{
    if (text == NULL)
    {
        return FileWriteChars(file, L"\r\n", 2);
    }
    // Written past the formatter, which would cut a text longer than its 1024 characters and
    // with it the line end; real databases hold strings of over 15,000 characters. A reference
    // in a damaged file can put the text at an odd address: TextLength and FileWriteText read
    // it two bytes at a time.
    BOOL written = FileWriteChars(file, L": ", 2);
    written &= FileWriteText(file, text, TextLength(text), replaced);
    written &= FileWriteChars(file, L"\r\n", 2);
    return written;
}

// Writes the calendar form of fileTime and sets *converted; when the platform refuses the value,
// reports that, writes nothing and clears *converted.
static BOOL WriteCalendarTime(HANDLE console, HANDLE file, ULONGLONG fileTime, BOOL* converted)
{
    FILETIME time;
    time.dwLowDateTime = (DWORD)fileTime;
    time.dwHighDateTime = (DWORD)(fileTime >> 32);
    SYSTEMTIME fields;
    // A value the platform cannot convert is shown in hexadecimal and the listing stays complete,
    // so its error code must not take the place of a failed write's, which the walk reports at
    // its end and the run turns into its exit code.
    DWORD listingError = GetLastError();
    if (!FileTimeToSystemTime(&time, &fields))
    {
        ConsolePrintf(console, L"%ls() returned error %lu\n", L"FileTimeToSystemTime",
                      GetLastError());
        SetLastError(listingError);
        *converted = FALSE;
        return TRUE;
    }
    *converted = TRUE;
    return FilePrintf(file, L": %lsday, %04hu-%02hu-%02hu %02hu:%02hu:%02hu.%03hu UTC\r\n",
                      DayStems[fields.wDayOfWeek % 7], fields.wYear, fields.wMonth, fields.wDay,
                      fields.wHour, fields.wMinute, fields.wSecond, fields.wMilliseconds);
}

BOOL WriteTimeFromFileTime(HANDLE console, HANDLE file, ULONGLONG fileTime)
{
    BOOL converted;
    BOOL written = WriteCalendarTime(console, file, fileTime, &converted);
    if (!converted)
    {
        written = WriteQwordValue(file, fileTime);
    }
    return written;
}

BOOL WriteTimeFromSeconds(HANDLE console, HANDLE file, DWORD seconds)
{
    // A 32 x 32 to 64-bit product plus a constant: the 32-bit build needs no 64-bit helpers.
    ULONGLONG fileTime = UInt32x32To64(seconds, FILETIME_UNITS_PER_SECOND) + FILETIME_OF_1970;
    BOOL converted;
    BOOL written = WriteCalendarTime(console, file, fileTime, &converted);
    if (!converted)
    {
        written = WriteDwordValue(file, seconds);
    }
    return written;
}

BOOL WriteVersionValue(HANDLE file, ULONGLONG version)
{
    return FilePrintf(file, L": %hu.%hu.%hu.%hu\r\n", (WORD)(version >> 48), (WORD)(version >> 32),
                      (WORD)(version >> 16), (WORD)version);
}

BOOL WriteGuidValue(HANDLE console, HANDLE file, const BYTE* data)
{
    WCHAR text[GUID_TEXT_CHARS];
    if (!SdbGUIDToString((const GUID*)data, text, GUID_TEXT_CHARS))
    {
        ConsolePrintf(console, L"SdbGUIDToString() returned FALSE!\n");
        return WriteByteData(file, data, sizeof(GUID));
    }
    // The text is the library's; the line must not run past the buffer even if it forgot the end.
    text[GUID_TEXT_CHARS - 1] = L'\0';
    return FilePrintf(file, L": %ls\r\n", text);
}
