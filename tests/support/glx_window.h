/* The mapped GLX window of the test programs: double-buffered RGB, 8 bits a
 * channel, at (0, 0) of the default screen. Its visual is handed back for
 * the contexts; NULL when none fits. */
#pragma once

#include <GL/glx.h>
#include <X11/Xlib.h>

static inline Window glx_test_window(Display *dpy, int w, int h, XVisualInfo **visual) {
    int attrs[] = {GLX_RGBA, GLX_DOUBLEBUFFER, GLX_RED_SIZE, 8, GLX_GREEN_SIZE, 8, GLX_BLUE_SIZE, 8, None};
    XVisualInfo *vi = glXChooseVisual(dpy, DefaultScreen(dpy), attrs);
    *visual = vi;
    if (!vi) return 0;
    XSetWindowAttributes swa = {0};
    swa.colormap = XCreateColormap(dpy, RootWindow(dpy, vi->screen), vi->visual, AllocNone);
    Window win = XCreateWindow(dpy, RootWindow(dpy, vi->screen), 0, 0, (unsigned)w, (unsigned)h, 0, vi->depth,
                               InputOutput, vi->visual, CWColormap, &swa);
    XMapWindow(dpy, win);
    return win;
}
