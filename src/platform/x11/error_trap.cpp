#include "platform/x11/error_trap.h"

#include <mutex>

#include "platform/log.h"

namespace {

thread_local int *t_slot = nullptr;

int on_error(Display *, XErrorEvent *e) {
    if (t_slot) {
        if (!*t_slot) *t_slot = e->error_code;
    } else {
        VKO_Log("X11", "X error %d (request %d.%d)", e->error_code, e->request_code, e->minor_code);
    }
    return 0;
}

int on_io_error(Display *) {
    return 0;
}

}  // namespace

void x11_keep_process_on_io_error() {
    static std::once_flag once;
    std::call_once(once, [] { XSetIOErrorHandler(on_io_error); });
}

X11ErrorTrap::X11ErrorTrap(Display *dpy) : dpy_(dpy), outer_(t_slot) {
    static std::once_flag once;
    std::call_once(once, [] { XSetErrorHandler(on_error); });
    XSync(dpy_, False);
    t_slot = &code_;
}

X11ErrorTrap::~X11ErrorTrap() {
    XSync(dpy_, False);
    t_slot = outer_;
}

int X11ErrorTrap::sync() {
    XSync(dpy_, False);
    int c = code_;
    code_ = 0;
    return c;
}
