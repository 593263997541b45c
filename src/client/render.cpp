// Model: two threads per stream, so a picture never waits for the decoding of
// the ones that arrived while another was drawn. The receiving thread pushes
// access units into `pending` (with `pending_bytes`, their sum) under `lock`
// and signals `wake`; the decode thread takes them one at a time (setting
// `decoding` under the same lock until that unit is done), so stop waits for
// at most the unit in hand. `pending` never holds more than the bounds of
// render.h: a push past them drops the units queued before the newest key
// frame, or, with none queued, every queued unit and each arriving one until
// a key frame comes (`skipping`, set and cleared by push under `lock`), so
// the decoder only ever sees whole runs from a key frame; each is counted in
// `dropped`. The decode thread copies each new picture into a buffer of its
// own and swaps that with `ready` under `lock`, with its description
// (`ready_desc`, `ready_decode_ms`), setting `fresh`, then signals
// `drawable`. The draw thread, which alone uses the window's graphics, swaps
// `ready` with its own buffer under `lock` (clearing `fresh`, setting
// `drawing`), draws and presents outside it, then clears `drawing`. When no
// picture came for a while, or `redraw` was set (under `lock`, by
// client_render_redraw), it draws its last picture again (format 0), so a
// resized or exposed window of a still stream is filled. A picture replaced
// in `ready` before the draw thread took it is decoded but not drawn. So
// `pending` empty with neither `decoding`, `fresh` nor `drawing` set, read
// together under `lock`, means every unit handed over so far has been drawn,
// dropped or found to hold no picture. `running` is cleared by stop and read
// by both threads. `api` is written once by the draw thread after it set the
// window's graphics, and `ready_state` tells start that it has. `key_request`
// and its opaque are written and read under `lock`, and called outside it.
// The stats are atomics: their threads write, anyone reads. `timings` is a
// ring of the last drawn pictures' decode and draw times, written by the draw
// thread and read by anyone, both under `lock`; `timed` counts every entry
// ever written.
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
#include "platform/log.h"
#include "platform/window.h"

struct ClientRenderUnit {
    std::vector<uint8_t> bytes;
    bool key;
};

struct ClientRender {
    VKO_App *app;
    int32_t window;
    uint32_t requested_api;
    bool vsync;
    uint32_t filter;
    std::mutex lock;
    std::condition_variable wake, drawable;
    std::deque<ClientRenderUnit> pending;
    uint64_t pending_bytes = 0;
    bool skipping = false;
    ClientRenderKeyRequest key_request = nullptr;
    void *key_request_opaque = nullptr;
    std::vector<uint8_t> ready;
    VKO_RenderDesc ready_desc{};
    float ready_decode_ms = 0;
    bool fresh = false, decoding = false, drawing = false, redraw = false;
    std::atomic<bool> running{true};
    std::atomic<uint32_t> api{0};
    std::atomic<int> ready_state{0};  // 0 not yet, 1 graphics set, -1 they could not be made
    std::atomic<uint64_t> received{0}, decoded{0}, drawn{0}, errors{0}, dropped{0};
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

// Whether an access unit starts a picture that needs no earlier one: its
// first slice is an IDR slice. Only the NAL headers before that slice are read.
bool is_key_unit(const uint8_t *p, size_t n) {
    for (size_t i = 0; i + 3 < n; i++) {
        if (p[i] != 0 || p[i + 1] != 0 || p[i + 2] != 1) continue;
        const uint8_t type = p[i + 3] & 0x1F;
        if (type == 5) return true;
        if (type >= 1 && type <= 4) return false;  // another slice
        i += 2;
    }
    return false;
}

bool over_bounds(const ClientRender *r, size_t incoming) {
    return r->pending.size() + 1 > CLIENT_RENDER_MAX_QUEUED ||
           r->pending_bytes + incoming > CLIENT_RENDER_MAX_QUEUED_BYTES;
}

void drop_front(ClientRender *r, size_t n) {
    for (size_t i = 0; i < n; i++) {
        r->pending_bytes -= r->pending.front().bytes.size();
        r->pending.pop_front();
    }
    r->dropped += n;
}

// Makes room for an arriving unit (under `lock`): what comes before a key
// frame is not needed once that key frame is decoded. True when even that
// is not enough and everything up to the next key frame goes.
bool make_room(ClientRender *r, size_t incoming, bool key) {
    if (key) {
        drop_front(r, r->pending.size());
        return false;
    }
    size_t newest_key = 0;
    for (size_t i = 0; i < r->pending.size(); i++)
        if (r->pending[i].key) newest_key = i;
    drop_front(r, newest_key);
    if (!over_bounds(r, incoming)) return false;
    drop_front(r, r->pending.size());
    r->skipping = true;
    return true;
}

void decode_thread(ClientRender *r) {
    ClientVideoDecoder *dec = client_video_decoder_create();
    ClientRenderUnit unit;
    std::vector<uint8_t> staging;
    for (;;) {
        {
            std::unique_lock<std::mutex> l(r->lock);
            r->decoding = false;
            r->wake.wait_for(l, std::chrono::milliseconds(100),
                             [&] { return !r->pending.empty() || !r->running.load(); });
            // Units still queued at stop are left: stop waits for this one only.
            if (!r->running.load()) break;
            if (r->pending.empty()) continue;
            unit = std::move(r->pending.front());
            r->pending.pop_front();
            r->pending_bytes -= unit.bytes.size();
            r->decoding = true;
        }
        VKO_RenderDesc desc{};
        const void *image = nullptr;
        const Clock::time_point start = Clock::now();
        const bool picture =
            dec && client_video_decode(dec, unit.bytes.data(), unit.bytes.size(), &desc, &image) == 1;
        if (dec) r->errors = client_video_errors(dec);
        if (!picture) continue;
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
    VKO_RenderDesc last{};  // the last picture drawn; before any, an empty one that clears
    while (r->running.load()) {
        VKO_RenderDesc shown{};
        float decode_ms = 0;
        bool fresh;
        {
            std::unique_lock<std::mutex> l(r->lock);
            r->drawable.wait_for(l, std::chrono::milliseconds(100),
                                 [&] { return r->fresh || r->redraw || !r->running.load(); });
            if (!r->running.load()) break;
            fresh = r->fresh;
            r->redraw = false;
            if (fresh) {
                picture.swap(r->ready);
                shown = r->ready_desc;
                decode_ms = r->ready_decode_ms;
                r->fresh = false;
                r->drawing = true;
            }
        }
        if (!fresh) {
            // Nothing new: the window may have been resized or exposed since,
            // so the last picture is drawn again into its present size.
            VKO_RenderDesc again = last;
            again.format = 0;
            again.filter = r->filter;
            VKO_WindowDrawQuad(r->app, r->window, picture.data(), &again);
            VKO_WindowPresent(r->app, r->window);
            continue;
        }
        shown.filter = r->filter;
        const Clock::time_point start = Clock::now();
        VKO_WindowDrawQuad(r->app, r->window, picture.data(), &shown);
        VKO_WindowPresent(r->app, r->window);
        last = shown;
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
    const bool key = is_key_unit(data, size);
    bool queued = false, ask = false;
    ClientRenderKeyRequest fn = nullptr;
    void *opaque = nullptr;
    {
        std::lock_guard<std::mutex> l(r->lock);
        r->received++;
        if (key) r->skipping = false;
        if (!r->skipping && over_bounds(r, size)) ask = make_room(r, size, key);
        if (r->skipping) {
            r->dropped++;  // built on what was dropped
        } else {
            r->pending.push_back({std::vector<uint8_t>(data, data + size), key});
            r->pending_bytes += size;
            queued = true;
        }
        fn = r->key_request;
        opaque = r->key_request_opaque;
    }
    if (queued) r->wake.notify_one();
    if (ask && fn) fn(opaque);
}

void client_render_set_key_request(ClientRender *r, ClientRenderKeyRequest fn, void *opaque) {
    if (!r) return;
    std::lock_guard<std::mutex> l(r->lock);
    r->key_request = fn;
    r->key_request_opaque = opaque;
}

void client_render_redraw(ClientRender *r) {
    if (!r) return;
    std::lock_guard<std::mutex> l(r->lock);
    r->redraw = true;
    r->drawable.notify_one();
}

ClientRenderStats client_render_stats(ClientRender *r) {
    ClientRenderStats s{};
    if (!r) return s;
    s.received = r->received.load();
    s.decoded = r->decoded.load();
    s.drawn = r->drawn.load();
    s.errors = r->errors.load();
    s.dropped = r->dropped.load();
    s.width = r->width.load();
    s.height = r->height.load();
    std::lock_guard<std::mutex> l(r->lock);
    s.queued = uint32_t(r->pending.size());
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
    if (const size_t left = (*r)->pending.size())
        VKO_Log("client_render_stop", "%zu queued units were not decoded", left);
    delete *r;
    *r = nullptr;
}
