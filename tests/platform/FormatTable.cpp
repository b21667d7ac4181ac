// Formats a table of the program's directives with wvsprintfW and writes every result raw, so
// that the platform's formatter and the POSIX layer's can be compared byte for byte.
#include <windows.h>

#include <stdarg.h>

// Room past the formatter's 1024 characters, filled with a mark, shows what a cut result
// leaves behind its end.
#define RESULT_CHARS 1030
#define MARK 0xA5A5

// Writes one case: the returned count as four bytes, then the whole buffer.
static void Case(HANDLE out, LPCWSTR format, ...)
{
    WCHAR buffer[RESULT_CHARS];
    for (int index = 0; index < RESULT_CHARS; index++)
    {
        buffer[index] = (WCHAR)MARK;
    }
    va_list values;
    va_start(values, format);
    int count = wvsprintfW(buffer, format, values);
    va_end(values);
    DWORD written;
    WriteFile(out, &count, sizeof(count), &written, NULL);
    WriteFile(out, buffer, sizeof(buffer), &written, NULL);
}

// A text of length characters, cycling through a visible alphabet.
static LPCWSTR Text(WCHAR* room, int length)
{
    for (int index = 0; index < length; index++)
    {
        room[index] = (WCHAR)(L'a' + index % 26);
    }
    room[length] = 0;
    return room;
}

int main(void)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    static WCHAR long1[2100], long2[2100];

    // Numbers as the listing writes them: widths, zeros, sizes, the extremes of each size.
    Case(out, L"%lu|%lu|%lu", 0u, 7u, 4294967295u);
    Case(out, L"0x%08lX|0x%08lX|0x%08lX", 0u, 0xDEADBEEFu, 0x1Au);
    Case(out, L"0x%04hX|0x%04hX|0x%04hX", 0xFFFFu, 0x1ABCDu, 0x7u);
    Case(out, L"%hu.%hu.%hu.%hu", 0u, 65535u, 65536u + 5u, 10u);
    Case(out, L"%02hu:%02hu|%03hu|%04hu|%04hu", 5u, 59u, 7u, 1601u, 30828u);
    Case(out, L"0x%016I64X|0x%016I64X|0x%016I64X", 0ULL, ~0ULL, 0x0123456789ABCDEFULL);
    Case(out, L"%lu.%lu|%%|100%%", 3u, 0u);
    Case(out, L"%lsday, %04hu-%02hu-%02hu %02hu:%02hu:%02hu.%03hu UTC\r\n", L"Wednes", 2017u, 12u,
         6u, 21u, 15u, 8u, 290u);
    Case(out, L"0x%08lX%ls0x%04hX = ", 0x12u, L"\t\t\t", 0x7803u);
    Case(out, L"%ls() returned error %lu for level %lu\n", L"WriteFile", 112u, 3u);
    Case(out, L"%ls|%ls|", L"", L"\x00E9\xD83D\xDE00\x2028");
    Case(out, L"");

    // Texts and literal runs at and around the cut: the whole result must be the same,
    // including what the formatter leaves in the buffer behind the count it returns.
    static const int Lengths[] = {1016, 1017, 1018, 1019, 1020, 1021, 1022, 1023, 1024, 1025, 2000};
    for (int length : Lengths)
    {
        Case(out, L": %ls\r\n", Text(long1, length));
        Case(out, L"0x%08lX %ls", 0xABCDu, Text(long1, length - 11));
        Case(out, Text(long2, length));
    }
    // A number cut in its middle, and a second text after a first that fills the buffer.
    Case(out, L"%ls%08lX", Text(long1, 1019), 0x12345678u);
    Case(out, L"%ls%016I64X", Text(long1, 1015), 0x0123456789ABCDEFULL);
    Case(out, L"%ls%ls", Text(long1, 1020), Text(long2, 10));
    Case(out, L"%ls%08lX", Text(long1, 1019), 0xABu);
    Case(out, L"%ls%08lX", Text(long1, 1021), 0xABu);
    Case(out, L"%ls%016I64X", Text(long1, 1012), 0xABCULL);
    Case(out, L"%ls%04hu", Text(long1, 1021), 7u);
    Case(out, L"%ls%lu", Text(long1, 1021), 4294967295u);
    Case(out, L"[%5ls][%2ls]", L"ab", L"abc");
    Case(out, L"%ls%6ls", Text(long1, 1019), L"ab");
    // The POSIX layer gathers standard output into blocks, which closing the handle writes out,
    // as the program's own run does.
    return CloseHandle(out) ? 0 : 1;
}
