// Log line formats, filters, the asynchronous file writer, rotation, the
// console record, the web-view event and the fatal path.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/context.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "platform/queue.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "util/logger.h"
#include "util/winutil.h"

namespace {

std::vector<std::string> read_lines(const std::string &path) {
    std::vector<std::string> out;
    std::istringstream in(read_file(path));
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// Runs fn with standard output sent to a file and returns what it printed.
template <typename F>
std::string capture_stdout(F fn) {
    fflush(stdout);
    char name[] = "/tmp/zarvek-out-XXXXXX";
    int fd = mkstemp(name);
    int saved = dup(1);
    dup2(fd, 1);
    fn();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(fd);
    std::string r = read_file(name);
    unlink(name);
    return r;
}

const char *kTime = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}";

class Logger : public ::testing::Test {
   protected:
    void SetUp() override {
        memset(&ctx, 0, sizeof(ctx));
        ctx.log_level = APP_LOG_LEVEL_UNSET;
        snprintf(ctx.data_dir, sizeof(ctx.data_dir), "%s", dir.c_str());
        ctx.is_host = 1;
    }
    void TearDown() override { fs_async_stop(); }
    std::string path(const char *name) { return tmp.file(name); }
    TempDir tmp;
    const std::string &dir = tmp.path;
    AppContext ctx;
};

}  // namespace

TEST_F(Logger, FileLevelFilterAndForcedLines) {
    ASSERT_TRUE(fs_async_start());
    app_context_set_log_level(&ctx, 0);
    std::string out = capture_stdout([&] {
        log_write(1, "debug filtered", &ctx);
        log_write(0, "info kept", &ctx);
        log_write(LOG_LEVEL_FORCED, "forced kept", &ctx);
    });
    // standard output takes every line but the forced ones, before the level test
    std::regex want(std::string("\\[D ") + kTime + "\\] debug filtered\n\\[I " + kTime + "\\] info kept\n");
    EXPECT_TRUE(std::regex_match(out, want)) << out;
    app_context_set_log_level(&ctx, (uint32_t)-1);
    capture_stdout([&] { log_write(7, "level seven", &ctx); });
    capture_stdout([&] { log_write(0, std::string(3000, 'x').c_str(), &ctx); });
    ctx.is_host = 0;
    capture_stdout([&] { log_write(0, "client line", &ctx); });
    ASSERT_TRUE(fs_async_flush(10000));
    std::vector<std::string> lines = read_lines(path("log.txt"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3].size(), 1023u) << "long lines are cut";
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(std::string("\\[I ") + kTime + "\\] info kept")));
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(std::string("\\[F ") + kTime + "\\] forced kept")));
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(std::string("\\[7 ") + kTime + "\\] level seven")));
    EXPECT_EQ(read_lines(path("log_cl.txt")).size(), 1u);
    struct stat st;
    ASSERT_EQ(stat(path("log.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 06, 06u) << "every local user may write the log";
}

TEST_F(Logger, ConcurrentWritersNeverInterleaveInsideALine) {
    ASSERT_TRUE(fs_async_start());
    const int threads = 6, per = 300;
    std::vector<std::thread> ts;
    std::string out = capture_stdout([&] {
        for (int t = 0; t < threads; t++)
            ts.emplace_back([&, t] {
                for (int i = 0; i < per; i++) {
                    char body[256];
                    snprintf(body, sizeof(body), "t%d-%d-%s", t, i,
                             std::string(200, (char)('a' + t)).c_str());
                    log_write(0, body, &ctx);
                    if (i % 50 == 0) fs_async_flush(10000);  // keep the queue from filling on a slow machine
                }
            });
        for (auto &th : ts) th.join();
    });
    ASSERT_TRUE(fs_async_flush(10000));
    std::regex line_re(std::string("\\[I ") + kTime + "\\] t([0-9])-([0-9]+)-([a-z]{200})");
    std::set<std::string> seen;
    for (const auto &l : read_lines(path("log.txt"))) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, line_re)) << l;
        EXPECT_EQ(m[3].str(), std::string(200, (char)('a' + std::stoi(m[1].str()))));
        EXPECT_TRUE(seen.insert(m[1].str() + "-" + m[2].str()).second);
    }
    EXPECT_GT(seen.size(), 0u);
    EXPECT_LE(seen.size(), (size_t)threads * per);
}

TEST_F(Logger, AFullQueueDropsTheLineAndWarnsOnce) {
    LogCapture log;
    ASSERT_TRUE(fs_async_create());  // the queue, no writer yet
    for (int i = 0; i < FS_ASYNC_SLOTS + 5; i++)
        fs_async_append(dir.c_str(), "log.txt", ("line " + std::to_string(i)).c_str());
    ASSERT_TRUE(fs_async_start());
    ASSERT_TRUE(fs_async_flush(20000));
    std::vector<std::string> lines = read_lines(path("log.txt"));
    ASSERT_EQ(lines.size(), (size_t)FS_ASYNC_SLOTS);
    EXPECT_EQ(lines.back(), "line 999");
    int warnings = 0;
    for (const auto &l : log.lines()) warnings += l == "fs_async_thread: FS async queue is almost full";
    EXPECT_EQ(warnings, 1);
}

TEST_F(Logger, LinesLoggedDuringShutdownNeverReachAFreedQueue) {
    std::atomic<bool> done{false};
    std::vector<std::thread> ts;
    for (int t = 0; t < 12; t++)
        ts.emplace_back([&] {
            while (!done.load()) fs_async_append(dir.c_str(), "log.txt", "late line");
        });
    for (int i = 0; i < 20; i++) {
        ASSERT_TRUE(fs_async_start());
        fs_async_stop();
    }
    done = true;
    for (auto &t : ts) t.join();
}

TEST_F(Logger, RotationAtStartUp) {
    int fd = open(path("log.txt").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(ftruncate(fd, 1048576), 0);
    close(fd);
    fd = open(path("log_cl.txt").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(ftruncate(fd, 1048575), 0);
    close(fd);
    log_rotate_files(dir.c_str());
    struct stat st;
    ASSERT_EQ(stat(path("log.1.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 1048576);
    EXPECT_NE(stat(path("log.txt").c_str(), &st), 0);
    ASSERT_EQ(stat(path("log_cl.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 1048576) << "a smaller file gets a blank line";

    // a link planted at the log path is neither followed nor rotated
    char target[] = "/tmp/zarvek-target-XXXXXX";
    int tfd = mkstemp(target);
    ASSERT_EQ(write(tfd, "keep", 4), 4);
    close(tfd);
    ASSERT_EQ(symlink(target, path("log.txt").c_str()), 0);
    log_rotate_files(dir.c_str());
    ASSERT_TRUE(fs_async_start());
    capture_stdout([&] { log_write(0, "via link?", &ctx); });
    ASSERT_TRUE(fs_async_flush(10000));
    EXPECT_EQ(read_file(target), "keep");
    ASSERT_EQ(stat(target, &st), 0);
    EXPECT_EQ(st.st_mode & 07, 0u & 07) << "the target's rights are untouched";
    unlink(target);
}

// The web-view event of a line is checked where a real web view's page
// receives it (tests/web/bridge_test.cpp).
TEST_F(Logger, ConsoleRecord) {
    ctx.stream_window_queue = VKO_QueueCreate(APP_WINDOW_QUEUE_SLOTS, APP_WINDOW_QUEUE_SLOT_SIZE);
    capture_stdout([&] { log_write(0, "to the console", &ctx); });
    void *buf = nullptr;
    uint64_t size = 0;
    ASSERT_TRUE(VKO_QueueGetOutputBuffer(ctx.stream_window_queue, 0, &buf, &size));
    EXPECT_EQ(size, (uint64_t)LOG_CONSOLE_SLOT);
    uint32_t type = 0;
    memcpy(&type, buf, 4);
    EXPECT_EQ(type, 5u);
    EXPECT_NE(std::string((char *)buf + 4).find("] to the console"), std::string::npos);
    VKO_QueuePop(ctx.stream_window_queue);
    VKO_QueueDestroy(&ctx.stream_window_queue);
}

TEST_F(Logger, ForwardSinkAndNamedCounters) {
    ASSERT_TRUE(fs_async_start());
    log_set_forward_callback(nullptr, nullptr);
    const char *fmt = "not written %d";
    EXPECT_EQ(log_forward(0, fmt, 1), fmt);
    log_set_forward_callback(log_platform_callback, &ctx);
    EXPECT_EQ(log_forward(0, "forwarded %d", 2), nullptr);
    log_platform_callback("", "", 0, 0, "Decoder failure, queued_frames", 4, 9, &ctx);
    log_set_forward_callback(nullptr, nullptr);

    EXPECT_EQ(log_message(0, "nowhere %d", 1), 0);
    log_set_line_writer(log_write);
    log_set_sink(log_sink_format, &ctx);
    capture_stdout([] { log_message(0, "%d-%s", 3, "x"); });
    log_set_sink(nullptr, nullptr);
    log_set_line_writer(nullptr);
    ASSERT_TRUE(fs_async_flush(10000));
    std::string all = read_file(path("log.txt"));
    EXPECT_EQ(all.find("not written"), std::string::npos);
    EXPECT_NE(all.find("] forwarded 2\n"), std::string::npos);
    EXPECT_NE(all.find("] Decoder failure, queued_frames=4\n"), std::string::npos);
    EXPECT_NE(all.find("] 3-x\n"), std::string::npos);
}

TEST_F(Logger, FatalLineReachesTheLogFile) {
    EXPECT_EXIT(
        {
            app_logging_start(&ctx);
            util_logfatal("json.c", 497, "shouldn't be duplicate keys in a JSON object");
        },
        ::testing::ExitedWithCode(1), "");
    std::string all = read_file(path("log.txt"));
    EXPECT_NE(all.find("util_logfatal: json.c line 497: shouldn't be duplicate keys in a JSON object"),
              std::string::npos)
        << all;
}
