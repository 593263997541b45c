// Frame-submission capture: an application that renders the picture itself
// submits each finished frame on its render thread, and the encode thread
// takes it as from desktop duplication (poll, device, texture, description).
// Every back-end copies the frame into a texture of its own Direct3D 11
// device and hands it over through one core (SubmitRecord): a mutex and a
// condition with "consumer waiting" and "frame available" flags, a dropped
// counter, a size-change notice and the device check.
#pragma once

#include <cstdint>

#include "compat/d3d/d3d.h"
#include "host/capture.h"
#include "host/d3d11_convert.h"
#include "platform/thread.h"

#define SUBMIT_ERR_NO_TEXTURE (-22000)

struct SubmitCaptureApi {
    void (*destroy)(void **handle);
    int32_t (*poll)(void *handle, uint32_t timeout_ms, uint8_t *cursor, CaptureFrame *frame);
    ID3D11Device *(*get_device)(void *handle);
    int32_t (*get_texture)(void *handle, uint32_t format, ID3D11Texture2D **out);
    void (*get_desc)(void *handle, uint16_t *width, uint16_t *height, uint32_t *format);
    int32_t (*submit)(void **handle, void *app_device, void *api_arg, void *app_image, uint8_t flip,
                      uint32_t *dropped);
    void *unused6;
    int32_t (*check_reinit)(void *handle);
    bool (*device_differs)(void *handle, void *app_device);
    void *unused9;
};

// The fields every back-end record begins with.
//
// Threads: `submit` runs on the application's render thread, everything else
// on the encode thread. `mutex` guards the three flags, the converter, its
// draw mode and the last size; `cond` carries the hand-off.
// - consumer_waiting: set by poll (the encode thread is ready for a frame and
//   not reading the converter's textures), cleared when poll takes a frame.
//   A submit draws only while it is set, else it counts a dropped frame; a
//   submit that replaces a frame not taken yet counts that one as dropped.
// - frame_available: set by a submit that drew, cleared by the poll that
//   takes it.
// - size_changed: set when a submit replaced an existing converter for a new
//   size; cleared by check_reinit, which reports it once.
// - drawing: set by a submit while it draws into the converter's textures
//   without holding the mutex; frame_available is clear meanwhile, so a poll
//   cannot take a half-drawn frame, and the converter and its textures are
//   neither remade nor drawn by another submit until it is cleared.
// - refs: the parties holding the record, 2 from the first submit: the
//   application (its render thread, letting go with a submit that has no
//   device) and the consumer (the encode thread, letting go with destroy).
//   Whoever takes it to 0 frees the record, so neither frees it while the
//   other may still be inside a call.
// - app_released: set when the application let go; polls then return at once.
// The device fields are written once, on the first submit, before the record
// is published to the encode thread.
struct SubmitRecord {
    ID3D11Device *device;   // own device, multithread-protected
    void *app_device;       // what submit was first called with (device or queue)
    ID3D11Texture2D *copy;  // source of the converter (GL and Vulkan: own staging copy)
    D3D11Converter *conv;
    uint32_t draw_mode;  // D3D11_CONVERT_BGRA or D3D11_CONVERT_NV12
    uint32_t width, height;
    VKO_Mutex *mutex;
    VKO_Cond *cond;
    uint8_t frame_available;
    uint8_t consumer_waiting;
    uint8_t size_changed;
    uint8_t drawing;
    uint32_t refs;
    uint8_t app_released;
};

// The core, shared by the five tables.
void submit_record_init(SubmitRecord *rec);
void submit_record_release(SubmitRecord *rec);  // converter, copy, device, mutex, condition
// The consumer lets go: later submits are counted as dropped. True when it
// held the record last (the caller then frees it).
bool submit_consumer_let_go(SubmitRecord *rec);
// The application lets go (its own objects already released): a waiting
// poll returns. True when it held the record last.
bool submit_app_let_go(SubmitRecord *rec);
// Locks; when the consumer waits and no other submit draws, returns true with
// the lock held (counting the replaced frame as dropped when one was not taken
// yet), else counts a dropped frame, unlocks and returns false.
bool submit_lock_wanted(SubmitRecord *rec, uint32_t *dropped);
// With the lock held: (re)makes the converter for the texture's size (source
// device src, capture device the own one); then, with the lock released,
// draws it, marks the frame available, unlocks and wakes the consumer. A
// failed converter answers its code (size changed cleared), unlocked.
int32_t submit_draw_unlock(SubmitRecord *rec, ID3D11Device *src, ID3D11DeviceContext *saved,
                           ID3D11Texture2D *texture, uint8_t flip);
// After a table's own copy of the frame into rec->copy with the lock held:
// the copy's failure code (unlocked), else the draw of the copy on the own
// device as submit_draw_unlock does.
int32_t submit_copied_draw_unlock(SubmitRecord *rec, int32_t copied, uint8_t flip);
// Makes the own capture device, multithread-protected (the stand-in has one
// adapter, so it is made on that); 0, or CAPTURE_ERR_DEVICE with *out left.
int32_t submit_own_device(ID3D11Device **out);
int32_t submit_poll(SubmitRecord *rec, uint32_t timeout_ms, CaptureFrame *frame);
int32_t submit_get_texture(SubmitRecord *rec, uint32_t format, ID3D11Texture2D **out);
void submit_get_desc(SubmitRecord *rec, uint16_t *width, uint16_t *height, uint32_t *format);
int32_t submit_check_reinit(SubmitRecord *rec);
bool submit_device_differs(SubmitRecord *rec, void *app_device);

// Every row: a submit with no application device is the application letting
// go of the handle (answers 0 and clears it); destroy is the consumer's.

// Direct3D 11: the application's device and texture.
void cap_d3d11_destroy(void **handle);
int32_t cap_d3d11_poll(void *handle, uint32_t timeout_ms, uint8_t *cursor, CaptureFrame *frame);
ID3D11Device *cap_d3d11_get_device(void *handle);
int32_t cap_d3d11_get_texture(void *handle, uint32_t format, ID3D11Texture2D **out);
void cap_d3d11_get_desc(void *handle, uint16_t *width, uint16_t *height, uint32_t *format);
// api_arg: the context whose state the draw saves and restores (or none).
int32_t cap_d3d11_submit(void **handle, void *app_device, void *context, void *app_texture, uint8_t flip,
                         uint32_t *dropped);
int32_t cap_d3d11_check_reinit(void *handle);
bool cap_d3d11_device_differs(void *handle, void *app_device);

extern const SubmitCaptureApi submit_d3d11_api;

// OpenGL: app_device is the application's GLX context, which must be current
// on the calling thread; app_image is the GL texture name (cast to a
// pointer); api_arg is unused. -7007 without GLX entry points, -7000 when the
// context is not current (or not the one the record was made on). The GL
// objects are deleted when the application lets go with its context current.
#define GL_INTEROP_ERR_CONTEXT (-7000)
#define GL_INTEROP_ERR_ENTRY_POINTS (-7007)
void cap_gl_destroy(void **handle);
int32_t cap_gl_poll(void *handle, uint32_t timeout_ms, uint8_t *cursor, CaptureFrame *frame);
ID3D11Device *cap_gl_get_device(void *handle);
int32_t cap_gl_get_texture(void *handle, uint32_t format, ID3D11Texture2D **out);
void cap_gl_get_desc(void *handle, uint16_t *width, uint16_t *height, uint32_t *format);
int32_t cap_gl_submit(void **handle, void *app_context, void *unused, void *app_texture, uint8_t flip,
                      uint32_t *dropped);
int32_t cap_gl_check_reinit(void *handle);
bool cap_gl_device_differs(void *handle, void *app_context);

extern const SubmitCaptureApi submit_gl_api;
