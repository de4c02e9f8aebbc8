// STUB: replaced by the real implementation.
#include "SafeMemoryAPIs.h"
#include <string.h>
int memcpy_safe(void* dst, size_t dstSize, const void* src, size_t count) {
    if (!dst || !src) return -1;
    if (dstSize < count) return -2;
    memcpy(dst, src, count);
    return 0;
}
int memmove_safe(void*, size_t, const void*, size_t) { return -1; }
int memset_safe(void*, size_t, int, size_t) { return -1; }
