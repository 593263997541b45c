// Fragmented MP4 from real libx264 frames and libopus packets, read back by
// ffprobe and decoded by ffmpeg one GOP per file, plus an independent walk
// over the box tree.
#include <gtest/gtest.h>
#include <opus/opus.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "connection/mp4.h"
#include "support/encoded_streams.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t be32(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Walks boxes, recording each type's first size; false when the children of a
// container do not fill it exactly.
bool walk_boxes(const uint8_t *p, size_t n, std::map<std::string, uint32_t> &sizes) {
    static const std::map<std::string, size_t> kContainers = {
        {"moov", 0}, {"trak", 0}, {"mdia", 0}, {"minf", 0},  {"stbl", 0}, {"mvex", 0},
        {"udta", 0}, {"moof", 0}, {"traf", 0}, {"dinf", 0},  {"ilst", 0}, {"\xA9too", 0},
        {"meta", 4}, {"dref", 8}, {"stsd", 8}, {"avc1", 78}, {"Opus", 28}};
    size_t at = 0;
    while (at < n) {
        if (n - at < 8) return false;
        uint32_t size = be32(p + at);
        if (size < 8 || size > n - at) return false;
        std::string type(reinterpret_cast<const char *>(p + at + 4), 4);
        sizes.emplace(type, size);
        auto c = kContainers.find(type);
        if (c != kContainers.end() && !walk_boxes(p + at + 8 + c->second, size - 8 - c->second, sizes))
            return false;
        at += size;
    }
    return true;
}

std::string run(const std::string &cmd, int *status) {
    std::string out;
    FILE *f = popen(cmd.c_str(), "r");
    char buf[4096];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, got);
    *status = pclose(f);
    return out;
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (!l.empty()) out.push_back(l);
    return out;
}

// Frames ffmpeg decodes from the file, -1 when it reports any error.
int decoded_frames(const std::string &file) {
    int status = 0;
    std::string out = run("ffmpeg -nostdin -v error -xerror -i " + file + " -f framemd5 - 2>&1", &status);
    if (status != 0) {
        ADD_FAILURE() << out;
        return -1;
    }
    int frames = 0;
    for (const auto &l : lines(out)) frames += l[0] != '#';
    return frames;
}

size_t start_len(const uint8_t *nal) {
    return nal[2] == 1 ? 3 : 4;
}

TEST(Mp4, VideoGopsReadByFFmpeg) {
    struct Case {
        const char *name;
        int slices, frames, keyint;
    };
    const Case cases[] = {{"one slice", 1, 10, 5}, {"two slices", 2, 6, 3}};
    TempDir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto units = encode_h264(160, 96, c.frames, c.keyint, c.slices);
        ASSERT_EQ(units.size(), static_cast<size_t>(c.frames));
        Mp4VideoState *state = nullptr;
        std::vector<Bytes> gops;
        std::vector<std::vector<uint32_t>> payloads;
        int64_t now = 1000000000;
        for (size_t i = 0; i < units.size(); i++, now += 16666700) {
            const auto &u = units[i];
            int32_t n = mp4_write_video_at(&state, u.bytes.data(), u.bytes.size(), 160, 96, now);
            ASSERT_GT(n, 0);
            // Expected mdat: the encoder's slice units, each with a 4-byte length.
            Bytes mdat;
            size_t at = 0, sps = 0, pps = 0;
            int slices = 0;
            for (uint32_t size : u.nal_sizes) {
                const uint8_t *nal = u.bytes.data() + at;
                size_t sl = start_len(nal), type = nal[sl] & 31;
                if (type == 7) sps = size - sl;
                if (type == 8) pps = size - sl;
                if (type == 1 || type == 5) {
                    slices++;
                    for (int k = 3; k >= 0; k--) mdat.push_back(static_cast<uint8_t>((size - sl) >> (8 * k)));
                    mdat.insert(mdat.end(), nal + sl, nal + size);
                }
                at += size;
            }
            EXPECT_EQ(slices, c.slices);
            size_t init = u.key ? 626 + sps + pps + 26 : 0;
            ASSERT_EQ(static_cast<size_t>(n), init + 128 + mdat.size());
            const uint8_t *frag = state->buffer + init;
            EXPECT_EQ(Bytes(frag + 128, frag + 128 + mdat.size()), mdat);
            std::map<std::string, uint32_t> boxes;
            ASSERT_TRUE(walk_boxes(state->buffer, static_cast<size_t>(n), boxes));
            EXPECT_EQ(boxes["moof"], 120u);
            EXPECT_EQ(be32(frag + 20), i);  // sequence numbers run on across key frames
            if (u.key) {
                EXPECT_EQ(boxes["ftyp"], 36u);
                EXPECT_EQ(boxes["moov"], 590 + sps + pps + 26);
                EXPECT_EQ(boxes["avcC"], 19 + sps + pps);
                gops.emplace_back();
                payloads.emplace_back();
            }
            ASSERT_FALSE(gops.empty());
            gops.back().insert(gops.back().end(), state->buffer, state->buffer + n);
            payloads.back().push_back(static_cast<uint32_t>(mdat.size()));
        }
        mp4_video_destroy(&state);
        EXPECT_EQ(state, nullptr);
        ASSERT_EQ(gops.size(), static_cast<size_t>((c.frames + c.keyint - 1) / c.keyint));
        for (size_t g = 0; g < gops.size(); g++) {
            std::string file = dir.file(("gop" + std::to_string(g) + ".mp4").c_str());
            write_file(file, std::string(gops[g].begin(), gops[g].end()));
            int status = 0;
            auto out = lines(
                run("ffprobe -v error -show_entries stream=codec_name,width,height:packet=dts,size,flags "
                    "-of csv=p=0 " +
                        file,
                    &status));
            ASSERT_EQ(status, 0);
            std::vector<std::string> want;
            for (size_t k = 0; k < payloads[g].size(); k++)
                want.push_back(std::to_string(k * 1500) + "," + std::to_string(payloads[g][k]) +
                               (k == 0 ? ",K_" : ",__"));
            want.push_back("h264,160,96");
            EXPECT_EQ(out, want);
            EXPECT_EQ(decoded_frames(file), static_cast<int>(payloads[g].size()));
        }
    }
}

TEST(Mp4, DecodeTimeSteps) {
    auto units = encode_h264(64, 64, 2, 10);
    ASSERT_EQ(units.size(), 2u);
    const struct {
        double gap_ms;
        uint64_t step;
    } cases[] = {{40, 1500}, {5, 450}, {10, 900}, {0.2, 90}, {16.6667, 1500}, {20, 1800}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.gap_ms);
        Mp4VideoState *state = nullptr;
        int64_t t0 = 5000000000;
        ASSERT_GT(mp4_write_video_at(&state, units[0].bytes.data(), units[0].bytes.size(), 64, 64, t0), 0);
        int64_t t1 = t0 + static_cast<int64_t>(std::llround(c.gap_ms * 1e6));
        ASSERT_GT(mp4_write_video_at(&state, units[1].bytes.data(), units[1].bytes.size(), 64, 64, t1), 0);
        EXPECT_EQ(be32(state->buffer + 76), 0u);  // tfdt high word
        EXPECT_EQ(be32(state->buffer + 80), c.step);
        mp4_video_destroy(&state);
    }
}

TEST(Mp4, OpusReadByFFmpeg) {
    TempDir dir;
    for (int samples : {960, 240}) {
        SCOPED_TRACE(samples);
        int err = 0;
        OpusEncoder *enc = opus_encoder_create(48000, 2, OPUS_APPLICATION_AUDIO, &err);
        ASSERT_EQ(err, OPUS_OK);
        Mp4AudioState *state = nullptr;
        std::string file_bytes;
        const int packets = 25;
        for (int i = 0; i < packets; i++) {
            std::vector<int16_t> pcm(static_cast<size_t>(samples) * 2);
            for (int s = 0; s < samples; s++)
                pcm[2 * s] = pcm[2 * s + 1] =
                    static_cast<int16_t>(8000 * std::sin((i * samples + s) * 2 * M_PI * 440 / 48000));
            uint8_t packet[1500];
            int len = opus_encode(enc, pcm.data(), samples, packet, sizeof packet);
            ASSERT_GT(len, 0);
            int32_t n =
                mp4_write_audio(&state, packet, static_cast<size_t>(len), static_cast<uint32_t>(samples));
            size_t init = i == 0 ? MP4_AUDIO_INIT_SIZE : 0;
            ASSERT_EQ(static_cast<size_t>(n), init + 108 + static_cast<size_t>(len));
            std::map<std::string, uint32_t> boxes;
            ASSERT_TRUE(walk_boxes(state->buffer, static_cast<size_t>(n), boxes));
            EXPECT_EQ(boxes["moof"], 100u);
            const uint8_t *frag = state->buffer + init;
            EXPECT_EQ(be32(frag + 20), static_cast<uint32_t>(i));                  // sequence
            EXPECT_EQ(be32(frag + 76), static_cast<uint32_t>((i + 1) * samples));  // tfdt, after adding
            EXPECT_EQ(Bytes(frag + 108, frag + n - init), Bytes(packet, packet + len));
            if (i == 0) {
                EXPECT_EQ(boxes["moov"], 646u);
                EXPECT_EQ(boxes["dOps"], 19u);
                EXPECT_EQ(boxes["data"], 29u);
            }
            file_bytes.append(reinterpret_cast<const char *>(state->buffer), static_cast<size_t>(n));
        }
        opus_encoder_destroy(enc);
        mp4_audio_destroy(&state);
        std::string file = dir.file("audio.mp4");
        write_file(file, file_bytes);
        int status = 0;
        auto out =
            lines(run("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels:packet=pts "
                      "-of csv=p=0 " +
                          file,
                      &status));
        ASSERT_EQ(status, 0);
        std::vector<std::string> want;
        for (int i = 0; i < packets; i++) want.push_back(std::to_string((i + 1) * samples));
        want.push_back("opus,48000,2");
        EXPECT_EQ(out, want);
        EXPECT_EQ(decoded_frames(file), packets);
    }
}

TEST(Mp4, RefusedInput) {
    auto units = encode_h264(64, 64, 2, 10);
    const Bytes &key = units[0].bytes;
    Bytes no_pps(key.begin(), key.begin() + units[0].nal_sizes[0]);  // the SPS alone
    no_pps.insert(no_pps.end(), key.end() - units[0].nal_sizes.back(), key.end());
    Bytes huge(MP4_VIDEO_BUFFER - 100, 0x55);
    std::copy(units[1].bytes.begin(), units[1].bytes.end(), huge.begin());
    Bytes no_nal = {0x12, 0x00, 0x00, 0x02, 0x67};
    const struct {
        const char *name;
        const Bytes *frame;
        int32_t result;
    } cases[] = {
        {"no nal unit", &no_nal, -23000},
        {"key frame without pps", &no_pps, -23000},
        {"larger than the buffer allows", &huge, MP4_ERR_TOO_LARGE},
    };
    Mp4VideoState *state = nullptr;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(mp4_write_video(&state, c.frame->data(), c.frame->size(), 64, 64), c.result);
        EXPECT_EQ(state->sequence, 0u);  // nothing consumed
    }
    EXPECT_GT(mp4_write_video(&state, key.data(), key.size(), 64, 64), 0);
    mp4_video_destroy(&state);

    Mp4AudioState *audio = nullptr;
    Bytes big(MP4_AUDIO_BUFFER, 1);
    EXPECT_EQ(mp4_write_audio(&audio, big.data(), big.size(), 960), MP4_ERR_TOO_LARGE);
    EXPECT_TRUE(audio->init_pending);
    EXPECT_EQ(mp4_write_audio(&audio, big.data(), MP4_AUDIO_BUFFER - 786, 960),
              static_cast<int32_t>(MP4_AUDIO_BUFFER));
    mp4_audio_destroy(&audio);
}

}  // namespace
