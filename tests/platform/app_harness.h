// Driving the app object under the test binary's own Xvfb: the app runs its
// loop on the test thread until a condition holds; a second X connection (the
// driver) plays the user through XTest and the other clients.
#pragma once

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/app.h"
#include "platform/window.h"
#include "support/x_window.h"
#include "support/xvfb.h"

// An event with its pointers' contents copied.
struct Seen {
    VKO_Event ev;
    std::string name, data;
};

class AppHarness {
   public:
    explicit AppHarness(uint32_t flags = 0) {
        app = VKO_AppCreate(flags, &AppHarness::frame, &AppHarness::event, this);
    }
    ~AppHarness() { VKO_AppDestroy(&app); }

    // Runs the loop until pred holds (checked after each pass) or the time
    // runs out; true when pred held.
    bool pump_until(const std::function<bool()> &pred, int ms = 5000) {
        until_ = pred;
        deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        held_ = false;
        VKO_AppRun(app);
        return held_;
    }
    void pump(int ms) {
        pump_until([] { return false; }, ms);
    }
    size_t count(VKO_EventType type) const {
        size_t n = 0;
        for (const Seen &s : events)
            if (s.ev.type == type) n++;
        return n;
    }
    bool has(VKO_EventType type) const { return count(type) > 0; }
    std::vector<VKO_Event> of(VKO_EventType type) const {
        std::vector<VKO_Event> out;
        for (const Seen &s : events)
            if (s.ev.type == type) out.push_back(s.ev);
        return out;
    }
    // Creates a window and waits until it has the focus.
    int32_t open_window(const VKO_Frame *frame = nullptr, const char *title = "test", int32_t index = 0) {
        VKO_Frame f = {0, 400, 300, "", 100, 100};
        int32_t i = VKO_WindowCreate(app, title, frame ? frame : &f, index);
        if (i >= 0) pump_until([&] { return VKO_AppIsActive(app); }, 3000);
        return i;
    }

    VKO_App *app = nullptr;
    std::vector<Seen> events;
    std::function<void(const VKO_Event &)> on_event;
    std::function<void()> on_frame;

   private:
    static bool frame(void *opaque) {
        auto *h = (AppHarness *)opaque;
        if (h->on_frame) h->on_frame();
        if (h->until_ && h->until_()) {
            h->held_ = true;
            return false;
        }
        return std::chrono::steady_clock::now() < h->deadline_;
    }
    static void event(const VKO_Event *e, void *opaque) {
        auto *h = (AppHarness *)opaque;
        if (e->type == VKO_EVENT_NONE) return;
        Seen s;
        s.ev = *e;
        if (e->type == VKO_EVENT_DROP) {
            s.name = e->drop.name ? e->drop.name : "";
            if (e->drop.data) s.data.assign((const char *)e->drop.data, e->drop.size);
        }
        h->events.push_back(s);
        if (h->on_event) h->on_event(*e);
    }

    std::function<bool()> until_;
    std::chrono::steady_clock::time_point deadline_;
    bool held_ = false;
};

// The user and the other clients, on a connection of their own.
class Driver {
   public:
    Driver() { dpy = XOpenDisplay(xvfb_display().c_str()); }
    ~Driver() {
        if (dpy) XCloseDisplay(dpy);
    }
    Window root() const { return DefaultRootWindow(dpy); }
    unsigned keycode(KeySym ks) { return XKeysymToKeycode(dpy, ks); }
    void key(unsigned keycode, bool down) {
        XTestFakeKeyEvent(dpy, keycode, down, CurrentTime);
        XSync(dpy, False);
    }
    void tap(KeySym ks) {
        key(keycode(ks), true);
        key(keycode(ks), false);
    }
    void button(unsigned b, bool down) {
        XTestFakeButtonEvent(dpy, b, down, CurrentTime);
        XSync(dpy, False);
    }
    void move(int x, int y) {
        XTestFakeMotionEvent(dpy, -1, x, y, CurrentTime);
        XSync(dpy, False);
    }
    void move_by(int dx, int dy) {
        XTestFakeRelativeMotionEvent(dpy, dx, dy, CurrentTime);
        XSync(dpy, False);
    }
    void pointer(int *x, int *y) {
        Window r, c;
        int wx, wy;
        unsigned m;
        XQueryPointer(dpy, root(), &r, &c, x, y, &wx, &wy, &m);
    }
    // The window manager's close (WM_DELETE_WINDOW) of a window.
    void close_window(Window w) { send_wm_close(dpy, w); }
    bool caps_on() {
        unsigned st = 0;
        XkbGetIndicatorState(dpy, XkbUseCoreKbd, &st);
        return st & 1;
    }
    Display *dpy;
};
