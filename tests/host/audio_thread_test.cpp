// The host's sound end to end: a 1 kHz tone played into the private null sink
// is captured from its monitor by the host audio thread, Opus-encoded, sent
// over a BUD link on loopback and received by the least client, whose stream
// 2 messages are decoded here with libopus.
#include <gtest/gtest.h>
#include <opus/opus.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"
#include "host/host.h"
#include "platform/memory.h"
#include "support/bud_pair.h"
#include "support/pulse_server.h"
#include "util/config.h"
#include "util/logger.h"
#include "vdev/vdev.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Received {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::vector<uint8_t>> messages;
    Clock::time_point last;
};

uint32_t le32(const uint8_t *p) {
    return p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t be32(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The Opus packet of one stream-2 message: after the prefix (whose sample
// count, rate and codec must be right), or the payload of the fragment's media
// data box (the first fragment also carries the initialisation segment).
bool opus_packet(const std::vector<uint8_t> &m, bool container, uint32_t frame, const uint8_t **data,
                 uint32_t *size) {
    if (!container) {
        if (m.size() <= PROTO_AUDIO_PREFIX_SIZE || le32(m.data() + 4) != frame ||
            le32(m.data() + 8) != 48000 || m[12] != PROTO_CODEC_OPUS || m[13] != 2)
            return false;
        *data = m.data() + PROTO_AUDIO_PREFIX_SIZE;
        *size = (uint32_t)(m.size() - PROTO_AUDIO_PREFIX_SIZE);
        return true;
    }
    for (size_t at = 0; at + 8 <= m.size();) {
        const uint32_t box = be32(m.data() + at);
        if (box < 8 || box > m.size() - at) return false;
        if (memcmp(m.data() + at + 4, "mdat", 4) == 0) {
            *data = m.data() + at + 8;
            *size = box - 8;
            return true;
        }
        at += box;
    }
    return false;
}

class HostAudioToClient : public ::testing::Test {
   protected:
    void SetUp() override {
        srv = PulseServer::get();
        ASSERT_NE(srv, nullptr);
        tone = srv->play_heard_tone("testsink", 1000, 0.3);
        ASSERT_GE(tone, 0);
        vdev_set_backend(&vdev_recording_backend);
        HostHooks hooks{[](HostContext *, uint32_t) {}, 0, nullptr, nullptr, 0};  // no video
        host_set_hooks(&hooks);
        client_set_media_sink(
            [](uint8_t stream, const uint8_t *data, uint32_t size, void *o) {
                if (stream != 2) return;
                auto *r = static_cast<Received *>(o);
                std::lock_guard<std::mutex> lock(r->m);
                r->messages.emplace_back(data, data + size);
                r->last = Clock::now();
                r->cv.notify_all();
            },
            &got);
    }
    void TearDown() override {
        client_set_media_sink(nullptr, nullptr);
        host_set_hooks(nullptr);
        vdev_set_backend(nullptr);
        if (srv) srv->stop_tone(tone);
    }
    PulseServer *srv = nullptr;
    int tone = -1;
    Received got;
};

// A guest whose stream goes into a container gets short frames as fragments;
// any other gets 20 ms frames behind the prefix. Either way every packet holds
// one frame, no more audio arrives than was played, and the tone is there.
TEST_F(HostAudioToClient, ToneArrivesAsOpusFramesOfTheGuestKind) {
    for (int container : {0, 2}) {
        SCOPED_TRACE(container);
        const uint32_t frame = container ? HOST_AUDIO_SHORT_FRAME : HOST_AUDIO_FRAME;
        {
            std::lock_guard<std::mutex> lock(got.m);
            got.messages.clear();
        }
        HostConfig cfg{};
        config_create();
        config_read_host(&cfg);
        config_destroy();
        // The defaults: per-application capture leaving out "discord.exe", which does not run here.
        ASSERT_EQ(cfg.audio_cancel, 2);
        HostCallbacks callbacks{[](const GuestInfo *, uint32_t, int32_t, uint64_t, void *) {},
                                [](const GuestInfo *, uint32_t, char *payload, void *) -> int32_t {
                                    VKO_Free(payload);
                                    return 0;
                                }};
        HostContext *host = nullptr;
        host_create(&cfg, &callbacks, nullptr, &host);
        BudPair pair;
        ASSERT_TRUE(pair.open(false));
        GuestInfo info{};
        info.id = 1;
        info.userID = 1001;
        info.owner = 1;  // the host's own window is in front: only the owner hears it
        snprintf(info.name, sizeof info.name, "listener");
        const auto joined = Clock::now();
        host_on_accept(&info, proto_create(TRANSPORT_BUD, pair.host, bud_recv, bud_send, bud_close), host);
        pair.host = nullptr;  // the host owns its end now
        ClientConfig cc{};
        proto_client_config_defaults(&cc);
        cc.video_container = container;
        ClientContext *client = nullptr;
        ASSERT_EQ(client_create(proto_create(TRANSPORT_BUD, pair.client, bud_recv, bud_send, nullptr), &cc,
                                nullptr, nullptr, &client),
                  0);
        const size_t want = 48000 * 3 / 2 / frame;  // 1.5 s
        {
            std::unique_lock<std::mutex> lock(got.m);
            EXPECT_TRUE(
                got.cv.wait_for(lock, std::chrono::seconds(20), [&] { return got.messages.size() >= want; }));
        }
        host_destroy(&host, 0);  // while the client still acknowledges its goodbye
        client_destroy(&client);

        std::lock_guard<std::mutex> lock(got.m);
        ASSERT_GE(got.messages.size(), want);
        const double played = std::chrono::duration<double>(got.last - joined).count();
        EXPECT_LE((double)got.messages.size() * frame / 48000, played + 0.2) << "more sound than was played";
        OpusDecoder *dec = opus_decoder_create(48000, 2, nullptr);
        std::vector<int16_t> pcm, out(2 * 5760);
        size_t bad = 0;
        for (const auto &m : got.messages) {
            const uint8_t *data = nullptr;
            uint32_t size = 0;
            if (!opus_packet(m, container != 0, frame, &data, &size) ||
                opus_packet_get_nb_samples(data, (opus_int32)size, 48000) != (int)frame) {
                bad++;
                continue;
            }
            const int n = opus_decode(dec, data, (opus_int32)size, out.data(), 5760, 0);
            if (n != (int)frame) bad++;
            if (n > 0) pcm.insert(pcm.end(), out.begin(), out.begin() + 2 * n);
        }
        opus_decoder_destroy(dec);
        EXPECT_EQ(bad, 0u);
        ASSERT_GT(pcm.size(), 2u * 24000);
        // Past the encoder's start-up; a loaded machine's gaps only lower the
        // 0.3 played and spread some energy, so the tone must stand out.
        const size_t from = 9600, frames = pcm.size() / 2 - from;
        const double at_1k = tone_amplitude(pcm.data() + 2 * from, frames, 2, 0, 1000);
        printf("container %d: %zu packets of %u frames in %.2f s, 1 kHz at %.3f\n", container,
               got.messages.size(), frame, played, at_1k);
        EXPECT_GT(at_1k, 0.05);
        EXPECT_GT(at_1k, 10 * tone_amplitude(pcm.data() + 2 * from, frames, 2, 0, 440));
        EXPECT_GT(at_1k, 10 * tone_amplitude(pcm.data() + 2 * from, frames, 2, 1, 2000));
    }
}

std::mutex g_lines_mutex;
std::vector<std::string> g_lines;

// With centre cancellation on, the host scans for voice programs: one that
// plays (a program named Discord) is found, the host's attach answers that it
// failed, and the host says so and tries it again on later scans.
TEST_F(HostAudioToClient, VoiceProgramIsFoundWhileCancellationIsOn) {
    const pid_t voice = srv->spawn_tone("Discord", "testsink", 440, 0.1);
    ASSERT_GT(voice, 0);
    uint32_t pid = 0;
    for (int i = 0; i < 2000 && !pid; i++) {
        for (const PulseServer::Input &in : srv->inputs())
            if (in.pid && in.pid != (uint32_t)getpid()) pid = in.pid;
        if (!pid) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_NE(pid, 0u);
    log_set_line_writer([](uint32_t, const char *text, void *) {
        std::lock_guard<std::mutex> lock(g_lines_mutex);
        g_lines.emplace_back(text);
    });
    log_set_sink(log_sink_format, nullptr);
    HostConfig cfg{};
    config_create();
    config_read_host(&cfg);
    config_destroy();
    cfg.audio_cancel = 1;
    HostContext *host = nullptr;
    host_create(&cfg, nullptr, nullptr, &host);
    BudPair pair;
    ASSERT_TRUE(pair.open(false));
    GuestInfo info{};
    info.id = 1;
    info.userID = 1001;
    info.owner = 1;
    host_on_accept(&info, proto_create(TRANSPORT_BUD, pair.host, bud_recv, bud_send, bud_close), host);
    pair.host = nullptr;
    ClientConfig cc{};
    proto_client_config_defaults(&cc);
    ClientContext *client = nullptr;
    ASSERT_EQ(client_create(proto_create(TRANSPORT_BUD, pair.client, bud_recv, bud_send, nullptr), &cc,
                            nullptr, nullptr, &client),
              0);
    const std::string want =
        "Found activity from PID " + std::to_string(pid) + " but failed to activate, retrying";
    bool found = false;
    for (int i = 0; i < 4000 && !found; i++) {
        {
            std::lock_guard<std::mutex> lock(g_lines_mutex);
            for (const std::string &l : g_lines) found |= l == want;
        }
        if (!found) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(found) << want;
    host_destroy(&host, 0);
    client_destroy(&client);
    log_set_sink(nullptr, nullptr);
    log_set_line_writer(nullptr);
    srv->kill_spawned(voice);
}

}  // namespace
