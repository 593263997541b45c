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
// checks), signals (stop signals), pattern (the painted test pattern and its
// frame counter), timeline (the host's capture and encoder wrappers), h264
// (slice reading), sink (the MP4 files and frame matching), viewer (the client
// windows and screenshots), glass (the glass-to-glass watcher and stage
// timings), signaling (the host's signaling answers), route (candidate
// routing and the relay), input (the input demonstration), peer (the FFmpeg
// peer run), run (one run, start to end) and this file.
//
// This file: the entry. It reads the command line, starts the app context as
// the shell does (the data folder's settings, the start-up text, logging),
// maps the host's ports when asked, runs, and reports a stop by signal. Main
// thread only; the UPnP mapper runs on a thread of its own that the main
// thread stops before it exits.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/shell.h"
#include "connection/upnp.h"
#include "options.h"
#include "platform/file.h"
#include "platform/log.h"
#include "platform/thread.h"
#include "run.h"
#include "signals.h"
#include "util/config.h"
#include "util/logger.h"

#if defined(__SANITIZE_ADDRESS__)
// miniupnpc parses HTTP numbers with strtol on a buffer without a terminator;
// strtol stops at the first non-digit, but strict string checks measure the
// whole buffer.
extern "C" const char *__asan_default_suppressions() {
    return "interceptor_via_lib:libminiupnpc.so\n";
}
#endif

namespace {

// The host's UPnP mapper, as the hosting supervisor starts it: the server
// start port and the three after it, when network_upnp allows. 0, 2 for a
// start port outside the range, 1 when the thread could not start.
int start_upnp(UpnpMapRequest *req) {
    if (!config_get_bool(CONFIG_LAYER_MERGED, "network_upnp", 0)) {
        std::printf("upnp: off (network_upnp)\n");
        return 0;
    }
    const int32_t base = config_get_int(CONFIG_LAYER_MERGED, "network_server_start_port", 0);
    if (base < 1 || base > 65535 - 3) {
        std::fprintf(stderr, "zarvek: --upnp needs network_server_start_port from 1 to 65532 (it is %d)\n",
                     base);
        return 2;
    }
    req->base = static_cast<uint16_t>(base);
    req->count = 4;
    req->wake = VKO_WaitableCreate();
    req->thread = VKO_ThreadCreate(upnp_map_thread, req);
    std::printf("upnp: mapping UDP ports %d to %d\n", base, base + 3);
    return req->thread ? 0 : 1;
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
        std::fprintf(stderr, "zarvek: the settings could not be set up\n");
        return 1;
    }
    app_logging_start(&app);
    app_context_follow_config(&app);
    log_message(LOG_LEVEL_FORCED, LOG_BANNER_START);

    int rc = settle_options(&o);
    UpnpMapRequest upnp = {};
    if (rc == 0 && o.upnp) rc = start_upnp(&upnp);
    if (rc == 0) rc = run(o);
    if (upnp.thread) {
        upnp_map_stop(&upnp);
        VKO_WaitableDestroy(&upnp.wake);
    }
    if (int sig = stop_signal()) {
        std::fprintf(stderr, "zarvek: stopped by signal %d (%s)\n", sig, strsignal(sig));
        rc = 128 + sig;
    }
    log_message(LOG_LEVEL_FORCED, LOG_BANNER_END, rc);
    app_context_shutdown(&app);
    return rc;
}
