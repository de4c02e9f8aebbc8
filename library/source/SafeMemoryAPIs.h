#ifndef SAFE_MEMORY_APIS_H
#define SAFE_MEMORY_APIS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Bounded memory routines: 0 success, -1 invalid argument, -2 destination too small.
   Nothing is written on failure. */
int memcpy_safe(void* dst, size_t dstSize, const void* src, size_t count);
int memmove_safe(void* dst, size_t dstSize, const void* src, size_t count);
int memset_safe(void* dst, size_t dstSize, int value, size_t count);

#ifdef __cplusplus
}
#endif

#endif
