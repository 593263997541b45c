// The main-job program end to end: it streams for a few seconds on its own
// Xvfb and loopback, and FFmpeg reads every frame of the MP4 it wrote.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

#include "support/temp_dir.h"

namespace {

std::string output_of(const std::string &command, int *status) {
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    *status = pclose(p);
    return out;
}

TEST(Zarvek, StreamsAndItsMp4Decodes) {
    char self[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    std::string dir(self);
    std::string program = dir.substr(0, dir.rfind('/')) + "/../tools/zarvek";
    TempDir tmp;
    int status = -1;
    std::string log =
        output_of("env -u DISPLAY " + program + " --duration 3 --fps 30 --out " + tmp.path, &status);
    ASSERT_EQ(status, 0) << log;
    EXPECT_NE(log.find("summary:"), std::string::npos) << log;
    std::string file = tmp.file("video0.mp4");
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

}  // namespace
