// Stand-in for the platform's apphelp.dll: the shim database functions over a private file copy.
#include "sdb/Sdb.h"
#include "standin/Evidence.h"
#include "standin/SdbCore.h"
#include "standin/Sha256.h"
#include "standin/SdbUnpack.h"
#include "standin/OpenDatabase.h"
#include "TagNames.h"

// An open database is one VirtualAlloc block: this description, then the file's bytes, the
// zero tail and the marks of the string table's items; and, for a file with texts that lack
// their zero character, a second block with their copies. The file is copied rather than
// mapped: another program may shrink a file under a mapping, and every later read of the lost
// pages would fault. The blocks are made read-only once filled, since callers receive pointers
// into them.
struct tagSDBDATABASE
{
    SDB_IMAGE image;
};

#define SDB_IMAGE_OFFSET 64 // where the file's bytes start within the block
static_assert(sizeof(tagSDBDATABASE) <= SDB_IMAGE_OFFSET, "the description overlaps the file");

// Largest single ReadFile request; a request may deliver less.
#define SDB_READ_CHUNK 0x1000000u

// Not in every SDK's headers: "The specified compression format is unsupported."
#ifndef ERROR_UNSUPPORTED_COMPRESSION
#define ERROR_UNSUPPORTED_COMPRESSION 618L
#endif

static const WCHAR InvalidTagName[] = L"InvalidTag";
static const WCHAR HexDigits[] = L"0123456789abcdef";

// What SdbStandinGetEvidence reports: the last database opened in this process, whose program
// calls the library from one thread.
static SDB_EVIDENCE LastEvidence;

static const SDB_IMAGE* ImageOf(PDB pdb)
{
    return pdb != nullptr ? &pdb->image : nullptr;
}

// Opens a database file. A path may name a device instead (CON, COM1, a pipe): reading one
// waits for input that may never come, so only disk files are accepted.
static HANDLE OpenForReading(LPCWSTR path)
{
    HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE && GetFileType(file) != FILE_TYPE_DISK)
    {
        CloseHandle(file);
        SetLastError(ERROR_BAD_FORMAT);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// Closes a handle that was only read from, keeping the last error of the caller's outcome: a
// failed close of such a handle loses nothing.
static void CloseReadHandle(HANDLE file)
{
    DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
}

// Reads up to size bytes; the count comes back in *done, which is short when the file shrank
// since its size was taken.
static BOOL ReadUpTo(HANDLE file, BYTE* buffer, DWORD size, DWORD* done)
{
    *done = 0;
    while (*done < size)
    {
        DWORD request = size - *done;
        if (request > SDB_READ_CHUNK)
        {
            request = SDB_READ_CHUNK;
        }
        DWORD got = 0;
        if (!ReadFile(file, buffer + *done, request, &got, nullptr))
        {
            return FALSE;
        }
        if (got == 0)
        {
            break;
        }
        *done += got;
    }
    return TRUE;
}

extern "C" BOOL WINAPI DllEntry(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}

// Frees a block of ReserveBlock, keeping the last error of the caller's outcome.
static void ReleaseBlock(BYTE* block)
{
    DWORD error = GetLastError();
    VirtualFree(block, 0, MEM_RELEASE);
    SetLastError(error);
}

// Where the marks of the string table's items start in the block of an image of size bytes.
static SIZE_T MembersOffset(DWORD size)
{
    return ((SIZE_T)SDB_IMAGE_OFFSET + size + SDB_IMAGE_ZERO_TAIL + 7) & ~(SIZE_T)7;
}

// The whole block of an image of size bytes.
static SIZE_T BlockSize(DWORD size)
{
    return MembersOffset(size) + SdbCoreMembersRoom(size);
}

// A block for size bytes at SDB_IMAGE_OFFSET, the zero tail after them and the room for the
// marks of the string table's items. Fresh pages are zero, so the tail needs no writing.
static BYTE* ReserveBlock(DWORD size)
{
    SIZE_T blockSize = BlockSize(size);
    BYTE* block = (BYTE*)VirtualAlloc(nullptr, blockSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (block == nullptr)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return block;
}

// Reads a whole database file into a fresh block; gives the count of bytes read, which is
// short when the file shrank since its size was taken. Null with the last error on failure.
static BYTE* ReadWholeFile(LPCWSTR path, DWORD* got)
{
    HANDLE file = OpenForReading(path);
    if (file == INVALID_HANDLE_VALUE)
    {
        return nullptr;
    }
    LARGE_INTEGER fileSize;
    if (!GetFileSizeEx(file, &fileSize))
    {
        CloseReadHandle(file);
        return nullptr;
    }
    if (fileSize.QuadPart > (LONGLONG)SDB_MAX_FILE_SIZE)
    {
        CloseHandle(file);
        SetLastError(ERROR_FILE_TOO_LARGE);
        return nullptr;
    }
    if (fileSize.QuadPart < (LONGLONG)SDB_HEADER_SIZE)
    {
        CloseHandle(file);
        SetLastError(ERROR_BAD_FORMAT);
        return nullptr;
    }
    BYTE* block = ReserveBlock((DWORD)fileSize.QuadPart);
    if (block == nullptr)
    {
        CloseReadHandle(file);
        return nullptr;
    }
    BOOL read = ReadUpTo(file, block + SDB_IMAGE_OFFSET, (DWORD)fileSize.QuadPart, got);
    CloseReadHandle(file);
    if (!read)
    {
        if (GetLastError() == ERROR_SUCCESS)
        {
            SetLastError(ERROR_READ_FAULT);
        }
        ReleaseBlock(block);
        return nullptr;
    }
    return block;
}

// zlib's working memory comes from the process heap.
static void* ZlibAlloc(void* opaque, unsigned int items, unsigned int size)
{
    (void)opaque;
    ULONGLONG bytes = (ULONGLONG)items * size;
    if (bytes > (SIZE_T)-1)
    {
        return nullptr;
    }
    return HeapAlloc(GetProcessHeap(), 0, (SIZE_T)bytes);
}

static void ZlibFree(void* opaque, void* address)
{
    (void)opaque;
    HeapFree(GetProcessHeap(), 0, address);
}

static const SDB_UNPACK_ALLOCATOR ZlibAllocator = {ZlibAlloc, ZlibFree, nullptr};

// The last error for each refusal of a compressed file: distinct, so that a script can tell
// a file it must repair or unpack by other means from one that is simply not a database.
static const DWORD UnpackErrors[] = {
    ERROR_SUCCESS,                 // SDB_UNPACK_DONE
    ERROR_HANDLE_EOF,              // SDB_UNPACK_HEADER_CUT
    ERROR_UNSUPPORTED_COMPRESSION, // SDB_UNPACK_UNKNOWN_METHOD
    ERROR_INVALID_DATA,            // SDB_UNPACK_SIZE_TOO_SMALL
    ERROR_FILE_TOO_LARGE,          // SDB_UNPACK_SIZE_TOO_LARGE
    ERROR_CRC,                     // SDB_UNPACK_DAMAGED
    ERROR_HANDLE_EOF,              // SDB_UNPACK_STREAM_CUT
    ERROR_MORE_DATA,               // SDB_UNPACK_MORE_THAN_SIZE
    ERROR_BAD_LENGTH,              // SDB_UNPACK_LESS_THAN_SIZE
    ERROR_NOT_ENOUGH_MEMORY,       // SDB_UNPACK_NO_MEMORY
};
static_assert(sizeof(UnpackErrors) / sizeof(UnpackErrors[0]) == SDB_UNPACK_NO_MEMORY + 1,
              "a refusal of a compressed file without its error code");

// Unpacks the compressed file in packed (got bytes at SDB_IMAGE_OFFSET) into a fresh block of
// the declared size; gives that size in *got. The declared size is checked against the limit
// before anything is allocated for it. Null with the last error on failure.
static BYTE* UnpackBlock(const BYTE* packed, DWORD* got)
{
    const BYTE* bytes = packed + SDB_IMAGE_OFFSET;
    uint32_t unpackedSize;
    SDB_UNPACK_RESULT result = SdbUnpackReadHeader(bytes, *got, SDB_MAX_FILE_SIZE, &unpackedSize);
    if (result != SDB_UNPACK_DONE)
    {
        SetLastError(UnpackErrors[result]);
        return nullptr;
    }
    BYTE* block = ReserveBlock(unpackedSize);
    if (block == nullptr)
    {
        return nullptr;
    }
    result = SdbUnpackStream(bytes, *got, block + SDB_IMAGE_OFFSET, unpackedSize, &ZlibAllocator);
    if (result != SDB_UNPACK_DONE)
    {
        VirtualFree(block, 0, MEM_RELEASE);
        SetLastError(UnpackErrors[result]);
        return nullptr;
    }
    *got = unpackedSize;
    return block;
}

// Reads a compressed database file and unpacks the header of the database it holds into head
// (SDB_HEADER_SIZE bytes); the declared size is checked as for opening. False with the last
// error on failure.
static BOOL ReadPackedHead(LPCWSTR path, BYTE* head)
{
    DWORD got;
    BYTE* block = ReadWholeFile(path, &got);
    if (block == nullptr)
    {
        return FALSE;
    }
    const BYTE* bytes = block + SDB_IMAGE_OFFSET;
    uint32_t unpackedSize;
    SDB_UNPACK_RESULT result = SdbUnpackReadHeader(bytes, got, SDB_MAX_FILE_SIZE, &unpackedSize);
    if (result == SDB_UNPACK_DONE)
    {
        result = SdbUnpackHead(bytes, got, head, SDB_HEADER_SIZE, &ZlibAllocator);
    }
    ReleaseBlock(block);
    if (result != SDB_UNPACK_DONE)
    {
        SetLastError(UnpackErrors[result]);
        return FALSE;
    }
    return TRUE;
}

// Checks the opened image in one pass, with a working block for the pass's stack of lists, and
// attaches the copies of the texts that lack their zero character, in a read-only block of
// their own (none for a real database). False with the last error on failure.
static BOOL ScanImage(SDB_IMAGE* image, SDB_DAMAGE* damage)
{
    BYTE* work = (BYTE*)VirtualAlloc(nullptr, SdbCoreScanRoom(image->size),
                                     MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (work == nullptr)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    uint64_t needed = SdbCoreScan(image, work, nullptr, 0, damage);
    BOOL attached = TRUE;
    if (needed != 0)
    {
        BYTE* copies = nullptr;
        if (needed <= (SIZE_T)-1)
        {
            copies = (BYTE*)VirtualAlloc(nullptr, (SIZE_T)needed, MEM_COMMIT | MEM_RESERVE,
                                         PAGE_READWRITE);
        }
        if (copies != nullptr)
        {
            SdbCoreScan(image, work, copies, needed, damage);
        }
        DWORD oldProtection;
        attached = copies != nullptr && image->copies == copies &&
                   VirtualProtect(copies, (SIZE_T)needed, PAGE_READONLY, &oldProtection);
        if (!attached && copies != nullptr)
        {
            ReleaseBlock(copies);
            image->copies = nullptr;
            image->copyCount = 0;
        }
    }
    ReleaseBlock(work);
    if (!attached)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return attached;
}

// Reads a database file, unpacking it if it is compressed, into a read-only private copy, and
// records its evidence. Null with the last error on failure.
static PDB LoadDatabase(LPCWSTR path)
{
    DWORD got;
    BYTE* block = ReadWholeFile(path, &got);
    if (block == nullptr)
    {
        return nullptr;
    }
    // The hash is of the bytes as read, before they are unpacked: the file the listing is of.
    SDB_EVIDENCE evidence = {};
    evidence.opened = true;
    evidence.fileSize = got;
    SdbSha256(block + SDB_IMAGE_OFFSET, got, evidence.sha256);
    if (SdbUnpackIsPacked(block + SDB_IMAGE_OFFSET, got))
    {
        BYTE* unpacked = UnpackBlock(block, &got);
        ReleaseBlock(block);
        if (unpacked == nullptr)
        {
            return nullptr;
        }
        block = unpacked;
    }
    PDB pdb = (PDB)block;
    DWORD oldProtection;
    if (!SdbCoreOpenImage(&pdb->image, block + SDB_IMAGE_OFFSET, got, block + MembersOffset(got)))
    {
        VirtualFree(block, 0, MEM_RELEASE);
        SetLastError(ERROR_BAD_FORMAT);
        return nullptr;
    }
    if (!ScanImage(&pdb->image, &evidence.damage))
    {
        ReleaseBlock(block);
        return nullptr;
    }
    if (!VirtualProtect(block, BlockSize(got), PAGE_READONLY, &oldProtection))
    {
        if (pdb->image.copies != nullptr)
        {
            ReleaseBlock((BYTE*)pdb->image.copies);
        }
        ReleaseBlock(block);
        return nullptr;
    }
    evidence.imageSize = got;
    LastEvidence = evidence;
    return pdb;
}

#ifndef _WIN32
// The Linux command's views of a listing read the database that the program has open; the DLL
// keeps no writable data and has no such caller.
static PDB OpenedDatabase;

extern "C" PDB WINAPI SdbStandinOpenDatabase(void)
{
    return OpenedDatabase;
}
#endif

PDB WINAPI SdbOpenDatabase(LPCWSTR path, PATH_TYPE type)
{
    if (path == nullptr || type != DOS_PATH)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    PDB pdb = LoadDatabase(path);
#ifndef _WIN32
    OpenedDatabase = pdb != nullptr ? pdb : OpenedDatabase;
#endif
    return pdb;
}

BOOL WINAPI SdbGetDatabaseVersion(LPCWSTR path, LPDWORD major, LPDWORD minor)
{
    if (major != nullptr)
    {
        *major = 0;
    }
    if (minor != nullptr)
    {
        *minor = 0;
    }
    if (path == nullptr || major == nullptr || minor == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HANDLE file = OpenForReading(path);
    if (file == INVALID_HANDLE_VALUE)
    {
        return FALSE;
    }
    BYTE header[SDB_HEADER_SIZE];
    DWORD got;
    BOOL read = ReadUpTo(file, header, sizeof(header), &got);
    CloseReadHandle(file);
    if (!read)
    {
        return FALSE;
    }
    uint32_t fileMajor;
    uint32_t fileMinor;
    if (SdbUnpackIsPacked(header, got))
    {
        // The version is the unpacked database's own: its header is the first bytes of the
        // stream, and only those are unpacked here, so that a run unpacks the file once.
        if (!ReadPackedHead(path, header))
        {
            return FALSE;
        }
        got = sizeof(header);
    }
    if (!SdbCoreReadHeader(header, got, &fileMajor, &fileMinor))
    {
        SetLastError(ERROR_BAD_FORMAT);
        return FALSE;
    }
    *major = fileMajor;
    *minor = fileMinor;
    return TRUE;
}

void WINAPI SdbCloseDatabase(PDB pdb)
{
#ifndef _WIN32
    OpenedDatabase = pdb == OpenedDatabase ? nullptr : OpenedDatabase;
#endif
    if (pdb != nullptr)
    {
        if (pdb->image.copies != nullptr)
        {
            VirtualFree((LPVOID)pdb->image.copies, 0, MEM_RELEASE);
        }
        VirtualFree(pdb, 0, MEM_RELEASE);
    }
}

extern "C" BOOL WINAPI SdbStandinGetEvidence(SDB_EVIDENCE* evidence)
{
    if (evidence == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *evidence = LastEvidence;
    return LastEvidence.opened ? TRUE : FALSE;
}

TAGID WINAPI SdbGetFirstChild(PDB pdb, TAGID parent)
{
    return SdbCoreGetFirstChild(ImageOf(pdb), parent);
}

TAGID WINAPI SdbGetNextChild(PDB pdb, TAGID parent, TAGID previous)
{
    return SdbCoreGetNextChild(ImageOf(pdb), parent, previous);
}

TAG WINAPI SdbGetTagFromTagID(PDB pdb, TAGID tagid)
{
    return SdbCoreGetTag(ImageOf(pdb), tagid);
}

LPCWSTR WINAPI SdbTagToString(TAG tag)
{
    int low = 0;
    int high = TAG_NAME_COUNT - 1;
    while (low <= high)
    {
        int middle = (low + high) / 2;
        if (TagNameValues[middle] == tag)
        {
            return TagNameText + TagNameOffsets[middle];
        }
        if (TagNameValues[middle] < tag)
        {
            low = middle + 1;
        }
        else
        {
            high = middle - 1;
        }
    }
    return InvalidTagName;
}

WORD WINAPI SdbReadWORDTag(PDB pdb, TAGID tagid, WORD fallback)
{
    return SdbCoreReadWord(ImageOf(pdb), tagid, fallback);
}

DWORD WINAPI SdbReadDWORDTag(PDB pdb, TAGID tagid, DWORD fallback)
{
    return SdbCoreReadDword(ImageOf(pdb), tagid, fallback);
}

ULONGLONG WINAPI SdbReadQWORDTag(PDB pdb, TAGID tagid, ULONGLONG fallback)
{
    return SdbCoreReadQword(ImageOf(pdb), tagid, fallback);
}

LPWSTR WINAPI SdbGetStringTagPtr(PDB pdb, TAGID tagid)
{
    // The platform hands out a writable pointer type into its own copy; ours is read-only
    // memory, and callers only ever read through it.
    return (LPWSTR)SdbCoreGetStringData(ImageOf(pdb), tagid);
}

PVOID WINAPI SdbGetBinaryTagData(PDB pdb, TAGID tagid)
{
    return (PVOID)SdbCoreGetBinaryData(ImageOf(pdb), tagid);
}

DWORD WINAPI SdbGetTagDataSize(PDB pdb, TAGID tagid)
{
    return SdbCoreGetDataSize(ImageOf(pdb), tagid);
}

// Writes value as count lower-case hexadecimal digits, most significant first.
static LPWSTR PutHex(LPWSTR text, DWORD value, int count)
{
    for (int shift = (count - 1) * 4; shift >= 0; shift -= 4)
    {
        *text++ = HexDigits[(value >> shift) & 0xF];
    }
    return text;
}

BOOL WINAPI SdbGUIDToString(const GUID* guid, LPWSTR text, SIZE_T length)
{
    if (guid == nullptr || text == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (length < 39)
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    // The callers hand over 16 bytes of file data in the GUID's in-memory layout, which need
    // not be aligned: take them byte by byte.
    const BYTE* bytes = (const BYTE*)guid;
    LPWSTR out = text;
    *out++ = L'{';
    out = PutHex(out, bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | ((DWORD)bytes[3] << 24), 8);
    *out++ = L'-';
    out = PutHex(out, bytes[4] | (bytes[5] << 8), 4);
    *out++ = L'-';
    out = PutHex(out, bytes[6] | (bytes[7] << 8), 4);
    *out++ = L'-';
    for (int index = 8; index < 16; index++)
    {
        if (index == 10)
        {
            *out++ = L'-';
        }
        out = PutHex(out, bytes[index], 2);
    }
    *out++ = L'}';
    *out = L'\0';
    return TRUE;
}
