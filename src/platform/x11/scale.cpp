#include "platform/x11/scale.h"

#include <X11/Xresource.h>

#include <cstdlib>
#include <cstring>

float x11_screen_scale(Display *dpy) {
    const char *rm = XResourceManagerString(dpy);
    if (!rm) return 1.0f;
    const char *p = strstr(rm, "Xft.dpi:");
    if (!p) return 1.0f;
    double dpi = strtod(p + 8, nullptr);
    return dpi >= 48 && dpi <= 960 ? (float)(dpi / 96.0) : 1.0f;
}
