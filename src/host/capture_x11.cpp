// The desktop duplication row on X11. One back-end record per started
// capture, with its own X connection.
//
// Threads: the encode thread owns the record and makes every call. The
// minimum frame rate thread shares three flags with it: `stop` (set by stop,
// read by the thread), `enabled` (set by set_min_framerate) and `timed_out`
// (set by a poll that waited in vain, cleared by the thread). Once per
// refresh of the output (`period_ns`, fixed before the thread starts) with
// `enabled` or `timed_out` set the thread raises `tick` and writes the wake
// descriptor, so the waiting poll delivers a frame even though nothing
// changed: what the 1 x 1 window presenting at each vertical blank achieves
// with a compositor. All four flags are atomics; nothing else is shared.
//
// A grab happens only when damage touched the monitor since the last one:
// a frame forced by a tick on a still screen hands out the texture as it is,
// which already holds the screen's pixels.
//
// The monitor's place and size are fixed for the record's life, as a
// duplication is for one mode: a RandR change of the screen, a CRTC or an
// output, or a monitor found elsewhere when its list is read again (a
// monitor set by a client sends no event, so the list is read once a
// second), makes every later poll fail, and the caller starts capture again.
// A monitor that reaches past the screen cannot be grabbed: start refuses
// it (-14005), so the caller tries another output or ends the stream.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "host/capture.h"
#include "host/d3d11_convert.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "platform/x11/error_trap.h"
#include "util/logger.h"

namespace {

struct MinFrameRateWindow {
    int32_t x, y;
    std::atomic<uint8_t> stop{0};
    std::atomic<uint8_t> enabled{0};
    std::atomic<uint8_t> timed_out{0};
    std::atomic<uint8_t> tick{0};
    int64_t period_ns = 1000000000 / 60;
    int wake_fd = -1;
    VKO_Thread *thread = nullptr;
};

struct CapX11 {
    uint8_t frame_held;
    uint32_t rotation;
    ID3D11Device *device;
    ID3D11Texture2D *texture;  // the monitor's pixels, in shared memory
    D3D11Converter *converter;
    MinFrameRateWindow *window;

    Display *dpy;
    Window root;
    int32_t x, y;
    uint32_t w, h;
    uint32_t refresh_mhz;  // of the output's mode; 0 when unknown
    bool shm;
    XShmSegmentInfo shminfo;
    XImage *image;
    Damage damage;
    int damage_event;
    int fixes_event;
    int randr_event;
    int xi_opcode;
    uint32_t monitor;    // index among the screen's monitors
    bool recheck;        // RandR reported a change: compare the monitor
    bool lost;           // the monitor moved or changed size since start
    int64_t last_check;  // when the monitor list was last read
    bool dirty;          // damage inside the monitor not yet captured
    bool grabbed;        // the texture holds a grab of the monitor
    uint64_t grabs;
    bool shape_changed;  // cursor image changed since the last poll
    unsigned long cursor_serial;
    int32_t px, py;  // pointer position at the last poll
    int64_t awake;   // when the screen saver was last reset
};

void log_setting(const char *key, const char *value) {
    log_message(LOG_LEVEL_DEBUG, "%-13s = %s", key, value);
}

void *min_framerate_thread(void *opaque) {
    MinFrameRateWindow *w = (MinFrameRateWindow *)opaque;
    int64_t next = VKO_GetTime();
    while (!w->stop.load()) {
        if (w->enabled.load() || w->timed_out.load()) {
            w->tick.store(1);
            uint64_t one = 1;
            if (write(w->wake_fd, &one, sizeof(one)) < 0) {
            }
        }
        w->timed_out.store(0);
        // One pass per refresh, in steps that see the stop flag soon.
        next += w->period_ns;
        int64_t now = VKO_GetTime();
        if (next < now) next = now;
        while (now < next && !w->stop.load()) {
            int64_t ms = (next - now + 999999) / 1000000;
            VKO_Sleep((uint32_t)(ms < 5 ? ms : 5));
            now = VKO_GetTime();
        }
    }
    return nullptr;
}

// Refresh rate of the monitor's first output in mHz, 0 when unknown.
uint32_t refresh_mhz(Display *dpy, Window root, unsigned long output) {
    if (!output) return 0;
    XRRScreenResources *res = XRRGetScreenResourcesCurrent(dpy, root);
    if (!res) return 0;
    uint32_t mhz = 0;
    XRROutputInfo *oi = XRRGetOutputInfo(dpy, res, output);
    XRRCrtcInfo *ci = oi && oi->crtc ? XRRGetCrtcInfo(dpy, res, oi->crtc) : nullptr;
    for (int i = 0; ci && i < res->nmode; i++) {
        const XRRModeInfo &m = res->modes[i];
        if (m.id == ci->mode && m.hTotal && m.vTotal)
            mhz = (uint32_t)((double)m.dotClock * 1000.0 / ((double)m.hTotal * m.vTotal));
    }
    if (ci) XRRFreeCrtcInfo(ci);
    if (oi) XRRFreeOutputInfo(oi);
    XRRFreeScreenResources(res);
    return mhz;
}

void window_free(MinFrameRateWindow **win) {
    MinFrameRateWindow *w = *win;
    if (!w) return;
    w->stop.store(1);
    if (w->thread) VKO_ThreadDestroy(&w->thread);
    if (w->wake_fd >= 0) close(w->wake_fd);
    delete w;
    *win = nullptr;
}

// Whether the rectangle lies inside the screen: only there can it be grabbed
// (a monitor set by a client may reach past the screen's edge).
bool on_screen(Display *dpy, Window root, int32_t x, int32_t y, uint32_t w, uint32_t h) {
    Window r;
    int rx, ry;
    unsigned int rw, rh, border, depth;
    if (!XGetGeometry(dpy, root, &r, &rx, &ry, &rw, &rh, &border, &depth)) return false;
    return x >= 0 && y >= 0 && (uint64_t)x + w <= rw && (uint64_t)y + h <= rh;
}

int32_t cap_dxgi_init(CapX11 *c, uint8_t, uint32_t adapter, uint32_t output) {
    c->dpy = XOpenDisplay(nullptr);
    if (!c->dpy) return CAPTURE_ERR_FACTORY;
    x11_outlive_server(c->dpy);
    X11ErrorTrap setup(c->dpy);
    if ((int)adapter >= ScreenCount(c->dpy)) return CAPTURE_ERR_ADAPTER;
    if (D3D11CreateDevice(&c->device) < 0) return CAPTURE_ERR_DEVICE;
    c->root = RootWindow(c->dpy, adapter);
    int ev, err, major, minor;
    if (!XRRQueryExtension(c->dpy, &c->randr_event, &err)) return CAPTURE_ERR_OUTPUT;
    c->monitor = output;
    std::vector<DisplayMonitor> mons = display_x11_monitors(c->dpy, (int)adapter);
    if (output >= mons.size()) return CAPTURE_ERR_OUTPUT;
    const DisplayMonitor &m = mons[output];
    c->x = m.x;
    c->y = m.y;
    c->w = m.width;
    c->h = m.height;
    c->rotation = 1;  // the root window already shows the picture turned: nothing left to turn
    c->refresh_mhz = refresh_mhz(c->dpy, c->root, m.output);
    // Refused rather than started to fail every poll.
    if (!c->w || !c->h || !on_screen(c->dpy, c->root, c->x, c->y, c->w, c->h)) {
        dxgi_log_error("DUPLICATE", (int32_t)0x80070057u);
        return CAPTURE_ERR_INVALID;
    }

    if (!XDamageQueryExtension(c->dpy, &c->damage_event, &err) ||
        !XFixesQueryExtension(c->dpy, &c->fixes_event, &err))
        return CAPTURE_ERR_UNAVAILABLE;
    if (XQueryExtension(c->dpy, "XInputExtension", &c->xi_opcode, &ev, &err)) {
        major = 2;
        minor = 0;
        if (XIQueryVersion(c->dpy, &major, &minor) != Success) c->xi_opcode = 0;
    }

    D3D11_TEXTURE2D_DESC d = {
        c->w, c->h, 1, 1, DXGI_FORMAT_B8G8R8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT, D3D11_BIND_SHADER_RESOURCE,
        0,    0};
    c->shm = XShmQueryExtension(c->dpy);
    if (c->shm) d.MiscFlags = D3D11_RESOURCE_MISC_SYSV_SHM;
    if (c->device->CreateTexture2D(&d, nullptr, &c->texture) < 0) return CAPTURE_ERR_DEVICE;

    int scr = (int)adapter;
    if (c->shm) {
        X11ErrorTrap trap(c->dpy);
        c->shminfo.shmid = c->texture->shm_id();
        c->shminfo.shmaddr = (char *)c->texture->data();
        c->shminfo.readOnly = False;
        c->image = XShmCreateImage(c->dpy, DefaultVisual(c->dpy, scr), DefaultDepth(c->dpy, scr), ZPixmap,
                                   c->shminfo.shmaddr, &c->shminfo, c->w, c->h);
        bool fits =
            c->image && c->image->bits_per_pixel == 32 && (uint32_t)c->image->bytes_per_line == c->w * 4;
        if (!fits || !XShmAttach(c->dpy, &c->shminfo) || trap.sync()) {
            // The server may not reach our segment (another machine or
            // user): fall back to plain image transfers.
            if (c->image) {
                c->image->data = nullptr;
                XDestroyImage(c->image);
                c->image = nullptr;
            }
            c->shm = false;
        }
    }
    if (!c->shm && (DefaultDepth(c->dpy, scr) != 24 && DefaultDepth(c->dpy, scr) != 32)) {
        dxgi_log_error("DUPLICATE", DefaultDepth(c->dpy, scr));
        return CAPTURE_ERR_FRAME;
    }
    log_setting("dxgi", c->shm ? "1.5" : "1.2");

    // Every damaged rectangle arrives as an event, so telling whether one
    // touches the monitor costs no round trip.
    c->damage = XDamageCreate(c->dpy, c->root, XDamageReportRawRectangles);
    XFixesSelectCursorInput(c->dpy, c->root, XFixesDisplayCursorNotifyMask);
    XRRSelectInput(c->dpy, c->root,
                   RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    c->last_check = VKO_GetTime();
    if (c->xi_opcode) {
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(bits, XI_RawMotion);
        XIEventMask mask = {XIAllMasterDevices, sizeof(bits), bits};
        XISelectEvents(c->dpy, c->root, &mask, 1);
    }
    c->dirty = true;  // the first poll delivers the screen as it is
    c->shape_changed = true;
    c->px = c->py = INT32_MIN;
    XSync(c->dpy, False);
    return 0;
}

// Handles queued events; true when something for this poll happened.
bool drain_events(CapX11 *c, bool *moved) {
    while (XPending(c->dpy)) {
        XEvent e;
        XNextEvent(c->dpy, &e);
        if (e.type == c->damage_event + XDamageNotify) {
            const XRectangle &r = ((XDamageNotifyEvent *)&e)->area;
            if (r.x < c->x + (int32_t)c->w && r.x + r.width > c->x && r.y < c->y + (int32_t)c->h &&
                r.y + r.height > c->y)
                c->dirty = true;
        } else if (e.type == c->fixes_event + XFixesCursorNotify) {
            c->shape_changed = true;
        } else if (e.type == c->randr_event + RRScreenChangeNotify || e.type == c->randr_event + RRNotify) {
            XRRUpdateConfiguration(&e);
            c->recheck = true;
        } else if (e.type == GenericEvent && e.xcookie.extension == c->xi_opcode) {
            *moved = true;
        }
    }
    return c->dirty || c->shape_changed || *moved || c->recheck;
}

// Whether the monitor still has the place and size capture started with,
// inside the screen (which may have shrunk under it).
bool monitor_unchanged(CapX11 *c) {
    int n = 0;
    XRRMonitorInfo *mons = XRRGetMonitors(c->dpy, c->root, True, &n);
    bool same = mons && (int)c->monitor < n && mons[c->monitor].x == c->x && mons[c->monitor].y == c->y &&
                (uint32_t)mons[c->monitor].width == c->w && (uint32_t)mons[c->monitor].height == c->h;
    if (mons) XRRFreeMonitors(mons);
    return same && on_screen(c->dpy, c->root, c->x, c->y, c->w, c->h);
}

// X cursors always arrive as colour pixels with alpha (premultiplied ARGB),
// so the colour branch of the conversion is the one taken here.
int32_t cap_dxgi_pointer_shape(CapX11 *c, uint8_t *cursor, CaptureFrame *frame) {
    uint8_t *hdr = frame->cursor_header;
    memset(hdr + 16, 0, 8);
    XFixesCursorImage *img = XFixesGetCursorImage(c->dpy);
    if (!img) return CAPTURE_ERR_FRAME;
    c->cursor_serial = img->cursor_serial;
    CursorShapeInfo info = {CURSOR_SHAPE_COLOR, img->width, img->height, img->xhot, img->yhot};
    uint32_t n = (uint32_t)img->width * img->height;
    if ((uint64_t)n * 4 > CAPTURE_CURSOR_BUFFER) info.width = info.height = n = 0;
    uint32_t *px = (uint32_t *)cursor;
    for (uint32_t i = 0; i < n; i++) px[i] = (uint32_t)img->pixels[i];  // in the low 32 bits of each long
    XFree(img);
    cap_cursor_shape_finish(&info, cursor, frame);
    return 0;
}

// Both requests have a reply: an error shows in the result (and reaches the
// process's handler, installed by cap_dxgi_init's trap), so no extra round trip
// is needed to see it.
bool grab(CapX11 *c) {
    if (c->shm) return XShmGetImage(c->dpy, c->root, c->image, c->x, c->y, AllPlanes) != 0;
    XImage *img = XGetImage(c->dpy, c->root, c->x, c->y, c->w, c->h, AllPlanes, ZPixmap);
    if (!img) return false;
    bool ok = img->bits_per_pixel == 32;
    for (uint32_t y = 0; ok && y < c->h; y++)
        memcpy(c->texture->data() + (size_t)y * c->texture->pitch(),
               img->data + (size_t)y * img->bytes_per_line, (size_t)c->w * 4);
    XDestroyImage(img);
    return ok;
}

}  // namespace

void cap_dxgi_stop(void **handle) {
    CapX11 *c = handle ? (CapX11 *)*handle : nullptr;
    if (!c) return;
    c->frame_held = 0;
    window_free(&c->window);
    d3d11_convert_destroy(&c->converter);
    if (c->dpy) {
        if (c->image) {
            XShmDetach(c->dpy, &c->shminfo);
            c->image->data = nullptr;
            XDestroyImage(c->image);
        }
        if (c->damage) XDamageDestroy(c->dpy, c->damage);
        XCloseDisplay(c->dpy);
    }
    d3d_release(&c->texture);
    d3d_release(&c->device);
    delete c;
    *handle = nullptr;
}

int32_t cap_dxgi_start(void **handle, uint8_t ten_bit, uint8_t, const DisplayOutput *display) {
    cap_dxgi_stop(handle);
    CapX11 *c = new CapX11();
    *handle = c;
    int32_t r = cap_dxgi_init(c, ten_bit, display->adapter_index, display->output_index);
    if (r != 0) {
        cap_dxgi_stop(handle);
        return r;
    }
    MinFrameRateWindow *w = new MinFrameRateWindow();
    w->x = display->left;
    w->y = display->top;
    // Presenting waits for the vertical blank: one frame per refresh.
    uint32_t mhz = c->refresh_mhz >= 1000 && c->refresh_mhz <= 1000000 ? c->refresh_mhz : 60000;
    w->period_ns = (int64_t)1000000000000 / mhz;
    w->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (w->wake_fd >= 0) w->thread = VKO_ThreadCreate(min_framerate_thread, w);
    if (!w->thread) window_free(&w);
    c->window = w;
    return 0;
}

int32_t cap_dxgi_poll(void *handle, uint32_t timeout_ms, uint8_t *cursor, CaptureFrame *frame) {
    CapX11 *c = (CapX11 *)handle;
    c->frame_held = 0;
    bool moved = false;
    int64_t deadline = VKO_GetTime() + (int64_t)timeout_ms * 1000000;
    bool ready = drain_events(c, &moved), forced = false;  // forced: a frame to hand out
    while (!ready) {
        if (c->window && c->window->tick.exchange(0)) {
            forced = true;
            break;
        }
        int64_t left = (deadline - VKO_GetTime()) / 1000000;
        if (left <= 0) break;
        pollfd fds[2] = {{ConnectionNumber(c->dpy), POLLIN, 0},
                         {c->window ? c->window->wake_fd : -1, POLLIN, 0}};
        ::poll(fds, 2, (int)left);
        if (fds[1].revents & POLLIN) {
            uint64_t v;
            if (read(fds[1].fd, &v, sizeof(v)) < 0) {
            }
        }
        ready = drain_events(c, &moved);
    }
    frame->time = (uint64_t)VKO_GetTime();
    if (!c->lost && (c->recheck || (int64_t)frame->time - c->last_check >= 1000 * (int64_t)1000000)) {
        c->recheck = false;
        c->last_check = (int64_t)frame->time;
        c->lost = !monitor_unchanged(c);
    }
    if (c->lost) {
        // As a duplication lost to a mode change: the caller starts again.
        memset(frame, 0, sizeof(*frame));
        dxgi_log_error("FRAME", DXGI_ERROR_ACCESS_LOST);
        return CAPTURE_ERR_FRAME;
    }
    // Keeps the display from blanking while it is captured.
    if ((int64_t)frame->time - c->awake >= 10000 * (int64_t)1000000) {
        XResetScreenSaver(c->dpy);
        c->awake = (int64_t)frame->time;
    }
    if (moved) {
        Window r, ch;
        int rx, ry, wx, wy;
        unsigned int mask;
        XQueryPointer(c->dpy, c->root, &r, &ch, &rx, &ry, &wx, &wy, &mask);
        moved = rx != c->px || ry != c->py;
        c->px = rx;
        c->py = ry;
    }
    if (!ready && !forced) {
        if (c->window) c->window->timed_out.store(1);
        return 0;
    }
    if (c->dirty || (forced && !c->grabbed)) {
        if (!grab(c)) {
            memset(frame, 0, sizeof(*frame));
            dxgi_log_error("FRAME", CAPTURE_ERR_FRAME);
            return CAPTURE_ERR_FRAME;
        }
        c->dirty = false;
        c->grabbed = true;
        c->grabs++;
        forced = true;
    }
    if (forced) {
        c->frame_held = 1;
        frame->new_frame = 1;
    }
    frame->rotation = c->rotation;
    frame->cursor_updated = moved || c->shape_changed;
    if (c->shape_changed) {
        c->shape_changed = false;
        return cap_dxgi_pointer_shape(c, cursor, frame);
    }
    return 0;
}

ID3D11Device *cap_dxgi_get_device(void *handle) {
    return ((CapX11 *)handle)->device;
}

int32_t cap_dxgi_get_texture(void *handle, uint32_t format, ID3D11Texture2D **out) {
    CapX11 *c = (CapX11 *)handle;
    // Never hand back what an earlier call left in the caller's variable.
    *out = nullptr;
    if (format == CAPTURE_FORMAT_ASIS) {
        *out = c->texture;
    } else if (format == CAPTURE_FORMAT_NV12) {
        if (!c->converter && d3d11_convert_create(&c->converter, c->device, nullptr, c->w, c->h, false) < 0)
            return CAPTURE_ERR_TEXTURE;
        d3d11_convert_draw(c->converter, nullptr, c->texture, D3D11_CONVERT_NV12);
        if (c->converter->nv12_available) *out = c->converter->nv12_opened;
    }
    return *out ? 0 : CAPTURE_ERR_TEXTURE;
}

void cap_dxgi_get_desc(void *handle, uint16_t *width, uint16_t *height, uint32_t *format) {
    CapX11 *c = (CapX11 *)handle;
    *width = (uint16_t)c->w;
    *height = (uint16_t)c->h;
    D3D11_TEXTURE2D_DESC d;
    c->texture->GetDesc(&d);
    if (d.Format == DXGI_FORMAT_R8G8B8A8_UNORM) {
        *format = CAPTURE_FORMAT_RGBA;
        log_setting("format", "RGBA");
    } else if (d.Format == DXGI_FORMAT_R10G10B10A2_UNORM) {
        *format = CAPTURE_FORMAT_RGBA10;
        log_setting("format", "RGBA10");
    } else {
        *format = CAPTURE_FORMAT_BGRA;
        log_setting("format", "BGRA");
    }
}

int32_t cap_dxgi_get_cursor(void *handle, int32_t *x, int32_t *y, uint8_t *hidden, uint8_t *suppressed) {
    CapX11 *c = (CapX11 *)handle;
    Window r, ch;
    int rx, ry, wx, wy;
    unsigned int mask;
    if (!XQueryPointer(c->dpy, c->root, &r, &ch, &rx, &ry, &wx, &wy, &mask)) return 0;
    *x = rx;
    *y = ry;
    *hidden = 0;
    *suppressed = 0;
    return 1;
}

uint64_t cap_dxgi_grabs(void *handle) {
    return ((CapX11 *)handle)->grabs;
}

void cap_dxgi_set_min_framerate(void *handle, uint8_t on) {
    CapX11 *c = (CapX11 *)handle;
    if (c->window) c->window->enabled.store(on);
}
