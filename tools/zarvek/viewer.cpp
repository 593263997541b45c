// The client's windows: an app object run on a thread of its own, one
// window per display beside the streamed area, and a render thread per window
// that decodes what arrives and draws it. Screenshots of the windows, compared
// with the painted displays.
//
// Threads: the UI thread makes the windows and runs the app until `running`
// turns false; the main thread waits for `ready` (atomic) before it reads the
// windows, starts and stops the renderers, and takes the screenshots. The
// client's video receiver pushes frames into the renderers (client_render_push
// is theirs to serialise); a renderer asking for a key frame calls back on its
// own thread into the client (under the instance's client lock).
#include "viewer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "client/render.h"
#include "connection/instance.h"
#include "host/host.h"
#include "input.h"
#include "platform/app.h"
#include "platform/gfx/gfx.h"
#include "platform/image.h"
#include "platform/memory.h"
#include "platform/window.h"
#include "signals.h"
#include "timeline.h"

// After the others: Xlib defines None.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace zv {

using namespace std::chrono_literals;

Viewer g_viewer;

namespace {

bool viewer_frame(void *) {
    std::this_thread::sleep_for(5ms);
    return g_viewer.running.load();
}
void viewer_event(const VKO_Event *, void *) {}

double psnr_of(double se, double n) {
    return se <= 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * n / se);
}

// A client window that had to drop units with no key frame queued asks the
// host for one: the stream's capability word (this client announces none,
// so 0) with c set restarts that stream's encoder, which starts with a key
// frame.
struct KeyRequest {
    ZarvekInstance *client;
    uint32_t stream;
};
KeyRequest g_key_requests[kMaxDisplays];

void request_key_frame(void *o) {
    auto *k = static_cast<KeyRequest *>(o);
    client_send(k->client, ControlHeader{k->stream, 0, 1, MSG_CAPS});
}

}  // namespace

// Windows right of the streamed displays, stacked, half their size; on a
// desktop of the user's own they go where its window manager puts them.
bool viewer_start(const Options &o, bool own_display) {
    g_viewer.width = std::max(1u, g_timeline.outputs[0].width / 2);
    g_viewer.height = std::max(1u, g_timeline.outputs[0].height / 2);
    g_viewer.ui = std::thread([&o, own_display] {
        g_viewer.app = VKO_AppCreate(0, viewer_frame, viewer_event, nullptr);
        bool ok = g_viewer.app != nullptr;
        for (uint32_t k = 0; ok && k < o.displays; k++) {
            VKO_Frame f = {0, g_viewer.width, g_viewer.height, "", 0, 0};
            if (own_display) {
                f.x = static_cast<int32_t>(o.width * o.displays);
                f.y = static_cast<int32_t>(k * g_viewer.height);
            }
            char title[64];
            std::snprintf(title, sizeof title, "zarvek client: display %u", k);
            g_viewer.windows[k] = VKO_WindowCreate(g_viewer.app, title, &f, static_cast<int32_t>(k));
            ok = g_viewer.windows[k] >= 0;
        }
        g_viewer.ready = ok ? 1 : -1;
        if (ok) VKO_AppRun(g_viewer.app);
        while (g_viewer.running.load()) std::this_thread::sleep_for(5ms);
        if (g_viewer.app) VKO_AppDestroy(&g_viewer.app);
    });
    while (g_viewer.ready.load() == 0) std::this_thread::sleep_for(1ms);
    if (g_viewer.ready.load() < 0) return false;
    uint32_t order[2] = {VKO_GFX_D3D11, VKO_GFX_VULKAN};
    if (o.gfx == "d3d12") order[0] = VKO_GFX_D3D12;
    if (o.gfx == "vulkan") order[0] = VKO_GFX_VULKAN;
    bool fallback = o.gfx == "auto";
    for (uint32_t k = 0; k < o.displays; k++) {
        // Linear filtering: the half-size window averages the picture.
        g_viewer.render[k] = client_render_start(g_viewer.app, g_viewer.windows[k], order[0], false, 1);
        if (!g_viewer.render[k] && fallback)
            g_viewer.render[k] = client_render_start(g_viewer.app, g_viewer.windows[k], order[1], false, 1);
        if (!g_viewer.render[k]) return false;
    }
    return true;
}

void viewer_stop() {
    for (ClientRender *&r : g_viewer.render) client_render_stop(&r);
    g_viewer.running = false;
    if (g_viewer.ui.joinable()) g_viewer.ui.join();
}

unsigned long viewer_window(uint32_t k) {
    return static_cast<unsigned long>(
        reinterpret_cast<uintptr_t>(VKO_WindowGetNative(g_viewer.app, g_viewer.windows[k])));
}

const char *gfx_name(uint32_t api) {
    return api == VKO_GFX_VULKAN  ? "Vulkan"
           : api == VKO_GFX_D3D11 ? "Direct3D 11"
           : api == VKO_GFX_D3D12 ? "Direct3D 12"
                                  : "none";
}

uint32_t g_pictures_not_written = 0;

namespace {

void not_written(const std::string &path, const char *why) {
    std::fprintf(stderr, "zarvek: cannot write %s: %s\n", path.c_str(), why);
    g_pictures_not_written++;
}

// A full disk shows at a write or only when the buffer is flushed at close.
bool write_png(const std::string &path, const uint8_t *rgba, uint32_t w, uint32_t h) {
    size_t size = 0;
    void *png = VKO_CompressImage(VKO_IMAGE_PNG, rgba, w, h, &size);
    if (!png) {
        not_written(path, "the picture could not be compressed");
        return false;
    }
    errno = 0;
    FILE *f = std::fopen(path.c_str(), "wb");
    bool ok = f && std::fwrite(png, 1, size, f) == size;
    int err = errno;
    if (f && std::fclose(f) != 0 && ok) {
        ok = false;
        err = errno;
    }
    VKO_Free(png);
    if (!ok) not_written(path, std::strerror(err ? err : EIO));
    return ok;
}

}  // namespace

std::vector<uint8_t> grab_rgb(Display *dpy, Window w, int x, int y, uint32_t width, uint32_t height) {
    std::vector<uint8_t> rgb;
    XImage *img = XGetImage(dpy, w, x, y, width, height, AllPlanes, ZPixmap);
    if (!img) return rgb;
    rgb.resize(size_t(width) * height * 3);
    for (uint32_t j = 0; j < height; j++)
        for (uint32_t i = 0; i < width; i++) {
            unsigned long p = XGetPixel(img, static_cast<int>(i), static_cast<int>(j));
            uint8_t *o = &rgb[(size_t(j) * width + i) * 3];
            o[0] = static_cast<uint8_t>(p >> 16), o[1] = static_cast<uint8_t>(p >> 8),
            o[2] = static_cast<uint8_t>(p);
        }
    XDestroyImage(img);
    return rgb;
}

Likeness viewer_screenshot(uint32_t k, const std::string &path) {
    Likeness out;
    Display *dpy = g_viewer.app ? open_display() : nullptr;
    if (!dpy) {
        not_written(path, "the window could not be read");
        return out;
    }
    const Window win = viewer_window(k);
    const uint32_t w = g_viewer.width, h = g_viewer.height;
    std::vector<uint8_t> shot = grab_rgb(dpy, win, 0, 0, w, h);
    const DisplayOutput &o = g_timeline.outputs[k];
    std::vector<uint8_t> src = grab_rgb(dpy, DefaultRootWindow(dpy), o.left, o.top, w * 2, h * 2);
    XCloseDisplay(dpy);
    if (shot.empty() || src.empty()) {
        not_written(path, "the window could not be read");
        return out;
    }
    std::vector<uint8_t> rgba(size_t(w) * h * 4);
    double se = 0, se_luma = 0;
    const double kr[3] = {0.2126, 0.7152, 0.0722};
    for (uint32_t j = 0; j < h; j++)
        for (uint32_t i = 0; i < w; i++) {
            double luma_want = 0, luma_got = 0;
            for (int c = 0; c < 3; c++) {
                auto at = [&](uint32_t x, uint32_t y) { return src[(size_t(y) * w * 2 + x) * 3 + c]; };
                double want = (at(2 * i, 2 * j) + at(2 * i + 1, 2 * j) + at(2 * i, 2 * j + 1) +
                               at(2 * i + 1, 2 * j + 1)) /
                              4.0;
                uint8_t got = shot[(size_t(j) * w + i) * 3 + c];
                se += (got - want) * (got - want);
                luma_want += kr[c] * want;
                luma_got += kr[c] * got;
                rgba[(size_t(j) * w + i) * 4 + c] = got;
            }
            rgba[(size_t(j) * w + i) * 4 + 3] = 255;
            se_luma += (luma_got - luma_want) * (luma_got - luma_want);
        }
    out.written = write_png(path, rgba.data(), w, h);
    out.psnr = psnr_of(se, double(w) * h * 3);
    out.luma_psnr = psnr_of(se_luma, double(w) * h);
    return out;
}

void viewer_ask_key_frames(ZarvekInstance *client) {
    for (uint32_t k = 0; k < kMaxDisplays; k++) {
        g_key_requests[k] = {client, k};
        client_render_set_key_request(g_viewer.render[k], client ? request_key_frame : nullptr,
                                      &g_key_requests[k]);
    }
}

bool save_png(const std::string &path, const std::vector<uint8_t> &rgb, uint32_t w, uint32_t h) {
    if (rgb.size() != size_t(w) * h * 3) {
        not_written(path, "the window could not be read");
        return false;
    }
    std::vector<uint8_t> rgba(size_t(w) * h * 4, 255);
    for (size_t i = 0; i < size_t(w) * h; i++) std::memcpy(&rgba[i * 4], &rgb[i * 3], 3);
    return write_png(path, rgba.data(), w, h);
}

}  // namespace zv
