// The app object's record, shared by the portable core (app.cpp, window.cpp),
// the X11 back-end (x11/) and the HID listener. Everything in it belongs to
// the app thread; nothing here is touched by another thread, except the web
// hub, which keeps its own lock (webview.cpp), and a window's graphics, which
// belong to the thread drawing it (window_gfx.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/app.h"
#include "platform/window.h"

struct VKO_Hash;
struct X11App;
struct VKO_HIDListener;
struct VKO_WebHub;

// One monitor: its name, full rectangle and work area in root pixels, and its
// scale (DPI / 96).
struct VKO_Monitor {
    char name[32];
    int32_t x, y, w, h;
    int32_t wx, wy, ww, wh;
    float scale;
    bool primary;
};

// Frame extents of the window manager around a client (0 without one).
struct VKO_Extents {
    int32_t left, right, top, bottom;
};

struct VKO_Rect {
    int32_t x, y, w, h;
};

struct VKO_WindowRec {
    void *gfx;      // graphics record (swap-chain context, renderers)
    void *webview;  // web view host
    VKO_App *app;
    uint8_t index;
    uint32_t serial;  // unique per window the app made: tells a slot's new window from the old
    VKO_Frame frame;  // creation frame, later the frame of the last switch to fullscreen
    unsigned long xid;
    bool was_maximized;
    bool focus_pending;  // activation asked before the manager made the window viewable
    int32_t min_w, min_h;
    // What the X server told us last.
    bool mapped, iconic, focused, maximized, fullscreen;
    VKO_Rect geom;    // client rectangle in root coordinates
    VKO_Rect normal;  // last windowed, unmaximised client rectangle
    bool have_normal;
    unsigned long placed_serial;  // request number of our last placement
};

struct VKO_TrayEntry {
    char *label;
    uint32_t id;
    bool (*checked)(void *opaque);
};

struct VKO_Tray {
    char tooltip[512];  // 128 UTF-16 units as UTF-8
    bool wanted, shown, menu_open;
    int64_t last_add, last_click;
    VKO_TrayEntry *items;
    uint32_t count;
};

struct VKO_XInputSlot {
    bool disabled, connected;
    uint32_t packet;
    uint16_t vendor_id, product_id;
};

// Raw mouse report in the form the raw step reads.
struct VKO_RawMouse {
    bool absolute;         // positions 0..65535 instead of deltas
    bool virtual_desktop;  // absolute over the whole virtual screen
    int32_t x, y;
    uint32_t buttons;  // VKO_RAW_* flags
    int16_t wheel, hwheel;
};

enum : uint32_t {
    VKO_RAW_LEFT_DOWN = 0x1,
    VKO_RAW_LEFT_UP = 0x2,
    VKO_RAW_RIGHT_DOWN = 0x4,
    VKO_RAW_RIGHT_UP = 0x8,
    VKO_RAW_MIDDLE_DOWN = 0x10,
    VKO_RAW_MIDDLE_UP = 0x20,
    VKO_RAW_X1_DOWN = 0x40,
    VKO_RAW_X1_UP = 0x80,
    VKO_RAW_X2_DOWN = 0x100,
    VKO_RAW_X2_UP = 0x200,
    VKO_RAW_WHEEL = 0x400,
    VKO_RAW_HWHEEL = 0x800,
};

// Pen report from the pen feed.
struct VKO_PenInput {
    bool in_range, contact, inverted, eraser;
    int32_t x, y;  // client pixels
    uint16_t pressure, rotation;
    int8_t tilt_x, tilt_y;
};

struct VKO_App {
    VKO_AppFunc app_func;
    VKO_EventFunc event_func;
    VKO_MessageHook hook;
    void *opaque;
    uint32_t flags;

    // Input state. The generation counts changes of what the loop applies.
    uint32_t generation, applied_generation;
    bool grab_keyboard, grab_mouse, cursor_hidden, relative;
    uint32_t input_mode;
    bool pen_enabled, pen_in_range, touch_in_range, skip_next_motion;
    uint32_t cursor_kind;
    int32_t clip_x, clip_y;  // 1 x 1 clip point saved when relative mode began
    uint32_t abs_x, abs_y;   // last absolute raw position, 0xFFFFFFFF unknown
    uint32_t held_buttons;   // bit n = button n held
    uint32_t clipboard_seen;
    bool hook_installed;

    uint32_t timeout;
    VKO_Hash *local_hotkeys;   // (mods & 0xFF) << 16 | key -> id
    VKO_Hash *global_hotkeys;  // registration value -> id
    VKO_Hash *controllers;     // state cache
    VKO_HIDListener *hid;
    VKO_XInputSlot xinput[4];
    VKO_WindowRec *windows[VKO_WINDOW_MAX];
    uint32_t window_serial;  // serial of the last window made
    VKO_Tray tray;
    X11App *x;
    VKO_WebHub *web;  // web-view calls carried from other threads

    uint32_t sleeps;  // loop sleeps so far (tests)

    // VKO_AppRun calls under way; a destroy asked for from the app's own
    // callbacks meanwhile only sets destroy_pending (and drops the callbacks):
    // the outermost VKO_AppRun finishes it when it returns.
    uint32_t running;
    bool destroy_pending;
};

// Process-wide state of the keyboard grab (the hook of other systems).
struct VKO_HookState {
    VKO_App *target;
    uint32_t lwin, rwin;  // 0x40 / 0x80 while swallowed keys hold them
};
extern VKO_HookState g_vko_hook;

// Core (app.cpp, window.cpp).
void app_bump(VKO_App *app);
// Runs the window procedure's last steps for a built event: hotkeys for keys,
// held buttons for button events, then the event function.
void app_dispatch(VKO_App *app, VKO_Event *ev);
void app_deliver(VKO_App *app, VKO_Event *ev);
// Raw mouse step: motion, then the replayed buttons and wheels.
void app_raw_mouse(VKO_App *app, uint8_t index, const VKO_RawMouse *raw);
void app_pen_input(VKO_App *app, uint8_t index, const VKO_PenInput *pen);
void app_device_arrival(VKO_App *app);
// Registration value of a global hotkey, 0 when the key has no virtual key.
uint32_t app_hotkey_value(uint32_t mods, uint32_t key);
// Set-1 key code to the virtual key of a US keyboard (0: none).
uint32_t app_key_to_vk(uint32_t key);
// A key's Windows-style name, NULL when it has none.
const char *app_key_name(uint32_t key);

// Frame math (window.cpp), pure.
VKO_Frame vko_frame_from_metrics(int32_t x, int32_t y, uint32_t width, uint32_t height, float max_height,
                                 int32_t mw, int32_t mh, float scale);
VKO_Rect vko_frame_to_rect(const VKO_Frame *frame, const VKO_Monitor *mon, const VKO_Extents *ext);
VKO_Frame vko_rect_to_frame(const VKO_Rect *client, const VKO_Monitor *mon, bool maximized);
const VKO_Monitor *vko_monitor_find(const VKO_Monitor *mons, size_t count, const char *name);
VKO_WindowRec *app_window(VKO_App *app, int32_t index);
// The event function and the message hook may destroy (or replace) the window
// they were called for: after each call, code that goes on with the window
// checks that it is still the one it was.
uint32_t app_window_serial(VKO_App *app, int32_t index);
bool app_window_alive(VKO_App *app, int32_t index, uint32_t serial);
// app_dispatch, then whether the event's window is still there.
bool app_dispatch_alive(VKO_App *app, VKO_Event *ev);

// X11 back-end (x11/app_x11.cpp and friends).
bool x11_app_open(VKO_App *app);
void x11_app_close(VKO_App *app);
bool x11_is_active(VKO_App *app);
void x11_apply_input(VKO_App *app, bool active);
void x11_apply_cursor(VKO_App *app, bool active);
// Tries again the keyboard and pointer grabs that failed, and nothing else of
// the input state.
void x11_retry_grabs(VKO_App *app, bool active);
// True when a keyboard or pointer grab the input state wants failed and is due
// to be tried again.
bool x11_grab_retry_due(VKO_App *app);
void x11_pump(VKO_App *app);
void x11_check_released(VKO_App *app);
// 0 or the X error code.
int x11_grab_hotkey(VKO_App *app, uint32_t value, bool grab);
void x11_cursor_rgba(VKO_App *app, const uint8_t *rgba, uint32_t w, uint32_t h, uint32_t hx, uint32_t hy);
void x11_cursor_clear(VKO_App *app);
bool x11_cursor_pos(VKO_App *app, int32_t *x, int32_t *y);
void x11_flush(VKO_App *app);
size_t x11_monitors(VKO_App *app, VKO_Monitor *out, size_t max);
VKO_Extents x11_extents(VKO_App *app, VKO_WindowRec *w);
bool x11_window_create(VKO_App *app, VKO_WindowRec *w, const char *title, const VKO_Rect *r, bool map,
                       bool fullscreen);
void x11_window_destroy(VKO_App *app, VKO_WindowRec *w);
void x11_window_place(VKO_App *app, VKO_WindowRec *w, const VKO_Rect *r, const VKO_Monitor *mon,
                      uint32_t flags);
void x11_window_fullscreen(VKO_App *app, VKO_WindowRec *w, const VKO_Monitor *mon);
void x11_window_show(VKO_App *app, VKO_WindowRec *w, bool show, bool maximized);
void x11_window_focus(VKO_App *app, VKO_WindowRec *w);
void x11_window_min_size(VKO_App *app, VKO_WindowRec *w);
void x11_window_warp(VKO_App *app, VKO_WindowRec *w, int32_t x, int32_t y);
const VKO_Monitor *x11_window_monitor(VKO_App *app, VKO_WindowRec *w, VKO_Monitor *buf, size_t n);
bool x11_tray_add(VKO_App *app);
void x11_tray_remove(VKO_App *app);
void x11_tray_message(VKO_App *app, const char *title, const char *message);
int32_t x11_tray_menu(VKO_App *app);
void x11_tray_click(VKO_App *app, uint32_t button);
void x11_stay_awake(bool enable);
// Takes (or releases) logind's sleep and idle inhibitor lock; false, with a
// log line, when logind cannot be reached or refuses.
bool app_sleep_inhibit(bool enable);
