// The app object on X11: windows, keyboard (XKB key names to set-1 codes),
// mouse and raw mouse (XInput 2.2), focus, cursors and clipping, hotkeys,
// the clipboard watch (XFixes), monitors (RandR) and file drops (XDND).
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xcursor/Xcursor.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/scrnsaver.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon-compose.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/hid.h"
#include "platform/log.h"
#include "platform/map.h"
#include "platform/memory.h"
#include "platform/x11/error_trap.h"
#include "platform/x11/keys.h"
#include "platform/x11/scale.h"
#include "platform/x11/x11_app.h"

const char *vko_app_user_model_id(void);

namespace {

// The app numbers two keys as the system's key messages do: Num Lock 0x145
// and Pause 0x45.
uint16_t app_key_of(const X11KeyName &kn) {
    if (kn.key == 0x45) return 0x145;
    if (kn.key == 0x146) return 0x45;
    return kn.key;
}

// Left/right modifier keys and their bits.
uint32_t mod_bit(uint32_t key) {
    switch (key) {
        case 0x2A:
            return VKO_MOD_LSHIFT;
        case 0x36:
            return VKO_MOD_RSHIFT;
        case 0x1D:
            return VKO_MOD_LCTRL;
        case 0x11D:
            return VKO_MOD_RCTRL;
        case 0x38:
            return VKO_MOD_LALT;
        case 0x138:
            return VKO_MOD_RALT;
        case 0x15B:
            return VKO_MOD_LWIN;
        case 0x15C:
            return VKO_MOD_RWIN;
    }
    return 0;
}

// Virtual key of a key message: the keyboard's own key, numpad keys by the
// Num Lock state.
uint32_t event_vk(uint32_t key, bool num) {
    switch (key) {
        case 0x11C:
            return 0x0D;
        case 0x135:
            return 0x6F;
        case 0x137:
            return 0x2C;
        case 0x145:
            return 0x90;
        case 0x45:
            return 0x13;
        case 0x15B:
            return 0x5B;
        case 0x15C:
            return 0x5C;
        case 0x15D:
            return 0x5D;
    }
    if (num && key >= 0x47 && key <= 0x53 && key != 0x4A && key != 0x4E) {
        static const uint8_t kPad[] = {0x67, 0x68, 0x69, 0,    0x64, 0x65, 0x66,
                                       0,    0x61, 0x62, 0x63, 0x60, 0x6E};
        return kPad[key - 0x47];
    }
    return app_key_to_vk(key);
}

constexpr long kMaxFrameEdge = 4096;

std::mutex g_dead_mutex;
X11App *g_apps[8];

void on_io_exit(Display *dpy, void *) {
    std::lock_guard<std::mutex> lock(g_dead_mutex);
    for (X11App *x : g_apps)
        if (x && x->dpy == dpy) x->dead = true;
    VKO_Log("X11", "connection to the X server lost");
}

void install_handlers(Display *dpy) {
    x11_keep_process_on_io_error();
    XSetIOErrorExitHandler(dpy, on_io_exit, nullptr);
    X11ErrorTrap trap(dpy);  // installs the process-wide protocol error handler
}

void map_keys(X11App *x) {
    XkbDescPtr xkb = XkbGetMap(x->dpy, 0, XkbUseCoreKbd);
    bool named = false;
    if (xkb && XkbGetNames(x->dpy, XkbKeyNamesMask | XkbKeyAliasesMask, xkb) == Success && xkb->names &&
        xkb->names->keys) {
        named = true;
        for (int k = xkb->min_key_code; k <= xkb->max_key_code; k++) {
            const X11KeyName *kn = x11_key_of_name(xkb, xkb->names->keys[k].name);
            if (!kn) continue;
            uint16_t key = app_key_of(*kn);
            x->scan_of_keycode[k] = key;
            if (!x->keycode_of_scan[key]) x->keycode_of_scan[key] = (uint8_t)k;
        }
    }
    if (xkb) XkbFreeKeyboard(xkb, 0, True);
    if (!named) {
        // evdev keycodes: the kernel's key number plus 8, which for the
        // main block is the set-1 code.
        for (int k = 9; k < 8 + 0x59; k++) {
            x->scan_of_keycode[k] = (uint16_t)(k - 8);
            x->keycode_of_scan[k - 8] = (uint8_t)k;
        }
    }
    x->num_mask = XkbKeysymToModifiers(x->dpy, XK_Num_Lock);
    if (!x->num_mask) x->num_mask = Mod2Mask;
}

// The keyboard as it is now: keys pressed and released while another window
// had the focus were never seen here.
void refresh_keyboard(X11App *x) {
    char keys[32];
    memset(keys, 0, sizeof(keys));
    XQueryKeymap(x->dpy, keys);
    x->mods_down = 0;
    for (int k = 0; k < 256; k++) {
        bool down = (keys[k / 8] >> (k % 8)) & 1;
        x->key_down[k] = down;
        if (down) x->mods_down |= mod_bit(x->scan_of_keycode[k]);
    }
    if (x->keycode_of_scan[0x137]) x->prsc_down = x->key_down[x->keycode_of_scan[0x137]];
    XkbStateRec st;
    memset(&st, 0, sizeof(st));
    if (XkbGetState(x->dpy, XkbUseCoreKbd, &st) == Success)
        x->locks = ((st.locked_mods & LockMask) ? VKO_MOD_CAPS : 0) |
                   ((st.locked_mods & x->num_mask) ? VKO_MOD_NUM : 0);
    if (x->compose) xkb_compose_state_reset(x->compose);
}

void open_compose(X11App *x) {
    x->xkb = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    if (!x->xkb) return;
    const char *locale = getenv("LC_ALL");
    if (!locale || !*locale) locale = getenv("LC_CTYPE");
    if (!locale || !*locale) locale = getenv("LANG");
    if (!locale || !*locale) locale = "C";
    x->compose_table = xkb_compose_table_new_from_locale(x->xkb, locale, XKB_COMPOSE_COMPILE_NO_FLAGS);
    if (!x->compose_table)
        x->compose_table = xkb_compose_table_new_from_locale(x->xkb, "C", XKB_COMPOSE_COMPILE_NO_FLAGS);
    if (x->compose_table) x->compose = xkb_compose_state_new(x->compose_table, XKB_COMPOSE_STATE_NO_FLAGS);
}

void close_compose(X11App *x) {
    if (x->compose) xkb_compose_state_unref(x->compose);
    if (x->compose_table) xkb_compose_table_unref(x->compose_table);
    if (x->xkb) xkb_context_unref(x->xkb);
    x->compose = nullptr, x->compose_table = nullptr, x->xkb = nullptr;
}

void intern_atoms(X11App *x) {
    struct {
        Atom *atom;
        const char *name;
    } list[] = {
        {&x->wm_protocols, "WM_PROTOCOLS"},
        {&x->wm_delete, "WM_DELETE_WINDOW"},
        {&x->wm_state, "WM_STATE"},
        {&x->net_wm_name, "_NET_WM_NAME"},
        {&x->net_wm_state, "_NET_WM_STATE"},
        {&x->net_max_v, "_NET_WM_STATE_MAXIMIZED_VERT"},
        {&x->net_max_h, "_NET_WM_STATE_MAXIMIZED_HORZ"},
        {&x->net_fullscreen, "_NET_WM_STATE_FULLSCREEN"},
        {&x->net_hidden, "_NET_WM_STATE_HIDDEN"},
        {&x->net_active, "_NET_ACTIVE_WINDOW"},
        {&x->net_extents, "_NET_FRAME_EXTENTS"},
        {&x->net_workarea, "_NET_WORKAREA"},
        {&x->net_check, "_NET_SUPPORTING_WM_CHECK"},
        {&x->utf8, "UTF8_STRING"},
        {&x->motif_hints, "_MOTIF_WM_HINTS"},
        {&x->clipboard, "CLIPBOARD"},
        {&x->wm_change_state, "WM_CHANGE_STATE"},
        {&x->net_wm_pid, "_NET_WM_PID"},
        {&x->xdnd_aware, "XdndAware"},
        {&x->xdnd_enter, "XdndEnter"},
        {&x->xdnd_position, "XdndPosition"},
        {&x->xdnd_status, "XdndStatus"},
        {&x->xdnd_leave, "XdndLeave"},
        {&x->xdnd_drop, "XdndDrop"},
        {&x->xdnd_finished, "XdndFinished"},
        {&x->xdnd_selection, "XdndSelection"},
        {&x->xdnd_copy, "XdndActionCopy"},
        {&x->xdnd_typelist, "XdndTypeList"},
        {&x->uri_list, "text/uri-list"},
        {&x->drop_prop, "VKO_DROP"},
        {&x->tray_opcode, "_NET_SYSTEM_TRAY_OPCODE"},
        {&x->tray_message_data, "_NET_SYSTEM_TRAY_MESSAGE_DATA"},
        {&x->manager, "MANAGER"},
        {&x->xembed, "_XEMBED"},
        {&x->xembed_info, "_XEMBED_INFO"},
    };
    for (auto &a : list) *a.atom = XInternAtom(x->dpy, a.name, False);
    char sel[64];
    snprintf(sel, sizeof(sel), "_NET_SYSTEM_TRAY_S%d", x->screen);
    x->tray_sel = XInternAtom(x->dpy, sel, False);
}

Cursor theme_cursor(Display *dpy, const char *name, unsigned font) {
    Cursor c = XcursorLibraryLoadCursor(dpy, name);
    return c ? c : XCreateFontCursor(dpy, font);
}

void make_cursors(X11App *x) {
    x->arrow = theme_cursor(x->dpy, "default", XC_left_ptr);
    x->hand = theme_cursor(x->dpy, "pointer", XC_hand2);
    x->ibeam = theme_cursor(x->dpy, "text", XC_xterm);
    char zero = 0;
    Pixmap p = XCreateBitmapFromData(x->dpy, x->root, &zero, 1, 1);
    XColor black;
    memset(&black, 0, sizeof(black));
    x->blank = XCreatePixmapCursor(x->dpy, p, p, &black, &black, 0, 0);
    XFreePixmap(x->dpy, p);
}

long *get_longs(Display *dpy, Window w, Atom prop, Atom type, unsigned long *count) {
    Atom actual;
    int format;
    unsigned long n = 0, after;
    unsigned char *data = nullptr;
    *count = 0;
    if (XGetWindowProperty(dpy, w, prop, 0, 1024, False, type, &actual, &format, &n, &after, &data) !=
            Success ||
        !data)
        return nullptr;
    if (format != 32) {
        XFree(data);
        return nullptr;
    }
    *count = n;
    return (long *)data;
}

size_t query_monitors(Display *dpy, Window root, VKO_Monitor *out, size_t max) {
    size_t n = 0;
    float scale = x11_screen_scale(dpy);
    int count = 0;
    XRRMonitorInfo *mi = XRRGetMonitors(dpy, root, True, &count);
    for (int i = 0; mi && i < count && n < max; i++) {
        VKO_Monitor &m = out[n++];
        memset(&m, 0, sizeof(m));
        char *name = mi[i].name ? XGetAtomName(dpy, mi[i].name) : nullptr;
        snprintf(m.name, sizeof(m.name), "%s", name ? name : "");
        if (name) XFree(name);
        m.x = mi[i].x, m.y = mi[i].y, m.w = mi[i].width, m.h = mi[i].height;
        m.primary = mi[i].primary;
        m.scale = scale;
    }
    if (mi) XRRFreeMonitors(mi);
    if (n == 0 && max) {
        VKO_Monitor &m = out[n++];
        memset(&m, 0, sizeof(m));
        int s = DefaultScreen(dpy);
        m.w = DisplayWidth(dpy, s), m.h = DisplayHeight(dpy, s);
        m.primary = true;
        m.scale = scale;
    }
    bool any_primary = false;
    for (size_t i = 0; i < n; i++) any_primary |= out[i].primary;
    if (!any_primary) out[0].primary = true;
    // The work area of the desktop, cut to each monitor.
    unsigned long c = 0;
    long *wa = get_longs(dpy, root, XInternAtom(dpy, "_NET_WORKAREA", False), XA_CARDINAL, &c);
    for (size_t i = 0; i < n; i++) {
        VKO_Monitor &m = out[i];
        m.wx = m.x, m.wy = m.y, m.ww = m.w, m.wh = m.h;
        if (wa && c >= 4) {
            // Another client's numbers: cut to the monitor in 64 bits.
            int64_t l = std::max<int64_t>(m.x, wa[0]), t = std::max<int64_t>(m.y, wa[1]);
            int64_t r = std::min<int64_t>((int64_t)m.x + m.w, (int64_t)wa[0] + std::max(0L, wa[2]));
            int64_t b = std::min<int64_t>((int64_t)m.y + m.h, (int64_t)wa[1] + std::max(0L, wa[3]));
            if (r > l && b > t)
                m.wx = (int32_t)l, m.wy = (int32_t)t, m.ww = (int32_t)(r - l), m.wh = (int32_t)(b - t);
        }
    }
    if (wa) XFree(wa);
    return n;
}

void send_client_message(X11App *x, Window to, Window about, Atom type, long a, long b, long c, long d,
                         long e, long mask) {
    XEvent ev;
    memset(&ev, 0, sizeof(ev));
    ev.xclient.type = ClientMessage;
    ev.xclient.window = about;
    ev.xclient.message_type = type;
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = a;
    ev.xclient.data.l[1] = b;
    ev.xclient.data.l[2] = c;
    ev.xclient.data.l[3] = d;
    ev.xclient.data.l[4] = e;
    XSendEvent(x->dpy, to, False, mask, &ev);
}

// _NET_WM_STATE change: before mapping through the property, after it through
// the window manager.
void set_wm_state(X11App *x, VKO_WindowRec *w, bool on, Atom a1, Atom a2) {
    if (w->mapped && x11_has_wm(x)) {
        send_client_message(x, x->root, w->xid, x->net_wm_state, on ? 1 : 0, (long)a1, (long)a2, 1, 0,
                            SubstructureRedirectMask | SubstructureNotifyMask);
        return;
    }
    unsigned long n = 0;
    long *cur = get_longs(x->dpy, w->xid, x->net_wm_state, XA_ATOM, &n);
    long atoms[16];
    unsigned long m = 0;
    for (unsigned long i = 0; cur && i < n && m < 14; i++)
        if ((Atom)cur[i] != a1 && (Atom)cur[i] != a2) atoms[m++] = cur[i];
    if (cur) XFree(cur);
    if (on) {
        atoms[m++] = (long)a1;
        if (a2) atoms[m++] = (long)a2;
    }
    XChangeProperty(x->dpy, w->xid, x->net_wm_state, XA_ATOM, 32, PropModeReplace, (unsigned char *)atoms,
                    (int)m);
}

void set_decorations(X11App *x, VKO_WindowRec *w, bool on) {
    long hints[5] = {2, 0, on ? 1 : 0, 0, 0};  // flags: decorations
    XChangeProperty(x->dpy, w->xid, x->motif_hints, x->motif_hints, 32, PropModeReplace,
                    (unsigned char *)hints, 5);
}

void set_size_hints(X11App *x, VKO_WindowRec *w, const VKO_Rect *r) {
    XSizeHints *h = XAllocSizeHints();
    if (!h) return;
    h->flags = PPosition | USPosition | PSize | USSize | PWinGravity;
    h->x = r->x, h->y = r->y, h->width = r->w, h->height = r->h;
    h->win_gravity = StaticGravity;
    if (w->min_w > 0 || w->min_h > 0) {
        h->flags |= PMinSize;
        h->min_width = w->min_w, h->min_height = w->min_h;
    }
    XSetWMNormalHints(x->dpy, w->xid, h);
    XFree(h);
}

VKO_Event new_event(VKO_EventType type, int32_t index) {
    VKO_Event ev;
    memset(&ev, 0, sizeof(ev));
    ev.type = type;
    ev.window = (uint8_t)index;
    return ev;
}

// Delivers an event; false when its window went with it.
bool emit(VKO_App *app, VKO_EventType type, int32_t index) {
    VKO_Event ev = new_event(type, index);
    return app_dispatch_alive(app, &ev);
}

int32_t focused_index(VKO_App *app) {
    for (int32_t i = 0; i < VKO_WINDOW_MAX; i++)
        if (app->windows[i] && app->windows[i]->focused) return i;
    return -1;
}

// Characters beyond the 16-bit plane reach the app whole.
void encode_utf8(uint32_t u, char out[8]) {
    memset(out, 0, 8);
    vko_utf8_encode(u, out);
}

// Text of a finished compose sequence, one TEXT event a character: its
// keysym's character, else its string.
void emit_text(VKO_App *app, int32_t index, xkb_keysym_t sym, const char *utf8, int len) {
    uint32_t one = sym != XKB_KEY_NoSymbol ? xkb_keysym_to_utf32(sym) : 0;
    std::vector<uint32_t> chars;
    if (one) {
        chars.push_back(one);
    } else {
        // Up to the first byte that is no UTF-8 (a character cut at the
        // buffer's end among them).
        uint32_t u;
        for (int i = 0, n; i < len; i += n) {
            n = (int)vko_utf8_decode((const unsigned char *)utf8 + i, (size_t)(len - i), &u);
            if (!n) break;
            chars.push_back(u);
        }
    }
    for (uint32_t u : chars) {
        if (!u || (u >= 0xD800 && u <= 0xDFFF) || u > 0x10FFFF) continue;
        VKO_Event t = new_event(VKO_EVENT_TEXT, index);
        encode_utf8(u, t.text);
        if (!app_dispatch_alive(app, &t)) return;
    }
}

void on_key(VKO_App *app, int32_t index, XKeyEvent *k, bool press) {
    X11App *x = app->x;
    uint32_t key = x->scan_of_keycode[k->keycode & 0xFF];
    bool repeat = press && x->key_down[k->keycode & 0xFF];
    x->key_down[k->keycode & 0xFF] = press;
    if (index < 0) {
        // A global hotkey's passive grab: the modifiers come from the event,
        // since their presses went to another client.
        if (!press || repeat || !key) return;
        uint32_t mods =
            ((k->state & ShiftMask) ? VKO_MOD_LSHIFT : 0) | ((k->state & ControlMask) ? VKO_MOD_LCTRL : 0) |
            ((k->state & Mod1Mask) ? VKO_MOD_LALT : 0) | ((k->state & Mod4Mask) ? VKO_MOD_LWIN : 0);
        uint32_t value = app_hotkey_value(mods, key);
        if (uint32_t id = (uint32_t)(uintptr_t)VKO_HashGetInt(app->global_hotkeys, value)) {
            VKO_Event ev = new_event(VKO_EVENT_HOTKEY, 0);
            ev.hotkey = id;
            app_deliver(app, &ev);
        }
        return;
    }
    if (uint32_t bit = mod_bit(key)) x->mods_down = press ? x->mods_down | bit : x->mods_down & ~bit;
    // The event's state is the one before it; a lock key's press flips its
    // toggle, as the system's key state has it when the message arrives.
    uint32_t before =
        ((k->state & LockMask) ? VKO_MOD_CAPS : 0) | ((k->state & x->num_mask) ? VKO_MOD_NUM : 0);
    if (key == 0x3A || key == 0x145) {
        uint32_t bit = key == 0x3A ? VKO_MOD_CAPS : VKO_MOD_NUM;
        uint32_t own = press && !repeat ? (before & bit) ^ bit : (x->locks & bit);
        x->locks = (before & ~bit) | own;
    } else {
        x->locks = before;
    }
    uint32_t vk = event_vk(key, (x->locks & VKO_MOD_NUM) != 0);
    if (app->hook_installed && g_vko_hook.target == app) {
        bool alt = (x->mods_down & (VKO_MOD_LALT | VKO_MOD_RALT)) != 0;
        if (key == 0x01 || key == 0x15B || key == 0x15C || key == 0x15D || (alt && key == 0x0F)) {
            vk = 0;
            if (key == 0x15B) g_vko_hook.lwin = press ? VKO_MOD_LWIN : 0;
            if (key == 0x15C) g_vko_hook.rwin = press ? VKO_MOD_RWIN : 0;
        }
    }
    uint32_t mods = x->mods_down | x->locks | g_vko_hook.lwin | g_vko_hook.rwin;
    if (press && !repeat && key) {
        // A grabbed keyboard keeps passive grabs from firing: global hotkeys
        // are matched here too.
        if (uint32_t id =
                (uint32_t)(uintptr_t)VKO_HashGetInt(app->global_hotkeys, app_hotkey_value(mods, key))) {
            VKO_Event ev = new_event(VKO_EVENT_HOTKEY, index);
            ev.hotkey = id;
            app_deliver(app, &ev);
            return;
        }
    }
    if (key) {
        if (key == 0x137) {
            // The system sends Print Screen's release alone; a press is made up
            // only when none was seen.
            bool made_up = !press && !x->prsc_down;
            x->prsc_down = press;
            if (made_up) {
                VKO_Event p = new_event(VKO_EVENT_KEY, index);
                p.key = {key, mods, vk, 1};
                if (!app_dispatch_alive(app, &p)) return;
            }
        }
        VKO_Event ev = new_event(VKO_EVENT_KEY, index);
        ev.key.key = key;
        ev.key.mods = mods;
        ev.key.virtual_key = vk;
        ev.key.pressed = press;
        if (!app_dispatch_alive(app, &ev)) return;  // no text for a window that is gone
    }
    if (!press || (x->mods_down & VKO_MOD_LALT)) return;  // Alt combinations are system keys: no text
    char buf[16];
    KeySym ks = NoSymbol;
    int n = XLookupString(k, buf, sizeof(buf), &ks, nullptr);
    if (x->compose && ks != NoSymbol && !(k->state & ControlMask) &&
        xkb_compose_state_feed(x->compose, (xkb_keysym_t)ks) == XKB_COMPOSE_FEED_ACCEPTED) {
        switch (xkb_compose_state_get_status(x->compose)) {
            case XKB_COMPOSE_COMPOSING:
                return;  // a dead key or the start of a sequence: no text yet
            case XKB_COMPOSE_CANCELLED:
                xkb_compose_state_reset(x->compose);
                return;
            case XKB_COMPOSE_COMPOSED: {
                xkb_keysym_t sym = xkb_compose_state_get_one_sym(x->compose);
                char out[64];
                // The length it would need: the buffer holds at most 63 bytes.
                int len =
                    std::min(xkb_compose_state_get_utf8(x->compose, out, sizeof(out)), (int)sizeof(out) - 1);
                xkb_compose_state_reset(x->compose);
                emit_text(app, index, sym, out, len);
                return;
            }
            case XKB_COMPOSE_NOTHING:
                break;
        }
    }
    uint32_t u = ks != NoSymbol ? xkb_keysym_to_utf32((xkb_keysym_t)ks) : 0;
    if ((k->state & ControlMask) && n == 1 && (unsigned char)buf[0] < 0x20) u = (unsigned char)buf[0];
    if (!u || (u >= 0xD800 && u <= 0xDFFF) || u > 0x10FFFF) return;
    VKO_Event t = new_event(VKO_EVENT_TEXT, index);
    encode_utf8(u, t.text);
    app_dispatch(app, &t);
}

uint32_t x_button_to_vko(unsigned b) {
    switch (b) {
        case 1:
            return 1;
        case 2:
            return 3;
        case 3:
            return 2;
        case 8:
            return 4;
        case 9:
            return 5;
    }
    return 0;
}

void on_button(VKO_App *app, int32_t index, XButtonEvent *b, bool press) {
    if (app->x->raw_on) return;  // raw mode reports buttons itself
    if (b->button >= 4 && b->button <= 7) {
        if (!press) return;
        VKO_Event ev = new_event(VKO_EVENT_SCROLL, index);
        if (b->button == 4) ev.scroll.y = 120;
        if (b->button == 5) ev.scroll.y = -120;
        if (b->button == 6) ev.scroll.x = -120;
        if (b->button == 7) ev.scroll.x = 120;
        app_dispatch(app, &ev);
        return;
    }
    uint32_t button = x_button_to_vko(b->button);
    if (!button) return;
    if (button == 1 && app->pen_enabled && app->pen_in_range) return;
    VKO_Event ev = new_event(VKO_EVENT_BUTTON, index);
    ev.button.button = button;
    ev.button.x = b->x;
    ev.button.y = b->y;
    ev.button.pressed = press;
    app_dispatch(app, &ev);
}

void on_motion(VKO_App *app, int32_t index, XMotionEvent *m) {
    if (app->x->raw_on) return;
    bool skip = app->skip_next_motion;
    app->skip_next_motion = false;
    if (skip || (app->pen_enabled && app->pen_in_range)) return;
    VKO_WindowRec *w = app->windows[index];
    if (app->relative && !(w && w->focused)) return;
    VKO_Event ev = new_event(VKO_EVENT_MOTION, index);
    ev.motion.x = (int16_t)m->x;
    ev.motion.y = (int16_t)m->y;
    app_dispatch(app, &ev);
}

// Raw events carry device buttons: the pointer mapping makes them the logical
// buttons that core events and the released-button check read.
unsigned logical_button(X11App *x, unsigned device_button) {
    unsigned char map[256];
    int n = XGetPointerMapping(x->dpy, map, sizeof(map));
    return device_button >= 1 && (int)device_button <= n ? map[device_button - 1] : device_button;
}

// The window raw reports and released buttons go to: the focused one, else
// window 0; -1 when that is gone too.
int32_t input_window(VKO_App *app) {
    int32_t index = focused_index(app);
    if (index < 0) index = 0;
    return app->windows[index] ? index : -1;
}

void on_raw(VKO_App *app, XIRawEvent *r) {
    X11App *x = app->x;
    if (input_window(app) < 0) return;
    // Each move comes once as the device's own event and again as its master
    // pointer's copy, which the server sends twice while we hold a pointer
    // grab (to the root selection and to the grabbing client) and which
    // nothing tells from a second real move. Only the device's own event
    // counts: every move exactly once.
    if (r->deviceid != r->sourceid) return;
    // Another device moves: the pen has left its range (X tells no proximity).
    if (app->pen_in_range && x->pen_device && r->sourceid != x->pen_device &&
        !x11_pen_device(x, r->sourceid)) {
        x11_pen_leave(app, input_window(app));
    }
    // The tray menu holds the pointer: its moves and clicks are not the app's.
    if (!x->raw_on || app->tray.menu_open) return;
    VKO_RawMouse raw;
    memset(&raw, 0, sizeof(raw));
    if (r->evtype == XI_RawMotion) {
        double v[2] = {0, 0};
        bool have[2] = {false, false};
        const double *val = r->raw_values;
        for (int i = 0, at = 0; i < r->valuators.mask_len * 8 && i < 2; i++)
            if (XIMaskIsSet(r->valuators.mask, i)) v[i] = val[at++], have[i] = true;
        if (x11_raw_absolute(x, r->sourceid, v, have, &raw.x, &raw.y)) {
            // A tablet or touch screen: positions over the whole screen.
            raw.absolute = raw.virtual_desktop = true;
        } else {
            // Deltas in fractions of a pixel (precise devices, slow moves)
            // add up: what a move leaves below a whole pixel goes with the
            // next one instead of being lost to the truncation.
            double dx = x->raw_rest_x + (std::isfinite(v[0]) ? std::clamp(v[0], -1e6, 1e6) : 0.0);
            double dy = x->raw_rest_y + (std::isfinite(v[1]) ? std::clamp(v[1], -1e6, 1e6) : 0.0);
            raw.x = (int32_t)dx, raw.y = (int32_t)dy;
            x->raw_rest_x = dx - raw.x, x->raw_rest_y = dy - raw.y;
        }
        if (!raw.x && !raw.y) return;
    } else {
        bool press = r->evtype == XI_RawButtonPress;
        unsigned b = logical_button(x, (unsigned)r->detail);
        switch (b) {
            case 1:
                raw.buttons = press ? VKO_RAW_LEFT_DOWN : VKO_RAW_LEFT_UP;
                break;
            case 2:
                raw.buttons = press ? VKO_RAW_MIDDLE_DOWN : VKO_RAW_MIDDLE_UP;
                break;
            case 3:
                raw.buttons = press ? VKO_RAW_RIGHT_DOWN : VKO_RAW_RIGHT_UP;
                break;
            case 8:
                raw.buttons = press ? VKO_RAW_X1_DOWN : VKO_RAW_X1_UP;
                break;
            case 9:
                raw.buttons = press ? VKO_RAW_X2_DOWN : VKO_RAW_X2_UP;
                break;
            case 4:
            case 5:
                if (!press) return;
                raw.buttons = VKO_RAW_WHEEL;
                raw.wheel = b == 4 ? 120 : -120;
                break;
            case 6:
            case 7:
                if (!press) return;
                raw.buttons = VKO_RAW_HWHEEL;
                raw.hwheel = b == 7 ? 120 : -120;
                break;
            default:
                return;
        }
    }
    // Looked up now: the pen's leave may have closed a window.
    int32_t index = input_window(app);
    if (index >= 0) app_raw_mouse(app, (uint8_t)index, &raw);
}

// The window's rectangle in root coordinates as the server has it; the
// values are left alone when it cannot tell.
void read_geometry(X11App *x, VKO_WindowRec *w, int *rx, int *ry, int *width, int *height) {
    Window child;
    XWindowAttributes a;
    memset(&a, 0, sizeof(a));
    X11ErrorTrap trap(x->dpy);
    int tx = 0, ty = 0;
    if (!XGetWindowAttributes(x->dpy, w->xid, &a) ||
        !XTranslateCoordinates(x->dpy, w->xid, x->root, 0, 0, &tx, &ty, &child))
        return;
    *rx = tx, *ry = ty, *width = a.width, *height = a.height;
}

void on_configure(VKO_App *app, int32_t index, XConfigureEvent *c) {
    VKO_WindowRec *w = app->windows[index];
    // Any client may send a ConfigureNotify: a synthetic one (the manager's
    // word after moving the frame) may move the window, never size it.
    int rx = c->x, ry = c->y, width = w->geom.w, height = w->geom.h;
    if (!c->send_event) {
        width = c->width, height = c->height;
        if (x11_has_wm(app->x)) read_geometry(app->x, w, &rx, &ry, &width, &height);
    }
    bool sized = width != w->geom.w || height != w->geom.h;
    bool moved = rx != w->geom.x || ry != w->geom.y;
    w->geom = {rx, ry, width, height};
    // Notices the server sent before our last placement describe a geometry
    // that placement replaced: they say nothing about the normal rectangle.
    if (!w->maximized && !w->fullscreen && w->mapped && !w->iconic && c->serial >= w->placed_serial) {
        w->normal = w->geom;
        w->have_normal = true;
    }
    if (moved && !emit(app, VKO_EVENT_MOVE, index)) return;
    if (sized) {
        app_bump(app);
        emit(app, VKO_EVENT_SIZE, index);
    }
}

// False when the window went with the SIZE event it caused.
bool read_wm_state(VKO_App *app, VKO_WindowRec *w) {
    X11App *x = app->x;
    unsigned long n = 0;
    long *st = get_longs(x->dpy, w->xid, x->net_wm_state, XA_ATOM, &n);
    bool mv = false, mh = false, hidden = false;
    for (unsigned long i = 0; st && i < n; i++) {
        mv |= (Atom)st[i] == x->net_max_v;
        mh |= (Atom)st[i] == x->net_max_h;
        hidden |= (Atom)st[i] == x->net_hidden;
    }
    if (st) XFree(st);
    if (x11_has_wm(x)) w->maximized = mv && mh;
    long *ws = get_longs(x->dpy, w->xid, x->wm_state, x->wm_state, &n);
    bool iconic = (ws && n >= 1 && ws[0] == IconicState) || hidden;
    if (ws) XFree(ws);
    if (iconic != w->iconic) {
        w->iconic = iconic;
        app_bump(app);
        return emit(app, VKO_EVENT_SIZE, w->index);
    }
    return true;
}

std::string percent_decode(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '%' && i + 2 < s.size() && isxdigit((unsigned char)s[i + 1]) &&
            isxdigit((unsigned char)s[i + 2])) {
            out += (char)strtol(s.substr(i + 1, 2).c_str(), nullptr, 16);
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// First local file path of a text/uri-list, "" when there is none.
std::string first_path(const char *data, size_t size) {
    std::string text(data, size);
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == 0)) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (line.compare(0, 7, "file://") != 0) return "";
        size_t slash = line.find('/', 7);
        if (slash == std::string::npos) return "";
        std::string path = percent_decode(line.substr(slash));
        if (path.find('\0') != std::string::npos) return "";
        return path;
    }
    return "";
}

// UTF-16 units of a UTF-8 text; SIZE_MAX when it is no valid UTF-8.
size_t utf16_units(const std::string &s) {
    size_t units = 0;
    uint32_t u;
    for (size_t i = 0, n; i < s.size(); i += n) {
        n = vko_utf8_decode((const unsigned char *)s.data() + i, s.size() - i, &u);
        if (!n) return SIZE_MAX;
        units += u >= 0x10000 ? 2 : 1;
    }
    return units;
}

void dnd_finish(X11App *x, Window self, bool ok) {
    if (!x->dnd_source) return;
    X11ErrorTrap trap(x->dpy);
    send_client_message(x, x->dnd_source, x->dnd_source, x->xdnd_finished, (long)self, ok ? 1 : 0,
                        ok ? (long)x->xdnd_copy : 0, 0, 0, NoEventMask);
    // The finished message names our window, not the source.
    x->dnd_source = 0;
    x->dnd_ok = false;
}

void on_drop_data(VKO_App *app, int32_t index, XSelectionEvent *s) {
    X11App *x = app->x;
    VKO_WindowRec *w = app->windows[index];
    Window self = w->xid;  // the drop is finished also when its event closed the window
    if (s->property == 0) {
        dnd_finish(x, self, false);
        return;
    }
    Atom type;
    int format;
    unsigned long n = 0, after = 0;
    unsigned char *data = nullptr;
    XGetWindowProperty(x->dpy, w->xid, x->drop_prop, 0, 1 << 20, True, AnyPropertyType, &type, &format, &n,
                       &after, &data);
    std::string path = data && format == 8 ? first_path((const char *)data, n) : "";
    if (data) XFree(data);
    bool ok = false;
    // Paths are taken up to 1,280 UTF-16 units: a longer one, or one that is
    // no UTF-8, cannot be named whole, and a cut one might name another file.
    if (!path.empty() && utf16_units(path) <= 1280) {
        x11_window_focus(app, w);
        size_t size = 0;
        void *contents = VKO_ReadFile(path.c_str(), &size);
        if (contents) {
            VKO_Event ev = new_event(VKO_EVENT_DROP, index);
            ev.drop.name = path.c_str();
            ev.drop.data = contents;
            ev.drop.size = size;
            app_dispatch(app, &ev);
            VKO_Free(contents);
            ok = true;
        }
    }
    dnd_finish(x, self, ok);
}

void on_client_message(VKO_App *app, int32_t index, XClientMessageEvent *c) {
    X11App *x = app->x;
    VKO_WindowRec *w = app->windows[index];
    if (c->message_type == x->wm_protocols && (Atom)c->data.l[0] == x->wm_delete) {
        emit(app, VKO_EVENT_CLOSE, index);
    } else if (c->message_type == x->xdnd_enter) {
        x->dnd_source = (Window)c->data.l[0];
        x->dnd_ok = false;
        x->dnd_converting = false;  // a new drag: an earlier conversion is over
        if (c->data.l[1] & 1) {
            unsigned long n = 0;
            long *types = get_longs(x->dpy, x->dnd_source, x->xdnd_typelist, XA_ATOM, &n);
            for (unsigned long i = 0; types && i < n; i++) x->dnd_ok |= (Atom)types[i] == x->uri_list;
            if (types) XFree(types);
        } else {
            for (int i = 2; i < 5; i++) x->dnd_ok |= (Atom)c->data.l[i] == x->uri_list;
        }
    } else if (c->message_type == x->xdnd_position) {
        if ((Window)c->data.l[0] != x->dnd_source) return;
        X11ErrorTrap trap(x->dpy);
        send_client_message(x, x->dnd_source, x->dnd_source, x->xdnd_status, (long)w->xid, x->dnd_ok ? 1 : 0,
                            0, 0, x->dnd_ok ? (long)x->xdnd_copy : 0, NoEventMask);
    } else if (c->message_type == x->xdnd_leave) {
        x->dnd_source = 0;
        x->dnd_ok = false;
    } else if (c->message_type == x->xdnd_drop) {
        if ((Window)c->data.l[0] != x->dnd_source) return;
        if (!x->dnd_ok) {
            dnd_finish(x, w->xid, false);
            return;
        }
        x->dnd_index = index;
        x->dnd_converting = true;
        x->dnd_requestor = w->xid;
        XConvertSelection(x->dpy, x->xdnd_selection, x->uri_list, x->drop_prop, w->xid, (Time)c->data.l[2]);
    }
}

// The keyboard read again after the app could not see it (another client's
// grab, another window's focus): each key it saw go down that is up now is
// released for it as if the release had come, so no key (a modifier, a key
// the host repeats) stays down; then the rest of the state is taken as it is.
void catch_up_keyboard(VKO_App *app, int32_t index) {
    X11App *x = app->x;
    char keys[32];
    memset(keys, 0, sizeof(keys));
    XQueryKeymap(x->dpy, keys);
    XkbStateRec st;
    memset(&st, 0, sizeof(st));
    XkbGetState(x->dpy, XkbUseCoreKbd, &st);
    uint32_t serial = app_window_serial(app, index);
    for (int k = 0; k < 256; k++) {
        if (!x->key_down[k] || ((keys[k / 8] >> (k % 8)) & 1)) continue;
        XKeyEvent up;
        memset(&up, 0, sizeof(up));
        up.type = KeyRelease;
        up.display = x->dpy;
        up.window = app->windows[index]->xid;
        up.root = x->root;
        up.state = st.mods;
        up.keycode = (unsigned)k;
        on_key(app, index, &up, false);
        if (!app_window_alive(app, index, serial) || app->destroy_pending) return;
    }
    refresh_keyboard(x);
}

void handle_window_event(VKO_App *app, int32_t index, XEvent *e) {
    X11App *x = app->x;
    VKO_WindowRec *w = app->windows[index];
    if (app->hook) {
        bool handled = false;
        uint32_t serial = w->serial;
        app->hook(app, index, (void *)(uintptr_t)w->xid, (uint32_t)e->type, (uintptr_t)e, 0, &handled,
                  app->opaque);
        if (handled || !app_window_alive(app, index, serial)) return;
    }
    switch (e->type) {
        case KeyPress:
        case KeyRelease:
            on_key(app, index, &e->xkey, e->type == KeyPress);
            break;
        case ButtonPress:
        case ButtonRelease:
            on_button(app, index, &e->xbutton, e->type == ButtonPress);
            break;
        case MotionNotify:
            on_motion(app, index, &e->xmotion);
            break;
        case FocusIn:
        case FocusOut: {
            XFocusChangeEvent &f = e->xfocus;
            // Only the server tells where the focus is: one another client
            // sent would have us grab the keyboard while another app is in front.
            if (f.send_event) break;
            // Another client's grab ended: a grab we could not take is tried
            // again at once, and keys pressed or released during the grab
            // went to that client: the keyboard is read again.
            if (f.mode == NotifyUngrab) x->retry_now = true;
            if (f.mode == NotifyUngrab && e->type == FocusIn && w->focused) catch_up_keyboard(app, index);
            // Grabs move focus only for their own duration; focus into a child
            // (an embedded view) keeps the window focused.
            if (f.mode == NotifyGrab || f.mode == NotifyUngrab) break;
            if (f.detail == NotifyInferior || f.detail == NotifyPointer || f.detail == NotifyPointerRoot ||
                f.detail == NotifyDetailNone)
                break;
            bool in = e->type == FocusIn;
            if (w->focused == in) break;
            if (in && focused_index(app) < 0) {
                uint32_t serial = w->serial;
                catch_up_keyboard(app, index);
                if (!app_window_alive(app, index, serial)) break;
            }
            w->focused = in;
            app_bump(app);
            VKO_Event ev = new_event(VKO_EVENT_FOCUS, index);
            ev.focused = in;
            app_dispatch(app, &ev);
            break;
        }
        case ConfigureNotify:
            on_configure(app, index, &e->xconfigure);
            break;
        case MapNotify:
            if (e->xmap.send_event) break;  // made up by another client
            w->mapped = true;
            if (!read_wm_state(app, w)) break;
            app_bump(app);
            if (!emit(app, VKO_EVENT_SIZE, index)) break;
            if (w->focus_pending) x11_window_focus(app, w);
            break;
        case UnmapNotify:
            if (e->xunmap.send_event) break;
            w->mapped = false;
            w->focused = false;
            app_bump(app);
            emit(app, VKO_EVENT_SIZE, index);
            break;
        case PropertyNotify:
            if ((e->xproperty.atom == x->net_wm_state || e->xproperty.atom == x->wm_state) &&
                !read_wm_state(app, w))
                break;
            if (e->xproperty.atom == x->wm_state && w->focus_pending) x11_window_focus(app, w);
            if (e->xproperty.atom == x->net_extents) x->last_extents = x11_extents(app, w);
            break;
        case ClientMessage:
            on_client_message(app, index, &e->xclient);
            break;
        case SelectionNotify: {
            // Any client can send the notice: only the answer to the
            // conversion of a drop we asked for is a drop.
            const XSelectionEvent &s = e->xselection;
            if (!x->dnd_converting || s.requestor != x->dnd_requestor || s.selection != x->xdnd_selection ||
                s.target != x->uri_list || (s.property != x->drop_prop && s.property != 0))
                break;
            x->dnd_converting = false;
            on_drop_data(app, index, &e->xselection);
            break;
        }
    }
}

}  // namespace

void x11_dispatch_event(VKO_App *app, XEvent *e) {
    X11App *x = app->x;
    if (e->type == GenericEvent && x->xi && e->xcookie.extension == x->xi_opcode) {
        if (XGetEventData(x->dpy, &e->xcookie)) {
            if (e->xcookie.evtype == XI_RawMotion || e->xcookie.evtype == XI_RawButtonPress ||
                e->xcookie.evtype == XI_RawButtonRelease)
                on_raw(app, (XIRawEvent *)e->xcookie.data);
            else
                x11_pen_event(app, e->xcookie.evtype, e->xcookie.data);
            XFreeEventData(x->dpy, &e->xcookie);
        } else {
            VKO_Log("app_custom_hwnd_proc", "'GetRawInputData' failed with error 0x%X",
                    (unsigned)e->xcookie.evtype);
        }
        return;
    }
    if (x->xfixes && e->type == x->xfixes_event + XFixesSelectionNotify) {
        x->clip_counter++;
        if (app->windows[0] && x->clip_counter != app->clipboard_seen) {
            app->clipboard_seen = x->clip_counter;
            emit(app, VKO_EVENT_CLIPBOARD, 0);
        }
        return;
    }
    if (x->rr && e->type == x->rr_event + RRScreenChangeNotify) {
        XRRUpdateConfiguration(e);
        return;
    }
    if (x11_tray_event(app, e)) return;
    if (e->xany.window == x->root) {
        if (e->type == PropertyNotify && e->xproperty.atom == x->net_check) x->wm = -1;
        if (e->type == KeyPress || e->type == KeyRelease) on_key(app, -1, &e->xkey, e->type == KeyPress);
        return;
    }
    int32_t index = x11_index_of(app, e->xany.window);
    if (index >= 0) handle_window_event(app, index, e);
}

namespace {

// The display kept awake: our connection for it, and whether its screen saver
// is suspended; both under g_awake_mutex (any thread may ask).
Display *g_awake_dpy;
bool g_awake_on;
std::mutex g_awake_mutex;

}  // namespace

void x11_raw_input(VKO_App *app, void *raw) {
    on_raw(app, (XIRawEvent *)raw);
}

X11App *x11(VKO_App *app) {
    return app ? app->x : nullptr;
}

void x11_send_message(X11App *x, Window to, Window about, Atom type, long a, long b, long c, long d, long e,
                      long mask) {
    send_client_message(x, to, about, type, a, b, c, d, e, mask);
}

int32_t x11_index_of(VKO_App *app, Window w) {
    if (!w) return -1;
    for (int32_t i = 0; i < VKO_WINDOW_MAX; i++)
        if (app->windows[i] && app->windows[i]->xid == w) return i;
    return -1;
}

bool x11_has_wm(X11App *x) {
    if (x->wm < 0) {
        unsigned long n = 0;
        long *w = get_longs(x->dpy, x->root, x->net_check, XA_WINDOW, &n);
        x->wm = w && n >= 1 && w[0] != 0;
        if (w) XFree(w);
    }
    return x->wm == 1;
}

bool x11_app_open(VKO_App *app) {
    XInitThreads();
    Display *dpy = XOpenDisplay(nullptr);
    if (!dpy) {
        VKO_Log("VKO_AppCreate", "'RegisterClassEx' failed with error 0x%X", 2u);
        return false;
    }
    auto *x = (X11App *)VKO_Alloc(1, sizeof(X11App));
    if (!x) {
        XCloseDisplay(dpy);
        return false;
    }
    app->x = x;
    x->dpy = dpy;
    x->screen = DefaultScreen(dpy);
    x->root = RootWindow(dpy, x->screen);
    x->wm = -1;
    {
        std::lock_guard<std::mutex> lock(g_dead_mutex);
        for (X11App *&slot : g_apps)
            if (!slot) {
                slot = x;
                break;
            }
    }
    install_handlers(dpy);
    intern_atoms(x);
    map_keys(x);
    open_compose(x);
    Bool detectable = False;
    XkbSetDetectableAutoRepeat(dpy, True, &detectable);  // held keys repeat presses only
    int ev, err;
    int major = 2, minor = 2;
    if (XQueryExtension(dpy, "XInputExtension", &x->xi_opcode, &ev, &err) &&
        XIQueryVersion(dpy, &major, &minor) == Success && (major > 2 || (major == 2 && minor >= 2))) {
        x->xi = true;
        XIGetClientPointer(dpy, None, &x->master_pointer);
        x11_pen_scan(app);
        unsigned char bits[XIMaskLen(XI_LASTEVENT)];
        memset(bits, 0, sizeof(bits));
        XISetMask(bits, XI_HierarchyChanged);  // tablets and touch screens come and go
        XIEventMask mask = {XIAllDevices, (int)sizeof(bits), bits};
        XISelectEvents(dpy, x->root, &mask, 1);
    }
    x->xfixes = XFixesQueryExtension(dpy, &x->xfixes_event, &err);
    x->rr = XRRQueryExtension(dpy, &x->rr_event, &err);
    if (x->rr) XRRSelectInput(dpy, x->root, RRScreenChangeNotifyMask);
    make_cursors(x);
    x->current = x->arrow;
    XSelectInput(dpy, x->root, StructureNotifyMask | PropertyChangeMask);
    x11_tray_setup(app);
    return true;
}

void x11_app_close(VKO_App *app) {
    X11App *x = app->x;
    if (!x) return;
    {
        std::lock_guard<std::mutex> lock(g_dead_mutex);
        for (X11App *&slot : g_apps)
            if (slot == x) slot = nullptr;
    }
    if (g_vko_hook.target == app) memset(&g_vko_hook, 0, sizeof(g_vko_hook));
    close_compose(x);
    x11_close_display(x->dpy);  // ends every grab with the connection
    VKO_Free(x);
    app->x = nullptr;
}

bool x11_is_active(VKO_App *app) {
    for (VKO_WindowRec *w : app->windows)
        if (w && w->focused && w->mapped && !w->iconic) return true;
    return false;
}

namespace {

// The pointer grab that clips the pointer.
void apply_clip(VKO_App *app, bool active) {
    X11App *x = app->x;
    int32_t fi = focused_index(app);
    VKO_WindowRec *fw = fi >= 0 ? app->windows[fi] : nullptr;
    // Clip.
    int32_t clip[4] = {0, 0, 0, 0};
    bool want = false;
    if (active && app->relative && app->input_mode != 2) {
        want = true;
        clip[0] = app->clip_x, clip[1] = app->clip_y, clip[2] = 1, clip[3] = 1;
    } else if (active && app->grab_mouse && app->input_mode == 0 && fw) {
        want = true;
        clip[0] = fw->geom.x, clip[1] = fw->geom.y, clip[2] = fw->geom.w, clip[3] = fw->geom.h;
    }
    if (!want || memcmp(clip, x->clip_rect, sizeof(clip)) != 0 || !x->pointer_grabbed) {
        x->pointer_retry = false;
        if (x->pointer_grabbed) XUngrabPointer(x->dpy, CurrentTime);
        x->pointer_grabbed = false;
        memset(x->clip_rect, 0, sizeof(x->clip_rect));
        if (want && fw) {
            if (!x->clip_win) {
                XSetWindowAttributes a;
                memset(&a, 0, sizeof(a));
                a.override_redirect = True;
                x->clip_win = XCreateWindow(x->dpy, x->root, clip[0], clip[1], clip[2], clip[3], 0, 0,
                                            InputOnly, CopyFromParent, CWOverrideRedirect, &a);
            } else {
                XMoveResizeWindow(x->dpy, x->clip_win, clip[0], clip[1], clip[2], clip[3]);
            }
            XMapRaised(x->dpy, x->clip_win);
            XSync(x->dpy, False);
            int st =
                XGrabPointer(x->dpy, fw->xid, True, ButtonPressMask | ButtonReleaseMask | PointerMotionMask,
                             GrabModeAsync, GrabModeAsync, x->clip_win, None, CurrentTime);
            if (st == GrabSuccess) {
                x->pointer_grabbed = true;
                memcpy(x->clip_rect, clip, sizeof(clip));
            }
            x->pointer_retry = st != GrabSuccess;
        } else if (x->clip_win) {
            XUnmapWindow(x->dpy, x->clip_win);
        }
    }
}

void apply_keyboard(VKO_App *app, bool active);

}  // namespace

void x11_apply_cursor(VKO_App *app, bool active) {
    X11App *x = app->x;
    if (!x || x->dead) return;
    apply_clip(app, active);
    // Cursor.
    Cursor c;
    if (active && (app->cursor_hidden || (app->relative && app->input_mode == 0)))
        c = x->blank;
    else if (app->cursor_kind == VKO_CURSOR_ARROW)
        c = x->arrow;
    else if (app->cursor_kind == VKO_CURSOR_HAND)
        c = x->hand;
    else if (app->cursor_kind == VKO_CURSOR_IBEAM)
        c = x->ibeam;
    else
        c = x->custom ? x->custom : x->arrow;
    if (c != x->current) {
        x->current = c;
        for (VKO_WindowRec *w : app->windows)
            if (w) XDefineCursor(x->dpy, w->xid, c);
    }
    // Raw mouse.
    bool raw = app->relative && !app->pen_in_range && active && app->input_mode != 2;
    // With a pen about, other devices' moves tell when it left its range.
    bool pens = false;
    for (int i = 0; i < x->pen_count; i++) pens |= x->pens[i].pen;
    if (x->xi && (raw != x->raw_on || pens != x->raw_for_pens)) {
        unsigned char bits[XIMaskLen(XI_LASTEVENT)];
        memset(bits, 0, sizeof(bits));
        XISetMask(bits, XI_HierarchyChanged);
        if (raw || pens) XISetMask(bits, XI_RawMotion);
        if (raw) {
            XISetMask(bits, XI_RawButtonPress);
            XISetMask(bits, XI_RawButtonRelease);
        }
        XIEventMask mask = {XIAllDevices, (int)sizeof(bits), bits};
        X11ErrorTrap trap(x->dpy);
        XISelectEvents(x->dpy, x->root, &mask, 1);
        if (int e = trap.sync()) {
            VKO_Log("app_apply_mouse_ri", "'RegisterRawInputDevices' failed with error 0x%X", (unsigned)e);
        } else {
            if (raw && !x->raw_on) x->raw_rest_x = x->raw_rest_y = 0;
            // The end of raw mode skips the next move; nothing else applied
            // here moves the pointer on X, so a skip on every application
            // would eat the user's next move.
            if (!raw && x->raw_on) app->skip_next_motion = true;
            x->raw_on = raw;
            x->raw_for_pens = pens;
        }
    }
    XFlush(x->dpy);
}

void x11_apply_input(VKO_App *app, bool active) {
    X11App *x = app->x;
    if (!x || x->dead) return;
    x11_apply_cursor(app, active);
    apply_keyboard(app, active);
}

void x11_retry_grabs(VKO_App *app, bool active) {
    X11App *x = app->x;
    if (!x || x->dead) return;
    if (x->pointer_retry) apply_clip(app, active);
    if (x->kbd_retry) apply_keyboard(app, active);
    XFlush(x->dpy);
}

namespace {

// The keyboard grab (the hook of other systems).
void apply_keyboard(VKO_App *app, bool active) {
    X11App *x = app->x;
    if (!active || !app->grab_keyboard || app->input_mode != 0) {
        if (app->hook_installed) {
            X11ErrorTrap trap(x->dpy);
            XUngrabKeyboard(x->dpy, CurrentTime);
            if (int e = trap.sync())
                VKO_Log("app_apply_keyboard_state", "'UnhookWindowsHookEx' failed with error 0x%X",
                        (unsigned)e);
        }
        app->hook_installed = false;
        x->kbd_retry = x->kbd_fail_logged = false;
        if (g_vko_hook.target == app) memset(&g_vko_hook, 0, sizeof(g_vko_hook));
        return;
    }
    if (app->hook_installed) return;
    int32_t fi = focused_index(app);
    if (fi < 0) return;
    g_vko_hook.target = app;
    int st = XGrabKeyboard(x->dpy, app->windows[fi]->xid, True, GrabModeAsync, GrabModeAsync, CurrentTime);
    x->kbd_retry = st != GrabSuccess;
    if (st != GrabSuccess) {
        memset(&g_vko_hook, 0, sizeof(g_vko_hook));
        // Logged once until it takes: it is tried again while wanted.
        if (!x->kbd_fail_logged)
            VKO_Log("app_apply_keyboard_state", "'SetWindowsHookEx' failed with error 0x%X", (unsigned)st);
        x->kbd_fail_logged = true;
        return;
    }
    x->kbd_fail_logged = false;
    app->hook_installed = true;
}

}  // namespace

void x11_grabs_lost(VKO_App *app) {
    X11App *x = app->x;
    if (!x || x->dead) return;
    app->hook_installed = false;
    x->pointer_grabbed = false;
    memset(x->clip_rect, 0, sizeof(x->clip_rect));
    x11_apply_input(app, x11_is_active(app));
}

bool x11_grab_retry_due(VKO_App *app) {
    X11App *x = app->x;
    if (!x || x->dead || (!x->kbd_retry && !x->pointer_retry)) {
        if (x) x->retry_now = false;
        return false;
    }
    int64_t now = VKO_GetTime();
    if (!x->retry_now && now < x->retry_at) return false;
    x->retry_now = false;
    x->retry_at = now + 100 * 1000000LL;  // a failed grab costs a round trip: not every pass
    return true;
}

void x11_pump(VKO_App *app) {
    X11App *x = app->x;
    if (!x) return;
    while (!x->dead && !app->destroy_pending && XPending(x->dpy)) {
        XEvent e;
        XNextEvent(x->dpy, &e);
        x11_dispatch_event(app, &e);
    }
    if (x->dead) {
        // The server is gone and every window with it, but a window whose
        // graphics are attached stays until the thread drawing it lets them
        // go (that thread reaches them through the window).
        for (int32_t i = 0; i < VKO_WINDOW_MAX; i++)
            if (app->windows[i] && !std::atomic_ref<void *>(app->windows[i]->gfx).load()) {
                VKO_Free(app->windows[i]);
                app->windows[i] = nullptr;
            }
    }
}

void x11_check_released(VKO_App *app) {
    X11App *x = app->x;
    if (!x || x->dead || !x->xi || !(app->held_buttons & 0x3E)) return;
    Window r, c;
    double rx, ry, wx, wy;
    XIButtonState buttons;
    XIModifierState mods;
    XIGroupState group;
    memset(&buttons, 0, sizeof(buttons));
    if (!XIQueryPointer(x->dpy, x->master_pointer, x->root, &r, &c, &rx, &ry, &wx, &wy, &buttons, &mods,
                        &group))
        return;
    static const int kX[6] = {0, 1, 3, 2, 8, 9};
    for (uint32_t b = 1; b <= 5; b++) {
        if (!(app->held_buttons & (1u << b))) continue;
        bool down = kX[b] < buttons.mask_len * 8 && XIMaskIsSet(buttons.mask, kX[b]);
        if (down) continue;
        int32_t index = input_window(app);  // an earlier release may have closed one
        if (index < 0) break;
        VKO_Event ev = new_event(VKO_EVENT_BUTTON, index);
        ev.button.button = b;
        app_dispatch(app, &ev);
        app->held_buttons &= ~(1u << b);
    }
    if (buttons.mask) XFree(buttons.mask);
}

int x11_grab_hotkey(VKO_App *app, uint32_t value, bool grab) {
    X11App *x = app->x;
    if (!x || x->dead) return 2;
    uint32_t vk = value & 0xFF, flags = value >> 8;
    unsigned mods = ((flags & 0x4) ? ShiftMask : 0) | ((flags & 0x2) ? ControlMask : 0) |
                    ((flags & 0x1) ? Mod1Mask : 0) | ((flags & 0x8) ? Mod4Mask : 0);
    const unsigned extra[4] = {0, LockMask, x->num_mask, LockMask | x->num_mask};
    X11ErrorTrap trap(x->dpy);
    int err = 0;
    bool any = false;
    for (uint32_t key = 0; key < 0x200; key++) {
        if (app_key_to_vk(key) != vk || !x->keycode_of_scan[key]) continue;
        any = true;
        for (unsigned e : extra) {
            if (grab)
                XGrabKey(x->dpy, x->keycode_of_scan[key], mods | e, x->root, False, GrabModeAsync,
                         GrabModeAsync);
            else
                XUngrabKey(x->dpy, x->keycode_of_scan[key], mods | e, x->root);
        }
        if (!err) err = trap.sync();
    }
    if (grab && err) x11_grab_hotkey(app, value, false);  // drop the variants that did take
    return any ? err : 2;
}

void x11_cursor_rgba(VKO_App *app, const uint8_t *rgba, uint32_t w, uint32_t h, uint32_t hx, uint32_t hy) {
    X11App *x = app->x;
    if (!x || x->dead) {  // no display to draw the cursor's image with
        VKO_Log("app_set_rgba_cursor", "'GetDC' failed");
        return;
    }
    if (w > 1024 || h > 1024) {
        VKO_Log("app_set_rgba_cursor", "'CreateIconIndirect' failed with error 0x%X", 0x57u);
        return;
    }
    XcursorImage *img = XcursorImageCreate((int)w, (int)h);
    if (!img) {
        VKO_Log("app_set_rgba_cursor", "'CreateDIBSection' failed to create color bitmap");
        return;
    }
    img->xhot = std::min(hx, w - 1);
    img->yhot = std::min(hy, h - 1);
    for (size_t i = 0; i < (size_t)w * h; i++) {
        uint32_t r = rgba[i * 4], g = rgba[i * 4 + 1], b = rgba[i * 4 + 2], a = rgba[i * 4 + 3];
        // Xcursor takes premultiplied ARGB.
        r = r * a / 255, g = g * a / 255, b = b * a / 255;
        img->pixels[i] = a << 24 | r << 16 | g << 8 | b;
    }
    x->custom = XcursorImageLoadCursor(x->dpy, img);
    XcursorImageDestroy(img);
    if (!x->custom) VKO_Log("app_set_rgba_cursor", "'CreateIconIndirect' failed with error 0x%X", 0x8u);
}

void x11_cursor_clear(VKO_App *app) {
    X11App *x = app->x;
    if (!x || !x->custom) return;
    if (x->current == x->custom) {
        x->current = x->arrow;
        for (VKO_WindowRec *w : app->windows)
            if (w) XDefineCursor(x->dpy, w->xid, x->arrow);
    }
    XFreeCursor(x->dpy, x->custom);
    x->custom = 0;
}

bool x11_cursor_pos(VKO_App *app, int32_t *px, int32_t *py) {
    X11App *x = app->x;
    if (!x || x->dead) return false;
    Window r, c;
    int rx, ry, wx, wy;
    unsigned m;
    if (!XQueryPointer(x->dpy, x->root, &r, &c, &rx, &ry, &wx, &wy, &m)) return false;
    *px = rx, *py = ry;
    return true;
}

void x11_flush(VKO_App *app) {
    if (app->x && !app->x->dead) XFlush(app->x->dpy);
}

size_t x11_monitors(VKO_App *app, VKO_Monitor *out, size_t max) {
    if (app && app->x && !app->x->dead) return query_monitors(app->x->dpy, app->x->root, out, max);
    Display *dpy = XOpenDisplay(nullptr);
    if (!dpy) return 0;
    install_handlers(dpy);
    size_t n = query_monitors(dpy, DefaultRootWindow(dpy), out, max);
    XCloseDisplay(dpy);
    return n;
}

VKO_Extents x11_extents(VKO_App *app, VKO_WindowRec *w) {
    X11App *x = app->x;
    VKO_Extents e = {0, 0, 0, 0};
    if (!x || x->dead || !x11_has_wm(x)) return e;
    if (!w) return x->last_extents;
    unsigned long n = 0;
    long *v = get_longs(x->dpy, w->xid, x->net_extents, XA_CARDINAL, &n);
    if (v && n >= 4) {
        // Any client can write the property: a frame is never negative, nor
        // larger than a screen could show.
        auto edge = [](long l) { return (int32_t)std::clamp<long>(l, 0, kMaxFrameEdge); };
        e = {edge(v[0]), edge(v[1]), edge(v[2]), edge(v[3])};
        x->last_extents = e;
    } else {
        e = x->last_extents;
    }
    if (v) XFree(v);
    return e;
}

bool x11_window_create(VKO_App *app, VKO_WindowRec *w, const char *title, const VKO_Rect *r, bool map,
                       bool fullscreen) {
    X11App *x = app->x;
    if (!x || x->dead) return false;
    XSetWindowAttributes a;
    memset(&a, 0, sizeof(a));
    a.background_pixel = BlackPixel(x->dpy, x->screen);
    a.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                   FocusChangeMask | StructureNotifyMask | PropertyChangeMask | EnterWindowMask;
    a.cursor = x->current;
    X11ErrorTrap trap(x->dpy);
    w->xid = XCreateWindow(x->dpy, x->root, r->x, r->y, (unsigned)r->w, (unsigned)r->h, 0, CopyFromParent,
                           InputOutput, CopyFromParent, CWBackPixel | CWEventMask | CWCursor, &a);
    if (int e = trap.sync(); e || !w->xid) {
        VKO_Log("VKO_WindowCreate", "'CreateWindowEx' failed with error 0x%X", (unsigned)e);
        return false;
    }
    w->geom = *r;
    XStoreName(x->dpy, w->xid, title);
    XChangeProperty(x->dpy, w->xid, x->net_wm_name, x->utf8, 8, PropModeReplace, (const unsigned char *)title,
                    (int)strlen(title));
    XSetWMProtocols(x->dpy, w->xid, &x->wm_delete, 1);
    XClassHint cls;
    const char *id = vko_app_user_model_id();
    cls.res_name = (char *)"zarvek";
    cls.res_class = (char *)(id ? id : "Zarvek");
    XSetClassHint(x->dpy, w->xid, &cls);
    XWMHints hints;
    memset(&hints, 0, sizeof(hints));
    hints.flags = InputHint | StateHint;
    hints.input = True;
    hints.initial_state = NormalState;
    XSetWMHints(x->dpy, w->xid, &hints);
    long pid = getpid();
    XChangeProperty(x->dpy, w->xid, x->net_wm_pid, XA_CARDINAL, 32, PropModeReplace, (unsigned char *)&pid,
                    1);
    long version = 5;
    XChangeProperty(x->dpy, w->xid, x->xdnd_aware, XA_ATOM, 32, PropModeReplace, (unsigned char *)&version,
                    1);
    set_size_hints(x, w, r);
    x11_pen_select(app, w->xid);
    if (fullscreen) {
        w->fullscreen = true;
        set_decorations(x, w, false);
        set_wm_state(x, w, true, x->net_fullscreen, 0);
    }
    if (w->index == 0) {
        if (x->xfixes)
            XFixesSelectSelectionInput(x->dpy, w->xid, x->clipboard, XFixesSetSelectionOwnerNotifyMask);
        vko_hid_listen(app->hid);
    }
    if (map) XMapRaised(x->dpy, w->xid);
    XFlush(x->dpy);
    return true;
}

void x11_window_destroy(VKO_App *app, VKO_WindowRec *w) {
    X11App *x = app->x;
    if (!x || x->dead || !w->xid) return;
    x11_pen_forget_window(app, w->xid);
    X11ErrorTrap trap(x->dpy);
    if (x->pointer_grabbed && w->focused) {
        XUngrabPointer(x->dpy, CurrentTime);
        x->pointer_grabbed = false;
    }
    XDestroyWindow(x->dpy, w->xid);
}

void x11_window_place(VKO_App *app, VKO_WindowRec *w, const VKO_Rect *r, const VKO_Monitor *mon,
                      uint32_t flags) {
    X11App *x = app->x;
    if (!x || x->dead) return;
    bool wm = x11_has_wm(x);
    if (w->fullscreen) {
        w->fullscreen = false;
        set_wm_state(x, w, false, x->net_fullscreen, 0);
        set_decorations(x, w, true);
    }
    bool max = (flags & VKO_FRAME_MAXIMIZED) != 0;
    w->placed_serial = NextRequest(x->dpy);
    w->normal = *r;
    w->have_normal = true;
    set_size_hints(x, w, r);
    if (wm) {
        if (w->maximized && !max) set_wm_state(x, w, false, x->net_max_v, x->net_max_h);
        XMoveResizeWindow(x->dpy, w->xid, r->x, r->y, (unsigned)r->w, (unsigned)r->h);
        if (max) set_wm_state(x, w, true, x->net_max_v, x->net_max_h);
    } else if (max && mon) {
        // No window manager: maximising is ours to do.
        XMoveResizeWindow(x->dpy, w->xid, mon->wx, mon->wy, (unsigned)mon->ww, (unsigned)mon->wh);
    } else {
        XMoveResizeWindow(x->dpy, w->xid, r->x, r->y, (unsigned)r->w, (unsigned)r->h);
    }
    w->maximized = max;
    if (flags & VKO_FRAME_HIDDEN) {
        if (w->mapped) XWithdrawWindow(x->dpy, w->xid, x->screen);
    } else {
        XMapRaised(x->dpy, w->xid);
    }
    XFlush(x->dpy);
}

void x11_window_fullscreen(VKO_App *app, VKO_WindowRec *w, const VKO_Monitor *mon) {
    X11App *x = app->x;
    if (!x || x->dead) return;
    w->fullscreen = true;
    w->placed_serial = NextRequest(x->dpy);
    set_decorations(x, w, false);
    set_wm_state(x, w, true, x->net_fullscreen, 0);
    XMoveResizeWindow(x->dpy, w->xid, mon->x, mon->y, (unsigned)mon->w, (unsigned)mon->h);
    XMapRaised(x->dpy, w->xid);
    XFlush(x->dpy);
}

void x11_window_show(VKO_App *app, VKO_WindowRec *w, bool show, bool maximized) {
    X11App *x = app->x;
    if (!x || x->dead) return;
    if (!show) {
        XWithdrawWindow(x->dpy, w->xid, x->screen);
        XFlush(x->dpy);
        return;
    }
    if (maximized && !w->fullscreen) {
        VKO_Monitor mons[16];
        const VKO_Monitor *mon = x11_window_monitor(app, w, mons, 16);
        VKO_Rect r = w->have_normal ? w->normal : w->geom;
        x11_window_place(app, w, &r, mon, VKO_FRAME_MAXIMIZED);
        return;
    }
    XMapRaised(x->dpy, w->xid);
    XFlush(x->dpy);
}

void x11_window_focus(VKO_App *app, VKO_WindowRec *w) {
    X11App *x = app->x;
    if (!x || x->dead) return;
    // Focus needs a viewable window: wait for the map to finish.
    bool viewable = false;
    for (int i = 0; i < 200 && !viewable; i++) {
        XWindowAttributes a;
        memset(&a, 0, sizeof(a));
        X11ErrorTrap trap(x->dpy);
        if (!XGetWindowAttributes(x->dpy, w->xid, &a)) return;
        viewable = a.map_state == IsViewable;
        if (!viewable) usleep(1000);
    }
    // A slow manager: focus once it has mapped the window (MapNotify or its
    // WM_STATE change) instead of dropping the activation.
    w->focus_pending = !viewable;
    if (!viewable) return;
    X11ErrorTrap trap(x->dpy);
    XRaiseWindow(x->dpy, w->xid);
    if (x11_has_wm(x))
        send_client_message(x, x->root, w->xid, x->net_active, 1, CurrentTime, 0, 0, 0,
                            SubstructureRedirectMask | SubstructureNotifyMask);
    XSetInputFocus(x->dpy, w->xid, RevertToParent, CurrentTime);
    trap.sync();
}

void x11_window_min_size(VKO_App *app, VKO_WindowRec *w) {
    X11App *x = app->x;
    if (!x || x->dead) return;
    set_size_hints(x, w, &w->geom);
    XFlush(x->dpy);
}

void x11_window_warp(VKO_App *app, VKO_WindowRec *w, int32_t px, int32_t py) {
    X11App *x = app->x;
    if (!x || x->dead) return;
    if (x->pointer_grabbed) {
        XUngrabPointer(x->dpy, CurrentTime);
        x->pointer_grabbed = false;
        memset(x->clip_rect, 0, sizeof(x->clip_rect));
    }
    XWarpPointer(x->dpy, None, w->xid, 0, 0, 0, 0, px, py);
    app->skip_next_motion = true;  // the warp's own move is no move of the user's
    XFlush(x->dpy);
}

const VKO_Monitor *x11_window_monitor(VKO_App *app, VKO_WindowRec *w, VKO_Monitor *buf, size_t n) {
    size_t count = x11_monitors(app, buf, n);
    if (!count) return nullptr;
    const VKO_Rect &r = w->have_normal ? w->normal : w->geom;
    int32_t cx = r.x + r.w / 2, cy = r.y + r.h / 2;
    for (size_t i = 0; i < count; i++)
        if (cx >= buf[i].x && cx < buf[i].x + buf[i].w && cy >= buf[i].y && cy < buf[i].y + buf[i].h)
            return &buf[i];
    return vko_monitor_find(buf, count, nullptr);
}

void x11_stay_awake(bool enable) {
    std::lock_guard<std::mutex> lock(g_awake_mutex);
    // The server counts suspensions per client: one at most is ours.
    if (enable == g_awake_on) return;
    if (!g_awake_dpy) {
        if (!enable) return;
        g_awake_dpy = XOpenDisplay(nullptr);
        if (g_awake_dpy) install_handlers(g_awake_dpy);
    }
    int ev, err;
    if (!g_awake_dpy || !XScreenSaverQueryExtension(g_awake_dpy, &ev, &err)) {
        VKO_Log("VKO_AppStayAwake", "'SetThreadExecutionState' failed");
        return;
    }
    XScreenSaverSuspend(g_awake_dpy, enable ? True : False);
    XFlush(g_awake_dpy);
    g_awake_on = enable;
}
