// The audio hooks and the two generic entries. The audio detours sit on the
// GetBuffer and ReleaseBuffer slots of an audio render client's method table
// and hand every buffer the program releases to an audio callback with the
// client's format (read once per client: through a list of pointer indices
// from the client object, else the default output's format). The generic
// entries hand their arguments to the frame callback (kind 5) or the notice
// callback, then continue to the hooked function. Removed with the other
// hooks by hooks_remove_all.
#pragma once

#include <cstdint>

#include "compat/audioclient/audioclient.h"
#include "host/audio_capture.h"
#include "host/present_hooks.h"
#include "platform/map.h"
#include "platform/thread.h"

typedef void (*HookAudioCallback)(uint32_t frames, const uint8_t *buffer, const AudioWaveFormat *format,
                                  void *opaque);
typedef void (*HookNoticeCallback)(uint32_t value, void *opaque);

// The WAVEFORMATEX copy kept per client: 18 bytes and at most this many
// extra bytes (the extensible format's 22).
#define HOOK_AUDIO_FORMAT_EXTRA_MAX 22u

// `mutex` is held by both detours and the removal; the maps and `silence`
// change only under it. `flag` is set by the removal to stop `thread` (which
// an installer may start; none here does).
struct HookAudioState {
    VKO_Mutex *mutex;
    VKO_Hash *formats;  // render client -> AudioWaveFormat (with its extra bytes)
    VKO_Hash *buffers;  // render client -> HookAudioBuffer
    uint32_t *path;     // pointer indices from a client object to its format
    uint32_t path_len;  // 0: no list
    uint8_t flag;
    VKO_Thread *thread;
    void *opaque;
    HookAudioCallback on_audio;
    uint8_t *silence;  // zeroes handed on for buffers released as silent
    size_t silence_size;
};

// What the last successful GetBuffer of a client gave; valid until its release.
struct HookAudioBuffer {
    uint8_t *data;
    uint32_t frames;
    uint8_t valid;
};

struct HookGenericState {
    void *opaque;
    HookNoticeCallback on_notice;
    HookFrameCallback on_frame;
};

extern void *hook_audio_get_buffer_real;
extern void *hook_audio_release_buffer_real;
extern void *hook_generic_present_real;
extern void *hook_generic_notice_real;

int32_t hook_audio_get_buffer(IAudioRenderClient *client, uint32_t frames, uint8_t **data);
int32_t hook_audio_release_buffer(IAudioRenderClient *client, uint32_t frames, uint32_t flags);
// Sit on a three-argument and a one-argument function of the installer's
// choice; their results are passed back as integers.
uintptr_t hook_generic_present(void *a, void *b, void *c);
uintptr_t hook_generic_notice(uint32_t value);

// Makes the audio state and attaches both detours to the client's method
// table. path: the pointer indices (copied; null or 0 long for none).
int32_t hook_audio_install(IAudioRenderClient *client, const uint32_t *path, uint32_t path_len,
                           HookAudioCallback on_audio, void *opaque);
// Makes the generic state and attaches the entries whose function is given.
int32_t hook_generic_install(void *present_function, void *notice_function, HookFrameCallback on_frame,
                             HookNoticeCallback on_notice, void *opaque);

// For hooks_remove_all, as the Direct3D ones (present_hooks_d3d.h).
bool hooks_audio_installed(void);
void hooks_audio_detach(void);
void hooks_audio_free(void);
