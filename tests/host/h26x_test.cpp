// Annex B parsing against hand-made buffers and against real encoder output:
// libx264 and libx265 cut their own NAL units, the parser must find the same
// boundaries, and libavcodec must agree with the SPS fields it reads.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host/h26x.h"
#include "support/encoded_streams.h"
#include "util/logger.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The match as "codec type offset start_len length", or the error code.
std::string find(const Bytes &data, H26xNal nal) {
    int32_t r = h26x_find_nal(data.data(), data.size(), &nal);
    if (r != 0) return std::to_string(r);
    char out[64];
    std::snprintf(out, sizeof out, "%u %u %llu %u %d", nal.codec, nal.type, (unsigned long long)nal.offset,
                  nal.start_len, nal.length);
    return out;
}

TEST(H26x, FindNalTable) {
    const struct {
        const char *name;
        Bytes data;
        H26xNal filter;  // codec, type, class, -, -, length
        const char *want;
    } cases[] = {
        {"h264 sps", {0, 0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0xCE}, {}, "1 7 0 4 6"},
        {"h265 vps", {0, 0, 1, 0x40, 0x01, 0x0C}, {}, "2 32 0 3 6"},
        {"sei and aud passed over",
         {0, 0, 1, 0x09, 0xF0, 0, 0, 1, 0x06, 0x05, 0, 0, 0, 1, 0x67, 0x42},
         {},
         "1 7 10 4 6"},
        {"long zero run", {0, 0, 0, 0, 0, 1, 0x65, 0x88}, {}, "1 5 2 4 6"},
        {"h264 filter on h265 units",
         {0, 0, 1, 0x40, 0x01, 0, 0, 1, 0x42, 0x01},
         {1, 7, 0, 0, 0, 0},
         "-23000"},
        {"length not measured", {0, 0, 1, 0x65, 0x88, 0, 0, 1, 0x41}, {0, 0, 0, 0, 0, -1}, "1 5 0 3 -1"},
        {"picture class",
         {0, 0, 1, 0x67, 0, 0, 1, 0x68, 0, 0, 1, 0x41, 0x9A},
         {0, 0, 2, 0, 0, 0},
         "1 1 8 3 5"},
        {"h265 idr by type",
         {0, 0, 1, 0x40, 0x01, 0, 0, 1, 0x26, 0x01, 0xAF},
         {2, 19, 0, 0, 0, 0},
         "2 19 5 3 6"},
        {"header byte past the end", {0, 0, 0, 1}, {}, "-23000"},
        {"h265 needs its second byte", {0, 0, 1, 0x40}, {2, 0, 0, 0, 0, 0}, "-23000"},
        {"no start code", {1, 2, 3, 0, 0, 2, 0x67}, {}, "-23000"},
        {"too short", {0, 0}, {}, "-23000"},
        {"class 0 types never match", {0, 0, 1, 0x06, 0, 0, 1, 0x0C}, {}, "-23000"},
    };
    for (const auto &c : cases) EXPECT_EQ(find(c.data, c.filter), c.want) << c.name;
}

TEST(H26x, ExpGolombTable) {
    struct Case {
        const char *name;
        Bytes payload;
        uint64_t start;
        std::vector<uint32_t> values;
        uint64_t end;
    };
    const Case cases[] = {
        // 1 | 010 | 011 | 00100 | 00111 ...: 0, 1, 2, 3, 6
        {"small values", {0xA6, 0x43, 0x80}, 0, {0, 1, 2, 3, 6}, 17},
        // 16 zeros, the 03 stepped over, the 1 bit, then 16 bits of value 1.
        {"emulation prevention", {0x00, 0x00, 0x03, 0x80, 0x00, 0x80}, 0, {65536}, 41},
        {"beyond the payload reads as zeros", {0x00}, 0, {12345}, 8},  // value left as it was
        {"32 zeros leave the value", {0, 0, 0, 0, 0x80}, 0, {12345}, 32},
        {"31 zeros still read", {0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFE}, 0, {0xFFFFFFFEu}, 63},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        uint64_t pos = c.start;
        for (uint32_t want : c.values) {
            uint32_t v = 12345;
            h26x_read_ue(c.payload.data(), c.payload.size(), &pos, &v);
            EXPECT_EQ(v, want);
        }
        EXPECT_EQ(pos, c.end);
    }
}

std::vector<std::string> g_lines;

int32_t capture(uint32_t, const char *format, va_list args, void *) {
    char line[256];
    std::vsnprintf(line, sizeof line, format, args);
    g_lines.push_back(line);
    return 0;
}

TEST(H26x, ExtradataFailures) {
    struct Case {
        const char *name;
        Bytes data;
        int32_t result;
        const char *line;
    };
    const Case cases[] = {
        {"no sps", {0, 0, 1, 0x68, 0xCE, 0, 0, 1, 0x65, 0x88}, -23000, "* h26x_extradata[147] = -23000"},
        {"h265 vps and sps only",
         {0, 0, 1, 0x40, 0x01, 0, 0, 1, 0x42, 0x01, 0, 0, 1, 0x68, 0xCE},
         -23000,
         "* h26x_extradata[155] = -23000"},
        {"h264 pair", {0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0xCE}, 0, nullptr},
    };
    log_set_sink(capture, nullptr);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        g_lines.clear();
        H26xNal vps, sps, pps;
        EXPECT_EQ(h26x_extradata(c.data.data(), c.data.size(), &vps, &sps, &pps), c.result);
        EXPECT_EQ(g_lines, c.line ? std::vector<std::string>{c.line} : std::vector<std::string>{});
    }
    log_set_sink(nullptr, nullptr);
}

// Offsets of the NAL units of one access unit, walked the way the MP4 writer
// does: restart each search after the unit just handled.
std::vector<uint32_t> walk(const Bytes &au) {
    std::vector<uint32_t> sizes;
    size_t base = 0;
    uint8_t len = 0;
    size_t at = h26x_next_start_code(au.data(), au.size(), 0, &len);
    EXPECT_EQ(at, 0u);
    while (base < au.size()) {
        size_t next = h26x_next_start_code(au.data() + base, au.size() - base, len, &len);
        sizes.push_back(static_cast<uint32_t>(next));
        base += next;
    }
    return sizes;
}

struct StreamCase {
    const char *name;
    bool hevc;
    int width, height, depth;
    bool csp444;
};

const StreamCase kStreams[] = {
    {"x264 4:2:0", false, 160, 96, 8, false},         {"x265 main", true, 160, 96, 8, false},
    {"x265 main444-10", true, 128, 72, 10, true},     {"x265 main444-10 cropped", true, 100, 58, 10, true},
    {"x265 main10 cropped", true, 90, 50, 10, false},
};

TEST(H26x, RealEncoderStreams) {
    for (const auto &s : kStreams) {
        SCOPED_TRACE(s.name);
        auto units = s.hevc ? encode_h265(s.width, s.height, 6, 3, s.depth, s.csp444)
                            : encode_h264(s.width, s.height, 6, 3);
        ASSERT_GE(units.size(), 6u);
        uint8_t want_codec = s.hevc ? 2 : 1;
        for (const auto &u : units) {
            // Same NAL boundaries as the encoder's own.
            EXPECT_EQ(walk(u.bytes), u.nal_sizes);
            H26xNal pic{want_codec, 0, H26X_CLASS_PICTURE, 0, 0, 0};
            ASSERT_EQ(h26x_find_nal(u.bytes.data(), u.bytes.size(), &pic), 0);
            bool idr = s.hevc ? (pic.type == 19 || pic.type == 20) : pic.type == 5;
            EXPECT_EQ(idr, u.key);
        }
        const Bytes &first = units[0].bytes;
        H26xNal vps, sps, pps;
        ASSERT_EQ(h26x_extradata(first.data(), first.size(), &vps, &sps, &pps), 0);
        EXPECT_EQ(sps.codec * 10 + pps.codec, want_codec * 11);
        // The parameter sets are the encoder's first units, in order.
        const auto &n = units[0].nal_sizes;
        size_t k = s.hevc ? 1 : 0;
        EXPECT_EQ(static_cast<uint32_t>(vps.length), s.hevc ? n[0] : 0u);
        EXPECT_EQ(sps.offset, s.hevc ? n[0] : 0u);
        EXPECT_EQ(static_cast<uint32_t>(sps.length), n[k]);
        EXPECT_EQ(static_cast<uint32_t>(pps.length), n[k + 1]);

        AvView av = decode_units(units, s.hevc);
        EXPECT_EQ(av.frames, static_cast<int>(units.size()));
        EXPECT_EQ(av.chroma_444, s.csp444 ? 1 : 0);
        EXPECT_EQ(av.depth, s.depth);
        if (!s.hevc) continue;
        uint32_t chroma = 99, depth_minus8 = 99;
        h26x_parse_hevc_sps(first.data(), first.size(), &chroma, &depth_minus8);
        EXPECT_EQ(chroma, s.csp444 ? 3u : 1u);
        EXPECT_EQ(depth_minus8 + 8, static_cast<uint32_t>(av.depth));
    }
}

}  // namespace
