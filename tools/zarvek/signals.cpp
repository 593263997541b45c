// The program's stop signals. The handler runs on whichever thread the kernel
// picks and only sets `g_stop_signal` (atomic, first signal wins); the main
// thread's waits read it through stopping().
//
// A first SIGINT, SIGTERM or SIGHUP asks for a clean stop: the stream ends,
// the files are closed and the Xvfb is stopped at exit. The handler then puts
// the platform library's handler back, so a second one takes the crash path,
// which ends the children and the process at once.
#include "signals.h"

#include <signal.h>

#include <atomic>
#include <iterator>

namespace zv {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_crash_actions[std::size(kStopSignals)];
std::atomic<int> g_stop_signal{0};

void on_stop_signal(int sig) {
    int none = 0;
    g_stop_signal.compare_exchange_strong(none, sig);
    for (size_t k = 0; k < std::size(kStopSignals); k++)
        if (kStopSignals[k] == sig) sigaction(sig, &g_crash_actions[k], nullptr);
}

}  // namespace

void stop_on_signals() {
    struct sigaction sa = {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    for (size_t k = 0; k < std::size(kStopSignals); k++) sigaction(kStopSignals[k], &sa, &g_crash_actions[k]);
}

bool stopping() {
    return g_stop_signal.load() != 0;
}

int stop_signal() {
    return g_stop_signal.load();
}

}  // namespace zv
