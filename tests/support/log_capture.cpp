#include "support/log_capture.h"

#include <cstdio>

#include "platform/log.h"

LogCapture::LogCapture() {
    VKO_SetLogFunc(callback, this);
}

LogCapture::~LogCapture() {
    VKO_SetLogFunc(NULL, NULL);
}

void LogCapture::callback(const char *msg, void *opaque) {
    LogCapture *self = (LogCapture *)opaque;
    std::lock_guard<std::mutex> guard(self->mutex_);
    self->lines_.emplace_back(msg);
}

std::vector<std::string> LogCapture::lines() {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
}

bool LogCapture::contains(const std::string &text) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto &l : lines_)
        if (l == text) return true;
    return false;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.clear();
}

void log_to_stderr(const char *msg, void *opaque) {
    (void)opaque;
    fprintf(stderr, "%s\n", msg);
    fflush(stderr);
}
