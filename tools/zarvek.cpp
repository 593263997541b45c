// The system's main job on one machine: a host streams an X display to a
// client, both on loopback, connected through the signaling and STUN
// stand-ins, NAT traversal and BUD (or SCTP). The client writes the video it
// receives as fragmented MP4.
//
// Threads: the painter draws the test pattern; the client's video receiver
// runs the media sink (the only writer of the MP4 file and of `Received`);
// the main thread starts and stops everything and reads the counters, which
// are atomics. An event poller answers both instances' candidates.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "connection/instance.h"
#include "connection/mp4.h"
#include "connection/nat.h"
#include "host/h26x.h"
#include "host/host.h"
#include "platform/build_info.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "support/net/signal_server.h"
#include "support/net/stun_server.h"
#include "support/xvfb.h"
#include "util/config.h"

// After the others: Xlib defines None.
#include <X11/Xlib.h>

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kVideoPrefix = 10;  // generation, width, height, flags

struct Options {
    double duration = 5;
    uint32_t width = 1280, height = 720, fps = 30, bitrate = 0;  // 0: the configured default
    bool sctp = false;
    std::string out;
};

struct Received {
    FILE *file = nullptr;
    uint8_t *buffer = nullptr;  // MP4_VIDEO_BUFFER bytes
    uint32_t ticks_per_frame = 3000;
    bool init_written = false;
    uint32_t sequence = 1;
    int64_t first_at = 0;
    uint64_t decode_time = 0;
    std::atomic<uint64_t> frames{0}, bytes{0};
    std::atomic<uint32_t> errors{0};
};

void put_be32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// Writes each frame of video stream 0 as one fragment after a single init
// segment, on the receive clock (90 kHz, one frame interval apart at least): the file is
// one movie a player can seek in.
void on_media(uint8_t stream, const uint8_t *data, uint32_t size, void *opaque) {
    auto *r = static_cast<Received *>(opaque);
    if (stream != 1 || size <= kVideoPrefix) return;
    r->frames++;
    r->bytes += size;
    const uint8_t *frame = data + kVideoPrefix;
    size_t len = size - kVideoPrefix;
    uint32_t w = data[4] | uint32_t(data[5]) << 8, h = data[6] | uint32_t(data[7]) << 8;
    int32_t off = 0;
    if (!r->init_written) {
        off = mp4_init_segment(r->buffer, frame, len, w, h);
        if (off < 0) return;  // nothing decodes before the first key frame
        r->init_written = true;
        r->first_at = VKO_GetTime();
    } else {
        // Snapped to the frame grid: frames the encoder skipped leave a gap.
        auto slot = std::llround(VKO_TimeDiff(r->first_at, VKO_GetTime()) * 90.0 / r->ticks_per_frame);
        r->decode_time =
            std::max(static_cast<uint64_t>(slot) * r->ticks_per_frame, r->decode_time + r->ticks_per_frame);
    }
    bool key = false;
    H26xNal first{H26X_CODEC_H264, 0, H26X_CLASS_ANY, 0, 0, -1};
    if (h26x_find_nal(frame, len, &first) == 0) key = first.type == H264_NAL_SPS;
    if (static_cast<size_t>(off) + MP4_VIDEO_FRAGMENT_BOXES + mp4_video_payload_size(frame, len) >
        MP4_VIDEO_BUFFER) {
        r->errors++;
        return;
    }
    int32_t n = mp4_video_fragment(r->buffer, static_cast<uint32_t>(off), r->sequence++, r->decode_time,
                                   frame, len, key);
    if (n <= 0) {
        r->errors++;
        return;
    }
    // The sample's duration (after the "trun" sample count and data offset): one frame interval.
    for (int32_t i = off; i + 20 <= n; i++)
        if (std::memcmp(r->buffer + i, "trun", 4) == 0) {
            put_be32(r->buffer + i + 16, r->ticks_per_frame);
            break;
        }
    if (std::fwrite(r->buffer, 1, static_cast<size_t>(n), r->file) != static_cast<size_t>(n)) r->errors++;
}

// A bar sweeping across changing colours: every frame differs from the last.
void paint(const std::atomic<bool> &run, uint32_t w, uint32_t h, uint32_t fps) {
    Display *dpy = XOpenDisplay(nullptr);
    if (!dpy) return;
    GC gc = DefaultGC(dpy, DefaultScreen(dpy));
    Window root = DefaultRootWindow(dpy);
    auto period = std::chrono::microseconds(1000000 / std::max(1u, fps));
    auto next = std::chrono::steady_clock::now();
    for (uint64_t i = 0; run.load(); i++) {
        XSetForeground(dpy, gc, (i * 2654435761u) & 0xFFFFFF);
        XFillRectangle(dpy, root, gc, static_cast<int>(i * 16 % w), 0, 64, h);
        XSetForeground(dpy, gc, (i * 40503u) & 0xFFFFFF);
        XFillRectangle(dpy, root, gc, 0, static_cast<int>(i * 9 % h), w, 24);
        XFlush(dpy);
        next += period;
        std::this_thread::sleep_until(next);
    }
    XCloseDisplay(dpy);
}

struct Signaling {
    SignalContext *host = nullptr, *client = nullptr;
    ZarvekInstance *host_instance = nullptr;
};

// The host approves every guest that asks.
void on_offer(const char *attempt, uint32_t mode, const Creds *creds, const char *from, const char *,
              SignalPermissions, uint32_t, uint8_t, uint8_t, void *o) {
    auto *s = static_cast<Signaling *>(o);
    GuestInfo info = {};
    info.id = 1;
    snprintf(info.attempt_id, sizeof info.attempt_id, "%s", attempt);
    snprintf(info.name, sizeof info.name, "guest");
    nat_add_peer(s->host_instance->host_nat, attempt, mode, creds, &info, nullptr, 1);
    signal_map_attempt(s->host, attempt, from);
    signal_send_answer(s->host, s->host_instance, attempt, 0, 1);
}

void on_candex(const char *attempt, const char *ip, uint16_t port, uint8_t lan, uint8_t from_stun,
               uint8_t sync, void *o) {
    nat_add_candidate(static_cast<Signaling *>(o)->host_instance->host_nat, attempt, ip, port, lan, from_stun,
                      sync);
}

bool parse(int argc, char **argv, Options *o, int *exit_code) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](const char *name) -> const char * {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "zarvek: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        const char *v = nullptr;
        if (a == "--help" || a == "-h") {
            std::printf(
                "usage: zarvek [options]\n\n"
                "Streams a display from a host to a client on this machine: both connect through\n"
                "local signaling and STUN stand-ins, NAT traversal and BUD (or SCTP) on loopback.\n"
                "Without $DISPLAY it starts its own Xvfb and paints a moving test pattern.\n"
                "The client writes the received video as fragmented MP4 (video0.mp4).\n\n"
                "  --duration S   seconds to stream (5)\n"
                "  --width W      display width without $DISPLAY (1280)\n"
                "  --height H     display height without $DISPLAY (720)\n"
                "  --fps N        frame rate (30)\n"
                "  --bitrate M    largest bitrate in Mbit/s (the configured default)\n"
                "  --sctp         SCTP instead of BUD\n"
                "  --out DIR      output folder (a new zarvek-<time> folder here)\n"
                "  --version      print the version and exit\n"
                "  --help         show this text\n");
            *exit_code = 0;
            return false;
        } else if (a == "--version") {
            std::printf("zarvek %s\n", zarvek_version());
            *exit_code = 0;
            return false;
        } else if (a == "--sctp") {
            o->sctp = true;
            continue;
        } else if (a == "--duration" || a == "--width" || a == "--height" || a == "--fps" ||
                   a == "--bitrate" || a == "--out") {
            if (!(v = value(a.c_str()))) return false;
        } else {
            std::fprintf(stderr, "zarvek: unknown option '%s' (see zarvek --help)\n", a.c_str());
            return false;
        }
        if (a == "--out") {
            o->out = v;
            continue;
        }
        char *end = nullptr;
        double d = std::strtod(v, &end);
        if (*end || !(d > 0) || d > 100000) {
            std::fprintf(stderr, "zarvek: bad value '%s' for %s\n", v, a.c_str());
            return false;
        }
        if (a == "--duration")
            o->duration = d;
        else if (a == "--width")
            o->width = static_cast<uint32_t>(d);
        else if (a == "--height")
            o->height = static_cast<uint32_t>(d);
        else if (a == "--fps")
            o->fps = static_cast<uint32_t>(d);
        else
            o->bitrate = static_cast<uint32_t>(d);
    }
    return true;
}

int run(const Options &o) {
    if (!std::getenv("DISPLAY") || !*std::getenv("DISPLAY")) {
        if (xvfb_display(o.width, o.height).empty()) {
            std::fprintf(stderr, "zarvek: could not start Xvfb\n");
            return 1;
        }
    }
    std::string out = o.out;
    if (out.empty()) {
        char name[64];
        std::time_t t = std::time(nullptr);
        std::strftime(name, sizeof name, "zarvek-%Y%m%d-%H%M%S", std::localtime(&t));
        out = name;
    }
    mkdir(out.c_str(), 0755);
    Received rec;
    rec.buffer = static_cast<uint8_t *>(VKO_Alloc(1, MP4_VIDEO_BUFFER));
    rec.ticks_per_frame = 90000 / o.fps;
    std::string file = out + "/video0.mp4";
    rec.file = std::fopen(file.c_str(), "wb");
    if (!rec.file) {
        std::fprintf(stderr, "zarvek: cannot write %s\n", file.c_str());
        VKO_Free(rec.buffer);
        return 1;
    }
    std::printf("zarvek %s: display %s, %s on loopback\n", zarvek_version(), std::getenv("DISPLAY"),
                o.sctp ? "SCTP" : "BUD");

    std::atomic<bool> painting{true};
    std::thread painter(paint, std::cref(painting), o.width, o.height, o.fps);

    StunServer stun;
    SignalServer server;
    if (!stun.start() || !server.start()) {
        std::fprintf(stderr, "zarvek: could not start the local servers\n");
        painting = false;
        painter.join();
        std::fclose(rec.file);
        VKO_Free(rec.buffer);
        return 1;
    }
    // Only the local stand-ins: no built-in server name is resolved.
    nat_set_builtin_servers("127.0.0.1", stun.port(), "", 0);

    ZarvekInstance *host = nullptr, *client = nullptr;
    ZarvekInit(nullptr, &host);
    ZarvekInit(nullptr, &client);
    Signaling sig;
    sig.host_instance = host;
    SignalCallbacks hcb = {}, ccb = sdk_client_signal_callbacks();
    hcb.on_offer = on_offer;
    hcb.on_candex = on_candex;
    signal_create(&sig.host, "host", "127.0.0.1", 0, 0, "", &hcb, &sig);
    signal_create(&sig.client, "client", "127.0.0.1", 0, 0, "", &ccb, client);
    for (SignalContext *s : {sig.host, sig.client}) signal_set_server(s, "127.0.0.1", server.port(), 0);
    signal_set_session(sig.host, "H");

    HostHooks hooks{};
    hooks.no_audio_thread = 1;
    host_set_hooks(&hooks);
    HostConfig hc;
    config_host_defaults(&hc);
    hc.video[0].encoderFPS = static_cast<int32_t>(o.fps);
    if (o.bitrate) hc.video[0].encoderMaxBitrate = static_cast<int32_t>(o.bitrate);
    client_set_media_sink(on_media, &rec);
    int rc = 1;
    std::atomic<bool> polling{true};
    std::atomic<int32_t> connect_code{1};
    std::thread poller([&] {
        ClientEvent ev;
        HostEvent hev;
        while (polling.load()) {
            if (ZarvekClientPollEvents(client, 10, &ev)) {
                if (ev.type == CLIENT_EVENT_LOCAL_CANDIDATE)
                    signal_send_candex(sig.client, &ev.candidate);
                else if (ev.type == CLIENT_EVENT_STATUS && ev.status.phase == ZARVEK_PHASE_CONNECT)
                    connect_code = ev.status.code;
            }
            if (ZarvekHostPollEvents(host, 0, &hev) && hev.type == HOST_EVENT_CANDIDATE)
                signal_send_candex(sig.host, &hev.candidate);
        }
    });

    ClientConfig cc;
    proto_client_config_defaults(&cc);
    cc.protocol = static_cast<int32_t>(o.sctp ? SIGNAL_MODE_SCTP : SIGNAL_MODE_BUD);
    for (ClientStreamSettings &s : cc.stream) {
        s.decoder_h265 = 0;  // the MP4 file carries H.264
        s.resolution_x = static_cast<int32_t>(o.width);
        s.resolution_y = static_cast<int32_t>(o.height);
    }
    int64_t t0 = VKO_GetTime();
    int32_t r = ZarvekHostStart(host, nullptr, &hc);
    if (r == 0) r = signal_client_connect(sig.client, client, &cc, "H", "C", "secret");
    for (int i = 0; r == 0 && connect_code.load() == 1 && i < 3000; i++) std::this_thread::sleep_for(10ms);
    if (r != 0 || connect_code.load() != 0) {
        std::fprintf(stderr, "zarvek: the client did not connect (%d)\n", r ? r : connect_code.load());
    } else {
        std::printf("connected in %.0f ms\n", VKO_TimeDiff(t0, VKO_GetTime()));
        int64_t start = VKO_GetTime();
        double first_frame = -1;
        uint64_t last_frames = 0, last_bytes = 0;
        for (int sec = 1; VKO_TimeDiff(start, VKO_GetTime()) < o.duration * 1000; sec++) {
            while (VKO_TimeDiff(start, VKO_GetTime()) < std::min<double>(sec * 1000.0, o.duration * 1000)) {
                if (first_frame < 0 && rec.frames.load()) first_frame = VKO_TimeDiff(t0, VKO_GetTime());
                std::this_thread::sleep_for(5ms);
            }
            GuestInfo *guests = nullptr;
            StreamMetrics hm{};
            if (ZarvekHostGetGuests(host, 4, &guests) > 0) hm = guests[0].video[0];
            VKO_Free(guests);
            uint64_t f = rec.frames.load(), b = rec.bytes.load();
            std::printf(
                "%3d s  sent %u packets  received %llu frames (+%llu)  %.2f Mbit/s  "
                "retransmissions %u  rtt %.2f ms  capture-to-encoded %.1f ms\n",
                sec, hm.packetsSent, static_cast<unsigned long long>(f),
                static_cast<unsigned long long>(f - last_frames), (b - last_bytes) * 8 / 1e6,
                hm.fastRTs + hm.slowRTs, hm.networkLatency, hm.encodeLatency);
            std::fflush(stdout);
            last_frames = f;
            last_bytes = b;
        }
        double secs = VKO_TimeDiff(start, VKO_GetTime()) / 1000.0;
        std::printf(
            "summary: %llu frames received in %.1f s (%.1f fps), %.2f Mbit/s, first frame %.0f ms "
            "after connecting began, %u frames not written\n",
            static_cast<unsigned long long>(rec.frames.load()), secs, rec.frames.load() / secs,
            rec.bytes.load() * 8 / secs / 1e6, first_frame, rec.errors.load());
        std::printf(
            "(capture-to-encoded is the host's running average; capture-to-receive per frame is not "
            "measured yet)\n");
        rc = rec.frames.load() > 0 ? 0 : 1;
        ZarvekClientDisconnect(client);
    }
    polling = false;
    poller.join();
    ZarvekHostStop(host, 0);
    client_set_media_sink(nullptr, nullptr);
    signal_destroy(&sig.client);
    signal_destroy(&sig.host);
    ZarvekDestroy(&client);
    ZarvekDestroy(&host);
    host_set_hooks(nullptr);
    painting = false;
    painter.join();
    VKO_Free(rec.buffer);
    std::fclose(rec.file);
    std::printf("output: %s\n", file.c_str());
    return rc;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    int code = 2;
    if (!parse(argc, argv, &o, &code)) return code;
    return run(o);
}
