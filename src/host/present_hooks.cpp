// State model: each API's hook state is made by its installer and published
// through an atomic pointer; detours take the state's mutex for the whole
// capture step. A trampoline slot is filled by the attach (under the patch
// lock) and emptied by hooks_remove_all only after the detach and the wait
// for detours still running, so a running detour always finds its slot
// filled. `g_install_mu` serialises installers and the removal.
// `g_pack_invert_allowed` (on unless a test or benchmark turns it off) is
// read once per capture or submission, so a change takes effect at the next.
#include "host/present_hooks.h"
#include "host/present_hooks_slots.h"

#include <cstring>

#include <atomic>
#include <mutex>

#include <GL/gl.h>
#include <GL/glext.h>
#include <EGL/egl.h>
#include <GL/glx.h>
#include <dlfcn.h>

#include "compat/detour/detour.h"
#include "host/present_hooks_audio.h"
#include "host/present_hooks_d3d.h"
#include "host/gl_functions.h"
#include "host/present_hooks_d3d12.h"
#include "host/submit.h"
#include "platform/log.h"
#include "platform/memory.h"

void *hook_gl_swap_buffers_a_real = nullptr;
void *hook_gl_swap_buffers_b_real = nullptr;

namespace {

std::mutex g_install_mu;
std::atomic<HookGlState *> g_gl{nullptr};

typedef void *(*GetProcAddressFn)(const GLubyte *);
typedef GLXContext (*GetCurrentContextFn)(void);

GlFunctions g_fn;  // under the state's mutex
// Set once, by the first installer or OpenGL submission that finds them.
std::atomic<GetProcAddressFn> g_get_proc{nullptr};
std::atomic<GetCurrentContextFn> g_get_context{nullptr};
std::mutex g_lookup_mu;

typedef void *(*EglGetProcAddressFn)(const char *);
// The EGL calls the capture step needs, from the loaded EGL library; set
// once, together, by the first installer that finds them all.
struct EglCalls {
    std::atomic<EglGetProcAddressFn> get_proc{nullptr};
    std::atomic<void *(*)(void)> get_context{nullptr};
    std::atomic<unsigned (*)(void *, void *, int32_t, int32_t *)> query_surface{nullptr};
};
EglCalls g_egl;
// Whether captures may take the inverted read-back where the driver has it.
std::atomic<bool> g_pack_invert_allowed{true};

// What hook_gl_frame_pixels maps, set only during a frame callback.
thread_local HookGlState *t_frame_state = nullptr;
thread_local const uint8_t *t_frame_pixels = nullptr;

void *gl_library() {
    return dlopen("libGL.so.1", RTLD_LAZY | RTLD_NOLOAD);
}

// glXGetProcAddressARB and glXGetCurrentContext of the loaded GLX library.
bool gl_lookups() {
    std::lock_guard<std::mutex> lock(g_lookup_mu);
    if (g_get_proc.load() && g_get_context.load()) return true;
    void *lib = gl_library();
    if (!lib) return false;
    GetProcAddressFn proc = (GetProcAddressFn)dlsym(lib, "glXGetProcAddressARB");
    GetCurrentContextFn cur = (GetCurrentContextFn)dlsym(lib, "glXGetCurrentContext");
    dlclose(lib);
    if (!proc || !cur) return false;
    g_get_proc.store(proc);
    g_get_context.store(cur);
    return true;
}

void *egl_library() {
    return dlopen("libEGL.so.1", RTLD_LAZY | RTLD_NOLOAD);
}

bool egl_lookups() {
    std::lock_guard<std::mutex> lock(g_lookup_mu);
    if (g_egl.get_proc.load()) return true;
    void *lib = egl_library();
    if (!lib) return false;
    auto proc = (EglGetProcAddressFn)dlsym(lib, "eglGetProcAddress");
    auto cur = (void *(*)(void))dlsym(lib, "eglGetCurrentContext");
    auto query = (unsigned (*)(void *, void *, int32_t, int32_t *))dlsym(lib, "eglQuerySurface");
    dlclose(lib);
    if (!proc || !cur || !query) return false;
    g_egl.get_context.store(cur);
    g_egl.query_surface.store(query);
    g_egl.get_proc.store(proc);
    return true;
}

void *glx_lookup(const char *name) {
    GetProcAddressFn proc = g_get_proc.load();
    return proc ? proc((const GLubyte *)name) : nullptr;
}

void *egl_lookup(const char *name) {
    EglGetProcAddressFn proc = g_egl.get_proc.load();
    return proc ? proc(name) : nullptr;
}

void report(HookGlState *s, int32_t code) {
    if (s->on_error) s->on_error(code, s->opaque);
}

// Whether the context's driver packs pixels top row first on request
// (GL_MESA_pack_invert).
bool has_pack_invert(const GlFunctions &f) {
    GLint n = 0;
    f.GetIntegerv(GL_NUM_EXTENSIONS, &n);
    for (GLint i = 0; i < n; i++) {
        const char *e = (const char *)f.GetStringi(GL_EXTENSIONS, (GLuint)i);
        if (e && std::strcmp(e, "GL_MESA_pack_invert") == 0) return true;
    }
    return false;
}

// Pixel-store values the read-back and the upload need; only those the
// program set otherwise are changed and put back.
const GLenum kPackNames[4] = {GL_PACK_ALIGNMENT, GL_PACK_ROW_LENGTH, GL_PACK_SKIP_ROWS, GL_PACK_SKIP_PIXELS};
const GLenum kUnpackNames[4] = {GL_UNPACK_ALIGNMENT, GL_UNPACK_ROW_LENGTH, GL_UNPACK_SKIP_ROWS,
                                GL_UNPACK_SKIP_PIXELS};
const GLint kStoreValues[4] = {4, 0, 0, 0};

void store_read(const GLenum *names, GLint *saved) {
    for (int i = 0; i < 4; i++) g_fn.GetIntegerv(names[i], &saved[i]);
}
void store_set(const GLenum *names, const GLint *saved) {
    for (int i = 0; i < 4; i++)
        if (saved[i] != kStoreValues[i]) g_fn.PixelStorei(names[i], kStoreValues[i]);
}
void store_restore(const GLenum *names, const GLint *saved) {
    for (int i = 0; i < 4; i++)
        if (saved[i] != kStoreValues[i]) g_fn.PixelStorei(names[i], saved[i]);
}

// The program's state that the capture step changes.
struct GlSaved {
    GLint texture, read_fb, draw_fb, pack_buffer, unpack_buffer;
    GLint pack[4], unpack[4];
    GLint pack_invert;
    GLint read_buffer_of_zero;
    GLboolean scissor;
};

// Texture of the window's size with a framebuffer around it, and the
// pixel-pack buffer; leaves the texture, draw framebuffer and pack buffer bound.
void make_objects(HookGlState *s, const GlSaved &g, uint32_t w, uint32_t h) {
    if (s->framebuffer) g_fn.DeleteFramebuffers(1, &s->framebuffer);
    if (s->texture) g_fn.DeleteTextures(1, &s->texture);
    if (s->pbo) g_fn.DeleteBuffers(1, &s->pbo);
    g_fn.GenTextures(1, &s->texture);
    g_fn.BindTexture(GL_TEXTURE_2D, s->texture);
    // With the program's unpack buffer bound, the texture would be read from it.
    if (g.unpack_buffer) g_fn.BindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
    g_fn.TexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, (GLsizei)w, (GLsizei)h, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                    nullptr);
    if (g.unpack_buffer) g_fn.BindBuffer(GL_PIXEL_UNPACK_BUFFER, (GLuint)g.unpack_buffer);
    g_fn.GenFramebuffers(1, &s->framebuffer);
    g_fn.BindFramebuffer(GL_DRAW_FRAMEBUFFER, s->framebuffer);
    g_fn.FramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, s->texture, 0);
    g_fn.GenBuffers(1, &s->pbo);
    g_fn.BindBuffer(GL_PIXEL_PACK_BUFFER, s->pbo);
    g_fn.BufferData(GL_PIXEL_PACK_BUFFER, (GLsizeiptr)w * h * 4, nullptr, GL_STREAM_READ);
    s->width = w;
    s->height = h;
}

// One pass over the back buffer: read top row first into the pixel-pack
// buffer, then the texture filled from that buffer (no second read of the
// window, no blit). Band by band, so each upload reads rows still in the cache.
constexpr GLsizei kBandRows = 32;

void read_inverted(HookGlState *s, const GlSaved &g) {
    GLsizei w = (GLsizei)s->width, h = (GLsizei)s->height;
    g_fn.BindBuffer(GL_PIXEL_PACK_BUFFER, s->pbo);
    g_fn.BindBuffer(GL_PIXEL_UNPACK_BUFFER, s->pbo);
    store_set(kPackNames, g.pack);
    store_set(kUnpackNames, g.unpack);
    if (g.pack_invert != 1) g_fn.PixelStorei(GL_PACK_INVERT_MESA, 1);
    g_fn.BindTexture(GL_TEXTURE_2D, s->texture);
    for (GLsizei top = 0; top < h; top += kBandRows) {
        GLsizei rows = h - top < kBandRows ? h - top : kBandRows;
        void *at = (void *)((size_t)top * w * 4);  // offset into the buffer
        g_fn.ReadPixels(0, h - top - rows, w, rows, GL_RGBA, GL_UNSIGNED_BYTE, at);
        g_fn.TexSubImage2D(GL_TEXTURE_2D, 0, 0, top, w, rows, GL_RGBA, GL_UNSIGNED_BYTE, at);
    }
    if (g.pack_invert != 1) g_fn.PixelStorei(GL_PACK_INVERT_MESA, g.pack_invert);
    store_restore(kUnpackNames, g.unpack);
    g_fn.BindBuffer(GL_PIXEL_UNPACK_BUFFER, (GLuint)g.unpack_buffer);
}

// The blit every driver has: the back buffer into the texture upside down
// (row 0 of the texture is the window's top row), then the texture read back.
void read_blit(HookGlState *s, const GlSaved &g) {
    GLint w = (GLint)s->width, h = (GLint)s->height;
    g_fn.BindFramebuffer(GL_DRAW_FRAMEBUFFER, s->framebuffer);
    g_fn.BlitFramebuffer(0, 0, w, h, 0, h, w, 0, GL_COLOR_BUFFER_BIT, GL_NEAREST);
    g_fn.BindFramebuffer(GL_READ_FRAMEBUFFER, s->framebuffer);
    g_fn.BindBuffer(GL_PIXEL_PACK_BUFFER, s->pbo);
    store_set(kPackNames, g.pack);
    g_fn.ReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
}

// Under the state's mutex.
// The surface a swap presents: a GLX drawable of an X display, or an EGL
// surface of an EGL display.
struct GlSwapTarget {
    bool egl;
    void *display;
    uintptr_t drawable;
};

void hook_gl_capture(HookGlState *s, const GlSwapTarget &t) {
    void *ctx = nullptr;
    if (t.egl) {
        if (auto current = g_egl.get_context.load()) ctx = current();
    } else if (GetCurrentContextFn current = g_get_context.load()) {
        ctx = (void *)current();
    }
    if (!ctx) {
        report(s, HOOK_ERR_GL_NO_CONTEXT);
        return;
    }
    if (ctx != s->context) {
        // The old context's objects are not ours to delete from this one.
        s->texture = s->framebuffer = s->pbo = 0;
        s->width = s->height = 0;
        s->context = ctx;
        s->entry_points = gl_load_functions(&g_fn, t.egl ? egl_lookup : glx_lookup);
        s->pack_invert = s->entry_points && has_pack_invert(g_fn);
    }
    if (!s->entry_points) {
        report(s, HOOK_ERR_GL_ENTRY_POINTS);
        return;
    }

    s->window = t.drawable;
    unsigned w = 0, h = 0;
    if (t.egl) {
        // The surface's size stands for the window's client area.
        int32_t ew = 0, eh = 0;
        auto query = g_egl.query_surface.load();
        if (!query(t.display, (void *)t.drawable, EGL_WIDTH, &ew) ||
            !query(t.display, (void *)t.drawable, EGL_HEIGHT, &eh) || ew < 0 || eh < 0) {
            report(s, HOOK_ERR_GL_CLIENT_RECT);
            return;
        }
        w = (unsigned)ew, h = (unsigned)eh;
    } else {
        Window root;
        int x, y;
        unsigned border, depth;
        if (!XGetGeometry((Display *)t.display, (GLXDrawable)t.drawable, &root, &x, &y, &w, &h, &border,
                          &depth)) {
            report(s, HOOK_ERR_GL_CLIENT_RECT);
            return;
        }
    }
    if (w == 0 || h == 0) return;

    bool invert = s->pack_invert && g_pack_invert_allowed.load(std::memory_order_relaxed);
    GlSaved g = {};
    g_fn.GetIntegerv(GL_TEXTURE_BINDING_2D, &g.texture);
    g_fn.GetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &g.read_fb);
    g_fn.GetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &g.draw_fb);
    g_fn.GetIntegerv(GL_PIXEL_PACK_BUFFER_BINDING, &g.pack_buffer);
    g_fn.GetIntegerv(GL_PIXEL_UNPACK_BUFFER_BINDING, &g.unpack_buffer);
    store_read(kPackNames, g.pack);
    if (invert) {
        g_fn.GetIntegerv(GL_PACK_INVERT_MESA, &g.pack_invert);
        store_read(kUnpackNames, g.unpack);
    } else {
        // Only the blit is clipped by the scissor box.
        g.scissor = g_fn.IsEnabled(GL_SCISSOR_TEST);
        if (g.scissor) g_fn.Disable(GL_SCISSOR_TEST);
    }
    g_fn.BindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    g.read_buffer_of_zero = GL_BACK;
    g_fn.GetIntegerv(GL_READ_BUFFER, &g.read_buffer_of_zero);
    if (g.read_buffer_of_zero != GL_BACK) g_fn.ReadBuffer(GL_BACK);
    if (!s->texture || w != s->width || h != s->height) make_objects(s, g, w, h);

    if (invert)
        read_inverted(s, g);
    else
        read_blit(s, g);
    s->pbo_filled = 1;

    if (s->on_frame) {
        t_frame_state = s;
        t_frame_pixels = nullptr;
        s->on_frame(HOOK_KIND_GL, (void *)s->window, s->context, nullptr, &s->texture, s->opaque);
        if (t_frame_pixels) g_fn.UnmapBuffer(GL_PIXEL_PACK_BUFFER);
        t_frame_state = nullptr;
        t_frame_pixels = nullptr;
    }

    // The default framebuffer's read buffer is per framebuffer: put it back.
    if (g.read_buffer_of_zero != GL_BACK) {
        g_fn.BindFramebuffer(GL_READ_FRAMEBUFFER, 0);
        g_fn.ReadBuffer((GLenum)g.read_buffer_of_zero);
    }
    g_fn.BindFramebuffer(GL_READ_FRAMEBUFFER, (GLuint)g.read_fb);
    g_fn.BindFramebuffer(GL_DRAW_FRAMEBUFFER, (GLuint)g.draw_fb);
    g_fn.BindTexture(GL_TEXTURE_2D, (GLuint)g.texture);
    g_fn.BindBuffer(GL_PIXEL_PACK_BUFFER, (GLuint)g.pack_buffer);
    store_restore(kPackNames, g.pack);
    if (g.scissor) g_fn.Enable(GL_SCISSOR_TEST);
}

}  // namespace

void hook_gl_use_pack_invert(bool on) {
    g_pack_invert_allowed.store(on);
}

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
        hook_gl_capture(s, GlSwapTarget{false, display, drawable});
        VKO_MutexUnlock(s->mutex);
    }
    // Always continue to the hooked function, once.
    void *real = hook_gl_swap_buffers_a_real;
    if (!real) real = dlsym(RTLD_DEFAULT, "glXSwapBuffers");
    if (real && real != (void *)hook_gl_swap_buffers_a)
        ((void (*)(Display *, GLXDrawable))real)((Display *)display, (GLXDrawable)drawable);
}

unsigned hook_gl_swap_buffers_b(void *display, void *surface) {
    HookGlState *s = g_gl.load(std::memory_order_acquire);
    if (s) {
        VKO_MutexLock(s->mutex);
        hook_gl_capture(s, GlSwapTarget{true, display, (uintptr_t)surface});
        VKO_MutexUnlock(s->mutex);
    }
    void *real = hook_gl_swap_buffers_b_real;
    if (!real) real = dlsym(RTLD_DEFAULT, "eglSwapBuffers");
    if (!real || real == (void *)hook_gl_swap_buffers_b) return 0;
    return ((unsigned (*)(void *, void *))real)(display, surface);
}

namespace {

// Attaches one swap detour in a transaction of its own, so a library that
// nothing calls through an import slot leaves the other hook working.
int32_t attach_swap(void **slot, void *original, void *detour) {
    // No detour reads the slot before the commit redirected a call to it.
    *slot = original;
    VKO_RWLockWriter(detour_patch_lock());
    DetourTransactionBegin();
    DetourUpdateThread(pthread_self());
    DetourAttach(slot, detour);
    int32_t r = DetourTransactionCommit();
    VKO_RWLockUnlock(detour_patch_lock());
    if (r != 0) *slot = nullptr;
    return r;
}

}  // namespace

int32_t hook_gl_install(HookFrameCallback on_frame, HookErrorCallback on_error, void *opaque) {
    std::lock_guard<std::mutex> lock(g_install_mu);
    if (g_gl.load() || hook_gl_swap_buffers_a_real || hook_gl_swap_buffers_b_real)
        return DETOUR_ERROR_INVALID_OPERATION;
    void *glx_swap = nullptr, *egl_swap = nullptr;
    if (void *lib = gl_library()) {
        glx_swap = dlsym(lib, "glXSwapBuffers");
        dlclose(lib);
        if (glx_swap && !gl_lookups()) glx_swap = nullptr;
    }
    if (void *lib = egl_library()) {
        egl_swap = dlsym(lib, "eglSwapBuffers");
        dlclose(lib);
        if (egl_swap && !egl_lookups()) egl_swap = nullptr;
    }
    if (!glx_swap && !egl_swap) return HOOK_ERR_GL_ENTRY_POINTS;

    HookGlState *s = hook_state_new<HookGlState>(on_frame, on_error, opaque);
    g_gl.store(s, std::memory_order_release);

    int32_t ra = glx_swap
                     ? attach_swap(&hook_gl_swap_buffers_a_real, glx_swap, (void *)hook_gl_swap_buffers_a)
                     : DETOUR_ERROR_INVALID_BLOCK;
    int32_t rb = egl_swap
                     ? attach_swap(&hook_gl_swap_buffers_b_real, egl_swap, (void *)hook_gl_swap_buffers_b)
                     : DETOUR_ERROR_INVALID_BLOCK;
    if (ra == 0 || rb == 0) return 0;
    // Nothing was attached, so no detour can hold the state.
    g_gl.store(nullptr);
    VKO_MutexDestroy(&s->mutex);
    VKO_Free(s);
    return glx_swap ? ra : rb;
}

void hooks_install_lock(void) {
    g_install_mu.lock();
}

void hooks_install_unlock(void) {
    g_install_mu.unlock();
}

bool hooks_installed(void) {
    std::lock_guard<std::mutex> lock(g_install_mu);
    return g_gl.load() || hook_gl_swap_buffers_a_real || hook_gl_swap_buffers_b_real ||
           hooks_d3d_installed() || hooks_d3d12_installed() || hooks_audio_installed();
}

int32_t hooks_remove_all(uint32_t wait_ms) {
    std::lock_guard<std::mutex> lock(g_install_mu);
    if (!g_gl.load() && !hook_gl_swap_buffers_a_real && !hook_gl_swap_buffers_b_real &&
        !hooks_d3d_installed() && !hooks_d3d12_installed() && !hooks_audio_installed())
        return HOOK_ERR_NO_HOOKS;
    VKO_RWLockWriter(detour_patch_lock());
    DetourTransactionBegin();
    DetourUpdateThread(pthread_self());
    if (hook_gl_swap_buffers_a_real)
        DetourDetach(&hook_gl_swap_buffers_a_real, (void *)hook_gl_swap_buffers_a);
    if (hook_gl_swap_buffers_b_real)
        DetourDetach(&hook_gl_swap_buffers_b_real, (void *)hook_gl_swap_buffers_b);
    hooks_d3d_detach();
    hooks_d3d12_detach();
    hooks_audio_detach();
    DetourTransactionCommit();
    VKO_RWLockUnlock(detour_patch_lock());
    // Detours that were already running finish within the wait.
    VKO_Sleep(wait_ms);
    hook_gl_swap_buffers_a_real = nullptr;
    hook_gl_swap_buffers_b_real = nullptr;
    hooks_d3d_free();
    hooks_d3d12_free();
    hooks_audio_free();
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

// --- OpenGL frame submission ---
//
// The application's texture is copied on its own current context into a
// pixel-buffer object as BGRA, top row first, and from there into the
// stand-in texture the converter draws from: read once from a framebuffer
// holding it where the driver packs inverted, else blitted upside down into
// a texture of ours that is read back. Texture, both framebuffer bindings,
// the pixel-pack state and the scissor test are put back. The GL
// objects and the function table are touched only by submit, on the
// application's render thread.

namespace {

struct GlSubmit {
    SubmitRecord core;
    GlFunctions fn;
    void *context;
    GLuint read_fb, draw_fb, texture, pbo;
    uint32_t width, height;  // of the copy (even)
    bool pack_invert;        // the context's driver has GL_MESA_pack_invert
};

int32_t gl_submit_objects(GlSubmit *s, uint32_t w, uint32_t h) {
    GlFunctions &f = s->fn;
    if (s->read_fb) f.DeleteFramebuffers(1, &s->read_fb);
    if (s->draw_fb) f.DeleteFramebuffers(1, &s->draw_fb);
    if (s->texture) f.DeleteTextures(1, &s->texture);
    if (s->pbo) f.DeleteBuffers(1, &s->pbo);
    d3d_release(&s->core.copy);
    f.GenFramebuffers(1, &s->read_fb);
    f.GenFramebuffers(1, &s->draw_fb);
    f.GenTextures(1, &s->texture);
    f.BindTexture(GL_TEXTURE_2D, s->texture);
    // With the application's unpack buffer bound, the texture would be read from it.
    GLint unpack = 0;
    f.GetIntegerv(GL_PIXEL_UNPACK_BUFFER_BINDING, &unpack);
    if (unpack) f.BindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
    f.TexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, (GLsizei)w, (GLsizei)h, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    if (unpack) f.BindBuffer(GL_PIXEL_UNPACK_BUFFER, (GLuint)unpack);
    f.BindFramebuffer(GL_DRAW_FRAMEBUFFER, s->draw_fb);
    f.FramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, s->texture, 0);
    f.GenBuffers(1, &s->pbo);
    f.BindBuffer(GL_PIXEL_PACK_BUFFER, s->pbo);
    f.BufferData(GL_PIXEL_PACK_BUFFER, (GLsizeiptr)w * h * 4, nullptr, GL_STREAM_READ);
    D3D11_TEXTURE2D_DESC d = {
        w, h, 1, 1, DXGI_FORMAT_B8G8R8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT, D3D11_BIND_SHADER_RESOURCE,
        0, 0};
    if (s->core.device->CreateTexture2D(&d, nullptr, &s->core.copy) < 0) return SUBMIT_ERR_NO_TEXTURE;
    s->width = w;
    s->height = h;
    return 0;
}

int32_t gl_submit_copy(GlSubmit *s, GLuint app_texture) {
    GlFunctions &f = s->fn;
    GLint saved_tex = 0, saved_read = 0, saved_draw = 0, saved_pbo = 0, align = 4, row = 0, skip_r = 0,
          skip_p = 0;
    f.GetIntegerv(GL_TEXTURE_BINDING_2D, &saved_tex);
    f.GetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &saved_read);
    f.GetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &saved_draw);
    f.GetIntegerv(GL_PIXEL_PACK_BUFFER_BINDING, &saved_pbo);
    f.GetIntegerv(GL_PACK_ALIGNMENT, &align);
    f.GetIntegerv(GL_PACK_ROW_LENGTH, &row);
    f.GetIntegerv(GL_PACK_SKIP_ROWS, &skip_r);
    f.GetIntegerv(GL_PACK_SKIP_PIXELS, &skip_p);
    GLboolean scissor = f.IsEnabled(GL_SCISSOR_TEST);
    f.Disable(GL_SCISSOR_TEST);

    int32_t r = 0;
    GLint tw = 0, th = 0;
    f.BindTexture(GL_TEXTURE_2D, app_texture);
    f.GetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &tw);
    f.GetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &th);
    uint32_t w = (uint32_t)tw & ~1u, h = (uint32_t)th & ~1u;
    if (w == 0 || h == 0 || w > 16384 || h > 16384) r = SUBMIT_ERR_NO_TEXTURE;
    if (r == 0 && (!s->texture || w != s->width || h != s->height)) r = gl_submit_objects(s, w, h);
    const uint8_t *px = nullptr;
    if (r == 0) {
        f.BindFramebuffer(GL_READ_FRAMEBUFFER, s->read_fb);
        f.FramebufferTexture2D(GL_READ_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, app_texture, 0);
        bool invert = s->pack_invert && g_pack_invert_allowed.load(std::memory_order_relaxed);
        if (!invert) {
            // Upside down into the own texture, which is read back.
            f.BindFramebuffer(GL_DRAW_FRAMEBUFFER, s->draw_fb);
            f.BlitFramebuffer(0, 0, (GLint)w, (GLint)h, 0, (GLint)h, (GLint)w, 0, GL_COLOR_BUFFER_BIT,
                              GL_NEAREST);
            f.FramebufferTexture2D(GL_READ_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, 0, 0);
            f.BindFramebuffer(GL_READ_FRAMEBUFFER, s->draw_fb);
        }
        f.BindBuffer(GL_PIXEL_PACK_BUFFER, s->pbo);
        f.PixelStorei(GL_PACK_ALIGNMENT, 4);
        f.PixelStorei(GL_PACK_ROW_LENGTH, 0);
        f.PixelStorei(GL_PACK_SKIP_ROWS, 0);
        f.PixelStorei(GL_PACK_SKIP_PIXELS, 0);
        GLint invert_was = 0;
        if (invert) {
            // The application's texture read once, top row first.
            f.GetIntegerv(GL_PACK_INVERT_MESA, &invert_was);
            f.PixelStorei(GL_PACK_INVERT_MESA, 1);
        }
        f.ReadPixels(0, 0, (GLsizei)w, (GLsizei)h, GL_BGRA, GL_UNSIGNED_BYTE, nullptr);
        if (invert) {
            f.PixelStorei(GL_PACK_INVERT_MESA, invert_was);
            // The read framebuffer lets go of the application's texture again.
            f.FramebufferTexture2D(GL_READ_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, 0, 0);
        }
        px = (const uint8_t *)f.MapBufferRange(GL_PIXEL_PACK_BUFFER, 0, (GLsizeiptr)w * h * 4,
                                               GL_MAP_READ_BIT);
        if (!px) r = SUBMIT_ERR_NO_TEXTURE;
    }
    if (px) {
        uint8_t *dst = s->core.copy->data();
        uint32_t pitch = s->core.copy->pitch();
        for (uint32_t y = 0; y < h; y++)
            std::memcpy(dst + (size_t)y * pitch, px + (size_t)y * w * 4, (size_t)w * 4);
        f.UnmapBuffer(GL_PIXEL_PACK_BUFFER);
    }

    f.BindTexture(GL_TEXTURE_2D, (GLuint)saved_tex);
    f.BindFramebuffer(GL_READ_FRAMEBUFFER, (GLuint)saved_read);
    f.BindFramebuffer(GL_DRAW_FRAMEBUFFER, (GLuint)saved_draw);
    f.BindBuffer(GL_PIXEL_PACK_BUFFER, (GLuint)saved_pbo);
    f.PixelStorei(GL_PACK_ALIGNMENT, align);
    f.PixelStorei(GL_PACK_ROW_LENGTH, row);
    f.PixelStorei(GL_PACK_SKIP_ROWS, skip_r);
    f.PixelStorei(GL_PACK_SKIP_PIXELS, skip_p);
    if (scissor) f.Enable(GL_SCISSOR_TEST);
    return r;
}

}  // namespace

void cap_gl_destroy(void **handle) {
    GlSubmit *s = (GlSubmit *)*handle;
    if (!s) return;
    // The GL objects belong to the application's context and go with it.
    submit_record_release(&s->core);
    VKO_Free(s);
    *handle = nullptr;
}

int32_t cap_gl_poll(void *handle, uint32_t timeout_ms, uint8_t *, CaptureFrame *frame) {
    return submit_poll(&((GlSubmit *)handle)->core, timeout_ms, frame);
}

ID3D11Device *cap_gl_get_device(void *handle) {
    return ((GlSubmit *)handle)->core.device;
}

int32_t cap_gl_get_texture(void *handle, uint32_t format, ID3D11Texture2D **out) {
    return submit_get_texture(&((GlSubmit *)handle)->core, format, out);
}

void cap_gl_get_desc(void *handle, uint16_t *width, uint16_t *height, uint32_t *format) {
    submit_get_desc(&((GlSubmit *)handle)->core, width, height, format);
}

int32_t cap_gl_submit(void **handle, void *app_context, void *, void *app_texture, uint8_t flip,
                      uint32_t *dropped) {
    GlSubmit *s = (GlSubmit *)*handle;
    if (!s) {
        if (!gl_lookups()) return GL_INTEROP_ERR_ENTRY_POINTS;
        GetCurrentContextFn current = g_get_context.load();
        if (!current()) return GL_INTEROP_ERR_CONTEXT;
        s = (GlSubmit *)VKO_Alloc(1, sizeof(GlSubmit));
        submit_record_init(&s->core);
        s->core.app_device = app_context;
        s->context = (void *)current();
        *handle = s;
        if (!gl_load_functions(&s->fn, glx_lookup)) return GL_INTEROP_ERR_ENTRY_POINTS;
        s->pack_invert = has_pack_invert(s->fn);
        if (int32_t r = submit_own_device(&s->core.device)) return r;
    }
    if (!s->core.device || !s->fn.BlitFramebuffer) return CAPTURE_ERR_DEVICE;
    GetCurrentContextFn current = g_get_context.load();
    if (!app_texture || current() != s->context) return GL_INTEROP_ERR_CONTEXT;
    if (!submit_lock_wanted(&s->core, dropped)) return 0;
    return submit_copied_draw_unlock(&s->core, gl_submit_copy(s, (GLuint)(uintptr_t)app_texture), flip);
}

int32_t cap_gl_check_reinit(void *handle) {
    return submit_check_reinit(&((GlSubmit *)handle)->core);
}

bool cap_gl_device_differs(void *handle, void *app_context) {
    return submit_device_differs(&((GlSubmit *)handle)->core, app_context);
}

const SubmitCaptureApi submit_gl_api = {
    cap_gl_destroy, cap_gl_poll, cap_gl_get_device,   cap_gl_get_texture,    cap_gl_get_desc,
    cap_gl_submit,  nullptr,     cap_gl_check_reinit, cap_gl_device_differs, nullptr,
};
