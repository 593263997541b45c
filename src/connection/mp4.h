// Fragmented MP4 form of the stream for browser clients: every H.264 frame and
// every Opus packet becomes one "moof" + "mdat" fragment of a single-track
// movie, preceded by an init segment ("ftyp" + "moov") at each video key frame
// and before the first audio packet. Boxes are fixed templates, big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t MP4_VIDEO_BUFFER = 4194304;
constexpr size_t MP4_AUDIO_BUFFER = 1048576;
constexpr uint32_t MP4_AUDIO_INIT_SIZE = 678;
constexpr uint32_t MP4_VIDEO_FRAGMENT_BOXES = 128;
constexpr uint32_t MP4_AUDIO_FRAGMENT_BOXES = 108;

// A frame or packet that would not fit in the writer's buffer.
constexpr int32_t MP4_ERR_TOO_LARGE = -23001;

struct Mp4VideoState {
    uint8_t *buffer;       // MP4_VIDEO_BUFFER bytes
    uint32_t sequence;     // next fragment's sequence number
    uint64_t decode_time;  // 90 kHz
    int64_t last_time;     // clock ticks of the previous frame, 0 none
};

struct Mp4AudioState {
    uint8_t *buffer;  // MP4_AUDIO_BUFFER bytes
    uint32_t sequence;
    uint64_t decode_time;  // 48 kHz
    bool init_pending;
};

// Wraps one Annex B frame (state created on first use) into the state's
// buffer from offset 0: init segment and fragment for a key frame, else the
// fragment alone. Bytes to send, or a negative code (nothing to send).
int32_t mp4_write_video(Mp4VideoState **state, const uint8_t *frame, size_t size, uint32_t width,
                        uint32_t height);
// The same with the frame's clock reading (VKO_GetTime ticks) given.
int32_t mp4_write_video_at(Mp4VideoState **state, const uint8_t *frame, size_t size, uint32_t width,
                           uint32_t height, int64_t now);
void mp4_video_destroy(Mp4VideoState **state);

// Init segment for the first SPS and PPS of frame; its length or a negative code.
// buffer must hold MP4_VIDEO_BUFFER bytes.
int32_t mp4_init_segment(uint8_t *buffer, const uint8_t *frame, size_t size, uint32_t width, uint32_t height);
// The "stsd" box; its length or a negative code. *extra_len gets the bytes of
// SPS and PPS (without start codes) it carries.
int32_t mp4_stsd(uint8_t *out, const uint8_t *extradata, size_t size, uint32_t width, uint32_t height,
                 uint32_t *extra_len);
// Fragment at buffer + offset holding the frame's slices; offset + 128 + P.
int32_t mp4_video_fragment(uint8_t *buffer, uint32_t offset, uint32_t sequence, uint64_t decode_time,
                           const uint8_t *frame, size_t size, bool key);
// Bytes the fragment's "mdat" payload takes: each slice with a 4-byte length.
size_t mp4_video_payload_size(const uint8_t *frame, size_t size);

int32_t mp4_audio_init_segment(uint8_t *buffer);
int32_t mp4_audio_fragment(uint8_t *buffer, uint32_t offset, uint32_t sequence, uint64_t decode_time,
                           const uint8_t *packet, size_t size, uint32_t duration);
// One Opus packet (state created on first use); bytes to send from the
// state's buffer, or a negative code.
int32_t mp4_write_audio(Mp4AudioState **state, const uint8_t *packet, size_t size, uint32_t duration);
void mp4_audio_destroy(Mp4AudioState **state);
