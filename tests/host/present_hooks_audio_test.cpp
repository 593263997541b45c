// Audio render-client hooks on fake clients of a separate shared library, the
// default-format probe against the test's PulseAudio server, and the generic
// entries on functions the test calls through its import slots.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "compat/detour/detour.h"
#include "connection/instance.h"
#include "host/present_hooks_audio.h"
#include "support/hook_targets.h"
#include "support/pulse_server.h"

namespace {

struct Heard {
    struct Call {
        uint32_t frames;
        std::vector<uint8_t> data;
        const AudioWaveFormat *format;
        AudioWaveFormat copy;
    };
    std::vector<Call> calls;
};

void on_audio(uint32_t frames, const uint8_t *buffer, const AudioWaveFormat *format, void *opaque) {
    Heard *h = (Heard *)opaque;
    h->calls.push_back({frames, std::vector<uint8_t>(buffer, buffer + (size_t)frames * format->block_align),
                        format, *format});
}

struct AudioHooks : ::testing::Test {
    HookTargetClient *client = nullptr;
    Heard heard;
    const uint32_t path[2] = HOOK_TARGET_FORMAT_PATH;

    void SetUp() override { client = hook_target_client_create(2, 44100, 16); }
    void TearDown() override {
        if (hooks_installed()) {
            EXPECT_EQ(hooks_remove_all(0), 0);
        }
        EXPECT_EQ(hooks_remove_all(0), HOOK_ERR_NO_HOOKS);
        hook_target_client_destroy(client);
    }

    IAudioRenderClient *rc() { return &client->base; }
    // One buffer of `frames`, filled with `fill`, released with `flags`.
    void play(uint32_t frames, uint8_t fill, uint32_t flags = 0) {
        uint8_t *data = nullptr;
        ASSERT_EQ(rc()->lpVtbl->GetBuffer(rc(), frames, &data), 0);
        std::memset(data, fill, (size_t)frames * 4);
        ASSERT_EQ(rc()->lpVtbl->ReleaseBuffer(rc(), frames, flags), 0);
    }
};

}  // namespace

// The format comes through the pointer list once per client; every released
// buffer reaches the callback and then the real call.
TEST_F(AudioHooks, BuffersReachTheCallbackWithTheFormatReadOnce) {
    ASSERT_EQ(hook_audio_install(rc(), path, 2, on_audio, &heard), 0);
    play(100, 0x11);
    client->format.samples_per_sec = 8000;  // read once: later changes go unseen
    play(50, 0x22);
    EXPECT_EQ(client->gets, 2u);
    EXPECT_EQ(client->releases, 2u);
    EXPECT_EQ(client->last_release_frames, 50u);
    ASSERT_EQ(heard.calls.size(), 2u);
    EXPECT_EQ(heard.calls[0].frames, 100u);
    EXPECT_EQ(heard.calls[0].data, std::vector<uint8_t>(400, 0x11));
    EXPECT_EQ(heard.calls[1].data, std::vector<uint8_t>(200, 0x22));
    EXPECT_EQ(heard.calls[0].format, heard.calls[1].format);
    EXPECT_EQ(heard.calls[1].copy.samples_per_sec, 44100u);
    EXPECT_EQ(heard.calls[1].copy.channels, 2u);
    EXPECT_EQ(heard.calls[1].copy.block_align, 4u);
}

// Released as silent: the callback hears zeroes, not what the buffer held.
TEST_F(AudioHooks, SilentReleaseHandsOnSilence) {
    ASSERT_EQ(hook_audio_install(rc(), path, 2, on_audio, &heard), 0);
    play(64, 0x55, AUDCLNT_BUFFERFLAGS_SILENT);
    EXPECT_EQ(client->last_release_flags, AUDCLNT_BUFFERFLAGS_SILENT);
    ASSERT_EQ(heard.calls.size(), 1u);
    EXPECT_EQ(heard.calls[0].frames, 64u);
    EXPECT_EQ(heard.calls[0].data, std::vector<uint8_t>(256, 0));
}

// Only a buffer GetBuffer really gave is handed on, and only once.
TEST_F(AudioHooks, FailedOrReleasedBuffersAreNotHandedOn) {
    ASSERT_EQ(hook_audio_install(rc(), path, 2, on_audio, &heard), 0);
    play(10, 0x01);
    ASSERT_EQ(heard.calls.size(), 1u);
    // Released again without a GetBuffer: nothing to hand on.
    ASSERT_EQ(rc()->lpVtbl->ReleaseBuffer(rc(), 10, 0), 0);
    EXPECT_EQ(heard.calls.size(), 1u);
    // A failed GetBuffer leaves a stale pointer in the caller's variable.
    client->fail_next_get = (int32_t)0x88890006u;
    uint8_t *data = client->buffer;
    EXPECT_NE(rc()->lpVtbl->GetBuffer(rc(), 10, &data), 0);
    ASSERT_EQ(rc()->lpVtbl->ReleaseBuffer(rc(), 10, 0), 0);
    EXPECT_EQ(heard.calls.size(), 1u);
    // More frames released than the buffer holds.
    ASSERT_EQ(rc()->lpVtbl->GetBuffer(rc(), 10, &data), 0);
    ASSERT_EQ(rc()->lpVtbl->ReleaseBuffer(rc(), 11, 0), 0);
    EXPECT_EQ(heard.calls.size(), 1u);
    EXPECT_EQ(client->releases, 4u);  // every call still reached the client
}

// Without a list, or at an empty step of it, the default output's format.
TEST_F(AudioHooks, WithoutAPathTheDefaultOutputFormatIsProbed) {
    ASSERT_NE(PulseServer::get(), nullptr);
    HookTargetClient *other = hook_target_client_create(1, 8000, 8);
    ASSERT_EQ(hook_audio_install(rc(), path, 2, on_audio, &heard), 0);
    client->inner_slots[1] = nullptr;  // empty step
    play(8, 0x33);
    ASSERT_EQ(heard.calls.size(), 1u);
    EXPECT_EQ(heard.calls[0].copy.samples_per_sec, 48000u);
    EXPECT_EQ(heard.calls[0].copy.channels, 2u);
    EXPECT_EQ(heard.calls[0].copy.bits_per_sample, 16u);
    ASSERT_EQ(hooks_remove_all(0), 0);

    ASSERT_EQ(hook_audio_install(&other->base, nullptr, 0, on_audio, &heard), 0);
    uint8_t *data = nullptr;
    ASSERT_EQ(other->base.lpVtbl->GetBuffer(&other->base, 8, &data), 0);
    ASSERT_EQ(other->base.lpVtbl->ReleaseBuffer(&other->base, 8, 0), 0);
    ASSERT_EQ(heard.calls.size(), 2u);
    EXPECT_EQ(heard.calls[1].copy.samples_per_sec, 48000u);
    hook_target_client_destroy(other);
}

TEST_F(AudioHooks, RemovalRestoresTheClientsTable) {
    void *get = detour_method(rc(), AUDIO_RENDER_CLIENT_GET_BUFFER);
    ASSERT_EQ(hook_audio_install(rc(), path, 2, on_audio, &heard), 0);
    EXPECT_EQ(hook_audio_install(rc(), path, 2, on_audio, &heard), DETOUR_ERROR_INVALID_OPERATION);
    EXPECT_NE(detour_method(rc(), AUDIO_RENDER_CLIENT_GET_BUFFER), get);
    ASSERT_EQ(hooks_remove_all(0), 0);
    EXPECT_EQ(detour_method(rc(), AUDIO_RENDER_CLIENT_GET_BUFFER), get);
    play(4, 0x44);
    EXPECT_TRUE(heard.calls.empty());
}

// --- generic entries ---

namespace {

struct Generic {
    int frames = 0, notices = 0;
    uint32_t kind = 99, value = 0;
    void *a = nullptr, *b = nullptr, *c = nullptr, *d = nullptr, *opaque = nullptr;
};

void generic_frame(uint32_t kind, void *a, void *b, void *c, void *d, void *opaque) {
    Generic *g = (Generic *)opaque;
    g->frames++;
    g->kind = kind, g->a = a, g->b = b, g->c = c, g->d = d, g->opaque = opaque;
}

void generic_notice(uint32_t value, void *opaque) {
    Generic *g = (Generic *)opaque;
    g->notices++;
    g->value = value;
}

}  // namespace

TEST(GenericHooks, EntriesHandOnTheirArgumentsAndReturnTheHookedResult) {
    Generic g;
    ASSERT_EQ(hook_generic_install((void *)&hook_target_present3, (void *)&hook_target_notice, generic_frame,
                                   generic_notice, &g),
              0);
    uint32_t presents = hook_target_present_calls(), notices = hook_target_notice_calls();
    EXPECT_EQ(hook_target_present3((void *)1, (void *)2, (void *)40), 43u);
    EXPECT_EQ(g.frames, 1);
    EXPECT_EQ(g.kind, HOOK_KIND_GENERIC);
    EXPECT_EQ(g.a, (void *)1);
    EXPECT_EQ(g.b, (void *)2);
    EXPECT_EQ(g.c, nullptr);
    EXPECT_EQ(g.d, (void *)40);
    EXPECT_EQ(g.opaque, &g);
    EXPECT_EQ(hook_target_notice(21), 42u);
    EXPECT_EQ(g.notices, 1);
    EXPECT_EQ(g.value, 21u);
    EXPECT_EQ(hook_target_present_calls(), presents + 1);
    EXPECT_EQ(hook_target_notice_calls(), notices + 1);

    ASSERT_EQ(hooks_remove_all(0), 0);
    EXPECT_EQ(hook_target_present3((void *)1, (void *)2, (void *)3), 6u);
    EXPECT_EQ(hook_target_notice(5), 10u);
    EXPECT_EQ(g.frames, 1);
    EXPECT_EQ(g.notices, 1);

    // Only the notice entry, with no frame callback.
    ASSERT_EQ(hook_generic_install(nullptr, (void *)&hook_target_notice, nullptr, generic_notice, &g), 0);
    EXPECT_EQ(hook_target_present3((void *)1, (void *)1, (void *)1), 3u);
    EXPECT_EQ(hook_target_notice(7), 14u);
    EXPECT_EQ(g.notices, 2);
    EXPECT_EQ(g.frames, 1);
    ASSERT_EQ(hooks_remove_all(0), 0);
    EXPECT_EQ(hook_generic_install(nullptr, nullptr, nullptr, nullptr, &g), DETOUR_ERROR_INVALID_HANDLE);
}

// The instance's removal takes the audio and generic hooks with the others.
TEST(GenericHooks, InstanceRemovalDetachesTheAudioAndGenericHooks) {
    HookTargetClient *client = hook_target_client_create(2, 48000, 16);
    Heard heard;
    Generic g;
    const uint32_t path[2] = HOOK_TARGET_FORMAT_PATH;
    void *get = detour_method(&client->base, AUDIO_RENDER_CLIENT_GET_BUFFER);
    void *release = detour_method(&client->base, AUDIO_RENDER_CLIENT_RELEASE_BUFFER);
    ASSERT_EQ(hook_audio_install(&client->base, path, 2, on_audio, &heard), 0);
    ASSERT_EQ(hook_generic_install((void *)&hook_target_present3, (void *)&hook_target_notice, generic_frame,
                                   generic_notice, &g),
              0);
    ZarvekInstance *z = nullptr;
    ASSERT_EQ(ZarvekInit(nullptr, &z), 0);
    z->hook_removal_wait_ms = 20;
    z->second_hook_set_installed = 1;
    ASSERT_EQ(ZarvekRemoveHooks(z), 0);
    EXPECT_EQ(z->second_hook_set_installed, 0);
    EXPECT_FALSE(hooks_installed());
    EXPECT_EQ(detour_method(&client->base, AUDIO_RENDER_CLIENT_GET_BUFFER), get);
    EXPECT_EQ(detour_method(&client->base, AUDIO_RENDER_CLIENT_RELEASE_BUFFER), release);
    EXPECT_EQ(detour_patched_slots((void *)&hook_target_present3), 0u);
    EXPECT_EQ(detour_patched_slots((void *)&hook_target_notice), 0u);
    EXPECT_EQ(ZarvekRemoveHooks(z), HOOK_ERR_NO_HOOKS);
    hook_target_present3(nullptr, nullptr, nullptr);
    EXPECT_EQ(g.frames, 0);
    ZarvekDestroy(&z);
    hook_target_client_destroy(client);
}
