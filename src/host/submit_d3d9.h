// The Direct3D 9 row of frame submission (see submit.h for the table). A
// 9Ex device's frames are stretched into a shared render target opened in
// the back-end's own Direct3D 11 device; a plain device's into a lockable
// render target, copied row by row into a dynamic texture of the own device.
// The record is held by two parties: the application (from its first submit
// to its submit with no device) and the consumer (until the table's
// destroy); the last to let go frees it. Each side keeps its own copy of the
// handle.
#pragma once

#include "compat/d3d9/d3d9.h"
#include "host/submit.h"

void cap_d3d9_destroy(void **handle);
int32_t cap_d3d9_poll(void *handle, uint32_t timeout_ms, uint8_t *cursor, CaptureFrame *frame);
ID3D11Device *cap_d3d9_get_device(void *handle);
// The texture and description operations touch only the core, so the Vulkan
// row shares them.
int32_t cap_d3d9_get_texture(void *handle, uint32_t format, ID3D11Texture2D **out);
void cap_d3d9_get_desc(void *handle, uint16_t *width, uint16_t *height, uint32_t *format);
// app_device: IDirect3DDevice9 (none: the application lets go of the record);
// api_arg: unused; app_image: IDirect3DSurface9.
int32_t cap_d3d9_submit(void **handle, void *app_device, void *api_arg, void *app_image, uint8_t flip,
                        uint32_t *dropped);
int32_t cap_d3d9_check_reinit(void *handle);
bool cap_d3d9_device_differs(void *handle, void *app_device);

extern const SubmitCaptureApi submit_d3d9_api;
