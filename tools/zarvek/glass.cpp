// Glass to glass: the painter stamps each counter value with the time its
// frame was in the X server's framebuffer; a watcher reads the strip back from
// the client windows (and from ffplay's window in the FFmpeg peer run) about
// every millisecond and takes each value's first appearance minus its stamp.
// The host's capture, conversion and encoder calls and the client's decode
// and draw are timed, so the stages' sum stands beside it.
//
// Threads: each watcher runs a thread of its own with its own X connection;
// its latencies are its own until the thread that started it has stopped
// (joined) it. It reads `g_glass.painted` (atomics, the painter writes).
#include "glass.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "client/render.h"
#include "pattern.h"
#include "platform/log.h"
#include "platform/x11/error_trap.h"
#include "signals.h"
#include "timeline.h"
#include "viewer.h"

// After the others: Xlib defines None.
#include <X11/Xlib.h>

namespace zv {

using namespace std::chrono_literals;

void GlassWatch::start(std::vector<unsigned long> windows, double scale) {
    windows_ = std::move(windows);
    scale_ = scale;
    latency_.assign(windows_.size(), {});
    running_ = true;
    thread_ = std::thread([this] { run(); });
}

std::vector<std::vector<double>> GlassWatch::stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
    return latency_;
}

void GlassWatch::run() {
    Display *dpy = open_display();
    if (!dpy) return;
    {
        X11ErrorTrap trap(dpy);  // a window gone meanwhile reads as nothing
        std::vector<uint32_t> last(windows_.size(), ~0u);
        const int64_t begin = VKO_GetTime();
        while (running_.load()) {
            for (size_t i = 0; i < windows_.size(); i++) {
                uint32_t v;
                if (!frame_code_read_window(dpy, windows_[i], g_glass.area, scale_, &v) || v == last[i])
                    continue;
                last[i] = v;
                const int64_t now = VKO_GetTime(), painted = g_glass.painted[v].load();
                const double ms = VKO_TimeDiff(painted, now);
                if (painted && ms >= 0 && ms < 2000 && VKO_TimeDiff(begin, now) >= 500)
                    latency_[i].push_back(ms);
            }
            std::this_thread::sleep_for(1ms);
        }
    }
    XCloseDisplay(dpy);
}

std::vector<bool> glass_wait_for(const std::vector<unsigned long> &windows, double scale, uint32_t code,
                                 const std::function<bool()> &more) {
    std::vector<bool> shown(windows.size(), false);
    Display *dpy = open_display();
    if (!dpy) return shown;
    {
        X11ErrorTrap trap(dpy);
        for (size_t left = windows.size(); left && more();) {
            for (size_t i = 0; i < windows.size(); i++) {
                uint32_t v;
                if (shown[i] || !frame_code_read_window(dpy, windows[i], g_glass.area, scale, &v) ||
                    v != code)
                    continue;
                shown[i] = true;
                left--;
            }
            if (left) std::this_thread::sleep_for(2ms);
        }
    }
    XCloseDisplay(dpy);
    return shown;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

void print_glass(const char *who, const std::vector<double> &ms) {
    if (ms.empty()) {
        std::printf("glass-to-glass, %s: no frame seen after the first half second\n", who);
        return;
    }
    std::printf("glass-to-glass, %s: %.1f ms median, %.1f ms p99 over %zu frames\n", who, percentile(ms, 0.5),
                percentile(ms, 0.99), ms.size());
}

void print_stages() {
    std::vector<double> decode, draw;
    for (ClientRender *r : g_viewer.render) {
        if (!r) continue;
        std::vector<float> d(1024), w(1024);
        uint32_t n = client_render_timings(r, d.data(), w.data(), 1024);
        decode.insert(decode.end(), d.begin(), d.begin() + n);
        draw.insert(draw.end(), w.begin(), w.begin() + n);
    }
    std::lock_guard<std::mutex> l(g_stages.lock);
    const double c = percentile(g_stages.capture, 0.5), v = percentile(g_stages.convert, 0.5),
                 e = percentile(g_stages.encode, 0.5), d = percentile(decode, 0.5), w = percentile(draw, 0.5);
    std::printf(
        "stages, median: capture %.1f + convert %.1f + encode %.1f + decode %.1f + draw %.1f + 2 ms = %.1f "
        "ms\n",
        c, v, e, d, w, c + v + e + d + w + 2);
}

}  // namespace zv
