// Audio playback: interleaved 16-bit PCM fed to the sound server with a small
// jitter policy (start once a minimum is buffered, reset when the buffer
// passes a maximum or runs dry) that follows changes of the default output.
#pragma once

#include <cstdint>

struct VKO_Audio;

// device_id: a sink name, or NULL/empty for the default output; with fallback
// the default output is taken when the named one cannot be opened. Buffers
// are in milliseconds. NULL on failure (logged).
VKO_Audio *VKO_AudioCreate(uint32_t sample_rate, uint32_t min_buffer_ms, uint32_t max_buffer_ms,
                           uint8_t channels, const char *device_id, uint8_t fallback);

// Must run on the creating thread (logged otherwise; the context is freed anyway).
void VKO_AudioDestroy(VKO_Audio **ctx);

// Queues count frames, or drops them when they do not fit or no device opens.
void VKO_AudioQueue(VKO_Audio *ctx, const int16_t *frames, uint32_t count);

// When playing: stops, empties the server's buffer and clears playing.
void VKO_AudioReset(VKO_Audio *ctx);
