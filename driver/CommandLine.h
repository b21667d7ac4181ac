// Splits a command line into an argument array held in one LocalAlloc block.
#pragma once

#include <windows.h>

// Returns the argument array, followed by a null entry, in one block that the caller releases
// with a single LocalFree, and stores the argument count. Returns null with last error 87 for a
// null pointer or an empty line. A quote still open at the end leaves last error 160 but the
// block is returned complete.
LPWSTR* CommandLineToArgv(LPCWSTR commandLine, int* argumentCount);
