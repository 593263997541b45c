// Encoder rows and rate parameters; the software row's H.264 decoded by
// libavcodec, from synthetic NV12 frames and from a painted Xvfb monitor
// through capture and conversion.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "compat/mfplat/mfplat.h"
#include "connection/bud.h"
#include "host/capture.h"
#include "host/encoder.h"
#include "host/h26x.h"
#include "host/nv12.h"
#include "support/media_frames.h"
#include "support/xvfb.h"
#include "util/logger.h"

namespace {

TEST(RateParams, FillVbvAndBitrateThreshold) {
    HostConfig host;
    config_host_defaults(&host);
    struct Case {
        int32_t min_qp_key, fps, bitrate;
        uint32_t min_qp, multipass, fps_out, vbv;
    } cases[] = {{5, 0, 10, 5, 0, 60, 516000}, {69, 30, 50, 5, 1, 30, 768000}};
    for (const Case &c : cases) {
        host.encoder_min_qp = c.min_qp_key;
        host.video[0].encoderFPS = c.fps;
        host.video[0].encoderMaxBitrate = c.bitrate;
        RateParams p = {};
        encoder_rate_params_fill(&p, &host.video[0], &host);
        EXPECT_EQ(std::make_tuple(p.min_qp, p.multipass, p.fps, encoder_vbv_bits(&p)),
                  std::make_tuple(c.min_qp, c.multipass, c.fps_out, c.vbv));
        EXPECT_EQ(p.vbv_multi, 3.1f);
        EXPECT_EQ(p.min_bitrate, 2.0f);
    }
    RateParams p = default_rate_params();
    EXPECT_FALSE(encoder_set_bitrate(&p, p.bitrate + 0.005f));
    EXPECT_TRUE(encoder_set_bitrate(&p, p.bitrate + 0.5f));
}

// Decodes Annex B access units in order with libavcodec.
struct Decoder {
    Decoder() {
        ctx = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264));
        EXPECT_EQ(avcodec_open2(ctx, nullptr, nullptr), 0);
        pkt = av_packet_alloc();
        frame = av_frame_alloc();
    }
    ~Decoder() {
        av_frame_free(&frame);
        av_packet_free(&pkt);
        avcodec_free_context(&ctx);
    }
    // The decoded picture's PSNR against an NV12 reference (all planes).
    double decode(const uint8_t *data, uint32_t size, const std::vector<uint8_t> &ref, uint32_t w,
                  uint32_t h) {
        av_new_packet(pkt, (int)size);
        memcpy(pkt->data, data, size);
        EXPECT_EQ(avcodec_send_packet(ctx, pkt), 0);
        av_packet_unref(pkt);
        if (avcodec_receive_frame(ctx, frame) != 0) return -1;
        EXPECT_EQ(std::make_tuple(frame->width, frame->height, frame->format, frame->color_range),
                  std::make_tuple((int)w, (int)h, (int)AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG));
        double se = 0;
        for (uint32_t y = 0; y < h; y++)
            for (uint32_t x = 0; x < w; x++) {
                double d = frame->data[0][y * frame->linesize[0] + x] - ref[y * w + x];
                se += d * d;
            }
        for (uint32_t y = 0; y < h / 2; y++)
            for (uint32_t x = 0; x < w / 2; x++)
                for (int c = 0; c < 2; c++) {
                    double d =
                        frame->data[1 + c][y * frame->linesize[1 + c] + x] - ref[w * h + y * w + 2 * x + c];
                    se += d * d;
                }
        double mse = se / (w * h * 1.5);
        av_frame_unref(frame);
        return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
    }
    AVCodecContext *ctx;
    AVPacket *pkt;
    AVFrame *frame;
};

bool has_nal(const uint8_t *data, uint32_t size, uint8_t type) {
    H26xNal nal = {1, type, 0, 0, 0, -1};
    return h26x_find_nal(data, size, &nal) == 0;
}

TEST(Encoder, VendorRowsFailCleanlyAndTheSoftwareRowWins) {
    ID3D11Device *dev = nullptr;
    ASSERT_EQ(D3D11CreateDevice(&dev), S_OK);
    const int64_t live = mf_live_objects();
    RateParams p = default_rate_params();
    Encoder *enc = nullptr;
    ASSERT_EQ(encoder_open(&enc, encoder_table, ENC_ROWS, dev, 1280, 720, CAPTURE_FORMAT_BGRA, &p), 0);
    EXPECT_EQ(enc->input_format, 10u);
    EXPECT_EQ(enc->api.init, mfte_init);
    EXPECT_EQ(p.software, 1);
    EncoderCaps caps = {9, 9, 9, 9};
    enc->api.caps(enc->handle, &caps);
    EXPECT_EQ(std::make_tuple(caps.first, caps.h265, caps.yuv444, caps.bit10), std::make_tuple(9, 0, 9, 0));
    encoder_close(&enc);
    EXPECT_EQ(mf_live_objects(), live);

    // Any guest feature makes the software row fail: no row is left.
    for (uint8_t RateParams::*feature :
         {&RateParams::want_h265, &RateParams::want_444, &RateParams::full_range, &RateParams::want_10bit}) {
        RateParams q = default_rate_params();
        q.*feature = 1;
        void *h = nullptr;
        EXPECT_EQ(mfte_init(&h, dev, 1280, 720, 10, &q), ENC_ERR_MF_INIT);
        mfte_destroy(&h);
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(encoder_open(&enc, encoder_table, ENC_ROWS, dev, 1280, 720, 9, &q), ENC_ERR_INIT);
        EXPECT_EQ(enc, nullptr);
    }
    EXPECT_EQ(encoder_open(&enc, encoder_table, ENC_ROWS, dev, 3841, 2160, 9, &p), ENC_ERR_INIT);
    EXPECT_EQ(mf_live_objects(), live);
    dev->Release();
}

int32_t refuse_hardware(void **, ID3D11Device *, uint32_t, uint32_t, uint32_t, RateParams *) {
    return -15101;
}
int32_t refuse_format(void **, ID3D11Device *, uint32_t, uint32_t, uint32_t, RateParams *) {
    return -15007;
}
std::vector<std::string> g_lines;
void keep_line(uint32_t, const char *text, void *) {
    if (std::string(text).find("encode_init") != std::string::npos) g_lines.emplace_back(text);
}

// Each row that fails is logged once with its own code; the walk's overall
// answer is not logged.
TEST(Encoder, EachFailedRowIsLoggedWithItsCode) {
    ID3D11Device *dev = nullptr;
    ASSERT_EQ(D3D11CreateDevice(&dev), S_OK);
    log_set_line_writer(keep_line);
    log_set_sink(log_sink_format, nullptr);
    const EncoderApi rows[4] = {
        {},
        {nullptr, refuse_hardware, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
        {nullptr, refuse_format, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
        encoder_table[4]};
    RateParams p = default_rate_params();
    Encoder *enc = nullptr;
    g_lines.clear();
    ASSERT_EQ(encoder_open(&enc, rows, 4, dev, 1280, 720, CAPTURE_FORMAT_BGRA, &p), 0);
    EXPECT_EQ(g_lines,
              (std::vector<std::string>{"* encode_init[127] = -15101", "* encode_init[127] = -15007"}));
    encoder_close(&enc);
    g_lines.clear();
    EXPECT_EQ(encoder_open(&enc, rows, 3, dev, 1280, 720, CAPTURE_FORMAT_BGRA, &p), ENC_ERR_INIT);
    EXPECT_EQ(g_lines,
              (std::vector<std::string>{"* encode_init[127] = -15101", "* encode_init[127] = -15007"}));
    log_set_sink(nullptr, nullptr);
    log_set_line_writer(nullptr);
    dev->Release();
}

// A mapped row pitch wider than the transform's stride (1366: stride 1408,
// pitch 1536) must not shear the picture.
TEST(Encoder, SyntheticFramesDecodeInOrderWhateverTheRowPitch) {
    ID3D11Device *dev = nullptr;
    ASSERT_EQ(D3D11CreateDevice(&dev), S_OK);
    dev->set_pitch_alignment(512);
    const uint32_t w = 1366, h = 768, frames = 6;
    RateParams p = default_rate_params();
    void *handle = nullptr;
    ASSERT_EQ(mfte_init(&handle, dev, w, h, 10, &p), 0);
    Decoder dec;
    for (uint32_t f = 0; f < frames; f++) {
        std::vector<uint32_t> bgra(w * h);
        for (uint32_t y = 0; y < h; y++)
            for (uint32_t x = 0; x < w; x++) bgra[y * w + x] = desktop_pixel(x, y, f * 8);
        Nv12Source src = {(const uint8_t *)bgra.data(), w * 4, w, h, false, false};
        std::vector<uint8_t> nv12(w * h * 3 / 2);
        nv12_luma(src, nv12.data(), w, w, h);
        nv12_chroma(src, nv12.data() + w * h, w, w / 2, h / 2);
        D3D11_TEXTURE2D_DESC d = {w, h, 1, 1, DXGI_FORMAT_NV12, {1, 0}, 0, D3D11_BIND_SHADER_RESOURCE, 0, 0};
        ID3D11Texture2D *tex = nullptr;
        ASSERT_EQ(dev->CreateTexture2D(&d, nv12.data(), &tex), S_OK);
        uint8_t *data = nullptr;
        uint32_t size = 0;
        ASSERT_EQ(mfte_encode(handle, tex, &data, &size), 0);
        ASSERT_GT(size, 0u);
        EXPECT_EQ(has_nal(data, size, 7) && has_nal(data, size, 8) && has_nal(data, size, 5), f == 0);
        EXPECT_EQ(has_nal(data, size, 1), f != 0);
        EXPECT_GE(dec.decode(data, size, nv12, w, h), 35.0) << "frame " << f;
        tex->Release();
    }
    mfte_destroy(&handle);
    dev->Release();
}

// A busy 4K screen (noise) at high bitrates: the key frame too stays within
// the rate buffer, far below what one guest's link takes at its tightest
// (1500 fragments), so the guest is never left without a frame.
TEST(Encoder, KeyFramesOfABusy4kScreenFitTheLink) {
    ID3D11Device *dev = nullptr;
    ASSERT_EQ(D3D11CreateDevice(&dev), S_OK);
    const uint32_t w = 3840, h = 2160;
    // Noise made once; each frame starts a few pixels further into it.
    std::vector<uint32_t> bgra(w * h + 64);
    uint64_t x = 88172645463325252ull;
    for (uint32_t &px : bgra) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        px = static_cast<uint32_t>(x);
    }
    std::vector<uint8_t> nv12(w * h * 3 / 2);
    for (int32_t mbit : {100, 200}) {
        RateParams p = default_rate_params();
        p.max_bitrate = p.bitrate = static_cast<float>(mbit);
        void *handle = nullptr;
        ASSERT_EQ(mfte_init(&handle, dev, w, h, 10, &p), 0);
        Decoder dec;
        for (uint32_t f = 0; f < 2; f++) {
            Nv12Source src = {(const uint8_t *)(bgra.data() + 29 * f), w * 4, w, h, false, false};
            nv12_luma(src, nv12.data(), w, w, h);
            nv12_chroma(src, nv12.data() + w * h, w, w / 2, h / 2);
            D3D11_TEXTURE2D_DESC d = {w, h, 1, 1, DXGI_FORMAT_NV12, {1, 0}, 0, D3D11_BIND_SHADER_RESOURCE,
                                      0, 0};
            ID3D11Texture2D *tex = nullptr;
            ASSERT_EQ(dev->CreateTexture2D(&d, nv12.data(), &tex), S_OK);
            uint8_t *data = nullptr;
            uint32_t size = 0;
            ASSERT_EQ(mfte_encode(handle, tex, &data, &size), 0) << mbit << " Mbit/s, frame " << f;
            // One frame's worth at the bitrate (x264's least buffer), with slack.
            EXPECT_LE(size, mbit * 1000000u / 60 / 8 * 3 / 2) << mbit << " Mbit/s, frame " << f;
            EXPECT_LE(size, 1500 * BUD_FRAGMENT_SIZE);
            EXPECT_EQ(has_nal(data, size, 5), f == 0);
            if (f == 0) {
                EXPECT_GT(dec.decode(data, size, nv12, w, h), 0.0);
            }
            tex->Release();
        }
        mfte_destroy(&handle);
    }
    dev->Release();
}

// Xvfb picture -> capture -> NV12 -> encoder -> libavcodec, scrolling.
TEST(Encoder, CapturedMonitorScrollsThroughTheWholePath) {
    ASSERT_FALSE(xvfb_display().empty());
    ASSERT_EQ(xvfb_run("xrandr --setmonitor m1 1280/300x720/300+0+0 screen"), 0);
    Display *dpy = XOpenDisplay(nullptr);
    ASSERT_NE(dpy, nullptr);
    DisplayOutput outs[DISPLAY_MAX_OUTPUTS];
    ASSERT_GE(display_adapter_get_all(outs), 1u);
    ASSERT_STREQ(outs[0].device_name, "m1");
    const uint32_t w = 1280, h = 720, frames = 5;
    void *cap = nullptr;
    ASSERT_EQ(cap_dxgi_start(&cap, 0, 0, &outs[0]), 0);
    RateParams p = default_rate_params();
    Encoder *enc = nullptr;
    ASSERT_EQ(encoder_open(&enc, encoder_table, ENC_ROWS, cap_dxgi_get_device(cap), w, h, 9, &p), 0);
    std::vector<uint8_t> cursor(CAPTURE_CURSOR_BUFFER);
    Decoder dec;
    char *pix = (char *)malloc(w * h * 4);
    XImage *img = XCreateImage(dpy, DefaultVisual(dpy, 0), 24, ZPixmap, 0, pix, w, h, 32, 0);
    for (uint32_t f = 0; f < frames; f++) {
        std::vector<uint32_t> bgra(w * h);
        for (uint32_t y = 0; y < h; y++)
            for (uint32_t x = 0; x < w; x++)
                XPutPixel(img, x, y, bgra[y * w + x] = desktop_pixel(x, y, f * 16));
        XPutImage(dpy, DefaultRootWindow(dpy), DefaultGC(dpy, 0), img, 0, 0, 0, 0, w, h);
        XSync(dpy, False);
        CaptureFrame fr = {};
        ASSERT_EQ(cap_dxgi_poll(cap, 1000, cursor.data(), &fr), 0);
        ASSERT_EQ(fr.new_frame, 1);
        ID3D11Texture2D *tex = nullptr;
        ASSERT_EQ(cap_dxgi_get_texture(cap, enc->input_format, &tex), 0);
        uint8_t *data = nullptr;
        uint32_t size = 0;
        ASSERT_EQ(enc->api.encode(enc->handle, tex, &data, &size), 0);
        enc->api.after_frame(enc->handle);
        Nv12Source src = {(const uint8_t *)bgra.data(), w * 4, w, h, false, false};
        std::vector<uint8_t> ref(w * h * 3 / 2);
        nv12_luma(src, ref.data(), w, w, h);
        nv12_chroma(src, ref.data() + w * h, w, w / 2, h / 2);
        EXPECT_GE(dec.decode(data, size, ref, w, h), 35.0) << "frame " << f;
    }
    XDestroyImage(img);
    encoder_close(&enc);
    cap_dxgi_stop(&cap);
    XCloseDisplay(dpy);
}

}  // namespace
