// Present hook and frame submission. The OpenGL present hook's added time
// per 1920x1080 frame (read-back into a pixel-buffer object, the own texture
// filled, mapping, state saved and restored) beside a plain glReadPixels into
// a pixel-buffer object of the same frame, on Mesa's llvmpipe under Xvfb,
// once with the driver's inverted read-back and once with the blit that every
// driver has: every side is timed without the swap itself (the hook's
// trampoline points at an empty function while it is measured) but up to a
// glFinish, so work left queued in the driver is counted, and every side
// reads one byte per row of the mapped pixels. The same hook timed for a
// program's 17th context, made after 16 others presented and were destroyed
// (as programs that make a context at each mode change do), beside its first.
// The OpenGL submission row with either read-back. Then submit-to-poll latency through the hand-off core of
// the Direct3D 11 row (median and p99 as counters): a render thread submits a
// frame, freshly drawn or long drawn, while the encode thread waits in poll.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>
#include <GL/glx.h>
#include <X11/Xlib.h>

#include "peer.h"
#include "host/present_hooks.h"
#include "host/submit.h"
#include "support/xvfb.h"

namespace {

constexpr int kW = 1920, kH = 1080;

struct GlWindow {
    Display *dpy = nullptr;
    Window win = 0;
    GLXContext ctx = nullptr;
    bool ok = false;
    explicit GlWindow(int width = kW, int height = kH) {
        if (xvfb_display().empty()) return;
        dpy = XOpenDisplay(nullptr);
        if (!dpy) return;
        int attrs[] = {GLX_RGBA, GLX_DOUBLEBUFFER, GLX_RED_SIZE, 8, GLX_GREEN_SIZE, 8, GLX_BLUE_SIZE, 8,
                       None};
        XVisualInfo *vi = glXChooseVisual(dpy, DefaultScreen(dpy), attrs);
        if (!vi) return;
        XSetWindowAttributes swa = {};
        swa.colormap = XCreateColormap(dpy, RootWindow(dpy, vi->screen), vi->visual, AllocNone);
        win = XCreateWindow(dpy, RootWindow(dpy, vi->screen), 0, 0, (unsigned)width, (unsigned)height, 0,
                            vi->depth, InputOutput, vi->visual, CWColormap, &swa);
        XMapWindow(dpy, win);
        ctx = glXCreateContext(dpy, vi, nullptr, True);
        XFree(vi);
        ok = ctx && glXMakeCurrent(dpy, win, ctx);
        XSync(dpy, False);
    }
    ~GlWindow() {
        if (!dpy) return;
        glXMakeCurrent(dpy, None, nullptr);
        if (ctx) glXDestroyContext(dpy, ctx);
        if (win) XDestroyWindow(dpy, win);
        XCloseDisplay(dpy);
    }
    void draw(int i) {
        glViewport(0, 0, kW, kH);
        glClearColor((float)(i & 1), 0.5f, 0.25f, 1);
        glClear(GL_COLOR_BUFFER_BIT);
    }
};

uint64_t touch_rows(const uint8_t *px, uint32_t pitch, uint32_t rows) {
    uint64_t sum = 0;
    for (uint32_t y = 0; px && y < rows; y++) sum += px[(size_t)y * pitch];
    return sum;
}

std::atomic<uint64_t> g_sink{0};
uint32_t g_frame_rows = kH;  // of the frames presented

void on_frame(uint32_t, void *, void *, void *, void *, void *) {
    uint32_t pitch = 0;
    const uint8_t *px = hook_gl_frame_pixels(&pitch);
    g_sink += touch_rows(px, pitch, g_frame_rows);
}

void no_swap(Display *, GLXDrawable) {}

// Presents of a 1920x1080 window's context under the hook, timed. First
// `gone` other contexts present once and are destroyed (all made after the
// timed one and live until all presented, so that none takes another's
// address), and the timed context presents once untimed.
void time_hooked_presents(benchmark::State &state, int gone) {
    GlWindow w;
    if (!w.ok || hook_gl_install(on_frame, nullptr, nullptr) != 0) {
        state.SkipWithError("no GLX window or hook");
        return;
    }
    void *real = hook_gl_swap_buffers_a_real;
    hook_gl_swap_buffers_a_real = (void *)no_swap;
    if (gone) {
        g_frame_rows = 64;
        {
            std::vector<std::unique_ptr<GlWindow>> others;
            for (int i = 0; i < gone; i++) {
                others.push_back(std::make_unique<GlWindow>(64, 64));
                if (!others.back()->ok) break;
                glClear(GL_COLOR_BUFFER_BIT);
                glXSwapBuffers(others.back()->dpy, others.back()->win);
            }
        }
        g_frame_rows = kH;
        glXMakeCurrent(w.dpy, w.win, w.ctx);
        w.draw(0);
        glXSwapBuffers(w.dpy, w.win);
    }
    int i = 0;
    for (auto _ : state) {
        w.draw(i++);
        glFinish();  // the frame is drawn before the clock starts, on both sides
        auto t0 = std::chrono::steady_clock::now();
        glXSwapBuffers(w.dpy, w.win);
        glFinish();
        auto t1 = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    hook_gl_swap_buffers_a_real = real;
    hooks_remove_all(0);
}

void BM_GlPresentHook(benchmark::State &state) {
    hook_gl_use_pack_invert(state.range(0) != 0);
    time_hooked_presents(state, 0);
    hook_gl_use_pack_invert(true);
}

// A program's 17th context, made after 16 others presented and were destroyed.
void BM_GlPresentHook17thContext(benchmark::State &state) {
    time_hooked_presents(state, 16);
}

void BM_GlReadPixelsPbo(benchmark::State &state) {
    GlWindow w;
    if (!w.ok) {
        state.SkipWithError("no GLX window");
        return;
    }
    GLuint pbo = 0;
    glGenBuffers(1, &pbo);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, pbo);
    glBufferData(GL_PIXEL_PACK_BUFFER, (GLsizeiptr)kW * kH * 4, nullptr, GL_STREAM_READ);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    int i = 0;
    for (auto _ : state) {
        w.draw(i++);
        glFinish();
        auto t0 = std::chrono::steady_clock::now();
        glBindBuffer(GL_PIXEL_PACK_BUFFER, pbo);
        glReadBuffer(GL_BACK);
        glReadPixels(0, 0, kW, kH, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
        const uint8_t *px = (const uint8_t *)glMapBufferRange(GL_PIXEL_PACK_BUFFER, 0,
                                                              (GLsizeiptr)kW * kH * 4, GL_MAP_READ_BIT);
        g_sink += touch_rows(px, kW * 4, kH);
        glUnmapBuffer(GL_PIXEL_PACK_BUFFER);
        glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
        glFinish();
        auto t1 = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    glDeleteBuffers(1, &pbo);
}

// The OpenGL submission row at 1920x1080: one submit of the program's
// texture (read-back and hand-off) and the poll that takes it, with the
// driver's inverted read-back and with the blit.
void BM_GlSubmit(benchmark::State &state) {
    hook_gl_use_pack_invert(state.range(0) != 0);
    GlWindow w;
    if (!w.ok) {
        state.SkipWithError("no GLX window");
        return;
    }
    GLuint tex = 0;
    glGenTextures(1, &tex);
    glBindTexture(GL_TEXTURE_2D, tex);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, kW, kH, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    GLuint fb = 0;
    glGenFramebuffers(1, &fb);
    glBindFramebuffer(GL_FRAMEBUFFER, fb);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, tex, 0);
    const SubmitCaptureApi &api = submit_gl_api;
    void *handle = nullptr;
    uint32_t dropped = 0;
    int i = 0;
    for (auto _ : state) {
        w.draw(i++);  // into the texture
        glFinish();
        CaptureFrame ready = {};
        if (handle) api.poll(handle, 0, nullptr, &ready);  // the encode side is waiting again
        auto t0 = std::chrono::steady_clock::now();
        int32_t r = api.submit(&handle, w.ctx, nullptr, (void *)(uintptr_t)tex, 0, &dropped);
        CaptureFrame f = {};
        api.poll(handle, 0, nullptr, &f);
        glFinish();
        auto t1 = std::chrono::steady_clock::now();
        if (r != 0 || !f.new_frame) {
            state.SkipWithError(
                ("submit " + std::to_string(r) + " frame " + std::to_string(f.new_frame)).c_str());
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    void *app_handle = handle;
    api.submit(&app_handle, nullptr, nullptr, nullptr, 0, nullptr);  // the application lets go
    api.destroy(&handle);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glDeleteFramebuffers(1, &fb);
    glDeleteTextures(1, &tex);
    hook_gl_use_pack_invert(true);
}

void BM_SubmitToPoll(benchmark::State &state) {
    ID3D11Device *app = nullptr;
    D3D11CreateDevice(&app);
    // The width (the height keeps 16:9), and whether the render thread draws
    // each frame just before it submits it (as a program does), or submits a
    // texture it drew long ago, which the cache no longer holds.
    uint32_t w = (uint32_t)state.range(0), h = w * 9 / 16;
    bool drawn = state.range(1) != 0;
    D3D11_TEXTURE2D_DESC d = {
        w, h, 1, 1, DXGI_FORMAT_B8G8R8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT, D3D11_BIND_SHADER_RESOURCE,
        0, 0};
    ID3D11Texture2D *tex = nullptr;
    app->CreateTexture2D(&d, nullptr, &tex);
    const SubmitCaptureApi &api = submit_d3d11_api;
    void *handle = nullptr;
    uint32_t dropped = 0;
    api.submit(&handle, app, nullptr, tex, 0, &dropped);  // makes the record and the converter
    CaptureFrame f = {};
    api.poll(handle, 0, nullptr, &f);

    std::vector<double> lat;
    double submit_time = 0;
    for (auto _ : state) {
        std::atomic<bool> waiting{false};
        std::chrono::steady_clock::time_point t0, t1;
        std::thread consumer([&] {
            CaptureFrame fr = {};
            waiting = true;
            api.poll(handle, 1000, nullptr, &fr);
            t1 = std::chrono::steady_clock::now();
        });
        while (!waiting) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // the consumer is inside poll
        if (drawn) std::memset(tex->data(), (int)(lat.size() & 0xFF), (size_t)tex->pitch() * h);
        t0 = std::chrono::steady_clock::now();
        api.submit(&handle, app, nullptr, tex, 0, &dropped);
        submit_time += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        consumer.join();
        double s = std::chrono::duration<double>(t1 - t0).count();
        lat.push_back(s);
        state.SetIterationTime(s);
    }
    std::sort(lat.begin(), lat.end());
    if (!lat.empty()) {
        state.counters["median_ms"] = lat[lat.size() / 2] * 1e3;
        state.counters["p99_ms"] = lat[std::min(lat.size() - 1, lat.size() * 99 / 100)] * 1e3;
    }
    state.counters["dropped"] = dropped;
    state.counters["submit_ms"] = lat.empty() ? 0 : submit_time / lat.size() * 1e3;
    void *app_handle = handle;
    api.submit(&app_handle, nullptr, nullptr, nullptr, 0, nullptr);  // the application lets go
    api.destroy(&handle);
    tex->Release();
    app->Release();
}

// The peer: the same wait and wake through a bare mutex and condition
// variable, no frame at all (what the hand-off cannot go below).
void BM_CondvarWake(benchmark::State &state) {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<double> lat;
    for (auto _ : state) {
        bool ready = false, waiting = false;
        std::chrono::steady_clock::time_point t0, t1;
        std::thread consumer([&] {
            std::unique_lock<std::mutex> lock(mu);
            waiting = true;
            cv.wait_for(lock, std::chrono::seconds(1), [&] { return ready; });
            t1 = std::chrono::steady_clock::now();
        });
        for (;;) {
            std::lock_guard<std::mutex> lock(mu);
            if (waiting) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        t0 = std::chrono::steady_clock::now();
        {
            std::lock_guard<std::mutex> lock(mu);
            ready = true;
        }
        cv.notify_one();
        consumer.join();
        double s = std::chrono::duration<double>(t1 - t0).count();
        lat.push_back(s);
        state.SetIterationTime(s);
    }
    std::sort(lat.begin(), lat.end());
    if (!lat.empty()) {
        state.counters["median_ms"] = lat[lat.size() / 2] * 1e3;
        state.counters["p99_ms"] = lat[std::min(lat.size() - 1, lat.size() * 99 / 100)] * 1e3;
    }
}

BENCHMARK(BM_GlPresentHook)
    ->ArgName("inverted")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(60)
    ->Repetitions(3);
BENCHMARK(BM_GlPresentHook17thContext)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(60)
    ->Repetitions(3);
BENCHMARK(BM_GlReadPixelsPbo)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(60)->Repetitions(3);
BENCHMARK(BM_GlSubmit)
    ->ArgName("inverted")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(60)
    ->Repetitions(3);
BENCHMARK(BM_SubmitToPoll)
    ->ArgNames({"width", "drawn"})
    ->Args({1920, 0})
    ->Args({1920, 1})
    ->Args({64, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(200);
BENCHMARK(BM_CondvarWake)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(200);

}  // namespace

int main(int argc, char **argv) {
    return bench::run_pairs(
        argc, argv,
        {{"GL frame read-back 1920x1080", "BM_GlPresentHook/inverted:1/iterations:60/repeats:3/manual_time",
          "BM_GlReadPixelsPbo/iterations:60/repeats:3/manual_time", "present hook / glReadPixels into a PBO"},
         {"GL frame read-back 1920x1080", "BM_GlPresentHook/inverted:0/iterations:60/repeats:3/manual_time",
          "BM_GlReadPixelsPbo/iterations:60/repeats:3/manual_time",
          "present hook (blit) / glReadPixels into a PBO"},
         {"GL frame read-back 1920x1080", "BM_GlPresentHook17thContext/iterations:60/repeats:3/manual_time",
          "BM_GlPresentHook/inverted:1/iterations:60/repeats:3/manual_time",
          "present hook, a program's 17th context / its first"},
         {"GL submission 1920x1080", "BM_GlSubmit/inverted:1/iterations:60/repeats:3/manual_time",
          "BM_GlSubmit/inverted:0/iterations:60/repeats:3/manual_time", "inverted read-back / blit"}});
}
