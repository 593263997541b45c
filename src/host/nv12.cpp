#include "host/nv12.h"

#include <immintrin.h>

#include <cstring>

namespace {

// The plain per-pixel forms; the SIMD kernels finish their rows with these.
inline uint8_t luma_of(uint32_t p, bool rgba) {
    float c0 = (float)(p & 0xFF), g = (float)((p >> 8) & 0xFF), c2 = (float)((p >> 16) & 0xFF);
    return rgba ? nv12_luma_px(c0, g, c2) : nv12_luma_px(c2, g, c0);
}

inline void uv_of(uint32_t p, bool rgba, uint8_t *uv) {
    float c0 = (float)(p & 0xFF), g = (float)((p >> 8) & 0xFF), c2 = (float)((p >> 16) & 0xFF);
    float r = rgba ? c0 : c2, b = rgba ? c2 : c0;
    uv[0] = nv12_u_px(r, g, b);
    uv[1] = nv12_v_px(r, g, b);
}

void luma_row_plain(const uint32_t *s, uint8_t *d, uint32_t w, bool rgba) {
    for (uint32_t x = 0; x < w; x++) d[x] = luma_of(s[x], rgba);
}

void chroma_row_plain(const uint32_t *s, uint8_t *d, uint32_t cw, bool rgba) {
    for (uint32_t x = 0; x < cw; x++) uv_of(s[2 * x + 1], rgba, d + 2 * x);
}

// The channel shifts of R and B within a pixel.
inline int red_shift(bool rgba) {
    return rgba ? 0 : 16;
}
inline int blue_shift(bool rgba) {
    return rgba ? 16 : 0;
}

__m128i luma4(__m128i p, __m128i rs, __m128i bs) {
    const __m128i m = _mm_set1_epi32(0xFF);
    __m128 r = _mm_cvtepi32_ps(_mm_and_si128(_mm_srl_epi32(p, rs), m));
    __m128 g = _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(p, 8), m));
    __m128 b = _mm_cvtepi32_ps(_mm_and_si128(_mm_srl_epi32(p, bs), m));
    __m128 y = _mm_add_ps(_mm_mul_ps(_mm_set1_ps(0.183f), r), _mm_mul_ps(_mm_set1_ps(0.614f), g));
    y = _mm_add_ps(y, _mm_mul_ps(_mm_set1_ps(0.062f), b));
    y = _mm_add_ps(_mm_add_ps(y, _mm_set1_ps(15.9375f)), _mm_set1_ps(0.5f));
    return _mm_cvttps_epi32(y);
}

// Coefficients of one chroma channel in R, G, B order.
__m128i chroma4(__m128i p, __m128i rs, __m128i bs, float kr, float kg, float kb) {
    const __m128i m = _mm_set1_epi32(0xFF);
    __m128 r = _mm_cvtepi32_ps(_mm_and_si128(_mm_srl_epi32(p, rs), m));
    __m128 g = _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(p, 8), m));
    __m128 b = _mm_cvtepi32_ps(_mm_and_si128(_mm_srl_epi32(p, bs), m));
    __m128 c = _mm_add_ps(_mm_mul_ps(_mm_set1_ps(kr), r), _mm_mul_ps(_mm_set1_ps(kg), g));
    c = _mm_add_ps(c, _mm_mul_ps(_mm_set1_ps(kb), b));
    c = _mm_add_ps(_mm_add_ps(c, _mm_set1_ps(127.5f)), _mm_set1_ps(0.5f));
    return _mm_cvttps_epi32(c);
}

void luma_row_sse2(const uint32_t *s, uint8_t *d, uint32_t w, bool rgba) {
    __m128i rs = _mm_cvtsi32_si128(red_shift(rgba)), bs = _mm_cvtsi32_si128(blue_shift(rgba));
    uint32_t x = 0;
    for (; x + 8 <= w; x += 8) {
        __m128i y0 = luma4(_mm_loadu_si128((const __m128i *)(s + x)), rs, bs);
        __m128i y1 = luma4(_mm_loadu_si128((const __m128i *)(s + x + 4)), rs, bs);
        __m128i y16 = _mm_packs_epi32(y0, y1);
        _mm_storel_epi64((__m128i *)(d + x), _mm_packus_epi16(y16, y16));
    }
    luma_row_plain(s + x, d + x, w - x, rgba);
}

void chroma_row_sse2(const uint32_t *s, uint8_t *d, uint32_t cw, bool rgba) {
    __m128i rs = _mm_cvtsi32_si128(red_shift(rgba)), bs = _mm_cvtsi32_si128(blue_shift(rgba));
    uint32_t x = 0;
    for (; x + 4 <= cw; x += 4) {
        __m128i a = _mm_shuffle_epi32(_mm_loadu_si128((const __m128i *)(s + 2 * x)), _MM_SHUFFLE(3, 1, 3, 1));
        __m128i b =
            _mm_shuffle_epi32(_mm_loadu_si128((const __m128i *)(s + 2 * x + 4)), _MM_SHUFFLE(3, 1, 3, 1));
        __m128i odd = _mm_unpacklo_epi64(a, b);
        __m128i u = chroma4(odd, rs, bs, -0.101f, -0.339f, 0.439f);
        __m128i v = chroma4(odd, rs, bs, 0.439f, -0.399f, -0.040f);
        __m128i t = _mm_packs_epi32(u, v);
        t = _mm_packus_epi16(t, t);  // u0..3 v0..3
        _mm_storel_epi64((__m128i *)(d + 2 * x), _mm_unpacklo_epi8(t, _mm_srli_si128(t, 4)));
    }
    chroma_row_plain(s + 2 * x, d + 2 * x, cw - x, rgba);
}

#define AVX2 __attribute__((target("avx2")))

AVX2 inline __m256i luma8(__m256i p, __m128i rs, __m128i bs) {
    const __m256i m = _mm256_set1_epi32(0xFF);
    __m256 r = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srl_epi32(p, rs), m));
    __m256 g = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(p, 8), m));
    __m256 b = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srl_epi32(p, bs), m));
    __m256 y =
        _mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(0.183f), r), _mm256_mul_ps(_mm256_set1_ps(0.614f), g));
    y = _mm256_add_ps(y, _mm256_mul_ps(_mm256_set1_ps(0.062f), b));
    y = _mm256_add_ps(_mm256_add_ps(y, _mm256_set1_ps(15.9375f)), _mm256_set1_ps(0.5f));
    return _mm256_cvttps_epi32(y);
}

AVX2 inline __m256i chroma8(__m256i p, __m128i rs, __m128i bs, float kr, float kg, float kb) {
    const __m256i m = _mm256_set1_epi32(0xFF);
    __m256 r = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srl_epi32(p, rs), m));
    __m256 g = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(p, 8), m));
    __m256 b = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srl_epi32(p, bs), m));
    __m256 c = _mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(kr), r), _mm256_mul_ps(_mm256_set1_ps(kg), g));
    c = _mm256_add_ps(c, _mm256_mul_ps(_mm256_set1_ps(kb), b));
    c = _mm256_add_ps(_mm256_add_ps(c, _mm256_set1_ps(127.5f)), _mm256_set1_ps(0.5f));
    return _mm256_cvttps_epi32(c);
}

AVX2 void luma_row_avx2(const uint32_t *s, uint8_t *d, uint32_t w, bool rgba) {
    __m128i rs = _mm_cvtsi32_si128(red_shift(rgba)), bs = _mm_cvtsi32_si128(blue_shift(rgba));
    uint32_t x = 0;
    for (; x + 16 <= w; x += 16) {
        __m256i y0 = luma8(_mm256_loadu_si256((const __m256i *)(s + x)), rs, bs);
        __m256i y1 = luma8(_mm256_loadu_si256((const __m256i *)(s + x + 8)), rs, bs);
        __m256i y16 = _mm256_permute4x64_epi64(_mm256_packs_epi32(y0, y1), 0xD8);
        __m128i y8 = _mm_packus_epi16(_mm256_castsi256_si128(y16), _mm256_extracti128_si256(y16, 1));
        _mm_storeu_si128((__m128i *)(d + x), y8);
    }
    luma_row_plain(s + x, d + x, w - x, rgba);
}

AVX2 void chroma_row_avx2(const uint32_t *s, uint8_t *d, uint32_t cw, bool rgba) {
    __m128i rs = _mm_cvtsi32_si128(red_shift(rgba)), bs = _mm_cvtsi32_si128(blue_shift(rgba));
    const __m256i odd_idx = _mm256_setr_epi32(1, 3, 5, 7, 1, 3, 5, 7);
    uint32_t x = 0;
    for (; x + 8 <= cw; x += 8) {
        __m256i a = _mm256_permutevar8x32_epi32(_mm256_loadu_si256((const __m256i *)(s + 2 * x)), odd_idx);
        __m256i b =
            _mm256_permutevar8x32_epi32(_mm256_loadu_si256((const __m256i *)(s + 2 * x + 8)), odd_idx);
        __m256i odd = _mm256_permute2x128_si256(a, b, 0x20);
        __m256i u = chroma8(odd, rs, bs, -0.101f, -0.339f, 0.439f);
        __m256i v = chroma8(odd, rs, bs, 0.439f, -0.399f, -0.040f);
        __m256i t = _mm256_permute4x64_epi64(_mm256_packs_epi32(u, v), 0xD8);  // u0..7 | v0..7
        __m128i b8 = _mm_packus_epi16(_mm256_castsi256_si128(t), _mm256_extracti128_si256(t, 1));
        _mm_storeu_si128((__m128i *)(d + 2 * x), _mm_unpacklo_epi8(b8, _mm_srli_si128(b8, 8)));
    }
    chroma_row_plain(s + 2 * x, d + 2 * x, cw - x, rgba);
}

typedef void (*RowFunc)(const uint32_t *, uint8_t *, uint32_t, bool);

Nv12Isa resolve(Nv12Isa isa) {
    Nv12Isa best = nv12_best_isa();
    return isa > best ? best : isa;
}

const uint32_t *src_row(const Nv12Source &src, uint32_t y) {
    return (const uint32_t *)(src.data + (size_t)y * src.pitch);
}

}  // namespace

Nv12Isa nv12_best_isa(void) {
    static const Nv12Isa best = __builtin_cpu_supports("avx2") ? NV12_ISA_AVX2 : NV12_ISA_SSE2;
    return best;
}

void nv12_luma(const Nv12Source &src, uint8_t *dst, uint32_t pitch, uint32_t width, uint32_t height,
               Nv12Isa isa) {
    static const RowFunc rows[] = {luma_row_plain, luma_row_sse2, luma_row_avx2};
    RowFunc row = rows[resolve(isa)];
    for (uint32_t y = 0; y < height; y++)
        row(src_row(src, src.flip ? src.height - 1 - y : y), dst + (size_t)y * pitch, width, src.rgba);
}

void nv12_chroma(const Nv12Source &src, uint8_t *dst, uint32_t pitch, uint32_t cw, uint32_t ch, Nv12Isa isa) {
    static const RowFunc rows[] = {chroma_row_plain, chroma_row_sse2, chroma_row_avx2};
    RowFunc row = rows[resolve(isa)];
    for (uint32_t y = 0; y < ch; y++)
        row(src_row(src, src.flip ? src.height - 2 * y - 1 : 2 * y + 1), dst + (size_t)y * pitch, cw,
            src.rgba);
}

namespace {

// Copies of frames this large stream past the cache: the target would not
// stay cached anyway, and streaming stores skip reading each line first.
constexpr size_t kStreamBytes = (size_t)1 << 20;

void copy_row_stream(uint32_t *d, const uint32_t *s, uint32_t n) {
    uint32_t x = 0;
    for (; x < n && ((uintptr_t)(d + x) & 15); x++) d[x] = s[x];
    for (; x + 16 <= n; x += 16) {
        __m128i a = _mm_loadu_si128((const __m128i *)(s + x));
        __m128i b = _mm_loadu_si128((const __m128i *)(s + x + 4));
        __m128i c = _mm_loadu_si128((const __m128i *)(s + x + 8));
        __m128i e = _mm_loadu_si128((const __m128i *)(s + x + 12));
        _mm_stream_si128((__m128i *)(d + x), a);
        _mm_stream_si128((__m128i *)(d + x + 4), b);
        _mm_stream_si128((__m128i *)(d + x + 8), c);
        _mm_stream_si128((__m128i *)(d + x + 12), e);
    }
    for (; x < n; x++) d[x] = s[x];
}

}  // namespace

void nv12_copy_bgra(const Nv12Source &src, uint8_t *dst, uint32_t pitch, uint32_t width, uint32_t height) {
    bool stream = !src.rgba && (size_t)width * height * 4 >= kStreamBytes;
    for (uint32_t y = 0; y < height; y++) {
        const uint32_t *s = src_row(src, src.flip ? src.height - 1 - y : y);
        uint32_t *d = (uint32_t *)(dst + (size_t)y * pitch);
        if (stream) {
            copy_row_stream(d, s, width);
            continue;
        }
        if (!src.rgba) {
            memcpy(d, s, (size_t)width * 4);
            continue;
        }
        for (uint32_t x = 0; x < width; x++) {
            uint32_t p = s[x];
            d[x] = (p & 0xFF00FF00u) | ((p & 0xFF) << 16) | ((p >> 16) & 0xFF);
        }
    }
    // Streaming stores are weakly ordered: they land before whatever publishes the frame.
    if (stream) _mm_sfence();
}
