// Loaded into a separate OpenGL program with LD_PRELOAD: installs the
// OpenGL present hook when the program starts and writes every captured
// frame to the file descriptor named by ZARVEK_HOOK_FRAMES_FD, as a header
// (magic "ZVFR", window id, width, height, error code; u32 each) followed by
// width x height RGBA pixels, top row first. A failed capture writes a
// header with no pixels and the error code.
#include <cstdint>
#include <cstdlib>

#include <unistd.h>

#include <GL/gl.h>

#include "host/present_hooks.h"

namespace {

int g_fd = -1;

bool write_all(const void *data, size_t size) {
    const uint8_t *p = (const uint8_t *)data;
    while (size) {
        ssize_t n = write(g_fd, p, size);
        if (n <= 0) return false;
        p += n, size -= (size_t)n;
    }
    return true;
}

void send(uint32_t window, uint32_t width, uint32_t height, int32_t code, const uint8_t *px, uint32_t pitch) {
    uint32_t header[5] = {0x5246565Au, window, width, height, (uint32_t)code};
    if (!write_all(header, sizeof(header))) return;
    // The hook's rows are the window's bottom row first.
    for (uint32_t y = 0; px && y < height; y++)
        if (!write_all(px + (size_t)(height - 1 - y) * pitch, (size_t)width * 4)) return;
}

void on_frame(uint32_t, void *window, void *, void *, void *texture, void *) {
    // The copy's size is the texture's.
    GLint bound = 0, w = 0, h = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    glBindTexture(GL_TEXTURE_2D, *(GLuint *)texture);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &w);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &h);
    glBindTexture(GL_TEXTURE_2D, (GLuint)bound);
    uint32_t pitch = 0;
    const uint8_t *px = hook_gl_frame_pixels(&pitch);
    if (!px || pitch < (uint32_t)w * 4)
        send((uint32_t)(uintptr_t)window, 0, 0, -1, nullptr, 0);
    else
        send((uint32_t)(uintptr_t)window, (uint32_t)w, (uint32_t)h, 0, px, pitch);
}

void on_error(int32_t code, void *) {
    send(0, 0, 0, code, nullptr, 0);
}

__attribute__((constructor)) void install() {
    const char *fd = getenv("ZARVEK_HOOK_FRAMES_FD");
    if (!fd) return;
    g_fd = atoi(fd);
    int32_t r = hook_gl_install(on_frame, on_error, nullptr);
    if (r != 0) send(0, 0, 0, r, nullptr, 0);
}

__attribute__((destructor)) void uninstall() {
    if (g_fd >= 0) hooks_remove_all(0);
}

}  // namespace
