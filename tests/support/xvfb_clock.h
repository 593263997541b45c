// The clock of a further Xvfb, set by the test: the server runs with a
// preloaded library that moves its monotonic clock (and so its X time, the
// milliseconds since it started) ahead by what this object says, at any
// moment, so a test reaches X times a machine shows only after weeks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/temp_dir.h"

class XvfbClock {
   public:
    XvfbClock();
    ~XvfbClock();
    XvfbClock(const XvfbClock &) = delete;
    XvfbClock &operator=(const XvfbClock &) = delete;
    // The environment of a server that keeps this clock (xvfb_start_other).
    std::vector<std::string> env() const;
    // Moves the clock ahead so that the server's X time reads ms now (its
    // low 32 bits: X times wrap).
    void advance_to(uint32_t ms);

   private:
    TempDir dir_;
    int fd_ = -1;
    int64_t shift_ms_ = 0;
};
