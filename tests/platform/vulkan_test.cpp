// Vulkan context and renderers on Mesa's CPU device under the test's Xvfb,
// with the Khronos validation layer watching every call: pictures of every
// colour format are drawn into a real X window and read back with XGetImage.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/gfx/gfx.h"
#include "platform/gfx/vk_load.h"
#include "platform/map.h"
#include "support/x_window.h"
#include "support/gfx_pictures.h"
#include "support/temp_dir.h"
#include "support/vulkan_env.h"
#include "support/xvfb.h"

// Xlib after everything else: its macros clash with the test framework.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

// The validation layer's synchronisation checks keep state that outlives
// the last device (the layer's, not ours); Mesa's CPU device and LLVM keep
// per-process state.
extern "C" const char *__lsan_default_suppressions() {
    return "leak:libVkLayer_khronos_validation\nleak:libvulkan_lvp\nleak:libLLVM\n";
}

namespace {

constexpr uint32_t WIN_W = 160, WIN_H = 120;

std::string settings_dir;
std::string validation_log;

class Vulkan : public ::testing::Test {
   protected:
    static void SetUpTestSuite() {
        ASSERT_FALSE(xvfb_display().empty());
        vulkan_test_env();
        static TempDir dir;
        settings_dir = dir.path;
        validation_log = settings_dir + "/validation.txt";
        struct stat st;
        if (stat("/usr/share/vulkan/explicit_layer.d/VkLayer_khronos_validation.json", &st) == 0) {
            std::ofstream(settings_dir + "/vk_layer_settings.txt")
                << "khronos_validation.debug_action = VK_DBG_LAYER_ACTION_LOG_MSG\n"
                << "khronos_validation.report_flags = error,warn\n"
                << "khronos_validation.log_filename = " << validation_log
                << "\n"
                // The driver's own handles: a destroyed view's value coming
                // back for the next view must not be hidden by the layer.
                << "khronos_validation.disables = VK_VALIDATION_FEATURE_DISABLE_UNIQUE_HANDLES_EXT\n"
                // Hazards between commands too, as a GPU would hit them.
                << "khronos_validation.enables = "
                   "VK_VALIDATION_FEATURE_ENABLE_SYNCHRONIZATION_VALIDATION_EXT\n";
            // Held for the whole process, so the leak report can name it.
            static void *layer = dlopen("libVkLayer_khronos_validation.so", RTLD_NOW | RTLD_LOCAL);
            (void)layer;
            setenv("VK_LAYER_SETTINGS_PATH", settings_dir.c_str(), 1);
            setenv("VK_INSTANCE_LAYERS", "VK_LAYER_KHRONOS_validation", 1);
        }
    }

    void SetUp() override {
        dpy_ = XOpenDisplay(nullptr);
        ASSERT_NE(dpy_, nullptr);
        win_ = mapped_window(dpy_, WIN_W, WIN_H);
        handle_ = {dpy_, win_};
        ctx_ = api().create(&handle_, true);
        ASSERT_NE(ctx_, nullptr);
        device_ = api().get_device(ctx_);
    }

    void TearDown() override {
        if (ctx_) api().destroy(&ctx_);
        EXPECT_EQ(ctx_, nullptr);
        EXPECT_EQ(vko_vk_ctx_loader.refs, 0u);
        EXPECT_EQ(vko_vk_frame_loader.refs, 0u);
        EXPECT_EQ(vko_vk_ui_loader.refs, 0u);
        XDestroyWindow(dpy_, win_);
        XCloseDisplay(dpy_);
        std::ifstream log(validation_log);
        std::stringstream text;
        text << log.rdbuf();
        EXPECT_EQ(text.str().find("Validation"), std::string::npos) << text.str();
    }

    static const vko_gfx_ctx_api &api() { return vko_gfx_ctx_apis[VKO_GFX_VULKAN]; }
    static const vko_gfx_api &frames() { return vko_gfx_apis[VKO_GFX_VULKAN]; }
    static const vko_gfx_ui_api &uis() { return vko_gfx_ui_apis[VKO_GFX_VULKAN]; }

    // One frame as the window glue draws it: surface, size, render, present.
    bool draw(void *renderer, const void *image, VKO_RenderDesc desc) {
        void *surface = api().get_surface(ctx_);
        if (!surface) return false;
        api().get_size(ctx_, &desc.view_width, &desc.view_height);
        const bool ok = frames().render(renderer, device_, api().get_context(ctx_), image, &desc, surface);
        api().present(ctx_);
        return ok;
    }

    Rgb pixel(int x, int y) {
        XImage *img = XGetImage(dpy_, win_, x, y, 1, 1, AllPlanes, ZPixmap);
        const unsigned long p = XGetPixel(img, 0, 0);
        XDestroyImage(img);
        return {int((p >> 16) & 0xFF), int((p >> 8) & 0xFF), int(p & 0xFF)};
    }

    // Presentation reaches the X server after the queue is idle: a pixel is
    // read until it holds what is expected or a second has passed.
    void expect_at(int x, int y, Rgb want, int tol, const std::string &what) {
        Rgb got{};
        auto near = [&] {
            return std::abs(got.r - want.r) <= tol && std::abs(got.g - want.g) <= tol &&
                   std::abs(got.b - want.b) <= tol;
        };
        for (int i = 0; i < 100; ++i) {
            got = pixel(x, y);
            if (near()) return;
            usleep(10000);
        }
        EXPECT_TRUE(near()) << what << ": " << got.r << "," << got.g << "," << got.b << " vs " << want.r
                            << "," << want.g << "," << want.b;
    }

    Display *dpy_ = nullptr;
    Window win_ = 0;
    VKO_X11Window handle_{};
    void *ctx_ = nullptr;
    void *device_ = nullptr;
};

TEST_F(Vulkan, EveryFormatDrawsItsColoursLetterboxed) {
    void *r = frames().create(device_, 0);
    ASSERT_NE(r, nullptr);
    for (const PictureCase &c : kPictureCases) {
        VKO_RenderDesc d;
        const std::vector<uint8_t> pic = make_picture(c.format, c.chroma, c.lsb, &d);
        const std::string what = "format " + std::to_string(c.format) + " chroma " +
                                 std::to_string(c.chroma) + (c.lsb ? " lsb" : "");
        ASSERT_TRUE(draw(r, pic.data(), d)) << what;
        // 64x32 in 160x120: 160x80 at y 20.
        const auto [a, b] = expected(c.format);
        expect_at(40, 60, a, 3, what + " left");
        expect_at(120, 60, b, 3, what + " right");
        expect_at(80, 5, {0, 0, 0}, 0, what + " letterbox");
        expect_at(80, 114, {0, 0, 0}, 0, what + " letterbox");
    }
    frames().destroy(&r, device_);
    EXPECT_EQ(r, nullptr);
}

TEST_F(Vulkan, RedrawRotationEffectsAndBlending) {
    void *video = frames().create(device_, 0);
    void *overlay = frames().create(device_, 1);
    ASSERT_NE(video, nullptr);
    ASSERT_NE(overlay, nullptr);
    VKO_RenderDesc d;
    const std::vector<uint8_t> pic = make_picture(VKO_COLOR_FORMAT_BGRA, 0, false, &d);

    // Before any picture, format 0 draws nothing and succeeds.
    VKO_RenderDesc none = d;
    none.format = 0;
    EXPECT_TRUE(draw(video, nullptr, none));

    ASSERT_TRUE(draw(video, pic.data(), d));
    expect_at(40, 60, {255, 0, 0}, 0, "picture");
    // Format 0 draws the previous picture again.
    ASSERT_TRUE(draw(video, nullptr, none));
    expect_at(40, 60, {255, 0, 0}, 0, "redraw");
    expect_at(120, 60, {0, 0, 255}, 0, "redraw");

    // A half turn exchanges the halves.
    VKO_RenderDesc turned = d;
    turned.rotation = 2;
    ASSERT_TRUE(draw(video, pic.data(), turned));
    expect_at(40, 60, {0, 0, 255}, 0, "half turn");
    // A quarter turn fits 32x64 into the view: 60x120 centred.
    turned.rotation = 1;
    ASSERT_TRUE(draw(video, pic.data(), turned));
    expect_at(40, 60, {0, 0, 0}, 0, "quarter turn letterbox");
    expect_at(80, 30, {255, 0, 0}, 0, "quarter turn top");
    expect_at(80, 90, {0, 0, 255}, 0, "quarter turn bottom");

    // Scanlines on a view under 240 rows: every row is one band, darkened.
    VKO_RenderDesc lines = d;
    lines.effects[0] = VKO_EFFECT_SCANLINE;
    lines.levels[0] = 0.5f;
    ASSERT_TRUE(draw(video, pic.data(), lines));
    expect_at(40, 60, {128, 0, 0}, 1, "scanline");

    // Layer 1 blends a half-transparent picture over layer 0 without clearing.
    std::vector<uint8_t> half(pic);
    for (size_t i = 3; i < half.size(); i += 4) half[i] = 128;
    void *surface = api().get_surface(ctx_);
    ASSERT_NE(surface, nullptr);
    VKO_RenderDesc base = d, over = d;
    api().get_size(ctx_, &base.view_width, &base.view_height);
    over.view_width = base.view_width;
    over.view_height = base.view_height;
    over.rotation = 2;
    over.layer = 1;
    void *cmd = api().get_context(ctx_);
    ASSERT_TRUE(frames().render(video, device_, cmd, pic.data(), &base, surface));
    ASSERT_TRUE(frames().render(overlay, device_, cmd, half.data(), &over, surface));
    api().present(ctx_);
    expect_at(40, 60, {127, 0, 128}, 2, "blend left");
    expect_at(120, 60, {128, 0, 127}, 2, "blend right");

    // A picture without columns clears and draws nothing.
    VKO_RenderDesc empty = d;
    empty.image_width = 0;
    EXPECT_TRUE(draw(video, pic.data(), empty));
    expect_at(40, 60, {0, 0, 0}, 0, "empty picture");

    frames().destroy(&overlay, device_);
    frames().destroy(&video, device_);
}

TEST_F(Vulkan, StrideChangeAtSameSizeAndResize) {
    void *r = frames().create(device_, 0);
    ASSERT_NE(r, nullptr);
    VKO_RenderDesc d;
    std::vector<uint8_t> pic = make_picture(VKO_COLOR_FORMAT_NV12, 2, false, &d);
    ASSERT_TRUE(draw(r, pic.data(), d));
    // The same picture with a wider stride must not overrun the old staging buffer.
    VKO_RenderDesc wide;
    const uint32_t wide_stride = 256;
    d.stride = wide_stride;
    wide = d;
    std::vector<uint8_t> big(size_t(wide_stride) * PLANE_H * 3 / 2, 0);
    for (uint32_t y = 0; y < H; ++y) memcpy(&big[y * wide_stride], &pic[y * STRIDE], W);
    for (uint32_t y = 0; y < H / 2; ++y)
        memcpy(&big[wide_stride * PLANE_H + y * wide_stride], &pic[STRIDE * PLANE_H + y * STRIDE], W);
    ASSERT_TRUE(draw(r, big.data(), wide));
    const auto [a, b] = expected(VKO_COLOR_FORMAT_NV12);
    expect_at(40, 60, a, 3, "wide stride");
    expect_at(120, 60, b, 3, "wide stride");

    // A resized window re-makes the swap chain at the next frame.
    XResizeWindow(dpy_, win_, 240, 80);
    XSync(dpy_, False);
    bool drawn = false;
    for (int i = 0; i < 5 && !drawn; ++i) drawn = draw(r, big.data(), wide);
    ASSERT_TRUE(drawn);
    uint32_t w = 0, h = 0;
    api().get_size(ctx_, &w, &h);
    EXPECT_EQ(w, 240u);
    EXPECT_EQ(h, 80u);
    // 64x32 in 240x80: 160x80 at x 40.
    expect_at(20, 40, {0, 0, 0}, 0, "resized letterbox");
    expect_at(80, 40, a, 3, "resized");
    frames().destroy(&r, device_);
}

// A description whose planes are shorter than the picture: the renderer
// would read rows the caller never had, so it refuses, as the Direct3D rows do.
TEST_F(Vulkan, PlanesShorterThanThePictureAreRefused) {
    void *r = frames().create(device_, 0);
    ASSERT_NE(r, nullptr);
    for (uint32_t format : {uint32_t(VKO_COLOR_FORMAT_BGRA), uint32_t(VKO_COLOR_FORMAT_NV12)}) {
        VKO_RenderDesc d;
        const std::vector<uint8_t> pic =
            make_picture(format, format == VKO_COLOR_FORMAT_NV12 ? 2 : 0, false, &d);
        d.plane_height = H / 2;
        uint64_t size = 0;
        for (uint32_t p = 0; p < 2; ++p) {
            uint64_t off;
            uint32_t row, rows;
            if (vko_gfx_plane(&d, p, &off, &row, &rows)) size = off + uint64_t(row) * rows;
        }
        // Exactly what the description says the caller has, on the heap.
        const std::vector<uint8_t> shorter(pic.begin(), pic.begin() + ptrdiff_t(size));
        EXPECT_FALSE(draw(r, shorter.data(), d)) << format;
    }
    frames().destroy(&r, device_);
}

// Layer 0 owns the whole target even before its first picture: format 0
// then clears it, so an earlier frame's contents do not stay on screen.
TEST_F(Vulkan, FormatZeroBeforeAnyPictureStillClears) {
    void *old = frames().create(device_, 0);
    ASSERT_NE(old, nullptr);
    VKO_RenderDesc d;
    const std::vector<uint8_t> pic = make_picture(VKO_COLOR_FORMAT_BGRA, 0, false, &d);
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(draw(old, pic.data(), d));  // every swap-chain image
    expect_at(40, 60, {255, 0, 0}, 0, "picture");
    frames().destroy(&old, device_);
    void *fresh = frames().create(device_, 0);
    ASSERT_NE(fresh, nullptr);
    VKO_RenderDesc none = d;
    none.format = 0;
    EXPECT_TRUE(draw(fresh, nullptr, none));
    expect_at(40, 60, {0, 0, 0}, 0, "cleared");
    expect_at(120, 60, {0, 0, 0}, 0, "cleared");
    frames().destroy(&fresh, device_);
}

TEST_F(Vulkan, OverlayListsWithClipsAndTextures) {
    void *ui = uis().create(device_);
    ASSERT_NE(ui, nullptr);
    const uint8_t white[4 * 4] = {255, 255, 255, 255, 255, 255, 255, 255,
                                  255, 255, 255, 255, 255, 255, 255, 255};
    void *tex = uis().create_texture(ui, device_, white, 2, 2);
    ASSERT_NE(tex, nullptr);
    VKO_Hash *map = VKO_HashCreate(8);
    VKO_HashSetInt(map, 7, tex);

    // One quad over the whole view in green, drawn three times with clips:
    // inside, starting left of and above the view, and wholly outside it.
    VKO_Vtx vtx[4] = {{{0, 0}, {0, 0}, {0, 255, 0, 255}},
                      {{160, 0}, {1, 0}, {0, 255, 0, 255}},
                      {{160, 120}, {1, 1}, {0, 255, 0, 255}},
                      {{0, 120}, {0, 1}, {0, 255, 0, 255}}};
    uint16_t idx[6] = {0, 1, 2, 2, 3, 0};
    VKO_Cmd cmds[3] = {
        {{100, 60, 140, 100}, 7, 6, 0, 0}, {{-30, -40, 20, 30}, 7, 6, 0, 0}, {{170, 0, 200, 50}, 7, 6, 0, 0}};
    VKO_CmdList list{cmds, vtx, idx, 3, 3, 4, 4, 6, 6};
    VKO_DrawData data{float(WIN_W), float(WIN_H), &list, 1, 1, 6, 4, 1};

    void *surface = api().get_surface(ctx_);
    ASSERT_NE(surface, nullptr);
    ASSERT_TRUE(uis().render(ui, device_, api().get_context(ctx_), &data, map, surface));
    api().present(ctx_);
    expect_at(120, 80, {0, 255, 0}, 0, "inside the clip");
    expect_at(10, 10, {0, 255, 0}, 0, "clip clamped at the edge");
    expect_at(60, 10, {0, 0, 0}, 0, "outside every clip");
    expect_at(150, 20, {0, 0, 0}, 0, "clip beyond the view");

    // Bad draw data is refused, not drawn.
    VKO_DrawData none = data;
    none.display_width = 0;
    surface = api().get_surface(ctx_);
    EXPECT_FALSE(uis().render(ui, device_, api().get_context(ctx_), &none, map, surface));
    // A display no framebuffer can have: its render area would not fit an integer.
    for (float huge : {1e10f, INFINITY}) {
        none = data;
        none.display_height = huge;
        EXPECT_FALSE(uis().render(ui, device_, api().get_context(ctx_), &none, map, surface)) << huge;
    }
    api().present(ctx_);

    uis().destroy_texture(ui, &tex, device_);
    EXPECT_EQ(tex, nullptr);
    VKO_HashDestroy(&map, nullptr);
    uis().destroy(&ui, device_);
    EXPECT_EQ(ui, nullptr);
}

TEST(VulkanLoader, AMissingFunctionLeavesNothingLoaded) {
    setenv("ZARVEK_SO_PATH", ZARVEK_VKSTUB_DIR, 1);
    vko_vk_loader l{};
    EXPECT_FALSE(vko_vk_load(&l));
    EXPECT_EQ(l.refs, 0u);
    EXPECT_EQ(l.module, nullptr);
    const std::string stub = std::string(ZARVEK_VKSTUB_DIR) + "/libvulkan.so.1";
    EXPECT_EQ(dlopen(stub.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
    unsetenv("ZARVEK_SO_PATH");

    // The real loader: references balance, and the last release unloads.
    ASSERT_TRUE(vko_vk_load(&l));
    ASSERT_TRUE(vko_vk_load(&l));
    EXPECT_EQ(l.refs, 2u);
    vko_vk_release(&l);
    EXPECT_NE(l.module, nullptr);
    vko_vk_release(&l);
    EXPECT_EQ(l.refs, 0u);
    EXPECT_EQ(l.module, nullptr);
    vko_vk_release(&l);  // one release too many changes nothing
    EXPECT_EQ(l.refs, 0u);
}

}  // namespace
