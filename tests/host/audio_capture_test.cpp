#include "host/audio_capture.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <opus/opus.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "host/audio_mix.h"
#include "host/audio_thread.h"
#include "platform/thread.h"
#include "support/net/netns.h"
#include "support/pulse_server.h"

namespace {

// Only VoiceSocketOnLoopback opens the fixed voice port (in a network namespace
// of its own); the others pass an application selection, which opens none.

// Polls a row until frames are delivered (6000 means wait for more).
std::vector<int16_t> capture(const AudioCaptureApi &api, void *h, uint32_t frames, uint32_t channels = 2) {
    std::vector<int16_t> out(frames * channels);
    for (int i = 0; i < 1000; i++) {
        int32_t r = api.poll(h, out.data(), frames);
        if (r == 0) return out;
        if (r != AUDIO_NOT_ENOUGH) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return {};
}

double amp(const std::vector<int16_t> &pcm, double freq, int channels = 2) {
    return pcm.empty() ? -1 : tone_amplitude(pcm.data(), pcm.size() / channels, channels, 0, freq);
}

class AudioCaptureTest : public ::testing::Test {
   protected:
    void SetUp() override {
        srv = PulseServer::get();
        ASSERT_NE(srv, nullptr);
    }
    void TearDown() override {
        for (int t : tones) srv->stop_tone(t);
    }
    int tone(double freq) {
        int t = srv->play_heard_tone("testsink", freq, 0.3);
        EXPECT_GE(t, 0);
        tones.push_back(t);
        return t;
    }
    PulseServer *srv = nullptr;
    std::vector<int> tones;
};

// What the host session's delivery receives, decoded with libopus.
struct Guest {
    std::mutex m;
    std::condition_variable cv;
    OpusDecoder *dec = opus_decoder_create(48000, 2, nullptr);
    std::vector<int16_t> pcm;
    std::vector<int> sizes;
    uint32_t next = 0;
    bool in_order = true;
    ~Guest() { opus_decoder_destroy(dec); }
    static void send(void *host, const uint8_t *opus, uint32_t n, const int16_t *, uint32_t raw,
                     uint32_t samples, uint32_t packet, float, const HostAudioTiming *) {
        auto *g = (Guest *)host;
        std::lock_guard<std::mutex> l(g->m);
        std::vector<int16_t> out(2 * 5760);
        int got = opus_decode(g->dec, opus, (opus_int32)n, out.data(), 5760, 0);
        g->sizes.push_back(opus_packet_get_nb_samples(opus, (opus_int32)n, 48000));
        if (got > 0) g->pcm.insert(g->pcm.end(), out.begin(), out.begin() + 2 * got);
        g->in_order &= packet == g->next++ && raw == samples * 4;
        g->cv.notify_all();
    }
};

}  // namespace

// A tone played into the default output reaches the guest through the audio
// thread: Opus packets of the frame size of the guest kind, energy at 1 kHz.
TEST_F(AudioCaptureTest, LoopbackToneReachesTheGuestThroughOpus) {
    tone(1000);
    for (uint8_t container : {0, 1}) {
        const int frame = container ? HOST_AUDIO_SHORT_FRAME : HOST_AUDIO_FRAME;
        AudioCapture *cap = audio_capture_create(AUDIO_ROW_LOOPBACK);
        HostAudio audio{};
        host_audio_init(&audio, cap);
        Guest g;
        audio.host = &g;
        audio.send = Guest::send;
        audio.guest_count = [](void *) -> uint32_t { return 1; };
        audio.container_guest = container;
        // Only the voice test may take the voice port (test processes run in parallel).
        audio.apply_config = [](void *, HostAudioSettings *live) {
            *live = HostAudioSettings{2, "", "no-voice-socket", 128, 10};
        };
        VKO_Thread *t = VKO_ThreadCreate(host_audio_thread, &audio);
        {
            std::unique_lock<std::mutex> l(g.m);
            EXPECT_TRUE(
                g.cv.wait_for(l, std::chrono::seconds(10), [&] { return g.pcm.size() >= 2 * 24000 * 2; }));
        }
        host_audio_stop(&audio);
        VKO_ThreadDestroy(&t);
        host_audio_free(&audio);
        audio_capture_destroy(&cap);
        std::lock_guard<std::mutex> l(g.m);
        ASSERT_GE(g.pcm.size(), 2u * 48000);
        for (int s : g.sizes) EXPECT_EQ(s, frame);
        EXPECT_TRUE(g.in_order);
        // Past the encoder's start-up. 0.3 was played; a loaded machine's gaps
        // only lower it and spread some energy, so the tone must stand out.
        std::vector<int16_t> tail(g.pcm.begin() + 2 * 9600, g.pcm.end());
        const double at_1k = amp(tail, 1000);
        EXPECT_GT(at_1k, 0.03) << "frame " << frame;
        EXPECT_GT(at_1k, 10 * amp(tail, 440)) << at_1k;
        EXPECT_GT(at_1k, 10 * amp(tail, 2000)) << at_1k;
    }
}

// Muting the endpoint silences the local speakers (the sink) while the
// capture keeps hearing the applications; stopping unmutes.
TEST_F(AudioCaptureTest, MutedEndpointStillReachesTheCapture) {
    tone(1000);
    void *h = nullptr;
    const auto &row = AUDIO_CAPTURE_API[AUDIO_ROW_LOOPBACK];
    ASSERT_EQ(row.start(&h, "", 1, "no-voice-socket"), 0);
    VKO_PulseSink sink;
    {
        PulseLock lock(srv->pulse());
        ASSERT_TRUE(vko_pulse_sink(srv->pulse(), "testsink", &sink));
    }
    EXPECT_TRUE(sink.mute);
    PulseRecorder speakers("testsink.monitor");
    EXPECT_LT(amp(speakers.take(4800), 1000), 0.001);
    capture(row, h, 4800);  // the mix's start
    EXPECT_GT(amp(capture(row, h, 24000), 1000), 0.1);
    row.stop(&h);
    {
        PulseLock lock(srv->pulse());
        ASSERT_TRUE(vko_pulse_sink(srv->pulse(), "testsink", &sink));
    }
    EXPECT_FALSE(sink.mute);
}

// Two players: the target (another process tree) at 1 kHz, this process at
// 440 Hz. Leaving the target out keeps only 440 Hz; taking only the target
// keeps only 1 kHz; a target that does not run gives nothing.
TEST_F(AudioCaptureTest, PerApplicationCaptureFollowsTheProcessTree) {
    // A name of this process's own: test runs on one machine overlap.
    const std::string exe = "zvtone-" + std::to_string(getpid());
    pid_t shell = srv->spawn_tone(exe, "testsink", 1000, 0.3);
    tone(440);
    for (int i = 0; i < 500 && srv->inputs().size() < 2; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const struct {
        uint32_t row;
        std::string selection;
        double at_1k, at_440;
    } cases[] = {{AUDIO_ROW_EXCLUDE_APP, exe, 0, 0.3}, {AUDIO_ROW_ONLY_APP, std::to_string(shell), 0.3, 0}};
    for (const auto &c : cases) {
        void *h = nullptr;
        const auto &row = AUDIO_CAPTURE_API[c.row];
        ASSERT_EQ(row.start(&h, "", 0, c.selection.c_str()), 0);
        std::vector<int16_t> pcm;
        for (int i = 0; i < 400 && aexclusive_state(h) != 2; i++) {
            capture(row, h, 480);  // polls run the target search
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        capture(row, h, 9600);  // settle
        pcm = capture(row, h, 24000);
        // 0.3 when present (a loaded machine's gaps only lower it), silence when absent.
        EXPECT_TRUE(c.at_1k ? amp(pcm, 1000) > 0.02 : amp(pcm, 1000) < 0.005)
            << c.selection << amp(pcm, 1000);
        EXPECT_TRUE(c.at_440 ? amp(pcm, 440) > 0.02 : amp(pcm, 440) < 0.005) << c.selection << amp(pcm, 440);
        row.stop(&h);
    }
    void *h = nullptr;
    const auto &only = AUDIO_CAPTURE_API[AUDIO_ROW_ONLY_APP];
    ASSERT_EQ(only.start(&h, "", 0, "999999999"), 0);
    std::vector<int16_t> buf(2 * 480);
    for (int i = 0; i < 20; i++) EXPECT_EQ(only.poll(h, buf.data(), 480), AUDIO_NOT_ENOUGH);
    only.stop(&h);
    srv->kill_spawned(shell);
}

// While the mix leaves an application out, the plain loopback waits in
// reserve; when that application ends the capture goes on with what plays now,
// not with what the reserve kept from seconds before.
TEST_F(AudioCaptureTest, ReserveCaptureResumesWithCurrentAudio) {
    const std::string exe = "zvquiet-" + std::to_string(getpid());
    pid_t shell = srv->spawn_tone(exe, "testsink", 1000, 0.001);  // too quiet to spoil the clock
    tones.push_back(srv->play_clock("testsink"));
    for (int i = 0; i < 500 && srv->inputs().size() < 2; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    void *h = nullptr;
    const auto &row = AUDIO_CAPTURE_API[AUDIO_ROW_EXCLUDE_APP];
    ASSERT_EQ(row.start(&h, "", 0, exe.c_str()), 0);
    for (int i = 0; i < 400 && aexclusive_state(h) != 2; i++) {
        capture(row, h, 480);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(aexclusive_state(h), 2u);
    int latest = -1, worst_back = 0, heard_before = 0, heard_after = 0;
    auto listen = [&](int blocks, int &heard) {
        for (int b = 0; b < blocks; b++) {
            auto pcm = capture(row, h, 480);
            if (pcm.empty()) continue;
            const int t = PulseServer::clock_tenths(pcm[480]);
            if (t < 0) continue;
            heard++;
            worst_back = std::max(worst_back, latest - t);
            latest = std::max(latest, t);
        }
    };
    listen(200, heard_before);  // two seconds through the mix
    srv->kill_spawned(shell);
    listen(100, heard_after);  // then the plain loopback
    row.stop(&h);
    EXPECT_GT(heard_before, 100);
    EXPECT_GT(heard_after, 50);
    EXPECT_LE(worst_back, 2) << "tenths of a second replayed";
    printf("replayed at most %d tenths of a second\n", worst_back);
}

// The completion handler answers for its three interfaces with a reference
// each; an activation holds one reference until it completes or is dropped,
// and a completed one serves the chosen process tree's sound.
TEST_F(AudioCaptureTest, ActivationCompletesThroughItsHandler) {
    tone(1000);
    LoopbackActivationHandler *h = audio_activation_handler_create();
    void *out = nullptr;
    for (uint32_t iid : {AUDIO_IID_UNKNOWN, AUDIO_IID_AGILE_OBJECT, AUDIO_IID_ACTIVATION_COMPLETION}) {
        EXPECT_EQ(h->ops->QueryInterface(h, iid, &out), AUDIO_S_OK);
        EXPECT_EQ(out, h);
    }
    EXPECT_EQ(h->ops->QueryInterface(h, AUDIO_IID_AUDIO_CLIENT, &out), AUDIO_E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(h->ops->QueryInterface(h, AUDIO_IID_UNKNOWN, nullptr), AUDIO_E_INVALIDARG);
    for (uint32_t left : {3u, 2u, 1u}) EXPECT_EQ(h->ops->Release(h), left);

    VKO_Pulse p{};
    ASSERT_EQ(vko_pulse_open(&p, "activation"), 0);
    const AudioProcessLoopbackParams only_us{AUDIO_ACTIVATION_PROCESS_LOOPBACK, (uint32_t)getpid(),
                                             AUDIO_LOOPBACK_INCLUDE_TREE};
    AudioActivation *op = nullptr;
    {
        PulseLock lock(&p);
        EXPECT_LT(ActivateAudioInterfaceAsync(&p, "nosuchsink", AUDIO_IID_AUDIO_CLIENT, &only_us, h, &op), 0);
        const AudioProcessLoopbackParams bad{7, 1, 0};
        EXPECT_EQ(ActivateAudioInterfaceAsync(&p, "testsink", AUDIO_IID_AUDIO_CLIENT, &bad, h, &op),
                  AUDIO_E_INVALIDARG);
        ASSERT_EQ(ActivateAudioInterfaceAsync(&p, "testsink", AUDIO_IID_AUDIO_CLIENT, &only_us, h, &op), 0);
        audio_activation_free(&op);  // dropped before it could complete
        EXPECT_EQ(h->refs.load(), 1u);
        ASSERT_EQ(ActivateAudioInterfaceAsync(&p, "testsink", AUDIO_IID_AUDIO_CLIENT, &only_us, h, &op), 0);
    }
    EXPECT_TRUE(VKO_WaitableWait(h->completed, 5000));
    std::vector<int16_t> pcm;
    for (int i = 0; i < 500 && pcm.size() < 2 * 24000; i++) {
        {
            PulseLock lock(&p);
            int32_t result = 0;
            AudioMix *mix = nullptr;
            audio_activation_result(op, &result, &mix);
            ASSERT_EQ(result, AUDIO_S_OK);
            uint32_t bytes = 0;
            const auto *data = (const int16_t *)audio_mix_peek(mix, &bytes);
            pcm.insert(pcm.end(), data, data + bytes / 2);
            audio_mix_drop(mix, bytes);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    {
        PulseLock lock(&p);
        audio_activation_free(&op);
    }
    vko_pulse_close(&p);
    EXPECT_EQ(h->refs.load(), 1u);  // the activation let go of its reference on completion
    EXPECT_EQ(h->ops->Release(h), 0u);
    ASSERT_GE(pcm.size(), 2u * 24000);
    EXPECT_GT(amp(std::vector<int16_t>(pcm.end() - 2 * 24000, pcm.end()), 1000), 0.1);
}

TEST_F(AudioCaptureTest, MicrophoneIsMonoWithAShortQueue) {
    tone(1000);
    void *h = nullptr;
    const auto &mic = AUDIO_CAPTURE_API[AUDIO_ROW_MICROPHONE];
    ASSERT_EQ(mic.start(&h, "testsink.monitor", 0, ""), 0);
    EXPECT_GT(amp(capture(mic, h, 1440, 1), 1000, 1), 0.1);
    std::vector<int16_t> buf(4800);
    EXPECT_EQ(mic.poll(h, buf.data(), 4800), AUDIO_NOT_ENOUGH);  // more than 30 ms never fits
    mic.stop(&h);
}

// Voice datagrams are heard on the loopback address only; loud ones switch
// the activity on until the next drain.
TEST_F(AudioCaptureTest, VoiceSocketOnLoopback) {
    NetnsLab lab;  // a network of its own: test suites running at once would share the fixed port
    if (!lab.available()) GTEST_SKIP() << lab.why();
    const std::string ns = lab.add("voice");
    ASSERT_FALSE(ns.empty());
    ASSERT_TRUE(lab.in_ns(ns, [&] {
        void *h = nullptr;
        const auto &row = AUDIO_CAPTURE_API[AUDIO_ROW_LOOPBACK];
        ASSERT_EQ(row.start(&h, "", 0, ""), 0);
        std::ifstream udp("/proc/thread-self/net/udp");
        std::string all((std::istreambuf_iterator<char>(udp)), {});
        EXPECT_NE(all.find("0100007F:9DD0"), std::string::npos);  // 127.0.0.1:40400
        EXPECT_EQ(all.find("00000000:9DD0"), std::string::npos);
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(AUDIO_VOICE_PORT);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const struct {
            int16_t level;
            uint8_t active;
        } cases[] = {{1000, 1}, {200, 0}};  // rms 0.03 and 0.006
        for (auto c : cases) {
            std::vector<int16_t> d(480, c.level);
            sendto(s, d.data(), d.size() * 2, 0, (sockaddr *)&to, sizeof(to));
            EXPECT_EQ(row.voice_active(h), c.active) << c.level;
        }
        EXPECT_EQ(row.voice_active(h), 0);
        close(s);
        row.stop(&h);
    }));
}

// Any push size goes through fixed buffers; 44.1 kHz float arrives as 48 kHz.
TEST(AudioFifo, PushesOfAnySizeAreResampledInChunks) {
    void *h = nullptr;
    const auto &row = AUDIO_CAPTURE_API[AUDIO_ROW_APP_FIFO];
    std::vector<float> in(2 * 200000);
    for (size_t i = 0; i < in.size() / 2; i++)
        in[2 * i] = in[2 * i + 1] = 0.3f * sinf(2 * M_PI * 1000 * i / 44100.0);
    row.push(&h, AUDIO_SAMPLE_FLOAT, 44100, in.data(), 40000);  // ~43,500 frames at 48 kHz
    std::vector<int16_t> out(2 * 43000);
    ASSERT_EQ(row.poll(h, out.data(), 43000), 0);
    EXPECT_NEAR(tone_amplitude(out.data() + 2 * 4800, 38000, 2, 0, 1000), 0.3, 0.01);
    EXPECT_EQ(row.poll(h, out.data(), 43000), AUDIO_NOT_ENOUGH);
    row.push(&h, AUDIO_SAMPLE_FLOAT, 44100, in.data(), 200000);  // more than the queue holds
    row.stop(&h);
    EXPECT_EQ(h, nullptr);
}

TEST(AudioVoice, CancellationDivisor) {
    const std::pair<double, double> cases[] = {
        {0, 2}, {6.25, 2}, {20, 43.75 / 30 + 1}, {49.9, 43.75 / 0.1 + 1}, {50, 0}};
    for (auto [e, d] : cases) EXPECT_NEAR(host_audio_voice_divisor(e), d, 1e-9) << e;
}
