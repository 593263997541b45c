// A grey top-level window at (0, 0) on an open X display, returned once the
// server has mapped it.
#pragma once

#include <cstdint>

struct _XDisplay;  // Xlib's Display, without its macros

unsigned long mapped_window(_XDisplay *dpy, uint32_t w, uint32_t h);

// The window manager's close (WM_DELETE_WINDOW) of a window, sent and synced.
void send_wm_close(_XDisplay *dpy, unsigned long w);
