// Stands in for the shape of the Windows audio render client
// (IAudioRenderClient): a COM object whose method table holds QueryInterface,
// AddRef, Release, GetBuffer and ReleaseBuffer, in that order. Nothing here
// plays sound (playback is PulseAudio's); the present hooks attach to the two
// buffer calls of such objects, which programs and tests provide.
#pragma once

#include <stdint.h>  // also included from C

typedef struct IAudioRenderClient IAudioRenderClient;

typedef struct IAudioRenderClientVtbl {
    int32_t (*QueryInterface)(IAudioRenderClient *self, const void *iid, void **out);
    uint32_t (*AddRef)(IAudioRenderClient *self);
    uint32_t (*Release)(IAudioRenderClient *self);
    int32_t (*GetBuffer)(IAudioRenderClient *self, uint32_t frames, uint8_t **data);
    int32_t (*ReleaseBuffer)(IAudioRenderClient *self, uint32_t frames, uint32_t flags);
} IAudioRenderClientVtbl;

struct IAudioRenderClient {
    const IAudioRenderClientVtbl *lpVtbl;
};

#define AUDIO_RENDER_CLIENT_GET_BUFFER 3u
#define AUDIO_RENDER_CLIENT_RELEASE_BUFFER 4u
// ReleaseBuffer: the frames are to be played as silence, whatever the buffer holds.
#define AUDCLNT_BUFFERFLAGS_SILENT 0x2u
