// The system's main job on one machine: a host streams up to three X
// displays to a client, both on loopback, connected through the signaling and
// STUN stand-ins, NAT traversal and BUD (or SCTP), optionally through the
// lossy relay. The client writes the video it receives as fragmented MP4, one
// file per display, and measures each frame from its capture on the host to
// its arrival and, on glass, from its paint to its window; it also sends a key
// and a click into a small window the program opens on the host display and
// reports whether they arrived.
//
// One file per concern: options (the command line and the settings it
// checks), signals (stops: signals and a lost display), pattern (the painted test pattern and its
// frame counter), timeline (the host's capture and encoder wrappers), h264
// (slice reading), sink (the MP4 files and frame matching), viewer (the client
// windows and screenshots), glass (the glass-to-glass watcher and stage
// timings), signaling (the host's signaling answers), route (candidate
// routing and the relay), input (the input demonstration), peer (the FFmpeg
// peer run), upnp (the port mapper), run (one run, start to end) and this
// file.
//
// This file: the entry. It reads the command line, starts the app context as
// the shell does (the data folder's settings, the start-up text, logging;
// what the library held before the logging started is said too), maps
// the host's ports when asked, runs, and reports a stop by signal. Main
// thread only.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/shell.h"
#include "options.h"
#include "platform/file.h"
#include "platform/log.h"
#include "run.h"
#include "signals.h"
#include "upnp.h"
#include "util/logger.h"

#if defined(__SANITIZE_ADDRESS__)
// miniupnpc parses HTTP numbers with strtol on a buffer without a terminator;
// strtol stops at the first non-digit, but strict string checks measure the
// whole buffer.
extern "C" const char *__asan_default_suppressions() {
    return "interceptor_via_lib:libminiupnpc.so\n";
}
// libxcb unregisters nothing on a connection in error: what a Vulkan swap
// chain registered stays when the display is lost.
extern "C" const char *__lsan_default_suppressions() {
    return "leak:xcb_register_for_special_xge\n";
}
#endif

namespace {

// Says what the library held before logging started (the store's complaints
// about config.json or config.txt) as warnings.
void say_held_lines() {
    app_context_held_lines([](const char *line, void *) { std::fprintf(stderr, "zarvek: %s\n", line); },
                           nullptr);
}

// Says when the log file cannot be written (opened as the log's writer opens
// it), as its writer drops the lines it cannot write without a word.
void check_log_file(const std::string &data) {
    const std::string path = data + "/" LOG_FILE_HOST;
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        std::fprintf(stderr, "zarvek: cannot write %s (%s); no log is kept\n", path.c_str(), strerror(errno));
    else
        close(fd);
}

}  // namespace

int main(int argc, char **argv) {
    using namespace zv;
    Options o;
    int code = 2;
    if (!parse(argc, argv, &o, &code)) return code;
    static AppContext app;
    VKO_SetCrashFunc(crash_callback, &app);
    stop_on_signals();
    // An output closed early (zarvek | head) must not end the program before
    // it has stopped what it started; writes to it just fail.
    signal(SIGPIPE, SIG_IGN);

    std::string data = o.data;
    if (data.empty()) data = std::string(VKO_GetDir(VKO_DIR_APPDATA)) + "/Zarvek";
    // Refused before anything is made, as the context would refuse it.
    if (!app_data_dir_fits(data.c_str())) {
        std::fprintf(stderr, "zarvek: the data folder's path is %zu bytes long, more than %d\n", data.size(),
                     APP_DATA_DIR_MAX - 1);
        return 2;
    }
    std::error_code ec;
    std::filesystem::create_directories(data, ec);
    if (ec) {
        std::fprintf(stderr, "zarvek: cannot make the data folder %s: %s\n", data.c_str(),
                     ec.message().c_str());
        return 1;
    }
    // The settings given on the command line are the start-up text.
    std::vector<const char *> startup = {argv[0]};
    for (const std::string &line : o.settings) startup.push_back(line.c_str());
    if (!app_context_init(&app, static_cast<int>(startup.size()), startup.data(), data.c_str(),
                          APP_FLAG_HOST)) {
        say_held_lines();
        std::fprintf(stderr, "zarvek: the settings could not be set up\n");
        return 1;
    }
    // Log lines go to log.txt; to the output too only when asked (the held
    // lines too, once the log writes them).
    log_set_console(o.verbose);
    if (!o.verbose) say_held_lines();
    app_logging_start(&app);
    app_context_follow_config(&app);
    log_message(LOG_LEVEL_FORCED, LOG_BANNER_START);
    check_log_file(data);

    int rc = settle_options(&o);
    if (rc == 0 && o.upnp) rc = upnp_start();
    if (rc == 0) rc = run(o);
    upnp_stop();
    // A display lost after a stop signal only cut short the stop.
    if (int sig = stop_signal(); sig && !display_lost_first()) {
        std::fprintf(stderr, "zarvek: stopped by signal %d (%s)\n", sig, strsignal(sig));
        rc = 128 + sig;
    }
    log_message(LOG_LEVEL_FORCED, LOG_BANNER_END, rc);
    app_context_shutdown(&app);
    return rc;
}
