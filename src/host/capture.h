// The capture interface: one table of operations per back-end, one capture
// record per stream with its pacing, and the desktop duplication row, which
// on this platform captures an X screen's RandR monitor (MIT-SHM straight into
// a texture of the CPU Direct3D stand-in, XDamage to wait for changes, XFixes
// for the cursor image).
#pragma once

#include <cstdint>

#include "compat/d3d/d3d.h"
#include "host/display.h"
#include "platform/thread.h"

// CaptureFormat
#define CAPTURE_FORMAT_ASIS 0u
#define CAPTURE_FORMAT_RGBA 8u
#define CAPTURE_FORMAT_BGRA 9u
#define CAPTURE_FORMAT_NV12 10u
#define CAPTURE_FORMAT_RGBA10 11u

#define CAPTURE_ERR_FRAME (-14003)
#define CAPTURE_ERR_TEXTURE (-14004)
#define CAPTURE_ERR_INVALID (-14005)
#define CAPTURE_ERR_DEVICE (-22004)
#define CAPTURE_ERR_ADAPTER (-22006)
#define CAPTURE_ERR_FACTORY (-22007)
#define CAPTURE_ERR_OUTPUT (-22008)
#define CAPTURE_ERR_UNAVAILABLE (-22010)

// The duplication's answer when the output's mode or place changed.
#define DXGI_ERROR_ACCESS_LOST ((int32_t)0x887A0026u)

#define CAPTURE_CURSOR_BUFFER 1048542u  // one mebibyte less the cursor header
#define CURSOR_HEADER_SIZE 34
#define CURSOR_FLAG_HIDDEN 0x200u
#define CURSOR_FLAG_UNIFORM 0x400u

struct CaptureFrame {
    uint64_t time;  // VKO_GetTime ticks
    uint8_t new_frame;
    uint8_t cursor_updated;
    uint32_t rotation;  // 1 none, 2 90, 3 180, 4 270 degrees
    // Of the cursor message header capture fills offset 16 u32 image size,
    // 20/22 u16 width/height, 28/30 u16 hot spot, 32 u16 flags.
    uint8_t cursor_header[CURSOR_HEADER_SIZE];
    uint16_t cursor_width;
    uint16_t cursor_height;
};

struct CaptureApi {
    int32_t (*start)(void **handle, uint8_t ten_bit, uint8_t flag, const DisplayOutput *display);
    void (*stop)(void **handle);
    void *unused2;
    int32_t (*poll)(void *handle, uint32_t timeout_ms, uint8_t *cursor, CaptureFrame *frame);
    ID3D11Device *(*get_device)(void *handle);
    int32_t (*get_texture)(void *handle, uint32_t format, ID3D11Texture2D **out);
    void (*get_desc)(void *handle, uint16_t *width, uint16_t *height, uint32_t *format);
    void *unused7;
    int32_t (*get_cursor)(void *handle, int32_t *x, int32_t *y, uint8_t *hidden, uint8_t *suppressed);
    int32_t (*pre_poll)(void *handle);
    void *unused10;
    void (*set_min_framerate)(void *handle, uint8_t on);
};

// One stream's capture. The encode thread of the stream is its only user:
// it takes `control` around start, stop, get_device, get_desc and
// set_min_framerate, and capture_poll takes `poll_mutex` for a whole poll.
// The pacing fields change only inside capture_poll; frames_skipped is read
// by the encode thread under `control`.
struct CaptureRecord {
    void *handle;
    uint32_t kind;  // 2: desktop duplication
    VKO_Mutex *control;
    VKO_Mutex *poll_mutex;
    CaptureApi api;
    uint8_t prev_skipped;
    uint8_t deliver_next;
    uint32_t frames_skipped;
    int64_t last_delivered;
    int64_t last_seen;
};

extern const CaptureApi capture_dxgi_api;

CaptureRecord *capture_record_create(const CaptureApi *api, uint32_t kind);
void capture_record_destroy(CaptureRecord **rec);  // stops the back-end first
int32_t capture_poll(CaptureRecord *rec, uint32_t timeout_ms, uint32_t fps, uint8_t *cursor,
                     CaptureFrame *frame);

// The desktop duplication row.
int32_t cap_dxgi_start(void **handle, uint8_t ten_bit, uint8_t flag, const DisplayOutput *display);
void cap_dxgi_stop(void **handle);
int32_t cap_dxgi_poll(void *handle, uint32_t timeout_ms, uint8_t *cursor, CaptureFrame *frame);
ID3D11Device *cap_dxgi_get_device(void *handle);
int32_t cap_dxgi_get_texture(void *handle, uint32_t format, ID3D11Texture2D **out);
void cap_dxgi_get_desc(void *handle, uint16_t *width, uint16_t *height, uint32_t *format);
int32_t cap_dxgi_get_cursor(void *handle, int32_t *x, int32_t *y, uint8_t *hidden, uint8_t *suppressed);
void cap_dxgi_set_min_framerate(void *handle, uint8_t on);
// Grabs of the screen since start (a still screen is not grabbed again).
uint64_t cap_dxgi_grabs(void *handle);

// Pointer shape kinds, as a duplication hands them out.
#define CURSOR_SHAPE_MONOCHROME 1u    // AND mask over XOR mask, 1 bit a pixel
#define CURSOR_SHAPE_COLOR 2u         // 32-bit pixels with alpha
#define CURSOR_SHAPE_MASKED_COLOR 4u  // 32-bit pixels, top byte a mask

struct CursorShapeInfo {
    uint32_t type;
    uint32_t width;   // pixels
    uint32_t height;  // pixels; twice the image's height for monochrome
    uint16_t hot_x, hot_y;
};

// Turns the shape held in `cursor` (CAPTURE_CURSOR_BUFFER bytes, as fetched)
// into 32-bit pixels, then fills the header's size, width, height, hot spot
// and uniform flag and the frame's two copies of the size.
void cap_cursor_shape_finish(const CursorShapeInfo *info, uint8_t *cursor, CaptureFrame *frame);
// Monochrome masks at offset 0 (AND) and `xor_offset` (XOR), `bytes` long in
// all, one byte per 8 pixels in row order, to pixels over the whole buffer.
void cap_cursor_mono_to_rgba(uint8_t *cursor, uint32_t xor_offset, uint32_t bytes, uint32_t width,
                             uint32_t height);
// Masked colour pixels in place: the mask byte becomes a real alpha.
void cap_cursor_masked_to_rgba(uint8_t *cursor, uint32_t width, uint32_t height);

// Brings the host's session to the console. A Linux X session is already
// the local one, and no other session is ever logged off: does nothing.
void session_take_console(uint8_t mode);

// "tag: NAME" for the duplication's known results, else "tag: code".
void dxgi_log_error(const char *tag, int32_t code);
