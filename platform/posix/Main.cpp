// The Linux command: its options, and where the listing goes.
#include "platform/posix/FrontEnd.h"
#include "output/Writers.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const char Usage[] =
    "usage: shimlist [--utf8 | --utf16] [--json | --stable] [--max-growth=N] [--] DATABASE\n"
    "       shimlist [--utf8 | --utf16] [--json | --stable] [--max-growth=N] -o DIR\n"
    "                [--] DATABASE...\n"
    "       shimlist -h | --help | --version\n";

static const char Help[] =
    "\n"
    "Lists every tag of a shim database (.sdb), depth first, one line each: its TAGID, tag\n"
    "value, name and value. The database format version and every failure go to standard\n"
    "error.\n"
    "\n"
    "Where the listing goes decides its form: into a regular file, the exact bytes of the\n"
    "Windows program (UTF-16LE, a byte-order mark, CR LF line ends); into a pipe, a terminal\n"
    "or a device, UTF-8 text with LF line ends and no byte-order mark.\n"
    "\n"
    "  --utf8     UTF-8 text wherever the listing goes, also into a file\n"
    "  --utf16    the exact bytes wherever the listing goes but a terminal: so\n"
    "             \"shimlist --utf16 DB | sha256sum\" gives the hash of \"shimlist DB > FILE\"\n"
    "  -o DIR     list each DATABASE into DIR/NAME.txt (NAME: its file name; DIR is made if\n"
    "             needed), with \"file K of N: DATABASE\" on standard error and the failures\n"
    "             listed at the end. A listing is written beside its name, synced and renamed\n"
    "             into place; a failed one is kept as DIR/NAME.txt.partial. A file that is\n"
    "             one of the DATABASEs is never replaced or removed. DIR/shimlist-index.tsv\n"
    "             names each DATABASE's size and SHA-256, its exit code and its listing's\n"
    "             name and SHA-256, and this shimlist's version and commit.\n"
    "  --json     JSON Lines instead of the listing, UTF-8 text wherever it goes: one object\n"
    "             per tag, in the listing's order: id (its TAGID), parent (its list's TAGID,\n"
    "             null at the top), depth, tag, type (NULL, BYTE ... BINARY, or a number for\n"
    "             an undefined one), name, raw (the number, text or lower-case hex bytes that\n"
    "             the file holds; null when unreadable) and value (the listing's text after\n"
    "             \": \"); PATCH_BITS adds patch (its records: action, module, rva, length,\n"
    "             pattern, unknown) and rest. An object whose line was cut off ends with\n"
    "             \"cut\":true. No header object. With -o, DIR/NAME.jsonl\n"
    "  --stable   the listing for diff: no TAGID column, no path in the header, no top-level\n"
    "             INDEXES or first STRINGTABLE; a TAGID value and the -t0x... of a\n"
    "             COMMAND_LINE name the tag's place: DATABASE[name]/LIBRARY/SHIM[name]\n"
    "  --max-growth=N  stop a listing that passes N times its database's size (unpacked)\n"
    "             and 16 MiB: a crafted file can make one far larger than any real one (5 to\n"
    "             11 times); N is 64 unless given, 0 for no limit\n"
    "  --         what follows is a DATABASE, also when it starts with \"-\"; put it before\n"
    "             a glob: shimlist -o out -- *.sdb\n"
    "  -          a DATABASE read from standard input; the header names it \"-\"\n"
    "  -h, --help this text, alone       --version  the version and commit, alone\n"
    "\n"
    "DATABASE is a path taken literally: exactly the file it names is listed, opened once.\n"
    "\n"
    "Exit code: 0 for a complete listing; otherwise the Windows error code of what failed,\n"
    "named on standard error (\"shimlist: 2: the file does not exist\"), for example 2 a\n"
    "missing file, 5 a folder, 11 not a shim database, 38 a database cut short, 112 a full\n"
    "disk, 160 wrong arguments, 1392 a damaged database, 1816 a listing stopped at its limit.\n"
    "A cut or damaged database is listed as far as it can be read, and said so in one line.\n"
    "A code above 255 reaches the shell as 255 and standard error shows it whole. With -o,\n"
    "the first failing database's code. See shimlist(1).\n";

// Writes the whole text to standard output, for --help and --version.
static void WriteOut(const char* text)
{
    if (!PosixWriteAll(STDOUT_FILENO, text, strlen(text)))
    {
        if (errno == EPIPE)
        {
            PosixEndForGoneReader();
        }
        DWORD error = PosixErrorFromErrno(errno);
        ConsolePrintf(ErrorHandle(), L"shimlist: the text cannot be written: error %lu\n", error);
        PosixEnd(error);
    }
}

[[noreturn]] static void UsageError(LPCWSTR problem, LPCWSTR name)
{
    ConsolePrintf(ErrorHandle(), L"shimlist: %ls", problem);
    if (name != NULL)
    {
        ConsolePrintf(ErrorHandle(), L" '");
        ShowName(name);
        ConsolePrintf(ErrorHandle(), L"'");
    }
    ConsolePrintf(ErrorHandle(), L"\n");
    ConsolePrintf(ErrorHandle(), L"%ls", WideOf(Usage));
    ConsolePrintf(ErrorHandle(), L"Try 'shimlist --help' for more.\n");
    PosixEnd(ERROR_BAD_ARGUMENTS);
}

// A closed standard descriptor is given /dev/null, so that no file the command opens takes its
// number and receives what was meant for it. Tells whether descriptor was closed.
static bool FillIfClosed(int descriptor)
{
    if (fcntl(descriptor, F_GETFD) >= 0 || errno != EBADF)
    {
        return false;
    }
    int null = open("/dev/null", O_RDWR);
    if (null >= 0 && null != descriptor)
    {
        dup2(null, descriptor);
        close(null);
    }
    return true;
}

int main(int argc, char** argv)
{
    // A standard error whose reader has gone must not end the listing; the listing's own
    // reader going away still ends it (Listing.cpp).
    signal(SIGPIPE, SIG_IGN);
    bool inputClosed = FillIfClosed(STDIN_FILENO);
    bool outputClosed = FillIfClosed(STDOUT_FILENO);
    FillIfClosed(STDERR_FILENO);
    PosixKeepReportChannel();

    // Every argument is text: a name that is not UTF-8 cannot be given to the program, and
    // any text put in its place would name another file.
    for (int index = 1; index < argc; index++)
    {
        size_t length = strlen(argv[index]);
        LPWSTR wide = (LPWSTR)malloc((length + 1) * sizeof(WCHAR));
        if (wide == NULL || PosixUtf16FromUtf8(argv[index], wide) < 0)
        {
            ConsolePrintf(ErrorHandle(),
                          wide == NULL ? L"shimlist: not enough memory for argument %lu\n"
                                       : L"shimlist: argument %lu is not valid UTF-8; shimlist "
                                         L"opens a file only by its exact name, which must be "
                                         L"UTF-8 text\n",
                          (DWORD)index);
            PosixEnd(wide == NULL ? ERROR_NOT_ENOUGH_MEMORY : ERROR_NO_UNICODE_TRANSLATION);
        }
        free(wide);
    }

    const char* folder = NULL;
    int formOption = -1;
    LISTING_VIEW_KIND view = LISTING_VIEW_NONE;
    DWORD growth = LISTING_GROWTH_DEFAULT;
    bool growthGiven = false;
    bool help = false, version = false, optionsEnded = false;
    char** databases = (char**)malloc((size_t)argc * sizeof(char*));
    int count = 0;
    if (databases == NULL)
    {
        ConsolePrintf(ErrorHandle(), L"shimlist: not enough memory\n");
        PosixEnd(ERROR_NOT_ENOUGH_MEMORY);
    }
    for (int index = 1; index < argc; index++)
    {
        const char* argument = argv[index];
        if (optionsEnded || argument[0] != '-' || argument[1] == 0)
        {
            databases[count++] = argv[index];
        }
        else if (strcmp(argument, "--") == 0)
        {
            optionsEnded = true;
        }
        else if (strcmp(argument, "-h") == 0 || strcmp(argument, "--help") == 0 ||
                 strcmp(argument, "--version") == 0)
        {
            // Only alone: a file named --help among a folder's names must not turn a listing
            // into this text.
            if (argc != 2)
            {
                UsageError(L"this option takes no other arguments:", WideOf(argument));
            }
            help = argument[1] == 'h' || argument[2] == 'h';
            version = !help;
        }
        else if (strcmp(argument, "--utf8") == 0 || strcmp(argument, "--utf16") == 0)
        {
            if (formOption >= 0)
            {
                UsageError(L"the form of the listing is given twice, again by", WideOf(argument));
            }
            formOption = strcmp(argument, "--utf8") == 0 ? POSIX_LISTING_UTF8 : POSIX_LISTING_EXACT;
        }
        else if (strcmp(argument, "--json") == 0 || strcmp(argument, "--stable") == 0)
        {
            if (view != LISTING_VIEW_NONE)
            {
                UsageError(L"--json and --stable exclude each other and are given once, again by",
                           WideOf(argument));
            }
            view = argument[2] == 'j' ? LISTING_VIEW_JSON : LISTING_VIEW_STABLE;
        }
        else if (strncmp(argument, "--max-growth=", 13) == 0)
        {
            if (growthGiven)
            {
                UsageError(L"--max-growth is given twice, again by", WideOf(argument));
            }
            growthGiven = true;
            char* end = NULL;
            errno = 0;
            unsigned long long value = strtoull(argument + 13, &end, 10);
            if (argument[13] < '0' || argument[13] > '9' || *end != 0 || errno != 0 ||
                value > 0xFFFFFFFFull)
            {
                UsageError(L"--max-growth takes a whole number, not", WideOf(argument + 13));
            }
            growth = (DWORD)value;
        }
        else if (strcmp(argument, "-o") == 0)
        {
            // Only as an argument of its own: a file named -o..sdb that a glob puts among the
            // names must not become an option that sends every listing elsewhere.
            if (index + 1 == argc)
            {
                UsageError(L"-o needs a folder", NULL);
            }
            if (folder != NULL)
            {
                UsageError(L"-o is given twice", NULL);
            }
            folder = argv[++index];
        }
        else
        {
            UsageError(L"unknown option", WideOf(argument));
        }
    }

    if (help || version)
    {
        if (outputClosed)
        {
            ConsolePrintf(ErrorHandle(), L"shimlist: standard output is closed\n");
            PosixEnd(ERROR_INVALID_HANDLE);
        }
        if (help)
        {
            WriteOut(Usage);
        }
        WriteOut(help ? Help : ShimlistVersionLine());
        PosixEnd(ERROR_SUCCESS);
    }
    if (count == 0)
    {
        UsageError(L"no database given", NULL);
    }
    if (view == LISTING_VIEW_JSON && formOption == POSIX_LISTING_EXACT)
    {
        UsageError(L"--json is always UTF-8 text; it takes no", L"--utf16");
    }
    if (view == LISTING_VIEW_JSON)
    {
        formOption = POSIX_LISTING_UTF8;
    }
    StartView(view);
    if (folder == NULL && count > 1)
    {
        UsageError(L"one database at a time; -o DIR lists several", NULL);
    }
    for (int index = 0; index < count; index++)
    {
        if (strcmp(databases[index], "-") == 0 && inputClosed)
        {
            ConsolePrintf(ErrorHandle(), L"shimlist: standard input is closed\n");
            PosixEnd(ERROR_INVALID_HANDLE);
        }
    }
    LPCWSTR* paths = (LPCWSTR*)malloc((size_t)argc * sizeof(LPCWSTR));
    if (paths == NULL)
    {
        ConsolePrintf(ErrorHandle(), L"shimlist: not enough memory\n");
        PosixEnd(ERROR_NOT_ENOUGH_MEMORY);
    }
    for (int index = 0; index < count; index++)
    {
        paths[index] = WideOf(databases[index]);
    }

    if (folder != NULL)
    {
        POSIX_LISTING_FORM form =
            formOption == POSIX_LISTING_UTF8 ? POSIX_LISTING_UTF8 : POSIX_LISTING_EXACT;
        PosixEnd(ListIntoFolder(folder, databases, paths, count, form, growth));
    }
    if (outputClosed)
    {
        ConsolePrintf(ErrorHandle(), L"shimlist: standard output is closed\n");
        PosixEnd(ERROR_INVALID_HANDLE);
    }
    // The exact bytes into a file; text that grep and less read anywhere else.
    struct stat status;
    bool file = fstat(STDOUT_FILENO, &status) == 0 && S_ISREG(status.st_mode);
    POSIX_LISTING_FORM form = formOption >= 0 ? (POSIX_LISTING_FORM)formOption
                              : file          ? POSIX_LISTING_EXACT
                                              : POSIX_LISTING_UTF8;
    PosixSetListingForm(form);
    int pinned = OpenDatabase(databases[0]);
    WatchRun(pinned, growth, -1);
    RunProgram(paths[0], pinned);
}
