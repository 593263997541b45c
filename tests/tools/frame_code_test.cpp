// The frame counter of the main job's test pattern: painted into pictures of
// noise that starve a low-bitrate H.264 encode, decoded by the client's own
// decoder, it reads back as painted at full and at half size; strips that are
// blended, covered or flat read as no value; on a real X window it reads the
// same, and a window too small for the strip is no error.
#include "support/frame_code.h"

#include <gtest/gtest.h>
#include <x264.h>

#include <random>
#include <vector>

#include "client/video.h"
#include "support/xvfb.h"

// After the others: Xlib defines None and Bool.
#include <X11/Xlib.h>

namespace {

constexpr int kWidth = 640, kHeight = 360;

void paint_plane(std::vector<uint8_t> *y, const FrameCodeArea &a, uint32_t value) {
    for (uint32_t i = 0; i < kFrameCodeBlocks; i++)
        for (int r = 0; r < a.block; r++)
            std::fill_n(y->begin() + (a.y + r) * kWidth + a.x + a.block * int(i), a.block,
                        frame_code_white(value, i) ? 235 : 16);
}

// 2 x 2 averages: what a half-size window's linear filter shows.
std::vector<uint8_t> half(const uint8_t *plane, uint32_t stride) {
    std::vector<uint8_t> out(size_t(kWidth / 2) * (kHeight / 2));
    for (int j = 0; j < kHeight / 2; j++)
        for (int i = 0; i < kWidth / 2; i++) {
            const uint8_t *p = plane + size_t(2 * j) * stride + 2 * i;
            out[size_t(j) * (kWidth / 2) + i] = uint8_t((p[0] + p[1] + p[stride] + p[stride + 1] + 2) / 4);
        }
    return out;
}

TEST(FrameCode, SurvivesLowBitrateH264AtFullAndHalfSize) {
    const FrameCodeArea area = frame_code_area(kWidth, kHeight);
    ASSERT_EQ(area.block % 16, 0);
    ASSERT_LE(area.x + area.width(), kWidth);
    ASSERT_LE(area.y + area.block, kHeight);

    x264_param_t param;
    x264_param_default_preset(&param, "ultrafast", "zerolatency");
    param.i_width = kWidth;
    param.i_height = kHeight;
    param.i_fps_num = 60;
    param.i_fps_den = 1;
    param.i_threads = 1;
    param.rc.i_rc_method = X264_RC_ABR;
    param.rc.i_bitrate = 300;  // kbit/s: far too little for the noise
    param.rc.i_vbv_max_bitrate = 300;
    param.rc.i_vbv_buffer_size = 20;
    param.i_log_level = X264_LOG_NONE;
    x264_t *enc = x264_encoder_open(&param);
    ASSERT_NE(enc, nullptr);
    x264_picture_t pic, out;
    x264_picture_alloc(&pic, X264_CSP_I420, kWidth, kHeight);
    ClientVideoDecoder *dec = client_video_decoder_create();
    ASSERT_NE(dec, nullptr);

    std::mt19937 rng(7);
    std::vector<uint8_t> luma(size_t(kWidth) * kHeight);
    std::vector<uint32_t> full_reads, half_reads, painted;
    size_t bytes = 0;
    const int frames = 90;
    for (int f = 0; f < frames; f++) {
        const uint32_t value = (4060u + uint32_t(f) * 3) & kFrameCodeMask;  // wraps past 4095
        painted.push_back(value);
        for (uint8_t &v : luma) v = uint8_t(rng());
        paint_plane(&luma, area, value);
        for (int r = 0; r < kHeight; r++)
            std::copy_n(luma.begin() + r * kWidth, kWidth, pic.img.plane[0] + r * pic.img.i_stride[0]);
        for (int p = 1; p < 3; p++)
            for (int r = 0; r < kHeight / 2; r++)
                for (int c = 0; c < kWidth / 2; c++)
                    pic.img.plane[p][r * pic.img.i_stride[p] + c] = uint8_t(rng());
        pic.i_pts = f;
        x264_nal_t *nals = nullptr;
        int count = 0;
        const int size = x264_encoder_encode(enc, &nals, &count, &pic, &out);
        ASSERT_GT(size, 0) << "zero latency: one unit per picture";
        bytes += size_t(size);
        VKO_RenderDesc desc{};
        const void *image = nullptr;
        ASSERT_EQ(client_video_decode(dec, nals[0].p_payload, size_t(size), &desc, &image), 1) << f;
        ASSERT_EQ(desc.format, uint32_t(VKO_COLOR_FORMAT_I420));
        const uint8_t *y = static_cast<const uint8_t *>(image);
        uint32_t v = ~0u;
        full_reads.push_back(frame_code_read_plane(y, desc.stride, area, 1.0, &v) ? v : ~0u);
        const std::vector<uint8_t> small = half(y, desc.stride);
        half_reads.push_back(frame_code_read_plane(small.data(), kWidth / 2, area, 0.5, &v) ? v : ~0u);
    }
    // The encoder kept (roughly) to its budget, so the pictures were coarse.
    EXPECT_LT(bytes, size_t(300000 / 8 * frames / 60 * 3));
    // Starved of bits, a block may lag a frame behind its new colour: such a
    // strip reads as nothing, never as another value.
    int unread = 0;
    for (size_t i = 0; i < painted.size(); i++)
        for (uint32_t got : {full_reads[i], half_reads[i]}) {
            if (got == ~0u)
                unread++;
            else
                EXPECT_EQ(got, painted[i]) << "frame " << i;
        }
    EXPECT_LE(unread, frames / 15);
    client_video_decoder_destroy(&dec);
    x264_picture_clean(&pic);
    x264_encoder_close(enc);
}

TEST(FrameCode, TornBlendedCoveredOrFlatStripsReadAsNothing) {
    uint8_t luma[kFrameCodeBlocks];
    uint32_t v = 0;
    for (uint32_t value : {0u, 1u, 0x5A5u, kFrameCodeMask}) {
        for (uint32_t i = 0; i < kFrameCodeBlocks; i++) luma[i] = frame_code_white(value, i) ? 235 : 16;
        ASSERT_TRUE(frame_code_decode(luma, &v));
        EXPECT_EQ(v, value);
    }
    // Two pictures mixed: every bit where they differ is grey.
    for (uint32_t i = 0; i < kFrameCodeBlocks; i++)
        luma[i] = uint8_t((frame_code_white(0x123, i) ? 235 : 16) / 2 +
                          (frame_code_white(0x124, i) ? 235 : 16) / 2);
    EXPECT_FALSE(frame_code_decode(luma, &v));
    // A picture torn between two frames: left half of one, right half of the other.
    for (uint32_t i = 0; i < kFrameCodeBlocks; i++)
        luma[i] = frame_code_white(i < kFrameCodeBlocks / 2 ? 0x123u : 0x124u, i) ? 235 : 16;
    EXPECT_FALSE(frame_code_decode(luma, &v));
    // Covered by one colour, black, white or grey.
    for (uint8_t flat : {uint8_t(0), uint8_t(255), uint8_t(128)}) {
        std::fill_n(luma, kFrameCodeBlocks, flat);
        EXPECT_FALSE(frame_code_decode(luma, &v)) << int(flat);
    }
}

TEST(FrameCode, ReadsBackFromAnXWindow) {
    ASSERT_FALSE(xvfb_display().empty());
    Display *dpy = XOpenDisplay(nullptr);
    ASSERT_NE(dpy, nullptr);
    const FrameCodeArea area = frame_code_area(kWidth, kHeight);
    XSetWindowAttributes attrs{};
    attrs.override_redirect = True;
    attrs.background_pixel = 0x808080;
    auto window = [&](int w, int h) {
        Window win =
            XCreateWindow(dpy, DefaultRootWindow(dpy), 10, 10, unsigned(w), unsigned(h), 0, CopyFromParent,
                          InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attrs);
        XMapRaised(dpy, win);
        XSync(dpy, False);
        return win;
    };
    Window big = window(kWidth, kHeight);
    GC gc = XCreateGC(dpy, big, 0, nullptr);
    uint32_t v = 0;
    EXPECT_FALSE(frame_code_read_window(dpy, big, area, 1.0, &v)) << "grey background";
    for (uint32_t value : {42u, 4095u, 0u}) {
        frame_code_paint(dpy, big, gc, area, 0, 0, value);
        XSync(dpy, False);
        ASSERT_TRUE(frame_code_read_window(dpy, big, area, 1.0, &v));
        EXPECT_EQ(v, value);
    }
    // Smaller than the strip: no value, and no X error.
    Window small = window(kWidth / 4, kHeight / 4);
    EXPECT_FALSE(frame_code_read_window(dpy, small, area, 1.0, &v));
    XSync(dpy, False);
    XFreeGC(dpy, gc);
    XDestroyWindow(dpy, small);
    XDestroyWindow(dpy, big);
    XCloseDisplay(dpy);
}

}  // namespace
