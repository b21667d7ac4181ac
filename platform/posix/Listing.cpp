// The listing's way to standard output: the program's writes gathered into blocks, and turned into
// UTF-8 on the way where the destination reads text.
#include "platform/posix/Posix.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

// The program writes a listing in many small pieces (a line head, a name, a value): handed to
// the kernel one by one, they cost a system call each and most of the run's time.
#define LISTING_BLOCK_BYTES 65536
// Room past the block for the UTF-8 of the character that fills it (at most four bytes).
#define LISTING_BLOCK_SLACK 8

// The stream of standard output. Like the rest of what this layer keeps, it stands for state
// that the operating system keeps for a process on Windows.
typedef struct LISTING_STREAM
{
    POSIX_LISTING_FORM form;
    bool closed;
    // The text's state between writes: the byte-order mark is behind, a CR waits for the LF
    // that drops it, a high surrogate for its low half, an odd byte for its partner.
    bool started;
    bool carriage;
    bool odd;
    BYTE oddByte;
    unsigned high;
    // The first failed write and whether a caller has been told of it.
    DWORD error;
    bool errorTold;
    size_t used;
    // The listing's bytes so far, in its exact form, and the most it may hold (0: no limit).
    ULONGLONG total;
    ULONGLONG limit;
    // The front end's view of the listing, or NULL for the listing as it stands.
    const POSIX_LISTING_VIEW* view;
    BYTE block[LISTING_BLOCK_BYTES + LISTING_BLOCK_SLACK];
} LISTING_STREAM;

static LISTING_STREAM Listing;

void PosixSetListingForm(POSIX_LISTING_FORM form)
{
    Listing.form = form;
}

void PosixSetListingLimit(ULONGLONG limit)
{
    Listing.limit = limit;
}

void PosixSetListingView(const POSIX_LISTING_VIEW* view)
{
    Listing.view = view;
}

bool PosixListingIsText(void)
{
    return Listing.form == POSIX_LISTING_UTF8;
}

// A reader that has gone away ends the run, as it ends any Unix program that writes to a pipe;
// the layer ignores SIGPIPE only so that a closed standard error cannot end the listing.
[[noreturn]] void PosixEndForGoneReader(void)
{
    signal(SIGPIPE, SIG_DFL);
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    sigprocmask(SIG_UNBLOCK, &pipeOnly, NULL);
    raise(SIGPIPE);
    _exit(128 + SIGPIPE);
}

// Writes the gathered bytes; on failure keeps the error, and what the kernel took stays an
// exact prefix of the listing.
static BOOL WriteBlock(void)
{
    bool sent = PosixWriteAll(STDOUT_FILENO, Listing.block, Listing.used);
    Listing.used = 0;
    if (!sent)
    {
        if (errno == EPIPE)
        {
            PosixEndForGoneReader();
        }
        Listing.error = PosixErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

// The sticky error, told to the caller now.
static BOOL FailWithKeptError(void)
{
    Listing.errorTold = true;
    SetLastError(Listing.error);
    return FALSE;
}

static void PutUtf8(unsigned long code)
{
    BYTE* out = Listing.block + Listing.used;
    if (code < 0x80)
    {
        out[0] = (BYTE)code;
        Listing.used += 1;
    }
    else if (code < 0x800)
    {
        out[0] = (BYTE)(0xC0 | (code >> 6));
        out[1] = (BYTE)(0x80 | (code & 0x3F));
        Listing.used += 2;
    }
    else if (code < 0x10000)
    {
        out[0] = (BYTE)(0xE0 | (code >> 12));
        out[1] = (BYTE)(0x80 | ((code >> 6) & 0x3F));
        out[2] = (BYTE)(0x80 | (code & 0x3F));
        Listing.used += 3;
    }
    else
    {
        out[0] = (BYTE)(0xF0 | (code >> 18));
        out[1] = (BYTE)(0x80 | ((code >> 12) & 0x3F));
        out[2] = (BYTE)(0x80 | ((code >> 6) & 0x3F));
        out[3] = (BYTE)(0x80 | (code & 0x3F));
        Listing.used += 4;
    }
}

// Adds one character of text, and writes the block once it is full.
static BOOL PutCharacter(unsigned long code)
{
    PutUtf8(code);
    return Listing.used < LISTING_BLOCK_BYTES || WriteBlock();
}

// Takes one UTF-16 unit of the listing as text: CR LF becomes LF, the byte-order mark that
// opens the listing is dropped, and an unpaired surrogate becomes U+FFFD.
static BOOL PutUnit(unsigned unit)
{
    if (!Listing.started)
    {
        Listing.started = true;
        if (unit == 0xFEFF)
        {
            return TRUE;
        }
    }
    if (Listing.high != 0)
    {
        unsigned high = Listing.high;
        Listing.high = 0;
        if (unit >= 0xDC00 && unit <= 0xDFFF)
        {
            return PutCharacter(0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00));
        }
        if (!PutCharacter(0xFFFD))
        {
            return FALSE;
        }
    }
    if (Listing.carriage)
    {
        Listing.carriage = false;
        if (unit != L'\n' && !PutCharacter(L'\r'))
        {
            return FALSE;
        }
    }
    if (unit >= 0xD800 && unit <= 0xDBFF)
    {
        Listing.high = unit;
        return TRUE;
    }
    if (unit == L'\r')
    {
        Listing.carriage = true;
        return TRUE;
    }
    return PutCharacter(unit >= 0xDC00 && unit <= 0xDFFF ? 0xFFFD : unit);
}

// Takes count units of the listing as UTF-8 text. Text is mostly ASCII, which goes into the block
// as it stands whenever PutUnit would write it so.
static BOOL PutTextUnits(const WCHAR* units, DWORD count)
{
    for (DWORD index = 0; index < count; index++)
    {
        unsigned unit = units[index];
        if (unit < 0x80 && unit != L'\r' && Listing.high == 0 && !Listing.carriage &&
            Listing.started)
        {
            Listing.block[Listing.used++] = (BYTE)unit;
            if (Listing.used >= LISTING_BLOCK_BYTES && !WriteBlock())
            {
                return FALSE;
            }
        }
        else if (!PutUnit(unit))
        {
            return FALSE;
        }
    }
    return TRUE;
}

BOOL PosixListingPutText(const WCHAR* units, DWORD count)
{
    if (Listing.error != ERROR_SUCCESS)
    {
        return FALSE;
    }
    if (Listing.form == POSIX_LISTING_EXACT)
    {
        for (DWORD index = 0; index < count;)
        {
            DWORD room = (LISTING_BLOCK_BYTES - Listing.used) / 2;
            DWORD piece = count - index < room ? count - index : room;
            BYTE* out = Listing.block + Listing.used;
            for (DWORD unit = 0; unit < piece; unit++)
            {
                out[2 * unit] = (BYTE)(units[index + unit] & 0xFF);
                out[2 * unit + 1] = (BYTE)(units[index + unit] >> 8);
            }
            Listing.used += 2 * piece;
            index += piece;
            if (Listing.used + 1 >= LISTING_BLOCK_BYTES && !WriteBlock())
            {
                return FALSE;
            }
        }
        return TRUE;
    }
    return PutTextUnits(units, count);
}

// Hands the bytes to sink as whole units; a byte without its partner waits for the next write.
// Database text reaches the stream at any address, so units are put together from bytes.
static BOOL TakeUnits(const BYTE* from, DWORD size, BOOL (*sink)(const WCHAR* units, DWORD count))
{
    WCHAR units[1024];
    DWORD index = 0;
    if (Listing.odd && size != 0)
    {
        Listing.odd = false;
        units[0] = (WCHAR)(Listing.oddByte | ((unsigned)from[0] << 8));
        index = 1;
        if (!sink(units, 1))
        {
            return FALSE;
        }
    }
    while (size - index >= 2)
    {
        DWORD count = (size - index) / 2;
        count = count < ARRAYSIZE(units) ? count : (DWORD)ARRAYSIZE(units);
        for (DWORD unit = 0; unit < count; unit++)
        {
            units[unit] =
                (WCHAR)(from[index + 2 * unit] | ((unsigned)from[index + 2 * unit + 1] << 8));
        }
        index += 2 * count;
        if (!sink(units, count))
        {
            return FALSE;
        }
    }
    if (index < size)
    {
        Listing.odd = true;
        Listing.oddByte = from[index];
    }
    return TRUE;
}

// A negative value, as Windows' pseudo-handles are: no descriptor has it.
#define LISTING_VIEW_HANDLE ((HANDLE)(intptr_t)-16)

HANDLE PosixListingViewHandle(void)
{
    return LISTING_VIEW_HANDLE;
}

BOOL PosixListingViewWrite(const void* bytes, DWORD size, LPDWORD written)
{
    *written = 0;
    const BYTE* from = (const BYTE*)bytes;
    WCHAR units[256];
    for (DWORD done = 0; done + 1 < size;)
    {
        DWORD count = 0;
        for (; count < ARRAYSIZE(units) && done + 1 < size; count++, done += 2)
        {
            units[count] = (WCHAR)(from[done] | ((unsigned)from[done + 1] << 8));
        }
        if (!PosixListingPutText(units, count))
        {
            return FailWithKeptError();
        }
    }
    *written = size;
    return TRUE;
}

BOOL PosixListingWrite(const void* bytes, DWORD size, LPDWORD written)
{
    *written = 0;
    if (Listing.error != ERROR_SUCCESS)
    {
        return FailWithKeptError();
    }
    // A listing far larger than any real database gives is made by its database, on purpose:
    // every string reference repeats its text, and a small file can hold very many. It is
    // stopped at the limit, whose bytes are written whole.
    if (Listing.limit != 0 && Listing.total + size > Listing.limit)
    {
        ULONGLONG limit = Listing.limit;
        DWORD room = (DWORD)(limit - Listing.total);
        Listing.limit = 0;
        DWORD part = 0;
        if (room == 0 || PosixListingWrite(bytes, room, &part))
        {
            // A view ends its text where the listing stops, so that what it wrote stays whole.
            if (Listing.view == NULL || Listing.view->end(FALSE))
            {
                PosixListingFlush();
            }
        }
        PosixReport(L"shimlist: the listing was stopped after %I64u bytes, the most this "
                    L"database may give (counted as UTF-16; --max-growth sets the factor)\n",
                    limit);
        ExitProcess(ERROR_NOT_ENOUGH_QUOTA);
    }
    Listing.total += size;
    const BYTE* from = (const BYTE*)bytes;
    if (Listing.view != NULL || Listing.form == POSIX_LISTING_UTF8)
    {
        if (!TakeUnits(from, size, Listing.view != NULL ? Listing.view->take : PutTextUnits))
        {
            return FailWithKeptError();
        }
    }
    else
    {
        for (DWORD done = 0; done < size;)
        {
            size_t piece = LISTING_BLOCK_BYTES - Listing.used;
            piece = piece < size - done ? piece : size - done;
            memcpy(Listing.block + Listing.used, from + done, piece);
            Listing.used += piece;
            done += (DWORD)piece;
            if (Listing.used == LISTING_BLOCK_BYTES && !WriteBlock())
            {
                return FailWithKeptError();
            }
        }
    }
    *written = size;
    return TRUE;
}

BOOL PosixListingFlush(void)
{
    if (Listing.closed)
    {
        return TRUE;
    }
    if (Listing.error != ERROR_SUCCESS || !WriteBlock())
    {
        return FailWithKeptError();
    }
    return TRUE;
}

void PosixListingDrain(void)
{
    if (!Listing.closed && Listing.error == ERROR_SUCCESS)
    {
        WriteBlock();
    }
}

BOOL PosixListingClose(void)
{
    BOOL flushed = TRUE;
    if (Listing.error == ERROR_SUCCESS && Listing.view != NULL && !Listing.closed)
    {
        // A byte without its partner is shown as U+FFFD, as in the listing's UTF-8 form.
        static const WCHAR Replacement = 0xFFFD;
        if (Listing.odd)
        {
            Listing.odd = false;
            flushed = Listing.view->take(&Replacement, 1);
        }
        flushed = flushed && Listing.view->end(TRUE);
    }
    if (flushed && Listing.error == ERROR_SUCCESS && Listing.form == POSIX_LISTING_UTF8)
    {
        // What waits for a partner that never came is shown as it stands, or as U+FFFD.
        if (Listing.high != 0 || Listing.odd)
        {
            Listing.high = 0;
            Listing.odd = false;
            flushed = PutCharacter(0xFFFD);
        }
        if (flushed && Listing.carriage)
        {
            Listing.carriage = false;
            flushed = PutCharacter(L'\r');
        }
    }
    if (Listing.error == ERROR_SUCCESS && flushed)
    {
        flushed = WriteBlock();
    }
    // A write failure that a caller has seen is not reported again; bytes after it are not
    // written, since they would follow a gap.
    flushed = Listing.error == ERROR_SUCCESS || Listing.errorTold;
    DWORD error = Listing.error;
    Listing.closed = true;
    Listing.errorTold = true;
    Listing.used = 0;
    if (close(STDOUT_FILENO) != 0 && errno != EINTR && flushed)
    {
        SetLastError(PosixErrorFromErrno(errno));
        return FALSE;
    }
    if (!flushed)
    {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}
