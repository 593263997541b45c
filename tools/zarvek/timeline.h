// What the host's capture and encoder rows did, per stream and per frame.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "host/capture.h"
#include "host/encoder.h"
#include "options.h"

namespace zv {

// How long the host's stages took per frame, in ms.
struct Stages {
    std::mutex lock;
    std::vector<double> capture, convert, encode;
};
extern Stages g_stages;

// What the host's capture wrappers record, read by the client's sink.
struct Timeline {
    std::mutex lock;
    DisplayOutput outputs[kMaxDisplays] = {};
    uint32_t streams = 1;
    std::map<void *, uint32_t> stream_of;                      // capture back-end -> stream
    int64_t last_poll[kMaxDisplays] = {};                      // time of the last new frame polled
    std::vector<std::vector<int64_t>> captured[kMaxDisplays];  // per capture start: time per frame
    uint64_t fetched[kMaxDisplays] = {};                       // frames handed to the encoder
};
extern Timeline g_timeline;

// The capture table with its calls recorded in the timeline, and the encoder
// rows with each encode timed; both for the host's hooks.
CaptureApi timed_capture();
EncoderApi *timed_encoders();

}  // namespace zv
