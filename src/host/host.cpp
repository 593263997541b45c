// Host context: creation and teardown, first and last guest, gamepads, the
// virtual microphone and the application class of windows.
#include "host/host.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "compat/session/session.h"
#include "host/capture.h"
#include "host/display.h"
#include "host/input.h"
#include "platform/file.h"
#include "platform/json.h"
#include "platform/log.h"
#include "platform/map.h"
#include "platform/memory.h"
#include "platform/queue.h"
#include "platform/thread.h"
#include "platform/x11/error_trap.h"
#include "util/logger.h"

namespace {

HostHooks g_hooks{};
constexpr HostTimes kDefaultTimes{60000, 1000};
HostTimes g_times = kDefaultTimes;

struct EncodeArg {
    HostContext *ctx;
    uint32_t stream;
};

void *encode_thread_main(void *opaque) {
    auto *arg = static_cast<EncodeArg *>(opaque);
    if (g_hooks.encode)
        g_hooks.encode(arg->ctx, arg->stream);
    else
        host_encode_thread(arg->ctx, arg->stream);
    VKO_Free(arg);
    return nullptr;
}

// Sleeps ms in steps of at most 100 ms; false once the context stops.
bool nap(HostContext *ctx, uint32_t ms) {
    for (uint32_t t = 0; t < ms; t += 100) {
        if (ctx->stop.load()) return false;
        VKO_Sleep(std::min<uint32_t>(100, ms - t));
    }
    return !ctx->stop.load();
}

// One recovery attempt after the adapter driver stopped answering. False
// when the watchdog is to give up.
bool vdd_recover(HostContext *ctx, uint32_t *recoveries, int64_t *last_recovery) {
    const VdevBackend *v = vdev();
    if (ctx->vdd_adapter) {
        v->mm_adapter_close();
        ctx->vdd_adapter = 0;
    } else {
        vdd_device_restart(0);
        vdd_device_restart(1);
        for (uint32_t i = 0; i < 10; i++) {
            if (!nap(ctx, 100)) return false;
            if (v->mm_version()) {
                log_message(LOG_LEVEL_INFO,
                            "Recovered primary virtual display adapter driver after driver fault");
                return true;
            }
        }
    }
    int32_t r = -1;
    uint32_t error = 0;
    for (uint32_t attempt = 0; attempt < 3; attempt++) {
        if (attempt && !nap(ctx, 250)) return false;
        r = v->mm_adapter_create(5000, &error);
        if (r == 0 || error != static_cast<uint32_t>(VDEV_ERROR_NOT_FOUND)) break;
    }
    if (r != 0 && error != static_cast<uint32_t>(VDEV_ERROR_NOT_FOUND))
        log_message(LOG_LEVEL_INFO, "'MM_AdapterCreate' failed with error %d (win32 error: 0x%X)", r, error);
    if (r != 0) {
        log_message(LOG_LEVEL_INFO, "Dynamic VDD driver recovery failed with 0x%X", static_cast<uint32_t>(r));
        log_message(LOG_LEVEL_INFO, "Zarvek Virtual Display Adapter (re-)creation failed");
        return true;
    }
    ctx->vdd_adapter = 1;
    vdd_device_restart(1);
    log_message(LOG_LEVEL_INFO, "Recovered dynamic virtual display adapter driver after driver fault");
    int64_t now = VKO_GetTime();
    if (*recoveries && VKO_TimeDiff(*last_recovery, now) > 5000.0) *recoveries = 0;
    *last_recovery = now;
    if (++*recoveries < 5) return true;
    log_message(LOG_LEVEL_INFO, "Zarvek Virtual Display Adapter (re-)creation failed");
    log_message(LOG_LEVEL_INFO, "Could not recover Virtual Display Adapter");
    log_message(LOG_LEVEL_INFO, "Check GPU and Virtual Display drivers and restart Zarvek");
    return false;
}

}  // namespace

// Watches the virtual display adapter while virtual displays or the privacy
// screen are wanted, and brings its driver back after a fault. Only this
// thread touches vdd_adapter until host_destroy joins it.
void *host_vdd_watchdog_thread(void *opaque) {
    auto *ctx = static_cast<HostContext *>(opaque);
    uint32_t period = g_times.watchdog_ms;
    uint32_t recoveries = 0;
    int64_t last_recovery = 0;
    while (nap(ctx, period)) {
        VKO_MutexLock(ctx->stream_locks[0]);
        bool wanted = ctx->config.virtual_monitors > 0 || ctx->config.privacy_mode;
        VKO_MutexUnlock(ctx->stream_locks[0]);
        if (!wanted) continue;
        if (!vdev()->mm_driver_version()) {
            log_message(LOG_LEVEL_INFO, "Zarvek Virtual Display Adapter driver missing");
            break;
        }
        if (vdev()->mm_version()) continue;
        if (!vdd_recover(ctx, &recoveries, &last_recovery)) break;
    }
    return nullptr;
}

void *vusb_notification_thread(void *opaque) {
    auto *v = static_cast<VirtualUsbHost *>(opaque);
    while (!v->stop.load()) {
        uint32_t code = 0;
        while (vdev()->vusb_notification(&code)) {
            // A full queue drops the newest: nobody has read the older ones yet.
            if (auto *slot = static_cast<uint8_t *>(VKO_QueueGetInputBuffer(v->notifications))) {
                std::memcpy(slot, &code, sizeof code);
                VKO_QueuePush(v->notifications, sizeof code);
            }
        }
        for (int i = 0; i < 10 && !v->stop.load(); i++) VKO_Sleep(10);
    }
    return nullptr;
}

// Output reports and isochronous data of the guests' DualSense pads go back
// to the guest that owns the pad as message 33. The pads are read under the
// manager's lock, the messages sent afterwards under stream lock 2 (the
// order of the locks elsewhere is stream locks first, then the manager's).
void *host_vusb_output_thread(void *opaque) {
    auto *ctx = static_cast<HostContext *>(opaque);
    struct Pending {
        uint32_t guest, index, length;
        uint8_t isochronous;
    };
    constexpr uint32_t kOutputMax = 64, kIsoMax = 4096;
    auto *data = static_cast<uint8_t *>(VKO_Alloc(CONTROLLER_SLOTS * 2, kIsoMax));
    Pending pending[CONTROLLER_SLOTS * 2];
    while (!ctx->stop.load()) {
        while (ctx->guest_count.load() > 0 && !ctx->stop.load()) {
            ControllerManager *m = ctx->gamepads;
            uint32_t n = 0;
            if (m && m->pad_type == PAD_DUALSENSE) {
                VKO_MutexLock(m->mutex);
                for (uint32_t i = 0; i < CONTROLLER_SLOTS; i++) {
                    if (!m->slots[i].used) continue;
                    for (uint8_t iso = 0; iso < 2; iso++) {
                        uint8_t *buf = data + static_cast<size_t>(n) * kIsoMax;
                        uint32_t len = 0, offset = 0;
                        uint32_t r =
                            iso ? VirtualDualSenseDeviceReadIsochronous(i, buf, kIsoMax, &len, &offset)
                                : VirtualDualSenseDeviceReadOutputReport(i, buf, kOutputMax, &len);
                        if (offset >= kIsoMax) {
                            len = 0;
                        } else if (offset) {  // sent from the start of its buffer
                            len = std::min(len, kIsoMax - offset);
                            std::memmove(buf, buf + offset, len);
                        }
                        if (r == VDEV_BIT_SUCCESS && len)
                            pending[n++] = {static_cast<uint32_t>(m->slots[i].key >> 8),
                                            static_cast<uint32_t>(m->slots[i].key & 0xFF), len, iso};
                    }
                }
                VKO_MutexUnlock(m->mutex);
            }
            if (n) {
                VKO_MutexLock(ctx->stream_locks[2]);
                for (VKO_ListNode *node = VKO_ListGetFirst(ctx->guests); node; node = node->next) {
                    auto *g = static_cast<Guest *>(node->value);
                    for (uint32_t k = 0; k < n; k++) {
                        // A pad belongs to the guest whose id is in its key.
                        if (g->reason.load() || g->info.id != pending[k].guest) continue;
                        int32_t r = proto_send_message(
                            g->conn, MSG_PAD_OUTPUT, pending[k].isochronous ? 0 : 1, pending[k].index,
                            data + static_cast<size_t>(k) * kIsoMax, pending[k].length);
                        if (r != 0 && r != 2000) {
                            int32_t expected = 0;
                            g->reason.compare_exchange_strong(expected, r);
                        }
                    }
                }
                VKO_MutexUnlock(ctx->stream_locks[2]);
            }
            VKO_Sleep(1);
        }
        VKO_Sleep(ctx->guest_count.load() > 0 ? 3 : 100);
    }
    VKO_Free(data);
    return nullptr;
}

namespace {

uint32_t audio_guest_count(void *host) {
    return static_cast<HostContext *>(host)->guest_count.load();
}

// Attaching to a voice program found by the scan: nothing on this host can
// yet, so each one is reported as a failure to attach and tried again.
int32_t voice_attach_placeholder(uint32_t, void *) {
    return -1;
}

void audio_apply_config(void *host, HostAudioSettings *live) {
    host_apply_audio_config(static_cast<HostContext *>(host), live);
}

void free_whitelist(Whitelist *w) {
    VKO_JSONDestroy(&w->paths);
    VKO_HashDestroy(&w->cache, nullptr);
    VKO_MutexDestroy(&w->mutex);
    if (w->dpy) XCloseDisplay(w->dpy);
    w->dpy = nullptr;
}

// Caller holds the whitelist's mutex.
Display *whitelist_display(Whitelist *w) {
    if (!w->dpy) {
        w->dpy = XOpenDisplay(nullptr);
        x11_outlive_server(w->dpy);
    }
    return w->dpy;
}

// Caller holds the mutex: windows that went take their answers with them.
void whitelist_forget_gone(Whitelist *w) {
    while (XPending(w->dpy)) {
        XEvent e;
        XNextEvent(w->dpy, &e);
        if (e.type != DestroyNotify) continue;
        if (VKO_HashPopInt(w->cache, e.xdestroywindow.window) && w->cached) w->cached--;
    }
}

// The process id a window names (0 none). A window manager's frame names
// none: its client window, a little further down, does.
unsigned long window_pid(Display *dpy, Window window, uint32_t depth) {
    Atom pid_atom = XInternAtom(dpy, "_NET_WM_PID", False);
    Atom type;
    int format;
    unsigned long n = 0, after, pid = 0;
    unsigned char *prop = nullptr;
    if (XGetWindowProperty(dpy, window, pid_atom, 0, 1, False, XA_CARDINAL, &type, &format, &n, &after,
                           &prop) == Success &&
        prop && n == 1 && format == 32)
        pid = *reinterpret_cast<unsigned long *>(prop);
    if (prop) XFree(prop);
    if (pid || depth == 0) return pid;
    Window root, parent, *children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(dpy, window, &root, &parent, &children, &count)) {
        for (unsigned int i = count; i-- > 0 && !pid;) pid = window_pid(dpy, children[i], depth - 1);
        if (children) XFree(children);
    }
    return pid;
}

// The program of a window is listed (1) or not (2).
uint32_t window_class(Whitelist *w, Display *dpy, Window window) {
    unsigned long pid = window_pid(dpy, window, 2);
    if (!pid) return 2;
    char link[64], path[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/%lu/exe", pid);
    ssize_t len = readlink(link, path, sizeof path - 1);
    if (len <= 0) return 2;
    path[len] = 0;
    return VKO_JSONObjGetItem(w->paths, path) ? 1 : 2;
}

// Wakes the displays: a screen in power saving shows the local user nothing
// of what the guests do. Without DPMS or a display there is nothing to wake.
void monitors_on(void) {
    Display *dpy = XOpenDisplay(nullptr);
    if (!dpy) return;
    x11_outlive_server(dpy);
    int ev = 0, err = 0;
    if (DPMSQueryExtension(dpy, &ev, &err) && DPMSCapable(dpy)) DPMSForceLevel(dpy, DPMSModeOn);
    XForceScreenSaver(dpy, ScreenSaverReset);
    XCloseDisplay(dpy);
}

// False when the displays are still there (the driver refused to let go).
bool release_virtual_displays(HostContext *ctx) {
    if (!ctx->vdd) return true;
    int32_t err = vdev()->vdd_disconnect();
    if (err == 0) {
        ctx->vdd = 0;
        return true;
    }
    log_message(LOG_LEVEL_INFO, "'MM_Disconnect' failed with error %d", err);
    return false;
}

void destroy_vusb(HostContext *ctx) {
    VirtualUsbHost *v = ctx->vusb;
    if (!v) return;
    {
        std::lock_guard<std::mutex> lock(v->devices);
        vtablet_destroy(&v->tablet);
        if (v->microphone) vdev()->vmicrophone_destroy(v->microphone_mode == 2);
    }
    v->stop.store(1);
    if (v->notification_thread) VKO_ThreadDestroy(&v->notification_thread);
    VKO_QueueDestroy(&v->notifications);
    delete v;
    ctx->vusb = nullptr;
}

// The device of stream 0's output: the configured one, else the one at the
// desktop's origin, else the first. False when there is none.
bool stream0_device(HostContext *ctx, char device[128]) {
    DisplayOutput outs[DISPLAY_MAX_OUTPUTS];
    uint32_t n = display_adapter_get_all(outs);
    int32_t pick = -1;
    for (uint32_t i = 0; i < n && pick < 0; i++)
        if (std::strcmp(outs[i].id, ctx->config.video[0].output) == 0) pick = static_cast<int32_t>(i);
    for (uint32_t i = 0; i < n && pick < 0; i++)
        if (outs[i].left == 0 && outs[i].top == 0) pick = static_cast<int32_t>(i);
    if (pick < 0 && n) pick = 0;
    if (pick < 0) return false;
    std::memcpy(device, outs[pick].device_name, 128);
    device[127] = 0;
    return true;
}

// Stream 0's output to the target resolution at the configured rate; the
// saved mode (given, else the one saved for the output) fills in what the
// target leaves open. Caller holds stream lock 0.
void set_target_mode(HostContext *ctx, const DisplayMode *saved, uint32_t display_w, uint32_t display_h) {
    char device[128];
    if (!stream0_device(ctx, device)) return;
    DisplayMode *own = nullptr;
    if (!saved && ctx->saved_modes) saved = static_cast<DisplayMode *>(VKO_HashGet(ctx->saved_modes, device));
    if (!saved) saved = own = display_mode_get(device);
    const HostVideoConfig &v = ctx->config.video[0];
    DisplayMode *before = display_mode_get(device);
    display_mode_change(device, ctx->target_width, ctx->target_height, static_cast<uint32_t>(v.encoderFPS),
                        saved, display_w, display_h, v.rotated, 0);
    DisplayMode *after = display_mode_get(device);
    // Stream 0 captures that output: a new mode moves or resizes its picture.
    if (std::memcmp(before, after, sizeof *after) != 0) ctx->streams[0].capture_restart.store(1);
    VKO_Free(after);
    VKO_Free(before);
    VKO_Free(own);
}

}  // namespace

void host_set_hooks(const HostHooks *hooks) {
    g_hooks = hooks ? *hooks : HostHooks{};
}

const HostHooks *host_hooks(void) {
    return &g_hooks;
}

void host_set_times(const HostTimes *times) {
    g_times = times ? *times : kDefaultTimes;
}

const HostTimes *host_times(void) {
    return &g_times;
}

void host_lock_streams(HostContext *ctx) {
    for (VKO_Mutex *m : ctx->stream_locks) VKO_MutexLock(m);
}

void host_unlock_streams(HostContext *ctx) {
    for (int i = 2; i >= 0; i--) VKO_MutexUnlock(ctx->stream_locks[i]);
}

void host_create(const HostConfig *pending, const HostCallbacks *callbacks, void *opaque, HostContext **out) {
    auto *ctx = new HostContext();
    *out = ctx;
    ctx->config = *pending;
    ctx->pending = *pending;
    if (callbacks) ctx->callbacks = *callbacks;
    ctx->opaque = opaque;
    ctx->guests = VKO_ListCreate();
    ctx->mode = HOST_MODE_DESKTOP;
    ctx->cursor_image = static_cast<uint8_t *>(VKO_Alloc(HOST_CURSOR_BUFFER, 1));
    for (HostStream &s : ctx->streams)
        s.capture = capture_record_create(g_hooks.capture ? g_hooks.capture : &capture_dxgi_api, 2);
    ctx->audio_capture =
        audio_capture_create(pending->audio_cancel == 2 ? AUDIO_ROW_EXCLUDE_APP : AUDIO_ROW_LOOPBACK);
    ctx->foreground_class.store(2);
    for (VKO_Mutex *&m : ctx->stream_locks) m = VKO_MutexCreate();
    ctx->slot_lock = VKO_MutexCreate();
    ctx->whitelist.paths = VKO_JSONObjCreate();
    ctx->whitelist.cache = VKO_HashCreate(1000);
    ctx->whitelist.mutex = VKO_MutexCreate();
    ctx->mouse_control = host_mouse_control_create();

    ctx->mouse_hook_thread = VKO_ThreadCreate(host_mouse_hook_thread, ctx);
    host_gamepad_init(ctx);
    ctx->vdd_watchdog = VKO_ThreadCreate(host_vdd_watchdog_thread, ctx);
    host_audio_init(&ctx->audio, ctx->audio_capture);
    ctx->audio.host = ctx;
    ctx->audio.send = host_send_audio;
    ctx->audio.guest_count = audio_guest_count;
    ctx->audio.apply_config = audio_apply_config;
    ctx->audio.voice_callback = voice_attach_placeholder;
    ctx->audio.voice_opaque = ctx;
    if (!g_hooks.no_audio_thread) ctx->audio_thread = VKO_ThreadCreate(host_audio_thread, &ctx->audio);
    if (pending->gamepad_type == static_cast<int32_t>(PAD_DUALSENSE))
        ctx->vusb_output_thread = VKO_ThreadCreate(host_vusb_output_thread, ctx);
    for (uint32_t i = 0; i < 3; i++) {
        auto *arg = static_cast<EncodeArg *>(VKO_Alloc(1, sizeof(EncodeArg)));
        *arg = EncodeArg{ctx, i};
        ctx->streams[i].encode_thread = VKO_ThreadCreate(encode_thread_main, arg);
    }
}

void host_destroy(HostContext **handle, int32_t reason) {
    HostContext *ctx = *handle;
    if (!ctx) return;
    ctx->stop.store(1);
    host_lock_streams(ctx);
    for (VKO_ListNode *n = VKO_ListGetFirst(ctx->guests); n; n = n->next) {
        auto *g = static_cast<Guest *>(n->value);
        g->reason.store(reason);
        g->streams[0].wants_video.store(0);
    }
    ctx->streams[0].video_guests.store(0);
    host_unlock_streams(ctx);

    for (uint32_t i = 0; i < HOST_MAX_GUESTS; i++) {
        VKO_MutexLock(ctx->slot_lock);
        VKO_Thread *t = ctx->msg_state[i] ? ctx->msg_threads[i] : nullptr;
        VKO_MutexUnlock(ctx->slot_lock);
        if (!t) continue;
        VKO_ThreadDestroy(&t);
        VKO_MutexLock(ctx->slot_lock);
        ctx->msg_threads[i] = nullptr;
        ctx->msg_state[i] = 0;
        VKO_MutexUnlock(ctx->slot_lock);
    }
    if (ctx->audio_thread) {
        host_audio_stop(&ctx->audio);
        VKO_ThreadDestroy(&ctx->audio_thread);
    }
    if (ctx->vusb_output_thread) VKO_ThreadDestroy(&ctx->vusb_output_thread);
    for (HostStream &s : ctx->streams)
        if (s.encode_thread) VKO_ThreadDestroy(&s.encode_thread);

    destroy_vusb(ctx);
    controller_manager_destroy(&ctx->gamepads);
    host_mouse_hook_wake(ctx->mouse_control);
    VKO_ThreadDestroy(&ctx->mouse_hook_thread);
    host_mouse_control_destroy(&ctx->mouse_control);
    free_whitelist(&ctx->whitelist);
    host_audio_free(&ctx->audio);
    if (ctx->audio_capture) {
        VKO_MutexLock(ctx->audio_capture->mutex);
        if (ctx->audio_capture->handle) ctx->audio_capture->api.stop(&ctx->audio_capture->handle);
        VKO_MutexUnlock(ctx->audio_capture->mutex);
        audio_capture_destroy(&ctx->audio_capture);
    }
    for (HostStream &s : ctx->streams) capture_record_destroy(&s.capture);
    VKO_ThreadDestroy(&ctx->vdd_watchdog);
    release_virtual_displays(ctx);
    ctx->vdd = 0;
    if (ctx->vdd_adapter) vdev()->mm_adapter_close();
    ctx->vdd_adapter = 0;
    vmouse_destroy(&ctx->vmouse);
    for (VKO_Mutex *&m : ctx->stream_locks) VKO_MutexDestroy(&m);
    VKO_MutexDestroy(&ctx->slot_lock);
    VKO_HashDestroy(&ctx->saved_modes, VKO_Free);
    VKO_Free(ctx->saved_primary_mode);
    VKO_ListDestroy(&ctx->guests, nullptr);
    VKO_Free(ctx->cursor_image);
    delete ctx;
    *handle = nullptr;
}

void host_count_video_guests(HostContext *ctx) {
    uint32_t n[3] = {};
    for (VKO_ListNode *node = VKO_ListGetFirst(ctx->guests); node; node = node->next) {
        auto *g = static_cast<Guest *>(node->value);
        for (uint32_t i = 0; i < 3; i++) n[i] += g->streams[i].wants_video.load() ? 1 : 0;
    }
    for (uint32_t i = 0; i < 3; i++) {
        ctx->streams[i].video_guests.store(n[i]);
        ctx->streams[i].rates_dirty.store(1);
    }
}

bool host_stream_caps_update(HostContext *ctx, uint32_t stream, uint32_t lock_mask) {
    for (uint32_t i = 0; i < 3; i++)
        if (lock_mask & (1u << i)) VKO_MutexLock(ctx->stream_locks[i]);
    uint32_t caps = 0;
    bool first = true, container = false;
    for (VKO_ListNode *node = VKO_ListGetFirst(ctx->guests); node; node = node->next) {
        auto *g = static_cast<Guest *>(node->value);
        caps = first ? g->streams[stream].caps : caps & g->streams[stream].caps;
        first = false;
        container =
            container || g->client_config.video_container == static_cast<int32_t>(PROTO_CONTAINER_MP4);
    }
    bool changed = caps != ctx->streams[stream].caps.load();
    ctx->streams[stream].caps.store(caps);
    ctx->container_guest.store(container);
    ctx->audio.container_guest.store(container);
    for (int i = 2; i >= 0; i--)
        if (lock_mask & (1u << i)) VKO_MutexUnlock(ctx->stream_locks[i]);
    return changed;
}

void host_first_guest(HostContext *ctx, Guest *guest, uint32_t max_width, uint32_t max_height) {
    std::memset(&ctx->cursor, 0, sizeof ctx->cursor);
    ctx->cursor_flags = 0;
    ctx->cursor_last_flags = 0;
    ctx->virtual_displays_on.store(0);
    ctx->config = ctx->pending;
    ctx->lock_on_leave = guest->info.owner;
    monitors_on();
    host_gamepad_init(ctx);
    const HostConfig &c = ctx->config;
    if (guest->info.owner) {
        host_display_modes_save(ctx);
        ctx->virtual_displays_on.store(1);
        int32_t made = vdev()->vdd_displays_init(c.virtual_monitors, c.privacy_mode,
                                                 c.virtual_monitor_fallback, host_display_mode_reapply, ctx);
        if (made == -1 || made == -2)
            log_message(LOG_LEVEL_INFO, "Failed to initialize virtual displays");
        else if (made > 0)
            ctx->vdd = 1;
        if (c.privacy_mode && made > 0) ctx->privacy_active.store(1);
        if (c.virtual_mouse == 1 && !ctx->vmouse) {
            uint32_t r = XVUSB_vmouse_device_create(&ctx->vmouse, 0);
            if (r & VDEV_BIT_SUCCESS) {
                ctx->vmouse->thread = VKO_ThreadCreate(VirtualMouseDeviceControlThread, ctx->vmouse);
            } else {
                log_message(LOG_LEVEL_INFO, "* %s/%s[%d] = %d", "vmouse_create", "XVUSB_vmouse_device_create",
                            51, static_cast<int32_t>(r));
                vmouse_destroy(&ctx->vmouse);
            }
        }
        uint32_t w = static_cast<uint32_t>(c.video[0].resolutionX),
                 h = static_cast<uint32_t>(c.video[0].resolutionY);
        if (w == 0 && h == 0 && guest->client_config.stream[0].resolution_x >= 1 &&
            guest->client_config.stream[0].resolution_y >= 1) {
            w = static_cast<uint32_t>(guest->client_config.stream[0].resolution_x);
            h = static_cast<uint32_t>(guest->client_config.stream[0].resolution_y);
        }
        if (w == 65535 || h == 65535) w = h = 65535;
        uint32_t mw = max_width ? max_width : 3840, mh = max_height ? max_height : 2160;
        if (w != 65535 && w > mw) w = mw;
        if (h != 65535 && h > mh) h = mh;
        ctx->target_width = w;
        ctx->target_height = h;
        if (made != 0 && made != -1 && made != -2)
            set_target_mode(ctx, nullptr, static_cast<uint32_t>(guest->client_config.stream[0].resolution_x),
                            static_cast<uint32_t>(guest->client_config.stream[0].resolution_y));
        ctx->admin_mute = c.admin_mute;
        ctx->audio.admin_mute.store(c.admin_mute);
    } else if (c.privacy_mode && c.virtual_monitors > 0) {
        ctx->privacy_active.store(1);
    }
}

// The login manager locks the local session as the console lock does; where
// there is none (no logind, a container) loginctl fails and nothing locks.
static void (*g_session_lock)(void);

void host_set_session_lock(void (*lock)(void)) {
    g_session_lock = lock;
}

static void host_lock_workstation(HostContext *ctx) {
    ctx->locked_workstation++;
    if (g_session_lock) {
        g_session_lock();
        return;
    }
    const char *argv[] = {"loginctl", "lock-session", nullptr};
    VKO_SpawnReaped(argv);
}

void host_last_guest(HostContext *ctx) {
    const HostConfig &c = ctx->config;
    host_display_modes_restore(ctx->saved_primary_mode, ctx->saved_modes);
    // Restored once: a later session that saves nothing must not undo what
    // the local user set in between.
    VKO_HashDestroy(&ctx->saved_modes, VKO_Free);
    VKO_Free(ctx->saved_primary_mode);
    ctx->saved_primary_mode = nullptr;
    if (ctx->lock_on_leave && (c.lock_desktop || c.privacy_mode)) host_lock_workstation(ctx);
    if (!release_virtual_displays(ctx)) log_message(LOG_LEVEL_INFO, "Failed to clean up virtual displays");
    ctx->privacy_active.store(0);
    vmouse_destroy(&ctx->vmouse);
    if (ctx->vusb) {
        std::lock_guard<std::mutex> lock(ctx->vusb->devices);
        ctx->vusb->tablet_mode = 0;
        if (ctx->vusb->tablet) {
            vtablet_destroy(&ctx->vusb->tablet);
            log_message(LOG_LEVEL_INFO, "Virtual tablet removed due to client disconnect");
        }
        if (ctx->vusb->microphone) {
            vdev()->vmicrophone_destroy(ctx->vusb->microphone_mode == 2);
            ctx->vusb->microphone = 0;
        }
        ctx->vusb->microphone_mode = 0;
    }
    if (ctx->gamepads) {
        VKO_MutexLock(ctx->gamepads->mutex);
        controller_slots_reset(ctx->gamepads);
        VKO_MutexUnlock(ctx->gamepads->mutex);
    }
}

void host_display_modes_save(HostContext *ctx) {
    VKO_HashDestroy(&ctx->saved_modes, VKO_Free);
    VKO_Free(ctx->saved_primary_mode);
    ctx->saved_primary_mode = nullptr;
    ctx->saved_modes = VKO_HashCreate(30);
    DisplayOutput outs[DISPLAY_MAX_OUTPUTS];
    uint32_t n = display_adapter_get_all(outs);
    for (uint32_t i = 0; i < n; i++) {
        DisplayMode *m = display_mode_get(outs[i].device_name);
        if (!m) {
            m = static_cast<DisplayMode *>(VKO_Alloc(1, sizeof(DisplayMode)));
            *m = DisplayMode{sizeof(DisplayMode), DISPLAY_FIELDS, 0, 1920, 1080, 60};
        }
        if (outs[i].left == 0 && outs[i].top == 0 && !ctx->saved_primary_mode)
            ctx->saved_primary_mode = VKO_Dup(m, sizeof(DisplayMode));
        VKO_Free(VKO_HashSet(ctx->saved_modes, outs[i].device_name, m));
    }
}

void host_display_modes_restore(void *, VKO_Hash *saved) {
    if (!saved) return;
    uint64_t iter = 0;
    const char *name = nullptr;
    while (VKO_HashGetNextKey(saved, &iter, &name)) {
        auto *want = static_cast<DisplayMode *>(VKO_HashGet(saved, name));
        DisplayMode *now = display_mode_get(name);
        bool differs = !now || now->dmPelsWidth != want->dmPelsWidth ||
                       now->dmPelsHeight != want->dmPelsHeight ||
                       now->dmDisplayFrequency != want->dmDisplayFrequency ||
                       now->dmDisplayOrientation != want->dmDisplayOrientation;
        VKO_Free(now);
        if (!differs || display_mode_set(name, want) != 0) continue;
        log_message(LOG_LEVEL_INFO, "%-13s = %d", "display_x", static_cast<int32_t>(want->dmPelsWidth));
        log_message(LOG_LEVEL_INFO, "%-13s = %d", "display_y", static_cast<int32_t>(want->dmPelsHeight));
        log_message(LOG_LEVEL_INFO, "%-13s = %d", "display_hz",
                    static_cast<int32_t>(want->dmDisplayFrequency));
    }
}

void host_display_mode_reapply(void *context) {
    auto *ctx = static_cast<HostContext *>(context);
    VKO_MutexLock(ctx->stream_locks[0]);
    set_target_mode(ctx, static_cast<DisplayMode *>(ctx->saved_primary_mode), ctx->guest_width,
                    ctx->guest_height);
    VKO_MutexUnlock(ctx->stream_locks[0]);
}

void host_gamepad_init(HostContext *ctx) {
    uint8_t backend = 0;
    if (!ctx->vusb) {
        uint32_t present = vdev()->vusb_present(1);
        if (present == 0) {
            auto *v = new VirtualUsbHost();
            ctx->vusb = v;
            if (vdev()->vusb_version(&v->major, &v->minor)) {
                v->notifications = VKO_QueueCreate(5, 4);
                v->notification_thread = VKO_ThreadCreate(vusb_notification_thread, v);
                log_message(LOG_LEVEL_INFO, "Zarvek Virtual USB Adapter available");
                backend = ctx->pending.gamepad_mode == 2 ? 1 : 0;
            } else {
                log_message(LOG_LEVEL_INFO, "VirtualUsbControllerGetVersion failed.");
                log_message(LOG_LEVEL_INFO,
                            "Zarvek Virtual USB Adapter failed to initialize, no virtual device support");
            }
        } else {
            log_message(
                LOG_LEVEL_INFO,
                "VirtualUsbControllerIsCompatiblePresent failed with %x for api version %u, no compatible "
                "driver found.",
                present, 1u);
            log_message(LOG_LEVEL_INFO,
                        "Zarvek Virtual USB Adapter failed to initialize, no virtual device support");
        }
    } else {
        return;
    }
    if (ctx->gamepads) return;
    uint32_t type = static_cast<uint32_t>(ctx->pending.gamepad_type);
    if (backend == 0 && type == PAD_DUALSENSE) type = PAD_DS4;
    ControllerManager *m = controller_manager_create(backend, type, host_gamepad_feedback_send, ctx);
    const char *name = backend ? "Zarvek Virtual USB Adapter" : "ViGEm";
    if (backend == 0) {
        m->bus = vigem_alloc();
        if (vigem_connect(m->bus) != VDEV_VIGEM_SUCCESS) {
            controller_manager_destroy(&m);
            log_message(LOG_LEVEL_INFO, "Failed to initialize host gamepad input via %s", name);
            return;
        }
        m->connected = 1;
    }
    ctx->gamepads = m;
    log_message(LOG_LEVEL_INFO, "Using %s for host gamepad input", name);
}

void host_set_virtual_microphone(HostContext *ctx, uint32_t mode) {
    VirtualUsbHost *v = ctx->vusb;
    if (!v) return;
    std::lock_guard<std::mutex> lock(v->devices);
    if (!(v->major > 2 || (v->major == 2 && v->minor >= 5))) {
        log_message(LOG_LEVEL_INFO, "Zarvek Virtual USB Adapter version has no microphone support");
        if (v->microphone) vdev()->vmicrophone_destroy(v->microphone_mode == 2);
        v->microphone = 0;
        v->microphone_mode = 0;
        return;
    }
    uint8_t kinds[16];
    bool persisted = false;
    uint32_t r = vdev()->vusb_persisted_slots(kinds);
    if (!(r & VDEV_BIT_SUCCESS))
        log_message(LOG_LEVEL_INFO, "* %s/%s[%d] = %d", "vusb_get_persistent_device_index",
                    "VirtualUsbDevicePersistedSlotsRetrieve", 14, static_cast<int32_t>(r));
    else
        for (uint32_t i = 1; i < 16; i++) persisted = persisted || kinds[i] == 3;
    auto replace = [&](uint8_t persistent) {
        if (v->microphone) vdev()->vmicrophone_destroy(v->microphone_mode == 2);
        v->microphone = vdev()->vmicrophone_init(persistent) == 0;
    };
    if (mode == 0) {
        if (v->microphone) vdev()->vmicrophone_destroy(v->microphone_mode == 2);
        if (persisted) vmicrophone_destroy_persistent();
        v->microphone = 0;
        v->microphone_mode = 0;
    } else if (mode == 1) {
        if (ctx->guest_count.load() > 0)
            replace(0);
        else if (persisted)
            vmicrophone_destroy_persistent();
        v->microphone_mode = 1;
    } else if (mode == 2 && !persisted) {
        replace(1);
        v->microphone_mode = 2;
    }
}

uint32_t host_app_class(Whitelist *w, unsigned long window) {
    if (!window) return 2;
    VKO_MutexLock(w->mutex);
    uint32_t cls = 2;
    if (Display *dpy = whitelist_display(w)) {
        X11ErrorTrap trap(dpy);  // its round trip brings in every window's end so far
        whitelist_forget_gone(w);
        uintptr_t cached = reinterpret_cast<uintptr_t>(VKO_HashGetInt(w->cache, window));
        if (cached) {
            cls = static_cast<uint32_t>(cached - 1);
        } else {
            // Watch first: a window that goes after this is forgotten.
            XSelectInput(dpy, window, StructureNotifyMask);
            cls = window_class(w, dpy, window);
            if (trap.sync() == 0) {  // a window already gone is not kept
                if (w->cached >= HOST_WHITELIST_CACHE_MAX) {
                    VKO_HashDestroy(&w->cache, nullptr);
                    w->cache = VKO_HashCreate(HOST_WHITELIST_CACHE_MAX);
                    w->cached = 0;
                }
                VKO_HashSetInt(w->cache, window, reinterpret_cast<void *>(static_cast<uintptr_t>(cls + 1)));
                w->cached++;
            }
        }
    }
    VKO_MutexUnlock(w->mutex);
    return cls;
}

unsigned long host_foreground_window(Whitelist *w) {
    Window focus = 0;
    int revert = 0;
    if (!w) {
        Display *dpy = XOpenDisplay(nullptr);
        if (!dpy) return 0;
        x11_outlive_server(dpy);
        XGetInputFocus(dpy, &focus, &revert);
        XCloseDisplay(dpy);
    } else {
        VKO_MutexLock(w->mutex);
        if (Display *dpy = whitelist_display(w)) {
            XGetInputFocus(dpy, &focus, &revert);
            whitelist_forget_gone(w);  // keeps the connection's queue short
        }
        VKO_MutexUnlock(w->mutex);
    }
    return focus == PointerRoot ? 0 : focus;
}

unsigned long host_window_under_cursor(Whitelist *w) {
    Window child = 0;
    VKO_MutexLock(w->mutex);
    if (Display *dpy = whitelist_display(w)) {
        Window root;
        int rx, ry, wx, wy;
        unsigned mask;
        if (!XQueryPointer(dpy, DefaultRootWindow(dpy), &root, &child, &rx, &ry, &wx, &wy, &mask)) child = 0;
    }
    VKO_MutexUnlock(w->mutex);
    return child;
}

int32_t host_select_output(OutputList *l, const char *wanted, bool prefer_primary) {
    l->count = display_adapter_get_all(l->outputs);
    int32_t primary = -1, name = -1, last = -1, usable = -1;
    for (uint32_t i = 0; i < l->count && !(name >= 0 && last >= 0 && usable >= 0); i++) {
        const DisplayOutput &o = l->outputs[i];
        // A failed primary is skipped too, or a stream whose encoders all
        // fail would take it again for ever.
        if (l->failed[i]) continue;
        if (prefer_primary && o.left == 0 && o.top == 0) {
            primary = static_cast<int32_t>(i);
            break;
        }
        if (name < 0 && std::strcmp(o.id, wanted) == 0) name = static_cast<int32_t>(i);
        if (last < 0 && l->last[0] && std::strcmp(o.id, l->last) == 0) last = static_cast<int32_t>(i);
        if (usable < 0) usable = static_cast<int32_t>(i);
    }
    int32_t pick = primary >= 0 ? primary : name >= 0 ? name : last >= 0 ? last : usable;
    if (pick >= 0) std::snprintf(l->last, sizeof l->last, "%s", l->outputs[pick].id);
    l->chosen = pick;
    return pick;
}

bool host_prefer_primary(void) {
    SessionInfoEx info{};
    if (!session_query_info(&info)) return true;
    return !(info.SessionFlags == WTS_SESSIONSTATE_LOCK && info.WinStationName[0]);
}

void host_set_config(HostContext *ctx, const HostConfig *pending) {
    host_lock_streams(ctx);
    ctx->pending = *pending;
    host_unlock_streams(ctx);
}
