// The native floor of the listing benchmark: a listing's bytes in 64 KB blocks, nothing else.
//
// Usage: shimlist_floor_native LISTING > OUT, where LISTING is a listing that the native program
// wrote (UTF-16 for a file, UTF-8 for a pipe). The native program gathers its writes into blocks
// of LISTING_BLOCK_BYTES (platform/posix/Listing.cpp) and hands each full block to the kernel in
// one write; the floor issues the same writes of the same bytes, so that the two differ only in
// the work that makes the bytes. The listing is mapped, not read: reading it would copy every
// byte once more, which the program does not do either.
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// The native program's block (platform/posix/Listing.cpp).
#define FLOOR_BLOCK_BYTES 65536

int main(int argc, char** argv)
{
    int descriptor = argc == 2 ? open(argv[1], O_RDONLY) : -1;
    struct stat status;
    if (descriptor < 0 || fstat(descriptor, &status) != 0)
    {
        fprintf(stderr, "usage: shimlist_floor_native LISTING > OUT\n");
        return 2;
    }
    size_t size = (size_t)status.st_size;
    const unsigned char* listing = NULL;
    if (size > 0)
    {
        // Populated at once: one pass over the page cache rather than a fault per page.
        void* mapped = mmap(NULL, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, descriptor, 0);
        if (mapped == MAP_FAILED)
        {
            fprintf(stderr, "shimlist_floor_native: %s cannot be mapped\n", argv[1]);
            return 1;
        }
        listing = (const unsigned char*)mapped;
    }
    for (size_t at = 0; at < size;)
    {
        size_t piece = size - at < FLOOR_BLOCK_BYTES ? size - at : FLOOR_BLOCK_BYTES;
        ssize_t result = write(STDOUT_FILENO, listing + at, piece);
        if (result <= 0)
        {
            fprintf(stderr, "shimlist_floor_native: the write at byte %zu failed\n", at);
            return 1;
        }
        at += (size_t)result;
    }
    return 0;
}
