// Servers are forked by one thread that lives as long as the process (the
// spawner): a child's parent-death signal follows the thread that forked it,
// so a server forked by a test's short-lived thread would die with that
// thread. Each server gets SIGTERM when the process ends in any way, also by
// a crash or SIGKILL.
// - g_spawner is the spawner of the process named by its owner. A child
//   forked without exec (a death test, a test's own child) inherits the
//   pointer but not the thread, and perhaps a mutex the thread held at the
//   fork: the first start in the child sees the owner differ from its pid and
//   swaps in a spawner of its own (compare-exchange, so one per process), so
//   its servers end with the child.
// - g_pid is the test display's server (-1 when none), g_owner the process
//   that started it: set once by the start (under xvfb_display's once flag),
//   taken back to -1 by whoever stops it in that process (exchange, so only
//   one caller signals and reaps it). A forked child that exits leaves it to
//   the process that started it.
// - g_display is written only by the start, before xvfb_display returns it.
// - The spawner's job, submitted and finished are under its mutex; a caller
//   waits until finished reaches the number its job was given.
#include "support/xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

namespace {

std::atomic<pid_t> g_pid{-1};
std::atomic<pid_t> g_owner{-1};
std::string g_display;

// How long a start may take while the server lives: a loaded machine can
// take well over 20 s to bring up a large screen.
constexpr auto kStartWait = std::chrono::seconds(60);

struct Spawner {
    Spawner(pid_t o, Spawner *i) : owner(o), inherited(i) {}
    const pid_t owner;
    Spawner *const inherited;  // the forked-from process's, kept reachable
    std::mutex mutex;
    std::condition_variable cond;
    std::function<void()> job;
    uint64_t submitted = 0, finished = 0;
};

// Never freed: their threads use them until the process ends.
std::atomic<Spawner *> g_spawner{nullptr};

Spawner &spawner() {
    const pid_t me = getpid();
    Spawner *s = g_spawner.load();
    if (s && s->owner == me) return *s;
    Spawner *mine = new Spawner(me, s);
    if (!g_spawner.compare_exchange_strong(s, mine)) {
        delete mine;  // another thread of this process made one first
        return *s;
    }
    std::thread([mine] {
        std::unique_lock<std::mutex> lock(mine->mutex);
        for (;;) {
            mine->cond.wait(lock, [mine] { return mine->job != nullptr; });
            mine->job();
            mine->job = nullptr;
            mine->finished++;
            mine->cond.notify_all();
        }
    }).detach();
    return *mine;
}

void on_spawner(const std::function<void()> &fn) {
    Spawner &s = spawner();
    std::unique_lock<std::mutex> lock(s.mutex);
    s.cond.wait(lock, [&] { return s.job == nullptr; });
    s.job = fn;
    uint64_t mine = ++s.submitted;
    s.cond.notify_all();
    s.cond.wait(lock, [&] { return s.finished >= mine; });
}

void stop_pid(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

void stop_server() {
    if (g_owner.load() != getpid()) return;
    stop_pid(g_pid.exchange(-1));
}

bool exited(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
           info.si_pid == pid;
}

// Reads the display number Xvfb writes once it accepts connections, for as
// long as the server lives (at most kStartWait).
std::string read_display(int fd, pid_t pid) {
    std::string num;
    auto deadline = std::chrono::steady_clock::now() + kStartWait;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, 500);
        if (r < 0 && errno != EINTR) return "";
        if (r <= 0) {
            if (exited(pid)) return "";
            continue;
        }
        char c;
        if (read(fd, &c, 1) != 1) return "";  // the server ended
        if (c == '\n') return num.empty() ? "" : ":" + num;
        num += c;
    }
    return "";
}

std::string read_log(int fd) {
    std::string text;
    char buf[4096];
    off_t at = 0;
    for (ssize_t n; (n = pread(fd, buf, sizeof buf, at)) > 0; at += n)
        text.append(buf, static_cast<size_t>(n));
    return text;
}

// One server with these arguments (after "Xvfb -displayfd N") and these
// variables added to the environment: its process and display, or -1 and an
// empty display, with what it wrote printed.
pid_t launch(std::vector<std::string> args, std::string *display, std::vector<std::string> env = {}) {
    display->clear();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    // What the server says goes to a log, printed when the start fails.
    int log = memfd_create("xvfb-log", MFD_CLOEXEC);
    args.insert(args.begin(), {"Xvfb", "-displayfd", std::to_string(fds[1])});
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // An added variable replaces the process's own of that name.
    auto name = [](const std::string &v) { return v.substr(0, v.find('=') + 1); };
    size_t added = env.size();
    for (char **e = environ; *e; e++) {
        bool replaced = false;
        for (size_t i = 0; i < added && !replaced; i++) replaced = name(env[i]) == name(*e);
        if (!replaced) env.push_back(*e);
    }
    std::vector<char *> envp;
    for (std::string &e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    on_spawner([&] {
        pid_t parent = getpid();
        pid = fork();
        if (pid != 0) return;
        // Between fork and exec only async-signal-safe calls.
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent) _exit(127);
        fcntl(fds[1], F_SETFD, 0);
        int out = log >= 0 ? log : open("/dev/null", O_RDWR);
        dup2(out, 1);
        dup2(out, 2);
        execvpe("Xvfb", argv.data(), envp.data());
        _exit(127);
    });
    close(fds[1]);
    if (pid > 0) *display = read_display(fds[0], pid);
    close(fds[0]);
    if (pid > 0 && display->empty()) {
        stop_pid(pid);
        pid = -1;
        std::string said = log >= 0 ? read_log(log) : "";
        std::fprintf(stderr, "Xvfb did not start; it said:\n%s\n", said.empty() ? "(nothing)" : said.c_str());
    }
    if (log >= 0) close(log);
    return pid;
}

// Tries twice: a start under load may fail once (e.g. two servers racing
// for a display number).
pid_t launch_twice(const std::vector<std::string> &args, std::string *display,
                   const std::vector<std::string> &env = {}) {
    pid_t pid = launch(args, display, env);
    return pid > 0 ? pid : launch(args, display, env);
}

std::vector<std::string> screen_args(uint32_t width, uint32_t height) {
    return {"-screen", "0", std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten", "tcp"};
}

void start(uint32_t width, uint32_t height) {
    std::vector<std::string> args = screen_args(width, height);
    args.push_back("-noreset");
    std::string display;
    pid_t pid = launch_twice(args, &display);
    if (pid <= 0) return;
    g_display = display;
    g_owner = getpid();
    g_pid = pid;
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

int xvfb_pid() {
    return g_pid.load();
}

void xvfb_shutdown() {
    stop_server();
}

XvfbServer xvfb_start_other(const std::vector<std::string> &options, uint32_t width, uint32_t height,
                            const std::vector<std::string> &env) {
    std::vector<std::string> args = screen_args(width, height);
    args.insert(args.end(), options.begin(), options.end());
    XvfbServer s;
    s.pid = launch_twice(args, &s.display, env);
    if (s.pid <= 0) s.display.clear();
    return s;
}

void xvfb_stop(XvfbServer *s) {
    stop_pid(s->pid);
    s->pid = -1;
    s->display.clear();
}
