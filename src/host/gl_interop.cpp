// State model: the GLX entry points are looked up once per process, under
// `g_mu`, and never change after `g_loaded` is set. A record is used only by
// the application's render thread.
#include "host/gl_interop.h"

#include <mutex>

#include <GL/glx.h>
#include <X11/Xlib.h>
#include <dlfcn.h>

#include "host/capture.h"
#include "host/submit.h"
#include "platform/memory.h"
#include "platform/x11/error_trap.h"

namespace {

struct GlxCalls {
    void *(*GetProcAddress)(const GLubyte *);
    GLXContext (*GetCurrentContext)(void);
    Display *(*GetCurrentDisplay)(void);
    GLXDrawable (*GetCurrentDrawable)(void);
    GLXDrawable (*GetCurrentReadDrawable)(void);
    Bool (*MakeContextCurrent)(Display *, GLXDrawable, GLXDrawable, GLXContext);
    int (*QueryContext)(Display *, GLXContext, int, int *);
    GLXFBConfig *(*ChooseFBConfig)(Display *, int, const int *, int *);
    GLXContext (*CreateNewContext)(Display *, GLXFBConfig, int, GLXContext, Bool);
    void (*DestroyContext)(Display *, GLXContext);
};

std::mutex g_mu;
GlxCalls g_glx;
bool g_loaded = false;

bool glx_calls() {
    std::lock_guard<std::mutex> lock(g_mu);
    if (g_loaded) return true;
    void *lib = dlopen("libGL.so.1", RTLD_LAZY | RTLD_NOLOAD);
    if (!lib) return false;
    GlxCalls x;
    x.GetProcAddress = (decltype(x.GetProcAddress))dlsym(lib, "glXGetProcAddressARB");
    x.GetCurrentContext = (decltype(x.GetCurrentContext))dlsym(lib, "glXGetCurrentContext");
    x.GetCurrentDisplay = (decltype(x.GetCurrentDisplay))dlsym(lib, "glXGetCurrentDisplay");
    x.GetCurrentDrawable = (decltype(x.GetCurrentDrawable))dlsym(lib, "glXGetCurrentDrawable");
    x.GetCurrentReadDrawable = (decltype(x.GetCurrentReadDrawable))dlsym(lib, "glXGetCurrentReadDrawable");
    x.MakeContextCurrent = (decltype(x.MakeContextCurrent))dlsym(lib, "glXMakeContextCurrent");
    x.QueryContext = (decltype(x.QueryContext))dlsym(lib, "glXQueryContext");
    x.ChooseFBConfig = (decltype(x.ChooseFBConfig))dlsym(lib, "glXChooseFBConfig");
    x.CreateNewContext = (decltype(x.CreateNewContext))dlsym(lib, "glXCreateNewContext");
    x.DestroyContext = (decltype(x.DestroyContext))dlsym(lib, "glXDestroyContext");
    // The library stays loaded as long as the program's context exists.
    dlclose(lib);
    if (!x.GetProcAddress || !x.GetCurrentContext || !x.GetCurrentDisplay || !x.GetCurrentDrawable ||
        !x.GetCurrentReadDrawable || !x.MakeContextCurrent || !x.QueryContext || !x.ChooseFBConfig ||
        !x.CreateNewContext || !x.DestroyContext)
        return false;
    g_glx = x;
    g_loaded = true;
    return true;
}

void *own_lookup(const char *name) {
    return g_glx.GetProcAddress((const GLubyte *)name);
}

// What is current on the calling thread, put back after each step.
struct Current {
    Display *display;
    GLXDrawable draw, read;
    GLXContext context;
};

Current current() {
    return {g_glx.GetCurrentDisplay(), g_glx.GetCurrentDrawable(), g_glx.GetCurrentReadDrawable(),
            g_glx.GetCurrentContext()};
}

// The own context on the application's drawable; false when the
// application's context is not the current one or the switch failed.
bool make_own_current(GlInterop *rec, Current *saved) {
    if (!g_loaded) return false;
    *saved = current();
    if ((void *)saved->context != rec->app_context || !saved->draw) return false;
    return g_glx.MakeContextCurrent((Display *)rec->dc.display, saved->draw, saved->draw,
                                    (GLXContext)rec->context);
}

void restore(const Current &saved) {
    g_glx.MakeContextCurrent(saved.display, saved.draw, saved.read, saved.context);
}

// Own GL objects of the object; the own context is current.
void delete_own_objects(GlInterop *rec) {
    GlInteropObject *o = rec->object;
    GlFunctions &f = rec->fn;
    if (o->read_fb) f.DeleteFramebuffers(1, &o->read_fb);
    if (o->draw_fb) f.DeleteFramebuffers(1, &o->draw_fb);
    if (o->own_texture) f.DeleteTextures(1, &o->own_texture);
    o->read_fb = o->draw_fb = o->own_texture = 0;
}

}  // namespace

int32_t gl_interop_create(GlInterop **out) {
    *out = nullptr;
    if (!glx_calls()) return GL_INTEROP_ERR_ENTRY_POINTS;
    Current app = current();
    if (!app.context || !app.display || !app.draw) return GL_INTEROP_ERR_CONTEXT;
    int id = 0, screen = 0;
    if (g_glx.QueryContext(app.display, app.context, GLX_FBCONFIG_ID, &id) != Success ||
        g_glx.QueryContext(app.display, app.context, GLX_SCREEN, &screen) != Success)
        return GL_INTEROP_ERR_CONTEXT;
    const int attrs[] = {GLX_FBCONFIG_ID, id, None};
    int n = 0;
    GLXFBConfig *configs = g_glx.ChooseFBConfig(app.display, screen, attrs, &n);
    GLXContext own = nullptr;
    if (configs && n > 0)
        own = g_glx.CreateNewContext(app.display, configs[0], GLX_RGBA_TYPE, app.context, True);
    if (configs) XFree(configs);
    if (!own) return GL_INTEROP_ERR_CONTEXT;

    GlInterop *rec = (GlInterop *)VKO_Alloc(1, sizeof(GlInterop));
    rec->dc = {app.display, (uintptr_t)app.draw, (uintptr_t)app.read};
    rec->context = own;
    rec->app_context = app.context;
    int32_t r = 0;
    if (!g_glx.MakeContextCurrent(app.display, app.draw, app.draw, own))
        r = GL_INTEROP_ERR_CONTEXT;
    else if (!gl_load_functions(&rec->fn, own_lookup))
        r = GL_INTEROP_ERR_ENTRY_POINTS;
    restore(app);

    IDXGIFactory2 *factory = nullptr;
    if (r == 0 && CreateDXGIFactory2(0, &factory) < 0) r = CAPTURE_ERR_FACTORY;
    if (r == 0) {
        // The first adapter on which a multithread-protected device is made.
        r = CAPTURE_ERR_DEVICE;
        IDXGIAdapter *adapter = nullptr;
        for (uint32_t i = 0; factory->EnumAdapters(i, &adapter) >= 0; i++) {
            ID3D11Device *device = nullptr;
            ID3D10Multithread *mt = nullptr;
            bool ok = D3D11CreateDevice(&device) >= 0 && device->QueryMultithread(&mt) >= 0;
            if (ok) {
                mt->SetMultithreadProtected(true);
                ok = mt->GetMultithreadProtected();
            }
            d3d_release(&mt);
            if (ok) {
                rec->device = device;
                rec->interop_device = adapter;
                r = 0;
                break;
            }
            d3d_release(&device);
            d3d_release(&adapter);
        }
        d3d_release(&factory);
    }
    if (r != 0) {
        g_glx.DestroyContext(app.display, own);
        VKO_Free(rec);
        return r;
    }
    *out = rec;
    return 0;
}

int32_t gl_interop_register_object(GlInterop *rec, uint32_t app_texture) {
    gl_interop_release_object(rec);
    Current saved;
    if (!make_own_current(rec, &saved)) return GL_INTEROP_ERR_CONTEXT;
    GlFunctions &f = rec->fn;
    // A name the application never made would be created by binding it.
    GLint tw = 0, th = 0;
    if (app_texture && f.IsTexture(app_texture)) {
        f.BindTexture(GL_TEXTURE_2D, app_texture);
        f.GetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &tw);
        f.GetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &th);
    }
    uint32_t w = (uint32_t)tw & ~1u, h = (uint32_t)th & ~1u;
    if (w == 0 || h == 0 || w > 16384 || h > 16384) {
        f.BindTexture(GL_TEXTURE_2D, 0);
        restore(saved);
        return SUBMIT_ERR_NO_TEXTURE;
    }
    GlInteropObject *o = (GlInteropObject *)VKO_Alloc(1, sizeof(GlInteropObject));
    rec->object = o;
    o->app_texture = app_texture;
    o->width = w, o->height = h;
    f.GenTextures(1, &o->own_texture);
    f.BindTexture(GL_TEXTURE_2D, o->own_texture);
    f.TexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, (GLsizei)w, (GLsizei)h, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    f.BindTexture(GL_TEXTURE_2D, 0);
    f.GenFramebuffers(1, &o->read_fb);
    f.GenFramebuffers(1, &o->draw_fb);
    f.BindFramebuffer(GL_READ_FRAMEBUFFER, o->read_fb);
    f.FramebufferTexture2D(GL_READ_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, app_texture, 0);
    f.BindFramebuffer(GL_DRAW_FRAMEBUFFER, o->draw_fb);
    f.FramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, o->own_texture, 0);
    bool ok = f.CheckFramebufferStatus(GL_READ_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE &&
              f.CheckFramebufferStatus(GL_DRAW_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
    restore(saved);
    D3D11_TEXTURE2D_DESC d = {
        w, h, 1, 1, DXGI_FORMAT_B8G8R8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT, D3D11_BIND_SHADER_RESOURCE,
        0, 0};
    if (!ok || rec->device->CreateTexture2D(&d, nullptr, &o->texture) < 0) {
        gl_interop_release_object(rec);
        return SUBMIT_ERR_NO_TEXTURE;
    }
    return 0;
}

int32_t gl_interop_copy(GlInterop *rec) {
    GlInteropObject *o = rec->object;
    if (!o || !o->texture) return SUBMIT_ERR_NO_TEXTURE;
    Current saved;
    if (!make_own_current(rec, &saved)) return GL_INTEROP_ERR_CONTEXT;
    GlFunctions &f = rec->fn;
    GLint w = (GLint)o->width, h = (GLint)o->height;
    // Upside down into the own texture, so reading it from its row 0 gives
    // the picture's top row first.
    f.BindFramebuffer(GL_READ_FRAMEBUFFER, o->read_fb);
    f.BindFramebuffer(GL_DRAW_FRAMEBUFFER, o->draw_fb);
    f.BlitFramebuffer(0, 0, w, h, 0, h, w, 0, GL_COLOR_BUFFER_BIT, GL_NEAREST);
    f.BindFramebuffer(GL_READ_FRAMEBUFFER, o->draw_fb);
    uint32_t pitch = o->texture->pitch();
    f.PixelStorei(GL_PACK_ALIGNMENT, 4);
    f.PixelStorei(GL_PACK_ROW_LENGTH, (GLint)(pitch / 4));
    f.ReadPixels(0, 0, w, h, GL_BGRA, GL_UNSIGNED_BYTE, o->texture->data());
    restore(saved);
    return 0;
}

void gl_interop_release_object(GlInterop *rec) {
    GlInteropObject *o = rec->object;
    if (!o) return;
    Current saved;
    if (make_own_current(rec, &saved)) {
        delete_own_objects(rec);
        restore(saved);
    }
    // Otherwise the names go with the own context.
    d3d_release(&o->texture);
    VKO_Free(o);
    rec->object = nullptr;
}

void gl_interop_destroy(GlInterop **handle) {
    GlInterop *rec = *handle;
    if (!rec) return;
    gl_interop_release_object(rec);
    Display *dpy = (Display *)rec->dc.display;
    // The application's context is current again before the own one goes;
    // from a thread where it cannot be (current elsewhere) the refusal is
    // trapped rather than ending the program.
    if ((void *)g_glx.GetCurrentContext() != rec->app_context) {
        X11ErrorTrap trap(dpy);
        g_glx.MakeContextCurrent(dpy, (GLXDrawable)rec->dc.drawable, (GLXDrawable)rec->dc.read_drawable,
                                 (GLXContext)rec->app_context);
        trap.sync();
    }
    d3d_release(&rec->interop_device);
    d3d_release(&rec->device);
    g_glx.DestroyContext(dpy, (GLXContext)rec->context);
    VKO_Free(rec);
    *handle = nullptr;
}
