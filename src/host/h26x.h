// H.264 and H.265 Annex B byte streams: start-code search, NAL unit
// classification, parameter-set lookup and the few H.265 SPS fields the
// decoders and the MP4 writer need. Stateless: every call works on the buffer
// it is given, and nothing is allocated.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int32_t H26X_ERR_NOT_FOUND = -23000;

constexpr uint8_t H26X_CODEC_ANY = 0;
constexpr uint8_t H26X_CODEC_H264 = 1;
constexpr uint8_t H26X_CODEC_H265 = 2;

constexpr uint8_t H26X_CLASS_ANY = 0;
constexpr uint8_t H26X_CLASS_PARAM = 1;
constexpr uint8_t H26X_CLASS_PICTURE = 2;

constexpr uint8_t H264_NAL_SLICE = 1;
constexpr uint8_t H264_NAL_IDR = 5;
constexpr uint8_t H264_NAL_SPS = 7;
constexpr uint8_t H264_NAL_PPS = 8;
constexpr uint8_t H265_NAL_TRAIL_R = 1;
constexpr uint8_t H265_NAL_IDR_W_RADL = 19;
constexpr uint8_t H265_NAL_IDR_N_LP = 20;
constexpr uint8_t H265_NAL_CRA = 21;
constexpr uint8_t H265_NAL_VPS = 32;
constexpr uint8_t H265_NAL_SPS = 33;
constexpr uint8_t H265_NAL_PPS = 34;

// Search filter on the way in, the match on the way out. `nal_class` is the
// class field (a keyword in C++).
struct H26xNal {
    uint8_t codec;      // in: 0 either, 1 H.264, 2 H.265; out: codec of the match
    uint8_t type;       // in: wanted type, 0 any; out: type of the match
    uint8_t nal_class;  // in: 0 any, 1 parameter set, 2 picture; unchanged
    uint64_t offset;    // out: offset of the match's start code
    uint8_t start_len;  // out: 3 or 4
    int32_t length;     // in: negative skips measuring; out: start code to next start code or end
};

// 0 when a NAL unit matched (record filled), -23000 when none did.
int32_t h26x_find_nal(const uint8_t *data, size_t size, H26xNal *nal);

// Offset of the first start code at or after `from` (its NAL header byte inside
// the buffer), or size when there is none; *start_len gets 3 or 4.
size_t h26x_next_start_code(const uint8_t *data, size_t size, size_t from, uint8_t *start_len);

// The stream's parameter sets; the VPS record means something only when
// sps->codec is 2. 0 or the failing search's code.
int32_t h26x_extradata(const uint8_t *data, size_t size, H26xNal *vps, H26xNal *sps, H26xNal *pps);

// One unsigned Exp-Golomb value; a run of 32 zero bits leaves *value unwritten.
void h26x_read_ue(const uint8_t *payload, size_t payload_len, uint64_t *bitpos, uint32_t *value);

void h26x_skip_profile_tier_level(const uint8_t *payload, size_t payload_len, uint64_t *bitpos,
                                  uint32_t max_sub_layers_minus1);

// Both outputs from the first H.265 SPS; unchanged when there is none or when
// a value cannot be read.
void h26x_parse_hevc_sps(const uint8_t *data, size_t size, uint32_t *chroma_format_idc,
                         uint32_t *bit_depth_luma_minus8);
