/* A small OpenGL program for the present-hook tests: a GLX window of the
 * given size showing frames 1..N, each a known picture (top half red, bottom
 * half blue) with its number in binary as eight squares along the top edge
 * (white 1, black 0, most significant first), presented with glXSwapBuffers.
 * Prints its window id, and "swapped" once its last swap has reached the X
 * server; then waits for standard input to close.
 * With ZARVEK_HOOK_DLOPEN set, loads that library at run time: before the
 * first frame, or after frame ZARVEK_HOOK_DLOPEN_AFTER was swapped.
 * Built with SWAP_THROUGH_POINTER it has no glXSwapBuffers import: it swaps
 * through a pointer fetched with dlsym from the library ZARVEK_SWAP_FROM
 * names, at its first frame (as programs that load GL at run time do).
 * Usage: glx_frames FRAMES WIDTH HEIGHT */
#define _GNU_SOURCE
#include <GL/gl.h>
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

#include "glx_window.h"
#include "pin_drivers.h"
#include <string.h>
#include <unistd.h>

#define SQUARE 8

static void fill(int x, int y, int w, int h, float r, float g, float b, int height) {
    /* GL counts rows from the bottom. */
    glScissor(x, height - y - h, w, h);
    glClearColor(r, g, b, 1);
    glClear(GL_COLOR_BUFFER_BIT);
}

typedef void (*SwapFn)(Display *, GLXDrawable);

static void swap(Display *dpy, Window win) {
#ifdef SWAP_THROUGH_POINTER
    static SwapFn fetched;
    if (!fetched) {
        const char *from = getenv("ZARVEK_SWAP_FROM");
        void *lib = from ? dlopen(from, RTLD_NOW) : NULL;
        fetched = lib ? (SwapFn)dlsym(lib, "glXSwapBuffers") : NULL;
        if (!fetched) exit(7);
    }
    fetched(dpy, win);
#else
    glXSwapBuffers(dpy, win);
#endif
}

static void load_hook(const char *path) {
    if (path && !dlopen(path, RTLD_NOW | RTLD_GLOBAL)) {
        fprintf(stderr, "glx_frames: %s\n", dlerror());
        exit(6);
    }
}

int main(int argc, char **argv) {
    if (argc != 4) return 2;
    const char *hook = getenv("ZARVEK_HOOK_DLOPEN");
    const char *after_text = getenv("ZARVEK_HOOK_DLOPEN_AFTER");
    int after = after_text ? atoi(after_text) : 0;
    int frames = atoi(argv[1]), w = atoi(argv[2]), h = atoi(argv[3]);
    if (frames < 1 || frames > 255 || w < 8 * SQUARE || h < 2 * SQUARE) return 2;
    Display *dpy = XOpenDisplay(NULL);
    if (!dpy) return 3;
    XVisualInfo *vi = NULL;
    Window win = glx_test_window(dpy, w, h, &vi);
    if (!vi) return 4;
    GLXContext ctx = glXCreateContext(dpy, vi, NULL, True);
    XFree(vi);
    if (!ctx || !glXMakeCurrent(dpy, win, ctx)) return 5;
    XSync(dpy, False);
    pin_gpu_drivers();
    printf("%lu\n", (unsigned long)win);
    fflush(stdout);

    if (after == 0) load_hook(hook);
    glViewport(0, 0, w, h);
    glEnable(GL_SCISSOR_TEST);
    for (int n = 1; n <= frames; n++) {
        fill(0, 0, w, h / 2, 1, 0, 0, h);
        fill(0, h / 2, w, h - h / 2, 0, 0, 1, h);
        for (int bit = 0; bit < 8; bit++) {
            float v = (n >> (7 - bit)) & 1 ? 1.0f : 0.0f;
            fill(bit * SQUARE, 0, SQUARE, SQUARE, v, v, v, h);
        }
        swap(dpy, win);
        if (n == after) load_hook(hook);
    }
    glFinish();
    XSync(dpy, False);
    printf("swapped\n");
    fflush(stdout);

    char c;
    while (read(0, &c, 1) > 0) {
    }
    glXMakeCurrent(dpy, None, NULL);
    glXDestroyContext(dpy, ctx);
    XDestroyWindow(dpy, win);
    XCloseDisplay(dpy);
    return 0;
}
