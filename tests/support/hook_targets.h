// A small shared library with what the audio and generic hook tests attach
// to: fake audio render clients (a method table of their own, a buffer, a
// chain of pointers leading to their format) and two plain functions that
// the test binary calls through its import slots.
#pragma once

#include <stdint.h>

#include "compat/audioclient/audioclient.h"

#ifdef __cplusplus
extern "C" {
#endif

// Pointer index list from a fake client to its format: client[2] -> inner,
// inner[1] -> the format.
#define HOOK_TARGET_FORMAT_PATH \
    { 2u, 1u }

typedef struct HookTargetFormat {
    uint16_t format_tag;
    uint16_t channels;
    uint32_t samples_per_sec;
    uint32_t avg_bytes_per_sec;
    uint16_t block_align;
    uint16_t bits_per_sample;
    uint16_t extra_size;
    uint8_t extra[64];
} __attribute__((packed)) HookTargetFormat;

typedef struct HookTargetClient {
    IAudioRenderClient base;
    void *unused;
    void **inner;  // inner[1]: &format, or NULL for an empty step
    void *inner_slots[2];
    HookTargetFormat format;
    uint8_t buffer[8192];
    uint32_t gets, releases;
    uint32_t last_release_frames, last_release_flags;
    int32_t fail_next_get;  // GetBuffer answers this once (and leaves *data alone)
} HookTargetClient;

HookTargetClient *hook_target_client_create(uint16_t channels, uint32_t rate, uint16_t bits);
void hook_target_client_destroy(HookTargetClient *client);

// The two generic targets.
uintptr_t hook_target_present3(void *a, void *b, void *c);
uintptr_t hook_target_notice(uint32_t value);
// Calls since the process started.
uint32_t hook_target_present_calls(void);
uint32_t hook_target_notice_calls(void);

// Present-shaped (three arguments) and Present1-shaped (four) functions for
// the Direct3D 12 hook entries; each counts its calls (index 0..3 and 4..7).
int32_t hook_target_present_entry_0(void *swap_chain, uint32_t sync, uint32_t flags);
int32_t hook_target_present_entry_1(void *swap_chain, uint32_t sync, uint32_t flags);
int32_t hook_target_present_entry_2(void *swap_chain, uint32_t sync, uint32_t flags);
int32_t hook_target_present_entry_3(void *swap_chain, uint32_t sync, uint32_t flags);
int32_t hook_target_present1_entry_0(void *swap_chain, uint32_t sync, uint32_t flags, const void *params);
int32_t hook_target_present1_entry_1(void *swap_chain, uint32_t sync, uint32_t flags, const void *params);
int32_t hook_target_present1_entry_2(void *swap_chain, uint32_t sync, uint32_t flags, const void *params);
int32_t hook_target_present1_entry_3(void *swap_chain, uint32_t sync, uint32_t flags, const void *params);
uint32_t hook_target_entry_calls(uint32_t index);

#ifdef __cplusplus
}
#endif
