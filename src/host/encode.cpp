// The encode thread of one video stream: waits for guests that want the
// stream, chooses an output, captures it, brings up the first encoder that
// accepts the frames (lowering what it asks for when none does), keeps the
// bitrate in line with the guests' congestion control and hands every frame
// to the delivery. All its state is its own; what it shares with the other
// threads is described in host.h.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "connection/bud.h"
#include "host/capture.h"
#include "host/encoder.h"
#include "host/host.h"
#include "platform/log.h"
#include "platform/map.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "util/logger.h"

namespace {

constexpr int32_t kRetry = 1;  // pass result: try again
constexpr int32_t kFrameTooLarge = -13009;
constexpr uint32_t kFeatureBits[4] = {4, 1, 3, 0};  // dropped in this order

struct EncodeState {
    HostContext *ctx;
    uint32_t stream;
    HostStream *hs;
    CaptureRecord *cap;
    uint8_t *cursor;  // capture's cursor buffer
    uint8_t *rgba;    // the cursor image as RGBA
    CaptureFrame frame;
    OutputList list;
    RateParams rp;
    uint8_t feature_allowed[5];  // indexed by capability bit
    uint8_t res_lowered;
    uint8_t capture_started;
    uint8_t encoder_started;
    uint8_t announce;
    uint32_t retries;
    int32_t remembered;
    Encoder *enc;
    uint32_t width, height;                    // of the frames the encoder takes
    uint32_t applied_vbv_max, applied_min_qp;  // what this stream's encoder was built with
    float latency_avg;
    uint32_t frame_no;
    uint32_t period_frames, period_captured_base;
    float period_latency_sum, period_latency_max;
    int64_t period_start, last_encoded;
    uint32_t largest;
    uint32_t fast, slow, cg;
    float sent_rate;
};

// Sleeps ms in steps that watch the context's stop flag.
void nap(HostContext *ctx, uint32_t ms) {
    for (uint32_t t = 0; t < ms && !ctx->stop.load(); t += 20) VKO_Sleep(std::min<uint32_t>(20, ms - t));
}

void stop_capture(EncodeState *s) {
    VKO_MutexLock(s->cap->control);
    if (s->cap->handle) s->cap->api.stop(&s->cap->handle);
    VKO_MutexUnlock(s->cap->control);
    s->capture_started = 0;
}

void build_rates(EncodeState *s) {
    HostContext *ctx = s->ctx;
    VKO_MutexLock(ctx->stream_locks[0]);
    encoder_rate_params_fill(&s->rp, &ctx->config.video[s->stream], &ctx->config);
    s->applied_vbv_max = static_cast<uint32_t>(ctx->config.vbv_max);
    s->applied_min_qp = static_cast<uint32_t>(ctx->config.encoder_min_qp);
    VKO_MutexUnlock(ctx->stream_locks[0]);
    s->rp.bitrate = s->rp.min_bitrate;
}

// Keeps the mode the output had when the session began: the one saved for
// it when the owner joined, else the saved primary mode; with neither (no
// owner), the mode it had when this session first captured it.
void keep_saved_mode(EncodeState *s, const DisplayOutput &o) {
    HostContext *ctx = s->ctx;
    HostStream *hs = s->hs;
    VKO_MutexLock(ctx->stream_locks[0]);
    const auto *m = ctx->saved_modes
                        ? static_cast<const DisplayMode *>(VKO_HashGet(ctx->saved_modes, o.device_name))
                        : nullptr;
    if (!m) m = static_cast<const DisplayMode *>(ctx->saved_primary_mode);
    bool have = m || std::strcmp(hs->saved_mode_device, o.device_name) == 0;
    if (m) hs->saved_mode = *m;
    VKO_MutexUnlock(ctx->stream_locks[0]);
    DisplayMode *now = have ? nullptr : display_mode_get(o.device_name);
    VKO_MutexLock(ctx->stream_locks[0]);
    if (now) hs->saved_mode = *now;
    std::snprintf(hs->saved_mode_device, sizeof hs->saved_mode_device, "%s", o.device_name);
    VKO_MutexUnlock(ctx->stream_locks[0]);
    VKO_Free(now);
}

// Start of capture (step 3 of a pass). 0 when capturing, else kRetry or -14003.
int32_t start_capture(EncodeState *s) {
    HostContext *ctx = s->ctx;
    s->encoder_started = 0;
    bool prefer_primary = s->stream == 0 && host_prefer_primary();
    char wanted[128];
    VKO_MutexLock(ctx->stream_locks[0]);
    std::snprintf(wanted, sizeof wanted, "%s",
                  ctx->virtual_displays_on.load() ? "none" : ctx->config.video[s->stream].output);
    uint8_t full_fps = ctx->config.video[s->stream].fullFPS;
    VKO_MutexUnlock(ctx->stream_locks[0]);
    int32_t pick = host_select_output(&s->list, wanted, prefer_primary);
    if (pick >= 0) {
        const DisplayOutput &o = s->list.outputs[pick];
        keep_saved_mode(s, o);
        uint32_t caps = s->hs->caps;
        uint8_t ten = s->feature_allowed[4] && (caps & 0x10);
        VKO_MutexLock(s->cap->control);
        int32_t r = s->cap->api.start(&s->cap->handle, ten, (caps & 0x8) != 0, &o);
        if (r == 0 && s->cap->api.set_min_framerate) s->cap->api.set_min_framerate(s->cap->handle, full_fps);
        VKO_MutexUnlock(s->cap->control);
        if (r == 0) {
            VKO_MutexLock(ctx->stream_locks[0]);
            s->hs->output[0] = o.left;
            s->hs->output[1] = o.top;
            s->hs->output[2] = o.right;
            s->hs->output[3] = o.bottom;
            VKO_MutexUnlock(ctx->stream_locks[0]);
            s->capture_started = 1;
            return 0;
        }
        if (r == CAPTURE_ERR_INVALID) {
            s->list.failed[pick] = 1;
        } else {
            host_lock_streams(ctx);
            for (VKO_ListNode *n = VKO_ListGetFirst(ctx->guests); n; n = n->next) {
                auto *g = static_cast<Guest *>(n->value);
                if (!g->reason.load()) g->switch_desktop.store(1);
            }
            host_unlock_streams(ctx);
        }
    } else {
        std::memset(s->list.failed, 0, sizeof s->list.failed);
    }
    nap(ctx, 340 * s->retries);
    return s->retries++ < 5 ? kRetry : CAPTURE_ERR_FRAME;
}

// No encoder took the frames: ask for less next time.
void lower_demands(EncodeState *s, uint32_t width, uint32_t height) {
    HostContext *ctx = s->ctx;
    bool dropped = false;
    for (uint32_t bit : kFeatureBits)
        if (s->feature_allowed[bit] && (s->hs->caps & (1u << bit))) {
            s->feature_allowed[bit] = 0;
            s->res_lowered = 0;
            dropped = true;
            break;
        }
    auto fail_output = [&] {
        if (s->list.chosen >= 0) s->list.failed[s->list.chosen] = 1;
    };
    if (!dropped && s->res_lowered) {
        fail_output();
        return;
    }
    bool fps_lowered = false;
    if (s->rp.fps > 60) {
        s->rp.fps = 60;
        VKO_MutexLock(ctx->stream_locks[0]);
        ctx->config.video[s->stream].encoderFPS = 60;
        ctx->pending.video[s->stream].encoderFPS = 60;
        VKO_MutexUnlock(ctx->stream_locks[0]);
        fps_lowered = true;
    }
    if (width <= 1920 && height <= 1080) {
        if (fps_lowered)
            s->res_lowered = 1;
        else
            fail_output();
        return;
    }
    VKO_MutexLock(ctx->stream_locks[0]);
    uint32_t cw = s->hs->client_width ? s->hs->client_width : ctx->guest_width;
    uint32_t ch = s->hs->client_height ? s->hs->client_height : ctx->guest_height;
    if (s->list.chosen >= 0) {
        const DisplayOutput &o = s->list.outputs[s->list.chosen];
        DisplayMode saved = s->hs->saved_mode;
        display_mode_change(o.device_name, 1920, 1080, 60, &saved, cw, ch, 0, 0);
    }
    VKO_MutexUnlock(ctx->stream_locks[0]);
    s->res_lowered = 1;
}

void rate_control(EncodeState *s) {
    HostContext *ctx = s->ctx;
    uint8_t ts = static_cast<uint8_t>(s->stream == 0 ? 1 : s->stream + 2);
    VKO_MutexLock(ctx->stream_locks[0]);
    bool dirty = s->hs->rates_dirty.exchange(0);
    uint32_t guests = std::max<uint32_t>(1, s->hs->video_guests.load());
    float target = s->rp.max_bitrate, best = target;
    for (VKO_ListNode *n = VKO_ListGetFirst(ctx->guests); n; n = n->next) {
        auto *g = static_cast<Guest *>(n->value);
        if (g->reason.load()) continue;
        bool bud = g->conn->kind == TRANSPORT_BUD;
        auto *link = static_cast<BUD *>(g->conn->ctx);
        if (dirty && bud)
            bud_set_bitrate_limits(link, ts, std::max(1.0f, target / static_cast<float>(guests)),
                                   s->rp.min_bitrate, 1);
        float b = bud ? bud_congestion_bitrate(link, ts) : target;
        if (b < 0) b = target;
        best = std::min(best, b);
    }
    VKO_MutexUnlock(ctx->stream_locks[0]);
    if (encoder_set_bitrate(&s->rp, best) && s->enc->api.update_bitrate)
        s->enc->api.update_bitrate(s->enc->handle, &s->rp);
}

void stats_line(EncodeState *s, int64_t now) {
    if (++s->period_frames < 100) return;
    double secs = VKO_TimeDiff(s->period_start, now) / 1000.0;
    VKO_MutexLock(s->cap->control);
    uint32_t captured = s->cap->frames_skipped;
    VKO_MutexUnlock(s->cap->control);
    log_message(LOG_LEVEL_INFO, "[%u] FPS:%.1f/%u, L:%.1f/%.1f, B:%.1f/%.1f, N:%u/%u/%u", s->stream,
                secs > 0 ? s->period_frames / secs : 0.0,
                s->period_frames + captured - s->period_captured_base,
                s->period_latency_sum / static_cast<float>(s->period_frames), s->period_latency_max,
                s->rp.bitrate, s->sent_rate, s->fast, s->slow, s->cg);
    s->period_captured_base = captured;
    s->period_frames = 0;
    s->period_latency_sum = s->period_latency_max = 0;
    s->period_start = now;
    s->largest = 0;  // an old oversize frame must not keep guests dormant for good
}

// Encodes and sends the frame just captured (steps 4c to 4g).
int32_t encode_frame(EncodeState *s, int64_t pass_start, int64_t poll_start) {
    HostContext *ctx = s->ctx;
    uint16_t w = 0, h = 0;
    uint32_t format = 0;
    if (!s->encoder_started) {
        VKO_MutexLock(s->cap->control);
        s->cap->api.get_desc(s->cap->handle, &w, &h, &format);
        ID3D11Device *device = s->cap->api.get_device ? s->cap->api.get_device(s->cap->handle) : nullptr;
        VKO_MutexUnlock(s->cap->control);
        if (w > ENC_MAX_WIDTH || h > ENC_MAX_HEIGHT) return kFrameTooLarge;
        encoder_close(&s->enc);
        uint32_t caps = s->hs->caps;
        s->rp.want_h265 = s->feature_allowed[0] && (caps & 1);
        s->rp.want_444 = s->feature_allowed[1] && (caps & 2);
        s->rp.full_range = s->feature_allowed[3] && (caps & 8);
        s->rp.want_10bit = s->feature_allowed[4] && (caps & 0x10);
        const HostHooks *hooks = host_hooks();
        int32_t r =
            encoder_open(&s->enc, hooks->encoders ? hooks->encoders : encoder_table,
                         hooks->encoders ? hooks->encoder_count : ENC_ROWS, device, w, h, format, &s->rp);
        if (r != 0) {  // each failed row was logged with its own code
            s->remembered = ENC_ERR_INIT;
            lower_demands(s, w, h);
            stop_capture(s);
            return kRetry;
        }
        // Announced as encoded: 4:2:0 pictures have even sides.
        s->width = w & ~1u;
        s->height = h & ~1u;
        log_message(LOG_LEVEL_INFO, "%-13s = %d", "encode_x", w);
        log_message(LOG_LEVEL_INFO, "%-13s = %d", "encode_y", h);
        s->list.starts++;
        s->hs->encoder_kind.store(s->rp.software ? 2 : 1);
        s->announce = 1;
        s->encoder_started = 1;
        s->retries = 0;
        s->remembered = 0;
    }
    rate_control(s);
    ID3D11Texture2D *tex = nullptr;
    VKO_MutexLock(s->cap->control);
    VKO_MutexLock(s->cap->poll_mutex);
    int32_t r = s->cap->api.get_texture(s->cap->handle, s->enc->input_format, &tex);
    VKO_MutexUnlock(s->cap->poll_mutex);
    VKO_MutexUnlock(s->cap->control);
    int64_t texture_time = VKO_GetTime();
    uint8_t *data = nullptr;
    uint32_t size = 0;
    if (r == 0) r = s->enc->api.encode(s->enc->handle, tex, &data, &size);  // the capture keeps the texture
    if (r != 0) return r;
    if (size == 0) {  // the encoder had no output for this frame: nothing to send
        if (s->enc->api.after_frame) s->enc->api.after_frame(s->enc->handle);
        return 0;
    }
    s->hs->encoder_running.store(1);
    int64_t now = VKO_GetTime();
    float latency = static_cast<float>(VKO_TimeDiff(static_cast<int64_t>(s->frame.time), now));
    s->latency_avg = 0.9f * s->latency_avg + 0.1f * latency;
    VideoTiming timing{static_cast<float>(VKO_TimeDiff(pass_start, now)),
                       static_cast<float>(VKO_TimeDiff(poll_start, texture_time)), latency,
                       s->last_encoded ? static_cast<float>(VKO_TimeDiff(s->last_encoded, now)) : 0.0f};
    s->last_encoded = now;
    s->fast = s->slow = s->cg = 0;
    s->sent_rate = 0;
    proto_video_write(ctx, data, size, &s->fast, &s->slow, &s->cg, &s->sent_rate, &s->largest, s->width,
                      s->height, s->frame_no, s->latency_avg, s->list.starts, s->stream, s->announce,
                      s->frame.rotation, s->rp.want_10bit, ctx->timing_video.load() ? &timing : nullptr);
    s->announce = 0;
    s->frame_no++;
    s->period_latency_sum += latency;
    s->period_latency_max = std::max(s->period_latency_max, latency);
    if (s->enc->api.after_frame) s->enc->api.after_frame(s->enc->handle);
    stats_line(s, now);
    return 0;
}

void cursor_pass(EncodeState *s) {
    HostCursorInput in{};
    VKO_MutexLock(s->cap->control);
    if (s->cap->handle && s->cap->api.get_cursor)
        s->cap->api.get_cursor(s->cap->handle, &in.x, &in.y, &in.hidden, &in.suppressed);
    VKO_MutexUnlock(s->cap->control);
    const uint8_t *hdr = s->frame.cursor_header;
    std::memcpy(&in.flags, hdr + 32, 2);
    in.changed = s->frame.cursor_updated;
    if (in.changed && s->frame.cursor_width) {
        in.width = s->frame.cursor_width;
        in.height = s->frame.cursor_height;
        std::memcpy(&in.hot_x, hdr + 28, 2);
        std::memcpy(&in.hot_y, hdr + 30, 2);
        uint32_t n = static_cast<uint32_t>(in.width) * in.height;
        for (uint32_t i = 0; i < n; i++) {  // ARGB words to RGBA bytes
            uint32_t p;
            std::memcpy(&p, s->cursor + 4 * i, 4);
            uint8_t *o = s->rgba + 4 * i;
            o[0] = static_cast<uint8_t>(p >> 16);
            o[1] = static_cast<uint8_t>(p >> 8);
            o[2] = static_cast<uint8_t>(p);
            o[3] = static_cast<uint8_t>(p >> 24);
        }
        in.rgba = s->rgba;
    }
    host_cursor_update(s->ctx, s->stream, &in);
}

// One pass of the inner loop: 0 or kRetry to go on, else the stream's end code.
int32_t encode_pass(EncodeState *s) {
    HostContext *ctx = s->ctx;
    int64_t pass_start = VKO_GetTime();
    host_apply_stream_config(ctx, &s->rp, &s->applied_vbv_max, &s->applied_min_qp, s->stream,
                             s->capture_started);
    if (s->hs->capture_restart.load()) {
        std::memset(s->list.failed, 0, sizeof s->list.failed);
        stop_capture(s);
        nap(ctx, s->hs->output_changed.load() ? 100 : 200);
        s->hs->capture_restart.store(0);
        s->hs->output_changed.store(0);
    }
    if (!s->capture_started) {
        int32_t r = start_capture(s);
        if (r != 0) return r;
        s->capture_started = 1;
    }
    int64_t poll_start = VKO_GetTime();
    VKO_MutexLock(ctx->stream_locks[0]);
    uint32_t timeout = static_cast<uint32_t>(ctx->config.capture_timeout);
    VKO_MutexUnlock(ctx->stream_locks[0]);
    std::memset(&s->frame, 0, sizeof s->frame);
    int32_t r = capture_poll(s->cap, timeout, s->rp.fps, s->cursor, &s->frame);
    if (r < 0) {
        s->hs->capture_restart.store(1);
        s->capture_started = 0;
        return 0;
    }
    int32_t result = 0;
    if (s->frame.new_frame) {
        VKO_MutexLock(ctx->stream_locks[0]);
        bool whitelist = ctx->config.require_whitelist;
        VKO_MutexUnlock(ctx->stream_locks[0]);
        ctx->foreground_class.store(
            whitelist ? host_app_class(&ctx->whitelist, host_foreground_window(&ctx->whitelist)) : 1);
        if (s->hs->restart_request.exchange(0)) {
            s->hs->encoder_running.store(0);
            s->encoder_started = 0;
            stop_capture(s);
            return 0;
        }
        result = encode_frame(s, pass_start, poll_start);
    }
    cursor_pass(s);
    return result;
}

}  // namespace

void host_encode_thread(HostContext *ctx, uint32_t stream) {
    auto *s = static_cast<EncodeState *>(VKO_Alloc(1, sizeof(EncodeState)));
    s->ctx = ctx;
    s->stream = stream;
    s->hs = &ctx->streams[stream];
    s->cap = s->hs->capture;
    s->list.chosen = -1;
    while (!ctx->stop.load()) {
        VKO_MutexLock(s->cap->control);
        uint32_t kind = s->cap->kind;
        VKO_MutexUnlock(s->cap->control);
        if (s->hs->video_guests.load() == 0 || kind == 0) {
            nap(ctx, 100);
            continue;
        }
        s->latency_avg = 0;
        s->frame_no = 0;
        std::memset(s->feature_allowed, 1, sizeof s->feature_allowed);
        s->res_lowered = 0;
        s->retries = 0;
        s->remembered = 0;
        s->cursor = static_cast<uint8_t *>(VKO_Alloc(HOST_CURSOR_BUFFER, 1));
        s->rgba = static_cast<uint8_t *>(VKO_Alloc(HOST_CURSOR_BUFFER, 1));
        s->period_start = VKO_GetTime();
        VKO_MutexLock(ctx->stream_locks[0]);
        s->hs->saved_mode_device[0] = 0;
        VKO_MutexUnlock(ctx->stream_locks[0]);
        build_rates(s);
        s->hs->restart_request.store(0);
        while (s->hs->video_guests.load() >= 1 && !ctx->stop.load()) {
            int32_t r = encode_pass(s);
            if (r == 0 || r == kRetry) continue;
            int32_t code = s->remembered ? s->remembered : r;
            host_stream_end(ctx, stream, code ? code : HOST_ERR_STREAM_END);
            break;
        }
        nap(ctx, 500);
        encoder_close(&s->enc);
        s->hs->encoder_running.store(0);
        nap(ctx, 500);
        stop_capture(s);
        VKO_Free(s->cursor);
        VKO_Free(s->rgba);
    }
    VKO_Free(s);
}

// Moves the pending settings of the stream into the active ones, each with
// its side effect. The stream's encoder is compared with what it was built
// with, so a whole-record change reaches every stream.
void host_apply_stream_config(HostContext *ctx, RateParams *rp, uint32_t *applied_vbv_max,
                              uint32_t *applied_min_qp, uint32_t stream, uint8_t apply_display) {
    VKO_MutexLock(ctx->stream_locks[0]);
    HostConfig &a = ctx->config;
    const HostConfig &p = ctx->pending;
    HostStream &hs = ctx->streams[stream];
    HostVideoConfig &av = a.video[stream];
    const HostVideoConfig &pv = p.video[stream];
    auto restart = [](HostStream &st) {
        if (st.encoder_running.load()) st.restart_request.store(1);
    };
    auto rebuild = [&] {
        float bitrate = rp->bitrate;
        encoder_rate_params_fill(rp, &av, &a);
        rp->bitrate = bitrate;
        *applied_vbv_max = static_cast<uint32_t>(a.vbv_max);
        *applied_min_qp = static_cast<uint32_t>(a.encoder_min_qp);
    };
    a.require_whitelist = p.require_whitelist;
    if (static_cast<uint32_t>(p.vbv_max) != *applied_vbv_max) {
        a.vbv_max = p.vbv_max;
        rebuild();
        restart(hs);
    }
    if (p.cg_level != a.cg_level) {
        a.cg_level = p.cg_level;
        for (VKO_ListNode *n = VKO_ListGetFirst(ctx->guests); n; n = n->next) {
            auto *g = static_cast<Guest *>(n->value);
            if (g->conn->kind == TRANSPORT_BUD)
                bud_set_congestion_level(static_cast<BUD *>(g->conn->ctx), static_cast<uint32_t>(a.cg_level));
        }
    }
    if (static_cast<uint32_t>(p.encoder_min_qp) != *applied_min_qp) {
        a.encoder_min_qp = p.encoder_min_qp;
        rebuild();
        for (HostStream &st : ctx->streams) restart(st);
    }
    if (pv.encoderMaxBitrate != av.encoderMaxBitrate) {
        av.encoderMaxBitrate = pv.encoderMaxBitrate;
        rebuild();
        hs.rates_dirty.store(1);
    }
    if (pv.encoderFPS != av.encoderFPS) {
        av.encoderFPS = pv.encoderFPS;
        rebuild();
        restart(hs);
        hs.display_dirty.store(1);
    }
    if (pv.rotated != av.rotated) {
        av.rotated = pv.rotated;
        hs.display_dirty.store(1);
    }
    if (pv.fullFPS != av.fullFPS) {
        av.fullFPS = pv.fullFPS;
        CaptureRecord *cap = hs.capture;
        VKO_MutexLock(cap->control);
        if (cap->handle && cap->api.set_min_framerate) cap->api.set_min_framerate(cap->handle, av.fullFPS);
        VKO_MutexUnlock(cap->control);
    }
    if (std::strcmp(pv.output, av.output) != 0) {
        for (HostStream &st : ctx->streams) st.capture_restart.store(1);
        hs.display_dirty.store(1);
        hs.output_changed.store(1);
        ctx->virtual_displays_on.store(0);
        std::memcpy(av.output, pv.output, sizeof av.output);
    }
    bool res_changed = pv.resolutionX != av.resolutionX || pv.resolutionY != av.resolutionY;
    bool go = apply_display && ctx->mode == HOST_MODE_DESKTOP;
    if (go && (!hs.display_dirty.load() || hs.capture_restart.load()) && !res_changed) go = false;
    if (go) {
        int32_t x = pv.resolutionX, y = pv.resolutionY;
        if (x == 0 || y == 0) x = y = 0;
        if (x == 65535 || y == 65535) x = y = 65535;
        av.resolutionX = x;
        av.resolutionY = y;
        uint32_t cw = hs.client_width ? hs.client_width : ctx->guest_width;
        uint32_t ch = hs.client_height ? hs.client_height : ctx->guest_height;
        char device[128] = {};
        DisplayOutput outs[DISPLAY_MAX_OUTPUTS];
        uint32_t n = display_adapter_get_all(outs);
        for (uint32_t i = 0; i < n; i++)
            if (outs[i].left == hs.output[0] && outs[i].top == hs.output[1])
                std::memcpy(device, outs[i].device_name, sizeof device);
        if (device[0]) {
            // Measured against the mode of the session's start, so "the
            // output's own size" is that mode, not what was forced since.
            DisplayMode *own = std::strcmp(hs.saved_mode_device, device) ? display_mode_get(device) : nullptr;
            DisplayMode *before = display_mode_get(device);
            display_mode_change(device, static_cast<uint32_t>(x), static_cast<uint32_t>(y),
                                static_cast<uint32_t>(av.encoderFPS), own ? own : &hs.saved_mode, cw, ch,
                                av.rotated, 0);
            DisplayMode *after = display_mode_get(device);
            // A new mode moves or resizes the captured picture: capture again.
            if (std::memcmp(before, after, sizeof *after) != 0) hs.capture_restart.store(1);
            VKO_Free(after);
            VKO_Free(before);
            VKO_Free(own);
        }
        hs.display_dirty.store(0);
    }
    VKO_MutexUnlock(ctx->stream_locks[0]);
}
