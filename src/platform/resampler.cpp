#include "platform/resampler.h"

#include <emmintrin.h>

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
// Taps per wing at the lowest ratio (1/64): the wing spans 64 times as many input frames.
constexpr int64_t MAX_TAPS = FIXED_END / (int64_t)(PER_SAMPLE * 4096 / 64) + 2;

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

// Taps of a wing starting at fixed-point position h0: up to the wing's end,
// and no more than the frames present on that side.
inline int64_t wing_taps(int64_t h0, int64_t dh, int64_t frames) {
    if (h0 > FIXED_END) return 0;
    int64_t n = (FIXED_END - h0) / dh + 1;
    return n < frames ? n : frames;
}

// Coefficients at positions h0, h0 + dh, ...: linear interpolation between
// table entries with 12 fractional bits, scaled for down-sampling.
inline void coefficients(double *c, int64_t n, int64_t h0, int64_t dh, float scale) {
    const float *t = g_kernel;
    for (int64_t j = 0; j < n; j++) {
        int64_t h = h0 + j * dh;
        int64_t i = h >> 12;
        c[j] = (t[i] + (t[i + 1] - t[i]) * (float)(h & 0xFFF) * (1.0f / 4096.0f)) * scale;
    }
}

// One stereo frame (left, right) as two doubles.
inline __m128d frame_pd(const int16_t *s) {
    int32_t v;
    memcpy(&v, s, sizeof(v));
    __m128i x = _mm_cvtsi32_si128(v);
    return _mm_cvtepi32_pd(_mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16));
}

// Both channels of both wings, each wing summed from its farthest tap inward
// in double precision; the wings' sums are then added, left wing first.
inline __m128d convolve(const int16_t *at, const double *cl, int64_t nl, const double *cr, int64_t nr) {
    __m128d left = _mm_setzero_pd(), right = _mm_setzero_pd();
    for (int64_t j = (nl > nr ? nl : nr) - 1; j >= 0; j--) {
        if (j < nl) left = _mm_add_pd(left, _mm_mul_pd(frame_pd(at - 2 * j), _mm_set1_pd(cl[j])));
        if (j < nr) right = _mm_add_pd(right, _mm_mul_pd(frame_pd(at + 2 + 2 * j), _mm_set1_pd(cr[j])));
    }
    return _mm_add_pd(left, right);
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
    double cl[MAX_TAPS], cr[MAX_TAPS];
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
        const int64_t nl = wing_taps(hf, dh, left_frames), nr = wing_taps(dh - hf, dh, right_frames);
        coefficients(cl, nl, hf, dh, scale);
        coefficients(cr, nr, dh - hf, dh, scale);
        double lr[2];
        _mm_storeu_pd(lr, convolve(at, cl, nl, cr, nr));
        st->output[2 * k] = to_sample(lr[0]);
        st->output[2 * k + 1] = to_sample(lr[1]);
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
