// The native recording build's WriteFile: records each call's byte count, then writes as usual.
//
// Linked with --wrap=WriteFile beside the product's sources, so the program above is unchanged.
// The counts go, one 32-bit number per call, to the file that SHIMLIST_BENCH_WRITES names.
#include <windows.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

extern "C" BOOL WINAPI __real_WriteFile(HANDLE file, const void* bytes, DWORD size,
                                        LPDWORD written, LPOVERLAPPED overlapped);

// An instrument, not the product: it may keep its one descriptor in a static.
static int Counts = -1;

extern "C" BOOL WINAPI __wrap_WriteFile(HANDLE file, const void* bytes, DWORD size,
                                        LPDWORD written, LPOVERLAPPED overlapped)
{
    if (Counts < 0)
    {
        const char* path = getenv("SHIMLIST_BENCH_WRITES");
        Counts = path != NULL ? open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) : -1;
        if (Counts < 0)
        {
            _exit(99);
        }
    }
    if (write(Counts, &size, sizeof(size)) != (ssize_t)sizeof(size))
    {
        _exit(98);
    }
    return __real_WriteFile(file, bytes, size, written, overlapped);
}
