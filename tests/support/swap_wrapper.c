/* Preloaded ahead of the hook into the present-hook test program, as a
 * frame-rate overlay is: wraps glXSwapBuffers, writing one byte to the file
 * descriptor named by ZARVEK_WRAP_FD for every call, then calls the next
 * definition. */
#define _GNU_SOURCE
#include <GL/glx.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

void glXSwapBuffers(Display *dpy, GLXDrawable drawable) {
    static void (*next)(Display *, GLXDrawable);
    if (!next) next = (void (*)(Display *, GLXDrawable))dlsym(RTLD_NEXT, "glXSwapBuffers");
    const char *fd = getenv("ZARVEK_WRAP_FD");
    if (fd && write(atoi(fd), "w", 1) != 1) abort();
    if (next) next(dpy, drawable);
}
