#include "support/xclip.h"

#include <X11/extensions/Xfixes.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

extern char **environ;

XclipOwner::XclipOwner(const std::string &data, const char *type) {
    int in[2];
    if (pipe(in) != 0) return;
    std::vector<const char *> argv = {"xclip", "-quiet", "-selection", "clipboard", "-i"};
    if (type) {
        argv.push_back("-t");
        argv.push_back(type);
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_addclose(&fa, in[1]);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    if (posix_spawnp(&pid, "xclip", &fa, nullptr, (char **)argv.data(), environ) == 0) pid_ = pid;
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    for (size_t off = 0; off < data.size();) {
        ssize_t n = write(in[1], data.data() + off, data.size() - off);
        if (n <= 0) break;
        off += (size_t)n;
    }
    close(in[1]);
}

XclipOwner::~XclipOwner() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
}

std::string xclip_read(const char *target) {
    std::string cmd = "timeout 5 xclip -o -selection clipboard";
    if (target) cmd += std::string(" -t ") + target;
    cmd += " 2>/dev/null";
    FILE *f = popen(cmd.c_str(), "r");
    if (!f) return "";
    std::string out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof(buf), f)) > 0;) out.append(buf, n);
    pclose(f);
    return out;
}

ClipboardWatcher::ClipboardWatcher() {
    dpy_ = XOpenDisplay(nullptr);
    int base, err;
    if (!dpy_ || !XFixesQueryExtension(dpy_, &base, &err) || pipe(wake_) != 0) return;
    XFixesSelectSelectionInput(dpy_, DefaultRootWindow(dpy_), XInternAtom(dpy_, "CLIPBOARD", False),
                               XFixesSetSelectionOwnerNotifyMask);
    XSync(dpy_, False);
    thread_ = std::thread([this] { run(); });
}

ClipboardWatcher::~ClipboardWatcher() {
    if (thread_.joinable()) {
        char c = 0;
        if (write(wake_[1], &c, 1) != 1) perror("wake");
        thread_.join();
    }
    for (int fd : wake_)
        if (fd >= 0) close(fd);
    if (dpy_) XCloseDisplay(dpy_);
}

std::chrono::steady_clock::time_point ClipboardWatcher::last() const {
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(last_ns_.load()));
}

void ClipboardWatcher::run() {
    for (;;) {
        while (XPending(dpy_)) {
            XEvent ev;
            XNextEvent(dpy_, &ev);
            last_ns_.store(std::chrono::steady_clock::now().time_since_epoch().count());
            changes_.fetch_add(1);
        }
        pollfd p[2] = {{ConnectionNumber(dpy_), POLLIN, 0}, {wake_[0], POLLIN, 0}};
        poll(p, 2, -1);
        if (p[1].revents) return;
    }
}
