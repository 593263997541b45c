// The test display's fixture: its server ends with the process that started
// it, even one that aborts, a start the server refuses is tried again with
// what the server said printed, and a child forked without exec (a death
// test) starts servers of its own and leaves its parent's display running.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "support/child.h"
#include "support/temp_dir.h"
#include "support/xvfb.h"

// After gtest: Xlib defines None and Bool as macros.
#include <X11/Xlib.h>

namespace {

// True once pid has ended (gone, or a zombie nobody reaped yet).
bool ended(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    size_t paren = line.rfind(')');
    return paren == std::string::npos || line.compare(paren + 1, 3, " Z ") == 0;
}

bool ends_within(int pid, std::chrono::seconds bound) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (!ended(pid)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The fixture starts its server from a thread; ThreadSanitizer ends a child
// forked from a threaded process that starts one.
#if defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_THREAD_SANITIZER() \
    GTEST_SKIP() << "ThreadSanitizer refuses new threads in a child forked from a threaded process"
#else
#define SKIP_UNDER_THREAD_SANITIZER() (void)0
#endif

// Runs body in a forked child that its own alarm ends after bound, so a
// start that hangs fails the test then; gives back the child's wait status.
int run_bounded(const std::function<int()> &body, unsigned bound_seconds) {
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        alarm(bound_seconds);
        _exit(body());
    }
    int status = -1;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// A further server that serves: its pid, or -1.
int start_serving(XvfbServer *s) {
    *s = xvfb_start_other({}, 320, 240);
    Display *d = s->display.empty() ? nullptr : XOpenDisplay(s->display.c_str());
    if (!d) return -1;
    XCloseDisplay(d);
    return s->pid;
}

std::string status_text(int status) {
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) return "hung until its alarm";
    return "wait status " + std::to_string(status);
}

TEST(XvfbFixture, ServerEndsWithAProcessThatAborts) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    int status = 0;
    run_child(
        [&] {
            // Started from a thread that ends at once, as a test's helper may.
            std::thread([] { xvfb_display(640, 480); }).join();
            int pid = xvfb_pid();
            Display *d = XOpenDisplay(xvfb_display().c_str());
            if (!d) pid = -1;
            if (write(fds[1], &pid, sizeof pid) != sizeof pid) _exit(2);
            abort();
        },
        &status);
    close(fds[1]);
    int pid = -1;
    ASSERT_EQ(read(fds[0], &pid, sizeof pid), static_cast<ssize_t>(sizeof pid));
    close(fds[0]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
    ASSERT_GT(pid, 0) << "the display did not start or serve";
    bool gone = ends_within(pid, std::chrono::seconds(20));
    if (!gone) kill(pid, SIGKILL);
    EXPECT_TRUE(gone) << "Xvfb " << pid << " outlived the process that started it";
}

TEST(XvfbFixture, RefusedStartIsTriedAgainWithTheServersWordsPrinted) {
    if (access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/Xvfb";
    TempDir dir;
    // An Xvfb that refuses its first start.
    std::string fake = dir.file("Xvfb");
    write_file(fake, "#!/bin/sh\nif [ ! -e '" + dir.file("tried") + "' ]; then : > '" + dir.file("tried") +
                         "'; echo 'refused once for the test' >&2; exit 1; fi\nexec /usr/bin/Xvfb \"$@\"\n");
    ASSERT_EQ(chmod(fake.c_str(), 0755), 0);
    int status = 0;
    std::string said = run_child(
        [&] {
            std::string path = dir.path + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin");
            setenv("PATH", path.c_str(), 1);
            if (xvfb_display(640, 480).empty()) _exit(3);
            Display *d = XOpenDisplay(xvfb_display().c_str());
            if (!d) _exit(4);
            XCloseDisplay(d);
            xvfb_shutdown();
        },
        &status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << said;
    EXPECT_NE(said.find("refused once for the test"), std::string::npos) << said;
}

// The parent has started servers (its spawning thread exists there only);
// its forked child starts one from a thread that ends at once, and that
// server serves and ends with the child.
TEST(XvfbFixture, ForkedChildStartsAServerThatEndsWithIt) {
    SKIP_UNDER_THREAD_SANITIZER();
    XvfbServer mine;
    ASSERT_GT(start_serving(&mine), 0);
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    int status = run_bounded(
        [&] {
            XvfbServer s;
            int pid = -1;
            std::thread([&] { pid = start_serving(&s); }).join();
            return write(fds[1], &pid, sizeof pid) == sizeof pid && pid > 0 ? 0 : 1;
        },
        90);
    close(fds[1]);
    int pid = -1;
    ssize_t got = read(fds[0], &pid, sizeof pid);
    close(fds[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status_text(status);
    if (got == sizeof pid && pid > 0) {
        bool gone = ends_within(pid, std::chrono::seconds(20));
        if (!gone) kill(pid, SIGKILL);
        EXPECT_TRUE(gone) << "Xvfb " << pid << " outlived the child that started it";
    }
    xvfb_stop(&mine);
}

// A forked child that exits normally (running the exit handlers) leaves the
// test display it inherited running. All in a child, so this process's
// display stays unstarted for the other tests.
TEST(XvfbFixture, ForkedChildLeavesItsParentsDisplay) {
    int status = run_bounded(
        [] {
            if (xvfb_display(640, 480).empty()) return 2;
            const int server = xvfb_pid();
            run_bounded(
                []() -> int {
                    xvfb_display();
                    exit(0);
                },
                90);
            if (ended(server)) return 3;
            Display *d = XOpenDisplay(xvfb_display().c_str());
            if (!d) return 4;
            XCloseDisplay(d);
            return 0;
        },
        90);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << status_text(status) << " (3: the server ended, 4: it did not serve)";
}

// A death test in the default style forks without exec; the fixture works
// in it.
TEST(XvfbFixtureDeathTest, StartsAServerInADeathTest) {
    SKIP_UNDER_THREAD_SANITIZER();
    GTEST_FLAG_SET(death_test_style, "fast");
    XvfbServer mine;
    ASSERT_GT(start_serving(&mine), 0);
    EXPECT_EXIT(
        {
            alarm(90);
            XvfbServer s;
            _exit(start_serving(&s) > 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    xvfb_stop(&mine);
}

}  // namespace
