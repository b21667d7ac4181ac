// The C runtime's allocator, refused: the DLL has no runtime, and zlib's default refers to it.
#include <stddef.h>

// libz.a's default allocator (which the stand-in never selects) refers to these; without a
// C runtime there is nothing behind them, so they refuse. The native program has a C library
// and does not link this file.
extern "C" void* malloc(size_t size)
{
    (void)size;
    return nullptr;
}

extern "C" void free(void* address)
{
    (void)address;
}
