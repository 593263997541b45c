// The client's media sink: writes each display's video as fragmented MP4
// and pairs each frame with its capture on the host, by the key the host's
// wrappers keep (stream, encoder generation, frame index): the generation from
// the frame's prefix, the index from the H.264 slice header's frame_num,
// counting from the key frame. It also hands each frame to its window.
//
// Threads: the client's video receiver runs on_media, the only writer of the
// files and of `g_rx` but for its atomics and the latencies under its lock,
// which the main thread reads and takes. The main thread opens the files
// before the stream, and closes them and reads `write_error` after the sink
// is removed.
#include "sink.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "client/render.h"
#include "connection/mp4.h"
#include "h264.h"
#include "host/h26x.h"
#include "platform/log.h"
#include "timeline.h"
#include "viewer.h"

namespace zv {

Received g_rx[kMaxDisplays];

namespace {

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

}  // namespace

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
        if (off < 0) {
            r->errors++;  // nothing decodes before the first key frame
            return;
        }
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
    // The file is unbuffered: a failed write is this frame's. After one, the
    // file ends in a cut fragment, so nothing more goes in.
    errno = 0;
    if (r->write_error ||
        std::fwrite(r->buffer, 1, static_cast<size_t>(n), r->file) != static_cast<size_t>(n)) {
        if (!r->write_error) r->write_error = errno ? errno : EIO;
        r->errors++;
    }
}

}  // namespace zv
