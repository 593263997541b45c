// The client's decode and draw threads on a real window under Xvfb: every
// unit handed over is decoded before the render says it is idle, a picture is
// on screen, each drawn picture has its timings, a still stream's picture
// fills a resized window on every row, the queue in front of the decoder is
// bounded and drops whole runs up to a key frame, and stopping leaves queued
// units undecoded.
#include "client/render.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/app_harness.h"
#include "platform/gfx/gfx.h"
#include "platform/image.h"
#include "platform/memory.h"
#include "support/encoded_streams.h"
#include "support/log_capture.h"
#include "support/vulkan_env.h"
#include "support/ximage_rgba.h"

#include <X11/Xutil.h>

namespace {

// Waits until the render's stats satisfy done, for at most a minute: a loaded
// machine may run the decoder seconds late.
template <typename Done>
bool wait_stats(ClientRender *r, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done(client_render_stats(r))) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Hands over each unit once the queue has room for it, so none is dropped
// however late the decoder runs; false when the decoder took none for a minute.
bool push_paced(ClientRender *r, const std::vector<EncodedUnit> &units) {
    for (const EncodedUnit &u : units) {
        // Only this thread adds units: room seen here is still there at the push.
        if (!wait_stats(r, [](const ClientRenderStats &s) { return s.queued < CLIENT_RENDER_MAX_QUEUED; }))
            return false;
        client_render_push(r, u.bytes.data(), u.bytes.size());
    }
    return true;
}

class ClientRenderTest : public ::testing::Test {
   protected:
    static void SetUpTestSuite() {
        ASSERT_FALSE(xvfb_display().empty());
        vulkan_test_env();
    }
    void SetUp() override {
        h_ = std::make_unique<AppHarness>();
        VKO_Frame f = {0, 320, 180, "", 0, 0};
        index_ = h_->open_window(&f);
        ASSERT_GE(index_, 0);
    }
    bool wait_idle(ClientRender *r) {
        return wait_stats(r, [](const ClientRenderStats &s) { return s.idle; });
    }
    // Pixels of one row of the window that are not black.
    unsigned long lit_in_row(int y, int width) {
        Display *dpy = XOpenDisplay(nullptr);
        if (!dpy) return 0;
        const Window win = Window(uintptr_t(VKO_WindowGetNative(h_->app, index_)));
        unsigned long lit = 0;
        if (XImage *img = XGetImage(dpy, win, 0, y, width, 1, AllPlanes, ZPixmap)) {
            for (int x = 0; x < width; x++) lit += XGetPixel(img, x, 0) & 0xFFFFFF ? 1 : 0;
            XDestroyImage(img);
        }
        XCloseDisplay(dpy);
        return lit;
    }
    // With ZARVEK_SCREENSHOTS set, the window as a PNG in that folder, to look at.
    void screenshot(const std::string &name) {
        Display *dpy = getenv("ZARVEK_SCREENSHOTS") ? XOpenDisplay(nullptr) : nullptr;
        if (!dpy) return;
        save_screenshot(dpy, uintptr_t(VKO_WindowGetNative(h_->app, index_)), name);
        XCloseDisplay(dpy);
    }
    std::unique_ptr<AppHarness> h_;
    int32_t index_ = -1;
};

// Pushes units as fast as it can; false once a unit is seen waiting beyond the bound.
bool push_all(ClientRender *r, const std::vector<EncodedUnit> &units) {
    bool within = true;
    for (const EncodedUnit &u : units) {
        client_render_push(r, u.bytes.data(), u.bytes.size());
        within = within && client_render_stats(r).queued <= CLIENT_RENDER_MAX_QUEUED;
    }
    return within;
}

TEST_F(ClientRenderTest, DecodesEveryUnitAndShowsAPicture) {
    ClientRender *r = client_render_start(h_->app, index_, VKO_GFX_D3D11, false, 1);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(client_render_api(r), uint32_t(VKO_GFX_D3D11));
    // More units than the queue holds, each pushed once there is room: the
    // decoder may start late, and what does not fit would be dropped.
    const std::vector<EncodedUnit> units = encode_h264(320, 180, CLIENT_RENDER_MAX_QUEUED + 8, 20);
    ASSERT_TRUE(push_paced(r, units)) << "the decoder took nothing for a minute";
    client_render_push(r, nullptr, 0);  // nothing: ignored
    ASSERT_TRUE(wait_idle(r));
    ClientRenderStats s = client_render_stats(r);
    EXPECT_EQ(s.received, units.size());
    EXPECT_EQ(s.dropped, 0u) << "never more than the queue holds";
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

// A still stream (nothing new arrives) in a window that grows: the last
// picture is drawn again into the new size, on every row.
TEST_F(ClientRenderTest, StillPictureFillsTheResizedWindow) {
    const std::vector<EncodedUnit> units = encode_h264(320, 180, 5, 5);
    for (uint32_t api : {uint32_t(VKO_GFX_VULKAN), uint32_t(VKO_GFX_D3D11), uint32_t(VKO_GFX_D3D12)}) {
        SCOPED_TRACE(api);
        const Window win = Window(uintptr_t(VKO_WindowGetNative(h_->app, index_)));
        Display *dpy = XOpenDisplay(nullptr);
        ASSERT_NE(dpy, nullptr);
        XResizeWindow(dpy, win, 320, 180);
        XSync(dpy, False);
        ClientRender *r = client_render_start(h_->app, index_, api, false, 1);
        ASSERT_NE(r, nullptr);
        ASSERT_EQ(client_render_api(r), api);
        for (const EncodedUnit &u : units) client_render_push(r, u.bytes.data(), u.bytes.size());
        ASSERT_TRUE(wait_idle(r));
        const uint64_t drawn = client_render_stats(r).drawn;
        XResizeWindow(dpy, win, 640, 360);
        XSync(dpy, False);
        XCloseDisplay(dpy);
        unsigned long lit = 0;
        for (int i = 0; i < 1000 && lit <= 480; i++) {
            lit = lit_in_row(270, 640);  // below the old picture
            if (lit <= 480) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_GT(lit, 480u) << "the picture fills the new size";
        screenshot("client_render_resized_" + std::to_string(api));
        EXPECT_EQ(client_render_stats(r).drawn, drawn) << "no new picture was drawn, the old one again";
        client_render_stop(&r);
    }
}

// Stop ends the decode thread after the unit in hand: the backlog is left.
// A test thread held up between its pushes and the stop may find the decoder
// has drained the queue meanwhile, so it tries a few times; a stop that
// waits for the backlog never leaves one.
TEST_F(ClientRenderTest, StopLeavesTheBacklogUndecoded) {
    const std::vector<EncodedUnit> units = encode_h264(1280, 720, CLIENT_RENDER_MAX_QUEUED, 1);
    bool left = false;
    for (int attempt = 0; attempt < 5 && !left; attempt++) {
        ClientRender *r = client_render_start(h_->app, index_, VKO_GFX_D3D11, false, 1);
        ASSERT_NE(r, nullptr);
        LogCapture log;
        for (const EncodedUnit &u : units) client_render_push(r, u.bytes.data(), u.bytes.size());
        client_render_stop(&r);
        for (const std::string &line : log.lines())
            left = left || (line.rfind("client_render_stop: ", 0) == 0 &&
                            line.find(" queued units were not decoded") != std::string::npos);
    }
    EXPECT_TRUE(left) << "stopped without decoding what was still queued";
}

// Units arriving faster than they decode: the queue stays within its bound,
// whole runs up to a key frame are dropped (never a picture built on a
// dropped one), and with no key frame to resume from the host is asked for one.
TEST_F(ClientRenderTest, BoundedQueueDropsUpToAKeyFrame) {
    ClientRender *r = client_render_start(h_->app, index_, VKO_GFX_D3D11, false, 1);
    ASSERT_NE(r, nullptr);
    std::atomic<int> asked{0};
    client_render_set_key_request(
        r, [](void *o) { static_cast<std::atomic<int> *>(o)->fetch_add(1); }, &asked);
    uint64_t pushed = 0;

    // Key frames every 10 units: the queue always holds one to resume from.
    // Rounds go on until units were dropped (or for a minute): a pushing
    // thread held up mid-round lets the decoder keep pace for that round.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    const std::vector<EncodedUnit> gops = encode_h264(640, 360, 200, 10);
    while (client_render_stats(r).dropped == 0 && std::chrono::steady_clock::now() < deadline) {
        EXPECT_TRUE(push_all(r, gops));
        pushed += gops.size();
        ASSERT_TRUE(wait_idle(r));
    }
    ClientRenderStats s = client_render_stats(r);
    EXPECT_GT(s.dropped, 0u) << "units arrived faster than they decode";
    EXPECT_EQ(s.received, pushed);
    EXPECT_EQ(s.decoded + s.dropped, s.received) << "every unit decoded into a picture or dropped whole";
    EXPECT_EQ(s.errors, 0u) << "no picture built on a dropped unit";
    EXPECT_EQ(asked.load(), 0) << "a queued key frame was there to resume from";

    // One key frame, then only pictures built on it: once dropping starts
    // nothing can be decoded until a new key frame, so one is asked for.
    const std::vector<EncodedUnit> one_key = encode_h264(1280, 720, 120, 1000);
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (asked.load() == 0 && std::chrono::steady_clock::now() < deadline) {
        EXPECT_TRUE(push_all(r, one_key));
        pushed += one_key.size();
        ASSERT_TRUE(wait_idle(r));
    }
    EXPECT_GE(asked.load(), 1);
    // The host's answer: a stream starting with a key frame, decoded again.
    const uint64_t decoded = client_render_stats(r).decoded;
    const std::vector<EncodedUnit> fresh = encode_h264(640, 360, 3, 1000);
    for (const EncodedUnit &u : fresh) client_render_push(r, u.bytes.data(), u.bytes.size());
    pushed += fresh.size();
    ASSERT_TRUE(wait_idle(r));
    s = client_render_stats(r);
    EXPECT_EQ(s.decoded, decoded + fresh.size());
    EXPECT_EQ(s.received, pushed);
    EXPECT_EQ(s.decoded + s.dropped, s.received);
    EXPECT_EQ(s.errors, 0u);
    EXPECT_EQ(s.width, 640u);
    client_render_stop(&r);
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
