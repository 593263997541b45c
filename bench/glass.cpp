// Glass-to-glass latency at 1920x1080 and 60 fps, from the host painting a
// frame to its pixels in the client window, through the main-job program on
// its own Xvfb: our pipeline with the Direct3D 11 and the Vulkan window row,
// and in the same runs FFmpeg's own (ffmpeg x11grab, libx264 zerolatency,
// loopback UDP, ffplay). Each run prints its figures; the end gives the
// median of the runs' medians with their range, beside the sum of our
// stages' medians plus 2 ms. Usage: bench_glass [runs (5)] [seconds per run (6)]
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "support/command_output.h"

namespace {

struct Figures {
    std::vector<double> median, p99, stages;
};

double median_of(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string spread(const std::vector<double> &v) {
    if (v.empty()) return "-";
    char s[64];
    std::snprintf(s, sizeof s, "%.1f (%.1f-%.1f)", median_of(v), *std::min_element(v.begin(), v.end()),
                  *std::max_element(v.begin(), v.end()));
    return s;
}

std::string uptime() {
    int status = 0;
    std::string u = output_of("uptime", &status);
    while (!u.empty() && u.back() == '\n') u.pop_back();
    return u;
}

}  // namespace

int main(int argc, char **argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int seconds = argc > 2 ? std::max(3, std::atoi(argv[2])) : 6;
    unsetenv("DISPLAY");  // the program starts its own Xvfb
    std::printf(
        "glass-to-glass, 1920x1080 at 60 fps, %d runs of %d s; the machine is shared, figures are noisy\n",
        runs, seconds);
    std::printf("load before: %s\n", uptime().c_str());
    const std::regex glass(
        "glass-to-glass, (window 0 through ([A-Za-z0-9 ]+)|peer [^:]*): ([0-9.]+) ms median, "
        "([0-9.]+) ms p99 over ([0-9]+) frames");
    const std::regex stages("stages, median: (.*) = ([0-9.]+) ms");
    std::map<std::string, Figures> rows;
    const char *order[] = {"Direct3D 11", "Vulkan", "FFmpeg peer"};
    int failed = 0;
    for (int r = 1; r <= runs; r++) {
        for (const char *gfx : {"d3d11", "vulkan"}) {
            const bool peer = std::string(gfx) == "d3d11";
            const std::string cmd = std::string(ZARVEK_PROGRAM) +
                                    " --width 1920 --height 1080 --fps 60 --duration " +
                                    std::to_string(seconds) + " --gfx " + gfx + (peer ? " --peer" : "") +
                                    " --out /tmp/zarvek-glass-bench 2>&1";
            int status = 0;
            const std::string log = output_of(cmd, &status);
            std::string ours;
            bool any = false;
            for (auto it = std::sregex_iterator(log.begin(), log.end(), glass); it != std::sregex_iterator();
                 ++it) {
                const std::smatch &m = *it;
                const std::string row = m[2].matched ? m[2].str() : "FFmpeg peer";
                if (m[2].matched) ours = row;
                rows[row].median.push_back(std::stod(m[3]));
                rows[row].p99.push_back(std::stod(m[4]));
                std::printf("run %d  %-12s %6.1f ms median  %6.1f ms p99  %5s frames\n", r, row.c_str(),
                            std::stod(m[3]), std::stod(m[4]), m[5].str().c_str());
                any = true;
            }
            std::smatch s;
            if (!ours.empty() && std::regex_search(log, s, stages)) {
                rows[ours].stages.push_back(std::stod(s[2]));
                std::printf("run %d  %-12s stages %s = %s ms\n", r, ours.c_str(), s[1].str().c_str(),
                            s[2].str().c_str());
            }
            if (status != 0 || !any) {
                failed++;
                std::printf("run %d  %s failed (status %d):\n%s\n", r, gfx, status, log.c_str());
            }
            std::fflush(stdout);
        }
    }
    std::printf("load after: %s\n\n", uptime().c_str());
    std::printf("%-12s %-24s %-24s %s\n", "", "median ms (range)", "p99 ms (range)", "stages + 2 ms (range)");
    for (const char *row : order) {
        const Figures &f = rows[row];
        std::printf("%-12s %-24s %-24s %s\n", row, spread(f.median).c_str(), spread(f.p99).c_str(),
                    spread(f.stages).c_str());
    }
    const double peer = median_of(rows["FFmpeg peer"].median);
    for (const char *row : {"Direct3D 11", "Vulkan"}) {
        const double ours = median_of(rows[row].median);
        if (ours > 0 && peer > 0)
            std::printf(
                "%s: ours / peer median latency = %.2f (below 1: ours is quicker); ours - stages = %+.1f "
                "ms\n",
                row, ours / peer, ours - median_of(rows[row].stages));
    }
    return failed ? 1 : 0;
}
