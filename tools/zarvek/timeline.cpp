// The host's side of frame matching and stage timing. The capture table is
// wrapped so each delivered frame's capture time is kept under (stream,
// encoder generation, frame index): the encode thread fetches one texture per
// frame in order, and each capture start that delivers a frame brings a new
// encoder. The encoder rows are wrapped to time each encode.
//
// Threads: the host's encode threads run the wrappers; the client's video
// receiver (the sink) reads `g_timeline` and the main thread its counts, all
// under `g_timeline.lock`. `g_stages` is appended to by the encode threads
// and read by the main thread, under its lock. `g_timeline.outputs` and
// `streams` are set by the main thread before the host starts and only read
// after.
#include "timeline.h"

#include <utility>

#include "platform/log.h"

namespace zv {

Stages g_stages;
Timeline g_timeline;

namespace {

void stage(std::vector<double> Stages::*which, int64_t begin, int64_t end) {
    std::lock_guard<std::mutex> l(g_stages.lock);
    (g_stages.*which).push_back(VKO_TimeDiff(begin, end));
}

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

}  // namespace

CaptureApi timed_capture() {
    CaptureApi capture = capture_dxgi_api;
    capture.start = wrap_start;
    capture.stop = wrap_stop;
    capture.poll = wrap_poll;
    capture.get_texture = wrap_texture;
    return capture;
}

EncoderApi *timed_encoders() {
    time_encoders(std::make_index_sequence<ENC_ROWS>{});
    return g_encoders;
}

}  // namespace zv
