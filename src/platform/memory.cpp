#include "platform/memory.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/log.h"

// Allocation

void *VKO_Alloc(size_t count, size_t size) {
    // A zero size is not a failure: hand out a unique 1-byte block.
    if (count == 0 || size == 0) count = size = 1;

    void *mem = calloc(count, size);
    if (!mem) VKO_LogFatal("VKO_Alloc", "'calloc' failed with errno %d", errno);

    return mem;
}

void *VKO_Realloc(void *ptr, size_t count, size_t size) {
    size_t total = 0;
    if (__builtin_mul_overflow(count, size, &total)) {
        errno = ENOMEM;
        VKO_LogFatal("VKO_Realloc", "'realloc' failed with errno %d", errno);
    }

    if (total == 0) {
        free(ptr);
        return NULL;
    }

    void *mem = realloc(ptr, total);
    if (!mem) VKO_LogFatal("VKO_Realloc", "'realloc' failed with errno %d", errno);

    return mem;
}

void VKO_Free(void *ptr) {
    free(ptr);
}

void *VKO_Dup(const void *ptr, size_t size) {
    void *dup = VKO_Alloc(size, 1);
    if (ptr && size > 0) memcpy(dup, ptr, size);

    return dup;
}

char *VKO_Strdup(const char *str) {
    return (char *)VKO_Dup(str, strlen(str) + 1);
}

// Reached through writable data so the compiler cannot prove the store dead.
static void *(*volatile SECURE_MEMSET)(void *, int, size_t) = memset;

void VKO_SecureZero(void *ptr, size_t size) {
    if (ptr) SECURE_MEMSET(ptr, 0, size);
}

void VKO_SecureFree(void *ptr, size_t size) {
    VKO_SecureZero(ptr, size);
    free(ptr);
}

// Formatting

char *VKO_VsprintfAlloc(const char *fmt, va_list args) {
    va_list measure;
    va_copy(measure, args);
    int len = vsnprintf(NULL, 0, fmt, measure);
    va_end(measure);

    if (len < 0) return (char *)VKO_Alloc(1, 1);

    char *str = (char *)VKO_Alloc((size_t)len + 1, 1);

    va_list fill;
    va_copy(fill, args);
    if (vsnprintf(str, (size_t)len + 1, fmt, fill) < 0) str[0] = '\0';
    va_end(fill);

    return str;
}

char *VKO_SprintfAlloc(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    char *str = VKO_VsprintfAlloc(fmt, args);
    va_end(args);

    return str;
}

char *VKO_SprintfTLocal(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    char *heap = VKO_VsprintfAlloc(fmt, args);
    va_end(args);

    char *local = vko_tlocal_strdup(heap);
    VKO_Free(heap);

    return local;
}

// Strings

size_t VKO_Strcat(char *dst, size_t size, const char *src) {
    size_t dlen = strlen(dst);
    size_t slen = strlen(src);
    size_t needed = dlen + 1 + slen;

    if (needed > size) return needed;

    memcpy(dst + dlen, src, slen + 1);

    return 0;
}

// ASCII-only folding keeps results independent of the process locale.
static inline unsigned char ascii_lower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c + 32 : c;
}

char *VKO_Strcasestr(const char *haystack, const char *needle) {
    if (!needle[0]) return (char *)haystack;

    for (const char *h = haystack; *h; h++) {
        size_t i = 0;
        while (needle[i] && h[i] && ascii_lower(h[i]) == ascii_lower(needle[i])) i++;

        if (!needle[i]) return (char *)h;

        // The rest of the haystack is shorter than the needle.
        if (!h[i]) break;
    }

    return NULL;
}

int32_t VKO_Strcasecmp(const char *a, const char *b) {
    const unsigned char *pa = (const unsigned char *)a;
    const unsigned char *pb = (const unsigned char *)b;

    for (;; pa++, pb++) {
        int d = (int)ascii_lower(*pa) - (int)ascii_lower(*pb);
        if (d != 0 || !*pa) return d;
    }
}

char *VKO_Strtok(char *str, const char *delim, char **context) {
    return strtok_r(str, delim, context);
}

// Stable sort

struct SortRecord {
    VKO_CompareFunc compare;
    const void *element;
};

static int sort_compare(const void *a, const void *b) {
    const SortRecord *ra = (const SortRecord *)a;
    const SortRecord *rb = (const SortRecord *)b;

    int r = ra->compare(ra->element, rb->element);
    if (r != 0) return r;

    // Ties keep input order: the copies sit in input order.
    const char *ea = (const char *)ra->element;
    const char *eb = (const char *)rb->element;
    return ea < eb ? -1 : ea > eb ? 1 : 0;
}

void VKO_Sort(void *base, size_t count, size_t size, VKO_CompareFunc compare) {
    if (count < 2 || size == 0) return;

    char *copy = (char *)VKO_Dup(base, count * size);
    SortRecord *records = (SortRecord *)VKO_Alloc(count, sizeof(SortRecord));

    for (size_t i = 0; i < count; i++) {
        records[i].compare = compare;
        records[i].element = copy + i * size;
    }

    qsort(records, count, sizeof(SortRecord), sort_compare);

    for (size_t i = 0; i < count; i++) memcpy((char *)base + i * size, records[i].element, size);

    VKO_Free(records);
    VKO_Free(copy);
}

// Scratch ring

namespace {
struct TLocal {
    uint8_t builtin[VKO_TLOCAL_SIZE];
    uint8_t *buf;
    size_t size;
    size_t builtin_offset;
    size_t caller_offset;
    size_t *offset;
};
}  // namespace

static thread_local TLocal TLOCAL;

static TLocal *tlocal_get(void) {
    TLocal *tl = &TLOCAL;
    if (!tl->buf) {
        tl->buf = tl->builtin;
        tl->size = VKO_TLOCAL_SIZE;
        tl->builtin_offset = 0;
        tl->offset = &tl->builtin_offset;
    }

    return tl;
}

static uint8_t *tlocal_reserve(TLocal *tl, size_t size) {
    if (size > tl->size) {
        // The fatal message itself needs scratch space: give it the built-in ring.
        vko_tlocal_set_buffer(NULL, 0);
        VKO_LogFatal("vko_tlocal", "Thread local storage heap overflow");
    }

    if (*tl->offset + size > tl->size) *tl->offset = 0;

    uint8_t *block = tl->buf + *tl->offset;
    *tl->offset += size;

    return block;
}

void *vko_tlocal(size_t size) {
    uint8_t *block = tlocal_reserve(tlocal_get(), size);
    memset(block, 0, size);

    return block;
}

void vko_tlocal_set_buffer(void *buf, size_t size) {
    TLocal *tl = tlocal_get();

    if (buf) {
        tl->buf = (uint8_t *)buf;
        tl->size = size;
        tl->caller_offset = 0;
        tl->offset = &tl->caller_offset;

    } else {
        tl->buf = tl->builtin;
        tl->size = VKO_TLOCAL_SIZE;
        tl->offset = &tl->builtin_offset;
    }
}

char *vko_tlocal_strdup(const char *str) {
    TLocal *tl = tlocal_get();

    size_t len = strlen(str) + 1;
    if (len > tl->size) len = tl->size;

    // A zero-sized caller ring cannot hold even the terminator.
    if (len == 0) {
        static thread_local char empty[1];
        empty[0] = '\0';
        return empty;
    }

    // The source may itself be scratch text that the new block wraps over.
    char *local = (char *)tlocal_reserve(tl, len);
    memmove(local, str, len - 1);
    local[len - 1] = '\0';

    return local;
}

// UTF-8 / UTF-16

namespace {
enum ConvError { CONV_OK = 0, CONV_INVALID = EILSEQ, CONV_SPACE = E2BIG };
}

// The next character of a NUL-terminated text, or -1 when the bytes there
// are no UTF-8 (the NUL ends any sequence); advances *s past it.
static int32_t utf8_next(const unsigned char **s) {
    uint32_t c;
    size_t n = vko_utf8_decode(*s, 4, &c);
    if (!n) return -1;
    *s += n;
    return (int32_t)c;
}

static ConvError utf8_to_utf16(const char *src, char16_t *dst, uint32_t len) {
    // Validate and measure first so nothing is written on failure.
    size_t units = 0;
    for (const unsigned char *s = (const unsigned char *)src; *s;) {
        int32_t c = utf8_next(&s);
        if (c < 0) return CONV_INVALID;
        units += c >= 0x10000 ? 2 : 1;
    }

    if (units + 1 > len) return CONV_SPACE;

    char16_t *out = dst;
    for (const unsigned char *s = (const unsigned char *)src; *s;) {
        uint32_t c = (uint32_t)utf8_next(&s);
        if (c >= 0x10000) {
            c -= 0x10000;
            *out++ = (char16_t)(0xD800 | (c >> 10));
            *out++ = (char16_t)(0xDC00 | (c & 0x3FF));
        } else {
            *out++ = (char16_t)c;
        }
    }
    *out = 0;

    return CONV_OK;
}

static int32_t utf16_next(const char16_t **s) {
    const char16_t *p = *s;
    uint32_t c = p[0];

    if (c >= 0xD800 && c <= 0xDBFF) {
        uint32_t lo = p[1];
        if (lo < 0xDC00 || lo > 0xDFFF) return -1;
        *s = p + 2;
        return (int32_t)(0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00));
    }

    if (c >= 0xDC00 && c <= 0xDFFF) return -1;

    *s = p + 1;
    return (int32_t)c;
}

static ConvError utf16_to_utf8(const char16_t *src, char *dst, uint32_t size) {
    size_t bytes = 0;
    for (const char16_t *s = src; *s;) {
        int32_t c = utf16_next(&s);
        if (c < 0) return CONV_INVALID;
        bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    }

    if (bytes + 1 > size) return CONV_SPACE;

    char *out = dst;
    for (const char16_t *s = src; *s;) out += vko_utf8_encode((uint32_t)utf16_next(&s), out);
    *out = '\0';

    return CONV_OK;
}

// A failed conversion leaves a lossy copy, cut to fit and terminated, and
// logs unless the input itself was invalid. The copy is made before the log
// line: that line takes scratch space and may wrap over a scratch source.
template <typename S, typename D, typename Map>
static void conv_fallback(const S *src, D *dst, uint32_t n, Map map) {
    if (n > 0) {
        uint32_t i = 0;
        for (; src && src[i] && i + 1 < n; i++) dst[i] = map(src[i]);
        dst[i] = 0;
    }
}

bool VKO_MultiToWide(const char *src, char16_t *dst, uint32_t len) {
    ConvError e = src ? utf8_to_utf16(src, dst, len) : (ConvError)EINVAL;
    if (e == CONV_OK) return true;

    // Each byte widened.
    conv_fallback(src, dst, len, [](char c) { return (char16_t)(unsigned char)c; });
    if (e != CONV_INVALID)
        VKO_Log("VKO_MultiToWide", "'MultiByteToWideChar' failed with error 0x%X", (unsigned)e);
    return false;
}

bool VKO_WideToMulti(const char16_t *src, char *dst, uint32_t size) {
    ConvError e = src ? utf16_to_utf8(src, dst, size) : (ConvError)EINVAL;
    if (e == CONV_OK) return true;

    // ASCII kept, every other unit replaced.
    conv_fallback(src, dst, size, [](char16_t c) { return c < 0x80 ? (char)c : '?'; });
    if (e != CONV_INVALID)
        VKO_Log("VKO_WideToMulti", "'WideCharToMultiByte' failed with error 0x%X", (unsigned)e);
    return false;
}

static size_t wide_len(const char16_t *s) {
    size_t n = 0;
    while (s[n]) n++;

    return n;
}

char16_t *VKO_MultiToWideAlloc(const char *src) {
    if (!src) return NULL;

    uint32_t len = (uint32_t)strlen(src) + 1;
    char16_t *wide = (char16_t *)VKO_Alloc(len, sizeof(char16_t));
    VKO_MultiToWide(src, wide, len);

    return wide;
}

static bool overlaps(const void *a, size_t asize, const void *b, size_t bsize) {
    uintptr_t pa = (uintptr_t)a, pb = (uintptr_t)b;
    return pa < pb + bsize && pb < pa + asize;
}

char16_t *VKO_MultiToWideTLocal(const char *src) {
    if (!src) return NULL;

    size_t srclen = strlen(src) + 1;
    size_t size = srclen * sizeof(char16_t);
    TLocal *tl = tlocal_get();

    // Ring blocks have no alignment: skip one byte when the block would be
    // odd, only when that byte fits, so the whole ring stays usable.
    if (size > tl->size) tlocal_reserve(tl, size);
    if (*tl->offset + size > tl->size) *tl->offset = 0;
    size_t pad = (uintptr_t)(tl->buf + *tl->offset) & 1;
    if (*tl->offset + pad + size > tl->size) {
        *tl->offset = 0;
        pad = (uintptr_t)tl->buf & 1;
    }
    uint8_t *block = tlocal_reserve(tl, pad + size);
    char16_t *wide = (char16_t *)(block + pad);

    // Scratch text as the source may lie where the new block wrapped to.
    if (overlaps(block, pad + size, src, srclen)) {
        char16_t *heap = VKO_MultiToWideAlloc(src);
        memcpy(wide, heap, size);
        VKO_Free(heap);

    } else {
        memset(wide, 0, size);
        VKO_MultiToWide(src, wide, (uint32_t)srclen);
    }

    return wide;
}

char *VKO_WideToMultiAlloc(const char16_t *src) {
    if (!src) return NULL;

    uint32_t size = 4 * ((uint32_t)wide_len(src) + 1);
    char *multi = (char *)VKO_Alloc(size, 1);
    VKO_WideToMulti(src, multi, size);

    return multi;
}

char *VKO_WideToMultiTLocal(const char16_t *src) {
    if (!src) return NULL;

    size_t units = wide_len(src) + 1;
    size_t size = 4 * units;
    char *multi = (char *)tlocal_reserve(tlocal_get(), size);

    if (overlaps(multi, size, src, units * sizeof(char16_t))) {
        char *heap = VKO_WideToMultiAlloc(src);
        memcpy(multi, heap, size);
        VKO_Free(heap);

    } else {
        memset(multi, 0, size);
        VKO_WideToMulti(src, multi, (uint32_t)size);
    }

    return multi;
}

// Bytes

static const char HEX_DIGITS[] = "0123456789abcdef";

static constexpr struct HexValues {
    uint8_t v[256];
    constexpr HexValues() : v() {
        for (int c = '0'; c <= '9'; c++) v[c] = (uint8_t)(c - '0');
        for (int c = 'a'; c <= 'f'; c++) v[c] = (uint8_t)(c - 'a' + 10);
        for (int c = 'A'; c <= 'F'; c++) v[c] = (uint8_t)(c - 'A' + 10);
    }
} HEX_VALUES;

void VKO_BytesToHex(const void *bytes, size_t count, char *hex, size_t size) {
    const uint8_t *b = (const uint8_t *)bytes;

    size_t i = 0;
    for (; i < count; i++) {
        // The pair and a terminator must fit.
        if (2 * i + 3 > size) {
            VKO_Log("VKO_BytesToHex", "'hex' not large enough, truncated");
            break;
        }

        hex[2 * i] = HEX_DIGITS[b[i] >> 4];
        hex[2 * i + 1] = HEX_DIGITS[b[i] & 0x0F];
    }

    if (size > 0) hex[2 * i] = '\0';
}

void VKO_HexToBytes(const char *hex, void *bytes, size_t size) {
    uint8_t *b = (uint8_t *)bytes;

    for (size_t p = 0; hex[p]; p++) {
        unsigned char c = (unsigned char)hex[p];
        uint8_t v = HEX_VALUES.v[c];

        if (v == 0 && c != '0') {
            VKO_Log("VKO_HexToBytes", "Invalid hex character %d", (int)(int8_t)c);
            break;
        }

        size_t index = p / 2;
        if (index >= size) {
            VKO_Log("VKO_HexToBytes", "'bytes' not large enough, truncated");
            break;
        }

        if (p % 2 == 0) {
            b[index] = (uint8_t)(v * 16);
        } else {
            b[index] |= v;
        }
    }
}

// Table 0 holds the finished CRC-32 of each single byte j, which folds the
// initial and final inversions in: a running value of 0 starts a new CRC and
// a previous result continues it, one byte at a time as
// v = (v >> 8) ^ t[0][(b ^ v) & 0xFF]. That step on v is the plain reflected
// step on ~v, so long runs go eight bytes at a time on the plain tables
// (slicing by 8) between one inversion in and one out.
static constexpr struct CRCTable {
    uint32_t t[256];
    uint32_t plain[8][256];
    constexpr CRCTable() : t(), plain() {
        for (uint32_t j = 0; j < 256; j++) {
            uint32_t c = j;
            for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            plain[0][j] = c;
        }
        for (uint32_t j = 0; j < 256; j++) {
            t[j] = plain[0][j ^ 0xFF] ^ 0xFF000000u;
            for (int k = 1; k < 8; k++)
                plain[k][j] = (plain[k - 1][j] >> 8) ^ plain[0][plain[k - 1][j] & 0xFF];
        }
    }
} CRC_TABLE;

uint32_t VKO_CRC32(uint32_t crc, const void *buf, size_t size) {
    const uint8_t *b = (const uint8_t *)buf;

    if (size < 16) {
        for (size_t i = 0; i < size; i++) crc = (crc >> 8) ^ CRC_TABLE.t[(b[i] ^ crc) & 0xFF];
        return crc;
    }

    const auto &p = CRC_TABLE.plain;
    uint32_t c = ~crc;
    for (; size >= 8; size -= 8, b += 8) {
        uint32_t lo, hi;
        memcpy(&lo, b, 4);
        memcpy(&hi, b + 4, 4);
        lo ^= c;
        c = p[7][lo & 0xFF] ^ p[6][(lo >> 8) & 0xFF] ^ p[5][(lo >> 16) & 0xFF] ^ p[4][lo >> 24] ^
            p[3][hi & 0xFF] ^ p[2][(hi >> 8) & 0xFF] ^ p[1][(hi >> 16) & 0xFF] ^ p[0][hi >> 24];
    }
    for (; size > 0; size--, b++) c = (c >> 8) ^ p[0][(*b ^ c) & 0xFF];

    return ~c;
}

uint32_t VKO_DJB2(const char *str) {
    uint32_t h = 5381;

    for (const char *s = str; *s; s++) h = h * 33 + (uint32_t)(int32_t)(signed char)*s;

    return h;
}
