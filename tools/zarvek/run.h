// One run of the main job: the displays, the host and the client, the stream
// and its report.
#pragma once

#include "options.h"

namespace zv {

// Exit statuses of its own, beside 0 (frames arrived), 1 (a failure), 2 (an
// option or setting refused) and 128 + a stop signal.
constexpr int kExitDisplayLost = 3;  // the X display was lost
constexpr int kExitPeerFailed = 4;   // the FFmpeg peer could not be measured

// Streams as the options say; the exit status (0 when frames arrived).
int run(const Options &o);

}  // namespace zv
