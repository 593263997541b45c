// The host session on a private X screen (Xvfb): what guests receive of the
// painted screen (decoded by libavcodec, the MP4 form demuxed by
// libavformat), how capture failures and congestion reach them, the
// application class of windows whose ids X hands on, and the display modes
// the session leaves behind.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "compat/session/session.h"
#include "host/capture.h"
#include "host/display.h"
#include "host/encoder.h"
#include "host/host.h"
#include "host/input.h"
#include "platform/json.h"
#include "platform/map.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "support/bud_pair.h"
#include "support/temp_dir.h"
#include "support/xvfb.h"
#include "util/config.h"
#include "vdev/vdev.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

// After the test headers: Xlib defines None.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using Bytes = std::vector<uint8_t>;

struct Peer {
    BudPair pair;
    BUD *host_link = nullptr;

    void send(ControlHeader h, const std::string &payload = "") {
        Bytes m(PROTO_HEADER_SIZE);
        proto_write_header(m.data(), h);
        m.insert(m.end(), payload.begin(), payload.end());
        ASSERT_EQ(send_all(pair.client, 0, m), 0);
    }
    // The host's next control message of the type (255 when the link failed).
    ControlHeader next_of(uint8_t type) {
        for (;;) {
            Bytes m = recv_one(pair.client, 0, PROTO_RECV_BUFFER);
            if (m.size() < PROTO_HEADER_SIZE) return {0, 0, 0, 255};
            if (m[12] == type) return proto_read_header(m.data());
        }
    }
    // The next video message of stream 0: prefix and payload.
    Bytes frame() { return recv_one(pair.client, 1, 1 << 22); }
};

class HostDesktop : public ::testing::Test {
   protected:
    HostContext *ctx = nullptr;
    HostConfig cfg{};
    std::vector<std::unique_ptr<Peer>> peers;  // outlive the host

    void SetUp() override {
        ASSERT_FALSE(xvfb_display(640, 480).empty());
        config_create();
        config_read_host(&cfg);
        config_destroy();
        cfg.video[0].fullFPS = 1;  // a still screen still gives frames
    }
    void TearDown() override {
        host_destroy(&ctx, 0);
        peers.clear();
        host_set_hooks(nullptr);
    }
    void start(const HostHooks &hooks) {
        host_set_hooks(&hooks);
        host_create(&cfg, nullptr, nullptr, &ctx);
    }
    Peer *join(uint32_t id, bool owner, int container = 0, bool via_relay = false) {
        Peer *p = peers.emplace_back(std::make_unique<Peer>()).get();
        EXPECT_TRUE(p->pair.open(via_relay));
        p->host_link = p->pair.host;
        GuestInfo info{};
        info.id = id;
        info.userID = id + 1000;
        info.owner = owner;
        info.mouse = 1;
        TransportRecord *t = proto_create(TRANSPORT_BUD, p->pair.host, bud_recv, bud_send, bud_close);
        p->pair.host = nullptr;
        host_on_accept(&info, t, ctx);
        ClientConfig cc{};
        proto_client_config_defaults(&cc);
        cc.video_container = container;
        char *json = proto_client_config_to_json(&cc, 0, 1920, 1080, 0x8);
        std::string text(json);
        VKO_Free(json);
        p->send({static_cast<uint32_t>(text.size() + 1), 0, 0, MSG_CLIENT_CONFIG}, text + '\0');
        EXPECT_EQ(p->next_of(MSG_JOINED).type, MSG_JOINED);
        return p;
    }
    void leave(Peer *p) {
        p->send({0, 0, 0, MSG_DISCONNECT});
        ASSERT_TRUE(eventually([&] { return ctx->guest_count.load() == 0 && host_busy_slots(ctx) == 0; }));
    }
};

// A 320x240 mode on the screen's output; the server keeps it for the tests after.
int add_mode_320x240() {
    return xvfb_run(
        "xrandr | grep -q ' 320x240_60 ' || { xrandr --newmode 320x240_60 6.0 320 336 368 400 240 "
        "243 247 250 && xrandr --addmode screen 320x240_60; }");
}

// Paints four quadrants of the X screen in colours that survive 4:2:0 coding.
struct Rgb {
    int r, g, b;
};
const Rgb kQuadrants[4] = {{230, 30, 30}, {30, 200, 40}, {40, 60, 220}, {240, 240, 240}};

void paint_quadrants(uint32_t w, uint32_t h) {
    Display *dpy = XOpenDisplay(nullptr);
    ASSERT_NE(dpy, nullptr);
    for (int i = 0; i < 4; i++) {
        const Rgb &c = kQuadrants[i];
        XSetForeground(dpy, DefaultGC(dpy, 0), static_cast<unsigned long>(c.r << 16 | c.g << 8 | c.b));
        XFillRectangle(dpy, DefaultRootWindow(dpy), DefaultGC(dpy, 0), static_cast<int>((i % 2) * w / 2),
                       static_cast<int>((i / 2) * h / 2), w / 2, h / 2);
    }
    XSync(dpy, False);
    XCloseDisplay(dpy);
}

// Decodes access units with libavcodec; the last picture as BT.709 limited-range RGB.
struct Picture {
    int width = 0, height = 0;
    std::vector<Rgb> px;
    Rgb at(int x, int y) const { return px[static_cast<size_t>(y * width + x)]; }
};

Picture decode_last(const std::vector<Bytes> &units) {
    Picture out;
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext *dec = avcodec_alloc_context3(codec);
    avcodec_open2(dec, codec, nullptr);
    AVPacket *pkt = av_packet_alloc();
    AVFrame *f = av_frame_alloc();
    auto take = [&] {
        while (avcodec_receive_frame(dec, f) == 0) {
            if (f->format != AV_PIX_FMT_YUV420P) continue;
            out.width = f->width;
            out.height = f->height;
            out.px.resize(static_cast<size_t>(f->width * f->height));
            for (int y = 0; y < f->height; y++)
                for (int x = 0; x < f->width; x++) {
                    double Y = f->data[0][y * f->linesize[0] + x] - 16.0;
                    double U = f->data[1][(y / 2) * f->linesize[1] + x / 2] - 128.0;
                    double V = f->data[2][(y / 2) * f->linesize[2] + x / 2] - 128.0;
                    auto clip = [](double v) { return static_cast<int>(std::min(255.0, std::max(0.0, v))); };
                    out.px[static_cast<size_t>(y * f->width + x)] = {clip(1.164 * Y + 1.793 * V),
                                                                     clip(1.164 * Y - 0.213 * U - 0.533 * V),
                                                                     clip(1.164 * Y + 2.112 * U)};
                }
        }
    };
    for (const Bytes &u : units) {
        av_new_packet(pkt, static_cast<int>(u.size()));
        std::memcpy(pkt->data, u.data(), u.size());
        avcodec_send_packet(dec, pkt);
        av_packet_unref(pkt);
        take();
    }
    avcodec_send_packet(dec, nullptr);
    take();
    av_frame_free(&f);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    return out;
}

bool near(const Rgb &a, const Rgb &b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
           std::abs(a.b - b.b) <= tolerance;
}

// A monitor of odd size is announced (frame prefix, decoded picture) at the
// size the encoder codes, and the decoded picture shows the painted colours.
TEST_F(HostDesktop, PaintedScreenDecodesWithItsColoursAtTheCodedSize) {
    ASSERT_EQ(xvfb_run("xrandr --setmonitor odd 321/100x241/100+0+0 screen"), 0);
    // The server keeps the monitor after its clients leave; later tests capture the whole screen.
    struct DropMonitor {
        ~DropMonitor() { xvfb_run("xrandr --delmonitor odd >/dev/null"); }
    } drop_monitor;
    paint_quadrants(321, 241);
    start(HostHooks{nullptr, 1, nullptr, nullptr, 0});
    Peer *g = join(1, true);
    std::vector<Bytes> units;
    for (int i = 0; i < 8; i++) {
        Bytes v = g->frame();
        ASSERT_GT(v.size(), 10u);
        EXPECT_EQ(Bytes(v.begin() + 4, v.begin() + 10), (Bytes{0x40, 1, 0xF0, 0, 1, 1}));  // 320x240
        units.emplace_back(v.begin() + 10, v.end());
    }
    Picture p = decode_last(units);
    ASSERT_EQ(std::make_pair(p.width, p.height), std::make_pair(320, 240));
    for (int i = 0; i < 4; i++) {
        Rgb got = p.at(80 + (i % 2) * 160, 60 + (i / 2) * 120);
        EXPECT_TRUE(near(got, kQuadrants[i], 12)) << i << ": " << got.r << "," << got.g << "," << got.b;
    }
}

// Capability words changing while the stream runs (run under TSan): each
// change brings the encoder up again and the frames go on.
TEST_F(HostDesktop, CapabilityChangesWhileStreaming) {
    start(HostHooks{nullptr, 1, nullptr, nullptr, 0});
    Peer *g = join(1, true);
    ASSERT_GT(g->frame().size(), 10u);
    for (uint32_t i = 0; i < 20; i++) {
        g->send({0, i % 2 ? 0x8u : 0x18u, 1, MSG_CAPS});
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Frames encoded before the first change was handled still carry the first
    // generation: read until a later one arrives.
    uint32_t generation = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    do {
        Bytes v = g->frame();
        ASSERT_GT(v.size(), 10u);
        std::memcpy(&generation, v.data(), 4);
    } while (generation <= 1 && std::chrono::steady_clock::now() < deadline);
    EXPECT_GT(generation, 1u);
    ASSERT_GT(g->frame().size(), 10u);
}

// The MP4 form: the fragments after the prefix make a stream libavformat reads.
TEST_F(HostDesktop, ContainerStreamDemuxes) {
    paint_quadrants(640, 480);
    start(HostHooks{nullptr, 1, nullptr, nullptr, 0});
    Peer *g = join(1, true, PROTO_CONTAINER_MP4);
    std::string file;
    for (int i = 0; i < 12; i++) {
        Bytes v = g->frame();
        ASSERT_GT(v.size(), 10u);
        EXPECT_EQ(Bytes(v.begin() + 4, v.begin() + 10), (Bytes{0x80, 2, 0xE0, 1, 1, 1}));
        file.append(v.begin() + 10, v.end());
    }
    TempDir dir;
    write_file(dir.file("stream.mp4"), file);
    AVFormatContext *fmt = nullptr;
    ASSERT_EQ(avformat_open_input(&fmt, dir.file("stream.mp4").c_str(), nullptr, nullptr), 0);
    ASSERT_GE(avformat_find_stream_info(fmt, nullptr), 0);
    ASSERT_EQ(fmt->nb_streams, 1u);
    const AVCodecParameters *par = fmt->streams[0]->codecpar;
    EXPECT_EQ(par->codec_id, AV_CODEC_ID_H264);
    EXPECT_EQ(std::make_pair(par->width, par->height), std::make_pair(640, 480));
    AVPacket *pkt = av_packet_alloc();
    int packets = 0, keys = 0;
    int64_t last_dts = INT64_MIN;
    while (av_read_frame(fmt, pkt) == 0) {
        packets++;
        keys += (pkt->flags & AV_PKT_FLAG_KEY) ? 1 : 0;
        EXPECT_GT(pkt->dts, last_dts);
        last_dts = pkt->dts;
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&fmt);
    EXPECT_EQ(packets, 12);
    EXPECT_GE(keys, 1);
}

// A capture that never starts ends stream 0 for its guests with -14003.
int32_t refuse_start(void **, uint8_t, uint8_t, const DisplayOutput *) {
    return -22001;
}

TEST_F(HostDesktop, CaptureThatNeverStartsEndsTheStream) {
    static CaptureApi refusing = capture_dxgi_api;
    refusing.start = refuse_start;
    start(HostHooks{nullptr, 1, &refusing, nullptr, 0});
    Peer *g = join(1, true);
    ControlHeader h = g->next_of(MSG_DISCONNECT);
    EXPECT_EQ(static_cast<int32_t>(h.field0), CAPTURE_ERR_FRAME);
}

// The software encoder behind a recorder of the bitrates it is given.
std::mutex g_rates_mutex;
std::vector<std::pair<float, uint32_t>> g_rates;  // bitrate, congestion events seen so far
std::atomic<BUD *> g_watched{nullptr};

void recording_update(void *handle, RateParams *rp) {
    uint32_t events = 0;
    if (BUD *link = g_watched.load()) events = stream_stats(link, 1).congestion_events;
    {
        std::lock_guard<std::mutex> lock(g_rates_mutex);
        g_rates.emplace_back(rp->bitrate, events);
    }
    mfte_update_bitrate(handle, rp);
}

TEST_F(HostDesktop, BitrateFollowsACongestionEvent) {
    static const EncoderApi rows[1] = {{mfte_destroy, mfte_init, recording_update, nullptr, mfte_encode,
                                        mfte_accepts_rgb, nullptr, mfte_caps}};
    cfg.video[0].encoderMaxBitrate = 2;
    cfg.min_bitrate = 1;
    start(HostHooks{nullptr, 1, nullptr, rows, 1});
    Peer *g = join(1, true, 0, true);
    g_watched.store(g->host_link);
    RelayRules rules;
    rules.delay_us = 20000;
    rules.rate_bps = 400000;
    rules.queue_bytes = 64 * 1024;
    g->pair.relay->set_rules(LossyRelay::AtoB, rules);
    std::atomic<bool> run{true};
    std::thread reader([&] {
        std::vector<uint8_t> buf(1 << 22);
        while (run.load()) {
            uint32_t len = 0;
            bud_recv(g->pair.client, 1, buf.data(), static_cast<uint32_t>(buf.size()), &len, 20);
            bud_recv(g->pair.client, 0, buf.data(), static_cast<uint32_t>(buf.size()), &len, 0);
        }
    });
    // Busy pictures until the bitrate went down after a congestion event.
    // A new congestion event, and the next rate the encoder gets is lower.
    auto lowered = [] {
        std::lock_guard<std::mutex> lock(g_rates_mutex);
        for (size_t i = 1; i < g_rates.size(); i++)
            if (g_rates[i].second > g_rates[i - 1].second && g_rates[i].first < g_rates[i - 1].first * 0.9f)
                return true;
        return false;
    };
    // Noise over the whole screen: the encoder spends all the bitrate it is given.
    Display *dpy = XOpenDisplay(nullptr);
    std::vector<uint32_t> noise(640 * 480 + 4096);
    uint32_t seed = 1;
    for (uint32_t &p : noise) p = (seed = seed * 1664525u + 1013904223u) >> 8;
    XImage *img = XCreateImage(dpy, DefaultVisual(dpy, 0), 24, ZPixmap, 0,
                               reinterpret_cast<char *>(noise.data()), 640, 480, 32, 0);
    bool ok = false;
    for (uint32_t i = 0; i < 1800 && !ok; i++) {                                // up to about 30 s
        img->data = reinterpret_cast<char *>(noise.data() + (i * 997) % 4096);  // a new picture each time
        XPutImage(dpy, DefaultRootWindow(dpy), DefaultGC(dpy, 0), img, 0, 0, 0, 0, 640, 480);
        XFlush(dpy);
        std::this_thread::sleep_for(std::chrono::milliseconds(16));
        ok = lowered();
    }
    img->data = nullptr;  // the vector owns the pixels
    XDestroyImage(img);
    XCloseDisplay(dpy);
    run.store(false);
    reader.join();
    g_watched.store(nullptr);
    std::string seen;
    for (auto [rate, events] : g_rates) seen += std::to_string(rate) + "/" + std::to_string(events) + " ";
    EXPECT_TRUE(ok) << "congestion events: " << stream_stats(g->host_link, 1).congestion_events << ": "
                    << seen;
}

// X gives a closed program's window ids to the next program: the answer for
// the old window must not stick to the new one.
TEST_F(HostDesktop, ApplicationClassEndsWithItsWindow) {
    start(HostHooks{[](HostContext *, uint32_t) {}, 1, nullptr, nullptr, 0});
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    VKO_JSONObjSetItem(ctx->whitelist.paths, self, VKO_JSONBoolCreate(true));
    auto window = [](Display *dpy, unsigned long pid) {
        Window w = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 10, 10, 0, 0, 0);
        XChangeProperty(dpy, w, XInternAtom(dpy, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<unsigned char *>(&pid), 1);
        XSync(dpy, False);
        return w;
    };
    // The listed program: this test. Another: the one that started it.
    Display *first = XOpenDisplay(nullptr);
    Window listed = window(first, static_cast<unsigned long>(getpid()));
    EXPECT_EQ(host_app_class(&ctx->whitelist, listed), 1u);
    XCloseDisplay(first);
    Display *second = nullptr;
    Window reused = 0;
    for (int i = 0; i < 50 && reused != listed; i++) {  // the server frees the old client's ids soon
        if (second) XCloseDisplay(second);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        second = XOpenDisplay(nullptr);
        reused = window(second, static_cast<unsigned long>(getppid()));
    }
    ASSERT_EQ(reused, listed);
    EXPECT_EQ(host_app_class(&ctx->whitelist, reused), 2u);
    EXPECT_EQ(host_app_class(&ctx->whitelist, reused), 2u);
    // Focus through the same connection; a window already gone is not kept.
    XMapWindow(second, reused);
    XSync(second, False);
    XSetInputFocus(second, reused, RevertToParent, CurrentTime);
    XSync(second, False);
    EXPECT_EQ(host_foreground_window(&ctx->whitelist), reused);
    // The cache stays bounded however many windows pass.
    for (uint32_t i = 0; i < HOST_WHITELIST_CACHE_MAX + 50; i++)
        EXPECT_EQ(host_app_class(&ctx->whitelist, window(second, static_cast<unsigned long>(getpid()))), 1u);
    EXPECT_LE(ctx->whitelist.cached, HOST_WHITELIST_CACHE_MAX);
    // A window manager's frame: the program is that of the client window inside.
    Window frame = XCreateSimpleWindow(second, DefaultRootWindow(second), 0, 0, 20, 20, 0, 0, 0);
    Window client = window(second, static_cast<unsigned long>(getpid()));
    XReparentWindow(second, client, frame, 0, 0);
    XSync(second, False);
    EXPECT_EQ(host_app_class(&ctx->whitelist, frame), 1u);
    Window gone = window(second, static_cast<unsigned long>(getpid()));
    XDestroyWindow(second, gone);
    XSync(second, False);
    EXPECT_EQ(host_app_class(&ctx->whitelist, gone), 2u);
    uint32_t cached = ctx->whitelist.cached;
    XCloseDisplay(second);  // every window of the program goes
    EXPECT_EQ(host_app_class(&ctx->whitelist, 12345), 2u);
    EXPECT_LT(ctx->whitelist.cached, cached);
}

// With the whitelist required, a click goes by the program of the window
// under the pointer, not by the focused one: a guest that is not the owner
// clicks only into listed programs' windows.
TEST_F(HostDesktop, ClicksFollowTheWindowUnderThePointer) {
    cfg.require_whitelist = 1;
    cfg.exclusive_input = 0;
    start(HostHooks{[](HostContext *, uint32_t) {}, 1, nullptr, nullptr, 0});
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    VKO_JSONObjSetItem(ctx->whitelist.paths, self, VKO_JSONBoolCreate(true));
    Display *dpy = XOpenDisplay(nullptr);
    auto window = [&](int x, unsigned long pid) {
        XSetWindowAttributes a = {};
        a.override_redirect = True;
        a.event_mask = ButtonPressMask;
        Window w = XCreateWindow(dpy, DefaultRootWindow(dpy), x, 0, 320, 480, 0, CopyFromParent, InputOutput,
                                 CopyFromParent, CWOverrideRedirect | CWEventMask, &a);
        XChangeProperty(dpy, w, XInternAtom(dpy, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<unsigned char *>(&pid), 1);
        XMapRaised(dpy, w);
        return w;
    };
    Window listed = window(0, static_cast<unsigned long>(getpid()));
    Window other = window(320, static_cast<unsigned long>(getppid()));
    XSync(dpy, False);
    Peer *g = join(2, false);
    uint32_t marker = 100;
    auto click_at = [&](int x) {
        XWarpPointer(dpy, None, DefaultRootWindow(dpy), 0, 0, 0, 0, x, 100);
        XSync(dpy, False);
        g->send({1, 1, 0, MSG_MOUSE_BUTTON});
        g->send({1, 0, 0, MSG_MOUSE_BUTTON});
        g->send({0, ++marker, 1, MSG_DISPLAY_SIZE});  // handled after the clicks
        ASSERT_TRUE(eventually([&] {
            VKO_MutexLock(ctx->stream_locks[0]);  // written under it by the guest's thread
            bool done = ctx->streams[0].client_width == marker;
            VKO_MutexUnlock(ctx->stream_locks[0]);
            return done;
        }));
    };
    click_at(400);
    click_at(100);
    XSync(dpy, False);
    std::vector<Window> pressed;
    while (XPending(dpy)) {
        XEvent e;
        XNextEvent(dpy, &e);
        if (e.type == ButtonPress) pressed.push_back(e.xbutton.window);
    }
    EXPECT_EQ(pressed, std::vector<Window>{listed});
    XDestroyWindow(dpy, listed);
    XDestroyWindow(dpy, other);
    XCloseDisplay(dpy);
}

// Modes saved for one session are put back once: a later session that saved
// nothing leaves the local user's choice alone.
TEST_F(HostDesktop, SavedModesAreRestoredOnce) {
    ASSERT_EQ(add_mode_320x240(), 0);
    start(HostHooks{[](HostContext *, uint32_t) {}, 1, nullptr, nullptr, 0});
    DisplayMode *saved = display_mode_get("screen");
    ASSERT_NE(saved, nullptr);
    leave(join(1, true));  // saves and restores
    DisplayMode small = *saved;
    small.dmPelsWidth = 320;
    small.dmPelsHeight = 240;
    ASSERT_EQ(display_mode_set("screen", &small), 0);  // the local user's choice
    leave(join(2, false));                             // saves nothing
    DisplayMode *now = display_mode_get("screen");
    ASSERT_NE(now, nullptr);
    EXPECT_EQ(std::make_pair(now->dmPelsWidth, now->dmPelsHeight), std::make_pair(320u, 240u));
    VKO_Free(now);
    display_mode_set("screen", saved);
    VKO_Free(saved);
}

// The output's mode changing during a session, by the session's settings (a
// resolution, then the output's own again) or by another client: the
// guest's frames follow each new size, and the output's own size is the
// mode it had when the session began, not the one forced since.
TEST_F(HostDesktop, FramesFollowModeChangesAndTheOwnSizeIsTheSessionsFirst) {
    ASSERT_EQ(xvfb_run("xrandr --newmode 320x240_60 6.0 320 336 368 400 240 243 247 250 && "
                       "xrandr --addmode screen 320x240_60 && "
                       "xrandr --newmode 640x480_60 25.175 640 656 752 800 480 490 492 525 && "
                       "xrandr --addmode screen 640x480_60"),
              0);
    DisplayMode *initial = display_mode_get("screen");
    ASSERT_EQ(std::make_pair(initial->dmPelsWidth, initial->dmPelsHeight), std::make_pair(640u, 480u));
    cfg.video[0].encoderFPS = 60;
    start(HostHooks{nullptr, 1, nullptr, nullptr, 0});
    Peer *g = join(1, true);
    // Frames until one has the size (false after 20 s).
    auto reaches = [&](uint16_t w, uint16_t h) {
        const Bytes want = {static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8), static_cast<uint8_t>(h),
                            static_cast<uint8_t>(h >> 8)};
        Bytes buf(1 << 22);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < end) {
            uint32_t len = 0;
            if (bud_recv(g->pair.client, 1, buf.data(), static_cast<uint32_t>(buf.size()), &len, 1000) != 0)
                continue;
            if (len > 10 && Bytes(buf.begin() + 4, buf.begin() + 8) == want) return true;
        }
        return false;
    };
    EXPECT_TRUE(reaches(640, 480));
    HostConfig c = cfg;
    c.video[0].resolutionX = 320;
    c.video[0].resolutionY = 240;
    host_set_config(ctx, &c);
    EXPECT_TRUE(reaches(320, 240));
    DisplayMode mode = *initial;
    mode.dmDisplayFrequency = 60;
    ASSERT_EQ(display_mode_set("screen", &mode), 0);  // another client grows it
    EXPECT_TRUE(reaches(640, 480));
    mode.dmPelsWidth = 320;
    mode.dmPelsHeight = 240;
    ASSERT_EQ(display_mode_set("screen", &mode), 0);  // and shrinks it again
    EXPECT_TRUE(reaches(320, 240));
    c.video[0].resolutionX = c.video[0].resolutionY = 65535;  // the output's own
    host_set_config(ctx, &c);
    EXPECT_TRUE(reaches(640, 480));
    leave(g);
    DisplayMode *now = display_mode_get("screen");
    EXPECT_EQ(std::make_pair(now->dmPelsWidth, now->dmPelsHeight), std::make_pair(640u, 480u));
    VKO_Free(now);
    display_mode_set("screen", initial);
    VKO_Free(initial);
}

// Which output an encode thread takes: the primary when preferred, else the
// named one, else the last used, else the first usable; failed ones never.
TEST_F(HostDesktop, OutputChoice) {
    ASSERT_EQ(xvfb_run("xrandr --setmonitor right 320/100x480/100+320+0 none && "
                       "xrandr --setmonitor left 320/100x480/100+0+0 screen"),
              0);
    OutputList l{};
    l.chosen = -1;
    ASSERT_EQ(host_select_output(&l, "", false), 0);  // none named, none used: the first usable
    ASSERT_EQ(l.count, 2u);
    const int32_t right = l.outputs[0].left == 320 ? 0 : 1, left = 1 - right;
    ASSERT_EQ(l.outputs[left].left, 0);
    std::string right_id = l.outputs[right].id;
    EXPECT_EQ(host_select_output(&l, "", true), left);
    EXPECT_EQ(host_select_output(&l, right_id.c_str(), true), left);
    EXPECT_EQ(host_select_output(&l, right_id.c_str(), false), right);
    EXPECT_STREQ(l.last, right_id.c_str());
    EXPECT_EQ(host_select_output(&l, "gone", false), right);  // the last used
    l.failed[right] = 1;
    EXPECT_EQ(host_select_output(&l, right_id.c_str(), false), left);
    l.failed[left] = 1;
    EXPECT_EQ(host_select_output(&l, "", true), -1);
    // A locked session does not prefer the primary.
    EXPECT_TRUE(host_prefer_primary());
    SessionInfoEx locked{1, WTS_SESSIONSTATE_LOCK, "Console"};
    session_set_info(&locked);
    EXPECT_FALSE(host_prefer_primary());
    session_set_info(nullptr);
}

// With virtual displays made, the owner's session runs at the target
// resolution; after the virtual display client changed the monitors it is
// put back; the last guest leaving restores the saved mode.
TEST_F(HostDesktop, OwnerSessionRunsAtTheTargetResolution) {
    ASSERT_EQ(add_mode_320x240(), 0);
    vdev_set_backend(&vdev_recording_backend);
    vdev_recorder_clear();
    cfg.virtual_monitors = 1;
    cfg.video[0].resolutionX = 320;
    cfg.video[0].resolutionY = 240;
    cfg.video[0].encoderFPS = 60;
    start(HostHooks{[](HostContext *, uint32_t) {}, 1, nullptr, nullptr, 0});
    auto size = [] {
        DisplayMode *m = display_mode_get("screen");
        std::pair<uint32_t, uint32_t> r{m ? m->dmPelsWidth : 0, m ? m->dmPelsHeight : 0};
        VKO_Free(m);
        return r;
    };
    const auto before = size();
    DisplayMode *big = display_mode_get("screen");
    ASSERT_NE(big, nullptr);
    Peer *owner = join(1, true);
    EXPECT_EQ(size(), std::make_pair(320u, 240u));
    ASSERT_EQ(display_mode_set("screen", big), 0);
    VKO_Free(big);
    host_display_mode_reapply(ctx);
    EXPECT_EQ(size(), std::make_pair(320u, 240u));
    leave(owner);
    EXPECT_EQ(size(), before);
    host_destroy(&ctx, 0);
    vdev_set_backend(nullptr);
}

}  // namespace
