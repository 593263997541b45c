// The stereo resampler beside libswresample doing the same conversion
// (48,000 -> 48,048 Hz, 16-bit stereo, one 480-frame packet per call, state
// kept), and the quality of each on a 1 kHz sine: the best-fitting 1 kHz
// sinusoid's power over everything else in the output.
//
// The host's sound to one guest on a private PulseAudio server: tone bursts
// played into the null sink, captured by the host audio thread (per-application
// capture of the default settings, whose target does not run, so the plain
// loopback serves), Opus-encoded and sent over BUD on loopback to the least
// client, decoded there. Capture-to-guest latency per burst: from the moment
// its first loud sample reached the sink's monitor (a recorder of its own with
// the same 10 ms fragments) to the arrival of the packet whose decoded audio
// holds it. CPU of the audio thread per second of streaming, beside libopus
// encoding the same audio alone. The thread sleeps the poll rate whenever a
// frame is not complete yet, which adds up to that much latency.
extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <opus/opus.h>
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <vector>

#include "client/client.h"
#include "connection/protocol.h"
#include "host/audio_thread.h"
#include "peer.h"
#include "platform/log.h"
#include "platform/resampler.h"
#include "platform/thread.h"
#include "support/bud_pair.h"
#include "support/pulse_server.h"

namespace {

constexpr double RATIO = 1.001;
constexpr int IN_RATE = 48000;
constexpr int OUT_RATE = 48048;
constexpr uint32_t PACKET = 480;
constexpr size_t SECONDS = 2;

const std::vector<int16_t> &input() {
    static std::vector<int16_t> v = [] {
        std::vector<int16_t> s(2 * IN_RATE * SECONDS);
        for (size_t i = 0; i < s.size() / 2; i++)
            s[2 * i] = s[2 * i + 1] =
                (int16_t)lrint(0.5 * 32767 * sin(2 * M_PI * 1000 * (double)i / IN_RATE));
        return s;
    }();
    return v;
}

// Signal to noise and distortion of the left channel, from 0.25 s on.
double snr(const std::vector<int16_t> &out) {
    const size_t from = OUT_RATE / 4, n = out.size() / 2 - from;
    double c = 0, s = 0;
    for (size_t k = from; k < from + n; k++) {
        double w = 2 * M_PI * 1000 * (double)k / OUT_RATE;
        c += out[2 * k] * cos(w);
        s += out[2 * k] * sin(w);
    }
    c *= 2.0 / (double)n, s *= 2.0 / (double)n;
    double sig = 0, err = 0;
    for (size_t k = from; k < from + n; k++) {
        double w = 2 * M_PI * 1000 * (double)k / OUT_RATE, fit = c * cos(w) + s * sin(w);
        sig += fit * fit;
        err += (out[2 * k] - fit) * (out[2 * k] - fit);
    }
    return 10 * log10(sig / err);
}

SwrContext *make_swr() {
    SwrContext *swr = nullptr;
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    if (swr_alloc_set_opts2(&swr, &stereo, AV_SAMPLE_FMT_S16, OUT_RATE, &stereo, AV_SAMPLE_FMT_S16, IN_RATE,
                            0, nullptr) < 0 ||
        swr_init(swr) < 0)
        swr_free(&swr);
    return swr;
}

void BM_VkoResample(benchmark::State &state) {
    const auto &in = input();
    VKO_Resampler *rs = VKO_ResamplerCreate();
    std::vector<int16_t> out;
    out.reserve(in.size() * 2);
    for (auto _ : state) {
        out.clear();
        for (size_t i = 0; i < in.size() / 2; i += PACKET) {
            uint32_t n = 0;
            const int16_t *o = VKO_Resample(rs, (float)RATIO, in.data() + 2 * i, PACKET, &n);
            out.insert(out.end(), o, o + 2 * n);
        }
        benchmark::DoNotOptimize(out.data());
        state.PauseTiming();  // a fresh state each round, made outside the timing as the peer's is
        VKO_ResamplerReset(rs);
        state.ResumeTiming();
    }
    state.counters["snr_db"] = snr(out);
    state.SetItemsProcessed(state.iterations() * (int64_t)(in.size() / 2));
    VKO_ResamplerDestroy(&rs);
}

void BM_Swresample(benchmark::State &state) {
    const auto &in = input();
    std::vector<int16_t> out, buf(2 * 4096);
    out.reserve(in.size() * 2);
    SwrContext *swr = nullptr;
    for (auto _ : state) {
        state.PauseTiming();
        swr_free(&swr);
        swr = make_swr();
        out.clear();
        state.ResumeTiming();
        if (!swr) break;
        for (size_t i = 0; i < in.size() / 2; i += PACKET) {
            const uint8_t *src = (const uint8_t *)(in.data() + 2 * i);
            uint8_t *dst = (uint8_t *)buf.data();
            int n = swr_convert(swr, &dst, 4096, &src, PACKET);
            out.insert(out.end(), buf.begin(), buf.begin() + 2 * (n > 0 ? n : 0));
        }
        benchmark::DoNotOptimize(out.data());
    }
    if (!swr) {
        state.SkipWithError("swr_init failed");
        return;
    }
    state.counters["snr_db"] = snr(out);
    state.SetItemsProcessed(state.iterations() * (int64_t)(in.size() / 2));
    swr_free(&swr);
}

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double cpu_seconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

constexpr uint32_t BURST_PERIOD = 4800, BURST_ON = 1440;  // 30 ms of tone every 100 ms

// Times of burst onsets: the first sample above half the bursts' level after
// at least 20 ms below it.
struct Onsets {
    std::mutex m;
    uint32_t below = 0;
    std::vector<double> at;
    // frames just arrived at time t; with per_sample, frame i counts as
    // arrived (frames - 1 - i) / 48,000 s earlier.
    void feed(const int16_t *pcm, size_t frames, double t, bool per_sample) {
        std::lock_guard<std::mutex> lock(m);
        for (size_t i = 0; i < frames; i++) {
            const bool loud = std::abs(pcm[2 * i]) > 8000;
            if (loud && below >= 960) at.push_back(per_sample ? t - (double)(frames - 1 - i) / 48000 : t);
            below = loud ? 0 : below + 1;
        }
    }
};

struct AudioRun {
    HostAudio audio{};
    int32_t poll_rate = 10;  // ms between polls while no frame is ready
    TransportRecord *to_guest = nullptr;
    clockid_t cpu{};
    std::atomic<bool> started{false};
};

void *audio_main(void *o) {
    auto *r = (AudioRun *)o;
    pthread_setname_np(pthread_self(), "host-audio");
    pthread_getcpuclockid(pthread_self(), &r->cpu);
    r->started = true;
    return host_audio_thread(&r->audio);
}

struct GuestEnd {
    OpusDecoder *dec = opus_decoder_create(48000, 2, nullptr);
    Onsets onsets;
    std::atomic<uint32_t> packets{0};
    ~GuestEnd() { opus_decoder_destroy(dec); }
};

void BM_HostAudioToGuest(benchmark::State &state) {
    PulseServer *srv = PulseServer::get();
    if (!srv) return state.SkipWithError("no PulseAudio server");
    const int tone = srv->play_bursts("testsink", 1000, 0.5, BURST_PERIOD, BURST_ON);
    const uint32_t frame = (uint32_t)state.range(0);
    const double seconds = 5;
    std::vector<double> latency;
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        // The reference: the sink's monitor as the capture sees it.
        Onsets monitor;
        pa_stream *rec = nullptr;
        {
            PulseLock lock(srv->pulse());
            const pa_sample_spec sample_format{PA_SAMPLE_S16LE, 48000, 2};
            rec = pa_stream_new(srv->pulse()->ctx, "reference", &sample_format, nullptr);
            pa_stream_set_read_callback(
                rec,
                [](pa_stream *s, size_t, void *o) {
                    const void *p;
                    size_t n;
                    while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &p, &n) == 0 && n > 0) {
                        if (p) ((Onsets *)o)->feed((const int16_t *)p, n / 4, seconds_now(), true);
                        pa_stream_drop(s);
                    }
                },
                &monitor);
            pa_buffer_attr attr{(uint32_t)-1, (uint32_t)-1, (uint32_t)-1, (uint32_t)-1,
                                (uint32_t)pa_usec_to_bytes(10000, &sample_format)};
            pa_stream_connect_record(rec, "testsink.monitor", &attr,
                                     (pa_stream_flags_t)(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE));
        }
        GuestEnd guest;
        client_set_media_sink(
            [](uint8_t stream, const uint8_t *data, uint32_t size, void *o) {
                auto *g = (GuestEnd *)o;
                if (stream != 2 || size <= PROTO_AUDIO_PREFIX_SIZE) return;
                const double t = seconds_now();
                int16_t pcm[2 * 5760];
                int n = opus_decode(g->dec, data + PROTO_AUDIO_PREFIX_SIZE,
                                    (opus_int32)(size - PROTO_AUDIO_PREFIX_SIZE), pcm, 5760, 0);
                if (n > 0) g->onsets.feed(pcm, (size_t)n, t, false);
                g->packets++;
            },
            &guest);
        BudPair pair;
        if (!pair.open(false)) {
            state.SkipWithError("no BUD link");
            break;
        }
        AudioRun run;
        run.to_guest = proto_create(TRANSPORT_BUD, pair.host, bud_recv, bud_send, nullptr);
        ClientConfig cc{};
        proto_client_config_defaults(&cc);
        ClientContext *client = nullptr;
        client_create(proto_create(TRANSPORT_BUD, pair.client, bud_recv, bud_send, nullptr), &cc, nullptr,
                      nullptr, &client);
        AudioCapture *cap = audio_capture_create(AUDIO_ROW_EXCLUDE_APP);
        host_audio_init(&run.audio, cap);
        run.audio.host = &run;
        run.audio.guest_count = [](void *) -> uint32_t { return 1; };
        run.audio.container_guest = frame == HOST_AUDIO_SHORT_FRAME;
        run.poll_rate = (int32_t)state.range(1);
        run.audio.apply_config = [](void *o, HostAudioSettings *live) {
            *live = HostAudioSettings{2, "", "discord.exe", 128, ((AudioRun *)o)->poll_rate};
        };
        run.audio.send = [](void *o, const uint8_t *opus, uint32_t size, const int16_t *, uint32_t,
                            uint32_t samples, uint32_t, float, const HostAudioTiming *) {
            if (size) proto_audio_write(((AudioRun *)o)->to_guest, opus, size, 0, PROTO_CODEC_OPUS, samples);
        };
        VKO_Thread *thread = VKO_ThreadCreate(audio_main, &run);
        while (!run.started || guest.packets < 25) VKO_Sleep(10);  // past the start-up
        const double c0 = cpu_seconds(run.cpu), w0 = seconds_now();
        {
            std::lock_guard<std::mutex> a(monitor.m), b(guest.onsets.m);
            monitor.at.clear();
            guest.onsets.at.clear();
        }
        VKO_Sleep((uint32_t)(seconds * 1000));
        cpu += cpu_seconds(run.cpu) - c0;
        wall += seconds_now() - w0;
        host_audio_stop(&run.audio);
        VKO_ThreadDestroy(&thread);
        host_audio_free(&run.audio);
        audio_capture_destroy(&cap);
        client_destroy(&client);
        client_set_media_sink(nullptr, nullptr);
        {
            PulseLock lock(srv->pulse());
            pa_stream_disconnect(rec);
            pa_stream_unref(rec);
        }
        proto_destroy(&run.to_guest);
        // Each guest onset against the latest monitor onset before it.
        std::lock_guard<std::mutex> a(monitor.m), b(guest.onsets.m);
        for (double g : guest.onsets.at) {
            auto it = std::lower_bound(monitor.at.begin(), monitor.at.end(), g);
            if (it == monitor.at.begin()) continue;
            const double l = g - *(it - 1);
            if (l < 0.09) latency.push_back(l * 1000);
        }
        state.SetIterationTime(seconds);
    }
    srv->stop_tone(tone);
    if (latency.empty()) return state.SkipWithError("no burst reached the guest");
    std::sort(latency.begin(), latency.end());
    state.counters["lat_median_ms"] = latency[latency.size() / 2];
    state.counters["lat_p99_ms"] = latency[std::min(latency.size() - 1, latency.size() * 99 / 100)];
    state.counters["lat_max_ms"] = latency.back();
    state.counters["target_ms"] = 1000.0 * frame / 48000 + 10 + 5;
    state.counters["bursts"] = (double)latency.size();
    state.counters["cpu_pct"] = 100 * cpu / wall;
    // libopus alone on the same amount of the same sound, same frame and bitrate.
    int err = 0;
    OpusEncoder *enc = opus_encoder_create(48000, 2, 2049, &err);
    opus_encoder_ctl(enc, OPUS_SET_BITRATE(128000));
    std::vector<int16_t> pcm(2 * frame);
    uint8_t packet[4000];
    const double c0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
    const uint64_t total = (uint64_t)(48000 * wall);
    for (uint64_t f = 0; f < total; f += frame) {
        for (uint32_t i = 0; i < frame; i++)
            pcm[2 * i] = pcm[2 * i + 1] =
                (f + i) % BURST_PERIOD < BURST_ON
                    ? (int16_t)lrint(16383 * sin(2 * M_PI * 1000 * (double)(f + i) / 48000))
                    : 0;
        opus_encode(enc, pcm.data(), (int)frame, packet, sizeof packet);
    }
    state.counters["opus_alone_pct"] = 100 * (cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - c0) / wall;
    opus_encoder_destroy(enc);
}

}  // namespace

// Frame size, then the poll rate (10 ms by default).
BENCHMARK(BM_HostAudioToGuest)
    ->Args({HOST_AUDIO_FRAME, 10})
    ->Args({HOST_AUDIO_SHORT_FRAME, 10})
    ->Args({HOST_AUDIO_SHORT_FRAME, 2})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_VkoResample)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Swresample)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    return bench::run_pairs(
        argc, argv,
        {{"stereo 48,000 -> 48,048 Hz", "BM_VkoResample", "BM_Swresample", "VKO_Resample / swr_convert"}});
}
