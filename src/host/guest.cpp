// Guests: accepting a connection, the guest's message thread, joining and
// leaving the session, the guest list and stream-end notices.
#include <ctime>
#include <cstring>

#include "compat/pointer/pointer.h"
#include "connection/bud.h"
#include "host/capture.h"
#include "host/host.h"
#include "host/input.h"
#include "host/input_x11.h"
#include "platform/log.h"
#include "platform/map.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "util/logger.h"

namespace {

struct MsgArg {
    HostContext *ctx;
    Guest *guest;
};

uint64_t unix_now() {
    return static_cast<uint64_t>(std::time(nullptr));
}

void raise_restart(HostStream &s) {
    if (s.encoder_running.load()) s.restart_request.store(1);
}

void free_guest(Guest *g) {
    VKO_HashDestroy(&g->cursor_cache, nullptr);
    for (Mp4VideoState *&m : g->container) mp4_video_destroy(&m);
    delete g;
}

void refresh_control_metrics(HostContext *ctx, Guest *g) {
    VKO_MutexLock(ctx->stream_locks[0]);
    host_get_guest_metrics(g->conn, 0, 0, &g->info.control);
    VKO_MutexUnlock(ctx->stream_locks[0]);
}

// Input routing: arbitration, the stream the message is about, whether the
// guest may see (and so drive) what is shown; then injection.
void route_input(HostContext *ctx, Guest *g, ControlHeader h, const uint8_t *raw, uint32_t length) {
    if (!g->input) return;
    uint8_t type = h.type;
    // The application changes the permissions under the stream locks: work
    // on a copy of what input needs of the guest's record.
    GuestInfo who{};
    VKO_MutexLock(ctx->stream_locks[0]);
    int32_t exclusive_timeout = ctx->config.exclusive_timeout;
    uint32_t tablet_owner = ctx->tablet_owner;
    bool whitelist = ctx->config.require_whitelist;
    who.id = g->info.id;
    who.userID = g->info.userID;
    who.owner = g->info.owner;
    who.gamepad = g->info.gamepad;
    who.keyboard = g->info.keyboard;
    who.mouse = g->info.mouse;
    VKO_MutexUnlock(ctx->stream_locks[0]);
    if ((type == 1 || type == 2 || type == 3 || type == 26) && who.mouse) {
        MouseControl *mc = host_mouse_control();
        if (mc && !host_mouse_arbitrate(mc, &who, exclusive_timeout)) return;
    }
    if (type == MSG_TABLET_REPORT && who.owner && who.id != tablet_owner) return;
    uint32_t stream = 0;
    if (type == 26) {
        stream = (h.field0 >> 1) & 7;
        uint32_t b = h.field1;
        h = ControlHeader{
            h.field0 & 1, static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(b & 0xFFFF))),
            static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(b >> 16))), MSG_MOUSE_MOTION};
    } else if (type == MSG_PEN) {
        stream = h.field2 >> 24;
    } else if (type == MSG_TABLET_REPORT) {
        stream = (h.field1 >> 8) & 0xFF;
    }
    if (stream >= 3) return;
    // A click goes to the window under the pointer, which need not be the focused one.
    uint32_t cls = whitelist && (type == MSG_MOUSE_BUTTON || type == MSG_MOUSE_WHEEL)
                       ? host_app_class(&ctx->whitelist, host_window_under_cursor(&ctx->whitelist))
                       : ctx->foreground_class.load();
    uint8_t allowed = cls == 1 || (cls == 2 && who.owner);
    int32_t output[4];
    VKO_MutexLock(ctx->stream_locks[0]);
    std::memcpy(output, ctx->streams[stream].output, sizeof output);
    VKO_MutexUnlock(ctx->stream_locks[0]);
    host_input_dispatch(g->input, ctx->relative_mouse.load(), output, ctx->gamepads, ctx->vusb, &h, raw,
                        length, &who, allowed);
}

}  // namespace

void *host_msg_thread(void *opaque) {
    MsgArg arg = *static_cast<MsgArg *>(opaque);
    VKO_Free(opaque);
    HostContext *ctx = arg.ctx;
    Guest *g = arg.guest;
    int64_t start = VKO_GetTime();
    // A guest may legally send a header plus the largest user-data text.
    auto *buf = static_cast<uint8_t *>(VKO_Alloc(PROTO_RECV_BUFFER, 1));
    InputState input;
    input_state_init(&input);
    g->input = &input;
    const double join_timeout = host_times()->join_timeout_ms;
    while (g->reason.load() == 0 && !ctx->stop.load()) {
        g->switch_desktop.store(0);  // one X session: nothing to attach to
        // On the clock: a guest that keeps talking without joining still goes.
        if (!g->joined && VKO_TimeDiff(start, VKO_GetTime()) > join_timeout) {
            int32_t expected = 0;
            g->reason.compare_exchange_strong(expected, HOST_ERR_JOIN_TIMEOUT);
            break;
        }
        uint32_t len = 0;
        int32_t r = g->conn->recv(g->conn->ctx, 0, buf, PROTO_RECV_BUFFER, &len, 100);
        if (r == 2000) continue;
        if (r != 0) {
            int32_t expected = 0;
            g->reason.compare_exchange_strong(expected, r);
            continue;
        }
        VKO_MutexLock(g->conn->send_lock);
        g->conn->streams[0].messages++;
        g->conn->streams[0].bits += 8 * len;
        VKO_MutexUnlock(g->conn->send_lock);
        refresh_control_metrics(ctx, g);
        if (len >= PROTO_HEADER_SIZE) {
            ControlHeader h = proto_read_header(buf);
            host_handle_message(ctx, g, &h, buf, len);
        }
    }

    if (input.pen_device) {
        if (const PointerApi *api = pointer_api()) api->destroy_device(input.pen_device);
        input.pen_device = nullptr;
    }
    input_release_keys(&input);
    input_release_buttons(&input);
    if (input.num_lock != static_cast<uint32_t>(xinput_num_lock())) input_tap_key(69);
    if (input.caps_lock != static_cast<uint32_t>(xinput_caps_lock())) input_tap_key(58);
    if (ctx->gamepads) {
        VKO_MutexLock(ctx->gamepads->mutex);
        controller_release_guest(ctx->gamepads, g->info.id);
        VKO_MutexUnlock(ctx->gamepads->mutex);
    }
    host_guest_leave(ctx, g);
    int32_t reason = g->reason.load();
    host_lock_streams(ctx);  // the media threads write the metrics of the record
    g->info.state = 8;
    GuestInfo info = g->info;
    host_unlock_streams(ctx);
    if (ctx->callbacks.guest_state)
        ctx->callbacks.guest_state(&info, ctx->guest_count.load(), reason, g->times[0], ctx->opaque);
    if (reason == 0) reason = HOST_REASON_STOPPING;
    if (reason < 0 && reason != HOST_ERR_GUEST_LEFT)
        log_message(LOG_LEVEL_INFO, "* %s[%d] = %d", "host_msg_thread_cleanup", 2501, reason);
    if (reason != HOST_ERR_GUEST_LEFT) proto_send_disconnect(g->conn, static_cast<uint32_t>(reason));
    if (MouseControl *mc = host_mouse_control()) {
        host_mouse_release(mc, g->info.id);  // the others need not wait for the time-out
        host_mouse_hook_wake(mc);
    }
    proto_destroy(&g->conn);
    int32_t slot = g->slot;
    free_guest(g);
    VKO_Free(buf);
    VKO_MutexLock(ctx->slot_lock);
    ctx->msg_state[slot] = 2;
    VKO_MutexUnlock(ctx->slot_lock);
    return nullptr;
}

void host_on_accept(const GuestInfo *peer, TransportRecord *conn, void *opaque) {
    auto *ctx = static_cast<HostContext *>(opaque);
    auto *g = new Guest();
    g->info = *peer;
    uint64_t now = unix_now();
    for (uint64_t &t : g->times) t = now;
    g->paused.store(1);
    int32_t slot = -1;
    VKO_MutexLock(ctx->slot_lock);
    for (uint32_t i = 0; i < HOST_MAX_GUESTS; i++) {
        if (ctx->msg_state[i] != 2) continue;
        VKO_ThreadDestroy(&ctx->msg_threads[i]);
        ctx->msg_state[i] = 0;
    }
    for (uint32_t i = 0; i < HOST_MAX_GUESTS && slot < 0 && !ctx->stop.load(); i++)
        if (ctx->msg_state[i] == 0) {
            ctx->msg_state[i] = 1;
            slot = static_cast<int32_t>(i);
        }
    VKO_MutexUnlock(ctx->slot_lock);
    g->cursor_cache = VKO_HashCreate(100);
    g->conn = conn;
    session_take_console(1);
    g->slot = slot;
    if (slot < 0) {
        log_message(LOG_LEVEL_INFO, "Could not allocate new msg thread!");
        proto_destroy(&g->conn);
        free_guest(g);
        return;
    }
    auto *arg = static_cast<MsgArg *>(VKO_Alloc(1, sizeof(MsgArg)));
    *arg = MsgArg{ctx, g};
    VKO_Thread *t = VKO_ThreadCreate(host_msg_thread, arg);
    VKO_MutexLock(ctx->slot_lock);
    ctx->msg_threads[slot] = t;
    VKO_MutexUnlock(ctx->slot_lock);
}

uint32_t host_busy_slots(HostContext *ctx) {
    uint32_t n = 0;
    VKO_MutexLock(ctx->slot_lock);
    for (uint32_t s : ctx->msg_state) n += s == 1 ? 1 : 0;
    VKO_MutexUnlock(ctx->slot_lock);
    return n;
}

int32_t host_handle_message(HostContext *ctx, Guest *g, const ControlHeader *h, const uint8_t *raw,
                            uint32_t length) {
    uint32_t a = h->field0, b = h->field1, c = h->field2;
    uint64_t now = unix_now();
    // Until it joined, a guest may only join or leave: no input, no settings.
    if (!g->joined && h->type != MSG_CLIENT_CONFIG && h->type != MSG_DISCONNECT) return 0;
    switch (h->type) {
        case 0:
            g->times[1] = now;
            route_input(ctx, g, *h, raw, length);
            break;
        case 1:
        case 2:
            g->times[2] = now;
            route_input(ctx, g, *h, raw, length);
            break;
        case 4:
            g->times[3] = now;
            route_input(ctx, g, *h, raw, length);
            break;
        case 23:
            if (length == PROTO_GAMEPAD_SIZE && (raw[16] | raw[17])) g->times[3] = now;
            route_input(ctx, g, *h, raw, length);
            break;
        case 30:
            if (c & 2) g->times[4] = now;
            route_input(ctx, g, *h, raw, length);
            break;
        case 3:
        case 5:
        case 6:
        case 26:
        case 31:
        case 32:
            route_input(ctx, g, *h, raw, length);
            break;
        case MSG_RELEASE_INPUT:
            if (!g->input) break;
            input_release_keys(g->input);
            input_release_buttons(g->input);
            break;
        case MSG_DISCONNECT:
            g->reason.store(HOST_ERR_GUEST_LEFT);
            break;
        case MSG_CLIENT_CONFIG: {
            ClientConfig cfg;
            uint32_t max_w = 0, max_h = 0, flags = 0;
            uint8_t cache_cursor = 0;
            if (!proto_parse_client_config(raw, length, &cfg, &max_w, &max_h, &flags, &cache_cursor)) break;
            host_lock_streams(ctx);
            bool repeat = g->joined;
            g->client_config = cfg;
            g->max_w = max_w;
            g->max_h = max_h;
            g->flags = flags;
            g->cache_cursor = cache_cursor;
            host_unlock_streams(ctx);
            int32_t r = host_guest_join(ctx, g, max_w, max_h, flags);
            if (r != 0) {
                g->reason.store(r);
                return r;
            }
            g->paused.store(0);
            if (repeat) break;
            host_lock_streams(ctx);
            g->info.state = 4;
            GuestInfo info = g->info;
            host_unlock_streams(ctx);
            if (ctx->callbacks.guest_state)
                ctx->callbacks.guest_state(&info, ctx->guest_count.load(), 0, g->times[0], ctx->opaque);
            break;
        }
        case MSG_CAPS: {
            if (a >= 3) break;
            host_lock_streams(ctx);
            g->streams[a].caps = b;
            bool changed = host_stream_caps_update(ctx, a, 0);
            if (changed || g->paused.load() || c) raise_restart(ctx->streams[a]);
            g->paused.store(0);
            host_unlock_streams(ctx);
            break;
        }
        case MSG_USER_DATA: {
            if (a > PROTO_USER_DATA_MAX) break;
            auto *text = static_cast<char *>(VKO_Alloc(a + 1, 1));
            if (!proto_parse_message(raw, length, text, a) || !ctx->callbacks.user_data) {
                VKO_Free(text);
                break;
            }
            host_lock_streams(ctx);
            GuestInfo info = g->info;
            host_unlock_streams(ctx);
            ctx->callbacks.user_data(&info, b, text, ctx->opaque);
            break;
        }
        case MSG_PAUSE:
            g->paused.store(1);
            break;
        case MSG_LATENCY:
            host_lock_streams(ctx);
            if (b == 1 && c < 3) g->info.video[c].decodeLatency = static_cast<float>(a) / 1000.0f;
            if (b == 2) g->info.audio.decodeLatency = static_cast<float>(a) / 1000.0f;
            host_unlock_streams(ctx);
            break;
        case MSG_PAUSE_RESUME:
            if (a != 0) {
                g->paused.store(1);
            } else if (g->paused.load()) {
                g->paused.store(0);
                for (uint32_t i = 0; i < 3; i++)
                    if (g->streams[i].wants_video.load()) raise_restart(ctx->streams[i]);
            }
            g->no_audio.store(b != 0);
            break;
        case MSG_WANTS_VIDEO:
            if (a >= 3) break;
            host_lock_streams(ctx);
            g->streams[a].wants_video.store(b != 0);
            host_count_video_guests(ctx);
            host_unlock_streams(ctx);
            break;
        case MSG_CLIENT_FLAGS:
            ctx->timing_video.store(a & 1);
            ctx->timing_audio.store((a >> 1) & 1);
            ctx->audio.timing_audio.store((a >> 1) & 1);
            break;
        case MSG_DISPLAY_SIZE:
            if (a >= 3) break;
            VKO_MutexLock(ctx->stream_locks[0]);
            ctx->streams[a].client_width = b;
            ctx->streams[a].client_height = c;
            ctx->streams[a].display_dirty.store(1);
            VKO_MutexUnlock(ctx->stream_locks[0]);
            break;
        default:
            break;
    }
    return 0;
}

int32_t host_guest_join(HostContext *ctx, Guest *g, uint32_t max_width, uint32_t max_height, uint32_t caps) {
    host_lock_streams(ctx);
    // A repeated configuration (one per video stream) updates the guest only:
    // it is neither counted again nor checked against the session size.
    if (!g->joined && ctx->guest_count.load() >= static_cast<uint32_t>(ctx->pending.max_clients)) {
        host_unlock_streams(ctx);
        return HOST_REASON_FULL;
    }
    bool first_join = !g->joined;
    if (first_join) {
        g->streams[0].wants_video.store(1);
        g->joined = 1;
        g->switch_desktop.store(1);
        g->streams[0].caps = caps;
        VKO_ListAppend(ctx->guests, g);
        host_stream_caps_update(ctx, 0, 0);
        for (uint32_t i = 0; i < 3; i++)
            if (g->streams[i].wants_video.load()) raise_restart(ctx->streams[i]);
        if (ctx->guest_count.load() == 0) host_first_guest(ctx, g, max_width, max_height);
    }
    if (g->info.owner) {
        ctx->guest_width = static_cast<uint32_t>(g->client_config.stream[0].resolution_x);
        ctx->guest_height = static_cast<uint32_t>(g->client_config.stream[0].resolution_y);
        if (ctx->tablet_owner == 0) ctx->tablet_owner = g->info.id;
        if (ctx->vusb) {
            std::lock_guard<std::mutex> lock(ctx->vusb->devices);
            ctx->vusb->tablet_mode = static_cast<uint32_t>(ctx->pending.virtual_tablet);
            ctx->vusb->microphone_mode = static_cast<uint32_t>(ctx->pending.virtual_microphone);
        }
    }
    if (first_join) {
        host_count_video_guests(ctx);
        ctx->guest_count.fetch_add(1);
        proto_send_header(g->conn, ControlHeader{ctx->mode, 0, 0, MSG_JOINED});
        host_send_guest_list(ctx);
        g->cache_reset = 1;
    }
    host_unlock_streams(ctx);
    return 0;
}

void host_guest_leave(HostContext *ctx, Guest *g) {
    host_lock_streams(ctx);
    const HostConfig &c = ctx->config;
    if ((c.protective_mode || c.privacy_mode) && g->info.owner) {
        bool other_owner = false;
        for (VKO_ListNode *n = VKO_ListGetFirst(ctx->guests); n; n = n->next) {
            auto *o = static_cast<Guest *>(n->value);
            other_owner = other_owner || (o != g && o->info.owner);
        }
        if (!other_owner)
            for (VKO_ListNode *n = VKO_ListGetFirst(ctx->guests); n; n = n->next) {
                auto *o = static_cast<Guest *>(n->value);
                if (o != g) o->reason.store(HOST_REASON_OWNER_LEFT);
            }
    }
    VKO_ListNode *node = VKO_ListGetFirst(ctx->guests);
    while (node && node->value != g) node = node->next;
    if (node) {
        if (ctx->guest_count.fetch_sub(1) == 1) host_last_guest(ctx);
        if (ctx->tablet_owner == g->info.id) ctx->tablet_owner = 0;
        VKO_ListRemove(ctx->guests, node);
        host_count_video_guests(ctx);
        bool remain = VKO_ListGetFirst(ctx->guests) != nullptr;
        for (uint32_t i = 0; i < 3; i++)
            if (host_stream_caps_update(ctx, i, 0) && remain) raise_restart(ctx->streams[i]);
    }
    host_send_guest_list(ctx);
    host_unlock_streams(ctx);
}

int32_t host_set_guest_reason(HostContext *ctx, uint32_t guest_id, int32_t reason, bool take_locks) {
    if (take_locks) host_lock_streams(ctx);
    int32_t r = HOST_ERR_NO_GUEST;
    for (VKO_ListNode *n = VKO_ListGetFirst(ctx->guests); n; n = n->next) {
        auto *g = static_cast<Guest *>(n->value);
        if (g->info.id != guest_id) continue;
        g->reason.store(reason);
        r = 0;
    }
    if (take_locks) host_unlock_streams(ctx);
    return r;
}

void host_stream_end(HostContext *ctx, uint32_t stream, int32_t code) {
    host_lock_streams(ctx);
    for (VKO_ListNode *n = VKO_ListGetFirst(ctx->guests); n; n = n->next) {
        auto *g = static_cast<Guest *>(n->value);
        g->streams[stream].wants_video.store(0);
        if (stream == 0)
            g->reason.store(code);
        else
            proto_send_header(g->conn,
                              ControlHeader{stream, 0, static_cast<uint32_t>(code), MSG_WANTS_VIDEO});
    }
    ctx->streams[stream].video_guests.store(0);
    host_unlock_streams(ctx);
}

void host_get_guest_metrics(TransportRecord *conn, uint8_t stream, uint8_t full, StreamMetrics *out) {
    StreamMetrics keep = *out;
    // The stream's rate counters are shared with its senders.
    VKO_MutexLock(conn->send_lock);
    proto_stream_metrics(conn, stream, full, out);
    VKO_MutexUnlock(conn->send_lock);
    out->encodeLatency = keep.encodeLatency;
    out->decodeLatency = keep.decodeLatency;
}

void host_send_guest_list(HostContext *ctx) {
    host_lock_streams(ctx);
    uint32_t n = 0;
    for (VKO_ListNode *node = VKO_ListGetFirst(ctx->guests); node; node = node->next) n++;
    auto *infos = static_cast<GuestInfo *>(VKO_Alloc(n ? n : 1, sizeof(GuestInfo)));
    uint32_t i = 0;
    for (VKO_ListNode *node = VKO_ListGetFirst(ctx->guests); node; node = node->next)
        infos[i++] = static_cast<Guest *>(node->value)->info;
    char *text = proto_guest_to_json(infos, n);
    uint32_t size = static_cast<uint32_t>(std::strlen(text)) + 1;
    for (VKO_ListNode *node = VKO_ListGetFirst(ctx->guests); node; node = node->next) {
        auto *g = static_cast<Guest *>(node->value);
        int32_t r = proto_send_message(g->conn, MSG_GUEST_LIST, g->info.id, 0, text, size);
        if (r != 0 && r != 2000) g->reason.store(r);
        host_get_guest_metrics(g->conn, 0, 0, &g->info.control);
    }
    VKO_Free(text);
    VKO_Free(infos);
    host_unlock_streams(ctx);
}
