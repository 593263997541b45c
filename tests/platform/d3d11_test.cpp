// The Direct3D 11 row on the CPU stand-in: the shader math with its exact
// constants, plane uploads, the constant block, layers, the overlay's lists,
// every creation failure with its log line, and the swap-chain context on a
// real X window under the test's Xvfb (present rule, resize, device loss,
// pacing), also on a server without MIT-SHM. Pixels are read back from the
// window with XGetImage and compared with the Vulkan row on Mesa's CPU device.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "compat/d3d/dxgi.h"
#include "platform/gfx/d3d11.h"
#include "platform/gfx/d3d11_shaders.h"
#include "platform/gfx/dxgi_ctx.h"
#include "platform/gfx/gfx.h"
#include "platform/gfx/vk_load.h"
#include "platform/image.h"
#include "platform/map.h"
#include "support/vulkan_env.h"
#include "support/x_window.h"
#include "support/d3d_window.h"
#include "support/gfx_pictures.h"
#include "support/log_capture.h"
#include "support/xvfb.h"

// Xlib after everything else: its macros clash with the test framework.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

const vko_gfx_ctx_api &ctxs() {
    return vko_gfx_ctx_apis[VKO_GFX_D3D11];
}
const vko_gfx_api &frames() {
    return vko_gfx_apis[VKO_GFX_D3D11];
}
const vko_gfx_ui_api &uis() {
    return vko_gfx_ui_apis[VKO_GFX_D3D11];
}

// An off-screen BGRA target on a device of its own.
struct Target {
    ID3D11Device *dev = nullptr;
    ID3D11DeviceContext *ctx = nullptr;
    ID3D11Texture2D *tex = nullptr;
    ID3D11RenderTargetView *rtv = nullptr;
    uint32_t w, h;

    Target(uint32_t width, uint32_t height) : w(width), h(height) {
        EXPECT_EQ(D3D11CreateDevice(&dev), S_OK);
        dev->set_pitch_alignment(64);
        dev->GetImmediateContext(&ctx);
        D3D11_TEXTURE2D_DESC d = {
            w, h, 1, 1, DXGI_FORMAT_B8G8R8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT, D3D11_BIND_RENDER_TARGET,
            0, 0};
        EXPECT_EQ(dev->CreateTexture2D(&d, nullptr, &tex), S_OK);
        EXPECT_EQ(dev->CreateRenderTargetView(tex, DXGI_FORMAT_B8G8R8A8_UNORM, &rtv), S_OK);
    }
    ~Target() {
        d3d_release(&rtv);
        d3d_release(&tex);
        d3d_release(&ctx);
        d3d_release(&dev);
    }
    bool draw(void *r, const void *image, VKO_RenderDesc d) {
        d.view_width = w;
        d.view_height = h;
        return frames().render(r, dev, ctx, image, &d, rtv);
    }
    Rgb at(uint32_t x, uint32_t y) const {
        const uint8_t *p = tex->data() + size_t(y) * tex->pitch() + x * 4;
        return {p[2], p[1], p[0]};
    }
    uint8_t alpha(uint32_t x, uint32_t y) const { return tex->data()[size_t(y) * tex->pitch() + x * 4 + 3]; }
    void fill(uint8_t r, uint8_t g, uint8_t b) {
        const float c[4] = {r / 255.0f, g / 255.0f, b / 255.0f, 1};
        ctx->ClearRenderTargetView(rtv, c);
    }
};

void expect_near(Rgb got, Rgb want, int tol, const std::string &what) {
    EXPECT_LE(std::abs(got.r - want.r), tol) << what << " r " << got.r << " vs " << want.r;
    EXPECT_LE(std::abs(got.g - want.g), tol) << what << " g " << got.g << " vs " << want.g;
    EXPECT_LE(std::abs(got.b - want.b), tol) << what << " b " << got.b << " vs " << want.b;
}

Rgb ref8(int y, int u, int v) {
    return yuv_ref(y / 255.0, u / 255.0, v / 255.0, false, false);
}

TEST(D3D11Shaders, ConversionConstantsAndScanlineFloor) {
    // Limited range 8 bits: white and black, and the Part's own coefficients.
    float r = 235 / 255.0f, g = 128 / 255.0f, b = 128 / 255.0f;
    d3d_yuv_to_rgb(D3D_CONV_YUV, r, g, b);
    EXPECT_NEAR(r, 1.0, 2e-3);
    EXPECT_NEAR(g, 1.0, 2e-3);
    EXPECT_NEAR(b, 1.0, 2e-3);
    const float Y = 0.3f, U = 0.6f, V = 0.2f;
    r = Y, g = U, b = V;
    d3d_yuv_to_rgb(D3D_CONV_YUV, r, g, b);
    const double y = Y * 1.16438 - 0.0730594, u = U * 1.13839 - 0.571429, v = V * 1.13839 - 0.571429;
    const double R = y + 1.5748 * v, B = y + 1.8556 * u, G = (y - 0.2126 * R - 0.0722 * B) * 1.39821;
    EXPECT_NEAR(r, R, 1e-5);
    EXPECT_NEAR(g, G, 1e-5);
    EXPECT_NEAR(b, B, 1e-5);
    // High depth, limited; full range offsets; lsb-aligned samples times 64.
    r = Y, g = U, b = V;
    d3d_yuv_to_rgb(D3D_CONV_YUV | D3D_CONV_HIGH_DEPTH, r, g, b);
    const double yh = Y * 1.16781 - 0.0730594, vh = V * 1.14174 - 0.571429;
    EXPECT_NEAR(r, yh + 1.5748 * vh, 1e-5);
    r = Y, g = U, b = V;
    d3d_yuv_to_rgb(D3D_CONV_YUV | D3D_CONV_FULL_RANGE, r, g, b);
    EXPECT_NEAR(r, Y + 1.5748 * (V - 0.501961), 1e-5);
    r = Y, g = U, b = V;
    d3d_yuv_to_rgb(D3D_CONV_YUV | D3D_CONV_FULL_RANGE | D3D_CONV_HIGH_DEPTH, r, g, b);
    EXPECT_NEAR(b, Y + 1.8556 * (U - 0.500489), 1e-5);
    r = Y / 64, g = U / 64, b = V / 64;
    d3d_yuv_to_rgb(D3D_CONV_YUV | D3D_CONV_FULL_RANGE | D3D_CONV_LSB_ALIGNED, r, g, b);
    EXPECT_NEAR(r, Y + 1.5748 * (V - 0.501961), 1e-5);

    // Period floor(480 / 240) = 2: rows 0 dark, 1 bright. Under 240 rows the
    // period is at least 1 instead of 0 (no division by zero): every row dark.
    EXPECT_TRUE(d3d_scanline_dark(0.5f / 480, 480));
    EXPECT_FALSE(d3d_scanline_dark(1.5f / 480, 480));
    EXPECT_TRUE(d3d_scanline_dark(2.5f / 480, 480));
    for (float row = 0.5f; row < 100; row += 1) EXPECT_TRUE(d3d_scanline_dark(row / 100, 100));
    EXPECT_FALSE(d3d_scanline_dark(2.5f / 960, 960));  // period 4: rows 0, 1 dark
    EXPECT_TRUE(d3d_scanline_dark(1.5f / 960, 960));

    // The blobs have the compiled shaders' sizes and say what they are.
    EXPECT_EQ(sizeof(d3d_video_vs_code), 568u);
    EXPECT_EQ(sizeof(d3d_video_ps_code), 5268u);
    EXPECT_EQ(sizeof(d3d_ui_vs_code), 864u);
    EXPECT_EQ(sizeof(d3d_ui_ps_code), 660u);
    EXPECT_TRUE(d3d_shader_blob(&d3d_video_vs_code, 568, 0, nullptr));
    EXPECT_FALSE(d3d_shader_blob(&d3d_video_vs_code, 568, 1, nullptr));
    EXPECT_FALSE(d3d_shader_blob(&d3d_video_vs_code, 8, 0, nullptr));
    EXPECT_FALSE(d3d_shader_blob(&d3d_ui_ps_code, 660, 0, nullptr));
}

// A picture whose every sample tells where it came from.
struct Nv12 {
    std::vector<uint8_t> bytes;
    VKO_RenderDesc d{};
};

Nv12 nv12_1080p() {
    Nv12 p;
    p.d.format = VKO_COLOR_FORMAT_NV12;
    p.d.chroma = 2;
    p.d.stride = 2048;
    p.d.plane_height = 1088;
    p.d.image_width = 1920;
    p.d.image_height = 1080;
    p.d.scale = 1;
    p.bytes.assign(2048 * 1088 + 2048 * 544, 0xEE);  // padding shows up as 0xEE
    for (uint32_t y = 0; y < 1080; y++)
        for (uint32_t x = 0; x < 1920; x++) p.bytes[y * 2048 + x] = uint8_t(16 + (x / 8 + y / 8) % 200);
    uint8_t *c = p.bytes.data() + 2048 * 1088;
    for (uint32_t y = 0; y < 540; y++)
        for (uint32_t x = 0; x < 960; x++) {
            c[y * 2048 + x * 2] = uint8_t(40 + (x / 4) % 180);
            c[y * 2048 + x * 2 + 1] = uint8_t(40 + (y / 4) % 180);
        }
    return p;
}

TEST(D3D11Render, Nv12WithPaddedStrideAndPlaneHeight) {
    const int64_t live = d3d_live_objects();
    {
        Target t(1920, 1080);
        void *r = frames().create(t.dev, 0);
        ASSERT_NE(r, nullptr);
        Nv12 p = nv12_1080p();
        ASSERT_TRUE(t.draw(r, p.bytes.data(), p.d));
        // Both planes came from the right rows: sample a spread of pixels.
        for (uint32_t y = 3; y < 1080; y += 97)
            for (uint32_t x = 5; x < 1920; x += 131) {
                const int Y = 16 + (x / 8 + y / 8) % 200;
                const int U = 40 + ((x / 2) / 4) % 180, V = 40 + ((y / 2) / 4) % 180;
                expect_near(t.at(x, y), ref8(Y, U, V), 1,
                            "at " + std::to_string(x) + "," + std::to_string(y));
            }
        // Plane textures: 1920x1080 R8 and 960x540 R8G8, bound as t0 and t1.
        ID3D11ShaderResourceView *srv[3] = {};
        t.ctx->PSGetShaderResources(0, 3, srv);
        ASSERT_NE(srv[0], nullptr);
        ASSERT_NE(srv[1], nullptr);
        EXPECT_EQ(srv[2], nullptr);
        D3D11_TEXTURE2D_DESC d0, d1;
        srv[0]->texture()->GetDesc(&d0);
        srv[1]->texture()->GetDesc(&d1);
        EXPECT_EQ(d0.Width, 1920u);
        EXPECT_EQ(d0.Height, 1080u);
        EXPECT_EQ(d0.Format, DXGI_FORMAT_R8_UNORM);
        EXPECT_EQ(d0.Usage, D3D11_USAGE_DYNAMIC);
        EXPECT_EQ(d1.Width, 960u);
        EXPECT_EQ(d1.Height, 540u);
        EXPECT_EQ(d1.Format, DXGI_FORMAT_R8G8_UNORM);
        for (auto *s : srv) d3d_release(&s);
        frames().destroy(&r, t.dev);
        EXPECT_EQ(r, nullptr);
    }
    EXPECT_EQ(d3d_live_objects(), live);
}

TEST(D3D11Render, I420FullChromaAndFormatZero) {
    Target t(64, 32);
    void *r = frames().create(t.dev, 0);
    ASSERT_NE(r, nullptr);
    // Format 0 before any picture draws nothing and succeeds; layer 0 owns
    // the target, so it still clears it, and layer 1 leaves it alone.
    t.fill(9, 9, 9);
    VKO_RenderDesc none{};
    none.layer = 1;
    EXPECT_TRUE(t.draw(r, nullptr, none));
    expect_near(t.at(10, 10), {9, 9, 9}, 0, "layer 1 untouched");
    none.layer = 0;
    EXPECT_TRUE(t.draw(r, nullptr, none));
    expect_near(t.at(10, 10), {0, 0, 0}, 0, "layer 0 cleared");
    EXPECT_EQ(t.ctx->draws(), 0u);

    // Chroma 0: three full-size planes; every column has its own U and V.
    VKO_RenderDesc d{};
    d.format = VKO_COLOR_FORMAT_I420;
    d.chroma = 0;
    d.stride = 72;
    d.plane_height = 34;
    d.image_width = 64;
    d.image_height = 32;
    d.scale = 1;
    std::vector<uint8_t> pic(72 * 34 * 3, 0xEE);
    for (uint32_t p = 0; p < 3; p++)
        for (uint32_t y = 0; y < 32; y++)
            for (uint32_t x = 0; x < 64; x++)
                pic[p * 72 * 34 + y * 72 + x] = uint8_t(p == 0 ? 120 : p == 1 ? 60 + x * 2 : 200 - x * 2);
    ASSERT_TRUE(t.draw(r, pic.data(), d));
    for (uint32_t x : {0u, 1u, 2u, 33u, 63u})
        expect_near(t.at(x, 7), ref8(120, 60 + x * 2, 200 - x * 2), 1, "col " + std::to_string(x));
    ID3D11ShaderResourceView *srv[3] = {};
    t.ctx->PSGetShaderResources(0, 3, srv);
    for (auto *s : srv) {
        ASSERT_NE(s, nullptr);
        D3D11_TEXTURE2D_DESC dd;
        s->texture()->GetDesc(&dd);
        EXPECT_EQ(dd.Width, 64u);
        EXPECT_EQ(dd.Height, 32u);
    }
    for (auto *s : srv) d3d_release(&s);

    // Format 0 after a picture draws it again (and layer 0 still clears).
    t.fill(200, 0, 0);
    VKO_RenderDesc again = d;
    again.format = 0;
    ASSERT_TRUE(t.draw(r, nullptr, again));
    expect_near(t.at(33, 7), ref8(120, 126, 134), 1, "redrawn");
    frames().destroy(&r, t.dev);
}

TEST(D3D11Render, ConstantBlockWrittenOnlyWhenItChanges) {
    Target t(64, 32);
    void *r = frames().create(t.dev, 0);
    VKO_RenderDesc d;
    std::vector<uint8_t> pic = make_picture(VKO_COLOR_FORMAT_NV12, 2, false, &d);
    d.scale = 1;
    const uint64_t before = t.ctx->buffer_maps();
    ASSERT_TRUE(t.draw(r, pic.data(), d));
    EXPECT_EQ(t.ctx->buffer_maps(), before + 1);
    ASSERT_TRUE(t.draw(r, pic.data(), d));
    ASSERT_TRUE(t.draw(r, pic.data(), d));
    EXPECT_EQ(t.ctx->buffer_maps(), before + 1);
    d.rotation = 2;
    ASSERT_TRUE(t.draw(r, pic.data(), d));
    EXPECT_EQ(t.ctx->buffer_maps(), before + 2);
    // A failed Map is logged and fails the frame; the block is written next time.
    LogCapture log;
    d.rotation = 0;
    d3d_fail("ID3D11DeviceContext_Map", E_OUTOFMEMORY, 2);  // the two plane uploads pass
    EXPECT_FALSE(t.draw(r, pic.data(), d));
    EXPECT_TRUE(log.contains("vko_d3d11_render: 'ID3D11DeviceContext_Map' failed with HRESULT 0x8007000E"));
    ASSERT_TRUE(t.draw(r, pic.data(), d));
    EXPECT_EQ(t.ctx->buffer_maps(), before + 3);
    frames().destroy(&r, t.dev);
}

TEST(D3D11Render, LayerZeroClearsWithoutBlendLayerOneBlendsWithoutClear) {
    Target t(128, 32);
    void *r0 = frames().create(t.dev, 0);
    void *r1 = frames().create(t.dev, 1);
    ASSERT_NE(r0, nullptr);
    ASSERT_NE(r1, nullptr);
    // A half-transparent BGRA picture, 32x32 centred in 128x32 (scale 1).
    VKO_RenderDesc d{};
    d.format = VKO_COLOR_FORMAT_BGRA;
    d.stride = 32;
    d.plane_height = 32;
    d.image_width = 32;
    d.image_height = 32;
    d.scale = 1;
    std::vector<uint8_t> pic(32 * 32 * 4);
    for (size_t i = 0; i < pic.size(); i += 4) pic[i] = 255, pic[i + 1] = 0, pic[i + 2] = 0, pic[i + 3] = 128;

    t.fill(0, 200, 0);
    ASSERT_TRUE(t.draw(r0, pic.data(), d));
    ID3D11BlendState *blend = reinterpret_cast<ID3D11BlendState *>(1);
    t.ctx->OMGetBlendState(&blend);
    EXPECT_EQ(blend, nullptr);
    expect_near(t.at(5, 5), {0, 0, 0}, 0, "layer 0 cleared the letterbox");
    expect_near(t.at(64, 16), {0, 0, 255}, 0, "layer 0 writes the picture as it is");

    t.fill(0, 200, 0);
    d.layer = 1;
    ASSERT_TRUE(t.draw(r1, pic.data(), d));
    t.ctx->OMGetBlendState(&blend);
    EXPECT_NE(blend, nullptr);
    d3d_release(&blend);
    expect_near(t.at(5, 5), {0, 200, 0}, 0, "layer 1 leaves the rest");
    expect_near(t.at(64, 16), {0, 100, 128}, 1, "layer 1 blends with source alpha");
    frames().destroy(&r0, t.dev);
    frames().destroy(&r1, t.dev);
}

TEST(D3D11Render, SharedHandlesReplaceOnlyTheirPlanes) {
    Target t(64, 32);
    void *r = frames().create(t.dev, 0);
    auto shared_plane = [&](DXGI_FORMAT f, uint32_t w, uint32_t h, uint8_t v, ID3D11Texture2D **tex) {
        D3D11_TEXTURE2D_DESC d = {w,
                                  h,
                                  1,
                                  1,
                                  f,
                                  {1, 0},
                                  D3D11_USAGE_DEFAULT,
                                  D3D11_BIND_SHADER_RESOURCE,
                                  0,
                                  D3D11_RESOURCE_MISC_SHARED};
        std::vector<uint8_t> px(size_t(w) * h * d3d_format_bpp(f), v);
        EXPECT_EQ(t.dev->CreateTexture2D(&d, px.data(), tex), S_OK);
        void *h0 = nullptr;
        EXPECT_EQ((*tex)->GetSharedHandle(&h0), S_OK);
        return h0;
    };
    ID3D11Texture2D *ty = nullptr, *tu = nullptr, *tv = nullptr, *ty2 = nullptr;
    void *handles[3] = {shared_plane(DXGI_FORMAT_R8_UNORM, 64, 32, 120, &ty),
                        shared_plane(DXGI_FORMAT_R8_UNORM, 32, 16, 90, &tu),
                        shared_plane(DXGI_FORMAT_R8_UNORM, 32, 16, 200, &tv)};
    EXPECT_TRUE(frames().shared_test(t.dev, t.ctx, &handles[0]));
    VKO_RenderDesc d{};
    d.format = VKO_COLOR_FORMAT_I420;
    d.chroma = 2;
    d.image_width = 64;
    d.image_height = 32;
    d.scale = 1;
    d.shared = 1;
    ASSERT_TRUE(t.draw(r, handles, d));
    expect_near(t.at(10, 10), ref8(120, 90, 200), 1, "shared planes");
    // Slot 1 empty: plane 1 stays, planes 0 and 2 are replaced.
    void *next[3] = {shared_plane(DXGI_FORMAT_R8_UNORM, 64, 32, 60, &ty2), nullptr, handles[2]};
    ASSERT_TRUE(t.draw(r, next, d));
    expect_near(t.at(10, 10), ref8(60, 90, 200), 1, "plane 1 kept");
    // An unknown handle fails with both lines and clears every plane.
    LogCapture log;
    void *bad[3] = {reinterpret_cast<void *>(0x7777), nullptr, nullptr};
    EXPECT_FALSE(frames().shared_test(t.dev, t.ctx, &bad[0]));
    EXPECT_FALSE(t.draw(r, bad, d));
    EXPECT_TRUE(log.contains("d3d11_map_shared_resource: Failure for index 0 shared pointer 0x7777"));
    EXPECT_TRUE(log.contains(
        "d3d11_map_shared_resource: 'ID3D11Device_OpenSharedResource' failed with HRESULT 0x80070057"));
    frames().destroy(&r, t.dev);
    for (auto *x : {&ty, &tu, &tv, &ty2}) d3d_release(x);
}

// Every picture format, a gradient, linear filter and a scale that is not 1:
// the rasteriser's quad path and its plain triangle path give the same pixels.
TEST(D3D11Render, FastPathAgreesWithPlainPath) {
    for (uint32_t format = 1; format < VKO_COLOR_FORMAT_COUNT; format++) {
        VKO_RenderDesc d;
        std::vector<uint8_t> pic = make_picture(format, 2, false, &d);
        for (size_t i = 0; i < pic.size(); i++)
            if (pic[i] != 0xEE) pic[i] = uint8_t(pic[i] + (i * 7) % 23);
        d.filter = 1;
        d.rotation = format % 4;
        d.effects[0] = VKO_EFFECT_SHARPEN;
        d.levels[0] = 0.3f;
        Target a(101, 67), b(101, 67);
        b.dev->set_fast_path(false);
        void *ra = frames().create(a.dev, 0), *rb = frames().create(b.dev, 0);
        ASSERT_TRUE(a.draw(ra, pic.data(), d));
        ASSERT_TRUE(b.draw(rb, pic.data(), d));
        int worst = 0, differing = 0;
        for (uint32_t y = 0; y < 67; y++)
            for (uint32_t x = 0; x < 101; x++) {
                const Rgb p = a.at(x, y), q = b.at(x, y);
                const int diff = std::max({std::abs(p.r - q.r), std::abs(p.g - q.g), std::abs(p.b - q.b)});
                worst = std::max(worst, diff);
                differing += diff != 0;
            }
        EXPECT_LE(worst, 2) << "format " << format;
        EXPECT_LE(differing, 101 * 67 / 100) << "format " << format;
        frames().destroy(&ra, a.dev);
        frames().destroy(&rb, b.dev);
    }
}

// Each creation step fails once: its line, no renderer, nothing left alive.
TEST(D3D11Render, EveryCreationFailureIsLoggedAndCleanedUp) {
    struct Step {
        const char *call;
        uint32_t skip;
        const char *line;
    };
    const Step video[] = {
        {"ID3D11Device_CreateVertexShader", 0,
         "'ID3D11Device_CreateVertexShader' failed with HRESULT 0x80004005"},
        {"ID3D11Device_CreatePixelShader", 0,
         "'ID3D11Device_CreatePixelShader' failed with HRESULT 0x80004005"},
        {"ID3D11Device_CreateBuffer", 0, "'ID3D11Device_CreateBuffer' failed with HRESULT 0x80004005"},
        {"ID3D11Device_CreateBuffer", 2, "'ID3D11Device_CreateBuffer' failed with HRESULT 0x80004005"},
        {"ID3D11Buffer_QueryInterface", 0, "'ID3D11Buffer_QueryInterface' failed with HRESULT 0x80004005"},
        {"ID3D11Device_CreateInputLayout", 0,
         "'ID3D11Device_CreateInputLayout' failed with HRESULT 0x80004005"},
        {"ID3D11Device_CreateSamplerState", 1,
         "'ID3D11Device_CreateSamplerState' failed with HRESULT 0x80004005"},
        {"ID3D11Device_CreateBlendState", 0,
         "'ID3D11Device_CreateBlendState' failed with HRESULT 0x80004005"},
        {"ID3D11Device_CreateRasterizerState", 0,
         "'ID3D11Device_CreateRasterizerState' failed with HRESULT 0x80004005"},
        {"ID3D11Device_CreateDepthStencilState", 0,
         "'ID3D11Device_CreateDepthStencilState' failed with HRESULT 0x80004005"},
    };
    ID3D11Device *dev = nullptr;
    ASSERT_EQ(D3D11CreateDevice(&dev), S_OK);
    const int64_t live = d3d_live_objects();
    for (const Step &s : video) {
        LogCapture log;
        d3d_fail(s.call, E_FAIL, s.skip);
        EXPECT_EQ(frames().create(dev, 0), nullptr) << s.call;
        EXPECT_TRUE(log.contains(std::string("vko_d3d11_create: ") + s.line)) << s.call;
        EXPECT_EQ(d3d_live_objects(), live) << s.call;
        d3d_clear_faults();
    }
    for (const Step &s : video) {
        if (!strcmp(s.call, "ID3D11Device_CreateBuffer") && s.skip) continue;
        LogCapture log;
        d3d_fail(s.call, E_FAIL, 0);
        EXPECT_EQ(uis().create(dev), nullptr) << s.call;
        EXPECT_TRUE(log.contains(std::string("vko_d3d11_ui_create: ") + s.line)) << s.call;
        EXPECT_EQ(d3d_live_objects(), live) << s.call;
        d3d_clear_faults();
    }
    // Plane and UI texture creation.
    void *r = frames().create(dev, 0);
    void *ui = uis().create(dev);
    ASSERT_NE(r, nullptr);
    ASSERT_NE(ui, nullptr);
    ID3D11DeviceContext *ctx = nullptr;
    dev->GetImmediateContext(&ctx);
    VKO_RenderDesc d;
    std::vector<uint8_t> pic = make_picture(VKO_COLOR_FORMAT_NV12, 2, false, &d);
    const Step planes[] = {
        {"ID3D11Device_CreateTexture2D", 0,
         "d3d11_refresh_resource: 'ID3D11Device_CreateTexture2D' failed with HRESULT 0x80004005"},
        {"ID3D11Texture2D_QueryInterface", 1,
         "d3d11_refresh_resource: 'ID3D11Texture2D_QueryInterface' failed with HRESULT 0x80004005"},
        {"ID3D11Device_CreateShaderResourceView", 0,
         "d3d11_refresh_resource: 'ID3D11Device_CreateShaderResourceView' failed with HRESULT 0x80004005"},
        {"ID3D11DeviceContext_Map", 0,
         "d3d11_crop_copy: 'ID3D11DeviceContext_Map' failed with HRESULT 0x80004005"},
    };
    for (const Step &s : planes) {
        LogCapture log;
        d3d_fail(s.call, E_FAIL, s.skip);
        EXPECT_FALSE(frames().render(r, dev, ctx, pic.data(), &d, nullptr)) << s.call;
        EXPECT_TRUE(log.contains(s.line)) << s.call;
        d3d_clear_faults();
    }
    std::vector<uint8_t> rgba(16 * 16 * 4, 255);
    const Step textures[] = {
        {"ID3D11Device_CreateTexture2D", 0, "'ID3D11Device_CreateTexture2D' failed with HRESULT 0x80004005"},
        {"ID3D11Texture2D_QueryInterface", 0,
         "'ID3D11Texture2D_QueryInterface' failed with HRESULT 0x80004005"},
        {"ID3D11Device_CreateShaderResourceView", 0,
         "'ID3D11Device_CreateShaderResourceView' failed with HRESULT 0x80004005"},
    };
    const int64_t with_renderers = d3d_live_objects();
    for (const Step &s : textures) {
        LogCapture log;
        d3d_fail(s.call, E_FAIL, s.skip);
        EXPECT_EQ(uis().create_texture(ui, dev, rgba.data(), 16, 16), nullptr) << s.call;
        EXPECT_TRUE(log.contains(std::string("vko_d3d11_ui_create_texture: ") + s.line)) << s.call;
        EXPECT_EQ(d3d_live_objects(), with_renderers) << s.call;
        d3d_clear_faults();
    }
    frames().destroy(&r, dev);
    uis().destroy(&ui, dev);
    d3d_release(&ctx);
    EXPECT_EQ(d3d_live_objects(), live);
    d3d_release(&dev);
}

// Two lists of one textured quad each; offsets accumulate across lists.
struct UiFrame {
    std::vector<VKO_Vtx> v[2];
    std::vector<uint16_t> i[2];
    std::vector<VKO_Cmd> c[2];
    VKO_CmdList lists[2];
    VKO_DrawData data{};
};

void quad(std::vector<VKO_Vtx> &v, std::vector<uint16_t> &idx, float x0, float y0, float x1, float y1,
          const uint8_t col[4]) {
    const uint16_t b = uint16_t(v.size());
    v.push_back({{x0, y0}, {0, 0}, {col[0], col[1], col[2], col[3]}});
    v.push_back({{x1, y0}, {1, 0}, {col[0], col[1], col[2], col[3]}});
    v.push_back({{x1, y1}, {1, 1}, {col[0], col[1], col[2], col[3]}});
    v.push_back({{x0, y1}, {0, 1}, {col[0], col[1], col[2], col[3]}});
    for (uint16_t k : {0, 1, 2, 0, 2, 3}) idx.push_back(uint16_t(b + k));
}

TEST(D3D11Ui, ClipTestOffsetsTexturesAndBufferGrowth) {
    Target t(80, 40);
    void *ui = uis().create(t.dev);
    ASSERT_NE(ui, nullptr);
    std::vector<uint8_t> white(4 * 4 * 4, 255);
    void *tex = uis().create_texture(ui, t.dev, white.data(), 4, 4);
    ASSERT_NE(tex, nullptr);
    VKO_Hash *map = VKO_HashCreate(8);
    VKO_HashSetInt(map, 7, tex);

    UiFrame f;
    const uint8_t red[4] = {255, 0, 0, 255}, blue[4] = {0, 0, 255, 255};
    quad(f.v[0], f.i[0], 0, 0, 20, 20, red);
    quad(f.v[1], f.i[1], 0, 0, 1, 1, blue);  // padding quad: list 1's second quad is used
    quad(f.v[1], f.i[1], 40, 0, 60, 20, blue);
    f.c[0].push_back({{0, 0, 80, 40}, 7, 6, 0, 0});
    // List 1: offsets within the list; the earlier list's counts are added.
    f.c[1].push_back({{0, 0, 80, 40}, 7, 6, 6, 0});
    f.c[1].push_back({{80, 0, 90, 40}, 7, 6, 6, 0});   // starts at the right edge: skipped
    f.c[1].push_back({{-10, 0, -1, 40}, 7, 6, 0, 0});  // ends left of 0: skipped
    for (int l = 0; l < 2; l++)
        f.lists[l] = {f.c[l].data(),
                      f.v[l].data(),
                      f.i[l].data(),
                      uint32_t(f.c[l].size()),
                      0,
                      uint32_t(f.v[l].size()),
                      0,
                      uint32_t(f.i[l].size()),
                      0};
    f.data = {80,
              40,
              f.lists,
              2,
              2,
              uint32_t(f.i[0].size() + f.i[1].size()),
              uint32_t(f.v[0].size() + f.v[1].size()),
              1};
    t.fill(0, 255, 0);
    const uint64_t draws = t.ctx->draws();
    ASSERT_TRUE(uis().render(ui, t.dev, t.ctx, &f.data, map, t.rtv));
    EXPECT_EQ(t.ctx->draws(), draws + 2);
    expect_near(t.at(10, 10), {255, 0, 0}, 0, "list 0");
    expect_near(t.at(50, 10), {0, 0, 255}, 0, "list 1 with accumulated offsets");
    expect_near(t.at(0, 0), {255, 0, 0}, 0, "the padding quad is never drawn");
    expect_near(t.at(70, 30), {0, 0, 0}, 0, "clear");

    // A scissor cuts the quad; an unknown texture id draws transparent black.
    f.c[0][0] = {{5, 5, 10.5f, 40}, 7, 6, 0, 0};
    f.c[1].resize(1);
    f.c[1][0].texture = 99;
    f.lists[1].cmd_count = 1;
    f.data.clear = 0;
    t.fill(0, 255, 0);
    ASSERT_TRUE(uis().render(ui, t.dev, t.ctx, &f.data, map, t.rtv));
    expect_near(t.at(4, 10), {0, 255, 0}, 0, "left of the scissor");
    expect_near(t.at(7, 10), {255, 0, 0}, 0, "inside");
    expect_near(t.at(10, 10), {0, 255, 0}, 0, "10.5 rounds to 10 (ties to even)");
    expect_near(t.at(50, 10), {0, 255, 0}, 0, "texture id 99 multiplies by zero");

    // Growth with slack, from a new renderer: 5,000 vertices give 10,120;
    // 10,000 keep it; 10,121 give 15,241.
    uis().destroy(&ui, t.dev);
    ui = uis().create(t.dev);
    ASSERT_NE(ui, nullptr);
    auto capacity = [&] {
        ID3D11Buffer *b = nullptr;
        t.ctx->IAGetVertexBuffers(0, 1, &b, nullptr, nullptr);
        D3D11_BUFFER_DESC d{};
        if (b) b->GetDesc(&d);
        d3d_release(&b);
        return d.ByteWidth / sizeof(VKO_Vtx);
    };
    for (auto [n, want] : {std::pair<uint32_t, uint32_t>{5000, 10120}, {10000, 10120}, {10121, 15241}}) {
        std::vector<VKO_Vtx> many(n, VKO_Vtx{});
        VKO_CmdList one = {nullptr, many.data(), f.i[0].data(), 0, 0, n, n, 6, 6};
        VKO_DrawData big = {80, 40, &one, 1, 1, 6, n, 0};
        ASSERT_TRUE(uis().render(ui, t.dev, t.ctx, &big, map, t.rtv));
        EXPECT_EQ(capacity(), want) << n;
    }
    // A failed growth leaves capacity 0 and is tried again next frame.
    {
        LogCapture log;
        std::vector<VKO_Vtx> many(20000, VKO_Vtx{});
        VKO_CmdList one = {nullptr, many.data(), f.i[0].data(), 0, 0, 20000, 20000, 6, 6};
        VKO_DrawData big = {80, 40, &one, 1, 1, 6, 20000, 0};
        d3d_fail("ID3D11Device_CreateBuffer", E_OUTOFMEMORY);
        EXPECT_FALSE(uis().render(ui, t.dev, t.ctx, &big, map, t.rtv));
        EXPECT_TRUE(log.contains(
            "d3d11_ui_resize_buffer: 'ID3D11Device_CreateBuffer' failed with HRESULT 0x8007000E"));
        EXPECT_TRUE(uis().render(ui, t.dev, t.ctx, &big, map, t.rtv));
        EXPECT_EQ(capacity(), 25120u);
    }
    // Nothing to draw: no display size or no lists.
    VKO_DrawData empty = f.data;
    empty.display_width = 0;
    EXPECT_FALSE(uis().render(ui, t.dev, t.ctx, &empty, map, t.rtv));
    empty = f.data;
    empty.list_count = 0;
    EXPECT_FALSE(uis().render(ui, t.dev, t.ctx, &empty, map, t.rtv));
    // Totals smaller than the lists hold are refused, never copied past the buffers.
    empty = f.data;
    empty.total_vtx = 1;
    EXPECT_FALSE(uis().render(ui, t.dev, t.ctx, &empty, map, t.rtv));

    VKO_HashDestroy(&map, nullptr);
    uis().destroy_texture(ui, &tex, t.dev);
    EXPECT_EQ(tex, nullptr);
    uis().destroy(&ui, t.dev);
}

// Coordinates far past the int range: a rectangle and a clip at +-3e9 cover
// the whole target, and triangles wholly beyond it draw nothing and cost
// nothing (no loop runs out to them, no float becomes an int out of range).
TEST(D3D11Ui, FarOffCoordinatesAreClampedFirst) {
    Target t(80, 40);
    void *ui = uis().create(t.dev);
    ASSERT_NE(ui, nullptr);
    std::vector<uint8_t> white(4 * 4 * 4, 255);
    void *tex = uis().create_texture(ui, t.dev, white.data(), 4, 4);
    VKO_Hash *map = VKO_HashCreate(8);
    VKO_HashSetInt(map, 7, tex);
    const uint8_t red[4] = {255, 0, 0, 255}, blue[4] = {0, 0, 255, 255};
    auto draw = [&](std::vector<VKO_Vtx> v, std::vector<uint16_t> i, VKO_Cmd cmd) {
        VKO_CmdList list = {&cmd, v.data(), i.data(), 1, 1, uint32_t(v.size()), 0, uint32_t(i.size()), 0};
        VKO_DrawData data = {80, 40, &list, 1, 1, uint32_t(i.size()), uint32_t(v.size()), 0};
        return uis().render(ui, t.dev, t.ctx, &data, map, t.rtv);
    };
    t.fill(0, 255, 0);
    std::vector<VKO_Vtx> v;
    std::vector<uint16_t> idx;
    quad(v, idx, -3e9f, -3e9f, 3e9f, 3e9f, red);
    ASSERT_TRUE(draw(v, idx, {{-3e9f, -3e9f, 3e9f, 3e9f}, 7, 6, 0, 0}));
    for (auto [x, y] : {std::pair<uint32_t, uint32_t>{0, 0}, {79, 0}, {40, 20}, {0, 39}, {79, 39}})
        expect_near(t.at(x, y), {255, 0, 0}, 0, "covered at " + std::to_string(x) + "," + std::to_string(y));

    // Beyond x = 2^31 only, then on both axes; and a clip whose edges are not numbers.
    const float nan = std::nanf("");
    const std::vector<VKO_Vtx> beyond[2] = {{{{3e9f, 0}, {0, 0}, {0, 0, 255, 255}},
                                             {{3.2e9f, 0}, {1, 0}, {0, 0, 255, 255}},
                                             {{3e9f, 40}, {0, 1}, {0, 0, 255, 255}}},
                                            {{{3e9f, 3e9f}, {0, 0}, {0, 0, 255, 255}},
                                             {{3.2e9f, 3e9f}, {1, 0}, {0, 0, 255, 255}},
                                             {{3e9f, 3.2e9f}, {0, 1}, {0, 0, 255, 255}}}};
    for (const auto &tri : beyond) {
        ASSERT_TRUE(draw(tri, {0, 1, 2}, {{0, 0, 80, 40}, 7, 3, 0, 0}));
        ASSERT_TRUE(draw(tri, {0, 1, 2}, {{-3e9f, -3e9f, 3e9f, 3e9f}, 7, 3, 0, 0}));
    }
    v.clear();
    idx.clear();
    quad(v, idx, 0, 0, 80, 40, blue);
    ASSERT_TRUE(draw(v, idx, {{nan, nan, nan, nan}, 7, 6, 0, 0}));
    expect_near(t.at(40, 20), {255, 0, 0}, 0, "nothing drawn over it");

    VKO_HashDestroy(&map, nullptr);
    uis().destroy_texture(ui, &tex, t.dev);
    uis().destroy(&ui, t.dev);
}

// ---- The context on a real window ----

class D3D11Context : public D3DWindowTest {
   protected:
    D3D11Context() : D3DWindowTest(VKO_GFX_D3D11) {}
};

TEST_F(D3D11Context, EveryFormatReachesTheWindow) {
    ctx_ = ctxs().create(&handle_, true);
    ASSERT_NE(ctx_, nullptr);
    uint32_t w, h;
    ctxs().get_size(ctx_, &w, &h);
    EXPECT_EQ(w, 160u);
    EXPECT_EQ(h, 120u);
    void *device = ctxs().get_device(ctx_);
    void *r = frames().create(device, 0);
    struct Case {
        uint32_t format, chroma;
        bool lsb;
    };
    const Case cases[] = {{1, 0, false}, {2, 0, false},  {3, 0, false}, {4, 0, false},  {5, 0, false},
                          {6, 0, false}, {7, 0, false},  {8, 2, false}, {9, 2, false},  {9, 0, false},
                          {9, 1, false}, {10, 2, false}, {10, 2, true}, {11, 2, false}, {11, 0, true}};
    for (const Case &c : cases) {
        VKO_RenderDesc d;
        const std::vector<uint8_t> pic = make_picture(c.format, c.chroma, c.lsb, &d);
        const std::string what = "format " + std::to_string(c.format) + " chroma " + std::to_string(c.chroma);
        ASSERT_TRUE(draw(r, pic.data(), d)) << what;
        const auto [a, b] = expected(c.format);
        expect_near(pixel(40, 60), a, 2, what + " left");
        expect_near(pixel(120, 60), b, 2, what + " right");
        expect_near(pixel(80, 5), {0, 0, 0}, 0, what + " letterbox");
    }
    frames().destroy(&r, device);
}

TEST_F(D3D11Context, PresentRuleTearingAndTheSurfaceGuard) {
    // vsync: interval 1 each frame, presented as 0 without the tearing flag.
    ctx_ = ctxs().create(&handle_, true);
    ASSERT_NE(ctx_, nullptr);
    uint64_t count = dxgi_last_present().count;
    ctxs().present(ctx_);  // no surface: nothing happens
    EXPECT_EQ(dxgi_last_present().count, count);
    ASSERT_NE(ctxs().get_surface(ctx_), nullptr);
    EXPECT_EQ(ctxs().get_surface(ctx_), ctxs().get_surface(ctx_));  // idempotent within a frame
    ctxs().present(ctx_);
    DXGIPresentRecord p = dxgi_last_present();
    EXPECT_EQ(p.count, count + 1);
    EXPECT_EQ(p.sync_interval, 0u);
    EXPECT_EQ(p.flags, 0u);
    ctxs().destroy(&ctx_);

    // No vsync: the tearing flag where the swap chain has it.
    ctx_ = ctxs().create(&handle_, false);
    ASSERT_NE(ctxs().get_surface(ctx_), nullptr);
    ctxs().present(ctx_);
    EXPECT_EQ(dxgi_last_present().flags, DXGI_PRESENT_ALLOW_TEARING);
    ctxs().destroy(&ctx_);
    dxgi_set_tearing_supported(false);
    ctx_ = ctxs().create(&handle_, false);
    ASSERT_NE(ctxs().get_surface(ctx_), nullptr);
    ctxs().present(ctx_);
    EXPECT_EQ(dxgi_last_present().flags, 0u);
}

TEST_F(D3D11Context, ResizeFailureKeepsTheOldSizeAndIsRetried) {
    ctx_ = ctxs().create(&handle_, true);
    ASSERT_NE(ctx_, nullptr);
    void *r = frames().create(ctxs().get_device(ctx_), 0);
    VKO_RenderDesc d;
    std::vector<uint8_t> pic = make_picture(VKO_COLOR_FORMAT_NV12, 2, false, &d);
    ASSERT_TRUE(draw(r, pic.data(), d));
    resize(200, 100);
    LogCapture log;
    d3d_fail("IDXGISwapChain_ResizeBuffers", E_OUTOFMEMORY);
    ASSERT_TRUE(draw(r, pic.data(), d));
    uint32_t w, h;
    ctxs().get_size(ctx_, &w, &h);
    EXPECT_EQ(w, 160u);
    EXPECT_EQ(h, 120u);
    EXPECT_TRUE(log.lines().empty());  // only device loss is logged
    // Next frame: the resize goes through (with the last target unbound).
    ASSERT_TRUE(draw(r, pic.data(), d));
    ctxs().get_size(ctx_, &w, &h);
    EXPECT_EQ(w, 200u);
    EXPECT_EQ(h, 100u);
    const auto [a, b] = expected(VKO_COLOR_FORMAT_NV12);
    expect_near(pixel(70, 50), a, 2, "left after resize");  // 64x32 fitted into 200x100
    expect_near(pixel(130, 50), b, 2, "right after resize");
    frames().destroy(&r, ctxs().get_device(ctx_));
}

TEST_F(D3D11Context, DeviceLossRemakesEverythingInPlace) {
    ctx_ = ctxs().create(&handle_, true);
    ASSERT_NE(ctx_, nullptr);
    void *ctx_before = ctx_;
    void *dev = ctxs().get_device(ctx_);
    const uint64_t generation = ctxs().get_generation(ctx_);
    // Held, so a device made after it cannot take its address.
    static_cast<ID3D11Device *>(dev)->AddRef();
    void *r = frames().create(dev, 0);
    VKO_RenderDesc d;
    std::vector<uint8_t> pic = make_picture(VKO_COLOR_FORMAT_I420, 2, false, &d);
    LogCapture log;
    d3d_fail("IDXGISwapChain_Present", DXGI_ERROR_DEVICE_REMOVED);
    ASSERT_TRUE(draw(r, pic.data(), d));
    EXPECT_TRUE(
        log.contains("vko_d3d11_ctx_present: 'IDXGISwapChain2_Present' failed with HRESULT 0x887A0005"));
    EXPECT_EQ(ctx_, ctx_before);
    void *dev2 = ctxs().get_device(ctx_);
    EXPECT_NE(dev2, nullptr);
    EXPECT_NE(dev2, dev);  // the glue re-makes its renderers for it
    EXPECT_NE(ctxs().get_generation(ctx_), generation) << "told apart even at the same address";
    frames().destroy(&r, dev);
    static_cast<ID3D11Device *>(dev)->Release();
    static_cast<ID3D11Device *>(dev2)->AddRef();
    r = frames().create(dev2, 0);
    ASSERT_TRUE(draw(r, pic.data(), d));
    const auto [a, b] = expected(VKO_COLOR_FORMAT_I420);
    expect_near(pixel(40, 60), a, 2, "drawn on the new device");

    // Loss on resize: logged under the refresh, re-made, and drawing goes on.
    resize(120, 90);
    d3d_fail("IDXGISwapChain_ResizeBuffers", DXGI_ERROR_DEVICE_HUNG);
    void *s = ctxs().get_surface(ctx_);
    EXPECT_TRUE(
        log.contains("d3d11_ctx_refresh: 'IDXGISwapChain2_ResizeBuffers' failed with HRESULT 0x887A0006"));
    ASSERT_NE(s, nullptr);
    ctxs().present(ctx_);
    void *dev3 = ctxs().get_device(ctx_);
    EXPECT_NE(dev3, dev2);
    uint32_t w, h;
    ctxs().get_size(ctx_, &w, &h);
    EXPECT_EQ(w, 120u);
    EXPECT_EQ(h, 90u);
    frames().destroy(&r, dev2);
    static_cast<ID3D11Device *>(dev2)->Release();
}

TEST_F(D3D11Context, EveryCreationFailureIsLoggedAndCleanedUp) {
    struct Step {
        const char *call;
        const char *line;
    };
    const Step steps[] = {
        {"D3D11CreateDevice", "'D3D11CreateDevice' failed with HRESULT 0x80004005"},
        {"ID3D11Device_QueryInterface", "'ID3D11Device_QueryInterface' failed with HRESULT 0x80004005"},
        {"IDXGIDevice2_GetParent", "'IDXGIDevice2_GetParent' failed with HRESULT 0x80004005"},
        {"IDXGIAdapter_GetParent", "'IDXGIAdapter_GetParent' failed with HRESULT 0x80004005"},
        {"IDXGIFactory2_CreateSwapChainForHwnd",
         "'IDXGIFactory2_CreateSwapChainForHwnd' failed with HRESULT 0x80004005"},
        {"IDXGISwapChain1_QueryInterface", "'IDXGISwapChain1_QueryInterface' failed with HRESULT 0x80004005"},
        {"IDXGISwapChain_GetFrameLatencyWaitableObject",
         "'IDXGISwapChain2_GetFrameLatencyWaitableObject' failed"},
        {"IDXGISwapChain_SetMaximumFrameLatency",
         "'IDXGISwapChain2_SetMaximumFrameLatency' failed with HRESULT 0x80004005"},
        {"IDXGIFactory2_MakeWindowAssociation",
         "'IDXGIFactory2_MakeWindowAssociation' failed with HRESULT 0x80004005"},
        {"WaitForSingleObjectEx", "'WaitForSingleObjectEx' failed with error 0x80004005"},
    };
    for (const Step &s : steps) {
        LogCapture log;
        d3d_fail(s.call, E_FAIL);
        EXPECT_EQ(ctxs().create(&handle_, true), nullptr) << s.call;
        EXPECT_TRUE(log.contains(std::string("d3d11_ctx_init: ") + s.line)) << s.call;
        EXPECT_EQ(d3d_live_objects(), live_) << s.call;
        d3d_clear_faults();
    }
    // Tearing unknown (no IDXGIFactory5): the swap chain is made without it.
    d3d_fail("IDXGIFactory2_QueryInterface", E_FAIL);
    ctx_ = ctxs().create(&handle_, false);
    ASSERT_NE(ctx_, nullptr);
    ASSERT_NE(ctxs().get_surface(ctx_), nullptr);
    ctxs().present(ctx_);
    EXPECT_EQ(dxgi_last_present().flags, 0u);
    // Get surface failures return NULL with their line.
    LogCapture log;
    d3d_fail("IDXGISwapChain_GetBuffer", E_FAIL);
    EXPECT_EQ(ctxs().get_surface(ctx_), nullptr);
    EXPECT_TRUE(log.contains(
        "vko_d3d11_ctx_get_surface: 'IDXGISwapChain2_GetBuffer' failed with HRESULT 0x80004005"));
    d3d_fail("ID3D11Device_CreateRenderTargetView", E_FAIL);
    EXPECT_EQ(ctxs().get_surface(ctx_), nullptr);
    EXPECT_TRUE(log.contains(
        "vko_d3d11_ctx_get_surface: 'ID3D11Device_CreateRenderTargetView' failed with HRESULT 0x80004005"));
    EXPECT_NE(ctxs().get_surface(ctx_), nullptr);
    d3d_fail("WaitForSingleObjectEx", E_FAIL);
    ctxs().present(ctx_);
    EXPECT_TRUE(log.contains("vko_d3d11_ctx_present: 'WaitForSingleObjectEx' failed with error 0x80004005"));
}

// Without MIT-SHM (a server of its own that leaves it out) present falls back
// to XPutImage: the frame still reaches the window.
TEST(D3D11Present, WithoutSharedMemoryTheFrameStillReachesTheWindow) {
    XvfbServer server = xvfb_start_other({"-extension", "MIT-SHM"}, 320, 240);
    if (server.display.empty()) GTEST_SKIP() << "no second Xvfb";
    Display *dpy = XOpenDisplay(server.display.c_str());
    ASSERT_NE(dpy, nullptr);
    int opcode, event, error;
    EXPECT_FALSE(XQueryExtension(dpy, "MIT-SHM", &opcode, &event, &error));
    const int64_t live = d3d_live_objects();
    Window win = mapped_window(dpy, 160, 120);
    VKO_X11Window handle = {dpy, win};
    void *ctx = ctxs().create(&handle, true);
    ASSERT_NE(ctx, nullptr);
    void *device = ctxs().get_device(ctx);
    void *r = frames().create(device, 0);
    VKO_RenderDesc d;
    const std::vector<uint8_t> pic = make_picture(VKO_COLOR_FORMAT_NV12, 2, false, &d);
    void *surface = ctxs().get_surface(ctx);
    ASSERT_NE(surface, nullptr);
    ctxs().get_size(ctx, &d.view_width, &d.view_height);
    ASSERT_TRUE(frames().render(r, device, ctxs().get_context(ctx), pic.data(), &d, surface));
    ctxs().present(ctx);
    auto pixel = [&](int x, int y) {
        XImage *img = XGetImage(dpy, win, x, y, 1, 1, AllPlanes, ZPixmap);
        const unsigned long p = XGetPixel(img, 0, 0);
        XDestroyImage(img);
        return Rgb{int((p >> 16) & 0xFF), int((p >> 8) & 0xFF), int(p & 0xFF)};
    };
    const auto [a, b] = expected(VKO_COLOR_FORMAT_NV12);
    expect_near(pixel(40, 60), a, 2, "left");
    expect_near(pixel(120, 60), b, 2, "right");
    expect_near(pixel(80, 5), {0, 0, 0}, 0, "letterbox");
    frames().destroy(&r, device);
    ctxs().destroy(&ctx);
    XDestroyWindow(dpy, win);
    XCloseDisplay(dpy);
    EXPECT_EQ(d3d_live_objects(), live);
    xvfb_stop(&server);
}

TEST(DxgiPacing, IntervalArithmetic) {
    vko_dxgi_ctx_head h{};
    h.sync = 150;
    std::vector<uint32_t> got;
    for (int i = 0; i < 6; i++) got.push_back(dxgi_present_interval(&h));
    EXPECT_EQ(got, (std::vector<uint32_t>{1, 2, 1, 2, 1, 2}));
    h = {};
    h.sync = 100;
    EXPECT_EQ(dxgi_present_interval(&h), 1u);
    EXPECT_EQ(h.remainder, 0u);
    h = {};
    h.sync = 250;
    got.clear();
    for (int i = 0; i < 4; i++) got.push_back(dxgi_present_interval(&h));
    EXPECT_EQ(got, (std::vector<uint32_t>{2, 3, 2, 3}));
    h = {};
    EXPECT_EQ(dxgi_present_interval(&h), 0u);
    // A counter ahead of the last present never makes the wait run away.
    h.pacing = dxgi_sync_create();
    ASSERT_NE(h.pacing, nullptr);
    while (h.pacing->count.load() < 3) dxgi_pacing_wait(&h, 1);
    h.last_count = 0;
    dxgi_pacing_wait(&h, 1);  // wait = 0 - count + 1 <= 0: returns at once
    dxgi_sync_destroy(&h.pacing);
    EXPECT_EQ(h.pacing, nullptr);
}

TEST_F(D3D11Context, PacingThreadFollowsTheClock) {
    ctx_ = ctxs().create(&handle_, true);
    ASSERT_NE(ctx_, nullptr);
    auto *head = static_cast<vko_dxgi_ctx_head *>(ctx_);
    EXPECT_EQ(head->pacing, nullptr);  // never started by vsync alone
    ctxs().set_sync_interval(ctx_, 150);
    ASSERT_NE(head->pacing, nullptr);
    // Each present waits for the blanks of its interval since the last one:
    // after a first present, 2, 1, 2, 1 ... blanks each. A wake may belong to
    // a blank counted just before the count was read, so each present may
    // come one blank early, never more.
    ASSERT_NE(ctxs().get_surface(ctx_), nullptr);
    ctxs().present(ctx_);
    const uint64_t start = head->pacing->count.load();
    uint32_t due = 0;
    for (int i = 0; i < 6; i++) {
        ASSERT_NE(ctxs().get_surface(ctx_), nullptr);
        due += (i % 2) ? 1 : 2;  // remainder 50 carried from the first frame
        ctxs().present(ctx_);
        EXPECT_GE(head->pacing->count.load() - start + (i + 1), due) << i;
    }
    // A failing vertical-blank wait ends the thread with its line; presents
    // then log each failed wait and go on.
    LogCapture log;
    d3d_fail("IDXGIOutput_WaitForVBlank", DXGI_ERROR_DEVICE_REMOVED);
    for (int i = 0;
         i < 200 &&
         !log.contains("dxgi_sync_thread: 'IDXGIOutput_WaitForVBlank' failed with HRESULT 0x887A0005");
         i++)
        usleep(10000);
    EXPECT_TRUE(log.contains("dxgi_sync_thread: 'IDXGIOutput_WaitForVBlank' failed with HRESULT 0x887A0005"));
    ctxs().destroy(&ctx_);  // joins the ended thread
}

TEST(DxgiPacing, EventFailureKeepsNoRecord) {
    LogCapture log;
    const int64_t live = d3d_live_objects();
    d3d_fail("CreateEvent", E_OUTOFMEMORY);
    EXPECT_EQ(dxgi_sync_create(), nullptr);
    EXPECT_TRUE(log.contains("dxgi_sync_create: 'CreateEvent' failed with error 0x8007000E"));
    EXPECT_EQ(d3d_live_objects(), live);
}

// The same small frames through Direct3D 11 and through Vulkan on Mesa's CPU
// device agree within 2/255 per channel.
TEST_F(D3D11Context, AgreesWithVulkanPixelForPixel) {
    vulkan_test_env();
    Window vwin = XCreateSimpleWindow(dpy_, DefaultRootWindow(dpy_), 200, 0, 160, 120, 0, 0, 0);
    XMapWindow(dpy_, vwin);
    XSync(dpy_, False);
    VKO_X11Window vh = {dpy_, vwin};
    const vko_gfx_ctx_api &vk = vko_gfx_ctx_apis[VKO_GFX_VULKAN];
    void *vctx = vk.create(&vh, true);
    if (!vctx) {
        XDestroyWindow(dpy_, vwin);
        GTEST_SKIP() << "no Vulkan device";
    }
    void *vdev = vk.get_device(vctx);
    void *vr = vko_gfx_apis[VKO_GFX_VULKAN].create(vdev, 0);
    ctx_ = ctxs().create(&handle_, true);
    ASSERT_NE(ctx_, nullptr);
    void *dr = frames().create(ctxs().get_device(ctx_), 0);
    struct Case {
        uint32_t format, chroma;
        bool lsb;
    };
    const Case cases[] = {{1, 0, false}, {2, 0, false},  {3, 0, false}, {4, 0, false},  {5, 0, false},
                          {6, 0, false}, {7, 0, false},  {8, 2, false}, {9, 2, false},  {9, 0, false},
                          {9, 1, false}, {10, 2, false}, {10, 2, true}, {11, 2, false}, {11, 0, true}};
    for (const Case &c : cases) {
        VKO_RenderDesc d;
        std::vector<uint8_t> pic = make_picture(c.format, c.chroma, c.lsb, &d);
        d.scale = 1;  // 64x32 at (48, 44)
        ASSERT_TRUE(draw(dr, pic.data(), d));
        void *surface = vk.get_surface(vctx);
        ASSERT_NE(surface, nullptr);
        VKO_RenderDesc vd = d;
        vk.get_size(vctx, &vd.view_width, &vd.view_height);
        ASSERT_TRUE(
            vko_gfx_apis[VKO_GFX_VULKAN].render(vr, vdev, vk.get_context(vctx), pic.data(), &vd, surface));
        vk.present(vctx);
        XImage *a = XGetImage(dpy_, win_, 0, 0, 160, 120, AllPlanes, ZPixmap);
        XImage *b = XGetImage(dpy_, vwin, 0, 0, 160, 120, AllPlanes, ZPixmap);
        int worst = 0;
        for (int y = 0; y < 120; y++)
            for (int x = 0; x < 160; x++) {
                const unsigned long p = XGetPixel(a, x, y), q = XGetPixel(b, x, y);
                for (int s = 0; s < 24; s += 8)
                    worst = std::max(worst, std::abs(int((p >> s) & 0xFF) - int((q >> s) & 0xFF)));
            }
        XDestroyImage(a);
        XDestroyImage(b);
        EXPECT_LE(worst, 2) << "format " << c.format << " chroma " << c.chroma << (c.lsb ? " lsb" : "");
    }
    frames().destroy(&dr, ctxs().get_device(ctx_));
    vko_gfx_apis[VKO_GFX_VULKAN].destroy(&vr, vdev);
    vk.destroy(&vctx);
    XDestroyWindow(dpy_, vwin);
}

// A picture and an overlay drawn through the row into the window, saved as a
// PNG when ZARVEK_SCREENSHOT names a file (to look at).
TEST_F(D3D11Context, Screenshot) {
    resize(320, 180);
    ctx_ = ctxs().create(&handle_, true);
    ASSERT_NE(ctx_, nullptr);
    void *dev = ctxs().get_device(ctx_);
    void *r = frames().create(dev, 0);
    void *ui = uis().create(dev);
    VKO_RenderDesc d;
    std::vector<uint8_t> pic = make_picture(VKO_COLOR_FORMAT_NV12, 2, false, &d);
    d.effects[0] = VKO_EFFECT_SCANLINE;
    d.levels[0] = 0.6f;
    void *surface = ctxs().get_surface(ctx_);
    ASSERT_NE(surface, nullptr);
    ctxs().get_size(ctx_, &d.view_width, &d.view_height);
    ASSERT_TRUE(frames().render(r, dev, ctxs().get_context(ctx_), pic.data(), &d, surface));
    UiFrame f;
    const uint8_t white[4] = {255, 255, 255, 160};
    quad(f.v[0], f.i[0], 20, 20, 140, 60, white);
    std::vector<uint8_t> px(4 * 4 * 4, 255);
    void *tex = uis().create_texture(ui, dev, px.data(), 4, 4);
    VKO_Hash *map = VKO_HashCreate(8);
    VKO_HashSetInt(map, 1, tex);
    f.c[0].push_back({{0, 0, 320, 180}, 1, 6, 0, 0});
    f.lists[0] = {f.c[0].data(), f.v[0].data(), f.i[0].data(), 1, 1, 4, 4, 6, 6};
    f.data = {320, 180, f.lists, 1, 1, 6, 4, 0};
    ASSERT_TRUE(uis().render(ui, dev, ctxs().get_context(ctx_), &f.data, map, surface));
    ctxs().present(ctx_);
    expect_near(pixel(80, 40), {255, 255, 255}, 120, "overlay");
    if (const char *out = getenv("ZARVEK_SCREENSHOT")) {
        XImage *img = XGetImage(dpy_, win_, 0, 0, 320, 180, AllPlanes, ZPixmap);
        std::vector<uint8_t> rgba(320 * 180 * 4);
        for (int y = 0; y < 180; y++)
            for (int x = 0; x < 320; x++) {
                const unsigned long p = XGetPixel(img, x, y);
                uint8_t *q = &rgba[(y * 320 + x) * 4];
                q[0] = (p >> 16) & 0xFF, q[1] = (p >> 8) & 0xFF, q[2] = p & 0xFF, q[3] = 255;
            }
        XDestroyImage(img);
        size_t size = 0;
        void *png = VKO_CompressImage(VKO_IMAGE_PNG, rgba.data(), 320, 180, &size);
        if (FILE *fp = fopen(out, "wb")) {
            fwrite(png, 1, size, fp);
            fclose(fp);
        }
        free(png);
    }
    VKO_HashDestroy(&map, nullptr);
    uis().destroy_texture(ui, &tex, dev);
    uis().destroy(&ui, dev);
    frames().destroy(&r, dev);
}

}  // namespace
