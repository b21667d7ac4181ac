// Benchmark-only replacement of kernel32's WriteFile that records the byte count of every call.
#include <windows.h>

// The recording build links the product's own objects unchanged. They reach WriteFile and
// ExitProcess through the import pointers __imp_WriteFile and __imp_ExitProcess; defining those
// pointers here makes the linker take ours and never pull kernel32's import stubs for them, so
// every call lands below. The real functions are looked up by name instead.
//
// This is a measuring instrument, not the product: it keeps its side file and its buffer in
// process-wide state, which the product never does.

// Environment variable naming the side file: one little-endian DWORD per WriteFile call, the
// number of bytes the call asked to write, in call order.
#define RECORD_VARIABLE L"SHIMLIST_BENCH_WRITES"

// Byte counts gathered before they go to the side file; written when full and at exit.
#define RECORD_BUFFER_COUNTS 16384

typedef BOOL(WINAPI* WRITE_FILE)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
typedef VOID(WINAPI* EXIT_PROCESS)(UINT);

static WRITE_FILE RealWriteFile;
static HANDLE RecordFile = INVALID_HANDLE_VALUE;
static DWORD RecordBuffer[RECORD_BUFFER_COUNTS];
static DWORD RecordCount;
static BOOL RecordFailed;

static void RealExitProcess(UINT exitCode)
{
    EXIT_PROCESS exitProcess =
        (EXIT_PROCESS)(void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "ExitProcess");
    if (exitProcess == NULL)
    {
        TerminateProcess(GetCurrentProcess(), exitCode);
    }
    exitProcess(exitCode);
}

static void Complain(LPCSTR text)
{
    DWORD written;
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD length = 0;
    while (text[length] != '\0')
    {
        length++;
    }
    RealWriteFile(console, text, length, &written, NULL);
}

// Opens the side file on first use; a recording that cannot be kept must not pass unnoticed,
// so every failure ends the process with an exit code of its own.
static void StartRecording(void)
{
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    RealWriteFile = (WRITE_FILE)(void*)GetProcAddress(kernel32, "WriteFile");
    if (RealWriteFile == NULL)
    {
        RealExitProcess(0xBE01);
    }
    WCHAR path[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(RECORD_VARIABLE, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
    {
        Complain("recording build: SHIMLIST_BENCH_WRITES names no side file\n");
        RealExitProcess(0xBE02);
    }
    RecordFile =
        CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (RecordFile == INVALID_HANDLE_VALUE)
    {
        Complain("recording build: cannot create the side file\n");
        RealExitProcess(0xBE03);
    }
}

static void FlushRecord(void)
{
    DWORD bytes = RecordCount * sizeof(DWORD);
    DWORD written = 0;
    if (bytes != 0 &&
        (!RealWriteFile(RecordFile, RecordBuffer, bytes, &written, NULL) || written != bytes))
    {
        RecordFailed = TRUE;
    }
    RecordCount = 0;
}

static BOOL WINAPI RecordingWriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written,
                                      LPOVERLAPPED overlapped)
{
    if (RealWriteFile == NULL)
    {
        StartRecording();
    }
    RecordBuffer[RecordCount++] = size;
    if (RecordCount == RECORD_BUFFER_COUNTS)
    {
        FlushRecord();
    }
    return RealWriteFile(file, buffer, size, written, overlapped);
}

static VOID WINAPI RecordingExitProcess(UINT exitCode)
{
    if (RealWriteFile != NULL)
    {
        FlushRecord();
        if (!CloseHandle(RecordFile) || RecordFailed)
        {
            Complain("recording build: the side file is incomplete\n");
            exitCode = 0xBE04;
        }
    }
    RealExitProcess(exitCode);
}

// The import pointers under their linker names (i686 names carry the stdcall decoration).
#if defined(_WIN64)
#define IMPORT_NAME(name, bytes) "__imp_" #name
#else
#define IMPORT_NAME(name, bytes) "__imp__" #name "@" #bytes
#endif

extern "C" const WRITE_FILE ImportWriteFile __asm__(IMPORT_NAME(WriteFile, 20));
extern "C" const WRITE_FILE ImportWriteFile = RecordingWriteFile;
extern "C" const EXIT_PROCESS ImportExitProcess __asm__(IMPORT_NAME(ExitProcess, 4));
extern "C" const EXIT_PROCESS ImportExitProcess = RecordingExitProcess;
