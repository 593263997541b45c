#include "connection/mp4.h"

#include <cstring>
#include <initializer_list>

#include "host/h26x.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "util/logger.h"

namespace {

// Big-endian writer over a buffer the caller sized; boxes are closed by
// patching their size once their content is written.
struct Out {
    uint8_t *p;
    size_t n;

    void u8(uint32_t v) { p[n++] = static_cast<uint8_t>(v); }
    void u16(uint32_t v) {
        u8(v >> 8);
        u8(v);
    }
    void u32(uint32_t v) {
        u16(v >> 16);
        u16(v);
    }
    void u64(uint64_t v) {
        u32(static_cast<uint32_t>(v >> 32));
        u32(static_cast<uint32_t>(v));
    }
    void zeros(size_t k) {
        std::memset(p + n, 0, k);
        n += k;
    }
    void bytes(const void *src, size_t k) {
        std::memcpy(p + n, src, k);
        n += k;
    }
    void tag(const char *four) { bytes(four, 4); }
    size_t open(const char *type) {
        size_t at = n;
        u32(0);
        tag(type);
        return at;
    }
    size_t full(const char *type, uint32_t version, uint32_t flags) {
        size_t at = open(type);
        u32(version << 24 | flags);
        return at;
    }
    void close(size_t at) {
        uint32_t size = static_cast<uint32_t>(n - at);
        p[at] = static_cast<uint8_t>(size >> 24);
        p[at + 1] = static_cast<uint8_t>(size >> 16);
        p[at + 2] = static_cast<uint8_t>(size >> 8);
        p[at + 3] = static_cast<uint8_t>(size);
    }
};

void matrix(Out &o) {
    static constexpr uint32_t kIdentity[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
    for (uint32_t v : kIdentity) o.u32(v);
}

void mvhd(Out &o, uint32_t timescale) {
    size_t b = o.full("mvhd", 0, 0);
    o.u32(0);  // creation
    o.u32(0);  // modification
    o.u32(timescale);
    o.u32(0);  // duration
    o.u32(0x00010000);
    o.u16(0x0100);
    o.zeros(10);
    matrix(o);
    o.zeros(24);
    o.u32(2);  // next_track_ID
    o.close(b);
}

void tkhd(Out &o, bool audio, uint32_t width, uint32_t height) {
    size_t b = o.full("tkhd", 0, 3);
    o.u32(0);
    o.u32(0);
    o.u32(1);  // track_ID
    o.u32(0);
    o.u32(0);  // duration
    o.zeros(8);
    o.u16(0);  // layer
    o.u16(audio ? 1 : 0);
    o.u16(audio ? 0x0100 : 0);
    o.u16(0);
    matrix(o);
    o.u32(width << 16);
    o.u32(height << 16);
    o.close(b);
}

void mdhd(Out &o, uint32_t creation, uint32_t modification, uint32_t timescale) {
    size_t b = o.full("mdhd", 0, 0);
    o.u32(creation);
    o.u32(modification);
    o.u32(timescale);
    o.u32(0);
    o.u16(0x55C4);  // "und"
    o.u16(0);
    o.close(b);
}

void hdlr(Out &o, const char *handler, const char *name) {
    size_t b = o.full("hdlr", 0, 0);
    o.u32(0);
    o.tag(handler);
    o.zeros(12);
    o.bytes(name, std::strlen(name) + 1);
    o.close(b);
}

void dinf(Out &o) {
    size_t b = o.open("dinf");
    size_t d = o.full("dref", 0, 0);
    o.u32(1);
    size_t u = o.full("url ", 0, 1);
    o.close(u);
    o.close(d);
    o.close(b);
}

void empty_tables(Out &o) {
    for (const char *type : {"stts", "stsc", "stsz", "stco"}) {
        size_t b = o.full(type, 0, 0);
        if (type[3] == 'z') o.u32(0);  // sample_size
        o.u32(0);
        o.close(b);
    }
}

void mvex(Out &o) {
    size_t b = o.open("mvex");
    size_t t = o.full("trex", 0, 0);
    o.u32(1);
    o.u32(1);
    o.zeros(12);
    o.close(t);
    o.close(b);
}

void ftyp(Out &o, uint32_t minor, bool avc) {
    size_t b = o.open("ftyp");
    o.tag("isom");
    o.u32(minor);
    o.tag("isom");
    o.tag("iso2");
    if (avc) o.tag("avc1");
    o.tag("iso6");
    o.tag("mp41");
    o.close(b);
}

// Open boxes of an init segment, from "moov" down to "stbl".
struct InitBoxes {
    size_t moov, trak, mdia, minf, stbl;
};

// ftyp, then moov down to an open stbl whose sample description comes next.
InitBoxes init_head(Out &o, bool audio, uint32_t width, uint32_t height) {
    InitBoxes b;
    ftyp(o, audio ? 512 : 1, !audio);
    b.moov = o.open("moov");
    mvhd(o, audio ? 1000 : 90000);
    b.trak = o.open("trak");
    tkhd(o, audio, width, height);
    b.mdia = o.open("mdia");
    if (audio) {
        mdhd(o, 0, 0, 48000);
        hdlr(o, "soun", "SoundHandler");
    } else {
        mdhd(o, 2, 3, 90000);
        hdlr(o, "vide", "zarvek");
    }
    b.minf = o.open("minf");
    size_t media = audio ? o.full("smhd", 0, 0) : o.full("vmhd", 0, 1);
    o.zeros(audio ? 4 : 8);
    o.close(media);
    dinf(o);
    b.stbl = o.open("stbl");
    return b;
}

// After the sample description: the empty tables, then "mvex"; moov stays open.
void init_tail(Out &o, const InitBoxes &b) {
    empty_tables(o);
    o.close(b.stbl);
    o.close(b.minf);
    o.close(b.mdia);
    o.close(b.trak);
    mvex(o);
}

// moof with its mfhd and an open traf; the caller writes tfhd.
void fragment_head(Out &o, uint32_t sequence, size_t *moof, size_t *traf) {
    *moof = o.open("moof");
    size_t mfhd = o.full("mfhd", 0, 0);
    o.u32(sequence);
    o.close(mfhd);
    *traf = o.open("traf");
}

void tfdt(Out &o, uint64_t decode_time) {
    size_t b = o.full("tfdt", 1, 0);
    o.u64(decode_time);
    o.close(b);
}

// An "stsd" with one entry of the given type, both left open.
size_t sample_entry(Out &o, const char *type, size_t *stsd) {
    *stsd = o.full("stsd", 0, 0);
    o.u32(1);
    size_t entry = o.open(type);
    o.zeros(6);
    o.u16(1);  // data_reference_index
    return entry;
}

template <typename State>
State *state_get(State **state, size_t buffer_size) {
    if (!*state) {
        auto *s = static_cast<State *>(VKO_Alloc(1, sizeof(State)));
        s->buffer = static_cast<uint8_t *>(VKO_Alloc(1, buffer_size));
        *state = s;
    }
    return *state;
}

template <typename State>
void state_free(State **state) {
    if (!state || !*state) return;
    VKO_Free((*state)->buffer);
    VKO_Free(*state);
    *state = nullptr;
}

int32_t fail(const char *where, int32_t line, int32_t code) {
    log_message(LOG_LEVEL_INFO, "* %s[%d] = %d", where, line, code);
    return code;
}

// Calls emit(start, length) for each slice unit (H.264 types 1 and 5) of the
// frame, start code left out.
template <typename F>
void for_each_slice(const uint8_t *frame, size_t size, F emit) {
    size_t base = 0;
    while (base < size) {
        H26xNal nal{H26X_CODEC_H264, 0, H26X_CLASS_PICTURE, 0, 0, 0};
        if (h26x_find_nal(frame + base, size - base, &nal) != 0) return;
        size_t start = base + nal.offset + nal.start_len;
        emit(frame + start, static_cast<size_t>(nal.length) - nal.start_len);
        base += nal.offset + static_cast<size_t>(nal.length);
    }
}

}  // namespace

int32_t mp4_stsd(uint8_t *out, const uint8_t *extradata, size_t size, uint32_t width, uint32_t height,
                 uint32_t *extra_len) {
    H26xNal vps, sps, pps;
    int32_t r = h26x_extradata(extradata, size, &vps, &sps, &pps);
    if (r != 0) return fail("mp4_stsd", __LINE__, r);
    const uint8_t *sps_bytes = extradata + sps.offset + sps.start_len;
    const uint8_t *pps_bytes = extradata + pps.offset + pps.start_len;
    uint32_t sps_len = static_cast<uint32_t>(sps.length) - sps.start_len;
    uint32_t pps_len = static_cast<uint32_t>(pps.length) - pps.start_len;
    // The profile and level bytes follow the SPS header; both lengths are u16 in "avcC".
    if (sps_len < 4 || sps_len > 0xFFFF || pps_len > 0xFFFF)
        return fail("mp4_stsd", __LINE__, H26X_ERR_NOT_FOUND);

    Out o{out, 0};
    size_t stsd, avc1 = sample_entry(o, "avc1", &stsd);
    o.zeros(16);
    o.u16(width);
    o.u16(height);
    o.u32(0x00480000);
    o.u32(0x00480000);
    o.zeros(4);
    o.u16(1);  // frame_count
    static constexpr char kCompressor[] = "videojs-contrib-hls";
    o.u8(sizeof kCompressor - 1);
    o.bytes(kCompressor, sizeof kCompressor - 1);
    o.zeros(32 - sizeof kCompressor);
    o.u16(0x0018);
    o.u16(0xFFFF);
    size_t avcc = o.open("avcC");
    o.u8(1);
    o.bytes(sps_bytes + 1, 3);  // profile, compatibility, level
    o.u8(0xFF);                 // 4-byte lengths
    o.u8(0xE1);                 // one SPS
    o.u16(sps_len);
    o.bytes(sps_bytes, sps_len);
    o.u8(1);
    o.u16(pps_len);
    o.bytes(pps_bytes, pps_len);
    o.close(avcc);
    size_t btrt = o.open("btrt");
    o.u32(1875072);
    o.u32(3000000);
    o.u32(3000000);
    o.close(btrt);
    o.close(avc1);
    o.close(stsd);
    *extra_len = sps_len + pps_len;
    return static_cast<int32_t>(o.n);
}

int32_t mp4_init_segment(uint8_t *buffer, const uint8_t *frame, size_t size, uint32_t width,
                         uint32_t height) {
    Out o{buffer, 0};
    InitBoxes boxes = init_head(o, false, width, height);
    uint32_t extra = 0;
    int32_t r = mp4_stsd(buffer + o.n, frame, size, width, height, &extra);
    if (r < 0) return fail("mp4_init_segment", __LINE__, r);
    o.n += static_cast<size_t>(r);
    init_tail(o, boxes);
    o.close(boxes.moov);
    return static_cast<int32_t>(o.n);
}

size_t mp4_video_payload_size(const uint8_t *frame, size_t size) {
    size_t total = 0;
    for_each_slice(frame, size, [&](const uint8_t *, size_t len) { total += 4 + len; });
    return total;
}

int32_t mp4_video_fragment(uint8_t *buffer, uint32_t offset, uint32_t sequence, uint64_t decode_time,
                           const uint8_t *frame, size_t size, bool key) {
    Out o{buffer, offset};
    uint32_t payload = static_cast<uint32_t>(mp4_video_payload_size(frame, size));
    size_t moof, traf;
    fragment_head(o, sequence, &moof, &traf);
    size_t tfhd = o.full("tfhd", 0, 0x00003A);
    o.u32(1);  // track_ID
    o.u32(1);  // sample_description_index
    o.zeros(12);
    o.close(tfhd);
    tfdt(o, decode_time);
    size_t trun = o.full("trun", 0, 0x000F01);
    o.u32(1);
    o.u32(MP4_VIDEO_FRAGMENT_BOXES);  // data_offset from the start of "moof"
    o.u32(0);
    o.u32(payload);
    o.u32(key ? 0x02000000 : 0x01010000);
    o.u32(0);  // composition offset: presentation time = decode time
    o.close(trun);
    o.close(traf);
    o.close(moof);
    o.u32(8 + payload);
    o.tag("mdat");
    for_each_slice(frame, size, [&](const uint8_t *unit, size_t len) {
        o.u32(static_cast<uint32_t>(len));
        o.bytes(unit, len);
    });
    return static_cast<int32_t>(o.n);
}

int32_t mp4_write_video(Mp4VideoState **state, const uint8_t *frame, size_t size, uint32_t width,
                        uint32_t height) {
    return mp4_write_video_at(state, frame, size, width, height, VKO_GetTime());
}

int32_t mp4_write_video_at(Mp4VideoState **state, const uint8_t *frame, size_t size, uint32_t width,
                           uint32_t height, int64_t now) {
    Mp4VideoState *s = state_get(state, MP4_VIDEO_BUFFER);
    if (size > MP4_VIDEO_BUFFER) return fail("mp4_write_video", __LINE__, MP4_ERR_TOO_LARGE);
    H26xNal first{H26X_CODEC_H264, 0, H26X_CLASS_ANY, 0, 0, -1};
    int32_t r = h26x_find_nal(frame, size, &first);
    if (r != 0) return fail("mp4_write_video", __LINE__, r);
    size_t payload = mp4_video_payload_size(frame, size);
    bool key = first.type == H264_NAL_SPS;
    uint32_t offset = 0;
    if (key) {
        // SPS and PPS of at most 64 KiB each: the init segment stays far below the buffer.
        r = mp4_init_segment(s->buffer, frame, size, width, height);
        if (r < 0) return fail("mp4_write_video", __LINE__, r);
        offset = static_cast<uint32_t>(r);
    }
    if (offset + MP4_VIDEO_FRAGMENT_BOXES + payload > MP4_VIDEO_BUFFER)
        return fail("mp4_write_video", __LINE__, MP4_ERR_TOO_LARGE);
    if (key) {
        s->decode_time = 0;
        s->last_time = 0;
    }
    if (s->last_time != 0) {
        double elapsed = VKO_TimeDiff(s->last_time, now);
        if (elapsed < 1.0) elapsed = 1.0;
        if (elapsed > 20.0) elapsed = 16.6667;
        s->decode_time += static_cast<uint64_t>(90000.0 / (1000.0 / elapsed));
    }
    s->last_time = now;
    return mp4_video_fragment(s->buffer, offset, s->sequence++, s->decode_time, frame, size, key);
}

void mp4_video_destroy(Mp4VideoState **state) {
    state_free(state);
}

int32_t mp4_audio_init_segment(uint8_t *buffer) {
    Out o{buffer, 0};
    InitBoxes boxes = init_head(o, true, 0, 0);
    size_t stsd, opus = sample_entry(o, "Opus", &stsd);
    o.zeros(8);
    o.u16(2);   // channelcount
    o.u16(16);  // samplesize
    o.u16(0);
    o.u16(0);
    o.u32(48000u << 16);
    size_t dops = o.open("dOps");
    o.u8(0);   // Version
    o.u8(2);   // OutputChannelCount
    o.u16(0);  // PreSkip
    o.u32(48000);
    o.u16(0);  // OutputGain
    o.u8(0);   // ChannelMappingFamily
    o.close(dops);
    o.close(opus);
    o.close(stsd);
    init_tail(o, boxes);
    size_t udta = o.open("udta");
    size_t meta = o.full("meta", 0, 0);
    size_t mhdl = o.full("hdlr", 0, 0);
    o.u32(0);
    o.tag("mdir");
    o.tag("appl");
    o.zeros(8);
    o.u8(0);  // empty name
    o.close(mhdl);
    size_t ilst = o.open("ilst");
    size_t too = o.open("\xA9too");
    size_t data = o.open("data");
    o.u32(1);  // text
    o.u32(0);  // locale
    o.bytes("Lavf58.27.103", 13);
    o.close(data);
    o.close(too);
    o.close(ilst);
    o.close(meta);
    o.close(udta);
    o.close(boxes.moov);
    return static_cast<int32_t>(o.n);
}

int32_t mp4_audio_fragment(uint8_t *buffer, uint32_t offset, uint32_t sequence, uint64_t decode_time,
                           const uint8_t *packet, size_t size, uint32_t duration) {
    Out o{buffer, offset};
    size_t moof, traf;
    fragment_head(o, sequence, &moof, &traf);
    size_t tfhd = o.full("tfhd", 0, 0x000038);
    o.u32(1);
    o.u32(duration);
    o.u32(static_cast<uint32_t>(size));
    o.u32(0x02000000);
    o.close(tfhd);
    tfdt(o, decode_time);
    size_t trun = o.full("trun", 0, 0x000001);
    o.u32(1);
    o.u32(MP4_AUDIO_FRAGMENT_BOXES);
    o.close(trun);
    o.close(traf);
    o.close(moof);
    o.u32(static_cast<uint32_t>(8 + size));
    o.tag("mdat");
    if (size) o.bytes(packet, size);
    return static_cast<int32_t>(o.n);
}

int32_t mp4_write_audio(Mp4AudioState **state, const uint8_t *packet, size_t size, uint32_t duration) {
    if (!*state) state_get(state, MP4_AUDIO_BUFFER)->init_pending = true;
    Mp4AudioState *s = *state;
    if (size > MP4_AUDIO_BUFFER - MP4_AUDIO_INIT_SIZE - MP4_AUDIO_FRAGMENT_BOXES)
        return fail("mp4_write_audio", __LINE__, MP4_ERR_TOO_LARGE);
    uint32_t offset = 0;
    if (s->init_pending) {
        offset = static_cast<uint32_t>(mp4_audio_init_segment(s->buffer));
        s->init_pending = false;
    }
    s->decode_time += duration;
    return mp4_audio_fragment(s->buffer, offset, s->sequence++, s->decode_time, packet, size, duration);
}

void mp4_audio_destroy(Mp4AudioState **state) {
    state_free(state);
}
