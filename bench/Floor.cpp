// The floor of the listing benchmark: replays a recorded sequence of WriteFile calls and nothing
// else.
//
// Usage: set SHIMLIST_FLOOR_LISTING=LISTING and SHIMLIST_FLOOR_WRITES=WRITES, then shimlist_floor >
// OUT LISTING is a listing that the recording build wrote, WRITES its side file (one DWORD per
// WriteFile call: the bytes the call asked to write). The program issues exactly those calls,
// with exactly those bytes, to its standard output. Like shimlist it runs without a language
// runtime, so that the two differ only in the work between the writes. Unlike shimlist it may
// take heap memory: it holds both files whole before the first write. The paths come from the
// environment, not the command line: the splitter that Windows offers lives in shell32.dll, and
// loading that under Wine would cost the floor more start-up time than shimlist has.
#include <windows.h>

static DWORD Fail(HANDLE console, LPCWSTR what)
{
    DWORD error = GetLastError();
    WCHAR text[256];
    int length = wsprintfW(text, L"shimlist_floor: %ls failed, error %lu\n", what, error);
    DWORD written;
    if (length > 0)
    {
        WriteConsoleW(console, text, (DWORD)length, &written, NULL);
    }
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

// Reads a whole file into fresh memory; returns null with the last error set on failure.
static BYTE* ReadWholeFile(LPCWSTR path, DWORD* size)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
    {
        return NULL;
    }
    LARGE_INTEGER fileSize;
    BYTE* bytes = NULL;
    if (GetFileSizeEx(file, &fileSize) && fileSize.QuadPart < 0x7FFFFFFF)
    {
        *size = (DWORD)fileSize.QuadPart;
        bytes = (BYTE*)VirtualAlloc(NULL, *size + 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }
    DWORD done = 0;
    while (bytes != NULL && done < *size)
    {
        DWORD got = 0;
        if (!ReadFile(file, bytes + done, *size - done, &got, NULL) || got == 0)
        {
            VirtualFree(bytes, 0, MEM_RELEASE);
            bytes = NULL;
            SetLastError(ERROR_READ_FAULT);
            break;
        }
        done += got;
    }
    DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    return bytes;
}

static DWORD Replay(HANDLE console, LPCWSTR listingPath, LPCWSTR writesPath)
{
    DWORD listingSize;
    DWORD writesSize;
    const BYTE* listing = ReadWholeFile(listingPath, &listingSize);
    if (listing == NULL)
    {
        return Fail(console, L"reading the listing");
    }
    const DWORD* writes = (const DWORD*)ReadWholeFile(writesPath, &writesSize);
    if (writes == NULL)
    {
        return Fail(console, L"reading the side file");
    }
    DWORD calls = writesSize / sizeof(DWORD);
    ULONGLONG total = 0;
    for (DWORD call = 0; call < calls; call++)
    {
        total += writes[call];
    }
    if (writesSize % sizeof(DWORD) != 0 || total != listingSize)
    {
        SetLastError(ERROR_INVALID_DATA);
        return Fail(console, L"matching the side file to the listing");
    }

    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == INVALID_HANDLE_VALUE)
    {
        return Fail(console, L"GetStdHandle");
    }
    const BYTE* position = listing;
    for (DWORD call = 0; call < calls; call++)
    {
        DWORD written = 0;
        if (!WriteFile(output, position, writes[call], &written, NULL) || written != writes[call])
        {
            return Fail(console, L"WriteFile");
        }
        position += writes[call];
    }
    if (!CloseHandle(output))
    {
        return Fail(console, L"CloseHandle");
    }
    return 0;
}

extern "C" void WINAPI EntryPoint(void)
{
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    WCHAR listingPath[MAX_PATH];
    WCHAR writesPath[MAX_PATH];
    DWORD listingLength = GetEnvironmentVariableW(L"SHIMLIST_FLOOR_LISTING", listingPath, MAX_PATH);
    DWORD writesLength = GetEnvironmentVariableW(L"SHIMLIST_FLOOR_WRITES", writesPath, MAX_PATH);
    DWORD exitCode;
    if (listingLength == 0 || listingLength >= MAX_PATH || writesLength == 0 ||
        writesLength >= MAX_PATH)
    {
        SetLastError(ERROR_BAD_ENVIRONMENT);
        exitCode = Fail(console, L"SHIMLIST_FLOOR_LISTING and SHIMLIST_FLOOR_WRITES: the paths");
    }
    else
    {
        exitCode = Replay(console, listingPath, writesPath);
    }
    ExitProcess(exitCode);
}
