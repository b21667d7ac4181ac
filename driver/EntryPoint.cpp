// The process entry: from the command line to the listing file and the exit code.
#include "driver/CommandLine.h"
#include "listing/DumpTagList.h"
#include "output/Writers.h"
#include "sdb/Sdb.h"

static const WCHAR ReturnedError[] = L"%ls() returned error %lu\n";

// The header goes out in three pieces so that a path of any length appears whole: the formatter
// keeps at most 1024 characters, and the longest path the system accepts has 32,767.
static const WCHAR HeaderLead[] = L"\xFEFF"
                                  L"Shim database file:\t";
static const WCHAR HeaderRest[] = L"\r\nShim database version:\t%lu.%lu\r\n\r\n"
                                  L"TAGID\t\tTAG    = TAGSTRING: TAGVALUE\r\n\r\n";

// Writes the listing's header; on failure returns 0 with the last error of the failed write.
// The path is the user's, but a file name may hold a line end: it is written like database text.
static BOOL WriteHeader(HANDLE file, LPCWSTR path, DWORD major, DWORD minor,
                        TEXT_REPLACEMENTS* replaced)
{
    if (!FileWriteChars(file, HeaderLead, ARRAYSIZE(HeaderLead) - 1))
    {
        return FALSE;
    }
    if (!FileWriteText(file, path, TextLength(path), replaced))
    {
        return FALSE;
    }
    return FilePrintf(file, HeaderRest, major, minor);
}

// Says that the path, as the header or a message shows it, differs from the real one.
static void ReportPathReplacements(HANDLE console, const TEXT_REPLACEMENTS* replaced)
{
    if (AnyReplaced(replaced))
    {
        ConsolePrintf(console,
                      L"Path of the database shown with replacements: control characters %lu, "
                      L"line separators %lu, unpaired surrogates %lu\n",
                      replaced->controls, replaced->lineSeparators, replaced->surrogates);
    }
}

// Reports a database that cannot be opened. The path is written past the formatter, which keeps
// at most 1024 characters, so that the message names it whole and a line end in it cannot start
// a console line of its own.
static void ReportOpenFailure(HANDLE console, LPCWSTR path)
{
    TEXT_REPLACEMENTS replaced = {0, 0, 0};
    ConsolePrintf(console, L"%ls() returned NULL for file '", L"SdbOpenDatabase");
    ConsoleWriteText(console, path, TextLength(path), &replaced);
    ConsolePrintf(console, L"'\n");
    ReportPathReplacements(console, &replaced);
}

// Shows the version, opens the database and lists it. Returns the exit code of the run.
static DWORD ListDatabase(HANDLE console, HANDLE file, LPCWSTR path)
{
    DWORD exitCode = 0;
    // A file whose version cannot be read may still open; its header then shows 0.0, whatever
    // the failed query left in the two numbers.
    DWORD major = 0, minor = 0;
    if (SdbGetDatabaseVersion(path, &major, &minor))
    {
        ConsolePrintf(console, L"Shim database version: %lu.%lu\n", major, minor);
    }
    else
    {
        major = minor = 0;
    }

    SetLastError(0);
    PDB pdb = SdbOpenDatabase(path, DOS_PATH);
    if (pdb == NULL)
    {
        // A database that cannot be opened is a failed run, even where the library leaves no
        // error code behind.
        exitCode = GetLastError();
        if (exitCode == 0)
        {
            exitCode = ERROR_OPEN_FAILED;
        }
        ReportOpenFailure(console, path);
        return exitCode;
    }

    TEXT_REPLACEMENTS replaced = {0, 0, 0};
    if (!WriteHeader(file, path, major, minor, &replaced))
    {
        exitCode = GetLastError();
        if (exitCode == 0)
        {
            exitCode = ERROR_WRITE_FAULT;
        }
        ConsolePrintf(console, ReturnedError, L"WriteFile", exitCode);
    }
    ReportPathReplacements(console, &replaced);
    // The walk goes on after a failed header; the header's code then stays the run's code. A
    // failed write outranks lists left out for nesting too deep.
    WALK_NOTES notes = {FALSE, 0, {0, 0, 0}};
    if (!DumpTagList(console, file, pdb, TAGID_ROOT, 0, &notes) && exitCode == 0)
    {
        exitCode = GetLastError();
        if (exitCode == 0)
        {
            exitCode = ERROR_WRITE_FAULT;
        }
    }
    if (notes.cutOff && exitCode == 0)
    {
        exitCode = ERROR_STACK_OVERFLOW;
    }
    SdbCloseDatabase(pdb);
    return exitCode;
}

// Resources are taken in the order error handle, argument block, output handle, database, and
// released in the reverse order on every path that took them.
extern "C" void WINAPI EntryPoint(void)
{
    DWORD exitCode = ERROR_BAD_ARGUMENTS;
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    if (console == INVALID_HANDLE_VALUE)
    {
        ExitProcess(GetLastError());
    }

    int count = 0;
    LPWSTR* arguments = CommandLineToArgv(GetCommandLineW(), &count);
    if (arguments == NULL)
    {
        exitCode = GetLastError();
        ConsolePrintf(console, ReturnedError, L"CommandLineToArgv", exitCode);
    }
    else
    {
        // An unterminated quote leaves last error 160 but still yields the argument: the rest
        // of the line is taken as the path.
        if (count != 2)
        {
            ConsolePrintf(console, L"No argument: a single file or path name of a shim database "
                                   L"must be given!\n");
        }
        else
        {
            HANDLE file = GetStdHandle(STD_OUTPUT_HANDLE);
            if (file == INVALID_HANDLE_VALUE)
            {
                exitCode = GetLastError();
                ConsolePrintf(console, ReturnedError, L"GetStdHandle", exitCode);
            }
            else
            {
                // Flushing fails on a console, so it tells whether the output is a file.
                if (!FlushFileBuffers(file))
                {
                    exitCode = GetLastError();
                    ConsolePrintf(console,
                                  L"%ls() returned error %lu: standard output is not "
                                  L"redirected to a file!\n",
                                  L"FlushFileBuffers", exitCode);
                }
                else
                {
                    exitCode = ListDatabase(console, file, arguments[1]);
                }
                // Where the platform holds the listing back, a full disk may show first at the
                // close: a run that has not failed yet fails with the close's code.
                if (!CloseHandle(file))
                {
                    DWORD error = GetLastError();
                    ConsolePrintf(console, ReturnedError, L"CloseHandle", error);
                    if (exitCode == 0)
                    {
                        exitCode = error != 0 ? error : ERROR_WRITE_FAULT;
                    }
                }
            }
        }
        if (LocalFree(arguments) != NULL)
        {
            ConsolePrintf(console, ReturnedError, L"LocalFree", GetLastError());
        }
    }
    // A failure to close the console can only be reported on the console itself, where it is
    // most likely lost; it is tried all the same.
    if (!CloseHandle(console))
    {
        ConsolePrintf(console, ReturnedError, L"CloseHandle", GetLastError());
    }
    ExitProcess(exitCode);
}
