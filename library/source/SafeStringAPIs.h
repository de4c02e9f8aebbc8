#ifndef SAFE_STRING_APIS_H
#define SAFE_STRING_APIS_H

#include <stdarg.h>
#include <stddef.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Error contract: 0 success (or a length / pointer where stated), -1 invalid argument,
   -2 destination too small (text truncated and terminated in its last byte). */
size_t strnlen_safe(const char* s, size_t max);
int strcpy_safe(char* dst, size_t dstSize, const char* src);
int strncpy_safe(char* dst, size_t dstSize, const char* src, size_t count);
int strcat_safe(char* dst, size_t dstSize, const char* src);
int strncat_safe(char* dst, size_t dstSize, const char* src, size_t count);
char* strchr_safe(const char* s, size_t size, int c);
char* strtok_safe(char* str, size_t size, const char* delim, char** context);
char* gets_safe(char* buf, size_t size);

int sprintf_safe(char* s, size_t size, const char* format, ...);
int vsprintf_safe(char* s, size_t size, const char* format, va_list args);
int snprintf_safe(char* s, size_t size, size_t count, const char* format, ...);
int vsnprintf_safe(char* s, size_t size, size_t count, const char* format, va_list args);
int printf_safe(const char* format, ...);
int vprintf_safe(const char* format, va_list args);
int wprintf_safe(const wchar_t* format, ...);
int vwprintf_safe(const wchar_t* format, va_list args);

int _itoa_safe(int value, char* buffer, size_t size, int radix);
int _ltoa_safe(long value, char* buffer, size_t size, int radix);
int _ultoa_safe(unsigned long value, char* buffer, size_t size, int radix);
int _i64toa_safe(long long value, char* buffer, size_t size, int radix);
int _ui64toa_safe(unsigned long long value, char* buffer, size_t size, int radix);

#ifdef __cplusplus
}
#endif

#endif
