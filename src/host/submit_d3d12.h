// The Direct3D 12 row of frame submission (see submit.h for the table). No
// Direct3D 12 resource can be opened in a Direct3D 11 device here, so each
// frame is copied on the application's queue into a readback buffer of the
// application's device (barriers, CopyTextureRegion, a fence signalled with
// the next value and waited for), and from it into the stand-in texture the
// converter draws from; then the command allocator is reset.
#pragma once

#include "compat/d3d/d3d12.h"
#include "host/submit.h"

void cap_d3d12_destroy(void **handle);
int32_t cap_d3d12_poll(void *handle, uint32_t timeout_ms, uint8_t *cursor, CaptureFrame *frame);
// Its own: desktop duplication's cap_dxgi_get_device reads another record.
ID3D11Device *cap_d3d12_get_device(void *handle);
int32_t cap_d3d12_get_texture(void *handle, uint32_t format, ID3D11Texture2D **out);
void cap_d3d12_get_desc(void *handle, uint16_t *width, uint16_t *height, uint32_t *format);
// app_device: ID3D12Device; api_arg: the ID3D12CommandQueue the copy runs on;
// app_image: an ID3D12Resource (B8G8R8A8 or R8G8B8A8 2-D texture) in the
// PRESENT state, as a swap chain's back buffer is when presented.
int32_t cap_d3d12_submit(void **handle, void *app_device, void *queue, void *app_image, uint8_t flip,
                         uint32_t *dropped);
int32_t cap_d3d12_check_reinit(void *handle);
bool cap_d3d12_device_differs(void *handle, void *app_device);

extern const SubmitCaptureApi submit_d3d12_api;
