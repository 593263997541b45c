#include "support/x_window.h"

#include <X11/Xlib.h>

unsigned long mapped_window(_XDisplay *dpy, uint32_t w, uint32_t h) {
    Window win = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, w, h, 0, 0, 0x777777);
    XSelectInput(dpy, win, StructureNotifyMask);
    XMapWindow(dpy, win);
    for (XEvent e;;) {
        XNextEvent(dpy, &e);
        if (e.type == MapNotify) break;
    }
    return win;
}
