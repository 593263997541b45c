// The four shaders of the Direct3D renderers as C++ functions over the CPU
// stand-in's bindings, the same logic as shaders/video.frag and ui.frag:
// rotation, sharpen, plane sampling, BT.709 YUV to RGB with the renderers'
// constants, scanline. Both Direct3D rows use them through the tagged blobs at
// the end, sized as the compiled shaders they replace.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "compat/d3d/d3d.h"
#include "platform/gfx/gfx.h"

enum : uint32_t {
    D3D_CONV_FULL_RANGE = 1,
    D3D_CONV_HIGH_DEPTH = 2,
    D3D_CONV_LSB_ALIGNED = 4,
    D3D_CONV_YUV = 8,
};

// Y'CbCr to R'G'B' of one sample, in place (r, g, b in; y, u, v out).
inline void d3d_yuv_to_rgb(uint32_t conversion, float &y, float &u, float &v) {
    if (conversion & D3D_CONV_LSB_ALIGNED) {
        y *= 64.0f;
        u *= 64.0f;
        v *= 64.0f;
    }
    const bool hd = conversion & D3D_CONV_HIGH_DEPTH;
    if (conversion & D3D_CONV_FULL_RANGE) {
        const float off = hd ? 0.500489f : 0.501961f;
        u -= off;
        v -= off;
    } else if (hd) {
        y = y * 1.16781f - 0.0730594f;
        u = u * 1.14174f - 0.571429f;
        v = v * 1.14174f - 0.571429f;
    } else {
        y = y * 1.16438f - 0.0730594f;
        u = u * 1.13839f - 0.571429f;
        v = v * 1.13839f - 0.571429f;
    }
    const float r = y + 1.5748f * v;
    const float b = y + 1.8556f * u;
    const float g = (y - 0.2126f * r - 0.0722f * b) * 1.39821f;
    y = r;
    u = g;
    v = b;
}

// The same over a run, with the branches taken once (alpha becomes 1).
inline void d3d_yuv_to_rgb_run(uint32_t conversion, float *R, float *G, float *B, float *A, uint32_t n) {
    const float mul = conversion & D3D_CONV_LSB_ALIGNED ? 64.0f : 1.0f;
    const bool hd = conversion & D3D_CONV_HIGH_DEPTH;
    float ys = 1, yo = 0, cs = 1, co;
    if (conversion & D3D_CONV_FULL_RANGE) {
        co = hd ? -0.500489f : -0.501961f;
    } else if (hd) {
        ys = 1.16781f, yo = -0.0730594f, cs = 1.14174f, co = -0.571429f;
    } else {
        ys = 1.16438f, yo = -0.0730594f, cs = 1.13839f, co = -0.571429f;
    }
    // The lsb factor is a power of two: folding it into the scales is exact.
    const D3DYuvMatrix m = {mul * ys, yo, mul * cs, co, 1.5748f, 1.8556f, 0.2126f, 0.0722f, 1.39821f};
    d3d_yuv_run(m, R, G, B, A, n);
}

// Scanline band test: darkened when true. Under 240 rows the period would be
// 0; one row is the least band.
inline bool d3d_scanline_dark(float v, float vp_height) {
    const float period = std::max(std::floor(vp_height / 240.0f), 1.0f);
    const float row = std::floor(v * vp_height);
    return row - period * std::floor(row / period) < period * 0.5f;
}

inline void d3d_video_vs(const uint8_t *vertex, const D3DBindings &, float pos[4], float var[D3D_VARYINGS]) {
    float f[4];
    memcpy(f, vertex, 16);
    pos[0] = f[0];
    pos[1] = f[1];
    pos[2] = 0;
    pos[3] = 1;
    for (uint32_t k = 0; k < D3D_VARYINGS; k++) var[k] = 0;
    var[0] = f[2];
    var[1] = f[3];
}

// Scanline over pixels at .. at + n of a run whose v is v0 + i * dv.
inline void d3d_scanline_run(const VS_CONSTANT_BUFFER &cb, float v0, float dv, uint32_t at, uint32_t n,
                             float *R, float *G, float *B, float *A) {
    for (int e = 0; e < 2; e++) {
        if (cb.effects[e] != 1) continue;
        const float level = cb.levels[e];
        for (uint32_t i = 0; i < n; i++)
            if (d3d_scanline_dark(v0 + float(at + i) * dv, cb.vp_height)) {
                R[i] *= level;
                G[i] *= level;
                B[i] *= level;
                A[i] *= level;
            }
    }
}

// A run along one texel row (no sharpen; the rotation keeps the sampled v
// fixed along the run): the rasteriser's row sampler. False when it does not
// apply; nothing is written that the general path would not overwrite.
inline bool d3d_video_row(const D3DBindings &b, const VS_CONSTANT_BUFFER &cb, const D3DPlaneView &p0,
                          const D3DPlaneView &p1, const D3DPlaneView &p2, const float var0[D3D_VARYINGS],
                          const float dvar[D3D_VARYINGS], uint32_t n, float *R, float *G, float *B,
                          float *A) {
    const float u = var0[0], v = var0[1], du = dvar[0], dv = dvar[1];
    float su, dsu, sv, dsv;
    switch (cb.rotation) {
        case 1:
            su = v, dsu = dv, sv = 1.0f - u, dsv = -du;
            break;
        case 2:
            su = 1.0f - u, dsu = -du, sv = 1.0f - v, dsv = -dv;
            break;
        case 3:
            su = 1.0f - v, dsu = -dv, sv = u, dsv = du;
            break;
        default:
            su = u, dsu = du, sv = v, dsv = dv;
    }
    if (dsv != 0) return false;
    const bool yuv = cb.conversion & D3D_CONV_YUV;
    bool ok;
    if (cb.planes == 2) {
        ok = d3d_sample_row(p0, b.sampler, su, dsu, sv, n, R, nullptr, nullptr, nullptr) &&
             d3d_sample_row(p1, b.sampler, su, dsu, sv, n, G, B, nullptr, nullptr);
        if (!yuv) std::fill(A, A + n, 1.0f);  // the conversion sets it
    } else if (cb.planes == 3) {
        ok = d3d_sample_row(p0, b.sampler, su, dsu, sv, n, R, nullptr, nullptr, nullptr) &&
             d3d_sample_row(p1, b.sampler, su, dsu, sv, n, G, nullptr, nullptr, nullptr) &&
             d3d_sample_row(p2, b.sampler, su, dsu, sv, n, B, nullptr, nullptr, nullptr);
        if (!yuv) std::fill(A, A + n, 1.0f);  // the conversion sets it
    } else if (yuv && (cb.conversion & D3D_CONV_HIGH_DEPTH)) {
        ok = d3d_sample_row(p0, b.sampler, su, dsu, sv, n, G, R, B, A);
    } else {
        ok = d3d_sample_row(p0, b.sampler, su, dsu, sv, n, R, G, B, A);
    }
    if (!ok) return false;
    if (yuv) d3d_yuv_to_rgb_run(cb.conversion, R, G, B, A, n);
    d3d_scanline_run(cb, v, dv, 0, n, R, G, B, A);
    return true;
}

inline void d3d_video_ps(const D3DBindings &b, const float var0[D3D_VARYINGS], const float dvar[D3D_VARYINGS],
                         uint32_t n, float *r, float *g, float *bl, float *a) {
    VS_CONSTANT_BUFFER cb{};
    if (b.ps_cb && b.ps_cb_size >= sizeof(cb)) memcpy(&cb, b.ps_cb, sizeof(cb));
    static const D3DPlaneView none{};
    const D3DPlaneView &p0 = b.srv[0] ? *b.srv[0] : none;
    const D3DPlaneView &p1 = b.srv[1] ? *b.srv[1] : none;
    const D3DPlaneView &p2 = b.srv[2] ? *b.srv[2] : none;
    if (n > 1 && cb.effects[0] != 2 && cb.effects[1] != 2 &&
        d3d_video_row(b, cb, p0, p1, p2, var0, dvar, n, r, g, bl, a))
        return;
    constexpr uint32_t CH = 64;
    float uu[CH], vv[CH], su[CH], sv[CH];
    for (uint32_t at = 0; at < n; at += CH) {
        const uint32_t m = std::min(CH, n - at);
        float *R = r + at, *G = g + at, *B = bl + at, *A = a + at;
        for (uint32_t i = 0; i < m; i++) {
            uu[i] = var0[0] + float(at + i) * dvar[0];
            vv[i] = var0[1] + float(at + i) * dvar[1];
        }
        for (uint32_t i = 0; i < m; i++) {
            const float u = uu[i], v = vv[i];
            switch (cb.rotation) {
                case 1:
                    su[i] = v;
                    sv[i] = 1.0f - u;
                    break;
                case 2:
                    su[i] = 1.0f - u;
                    sv[i] = 1.0f - v;
                    break;
                case 3:
                    su[i] = 1.0f - v;
                    sv[i] = u;
                    break;
                default:
                    su[i] = u;
                    sv[i] = v;
            }
        }
        for (int e = 0; e < 2; e++) {
            if (cb.effects[e] != 2) continue;
            const bool strong = cb.levels[e] >= 0.5f;
            for (uint32_t i = 0; i < m; i++) {
                float *c[2] = {&su[i], &sv[i]};
                const float size[2] = {cb.width, cb.height};
                for (int k = 0; k < 2; k++) {
                    const float p = *c[k] * size[k];
                    const float ctr = std::floor(p) + 0.5f;
                    const float d = p - ctr;
                    const float d2 = strong ? 16.0f * d * d * d * d * d : 4.0f * d * d * d;
                    *c[k] = (ctr + d2) / size[k];
                }
            }
        }
        const bool yuv = cb.conversion & D3D_CONV_YUV;
        if (cb.planes == 2) {
            d3d_sample(p0, b.sampler, su, sv, m, R, nullptr, nullptr, nullptr);
            d3d_sample(p1, b.sampler, su, sv, m, G, B, nullptr, nullptr);
            for (uint32_t i = 0; i < m; i++) A[i] = 1.0f;
        } else if (cb.planes == 3) {
            d3d_sample(p0, b.sampler, su, sv, m, R, nullptr, nullptr, nullptr);
            d3d_sample(p1, b.sampler, su, sv, m, G, nullptr, nullptr, nullptr);
            d3d_sample(p2, b.sampler, su, sv, m, B, nullptr, nullptr, nullptr);
            for (uint32_t i = 0; i < m; i++) A[i] = 1.0f;
        } else if (yuv && (cb.conversion & D3D_CONV_HIGH_DEPTH)) {
            // U before Y in the high-depth single-plane formats.
            d3d_sample(p0, b.sampler, su, sv, m, G, R, B, A);
        } else {
            d3d_sample(p0, b.sampler, su, sv, m, R, G, B, A);
        }
        if (yuv) d3d_yuv_to_rgb_run(cb.conversion, R, G, B, A, m);
        d3d_scanline_run(cb, var0[1], dvar[1], at, m, R, G, B, A);
    }
}

// UI: the projection (four rows of four floats) in vertex-shader slot 0.
inline void d3d_ui_vs(const uint8_t *vertex, const D3DBindings &b, float pos[4], float var[D3D_VARYINGS]) {
    float f[4];
    uint8_t col[4];
    memcpy(f, vertex, 16);
    memcpy(col, vertex + 16, 4);
    float m[16] = {};
    if (b.vs_cb && b.vs_cb_size >= sizeof(m)) memcpy(m, b.vs_cb, sizeof(m));
    for (int j = 0; j < 4; j++) pos[j] = f[0] * m[j] + f[1] * m[4 + j] + m[12 + j];
    for (uint32_t k = 0; k < D3D_VARYINGS; k++) var[k] = 0;
    var[0] = f[2];
    var[1] = f[3];
    for (int k = 0; k < 4; k++) var[2 + k] = col[k] / 255.0f;
}

inline void d3d_ui_ps(const D3DBindings &b, const float var0[D3D_VARYINGS], const float dvar[D3D_VARYINGS],
                      uint32_t n, float *r, float *g, float *bl, float *a) {
    static const D3DPlaneView none{};
    constexpr uint32_t CH = 64;
    float u[CH], v[CH];
    for (uint32_t at = 0; at < n; at += CH) {
        const uint32_t m = std::min(CH, n - at);
        for (uint32_t i = 0; i < m; i++) {
            u[i] = var0[0] + float(at + i) * dvar[0];
            v[i] = var0[1] + float(at + i) * dvar[1];
        }
        d3d_sample(b.srv[0] ? *b.srv[0] : none, b.sampler, u, v, m, r + at, g + at, bl + at, a + at);
        float *out[4] = {r + at, g + at, bl + at, a + at};
        for (int k = 0; k < 4; k++)
            for (uint32_t i = 0; i < m; i++) out[k][i] *= var0[2 + k] + float(at + i) * dvar[2 + k];
    }
}

// The blobs, sized as the compiled shaders: video vertex 568 bytes, video
// pixel 5,268, UI vertex 864, UI pixel 660.
inline const D3DShaderCode<568> d3d_video_vs_code = d3d_shader_code<568>(d3d_video_vs, nullptr);
inline const D3DShaderCode<5268> d3d_video_ps_code = d3d_shader_code<5268>(nullptr, d3d_video_ps);
inline const D3DShaderCode<864> d3d_ui_vs_code = d3d_shader_code<864>(d3d_ui_vs, nullptr);
inline const D3DShaderCode<660> d3d_ui_ps_code = d3d_shader_code<660>(nullptr, d3d_ui_ps);
