// memset and memcpy, which the compilers emit for large initialisations even without a runtime.
#include <stddef.h>

// Written in assembly so that the optimiser cannot turn them back into calls to themselves.
extern "C" void* memset(void* destination, int value, size_t count)
{
    void* start = destination;
    __asm__ volatile("rep stosb" : "+D"(destination), "+c"(count) : "a"(value) : "memory");
    return start;
}

extern "C" void* memcpy(void* destination, const void* source, size_t count)
{
    void* start = destination;
    __asm__ volatile("rep movsb" : "+D"(destination), "+S"(source), "+c"(count) : : "memory");
    return start;
}
