// The client's decoder against a plain libavcodec decode of the same x264
// stream: pictures laid out as the renderers read them, damaged units counted
// and hidden until the next key frame.
#include "client/video.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "support/encoded_streams.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

// Reference pictures: each plane's visible samples, row after row.
std::vector<std::vector<uint8_t>> reference_decode(const std::vector<EncodedUnit> &units) {
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    avcodec_open2(ctx, codec, nullptr);
    AVPacket *pkt = av_packet_alloc();
    AVFrame *f = av_frame_alloc();
    std::vector<std::vector<uint8_t>> out;
    for (const auto &u : units) {
        pkt->data = const_cast<uint8_t *>(u.bytes.data());
        pkt->size = int(u.bytes.size());
        avcodec_send_packet(ctx, pkt);
        while (avcodec_receive_frame(ctx, f) == 0) {
            std::vector<uint8_t> pic;
            for (int p = 0; p < 3; ++p) {
                const int w = p ? f->width / 2 : f->width, h = p ? f->height / 2 : f->height;
                for (int y = 0; y < h; ++y)
                    pic.insert(pic.end(), f->data[p] + y * f->linesize[p],
                               f->data[p] + y * f->linesize[p] + w);
            }
            out.push_back(std::move(pic));
        }
    }
    av_frame_free(&f);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return out;
}

std::vector<uint8_t> visible(const VKO_RenderDesc &d, const void *image) {
    std::vector<uint8_t> pic;
    for (uint32_t p = 0; p < 3; ++p) {
        uint64_t off;
        uint32_t row, rows;
        EXPECT_TRUE(vko_gfx_plane(&d, p, &off, &row, &rows));
        const uint32_t w = p ? d.image_width / 2 : d.image_width, h = p ? d.image_height / 2 : d.image_height;
        const uint8_t *base = static_cast<const uint8_t *>(image) + off;
        for (uint32_t y = 0; y < h; ++y) pic.insert(pic.end(), base + y * row, base + y * row + w);
    }
    return pic;
}

TEST(ClientVideo, PicturesMatchAPlainDecodeInTheRenderersLayout) {
    const auto units = encode_h264(200, 120, 12, 6);
    const auto ref = reference_decode(units);
    ASSERT_EQ(ref.size(), units.size());
    ClientVideoDecoder *dec = client_video_decoder_create();
    ASSERT_NE(dec, nullptr);
    for (size_t i = 0; i < units.size(); ++i) {
        VKO_RenderDesc d{};
        const void *image = nullptr;
        ASSERT_EQ(client_video_decode(dec, units[i].bytes.data(), units[i].bytes.size(), &d, &image), 1) << i;
        EXPECT_EQ(d.format, uint32_t(VKO_COLOR_FORMAT_I420));
        EXPECT_EQ(d.chroma, 2u);
        EXPECT_EQ(d.image_width, 200u);
        EXPECT_EQ(d.image_height, 120u);
        EXPECT_GE(d.stride, 200u);
        EXPECT_EQ(d.plane_height, 120u);
        EXPECT_EQ(d.full_range, 0);
        EXPECT_EQ(d.layer, 0);
        EXPECT_EQ(visible(d, image), ref[i]) << "picture " << i;
    }
    EXPECT_EQ(client_video_errors(dec), 0u);
    client_video_decoder_destroy(&dec);
    EXPECT_EQ(dec, nullptr);
}

TEST(ClientVideo, DamageIsCountedAndHiddenUntilTheNextKeyFrame) {
    const auto units = encode_h264(160, 96, 14, 7);
    ASSERT_TRUE(units[0].key);
    ASSERT_TRUE(units[7].key);
    ClientVideoDecoder *dec = client_video_decoder_create();
    ASSERT_NE(dec, nullptr);
    VKO_RenderDesc d{};
    const void *image = nullptr;
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(client_video_decode(dec, units[i].bytes.data(), units[i].bytes.size(), &d, &image), 1);

    // Unit 2 arrives cut short; 3 to 6 build on it and are not shown either.
    const void *held = image;
    EXPECT_EQ(client_video_decode(dec, units[2].bytes.data(), units[2].bytes.size() / 2, &d, &image), 0);
    EXPECT_EQ(image, held);
    EXPECT_GT(client_video_errors(dec), 0u);
    for (int i = 3; i < 7; ++i) {
        EXPECT_EQ(client_video_decode(dec, units[i].bytes.data(), units[i].bytes.size(), &d, &image), 0) << i;
        EXPECT_EQ(image, held);
    }
    // Noise and nothing at all change nothing and never crash.
    std::mt19937 rng(7);
    for (int n = 0; n < 50; ++n) {
        std::vector<uint8_t> junk(1 + rng() % 3000);
        for (auto &b : junk) b = uint8_t(rng());
        if (n % 2 == 0) junk[0] = 0, junk[1] = 0, junk[2] = 1;  // a start code, then noise
        EXPECT_EQ(client_video_decode(dec, junk.data(), junk.size(), &d, &image), 0);
    }
    EXPECT_EQ(client_video_decode(dec, nullptr, 0, &d, &image), 0);
    // A truncated key frame shows nothing either.
    EXPECT_EQ(client_video_decode(dec, units[7].bytes.data(), units[7].bytes.size() / 3, &d, &image), 0);
    EXPECT_GT(client_video_errors(dec), 0u);
    // The next whole key frame brings pictures back.
    ASSERT_EQ(client_video_decode(dec, units[7].bytes.data(), units[7].bytes.size(), &d, &image), 1);
    ASSERT_EQ(client_video_decode(dec, units[8].bytes.data(), units[8].bytes.size(), &d, &image), 1);
    EXPECT_EQ(d.image_width, 160u);
    client_video_decoder_destroy(&dec);
}

}  // namespace
