// The client's media sink: each display's MP4 file and its frames' pairing
// with their capture on the host.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <vector>

#include "options.h"

namespace zv {

constexpr uint32_t kVideoPrefix = 10;  // generation, width, height, flags

struct Received {
    uint32_t index = 0;  // display
    FILE *file = nullptr;
    uint8_t *buffer = nullptr;  // MP4_VIDEO_BUFFER bytes
    uint32_t ticks_per_frame = 3000;
    bool init_written = false;
    uint32_t sequence = 1;
    int64_t first_at = 0;
    uint64_t decode_time = 0;
    // Pairing with the host's frames.
    uint32_t frame_num_bits = 0;
    uint32_t generation = 0;
    uint32_t last_raw = 0;
    uint64_t last_frame = 0;
    std::atomic<uint64_t> frames{0}, bytes{0}, missing{0}, unordered{0}, unpaired{0};
    std::atomic<uint32_t> errors{0};  // frames received and not written to the file
    int write_error = 0;              // errno of the file's first failed write; none goes in after it
    std::mutex lock;                  // the latencies (sink writes, main thread takes)
    std::vector<double> latency, period;
};

extern Received g_rx[kMaxDisplays];

// The client's media sink (client_set_media_sink).
void on_media(uint8_t stream, const uint8_t *data, uint32_t size, void *);

}  // namespace zv
