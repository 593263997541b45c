#include "platform/resampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

struct Resampler {
    VKO_Resampler *s = VKO_ResamplerCreate();
    ~Resampler() { VKO_ResamplerDestroy(&s); }
};

std::vector<int16_t> sine(double freq, double rate, size_t frames, double amp, size_t from = 0) {
    std::vector<int16_t> v(frames * 2);
    for (size_t i = 0; i < frames; i++)
        v[2 * i] = v[2 * i + 1] =
            (int16_t)lrint(amp * 32767 * sin(2 * M_PI * freq * (double)(i + from) / rate));
    return v;
}

// Resamples in packets of 480 frames at a fixed ratio.
std::vector<int16_t> run(VKO_Resampler *s, const std::vector<int16_t> &in, float ratio) {
    std::vector<int16_t> out;
    for (size_t i = 0; i < in.size() / 2; i += 480) {
        uint32_t n = 0;
        const int16_t *o =
            VKO_Resample(s, ratio, in.data() + 2 * i, (uint32_t)std::min<size_t>(480, in.size() / 2 - i), &n);
        out.insert(out.end(), o, o + 2 * n);
    }
    return out;
}

}  // namespace

TEST(Resampler, KernelMatchesItsTellingValues) {
    const float *t = vko_resampler_kernel();
    const std::pair<int, double> known[] = {{0, 0.8314724},    {64, 0.6124609},   {128, 0.1586992},
                                            {256, -0.1317437}, {1024, 0.0148941}, {2462, 0}};
    for (auto [i, v] : known) EXPECT_NEAR(t[i], v, 2e-6) << i;
    EXPECT_EQ(t[2463], 0.0f);
    int changes = 0;
    for (int i = 1; i < 2462; i++) changes += (t[i] < 0) != (t[i - 1] < 0);
    EXPECT_EQ(changes, 15);
}

// The kernel is symmetric, so output frame k sits exactly at input time
// k / ratio; the last guard's worth of input (20 frames) waits for the next call.
TEST(Resampler, UnityRatioHoldsBackTheGuard) {
    Resampler r;
    auto in = sine(1000, 48000, 4800, 0.5);
    auto out = run(r.s, in, 1.0f);
    ASSERT_EQ(out.size(), in.size() - 40);
    int worst = 0;
    for (size_t i = 40; i < out.size(); i++) worst = std::max(worst, std::abs(out[i] - in[i]));
    EXPECT_LE(worst, 16);  // the pass band's ripple on a 1 kHz tone
}

TEST(Resampler, RatioRampsTowardTheTarget) {
    Resampler r;
    auto in = sine(1000, 48000, 480, 0.5);
    uint32_t n;
    VKO_Resample(r.s, 1.0f, in.data(), 480, &n);
    EXPECT_EQ(vko_resampler_ratio(r.s), 1.0);
    VKO_Resample(r.s, 1.01f, in.data(), 480, &n);
    // 2 (n - 1) / 524288 of the way from 1.0 to 1.01 (n is 480 or 481).
    EXPECT_NEAR(vko_resampler_ratio(r.s) - 1.0, (1.01f - 1.0) * 2 * (n - 1) / 524288, 1e-12);
    EXPECT_NEAR(vko_resampler_ratio(r.s) - 1.0, 0.0000183, 1e-7);
    for (int i = 0; i < 2000; i++) VKO_Resample(r.s, 1.01f, in.data(), 480, &n);
    // Each call closes about 958 / 524288 of the remaining distance, never overshooting.
    EXPECT_NEAR(1.01f - vko_resampler_ratio(r.s), (1.01f - 1.0) * pow(1 - 958.0 / 524288, 2001), 2e-5);
}

// A sine resampled at several ratios against the exact sine at the output
// rate, once the ramp and the filter delay have settled.
TEST(Resampler, SineAgainstExactReference) {
    const struct {
        double in_rate, out_rate, min_snr;
    } cases[] = {{48000, 48000 * 1.001, 80},
                 {44100, 48000, 80},
                 {48000, 44100, 80},
                 {48000, 24000, 80},
                 {16000, 48000, 80}};
    for (const auto &c : cases) {
        Resampler r;
        const float ratio = (float)(c.out_rate / c.in_rate);
        const double rate_out = c.in_rate * (double)ratio;
        auto in = sine(1000, c.in_rate, (size_t)c.in_rate * 2, 0.5);
        auto out = run(r.s, in, ratio);
        // Skip the first 100 ms, where the left wing still reads the zeros before the input.
        double sig = 0, err = 0;
        for (size_t k = (size_t)rate_out / 10; k < out.size() / 2; k++) {
            double ref = 0.5 * 32767 * sin(2 * M_PI * 1000 * (double)k / rate_out);
            sig += 2 * ref * ref;
            err += (out[2 * k] - ref) * (out[2 * k] - ref) + (out[2 * k + 1] - ref) * (out[2 * k + 1] - ref);
        }
        double snr = 10 * log10(sig / err);
        EXPECT_GT(snr, c.min_snr) << c.in_rate << " -> " << c.out_rate << ": SNR " << snr << " dB";
        printf("%.0f -> %.0f Hz: SNR %.1f dB\n", c.in_rate, c.out_rate, snr);
    }
}

// The vectorised path (ratios of 1 and above) gives the very samples of the
// plain per-frame arithmetic: fixed ratios, ramps up and down to 1, packets
// of every size, noise loud enough to clip.
TEST(Resampler, VectorisedPathMatchesThePlainArithmetic) {
    std::vector<int16_t> in(2 * 9000);
    uint32_t seed = 12345;
    for (size_t i = 0; i < in.size(); i++) {
        seed = seed * 1664525u + 1013904223u;
        const double tone = 30000 * sin(2 * M_PI * 3000 * (double)(i / 2) / 48000);
        in[i] = (int16_t)std::clamp(tone + (double)(int16_t)(seed >> 16) * 0.3, -32768.0, 32767.0);
    }
    const struct {
        float from, to;
    } ramps[] = {{1.0f, 1.0f},  {1.001f, 1.001f}, {1.5f, 1.5f},
                 {4.0f, 4.0f},  {1.0f, 1.01f},    {1.02f, 1.0f},
                 {1.0f, 0.98f}, {0.999f, 1.001f}, {48000.0f / 44100, 48000.0f / 44100}};
    const uint32_t packets[] = {1, 7, 480, 4096};
    for (auto ramp : ramps)
        for (uint32_t packet : packets) {
            Resampler fast, plain;
            size_t frames = 0, differ = 0;
            for (size_t i = 0, call = 0; i + packet <= in.size() / 2 && frames < 12000; i += packet, call++) {
                const float ratio = call == 0 ? ramp.from : ramp.to;
                uint32_t nf = 0, np = 0;
                const int16_t *of = VKO_Resample(fast.s, ratio, in.data() + 2 * i, packet, &nf);
                const int16_t *op = vko_resample_plain(plain.s, ratio, in.data() + 2 * i, packet, &np);
                ASSERT_EQ(nf, np) << ramp.from << " -> " << ramp.to << " packet " << packet;
                for (uint32_t k = 0; k < 2 * nf; k++) differ += of[k] != op[k];
                frames += nf;
                ASSERT_EQ(vko_resampler_ratio(fast.s), vko_resampler_ratio(plain.s));
            }
            EXPECT_GT(frames, 1000u);
            EXPECT_EQ(differ, 0u) << ramp.from << " -> " << ramp.to << " packet " << packet;
        }
}

TEST(Resampler, LoudInputStaysInRangeAndBigInputDoesNotOverrun) {
    Resampler r;
    std::vector<int16_t> square(2 * 48000);
    for (size_t i = 0; i < square.size(); i++) square[i] = (i / 2 / 24) % 2 ? 32767 : -32768;
    uint32_t n;
    const int16_t *o = VKO_Resample(r.s, 0.5f, square.data(), 48000, &n);
    bool clipped = false;
    for (uint32_t i = 0; i < 2 * n; i++) clipped |= o[i] == 32767 || o[i] == -32768;
    EXPECT_TRUE(clipped);  // overshoot was clamped, not wrapped
    // Far more input than the history holds, upsampled past the output buffer.
    std::vector<int16_t> big(2 * 400000, 1000);
    o = VKO_Resample(r.s, 4.0f, big.data(), 400000, &n);
    EXPECT_EQ(n, (uint32_t)VKO_RESAMPLER_OUTPUT);
    o = VKO_Resample(r.s, NAN, big.data(), 10, &n);
    EXPECT_EQ(n, 0u);
}
