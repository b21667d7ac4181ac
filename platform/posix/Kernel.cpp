// The kernel functions that shimlist and the stand-in call, written over POSIX.
#include "platform/posix/Posix.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// What Windows keeps for a process and a thread, this layer keeps here: the command line and
// the channel of its own messages, set once before the program runs, and the last error, per
// thread as on Windows. The program above holds no state of its own; these are the operating
// system's.
static LPWSTR ProcessCommandLine;
static thread_local DWORD ThreadLastError;
// The layer's own messages go to the standard error that the process started with: the
// program closes its error handle before it ends, and the whole exit code is written after.
static int ReportDescriptor = STDERR_FILENO;
// A child that lists one database for the front end hands its whole exit code back here.
static int StatusDescriptor = -1;
// The database that the front end opened, and the name by which the program opens it.
static LPCWSTR PinnedPath;
static int PinnedDescriptor = -1;
static DWORD (*ExitHook)(DWORD exitCode);

void PosixSetExitHook(DWORD (*hook)(DWORD exitCode))
{
    ExitHook = hook;
}

void PosixSetStatusChannel(int descriptor)
{
    StatusDescriptor = descriptor;
}

void PosixPinDatabase(LPCWSTR path, int descriptor)
{
    PinnedPath = path;
    PinnedDescriptor = descriptor;
}

void PosixKeepReportChannel(void)
{
    int copy = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    ReportDescriptor = copy >= 0 ? copy : STDERR_FILENO;
}

void PosixSetCommandLine(LPWSTR commandLine)
{
    ProcessCommandLine = commandLine;
}

LPWSTR WINAPI GetCommandLineW(void)
{
    return ProcessCommandLine;
}

DWORD WINAPI GetLastError(void)
{
    return ThreadLastError;
}

void WINAPI SetLastError(DWORD error)
{
    ThreadLastError = error;
}

// Gives the code that Windows gives for the same cause, so that a script reads one exit code
// on either platform.
DWORD PosixErrorFromErrno(int error)
{
    switch (error)
    {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case EPIPE:
            return ERROR_NO_DATA;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case ETXTBSY:
            return ERROR_SHARING_VIOLATION;
        case EFBIG:
        case EOVERFLOW:
            return ERROR_FILE_TOO_LARGE;
        case ELOOP:
            return ERROR_CANT_RESOLVE_FILENAME;
        case EIO:
            return ERROR_IO_DEVICE;
        default:
            return ERROR_GEN_FAILURE;
    }
}

static void SetErrorFromErrno(void)
{
    SetLastError(PosixErrorFromErrno(errno));
}

// A handle is a descriptor plus one, so that no handle is null.
static HANDLE HandleOfDescriptor(int descriptor)
{
    return (HANDLE)(intptr_t)(descriptor + 1);
}

HANDLE PosixHandleOf(int descriptor)
{
    return HandleOfDescriptor(descriptor);
}

static int DescriptorOf(HANDLE handle)
{
    intptr_t value = (intptr_t)handle;
    return value > 0 && value <= INT_MAX ? (int)(value - 1) : -1;
}

HANDLE WINAPI GetStdHandle(DWORD which)
{
    if (which == STD_OUTPUT_HANDLE)
    {
        return HandleOfDescriptor(STDOUT_FILENO);
    }
    if (which == STD_ERROR_HANDLE)
    {
        return HandleOfDescriptor(STDERR_FILENO);
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
}

BOOL WINAPI CloseHandle(HANDLE handle)
{
    int descriptor = DescriptorOf(handle);
    if (descriptor == STDOUT_FILENO)
    {
        return PosixListingClose();
    }
    // Linux releases the descriptor even when close is interrupted; trying again could close
    // a descriptor that another open has taken since.
    if (descriptor < 0 || (close(descriptor) != 0 && errno != EINTR))
    {
        if (descriptor < 0)
        {
            errno = EBADF;
        }
        SetErrorFromErrno();
        return FALSE;
    }
    return TRUE;
}

// The layer's own messages go to standard error, formatted like the program's.
void PosixReport(LPCWSTR format, ...)
{
    WCHAR text[1026];
    va_list values;
    va_start(values, format);
    int count = wvsprintfW(text, format, values);
    va_end(values);
    DWORD written = 0;
    if (count > 0)
    {
        WriteConsoleW(HandleOfDescriptor(ReportDescriptor), text, (DWORD)count, &written, NULL);
    }
}

bool PosixWriteAll(int descriptor, const void* bytes, size_t size)
{
    const BYTE* at = (const BYTE*)bytes;
    while (size != 0)
    {
        ssize_t result = write(descriptor, at, size);
        if (result < 0 && errno == EINTR)
        {
            continue;
        }
        if (result <= 0)
        {
            if (result == 0)
            {
                errno = EIO;
            }
            return false;
        }
        at += result;
        size -= (size_t)result;
    }
    return true;
}

[[noreturn]] void PosixEnd(DWORD exitCode)
{
    if (StatusDescriptor >= 0)
    {
        DWORD code = exitCode;
        PosixWriteAll(StatusDescriptor, &code, sizeof(code));
        _exit(exitCode > 255 ? 255 : (int)exitCode);
    }
    // A Unix exit status keeps 8 bits: 1001 would reach the shell as 233, and 256 as success.
    // A larger code reaches it as 255, and the whole code is written where the user sees it.
    if (exitCode > 255)
    {
        PosixReport(L"shimlist: exit code %lu (0x%08lX); the shell receives 255\n", exitCode,
                    exitCode);
        _exit(255);
    }
    _exit((int)exitCode);
}

[[noreturn]] void WINAPI ExitProcess(unsigned int exitCode)
{
    if (ExitHook != NULL)
    {
        exitCode = ExitHook(exitCode);
    }
    // A failure is named in words, after the program's own lines.
    LPCWSTR cause = PosixCauseOf(exitCode);
    if (cause != NULL)
    {
        PosixReport(L"shimlist: %lu: %ls\n", exitCode, cause);
    }
    PosixEnd(exitCode);
}

BOOL WINAPI WriteConsoleW(HANDLE console, const void* text, DWORD count, LPDWORD written,
                          LPVOID reserved)
{
    (void)reserved;
    *written = 0;
    int descriptor = DescriptorOf(console);
    PosixListingDrain();
    const WCHAR* units = (const WCHAR*)text;
    // The terminal, file or pipe behind standard error takes UTF-8; the text goes in pieces
    // that never split a surrogate pair.
    char bytes[4096];
    DWORD done = 0;
    while (done < count)
    {
        DWORD piece = count - done < 1024 ? count - done : 1024;
        if (piece < count - done && (unsigned short)units[done + piece - 1] >= 0xD800 &&
            (unsigned short)units[done + piece - 1] <= 0xDBFF)
        {
            piece--;
        }
        long length = PosixUtf8FromUtf16(units + done, piece, bytes, sizeof(bytes), true);
        if (length > 0 && !PosixWriteAll(descriptor, bytes, (size_t)length))
        {
            SetErrorFromErrno();
            return FALSE;
        }
        done += piece;
        *written = done;
    }
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE file, const void* bytes, DWORD size, LPDWORD written,
                      LPOVERLAPPED overlapped)
{
    (void)overlapped;
    if (DescriptorOf(file) == STDOUT_FILENO)
    {
        return PosixListingWrite(bytes, size, written);
    }
    if (file == PosixListingViewHandle())
    {
        return PosixListingViewWrite(bytes, size, written);
    }
    *written = 0;
    ssize_t result;
    do
    {
        result = write(DescriptorOf(file), bytes, size);
    } while (result < 0 && errno == EINTR);
    if (result < 0)
    {
        SetErrorFromErrno();
        return FALSE;
    }
    *written = (DWORD)result;
    return TRUE;
}

// On Windows flushing fails on a console and passes on a file or a pipe; a terminal is this
// platform's console, refused with the same code when it would get the listing's exact bytes.
BOOL WINAPI FlushFileBuffers(HANDLE file)
{
    int descriptor = DescriptorOf(file);
    if (descriptor == STDOUT_FILENO && !PosixListingFlush())
    {
        return FALSE;
    }
    struct stat status;
    if (fstat(descriptor, &status) != 0)
    {
        SetErrorFromErrno();
        return FALSE;
    }
    if (isatty(descriptor) && !(descriptor == STDOUT_FILENO && PosixListingIsText()))
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // A file system that cannot sync (EINVAL) still holds a file.
    if (S_ISREG(status.st_mode) && fsync(descriptor) != 0 && errno != EINVAL)
    {
        SetErrorFromErrno();
        return FALSE;
    }
    return TRUE;
}

// Windows tells a missing file (2) from a missing folder on the way to it (3); Linux says
// ENOENT for both.
static DWORD MissingFileError(char* path)
{
    char* slash = strrchr(path, '/');
    if (slash == NULL || slash == path)
    {
        return ERROR_FILE_NOT_FOUND;
    }
    *slash = 0;
    struct stat status;
    bool folder = stat(path, &status) == 0 && S_ISDIR(status.st_mode);
    *slash = '/';
    return folder ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

static bool IsPinned(LPCWSTR path)
{
    if (PinnedPath == NULL)
    {
        return false;
    }
    size_t index = 0;
    while (path[index] != 0 && path[index] == PinnedPath[index])
    {
        index++;
    }
    return path[index] == PinnedPath[index];
}

// A new open of the pinned file, with a read position of its own: the library reads each open
// from its start.
static int ReopenPinned(void)
{
    char link[64];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", PinnedDescriptor);
    int descriptor = open(link, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor >= 0 || errno != ENOENT)
    {
        return descriptor;
    }
    // Without /proc the opens share one position, set back to the start for each.
    descriptor = fcntl(PinnedDescriptor, F_DUPFD_CLOEXEC, 3);
    if (descriptor >= 0 && lseek(descriptor, 0, SEEK_SET) < 0 && errno != ESPIPE)
    {
        int error = errno;
        close(descriptor);
        errno = error;
        return -1;
    }
    return descriptor;
}

// Opens an existing file for reading, by its exact name: no character of the name has a
// meaning of its own here (a backslash, a trailing dot or blank, a device name are all plain
// parts of a Linux name). A folder is refused as Windows refuses it; a device or pipe opens
// without waiting, for the caller to refuse by its type.
HANDLE WINAPI CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD attributes, HANDLE templateFile)
{
    (void)share;
    (void)attributes;
    if (path == NULL || access != GENERIC_READ || security != NULL ||
        disposition != OPEN_EXISTING || templateFile != NULL)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    size_t count = 0;
    while (path[count] != 0)
    {
        count++;
    }
    if (count == 0)
    {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    size_t room = PosixUtf8Room(count);
    char* name = (char*)malloc(room);
    if (name == NULL)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    long length = PosixUtf8FromUtf16(path, count, name, room - 1, false);
    if (length < 0)
    {
        free(name);
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    name[length] = 0;
    int descriptor =
        IsPinned(path) ? ReopenPinned() : open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    int openError = descriptor < 0 ? errno : 0;
    DWORD error = PosixErrorFromErrno(openError);
    if (openError == ENOENT)
    {
        error = MissingFileError(name);
    }
    // A socket cannot be opened at all; it is refused as a pipe is, as no database.
    struct stat named;
    if (openError == ENXIO && stat(name, &named) == 0 && S_ISSOCK(named.st_mode))
    {
        error = ERROR_BAD_FORMAT;
    }
    free(name);
    struct stat status;
    if (descriptor >= 0 && fstat(descriptor, &status) != 0)
    {
        error = PosixErrorFromErrno(errno);
    }
    else if (descriptor >= 0 && S_ISDIR(status.st_mode))
    {
        error = ERROR_ACCESS_DENIED;
    }
    if (error != ERROR_SUCCESS)
    {
        if (descriptor >= 0)
        {
            close(descriptor);
        }
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return HandleOfDescriptor(descriptor);
}

// Only a regular file is a disk file: a block device is refused with the character devices.
DWORD WINAPI GetFileType(HANDLE file)
{
    struct stat status;
    if (fstat(DescriptorOf(file), &status) != 0)
    {
        SetErrorFromErrno();
        return FILE_TYPE_UNKNOWN;
    }
    SetLastError(ERROR_SUCCESS);
    if (S_ISREG(status.st_mode))
    {
        return FILE_TYPE_DISK;
    }
    if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode))
    {
        return FILE_TYPE_PIPE;
    }
    return S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode) ? FILE_TYPE_CHAR : FILE_TYPE_UNKNOWN;
}

BOOL WINAPI GetFileSizeEx(HANDLE file, LARGE_INTEGER* size)
{
    struct stat status;
    if (fstat(DescriptorOf(file), &status) != 0)
    {
        SetErrorFromErrno();
        return FALSE;
    }
    size->QuadPart = (LONGLONG)status.st_size;
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID bytes, DWORD size, LPDWORD done, LPOVERLAPPED overlapped)
{
    (void)overlapped;
    *done = 0;
    ssize_t result;
    do
    {
        result = read(DescriptorOf(file), bytes, size);
    } while (result < 0 && errno == EINTR);
    if (result < 0)
    {
        SetErrorFromErrno();
        return FALSE;
    }
    *done = (DWORD)result;
    return TRUE;
}

HLOCAL WINAPI LocalAlloc(unsigned int flags, SIZE_T size)
{
    void* block = (flags & LMEM_ZEROINIT) != 0 ? calloc(1, size != 0 ? size : 1)
                                               : malloc(size != 0 ? size : 1);
    if (block == NULL)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return block;
}

HLOCAL WINAPI LocalFree(HLOCAL block)
{
    free(block);
    return NULL;
}

// A block of VirtualAlloc is a private mapping with one page in front that holds its length,
// since VirtualFree is given only the address.
LPVOID WINAPI VirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protection)
{
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    if (address != NULL || type != (MEM_COMMIT | MEM_RESERVE) || protection != PAGE_READWRITE ||
        size == 0 || size > (SIZE_T)-1 - 2 * page)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    size_t length = page + (size + page - 1) / page * page;
    void* base = mmap(NULL, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    *(size_t*)base = length;
    return (BYTE*)base + page;
}

BOOL WINAPI VirtualFree(LPVOID address, SIZE_T size, DWORD type)
{
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    if (address == NULL || size != 0 || type != MEM_RELEASE || (uintptr_t)address % page != 0)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    BYTE* base = (BYTE*)address - page;
    if (munmap(base, *(size_t*)base) != 0)
    {
        SetErrorFromErrno();
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI VirtualProtect(LPVOID address, SIZE_T size, DWORD protection, DWORD* oldProtection)
{
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    int flags = protection == PAGE_READONLY    ? PROT_READ
                : protection == PAGE_READWRITE ? PROT_READ | PROT_WRITE
                                               : -1;
    if (flags < 0 || oldProtection == NULL || (uintptr_t)address % page != 0)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (mprotect(address, size, flags) != 0)
    {
        SetErrorFromErrno();
        return FALSE;
    }
    *oldProtection = PAGE_READWRITE;
    return TRUE;
}

HANDLE WINAPI GetProcessHeap(void)
{
    return (HANDLE)1;
}

LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T size)
{
    (void)heap;
    (void)flags;
    return malloc(size != 0 ? size : 1);
}

BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID block)
{
    (void)heap;
    (void)flags;
    free(block);
    return TRUE;
}

// Days before each month of a common year.
static const WORD DaysBeforeMonth[13] = {0,   31,  59,  90,  120, 151, 181,
                                         212, 243, 273, 304, 334, 365};

// The proleptic Gregorian calendar in UTC, counted from 1601-01-01 (a Monday), which begins a
// 400-year cycle. Windows refuses times with the top bit set, and so does this.
BOOL WINAPI FileTimeToSystemTime(const FILETIME* fileTime, SYSTEMTIME* systemTime)
{
    ULONGLONG ticks = ((ULONGLONG)fileTime->dwHighDateTime << 32) | fileTime->dwLowDateTime;
    if ((ticks >> 63) != 0)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ULONGLONG seconds = ticks / 10000000u;
    ULONGLONG days = seconds / 86400u;
    DWORD daySeconds = (DWORD)(seconds % 86400u);
    systemTime->wMilliseconds = (WORD)(ticks / 10000u % 1000u);
    systemTime->wSecond = (WORD)(daySeconds % 60u);
    systemTime->wMinute = (WORD)(daySeconds / 60u % 60u);
    systemTime->wHour = (WORD)(daySeconds / 3600u);
    systemTime->wDayOfWeek = (WORD)((days + 1) % 7u);

    ULONGLONG cycles = days / 146097u;
    DWORD rest = (DWORD)(days % 146097u);
    DWORD centuries = rest / 36524u;
    centuries = centuries > 3 ? 3 : centuries; // the last day of a cycle
    rest -= centuries * 36524u;
    DWORD quads = rest / 1461u;
    rest -= quads * 1461u;
    DWORD years = rest / 365u;
    years = years > 3 ? 3 : years; // the last day of a leap year
    rest -= years * 365u;
    DWORD year = (DWORD)(1601u + cycles * 400u + centuries * 100u + quads * 4u + years);
    bool leap = year % 4u == 0 && (year % 100u != 0 || year % 400u == 0);
    WORD month = 1;
    while (month < 12 && rest >= DaysBeforeMonth[month] + (leap && month >= 2 ? 1u : 0u))
    {
        month++;
    }
    systemTime->wYear = (WORD)year;
    systemTime->wMonth = month;
    systemTime->wDay =
        (WORD)(rest - DaysBeforeMonth[month - 1] - (leap && month > 2 ? 1u : 0u) + 1);
    return TRUE;
}
