// The run: sets up the displays (its own Xvfb with one monitor per display,
// or the outputs of $DISPLAY), the local signaling and STUN stand-ins, the
// host and client instances and the client's windows; streams for the
// duration, printing a line per second; then reports, takes the windows'
// screenshots, stops everything in order and runs the FFmpeg peer if asked.
//
// Threads: the main thread runs all of this and owns what it starts: the
// painter, the event poller (which answers both instances' candidates through
// the route, and approves the guest's request to connect), the input
// demonstration's thread and the glass watcher; it joins each before it frees
// what that thread reads. It polls stopping() in every wait, and a display
// watch while it streams, so a lost display stops the run with an error.
//
// A stop asked for while the windows settle cuts their wait to about a
// second: a stream that lags far behind is not waited for.
#include "run.h"

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/context.h"
#include "client/render.h"
#include "connection/instance.h"
#include "connection/mp4.h"
#include "connection/nat.h"
#include "glass.h"
#include "host/host.h"
#include "input.h"
#include "pattern.h"
#include "peer.h"
#include "platform/build_info.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "platform/window.h"
#include "route.h"
#include "signaling.h"
#include "signals.h"
#include "sink.h"
#include "support/net/signal_server.h"
#include "support/net/stun_server.h"
#include "support/xvfb.h"
#include "timeline.h"
#include "util/config.h"
#include "util/winutil.h"
#include "viewer.h"

namespace zv {

using namespace std::chrono_literals;

namespace {

// The displays to stream: monitors side by side on our own Xvfb, or the
// first outputs of the given display.
bool set_up_displays(const Options &o) {
    bool own = !std::getenv("DISPLAY") || !*std::getenv("DISPLAY");
    if (own) {
        // Room right of the streamed area for the client's windows, which
        // must not be captured themselves.
        const bool view = o.gfx != "none";
        const uint32_t sw = o.width * o.displays + (view ? o.width / 2 : 0);
        const uint32_t sh = std::max(o.height, view ? o.displays * (o.height / 2) : 0);
        // The server is ours to stop: a Ctrl-C on the terminal reaches the
        // whole process group, and the server must outlive it until the
        // stream has ended. It keeps SIGINT blocked from us.
        sigset_t block, old;
        sigemptyset(&block);
        sigaddset(&block, SIGINT);
        pthread_sigmask(SIG_BLOCK, &block, &old);
        const bool started = !xvfb_display(sw, sh).empty();
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        if (!started) {
            std::fprintf(stderr, "zarvek: could not start Xvfb\n");
            return false;
        }
        if (o.displays > 1 || view) {
            std::string cmd;
            for (uint32_t k = 0; k < o.displays; k++) {
                char one[160];
                std::snprintf(one, sizeof one, "%sxrandr --setmonitor zv%u %u/300x%u/300+%u+0 %s",
                              k ? " && " : "", k, o.width, o.height, k * o.width, k ? "none" : "screen");
                cmd += one;
                cmd += " >/dev/null 2>&1";
            }
            if (xvfb_run(cmd) != 0) {
                std::fprintf(stderr, "zarvek: could not make %u monitors\n", o.displays);
                return false;
            }
        }
    }
    DisplayOutput outs[DISPLAY_MAX_OUTPUTS];
    uint32_t n = display_adapter_get_all(outs);
    if (n < o.displays) {
        std::fprintf(stderr, "zarvek: %u display(s) asked for, %u found\n", o.displays, n);
        return false;
    }
    for (uint32_t k = 0; k < o.displays; k++) g_timeline.outputs[k] = outs[k];

    g_timeline.streams = o.displays;
    uint32_t w = g_timeline.outputs[0].width, h = g_timeline.outputs[0].height;
    for (uint32_t k = 1; k < o.displays; k++) {
        w = std::min(w, g_timeline.outputs[k].width);
        h = std::min(h, g_timeline.outputs[k].height);
    }
    g_glass.area = frame_code_area(w, h);
    return true;
}

// The output folder: the one --out names (made if missing, written into if
// it exists), else a new zarvek-<date>-<time> here, made exclusively (-2, -3,
// ... after it when taken) so runs started together never share one.
bool make_output_folder(const Options &o, std::string *out) {
    if (!o.out.empty()) {
        *out = o.out;
        struct stat st;
        if (mkdir(out->c_str(), 0755) == 0 ||
            (errno == EEXIST && stat(out->c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
            return true;
        std::fprintf(stderr, "zarvek: cannot make the output folder %s: %s\n", out->c_str(),
                     errno == EEXIST ? "it is not a folder" : strerror(errno));
        return false;
    }
    char name[64];
    std::time_t t = std::time(nullptr);
    std::tm local;
    std::strftime(name, sizeof name, "zarvek-%Y%m%d-%H%M%S", localtime_r(&t, &local));
    for (int n = 1; n <= 1000; n++) {
        *out = n == 1 ? name : std::string(name) + "-" + std::to_string(n);
        if (mkdir(out->c_str(), 0755) == 0) return true;
        if (errno != EEXIST) break;
    }
    std::fprintf(stderr, "zarvek: cannot make the output folder %s: %s\n", out->c_str(),
                 errno == EEXIST ? "a thousand of that name are taken" : strerror(errno));
    return false;
}

// A wait's end: `ms` after it began, or kStopWaitMs after a stop asked for
// before it or meanwhile, whichever comes first.
class StopBound {
   public:
    explicit StopBound(double ms) : begin_(VKO_GetTime()), ms_(ms) {}
    bool more() {
        const double now = VKO_TimeDiff(begin_, VKO_GetTime());
        if (stopping() && stop_ms_ < 0) stop_ms_ = now;
        const double end = stop_ms_ < 0 ? ms_ : std::min(ms_, stop_ms_ + kStopWaitMs);
        cut_ = now >= end && end < ms_;
        return now < end;
    }
    // Whether the stop ended the wait early.
    bool cut() const { return cut_; }

   private:
    static constexpr double kStopWaitMs = 1000;
    int64_t begin_;
    double ms_, stop_ms_ = -1;
    bool cut_ = false;
};

}  // namespace

int run(const Options &o) {
    const bool own_display = !std::getenv("DISPLAY") || !*std::getenv("DISPLAY");
    std::string out;
    if (!make_output_folder(o, &out)) return 1;
    if (!set_up_displays(o)) return 1;
    // Our Xvfb is not a watched child: it ends with the process by itself
    // (its parent-death signal), so a crash never takes the display away
    // from threads still drawing before the process is gone.
    if (stopping()) return 1;
    DisplayWatch watch;
    std::string files[kMaxDisplays];
    for (uint32_t k = 0; k < o.displays; k++) {
        Received &r = g_rx[k];
        r.index = k;
        r.ticks_per_frame = 90000 / o.fps;
        files[k] = out + "/video" + std::to_string(k) + ".mp4";
        r.file = std::fopen(files[k].c_str(), "wb");
        if (!r.file) {
            std::fprintf(stderr, "zarvek: cannot write %s: %s\n", files[k].c_str(), strerror(errno));
            for (uint32_t j = 0; j < k; j++) std::fclose(g_rx[j].file);
            return 1;
        }
        // Each frame one write, so a failed one is known to be that frame's
        // (buffered, the loss would show at a later flush or the close).
        std::setvbuf(r.file, nullptr, _IONBF, 0);
        r.buffer = static_cast<uint8_t *>(VKO_Alloc(1, MP4_VIDEO_BUFFER));
    }
    bool relay_on = o.loss > 0 || o.delay >= 0;
    char link[96] = "";
    if (relay_on)
        std::snprintf(link, sizeof link, " through the lossy relay (%.1f%% loss, %.0f ms delay each way)",
                      o.loss, std::max(0.0, o.delay));
    if (o.fixed) std::snprintf(link, sizeof link, " between fixed addresses only");
    std::printf("zarvek %s: display %s, %u x %u at %u fps, %u display(s), %s on loopback%s\n",
                zarvek_version(), std::getenv("DISPLAY"), g_timeline.outputs[0].width,
                g_timeline.outputs[0].height, o.fps, o.displays, o.sctp == 1 ? "SCTP" : "BUD", link);

    std::atomic<bool> painting{true};
    std::thread painter(paint, std::cref(painting), o.displays, o.fps);
    auto stop_painter = [&] {
        painting = false;
        if (painter.joinable()) painter.join();
    };
    if (o.gfx != "none") {
        if (viewer_start(o, own_display))
            std::printf("client windows: %u of %u x %u through %s\n", o.displays, g_viewer.width,
                        g_viewer.height, gfx_name(client_render_api(g_viewer.render[0])));
        else
            std::printf("client windows: their graphics could not be made; streaming without them\n");
    }

    StunServer stun;
    SignalServer server;
    auto close_files = [&] {
        for (uint32_t k = 0; k < o.displays; k++) {
            Received &r = g_rx[k];
            if (std::fclose(r.file) != 0 && !r.write_error) r.write_error = errno;
            r.file = nullptr;
            VKO_Free(r.buffer);
        }
    };
    if (!stun.start() || !server.start()) {
        std::fprintf(stderr, "zarvek: could not start the local servers\n");
        stop_painter();
        viewer_stop();
        close_files();
        return 1;
    }
    // Only the local stand-ins: no built-in server name is resolved.
    nat_set_builtin_servers("127.0.0.1", stun.port(), "", 0);

    // The configured network settings, but only the local stand-ins as servers.
    ZarvekNetConfig net;
    config_read_network(&net);
    net.host_servers[0] = net.client_servers[0] = '\0';
    ZarvekInstance *host = nullptr, *client = nullptr;
    ZarvekInit(&net, &host);
    ZarvekInit(&net, &client);
    viewer_ask_key_frames(client);
    Signaling sig;
    signaling_create(&sig, host, client);
    for (SignalContext *s : {sig.host, sig.client}) signal_set_server(s, "127.0.0.1", server.port(), 0);
    if (o.fixed) {
        // Set before the host's session starts, as the announcement is.
        signal_set_public_addr(sig.host, "127.0.0.1");
        ZarvekClientSetFixedAddress(client, "127.0.0.1");
    }
    signal_set_session(sig.host, "H");

    CaptureApi capture = timed_capture();
    HostHooks hooks{};
    hooks.no_audio_thread = 1;
    hooks.capture = &capture;
    hooks.encoders = timed_encoders();
    hooks.encoder_count = ENC_ROWS;
    host_set_hooks(&hooks);
    // The merged settings, with what the command line says over them.
    HostConfig hc;
    config_read_host(&hc);
    for (uint32_t k = 0; k < o.displays; k++) {
        hc.video[k].encoderFPS = static_cast<int32_t>(o.fps);
        if (o.bitrate) hc.video[k].encoderMaxBitrate = static_cast<int32_t>(o.bitrate);
        std::snprintf(hc.video[k].output, sizeof hc.video[k].output, "%s", g_timeline.outputs[k].id);
    }
    char proxy[PROXY_ADDRESS_SIZE];
    proxy_get(proxy, sizeof proxy);
    std::printf("settings: %d Mbit/s largest bitrate, %d guest(s) at most, proxy %s\n",
                hc.video[0].encoderMaxBitrate, hc.max_clients, proxy[0] ? proxy : "none");
    client_set_media_sink(on_media, nullptr);
    int rc = 1;
    CandidateRoute route;
    route.sig = &sig;
    route.relay_on = relay_on;
    route.fixed_only = o.fixed;
    route.rules.loss = o.loss / 100.0;
    route.rules.delay_us = static_cast<uint32_t>(std::max(0.0, o.delay) * 1000);
    std::atomic<bool> polling{true};
    std::atomic<int32_t> connect_code{1};
    std::thread poller([&] {
        ClientEvent ev;
        HostEvent hev;
        while (polling.load()) {
            if (ZarvekClientPollEvents(client, 10, &ev)) {
                if (ev.type == CLIENT_EVENT_LOCAL_CANDIDATE)
                    route.from_client(ev.candidate);
                else if (ev.type == CLIENT_EVENT_STATUS && ev.status.phase == ZARVEK_PHASE_CONNECT)
                    connect_code = ev.status.code;
            }
            if (ZarvekHostPollEvents(host, 0, &hev) && hev.type == HOST_EVENT_CANDIDATE)
                route.from_host(hev.candidate);
            signaling_approve(&sig, 0);
        }
    });

    ClientConfig cc;
    config_read_client(nullptr, &cc);
    cc.protocol = static_cast<int32_t>(o.sctp == 1 ? SIGNAL_MODE_SCTP : SIGNAL_MODE_BUD);
    for (uint32_t k = 0; k < kMaxDisplays; k++) {
        ClientStreamSettings &s = cc.stream[k];
        s.decoder_h265 = 0;  // the MP4 file carries H.264
        s.resolution_x = static_cast<int32_t>(g_timeline.outputs[k < o.displays ? k : 0].width);
        s.resolution_y = static_cast<int32_t>(g_timeline.outputs[k < o.displays ? k : 0].height);
    }
    int64_t t0 = VKO_GetTime();
    int32_t r = ZarvekHostStart(host, nullptr, &hc);
    if (r == 0) r = signal_client_connect(sig.client, client, &cc, "H", "C", "secret");
    for (int i = 0; r == 0 && connect_code.load() == 1 && i < 3000 && !stopping(); i++) {
        watch.poll();
        std::this_thread::sleep_for(10ms);
    }
    if (stopping()) {
        std::fprintf(stderr, "zarvek: stopped while connecting\n");
    } else if (r != 0 || connect_code.load() != 0) {
        std::fprintf(stderr, "zarvek: the client did not connect (%d)\n", r ? r : connect_code.load());
    } else {
        std::printf("connected in %.0f ms\n", VKO_TimeDiff(t0, VKO_GetTime()));
        for (uint8_t k = 1; k < o.displays; k++) ZarvekClientEnableStream(client, k, 1);
        int64_t start = VKO_GetTime(), last_at = start;
        double first_frame = -1;
        uint64_t last_frames = 0, last_bytes = 0;
        std::thread demo;
        std::mutex demo_lock;
        std::string demo_line;
        bool demo_printed = false;
        GlassWatch glass;
        bool watching = false;
        auto total = [&](std::atomic<uint64_t> Received::*field) {
            uint64_t n = 0;
            for (uint32_t k = 0; k < o.displays; k++) n += (g_rx[k].*field).load();
            return n;
        };
        for (int sec = 1; VKO_TimeDiff(start, VKO_GetTime()) < o.duration * 1000 && !stopping(); sec++) {
            while (VKO_TimeDiff(start, VKO_GetTime()) < std::min<double>(sec * 1000.0, o.duration * 1000) &&
                   !stopping()) {
                if (first_frame < 0 && g_rx[0].frames.load()) {
                    first_frame = VKO_TimeDiff(t0, VKO_GetTime());
                    demo = std::thread([&] {
                        std::string line = input_demo(client);
                        std::lock_guard<std::mutex> l(demo_lock);
                        demo_line = line;
                    });
                    std::vector<unsigned long> windows;
                    for (uint32_t k = 0; k < o.displays && g_viewer.render[k]; k++)
                        windows.push_back(viewer_window(k));
                    if (!windows.empty() && own_display) {
                        glass.start(windows, double(g_viewer.width) / g_timeline.outputs[0].width);
                        watching = true;
                    }
                }
                // The last second shows a still picture, so the windows can be
                // compared with what the displays hold.
                if (own_display && o.duration >= 2 &&
                    VKO_TimeDiff(start, VKO_GetTime()) >= (o.duration - 1) * 1000)
                    painting = false;
                watch.poll();
                std::this_thread::sleep_for(5ms);
            }
            GuestInfo *guests = nullptr;
            StreamMetrics hm{};
            if (ZarvekHostGetGuests(host, 4, &guests) > 0) hm = guests[0].video[0];
            VKO_Free(guests);
            std::vector<double> period;
            for (uint32_t k = 0; k < o.displays; k++) {
                std::lock_guard<std::mutex> l(g_rx[k].lock);
                period.insert(period.end(), g_rx[k].period.begin(), g_rx[k].period.end());
                g_rx[k].period.clear();
            }
            uint64_t f = total(&Received::frames), b = total(&Received::bytes);
            // A stop (or the duration's end) may cut the second short.
            const int64_t now = VKO_GetTime();
            const double length = std::max(VKO_TimeDiff(last_at, now), 1.0) / 1000;
            last_at = now;
            char cut[32] = "";
            if (VKO_TimeDiff(start, now) < sec * 1000.0) std::snprintf(cut, sizeof cut, " in %.2f s", length);
            char transport[128] = "";
            if (o.sctp != 1)  // SCTP keeps no per-stream packet counts or round trip here
                std::snprintf(transport, sizeof transport,
                              "  sent %u packets  retransmissions %u  rtt %.2f ms", hm.packetsSent,
                              hm.fastRTs + hm.slowRTs, hm.networkLatency);
            char latency[96] = "capture-to-receive: no frame";
            if (!period.empty())
                std::snprintf(latency, sizeof latency, "capture-to-receive %.1f ms median, %.1f ms p99",
                              percentile(period, 0.5), percentile(period, 0.99));
            std::printf(
                "%3d s  received %llu frames (+%llu%s)  %.2f Mbit/s  %s  capture-to-encoded %.1f ms%s\n", sec,
                static_cast<unsigned long long>(f), static_cast<unsigned long long>(f - last_frames), cut,
                (b - last_bytes) * 8 / 1e6 / length, latency, hm.encodeLatency, transport);
            {
                std::lock_guard<std::mutex> l(demo_lock);
                if (!demo_line.empty() && !demo_printed) {
                    std::printf("%s\n", demo_line.c_str());
                    demo_printed = true;
                }
            }
            std::fflush(stdout);
            last_frames = f;
            last_bytes = b;
        }
        std::vector<std::vector<double>> seen = glass.stop();
        // The displays hold still from here, also after a stop by signal, so
        // the windows can be compared with them once the last frame is in.
        stop_painter();
        if (demo.joinable()) demo.join();
        if (!demo_printed && !demo_line.empty()) std::printf("%s\n", demo_line.c_str());
        double secs = VKO_TimeDiff(start, VKO_GetTime()) / 1000.0;
        std::vector<double> all;
        for (uint32_t k = 0; k < o.displays; k++) {
            std::lock_guard<std::mutex> l(g_rx[k].lock);
            all.insert(all.end(), g_rx[k].latency.begin(), g_rx[k].latency.end());
        }
        uint64_t encoded = 0;
        {
            std::lock_guard<std::mutex> l(g_timeline.lock);
            for (uint32_t k = 0; k < o.displays; k++) encoded += g_timeline.fetched[k];
        }
        uint64_t frames = total(&Received::frames);
        uint32_t errors = 0;
        for (uint32_t k = 0; k < o.displays; k++) errors += g_rx[k].errors.load();
        char first[64] = "no frame";
        if (first_frame >= 0) std::snprintf(first, sizeof first, "first frame %.0f ms", first_frame);
        std::printf(
            "summary: %llu frames received in %.1f s (%.1f fps), %.2f Mbit/s, %s after connecting began, %u "
            "frames not written\n",
            static_cast<unsigned long long>(frames), secs, frames / secs / o.displays,
            total(&Received::bytes) * 8 / secs / 1e6, first, errors);
        if (all.empty())
            std::printf("latency: capture-to-receive: no frame matched with its capture\n");
        else
            std::printf(
                "latency: capture-to-receive %.1f ms median, %.1f ms p99, %.1f ms largest over %zu frames\n",
                percentile(all, 0.5), percentile(all, 0.99), percentile(all, 1.0), all.size());
        std::printf("frames: %llu encoded, %llu received, %llu missing, %llu out of order, %llu unmatched\n",
                    static_cast<unsigned long long>(encoded), static_cast<unsigned long long>(frames),
                    static_cast<unsigned long long>(total(&Received::missing)),
                    static_cast<unsigned long long>(total(&Received::unordered)),
                    static_cast<unsigned long long>(total(&Received::unpaired)));
        const double scale = double(g_viewer.width) / g_timeline.outputs[0].width;
        // The last frame painted reaches the windows, and slow windows (a CPU
        // renderer on a busy machine) catch up with what arrived, before their
        // pictures are taken: all windows at once, for 5 s at most.
        std::vector<unsigned long> windows;
        for (uint32_t k = 0; k < o.displays && g_viewer.render[k]; k++) windows.push_back(viewer_window(k));
        StopBound settle(5000);
        auto more = [&] {
            watch.poll();
            return settle.more();
        };
        const int32_t last = g_glass.last.load();
        std::vector<bool> arrived(windows.size(), false);
        if (own_display && last >= 0 && !windows.empty())
            arrived = glass_wait_for(windows, scale, uint32_t(last), more);
        auto idle = [&] {
            for (size_t k = 0; k < windows.size(); k++)
                if (!client_render_stats(g_viewer.render[k]).idle) return false;
            return true;
        };
        while (!idle() && more()) std::this_thread::sleep_for(10ms);
        for (uint32_t k = 0; k < windows.size(); k++) {
            ClientRenderStats st = client_render_stats(g_viewer.render[k]);
            std::printf(
                "window %u: %llu pictures drawn through %s (%llu decoded, %llu damaged)", k,
                static_cast<unsigned long long>(st.drawn), gfx_name(client_render_api(g_viewer.render[k])),
                static_cast<unsigned long long>(st.decoded), static_cast<unsigned long long>(st.errors));
            if (display_lost()) {
                std::printf(", no screenshot: the display was lost\n");
            } else {
                std::string shot = out + "/window" + std::to_string(k) + ".png";
                Likeness like = viewer_screenshot(k, shot);
                std::printf(", screenshot %s", like.written ? shot.c_str() : "not written");
                if (own_display && !arrived[k] && settle.cut())
                    std::printf(", no comparison: the stop cut short the wait for the last painted frame");
                else if (own_display && !arrived[k])
                    std::printf(", no comparison: the last painted frame did not reach the window");
                else if (own_display && like.psnr >= 0)
                    std::printf(", PSNR %.1f dB (luma %.1f dB) against the painted display", like.psnr,
                                like.luma_psnr);
                std::printf("\n");
            }
            // Also when a stop came before the first frame, and the watcher
            // never started.
            if (own_display)
                print_glass(("window " + std::to_string(k) + " through " +
                             gfx_name(client_render_api(g_viewer.render[k])))
                                .c_str(),
                            k < seen.size() ? seen[k] : std::vector<double>{});
        }
        if (watching) print_stages();
        rc = frames > 0 ? 0 : 1;
        if (!frames && !stopping())
            std::fprintf(stderr, "zarvek: no frame arrived in %.1f s of streaming\n", secs);
        ZarvekClientDisconnect(client);
    }
    polling = false;
    poller.join();
    ZarvekHostStop(host, 0);
    client_set_media_sink(nullptr, nullptr);
    signaling_destroy(&sig);
    viewer_ask_key_frames(nullptr);
    ZarvekDestroy(&client);
    viewer_stop();  // no media reaches the windows once the client is gone
    ZarvekDestroy(&host);
    host_set_hooks(nullptr);
    if (route.relay) route.relay->stop();
    stop_painter();
    std::fflush(stdout);  // the report, before the peer's seconds
    if (o.peer && rc == 0 && !stopping()) {
        if (own_display && g_viewer.width) {
            painting = true;
            painter = std::thread(paint, std::cref(painting), 1, o.fps);
            if (!run_peer(o, out, static_cast<uint32_t>(hc.video[0].encoderMaxBitrate))) rc = kExitPeerFailed;
            stop_painter();
        } else {
            std::printf("peer: only with client windows on the program's own display\n");
        }
    }
    close_files();
    for (uint32_t k = 0; k < o.displays; k++) {
        const Received &r = g_rx[k];
        if (!r.write_error) {
            std::printf("output: %s\n", files[k].c_str());
            continue;
        }
        std::fprintf(stderr, "zarvek: cannot write %s: %s; %u of its %llu frames not written\n",
                     files[k].c_str(), strerror(r.write_error), r.errors.load(),
                     static_cast<unsigned long long>(r.frames.load()));
        if (rc == 0) rc = 1;
    }
    if (g_pictures_not_written && rc == 0) rc = 1;
    if (display_lost()) {
        std::fprintf(stderr, "zarvek: the X display %s was lost; the stream ended there\n",
                     std::getenv("DISPLAY"));
        rc = kExitDisplayLost;
    }
    return rc;
}

}  // namespace zv
