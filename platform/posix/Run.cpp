// Running the program on one database for the Linux command: its command line, its one open,
// messages. once, and the command's messages.
#include "platform/posix/FrontEnd.h"
#include "output/Writers.h"
#include "ShimlistVersion.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" void WINAPI EntryPoint(void);

static const char Version[] = "shimlist " SHIMLIST_VERSION_TEXT " (commit " SHIMLIST_COMMIT ")\n";

const char* ShimlistVersionLine(void)
{
    return Version;
}

HANDLE ErrorHandle(void)
{
    return PosixHandleOf(STDERR_FILENO);
}

void ShowName(LPCWSTR name)
{
    TEXT_REPLACEMENTS replaced = {0, 0, 0};
    ConsoleWriteText(ErrorHandle(), name, TextLength(name), &replaced);
}

LPWSTR WideOf(const char* text)
{
    LPWSTR wide = (LPWSTR)malloc((strlen(text) + 1) * sizeof(WCHAR));
    if (wide == NULL)
    {
        ConsolePrintf(ErrorHandle(), L"shimlist: not enough memory\n");
        PosixEnd(ERROR_NOT_ENOUGH_MEMORY);
    }
    long count = PosixUtf16FromUtf8(text, wide);
    wide[count < 0 ? 0 : count] = 0;
    return wide;
}

// Appends one argument, quoted so that the program's splitter gives it back exactly: inside
// quotes, backslashes count only before a quote, where they are doubled, and a quote of the
// argument is escaped with one more backslash.
static WCHAR* AppendQuoted(WCHAR* out, LPCWSTR argument)
{
    *out++ = L'"';
    long backslashes = 0;
    for (; *argument != 0; argument++)
    {
        WCHAR c = *argument;
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

void RunProgram(LPCWSTR path, int pinned)
{
    static const WCHAR Name[] = L"\"shimlist\" ";
    // Each unit of the path becomes at most two in the line, and the quotes and zero follow.
    WCHAR* line = (WCHAR*)malloc((ARRAYSIZE(Name) + 2 * TextLength(path) + 3) * sizeof(WCHAR));
    if (line == NULL)
    {
        ConsolePrintf(ErrorHandle(), L"shimlist: not enough memory for the command line\n");
        PosixEnd(ERROR_NOT_ENOUGH_MEMORY);
    }
    memcpy(line, Name, sizeof(Name));
    *AppendQuoted(line + ARRAYSIZE(Name) - 1, path) = 0;
    PosixSetCommandLine(line);
    if (pinned >= 0)
    {
        PosixPinDatabase(path, pinned);
    }
    EntryPoint();
    PosixEnd(ERROR_GEN_FAILURE);
}

// Standard input as a database: a file as it is, anything else read into a file of its own,
// up to one byte past the largest database the library takes, which then refuses it.
static int OpenStandardInput(void)
{
    struct stat status;
    if (fstat(STDIN_FILENO, &status) != 0)
    {
        return -1;
    }
    if (S_ISREG(status.st_mode))
    {
        return STDIN_FILENO;
    }
    if (isatty(STDIN_FILENO))
    {
        ConsolePrintf(ErrorHandle(), L"shimlist: standard input is a terminal, not a database\n");
        PosixEnd(ERROR_BAD_FORMAT);
    }
    int copy = memfd_create("shimlist-standard-input", MFD_CLOEXEC);
    if (copy < 0)
    {
        return -1;
    }
    char buffer[65536];
    size_t total = 0;
    while (total <= SDB_MAX_FILE_SIZE)
    {
        ssize_t got = read(STDIN_FILENO, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got < 0)
        {
            DWORD error = PosixErrorFromErrno(errno);
            ConsolePrintf(ErrorHandle(), L"shimlist: standard input cannot be read: error %lu\n",
                          error);
            PosixEnd(error);
        }
        if (got == 0)
        {
            break;
        }
        if (!PosixWriteAll(copy, buffer, (size_t)got))
        {
            DWORD error = PosixErrorFromErrno(errno);
            ConsolePrintf(ErrorHandle(),
                          L"shimlist: no room for standard input's database: error %lu\n", error);
            PosixEnd(error);
        }
        total += (size_t)got;
    }
    return copy;
}

int OpenDatabase(const char* name)
{
    if (strcmp(name, "-") == 0)
    {
        return OpenStandardInput();
    }
    return open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}
