// What the two Direct3D rows share about a video frame before any shading:
// the texture format of each plane, where each plane of a description's
// picture lies and how much of it is uploaded, and the constant block; and
// what their overlay drawing shares: the checks on the draw data, the copy of
// its lists into the mapped buffers, the projection and the scissor of a
// command.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "compat/d3d/d3d.h"
#include "platform/gfx/d3d11_shaders.h"
#include "platform/gfx/gfx.h"

// The texture format of plane p of a colour format.
inline DXGI_FORMAT d3d_plane_format(uint32_t format, uint32_t p) {
    switch (format) {
        case VKO_COLOR_FORMAT_BGRA:
        case VKO_COLOR_FORMAT_AYUV:
            return DXGI_FORMAT_B8G8R8A8_UNORM;
        case VKO_COLOR_FORMAT_RGBA:
            return DXGI_FORMAT_R8G8B8A8_UNORM;
        case VKO_COLOR_FORMAT_BGR565:
            return DXGI_FORMAT_B5G6R5_UNORM;
        case VKO_COLOR_FORMAT_BGRA5551:
            return DXGI_FORMAT_B5G5R5A1_UNORM;
        case VKO_COLOR_FORMAT_Y410:
            return DXGI_FORMAT_R10G10B10A2_UNORM;
        case VKO_COLOR_FORMAT_Y416:
            return DXGI_FORMAT_R16G16B16A16_UNORM;
        case VKO_COLOR_FORMAT_NV12:
            return p == 0 ? DXGI_FORMAT_R8_UNORM : DXGI_FORMAT_R8G8_UNORM;
        case VKO_COLOR_FORMAT_I420:
            return DXGI_FORMAT_R8_UNORM;
        case VKO_COLOR_FORMAT_P010:
            return p == 0 ? DXGI_FORMAT_R16_UNORM : DXGI_FORMAT_R16G16_UNORM;
        case VKO_COLOR_FORMAT_I420_16:
            return DXGI_FORMAT_R16_UNORM;
        default:
            return DXGI_FORMAT_UNKNOWN;
    }
}

// One plane of a description's picture as the renderers upload it: its size,
// source pitch (pixels), bytes per pixel, and where the next plane starts.
struct D3DPlaneGeometry {
    uint32_t width, height, pitch, bpp;
    uint64_t next;  // bytes from this plane's start to the next plane's
    bool ok;        // the description can hold the plane
};
inline D3DPlaneGeometry d3d_plane_geometry(const VKO_RenderDesc *desc, uint32_t p) {
    const VKO_ColorFormatInfo &info = vko_color_formats[desc->format];
    const uint32_t hdiv = p == 0 || desc->chroma == 0 ? 1 : 2;
    const uint32_t vdiv = p != 0 && desc->chroma == 2 ? 2 : 1;
    D3DPlaneGeometry g;
    g.bpp = info.bytes_per_sample * (p == 1 && info.planes == 2 ? 2 : 1);
    g.width = desc->image_width / hdiv;
    g.height = desc->image_height / vdiv;
    g.pitch = desc->stride / hdiv;
    g.next = uint64_t(desc->stride / hdiv) * (desc->plane_height / vdiv) * g.bpp;
    g.ok = g.width != 0 && g.height != 0 && g.pitch >= g.width && desc->plane_height / vdiv >= g.height;
    return g;
}

// The video constant block of a frame drawn with the renderer's format.
inline VS_CONSTANT_BUFFER d3d_video_constants(const VKO_RenderDesc *desc, uint32_t format, float vp_height) {
    const VKO_ColorFormatInfo &info = vko_color_formats[format];
    VS_CONSTANT_BUFFER cb{};
    cb.width = float(desc->image_width);
    cb.height = float(desc->image_height);
    cb.vp_height = vp_height;
    cb.effects[0] = desc->effects[0];
    cb.effects[1] = desc->effects[1];
    cb.levels[0] = desc->levels[0];
    cb.levels[1] = desc->levels[1];
    cb.planes = info.planes;
    cb.rotation = desc->rotation;
    cb.conversion = (desc->full_range ? D3D_CONV_FULL_RANGE : 0u) |
                    (info.high_depth ? D3D_CONV_HIGH_DEPTH : 0u) |
                    (desc->lsb_aligned ? D3D_CONV_LSB_ALIGNED : 0u) | (info.yuv ? D3D_CONV_YUV : 0u);
    return cb;
}

// Destroy of a row's overlay record through its own release; clears *ui.
template <typename T, void (*destroy)(T *)>
void d3d_ui_destroy(void **ui) {
    if (!ui || !*ui) return;
    destroy(static_cast<T *>(*ui));
    *ui = nullptr;
}

// Whether the overlay's draw data can be drawn: a display of positive size,
// lists, and totals that cover the lists (or the copies would run past the
// buffers sized by the totals).
inline bool d3d_ui_data_ok(const VKO_DrawData *data) {
    if (!(data->display_width > 0) || !(data->display_height > 0) || !data->lists || data->list_count == 0)
        return false;
    uint64_t vtx = 0, idx = 0;
    for (uint32_t l = 0; l < data->list_count; l++) {
        vtx += data->lists[l].vtx_count;
        idx += data->lists[l].idx_count;
    }
    return vtx <= data->total_vtx && idx <= data->total_idx;
}

// Copies every list's vertices and 16-bit indices one after the other into
// the mapped vertex and index buffers.
inline void d3d_ui_copy_lists(const VKO_DrawData *data, void *vtx, void *idx) {
    auto *vdst = static_cast<uint8_t *>(vtx);
    auto *idst = static_cast<uint8_t *>(idx);
    for (uint32_t l = 0; l < data->list_count; l++) {
        const VKO_CmdList &cl = data->lists[l];
        if (cl.vtx_count) memcpy(vdst, cl.vtx, size_t(cl.vtx_count) * sizeof(VKO_Vtx));
        if (cl.idx_count) memcpy(idst, cl.idx, size_t(cl.idx_count) * 2);
        vdst += size_t(cl.vtx_count) * sizeof(VKO_Vtx);
        idst += size_t(cl.idx_count) * 2;
    }
}

// The overlay's projection of a W x H display.
inline void d3d_ui_projection(float W, float H, float proj[16]) {
    const float p[16] = {2 / W, 0, 0, 0, 0, -2 / H, 0, 0, 0, 0, 0.5f, 0, -1, 1, 0.5f, 1};
    memcpy(proj, p, sizeof(p));
}

// The scissor of a command; false when its clip lies wholly off a W x H
// display and it is skipped. The edges are kept within the display before
// they become integers: a clip far past it still covers it.
inline bool d3d_ui_scissor(const VKO_Cmd &cmd, float W, float H, D3D11_RECT *r) {
    if (cmd.clip[0] >= W || cmd.clip[1] >= H || cmd.clip[2] < 0 || cmd.clip[3] < 0) return false;
    auto edge = [](float v, float size) {
        const float most = std::min(std::ceil(size), 16777216.0f);  // no target is wider
        v = std::nearbyint(v);
        return v > 0 ? int32_t(v < most ? v : most) : 0;  // NaN becomes 0
    };
    *r = {edge(cmd.clip[0], W), edge(cmd.clip[1], H), edge(cmd.clip[2], W), edge(cmd.clip[3], H)};
    return true;
}
