// STUB: replaced by the real implementation.
#include "SafeStringAPIs.h"
#include <stdio.h>
#include <string.h>
int strncpy_safe(char* dst, size_t dstSize, const char* src, size_t count) {
    if (!dst || !src || dstSize == 0) return -1;
    size_t n = strnlen(src, count);
    if (n + 1 > dstSize) return -2;
    memcpy(dst, src, n);
    dst[n] = 0;
    return 0;
}
int sprintf_safe(char* s, size_t size, const char* format, ...) {
    va_list a;
    va_start(a, format);
    int n = vsnprintf(s, size, format, a);
    va_end(a);
    return n < (int)size ? n : -2;
}
