// The process entry on Linux: turns the arguments into a Windows command line and runs shimlist.
#include "platform/posix/Posix.h"

#include <stdlib.h>
#include <string.h>

extern "C" void WINAPI EntryPoint(void);

// Appends one argument, quoted so that the program's splitter gives it back exactly: inside
// quotes, backslashes count only before a quote, where they are doubled, and a quote of the
// argument is escaped with one more backslash.
static WCHAR* AppendQuoted(WCHAR* out, const WCHAR* argument, long count)
{
    *out++ = L'"';
    long backslashes = 0;
    for (long index = 0; index < count; index++)
    {
        WCHAR c = argument[index];
        if (c == L'\\')
        {
            backslashes++;
            continue;
        }
        long repeat = c == L'"' ? 2 * backslashes + 1 : backslashes;
        for (long times = 0; times < repeat; times++)
        {
            *out++ = L'\\';
        }
        backslashes = 0;
        *out++ = c;
    }
    for (long times = 0; times < 2 * backslashes; times++)
    {
        *out++ = L'\\';
    }
    *out++ = L'"';
    return out;
}

int main(int argc, char** argv)
{
    // Each argument becomes at most one unit per byte, each unit at most two in the line, and
    // each argument adds two quotes and a blank.
    size_t room = 1;
    for (int index = 0; index < argc; index++)
    {
        room += 2 * strlen(argv[index]) + 3;
    }
    WCHAR* line = (WCHAR*)malloc(room * sizeof(WCHAR));
    size_t longest = 0;
    for (int index = 0; index < argc; index++)
    {
        size_t length = strlen(argv[index]);
        longest = length > longest ? length : longest;
    }
    WCHAR* argument = (WCHAR*)malloc((longest + 1) * sizeof(WCHAR));
    if (line == NULL || argument == NULL)
    {
        PosixReport(L"shimlist: not enough memory for the command line\n");
        ExitProcess(ERROR_NOT_ENOUGH_MEMORY);
    }

    WCHAR* end = line;
    for (int index = 0; index < argc; index++)
    {
        long count = PosixUtf16FromUtf8(argv[index], argument);
        if (count < 0 && index == 0)
        {
            // The program's own name is never used; a folder with an odd name must not stop it.
            static const WCHAR Name[] = L"shimlist";
            memcpy(argument, Name, sizeof(Name));
            count = (long)(sizeof(Name) / sizeof(WCHAR) - 1);
        }
        if (count < 0)
        {
            // Such a name cannot be given to the program as text, and any text put in its
            // place would name another file.
            PosixReport(L"shimlist: argument %lu is not valid UTF-8; shimlist opens a file only "
                        L"by its exact name, which must be UTF-8 text\n",
                        (DWORD)index);
            ExitProcess(ERROR_NO_UNICODE_TRANSLATION);
        }
        if (index > 0)
        {
            *end++ = L' ';
        }
        end = AppendQuoted(end, argument, count);
    }
    *end = 0;
    free(argument);
    PosixSetCommandLine(line);
    PosixKeepReportChannel();
    EntryPoint();
    return 0;
}
