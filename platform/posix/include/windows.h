// The part of the Windows API that shimlist and the stand-in use, declared for the POSIX layer.
#pragma once

// Text is UTF-16 on both platforms: the layer is compiled, like everything above it, with
// 16-bit wide characters (-fshort-wchar), so L"" literals are UTF-16 code units.
static_assert(sizeof(wchar_t) == 2, "compile with -fshort-wchar");

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

// The calling convention matters only to the 32-bit Windows build.
#define WINAPI

#define FALSE 0
#define TRUE 1
#ifndef NULL
#define NULL 0
#endif

// The Windows data model: long is 32 bits there, so the 32-bit types are int-based here.
typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef unsigned int DWORD;
typedef int LONG;
typedef unsigned int ULONG;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef size_t SIZE_T;
typedef wchar_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef DWORD* LPDWORD;
typedef void* PVOID;
typedef void* LPVOID;
typedef void* HANDLE;
typedef HANDLE HINSTANCE;
typedef HANDLE HLOCAL;

#define MAXLONG 0x7FFFFFFF
#define UInt32x32To64(a, b) ((ULONGLONG)(DWORD)(a) * (DWORD)(b))
#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

typedef struct _GUID
{
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
} GUID;

typedef struct _FILETIME
{
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME;

typedef struct _SYSTEMTIME
{
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME;

typedef union _LARGE_INTEGER
{
    struct
    {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER;

// Error codes, with the platform's values: scripts read them from the exit code.
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_BAD_FORMAT 11L
#define ERROR_INVALID_DATA 13L
#define ERROR_WRITE_PROTECT 19L
#define ERROR_CRC 23L
#define ERROR_BAD_LENGTH 24L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_HANDLE_EOF 38L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_FILE_EXISTS 80L
#define ERROR_CANNOT_MAKE 82L
#define ERROR_OPEN_FAILED 110L
#define ERROR_DISK_FULL 112L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_BAD_ARGUMENTS 160L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_FILE_TOO_LARGE 223L
#define ERROR_NO_DATA 232L
#define ERROR_MORE_DATA 234L
#define ERROR_UNSUPPORTED_COMPRESSION 618L
#define ERROR_STACK_OVERFLOW 1001L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_FILE_CORRUPT 1392L
#define ERROR_NOT_ENOUGH_QUOTA 1816L
#define ERROR_IO_DEVICE 1117L
#define ERROR_CANT_RESOLVE_FILENAME 1921L

#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)

#define GENERIC_READ 0x80000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_TYPE_UNKNOWN 0x0000u
#define FILE_TYPE_DISK 0x0001u
#define FILE_TYPE_CHAR 0x0002u
#define FILE_TYPE_PIPE 0x0003u

#define LMEM_ZEROINIT 0x0040u
#define MEM_COMMIT 0x00001000u
#define MEM_RESERVE 0x00002000u
#define MEM_RELEASE 0x00008000u
#define PAGE_READONLY 0x02u
#define PAGE_READWRITE 0x04u

typedef struct _SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;
typedef struct _OVERLAPPED* LPOVERLAPPED;

extern "C"
{
    // Process, handles and errors.
    HANDLE WINAPI GetStdHandle(DWORD which);
    LPWSTR WINAPI GetCommandLineW(void);
    DWORD WINAPI GetLastError(void);
    void WINAPI SetLastError(DWORD error);
    BOOL WINAPI CloseHandle(HANDLE handle);
    [[noreturn]] void WINAPI ExitProcess(unsigned int exitCode);

    // Console and files.
    BOOL WINAPI WriteConsoleW(HANDLE console, const void* text, DWORD count, LPDWORD written,
                              LPVOID reserved);
    BOOL WINAPI WriteFile(HANDLE file, const void* bytes, DWORD size, LPDWORD written,
                          LPOVERLAPPED overlapped);
    BOOL WINAPI FlushFileBuffers(HANDLE file);
    HANDLE WINAPI CreateFileW(LPCWSTR path, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD attributes,
                              HANDLE templateFile);
    DWORD WINAPI GetFileType(HANDLE file);
    BOOL WINAPI GetFileSizeEx(HANDLE file, LARGE_INTEGER* size);
    BOOL WINAPI ReadFile(HANDLE file, LPVOID bytes, DWORD size, LPDWORD done,
                         LPOVERLAPPED overlapped);

    // Memory.
    HLOCAL WINAPI LocalAlloc(unsigned int flags, SIZE_T size);
    HLOCAL WINAPI LocalFree(HLOCAL block);
    LPVOID WINAPI VirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protection);
    BOOL WINAPI VirtualFree(LPVOID address, SIZE_T size, DWORD type);
    BOOL WINAPI VirtualProtect(LPVOID address, SIZE_T size, DWORD protection, DWORD* oldProtection);
    HANDLE WINAPI GetProcessHeap(void);
    LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T size);
    BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID block);

    // Time and text.
    BOOL WINAPI FileTimeToSystemTime(const FILETIME* fileTime, SYSTEMTIME* systemTime);
    int WINAPI wvsprintfW(LPWSTR buffer, LPCWSTR format, va_list values);
}
