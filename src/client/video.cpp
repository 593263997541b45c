#include "client/video.h"

#include <cstring>

#include "platform/log.h"
#include "platform/memory.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

struct ClientVideoDecoder {
    AVCodecContext *ctx;
    AVPacket *pkt;
    AVFrame *frame;
    uint8_t *planes;  // the last picture, planes one after another
    size_t capacity;
    uint64_t errors;
    bool waiting_key;  // after damage nothing is shown until a key frame
};

namespace {

struct PlaneLayout {
    uint32_t format;
    uint32_t chroma;
    uint8_t lsb_aligned;
    uint8_t full_range;
};

// How a decoded pixel format travels to the renderers; false when it cannot.
bool layout_of(int fmt, PlaneLayout *l) {
    const uint8_t full =
        fmt == AV_PIX_FMT_YUVJ420P || fmt == AV_PIX_FMT_YUVJ422P || fmt == AV_PIX_FMT_YUVJ444P;
    switch (fmt) {
        case AV_PIX_FMT_YUV420P:
        case AV_PIX_FMT_YUVJ420P:
            *l = {VKO_COLOR_FORMAT_I420, 2, 0, full};
            return true;
        case AV_PIX_FMT_YUV422P:
        case AV_PIX_FMT_YUVJ422P:
            *l = {VKO_COLOR_FORMAT_I420, 1, 0, full};
            return true;
        case AV_PIX_FMT_YUV444P:
        case AV_PIX_FMT_YUVJ444P:
            *l = {VKO_COLOR_FORMAT_I420, 0, 0, full};
            return true;
        case AV_PIX_FMT_NV12:
            *l = {VKO_COLOR_FORMAT_NV12, 2, 0, 0};
            return true;
        case AV_PIX_FMT_P010LE:
            *l = {VKO_COLOR_FORMAT_P010, 2, 0, 0};
            return true;
        case AV_PIX_FMT_YUV420P10LE:
            *l = {VKO_COLOR_FORMAT_I420_16, 2, 1, 0};
            return true;
        case AV_PIX_FMT_YUV422P10LE:
            *l = {VKO_COLOR_FORMAT_I420_16, 1, 1, 0};
            return true;
        case AV_PIX_FMT_YUV444P10LE:
            *l = {VKO_COLOR_FORMAT_I420_16, 0, 1, 0};
            return true;
        default:
            return false;
    }
}

// Copies the frame's planes into one block laid out as the description says.
bool take_picture(ClientVideoDecoder *dec, const AVFrame *f, VKO_RenderDesc *desc) {
    PlaneLayout l;
    if (!layout_of(f->format, &l) || f->width <= 0 || f->height <= 0 || f->linesize[0] <= 0) return false;
    const VKO_ColorFormatInfo &info = vko_color_formats[l.format];
    *desc = {};
    desc->format = l.format;
    desc->chroma = l.chroma;
    desc->full_range = l.full_range || f->color_range == AVCOL_RANGE_JPEG;
    desc->lsb_aligned = l.lsb_aligned;
    desc->stride = uint32_t(f->linesize[0]) / info.bytes_per_sample;
    desc->plane_height = (uint32_t(f->height) + 1) & ~1u;  // room for the last chroma row
    desc->image_width = uint32_t(f->width);
    desc->image_height = uint32_t(f->height);
    uint64_t total = 0;
    for (uint32_t p = 0; p < info.planes; ++p) {
        uint64_t off;
        uint32_t row, rows;
        vko_gfx_plane(desc, p, &off, &row, &rows);
        total = off + uint64_t(row) * rows;
    }
    if (total > dec->capacity) {
        dec->planes = static_cast<uint8_t *>(VKO_Realloc(dec->planes, total, 1));
        dec->capacity = total;
    }
    const uint32_t vdiv = l.chroma == 2 ? 2 : 1;
    for (uint32_t p = 0; p < info.planes; ++p) {
        uint64_t off;
        uint32_t row, rows;
        vko_gfx_plane(desc, p, &off, &row, &rows);
        if (f->linesize[p] <= 0 || !f->data[p]) return false;
        const uint32_t src_rows = p == 0 ? uint32_t(f->height) : (uint32_t(f->height) + vdiv - 1) / vdiv;
        const uint32_t n = src_rows < rows ? src_rows : rows;
        const uint32_t bytes = uint32_t(f->linesize[p]) < row ? uint32_t(f->linesize[p]) : row;
        for (uint32_t y = 0; y < n; ++y)
            memcpy(dec->planes + off + uint64_t(y) * row, f->data[p] + size_t(y) * f->linesize[p], bytes);
    }
    return true;
}

}  // namespace

ClientVideoDecoder *client_video_decoder_create(void) {
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec) {
        VKO_Log("client_video_decoder_create", "'avcodec_find_decoder' failed");
        return nullptr;
    }
    ClientVideoDecoder *dec = static_cast<ClientVideoDecoder *>(VKO_Alloc(1, sizeof(ClientVideoDecoder)));
    memset(dec, 0, sizeof(*dec));
    dec->ctx = avcodec_alloc_context3(codec);
    dec->pkt = av_packet_alloc();
    dec->frame = av_frame_alloc();
    if (dec->ctx) {
        // One picture out per access unit, and never a damaged one.
        dec->ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
        dec->ctx->flags &= ~AV_CODEC_FLAG_OUTPUT_CORRUPT;
        dec->ctx->thread_count = 1;
    }
    int r = dec->ctx && dec->pkt && dec->frame ? avcodec_open2(dec->ctx, codec, nullptr) : AVERROR(ENOMEM);
    if (r < 0) {
        VKO_Log("client_video_decoder_create", "'avcodec_open2' failed with error %d", r);
        client_video_decoder_destroy(&dec);
        return nullptr;
    }
    return dec;
}

void client_video_decoder_destroy(ClientVideoDecoder **dec) {
    if (!dec || !*dec) return;
    avcodec_free_context(&(*dec)->ctx);
    av_packet_free(&(*dec)->pkt);
    av_frame_free(&(*dec)->frame);
    VKO_Free((*dec)->planes);
    VKO_Free(*dec);
    *dec = nullptr;
}

int32_t client_video_decode(ClientVideoDecoder *dec, const uint8_t *data, size_t size, VKO_RenderDesc *desc,
                            const void **image) {
    if (!dec || !desc || !image) return -1;
    if (!data || size == 0 || size > INT32_MAX) return 0;
    dec->pkt->data = const_cast<uint8_t *>(data);
    dec->pkt->size = int(size);
    int r = avcodec_send_packet(dec->ctx, dec->pkt);
    av_packet_unref(dec->pkt);
    if (r < 0 && r != AVERROR(EAGAIN)) {
        dec->errors++;
        dec->waiting_key = true;
        return 0;
    }
    int32_t shown = 0;
    while ((r = avcodec_receive_frame(dec->ctx, dec->frame)) == 0) {
        const AVFrame *f = dec->frame;
        if (f->decode_error_flags || (f->flags & AV_FRAME_FLAG_CORRUPT)) {
            dec->errors++;
            dec->waiting_key = true;
        } else if (dec->waiting_key && !f->key_frame) {
            // A picture built on what was lost: keep showing the last good one.
        } else if (take_picture(dec, f, desc)) {
            dec->waiting_key = false;
            shown = 1;
        }
        av_frame_unref(dec->frame);
    }
    if (r != AVERROR(EAGAIN) && r != AVERROR_EOF) {
        dec->errors++;
        dec->waiting_key = true;
    }
    if (shown) *image = dec->planes;
    return shown;
}

uint64_t client_video_errors(const ClientVideoDecoder *dec) {
    return dec ? dec->errors : 0;
}
