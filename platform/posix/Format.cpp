// wvsprintfW for the directives that shimlist uses, with the platform formatter's results.
#include "platform/posix/Posix.h"

// The platform's formatter takes no buffer size: it stores at most this many characters, the
// terminating zero included, and callers own a buffer of at least this size.
#define FORMAT_LIMIT 1024

typedef struct _FORMAT_OUTPUT
{
    LPWSTR buffer;
    int length;
} FORMAT_OUTPUT;

// Stores one character; false once the buffer is full (its last place is the zero's).
static bool Put(FORMAT_OUTPUT* output, WCHAR c)
{
    if (output->length >= FORMAT_LIMIT - 1)
    {
        return false;
    }
    output->buffer[output->length++] = c;
    return true;
}

// Writes a field of count characters, after blanks or zeros up to width. The platform's
// formatter keeps a field's characters before its padding: when the buffer fills, the padding
// shrinks to the room the characters leave, and then the characters are cut.
static bool PutField(FORMAT_OUTPUT* output, const WCHAR* text, int count, int width, WCHAR pad)
{
    int room = FORMAT_LIMIT - 1 - output->length;
    int padding = width > count ? width - count : 0;
    if (padding > room - count)
    {
        padding = room > count ? room - count : 0;
    }
    for (int index = 0; index < padding; index++)
    {
        Put(output, pad);
    }
    for (int index = 0; index < count; index++)
    {
        if (!Put(output, text[index]))
        {
            return false;
        }
    }
    return output->length < FORMAT_LIMIT - 1;
}

// Formats one directive after its '%': an optional '0', a width, a size (h or l for 32 bits,
// as on Windows whatever long is here; I64 for 64 bits) and u, X or s; any other character
// stands for itself, as in "%%". False once the buffer is full.
static bool PutDirective(FORMAT_OUTPUT* output, LPCWSTR* format, va_list* values)
{
    bool zero = **format == L'0';
    int width = 0;
    while (**format >= L'0' && **format <= L'9')
    {
        width = width < FORMAT_LIMIT ? width * 10 + (**format - L'0') : width;
        (*format)++;
    }
    int bits = 32;
    if (**format == L'h' || **format == L'l')
    {
        (*format)++;
    }
    else if ((*format)[0] == L'I' && (*format)[1] == L'6' && (*format)[2] == L'4')
    {
        bits = 64;
        *format += 3;
    }
    WCHAR type = **format;
    if (type == 0)
    {
        return true;
    }
    (*format)++;
    if (type == L'u' || type == L'X')
    {
        // The platform's formatter takes h and l alike: the value is never cut to 16 bits.
        ULONGLONG value = bits == 64 ? va_arg(*values, ULONGLONG) : va_arg(*values, DWORD);
        unsigned base = type == L'X' ? 16 : 10;
        WCHAR digits[20];
        int count = 0;
        do
        {
            digits[count++] = (WCHAR) "0123456789ABCDEF"[value % base];
            value /= base;
        } while (value != 0);
        for (int low = 0, high = count - 1; low < high; low++, high--)
        {
            WCHAR swap = digits[low];
            digits[low] = digits[high];
            digits[high] = swap;
        }
        return PutField(output, digits, count, width, zero ? L'0' : L' ');
    }
    if (type == L's')
    {
        LPCWSTR text = va_arg(*values, LPCWSTR);
        if (text == NULL)
        {
            text = L"(null)";
        }
        int count = 0;
        while (text[count] != 0)
        {
            count++;
        }
        return PutField(output, text, count, width, L' ');
    }
    return Put(output, type);
}

int WINAPI wvsprintfW(LPWSTR buffer, LPCWSTR format, va_list values)
{
    FORMAT_OUTPUT output = {buffer, 0};
    va_list rest;
    va_copy(rest, values);
    bool room = true;
    while (room && *format != 0)
    {
        if (*format != L'%')
        {
            room = Put(&output, *format++);
            continue;
        }
        format++;
        room = PutDirective(&output, &format, &rest);
    }
    va_end(rest);
    buffer[output.length] = 0;
    // A result that fills the buffer counts as cut, and a cut result returns the buffer's size,
    // although its last place holds the zero.
    return output.length >= FORMAT_LIMIT - 1 ? FORMAT_LIMIT : output.length;
}
