#include "host/input_x11.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/log.h"
#include "platform/x11/error_trap.h"
#include "platform/x11/keys.h"

namespace {

// Codes the injection sends beyond the shared table's: Num Lock also as
// 0x145 (as keys read number it), SysRq as 0x54 on the Print Screen key,
// and XKEY_PAUSE.
const X11KeyName kExtraKeys[] = {{0x145, "NMLK"}, {0x54, "PRSC"}, {XKEY_PAUSE, "PAUS"}};

constexpr uint32_t kKeys = 0x246;

struct XInput {
    std::mutex mutex;
    bool tried = false;
    Display *dpy = nullptr;
    uint8_t keycodes[kKeys] = {};
    Atom num_lock = None, caps_lock = None, rules = None;
};

XInput &xi() {
    static XInput *x = new XInput;  // lives for the process: message threads may outlast statics
    return *x;
}

void map_keys(XInput &x) {
    XkbDescPtr xkb = XkbGetMap(x.dpy, 0, XkbUseCoreKbd);
    if (!xkb) return;
    if (XkbGetNames(x.dpy, XkbKeyNamesMask | XkbKeyAliasesMask, xkb) == Success && xkb->names &&
        xkb->names->keys) {
        for (size_t i = 0; i < x11_key_name_count; i++)
            x.keycodes[x11_key_names[i].key] = (uint8_t)x11_keycode_of_name(xkb, x11_key_names[i].name);
        for (const X11KeyName &k : kExtraKeys) x.keycodes[k.key] = (uint8_t)x11_keycode_of_name(xkb, k.name);
    }
    XkbFreeKeyboard(xkb, 0, True);
}

// Returns the open display with the mutex held, or null (mutex released).
Display *lock() {
    XInput &x = xi();
    x.mutex.lock();
    if (!x.tried) {
        x.tried = true;
        int major = XkbMajorVersion, minor = XkbMinorVersion, ev, err, op;
        x.dpy = XkbOpenDisplay(nullptr, &ev, &err, &major, &minor, &op);
        int xt_ev, xt_err, xt_major, xt_minor;
        if (x.dpy && !XTestQueryExtension(x.dpy, &xt_ev, &xt_err, &xt_major, &xt_minor)) {
            XCloseDisplay(x.dpy);
            x.dpy = nullptr;
        }
        if (!x.dpy) {
            const char *name = getenv("DISPLAY");
            VKO_Log("xinput_open", "'XOpenDisplay' failed on '%s': input is not injected", name ? name : "");
        } else {
            x11_outlive_server(x.dpy);
            map_keys(x);
            x.num_lock = XInternAtom(x.dpy, "Num Lock", False);
            x.caps_lock = XInternAtom(x.dpy, "Caps Lock", False);
            x.rules = XInternAtom(x.dpy, "_XKB_RULES_NAMES", False);
        }
    }
    if (!x.dpy) x.mutex.unlock();
    return x.dpy;
}

void unlock(bool flush = true) {
    XInput &x = xi();
    if (flush) XFlush(x.dpy);
    x.mutex.unlock();
}

bool indicator(Atom XInput::*which) {
    Display *dpy = lock();
    if (!dpy) return false;
    Bool on = False;
    XkbGetNamedIndicator(dpy, xi().*which, nullptr, &on, nullptr, nullptr);
    unlock(false);
    return on;
}

}  // namespace

bool xinput_key(uint32_t key, bool down) {
    Display *dpy = lock();
    if (!dpy) return false;
    uint32_t code = key < kKeys ? xi().keycodes[key] : 0;
    if (code) XTestFakeKeyEvent(dpy, code, down, CurrentTime);
    unlock();
    return code != 0;
}

void xinput_button(uint32_t button, bool down) {
    Display *dpy = lock();
    if (!dpy) return;
    XTestFakeButtonEvent(dpy, button, down, CurrentTime);
    unlock();
}

void xinput_motion_absolute(int32_t x, int32_t y) {
    Display *dpy = lock();
    if (!dpy) return;
    XTestFakeMotionEvent(dpy, DefaultScreen(dpy), x, y, CurrentTime);
    unlock();
}

void xinput_motion_relative(int32_t dx, int32_t dy) {
    Display *dpy = lock();
    if (!dpy) return;
    // The request carries 16-bit deltas: larger ones would wrap round.
    XTestFakeRelativeMotionEvent(dpy, std::clamp(dx, -32768, 32767), std::clamp(dy, -32768, 32767),
                                 CurrentTime);
    unlock();
}

bool xinput_num_lock(void) {
    return indicator(&XInput::num_lock);
}

bool xinput_caps_lock(void) {
    return indicator(&XInput::caps_lock);
}

bool xinput_key_held(uint32_t key) {
    Display *dpy = lock();
    if (!dpy) return false;
    uint32_t code = key < kKeys ? xi().keycodes[key] : 0;
    char keys[32] = {};
    if (code) XQueryKeymap(dpy, keys);
    unlock(false);
    return code && (keys[code >> 3] & (1 << (code & 7)));
}

bool xinput_cursor_showing(void) {
    Display *dpy = lock();
    if (!dpy) return false;
    bool showing = false;
    if (XFixesCursorImage *img = XFixesGetCursorImage(dpy)) {
        // The pixels are unsigned long (ARGB in the low 32 bits).
        size_t n = (size_t)img->width * img->height;
        for (size_t i = 0; i < n && !showing; i++) showing = (img->pixels[i] >> 24) & 0xFF;
        XFree(img);
    }
    unlock(false);
    return showing;
}

bool xinput_layout_japanese(void) {
    Display *dpy = lock();
    if (!dpy) return false;
    XkbStateRec st = {};
    XkbGetState(dpy, XkbUseCoreKbd, &st);
    Atom type;
    int format;
    unsigned long n = 0, after;
    unsigned char *data = nullptr;
    std::string layout;
    if (XGetWindowProperty(dpy, DefaultRootWindow(dpy), xi().rules, 0, 1024, False, XA_STRING, &type, &format,
                           &n, &after, &data) == Success &&
        data && format == 8) {
        // rules, model, layout, variant, options: NUL-separated; layouts comma-separated by group.
        const char *p = (const char *)data, *end = p + n;
        for (int field = 0; p < end && field < 2; field++) p += strnlen(p, end - p) + 1;
        if (p < end) {
            std::string all(p, strnlen(p, end - p));
            size_t start = 0;
            for (int g = 0; g < st.group && start != std::string::npos; g++) {
                start = all.find(',', start);
                if (start != std::string::npos) start++;
            }
            if (start != std::string::npos) layout = all.substr(start, all.find(',', start) - start);
        }
    }
    if (data) XFree(data);
    unlock(false);
    return layout == "jp";
}

void xinput_virtual_screen(int32_t rect[4]) {
    rect[0] = rect[1] = rect[2] = rect[3] = 0;
    Display *dpy = lock();
    if (!dpy) return;
    rect[2] = DisplayWidth(dpy, DefaultScreen(dpy));
    rect[3] = DisplayHeight(dpy, DefaultScreen(dpy));
    unlock(false);
}

uint32_t xinput_keycode(uint32_t key) {
    if (!lock()) return 0;
    uint32_t code = key < kKeys ? xi().keycodes[key] : 0;
    unlock(false);
    return code;
}
