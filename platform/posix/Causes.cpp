// What the exit codes of shimlist mean, in a few words, for the line that follows a failure.
#include "platform/posix/Posix.h"

typedef struct CAUSE
{
    DWORD code;
    LPCWSTR words;
} CAUSE;

static const CAUSE Causes[] = {
    {ERROR_FILE_NOT_FOUND, L"the file does not exist"},
    {ERROR_PATH_NOT_FOUND, L"a folder on its path does not exist"},
    {ERROR_TOO_MANY_OPEN_FILES, L"too many open files"},
    {ERROR_ACCESS_DENIED, L"access is denied, or the path names a folder"},
    {ERROR_INVALID_HANDLE, L"standard output is a terminal, which takes no UTF-16 bytes"},
    {ERROR_NOT_ENOUGH_MEMORY, L"not enough memory"},
    {ERROR_BAD_FORMAT, L"not a shim database"},
    {ERROR_INVALID_DATA, L"a compressed database that declares too small a size"},
    {ERROR_WRITE_PROTECT, L"the listing's file system is read-only"},
    {ERROR_CRC, L"a compressed database whose stream is damaged"},
    {ERROR_BAD_LENGTH, L"a compressed database that unpacks to fewer bytes than it declares"},
    {ERROR_WRITE_FAULT, L"the listing could not be written"},
    {ERROR_READ_FAULT, L"the file could not be read"},
    {ERROR_SHARING_VIOLATION, L"another program holds the file"},
    {ERROR_HANDLE_EOF, L"the database ends early; the listing is incomplete"},
    {ERROR_FILE_EXISTS, L"its listing would replace a file it must not"},
    {ERROR_CANNOT_MAKE, L"the listing's file cannot be made"},
    {ERROR_OPEN_FAILED, L"the library refused the database without a reason"},
    {ERROR_DISK_FULL, L"the disk is full; the listing is cut short"},
    {ERROR_FILENAME_EXCED_RANGE, L"a part of the path is too long"},
    {ERROR_FILE_TOO_LARGE, L"larger than 256 MiB, as a file or unpacked"},
    {ERROR_MORE_DATA, L"a compressed database that unpacks to more bytes than it declares"},
    {ERROR_UNSUPPORTED_COMPRESSION, L"a compressed database with an unknown compression method"},
    {ERROR_STACK_OVERFLOW, L"lists nest too deep; the listing is incomplete"},
    {ERROR_NO_UNICODE_TRANSLATION, L"an argument is not valid UTF-8"},
    {ERROR_IO_DEVICE, L"the device reported an input or output error"},
    {ERROR_FILE_CORRUPT, L"the database is damaged; the listing lacks what the damage hides"},
    {ERROR_NOT_ENOUGH_QUOTA, L"the listing outgrew its database by far; it is incomplete"},
    {ERROR_CANT_RESOLVE_FILENAME, L"the path's links loop or nest too deep"},
};

LPCWSTR PosixCauseOf(DWORD code)
{
    for (size_t index = 0; index < ARRAYSIZE(Causes); index++)
    {
        if (Causes[index].code == code)
        {
            return Causes[index].words;
        }
    }
    return NULL;
}
