// Audio capture methods behind one table of operations: an application-fed
// queue, loopback of the default output, per-application capture (all sound
// but one process tree's, or only that tree's) and the microphone. Everything
// is delivered as 48 kHz 16-bit frames (stereo; mono for the microphone).
#pragma once

#include <atomic>
#include <cstdint>

struct VKO_Mutex;
struct VKO_Waitable;

#define AUDIO_NOT_ENOUGH 6000  // poll: not enough audio yet (not an error)
#define AUDIO_ERR_START (-9000)
#define AUDIO_ERR_READ (-9001)
#define AUDIO_ERR_OPUS_INIT (-10000)
#define AUDIO_ERR_PACKET (-10002)

#define AUDIO_SAMPLE_FLOAT 1u     // push: 32-bit float samples, else 16-bit integers
#define AUDIO_VOICE_PORT 40400    // voice-activity datagrams (16-bit PCM) from a local sender
#define AUDIO_FIFO_BYTES 384000u  // application-fed queue

enum AudioCaptureRow : uint32_t {
    AUDIO_ROW_NONE = 0,
    AUDIO_ROW_APP_FIFO = 1,
    AUDIO_ROW_LOOPBACK = 2,
    AUDIO_ROW_EXCLUDE_APP = 3,
    AUDIO_ROW_ONLY_APP = 4,
    AUDIO_ROW_MICROPHONE = 5,
};

typedef int32_t (*AudioVoiceCallback)(uint32_t pid, void *opaque);

struct AudioCaptureApi {
    // device id: a sink (loopback) or source (microphone) name, or empty for
    // the default; application selection: an executable name, or a process id
    // for "only the target".
    int32_t (*start)(void **handle, const char *device_id, uint8_t mute_endpoint, const char *app_selection);
    void (*push)(void **handle, uint32_t sample_kind, uint32_t sample_rate, const void *samples,
                 uint32_t frames);
    int32_t (*poll)(void *handle, int16_t *out, uint32_t frames);
    void (*stop)(void **handle);
    uint8_t (*voice_active)(void *handle);
    void (*voice_scan)(void *handle, AudioVoiceCallback callback, void *opaque);
};

extern const AudioCaptureApi AUDIO_CAPTURE_API[6];

// The host's capture record: the handle and the operations of one row.
struct AudioCapture {
    void *handle;
    AudioCaptureApi api;
    uint32_t row;
    VKO_Mutex *mutex;  // held around stop
};
AudioCapture *audio_capture_create(uint32_t row);
void audio_capture_destroy(AudioCapture **capture);

// Row entries.
int32_t afifo_start(void **handle, const char *device_id, uint8_t mute_endpoint, const char *app_selection);
void afifo_push(void **handle, uint32_t sample_kind, uint32_t sample_rate, const void *samples,
                uint32_t frames);
int32_t afifo_poll(void *handle, int16_t *out, uint32_t frames);
void afifo_stop(void **handle);

int32_t acapture_start_any(void **handle, const char *device_id, uint8_t mute_endpoint,
                           const char *app_selection, uint8_t microphone);
int32_t acapture_poll_any(void *handle, int16_t *out, uint32_t frames, uint8_t short_queue);
int32_t acapture_start_loopback(void **handle, const char *device_id, uint8_t mute_endpoint,
                                const char *app_selection);
int32_t acapture_start_mic(void **handle, const char *device_id, uint8_t mute_endpoint,
                           const char *app_selection);
int32_t acapture_poll_loopback(void *handle, int16_t *out, uint32_t frames);
int32_t acapture_poll_mic(void *handle, int16_t *out, uint32_t frames);
void acapture_stop(void **handle);
uint8_t acapture_voice_active(void *handle);
void acapture_voice_scan(void *handle, AudioVoiceCallback callback, void *opaque);

int32_t aexclusive_start(void **handle, const char *device_id, uint8_t mute_endpoint,
                         const char *app_selection, uint8_t inclusive);
int32_t aexclusive_start_exclusive(void **handle, const char *device_id, uint8_t mute_endpoint,
                                   const char *app_selection);
int32_t aexclusive_start_inclusive(void **handle, const char *device_id, uint8_t mute_endpoint,
                                   const char *app_selection);
int32_t aexclusive_poll(void *handle, int16_t *out, uint32_t frames);
void aexclusive_stop(void **handle);
// Process loopback state: 0 idle, 1 (re)building the capture, 2 capturing.
uint32_t aexclusive_state(void *handle);

// Asynchronous activation of per-application capture on a PulseAudio
// connection: the mix of the sink's applications inside (include) or outside
// (exclude) one process tree. It completes once the first audio has arrived
// or the capture has failed, on the connection's loop thread, by calling the
// handler's ActivateCompleted. The handler is reference counted: the
// activation holds a reference until it completes or is abandoned, the
// waiting thread its own; the last release frees it.
struct AudioMix;
struct VKO_Pulse;
struct AudioActivation;
struct LoopbackActivationHandler;

#define AUDIO_S_OK 0
#define AUDIO_E_PENDING ((int32_t)0x8000000A)
#define AUDIO_E_NOINTERFACE ((int32_t)0x80004002)
#define AUDIO_E_INVALIDARG ((int32_t)0x80070057)

enum AudioInterfaceId : uint32_t {
    AUDIO_IID_UNKNOWN = 0,
    AUDIO_IID_AGILE_OBJECT = 1,
    AUDIO_IID_ACTIVATION_COMPLETION = 2,
    AUDIO_IID_AUDIO_CLIENT = 3,
};

struct LoopbackActivationHandlerOps {
    int32_t (*QueryInterface)(LoopbackActivationHandler *self, uint32_t iid, void **out);
    uint32_t (*AddRef)(LoopbackActivationHandler *self);
    uint32_t (*Release)(LoopbackActivationHandler *self);
    int32_t (*ActivateCompleted)(LoopbackActivationHandler *self, AudioActivation *operation);
};

struct LoopbackActivationHandler {
    const LoopbackActivationHandlerOps *ops;
    VKO_Waitable *completed;  // signalled by ActivateCompleted
    std::atomic<uint32_t> refs;
};

// A new handler holding one reference (the caller's).
LoopbackActivationHandler *audio_activation_handler_create(void);

#define AUDIO_ACTIVATION_PROCESS_LOOPBACK 1u
#define AUDIO_LOOPBACK_INCLUDE_TREE 0u
#define AUDIO_LOOPBACK_EXCLUDE_TREE 1u

struct AudioProcessLoopbackParams {  // 12 bytes
    uint32_t activation_type;        // AUDIO_ACTIVATION_PROCESS_LOOPBACK
    uint32_t target_pid;
    uint32_t mode;  // AUDIO_LOOPBACK_INCLUDE_TREE or AUDIO_LOOPBACK_EXCLUDE_TREE
};
static_assert(sizeof(AudioProcessLoopbackParams) == 12);

// Starts an activation of iid (AUDIO_IID_AUDIO_CLIENT) for the inputs of sink.
// 0 with *operation set, or a negative code. Loop lock held.
int32_t ActivateAudioInterfaceAsync(VKO_Pulse *p, const char *sink, uint32_t iid,
                                    const AudioProcessLoopbackParams *params,
                                    LoopbackActivationHandler *handler, AudioActivation **operation);
// The activation's outcome in *result (AUDIO_E_PENDING until it completed)
// and, on success, its mix in *client: valid as long as the operation. Loop
// lock held.
int32_t audio_activation_result(AudioActivation *operation, int32_t *result, AudioMix **client);
// Frees the operation and its mix; an unfinished one is abandoned. Loop lock held.
void audio_activation_free(AudioActivation **operation);

#pragma pack(push, 1)
struct AudioWaveFormat {
    uint16_t format_tag;  // 1 integer PCM, 3 float
    uint16_t channels;
    uint32_t samples_per_sec;
    uint32_t avg_bytes_per_sec;
    uint16_t block_align;
    uint16_t bits_per_sample;
    uint16_t extra_size;
};
#pragma pack(pop)

// The default output's own format, as a heap copy (VKO_Free), or NULL.
AudioWaveFormat *audio_probe_default_format(void);
