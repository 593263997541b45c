// The host's media path at 1920 x 1080 on a private Xvfb, each beside its
// strongest peer: capture beside a bare XShmGetImage loop and FFmpeg's X11
// grabber, BGRA -> NV12 beside libswscale (point sampling and bilinear), the
// software encoder beside x264 called directly with the same settings (and
// the quality it keeps: PSNR of the decoded frames), a still screen under the
// minimum frame rate (grabs per delivered frame), and capture + convert +
// encode. Ends with the "ours / peer" speed ratios.
#include <benchmark/benchmark.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
#include <stdint.h>
#include <x264.h>
}

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/capture.h"
#include "host/encoder.h"
#include "host/nv12.h"
#include "peer.h"
#include "support/media_frames.h"
#include "support/xvfb.h"

namespace {

const uint32_t W = 1920, H = 1080, FRAMES = 8;

// The main-job program's test pattern: a bar sweeping across and a band
// moving down, in changing colours, drawn over what was there.
void test_pattern(std::vector<uint32_t> &px, uint64_t i) {
    uint32_t c = (uint32_t)(i * 2654435761u) & 0xFFFFFF;
    for (uint32_t y = 0; y < H; y++)
        for (uint32_t x = (uint32_t)(i * 16 % W); x < std::min<uint32_t>(W, (uint32_t)(i * 16 % W) + 64); x++)
            px[y * W + x] = c;
    c = (uint32_t)(i * 40503u) & 0xFFFFFF;
    for (uint32_t y = (uint32_t)(i * 9 % H); y < std::min<uint32_t>(H, (uint32_t)(i * 9 % H) + 24); y++)
        for (uint32_t x = 0; x < W; x++) px[y * W + x] = c;
}

// Frames in BGRA and NV12, made once: kind 0 a scrolling desktop-like
// picture, kind 1 the test pattern.
struct Frames {
    std::vector<std::vector<uint32_t>> bgra;
    std::vector<std::vector<uint8_t>> nv12;
    explicit Frames(int kind) {
        std::vector<uint32_t> px(W * H, 0);
        for (uint32_t f = 0; f < FRAMES; f++) {
            if (kind == 0)
                for (uint32_t y = 0; y < H; y++)
                    for (uint32_t x = 0; x < W; x++) px[y * W + x] = desktop_pixel(x, y, f * 16);
            else
                test_pattern(px, f);
            std::vector<uint8_t> yuv(W * H * 3 / 2);
            Nv12Source src = {(const uint8_t *)px.data(), W * 4, W, H, false, false};
            nv12_luma(src, yuv.data(), W, W, H);
            nv12_chroma(src, yuv.data() + W * H, W, W / 2, H / 2);
            bgra.push_back(px);
            nv12.push_back(std::move(yuv));
        }
    }
};

const Frames &frames(int kind = 0) {
    static Frames desktop(0), pattern(1);
    return kind ? pattern : desktop;
}

// PSNR of a decoded picture against its NV12 source (all planes).
double psnr(const AVFrame *fr, const std::vector<uint8_t> &ref) {
    double se = 0;
    for (uint32_t y = 0; y < H; y++)
        for (uint32_t x = 0; x < W; x++) {
            double d = fr->data[0][y * fr->linesize[0] + x] - ref[y * W + x];
            se += d * d;
        }
    for (uint32_t y = 0; y < H / 2; y++)
        for (uint32_t x = 0; x < W / 2; x++)
            for (int c = 0; c < 2; c++) {
                double d = fr->data[1 + c][y * fr->linesize[1 + c] + x] - ref[W * H + y * W + 2 * x + c];
                se += d * d;
            }
    double mse = se / (W * H * 1.5);
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

// The least PSNR of a stream's frames, decoded by libavcodec; -1 when one
// did not decode.
double least_psnr(const std::vector<std::vector<uint8_t>> &units, const Frames &src) {
    AVCodecContext *ctx = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264));
    avcodec_open2(ctx, nullptr, nullptr);
    AVPacket *pkt = av_packet_alloc();
    AVFrame *fr = av_frame_alloc();
    double least = 99;
    for (size_t i = 0; i < units.size(); i++) {
        av_new_packet(pkt, (int)units[i].size());
        memcpy(pkt->data, units[i].data(), units[i].size());
        avcodec_send_packet(ctx, pkt);
        av_packet_unref(pkt);
        if (avcodec_receive_frame(ctx, fr) != 0) {
            least = -1;
            break;
        }
        least = std::min(least, psnr(fr, src.nv12[i % FRAMES]));
        av_frame_unref(fr);
    }
    av_frame_free(&fr);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return least;
}

// The test display with the first frame painted; false without Xvfb.
Display *screen() {
    static Display *dpy = nullptr;
    if (dpy || xvfb_display(W, H).empty()) return dpy;
    dpy = XOpenDisplay(nullptr);
    char *pix = (char *)malloc(W * H * 4);
    XImage *img = XCreateImage(dpy, DefaultVisual(dpy, 0), 24, ZPixmap, 0, pix, W, H, 32, 0);
    memcpy(pix, frames().bgra[0].data(), W * H * 4);
    XPutImage(dpy, DefaultRootWindow(dpy), DefaultGC(dpy, 0), img, 0, 0, 0, 0, W, H);
    XDestroyImage(img);
    XSync(dpy, False);
    return dpy;
}

// One pixel of damage, so every poll has a changed screen to grab.
void touch(Display *dpy, uint64_t i) {
    XSetForeground(dpy, DefaultGC(dpy, 0), (unsigned long)(i * 2654435761u) & 0xFFFFFF);
    XFillRectangle(dpy, DefaultRootWindow(dpy), DefaultGC(dpy, 0), (int)(i % W), (int)(i / W % H), 1, 1);
    XFlush(dpy);
}

void BM_CaptureBareXShmGetImage(benchmark::State &state) {
    if (!screen()) return state.SkipWithError("no Xvfb");
    Display *dpy = XOpenDisplay(nullptr);
    XShmSegmentInfo shm = {};
    XImage *img = XShmCreateImage(dpy, DefaultVisual(dpy, 0), 24, ZPixmap, nullptr, &shm, W, H);
    shm.shmid = shmget(IPC_PRIVATE, (size_t)img->bytes_per_line * H, IPC_CREAT | 0600);
    shm.shmaddr = img->data = (char *)shmat(shm.shmid, nullptr, 0);
    XShmAttach(dpy, &shm);
    // Arg 1 draws the same one-pixel damage as the capture runs get; arg 2
    // also waits until the server drew it, so every grab sees the change (as
    // ours does, woken by the damage event).
    uint64_t i = 0;
    for (auto _ : state) {
        if (state.range(0)) touch(screen(), i++);
        if (state.range(0) == 2) XSync(screen(), False);
        XShmGetImage(dpy, DefaultRootWindow(dpy), img, 0, 0, AllPlanes);
        benchmark::DoNotOptimize(img->data[0]);
    }
    XShmDetach(dpy, &shm);
    shmdt(shm.shmaddr);
    shmctl(shm.shmid, IPC_RMID, nullptr);
    img->data = nullptr;
    XDestroyImage(img);
    XCloseDisplay(dpy);
}

DisplayOutput whole_screen() {
    DisplayOutput outs[DISPLAY_MAX_OUTPUTS];
    display_adapter_get_all(outs);
    return outs[0];
}

void BM_CaptureOurs(benchmark::State &state) {
    Display *dpy = screen();
    if (!dpy) return state.SkipWithError("no Xvfb");
    DisplayOutput out = whole_screen();
    void *cap = nullptr;
    if (cap_dxgi_start(&cap, 0, 0, &out) != 0) return state.SkipWithError("capture did not start");
    std::vector<uint8_t> cursor(CAPTURE_CURSOR_BUFFER);
    uint64_t i = 0, missed = 0;
    for (auto _ : state) {
        touch(dpy, i++);
        CaptureFrame f = {};
        cap_dxgi_poll(cap, 1000, cursor.data(), &f);
        ID3D11Texture2D *tex = nullptr;
        missed += !f.new_frame || cap_dxgi_get_texture(cap, CAPTURE_FORMAT_ASIS, &tex) != 0;
    }
    if (missed) state.SkipWithError("a poll gave no frame");
    cap_dxgi_stop(&cap);
}

// A still screen with the minimum frame rate on, through capture_poll at
// 60 fps: one iteration per delivered frame. Counter: grabs per frame.
void BM_CaptureStillScreen(benchmark::State &state) {
    if (!screen()) return state.SkipWithError("no Xvfb");
    DisplayOutput out = whole_screen();
    CaptureRecord *rec = capture_record_create(&capture_dxgi_api, 2);
    if (cap_dxgi_start(&rec->handle, 0, 0, &out) != 0) return state.SkipWithError("capture did not start");
    cap_dxgi_set_min_framerate(rec->handle, 1);
    std::vector<uint8_t> cursor(CAPTURE_CURSOR_BUFFER);
    uint64_t frames_out = 0, polls = 0;
    CaptureFrame f = {};
    capture_poll(rec, 1000, 60, cursor.data(), &f);
    uint64_t grabs0 = cap_dxgi_grabs(rec->handle);
    for (auto _ : state) {
        do {
            f = {};
            polls++;
            if (capture_poll(rec, 1000, 60, cursor.data(), &f) != 0)
                return state.SkipWithError("poll failed");
        } while (!f.new_frame);
        frames_out++;
    }
    state.counters["grabs/frame"] = (double)(cap_dxgi_grabs(rec->handle) - grabs0) / (double)frames_out;
    state.counters["polls/frame"] = (double)polls / (double)frames_out;
    state.counters["fps"] = benchmark::Counter((double)frames_out, benchmark::Counter::kIsRate);
    capture_record_destroy(&rec);
}

// Wall time of FFmpeg grabbing n frames as fast as it can.
double ffmpeg_grab(uint32_t n) {
    std::string cmd =
        "ffmpeg -loglevel quiet -nostdin -f x11grab -draw_mouse 0 -framerate 1000 -video_size " +
        std::to_string(W) + "x" + std::to_string(H) + " -i " + xvfb_display() + " -frames:v " +
        std::to_string(n) + " -f null - 2>/dev/null";
    auto t0 = std::chrono::steady_clock::now();
    if (system(cmd.c_str()) != 0) return -1;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Per frame: the difference of a long and a short run, so start-up cancels.
void BM_CaptureFfmpegX11grab(benchmark::State &state) {
    if (!screen()) return state.SkipWithError("no Xvfb");
    for (auto _ : state) {
        double a = ffmpeg_grab(60), b = ffmpeg_grab(1060);
        if (a < 0 || b < 0) return state.SkipWithError("ffmpeg failed");
        state.SetIterationTime((b - a) / 1000);
    }
    state.counters["fps"] = benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_ConvertOurs(benchmark::State &state) {
    const std::vector<uint32_t> &px = frames().bgra[1];
    std::vector<uint8_t> out(W * H * 3 / 2);
    Nv12Source src = {(const uint8_t *)px.data(), W * 4, W, H, false, false};
    for (auto _ : state) {
        nv12_luma(src, out.data(), W, W, H, (Nv12Isa)state.range(0));
        nv12_chroma(src, out.data() + W * H, W, W / 2, H / 2, (Nv12Isa)state.range(0));
        benchmark::DoNotOptimize(out[0]);
    }
}

// Arg 0 point sampling, 1 bilinear (ours averages each 2 x 2 block for chroma).
void BM_ConvertSwscale(benchmark::State &state) {
    const std::vector<uint32_t> &px = frames().bgra[1];
    std::vector<uint8_t> out(W * H * 3 / 2);
    SwsContext *sws = sws_getContext(W, H, AV_PIX_FMT_BGRA, W, H, AV_PIX_FMT_NV12,
                                     state.range(0) ? SWS_BILINEAR : SWS_POINT, nullptr, nullptr, nullptr);
    const uint8_t *in[] = {(const uint8_t *)px.data()};
    int in_stride[] = {(int)W * 4};
    uint8_t *planes[] = {out.data(), out.data() + W * H};
    int strides[] = {(int)W, (int)W};
    for (auto _ : state) {
        sws_scale(sws, in, in_stride, 0, H, planes, strides);
        benchmark::DoNotOptimize(out[0]);
    }
    sws_freeContext(sws);
}

// Arg: the picture (0 desktop-like, 1 test pattern), at the default largest
// bitrate (the rate the encoder starts at is lower). The quality counter is
// the least PSNR over the first 64 frames, decoded by libavcodec.
void BM_EncodeOurs(benchmark::State &state) {
    const Frames &src = frames((int)state.range(0));
    ID3D11Device *dev = nullptr;
    D3D11CreateDevice(&dev);
    std::vector<ID3D11Texture2D *> tex(FRAMES);
    for (uint32_t f = 0; f < FRAMES; f++) {
        D3D11_TEXTURE2D_DESC d = {W, H, 1, 1, DXGI_FORMAT_NV12, {1, 0}, 0, D3D11_BIND_SHADER_RESOURCE, 0, 0};
        dev->CreateTexture2D(&d, src.nv12[f].data(), &tex[f]);
    }
    RateParams p = default_rate_params();
    void *enc = nullptr;
    if (mfte_init(&enc, dev, W, H, 10, &p) != 0) return state.SkipWithError("init failed");
    uint64_t i = 0, bytes = 0;
    std::vector<std::vector<uint8_t>> kept;
    for (auto _ : state) {
        uint8_t *data;
        uint32_t size;
        mfte_encode(enc, tex[i++ % FRAMES], &data, &size);
        bytes += size;
        if (kept.size() < 64) kept.emplace_back(data, data + size);
    }
    state.counters["kbit/frame"] = (double)bytes * 8 / 1000 / (double)i;
    state.counters["least_psnr_db"] = least_psnr(kept, src);
    mfte_destroy(&enc);
    for (ID3D11Texture2D *t : tex) t->Release();
    dev->Release();
}

// x264 with the settings the software row gives it.
void BM_EncodeX264Direct(benchmark::State &state) {
    x264_param_t p;
    x264_param_default_preset(&p, "ultrafast", "zerolatency");
    p.i_threads = 1;
    p.b_sliced_threads = 0;
    p.i_width = W;
    p.i_height = H;
    p.i_csp = X264_CSP_NV12;
    p.i_fps_num = 60;
    p.i_fps_den = 1;
    p.i_timebase_num = 1;
    p.i_timebase_den = 60;
    p.b_vfr_input = 0;
    p.i_keyint_max = X264_KEYINT_MAX_INFINITE;
    p.i_bframe = 0;
    p.b_annexb = 1;
    p.b_repeat_headers = 1;
    p.vui.b_fullrange = 0;
    p.vui.i_colorprim = p.vui.i_transfer = p.vui.i_colmatrix = 1;
    p.i_log_level = X264_LOG_NONE;
    p.rc.i_rc_method = X264_RC_ABR;
    p.rc.i_bitrate = p.rc.i_vbv_max_bitrate = 10000;
    p.rc.i_vbv_buffer_size = 516;  // the rate-buffer rule at 10 Mbit/s and 60 fps
    x264_param_apply_profile(&p, "high");
    x264_t *enc = x264_encoder_open(&p);
    uint64_t i = 0, bytes = 0;
    for (auto _ : state) {
        x264_picture_t pic, out;
        x264_picture_init(&pic);
        pic.img.i_csp = X264_CSP_NV12;
        pic.img.i_plane = 2;
        uint8_t *yuv = (uint8_t *)frames((int)state.range(0)).nv12[i % FRAMES].data();
        pic.img.plane[0] = yuv;
        pic.img.plane[1] = yuv + W * H;
        pic.img.i_stride[0] = pic.img.i_stride[1] = W;
        pic.i_pts = (int64_t)i++;
        x264_nal_t *nals;
        int n;
        bytes += (uint64_t)x264_encoder_encode(enc, &nals, &n, &pic, &out);
    }
    state.counters["kbit/frame"] = (double)bytes * 8 / 1000 / (double)i;
    x264_encoder_close(enc);
}

void BM_CaptureConvertEncode(benchmark::State &state) {
    Display *dpy = screen();
    if (!dpy) return state.SkipWithError("no Xvfb");
    DisplayOutput out = whole_screen();
    void *cap = nullptr;
    if (cap_dxgi_start(&cap, 0, 0, &out) != 0) return state.SkipWithError("capture did not start");
    RateParams p = default_rate_params();
    Encoder *enc = nullptr;
    if (encoder_open(&enc, encoder_table, ENC_ROWS, cap_dxgi_get_device(cap), W, H, 9, &p) != 0)
        return state.SkipWithError("no encoder");
    std::vector<uint8_t> cursor(CAPTURE_CURSOR_BUFFER);
    uint64_t i = 0;
    for (auto _ : state) {
        touch(dpy, i++);
        CaptureFrame f = {};
        cap_dxgi_poll(cap, 1000, cursor.data(), &f);
        ID3D11Texture2D *tex = nullptr;
        cap_dxgi_get_texture(cap, enc->input_format, &tex);
        uint8_t *data;
        uint32_t size;
        enc->api.encode(enc->handle, tex, &data, &size);
        enc->api.after_frame(enc->handle);
    }
    encoder_close(&enc);
    cap_dxgi_stop(&cap);
}

// Capture waits on the X server: compared in real time.
BENCHMARK(BM_CaptureBareXShmGetImage)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CaptureOurs)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CaptureStillScreen)->Unit(benchmark::kMillisecond)->Iterations(120)->UseRealTime();
BENCHMARK(BM_CaptureFfmpegX11grab)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_ConvertOurs)
    ->Arg(NV12_ISA_BEST)
    ->Arg(NV12_ISA_SSE2)
    ->Arg(NV12_ISA_PLAIN)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertSwscale)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeOurs)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeX264Direct)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CaptureConvertEncode)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
    return bench::run_pairs(
        argc, argv,
        {{"capture 1920x1080", "BM_CaptureOurs/real_time", "BM_CaptureBareXShmGetImage/1/real_time",
          "capture / bare XShmGetImage"},
         {"capture 1920x1080", "BM_CaptureOurs/real_time", "BM_CaptureFfmpegX11grab/iterations:1/manual_time",
          "capture / FFmpeg x11grab"},
         {"BGRA to NV12 1920x1080", "BM_ConvertOurs/3", "BM_ConvertSwscale/0", "ours / libswscale point"},
         {"BGRA to NV12 1920x1080", "BM_ConvertOurs/3", "BM_ConvertSwscale/1", "ours / libswscale bilinear"},
         {"encode desktop 1080p", "BM_EncodeOurs/0", "BM_EncodeX264Direct/0", "software row / x264"},
         {"encode test pattern 1080p", "BM_EncodeOurs/1", "BM_EncodeX264Direct/1", "software row / x264"}});
}
