// PulseAudio connection shared by playback and capture: one threaded main loop
// and one context per user. Every call into libpulse holds the loop's lock
// (PulseLock); callbacks run on the loop thread and only signal it. The
// waits below are called with the lock held and return once the thing they
// wait for is done or the context has failed.
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>

struct VKO_Pulse {
    pa_threaded_mainloop *ml;
    pa_context *ctx;
};

// Connects to the user's server (PULSE_SERVER or the default one, never
// autospawned). Returns 0 with the loop running and the context ready, else
// the libpulse error number (everything undone).
int vko_pulse_open(VKO_Pulse *p, const char *name);
void vko_pulse_close(VKO_Pulse *p);

class PulseLock {
   public:
    explicit PulseLock(const VKO_Pulse *p) : ml_(p->ml) { pa_threaded_mainloop_lock(ml_); }
    ~PulseLock() { pa_threaded_mainloop_unlock(ml_); }
    PulseLock(const PulseLock &) = delete;
    PulseLock &operator=(const PulseLock &) = delete;

   private:
    pa_threaded_mainloop *ml_;
};

// Outcome of a context operation that reports success (set by vko_pulse_success_cb).
struct PulseResult {
    pa_threaded_mainloop *ml;
    int success;
};
void vko_pulse_success_cb(pa_context *c, int success, void *result);
void vko_pulse_stream_success_cb(pa_stream *s, int success, void *result);

// Waits for op and releases it; false when it did not complete.
bool vko_pulse_wait(VKO_Pulse *p, pa_operation *op);

// Waits until the stream is ready; false (with the libpulse error) when it failed.
bool vko_pulse_wait_stream(VKO_Pulse *p, pa_stream *s, int *err);

// State callback for streams: signals the loop.
void vko_pulse_stream_state_cb(pa_stream *s, void *pulse);

// Name of the default sink (or source when source is true); false when unknown.
bool vko_pulse_default_device(VKO_Pulse *p, bool source, char *out, size_t size);

struct VKO_PulseSink {
    uint32_t index;
    int mute;
    pa_sample_spec format;
    char name[256];
    char monitor[256];
};
// Sink by name, NULL for the default sink; false when there is none.
bool vko_pulse_sink(VKO_Pulse *p, const char *name, VKO_PulseSink *out);

// Current libpulse error of the context.
int vko_pulse_errno(VKO_Pulse *p);
