// The Direct3D 12 row of the graphics dispatch tables: the video-frame and UI
// renderers, which record into the context's one command list, and the
// swap-chain context, on the CPU stand-in of src/compat/d3d. Get size, get
// device and set sync interval are the Direct3D 11 ones (shared record
// prefix).
#pragma once

#include "platform/gfx/gfx.h"

void *vko_d3d12_create(void *device, uint8_t layer);
void vko_d3d12_destroy(void **renderer, void *device);
bool vko_d3d12_render(void *renderer, void *device, void *context, const void *image,
                      const VKO_RenderDesc *desc, void *surface);
bool vko_d3d12_clear(void *renderer, void *device, void *context, uint32_t width, uint32_t height, float r,
                     float g, float b, float a, void *surface);
void *vko_d3d12_ui_create(void *device);
void vko_d3d12_ui_destroy(void **ui, void *device);
bool vko_d3d12_ui_render(void *ui, void *device, void *context, const VKO_DrawData *data, void *texture_map,
                         void *surface);
void *vko_d3d12_ui_create_texture(void *ui, void *device, const void *rgba, uint32_t width, uint32_t height);
void vko_d3d12_ui_destroy_texture(void *ui, void **texture, void *device);

// The context takes a window record {Display *, Window} (VKO_X11Window).
void *vko_d3d12_ctx_create(void *window, bool vsync);
void vko_d3d12_ctx_destroy(void **ctx);
void vko_d3d12_ctx_present(void *ctx);
void *vko_d3d12_ctx_get_context(void *ctx);
void *vko_d3d12_ctx_get_surface(void *ctx);
