// The program's stop signals. The handler runs on whichever thread the kernel
// picks. Model: `g_stop_signal` (atomic) holds the first stop signal, 0 before
// one; only the handler writes it, once; the main thread's waits read it.
//
// A first SIGINT, SIGTERM or SIGHUP asks for a clean stop: the stream ends,
// the files are closed and the Xvfb is stopped at exit. Any second one, of
// whichever kind, ends the watched children (the peer's players) and then the
// process at once, by that signal, as the crash path does.
#include "signals.h"

#include <signal.h>

#include <atomic>

#include "app/shell.h"

namespace zv {
namespace {

std::atomic<int> g_stop_signal{0};

void on_stop_signal(int sig) {
    int none = 0;
    if (g_stop_signal.compare_exchange_strong(none, sig)) return;
    app_end_children();
    // Blocked while this handler runs: delivered, by its default action, as it returns.
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

void stop_on_signals() {
    struct sigaction sa = {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

bool stopping() {
    return g_stop_signal.load() != 0;
}

int stop_signal() {
    return g_stop_signal.load();
}

}  // namespace zv
