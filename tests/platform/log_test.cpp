#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/log.h"
#include "platform/memory.h"
#include "support/log_capture.h"

namespace {
class LogDeathTest : public ::testing::Test {
   protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};
}  // namespace

TEST(Log, TagColonText) {
    LogCapture log;
    VKO_Log("X", "%d", 3);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"X: 3"});

    // A '%' in the tag is text, not a conversion.
    log.clear();
    VKO_Log("100%s", "ok");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"100%s: ok"});
}

TEST(Log, LongMessagesAreCut) {
    LogCapture log;
    std::string big(20000, 'y');
    VKO_Log("T", "%s", big.c_str());
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].size(), 8191u);
    EXPECT_EQ(log.lines()[0].substr(0, 4), "T: y");

    // A tag longer than any short line.
    log.clear();
    std::string tag(3000, 't');
    VKO_Log(tag.c_str(), "%d", 9);
    EXPECT_EQ(log.lines()[0], tag + ": 9");

    // Around the on-stack size.
    for (size_t n = 1015; n < 1025; n++) {
        log.clear();
        std::string text(n, 'k');
        VKO_Log("T", "%s", text.c_str());
        EXPECT_EQ(log.lines()[0], "T: " + text);
    }

    // Just above the on-stack size.
    log.clear();
    std::string mid(1500, 'z');
    VKO_Log("T", "%s|%d", mid.c_str(), 5);
    EXPECT_EQ(log.lines()[0], "T: " + mid + "|5");
}

static int REENTRY_CALLS;

static void reentrant_callback(const char *msg, void *opaque) {
    REENTRY_CALLS++;
    ((std::vector<std::string> *)opaque)->emplace_back(msg);
    VKO_Log("inner", "dropped");
}

TEST(Log, CallbackThatLogsDoesNotRecurse) {
    std::vector<std::string> lines;
    REENTRY_CALLS = 0;
    VKO_SetLogFunc(reentrant_callback, &lines);
    VKO_Log("outer", "one");
    VKO_Log("outer", "two");
    VKO_SetLogFunc(NULL, NULL);

    EXPECT_EQ(REENTRY_CALLS, 2);
    EXPECT_EQ(lines, (std::vector<std::string>{"outer: one", "outer: two"}));
}

TEST(Log, DisablePerThread) {
    LogCapture log;
    std::thread([] {
        VKO_DisableThreadLog(true);
        VKO_Log("quiet", "x");
    }).join();
    std::thread([] { VKO_Log("loud", "y"); }).join();
    VKO_Log("main", "z");

    EXPECT_EQ(log.lines(), (std::vector<std::string>{"loud: y", "main: z"}));

    VKO_DisableThreadLog(true);
    VKO_Log("main", "hidden");
    VKO_DisableThreadLog(false);
    VKO_Log("main", "shown");
    EXPECT_EQ(log.lines().back(), "main: shown");
    EXPECT_EQ(log.lines().size(), 3u);
}

TEST(Log, NullCallbackSilences) {
    {
        LogCapture log;
        VKO_SetLogFunc(NULL, NULL);
        VKO_Log("T", "nobody hears this");
        EXPECT_TRUE(log.lines().empty());
    }
}

TEST(Log, ConcurrentLoggingWhileInstalling) {
    std::atomic<int> delivered{0};
    std::atomic<bool> stop{false};
    auto counting = [](const char *msg, void *opaque) {
        EXPECT_EQ(strncmp(msg, "W: ", 3), 0);
        ((std::atomic<int> *)opaque)->fetch_add(1);
    };

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; i++) VKO_Log("W", "%d", i);
        });
    std::thread installer([&] {
        while (!stop) {
            VKO_SetLogFunc(counting, &delivered);
            VKO_SetLogFunc(NULL, NULL);
        }
    });
    for (auto &t : threads) t.join();
    stop = true;
    installer.join();

    VKO_SetLogFunc(counting, &delivered);
    int before = delivered;
    VKO_Log("W", "last");
    EXPECT_EQ(delivered, before + 1);
    VKO_SetLogFunc(NULL, NULL);
}

TEST_F(LogDeathTest, FatalExitsWithOne) {
    EXPECT_EXIT(
        {
            VKO_SetLogFunc(log_to_stderr, NULL);
            VKO_LogFatal("F", "bad %s", "state");
        },
        ::testing::ExitedWithCode(1), "F: bad state");

    // Silenced logging still ends the process.
    EXPECT_EXIT(
        {
            VKO_SetLogFunc(NULL, NULL);
            VKO_LogFatal("F", "unseen");
        },
        ::testing::ExitedWithCode(1), "");

    // From another thread too.
    EXPECT_EXIT(
        {
            VKO_SetLogFunc(log_to_stderr, NULL);
            std::thread([] { VKO_LogFatal("F", "worker"); }).join();
        },
        ::testing::ExitedWithCode(1), "F: worker");
}

static void fatal_at_exit(void) {
    VKO_LogFatal("F", "during exit");
}

TEST_F(LogDeathTest, FatalDuringExitOrFromTwoThreads) {
    // A fatal inside an exit handler must not hang or run exit twice.
    EXPECT_EXIT(
        {
            VKO_SetLogFunc(log_to_stderr, NULL);
            atexit(fatal_at_exit);
            VKO_LogFatal("F", "first");
        },
        ::testing::ExitedWithCode(1), "F: first\nF: during exit");

    EXPECT_EXIT(
        {
            VKO_SetLogFunc(log_to_stderr, NULL);
            std::vector<std::thread> threads;
            for (int i = 0; i < 4; i++) threads.emplace_back([] { VKO_LogFatal("F", "racing"); });
            for (auto &t : threads) t.join();
        },
        ::testing::ExitedWithCode(1), "F: racing");
}

TEST(Time, Differences) {
    int64_t t = VKO_GetTime();
    EXPECT_EQ(VKO_TimeDiff(t, t), 0.0);
    EXPECT_EQ(VKO_TimeDiff(0, 1000000), 1.0);
    EXPECT_EQ(VKO_TimeDiff(1000000, 0), -1.0);
    EXPECT_EQ(VKO_TimeDiff(0, 100000000), 100.0);
    EXPECT_GE(VKO_GetTime(), t);
}

TEST(Time, SleepLastsAtLeastTheTime) {
    int64_t begin = VKO_GetTime();
    VKO_Sleep(0);
    VKO_Sleep(30);
    EXPECT_GE(VKO_TimeDiff(begin, VKO_GetTime()), 30.0);
}

static void ignore_signal(int) {}

TEST(Time, SleepKeepsItsLengthAcrossSignals) {
    struct sigaction sa = {};
    sa.sa_handler = ignore_signal;
    sigaction(SIGUSR1, &sa, NULL);  // no SA_RESTART: the sleep is interrupted

    std::atomic<bool> started{false};
    double slept = 0;
    std::thread sleeper([&] {
        started = true;
        int64_t begin = VKO_GetTime();
        VKO_Sleep(100);
        slept = VKO_TimeDiff(begin, VKO_GetTime());
    });
    while (!started) VKO_Sleep(1);
    for (int i = 0; i < 5; i++) {
        VKO_Sleep(10);
        pthread_kill(sleeper.native_handle(), SIGUSR1);
    }
    sleeper.join();
    EXPECT_GE(slept, 100.0);
    signal(SIGUSR1, SIG_DFL);
}

TEST(Time, TimerResolutionIsQuiet) {
    LogCapture log;
    VKO_SetTimerResolution(1);
    VKO_Sleep(1);
    VKO_RevertTimerResolution(1);
    EXPECT_TRUE(log.lines().empty());
}
