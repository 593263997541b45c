#include "support/xvfb_clock.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

XvfbClock::XvfbClock() {
    // The file holds its 8 bytes before a server maps it.
    fd_ = open(dir_.file("shift").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0 && pwrite(fd_, &shift_ms_, sizeof shift_ms_, 0) != (ssize_t)sizeof shift_ms_)
        close(fd_), fd_ = -1;
}

XvfbClock::~XvfbClock() {
    if (fd_ >= 0) close(fd_);
}

std::vector<std::string> XvfbClock::env() const {
    return {"LD_PRELOAD=" ZARVEK_CLOCK_SHIFT_LIB, "ZARVEK_CLOCK_SHIFT=" + dir_.file("shift")};
}

void XvfbClock::advance_to(uint32_t ms) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    int64_t now = (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
    shift_ms_ += (uint32_t)(ms - (uint32_t)(now + shift_ms_));
    // A server whose clock could not be moved reads the wrong time, which
    // the test checks.
    if (fd_ >= 0 && pwrite(fd_, &shift_ms_, sizeof shift_ms_, 0) != (ssize_t)sizeof shift_ms_)
        close(fd_), fd_ = -1;
}
