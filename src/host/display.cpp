#include "host/display.h"

#include <X11/Xatom.h>
#include <X11/extensions/Xrandr.h>
#include <pulse/pulseaudio.h>
#define VK_NO_PROTOTYPES
#include <vulkan/vulkan.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <string>

#include "platform/file.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "platform/x11/error_trap.h"
#include "platform/x11/scale.h"
#include "util/logger.h"

namespace {

const uint32_t kLadderSizes[][2] = {{3840, 2160}, {3840, 1600}, {3440, 1440}, {2560, 1600}, {2560, 1440},
                                    {2560, 1080}, {1920, 1200}, {1920, 1080}, {1680, 1050}, {1600, 1200},
                                    {1366, 768},  {1280, 1024}, {1280, 800},  {1280, 720},  {1024, 768}};
const uint32_t kLadderRates[] = {240, 144, 120, 100, 75, 60, 59, 30};

// Names longer than their field are cut, as the records' fixed sizes intend.
void copy_text(char *dst, size_t size, const char *src) {
    if (size == 0) return;
    size_t n = src ? strnlen(src, size - 1) : 0;
    if (n) memcpy(dst, src, n);
    dst[n] = 0;
}

uint32_t mode_rate(const XRRModeInfo &m) {
    double total = (double)m.hTotal * m.vTotal;
    return total > 0 ? (uint32_t)std::lround(m.dotClock / total) : 0;
}

const XRRModeInfo *find_mode(const XRRScreenResources *res, RRMode id) {
    for (int i = 0; i < res->nmode; i++)
        if (res->modes[i].id == id) return &res->modes[i];
    return nullptr;
}

uint32_t orientation_of(Rotation r) {
    switch (r & 0xF) {
        case RR_Rotate_90:
            return 1;
        case RR_Rotate_180:
            return 2;
        case RR_Rotate_270:
            return 3;
        default:
            return 0;
    }
}

Rotation rotation_of(uint32_t orientation) {
    static const Rotation r[] = {RR_Rotate_0, RR_Rotate_90, RR_Rotate_180, RR_Rotate_270};
    return r[orientation & 3];
}

// An X connection with the screen resources, for one call.
struct XSession {
    Display *dpy = nullptr;
    Window root = 0;
    XRRScreenResources *res = nullptr;
    explicit XSession(int screen = -1) {
        dpy = XOpenDisplay(nullptr);
        if (!dpy) return;
        x11_outlive_server(dpy);
        int ev, err;
        if (!XRRQueryExtension(dpy, &ev, &err)) return;
        root = RootWindow(dpy, screen < 0 ? DefaultScreen(dpy) : screen);
        res = XRRGetScreenResourcesCurrent(dpy, root);
    }
    ~XSession() {
        if (res) XRRFreeScreenResources(res);
        if (dpy) XCloseDisplay(dpy);
    }
};

// The RandR output a device name stands for: an output name, or a monitor
// name (its first output). Null: the primary monitor, else the first.
RROutput find_output(XSession &x, const char *name) {
    if (!x.res) return 0;
    for (int i = 0; name && i < x.res->noutput; i++) {
        XRROutputInfo *info = XRRGetOutputInfo(x.dpy, x.res, x.res->outputs[i]);
        bool match = info && !strcmp(info->name, name);
        if (info) XRRFreeOutputInfo(info);
        if (match) return x.res->outputs[i];
    }
    int n = 0;
    XRRMonitorInfo *mons = XRRGetMonitors(x.dpy, x.root, True, &n);
    RROutput out = 0;
    int pick = -1;
    for (int i = 0; mons && i < n && pick < 0; i++) {
        if (!name) {
            if (mons[i].primary) pick = i;
            continue;
        }
        char *mname = XGetAtomName(x.dpy, mons[i].name);
        if (mname && !strcmp(mname, name)) pick = i;
        if (mname) XFree(mname);
    }
    if (pick < 0 && !name && n > 0) pick = 0;
    if (pick >= 0 && mons[pick].noutput > 0) out = mons[pick].outputs[0];
    if (mons) XRRFreeMonitors(mons);
    return out;
}

bool current_mode(XSession &x, RROutput output, DisplayMode *m) {
    XRROutputInfo *info = XRRGetOutputInfo(x.dpy, x.res, output);
    bool ok = false;
    if (info && info->crtc) {
        XRRCrtcInfo *crtc = XRRGetCrtcInfo(x.dpy, x.res, info->crtc);
        const XRRModeInfo *mi = crtc ? find_mode(x.res, crtc->mode) : nullptr;
        if (mi) {
            *m = {sizeof(DisplayMode), DISPLAY_FIELDS, orientation_of(crtc->rotation),
                  crtc->width,         crtc->height,   mode_rate(*mi)};
            ok = true;
        }
        if (crtc) XRRFreeCrtcInfo(crtc);
    }
    if (info) XRRFreeOutputInfo(info);
    return ok;
}

bool same_mode(const DisplayMode &a, const DisplayMode &b) {
    return a.dmPelsWidth == b.dmPelsWidth && a.dmPelsHeight == b.dmPelsHeight &&
           a.dmDisplayFrequency == b.dmDisplayFrequency && a.dmDisplayOrientation == b.dmDisplayOrientation;
}

// The output's mode that gives the wanted size (sides swapped for quarter
// turns) at the wanted rate (any rate when 0); 0 when it has none.
RRMode pick_mode(XSession &x, XRROutputInfo *info, const DisplayMode &want) {
    bool turned = want.dmDisplayOrientation & 1;
    uint32_t w = turned ? want.dmPelsHeight : want.dmPelsWidth,
             h = turned ? want.dmPelsWidth : want.dmPelsHeight;
    for (int i = 0; i < info->nmode; i++) {
        const XRRModeInfo *mi = find_mode(x.res, info->modes[i]);
        if (mi && mi->width == w && mi->height == h &&
            (want.dmDisplayFrequency == 0 || mode_rate(*mi) == want.dmDisplayFrequency))
            return mi->id;
    }
    return 0;
}

// Applies a mode to the output's CRTC, growing the screen first or
// shrinking it after so that every CRTC always fits.
int32_t apply_mode(XSession &x, RROutput output, const DisplayMode &want) {
    XRROutputInfo *info = XRRGetOutputInfo(x.dpy, x.res, output);
    if (!info || !info->crtc) {
        if (info) XRRFreeOutputInfo(info);
        return DISPLAY_ERR_FAILED;
    }
    RRMode mode = pick_mode(x, info, want);
    XRRCrtcInfo *crtc = XRRGetCrtcInfo(x.dpy, x.res, info->crtc);
    int minw, minh, maxw, maxh;
    XRRGetScreenSizeRange(x.dpy, x.root, &minw, &minh, &maxw, &maxh);
    int32_t result = 0;
    // The screen must hold every CRTC with this one at its new size.
    int need_w = crtc->x + (int)want.dmPelsWidth, need_h = crtc->y + (int)want.dmPelsHeight;
    for (int i = 0; i < x.res->ncrtc; i++) {
        if (x.res->crtcs[i] == info->crtc) continue;
        XRRCrtcInfo *c = XRRGetCrtcInfo(x.dpy, x.res, x.res->crtcs[i]);
        if (c && c->mode) {
            need_w = std::max(need_w, c->x + (int)c->width);
            need_h = std::max(need_h, c->y + (int)c->height);
        }
        if (c) XRRFreeCrtcInfo(c);
    }
    if (!mode || need_w > maxw || need_h > maxh ||
        !(crtc->rotations & rotation_of(want.dmDisplayOrientation))) {
        result = DISPLAY_ERR_BADMODE;
    } else {
        X11ErrorTrap trap(x.dpy);
        int sw = DisplayWidth(x.dpy, DefaultScreen(x.dpy)), sh = DisplayHeight(x.dpy, DefaultScreen(x.dpy));
        int mmw = DisplayWidthMM(x.dpy, DefaultScreen(x.dpy)),
            mmh = DisplayHeightMM(x.dpy, DefaultScreen(x.dpy));
        auto resize = [&](int w, int h) {
            int wmm = sw > 0 && mmw > 0 ? (int)((double)w * mmw / sw) : w * 254 / 960;
            int hmm = sh > 0 && mmh > 0 ? (int)((double)h * mmh / sh) : h * 254 / 960;
            XRRSetScreenSize(x.dpy, x.root, w, h, wmm > 0 ? wmm : 1, hmm > 0 ? hmm : 1);
        };
        XGrabServer(x.dpy);
        if (need_w > sw || need_h > sh) resize(std::max(need_w, sw), std::max(need_h, sh));
        Status st = XRRSetCrtcConfig(x.dpy, x.res, info->crtc, CurrentTime, crtc->x, crtc->y, mode,
                                     rotation_of(want.dmDisplayOrientation), crtc->outputs, crtc->noutput);
        if (st == RRSetConfigSuccess && (need_w != sw || need_h != sh)) resize(need_w, need_h);
        XUngrabServer(x.dpy);
        if (st != RRSetConfigSuccess || trap.sync()) result = DISPLAY_ERR_FAILED;
    }
    XRRFreeCrtcInfo(crtc);
    XRRFreeOutputInfo(info);
    return result;
}

}  // namespace

std::vector<DisplayMonitor> display_x11_monitors(Display *dpy, int screen) {
    std::vector<DisplayMonitor> out;
    int n = 0;
    XRRMonitorInfo *mons = XRRGetMonitors(dpy, RootWindow(dpy, screen), True, &n);
    XRRScreenResources *res = n > 0 ? XRRGetScreenResourcesCurrent(dpy, RootWindow(dpy, screen)) : nullptr;
    for (int i = 0; mons && i < n; i++) {
        DisplayMonitor m = {mons[i].x, mons[i].y, (uint32_t)mons[i].width, (uint32_t)mons[i].height, {},
                            0,         0};
        char *name = XGetAtomName(dpy, mons[i].name);
        copy_text(m.name, sizeof(m.name), name);
        if (name) XFree(name);
        if (mons[i].noutput > 0) m.output = mons[i].outputs[0];
        XRROutputInfo *info = m.output && res ? XRRGetOutputInfo(dpy, res, m.output) : nullptr;
        XRRCrtcInfo *crtc = info && info->crtc ? XRRGetCrtcInfo(dpy, res, info->crtc) : nullptr;
        if (crtc) m.orientation = orientation_of(crtc->rotation);
        if (crtc) XRRFreeCrtcInfo(crtc);
        if (info) XRRFreeOutputInfo(info);
        out.push_back(m);
    }
    if (res) XRRFreeScreenResources(res);
    if (mons) XRRFreeMonitors(mons);
    return out;
}

uint32_t display_adapter_get_all(DisplayOutput outputs[DISPLAY_MAX_OUTPUTS]) {
    Display *dpy = XOpenDisplay(nullptr);
    if (!dpy) return 0;
    x11_outlive_server(dpy);
    int ev, err;
    uint32_t count = 0;
    bool randr = XRRQueryExtension(dpy, &ev, &err);
    for (int i = 0; randr && i < ScreenCount(dpy) && count < DISPLAY_MAX_OUTPUTS; i++) {
        // The adapter is described by the screen's first RandR provider.
        std::string name, adapter_id;
        XRRProviderResources *prov = XRRGetProviderResources(dpy, RootWindow(dpy, i));
        XRRScreenResources *res = XRRGetScreenResourcesCurrent(dpy, RootWindow(dpy, i));
        if (prov && prov->nproviders > 0 && res) {
            XRRProviderInfo *pi = XRRGetProviderInfo(dpy, res, prov->providers[0]);
            if (pi) {
                name = pi->name;
                char idtext[48];
                snprintf(idtext, sizeof(idtext), "%lu%ld", (unsigned long)prov->providers[0], (long)i);
                adapter_id = idtext;
                XRRFreeProviderInfo(pi);
            }
        }
        if (res) XRRFreeScreenResources(res);
        if (prov) XRRFreeProviderResources(prov);
        if (name.empty()) {
            name = "Unknown Adapter";
            char label[300];
            snprintf(label, sizeof(label), "[%d] Unknown Adapter", i + 1);
            adapter_id = std::to_string(VKO_DJB2(label));
        }
        std::vector<DisplayMonitor> mons = display_x11_monitors(dpy, i);
        for (uint32_t j = 0; j < mons.size() && count < DISPLAY_MAX_OUTPUTS; j++) {
            DisplayOutput &o = outputs[count++];
            memset(&o, 0, sizeof(o));
            o.adapter_index = (uint32_t)i;
            o.output_index = j;
            copy_text(o.adapter_name, sizeof(o.adapter_name), name.c_str());
            const DisplayMonitor &m = mons[j];
            copy_text(o.device_name, sizeof(o.device_name), m.name);
            o.left = m.x;
            o.top = m.y;
            o.right = m.x + (int32_t)m.width;
            o.bottom = m.y + (int32_t)m.height;
            o.width = m.width;
            o.height = m.height;
            char label[300];
            if (m.name[0]) {
                copy_text(o.name, sizeof(o.name), m.name);
                snprintf(label, sizeof(label), "[%u] %s", j + 1, o.name);
            } else {
                // A monitor whose name the server would not give.
                copy_text(o.name, sizeof(o.name), "Unknown Output");
                snprintf(label, sizeof(label), "[%d] Unknown Output", (int)j + 1);
            }
            snprintf(o.id, sizeof(o.id), "%s-%u", adapter_id.c_str(), VKO_DJB2(label));
        }
    }
    XCloseDisplay(dpy);
    return count;
}

DisplayMode *display_mode_get(const char *device_name) {
    DisplayMode *m = (DisplayMode *)VKO_Alloc(1, sizeof(DisplayMode));
    XSession x;
    RROutput out = x.res ? find_output(x, device_name) : 0;
    if (!out || !current_mode(x, out, m)) *m = {sizeof(DisplayMode), DISPLAY_FIELDS, 0, 1920, 1080, 60};
    return m;
}

int32_t display_mode_set(const char *device_name, const DisplayMode *mode) {
    if (!mode) return DISPLAY_ERR_BADMODE;
    XSession x;
    RROutput out = x.res ? find_output(x, device_name) : 0;
    DisplayMode cur;
    if (out && current_mode(x, out, &cur) && same_mode(cur, *mode)) return 0;
    if (!out) return DISPLAY_ERR_FAILED;
    int32_t r = apply_mode(x, out, *mode);
    if (r == 0) {
        log_message(LOG_LEVEL_INFO, "%-13s = %d", "display_x", (int)mode->dmPelsWidth);
        log_message(LOG_LEVEL_INFO, "%-13s = %d", "display_y", (int)mode->dmPelsHeight);
        log_message(LOG_LEVEL_INFO, "%-13s = %d", "display_hz", (int)mode->dmDisplayFrequency);
    }
    return r;
}

int32_t display_mode_change(const char *device_name, uint32_t width, uint32_t height, uint32_t hz,
                            const DisplayMode *saved_mode, uint32_t fallback_width, uint32_t fallback_height,
                            uint8_t rotated, uint8_t retry) {
    if (!saved_mode) return DISPLAY_ERR_FAILED;
    DisplayMode *cur = nullptr;
    {
        XSession x;
        RROutput out = x.res ? find_output(x, device_name) : 0;
        DisplayMode m;
        if (!out || !current_mode(x, out, &m)) return DISPLAY_ERR_FAILED;
        cur = (DisplayMode *)VKO_Dup(&m, sizeof(m));
    }
    auto unset = [](uint32_t v) { return v == 0 || v == 65535; };
    uint32_t w = width ? width : fallback_width, h = height ? height : fallback_height;
    if (unset(w) || unset(h)) {
        w = saved_mode->dmPelsWidth;
        h = saved_mode->dmPelsHeight;
    }
    uint32_t f = unset(hz) ? 60 : hz;
    auto make = [&](uint32_t mw, uint32_t mh, uint32_t mf) {
        DisplayMode m = {sizeof(DisplayMode), DISPLAY_FIELDS, rotated ? 1u : 0u, mw, mh, mf};
        if (rotated) std::swap(m.dmPelsWidth, m.dmPelsHeight);
        return m;
    };
    DisplayMode m = make(w, h, f);
    int32_t r = display_mode_set(device_name, &m);
    for (int i = 0; r != 0 && retry && i < 5; i++) {
        VKO_Sleep(100);
        r = display_mode_set(device_name, &m);
    }
    if (r != 0) {
        uint32_t lw = width ? width : fallback_width, lh = height ? height : fallback_height;
        if (unset(lw)) lw = cur->dmPelsWidth;
        if (unset(lh)) lh = cur->dmPelsHeight;
        uint32_t lr = unset(hz) ? cur->dmDisplayFrequency : hz;
        for (const auto &s : kLadderSizes) {
            if (s[0] > lw || s[1] > lh) continue;
            for (uint32_t rate : kLadderRates) {
                if (rate > lr) continue;
                m = make(s[0], s[1], rate);
                if ((r = display_mode_set(device_name, &m)) == 0) goto done;
            }
        }
    }
done:
    VKO_Free(cur);
    return r;
}

namespace {

// The X monitors of every screen, as the GPU's outputs.
uint32_t x11_gpu_outputs(GpuOutputInfo *outs, uint32_t max) {
    XSession x;
    if (!x.res) return 0;
    uint32_t n = 0;
    // X has one scale for the whole desktop, not one per monitor.
    const float scale = x11_screen_scale(x.dpy);
    for (int s = 0; s < ScreenCount(x.dpy) && n < max; s++) {
        XRRScreenResources *res =
            s == DefaultScreen(x.dpy) ? nullptr : XRRGetScreenResourcesCurrent(x.dpy, RootWindow(x.dpy, s));
        XRRScreenResources *r = res ? res : x.res;
        for (const DisplayMonitor &m : display_x11_monitors(x.dpy, s)) {
            if (n >= max) break;
            GpuOutputInfo &o = outs[n++];
            memset(&o, 0, sizeof(o));
            copy_text(o.name, sizeof(o.name), m.name);
            o.width = m.width;
            o.height = m.height;
            o.x = m.x;
            o.y = m.y;
            o.scale = scale;
            XRROutputInfo *info = m.output ? XRRGetOutputInfo(x.dpy, r, m.output) : nullptr;
            for (int i = 0; info && i < info->nmode; i++) {
                const XRRModeInfo *mi = find_mode(r, info->modes[i]);
                if (!mi) continue;
                o.max_width = std::max(o.max_width, mi->width);
                o.max_height = std::max(o.max_height, mi->height);
            }
            if (info && info->crtc) {
                XRRCrtcInfo *c = XRRGetCrtcInfo(x.dpy, r, info->crtc);
                const XRRModeInfo *mi = c ? find_mode(r, c->mode) : nullptr;
                if (mi) o.refresh = mode_rate(*mi);
                if (c) XRRFreeCrtcInfo(c);
            }
            if (info) XRRFreeOutputInfo(info);
        }
        if (res) XRRFreeScreenResources(res);
    }
    return n;
}

}  // namespace

uint32_t gpu_info_get_all(GpuInfo infos[30]) {
    memset(infos, 0, sizeof(GpuInfo) * 30);
    void *so = VKO_SOLoad("vulkan-1.dll");
    if (!so) return 0;
    auto gipa = (PFN_vkGetInstanceProcAddr)VKO_SOGetSymbol(so, "vkGetInstanceProcAddr");
    auto create = gipa ? (PFN_vkCreateInstance)gipa(nullptr, "vkCreateInstance") : nullptr;
    VkInstance inst = VK_NULL_HANDLE;
    VkApplicationInfo app = {
        VK_STRUCTURE_TYPE_APPLICATION_INFO, nullptr, "zarvek", 1, "zarvek", 1, VK_API_VERSION_1_2};
    VkInstanceCreateInfo ci = {
        VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO, nullptr, 0, &app, 0, nullptr, 0, nullptr};
    if (!create || create(&ci, nullptr, &inst) != VK_SUCCESS) {
        VKO_SOUnload(&so);
        return 0;
    }
    auto destroy = (PFN_vkDestroyInstance)gipa(inst, "vkDestroyInstance");
    auto enumerate = (PFN_vkEnumeratePhysicalDevices)gipa(inst, "vkEnumeratePhysicalDevices");
    auto props2 = (PFN_vkGetPhysicalDeviceProperties2)gipa(inst, "vkGetPhysicalDeviceProperties2");
    uint32_t n = 0;
    if (enumerate) enumerate(inst, &n, nullptr);
    std::vector<VkPhysicalDevice> devs(n);
    if (n && enumerate(inst, &n, devs.data()) < 0) n = 0;

    uint32_t kept = 0, outputs_seen = 0;
    for (uint32_t i = 0; i < n && props2 && kept < 30 && outputs_seen < 30; i++) {
        VkPhysicalDeviceDriverProperties drv = {};
        drv.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_DRIVER_PROPERTIES;
        VkPhysicalDeviceProperties2 p = {VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PROPERTIES_2, &drv, {}};
        props2(devs[i], &p);
        GpuInfo &g = infos[kept];
        memset(&g, 0, sizeof(g));
        copy_text(g.name, sizeof(g.name), p.properties.deviceName);
        // PCI ids are 16 bits; vendors without one have larger Khronos ids.
        snprintf(g.vendor_id, sizeof(g.vendor_id), "%04x", p.properties.vendorID & 0xFFFF);
        snprintf(g.device_id, sizeof(g.device_id), "%04x", p.properties.deviceID & 0xFFFF);
        copy_text(g.driver_version, sizeof(g.driver_version),
                  drv.driverInfo[0] ? drv.driverInfo : drv.driverName);
        // X draws through the first device.
        if (i == 0) g.output_count = x11_gpu_outputs(g.outputs, 30 - outputs_seen);
        outputs_seen += g.output_count;
        bool dup = false;
        for (uint32_t k = 0; k < kept; k++)
            dup |= !strcasecmp(infos[k].name, g.name) && !strcasecmp(infos[k].vendor_id, g.vendor_id) &&
                   !strcasecmp(infos[k].device_id, g.device_id);
        if (g.output_count || (g.driver_version[0] && !dup)) kept++;
    }
    if (destroy) destroy(inst, nullptr);
    VKO_SOUnload(&so);
    return kept;
}

namespace {

struct PulseList {
    AudioEndpoint *out;
    uint32_t max;
    uint32_t count;
    int32_t index;
    bool done;
};

void log_step(const char *step, int line, int code) {
    log_message(LOG_LEVEL_INFO, "* %s/%s[%d] = %d", "audio_adapter_get_all", step, line, code);
}

// An endpoint without a name (its id) or a property list is left out, as
// one whose id or property store cannot be read.
void add_endpoint(PulseList *l, const char *name, const pa_proplist *props, const char *desc) {
    int32_t i = l->index++;
    if (l->count >= l->max) return;
    if (!name || !name[0]) {
        log_step("IMMDevice_GetId", 170, PA_ERR_NOENTITY);
        return;
    }
    if (!props) {
        log_step("IMMDevice_OpenPropertyStore", 181, PA_ERR_NOENTITY);
        return;
    }
    AudioEndpoint &e = l->out[l->count];
    memset(&e, 0, sizeof(e));
    e.index = i;
    copy_text(e.id, sizeof(e.id), name);
    if (!desc) {
        log_step("prop_value.vt", 194, 0);
        return;
    }
    copy_text(e.name, sizeof(e.name), desc);
    l->count++;
}

// The end of a list, or a failed list (counted as the collection's failure)
// or entry.
bool list_step(pa_context *c, PulseList *l, bool have_info, int eol) {
    if (eol < 0) log_step("IMMDeviceCollection_GetCount", 147, pa_context_errno(c));
    if (eol) {
        l->done = true;
        return false;
    }
    if (!have_info) log_step("IMMDeviceCollection_Item", 164, pa_context_errno(c));
    return have_info;
}

void on_sink(pa_context *c, const pa_sink_info *info, int eol, void *opaque) {
    PulseList *l = (PulseList *)opaque;
    if (list_step(c, l, info != nullptr, eol)) add_endpoint(l, info->name, info->proplist, info->description);
}

void on_source(pa_context *c, const pa_source_info *info, int eol, void *opaque) {
    PulseList *l = (PulseList *)opaque;
    // Monitors of sinks are not capture devices.
    if (list_step(c, l, info != nullptr, eol) && info->monitor_of_sink == PA_INVALID_INDEX)
        add_endpoint(l, info->name, info->proplist, info->description);
}

}  // namespace

uint32_t audio_adapter_get_all(AudioEndpoint *endpoints, uint32_t max, bool capture) {
    if (max == 0) return 0;
    endpoints[0] = {-1, "Default (Automatic Selection)", ""};
    PulseList list = {endpoints, max, 1, 0, false};
    pa_mainloop *loop = pa_mainloop_new();
    pa_context *ctx = pa_context_new(pa_mainloop_get_api(loop), "zarvek");
    if (pa_context_connect(ctx, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        log_step("CoCreateInstance", 132, pa_context_errno(ctx));
    } else {
        pa_context_state_t st;
        while ((st = pa_context_get_state(ctx)) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(st))
            if (pa_mainloop_iterate(loop, 1, nullptr) < 0) break;
        if (st != PA_CONTEXT_READY) {
            log_step("CoCreateInstance", 132, pa_context_errno(ctx));
        } else {
            pa_operation *op = capture ? pa_context_get_source_info_list(ctx, on_source, &list)
                                       : pa_context_get_sink_info_list(ctx, on_sink, &list);
            if (!op) log_step("IMMDeviceEnumerator_EnumAudioEndpoints", 139, pa_context_errno(ctx));
            while (op && !list.done && pa_operation_get_state(op) == PA_OPERATION_RUNNING)
                if (pa_mainloop_iterate(loop, 1, nullptr) < 0) break;
            if (op) pa_operation_unref(op);
        }
        pa_context_disconnect(ctx);
    }
    pa_context_unref(ctx);
    pa_mainloop_free(loop);
    return list.count;
}
