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

namespace {

struct KeyName {
    uint16_t key;
    char name[5];
};

// Set-1 scan code (0x100 for E0) -> XKB key name, as the kernel's keyboard
// driver and the evdev keycodes connect them.
const KeyName kKeyNames[] = {
    {0x01, "ESC"},   {0x02, "AE01"},  {0x03, "AE02"},       {0x04, "AE03"},  {0x05, "AE04"},  {0x06, "AE05"},
    {0x07, "AE06"},  {0x08, "AE07"},  {0x09, "AE08"},       {0x0A, "AE09"},  {0x0B, "AE10"},  {0x0C, "AE11"},
    {0x0D, "AE12"},  {0x0E, "BKSP"},  {0x0F, "TAB"},        {0x10, "AD01"},  {0x11, "AD02"},  {0x12, "AD03"},
    {0x13, "AD04"},  {0x14, "AD05"},  {0x15, "AD06"},       {0x16, "AD07"},  {0x17, "AD08"},  {0x18, "AD09"},
    {0x19, "AD10"},  {0x1A, "AD11"},  {0x1B, "AD12"},       {0x1C, "RTRN"},  {0x1D, "LCTL"},  {0x1E, "AC01"},
    {0x1F, "AC02"},  {0x20, "AC03"},  {0x21, "AC04"},       {0x22, "AC05"},  {0x23, "AC06"},  {0x24, "AC07"},
    {0x25, "AC08"},  {0x26, "AC09"},  {0x27, "AC10"},       {0x28, "AC11"},  {0x29, "TLDE"},  {0x2A, "LFSH"},
    {0x2B, "BKSL"},  {0x2C, "AB01"},  {0x2D, "AB02"},       {0x2E, "AB03"},  {0x2F, "AB04"},  {0x30, "AB05"},
    {0x31, "AB06"},  {0x32, "AB07"},  {0x33, "AB08"},       {0x34, "AB09"},  {0x35, "AB10"},  {0x36, "RTSH"},
    {0x37, "KPMU"},  {0x38, "LALT"},  {0x39, "SPCE"},       {0x3A, "CAPS"},  {0x3B, "FK01"},  {0x3C, "FK02"},
    {0x3D, "FK03"},  {0x3E, "FK04"},  {0x3F, "FK05"},       {0x40, "FK06"},  {0x41, "FK07"},  {0x42, "FK08"},
    {0x43, "FK09"},  {0x44, "FK10"},  {0x45, "NMLK"},       {0x46, "SCLK"},  {0x47, "KP7"},   {0x48, "KP8"},
    {0x49, "KP9"},   {0x4A, "KPSU"},  {0x4B, "KP4"},        {0x4C, "KP5"},   {0x4D, "KP6"},   {0x4E, "KPAD"},
    {0x4F, "KP1"},   {0x50, "KP2"},   {0x51, "KP3"},        {0x52, "KP0"},   {0x53, "KPDL"},  {0x54, "PRSC"},
    {0x56, "LSGT"},  {0x57, "FK11"},  {0x58, "FK12"},       {0x64, "FK13"},  {0x65, "FK14"},  {0x66, "FK15"},
    {0x67, "FK16"},  {0x68, "FK17"},  {0x69, "FK18"},       {0x6A, "FK19"},  {0x70, "HKTG"},  {0x73, "AB11"},
    {0x79, "HENK"},  {0x7B, "MUHE"},  {0x7D, "AE13"},       {0x7E, "I129"},  {0x110, "I173"}, {0x119, "I171"},
    {0x11C, "KPEN"}, {0x11D, "RCTL"}, {0x120, "MUTE"},      {0x122, "I172"}, {0x124, "I174"}, {0x12E, "VOL-"},
    {0x130, "VOL+"}, {0x135, "KPDV"}, {0x137, "PRSC"},      {0x138, "RALT"}, {0x145, "NMLK"}, {0x146, "PAUS"},
    {0x147, "HOME"}, {0x148, "UP"},   {0x149, "PGUP"},      {0x14B, "LEFT"}, {0x14D, "RGHT"}, {0x14F, "END"},
    {0x150, "DOWN"}, {0x151, "PGDN"}, {0x152, "INS"},       {0x153, "DELE"}, {0x15B, "LWIN"}, {0x15C, "RWIN"},
    {0x15D, "COMP"}, {0x16D, "I234"}, {XKEY_PAUSE, "PAUS"},
};

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

bool same_name(const char *a, const char *b) {
    return strncmp(a, b, XkbKeyNameLength) == 0;
}

uint32_t keycode_of(XkbDescPtr xkb, const char *name) {
    for (int pass = 0; pass < 2; pass++) {
        for (int k = xkb->min_key_code; k <= xkb->max_key_code; k++)
            if (same_name(xkb->names->keys[k].name, name)) return (uint32_t)k;
        if (pass || !xkb->names->key_aliases) break;
        const char *real = nullptr;
        for (int i = 0; i < xkb->names->num_key_aliases && !real; i++)
            if (same_name(xkb->names->key_aliases[i].alias, name)) real = xkb->names->key_aliases[i].real;
        if (!real) break;
        name = real;
    }
    return 0;
}

void map_keys(XInput &x) {
    XkbDescPtr xkb = XkbGetMap(x.dpy, 0, XkbUseCoreKbd);
    if (!xkb) return;
    if (XkbGetNames(x.dpy, XkbKeyNamesMask | XkbKeyAliasesMask, xkb) == Success && xkb->names &&
        xkb->names->keys) {
        for (const KeyName &k : kKeyNames) x.keycodes[k.key] = (uint8_t)keycode_of(xkb, k.name);
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
