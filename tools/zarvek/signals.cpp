// The program's stops. Model: `g_stop_signal` (atomic) holds the first stop
// signal, 0 before one; only the signal handler writes it, once, on whichever
// thread the kernel picks. `g_lost` (atomic) is 0 while every connection of
// ours has its display, then 1 (lost before any stop signal) or 2 (after
// one); only the first connection's exit handler to run writes it, on the
// thread whose call found the server gone. The main thread's waits and the
// threads it joins read both.
//
// A first SIGINT, SIGTERM or SIGHUP asks for a clean stop: the stream ends,
// the files are closed and the Xvfb is stopped at exit. Any second one, of
// whichever kind, ends the watched children (the peer's players) and then the
// process at once, by that signal, as the crash path does.
//
// A lost display stops the run as a first signal does: Xlib's exit handler
// of each connection of ours returns instead of ending the process, every
// later call on that connection fails at once, and nothing waits on it.
#include "signals.h"

#include <signal.h>

#include <atomic>

#include "app/shell.h"
#include "platform/log.h"
#include "platform/x11/error_trap.h"

// After the others: Xlib defines None.
#include <X11/Xlib.h>

namespace zv {
namespace {

std::atomic<int> g_stop_signal{0};
std::atomic<int> g_lost{0};

void on_stop_signal(int sig) {
    int none = 0;
    if (g_stop_signal.compare_exchange_strong(none, sig)) return;
    app_end_children();
    // Blocked while this handler runs: delivered, by its default action, as it returns.
    signal(sig, SIG_DFL);
    raise(sig);
}

void on_display_lost(Display *, void *) {
    int none = 0;
    if (g_lost.compare_exchange_strong(none, g_stop_signal.load() ? 2 : 1))
        VKO_Log("zarvek", "the connection to the X display was lost");
}

}  // namespace

void stop_on_signals() {
    struct sigaction sa = {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

bool stopping() {
    return g_stop_signal.load() != 0 || g_lost.load() != 0;
}

int stop_signal() {
    return g_stop_signal.load();
}

Display *open_display() {
    Display *dpy = XOpenDisplay(nullptr);
    if (!dpy) return nullptr;
    x11_keep_process_on_io_error();
    XSetIOErrorExitHandler(dpy, on_display_lost, nullptr);
    return dpy;
}

bool display_lost() {
    return g_lost.load() != 0;
}

bool display_lost_first() {
    return g_lost.load() == 1;
}

DisplayWatch::DisplayWatch() : dpy_(open_display()) {}

DisplayWatch::~DisplayWatch() {
    if (dpy_) XCloseDisplay(dpy_);
}

// Reads what the server sent, without a request: a closed connection is
// found at once. It selects no events, so its queue stays empty.
void DisplayWatch::poll() {
    if (dpy_) XPending(dpy_);
}

}  // namespace zv
