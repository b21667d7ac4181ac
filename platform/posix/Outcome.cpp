// What the Linux command adds to a run of the program: the damage the library saw, the listing's
// bound, and hashes for -o's index.
#include "platform/posix/FrontEnd.h"
#include "output/Writers.h"
#include "standin/SdbUnpack.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// In a child of -o, where the evidence of its run goes, ahead of its exit code.
static int EvidenceChannel = -1;

// Writes value with a comma between groups of three digits: figures of this size are read
// far more easily so.
static void Grouped(ULONGLONG value, WCHAR* out)
{
    WCHAR digits[32];
    int count = 0;
    do
    {
        digits[count++] = (WCHAR)(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int index = count - 1; index >= 0; index--)
    {
        *out++ = digits[index];
        if (index != 0 && index % 3 == 0)
        {
            *out++ = L',';
        }
    }
    *out = 0;
}

// One line naming the first damage, with its place and what is missing or wrong. The program
// has closed its error handle by now: the layer's own channel takes the line.
static void ReportDamage(const SDB_DAMAGE* damage)
{
    WCHAR missing[40];
    Grouped(damage->missing, missing);
    LPCWSTR bytes = damage->missing == 1 ? L"byte" : L"bytes";
    switch (damage->what)
    {
        case SDB_DAMAGE_TAG_PAST_FILE_END:
            PosixReport(L"shimlist: the database is cut short: the tag at 0x%08lX needs %ls %ls "
                        L"past the end of the file\n",
                        damage->tagid, missing, bytes);
            break;
        case SDB_DAMAGE_DATA_PAST_FILE_END:
            PosixReport(L"shimlist: the database is cut short: the data of the tag at 0x%08lX "
                        L"needs %ls %ls past the end of the file\n",
                        damage->tagid, missing, bytes);
            break;
        case SDB_DAMAGE_TAG_PAST_LIST_END:
            PosixReport(L"shimlist: the database is damaged: the tag at 0x%08lX runs %ls %ls "
                        L"past the end of its list, at 0x%08lX\n",
                        damage->tagid, missing, bytes, damage->end);
            break;
        case SDB_DAMAGE_BYTES_AFTER_TAGS:
            PosixReport(L"shimlist: the database is damaged: %ls %ls at 0x%08lX, after its "
                        L"last tag, %ls no tag\n",
                        missing, bytes, damage->tagid, damage->missing == 1 ? L"is" : L"are");
            break;
        case SDB_DAMAGE_STRINGREF_OUTSIDE:
            PosixReport(L"shimlist: the database is damaged: the string reference at 0x%08lX "
                        L"(0x%08lX) names no item of its string table\n",
                        damage->tagid, (DWORD)damage->missing);
            break;
        default:
            PosixReport(L"shimlist: the database is damaged (kind %lu at 0x%08lX)\n", damage->what,
                        damage->tagid);
            break;
    }
}

// The last word on a run's exit code: a database that the library found damaged is no
// complete listing, whatever the program could list of it.
static DWORD AfterRun(DWORD exitCode)
{
    SDB_EVIDENCE evidence;
    memset(&evidence, 0, sizeof(evidence));
    if (SdbStandinGetEvidence(&evidence) && evidence.damage.what != SDB_DAMAGE_NONE)
    {
        ReportDamage(&evidence.damage);
        if (exitCode == ERROR_SUCCESS)
        {
            exitCode = evidence.damage.cutShort ? ERROR_HANDLE_EOF : ERROR_FILE_CORRUPT;
        }
    }
    if (EvidenceChannel >= 0)
    {
        PosixWriteAll(EvidenceChannel, &evidence, sizeof(evidence));
    }
    return exitCode;
}

// The most a listing of the database behind pinned may hold: factor times the database's size
// (unpacked, for a compressed file, as its header declares) and a fixed amount. Real listings
// are 5 to 11 times their database.
static ULONGLONG ListingLimit(int pinned, DWORD factor)
{
    struct stat status;
    if (factor == 0 || pinned < 0 || fstat(pinned, &status) != 0 || !S_ISREG(status.st_mode))
    {
        return 0;
    }
    ULONGLONG size = (ULONGLONG)status.st_size;
    BYTE head[SDB_PACKED_HEADER_SIZE];
    ssize_t got = pread(pinned, head, sizeof(head), 0);
    uint32_t unpacked = 0;
    if (got > 0 && SdbUnpackIsPacked(head, (size_t)got) &&
        SdbUnpackReadHeader(head, (size_t)got, SDB_MAX_FILE_SIZE, &unpacked) == SDB_UNPACK_DONE &&
        unpacked > size)
    {
        size = unpacked;
    }
    return factor * size + LISTING_LIMIT_FIXED;
}

void WatchRun(int pinned, DWORD factor, int evidenceChannel)
{
    EvidenceChannel = evidenceChannel;
    PosixSetExitHook(AfterRun);
    PosixSetListingLimit(ListingLimit(pinned, factor));
}

bool HashDescriptor(int descriptor, ULONGLONG* size, BYTE* sha256)
{
    SDB_SHA256 state;
    SdbSha256Begin(&state);
    BYTE buffer[65536];
    *size = 0;
    for (;;)
    {
        ssize_t got = pread(descriptor, buffer, sizeof(buffer), (off_t)*size);
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got < 0)
        {
            return false;
        }
        if (got == 0)
        {
            break;
        }
        SdbSha256Add(&state, buffer, (size_t)got);
        *size += (ULONGLONG)got;
    }
    SdbSha256End(&state, sha256);
    return true;
}
