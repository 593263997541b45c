// Stops: a first SIGINT, SIGTERM or SIGHUP asks for a clean stop; a lost X
// display stops the run too, with an error.
#pragma once

struct _XDisplay;  // Xlib's Display, without its macros

namespace zv {

// Installs the stop handlers (after the platform's crash handlers).
void stop_on_signals();
// Whether a stop signal arrived or the display was lost; every wait polls it.
bool stopping();
// The first stop signal, 0 for none.
int stop_signal();

// A connection of the program's own to the display (nullptr when it cannot
// be made): its loss, however the server ended, is noted as a stop instead
// of ending the process.
_XDisplay *open_display();
// Whether a connection of the program's own lost the display, and whether
// that came before any stop signal.
bool display_lost();
bool display_lost_first();

// A connection the main thread polls in its waits, so a lost display is
// noticed while no other connection of ours is in use.
class DisplayWatch {
   public:
    DisplayWatch();
    ~DisplayWatch();
    DisplayWatch(const DisplayWatch &) = delete;
    DisplayWatch &operator=(const DisplayWatch &) = delete;
    void poll();

   private:
    _XDisplay *dpy_;
};

}  // namespace zv
