// The system's main job on one machine: a host streams up to three X
// displays to a client, both on loopback, connected through the signaling and
// STUN stand-ins, NAT traversal and BUD (or SCTP), optionally through the
// lossy relay. The client writes the video it receives as fragmented MP4, one
// file per display, and measures each frame from its capture on the host to
// its arrival; it also sends a key and a click into a small window the
// program opens on the host display and reports whether they arrived.
//
// Frames are told apart without touching the wire: the host's capture row is
// wrapped so each delivered frame's capture time is kept under (stream,
// encoder generation, frame index) — the encode thread fetches one texture
// per frame in order, and each capture start that delivers a frame brings a
// new encoder — and the client reads the same key from the frame's prefix
// (the generation) and the H.264 slice header (frame_num, counting from the
// key frame).
//
// Glass to glass: the pattern carries a frame counter (a strip of big black
// and white blocks) and the painter stamps each counter value with the time
// its frame was in the X server's framebuffer; a watcher reads the strip back
// from the client windows (and from ffplay's window in the FFmpeg peer run)
// about every millisecond and takes each value's first appearance minus its
// stamp. The host's capture, conversion and encoder calls and the client's
// decode and draw are timed, so the stages' sum stands beside it.
//
// Threads: the painter draws the test pattern; the client's video receiver
// runs the media sink (the only writer of the MP4 files and of `Received`);
// the host's encode threads run the capture and encoder wrappers; `Timeline`
// and `Stages` are shared by them under their mutexes. `Glass::painted` is
// written by the painter and read by the watcher (atomics); each watcher's
// latencies are its own until the main thread has joined it. The event poller answers both instances'
// candidates (and owns the relay's set-up); the input demonstration runs on
// its own thread and hands back one line. The main thread starts and stops
// everything and reads the counters (atomics, or the timeline under its
// mutex). A stop signal's handler only sets `g_stop_signal` (atomic, first
// signal wins), which the main thread's waits read; the crash path reads the
// shell's list of watched children (the Xvfb, the peer's players), kept
// lock-free by the shell.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/context.h"
#include "app/shell.h"
#include "client/render.h"
#include "connection/instance.h"
#include "connection/mp4.h"
#include "connection/nat.h"
#include "connection/udp.h"
#include "connection/upnp.h"
#include "host/capture.h"
#include "host/encoder.h"
#include "host/h26x.h"
#include "host/host.h"
#include "host/input.h"
#include "platform/app.h"
#include "platform/build_info.h"
#include "platform/file.h"
#include "platform/gfx/gfx.h"
#include "platform/image.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "platform/window.h"
#include "platform/x11/error_trap.h"
#include "support/frame_code.h"
#include "support/lossy_relay.h"
#include "support/net/signal_server.h"
#include "support/net/stun_server.h"
#include "support/xvfb.h"
#include "util/config.h"
#include "util/config_file.h"
#include "util/config_schema.h"
#include "util/logger.h"
#include "util/winutil.h"

// After the others: Xlib defines None.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#if defined(__SANITIZE_ADDRESS__)
// miniupnpc parses HTTP numbers with strtol on a buffer without a terminator;
// strtol stops at the first non-digit, but strict string checks measure the
// whole buffer.
extern "C" const char *__asan_default_suppressions() {
    return "interceptor_via_lib:libminiupnpc.so\n";
}
#endif

namespace {

using namespace std::chrono_literals;

// A first SIGINT, SIGTERM or SIGHUP asks for a clean stop: the stream ends,
// the files are closed and the Xvfb is stopped at exit. The handler then puts
// the platform library's handler back, so a second one takes the crash path,
// which ends the children and the process at once.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_crash_actions[std::size(kStopSignals)];
std::atomic<int> g_stop_signal{0};

void on_stop_signal(int sig) {
    int none = 0;
    g_stop_signal.compare_exchange_strong(none, sig);
    for (size_t k = 0; k < std::size(kStopSignals); k++)
        if (kStopSignals[k] == sig) sigaction(sig, &g_crash_actions[k], nullptr);
}

void stop_on_signals() {
    struct sigaction sa = {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    for (size_t k = 0; k < std::size(kStopSignals); k++) sigaction(kStopSignals[k], &sa, &g_crash_actions[k]);
}

bool stopping() {
    return g_stop_signal.load() != 0;
}

constexpr uint32_t kVideoPrefix = 10;  // generation, width, height, flags
constexpr uint32_t kMaxDisplays = 3;

struct Options {
    double duration = 5;
    uint32_t width = 1280, height = 720, fps = 0, bitrate = 0;  // fps, bitrate 0: the configured value
    uint32_t displays = 1;
    double loss = 0;    // percent, each way, through the relay
    double delay = -1;  // ms one way through the relay; negative: no relay unless --loss
    int sctp = -1;      // 1 SCTP, 0 BUD, -1 the configured protocol
    bool upnp = false;  // map the host's ports on the local gateway
    std::string out;
    std::string data;                   // the data folder: config.json, log.txt
    std::string gfx = "auto";           // the client windows' graphics: auto, d3d11, d3d12, vulkan or none
    bool peer = false;                  // then the same pattern through FFmpeg's programs
    std::vector<std::string> settings;  // key=value lines for the start-up layer
};

// Each counter value's paint time (VKO_GetTime; 0: never painted), and where
// the strip sits on each display.
struct Glass {
    std::atomic<int64_t> painted[kFrameCodeMask + 1] = {};
    FrameCodeArea area{};
} g_glass;

// How long the host's stages took per frame, in ms.
struct Stages {
    std::mutex lock;
    std::vector<double> capture, convert, encode;
} g_stages;

void stage(std::vector<double> Stages::*which, int64_t begin, int64_t end) {
    std::lock_guard<std::mutex> l(g_stages.lock);
    (g_stages.*which).push_back(VKO_TimeDiff(begin, end));
}

// What the host's capture wrappers record, read by the client's sink.
struct Timeline {
    std::mutex lock;
    DisplayOutput outputs[kMaxDisplays] = {};
    uint32_t streams = 1;
    std::map<void *, uint32_t> stream_of;                      // capture back-end -> stream
    int64_t last_poll[kMaxDisplays] = {};                      // time of the last new frame polled
    std::vector<std::vector<int64_t>> captured[kMaxDisplays];  // per capture start: time per frame
    uint64_t fetched[kMaxDisplays] = {};                       // frames handed to the encoder
} g_timeline;

uint32_t stream_for(const DisplayOutput *d) {
    for (uint32_t k = 0; k < g_timeline.streams; k++)
        if (g_timeline.outputs[k].left == d->left && g_timeline.outputs[k].top == d->top) return k;
    return 0;
}

int32_t wrap_start(void **handle, uint8_t ten_bit, uint8_t flag, const DisplayOutput *display) {
    int32_t r = cap_dxgi_start(handle, ten_bit, flag, display);
    if (r == 0) {
        std::lock_guard<std::mutex> l(g_timeline.lock);
        uint32_t k = stream_for(display);
        g_timeline.stream_of[*handle] = k;
        g_timeline.captured[k].emplace_back();
    }
    return r;
}

void wrap_stop(void **handle) {
    {
        std::lock_guard<std::mutex> l(g_timeline.lock);
        g_timeline.stream_of.erase(*handle);
    }
    cap_dxgi_stop(handle);
}

int32_t wrap_poll(void *handle, uint32_t timeout, uint8_t *cursor, CaptureFrame *f) {
    int32_t r = cap_dxgi_poll(handle, timeout, cursor, f);
    // From the end of the wait (the frame's time) to the copy in hand.
    if (r == 0 && f->new_frame) stage(&Stages::capture, static_cast<int64_t>(f->time), VKO_GetTime());
    if (r == 0 && f->new_frame) {
        std::lock_guard<std::mutex> l(g_timeline.lock);
        auto it = g_timeline.stream_of.find(handle);
        if (it != g_timeline.stream_of.end())
            g_timeline.last_poll[it->second] = static_cast<int64_t>(f->time);
    }
    return r;
}

int32_t wrap_texture(void *handle, uint32_t format, ID3D11Texture2D **out) {
    {
        std::lock_guard<std::mutex> l(g_timeline.lock);
        auto it = g_timeline.stream_of.find(handle);
        if (it != g_timeline.stream_of.end() && !g_timeline.captured[it->second].empty()) {
            g_timeline.captured[it->second].back().push_back(g_timeline.last_poll[it->second]);
            g_timeline.fetched[it->second]++;
        }
    }
    int64_t t0 = VKO_GetTime();
    int32_t r = cap_dxgi_get_texture(handle, format, out);
    stage(&Stages::convert, t0, VKO_GetTime());
    return r;
}

// The encoder rows as built, each encode timed.
EncoderApi g_encoders[ENC_ROWS];

template <size_t Row>
int32_t timed_encode(void *handle, ID3D11Texture2D *texture, uint8_t **data, uint32_t *size) {
    int64_t t0 = VKO_GetTime();
    int32_t r = encoder_table[Row].encode(handle, texture, data, size);
    stage(&Stages::encode, t0, VKO_GetTime());
    return r;
}

template <size_t... Row>
void time_encoders(std::index_sequence<Row...>) {
    ((g_encoders[Row] = encoder_table[Row],
      g_encoders[Row].encode = encoder_table[Row].encode ? timed_encode<Row> : nullptr),
     ...);
}

// Reads the counter strip of some windows about every millisecond: per
// window, each value's first appearance minus its paint time. The first half
// second is left out (the stream's start, the player's start).
class GlassWatch {
   public:
    void start(std::vector<unsigned long> windows, double scale) {
        windows_ = std::move(windows);
        scale_ = scale;
        latency_.assign(windows_.size(), {});
        running_ = true;
        thread_ = std::thread([this] { run(); });
    }
    // Stops the thread; the latencies per window.
    std::vector<std::vector<double>> stop() {
        running_ = false;
        if (thread_.joinable()) thread_.join();
        return latency_;
    }

   private:
    void run() {
        Display *dpy = XOpenDisplay(nullptr);
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

    std::vector<unsigned long> windows_;
    double scale_ = 1;
    std::vector<std::vector<double>> latency_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

// The RBSP of a NAL unit's first bytes (emulation prevention removed).
size_t rbsp(const uint8_t *p, size_t n, uint8_t *out, size_t cap) {
    size_t o = 0, zeros = 0;
    for (size_t i = 0; i < n && o < cap; i++) {
        if (zeros >= 2 && p[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = p[i] == 0 ? zeros + 1 : 0;
        out[o++] = p[i];
    }
    return o;
}

uint32_t read_bits(const uint8_t *p, size_t n, uint64_t *pos, uint32_t count) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < count; i++, (*pos)++) {
        uint64_t byte = *pos / 8;
        v = v << 1 | (byte < n ? (p[byte] >> (7 - *pos % 8)) & 1 : 0);
    }
    return v;
}

// The payload (after the NAL header byte) of the first NAL unit matching.
size_t nal_payload(const uint8_t *frame, size_t len, uint8_t type, uint8_t cls, uint8_t *out, size_t cap) {
    H26xNal n{H26X_CODEC_H264, type, cls, 0, 0, 0};
    if (h26x_find_nal(frame, len, &n) != 0 || n.length <= 0) return 0;
    size_t at = n.offset + n.start_len + 1;
    size_t end = n.offset + static_cast<size_t>(n.length);
    return at < end && end <= len ? rbsp(frame + at, end - at, out, cap) : 0;
}

// log2_max_frame_num of the frame's SPS, 0 when it has none or it cannot be read.
uint32_t sps_frame_num_bits(const uint8_t *frame, size_t len) {
    uint8_t b[64];
    size_t n = nal_payload(frame, len, H264_NAL_SPS, H26X_CLASS_ANY, b, sizeof b);
    if (n < 4) return 0;
    uint64_t pos = 24;
    uint32_t profile = b[0], v = 0;
    h26x_read_ue(b, n, &pos, &v);  // seq_parameter_set_id
    if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 ||
        profile == 83 || profile == 86 || profile == 118 || profile == 128) {
        uint32_t chroma = 0;
        h26x_read_ue(b, n, &pos, &chroma);
        if (chroma == 3) pos++;
        h26x_read_ue(b, n, &pos, &v);
        h26x_read_ue(b, n, &pos, &v);
        pos++;
        if (read_bits(b, n, &pos, 1)) return 0;  // scaling lists: not ours
    }
    v = 99;
    h26x_read_ue(b, n, &pos, &v);
    return v <= 12 ? v + 4 : 0;
}

// frame_num of the frame's first slice; false when it cannot be read.
bool slice_frame_num(const uint8_t *frame, size_t len, uint32_t bits, uint32_t *out) {
    uint8_t b[32];
    size_t n = nal_payload(frame, len, 0, H26X_CLASS_PICTURE, b, sizeof b);
    if (!n || !bits) return false;
    uint64_t pos = 0;
    uint32_t v;
    for (int i = 0; i < 3; i++) h26x_read_ue(b, n, &pos, &v);  // first_mb, slice_type, pps id
    if (pos + bits > n * 8) return false;
    *out = read_bits(b, n, &pos, bits);
    return true;
}

struct Received {
    uint32_t index = 0;  // display
    FILE *file = nullptr;
    uint8_t *buffer = nullptr;  // MP4_VIDEO_BUFFER bytes
    uint32_t ticks_per_frame = 3000;
    bool init_written = false;
    uint32_t sequence = 1;
    int64_t first_at = 0;
    uint64_t decode_time = 0;
    // Pairing with the host's frames.
    uint32_t frame_num_bits = 0;
    uint32_t generation = 0;
    uint32_t last_raw = 0;
    uint64_t last_frame = 0;
    std::atomic<uint64_t> frames{0}, bytes{0}, missing{0}, unordered{0}, unpaired{0};
    std::atomic<uint32_t> errors{0};
    std::mutex lock;  // the latencies (sink writes, main thread takes)
    std::vector<double> latency, period;
};

Received g_rx[kMaxDisplays];

// The client's windows: an app object run on a thread of its own, one window
// per display beside the streamed area, and a render thread per window that
// decodes what arrives and draws it.
struct Viewer {
    std::thread ui;
    VKO_App *app = nullptr;
    std::atomic<bool> running{true};
    std::atomic<int> ready{0};  // 1 windows made, -1 they could not be
    int32_t windows[kMaxDisplays] = {-1, -1, -1};
    ClientRender *render[kMaxDisplays] = {};
    uint32_t width = 0, height = 0;  // of each window
};
Viewer g_viewer;

bool viewer_frame(void *) {
    std::this_thread::sleep_for(5ms);
    return g_viewer.running.load();
}
void viewer_event(const VKO_Event *, void *) {}

// Windows right of the streamed displays, stacked, half their size; on a
// desktop of the user's own they go where its window manager puts them.
bool viewer_start(const Options &o, bool own_display) {
    g_viewer.width = std::max(1u, g_timeline.outputs[0].width / 2);
    g_viewer.height = std::max(1u, g_timeline.outputs[0].height / 2);
    g_viewer.ui = std::thread([&o, own_display] {
        g_viewer.app = VKO_AppCreate(0, viewer_frame, viewer_event, nullptr);
        bool ok = g_viewer.app != nullptr;
        for (uint32_t k = 0; ok && k < o.displays; k++) {
            VKO_Frame f = {0, g_viewer.width, g_viewer.height, "", 0, 0};
            if (own_display) {
                f.x = static_cast<int32_t>(o.width * o.displays);
                f.y = static_cast<int32_t>(k * g_viewer.height);
            }
            char title[64];
            std::snprintf(title, sizeof title, "zarvek client: display %u", k);
            g_viewer.windows[k] = VKO_WindowCreate(g_viewer.app, title, &f, static_cast<int32_t>(k));
            ok = g_viewer.windows[k] >= 0;
        }
        g_viewer.ready = ok ? 1 : -1;
        if (ok) VKO_AppRun(g_viewer.app);
        while (g_viewer.running.load()) std::this_thread::sleep_for(5ms);
        if (g_viewer.app) VKO_AppDestroy(&g_viewer.app);
    });
    while (g_viewer.ready.load() == 0) std::this_thread::sleep_for(1ms);
    if (g_viewer.ready.load() < 0) return false;
    uint32_t order[2] = {VKO_GFX_D3D11, VKO_GFX_VULKAN};
    if (o.gfx == "d3d12") order[0] = VKO_GFX_D3D12;
    if (o.gfx == "vulkan") order[0] = VKO_GFX_VULKAN;
    bool fallback = o.gfx == "auto";
    for (uint32_t k = 0; k < o.displays; k++) {
        // Linear filtering: the half-size window averages the picture.
        g_viewer.render[k] = client_render_start(g_viewer.app, g_viewer.windows[k], order[0], false, 1);
        if (!g_viewer.render[k] && fallback)
            g_viewer.render[k] = client_render_start(g_viewer.app, g_viewer.windows[k], order[1], false, 1);
        if (!g_viewer.render[k]) return false;
    }
    return true;
}

void viewer_stop() {
    for (ClientRender *&r : g_viewer.render) client_render_stop(&r);
    g_viewer.running = false;
    if (g_viewer.ui.joinable()) g_viewer.ui.join();
}

const char *gfx_name(uint32_t api) {
    return api == VKO_GFX_VULKAN  ? "Vulkan"
           : api == VKO_GFX_D3D11 ? "Direct3D 11"
           : api == VKO_GFX_D3D12 ? "Direct3D 12"
                                  : "none";
}

// RGB of a window or a root rectangle.
std::vector<uint8_t> grab_rgb(Display *dpy, Window w, int x, int y, uint32_t width, uint32_t height) {
    std::vector<uint8_t> rgb;
    XImage *img = XGetImage(dpy, w, x, y, width, height, AllPlanes, ZPixmap);
    if (!img) return rgb;
    rgb.resize(size_t(width) * height * 3);
    for (uint32_t j = 0; j < height; j++)
        for (uint32_t i = 0; i < width; i++) {
            unsigned long p = XGetPixel(img, static_cast<int>(i), static_cast<int>(j));
            uint8_t *o = &rgb[(size_t(j) * width + i) * 3];
            o[0] = static_cast<uint8_t>(p >> 16), o[1] = static_cast<uint8_t>(p >> 8),
            o[2] = static_cast<uint8_t>(p);
        }
    XDestroyImage(img);
    return rgb;
}

struct Likeness {
    double psnr = -1;       // RGB
    double luma_psnr = -1;  // BT.709 luma, which 4:2:0 sampling leaves whole
};

double psnr_of(double se, double n) {
    return se <= 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * n / se);
}

// Writes window k as PNG and compares it with the painted display shrunk to
// the window's size by 2 x 2 averages (what the window's linear filter does
// at half size).
Likeness viewer_screenshot(uint32_t k, const std::string &path) {
    Likeness out;
    Display *dpy = XOpenDisplay(nullptr);
    if (!dpy || !g_viewer.app) return out;
    const Window win = static_cast<Window>(
        reinterpret_cast<uintptr_t>(VKO_WindowGetNative(g_viewer.app, g_viewer.windows[k])));
    const uint32_t w = g_viewer.width, h = g_viewer.height;
    std::vector<uint8_t> shot = grab_rgb(dpy, win, 0, 0, w, h);
    const DisplayOutput &o = g_timeline.outputs[k];
    std::vector<uint8_t> src = grab_rgb(dpy, DefaultRootWindow(dpy), o.left, o.top, w * 2, h * 2);
    XCloseDisplay(dpy);
    if (shot.empty() || src.empty()) return out;
    std::vector<uint8_t> rgba(size_t(w) * h * 4);
    double se = 0, se_luma = 0;
    const double kr[3] = {0.2126, 0.7152, 0.0722};
    for (uint32_t j = 0; j < h; j++)
        for (uint32_t i = 0; i < w; i++) {
            double luma_want = 0, luma_got = 0;
            for (int c = 0; c < 3; c++) {
                auto at = [&](uint32_t x, uint32_t y) { return src[(size_t(y) * w * 2 + x) * 3 + c]; };
                double want = (at(2 * i, 2 * j) + at(2 * i + 1, 2 * j) + at(2 * i, 2 * j + 1) +
                               at(2 * i + 1, 2 * j + 1)) /
                              4.0;
                uint8_t got = shot[(size_t(j) * w + i) * 3 + c];
                se += (got - want) * (got - want);
                luma_want += kr[c] * want;
                luma_got += kr[c] * got;
                rgba[(size_t(j) * w + i) * 4 + c] = got;
            }
            rgba[(size_t(j) * w + i) * 4 + 3] = 255;
            se_luma += (luma_got - luma_want) * (luma_got - luma_want);
        }
    size_t size = 0;
    void *png = VKO_CompressImage(VKO_IMAGE_PNG, rgba.data(), w, h, &size);
    if (png) {
        if (FILE *f = std::fopen(path.c_str(), "wb")) {
            std::fwrite(png, 1, size, f);
            std::fclose(f);
        }
        VKO_Free(png);
    }
    out.psnr = psnr_of(se, double(w) * h * 3);
    out.luma_psnr = psnr_of(se_luma, double(w) * h);
    return out;
}

void put_be32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// Matches the frame with its capture on the host: latency, gaps, order.
void pair_frame(Received *r, int64_t now, const uint8_t *data, const uint8_t *frame, size_t len, bool key) {
    uint32_t gen = data[0] | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24;
    if (key) {
        uint32_t b = sps_frame_num_bits(frame, len);
        if (b) r->frame_num_bits = b;
    }
    uint32_t raw;
    if (!slice_frame_num(frame, len, r->frame_num_bits, &raw)) {
        r->unpaired++;
        return;
    }
    uint64_t index;
    if (gen != r->generation) {
        index = raw;  // a new encoder counts from its key frame
        if (gen < r->generation) r->unordered++;
        r->generation = gen;
    } else {
        uint32_t mask = (1u << r->frame_num_bits) - 1;
        index = r->last_frame + ((raw - r->last_raw) & mask);
        if (index == r->last_frame) r->unordered++;
        if (index > r->last_frame + 1) r->missing += index - r->last_frame - 1;
    }
    r->last_raw = raw;
    r->last_frame = index;
    int64_t captured = 0;
    {
        std::lock_guard<std::mutex> l(g_timeline.lock);
        // The n-th encoder took the frames of the n-th capture start that
        // delivered any (a capture restarted before its first frame has none).
        uint32_t n = 0;
        for (const std::vector<int64_t> &start : g_timeline.captured[r->index]) {
            if (start.empty() || ++n != gen) continue;
            if (index < start.size()) captured = start[index];
            break;
        }
    }
    if (!captured) {
        r->unpaired++;
        return;
    }
    std::lock_guard<std::mutex> l(r->lock);
    r->latency.push_back(VKO_TimeDiff(captured, now));
    r->period.push_back(r->latency.back());
}

// Writes each frame of a video stream as one fragment after a single init
// segment, on the receive clock (90 kHz, one frame interval apart at least):
// the file is one movie a player can seek in.
void on_media(uint8_t stream, const uint8_t *data, uint32_t size, void *) {
    int64_t now = VKO_GetTime();
    uint32_t display = stream == 1 ? 0 : stream == 3 ? 1 : stream == 4 ? 2 : kMaxDisplays;
    if (display >= kMaxDisplays || size <= kVideoPrefix) return;
    Received *r = &g_rx[display];
    if (!r->file) return;
    r->frames++;
    r->bytes += size;
    const uint8_t *frame = data + kVideoPrefix;
    size_t len = size - kVideoPrefix;
    bool key = false;
    H26xNal first{H26X_CODEC_H264, 0, H26X_CLASS_ANY, 0, 0, -1};
    if (h26x_find_nal(frame, len, &first) == 0) key = first.type == H264_NAL_SPS;
    pair_frame(r, now, data, frame, len, key);
    client_render_push(g_viewer.render[display], frame, len);
    uint32_t w = data[4] | uint32_t(data[5]) << 8, h = data[6] | uint32_t(data[7]) << 8;
    int32_t off = 0;
    if (!r->init_written) {
        off = mp4_init_segment(r->buffer, frame, len, w, h);
        if (off < 0) return;  // nothing decodes before the first key frame
        r->init_written = true;
        r->first_at = now;
    } else {
        // Snapped to the frame grid: frames the encoder skipped leave a gap.
        auto slot = std::llround(VKO_TimeDiff(r->first_at, now) * 90.0 / r->ticks_per_frame);
        r->decode_time =
            std::max(static_cast<uint64_t>(slot) * r->ticks_per_frame, r->decode_time + r->ticks_per_frame);
    }
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

// On each display a bar sweeping across and a band moving down in changing
// colours above the counter strip: every frame differs from the last. Each
// frame goes to the server in one batch, so a capture sees all of it or none.
void paint(const std::atomic<bool> &run, uint32_t displays, uint32_t fps) {
    Display *dpy = XOpenDisplay(nullptr);
    if (!dpy) return;
    GC gc = DefaultGC(dpy, DefaultScreen(dpy));
    Window root = DefaultRootWindow(dpy);
    auto period = std::chrono::microseconds(1000000 / std::max(1u, fps));
    auto next = std::chrono::steady_clock::now();
    const FrameCodeArea &a = g_glass.area;
    for (uint64_t i = 0; run.load(); i++) {
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
        next += period;
        std::this_thread::sleep_until(next);
    }
    XCloseDisplay(dpy);
}

struct Signaling {
    SignalContext *host = nullptr, *client = nullptr;
    ZarvekInstance *host_instance = nullptr;
};

// The host approves every guest that asks, with keyboard and mouse. Not as
// the owner: the owner's session turns to virtual displays, and every
// stream would then take the first output.
void on_offer(const char *attempt, uint32_t mode, const Creds *creds, const char *from, const char *,
              SignalPermissions, uint32_t, uint8_t, uint8_t, void *o) {
    auto *s = static_cast<Signaling *>(o);
    GuestInfo info = {};
    info.id = 1;
    info.keyboard = info.mouse = 1;
    snprintf(info.attempt_id, sizeof info.attempt_id, "%s", attempt);
    snprintf(info.name, sizeof info.name, "guest");
    nat_add_peer(s->host_instance->host_nat, attempt, mode, creds, &info, nullptr, 1);
    signal_map_attempt(s->host, attempt, from);
    // From the configured server port (which --upnp maps), else any port.
    const int32_t port = config_get_int(CONFIG_LAYER_MERGED, "network_server_start_port", 0);
    signal_send_answer(s->host, s->host_instance, attempt, port > 0 && port <= 65532 ? uint16_t(port) : 0, 1);
}

void on_candex(const char *attempt, const char *ip, uint16_t port, uint8_t lan, uint8_t from_stun,
               uint8_t sync, void *o) {
    nat_add_candidate(static_cast<Signaling *>(o)->host_instance->host_nat, attempt, ip, port, lan, from_stun,
                      sync);
}

bool loopback(const char *ip) {
    return std::strcmp(ip, "127.0.0.1") == 0 || std::strcmp(ip, "::1") == 0 ||
           std::strcmp(ip, "::ffff:127.0.0.1") == 0;
}

// Candidates go only to loopback. With the relay, the first loopback
// candidate of each side is held until both are known, then each side is
// given the relay's address for the other instead (the end-of-candidates
// marks pass as they are).
struct CandidateRoute {
    Signaling *sig = nullptr;
    bool relay_on = false;
    RelayRules rules;
    std::unique_ptr<LossyRelay> relay;
    bool have_host = false, have_client = false, started = false;
    Candidate host, client;  // as the sides announced them

    void from_client(const Candidate &c) {
        if (!loopback(c.ip)) return;
        if (!relay_on || c.sync) return signal_send_candex(sig->client, &c);
        if (have_client) return;
        client = c;
        have_client = true;
        start();
    }
    void from_host(const Candidate &c) {
        if (!loopback(c.ip)) return;
        if (!relay_on || c.sync) return signal_send_candex(sig->host, &c);
        if (have_host) return;
        host = c;
        have_host = true;
        start();
    }
    static void point_at(Candidate *c, const sockaddr_in6 &a) {
        std::snprintf(c->ip, sizeof c->ip, "127.0.0.1");
        c->port = ntohs(a.sin6_port);
    }
    void start() {
        if (started || !have_host || !have_client) return;
        sockaddr_in6 a{}, b{};
        if (!network_make_addr(host.ip, host.port, &a) || !network_make_addr(client.ip, client.port, &b))
            return;
        relay = std::make_unique<LossyRelay>(1);
        relay->set_rules(LossyRelay::AtoB, rules);
        relay->set_rules(LossyRelay::BtoA, rules);
        if (!relay->start(a, b)) return;
        started = true;
        Candidate to_host = client, to_client = host;
        point_at(&to_host, relay->address_for_a());    // the host reaches the client here
        point_at(&to_client, relay->address_for_b());  // and the client the host here
        signal_send_candex(sig->client, &to_host);
        signal_send_candex(sig->host, &to_client);
    }
};

int32_t client_send(ZarvekInstance *z, ControlHeader h) {
    VKO_RWLockReader(z->client_lock);
    int32_t r = z->session ? proto_send_header(z->session->transport, h) : -1;
    VKO_RWLockUnlock(z->client_lock);
    return r;
}

// A client window that had to drop units with no key frame queued asks the
// host for one: the stream's capability word (this client announces none,
// so 0) with c set restarts that stream's encoder, which starts with a key
// frame.
struct KeyRequest {
    ZarvekInstance *client;
    uint32_t stream;
};
KeyRequest g_key_requests[kMaxDisplays];

void request_key_frame(void *o) {
    auto *k = static_cast<KeyRequest *>(o);
    client_send(k->client, ControlHeader{k->stream, 0, 1, MSG_CAPS});
}

void viewer_ask_key_frames(ZarvekInstance *client) {
    for (uint32_t k = 0; k < kMaxDisplays; k++) {
        g_key_requests[k] = {client, k};
        client_render_set_key_request(g_viewer.render[k], client ? request_key_frame : nullptr,
                                      &g_key_requests[k]);
    }
}

// Opens a small window on the first display, then the client clicks into
// it and types 'z' through the stream's input path; one line says what the
// window received.
std::string input_demo(ZarvekInstance *client) {
    Display *dpy = XOpenDisplay(nullptr);
    if (!dpy) return "input: no display";
    const DisplayOutput &o = g_timeline.outputs[0];
    const int x = 40, y = 40, w = 160, h = 100;
    Window win =
        XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), o.left + x, o.top + y, w, h, 0, 0, 0x3060C0);
    XSetWindowAttributes attrs{};
    attrs.override_redirect = True;
    XChangeWindowAttributes(dpy, win, CWOverrideRedirect, &attrs);
    XSelectInput(dpy, win, KeyPressMask | ButtonPressMask | StructureNotifyMask);
    XMapRaised(dpy, win);
    XEvent e;
    do XNextEvent(dpy, &e);
    while (e.type != MapNotify);
    XSetInputFocus(dpy, win, RevertToParent, CurrentTime);
    GC gc = XCreateGC(dpy, win, 0, nullptr);
    auto fill = [&](unsigned long colour) {  // seen in the stream: blue waiting, green once both arrived
        XSetForeground(dpy, gc, colour);
        XFillRectangle(dpy, win, gc, 0, 0, w, h);
        XSync(dpy, False);
    };
    fill(0x3060C0);
    int64_t t0 = VKO_GetTime();
    // Output pixels of the first display: the window's centre.
    client_send(client, ControlHeader{0, static_cast<uint32_t>(x + w / 2), static_cast<uint32_t>(y + h / 2),
                                      MSG_MOUSE_MOTION});
    client_send(client, ControlHeader{1, 1, 0, MSG_MOUSE_BUTTON});
    client_send(client, ControlHeader{1, 0, 0, MSG_MOUSE_BUTTON});
    const uint32_t kUsageZ = 29;
    client_send(client, ControlHeader{kUsageZ, 0, 1, MSG_KEY});
    client_send(client, ControlHeader{kUsageZ, 0, 0, MSG_KEY});
    bool key = false, click = false;
    int click_x = -1, click_y = -1;
    double key_ms = 0, click_ms = 0;
    while ((!key || !click) && VKO_TimeDiff(t0, VKO_GetTime()) < 5000) {
        if (!XPending(dpy)) {
            std::this_thread::sleep_for(2ms);
            continue;
        }
        XNextEvent(dpy, &e);
        if (e.type == KeyPress && XLookupKeysym(&e.xkey, 0) == XK_z && !key) {
            key = true;
            key_ms = VKO_TimeDiff(t0, VKO_GetTime());
        } else if (e.type == ButtonPress && e.xbutton.button == Button1 && !click) {
            click = true;
            click_x = e.xbutton.x;
            click_y = e.xbutton.y;
            click_ms = VKO_TimeDiff(t0, VKO_GetTime());
        }
    }
    if (key && click) {
        fill(0x20C040);
        std::this_thread::sleep_for(300ms);
    }
    XFreeGC(dpy, gc);
    XDestroyWindow(dpy, win);
    XCloseDisplay(dpy);
    char line[256];
    std::snprintf(line, sizeof line, "input: click %s, key 'z' %s", click ? "arrived" : "did not arrive",
                  key ? "arrived" : "did not arrive");
    std::string out = line;
    if (click) {
        std::snprintf(line, sizeof line, "; click at (%d, %d) of the %dx%d window after %.0f ms", click_x,
                      click_y, w, h, click_ms);
        out += line;
    }
    if (key) {
        std::snprintf(line, sizeof line, "; key after %.0f ms", key_ms);
        out += line;
    }
    return out;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

void print_glass(const char *who, const std::vector<double> &ms) {
    std::printf("glass-to-glass, %s: %.1f ms median, %.1f ms p99 over %zu frames\n", who, percentile(ms, 0.5),
                percentile(ms, 0.99), ms.size());
}

// Each stage's median and their sum with 2 ms for the rest (the network,
// hand-overs between threads): what the glass-to-glass median could be.
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

void save_png(const std::string &path, const std::vector<uint8_t> &rgb, uint32_t w, uint32_t h) {
    if (rgb.size() != size_t(w) * h * 3) return;
    std::vector<uint8_t> rgba(size_t(w) * h * 4, 255);
    for (size_t i = 0; i < size_t(w) * h; i++) std::memcpy(&rgba[i * 4], &rgb[i * 3], 3);
    size_t size = 0;
    void *png = VKO_CompressImage(VKO_IMAGE_PNG, rgba.data(), w, h, &size);
    if (!png) return;
    if (FILE *f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(png, 1, size, f);
        std::fclose(f);
    }
    VKO_Free(png);
}

pid_t spawn(const std::vector<std::string> &args, const std::string &log) {
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&files, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &files, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&files);
    app_watch_child(pid);
    return pid;
}

// Ends a child we started, by its id: politely, then for good.
void end_child(pid_t pid) {
    if (pid <= 0) return;
    app_unwatch_child(pid);
    kill(pid, SIGTERM);
    for (int i = 0; i < 200; i++) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(10ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// A loopback UDP port nobody holds right now.
uint16_t free_udp_port() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

// The top-level window with this name, once it has the given size.
Window find_window(Display *dpy, const char *name, uint32_t width, uint32_t height) {
    Window root, parent, *children = nullptr, found = 0;
    unsigned n = 0;
    if (!XQueryTree(dpy, DefaultRootWindow(dpy), &root, &parent, &children, &n)) return 0;
    for (unsigned i = 0; i < n && !found; i++) {
        char *title = nullptr;
        XWindowAttributes a;
        if (XFetchName(dpy, children[i], &title) && title && std::strcmp(title, name) == 0 &&
            XGetWindowAttributes(dpy, children[i], &a) && a.map_state == IsViewable &&
            static_cast<uint32_t>(a.width) == width && static_cast<uint32_t>(a.height) == height)
            found = children[i];
        if (title) XFree(title);
    }
    if (children) XFree(children);
    return found;
}

// The peer: display 0 grabbed by ffmpeg (x11grab), encoded by libx264 with
// its zero-latency tuning at our bitrate, sent as MPEG-TS over loopback UDP
// to ffplay, whose window sits where the client's window was, at its size.
// Its strip is read back as the client windows' was.
void run_peer(const Options &o, const std::string &out, uint32_t bitrate_mbit) {
    const DisplayOutput &d = g_timeline.outputs[0];
    const uint32_t w = g_viewer.width, h = g_viewer.height;
    const uint16_t port = free_udp_port();
    if (!port) {
        std::printf("peer: no loopback UDP port\n");
        return;
    }
    const std::string url = "udp://127.0.0.1:" + std::to_string(port);
    const char *kTitle = "zarvek peer";
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    setenv("SDL_VIDEODRIVER", "x11", 1);
    pid_t player = spawn({"ffplay",
                          "-hide_banner",
                          "-nostats",
                          "-loglevel",
                          "warning",
                          "-an",
                          "-sn",
                          "-f",
                          "mpegts",
                          "-fflags",
                          "nobuffer",
                          "-flags",
                          "low_delay",
                          "-framedrop",
                          "-sync",
                          "video",
                          "-probesize",
                          "32",
                          "-analyzeduration",
                          "0",
                          "-window_title",
                          kTitle,
                          "-left",
                          std::to_string(o.width * o.displays),
                          "-top",
                          "0",
                          "-x",
                          std::to_string(w),
                          "-y",
                          std::to_string(h),
                          "-noborder",
                          url},
                         out + "/peer-ffplay.log");
    std::this_thread::sleep_for(500ms);  // its socket open before the first packet
    const std::string rate = std::to_string(bitrate_mbit) + "M";
    char input[64];
    std::snprintf(input, sizeof input, "%s+%d,%d", std::getenv("DISPLAY"), d.left, d.top);
    pid_t grabber = spawn({"ffmpeg",
                           "-hide_banner",
                           "-nostats",
                           "-loglevel",
                           "warning",
                           "-f",
                           "x11grab",
                           "-draw_mouse",
                           "0",
                           "-framerate",
                           std::to_string(o.fps),
                           "-video_size",
                           std::to_string(d.width) + "x" + std::to_string(d.height),
                           "-i",
                           input,
                           "-c:v",
                           "libx264",
                           "-preset",
                           "ultrafast",
                           "-tune",
                           "zerolatency",
                           "-b:v",
                           rate,
                           "-maxrate",
                           rate,
                           "-bufsize",
                           rate,
                           "-pix_fmt",
                           "yuv420p",
                           "-flush_packets",
                           "1",
                           "-muxdelay",
                           "0",
                           "-muxpreload",
                           "0",
                           "-f",
                           "mpegts",
                           url + "?pkt_size=1316"},
                          out + "/peer-ffmpeg.log");
    Window win = 0;
    if (Display *dpy = XOpenDisplay(nullptr); dpy && player > 0 && grabber > 0) {
        for (int i = 0; i < 1000 && !win; i++) {
            win = find_window(dpy, kTitle, w, h);
            if (!win) std::this_thread::sleep_for(10ms);
        }
        XCloseDisplay(dpy);
    }
    if (!win) {
        std::printf("peer: ffplay showed no window (see %s/peer-*.log)\n", out.c_str());
    } else {
        GlassWatch glass;
        glass.start({static_cast<unsigned long>(win)}, double(w) / d.width);
        const int64_t begin = VKO_GetTime();
        while (VKO_TimeDiff(begin, VKO_GetTime()) < o.duration * 1000 && !stopping())
            std::this_thread::sleep_for(10ms);
        std::vector<std::vector<double>> seen = glass.stop();
        if (Display *dpy = XOpenDisplay(nullptr)) {
            {
                X11ErrorTrap trap(dpy);
                save_png(out + "/peer0.png", grab_rgb(dpy, win, 0, 0, w, h), w, h);
            }
            XCloseDisplay(dpy);
        }
        print_glass("peer (ffmpeg x11grab, libx264 ultrafast zerolatency, MPEG-TS over UDP, ffplay)",
                    seen[0]);
    }
    end_child(grabber);
    end_child(player);
}

// The numeric options: each one's range and whether it takes whole numbers
// only (the sizes, the rate and the counts are whole where they are used).
struct Range {
    const char *name;
    double low, high;
    bool whole;
    const char *unit;
};
constexpr Range kRanges[] = {
    {"--duration", 1, 86400, false, "seconds"},
    {"--width", 640, ENC_MAX_WIDTH, true, "pixels"},
    {"--height", 360, ENC_MAX_HEIGHT, true, "pixels"},
    {"--fps", 1, 240, true, "frames per second"},
    {"--bitrate", 1, 1000, true, "Mbit/s"},
    {"--displays", 1, kMaxDisplays, true, "displays"},
    {"--loss", 0, 100, false, "percent"},
    {"--delay", 0, 1000, false, "ms"},
};

// A settings line "key=value" or "key_N=value" whose key the store knows.
bool known_setting(const std::string &line) {
    size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    std::string key = line.substr(0, eq);
    const ConfigItem *items = config_schema_items();
    auto find = [&](const std::string &k) -> const ConfigItem * {
        for (uint32_t i = 0; i < CONFIG_KEY_COUNT; i++)
            if (k == items[i].name) return &items[i];
        return nullptr;
    };
    if (find(key)) return true;
    if (key.size() > 2 && key[key.size() - 2] == '_' && key.back() >= '0' && key.back() <= '2') {
        const ConfigItem *item = find(key.substr(0, key.size() - 2));
        return item && (item->multi_stream || key.back() == '0');
    }
    return false;
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
                "usage: zarvek [options] [setting=value ...]\n\n"
                "Streams displays from a host to a client on this machine: both connect through\n"
                "local signaling and STUN stand-ins, NAT traversal and BUD (or SCTP) on loopback.\n"
                "Without $DISPLAY it starts its own Xvfb and paints a moving test pattern.\n"
                "The client shows each stream in a window, writes a screenshot of it (window0.png, ...)\n"
                "and the received video as fragmented MP4 (video0.mp4, ...), measures\n"
                "capture-to-receive latency per frame and, on its own display, glass-to-glass latency\n"
                "(a frame counter in the pattern read back from the client windows), and clicks and\n"
                "types into a small window the program opens on the host display.\n"
                "Settings come from config.json in the data folder, then the settings given here\n"
                "(e.g. encoder_bitrate=20), then the machine's registry value; the options below\n"
                "go over them. Ctrl-C (or SIGTERM) ends the stream early and cleanly.\n\n"
                "  --duration S   seconds to stream, 1 to 86400 (5)\n"
                "  --width W      display width without $DISPLAY, a whole number from 640 to 3840 (1280)\n"
                "  --height H     display height without $DISPLAY, a whole number from 360 to 2160 (720)\n"
                "  --fps N        frame rate, a whole number from 1 to 240 (encoder_fps, else 30)\n"
                "  --bitrate M    largest bitrate in Mbit/s, a whole number from 1 to 1000 "
                "(encoder_bitrate)\n"
                "  --displays N   displays to stream, 1 to 3 (1)\n"
                "  --loss P       lose P percent (0 to 100) of the datagrams each way (through the lossy\n"
                "                 relay)\n"
                "  --delay MS     delay every datagram by MS milliseconds (0 to 1000) each way (lossy "
                "relay)\n"
                "  --sctp         SCTP instead of BUD (network_protocol)\n"
                "  --peer         then the same for FFmpeg's programs: ffmpeg grabs display 0 (x11grab),\n"
                "                 encodes it with libx264 and sends it over loopback UDP to ffplay,\n"
                "                 whose window's glass-to-glass latency is measured as the client's\n"
                "  --gfx NAME     the client windows' graphics: d3d11, d3d12, vulkan, or none for no\n"
                "                 windows (auto: Direct3D 11, else Vulkan)\n"
                "  --upnp         ask the local Internet gateway to forward the host's UDP ports\n"
                "                 (network_server_start_port and the three after it; needs network_upnp)\n"
                "  --out DIR      output folder (a new zarvek-<time> folder here)\n"
                "  --data DIR     data folder with config.json and log.txt (Zarvek in the user's\n"
                "                 application-data folder)\n"
                "  --version      print the version and exit\n"
                "  --help         show this text\n");
            *exit_code = 0;
            return false;
        } else if (a == "--version") {
            std::printf("zarvek %s\n", zarvek_version());
            *exit_code = 0;
            return false;
        } else if (a == "--sctp") {
            o->sctp = 1;
            continue;
        } else if (a == "--peer") {
            o->peer = true;
            continue;
        } else if (a == "--upnp") {
            o->upnp = true;
            continue;
        } else if (a.rfind("--", 0) != 0 && a.find('=') != std::string::npos) {
            if (!known_setting(a)) {
                std::fprintf(stderr, "zarvek: unknown setting '%s'\n", a.c_str());
                return false;
            }
            o->settings.push_back(a);
            continue;
        } else if (a == "--out" || a == "--data" || a == "--gfx") {
            if (!(v = value(a.c_str()))) return false;
            if (!*v) {
                std::fprintf(stderr, "zarvek: %s needs a value\n", a.c_str());
                return false;
            }
            if (a == "--out") {
                o->out = v;
            } else if (a == "--data") {
                o->data = v;
            } else {
                o->gfx = v;
                if (o->gfx != "auto" && o->gfx != "d3d11" && o->gfx != "d3d12" && o->gfx != "vulkan" &&
                    o->gfx != "none") {
                    std::fprintf(
                        stderr, "zarvek: bad value '%s' for --gfx (auto, d3d11, d3d12, vulkan or none)\n", v);
                    return false;
                }
            }
            continue;
        }
        const Range *range = nullptr;
        for (const Range &r : kRanges)
            if (a == r.name) range = &r;
        if (!range) {
            std::fprintf(stderr, "zarvek: unknown option '%s' (see zarvek --help)\n", a.c_str());
            return false;
        }
        if (!(v = value(a.c_str()))) return false;
        char *end = nullptr;
        errno = 0;
        double d = std::strtod(v, &end);
        if (end == v || *end || errno == ERANGE || !std::isfinite(d) || d < range->low || d > range->high ||
            (range->whole && d != std::floor(d))) {
            std::fprintf(stderr, "zarvek: bad value '%s' for %s (%s from %g to %g %s)\n", v, a.c_str(),
                         range->whole ? "a whole number" : "a number", range->low, range->high, range->unit);
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
        else if (a == "--displays")
            o->displays = static_cast<uint32_t>(d);
        else if (a == "--loss")
            o->loss = d;
        else if (a == "--delay")
            o->delay = d;
        else
            o->bitrate = static_cast<uint32_t>(d);
    }
    return true;
}

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

int run(const Options &o) {
    const bool own_display = !std::getenv("DISPLAY") || !*std::getenv("DISPLAY");
    if (!set_up_displays(o)) return 1;
    // Our Xvfb is not a watched child: it ends with the process by itself
    // (its parent-death signal), so a crash never takes the display away
    // from threads still drawing before the process is gone.
    if (stopping()) return 1;
    std::string out = o.out;
    if (out.empty()) {
        char name[64];
        std::time_t t = std::time(nullptr);
        std::strftime(name, sizeof name, "zarvek-%Y%m%d-%H%M%S", std::localtime(&t));
        out = name;
    }
    mkdir(out.c_str(), 0755);
    std::string files[kMaxDisplays];
    for (uint32_t k = 0; k < o.displays; k++) {
        Received &r = g_rx[k];
        r.index = k;
        r.ticks_per_frame = 90000 / o.fps;
        files[k] = out + "/video" + std::to_string(k) + ".mp4";
        r.file = std::fopen(files[k].c_str(), "wb");
        if (!r.file) {
            std::fprintf(stderr, "zarvek: cannot write %s\n", files[k].c_str());
            for (uint32_t j = 0; j < k; j++) std::fclose(g_rx[j].file);
            return 1;
        }
        r.buffer = static_cast<uint8_t *>(VKO_Alloc(1, MP4_VIDEO_BUFFER));
    }
    bool relay_on = o.loss > 0 || o.delay >= 0;
    char link[96] = "";
    if (relay_on)
        std::snprintf(link, sizeof link, " through the lossy relay (%.1f%% loss, %.0f ms delay each way)",
                      o.loss, std::max(0.0, o.delay));
    std::printf("zarvek %s: display %s, %u x %u at %u fps, %u display(s), %s on loopback%s\n",
                zarvek_version(), std::getenv("DISPLAY"), g_timeline.outputs[0].width,
                g_timeline.outputs[0].height, o.fps, o.displays, o.sctp == 1 ? "SCTP" : "BUD", link);

    std::atomic<bool> painting{true};
    std::thread painter(paint, std::cref(painting), o.displays, o.fps);
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
            std::fclose(g_rx[k].file);
            g_rx[k].file = nullptr;
            VKO_Free(g_rx[k].buffer);
        }
    };
    if (!stun.start() || !server.start()) {
        std::fprintf(stderr, "zarvek: could not start the local servers\n");
        painting = false;
        painter.join();
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
    sig.host_instance = host;
    SignalCallbacks hcb = {}, ccb = sdk_client_signal_callbacks();
    hcb.on_connected = [](void *o) {  // the host announces itself, with its guests
        auto *sg = static_cast<Signaling *>(o);
        signal_send_conn_update(sg->host, sg->host_instance);
    };
    hcb.on_offer = on_offer;
    hcb.on_candex = on_candex;
    signal_create(&sig.host, "host", "127.0.0.1", 0, 0, "", &hcb, &sig);
    signal_create(&sig.client, "client", "127.0.0.1", 0, 0, "", &ccb, client);
    for (SignalContext *s : {sig.host, sig.client}) signal_set_server(s, "127.0.0.1", server.port(), 0);
    signal_set_session(sig.host, "H");

    CaptureApi capture = capture_dxgi_api;
    capture.start = wrap_start;
    capture.stop = wrap_stop;
    capture.poll = wrap_poll;
    capture.get_texture = wrap_texture;
    HostHooks hooks{};
    hooks.no_audio_thread = 1;
    hooks.capture = &capture;
    time_encoders(std::make_index_sequence<ENC_ROWS>{});
    hooks.encoders = g_encoders;
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
    for (int i = 0; r == 0 && connect_code.load() == 1 && i < 3000 && !stopping(); i++)
        std::this_thread::sleep_for(10ms);
    if (stopping()) {
        std::fprintf(stderr, "zarvek: stopped while connecting\n");
    } else if (r != 0 || connect_code.load() != 0) {
        std::fprintf(stderr, "zarvek: the client did not connect (%d)\n", r ? r : connect_code.load());
    } else {
        std::printf("connected in %.0f ms\n", VKO_TimeDiff(t0, VKO_GetTime()));
        for (uint8_t k = 1; k < o.displays; k++) ZarvekClientEnableStream(client, k, 1);
        int64_t start = VKO_GetTime();
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
                        windows.push_back(static_cast<unsigned long>(reinterpret_cast<uintptr_t>(
                            VKO_WindowGetNative(g_viewer.app, g_viewer.windows[k]))));
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
            char transport[128] = "";
            if (o.sctp != 1)  // SCTP keeps no per-stream packet counts or round trip here
                std::snprintf(transport, sizeof transport,
                              "  sent %u packets  retransmissions %u  rtt %.2f ms", hm.packetsSent,
                              hm.fastRTs + hm.slowRTs, hm.networkLatency);
            std::printf(
                "%3d s  received %llu frames (+%llu)  %.2f Mbit/s  capture-to-receive %.1f ms median, %.1f "
                "ms "
                "p99  capture-to-encoded %.1f ms%s\n",
                sec, static_cast<unsigned long long>(f), static_cast<unsigned long long>(f - last_frames),
                (b - last_bytes) * 8 / 1e6, percentile(period, 0.5), percentile(period, 0.99),
                hm.encodeLatency, transport);
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
        std::printf(
            "summary: %llu frames received in %.1f s (%.1f fps), %.2f Mbit/s, first frame %.0f ms "
            "after connecting began, %u frames not written\n",
            static_cast<unsigned long long>(frames), secs, frames / secs / o.displays,
            total(&Received::bytes) * 8 / secs / 1e6, first_frame, errors);
        std::printf(
            "latency: capture-to-receive %.1f ms median, %.1f ms p99, %.1f ms largest over %zu frames\n",
            percentile(all, 0.5), percentile(all, 0.99), percentile(all, 1.0), all.size());
        std::printf("frames: %llu encoded, %llu received, %llu missing, %llu out of order, %llu unmatched\n",
                    static_cast<unsigned long long>(encoded), static_cast<unsigned long long>(frames),
                    static_cast<unsigned long long>(total(&Received::missing)),
                    static_cast<unsigned long long>(total(&Received::unordered)),
                    static_cast<unsigned long long>(total(&Received::unpaired)));
        for (uint32_t k = 0; k < o.displays; k++) {
            if (!g_viewer.render[k]) continue;
            // A slow window (a CPU renderer on a busy machine) catches up with
            // what arrived before its picture is taken.
            for (int i = 0; i < 500 && !client_render_stats(g_viewer.render[k]).idle && !stopping(); i++)
                std::this_thread::sleep_for(10ms);
            ClientRenderStats st = client_render_stats(g_viewer.render[k]);
            std::string shot = out + "/window" + std::to_string(k) + ".png";
            Likeness like = viewer_screenshot(k, shot);
            std::printf(
                "window %u: %llu pictures drawn through %s (%llu decoded, %llu damaged), screenshot %s", k,
                static_cast<unsigned long long>(st.drawn), gfx_name(client_render_api(g_viewer.render[k])),
                static_cast<unsigned long long>(st.decoded), static_cast<unsigned long long>(st.errors),
                shot.c_str());
            if (like.psnr >= 0 && own_display)
                std::printf(", PSNR %.1f dB (luma %.1f dB) against the painted display", like.psnr,
                            like.luma_psnr);
            std::printf("\n");
            if (watching && k < seen.size())
                print_glass(("window " + std::to_string(k) + " through " +
                             gfx_name(client_render_api(g_viewer.render[k])))
                                .c_str(),
                            seen[k]);
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
    signal_destroy(&sig.client);
    signal_destroy(&sig.host);
    viewer_ask_key_frames(nullptr);
    ZarvekDestroy(&client);
    viewer_stop();  // no media reaches the windows once the client is gone
    ZarvekDestroy(&host);
    host_set_hooks(nullptr);
    if (route.relay) route.relay->stop();
    painting = false;
    painter.join();
    if (o.peer && rc == 0 && !stopping()) {
        if (own_display && g_viewer.width) {
            painting = true;
            painter = std::thread(paint, std::cref(painting), 1, o.fps);
            run_peer(o, out, static_cast<uint32_t>(hc.video[0].encoderMaxBitrate));
            painting = false;
            painter.join();
        } else {
            std::printf("peer: only with client windows on the program's own display\n");
        }
    }
    close_files();
    for (uint32_t k = 0; k < o.displays; k++) std::printf("output: %s\n", files[k].c_str());
    return rc;
}

// Values the command line left open come from the merged settings; 0, or 2
// with a message when a setting is outside what the program can do.
int settle_options(Options *o) {
    if (!o->fps) {
        const int32_t fps = config_get_int(CONFIG_LAYER_MERGED, "encoder_fps", 0);
        if (fps < 0 || fps > 240) {
            std::fprintf(stderr, "zarvek: the setting encoder_fps=%d is outside 1 to 240 frames per second\n",
                         fps);
            return 2;
        }
        o->fps = fps ? static_cast<uint32_t>(fps) : 30;
    }
    if (!o->bitrate) {
        const int32_t mbit = config_get_int(CONFIG_LAYER_MERGED, "encoder_bitrate", 0);
        if (mbit < 1 || mbit > 1000) {
            std::fprintf(stderr, "zarvek: the setting encoder_bitrate=%d is outside 1 to 1000 Mbit/s\n",
                         mbit);
            return 2;
        }
    }
    if (o->sctp < 0)
        o->sctp = config_get_int(CONFIG_LAYER_MERGED, "network_protocol", 0) == int32_t(SIGNAL_MODE_SCTP);
    return 0;
}

// The host's UPnP mapper, as the hosting supervisor starts it: the server
// start port and the three after it, when network_upnp allows. 0, 2 for a
// start port outside the range, 1 when the thread could not start.
int start_upnp(UpnpMapRequest *req) {
    if (!config_get_bool(CONFIG_LAYER_MERGED, "network_upnp", 0)) {
        std::printf("upnp: off (network_upnp)\n");
        return 0;
    }
    const int32_t base = config_get_int(CONFIG_LAYER_MERGED, "network_server_start_port", 0);
    if (base < 1 || base > 65535 - 3) {
        std::fprintf(stderr, "zarvek: --upnp needs network_server_start_port from 1 to 65532 (it is %d)\n",
                     base);
        return 2;
    }
    req->base = static_cast<uint16_t>(base);
    req->count = 4;
    req->wake = VKO_WaitableCreate();
    req->thread = VKO_ThreadCreate(upnp_map_thread, req);
    std::printf("upnp: mapping UDP ports %d to %d\n", base, base + 3);
    return req->thread ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    int code = 2;
    if (!parse(argc, argv, &o, &code)) return code;
    static AppContext app;
    VKO_SetCrashFunc(crash_callback, &app);
    stop_on_signals();
    // An output closed early (zarvek | head) must not end the program before
    // it has stopped what it started; writes to it just fail.
    signal(SIGPIPE, SIG_IGN);

    std::string data = o.data;
    if (data.empty()) data = std::string(VKO_GetDir(VKO_DIR_APPDATA)) + "/Zarvek";
    std::error_code ec;
    std::filesystem::create_directories(data, ec);
    if (ec) {
        std::fprintf(stderr, "zarvek: cannot make the data folder %s: %s\n", data.c_str(),
                     ec.message().c_str());
        return 1;
    }
    // The settings given on the command line are the start-up text.
    std::vector<const char *> startup = {argv[0]};
    for (const std::string &line : o.settings) startup.push_back(line.c_str());
    if (!app_context_init(&app, static_cast<int>(startup.size()), startup.data(), data.c_str(),
                          APP_FLAG_HOST)) {
        std::fprintf(stderr, "zarvek: the settings could not be set up\n");
        return 1;
    }
    app_logging_start(&app);
    app_context_follow_config(&app);
    log_message(LOG_LEVEL_FORCED, LOG_BANNER_START);

    int rc = settle_options(&o);
    UpnpMapRequest upnp = {};
    if (rc == 0 && o.upnp) rc = start_upnp(&upnp);
    if (rc == 0) rc = run(o);
    if (upnp.thread) {
        upnp_map_stop(&upnp);
        VKO_WaitableDestroy(&upnp.wake);
    }
    if (int sig = g_stop_signal.load()) {
        std::fprintf(stderr, "zarvek: stopped by signal %d (%s)\n", sig, strsignal(sig));
        rc = 128 + sig;
    }
    log_message(LOG_LEVEL_FORCED, LOG_BANNER_END, rc);
    app_context_shutdown(&app);
    return rc;
}
