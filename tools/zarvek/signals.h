// Stop signals: a first SIGINT, SIGTERM or SIGHUP asks for a clean stop.
#pragma once

namespace zv {

// Installs the stop handlers (after the platform's crash handlers).
void stop_on_signals();
// Whether a stop signal arrived; the main thread's waits poll it.
bool stopping();
// The first stop signal, 0 for none.
int stop_signal();

}  // namespace zv
