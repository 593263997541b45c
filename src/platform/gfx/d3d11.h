// The Direct3D 11 row of the graphics dispatch tables: the video-frame and UI
// renderers and the swap-chain context, on the CPU stand-in of src/compat/d3d.
#pragma once

#include "platform/gfx/gfx.h"

void *vko_d3d11_create(void *device, uint8_t layer);
void vko_d3d11_destroy(void **renderer, void *device);
bool vko_d3d11_valid_shared_handle(void *device, void *context, void **handle);
bool vko_d3d11_render(void *renderer, void *device, void *context, const void *image,
                      const VKO_RenderDesc *desc, void *surface);
bool vko_d3d11_clear(void *renderer, void *device, void *context, uint32_t width, uint32_t height, float r,
                     float g, float b, float a, void *surface);
void *vko_d3d11_ui_create(void *device);
void vko_d3d11_ui_destroy(void **ui, void *device);
bool vko_d3d11_ui_render(void *ui, void *device, void *context, const VKO_DrawData *data, void *texture_map,
                         void *surface);
void *vko_d3d11_ui_create_texture(void *ui, void *device, const void *rgba, uint32_t width, uint32_t height);
void vko_d3d11_ui_destroy_texture(void *ui, void **texture, void *device);

// The context takes a window record {Display *, Window} (VKO_X11Window).
void *vko_d3d11_ctx_create(void *window, bool vsync);
void vko_d3d11_ctx_destroy(void **ctx);
void vko_d3d11_ctx_present(void *ctx);
void vko_d3d11_ctx_get_size(void *ctx, uint32_t *width, uint32_t *height);
void *vko_d3d11_ctx_get_device(void *ctx);
uint64_t vko_d3d11_ctx_get_generation(void *ctx);
void *vko_d3d11_ctx_get_context(void *ctx);
void *vko_d3d11_ctx_get_surface(void *ctx);
void vko_d3d11_ctx_set_sync_interval(void *ctx, uint32_t value);
