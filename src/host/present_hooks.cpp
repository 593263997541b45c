// State model: each API's hook state is made by its installer and published
// through an atomic pointer; detours take the state's mutex for the whole
// capture step. A trampoline slot is filled by the attach (under the patch
// lock) and emptied by hooks_remove_all only after the detach and the wait
// for detours still running, so a running detour always finds its slot
// filled; detours load the slots atomically, attach and removal store them
// atomically. `g_install_mu` serialises installers and the removal.
// `g_glx_end` / `g_egl_end` hold the functions the swap detours end at (the
// library's own swap, past any wrapper the trampoline leads through); they
// are set by the installer before the attach and cleared with the slots.
// `t_swap_depth` counts the swap detours running on this thread: a call that
// re-enters a detour (a wrapper calling the library's swap through a
// redirected slot) goes straight to the end function without a capture.
// The lookup hooks (`g_lookups`) sit on glXGetProcAddress(ARB) and
// eglGetProcAddress, attached and removed with the swap hooks, and answer a
// fetched swap with its detour; `g_glx_swaps` / `g_egl_swaps` name the
// functions a fetched swap may be (set before the attach, cleared after the
// removal).
// The per-context records (`g_records`, which `HookGlState::contexts`
// names) belong to the process, not to a state: they outlive a removal, so
// that a context presenting under the next install takes its objects back.
// They change only under the OpenGL state's mutex (no detour runs between a
// removal and the next install). A record stays with its context's address
// (a context at a gone one's address is told apart by its objects' labels,
// and the record starts afresh) until a context new to the hook finds that
// context gone and frees the record (`context` null).
// `g_objects_made` counts the frame-sized objects made (only ever increased).
// `g_label_serial` hands each record's set of objects its own label number
// (atomic, only ever increased). `g_xtrap_prev` (the X error handler the
// trap hands other errors to) is written by the trap's begin, under the
// OpenGL mutex, and read by the trap's handler on any thread; it never holds
// the trap's own handler. `g_pack_invert_allowed` (on unless a test or
// benchmark turns it off) is read once per capture or submission, so a
// change takes effect at the next.
#include "host/present_hooks.h"
#include "host/present_hooks_slots.h"

#include <cstdio>
#include <cstring>

#include <atomic>
#include <mutex>

#include <GL/gl.h>
#include <GL/glext.h>
#include <EGL/egl.h>
#include <GL/glx.h>
#include <dlfcn.h>

// Xlib's own handler, which XSetErrorHandler(NULL) installs.
extern "C" int _XDefaultError(Display *dpy, XErrorEvent *event);

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

// The objects of one GL context that presented: made and used only while
// that context is current on the presenting thread.
struct HookGlContext {
    void *context;
    uint8_t egl;    // an EGL context, of
    void *display;  // this EGL display
    GlFunctions fn;
    uint8_t entry_points;
    GlOptional opt;
    uint8_t clip_reads;    // Mesa: reads outside the buffer leave the destination alone
    uint8_t multisampled;  // the back buffer presented last was
    GLuint texture, framebuffer, pbo;
    uint32_t width, height;
    GLuint resolve_texture, resolve_framebuffer;  // for a multisampled back buffer
    uint32_t resolve_width, resolve_height;
    uintptr_t drawable;  // the drawable presented last, and its back buffer's size then
    uint32_t drawable_width, drawable_height;
    uint32_t max_size;  // of a texture
    // The label of the objects, unique to this record's objects: where the
    // context has object labels, its objects live from present to present
    // and the label tells them from the program's.
    uint32_t serial;
};

namespace {

// A record is never taken from a context that may still live and hold the
// objects: while every record's context lives, others get objects for one
// frame only.
constexpr uint32_t kMaxContexts = 16;
HookGlContext g_records[kMaxContexts];
std::atomic<uint64_t> g_objects_made{0};

std::mutex g_install_mu;
std::atomic<HookGlState *> g_gl{nullptr};
std::atomic<void *> g_glx_end{nullptr};
std::atomic<void *> g_egl_end{nullptr};
thread_local int t_swap_depth = 0;

typedef void *(*GetProcAddressFn)(const GLubyte *);
typedef GLXContext (*GetCurrentContextFn)(void);
typedef int (*QueryDrawableFn)(Display *, GLXDrawable, int, unsigned int *);
typedef GLXDrawable (*GetCurrentDrawableFn)(void);
typedef Display *(*GetCurrentDisplayFn)(void);
typedef int (*QueryContextFn)(Display *, GLXContext, int, int *);

// Set once, by the first installer or OpenGL submission that finds them.
std::atomic<GetProcAddressFn> g_get_proc{nullptr};
std::atomic<GetCurrentContextFn> g_get_context{nullptr};
std::atomic<QueryDrawableFn> g_query_drawable{nullptr};
std::atomic<GetCurrentDrawableFn> g_get_drawable{nullptr};
std::atomic<GetCurrentDisplayFn> g_get_display{nullptr};
// GLVND's (libGLX's), which answers a gone context as such: null elsewhere,
// where the context would be read after its free.
std::atomic<QueryContextFn> g_query_context{nullptr};
std::mutex g_lookup_mu;

typedef void *(*EglGetProcAddressFn)(const char *);
// The EGL calls the capture step needs, from the loaded EGL library; set
// once, together, by the first installer that finds them all.
struct EglCalls {
    std::atomic<EglGetProcAddressFn> get_proc{nullptr};
    std::atomic<void *(*)(void)> get_context{nullptr};
    std::atomic<unsigned (*)(void *, void *, int32_t, int32_t *)> query_surface{nullptr};
    std::atomic<void *(*)(int32_t)> get_surface{nullptr};
    std::atomic<void *(*)(void)> get_display{nullptr};
    std::atomic<unsigned (*)(void *, void *, int32_t, int32_t *)> query_context{nullptr};
};
EglCalls g_egl;
// Whether captures may take the inverted read-back where the driver has it.
std::atomic<bool> g_pack_invert_allowed{true};

// What hook_gl_frame_pixels maps, set only during a frame callback.
thread_local HookGlContext *t_frame_objects = nullptr;
thread_local const uint8_t *t_frame_pixels = nullptr;

void *gl_library() {
    return dlopen("libGL.so.1", RTLD_LAZY | RTLD_NOLOAD);
}

void *glx_library() {
    return dlopen("libGLX.so.0", RTLD_LAZY | RTLD_NOLOAD);
}

void *library_symbol(void *lib, const char *name) {
    if (!lib) return nullptr;
    void *f = dlsym(lib, name);
    dlclose(lib);
    return f;
}

// glXGetProcAddressARB, glXGetCurrentContext, glXGetCurrentDrawable,
// glXGetCurrentDisplay and glXQueryDrawable of the loaded GLX library
// (libGL, or libGLX where a program links that alone), and with GLVND
// libGLX's glXQueryContext.
bool gl_lookups() {
    std::lock_guard<std::mutex> lock(g_lookup_mu);
    if (g_get_proc.load() && g_get_context.load()) return true;
    void *lib = gl_library();
    if (!lib) lib = glx_library();
    if (!lib) return false;
    GetProcAddressFn proc = (GetProcAddressFn)dlsym(lib, "glXGetProcAddressARB");
    GetCurrentContextFn cur = (GetCurrentContextFn)dlsym(lib, "glXGetCurrentContext");
    QueryDrawableFn query = (QueryDrawableFn)dlsym(lib, "glXQueryDrawable");
    GetCurrentDrawableFn drawable = (GetCurrentDrawableFn)dlsym(lib, "glXGetCurrentDrawable");
    GetCurrentDisplayFn display = (GetCurrentDisplayFn)dlsym(lib, "glXGetCurrentDisplay");
    dlclose(lib);
    if (!proc || !cur || !query || !drawable || !display) return false;
    g_query_context.store((QueryContextFn)library_symbol(glx_library(), "glXQueryContext"));
    g_query_drawable.store(query);
    g_get_drawable.store(drawable);
    g_get_display.store(display);
    g_get_proc.store(proc);
    g_get_context.store(cur);
    return true;
}

void *egl_library() {
    return dlopen("libEGL.so.1", RTLD_LAZY | RTLD_NOLOAD);
}

// The loaded EGL or GLX library's own export of `name` (also where the
// program loaded it without making its names global), else whatever the
// name resolves to: what a detour continues to once its hook is gone.
void *loaded_function(const char *name, bool egl) {
    void *f = egl ? library_symbol(egl_library(), name) : library_symbol(glx_library(), name);
    if (!f && !egl) f = library_symbol(gl_library(), name);
    return f ? f : dlsym(RTLD_DEFAULT, name);
}

bool egl_lookups() {
    std::lock_guard<std::mutex> lock(g_lookup_mu);
    if (g_egl.get_proc.load()) return true;
    void *lib = egl_library();
    if (!lib) return false;
    auto proc = (EglGetProcAddressFn)dlsym(lib, "eglGetProcAddress");
    auto cur = (void *(*)(void))dlsym(lib, "eglGetCurrentContext");
    auto query = (unsigned (*)(void *, void *, int32_t, int32_t *))dlsym(lib, "eglQuerySurface");
    auto surface = (void *(*)(int32_t))dlsym(lib, "eglGetCurrentSurface");
    auto display = (void *(*)(void))dlsym(lib, "eglGetCurrentDisplay");
    auto query_context = (unsigned (*)(void *, void *, int32_t, int32_t *))dlsym(lib, "eglQueryContext");
    dlclose(lib);
    if (!proc || !cur || !query || !surface || !display || !query_context) return false;
    g_egl.get_context.store(cur);
    g_egl.query_surface.store(query);
    g_egl.get_surface.store(surface);
    g_egl.get_display.store(display);
    g_egl.query_context.store(query_context);
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

// --- X errors of the hook's own requests ---
//
// Xlib's default handler ends the program on any error, so the requests the
// hook makes run with a handler that keeps the errors of requests from the
// trap's first serial on, on that display and thread, and hands every other
// error to the handler it replaced. Traps are made under the OpenGL state's
// mutex, so at most one is installed at a time. The trap itself is never the
// handler it hands on to (another thread that saved and restored its handler
// meanwhile may install the trap again): then, and before any was recorded,
// errors go on to Xlib's default handler.

struct XTrap {
    Display *dpy;
    unsigned long first;
    int error;
};
thread_local XTrap *t_xtrap = nullptr;
// The handler errors not the trap's go on to; never xtrap_handler.
std::atomic<XErrorHandler> g_xtrap_prev{nullptr};

int xtrap_handler(Display *dpy, XErrorEvent *e) {
    XTrap *t = t_xtrap;
    if (t && dpy == t->dpy && e->serial >= t->first) {
        if (!t->error) t->error = e->error_code;
        return 0;
    }
    XErrorHandler prev = g_xtrap_prev.load();
    if (!prev || prev == xtrap_handler) prev = _XDefaultError;
    return prev(dpy, e);
}

void xtrap_begin(XTrap *t, Display *dpy) {
    t->dpy = dpy;
    t->first = NextRequest(dpy);
    t->error = 0;
    t_xtrap = t;
    XErrorHandler prev = XSetErrorHandler(xtrap_handler);
    if (prev != xtrap_handler) g_xtrap_prev.store(prev);
}

void xtrap_end(XTrap *) {
    XErrorHandler prev = g_xtrap_prev.load();
    XErrorHandler current = XSetErrorHandler(prev ? prev : _XDefaultError);
    // Someone else set a handler meanwhile: theirs stays.
    if (current != xtrap_handler) XSetErrorHandler(current);
    t_xtrap = nullptr;
}

// --- per-context objects ---

// The surface a swap presents: a GLX drawable of an X display, or an EGL
// surface of an EGL display.
struct GlSwapTarget {
    bool egl;
    void *display;
    uintptr_t drawable;
};

std::atomic<uint32_t> g_label_serial{0};

void label_text(uint32_t serial, char (&text)[40]) {
    std::snprintf(text, sizeof(text), "zarvek present hook %u", serial);
}

// The context's flags (the functions are loaded), and a label of its own
// for the objects it will make.
void load_context_flags(HookGlContext *c, GlProcLookup lookup) {
    gl_load_optional(&c->opt, c->fn, lookup);
    const char *version = (const char *)c->fn.GetString(GL_VERSION);
    c->clip_reads = version && std::strstr(version, "Mesa") != nullptr;
    GLint max = 0;
    c->fn.GetIntegerv(GL_MAX_TEXTURE_SIZE, &max);
    c->max_size = max > 0 ? (uint32_t)max : 0;
    c->serial = g_label_serial.fetch_add(1) + 1;
}

void load_functions(HookGlContext *c, bool egl) {
    GlProcLookup lookup = egl ? egl_lookup : glx_lookup;
    c->entry_points = gl_load_functions(&c->fn, lookup);
    if (c->entry_points) load_context_flags(c, lookup);
}

// Whether the object `name` of `kind` belongs to the set labelled `serial`,
// asked through `in`, the current context's record (a name the program has,
// or none, does not). A name that is no object is not asked about: its label
// query would be an error.
bool labelled(const HookGlContext &in, uint32_t serial, GLenum kind, GLuint name) {
    if (!name || !in.opt.GetObjectLabel) return false;
    const GlFunctions &f = in.fn;
    bool is = kind == GL_TEXTURE  ? f.IsTexture(name)
              : kind == GL_BUFFER ? f.IsBuffer(name)
                                  : f.IsFramebuffer(name);
    if (!is) return false;
    char want[40], got[40] = {};
    label_text(serial, want);
    GLsizei length = 0;
    in.opt.GetObjectLabel(kind, name, (GLsizei)sizeof(got), &length, got);
    return length > 0 && std::strcmp(got, want) == 0;
}

void label(const HookGlContext *c, GLenum kind, GLuint name) {
    char text[40];
    label_text(c->serial, text);
    if (c->opt.ObjectLabel) c->opt.ObjectLabel(kind, name, -1, text);
}

// Pixel-store values the read-back and the upload need; only those the
// program set otherwise are changed and put back.
const GLenum kPackNames[4] = {GL_PACK_ALIGNMENT, GL_PACK_ROW_LENGTH, GL_PACK_SKIP_ROWS, GL_PACK_SKIP_PIXELS};
const GLenum kUnpackNames[4] = {GL_UNPACK_ALIGNMENT, GL_UNPACK_ROW_LENGTH, GL_UNPACK_SKIP_ROWS,
                                GL_UNPACK_SKIP_PIXELS};
const GLint kStoreValues[4] = {4, 0, 0, 0};

void store_read(const GlFunctions &f, const GLenum *names, GLint *saved) {
    for (int i = 0; i < 4; i++) f.GetIntegerv(names[i], &saved[i]);
}
void store_set(const GlFunctions &f, const GLenum *names, const GLint *saved) {
    for (int i = 0; i < 4; i++)
        if (saved[i] != kStoreValues[i]) f.PixelStorei(names[i], kStoreValues[i]);
}
void store_restore(const GlFunctions &f, const GLenum *names, const GLint *saved) {
    for (int i = 0; i < 4; i++)
        if (saved[i] != kStoreValues[i]) f.PixelStorei(names[i], saved[i]);
}

// The program's state that the capture step changes.
struct GlSaved {
    GLint texture, read_fb, draw_fb, pack_buffer, unpack_buffer;
    GLint pack[4], unpack[4];
    GLint pack_invert;
    GLint read_buffer_of_zero;
    GlPixelState pixel;
};

void delete_objects(const GlFunctions &f, HookGlContext *c) {
    if (c->framebuffer) f.DeleteFramebuffers(1, &c->framebuffer);
    if (c->texture) f.DeleteTextures(1, &c->texture);
    if (c->pbo) f.DeleteBuffers(1, &c->pbo);
    if (c->resolve_framebuffer) f.DeleteFramebuffers(1, &c->resolve_framebuffer);
    if (c->resolve_texture) f.DeleteTextures(1, &c->resolve_texture);
    c->framebuffer = c->texture = c->pbo = c->resolve_framebuffer = c->resolve_texture = 0;
    c->width = c->height = c->resolve_width = c->resolve_height = 0;
}

// An RGBA8 texture of w x h with a framebuffer around it; leaves the texture
// and the draw framebuffer bound.
void make_texture_framebuffer(const GlFunctions &f, GLint unpack_buffer, GLuint *texture, GLuint *framebuffer,
                              uint32_t w, uint32_t h, bool alpha = true) {
    if (*framebuffer) f.DeleteFramebuffers(1, framebuffer);
    if (*texture) f.DeleteTextures(1, texture);
    f.GenTextures(1, texture);
    f.BindTexture(GL_TEXTURE_2D, *texture);
    // With the program's unpack buffer bound, the texture would be read from it.
    if (unpack_buffer) f.BindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
    f.TexImage2D(GL_TEXTURE_2D, 0, alpha ? GL_RGBA8 : GL_RGB8, (GLsizei)w, (GLsizei)h, 0,
                 alpha ? GL_RGBA : GL_RGB, GL_UNSIGNED_BYTE, nullptr);
    if (unpack_buffer) f.BindBuffer(GL_PIXEL_UNPACK_BUFFER, (GLuint)unpack_buffer);
    f.GenFramebuffers(1, framebuffer);
    f.BindFramebuffer(GL_DRAW_FRAMEBUFFER, *framebuffer);
    f.FramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, *texture, 0);
}

// Whether objects just made got their storage: the framebuffer bound for
// drawing is complete and the pack buffer bound (when `size` is not 0) has
// `size` bytes. If not, the driver's error for them is taken back.
bool allocated(const GlFunctions &f, const GlOptional &opt, GLint size) {
    GLint got = 0;
    if (size) f.GetBufferParameteriv(GL_PIXEL_PACK_BUFFER, GL_BUFFER_SIZE, &got);
    if (f.CheckFramebufferStatus(GL_DRAW_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE && got == size) return true;
    gl_hide_error(f, opt, GL_OUT_OF_MEMORY);
    return false;
}

// Texture of the frame's size with a framebuffer around it, and the
// pixel-pack buffer; leaves the texture, draw framebuffer and pack buffer
// bound. False when the driver could not allocate them.
bool make_objects(HookGlContext *c, const GlSaved &g, uint32_t w, uint32_t h) {
    const GlFunctions &f = c->fn;
    make_texture_framebuffer(f, g.unpack_buffer, &c->texture, &c->framebuffer, w, h);
    if (c->pbo) f.DeleteBuffers(1, &c->pbo);
    f.GenBuffers(1, &c->pbo);
    g_objects_made.fetch_add(2, std::memory_order_relaxed);
    f.BindBuffer(GL_PIXEL_PACK_BUFFER, c->pbo);
    f.BufferData(GL_PIXEL_PACK_BUFFER, (GLsizeiptr)w * h * 4, nullptr, GL_STREAM_READ);
    c->width = w;
    c->height = h;
    label(c, GL_TEXTURE, c->texture);
    label(c, GL_FRAMEBUFFER, c->framebuffer);
    label(c, GL_BUFFER, c->pbo);
    return allocated(f, c->opt, (GLint)(w * h * 4));
}

// Whether the record's objects are all in the current context.
bool objects_ours(const HookGlContext *c) {
    auto ours = [c](GLenum kind, GLuint name) { return labelled(*c, c->serial, kind, name); };
    return ours(GL_FRAMEBUFFER, c->framebuffer) && ours(GL_TEXTURE, c->texture) && ours(GL_BUFFER, c->pbo) &&
           (!c->resolve_framebuffer ||
            (ours(GL_FRAMEBUFFER, c->resolve_framebuffer) && ours(GL_TEXTURE, c->resolve_texture)));
}

// Deletes the objects of the set labelled `serial` that the current context
// (whose record is `in`) reaches: those of its own, and in a share group
// those another context made (its textures and buffers, with Mesa its
// framebuffers too, outlive it).
void delete_labelled(const HookGlContext &in, uint32_t serial, HookGlContext *of) {
    for (GLuint *t : {&of->texture, &of->resolve_texture})
        if (labelled(in, serial, GL_TEXTURE, *t)) in.fn.DeleteTextures(1, t);
    for (GLuint *fb : {&of->framebuffer, &of->resolve_framebuffer})
        if (labelled(in, serial, GL_FRAMEBUFFER, *fb)) in.fn.DeleteFramebuffers(1, fb);
    if (labelled(in, serial, GL_BUFFER, of->pbo)) in.fn.DeleteBuffers(1, &of->pbo);
}

// Some of the record's objects are not in the current context: the program
// deleted them (their names may be its own by now), or the context was made
// at the address of the record's own, gone, context. The names left that
// still carry the record's label are deleted; the record starts afresh with
// the current context's flags.
void forget_objects(HookGlContext *c, bool egl) {
    delete_labelled(*c, c->serial, c);
    c->texture = c->framebuffer = c->pbo = c->resolve_texture = c->resolve_framebuffer = 0;
    c->width = c->height = c->resolve_width = c->resolve_height = 0;
    c->drawable = 0;
    c->drawable_width = c->drawable_height = 0;
    c->multisampled = 0;
    load_context_flags(c, egl ? egl_lookup : glx_lookup);
}

// Whether the record's context is known to be gone. EGL answers for its
// contexts; of GLX libraries only GLVND's libGLX (which knows the contexts
// it made) can be asked, and only on an X display: the swap's, when it is a
// GLX one. Anything else may still live.
bool context_gone(const HookGlContext &r, const GlSwapTarget &t) {
    if (r.egl) {
        auto query = g_egl.query_context.load();
        int32_t id = 0;
        return query && !query(r.display, r.context, EGL_CONFIG_ID, &id);
    }
    QueryContextFn query = g_query_context.load();
    if (t.egl || !query || !t.display) return false;
    Display *dpy = (Display *)t.display;
    XTrap trap;
    xtrap_begin(&trap, dpy);
    // GLVND reports a context it does not know as an error of the last
    // request sent: this one, inside the trap.
    XNoOp(dpy);
    int screen = 0;
    int r_query = query(dpy, (GLXContext)r.context, GLX_SCREEN, &screen);
    xtrap_end(&trap);
    return r_query == GLX_BAD_CONTEXT;
}

// At a context's first present: the records of contexts found gone are
// freed, and their objects deleted where the current context still reaches
// them.
void reclaim_gone(const HookGlContext &current, const GlSwapTarget &t) {
    for (HookGlContext &r : g_records) {
        if (!r.context || r.context == current.context || !context_gone(r, t)) continue;
        delete_labelled(current, r.serial, &r);
        std::memset((void *)&r, 0, sizeof(r));
    }
}

// The record of the current context ctx, or (for a context new to the hook)
// a free one made for it, once the records of gone contexts were reclaimed.
// With none free, `own`: the caller then works with objects of its own that
// it deletes again. The record's functions are loaded.
HookGlContext *context_objects(void *ctx, const GlSwapTarget &t, HookGlContext *own) {
    for (HookGlContext &r : g_records) {
        if (r.context != ctx) continue;
        if (!r.fn.GetString) load_functions(&r, t.egl);
        return &r;
    }
    own->context = ctx;
    own->egl = t.egl;
    own->display = t.display;
    load_functions(own, t.egl);
    if (!own->entry_points) return own;
    reclaim_gone(*own, t);
    for (HookGlContext &r : g_records)
        if (!r.context) {
            r = *own;
            return &r;
        }
    return own;
}

// With the window's framebuffer bound for reading, pixel (x, y) lies outside
// its back buffer: a read there left both sentinels alone (Mesa clips reads
// to the buffer and writes nothing outside it).
bool outside(const GlFunctions &f, GLint x, GLint y) {
    static const uint8_t a0[4] = {0x5A, 0xA5, 0x3C, 0xC3}, b0[4] = {0xA5, 0x5A, 0xC3, 0x3C};
    uint8_t a[4], b[4];
    std::memcpy(a, a0, 4);
    std::memcpy(b, b0, 4);
    f.ReadPixels(x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, a);
    f.ReadPixels(x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, b);
    return std::memcmp(a, a0, 4) == 0 && std::memcmp(b, b0, 4) == 0;
}

// The first coordinate at which `outside_at` holds, from 1 up to the limit
// (limit when none): the buffer's extent along one axis.
template <typename F>
uint32_t extent(F outside_at, uint32_t limit) {
    uint32_t lo = 1, hi = 1;  // inside at lo - 1; hi is the next guess
    while (hi < limit && !outside_at(hi)) lo = hi + 1, hi = hi * 2 < limit ? hi * 2 : limit;
    if (hi >= limit && !outside_at(limit - 1)) return limit;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (outside_at(mid))
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo;
}

// The back buffer's own size. It follows the window only when the program
// next draws, so a swap right after a resize presents the old size, which
// the window's size (w, h) no longer tells. Where reads are clipped to the
// buffer, one read of the 2 x 2 pixels around the corner checks that the
// corner lies inside and its neighbours outside (they keep a sentinel no
// opaque pixel has); otherwise the size is measured. Other drivers keep
// (w, h). The window's framebuffer is bound for reading, no pack buffer,
// default pack state.
void back_buffer_size(const GlFunctions &f, bool clip_reads, uint32_t *w, uint32_t *h) {
    if (!clip_reads) return;
    GLint x = (GLint)*w - 1, y = (GLint)*h - 1;
    static const uint8_t sentinel[4] = {0x5A, 0xA5, 0x3C, 0x0F};
    uint8_t px[16];
    for (int i = 0; i < 4; i++) std::memcpy(px + i * 4, sentinel, 4);
    f.ReadPixels(x, y, 2, 2, GL_RGBA, GL_UNSIGNED_BYTE, px);
    // Rows bottom first: (x, y), (x + 1, y), (x, y + 1), (x + 1, y + 1).
    if (std::memcmp(px, sentinel, 4) != 0 && std::memcmp(px + 4, sentinel, 4) == 0 &&
        std::memcmp(px + 8, sentinel, 4) == 0 && std::memcmp(px + 12, sentinel, 4) == 0)
        return;
    const uint32_t limit = 16384;
    uint32_t mw = extent([&](uint32_t at) { return outside(f, (GLint)at, 0); }, limit);
    uint32_t mh = extent([&](uint32_t at) { return outside(f, 0, (GLint)at); }, limit);
    if (mw < limit && mh < limit) *w = mw, *h = mh;
}

// One pass over the back buffer: read into the pixel-pack buffer, then the
// texture filled from that buffer (no second read of the window, no blit).
// Band by band, so each upload reads rows still in the cache.
constexpr GLsizei kBandRows = 32;

void read_upload(HookGlContext *c, const GlSaved &g) {
    const GlFunctions &f = c->fn;
    GLsizei w = (GLsizei)c->width, h = (GLsizei)c->height;
    f.BindBuffer(GL_PIXEL_PACK_BUFFER, c->pbo);
    f.BindBuffer(GL_PIXEL_UNPACK_BUFFER, c->pbo);
    store_set(f, kUnpackNames, g.unpack);
    f.BindTexture(GL_TEXTURE_2D, c->texture);
    for (GLsizei y = 0; y < h; y += kBandRows) {
        GLsizei rows = h - y < kBandRows ? h - y : kBandRows;
        void *at = (void *)((size_t)y * w * 4);  // offset into the buffer
        f.ReadPixels(0, y, w, rows, GL_RGBA, GL_UNSIGNED_BYTE, at);
        f.TexSubImage2D(GL_TEXTURE_2D, 0, 0, y, w, rows, GL_RGBA, GL_UNSIGNED_BYTE, at);
    }
    store_restore(f, kUnpackNames, g.unpack);
    f.BindBuffer(GL_PIXEL_UNPACK_BUFFER, (GLuint)g.unpack_buffer);
}

// The blit every driver has: the frame into the texture as it is, then the
// texture read back.
void read_blit(HookGlContext *c) {
    const GlFunctions &f = c->fn;
    GLint w = (GLint)c->width, h = (GLint)c->height;
    f.BindFramebuffer(GL_DRAW_FRAMEBUFFER, c->framebuffer);
    f.BlitFramebuffer(0, 0, w, h, 0, 0, w, h, GL_COLOR_BUFFER_BIT, GL_NEAREST);
    f.BindFramebuffer(GL_READ_FRAMEBUFFER, c->framebuffer);
    f.BindBuffer(GL_PIXEL_PACK_BUFFER, c->pbo);
    f.ReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
}

// A multisampled back buffer cannot be read, nor (OpenGL ES) blitted into a
// texture of another format: it is first resolved, at its own size, into a
// single-sampled framebuffer of ours of the same format (OpenGL ES asks that),
// which becomes the read framebuffer. The window's framebuffer is bound for
// reading. False when the driver could not allocate the framebuffer.
bool resolve(HookGlContext *c, const GlSaved &g, bool alpha) {
    const GlFunctions &f = c->fn;
    if (!c->resolve_framebuffer || c->resolve_width != c->width || c->resolve_height != c->height) {
        make_texture_framebuffer(f, g.unpack_buffer, &c->resolve_texture, &c->resolve_framebuffer, c->width,
                                 c->height, alpha);
        c->resolve_width = c->width, c->resolve_height = c->height;
        g_objects_made.fetch_add(1, std::memory_order_relaxed);
        label(c, GL_TEXTURE, c->resolve_texture);
        label(c, GL_FRAMEBUFFER, c->resolve_framebuffer);
        if (!allocated(f, c->opt, 0)) return false;
    }
    GLint w = (GLint)c->width, h = (GLint)c->height;
    f.BindFramebuffer(GL_DRAW_FRAMEBUFFER, c->resolve_framebuffer);
    f.BlitFramebuffer(0, 0, w, h, 0, 0, w, h, GL_COLOR_BUFFER_BIT, GL_NEAREST);
    f.BindFramebuffer(GL_READ_FRAMEBUFFER, c->resolve_framebuffer);
    return true;
}

// The size of the swap's drawable or surface as its window system knows it.
bool window_size(const GlSwapTarget &t, uint32_t *w, uint32_t *h) {
    if (t.egl) {
        int32_t ew = 0, eh = 0;
        auto query = g_egl.query_surface.load();
        if (!query(t.display, (void *)t.drawable, EGL_WIDTH, &ew) ||
            !query(t.display, (void *)t.drawable, EGL_HEIGHT, &eh) || ew < 0 || eh < 0)
            return false;
        *w = (uint32_t)ew, *h = (uint32_t)eh;
        return true;
    }
    // GLX knows every kind of drawable (a GLXWindow is no X drawable); an
    // error of the query must not reach the program's handler.
    QueryDrawableFn query = g_query_drawable.load();
    if (!query || !t.display || !t.drawable) return false;
    unsigned qw = 0, qh = 0;
    XTrap trap;
    xtrap_begin(&trap, (Display *)t.display);
    query((Display *)t.display, (GLXDrawable)t.drawable, GLX_WIDTH, &qw);
    query((Display *)t.display, (GLXDrawable)t.drawable, GLX_HEIGHT, &qh);
    xtrap_end(&trap);
    if (trap.error) return false;
    *w = qw, *h = qh;
    return true;
}

// The context current on the calling thread, of the swap's kind.
void *current_context(bool egl) {
    if (egl) {
        auto current = g_egl.get_context.load();
        return current ? current() : nullptr;
    }
    GetCurrentContextFn current = g_get_context.load();
    return current ? (void *)current() : nullptr;
}

// Whether the swap presents what the current context draws to: a program
// may swap another window (GLX lets it), whose picture is not the one that
// would be read.
bool draws_to(const GlSwapTarget &t) {
    if (t.egl) {
        auto surface = g_egl.get_surface.load();
        auto display = g_egl.get_display.load();
        return surface && display && (uintptr_t)surface(EGL_DRAW) == t.drawable && display() == t.display;
    }
    GetCurrentDrawableFn drawable = g_get_drawable.load();
    GetCurrentDisplayFn display = g_get_display.load();
    return drawable && display && (uintptr_t)drawable() == t.drawable && (void *)display() == t.display;
}

// The window's buffer a swap presents (the back one, or the front one of a
// single-buffered window, which a swap leaves as it is) and whether it has
// alpha. The window's framebuffer is bound.
GLenum presented_buffer(const HookGlContext *c) {
    if (c->opt.es) return GL_BACK;
    GLint doubled = 1;
    c->fn.GetIntegerv(GL_DOUBLEBUFFER, &doubled);
    return doubled ? GL_BACK : GL_FRONT;
}

bool buffer_has_alpha(const HookGlContext *c, GLenum buffer) {
    GLenum attachment = c->opt.es ? GL_BACK : buffer == GL_BACK ? GL_BACK_LEFT : GL_FRONT_LEFT;
    GLint alpha = 8;
    c->fn.GetFramebufferAttachmentParameteriv(GL_FRAMEBUFFER, attachment,
                                              GL_FRAMEBUFFER_ATTACHMENT_ALPHA_SIZE, &alpha);
    return alpha > 0;
}

// Under the state's mutex. Raises no GL error of its own (one the driver
// raises for an allocation of the hook's is taken back), so the program's
// pending errors are left where they are.
void hook_gl_capture(HookGlState *s, const GlSwapTarget &t) {
    void *ctx = current_context(t.egl);
    if (!ctx) {
        report(s, HOOK_ERR_GL_NO_CONTEXT);
        return;
    }
    if (!draws_to(t)) return;
    // A context beyond the records gets objects for this frame only.
    HookGlContext own = {};
    HookGlContext *c = context_objects(ctx, t, &own);
    s->context = ctx;
    s->entry_points = c->entry_points;
    if (!c->entry_points) {
        // Asked again at the context's next present.
        gl_clear_functions(&c->fn);
        report(s, HOOK_ERR_GL_ENTRY_POINTS);
        return;
    }
    const GlFunctions &f = c->fn;
    // The objects last from present to present only where their labels tell
    // them from the program's: a context made at the address of one that is
    // gone has names of its own that may equal the record's, and a program
    // may delete names it did not make.
    bool lasting = c != &own && c->opt.GetObjectLabel;
    if (c->framebuffer && !objects_ours(c)) forget_objects(c, t.egl);

    s->window = t.drawable;
    uint32_t w = 0, h = 0;
    // Where reads are clipped, the back buffer's own size is checked below
    // anyway: the drawable's last size serves as the guess, and the window
    // system is asked (a round trip) only for a drawable new to the context.
    if (c->clip_reads && !c->multisampled && c->drawable == t.drawable && c->drawable_width) {
        w = c->drawable_width, h = c->drawable_height;
    } else {
        if (!window_size(t, &w, &h)) {
            report(s, HOOK_ERR_GL_CLIENT_RECT);
            return;
        }
        if (w == 0 || h == 0) return;
    }

    // Where the driver reads inverted on request (Mesa), reading and
    // uploading is cheaper than the blit.
    bool upload = c->opt.pack_invert && g_pack_invert_allowed.load(std::memory_order_relaxed);
    GlSaved g = {};
    f.GetIntegerv(GL_TEXTURE_BINDING_2D, &g.texture);
    f.GetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &g.read_fb);
    f.GetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &g.draw_fb);
    f.GetIntegerv(GL_PIXEL_PACK_BUFFER_BINDING, &g.pack_buffer);
    f.GetIntegerv(GL_PIXEL_UNPACK_BUFFER_BINDING, &g.unpack_buffer);
    store_read(f, kPackNames, g.pack);
    if (c->opt.pack_invert) f.GetIntegerv(GL_PACK_INVERT_MESA, &g.pack_invert);
    if (upload) store_read(f, kUnpackNames, g.unpack);
    gl_pixel_state_plain(f, c->opt, &g.pixel);

    // The window's framebuffer for drawing too: its sample count is the draw
    // framebuffer's.
    f.BindFramebuffer(GL_FRAMEBUFFER, 0);
    GLint samples = 0;
    f.GetIntegerv(GL_SAMPLE_BUFFERS, &samples);
    GLenum buffer = presented_buffer(c);
    bool alpha = samples && buffer_has_alpha(c, buffer);
    g.read_buffer_of_zero = (GLint)buffer;
    f.GetIntegerv(GL_READ_BUFFER, &g.read_buffer_of_zero);
    if (g.read_buffer_of_zero != (GLint)buffer) f.ReadBuffer(buffer);
    if (g.pack_buffer) f.BindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    store_set(f, kPackNames, g.pack);
    if (g.pack_invert) f.PixelStorei(GL_PACK_INVERT_MESA, 0);
    if (!samples) back_buffer_size(f, c->clip_reads, &w, &h);
    c->drawable = t.drawable;
    c->drawable_width = w, c->drawable_height = h;
    c->multisampled = samples != 0;
    // A frame larger than the context's textures is not copied.
    bool ok = w <= c->max_size && h <= c->max_size;
    if (ok && (!c->texture || w != c->width || h != c->height)) ok = make_objects(c, g, w, h);
    if (ok && samples) ok = resolve(c, g, alpha);
    if (ok && upload)
        read_upload(c, g);
    else if (ok)
        read_blit(c);

    if (ok) {
        s->texture = c->texture;
        s->framebuffer = c->framebuffer;
        s->pbo = c->pbo;
        s->width = c->width;
        s->height = c->height;
        s->pack_invert = c->opt.pack_invert;
        s->pbo_filled = 1;
    }
    if (ok && s->on_frame) {
        t_frame_objects = c;
        t_frame_pixels = nullptr;
        s->on_frame(HOOK_KIND_GL, (void *)s->window, s->context, nullptr, &c->texture, s->opaque);
        if (t_frame_pixels) f.UnmapBuffer(GL_PIXEL_PACK_BUFFER);
        t_frame_objects = nullptr;
        t_frame_pixels = nullptr;
    }

    // The default framebuffer's read buffer is per framebuffer: put it back.
    if (g.read_buffer_of_zero != (GLint)buffer) {
        f.BindFramebuffer(GL_READ_FRAMEBUFFER, 0);
        f.ReadBuffer((GLenum)g.read_buffer_of_zero);
    }
    if (!lasting || !ok) {
        delete_objects(f, c);
        s->texture = s->framebuffer = s->pbo = 0;
        s->pbo_filled = 0;
    }
    f.BindFramebuffer(GL_READ_FRAMEBUFFER, (GLuint)g.read_fb);
    f.BindFramebuffer(GL_DRAW_FRAMEBUFFER, (GLuint)g.draw_fb);
    f.BindTexture(GL_TEXTURE_2D, (GLuint)g.texture);
    f.BindBuffer(GL_PIXEL_PACK_BUFFER, (GLuint)g.pack_buffer);
    store_restore(f, kPackNames, g.pack);
    if (g.pack_invert) f.PixelStorei(GL_PACK_INVERT_MESA, g.pack_invert);
    gl_pixel_state_restore(f, c->opt, g.pixel);
}

}  // namespace

uint64_t hook_gl_objects_made(void) {
    return g_objects_made.load();
}

void hook_gl_use_pack_invert(bool on) {
    g_pack_invert_allowed.store(on);
}

const uint8_t *hook_gl_frame_pixels(uint32_t *pitch) {
    HookGlContext *c = t_frame_objects;
    if (!c || !c->pbo) return nullptr;
    if (!t_frame_pixels) {
        t_frame_pixels = (const uint8_t *)c->fn.MapBufferRange(
            GL_PIXEL_PACK_BUFFER, 0, (GLsizeiptr)c->width * c->height * 4, GL_MAP_READ_BIT);
        // The driver could not map it: its error is the hook's, not the program's.
        if (!t_frame_pixels) gl_hide_error(c->fn, c->opt, GL_OUT_OF_MEMORY);
    }
    if (pitch) *pitch = c->width * 4;
    return t_frame_pixels;
}

void hook_gl_swap_buffers_a(void *display, uintptr_t drawable) {
    void *end = g_glx_end.load(std::memory_order_acquire);
    void *next = hook_load_slot(&hook_gl_swap_buffers_a_real);
    // Re-entered from a wrapper the trampoline led to: straight to the library.
    if (t_swap_depth > 0 && end) next = end;
    HookGlState *s = t_swap_depth == 0 ? g_gl.load(std::memory_order_acquire) : nullptr;
    if (s) {
        VKO_MutexLock(s->mutex);
        hook_gl_capture(s, GlSwapTarget{false, display, drawable});
        VKO_MutexUnlock(s->mutex);
    }
    // Always continue to the hooked function, once.
    if (!next) next = end ? end : loaded_function("glXSwapBuffers", false);
    if (!next || next == (void *)hook_gl_swap_buffers_a) return;
    t_swap_depth++;
    ((void (*)(Display *, GLXDrawable))next)((Display *)display, (GLXDrawable)drawable);
    t_swap_depth--;
}

unsigned hook_gl_swap_buffers_b(void *display, void *surface) {
    void *end = g_egl_end.load(std::memory_order_acquire);
    void *next = hook_load_slot(&hook_gl_swap_buffers_b_real);
    if (t_swap_depth > 0 && end) next = end;
    HookGlState *s = t_swap_depth == 0 ? g_gl.load(std::memory_order_acquire) : nullptr;
    if (s) {
        VKO_MutexLock(s->mutex);
        hook_gl_capture(s, GlSwapTarget{true, display, (uintptr_t)surface});
        VKO_MutexUnlock(s->mutex);
    }
    if (!next) next = end ? end : loaded_function("eglSwapBuffers", true);
    if (!next || next == (void *)hook_gl_swap_buffers_b) return 0;
    t_swap_depth++;
    unsigned r = ((unsigned (*)(void *, void *))next)(display, surface);
    t_swap_depth--;
    return r;
}

namespace {

// --- hooks on the lookups through which programs fetch the swaps ---

struct LookupHook {
    const char *name;
    void *detour;
    void *real;  // trampoline slot
    std::atomic<void *> end;
    void *exports[2];  // the libraries' own, set by the installer
};

std::atomic<void *> g_glx_swaps[3];  // what the program reaches first, libGLX's, libGL's
std::atomic<void *> g_egl_swaps[2];
thread_local int t_lookup_depth = 0;

bool among(std::atomic<void *> *set, size_t n, void *f) {
    for (size_t i = 0; i < n; i++)
        if (f && set[i].load(std::memory_order_acquire) == f) return true;
    return false;
}

// A hooked swap fetched by name is answered with its detour.
void *answer_lookup(const char *name, void *f) {
    if (!f || !name) return f;
    if (std::strcmp(name, "glXSwapBuffers") == 0 && hook_load_slot(&hook_gl_swap_buffers_a_real) &&
        among(g_glx_swaps, 3, f))
        return (void *)hook_gl_swap_buffers_a;
    if (std::strcmp(name, "eglSwapBuffers") == 0 && hook_load_slot(&hook_gl_swap_buffers_b_real) &&
        among(g_egl_swaps, 2, f))
        return (void *)hook_gl_swap_buffers_b;
    return f;
}

void *lookup_call(LookupHook *h, const char *name) {
    void *next = hook_load_slot(&h->real);
    void *end = h->end.load(std::memory_order_acquire);
    // Re-entered from a wrapper the trampoline led to: straight to the library.
    if ((t_lookup_depth > 0 || !next) && end) next = end;
    // Called through a pointer taken while hooked, after the removal.
    if (!next) next = loaded_function(h->name, std::strncmp(h->name, "egl", 3) == 0);
    if (!next || next == h->detour) return nullptr;
    t_lookup_depth++;
    void *f = ((void *(*)(const char *))next)(name);
    t_lookup_depth--;
    return answer_lookup(name, f);
}

void *hook_glx_get_proc_address(const GLubyte *name);
void *hook_glx_get_proc_address_arb(const GLubyte *name);
void *hook_egl_get_proc_address(const char *name);

LookupHook g_lookups[3] = {
    {"glXGetProcAddress", (void *)hook_glx_get_proc_address, nullptr, {nullptr}, {}},
    {"glXGetProcAddressARB", (void *)hook_glx_get_proc_address_arb, nullptr, {nullptr}, {}},
    {"eglGetProcAddress", (void *)hook_egl_get_proc_address, nullptr, {nullptr}, {}},
};

void *hook_glx_get_proc_address(const GLubyte *name) {
    return lookup_call(&g_lookups[0], (const char *)name);
}
void *hook_glx_get_proc_address_arb(const GLubyte *name) {
    return lookup_call(&g_lookups[1], (const char *)name);
}
void *hook_egl_get_proc_address(const char *name) {
    return lookup_call(&g_lookups[2], name);
}

// Whether one of the hook's redirected slots lies in a module of the
// program's own: not one holding any of `definers` (the GL, GLX and EGL
// libraries' exports of the function, and any wrapper), not this library.
bool program_slot_redirected(void *target, void *const *definers, size_t n) {
    void **slots[64];
    uint32_t count = detour_hook_slots(target, slots, 64);
    Dl_info self{};
    dladdr((void *)hook_gl_install, &self);
    for (uint32_t i = 0; i < count && i < 64; i++) {
        Dl_info at{};
        if (!dladdr((void *)slots[i], &at) || !at.dli_fbase) continue;
        if (at.dli_fbase == self.dli_fbase) continue;
        bool definer = false;
        for (size_t k = 0; k < n; k++) {
            Dl_info d{};
            if (definers[k] && dladdr(definers[k], &d) && d.dli_fbase == at.dli_fbase) definer = true;
        }
        if (!definer) return true;
    }
    return false;
}

// Whether one of the slots redirected by the hook on `target` lies in the
// module that holds `f`.
bool slot_in_module_of(void *target, void *f) {
    Dl_info m{};
    if (!f || !dladdr(f, &m) || !m.dli_fbase) return false;
    void **slots[64];
    uint32_t count = detour_hook_slots(target, slots, 64);
    for (uint32_t i = 0; i < count && i < 64; i++) {
        Dl_info at{};
        if (dladdr((void *)slots[i], &at) && at.dli_fbase == m.dli_fbase) return true;
    }
    return false;
}

// Attaches one swap detour in a transaction of its own, so a library that
// the program does not call through an import slot leaves the other hook
// working. `first` is what the program's calls reach first (a wrapper, or
// the library's swap), `aliases` the library exports that lead to the same
// swap.
int32_t attach_swap(void **slot, void *first, void *const *aliases, size_t n, void *detour) {
    // No detour reads the slot before the commit redirected a call to it.
    __atomic_store_n(slot, first, __ATOMIC_RELEASE);
    VKO_RWLockWriter(detour_patch_lock());
    DetourTransactionBegin();
    DetourUpdateThread(pthread_self());
    DetourAttach(slot, detour);
    for (size_t i = 0; i < n; i++)
        if (aliases[i] && aliases[i] != first) DetourAttachAlias(slot, aliases[i]);
    int32_t r = DetourTransactionCommit();
    VKO_RWLockUnlock(detour_patch_lock());
    if (r != 0) hook_clear_slot(slot);
    return r;
}

// Whether a lookup hook redirected an import of the program's own, so that
// the swaps the program fetches through it from now on are the hooks'.
bool program_lookup_redirected(LookupHook *h) {
    void *first = hook_load_slot(&h->real);
    void *definers[3] = {first, h->exports[0], h->exports[1]};
    return first && program_slot_redirected(first, definers, 3);
}

// Detaches a swap hook that reaches no call of the program's own, with its
// lookups, and empties their slots.
void detach_unreached(void **slot, void *detour, LookupHook *const *lookups, size_t n) {
    VKO_RWLockWriter(detour_patch_lock());
    DetourTransactionBegin();
    DetourUpdateThread(pthread_self());
    DetourDetach(slot, detour);
    for (size_t i = 0; i < n; i++)
        if (hook_load_slot(&lookups[i]->real)) DetourDetach(&lookups[i]->real, lookups[i]->detour);
    DetourTransactionCommit();
    VKO_RWLockUnlock(detour_patch_lock());
    hook_clear_slot(slot);
    for (size_t i = 0; i < n; i++) hook_clear_slot(&lookups[i]->real);
}

// What the program's calls of `name` reach first: a wrapper preloaded ahead
// of the libraries, or else the library function they all end at.
void *reached_first(const char *name, void *end, void *const *exports, size_t n, void *detour) {
    void *bound = dlsym(RTLD_DEFAULT, name);
    if (!bound || bound == detour) return end;
    for (size_t i = 0; i < n; i++)
        if (bound == exports[i]) return end;
    return bound;
}

// The lookup hooks wanted (each over the exports of `libs[i][0]`, the one
// the others lead to, and `libs[i][1]`; either may be missing), in one
// transaction. A lookup nothing imports stays unattached, and so do the
// others of a failed commit.
void attach_lookups(LookupHook *const *hooks, void *const (*libs)[2], size_t n) {
    LookupHook *wanted[3];
    void *exports[3][2];
    size_t count = 0;
    for (size_t i = 0; i < n && count < 3; i++) {
        void *end = library_symbol(libs[i][0], hooks[i]->name);
        void *other = library_symbol(libs[i][1], hooks[i]->name);
        if (!end) end = other;
        if (!end) continue;
        LookupHook *h = hooks[i];
        exports[count][0] = end, exports[count][1] = other;
        h->exports[0] = end, h->exports[1] = other;
        void *first = reached_first(h->name, end, exports[count], 2, h->detour);
        h->end.store(end, std::memory_order_release);
        __atomic_store_n(&h->real, first, __ATOMIC_RELEASE);
        wanted[count++] = h;
    }
    if (!count) return;
    VKO_RWLockWriter(detour_patch_lock());
    DetourTransactionBegin();
    DetourUpdateThread(pthread_self());
    for (size_t i = 0; i < count; i++) {
        DetourAttach(&wanted[i]->real, wanted[i]->detour);
        for (void *a : exports[i])
            if (a && a != hook_load_slot(&wanted[i]->real)) DetourAttachAlias(&wanted[i]->real, a);
    }
    int32_t r = DetourTransactionCommit();
    VKO_RWLockUnlock(detour_patch_lock());
    if (r != 0)
        for (size_t i = 0; i < count; i++) hook_clear_slot(&wanted[i]->real);
}

}  // namespace

int32_t hook_gl_install(HookFrameCallback on_frame, HookErrorCallback on_error, void *opaque) {
    std::lock_guard<std::mutex> lock(g_install_mu);
    if (g_gl.load() || hook_load_slot(&hook_gl_swap_buffers_a_real) ||
        hook_load_slot(&hook_gl_swap_buffers_b_real))
        return DETOUR_ERROR_INVALID_OPERATION;
    // With GLVND, libGL's glXSwapBuffers leads to libGLX's, which programs
    // linked to libGLX alone import: both are hooked, the trampoline being
    // libGLX's. A preloaded wrapper of that name comes first: calls the
    // program makes reach it through the trampoline.
    void *gl_swap = library_symbol(gl_library(), "glXSwapBuffers");
    void *glx_swap = library_symbol(glx_library(), "glXSwapBuffers");
    void *glx_end = glx_swap ? glx_swap : gl_swap;
    if (glx_end && !gl_lookups()) glx_end = gl_swap = glx_swap = nullptr;
    void *egl_end = library_symbol(egl_library(), "eglSwapBuffers");
    if (egl_end && !egl_lookups()) egl_end = nullptr;
    if (!glx_end && !egl_end) return HOOK_ERR_GL_ENTRY_POINTS;

    HookGlState *s = hook_state_new<HookGlState>(on_frame, on_error, opaque);
    s->contexts = g_records;
    s->context_count = kMaxContexts;
    g_gl.store(s, std::memory_order_release);

    int32_t ra = DETOUR_ERROR_INVALID_BLOCK, rb = DETOUR_ERROR_INVALID_BLOCK;
    void *glx_first = nullptr, *egl_first = nullptr;
    if (glx_end) {
        void *aliases[2] = {glx_end, gl_swap};
        void *first = reached_first("glXSwapBuffers", glx_end, aliases, 2, (void *)hook_gl_swap_buffers_a);
        glx_first = first;
        g_glx_swaps[0].store(first), g_glx_swaps[1].store(glx_end), g_glx_swaps[2].store(gl_swap);
        g_glx_end.store(glx_end, std::memory_order_release);
        ra = attach_swap(&hook_gl_swap_buffers_a_real, first, aliases, 2, (void *)hook_gl_swap_buffers_a);
    }
    if (egl_end) {
        void *aliases[1] = {egl_end};
        void *first = reached_first("eglSwapBuffers", egl_end, aliases, 1, (void *)hook_gl_swap_buffers_b);
        egl_first = first;
        g_egl_swaps[0].store(first), g_egl_swaps[1].store(egl_end);
        g_egl_end.store(egl_end, std::memory_order_release);
        rb = attach_swap(&hook_gl_swap_buffers_b_real, first, aliases, 1, (void *)hook_gl_swap_buffers_b);
    }
    // Swaps fetched by name from now on are the hooks'.
    LookupHook *lookups[3];
    void *libs[3][2];
    size_t n = 0;
    if (ra == 0) {
        lookups[n] = &g_lookups[0], libs[n][0] = glx_library(), libs[n][1] = gl_library(), n++;
        lookups[n] = &g_lookups[1], libs[n][0] = glx_library(), libs[n][1] = gl_library(), n++;
    }
    if (rb == 0) lookups[n] = &g_lookups[2], libs[n][0] = egl_library(), libs[n][1] = nullptr, n++;
    attach_lookups(lookups, libs, n);

    // A hook counts only where calls of the program's own reach it: a
    // redirected import of its own (of the swap, or of a lookup it fetches
    // the swap through), or with GLVND libGL's export, which forwards
    // through libGLX's redirected table (imported or fetched alike).
    LookupHook *glx_lookups[2] = {&g_lookups[0], &g_lookups[1]};
    LookupHook *egl_lookups[1] = {&g_lookups[2]};
    if (ra == 0) {
        void *definers[3] = {glx_first, glx_end, gl_swap};
        bool reached = program_slot_redirected(glx_first, definers, 3) ||
                       (gl_swap && gl_swap != glx_end && slot_in_module_of(glx_first, glx_end)) ||
                       program_lookup_redirected(&g_lookups[0]) || program_lookup_redirected(&g_lookups[1]);
        if (!reached) {
            detach_unreached(&hook_gl_swap_buffers_a_real, (void *)hook_gl_swap_buffers_a, glx_lookups, 2);
            ra = DETOUR_ERROR_INVALID_BLOCK;
        }
    }
    if (rb == 0) {
        void *definers[2] = {egl_first, egl_end};
        bool reached =
            program_slot_redirected(egl_first, definers, 2) || program_lookup_redirected(&g_lookups[2]);
        if (!reached) {
            detach_unreached(&hook_gl_swap_buffers_b_real, (void *)hook_gl_swap_buffers_b, egl_lookups, 1);
            rb = DETOUR_ERROR_INVALID_BLOCK;
        }
    }
    if (ra == 0 || rb == 0) return 0;
    // Nothing was attached, so no detour can hold the state.
    g_gl.store(nullptr);
    g_glx_end.store(nullptr);
    g_egl_end.store(nullptr);
    VKO_MutexDestroy(&s->mutex);
    VKO_Free(s);
    return glx_end ? ra : rb;
}

void hooks_install_lock(void) {
    g_install_mu.lock();
}

void hooks_install_unlock(void) {
    g_install_mu.unlock();
}

namespace {

bool any_installed() {
    return g_gl.load() || hook_load_slot(&hook_gl_swap_buffers_a_real) ||
           hook_load_slot(&hook_gl_swap_buffers_b_real) || hooks_d3d_installed() || hooks_d3d12_installed() ||
           hooks_audio_installed();
}

}  // namespace

bool hooks_installed(void) {
    std::lock_guard<std::mutex> lock(g_install_mu);
    return any_installed();
}

int32_t hooks_remove_all(uint32_t wait_ms) {
    std::lock_guard<std::mutex> lock(g_install_mu);
    if (!any_installed()) return HOOK_ERR_NO_HOOKS;
    VKO_RWLockWriter(detour_patch_lock());
    DetourTransactionBegin();
    DetourUpdateThread(pthread_self());
    if (hook_load_slot(&hook_gl_swap_buffers_a_real))
        DetourDetach(&hook_gl_swap_buffers_a_real, (void *)hook_gl_swap_buffers_a);
    if (hook_load_slot(&hook_gl_swap_buffers_b_real))
        DetourDetach(&hook_gl_swap_buffers_b_real, (void *)hook_gl_swap_buffers_b);
    for (LookupHook &h : g_lookups)
        if (hook_load_slot(&h.real)) DetourDetach(&h.real, h.detour);
    hooks_d3d_detach();
    hooks_d3d12_detach();
    hooks_audio_detach();
    DetourTransactionCommit();
    VKO_RWLockUnlock(detour_patch_lock());
    // Detours that were already running finish within the wait.
    VKO_Sleep(wait_ms);
    hook_clear_slot(&hook_gl_swap_buffers_a_real);
    hook_clear_slot(&hook_gl_swap_buffers_b_real);
    g_glx_end.store(nullptr, std::memory_order_release);
    g_egl_end.store(nullptr, std::memory_order_release);
    for (LookupHook &h : g_lookups) {
        hook_clear_slot(&h.real);
        h.end.store(nullptr, std::memory_order_release);
    }
    for (auto &f : g_glx_swaps) f.store(nullptr);
    for (auto &f : g_egl_swaps) f.store(nullptr);
    hooks_d3d_free();
    hooks_d3d12_free();
    hooks_audio_free();
    if (HookGlState *s = g_gl.exchange(nullptr)) {
        // The textures, framebuffers and buffers belong to the program's
        // contexts, which only their own threads can make current: their
        // records stay for the next install, whose presents take them back
        // (or free them once their contexts are gone).
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
// the pixel-pack state and the state a blit or read-back obeys (scissor
// test, sRGB writes, pixel transfer) are put back; the copy raises no GL
// error of its own, so the application's pending ones stay as they are. The
// record's threading model, with its two holders, is the core's (submit.h).
// The GL objects and the function table are touched only by submit, on the
// application's render thread; they are deleted when the application lets
// go with its context current.

namespace {

struct GlSubmit {
    SubmitRecord core;
    GlFunctions fn;
    void *context;
    GLuint read_fb, draw_fb, texture, pbo;
    uint32_t width, height;  // of the copy (even)
    GlOptional opt;
};

void delete_submit_objects(GlSubmit *s) {
    GlFunctions &f = s->fn;
    if (s->read_fb) f.DeleteFramebuffers(1, &s->read_fb);
    if (s->draw_fb) f.DeleteFramebuffers(1, &s->draw_fb);
    if (s->texture) f.DeleteTextures(1, &s->texture);
    if (s->pbo) f.DeleteBuffers(1, &s->pbo);
    s->read_fb = s->draw_fb = s->texture = s->pbo = 0;
}

int32_t gl_submit_objects(GlSubmit *s, uint32_t w, uint32_t h) {
    GlFunctions &f = s->fn;
    delete_submit_objects(s);
    d3d_release(&s->core.copy);
    f.GenFramebuffers(1, &s->read_fb);
    // With the application's unpack buffer bound, the texture would be read from it.
    GLint unpack = 0;
    f.GetIntegerv(GL_PIXEL_UNPACK_BUFFER_BINDING, &unpack);
    make_texture_framebuffer(f, unpack, &s->texture, &s->draw_fb, w, h);
    f.GenBuffers(1, &s->pbo);
    f.BindBuffer(GL_PIXEL_PACK_BUFFER, s->pbo);
    f.BufferData(GL_PIXEL_PACK_BUFFER, (GLsizeiptr)w * h * 4, nullptr, GL_STREAM_READ);
    if (!allocated(f, s->opt, (GLint)(w * h * 4))) {
        delete_submit_objects(s);
        return SUBMIT_ERR_NO_TEXTURE;
    }
    D3D11_TEXTURE2D_DESC d = {
        w, h, 1, 1, DXGI_FORMAT_B8G8R8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT, D3D11_BIND_SHADER_RESOURCE,
        0, 0};
    if (s->core.device->CreateTexture2D(&d, nullptr, &s->core.copy) < 0) return SUBMIT_ERR_NO_TEXTURE;
    s->width = w;
    s->height = h;
    return 0;
}

// Whether `name` is a 2-D texture, asked without an error: a name that is
// no texture, or one of another target, cannot be bound as one. Where the
// target cannot be asked, it is bound: the binding is left to the caller
// (and its error, if it fails, taken back).
bool texture_2d(GlSubmit *s, GLuint name) {
    const GlFunctions &f = s->fn;
    if (!name || !f.IsTexture(name)) return false;
    if (s->opt.GetTextureParameteriv) {
        GLint target = 0;
        s->opt.GetTextureParameteriv(name, GL_TEXTURE_TARGET, &target);
        if (target != GL_TEXTURE_2D) return false;
    }
    f.BindTexture(GL_TEXTURE_2D, name);
    GLint bound = 0;
    f.GetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    if ((GLuint)bound == name) return true;
    gl_hide_error(f, s->opt, GL_INVALID_OPERATION);
    return false;
}

int32_t gl_submit_copy(GlSubmit *s, GLuint app_texture) {
    GlFunctions &f = s->fn;
    GLint saved_tex = 0, saved_read = 0, saved_draw = 0, saved_pbo = 0, pack[4] = {};
    f.GetIntegerv(GL_TEXTURE_BINDING_2D, &saved_tex);
    f.GetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &saved_read);
    f.GetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &saved_draw);
    f.GetIntegerv(GL_PIXEL_PACK_BUFFER_BINDING, &saved_pbo);
    store_read(f, kPackNames, pack);
    GlPixelState pixel = {};
    gl_pixel_state_plain(f, s->opt, &pixel);

    int32_t r = texture_2d(s, app_texture) ? 0 : SUBMIT_ERR_NO_TEXTURE;
    GLint tw = 0, th = 0;
    // Integer texels (GL_RGBA8UI and the like) are no colour a read or a
    // blit into the stand-in's texture can convert.
    GLint red = GL_NONE;
    if (r == 0) {
        f.GetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &tw);
        f.GetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &th);
        f.GetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_RED_TYPE, &red);
    }
    uint32_t w = (uint32_t)tw & ~1u, h = (uint32_t)th & ~1u;
    if (w == 0 || h == 0 || w > 16384 || h > 16384 || red == GL_INT || red == GL_UNSIGNED_INT)
        r = SUBMIT_ERR_NO_TEXTURE;
    if (r == 0 && (!s->texture || w != s->width || h != s->height)) r = gl_submit_objects(s, w, h);
    const uint8_t *px = nullptr;
    if (r == 0) {
        f.BindFramebuffer(GL_READ_FRAMEBUFFER, s->read_fb);
        f.FramebufferTexture2D(GL_READ_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, app_texture, 0);
        // A texture that cannot be a colour attachment (depth, compressed) cannot be read.
        if (f.CheckFramebufferStatus(GL_READ_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
            f.FramebufferTexture2D(GL_READ_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, 0, 0);
            r = SUBMIT_ERR_NO_TEXTURE;
        }
    }
    if (r == 0) {
        bool invert = s->opt.pack_invert && g_pack_invert_allowed.load(std::memory_order_relaxed);
        if (!invert) {
            // Upside down into the own texture, which is read back.
            f.BindFramebuffer(GL_DRAW_FRAMEBUFFER, s->draw_fb);
            f.BlitFramebuffer(0, 0, (GLint)w, (GLint)h, 0, (GLint)h, (GLint)w, 0, GL_COLOR_BUFFER_BIT,
                              GL_NEAREST);
            f.FramebufferTexture2D(GL_READ_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, 0, 0);
            f.BindFramebuffer(GL_READ_FRAMEBUFFER, s->draw_fb);
        }
        f.BindBuffer(GL_PIXEL_PACK_BUFFER, s->pbo);
        store_set(f, kPackNames, pack);
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
        store_restore(f, kPackNames, pack);
        px = (const uint8_t *)f.MapBufferRange(GL_PIXEL_PACK_BUFFER, 0, (GLsizeiptr)w * h * 4,
                                               GL_MAP_READ_BIT);
        if (!px) {
            gl_hide_error(f, s->opt, GL_OUT_OF_MEMORY);
            r = SUBMIT_ERR_NO_TEXTURE;
        }
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
    gl_pixel_state_restore(f, s->opt, pixel);
    return r;
}

void free_gl_submit(GlSubmit *s) {
    submit_record_release(&s->core);
    VKO_Free(s);
}

// On the application's thread. Elsewhere than on their context the GL
// objects cannot be deleted: they go with the context.
void release_gl_objects(GlSubmit *s) {
    GetCurrentContextFn current = g_get_context.load();
    GlFunctions &f = s->fn;
    if (!current || (void *)current() != s->context || !f.DeleteFramebuffers) return;
    delete_submit_objects(s);
}

}  // namespace

void cap_gl_destroy(void **handle) {
    GlSubmit *s = (GlSubmit *)*handle;
    if (!s) return;
    *handle = nullptr;
    if (submit_consumer_let_go(&s->core)) free_gl_submit(s);
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
    if (!app_context) {
        *handle = nullptr;
        if (!s) return 0;
        release_gl_objects(s);
        if (submit_app_let_go(&s->core)) free_gl_submit(s);
        return 0;
    }
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
        gl_load_optional(&s->opt, s->fn, glx_lookup);
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
