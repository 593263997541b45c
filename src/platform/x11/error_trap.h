// X protocol errors arrive asynchronously through one process-wide handler;
// Xlib's default ends the process. The trap's handler records the first error
// of the thread that holds a trap (any display), and only logs the others.
// A library that installs handlers of its own over ours (the web view's
// toolkit) hands them back through x11_reclaim_error_handlers: its handlers
// then serve only its own connection.
#pragma once

#include <X11/Xlib.h>

class X11ErrorTrap {
   public:
    explicit X11ErrorTrap(Display *dpy);
    ~X11ErrorTrap();
    // Waits for the server to handle every request so far; the first error
    // code seen since the trap was set (0: none), then clears it.
    int sync();

   private:
    Display *dpy_;
    int code_ = 0;
    int *outer_;
};

// Lets a connection's own IO-error exit handler decide what a lost server
// means: Xlib's default IO-error handler ends the process before that
// handler runs. Process-wide; every connection that can lose its server
// must then set an exit handler of its own (XSetIOErrorExitHandler).
void x11_keep_process_on_io_error();

// Keeps the process when this connection loses its server: the handler above,
// and an exit handler of the connection's own that logs the loss and returns.
// Every later call on the connection then fails at once; XNextEvent may only
// follow a positive XPending.
void x11_outlive_server(Display *dpy);

// Puts our protocol and IO error handlers back in force after another library
// replaced them; the handlers it installed go on receiving the errors of its
// own connection `foreign`, and only those.
void x11_reclaim_error_handlers(Display *foreign);
