// format.cpp - the printf-style formatter with the conventions of the Windows one,
// shared by both platforms (the Windows one, in shlwapi, knows no "%lld").
// Each conversion is handed to snprintf on its own with an argument of the width the
// Windows formatter takes: "l" means 32 bits there, so "%lu" reads an unsigned int.
// With mingw, snprintf is the C99 one (__USE_MINGW_ANSI_STDIO, set by the build).
#include <stdio.h>
#include <string.h>

#include "platform.h"

namespace vx {

namespace {

struct Output {
    char *buf;
    size_t size; // including the NUL
    size_t len;

    void put(const char *text, size_t n)
    {
        size_t room = size - 1 - len;
        if (n > room)
            n = room;
        memcpy(buf + len, text, n);
        len += n;
        buf[len] = '\0';
    }
};

// Copies one conversion "%[flags][width][.precision]" (length letters dropped) into
// spec and returns the position of its conversion letter.
const char *ParseSpec(const char *p, char *spec, size_t specsize, bool *wide)
{
    size_t n = 0;
    spec[n++] = *p++; // '%'
    *wide = false;
    while (*p != '\0' && strchr("-+ #0123456789.", *p) != nullptr) {
        if (n + 2 < specsize)
            spec[n++] = *p;
        p++;
    }
    while (*p == 'l' || *p == 'h') {
        if (*p == 'l' && p[1] == 'l')
            *wide = true;
        p++;
    }
    spec[n] = '\0';
    return p;
}

} // namespace

int wvnsprintfA(char *buf, int size, const char *format, va_list args)
{
    if (buf == nullptr || size <= 0)
        return 0;
    Output out = {buf, static_cast<size_t>(size), 0};
    buf[0] = '\0';
    char item[512];
    for (const char *p = format; *p != '\0';) {
        if (*p != '%') {
            const char *next = strchr(p, '%');
            size_t n = next != nullptr ? static_cast<size_t>(next - p) : strlen(p);
            out.put(p, n);
            p += n;
            continue;
        }
        char spec[32];
        bool wide;
        const char *conv = ParseSpec(p, spec, sizeof spec - 4, &wide);
        size_t speclen = strlen(spec);
        bool plain = speclen == 1; // no flags, width or precision
        char letter = *conv;
        int n = 0;
        if (wide) { // "%lld" and the like: 64 bits, as the caller passed them
            spec[speclen++] = 'l';
            spec[speclen++] = 'l';
        }
        spec[speclen] = letter;
        spec[speclen + 1] = '\0';
        switch (letter) {
        case 'd':
        case 'i':
            n = wide ? snprintf(item, sizeof item, spec, va_arg(args, long long))
                     : snprintf(item, sizeof item, spec, va_arg(args, int));
            break;
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            n = wide ? snprintf(item, sizeof item, spec, va_arg(args, unsigned long long))
                     : snprintf(item, sizeof item, spec, va_arg(args, unsigned));
            break;
        case 'c':
            n = snprintf(item, sizeof item, spec, va_arg(args, int));
            break;
        case 's': {
            const char *text = va_arg(args, const char *);
            // A string is copied rather than formatted when it has no width or precision,
            // so that a long one is cut, not lost.
            if (text == nullptr)
                text = "(null)";
            if (plain) {
                out.put(text, strlen(text));
                p = conv + 1;
                continue;
            }
            n = snprintf(item, sizeof item, spec, text);
            break;
        }
        case '%':
            out.put("%", 1);
            p = conv + 1;
            continue;
        default:
            // Not a conversion: shown as written, like the Windows formatter does.
            out.put(p, static_cast<size_t>(conv - p) + (letter != '\0'));
            p = conv + (letter != '\0');
            continue;
        }
        if (n > 0)
            out.put(item, static_cast<size_t>(n) < sizeof item ? static_cast<size_t>(n) : sizeof item - 1);
        p = conv + 1;
    }
    return static_cast<int>(out.len);
}

int wnsprintfA(char *buf, int size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = wvnsprintfA(buf, size, format, args);
    va_end(args);
    return n;
}

} // namespace vx
