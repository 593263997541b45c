// xclip as the other program on the test's Xvfb clipboard, and an XFixes
// watcher that notes when the CLIPBOARD selection changes owner.
#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

// Owns the CLIPBOARD selection with the given bytes (xclip in the foreground)
// until another client takes it; stopped by its own pid when destroyed.
class XclipOwner {
   public:
    explicit XclipOwner(const std::string &data, const char *type = nullptr);
    ~XclipOwner();
    XclipOwner(const XclipOwner &) = delete;
    XclipOwner &operator=(const XclipOwner &) = delete;

   private:
    int pid_ = -1;
};

// What `xclip -o` reads from the clipboard in the given target (5 s at most).
std::string xclip_read(const char *target = nullptr);

class ClipboardWatcher {
   public:
    ClipboardWatcher();
    ~ClipboardWatcher();
    // Owner changes seen so far and the time of the last one.
    uint64_t changes() const { return changes_.load(); }
    std::chrono::steady_clock::time_point last() const;

   private:
    void run();
    Display *dpy_ = nullptr;
    int wake_[2] = {-1, -1};
    std::atomic<uint64_t> changes_{0};
    std::atomic<int64_t> last_ns_{0};
    std::thread thread_;
};
