// The main-job program end to end: it streams two displays for a few seconds
// on its own Xvfb and loopback through the lossy relay, FFmpeg reads every
// frame of both MP4 files it wrote, every frame is matched with its capture,
// the key and click it sends through the stream reach its window, and the
// frame counter in its pattern is read back from the client windows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstdio>
#include <regex>
#include <string>

#include "support/command_output.h"
#include "support/temp_dir.h"

namespace {

TEST(Zarvek, StreamsTwoDisplaysThroughALossyLinkAndTakesInput) {
    char self[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    std::string dir(self);
    std::string program = dir.substr(0, dir.rfind('/')) + "/../tools/zarvek";
    TempDir tmp;
    int status = -1;
    // The client windows draw through Mesa's CPU Vulkan device, which keeps a
    // few allocations in statics of its own: held loaded for the whole run,
    // they are not reported as leaks of a module the loader unloaded.
    const char *asan = getenv("ASAN_OPTIONS");
    const std::string env = "env -u DISPLAY LP_NUM_THREADS=2 LD_PRELOAD=libvulkan_lvp.so ASAN_OPTIONS=" +
                            std::string(asan ? asan : "") + ":verify_asan_link_order=0 ";
    std::string log = output_of(
        env + program + " --duration 3 --fps 30 --displays 2 --loss 1 --delay 5 --out " + tmp.path, &status);
    ASSERT_EQ(status, 0) << log;
    EXPECT_NE(log.find("summary:"), std::string::npos) << log;
    EXPECT_NE(log.find("through the lossy relay (1.0% loss, 5 ms delay each way)"), std::string::npos) << log;

    // Capture-to-receive: at least the relay's delay, and every frame matched.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(log, m,
                                  std::regex("capture-to-receive ([0-9.]+) ms median, ([0-9.]+) ms p99, "
                                             "[0-9.]+ ms largest over ([0-9]+) frames")))
        << log;
    EXPECT_GE(std::stod(m[1]), 5.0) << log;
    EXPECT_GE(std::stod(m[2]), std::stod(m[1])) << log;
    EXPECT_GT(std::stoi(m[3]), 0) << log;
    ASSERT_TRUE(std::regex_search(log, m,
                                  std::regex("frames: ([0-9]+) encoded, ([0-9]+) received, ([0-9]+) "
                                             "missing, ([0-9]+) out of order, ([0-9]+) unmatched")))
        << log;
    EXPECT_GT(std::stoi(m[2]), 0);
    EXPECT_LE(std::stoi(m[2]), std::stoi(m[1]));
    EXPECT_EQ(m[4], "0") << log;
    EXPECT_EQ(m[5], "0") << log;
    EXPECT_NE(log.find("input: click arrived, key 'z' arrived; click at (80, 50) of the 160x100 window"),
              std::string::npos)
        << log;

    // Each display shown in a client window, drawn from the decoded stream, and
    // its screenshot alike the painted display (the pattern's saturated
    // stripes lose colour to 4:2:0 sampling; luma keeps the detail).
    for (int k = 0; k < 2; k++) {
        const std::string shot = tmp.file(("window" + std::to_string(k) + ".png").c_str());
        ASSERT_TRUE(std::regex_search(
            log, m,
            std::regex("window " + std::to_string(k) +
                       ": ([0-9]+) pictures drawn through [A-Za-z0-9 ]+ \\(([0-9]+) decoded, 0 damaged\\), "
                       "screenshot " +
                       shot + ", PSNR ([0-9.]+) dB \\(luma ([0-9.]+) dB\\)")))
            << log;
        EXPECT_GT(std::stoi(m[1]), 0) << log;
        EXPECT_GE(std::stod(m[3]), 22.0) << log;
        EXPECT_GE(std::stod(m[4]), 30.0) << log;
        std::string png =
            output_of("ffprobe -v error -show_entries stream=width,height -of csv=p=0 " + shot, &status);
        EXPECT_EQ(status, 0) << png;
        EXPECT_EQ(png, "640,360\n");
        // The frame counter read back from the window: glass-to-glass.
        ASSERT_TRUE(
            std::regex_search(log, m,
                              std::regex("glass-to-glass, window " + std::to_string(k) +
                                         " through [A-Za-z0-9 ]+: ([0-9.]+) ms median, ([0-9.]+) ms p99 "
                                         "over ([0-9]+) frames")))
            << log;
        EXPECT_GT(std::stod(m[1]), 0.0) << log;
        EXPECT_GE(std::stod(m[2]), std::stod(m[1])) << log;
        EXPECT_GT(std::stoi(m[3]), 0) << log;
    }
    EXPECT_TRUE(std::regex_search(
        log, std::regex("stages, median: capture [0-9.]+ \\+ convert [0-9.]+ \\+ encode "
                        "[0-9.]+ \\+ decode [0-9.]+ \\+ draw [0-9.]+ \\+ 2 ms = [0-9.]+ ms")))
        << log;

    for (const char *name : {"video0.mp4", "video1.mp4"}) {
        std::string file = tmp.file(name);
        EXPECT_NE(log.find("output: " + file), std::string::npos) << log;
        std::string probe = output_of(
            "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
            "stream=codec_name,width,height,nb_read_frames -of csv=p=0 " +
                file,
            &status);
        ASSERT_EQ(status, 0) << probe;
        EXPECT_EQ(probe.rfind("h264,1280,720,", 0), 0u) << probe;
        EXPECT_GT(std::stoi(probe.substr(probe.rfind(',') + 1)), 0) << probe;
        std::string decode =
            output_of("ffmpeg -nostdin -v error -xerror -i " + file + " -f null - 2>&1", &status);
        EXPECT_EQ(status, 0) << decode;
        EXPECT_EQ(decode, "");
    }
}

}  // namespace
