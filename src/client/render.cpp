// Model: the receiving thread pushes access units into `pending` under
// `lock` and signals `wake`; the render thread takes them all at once (and
// sets `busy` under the same lock), decodes each in order, draws only the
// newest picture of the batch and clears `busy`. So `pending` empty and
// `busy` clear, read together under `lock`, mean every unit handed over so
// far has been drawn or found to hold no picture. `running` is
// cleared by stop and read by the render thread. `api` is written once by the
// render thread after it set the window's graphics, and `ready` tells start
// that it has. The stats are atomics: the render thread writes, anyone reads.
// `timings` is a ring of the last pictures' decode and draw times, written by
// the render thread and read by anyone, both under `lock`; `timed` counts
// every entry ever written.
#include "client/render.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
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
    std::condition_variable wake;
    std::deque<std::vector<uint8_t>> pending;
    std::atomic<bool> running{true};
    std::atomic<uint32_t> api{0};
    std::atomic<int> ready{0};  // 0 not yet, 1 graphics set, -1 they could not be made
    std::atomic<uint64_t> received{0}, decoded{0}, drawn{0}, errors{0};
    std::atomic<uint32_t> width{0}, height{0};
    std::atomic<bool> busy{false};  // set under `lock` when a batch is taken, cleared once it is drawn
    static constexpr uint32_t kTimings = 1024;
    float timings[kTimings][2];
    uint64_t timed = 0;
    std::thread thread;
};

namespace {

void render_thread(ClientRender *r) {
    if (!VKO_WindowSetGFX(r->app, r->window, r->requested_api, r->vsync)) {
        r->ready = -1;
        return;
    }
    r->api = VKO_WindowGetGFX(r->app, r->window);
    r->ready = 1;
    ClientVideoDecoder *dec = client_video_decoder_create();
    std::deque<std::vector<uint8_t>> batch;
    while (r->running.load()) {
        {
            std::unique_lock<std::mutex> l(r->lock);
            r->wake.wait_for(l, std::chrono::milliseconds(100),
                             [&] { return !r->pending.empty() || !r->running.load(); });
            batch.swap(r->pending);
            r->busy = !batch.empty();
        }
        VKO_RenderDesc desc{}, shown{};
        const void *image = nullptr, *shown_image = nullptr;
        const auto decode_start = std::chrono::steady_clock::now();
        for (const std::vector<uint8_t> &unit : batch) {
            if (dec && client_video_decode(dec, unit.data(), unit.size(), &desc, &image) == 1) {
                r->decoded++;
                shown = desc;
                shown_image = image;
            }
        }
        batch.clear();
        if (dec) r->errors = client_video_errors(dec);
        if (!shown_image) {
            r->busy = false;
            continue;
        }
        // Only the newest picture of the batch is drawn: the planes of the
        // earlier ones were already overwritten by the decoder.
        shown.filter = r->filter;
        const auto draw_start = std::chrono::steady_clock::now();
        VKO_WindowDrawQuad(r->app, r->window, shown_image, &shown);
        VKO_WindowPresent(r->app, r->window);
        const auto drawn = std::chrono::steady_clock::now();
        r->drawn++;
        {
            std::lock_guard<std::mutex> l(r->lock);
            float *t = r->timings[r->timed++ % ClientRender::kTimings];
            t[0] = std::chrono::duration<float, std::milli>(draw_start - decode_start).count();
            t[1] = std::chrono::duration<float, std::milli>(drawn - draw_start).count();
        }
        r->width = shown.image_width;
        r->height = shown.image_height;
        r->busy = false;
    }
    client_video_decoder_destroy(&dec);
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
    r->thread = std::thread(render_thread, r);
    while (r->ready.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (r->ready.load() < 0) {
        r->thread.join();
        delete r;
        return nullptr;
    }
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
    s.idle = r->pending.empty() && !r->busy.load();
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
    (*r)->wake.notify_one();
    (*r)->thread.join();
    delete *r;
    *r = nullptr;
}
