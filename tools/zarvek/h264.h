// The two fields of an H.264 frame that pair it with its capture.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zv {

// log2_max_frame_num of the frame's SPS, 0 when it has none or it cannot be read.
uint32_t sps_frame_num_bits(const uint8_t *frame, size_t len);

// frame_num of the frame's first slice; false when it cannot be read.
bool slice_frame_num(const uint8_t *frame, size_t len, uint32_t bits, uint32_t *out);

}  // namespace zv
