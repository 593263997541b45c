// The host audio thread: while guests are connected it captures the host's
// sound through one capture row, encodes 48 kHz stereo Opus packets and hands
// each to the host session's delivery function.
#pragma once

#include <atomic>
#include <cstdint>

#include "host/audio_capture.h"

struct VKO_Waitable;

// The live audio settings, refreshed from the host's pending configuration.
struct HostAudioSettings {
    int32_t audio_cancel;  // 1 centre cancellation while voice is active, 2 per-application capture
    char audio_id[128];    // output to capture, empty for the default
    char echo_app[256];    // application whose sound is left out
    int32_t bitrate;       // kbit/s
    int32_t poll_rate;     // ms between polls while no audio is ready
};

// Timing values of one packet, in ms: since the poll began, encoding, since the previous packet.
struct HostAudioTiming {
    float since_poll;
    float encode;
    float interval;
};

// Delivery of one packet to every guest. opus_size is 0 when only the raw
// copy is valid, raw_size 0 when only the packet is; timing is NULL unless
// timing reports are on.
typedef void (*HostAudioSendFn)(void *host, const uint8_t *opus, uint32_t opus_size, const int16_t *raw,
                                uint32_t raw_size, uint32_t samples, uint32_t packet, float encode_ms,
                                const HostAudioTiming *timing);

// What the thread reads of the host session. The session fills the hooks and
// flags before starting the thread; the flags may change while it runs.
struct HostAudio {
    AudioCapture *capture;
    void *host;                                                 // passed to every hook
    HostAudioSendFn send;                                       // NULL: packets are made and dropped
    uint32_t (*guest_count)(void *host);                        // guests connected now
    void (*apply_config)(void *host, HostAudioSettings *live);  // refreshes the live settings
    AudioVoiceCallback voice_callback;                          // NULL: no voice scan
    void *voice_opaque;
    std::atomic<bool> stop;
    std::atomic<uint8_t> admin_mute;       // handed to the next capture start, then cleared
    std::atomic<uint8_t> container_guest;  // some guest takes audio in the container: short frames
    std::atomic<uint8_t> timing_audio;
    VKO_Waitable *wake;  // cuts the thread's pauses short when stopping
};

#define HOST_AUDIO_FRAME 960
#define HOST_AUDIO_SHORT_FRAME 240

void host_audio_init(HostAudio *audio, AudioCapture *capture);
void host_audio_free(HostAudio *audio);
void *host_audio_thread(void *host_audio);
// Sets stop and wakes the thread from its pauses (join it afterwards).
void host_audio_stop(HostAudio *audio);

// The centre cancellation's divisor elapsed_ms after the last voice activity,
// or 0 when it no longer applies (50 ms and later).
double host_audio_voice_divisor(double elapsed_ms);
