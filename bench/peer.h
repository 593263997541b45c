// Runs the registered benchmarks, then prints one line per pair of ours and a
// peer doing the same work: "ours / peer" as a speed ratio (above 1: ours is
// faster), from the median time per iteration of each side's runs: CPU time,
// which a busy machine disturbs less, or real time (or the time a benchmark
// measures itself) where a benchmark asks for it. A pair is left out when a
// filter ran only one side; one that failed its own checks is named.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace bench {

struct Pair {
    const char *work;   // what both sides do
    const char *ours;   // benchmark name of our side, as Google Benchmark prints it
    const char *peer;   // benchmark name of the peer
    const char *names;  // "ours / peer" as a reader knows them
};

class PairReporter : public benchmark::ConsoleReporter {
   public:
    PairReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Color : OO_None) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            if (r.run_type != Run::RT_Iteration) continue;
            Side &s = sides_[r.benchmark_name()];
            if (r.error_occurred)
                s.error = r.error_message;
            else
                s.times.push_back(
                    (r.run_name.time_type == "real_time" || r.run_name.time_type == "manual_time"
                         ? r.real_accumulated_time
                         : r.cpu_accumulated_time) /
                    static_cast<double>(r.iterations));
        }
    }

    // Prints the ratios; false when a compared run failed.
    bool print(const std::vector<Pair> &pairs) {
        bool ok = true, header = false;
        for (const Pair &p : pairs) {
            auto o = sides_.find(p.ours), q = sides_.find(p.peer);
            if (o == sides_.end() || q == sides_.end()) continue;
            if (!header) {
                std::printf("\nspeed, ours / peer (above 1: ours is faster; median of %zu run(s)):\n",
                            o->second.times.size());
                header = true;
            }
            const std::string &err = !o->second.error.empty() ? o->second.error : q->second.error;
            if (!err.empty() || o->second.times.empty() || q->second.times.empty()) {
                std::printf("  %-28s %s: not compared, %s\n", p.work, p.names,
                            err.empty() ? "no runs" : err.c_str());
                ok = false;
                continue;
            }
            std::printf("  %-28s %s = %.2f\n", p.work, p.names,
                        median(q->second.times) / median(o->second.times));
        }
        return ok;
    }

   private:
    struct Side {
        std::vector<double> times;
        std::string error;
    };

    static double median(std::vector<double> v) {
        std::sort(v.begin(), v.end());
        size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }

    std::map<std::string, Side> sides_;
};

// The body of main() for a benchmark that compares ours with peers.
inline int run_pairs(int argc, char **argv, const std::vector<Pair> &pairs) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    PairReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return reporter.print(pairs) ? 0 : 1;
}

}  // namespace bench
