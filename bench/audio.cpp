// The stereo resampler beside libswresample doing the same conversion
// (48,000 -> 48,048 Hz, 16-bit stereo, one 480-frame packet per call, state
// kept), and the quality of each on a 1 kHz sine: the best-fitting 1 kHz
// sinusoid's power over everything else in the output.
extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <cmath>
#include <vector>

#include "peer.h"
#include "platform/resampler.h"

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
        VKO_ResamplerReset(rs);
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

}  // namespace

BENCHMARK(BM_VkoResample)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Swresample)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    return bench::run_pairs(
        argc, argv,
        {{"stereo 48,000 -> 48,048 Hz", "BM_VkoResample", "BM_Swresample", "VKO_Resample / swr_convert"}});
}
