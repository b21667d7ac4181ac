// Test program for the harness: writes given text to the console, its command line to standard
// output, and exits with a given code.
//
//   ECHO_CONSOLE  text shown with WriteConsoleW on the standard error handle
//   ECHO_EXIT     exit code (decimal or 0x hex, all 32 bits); without it, 0, or the error code
//                 of a failed write to standard output
//   ECHO_SLEEP    milliseconds to wait before exiting
//   ECHO_CRASH    if set, the program ends by writing through a null pointer
//   ECHO_ARGV     if set, standard output receives the arguments as CommandLineToArgvW splits
//                 them, each followed by a line feed, instead of the raw command line
// Standard output receives the raw command line as UTF-16LE, so tests see exactly what arrived.
#include <windows.h>
#include <shellapi.h>
#include <stdlib.h>
#include <wchar.h>

int main()
{
    static wchar_t text[32768];
    DWORD length = GetEnvironmentVariableW(L"ECHO_CONSOLE", text, ARRAYSIZE(text));
    if (length > 0 && length < ARRAYSIZE(text))
    {
        DWORD written = 0;
        WriteConsoleW(GetStdHandle(STD_ERROR_HANDLE), text, length, &written, NULL);
    }

    UINT code = 0;
    const wchar_t* commandLine = GetCommandLineW();
    static wchar_t split[32768];
    if (GetEnvironmentVariableW(L"ECHO_ARGV", text, ARRAYSIZE(text)) > 0)
    {
        int count = 0;
        wchar_t** argv = CommandLineToArgvW(commandLine, &count);
        split[0] = L'\0';
        for (int i = 0; argv != NULL && i < count; i++)
        {
            wcsncat(split, argv[i], ARRAYSIZE(split) - wcslen(split) - 2);
            wcscat(split, L"\n");
        }
        LocalFree(argv);
        commandLine = split;
    }
    // A write may take only part of the data (a nearly full disk): write the rest, until a
    // write fails.
    const char* data = (const char*)commandLine;
    DWORD bytes = (DWORD)(wcslen(commandLine) * sizeof(wchar_t));
    while (bytes > 0)
    {
        DWORD written = 0;
        if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), data, bytes, &written, NULL))
        {
            code = GetLastError();
            break;
        }
        data += written;
        bytes -= written;
    }

    length = GetEnvironmentVariableW(L"ECHO_EXIT", text, ARRAYSIZE(text));
    if (length > 0 && length < ARRAYSIZE(text))
    {
        code = (UINT)wcstoul(text, NULL, 0);
    }
    length = GetEnvironmentVariableW(L"ECHO_SLEEP", text, ARRAYSIZE(text));
    if (length > 0 && length < ARRAYSIZE(text))
    {
        Sleep((DWORD)wcstoul(text, NULL, 0));
    }
    if (GetEnvironmentVariableW(L"ECHO_CRASH", text, ARRAYSIZE(text)) > 0)
    {
        *(volatile int*)(ULONG_PTR)code = 0;
    }
    ExitProcess(code);
}
