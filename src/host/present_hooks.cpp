// State model: each API's hook state is made by its installer and published
// through an atomic pointer; detours take the state's mutex for the whole
// capture step. A trampoline slot is filled by the attach (under the patch
// lock) and emptied by hooks_remove_all only after the detach and the wait
// for detours still running, so a running detour always finds its slot
// filled. `g_install_mu` serialises installers and the removal.
#include "host/present_hooks.h"

#include <atomic>
#include <mutex>

#include <GL/gl.h>
#include <GL/glext.h>
#include <GL/glx.h>
#include <dlfcn.h>

#include "compat/detour/detour.h"
#include "platform/log.h"
#include "platform/memory.h"

void *hook_gl_swap_buffers_a_real = nullptr;

namespace {

std::mutex g_install_mu;
std::atomic<HookGlState *> g_gl{nullptr};

struct GlFunctions {
    void (*GetIntegerv)(GLenum, GLint *);
    GLboolean (*IsEnabled)(GLenum);
    void (*Enable)(GLenum);
    void (*Disable)(GLenum);
    void (*DeleteTextures)(GLsizei, const GLuint *);
    void (*GenTextures)(GLsizei, GLuint *);
    void (*BindTexture)(GLenum, GLuint);
    void (*TexImage2D)(GLenum, GLint, GLint, GLsizei, GLsizei, GLint, GLenum, GLenum, const void *);
    PFNGLGENFRAMEBUFFERSPROC GenFramebuffers;
    PFNGLBINDFRAMEBUFFERPROC BindFramebuffer;
    PFNGLFRAMEBUFFERTEXTURE2DPROC FramebufferTexture2D;
    PFNGLBLITFRAMEBUFFERPROC BlitFramebuffer;
    PFNGLDELETEFRAMEBUFFERSPROC DeleteFramebuffers;
    void (*ReadBuffer)(GLenum);
    void (*ReadPixels)(GLint, GLint, GLsizei, GLsizei, GLenum, GLenum, void *);
    void (*PixelStorei)(GLenum, GLint);
    PFNGLGENBUFFERSPROC GenBuffers;
    PFNGLBINDBUFFERPROC BindBuffer;
    PFNGLBUFFERDATAPROC BufferData;
    PFNGLMAPBUFFERRANGEPROC MapBufferRange;
    PFNGLUNMAPBUFFERPROC UnmapBuffer;
    PFNGLDELETEBUFFERSPROC DeleteBuffers;
};

typedef void *(*GetProcAddressFn)(const GLubyte *);
typedef GLXContext (*GetCurrentContextFn)(void);

GlFunctions g_fn;  // under the state's mutex
GetProcAddressFn g_get_proc = nullptr;
GetCurrentContextFn g_get_context = nullptr;

// What hook_gl_frame_pixels maps, set only during a frame callback.
thread_local HookGlState *t_frame_state = nullptr;
thread_local const uint8_t *t_frame_pixels = nullptr;

void *gl_library() {
    return dlopen("libGL.so.1", RTLD_LAZY | RTLD_NOLOAD);
}

bool load_functions() {
    g_fn = {};
    if (!g_get_proc) return false;
    bool ok = true;
    auto get = [&](auto &slot, const char *name) {
        slot = (std::remove_reference_t<decltype(slot)>)g_get_proc((const GLubyte *)name);
        if (!slot) ok = false;
    };
    get(g_fn.GetIntegerv, "glGetIntegerv");
    get(g_fn.IsEnabled, "glIsEnabled");
    get(g_fn.Enable, "glEnable");
    get(g_fn.Disable, "glDisable");
    get(g_fn.DeleteTextures, "glDeleteTextures");
    get(g_fn.GenTextures, "glGenTextures");
    get(g_fn.BindTexture, "glBindTexture");
    get(g_fn.TexImage2D, "glTexImage2D");
    get(g_fn.GenFramebuffers, "glGenFramebuffers");
    get(g_fn.BindFramebuffer, "glBindFramebuffer");
    get(g_fn.FramebufferTexture2D, "glFramebufferTexture2D");
    get(g_fn.BlitFramebuffer, "glBlitFramebuffer");
    get(g_fn.DeleteFramebuffers, "glDeleteFramebuffers");
    get(g_fn.ReadBuffer, "glReadBuffer");
    get(g_fn.ReadPixels, "glReadPixels");
    get(g_fn.PixelStorei, "glPixelStorei");
    get(g_fn.GenBuffers, "glGenBuffers");
    get(g_fn.BindBuffer, "glBindBuffer");
    get(g_fn.BufferData, "glBufferData");
    get(g_fn.MapBufferRange, "glMapBufferRange");
    get(g_fn.UnmapBuffer, "glUnmapBuffer");
    get(g_fn.DeleteBuffers, "glDeleteBuffers");
    if (!ok) g_fn = {};
    return ok;
}

void report(HookGlState *s, int32_t code) {
    if (s->on_error) s->on_error(code, s->opaque);
}

// The program's state that the capture step changes.
struct GlSaved {
    GLint texture, read_fb, draw_fb, read_buffer, pack_buffer;
    GLint pack_alignment, pack_row_length, pack_skip_rows, pack_skip_pixels;
    GLboolean scissor;
};

void save_state(GlSaved *g) {
    g_fn.GetIntegerv(GL_TEXTURE_BINDING_2D, &g->texture);
    g_fn.GetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &g->read_fb);
    g_fn.GetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &g->draw_fb);
    g_fn.GetIntegerv(GL_PIXEL_PACK_BUFFER_BINDING, &g->pack_buffer);
    g_fn.GetIntegerv(GL_PACK_ALIGNMENT, &g->pack_alignment);
    g_fn.GetIntegerv(GL_PACK_ROW_LENGTH, &g->pack_row_length);
    g_fn.GetIntegerv(GL_PACK_SKIP_ROWS, &g->pack_skip_rows);
    g_fn.GetIntegerv(GL_PACK_SKIP_PIXELS, &g->pack_skip_pixels);
    g->scissor = g_fn.IsEnabled(GL_SCISSOR_TEST);
}

void restore_state(const GlSaved &g, GLint read_buffer_of_zero) {
    // The default framebuffer's read buffer is per framebuffer: put it back.
    g_fn.BindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    g_fn.ReadBuffer((GLenum)read_buffer_of_zero);
    g_fn.BindTexture(GL_TEXTURE_2D, (GLuint)g.texture);
    g_fn.BindFramebuffer(GL_READ_FRAMEBUFFER, (GLuint)g.read_fb);
    g_fn.BindFramebuffer(GL_DRAW_FRAMEBUFFER, (GLuint)g.draw_fb);
    g_fn.BindBuffer(GL_PIXEL_PACK_BUFFER, (GLuint)g.pack_buffer);
    g_fn.PixelStorei(GL_PACK_ALIGNMENT, g.pack_alignment);
    g_fn.PixelStorei(GL_PACK_ROW_LENGTH, g.pack_row_length);
    g_fn.PixelStorei(GL_PACK_SKIP_ROWS, g.pack_skip_rows);
    g_fn.PixelStorei(GL_PACK_SKIP_PIXELS, g.pack_skip_pixels);
    if (g.scissor) g_fn.Enable(GL_SCISSOR_TEST);
}

// Under the state's mutex.
void hook_gl_capture(HookGlState *s, Display *display, GLXDrawable drawable) {
    void *ctx = g_get_context ? (void *)g_get_context() : nullptr;
    if (!ctx) {
        report(s, HOOK_ERR_GL_NO_CONTEXT);
        return;
    }
    if (ctx != s->context) {
        // The old context's objects are not ours to delete from this one.
        s->texture = s->framebuffer = s->pbo = 0;
        s->width = s->height = 0;
        s->context = ctx;
        s->entry_points = load_functions();
    }
    if (!s->entry_points) {
        report(s, HOOK_ERR_GL_ENTRY_POINTS);
        return;
    }

    GlSaved saved;
    save_state(&saved);
    g_fn.Disable(GL_SCISSOR_TEST);

    s->window = (uintptr_t)drawable;
    Window root;
    int x, y;
    unsigned w = 0, h = 0, border, depth;
    if (!XGetGeometry(display, drawable, &root, &x, &y, &w, &h, &border, &depth)) {
        report(s, HOOK_ERR_GL_CLIENT_RECT);
        restore_state(saved, GL_BACK);
        return;
    }
    g_fn.BindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    GLint read_buffer_of_zero = GL_BACK;
    g_fn.GetIntegerv(GL_READ_BUFFER, &read_buffer_of_zero);
    if (w == 0 || h == 0) {
        restore_state(saved, read_buffer_of_zero);
        return;
    }
    if (!s->texture || w != s->width || h != s->height) {
        if (s->framebuffer) g_fn.DeleteFramebuffers(1, &s->framebuffer);
        if (s->texture) g_fn.DeleteTextures(1, &s->texture);
        if (s->pbo) g_fn.DeleteBuffers(1, &s->pbo);
        g_fn.GenTextures(1, &s->texture);
        g_fn.BindTexture(GL_TEXTURE_2D, s->texture);
        g_fn.TexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, (GLsizei)w, (GLsizei)h, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                        nullptr);
        g_fn.GenFramebuffers(1, &s->framebuffer);
        g_fn.BindFramebuffer(GL_DRAW_FRAMEBUFFER, s->framebuffer);
        g_fn.FramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, s->texture, 0);
        g_fn.GenBuffers(1, &s->pbo);
        g_fn.BindBuffer(GL_PIXEL_PACK_BUFFER, s->pbo);
        g_fn.BufferData(GL_PIXEL_PACK_BUFFER, (GLsizeiptr)w * h * 4, nullptr, GL_STREAM_READ);
        s->width = w;
        s->height = h;
    }

    // The window's back buffer into the texture, upside down: row 0 of the
    // texture is the window's top row.
    g_fn.ReadBuffer(GL_BACK);
    g_fn.BindFramebuffer(GL_DRAW_FRAMEBUFFER, s->framebuffer);
    g_fn.BlitFramebuffer(0, 0, (GLint)w, (GLint)h, 0, (GLint)h, (GLint)w, 0, GL_COLOR_BUFFER_BIT, GL_NEAREST);
    g_fn.BindFramebuffer(GL_DRAW_FRAMEBUFFER, 0);

    // Read back into the pixel-buffer object; mapped only when asked for.
    g_fn.BindFramebuffer(GL_READ_FRAMEBUFFER, s->framebuffer);
    g_fn.BindBuffer(GL_PIXEL_PACK_BUFFER, s->pbo);
    g_fn.PixelStorei(GL_PACK_ALIGNMENT, 4);
    g_fn.PixelStorei(GL_PACK_ROW_LENGTH, 0);
    g_fn.PixelStorei(GL_PACK_SKIP_ROWS, 0);
    g_fn.PixelStorei(GL_PACK_SKIP_PIXELS, 0);
    g_fn.ReadPixels(0, 0, (GLsizei)w, (GLsizei)h, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    s->pbo_filled = 1;

    if (s->on_frame) {
        t_frame_state = s;
        t_frame_pixels = nullptr;
        s->on_frame(HOOK_KIND_GL, (void *)s->window, s->context, nullptr, &s->texture, s->opaque);
        if (t_frame_pixels) g_fn.UnmapBuffer(GL_PIXEL_PACK_BUFFER);
        t_frame_state = nullptr;
        t_frame_pixels = nullptr;
    }
    restore_state(saved, read_buffer_of_zero);
}

}  // namespace

const uint8_t *hook_gl_frame_pixels(uint32_t *pitch) {
    HookGlState *s = t_frame_state;
    if (!s || !s->pbo_filled) return nullptr;
    if (!t_frame_pixels)
        t_frame_pixels = (const uint8_t *)g_fn.MapBufferRange(
            GL_PIXEL_PACK_BUFFER, 0, (GLsizeiptr)s->width * s->height * 4, GL_MAP_READ_BIT);
    if (pitch) *pitch = s->width * 4;
    return t_frame_pixels;
}

void hook_gl_swap_buffers_a(void *display, uintptr_t drawable) {
    HookGlState *s = g_gl.load(std::memory_order_acquire);
    if (s) {
        VKO_MutexLock(s->mutex);
        hook_gl_capture(s, (Display *)display, (GLXDrawable)drawable);
        VKO_MutexUnlock(s->mutex);
    }
    // Always continue to the hooked function, once.
    void *real = hook_gl_swap_buffers_a_real;
    if (!real) real = dlsym(RTLD_DEFAULT, "glXSwapBuffers");
    if (real && real != (void *)hook_gl_swap_buffers_a)
        ((void (*)(Display *, GLXDrawable))real)((Display *)display, (GLXDrawable)drawable);
}

int32_t hook_gl_install(HookFrameCallback on_frame, HookErrorCallback on_error, void *opaque) {
    std::lock_guard<std::mutex> lock(g_install_mu);
    if (g_gl.load() || hook_gl_swap_buffers_a_real) return DETOUR_ERROR_INVALID_OPERATION;
    void *lib = gl_library();
    if (!lib) return HOOK_ERR_GL_ENTRY_POINTS;
    void *swap = dlsym(lib, "glXSwapBuffers");
    g_get_proc = (GetProcAddressFn)dlsym(lib, "glXGetProcAddressARB");
    g_get_context = (GetCurrentContextFn)dlsym(lib, "glXGetCurrentContext");
    dlclose(lib);
    if (!swap || !g_get_proc || !g_get_context) return HOOK_ERR_GL_ENTRY_POINTS;

    HookGlState *s = (HookGlState *)VKO_Alloc(1, sizeof(HookGlState));
    s->mutex = VKO_MutexCreate();
    s->on_frame = on_frame;
    s->on_error = on_error;
    s->opaque = opaque;
    g_gl.store(s, std::memory_order_release);

    // No detour reads the slot before the commit redirected a call to it.
    hook_gl_swap_buffers_a_real = swap;
    VKO_RWLockWriter(detour_patch_lock());
    DetourTransactionBegin();
    DetourUpdateThread(pthread_self());
    DetourAttach(&hook_gl_swap_buffers_a_real, (void *)hook_gl_swap_buffers_a);
    int32_t r = DetourTransactionCommit();
    VKO_RWLockUnlock(detour_patch_lock());
    if (r != 0) {
        // Nothing was attached, so no detour can hold the state.
        hook_gl_swap_buffers_a_real = nullptr;
        g_gl.store(nullptr);
        VKO_MutexDestroy(&s->mutex);
        VKO_Free(s);
    }
    return r;
}

bool hooks_installed(void) {
    std::lock_guard<std::mutex> lock(g_install_mu);
    return g_gl.load() || hook_gl_swap_buffers_a_real;
}

int32_t hooks_remove_all(uint32_t wait_ms) {
    std::lock_guard<std::mutex> lock(g_install_mu);
    if (!g_gl.load() && !hook_gl_swap_buffers_a_real) return HOOK_ERR_NO_HOOKS;
    VKO_RWLockWriter(detour_patch_lock());
    DetourTransactionBegin();
    DetourUpdateThread(pthread_self());
    if (hook_gl_swap_buffers_a_real)
        DetourDetach(&hook_gl_swap_buffers_a_real, (void *)hook_gl_swap_buffers_a);
    DetourTransactionCommit();
    VKO_RWLockUnlock(detour_patch_lock());
    // Detours that were already running finish within the wait.
    VKO_Sleep(wait_ms);
    hook_gl_swap_buffers_a_real = nullptr;
    if (HookGlState *s = g_gl.exchange(nullptr)) {
        // The texture, framebuffer and buffer belong to the program's context,
        // which only its own thread can make current: they go with it.
        VKO_MutexLock(s->mutex);
        VKO_MutexUnlock(s->mutex);
        VKO_MutexDestroy(&s->mutex);
        VKO_Free(s);
    }
    return 0;
}
