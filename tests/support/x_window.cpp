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

void send_wm_close(_XDisplay *dpy, unsigned long w) {
    XEvent e = {};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = (long)XInternAtom(dpy, "WM_DELETE_WINDOW", False);
    XSendEvent(dpy, w, False, NoEventMask, &e);
    XSync(dpy, False);
}
