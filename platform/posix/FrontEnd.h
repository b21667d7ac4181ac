// What the Linux command's own files share: running the program on one database, and messages.
#pragma once

#include "platform/posix/Posix.h"

// Runs the program on one database, named by path in its header and messages; pinned is the
// descriptor of the file that the front end opened under that name, or -1 to let the program
// open it (and report why it cannot). Never returns.
[[noreturn]] void RunProgram(LPCWSTR path, int pinned);

// Opens the database named by name for the program, without waiting on a device or a pipe;
// "-" is standard input, read into a file of its own when it is not one. Gives -1 when the
// name cannot be opened: the program then opens it itself and reports why, in its own words.
int OpenDatabase(const char* name);

// Lists each database into its own file in folder; gives the exit code of the command.
DWORD ListIntoFolder(const char* folder, char** names, LPCWSTR* paths, int count,
                     POSIX_LISTING_FORM form);

// The standard error handle, for the command's own messages.
HANDLE ErrorHandle(void);

// Shows a text that comes from the user or the file system (a name, a path) in a message, with
// the program's replacements: it can neither end the message's line nor drive a terminal.
void ShowName(LPCWSTR name);

// The UTF-16 form of a UTF-8 text that the front end already checked, in a new block.
LPWSTR WideOf(const char* text);
