#include "platform/pulse.h"

#include <cstdio>
#include <cstring>

namespace {

void context_state_cb(pa_context *, void *ml) {
    pa_threaded_mainloop_signal((pa_threaded_mainloop *)ml, 0);
}

struct ServerInfoWait {
    pa_threaded_mainloop *ml;
    bool source;
    char *out;
    size_t size;
    bool found;
};

void server_info_cb(pa_context *, const pa_server_info *i, void *ud) {
    auto *w = (ServerInfoWait *)ud;
    const char *name = i ? (w->source ? i->default_source_name : i->default_sink_name) : nullptr;
    if (name && name[0]) {
        snprintf(w->out, w->size, "%s", name);
        w->found = true;
    }
    pa_threaded_mainloop_signal(w->ml, 0);
}

struct SinkWait {
    pa_threaded_mainloop *ml;
    VKO_PulseSink *out;
    bool found;
};

void sink_info_cb(pa_context *, const pa_sink_info *i, int eol, void *ud) {
    auto *w = (SinkWait *)ud;
    if (eol == 0 && i && !w->found) {
        w->found = true;
        w->out->index = i->index;
        w->out->mute = i->mute;
        w->out->format = i->sample_spec;
        snprintf(w->out->name, sizeof(w->out->name), "%s", i->name ? i->name : "");
        snprintf(w->out->monitor, sizeof(w->out->monitor), "%s",
                 i->monitor_source_name ? i->monitor_source_name : "");
    }
    pa_threaded_mainloop_signal(w->ml, 0);
}

}  // namespace

int vko_pulse_open(VKO_Pulse *p, const char *name) {
    p->ml = pa_threaded_mainloop_new();
    p->ctx = nullptr;
    if (!p->ml) return PA_ERR_INTERNAL;
    int err = 0;
    p->ctx = pa_context_new(pa_threaded_mainloop_get_api(p->ml), name);
    if (!p->ctx) {
        err = PA_ERR_INTERNAL;
    } else {
        // The loop is not running yet, so no lock is needed until it starts.
        pa_context_set_state_callback(p->ctx, context_state_cb, p->ml);
        if (pa_context_connect(p->ctx, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
            pa_threaded_mainloop_start(p->ml) < 0) {
            err = pa_context_errno(p->ctx);
        } else {
            PulseLock lock(p);
            for (;;) {
                pa_context_state_t st = pa_context_get_state(p->ctx);
                if (st == PA_CONTEXT_READY) break;
                if (!PA_CONTEXT_IS_GOOD(st)) {
                    err = pa_context_errno(p->ctx);
                    break;
                }
                pa_threaded_mainloop_wait(p->ml);
            }
        }
    }
    if (err) {
        if (err < 0 || err == PA_OK) err = PA_ERR_INTERNAL;
        vko_pulse_close(p);
    }
    return err;
}

void vko_pulse_close(VKO_Pulse *p) {
    if (!p->ml) return;
    pa_threaded_mainloop_stop(p->ml);  // loop thread joined: nothing runs concurrently now
    if (p->ctx) {
        pa_context_set_state_callback(p->ctx, nullptr, nullptr);
        pa_context_set_subscribe_callback(p->ctx, nullptr, nullptr);
        pa_context_disconnect(p->ctx);
        pa_context_unref(p->ctx);
    }
    pa_threaded_mainloop_free(p->ml);
    p->ml = nullptr;
    p->ctx = nullptr;
}

void vko_pulse_success_cb(pa_context *, int success, void *result) {
    auto *r = (PulseResult *)result;
    r->success = success;
    pa_threaded_mainloop_signal(r->ml, 0);
}

void vko_pulse_stream_success_cb(pa_stream *, int success, void *result) {
    vko_pulse_success_cb(nullptr, success, result);
}

bool vko_pulse_wait(VKO_Pulse *p, pa_operation *op) {
    if (!op) return false;
    pa_operation_state_t st;
    while ((st = pa_operation_get_state(op)) == PA_OPERATION_RUNNING) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(p->ctx))) break;
        pa_threaded_mainloop_wait(p->ml);
    }
    pa_operation_unref(op);
    return st == PA_OPERATION_DONE;
}

void vko_pulse_stream_state_cb(pa_stream *, void *pulse) {
    pa_threaded_mainloop_signal(((VKO_Pulse *)pulse)->ml, 0);
}

bool vko_pulse_wait_stream(VKO_Pulse *p, pa_stream *s, int *err) {
    for (;;) {
        pa_stream_state_t st = pa_stream_get_state(s);
        if (st == PA_STREAM_READY) return true;
        if (!PA_STREAM_IS_GOOD(st) || !PA_CONTEXT_IS_GOOD(pa_context_get_state(p->ctx))) {
            *err = pa_context_errno(p->ctx);
            if (*err == PA_OK) *err = PA_ERR_UNKNOWN;
            return false;
        }
        pa_threaded_mainloop_wait(p->ml);
    }
}

bool vko_pulse_default_device(VKO_Pulse *p, bool source, char *out, size_t size) {
    ServerInfoWait w{p->ml, source, out, size, false};
    vko_pulse_wait(p, pa_context_get_server_info(p->ctx, server_info_cb, &w));
    return w.found;
}

bool vko_pulse_sink(VKO_Pulse *p, const char *name, VKO_PulseSink *out) {
    char def[256];
    if (!name || !name[0]) {
        if (!vko_pulse_default_device(p, false, def, sizeof(def))) return false;
        name = def;
    }
    memset(out, 0, sizeof(*out));
    SinkWait w{p->ml, out, false};
    vko_pulse_wait(p, pa_context_get_sink_info_by_name(p->ctx, name, sink_info_cb, &w));
    return w.found;
}

int vko_pulse_errno(VKO_Pulse *p) {
    int e = p->ctx ? pa_context_errno(p->ctx) : PA_ERR_INTERNAL;
    return e == PA_OK ? PA_ERR_UNKNOWN : e;
}
