#include "support/encoded_streams.h"

#include <x264.h>
#include <x265.h>

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixdesc.h>
}

namespace {

// A diagonal gradient with a sharp moving bar, so every frame differs.
int sample(int x, int y, int frame, int plane) {
    int v = (x * 3 + y * 2 + plane * 40) & 0xFF;
    if (((x + frame * 4) / 16) % 8 == 0) v = 235;
    return v;
}

}  // namespace

std::vector<EncodedUnit> encode_h264(int width, int height, int frames, int keyint, int slices) {
    x264_param_t param;
    x264_param_default_preset(&param, "ultrafast", "zerolatency");
    param.i_width = width;
    param.i_height = height;
    param.i_csp = X264_CSP_I420;
    param.i_fps_num = 60;
    param.i_fps_den = 1;
    param.i_keyint_max = keyint;
    param.i_keyint_min = keyint;
    param.b_repeat_headers = 1;
    param.b_annexb = 1;
    param.i_threads = 1;
    param.i_slice_count = slices;
    param.i_log_level = X264_LOG_NONE;
    x264_t *enc = x264_encoder_open(&param);
    x264_picture_t pic, out;
    x264_picture_alloc(&pic, X264_CSP_I420, width, height);
    std::vector<EncodedUnit> units;
    auto collect = [&](x264_nal_t *nals, int count) {
        EncodedUnit u;
        for (int i = 0; i < count; i++) {
            u.bytes.insert(u.bytes.end(), nals[i].p_payload, nals[i].p_payload + nals[i].i_payload);
            u.nal_sizes.push_back(static_cast<uint32_t>(nals[i].i_payload));
        }
        u.key = out.b_keyframe != 0;
        units.push_back(std::move(u));
    };
    for (int f = 0; f < frames; f++) {
        for (int p = 0; p < 3; p++) {
            int w = p ? width / 2 : width, h = p ? height / 2 : height;
            for (int y = 0; y < h; y++)
                for (int x = 0; x < w; x++)
                    pic.img.plane[p][y * pic.img.i_stride[p] + x] = static_cast<uint8_t>(sample(x, y, f, p));
        }
        pic.i_pts = f;
        x264_nal_t *nals = nullptr;
        int count = 0;
        if (x264_encoder_encode(enc, &nals, &count, &pic, &out) > 0) collect(nals, count);
    }
    while (x264_encoder_delayed_frames(enc) > 0) {
        x264_nal_t *nals = nullptr;
        int count = 0;
        if (x264_encoder_encode(enc, &nals, &count, nullptr, &out) > 0) collect(nals, count);
    }
    x264_picture_clean(&pic);
    x264_encoder_close(enc);
    return units;
}

std::vector<EncodedUnit> encode_h265(int width, int height, int frames, int keyint, int depth, bool csp444) {
    const x265_api *api = x265_api_get(depth);
    if (!api) return {};
    x265_param *param = api->param_alloc();
    api->param_default_preset(param, "ultrafast", "zerolatency");
    param->sourceWidth = width;
    param->sourceHeight = height;
    param->internalCsp = csp444 ? X265_CSP_I444 : X265_CSP_I420;
    param->fpsNum = 60;
    param->fpsDenom = 1;
    param->keyframeMax = keyint;
    param->keyframeMin = keyint;
    param->bOpenGOP = 0;  // every key frame an IDR
    param->bRepeatHeaders = 1;
    param->bAnnexB = 1;
    param->logLevel = X265_LOG_NONE;
    param->frameNumThreads = 1;
    api->param_parse(param, "pools", "none");
    api->param_parse(param, "wpp", "0");
    x265_encoder *enc = api->encoder_open(param);
    if (!enc) {
        api->param_free(param);
        return {};
    }
    x265_picture *pic = api->picture_alloc();
    api->picture_init(param, pic);
    int bytes = depth > 8 ? 2 : 1;
    int cw = csp444 ? width : width / 2, ch = csp444 ? height : height / 2;
    std::vector<uint8_t> planes[3];
    for (int p = 0; p < 3; p++) {
        int w = p ? cw : width, h = p ? ch : height;
        planes[p].resize(static_cast<size_t>(w) * h * bytes);
        pic->planes[p] = planes[p].data();
        pic->stride[p] = w * bytes;
    }
    pic->bitDepth = depth;
    std::vector<EncodedUnit> units;
    x265_picture out;
    api->picture_init(param, &out);
    auto collect = [&](x265_nal *nals, uint32_t count) {
        EncodedUnit u;
        for (uint32_t i = 0; i < count; i++) {
            u.bytes.insert(u.bytes.end(), nals[i].payload, nals[i].payload + nals[i].sizeBytes);
            u.nal_sizes.push_back(nals[i].sizeBytes);
        }
        u.key = IS_X265_TYPE_I(out.sliceType);
        units.push_back(std::move(u));
    };
    for (int f = 0; f < frames; f++) {
        for (int p = 0; p < 3; p++) {
            int w = p ? cw : width, h = p ? ch : height;
            for (int y = 0; y < h; y++)
                for (int x = 0; x < w; x++) {
                    int v = sample(x, y, f, p);
                    size_t i = static_cast<size_t>(y) * w + x;
                    if (bytes == 2) {
                        uint16_t s = static_cast<uint16_t>(v << (depth - 8));
                        std::memcpy(&planes[p][i * 2], &s, 2);
                    } else {
                        planes[p][i] = static_cast<uint8_t>(v);
                    }
                }
        }
        pic->pts = f;
        x265_nal *nals = nullptr;
        uint32_t count = 0;
        if (api->encoder_encode(enc, &nals, &count, pic, &out) > 0) collect(nals, count);
    }
    for (;;) {
        x265_nal *nals = nullptr;
        uint32_t count = 0;
        if (api->encoder_encode(enc, &nals, &count, nullptr, &out) <= 0) break;
        collect(nals, count);
    }
    api->picture_free(pic);
    api->encoder_close(enc);
    api->param_free(param);
    return units;
}

AvView decode_buffers(const std::vector<std::vector<uint8_t>> &units, bool hevc) {
    AvView view;
    const AVCodec *codec = avcodec_find_decoder(hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    ctx->thread_count = 1;
    if (avcodec_open2(ctx, codec, nullptr) != 0) {
        avcodec_free_context(&ctx);
        return view;
    }
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    auto drain = [&] {
        while (avcodec_receive_frame(ctx, frame) == 0) {
            const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
            view.chroma_444 = d->log2_chroma_w == 0 && d->log2_chroma_h == 0;
            view.depth = d->comp[0].depth;
            view.frames++;
        }
    };
    for (const auto &u : units) {
        av_new_packet(pkt, static_cast<int>(u.size()));
        std::memcpy(pkt->data, u.data(), u.size());
        avcodec_send_packet(ctx, pkt);
        av_packet_unref(pkt);
        drain();
    }
    avcodec_send_packet(ctx, nullptr);
    drain();
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return view;
}

AvView decode_units(const std::vector<EncodedUnit> &units, bool hevc) {
    std::vector<std::vector<uint8_t>> buffers;
    for (const auto &u : units) buffers.push_back(u.bytes);
    return decode_buffers(buffers, hevc);
}

// libx265 keeps a few copied option strings past x265_param_free; they are
// the library's, not ours.
extern "C" const char *__lsan_default_suppressions() {
    return "leak:libx265.so\n";
}
