// The host session at 1920 x 1080 and 60 frames per second on a private Xvfb
// (the screen changes every frame), with 1 and 4 guests on BUD over loopback.
// Frames are paired by their number: the capture row is wrapped so the time
// of each delivered frame's capture is kept under the frame's number (the
// encode thread fetches one texture per frame, in order), and each guest's
// transport is wrapped so every video message it accepted is tied to the
// frame being sent. A guest's stream is ordered, so its n-th received
// message is its n-th accepted one. Capture-to-guest is the frame's arrival
// (whole message read) less its capture; with four guests, the last guest's
// arrival. Frames per second count from each guest's first frame. Also the
// process's CPU time per second of streaming.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/capture.h"
#include "host/host.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "support/bud_pair.h"
#include "support/xvfb.h"
#include "util/config.h"

// After the test headers: Xlib defines None.
#include <X11/Xlib.h>

namespace {

const uint32_t W = 1920, H = 1080;
const size_t kWarmUp = 60;  // frames left out of the figures (encoder start)

double cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct GuestEnd {
    BudPair pair;
    BUD *host_link = nullptr;
    std::thread video;
    std::vector<int64_t> arrived;  // per received video message (video thread)
    std::vector<size_t> sent;      // frame number per accepted message (encode thread)
};

// What the wrappers record; the encode thread writes, the benchmark reads
// after the host is gone.
struct Record {
    std::mutex lock;
    int64_t last_poll = 0;
    std::vector<int64_t> captured;  // capture time per frame number
    std::vector<int64_t> first_send;
    std::map<void *, GuestEnd *> guests;
} g_rec;

int32_t poll_wrap(void *h, uint32_t timeout, uint8_t *cursor, CaptureFrame *f) {
    int32_t r = cap_dxgi_poll(h, timeout, cursor, f);
    if (r == 0 && f->new_frame) {
        std::lock_guard<std::mutex> l(g_rec.lock);
        g_rec.last_poll = static_cast<int64_t>(f->time);
    }
    return r;
}

int32_t texture_wrap(void *h, uint32_t format, ID3D11Texture2D **out) {
    std::lock_guard<std::mutex> l(g_rec.lock);
    g_rec.captured.push_back(g_rec.last_poll);
    return cap_dxgi_get_texture(h, format, out);
}

int32_t send_wrap(void *ctx, uint8_t stream, const void *prefix, uint8_t prefix_len, const void *data,
                  uint32_t length, uint32_t timeout_ms) {
    int64_t t = VKO_GetTime();
    int32_t r = bud_send(ctx, stream, prefix, prefix_len, data, length, timeout_ms);
    if (stream != 1 || r != 0) return r;
    std::lock_guard<std::mutex> l(g_rec.lock);
    size_t frame = g_rec.captured.size() - 1;
    if (g_rec.first_send.size() <= frame) g_rec.first_send.resize(frame + 1, 0);
    if (!g_rec.first_send[frame]) g_rec.first_send[frame] = t;
    auto it = g_rec.guests.find(ctx);
    if (it != g_rec.guests.end()) it->second->sent.push_back(frame);
    return r;
}

double pct(std::vector<double> v, double p) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

void BM_CaptureToGuest(benchmark::State &state) {
    if (xvfb_display(W, H).empty()) return state.SkipWithError("no Xvfb");
    const uint32_t guests = static_cast<uint32_t>(state.range(0));
    HostConfig cfg{};
    config_create();
    config_read_host(&cfg);
    config_destroy();
    cfg.video[0].encoderFPS = 60;
    CaptureApi capture = capture_dxgi_api;
    capture.poll = poll_wrap;
    capture.get_texture = texture_wrap;
    HostHooks hooks{nullptr, 1, &capture, nullptr, 0};
    host_set_hooks(&hooks);
    for (auto _ : state) {
        {
            std::lock_guard<std::mutex> l(g_rec.lock);
            g_rec.captured.clear();
            g_rec.first_send.clear();
            g_rec.guests.clear();
        }
        HostContext *ctx = nullptr;
        host_create(&cfg, nullptr, nullptr, &ctx);
        std::atomic<bool> run{true};
        std::vector<std::unique_ptr<GuestEnd>> ends;
        for (uint32_t i = 0; i < guests; i++) {
            auto g = std::make_unique<GuestEnd>();
            if (!g->pair.open(false)) return state.SkipWithError("no link");
            GuestInfo info{};
            info.id = i + 1;
            info.owner = i == 0;
            g->host_link = g->pair.host;
            {
                std::lock_guard<std::mutex> l(g_rec.lock);
                g_rec.guests[g->host_link] = g.get();
            }
            TransportRecord *t = proto_create(TRANSPORT_BUD, g->pair.host, bud_recv, send_wrap, bud_close);
            g->pair.host = nullptr;
            host_on_accept(&info, t, ctx);
            ClientConfig cc{};
            proto_client_config_defaults(&cc);
            char *json = proto_client_config_to_json(&cc, 0, W, H, 0x8);
            std::vector<uint8_t> m(PROTO_HEADER_SIZE);
            uint32_t n = static_cast<uint32_t>(std::strlen(json)) + 1;
            proto_write_header(m.data(), {n, 0, 0, MSG_CLIENT_CONFIG});
            m.insert(m.end(), json, json + n);
            VKO_Free(json);
            send_all(g->pair.client, 0, m);
            GuestEnd *ge = g.get();
            ge->video = std::thread([ge, &run] {
                std::vector<uint8_t> buf(1 << 23);
                while (run.load()) {
                    uint32_t len = 0;
                    if (bud_recv(ge->pair.client, 1, buf.data(), static_cast<uint32_t>(buf.size()), &len,
                                 100) == 0)
                        ge->arrived.push_back(VKO_GetTime());
                }
            });
            ends.push_back(std::move(g));
        }
        // The screen changes every 1/60 s.
        Display *dpy = XOpenDisplay(nullptr);
        int64_t start = VKO_GetTime();
        double cpu0 = 0;
        auto next = std::chrono::steady_clock::now();
        for (uint64_t i = 0; VKO_TimeDiff(start, VKO_GetTime()) < 6000; i++) {
            if (i == 120) cpu0 = cpu_seconds();  // after the start-up
            XSetForeground(dpy, DefaultGC(dpy, 0), (i * 2654435761u) & 0xFFFFFF);
            XFillRectangle(dpy, DefaultRootWindow(dpy), DefaultGC(dpy, 0), static_cast<int>(i * 7 % W), 0, 64,
                           H);
            XFlush(dpy);
            next += std::chrono::microseconds(16667);
            std::this_thread::sleep_until(next);
        }
        double cpu = cpu_seconds() - cpu0;
        int64_t end = VKO_GetTime();
        double secs = VKO_TimeDiff(start, end) / 1000.0 - 2.0;
        XCloseDisplay(dpy);
        run.store(false);
        for (auto &g : ends) g->video.join();
        host_destroy(&ctx, 0);

        // Per frame number: the arrival at each guest (0: not received).
        size_t frames = g_rec.captured.size();
        std::vector<std::vector<int64_t>> at(guests, std::vector<int64_t>(frames, 0));
        double fps_sum = 0, fps_min = 1e9;
        for (uint32_t gi = 0; gi < guests; gi++) {
            GuestEnd &g = *ends[gi];
            size_t n = std::min(g.arrived.size(), g.sent.size());
            for (size_t j = 0; j < n; j++)
                if (g.sent[j] < frames) at[gi][g.sent[j]] = g.arrived[j];
            double fps = n > 1 ? static_cast<double>(n) / (VKO_TimeDiff(g.arrived[0], end) / 1000.0) : 0;
            fps_sum += fps;
            fps_min = std::min(fps_min, fps);
        }
        std::vector<double> to_guest, to_send;
        uint32_t missing = 0;
        for (size_t k = kWarmUp; k < frames; k++) {
            int64_t last = 0;
            bool all = true;
            for (uint32_t gi = 0; gi < guests; gi++) {
                all &= at[gi][k] != 0;
                last = std::max(last, at[gi][k]);
            }
            if (!all) {
                missing++;
                continue;
            }
            to_guest.push_back(VKO_TimeDiff(g_rec.captured[k], last));
            if (k < g_rec.first_send.size() && g_rec.first_send[k])
                to_send.push_back(VKO_TimeDiff(g_rec.captured[k], g_rec.first_send[k]));
        }
        ends.clear();
        if (to_guest.empty()) return state.SkipWithError("no frames");
        state.counters["to_guest_ms_p50"] = pct(to_guest, 0.5);
        state.counters["to_guest_ms_p99"] = pct(to_guest, 0.99);
        state.counters["to_sent_ms_p50"] = pct(to_send, 0.5);
        state.counters["to_sent_ms_p99"] = pct(to_send, 0.99);
        state.counters["fps_per_guest"] = fps_sum / guests;
        state.counters["fps_min_guest"] = fps_min;
        state.counters["not_at_all"] = missing;
        state.counters["cpu_per_s"] = cpu / secs;
    }
    host_set_hooks(nullptr);
}
BENCHMARK(BM_CaptureToGuest)->Arg(1)->Arg(4)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
