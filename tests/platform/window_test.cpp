// Windows of the app object under Xvfb: slots, close, placement round trips
// over two RandR monitors, fullscreen, focus and size events, cursors read
// back with XFixes, clipping, the clipboard watch and XDND drops; the frame
// rules and the image crop as pure functions.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>

#include <sys/stat.h>

#include <cstdlib>

#include "platform/app_harness.h"
#include "platform/app_internal.h"
#include "platform/memory.h"
#include "platform/x11/x11_app.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "util/config_file.h"

namespace {

class WindowTest : public ::testing::Test {
   protected:
    void SetUp() override {
        if (xvfb_display().empty()) GTEST_SKIP() << "no Xvfb";
        h = std::make_unique<AppHarness>();
        ASSERT_NE(h->app, nullptr);
    }
    void TearDown() override { h.reset(); }
    Window xid(int32_t i) { return (Window)(uintptr_t)VKO_WindowGetNative(h->app, i); }
    // Client rectangle in root coordinates as the server has it.
    VKO_Rect server_rect(Window w) {
        XWindowAttributes a;
        XGetWindowAttributes(d.dpy, w, &a);
        int x, y;
        Window c;
        XTranslateCoordinates(d.dpy, w, d.root(), 0, 0, &x, &y, &c);
        return {x, y, a.width, a.height};
    }
    bool settle(int32_t i, VKO_Rect want) {
        return h->pump_until([&] {
            VKO_Rect r = server_rect(xid(i));
            return r.x == want.x && r.y == want.y && r.w == want.w && r.h == want.h;
        });
    }

    std::unique_ptr<AppHarness> h;
    Driver d;
};

TEST_F(WindowTest, EightSlotsThenRefusedAndAFreedSlotIsReused) {
    LogCapture log;
    VKO_Frame f = {VKO_FRAME_HIDDEN, 100, 100, "", 0, 0};
    for (int32_t i = 0; i < 8; i++) ASSERT_EQ(VKO_WindowCreate(h->app, "w", &f, 7 - i == i ? i : -1), i);
    EXPECT_EQ(VKO_WindowCreate(h->app, "w", &f, 3), -1);
    EXPECT_TRUE(log.contains("VKO_WindowCreate: Maximum windows (VKO_WINDOW_MAX) of 8 reached"));
    VKO_WindowDestroy(h->app, 5);
    EXPECT_FALSE(VKO_WindowExists(h->app, 5));
    EXPECT_EQ(VKO_WindowCreate(h->app, "w", &f, 2), 5) << "a taken index falls back to the first free slot";
    // Empty slots and bad indexes are ignored.
    VKO_WindowDestroy(h->app, -1);
    VKO_WindowDestroy(h->app, 8);
    VKO_Frame zero = VKO_WindowGetFrame(h->app, 9);
    EXPECT_EQ(zero.width, 0u);
    EXPECT_FALSE(VKO_WindowIsVisible(h->app, 5)) << "hidden";
}

TEST_F(WindowTest, TitleCloseFocusAndSizeEvents) {
    ASSERT_EQ(h->open_window(nullptr, "Zarvek \xC3\xA9"), 0);
    Atom type;
    int format;
    unsigned long n, after;
    unsigned char *name = nullptr;
    XGetWindowProperty(d.dpy, xid(0), XInternAtom(d.dpy, "_NET_WM_NAME", False), 0, 64, False,
                       AnyPropertyType, &type, &format, &n, &after, &name);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ((const char *)name, "Zarvek \xC3\xA9");
    XFree(name);
    EXPECT_TRUE(h->has(VKO_EVENT_FOCUS));
    EXPECT_TRUE(h->has(VKO_EVENT_SIZE));
    EXPECT_EQ(h->of(VKO_EVENT_FOCUS).back().focused, 1);
    h->events.clear();
    // The window manager's close command: an event, and the window stays.
    XEvent e = {};
    e.xclient.type = ClientMessage;
    e.xclient.window = xid(0);
    e.xclient.message_type = XInternAtom(d.dpy, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = (long)XInternAtom(d.dpy, "WM_DELETE_WINDOW", False);
    XSendEvent(d.dpy, xid(0), False, NoEventMask, &e);
    XSync(d.dpy, False);
    ASSERT_TRUE(h->pump_until([&] { return h->has(VKO_EVENT_CLOSE); }));
    EXPECT_TRUE(VKO_WindowExists(h->app, 0));
    // Alt+F4 without a window manager: keys only.
    h->events.clear();
    d.key(d.keycode(XK_Alt_L), true);
    d.tap(XK_F4);
    d.key(d.keycode(XK_Alt_L), false);
    ASSERT_TRUE(h->pump_until([&] { return h->count(VKO_EVENT_KEY) >= 4; }));
    EXPECT_FALSE(h->has(VKO_EVENT_CLOSE));
    // Focus moves away.
    Window other = XCreateSimpleWindow(d.dpy, d.root(), 0, 0, 10, 10, 0, 0, 0);
    XMapWindow(d.dpy, other);
    XSync(d.dpy, False);
    h->pump(30);
    XSetInputFocus(d.dpy, other, RevertToParent, CurrentTime);
    XSync(d.dpy, False);
    ASSERT_TRUE(h->pump_until([&] { return h->has(VKO_EVENT_FOCUS); }));
    EXPECT_EQ(h->of(VKO_EVENT_FOCUS).back().focused, 0);
    EXPECT_FALSE(VKO_AppIsActive(h->app));
    // Resized by someone else: SIZE.
    h->events.clear();
    XResizeWindow(d.dpy, xid(0), 321, 123);
    XSync(d.dpy, False);
    ASSERT_TRUE(h->pump_until([&] { return h->has(VKO_EVENT_SIZE); }));
    uint32_t w, hh;
    VKO_WindowGetSize(h->app, 0, &w, &hh);
    EXPECT_EQ(w, 321u);
    EXPECT_EQ(hh, 123u);
    XDestroyWindow(d.dpy, other);
    XSync(d.dpy, False);
}

// Two monitors side by side, set through RandR by the test.
class MonitorTest : public WindowTest {
   protected:
    void SetUp() override {
        WindowTest::SetUp();
        if (IsSkipped()) return;
        add("left", 0, 0, 1920, 1200, true);
        add("right", 1920, 0, 1920, 1200, false);
    }
    void TearDown() override {
        if (d.dpy) {
            XRRDeleteMonitor(d.dpy, d.root(), XInternAtom(d.dpy, "left", False));
            XRRDeleteMonitor(d.dpy, d.root(), XInternAtom(d.dpy, "right", False));
            XSync(d.dpy, False);
        }
        WindowTest::TearDown();
    }
    void add(const char *name, int x, int y, int w, int hh, bool primary) {
        XRRMonitorInfo *m = XRRAllocateMonitor(d.dpy, 0);
        m->name = XInternAtom(d.dpy, name, False);
        m->primary = primary;
        m->x = x, m->y = y, m->width = w, m->height = hh;
        m->mwidth = w / 4, m->mheight = hh / 4;
        XRRSetMonitor(d.dpy, d.root(), m);
        XRRFreeMonitors(m);
        XSync(d.dpy, False);
    }
};

TEST_F(MonitorTest, FramesRoundTripOnTheNamedMonitorAndUnknownNamesUseThePrimary) {
    VKO_Frame f = {0, 640, 480, "right", 100, 50};
    ASSERT_EQ(h->open_window(&f), 0);
    ASSERT_TRUE(settle(0, {1920 + 100, 50, 640, 480}));
    VKO_Frame g = VKO_WindowGetFrame(h->app, 0);
    EXPECT_EQ(g.flags, 0u);
    EXPECT_EQ(g.width, 640u);
    EXPECT_EQ(g.height, 480u);
    EXPECT_EQ(g.x, 100);
    EXPECT_EQ(g.y, 50);
    EXPECT_STREQ(g.screen, "right");
    uint32_t sw, sh;
    VKO_WindowGetScreenSize(h->app, 0, &sw, &sh);
    EXPECT_EQ(sw, 1920u);
    EXPECT_FLOAT_EQ(VKO_WindowGetScreenScale(h->app, 0), 1.0f);

    VKO_Frame gone = {0, 300, 200, "no-such-monitor", 10, 20};
    VKO_WindowSetFrame(h->app, 0, &gone);
    ASSERT_TRUE(settle(0, {10, 20, 300, 200}));
    EXPECT_STREQ(VKO_WindowGetFrame(h->app, 0).screen, "left");

    // A top edge above the work area is pulled down to it.
    VKO_Frame high = {0, 300, 200, "right", 10, -500};
    VKO_WindowSetFrame(h->app, 0, &high);
    ASSERT_TRUE(settle(0, {1930, 0, 300, 200})) << "moved down, size kept";

    // Maximised without a window manager: the work area; the frame keeps the
    // normal rectangle with the flag.
    VKO_Frame max = {VKO_FRAME_MAXIMIZED, 400, 300, "right", 30, 40};
    VKO_WindowSetFrame(h->app, 0, &max);
    ASSERT_TRUE(settle(0, {1920, 0, 1920, 1200}));
    g = VKO_WindowGetFrame(h->app, 0);
    EXPECT_EQ(g.flags, VKO_FRAME_MAXIMIZED);
    EXPECT_EQ(g.width, 400u);
    EXPECT_EQ(g.x, 30);

    // Fullscreen and back to the placement it had.
    VKO_Frame plain = {0, 500, 400, "right", 60, 70};
    VKO_WindowSetFrame(h->app, 0, &plain);
    ASSERT_TRUE(settle(0, {1980, 70, 500, 400}));
    VKO_WindowSetFullscreen(h->app, 0, true);
    EXPECT_TRUE(VKO_WindowIsFullscreen(h->app, 0));
    ASSERT_TRUE(settle(0, {1920, 0, 1920, 1200}));
    EXPECT_EQ(VKO_WindowGetFrame(h->app, 0).flags & VKO_FRAME_FULLSCREEN, VKO_FRAME_FULLSCREEN);
    VKO_WindowSetFullscreen(h->app, 0, false);
    ASSERT_TRUE(settle(0, {1980, 70, 500, 400}))
        << server_rect(xid(0)).x << "," << server_rect(xid(0)).y << " " << server_rect(xid(0)).w << "x"
        << server_rect(xid(0)).h;
    g = VKO_WindowGetFrame(h->app, 0);
    EXPECT_EQ(g.flags, 0u);
    EXPECT_EQ(g.x, 60);
    EXPECT_EQ(g.width, 500u);
}

TEST_F(MonitorTest, AbsurdFramesArePlacedWithoutHarm) {
    const VKO_Frame bad[] = {
        {0xFFFFFFFF, 0xFFFFFFFF, 0, "", INT32_MIN, INT32_MAX},
        {0, 0, 0, "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", 0, 0},
        {VKO_FRAME_FULLSCREEN, 1, 1, "right", 5, 5},
    };
    for (const VKO_Frame &f : bad) {
        int32_t i = VKO_WindowCreate(h->app, "bad", &f, -1);
        ASSERT_GE(i, 0);
        h->pump(20);
        VKO_Frame g = VKO_WindowGetFrame(h->app, i);
        EXPECT_LE(g.width, 16384u);
        VKO_WindowSetFrame(h->app, i, &f);
        h->pump(20);
        VKO_WindowDestroy(h->app, i);
    }
    // The same through window.json as the settings keep it.
    TempDir dir;
    write_file(dir.file("window.json"),
               "{\"0\": {\"type\": 4294967295, \"w\": 1e12, \"h\": -5, \"x\": 1e300, \"y\": \"x\", "
               "\"screen\": 7}, \"1\": [1, 2]}");
    for (uint32_t index = 0; index < 2; index++) {
        VKO_Frame f;
        config_load_window(&f, dir.path.c_str(), index);
        int32_t i = VKO_WindowCreate(h->app, "json", &f, -1);
        ASSERT_GE(i, 0);
        h->pump(20);
        VKO_WindowDestroy(h->app, i);
    }
}

TEST_F(WindowTest, HidingAMaximisedWindowAndActivatingShowsItMaximised) {
    VKO_Frame f = {VKO_FRAME_MAXIMIZED, 400, 300, "", 10, 10};
    ASSERT_EQ(h->open_window(&f), 0);
    VKO_WindowActivate(h->app, 0, false);
    ASSERT_TRUE(h->pump_until([&] { return !VKO_WindowIsVisible(h->app, 0); }));
    VKO_WindowActivate(h->app, 0, true);
    ASSERT_TRUE(h->pump_until([&] { return VKO_AppIsActive(h->app); }));
    VKO_Rect r = server_rect(xid(0));
    EXPECT_EQ(r.w, DisplayWidth(d.dpy, 0)) << "the work area of the one monitor";
    EXPECT_EQ(VKO_WindowGetFrame(h->app, 0).flags, VKO_FRAME_MAXIMIZED);
}

// A manager slower than the activation's short wait for the map: the focus
// follows once the window is mapped instead of being dropped.
TEST_F(WindowTest, ActivationWaitsForASlowManagerToMap) {
    VKO_Frame f = {0, 300, 200, "", 10, 10};
    ASSERT_EQ(h->open_window(&f), 0);
    VKO_WindowActivate(h->app, 0, false);
    ASSERT_TRUE(h->pump_until([&] { return !VKO_WindowIsVisible(h->app, 0); }));
    // From here map requests come to the driver, which maps only later.
    XSelectInput(d.dpy, d.root(), SubstructureRedirectMask);
    XSync(d.dpy, False);
    VKO_WindowActivate(h->app, 0, true);
    h->pump_until([] { return false; }, 300);
    EXPECT_FALSE(VKO_AppIsActive(h->app));
    XMapWindow(d.dpy, xid(0));
    XSync(d.dpy, False);
    EXPECT_TRUE(h->pump_until([&] { return VKO_AppIsActive(h->app); }));
    XSelectInput(d.dpy, d.root(), 0);
    XSync(d.dpy, False);
}

TEST(WindowFrames, DefaultFrameShrinksTallWindowsAndCentres) {
    VKO_Frame f = vko_frame_from_metrics(0, 0, 800, 1000, 0.9f, 1024, 768, 1.0f);
    EXPECT_EQ(f.height, 691u) << "768 x 0.9";
    EXPECT_EQ(f.width, 553u) << "aspect kept";
    EXPECT_EQ(f.x, (1024 - 553) / 2);
    EXPECT_EQ(f.y, (768 - 691) / 2);
    f = vko_frame_from_metrics(5, 5, 2000, 100, 1.0f, 1024, 768, 1.0f);
    EXPECT_EQ(f.x, 0) << "as wide as the monitor or wider: flush left, full width";
    EXPECT_EQ(f.width, 1024u);
    EXPECT_EQ(f.y, 5 + (768 - 100) / 2);
    // Scale 1.5: the client grows about its centre and comes back the same.
    VKO_Monitor m = {"m", 0, 0, 1920, 1080, 0, 40, 1920, 1040, 1.5f, true};
    VKO_Extents none = {0, 0, 0, 0};
    VKO_Frame in = {0, 400, 300, "m", 200, 100};
    VKO_Rect r = vko_frame_to_rect(&in, &m, &none);
    EXPECT_EQ(r.w, 600);
    EXPECT_EQ(r.h, 450);
    EXPECT_EQ(r.x, 100);
    EXPECT_EQ(r.y, 65);
    VKO_Frame back = vko_rect_to_frame(&r, &m, false);
    EXPECT_EQ(back.width, 400u);
    EXPECT_EQ(back.height, 300u);
    EXPECT_EQ(back.x, 200);
    EXPECT_EQ(back.y, 100);
    // Frame extents: the client sits inside the manager's frame.
    VKO_Monitor one = {"m", 0, 0, 1920, 1080, 0, 0, 1920, 1080, 1.0f, true};
    VKO_Extents ext = {2, 2, 24, 2};
    VKO_Frame top = {0, 300, 200, "", 50, 0};
    r = vko_frame_to_rect(&top, &one, &ext);
    EXPECT_EQ(r.y, 24) << "the frame's top may not leave the work area";
    EXPECT_EQ(r.x, 50);
    VKO_Monitor mons[2] = {{"a", 0, 0, 10, 10, 0, 0, 10, 10, 1, false},
                           {"b", 10, 0, 10, 10, 10, 0, 10, 10, 1, true}};
    EXPECT_STREQ(vko_monitor_find(mons, 2, "a")->name, "a");
    EXPECT_STREQ(vko_monitor_find(mons, 2, "")->name, "b");
    EXPECT_STREQ(vko_monitor_find(mons, 2, "zz")->name, "b");
}

TEST(WindowCrop, BothScalesMultiply) {
    // 100 x 100 into 200 x 400: scaled to 400 x 400, 200 columns too wide,
    // which are 50 columns of the source.
    std::vector<uint32_t> px(100 * 100);
    for (uint32_t y = 0; y < 100; y++)
        for (uint32_t x = 0; x < 100; x++) px[y * 100 + x] = y << 16 | x;
    uint32_t w = 100, hh = 100;
    auto *out = (uint32_t *)VKO_CropImage(px.data(), 200, 400, &w, &hh);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(w, 50u);
    EXPECT_EQ(hh, 100u);
    EXPECT_EQ(out[0], 25u) << "the centre is kept";
    EXPECT_EQ(out[49], 74u);
    VKO_Free(out);
    // Wide source into a square: only columns are cut.
    std::vector<uint32_t> wide(40 * 10);
    w = 40, hh = 10;
    out = (uint32_t *)VKO_CropImage(wide.data(), 10, 10, &w, &hh);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(w, 10u);
    EXPECT_EQ(hh, 10u);
    VKO_Free(out);
    // Already the target's shape: nothing to cut.
    w = 40, hh = 10;
    EXPECT_EQ(VKO_CropImage(wide.data(), 80, 20, &w, &hh), nullptr);
    EXPECT_EQ(w, 40u);
    EXPECT_EQ(VKO_CropImage(nullptr, 1, 1, &w, &hh), nullptr);
}

TEST_F(WindowTest, CustomCursorPixelsHiddenCursorAndClip) {
    VKO_Frame f = {0, 400, 300, "", 200, 200};
    ASSERT_EQ(h->open_window(&f), 0);
    d.move(300, 300);
    // 2 x 2: opaque red, opaque blue, half-transparent white, transparent.
    const uint8_t rgba[16] = {255, 0, 0, 255, 0, 0, 255, 255, 255, 255, 255, 128, 9, 9, 9, 0};
    VKO_AppSetRGBACursor(h->app, rgba, 2, 2, 1, 0);
    VKO_AppSetCursor(h->app, 0);
    h->pump(50);
    XFixesCursorImage *img = XFixesGetCursorImage(d.dpy);
    ASSERT_NE(img, nullptr);
    ASSERT_EQ(img->width, 2);
    EXPECT_EQ(img->xhot, 1);
    EXPECT_EQ(img->yhot, 0);
    EXPECT_EQ((uint32_t)img->pixels[0], 0xFFFF0000u);
    EXPECT_EQ((uint32_t)img->pixels[1], 0xFF0000FFu);
    EXPECT_EQ((uint32_t)img->pixels[2], 0x80808080u) << "premultiplied";
    EXPECT_EQ((uint32_t)img->pixels[3], 0u);
    XFree(img);
    VKO_AppShowCursor(h->app, false);
    h->pump(50);
    img = XFixesGetCursorImage(d.dpy);
    ASSERT_NE(img, nullptr);
    bool visible = false;
    for (int i = 0; i < img->width * img->height; i++) visible |= (img->pixels[i] >> 24) != 0;
    EXPECT_FALSE(visible) << "hidden while active";
    XFree(img);
    VKO_AppShowCursor(h->app, true);
    {
        // Without a display connection there is nothing to draw a cursor with; too large a cursor is refused.
        LogCapture log;
        h->app->x->dead = true;
        VKO_AppSetRGBACursor(h->app, rgba, 2, 2, 1, 0);
        h->app->x->dead = false;
        std::vector<uint8_t> huge(2048 * 4, 255);
        VKO_AppSetRGBACursor(h->app, huge.data(), 2048, 1, 0, 0);
        EXPECT_TRUE(log.contains("app_set_rgba_cursor: 'GetDC' failed"));
        EXPECT_TRUE(log.contains("app_set_rgba_cursor: 'CreateIconIndirect' failed with error 0x57"));
    }
    // Mouse grab: the pointer stays in the client area.
    VKO_AppGrabMouse(h->app, true);
    h->pump(50);
    d.move(5, 5);
    int px, py;
    d.pointer(&px, &py);
    EXPECT_GE(px, 200);
    EXPECT_GE(py, 200);
    d.move(3000, 1100);
    d.pointer(&px, &py);
    EXPECT_LT(px, 600);
    EXPECT_LT(py, 500);
    VKO_AppGrabMouse(h->app, false);
    h->pump(50);
    d.move(5, 5);
    d.pointer(&px, &py);
    EXPECT_EQ(px, 5) << "released";
    // An undecodable image leaves no custom cursor.
    VKO_AppSetCursorImage(h->app, "nope", 4, 0, 0);
    h->pump(20);
}

TEST_F(WindowTest, ClipboardOwnerChangeIsOneEvent) {
    ASSERT_EQ(h->open_window(), 0);
    h->events.clear();
    Window owner = XCreateSimpleWindow(d.dpy, d.root(), 0, 0, 1, 1, 0, 0, 0);
    XSetSelectionOwner(d.dpy, XInternAtom(d.dpy, "CLIPBOARD", False), owner, CurrentTime);
    XSync(d.dpy, False);
    ASSERT_TRUE(h->pump_until([&] { return h->has(VKO_EVENT_CLIPBOARD); }));
    h->pump(50);
    EXPECT_EQ(h->count(VKO_EVENT_CLIPBOARD), 1u);
    EXPECT_EQ(h->of(VKO_EVENT_CLIPBOARD)[0].window, 0);
    XDestroyWindow(d.dpy, owner);
    XSync(d.dpy, False);
}

// An XDND source on the driver's connection, stepped from the app's frame.
class DndSource {
   public:
    DndSource(Driver &d, Window target, std::string uri) : d_(d), target_(target), uri_(std::move(uri)) {
        win_ = XCreateSimpleWindow(d.dpy, d.root(), 0, 0, 1, 1, 0, 0, 0);
        XSetSelectionOwner(d.dpy, atom("XdndSelection"), win_, CurrentTime);
        send("XdndEnter", 5 << 24, (long)atom("text/uri-list"));
        send("XdndPosition", 0, (50 << 16) | 50, CurrentTime, (long)atom("XdndActionCopy"));
        XSync(d.dpy, False);
    }
    ~DndSource() { XDestroyWindow(d_.dpy, win_); }
    // Answers the target; true once the drop finished.
    bool step() {
        while (XPending(d_.dpy)) {
            XEvent e;
            XNextEvent(d_.dpy, &e);
            if (e.type == ClientMessage && e.xclient.message_type == atom("XdndStatus")) {
                accepted = e.xclient.data.l[1] & 1;
                send("XdndDrop", 0, CurrentTime);
            } else if (e.type == SelectionRequest) {
                XSelectionRequestEvent &r = e.xselectionrequest;
                XChangeProperty(d_.dpy, r.requestor, r.property, r.target, 8, PropModeReplace,
                                (const unsigned char *)uri_.data(), (int)uri_.size());
                XEvent n = {};
                n.xselection.type = SelectionNotify;
                n.xselection.requestor = r.requestor;
                n.xselection.selection = r.selection;
                n.xselection.target = r.target;
                n.xselection.property = r.property;
                n.xselection.time = r.time;
                XSendEvent(d_.dpy, r.requestor, False, NoEventMask, &n);
            } else if (e.type == ClientMessage && e.xclient.message_type == atom("XdndFinished")) {
                finished = true;
                succeeded = e.xclient.data.l[1] & 1;
            }
        }
        XSync(d_.dpy, False);
        return finished;
    }
    bool accepted = false, finished = false, succeeded = false;

   private:
    Atom atom(const char *n) { return XInternAtom(d_.dpy, n, False); }
    void send(const char *type, long l1, long l2 = 0, long l3 = 0, long l4 = 0) {
        XEvent e = {};
        e.xclient.type = ClientMessage;
        e.xclient.window = target_;
        e.xclient.message_type = atom(type);
        e.xclient.format = 32;
        e.xclient.data.l[0] = (long)win_;
        e.xclient.data.l[1] = l1;
        e.xclient.data.l[2] = l2;
        e.xclient.data.l[3] = l3;
        e.xclient.data.l[4] = l4;
        XSendEvent(d_.dpy, target_, False, NoEventMask, &e);
    }
    Driver &d_;
    Window target_, win_;
    std::string uri_;
};

TEST_F(WindowTest, DroppedFileArrivesWithPathAndContentsAndUnreadableOnesDoNot) {
    ASSERT_EQ(h->open_window(), 0);
    TempDir dir;
    std::string path = dir.file("a b.txt");
    write_file(path, "dropped contents");
    std::string uri = "file://" + path;
    uri.replace(uri.find(' '), 1, "%20");
    {
        DndSource src(d, xid(0), "# comment\r\n" + uri + "\r\n");
        h->on_frame = [&] { src.step(); };
        ASSERT_TRUE(h->pump_until([&] { return src.finished; }));
        EXPECT_TRUE(src.accepted);
        EXPECT_TRUE(src.succeeded);
        ASSERT_EQ(h->count(VKO_EVENT_DROP), 1u);
        const Seen *drop = nullptr;
        for (const Seen &s : h->events)
            if (s.ev.type == VKO_EVENT_DROP) drop = &s;
        EXPECT_EQ(drop->name, path);
        EXPECT_EQ(drop->data, "dropped contents");
        EXPECT_EQ(drop->ev.drop.size, 16u);
    }
    h->events.clear();
    const char *bad[] = {"file:///no/such/file\r\n", "http://example.invalid/x\r\n", "file://%00\r\n", ""};
    for (const char *u : bad) {
        DndSource src(d, xid(0), u);
        h->on_frame = [&] { src.step(); };
        ASSERT_TRUE(h->pump_until([&] { return src.finished; })) << u;
        EXPECT_FALSE(src.succeeded);
    }
    h->on_frame = nullptr;
    EXPECT_FALSE(h->has(VKO_EVENT_DROP));
}

TEST_F(WindowTest, EventsForWindowsAlreadyGoneAreIgnored) {
    ASSERT_EQ(h->open_window(), 0);
    VKO_Frame f = {0, 100, 100, "", 0, 0};
    int32_t i = VKO_WindowCreate(h->app, "x", &f, 1);
    ASSERT_EQ(i, 1);
    Window gone = xid(1);
    VKO_WindowDestroy(h->app, 1);
    XEvent e = {};
    e.xclient.type = ClientMessage;
    e.xclient.window = gone;
    e.xclient.message_type = XInternAtom(d.dpy, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = (long)XInternAtom(d.dpy, "WM_DELETE_WINDOW", False);
    XSendEvent(d.dpy, gone, False, NoEventMask, &e);  // BadWindow for the driver, nothing for the app
    XSync(d.dpy, False);
    h->pump(50);
    EXPECT_FALSE(h->has(VKO_EVENT_CLOSE));
    // Our own calls on a dead X window end in an error the app survives.
    VKO_AppSetCursor(h->app, VKO_CURSOR_HAND);
    h->pump(20);
}

// The event function or the message hook closes the window it was called
// for: nothing of that window is touched afterwards.
class WindowGoneTest : public WindowTest {
   protected:
    void SetUp() override {
        WindowTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(h->open_window(), 0);
    }
    void TearDown() override {
        VKO_AppSetMessageHook(h->app, nullptr);
        WindowTest::TearDown();
    }
    // Window 1, visible.
    void open_second() {
        VKO_Frame f = {0, 200, 150, "", 600, 100};
        ASSERT_EQ(VKO_WindowCreate(h->app, "second", &f, 1), 1);
        ASSERT_TRUE(h->pump_until([&] { return VKO_WindowIsVisible(h->app, 1); }));
    }
    void close_on(VKO_EventType type) {
        h->on_event = [this, type](const VKO_Event &e) {
            if (e.type == type && e.window == 1) VKO_WindowDestroy(h->app, 1);
        };
    }
    bool gone() {
        return h->pump_until([&] { return !VKO_WindowExists(h->app, 1); });
    }
};

TEST_F(WindowGoneTest, ClosedOnTheSizeEventOfItsMap) {
    close_on(VKO_EVENT_SIZE);
    VKO_Frame f = {0, 200, 150, "", 600, 100};
    ASSERT_EQ(VKO_WindowCreate(h->app, "second", &f, 1), 1);
    EXPECT_TRUE(gone());
}

TEST_F(WindowGoneTest, ClosedOnTheSizeEventOfItsMinimising) {
    open_second();
    close_on(VKO_EVENT_SIZE);
    Atom wm_state = XInternAtom(d.dpy, "WM_STATE", False);
    long iconic[2] = {IconicState, 0};
    XChangeProperty(d.dpy, xid(1), wm_state, wm_state, 32, PropModeReplace, (unsigned char *)iconic, 2);
    XSync(d.dpy, False);
    EXPECT_TRUE(gone());
}

TEST_F(WindowGoneTest, ClosedByTheMessageHookOnItsConfigureNotice) {
    open_second();
    static VKO_App *s_app;
    s_app = h->app;
    VKO_AppSetMessageHook(h->app,
                          [](VKO_App *, int32_t index, void *, uint32_t message, uintptr_t, intptr_t, bool *,
                             void *) -> intptr_t {
                              if (index == 1 && message == ConfigureNotify) VKO_WindowDestroy(s_app, 1);
                              return 0;  // not handled: the window procedure goes on
                          });
    XResizeWindow(d.dpy, xid(1), 210, 160);
    XSync(d.dpy, False);
    EXPECT_TRUE(gone());
}

TEST_F(WindowGoneTest, ClosedOnItsDropAndTheDropStillFinishes) {
    open_second();
    close_on(VKO_EVENT_DROP);
    TempDir dir;
    std::string path = dir.file("d.txt");
    write_file(path, "x");
    DndSource src(d, xid(1), "file://" + path + "\r\n");
    h->on_frame = [&] { src.step(); };
    EXPECT_TRUE(h->pump_until([&] { return src.finished; }));
    h->on_frame = nullptr;
    EXPECT_TRUE(src.succeeded);
    EXPECT_FALSE(VKO_WindowExists(h->app, 1));
}

// Another client's synthetic ConfigureNotify may move the window but never
// gives it a size.
TEST_F(WindowTest, SyntheticConfigureNoticesOnlyMove) {
    ASSERT_EQ(h->open_window(), 0);
    h->events.clear();
    XEvent e = {};
    e.xconfigure.type = ConfigureNotify;
    e.xconfigure.event = xid(0);
    e.xconfigure.window = xid(0);
    e.xconfigure.x = 150, e.xconfigure.y = 160;
    e.xconfigure.width = 65531, e.xconfigure.height = 34464;
    XSendEvent(d.dpy, xid(0), False, StructureNotifyMask, &e);
    XSync(d.dpy, False);
    ASSERT_TRUE(h->pump_until([&] { return h->has(VKO_EVENT_MOVE); }));
    EXPECT_FALSE(h->has(VKO_EVENT_SIZE));
    uint32_t w = 0, hh = 0;
    VKO_WindowGetSize(h->app, 0, &w, &hh);
    EXPECT_EQ(w, 400u);
    EXPECT_EQ(hh, 300u);
    // The server's own notice still sizes it.
    XResizeWindow(d.dpy, xid(0), 420, 310);
    XSync(d.dpy, False);
    ASSERT_TRUE(h->pump_until([&] { return h->has(VKO_EVENT_SIZE); }));
    VKO_WindowGetSize(h->app, 0, &w, &hh);
    EXPECT_EQ(w, 420u);
    EXPECT_EQ(hh, 310u);
}

// A client posing as a window manager writes absurd frame extents: the window
// is still placed where the frame says, as if the frame were thin.
TEST_F(WindowTest, AbsurdFrameExtentsFromAnotherClientAreClamped) {
    ASSERT_EQ(h->open_window(), 0);
    Window check = XCreateSimpleWindow(d.dpy, d.root(), 0, 0, 1, 1, 0, 0, 0);
    Atom net_check = XInternAtom(d.dpy, "_NET_SUPPORTING_WM_CHECK", False);
    XChangeProperty(d.dpy, d.root(), net_check, XA_WINDOW, 32, PropModeReplace, (unsigned char *)&check, 1);
    long ext[4] = {0x7FFFFFF0L, 0x7FFFFFF0L, (long)0xFFFFFFF0UL, 0x7FFFFFF0L};
    XChangeProperty(d.dpy, xid(0), XInternAtom(d.dpy, "_NET_FRAME_EXTENTS", False), XA_CARDINAL, 32,
                    PropModeReplace, (unsigned char *)ext, 4);
    XSync(d.dpy, False);
    X11App *x = x11(h->app);
    ASSERT_TRUE(h->pump_until([&] { return x11_has_wm(x); }));
    VKO_Frame f = {0, 300, 200, "", 40, 30};
    VKO_WindowSetFrame(h->app, 0, &f);
    XSync(x->dpy, False);
    VKO_Extents got = x11_extents(h->app, h->app->windows[0]);
    EXPECT_LE(got.left, 4096);
    EXPECT_GE(got.right, 0);
    EXPECT_EQ(server_rect(xid(0)).w, 300) << "the client keeps its size";
    XDeleteProperty(d.dpy, d.root(), net_check);
    XDestroyWindow(d.dpy, check);
    XSync(d.dpy, False);
    h->pump_until([&] { return !x11_has_wm(x); });
}

// After a windowed frame the window is windowed: it reads so, returns that
// frame, and can go fullscreen again.
TEST_F(WindowTest, AWindowedFrameAfterFullscreenIsWindowed) {
    ASSERT_EQ(h->open_window(), 0);
    VKO_Frame full = {VKO_FRAME_FULLSCREEN, 400, 300, "", 100, 100};
    VKO_WindowSetFrame(h->app, 0, &full);
    ASSERT_TRUE(settle(0, {0, 0, DisplayWidth(d.dpy, 0), DisplayHeight(d.dpy, 0)}));
    EXPECT_TRUE(VKO_WindowIsFullscreen(h->app, 0));
    VKO_Frame win = {0, 500, 320, "", 60, 70};
    VKO_WindowSetFrame(h->app, 0, &win);
    ASSERT_TRUE(settle(0, {60, 70, 500, 320}));
    EXPECT_FALSE(VKO_WindowIsFullscreen(h->app, 0));
    VKO_Frame g = VKO_WindowGetFrame(h->app, 0);
    EXPECT_EQ(g.flags, 0u);
    EXPECT_EQ(g.width, 500u);
    EXPECT_EQ(g.x, 60);
    VKO_WindowSetFullscreen(h->app, 0, true);
    ASSERT_TRUE(settle(0, {0, 0, DisplayWidth(d.dpy, 0), DisplayHeight(d.dpy, 0)}));
    EXPECT_TRUE(VKO_WindowIsFullscreen(h->app, 0));
    VKO_WindowSetFullscreen(h->app, 0, false);
    EXPECT_TRUE(settle(0, {60, 70, 500, 320})) << "back where the windowed frame put it";
}

// Focus and map notices another client makes up say nothing about the
// window: the app stays in front and visible.
TEST_F(WindowTest, MadeUpFocusAndMapNoticesAreIgnored) {
    ASSERT_EQ(h->open_window(), 0);
    h->events.clear();
    XEvent e = {};
    e.xfocus.type = FocusOut;
    e.xfocus.window = xid(0);
    e.xfocus.mode = NotifyNormal;
    e.xfocus.detail = NotifyNonlinear;
    XSendEvent(d.dpy, xid(0), False, FocusChangeMask, &e);
    e = {};
    e.xunmap.type = UnmapNotify;
    e.xunmap.event = e.xunmap.window = xid(0);
    XSendEvent(d.dpy, xid(0), False, StructureNotifyMask, &e);
    e = {};  // last: a move, which is taken
    e.xconfigure.type = ConfigureNotify;
    e.xconfigure.event = e.xconfigure.window = xid(0);
    e.xconfigure.x = 130, e.xconfigure.y = 140;
    XSendEvent(d.dpy, xid(0), False, StructureNotifyMask, &e);
    XSync(d.dpy, False);
    ASSERT_TRUE(h->pump_until([&] { return h->has(VKO_EVENT_MOVE); }));
    EXPECT_FALSE(h->has(VKO_EVENT_FOCUS));
    EXPECT_FALSE(h->has(VKO_EVENT_SIZE));
    EXPECT_TRUE(VKO_AppIsActive(h->app));
    EXPECT_TRUE(VKO_WindowIsVisible(h->app, 0));
}

// A dropped path longer than the 1,280 units the drop takes is refused whole:
// cut, it would name another file.
TEST_F(WindowTest, DroppedPathsTooLongToTakeWholeAreRefused) {
    ASSERT_EQ(h->open_window(), 0);
    TempDir dir;
    std::string d_path = dir.path;
    while (d_path.size() < 1200) {
        d_path += "/" + std::string(std::min<size_t>(200, 1250 - d_path.size()), 'd');
        mkdir(d_path.c_str(), 0700);
    }
    std::string name(80, 'n');
    std::string path = d_path + "/" + name;
    ASSERT_GT(path.size(), 1280u);
    write_file(path, "right");
    write_file(path.substr(0, 1280), "wrong");  // what a cut would read
    DndSource src(d, xid(0), "file://" + path + "\r\n");
    h->on_frame = [&] { src.step(); };
    ASSERT_TRUE(h->pump_until([&] { return src.finished; }));
    h->on_frame = nullptr;
    EXPECT_FALSE(src.succeeded);
    EXPECT_FALSE(h->has(VKO_EVENT_DROP));
    // Non-ASCII paths within the limit still arrive.
    std::string e_path = dir.file("\xC3\xA9t\xC3\xA9.txt");
    write_file(e_path, "summer");
    DndSource ok(d, xid(0), "file://" + e_path + "\r\n");
    h->on_frame = [&] { ok.step(); };
    ASSERT_TRUE(h->pump_until([&] { return ok.finished; }));
    h->on_frame = nullptr;
    EXPECT_TRUE(ok.succeeded);
    ASSERT_EQ(h->count(VKO_EVENT_DROP), 1u);
    EXPECT_EQ(h->events.back().name, e_path);
    EXPECT_EQ(h->events.back().data, "summer");
}

}  // namespace
