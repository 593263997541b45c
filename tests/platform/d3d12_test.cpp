// The Direct3D 12 row on the CPU stand-in: plane uploads at the 256-byte
// pitch, null descriptors in unused plane slots, the constant block, layers,
// deferred UI uploads, every creation failure with its log line, and the
// swap-chain context on a real X window under the test's Xvfb (present rule,
// fence and barrier order, resize, device loss). Pixels are compared with the
// Direct3D 11 and the Vulkan rows, read back from the windows with XGetImage.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "compat/d3d/d3d12.h"
#include "compat/d3d/dxgi.h"
#include "platform/gfx/d3d12.h"
#include "platform/gfx/dxgi_ctx.h"
#include "platform/gfx/gfx.h"
#include "platform/gfx/vk_load.h"
#include "platform/image.h"
#include "platform/map.h"
#include "support/d3d12_rig.h"
#include "support/d3d_window.h"
#include "support/gfx_pictures.h"
#include "support/log_capture.h"
#include "support/vulkan_env.h"
#include "support/xvfb.h"

// Xlib after everything else: its macros clash with the test framework.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

const vko_gfx_ctx_api &ctxs() {
    return vko_gfx_ctx_apis[VKO_GFX_D3D12];
}
const vko_gfx_api &frames() {
    return vko_gfx_apis[VKO_GFX_D3D12];
}
const vko_gfx_ui_api &uis() {
    return vko_gfx_ui_apis[VKO_GFX_D3D12];
}

void expect_near(Rgb got, Rgb want, int tol, const std::string &what) {
    EXPECT_LE(std::abs(got.r - want.r), tol) << what << " r " << got.r << " vs " << want.r;
    EXPECT_LE(std::abs(got.g - want.g), tol) << what << " g " << got.g << " vs " << want.g;
    EXPECT_LE(std::abs(got.b - want.b), tol) << what << " b " << got.b << " vs " << want.b;
}

// An off-screen BGRA target on the shared rig; each draw is one executed frame.
struct Target : D3D12Rig {
    Target(uint32_t width, uint32_t height) : D3D12Rig(width, height) {}
    bool draw(void *r, const void *image, VKO_RenderDesc d) {
        d.view_width = w;
        d.view_height = h;
        const bool ok = frames().render(r, dev, list, image, &d, &rtv);
        submit();
        return ok;
    }
    void fill(uint8_t r, uint8_t g, uint8_t b) {
        frames().clear(nullptr, dev, list, w, h, r / 255.0f, g / 255.0f, b / 255.0f, 1, &rtv);
        submit();
    }
    Rgb at(uint32_t x, uint32_t y) const {
        const uint8_t *p = rt->data() + size_t(y) * rt->pitch() + x * 4;
        return {p[2], p[1], p[0]};
    }
};

TEST(D3D12Render, PlanesAtTheAlignedPitchWithNullDescriptorsInUnusedSlots) {
    const int64_t live = d3d_live_objects();
    {
        Target t(160, 90);
        void *r = frames().create(t.dev, 0);
        ASSERT_NE(r, nullptr);
        const uint64_t faults = d3d12_fault_count();
        // Before any picture, format 0 still clears layer 0's target.
        t.fill(9, 9, 9);
        VKO_RenderDesc none{};
        ASSERT_TRUE(t.draw(r, nullptr, none));
        expect_near(t.at(80, 45), {0, 0, 0}, 0, "cleared before any picture");
        // NV12 binds planes 0 and 1; slot 2 of the bound table was never a
        // plane and must still read as a written (null) descriptor.
        VKO_RenderDesc d;
        std::vector<uint8_t> pic = make_picture(VKO_COLOR_FORMAT_NV12, 2, false, &d);
        ASSERT_TRUE(t.draw(r, pic.data(), d));
        EXPECT_EQ(d3d12_fault_count(), faults) << d3d12_last_fault();
        const auto [a, b] = expected(VKO_COLOR_FORMAT_NV12);
        expect_near(t.at(40, 45), a, 2, "left");
        expect_near(t.at(120, 45), b, 2, "right");
        expect_near(t.at(80, 2), {0, 0, 0}, 0, "letterbox");
        // A 1,366-pixel BGRA plane: its upload rows are 5,632 bytes apart
        // (5,464 rounded up to 256), and a copy at any other pitch would be
        // refused.
        VKO_RenderDesc g{};
        g.format = VKO_COLOR_FORMAT_BGRA;
        g.stride = 1400;
        g.plane_height = 768;
        g.image_width = 1366;
        g.image_height = 768;
        std::vector<uint8_t> wide(1400 * 768 * 4, 0);
        for (size_t i = 0; i < wide.size(); i += 4) wide[i + 2] = 255, wide[i + 3] = 255;
        ASSERT_TRUE(t.draw(r, wide.data(), g));
        EXPECT_EQ(d3d12_fault_count(), faults) << d3d12_last_fault();
        expect_near(t.at(80, 45), {255, 0, 0}, 0, "wide picture");
        // A format with fewer planes after one with more: no released
        // texture is ever read through a stale descriptor.
        pic = make_picture(VKO_COLOR_FORMAT_I420, 2, false, &d);
        ASSERT_TRUE(t.draw(r, pic.data(), d));
        pic = make_picture(VKO_COLOR_FORMAT_RGBA, 0, false, &d);
        ASSERT_TRUE(t.draw(r, pic.data(), d));
        EXPECT_EQ(d3d12_fault_count(), faults) << d3d12_last_fault();
        // A failed upload clears its plane to a null view: the next frame still draws cleanly.
        LogCapture log;
        pic = make_picture(VKO_COLOR_FORMAT_NV12, 2, false, &d);
        d3d_fail("ID3D12Device_CreateCommittedResource", E_OUTOFMEMORY, 2);
        EXPECT_FALSE(t.draw(r, pic.data(), d));
        EXPECT_TRUE(log.contains(
            "d3d12_refresh_resource: 'ID3D12Device_CreateCommittedResource' failed with HRESULT 0x8007000E"));
        d.format = 0;
        ASSERT_TRUE(t.draw(r, nullptr, d));
        EXPECT_EQ(d3d12_fault_count(), faults) << d3d12_last_fault();
        frames().destroy(&r, t.dev);
        EXPECT_EQ(r, nullptr);
    }
    EXPECT_EQ(d3d_live_objects(), live);
}

TEST(D3D12Render, ConstantBlockWrittenOnlyWhenItChangesAndLayers) {
    Target t(128, 32);
    void *r0 = frames().create(t.dev, 0);
    void *r1 = frames().create(t.dev, 1);
    ASSERT_NE(r0, nullptr);
    ASSERT_NE(r1, nullptr);
    // A half-transparent BGRA picture, 32x32 centred in 128x32 (scale 1).
    VKO_RenderDesc d{};
    d.format = VKO_COLOR_FORMAT_BGRA;
    d.stride = d.plane_height = d.image_width = d.image_height = 32;
    d.scale = 1;
    std::vector<uint8_t> pic(32 * 32 * 4);
    for (size_t i = 0; i < pic.size(); i += 4) pic[i] = 255, pic[i + 1] = 0, pic[i + 2] = 0, pic[i + 3] = 128;
    // Maps: the plane upload and the block on the first frame; a redraw
    // (format 0) maps nothing; a changed rotation maps the block alone.
    uint64_t maps = d3d12_map_count();
    ASSERT_TRUE(t.draw(r0, pic.data(), d));
    EXPECT_EQ(d3d12_map_count(), maps + 2);
    VKO_RenderDesc again = d;
    again.format = 0;
    maps = d3d12_map_count();
    ASSERT_TRUE(t.draw(r0, nullptr, again));
    ASSERT_TRUE(t.draw(r0, nullptr, again));
    EXPECT_EQ(d3d12_map_count(), maps);
    again.rotation = 2;
    ASSERT_TRUE(t.draw(r0, nullptr, again));
    EXPECT_EQ(d3d12_map_count(), maps + 1);
    LogCapture log;
    again.rotation = 1;
    d3d_fail("ID3D12Resource_Map", E_OUTOFMEMORY);
    EXPECT_FALSE(t.draw(r0, nullptr, again));
    EXPECT_TRUE(log.contains("vko_d3d12_render: 'ID3D12Resource_Map' failed with HRESULT 0x8007000E"));

    // Layer 0 clears and writes the picture as it is; layer 1 blends over
    // what is there (colour by source alpha) and clears nothing.
    t.fill(0, 200, 0);
    ASSERT_TRUE(t.draw(r0, pic.data(), d));
    expect_near(t.at(5, 5), {0, 0, 0}, 0, "layer 0 cleared the letterbox");
    expect_near(t.at(64, 16), {0, 0, 255}, 0, "layer 0 does not blend");
    t.fill(0, 200, 0);
    d.layer = 1;
    ASSERT_TRUE(t.draw(r1, pic.data(), d));
    expect_near(t.at(5, 5), {0, 200, 0}, 0, "layer 1 leaves the rest");
    expect_near(t.at(64, 16), {0, 100, 128}, 1, "layer 1 blends with source alpha");
    frames().destroy(&r0, t.dev);
    frames().destroy(&r1, t.dev);
}

struct UiFrame {
    std::vector<VKO_Vtx> v;
    std::vector<uint16_t> i;
    std::vector<VKO_Cmd> c;
    VKO_CmdList list{};
    VKO_DrawData data{};
};

void quad(UiFrame &f, float x0, float y0, float x1, float y1, const uint8_t col[4]) {
    const uint16_t b = uint16_t(f.v.size());
    f.v.push_back({{x0, y0}, {0, 0}, {col[0], col[1], col[2], col[3]}});
    f.v.push_back({{x1, y0}, {1, 0}, {col[0], col[1], col[2], col[3]}});
    f.v.push_back({{x1, y1}, {1, 1}, {col[0], col[1], col[2], col[3]}});
    f.v.push_back({{x0, y1}, {0, 1}, {col[0], col[1], col[2], col[3]}});
    for (uint16_t k : {0, 1, 2, 0, 2, 3}) f.i.push_back(uint16_t(b + k));
}

TEST(D3D12Ui, TexturesUploadAtTheirFirstDrawAndUnknownIdsDrawTransparent) {
    Target t(80, 40);
    void *ui = uis().create(t.dev);
    ASSERT_NE(ui, nullptr);
    std::vector<uint8_t> white(4 * 4 * 4, 255);
    void *tex = uis().create_texture(ui, t.dev, white.data(), 4, 4);
    ASSERT_NE(tex, nullptr);
    // Made and gone without a draw: nothing was ever recorded for it.
    void *unused = uis().create_texture(ui, t.dev, white.data(), 4, 4);
    EXPECT_EQ(t.list->recorded(), 0u);
    uis().destroy_texture(ui, &unused, t.dev);
    EXPECT_EQ(unused, nullptr);
    VKO_Hash *map = VKO_HashCreate(8);
    VKO_HashSetInt(map, 7, tex);
    UiFrame f;
    const uint8_t red[4] = {255, 0, 0, 255}, blue[4] = {0, 0, 255, 255};
    quad(f, 0, 0, 20, 20, red);
    quad(f, 40, 0, 60, 20, blue);
    f.c.push_back({{0, 0, 80, 40}, 7, 6, 0, 0});
    f.c.push_back({{0, 0, 80, 40}, 99, 6, 6, 0});  // unknown id: the zero texture
    f.c.push_back({{80, 0, 90, 40}, 7, 6, 0, 0});  // starts at the right edge: skipped
    f.list = {f.c.data(), f.v.data(), f.i.data(), 3, 3, 8, 8, 12, 12};
    f.data = {80, 40, &f.list, 1, 1, 12, 8, 1};
    const uint64_t faults = d3d12_fault_count();
    ASSERT_TRUE(uis().render(ui, t.dev, t.list, &f.data, map, &t.rtv));
    const size_t first = t.list->recorded();
    t.submit();
    ASSERT_TRUE(uis().render(ui, t.dev, t.list, &f.data, map, &t.rtv));
    // Both textures were copied on the first frame only (barrier, copy, barrier each).
    EXPECT_EQ(first - t.list->recorded(), 6u);
    t.submit();
    EXPECT_EQ(d3d12_fault_count(), faults) << d3d12_last_fault();
    expect_near(t.at(10, 10), {255, 0, 0}, 0, "textured quad");
    expect_near(t.at(50, 10), {0, 0, 0}, 0, "the zero texture times blue is transparent over the clear");
    expect_near(t.at(70, 30), {0, 0, 0}, 0, "clear");
    VKO_HashDestroy(&map, nullptr);
    uis().destroy_texture(ui, &tex, t.dev);
    uis().destroy(&ui, t.dev);
}

TEST(D3D12Render, EveryCreationFailureIsLoggedAndCleanedUp) {
    Target t(32, 32);
    const int64_t live = d3d_live_objects();
    struct Step {
        const char *call;
        uint32_t skip;
        const char *line;
    };
    const Step video[] = {
        {"D3D12SerializeRootSignature", 0,
         "d3d12_root_signature: 'D3D12SerializeRootSignature' failed with HRESULT 0x80004005"},
        {"ID3D12Device_CreateRootSignature", 0,
         "d3d12_root_signature: 'ID3D12Device_CreateRootSignature' failed with HRESULT 0x80004005"},
        {"ID3D12Device_CreateGraphicsPipelineState", 0,
         "d3d12_pipeline: 'ID3D12Device_CreateGraphicsPipelineState' failed with HRESULT 0x80004005"},
        {"ID3D12Device_CreateDescriptorHeap", 0,
         "vko_d3d12_create: 'ID3D12Device_CreateDescriptorHeap' failed with HRESULT 0x80004005"},
        {"ID3D12Device_CreateDescriptorHeap", 1,
         "vko_d3d12_create: 'ID3D12Device_CreateDescriptorHeap' failed with HRESULT 0x80004005"},
        {"ID3D12Device_CreateCommittedResource", 0,
         "d3d12_buffer: 'ID3D12Device_CreateComittedResource' failed with HRESULT 0x80004005"},
        {"ID3D12Device_CreateCommittedResource", 2,
         "d3d12_buffer: 'ID3D12Device_CreateComittedResource' failed with HRESULT 0x80004005"},
        {"ID3D12Resource_Map", 1, "d3d12_buffer: 'ID3D12Resource_Map' failed with HRESULT 0x80004005"},
    };
    for (const Step &s : video) {
        LogCapture log;
        d3d_fail(s.call, E_FAIL, s.skip);
        EXPECT_EQ(frames().create(t.dev, 1), nullptr) << s.line;
        EXPECT_TRUE(log.contains(s.line)) << s.line;
        EXPECT_EQ(d3d_live_objects(), live) << s.line;
        d3d_clear_faults();
    }
    const Step ui[] = {
        {"D3D12SerializeRootSignature", 0,
         "vko_d3d12_ui_create: 'D3D12SerializeRootSignature' failed with HRESULT 0x80004005"},
        {"ID3D12Device_CreateRootSignature", 0,
         "vko_d3d12_ui_create: 'ID3D12Device_CreateRootSignature' failed with HRESULT 0x80004005"},
        {"ID3D12Device_CreateGraphicsPipelineState", 0,
         "vko_d3d12_ui_create: 'ID3D12Device_CreateGraphicsPipelineState' failed with HRESULT 0x80004005"},
        {"ID3D12Device_CreateCommittedResource", 1,
         "vko_d3d12_ui_create_texture: 'ID3D12Device_CreateCommittedResource' failed with HRESULT "
         "0x80004005"},
        {"ID3D12Resource_Map", 0,
         "vko_d3d12_ui_create_texture: 'ID3D12Resource_Map' failed with HRESULT 0x80004005"},
        {"ID3D12Device_CreateDescriptorHeap", 0,
         "vko_d3d12_ui_create_texture: 'ID3D12Device_CreateDescriptorHeap' failed with HRESULT 0x80004005"},
    };
    for (const Step &s : ui) {
        LogCapture log;
        d3d_fail(s.call, E_FAIL, s.skip);
        EXPECT_EQ(uis().create(t.dev), nullptr) << s.line;
        EXPECT_TRUE(log.contains(s.line)) << s.line;
        EXPECT_EQ(d3d_live_objects(), live) << s.line;
        d3d_clear_faults();
    }
    // Buffer growth and its Map: failed frames, then the next one draws.
    void *u = uis().create(t.dev);
    ASSERT_NE(u, nullptr);
    UiFrame f;
    const uint8_t red[4] = {255, 0, 0, 255};
    quad(f, 0, 0, 8, 8, red);
    f.c.push_back({{0, 0, 32, 32}, 0, 6, 0, 0});
    f.list = {f.c.data(), f.v.data(), f.i.data(), 1, 1, 4, 4, 6, 6};
    f.data = {32, 32, &f.list, 1, 1, 6, 4, 0};
    LogCapture log;
    d3d_fail("ID3D12Device_CreateCommittedResource", E_OUTOFMEMORY);
    EXPECT_FALSE(uis().render(u, t.dev, t.list, &f.data, nullptr, &t.rtv));
    EXPECT_TRUE(log.contains(
        "d3d12_ui_resize_buffer: 'ID3D12Device_CreateComittedResource' failed with HRESULT 0x8007000E"));
    d3d_fail("ID3D12Resource_Map", E_OUTOFMEMORY);
    EXPECT_FALSE(uis().render(u, t.dev, t.list, &f.data, nullptr, &t.rtv));
    EXPECT_TRUE(log.contains("vko_d3d12_ui_render: 'ID3D12Resource_Map' failed with HRESULT 0x8007000E"));
    EXPECT_TRUE(uis().render(u, t.dev, t.list, &f.data, nullptr, &t.rtv));
    t.submit();
    expect_near(t.at(4, 4), {0, 0, 0}, 0, "vertex colour times the zero texture");
    // A plane's copy cannot map its upload buffer.
    void *r = frames().create(t.dev, 0);
    VKO_RenderDesc d;
    std::vector<uint8_t> pic = make_picture(VKO_COLOR_FORMAT_RGBA, 0, false, &d);
    d3d_fail("ID3D12Resource_Map", E_OUTOFMEMORY);
    EXPECT_FALSE(t.draw(r, pic.data(), d));
    EXPECT_TRUE(log.contains("d3d12_crop_copy: 'ID3D12Resource_Map' failed with HRESULT 0x8007000E"));
    EXPECT_TRUE(t.draw(r, pic.data(), d));
    frames().destroy(&r, t.dev);
    uis().destroy(&u, t.dev);
    EXPECT_EQ(d3d_live_objects(), live);
}

// ---- The context on a real window ----

class D3D12Context : public D3DWindowTest {
   protected:
    D3D12Context() : D3DWindowTest(VKO_GFX_D3D12) {}

    void SetUp() override {
        faults_ = d3d12_fault_count();
        D3DWindowTest::SetUp();
    }

    uint64_t faults_ = 0;
};

TEST_F(D3D12Context, PresentRuleFenceAndBarrierOrder) {
    ctx_ = ctxs().create(&handle_, true);
    ASSERT_NE(ctx_, nullptr);
    const uint64_t count = dxgi_last_present().count;
    ctxs().present(ctx_);  // no surface: nothing happens
    EXPECT_EQ(dxgi_last_present().count, count);
    void *dev = ctxs().get_device(ctx_);
    void *r = frames().create(dev, 0);
    VKO_RenderDesc d;
    std::vector<uint8_t> pic = make_picture(VKO_COLOR_FORMAT_P010, 2, false, &d);
    // Frames in a row: the surface is the current buffer's RTV, the same
    // within a frame; buffers take turns; every barrier matched the state
    // the last execution left (no faults).
    auto *list = static_cast<ID3D12GraphicsCommandList *>(ctxs().get_context(ctx_));
    void *surfaces[2] = {};
    for (int i = 0; i < 4; i++) {
        void *s = ctxs().get_surface(ctx_);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(ctxs().get_surface(ctx_), s);
        EXPECT_TRUE(list->open());
        if (i < 2) surfaces[i] = s;
        EXPECT_EQ(s, surfaces[i % 2]) << i;
        ctxs().get_size(ctx_, &d.view_width, &d.view_height);
        ASSERT_TRUE(frames().render(r, dev, list, pic.data(), &d, s));
        ctxs().present(ctx_);
        EXPECT_TRUE(list->open()) << "reset for the next frame";
        EXPECT_EQ(list->recorded(), 0u);
    }
    EXPECT_NE(surfaces[0], surfaces[1]);
    EXPECT_EQ(d3d12_fault_count(), faults_) << d3d12_last_fault();
    const DXGIPresentRecord p = dxgi_last_present();
    EXPECT_EQ(p.count, count + 4);
    EXPECT_EQ(p.sync_interval, 0u);
    EXPECT_EQ(p.flags, 0u);  // vsync: no tearing flag
    const auto [a, b] = expected(VKO_COLOR_FORMAT_P010);
    expect_near(pixel(40, 60), a, 2, "left");
    expect_near(pixel(120, 60), b, 2, "right");
    // A barrier recorded into the frame with a wrong "before" state is
    // caught when the frame executes at present.
    ID3D12Resource *tex = nullptr;
    const D3D12_HEAP_PROPERTIES hp = {D3D12_HEAP_TYPE_DEFAULT, 0, 0, 1, 1};
    const D3D12_RESOURCE_DESC td = {
        D3D12_RESOURCE_DIMENSION_TEXTURE2D, 0, 4, 4, 1, 1, DXGI_FORMAT_R8_UNORM, {1, 0},
        D3D12_TEXTURE_LAYOUT_UNKNOWN,       0};
    ASSERT_EQ(static_cast<ID3D12Device *>(dev)->CreateCommittedResource(
                  &hp, 0, &td, D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE, nullptr, &tex),
              S_OK);
    ASSERT_NE(ctxs().get_surface(ctx_), nullptr);
    D3D12_RESOURCE_BARRIER wrong{};
    wrong.Transition = {tex, D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES, D3D12_RESOURCE_STATE_COPY_DEST,
                        D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE};
    list->ResourceBarrier(1, &wrong);
    ctxs().present(ctx_);
    EXPECT_EQ(d3d12_fault_count(), faults_ + 1);
    EXPECT_NE(d3d12_last_fault().find("state before is 0x400 but the resource is in 0x80"), std::string::npos)
        << d3d12_last_fault();
    tex->Release();
    frames().destroy(&r, dev);
    ctxs().destroy(&ctx_);

    // No vsync: the tearing flag, always (the swap chain always has it).
    ctx_ = ctxs().create(&handle_, false);
    ASSERT_NE(ctx_, nullptr);
    ASSERT_NE(ctxs().get_surface(ctx_), nullptr);
    ctxs().present(ctx_);
    EXPECT_EQ(dxgi_last_present().flags, DXGI_PRESENT_ALLOW_TEARING);
}

TEST_F(D3D12Context, ResizeFailureKeepsTheOldSizeAndIsRetried) {
    ctx_ = ctxs().create(&handle_, true);
    ASSERT_NE(ctx_, nullptr);
    void *r = frames().create(ctxs().get_device(ctx_), 0);
    VKO_RenderDesc d;
    std::vector<uint8_t> pic = make_picture(VKO_COLOR_FORMAT_NV12, 2, false, &d);
    ASSERT_TRUE(draw(r, pic.data(), d));
    resize(200, 100);
    LogCapture log;
    d3d_fail("IDXGISwapChain_ResizeBuffers", E_OUTOFMEMORY);
    EXPECT_EQ(ctxs().get_surface(ctx_), nullptr);  // this frame is skipped
    uint32_t w, h;
    ctxs().get_size(ctx_, &w, &h);
    EXPECT_EQ(w, 160u);
    EXPECT_EQ(h, 120u);
    EXPECT_TRUE(log.lines().empty());  // only device loss is logged
    ctxs().present(ctx_);              // nothing to present
    // Next frame: the resize goes through.
    ASSERT_TRUE(draw(r, pic.data(), d));
    ctxs().get_size(ctx_, &w, &h);
    EXPECT_EQ(w, 200u);
    EXPECT_EQ(h, 100u);
    const auto [a, b] = expected(VKO_COLOR_FORMAT_NV12);
    expect_near(pixel(70, 50), a, 2, "left after resize");
    expect_near(pixel(130, 50), b, 2, "right after resize");
    // The window goes back to the old size while a resize is failing: the
    // buffers are fetched again and drawing goes on.
    resize(160, 120);
    d3d_fail("IDXGISwapChain_ResizeBuffers", E_OUTOFMEMORY);
    EXPECT_EQ(ctxs().get_surface(ctx_), nullptr);
    ASSERT_TRUE(draw(r, pic.data(), d));
    EXPECT_EQ(d3d12_fault_count(), faults_) << d3d12_last_fault();
    frames().destroy(&r, ctxs().get_device(ctx_));
}

TEST_F(D3D12Context, DeviceLossRemakesEverythingInPlace) {
    ctx_ = ctxs().create(&handle_, true);
    ASSERT_NE(ctx_, nullptr);
    void *ctx_before = ctx_;
    void *dev = ctxs().get_device(ctx_);
    const uint64_t generation = ctxs().get_generation(ctx_);
    // Held, so a device made after it cannot take its address.
    static_cast<ID3D12Device *>(dev)->AddRef();
    void *r = frames().create(dev, 0);
    VKO_RenderDesc d;
    std::vector<uint8_t> pic = make_picture(VKO_COLOR_FORMAT_I420, 2, false, &d);
    LogCapture log;
    d3d_fail("IDXGISwapChain_Present", DXGI_ERROR_DEVICE_REMOVED);
    ASSERT_TRUE(draw(r, pic.data(), d));
    EXPECT_TRUE(
        log.contains("vko_d3d12_ctx_present: 'IDXGISwapChain3_Present' failed with HRESULT 0x887A0005"));
    EXPECT_EQ(ctx_, ctx_before);
    void *dev2 = ctxs().get_device(ctx_);
    EXPECT_NE(dev2, nullptr);
    EXPECT_NE(dev2, dev);  // the glue re-makes its renderers for it
    EXPECT_NE(ctxs().get_generation(ctx_), generation) << "told apart even at the same address";
    frames().destroy(&r, dev);
    static_cast<ID3D12Device *>(dev)->Release();
    static_cast<ID3D12Device *>(dev2)->AddRef();
    r = frames().create(dev2, 0);
    ASSERT_TRUE(draw(r, pic.data(), d));
    const auto [a, b] = expected(VKO_COLOR_FORMAT_I420);
    expect_near(pixel(40, 60), a, 2, "drawn on the new device");

    // Loss on resize: logged under the refresh, re-made; the next frame draws.
    resize(120, 90);
    d3d_fail("IDXGISwapChain_ResizeBuffers", DXGI_ERROR_DEVICE_HUNG);
    EXPECT_EQ(ctxs().get_surface(ctx_), nullptr);
    EXPECT_TRUE(
        log.contains("d3d12_ctx_refresh: 'IDXGISwapChain3_ResizeBuffers' failed with HRESULT 0x887A0006"));
    void *dev3 = ctxs().get_device(ctx_);
    EXPECT_NE(dev3, dev2);
    frames().destroy(&r, dev2);
    static_cast<ID3D12Device *>(dev2)->Release();
    r = frames().create(dev3, 0);
    ASSERT_TRUE(draw(r, pic.data(), d));
    uint32_t w, h;
    ctxs().get_size(ctx_, &w, &h);
    EXPECT_EQ(w, 120u);
    EXPECT_EQ(h, 90u);
    // A removed device is seen at present too.
    static_cast<ID3D12Device *>(dev3)->AddRef();
    static_cast<ID3D12Device *>(dev3)->remove(DXGI_ERROR_DEVICE_RESET);
    ASSERT_NE(ctxs().get_surface(ctx_), nullptr);
    ctxs().present(ctx_);
    EXPECT_TRUE(
        log.contains("vko_d3d12_ctx_present: 'IDXGISwapChain3_Present' failed with HRESULT 0x887A0007"));
    EXPECT_NE(ctxs().get_device(ctx_), dev3);
    frames().destroy(&r, dev3);
    static_cast<ID3D12Device *>(dev3)->Release();
    EXPECT_EQ(d3d12_fault_count(), faults_) << d3d12_last_fault();
}

TEST_F(D3D12Context, EveryCreationFailureIsLoggedAndCleanedUp) {
    struct Step {
        const char *call;
        const char *line;
    };
    const Step steps[] = {
        {"CreateDXGIFactory2", "'CreateDXGIFactory2' failed with HRESULT 0x80004005"},
        {"D3D12CreateDevice", "'D3D12CreateDevice' failed with HRESULT 0x80004005"},
        {"ID3D12Device_CreateCommandQueue",
         "'ID3D12Device_CreateCommandQueue' failed with HRESULT 0x80004005"},
        {"ID3D12Device_CreateCommandAllocator",
         "'ID3D12Device_CreateCommandAllocator' failed with HRESULT 0x80004005"},
        {"ID3D12Device_CreateCommandList", "'ID3D12Device_CreateCommandList' failed with HRESULT 0x80004005"},
        {"ID3D12Device_CreateDescriptorHeap",
         "'ID3D12Device_CreateDescriptorHeap' failed with HRESULT 0x80004005"},
        {"ID3D12Device_CreateFence", "'ID3D12Device_CreateFence' failed with HRESULT 0x80004005"},
        {"ID3D12CommandQueue_QueryInterface",
         "'ID3D12CommandQueue_QueryInterface' failed with HRESULT 0x80004005"},
        {"IDXGIFactory2_CreateSwapChainForHwnd",
         "'IDXGIFactory2_CreateSwapChainForHwnd' failed with HRESULT 0x80004005"},
        {"IDXGISwapChain1_QueryInterface", "'IDXGISwapChain1_QueryInterface' failed with HRESULT 0x80004005"},
        {"IDXGISwapChain_GetFrameLatencyWaitableObject",
         "'IDXGISwapChain3_GetFrameLatencyWaitableObject' failed"},
        {"IDXGISwapChain_SetMaximumFrameLatency",
         "'IDXGISwapChain3_SetMaximumFrameLatency' failed with HRESULT 0x80004005"},
        {"IDXGIFactory2_MakeWindowAssociation",
         "'IDXGIFactory2_MakeWindowAssociation' failed with HRESULT 0x80004005"},
        {"WaitForSingleObjectEx", "'WaitForSingleObjectEx' failed with error 0x80004005"},
    };
    for (const Step &s : steps) {
        LogCapture log;
        d3d_fail(s.call, E_FAIL);
        EXPECT_EQ(ctxs().create(&handle_, true), nullptr) << s.call;
        EXPECT_TRUE(log.contains(std::string("d3d12_core_init: ") + s.line)) << s.call;
        EXPECT_EQ(d3d_live_objects(), live_) << s.call;
        d3d_clear_faults();
    }
    {
        LogCapture log;
        d3d_fail("IDXGISwapChain_GetBuffer", E_FAIL, 1);
        EXPECT_EQ(ctxs().create(&handle_, true), nullptr);
        EXPECT_TRUE(log.contains(
            "d3d12_core_refresh_buffers: 'IDXGISwapChain3_GetBuffer' failed with HRESULT 0x80004005"));
        EXPECT_EQ(d3d_live_objects(), live_);
    }
    // Present's steps, each on a new context: every failure has its line.
    const Step present[] = {
        {"ID3D12GraphicsCommandList_Close",
         "'ID3D12GraphicsCommandList_Close' failed with HRESULT 0x80004005"},
        {"ID3D12GraphicsCommandList_QueryInterface",
         "'ID3D12GraphicsCommandList_QueryInterface' failed with HRESULT 0x80004005"},
        {"ID3D12CommandQueue_Signal", "'ID3D12CommandQueue_Signal' failed with HRESULT 0x80004005"},
        {"ID3D12CommandAllocator_Reset", "'ID3D12CommandAllocator_Reset' failed with HRESULT 0x80004005"},
        {"ID3D12GraphicsCommandList_Reset",
         "'ID3D12GraphicsCommandList_Reset' failed with HRESULT 0x80004005"},
        {"WaitForSingleObjectEx", "'WaitForSingleObjectEx' failed with error 0x80004005"},
    };
    // After each, the next frames draw with every barrier in order (a failed
    // Close drops its frame and the next starts on a clean list; a failed
    // list reset is tried again at the next get surface).
    for (const Step &s : present) {
        ctx_ = ctxs().create(&handle_, false);
        ASSERT_NE(ctx_, nullptr);
        void *r = frames().create(ctxs().get_device(ctx_), 0);
        VKO_RenderDesc d;
        std::vector<uint8_t> pic = make_picture(VKO_COLOR_FORMAT_BGRA, 0, false, &d);
        LogCapture log;
        ASSERT_NE(ctxs().get_surface(ctx_), nullptr) << s.call;
        d3d_fail(s.call, E_FAIL);
        ctxs().present(ctx_);
        EXPECT_TRUE(log.contains(std::string("vko_d3d12_ctx_present: ") + s.line)) << s.call;
        d3d_clear_faults();
        const uint64_t faults = d3d12_fault_count();
        for (int i = 0; i < 3; i++) EXPECT_TRUE(draw(r, pic.data(), d)) << s.call;
        EXPECT_EQ(d3d12_fault_count(), faults) << s.call << ": " << d3d12_last_fault();
        const auto [a, b] = expected(VKO_COLOR_FORMAT_BGRA);
        expect_near(pixel(40, 60), a, 2, std::string(s.call) + " then a frame");
        frames().destroy(&r, ctxs().get_device(ctx_));
        ctxs().destroy(&ctx_);
        EXPECT_EQ(d3d_live_objects(), live_) << s.call;
    }
}

// ---- Pixels against the other rows ----

TEST_F(D3D12Context, AgreesWithDirect3D11AndVulkanPixelForPixel) {
    vulkan_test_env();
    struct Row {
        VKO_GFX api;
        Window win;
        void *ctx, *r;
    };
    Row rows[3] = {{VKO_GFX_D3D12, win_, nullptr, nullptr},
                   {VKO_GFX_D3D11, 0, nullptr, nullptr},
                   {VKO_GFX_VULKAN, 0, nullptr, nullptr}};
    for (int i = 1; i < 3; i++) {
        rows[i].win = XCreateSimpleWindow(dpy_, DefaultRootWindow(dpy_), 200 * i, 0, 160, 120, 0, 0, 0);
        XMapWindow(dpy_, rows[i].win);
    }
    XSync(dpy_, False);
    for (Row &w : rows) {
        VKO_X11Window h = {dpy_, w.win};
        w.ctx = vko_gfx_ctx_apis[w.api].create(&h, true);
        if (w.ctx) w.r = vko_gfx_apis[w.api].create(vko_gfx_ctx_apis[w.api].get_device(w.ctx), 0);
    }
    ASSERT_NE(rows[0].r, nullptr);
    ASSERT_NE(rows[1].r, nullptr);
    for (const PictureCase &c : kPictureCases) {
        VKO_RenderDesc d;
        std::vector<uint8_t> pic = make_picture(c.format, c.chroma, c.lsb, &d);
        d.scale = 1;  // 64x32 at (48, 44), nearest filter
        XImage *img[3] = {};
        for (int i = 0; i < 3; i++) {
            Row &w = rows[i];
            if (!w.ctx) continue;
            const vko_gfx_ctx_api &t = vko_gfx_ctx_apis[w.api];
            void *surface = t.get_surface(w.ctx);
            ASSERT_NE(surface, nullptr);
            VKO_RenderDesc rd = d;
            t.get_size(w.ctx, &rd.view_width, &rd.view_height);
            ASSERT_TRUE(vko_gfx_apis[w.api].render(w.r, t.get_device(w.ctx), t.get_context(w.ctx), pic.data(),
                                                   &rd, surface));
            t.present(w.ctx);
            img[i] = XGetImage(dpy_, w.win, 0, 0, 160, 120, AllPlanes, ZPixmap);
        }
        for (int i = 1; i < 3; i++) {
            if (!img[i]) continue;
            int worst = 0;
            for (int y = 0; y < 120; y++)
                for (int x = 0; x < 160; x++) {
                    const unsigned long p = XGetPixel(img[0], x, y), q = XGetPixel(img[i], x, y);
                    for (int s = 0; s < 24; s += 8)
                        worst = std::max(worst, std::abs(int((p >> s) & 0xFF) - int((q >> s) & 0xFF)));
                }
            EXPECT_LE(worst, 2) << "against " << (i == 1 ? "Direct3D 11" : "Vulkan") << ": format "
                                << c.format << " chroma " << c.chroma << (c.lsb ? " lsb" : "");
        }
        for (XImage *m : img)
            if (m) XDestroyImage(m);
    }
    EXPECT_EQ(d3d12_fault_count(), faults_) << d3d12_last_fault();
    const bool vulkan = rows[2].ctx != nullptr;
    for (int i = 2; i >= 0; i--) {
        Row &w = rows[i];
        if (w.r) vko_gfx_apis[w.api].destroy(&w.r, vko_gfx_ctx_apis[w.api].get_device(w.ctx));
        if (w.ctx) vko_gfx_ctx_apis[w.api].destroy(&w.ctx);
        if (i) XDestroyWindow(dpy_, w.win);
    }
    if (!vulkan) GTEST_SKIP() << "no Vulkan device";
}

// A picture and an overlay drawn through the row into the window, saved as a
// PNG when ZARVEK_SCREENSHOT names a file (to look at).
TEST_F(D3D12Context, Screenshot) {
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
    d.filter = 1;
    void *surface = ctxs().get_surface(ctx_);
    ASSERT_NE(surface, nullptr);
    ctxs().get_size(ctx_, &d.view_width, &d.view_height);
    ASSERT_TRUE(frames().render(r, dev, ctxs().get_context(ctx_), pic.data(), &d, surface));
    UiFrame f;
    const uint8_t white[4] = {255, 255, 255, 160};
    quad(f, 20, 20, 140, 60, white);
    std::vector<uint8_t> px(4 * 4 * 4, 255);
    void *tex = uis().create_texture(ui, dev, px.data(), 4, 4);
    VKO_Hash *map = VKO_HashCreate(8);
    VKO_HashSetInt(map, 1, tex);
    f.c.push_back({{0, 0, 320, 180}, 1, 6, 0, 0});
    f.list = {f.c.data(), f.v.data(), f.i.data(), 1, 1, 4, 4, 6, 6};
    f.data = {320, 180, &f.list, 1, 1, 6, 4, 0};
    ASSERT_TRUE(uis().render(ui, dev, ctxs().get_context(ctx_), &f.data, map, surface));
    ctxs().present(ctx_);
    expect_near(pixel(80, 40), {255, 255, 255}, 120, "overlay");
    EXPECT_EQ(d3d12_fault_count(), faults_) << d3d12_last_fault();
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
