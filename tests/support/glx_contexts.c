/* A small OpenGL program for the present-hook tests: ROUNDS times it makes a
 * context on its window, presents one frame with it and destroys it. When a
 * new context gets the address of one destroyed before, the program
 * first fills a texture and a buffer of its own (the first names of the new
 * context: the ones the hook's objects had in the old one) with a pattern,
 * then presents, and checks that both still hold the pattern and that no GL
 * error is pending. Prints
 * "reused N spoiled M" and exits.
 * Usage: glx_contexts ROUNDS WIDTH HEIGHT */
#define _GNU_SOURCE
#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>

#include "glx_window.h"
#include "pin_drivers.h"
#include <string.h>

static void draw(int w, int h) {
    glViewport(0, 0, w, h);
    glClearColor(1, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);
}

/* Whether the program's texture and buffer hold the pattern, with nothing
 * else pending. */
static int intact(GLuint tex, GLuint buf, const unsigned char *pattern, size_t size) {
    unsigned char *got = malloc(size);
    int ok = got != NULL;
    if (ok) {
        glBindTexture(GL_TEXTURE_2D, tex);
        glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, got);
        ok = memcmp(got, pattern, size) == 0;
        glBindBuffer(GL_ARRAY_BUFFER, buf);
        glGetBufferSubData(GL_ARRAY_BUFFER, 0, (GLsizeiptr)size, got);
        ok = ok && memcmp(got, pattern, size) == 0;
    }
    free(got);
    return ok && glGetError() == GL_NO_ERROR;
}

int main(int argc, char **argv) {
    if (argc != 4) return 2;
    int rounds = atoi(argv[1]), w = atoi(argv[2]), h = atoi(argv[3]);
    if (rounds < 1 || rounds > 256 || w < 1 || h < 1 || w > 1024 || h > 1024) return 2;
    Display *dpy = XOpenDisplay(NULL);
    if (!dpy) return 3;
    XVisualInfo *vi = NULL;
    Window win = glx_test_window(dpy, w, h, &vi);
    if (!vi) return 4;
    XSync(dpy, False);
    pin_gpu_drivers();

    size_t size = (size_t)w * h * 4;
    unsigned char *pattern = malloc(size);
    if (!pattern) return 5;
    for (size_t i = 0; i < size; i++) pattern[i] = (unsigned char)(i * 7 + 3);
    int reused = 0, spoiled = 0;
    GLXContext gone[256];
    int gone_count = 0;
    for (int r = 0; r < rounds; r++) {
        GLXContext ctx = glXCreateContext(dpy, vi, NULL, True);
        if (!ctx || !glXMakeCurrent(dpy, win, ctx)) return 5;
        GLuint tex = 0, buf = 0;
        int again = 0;
        for (int i = 0; i < gone_count; i++) again |= gone[i] == ctx;
        if (again) {
            reused++;
            glGenTextures(1, &tex);
            glBindTexture(GL_TEXTURE_2D, tex);
            glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, w, h, 0, GL_RGBA, GL_UNSIGNED_BYTE, pattern);
            glGenBuffers(1, &buf);
            glBindBuffer(GL_ARRAY_BUFFER, buf);
            glBufferData(GL_ARRAY_BUFFER, (GLsizeiptr)size, pattern, GL_STATIC_DRAW);
        }
        draw(w, h);
        glXSwapBuffers(dpy, win);
        if (tex && !intact(tex, buf, pattern, size)) spoiled++;
        glXMakeCurrent(dpy, None, NULL);
        glXDestroyContext(dpy, ctx);
        gone[gone_count++] = ctx;
    }
    printf("reused %d spoiled %d\n", reused, spoiled);
    fflush(stdout);
    free(pattern);
    XFree(vi);
    XDestroyWindow(dpy, win);
    XCloseDisplay(dpy);
    return 0;
}
