// The encode thread on a real X screen (Xvfb) with the software encoder: what
// a guest receives decodes, settings changed during the stream reach it, and
// a stream whose encoders all fail ends with the encoder code.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "host/display.h"
#include "host/encoder.h"
#include "host/host.h"
#include "platform/json.h"
#include "platform/memory.h"
#include "support/bud_pair.h"
#include "support/encoded_streams.h"
#include "support/xvfb.h"
#include "util/config.h"

// After the test headers: Xlib defines None.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace {

using Bytes = std::vector<uint8_t>;

class Encode : public ::testing::Test {
   protected:
    HostContext *ctx = nullptr;
    HostConfig cfg{};
    BudPair pair;
    BUD *host_link = nullptr;

    void SetUp() override {
        ASSERT_FALSE(xvfb_display(640, 480).empty());
        config_create();
        config_read_host(&cfg);
        config_destroy();
        cfg.video[0].fullFPS = 1;  // a still screen still gives frames
    }
    void start(const HostHooks &hooks, bool via_relay = false) {
        host_set_hooks(&hooks);
        host_create(&cfg, nullptr, nullptr, &ctx);
        ASSERT_TRUE(pair.open(via_relay));
        host_link = pair.host;
        GuestInfo info{};
        info.id = 1;
        info.owner = 1;
        info.mouse = 1;
        TransportRecord *t = proto_create(TRANSPORT_BUD, pair.host, bud_recv, bud_send, bud_close);
        pair.host = nullptr;
        host_on_accept(&info, t, ctx);
        ClientConfig cc{};
        proto_client_config_defaults(&cc);
        char *json = proto_client_config_to_json(&cc, 0, 1920, 1080, 0x8);
        std::string text(json);
        VKO_Free(json);
        Bytes m(PROTO_HEADER_SIZE);
        proto_write_header(m.data(), {static_cast<uint32_t>(text.size() + 1), 0, 0, MSG_CLIENT_CONFIG});
        m.insert(m.end(), text.begin(), text.end());
        m.push_back(0);
        ASSERT_EQ(send_all(pair.client, 0, m), 0);
    }
    void TearDown() override {
        host_destroy(&ctx, 0);
        host_set_hooks(nullptr);
    }
    ControlHeader next_of(uint8_t type) {
        for (;;) {
            Bytes m = recv_one(pair.client, 0, PROTO_RECV_BUFFER);
            if (m.size() < PROTO_HEADER_SIZE) return {0, 0, 0, 255};
            if (m[12] == type) return proto_read_header(m.data());
        }
    }
};

TEST_F(Encode, ScreenReachesTheGuestAndSettingsFollow) {
    start(HostHooks{nullptr, 1, nullptr, nullptr, 0});
    ControlHeader h = next_of(MSG_NEW_ENCODER);
    EXPECT_EQ(h.field0, 0u);
    EXPECT_EQ(h.field1, 1u);
    std::vector<Bytes> frames;
    for (int i = 0; i < 5; i++) {
        Bytes v = recv_one(pair.client, 1, 1 << 22);
        ASSERT_GT(v.size(), 10u);
        EXPECT_EQ(Bytes(v.begin() + 4, v.begin() + 10),
                  (Bytes{0x80, 2, 0xE0, 1, 1, 1}));  // 640x480, rotation 1
        frames.emplace_back(v.begin() + 10, v.end());
    }
    EXPECT_EQ(decode_buffers(frames, false).frames, 5);

    HostConfig changed = cfg;
    changed.video[0].encoderMaxBitrate = 3;
    changed.cg_level = 2;
    host_set_config(ctx, &changed);
    EXPECT_TRUE(eventually([&] { return stream_stats(host_link, 1).ceiling == 3.0f; }));
    EXPECT_TRUE(eventually([&] { return bud_congestion_level(host_link) == 2; }));

    // The guest's pointer, plain and in the compact form (y << 16 | x, stream in a).
    Display *dpy = XOpenDisplay(nullptr);
    auto pointer_at = [&](int want_x, int want_y) {
        return eventually([&] {
            Window r, c;
            int x, y, wx, wy;
            unsigned m;
            XQueryPointer(dpy, DefaultRootWindow(dpy), &r, &c, &x, &y, &wx, &wy, &m);
            return x == want_x && y == want_y;
        });
    };
    for (auto [h, x, y] : {std::tuple{ControlHeader{0, 100, 200, 3}, 100, 200},
                           std::tuple{ControlHeader{0, 40u << 16 | 30u, 0, 26}, 30, 40}}) {
        Bytes m(PROTO_HEADER_SIZE);
        proto_write_header(m.data(), h);
        ASSERT_EQ(send_all(pair.client, 0, m), 0);
        EXPECT_TRUE(pointer_at(x, y));
    }
    XCloseDisplay(dpy);
}

TEST_F(Encode, LastGuestPutsTheDisplayModeBack) {
    ASSERT_EQ(xvfb_run("xrandr --newmode 320x240_60 6.0 320 336 368 400 240 243 247 250 && "
                       "xrandr --addmode screen 320x240_60"),
              0);
    start(HostHooks{[](HostContext *, uint32_t) {}, 1, nullptr, nullptr, 0});
    ASSERT_EQ(next_of(MSG_JOINED).type, MSG_JOINED);
    DisplayMode *saved = display_mode_get("screen");
    ASSERT_NE(saved, nullptr);
    DisplayMode small = *saved;
    small.dmPelsWidth = 320;
    small.dmPelsHeight = 240;
    ASSERT_EQ(display_mode_set("screen", &small), 0);
    Bytes bye(PROTO_HEADER_SIZE);
    proto_write_header(bye.data(), {0, 0, 0, MSG_DISCONNECT});
    ASSERT_EQ(send_all(pair.client, 0, bye), 0);
    EXPECT_TRUE(eventually([&] {
        DisplayMode *now = display_mode_get("screen");
        bool back = now && now->dmPelsWidth == saved->dmPelsWidth && now->dmPelsHeight == saved->dmPelsHeight;
        VKO_Free(now);
        return back;
    }));
    VKO_Free(saved);
}

// Loss, delay and a bandwidth cap between host and guest: the stream goes on
// with the lost pieces sent again.
TEST_F(Encode, StressedLinkKeepsStreaming) {
    start(HostHooks{nullptr, 1, nullptr, nullptr, 0}, true);
    RelayRules rules;
    rules.loss = 0.03;
    rules.delay_us = 10000;
    rules.jitter_us = 3000;
    rules.rate_bps = 400000;
    pair.relay->set_rules(LossyRelay::AtoB, rules);
    std::atomic<bool> run{true};
    std::atomic<uint32_t> frames{0};
    std::thread reader([&] {
        std::vector<uint8_t> buf(1 << 22);
        while (run.load()) {
            uint32_t len = 0;
            if (bud_recv(pair.client, 1, buf.data(), static_cast<uint32_t>(buf.size()), &len, 50) == 0)
                frames++;
            bud_recv(pair.client, 0, buf.data(), static_cast<uint32_t>(buf.size()), &len, 0);
        }
    });
    Display *dpy = XOpenDisplay(nullptr);
    bool recovered = false;
    for (uint32_t i = 0; i < 600 && !recovered; i++) {  // busy pictures for up to about 10 s
        XSetForeground(dpy, DefaultGC(dpy, 0), (i * 2654435761u) & 0xFFFFFF);
        XFillRectangle(dpy, DefaultRootWindow(dpy), DefaultGC(dpy, 0), static_cast<int>(i * 37 % 600), 0, 40,
                       480);
        XFlush(dpy);
        std::this_thread::sleep_for(std::chrono::milliseconds(16));
        BudStreamStats st = stream_stats(host_link, 1);
        recovered = frames.load() > 30 && st.fast_retransmissions + st.slow_retransmissions > 0;
    }
    XCloseDisplay(dpy);
    run.store(false);
    reader.join();
    EXPECT_TRUE(recovered);
}

// Streaming to everybody only when the focused window's program is listed.
TEST_F(Encode, ApplicationClassFromTheWindowsProgram) {
    HostContext *host = nullptr;
    host_set_hooks(nullptr);
    HostHooks hooks{[](HostContext *, uint32_t) {}, 1, nullptr, nullptr, 0};
    host_set_hooks(&hooks);
    host_create(&cfg, nullptr, nullptr, &host);
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    VKO_JSONObjSetItem(host->whitelist.paths, self, VKO_JSONBoolCreate(true));
    Display *dpy = XOpenDisplay(nullptr);
    auto window = [&](bool with_pid) {
        Window w = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 10, 10, 0, 0, 0);
        unsigned long pid = static_cast<unsigned long>(getpid());
        if (with_pid)
            XChangeProperty(dpy, w, XInternAtom(dpy, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                            reinterpret_cast<unsigned char *>(&pid), 1);
        XMapWindow(dpy, w);
        XSync(dpy, False);
        return w;
    };
    Window listed = window(true), unknown = window(false);
    XSetInputFocus(dpy, listed, RevertToParent, CurrentTime);
    XSync(dpy, False);
    EXPECT_EQ(host_foreground_window(), listed);
    EXPECT_EQ(host_app_class(&host->whitelist, listed), 1u);
    EXPECT_EQ(host_app_class(&host->whitelist, unknown), 2u);
    EXPECT_EQ(host_app_class(&host->whitelist, 0), 2u);
    XDestroyWindow(dpy, listed);
    XDestroyWindow(dpy, unknown);
    XCloseDisplay(dpy);
    host_destroy(&host, 0);
}

int32_t failing_init(void **, ID3D11Device *, uint32_t, uint32_t, uint32_t, RateParams *) {
    return -1;
}

TEST_F(Encode, NoEncoderEndsTheStream) {
    static const EncoderApi rows[1] = {
        {nullptr, failing_init, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}};
    start(HostHooks{nullptr, 1, nullptr, rows, 1});
    ControlHeader h = next_of(MSG_DISCONNECT);
    EXPECT_EQ(static_cast<int32_t>(h.field0), ENC_ERR_INIT);
}

}  // namespace
