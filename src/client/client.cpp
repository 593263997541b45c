#include "client/client.h"

#include <cstring>
#include <mutex>

#include "connection/bud.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "platform/thread.h"

namespace {

constexpr uint32_t kRecvTimeoutMs = 100;
constexpr uint32_t kVideoPrefix = 10;  // generation, width, height (u16 LE each), flags
constexpr double kMetricsEveryMs = 100;
constexpr uint8_t kVideoStreams[3] = {1, 3, 4};
constexpr uint32_t kMediaBufferStart = 1 << 20;
// The largest message BUD carries: a media buffer never grows past it.
constexpr uint32_t kMediaBufferMax = BUD_MAX_MESSAGE;

std::mutex g_sink_mutex;
ClientMediaSink g_sink = nullptr;
void *g_sink_opaque = nullptr;

uint16_t be16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t be32(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Message 9: header, 3 unused bytes, then size, width, height, x, y, hot spot
// and flags, then the image.
void on_cursor_message(ClientContext *c, const uint8_t *m, uint32_t len) {
    constexpr uint32_t kWire = 34;
    if (len < kWire || !c->callbacks.on_cursor) return;
    ClientCursor cur{};
    cur.size = be32(m + 16);
    cur.width = be16(m + 20);
    cur.height = be16(m + 22);
    cur.x = be16(m + 24);
    cur.y = be16(m + 26);
    cur.hot_x = be16(m + 28);
    cur.hot_y = be16(m + 30);
    cur.flags = be16(m + 32);
    cur.relative = (cur.flags & 0x100) != 0;
    cur.hidden = (cur.flags & 0x200) != 0;
    cur.cache_reset = (cur.flags & 0x20) != 0;
    cur.cached = (cur.flags & 0x10) != 0;
    const uint8_t *image = nullptr;
    if ((cur.flags & 0x12) && cur.size > 0) {
        if (cur.size > len - kWire) return;  // announces more than arrived
        cur.image = 1;
        image = m + kWire;
    } else {
        cur.size = 0;
    }
    c->callbacks.on_cursor(&cur, image, c->opaque);
}

}  // namespace

void client_handle_message(ClientContext *c, const uint8_t *m, uint32_t len) {
    if (len < PROTO_HEADER_SIZE) return;
    ControlHeader h = proto_read_header(m);
    const ClientCallbacks &cb = c->callbacks;
    const uint8_t *payload = m + PROTO_HEADER_SIZE;
    uint32_t avail = len - PROTO_HEADER_SIZE;
    switch (h.type) {
        case 9:
            on_cursor_message(c, m, len);
            break;
        case MSG_DISCONNECT:
            c->end_code.store(static_cast<int32_t>(h.field0));
            c->host_ended.store(true);
            if (cb.on_end) cb.on_end(static_cast<int32_t>(h.field0), c->opaque);
            c->running.store(false);
            break;
        case 16:
            if (cb.on_host_flag) cb.on_host_flag(h.field0 != 0, c->opaque);
            break;
        case MSG_USER_DATA: {
            if (h.field0 > avail || !cb.on_user_data) break;
            char *text = static_cast<char *>(VKO_Alloc(1, h.field0 + 1));
            std::memcpy(text, payload, h.field0);
            cb.on_user_data(h.field1, text, c->opaque);
            break;
        }
        case 20:
            if (cb.on_rumble)
                cb.on_rumble(h.field0, static_cast<uint8_t>(h.field1), static_cast<uint8_t>(h.field2),
                             c->opaque);
            break;
        case MSG_STREAM_STATUS:
            if (cb.on_stream_status) cb.on_stream_status(static_cast<uint8_t>(h.field0), h.field2, c->opaque);
            break;
        case 33:
            if (h.field0 <= avail && cb.on_payload)
                cb.on_payload(h.field1, payload, h.field0, h.field2, c->opaque);
            break;
        default:
            break;
    }
}

namespace {

void *control_thread(void *opaque) {
    auto *c = static_cast<ClientContext *>(opaque);
    auto *buf = static_cast<uint8_t *>(VKO_Alloc(1, PROTO_RECV_BUFFER));
    TransportRecord *t = c->transport;
    while (c->running.load()) {
        uint32_t len = 0;
        int32_t r = t->recv(t->ctx, 0, buf, PROTO_RECV_BUFFER, &len, kRecvTimeoutMs);
        if (r == BUD_TIMEOUT) continue;
        if (r != 0) {
            // A message no legal peer sends; the transport keeps it, so it would come back.
            c->state.store(r);
            break;
        }
        client_handle_message(c, buf, len);
    }
    VKO_Free(buf);
    return nullptr;
}

// The picture size a video message's prefix carries, into the status record.
void note_picture(ClientContext *c, int video, const uint8_t *m, uint32_t len) {
    if (video < 0 || len < kVideoPrefix) return;
    const uint32_t w = m[4] | uint32_t(m[5]) << 8, h = m[6] | uint32_t(m[7]) << 8;
    VKO_MutexLock(c->status_lock);
    c->status.streams[video].width = w;
    c->status.streams[video].height = h;
    VKO_MutexUnlock(c->status_lock);
}

// Keeps a media stream's receive window moving and hands each message on;
// its picture size and metrics go into the status record.
void *media_thread(ClientContext *c, uint8_t stream) {
    uint32_t cap = kMediaBufferStart;
    auto *buf = static_cast<uint8_t *>(VKO_Alloc(1, cap));
    TransportRecord *t = c->transport;
    int video = -1;
    for (int v = 0; v < 3; v++)
        if (kVideoStreams[v] == stream) video = v;
    int64_t refreshed = 0;
    while (c->running.load()) {
        if (!refreshed || VKO_TimeDiff(refreshed, VKO_GetTime()) >= kMetricsEveryMs) {
            client_refresh_metrics(c, stream);
            refreshed = VKO_GetTime();
        }
        uint32_t len = 0;
        int32_t r = t->recv(t->ctx, stream, buf, cap, &len, kRecvTimeoutMs);
        if (r == BUD_ERR_BUFFER && len > cap && len <= kMediaBufferMax) {
            VKO_Free(buf);
            cap = len;
            buf = static_cast<uint8_t *>(VKO_Alloc(1, cap));
            continue;
        }
        if (r == BUD_TIMEOUT) continue;
        if (r != 0) break;
        note_picture(c, video, buf, len);
        std::lock_guard<std::mutex> lock(g_sink_mutex);
        if (g_sink) g_sink(stream, buf, len, g_sink_opaque);
    }
    VKO_Free(buf);
    return nullptr;
}

void *video0_thread(void *o) {
    return media_thread(static_cast<ClientContext *>(o), kVideoStreams[0]);
}
void *video1_thread(void *o) {
    return media_thread(static_cast<ClientContext *>(o), kVideoStreams[1]);
}
void *video2_thread(void *o) {
    return media_thread(static_cast<ClientContext *>(o), kVideoStreams[2]);
}
void *audio_thread(void *o) {
    return media_thread(static_cast<ClientContext *>(o), 2);
}

// No capture device here: the thread only lives as long as the session.
void *microphone_thread(void *o) {
    auto *c = static_cast<ClientContext *>(o);
    while (c->running.load()) VKO_Sleep(kRecvTimeoutMs);
    return nullptr;
}

}  // namespace

void client_set_media_sink(ClientMediaSink sink, void *opaque) {
    std::lock_guard<std::mutex> lock(g_sink_mutex);
    g_sink = sink;
    g_sink_opaque = opaque;
}

int32_t client_create(TransportRecord *transport, const ClientConfig *config,
                      const ClientCallbacks *callbacks, void *opaque, ClientContext **out) {
    *out = nullptr;
    // Each video stream's configuration before anything else, so the host can join the guest.
    for (uint32_t s = 0; s < 3; s++) {
        char *json = proto_client_config_to_json(config, s, 0, 0, 0);
        int32_t r = proto_send_message(transport, MSG_CLIENT_CONFIG, 0, 0, json,
                                       static_cast<uint32_t>(std::strlen(json)));
        VKO_Free(json);
        if (r != 0) return r;
    }
    auto *c = new ClientContext{};
    c->transport = transport;
    c->running.store(true);
    c->config = *config;
    if (callbacks) c->callbacks = *callbacks;
    c->opaque = opaque;
    c->status_lock = VKO_MutexCreate();
    for (uint32_t s = 0; s < 3; s++) c->status.streams[s].decoder_index = config->stream[s].decoder_index;
    c->control = VKO_ThreadCreate(control_thread, c);
    c->audio = VKO_ThreadCreate(audio_thread, c);
    c->microphone = VKO_ThreadCreate(microphone_thread, c);
    c->video[0] = VKO_ThreadCreate(video0_thread, c);
    c->video[1] = VKO_ThreadCreate(video1_thread, c);
    c->video[2] = VKO_ThreadCreate(video2_thread, c);
    *out = c;
    return 0;
}

void client_destroy(ClientContext **session) {
    if (!session || !*session) return;
    ClientContext *c = *session;
    c->running.store(false);
    for (VKO_Thread **t : {&c->video[0], &c->video[1], &c->video[2], &c->control, &c->audio, &c->microphone})
        if (*t) VKO_ThreadDestroy(t);
    VKO_MutexDestroy(&c->status_lock);
    proto_destroy(&c->transport);
    delete c;
    *session = nullptr;
}

void client_get_metrics(TransportRecord *transport, uint8_t stream, uint8_t full, StreamMetrics *out) {
    proto_stream_metrics(transport, stream, full, out);
}

void client_refresh_metrics(ClientContext *session, uint8_t stream) {
    if (!session || stream >= TRANSPORT_STREAMS) return;
    StreamMetrics m;
    proto_stream_metrics(session->transport, stream, 0, &m);
    VKO_MutexLock(session->status_lock);
    session->status.metrics[stream] = m;
    VKO_MutexUnlock(session->status_lock);
}

int32_t client_send_tablet_report(ClientContext *session, uint8_t tablet, uint8_t kind, uint16_t vendor,
                                  uint16_t product, const uint8_t *report) {
    if (!session || !report) return -3;
    uint32_t b = static_cast<uint32_t>(tablet) << 8 | kind;
    uint32_t c = static_cast<uint32_t>(vendor) << 16 | product;
    return proto_send_message(session->transport, MSG_TABLET_REPORT, b, c, report, PROTO_TABLET_REPORT_SIZE);
}

int32_t client_set_flags(uint8_t stored[2], ClientContext *session, bool flag0, bool flag1) {
    if (stored) {
        stored[0] = flag0;
        stored[1] = flag1;
    }
    if (!session) return 0;
    session->client_flags[0] = flag0;
    session->client_flags[1] = flag1;
    return proto_send_flags(session->transport, flag0, flag1);
}
