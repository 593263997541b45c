#include "platform/resampler.h"

#include <immintrin.h>

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

void build_rows();

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
    build_rows();
}

// Ratios of 1 and above read the wing at whole multiples of 128 entries
// from a start position hf in 0 .. 2^19 (12 fractional bits), so a wing's
// coefficients depend only on the row (hf >> 12) and the fraction. Both wings
// of one output frame are laid out as {left, left, right, right}: the lanes of
// the four sums (left wing of each channel, right wing of each channel).
// Taps past the wing's end hold zeros, which leave a sum unchanged.
constexpr int WING = 20;                       // taps per wing at ratios of 1 and above
constexpr int64_t UNIT_DH = PER_SAMPLE << 12;  // 2^19: a whole input frame
struct FastRows {
    // [row * 2 + (fraction != 0)][tap][lane]: table entries and their differences
    alignas(32) float a[2 * (PER_SAMPLE + 1)][WING][4];
    alignas(32) float d[2 * (PER_SAMPLE + 1)][WING][4];
};
FastRows g_rows;

float entry(int i) {
    return i <= VKO_RESAMPLER_TAPS ? g_kernel[i] : 0.0f;
}

void build_rows() {
    for (int left = 0; left <= PER_SAMPLE; left++)
        for (int frac = 0; frac < 2; frac++) {
            if (left == PER_SAMPLE && frac) continue;  // hf = 2^19 has no fraction
            // The right wing starts at 2^19 - hf.
            const int right = frac ? PER_SAMPLE - 1 - left : PER_SAMPLE - left;
            for (int j = 0; j < WING; j++)
                for (int lane = 0; lane < 4; lane++) {
                    const int i = (lane < 2 ? left : right) + PER_SAMPLE * j;
                    g_rows.a[2 * left + frac][j][lane] = entry(i);
                    g_rows.d[2 * left + frac][j][lane] = entry(i + 1) - entry(i);
                }
        }
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

namespace {

// The fast path: frames whose ratio is 1 or above, computed eight at a time
// with AVX2 and the same arithmetic: float coefficients, and each of the four
// sums of a frame (each wing of each channel) accumulated in double from its
// farthest tap inward, one lane of a vector per sum.
struct FastFrame {
    uint32_t k;      // output frame
    uint32_t combo;  // row * 2 + (fraction != 0)
    uint64_t p;      // sample index of input frame p
    float fl, fr;    // fractions of the left and right wing's start, of one entry
};

constexpr int BATCH = 8;
constexpr uint64_t WINDOW = 1024;  // samples held as doubles

struct FastState {
    FastFrame frames[BATCH];
    int count;
    uint64_t base;  // first sample held in window; the window is empty when end == base
    uint64_t end;
    alignas(32) double window[WINDOW];
};

bool fast_supported() {
    static const bool ok = __builtin_cpu_supports("avx2");
    return ok;
}

__attribute__((target("avx2"))) void convert_window(FastState *f, const int16_t *history, uint64_t from,
                                                    uint64_t limit) {
    const uint64_t n = limit - from < WINDOW ? limit - from : WINDOW;
    uint64_t i = 0;
    for (; i + 4 <= n; i += 4) {
        __m128i v = _mm_loadl_epi64((const __m128i *)(history + from + i));
        _mm256_store_pd(f->window + i, _mm256_cvtepi32_pd(_mm_cvtepi16_epi32(v)));
    }
    for (; i < n; i++) f->window[i] = history[from + i];
    f->base = from;
    f->end = from + n;
}

// The batch's frames, the taps of all of them interleaved so the sums'
// chains overlap. Coefficients are made per pair of taps as they are needed,
// and the products added one by one: this is built without fused
// multiply-add, which C++ lets the compiler contract a multiply and an add
// into (one rounding instead of two).
__attribute__((target("avx2"))) void fast_flush(FastState *f, VKO_Resampler *st, int16_t *output,
                                                uint64_t length) {
    const int n = f->count;
    if (!n) return;
    f->count = 0;
    const uint64_t lo = f->frames[0].p - 2 * (WING - 1), hi = f->frames[n - 1].p + 2 * WING + 2;
    if (lo < f->base || hi > f->end) convert_window(f, st->history, lo, length);
    __m256d acc[BATCH];
    const double *at[BATCH];
    const float *ta[BATCH], *td[BATCH];
    alignas(32) __m256 frac[BATCH];
    for (int i = 0; i < BATCH; i++) {
        const FastFrame &fr = f->frames[i < n ? i : 0];
        acc[i] = _mm256_setzero_pd();
        at[i] = f->window + (fr.p - f->base);
        ta[i] = &g_rows.a[fr.combo][0][0];
        td[i] = &g_rows.d[fr.combo][0][0];
        // {fl, fl, fr, fr} twice, in registers (narrow stores then a wide load would stall)
        const __m128 both = _mm_unpacklo_ps(_mm_set_ss(fr.fl), _mm_set_ss(fr.fr));
        const __m128 half = _mm_shuffle_ps(both, both, _MM_SHUFFLE(1, 1, 0, 0));
        frac[i] = _mm256_insertf128_ps(_mm256_castps128_ps256(half), half, 1);
    }
    for (int j = WING - 2; j >= 0; j -= 2)
#pragma GCC unroll 8
        for (int i = 0; i < BATCH; i++) {
            // {left, left, right, right} of taps j and j + 1
            const __m256 v = _mm256_add_ps(_mm256_load_ps(ta[i] + 4 * j),
                                           _mm256_mul_ps(_mm256_load_ps(td[i] + 4 * j), frac[i]));
            // {sample p - j, sample p + 1 + j} of both channels, the farther tap first
            const __m256d far = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(at[i] - 2 * (j + 1))),
                                                     _mm_load_pd(at[i] + 2 + 2 * (j + 1)), 1);
            acc[i] = _mm256_add_pd(acc[i], _mm256_mul_pd(far, _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1))));
            const __m256d near = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(at[i] - 2 * j)),
                                                      _mm_load_pd(at[i] + 2 + 2 * j), 1);
            acc[i] = _mm256_add_pd(acc[i], _mm256_mul_pd(near, _mm256_cvtps_pd(_mm256_castps256_ps128(v))));
        }
    for (int i = 0; i < n; i++) {
        __m128d sum = _mm_add_pd(_mm256_castpd256_pd128(acc[i]), _mm256_extractf128_pd(acc[i], 1));
        __m128 v = _mm_cvtpd_ps(sum);
        v = _mm_min_ps(_mm_max_ps(v, _mm_set1_ps(-32768.0f)), _mm_set1_ps(32767.0f));
        __m128i q = _mm_packs_epi32(_mm_cvtps_epi32(v), _mm_setzero_si128());
        int32_t both = _mm_cvtsi128_si32(q);
        memcpy(output + 2 * f->frames[i].k, &both, sizeof(both));
    }
}

// One output frame by the plain arithmetic.
void plain_frame(VKO_Resampler *st, uint64_t p, double phase, double rho, int16_t *out) {
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
    double cl[MAX_TAPS], cr[MAX_TAPS];
    coefficients(cl, nl, hf, dh, scale);
    coefficients(cr, nr, dh - hf, dh, scale);
    double lr[2];
    _mm_storeu_pd(lr, convolve(at, cl, nl, cr, nr));
    out[0] = to_sample(lr[0]);
    out[1] = to_sample(lr[1]);
}

const int16_t *resample(VKO_Resampler *st, float target, const int16_t *frames, uint32_t count,
                        uint32_t *out_count, bool allow_fast) {
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

    // At ratios of 1 and above the guard covers a whole wing on both sides.
    const bool fast = allow_fast && m >= 1 && fast_supported();
    FastState fs;
    fs.count = 0;
    fs.base = fs.end = 0;
    const bool ramp = fabs(current - r) > 1e-10;
    uint64_t p = guard;  // samples; even
    double phase = st->phase;
    double rho = current;
    uint32_t k = 0;
    const double idle_advance = 1.0 / current;
    while (p + guard < st->length && k < VKO_RESAMPLER_OUTPUT) {
        rho = ramp ? current + (r - current) * (2.0 * k) / RAMP_SPAN : current;
        const double advance = ramp ? 1.0 / rho : idle_advance;
        if (fast && rho >= 1) {
            // step is 128 entries: hf = lrint(128 x phase x 4096), the right wing starts at 2^19 - hf.
            // (cvtsd2si rounds as lrint does: to nearest, ties to even.)
            const int64_t hf = _mm_cvtsd_si64(_mm_set_sd(phase * (double)UNIT_DH));
            const uint32_t frac = (uint32_t)(hf & 0xFFF);
            FastFrame &f = fs.frames[fs.count++];
            f.k = k;
            f.combo = (uint32_t)(2 * (hf >> 12) + (frac != 0));
            f.p = p;
            f.fl = (float)frac * (1.0f / 4096.0f);
            f.fr = frac ? (float)(4096 - frac) * (1.0f / 4096.0f) : 0.0f;
            if (fs.count == BATCH) fast_flush(&fs, st, st->output, st->length);
        } else {
            if (fast) fast_flush(&fs, st, st->output, st->length);
            plain_frame(st, p, phase, rho, st->output + 2 * k);
        }
        k++;
        phase += advance;
        // Below 2 while the ratio is 1 or above.
        const double whole = phase < 2 ? (phase >= 1 ? 1.0 : 0.0) : floor(phase);
        phase -= whole;
        p += 2 * (uint64_t)whole;
    }
    if (fast) fast_flush(&fs, st, st->output, st->length);
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

}  // namespace

const int16_t *VKO_Resample(VKO_Resampler *st, float target, const int16_t *frames, uint32_t count,
                            uint32_t *out_count) {
    return resample(st, target, frames, count, out_count, true);
}

const int16_t *vko_resample_plain(VKO_Resampler *st, float target, const int16_t *frames, uint32_t count,
                                  uint32_t *out_count) {
    return resample(st, target, frames, count, out_count, false);
}
