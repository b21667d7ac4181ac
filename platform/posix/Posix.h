// What the POSIX layer's own files share: text conversion and the process's command line.
#pragma once

#include <windows.h>

// Converts count UTF-16 units to UTF-8 into out (room for outSize bytes); gives the byte count,
// or -1 when the text holds an unpaired surrogate or does not fit. With replace, an unpaired
// surrogate becomes U+FFFD instead of failing.
long PosixUtf8FromUtf16(const WCHAR* text, size_t count, char* out, size_t outSize, bool replace);

// The UTF-8 bytes that a text of count UTF-16 units needs at most.
static inline size_t PosixUtf8Room(size_t count)
{
    return count * 3 + 1;
}

// Appends the UTF-16 form of the zero-terminated UTF-8 text to out; gives the number of units
// written, or -1 when the text is not valid UTF-8 (overlong forms, surrogates and values past
// U+10FFFF included). out must have room for strlen(text) units.
long PosixUtf16FromUtf8(const char* text, WCHAR* out);

// Hands the process's command line to GetCommandLineW; called once, before the program runs.
void PosixSetCommandLine(LPWSTR commandLine);

// The Windows error code for an errno value.
DWORD PosixErrorFromErrno(int error);

// Keeps a copy of standard error for PosixReport, which may write after the program has closed
// its error handle; called once, before the program runs.
void PosixKeepReportChannel(void);

// Writes a message of the layer's own on standard error, formatted by wvsprintfW.
void PosixReport(LPCWSTR format, ...);

// How the listing that the program writes to standard output reaches its destination: the
// exact bytes, or UTF-8 text (no byte-order mark, LF line ends) for pipes and terminals.
typedef enum POSIX_LISTING_FORM
{
    POSIX_LISTING_EXACT,
    POSIX_LISTING_UTF8
} POSIX_LISTING_FORM;

// Sets the form of the listing; called once, before the program runs.
void PosixSetListingForm(POSIX_LISTING_FORM form);

// The listing's stream (Listing.cpp): the program's writes to standard output gathered into
// blocks. A failed write is sticky: every later write fails with the same error, so that what
// reached the destination is an exact prefix of the listing.
BOOL PosixListingWrite(const void* bytes, DWORD size, LPDWORD written);
// Hands the gathered bytes to the kernel; FALSE with the last error after a failed write.
BOOL PosixListingFlush(void);
// The same before a diagnostic, so that both reach a shared terminal in order; a failure is
// kept for the listing's next write or its close.
void PosixListingDrain(void);
// Flushes, ends the text and closes standard output; FALSE with the last error when a write
// failed that no caller has been told of yet, or when the close fails.
BOOL PosixListingClose(void);
// Ends the process as a reader of standard output that has gone away ends a Unix program: by
// SIGPIPE, which the layer otherwise ignores.
[[noreturn]] void PosixEndForGoneReader(void);
// True when the listing is converted to UTF-8.
bool PosixListingIsText(void);

// A view of the listing: the front end's rewriting of its lines on the way (JSON, a listing for
// diffs). The stream hands take every UTF-16 unit that the program writes, in order, in runs;
// the view writes its own text with PosixListingPutText, in the listing's form. end comes once,
// when the program closes the listing (complete) or the listing is stopped part way. Both
// return FALSE after a failed write, with the stream's error kept.
typedef struct POSIX_LISTING_VIEW
{
    BOOL (*take)(const WCHAR* units, DWORD count);
    BOOL (*end)(BOOL complete);
} POSIX_LISTING_VIEW;

// Sets the view; called once, before the program runs. NULL (the default): the listing as the
// program writes it.
void PosixSetListingView(const POSIX_LISTING_VIEW* view);
// For a view: writes count units of text into the listing, past the view, in the listing's
// form (the exact bytes, or UTF-8).
BOOL PosixListingPutText(const WCHAR* units, DWORD count);
// A handle whose writes go the same way, for the program's writers (FileWriteText): a view
// shows a database's text with the listing's own replacements.
HANDLE PosixListingViewHandle(void);
BOOL PosixListingViewWrite(const void* bytes, DWORD size, LPDWORD written);

// Makes CreateFileW of exactly this path open the file behind descriptor (already opened by
// the front end), whatever the name names by then: the program opens its database more than
// once, and every open must see the one file. Called once, before the program runs.
void PosixPinDatabase(LPCWSTR path, int descriptor);

// In a child that lists one database for its parent: ExitProcess writes the whole exit code
// (four bytes, native order) into descriptor before the process ends.
void PosixSetStatusChannel(int descriptor);

// Writes all size bytes to descriptor, continuing partial writes; false with errno set after a
// failed write (EIO for one that wrote nothing).
bool PosixWriteAll(int descriptor, const void* bytes, size_t size);

// Ends the process with exitCode: the whole code to the parent's status channel, or a code
// above 255, which the shell cannot receive, written on standard error first.
[[noreturn]] void PosixEnd(DWORD exitCode);

// Gives hook the last word on the exit code: ExitProcess calls it first, and ends with the
// code it returns. For the front end, which knows more of a run than the program.
void PosixSetExitHook(DWORD (*hook)(DWORD exitCode));

// Stops the listing once it holds more than limit bytes (its exact form counted): the layer
// says so, and the run ends with ERROR_NOT_ENOUGH_QUOTA. 0 sets no limit.
void PosixSetListingLimit(ULONGLONG limit);

// A few words on what an exit code of the program means, or NULL for a code without them.
LPCWSTR PosixCauseOf(DWORD code);

// The handle of a descriptor, as GetStdHandle gives them.
HANDLE PosixHandleOf(int descriptor);
