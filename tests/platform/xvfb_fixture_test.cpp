// The test display's fixture: its server ends with the process that started
// it, even one that aborts, and a start the server refuses is tried again with
// what the server said printed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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

}  // namespace
