// BGRA/RGBA to NV12 on the CPU: the luma, chroma and copy passes of the frame
// converter. Limited-range coefficients, evaluated in float in one fixed order
// so the SSE2 and AVX2 kernels give the same bytes as the plain loop:
//   Y = 0.183 R + 0.614 G + 0.062 B + 16      (8-bit channels)
//   U = -0.101 R - 0.339 G + 0.439 B + 128
//   V = 0.439 R - 0.399 G - 0.040 B + 128
// each rounded to nearest and clamped to 0..255. Chroma takes one source
// pixel per 2 x 2 block, the bottom-right one (the texel a half-size target
// samples at twice its coordinates); flipped, rows are read bottom-up.
#pragma once

#include <cstdint>

enum Nv12Isa : uint32_t {
    NV12_ISA_PLAIN = 0,
    NV12_ISA_SSE2 = 1,
    NV12_ISA_AVX2 = 2,
    NV12_ISA_BEST = 3,  // the widest the processor has
};

// A 32-bit-per-pixel source image; rgba: R in the low byte, else B.
struct Nv12Source {
    const uint8_t *data;
    uint32_t pitch;
    uint32_t width;
    uint32_t height;
    bool rgba;
    bool flip;
};

static inline uint8_t nv12_unorm8(float v) {
    v += 0.5f;
    return v <= 0.0f ? 0 : v >= 255.0f ? 255 : (uint8_t)v;
}

static inline uint8_t nv12_luma_px(float r, float g, float b) {
    return nv12_unorm8(0.183f * r + 0.614f * g + 0.062f * b + 15.9375f);
}
static inline uint8_t nv12_u_px(float r, float g, float b) {
    return nv12_unorm8(-0.101f * r + -0.339f * g + 0.439f * b + 127.5f);
}
static inline uint8_t nv12_v_px(float r, float g, float b) {
    return nv12_unorm8(0.439f * r + -0.399f * g + -0.040f * b + 127.5f);
}

// The ISA that NV12_ISA_BEST picks here.
Nv12Isa nv12_best_isa(void);

// Luma plane of width x height (at most the source size).
void nv12_luma(const Nv12Source &src, uint8_t *dst, uint32_t pitch, uint32_t width, uint32_t height,
               Nv12Isa isa = NV12_ISA_BEST);
// Interleaved UV plane of cw x ch chroma pixels (2 cw x 2 ch at most the source).
void nv12_chroma(const Nv12Source &src, uint8_t *dst, uint32_t pitch, uint32_t cw, uint32_t ch,
                 Nv12Isa isa = NV12_ISA_BEST);
// 32-bit copy into BGRA (channels swapped for an RGBA source).
void nv12_copy_bgra(const Nv12Source &src, uint8_t *dst, uint32_t pitch, uint32_t width, uint32_t height);
