// The rasteriser's fast kernels: sampling a run of points along one texel
// row (what an axis-aligned scaled quad asks for), the Y'CbCr to R'G'B'
// matrix over a run, and packing shaded runs into 8-bit pixels. Coordinates
// are per-row fixed point (16 fraction bits); the source row span is decoded
// once into floats (both rows of a linear sample blended first), then each
// output pixel is one or two reads from it. Unit steps and half steps (scale
// 1, and 4:2:0 chroma at scale 1) run as contiguous loops the compiler
// vectorises; AVX2 clones are picked at load time where the CPU has it.
// Scratch rows are per thread, so the devices may draw on several threads.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "compat/d3d/d3d.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define D3D_CLONES __attribute__((target_clones("avx2,fma", "default")))
#else
#define D3D_CLONES
#endif

namespace {

constexpr int64_t ONE = 65536;  // fixed point: 16 fraction bits

#if defined(__x86_64__)
const bool g_avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#endif

inline uint16_t rd16(const uint8_t *p) {
    uint16_t v;
    memcpy(&v, p, 2);
    return v;
}

// Channels kept per texel of a plane format in the decoded row.
uint32_t channels_of(DXGI_FORMAT f) {
    switch (f) {
        case DXGI_FORMAT_R8_UNORM:
        case DXGI_FORMAT_R16_UNORM:
            return 1;
        case DXGI_FORMAT_R8G8_UNORM:
        case DXGI_FORMAT_R16G16_UNORM:
            return 2;
        default:
            return 4;
    }
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) uint32_t u8_to_float_avx2(const uint8_t *p, uint32_t count, float *out) {
    const __m256 k = _mm256_set1_ps(1.0f / 255.0f);
    uint32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        _mm256_storeu_ps(out + i, _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(b)), k));
        _mm256_storeu_ps(out + i + 8,
                         _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(b, 8))), k));
    }
    return i;
}
#endif

void u8_to_float(const uint8_t *p, uint32_t count, float *out) {
    constexpr float k = 1.0f / 255.0f;
    uint32_t i = 0;
#if defined(__x86_64__)
    if (g_avx2) i = u8_to_float_avx2(p, count, out);
#endif
    for (; i < count; i++) out[i] = float(p[i]) * k;
}

D3D_CLONES void u16_to_float(const uint8_t *p, uint32_t count, float *out) {
    constexpr float k = 1.0f / 65535.0f;
    for (uint32_t i = 0; i < count; i++) out[i] = float(rd16(p + i * 2)) * k;
}

// Texels [a, a + count) of one plane row as floats, ch per texel.
void decode_row(const D3DPlaneView &pl, const uint8_t *row, int32_t a, uint32_t count, uint32_t ch,
                float *out) {
    switch (pl.format) {
        case DXGI_FORMAT_R8_UNORM:
        case DXGI_FORMAT_R8G8_UNORM:
        case DXGI_FORMAT_R8G8B8A8_UNORM:
        case DXGI_FORMAT_R8G8B8A8_TYPELESS:
            return u8_to_float(row + size_t(a) * ch, count * ch, out);
        case DXGI_FORMAT_R16_UNORM:
        case DXGI_FORMAT_R16G16_UNORM:
        case DXGI_FORMAT_R16G16B16A16_UNORM:
            return u16_to_float(row + size_t(a) * ch * 2, count * ch, out);
        case DXGI_FORMAT_B8G8R8A8_UNORM:
        case DXGI_FORMAT_B8G8R8A8_TYPELESS:
        case DXGI_FORMAT_B8G8R8X8_UNORM:
        case DXGI_FORMAT_B8G8R8X8_TYPELESS: {
            const bool alpha =
                pl.format == DXGI_FORMAT_B8G8R8A8_UNORM || pl.format == DXGI_FORMAT_B8G8R8A8_TYPELESS;
            u8_to_float(row + size_t(a) * 4, count * 4, out);
            for (uint32_t i = 0; i < count; i++) {
                std::swap(out[i * 4], out[i * 4 + 2]);
                if (!alpha) out[i * 4 + 3] = 1.0f;
            }
            return;
        }
        default: {
            // Packed formats: the generic texel decode.
            D3DPlaneView one = pl;
            one.data = row;
            one.height = 1;
            for (uint32_t i = 0; i < count; i++) d3d_texel(one, a + int32_t(i), 0, out + size_t(i) * 4);
            return;
        }
    }
}

D3D_CLONES void lerp_rows(float *a, const float *b, uint32_t count, float w) {
    for (uint32_t i = 0; i < count; i++) a[i] += (b[i] - a[i]) * w;
}

#if defined(__x86_64__)
__attribute__((target("avx2,fma"))) inline __m256 u8x8_avx(__m128i b) {
    return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(b));
}

// Two 8-bit rows blended in one pass.
__attribute__((target("avx2,fma"))) uint32_t u8_blend_avx2(const uint8_t *pa, const uint8_t *pb,
                                                           uint32_t count, float w, float *out) {
    const __m256 k = _mm256_set1_ps(1.0f / 255.0f), vw = _mm256_set1_ps(w);
    uint32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pa + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pb + i));
        const __m256 a0 = _mm256_mul_ps(u8x8_avx(a), k), b0 = _mm256_mul_ps(u8x8_avx(b), k);
        const __m256 a1 = _mm256_mul_ps(u8x8_avx(_mm_srli_si128(a, 8)), k);
        const __m256 b1 = _mm256_mul_ps(u8x8_avx(_mm_srli_si128(b, 8)), k);
        _mm256_storeu_ps(out + i, _mm256_fmadd_ps(_mm256_sub_ps(b0, a0), vw, a0));
        _mm256_storeu_ps(out + i + 8, _mm256_fmadd_ps(_mm256_sub_ps(b1, a1), vw, a1));
    }
    return i;
}
#endif

thread_local std::vector<float> t_row, t_row2;

// Texels [a, a + count) of rows ya and yb blended by w (row ya alone when w
// is 0 or the rows are one).
void blend_rows(const D3DPlaneView &pl, int32_t ya, int32_t yb, float w, int32_t a, uint32_t count,
                uint32_t ch, float *out) {
    const uint8_t *ra = pl.data + size_t(ya) * pl.pitch, *rb = pl.data + size_t(yb) * pl.pitch;
    if (ya == yb || w == 0) return decode_row(pl, ra, a, count, ch, out);
    const bool u8 = pl.format == DXGI_FORMAT_R8_UNORM || pl.format == DXGI_FORMAT_R8G8_UNORM ||  // no swizzle
                    pl.format == DXGI_FORMAT_R8G8B8A8_UNORM || pl.format == DXGI_FORMAT_R8G8B8A8_TYPELESS;
    uint32_t done = 0;
#if defined(__x86_64__)
    if (u8 && g_avx2) done = u8_blend_avx2(ra + size_t(a) * ch, rb + size_t(a) * ch, count * ch, w, out) / ch;
#endif
    if (done == count) return;
    if (t_row2.size() < size_t(count - done) * ch) t_row2.resize(size_t(count - done) * ch);
    float *o = out + size_t(done) * ch;
    decode_row(pl, ra, a + int32_t(done), count - done, ch, o);
    decode_row(pl, rb, a + int32_t(done), count - done, ch, t_row2.data());
    lerp_rows(o, t_row2.data(), (count - done) * ch, w);
}

// Runs over the decoded row (stride ch texels) written to every p-th pixel:
// a copy (point, or a whole-texel position) or a blend of neighbours. The
// common strides have loops of their own so they vectorise.
D3D_CLONES void lerp_1_1(const float *src, float w, uint32_t count, float *out) {
    for (uint32_t k = 0; k < count; k++) out[k] = src[k] + (src[k + 1] - src[k]) * w;
}
D3D_CLONES void lerp_2_2(const float *src, float w, uint32_t count, float *out) {
    for (uint32_t k = 0; k < count; k++) out[k * 2] = src[k * 2] + (src[k * 2 + 2] - src[k * 2]) * w;
}
D3D_CLONES void copy_2_2(const float *src, uint32_t count, float *out) {
    for (uint32_t k = 0; k < count; k++) out[k * 2] = src[k * 2];
}
void lerp_run(const float *src, uint32_t ch, float w, uint32_t count, float *out, uint32_t p) {
    if (ch == 1 && p == 1) return lerp_1_1(src, w, count, out);
    if (ch == 2 && p == 2) return lerp_2_2(src, w, count, out);
    for (uint32_t k = 0; k < count; k++) out[k * p] = src[k * ch] + (src[(k + 1) * ch] - src[k * ch]) * w;
}
void copy_run(const float *src, uint32_t ch, uint32_t count, float *out, uint32_t p) {
    if (ch == 1 && p == 1) return (void)memcpy(out, src, count * sizeof(float));
    if (ch == 2 && p == 2) return copy_2_2(src, count, out);
    for (uint32_t k = 0; k < count; k++) out[k * p] = src[k * ch];
}

#if defined(__x86_64__)
__attribute__((target("avx2,fma"))) int64_t half_steps_2_avx2(const float *t, int64_t ja, float wa,
                                                              int64_t jb, float wb, int64_t k, int64_t k1,
                                                              float *o0, float *o1) {
    const __m256 va = _mm256_set1_ps(wa), vb = _mm256_set1_ps(wb);
    for (; k + 4 <= k1; k += 4) {
        const float *pa = t + (ja + k) * 2, *pb = t + (jb + k) * 2;
        const __m256 a0 = _mm256_loadu_ps(pa), b0 = _mm256_loadu_ps(pb);
        const __m256 l = _mm256_fmadd_ps(_mm256_sub_ps(_mm256_loadu_ps(pa + 2), a0), va, a0);
        const __m256 m = _mm256_fmadd_ps(_mm256_sub_ps(_mm256_loadu_ps(pb + 2), b0), vb, b0);
        const __m256 lo = _mm256_unpacklo_ps(l, m), hi = _mm256_unpackhi_ps(l, m);
        _mm256_storeu_ps(o0 + 2 * k, _mm256_shuffle_ps(lo, hi, 0x44));
        _mm256_storeu_ps(o1 + 2 * k, _mm256_shuffle_ps(lo, hi, 0xEE));
    }
    return k;
}
#endif

// Half steps (4:2:0 chroma at scale 1) on a two-channel row: phase a gives
// the even pixels, phase b the odd ones, texel pairs k0 .. k1 of both.
// Returns the first pair not done.
int64_t half_steps_2(const float *t, int64_t ja, float wa, int64_t jb, float wb, int64_t k0, int64_t k1,
                     float *o0, float *o1) {
    int64_t k = k0;
#if defined(__x86_64__)
    if (g_avx2) return half_steps_2_avx2(t, ja, wa, jb, wb, k0, k1, o0, o1);
    const __m128 va = _mm_set1_ps(wa), vb = _mm_set1_ps(wb);
    for (; k + 2 <= k1; k += 2) {
        const float *pa = t + (ja + k) * 2, *pb = t + (jb + k) * 2;
        const __m128 a0 = _mm_loadu_ps(pa), b0 = _mm_loadu_ps(pb);
        const __m128 l = _mm_add_ps(a0, _mm_mul_ps(_mm_sub_ps(_mm_loadu_ps(pa + 2), a0), va));
        const __m128 m = _mm_add_ps(b0, _mm_mul_ps(_mm_sub_ps(_mm_loadu_ps(pb + 2), b0), vb));
        const __m128 lo = _mm_unpacklo_ps(l, m), hi = _mm_unpackhi_ps(l, m);
        _mm_storeu_ps(o0 + 2 * k, _mm_shuffle_ps(lo, hi, 0x44));
        _mm_storeu_ps(o1 + 2 * k, _mm_shuffle_ps(lo, hi, 0xEE));
    }
#endif
    return k;
}

// A position within float rounding (about 2^-12 texel) of a whole texel is
// taken as that texel: pixel centres at scale 1 then read single texels.
inline int64_t snap(int64_t X) {
    const int64_t f = X & (ONE - 1);
    return f < 16 ? X - f : f > ONE - 16 ? X - f + ONE : X;
}

// Pixels from .. to of one channel (offset c, stride ch), each clamped.
void generic_pixels(const float *t, uint32_t ch, bool linear, int64_t X0, int64_t DX, int64_t base,
                    uint32_t cnt, uint32_t from, uint32_t to, float *o) {
    int64_t X = X0 + DX * int64_t(from);
    for (uint32_t i = from; i < to; i++, X += DX) {
        if (linear) {
            const int64_t j = std::clamp<int64_t>((X >> 16) - base, 0, cnt);
            const float w = float(X & (ONE - 1)) * (1.0f / ONE);
            o[i] = t[j * ch] + (t[(j + 1) * ch] - t[j * ch]) * w;
        } else {
            o[i] = t[std::clamp<int64_t>((X >> 16) - base, 1, cnt) * ch];
        }
    }
}

}  // namespace

bool d3d_sample_row(const D3DPlaneView &pl, const D3D11_SAMPLER_DESC &s, float u0, float du, float v,
                    uint32_t n, float *c0, float *c1, float *c2, float *c3) {
    if (n == 0) return true;
    if (!pl.data || pl.width == 0 || pl.height == 0) return false;
    if (s.AddressU != D3D11_TEXTURE_ADDRESS_CLAMP || s.AddressV != D3D11_TEXTURE_ADDRESS_CLAMP) return false;
    if (!std::isfinite(u0) || !std::isfinite(du) || !std::isfinite(v)) return false;
    const bool linear = (s.Filter & 0x15) == 0x15;
    const double half = linear ? 0.5 : 0.0;
    const double fx0 = double(u0) * pl.width - half;
    const double fxn = fx0 + double(du) * pl.width * (n - 1);
    if (std::fabs(fx0) > 1e8 || std::fabs(fxn) > 1e8) return false;
    const int64_t X0 = snap(std::llround(fx0 * ONE));
    const int64_t DX = std::llround(double(du) * pl.width * ONE);
    const int64_t Xn = X0 + DX * int64_t(n - 1);
    const int64_t lo = std::min(X0, Xn) >> 16, hi = (std::max(X0, Xn) >> 16) + (linear ? 1 : 0);
    const int32_t W = int32_t(pl.width), H = int32_t(pl.height);
    const int32_t a = int32_t(std::clamp<int64_t>(lo, 0, W - 1));
    const int32_t b = int32_t(std::clamp<int64_t>(hi, 0, W - 1));
    const uint32_t cnt = uint32_t(b - a + 1);
    if (cnt > 2 * n + 64) return false;  // a strong reduction: only a few texels are read
    const uint32_t ch = channels_of(pl.format);

    const bool unit = DX == ONE && (!linear || (X0 & (ONE - 1)) == 0);
    // The row (or the two rows, blended) with one padding texel each side.
    int32_t ya, yb;
    float wy = 0;
    if (linear) {
        const double fy = double(v) * pl.height - 0.5;
        if (std::fabs(fy) > 1e8) return false;
        const int64_t Y = snap(std::llround(fy * ONE));
        ya = int32_t(std::clamp<int64_t>(Y >> 16, 0, H - 1));
        yb = int32_t(std::clamp<int64_t>((Y >> 16) + 1, 0, H - 1));
        wy = float(Y & (ONE - 1)) * (1.0f / ONE);
    } else {
        const float fy = v * float(pl.height);
        if (!(std::fabs(fy) < 1e8f)) return false;
        const float fl = std::floor(fy);
        ya = yb = int32_t(std::clamp<float>(fl, 0.0f, float(H - 1)));
    }
    // One channel at whole-texel unit steps inside the plane: decoded
    // straight into the output.
    if (unit && ch == 1 && c0 && (X0 >> 16) >= 0 && (X0 >> 16) + int64_t(n) <= W) {
        const int32_t x = int32_t(X0 >> 16);
        blend_rows(pl, ya, yb, wy, x, n, 1, c0);
        float *out[4] = {c0, c1, c2, c3};
        for (uint32_t c = 1; c < 4; c++)
            if (out[c]) std::fill(out[c], out[c] + n, c == 3 ? 1.0f : 0.0f);
        return true;
    }
    const size_t row_floats = size_t(cnt + 2) * ch;
    if (t_row.size() < row_floats) t_row.resize(row_floats);
    float *tmp = t_row.data();
    blend_rows(pl, ya, yb, wy, a, cnt, ch, tmp + ch);
    memcpy(tmp, tmp + ch, ch * sizeof(float));
    memcpy(tmp + size_t(cnt + 1) * ch, tmp + size_t(cnt) * ch, ch * sizeof(float));

    float *out[4] = {c0, c1, c2, c3};
    for (uint32_t c = ch; c < 4; c++)
        if (out[c]) std::fill(out[c], out[c] + n, c == 3 ? 1.0f : 0.0f);
    // Slot j of tmp holds texel a - 1 + j; every read is clamped to [0, cnt + 1].
    const int64_t base = int64_t(a) - 1;
    const uint32_t phases = DX == ONE ? 1 : DX == ONE / 2 ? 2 : 0;
    if (linear && phases == 2 && ch == 2 && c0 && c1 && n >= 2) {
        const int64_t ja = (X0 >> 16) - base, jb = ((X0 + DX) >> 16) - base;
        const float wa = float(X0 & (ONE - 1)) * (1.0f / ONE),
                    wb = float((X0 + DX) & (ONE - 1)) * (1.0f / ONE);
        const int64_t K = n / 2;
        const int64_t k0 = std::clamp<int64_t>(std::max(-ja, -jb), 0, K);
        const int64_t k1 = std::clamp<int64_t>(std::min(int64_t(cnt) - ja, int64_t(cnt) - jb) + 1, k0, K);
        const int64_t done = half_steps_2(tmp, ja, wa, jb, wb, k0, k1, c0, c1);
        for (uint32_t c = 0; c < 2; c++) {
            generic_pixels(tmp + c, 2, true, X0, DX, base, cnt, 0, uint32_t(2 * k0), out[c]);
            generic_pixels(tmp + c, 2, true, X0, DX, base, cnt, uint32_t(2 * done), n, out[c]);
        }
        return true;
    }
    for (uint32_t c = 0; c < std::min(ch, 4u); c++) {
        float *o = out[c];
        if (!o) continue;
        const float *t = tmp + c;
        if (phases) {
            for (uint32_t p = 0; p < phases && p < n; p++) {
                const int64_t Xp = X0 + DX * p;
                const uint32_t K = (n - p + phases - 1) / phases;
                const int64_t j0 = (Xp >> 16) - base;
                const float w = float(Xp & (ONE - 1)) * (1.0f / ONE);
                // Pixels whose texels (j, j + 1) both lie inside the padded row.
                const int64_t k0 = std::clamp<int64_t>((linear ? 0 : 1) - j0, 0, K);
                const int64_t k1 = std::clamp<int64_t>(int64_t(cnt) - j0 + 1, k0, K);
                const float left = t[linear ? 0 : ch], right = t[size_t(cnt) * ch];
                for (int64_t k = 0; k < k0; k++) o[p + k * phases] = left;
                if (k1 > k0) {
                    const float *src = t + size_t(j0 + k0) * ch;
                    float *dst = o + p + k0 * phases;
                    if (!linear || w == 0)
                        copy_run(src, ch, uint32_t(k1 - k0), dst, phases);
                    else
                        lerp_run(src, ch, w, uint32_t(k1 - k0), dst, phases);
                }
                for (int64_t k = k1; k < int64_t(K); k++) o[p + k * phases] = right;
            }
            continue;
        }
        generic_pixels(t, ch, linear, X0, DX, base, cnt, 0, n, o);
    }
    return true;
}

#if defined(__x86_64__)
namespace {
__attribute__((target("avx2,fma"))) uint32_t yuv_avx2(const D3DYuvMatrix &k, float *c0, float *c1, float *c2,
                                                      float *c3, uint32_t n) {
    const __m256 ys = _mm256_set1_ps(k.ys), yo = _mm256_set1_ps(k.yo), cs = _mm256_set1_ps(k.cs),
                 co = _mm256_set1_ps(k.co), rv = _mm256_set1_ps(k.rv), bu = _mm256_set1_ps(k.bu),
                 gr = _mm256_set1_ps(k.gr), gb = _mm256_set1_ps(k.gb), gs = _mm256_set1_ps(k.gs),
                 one = _mm256_set1_ps(1.0f);
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 y = _mm256_fmadd_ps(_mm256_loadu_ps(c0 + i), ys, yo);
        const __m256 u = _mm256_fmadd_ps(_mm256_loadu_ps(c1 + i), cs, co);
        const __m256 v = _mm256_fmadd_ps(_mm256_loadu_ps(c2 + i), cs, co);
        const __m256 r = _mm256_fmadd_ps(rv, v, y);
        const __m256 b = _mm256_fmadd_ps(bu, u, y);
        const __m256 g = _mm256_mul_ps(_mm256_fnmadd_ps(gb, b, _mm256_fnmadd_ps(gr, r, y)), gs);
        _mm256_storeu_ps(c0 + i, r);
        _mm256_storeu_ps(c1 + i, g);
        _mm256_storeu_ps(c2 + i, b);
        _mm256_storeu_ps(c3 + i, one);
    }
    return i;
}
}  // namespace
#endif

void d3d_yuv_run(const D3DYuvMatrix &m, float *c0, float *c1, float *c2, float *c3, uint32_t n) {
    const D3DYuvMatrix k = m;
    uint32_t i = 0;
#if defined(__x86_64__)
    if (g_avx2) i = yuv_avx2(k, c0, c1, c2, c3, n);
#endif
    for (; i < n; i++) {
        const float y = c0[i] * k.ys + k.yo, u = c1[i] * k.cs + k.co, v = c2[i] * k.cs + k.co;
        const float r = y + k.rv * v;
        const float b = y + k.bu * u;
        c0[i] = r;
        c1[i] = (y - k.gr * r - k.gb * b) * k.gs;
        c2[i] = b;
        c3[i] = 1.0f;
    }
}

namespace {

inline uint32_t unorm8_bits(float x) {
    x = x > 0 ? x : 0.0f;  // NaN becomes 0
    x = x < 1 ? x : 1.0f;
    return uint32_t(int32_t(x * 255.0f + 0.5f));
}

void pack_scalar(const float *lo, const float *g, const float *hi, const float *a, uint32_t from, uint32_t n,
                 uint8_t *out) {
    for (uint32_t i = from; i < n; i++) {
        const uint32_t px =
            unorm8_bits(lo[i]) | unorm8_bits(g[i]) << 8 | unorm8_bits(hi[i]) << 16 | unorm8_bits(a[i]) << 24;
        memcpy(out + size_t(i) * 4, &px, 4);
    }
}

#if defined(__x86_64__)
// max with 0 first: maxps gives its second operand for NaN, so NaN becomes 0.
inline __m128i unorm8_sse(const float *p) {
    __m128 x = _mm_min_ps(_mm_max_ps(_mm_loadu_ps(p), _mm_setzero_ps()), _mm_set1_ps(1.0f));
    return _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(x, _mm_set1_ps(255.0f)), _mm_set1_ps(0.5f)));
}

uint32_t pack_sse2(const float *lo, const float *g, const float *hi, const float *a, uint32_t n,
                   uint8_t *out) {
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m128i px = _mm_or_si128(
            _mm_or_si128(unorm8_sse(lo + i), _mm_slli_epi32(unorm8_sse(g + i), 8)),
            _mm_or_si128(_mm_slli_epi32(unorm8_sse(hi + i), 16), _mm_slli_epi32(unorm8_sse(a + i), 24)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + size_t(i) * 4), px);
    }
    return i;
}

__attribute__((target("avx2"))) inline __m256i unorm8_avx(const float *p) {
    __m256 x = _mm256_min_ps(_mm256_max_ps(_mm256_loadu_ps(p), _mm256_setzero_ps()), _mm256_set1_ps(1.0f));
    return _mm256_cvttps_epi32(_mm256_add_ps(_mm256_mul_ps(x, _mm256_set1_ps(255.0f)), _mm256_set1_ps(0.5f)));
}

__attribute__((target("avx2"))) uint32_t pack_avx2(const float *lo, const float *g, const float *hi,
                                                   const float *a, uint32_t n, uint8_t *out) {
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i px =
            _mm256_or_si256(_mm256_or_si256(unorm8_avx(lo + i), _mm256_slli_epi32(unorm8_avx(g + i), 8)),
                            _mm256_or_si256(_mm256_slli_epi32(unorm8_avx(hi + i), 16),
                                            _mm256_slli_epi32(unorm8_avx(a + i), 24)));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + size_t(i) * 4), px);
    }
    return i;
}
#endif

}  // namespace

void d3d_pack_run(const float *r, const float *g, const float *b, const float *a, uint32_t n, bool bgra,
                  uint8_t *out) {
    const float *lo = bgra ? b : r, *hi = bgra ? r : b;
    uint32_t done = 0;
#if defined(__x86_64__)
    done = g_avx2 ? pack_avx2(lo, g, hi, a, n, out) : pack_sse2(lo, g, hi, a, n, out);
#endif
    pack_scalar(lo, g, hi, a, done, n, out);
}
