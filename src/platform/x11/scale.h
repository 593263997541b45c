// The desktop's scale factor on X: the Xft.dpi resource the desktop sets
// (96 dpi is 1.0), as programs that follow it draw at that scale.
#pragma once

#include <X11/Xlib.h>

// 1.0 when the resource is missing or out of reason (48 to 960 dpi).
float x11_screen_scale(Display *dpy);
