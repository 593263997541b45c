// The pipeline pieces shared by the Direct3D 11 and 12 stand-ins: state
// descriptions with their real enum values, the tagged shader "bytecode"
// (a blob naming C++ shader functions), what a shader sees bound, texture
// sampling, and the CPU rasteriser both devices draw with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

struct D3D11_RECT {
    int32_t left, top, right, bottom;
};

#define D3D11_FILTER_MIN_MAG_MIP_POINT 0u
#define D3D11_FILTER_MIN_MAG_MIP_LINEAR 0x15u
#define D3D11_TEXTURE_ADDRESS_WRAP 1u
#define D3D11_TEXTURE_ADDRESS_CLAMP 3u
#define D3D11_COMPARISON_NEVER 1u
#define D3D11_COMPARISON_ALWAYS 8u
#define D3D11_BLEND_ZERO 1u
#define D3D11_BLEND_ONE 2u
#define D3D11_BLEND_SRC_ALPHA 5u
#define D3D11_BLEND_INV_SRC_ALPHA 6u
#define D3D11_BLEND_OP_ADD 1u
#define D3D11_COLOR_WRITE_ENABLE_ALL 0xFu
#define D3D11_FILL_SOLID 3u
#define D3D11_CULL_NONE 1u
#define D3D11_CULL_FRONT 2u
#define D3D11_CULL_BACK 3u
#define D3D11_DEPTH_WRITE_MASK_ALL 1u
#define D3D11_STENCIL_OP_KEEP 1u
#define D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST 4u
#define D3D11_INPUT_PER_VERTEX_DATA 0u

struct D3D11_SAMPLER_DESC {
    uint32_t Filter;
    uint32_t AddressU, AddressV, AddressW;
    float MipLODBias;
    uint32_t MaxAnisotropy;
    uint32_t ComparisonFunc;
    float BorderColor[4];
    float MinLOD, MaxLOD;
};

struct D3D11_RENDER_TARGET_BLEND_DESC {
    int32_t BlendEnable;
    uint32_t SrcBlend, DestBlend, BlendOp;
    uint32_t SrcBlendAlpha, DestBlendAlpha, BlendOpAlpha;
    uint8_t RenderTargetWriteMask;
};

struct D3D11_BLEND_DESC {
    int32_t AlphaToCoverageEnable;
    int32_t IndependentBlendEnable;
    D3D11_RENDER_TARGET_BLEND_DESC RenderTarget[8];
};

struct D3D11_RASTERIZER_DESC {
    uint32_t FillMode, CullMode;
    int32_t FrontCounterClockwise;
    int32_t DepthBias;
    float DepthBiasClamp, SlopeScaledDepthBias;
    int32_t DepthClipEnable, ScissorEnable, MultisampleEnable, AntialiasedLineEnable;
};

struct D3D11_DEPTH_STENCILOP_DESC {
    uint32_t StencilFailOp, StencilDepthFailOp, StencilPassOp, StencilFunc;
};

struct D3D11_DEPTH_STENCIL_DESC {
    int32_t DepthEnable;
    uint32_t DepthWriteMask, DepthFunc;
    int32_t StencilEnable;
    uint8_t StencilReadMask, StencilWriteMask;
    D3D11_DEPTH_STENCILOP_DESC FrontFace, BackFace;
};

struct D3DPlaneView;

constexpr uint32_t D3D_SRV_SLOTS = 3;
constexpr uint32_t D3D_VARYINGS = 8;

// What one draw's shaders see: sampled planes (NULL when unbound), the
// sampler of slot 0, and the first constant block of each stage.
struct D3DBindings {
    const D3DPlaneView *srv[D3D_SRV_SLOTS];
    D3D11_SAMPLER_DESC sampler;
    const uint8_t *vs_cb;
    uint32_t vs_cb_size;
    const uint8_t *ps_cb;
    uint32_t ps_cb_size;
};

// A vertex shader reads one vertex's bytes and writes the clip position and
// up to D3D_VARYINGS varyings.
typedef void (*D3DVertexFn)(const uint8_t *vertex, const D3DBindings &b, float pos[4],
                            float var[D3D_VARYINGS]);
// A pixel shader shades a run of n pixels whose varyings are var0 + i * dvar;
// it writes the colours as four arrays of n floats. One pixel is a run of 1.
typedef void (*D3DPixelFn)(const D3DBindings &b, const float var0[D3D_VARYINGS],
                           const float dvar[D3D_VARYINGS], uint32_t n, float *r, float *g, float *bl,
                           float *a);

// The "bytecode": a tag, the stage and the function, padded to the size the
// caller states. 'vs' or 'ps' must match the stage the device is asked for.
struct D3DShaderBlob {
    char magic[4];   // "ZSHD"
    uint32_t stage;  // 0 vertex, 1 pixel
    D3DVertexFn vs;
    D3DPixelFn ps;
};
// A blob of exactly N bytes: the header, then zeros.
template <size_t N>
struct D3DShaderCode {
    static_assert(N >= sizeof(D3DShaderBlob));
    uint8_t bytes[N];
};
template <size_t N>
D3DShaderCode<N> d3d_shader_code(D3DVertexFn vs, D3DPixelFn ps) {
    D3DShaderBlob head{{'Z', 'S', 'H', 'D'}, vs ? 0u : 1u, vs, ps};
    D3DShaderCode<N> c{};
    memcpy(c.bytes, &head, sizeof(head));
    return c;
}
// The blob's header (copied out) when it is one of ours for the stage.
bool d3d_shader_blob(const void *code, size_t size, uint32_t stage, D3DShaderBlob *out);

// Samples n points of a plane into up to four channel arrays (any may be NULL).
void d3d_sample(const D3DPlaneView &plane, const D3D11_SAMPLER_DESC &sampler, const float *u, const float *v,
                uint32_t n, float *c0, float *c1, float *c2, float *c3);

// One texel as four floats (missing channels 0, alpha 1); x and y in range.
void d3d_texel(const D3DPlaneView &plane, int32_t x, int32_t y, float c[4]);

// Samples n points along one texel row: u = u0 + i * du, v the same for all.
// Within a rounding of what d3d_sample gives for the same points, much
// faster. False when it does not apply (WRAP addressing, coordinates out of
// range, a strong reduction); the caller then uses d3d_sample.
bool d3d_sample_row(const D3DPlaneView &plane, const D3D11_SAMPLER_DESC &sampler, float u0, float du, float v,
                    uint32_t n, float *c0, float *c1, float *c2, float *c3);

// Y'CbCr to R'G'B' over a run, in place, alpha set to 1:
//   y = c0 * ys + yo, u = c1 * cs + co, v = c2 * cs + co,
//   r = y + rv * v, b = y + bu * u, g = (y - gr * r - gb * b) * gs.
struct D3DYuvMatrix {
    float ys, yo, cs, co;
    float rv, bu, gr, gb, gs;
};
void d3d_yuv_run(const D3DYuvMatrix &m, float *c0, float *c1, float *c2, float *c3, uint32_t n);

// Clamps a run of colours to [0, 1] and packs them as 8-bit RGBA or BGRA.
void d3d_pack_run(const float *r, const float *g, const float *b, const float *a, uint32_t n, bool bgra,
                  uint8_t *out);

// One draw for the rasteriser: the target, viewport, scissor, states and the
// already-fetched vertices.
struct D3DRasterTarget {
    uint8_t *data;
    uint32_t pitch, width, height;
    bool bgra;  // B8G8R8A8 (else R8G8B8A8)
};
struct D3DRasterState {
    float vp_x, vp_y, vp_w, vp_h;
    bool scissor_on;
    D3D11_RECT scissor;
    uint32_t cull;  // D3D11_CULL_*
    bool front_ccw;
    bool blend_on;
    D3D11_RENDER_TARGET_BLEND_DESC blend;
    bool fast_path;
};
// Draws a triangle list of count indices (u16 or u32) over the vertex bytes.
void d3d_raster_draw(const D3DRasterTarget &target, const D3DRasterState &state, const D3DBindings &b,
                     D3DVertexFn vs, D3DPixelFn ps, const uint8_t *vertices, uint32_t vertex_stride,
                     uint64_t vertex_bytes, const void *indices, bool index32, uint32_t count, int32_t base);
// Fills the target's rectangle with one colour.
void d3d_raster_clear(const D3DRasterTarget &target, const float rgba[4]);
