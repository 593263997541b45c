// Any byte string as an Annex B stream: the fast start-code search agrees with
// a byte-by-byte scan, every match lies inside the buffer, and the parameter
// set, SPS and MP4 paths read nothing outside it (ASan watches an
// exact-size copy).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "connection/mp4.h"
#include "host/h26x.h"

// The reference: the first offset >= from where 00 00 00 01 or 00 00 01 starts,
// with the header byte after it inside the buffer.
static size_t slow_next(const uint8_t *d, size_t size, size_t from, uint8_t *len) {
    for (size_t i = from; i + 3 < size; i++) {
        if (i + 4 < size && d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 0 && d[i + 3] == 1) {
            *len = 4;
            return i;
        }
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
            *len = 3;
            return i;
        }
    }
    return size;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> buf(data, data + size);
    const uint8_t *d = buf.data();

    size_t pos = 0;
    while (true) {
        uint8_t fast_len = 0, slow_len = 0;
        size_t fast = h26x_next_start_code(d, size, pos, &fast_len);
        size_t slow = slow_next(d, size, pos, &slow_len);
        if (fast != slow || (fast < size && fast_len != slow_len)) abort();
        if (fast >= size) break;
        pos = fast + fast_len;
    }

    for (uint8_t codec = 0; codec < 3; codec++) {
        H26xNal nal{codec, 0, static_cast<uint8_t>(size ? d[0] % 3 : 0), 0, 0, 0};
        if (h26x_find_nal(d, size, &nal) == 0) {
            if (nal.offset + nal.start_len >= size) abort();
            if (nal.length < nal.start_len + 1 || nal.offset + static_cast<uint64_t>(nal.length) > size)
                abort();
        }
    }
    H26xNal vps, sps, pps;
    if (h26x_extradata(d, size, &vps, &sps, &pps) == 0 && sps.offset + sps.length > size) abort();
    uint32_t chroma = 0, depth = 0;
    h26x_parse_hevc_sps(d, size, &chroma, &depth);

    static Mp4VideoState *state = nullptr;
    static int64_t now = 1;
    int32_t n = mp4_write_video_at(&state, d, size, 64, 64, now += 16000000);
    if (n > static_cast<int32_t>(MP4_VIDEO_BUFFER)) abort();
    return 0;
}
