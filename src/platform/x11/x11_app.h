// The app object's X11 connection and what it keeps about the server: the
// key table, cursors, grabs, drag-and-drop and tray state. Belongs to the app
// thread, like the app object that holds it.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>

struct xkb_context;
struct xkb_compose_table;
struct xkb_compose_state;

#include "platform/app_internal.h"

// A slave pointer that is a pen (or its eraser) or a touch device, with the
// valuators a pen report reads (-1: the device has none).
struct X11PenDevice {
    int id;
    bool pen, eraser, touch;
    int pressure, tilt_x, tilt_y;
    double p_min, p_max, tx_min, tx_max, ty_min, ty_max;
    // Positions rather than moves on its first two valuators, their ranges,
    // and the last position it reported (raw events carry changed axes only).
    bool absolute;
    double x_min, x_max, y_min, y_max;
    double last_x, last_y;
};

// A touch down on one of our windows.
struct X11Touch {
    int device, id;
    Window window;
};

struct X11App {
    Display *dpy;
    int screen;
    Window root;
    bool dead;  // the connection broke: every window is gone
    int wm;     // a window manager runs: 1 yes, 0 no, -1 not known (asked again)
    int xi_opcode;
    bool xi;
    int xfixes_event;
    bool xfixes;
    int rr_event;
    bool rr;
    int master_pointer;

    uint16_t scan_of_keycode[256];  // key code of the app (set-1, +0x100 for E0)
    uint8_t keycode_of_scan[0x200];
    bool key_down[256];
    uint32_t mods_down;  // Shift/Ctrl/Alt/Windows bits from our own key tracking
    uint32_t locks;      // Caps 0x100 / Num 0x200
    unsigned num_mask;
    bool prsc_down;
    // Dead keys and compose sequences as the user's locale has them.
    xkb_context *xkb;
    xkb_compose_table *compose_table;
    xkb_compose_state *compose;

    Atom wm_protocols, wm_delete, wm_state, net_wm_name, net_wm_state, net_max_v, net_max_h, net_fullscreen,
        net_hidden, net_active, net_extents, net_workarea, net_check, utf8, motif_hints, clipboard,
        wm_change_state, net_wm_pid;
    Atom xdnd_aware, xdnd_enter, xdnd_position, xdnd_status, xdnd_leave, xdnd_drop, xdnd_finished,
        xdnd_selection, xdnd_copy, xdnd_typelist, uri_list, drop_prop;
    Atom tray_sel, tray_opcode, tray_message_data, manager, xembed, xembed_info;

    Cursor arrow, hand, ibeam, blank, custom, current;
    Window clip_win;
    bool pointer_grabbed;
    int32_t clip_rect[4];
    bool keyboard_grabbed;
    // A grab we want but could not take (another client held one): tried
    // again every pass after a short wait, and at once when a grab ends.
    bool kbd_retry, pointer_retry, retry_now, kbd_fail_logged;
    int64_t retry_at;
    bool raw_on;
    bool raw_for_pens;  // raw motion selected to see the pen leave
    // What raw relative moves left below a whole pixel, added to the next
    // move (cleared when raw mode begins).
    double raw_rest_x, raw_rest_y;
    uint32_t clip_counter;
    VKO_Extents last_extents;

    // Pens and touch devices, the pen now in range (0: none) and the window of
    // its last report, touches down (each once; forgotten with their window
    // or device).
    X11PenDevice pens[16];
    int pen_count;
    int pen_device;
    Window pen_window;
    X11Touch touches[32];
    int touch_count;

    // Drag and drop in progress; the drop's data asked for (converting) by
    // our window dnd_requestor, whose answer alone is taken.
    Window dnd_source;
    bool dnd_ok;
    int32_t dnd_index;
    bool dnd_converting;
    Window dnd_requestor;

    // Tray icon.
    Window tray_icon, tray_manager;
    bool tray_docked;
};

X11App *x11(VKO_App *app);
// Window index of an X window of the app, -1 when none.
int32_t x11_index_of(VKO_App *app, Window w);
bool x11_has_wm(X11App *x);
void x11_dispatch_event(VKO_App *app, XEvent *e);
// One XI2 raw event (an XIRawEvent) through the raw mouse step.
void x11_raw_input(VKO_App *app, void *raw);
// A grab of our own (the tray menu's) replaced the app's keyboard and pointer
// grabs, and ending it ended them: takes back at once those the app wants.
void x11_grabs_lost(VKO_App *app);
void x11_send_message(X11App *x, Window to, Window about, Atom type, long a, long b, long c, long d, long e,
                      long mask);

// Pen and touch side (x11/pen_x11.cpp). Devices that report positions
// (tablets, touch screens) are listed too, for the raw mouse step.
void x11_pen_scan(VKO_App *app);
// A raw move of an absolute device as 0..65535 over its range; false for a
// device that reports moves.
bool x11_raw_absolute(X11App *x, int device, const double v[2], const bool have[2], int32_t *ax, int32_t *ay);
void x11_pen_select(VKO_App *app, unsigned long window);
// An XI2 device, crossing or hierarchy event; false when it is none of them.
bool x11_pen_event(VKO_App *app, int evtype, void *data);
void x11_pen_leave(VKO_App *app, int32_t index);
// A window of ours goes: its touches end, and a pen in range over it leaves.
void x11_pen_forget_window(VKO_App *app, unsigned long window);
bool x11_pen_device(X11App *x, int id);
// Adds a device as if the server had listed it (recorded devices in tests).
void x11_pen_add(VKO_App *app, const X11PenDevice *device);

// Tray side (x11/tray.cpp).
// Closes a connection that may have drawn text (the tray menu's, a message
// box's): Xft's records of all connections are one list for the process.
void x11_close_display(Display *dpy);
void x11_tray_setup(VKO_App *app);
bool x11_tray_event(VKO_App *app, XEvent *e);
