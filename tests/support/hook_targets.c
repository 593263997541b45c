#include "support/hook_targets.h"

#include <stdlib.h>
#include <string.h>

static uint32_t g_present_calls, g_notice_calls;

static int32_t client_query(IAudioRenderClient *self, const void *iid, void **out) {
    (void)self, (void)iid;
    if (out) *out = NULL;
    return (int32_t)0x80004002u;
}

static uint32_t client_add_ref(IAudioRenderClient *self) {
    (void)self;
    return 1;
}

static uint32_t client_release(IAudioRenderClient *self) {
    (void)self;
    return 1;
}

static int32_t client_get_buffer(IAudioRenderClient *self, uint32_t frames, uint8_t **data) {
    HookTargetClient *c = (HookTargetClient *)self;
    c->gets++;
    if (c->fail_next_get) {
        int32_t hr = c->fail_next_get;
        c->fail_next_get = 0;
        return hr;
    }
    if (!data || (size_t)frames * c->format.block_align > sizeof(c->buffer)) return (int32_t)0x88890006u;
    *data = c->buffer;
    return 0;
}

static int32_t client_release_buffer(IAudioRenderClient *self, uint32_t frames, uint32_t flags) {
    HookTargetClient *c = (HookTargetClient *)self;
    c->releases++;
    c->last_release_frames = frames;
    c->last_release_flags = flags;
    return 0;
}

static const IAudioRenderClientVtbl g_client_table = {
    client_query, client_add_ref, client_release, client_get_buffer, client_release_buffer,
};

HookTargetClient *hook_target_client_create(uint16_t channels, uint32_t rate, uint16_t bits) {
    HookTargetClient *c = (HookTargetClient *)calloc(1, sizeof(HookTargetClient));
    c->base.lpVtbl = &g_client_table;
    c->inner = c->inner_slots;
    c->inner_slots[1] = &c->format;
    c->format.format_tag = 1;
    c->format.channels = channels;
    c->format.samples_per_sec = rate;
    c->format.bits_per_sample = bits;
    c->format.block_align = (uint16_t)(channels * bits / 8);
    c->format.avg_bytes_per_sec = rate * c->format.block_align;
    return c;
}

void hook_target_client_destroy(HookTargetClient *client) {
    free(client);
}

uintptr_t hook_target_present3(void *a, void *b, void *c) {
    g_present_calls++;
    return (uintptr_t)a + (uintptr_t)b + (uintptr_t)c;
}

uintptr_t hook_target_notice(uint32_t value) {
    g_notice_calls++;
    return (uintptr_t)value * 2u;
}

uint32_t hook_target_present_calls(void) {
    return g_present_calls;
}

uint32_t hook_target_notice_calls(void) {
    return g_notice_calls;
}

static uint32_t g_entry_calls[8];

#define PRESENT_ENTRY(n)                                                                     \
    int32_t hook_target_present_entry_##n(void *swap_chain, uint32_t sync, uint32_t flags) { \
        (void)swap_chain, (void)sync, (void)flags;                                           \
        g_entry_calls[n]++;                                                                  \
        return 0;                                                                            \
    }
#define PRESENT1_ENTRY(n)                                                                                    \
    int32_t hook_target_present1_entry_##n(void *swap_chain, uint32_t sync, uint32_t flags, const void *p) { \
        (void)swap_chain, (void)sync, (void)flags, (void)p;                                                  \
        g_entry_calls[4 + n]++;                                                                              \
        return 0;                                                                                            \
    }
PRESENT_ENTRY(0)
PRESENT_ENTRY(1)
PRESENT_ENTRY(2)
PRESENT_ENTRY(3)
PRESENT1_ENTRY(0)
PRESENT1_ENTRY(1)
PRESENT1_ENTRY(2)
PRESENT1_ENTRY(3)

uint32_t hook_target_entry_calls(uint32_t index) {
    return index < 8 ? g_entry_calls[index] : 0;
}
