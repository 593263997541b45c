// Mouse arbitration between the local user and the guests, and the hook
// thread that watches the pointer through XInput 2 raw events: events of the
// XTest device are injected ones, every other device's are the local user's.
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "host/host.h"
#include "host/input.h"
#include "host/input_x11.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "platform/x11/error_trap.h"

namespace {

std::atomic<MouseControl *> g_mouse{nullptr};

constexpr int kPollMs = 100;
constexpr uint32_t kButtons[5] = {1, 2, 3, 8, 9};

struct Hook {
    Display *dpy;
    int opcode;
    int xtest_id;  // the XTest pointer's device id
};

int xtest_pointer(Display *dpy) {
    int n = 0, id = -1;
    XIDeviceInfo *devs = XIQueryDevice(dpy, XIAllDevices, &n);
    for (int i = 0; i < n && id < 0; i++)
        if (devs[i].use == XISlavePointer && strstr(devs[i].name, "XTEST")) id = devs[i].deviceid;
    XIFreeDeviceInfo(devs);
    return id;
}

bool hook_install(Hook *h) {
    int ev, err, major = 2, minor = 2;
    h->dpy = XOpenDisplay(nullptr);
    x11_outlive_server(h->dpy);
    if (!h->dpy || !XQueryExtension(h->dpy, "XInputExtension", &h->opcode, &ev, &err) ||
        XIQueryVersion(h->dpy, &major, &minor) != Success) {
        static std::atomic<bool> told{false};
        if (!told.exchange(true))
            VKO_Log("host_mouse_hook_thread",
                    "no XInput 2 on the display: the local user cannot take the mouse");
        if (h->dpy) XCloseDisplay(h->dpy);
        h->dpy = nullptr;
        return false;
    }
    h->xtest_id = xtest_pointer(h->dpy);
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawMotion);
    XISetMask(bits, XI_RawButtonPress);
    XISetMask(bits, XI_RawButtonRelease);
    XIEventMask mask = {XIAllDevices, (int)sizeof(bits), bits};
    XISelectEvents(h->dpy, DefaultRootWindow(h->dpy), &mask, 1);
    XSync(h->dpy, False);
    return true;
}

void hook_pump(MouseControl *mc, Hook *h) {
    while (XPending(h->dpy)) {
        XEvent e;
        XNextEvent(h->dpy, &e);
        if (e.xcookie.type != GenericEvent || e.xcookie.extension != h->opcode) continue;
        if (!XGetEventData(h->dpy, &e.xcookie)) continue;
        auto *raw = static_cast<XIRawEvent *>(e.xcookie.data);
        if (raw->deviceid != XIAllDevices && raw->deviceid == raw->sourceid)  // slave events only once
            input_mouse_hook_proc(mc, raw->sourceid == h->xtest_id);
        XFreeEventData(h->dpy, &e.xcookie);
    }
}

// Lets go of every mouse button the pointer holds.
void release_held_buttons(Hook *h) {
    Window root, child;
    double rx, ry, wx, wy;
    XIButtonState buttons = {};
    XIModifierState mods;
    XIGroupState group;
    int master = 0;
    if (!XIGetClientPointer(h->dpy, None, &master) ||
        !XIQueryPointer(h->dpy, master, DefaultRootWindow(h->dpy), &root, &child, &rx, &ry, &wx, &wy,
                        &buttons, &mods, &group))
        return;
    for (uint32_t b : kButtons)
        if ((int)b < buttons.mask_len * 8 && XIMaskIsSet(buttons.mask, b)) xinput_button(b, false);
    free(buttons.mask);
}

void wait_wake(MouseControl *mc, int x_fd, int timeout) {
    pollfd p[2] = {{mc->wake_fd, POLLIN, 0}, {x_fd, POLLIN, 0}};
    if (poll(p, x_fd >= 0 ? 2 : 1, timeout) > 0 && (p[0].revents & POLLIN)) {
        uint64_t n;
        if (read(mc->wake_fd, &n, sizeof(n)) < 0) return;
    }
}

}  // namespace

MouseControl *host_mouse_control_create(void) {
    auto *mc = new MouseControl();
    mc->mutex = VKO_MutexCreate();
    mc->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    g_mouse.store(mc);
    return mc;
}

void host_mouse_control_destroy(MouseControl **mc) {
    if (!*mc) return;
    MouseControl *expected = *mc;
    g_mouse.compare_exchange_strong(expected, nullptr);
    VKO_MutexDestroy(&(*mc)->mutex);
    if ((*mc)->wake_fd >= 0) close((*mc)->wake_fd);
    delete *mc;
    *mc = nullptr;
}

MouseControl *host_mouse_control(void) {
    return g_mouse.load();
}

void host_mouse_hook_wake(MouseControl *mc) {
    uint64_t one = 1;
    if (mc && write(mc->wake_fd, &one, sizeof(one)) < 0) return;
}

bool host_mouse_arbitrate(MouseControl *mc, const GuestInfo *guest, int32_t exclusive_timeout) {
    VKO_MutexLock(mc->mutex);
    bool take = true;
    if (mc->installed) {
        int64_t now = VKO_GetTime();
        if (VKO_TimeDiff(mc->last_activity, now) > (double)exclusive_timeout) {
            mc->local_events.store(0);
            mc->busy = 0;
            mc->holder = 0;
        } else {
            take = (!mc->busy || mc->holder == guest->id || guest->owner) && mc->holder != MOUSE_HOLDER_LOCAL;
        }
        if (take) {
            if (mc->holder != 0 && mc->holder != MOUSE_HOLDER_LOCAL && mc->holder != guest->id)
                mc->release_buttons = 1;
            mc->busy = 1;
            mc->last_activity = now;
            mc->holder = guest->id;
        }
    }
    // Read under the lock: the hook thread clears it.
    const bool wake = take && mc->release_buttons;
    VKO_MutexUnlock(mc->mutex);
    if (wake) host_mouse_hook_wake(mc);
    return take;
}

void host_mouse_release(MouseControl *mc, uint32_t guest_id) {
    VKO_MutexLock(mc->mutex);
    if (mc->holder == guest_id && guest_id != 0) {
        mc->busy = 0;
        mc->holder = 0;
    }
    VKO_MutexUnlock(mc->mutex);
}

void input_mouse_hook_proc(MouseControl *mc, bool injected) {
    if (!injected && mc->local_events.fetch_add(1) + 1 >= MOUSE_LOCAL_TAKEOVER) {
        VKO_MutexLock(mc->mutex);
        if (mc->holder != 0 && mc->holder != MOUSE_HOLDER_LOCAL) mc->release_buttons = 1;
        mc->busy = 1;
        mc->last_activity = VKO_GetTime();
        mc->holder = MOUSE_HOLDER_LOCAL;
        VKO_MutexUnlock(mc->mutex);
    }
    host_mouse_hook_wake(mc);
}

void *host_mouse_hook_thread(void *context) {
    auto *ctx = static_cast<HostContext *>(context);
    MouseControl *mc = ctx->mouse_control;
    while (mc && !ctx->stop.load()) {
        VKO_MutexLock(ctx->stream_locks[0]);  // the settings change under all three
        bool exclusive = ctx->pending.exclusive_input;
        VKO_MutexUnlock(ctx->stream_locks[0]);
        if (ctx->guest_count.load() == 0 || !exclusive) {
            wait_wake(mc, -1, kPollMs);
            continue;
        }
        Hook h = {};
        if (!hook_install(&h)) {
            wait_wake(mc, -1, kPollMs);
            continue;
        }
        VKO_MutexLock(mc->mutex);
        mc->hook = h.dpy;
        mc->installed = 1;
        mc->hook_thread_id = (uint32_t)gettid();
        VKO_MutexUnlock(mc->mutex);
        while (ctx->guest_count.load() > 0 && !ctx->stop.load()) {
            hook_pump(mc, &h);
            VKO_MutexLock(mc->mutex);
            bool release = mc->release_buttons;
            mc->release_buttons = 0;
            VKO_MutexUnlock(mc->mutex);
            if (release) release_held_buttons(&h);
            wait_wake(mc, ConnectionNumber(h.dpy), kPollMs);
        }
        hook_pump(mc, &h);
        VKO_MutexLock(mc->mutex);
        mc->installed = 0;
        mc->hook = nullptr;
        VKO_MutexUnlock(mc->mutex);
        XCloseDisplay(h.dpy);
    }
    return nullptr;
}
