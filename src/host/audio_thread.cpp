// The audio thread owns the capture handle and the encoder. Other threads
// touch only HostAudio's atomics (stop, admin_mute, container_guest,
// timing_audio) and the wake waitable; the hooks are set before the thread
// starts and never change while it runs.
#include "host/audio_thread.h"

#include <opus/opus.h>

#include <atomic>
#include <cstring>

#include "platform/log.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "util/logger.h"

namespace {

constexpr uint32_t BUFFER_BYTES = 1048576;
constexpr int OPUS_APPLICATION = 2049;  // OPUS_APPLICATION_AUDIO
std::atomic<bool> g_thread_error_logged{false};

void pause(HostAudio *a, uint32_t ms) {
    if (!a->stop) VKO_WaitableWait(a->wake, (int32_t)ms);
}

uint32_t guests(HostAudio *a) {
    return a->guest_count ? a->guest_count(a->host) : 0;
}

void refresh(HostAudio *a, HostAudioSettings *live) {
    if (a->apply_config) a->apply_config(a->host, live);
}

double ms_since(int64_t t) {
    return VKO_TimeDiff(t, VKO_GetTime());
}

// One capture session: encoder, then poll and encode until the guests leave,
// stop is asked or the capture fails. Returns the last result.
int32_t stream_session(HostAudio *a, HostAudioSettings *live) {
    AudioCapture *cap = a->capture;
    int err = 0;
    OpusEncoder *enc = opus_encoder_create(48000, 2, OPUS_APPLICATION, &err);
    if (!enc || err != OPUS_OK) {
        log_message(LOG_LEVEL_INFO, "* %s/%s[%d] = %d", "audio_encode_init", "opus_encoder_create", __LINE__,
                    err);
        if (enc) opus_encoder_destroy(enc);
        return AUDIO_ERR_OPUS_INIT;
    }
    err = opus_encoder_ctl(enc, OPUS_SET_BITRATE(live->bitrate * 1000));
    if (err != OPUS_OK) {
        log_message(LOG_LEVEL_INFO, "* %s/%s[%d] = %d", "audio_encode_init", "opus_encoder_ctl", __LINE__,
                    err);
        opus_encoder_destroy(enc);
        return AUDIO_ERR_OPUS_INIT;
    }
    const uint32_t frame = a->container_guest ? HOST_AUDIO_SHORT_FRAME : HOST_AUDIO_FRAME;
    int64_t last_voice = VKO_GetTime();
    int64_t last_send = last_voice;
    auto *pcm = (int16_t *)VKO_Alloc(BUFFER_BYTES, 1);
    auto *packet = (uint8_t *)VKO_Alloc(BUFFER_BYTES, 1);
    auto *raw = (int16_t *)VKO_Alloc(BUFFER_BYTES, 1);
    uint32_t counter = 0, scan_pass = 0;
    float smoothed = 0;
    int32_t r = 0;
    while (!a->stop && guests(a) > 0) {
        const int64_t t = VKO_GetTime();
        if (cap->api.voice_active && cap->api.voice_active(cap->handle)) last_voice = t;
        r = cap->api.poll(cap->handle, pcm, frame);
        if (r == AUDIO_NOT_ENOUGH) {
            pause(a, (uint32_t)live->poll_rate);
            continue;
        }
        if (r != 0) {
            pause(a, 5000);
            break;
        }
        refresh(a, live);
        if (live->audio_cancel == 1 && a->voice_callback && cap->api.voice_scan && scan_pass++ % 100 == 0)
            cap->api.voice_scan(cap->handle, a->voice_callback, a->voice_opaque);
        if (live->audio_cancel == 1) {
            const double divisor = host_audio_voice_divisor(ms_since(last_voice));
            if (divisor > 0)
                for (uint32_t i = 0; i < frame; i++) {
                    auto v = (int16_t)((pcm[2 * i] - pcm[2 * i + 1]) / divisor);
                    pcm[2 * i] = pcm[2 * i + 1] = v;
                }
        }
        const int64_t enc_start = VKO_GetTime();
        int32_t n = opus_encode(enc, pcm, (int)frame, packet, (opus_int32)BUFFER_BYTES);
        const bool packet_ok = n > 0;
        if (!packet_ok)
            log_message(LOG_LEVEL_INFO, "* %s/%s[%d] = %d", "audio_encode", "opus_encode", __LINE__, n);
        const uint32_t raw_bytes = frame * 2 * 2;
        const bool raw_ok = raw_bytes <= BUFFER_BYTES;
        if (raw_ok)
            memcpy(raw, pcm, raw_bytes);
        else
            log_message(LOG_LEVEL_INFO, "'audio_encode_raw' not enough buffer INT16 %d vs %d",
                        (int)BUFFER_BYTES, (int)raw_bytes);
        if (!packet_ok && !raw_ok) continue;
        const float encode_ms = (float)ms_since(enc_start);
        smoothed = 0.1f * encode_ms + 0.9f * smoothed;
        const int64_t now = VKO_GetTime();
        HostAudioTiming timing{(float)VKO_TimeDiff(t, now), encode_ms, (float)VKO_TimeDiff(last_send, now)};
        last_send = now;
        if (a->send)
            a->send(a->host, packet, packet_ok ? (uint32_t)n : 0, raw, raw_ok ? raw_bytes : 0, frame, counter,
                    smoothed, a->timing_audio ? &timing : nullptr);
        counter++;
    }
    VKO_Free(pcm);
    VKO_Free(packet);
    VKO_Free(raw);
    opus_encoder_destroy(enc);
    return r;
}

}  // namespace

double host_audio_voice_divisor(double e) {
    if (e >= 50) return 0;
    double divisor = e <= 6.25 ? 1 : 43.75 / (43.75 - (e - 6.25));
    return divisor + 1;
}

void host_audio_init(HostAudio *a, AudioCapture *capture) {
    a->capture = capture;
    a->stop = false;
    a->wake = VKO_WaitableCreate();
}

void host_audio_free(HostAudio *a) {
    VKO_WaitableDestroy(&a->wake);
}

void host_audio_stop(HostAudio *a) {
    a->stop = true;
    VKO_WaitableSignal(a->wake);
}

void *host_audio_thread(void *opaque) {
    auto *a = (HostAudio *)opaque;
    AudioCapture *cap = a->capture;
    HostAudioSettings live{};
    live.bitrate = 128;
    live.poll_rate = 10;
    while (!a->stop) {
        if (guests(a) == 0 || cap->row == AUDIO_ROW_NONE) {
            pause(a, 100);
            continue;
        }
        refresh(a, &live);
        int32_t r = cap->api.start(&cap->handle, live.audio_id, a->admin_mute.exchange(0),
                                   live.audio_cancel == 2 ? live.echo_app : "");
        if (r == 0) r = stream_session(a, &live);
        VKO_MutexLock(cap->mutex);
        if (cap->handle) cap->api.stop(&cap->handle);
        VKO_MutexUnlock(cap->mutex);
        if (r < 0) {
            if (!g_thread_error_logged.exchange(true))
                log_message(LOG_LEVEL_INFO, "* %s[%d] = %d", "host_audio_thread", __LINE__, r);
            pause(a, 1000);
        }
    }
    return nullptr;
}
