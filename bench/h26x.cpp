// Annex B start-code search over a large 1080p IDR access unit from libx264,
// beside a plain byte-by-byte scan and FFmpeg's h264 parser (av_parser_parse2,
// context reused) on the same buffer; and fragmented-MP4 wrapping per frame
// beside libavformat's mp4 muxer writing one fragment per frame to memory.
#include <benchmark/benchmark.h>

#include <x264.h>

#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include "peer.h"
#include "connection/mp4.h"
#include "host/h26x.h"

namespace {

constexpr int W = 1920, H = 1080;

struct Stream {
    std::vector<std::vector<uint8_t>> frames;  // access units, the first an IDR with SPS and PPS
};

Stream encode(int qp, uint32_t noise_mask) {
    Stream out;
    x264_param_t p;
    x264_param_default_preset(&p, "ultrafast", "zerolatency");
    p.i_width = W;
    p.i_height = H;
    p.i_csp = X264_CSP_I420;
    p.i_fps_num = 60;
    p.i_fps_den = 1;
    p.i_keyint_max = 60;
    p.b_repeat_headers = 1;
    p.b_annexb = 1;
    p.i_slice_count = 4;
    p.rc.i_rc_method = X264_RC_CQP;
    p.rc.i_qp_constant = qp;
    p.i_log_level = X264_LOG_NONE;
    x264_t *enc = x264_encoder_open(&p);
    x264_picture_t pic, pout;
    x264_picture_alloc(&pic, X264_CSP_I420, W, H);
    uint32_t seed = 7;
    for (int f = 0; f < 8; f++) {
        for (int pl = 0; pl < 3; pl++) {
            int w = pl ? W / 2 : W, h = pl ? H / 2 : H;
            for (int y = 0; y < h; y++)
                for (int x = 0; x < w; x++) {
                    seed = seed * 1103515245 + 12345;
                    int v = ((x + f * 6) ^ y) + static_cast<int>((seed >> 16) & noise_mask);
                    pic.img.plane[pl][y * pic.img.i_stride[pl] + x] = static_cast<uint8_t>(v);
                }
        }
        pic.i_pts = f;
        x264_nal_t *nals;
        int n;
        int size = x264_encoder_encode(enc, &nals, &n, &pic, &pout);
        if (size > 0) out.frames.emplace_back(nals[0].p_payload, nals[0].p_payload + size);
    }
    x264_picture_clean(&pic);
    x264_encoder_close(enc);
    return out;
}

// Detailed, noisy content at a low QP: the IDR is several megabytes, as a
// high-quality desktop key frame can be. The second stream is ordinary desktop
// content at a streaming QP (an IDR of some hundred kilobytes, small P frames).
const Stream &stream(int kind = 0) {
    static Stream large = encode(8, 31), typical = encode(30, 1);
    return kind ? typical : large;
}

// Start codes of the buffer, the way a plain loop finds them.
size_t byte_scan(const uint8_t *d, size_t size) {
    size_t count = 0;
    for (size_t i = 0; i + 3 < size; i++) {
        if (d[i] == 0 && d[i + 1] == 0 &&
            (d[i + 2] == 1 || (i + 4 < size && d[i + 2] == 0 && d[i + 3] == 1))) {
            count++;
            i += d[i + 2] == 1 ? 2 : 3;
        }
    }
    return count;
}

size_t ours_scan(const uint8_t *d, size_t size) {
    size_t count = 0, pos = 0;
    uint8_t len = 0;
    while ((pos = h26x_next_start_code(d, size, pos, &len)) < size) {
        count++;
        pos += len;
    }
    return count;
}

void BM_NalSearchOurs(benchmark::State &state) {
    const auto &au = stream().frames[0];
    size_t want = byte_scan(au.data(), au.size()), got = 0;
    for (auto _ : state) {
        got = ours_scan(au.data(), au.size());
        benchmark::DoNotOptimize(got);
    }
    if (got != want) state.SkipWithError("start codes differ from the byte scan");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * au.size()));
    state.counters["au_bytes"] = static_cast<double>(au.size());
    state.counters["nal_units"] = static_cast<double>(got);
}

void BM_NalSearchByteScan(benchmark::State &state) {
    const auto &au = stream().frames[0];
    size_t got = 0;
    for (auto _ : state) {
        got = byte_scan(au.data(), au.size());
        benchmark::DoNotOptimize(got);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * au.size()));
    state.counters["nal_units"] = static_cast<double>(got);
}

// FFmpeg's own start-code search splits the buffer into access units; fed the
// whole unit and then flushed, it must hand back every byte.
void BM_NalSearchFFmpeg(benchmark::State &state) {
    const auto &au = stream().frames[0];
    AVCodecParserContext *parser = av_parser_init(AV_CODEC_ID_H264);
    AVCodecContext *ctx = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264));
    size_t out_bytes = 0;
    for (auto _ : state) {
        out_bytes = 0;
        const uint8_t *in = au.data();
        int left = static_cast<int>(au.size());
        while (left > 0) {
            uint8_t *pkt = nullptr;
            int pkt_size = 0;
            int used =
                av_parser_parse2(parser, ctx, &pkt, &pkt_size, in, left, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
            in += used;
            left -= used;
            out_bytes += static_cast<size_t>(pkt_size);
        }
        uint8_t *pkt = nullptr;
        int pkt_size = 0;
        av_parser_parse2(parser, ctx, &pkt, &pkt_size, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        out_bytes += static_cast<size_t>(pkt_size);
        benchmark::DoNotOptimize(pkt);
    }
    if (out_bytes != au.size()) state.SkipWithError("the parser did not hand back the whole unit");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * au.size()));
    av_parser_close(parser);
    avcodec_free_context(&ctx);
}

// One fragment per frame, the IDR re-emitting the init segment.
void BM_Mp4FragmentOurs(benchmark::State &state) {
    const auto &frames = stream(static_cast<int>(state.range(0))).frames;
    Mp4VideoState *mp4 = nullptr;
    int64_t now = 1;
    size_t i = 0, bytes = 0, moved = 0, in = 0;
    for (auto _ : state) {
        const auto &f = frames[i++ % frames.size()];
        int32_t n = mp4_write_video_at(&mp4, f.data(), f.size(), W, H, now += 16666667);
        if (n <= 0) state.SkipWithError("write failed");
        bytes += static_cast<size_t>(n);
        in += f.size();
        benchmark::DoNotOptimize(mp4->buffer);
    }
    moved = bytes;
    mp4_video_destroy(&mp4);
    state.SetBytesProcessed(static_cast<int64_t>(in));
    state.counters["out_per_in"] = in ? static_cast<double>(moved) / static_cast<double>(in) : 0;
    state.counters["frame_bytes"] = static_cast<double>(in) / static_cast<double>(state.iterations());
}

int discard(void *opaque, uint8_t *, int size) {
    *static_cast<size_t *>(opaque) += static_cast<size_t>(size);
    return size;
}

void BM_Mp4FragmentLavf(benchmark::State &state) {
    const auto &frames = stream(static_cast<int>(state.range(0))).frames;
    size_t written = 0;
    AVFormatContext *fmt = nullptr;
    avformat_alloc_output_context2(&fmt, nullptr, "mp4", nullptr);
    auto *iobuf = static_cast<uint8_t *>(av_malloc(1 << 16));
    fmt->pb = avio_alloc_context(iobuf, 1 << 16, 1, &written, nullptr, discard, nullptr);
    AVStream *st = avformat_new_stream(fmt, nullptr);
    st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    st->codecpar->codec_id = AV_CODEC_ID_H264;
    st->codecpar->width = W;
    st->codecpar->height = H;
    st->time_base = AVRational{1, 90000};
    AVDictionary *opts = nullptr;
    av_dict_set(&opts, "movflags", "frag_every_frame+empty_moov+default_base_moof", 0);
    if (avformat_write_header(fmt, &opts) < 0) state.SkipWithError("header failed");
    av_dict_free(&opts);
    AVPacket *pkt = av_packet_alloc();
    size_t i = 0, in = 0;
    for (auto _ : state) {
        const auto &f = frames[i % frames.size()];
        av_packet_unref(pkt);
        pkt->data = const_cast<uint8_t *>(f.data());
        pkt->size = static_cast<int>(f.size());
        pkt->pts = pkt->dts = static_cast<int64_t>(i) * 1500;
        pkt->duration = 1500;
        pkt->flags = i % frames.size() == 0 ? AV_PKT_FLAG_KEY : 0;
        pkt->stream_index = 0;
        if (av_write_frame(fmt, pkt) < 0) state.SkipWithError("write failed");
        in += f.size();
        i++;
    }
    av_write_trailer(fmt);
    av_packet_free(&pkt);
    av_freep(&fmt->pb->buffer);
    avio_context_free(&fmt->pb);
    avformat_free_context(fmt);
    state.SetBytesProcessed(static_cast<int64_t>(in));
}

BENCHMARK(BM_NalSearchOurs);
BENCHMARK(BM_NalSearchByteScan);
BENCHMARK(BM_NalSearchFFmpeg);
BENCHMARK(BM_Mp4FragmentOurs)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Mp4FragmentLavf)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
    return bench::run_pairs(
        argc, argv,
        {{"NAL search, 1080p IDR", "BM_NalSearchOurs", "BM_NalSearchFFmpeg", "ours / av_parser_parse2"},
         {"NAL search, 1080p IDR", "BM_NalSearchOurs", "BM_NalSearchByteScan", "ours / byte-by-byte scan"},
         {"fMP4 per frame, 2.7 MB frames", "BM_Mp4FragmentOurs/0", "BM_Mp4FragmentLavf/0",
          "ours / libavformat mp4"},
         {"fMP4 per frame, desktop", "BM_Mp4FragmentOurs/1", "BM_Mp4FragmentLavf/1",
          "ours / libavformat mp4"}});
}
