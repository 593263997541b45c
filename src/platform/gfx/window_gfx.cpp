// A window's graphics: one swap-chain context of the chosen interface, a
// frame renderer per video layer and one overlay renderer with its textures,
// all reached through the dispatch tables. The record belongs to the thread
// that draws the window; every use of the renderers and textures is
// bracketed by the context's lock. The context talks to the X server on a
// connection of its own, so drawing never shares the app thread's. That
// thread sets and clears the window's `gfx` (atomically): the app thread
// reads it when the server is lost, to keep the window while it is set.
//
// A frame is open from the first surface a draw takes until present. The
// commands recorded in it may name any overlay texture, and they run at
// present, so a texture replaced or removed while a frame is open is only
// taken out of the map (`retired`) and destroyed once present has returned,
// when every row has waited for the frame to complete.
#include <X11/Xlib.h>

#include <atomic>
#include <vector>

#include "platform/app_internal.h"
#include "platform/gfx/gfx.h"
#include "platform/gfx/vk_load.h"
#include "platform/map.h"
#include "platform/memory.h"
#include "platform/x11/error_trap.h"
#include "platform/x11/x11_app.h"

namespace {

struct WindowGFX {
    uint32_t api;
    VKO_Hash *textures;  // texture id -> the overlay renderer's texture
    void *last_device;
    uint64_t last_generation;  // the context's device generation the objects were made for
    void *renderers[2];
    void *ui;
    void *ctx;
    VKO_X11Window native;         // private connection and the window's id
    bool frame_open;              // a draw took a surface since the last present
    std::vector<void *> retired;  // textures out of the map that the open frame may use
};

WindowGFX *gfx_of(VKO_App *app, int32_t index) {
    VKO_WindowRec *w = app_window(app, index);
    return w ? static_cast<WindowGFX *>(w->gfx) : nullptr;
}

WindowGFX *with_context(VKO_App *app, int32_t index) {
    WindowGFX *g = gfx_of(app, index);
    return g && g->ctx ? g : nullptr;
}

void free_retired(WindowGFX *g) {
    for (void *&t : g->retired)
        if (g->ui) vko_gfx_ui_apis[g->api].destroy_texture(g->ui, &t, g->last_device);
    g->retired.clear();
}

// Everything made with the last device goes before the next is used.
void release_device_objects(WindowGFX *g) {
    const vko_gfx_api &frames = vko_gfx_apis[g->api];
    const vko_gfx_ui_api &uis = vko_gfx_ui_apis[g->api];
    free_retired(g);
    for (void *&r : g->renderers)
        if (r) frames.destroy(&r, g->last_device);
    if (g->textures) {
        uint64_t iter = 0, key = 0;
        while (VKO_HashGetNextKeyInt(g->textures, &iter, &key)) {
            void *t = VKO_HashGetInt(g->textures, key);
            if (t && g->ui) uis.destroy_texture(g->ui, &t, g->last_device);
        }
        VKO_HashDestroy(&g->textures, nullptr);
    }
    if (g->ui) uis.destroy(&g->ui, g->last_device);
    g->last_device = nullptr;
}

// A device made again after a loss may come back at the old address, so the
// context's generation tells a new one apart as well.
void *current_device(WindowGFX *g) {
    const vko_gfx_ctx_api &t = vko_gfx_ctx_apis[g->api];
    void *device = t.get_device(g->ctx);
    const uint64_t generation = t.get_generation ? t.get_generation(g->ctx) : 0;
    if (device != g->last_device || generation != g->last_generation) {
        release_device_objects(g);
        g->last_device = device;
        g->last_generation = generation;
    }
    return device;
}

void *frame_renderer(WindowGFX *g, void *device, uint8_t layer) {
    if (layer > 1) return nullptr;
    if (!g->renderers[layer]) g->renderers[layer] = vko_gfx_apis[g->api].create(device, layer);
    return g->renderers[layer];
}

void *ui_renderer(WindowGFX *g, void *device) {
    if (!g->ui) g->ui = vko_gfx_ui_apis[g->api].create(device);
    if (!g->textures) g->textures = VKO_HashCreate(64);
    return g->ui;
}

void context_destroy(WindowGFX *g) {
    if (!g->ctx) return;
    release_device_objects(g);
    vko_gfx_ctx_apis[g->api].destroy(&g->ctx);
    g->api = VKO_GFX_NONE;
}

}  // namespace

bool VKO_WindowSetGFX(VKO_App *app, int32_t index, uint32_t api, bool vsync) {
    VKO_WindowRec *w = app_window(app, index);
    if (!w) return false;
    WindowGFX *g = static_cast<WindowGFX *>(w->gfx);
    if (g) {
        context_destroy(g);
        if (g->native.display) XCloseDisplay(g->native.display);
        delete g;
    }
    // Set on the way out only: the window of a lost server stays while it is.
    auto attach = [w](WindowGFX *to) {
        std::atomic_ref<void *>(w->gfx).store(to);
        return to != nullptr;
    };
    VKO_GFX want = vko_gfx_resolve(api);
    if (want == VKO_GFX_NONE || !app->x || !app->x->dpy) return attach(nullptr);
    g = new WindowGFX{};
    g->native.display = XOpenDisplay(DisplayString(app->x->dpy));
    x11_outlive_server(g->native.display);
    g->native.window = w->xid;
    for (; g->native.display;) {
        const vko_gfx_ctx_api &t = vko_gfx_ctx_apis[want];
        g->ctx = t.create ? t.create(&g->native, vsync) : nullptr;
        if (g->ctx) {
            g->api = want;
            return attach(g);
        }
        if (want != VKO_GFX_D3D12) break;
        want = VKO_GFX_D3D11;  // once
    }
    if (g->native.display) XCloseDisplay(g->native.display);
    delete g;
    return attach(nullptr);
}

uint32_t VKO_WindowGetGFX(VKO_App *app, int32_t index) {
    WindowGFX *g = with_context(app, index);
    return g ? g->api : VKO_GFX_NONE;
}

void VKO_WindowDrawQuad(VKO_App *app, int32_t index, const void *image, const VKO_RenderDesc *desc) {
    WindowGFX *g = with_context(app, index);
    if (!g || !desc) return;
    const vko_gfx_ctx_api &t = vko_gfx_ctx_apis[g->api];
    void *surface = t.get_surface(g->ctx);
    if (!surface) return;
    g->frame_open = true;
    if (!t.lock(g->ctx)) return;
    VKO_RenderDesc copy = *desc;
    t.get_size(g->ctx, &copy.view_width, &copy.view_height);
    void *device = current_device(g);
    if (void *r = frame_renderer(g, device, copy.layer))
        vko_gfx_apis[g->api].render(r, device, t.get_context(g->ctx), image, &copy, surface);
    t.unlock(g->ctx);
}

void VKO_WindowDrawUI(VKO_App *app, int32_t index, const VKO_DrawData *data) {
    WindowGFX *g = with_context(app, index);
    if (!g || !data) return;
    const vko_gfx_ctx_api &t = vko_gfx_ctx_apis[g->api];
    void *surface = t.get_surface(g->ctx);
    if (!surface) return;
    g->frame_open = true;
    if (!t.lock(g->ctx)) return;
    VKO_DrawData copy = *data;
    uint32_t width = 0, height = 0;
    t.get_size(g->ctx, &width, &height);
    copy.display_width = float(width);
    copy.display_height = float(height);
    void *device = current_device(g);
    if (void *ui = ui_renderer(g, device))
        vko_gfx_ui_apis[g->api].render(ui, device, t.get_context(g->ctx), &copy, g->textures, surface);
    t.unlock(g->ctx);
}

void VKO_WindowPresent(VKO_App *app, int32_t index) {
    WindowGFX *g = with_context(app, index);
    if (!g) return;
    const vko_gfx_ctx_api &t = vko_gfx_ctx_apis[g->api];
    t.present(g->ctx);
    g->frame_open = false;
    if (g->retired.empty() || !t.lock(g->ctx)) return;
    free_retired(g);
    t.unlock(g->ctx);
}

bool VKO_WindowSetUITexture(VKO_App *app, int32_t index, uint32_t id, const void *rgba, uint32_t width,
                            uint32_t height) {
    WindowGFX *g = with_context(app, index);
    if (!g) return false;
    const vko_gfx_ctx_api &t = vko_gfx_ctx_apis[g->api];
    if (!t.lock(g->ctx)) return false;
    void *device = current_device(g);
    void *ui = ui_renderer(g, device);
    bool stored = false;
    if (ui) {
        void *old = VKO_HashPopInt(g->textures, id);
        if (old && g->frame_open)
            g->retired.push_back(old);
        else if (old)
            vko_gfx_ui_apis[g->api].destroy_texture(ui, &old, device);
        if (rgba) {
            void *tex = vko_gfx_ui_apis[g->api].create_texture(ui, device, rgba, width, height);
            if (tex) {
                VKO_HashSetInt(g->textures, id, tex);
                stored = true;
            }
        }
    }
    t.unlock(g->ctx);
    return stored;
}

bool VKO_WindowHasUITexture(VKO_App *app, int32_t index, uint32_t id) {
    WindowGFX *g = with_context(app, index);
    if (!g) return false;
    const vko_gfx_ctx_api &t = vko_gfx_ctx_apis[g->api];
    if (!t.lock(g->ctx)) return false;
    const bool has = g->textures && VKO_HashGetInt(g->textures, id) != nullptr;
    t.unlock(g->ctx);
    return has;
}
