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

// The one UTF-8 reader of the platform's texts. The character at p (left > 0
// bytes there): its length, its value in *cp; 0 when the bytes there are no
// character (an overlong form, a surrogate, a value above U+10FFFF, a 5- or
// 6-byte form, a sequence cut short), and the lead byte then stands alone
// (it is replaced, and reading goes on at the next byte). No byte after one
// that does not continue the sequence is read, so a NUL ends any sequence.
inline size_t vko_utf8_decode(const unsigned char *p, size_t left, uint32_t *cp) {
    uint32_t c = p[0], n, min;
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    if (c >= 0xC2 && c <= 0xDF)
        n = 2, c &= 0x1F, min = 0x80;
    else if (c >= 0xE0 && c <= 0xEF)
        n = 3, c &= 0x0F, min = 0x800;
    else if (c >= 0xF0 && c <= 0xF4)
        n = 4, c &= 0x07, min = 0x10000;
    else
        return 0;
    for (uint32_t i = 1; i < n; i++) {
        if (i >= left || (p[i] & 0xC0) != 0x80) return 0;
        c = c << 6 | (p[i] & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    *cp = c;
    return n;
}

// Writes the UTF-8 form of a character (up to U+10FFFF) to out; its length.
inline size_t vko_utf8_encode(uint32_t c, char out[4]) {
    if (c < 0x80) {
        out[0] = (char)c;
        return 1;
    }
    size_t n = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    for (size_t i = n - 1; i > 0; i--, c >>= 6) out[i] = (char)(0x80 | (c & 0x3F));
    static const unsigned char kLead[5] = {0, 0, 0xC0, 0xE0, 0xF0};
    out[0] = (char)(kLead[n] | c);
    return n;
}

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
