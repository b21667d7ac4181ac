// UTF-16 and UTF-8 conversion for the POSIX layer: Linux names and terminals speak UTF-8.
#include "platform/posix/Posix.h"

static bool IsHigh(unsigned unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

static bool IsLow(unsigned unit)
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

long PosixUtf8FromUtf16(const WCHAR* text, size_t count, char* out, size_t outSize, bool replace)
{
    size_t used = 0;
    for (size_t at = 0; at < count; at++)
    {
        unsigned long code = (unsigned short)text[at];
        if (IsHigh(code) && at + 1 < count && IsLow((unsigned short)text[at + 1]))
        {
            code = 0x10000 + ((code - 0xD800) << 10) + ((unsigned short)text[at + 1] - 0xDC00);
            at++;
        }
        else if (IsHigh(code) || IsLow(code))
        {
            if (!replace)
            {
                return -1;
            }
            code = 0xFFFD;
        }
        size_t length = code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
        if (outSize - used < length)
        {
            return -1;
        }
        if (length == 1)
        {
            out[used++] = (char)code;
            continue;
        }
        static const unsigned char Lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
        for (size_t index = length - 1; index > 0; index--)
        {
            out[used + index] = (char)(0x80 | (code & 0x3F));
            code >>= 6;
        }
        out[used] = (char)(Lead[length] | code);
        used += length;
    }
    return (long)used;
}

long PosixUtf16FromUtf8(const char* text, WCHAR* out)
{
    const unsigned char* at = (const unsigned char*)text;
    long units = 0;
    while (*at != 0)
    {
        unsigned lead = *at++;
        unsigned long code;
        int follow;
        unsigned long least;
        if (lead < 0x80)
        {
            out[units++] = (WCHAR)lead;
            continue;
        }
        if (lead >= 0xC2 && lead <= 0xDF)
        {
            code = lead & 0x1F;
            follow = 1;
            least = 0x80;
        }
        else if (lead >= 0xE0 && lead <= 0xEF)
        {
            code = lead & 0x0F;
            follow = 2;
            least = 0x800;
        }
        else if (lead >= 0xF0 && lead <= 0xF4)
        {
            code = lead & 0x07;
            follow = 3;
            least = 0x10000;
        }
        else
        {
            return -1;
        }
        for (int index = 0; index < follow; index++)
        {
            // The terminating zero is not a continuation byte, so a cut sequence stops here.
            if ((*at & 0xC0) != 0x80)
            {
                return -1;
            }
            code = (code << 6) | (*at++ & 0x3F);
        }
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        {
            return -1;
        }
        if (code >= 0x10000)
        {
            out[units++] = (WCHAR)(0xD800 + ((code - 0x10000) >> 10));
            out[units++] = (WCHAR)(0xDC00 + ((code - 0x10000) & 0x3FF));
        }
        else
        {
            out[units++] = (WCHAR)code;
        }
    }
    return units;
}
