// The native floor of the listing benchmark: replays a recorded sequence of writes, nothing else.
//
// Usage: shimlist_floor_native LISTING WRITES > OUT, where LISTING is what the native recording
// build wrote and WRITES its side file (one 32-bit byte count per WriteFile call). It issues
// exactly those write calls with exactly those bytes, as the native program's WriteFile does
// (one write each), so that shimlist and the floor differ only in the work between the writes.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

static unsigned char* ReadWhole(const char* path, size_t* size)
{
    int descriptor = open(path, O_RDONLY);
    struct stat status;
    if (descriptor < 0 || fstat(descriptor, &status) != 0)
    {
        return NULL;
    }
    *size = (size_t)status.st_size;
    unsigned char* bytes = (unsigned char*)malloc(*size + 1);
    size_t done = 0;
    while (bytes != NULL && done < *size)
    {
        ssize_t got = read(descriptor, bytes + done, *size - done);
        if (got <= 0)
        {
            free(bytes);
            bytes = NULL;
            break;
        }
        done += (size_t)got;
    }
    close(descriptor);
    return bytes;
}

int main(int argc, char** argv)
{
    size_t listingSize = 0;
    size_t writesSize = 0;
    unsigned char* listing = argc == 3 ? ReadWhole(argv[1], &listingSize) : NULL;
    unsigned char* writes = argc == 3 ? ReadWhole(argv[2], &writesSize) : NULL;
    if (listing == NULL || writes == NULL)
    {
        fprintf(stderr, "usage: shimlist_floor_native LISTING WRITES > OUT\n");
        return 2;
    }
    size_t at = 0;
    for (size_t call = 0; call + 4 <= writesSize; call += 4)
    {
        uint32_t size = (uint32_t)writes[call] | ((uint32_t)writes[call + 1] << 8) |
                        ((uint32_t)writes[call + 2] << 16) | ((uint32_t)writes[call + 3] << 24);
        if (size > listingSize - at || write(STDOUT_FILENO, listing + at, size) != (ssize_t)size)
        {
            fprintf(stderr, "shimlist_floor_native: write %zu failed\n", call / 4);
            return 1;
        }
        at += size;
    }
    return at == listingSize ? 0 : 1;
}
