// The test pattern: on each display a bar sweeping across and a band moving
// down in changing colours above a frame-counter strip (big black and white
// blocks), so every frame differs from the last and each can be told apart
// on glass.
//
// Threads: the painter thread alone draws and writes `g_glass.painted` (each
// counter value's time in the X server's framebuffer, atomics); the glass
// watchers read it. `g_glass.area` is set by the main thread before the
// painter starts.
#include "pattern.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/log.h"
#include "signals.h"
#include "timeline.h"

// After the others: Xlib defines None.
#include <X11/Xlib.h>

namespace zv {

Glass g_glass;

// On each display a bar sweeping across and a band moving down in changing
// colours above the counter strip: every frame differs from the last. Each
// frame goes to the server in one batch, so a capture sees all of it or none.
void paint(const std::atomic<bool> &run, uint32_t displays, uint32_t fps) {
    Display *dpy = open_display();
    if (!dpy) return;
    GC gc = DefaultGC(dpy, DefaultScreen(dpy));
    Window root = DefaultRootWindow(dpy);
    auto period = std::chrono::microseconds(1000000 / std::max(1u, fps));
    auto next = std::chrono::steady_clock::now();
    const FrameCodeArea &a = g_glass.area;
    for (uint64_t i = 0; run.load() && !display_lost(); i++) {
        const uint32_t code = static_cast<uint32_t>(i) & kFrameCodeMask;
        for (uint32_t k = 0; k < displays; k++) {
            const DisplayOutput &o = g_timeline.outputs[k];
            uint32_t w = std::max(1u, o.width), h = std::max(1u, static_cast<uint32_t>(a.y));
            uint64_t j = i + 97 * k;
            XSetForeground(dpy, gc, (j * 2654435761u) & 0xFFFFFF);
            XFillRectangle(dpy, root, gc, o.left + static_cast<int>(j * 16 % w), o.top, 64, h);
            XSetForeground(dpy, gc, (j * 40503u) & 0xFFFFFF);
            XFillRectangle(dpy, root, gc, o.left, o.top + static_cast<int>(j * 9 % std::max(1u, h - 24)), w,
                           24);
            frame_code_paint(dpy, root, gc, a, o.left, o.top, code);
        }
        XSync(dpy, False);
        g_glass.painted[code] = VKO_GetTime();
        g_glass.last = static_cast<int32_t>(code);
        next += period;
        std::this_thread::sleep_until(next);
    }
    XCloseDisplay(dpy);
}

}  // namespace zv
