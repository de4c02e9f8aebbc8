#include "SafeStringAPIs.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

// Error contract of every routine here: 0 success, -1 invalid argument, -2 destination too
// small. A text destination that is usable at all (not null, size not 0) never comes back
// without a terminator.

static char* reverse_string_safe(char* s, size_t size);

namespace {

// The common core of the four copy and append routines. `append` starts at the end of the
// text already in dst; `counted` takes at most `count` characters from src.
int copyText(char* dst, size_t dstSize, const char* src, size_t count, bool append, bool counted) {
    if (dst == NULL || src == NULL || dstSize == 0) {
        if (dst != NULL && dstSize != 0) dst[0] = '\0';
        return -1;
    }
    size_t start = 0;
    if (append) {
        while (start < dstSize && dst[start] != '\0') ++start;
        if (start == dstSize) {
            // No terminator inside the buffer: its text cannot be trusted, so empty it.
            dst[0] = '\0';
            return -1;
        }
    }
    if (counted && count == 0) {
        if (!append) dst[0] = '\0';
        return 0;
    }
    char* out = dst + start;
    const size_t room = dstSize - start;  // at least 1: the terminator found above
    size_t copied = 0;
    // Ends at the latest when the room is used up.
    for (;;) {
        const char c = src[copied];
        out[copied] = c;
        ++copied;
        if (c == '\0') return 0;
        if (copied == room) {
            dst[dstSize - 1] = '\0';
            return -2;
        }
        if (counted && copied == count) {
            out[copied] = '\0';  // copied < room here
            return 0;
        }
    }
}

bool isDelimiter(const char* delim, char c) {
    return c != '\0' && strchr_safe(delim, SIZE_MAX, (unsigned char)c) != NULL;
}

// Digits of an unsigned value in the given radix, with room reserved for a sign and the
// terminator whether a sign is written or not.
template <typename Unsigned>
int unsignedToText(Unsigned value, char* buffer, size_t size, int radix, int negative) {
    if (buffer == NULL || radix < 2 || radix > 36) return -1;
    // Two's-complement negation gives the magnitude, also for the most negative value.
    Unsigned magnitude = negative ? (Unsigned)(0 - value) : value;
    if (magnitude == 0) negative = 0;  // there is no negative zero
    size_t digits = 0;
    for (Unsigned rest = magnitude; rest != 0; rest /= (Unsigned)radix) ++digits;
    if (size < digits + 2) {
        if (size != 0) buffer[0] = '\0';
        return -2;
    }
    static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    size_t pos = 0;
    do {
        buffer[pos++] = kDigits[magnitude % (Unsigned)radix];
        magnitude /= (Unsigned)radix;
    } while (magnitude != 0);
    if (negative) buffer[pos++] = '-';
    buffer[pos] = '\0';
    reverse_string_safe(buffer, size);
    return 0;
}

}  // namespace

static int _xtox_safe(unsigned long value, char* buffer, size_t size, int radix, int negative) {
    return unsignedToText(value, buffer, size, radix, negative);
}

static int _x64tox_safe(unsigned long long value, char* buffer, size_t size, int radix, int negative) {
    return unsignedToText(value, buffer, size, radix, negative);
}

static char* reverse_string_safe(char* s, size_t size) {
    const size_t len = strnlen_safe(s, size);
    for (size_t i = 0; len != 0 && i < len - 1 - i; ++i) {
        const char t = s[i];
        s[i] = s[len - 1 - i];
        s[len - 1 - i] = t;
    }
    return s;
}

extern "C" {

size_t strnlen_safe(const char* s, size_t max) {
    if (s == NULL) return 0;
    size_t n = 0;
    while (n < max && s[n] != '\0') ++n;
    return n;
}

int strcpy_safe(char* dst, size_t dstSize, const char* src) {
    return copyText(dst, dstSize, src, 0, false, false);
}

int strncpy_safe(char* dst, size_t dstSize, const char* src, size_t count) {
    if (dst == NULL && dstSize == 0 && count == 0) return 0;
    return copyText(dst, dstSize, src, count, false, true);
}

int strcat_safe(char* dst, size_t dstSize, const char* src) {
    if (dst == NULL && dstSize == 0) return 0;
    return copyText(dst, dstSize, src, 0, true, false);
}

int strncat_safe(char* dst, size_t dstSize, const char* src, size_t count) {
    if (dst == NULL && dstSize == 0 && count == 0) return 0;
    return copyText(dst, dstSize, src, count, true, true);
}

char* strchr_safe(const char* s, size_t size, int c) {
    if (s == NULL) return NULL;
    const char wanted = (char)c;
    for (size_t i = 0; i < size; ++i) {
        if (s[i] == '\0') return wanted == '\0' ? (char*)&s[i] : NULL;
        if (s[i] == wanted) return (char*)&s[i];
    }
    return NULL;
}

char* strtok_safe(char* str, size_t size, const char* delim, char** context) {
    if (size == 0) return NULL;
    if (str != NULL) str[size - 1] = '\0';  // never scan past the caller's buffer
    if (delim == NULL || context == NULL) return NULL;
    if (str == NULL && *context == NULL) return NULL;

    char* p = str != NULL ? str : *context;
    while (isDelimiter(delim, *p)) ++p;
    if (*p == '\0') {
        *context = p;
        return NULL;
    }
    char* token = p;
    char* q = p + 1;
    while (*q != '\0' && !isDelimiter(delim, *q)) ++q;
    if (*q == '\0') {
        *context = q;  // the next call finds the terminator and returns null
    } else {
        *q = '\0';
        *context = q + 1;
    }
    return token;
}

char* gets_safe(char* buf, size_t size) {
    if (buf == NULL || size == 0) return NULL;
    size_t stored = 0;
    bool readAny = false;
    int c;
    while ((c = getchar()) != EOF) {
        readAny = true;
        if (c == '\n') break;
        if (stored < size) buf[stored++] = (char)c;  // the rest of a long line is dropped
    }
    if (!readAny) {
        // End of input before any character: tell it apart from an empty line, so that a
        // reading loop ends.
        buf[0] = '\0';
        return NULL;
    }
    if (stored < size) {
        buf[stored] = '\0';
    } else {
        buf[0] = '\0';  // the line did not fit: drop it whole
    }
    return buf;
}

int vsprintf_safe(char* s, size_t size, const char* format, va_list args) {
    if (s == NULL || format == NULL || size == 0) {
        if (s != NULL && size != 0) s[0] = '\0';
        return -1;
    }
    const int n = vsnprintf(s, size, format, args);
    if (n < 0) return n;
    if ((size_t)n < size) return n;
    return -2;  // cut; vsnprintf has terminated it in the last byte
}

int sprintf_safe(char* s, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vsprintf_safe(s, size, format, args);
    va_end(args);
    return n;
}

int vsnprintf_safe(char* s, size_t size, size_t count, const char* format, va_list args) {
    if (count == 0 && s == NULL && size == 0) return 0;
    if (s == NULL || format == NULL || size == 0) {
        if (s != NULL && size != 0) s[0] = '\0';
        return -1;
    }
    if (count == 0) {
        s[0] = '\0';
        return 0;
    }
    const size_t window = (count == SIZE_MAX || count + 1 > size) ? size : count + 1;
    const int n = vsnprintf(s, window, format, args);
    s[window - 1] = '\0';
    if (n < 0) return n;
    if ((size_t)n >= size && count >= size) return -2;
    return n;
}

int snprintf_safe(char* s, size_t size, size_t count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vsnprintf_safe(s, size, count, format, args);
    va_end(args);
    return n;
}

int vprintf_safe(const char* format, va_list args) {
    if (format == NULL) return -1;
    return vprintf(format, args);
}

int printf_safe(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vprintf_safe(format, args);
    va_end(args);
    return n;
}

int vwprintf_safe(const wchar_t* format, va_list args) {
    if (format == NULL) return -1;
    return vwprintf(format, args);
}

int wprintf_safe(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vwprintf_safe(format, args);
    va_end(args);
    return n;
}

// Outside radix 10 a negative value is written as its bit pattern, the way the C library's
// conversions of the same name do.
int _itoa_safe(int value, char* buffer, size_t size, int radix) {
    if (radix == 10 && value < 0) return _xtox_safe((unsigned long)(long)value, buffer, size, radix, 1);
    return _xtox_safe((unsigned long)(unsigned int)value, buffer, size, radix, 0);
}

int _ltoa_safe(long value, char* buffer, size_t size, int radix) {
    return _xtox_safe((unsigned long)value, buffer, size, radix, radix == 10 && value < 0);
}

int _ultoa_safe(unsigned long value, char* buffer, size_t size, int radix) {
    return _xtox_safe(value, buffer, size, radix, 0);
}

int _i64toa_safe(long long value, char* buffer, size_t size, int radix) {
    return _x64tox_safe((unsigned long long)value, buffer, size, radix, radix == 10 && value < 0);
}

int _ui64toa_safe(unsigned long long value, char* buffer, size_t size, int radix) {
    return _x64tox_safe(value, buffer, size, radix, 0);
}

}  // extern "C"
