// One run of the main job: the displays, the host and the client, the stream
// and its report.
#pragma once

#include "options.h"

namespace zv {

// Streams as the options say; the exit status (0 when frames arrived).
int run(const Options &o);

}  // namespace zv
