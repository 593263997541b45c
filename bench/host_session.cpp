// The host session at 1920 x 1080 and 60 frames per second on a private Xvfb
// (the screen changes every frame), with 1 and 4 guests on BUD over loopback.
// Per frame, from the guests' side: the host's capture-to-encoded time (the
// timing report that follows each frame), and how much later than that report
// the frame's last byte arrived (0 when it was there first): their sum is the
// capture-to-guest time. Also the process's CPU time per second of streaming.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

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

double cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

float be_float(const uint8_t *p) {
    uint32_t u = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}

struct GuestEnd {
    BudPair pair;
    std::thread video, control;
    std::vector<int64_t> frame_at, report_at;
    std::vector<float> encoded_ms;
};

void BM_CaptureToGuest(benchmark::State &state) {
    if (xvfb_display(W, H).empty()) return state.SkipWithError("no Xvfb");
    const uint32_t guests = static_cast<uint32_t>(state.range(0));
    HostConfig cfg{};
    config_create();
    config_read_host(&cfg);
    config_destroy();
    cfg.video[0].encoderFPS = 60;
    HostHooks hooks{nullptr, 1, nullptr, nullptr, 0};
    host_set_hooks(&hooks);
    for (auto _ : state) {
        HostContext *ctx = nullptr;
        host_create(&cfg, nullptr, nullptr, &ctx);
        ctx->timing_video.store(1);
        std::atomic<bool> run{true};
        std::vector<std::unique_ptr<GuestEnd>> ends;
        for (uint32_t i = 0; i < guests; i++) {
            auto g = std::make_unique<GuestEnd>();
            if (!g->pair.open(false)) return state.SkipWithError("no link");
            GuestInfo info{};
            info.id = i + 1;
            info.owner = i == 0;
            TransportRecord *t = proto_create(TRANSPORT_BUD, g->pair.host, bud_recv, bud_send, bud_close);
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
                    if (bud_recv(ge->pair.client, 1, buf.data(), buf.size(), &len, 100) == 0)
                        ge->frame_at.push_back(VKO_GetTime());
                }
            });
            ge->control = std::thread([ge, &run] {
                std::vector<uint8_t> buf(PROTO_RECV_BUFFER);
                while (run.load()) {
                    uint32_t len = 0;
                    if (bud_recv(ge->pair.client, 0, buf.data(), buf.size(), &len, 100) != 0) continue;
                    if (len == PROTO_HEADER_SIZE + 16 && buf[12] == MSG_TIMING) {
                        ge->report_at.push_back(VKO_GetTime());
                        ge->encoded_ms.push_back(be_float(buf.data() + PROTO_HEADER_SIZE + 8));
                    }
                }
            });
            ends.push_back(std::move(g));
        }
        // The screen changes every 1/60 s.
        Display *dpy = XOpenDisplay(nullptr);
        int64_t start = VKO_GetTime();
        double cpu0 = 0;
        for (uint64_t i = 0; VKO_TimeDiff(start, VKO_GetTime()) < 6000; i++) {
            if (i == 120) cpu0 = cpu_seconds();  // after the start-up
            XSetForeground(dpy, DefaultGC(dpy, 0), (i * 2654435761u) & 0xFFFFFF);
            XFillRectangle(dpy, DefaultRootWindow(dpy), DefaultGC(dpy, 0), static_cast<int>(i * 7 % W), 0, 64,
                           H);
            XFlush(dpy);
            std::this_thread::sleep_for(std::chrono::microseconds(16667));
        }
        double cpu = cpu_seconds() - cpu0;
        double secs = VKO_TimeDiff(start, VKO_GetTime()) / 1000.0 - 2.0;
        XCloseDisplay(dpy);
        run.store(false);
        for (auto &g : ends) {
            g->video.join();
            g->control.join();
        }
        std::vector<double> total, encoded;
        uint32_t frames = 0;
        for (auto &g : ends) {
            size_t n = std::min(g->frame_at.size(), g->report_at.size());
            frames += static_cast<uint32_t>(n);
            for (size_t k = 60; k < n; k++) {
                double late = std::max(0.0, VKO_TimeDiff(g->report_at[k], g->frame_at[k]));
                total.push_back(g->encoded_ms[k] + late);
                encoded.push_back(g->encoded_ms[k]);
            }
        }
        host_destroy(&ctx, 0);
        ends.clear();
        if (total.empty()) return state.SkipWithError("no frames");
        std::sort(total.begin(), total.end());
        std::sort(encoded.begin(), encoded.end());
        auto pct = [](const std::vector<double> &v, double p) {
            return v[static_cast<size_t>(p * (v.size() - 1))];
        };
        state.counters["to_guest_ms_p50"] = pct(total, 0.5);
        state.counters["to_guest_ms_p99"] = pct(total, 0.99);
        state.counters["encoded_ms_p50"] = pct(encoded, 0.5);
        state.counters["encoded_ms_p99"] = pct(encoded, 0.99);
        state.counters["fps_per_guest"] = frames / (6.0 * guests);
        state.counters["cpu_per_s"] = cpu / secs;
    }
    host_set_hooks(nullptr);
}
BENCHMARK(BM_CaptureToGuest)->Arg(1)->Arg(4)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
