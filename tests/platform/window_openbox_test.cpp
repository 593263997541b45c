// Windows under a real window manager (openbox on the test's Xvfb): frame
// extents in placement, maximise, minimise and restore-maximised, fullscreen
// through the manager, and its close command.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/app_harness.h"
#include "platform/app_internal.h"

namespace {

pid_t g_wm = -1;

long *root_longs(Display *dpy, const char *name, unsigned long *n) {
    Atom type;
    int format;
    unsigned long after;
    unsigned char *data = nullptr;
    *n = 0;
    if (XGetWindowProperty(dpy, DefaultRootWindow(dpy), XInternAtom(dpy, name, False), 0, 64, False,
                           AnyPropertyType, &type, &format, n, &after, &data) != Success)
        return nullptr;
    return (long *)data;
}

class OpenboxTest : public ::testing::Test {
   protected:
    static void SetUpTestSuite() {
        if (xvfb_display().empty() || g_wm > 0) return;
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // ends with the test, also when it is killed
            execlp("openbox", "openbox", "--sm-disable", (char *)nullptr);
            _exit(127);
        }
        g_wm = pid;
        // Ready once it manages a window: a probe gets reparented.
        Driver d;
        Window probe = XCreateSimpleWindow(d.dpy, d.root(), 0, 0, 10, 10, 0, 0, 0);
        bool mapped = false;
        for (int i = 0; i < 1000; i++) {
            unsigned long n = 0;
            long *w = root_longs(d.dpy, "_NET_SUPPORTING_WM_CHECK", &n);
            bool up = w && n;
            if (w) XFree(w);
            if (up && !mapped) {
                usleep(100000);
                XMapWindow(d.dpy, probe);
                XSync(d.dpy, False);
                mapped = true;
            }
            Window r, p, *k = nullptr;
            unsigned nk = 0;
            XQueryTree(d.dpy, probe, &r, &p, &k, &nk);
            if (k) XFree(k);
            if (mapped && p != r) break;
            usleep(10000);
        }
        XDestroyWindow(d.dpy, probe);
        XSync(d.dpy, False);
    }
    static void TearDownTestSuite() {
        if (g_wm > 0) {
            kill(g_wm, SIGTERM);
            waitpid(g_wm, nullptr, 0);
            g_wm = -1;
        }
    }
    void SetUp() override {
        if (xvfb_display().empty()) GTEST_SKIP() << "no Xvfb";
        unsigned long n = 0;
        long *w = root_longs(d.dpy, "_NET_SUPPORTING_WM_CHECK", &n);
        bool up = w && n;
        if (w) XFree(w);
        if (!up) GTEST_SKIP() << "openbox did not start";
        h = std::make_unique<AppHarness>();
        ASSERT_NE(h->app, nullptr);
    }
    void TearDown() override { h.reset(); }
    Window xid(int32_t i) { return (Window)(uintptr_t)VKO_WindowGetNative(h->app, i); }
    VKO_Rect server_rect(Window w) {
        XWindowAttributes a;
        XGetWindowAttributes(d.dpy, w, &a);
        int x, y;
        Window c;
        XTranslateCoordinates(d.dpy, w, d.root(), 0, 0, &x, &y, &c);
        return {x, y, a.width, a.height};
    }
    VKO_Extents extents(Window w) {
        Atom type;
        int format;
        unsigned long n = 0, after;
        unsigned char *data = nullptr;
        VKO_Extents e = {0, 0, 0, 0};
        XGetWindowProperty(d.dpy, w, XInternAtom(d.dpy, "_NET_FRAME_EXTENTS", False), 0, 4, False,
                           XA_CARDINAL, &type, &format, &n, &after, &data);
        if (data && n == 4) {
            long *l = (long *)data;
            e = {(int32_t)l[0], (int32_t)l[1], (int32_t)l[2], (int32_t)l[3]};
        }
        if (data) XFree(data);
        return e;
    }
    bool has_state(Window w, const char *atom) {
        Atom type;
        int format;
        unsigned long n = 0, after;
        unsigned char *data = nullptr;
        XGetWindowProperty(d.dpy, w, XInternAtom(d.dpy, "_NET_WM_STATE", False), 0, 32, False, XA_ATOM, &type,
                           &format, &n, &after, &data);
        bool found = false;
        Atom a = XInternAtom(d.dpy, atom, False);
        for (unsigned long i = 0; data && i < n; i++) found |= ((Atom *)data)[i] == a;
        if (data) XFree(data);
        return found;
    }
    std::unique_ptr<AppHarness> h;
    Driver d;
};

TEST_F(OpenboxTest, PlacementCountsTheFrameAndRoundTrips) {
    VKO_Frame f = {0, 400, 300, "", 100, 120};
    ASSERT_EQ(h->open_window(&f), 0);
    ASSERT_TRUE(h->pump_until([&] { return extents(xid(0)).top > 0; }));
    VKO_Extents e = extents(xid(0));
    unsigned long n = 0;
    long *wa = root_longs(d.dpy, "_NET_WORKAREA", &n);
    int wx = wa && n >= 4 ? (int)wa[0] : 0, wy = wa && n >= 4 ? (int)wa[1] : 0;
    if (wa) XFree(wa);
    ASSERT_TRUE(h->pump_until([&] {
        VKO_Rect r = server_rect(xid(0));
        return r.x == wx + 100 && r.y == wy + 120 && r.w == 400 && r.h == 300;
    })) << server_rect(xid(0)).x
        << "," << server_rect(xid(0)).y << " " << server_rect(xid(0)).w << "x" << server_rect(xid(0)).h
        << " ext " << e.left << " " << e.top << " wa " << wx << " " << wy;
    VKO_Frame g = VKO_WindowGetFrame(h->app, 0);
    EXPECT_EQ(g.x, 100);
    EXPECT_EQ(g.y, 120);
    EXPECT_EQ(g.width, 400u);
    EXPECT_EQ(g.height, 300u);
    // A frame at the very top: the manager's frame stays in the work area.
    VKO_Frame top = {0, 400, 300, "", 100, 0};
    VKO_WindowSetFrame(h->app, 0, &top);
    EXPECT_TRUE(h->pump_until([&] { return server_rect(xid(0)).y == wy + e.top; }))
        << server_rect(xid(0)).y << " vs " << wy + e.top;
}

TEST_F(OpenboxTest, MaximiseMinimiseAndRestoreMaximised) {
    VKO_Frame f = {VKO_FRAME_MAXIMIZED, 400, 300, "", 50, 60};
    ASSERT_EQ(h->open_window(&f), 0);
    ASSERT_TRUE(h->pump_until([&] {
        return has_state(xid(0), "_NET_WM_STATE_MAXIMIZED_VERT") &&
               has_state(xid(0), "_NET_WM_STATE_MAXIMIZED_HORZ") && server_rect(xid(0)).w > 1000;
    }));
    VKO_Frame g = VKO_WindowGetFrame(h->app, 0);
    EXPECT_EQ(g.flags, VKO_FRAME_MAXIMIZED);
    EXPECT_EQ(g.width, 400u) << "the frame keeps the restored size";
    EXPECT_EQ(g.x, 50);
    // The user minimises it through the manager.
    h->events.clear();
    XEvent e = {};
    e.xclient.type = ClientMessage;
    e.xclient.window = xid(0);
    e.xclient.message_type = XInternAtom(d.dpy, "WM_CHANGE_STATE", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = IconicState;
    XSendEvent(d.dpy, d.root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
    XSync(d.dpy, False);
    ASSERT_TRUE(h->pump_until([&] { return !VKO_WindowIsVisible(h->app, 0); }));
    EXPECT_TRUE(h->has(VKO_EVENT_SIZE)) << "minimising is a size change";
    EXPECT_FALSE(VKO_AppIsActive(h->app));
    // The manager hands the focus to a window of its own a moment after the
    // minimise; activating before that lets its late hand-over win.
    h->pump_until(
        [&] {
            Window f = None;
            int revert = 0;
            XGetInputFocus(d.dpy, &f, &revert);
            return f != None && f != PointerRoot && f != d.root() && f != xid(0);
        },
        500);
    // Activation brings it back maximised.
    VKO_WindowActivate(h->app, 0, true);
    ASSERT_TRUE(h->pump_until([&] { return VKO_WindowIsVisible(h->app, 0) && VKO_AppIsActive(h->app); }));
    EXPECT_TRUE(has_state(xid(0), "_NET_WM_STATE_MAXIMIZED_VERT"));
    // Restored through a windowed frame: the manager drops the state.
    VKO_Frame plain = {0, 420, 310, "", 70, 80};
    VKO_WindowSetFrame(h->app, 0, &plain);
    ASSERT_TRUE(h->pump_until([&] {
        VKO_Rect r = server_rect(xid(0));
        return !has_state(xid(0), "_NET_WM_STATE_MAXIMIZED_VERT") && r.w == 420 && r.h == 310;
    }));
    EXPECT_EQ(VKO_WindowGetFrame(h->app, 0).flags, 0u);
}

TEST_F(OpenboxTest, FullscreenThroughTheManagerAndItsCloseCommand) {
    VKO_Frame f = {0, 400, 300, "", 40, 40};
    ASSERT_EQ(h->open_window(&f), 0);
    VKO_WindowSetFullscreen(h->app, 0, true);
    ASSERT_TRUE(h->pump_until([&] {
        VKO_Rect r = server_rect(xid(0));
        return has_state(xid(0), "_NET_WM_STATE_FULLSCREEN") && r.x == 0 && r.y == 0 &&
               r.w == DisplayWidth(d.dpy, 0);
    }));
    VKO_WindowSetFullscreen(h->app, 0, false);
    // The manager may restore the size and the position in separate steps.
    ASSERT_TRUE(h->pump_until(
        [&] {
            VKO_Rect r = server_rect(xid(0));
            VKO_Frame g = VKO_WindowGetFrame(h->app, 0);
            return !has_state(xid(0), "_NET_WM_STATE_FULLSCREEN") && r.w == 400 && r.h == 300 && g.x == 40 &&
                   g.y == 40;
        },
        20000))
        << server_rect(xid(0)).x << "," << server_rect(xid(0)).y << " " << server_rect(xid(0)).w << "x"
        << server_rect(xid(0)).h << has_state(xid(0), "_NET_WM_STATE_FULLSCREEN") << " frame at "
        << VKO_WindowGetFrame(h->app, 0).x << "," << VKO_WindowGetFrame(h->app, 0).y;
    VKO_Frame g = VKO_WindowGetFrame(h->app, 0);
    EXPECT_EQ(g.x, 40);
    EXPECT_EQ(g.y, 40);
    // With a manager, Alt+F4 closes: a close event, the window stays.
    ASSERT_TRUE(h->pump_until([&] { return VKO_AppIsActive(h->app); }));
    h->events.clear();
    d.key(d.keycode(XK_Alt_L), true);
    d.tap(XK_F4);
    d.key(d.keycode(XK_Alt_L), false);
    ASSERT_TRUE(h->pump_until([&] { return h->has(VKO_EVENT_CLOSE); }));
    EXPECT_TRUE(VKO_WindowExists(h->app, 0));
}

// Alt-Tab away and a click back through the manager: the Alt released while
// the switcher held the keyboard is up again for the app, and keys type.
TEST_F(OpenboxTest, AltTabAwayAndAClickBackLeaveNoAltHeld) {
    VKO_Frame f = {0, 400, 300, "", 40, 40};
    ASSERT_EQ(h->open_window(&f), 0);
    Window other = XCreateSimpleWindow(d.dpy, d.root(), 700, 100, 200, 150, 0, 0, 0x808080);
    XWMHints hints = {};
    hints.flags = InputHint;
    hints.input = True;
    XSetWMHints(d.dpy, other, &hints);
    XStoreName(d.dpy, other, "other");
    XMapWindow(d.dpy, other);
    XSync(d.dpy, False);
    ASSERT_TRUE(h->pump_until([&] {
        XWindowAttributes a;
        return XGetWindowAttributes(d.dpy, other, &a) && a.map_state == IsViewable;
    }));
    VKO_WindowActivate(h->app, 0, true);
    ASSERT_TRUE(h->pump_until([&] { return VKO_AppIsActive(h->app); }));
    h->events.clear();
    // A switcher's part: Alt goes down in the app, the switcher takes the
    // keyboard, Alt comes up there and the focus goes to the other window.
    d.key(d.keycode(XK_Alt_L), true);
    ASSERT_TRUE(h->pump_until([&] { return h->has(VKO_EVENT_KEY); }));
    ASSERT_EQ(XGrabKeyboard(d.dpy, d.root(), False, GrabModeAsync, GrabModeAsync, CurrentTime), GrabSuccess);
    d.key(d.keycode(XK_Alt_L), false);
    XSetInputFocus(d.dpy, other, RevertToParent, CurrentTime);
    XUngrabKeyboard(d.dpy, CurrentTime);
    XSync(d.dpy, False);
    ASSERT_TRUE(h->pump_until([&] { return !VKO_AppIsActive(h->app); }));
    VKO_Rect r = server_rect(xid(0));
    d.move(r.x + r.w / 2, r.y + r.h / 2);
    d.button(1, true);
    d.button(1, false);
    ASSERT_TRUE(h->pump_until([&] { return VKO_AppIsActive(h->app); })) << "the click brought it back";
    h->events.clear();
    d.tap(XK_a);
    ASSERT_TRUE(h->pump_until([&] { return h->has(VKO_EVENT_TEXT); }));
    auto keys = h->of(VKO_EVENT_KEY);
    ASSERT_FALSE(keys.empty());
    EXPECT_EQ(keys[0].key.mods, 0u);
    EXPECT_STREQ(h->of(VKO_EVENT_TEXT)[0].text, "a");
    XDestroyWindow(d.dpy, other);
    XSync(d.dpy, False);
}

}  // namespace
