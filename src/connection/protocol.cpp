#include "connection/protocol.h"

#include <cstring>

#include "connection/bud.h"
#include "connection/mp4.h"
#include "platform/json.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "util/config_records.h"
#include "util/logger.h"

namespace {

void put32be(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint32_t get32be(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void put32le(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// One control send under the link's send lock, counted on stream 0.
int32_t send_control(TransportRecord *conn, const uint8_t header[PROTO_HEADER_SIZE], const void *payload,
                     uint32_t length) {
    VKO_MutexLock(conn->send_lock);
    int32_t r;
    TransportStreamCounters &c = conn->streams[0];
    if (length > 0) {
        r = conn->send(conn->ctx, 0, header, PROTO_HEADER_SIZE, payload, length, 0);
        c.bits += 8 * length;
    } else {
        r = conn->send(conn->ctx, 0, nullptr, 0, header, PROTO_HEADER_SIZE, 0);
        c.bits += 8 * PROTO_HEADER_SIZE;
    }
    c.messages++;
    VKO_MutexUnlock(conn->send_lock);
    return r;
}

bool get_u32(const VKO_JSON *obj, const char *key, uint32_t *out) {
    int32_t v = 0;
    if (!VKO_JSONToInt(VKO_JSONObjGetItem(obj, key), &v)) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

// Flags travel as JSON booleans; a number is read as its truth value.
bool get_flag(const VKO_JSON *obj, const char *key, uint8_t *out) {
    const VKO_JSON *item = VKO_JSONObjGetItem(obj, key);
    bool b = false;
    int32_t v = 0;
    if (VKO_JSONToBool(item, &b)) {
        *out = b;
    } else if (VKO_JSONToInt(item, &v)) {
        *out = v != 0;
    } else {
        return false;
    }
    return true;
}

void set_int(VKO_JSON *obj, const char *key, uint32_t v) {
    VKO_JSONObjSetItem(obj, key, VKO_JSONIntCreate(static_cast<int32_t>(v)));
}

void set_real(VKO_JSON *obj, const char *key, float v) {
    VKO_JSONObjSetItem(obj, key, VKO_JSONNumberCreate(v));
}

VKO_JSON *perms_to_json(const GuestInfo &g) {
    VKO_JSON *p = VKO_JSONObjCreate();
    VKO_JSONObjSetItem(p, "gamepad", VKO_JSONBoolCreate(g.gamepad));
    VKO_JSONObjSetItem(p, "keyboard", VKO_JSONBoolCreate(g.keyboard));
    VKO_JSONObjSetItem(p, "mouse", VKO_JSONBoolCreate(g.mouse));
    return p;
}

bool guest_from_json(const VKO_JSON *o, GuestInfo *g) {
    uint32_t version = 0;
    if (!get_u32(o, "_version", &version) || !get_u32(o, "id", &g->id) || !get_u32(o, "userID", &g->userID))
        return false;
    if (!VKO_JSONToString(VKO_JSONObjGetItem(o, "name"), g->name, sizeof g->name)) return false;
    if (!get_flag(o, "owner", &g->owner)) return false;
    const VKO_JSON *perms = VKO_JSONObjGetItem(o, "perms");
    if (!get_flag(perms, "gamepad", &g->gamepad) || !get_flag(perms, "keyboard", &g->keyboard) ||
        !get_flag(perms, "mouse", &g->mouse))
        return false;
    const VKO_JSON *audio = VKO_JSONObjGetItem(o, "audio");
    if (audio && !proto_metrics_from_json(audio, &g->audio)) return false;
    const VKO_JSON *control = VKO_JSONObjGetItem(o, "control");
    if (control && !proto_metrics_from_json(control, &g->control)) return false;
    const VKO_JSON *metrics = VKO_JSONObjGetItem(o, "metrics");
    if (!metrics) return false;
    if (version == 1) return proto_metrics_from_json(metrics, &g->video[0]);
    if (metrics->type != VKO_JSON_TYPE_ARRAY) return false;
    uint32_t n = VKO_JSONGetLength(metrics);
    for (uint32_t i = 0; i < n && i < 3; i++)
        if (!proto_metrics_from_json(VKO_JSONArrayGetItem(metrics, i), &g->video[i])) return false;
    return true;
}

}  // namespace

void proto_write_header(uint8_t out[PROTO_HEADER_SIZE], ControlHeader h) {
    put32be(out, h.field0);
    put32be(out + 4, h.field1);
    put32be(out + 8, h.field2);
    out[12] = h.type;
}

ControlHeader proto_read_header(const uint8_t *m) {
    return ControlHeader{get32be(m), get32be(m + 4), get32be(m + 8), m[12]};
}

int32_t proto_send_message(TransportRecord *conn, uint8_t type, uint32_t field1, uint32_t field2,
                           const void *payload, uint32_t length) {
    if (type == MSG_USER_DATA && length > PROTO_USER_DATA_MAX) return PROTO_ERR_TOO_LONG;
    uint8_t header[PROTO_HEADER_SIZE];
    proto_write_header(header, ControlHeader{length, field1, field2, type});
    return send_control(conn, header, payload, length);
}

int32_t proto_send_header(TransportRecord *conn, ControlHeader h) {
    uint8_t header[PROTO_HEADER_SIZE];
    proto_write_header(header, h);
    return send_control(conn, header, nullptr, 0);
}

int32_t proto_send_disconnect(TransportRecord *conn, uint32_t reason) {
    return proto_send_header(conn, ControlHeader{reason, 0, 0, MSG_DISCONNECT});
}

int32_t proto_send_flags(TransportRecord *conn, bool flag0, bool flag1) {
    return proto_send_header(conn,
                             ControlHeader{(flag0 ? 1u : 0u) | (flag1 ? 2u : 0u), 0, 0, MSG_CLIENT_FLAGS});
}

uint32_t proto_parse_message(const uint8_t *message, uint32_t length, void *payload, uint32_t capacity) {
    if (!message || length < PROTO_HEADER_SIZE) return 0;
    uint32_t n = get32be(message);
    if (n > capacity || n > length - PROTO_HEADER_SIZE) return 0;
    if (n) std::memcpy(payload, message + PROTO_HEADER_SIZE, n);
    return PROTO_HEADER_SIZE + n;
}

GamepadState proto_parse_gamepad_state(GamepadState *out, const uint8_t *m, uint32_t length) {
    GamepadState s{};
    if (m && length == PROTO_GAMEPAD_SIZE) {
        s.id = get32be(m);
        s.buttons = static_cast<uint16_t>(m[16] << 8 | m[17]);
        s.lx = static_cast<int16_t>(m[18] << 8 | m[19]);
        s.ly = static_cast<int16_t>(m[20] << 8 | m[21]);
        s.rx = static_cast<int16_t>(m[22] << 8 | m[23]);
        s.ry = static_cast<int16_t>(m[24] << 8 | m[25]);
        s.lt = m[26];
        s.rt = m[27];
    }
    if (out) *out = s;
    return s;
}

void proto_client_config_defaults(ClientConfig *cfg) {
    std::memset(cfg, 0, sizeof *cfg);
    for (ClientStreamSettings &s : cfg->stream) {
        s.decoder_index = 1;
        s.decoder_h265 = 1;
    }
    cfg->protocol = 1;
    cfg->audio_poll_rate = 10;
}

char *proto_client_config_to_json(const ClientConfig *cfg, uint32_t stream, uint32_t max_w, uint32_t max_h,
                                  uint32_t flags) {
    const ClientStreamSettings &s = cfg->stream[stream < 3 ? stream : 0];
    VKO_JSON *o = VKO_JSONObjCreate();
    set_int(o, "_version", 1);
    set_int(o, "_max_w", max_w);
    set_int(o, "_max_h", max_h);
    set_int(o, "_flags", flags);
    set_int(o, "resolutionX", static_cast<uint32_t>(s.resolution_x));
    set_int(o, "resolutionY", static_cast<uint32_t>(s.resolution_y));
    set_int(o, "mediaContainer", static_cast<uint32_t>(cfg->video_container));
    set_int(o, "refreshRate", 60);
    VKO_JSONObjSetItem(o, "rawAudio", VKO_JSONBoolCreate(cfg->raw_audio != 0));
    VKO_JSONObjSetItem(o, "_cache_cursor", VKO_JSONBoolCreate(true));
    char *text = VKO_JSONSerialize(o);
    VKO_JSONDestroy(&o);
    return text;
}

uint32_t proto_parse_client_config(const uint8_t *message, uint32_t length, ClientConfig *cfg,
                                   uint32_t *max_w, uint32_t *max_h, uint32_t *flags, uint8_t *cache_cursor) {
    char text[PROTO_CONFIG_BUFFER];
    uint32_t consumed = proto_parse_message(message, length, text, sizeof text - 1);
    text[consumed ? consumed - PROTO_HEADER_SIZE : 0] = '\0';
    proto_client_config_defaults(cfg);
    VKO_JSON *o = VKO_JSONParse(text);
    uint32_t version = 0;
    bool ok = get_u32(o, "_version", &version) && get_u32(o, "_max_w", max_w) &&
              get_u32(o, "_max_h", max_h) && get_u32(o, "_flags", flags);
    if (ok) {
        int32_t v = 0;
        VKO_JSONToInt(VKO_JSONObjGetItem(o, "resolutionX"), &v);
        cfg->stream[0].resolution_x = v;
        VKO_JSONToInt(VKO_JSONObjGetItem(o, "resolutionY"), &v);
        cfg->stream[0].resolution_y = v;
        VKO_JSONToInt(VKO_JSONObjGetItem(o, "mediaContainer"), &v);
        cfg->video_container = v;
        bool b = false;
        VKO_JSONToBool(VKO_JSONObjGetItem(o, "rawAudio"), &b);
        cfg->raw_audio = b;
        b = false;
        VKO_JSONToBool(VKO_JSONObjGetItem(o, "_cache_cursor"), &b);
        *cache_cursor = b;
    }
    VKO_JSONDestroy(&o);
    return ok ? consumed : 0;
}

VKO_JSON *proto_metrics_to_json(const StreamMetrics *m) {
    VKO_JSON *o = VKO_JSONObjCreate();
    set_int(o, "packetsSent", m->packetsSent);
    set_int(o, "fastRTs", m->fastRTs);
    set_int(o, "slowRTs", m->slowRTs);
    set_int(o, "cgEvents", m->cgEvents);
    set_real(o, "encodeLatency", m->encodeLatency);
    set_real(o, "decodeLatency", m->decodeLatency);
    set_real(o, "networkLatency", m->networkLatency);
    set_real(o, "bitrate", m->bitrate);
    return o;
}

bool proto_metrics_from_json(const VKO_JSON *o, StreamMetrics *out) {
    StreamMetrics m{};
    bool ok = o && o->type == VKO_JSON_TYPE_OBJECT && get_u32(o, "packetsSent", &m.packetsSent) &&
              get_u32(o, "fastRTs", &m.fastRTs) && get_u32(o, "slowRTs", &m.slowRTs) &&
              VKO_JSONToFloat(VKO_JSONObjGetItem(o, "encodeLatency"), &m.encodeLatency) &&
              VKO_JSONToFloat(VKO_JSONObjGetItem(o, "decodeLatency"), &m.decodeLatency) &&
              VKO_JSONToFloat(VKO_JSONObjGetItem(o, "networkLatency"), &m.networkLatency) &&
              VKO_JSONToFloat(VKO_JSONObjGetItem(o, "bitrate"), &m.bitrate);
    if (!ok) return false;
    get_u32(o, "cgEvents", &m.cgEvents);
    m.queued = out->queued;
    *out = m;
    return true;
}

char *proto_guest_to_json(const GuestInfo *guests, uint32_t count) {
    VKO_JSON *list = VKO_JSONArrayCreate(count);
    for (uint32_t i = 0; i < count; i++) {
        const GuestInfo &g = guests[i];
        VKO_JSON *o = VKO_JSONObjCreate();
        set_int(o, "_version", 2);
        set_int(o, "id", g.id);
        set_int(o, "userID", g.userID);
        char name[sizeof g.name];
        std::memcpy(name, g.name, sizeof name);
        name[sizeof name - 1] = '\0';
        VKO_JSONObjSetItem(o, "name", VKO_JSONStringCreate(name));
        VKO_JSONObjSetItem(o, "externalID", VKO_JSONStringCreate(""));
        VKO_JSONObjSetItem(o, "owner", VKO_JSONBoolCreate(g.owner != 0));
        VKO_JSONObjSetItem(o, "perms", perms_to_json(g));
        VKO_JSONObjSetItem(o, "audio", proto_metrics_to_json(&g.audio));
        VKO_JSONObjSetItem(o, "control", proto_metrics_to_json(&g.control));
        VKO_JSON *metrics = VKO_JSONArrayCreate(3);
        for (uint32_t s = 0; s < 3; s++) VKO_JSONArraySetItem(metrics, s, proto_metrics_to_json(&g.video[s]));
        VKO_JSONObjSetItem(o, "metrics", metrics);
        VKO_JSONArraySetItem(list, i, o);
    }
    char *text = VKO_JSONSerialize(list);
    VKO_JSONDestroy(&list);
    return text;
}

uint32_t proto_guests_from_json(const char *text, GuestInfo **out) {
    *out = nullptr;
    VKO_JSON *list = VKO_JSONParse(text);
    uint32_t n = list && list->type == VKO_JSON_TYPE_ARRAY ? VKO_JSONGetLength(list) : 0;
    GuestInfo *guests = n ? static_cast<GuestInfo *>(VKO_Alloc(n, sizeof(GuestInfo))) : nullptr;
    for (uint32_t i = 0; i < n; i++) {
        const VKO_JSON *o = VKO_JSONArrayGetItem(list, i);
        if (!o || o->type != VKO_JSON_TYPE_OBJECT || !guest_from_json(o, &guests[i])) {
            VKO_Free(guests);
            guests = nullptr;
            n = 0;
        }
    }
    VKO_JSONDestroy(&list);
    *out = guests;
    return n;
}

int32_t proto_audio_write(TransportRecord *conn, const void *data, uint32_t length, uint32_t container,
                          uint8_t codec, uint32_t samples) {
    TransportStreamCounters &c = conn->streams[2];
    if (container != PROTO_CONTAINER_MP4) {
        uint8_t prefix[PROTO_AUDIO_PREFIX_SIZE];
        put32le(prefix, 0);
        put32le(prefix + 4, samples);
        put32le(prefix + 8, 48000);
        prefix[12] = codec;
        prefix[13] = 2;
        prefix[14] = 2;
        c.messages++;
        c.bits += 8 * length;
        return conn->send(conn->ctx, 2, prefix, PROTO_AUDIO_PREFIX_SIZE, data, length, 0);
    }
    auto *state = static_cast<Mp4AudioState *>(conn->audio_container);
    int32_t n = mp4_write_audio(&state, static_cast<const uint8_t *>(data), length, samples);
    conn->audio_container = state;
    if (n < 0) {
        log_message(LOG_LEVEL_INFO, "* %s[%d] = %d", "proto_audio_write", __LINE__, n);
        return n;
    }
    c.messages++;
    c.bits += 8 * static_cast<uint32_t>(n);
    return conn->send(conn->ctx, 2, nullptr, 0, state->buffer, static_cast<uint32_t>(n), 0);
}

namespace {

float stream_mbps(TransportStreamCounters &c) {
    if (c.messages < 61) return c.mbit_per_s;
    uint64_t now = static_cast<uint64_t>(VKO_GetTime());
    double ms = VKO_TimeDiff(static_cast<int64_t>(c.sample_time), static_cast<int64_t>(now));
    if (ms <= 0.0) return c.mbit_per_s;
    c.mbit_per_s = static_cast<float>(c.bits / 1000000.0 / (ms / 1000.0));
    c.sample_time = now;
    c.bits = 0;
    c.messages = 0;
    return c.mbit_per_s;
}

}  // namespace

float proto_stream_mbps(TransportRecord *conn, uint8_t stream) {
    if (stream >= TRANSPORT_STREAMS) return 0.0f;
    // The control stream's counters are every control sender's: under send_lock
    // (recursive, so a caller may already hold it).
    bool lock = stream == 0 && conn->send_lock;
    if (lock) VKO_MutexLock(conn->send_lock);
    float v = stream_mbps(conn->streams[stream]);
    if (lock) VKO_MutexUnlock(conn->send_lock);
    return v;
}

int32_t proto_stream_queued(TransportRecord *conn, uint8_t stream) {
    if (conn->kind != TRANSPORT_BUD || stream >= TRANSPORT_STREAMS) return 0;
    return static_cast<int32_t>(bud_stream_queued(static_cast<BUD *>(conn->ctx), stream));
}

bool proto_stream_saturated(TransportRecord *conn, uint8_t stream, uint64_t frame_bytes) {
    BudStreamStats st{};
    if (conn->kind != TRANSPORT_BUD || !bud_stream_stats(static_cast<BUD *>(conn->ctx), stream, &st))
        return false;
    uint64_t limit = st.ceiling < 20.0f ? 1500 : st.ceiling < 30.0f ? 2500 : 4000;
    return frame_bytes / BUD_FRAGMENT_SIZE + st.in_flight > limit;
}

void proto_stream_metrics(TransportRecord *conn, uint8_t stream, uint8_t full, StreamMetrics *out) {
    StreamMetrics m{};
    BudStreamStats st{};
    if (conn && conn->kind == TRANSPORT_BUD && bud_stream_stats(static_cast<BUD *>(conn->ctx), stream, &st)) {
        BudLinkStats ls{};
        bud_link_stats(static_cast<BUD *>(conn->ctx), &ls);
        m.packetsSent = st.packets_sent;
        m.fastRTs = st.fast_retransmissions;
        m.slowRTs = st.slow_retransmissions;
        m.cgEvents = st.congestion_events;
        m.networkLatency = static_cast<float>(ls.rtt_us) / 1000.0f;
        m.bitrate = proto_stream_mbps(conn, stream);
        if (!full && stream == 0) m.queued = static_cast<uint32_t>(proto_stream_queued(conn, 0));
    }
    *out = m;
}

TransportRecord *proto_create(uint32_t kind, void *ctx, TransportRecvFn recv, TransportSendFn send,
                              TransportCloseFn close) {
    auto *conn = new TransportRecord{};
    conn->kind = kind;
    conn->ctx = ctx;
    conn->recv = recv;
    conn->send = send;
    conn->close = close;
    conn->send_lock = VKO_MutexCreate();
    uint64_t now = static_cast<uint64_t>(VKO_GetTime());
    for (TransportStreamCounters &c : conn->streams) c.sample_time = now;
    return conn;
}

void proto_destroy(TransportRecord **pconn) {
    if (!pconn || !*pconn) return;
    TransportRecord *conn = *pconn;
    auto *video = static_cast<Mp4VideoState *>(conn->video_container);
    auto *audio = static_cast<Mp4AudioState *>(conn->audio_container);
    mp4_video_destroy(&video);
    mp4_audio_destroy(&audio);
    conn->video_container = conn->audio_container = nullptr;
    if (conn->kind == TRANSPORT_BUD && conn->ctx) {
        BUD *link = static_cast<BUD *>(conn->ctx);
        int64_t start = VKO_GetTime();
        for (;;) {
            BudLinkStats ls{};
            bud_link_stats(link, &ls);
            bool settled = ls.acks_up_to_date != 0;
            for (uint8_t s = 0; s < BUD_STREAMS && settled; s++) {
                BudStreamStats st{};
                bud_stream_stats(link, s, &st);
                settled = st.next == st.acknowledged;
            }
            if (settled || ls.state != 0 || ls.ms_since_received >= 5000.0 ||
                VKO_TimeDiff(start, VKO_GetTime()) >= 5000.0)
                break;
            VKO_Sleep(50);
        }
    }
    if (conn->close) conn->close(conn->ctx);
    VKO_MutexDestroy(&conn->send_lock);
    delete conn;
    *pconn = nullptr;
}
