// Glass-to-glass latency: the pattern's counter read back from windows, and
// the host's and client's stages that add up to it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace zv {

// Reads the counter strip of some windows about every millisecond: per
// window, each value's first appearance minus its paint time. The first half
// second is left out (the stream's start, the player's start).
class GlassWatch {
   public:
    void start(std::vector<unsigned long> windows, double scale);
    // Stops the thread; the latencies per window.
    std::vector<std::vector<double>> stop();

   private:
    void run();

    std::vector<unsigned long> windows_;
    double scale_ = 1;
    std::vector<std::vector<double>> latency_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

// Which of the windows show the counter value (each strip read as the
// watcher reads it): waits for all of them at once while `more` says so.
std::vector<bool> glass_wait_for(const std::vector<unsigned long> &windows, double scale, uint32_t code,
                                 const std::function<bool()> &more);

// The value below which a share p (0 to 1) of v lies; 0 for none.
double percentile(std::vector<double> v, double p);

void print_glass(const char *who, const std::vector<double> &ms);

// Each stage's median and their sum with 2 ms for the rest (the network,
// hand-overs between threads): what the glass-to-glass median could be.
void print_stages();

}  // namespace zv
