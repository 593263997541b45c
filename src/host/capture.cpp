#include "host/capture.h"

#include "platform/log.h"
#include "platform/memory.h"
#include "util/logger.h"

const CaptureApi capture_dxgi_api = {
    cap_dxgi_start,
    cap_dxgi_stop,
    nullptr,
    cap_dxgi_poll,
    cap_dxgi_get_device,
    cap_dxgi_get_texture,
    cap_dxgi_get_desc,
    nullptr,
    cap_dxgi_get_cursor,
    nullptr,
    nullptr,
    cap_dxgi_set_min_framerate,
};

CaptureRecord *capture_record_create(const CaptureApi *api, uint32_t kind) {
    CaptureRecord *r = (CaptureRecord *)VKO_Alloc(1, sizeof(CaptureRecord));
    r->kind = kind;
    r->control = VKO_MutexCreate();
    r->poll_mutex = VKO_MutexCreate();
    r->api = *api;
    r->deliver_next = 1;
    r->last_delivered = r->last_seen = VKO_GetTime();
    return r;
}

void capture_record_destroy(CaptureRecord **rec) {
    CaptureRecord *r = rec ? *rec : nullptr;
    if (!r) return;
    if (r->handle && r->api.stop) r->api.stop(&r->handle);
    VKO_MutexDestroy(&r->control);
    VKO_MutexDestroy(&r->poll_mutex);
    VKO_Free(r);
    *rec = nullptr;
}

int32_t capture_poll(CaptureRecord *rec, uint32_t timeout_ms, uint32_t fps, uint8_t *cursor,
                     CaptureFrame *frame) {
    VKO_MutexLock(rec->poll_mutex);
    int32_t r = 0;
    if (!rec->handle) goto out;
    if (rec->api.pre_poll && (r = rec->api.pre_poll(rec->handle)) != 0) goto out;
    r = rec->api.poll(rec->handle, timeout_ms, cursor, frame);
    if (r != 0) goto out;
    if (fps == 0) fps = 60;
    if (frame->new_frame) {
        double interval = 1000.0 / fps;
        if (!rec->prev_skipped) interval *= 0.7;
        double elapsed = VKO_TimeDiff(rec->last_delivered, (int64_t)frame->time);
        rec->last_seen = (int64_t)frame->time;
        if (rec->deliver_next || elapsed >= interval) {
            rec->last_delivered = (int64_t)frame->time;
            rec->deliver_next = 0;
            rec->prev_skipped = 0;
        } else {
            rec->frames_skipped++;
            rec->prev_skipped = 1;
            frame->new_frame = 0;
        }
    } else if (frame->cursor_updated && !rec->api.set_min_framerate) {
        // A cursor-only change is promoted to a frame once the screen has
        // been still for a frame interval (or the poll time-out).
        double wait = 1000.0 / fps;
        if (wait < timeout_ms) wait = timeout_ms;
        if (!rec->deliver_next && VKO_TimeDiff(rec->last_seen, (int64_t)frame->time) >= wait) {
            frame->new_frame = 1;
            rec->last_seen = (int64_t)frame->time;
        } else {
            frame->new_frame = 0;
        }
    }
out:
    VKO_MutexUnlock(rec->poll_mutex);
    return r;
}

void session_take_console(uint8_t) {}

void dxgi_log_error(const char *tag, int32_t code) {
    log_message(LOG_LEVEL_INFO, "%s: %d", tag, code);
}
