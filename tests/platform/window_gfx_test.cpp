// A window's graphics through the app object: the interface choice and its
// fallbacks, a picture letterboxed into the window, layers, overlay textures
// kept per device, all read back from the real X window.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "compat/d3d/d3d.h"
#include "compat/d3d/d3d12.h"
#include "platform/gfx/gfx.h"
#include "platform/gfx/vk_load.h"
#include "platform/image.h"
#include "platform/memory.h"
#include "support/temp_dir.h"
#include "support/vulkan_env.h"
#include "support/ximage_rgba.h"
#include "platform/app_harness.h"

#include <X11/Xutil.h>

namespace {

// A white 2x2 overlay texture, and the overlay that draws it as texture 3
// tinted green over the square (100, 100)-(300, 300).
const uint8_t white[16] = {255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255};
struct GreenSquareUi {
    VKO_Vtx vtx[4] = {{{100, 100}, {0, 0}, {0, 255, 0, 255}},
                      {{300, 100}, {1, 0}, {0, 255, 0, 255}},
                      {{300, 300}, {1, 1}, {0, 255, 0, 255}},
                      {{100, 300}, {0, 1}, {0, 255, 0, 255}}};
    uint16_t idx[6] = {0, 1, 2, 2, 3, 0};
    VKO_Cmd cmd{{0, 0, 1000, 1000}, 3, 6, 0, 0};
    VKO_CmdList list{&cmd, vtx, idx, 1, 1, 4, 4, 6, 6};
    // The display size is the window's whatever the overlay says.
    VKO_DrawData ui{1.0f, 1.0f, &list, 1, 1, 6, 4, 0};

    GreenSquareUi() = default;
    GreenSquareUi(const GreenSquareUi &) = delete;
    GreenSquareUi &operator=(const GreenSquareUi &) = delete;
};

struct Pixel {
    int r, g, b;
    bool operator==(const Pixel &o) const { return r == o.r && g == o.g && b == o.b; }
};

class WindowGfx : public ::testing::Test {
   protected:
    static void SetUpTestSuite() {
        ASSERT_FALSE(xvfb_display().empty());
        vulkan_test_env();
    }
    void SetUp() override {
        h_ = std::make_unique<AppHarness>();
        VKO_Frame f = {0, 1000, 1000, "", 0, 0};
        index_ = h_->open_window(&f);
        ASSERT_GE(index_, 0);
        reader_ = XOpenDisplay(nullptr);
        ASSERT_NE(reader_, nullptr);
    }
    void TearDown() override {
        XCloseDisplay(reader_);
        h_.reset();
        EXPECT_EQ(vko_vk_ctx_loader.refs, 0u);
        EXPECT_EQ(vko_vk_frame_loader.refs, 0u);
        EXPECT_EQ(vko_vk_ui_loader.refs, 0u);
    }
    Pixel pixel(int x, int y) {
        const Window win = Window(uintptr_t(VKO_WindowGetNative(h_->app, index_)));
        XImage *img = XGetImage(reader_, win, x, y, 1, 1, AllPlanes, ZPixmap);
        if (!img) return {-1, -1, -1};
        const unsigned long p = XGetPixel(img, 0, 0);
        XDestroyImage(img);
        return {int((p >> 16) & 0xFF), int((p >> 8) & 0xFF), int(p & 0xFF)};
    }

    // Presentation reaches the X server after the queue is idle: a pixel is
    // read until it holds what is expected or a second has passed.
    Pixel pixel_when(int x, int y, const std::function<bool(const Pixel &)> &ok) {
        Pixel p{};
        for (int i = 0; i < 100; ++i) {
            p = pixel(x, y);
            if (ok(p)) break;
            usleep(10000);
        }
        return p;
    }
    Pixel pixel_is(int x, int y, Pixel want) {
        return pixel_when(x, y, [&](const Pixel &p) { return p == want; });
    }

    // With ZARVEK_SCREENSHOTS set, the window as a PNG in that folder, to look at.
    void screenshot(const char *name) {
        save_screenshot(reader_, uintptr_t(VKO_WindowGetNative(h_->app, index_)), name);
    }

    std::unique_ptr<AppHarness> h_;
    int32_t index_ = -1;
    Display *reader_ = nullptr;
};

VKO_RenderDesc solid_bgra(std::vector<uint8_t> *pixels, uint32_t w, uint32_t h, uint8_t r, uint8_t g,
                          uint8_t b, uint8_t a = 255) {
    pixels->resize(size_t(w) * h * 4);
    for (size_t i = 0; i < pixels->size(); i += 4) {
        (*pixels)[i] = b;
        (*pixels)[i + 1] = g;
        (*pixels)[i + 2] = r;
        (*pixels)[i + 3] = a;
    }
    VKO_RenderDesc d{};
    d.format = VKO_COLOR_FORMAT_BGRA;
    d.stride = w;
    d.plane_height = h;
    d.image_width = w;
    d.image_height = h;
    return d;
}

TEST_F(WindowGfx, InterfaceChoiceAndFallbacks) {
    EXPECT_EQ(VKO_WindowGetGFX(h_->app, index_), uint32_t(VKO_GFX_NONE));
    EXPECT_FALSE(VKO_WindowSetGFX(h_->app, index_, VKO_GFX_NONE, true));
    EXPECT_FALSE(VKO_WindowSetGFX(h_->app, 7, VKO_GFX_VULKAN, true)) << "no such window";
    ASSERT_TRUE(VKO_WindowSetGFX(h_->app, index_, VKO_GFX_VULKAN, true));
    EXPECT_EQ(VKO_WindowGetGFX(h_->app, index_), uint32_t(VKO_GFX_VULKAN));
    // OpenGL and Metal mean Direct3D 11; Direct3D 12 falls back to it once.
    const bool d3d11 = vko_gfx_ctx_apis[VKO_GFX_D3D11].create != nullptr;
    for (uint32_t api : {uint32_t(VKO_GFX_OPENGL), uint32_t(VKO_GFX_METAL), 9u}) {
        EXPECT_EQ(VKO_WindowSetGFX(h_->app, index_, api, true), d3d11) << api;
        EXPECT_EQ(VKO_WindowGetGFX(h_->app, index_), d3d11 ? uint32_t(VKO_GFX_D3D11) : 0u) << api;
    }
    // Calls on a window without graphics do nothing.
    VKO_WindowSetGFX(h_->app, index_, VKO_GFX_NONE, false);
    std::vector<uint8_t> px;
    VKO_RenderDesc d = solid_bgra(&px, 4, 4, 255, 0, 0);
    VKO_WindowDrawQuad(h_->app, index_, px.data(), &d);
    VKO_WindowPresent(h_->app, index_);
    EXPECT_FALSE(VKO_WindowSetUITexture(h_->app, index_, 1, px.data(), 2, 2));
    // A window destroyed with graphics attached releases them.
    ASSERT_TRUE(VKO_WindowSetGFX(h_->app, index_, VKO_GFX_VULKAN, false));
    VKO_WindowDestroy(h_->app, index_);
    EXPECT_EQ(vko_vk_ctx_loader.refs, 0u);
}

TEST_F(WindowGfx, PictureLetterboxedLayersAndTextures) {
    ASSERT_TRUE(VKO_WindowSetGFX(h_->app, index_, VKO_GFX_VULKAN, true));
    std::vector<uint8_t> red, half_blue;
    const VKO_RenderDesc video = solid_bgra(&red, 1920, 1080, 255, 0, 0);
    VKO_RenderDesc overlay = solid_bgra(&half_blue, 1920, 1080, 0, 0, 255, 128);
    overlay.layer = 1;
    VKO_RenderDesc ignored = overlay;
    ignored.layer = 2;

    VKO_WindowDrawQuad(h_->app, index_, red.data(), &video);
    VKO_WindowDrawQuad(h_->app, index_, half_blue.data(), &ignored);  // no renderer for layer 2
    VKO_WindowPresent(h_->app, index_);
    // 1920x1080 into 1000x1000: 1000x563 at y 219.
    EXPECT_EQ(pixel_is(500, 218, Pixel{0, 0, 0}), (Pixel{0, 0, 0}));
    EXPECT_EQ(pixel_is(500, 219, Pixel{255, 0, 0}), (Pixel{255, 0, 0}));
    EXPECT_EQ(pixel_is(500, 781, Pixel{255, 0, 0}), (Pixel{255, 0, 0}));
    EXPECT_EQ(pixel_is(500, 782, Pixel{0, 0, 0}), (Pixel{0, 0, 0}));

    VKO_WindowDrawQuad(h_->app, index_, red.data(), &video);
    VKO_WindowDrawQuad(h_->app, index_, half_blue.data(), &overlay);
    VKO_WindowPresent(h_->app, index_);
    const Pixel blended = pixel_when(500, 500, [](const Pixel &p) { return p.b > 100; });
    EXPECT_NEAR(blended.r, 127, 2);
    EXPECT_NEAR(blended.b, 128, 2);

    // Overlay textures: NULL pixels remove, the map follows the context.
    EXPECT_FALSE(VKO_WindowSetUITexture(h_->app, index_, 3, nullptr, 0, 0));
    EXPECT_TRUE(VKO_WindowSetUITexture(h_->app, index_, 3, white, 2, 2));
    EXPECT_TRUE(VKO_WindowHasUITexture(h_->app, index_, 3));
    GreenSquareUi green;
    VKO_WindowDrawQuad(h_->app, index_, red.data(), &video);
    VKO_WindowDrawUI(h_->app, index_, &green.ui);
    VKO_WindowPresent(h_->app, index_);
    EXPECT_EQ(pixel_is(200, 250, Pixel{0, 255, 0}), (Pixel{0, 255, 0}));
    EXPECT_EQ(pixel_is(400, 250, Pixel{255, 0, 0}), (Pixel{255, 0, 0}));
    screenshot("window_gfx_vulkan");
    // An overlay with nothing to draw still clears when asked.
    VKO_CmdList empty{nullptr, nullptr, nullptr, 0, 0, 0, 0, 0, 0};
    VKO_DrawData clear_only{1.0f, 1.0f, &empty, 1, 1, 0, 0, 1};
    VKO_WindowDrawQuad(h_->app, index_, red.data(), &video);
    VKO_WindowDrawUI(h_->app, index_, &clear_only);
    VKO_WindowPresent(h_->app, index_);
    EXPECT_EQ(pixel_is(500, 500, Pixel{0, 0, 0}), (Pixel{0, 0, 0}));
    EXPECT_FALSE(VKO_WindowSetUITexture(h_->app, index_, 3, nullptr, 0, 0));
    EXPECT_FALSE(VKO_WindowHasUITexture(h_->app, index_, 3));

    EXPECT_TRUE(VKO_WindowSetUITexture(h_->app, index_, 4, white, 2, 2));
    ASSERT_TRUE(VKO_WindowSetGFX(h_->app, index_, VKO_GFX_VULKAN, false));
    EXPECT_FALSE(VKO_WindowHasUITexture(h_->app, index_, 4)) << "a new context starts without textures";
    VKO_WindowSetGFX(h_->app, index_, VKO_GFX_NONE, false);
}

// The Direct3D 12 row through the glue: picture, blended overlay layer and an
// overlay texture; when its context cannot be made, Direct3D 11 once.
TEST_F(WindowGfx, Direct3D12RowAndItsOneFallback) {
    ASSERT_TRUE(VKO_WindowSetGFX(h_->app, index_, VKO_GFX_D3D12, true));
    EXPECT_EQ(VKO_WindowGetGFX(h_->app, index_), uint32_t(VKO_GFX_D3D12));
    std::vector<uint8_t> red, half_blue;
    const VKO_RenderDesc video = solid_bgra(&red, 1920, 1080, 255, 0, 0);
    VKO_RenderDesc overlay = solid_bgra(&half_blue, 1920, 1080, 0, 0, 255, 128);
    overlay.layer = 1;
    VKO_WindowDrawQuad(h_->app, index_, red.data(), &video);
    VKO_WindowDrawQuad(h_->app, index_, half_blue.data(), &overlay);
    VKO_WindowPresent(h_->app, index_);
    EXPECT_EQ(pixel_is(500, 218, Pixel{0, 0, 0}), (Pixel{0, 0, 0}));
    const Pixel blended = pixel_when(500, 500, [](const Pixel &p) { return p.b > 100; });
    EXPECT_NEAR(blended.r, 127, 2);
    EXPECT_NEAR(blended.b, 128, 2);
    EXPECT_TRUE(VKO_WindowSetUITexture(h_->app, index_, 3, white, 2, 2));
    GreenSquareUi green;
    VKO_WindowDrawQuad(h_->app, index_, red.data(), &video);
    VKO_WindowDrawUI(h_->app, index_, &green.ui);
    VKO_WindowPresent(h_->app, index_);
    EXPECT_EQ(pixel_is(200, 250, Pixel{0, 255, 0}), (Pixel{0, 255, 0}));
    EXPECT_EQ(pixel_is(400, 250, Pixel{255, 0, 0}), (Pixel{255, 0, 0}));
    screenshot("window_gfx_d3d12");

    d3d_fail("D3D12CreateDevice", E_FAIL);
    ASSERT_TRUE(VKO_WindowSetGFX(h_->app, index_, VKO_GFX_D3D12, true));
    EXPECT_EQ(VKO_WindowGetGFX(h_->app, index_), uint32_t(VKO_GFX_D3D11));
    d3d_fail("D3D12CreateDevice", E_FAIL);
    d3d_fail("D3D11CreateDevice", E_FAIL);
    EXPECT_FALSE(VKO_WindowSetGFX(h_->app, index_, VKO_GFX_D3D12, true));
    EXPECT_EQ(VKO_WindowGetGFX(h_->app, index_), uint32_t(VKO_GFX_NONE));
    d3d_clear_faults();
}

// A texture replaced and another removed after the overlay was drawn, before
// the present: the frame still draws with the ones it was recorded with.
TEST_F(WindowGfx, OverlayTextureGoneBeforeThePresentIsStillDrawn) {
    for (uint32_t api : {uint32_t(VKO_GFX_VULKAN), uint32_t(VKO_GFX_D3D12)}) {
        ASSERT_TRUE(VKO_WindowSetGFX(h_->app, index_, api, true)) << api;
        const uint64_t faults = d3d12_fault_count();
        std::vector<uint8_t> red;
        const VKO_RenderDesc video = solid_bgra(&red, 64, 64, 255, 0, 0);
        const uint8_t black[16] = {0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255};
        for (int round = 0; round < 2; round++) {
            ASSERT_TRUE(VKO_WindowSetUITexture(h_->app, index_, 3, white, 2, 2));
            GreenSquareUi green;
            VKO_WindowDrawQuad(h_->app, index_, red.data(), &video);
            VKO_WindowDrawUI(h_->app, index_, &green.ui);
            if (round == 0)
                EXPECT_TRUE(VKO_WindowSetUITexture(h_->app, index_, 3, black, 2, 2));
            else
                EXPECT_FALSE(VKO_WindowSetUITexture(h_->app, index_, 3, nullptr, 0, 0));
            VKO_WindowPresent(h_->app, index_);
            EXPECT_EQ(pixel_is(200, 250, Pixel{0, 255, 0}), (Pixel{0, 255, 0})) << api << " round " << round;
            // The next frame draws what the map holds now.
            VKO_WindowDrawQuad(h_->app, index_, red.data(), &video);
            VKO_WindowDrawUI(h_->app, index_, &green.ui);
            VKO_WindowPresent(h_->app, index_);
            const Pixel now = round == 0 ? Pixel{0, 0, 0} : Pixel{255, 0, 0};  // black texture, or none
            EXPECT_EQ(pixel_is(200, 250, now), now) << api << " round " << round;
        }
        EXPECT_EQ(d3d12_fault_count(), faults) << d3d12_last_fault();
        VKO_WindowSetGFX(h_->app, index_, VKO_GFX_NONE, false);
    }
}

// The server of a window with graphics goes away: drawing into it fails
// quietly and the process lives on; the app's loop lets its other window go
// at once, but this one, which the drawing thread reaches its graphics
// through, only once they are detached.
TEST(WindowGfxLostServer, TheWindowStaysUntilItsGraphicsAreDetached) {
    XvfbServer server = xvfb_start_other({}, 320, 240);
    if (server.display.empty()) GTEST_SKIP() << "no second Xvfb";
    const std::string display = getenv("DISPLAY") ? getenv("DISPLAY") : "";
    setenv("DISPLAY", server.display.c_str(), 1);
    AppHarness h;
    setenv("DISPLAY", display.c_str(), 1);
    ASSERT_NE(h.app, nullptr);
    VKO_Frame f = {0, 160, 120, "", 0, 0};
    ASSERT_EQ(VKO_WindowCreate(h.app, "drawn", &f, 0), 0);
    ASSERT_EQ(VKO_WindowCreate(h.app, "plain", &f, 1), 1);
    ASSERT_TRUE(VKO_WindowSetGFX(h.app, 0, VKO_GFX_D3D11, false));
    std::vector<uint8_t> red;
    const VKO_RenderDesc video = solid_bgra(&red, 64, 64, 255, 0, 0);
    xvfb_stop(&server);
    ASSERT_TRUE(h.pump_until([&] { return !VKO_WindowExists(h.app, 1); }));
    EXPECT_TRUE(VKO_WindowExists(h.app, 0));
    VKO_WindowDrawQuad(h.app, 0, red.data(), &video);
    VKO_WindowPresent(h.app, 0);
    EXPECT_FALSE(VKO_WindowSetGFX(h.app, 0, VKO_GFX_NONE, false));
    EXPECT_TRUE(h.pump_until([&] { return !VKO_WindowExists(h.app, 0); }));
}

}  // namespace
