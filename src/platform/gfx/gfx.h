// Window graphics: the records every renderer reads (one video frame's render
// description, the overlay's draw lists), the colour-format table, the viewport
// rule, and the three dispatch tables through which the window glue reaches
// the contexts and renderers of each graphics interface without naming one.
#pragma once

#include <cstdint>

enum VKO_GFX : uint32_t {
    VKO_GFX_NONE = 0,
    VKO_GFX_OPENGL = 1,
    VKO_GFX_VULKAN = 2,
    VKO_GFX_D3D11 = 3,
    VKO_GFX_D3D12 = 4,
    VKO_GFX_METAL = 5,
};
constexpr uint32_t VKO_GFX_ROWS = 5;  // rows 0..4; 2, 3 and 4 have back-ends

enum VKO_ColorFormat : uint32_t {
    VKO_COLOR_FORMAT_UNKNOWN = 0,
    VKO_COLOR_FORMAT_BGRA = 1,
    VKO_COLOR_FORMAT_RGBA = 2,
    VKO_COLOR_FORMAT_BGR565 = 3,
    VKO_COLOR_FORMAT_BGRA5551 = 4,
    VKO_COLOR_FORMAT_AYUV = 5,
    VKO_COLOR_FORMAT_Y410 = 6,
    VKO_COLOR_FORMAT_Y416 = 7,
    VKO_COLOR_FORMAT_NV12 = 8,
    VKO_COLOR_FORMAT_I420 = 9,
    VKO_COLOR_FORMAT_P010 = 10,
    VKO_COLOR_FORMAT_I420_16 = 11,
};
constexpr uint32_t VKO_COLOR_FORMAT_COUNT = 12;

// One row of the colour-format table: four bytes.
struct VKO_ColorFormatInfo {
    uint8_t planes;
    uint8_t bytes_per_sample;
    uint8_t yuv;
    uint8_t high_depth;
};
extern const VKO_ColorFormatInfo vko_color_formats[VKO_COLOR_FORMAT_COUNT];

// Effect slots of a render description.
enum : uint32_t { VKO_EFFECT_NONE = 0, VKO_EFFECT_SCANLINE = 1, VKO_EFFECT_SHARPEN = 2 };

struct VKO_RenderDesc {
    uint32_t format;      // VKO_ColorFormat; 0: draw the previous image again
    uint32_t rotation;    // quarter turns 0..3
    uint32_t chroma;      // 0 4:4:4, 2 4:2:0, other 4:2:2
    uint32_t filter;      // 0 nearest, other linear
    uint32_t effects[2];  // VKO_EFFECT_*
    float levels[2];
    uint8_t full_range;
    uint8_t lsb_aligned;
    uint8_t layer;  // 0 video (clears first), 1 overlay (blends)
    uint32_t stride;
    uint32_t plane_height;
    uint32_t image_width, image_height;
    uint32_t view_width, view_height;
    float aspect;
    float scale;
    uint8_t shared;
};

struct VKO_Vtx {
    float pos[2];
    float uv[2];
    uint8_t col[4];
};
static_assert(sizeof(VKO_Vtx) == 20);

struct VKO_Cmd {
    float clip[4];  // left, top, right, bottom in target pixels
    uint32_t texture;
    uint32_t elem_count;
    uint32_t idx_offset;
    uint32_t vtx_offset;
};

struct VKO_CmdList {
    VKO_Cmd *cmds;
    VKO_Vtx *vtx;
    uint16_t *idx;
    uint32_t cmd_count, cmd_capacity;
    uint32_t vtx_count, vtx_capacity;
    uint32_t idx_count, idx_capacity;
};

struct VKO_DrawData {
    float display_width;
    float display_height;
    VKO_CmdList *lists;
    uint32_t list_count;
    uint32_t list_capacity;
    uint32_t total_idx;
    uint32_t total_vtx;
    uint8_t clear;
};

// Where plane p (0..2) of a description's image starts, in bytes from plane 0,
// and the size of one of its rows in bytes; false when the format has no such plane.
bool vko_gfx_plane(const VKO_RenderDesc *desc, uint32_t plane, uint64_t *offset, uint32_t *row_bytes,
                   uint32_t *rows);

// The picture's place inside the view: fit, scale and centre.
void vko_gfx_viewport(const VKO_RenderDesc *desc, float *x, float *y, float *width, float *height);

// Dispatch tables. The objects are the interface's own, passed opaquely.
struct vko_gfx_ctx_api {
    void *(*create)(void *window, bool vsync);
    void (*destroy)(void **ctx);
    void (*present)(void *ctx);
    void (*get_size)(void *ctx, uint32_t *width, uint32_t *height);
    void *(*get_device)(void *ctx);
    void *(*get_context)(void *ctx);
    void *(*get_surface)(void *ctx);
    void (*set_sync_interval)(void *ctx, uint32_t value);
    bool (*lock)(void *ctx);
    void (*unlock)(void *ctx);
    // Changes whenever the context makes its device again (after a loss),
    // even when the new device has the old one's address. May be NULL.
    uint64_t (*get_generation)(void *ctx);
};

struct vko_gfx_api {
    void *(*create)(void *device, uint8_t layer);
    void (*destroy)(void **renderer, void *device);
    bool (*shared_test)(void *device, void *context, void **shared_handle);
    bool (*render)(void *renderer, void *device, void *context, const void *image, const VKO_RenderDesc *desc,
                   void *surface);
    bool (*clear)(void *renderer, void *device, void *context, uint32_t width, uint32_t height, float r,
                  float g, float b, float a, void *surface);
};

struct vko_gfx_ui_api {
    void *(*create)(void *device);
    void (*destroy)(void **ui, void *device);
    bool (*render)(void *ui, void *device, void *context, const VKO_DrawData *data, void *texture_map,
                   void *surface);
    void *(*create_texture)(void *ui, void *device, const void *rgba, uint32_t width, uint32_t height);
    void (*destroy_texture)(void *ui, void **texture, void *device);
};

// Rows indexed by VKO_GFX; a row whose interface is not built here is all NULL.
// Not const: a test puts a counting row of its own in place of one.
extern vko_gfx_ctx_api vko_gfx_ctx_apis[VKO_GFX_ROWS];
extern vko_gfx_api vko_gfx_apis[VKO_GFX_ROWS];
extern vko_gfx_ui_api vko_gfx_ui_apis[VKO_GFX_ROWS];

// The glue's mapping of a requested interface: 0 stays 0, 2..4 stay, every
// other value becomes Direct3D 11.
VKO_GFX vko_gfx_resolve(uint32_t requested);

// The picture's constant block as every row's video shader reads it (the
// Direct3D rows at pixel-shader slot 0, Vulkan through its uniform buffer).
struct VS_CONSTANT_BUFFER {
    float width;
    float height;
    float vp_height;
    float pad0;
    uint32_t effects[4];
    float levels[4];
    uint32_t planes;
    uint32_t rotation;
    uint32_t conversion;
    uint32_t pad1;
};
static_assert(sizeof(VS_CONSTANT_BUFFER) == 64);
