// Model: t_slot is the innermost trap of the calling thread (nullptr: none);
// only that thread changes it. g_foreign is the connection of a library whose
// handlers we took back, with those handlers: filled once, under g_mutex, by
// x11_reclaim_error_handlers, then published through g_have_foreign and never
// changed; the handlers read it on any thread that reads a connection.
// Always: our handlers are the process-wide ones once installed, and a
// foreign handler only ever sees errors of its own connection.
#include "platform/x11/error_trap.h"

#include <atomic>
#include <mutex>

#include "platform/log.h"

namespace {

thread_local int *t_slot = nullptr;

struct Foreign {
    Display *dpy;
    XErrorHandler error;
    XIOErrorHandler io;
};
std::mutex g_mutex;
Foreign g_foreign;
std::atomic<bool> g_have_foreign{false};

const Foreign *foreign_of(Display *dpy) {
    return g_have_foreign.load(std::memory_order_acquire) && dpy == g_foreign.dpy ? &g_foreign : nullptr;
}

int on_error(Display *dpy, XErrorEvent *e) {
    const Foreign *f = foreign_of(dpy);
    if (f && f->error) return f->error(dpy, e);
    if (t_slot) {
        if (!*t_slot) *t_slot = e->error_code;
    } else {
        VKO_Log("X11", "X error %d (request %d.%d)", e->error_code, e->request_code, e->minor_code);
    }
    return 0;
}

int on_io_error(Display *dpy) {
    const Foreign *f = foreign_of(dpy);
    if (f && f->io) return f->io(dpy);
    return 0;
}

std::once_flag g_error_once, g_io_once;

}  // namespace

void x11_keep_process_on_io_error() {
    std::call_once(g_io_once, [] { XSetIOErrorHandler(on_io_error); });
}

void x11_outlive_server(Display *dpy) {
    if (!dpy) return;
    x11_keep_process_on_io_error();
    XSetIOErrorExitHandler(
        dpy, [](Display *, void *) { VKO_Log("X11", "connection to the X server lost"); }, nullptr);
}

void x11_reclaim_error_handlers(Display *foreign) {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::call_once(g_error_once, [] {});
    std::call_once(g_io_once, [] {});
    XErrorHandler error = XSetErrorHandler(on_error);
    XIOErrorHandler io = XSetIOErrorHandler(on_io_error);
    if (!foreign || g_have_foreign.load()) return;  // one foreign connection per process
    g_foreign = {foreign, error != on_error ? error : nullptr, io != on_io_error ? io : nullptr};
    g_have_foreign.store(true, std::memory_order_release);
}

X11ErrorTrap::X11ErrorTrap(Display *dpy) : dpy_(dpy), outer_(t_slot) {
    std::call_once(g_error_once, [] { XSetErrorHandler(on_error); });
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
