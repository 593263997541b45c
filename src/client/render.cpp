// Model: two threads per stream, so a picture never waits for the decoding of
// the ones that arrived while another was drawn. The receiving thread pushes
// access units into `pending` under `lock` and signals `wake`; the decode
// thread takes them all at once (setting `decoding` under the same lock),
// decodes each in order as soon as it can, copies each new picture into a
// buffer of its own and swaps that with `ready` under `lock`, with its
// description (`ready_desc`, `ready_decode_ms`), setting `fresh`, then
// signals `drawable`. The draw thread, which
// alone uses the window's graphics, swaps `ready` with its own buffer under
// `lock` (clearing `fresh`, setting `drawing`), draws and presents outside
// it, then clears `drawing`. A picture replaced in `ready` before the draw
// thread took it is decoded but not drawn. So `pending` empty with neither
// `decoding`, `fresh` nor `drawing` set, read together under `lock`, means
// every unit handed over so far has been drawn or found to hold no picture.
// `running` is cleared by stop and read by both threads. `api` is written
// once by the draw thread after it set the window's graphics, and `ready_state`
// tells start that it has. The stats are atomics: their threads write, anyone
// reads. `timings` is a ring of the last drawn pictures' decode and draw
// times, written by the draw thread and read by anyone, both under `lock`;
// `timed` counts every entry ever written.
#include "client/render.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "client/video.h"
#include "platform/window.h"

struct ClientRender {
    VKO_App *app;
    int32_t window;
    uint32_t requested_api;
    bool vsync;
    uint32_t filter;
    std::mutex lock;
    std::condition_variable wake, drawable;
    std::deque<std::vector<uint8_t>> pending;
    std::vector<uint8_t> ready;
    VKO_RenderDesc ready_desc{};
    float ready_decode_ms = 0;
    bool fresh = false, decoding = false, drawing = false;
    std::atomic<bool> running{true};
    std::atomic<uint32_t> api{0};
    std::atomic<int> ready_state{0};  // 0 not yet, 1 graphics set, -1 they could not be made
    std::atomic<uint64_t> received{0}, decoded{0}, drawn{0}, errors{0};
    std::atomic<uint32_t> width{0}, height{0};
    static constexpr uint32_t kTimings = 1024;
    float timings[kTimings][2];
    uint64_t timed = 0;
    std::thread draw_thread, decode_thread;
};

namespace {

using Clock = std::chrono::steady_clock;

float ms_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<float, std::milli>(b - a).count();
}

// Bytes of a picture's planes as the description lays them out.
size_t picture_size(const VKO_RenderDesc &d) {
    const VKO_ColorFormatInfo &info = vko_color_formats[d.format];
    uint64_t total = 0;
    for (uint32_t p = 0; p < info.planes; ++p) {
        uint64_t off;
        uint32_t row, rows;
        if (vko_gfx_plane(&d, p, &off, &row, &rows)) total = off + uint64_t(row) * rows;
    }
    return size_t(total);
}

void decode_thread(ClientRender *r) {
    ClientVideoDecoder *dec = client_video_decoder_create();
    std::deque<std::vector<uint8_t>> batch;
    std::vector<uint8_t> staging;
    while (r->running.load()) {
        {
            std::unique_lock<std::mutex> l(r->lock);
            r->wake.wait_for(l, std::chrono::milliseconds(100),
                             [&] { return !r->pending.empty() || !r->running.load(); });
            batch.swap(r->pending);
            r->decoding = !batch.empty();
        }
        for (const std::vector<uint8_t> &unit : batch) {
            VKO_RenderDesc desc{};
            const void *image = nullptr;
            const Clock::time_point start = Clock::now();
            if (!dec || client_video_decode(dec, unit.data(), unit.size(), &desc, &image) != 1) continue;
            r->decoded++;
            // Copied outside the lock (the decoder overwrites its planes next
            // time), then handed over by a swap.
            staging.resize(picture_size(desc));
            std::memcpy(staging.data(), image, staging.size());
            std::lock_guard<std::mutex> l(r->lock);
            r->ready.swap(staging);
            r->ready_desc = desc;
            r->ready_decode_ms = ms_between(start, Clock::now());
            r->fresh = true;
            r->drawable.notify_one();
        }
        batch.clear();
        if (dec) r->errors = client_video_errors(dec);
        std::lock_guard<std::mutex> l(r->lock);
        r->decoding = false;
    }
    client_video_decoder_destroy(&dec);
}

void draw_thread(ClientRender *r) {
    if (!VKO_WindowSetGFX(r->app, r->window, r->requested_api, r->vsync)) {
        r->ready_state = -1;
        return;
    }
    r->api = VKO_WindowGetGFX(r->app, r->window);
    r->ready_state = 1;
    std::vector<uint8_t> picture;
    while (r->running.load()) {
        VKO_RenderDesc shown{};
        float decode_ms = 0;
        {
            std::unique_lock<std::mutex> l(r->lock);
            r->drawable.wait_for(l, std::chrono::milliseconds(100),
                                 [&] { return r->fresh || !r->running.load(); });
            if (!r->fresh) continue;
            picture.swap(r->ready);
            shown = r->ready_desc;
            decode_ms = r->ready_decode_ms;
            r->fresh = false;
            r->drawing = true;
        }
        shown.filter = r->filter;
        const Clock::time_point start = Clock::now();
        VKO_WindowDrawQuad(r->app, r->window, picture.data(), &shown);
        VKO_WindowPresent(r->app, r->window);
        const float draw_ms = ms_between(start, Clock::now());
        r->drawn++;
        r->width = shown.image_width;
        r->height = shown.image_height;
        std::lock_guard<std::mutex> l(r->lock);
        float *t = r->timings[r->timed++ % ClientRender::kTimings];
        t[0] = decode_ms;
        t[1] = draw_ms;
        r->drawing = false;
    }
    VKO_WindowSetGFX(r->app, r->window, 0, false);
}

}  // namespace

ClientRender *client_render_start(VKO_App *app, int32_t window, uint32_t api, bool vsync, uint32_t filter) {
    if (!app) return nullptr;
    ClientRender *r = new ClientRender;
    r->app = app;
    r->window = window;
    r->requested_api = api;
    r->vsync = vsync;
    r->filter = filter;
    r->draw_thread = std::thread(draw_thread, r);
    while (r->ready_state.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (r->ready_state.load() < 0) {
        r->draw_thread.join();
        delete r;
        return nullptr;
    }
    r->decode_thread = std::thread(decode_thread, r);
    return r;
}

void client_render_push(ClientRender *r, const uint8_t *data, size_t size) {
    if (!r || !data || !size) return;
    {
        std::lock_guard<std::mutex> l(r->lock);
        r->pending.emplace_back(data, data + size);
    }
    r->received++;
    r->wake.notify_one();
}

ClientRenderStats client_render_stats(ClientRender *r) {
    ClientRenderStats s{};
    if (!r) return s;
    s.received = r->received.load();
    s.decoded = r->decoded.load();
    s.drawn = r->drawn.load();
    s.errors = r->errors.load();
    s.width = r->width.load();
    s.height = r->height.load();
    std::lock_guard<std::mutex> l(r->lock);
    s.idle = r->pending.empty() && !r->decoding && !r->fresh && !r->drawing;
    return s;
}

uint32_t client_render_timings(ClientRender *r, float *decode_ms, float *draw_ms, uint32_t max) {
    if (!r || !decode_ms || !draw_ms) return 0;
    std::lock_guard<std::mutex> l(r->lock);
    const uint64_t n = std::min<uint64_t>({r->timed, ClientRender::kTimings, max});
    for (uint64_t i = 0; i < n; i++) {
        const float *t = r->timings[(r->timed - n + i) % ClientRender::kTimings];
        decode_ms[i] = t[0];
        draw_ms[i] = t[1];
    }
    return uint32_t(n);
}

uint32_t client_render_api(ClientRender *r) {
    return r ? r->api.load() : 0;
}

void client_render_stop(ClientRender **r) {
    if (!r || !*r) return;
    (*r)->running = false;
    {
        std::lock_guard<std::mutex> l((*r)->lock);
        (*r)->wake.notify_all();
        (*r)->drawable.notify_all();
    }
    (*r)->decode_thread.join();
    (*r)->draw_thread.join();
    delete *r;
    *r = nullptr;
}
