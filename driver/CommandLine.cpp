// The command-line splitter: quoting and backslash rules applied alike to every argument.
#include "driver/CommandLine.h"

static inline BOOL IsBlank(WCHAR c)
{
    return c == L' ' || c == L'\t';
}

LPWSTR* CommandLineToArgv(LPCWSTR commandLine, int* argumentCount)
{
    if (commandLine == NULL || argumentCount == NULL || commandLine[0] == L'\0')
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }

    // Pass 1 counts the arguments and the characters so that one block can hold them all.
    SIZE_T count = IsBlank(commandLine[0]) ? 0 : 1;
    BOOL inQuotes = FALSE;
    BOOL oddBackslashes = FALSE;
    LPCWSTR scan = commandLine;
    while (*scan != L'\0')
    {
        WCHAR c = *scan;
        if (!inQuotes && IsBlank(c))
        {
            oddBackslashes = FALSE;
            while (IsBlank(*scan))
            {
                scan++;
            }
            if (*scan != L'\0')
            {
                count++;
            }
            continue;
        }
        if (c == L'\\')
        {
            oddBackslashes = !oddBackslashes;
        }
        else if (c == L'"' && !oddBackslashes)
        {
            inQuotes = !inQuotes;
        }
        else
        {
            oddBackslashes = FALSE;
        }
        scan++;
    }
    SIZE_T length = (SIZE_T)(scan - commandLine);

    // A line long enough to overflow the block size cannot come from the system (its limit is
    // 32,767 characters), but the size is checked rather than trusted.
    ULONGLONG pointerBytes = ((ULONGLONG)count + 1) * sizeof(LPWSTR);
    ULONGLONG textBytes = ((ULONGLONG)length + 1) * sizeof(WCHAR);
    if (count >= (SIZE_T)MAXLONG || pointerBytes + textBytes > (ULONGLONG)(SIZE_T)-1)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    LPWSTR* arguments = (LPWSTR*)LocalAlloc(LMEM_ZEROINIT, (SIZE_T)(pointerBytes + textBytes));
    if (arguments == NULL)
    {
        return NULL;
    }

    // Pass 2 copies the arguments unescaped into the text area behind the pointer array. Every
    // character of the line yields at most one character there (an argument's terminating zero
    // takes the place of the blank that ended it), so the area always suffices.
    LPWSTR output = (LPWSTR)(arguments + count + 1);
    LPCWSTR input = commandLine;
    while (IsBlank(*input))
    {
        input++;
    }
    if (*input == L'\0')
    {
        arguments[0] = NULL;
        *argumentCount = 0;
        return arguments;
    }

    SIZE_T index = 0;
    SIZE_T backslashes = 0;
    inQuotes = FALSE;
    arguments[0] = output;
    while (*input != L'\0')
    {
        WCHAR c = *input;
        if (!inQuotes && IsBlank(c))
        {
            backslashes = 0;
            *output++ = L'\0';
            while (IsBlank(*input))
            {
                input++;
            }
            if (*input == L'\0')
            {
                break;
            }
            index++;
            arguments[index] = output;
            continue;
        }
        if (c == L'\\')
        {
            backslashes++;
            *output++ = c;
        }
        else if (c == L'"')
        {
            // Backslashes before a quote are halved; an odd one left over escapes the quote.
            output -= (backslashes + 1) / 2;
            if (backslashes % 2 != 0)
            {
                *output++ = L'"';
            }
            else if (inQuotes && input[1] == L'"')
            {
                *output++ = L'"';
                input++;
            }
            else
            {
                inQuotes = !inQuotes;
            }
            backslashes = 0;
        }
        else
        {
            backslashes = 0;
            *output++ = c;
        }
        input++;
    }
    *output = L'\0';
    arguments[index + 1] = NULL;
    *argumentCount = (int)(index + 1);
    if (inQuotes)
    {
        SetLastError(ERROR_BAD_ARGUMENTS);
    }
    return arguments;
}
