// The tray icon as an XEmbed system-tray client (docked into whichever client
// owns _NET_SYSTEM_TRAY_S<screen>), its popup menu (our own override-redirect
// window with a nested event loop), balloon messages through the tray
// manager, and the message box (its own connection, so any thread may show
// one). Labels and messages are UTF-8, drawn with Xft.
//
// Threads: the menu runs on the app thread, a message box on any thread. The
// one state they share is Xft's (and RENDER's) records of every connection,
// a process-wide list that each look-up reorders: g_xft_mutex is held for
// every Xft call and for closing a connection that drew text
// (x11_close_display), so only one thread is ever inside Xft.
#include <X11/Xatom.h>
#include <X11/Xft/Xft.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>

#include <poll.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/log.h"
#include "platform/memory.h"
#include "platform/x11/error_trap.h"
#include "platform/x11/x11_app.h"

namespace {

constexpr int kIcon = 22;
constexpr int kItemH = 20;
constexpr int64_t kDoubleClickMs = 500;  // the usual double-click time

void wait_readable(Display *dpy, int ms) {
    pollfd p = {ConnectionNumber(dpy), POLLIN, 0};
    poll(&p, 1, ms);
}

// Waits for the next event of a connection; false once the server has gone.
// Xlib is never left blocking on its own: after the server went away and the
// IO-error handlers returned, a blocking read would use a connection that is
// no more.
bool wait_event(Display *dpy, const bool *dead, XEvent *e) {
    for (;;) {
        if (*dead) return false;
        int queued = XPending(dpy);
        if (*dead) return false;
        if (queued) {
            XNextEvent(dpy, e);
            return !*dead;
        }
        wait_readable(dpy, 100);
    }
}

unsigned long rgb(Display *dpy, int screen, unsigned short r, unsigned short g, unsigned short b) {
    XColor c;
    memset(&c, 0, sizeof(c));
    c.red = r, c.green = g, c.blue = b;
    c.flags = DoRed | DoGreen | DoBlue;
    XAllocColor(dpy, DefaultColormap(dpy, screen), &c);
    return c.pixel;
}

// Held for every Xft call (see the top of the file).
std::mutex g_xft_mutex;

// UTF-8 text in the desktop's sans-serif face. A character the face lacks
// is drawn with the first font fontconfig finds for it, so a label in any
// script shows; each byte that is no UTF-8 shows as U+FFFD.
class TextPainter {
   public:
    TextPainter(Display *dpy, int screen)
        : dpy_(dpy), screen_(screen), draw_(nullptr), colormap_(DefaultColormap(dpy, screen)) {
        std::lock_guard<std::mutex> lock(g_xft_mutex);
        // RENDER's record on the connection is made before Xft's, so that
        // closing the connection ends Xft's first: Xft frees its pictures
        // through RENDER then, and would otherwise make RENDER a new record
        // that outlives the connection (and that a later connection at the
        // same address takes for its own: requests with opcode 0).
        int event_base, error_base;
        XRenderQueryExtension(dpy, &event_base, &error_base);
        if (XftFont *f = XftFontOpenName(dpy, screen, kFace)) fonts_.push_back(f);
    }
    // Frees what it holds on the server: before the drawable is destroyed,
    // and never once the connection broke (Xlib is not called again then).
    void close(bool dead) {
        std::lock_guard<std::mutex> lock(g_xft_mutex);
        if (draw_ && !dead) XftDrawDestroy(draw_);
        if (!dead)
            for (XftFont *f : fonts_) XftFontClose(dpy_, f);
        draw_ = nullptr;
        fonts_.clear();
    }
    ~TextPainter() { close(false); }
    TextPainter(const TextPainter &) = delete;
    TextPainter &operator=(const TextPainter &) = delete;

    int ascent() const { return fonts_.empty() ? 10 : fonts_[0]->ascent; }
    int height() const { return fonts_.empty() ? 13 : fonts_[0]->ascent + fonts_[0]->descent; }
    int width(const std::string &s) {
        std::lock_guard<std::mutex> lock(g_xft_mutex);
        return run(s, nullptr, 0, 0);
    }
    // The window drawn into (its visual is the screen's default).
    void bind(Drawable d) {
        std::lock_guard<std::mutex> lock(g_xft_mutex);
        if (!draw_ && !fonts_.empty())
            draw_ = XftDrawCreate(dpy_, d, DefaultVisual(dpy_, screen_), colormap_);
    }
    // Draws s with its baseline at y; returns its width.
    int draw(const std::string &s, int x, int y, unsigned short r, unsigned short g, unsigned short b) {
        std::lock_guard<std::mutex> lock(g_xft_mutex);
        if (!draw_) return 0;
        XRenderColor rc = {r, g, b, 0xFFFF};
        XftColor c;
        if (!XftColorAllocValue(dpy_, DefaultVisual(dpy_, screen_), colormap_, &rc, &c)) return 0;
        int w = run(s, &c, x, y);
        XftColorFree(dpy_, DefaultVisual(dpy_, screen_), colormap_, &c);
        return w;
    }

   private:
    static constexpr const char *kFace = "sans-serif:pixelsize=13";

    XftFont *font_for(FcChar32 ch) {
        for (XftFont *f : fonts_)
            if (XftCharExists(dpy_, f, ch)) return f;
        if (std::find(missing_.begin(), missing_.end(), ch) != missing_.end()) return fonts_[0];
        FcPattern *p = FcNameParse((const FcChar8 *)kFace);
        FcCharSet *set = FcCharSetCreate();
        FcCharSetAddChar(set, ch);
        FcPatternAddCharSet(p, FC_CHARSET, set);
        FcCharSetDestroy(set);
        FcResult result;
        FcPattern *match = XftFontMatch(dpy_, screen_, p, &result);
        FcPatternDestroy(p);
        XftFont *f = match ? XftFontOpenPattern(dpy_, match) : nullptr;  // owns match when it opens
        if (!f && match) FcPatternDestroy(match);
        if (f && XftCharExists(dpy_, f, ch)) {
            fonts_.push_back(f);
            return f;
        }
        if (f) XftFontClose(dpy_, f);
        missing_.push_back(ch);  // drawn as the face's missing-glyph box
        return fonts_[0];
    }
    // Measures (c null) or draws s in runs of one font each.
    int run(const std::string &s, XftColor *c, int x, int y) {
        if (fonts_.empty()) return 0;
        std::vector<FcChar32> chars;
        uint32_t ch;
        for (size_t at = 0, n; at < s.size(); at += n) {
            n = vko_utf8_decode((const unsigned char *)s.data() + at, s.size() - at, &ch);
            if (!n) ch = 0xFFFD, n = 1;
            chars.push_back(ch);
        }
        int at = x;
        for (size_t i = 0; i < chars.size();) {
            XftFont *f = font_for(chars[i]);
            size_t j = i + 1;
            while (j < chars.size() && font_for(chars[j]) == f) j++;
            XGlyphInfo gi;
            XftTextExtents32(dpy_, f, chars.data() + i, (int)(j - i), &gi);
            if (c) XftDrawString32(draw_, c, f, at, y, chars.data() + i, (int)(j - i));
            at += gi.xOff;
            i = j;
        }
        return at - x;
    }

    Display *dpy_;
    int screen_;
    XftDraw *draw_;
    Colormap colormap_;
    std::vector<XftFont *> fonts_;
    std::vector<FcChar32> missing_;
};

// The built-in icon: a blue square with a white Z.
void paint_icon(X11App *x) {
    if (!x->tray_icon) return;
    XWindowAttributes a;
    if (!XGetWindowAttributes(x->dpy, x->tray_icon, &a)) return;
    GC gc = XCreateGC(x->dpy, x->tray_icon, 0, nullptr);
    XSetForeground(x->dpy, gc, rgb(x->dpy, x->screen, 0x1E00, 0x5A00, 0xC800));
    XFillRectangle(x->dpy, x->tray_icon, gc, 0, 0, (unsigned)a.width, (unsigned)a.height);
    XSetForeground(x->dpy, gc, WhitePixel(x->dpy, x->screen));
    XSetLineAttributes(x->dpy, gc, 2, LineSolid, CapButt, JoinMiter);
    int m = a.width / 4, w = a.width, h = a.height;
    XPoint z[4] = {{(short)m, (short)m},
                   {(short)(w - m), (short)m},
                   {(short)m, (short)(h - m)},
                   {(short)(w - m), (short)(h - m)}};
    XDrawLines(x->dpy, x->tray_icon, gc, z, 4, CoordModeOrigin);
    XFreeGC(x->dpy, gc);
}

// The menu keeps its own copy of the items: the event function, called for
// other windows while the menu runs, may set another tray.
struct Menu {
    VKO_App *app;
    Window win;
    TextPainter *text;
    GC gc;
    int width, height;
    int hot;
    std::vector<std::string> labels;
    std::vector<uint32_t> ids;
    std::vector<bool> checked;
};

void draw_menu(Menu &m) {
    X11App *x = m.app->x;
    Display *dpy = x->dpy;
    unsigned long bg = rgb(dpy, x->screen, 0xF000, 0xF000, 0xF000),
                  hi = rgb(dpy, x->screen, 0x3000, 0x6000, 0xC000);
    XSetForeground(dpy, m.gc, bg);
    XFillRectangle(dpy, m.win, m.gc, 0, 0, (unsigned)m.width, (unsigned)m.height);
    for (size_t i = 0; i < m.labels.size(); i++) {
        const std::string &label = m.labels[i];
        int y = (int)i * kItemH;
        if (label.empty()) {
            XSetForeground(dpy, m.gc, rgb(dpy, x->screen, 0xA000, 0xA000, 0xA000));
            XDrawLine(dpy, m.win, m.gc, 4, y + kItemH / 2, m.width - 4, y + kItemH / 2);
            continue;
        }
        bool hot = (int)i == m.hot;
        if (hot) {
            XSetForeground(dpy, m.gc, hi);
            XFillRectangle(dpy, m.win, m.gc, 0, y, (unsigned)m.width, kItemH);
        }
        XSetForeground(dpy, m.gc, hot ? WhitePixel(dpy, x->screen) : BlackPixel(dpy, x->screen));
        if (m.checked[i]) {
            XPoint c[3] = {{4, (short)(y + 10)}, {8, (short)(y + 14)}, {15, (short)(y + 5)}};
            XDrawLines(dpy, m.win, m.gc, c, 3, CoordModeOrigin);
        }
        unsigned short ink = hot ? 0xFFFF : 0;
        m.text->draw(label, 22, y + (kItemH - m.text->height()) / 2 + m.text->ascent(), ink, ink, ink);
    }
    XSetForeground(dpy, m.gc, BlackPixel(dpy, x->screen));
    XDrawRectangle(dpy, m.win, m.gc, 0, 0, (unsigned)m.width - 1, (unsigned)m.height - 1);
}

int item_at(Menu &m, int px, int py) {
    if (px < 0 || py < 0 || px >= m.width || py >= m.height) return -1;
    int i = py / kItemH;
    if (i >= (int)m.labels.size() || m.labels[(size_t)i].empty()) return -1;
    return i;
}

// The next item from the hot one in a direction (separators skipped, round
// the ends), for the arrow keys.
int step_item(Menu &m, int dir) {
    int n = (int)m.labels.size();
    for (int k = 1, i = m.hot; k <= n; k++) {
        i = ((i < 0 && dir < 0 ? 0 : i) + dir + n) % n;
        if (!m.labels[(size_t)i].empty()) return i;
    }
    return m.hot;
}

// Whether a pointer button, or the key that closed the menu, is still down.
bool input_held(Display *dpy, Window root, unsigned keycode) {
    Window r, c;
    int rx, ry, wx, wy;
    unsigned mask = 0;
    XQueryPointer(dpy, root, &r, &c, &rx, &ry, &wx, &wy, &mask);
    if (mask & (Button1Mask | Button2Mask | Button3Mask | Button4Mask | Button5Mask)) return true;
    char keys[32];
    return keycode && XQueryKeymap(dpy, keys) && (keys[keycode / 8] & (1 << (keycode % 8)));
}

// Window 0 is gone, or the app is to be destroyed (asked from its own
// callbacks): the menu closes at once and lets go of the input.
bool app_ending(const VKO_App *app) {
    return !app->windows[0] || app->destroy_pending;
}

// Hands the app what waits for its other windows; the menu's own events are
// dropped (it is drawn anew afterwards).
void dispatch_others(VKO_App *app, Window menu) {
    X11App *x = app->x;
    while (!x->dead && !app->destroy_pending && XPending(x->dpy)) {
        XEvent e;
        XNextEvent(x->dpy, &e);
        if (e.xany.window != menu) x11_dispatch_event(app, &e);
    }
}

// Shows the menu at (cx, cy) and runs until an item is chosen (its id in
// *id, true) or the menu is dismissed (false). Other events keep being
// dispatched. The menu holds keyboard and pointer with every event reported
// to itself, so none of its keys and clicks reach the app's windows, also
// while one of them has the focus.
bool run_menu(VKO_App *app, int cx, int cy, uint32_t *id) {
    X11App *x = app->x;
    Display *dpy = x->dpy;
    TextPainter text(dpy, x->screen);
    Menu m = {app, 0, &text, nullptr, 0, 0, -1, {}, {}, {}};
    int widest = 40;
    for (uint32_t i = 0; i < app->tray.count; i++) {
        const char *l = app->tray.items[i].label;
        widest = std::max(widest, text.width(l));
        m.labels.emplace_back(l);
        m.ids.push_back(app->tray.items[i].id);
        m.checked.push_back(app->tray.items[i].checked && app->tray.items[i].checked(app->opaque));
    }
    m.width = std::min(widest, 1200) + 32;
    m.height = (int)m.labels.size() * kItemH;
    int sw = DisplayWidth(dpy, x->screen), sh = DisplayHeight(dpy, x->screen);
    int mx = std::max(0, std::min(cx, sw - m.width)), my = std::max(0, std::min(cy, sh - m.height));
    XSetWindowAttributes a;
    memset(&a, 0, sizeof(a));
    a.override_redirect = True;
    a.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask |
                   StructureNotifyMask;
    m.win = XCreateWindow(dpy, x->root, mx, my, (unsigned)m.width, (unsigned)m.height, 0, CopyFromParent,
                          InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask, &a);
    m.gc = XCreateGC(dpy, m.win, 0, nullptr);
    text.bind(m.win);
    XMapRaised(dpy, m.win);
    // Wait for the map so the grabs can take; the app's other events go on.
    XEvent e;
    bool mapped = false;
    while (!mapped && !app_ending(app) && wait_event(dpy, &x->dead, &e)) {
        if (e.xany.window == m.win)
            mapped = e.type == MapNotify;
        else
            x11_dispatch_event(app, &e);
    }
    // Not owner events: a key or click meant for the menu would otherwise go
    // to a focused app window (or the app window under the pointer). A grab
    // another client still holds (the tray passing the click on) is tried
    // again for half a second. The menu is named once it holds the input.
    for (int64_t until = VKO_GetTime() + 500 * 1000000LL; mapped && !x->dead && !app_ending(app);) {
        int p = XGrabPointer(dpy, m.win, False, ButtonPressMask | ButtonReleaseMask | PointerMotionMask,
                             GrabModeAsync, GrabModeAsync, None, None, CurrentTime);
        int k = XGrabKeyboard(dpy, m.win, False, GrabModeAsync, GrabModeAsync, CurrentTime);
        if ((p == GrabSuccess && k == GrabSuccess) || VKO_GetTime() >= until) break;
        dispatch_others(app, m.win);
        wait_readable(dpy, 10);
    }
    if (!x->dead) XStoreName(dpy, m.win, "VKO_Menu");
    draw_menu(m);
    int chosen = -1;
    unsigned closing_key = 0;
    bool done = !mapped || app_ending(app);
    while (!done && wait_event(dpy, &x->dead, &e)) {
        if (e.xany.window != m.win) {
            // Input devices came or went (the device-change message of other
            // systems): the menu closes.
            done = e.type == GenericEvent && x->xi && e.xcookie.extension == x->xi_opcode &&
                   e.xcookie.evtype == XI_HierarchyChanged;
            x11_dispatch_event(app, &e);
            if (app_ending(app)) break;
            continue;
        }
        switch (e.type) {
            case Expose:
                draw_menu(m);
                break;
            case MotionNotify: {
                int h = item_at(m, e.xmotion.x, e.xmotion.y);
                if (h != m.hot) m.hot = h, draw_menu(m);
                break;
            }
            case ButtonPress:
                if (item_at(m, e.xbutton.x, e.xbutton.y) < 0 &&
                    (e.xbutton.x < 0 || e.xbutton.y < 0 || e.xbutton.x >= m.width || e.xbutton.y >= m.height))
                    done = true;
                break;
            case ButtonRelease:
                if (e.xbutton.button == 1 || e.xbutton.button == 3) {
                    int i = item_at(m, e.xbutton.x, e.xbutton.y);
                    if (i >= 0) chosen = i, done = true;
                }
                break;
            case KeyPress: {
                KeySym ks = XLookupKeysym(&e.xkey, 0);
                if (ks == XK_Escape) done = true;
                if ((ks == XK_Return || ks == XK_KP_Enter) && m.hot >= 0) chosen = m.hot, done = true;
                if (ks == XK_Down || ks == XK_Up) {
                    m.hot = step_item(m, ks == XK_Down ? 1 : -1);
                    draw_menu(m);
                }
                if (done) closing_key = e.xkey.keycode;
                break;
            }
        }
    }
    // The release of what closed the menu (a key, a click outside) is the
    // menu's too: the grabs are kept until it came, for a second at most, and
    // what arrived before the answer that said so is taken while the menu is
    // still open (raw events come whatever the grabs).
    for (int64_t until = VKO_GetTime() + 1000 * 1000000LL; done;) {
        bool held =
            !x->dead && !app_ending(app) && VKO_GetTime() < until && input_held(dpy, x->root, closing_key);
        dispatch_others(app, m.win);
        if (!held) break;
        wait_readable(dpy, 10);
    }
    text.close(x->dead);
    if (!x->dead) {
        XUngrabKeyboard(dpy, CurrentTime);
        XUngrabPointer(dpy, CurrentTime);
        XFreeGC(dpy, m.gc);
        XDestroyWindow(dpy, m.win);
        XFlush(dpy);
    }
    if (chosen < 0) return false;
    *id = m.ids[(size_t)chosen];
    return true;
}

void popup(VKO_App *app) {
    X11App *x = app->x;
    if (app->tray.menu_open || !app->tray.count) return;
    int rx = 0, ry = 0;
    Window child;
    XWindowAttributes a;
    {
        X11ErrorTrap trap(x->dpy);
        if (!XGetWindowAttributes(x->dpy, x->tray_icon, &a) ||
            !XTranslateCoordinates(x->dpy, x->tray_icon, x->root, 0, 0, &rx, &ry, &child) || trap.sync())
            return;  // no icon rectangle, no menu
    }
    app->tray.menu_open = true;
    uint32_t id = 0;
    bool chosen = run_menu(app, rx + a.width / 2, ry + a.height / 2, &id);
    app->tray.menu_open = false;
    if (app->destroy_pending) return;  // the grabs go with the app
    x11_grabs_lost(app);
    // The chosen command is 1000 + its index; its item's id is the event.
    if (chosen && app->windows[0]) {
        VKO_Event ev;
        memset(&ev, 0, sizeof(ev));
        ev.type = VKO_EVENT_TRAY;
        ev.tray = id;
        app_dispatch(app, &ev);
    }
}

}  // namespace

void x11_tray_setup(VKO_App *) {}

void x11_close_display(Display *dpy) {
    std::lock_guard<std::mutex> lock(g_xft_mutex);
    XCloseDisplay(dpy);
}

bool x11_tray_add(VKO_App *app) {
    X11App *x = app->x;
    if (!x || x->dead || !app->windows[0]) return false;
    if (x->tray_icon) x11_tray_remove(app);
    Window owner = XGetSelectionOwner(x->dpy, x->tray_sel);
    if (!owner) return false;
    X11ErrorTrap trap(x->dpy);
    XSetWindowAttributes a;
    memset(&a, 0, sizeof(a));
    a.background_pixel = rgb(x->dpy, x->screen, 0x1E00, 0x5A00, 0xC800);
    a.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask;
    x->tray_icon = XCreateWindow(x->dpy, x->root, 0, 0, kIcon, kIcon, 0, CopyFromParent, InputOutput,
                                 CopyFromParent, CWBackPixel | CWEventMask, &a);
    long info[2] = {0, 1};  // XEmbed version 0, mapped
    XChangeProperty(x->dpy, x->tray_icon, x->xembed_info, x->xembed_info, 32, PropModeReplace,
                    (unsigned char *)info, 2);
    XStoreName(x->dpy, x->tray_icon, app->tray.tooltip);
    XChangeProperty(x->dpy, x->tray_icon, x->net_wm_name, x->utf8, 8, PropModeReplace,
                    (const unsigned char *)app->tray.tooltip, (int)strlen(app->tray.tooltip));
    XSelectInput(x->dpy, owner, StructureNotifyMask);
    x11_send_message(x, owner, owner, x->tray_opcode, CurrentTime, 0 /* request dock */, (long)x->tray_icon,
                     0, 0, NoEventMask);
    if (trap.sync()) {
        XDestroyWindow(x->dpy, x->tray_icon);
        x->tray_icon = 0;
        return false;
    }
    x->tray_manager = owner;
    return true;
}

void x11_tray_remove(VKO_App *app) {
    X11App *x = app->x;
    if (!x || x->dead || !x->tray_icon) return;
    X11ErrorTrap trap(x->dpy);
    XDestroyWindow(x->dpy, x->tray_icon);
    x->tray_icon = 0;
    x->tray_manager = 0;
}

void x11_tray_message(VKO_App *app, const char *title, const char *message) {
    X11App *x = app->x;
    if (!x || x->dead || !x->tray_icon || !x->tray_manager) return;
    std::string text =
        title[0] && message[0] ? std::string(title) + "\n" + message : std::string(title) + message;
    static long next_id = 1;
    long id = next_id++;
    X11ErrorTrap trap(x->dpy);
    x11_send_message(x, x->tray_manager, x->tray_icon, x->tray_opcode, CurrentTime, 1 /* begin message */,
                     10000, (long)text.size(), id, NoEventMask);
    for (size_t at = 0; at < text.size(); at += 20) {
        XEvent ev;
        memset(&ev, 0, sizeof(ev));
        ev.xclient.type = ClientMessage;
        ev.xclient.window = x->tray_icon;
        ev.xclient.message_type = x->tray_message_data;
        ev.xclient.format = 8;
        memcpy(ev.xclient.data.b, text.data() + at, std::min<size_t>(20, text.size() - at));
        XSendEvent(x->dpy, x->tray_manager, False, NoEventMask, &ev);
    }
}

bool x11_tray_event(VKO_App *app, XEvent *e) {
    X11App *x = app->x;
    if (e->type == ClientMessage && e->xclient.window == x->root && e->xclient.message_type == x->manager &&
        (Atom)e->xclient.data.l[1] == x->tray_sel) {
        // A new tray: dock again (an announcement of the tray we are in
        // changes nothing).
        if (app->tray.wanted && (!app->tray.shown || x->tray_manager != (Window)e->xclient.data.l[2])) {
            app->tray.shown = x11_tray_add(app);
            app->tray.last_add = VKO_GetTime();
        }
        return true;
    }
    if (x->tray_manager && e->type == DestroyNotify && e->xdestroywindow.window == x->tray_manager) {
        x->tray_manager = 0;
        app->tray.shown = false;
        return true;
    }
    if (!x->tray_icon || e->xany.window != x->tray_icon) return false;
    switch (e->type) {
        case DestroyNotify:
            // Taken down with a tray that did not hand it back.
            x->tray_icon = 0;
            x->tray_manager = 0;
            app->tray.shown = false;
            break;
        case ReparentNotify:
            // Put back on the root: the tray went away.
            if (e->xreparent.parent == x->root) {
                app->tray.shown = false;
                x->tray_manager = 0;
            }
            break;
        case Expose:
            paint_icon(x);
            break;
        case ButtonRelease:
            if (e->xbutton.button == 1) {
                int64_t now = VKO_GetTime();
                if (now - app->tray.last_click > 2 * kDoubleClickMs * 1000000) {
                    VKO_WindowActivate(app, 0, true);
                    app->tray.last_click = now;
                }
            } else if (e->xbutton.button == 3) {
                popup(app);
            }
            break;
    }
    return true;
}

void VKO_ShowMessageBox(const char *title, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    char *text = VKO_VsprintfAlloc(fmt ? fmt : "", ap);
    va_end(ap);
    if (!text) return;
    if (!title) title = "";
    Display *dpy = XOpenDisplay(nullptr);
    if (!dpy) {
        fprintf(stderr, "%s: %s\n", title, text);
        VKO_Free(text);
        return;
    }
    {
        X11ErrorTrap trap(dpy);  // the process-wide protocol error handler
    }
    // Without an exit handler of our own Xlib ends the process when the
    // server goes away; with it, the box just closes.
    bool dead = false;
    x11_keep_process_on_io_error();
    XSetIOErrorExitHandler(
        dpy,
        [](Display *, void *flag) {
            *(bool *)flag = true;
            VKO_Log("X11", "connection to the X server lost");
        },
        &dead);
    int screen = DefaultScreen(dpy);
    Window root = RootWindow(dpy, screen);
    TextPainter painter(dpy, screen);
    std::vector<std::string> lines;
    for (const char *p = text;;) {
        const char *nl = strchr(p, '\n');
        lines.emplace_back(p, nl ? (size_t)(nl - p) : strlen(p));
        if (!nl) break;
        p = nl + 1;
    }
    if (lines.size() > 40) lines.resize(40);
    int lh = painter.height() + 3, widest = 120;
    for (auto &l : lines) widest = std::max(widest, painter.width(l));
    widest = std::min(widest, 1200);
    int w = widest + 40, h = (int)lines.size() * lh + 70;
    int bw = 70, bh = 24, bx = (w - bw) / 2, by = h - bh - 14;
    XSetWindowAttributes a;
    memset(&a, 0, sizeof(a));
    a.background_pixel = WhitePixel(dpy, screen);
    a.event_mask = ExposureMask | KeyPressMask | ButtonReleaseMask | StructureNotifyMask;
    Window win = XCreateWindow(dpy, root, (DisplayWidth(dpy, screen) - w) / 2,
                               (DisplayHeight(dpy, screen) - h) / 2, (unsigned)w, (unsigned)h, 0,
                               CopyFromParent, InputOutput, CopyFromParent, CWBackPixel | CWEventMask, &a);
    XStoreName(dpy, win, title);
    Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);
    XChangeProperty(dpy, win, XInternAtom(dpy, "_NET_WM_NAME", False), utf8, 8, PropModeReplace,
                    (const unsigned char *)title, (int)strlen(title));
    Atom dialog = XInternAtom(dpy, "_NET_WM_WINDOW_TYPE_DIALOG", False);
    XChangeProperty(dpy, win, XInternAtom(dpy, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32, PropModeReplace,
                    (unsigned char *)&dialog, 1);
    Atom del = XInternAtom(dpy, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(dpy, win, &del, 1);
    GC gc = XCreateGC(dpy, win, 0, nullptr);
    painter.bind(win);
    XMapRaised(dpy, win);
    bool done = false;
    XEvent e;
    while (!done && wait_event(dpy, &dead, &e)) {
        switch (e.type) {
            case MapNotify: {
                X11ErrorTrap trap(dpy);
                XSetInputFocus(dpy, win, RevertToParent, CurrentTime);
                break;
            }
            case Expose:
                if (e.xexpose.count) break;
                XSetForeground(dpy, gc, BlackPixel(dpy, screen));
                for (size_t i = 0; i < lines.size(); i++)
                    painter.draw(lines[i], 20, 20 + (int)i * lh + painter.ascent(), 0, 0, 0);
                XDrawRectangle(dpy, win, gc, bx, by, (unsigned)bw, (unsigned)bh);
                painter.draw("OK", bx + (bw - painter.width("OK")) / 2,
                             by + (bh - painter.height()) / 2 + painter.ascent(), 0, 0, 0);
                break;
            case KeyPress: {
                KeySym ks = XLookupKeysym(&e.xkey, 0);
                done = ks == XK_Return || ks == XK_KP_Enter || ks == XK_Escape || ks == XK_space;
                break;
            }
            case ButtonRelease:
                done =
                    e.xbutton.x >= bx && e.xbutton.x < bx + bw && e.xbutton.y >= by && e.xbutton.y < by + bh;
                break;
            case ClientMessage:
                done = (Atom)e.xclient.data.l[0] == del;
                break;
        }
    }
    painter.close(dead);
    if (!dead) {
        XFreeGC(dpy, gc);
        XDestroyWindow(dpy, win);
    }
    x11_close_display(dpy);
    VKO_Free(text);
}
