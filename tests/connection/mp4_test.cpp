// Fragmented MP4 from real libx264 frames and libopus packets, read back by
// ffprobe and decoded by ffmpeg one GOP per file, plus an independent walk
// over the box tree.
#include <gtest/gtest.h>
#include <opus/opus.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "connection/mp4.h"
#include "support/encoded_streams.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Boxes = std::map<std::string, uint32_t>;

uint32_t be32(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Each box type's first size; false when the children of a container do not
// fill it exactly. The number is the bytes before a container's children.
bool walk_boxes(const uint8_t *p, size_t n, Boxes &sizes) {
    static const std::map<std::string, size_t> kContainers = {
        {"moov", 0}, {"trak", 0}, {"mdia", 0}, {"minf", 0},  {"stbl", 0}, {"mvex", 0},
        {"udta", 0}, {"moof", 0}, {"traf", 0}, {"dinf", 0},  {"ilst", 0}, {"\xA9too", 0},
        {"meta", 4}, {"dref", 8}, {"stsd", 8}, {"avc1", 78}, {"Opus", 28}};
    for (size_t at = 0, size; at < n; at += size) {
        size = n - at < 8 ? 0 : be32(p + at);
        if (size < 8 || size > n - at) return false;
        std::string type(reinterpret_cast<const char *>(p + at + 4), 4);
        sizes.emplace(type, size);
        auto c = kContainers.find(type);
        if (c != kContainers.end() && !walk_boxes(p + at + 8 + c->second, size - 8 - c->second, sizes))
            return false;
    }
    return true;
}

// Non-empty output lines of a command, which must succeed.
std::vector<std::string> run(const std::string &cmd) {
    FILE *f = popen((cmd + " 2>&1").c_str(), "r");
    std::string out;
    char buf[4096];
    for (size_t got; (got = fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, got);
    EXPECT_EQ(pclose(f), 0) << cmd << "\n" << out;
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);)
        if (!l.empty()) lines.push_back(l);
    return lines;
}

// Frames ffmpeg decodes from the file; any decoding error fails the command.
size_t decoded_frames(const std::string &file) {
    size_t frames = 0;
    for (const auto &l :
         run("ffmpeg -nostdin -v error -xerror -i " + file + " -fps_mode passthrough -f framemd5 -"))
        frames += l[0] != '#';
    return frames;
}

// The sample an access unit should become: its slices, each with a 4-byte
// length; also the sizes of its SPS and PPS and its slice count.
Bytes expected_sample(const EncodedUnit &u, size_t *ps_bytes, int *slices) {
    Bytes out;
    *ps_bytes = 0;
    *slices = 0;
    const uint8_t *nal = u.bytes.data();
    for (uint32_t size : u.nal_sizes) {
        size_t sl = nal[2] == 1 ? 3 : 4, type = nal[sl] & 31, len = size - sl;
        if (type == 7 || type == 8) *ps_bytes += len;
        if (type == 1 || type == 5) {
            ++*slices;
            for (int k = 3; k >= 0; k--) out.push_back(static_cast<uint8_t>(len >> (8 * k)));
            out.insert(out.end(), nal + sl, nal + size);
        }
        nal += size;
    }
    return out;
}

TEST(Mp4, VideoGopsReadByFFmpeg) {
    TempDir dir;
    for (int slices : {1, 2}) {
        SCOPED_TRACE(slices);
        const int frames = 8, keyint = 4;
        auto units = encode_h264(160, 96, frames, keyint, slices);
        ASSERT_EQ(units.size(), static_cast<size_t>(frames));
        Mp4VideoState *state = nullptr;
        std::string gop;
        std::vector<std::string> probe;
        for (int i = 0; i < frames; i++) {
            const auto &u = units[i];
            int32_t n =
                mp4_write_video_at(&state, u.bytes.data(), u.bytes.size(), 160, 96, 1 + i * 16666700ll);
            size_t ps = 0;
            int found = 0;
            Bytes sample = expected_sample(u, &ps, &found);
            EXPECT_EQ(found, slices);
            size_t init = u.key ? 626 + ps + 26 : 0;
            ASSERT_EQ(static_cast<size_t>(n), init + 128 + sample.size());
            const uint8_t *frag = state->buffer + init;
            EXPECT_EQ(Bytes(frag + 128, frag + n - init), sample);
            EXPECT_EQ(be32(frag + 20),
                      static_cast<uint32_t>(i));  // sequence numbers run on across key frames
            Boxes boxes;
            ASSERT_TRUE(walk_boxes(state->buffer, static_cast<size_t>(n), boxes));
            EXPECT_EQ(boxes["moof"], 120u);
            if (u.key) {
                EXPECT_EQ(boxes["ftyp"] + boxes["moov"] + boxes["avcC"], 36 + 590 + 26 + 19 + 2 * ps);
                gop.clear();
                probe.clear();
            }
            gop.append(reinterpret_cast<const char *>(state->buffer), static_cast<size_t>(n));
            probe.push_back(std::to_string(probe.size() * 1500) + "," + std::to_string(sample.size()) +
                            (u.key ? ",K_" : ",__"));
            if (i % keyint != keyint - 1) continue;
            // Each GOP in its own file: every key frame restarts the decode time.
            std::string file = dir.file(("gop" + std::to_string(i) + ".mp4").c_str());
            write_file(file, gop);
            probe.push_back("h264,160,96");
            EXPECT_EQ(
                run("ffprobe -v error -show_entries stream=codec_name,width,height:packet=dts,size,flags "
                    "-of csv=p=0 " +
                    file),
                probe);
            EXPECT_EQ(decoded_frames(file), static_cast<size_t>(keyint));
        }
        mp4_video_destroy(&state);
    }
}

TEST(Mp4, DecodeTimeSteps) {
    auto units = encode_h264(64, 64, 2, 10);
    const double gaps[][2] = {{40, 1500}, {5, 450}, {10, 900}, {0.2, 90}, {16.6667, 1500}, {20, 1800}};
    for (const auto &g : gaps) {
        Mp4VideoState *state = nullptr;
        int64_t t0 = 5000000000;
        ASSERT_GT(mp4_write_video_at(&state, units[0].bytes.data(), units[0].bytes.size(), 64, 64, t0), 0);
        int64_t t1 = t0 + std::llround(g[0] * 1e6);
        ASSERT_GT(mp4_write_video_at(&state, units[1].bytes.data(), units[1].bytes.size(), 64, 64, t1), 0);
        EXPECT_EQ(be32(state->buffer + 76) * 4294967296.0 + be32(state->buffer + 80), g[1]) << g[0];  // tfdt
        mp4_video_destroy(&state);
    }
}

TEST(Mp4, OpusReadByFFmpeg) {
    TempDir dir;
    for (int samples : {960, 240}) {
        SCOPED_TRACE(samples);
        int err = 0;
        OpusEncoder *enc = opus_encoder_create(48000, 2, OPUS_APPLICATION_AUDIO, &err);
        Mp4AudioState *state = nullptr;
        std::string file_bytes;
        std::vector<std::string> probe;
        const int packets = 25;
        for (int i = 0; i < packets; i++) {
            std::vector<int16_t> pcm(static_cast<size_t>(samples) * 2);
            for (size_t s = 0; s < pcm.size(); s++)
                pcm[s] =
                    static_cast<int16_t>(8000 * std::sin((i * samples + s / 2) * 2 * M_PI * 440 / 48000));
            uint8_t packet[1500];
            int len = opus_encode(enc, pcm.data(), samples, packet, sizeof packet);
            int32_t n =
                mp4_write_audio(&state, packet, static_cast<size_t>(len), static_cast<uint32_t>(samples));
            size_t init = i == 0 ? MP4_AUDIO_INIT_SIZE : 0;
            ASSERT_EQ(static_cast<size_t>(n), init + 108 + static_cast<size_t>(len));
            Boxes boxes;
            ASSERT_TRUE(walk_boxes(state->buffer, static_cast<size_t>(n), boxes));
            EXPECT_EQ(boxes["moof"], 100u);
            const uint8_t *frag = state->buffer + init;
            EXPECT_EQ(be32(frag + 20), static_cast<uint32_t>(i));                  // sequence
            EXPECT_EQ(be32(frag + 76), static_cast<uint32_t>((i + 1) * samples));  // tfdt, after adding
            EXPECT_EQ(Bytes(frag + 108, frag + n - init), Bytes(packet, packet + len));
            EXPECT_EQ(boxes["moov"] + boxes["dOps"] + boxes["data"], i == 0 ? 646u + 19 + 29 : 0u);
            file_bytes.append(reinterpret_cast<const char *>(state->buffer), static_cast<size_t>(n));
            probe.push_back(std::to_string((i + 1) * samples));
        }
        opus_encoder_destroy(enc);
        mp4_audio_destroy(&state);
        std::string file = dir.file("audio.mp4");
        write_file(file, file_bytes);
        probe.push_back("opus,48000,2");
        EXPECT_EQ(run("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels:packet=pts "
                      "-of csv=p=0 " +
                      file),
                  probe);
        EXPECT_EQ(decoded_frames(file), static_cast<size_t>(packets));
    }
}

TEST(Mp4, RefusedInput) {
    auto units = encode_h264(64, 64, 2, 10);
    const Bytes &key = units[0].bytes;
    Bytes no_pps(key.begin(), key.begin() + units[0].nal_sizes[0]);  // the SPS, then the slice
    no_pps.insert(no_pps.end(), key.end() - units[0].nal_sizes.back(), key.end());
    Bytes huge(MP4_VIDEO_BUFFER - 100, 0x55);
    std::copy(units[1].bytes.begin(), units[1].bytes.end(), huge.begin());
    const std::pair<Bytes, int32_t> cases[] = {
        {{0x12, 0x00, 0x00, 0x02, 0x67}, -23000}, {no_pps, -23000}, {huge, MP4_ERR_TOO_LARGE}};
    Mp4VideoState *state = nullptr;
    for (const auto &c : cases) {
        EXPECT_EQ(mp4_write_video(&state, c.first.data(), c.first.size(), 64, 64), c.second);
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
