// The input demonstration: a small window on the first display that the
// client clicks into and types 'z' into through the stream's input path. It
// runs on a thread of its own, with its own X connection, and hands back one
// line; client_send takes the instance's client lock, so any thread may send.
// Its waits end at a stop (a lost display included).
#include "input.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "connection/instance.h"
#include "host/input.h"
#include "platform/log.h"
#include "signals.h"
#include "timeline.h"

// After the others: Xlib defines None.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

namespace zv {

using namespace std::chrono_literals;

int32_t client_send(ZarvekInstance *z, ControlHeader h) {
    VKO_RWLockReader(z->client_lock);
    int32_t r = z->session ? proto_send_header(z->session->transport, h) : -1;
    VKO_RWLockUnlock(z->client_lock);
    return r;
}

namespace {

// The next event within bound_ms of `since`; false at a stop. Only a queued
// event is taken: XNextEvent would read from a connection whose server is gone.
bool next_event(Display *dpy, XEvent *e, int64_t since, double bound_ms) {
    while (!stopping() && VKO_TimeDiff(since, VKO_GetTime()) < bound_ms) {
        if (XPending(dpy)) {
            XNextEvent(dpy, e);
            return true;
        }
        std::this_thread::sleep_for(2ms);
    }
    return false;
}

}  // namespace

std::string input_demo(ZarvekInstance *client) {
    Display *dpy = open_display();
    if (!dpy) return "input: no display";
    const DisplayOutput &o = g_timeline.outputs[0];
    const int x = 40, y = 40, w = 160, h = 100;
    Window win =
        XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), o.left + x, o.top + y, w, h, 0, 0, 0x3060C0);
    XSetWindowAttributes attrs{};
    attrs.override_redirect = True;
    XChangeWindowAttributes(dpy, win, CWOverrideRedirect, &attrs);
    XSelectInput(dpy, win, KeyPressMask | ButtonPressMask | StructureNotifyMask);
    XMapRaised(dpy, win);
    XEvent e;
    bool mapped = false;
    for (const int64_t since = VKO_GetTime(); !mapped && next_event(dpy, &e, since, 5000);)
        mapped = e.type == MapNotify;
    XSetInputFocus(dpy, win, RevertToParent, CurrentTime);
    GC gc = XCreateGC(dpy, win, 0, nullptr);
    auto fill = [&](unsigned long colour) {  // seen in the stream: blue waiting, green once both arrived
        XSetForeground(dpy, gc, colour);
        XFillRectangle(dpy, win, gc, 0, 0, w, h);
        XSync(dpy, False);
    };
    fill(0x3060C0);
    int64_t t0 = VKO_GetTime();
    // Output pixels of the first display: the window's centre.
    client_send(client, ControlHeader{0, static_cast<uint32_t>(x + w / 2), static_cast<uint32_t>(y + h / 2),
                                      MSG_MOUSE_MOTION});
    client_send(client, ControlHeader{1, 1, 0, MSG_MOUSE_BUTTON});
    client_send(client, ControlHeader{1, 0, 0, MSG_MOUSE_BUTTON});
    const uint32_t kUsageZ = 29;
    client_send(client, ControlHeader{kUsageZ, 0, 1, MSG_KEY});
    client_send(client, ControlHeader{kUsageZ, 0, 0, MSG_KEY});
    bool key = false, click = false;
    int click_x = -1, click_y = -1;
    double key_ms = 0, click_ms = 0;
    while (mapped && (!key || !click) && next_event(dpy, &e, t0, 5000)) {
        if (e.type == KeyPress && XLookupKeysym(&e.xkey, 0) == XK_z && !key) {
            key = true;
            key_ms = VKO_TimeDiff(t0, VKO_GetTime());
        } else if (e.type == ButtonPress && e.xbutton.button == Button1 && !click) {
            click = true;
            click_x = e.xbutton.x;
            click_y = e.xbutton.y;
            click_ms = VKO_TimeDiff(t0, VKO_GetTime());
        }
    }
    if (key && click) {
        fill(0x20C040);
        std::this_thread::sleep_for(300ms);
    }
    XFreeGC(dpy, gc);
    XDestroyWindow(dpy, win);
    XCloseDisplay(dpy);
    char line[256];
    const char *missed = stopping() ? "did not arrive before the stop" : "did not arrive";
    std::snprintf(line, sizeof line, "input: click %s, key 'z' %s", click ? "arrived" : missed,
                  key ? "arrived" : missed);
    std::string out = line;
    if (click) {
        std::snprintf(line, sizeof line, "; click at (%d, %d) of the %dx%d window after %.0f ms", click_x,
                      click_y, w, h, click_ms);
        out += line;
    }
    if (key) {
        std::snprintf(line, sizeof line, "; key after %.0f ms", key_ms);
        out += line;
    }
    return out;
}

}  // namespace zv
