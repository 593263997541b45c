// The peer: display 0 grabbed by ffmpeg (x11grab), encoded by libx264 with
// its zero-latency tuning at our bitrate, sent as MPEG-TS over loopback UDP
// to ffplay, whose window sits where the client's window was, at its size.
// Its strip is read back as the client windows' was.
//
// Threads: the main thread alone, after the stream has ended; the two
// players are watched children of the shell (the crash path ends them) until
// they are ended here. Both are checked while the window is looked for and
// while it is measured: a player that ended early leaves no figure.
#include "peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/shell.h"
#include "glass.h"
#include "platform/log.h"
#include "platform/x11/error_trap.h"
#include "signals.h"
#include "timeline.h"
#include "viewer.h"

// After the others: Xlib defines None.
#include <X11/Xlib.h>

namespace zv {

using namespace std::chrono_literals;

namespace {

pid_t spawn(const std::vector<std::string> &args, const std::string &log) {
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&files, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &files, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&files);
    app_watch_child(pid);
    return pid;
}

// One of the two players: a child we started (pid -1 when it could not be).
struct Player {
    const char *name;
    pid_t pid;
    bool ended = false;  // collected: it ended by itself
    int status = 0;

    // Whether it has ended by itself (collected then, so it is never signalled).
    bool gone() {
        if (pid > 0 && !ended && waitpid(pid, &status, WNOHANG) == pid) {
            ended = true;
            app_unwatch_child(pid);
        }
        return ended;
    }

    std::string how() const {
        char text[96];
        if (WIFSIGNALED(status))
            std::snprintf(text, sizeof text, "was ended by signal %d (%s)", WTERMSIG(status),
                          strsignal(WTERMSIG(status)));
        else
            std::snprintf(text, sizeof text, "exited with status %d", WEXITSTATUS(status));
        return text;
    }

    // Ends it, by its id, if it still runs: politely, then for good.
    void end() {
        if (pid <= 0 || gone()) return;
        app_unwatch_child(pid);
        kill(pid, SIGTERM);
        for (int i = 0; i < 200; i++) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) return;
            std::this_thread::sleep_for(10ms);
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

// A loopback UDP port nobody holds right now.
uint16_t free_udp_port() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

// The top-level window with this name, once it has the given size.
Window find_window(Display *dpy, const char *name, uint32_t width, uint32_t height) {
    Window root, parent, *children = nullptr, found = 0;
    unsigned n = 0;
    if (!XQueryTree(dpy, DefaultRootWindow(dpy), &root, &parent, &children, &n)) return 0;
    for (unsigned i = 0; i < n && !found; i++) {
        char *title = nullptr;
        XWindowAttributes a;
        if (XFetchName(dpy, children[i], &title) && title && std::strcmp(title, name) == 0 &&
            XGetWindowAttributes(dpy, children[i], &a) && a.map_state == IsViewable &&
            static_cast<uint32_t>(a.width) == width && static_cast<uint32_t>(a.height) == height)
            found = children[i];
        if (title) XFree(title);
    }
    if (children) XFree(children);
    return found;
}

}  // namespace

bool run_peer(const Options &o, const std::string &out, uint32_t bitrate_mbit) {
    const DisplayOutput &d = g_timeline.outputs[0];
    const uint32_t w = g_viewer.width, h = g_viewer.height;
    const uint16_t port = free_udp_port();
    if (!port) {
        std::printf("peer: no loopback UDP port\n");
        return false;
    }
    const std::string url = "udp://127.0.0.1:" + std::to_string(port);
    const char *kTitle = "zarvek peer";
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    setenv("SDL_VIDEODRIVER", "x11", 1);
    pid_t player = spawn({"ffplay",
                          "-hide_banner",
                          "-nostats",
                          "-loglevel",
                          "warning",
                          "-an",
                          "-sn",
                          "-f",
                          "mpegts",
                          "-fflags",
                          "nobuffer",
                          "-flags",
                          "low_delay",
                          "-framedrop",
                          "-sync",
                          "video",
                          "-probesize",
                          "32",
                          "-analyzeduration",
                          "0",
                          "-window_title",
                          kTitle,
                          "-left",
                          std::to_string(o.width * o.displays),
                          "-top",
                          "0",
                          "-x",
                          std::to_string(w),
                          "-y",
                          std::to_string(h),
                          "-noborder",
                          url},
                         out + "/peer-ffplay.log");
    std::this_thread::sleep_for(500ms);  // its socket open before the first packet
    const std::string rate = std::to_string(bitrate_mbit) + "M";
    char input[64];
    std::snprintf(input, sizeof input, "%s+%d,%d", std::getenv("DISPLAY"), d.left, d.top);
    pid_t grabber = spawn({"ffmpeg",
                           "-hide_banner",
                           "-nostats",
                           "-loglevel",
                           "warning",
                           "-f",
                           "x11grab",
                           "-draw_mouse",
                           "0",
                           "-framerate",
                           std::to_string(o.fps),
                           "-video_size",
                           std::to_string(d.width) + "x" + std::to_string(d.height),
                           "-i",
                           input,
                           "-c:v",
                           "libx264",
                           "-preset",
                           "ultrafast",
                           "-tune",
                           "zerolatency",
                           "-b:v",
                           rate,
                           "-maxrate",
                           rate,
                           "-bufsize",
                           rate,
                           "-pix_fmt",
                           "yuv420p",
                           "-flush_packets",
                           "1",
                           "-muxdelay",
                           "0",
                           "-muxpreload",
                           "0",
                           "-f",
                           "mpegts",
                           url + "?pkt_size=1316"},
                          out + "/peer-ffmpeg.log");
    Player players[] = {{"ffplay", player}, {"ffmpeg", grabber}};
    // The first player that has ended by itself, if any.
    auto ended = [&]() -> Player * {
        for (Player &p : players)
            if (p.gone()) return &p;
        return nullptr;
    };
    Window win = 0;
    bool measured = false;
    if (player <= 0 || grabber <= 0) {
        std::printf("peer: %s could not be started\n", player <= 0 ? "ffplay" : "ffmpeg");
    } else if (Display *dpy = open_display()) {
        for (int i = 0; i < 1000 && !win && !ended() && !stopping(); i++) {
            win = find_window(dpy, kTitle, w, h);
            if (!win) std::this_thread::sleep_for(10ms);
        }
        XCloseDisplay(dpy);
    }
    if (player > 0 && grabber > 0 && !win && !ended() && !stopping()) {
        std::printf("peer: ffplay showed no window (see %s/peer-*.log)\n", out.c_str());
    } else if (win) {
        std::printf("peer: ffplay shows display 0; measuring for %g s\n", o.duration);
        std::fflush(stdout);
        GlassWatch glass;
        glass.start({static_cast<unsigned long>(win)}, double(w) / d.width);
        const int64_t begin = VKO_GetTime();
        while (VKO_TimeDiff(begin, VKO_GetTime()) < o.duration * 1000 && !stopping() && !ended())
            std::this_thread::sleep_for(10ms);
        const double secs = VKO_TimeDiff(begin, VKO_GetTime()) / 1000;
        std::vector<std::vector<double>> seen = glass.stop();
        if (!ended() && !display_lost()) {
            if (Display *dpy = open_display()) {
                {
                    X11ErrorTrap trap(dpy);
                    save_png(out + "/peer0.png", grab_rgb(dpy, win, 0, 0, w, h), w, h);
                }
                XCloseDisplay(dpy);
            }
            if (stopping()) std::printf("peer: the stop cut the measurement short after %.1f s\n", secs);
            print_glass("peer (ffmpeg x11grab, libx264 ultrafast zerolatency, MPEG-TS over UDP, ffplay)",
                        seen[0]);
            measured = true;
        }
    }
    if (Player *p = ended())
        std::printf(
            "peer: %s ended early: it %s (see %s/peer-%s.log); no glass-to-glass figure for the peer\n",
            p->name, p->how().c_str(), out.c_str(), p->name);
    players[1].end();
    players[0].end();
    return measured;
}

}  // namespace zv
