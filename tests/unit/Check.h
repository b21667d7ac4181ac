// Minimal checks for the Windows unit tests: each failure says what came back and what was expected.
#pragma once

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>

static int g_checksPassed;
static int g_checksFailed;

// ok(condition, format, ...): counts a passed or failed check; a failure prints the place and the
// formatted message, which should name both the value that came back and the one expected.
#define ok(condition, ...) CheckOk((condition) != 0, __FILE__, __LINE__, __VA_ARGS__)

static inline __attribute__((format(printf, 4, 5))) void CheckOk(bool passed, const char* file,
                                                                  int line, const char* format, ...)
{
    if (passed)
    {
        g_checksPassed++;
        return;
    }
    g_checksFailed++;
    va_list args;
    va_start(args, format);
    printf("%s:%d: check failed: ", file, line);
    vprintf(format, args);
    printf("\n");
    va_end(args);
    fflush(stdout);
}

// Prints the closing count and gives the process exit code.
static inline int CheckSummary(void)
{
    printf("%d passed, %d failed\n", g_checksPassed, g_checksFailed);
    fflush(stdout);
    return g_checksFailed == 0 && g_checksPassed > 0 ? 0 : 1;
}
