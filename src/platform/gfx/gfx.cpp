#include "platform/gfx/gfx.h"

#include <cmath>

#include "platform/gfx/d3d11.h"
#include "platform/gfx/d3d12.h"
#include "platform/gfx/vk_load.h"

const VKO_ColorFormatInfo vko_color_formats[VKO_COLOR_FORMAT_COUNT] = {
    {0, 0, 0, 0},  // UNKNOWN
    {1, 4, 0, 0},  // BGRA
    {1, 4, 0, 0},  // RGBA
    {1, 2, 0, 0},  // BGR565
    {1, 2, 0, 0},  // BGRA5551
    {1, 4, 1, 0},  // AYUV
    {1, 4, 1, 1},  // Y410
    {1, 8, 1, 1},  // Y416
    {2, 1, 1, 0},  // NV12
    {3, 1, 1, 0},  // I420
    {2, 2, 1, 1},  // P010
    {3, 2, 1, 1},  // I420_16
};

bool vko_gfx_plane(const VKO_RenderDesc *desc, uint32_t plane, uint64_t *offset, uint32_t *row_bytes,
                   uint32_t *rows) {
    if (desc->format == 0 || desc->format >= VKO_COLOR_FORMAT_COUNT) return false;
    const VKO_ColorFormatInfo &f = vko_color_formats[desc->format];
    if (plane >= f.planes) return false;
    const uint32_t hdiv = desc->chroma == 0 ? 1 : 2;
    const uint32_t vdiv = desc->chroma == 2 ? 2 : 1;
    auto row_of = [&](uint32_t p) -> uint64_t {
        if (p == 0) return uint64_t(desc->stride) * f.bytes_per_sample;
        const uint64_t samples = uint64_t(desc->stride / hdiv) * (f.planes == 2 ? 2 : 1);
        return samples * f.bytes_per_sample;
    };
    auto rows_of = [&](uint32_t p) -> uint32_t {
        return p == 0 ? desc->plane_height : desc->plane_height / vdiv;
    };
    uint64_t off = 0;
    for (uint32_t p = 0; p < plane; ++p) off += row_of(p) * rows_of(p);
    if (offset) *offset = off;
    if (row_bytes) *row_bytes = uint32_t(row_of(plane));
    if (rows) *rows = rows_of(plane);
    return true;
}

void vko_gfx_viewport(const VKO_RenderDesc *desc, float *x, float *y, float *width, float *height) {
    float aspect = desc->aspect;
    if (!(aspect > 0))
        aspect = desc->image_height != 0 ? float(desc->image_width) / float(desc->image_height) : 1.0f;
    float w = float(desc->image_width), h = float(desc->image_height);
    const float vw = float(desc->view_width), vh = float(desc->view_height);
    // A picture of width 0 has no shape to fit: it takes no room at all,
    // rather than dividing by an aspect of 0.
    if (!(aspect > 0) || !std::isfinite(aspect)) {
        *x = *y = *width = *height = 0;
        return;
    }
    if (desc->rotation == 1 || desc->rotation == 3) {
        aspect = 1.0f / aspect;
        const float t = w;
        w = h;
        h = t;
    }
    // The requested zoom rounds with the current mode (ties to even); the
    // rest rounds half away from zero.
    float sw = std::nearbyint(w * desc->scale);
    const float sh = std::nearbyint(h * desc->scale);
    if (sw == 0 || sh == 0 || vw < sw || vh < sh) sw = vw;
    float ww = sw;
    float hh = std::round(ww / aspect);
    if (ww > vw) {
        ww = vw;
        hh = std::round(vw / aspect);
    }
    if (hh > vh) {
        hh = vh;
        ww = std::round(vh * aspect);
    }
    *x = std::round((vw - ww) * 0.5f);
    *y = std::round((vh - hh) * 0.5f);
    *width = ww;
    *height = hh;
}

VKO_GFX vko_gfx_resolve(uint32_t requested) {
    if (requested == VKO_GFX_NONE) return VKO_GFX_NONE;
    if (requested >= VKO_GFX_VULKAN && requested <= VKO_GFX_D3D12) return VKO_GFX(requested);
    return VKO_GFX_D3D11;
}

namespace {
void sync_interval_none(void *, uint32_t) {}
bool lock_always(void *) {
    return true;
}
void unlock_none(void *) {}
// Vulkan never makes its device again.
uint64_t generation_fixed(void *) {
    return 0;
}
bool shared_test_none(void *, void *, void **) {
    return false;
}
}  // namespace

// Rows 0 and 1 exist and are empty; a row whose interface is not built in is empty too.
vko_gfx_ctx_api vko_gfx_ctx_apis[VKO_GFX_ROWS] = {
    {},
    {},
    {vko_vk_ctx_create, vko_vk_ctx_destroy, vko_vk_ctx_present, vko_vk_ctx_get_size, vko_vk_ctx_get_device,
     vko_vk_ctx_get_context, vko_vk_ctx_get_surface, sync_interval_none, lock_always, unlock_none,
     generation_fixed},
    {vko_d3d11_ctx_create, vko_d3d11_ctx_destroy, vko_d3d11_ctx_present, vko_d3d11_ctx_get_size,
     vko_d3d11_ctx_get_device, vko_d3d11_ctx_get_context, vko_d3d11_ctx_get_surface,
     vko_d3d11_ctx_set_sync_interval, lock_always, unlock_none, vko_d3d11_ctx_get_generation},
    // Get size, get device and set sync interval read the shared record prefix.
    {vko_d3d12_ctx_create, vko_d3d12_ctx_destroy, vko_d3d12_ctx_present, vko_d3d11_ctx_get_size,
     vko_d3d11_ctx_get_device, vko_d3d12_ctx_get_context, vko_d3d12_ctx_get_surface,
     vko_d3d11_ctx_set_sync_interval, lock_always, unlock_none, vko_d3d11_ctx_get_generation},
};
vko_gfx_api vko_gfx_apis[VKO_GFX_ROWS] = {
    {},
    {},
    {vko_vk_create, vko_vk_destroy, shared_test_none, vko_vk_render, vko_vk_clear},
    {vko_d3d11_create, vko_d3d11_destroy, vko_d3d11_valid_shared_handle, vko_d3d11_render, vko_d3d11_clear},
    {vko_d3d12_create, vko_d3d12_destroy, shared_test_none, vko_d3d12_render, vko_d3d12_clear},
};
vko_gfx_ui_api vko_gfx_ui_apis[VKO_GFX_ROWS] = {
    {},
    {},
    {vko_vk_ui_create, vko_vk_ui_destroy, vko_vk_ui_render, vko_vk_ui_create_texture,
     vko_vk_ui_destroy_texture},
    {vko_d3d11_ui_create, vko_d3d11_ui_destroy, vko_d3d11_ui_render, vko_d3d11_ui_create_texture,
     vko_d3d11_ui_destroy_texture},
    {vko_d3d12_ui_create, vko_d3d12_ui_destroy, vko_d3d12_ui_render, vko_d3d12_ui_create_texture,
     vko_d3d12_ui_destroy_texture},
};
