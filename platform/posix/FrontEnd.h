// What the Linux command's own files share: running the program on one database, and messages.
#pragma once

#include "platform/posix/Posix.h"
#include "standin/Evidence.h"
#include "standin/SdbCore.h"
#include "standin/Sha256.h"

// A listing may hold this many times its database's size, and this fixed amount more.
#define LISTING_GROWTH_DEFAULT 64u
#define LISTING_LIMIT_FIXED (16ull << 20)

// Runs the program on one database, named by path in its header and messages; pinned is the
// descriptor of the file that the front end opened under that name, or -1 to let the program
// open it (and report why it cannot). Never returns.
[[noreturn]] void RunProgram(LPCWSTR path, int pinned);

// Opens the database named by name for the program, without waiting on a device or a pipe;
// "-" is standard input, read into a file of its own when it is not one. Gives -1 when the
// name cannot be opened: the program then opens it itself and reports why, in its own words.
int OpenDatabase(const char* name);

// Lists each database into its own file in folder, each listing held to growth times its
// database; writes the folder's index; gives the exit code of the command.
DWORD ListIntoFolder(const char* folder, char** names, LPCWSTR* paths, int count,
                     POSIX_LISTING_FORM form, DWORD growth);

// Before a run of the program on the database behind pinned: its listing is held to growth
// times the database's size (0: no limit), and its exit code gets the library's word on
// damage. In a child of -o, the run's evidence then goes to evidenceChannel (else -1).
void WatchRun(int pinned, DWORD growth, int evidenceChannel);

// The size and SHA-256 of what descriptor reads from its start; false when it cannot be read.
bool HashDescriptor(int descriptor, ULONGLONG* size, BYTE* sha256);

// "shimlist VERSION (commit COMMIT)" and a line end, as --version writes it.
const char* ShimlistVersionLine(void);

// What the listing is turned into on its way (Views.cpp): nothing, JSON Lines, or a listing
// for diffs.
typedef enum LISTING_VIEW_KIND
{
    LISTING_VIEW_NONE,
    LISTING_VIEW_JSON,
    LISTING_VIEW_STABLE
} LISTING_VIEW_KIND;

// Turns every listing of the process into the view given; called once, before the program
// runs (a child of -o inherits it).
void StartView(LISTING_VIEW_KIND kind);

// How the name of a listing in -o's folder ends: ".jsonl" for JSON Lines, else ".txt".
const char* ListingSuffix(void);

// The standard error handle, for the command's own messages.
HANDLE ErrorHandle(void);

// Shows a text that comes from the user or the file system (a name, a path) in a message, with
// the program's replacements: it can neither end the message's line nor drive a terminal.
void ShowName(LPCWSTR name);

// The UTF-16 form of a UTF-8 text that the front end already checked, in a new block.
LPWSTR WideOf(const char* text);
