#include "SafeMemoryAPIs.h"

#include <string.h>

// Every size is checked before the first byte moves, so a refused call leaves the
// destination exactly as it was.

extern "C" int memcpy_safe(void* dst, size_t dstSize, const void* src, size_t count) {
    if (dst == NULL || src == NULL) return -1;
    if (dstSize < count) return -2;
    if (count != 0) memcpy(dst, src, count);
    return 0;
}

extern "C" int memmove_safe(void* dst, size_t dstSize, const void* src, size_t count) {
    if (dst == NULL || src == NULL) return -1;
    if (dstSize < count) return -2;
    if (count != 0) memmove(dst, src, count);
    return 0;
}

extern "C" int memset_safe(void* dst, size_t dstSize, int value, size_t count) {
    if (dst == NULL) return -1;
    if (dstSize < count) return -2;
    if (count != 0) memset(dst, (unsigned char)value, count);
    return 0;
}
