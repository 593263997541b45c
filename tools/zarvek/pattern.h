// The moving test pattern painted on the streamed displays, with its frame
// counter.
#pragma once

#include <atomic>
#include <cstdint>

#include "support/frame_code.h"

namespace zv {

// Each counter value's paint time (VKO_GetTime; 0: never painted), the value
// of the last frame painted (-1: none yet), and where the strip sits on each
// display.
struct Glass {
    std::atomic<int64_t> painted[kFrameCodeMask + 1] = {};
    std::atomic<int32_t> last{-1};
    FrameCodeArea area{};
};
extern Glass g_glass;

// Paints the first `displays` displays of the timeline at `fps` until `run`
// turns false (the painter thread's body).
void paint(const std::atomic<bool> &run, uint32_t displays, uint32_t fps);

}  // namespace zv
