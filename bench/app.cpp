// Input latency through the app object's run loop on a private Xvfb: from an
// XTest key press (or raw relative motion) to the event function, median and
// 99th percentile over 1,000 events, beside a bare Xlib client that reads the
// same events in the same run (blocking in XNextEvent on its own
// connection); and the CPU an idle run loop takes per second at a timeout,
// beside a bare loop that only checks its connection and sleeps as long.
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <benchmark/benchmark.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/app.h"
#include "platform/window.h"
#include "support/xvfb.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kEvents = 1000;

struct Run {
    std::atomic<int> seen{0};
    std::atomic<int> peer_seen{0};
    std::vector<Clock::time_point> sent = std::vector<Clock::time_point>(kEvents);
    std::vector<double> ours = std::vector<double>(kEvents), peer = std::vector<double>(kEvents);
    bool raw = false;
    std::atomic<bool> done{false};
    VKO_App *app = nullptr;
    bool settling = false;
    int passes = 0;
};

double pct(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, (size_t)(p * (double)v.size()))];
}

void on_event(const VKO_Event *e, void *opaque) {
    auto *r = (Run *)opaque;
    bool hit = r->raw ? e->type == VKO_EVENT_MOTION && e->motion.relative
                      : e->type == VKO_EVENT_KEY && e->key.pressed;
    int i = r->seen.load();
    if (!hit || i >= kEvents) return;
    r->ours[i] = std::chrono::duration<double, std::micro>(Clock::now() - r->sent[i]).count();
    r->seen.store(i + 1);
}

bool on_frame(void *opaque) {
    auto *r = (Run *)opaque;
    if (r->settling) return !VKO_AppIsActive(r->app) && ++r->passes < 2000;
    return !r->done;
}

// The bare client: its own connection, blocking reads of the same events.
void peer_reader(Run *r, Window target, std::atomic<bool> *ready) {
    Display *dpy = XOpenDisplay(nullptr);
    int op = 0, ev, err;
    if (r->raw) {
        XQueryExtension(dpy, "XInputExtension", &op, &ev, &err);
        int major = 2, minor = 2;
        XIQueryVersion(dpy, &major, &minor);
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(bits, XI_RawMotion);
        XIEventMask mask = {XIAllMasterDevices, (int)sizeof(bits), bits};
        XISelectEvents(dpy, DefaultRootWindow(dpy), &mask, 1);
    } else {
        XSelectInput(dpy, target, KeyPressMask);
    }
    XSync(dpy, False);
    ready->store(true);
    pollfd p = {ConnectionNumber(dpy), POLLIN, 0};
    while (r->peer_seen.load() < kEvents) {
        if (!XPending(dpy)) {
            poll(&p, 1, 100);
            if (r->done) break;
            continue;
        }
        XEvent e;
        XNextEvent(dpy, &e);
        auto now = Clock::now();
        bool hit = false;
        if (r->raw && e.type == GenericEvent && e.xcookie.extension == op) {
            hit = e.xcookie.evtype == XI_RawMotion;
        } else if (!r->raw && e.type == KeyPress) {
            hit = true;
        }
        int i = r->peer_seen.load();
        if (hit && i < kEvents) {
            r->peer[i] = std::chrono::duration<double, std::micro>(now - r->sent[i]).count();
            r->peer_seen.store(i + 1);
        }
    }
    XCloseDisplay(dpy);
}

void latency(benchmark::State &state, bool raw) {
    if (xvfb_display().empty()) return state.SkipWithError("no Xvfb");
    uint32_t timeout = (uint32_t)state.range(0);
    for (auto _ : state) {
        Run r;
        r.raw = raw;
        VKO_App *app = VKO_AppCreate(0, on_frame, on_event, &r);
        if (!app) return state.SkipWithError("no app");
        VKO_Frame f = {0, 300, 200, "", 10, 10};
        VKO_WindowCreate(app, "bench", &f, 0);
        r.app = app;
        VKO_AppSetTimeout(app, 1);
        r.settling = true;
        VKO_AppRun(app);
        r.settling = false;
        if (raw) VKO_AppSetRelativeMouse(app, true);
        VKO_AppSetTimeout(app, timeout);
        Window target = (Window)(uintptr_t)VKO_WindowGetNative(app, 0);
        std::atomic<bool> ready{false};
        std::thread peer(peer_reader, &r, target, &ready);
        while (!ready) usleep(1000);
        std::thread user([&] {
            Display *dpy = XOpenDisplay(nullptr);
            KeyCode kc = XKeysymToKeycode(dpy, XK_a);
            unsigned seed = 1;
            for (int i = 0; i < kEvents && !r.done; i++) {
                // Presses at random phases of the loop's sleep: spacing spread
                // over more than one whole timeout.
                seed = seed * 1103515245 + 12345;
                usleep(1000 + (seed >> 8) % (1000 * (timeout + 2)));
                r.sent[i] = Clock::now();
                if (raw) {
                    XTestFakeRelativeMotionEvent(dpy, (i & 1) ? 3 : -3, 0, CurrentTime);
                } else {
                    XTestFakeKeyEvent(dpy, kc, True, CurrentTime);
                    XTestFakeKeyEvent(dpy, kc, False, CurrentTime);
                }
                XFlush(dpy);
                auto deadline = Clock::now() + std::chrono::seconds(2);
                while ((r.seen.load() <= i || r.peer_seen.load() <= i) && Clock::now() < deadline) usleep(50);
            }
            XCloseDisplay(dpy);
            r.done = true;
        });
        VKO_AppRun(app);
        user.join();
        peer.join();
        VKO_AppDestroy(&app);
        if (r.seen < kEvents || r.peer_seen < kEvents) return state.SkipWithError("events lost");
        state.counters["ours_median_us"] = pct(r.ours, 0.5);
        state.counters["ours_p99_us"] = pct(r.ours, 0.99);
        state.counters["peer_median_us"] = pct(r.peer, 0.5);
        state.counters["peer_p99_us"] = pct(r.peer, 0.99);
        state.counters["ours/peer_median"] = pct(r.ours, 0.5) / pct(r.peer, 0.5);
    }
}

void BM_KeyLatency(benchmark::State &state) {
    latency(state, false);
}
void BM_RawMotionLatency(benchmark::State &state) {
    latency(state, true);
}
BENCHMARK(BM_KeyLatency)
    ->Arg(0)
    ->Arg(1)
    ->Arg(16)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_RawMotionLatency)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

double thread_cpu_ms() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

struct Idle {
    Clock::time_point end;
};

bool idle_frame(void *opaque) {
    return Clock::now() < ((Idle *)opaque)->end;
}

void BM_IdleLoopCpu(benchmark::State &state) {
    if (xvfb_display().empty()) return state.SkipWithError("no Xvfb");
    uint32_t timeout = (uint32_t)state.range(0);
    for (auto _ : state) {
        Idle idle;
        VKO_App *app = VKO_AppCreate(
            0, idle_frame, [](const VKO_Event *, void *) {}, &idle);
        if (!app) return state.SkipWithError("no app");
        VKO_Frame f = {0, 300, 200, "", 10, 10};
        VKO_WindowCreate(app, "idle", &f, 0);
        VKO_AppSetTimeout(app, timeout);
        idle.end = Clock::now() + std::chrono::milliseconds(200);
        VKO_AppRun(app);  // settle
        const double seconds = 2.0;
        idle.end = Clock::now() + std::chrono::milliseconds((int)(seconds * 1000));
        double c0 = thread_cpu_ms();
        VKO_AppRun(app);
        double ours = (thread_cpu_ms() - c0) / seconds;
        VKO_AppDestroy(&app);
        // The bare loop: check the connection, sleep the same timeout.
        Display *dpy = XOpenDisplay(nullptr);
        auto end = Clock::now() + std::chrono::milliseconds((int)(seconds * 1000));
        c0 = thread_cpu_ms();
        while (Clock::now() < end) {
            while (XPending(dpy)) {
                XEvent e;
                XNextEvent(dpy, &e);
            }
            if (timeout) usleep(timeout * 1000);
        }
        double bare = (thread_cpu_ms() - c0) / seconds;
        XCloseDisplay(dpy);
        state.counters["ours_cpu_ms_per_s"] = ours;
        state.counters["bare_cpu_ms_per_s"] = bare;
        state.counters["ours/peer"] = bare > 0 ? ours / bare : 0;
    }
}
BENCHMARK(BM_IdleLoopCpu)->Arg(1)->Arg(16)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
