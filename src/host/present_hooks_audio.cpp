// State model: the audio and generic states are made by their installers and
// published through atomic pointers; slots and states are emptied and freed
// by hooks_audio_free after hooks_remove_all detached them and waited, as
// for the graphics hooks. The audio detours take the state's mutex around
// every map access; the generic state is never changed after publication.
#include "host/present_hooks_audio.h"

#include <atomic>
#include <cstring>

#include "compat/detour/detour.h"
#include "host/present_hooks_slots.h"
#include "platform/memory.h"

void *hook_audio_get_buffer_real = nullptr;
void *hook_audio_release_buffer_real = nullptr;
void *hook_generic_present_real = nullptr;
void *hook_generic_notice_real = nullptr;

namespace {

std::atomic<HookAudioState *> g_audio{nullptr};
std::atomic<HookGenericState *> g_generic{nullptr};

// Larger silent buffers are not handed on.
constexpr size_t kSilenceMax = 16u << 20;

// The client's format, looked up once. Under the mutex.
const AudioWaveFormat *client_format(HookAudioState *s, IAudioRenderClient *client) {
    if (auto *f = (AudioWaveFormat *)VKO_HashGetInt(s->formats, (uintptr_t)client)) return f;
    AudioWaveFormat *copy = nullptr;
    if (s->path_len) {
        const void *obj = client;
        for (uint32_t i = 0; obj && i < s->path_len; i++) obj = ((const void *const *)obj)[s->path[i]];
        if (obj) {
            const AudioWaveFormat *found = (const AudioWaveFormat *)obj;
            uint32_t extra = found->extra_size;
            if (extra > HOOK_AUDIO_FORMAT_EXTRA_MAX) extra = HOOK_AUDIO_FORMAT_EXTRA_MAX;
            copy = (AudioWaveFormat *)VKO_Alloc(1, sizeof(AudioWaveFormat) + HOOK_AUDIO_FORMAT_EXTRA_MAX);
            std::memcpy(copy, found, sizeof(AudioWaveFormat) + extra);
            copy->extra_size = (uint16_t)extra;
        }
    }
    if (!copy) copy = audio_probe_default_format();
    if (copy) VKO_HashSetInt(s->formats, (uintptr_t)client, copy);
    return copy;
}

void audio_free(HookAudioState *s) {
    s->flag = 1;
    if (s->thread) VKO_ThreadDestroy(&s->thread);
    VKO_HashDestroy(&s->formats, VKO_Free);
    VKO_HashDestroy(&s->buffers, VKO_Free);
    VKO_Free(s->path);
    VKO_Free(s->silence);
    VKO_MutexDestroy(&s->mutex);
    VKO_Free(s);
}

}  // namespace

// Each detour reads its trampoline slot on entry (see present_hooks_d3d.cpp).
int32_t hook_audio_get_buffer(IAudioRenderClient *client, uint32_t frames, uint8_t **data) {
    auto real =
        (int32_t(*)(IAudioRenderClient *, uint32_t, uint8_t **))hook_load_slot(&hook_audio_get_buffer_real);
    int32_t hr = real(client, frames, data);
    HookAudioState *s = g_audio.load(std::memory_order_acquire);
    if (!s) return hr;
    VKO_MutexLock(s->mutex);
    auto *b = (HookAudioBuffer *)VKO_HashGetInt(s->buffers, (uintptr_t)client);
    if (!b) {
        b = (HookAudioBuffer *)VKO_Alloc(1, sizeof(HookAudioBuffer));
        VKO_HashSetInt(s->buffers, (uintptr_t)client, b);
    }
    // Only a buffer the call really gave is remembered.
    bool ok = hr >= 0 && data && *data;
    *b = {ok ? *data : nullptr, ok ? frames : 0, (uint8_t)ok};
    VKO_MutexUnlock(s->mutex);
    return hr;
}

int32_t hook_audio_release_buffer(IAudioRenderClient *client, uint32_t frames, uint32_t flags) {
    auto real =
        (int32_t(*)(IAudioRenderClient *, uint32_t, uint32_t))hook_load_slot(&hook_audio_release_buffer_real);
    if (HookAudioState *s = g_audio.load(std::memory_order_acquire)) {
        VKO_MutexLock(s->mutex);
        const AudioWaveFormat *format = client_format(s, client);
        auto *b = (HookAudioBuffer *)VKO_HashGetInt(s->buffers, (uintptr_t)client);
        // More frames than the buffer holds: the real call refuses them too.
        if (b && b->valid && format && frames <= b->frames && s->on_audio) {
            const uint8_t *data = b->data;
            if (flags & AUDCLNT_BUFFERFLAGS_SILENT) {
                // The buffer may hold anything: silence is what plays.
                size_t need = (size_t)frames * format->block_align;
                data = nullptr;
                if (need <= kSilenceMax) {
                    if (need > s->silence_size) {
                        VKO_Free(s->silence);
                        s->silence = (uint8_t *)VKO_Alloc(1, need);
                        s->silence_size = need;
                    }
                    data = s->silence;
                }
            }
            if (data) s->on_audio(frames, data, format, s->opaque);
        }
        if (b) *b = {};  // the buffer belongs to the client again
        VKO_MutexUnlock(s->mutex);
    }
    return real(client, frames, flags);
}

uintptr_t hook_generic_present(void *a, void *b, void *c) {
    auto real = (uintptr_t(*)(void *, void *, void *))hook_load_slot(&hook_generic_present_real);
    HookGenericState *s = g_generic.load(std::memory_order_acquire);
    if (s && s->on_frame) s->on_frame(HOOK_KIND_GENERIC, a, b, nullptr, c, s->opaque);
    return real(a, b, c);
}

uintptr_t hook_generic_notice(uint32_t value) {
    auto real = (uintptr_t(*)(uint32_t))hook_load_slot(&hook_generic_notice_real);
    HookGenericState *s = g_generic.load(std::memory_order_acquire);
    if (s && s->on_notice) s->on_notice(value, s->opaque);
    return real(value);
}

int32_t hook_audio_install(IAudioRenderClient *client, const uint32_t *path, uint32_t path_len,
                           HookAudioCallback on_audio, void *opaque) {
    if (!client || !client->lpVtbl) return DETOUR_ERROR_INVALID_HANDLE;
    hooks_install_lock();
    if (g_audio.load() || hook_audio_get_buffer_real || hook_audio_release_buffer_real) {
        hooks_install_unlock();
        return DETOUR_ERROR_INVALID_OPERATION;
    }
    HookAudioState *s = (HookAudioState *)VKO_Alloc(1, sizeof(HookAudioState));
    s->mutex = VKO_MutexCreate();
    s->formats = VKO_HashCreate(16);
    s->buffers = VKO_HashCreate(16);
    if (path && path_len) {
        s->path = (uint32_t *)VKO_Dup(path, path_len * sizeof(uint32_t));
        s->path_len = path_len;
    }
    s->on_audio = on_audio;
    s->opaque = opaque;
    g_audio.store(s, std::memory_order_release);
    hook_audio_get_buffer_real = detour_method(client, AUDIO_RENDER_CLIENT_GET_BUFFER);
    hook_audio_release_buffer_real = detour_method(client, AUDIO_RENDER_CLIENT_RELEASE_BUFFER);
    void **slots[] = {&hook_audio_get_buffer_real, &hook_audio_release_buffer_real};
    void *detours[] = {(void *)hook_audio_get_buffer, (void *)hook_audio_release_buffer};
    int32_t r = hook_attach_all(slots, detours, 2);
    if (r != 0) audio_free(g_audio.exchange(nullptr));
    hooks_install_unlock();
    return r;
}

int32_t hook_generic_install(void *present_function, void *notice_function, HookFrameCallback on_frame,
                             HookNoticeCallback on_notice, void *opaque) {
    if (!present_function && !notice_function) return DETOUR_ERROR_INVALID_HANDLE;
    hooks_install_lock();
    if (g_generic.load() || hook_generic_present_real || hook_generic_notice_real) {
        hooks_install_unlock();
        return DETOUR_ERROR_INVALID_OPERATION;
    }
    HookGenericState *s = (HookGenericState *)VKO_Alloc(1, sizeof(HookGenericState));
    *s = {opaque, on_notice, on_frame};
    g_generic.store(s, std::memory_order_release);
    hook_generic_present_real = present_function;
    hook_generic_notice_real = notice_function;
    void **slots[] = {&hook_generic_present_real, &hook_generic_notice_real};
    void *detours[] = {(void *)hook_generic_present, (void *)hook_generic_notice};
    int32_t r = hook_attach_all(slots, detours, 2);
    if (r != 0) VKO_Free(g_generic.exchange(nullptr));
    hooks_install_unlock();
    return r;
}

bool hooks_audio_installed(void) {
    return g_audio.load() || g_generic.load() || hook_audio_get_buffer_real ||
           hook_audio_release_buffer_real || hook_generic_present_real || hook_generic_notice_real;
}

void hooks_audio_detach(void) {
    if (hook_audio_get_buffer_real) DetourDetach(&hook_audio_get_buffer_real, (void *)hook_audio_get_buffer);
    if (hook_audio_release_buffer_real)
        DetourDetach(&hook_audio_release_buffer_real, (void *)hook_audio_release_buffer);
    if (hook_generic_present_real) DetourDetach(&hook_generic_present_real, (void *)hook_generic_present);
    if (hook_generic_notice_real) DetourDetach(&hook_generic_notice_real, (void *)hook_generic_notice);
}

void hooks_audio_free(void) {
    for (void **slot : {&hook_audio_get_buffer_real, &hook_audio_release_buffer_real,
                        &hook_generic_present_real, &hook_generic_notice_real})
        hook_clear_slot(slot);
    if (HookAudioState *s = g_audio.exchange(nullptr)) {
        VKO_MutexLock(s->mutex);
        VKO_MutexUnlock(s->mutex);
        audio_free(s);
    }
    VKO_Free(g_generic.exchange(nullptr));
}
