// Test launcher: starts a program with an exact raw command line and records its full 32-bit exit
// code.
//
// Wine rebuilds a program's command line from its Unix arguments and passes only the low 8 bits
// of an exit code back to Linux, so tests that need either start the program through this
// launcher. It is driven by environment variables, which it removes before starting the program:
//   SHIMLIST_LAUNCH_APP      Windows path of the program
//   SHIMLIST_LAUNCH_CMDLINE  Windows path of a file holding the command line as UTF-16LE
//   SHIMLIST_LAUNCH_STATUS   Windows path of a file that receives "exit XXXXXXXX" (hex) or
//                            "error N" when the program cannot be started
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

static wchar_t* TakeVariable(const wchar_t* name)
{
    DWORD length = GetEnvironmentVariableW(name, NULL, 0);
    if (length == 0)
    {
        return NULL;
    }
    wchar_t* value = (wchar_t*)calloc(length, sizeof(wchar_t));
    if (value == NULL || GetEnvironmentVariableW(name, value, length) != length - 1)
    {
        free(value);
        return NULL;
    }
    SetEnvironmentVariableW(name, NULL);
    return value;
}

// Reads the whole command-line file; NULL when it cannot be read or is not whole characters.
static wchar_t* ReadCommandLine(const wchar_t* path)
{
    FILE* file = _wfopen(path, L"rb");
    if (file == NULL)
    {
        return NULL;
    }
    wchar_t* text = (wchar_t*)calloc(32769, sizeof(wchar_t));
    size_t bytes = text != NULL ? fread(text, 1, 32768 * sizeof(wchar_t), file) : 0;
    bool whole = text != NULL && !ferror(file) && feof(file) && bytes % sizeof(wchar_t) == 0;
    fclose(file);
    if (!whole)
    {
        free(text);
        return NULL;
    }
    return text;
}

static void WriteStatus(const wchar_t* path, const char* text)
{
    FILE* file = _wfopen(path, L"wb");
    if (file == NULL)
    {
        fprintf(stderr, "launch: cannot write the status file\n");
        return;
    }
    fputs(text, file);
    fclose(file);
}

int main()
{
    wchar_t* app = TakeVariable(L"SHIMLIST_LAUNCH_APP");
    wchar_t* commandLinePath = TakeVariable(L"SHIMLIST_LAUNCH_CMDLINE");
    wchar_t* status = TakeVariable(L"SHIMLIST_LAUNCH_STATUS");
    if (app == NULL || commandLinePath == NULL || status == NULL)
    {
        fprintf(stderr, "launch: SHIMLIST_LAUNCH_APP, _CMDLINE and _STATUS must be set\n");
        return 2;
    }
    wchar_t* commandLine = ReadCommandLine(commandLinePath);
    if (commandLine == NULL)
    {
        WriteStatus(status, "error 13");
        return 2;
    }

    // The program gets exactly our standard handles, whatever they are (also invalid ones).
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    char text[32];
    if (!CreateProcessW(app, commandLine, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process))
    {
        snprintf(text, sizeof(text), "error %lu", GetLastError());
        WriteStatus(status, text);
        return 2;
    }
    DWORD code = 0;
    if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process.hProcess, &code))
    {
        snprintf(text, sizeof(text), "error %lu", GetLastError());
        WriteStatus(status, text);
        return 2;
    }
    snprintf(text, sizeof(text), "exit %08lx", code);
    WriteStatus(status, text);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return (int)(code & 0xFF);
}
