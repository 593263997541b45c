// Capture of a private Xvfb's RandR monitors: pixel-exact frames and NV12,
// damage-driven frames and still screens, the cursor image and position,
// the frame pacing of capture_poll with a scripted back-end, and the
// conversion of monochrome and masked pointer shapes on byte arrays.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <tuple>
#include <vector>

#include "host/capture.h"
#include "host/nv12.h"
#include "platform/memory.h"
#include "support/xvfb.h"

namespace {

const uint32_t W = 3840, H = 1200;

uint32_t pattern(uint32_t x, uint32_t y, uint32_t seed) {
    return ((x * 7 + y * 13 + seed) ^ (x * y)) * 2654435761u & 0xFFFFFF;
}

class Capture : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_FALSE(xvfb_display().empty());
        ASSERT_EQ(xvfb_run("xrandr --setmonitor m1 1280/300x1200/300+0+0 screen && "
                           "xrandr --setmonitor m2 1280/300x1200/300+1280+0 none && "
                           "xrandr --setmonitor m3 1280/300x600/300+2560+600 none"),
                  0);
        dpy = XOpenDisplay(nullptr);
        ASSERT_NE(dpy, nullptr);
        ASSERT_EQ(display_adapter_get_all(outputs), 3u);
        paint(0, 0, W, H, 0);
        cursor.assign(CAPTURE_CURSOR_BUFFER, 0);
    }
    void TearDown() override {
        for (void *&h : handles) cap_dxgi_stop(&h);
        if (dpy) XCloseDisplay(dpy);
        xvfb_run("xrandr --delmonitor m3; xrandr --delmonitor m2; xrandr --delmonitor m1");
    }

    // Paints the pattern into a rectangle of the root window.
    void paint(uint32_t x0, uint32_t y0, uint32_t w, uint32_t h, uint32_t seed) {
        char *data = (char *)malloc((size_t)w * h * 4);
        XImage *img = XCreateImage(dpy, DefaultVisual(dpy, 0), 24, ZPixmap, 0, data, w, h, 32, 0);
        for (uint32_t y = 0; y < h; y++)
            for (uint32_t x = 0; x < w; x++) XPutPixel(img, x, y, pattern(x0 + x, y0 + y, seed));
        XPutImage(dpy, DefaultRootWindow(dpy), DefaultGC(dpy, 0), img, 0, 0, x0, y0, w, h);
        XDestroyImage(img);
        XSync(dpy, False);
    }

    void *start(uint32_t output) {
        void *h = nullptr;
        EXPECT_EQ(cap_dxgi_start(&h, 0, 0, &outputs[output]), 0);
        handles.push_back(h);
        return h;
    }

    CaptureFrame poll(void *h, uint32_t timeout, int32_t want = 0) {
        CaptureFrame f = {};
        EXPECT_EQ(cap_dxgi_poll(h, timeout, cursor.data(), &f), want);
        return f;
    }

    Display *dpy = nullptr;
    DisplayOutput outputs[DISPLAY_MAX_OUTPUTS];
    std::vector<void *> handles;
    std::vector<uint8_t> cursor;
};

TEST_F(Capture, EachMonitorIsPixelExactInBgraAndNv12) {
    for (uint32_t i = 0; i < 3; i++) {
        const DisplayOutput &o = outputs[i];
        void *h = start(i);
        CaptureFrame f = poll(h, 1000);
        EXPECT_EQ(f.new_frame, 1);
        EXPECT_EQ(f.rotation, 1u);
        uint16_t w, hh;
        uint32_t fmt;
        cap_dxgi_get_desc(h, &w, &hh, &fmt);
        EXPECT_EQ(std::make_tuple(w, hh, fmt), std::make_tuple((uint16_t)o.width, (uint16_t)o.height, 9u));
        ID3D11Texture2D *tex = (ID3D11Texture2D *)1;
        EXPECT_EQ(cap_dxgi_get_texture(h, CAPTURE_FORMAT_RGBA, &tex), CAPTURE_ERR_TEXTURE);
        EXPECT_EQ(tex, nullptr);
        ASSERT_EQ(cap_dxgi_get_texture(h, CAPTURE_FORMAT_ASIS, &tex), 0);
        std::vector<uint32_t> want(o.width * o.height);
        uint32_t wrong = 0;
        for (uint32_t y = 0; y < o.height; y++)
            for (uint32_t x = 0; x < o.width; x++) {
                want[y * o.width + x] = pattern(o.left + x, o.top + y, 0);
                uint32_t got = *(const uint32_t *)(tex->data() + y * tex->pitch() + x * 4);
                wrong += (got & 0xFFFFFF) != want[y * o.width + x];
            }
        EXPECT_EQ(wrong, 0u) << "monitor " << i;
        ASSERT_EQ(cap_dxgi_get_texture(h, CAPTURE_FORMAT_NV12, &tex), 0);
        Nv12Source src = {(const uint8_t *)want.data(), o.width * 4, o.width, o.height, false, false};
        std::vector<uint8_t> y(o.width * o.height), uv(o.width * o.height / 2);
        nv12_luma(src, y.data(), o.width, o.width, o.height, NV12_ISA_PLAIN);
        nv12_chroma(src, uv.data(), o.width, o.width / 2, o.height / 2, NV12_ISA_PLAIN);
        for (uint32_t r = 0; r < o.height; r++)
            ASSERT_EQ(memcmp(tex->data() + r * tex->pitch(), &y[r * o.width], o.width), 0) << r;
        const uint8_t *tuv = tex->data() + tex->pitch() * o.height;
        for (uint32_t r = 0; r < o.height / 2; r++)
            ASSERT_EQ(memcmp(tuv + r * tex->pitch(), &uv[r * o.width], o.width), 0) << r;
    }
}

TEST_F(Capture, OnlyDamageOnTheMonitorMakesAFrame) {
    void *m1 = start(0), *m2 = start(1);
    EXPECT_EQ(poll(m1, 1000).new_frame, 1);
    EXPECT_EQ(poll(m2, 1000).new_frame, 1);
    paint(1300, 10, 16, 16, 99);  // inside m2 only
    CaptureFrame f = poll(m1, 30);
    EXPECT_EQ(f.new_frame, 0);
    EXPECT_EQ(f.cursor_updated, 0);
    EXPECT_EQ(poll(m2, 1000).new_frame, 1);
    ID3D11Texture2D *tex = nullptr;
    ASSERT_EQ(cap_dxgi_get_texture(m2, CAPTURE_FORMAT_ASIS, &tex), 0);
    EXPECT_EQ(*(const uint32_t *)(tex->data() + 10 * tex->pitch() + 20 * 4) & 0xFFFFFF,
              pattern(1300, 10, 99));
    // A poll that timed out makes the minimum frame rate deliver the still
    // screen next time; switched on, it keeps delivering without damage.
    EXPECT_EQ(poll(m1, 1000).new_frame, 1);
    cap_dxgi_set_min_framerate(m1, 1);
    for (int i = 0; i < 3; i++) EXPECT_EQ(poll(m1, 1000).new_frame, 1);
}

// With the minimum frame rate a still screen keeps delivering frames at the
// output's refresh pace, but is grabbed once: the texture already holds it.
// Damage is grabbed with the next frame.
TEST_F(Capture, StillScreenFramesReuseTheGrab) {
    CaptureRecord *rec = capture_record_create(&capture_dxgi_api, 2);
    rec->handle = start(0);
    CaptureFrame f = {};
    ASSERT_EQ(capture_poll(rec, 1000, 60, cursor.data(), &f), 0);
    EXPECT_EQ(f.new_frame, 1);
    EXPECT_EQ(cap_dxgi_grabs(rec->handle), 1u);
    cap_dxgi_set_min_framerate(rec->handle, 1);
    uint32_t delivered = 0;
    for (int i = 0; i < 200 && delivered < 6; i++) {
        f = {};
        ASSERT_EQ(capture_poll(rec, 1000, 60, cursor.data(), &f), 0);
        delivered += f.new_frame;
    }
    EXPECT_EQ(delivered, 6u);
    EXPECT_EQ(cap_dxgi_grabs(rec->handle), 1u);
    paint(40, 40, 8, 8, 5);
    f = {};
    for (int i = 0; i < 200 && !f.new_frame; i++)
        ASSERT_EQ(capture_poll(rec, 1000, 60, cursor.data(), &f), 0);
    EXPECT_EQ(cap_dxgi_grabs(rec->handle), 2u);
    ID3D11Texture2D *tex = nullptr;
    ASSERT_EQ(cap_dxgi_get_texture(rec->handle, CAPTURE_FORMAT_ASIS, &tex), 0);
    EXPECT_EQ(*(const uint32_t *)(tex->data() + 41 * tex->pitch() + 41 * 4) & 0xFFFFFF, pattern(41, 41, 5));
    rec->handle = nullptr;  // stopped by the fixture
    capture_record_destroy(&rec);
}

TEST_F(Capture, CursorShapeAndPosition) {
    void *h = start(1);
    poll(h, 1000);
    struct Case {
        uint8_t left, right;  // source bits of the left and right halves
        uint16_t flags;
    } cases[] = {{0xFF, 0x00, 0}, {0xFF, 0xFF, CURSOR_FLAG_UNIFORM}};
    for (const Case &c : cases) {
        uint8_t src[32], mask[32];
        for (int i = 0; i < 32; i++) {
            src[i] = i % 2 ? c.right : c.left;
            mask[i] = 0xFF;
        }
        Window root = DefaultRootWindow(dpy);
        Pixmap ps = XCreateBitmapFromData(dpy, root, (const char *)src, 16, 16);
        Pixmap pm = XCreateBitmapFromData(dpy, root, (const char *)mask, 16, 16);
        XColor white = {0, 65535, 65535, 65535, DoRed | DoGreen | DoBlue, 0}, black = {};
        Cursor cur = XCreatePixmapCursor(dpy, ps, pm, &white, &black, 3, 5);
        XDefineCursor(dpy, root, cur);
        XTestFakeMotionEvent(dpy, 0, 1400, 300, CurrentTime);
        XSync(dpy, False);
        CaptureFrame f = {};
        for (int i = 0; i < 10 && !(f.cursor_updated && f.cursor_width); i++) f = poll(h, 1000);
        ASSERT_EQ(f.cursor_updated, 1);
        uint32_t size;
        uint16_t v[6];
        memcpy(&size, f.cursor_header + 16, 4);
        memcpy(v, f.cursor_header + 20, 4);
        memcpy(v + 2, f.cursor_header + 28, 6);
        EXPECT_EQ(size, 16u * 16 * 4);
        EXPECT_EQ(std::make_tuple(v[0], v[1], v[2], v[3], v[4]), std::make_tuple(16, 16, 3, 5, c.flags));
        EXPECT_EQ(std::make_tuple(f.cursor_width, f.cursor_height), std::make_tuple(16, 16));
        const uint32_t *px = (const uint32_t *)cursor.data();
        EXPECT_EQ(px[0], 0xFFFFFFFFu);
        EXPECT_EQ(px[15], c.right ? 0xFFFFFFFFu : 0xFF000000u);
        int32_t x, y;
        uint8_t hidden, suppressed;
        EXPECT_EQ(cap_dxgi_get_cursor(h, &x, &y, &hidden, &suppressed), 1);
        EXPECT_EQ(std::make_tuple(x, y, hidden, suppressed), std::make_tuple(1400, 300, 0, 0));
        XFreeCursor(dpy, cur);
        XFreePixmap(dpy, ps);
        XFreePixmap(dpy, pm);
    }
}

TEST_F(Capture, IndicesBeyondTheScreensAndMonitorsAreRefused) {
    DisplayOutput o = outputs[0];
    void *h = nullptr;
    o.adapter_index = 1;
    EXPECT_EQ(cap_dxgi_start(&h, 0, 0, &o), CAPTURE_ERR_ADAPTER);
    o.adapter_index = 0;
    o.output_index = 3;
    EXPECT_EQ(cap_dxgi_start(&h, 0, 0, &o), CAPTURE_ERR_OUTPUT);
    EXPECT_EQ(h, nullptr);
}

// A monitor set to reach past the screen cannot be grabbed: capture of it is
// refused at start (so the stream tries another output or ends with its
// error) instead of starting and failing every poll; so is one the screen
// shrank under while it was captured, once its capture is started again.
TEST_F(Capture, MonitorReachingPastTheScreenIsRefused) {
    struct Del {
        ~Del() { xvfb_run("xrandr --delmonitor past"); }
    } del;
    for (const char *geometry : {"1280/300x1200/300+3000+0", "1280/300x1201/300+0+0"}) {
        ASSERT_EQ(xvfb_run((std::string("xrandr --setmonitor past ") + geometry + " none").c_str()), 0);
        DisplayOutput outs[DISPLAY_MAX_OUTPUTS] = {};
        ASSERT_EQ(display_adapter_get_all(outs), 4u);
        int past = 0;
        for (const DisplayOutput &o : outs) {
            if (o.right <= (int32_t)W && o.bottom <= (int32_t)H) continue;
            past++;
            void *h = nullptr;
            EXPECT_EQ(cap_dxgi_start(&h, 0, 0, &o), CAPTURE_ERR_INVALID) << geometry;
            EXPECT_EQ(h, nullptr);
            cap_dxgi_stop(&h);
        }
        EXPECT_EQ(past, 1);
        ASSERT_EQ(xvfb_run("xrandr --delmonitor past"), 0);
    }
}

// The captured monitor changing size or place under a running capture: the
// mode grown or shrunk (RandR tells), or a monitor set by a client (RandR
// tells nothing), makes the polls answer -14003 with an empty frame, as a
// lost duplication; capture started again delivers the new size.
TEST(CaptureGeometry, ChangedMonitorEndsTheCaptureAndARestartTakesTheNewSize) {
    ASSERT_FALSE(xvfb_display().empty());
    ASSERT_EQ(xvfb_run("xrandr --newmode 1920x1080_60 148.5 1920 2008 2052 2200 1080 1084 1089 1125 && "
                       "xrandr --addmode screen 1920x1080_60"),
              0);
    DisplayMode *full = display_mode_get("screen");
    ASSERT_EQ(std::make_pair(full->dmPelsWidth, full->dmPelsHeight), std::make_pair(W, H));
    DisplayMode small = *full;
    small.dmPelsWidth = 1920;
    small.dmPelsHeight = 1080;
    small.dmDisplayFrequency = 60;
    struct Restore {
        DisplayMode *mode;
        ~Restore() {
            xvfb_run("xrandr --delmonitor part");
            display_mode_set("screen", mode);
            VKO_Free(mode);
            xvfb_run("xrandr --delmode screen 1920x1080_60; xrandr --rmmode 1920x1080_60");
        }
    } restore{full};
    std::vector<uint8_t> cursor(CAPTURE_CURSOR_BUFFER);
    void *cap = nullptr;
    auto start_at = [&](uint16_t w, uint16_t h) {
        cap_dxgi_stop(&cap);
        DisplayOutput outs[DISPLAY_MAX_OUTPUTS];
        ASSERT_EQ(display_adapter_get_all(outs), 1u);
        ASSERT_EQ(cap_dxgi_start(&cap, 0, 0, &outs[0]), 0);
        CaptureFrame f = {};
        ASSERT_EQ(cap_dxgi_poll(cap, 1000, cursor.data(), &f), 0);
        EXPECT_EQ(f.new_frame, 1);
        uint16_t gw = 0, gh = 0;
        uint32_t format = 0;
        cap_dxgi_get_desc(cap, &gw, &gh, &format);
        EXPECT_EQ(std::make_pair(gw, gh), std::make_pair(w, h));
    };
    // Polls until one answers; the loss must show within the bound and last.
    auto lost = [&] {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        int32_t r = 0;
        CaptureFrame f = {};
        while (r == 0 && std::chrono::steady_clock::now() < end) {
            std::memset(&f, 0xAB, sizeof f);
            r = cap_dxgi_poll(cap, 100, cursor.data(), &f);
        }
        CaptureFrame empty = {};
        EXPECT_EQ(std::memcmp(&f, &empty, sizeof f), 0);
        EXPECT_EQ(cap_dxgi_poll(cap, 10, cursor.data(), &f), CAPTURE_ERR_FRAME);
        return r == CAPTURE_ERR_FRAME;
    };

    ASSERT_EQ(display_mode_set("screen", &small), 0);
    start_at(1920, 1080);
    ASSERT_EQ(display_mode_set("screen", full), 0);  // grown
    EXPECT_TRUE(lost());
    start_at(W, H);
    ASSERT_EQ(display_mode_set("screen", &small), 0);  // shrunk
    EXPECT_TRUE(lost());
    start_at(1920, 1080);
    ASSERT_EQ(xvfb_run("xrandr --setmonitor part 1280/300x720/300+0+0 screen"), 0);
    EXPECT_TRUE(lost());
    start_at(1280, 720);
    ASSERT_EQ(xvfb_run("xrandr --delmonitor part"), 0);
    EXPECT_TRUE(lost());
    start_at(1920, 1080);
    // A monitor the screen shrinks under now reaches past it: lost, and
    // refused when started again.
    ASSERT_EQ(display_mode_set("screen", full), 0);
    ASSERT_EQ(xvfb_run("xrandr --setmonitor part 1280/300x720/300+2000+0 screen"), 0);
    EXPECT_TRUE(lost());
    start_at(1280, 720);
    ASSERT_EQ(display_mode_set("screen", &small), 0);
    EXPECT_TRUE(lost());
    DisplayOutput outs[DISPLAY_MAX_OUTPUTS] = {};
    ASSERT_EQ(display_adapter_get_all(outs), 1u);
    EXPECT_EQ(cap_dxgi_start(&cap, 0, 0, &outs[0]), CAPTURE_ERR_INVALID);
    EXPECT_EQ(cap, nullptr);
}

// A back-end whose frames carry scripted times.
struct Script {
    std::vector<CaptureFrame> frames;
    size_t next = 0;
    int32_t pre = 0;
};
Script *g_script;

int32_t fake_poll(void *, uint32_t, uint8_t *, CaptureFrame *f) {
    *f = g_script->frames[g_script->next++];
    return 0;
}
int32_t fake_pre_poll(void *) {
    return g_script->pre;
}

TEST(CapturePoll, PacingSkipsEarlyFramesAndPromotesCursorChanges) {
    CaptureApi api = {};
    api.poll = fake_poll;
    api.pre_poll = fake_pre_poll;
    CaptureRecord *rec = capture_record_create(&api, 2);
    rec->handle = rec;  // any non-empty handle
    const int64_t t0 = rec->last_delivered, ms = 1000000;
    struct Step {
        int64_t at_ms;
        uint8_t new_frame, cursor;
        uint8_t want;
    } steps[] = {
        {1, 1, 0, 1},   // the first frame always goes
        {13, 1, 0, 1},  // 12 ms >= 70 % of 16.67
        {21, 1, 0, 0},  // 8 ms: skipped
        {27, 1, 0, 0},  // 14 ms, but after a skip the full 16.67 counts
        {30, 1, 0, 1},  // 17 ms
        {40, 0, 1, 0},  // cursor only, 10 ms after the last frame seen
        {51, 0, 1, 1},  // cursor only, 21 ms >= max(16.67, 20): promoted
    };
    Script s;
    for (const Step &st : steps) {
        CaptureFrame f = {};
        f.time = (uint64_t)(t0 + st.at_ms * ms);
        f.new_frame = st.new_frame;
        f.cursor_updated = st.cursor;
        s.frames.push_back(f);
    }
    g_script = &s;
    for (const Step &st : steps) {
        CaptureFrame f = {};
        EXPECT_EQ(capture_poll(rec, 20, 60, nullptr, &f), 0);
        EXPECT_EQ(f.new_frame, st.want) << "at " << st.at_ms;
    }
    EXPECT_EQ(rec->frames_skipped, 2u);
    s.pre = 7;
    CaptureFrame f = {};
    EXPECT_EQ(capture_poll(rec, 20, 60, nullptr, &f), 7);
    rec->handle = nullptr;
    capture_record_destroy(&rec);
}

// A 32 x 64 monochrome pointer: AND plane then XOR plane, 4 bytes a row.
struct MonoShape {
    std::vector<uint8_t> buf = std::vector<uint8_t>(CAPTURE_CURSOR_BUFFER, 0);
    MonoShape() { memset(buf.data(), 0xFF, 128); }  // AND all set, XOR clear: transparent
    void set(uint32_t x, uint32_t y, bool and_bit, bool xor_bit) {
        uint8_t bit = (uint8_t)(0x80 >> (x % 8));
        uint8_t &a = buf[y * 4 + x / 8], &o = buf[128 + y * 4 + x / 8];
        a = and_bit ? (a | bit) : (a & ~bit);
        o = xor_bit ? (o | bit) : (o & ~bit);
    }
    uint32_t at(uint32_t x, uint32_t y) const {
        uint32_t v;
        memcpy(&v, buf.data() + (y * 32 + x) * 4, 4);
        return v;
    }
};

uint32_t header32(const CaptureFrame &f, int off) {
    uint32_t v;
    memcpy(&v, f.cursor_header + off, 4);
    return v;
}
uint16_t header16(const CaptureFrame &f, int off) {
    uint16_t v;
    memcpy(&v, f.cursor_header + off, 2);
    return v;
}

TEST(PointerShape, MonochromeBecomesHalfHeightPixelsWithHaloOnInvertingPixels) {
    MonoShape m;
    m.set(0, 0, false, false);    // black
    m.set(31, 0, false, true);    // white
    m.set(16, 16, true, true);    // inverting
    m.set(16, 18, false, false);  // later black pixel inside the halo
    m.set(0, 31, true, true);     // inverting at the corner: halo clipped
    CaptureFrame f = {};
    CursorShapeInfo info = {CURSOR_SHAPE_MONOCHROME, 32, 64, 3, 5};
    cap_cursor_shape_finish(&info, m.buf.data(), &f);
    EXPECT_EQ(header32(f, 16), 4096u);
    EXPECT_EQ(std::make_tuple(header16(f, 20), header16(f, 22), header16(f, 28), header16(f, 30)),
              std::make_tuple(32, 32, 3, 5));
    EXPECT_EQ(std::make_tuple(f.cursor_width, f.cursor_height), std::make_tuple(32, 32));
    EXPECT_EQ(header16(f, 32) & CURSOR_FLAG_UNIFORM, 0);
    EXPECT_EQ(m.at(0, 0), 0xFF000000u);
    EXPECT_EQ(m.at(31, 0), 0xFFFFFFFFu);
    EXPECT_EQ(m.at(5, 5), 0u);
    EXPECT_EQ(m.at(16, 16), 0xFF000000u);
    EXPECT_EQ(m.at(15, 15), 0x60FFFFFFu);
    EXPECT_EQ(m.at(17, 16), 0x60FFFFFFu);
    EXPECT_EQ(m.at(14, 14), 0x20FFFFFFu);
    EXPECT_EQ(m.at(18, 17), 0x20FFFFFFu);
    EXPECT_EQ(m.at(16, 18), 0xFF000000u);
    EXPECT_EQ(m.at(13, 16), 0u);
    EXPECT_EQ(m.at(0, 31), 0xFF000000u);
    EXPECT_EQ(m.at(1, 30), 0x60FFFFFFu);
    EXPECT_EQ(m.at(2, 29), 0x20FFFFFFu);
    // Nothing of the masks survives past the image.
    for (size_t i = 4096; i < 4096 + 256; i++) ASSERT_EQ(m.buf[i], 0) << i;
}

TEST(PointerShape, MaskedColourAndUniformImages) {
    std::vector<uint8_t> buf(CAPTURE_CURSOR_BUFFER, 0);
    const uint32_t in[4] = {0x00123456u, 0xFF000000u, 0xFFABCDEFu, 0x80ABCDEFu};
    memcpy(buf.data(), in, sizeof(in));
    CaptureFrame f = {};
    CursorShapeInfo info = {CURSOR_SHAPE_MASKED_COLOR, 2, 2, 1, 1};
    cap_cursor_shape_finish(&info, buf.data(), &f);
    uint32_t out[4];
    memcpy(out, buf.data(), sizeof(out));
    EXPECT_EQ(std::vector<uint32_t>(out, out + 4),
              (std::vector<uint32_t>{0xFF123456u, 0x00000000u, 0xE0606060u, 0xFFABCDEFu}));
    EXPECT_EQ(header32(f, 16), 16u);
    EXPECT_EQ(header16(f, 32) & CURSOR_FLAG_UNIFORM, 0);

    // A fully transparent colour pointer is one value throughout.
    std::fill(buf.begin(), buf.end(), 0);
    CaptureFrame g = {};
    memset(g.cursor_header + 32, 0, 2);
    g.cursor_header[33] = 0x02;  // hidden flag kept
    CursorShapeInfo colour = {CURSOR_SHAPE_COLOR, 24, 24, 0, 0};
    cap_cursor_shape_finish(&colour, buf.data(), &g);
    EXPECT_EQ(header16(g, 32), CURSOR_FLAG_UNIFORM | CURSOR_FLAG_HIDDEN);
    EXPECT_EQ(header32(g, 16), 24u * 24 * 4);
}

TEST(PointerShape, ShapesThatDoNotFitLeaveAnEmptyImage) {
    std::vector<uint8_t> buf(CAPTURE_CURSOR_BUFFER, 0xAB);
    CaptureFrame f = {};
    CursorShapeInfo huge = {CURSOR_SHAPE_MONOCHROME, 0xFFFFFFF0u, 4, 0, 0};
    cap_cursor_shape_finish(&huge, buf.data(), &f);
    EXPECT_EQ(header32(f, 16), 0u);
    EXPECT_EQ(std::make_tuple(f.cursor_width, f.cursor_height), std::make_tuple(0, 0));
    EXPECT_EQ(header16(f, 32), CURSOR_FLAG_UNIFORM);
    CursorShapeInfo wide = {CURSOR_SHAPE_COLOR, 1024, 1024, 0, 0};  // 4 MiB of pixels
    cap_cursor_shape_finish(&wide, buf.data(), &f);
    EXPECT_EQ(header32(f, 16), 0u);
    // Masks shorter than the image they claim: transparent, no read past them.
    std::fill(buf.begin(), buf.end(), 0);
    cap_cursor_mono_to_rgba(buf.data(), 64, 100, 32, 32);
    EXPECT_EQ(std::count(buf.begin(), buf.end(), 0), (long)buf.size());
    cap_cursor_masked_to_rgba(buf.data(), 0xFFFF, 0xFFFF);  // too big: left as it is
}

}  // namespace
