// Stereo resampler for 16-bit interleaved audio: a windowed-sinc kernel read
// from a table with linear interpolation, and a ratio that moves slowly toward
// its target so drift corrections are inaudible. One state per stream; the
// state is one fixed block, so resampling never allocates.
#pragma once

#include <cstdint>

#define VKO_RESAMPLER_HISTORY 524288  // samples (two per frame)
#define VKO_RESAMPLER_OUTPUT 262144   // stereo frames per call at most
#define VKO_RESAMPLER_TAPS 2463       // one wing, 128 entries per input sample

struct VKO_Resampler;

VKO_Resampler *VKO_ResamplerCreate(void);
void VKO_ResamplerDestroy(VKO_Resampler **state);
void VKO_ResamplerReset(VKO_Resampler *state);

// Resamples count stereo frames at the target ratio (output rate / input
// rate). Returns the state's output buffer holding *out_count frames, valid
// until the next call. Input beyond what the history can hold is dropped (pass
// a packet at a time); a ratio that is not a finite number within 1/64 .. 64
// produces nothing.
const int16_t *VKO_Resample(VKO_Resampler *state, float ratio, const int16_t *frames, uint32_t count,
                            uint32_t *out_count);

// VKO_Resample by the plain per-frame arithmetic only, for checking the
// vectorised path against (same state, same results).
const int16_t *vko_resample_plain(VKO_Resampler *state, float ratio, const int16_t *frames, uint32_t count,
                                  uint32_t *out_count);

// The kernel's wing (VKO_RESAMPLER_TAPS values and one trailing zero).
const float *vko_resampler_kernel(void);

// Ratio the next call starts from (0 before the first call).
double vko_resampler_ratio(const VKO_Resampler *state);
