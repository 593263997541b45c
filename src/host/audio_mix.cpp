// Mixing model: every selected sink input has a member with its own monitor
// stream and a queue of what that stream delivered. The sink's monitor is the
// clock: for each block it delivers (in real time, zeros when the sink is
// muted) the same number of frames is taken from every member that has built
// up a small lead, summed and clamped into the output queue. A member that
// runs empty waits for a new lead, so late or paused inputs add silence rather
// than skew the others. Membership follows the server's sink-input events.
// Everything here runs with the loop lock held (callbacks on the loop thread,
// the public calls by their callers).
#include "host/audio_mix.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr uint32_t FRAME = 4;
constexpr uint32_t RATE = 48000;
constexpr size_t MEMBER_CAP = RATE * FRAME / 5;    // 200 ms held per input
constexpr size_t MEMBER_LEAD = RATE * FRAME / 50;  // 20 ms before an input joins the sum
constexpr size_t OUT_CAP = RATE * FRAME;           // 1 s of mixed audio
constexpr uint32_t FRAGMENT_US = 10000;
const pa_sample_spec kMixFormat{PA_SAMPLE_S16LE, RATE, 2};

struct Member {
    AudioMix *mix;
    uint32_t input;
    pa_stream *stream;
    std::vector<uint8_t> queue;
    bool leading;
    bool dead;
    bool seen;
};

}  // namespace

struct AudioMix {
    VKO_Pulse *p;
    uint32_t sink;
    char monitor[256];
    AudioMixFilter filter;
    void *filter_opaque;
    AudioMixReady ready;
    void *ready_opaque;
    bool told;
    pa_stream *clock;
    pa_operation *listing;
    bool relist;
    std::vector<std::unique_ptr<Member>> members;
    std::vector<uint8_t> out;
    std::vector<int32_t> sum;
};

namespace {

void release(pa_stream *s) {
    pa_stream_set_state_callback(s, nullptr, nullptr);
    pa_stream_set_read_callback(s, nullptr, nullptr);
    pa_stream_disconnect(s);
    pa_stream_unref(s);
}

pa_stream *open_record(AudioMix *m, const char *name, uint32_t input, pa_stream_request_cb_t read_cb,
                       pa_stream_notify_cb_t state_cb, void *ud) {
    pa_stream *s = pa_stream_new(m->p->ctx, name, &kMixFormat, nullptr);
    if (!s) return nullptr;
    if (input != PA_INVALID_INDEX) pa_stream_set_monitor_stream(s, input);
    pa_stream_set_read_callback(s, read_cb, ud);
    pa_stream_set_state_callback(s, state_cb, ud);
    pa_buffer_attr attr{(uint32_t)-1, (uint32_t)-1, (uint32_t)-1, (uint32_t)-1,
                        (uint32_t)pa_usec_to_bytes(FRAGMENT_US, &kMixFormat)};
    auto flags = (pa_stream_flags_t)(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(s, m->monitor, &attr, flags) < 0) {
        pa_stream_unref(s);
        return nullptr;
    }
    return s;
}

// Reads every block the stream holds; holes come as NULL data.
template <typename F>
void drain(pa_stream *s, F &&use) {
    const void *data;
    size_t n;
    while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &data, &n) == 0 && n > 0) {
        use((const uint8_t *)data, n - n % FRAME);
        pa_stream_drop(s);
    }
}

void member_read(pa_stream *s, size_t, void *ud) {
    auto *mb = (Member *)ud;
    drain(s, [&](const uint8_t *data, size_t n) {
        if (data)
            mb->queue.insert(mb->queue.end(), data, data + n);
        else
            mb->queue.resize(mb->queue.size() + n, 0);
        if (mb->queue.size() > MEMBER_CAP) mb->queue.erase(mb->queue.begin(), mb->queue.end() - MEMBER_CAP);
    });
}

void member_state(pa_stream *s, void *ud) {
    // A monitored input that ends or moves takes its monitor with it.
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(s))) ((Member *)ud)->dead = true;
}

void tell(AudioMix *m) {
    if (m->told) return;
    m->told = true;
    if (m->ready) m->ready(m->ready_opaque);
}

void clock_state(pa_stream *s, void *ud) {
    auto *m = (AudioMix *)ud;
    if (pa_stream_get_state(s) != PA_STREAM_CREATING) tell(m);
    pa_threaded_mainloop_signal(m->p->ml, 0);
}

void clock_read(pa_stream *s, size_t, void *ud) {
    auto *m = (AudioMix *)ud;
    drain(s, [&](const uint8_t *, size_t n) {
        const size_t samples = n / 2;
        m->sum.assign(samples, 0);
        for (auto &mb : m->members) {
            if (mb->dead) continue;
            if (!mb->leading && mb->queue.size() >= MEMBER_LEAD) mb->leading = true;
            if (!mb->leading) continue;
            size_t take = mb->queue.size() < n ? mb->queue.size() : n;
            const auto *pcm = (const int16_t *)mb->queue.data();
            for (size_t i = 0; i < take / 2; i++) m->sum[i] += pcm[i];
            mb->queue.erase(mb->queue.begin(), mb->queue.begin() + (ptrdiff_t)take);
            if (mb->queue.empty()) mb->leading = false;
        }
        if (m->out.size() + n > OUT_CAP) return;  // nobody reads: keep the oldest second
        size_t at = m->out.size();
        m->out.resize(at + n);
        auto *dst = (int16_t *)(m->out.data() + at);
        for (size_t i = 0; i < samples; i++)
            dst[i] = (int16_t)(m->sum[i] > 32767 ? 32767 : m->sum[i] < -32768 ? -32768 : m->sum[i]);
    });
    for (auto it = m->members.begin(); it != m->members.end();) {
        if ((*it)->dead) {
            release((*it)->stream);
            it = m->members.erase(it);
        } else {
            ++it;
        }
    }
    tell(m);
}

void request_list(AudioMix *m);

void list_cb(pa_context *, const pa_sink_input_info *i, int eol, void *ud) {
    auto *m = (AudioMix *)ud;
    if (!eol && i) {
        if (i->sink != m->sink) return;
        const char *pid_text = pa_proplist_gets(i->proplist, PA_PROP_APPLICATION_PROCESS_ID);
        uint32_t pid = pid_text ? (uint32_t)strtoul(pid_text, nullptr, 10) : 0;
        if (!m->filter(pid, m->filter_opaque)) return;
        for (auto &mb : m->members)
            if (mb->input == i->index && !mb->dead) {
                mb->seen = true;
                return;
            }
        auto mb = std::make_unique<Member>();
        mb->mix = m;
        mb->input = i->index;
        mb->seen = true;
        mb->stream = open_record(m, "application monitor", i->index, member_read, member_state, mb.get());
        if (mb->stream) m->members.push_back(std::move(mb));
        return;
    }
    for (auto &mb : m->members) {
        if (!mb->seen) mb->dead = true;
        mb->seen = false;
    }
    pa_operation_unref(m->listing);
    m->listing = nullptr;
    if (m->relist) request_list(m);
}

void request_list(AudioMix *m) {
    if (m->listing) {
        m->relist = true;
        return;
    }
    m->relist = false;
    m->listing = pa_context_get_sink_input_info_list(m->p->ctx, list_cb, m);
}

void subscribe_cb(pa_context *, pa_subscription_event_type_t t, uint32_t, void *ud) {
    if ((t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SINK_INPUT)
        request_list((AudioMix *)ud);
}

}  // namespace

AudioMix *audio_mix_create(VKO_Pulse *p, const char *sink, AudioMixFilter filter, void *filter_opaque,
                           AudioMixReady ready, void *ready_opaque, int *err) {
    VKO_PulseSink info;
    if (!vko_pulse_sink(p, sink, &info)) {
        *err = vko_pulse_errno(p);
        return nullptr;
    }
    auto *m = new AudioMix();
    m->p = p;
    m->sink = info.index;
    snprintf(m->monitor, sizeof(m->monitor), "%s", info.monitor);
    m->filter = filter;
    m->filter_opaque = filter_opaque;
    m->ready = ready;
    m->ready_opaque = ready_opaque;
    m->clock = open_record(m, "application mix", PA_INVALID_INDEX, clock_read, clock_state, m);
    if (!m->clock) {
        *err = vko_pulse_errno(p);
        delete m;
        return nullptr;
    }
    pa_context_set_subscribe_callback(p->ctx, subscribe_cb, m);
    if (pa_operation *op = pa_context_subscribe(p->ctx, PA_SUBSCRIPTION_MASK_SINK_INPUT, nullptr, nullptr))
        pa_operation_unref(op);
    request_list(m);
    return m;
}

void audio_mix_destroy(AudioMix **mix) {
    if (!mix || !*mix) return;
    AudioMix *m = *mix;
    pa_context_set_subscribe_callback(m->p->ctx, nullptr, nullptr);
    if (m->listing) {
        pa_operation_cancel(m->listing);
        pa_operation_unref(m->listing);
    }
    for (auto &mb : m->members) release(mb->stream);
    release(m->clock);
    delete m;
    *mix = nullptr;
}

const void *audio_mix_peek(AudioMix *m, uint32_t *bytes) {
    *bytes = (uint32_t)m->out.size();
    return m->out.data();
}

void audio_mix_drop(AudioMix *m, uint32_t bytes) {
    if (bytes > m->out.size()) bytes = (uint32_t)m->out.size();
    m->out.erase(m->out.begin(), m->out.begin() + bytes);
}

bool audio_mix_alive(AudioMix *m) {
    return PA_STREAM_IS_GOOD(pa_stream_get_state(m->clock)) &&
           PA_CONTEXT_IS_GOOD(pa_context_get_state(m->p->ctx));
}

uint32_t audio_mix_members(AudioMix *m) {
    uint32_t n = 0;
    for (auto &mb : m->members) n += !mb->dead;
    return n;
}

bool audio_process_in_tree(uint32_t pid, uint32_t root) {
    for (int depth = 0; depth < 256 && pid > 1; depth++) {
        if (pid == root) return true;
        char path[64], buf[512];
        snprintf(path, sizeof(path), "/proc/%u/stat", pid);
        FILE *f = fopen(path, "re");
        if (!f) return false;
        size_t n = fread(buf, 1, sizeof(buf) - 1, f);
        fclose(f);
        buf[n] = 0;
        const char *rp = strrchr(buf, ')');  // the name itself may hold ')'
        char state;
        unsigned ppid;
        if (!rp || sscanf(rp + 1, " %c %u", &state, &ppid) != 2) return false;
        pid = ppid;
    }
    return pid == root && pid > 1;
}
