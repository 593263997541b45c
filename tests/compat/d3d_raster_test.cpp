// The CPU rasteriser's quad fast path against its plain triangle path, with
// the video shaders: every plane format the renderers upload, nearest and
// linear sampling, scale 1 and uneven scales, fractional offsets, viewports
// that hang over the target's edges, a scissor, and every rotation. Both
// paths must cover the same pixels and agree within 1/255 per channel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "compat/d3d/d3d.h"
#include "platform/gfx/d3d11_shaders.h"

namespace {

constexpr float QUAD[16] = {-1, -1, 0, 1, -1, 1, 0, 0, 1, 1, 1, 0, 1, -1, 1, 1};
constexpr uint32_t QUAD_IDX[6] = {0, 1, 2, 2, 3, 0};

struct Plane {
    DXGI_FORMAT format;
    uint32_t bytes;  // per texel
    uint32_t div;    // width and height divisor
};

struct Kind {
    const char *name;
    std::vector<Plane> planes;
    uint32_t conversion;
};

const std::vector<Kind> &kinds() {
    static const std::vector<Kind> k = {
        {"NV12", {{DXGI_FORMAT_R8_UNORM, 1, 1}, {DXGI_FORMAT_R8G8_UNORM, 2, 2}}, D3D_CONV_YUV},
        {"NV12 full", {{DXGI_FORMAT_R8_UNORM, 1, 1}, {DXGI_FORMAT_R8G8_UNORM, 2, 2}}, D3D_CONV_YUV | 1},
        {"I420",
         {{DXGI_FORMAT_R8_UNORM, 1, 1}, {DXGI_FORMAT_R8_UNORM, 1, 2}, {DXGI_FORMAT_R8_UNORM, 1, 2}},
         D3D_CONV_YUV},
        {"I444",
         {{DXGI_FORMAT_R8_UNORM, 1, 1}, {DXGI_FORMAT_R8_UNORM, 1, 1}, {DXGI_FORMAT_R8_UNORM, 1, 1}},
         D3D_CONV_YUV},
        {"P016", {{DXGI_FORMAT_R16_UNORM, 2, 1}, {DXGI_FORMAT_R16G16_UNORM, 4, 2}}, D3D_CONV_YUV | 2},
        {"P010 low bits",
         {{DXGI_FORMAT_R16_UNORM, 2, 1}, {DXGI_FORMAT_R16G16_UNORM, 4, 2}},
         D3D_CONV_YUV | 2 | 4},
        {"I420 16",
         {{DXGI_FORMAT_R16_UNORM, 2, 1}, {DXGI_FORMAT_R16_UNORM, 2, 2}, {DXGI_FORMAT_R16_UNORM, 2, 2}},
         D3D_CONV_YUV | 2 | 1},
        {"RGBA", {{DXGI_FORMAT_R8G8B8A8_UNORM, 4, 1}}, 0},
        {"BGRA", {{DXGI_FORMAT_B8G8R8A8_UNORM, 4, 1}}, 0},
        {"AYUV", {{DXGI_FORMAT_B8G8R8A8_UNORM, 4, 1}}, D3D_CONV_YUV},
        {"Y410", {{DXGI_FORMAT_R10G10B10A2_UNORM, 4, 1}}, D3D_CONV_YUV | 2},
        {"Y416", {{DXGI_FORMAT_R16G16B16A16_UNORM, 8, 1}}, D3D_CONV_YUV | 2},
        {"RGB565", {{DXGI_FORMAT_B5G6R5_UNORM, 2, 1}}, 0},
        {"RGB5551", {{DXGI_FORMAT_B5G5R5A1_UNORM, 2, 1}}, 0},
    };
    return k;
}

struct View {
    const char *name;
    float vp[4];  // x, y, width, height
    bool scissor;
};

// Pictures of 37x23 (4:2:0 planes 18x11, not quite half) and 38x22 (planes
// of exactly half, 19x11) into a 61x41 target; view sizes in picture sizes.
constexpr uint32_t TW = 61, TH = 41;
const uint32_t SIZES[2][2] = {{37, 23}, {38, 22}};
const View SETUPS[] = {
    {"scale 1", {5, 3, 1, 1}, false},
    {"scale 1, quarter-pixel offset", {5.25f, 3.75f, 1, 1}, false},
    {"up 1.7 over the right and bottom edges", {4.25f, 2.75f, 1.7f, 1.7f}, false},
    {"down 0.6", {10.5f, 7.25f, 0.6f, 0.6f}, false},
    {"scale 1 across, 1.3 down", {5, 2.5f, 1, 1.3f}, false},
    {"over every edge", {-9.5f, -5, 2.17f, 2.3f}, false},
    {"scissored", {-3, -2, 1.78f, 2.04f}, true},
};

struct Picture {
    std::vector<std::vector<uint8_t>> bytes;
    std::vector<D3DPlaneView> views;
};

Picture make(const Kind &k, uint32_t PW, uint32_t PH, uint32_t seed) {
    Picture p;
    p.bytes.resize(k.planes.size());
    uint32_t s = seed;
    for (size_t i = 0; i < k.planes.size(); i++) {
        const Plane &pl = k.planes[i];
        const uint32_t w = PW / pl.div, h = PH / pl.div, pitch = w * pl.bytes + 12;
        p.bytes[i].resize(size_t(pitch) * h);
        // Smooth ramps with noise on top, so both flat areas and sharp
        // neighbours are sampled.
        for (uint32_t y = 0; y < h; y++)
            for (uint32_t x = 0; x < pitch; x++) {
                s = s * 1664525u + 1013904223u;
                const uint32_t ramp = (x * 9 + y * 5) & 0xFF;
                uint8_t v = uint8_t(x % 3 == 0 ? s >> 24 : ramp);
                // Samples in the low bits hold 10 significant bits.
                if ((k.conversion & D3D_CONV_LSB_ALIGNED) && x % 2 == 1) v &= 3;
                p.bytes[i][size_t(y) * pitch + x] = v;
            }
    }
    for (size_t i = 0; i < k.planes.size(); i++) {
        const Plane &pl = k.planes[i];
        const uint32_t w = PW / pl.div;
        p.views.push_back({p.bytes[i].data(), w * pl.bytes + 12, w, PH / pl.div, pl.format});
    }
    return p;
}

struct Frame {
    std::vector<uint8_t> px = std::vector<uint8_t>(size_t(TW) * TH * 4, 0x5A);
};

void draw(Frame &f, const Kind &k, const Picture &pic, const View &s, bool linear, uint32_t rotation,
          bool fast) {
    const uint32_t PW = pic.views[0].width, PH = pic.views[0].height;
    VS_CONSTANT_BUFFER cb{};
    cb.width = PW;
    cb.height = PH;
    cb.vp_height = s.vp[3] * PH;
    cb.planes = uint32_t(k.planes.size());
    cb.rotation = rotation;
    cb.conversion = k.conversion;
    D3DBindings b{};
    for (size_t i = 0; i < pic.views.size(); i++) b.srv[i] = &pic.views[i];
    b.sampler.Filter = linear ? D3D11_FILTER_MIN_MAG_MIP_LINEAR : D3D11_FILTER_MIN_MAG_MIP_POINT;
    b.sampler.AddressU = b.sampler.AddressV = b.sampler.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
    b.ps_cb = reinterpret_cast<const uint8_t *>(&cb);
    b.ps_cb_size = sizeof(cb);
    D3DRasterTarget t{f.px.data(), TW * 4, TW, TH, true};
    D3DRasterState st{};
    st.vp_x = s.vp[0];
    st.vp_y = s.vp[1];
    st.vp_w = s.vp[2] * PW;
    st.vp_h = s.vp[3] * PH;
    st.scissor_on = s.scissor;
    st.scissor = {7, 4, 52, 33};
    st.cull = D3D11_CULL_NONE;
    st.blend.RenderTargetWriteMask = D3D11_COLOR_WRITE_ENABLE_ALL;
    st.fast_path = fast;
    d3d_raster_draw(t, st, b, d3d_video_vs, d3d_video_ps, reinterpret_cast<const uint8_t *>(QUAD), 16,
                    sizeof(QUAD), QUAD_IDX, true, 6, 0);
}

// Nearest sampling near a texel edge may fall either way in float; such
// pixels (within 1/500 texel of an edge on some plane) are not compared.
bool near_edge(const Kind &k, const View &s, uint32_t PW, uint32_t PH, uint32_t rotation, uint32_t x,
               uint32_t y) {
    const double u = (x + 0.5 - s.vp[0]) / double(float(s.vp[2] * PW)),
                 v = (y + 0.5 - s.vp[1]) / double(float(s.vp[3] * PH));
    const double su[4] = {u, v, 1 - u, 1 - v}, sv[4] = {v, 1 - u, 1 - v, u};
    for (const Plane &pl : k.planes) {
        const double fx = su[rotation] * (PW / pl.div), fy = sv[rotation] * (PH / pl.div);
        if (std::fabs(fx - std::round(fx)) < 2e-3 || std::fabs(fy - std::round(fy)) < 2e-3) return true;
    }
    return false;
}

TEST(D3DRaster, QuadPathMatchesTrianglePath) {
    uint32_t seed = 1;
    for (const auto &size : SIZES)
        for (const Kind &k : kinds())
            for (const View &s : SETUPS)
                for (bool linear : {false, true})
                    for (uint32_t rotation = 0; rotation < 4; rotation++) {
                        const uint32_t PW = size[0], PH = size[1];
                        const Picture pic = make(k, PW, PH, seed++);
                        Frame fast, plain;
                        draw(fast, k, pic, s, linear, rotation, true);
                        draw(plain, k, pic, s, linear, rotation, false);
                        const std::string what =
                            std::to_string(PW) + "x" + std::to_string(PH) + " " + k.name + ", " + s.name +
                            (linear ? ", linear" : ", nearest") + ", rotation " + std::to_string(rotation);
                        int worst = 0, compared = 0;
                        uint32_t wx = 0, wy = 0;
                        for (uint32_t y = 0; y < TH; y++)
                            for (uint32_t x = 0; x < TW; x++) {
                                const uint8_t *a = &fast.px[(size_t(y) * TW + x) * 4];
                                const uint8_t *p = &plain.px[(size_t(y) * TW + x) * 4];
                                // Coverage is exact: a pixel one path leaves alone the other does too.
                                const bool drawn_a = memcmp(a, "\x5A\x5A\x5A\x5A", 4) != 0;
                                const bool drawn_p = memcmp(p, "\x5A\x5A\x5A\x5A", 4) != 0;
                                if (drawn_a != drawn_p) {
                                    ADD_FAILURE() << what << ": coverage differs at " << x << "," << y;
                                    return;
                                }
                                if (!linear && near_edge(k, s, PW, PH, rotation, x, y)) continue;
                                compared++;
                                for (int c = 0; c < 4; c++) {
                                    const int d = std::abs(int(a[c]) - int(p[c]));
                                    if (d > worst) worst = d, wx = x, wy = y;
                                }
                            }
                        EXPECT_LE(worst, 1) << what << " at " << wx << "," << wy;
                        EXPECT_GT(compared, int(TW * TH / 4)) << what;
                    }
}

// Garbage coordinates and a degenerate plane are refused or clamped, never
// read out of bounds; unbound planes sample as 0.
TEST(D3DRaster, RowSamplerRefusesWhatItCannotDoSafely) {
    uint8_t texels[3 * 5];
    for (size_t i = 0; i < sizeof(texels); i++) texels[i] = uint8_t(i * 17);
    const D3DPlaneView pl{texels, 5, 5, 3, DXGI_FORMAT_R8_UNORM};
    D3D11_SAMPLER_DESC s{};
    s.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
    s.AddressU = s.AddressV = s.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
    float out[8];
    EXPECT_FALSE(d3d_sample_row(pl, s, NAN, 0.1f, 0.5f, 8, out, nullptr, nullptr, nullptr));
    EXPECT_FALSE(d3d_sample_row(pl, s, 0, INFINITY, 0.5f, 8, out, nullptr, nullptr, nullptr));
    EXPECT_FALSE(d3d_sample_row(pl, s, 1e30f, 1, 0.5f, 8, out, nullptr, nullptr, nullptr));
    EXPECT_FALSE(d3d_sample_row(pl, s, 0, 0.1f, -1e30f, 8, out, nullptr, nullptr, nullptr));
    const D3DPlaneView empty{nullptr, 0, 0, 0, DXGI_FORMAT_R8_UNORM};
    EXPECT_FALSE(d3d_sample_row(empty, s, 0, 0.1f, 0.5f, 8, out, nullptr, nullptr, nullptr));
    D3D11_SAMPLER_DESC wrap = s;
    wrap.AddressU = D3D11_TEXTURE_ADDRESS_WRAP;
    EXPECT_FALSE(d3d_sample_row(pl, wrap, 0, 0.1f, 0.5f, 8, out, nullptr, nullptr, nullptr));
    // Unit and half steps that start left of the plane and end right of it,
    // in one and two channels: the same as the point-by-point sampler.
    uint8_t pairs[3 * 10];
    for (size_t i = 0; i < sizeof(pairs); i++) pairs[i] = uint8_t(i * 29 + 3);
    const D3DPlaneView two{pairs, 10, 5, 3, DXGI_FORMAT_R8G8_UNORM};
    for (const D3DPlaneView *p : {&pl, &two})
        for (bool linear : {false, true})
            for (float step : {1.0f, 0.5f}) {
                s.Filter = linear ? D3D11_FILTER_MIN_MAG_MIP_LINEAR : D3D11_FILTER_MIN_MAG_MIP_POINT;
                constexpr uint32_t N = 19;
                float u[N], v[N], a0[N], a1[N], b0[N], b1[N];
                for (uint32_t i = 0; i < N; i++) {
                    u[i] = (-3.3f + float(i) * step) / 5.0f;
                    v[i] = 0.3f;
                }
                ASSERT_TRUE(d3d_sample_row(*p, s, u[0], step / 5.0f, 0.3f, N, a0, a1, nullptr, nullptr));
                d3d_sample(*p, s, u, v, N, b0, b1, nullptr, nullptr);
                for (uint32_t i = 0; i < N; i++) {
                    EXPECT_NEAR(a0[i], b0[i], 1e-4f) << i << " step " << step << " linear " << linear;
                    if (p == &two) {
                        EXPECT_NEAR(a1[i], b1[i], 1e-4f) << i << " step " << step;
                    }
                }
            }
    // Far outside on both sides: every point is an edge texel of the middle row.
    for (bool linear : {false, true}) {
        s.Filter = linear ? D3D11_FILTER_MIN_MAG_MIP_LINEAR : D3D11_FILTER_MIN_MAG_MIP_POINT;
        ASSERT_TRUE(d3d_sample_row(pl, s, -40, 10, 0.5f, 8, out, nullptr, nullptr, nullptr));
        for (int i = 0; i < 4; i++) EXPECT_FLOAT_EQ(out[i], texels[5] / 255.0f) << i;
        for (int i = 5; i < 8; i++) EXPECT_FLOAT_EQ(out[i], texels[9] / 255.0f) << i;
    }
}

}  // namespace

namespace {

uint32_t g_pass_w, g_pass_h;
void record_pass(const ID3D11View *, const ID3D11View *, uint32_t w, uint32_t h, bool) {
    g_pass_w = w;
    g_pass_h = h;
}

// A whole-target pass is handed the viewport's size: one far past the int
// range arrives clamped (the pass clips to its target), never converted out
// of range.
TEST(D3DRaster, PassViewportIsClampedFirst) {
    ID3D11Device *dev = nullptr;
    ASSERT_EQ(D3D11CreateDevice(&dev), S_OK);
    ID3D11DeviceContext *ctx = nullptr;
    dev->GetImmediateContext(&ctx);
    D3D11_TEXTURE2D_DESC d = {4,
                              4,
                              1,
                              1,
                              DXGI_FORMAT_B8G8R8A8_UNORM,
                              {1, 0},
                              D3D11_USAGE_DEFAULT,
                              D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE,
                              0,
                              0};
    ID3D11Texture2D *tex = nullptr;
    ASSERT_EQ(dev->CreateTexture2D(&d, nullptr, &tex), S_OK);
    ID3D11RenderTargetView *rtv = nullptr;
    ID3D11ShaderResourceView *srv = nullptr;
    ASSERT_EQ(dev->CreateRenderTargetView(tex, DXGI_FORMAT_B8G8R8A8_UNORM, &rtv), S_OK);
    ASSERT_EQ(dev->CreateShaderResourceView(tex, DXGI_FORMAT_B8G8R8A8_UNORM, &srv), S_OK);
    ID3D11PixelShader *ps = nullptr;
    ASSERT_EQ(dev->CreatePixelShader(record_pass, &ps), S_OK);
    ctx->PSSetShader(ps);
    ctx->PSSetShaderResources(0, 1, &srv);
    ctx->OMSetRenderTargets(1, &rtv, nullptr);
    const D3D11_VIEWPORT vp = {0, 0, 3e10f, 2, 0, 1};
    ctx->RSSetViewports(1, &vp);
    ctx->DrawIndexed(6, 0, 0);
    EXPECT_EQ(g_pass_w, 65536u);
    EXPECT_EQ(g_pass_h, 2u);
    ctx->PSSetShader(nullptr);
    ID3D11ShaderResourceView *no_srv = nullptr;
    ctx->PSSetShaderResources(0, 1, &no_srv);
    ctx->OMSetRenderTargets(0, nullptr, nullptr);
    d3d_release(&ps);
    d3d_release(&srv);
    d3d_release(&rtv);
    d3d_release(&tex);
    d3d_release(&ctx);
    d3d_release(&dev);
}

}  // namespace
