// The tray icon against a tray manager played by the test (its own X
// connection, so it can "die" by closing it), the popup menu driven with
// XTest from a second thread while the app's menu loop runs, balloons, and
// the message box; one screenshot of them together.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <thread>

#include "platform/app_harness.h"
#include "platform/app_internal.h"
#include "platform/image.h"
#include "platform/memory.h"
#include "platform/x11/x11_app.h"
#include "support/log_capture.h"
#include "support/ximage_rgba.h"

// Fontconfig keeps what it read of its configuration for the process.
extern "C" const char *__lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace {

class TrayManager {
   public:
    explicit TrayManager(bool announce = true) {
        dpy = XOpenDisplay(xvfb_display().c_str());
        Window root = DefaultRootWindow(dpy);
        win = XCreateSimpleWindow(dpy, root, 600, 0, 200, 30, 0, 0, 0x404040);
        XSelectInput(dpy, win, SubstructureNotifyMask);
        XMapWindow(dpy, win);
        Atom sel = XInternAtom(dpy, "_NET_SYSTEM_TRAY_S0", False);
        XSetSelectionOwner(dpy, sel, win, CurrentTime);
        if (announce) {
            XEvent e = {};
            e.xclient.type = ClientMessage;
            e.xclient.window = root;
            e.xclient.message_type = XInternAtom(dpy, "MANAGER", False);
            e.xclient.format = 32;
            e.xclient.data.l[0] = CurrentTime;
            e.xclient.data.l[1] = (long)sel;
            e.xclient.data.l[2] = (long)win;
            XSendEvent(dpy, root, False, StructureNotifyMask, &e);
        }
        XSync(dpy, False);
    }
    ~TrayManager() { die(); }
    // Closing the connection hands docked icons back to the root window.
    void die() {
        if (dpy) XCloseDisplay(dpy);
        dpy = nullptr;
    }
    void step() {
        if (!dpy) return;
        Atom opcode = XInternAtom(dpy, "_NET_SYSTEM_TRAY_OPCODE", False);
        Atom data = XInternAtom(dpy, "_NET_SYSTEM_TRAY_MESSAGE_DATA", False);
        while (XPending(dpy)) {
            XEvent e;
            XNextEvent(dpy, &e);
            if (e.type != ClientMessage) continue;
            if (e.xclient.message_type == opcode && e.xclient.data.l[1] == 0) {
                Window icon = (Window)e.xclient.data.l[2];
                XAddToSaveSet(dpy, icon);
                XReparentWindow(dpy, icon, win, 4 + 26 * (int)docked.size(), 4);
                XMapWindow(dpy, icon);
                docked.push_back(icon);
            } else if (e.xclient.message_type == opcode && e.xclient.data.l[1] == 1) {
                pending = e.xclient.data.l[3];
                balloon.clear();
            } else if (e.xclient.message_type == data && pending > 0) {
                long n = std::min(20L, pending);
                balloon.append(e.xclient.data.b, (size_t)n);
                pending -= n;
            }
        }
        XSync(dpy, False);
    }
    Display *dpy;
    Window win;
    std::vector<Window> docked;
    std::string balloon;
    long pending = 0;
};

// A viewable top-level window of that name, 0 when there is none.
Window find_named(Display *dpy, const char *title) {
    Window r, p, *kids = nullptr, found = 0;
    unsigned n = 0;
    XQueryTree(dpy, DefaultRootWindow(dpy), &r, &p, &kids, &n);
    for (unsigned k = 0; k < n && !found; k++) {
        char *name = nullptr;
        XWindowAttributes a;
        if (XGetWindowAttributes(dpy, kids[k], &a) && a.map_state == IsViewable &&
            XFetchName(dpy, kids[k], &name) && name) {
            if (strcmp(name, title) == 0) found = kids[k];
            XFree(name);
        }
    }
    if (kids) XFree(kids);
    return found;
}

// Waits for a viewable top-level window of that name; 0 when none comes.
Window wait_named(Display *dpy, const char *title) {
    for (int i = 0; i < 2000; i++) {
        if (Window w = find_named(dpy, title)) return w;
        usleep(10000);
    }
    return 0;
}

// The menu worked by the user on a connection of their own: `act` runs once
// the menu shows. A menu still open 3 s later is closed by a click far from
// every window, so that a menu which ignores the user cannot hold the test;
// `rescued` tells it happened.
class MenuUser {
   public:
    explicit MenuUser(std::function<void(Driver &, Window)> act)
        : thread_([this, act] {
              Driver t;
              if (Window menu = wait_named(t.dpy, "VKO_Menu")) {
                  shown = true;
                  act(t, menu);
                  bool gone = false;
                  for (int i = 0; i < 300 && !gone; i++) {
                      gone = !find_named(t.dpy, "VKO_Menu");
                      if (!gone) usleep(10000);
                  }
                  if (!gone) {
                      rescued = true;
                      t.move(DisplayWidth(t.dpy, 0) - 2, DisplayHeight(t.dpy, 0) - 2);
                      t.button(1, true);
                      t.button(1, false);
                  }
              }
              finished = true;
          }) {}
    ~MenuUser() { join(); }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    std::atomic<bool> shown{false}, rescued{false}, finished{false};

   private:
    std::thread thread_;
};

class TrayTest : public ::testing::Test {
   protected:
    void SetUp() override {
        if (xvfb_display().empty()) GTEST_SKIP() << "no Xvfb";
        h = std::make_unique<AppHarness>();
        ASSERT_NE(h->app, nullptr);
        VKO_Frame f = {0, 500, 350, "", 50, 60};
        ASSERT_EQ(h->open_window(&f, "Zarvek"), 0);
    }
    void TearDown() override { h.reset(); }
    void set_tray() {
        static const VKO_TrayItem items[] = {
            {nullptr, "Open Zarvek", 11},
            {[](void *) { return true; }, "Start with the system", 12},
            {nullptr, "", 0},
            {nullptr, "Quit", 13},
        };
        VKO_AppSetTray(h->app, "Zarvek host", items, 4);
    }
    // The manager serves the tray from every frame; the app's icon docks in it.
    bool dock(TrayManager &m) {
        h->on_frame = [&m] { m.step(); };
        set_tray();
        return h->pump_until([&] { return m.docked.size() == 1; });
    }
    // A right click on the icon as the tray passes it on (the pointer may be
    // held elsewhere by the app).
    void open_menu() {
        XEvent e = {};
        e.xbutton.type = ButtonRelease;
        e.xbutton.window = x11(h->app)->tray_icon;
        e.xbutton.button = 3;
        XSendEvent(d.dpy, e.xbutton.window, False, ButtonReleaseMask, &e);
        XSync(d.dpy, False);
    }
    // Runs the app until the user is done with the menu and it closed.
    bool pump_menu(MenuUser &user) {
        return h->pump_until([&] { return user.finished && !h->app->tray.menu_open; }, 30000);
    }
    // Return in the focused message box ends it, and its thread with it.
    void close_box(Window bw, const std::atomic<bool> &box_done, std::thread *box) {
        XSetInputFocus(d.dpy, bw, RevertToParent, CurrentTime);
        XSync(d.dpy, False);
        d.tap(XK_Return);
        for (int i = 0; i < 300 && !box_done; i++) usleep(10000);
        EXPECT_TRUE(box_done);
        box->join();
    }
    // The ink bands of each row of the menu of these items (no item hot),
    // read once each labelled row shows some; and those of a message box's
    // lines above its button, once `lines` show. Each with a screenshot.
    using Bands = std::vector<std::pair<int, int>>;
    void menu_ink(const VKO_TrayItem *items, uint32_t n, const char *shot, std::vector<Bands> *rows);
    void box_ink(const char *title, const std::string &text, size_t lines, const char *shot, Bands *out);
    // Centre of the docked icon in root coordinates.
    void icon_centre(TrayManager &m, int *x, int *y) {
        Window c;
        XTranslateCoordinates(d.dpy, m.docked.back(), d.root(), 11, 11, x, y, &c);
    }
    std::unique_ptr<AppHarness> h;
    Driver d;
};

TEST_F(TrayTest, DocksRedocksAfterANewManagerAndRetriesWithoutOne) {
    TrayManager m;
    ASSERT_TRUE(dock(m));
    char *name = nullptr;
    XFetchName(d.dpy, m.docked[0], &name);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "Zarvek host");
    XFree(name);
    Atom type;
    int format;
    unsigned long n, after;
    unsigned char *info = nullptr;
    XGetWindowProperty(d.dpy, m.docked[0], XInternAtom(d.dpy, "_XEMBED_INFO", False), 0, 2, False,
                       AnyPropertyType, &type, &format, &n, &after, &info);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(((long *)info)[1], 1) << "mapped";
    XFree(info);

    // The tray goes away and a new one announces itself.
    m.die();
    h->pump(100);
    TrayManager m2;
    h->on_frame = [&] { m2.step(); };
    ASSERT_TRUE(h->pump_until([&] { return m2.docked.size() == 1; }));

    // No tray at first: the loop tries again within 2 s of the last try.
    VKO_AppRemoveTray(h->app);
    m2.die();
    h->pump(50);
    LogCapture log;
    set_tray();
    EXPECT_TRUE(log.contains("VKO_AppSetTray: 'Shell_NotifyIcon' failed"));
    TrayManager quiet(false);
    h->on_frame = [&] { quiet.step(); };
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(h->pump_until([&] { return quiet.docked.size() == 1; }, 6000));
    EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500))
        << "only the retry docks it";

    // Balloons go to the tray as messages.
    VKO_AppSendNotification(h->app, "Guest", "joined");
    ASSERT_TRUE(h->pump_until([&] { return quiet.balloon == "Guest\njoined"; }));
    h->on_frame = nullptr;
}

TEST_F(TrayTest, LeftClickActivatesOnceAndTheMenuReportsTheChosenItem) {
    TrayManager m;
    ASSERT_TRUE(dock(m));
    h->pump(50);
    int ix, iy;
    icon_centre(m, &ix, &iy);
    // Focus elsewhere, then a click on the icon brings window 0 back.
    Window other = XCreateSimpleWindow(d.dpy, d.root(), 900, 900, 10, 10, 0, 0, 0);
    XMapWindow(d.dpy, other);
    XSync(d.dpy, False);
    h->pump(30);
    XSetInputFocus(d.dpy, other, RevertToParent, CurrentTime);
    XSync(d.dpy, False);
    ASSERT_TRUE(h->pump_until([&] { return !VKO_AppIsActive(h->app); }));
    d.move(ix, iy);
    d.button(1, true);
    d.button(1, false);
    ASSERT_TRUE(h->pump_until([&] { return VKO_AppIsActive(h->app); }));
    auto first = std::chrono::steady_clock::now();
    // A second click right after is inside the double-click guard (checked
    // only when this machine got there well within it).
    XSetInputFocus(d.dpy, other, RevertToParent, CurrentTime);
    XSync(d.dpy, False);
    ASSERT_TRUE(h->pump_until([&] { return !VKO_AppIsActive(h->app); }));
    d.button(1, true);
    d.button(1, false);
    h->pump(150);
    if (std::chrono::steady_clock::now() - first < std::chrono::milliseconds(800)) {
        EXPECT_FALSE(VKO_AppIsActive(h->app));
    }

    // Right click: the menu opens under the icon; the driver picks the
    // second item from another thread while the app's menu loop runs.
    std::atomic<bool> clicked{false};
    std::thread user([&] {
        Driver t;
        Window menu = wait_named(t.dpy, "VKO_Menu");
        if (!menu) return;
        int mx, my;
        Window c;
        XTranslateCoordinates(t.dpy, menu, t.root(), 30, 20 + 10, &mx, &my, &c);
        t.move(mx, my);
        t.button(1, true);
        t.button(1, false);
        clicked = true;
    });
    h->events.clear();
    d.move(ix, iy);
    d.button(3, true);
    d.button(3, false);
    bool got = h->pump_until([&] { return h->has(VKO_EVENT_TRAY); });
    user.join();
    EXPECT_TRUE(clicked);
    ASSERT_TRUE(got);
    EXPECT_EQ(h->of(VKO_EVENT_TRAY)[0].tray, 12u);
    XDestroyWindow(d.dpy, other);
    XSync(d.dpy, False);
    h->on_frame = nullptr;
}

TEST_F(TrayTest, MessageBoxClosesOnReturnBesideTheOpenMenu) {
    TrayManager m;
    ASSERT_TRUE(dock(m));
    std::atomic<bool> box_done{false};
    std::thread box([&] {
        VKO_ShowMessageBox("Zarvek notice", "The host stopped: %s\nCode %d", "no display", 7);
        box_done = true;
    });
    Window bw = wait_named(d.dpy, "Zarvek notice");
    ASSERT_NE(bw, 0u);
    int ix, iy;
    icon_centre(m, &ix, &iy);
    std::thread user([&] {
        Driver t;
        Window menu = wait_named(t.dpy, "VKO_Menu");
        if (!menu) return;
        usleep(100000);
        save_screenshot(t.dpy, t.root(), "app_tray_menu_box", 2400, 900);
        t.tap(XK_Escape);  // the menu holds the keyboard
    });
    d.move(ix, iy);
    d.button(3, true);
    d.button(3, false);
    h->pump(300);
    user.join();
    h->pump(100);
    EXPECT_FALSE(h->has(VKO_EVENT_TRAY)) << "dismissed";
    close_box(bw, box_done, &box);
    h->on_frame = nullptr;
}

// Opening the menu hands it the app's keyboard and pointer grabs (one
// client holds one of each); once it closes the app holds them again, and
// while it is open its moves and clicks, which raw events report whatever
// the grabs, are not the app's.
TEST_F(TrayTest, TheAppTakesItsGrabsBackWhenTheMenuCloses) {
    TrayManager m;
    ASSERT_TRUE(dock(m));
    X11App *x = x11(h->app);
    d.move(300, 250);
    VKO_AppGrabKeyboard(h->app, true);
    VKO_AppSetRelativeMouse(h->app, true);
    ASSERT_TRUE(h->pump_until([&] { return h->app->hook_installed && x->pointer_grabbed && x->raw_on; }));
    h->events.clear();
    MenuUser user([](Driver &t, Window) {
        t.move_by(6, 4);
        t.button(1, true);  // outside the menu (on the app's window): closes it
        t.button(1, false);
    });
    open_menu();
    ASSERT_TRUE(pump_menu(user));
    EXPECT_TRUE(user.shown);
    EXPECT_FALSE(user.rescued) << "a click outside closes the menu";
    EXPECT_FALSE(h->has(VKO_EVENT_MOTION)) << "the menu's moves reached the app";
    EXPECT_FALSE(h->has(VKO_EVENT_BUTTON)) << "the menu's click reached the app";
    EXPECT_EQ(XGrabKeyboard(d.dpy, d.root(), False, GrabModeAsync, GrabModeAsync, CurrentTime),
              AlreadyGrabbed)
        << "the app holds the keyboard again";
    EXPECT_EQ(XGrabPointer(d.dpy, d.root(), False, 0, GrabModeAsync, GrabModeAsync, None, None, CurrentTime),
              AlreadyGrabbed)
        << "the app holds the pointer again";
    XUngrabKeyboard(d.dpy, CurrentTime);
    XUngrabPointer(d.dpy, CurrentTime);
    XSync(d.dpy, False);
    VKO_AppSetRelativeMouse(h->app, false);
    VKO_AppGrabKeyboard(h->app, false);
    h->pump(50);
    h->on_frame = nullptr;
}

// The session's end closes window 0 while the menu is open, and the event
// function destroys the app: the menu goes at once with its grabs, and the
// loop ends.
TEST_F(TrayTest, ADestroyAskedForWhileTheMenuIsOpenClosesIt) {
    TrayManager m;
    ASSERT_TRUE(dock(m));
    Window w0 = (Window)(uintptr_t)VKO_WindowGetNative(h->app, 0);
    h->on_event = [&](const VKO_Event &e) {
        if (e.type == VKO_EVENT_CLOSE) VKO_AppDestroy(&h->app);
    };
    MenuUser user([&](Driver &t, Window) { t.close_window(w0); });
    open_menu();
    h->pump(30000);
    EXPECT_EQ(h->app, nullptr) << "the loop ended with the app";
    user.join();
    EXPECT_TRUE(user.shown);
    EXPECT_FALSE(user.rescued) << "the menu stayed open";
}

// With an app window focused the menu's keys and clicks are still the
// menu's: Escape and a click on the window close it, the arrow keys and
// Return choose, and none of them reaches the event function.
TEST_F(TrayTest, TheMenuKeepsItsKeysAndClicksWhileAnAppWindowHasTheFocus) {
    TrayManager m;
    ASSERT_TRUE(dock(m));
    ASSERT_TRUE(VKO_AppIsActive(h->app));
    const VKO_Rect g = h->app->windows[0]->geom;
    h->events.clear();
    {
        MenuUser user([](Driver &t, Window) {
            t.tap(XK_a);
            t.tap(XK_Escape);
        });
        open_menu();
        ASSERT_TRUE(pump_menu(user));
        EXPECT_TRUE(user.shown);
        EXPECT_FALSE(user.rescued) << "Escape closes the menu";
    }
    {
        MenuUser user([&](Driver &t, Window) {
            t.move(g.x + g.w / 2, g.y + g.h / 2);
            t.button(1, true);
            t.button(1, false);
        });
        open_menu();
        ASSERT_TRUE(pump_menu(user));
        EXPECT_FALSE(user.rescued) << "a click on the app's window closes the menu";
    }
    {
        MenuUser user([&](Driver &t, Window) {
            t.move(g.x + g.w / 2, g.y + g.h / 2);  // off the menu: no item is hot
            t.tap(XK_Down);
            t.tap(XK_Down);
            t.tap(XK_Return);
        });
        open_menu();
        ASSERT_TRUE(pump_menu(user));
        EXPECT_FALSE(user.rescued);
    }
    EXPECT_FALSE(h->has(VKO_EVENT_KEY)) << "the menu's keys reached the app";
    EXPECT_FALSE(h->has(VKO_EVENT_TEXT));
    EXPECT_FALSE(h->has(VKO_EVENT_BUTTON)) << "the menu's click reached the app";
    auto tray = h->of(VKO_EVENT_TRAY);
    ASSERT_EQ(tray.size(), 1u);
    EXPECT_EQ(tray[0].tray, 12u) << "the second item";
    h->on_frame = nullptr;
}

// Input devices coming or going close the menu; the driver adds a master
// pointer and keyboard pair, then takes it away again.
TEST_F(TrayTest, ADeviceChangeClosesTheMenu) {
    int opcode, ev, err, major = 2, minor = 0;
    if (!XQueryExtension(d.dpy, "XInputExtension", &opcode, &ev, &err) ||
        XIQueryVersion(d.dpy, &major, &minor) != Success)
        GTEST_SKIP() << "no XInput 2";
    TrayManager m;
    ASSERT_TRUE(dock(m));
    MenuUser user([](Driver &t, Window) {
        XIAddMasterInfo add = {};
        add.type = XIAddMaster;
        add.name = (char *)"tray-test";
        add.send_core = True;
        add.enable = True;
        XIChangeHierarchy(t.dpy, (XIAnyHierarchyChangeInfo *)&add, 1);
        XSync(t.dpy, False);
    });
    open_menu();
    ASSERT_TRUE(pump_menu(user));
    EXPECT_TRUE(user.shown);
    EXPECT_FALSE(user.rescued) << "the device change closes the menu";
    EXPECT_FALSE(h->has(VKO_EVENT_TRAY));
    int n = 0;
    XIDeviceInfo *info = XIQueryDevice(d.dpy, XIAllMasterDevices, &n);
    for (int i = 0; i < n; i++) {
        if (info[i].use != XIMasterPointer || strcmp(info[i].name, "tray-test pointer") != 0) continue;
        XIRemoveMasterInfo rm = {};
        rm.type = XIRemoveMaster;
        rm.deviceid = info[i].deviceid;
        rm.return_mode = XIFloating;
        XIChangeHierarchy(d.dpy, (XIAnyHierarchyChangeInfo *)&rm, 1);
    }
    XIFreeDeviceInfo(info);
    XSync(d.dpy, False);
    h->pump(50);
    h->on_frame = nullptr;
}

// Horizontal extents (first and last column with ink) of the bands of rows
// with ink, top to bottom, within the drawable's rectangle (x0, y0, w, h);
// the colour at (x0, y0) is the background.
std::vector<std::pair<int, int>> ink_bands(Display *dpy, Drawable d, int x0, int y0, int w, int h) {
    std::vector<std::pair<int, int>> bands;
    XImage *img = XGetImage(dpy, d, x0, y0, (unsigned)w, (unsigned)h, AllPlanes, ZPixmap);
    if (!img) return bands;
    unsigned long bg = XGetPixel(img, 0, 0);
    bool in = false;
    for (int y = 0; y < h; y++) {
        int lo = w, hi = -1;
        for (int x = 0; x < w; x++)
            if (XGetPixel(img, x, y) != bg) lo = std::min(lo, x), hi = std::max(hi, x);
        if (hi < 0) {
            in = false;
            continue;
        }
        if (!in) bands.push_back({lo, hi});
        bands.back().first = std::min(bands.back().first, lo);
        bands.back().second = std::max(bands.back().second, hi);
        in = true;
    }
    XDestroyImage(img);
    return bands;
}

// Eight omegas are about as wide as eight O's; read byte by byte they would
// be sixteen Latin-1 characters.
void expect_omegas_as_wide_as_os(const std::pair<int, int> &omegas, const std::pair<int, int> &os) {
    double ratio = double(omegas.second - omegas.first + 1) / double(os.second - os.first + 1);
    EXPECT_GT(ratio, 0.75) << "omegas " << omegas.first << ".." << omegas.second << ", O's " << os.first
                           << ".." << os.second;
    EXPECT_LT(ratio, 1.33) << "omegas " << omegas.first << ".." << omegas.second << ", O's " << os.first
                           << ".." << os.second;
}

void TrayTest::menu_ink(const VKO_TrayItem *items, uint32_t n, const char *shot, std::vector<Bands> *rows) {
    rows->assign(n, {});
    TrayManager m;
    h->on_frame = [&] { m.step(); };
    VKO_AppSetTray(h->app, "Zarvek", items, n);
    ASSERT_TRUE(h->pump_until([&] { return m.docked.size() == 1; }));
    auto all = [&] {
        for (uint32_t r = 0; r < n; r++)
            if (items[r].label[0] && (*rows)[r].empty()) return false;
        return true;
    };
    MenuUser user([&](Driver &t, Window menu) {
        t.move(DisplayWidth(t.dpy, 0) - 2, DisplayHeight(t.dpy, 0) - 2);  // no item hot
        XWindowAttributes a;
        XGetWindowAttributes(t.dpy, menu, &a);
        for (int i = 0; i < 300 && !all(); i++) {
            for (uint32_t r = 0; r < n; r++)
                (*rows)[r] = ink_bands(t.dpy, menu, 2, (int)r * 20 + 1, a.width - 4, 18);
            if (!all()) usleep(10000);
        }
        save_screenshot(t.dpy, menu, shot);
        t.tap(XK_Escape);
    });
    open_menu();
    ASSERT_TRUE(pump_menu(user));
    h->on_frame = nullptr;
}

void TrayTest::box_ink(const char *title, const std::string &text, size_t lines, const char *shot,
                       Bands *out) {
    std::atomic<bool> box_done{false};
    std::thread box([&] {
        VKO_ShowMessageBox(title, "%s", text.c_str());
        box_done = true;
    });
    Window bw = wait_named(d.dpy, title);
    ASSERT_NE(bw, 0u);
    XWindowAttributes a;
    XGetWindowAttributes(d.dpy, bw, &a);
    for (int i = 0; i < 300 && out->size() < lines; i++) {
        *out = ink_bands(d.dpy, bw, 2, 2, a.width - 4, a.height - 44);  // above the button
        if (out->size() < lines) usleep(10000);
    }
    save_screenshot(d.dpy, bw, shot);
    close_box(bw, box_done, &box);
}

TEST_F(TrayTest, MenuLabelsAndMessageBoxTextAreUtf8) {
    const char *omegas = "\xCE\xA9\xCE\xA9\xCE\xA9\xCE\xA9\xCE\xA9\xCE\xA9\xCE\xA9\xCE\xA9";
    const char *off = "\xC3\x89teindre \xE2\x80\x93 \xCE\xA9";  // "Éteindre – Ω"
    const VKO_TrayItem items[] = {{nullptr, omegas, 1}, {nullptr, "OOOOOOOO", 2}, {nullptr, off, 3}};
    std::vector<Bands> rows;
    menu_ink(items, 3, "app_tray_menu_utf8", &rows);
    ASSERT_EQ(rows[0].size(), 1u);
    ASSERT_EQ(rows[1].size(), 1u);
    expect_omegas_as_wide_as_os(rows[0][0], rows[1][0]);

    Bands lines;
    box_ink("Zarvek UTF-8", std::string(omegas) + "\nOOOOOOOO\n" + off, 3, "app_message_box_utf8", &lines);
    ASSERT_EQ(lines.size(), 3u);
    expect_omegas_as_wide_as_os(lines[0], lines[1]);
}

// Bytes that are no UTF-8 are drawn as one U+FFFD each, never as what a lax
// reading makes of them: an overlong '/', a surrogate, a value above U+10FFFF,
// 5- and 6-byte forms each take as much room as that many U+FFFD.
TEST_F(TrayTest, BytesThatAreNoUtf8AreDrawnAsReplacementCharacters) {
    auto fffd = [](int n) {
        std::string s;
        while (n--) s += "\xEF\xBF\xBD";
        return s;
    };
    const std::string text[4] = {"a\xC0\xAFz", "a" + fffd(2) + "z",
                                 "b\xED\xA0\x80\xF4\x90\x80\x80\xF8\x88\x80\x80\x80\xFC\x84\x80\x80\x80\x80y",
                                 "b" + fffd(18) + "y"};
    const VKO_TrayItem items[] = {{nullptr, text[0].c_str(), 1},
                                  {nullptr, text[1].c_str(), 2},
                                  {nullptr, text[2].c_str(), 3},
                                  {nullptr, text[3].c_str(), 4}};
    std::vector<Bands> rows;
    menu_ink(items, 4, "app_tray_menu_bad_utf8", &rows);
    EXPECT_EQ(rows[0], rows[1]);
    EXPECT_EQ(rows[2], rows[3]);
    Bands lines;
    box_ink("Zarvek bad UTF-8", text[0] + "\n" + text[1] + "\n" + text[2] + "\n" + text[3], 4,
            "app_message_box_bad_utf8", &lines);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], lines[1]);
    EXPECT_EQ(lines[2], lines[3]);
}

// Long texts lose whole characters at their limits, never their encoding.
TEST_F(TrayTest, LongTextsAreCutOnCharacterBoundaries) {
    TrayManager m;
    h->on_frame = [&] { m.step(); };
    std::string e_acute = "\xC3\xA9";
    auto times = [&](int n) {
        std::string out;
        for (int i = 0; i < n; i++) out += e_acute;
        return out;
    };
    static const VKO_TrayItem items[] = {{nullptr, "Quit", 1}};
    VKO_AppSetTray(h->app, times(130).c_str(), items, 1);
    ASSERT_TRUE(h->pump_until([&] { return m.docked.size() == 1; }));
    Atom type;
    int format;
    unsigned long n, after;
    unsigned char *name = nullptr;
    XGetWindowProperty(d.dpy, m.docked[0], XInternAtom(d.dpy, "_NET_WM_NAME", False), 0, 1024, False,
                       AnyPropertyType, &type, &format, &n, &after, &name);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(std::string((const char *)name, n), times(127)) << "128 units with the NUL";
    XFree(name);
    // Balloon: title 64 units, text 256; a character beyond the 16-bit plane
    // takes two and is not split.
    std::string emoji = "\xF0\x9F\x98\x80";
    VKO_AppSendNotification(h->app, times(70).c_str(), (times(254) + emoji).c_str());
    std::string want = times(63) + "\n" + times(254);
    ASSERT_TRUE(h->pump_until([&] { return m.balloon.size() >= want.size() && m.pending == 0; }));
    EXPECT_EQ(m.balloon, want);
    VKO_AppSendNotification(h->app, "t", (times(253) + emoji).c_str());
    want = "t\n" + times(253) + emoji;
    ASSERT_TRUE(h->pump_until([&] { return m.balloon == want; }));
    h->on_frame = nullptr;
}

// The tray menu (on the app's connection) or a message box (on its own) waits
// for the user when the X server goes away: the process lives on. Each runs
// in a child on a server of its own, which the test then stops.
void run_until_server_gone(bool menu) {
    XvfbServer server = xvfb_start_other({}, 800, 600);
    if (server.display.empty()) {
        GTEST_SKIP() << "no second Xvfb";
    }
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        setenv("DISPLAY", server.display.c_str(), 1);
        if (!menu) {
            VKO_ShowMessageBox("Server gone", "waiting");
            _exit(0);
        }
        VKO_App *app = VKO_AppCreate(
            0, [](void *) { return true; }, [](const VKO_Event *, void *) {}, nullptr);
        VKO_Frame f = {0, 300, 200, "", 10, 10};
        if (!app || VKO_WindowCreate(app, "app", &f, 0) != 0) _exit(2);
        Display *tray = XOpenDisplay(nullptr);  // a tray manager that never docks
        Window owner = XCreateSimpleWindow(tray, DefaultRootWindow(tray), 0, 0, 1, 1, 0, 0, 0);
        XSetSelectionOwner(tray, XInternAtom(tray, "_NET_SYSTEM_TRAY_S0", False), owner, CurrentTime);
        XSync(tray, False);
        static const VKO_TrayItem items[] = {{nullptr, "Open", 1}, {nullptr, "Quit", 2}};
        VKO_AppSetTray(app, "tip", items, 2);
        XEvent e = {};
        e.xbutton.type = ButtonRelease;
        e.xbutton.window = x11(app)->tray_icon;
        e.xbutton.button = 3;
        XSendEvent(tray, e.xbutton.window, False, ButtonReleaseMask, &e);
        XSync(tray, False);
        VKO_AppRun(app);  // ends once window 0 went with the server
        _exit(VKO_WindowExists(app, 0) ? 3 : 0);
    }
    Display *dpy = XOpenDisplay(server.display.c_str());
    ASSERT_NE(dpy, nullptr);
    EXPECT_NE(wait_named(dpy, menu ? "VKO_Menu" : "Server gone"), 0u);
    XCloseDisplay(dpy);
    xvfb_stop(&server);
    int status = -1;
    for (int i = 0; i < 2000; i++) {
        if (waitpid(child, &status, WNOHANG) == child) break;
        status = -1;
        usleep(10000);
    }
    if (status == -1) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        ADD_FAILURE() << "still waiting after the server went away";
        return;
    }
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
}

TEST(TrayServerGone, TheMenuOutlivesTheServer) {
    run_until_server_gone(true);
}

TEST(TrayServerGone, TheMessageBoxOutlivesTheServer) {
    run_until_server_gone(false);
}

}  // namespace
