#include "platform/resampler.h"

#include <cmath>
#include <cstring>
#include <mutex>

#include "platform/memory.h"

namespace {

constexpr double CUTOFF = 0.8314724;  // of the input's Nyquist frequency
constexpr double KAISER_BETA = 10.08;
constexpr int PER_SAMPLE = 128;  // table entries per input sample
constexpr int LAST = VKO_RESAMPLER_TAPS - 1;
constexpr int64_t FIXED_END = (int64_t)LAST << 12;  // 0x99E000
constexpr double RAMP_SPAN = 524288.0;

// One spare zero so the interpolation at the wing's last position stays inside.
float g_kernel[VKO_RESAMPLER_TAPS + 1];
std::once_flag g_kernel_once;

double bessel_i0(double x) {
    double sum = 1, term = 1;
    for (int k = 1; k < 64; k++) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
        if (term < sum * 1e-17) break;
    }
    return sum;
}

void build_kernel() {
    const double norm = bessel_i0(KAISER_BETA);
    for (int i = 0; i < LAST; i++) {
        double x = M_PI * CUTOFF * i / PER_SAMPLE;
        double sinc = i == 0 ? 1.0 : sin(x) / x;
        double r = (double)i / LAST;
        g_kernel[i] = (float)(CUTOFF * sinc * bessel_i0(KAISER_BETA * sqrt(1.0 - r * r)) / norm);
    }
    g_kernel[LAST] = 0;
    g_kernel[LAST + 1] = 0;
}

int16_t to_sample(double v) {
    float f = (float)v;
    if (f > 32767.0f) return 32767;
    if (f < -32768.0f) return -32768;
    return (int16_t)lrintf(f);  // the default rounding mode: nearest, ties to even
}

}  // namespace

struct VKO_Resampler {
    uint64_t length;  // samples held in history
    double phase;     // fraction of an input frame, 0 <= phase < 1
    double ratio;     // where the ramp stands; 0 before the first call
    int16_t history[VKO_RESAMPLER_HISTORY];
    int16_t output[VKO_RESAMPLER_OUTPUT * 2];
};

const float *vko_resampler_kernel(void) {
    std::call_once(g_kernel_once, build_kernel);
    return g_kernel;
}

VKO_Resampler *VKO_ResamplerCreate(void) {
    vko_resampler_kernel();
    return (VKO_Resampler *)VKO_Alloc(1, sizeof(VKO_Resampler));
}

void VKO_ResamplerDestroy(VKO_Resampler **state) {
    if (!state || !*state) return;
    VKO_Free(*state);
    *state = nullptr;
}

void VKO_ResamplerReset(VKO_Resampler *state) {
    memset(state, 0, sizeof(*state));
}

double vko_resampler_ratio(const VKO_Resampler *state) {
    return state->ratio;
}

namespace {

// Sums one wing: taps at fixed-point table positions h0, h0 + dh, ... (up to
// the wing's end, at most max_taps of them) times the samples at src, src +
// dir, ... (frames), from the farthest tap inward.
inline void wing(const int16_t *src, ptrdiff_t dir, int64_t h0, int64_t dh, int64_t max_taps, float scale,
                 double *left, double *right) {
    if (h0 > FIXED_END) return;
    int64_t n = (FIXED_END - h0) / dh + 1;
    if (n > max_taps) n = max_taps;
    const float *t = g_kernel;
    double l = 0, r = 0;
    for (int64_t j = n - 1; j >= 0; j--) {
        int64_t h = h0 + j * dh;
        int64_t i = h >> 12;
        float c = (t[i] + (t[i + 1] - t[i]) * (float)(h & 0xFFF) * (1.0f / 4096.0f)) * scale;
        const int16_t *s = src + 2 * dir * j;
        l += (double)s[0] * c;
        r += (double)s[1] * c;
    }
    *left += l;
    *right += r;
}

}  // namespace

const int16_t *VKO_Resample(VKO_Resampler *st, float target, const int16_t *frames, uint32_t count,
                            uint32_t *out_count) {
    *out_count = 0;
    const double r = target;
    if (!std::isfinite(r) || r < 1.0 / 64 || r > 64) return st->output;
    if (st->ratio == 0) st->ratio = r;
    double current = st->ratio;

    const double m = current < r ? current : r;
    const uint64_t reach = m < 1 ? (uint64_t)lrint(19.25 / m) : (uint64_t)lrint(19.25);
    const uint64_t guard = 2 * reach + 2;

    if (st->length == 0) {
        st->length = guard;
        memset(st->history, 0, guard * sizeof(int16_t));
    }
    uint64_t room = (VKO_RESAMPLER_HISTORY - st->length) / 2;
    uint64_t take = count < room ? count : room;
    if (take) memcpy(st->history + st->length, frames, take * 2 * sizeof(int16_t));
    st->length += take * 2;

    const bool ramp = fabs(current - r) > 1e-10;
    uint64_t p = guard;  // samples; even
    double phase = st->phase;
    double rho = current;
    uint32_t k = 0;
    while (p + guard < st->length && k < VKO_RESAMPLER_OUTPUT) {
        rho = ramp ? current + (r - current) * (2.0 * k) / RAMP_SPAN : current;
        const double unit = rho < 1 ? rho : 1.0;
        const double step = unit * PER_SAMPLE;
        const int64_t dh = lrint(step * 4096);
        const int64_t hf = lrint(step * phase * 4096);
        const float scale = (float)(step / PER_SAMPLE);
        const int16_t *at = st->history + p;
        // Frames present on each side of p bound the taps whatever the rounding.
        const int64_t left_frames = (int64_t)(p / 2) + 1;
        const int64_t right_frames = (int64_t)((st->length - p) / 2) - 1;
        double left = 0, right = 0;
        wing(at, -1, hf, dh, left_frames, scale, &left, &right);
        wing(at + 2, 1, dh - hf, dh, right_frames, scale, &left, &right);
        st->output[2 * k] = to_sample(left);
        st->output[2 * k + 1] = to_sample(right);
        k++;
        phase += 1.0 / rho;
        double whole = floor(phase);
        phase -= whole;
        p += 2 * (uint64_t)whole;
    }
    // Keep guard samples before p and everything after it.
    uint64_t from = p - guard;
    if (from > st->length) from = st->length;
    memmove(st->history, st->history + from, (st->length - from) * sizeof(int16_t));
    st->length -= from;
    st->phase = phase;
    st->ratio = rho;
    *out_count = k;
    return st->output;
}
