#include "host/capture.h"

#include <cstring>
#include <vector>

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

namespace {

void put16(uint8_t *p, uint16_t v) {
    memcpy(p, &v, 2);
}

constexpr uint32_t kOpaqueBlack = 0xFF000000u;
constexpr uint32_t kOpaqueWhite = 0xFFFFFFFFu;
constexpr uint32_t kHaloInner = 0x60FFFFFFu;
constexpr uint32_t kHaloOuter = 0x20FFFFFFu;

bool fits(uint32_t width, uint32_t height) {
    return (uint64_t)width * height * 4 <= CAPTURE_CURSOR_BUFFER;
}

}  // namespace

void cap_cursor_mono_to_rgba(uint8_t *cursor, uint32_t xor_offset, uint32_t bytes, uint32_t width,
                             uint32_t height) {
    if (bytes > CAPTURE_CURSOR_BUFFER) bytes = CAPTURE_CURSOR_BUFFER;
    std::vector<uint8_t> masks(cursor, cursor + bytes);
    memset(cursor, 0, CAPTURE_CURSOR_BUFFER);
    uint64_t row = (width + 7) / 8, plane = row * height;
    // Masks that do not cover the image leave it transparent.
    if (!fits(width, height) || xor_offset < plane || (uint64_t)xor_offset + plane > bytes) return;
    uint32_t *px = (uint32_t *)cursor;
    for (uint32_t y = 0; y < height; y++) {
        for (uint32_t x = 0; x < width; x++) {
            size_t at = (size_t)(y * row + x / 8);
            uint8_t bit = (uint8_t)(0x80 >> (x % 8));
            bool and_bit = masks[at] & bit, xor_bit = masks[xor_offset + at] & bit;
            uint32_t &p = px[(size_t)y * width + x];
            if (!and_bit) {
                p = xor_bit ? kOpaqueWhite : kOpaqueBlack;
            } else if (xor_bit) {
                // Inverting: black with a white halo, visible on any background.
                p = kOpaqueBlack;
                for (int dy = -2; dy <= 2; dy++) {
                    for (int dx = -2; dx <= 2; dx++) {
                        int64_t hx = (int64_t)x + dx, hy = (int64_t)y + dy;
                        if (hx < 0 || hy < 0 || hx >= width || hy >= height) continue;
                        uint32_t &h = px[(size_t)hy * width + (size_t)hx];
                        if (h != 0 && h != kHaloOuter) continue;
                        h = (dx >= -1 && dx <= 1 && dy >= -1 && dy <= 1) ? kHaloInner : kHaloOuter;
                    }
                }
            }
        }
    }
}

void cap_cursor_masked_to_rgba(uint8_t *cursor, uint32_t width, uint32_t height) {
    if (!fits(width, height)) return;
    uint32_t *px = (uint32_t *)cursor;
    for (size_t i = 0, n = (size_t)width * height; i < n; i++) {
        uint32_t mask = px[i] >> 24, colour = px[i] & 0xFFFFFFu;
        if (mask < 255)
            px[i] = 0xFF000000u | colour;  // replaces the screen
        else if (colour != 0)
            px[i] = 0xE0606060u;  // inverts it: a grey that shows on both
        else
            px[i] = colour;  // XOR with black leaves the screen as it is
    }
}

void cap_cursor_shape_finish(const CursorShapeInfo *info, uint8_t *cursor, CaptureFrame *frame) {
    uint32_t width = info->width, height = info->height;
    if (info->type == CURSOR_SHAPE_MONOCHROME) {
        uint32_t bytes = ((width + 7) / 8) * height;
        height /= 2;
        width = (width + 7) / 8 * 8;
        cap_cursor_mono_to_rgba(cursor, (width / 8) * height, bytes, width, height);
    } else if (info->type == CURSOR_SHAPE_MASKED_COLOR) {
        cap_cursor_masked_to_rgba(cursor, width, height);
    }
    if (width > 0xFFFF || height > 0xFFFF || !fits(width, height)) width = height = 0;
    const uint32_t *px = (const uint32_t *)cursor;
    bool uniform = true;
    for (size_t i = 1, n = (size_t)width * height; i < n && uniform; i++) uniform = px[i] == px[0];
    uint8_t *hdr = frame->cursor_header;
    uint32_t size = width * height * 4;
    memcpy(hdr + 16, &size, 4);
    put16(hdr + 20, (uint16_t)width);
    put16(hdr + 22, (uint16_t)height);
    put16(hdr + 28, info->hot_x);
    put16(hdr + 30, info->hot_y);
    uint16_t flags;
    memcpy(&flags, hdr + 32, 2);
    if (uniform) flags |= CURSOR_FLAG_UNIFORM;
    put16(hdr + 32, flags);
    frame->cursor_width = (uint16_t)width;
    frame->cursor_height = (uint16_t)height;
}

void session_take_console(uint8_t) {}

void dxgi_log_error(const char *tag, int32_t code) {
    static const struct {
        uint32_t code;
        const char *name;
    } kNames[] = {
        {0x80070005u, "E_ACCESSDENIED"},
        {0x80070057u, "E_INVALIDARG"},
        {0x887A0001u, "DXGI_ERROR_INVALID_CALL"},
        {0x887A0004u, "DXGI_ERROR_UNSUPPORTED"},
        {0x887A0025u, "DXGI_ERROR_MODE_CHANGE_IN_PROGRESS"},
        {(uint32_t)DXGI_ERROR_ACCESS_LOST, "DXGI_ERROR_ACCESS_LOST"},
        {0x887A0027u, "DXGI_ERROR_WAIT_TIMEOUT"},
        {0x887A0028u, "DXGI_ERROR_SESSION_DISCONNECTED"},
        {0u, "S_OK"},
    };
    for (const auto &n : kNames)
        if (n.code == (uint32_t)code) {
            log_message(LOG_LEVEL_INFO, "%s: %s", tag, n.name);
            return;
        }
    log_message(LOG_LEVEL_INFO, "%s: %d", tag, code);
}
