// Playback context. The context belongs to its creating thread, which makes
// every call on it; the loop thread of its server connection runs only the
// callbacks below.
//
// Shared state:
// - g_device_changed (process-wide, atomic): set by any context's loop thread
//   when the server's default sink or default source changes (a default
//   change of either data flow); cleared by the first context that reopens
//   its stream after it. A failed reopen leaves it set, so the next queue
//   call tries again.
// - VKO_Audio::known_default, known_source: the default sink and source names
//   last seen; written only on the loop thread, or under the loop lock before
//   the subscription exists.
#include "platform/audio.h"

#include <pthread.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/log.h"
#include "platform/memory.h"
#include "platform/pulse.h"

namespace {

std::atomic<bool> g_device_changed{false};

constexpr uint32_t REOPEN_TRIES = 6;
constexpr uint32_t REOPEN_PAUSE_MS = 100;

}  // namespace

struct VKO_Audio {
    uint32_t sample_rate;
    uint8_t channels;
    char *device;  // sink name, or NULL for the default output
    uint8_t fallback;
    uint32_t min_frames;
    uint32_t max_frames;

    VKO_Pulse pulse;
    pa_stream *stream;
    uint32_t buffer_frames;
    bool playing;
    bool subscribed;
    char known_default[256];
    char known_source[256];
    pthread_t creator;
};

namespace {

void server_info_cb(pa_context *, const pa_server_info *info, void *ud) {
    auto *a = (VKO_Audio *)ud;
    if (!info) return;
    if (info->default_sink_name && strcmp(info->default_sink_name, a->known_default) != 0) {
        snprintf(a->known_default, sizeof(a->known_default), "%s", info->default_sink_name);
        g_device_changed.store(true);
    }
    if (info->default_source_name && strcmp(info->default_source_name, a->known_source) != 0) {
        snprintf(a->known_source, sizeof(a->known_source), "%s", info->default_source_name);
        g_device_changed.store(true);
    }
}

void subscribe_cb(pa_context *c, pa_subscription_event_type_t t, uint32_t, void *ud) {
    if ((t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SERVER) return;
    if (pa_operation *op = pa_context_get_server_info(c, server_info_cb, ud)) pa_operation_unref(op);
}

void release_stream(VKO_Audio *a) {
    if (!a->stream) return;
    pa_stream_set_state_callback(a->stream, nullptr, nullptr);
    pa_stream_disconnect(a->stream);
    pa_stream_unref(a->stream);
    a->stream = nullptr;
    a->playing = false;
}

// Opens the stream on the named or default sink; loop lock held.
bool audio_device_create(VKO_Audio *a) {
    const char *tag = "audio_device_create";
    VKO_Pulse *p = &a->pulse;
    VKO_PulseSink sink;
    bool have = false;
    if (a->device) {
        have = vko_pulse_sink(p, a->device, &sink);
        if (!have && !a->fallback) {
            VKO_Log(tag, "'IMMDeviceEnumerator_GetDevice' failed with HRESULT 0x%X", vko_pulse_errno(p));
            return false;
        }
    }
    if (!have && !vko_pulse_sink(p, nullptr, &sink)) {
        VKO_Log(tag, "'IMMDeviceEnumerator_GetDefaultAudioEndpoint' failed with HRESULT 0x%X",
                vko_pulse_errno(p));
        return false;
    }
    pa_sample_spec ss{PA_SAMPLE_S16LE, a->sample_rate, a->channels};
    pa_channel_map map;
    // Beyond stereo the channels follow the wave-format order, as senders lay them out.
    if (!pa_channel_map_init_extend(&map, a->channels,
                                    a->channels > 2 ? PA_CHANNEL_MAP_WAVEEX : PA_CHANNEL_MAP_DEFAULT)) {
        VKO_Log("audio_get_extended_format", "'IPropertyStore_GetValue' failed with HRESULT 0x%X",
                PA_ERR_INVALID);
        return false;
    }
    pa_stream *s = pa_sample_spec_valid(&ss) ? pa_stream_new(p->ctx, "playback", &ss, &map) : nullptr;
    if (!s) {
        VKO_Log(tag, "'IMMDevice_Activate' failed with HRESULT 0x%X", vko_pulse_errno(p));
        return false;
    }
    pa_stream_set_state_callback(s, vko_pulse_stream_state_cb, p);
    // One second of buffer as the engine's; a short target latency so the
    // server plays what is queued promptly. Starting is the policy's decision,
    // so nothing is pre-buffered by the server.
    const uint32_t frame = a->channels * 2u;
    pa_buffer_attr attr;
    attr.maxlength = a->sample_rate * frame;
    attr.tlength = (uint32_t)pa_usec_to_bytes(20000, &ss);
    attr.prebuf = 0;
    attr.minreq = (uint32_t)-1;
    attr.fragsize = (uint32_t)-1;
    auto flags = (pa_stream_flags_t)(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    int err = 0;
    const pa_buffer_attr *got = nullptr;
    if (pa_stream_connect_playback(s, sink.name, &attr, flags, nullptr, nullptr) < 0 ||
        !vko_pulse_wait_stream(p, s, &err)) {
        if (!err) err = vko_pulse_errno(p);
        VKO_Log(tag, "'IAudioClient_Initialize' failed with HRESULT 0x%X", err);
    } else if (!(got = pa_stream_get_buffer_attr(s)) || got->maxlength < frame) {
        // The buffer the server granted sizes every write.
        VKO_Log(tag, "'IAudioClient_GetBufferSize' failed with HRESULT 0x%X",
                got ? PA_ERR_INVALID : vko_pulse_errno(p));
        got = nullptr;
    }
    if (!got) {
        pa_stream_set_state_callback(s, nullptr, nullptr);
        pa_stream_disconnect(s);
        pa_stream_unref(s);
        return false;
    }
    a->buffer_frames = got->maxlength / frame;
    a->stream = s;
    a->playing = false;
    return true;
}

bool cork(VKO_Audio *a, int on) {
    PulseResult r{a->pulse.ml, 0};
    return vko_pulse_wait(&a->pulse, pa_stream_cork(a->stream, on, vko_pulse_stream_success_cb, &r)) &&
           r.success;
}

// Frames held by the server for this stream; the whole buffer when unknown.
uint32_t queued_frames(VKO_Audio *a) {
    PulseResult r{a->pulse.ml, 0};
    if (!vko_pulse_wait(&a->pulse,
                        pa_stream_update_timing_info(a->stream, vko_pulse_stream_success_cb, &r)) ||
        !r.success)
        return a->buffer_frames;
    const pa_timing_info *ti = pa_stream_get_timing_info(a->stream);
    if (!ti || ti->write_index_corrupt || ti->read_index_corrupt) return a->buffer_frames;
    int64_t bytes = ti->write_index - ti->read_index;
    if (bytes <= 0) return 0;
    uint64_t frames = (uint64_t)bytes / (a->channels * 2u);
    return frames > a->buffer_frames ? a->buffer_frames : (uint32_t)frames;
}

void reset_locked(VKO_Audio *a) {
    if (!a->playing || !a->stream) return;
    if (!cork(a, 1)) {
        VKO_Log("VKO_AudioReset", "'IAudioClient_Stop' failed with HRESULT 0x%X", vko_pulse_errno(&a->pulse));
        return;
    }
    PulseResult r{a->pulse.ml, 0};
    if (!vko_pulse_wait(&a->pulse, pa_stream_flush(a->stream, vko_pulse_stream_success_cb, &r)) ||
        !r.success) {
        VKO_Log("VKO_AudioReset", "'IAudioClient_Reset' failed with HRESULT 0x%X",
                vko_pulse_errno(&a->pulse));
        return;
    }
    a->playing = false;
}

}  // namespace

VKO_Audio *VKO_AudioCreate(uint32_t sample_rate, uint32_t min_buffer_ms, uint32_t max_buffer_ms,
                           uint8_t channels, const char *device_id, uint8_t fallback) {
    const char *tag = "VKO_AudioCreate";
    auto *a = (VKO_Audio *)VKO_Alloc(1, sizeof(VKO_Audio));
    a->sample_rate = sample_rate;
    a->channels = channels;
    a->device = device_id && device_id[0] ? VKO_Strdup(device_id) : nullptr;
    a->fallback = fallback;
    a->min_frames = (uint32_t)lrint(sample_rate / 1000.0) * min_buffer_ms;
    a->max_frames = (uint32_t)lrint(sample_rate / 1000.0) * max_buffer_ms;
    a->creator = pthread_self();

    int err = vko_pulse_open(&a->pulse, "playback");
    if (err) {
        VKO_Log(tag, "'CoCreateInstance' failed with HRESULT 0x%X", err);
        VKO_AudioDestroy(&a);
        return nullptr;
    }
    bool ok;
    {
        PulseLock lock(&a->pulse);
        vko_pulse_default_device(&a->pulse, false, a->known_default, sizeof(a->known_default));
        vko_pulse_default_device(&a->pulse, true, a->known_source, sizeof(a->known_source));
        pa_context_set_subscribe_callback(a->pulse.ctx, subscribe_cb, a);
        PulseResult r{a->pulse.ml, 0};
        a->subscribed =
            vko_pulse_wait(&a->pulse, pa_context_subscribe(a->pulse.ctx, PA_SUBSCRIPTION_MASK_SERVER,
                                                           vko_pulse_success_cb, &r)) &&
            r.success;
        if (!a->subscribed)
            VKO_Log(tag,
                    "'IMMDeviceEnumerator_RegisterEndpointNotificationCallback' failed with HRESULT 0x%X",
                    vko_pulse_errno(&a->pulse));
        ok = a->subscribed && audio_device_create(a);
    }
    if (!ok) VKO_AudioDestroy(&a);
    return a;
}

void VKO_AudioDestroy(VKO_Audio **ctx) {
    if (!ctx || !*ctx) return;
    VKO_Audio *a = *ctx;
    if (!pthread_equal(a->creator, pthread_self()))
        VKO_Log("VKO_AudioDestroy",
                "VKO_Audio context should not be destroyed on a different thread from where it was created");
    if (a->pulse.ml) {
        {
            PulseLock lock(&a->pulse);
            release_stream(a);
            pa_context_set_subscribe_callback(a->pulse.ctx, nullptr, nullptr);
        }
        vko_pulse_close(&a->pulse);
    }
    VKO_Free(a->device);
    VKO_Free(a);
    *ctx = nullptr;
}

void VKO_AudioReset(VKO_Audio *a) {
    PulseLock lock(&a->pulse);
    reset_locked(a);
}

void VKO_AudioQueue(VKO_Audio *a, const int16_t *frames, uint32_t count) {
    if (g_device_changed.load()) {
        bool opened = false;
        for (uint32_t i = 0; i < REOPEN_TRIES && !opened; i++) {
            if (i) VKO_Sleep(REOPEN_PAUSE_MS);
            PulseLock lock(&a->pulse);
            if (a->stream) {
                if (a->playing) cork(a, 1);
                release_stream(a);
            }
            opened = audio_device_create(a);
        }
        if (!opened) return;
        g_device_changed.store(false);
    }
    PulseLock lock(&a->pulse);
    if (!a->stream) return;
    uint32_t queued = queued_frames(a);
    if (a->playing && (queued > a->max_frames || queued == 0)) {
        reset_locked(a);
        // The start rule below counts what is left after the reset, not what was there before it.
        if (!a->playing) queued = queued_frames(a);
    }
    if (queued > a->buffer_frames || a->buffer_frames - queued < count) return;
    const size_t bytes = (size_t)count * a->channels * 2;
    if (bytes && pa_stream_write(a->stream, frames, bytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
    if (!a->playing && queued + count >= a->min_frames) {
        if (cork(a, 0))
            a->playing = true;
        else
            VKO_Log("audio_play", "'IAudioClient_Start' failed with HRESULT 0x%X",
                    vko_pulse_errno(&a->pulse));
    }
}
