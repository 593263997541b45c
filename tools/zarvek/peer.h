// The FFmpeg peer run: the same pattern through FFmpeg's programs.
#pragma once

#include <cstdint>
#include <string>

#include "options.h"

namespace zv {

// Streams display 0 through ffmpeg to ffplay for o.duration seconds (or until
// a stop) and prints the player window's glass-to-glass latency; false, with
// a line saying why, when there is none (a player could not start, showed no
// window or ended early).
bool run_peer(const Options &o, const std::string &out, uint32_t bitrate_mbit);

}  // namespace zv
