// The CPU rasteriser and texture sampler behind both Direct3D stand-ins.
// Triangles are drawn with the top-left fill rule at pixel centres, varyings
// interpolated linearly in screen space (every shader here writes w = 1).
// A quad that covers an axis-aligned rectangle with affine varyings (what the
// video renderers draw) takes the fast path: whole rows go through the pixel
// shader at once, so a shader can sample them with d3d_sample_row, and the
// opaque results are packed with vector code. Both paths cover the same
// pixels and shade them with the same function; the tests hold the fast path
// to the plain one.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "compat/d3d/d3d.h"

namespace {

constexpr uint32_t RUN = 512;

// floor() to an integer without a library call (the baseline instruction set
// has no rounding instruction). Coordinates beyond the int range are clamped
// first, so the conversion is always defined.
inline int32_t ifloor(float x) {
    x = x > -1e9f ? (x < 1e9f ? x : 1e9f) : -1e9f;  // NaN becomes -1e9
    const int32_t i = int32_t(x);
    return i - (float(i) > x);
}

// A whole-valued float as an integer in [lo, hi] (NaN gives lo): clamped
// before the conversion, which is undefined outside the int range, and so a
// far-off coordinate never makes a loop scan to it.
inline int32_t to_range(float v, int32_t lo, int32_t hi) {
    if (!(v > float(lo))) return lo;
    return v < float(hi) ? int32_t(v) : hi;
}

inline int32_t address(int32_t i, uint32_t size, uint32_t mode) {
    if (mode == D3D11_TEXTURE_ADDRESS_WRAP) {
        const int32_t s = int32_t(size);
        i %= s;
        return i < 0 ? i + s : i;
    }
    return std::clamp(i, 0, int32_t(size) - 1);
}

inline uint16_t rd16(const uint8_t *p) {
    uint16_t v;
    memcpy(&v, p, 2);
    return v;
}

inline uint32_t rd32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

}  // namespace

void d3d_texel(const D3DPlaneView &pl, int32_t x, int32_t y, float c[4]) {
    const uint8_t *p = pl.data + size_t(y) * pl.pitch;
    c[0] = c[1] = c[2] = 0;
    c[3] = 1;
    switch (pl.format) {
        case DXGI_FORMAT_R8_UNORM:
            c[0] = p[x] / 255.0f;
            break;
        case DXGI_FORMAT_R8G8_UNORM:
            c[0] = p[x * 2] / 255.0f;
            c[1] = p[x * 2 + 1] / 255.0f;
            break;
        case DXGI_FORMAT_R16_UNORM:
            c[0] = rd16(p + x * 2) / 65535.0f;
            break;
        case DXGI_FORMAT_R16G16_UNORM:
            c[0] = rd16(p + x * 4) / 65535.0f;
            c[1] = rd16(p + x * 4 + 2) / 65535.0f;
            break;
        case DXGI_FORMAT_R16G16B16A16_UNORM:
            for (int k = 0; k < 4; k++) c[k] = rd16(p + x * 8 + k * 2) / 65535.0f;
            break;
        case DXGI_FORMAT_R8G8B8A8_UNORM:
        case DXGI_FORMAT_R8G8B8A8_TYPELESS:
            for (int k = 0; k < 4; k++) c[k] = p[x * 4 + k] / 255.0f;
            break;
        case DXGI_FORMAT_B8G8R8A8_UNORM:
        case DXGI_FORMAT_B8G8R8A8_TYPELESS:
        case DXGI_FORMAT_B8G8R8X8_UNORM:
        case DXGI_FORMAT_B8G8R8X8_TYPELESS:
            c[0] = p[x * 4 + 2] / 255.0f;
            c[1] = p[x * 4 + 1] / 255.0f;
            c[2] = p[x * 4] / 255.0f;
            c[3] = pl.format == DXGI_FORMAT_B8G8R8A8_UNORM || pl.format == DXGI_FORMAT_B8G8R8A8_TYPELESS
                       ? p[x * 4 + 3] / 255.0f
                       : 1.0f;
            break;
        case DXGI_FORMAT_R10G10B10A2_UNORM:
        case DXGI_FORMAT_R10G10B10A2_TYPELESS: {
            const uint32_t v = rd32(p + x * 4);
            c[0] = (v & 1023) / 1023.0f;
            c[1] = ((v >> 10) & 1023) / 1023.0f;
            c[2] = ((v >> 20) & 1023) / 1023.0f;
            c[3] = (v >> 30) / 3.0f;
            break;
        }
        case DXGI_FORMAT_B5G6R5_UNORM: {
            const uint16_t v = rd16(p + x * 2);
            c[0] = (v >> 11) / 31.0f;
            c[1] = ((v >> 5) & 63) / 63.0f;
            c[2] = (v & 31) / 31.0f;
            break;
        }
        case DXGI_FORMAT_B5G5R5A1_UNORM: {
            const uint16_t v = rd16(p + x * 2);
            c[0] = ((v >> 10) & 31) / 31.0f;
            c[1] = ((v >> 5) & 31) / 31.0f;
            c[2] = (v & 31) / 31.0f;
            c[3] = float(v >> 15);
            break;
        }
        default:
            break;
    }
}

namespace {

// A run on one texel row (v the same for every point, as in an unrotated
// quad): the rows are found once, the columns in separate simple loops.
template <uint32_t CH>
void sample_u8_row(const D3DPlaneView &pl, const D3D11_SAMPLER_DESC &s, bool linear, const float *u, float v,
                   uint32_t n, float *c0, float *c1) {
    constexpr uint32_t CHUNK = 64;
    const float fw = float(pl.width), fh = float(pl.height);
    constexpr float k = 1.0f / 255.0f;
    int32_t xa[CHUNK], xb[CHUNK];
    float ax[CHUNK];
    for (uint32_t at = 0; at < n; at += CHUNK) {
        const uint32_t m = std::min(CHUNK, n - at);
        const float *uu = u + at;
        if (!linear) {
            const uint8_t *row = pl.data + size_t(address(ifloor(v * fh), pl.height, s.AddressV)) * pl.pitch;
            for (uint32_t i = 0; i < m; i++) xa[i] = address(ifloor(uu[i] * fw), pl.width, s.AddressU);
            if (c0)
                for (uint32_t i = 0; i < m; i++) c0[at + i] = row[xa[i] * CH] * k;
            if (CH == 2 && c1)
                for (uint32_t i = 0; i < m; i++) c1[at + i] = row[xa[i] * CH + 1] * k;
            continue;
        }
        const float fy = v * fh - 0.5f;
        const int32_t y0 = ifloor(fy);
        const float ay = fy - float(y0);
        const uint8_t *ra = pl.data + size_t(address(y0, pl.height, s.AddressV)) * pl.pitch;
        const uint8_t *rb = pl.data + size_t(address(y0 + 1, pl.height, s.AddressV)) * pl.pitch;
        for (uint32_t i = 0; i < m; i++) {
            const float fx = uu[i] * fw - 0.5f;
            const int32_t x0 = ifloor(fx);
            ax[i] = fx - float(x0);
            xa[i] = address(x0, pl.width, s.AddressU) * int32_t(CH);
            xb[i] = address(x0 + 1, pl.width, s.AddressU) * int32_t(CH);
        }
        for (uint32_t ch = 0; ch < CH; ch++) {
            float *out = ch == 0 ? c0 : c1;
            if (!out) continue;
            out += at;
            for (uint32_t i = 0; i < m; i++) {
                const float t = ra[xa[i] + ch] + (ra[xb[i] + ch] - ra[xa[i] + ch]) * ax[i];
                const float b = rb[xa[i] + ch] + (rb[xb[i] + ch] - rb[xa[i] + ch]) * ax[i];
                out[i] = (t + (b - t) * ay) * k;
            }
        }
    }
}

// The common planes of the video path, sampled without the generic decode.
template <uint32_t CH>
void sample_u8(const D3DPlaneView &pl, const D3D11_SAMPLER_DESC &s, bool linear, const float *u,
               const float *v, uint32_t n, float *c0, float *c1) {
    const float fw = float(pl.width), fh = float(pl.height);
    constexpr float k = 1.0f / 255.0f;
    for (uint32_t i = 0; i < n; i++) {
        if (!linear) {
            const int32_t x = address(ifloor(u[i] * fw), pl.width, s.AddressU);
            const int32_t y = address(ifloor(v[i] * fh), pl.height, s.AddressV);
            const uint8_t *p = pl.data + size_t(y) * pl.pitch + size_t(x) * CH;
            if (c0) c0[i] = p[0] * k;
            if (CH == 2 && c1) c1[i] = p[1] * k;
            continue;
        }
        const float fx = u[i] * fw - 0.5f, fy = v[i] * fh - 0.5f;
        const int32_t x0 = ifloor(fx), y0 = ifloor(fy);
        const float ax = fx - float(x0), ay = fy - float(y0);
        const int32_t xa = address(x0, pl.width, s.AddressU);
        const int32_t xb = address(x0 + 1, pl.width, s.AddressU);
        const int32_t ya = address(y0, pl.height, s.AddressV);
        const int32_t yb = address(y0 + 1, pl.height, s.AddressV);
        const uint8_t *ra = pl.data + size_t(ya) * pl.pitch, *rb = pl.data + size_t(yb) * pl.pitch;
        for (uint32_t ch = 0; ch < CH; ch++) {
            float *out = ch == 0 ? c0 : c1;
            if (!out) continue;
            const float t = ra[xa * CH + ch] + (ra[xb * CH + ch] - ra[xa * CH + ch]) * ax;
            const float b = rb[xa * CH + ch] + (rb[xb * CH + ch] - rb[xa * CH + ch]) * ax;
            out[i] = (t + (b - t) * ay) * k;
        }
    }
}

struct Vert {
    float x, y;
    float var[D3D_VARYINGS];
};

inline float edge(const Vert &a, const Vert &b, float px, float py) {
    return (b.x - a.x) * (py - a.y) - (b.y - a.y) * (px - a.x);
}

// Top or left edge of a clockwise (y down) triangle: included on ties.
inline bool top_left(const Vert &a, const Vert &b) {
    return (a.y == b.y && b.x > a.x) || b.y < a.y;
}

inline float factor(uint32_t f, float sa, float da) {
    switch (f) {
        case D3D11_BLEND_ZERO:
            return 0;
        case D3D11_BLEND_SRC_ALPHA:
            return sa;
        case D3D11_BLEND_INV_SRC_ALPHA:
            return 1 - sa;
        case 7:  // DEST_ALPHA
            return da;
        case 8:  // INV_DEST_ALPHA
            return 1 - da;
        default:  // ONE
            return 1;
    }
}

inline uint8_t unorm8(float c) {
    c = c > 0 ? c : 0;  // NaN becomes 0
    c = c < 1 ? c : 1;
    return uint8_t(int32_t(c * 255.0f + 0.5f));
}

// Writes a run of shaded pixels, blending when the state asks for it.
void write_run(const D3DRasterTarget &t, const D3DRasterState &st, int32_t x, int32_t y, uint32_t n,
               const float *r, const float *g, const float *b, const float *a) {
    uint8_t *row = t.data + size_t(y) * t.pitch + size_t(x) * 4;
    const int ri = t.bgra ? 2 : 0, bi = t.bgra ? 0 : 2;
    const uint8_t mask = st.blend.RenderTargetWriteMask;
    if (!st.blend_on && mask == D3D11_COLOR_WRITE_ENABLE_ALL) return d3d_pack_run(r, g, b, a, n, t.bgra, row);
    for (uint32_t i = 0; i < n; i++) {
        uint8_t *p = row + i * 4;
        float s[4] = {r[i], g[i], b[i], a[i]};
        for (float &c : s) c = c > 0 ? (c < 1 ? c : 1) : 0;
        if (st.blend_on) {
            const float d[4] = {p[ri] / 255.0f, p[1] / 255.0f, p[bi] / 255.0f, p[3] / 255.0f};
            const float sc = factor(st.blend.SrcBlend, s[3], d[3]),
                        dc = factor(st.blend.DestBlend, s[3], d[3]);
            const float sa = factor(st.blend.SrcBlendAlpha, s[3], d[3]),
                        daf = factor(st.blend.DestBlendAlpha, s[3], d[3]);
            for (int k = 0; k < 3; k++) s[k] = s[k] * sc + d[k] * dc;
            s[3] = s[3] * sa + d[3] * daf;
        }
        if (mask & 1) p[ri] = unorm8(s[0]);
        if (mask & 2) p[1] = unorm8(s[1]);
        if (mask & 4) p[bi] = unorm8(s[2]);
        if (mask & 8) p[3] = unorm8(s[3]);
    }
}

struct Clip {
    int32_t x0, y0, x1, y1;  // half-open
};

Clip clip_of(const D3DRasterTarget &t, const D3DRasterState &st) {
    const int32_t w = int32_t(t.width), h = int32_t(t.height);
    Clip c{to_range(std::ceil(st.vp_x), 0, w), to_range(std::ceil(st.vp_y), 0, h),
           to_range(std::floor(st.vp_x + st.vp_w), 0, w), to_range(std::floor(st.vp_y + st.vp_h), 0, h)};
    if (st.scissor_on) {
        c.x0 = std::max(c.x0, st.scissor.left);
        c.y0 = std::max(c.y0, st.scissor.top);
        c.x1 = std::min(c.x1, st.scissor.right);
        c.y1 = std::min(c.y1, st.scissor.bottom);
    }
    return c;
}

// Orientation test: true when the triangle is kept; orders it clockwise.
bool keep(Vert &a, Vert &b, Vert &c, const D3DRasterState &st) {
    const float area = edge(a, b, c.x, c.y);
    if (area == 0 || !std::isfinite(area)) return false;
    const bool clockwise = area > 0;
    const bool front = st.front_ccw ? !clockwise : clockwise;
    if (st.cull == D3D11_CULL_BACK && !front) return false;
    if (st.cull == D3D11_CULL_FRONT && front) return false;
    if (!clockwise) std::swap(b, c);
    return true;
}

void draw_triangle(const D3DRasterTarget &t, const D3DRasterState &st, const Clip &clip,
                   const D3DBindings &bind, D3DPixelFn ps, const Vert &a, const Vert &b, const Vert &c) {
    const float area = edge(a, b, c.x, c.y);
    const float minx = std::min({a.x, b.x, c.x}), maxx = std::max({a.x, b.x, c.x});
    const float miny = std::min({a.y, b.y, c.y}), maxy = std::max({a.y, b.y, c.y});
    const int32_t x0 = to_range(std::floor(minx - 0.5f), clip.x0, clip.x1);
    const int32_t x1 = to_range(std::ceil(maxx + 0.5f), clip.x0, clip.x1);
    const int32_t y0 = to_range(std::floor(miny - 0.5f), clip.y0, clip.y1);
    const int32_t y1 = to_range(std::ceil(maxy + 0.5f), clip.y0, clip.y1);
    const bool tl0 = top_left(b, c), tl1 = top_left(c, a), tl2 = top_left(a, b);
    const float zero[D3D_VARYINGS] = {};
    for (int32_t y = y0; y < y1; y++)
        for (int32_t x = x0; x < x1; x++) {
            const float px = x + 0.5f, py = y + 0.5f;
            const float w0 = edge(b, c, px, py), w1 = edge(c, a, px, py), w2 = edge(a, b, px, py);
            if (w0 < 0 || w1 < 0 || w2 < 0) continue;
            if ((w0 == 0 && !tl0) || (w1 == 0 && !tl1) || (w2 == 0 && !tl2)) continue;
            float var[D3D_VARYINGS];
            for (uint32_t k = 0; k < D3D_VARYINGS; k++)
                var[k] = (a.var[k] * w0 + b.var[k] * w1 + c.var[k] * w2) / area;
            float r, g, bl, al;
            ps(bind, var, zero, 1, &r, &g, &bl, &al);
            write_run(t, st, x, y, 1, &r, &g, &bl, &al);
        }
}

// The fast path: two kept triangles that tile an axis-aligned rectangle with
// affine varyings. False when the draw is not such a quad.
bool draw_quad(const D3DRasterTarget &t, const D3DRasterState &st, const Clip &clip, const D3DBindings &bind,
               D3DPixelFn ps, const Vert tri[6]) {
    float xs[2] = {tri[0].x, tri[0].x}, ys[2] = {tri[0].y, tri[0].y};
    for (int i = 0; i < 6; i++) {
        xs[0] = std::min(xs[0], tri[i].x);
        xs[1] = std::max(xs[1], tri[i].x);
        ys[0] = std::min(ys[0], tri[i].y);
        ys[1] = std::max(ys[1], tri[i].y);
    }
    if (!(xs[0] < xs[1]) || !(ys[0] < ys[1])) return false;
    // Each corner's varyings; every vertex must sit on a corner, each
    // triangle on three of them, and the shared corners must agree.
    const Vert *corner[2][2] = {};
    int used[2][2] = {};
    for (int i = 0; i < 6; i++) {
        const int cx = tri[i].x == xs[0] ? 0 : tri[i].x == xs[1] ? 1 : -1;
        const int cy = tri[i].y == ys[0] ? 0 : tri[i].y == ys[1] ? 1 : -1;
        if (cx < 0 || cy < 0) return false;
        if (corner[cy][cx] && memcmp(corner[cy][cx]->var, tri[i].var, sizeof(tri[i].var)) != 0) return false;
        corner[cy][cx] = &tri[i];
        used[cy][cx] |= 1 << (i / 3);
    }
    // Two corners in both triangles and they are opposite ones.
    const bool diag = (used[0][0] == 3 && used[1][1] == 3 && used[0][1] != 3 && used[1][0] != 3) ||
                      (used[0][1] == 3 && used[1][0] == 3 && used[0][0] != 3 && used[1][1] != 3);
    if (!diag || !corner[0][0] || !corner[0][1] || !corner[1][0] || !corner[1][1]) return false;
    float dx[D3D_VARYINGS], dy[D3D_VARYINGS];
    const float w = xs[1] - xs[0], h = ys[1] - ys[0];
    for (uint32_t k = 0; k < D3D_VARYINGS; k++) {
        const float v00 = corner[0][0]->var[k], v01 = corner[0][1]->var[k], v10 = corner[1][0]->var[k],
                    v11 = corner[1][1]->var[k];
        if (std::fabs((v00 + v11) - (v01 + v10)) > 1e-5f * (1 + std::fabs(v00) + std::fabs(v11)))
            return false;
        dx[k] = (v01 - v00) / w;
        dy[k] = (v10 - v00) / h;
    }
    // Pixel centres in [x0, x1) x [y0, y1): the fill rule of the two halves.
    const int32_t x0 = to_range(std::ceil(xs[0] - 0.5f), clip.x0, clip.x1);
    const int32_t x1 = to_range(std::ceil(xs[1] - 0.5f), clip.x0, clip.x1);
    const int32_t y0 = to_range(std::ceil(ys[0] - 0.5f), clip.y0, clip.y1);
    const int32_t y1 = to_range(std::ceil(ys[1] - 0.5f), clip.y0, clip.y1);
    alignas(32) float r[RUN], g[RUN], b[RUN], a[RUN];
    const float *v00 = corner[0][0]->var;
    for (int32_t y = y0; y < y1; y++)
        for (int32_t x = x0; x < x1; x += RUN) {
            const uint32_t n = uint32_t(std::min<int32_t>(RUN, x1 - x));
            float var[D3D_VARYINGS];
            for (uint32_t k = 0; k < D3D_VARYINGS; k++)
                var[k] = v00[k] + (x + 0.5f - xs[0]) * dx[k] + (y + 0.5f - ys[0]) * dy[k];
            ps(bind, var, dx, n, r, g, b, a);
            write_run(t, st, x, y, n, r, g, b, a);
        }
    return true;
}

}  // namespace

void d3d_sample(const D3DPlaneView &pl, const D3D11_SAMPLER_DESC &s, const float *u, const float *v,
                uint32_t n, float *c0, float *c1, float *c2, float *c3) {
    if (!pl.data || pl.width == 0 || pl.height == 0) {
        for (uint32_t i = 0; i < n; i++) {
            if (c0) c0[i] = 0;
            if (c1) c1[i] = 0;
            if (c2) c2[i] = 0;
            if (c3) c3[i] = 0;
        }
        return;
    }
    const bool linear = (s.Filter & 0x15) == 0x15;
    if ((pl.format == DXGI_FORMAT_R8_UNORM || pl.format == DXGI_FORMAT_R8G8_UNORM) && n > 1) {
        bool one_row = true;
        for (uint32_t i = 1; i < n && one_row; i++) one_row = v[i] == v[0];
        if (one_row)
            return pl.format == DXGI_FORMAT_R8_UNORM
                       ? sample_u8_row<1>(pl, s, linear, u, v[0], n, c0, nullptr)
                       : sample_u8_row<2>(pl, s, linear, u, v[0], n, c0, c1);
    }
    if (pl.format == DXGI_FORMAT_R8_UNORM) return sample_u8<1>(pl, s, linear, u, v, n, c0, nullptr);
    if (pl.format == DXGI_FORMAT_R8G8_UNORM) return sample_u8<2>(pl, s, linear, u, v, n, c0, c1);
    float *out[4] = {c0, c1, c2, c3};
    const float fw = float(pl.width), fh = float(pl.height);
    for (uint32_t i = 0; i < n; i++) {
        float c[4];
        if (!linear) {
            d3d_texel(pl, address(ifloor(u[i] * fw), pl.width, s.AddressU),
                      address(ifloor(v[i] * fh), pl.height, s.AddressV), c);
        } else {
            const float fx = u[i] * fw - 0.5f, fy = v[i] * fh - 0.5f;
            const int32_t x0 = ifloor(fx), y0 = ifloor(fy);
            const float ax = fx - float(x0), ay = fy - float(y0);
            const int32_t xa = address(x0, pl.width, s.AddressU);
            const int32_t xb = address(x0 + 1, pl.width, s.AddressU);
            const int32_t ya = address(y0, pl.height, s.AddressV);
            const int32_t yb = address(y0 + 1, pl.height, s.AddressV);
            float t00[4], t01[4], t10[4], t11[4];
            d3d_texel(pl, xa, ya, t00);
            d3d_texel(pl, xb, ya, t01);
            d3d_texel(pl, xa, yb, t10);
            d3d_texel(pl, xb, yb, t11);
            for (int k = 0; k < 4; k++) {
                const float top = t00[k] + (t01[k] - t00[k]) * ax, bot = t10[k] + (t11[k] - t10[k]) * ax;
                c[k] = top + (bot - top) * ay;
            }
        }
        for (int k = 0; k < 4; k++)
            if (out[k]) out[k][i] = c[k];
    }
}

void d3d_raster_clear(const D3DRasterTarget &t, const float rgba[4]) {
    uint8_t px[4];
    px[t.bgra ? 2 : 0] = unorm8(rgba[0]);
    px[1] = unorm8(rgba[1]);
    px[t.bgra ? 0 : 2] = unorm8(rgba[2]);
    px[3] = unorm8(rgba[3]);
    uint32_t word;
    memcpy(&word, px, 4);
    for (uint32_t y = 0; y < t.height; y++) {
        uint32_t *row = reinterpret_cast<uint32_t *>(t.data + size_t(y) * t.pitch);
        std::fill(row, row + t.width, word);
    }
}

void d3d_raster_draw(const D3DRasterTarget &t, const D3DRasterState &st, const D3DBindings &bind,
                     D3DVertexFn vs, D3DPixelFn ps, const uint8_t *vertices, uint32_t stride,
                     uint64_t vertex_bytes, const void *indices, bool index32, uint32_t count, int32_t base) {
    const Clip clip = clip_of(t, st);
    if (clip.x0 >= clip.x1 || clip.y0 >= clip.y1) return;
    auto fetch = [&](uint32_t i, Vert *out) {
        uint32_t idx;
        if (index32)
            memcpy(&idx, static_cast<const uint8_t *>(indices) + i * 4, 4);
        else {
            uint16_t s;
            memcpy(&s, static_cast<const uint8_t *>(indices) + i * 2, 2);
            idx = s;
        }
        const int64_t at = int64_t(idx) + base;
        if (at < 0 || uint64_t(at + 1) * stride > vertex_bytes) return false;
        float pos[4];
        vs(vertices + uint64_t(at) * stride, bind, pos, out->var);
        if (!(pos[3] != 0)) return false;
        out->x = st.vp_x + (pos[0] / pos[3] + 1) * 0.5f * st.vp_w;
        out->y = st.vp_y + (1 - pos[1] / pos[3]) * 0.5f * st.vp_h;
        return std::isfinite(out->x) && std::isfinite(out->y);
    };
    const uint32_t tris = count / 3;
    if (tris == 2 && st.fast_path) {
        Vert q[6];
        bool ok = true;
        for (uint32_t i = 0; i < 6 && ok; i++) ok = fetch(i, &q[i]);
        if (ok) {
            Vert k[6];
            memcpy(k, q, sizeof(q));
            if (keep(k[0], k[1], k[2], st) && keep(k[3], k[4], k[5], st) &&
                draw_quad(t, st, clip, bind, ps, q))
                return;
        }
    }
    for (uint32_t tri = 0; tri < tris; tri++) {
        Vert v[3];
        if (!fetch(tri * 3, &v[0]) || !fetch(tri * 3 + 1, &v[1]) || !fetch(tri * 3 + 2, &v[2])) continue;
        if (!keep(v[0], v[1], v[2], st)) continue;
        draw_triangle(t, st, clip, bind, ps, v[0], v[1], v[2]);
    }
}
