#include "platform/x11/clipboard_x11.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/memory.h"
#include "platform/x11/error_trap.h"

// Each request carries a server timestamp of its own (later than every
// earlier one) and names a property of its own from a small ring. An owner
// answers with the request's time, so a late reply to an earlier request,
// a refusal too (it names no property), is told apart from the answer
// awaited; data it left in its property is dropped. X times are 32-bit
// milliseconds since the server started: they read as negative past 2^31
// (24.8 days) and wrap after 49.7 days, so they are never ordered by value.
constexpr int kProps = 8;

struct ClipX11 {
    Display *dpy;
    Window win;
    Atom clipboard, utf8, targets, text, timestamp, incr, time_prop;
    Atom props[kProps];
    int next_prop;
    Atom prop;  // the property of the request in progress (None between reads)
    int fixes_event;
    uint32_t seq;
    bool changed;      // a foreign owner change since the last dispatch result
    bool owned;        // we hold the selection and serve copy
    std::string copy;  // UTF-8
    Time own_time;
    int64_t own_clock;  // our clock's milliseconds when we took the selection
    Time request_time;  // of the last request made
};

namespace {

int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// STRING is Latin-1 both ways; what Latin-1 lacks, and each byte that is
// no UTF-8, is served as '?'.
std::string latin1_to_utf8(const unsigned char *p, size_t n) {
    std::string s;
    s.reserve(n);
    char b[4];
    for (size_t i = 0; i < n; i++) s.append(b, vko_utf8_encode(p[i], b));
    return s;
}

std::string utf8_to_latin1(const std::string &in) {
    std::string s;
    uint32_t cp;
    for (size_t i = 0, n; i < in.size(); i += n ? n : 1) {
        n = vko_utf8_decode((const unsigned char *)in.data() + i, in.size() - i, &cp);
        s.push_back(n && cp <= 0xFF ? (char)cp : '?');
    }
    return s;
}

size_t max_property_bytes(Display *dpy) {
    long units = XExtendedMaxRequestSize(dpy);
    if (!units) units = XMaxRequestSize(dpy);
    return (size_t)units * 4 - 256;
}

void handle_event(ClipX11 *x, XEvent *ev);

// Waits for an event the predicate accepts, handling every other one meanwhile.
template <typename Pred>
bool wait_for(ClipX11 *x, int64_t deadline, Pred pred, XEvent *out) {
    for (;;) {
        while (XPending(x->dpy)) {
            XNextEvent(x->dpy, out);
            if (pred(*out)) return true;
            handle_event(x, out);
        }
        int64_t left = deadline - now_ms();
        if (left <= 0) return false;
        pollfd p = {ConnectionNumber(x->dpy), POLLIN, 0};
        poll(&p, 1, (int)left);
    }
}

// A request made before we took the selection was meant for the owner
// before us. Its time is read as its distance from ours (modulo 2^32), which
// cannot exceed how long we have owned the selection (a minute more for the
// server's clock and ours to differ).
bool asked_while_owned(const ClipX11 *x, Time t) {
    if (t == CurrentTime) return true;
    uint32_t since = (uint32_t)(t - x->own_time);
    return since <= now_ms() - x->own_clock + 60000;
}

void serve(ClipX11 *x, const XSelectionRequestEvent &r) {
    XEvent reply = {};
    reply.xselection.type = SelectionNotify;
    reply.xselection.display = x->dpy;
    reply.xselection.requestor = r.requestor;
    reply.xselection.selection = r.selection;
    reply.xselection.target = r.target;
    reply.xselection.time = r.time;
    reply.xselection.property = None;

    // Obsolete requestors name no property: the target stands for it.
    Atom prop = r.property != None ? r.property : r.target;
    bool ours = r.selection == x->clipboard && x->owned && asked_while_owned(x, r.time);

    // The requestor may be gone by now; its errors are caught here.
    X11ErrorTrap trap(x->dpy);
    if (ours && r.target == x->targets) {
        long list[] = {(long)x->targets, (long)x->utf8, (long)XA_STRING, (long)x->text, (long)x->timestamp};
        XChangeProperty(x->dpy, r.requestor, prop, XA_ATOM, 32, PropModeReplace, (unsigned char *)list, 5);
        reply.xselection.property = prop;
    } else if (ours && r.target == x->timestamp) {
        long t = (long)x->own_time;
        XChangeProperty(x->dpy, r.requestor, prop, XA_INTEGER, 32, PropModeReplace, (unsigned char *)&t, 1);
        reply.xselection.property = prop;
    } else if (ours && (r.target == x->utf8 || r.target == x->text || r.target == XA_STRING)) {
        std::string latin;
        const std::string *data = &x->copy;
        Atom type = x->utf8;
        if (r.target == XA_STRING) {
            latin = utf8_to_latin1(x->copy);
            data = &latin;
            type = XA_STRING;
        }
        // Texts beyond one request would need the incremental form; refused.
        if (data->size() <= max_property_bytes(x->dpy)) {
            XChangeProperty(x->dpy, r.requestor, prop, type, 8, PropModeReplace,
                            (const unsigned char *)data->data(), (int)data->size());
            reply.xselection.property = prop;
        }
    }
    XSendEvent(x->dpy, r.requestor, False, NoEventMask, &reply);
    trap.sync();
}

void handle_event(ClipX11 *x, XEvent *ev) {
    if (ev->type == x->fixes_event + XFixesSelectionNotify) {
        const XFixesSelectionNotifyEvent *n = (const XFixesSelectionNotifyEvent *)ev;
        if (n->selection != x->clipboard) return;
        // Our own ownership was counted when we took it.
        if (n->subtype == XFixesSetSelectionOwnerNotify && n->owner == x->win) return;
        x->seq++;
        x->changed = true;
    } else if (ev->type == SelectionRequest) {
        serve(x, ev->xselectionrequest);
    } else if (ev->type == PropertyNotify) {
        // Data a late owner put into a request's property after that request
        // was given up: deleted, which also lets an incremental sender finish.
        const XPropertyEvent &pe = ev->xproperty;
        if (pe.window != x->win || pe.state != PropertyNewValue || pe.atom == x->prop) return;
        for (Atom a : x->props)
            if (pe.atom == a) XDeleteProperty(x->dpy, x->win, a);
    } else if (ev->type == SelectionClear) {
        if (ev->xselectionclear.selection == x->clipboard && ev->xselectionclear.window == x->win) {
            x->owned = false;
            x->copy.clear();
            x->copy.shrink_to_fit();
        }
    }
}

// A server timestamp: the time of a property change on our own window
// (false when none came in time; any value, 0 too, is a time).
bool server_time(ClipX11 *x, int64_t deadline, Time *t) {
    XChangeProperty(x->dpy, x->win, x->time_prop, XA_STRING, 8, PropModeAppend, (const unsigned char *)"", 0);
    XEvent ev;
    auto is_stamp = [x](const XEvent &e) {
        return e.type == PropertyNotify && e.xproperty.window == x->win && e.xproperty.atom == x->time_prop;
    };
    if (!wait_for(x, deadline, is_stamp, &ev)) return false;
    *t = ev.xproperty.time;
    return true;
}

// Reads the answer in the request's property, following the incremental
// form, up to max bytes: 1 read, 0 not text, -1 nothing readable in time (the
// property is gone, or an incremental transfer stalled); then nothing is
// delivered and the change is read again later.
int fetch(ClipX11 *x, int timeout_ms, size_t max, bool latin1, std::string *out) {
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char *data = nullptr;
    long words = (long)((max + 3) / 4);
    if (XGetWindowProperty(x->dpy, x->win, x->prop, 0, words, True, AnyPropertyType, &type, &format, &count,
                           &after, &data) != Success)
        return -1;

    std::string raw;
    bool incr = type == x->incr;
    bool text = incr || (data && format == 8);
    if (!incr && data && format == 8) raw.assign((const char *)data, count);
    if (data) XFree(data);
    if (after) XDeleteProperty(x->dpy, x->win, x->prop);
    if (type == None) return -1;  // the answer named a property that holds nothing
    if (!text) return 0;

    // Incremental: deleting the property asks for the next piece; an empty
    // piece ends the transfer. Past max the pieces are still taken (and
    // dropped) until the end, so the owner is not left waiting. The wait
    // restarts with each piece, within an overall bound for a trickling owner.
    int64_t start = now_ms();
    while (incr) {
        XEvent ev;
        auto is_piece = [x](const XEvent &e) {
            return e.type == PropertyNotify && e.xproperty.window == x->win && e.xproperty.atom == x->prop &&
                   e.xproperty.state == PropertyNewValue;
        };
        int64_t deadline = std::min(now_ms() + timeout_ms, start + CLIP_X11_INCR_MAX_MS);
        if (!wait_for(x, deadline, is_piece, &ev)) return -1;
        data = nullptr;
        if (XGetWindowProperty(x->dpy, x->win, x->prop, 0, words, True, AnyPropertyType, &type, &format,
                               &count, &after, &data) != Success)
            return -1;
        if (after) XDeleteProperty(x->dpy, x->win, x->prop);
        size_t n = data && format == 8 ? count : 0;
        if (raw.size() < max) raw.append((const char *)data, std::min(n, max - raw.size()));
        if (data) XFree(data);
        if (n == 0 && after == 0) break;
    }

    if (raw.size() > max) raw.resize(max);
    *out = latin1 ? latin1_to_utf8((const unsigned char *)raw.data(), raw.size()) : raw;
    return 1;
}

}  // namespace

ClipX11 *clip_x11_open(void) {
    Display *dpy = XOpenDisplay(nullptr);
    if (!dpy) return nullptr;
    x11_outlive_server(dpy);

    int event_base, error_base;
    if (!XFixesQueryExtension(dpy, &event_base, &error_base)) {
        XCloseDisplay(dpy);
        return nullptr;
    }

    ClipX11 *x = new ClipX11{};
    x->dpy = dpy;
    x->fixes_event = event_base;
    x->seq = 1;

    const char *names[7 + kProps] = {"CLIPBOARD", "UTF8_STRING", "TARGETS",         "TEXT",
                                     "TIMESTAMP", "INCR",        "ZARVEK_CLIP_TIME"};
    char prop_names[kProps][24];
    for (int i = 0; i < kProps; i++) {
        snprintf(prop_names[i], sizeof prop_names[i], "ZARVEK_CLIP_%d", i);
        names[7 + i] = prop_names[i];
    }
    Atom atoms[7 + kProps];
    XInternAtoms(dpy, (char **)names, 7 + kProps, False, atoms);
    x->clipboard = atoms[0];
    x->utf8 = atoms[1];
    x->targets = atoms[2];
    x->text = atoms[3];
    x->timestamp = atoms[4];
    x->incr = atoms[5];
    x->time_prop = atoms[6];
    for (int i = 0; i < kProps; i++) x->props[i] = atoms[7 + i];
    x->prop = None;

    x->win = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(dpy, x->win, PropertyChangeMask);
    XFixesSelectSelectionInput(dpy, x->win, x->clipboard,
                               XFixesSetSelectionOwnerNotifyMask | XFixesSelectionWindowDestroyNotifyMask |
                                   XFixesSelectionClientCloseNotifyMask);
    XFlush(dpy);
    return x;
}

void clip_x11_close(ClipX11 **x) {
    if (!x || !*x) return;
    XDestroyWindow((*x)->dpy, (*x)->win);
    XCloseDisplay((*x)->dpy);
    delete *x;
    *x = nullptr;
}

int clip_x11_fd(const ClipX11 *x) {
    return ConnectionNumber(x->dpy);
}

bool clip_x11_dispatch(ClipX11 *x) {
    XEvent ev;
    while (XPending(x->dpy)) {
        XNextEvent(x->dpy, &ev);
        handle_event(x, &ev);
    }
    bool changed = x->changed;
    x->changed = false;
    return changed;
}

uint32_t clip_x11_sequence(const ClipX11 *x) {
    return x->seq;
}

int clip_x11_read(ClipX11 *x, std::string *out, size_t max, int timeout_ms) {
    out->clear();
    Window owner = XGetSelectionOwner(x->dpy, x->clipboard);
    if (owner == None || owner == x->win) return 0;

    // 1 answered in the property, 0 refused, -1 no answer in time. Only the
    // reply with this request's time, target and property answers; any other
    // is a late reply to an earlier request and is passed over. An owner that
    // answers without a time is matched by target and property alone.
    auto convert = [&](Atom target) {
        // The server's clock never goes back: a time other than the last
        // request's is later than every earlier one.
        int64_t deadline = now_ms() + timeout_ms;
        Time t;
        do {
            if (!server_time(x, deadline, &t)) return -1;
        } while (t == x->request_time);
        x->request_time = t;
        x->prop = x->props[x->next_prop];
        x->next_prop = (x->next_prop + 1) % kProps;
        XDeleteProperty(x->dpy, x->win, x->prop);
        XConvertSelection(x->dpy, x->clipboard, target, x->prop, x->win, t);
        XEvent ev;
        auto is_answer = [x, target, t](const XEvent &e) {
            return e.type == SelectionNotify && e.xselection.requestor == x->win &&
                   e.xselection.selection == x->clipboard && e.xselection.target == target &&
                   (e.xselection.time == t || e.xselection.time == CurrentTime) &&
                   (e.xselection.property == x->prop || e.xselection.property == None);
        };
        if (!wait_for(x, deadline, is_answer, &ev)) return -1;
        return ev.xselection.property == None ? 0 : 1;
    };
    struct Done {
        ClipX11 *x;
        ~Done() { x->prop = None; }
    } done{x};

    // Which text forms are offered; an owner that lists no targets is asked
    // for UTF-8 text directly. The whole list is read, as far as one reply
    // can carry.
    int r = convert(x->targets);
    if (r < 0) return -1;
    Atom want = x->utf8;
    if (r > 0) {
        Atom type;
        int format;
        unsigned long count, after;
        unsigned char *data = nullptr;
        bool utf8 = false, latin1 = false;
        if (XGetWindowProperty(x->dpy, x->win, x->prop, 0, (long)(max_property_bytes(x->dpy) / 4), True,
                               XA_ATOM, &type, &format, &count, &after, &data) != Success)
            return -1;
        if (type == None) {
            if (data) XFree(data);
            return -1;  // the list is gone: ask again later
        }
        if (data && format == 32) {
            const long *list = (const long *)data;
            for (unsigned long i = 0; i < count; i++) {
                utf8 |= (Atom)list[i] == x->utf8;
                latin1 |= (Atom)list[i] == XA_STRING;
            }
        }
        if (data) XFree(data);
        if (after) XDeleteProperty(x->dpy, x->win, x->prop);
        if (!utf8 && !latin1) return 0;
        want = utf8 ? x->utf8 : XA_STRING;
    }

    r = convert(want);
    if (r <= 0) return r;
    return fetch(x, timeout_ms, max, want == XA_STRING, out);
}

bool clip_x11_own(ClipX11 *x, const char *utf8, size_t size, int timeout_ms) {
    Time t;
    if (!server_time(x, now_ms() + timeout_ms, &t)) return false;

    x->copy.assign(utf8 ? utf8 : "", utf8 ? size : 0);
    XSetSelectionOwner(x->dpy, x->clipboard, x->win, t);
    if (XGetSelectionOwner(x->dpy, x->clipboard) != x->win) {
        x->copy.clear();
        x->owned = false;
        return false;
    }
    x->owned = true;
    x->own_time = t;
    x->own_clock = now_ms();
    x->seq++;
    return true;
}
