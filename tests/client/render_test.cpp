// The client's decode and draw threads on a real window under Xvfb (the
// Direct3D 11 row): every unit handed over is decoded before the render says
// it is idle, a picture is on screen, each drawn picture has its timings, and stopping with units still
// queued ends cleanly.
#include "client/render.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/app_harness.h"
#include "platform/gfx/gfx.h"
#include "support/encoded_streams.h"

#include <X11/Xutil.h>

namespace {

class ClientRenderTest : public ::testing::Test {
   protected:
    static void SetUpTestSuite() { ASSERT_FALSE(xvfb_display().empty()); }
    void SetUp() override {
        h_ = std::make_unique<AppHarness>();
        VKO_Frame f = {0, 320, 180, "", 0, 0};
        index_ = h_->open_window(&f);
        ASSERT_GE(index_, 0);
    }
    bool wait_idle(ClientRender *r) {
        for (int i = 0; i < 1000; i++) {
            if (client_render_stats(r).idle) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    std::unique_ptr<AppHarness> h_;
    int32_t index_ = -1;
};

TEST_F(ClientRenderTest, DecodesEveryUnitAndShowsAPicture) {
    ClientRender *r = client_render_start(h_->app, index_, VKO_GFX_D3D11, false, 1);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(client_render_api(r), uint32_t(VKO_GFX_D3D11));
    const std::vector<EncodedUnit> units = encode_h264(320, 180, 40, 20);
    for (size_t i = 0; i < units.size(); i++) {
        client_render_push(r, units[i].bytes.data(), units[i].bytes.size());
        if (i % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));  // bursts and gaps
    }
    client_render_push(r, nullptr, 0);  // nothing: ignored
    ASSERT_TRUE(wait_idle(r));
    ClientRenderStats s = client_render_stats(r);
    EXPECT_EQ(s.received, units.size());
    EXPECT_EQ(s.decoded, units.size()) << "idle only once every unit is decoded";
    EXPECT_EQ(s.errors, 0u);
    EXPECT_GE(s.drawn, 1u);
    EXPECT_LE(s.drawn, s.decoded);
    EXPECT_EQ(s.width, 320u);
    EXPECT_EQ(s.height, 180u);
    Display *dpy = XOpenDisplay(nullptr);
    ASSERT_NE(dpy, nullptr);
    const Window win = Window(uintptr_t(VKO_WindowGetNative(h_->app, index_)));
    XImage *img = XGetImage(dpy, win, 0, 90, 320, 1, AllPlanes, ZPixmap);
    ASSERT_NE(img, nullptr);
    unsigned long lit = 0;
    for (int x = 0; x < 320; x++) lit += XGetPixel(img, x, 0) & 0xFFFFFF ? 1 : 0;
    XDestroyImage(img);
    XCloseDisplay(dpy);
    EXPECT_GT(lit, 160u) << "the window shows the picture, not black";
    std::vector<float> decode(2048), draw(2048);
    const uint32_t n = client_render_timings(r, decode.data(), draw.data(), 2048);
    EXPECT_EQ(n, s.drawn);
    for (uint32_t i = 0; i < n; i++) {
        EXPECT_GE(decode[i], 0.0f);
        EXPECT_GT(draw[i], 0.0f);
    }
    EXPECT_EQ(client_render_timings(r, decode.data(), draw.data(), 1), n ? 1u : 0u)
        << "at most what was asked";

    // Stopped with units still waiting: both threads end, nothing leaks.
    for (const EncodedUnit &u : units) client_render_push(r, u.bytes.data(), u.bytes.size());
    client_render_stop(&r);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(VKO_WindowGetGFX(h_->app, index_), uint32_t(VKO_GFX_NONE))
        << "the window's graphics are removed";
}

TEST_F(ClientRenderTest, NoGraphicsNoRender) {
    EXPECT_EQ(client_render_start(nullptr, index_, VKO_GFX_D3D11, false, 1), nullptr);
    EXPECT_EQ(client_render_start(h_->app, index_, VKO_GFX_NONE, false, 1), nullptr);
    EXPECT_EQ(client_render_start(h_->app, 9, VKO_GFX_D3D11, false, 1), nullptr) << "no such window";
    ClientRenderStats s = client_render_stats(nullptr);
    EXPECT_EQ(s.received, 0u);
    client_render_push(nullptr, nullptr, 0);
    ClientRender *none = nullptr;
    client_render_stop(&none);
}

}  // namespace
