// wvsprintfW over the directives that shimlist uses, with the platform formatter's results.
#include "platform/posix/Posix.h"

// The platform's formatter takes no buffer size: it stores at most this many characters, the
// terminating zero included, and callers own a buffer of at least this size.
#define FORMAT_LIMIT 1024

typedef struct _FORMAT_OUTPUT
{
    LPWSTR buffer;
    int length;
} FORMAT_OUTPUT;

// Stores one character; false once the buffer is full (the last place is the zero's).
static bool Put(FORMAT_OUTPUT* output, WCHAR c)
{
    if (output->length >= FORMAT_LIMIT - 1)
    {
        return false;
    }
    output->buffer[output->length++] = c;
    return true;
}

static bool PutRepeated(FORMAT_OUTPUT* output, WCHAR c, int count)
{
    for (int index = 0; index < count; index++)
    {
        if (!Put(output, c))
        {
            return false;
        }
    }
    return true;
}

typedef struct _DIRECTIVE
{
    bool left;     // '-': pad on the right
    bool zero;     // '0': pad numbers with zeros
    bool prefix;   // '#': 0x or 0X before a hexadecimal number
    int width;     // the least number of characters
    int precision; // digits at least, or characters at most of a text; -1 when absent
} DIRECTIVE;

// Writes a field of count characters given by text (or, with fill, count times fill) padded
// to the directive's width.
static bool PutField(FORMAT_OUTPUT* output, const DIRECTIVE* directive, const WCHAR* text,
                     int count)
{
    int padding = directive->width > count ? directive->width - count : 0;
    if (!directive->left && !PutRepeated(output, L' ', padding))
    {
        return false;
    }
    for (int index = 0; index < count; index++)
    {
        if (!Put(output, text[index]))
        {
            return false;
        }
    }
    return directive->left ? PutRepeated(output, L' ', padding) : true;
}

// Writes a number: sign or prefix, zeros up to the precision (or, with '0', the width), digits.
static bool PutNumber(FORMAT_OUTPUT* output, const DIRECTIVE* directive, ULONGLONG value,
                      bool negative, unsigned base, bool upper)
{
    WCHAR digits[24];
    int count = 0;
    const char* symbols = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do
    {
        digits[count++] = (WCHAR)symbols[value % base];
        value /= base;
    } while (value != 0);

    WCHAR lead[2];
    int leadCount = 0;
    if (negative)
    {
        lead[leadCount++] = L'-';
    }
    else if (directive->prefix && base == 16)
    {
        lead[leadCount++] = L'0';
        lead[leadCount++] = upper ? L'X' : L'x';
    }
    int zeros = directive->precision > count ? directive->precision - count : 0;
    if (directive->zero && !directive->left && directive->width > leadCount + zeros + count)
    {
        zeros = directive->width - leadCount - count;
    }
    int total = leadCount + zeros + count;
    int padding = directive->width > total ? directive->width - total : 0;
    if (!directive->left && !PutRepeated(output, L' ', padding))
    {
        return false;
    }
    for (int index = 0; index < leadCount; index++)
    {
        if (!Put(output, lead[index]))
        {
            return false;
        }
    }
    if (!PutRepeated(output, L'0', zeros))
    {
        return false;
    }
    while (count > 0)
    {
        if (!Put(output, digits[--count]))
        {
            return false;
        }
    }
    return directive->left ? PutRepeated(output, L' ', padding) : true;
}

// Reads a decimal number of the directive; stays at the first character after it.
static int ReadCount(LPCWSTR* format)
{
    int value = 0;
    while (**format >= L'0' && **format <= L'9')
    {
        if (value < FORMAT_LIMIT * 10)
        {
            value = value * 10 + (**format - L'0');
        }
        (*format)++;
    }
    return value;
}

// Formats one directive after its '%'; false once the buffer is full.
static bool PutDirective(FORMAT_OUTPUT* output, LPCWSTR* format, va_list* values)
{
    DIRECTIVE directive = {false, false, false, 0, -1};
    for (;; (*format)++)
    {
        if (**format == L'-')
        {
            directive.left = true;
        }
        else if (**format == L'0')
        {
            directive.zero = true;
        }
        else if (**format == L'#')
        {
            directive.prefix = true;
        }
        else
        {
            break;
        }
    }
    directive.width = ReadCount(format);
    if (**format == L'.')
    {
        (*format)++;
        directive.precision = ReadCount(format);
    }
    // The size: h for 16 bits, l for 32 (as on Windows, whatever long is here), I64 for 64.
    int bits = 32;
    if (**format == L'h')
    {
        bits = 16;
        (*format)++;
    }
    else if (**format == L'l')
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
    switch (type)
    {
        case L'd':
        case L'i':
        case L'u':
        case L'x':
        case L'X':
        {
            ULONGLONG value = bits == 64 ? va_arg(*values, ULONGLONG) : va_arg(*values, DWORD);
            bool negative = false;
            if (bits == 16)
            {
                value =
                    type == L'd' || type == L'i' ? (ULONGLONG)(LONGLONG)(short)value : (WORD)value;
            }
            else if (bits == 32 && (type == L'd' || type == L'i'))
            {
                value = (ULONGLONG)(LONGLONG)(int)(DWORD)value;
            }
            if ((type == L'd' || type == L'i') && (LONGLONG)value < 0)
            {
                negative = true;
                value = 0 - value;
            }
            unsigned base = type == L'x' || type == L'X' ? 16 : 10;
            return PutNumber(output, &directive, value, negative, base, type == L'X');
        }
        case L'c':
        {
            WCHAR c = (WCHAR)va_arg(*values, int);
            return PutField(output, &directive, &c, 1);
        }
        case L's':
        {
            static const WCHAR Null[] = L"(null)";
            LPCWSTR text = va_arg(*values, LPCWSTR);
            if (text == NULL)
            {
                text = Null;
            }
            int count = 0;
            while (text[count] != 0 && (directive.precision < 0 || count < directive.precision))
            {
                count++;
            }
            return PutField(output, &directive, text, count);
        }
        default:
            // Anything else stands for itself, as '%%' does.
            return PutField(output, &directive, &type, 1);
    }
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
    return output.length;
}
