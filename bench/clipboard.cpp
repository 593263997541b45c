// Clipboard latency on a private Xvfb: the time from xclip taking the
// CLIPBOARD selection with a new text (as an independent X client watching
// owner changes sees it) to clipboard_take_text returning that text, over 200
// changes; median and 99th percentile. The watcher wakes on the same notice
// the bridge does, so the figure is the bridge's own delay plus one
// conversion round trip to xclip.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/xclip.h"
#include "support/xvfb.h"
#include "util/clipboard.h"

namespace {

using Clock = std::chrono::steady_clock;

void BM_ClipboardChangeToTake(benchmark::State &state) {
    if (xvfb_display().empty()) {
        state.SkipWithError("no Xvfb");
        return;
    }
    clipboard_init();
    ClipboardWatcher watch;
    std::vector<double> ms;
    int n = 0;
    for (auto _ : state) {
        std::string text = "change " + std::to_string(n++) + " \xe2\x9c\x93";
        uint64_t seen = watch.changes();
        XclipOwner owner(text);
        auto give_up = Clock::now() + std::chrono::seconds(5);
        Clock::time_point arrived{};
        while (Clock::now() < give_up) {
            if (arrived == Clock::time_point{}) {
                const char *got = clipboard_take_text();
                if (got && text == got) arrived = Clock::now();
            }
            if (arrived != Clock::time_point{} && watch.changes() > seen) break;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        if (arrived == Clock::time_point{} || watch.changes() == seen) {
            state.SkipWithError("text did not arrive");
            break;
        }
        double took = std::chrono::duration<double>(arrived - watch.last()).count();
        state.SetIterationTime(took);
        ms.push_back(took * 1000);
    }
    clipboard_destroy();
    if (ms.empty()) return;
    std::sort(ms.begin(), ms.end());
    state.counters["median_ms"] = ms[ms.size() / 2];
    state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    state.counters["max_ms"] = ms.back();
}

}  // namespace

BENCHMARK(BM_ClipboardChangeToTake)->Iterations(200)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
