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

using Lines = std::vector<std::string>;

TEST(Log, TagColonTextAndLengths) {
    LogCapture log;
    VKO_Log("X", "%d", 3);
    VKO_Log("100%s", "ok");  // a '%' in the tag is text, not a conversion
    EXPECT_EQ(log.lines(), (Lines{"X: 3", "100%s: ok"}));

    // Around and above the on-stack size, a tag longer than a short line,
    // and a line cut to the ring.
    std::string tag(3000, 't'), big(20000, 'y');
    for (size_t n : {1018, 1019, 1020, 1500}) {
        log.clear();
        std::string text(n, 'k');
        VKO_Log("T", "%s|%d", text.c_str(), 5);
        EXPECT_EQ(log.lines()[0], "T: " + text + "|5");
    }
    VKO_Log(tag.c_str(), "%d", 9);
    VKO_Log("T", "%s", big.c_str());
    EXPECT_EQ(log.lines()[1], tag + ": 9");
    EXPECT_EQ(log.lines()[2], "T: " + big.substr(0, 8188));
}

static void reentrant_callback(const char *msg, void *opaque) {
    ((Lines *)opaque)->emplace_back(msg);
    VKO_Log("inner", "dropped");
}

TEST(Log, CallbackThatLogsDoesNotRecurse) {
    Lines lines;
    VKO_SetLogFunc(reentrant_callback, &lines);
    VKO_Log("outer", "one");
    VKO_Log("outer", "two");
    VKO_SetLogFunc(NULL, NULL);
    EXPECT_EQ(lines, (Lines{"outer: one", "outer: two"}));
}

TEST(Log, DisablePerThreadAndNullCallback) {
    LogCapture log;
    std::thread([] {
        VKO_DisableThreadLog(true);
        VKO_Log("quiet", "x");
    }).join();
    std::thread([] { VKO_Log("loud", "y"); }).join();
    VKO_DisableThreadLog(true);
    VKO_Log("main", "hidden");
    VKO_DisableThreadLog(false);
    VKO_Log("main", "shown");
    EXPECT_EQ(log.lines(), (Lines{"loud: y", "main: shown"}));

    VKO_SetLogFunc(NULL, NULL);
    VKO_Log("T", "nobody hears this");
    EXPECT_EQ(log.lines().size(), 2u);
}

TEST(Log, ConcurrentLoggingWhileInstalling) {
    // A logging thread never pairs a new callback with an old opaque.
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
}

static void fatal_at_exit(void) {
    VKO_LogFatal("F", "during exit");
}

TEST(LogDeathTest, FatalExitsWithOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_FATAL(VKO_LogFatal("F", "bad %s", "state"), "F: bad state");

    // Silenced logging still ends the process.
    EXPECT_FATAL((VKO_SetLogFunc(NULL, NULL), VKO_LogFatal("F", "unseen")), "");

    // From another thread, from several at once, and inside an exit handler
    // (which must not hang or run exit twice).
    EXPECT_FATAL(std::thread([] { VKO_LogFatal("F", "worker"); }).join(), "F: worker");
    EXPECT_FATAL((atexit(fatal_at_exit), VKO_LogFatal("F", "first")), "F: first\nF: during exit");
    EXPECT_FATAL(
        {
            std::vector<std::thread> threads;
            for (int i = 0; i < 4; i++) threads.emplace_back([] { VKO_LogFatal("F", "racing"); });
            for (auto &t : threads) t.join();
        },
        "F: racing");
}

// Time

TEST(Time, DifferencesAndSleep) {
    EXPECT_EQ(VKO_TimeDiff(5, 5), 0.0);
    EXPECT_EQ(VKO_TimeDiff(1000000, 0), -1.0);
    EXPECT_EQ(VKO_TimeDiff(0, 100000000), 100.0);

    LogCapture log;
    VKO_SetTimerResolution(1);
    int64_t begin = VKO_GetTime();
    VKO_Sleep(0);
    VKO_Sleep(30);
    EXPECT_GE(VKO_TimeDiff(begin, VKO_GetTime()), 30.0);
    VKO_RevertTimerResolution(1);
    EXPECT_TRUE(log.lines().empty());
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
