// BGRA to NV12: the SIMD kernels against the plain loop, the colours against
// libswscale, and the converter's geometry, state handling and teardown on
// the CPU Direct3D stand-in.
#include <gtest/gtest.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "compat/d3d/d3d.h"
#include "host/d3d11_convert.h"
#include "host/nv12.h"

namespace {

std::vector<uint32_t> random_image(uint32_t w, uint32_t h, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint32_t> px(w * h);
    for (uint32_t &p : px) p = rng();
    return px;
}

TEST(Nv12, SimdKernelsMatchThePlainLoop) {
    struct Case {
        uint32_t w, h;
        bool rgba, flip;
    } cases[] = {{64, 4, false, false}, {37, 5, false, true}, {18, 2, true, false}, {1921, 3, true, true}};
    for (const Case &c : cases) {
        std::vector<uint32_t> img = random_image(c.w, c.h, c.w);
        Nv12Source src = {(const uint8_t *)img.data(), c.w * 4, c.w, c.h, c.rgba, c.flip};
        uint32_t cw = c.w / 2, ch = c.h / 2;
        std::vector<uint8_t> y0(c.w * c.h), uv0(cw * 2 * ch);
        nv12_luma(src, y0.data(), c.w, c.w, c.h, NV12_ISA_PLAIN);
        nv12_chroma(src, uv0.data(), cw * 2, cw, ch, NV12_ISA_PLAIN);
        for (Nv12Isa isa : {NV12_ISA_SSE2, NV12_ISA_AVX2}) {
            std::vector<uint8_t> y(c.w * c.h), uv(cw * 2 * ch);
            nv12_luma(src, y.data(), c.w, c.w, c.h, isa);
            nv12_chroma(src, uv.data(), cw * 2, cw, ch, isa);
            EXPECT_EQ(y, y0) << c.w << " isa " << isa;
            EXPECT_EQ(uv, uv0) << c.w << " isa " << isa;
        }
    }
}

// libswscale's BT.709 limited-range conversion of images whose 2 x 2 blocks
// are uniform (so chroma siting does not matter) agrees within 2.
// Frames of a megabyte and more are copied with streaming stores: the same
// bytes, rows of any alignment, nothing written past a row.
TEST(Nv12, LargeCopiesMatchSmallOnes) {
    const uint32_t w = 1023, h = 300, pitch = w * 4 + 12;
    std::vector<uint32_t> img = random_image(w, h, 7);
    for (bool flip : {false, true}) {
        Nv12Source src = {(const uint8_t *)img.data(), w * 4, w, h, false, flip};
        std::vector<uint8_t> out((size_t)pitch * h + 16, 0xA5);
        uint8_t *dst = out.data() + 4;  // rows start off a 16-byte boundary
        nv12_copy_bgra(src, dst, pitch, w, h);
        int bad = 0, spill = 0;
        for (uint32_t y = 0; y < h; y++) {
            const uint32_t *want = img.data() + (size_t)(flip ? h - 1 - y : y) * w;
            if (std::memcmp(dst + (size_t)y * pitch, want, (size_t)w * 4) != 0) bad++;
            for (uint32_t i = w * 4; i < pitch; i++)
                if (dst[(size_t)y * pitch + i] != 0xA5) spill++;
        }
        EXPECT_EQ(bad, 0) << "flip " << flip;
        EXPECT_EQ(spill, 0) << "flip " << flip;
        EXPECT_EQ(out[0], 0xA5);
    }
}

TEST(Nv12, ColoursAgreeWithSwscale) {
    const int w = 64, h = 32;
    std::vector<uint32_t> img(w * h);
    std::mt19937 rng(7);
    for (int y = 0; y < h; y += 2)
        for (int x = 0; x < w; x += 2) {
            uint32_t p = rng() | 0xFF000000u;
            img[y * w + x] = img[y * w + x + 1] = img[(y + 1) * w + x] = img[(y + 1) * w + x + 1] = p;
        }
    img[0] = img[1] = img[w] = img[w + 1] = 0xFFFFFFFF;      // white
    img[2] = img[3] = img[w + 2] = img[w + 3] = 0xFF000000;  // black
    Nv12Source src = {(const uint8_t *)img.data(), w * 4, w, h, false, false};
    std::vector<uint8_t> ours(w * h * 3 / 2);
    nv12_luma(src, ours.data(), w, w, h);
    nv12_chroma(src, ours.data() + w * h, w, w / 2, h / 2);
    EXPECT_EQ(ours[0], 235);
    EXPECT_EQ(ours[2], 16);
    EXPECT_NEAR(ours[w * h], 128, 1);
    EXPECT_NEAR(ours[w * h + 1], 128, 1);

    SwsContext *sws = sws_getContext(w, h, AV_PIX_FMT_BGRA, w, h, AV_PIX_FMT_NV12,
                                     SWS_POINT | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    ASSERT_NE(sws, nullptr);
    const int *coefs = sws_getCoefficients(SWS_CS_ITU709);
    int *inv, *tab, src_range, dst_range, bri, con, sat;
    sws_getColorspaceDetails(sws, &inv, &src_range, &tab, &dst_range, &bri, &con, &sat);
    sws_setColorspaceDetails(sws, coefs, 1, coefs, 0, bri, con, sat);
    std::vector<uint8_t> ref(w * h * 3 / 2);
    const uint8_t *in[] = {(const uint8_t *)img.data()};
    int in_stride[] = {w * 4};
    uint8_t *out[] = {ref.data(), ref.data() + w * h};
    int out_stride[] = {w, w};
    sws_scale(sws, in, in_stride, 0, h, out, out_stride);
    sws_freeContext(sws);
    for (size_t i = 0; i < ref.size(); i++) ASSERT_NEAR(ours[i], ref[i], 2) << "byte " << i;
}

struct Device {
    Device() {
        EXPECT_EQ(D3D11CreateDevice(&dev), S_OK);
        dev->GetImmediateContext(&ctx);
    }
    ~Device() {
        d3d_release(&ctx);
        d3d_release(&dev);
    }
    ID3D11Texture2D *texture(uint32_t w, uint32_t h, const std::vector<uint32_t> &px) {
        D3D11_TEXTURE2D_DESC d = {
            w, h, 1, 1, DXGI_FORMAT_B8G8R8A8_TYPELESS, {1, 0}, 0, D3D11_BIND_SHADER_RESOURCE, 0, 0};
        ID3D11Texture2D *t = nullptr;
        EXPECT_EQ(dev->CreateTexture2D(&d, px.data(), &t), S_OK);
        return t;
    }
    ID3D11Device *dev = nullptr;
    ID3D11DeviceContext *ctx = nullptr;
};

// Each pixel of the source is unique, so the geometry of every pass is
// checked against the texel it must take.
TEST(D3D11Convert, PassesTakeTheSpecifiedTexels) {
    const int64_t live = d3d_live_objects();
    {
        Device d, cap;
        const uint32_t w = 21, h = 11;  // odd: targets are 20 x 10
        std::vector<uint32_t> px = random_image(w, h, 3);
        ID3D11Texture2D *src = d.texture(w, h, px);
        for (bool flip : {false, true}) {
            D3D11Converter *c = nullptr;
            ASSERT_EQ(d3d11_convert_create(&c, d.dev, cap.dev, w, h, flip), S_OK);
            D3D11_TEXTURE2D_DESC nd;
            c->nv12_opened->GetDesc(&nd);
            EXPECT_EQ(nd.Width, 20u);
            EXPECT_EQ(nd.Height, 10u);
            d3d11_convert_draw(c, nullptr, src, D3D11_CONVERT_NV12);
            d3d11_convert_draw(c, nullptr, src, D3D11_CONVERT_BGRA);
            // The opened textures share the drawn memory.
            const uint8_t *y = c->nv12_opened->data(), *uv = y + c->nv12_opened->pitch() * 10;
            uint32_t p = c->nv12_opened->pitch();
            for (uint32_t j = 0; j < 10; j++)
                for (uint32_t i = 0; i < 20; i++) {
                    uint32_t s = px[(flip ? h - 1 - j : j) * w + i];
                    ASSERT_EQ(y[j * p + i], nv12_luma_px((s >> 16) & 255, (s >> 8) & 255, s & 255));
                    uint32_t b =
                        *(const uint32_t *)(c->bgra_opened->data() + j * c->bgra_opened->pitch() + i * 4);
                    ASSERT_EQ(b, s);
                }
            for (uint32_t j = 0; j < 5; j++)
                for (uint32_t i = 0; i < 10; i++) {
                    uint32_t s = px[(flip ? h - 2 * j - 1 : 2 * j + 1) * w + 2 * i + 1];
                    float r = (s >> 16) & 255, g = (s >> 8) & 255, b = s & 255;
                    ASSERT_EQ(uv[j * p + 2 * i], nv12_u_px(r, g, b));
                    ASSERT_EQ(uv[j * p + 2 * i + 1], nv12_v_px(r, g, b));
                }
            d3d11_convert_destroy(&c);
            EXPECT_EQ(c, nullptr);
        }
        src->Release();
    }
    EXPECT_EQ(d3d_live_objects(), live);
}

// Sources with 10-bit or float channels (as a game's swap chain hands them,
// typeless or typed) are drawn with their colours: the sampled value in 0..1
// is what the passes convert.
TEST(D3D11Convert, TenBitAndFloatSourcesKeepTheirColours) {
    const int64_t live = d3d_live_objects();
    {
        Device d;
        const uint32_t w = 8, h = 4;
        // Channels as the sampler reads them, also past 0..1 for the floats.
        std::vector<std::array<float, 3>> rgb(w * h);
        std::mt19937 rng(7);
        for (auto &c : rgb)
            for (float &v : c) v = static_cast<float>(rng() % 1024) / 1023.0f;
        rgb[0] = {1.5f, -0.25f, 0.5f};
        auto to8 = [](float v) -> uint8_t {
            return v <= 0 ? 0 : v >= 1 ? 255 : (uint8_t)(v * 255.0f + 0.5f);
        };
        auto half = [](float v) -> uint16_t {  // exact for the values used: k / 1023 rounded to 11 bits
            uint32_t b;
            std::memcpy(&b, &v, 4);
            if ((b & 0x7FFFFFFF) == 0) return (uint16_t)(b >> 16);
            int32_t e = (int32_t)((b >> 23) & 0xFF) - 127 + 15;
            uint32_t m = (b & 0x7FFFFF) + 0x1000;  // rounded to 10 bits
            if (m & 0x800000) {
                m = 0;
                e++;
            }
            return (uint16_t)(((b >> 16) & 0x8000) | (uint32_t)e << 10 | m >> 13);
        };
        auto from_half = [](uint16_t h) {
            uint32_t b = (uint32_t)(h & 0x8000) << 16 | ((uint32_t)((h >> 10) & 0x1F) + 112) << 23 |
                         (uint32_t)(h & 0x3FF) << 13;
            float f;
            std::memcpy(&f, &b, 4);
            return f;
        };
        struct Case {
            DXGI_FORMAT format;
            uint32_t bpp;
        };
        for (Case k : {Case{(DXGI_FORMAT)23, 4}, Case{(DXGI_FORMAT)24, 4}, Case{(DXGI_FORMAT)9, 8},
                       Case{(DXGI_FORMAT)10, 8}, Case{(DXGI_FORMAT)1, 16}, Case{(DXGI_FORMAT)2, 16}}) {
            SCOPED_TRACE(k.format);
            std::vector<uint8_t> bytes(w * h * k.bpp);
            std::vector<std::array<uint8_t, 3>> want(w * h);
            for (uint32_t i = 0; i < w * h; i++) {
                float c[3] = {rgb[i][0], rgb[i][1], rgb[i][2]};
                uint8_t *o = bytes.data() + i * k.bpp;
                if (k.bpp == 4) {
                    uint32_t v = 3u << 30;
                    for (int j = 0; j < 3; j++) {
                        uint32_t q = c[j] <= 0 ? 0 : c[j] >= 1 ? 1023 : (uint32_t)std::lround(c[j] * 1023.0f);
                        v |= q << (10 * j);
                        c[j] = (float)q / 1023.0f;
                    }
                    std::memcpy(o, &v, 4);
                } else if (k.bpp == 8) {
                    uint16_t v[4] = {half(c[0]), half(c[1]), half(c[2]), 0x3C00};
                    for (int j = 0; j < 3; j++) c[j] = from_half(v[j]);
                    std::memcpy(o, v, 8);
                } else {
                    float v[4] = {c[0], c[1], c[2], 1.0f};
                    std::memcpy(o, v, 16);
                }
                want[i] = {to8(c[0]), to8(c[1]), to8(c[2])};
            }
            D3D11_TEXTURE2D_DESC td = {w, h, 1, 1, k.format, {1, 0}, 0, D3D11_BIND_SHADER_RESOURCE, 0, 0};
            ID3D11Texture2D *src = nullptr;
            ASSERT_EQ(d.dev->CreateTexture2D(&td, bytes.data(), &src), S_OK);
            D3D11Converter *c = nullptr;
            ASSERT_EQ(d3d11_convert_create(&c, d.dev, nullptr, w, h, false), S_OK);
            d3d11_convert_draw(c, nullptr, src, D3D11_CONVERT_NV12);
            d3d11_convert_draw(c, nullptr, src, D3D11_CONVERT_BGRA);
            const uint8_t *y = c->nv12_opened->data(), *uv = y + c->nv12_opened->pitch() * h;
            const uint32_t p = c->nv12_opened->pitch();
            for (uint32_t j = 0; j < h; j++)
                for (uint32_t i = 0; i < w; i++) {
                    const auto &s = want[j * w + i];
                    ASSERT_EQ(y[j * p + i], nv12_luma_px(s[0], s[1], s[2])) << i << "," << j;
                    const uint8_t *b = c->bgra_opened->data() + j * c->bgra_opened->pitch() + i * 4;
                    ASSERT_EQ((std::array<uint8_t, 3>{b[2], b[1], b[0]}), s) << i << "," << j;
                }
            for (uint32_t j = 0; j < h / 2; j++)
                for (uint32_t i = 0; i < w / 2; i++) {
                    const auto &s = want[(2 * j + 1) * w + 2 * i + 1];
                    ASSERT_EQ(uv[j * p + 2 * i], nv12_u_px(s[0], s[1], s[2]));
                    ASSERT_EQ(uv[j * p + 2 * i + 1], nv12_v_px(s[0], s[1], s[2]));
                }
            d3d11_convert_destroy(&c);
            src->Release();
        }
    }
    EXPECT_EQ(d3d_live_objects(), live);
}

TEST(D3D11Convert, CallerStateIsRestoredAndFailuresReleaseEverything) {
    const int64_t live = d3d_live_objects();
    {
        Device d;
        std::vector<uint32_t> px = random_image(8, 8, 1);
        ID3D11Texture2D *src = d.texture(8, 8, px), *other = d.texture(8, 8, px);
        D3D11Converter *c = nullptr;
        ASSERT_EQ(d3d11_convert_create(&c, d.dev, nullptr, 8, 8, false), S_OK);

        // The caller's own state on the same context.
        ID3D11ShaderResourceView *srv = nullptr;
        ASSERT_EQ(d.dev->CreateShaderResourceView(other, DXGI_FORMAT_B8G8R8A8_UNORM, &srv), S_OK);
        D3D11_VIEWPORT vp = {1, 2, 3, 4, 0, 1};
        d.ctx->RSSetViewports(1, &vp);
        d.ctx->PSSetShaderResources(0, 1, &srv);
        d.ctx->PSSetShader(c->ps_copy);
        d3d11_convert_draw(c, d.ctx, src, D3D11_CONVERT_NV12);
        D3D11SavedState now = {};
        d3d11_state_save(d.ctx, &now);
        EXPECT_EQ(now.srv, srv);
        EXPECT_EQ(now.ps, c->ps_copy);
        EXPECT_EQ(now.rtv, nullptr);
        EXPECT_EQ(now.viewport.Width, 3.0f);
        d3d11_state_restore(d.ctx, &now);
        d.ctx->PSSetShaderResources(0, 1, (ID3D11ShaderResourceView *const *)&now.srv);  // unbind
        d.ctx->PSSetShader(nullptr);
        srv->Release();
        d3d11_convert_destroy(&c);

        // Without NV12 the BGRA path works and mode 2 draws nothing.
        d.dev->set_nv12(false);
        ASSERT_EQ(d3d11_convert_create(&c, d.dev, nullptr, 8, 8, false), S_OK);
        EXPECT_EQ(c->nv12_available, 0);
        d3d11_convert_draw(c, nullptr, src, D3D11_CONVERT_NV12);
        d3d11_convert_draw(c, nullptr, src, D3D11_CONVERT_BGRA);
        EXPECT_EQ(memcmp(c->bgra_opened->data(), px.data(), 32), 0);
        d3d11_convert_destroy(&c);

        // Any failing step gives its result and leaves nothing behind.
        d.dev->set_nv12(true);
        const int64_t before = d3d_live_objects();
        for (D3DCall call : {D3D_CALL_CREATE_VIEW, D3D_CALL_CREATE_SHADER}) {
            d.dev->fail_call(call, E_OUTOFMEMORY, 1);
            EXPECT_EQ(d3d11_convert_create(&c, d.dev, nullptr, 8, 8, false), E_OUTOFMEMORY);
            EXPECT_EQ(c, nullptr);
            EXPECT_EQ(d3d_live_objects(), before);
        }
        src->Release();
        other->Release();
    }
    EXPECT_EQ(d3d_live_objects(), live);
}

}  // namespace
