// Audio capture rows on PulseAudio.
//
// Threads and shared state:
// - The host audio thread owns a capture handle and makes every call on it.
// - Each handle has its own server connection (VKO_Pulse); its loop thread
//   runs the stream and mix callbacks. Stream and mix state is touched only
//   with that connection's loop lock held.
// - Per-application capture adds an activation thread. ExclusiveCapture::state
//   (atomic) is 1 while the set of monitored applications must be rebuilt and
//   2 once it is capturing; the activation thread replaces client and mix only
//   in state 1 (setting them, under the loop lock, just before state 2) and
//   the poll reads the mix only in state 2. target (atomic) is the target's
//   process id, written by the audio thread and read by the activation
//   thread, which builds each activation for one target and keeps a result
//   only while that is still the target.
// - An activation (AudioActivation) is touched under its connection's loop
//   lock; its handler reference is dropped once, either on the loop thread
//   when it completes or when it is freed before that.
//   Whichever of the mix and the plain loopback below it is not serving a
//   poll has its gathered audio dropped by that poll, so a switch between
//   them never replays old sound.
// - The application-fed queue is pushed by the application and polled by the
//   audio thread under its own mutex.
// - g_endpoint_ok / g_exclusive_ok (process-wide, atomic): whether the last
//   start of each family succeeded, so a run of failures is logged once.
#include "host/audio_capture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "connection/udp.h"
#include "host/audio_mix.h"
#include "platform/log.h"
#include "platform/map.h"
#include "platform/memory.h"
#include "platform/pulse.h"
#include "platform/resampler.h"
#include "platform/thread.h"
#include "util/logger.h"
#include "util/winutil.h"

namespace {

constexpr uint32_t RATE = 48000;
constexpr uint32_t LOOPBACK_STAGING = 48000;  // frames
constexpr uint32_t MIC_STAGING = 1440;        // frames
constexpr uint32_t FRAGMENT_US = 10000;
constexpr uint32_t NO_PROCESS = 0xFFFFFFFFu;

std::atomic<bool> g_endpoint_ok{true};
std::atomic<bool> g_exclusive_ok{true};

bool no_selection(const char *s) {
    return !s || !s[0] || strcmp(s, "none") == 0;
}

void log_call(const char *op, const char *call, int line, int32_t code) {
    log_message(LOG_LEVEL_INFO, "* %s/%s[%d] = %d", op, call, line, code);
}

}  // namespace

// Endpoint capture (loopback and microphone).
struct EndpointCapture {
    uint16_t channels;
    uint32_t block;  // bytes per frame
    VKO_Pulse pulse;
    pa_stream *stream;  // the output's monitor or the microphone
    AudioMix *mix;      // instead of stream while the output is muted
    char sink[256];     // loopback: the output
    uint32_t start_mute;
    uint8_t mute_endpoint;
    uint8_t *staging;
    uint32_t staging_size;
    uint32_t staged;
    int voice;
    VKO_Hash *attempts;  // process id -> voice activation attempts
};

namespace {

int open_voice_socket(int32_t *code) {
    // Loopback only: the sender is local, and nobody else may switch the
    // centre cancellation on.
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(AUDIO_VOICE_PORT);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s >= 0 && bind(s, (sockaddr *)&a, sizeof(a)) == 0) return s;
    *code = NET_ERROR_BASE - network_error_code(errno);
    if (s >= 0) close(s);
    return -1;
}

bool accept_all(uint32_t, void *) {
    return true;
}

bool sink_muted(EndpointCapture *c) {
    VKO_PulseSink s;
    return vko_pulse_sink(&c->pulse, c->sink, &s) && s.mute;
}

bool set_sink_mute(EndpointCapture *c, bool on) {
    PulseResult r{c->pulse.ml, 0};
    return vko_pulse_wait(&c->pulse, pa_context_set_sink_mute_by_name(c->pulse.ctx, c->sink, on,
                                                                      vko_pulse_success_cb, &r)) &&
           r.success;
}

struct SourceWait {
    pa_threaded_mainloop *ml;
    bool found;
};

bool source_exists(VKO_Pulse *p, const char *name) {
    SourceWait w{p->ml, false};
    vko_pulse_wait(p, pa_context_get_source_info_by_name(
                          p->ctx, name,
                          [](pa_context *, const pa_source_info *i, int eol, void *ud) {
                              auto *w = (SourceWait *)ud;
                              if (!eol && i) w->found = true;
                              pa_threaded_mainloop_signal(w->ml, 0);
                          },
                          &w));
    return w.found;
}

// Opens the capture stream; loop lock held. 0 or the libpulse error, with the
// failing step's name in *call.
int open_endpoint(EndpointCapture *c, const char *device, bool microphone, const char **call) {
    VKO_Pulse *p = &c->pulse;
    char source[256] = "";
    VKO_PulseSink sink;
    if (device && device[0]) {
        bool found = microphone ? source_exists(p, device) : vko_pulse_sink(p, device, &sink);
        if (found)
            snprintf(microphone ? source : c->sink, 256, "%s", device);
        else
            log_call("acapture_start_any", "GetDevice", __LINE__, vko_pulse_errno(p));
    }
    if (microphone && !source[0] && !vko_pulse_default_device(p, true, source, sizeof(source))) {
        *call = "GetDefaultAudioEndpoint";
        return vko_pulse_errno(p);
    }
    if (!microphone) {
        if (!vko_pulse_sink(p, c->sink[0] ? c->sink : nullptr, &sink)) {
            *call = "GetDefaultAudioEndpoint";
            return vko_pulse_errno(p);
        }
        snprintf(c->sink, sizeof(c->sink), "%s", sink.name);
        snprintf(source, sizeof(source), "%s", sink.monitor);
        c->start_mute = sink.mute != 0;
    }
    int err = 0;
    if (!microphone && (c->start_mute || c->mute_endpoint)) {
        // A muted output also silences its monitor; hear its applications instead.
        c->mix = audio_mix_create(p, c->sink, accept_all, nullptr, nullptr, nullptr, &err);
        if (!c->mix) *call = "Initialize";
        return err;
    }
    pa_sample_spec ss{PA_SAMPLE_S16LE, RATE, (uint8_t)c->channels};
    c->stream = pa_stream_new(p->ctx, microphone ? "microphone" : "loopback", &ss, nullptr);
    if (!c->stream) {
        *call = "Activate";
        return vko_pulse_errno(p);
    }
    pa_stream_set_state_callback(c->stream, vko_pulse_stream_state_cb, p);
    pa_buffer_attr attr{RATE * c->block, (uint32_t)-1, (uint32_t)-1, (uint32_t)-1,
                        (uint32_t)pa_usec_to_bytes(FRAGMENT_US, &ss)};
    if (pa_stream_connect_record(c->stream, source, &attr, PA_STREAM_ADJUST_LATENCY) < 0 ||
        !vko_pulse_wait_stream(p, c->stream, &err)) {
        *call = "Initialize";
        return err ? err : vko_pulse_errno(p);
    }
    return 0;
}

void close_endpoint(EndpointCapture *c) {
    if (c->pulse.ml) {
        {
            PulseLock lock(&c->pulse);
            if (c->stream) {
                pa_stream_set_state_callback(c->stream, nullptr, nullptr);
                // A failed stop is worth a line only for a capture that ran.
                bool ran = pa_stream_get_state(c->stream) == PA_STREAM_READY;
                if (pa_stream_disconnect(c->stream) < 0 && ran)
                    log_call("acapture_stop", "Stop", __LINE__, vko_pulse_errno(&c->pulse));
                pa_stream_unref(c->stream);
            }
            audio_mix_destroy(&c->mix);
        }
        vko_pulse_close(&c->pulse);
    }
    if (c->voice >= 0) {
        shutdown(c->voice, SHUT_RDWR);
        close(c->voice);
    }
    VKO_HashDestroy(&c->attempts, nullptr);
    VKO_Free(c->staging);
    VKO_Free(c);
}

}  // namespace

int32_t acapture_start_any(void **handle, const char *device_id, uint8_t mute_endpoint,
                           const char *app_selection, uint8_t microphone) {
    const bool was_ok = g_endpoint_ok.load();
    if (was_ok && !microphone && no_selection(app_selection))
        log_message(LOG_LEVEL_DEBUG, "Initializing with normal audio capture");
    auto *c = (EndpointCapture *)VKO_Alloc(1, sizeof(EndpointCapture));
    c->voice = -1;
    c->attempts = VKO_HashCreate(200);
    c->channels = microphone ? 1 : 2;
    c->block = c->channels * 2u;
    c->mute_endpoint = microphone ? 0 : mute_endpoint;
    const char *call = "CoCreateInstance";
    int err = vko_pulse_open(&c->pulse, microphone ? "microphone" : "loopback");
    if (!err) {
        PulseLock lock(&c->pulse);
        err = open_endpoint(c, device_id, microphone, &call);
        if (!err && !microphone && !c->start_mute && c->mute_endpoint && !set_sink_mute(c, true)) {
            call = "GetMute";
            err = vko_pulse_errno(&c->pulse);
        }
    }
    if (err) {
        bool quiet = !was_ok && (!strcmp(call, "GetDefaultAudioEndpoint") || !strcmp(call, "Initialize"));
        if (!quiet) log_call("acapture_start_any", call, __LINE__, err);
        g_endpoint_ok = false;
        close_endpoint(c);
        *handle = nullptr;
        return AUDIO_ERR_START;
    }
    c->staging_size = (microphone ? MIC_STAGING : LOOPBACK_STAGING) * c->block;
    c->staging = (uint8_t *)VKO_Alloc(c->staging_size, 1);
    if (!microphone && no_selection(app_selection)) {
        int32_t code = 0;
        c->voice = open_voice_socket(&code);
        if (c->voice < 0) log_message(LOG_LEVEL_INFO, "* %s[%d] = %d", "acapture_start_any", __LINE__, code);
    }
    g_endpoint_ok = true;
    *handle = c;
    return 0;
}

int32_t acapture_start_loopback(void **handle, const char *device_id, uint8_t mute_endpoint,
                                const char *app_selection) {
    return acapture_start_any(handle, device_id, mute_endpoint, app_selection, 0);
}

int32_t acapture_start_mic(void **handle, const char *device_id, uint8_t mute_endpoint,
                           const char *app_selection) {
    return acapture_start_any(handle, device_id, mute_endpoint, app_selection, 1);
}

namespace {

// Stages new audio and hands out frames once enough is staged. The queue
// holds a second (30 ms with short_queue). New audio that does not fit pushes
// out the oldest: dropping the new packet whole would starve a short queue fed
// packets longer than its free room for good. Sizes are whole frames.
int32_t fifo_take(uint8_t *staging, uint32_t size, uint32_t *staged, uint32_t capacity, const void *data,
                  uint32_t bytes, void *out, uint32_t want) {
    if (capacity > size) capacity = size;
    if (bytes > capacity) {
        data = (const uint8_t *)data + (bytes - capacity);
        bytes = capacity;
    }
    if (*staged + bytes > capacity) {
        uint32_t drop = *staged + bytes - capacity;
        memmove(staging, staging + drop, *staged - drop);
        *staged -= drop;
    }
    if (bytes) memcpy(staging + *staged, data, bytes);
    *staged += bytes;
    if (*staged < want) return AUDIO_NOT_ENOUGH;
    memcpy(out, staging, want);
    memmove(staging, staging + want, *staged - want);
    *staged -= want;
    return 0;
}

int32_t acapture_fifo_take(EndpointCapture *c, const void *data, uint32_t bytes, int16_t *out,
                           uint32_t frames, uint8_t short_queue) {
    uint32_t capacity = c->block * RATE;
    if (short_queue) capacity = capacity * 3 / 100;
    return fifo_take(c->staging, c->staging_size, &c->staged, capacity, data, bytes, out,
                     (uint32_t)((uint64_t)frames * c->block > UINT32_MAX ? UINT32_MAX : frames * c->block));
}

void mix_discard(AudioMix *mix) {
    uint32_t bytes;
    audio_mix_peek(mix, &bytes);
    audio_mix_drop(mix, bytes);
}

// Takes one block of the mix, no more than the queue has room for.
template <typename Take>
int32_t take_from_mix(AudioMix *mix, uint32_t room, Take &&take) {
    uint32_t bytes;
    const void *data = audio_mix_peek(mix, &bytes);
    if (bytes == 0) return AUDIO_NOT_ENOUGH;
    if (bytes > room) bytes = room - room % 4;
    int32_t r = take(data, bytes);
    audio_mix_drop(mix, bytes);
    return r;
}

}  // namespace

int32_t acapture_poll_any(void *handle, int16_t *out, uint32_t frames, uint8_t short_queue) {
    auto *c = (EndpointCapture *)handle;
    int32_t r = acapture_fifo_take(c, nullptr, 0, out, frames, short_queue);
    if (r != AUDIO_NOT_ENOUGH) return r;
    PulseLock lock(&c->pulse);
    if (c->mix)
        return take_from_mix(c->mix, c->staging_size - c->staged, [&](const void *data, uint32_t bytes) {
            return acapture_fifo_take(c, data, bytes, out, frames, short_queue);
        });
    // Takes waiting packets until enough is staged: one packet per poll would
    // fall behind for good whenever polls come late.
    for (;;) {
        size_t size = pa_stream_readable_size(c->stream);
        if (size == (size_t)-1) {
            log_call("acapture_poll_any", "GetNextPacketSize", __LINE__, vko_pulse_errno(&c->pulse));
            return AUDIO_ERR_READ;
        }
        if (size == 0) return AUDIO_NOT_ENOUGH;
        const void *data;
        size_t bytes;
        if (pa_stream_peek(c->stream, &data, &bytes) < 0) {
            log_call("acapture_poll_any", "GetBuffer", __LINE__, vko_pulse_errno(&c->pulse));
            return AUDIO_ERR_READ;
        }
        // A hole (no data) is dropped like a flagged packet.
        r = data ? acapture_fifo_take(c, data, (uint32_t)bytes, out, frames, short_queue) : AUDIO_NOT_ENOUGH;
        if (bytes && pa_stream_drop(c->stream) < 0)
            log_call("acapture_poll_any", "ReleaseBuffer", __LINE__, vko_pulse_errno(&c->pulse));
        if (r != AUDIO_NOT_ENOUGH) return r;
    }
}

namespace {

// Forgets everything the endpoint capture has gathered but nobody took: a
// capture that stands in reserve must resume with current audio, not with
// what its stream kept from seconds ago.
void acapture_discard(EndpointCapture *c) {
    c->staged = 0;
    PulseLock lock(&c->pulse);
    if (c->mix) {
        mix_discard(c->mix);
        return;
    }
    if (!c->stream) return;
    const void *data;
    size_t bytes;
    while (pa_stream_readable_size(c->stream) > 0 && pa_stream_peek(c->stream, &data, &bytes) == 0 && bytes)
        pa_stream_drop(c->stream);
}

}  // namespace

int32_t acapture_poll_loopback(void *handle, int16_t *out, uint32_t frames) {
    return acapture_poll_any(handle, out, frames, 0);
}

int32_t acapture_poll_mic(void *handle, int16_t *out, uint32_t frames) {
    return acapture_poll_any(handle, out, frames, 1);
}

void acapture_stop(void **handle) {
    auto *c = (EndpointCapture *)*handle;
    if (!c) return;
    if (c->pulse.ml && c->mute_endpoint && !c->start_mute) {
        PulseLock lock(&c->pulse);
        if (sink_muted(c)) set_sink_mute(c, false);
    }
    close_endpoint(c);
    *handle = nullptr;
}

uint8_t acapture_voice_active(void *handle) {
    auto *c = (EndpointCapture *)handle;
    if (!c || c->voice < 0) return 0;
    bool active = false;
    int16_t buf[4096];
    for (;;) {
        ssize_t n = recv(c->voice, buf, sizeof(buf), MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) VKO_Sleep(1);
            if (errno != EINTR) break;
            continue;
        }
        size_t count = (size_t)n / 2;
        double sum = 0;
        for (size_t i = 0; i < count; i++) sum += ((double)buf[i] / 32768.0) * ((double)buf[i] / 32768.0);
        if (count && sqrt(sum / (double)count) > 0.01) active = true;
    }
    return active;
}

namespace {

struct VoiceScan {
    pa_threaded_mainloop *ml;
    std::vector<uint32_t> pids;
};

bool names_voice_app(const char *s) {
    return s && (strstr(s, "Discord") || strstr(s, "Teamspeak"));
}

}  // namespace

void acapture_voice_scan(void *handle, AudioVoiceCallback callback, void *opaque) {
    auto *c = (EndpointCapture *)handle;
    if (!c || !callback) return;
    VoiceScan scan{c->pulse.ml, {}};
    {
        PulseLock lock(&c->pulse);
        vko_pulse_wait(
            &c->pulse,
            pa_context_get_sink_input_info_list(
                c->pulse.ctx,
                [](pa_context *, const pa_sink_input_info *i, int eol, void *ud) {
                    auto *s = (VoiceScan *)ud;
                    if (!eol && i &&
                        (names_voice_app(pa_proplist_gets(i->proplist, PA_PROP_APPLICATION_NAME)) ||
                         names_voice_app(
                             pa_proplist_gets(i->proplist, PA_PROP_APPLICATION_PROCESS_BINARY)))) {
                        const char *pid = pa_proplist_gets(i->proplist, PA_PROP_APPLICATION_PROCESS_ID);
                        if (pid) s->pids.push_back((uint32_t)strtoul(pid, nullptr, 10));
                    }
                    pa_threaded_mainloop_signal(s->ml, 0);
                },
                &scan));
    }
    for (uint32_t pid : scan.pids) {
        uintptr_t tries = (uintptr_t)VKO_HashGetInt(c->attempts, pid);
        if (pid == 0 || tries >= 5) continue;
        if (callback(pid, opaque) != 0) {
            log_message(LOG_LEVEL_INFO, "Found activity from PID %d but failed to activate, retrying",
                        (int)pid);
            tries += 1;
        } else {
            log_message(LOG_LEVEL_DEBUG, "Detecting voice activity from PID %d", (int)pid);
            tries += 5;
        }
        VKO_HashSetInt(c->attempts, pid, (void *)tries);
    }
}

// Activation of per-application capture.
struct AudioActivation {
    AudioMix *mix;
    LoopbackActivationHandler *handler;  // the activation's reference, NULL once completed
    AudioProcessLoopbackParams params;
};

namespace {

int32_t handler_query(LoopbackActivationHandler *self, uint32_t iid, void **out) {
    if (!self || !out) return AUDIO_E_INVALIDARG;
    if (iid == AUDIO_IID_UNKNOWN || iid == AUDIO_IID_AGILE_OBJECT || iid == AUDIO_IID_ACTIVATION_COMPLETION) {
        self->ops->AddRef(self);
        *out = self;
        return AUDIO_S_OK;
    }
    *out = nullptr;
    return AUDIO_E_NOINTERFACE;
}

uint32_t handler_add_ref(LoopbackActivationHandler *self) {
    return self->refs.fetch_add(1) + 1;
}

uint32_t handler_release(LoopbackActivationHandler *self) {
    const uint32_t left = self->refs.fetch_sub(1) - 1;
    if (left == 0) {
        VKO_WaitableDestroy(&self->completed);
        delete self;
    }
    return left;
}

int32_t handler_completed(LoopbackActivationHandler *self, AudioActivation *) {
    VKO_WaitableSignal(self->completed);
    return AUDIO_S_OK;
}

const LoopbackActivationHandlerOps kActivationHandlerOps = {handler_query, handler_add_ref, handler_release,
                                                            handler_completed};

// Inputs of processes in the target's tree, or all others.
bool activation_filter(uint32_t pid, void *opaque) {
    auto *a = (AudioActivation *)opaque;
    const bool in_tree = pid && audio_process_in_tree(pid, a->params.target_pid);
    return a->params.mode == AUDIO_LOOPBACK_INCLUDE_TREE ? in_tree : !in_tree;
}

// The mix's first audio or failure, on the loop thread.
void activation_ready(void *opaque) {
    auto *a = (AudioActivation *)opaque;
    LoopbackActivationHandler *h = a->handler;
    if (!h) return;
    a->handler = nullptr;
    h->ops->ActivateCompleted(h, a);
    h->ops->Release(h);
}

}  // namespace

LoopbackActivationHandler *audio_activation_handler_create(void) {
    auto *h = new LoopbackActivationHandler();
    h->ops = &kActivationHandlerOps;
    h->completed = VKO_WaitableCreate();
    h->refs = 1;
    return h;
}

int32_t ActivateAudioInterfaceAsync(VKO_Pulse *p, const char *sink, uint32_t iid,
                                    const AudioProcessLoopbackParams *params,
                                    LoopbackActivationHandler *handler, AudioActivation **operation) {
    *operation = nullptr;
    if (!p || !params || !handler || iid != AUDIO_IID_AUDIO_CLIENT ||
        params->activation_type != AUDIO_ACTIVATION_PROCESS_LOOPBACK ||
        params->mode > AUDIO_LOOPBACK_EXCLUDE_TREE)
        return AUDIO_E_INVALIDARG;
    auto *a = new AudioActivation();
    a->params = *params;
    a->handler = handler;
    handler->ops->AddRef(handler);
    int err = 0;
    a->mix = audio_mix_create(p, sink, activation_filter, a, activation_ready, a, &err);
    if (!a->mix) {
        handler->ops->Release(handler);
        delete a;
        return err ? -err : AUDIO_E_INVALIDARG;
    }
    *operation = a;
    return 0;
}

int32_t audio_activation_result(AudioActivation *a, int32_t *result, AudioMix **client) {
    *client = nullptr;
    if (a->handler)
        *result = AUDIO_E_PENDING;
    else if (!a->mix || !audio_mix_alive(a->mix))
        *result = -(a->mix ? PA_ERR_NOENTITY : PA_ERR_INVALID);
    else
        *result = AUDIO_S_OK;
    if (*result == AUDIO_S_OK) *client = a->mix;
    return 0;
}

void audio_activation_free(AudioActivation **operation) {
    AudioActivation *a = *operation;
    if (!a) return;
    audio_mix_destroy(&a->mix);  // no callback after this
    if (a->handler) a->handler->ops->Release(a->handler);
    delete a;
    *operation = nullptr;
}

// Per-application capture.
struct ExclusiveCapture {
    VKO_Pulse pulse;
    AudioActivation *client;  // state 2: the completed activation, owner of mix
    AudioMix *mix;            // state 2: the selected applications' sound
    uint8_t *staging;
    uint32_t staged;
    int64_t last_search;
    std::atomic<uint32_t> target;
    int target_fd;  // pidfd of the target, -1 when none
    int64_t last_name_check;
    VKO_Thread *thread;
    VKO_Waitable *wake;
    std::atomic<bool> stop;
    std::atomic<uint32_t> state;
    uint8_t disabled;
    EndpointCapture *inner;
    uint8_t inclusive;
    char *selection;
};

namespace {

constexpr uint32_t EXCLUSIVE_STAGING = 192000;  // bytes

bool target_running(ExclusiveCapture *x) {
    if (x->target_fd < 0) return false;
    pollfd p{x->target_fd, POLLIN, 0};
    return poll(&p, 1, 0) == 0;  // a pidfd turns readable when the process ends
}

void close_target(ExclusiveCapture *x) {
    if (x->target_fd >= 0) close(x->target_fd);
    x->target_fd = -1;
    x->target = NO_PROCESS;
}

void aexclusive_select_target(ExclusiveCapture *x) {
    const int64_t now = VKO_GetTime();
    if (x->target_fd >= 0 && !x->disabled && VKO_TimeDiff(x->last_name_check, now) >= 3000) {
        x->last_name_check = now;
        uint32_t id = winutil_find_process_id(x->selection);
        if (id != NO_PROCESS && id != x->target) {
            log_message(LOG_LEVEL_DEBUG, "Better echo cancellation process detected %s.", x->selection);
            close_target(x);
        }
    }
    if (x->disabled || target_running(x)) return;
    close_target(x);
    if (x->last_search && VKO_TimeDiff(x->last_search, now) < 1000) return;
    x->last_search = now;
    uint32_t id = NO_PROCESS;
    if (x->inclusive) {
        char *end = nullptr;
        unsigned long v = strtoul(x->selection, &end, 10);
        if (end != x->selection && !*end && v > 0 && v < NO_PROCESS) id = (uint32_t)v;
    } else {
        id = winutil_find_process_id(x->selection);
    }
    if (id == NO_PROCESS) return;  // nothing to open: not worth a line every second
    int fd = (int)syscall(SYS_pidfd_open, (pid_t)id, 0);
    if (fd < 0) {
        log_message(LOG_LEVEL_INFO, "'OpenProcess' failed with 0x%X", (unsigned)errno);
        return;
    }
    x->target_fd = fd;
    x->target = id;
    x->last_name_check = now;
    x->state = 1;
    log_message(LOG_LEVEL_INFO, "Capturing process with PID: %u", id);
}

// The staging step of per-application capture: a queue of one second.
int32_t aexclusive_fifo_take(ExclusiveCapture *x, const void *data, uint32_t bytes, int16_t *out,
                             uint32_t frames) {
    return fifo_take(x->staging, EXCLUSIVE_STAGING, &x->staged, EXCLUSIVE_STAGING, data, bytes, out,
                     frames * 4);
}

// Rebuilds the capture whenever the target changes (state 1): the old mix
// goes, an activation for the new target starts and, once it has completed
// within a second, its mix serves the polls (state 2).
void *audio_capture_init(void *opaque) {
    auto *x = (ExclusiveCapture *)opaque;
    while (!x->stop) {
        if (x->state == 1) {
            {
                PulseLock lock(&x->pulse);
                x->mix = nullptr;
                audio_activation_free(&x->client);
            }
            const AudioProcessLoopbackParams params{
                AUDIO_ACTIVATION_PROCESS_LOOPBACK, x->target.load(),
                x->inclusive ? AUDIO_LOOPBACK_INCLUDE_TREE : AUDIO_LOOPBACK_EXCLUDE_TREE};
            LoopbackActivationHandler *handler = audio_activation_handler_create();
            AudioActivation *op = nullptr;
            AudioMix *client = nullptr;
            int32_t r, result = AUDIO_E_PENDING;
            {
                PulseLock lock(&x->pulse);
                r = ActivateAudioInterfaceAsync(&x->pulse, x->inner->sink, AUDIO_IID_AUDIO_CLIENT, &params,
                                                handler, &op);
            }
            if (r != 0) {
                log_message(LOG_LEVEL_INFO, "* %s/%s[%d] = %d", "aexclusive_init_thread",
                            "audio_capture_init", __LINE__, r);
            } else if (!VKO_WaitableWait(handler->completed, 1000)) {
                log_message(LOG_LEVEL_INFO, "* %s[%d] %s", "audio_capture_init", __LINE__,
                            "Loopback not ready.");
            } else {
                PulseLock lock(&x->pulse);
                audio_activation_result(op, &result, &client);
                if (result != 0)
                    log_message(LOG_LEVEL_INFO, "'IAudioClient_Initialize' failed with error 0x%X",
                                (unsigned)result);
            }
            PulseLock lock(&x->pulse);
            handler->ops->Release(handler);
            // A target that changed meanwhile needs another round.
            uint32_t expected = 1;
            if (client && params.target_pid == x->target.load() &&
                x->state.compare_exchange_strong(expected, 2)) {
                x->client = op;
                x->mix = client;
                log_message(LOG_LEVEL_INFO, "IAudioClient initialized to ignore process!");
            } else {
                audio_activation_free(&op);
            }
        }
        VKO_WaitableWait(x->wake, 500);
    }
    PulseLock lock(&x->pulse);
    x->mix = nullptr;
    audio_activation_free(&x->client);
    return nullptr;
}

void free_exclusive(ExclusiveCapture *x) {
    if (x->thread) {
        x->stop = true;
        VKO_WaitableSignal(x->wake);
        VKO_ThreadDestroy(&x->thread);
    }
    if (x->pulse.ml) vko_pulse_close(&x->pulse);
    void *inner = x->inner;
    acapture_stop(&inner);
    VKO_WaitableDestroy(&x->wake);
    close_target(x);
    VKO_Free(x->selection);
    VKO_Free(x->staging);
    delete x;
}

}  // namespace

int32_t aexclusive_start(void **handle, const char *device_id, uint8_t mute_endpoint,
                         const char *app_selection, uint8_t inclusive) {
    const bool was_ok = g_exclusive_ok.load();
    auto *x = new ExclusiveCapture();
    x->target_fd = -1;
    x->target = NO_PROCESS;
    x->disabled = !inclusive && no_selection(app_selection);
    void *inner = nullptr;
    int32_t r =
        acapture_start_any(&inner, device_id, mute_endpoint, inclusive ? "[inclusive]" : app_selection, 0);
    x->inner = (EndpointCapture *)inner;
    if (r != 0) {
        if (was_ok) log_call("aexclusive_start", "acapture_start", __LINE__, r);
        g_exclusive_ok = false;
        free_exclusive(x);
        *handle = nullptr;
        return r;
    }
    if (!x->disabled) {
        x->inclusive = inclusive;
        x->selection = VKO_Strdup(app_selection ? app_selection : "");
        if (vko_pulse_open(&x->pulse, "application capture") != 0) {
            log_message(LOG_LEVEL_INFO, "* %s[%d] %s", "aexclusive_start", __LINE__,
                        "Unable to load module for advanced echo cancel");
            g_exclusive_ok = false;
            free_exclusive(x);
            *handle = nullptr;
            return AUDIO_ERR_START;
        }
        x->staging = (uint8_t *)VKO_Alloc(EXCLUSIVE_STAGING, 1);
        x->wake = VKO_WaitableCreate();
        x->thread = VKO_ThreadCreate(audio_capture_init, x);
        aexclusive_select_target(x);
    }
    g_exclusive_ok = true;
    *handle = x;
    return 0;
}

int32_t aexclusive_start_exclusive(void **handle, const char *device_id, uint8_t mute_endpoint,
                                   const char *app_selection) {
    return aexclusive_start(handle, device_id, mute_endpoint, app_selection, 0);
}

int32_t aexclusive_start_inclusive(void **handle, const char *device_id, uint8_t mute_endpoint,
                                   const char *app_selection) {
    return aexclusive_start(handle, device_id, mute_endpoint, app_selection, 1);
}

int32_t aexclusive_poll(void *handle, int16_t *out, uint32_t frames) {
    auto *x = (ExclusiveCapture *)handle;
    aexclusive_select_target(x);
    const bool running = target_running(x);
    const bool mixing = !x->disabled && running && x->state == 2;
    if (!mixing) {
        // The mix stands in reserve: what it gathers now would be stale when it serves.
        x->staged = 0;
        if (!x->disabled && x->state == 2) {
            PulseLock lock(&x->pulse);
            if (x->mix) mix_discard(x->mix);
        }
    }
    if (x->inclusive && !running) {
        acapture_discard(x->inner);
        return AUDIO_NOT_ENOUGH;
    }
    if (!mixing) return acapture_poll_any(x->inner, out, frames, 0);
    // The plain loopback stands in reserve: it must not hoard audio for when the target ends.
    acapture_discard(x->inner);
    if (frames > EXCLUSIVE_STAGING / 4) return AUDIO_NOT_ENOUGH;  // more than the queue ever holds
    int32_t r = aexclusive_fifo_take(x, nullptr, 0, out, frames);
    if (r != AUDIO_NOT_ENOUGH) return r;
    PulseLock lock(&x->pulse);
    if (!x->mix || !audio_mix_alive(x->mix)) {
        log_message(LOG_LEVEL_DEBUG, "'IAudioCaptureClient_GetNextPacketSize' failed with 0x%X",
                    (unsigned)vko_pulse_errno(&x->pulse));
        return AUDIO_ERR_READ;
    }
    return take_from_mix(x->mix, EXCLUSIVE_STAGING - x->staged, [&](const void *data, uint32_t bytes) {
        return aexclusive_fifo_take(x, data, bytes, out, frames);
    });
}

void aexclusive_stop(void **handle) {
    if (!*handle) return;
    free_exclusive((ExclusiveCapture *)*handle);
    *handle = nullptr;
}

uint32_t aexclusive_state(void *handle) {
    return ((ExclusiveCapture *)handle)->state;
}

// Application-fed queue.
struct AppFifo {
    VKO_Resampler *resampler;
    uint8_t *queue;
    uint8_t *conv;
    uint64_t queued;
    uint32_t last_rate;
    VKO_Mutex *mutex;
};

namespace {

// Input frames converted per step: the float conversion and the resampler's
// output (up to 6x for 8 kHz input) both stay well inside their buffers.
constexpr uint32_t PUSH_CHUNK = 4096;

void fifo_append(AppFifo *f, const void *data, uint64_t bytes) {
    if (f->queued + bytes > AUDIO_FIFO_BYTES) {
        // Too far behind: forget the oldest half second, and this audio too.
        uint64_t drop = f->queued < AUDIO_FIFO_BYTES / 2 ? f->queued : AUDIO_FIFO_BYTES / 2;
        memmove(f->queue, f->queue + drop, f->queued - drop);
        f->queued -= drop;
        return;
    }
    memcpy(f->queue + f->queued, data, bytes);
    f->queued += bytes;
}

}  // namespace

int32_t afifo_start(void **handle, const char *, uint8_t, const char *) {
    if (auto *f = (AppFifo *)*handle) {
        VKO_MutexLock(f->mutex);
        f->queued = 0;
        VKO_MutexUnlock(f->mutex);
    }
    return 0;
}

void afifo_push(void **handle, uint32_t sample_kind, uint32_t sample_rate, const void *samples,
                uint32_t frames) {
    if (sample_rate == 0 || (!samples && frames)) return;
    auto *f = (AppFifo *)*handle;
    if (!f) {
        f = (AppFifo *)VKO_Alloc(1, sizeof(AppFifo));
        f->resampler = VKO_ResamplerCreate();
        f->queue = (uint8_t *)VKO_Alloc(AUDIO_FIFO_BYTES, 1);
        f->conv = (uint8_t *)VKO_Alloc(AUDIO_FIFO_BYTES, 1);
        f->mutex = VKO_MutexCreate();
        *handle = f;
    }
    VKO_MutexLock(f->mutex);
    if (sample_rate != f->last_rate) {
        VKO_ResamplerReset(f->resampler);
        f->queued = 0;
        f->last_rate = sample_rate;
    }
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = frames - done < PUSH_CHUNK ? frames - done : PUSH_CHUNK;
        auto *pcm = (int16_t *)f->conv;
        if (sample_kind == AUDIO_SAMPLE_FLOAT) {
            const float *in = (const float *)samples + 2 * (size_t)done;
            for (uint32_t i = 0; i < 2 * n; i++) {
                float v = in[i] * 32768.0f;
                pcm[i] = (int16_t)(v >= 32767.0f ? 32767 : v <= -32768.0f ? -32768 : lrintf(v));  // NaN -> 0
            }
        } else {
            memcpy(pcm, (const int16_t *)samples + 2 * (size_t)done, (size_t)n * 4);
        }
        if (sample_rate == RATE) {
            fifo_append(f, pcm, (uint64_t)n * 4);
        } else {
            uint32_t out = 0;
            const int16_t *res = VKO_Resample(f->resampler, (float)RATE / (float)sample_rate, pcm, n, &out);
            fifo_append(f, res, (uint64_t)out * 4);
        }
        done += n;
    }
    VKO_MutexUnlock(f->mutex);
}

int32_t afifo_poll(void *handle, int16_t *out, uint32_t frames) {
    auto *f = (AppFifo *)handle;
    if (!f) return AUDIO_NOT_ENOUGH;
    VKO_MutexLock(f->mutex);
    const uint64_t want = (uint64_t)frames * 4;
    int32_t r = AUDIO_NOT_ENOUGH;
    if (f->queued >= want) {
        memcpy(out, f->queue, want);
        memmove(f->queue, f->queue + want, f->queued - want);
        f->queued -= want;
        r = 0;
    }
    VKO_MutexUnlock(f->mutex);
    return r;
}

void afifo_stop(void **handle) {
    auto *f = (AppFifo *)*handle;
    if (!f) return;
    VKO_ResamplerDestroy(&f->resampler);
    VKO_Free(f->queue);
    VKO_Free(f->conv);
    VKO_MutexDestroy(&f->mutex);
    VKO_Free(f);
    *handle = nullptr;
}

const AudioCaptureApi AUDIO_CAPTURE_API[6] = {
    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    {afifo_start, afifo_push, afifo_poll, afifo_stop, nullptr, nullptr},
    {acapture_start_loopback, nullptr, acapture_poll_loopback, acapture_stop, acapture_voice_active,
     acapture_voice_scan},
    {aexclusive_start_exclusive, nullptr, aexclusive_poll, aexclusive_stop, nullptr, nullptr},
    {aexclusive_start_inclusive, nullptr, aexclusive_poll, aexclusive_stop, nullptr, nullptr},
    {acapture_start_mic, nullptr, acapture_poll_mic, acapture_stop, nullptr, nullptr},
};

AudioCapture *audio_capture_create(uint32_t row) {
    auto *c = (AudioCapture *)VKO_Alloc(1, sizeof(AudioCapture));
    c->row = row < 6 ? row : AUDIO_ROW_NONE;
    c->api = AUDIO_CAPTURE_API[c->row];
    c->mutex = VKO_MutexCreate();
    return c;
}

void audio_capture_destroy(AudioCapture **capture) {
    if (!capture || !*capture) return;
    AudioCapture *c = *capture;
    if (c->handle && c->api.stop) c->api.stop(&c->handle);
    VKO_MutexDestroy(&c->mutex);
    VKO_Free(c);
    *capture = nullptr;
}

AudioWaveFormat *audio_probe_default_format(void) {
    VKO_Pulse p;
    int err = vko_pulse_open(&p, "format probe");
    if (err) {
        printf("CoCreateInstance: %lx\n", (unsigned long)err);
        return nullptr;
    }
    VKO_PulseSink sink;
    bool found;
    {
        PulseLock lock(&p);
        found = vko_pulse_sink(&p, nullptr, &sink);
    }
    vko_pulse_close(&p);
    if (!found) {
        printf("enumerator->GetDefaultAudioEndpoint: %lx\n", (unsigned long)PA_ERR_NOENTITY);
        return nullptr;
    }
    auto *f = (AudioWaveFormat *)VKO_Alloc(1, sizeof(AudioWaveFormat));
    const bool is_float =
        sink.format.format == PA_SAMPLE_FLOAT32LE || sink.format.format == PA_SAMPLE_FLOAT32BE;
    f->format_tag = is_float ? 3 : 1;
    f->channels = sink.format.channels;
    f->bits_per_sample = (uint16_t)(pa_sample_size(&sink.format) * 8);
    f->samples_per_sec = sink.format.rate;  // the server converts, so the first rate tried is taken
    f->block_align = (uint16_t)(f->channels * f->bits_per_sample / 8);
    f->avg_bytes_per_sec = f->samples_per_sec * f->block_align;
    return f;
}
