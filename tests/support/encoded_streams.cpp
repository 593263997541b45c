#include "support/encoded_streams.h"

#include <x264.h>
#include <x265.h>

#include <cstring>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixdesc.h>
}

namespace {

// A diagonal gradient with a sharp bar moving by frame; 8-bit or 16-bit samples.
void fill(uint8_t *plane, int stride, int w, int h, int frame, int p, int depth) {
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            int v = ((x + frame * 4) / 16) % 8 == 0 ? 235 : (x * 3 + y * 2 + p * 40) & 0xFF;
            if (depth > 8) {
                uint16_t s = static_cast<uint16_t>(v << (depth - 8));
                std::memcpy(plane + y * stride + x * 2, &s, 2);
            } else {
                plane[y * stride + x] = static_cast<uint8_t>(v);
            }
        }
}

template <typename Nal, typename Size, typename Bytes>
EncodedUnit unit(const Nal *nals, uint32_t count, Size size, Bytes bytes, bool key) {
    EncodedUnit u;
    for (uint32_t i = 0; i < count; i++) {
        u.bytes.insert(u.bytes.end(), bytes(nals[i]), bytes(nals[i]) + size(nals[i]));
        u.nal_sizes.push_back(static_cast<uint32_t>(size(nals[i])));
    }
    u.key = key;
    return u;
}

}  // namespace

std::vector<EncodedUnit> encode_h264(int width, int height, int frames, int keyint, int slices) {
    x264_param_t param;
    x264_param_default_preset(&param, "ultrafast", "zerolatency");
    param.i_width = width;
    param.i_height = height;
    param.i_keyint_max = param.i_keyint_min = keyint;
    param.i_fps_num = 60;
    param.i_threads = 1;
    param.i_slice_count = slices;
    param.i_log_level = X264_LOG_NONE;
    x264_t *enc = x264_encoder_open(&param);
    x264_picture_t pic, out;
    x264_picture_alloc(&pic, X264_CSP_I420, width, height);
    std::vector<EncodedUnit> units;
    for (int f = 0; f < frames; f++) {
        for (int p = 0; p < 3; p++)
            fill(pic.img.plane[p], pic.img.i_stride[p], p ? width / 2 : width, p ? height / 2 : height, f, p,
                 8);
        pic.i_pts = f;
        x264_nal_t *nals = nullptr;
        int count = 0;
        if (x264_encoder_encode(enc, &nals, &count, &pic, &out) > 0)
            units.push_back(unit(
                nals, static_cast<uint32_t>(count), [](const x264_nal_t &n) { return n.i_payload; },
                [](const x264_nal_t &n) { return n.p_payload; }, out.b_keyframe != 0));
    }
    x264_picture_clean(&pic);
    x264_encoder_close(enc);
    return units;
}

std::vector<EncodedUnit> encode_h265(int width, int height, int frames, int keyint, int depth, bool csp444) {
    const x265_api *api = x265_api_get(depth);
    x265_param *param = api->param_alloc();
    api->param_default_preset(param, "ultrafast", "zerolatency");
    const std::string k = std::to_string(keyint);
    const std::string res = std::to_string(width) + "x" + std::to_string(height);
    const char *opts[][2] = {{"input-res", res.c_str()},
                             {"input-csp", csp444 ? "i444" : "i420"},
                             {"fps", "60"},
                             {"keyint", k.c_str()},
                             {"min-keyint", k.c_str()},
                             {"open-gop", "0"},  // every key frame an IDR
                             {"repeat-headers", "1"},
                             {"log-level", "none"},
                             {"frame-threads", "1"},
                             {"pools", "none"},
                             {"wpp", "0"}};
    for (auto &o : opts) api->param_parse(param, o[0], o[1]);
    x265_encoder *enc = api->encoder_open(param);
    x265_picture *pic = api->picture_alloc();
    api->picture_init(param, pic);
    int bytes = depth > 8 ? 2 : 1;
    std::vector<uint8_t> planes[3];
    for (int p = 0; p < 3; p++) {
        int w = p && !csp444 ? width / 2 : width, h = p && !csp444 ? height / 2 : height;
        planes[p].resize(static_cast<size_t>(w) * h * bytes);
        pic->planes[p] = planes[p].data();
        pic->stride[p] = w * bytes;
    }
    pic->bitDepth = depth;
    std::vector<EncodedUnit> units;
    x265_picture out;
    for (int f = 0;; f++) {
        for (int p = 0; p < 3 && f < frames; p++)
            fill(planes[p].data(), pic->stride[p], pic->stride[p] / bytes,
                 static_cast<int>(planes[p].size()) / pic->stride[p], f, p, depth);
        pic->pts = f;
        x265_nal *nals = nullptr;
        uint32_t count = 0;
        int r = api->encoder_encode(enc, &nals, &count, f < frames ? pic : nullptr, &out);
        if (r > 0)
            units.push_back(unit(
                nals, count, [](const x265_nal &n) { return n.sizeBytes; },
                [](const x265_nal &n) { return n.payload; }, IS_X265_TYPE_I(out.sliceType)));
        if (f >= frames && r <= 0) break;
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
    avcodec_open2(ctx, codec, nullptr);
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    for (size_t i = 0; i <= units.size(); i++) {
        if (i < units.size()) {
            av_new_packet(pkt, static_cast<int>(units[i].size()));
            std::memcpy(pkt->data, units[i].data(), units[i].size());
        }
        avcodec_send_packet(ctx, i < units.size() ? pkt : nullptr);  // then drain
        av_packet_unref(pkt);
        while (avcodec_receive_frame(ctx, frame) == 0) {
            const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
            view.chroma_444 = d->log2_chroma_w == 0 && d->log2_chroma_h == 0;
            view.depth = d->comp[0].depth;
            view.frames++;
        }
    }
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

// libx265 keeps a few copied option strings past x265_param_free, and Mesa's
// GL and Vulkan drivers (kept loaded by the present-hook and submission tests
// so their frames have a name) and LLVM keep per-process state: they are the
// libraries', not ours.
extern "C" const char *__lsan_default_suppressions() {
    return "leak:libx265.so\nleak:_dri.so\nleak:libvulkan_lvp\nleak:libLLVM\n";
}
