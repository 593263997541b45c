#include "host/h26x.h"

#include <emmintrin.h>

#include <cstring>

#include "util/logger.h"

namespace {

// Class of each NAL unit type: 1 parameter set, 2 picture, 0 never matches.
constexpr uint8_t kH264Class[10] = {0, 2, 0, 0, 0, 2, 0, 1, 1, 0};
constexpr uint8_t kH265Class[40] = {
    0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2,
    2, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0, 0, 0,
};

// The bit reader's emulation-prevention rule: a 0x03 after two zero bytes is
// stepped over whole, checked before each single-bit read and each skip.
void skip_epb(const uint8_t *p, size_t len, uint64_t *pos) {
    uint64_t i = *pos >> 3;
    if (i >= 2 && i < len && p[i] == 0x03 && p[i - 1] == 0 && p[i - 2] == 0) *pos += 8;
}

uint32_t read_bit(const uint8_t *p, size_t len, uint64_t *pos) {
    skip_epb(p, len, pos);
    uint64_t i = *pos >> 3;
    if (i >= len) return 0;
    uint32_t bit = (p[i] >> (7 - (*pos & 7))) & 1;
    *pos += 1;
    return bit;
}

void skip_bits(const uint8_t *p, size_t len, uint64_t *pos, uint32_t n) {
    skip_epb(p, len, pos);
    if ((*pos >> 3) >= len) return;
    *pos += n;
}

void skip_single_bits(const uint8_t *p, size_t len, uint64_t *pos, uint32_t n) {
    for (uint32_t i = 0; i < n; i++) skip_bits(p, len, pos, 1);
}

// Profile fields shared by the general and the sub-layer parts (88 bits).
void skip_profile(const uint8_t *p, size_t len, uint64_t *pos) {
    skip_bits(p, len, pos, 2);          // profile_space
    skip_bits(p, len, pos, 1);          // tier_flag
    skip_bits(p, len, pos, 5);          // profile_idc
    skip_single_bits(p, len, pos, 32);  // profile_compatibility_flag[32]
    skip_bits(p, len, pos, 2);          // progressive_source, interlaced_source
    skip_bits(p, len, pos, 2);          // non_packed_constraint, frame_only_constraint
    skip_single_bits(p, len, pos, 44);  // constraint and reserved bits
}

// First i in [from, end - 1) with data[i] == data[i + 1] == 0, or end. Outside
// start codes and 00 00 03 an Annex B stream holds no zero pair, so 32 bytes
// are tested at a time and hits are rare.
size_t find_zero_pair(const uint8_t *d, size_t from, size_t end) {
    size_t i = from;
    const __m128i zero = _mm_setzero_si128();
    while (i + 33 <= end) {
        __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(d + i));
        __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(d + i + 16));
        __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(d + i + 1));
        __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(d + i + 17));
        uint32_t m0 = static_cast<uint32_t>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a0, zero), _mm_cmpeq_epi8(b0, zero))));
        uint32_t m1 = static_cast<uint32_t>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a1, zero), _mm_cmpeq_epi8(b1, zero))));
        uint32_t m = m0 | m1 << 16;
        if (m) return i + static_cast<size_t>(__builtin_ctz(m));
        i += 32;
    }
    for (; i + 1 < end; i++)
        if (d[i] == 0 && d[i + 1] == 0) return i;
    return end;
}

}  // namespace

size_t h26x_next_start_code(const uint8_t *data, size_t size, size_t from, uint8_t *start_len) {
    if (!data || size < 4 || from > size - 4) return size;
    size_t i = from;
    // A start code needs its header byte: its zero pair starts before size - 3.
    while ((i = find_zero_pair(data, i, size - 2)) < size - 2) {
        if (data[i + 2] == 1) {
            if (i + 3 >= size) return size;
            *start_len = 3;
            return i;
        }
        if (data[i + 2] == 0 && i + 3 < size && data[i + 3] == 1) {
            if (i + 4 >= size) return size;
            *start_len = 4;
            return i;
        }
        i++;
    }
    return size;
}

int32_t h26x_find_nal(const uint8_t *data, size_t size, H26xNal *nal) {
    if (!data || !nal || size < 3) return H26X_ERR_NOT_FOUND;
    size_t pos = 0;
    for (;;) {
        uint8_t len = 0;
        size_t p = h26x_next_start_code(data, size, pos, &len);
        if (p >= size) return H26X_ERR_NOT_FOUND;
        size_t hdr = p + len;
        uint8_t h = data[hdr];
        uint8_t codec = 0, type = 0;
        uint8_t t = (h >> 1) & 63;
        if (hdr + 1 < size && t < 40 && kH265Class[t] != 0 && (h & 0x81) == 0 &&
            (data[hdr + 1] & 0xF8) == 0 && (nal->codec == 0 || nal->codec == 2) &&
            (nal->type == 0 || nal->type == t) && (nal->nal_class == 0 || nal->nal_class == kH265Class[t])) {
            codec = 2;
            type = t;
        } else {
            t = h & 31;
            if (t < 10 && kH264Class[t] != 0 && (nal->codec == 0 || nal->codec == 1) &&
                (nal->type == 0 || nal->type == t) &&
                (nal->nal_class == 0 || nal->nal_class == kH264Class[t])) {
                codec = 1;
                type = t;
            }
        }
        if (codec == 0) {
            pos = hdr;
            continue;
        }
        nal->codec = codec;
        nal->type = type;
        nal->offset = p;
        nal->start_len = len;
        if (nal->length >= 0) {
            uint8_t next_len = 0;
            nal->length = static_cast<int32_t>(h26x_next_start_code(data, size, hdr, &next_len) - p);
        }
        return 0;
    }
}

int32_t h26x_extradata(const uint8_t *data, size_t size, H26xNal *vps, H26xNal *sps, H26xNal *pps) {
    *vps = H26xNal{};
    *sps = H26xNal{};
    *pps = H26xNal{};
    vps->codec = H26X_CODEC_H265;
    vps->type = H265_NAL_VPS;
    vps->nal_class = H26X_CLASS_PARAM;
    bool hevc = h26x_find_nal(data, size, vps) == 0;
    sps->codec = hevc ? H26X_CODEC_H265 : H26X_CODEC_H264;
    sps->type = hevc ? H265_NAL_SPS : H264_NAL_SPS;
    sps->nal_class = H26X_CLASS_PARAM;
    int32_t r = h26x_find_nal(data, size, sps);
    if (r != 0) {
        log_message(LOG_LEVEL_INFO, "* %s[%d] = %d", "h26x_extradata", 147, r);
        return r;
    }
    pps->codec = sps->codec;
    pps->type = sps->codec == H26X_CODEC_H265 ? H265_NAL_PPS : H264_NAL_PPS;
    pps->nal_class = H26X_CLASS_PARAM;
    r = h26x_find_nal(data, size, pps);
    if (r != 0) {
        log_message(LOG_LEVEL_INFO, "* %s[%d] = %d", "h26x_extradata", 155, r);
        return r;
    }
    return 0;
}

void h26x_read_ue(const uint8_t *payload, size_t payload_len, uint64_t *bitpos, uint32_t *value) {
    uint32_t zeros = 0;
    while (read_bit(payload, payload_len, bitpos) == 0) {
        if (++zeros == 32) return;
    }
    uint32_t v = 0;
    for (uint32_t i = 0; i < zeros; i++) v = (v << 1) | read_bit(payload, payload_len, bitpos);
    *value = zeros == 0 ? 0 : ((1u << zeros) - 1) + v;
}

void h26x_skip_profile_tier_level(const uint8_t *payload, size_t payload_len, uint64_t *bitpos,
                                  uint32_t max_sub_layers_minus1) {
    skip_profile(payload, payload_len, bitpos);
    skip_bits(payload, payload_len, bitpos, 8);  // general_level_idc
    if (max_sub_layers_minus1 == 0) return;
    if (max_sub_layers_minus1 > 64) max_sub_layers_minus1 = 64;  // the SPS gives at most 7
    bool profile_present[64] = {};
    bool level_present[64] = {};
    for (uint32_t i = 0; i < max_sub_layers_minus1; i++) {
        profile_present[i] = read_bit(payload, payload_len, bitpos) != 0;
        level_present[i] = read_bit(payload, payload_len, bitpos) != 0;
    }
    for (uint32_t i = max_sub_layers_minus1; i < 8; i++) skip_bits(payload, payload_len, bitpos, 2);
    for (uint32_t i = 0; i < max_sub_layers_minus1; i++) {
        if (profile_present[i]) skip_profile(payload, payload_len, bitpos);
        if (level_present[i]) skip_bits(payload, payload_len, bitpos, 8);
    }
}

void h26x_parse_hevc_sps(const uint8_t *data, size_t size, uint32_t *chroma_format_idc,
                         uint32_t *bit_depth_luma_minus8) {
    H26xNal sps{};
    sps.codec = H26X_CODEC_H265;
    sps.type = H265_NAL_SPS;
    sps.nal_class = H26X_CLASS_PARAM;
    if (h26x_find_nal(data, size, &sps) != 0) return;
    size_t head = sps.start_len + 2u;
    const uint8_t *payload = data + sps.offset + head;
    size_t len = static_cast<size_t>(sps.length) > head ? static_cast<size_t>(sps.length) - head : 0;
    if (len == 0) payload = data + sps.offset;  // never read: every read sees an empty payload

    uint64_t pos = 0;
    uint32_t max_sub_layers_minus1 = 0;
    if (len > 0) {
        max_sub_layers_minus1 = (payload[0] >> 1) & 7;
        pos = 8;
    }
    h26x_skip_profile_tier_level(payload, len, &pos, max_sub_layers_minus1);
    uint32_t scratch = 0;
    h26x_read_ue(payload, len, &pos, &scratch);  // sps_seq_parameter_set_id
    uint32_t chroma = *chroma_format_idc;
    h26x_read_ue(payload, len, &pos, &chroma);
    *chroma_format_idc = chroma;
    if (chroma == 3) skip_bits(payload, len, &pos, 1);  // separate_colour_plane_flag
    h26x_read_ue(payload, len, &pos, &scratch);         // pic_width_in_luma_samples
    h26x_read_ue(payload, len, &pos, &scratch);         // pic_height_in_luma_samples
    if ((pos >> 3) < len && read_bit(payload, len, &pos) != 0) {
        for (int i = 0; i < 4; i++) h26x_read_ue(payload, len, &pos, &scratch);  // conformance window
    }
    h26x_read_ue(payload, len, &pos, bit_depth_luma_minus8);
}
