// The Linux command's -o DIR: one listing file per database, each made by a run of its own.
#include "platform/posix/FrontEnd.h"
#include "output/Writers.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// A file by what it is, not by its name: two names can lead to one file.
typedef struct FILE_IDENTITY
{
    dev_t device;
    ino_t inode;
    bool known;
} FILE_IDENTITY;

// What became of one database, for the summary and the index.
typedef struct OUTCOME
{
    DWORD code;
    LPCWSTR cause;
    bool inputHashed;
    ULONGLONG inputSize;
    BYTE inputHash[32];
    const char* listing; // the listing's name in the folder, or NULL
    BYTE listingHash[32];
} OUTCOME;

// The index's name: no listing can take it, since every listing's name ends in .txt, .jsonl or
// .partial.
static const char IndexName[] = "shimlist-index.tsv";

static const WCHAR AFolder[] = L"a folder, not a database";
static const WCHAR SameName[] = L"its listing's name is that of an earlier database's";
static const WCHAR AnInput[] = L"its listing's name is that of a file given as a database";

// Makes the folder and the folders on its way, as mkdir -p does.
static bool MakeFolders(const char* folder)
{
    size_t length = strlen(folder);
    char* path = (char*)malloc(length + 1);
    if (path == NULL)
    {
        errno = ENOMEM;
        return false;
    }
    memcpy(path, folder, length + 1);
    for (size_t index = 1; index <= length; index++)
    {
        if (path[index] != '/' && path[index] != 0)
        {
            continue;
        }
        char kept = path[index];
        path[index] = 0;
        if (mkdir(path, 0777) != 0 && errno != EEXIST)
        {
            int error = errno;
            free(path);
            errno = error;
            return false;
        }
        path[index] = kept;
    }
    free(path);
    return true;
}

// The name of a database's listing: its file name and the suffix; standard input's stem is stdin.
static char* ListingName(const char* database, const char* suffix)
{
    size_t end = strlen(database);
    while (end > 1 && database[end - 1] == '/')
    {
        end--;
    }
    size_t start = end;
    while (start > 0 && database[start - 1] != '/')
    {
        start--;
    }
    const char* stem = database + start;
    size_t stemLength = end - start;
    if (strcmp(database, "-") == 0)
    {
        stem = "stdin";
        stemLength = 5;
    }
    char* name = (char*)malloc(stemLength + strlen(suffix) + 1);
    if (name != NULL)
    {
        memcpy(name, stem, stemLength);
        strcpy(name + stemLength, suffix);
    }
    return name;
}

// True when the entry name of the folder is one of the databases given: it is not to be
// replaced or removed. A link there is replaced, not what it leads to, so it is no input.
static bool IsInput(int folder, const char* name, const FILE_IDENTITY* inputs, int count)
{
    struct stat status;
    if (fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) != 0 || S_ISLNK(status.st_mode))
    {
        return false;
    }
    for (int index = 0; index < count; index++)
    {
        if (inputs[index].known && inputs[index].device == status.st_dev &&
            inputs[index].inode == status.st_ino)
        {
            return true;
        }
    }
    return false;
}

// Removes an older file of that name, unless it is an input.
static void RemoveStale(int folder, const char* name, const FILE_IDENTITY* inputs, int count)
{
    if (!IsInput(folder, name, inputs, count))
    {
        unlinkat(folder, name, 0);
    }
}

// A new file in the folder with no name yet, so that nothing is left of it if the command is
// stopped; where the file system cannot make one, a hidden name that is removed on failure.
static int NewListingFile(int folder, char* temporary, size_t room)
{
    temporary[0] = 0;
    int file = openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (file >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
    {
        return file;
    }
    for (unsigned attempt = 0; attempt < 1000; attempt++)
    {
        snprintf(temporary, room, ".shimlist-%ld-%u.tmp", (long)getpid(), attempt);
        file = openat(folder, temporary, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (file >= 0 || errno != EEXIST)
        {
            return file;
        }
    }
    return -1;
}

// Gives the listing its final name in the folder, replacing what had that name (a link is
// replaced, never followed). The listing is synced first, so that a name never leads to a
// listing that a crash could still cut.
static bool PlaceListing(int folder, int file, char* temporary, size_t room, const char* final)
{
    if (fsync(file) != 0 && errno != EINVAL)
    {
        return false;
    }
    if (temporary[0] == 0)
    {
        char self[64];
        snprintf(self, sizeof(self), "/proc/self/fd/%d", file);
        for (unsigned attempt = 0;; attempt++)
        {
            snprintf(temporary, room, ".shimlist-%ld-%u.tmp", (long)getpid(), attempt);
            if (linkat(AT_FDCWD, self, folder, temporary, AT_SYMLINK_FOLLOW) == 0)
            {
                break;
            }
            if (errno != EEXIST || attempt == 1000)
            {
                temporary[0] = 0;
                return false;
            }
        }
    }
    if (renameat(folder, temporary, folder, final) != 0)
    {
        int error = errno;
        unlinkat(folder, temporary, 0);
        errno = error;
        return false;
    }
    temporary[0] = 0;
    return true;
}

// Reads up to size bytes; gives the count read.
static size_t ReadUpTo(int descriptor, BYTE* bytes, size_t size)
{
    size_t got = 0;
    while (got < size)
    {
        ssize_t result = read(descriptor, bytes + got, size - got);
        if (result < 0 && errno == EINTR)
        {
            continue;
        }
        if (result <= 0)
        {
            break;
        }
        got += (size_t)result;
    }
    return got;
}

// Runs the program on one database in a child whose standard output is listing; gives the
// whole exit code and the run's evidence, which the child hands back through a pipe.
static DWORD ListInChild(LPCWSTR path, int pinned, int listing, POSIX_LISTING_FORM form,
                         DWORD growth, SDB_EVIDENCE* evidence)
{
    memset(evidence, 0, sizeof(*evidence));
    int status[2];
    if (pipe2(status, O_CLOEXEC) != 0)
    {
        return PosixErrorFromErrno(errno);
    }
    pid_t parent = getpid();
    pid_t child = fork();
    if (child == 0)
    {
        // The child ends with the command, however the command ends (kill -9 too), and does
        // not start at all if the command has already gone.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
        {
            _exit(127);
        }
        close(status[0]);
        if (dup2(listing, STDOUT_FILENO) < 0)
        {
            PosixEnd(PosixErrorFromErrno(errno));
        }
        PosixSetListingForm(form);
        PosixSetStatusChannel(status[1]);
        WatchRun(pinned, growth, status[1]);
        RunProgram(path, pinned);
    }
    int error = errno;
    close(status[1]);
    if (child < 0)
    {
        close(status[0]);
        return PosixErrorFromErrno(error);
    }
    // The evidence comes first, then the code; a child that ended before either sent nothing.
    BYTE record[sizeof(SDB_EVIDENCE) + sizeof(DWORD)];
    size_t got = ReadUpTo(status[0], record, sizeof(record));
    close(status[0]);
    DWORD code = 0;
    if (got == sizeof(record))
    {
        memcpy(evidence, record, sizeof(*evidence));
        memcpy(&code, record + sizeof(*evidence), sizeof(code));
    }
    int waited = 0;
    while (waitpid(child, &waited, 0) < 0 && errno == EINTR)
    {
    }
    if (got == sizeof(record))
    {
        return code;
    }
    if (WIFSIGNALED(waited))
    {
        ConsolePrintf(ErrorHandle(), L"shimlist: the program was ended by signal %lu\n",
                      (DWORD)WTERMSIG(waited));
        return 128 + (DWORD)WTERMSIG(waited);
    }
    return WIFEXITED(waited) && WEXITSTATUS(waited) != 0 ? (DWORD)WEXITSTATUS(waited)
                                                         : ERROR_GEN_FAILURE;
}

// Says, with the database's name, what is wrong before or after its run.
static void SayAbout(LPCWSTR path, LPCWSTR problem)
{
    ConsolePrintf(ErrorHandle(), L"shimlist: ");
    ShowName(path);
    ConsolePrintf(ErrorHandle(), L": %ls\n", problem);
}

// Lists one database into the folder; gives its outcome.
static OUTCOME ListOne(int folder, const char* database, LPCWSTR path, char** names, int index,
                       const FILE_IDENTITY* inputs, int count, POSIX_LISTING_FORM form,
                       DWORD growth)
{
    OUTCOME outcome;
    memset(&outcome, 0, sizeof(outcome));
    int pinned = OpenDatabase(database);
    struct stat status;
    if (pinned >= 0 && fstat(pinned, &status) == 0 && S_ISDIR(status.st_mode))
    {
        close(pinned);
        SayAbout(path, AFolder);
        outcome.code = ERROR_ACCESS_DENIED;
        outcome.cause = AFolder;
        return outcome;
    }
    const char* name = names[index];
    char* partial = ListingName(name, ".partial");
    for (int earlier = 0; earlier < index && partial != NULL; earlier++)
    {
        if (names[earlier] != NULL && strcmp(names[earlier], name) == 0)
        {
            outcome.code = ERROR_FILE_EXISTS;
            outcome.cause = SameName;
        }
    }
    if (outcome.code == ERROR_SUCCESS && partial != NULL &&
        (IsInput(folder, name, inputs, count) || IsInput(folder, partial, inputs, count)))
    {
        outcome.code = ERROR_FILE_EXISTS;
        outcome.cause = AnInput;
    }
    char temporary[64];
    int listing = -1;
    if (outcome.code == ERROR_SUCCESS && partial != NULL)
    {
        listing = NewListingFile(folder, temporary, sizeof(temporary));
    }
    if (outcome.code == ERROR_SUCCESS && listing < 0)
    {
        outcome.code = partial == NULL ? ERROR_NOT_ENOUGH_MEMORY : ERROR_CANNOT_MAKE;
    }
    if (outcome.code != ERROR_SUCCESS)
    {
        if (pinned >= 0 && pinned != STDIN_FILENO)
        {
            close(pinned);
        }
        if (outcome.cause != NULL)
        {
            SayAbout(path, outcome.cause);
        }
        free(partial);
        return outcome;
    }

    SDB_EVIDENCE evidence;
    outcome.code = ListInChild(path, pinned, listing, form, growth, &evidence);
    // The hash of the bytes that the library listed; of a file it did not take, what the file
    // holds now.
    if (evidence.opened)
    {
        outcome.inputHashed = true;
        outcome.inputSize = evidence.fileSize;
        memcpy(outcome.inputHash, evidence.sha256, sizeof(outcome.inputHash));
    }
    else if (pinned >= 0 && fstat(pinned, &status) == 0 && S_ISREG(status.st_mode))
    {
        outcome.inputHashed = HashDescriptor(pinned, &outcome.inputSize, outcome.inputHash);
    }
    if (pinned >= 0 && pinned != STDIN_FILENO)
    {
        close(pinned);
    }
    // A complete listing takes the name; what a failed run wrote is kept apart, never under
    // the name of a complete one. Neither replaces a database given.
    bool wrote = fstat(listing, &status) == 0 && status.st_size > 0;
    const char* final = outcome.code == ERROR_SUCCESS ? name : wrote ? partial : NULL;
    if (final != NULL && IsInput(folder, final, inputs, count))
    {
        outcome.code = ERROR_FILE_EXISTS;
        outcome.cause = AnInput;
        SayAbout(path, AnInput);
        final = NULL;
    }
    ULONGLONG listed = 0;
    if (final != NULL && !HashDescriptor(listing, &listed, outcome.listingHash))
    {
        final = NULL;
        outcome.code = ERROR_READ_FAULT;
    }
    if (final != NULL && !PlaceListing(folder, listing, temporary, sizeof(temporary), final))
    {
        ConsolePrintf(ErrorHandle(), L"shimlist: ");
        ShowName(path);
        ConsolePrintf(ErrorHandle(), L": its listing cannot be put in place: error %lu\n",
                      PosixErrorFromErrno(errno));
        outcome.code = ERROR_CANNOT_MAKE;
        final = NULL;
    }
    outcome.listing = final == name ? names[index] : final == partial ? partial : NULL;
    if (final != name)
    {
        RemoveStale(folder, name, inputs, count);
    }
    if (final != partial)
    {
        RemoveStale(folder, partial, inputs, count);
    }
    if (temporary[0] != 0)
    {
        unlinkat(folder, temporary, 0);
    }
    close(listing);
    if (outcome.listing != partial)
    {
        free(partial);
    }
    return outcome;
}

// Writes hash as 64 lower-case hexadecimal digits, as sha256sum shows it.
static void HexOf(const BYTE* hash, WCHAR* out)
{
    static const WCHAR Digits[] = L"0123456789abcdef";
    for (int index = 0; index < 32; index++)
    {
        out[2 * index] = Digits[hash[index] >> 4];
        out[2 * index + 1] = Digits[hash[index] & 15];
    }
    out[64] = 0;
}

// Writes the folder's index: for each database given, as given, its size and SHA-256, its exit
// code, and its listing's name and SHA-256 or why there is none; and which shimlist made them.
// Names are shown with the program's replacements, so that none can add a field or a line.
static bool WriteIndex(int folder, LPCWSTR* paths, const OUTCOME* outcomes, int count,
                       const FILE_IDENTITY* inputs)
{
    if (IsInput(folder, IndexName, inputs, count))
    {
        ConsolePrintf(ErrorHandle(),
                      L"shimlist: the index is not written: %ls is one of the "
                      L"databases given\n",
                      WideOf(IndexName));
        return false;
    }
    char temporary[64];
    int file = NewListingFile(folder, temporary, sizeof(temporary));
    if (file < 0)
    {
        ConsolePrintf(ErrorHandle(), L"shimlist: the index cannot be made: error %lu\n",
                      PosixErrorFromErrno(errno));
        return false;
    }
    HANDLE index = PosixHandleOf(file);
    TEXT_REPLACEMENTS replaced = {0, 0, 0};
    BOOL written = ConsolePrintf(index, L"# %ls", WideOf(ShimlistVersionLine()));
    written &= ConsolePrintf(index, L"# database\tsize\tsha256\texit code\tlisting\t"
                                    L"listing sha256, or why there is none\n");
    for (int at = 0; at < count; at++)
    {
        const OUTCOME* outcome = &outcomes[at];
        WCHAR hex[65];
        written &= ConsoleWriteText(index, paths[at], TextLength(paths[at]), &replaced);
        if (outcome->inputHashed)
        {
            HexOf(outcome->inputHash, hex);
            written &= ConsolePrintf(index, L"\t%I64u\t%ls", outcome->inputSize, hex);
        }
        else
        {
            written &= ConsolePrintf(index, L"\t-\t-");
        }
        written &= ConsolePrintf(index, L"\t%lu\t", outcome->code);
        if (outcome->listing != NULL)
        {
            HexOf(outcome->listingHash, hex);
            LPWSTR name = WideOf(outcome->listing);
            written &= ConsoleWriteText(index, name, TextLength(name), &replaced);
            written &= ConsolePrintf(index, L"\t%ls\n", hex);
            free(name);
            continue;
        }
        LPCWSTR cause = outcome->cause != NULL ? outcome->cause : PosixCauseOf(outcome->code);
        written &= ConsolePrintf(index, L"-\tno listing: %ls\n",
                                 cause != NULL ? cause : L"nothing was written");
    }
    bool placed = written && PlaceListing(folder, file, temporary, sizeof(temporary), IndexName);
    if (!placed)
    {
        ConsolePrintf(ErrorHandle(), L"shimlist: the index cannot be written: error %lu\n",
                      written ? PosixErrorFromErrno(errno) : GetLastError());
        if (temporary[0] != 0)
        {
            unlinkat(folder, temporary, 0);
        }
    }
    close(file);
    return placed;
}

DWORD ListIntoFolder(const char* folder, char** databases, LPCWSTR* paths, int count,
                     POSIX_LISTING_FORM form, DWORD growth)
{
    HANDLE console = ErrorHandle();
    int folderHandle = -1;
    if (MakeFolders(folder))
    {
        folderHandle = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (folderHandle < 0)
    {
        DWORD error = PosixErrorFromErrno(errno);
        ConsolePrintf(console, L"shimlist: ");
        ShowName(WideOf(folder));
        ConsolePrintf(console, L" cannot be the output folder: error %lu\n", error);
        return ERROR_CANNOT_MAKE;
    }
    FILE_IDENTITY* inputs = (FILE_IDENTITY*)calloc((size_t)count, sizeof(FILE_IDENTITY));
    char** names = (char**)calloc((size_t)count, sizeof(char*));
    OUTCOME* outcomes = (OUTCOME*)calloc((size_t)count, sizeof(OUTCOME));
    if (inputs == NULL || names == NULL || outcomes == NULL)
    {
        ConsolePrintf(console, L"shimlist: not enough memory\n");
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    for (int index = 0; index < count; index++)
    {
        struct stat status;
        bool standardInput = strcmp(databases[index], "-") == 0;
        if (standardInput ? fstat(STDIN_FILENO, &status) == 0
                          : stat(databases[index], &status) == 0)
        {
            inputs[index].device = status.st_dev;
            inputs[index].inode = status.st_ino;
            inputs[index].known = true;
        }
        names[index] = ListingName(databases[index], ListingSuffix());
    }

    DWORD failed = 0, firstCode = ERROR_SUCCESS;
    for (int index = 0; index < count; index++)
    {
        ConsolePrintf(console, L"file %lu of %lu: ", (DWORD)index + 1, (DWORD)count);
        ShowName(paths[index]);
        ConsolePrintf(console, L"\n");
        if (names[index] == NULL)
        {
            outcomes[index].code = ERROR_NOT_ENOUGH_MEMORY;
        }
        else
        {
            outcomes[index] = ListOne(folderHandle, databases[index], paths[index], names, index,
                                      inputs, count, form, growth);
        }
        if (outcomes[index].code != ERROR_SUCCESS)
        {
            failed++;
            firstCode = firstCode != ERROR_SUCCESS ? firstCode : outcomes[index].code;
        }
    }
    if (!WriteIndex(folderHandle, paths, outcomes, count, inputs) && firstCode == ERROR_SUCCESS)
    {
        firstCode = ERROR_CANNOT_MAKE;
    }
    // The names given to the listings last as long as the folder's entries do.
    fsync(folderHandle);
    close(folderHandle);

    if (failed != 0)
    {
        ConsolePrintf(console, L"shimlist: %lu of %lu failed:\n", failed, (DWORD)count);
        for (int index = 0; index < count; index++)
        {
            if (outcomes[index].code == ERROR_SUCCESS)
            {
                continue;
            }
            LPCWSTR cause = outcomes[index].cause != NULL ? outcomes[index].cause
                                                          : PosixCauseOf(outcomes[index].code);
            ConsolePrintf(console, L"  ");
            ShowName(paths[index]);
            ConsolePrintf(console, L": exit code %lu%ls%ls\n", outcomes[index].code,
                          cause != NULL ? L": " : L"", cause != NULL ? cause : L"");
        }
    }
    return firstCode;
}
