// Media and cursor delivery: encoded frames and audio packets to every guest
// with the per-guest pacing (application pause, dormancy of saturated guests,
// latency and timing reports), cursor shape and position, gamepad feedback.
#include <cmath>
#include <cstring>

#include "host/host.h"
#include "platform/image.h"
#include "platform/log.h"
#include "platform/map.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "util/logger.h"

namespace {

constexpr uint32_t kVideoPrefix = 10;
constexpr uint32_t kCursorWire = 34;

void put16be(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void put32be(uint8_t *p, uint32_t v) {
    put16be(p, static_cast<uint16_t>(v >> 16));
    put16be(p + 2, static_cast<uint16_t>(v));
}
void put32le(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t float_bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

uint8_t transport_stream(uint32_t stream) {
    return static_cast<uint8_t>(stream == 0 ? 1 : stream + 2);
}

// May the foreground application be shown to this guest?
bool visible_to(HostContext *ctx, const Guest *g) {
    uint32_t cls = ctx->foreground_class.load();
    return cls == 1 || (cls == 2 && g->info.owner);
}

void end_on_error(Guest *g, int32_t r) {
    if (r != 0 && r != 2000) {
        int32_t expected = 0;
        g->reason.compare_exchange_strong(expected, r);
    }
}

// Message 34: its first field says video (0) or audio (1), not the payload
// length, so it goes out as the cursor message does.
int32_t send_timing(TransportRecord *conn, uint32_t kind, uint32_t stream, const uint8_t *payload,
                    uint32_t length) {
    uint8_t header[PROTO_HEADER_SIZE];
    proto_write_header(header, ControlHeader{kind, stream, 0, MSG_TIMING});
    VKO_MutexLock(conn->send_lock);
    int32_t r = conn->send(conn->ctx, 0, header, PROTO_HEADER_SIZE, payload, length, 0);
    conn->streams[0].messages++;
    conn->streams[0].bits += 8 * length;
    VKO_MutexUnlock(conn->send_lock);
    return r;
}

void go_dormant(Guest *g, uint32_t stream) {
    if (g->dormant[stream]) return;
    g->dormant[stream] = 1;
    log_message(LOG_LEVEL_INFO, "Client '%s#%u' went dormant", g->info.name, g->info.userID);
}

}  // namespace

int32_t proto_video_write(HostContext *ctx, const uint8_t *data, uint32_t size, uint32_t *fast_rts,
                          uint32_t *slow_rts, uint32_t *cg_events, float *bitrate, uint32_t *largest,
                          uint32_t width, uint32_t height, uint32_t frame, float latency_ms,
                          uint32_t generation, uint32_t stream, uint8_t announce, uint32_t rotation,
                          uint8_t ten_bit, const VideoTiming *timing) {
    if (stream >= 3) return 0;
    if (size > *largest) *largest = size;
    uint8_t ts = transport_stream(stream);
    uint8_t prefix[kVideoPrefix];
    put32le(prefix, generation);
    prefix[4] = static_cast<uint8_t>(width);
    prefix[5] = static_cast<uint8_t>(width >> 8);
    prefix[6] = static_cast<uint8_t>(height);
    prefix[7] = static_cast<uint8_t>(height >> 8);
    prefix[8] = 1;
    prefix[9] = static_cast<uint8_t>((rotation & 7) | (ten_bit ? 8 : 0));

    VKO_MutexLock(ctx->stream_locks[0]);
    for (VKO_ListNode *n = VKO_ListGetFirst(ctx->guests); n; n = n->next) {
        auto *g = static_cast<Guest *>(n->value);
        TransportRecord *conn = g->conn;
        g->info.video[stream].encodeLatency = latency_ms;
        if (g->reason.load() || g->paused.load() || !g->streams[stream].wants_video.load()) continue;
        if (announce)
            end_on_error(g, proto_send_header(conn, ControlHeader{stream, generation, 0, MSG_NEW_ENCODER}));
        bool back = false;
        if (g->dormant[stream]) {
            if (proto_stream_saturated(conn, ts, *largest)) continue;
            back = true;
        }
        // A guest that may not see the application gets no frame, only the
        // reports (the pause notice itself carries no picture).
        bool send_frame = !back;
        if (!visible_to(ctx, g)) {
            if (!g->host_paused) {
                g->host_paused = 1;
                end_on_error(g, proto_send_header(conn, ControlHeader{1, 0, 0, MSG_APP_PAUSE}));
            }
            send_frame = false;
        } else if (g->host_paused) {
            g->host_paused = 0;
            end_on_error(g, proto_send_header(conn, ControlHeader{0, 0, 0, MSG_APP_PAUSE}));
            if (ctx->streams[stream].encoder_running.load()) ctx->streams[stream].restart_request.store(1);
            send_frame = false;
        }
        if (send_frame) {
            if (proto_stream_saturated(conn, ts, size)) {
                go_dormant(g, stream);
                continue;
            }
            const uint8_t *payload = data;
            uint32_t length = size;
            bool ok = true;
            if (g->client_config.video_container == static_cast<int32_t>(PROTO_CONTAINER_MP4)) {
                int32_t m = mp4_write_video(&g->container[stream], data, size, width, height);
                if (m < 0) {
                    log_message(LOG_LEVEL_INFO, "* %s[%d] = %d", "proto_video_write", 268, m);
                    ok = false;
                } else {
                    payload = g->container[stream]->buffer;
                    length = static_cast<uint32_t>(m);
                }
            }
            if (ok) {
                conn->streams[ts].messages++;
                conn->streams[ts].bits += 8 * length;
                int32_t r = conn->send(conn->ctx, ts, prefix, kVideoPrefix, payload, length, 0);
                host_get_guest_metrics(conn, ts, 0, &g->info.video[stream]);
                const StreamMetrics &m = g->info.video[stream];
                *fast_rts += m.fastRTs;
                *slow_rts += m.slowRTs;
                *cg_events += m.cgEvents;
                *bitrate += m.bitrate;
                if (r == 2000) {
                    go_dormant(g, stream);
                    continue;
                }
                if (r != 0) {
                    end_on_error(g, r);
                    continue;
                }
            }
        }
        if (frame % 30 == 0) {
            auto lat = static_cast<uint32_t>(std::lround(latency_ms * 1000.0f));
            end_on_error(g, proto_send_header(conn, ControlHeader{1, lat, stream, MSG_LATENCY}));
        }
        if (timing) {
            uint8_t t[16];
            put32be(t, float_bits(timing->pass));
            put32be(t + 4, float_bits(timing->poll));
            put32be(t + 8, float_bits(timing->capture));
            put32be(t + 12, float_bits(timing->interval));
            end_on_error(g, send_timing(conn, 0, stream, t, sizeof t));
        }
        if (back) {
            if (ctx->streams[stream].encoder_running.load()) ctx->streams[stream].restart_request.store(1);
            g->dormant[stream] = 0;
            log_message(LOG_LEVEL_INFO, "Client '%s#%u' came back", g->info.name, g->info.userID);
        }
    }
    if (stream == 0 && frame % 120 == 0) host_send_guest_list(ctx);
    VKO_MutexUnlock(ctx->stream_locks[0]);
    return 0;
}

void host_send_audio(void *opaque, const uint8_t *opus, uint32_t opus_size, const int16_t *raw,
                     uint32_t raw_size, uint32_t samples, uint32_t packet, float latency_ms,
                     const HostAudioTiming *timing) {
    auto *ctx = static_cast<HostContext *>(opaque);
    VKO_MutexLock(ctx->stream_locks[1]);
    for (VKO_ListNode *n = VKO_ListGetFirst(ctx->guests); n; n = n->next) {
        auto *g = static_cast<Guest *>(n->value);
        TransportRecord *conn = g->conn;
        g->info.audio.encodeLatency = latency_ms;
        if (g->reason.load() || g->no_audio.load() || !visible_to(ctx, g)) continue;
        bool use_raw = g->client_config.raw_audio && raw && raw_size;
        if (!use_raw && !opus_size) continue;
        int32_t r = use_raw ? proto_audio_write(conn, raw, raw_size,
                                                static_cast<uint32_t>(g->client_config.video_container),
                                                PROTO_CODEC_PCM, samples)
                            : proto_audio_write(conn, opus, opus_size,
                                                static_cast<uint32_t>(g->client_config.video_container),
                                                PROTO_CODEC_OPUS, samples);
        host_get_guest_metrics(conn, 2, 0, &g->info.audio);
        end_on_error(g, r);
        if (packet % 100 == 0) {
            auto lat = static_cast<uint32_t>(std::lround(latency_ms * 1000.0f));
            end_on_error(g, proto_send_header(conn, ControlHeader{2, lat, 0, MSG_LATENCY}));
        }
        if (ctx->timing_audio.load() && timing) {
            uint8_t t[12];
            put32be(t, float_bits(timing->since_poll));
            put32be(t + 4, float_bits(timing->encode));
            put32be(t + 8, float_bits(timing->interval));
            end_on_error(g, send_timing(conn, 1, 0, t, sizeof t));
        }
    }
    VKO_MutexUnlock(ctx->stream_locks[1]);
}

void host_cursor_update(HostContext *ctx, uint32_t stream, const HostCursorInput *in) {
    VKO_MutexLock(ctx->stream_locks[0]);
    const int32_t *out = ctx->streams[stream].output;
    bool inside = in->x >= out[0] && in->y >= out[1] && in->x < out[2] && in->y < out[3];
    if (inside) {
        uint16_t &f = ctx->cursor_flags;
        if (in->changed) {
            bool hidden = (in->flags & 0x200) != 0;
            if (hidden != ((f & 0x200) != 0)) f ^= 0x208;
            if (in->rgba) {
                size_t png_size = 0;
                void *png = VKO_CompressImage(VKO_IMAGE_PNG, in->rgba, in->width, in->height, &png_size);
                if (png && png_size < HOST_CURSOR_BUFFER + 1) {
                    std::memcpy(ctx->cursor_image, png, png_size);
                    ctx->cursor.size = static_cast<uint32_t>(png_size);
                    f |= 0x2;
                    ctx->cursor.width = in->width;
                    ctx->cursor.height = in->height;
                    ctx->cursor.hot_x = in->hot_x;
                    ctx->cursor.hot_y = in->hot_y;
                    f = static_cast<uint16_t>((f & ~0x400) | (in->flags & 0x400));
                    ctx->cursor_crc = VKO_CRC32(0, png, png_size);
                }
                VKO_Free(png);
            }
        }
        ctx->cursor.x = static_cast<uint16_t>(in->x - out[0]);
        ctx->cursor.y = static_cast<uint16_t>(in->y - out[1]);
        ctx->cursor_stream = stream;
        bool wanted = (f & 0x400) || in->hidden;
        if (((f & 0x100) != 0) != wanted) {
            f = static_cast<uint16_t>((f & ~0x1) ^ 0x104);
            if ((f & 0x4) && !(f & 0x100)) f |= 0x1;
        }
        f = static_cast<uint16_t>(in->suppressed ? f | 0x800 : f & ~0x800);
        ctx->relative_mouse.store((f & 0x100) != 0);
        if (f & 0xFF) {
            int64_t now = VKO_GetTime();
            if (f != ctx->cursor_last_flags) {
                ctx->cursor_last_flags = f;
                ctx->cursor_flags_time = now;
            }
            if (VKO_TimeDiff(ctx->cursor_flags_time, now) > 18.0) {
                host_send_cursor(ctx, &ctx->cursor, f, (f & 0x2) ? ctx->cursor_image : nullptr, stream,
                                 ctx->cursor_crc);
                f &= 0xFF00;
                ctx->cursor_last_flags = 0;
            }
        } else {
            ctx->cursor_last_flags = 0;
        }
    }
    VKO_MutexUnlock(ctx->stream_locks[0]);
}

void host_send_cursor(HostContext *ctx, const HostCursor *cur, uint16_t flags, const uint8_t *image,
                      uint32_t stream, uint32_t hash) {
    VKO_MutexLock(ctx->stream_locks[0]);
    uint8_t full[kCursorWire] = {}, cached[kCursorWire] = {};
    proto_write_header(full, ControlHeader{0, 0, stream, MSG_CURSOR});
    uint32_t size = image ? cur->size : 0;
    put32be(full + 16, size);
    put16be(full + 20, cur->width);
    put16be(full + 22, cur->height);
    put16be(full + 24, cur->x);
    put16be(full + 26, cur->y);
    put16be(full + 28, cur->hot_x);
    put16be(full + 30, cur->hot_y);
    proto_write_header(
        cached, ControlHeader{static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(cur->hot_x))),
                              static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(cur->hot_y))),
                              stream, MSG_CURSOR});
    put16be(cached + 24, cur->x);
    put16be(cached + 26, cur->y);
    put16be(cached + 28, static_cast<uint16_t>(hash));
    put16be(cached + 30, static_cast<uint16_t>(hash >> 16));
    put16be(cached + 32, static_cast<uint16_t>((flags & ~0x2) | 0x10));
    for (VKO_ListNode *n = VKO_ListGetFirst(ctx->guests); n; n = n->next) {
        auto *g = static_cast<Guest *>(n->value);
        if (!g->info.mouse || g->reason.load()) continue;
        uint16_t f = flags;
        const uint8_t *wire = full;
        if (g->cache_cursor && image && size > 0) {
            if (VKO_HashGetInt(g->cursor_cache, hash)) {
                wire = cached;
            } else {
                if (g->cursor_count + 1 > 100 || g->cache_reset) {
                    g->cache_reset = 0;
                    g->cursor_count = 0;
                    VKO_HashDestroy(&g->cursor_cache, nullptr);
                    g->cursor_cache = VKO_HashCreate(100);
                    f |= 0x20;
                }
                g->cursor_count++;
                VKO_HashSetInt(g->cursor_cache, hash, reinterpret_cast<void *>(uintptr_t{1}));
            }
        }
        uint8_t header[kCursorWire];
        std::memcpy(header, wire, kCursorWire);
        if (wire == full) put16be(header + 32, f);
        bool with_image = wire == full && size > 0;
        VKO_MutexLock(g->conn->send_lock);
        // The header's first field is the cursor's own a, not a payload length.
        int32_t r = with_image ? g->conn->send(g->conn->ctx, 0, header, kCursorWire, image, size, 0)
                               : g->conn->send(g->conn->ctx, 0, nullptr, 0, header, kCursorWire, 0);
        g->conn->streams[0].messages++;
        g->conn->streams[0].bits += 8 * (with_image ? size : 0);
        VKO_MutexUnlock(g->conn->send_lock);
        host_get_guest_metrics(g->conn, 0, 0, &g->info.control);
        end_on_error(g, r);
    }
    VKO_MutexUnlock(ctx->stream_locks[0]);
}

void host_gamepad_feedback_send(const uint8_t *header, uint32_t guest_id, void *opaque) {
    auto *ctx = static_cast<HostContext *>(opaque);
    bool sent = false;
    VKO_MutexLock(ctx->stream_locks[2]);
    for (VKO_ListNode *n = VKO_ListGetFirst(ctx->guests); n; n = n->next) {
        auto *g = static_cast<Guest *>(n->value);
        if (g->info.id != guest_id || g->reason.load()) continue;
        end_on_error(g, proto_send_header(g->conn, proto_read_header(header)));
        sent = true;
    }
    VKO_MutexUnlock(ctx->stream_locks[2]);
    // The control metrics are written under lock 0 (by the message thread and
    // the cursor), which comes before lock 2: refreshed after the send.
    if (!sent) return;
    VKO_MutexLock(ctx->stream_locks[0]);
    for (VKO_ListNode *n = VKO_ListGetFirst(ctx->guests); n; n = n->next) {
        auto *g = static_cast<Guest *>(n->value);
        if (g->info.id == guest_id) host_get_guest_metrics(g->conn, 0, 0, &g->info.control);
    }
    VKO_MutexUnlock(ctx->stream_locks[0]);
}

void host_apply_audio_config(HostContext *ctx, HostAudioSettings *live) {
    VKO_MutexLock(ctx->stream_locks[1]);
    ctx->config.audio_cancel = ctx->pending.audio_cancel;
    if (std::strcmp(ctx->config.audio_id, ctx->pending.audio_id) != 0)
        std::memcpy(ctx->config.audio_id, ctx->pending.audio_id, sizeof ctx->config.audio_id);
    if (std::strcmp(ctx->config.echo_app, ctx->pending.echo_app) != 0)
        std::memcpy(ctx->config.echo_app, ctx->pending.echo_app, sizeof ctx->config.echo_app);
    live->audio_cancel = ctx->config.audio_cancel;
    std::memcpy(live->audio_id, ctx->config.audio_id, sizeof live->audio_id);
    std::memcpy(live->echo_app, ctx->config.echo_app, sizeof live->echo_app);
    live->bitrate = ctx->config.audio_bitrate;
    live->poll_rate = ctx->config.audio_poll_rate;
    VKO_MutexUnlock(ctx->stream_locks[1]);
}
