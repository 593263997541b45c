#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/app_internal.h"
#include "platform/file.h"
#include "platform/gfx/gfx.h"
#include "platform/log.h"
#include "platform/map.h"
#include "platform/memory.h"

namespace {

// Ties to even, as the placement rules round.
int32_t rnd(double v) {
    return (int32_t)std::nearbyint(v);
}

// Frames come from files and callers: keep them inside what X can place.
VKO_Frame sane_frame(const VKO_Frame &in) {
    VKO_Frame f = in;
    f.screen[sizeof(f.screen) - 1] = 0;
    if (f.width < 1) f.width = 1;
    if (f.height < 1) f.height = 1;
    if (f.width > 16384) f.width = 16384;
    if (f.height > 16384) f.height = 16384;
    if (f.x < -16384) f.x = -16384;
    if (f.x > 16384) f.x = 16384;
    if (f.y < -16384) f.y = -16384;
    if (f.y > 16384) f.y = 16384;
    return f;
}

// Copies text into out (size bytes) whole characters at a time while it fits
// in units - 1 UTF-16 units (a NUL after them), so a long text is cut on a
// character boundary. Bytes that are no UTF-8 become U+FFFD.
void cut_text(const char *in, uint32_t units, char *out, size_t size) {
    size_t at = 0;
    uint32_t used = 0;
    const auto *p = (const unsigned char *)(in ? in : "");
    while (*p) {
        uint32_t u;
        size_t took = vko_utf8_decode(p, 4, &u);  // the NUL ends any sequence
        const char *bytes = (const char *)p;
        size_t n = took;
        if (!took) bytes = "\xEF\xBF\xBD", n = 3, u = 0xFFFD;
        uint32_t need = u >= 0x10000 ? 2 : 1;
        if (used + need > units - 1 || at + n >= size) break;
        memcpy(out + at, bytes, n);
        at += n, used += need;
        p += took ? took : 1;
    }
    if (size) out[at] = 0;
}

VKO_Monitor g_mons[16];

const VKO_Monitor *monitor_for(VKO_App *app, const char *name) {
    size_t n = x11_monitors(app, g_mons, 16);
    return vko_monitor_find(g_mons, n, name);
}

void place_windowed(VKO_App *app, VKO_WindowRec *w, const VKO_Frame &frame) {
    const VKO_Monitor *mon = monitor_for(app, frame.screen);
    VKO_Extents ext = x11_extents(app, w);
    VKO_Rect r = vko_frame_to_rect(&frame, mon, &ext);
    x11_window_place(app, w, &r, mon, frame.flags);
}

}  // namespace

VKO_Frame vko_frame_from_metrics(int32_t x, int32_t y, uint32_t width, uint32_t height, float max_height,
                                 int32_t mw, int32_t mh, float scale) {
    VKO_Frame f;
    memset(&f, 0, sizeof(f));
    if (scale <= 0) scale = 1;
    if ((double)height * scale > (double)mh * max_height) {
        uint32_t nh = (uint32_t)std::max(1, rnd((double)mh * max_height / scale));
        width = height ? (uint32_t)std::max(1, rnd((double)width / height * nh)) : width;
        height = nh;
    }
    if ((int64_t)width >= mw) {
        x = 0;
        width = (uint32_t)std::max(mw, 0);
    } else {
        x = x + (int32_t)((mw - (int64_t)width) / 2);
    }
    if ((int64_t)height >= mh) {
        y = 0;
        height = (uint32_t)std::max(mh, 0);
    } else {
        y = y + (int32_t)((mh - (int64_t)height) / 2);
    }
    f.width = width;
    f.height = height;
    f.x = x;
    f.y = y;
    return f;
}

VKO_Rect vko_frame_to_rect(const VKO_Frame *frame, const VKO_Monitor *mon, const VKO_Extents *ext) {
    float s = mon->scale > 0 ? mon->scale : 1;
    // Window rectangle: the client plus the manager's frame.
    int32_t l = frame->x - ext->left, t = frame->y - ext->top;
    int32_t r = frame->x + (int32_t)frame->width + ext->right,
            b = frame->y + (int32_t)frame->height + ext->bottom;
    double d = s - 1;
    int32_t gx = rnd(frame->width * d) / 2, gy = rnd(frame->height * d) / 2;
    l -= gx, r += gx, t -= gy, b += gy;
    l += mon->wx, r += mon->wx, t += mon->wy, b += mon->wy;
    if (t < mon->wy) b += mon->wy - t, t = mon->wy;  // moved down whole, its size kept
    VKO_Rect out = {l + ext->left, t + ext->top, r - l - ext->left - ext->right,
                    b - t - ext->top - ext->bottom};
    if (out.w < 1) out.w = 1;
    if (out.h < 1) out.h = 1;
    return out;
}

VKO_Frame vko_rect_to_frame(const VKO_Rect *client, const VKO_Monitor *mon, bool maximized) {
    VKO_Frame f;
    memset(&f, 0, sizeof(f));
    float s = mon->scale > 0 ? mon->scale : 1;
    double d = 1 - 1 / (double)s;
    int32_t gx = rnd(client->w * d) / 2, gy = rnd(client->h * d) / 2;
    f.x = client->x - mon->wx + gx;
    f.y = client->y - mon->wy + gy;
    f.width = (uint32_t)std::max(0, client->w - 2 * gx);
    f.height = (uint32_t)std::max(0, client->h - 2 * gy);
    f.flags = maximized ? VKO_FRAME_MAXIMIZED : 0;
    snprintf(f.screen, sizeof(f.screen), "%s", mon->name);
    return f;
}

const VKO_Monitor *vko_monitor_find(const VKO_Monitor *mons, size_t count, const char *name) {
    if (name && name[0])
        for (size_t i = 0; i < count; i++)
            if (strncmp(mons[i].name, name, sizeof(mons[i].name)) == 0) return &mons[i];
    for (size_t i = 0; i < count; i++)
        if (mons[i].primary) return &mons[i];
    return count ? &mons[0] : nullptr;
}

void app_deliver(VKO_App *app, VKO_Event *ev) {
    if (ev->type != VKO_EVENT_NONE && app->event_func) app->event_func(ev, app->opaque);
}

void app_dispatch(VKO_App *app, VKO_Event *ev) {
    if (ev->type == VKO_EVENT_KEY) {
        uint64_t k = (uint64_t)(ev->key.mods & 0xFF) << 16 | ev->key.key;
        if (uint32_t id = (uint32_t)(uintptr_t)VKO_HashGetInt(app->local_hotkeys, k)) {
            if (!ev->key.pressed) return;  // a hotkey's release is no event at all
            uint8_t window = ev->window;
            memset(ev, 0, sizeof(*ev));
            ev->type = VKO_EVENT_HOTKEY;
            ev->window = window;
            ev->hotkey = id;
        }
    } else if (ev->type == VKO_EVENT_BUTTON && ev->button.button < 32) {
        if (ev->button.pressed)
            app->held_buttons |= 1u << ev->button.button;
        else
            app->held_buttons &= ~(1u << ev->button.button);
    }
    // Web views follow their window's size (the web view host resizes them).
    app_deliver(app, ev);
}

bool app_dispatch_alive(VKO_App *app, VKO_Event *ev) {
    int32_t index = ev->window;
    uint32_t serial = app_window_serial(app, index);
    app_dispatch(app, ev);
    return app_window_alive(app, index, serial);
}

void app_raw_mouse(VKO_App *app, uint8_t index, const VKO_RawMouse *raw) {
    VKO_Event motion;
    memset(&motion, 0, sizeof(motion));
    motion.window = index;
    if (raw->x || raw->y) {
        if (raw->absolute) {
            if (!app->touch_in_range) {
                VKO_Monitor mons[16];
                size_t n = x11_monitors(app, mons, 16);
                int32_t sx = 0, sy = 0, sw = 1, sh = 1;
                if (raw->virtual_desktop) {
                    int32_t r = 0, b = 0;
                    for (size_t i = 0; i < n; i++) {
                        r = std::max(r, mons[i].x + mons[i].w);
                        b = std::max(b, mons[i].y + mons[i].h);
                    }
                    sw = std::max(r, 1), sh = std::max(b, 1);
                } else if (const VKO_Monitor *p = vko_monitor_find(mons, n, nullptr)) {
                    sx = p->x, sy = p->y, sw = p->w, sh = p->h;
                }
                uint32_t x = (uint32_t)(sx + (int64_t)raw->x * sw / 65535);
                uint32_t y = (uint32_t)(sy + (int64_t)raw->y * sh / 65535);
                if (app->abs_x != 0xFFFFFFFFu) {
                    motion.type = VKO_EVENT_MOTION;
                    motion.motion.x = (int32_t)(x - app->abs_x);
                    motion.motion.y = (int32_t)(y - app->abs_y);
                    motion.motion.relative = 1;
                    motion.motion.from_absolute = 1;
                }
                app->abs_x = x;
                app->abs_y = y;
            }
        } else {
            motion.type = VKO_EVENT_MOTION;
            motion.motion.x = raw->x;
            motion.motion.y = raw->y;
            motion.motion.relative = 1;
        }
    }
    static const struct {
        uint32_t flag;
        uint32_t button;
        bool pressed;
    } kOrder[] = {
        {VKO_RAW_LEFT_DOWN, 1, true},  {VKO_RAW_LEFT_UP, 1, false},   {VKO_RAW_MIDDLE_DOWN, 3, true},
        {VKO_RAW_MIDDLE_UP, 3, false}, {VKO_RAW_RIGHT_DOWN, 2, true}, {VKO_RAW_RIGHT_UP, 2, false},
        {VKO_RAW_X1_DOWN, 4, true},    {VKO_RAW_X1_UP, 4, false},     {VKO_RAW_X2_DOWN, 5, true},
        {VKO_RAW_X2_UP, 5, false},
    };
    int32_t cx = 0, cy = 0;
    bool have_pos = false;
    for (const auto &o : kOrder) {
        if (!(raw->buttons & o.flag)) continue;
        if (!have_pos) {
            VKO_WindowRec *w = app->windows[index];
            int32_t px = 0, py = 0;
            if (w && x11_cursor_pos(app, &px, &py)) cx = px - w->geom.x, cy = py - w->geom.y;
            have_pos = true;
        }
        VKO_Event ev;
        memset(&ev, 0, sizeof(ev));
        ev.type = VKO_EVENT_BUTTON;
        ev.window = index;
        ev.button.button = o.button;
        ev.button.pressed = o.pressed;
        ev.button.x = cx;
        ev.button.y = cy;
        if (!app_dispatch_alive(app, &ev)) return;  // the rest of the report belongs to a gone window
    }
    if (raw->buttons & VKO_RAW_WHEEL) {
        VKO_Event ev;
        memset(&ev, 0, sizeof(ev));
        ev.type = VKO_EVENT_SCROLL;
        ev.window = index;
        ev.scroll.y = raw->wheel;
        if (!app_dispatch_alive(app, &ev)) return;
    }
    if (raw->buttons & VKO_RAW_HWHEEL) {
        VKO_Event ev;
        memset(&ev, 0, sizeof(ev));
        ev.type = VKO_EVENT_SCROLL;
        ev.window = index;
        ev.scroll.x = raw->hwheel;
        if (!app_dispatch_alive(app, &ev)) return;
    }
    if (motion.type != VKO_EVENT_NONE) app_dispatch(app, &motion);
}

void app_pen_input(VKO_App *app, uint8_t index, const VKO_PenInput *pen) {
    app->pen_in_range = pen->in_range;
    if (!app->pen_enabled) return;
    VKO_Event ev;
    memset(&ev, 0, sizeof(ev));
    ev.type = VKO_EVENT_PEN;
    ev.window = index;
    ev.pen.flags = (pen->in_range ? 0 : 0x1) | (pen->contact ? 0x2 : 0) | (pen->inverted ? 0x4 : 0) |
                   (pen->eraser ? 0x8 : 0);
    ev.pen.x = (uint16_t)std::clamp(pen->x, 0, 65535);
    ev.pen.y = (uint16_t)std::clamp(pen->y, 0, 65535);
    ev.pen.pressure = pen->pressure;
    ev.pen.rotation = pen->rotation;
    ev.pen.tilt_x = pen->tilt_x;
    ev.pen.tilt_y = pen->tilt_y;
    app_dispatch(app, &ev);
}

int32_t VKO_WindowCreate(VKO_App *app, const char *title, const VKO_Frame *frame, int32_t index) {
    if (!app) return -1;
    if (index < 0 || index >= VKO_WINDOW_MAX || app->windows[index]) {
        index = -1;
        for (int32_t i = 0; i < VKO_WINDOW_MAX && index < 0; i++)
            if (!app->windows[i]) index = i;
    }
    if (index < 0) {
        VKO_Log("VKO_WindowCreate", "Maximum windows (VKO_WINDOW_MAX) of %u reached", VKO_WINDOW_MAX);
        return -1;
    }
    auto *w = (VKO_WindowRec *)VKO_Alloc(1, sizeof(VKO_WindowRec));
    if (!w) return -1;
    w->app = app;
    w->index = (uint8_t)index;
    w->serial = ++app->window_serial ? app->window_serial : ++app->window_serial;
    const VKO_Monitor *primary = monitor_for(app, nullptr);
    VKO_Monitor none = {"", 0, 0, 800, 600, 0, 0, 800, 600, 1, true};
    if (!primary) primary = &none;
    w->frame = frame ? sane_frame(*frame)
                     : vko_frame_from_metrics(0, 0, 800, 600, 1.0f, primary->w, primary->h, primary->scale);
    w->was_maximized = (w->frame.flags & VKO_FRAME_MAXIMIZED) != 0;
    const VKO_Monitor *mon = monitor_for(app, w->frame.screen);
    if (!mon) mon = &none;
    bool fullscreen = (w->frame.flags & VKO_FRAME_FULLSCREEN) != 0;
    bool hidden = (w->frame.flags & VKO_FRAME_HIDDEN) != 0;
    VKO_Extents ext = x11_extents(app, nullptr);
    VKO_Rect r =
        fullscreen ? VKO_Rect{mon->x, mon->y, mon->w, mon->h} : vko_frame_to_rect(&w->frame, mon, &ext);
    app->windows[index] = w;
    if (!x11_window_create(app, w, title && title[0] ? title : "VKO_Window", &r, false, fullscreen)) {
        app->windows[index] = nullptr;
        VKO_Free(w);
        return -1;
    }
    if (!fullscreen)
        x11_window_place(app, w, &r, mon, w->frame.flags);
    else if (!hidden)
        x11_window_show(app, w, true, false);
    if (!hidden) x11_window_focus(app, w);
    return index;
}

void VKO_WindowDestroy(VKO_App *app, int32_t index) {
    VKO_WindowRec *w = app_window(app, index);
    if (!w) return;
    if (w->focused) {
        if (app->grab_keyboard) app->grab_keyboard = false, app_bump(app);
        if (app->grab_mouse) app->grab_mouse = false, app_bump(app);
    }
    if (w->gfx) {
        VKO_Log("VKO_WindowDestroy", "Window destroyed with GFX still attached");
        // Released as detaching them would, so nothing stays bound to a
        // window that is gone.
        VKO_WindowSetGFX(app, index, VKO_GFX_NONE, false);
    }
    VKO_WebViewDestroy(app, index);
    x11_window_destroy(app, w);
    app->windows[index] = nullptr;
    VKO_Free(w);
}

bool VKO_WindowExists(VKO_App *app, int32_t index) {
    return app_window(app, index) != nullptr;
}

void *VKO_WindowGetNative(VKO_App *app, int32_t index) {
    VKO_WindowRec *w = app_window(app, index);
    return w ? (void *)(uintptr_t)w->xid : nullptr;
}

VKO_Frame VKO_WindowGetFrame(VKO_App *app, int32_t index) {
    VKO_WindowRec *w = app_window(app, index);
    VKO_Frame f;
    memset(&f, 0, sizeof(f));
    if (!w) return f;
    // Fullscreen is what the window is now, not what its last stored frame was.
    if (w->fullscreen) {
        f = w->frame;
        f.flags |= VKO_FRAME_FULLSCREEN;
        return f;
    }
    x11_flush(app);
    VKO_Monitor mons[16];
    const VKO_Monitor *mon = x11_window_monitor(app, w, mons, 16);
    if (!mon) return f;
    VKO_Rect r = w->have_normal ? w->normal : w->geom;
    return vko_rect_to_frame(&r, mon, w->maximized);
}

void VKO_WindowSetFrame(VKO_App *app, int32_t index, const VKO_Frame *frame) {
    VKO_WindowRec *w = app_window(app, index);
    if (!w || !frame) return;
    VKO_Frame f = sane_frame(*frame);
    if (f.flags & VKO_FRAME_FULLSCREEN) {
        w->frame = f;
        const VKO_Monitor *mon = monitor_for(app, f.screen);
        if (mon) x11_window_fullscreen(app, w, mon);
        return;
    }
    place_windowed(app, w, f);
}

void VKO_WindowSetFullscreen(VKO_App *app, int32_t index, bool fullscreen) {
    VKO_WindowRec *w = app_window(app, index);
    if (!w) return;
    bool is = w->fullscreen;
    if (fullscreen && !is) {
        VKO_Frame f = VKO_WindowGetFrame(app, index);
        f.flags |= VKO_FRAME_FULLSCREEN;
        VKO_WindowSetFrame(app, index, &f);
    } else if (!fullscreen && is) {
        w->frame.flags &= ~VKO_FRAME_FULLSCREEN;
        VKO_Frame f = w->frame;
        VKO_WindowSetFrame(app, index, &f);
    }
}

bool VKO_WindowIsFullscreen(VKO_App *app, int32_t index) {
    VKO_WindowRec *w = app_window(app, index);
    return w && w->fullscreen;
}

bool VKO_WindowIsVisible(VKO_App *app, int32_t index) {
    VKO_WindowRec *w = app_window(app, index);
    return w && w->mapped && !w->iconic;
}

void VKO_WindowActivate(VKO_App *app, int32_t index, bool active) {
    VKO_WindowRec *w = app_window(app, index);
    if (!w) return;
    if (active) {
        if (!VKO_WindowIsVisible(app, index)) x11_window_show(app, w, true, w->was_maximized);
        x11_window_focus(app, w);
    } else {
        w->focus_pending = false;
        w->was_maximized = w->maximized;
        x11_window_show(app, w, false, false);
    }
}

void VKO_WindowGetSize(VKO_App *app, int32_t index, uint32_t *width, uint32_t *height) {
    VKO_WindowRec *w = app_window(app, index);
    if (width) *width = w ? (uint32_t)w->geom.w : 0;
    if (height) *height = w ? (uint32_t)w->geom.h : 0;
}

void VKO_WindowGetScreenSize(VKO_App *app, int32_t index, uint32_t *width, uint32_t *height) {
    VKO_WindowRec *w = app_window(app, index);
    VKO_Monitor mons[16];
    const VKO_Monitor *mon = w ? x11_window_monitor(app, w, mons, 16) : nullptr;
    if (width) *width = mon ? (uint32_t)mon->w : 0;
    if (height) *height = mon ? (uint32_t)mon->h : 0;
}

float VKO_WindowGetScreenScale(VKO_App *app, int32_t index) {
    VKO_WindowRec *w = app_window(app, index);
    VKO_Monitor mons[16];
    const VKO_Monitor *mon = w ? x11_window_monitor(app, w, mons, 16) : nullptr;
    return mon && mon->scale > 0 ? mon->scale : 1.0f;
}

void VKO_WindowSetMinSize(VKO_App *app, int32_t index, uint32_t width, uint32_t height) {
    VKO_WindowRec *w = app_window(app, index);
    if (!w) return;
    VKO_Monitor mons[16];
    const VKO_Monitor *mon = x11_window_monitor(app, w, mons, 16);
    float s = mon && mon->scale > 0 ? mon->scale : 1.0f;
    w->min_w = (int32_t)std::min<double>(rnd(width * (double)s), 32767);
    w->min_h = (int32_t)std::min<double>(rnd(height * (double)s), 32767);
    x11_window_min_size(app, w);
}

void VKO_WindowMoveCursor(VKO_App *app, int32_t index, int32_t x, int32_t y) {
    VKO_WindowRec *w = app_window(app, index);
    if (!w) return;
    app->relative = false;
    app->abs_x = app->abs_y = 0xFFFFFFFFu;
    x11_window_warp(app, w, x, y);
    x11_apply_cursor(app, VKO_AppIsActive(app));
}

VKO_Frame VKO_MakeDefaultFrame(int32_t x, int32_t y, uint32_t width, uint32_t height, float max_height) {
    VKO_Monitor mons[16];
    size_t n = x11_monitors(nullptr, mons, 16);
    const VKO_Monitor *p = vko_monitor_find(mons, n, nullptr);
    VKO_Monitor none = {"", 0, 0, 1920, 1080, 0, 0, 1920, 1080, 1, true};
    if (!p) p = &none;
    return vko_frame_from_metrics(x, y, width, height, max_height, p->w, p->h, p->scale);
}

void VKO_AppSetTray(VKO_App *app, const char *tooltip, const VKO_TrayItem *items, uint32_t count) {
    if (!app || !app->windows[0]) return;
    VKO_AppRemoveTray(app);
    app->tray.wanted = true;
    app->tray.last_add = VKO_GetTime();
    if (items && count) {
        app->tray.items = (VKO_TrayEntry *)VKO_Alloc(count, sizeof(VKO_TrayEntry));
        for (uint32_t i = 0; app->tray.items && i < count; i++) {
            app->tray.items[i].label = VKO_Strdup(items[i].label ? items[i].label : "");
            app->tray.items[i].id = items[i].id;
            app->tray.items[i].checked = items[i].checked;
        }
        if (app->tray.items) app->tray.count = count;
    }
    // 128 UTF-16 units at most, cut on a character boundary.
    cut_text(tooltip, 128, app->tray.tooltip, sizeof(app->tray.tooltip));
    app->tray.shown = x11_tray_add(app);
    if (!app->tray.shown) VKO_Log("VKO_AppSetTray", "'Shell_NotifyIcon' failed");
}

void VKO_AppRemoveTray(VKO_App *app) {
    if (!app) return;
    for (uint32_t i = 0; i < app->tray.count; i++) VKO_Free(app->tray.items[i].label);
    VKO_Free(app->tray.items);
    if (app->tray.shown) x11_tray_remove(app);
    memset(&app->tray, 0, sizeof(app->tray));
}

void VKO_AppSendNotification(VKO_App *app, const char *title, const char *message) {
    if (!app || !app->windows[0] || (!title && !message)) return;
    // Title 64 and text 256 UTF-16 units, cut on character boundaries.
    char t[64 * 3 + 1], m[256 * 3 + 1];
    cut_text(title, 64, t, sizeof(t));
    cut_text(message, 256, m, sizeof(m));
    if (app->tray.shown) x11_tray_message(app, t, m);
}

void *VKO_CropImage(const void *rgba, uint32_t target_width, uint32_t target_height, uint32_t *width,
                    uint32_t *height) {
    if (!rgba || !width || !height || !*width || !*height) return nullptr;
    uint32_t w = *width, h = *height;
    double r = 1, sw = w, sh = h;
    if (w < target_width) {
        r = (double)target_width / w;
        sw = target_width;
        sh = std::nearbyint(h * r);
    }
    if (sh < target_height) {
        // Both steps scale the image, so their factors multiply.
        double r2 = target_height / sh;
        r *= r2;
        sh = target_height;
        sw = std::nearbyint(sw * r2);
    }
    uint32_t cut_x = 0, cut_y = 0;
    if (target_width && target_width < sw) cut_x = (uint32_t)std::nearbyint((sw - target_width) / r);
    if (target_height && target_height < sh) cut_y = (uint32_t)std::nearbyint((sh - target_height) / r);
    cut_x = std::min(cut_x, w);
    cut_y = std::min(cut_y, h);
    if (!cut_x && !cut_y) return nullptr;
    uint32_t nw = w - cut_x, nh = h - cut_y;
    auto *out = (uint8_t *)VKO_Alloc(nw && nh ? (size_t)nw * nh : 1, 4);
    if (!out) return nullptr;
    const auto *src = (const uint8_t *)rgba;
    for (uint32_t y = 0; y < nh; y++)
        memcpy(out + (size_t)y * nw * 4, src + ((size_t)(y + cut_y / 2) * w + cut_x / 2) * 4, (size_t)nw * 4);
    *width = nw;
    *height = nh;
    return out;
}
