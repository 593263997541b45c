#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/shell.h"
#include "platform/file.h"
#include "support/child.h"

namespace {

// Kept out of line so it is a frame of its own in the crash.
__attribute__((noinline)) void crash_here(volatile int *p) {
    *p = 42;
    __asm__ volatile("" ::: "memory");
}

// Read through a volatile so the compiler cannot see the bad address.
volatile uintptr_t bad_address = 16;

__attribute__((noinline)) void crash_outer() {
    crash_here((volatile int *)bad_address);
    __asm__ volatile("" ::: "memory");  // no tail call: this frame must stay on the stack
}

}  // namespace

TEST(ShellTest, CrashFramesHaveModuleAndOffset) {
    int status = 0;
    std::string report = run_child(
        [] {
            VKO_SetCrashFunc(crash_callback, nullptr);
            crash_outer();
        },
        &status);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);

    // Where crash_outer sits in this executable.
    Dl_info info = {};
    ASSERT_NE(dladdr((void *)&crash_outer, &info), 0);
    uintptr_t outer = (uintptr_t)(void *)&crash_outer - (uintptr_t)info.dli_fbase;
    std::string exe = info.dli_fname;

    // "crash frame N: <module>+0x<offset>" for each frame
    bool in_lib = false, in_outer = false;
    size_t i = 0, at = 0;
    for (; at < report.size(); i++) {
        size_t end = report.find('\n', at);
        std::string line = report.substr(at, end - at);
        at = end == std::string::npos ? report.size() : end + 1;

        std::string prefix = "crash frame " + std::to_string(i) + ": ";
        size_t plus = line.rfind("+0x");
        ASSERT_TRUE(line.rfind(prefix, 0) == 0 && plus != std::string::npos) << line;
        std::string module = line.substr(prefix.size(), plus - prefix.size());
        uintptr_t offset = std::stoull(line.substr(plus + 3), nullptr, 16);
        in_lib |= module.find("libzarvek.so") != std::string::npos;
        // The return address into crash_outer lies a few bytes past its start.
        in_outer |= module == exe && offset > outer && offset < outer + 64;
    }
    EXPECT_TRUE(i >= 3 && i <= CRASH_FRAMES_MAX) << report;
    EXPECT_TRUE(in_lib) << report;
    EXPECT_TRUE(in_outer) << report << "crash_outer at +0x" << std::hex << outer;

    // A termination request captures nothing.
    crash_callback(true, nullptr);
    EXPECT_EQ(crash_record()->count, 0u);
}

// A crash ends the children the program watches (a server it started would
// otherwise outlive it); a child it stopped watching is left alone.
TEST(ShellTest, CrashEndsTheWatchedChildren) {
    int pipes[2];
    ASSERT_EQ(pipe(pipes), 0);
    int status = 0;
    std::string report = run_child(
        [&] {
            // Off the report's pipe, which must close when the crashing child ends.
            auto sleeper = [] {
                pid_t pid = fork();
                if (pid == 0) {
                    int null = open("/dev/null", O_WRONLY);
                    dup2(null, STDERR_FILENO);
                    alarm(30);  // never outlives the test by much
                    pause();
                    _exit(0);
                }
                return pid;
            };
            pid_t watched = sleeper();
            pid_t left = sleeper();
            pid_t ids[2] = {watched, left};
            if (write(pipes[1], ids, sizeof ids) != sizeof ids) _exit(3);
            app_watch_child(watched);
            app_watch_child(left);
            app_unwatch_child(left);
            VKO_SetCrashFunc(crash_callback, nullptr);
            crash_outer();
        },
        &status);
    ASSERT_TRUE(WIFSIGNALED(status)) << report;
    pid_t ids[2] = {};
    ASSERT_EQ(read(pipes[0], ids, sizeof ids), (ssize_t)sizeof ids);
    close(pipes[0]);
    close(pipes[1]);
    // The grandchildren were re-parented; only whether they still run is asked.
    auto running = [](pid_t pid) {
        for (int i = 0; i < 500; i++) {
            char state = 0;
            FILE *f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
            if (!f) return false;
            int got = fscanf(f, "%*d (%*[^)]) %c", &state);
            fclose(f);
            if (got != 1 || state == 'Z') return false;
            if (i == 499) return true;
            usleep(10000);
        }
        return true;
    };
    EXPECT_FALSE(running(ids[0])) << "the watched child outlived the crash";
    EXPECT_TRUE(kill(ids[1], 0) == 0) << "the child no longer watched was ended";
    kill(ids[1], SIGKILL);
}
