// Real H.264 (libx264) and H.265 (libx265) access units of a moving test
// picture, for tests that parse, wrap or decode encoded video.
#pragma once

#include <cstdint>
#include <vector>

struct EncodedUnit {
    std::vector<uint8_t> bytes;       // Annex B, start codes included
    std::vector<uint32_t> nal_sizes;  // each NAL unit with its start code, as the encoder cut them
    bool key = false;
};

// 4:2:0 8-bit, one access unit per frame, parameter sets before each key frame.
std::vector<EncodedUnit> encode_h264(int width, int height, int frames, int keyint, int slices = 1);

// depth 8 or 10; csp444 picks 4:4:4 over 4:2:0.
std::vector<EncodedUnit> encode_h265(int width, int height, int frames, int keyint, int depth, bool csp444);

// What libavcodec makes of a stream decoded unit by unit.
struct AvView {
    int chroma_444 = -1;  // 1 when the decoded pictures are 4:4:4
    int depth = -1;       // luma bits
    int frames = 0;
};
AvView decode_units(const std::vector<EncodedUnit> &units, bool hevc);
AvView decode_buffers(const std::vector<std::vector<uint8_t>> &units, bool hevc);
