// H.264 slice reading: the SPS's frame_num length and a slice's frame_num,
// read from the frames the client receives without decoding them. Pure
// functions; the client's video receiver calls them.
#include "h264.h"

#include "host/h26x.h"

namespace zv {
namespace {

// The RBSP of a NAL unit's first bytes (emulation prevention removed).
size_t rbsp(const uint8_t *p, size_t n, uint8_t *out, size_t cap) {
    size_t o = 0, zeros = 0;
    for (size_t i = 0; i < n && o < cap; i++) {
        if (zeros >= 2 && p[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = p[i] == 0 ? zeros + 1 : 0;
        out[o++] = p[i];
    }
    return o;
}

uint32_t read_bits(const uint8_t *p, size_t n, uint64_t *pos, uint32_t count) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < count; i++, (*pos)++) {
        uint64_t byte = *pos / 8;
        v = v << 1 | (byte < n ? (p[byte] >> (7 - *pos % 8)) & 1 : 0);
    }
    return v;
}

// The payload (after the NAL header byte) of the first NAL unit matching.
size_t nal_payload(const uint8_t *frame, size_t len, uint8_t type, uint8_t cls, uint8_t *out, size_t cap) {
    H26xNal n{H26X_CODEC_H264, type, cls, 0, 0, 0};
    if (h26x_find_nal(frame, len, &n) != 0 || n.length <= 0) return 0;
    size_t at = n.offset + n.start_len + 1;
    size_t end = n.offset + static_cast<size_t>(n.length);
    return at < end && end <= len ? rbsp(frame + at, end - at, out, cap) : 0;
}

}  // namespace

uint32_t sps_frame_num_bits(const uint8_t *frame, size_t len) {
    uint8_t b[64];
    size_t n = nal_payload(frame, len, H264_NAL_SPS, H26X_CLASS_ANY, b, sizeof b);
    if (n < 4) return 0;
    uint64_t pos = 24;
    uint32_t profile = b[0], v = 0;
    h26x_read_ue(b, n, &pos, &v);  // seq_parameter_set_id
    if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 ||
        profile == 83 || profile == 86 || profile == 118 || profile == 128) {
        uint32_t chroma = 0;
        h26x_read_ue(b, n, &pos, &chroma);
        if (chroma == 3) pos++;
        h26x_read_ue(b, n, &pos, &v);
        h26x_read_ue(b, n, &pos, &v);
        pos++;
        if (read_bits(b, n, &pos, 1)) return 0;  // scaling lists: not ours
    }
    v = 99;
    h26x_read_ue(b, n, &pos, &v);
    return v <= 12 ? v + 4 : 0;
}

bool slice_frame_num(const uint8_t *frame, size_t len, uint32_t bits, uint32_t *out) {
    uint8_t b[32];
    size_t n = nal_payload(frame, len, 0, H26X_CLASS_PICTURE, b, sizeof b);
    if (!n || !bits) return false;
    uint64_t pos = 0;
    uint32_t v;
    for (int i = 0; i < 3; i++) h26x_read_ue(b, n, &pos, &v);  // first_mb, slice_type, pps id
    if (pos + bits > n * 8) return false;
    *out = read_bits(b, n, &pos, bits);
    return true;
}

}  // namespace zv
