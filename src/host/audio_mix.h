// Capture of selected applications' sound: one monitor stream per sink input
// of a sink (the input's signal before the sink's volume and mute), mixed in
// this process at the pace of the sink's own monitor. Serves per-application
// capture and loopback of a muted output. Every call holds the connection's
// loop lock; the mix runs on the loop thread.
#pragma once

#include <cstdint>

#include "platform/pulse.h"

struct AudioMix;

// Which sink inputs to mix, by the process that plays them (0 when unknown).
// Runs on the loop thread.
typedef bool (*AudioMixFilter)(uint32_t pid, void *opaque);

// Told once, on the loop thread, when the mix first delivers (or has failed).
typedef void (*AudioMixReady)(void *opaque);

// 48 kHz stereo s16 of the inputs of sink that the filter selects. NULL (with
// the libpulse error) when the sink or the clock stream cannot be opened.
AudioMix *audio_mix_create(VKO_Pulse *p, const char *sink, AudioMixFilter filter, void *filter_opaque,
                           AudioMixReady ready, void *ready_opaque, int *err);
void audio_mix_destroy(AudioMix **mix);

// Mixed audio waiting to be read, as one block (bytes may be 0); drop removes
// its first bytes.
const void *audio_mix_peek(AudioMix *mix, uint32_t *bytes);
void audio_mix_drop(AudioMix *mix, uint32_t bytes);

// False once the clock stream has failed (the sink went away).
bool audio_mix_alive(AudioMix *mix);

// Inputs mixed at the moment.
uint32_t audio_mix_members(AudioMix *mix);

// True when pid is root or one of its descendants (through /proc).
bool audio_process_in_tree(uint32_t pid, uint32_t root);
