// Memory, text and byte utilities: the lowest layer of the platform library.
// Allocators never return NULL for a non-zero size: a failure logs and ends
// the process, so callers never check.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// Size of each thread's built-in scratch ring.
#define VKO_TLOCAL_SIZE 8192

// Comparison used by VKO_Sort: negative, 0 or positive, like qsort's.
typedef int (*VKO_CompareFunc)(const void *a, const void *b);

// Allocation (fatal on failure)
void *VKO_Alloc(size_t count, size_t size);
void *VKO_Realloc(void *ptr, size_t count, size_t size);
void VKO_Free(void *ptr);
void *VKO_Dup(const void *ptr, size_t size);
char *VKO_Strdup(const char *str);
void VKO_SecureZero(void *ptr, size_t size);
void VKO_SecureFree(void *ptr, size_t size);

// Formatting and strings
char *VKO_VsprintfAlloc(const char *fmt, va_list args) __attribute__((format(printf, 1, 0)));
char *VKO_SprintfAlloc(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
char *VKO_SprintfTLocal(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Appends src when strlen(dst) + 1 + strlen(src) <= size and returns 0;
// otherwise leaves dst unchanged and returns that needed size.
size_t VKO_Strcat(char *dst, size_t size, const char *src);
char *VKO_Strcasestr(const char *haystack, const char *needle);
int32_t VKO_Strcasecmp(const char *a, const char *b);
char *VKO_Strtok(char *str, const char *delim, char **context);
void VKO_Sort(void *base, size_t count, size_t size, VKO_CompareFunc compare);

// Per-thread scratch ring: short-lived blocks, overwritten after about one
// ring's worth of further requests on the same thread. Never freed.
void *vko_tlocal(size_t size);
void vko_tlocal_set_buffer(void *buf, size_t size);
char *vko_tlocal_strdup(const char *str);

// Text encodings (UTF-16 is char16_t). Sizes are in elements of the
// destination. On failure the destination still holds terminated text (a
// lossy copy) and the result is false.
bool VKO_MultiToWide(const char *src, char16_t *dst, uint32_t len);
bool VKO_WideToMulti(const char16_t *src, char *dst, uint32_t size);
char16_t *VKO_MultiToWideAlloc(const char *src);
char16_t *VKO_MultiToWideTLocal(const char *src);
char *VKO_WideToMultiAlloc(const char16_t *src);
char *VKO_WideToMultiTLocal(const char16_t *src);

// Bytes
void VKO_BytesToHex(const void *bytes, size_t count, char *hex, size_t size);
void VKO_HexToBytes(const char *hex, void *bytes, size_t size);
uint32_t VKO_CRC32(uint32_t crc, const void *buf, size_t size);
uint32_t VKO_DJB2(const char *str);

inline uint16_t VKO_NetToHost16(uint16_t value) {
    return __builtin_bswap16(value);
}
inline uint32_t VKO_NetToHost32(uint32_t value) {
    return __builtin_bswap32(value);
}
inline uint16_t VKO_HostToNet16(uint16_t value) {
    return __builtin_bswap16(value);
}
inline uint32_t VKO_HostToNet32(uint32_t value) {
    return __builtin_bswap32(value);
}
inline uint64_t VKO_ByteSwap64(uint64_t value) {
    return __builtin_bswap64(value);
}
