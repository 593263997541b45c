#include "support/xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

pid_t g_pid = -1;
std::string g_display;

void stop_server() {
    if (g_pid <= 0) return;
    kill(g_pid, SIGTERM);
    waitpid(g_pid, nullptr, 0);
    g_pid = -1;
}

// Reads the display number Xvfb writes once it accepts connections.
std::string read_display(int fd) {
    std::string num;
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0) return "";
        char c;
        if (read(fd, &c, 1) != 1) return "";
        if (c == '\n') return num.empty() ? "" : ":" + num;
        num += c;
    }
}

void start(uint32_t width, uint32_t height) {
    int fds[2];
    if (pipe(fds) != 0) return;
    std::string fd = std::to_string(fds[1]);
    std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp",
               "-noreset", (char *)nullptr);
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return;
    }
    g_pid = pid;
    g_display = read_display(fds[0]);
    close(fds[0]);
    if (g_display.empty()) {
        stop_server();
        return;
    }
    setenv("DISPLAY", g_display.c_str(), 1);
    atexit(stop_server);
}

}  // namespace

const std::string &xvfb_display(uint32_t width, uint32_t height) {
    static std::once_flag once;
    std::call_once(once, start, width, height);
    return g_display;
}

int xvfb_run(const std::string &command) {
    if (xvfb_display().empty()) return -1;
    int r = system(command.c_str());
    return WIFEXITED(r) ? WEXITSTATUS(r) : -1;
}

XvfbServer xvfb_start_other(const std::vector<std::string> &options, uint32_t width, uint32_t height) {
    XvfbServer s;
    int fds[2];
    if (pipe(fds) != 0) return s;
    const std::string fd = std::to_string(fds[1]);
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    std::vector<std::string> args = {"Xvfb", "-displayfd", fd, "-screen", "0", screen, "-nolisten", "tcp"};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        execvp("Xvfb", argv.data());
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return s;
    }
    s.pid = pid;
    s.display = read_display(fds[0]);
    close(fds[0]);
    if (s.display.empty()) xvfb_stop(&s);
    return s;
}

void xvfb_stop(XvfbServer *s) {
    if (s->pid > 0) {
        kill(s->pid, SIGTERM);
        waitpid(s->pid, nullptr, 0);
    }
    s->pid = -1;
    s->display.clear();
}
