// Direct3D 11 video-frame and UI renderers. Plane textures, UI buffers and the
// constant blocks are kept between frames; the video constant buffer is
// written only when its 64 bytes change.
#include <cmath>
#include <cstring>

#include "compat/d3d/d3d.h"
#include "platform/gfx/d3d11.h"
#include "platform/gfx/d3d11_shaders.h"
#include "platform/gfx/d3d_frame.h"
#include "platform/log.h"
#include "platform/map.h"

namespace {

struct d3d11_plane {
    uint32_t format;  // DXGI_FORMAT
    ID3D11Resource *texture;
    ID3D11ShaderResourceView *srv;
    uint32_t width, height;
    uint8_t shared;
};

}  // namespace

struct vko_d3d11_frame {
    uint32_t format;
    d3d11_plane planes[3];
    uint8_t last_block[64];
    ID3D11VertexShader *vs;
    ID3D11PixelShader *ps;
    ID3D11Buffer *vb;
    ID3D11Buffer *ib;
    ID3D11Buffer *cb;
    ID3D11Resource *cb_res;
    ID3D11InputLayout *layout;
    ID3D11SamplerState *point;
    ID3D11SamplerState *linear;
    ID3D11BlendState *blend;
    ID3D11RasterizerState *raster;
    ID3D11DepthStencilState *depth;
};

namespace {

struct d3d11_ui_buffer {
    ID3D11Buffer *buffer;
    ID3D11Resource *res;
    uint32_t capacity;
};

}  // namespace

struct vko_d3d11_ui {
    d3d11_ui_buffer vb;
    d3d11_ui_buffer ib;
    ID3D11VertexShader *vs;
    ID3D11InputLayout *layout;
    ID3D11Buffer *cb;
    ID3D11Resource *cb_res;
    ID3D11PixelShader *ps;
    ID3D11SamplerState *sampler;
    ID3D11RasterizerState *raster;
    ID3D11BlendState *blend;
    ID3D11DepthStencilState *depth;
};

namespace {

constexpr float QUAD[16] = {-1, -1, 0, 1, -1, 1, 0, 0, 1, 1, 1, 0, 1, -1, 1, 1};
constexpr uint32_t QUAD_IDX[6] = {0, 1, 2, 2, 3, 0};

void clear_plane(d3d11_plane *p) {
    d3d_release(&p->srv);
    d3d_release(&p->texture);
    *p = {};
}

D3D11_BLEND_DESC blend_desc() {
    D3D11_BLEND_DESC d{};
    d.RenderTarget[0] = {1,
                         D3D11_BLEND_SRC_ALPHA,
                         D3D11_BLEND_INV_SRC_ALPHA,
                         D3D11_BLEND_OP_ADD,
                         D3D11_BLEND_INV_SRC_ALPHA,
                         D3D11_BLEND_ZERO,
                         D3D11_BLEND_OP_ADD,
                         D3D11_COLOR_WRITE_ENABLE_ALL};
    return d;
}

// The blend (the renderers' one blend description), rasteriser and
// depth-stencil states both renderers make, each failure logged with its call.
bool create_output_states(ID3D11Device *dev, const char *tag, const D3D11_RASTERIZER_DESC &raster,
                          const D3D11_DEPTH_STENCIL_DESC &depth, ID3D11BlendState **blend_out,
                          ID3D11RasterizerState **raster_out, ID3D11DepthStencilState **depth_out) {
    const D3D11_BLEND_DESC b = blend_desc();
    HRESULT hr = dev->CreateBlendState(&b, blend_out);
    if (hr < 0) {
        VKO_Log(tag, "'ID3D11Device_CreateBlendState' failed with HRESULT 0x%X", unsigned(hr));
        return false;
    }
    hr = dev->CreateRasterizerState(&raster, raster_out);
    if (hr < 0) {
        VKO_Log(tag, "'ID3D11Device_CreateRasterizerState' failed with HRESULT 0x%X", unsigned(hr));
        return false;
    }
    hr = dev->CreateDepthStencilState(&depth, depth_out);
    if (hr < 0) {
        VKO_Log(tag, "'ID3D11Device_CreateDepthStencilState' failed with HRESULT 0x%X", unsigned(hr));
        return false;
    }
    return true;
}

// d3d11_crop_copy: only the visible width of each row; the padding stays.
bool d3d11_crop_copy(ID3D11DeviceContext *ctx, ID3D11Resource *tex, const uint8_t *src, uint32_t width,
                     uint32_t height, uint32_t pitch, uint32_t bpp) {
    D3D11_MAPPED_SUBRESOURCE m;
    HRESULT hr = ctx->Map(tex, 0, D3D11_MAP_WRITE_DISCARD, 0, &m);
    if (hr < 0) {
        VKO_Log("d3d11_crop_copy", "'ID3D11DeviceContext_Map' failed with HRESULT 0x%X", unsigned(hr));
        return false;
    }
    const size_t row = size_t(width) * bpp;
    for (uint32_t y = 0; y < height; y++)
        memcpy(static_cast<uint8_t *>(m.pData) + size_t(y) * m.RowPitch, src + size_t(y) * pitch * bpp, row);
    ctx->Unmap(tex, 0);
    return true;
}

bool d3d11_refresh_resource(ID3D11Device *dev, ID3D11DeviceContext *ctx, d3d11_plane *p, DXGI_FORMAT format,
                            const uint8_t *src, uint32_t width, uint32_t height, uint32_t pitch,
                            uint32_t bpp) {
    if (!p->texture || p->shared || p->width != width || p->height != height || p->format != format) {
        clear_plane(p);
        D3D11_TEXTURE2D_DESC d = {width,
                                  height,
                                  1,
                                  1,
                                  format,
                                  {1, 0},
                                  D3D11_USAGE_DYNAMIC,
                                  D3D11_BIND_SHADER_RESOURCE,
                                  D3D11_CPU_ACCESS_WRITE,
                                  0};
        ID3D11Texture2D *tex = nullptr;
        HRESULT hr = dev->CreateTexture2D(&d, nullptr, &tex);
        if (hr < 0) {
            VKO_Log("d3d11_refresh_resource", "'ID3D11Device_CreateTexture2D' failed with HRESULT 0x%X",
                    unsigned(hr));
            return false;
        }
        hr = tex->QueryInterface(&p->texture);
        tex->Release();
        if (hr < 0) {
            VKO_Log("d3d11_refresh_resource", "'ID3D11Texture2D_QueryInterface' failed with HRESULT 0x%X",
                    unsigned(hr));
            clear_plane(p);
            return false;
        }
        D3D11_SHADER_RESOURCE_VIEW_DESC v = {format, D3D11_SRV_DIMENSION_TEXTURE2D, {0, 1}};
        hr = dev->CreateShaderResourceView(p->texture, &v, &p->srv);
        if (hr < 0) {
            VKO_Log("d3d11_refresh_resource",
                    "'ID3D11Device_CreateShaderResourceView' failed with HRESULT 0x%X", unsigned(hr));
            clear_plane(p);
            return false;
        }
        p->format = format;
        p->width = width;
        p->height = height;
        p->shared = 0;
    }
    if (!d3d11_crop_copy(ctx, p->texture, src, width, height, pitch, bpp)) {
        clear_plane(p);
        return false;
    }
    return true;
}

bool d3d11_map_shared_resource(vko_d3d11_frame *f, ID3D11Device *dev, const void *image) {
    void *const *handles = static_cast<void *const *>(image);
    for (int i = 0; i < 3; i++) {
        if (!handles[i]) continue;
        d3d11_plane *p = &f->planes[i];
        clear_plane(p);
        ID3D11Texture2D *opened = nullptr;
        HRESULT hr = dev->OpenSharedResource(handles[i], &opened);
        if (hr < 0) {
            VKO_Log("d3d11_map_shared_resource", "Failure for index %d shared pointer %p", i, handles[i]);
            VKO_Log("d3d11_map_shared_resource", "'ID3D11Device_OpenSharedResource' failed with HRESULT 0x%X",
                    unsigned(hr));
            for (d3d11_plane &q : f->planes) clear_plane(&q);
            return false;
        }
        // The IDXGIResource and ID3D11Texture2D faces are the same object here.
        hr = d3d_fault("IDXGIResource_QueryInterface");
        if (hr < 0) {
            opened->Release();
            VKO_Log("d3d11_map_shared_resource", "'IDXGIResource_QueryInterface' failed with HRESULT 0x%X",
                    unsigned(hr));
            for (d3d11_plane &q : f->planes) clear_plane(&q);
            return false;
        }
        hr = opened->QueryInterface(&p->texture);
        opened->Release();
        if (hr < 0) {
            VKO_Log("d3d11_map_shared_resource", "'ID3D11Texture2D_QueryInterface' failed with HRESULT 0x%X",
                    unsigned(hr));
            for (d3d11_plane &q : f->planes) clear_plane(&q);
            return false;
        }
        D3D11_TEXTURE2D_DESC d;
        p->texture->as_texture()->GetDesc(&d);
        D3D11_SHADER_RESOURCE_VIEW_DESC v = {d.Format, D3D11_SRV_DIMENSION_TEXTURE2D, {0, 1}};
        hr = dev->CreateShaderResourceView(p->texture, &v, &p->srv);
        if (hr < 0) {
            VKO_Log("d3d11_map_shared_resource",
                    "'ID3D11Device_CreateShaderResourceView' failed for index %d with HRESULT 0x%X", i,
                    unsigned(hr));
            for (d3d11_plane &q : f->planes) clear_plane(&q);
            return false;
        }
        p->format = d.Format;
        p->width = d.Format == DXGI_FORMAT_R16G16_UNORM || d.Format == DXGI_FORMAT_R8G8_UNORM ? d.Width / 2
                                                                                              : d.Width;
        p->height = d.Height;
        p->shared = 1;
    }
    return true;
}

void destroy_frame(vko_d3d11_frame *f) {
    for (d3d11_plane &p : f->planes) clear_plane(&p);
    d3d_release(&f->vs);
    d3d_release(&f->ps);
    d3d_release(&f->vb);
    d3d_release(&f->ib);
    d3d_release(&f->cb_res);
    d3d_release(&f->cb);
    d3d_release(&f->layout);
    d3d_release(&f->point);
    d3d_release(&f->linear);
    d3d_release(&f->blend);
    d3d_release(&f->raster);
    d3d_release(&f->depth);
    delete f;
}

const D3D11_INPUT_ELEMENT_DESC VIDEO_LAYOUT[2] = {
    {"POSITION", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
    {"TEXCOORD", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 8, D3D11_INPUT_PER_VERTEX_DATA, 0},
};
const D3D11_INPUT_ELEMENT_DESC UI_LAYOUT[3] = {
    {"POSITION", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
    {"TEXCOORD", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 8, D3D11_INPUT_PER_VERTEX_DATA, 0},
    {"COLOR", 0, DXGI_FORMAT_R8G8B8A8_UNORM, 0, 16, D3D11_INPUT_PER_VERTEX_DATA, 0},
};

}  // namespace

void *vko_d3d11_create(void *device, uint8_t) {
    auto *dev = static_cast<ID3D11Device *>(device);
    if (!dev) return nullptr;
    auto *f = new vko_d3d11_frame{};
    const char *tag = "vko_d3d11_create";
    HRESULT hr = dev->CreateVertexShader(&d3d_video_vs_code, sizeof(d3d_video_vs_code), nullptr, &f->vs);
    if (hr < 0) {
        VKO_Log(tag, "'ID3D11Device_CreateVertexShader' failed with HRESULT 0x%X", unsigned(hr));
        goto fail;
    }
    hr = dev->CreatePixelShader(&d3d_video_ps_code, sizeof(d3d_video_ps_code), nullptr, &f->ps);
    if (hr < 0) {
        VKO_Log(tag, "'ID3D11Device_CreatePixelShader' failed with HRESULT 0x%X", unsigned(hr));
        goto fail;
    }
    {
        D3D11_BUFFER_DESC vd = {sizeof(QUAD), D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
        D3D11_SUBRESOURCE_DATA vdata = {QUAD, 0, 0};
        D3D11_BUFFER_DESC id = {sizeof(QUAD_IDX), D3D11_USAGE_DEFAULT, D3D11_BIND_INDEX_BUFFER, 0, 0, 0};
        D3D11_SUBRESOURCE_DATA idata = {QUAD_IDX, 0, 0};
        D3D11_BUFFER_DESC cd = {
            64, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, D3D11_CPU_ACCESS_WRITE, 0, 0};
        if ((hr = dev->CreateBuffer(&vd, &vdata, &f->vb)) < 0 ||
            (hr = dev->CreateBuffer(&id, &idata, &f->ib)) < 0 ||
            (hr = dev->CreateBuffer(&cd, nullptr, &f->cb)) < 0) {
            VKO_Log(tag, "'ID3D11Device_CreateBuffer' failed with HRESULT 0x%X", unsigned(hr));
            goto fail;
        }
    }
    hr = f->cb->QueryInterface(&f->cb_res);
    if (hr < 0) {
        VKO_Log(tag, "'ID3D11Buffer_QueryInterface' failed with HRESULT 0x%X", unsigned(hr));
        goto fail;
    }
    hr = dev->CreateInputLayout(VIDEO_LAYOUT, 2, &d3d_video_vs_code, sizeof(d3d_video_vs_code), &f->layout);
    if (hr < 0) {
        VKO_Log(tag, "'ID3D11Device_CreateInputLayout' failed with HRESULT 0x%X", unsigned(hr));
        goto fail;
    }
    {
        D3D11_SAMPLER_DESC s{};
        s.AddressU = s.AddressV = s.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
        s.Filter = D3D11_FILTER_MIN_MAG_MIP_POINT;
        if ((hr = dev->CreateSamplerState(&s, &f->point)) >= 0) {
            s.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
            hr = dev->CreateSamplerState(&s, &f->linear);
        }
        if (hr < 0) {
            VKO_Log(tag, "'ID3D11Device_CreateSamplerState' failed with HRESULT 0x%X", unsigned(hr));
            goto fail;
        }
    }
    {
        D3D11_RASTERIZER_DESC r{};
        r.FillMode = D3D11_FILL_SOLID;
        r.CullMode = D3D11_CULL_NONE;
        const D3D11_DEPTH_STENCIL_DESC ds{};
        if (!create_output_states(dev, tag, r, ds, &f->blend, &f->raster, &f->depth)) goto fail;
    }
    return f;
fail:
    destroy_frame(f);
    return nullptr;
}

void vko_d3d11_destroy(void **renderer, void *) {
    if (!renderer || !*renderer) return;
    destroy_frame(static_cast<vko_d3d11_frame *>(*renderer));
    *renderer = nullptr;
}

bool vko_d3d11_valid_shared_handle(void *device, void *, void **handle) {
    auto *dev = static_cast<ID3D11Device *>(device);
    if (!dev || !handle) return false;
    ID3D11Texture2D *t = nullptr;
    if (dev->OpenSharedResource(*handle, &t) < 0) return false;
    t->Release();
    return true;
}

bool vko_d3d11_render(void *renderer, void *device, void *context, const void *image,
                      const VKO_RenderDesc *desc, void *surface) {
    auto *f = static_cast<vko_d3d11_frame *>(renderer);
    auto *dev = static_cast<ID3D11Device *>(device);
    auto *ctx = static_cast<ID3D11DeviceContext *>(context);
    auto *rtv = static_cast<ID3D11RenderTargetView *>(surface);
    if (!f || !dev || !ctx || !desc || desc->format >= VKO_COLOR_FORMAT_COUNT) return false;
    if (desc->format != 0) f->format = desc->format;
    if (f->format == 0) {
        // Nothing to draw yet, but layer 0 still owns the whole target.
        if (desc->layer == 0 && rtv) {
            const float black[4] = {0, 0, 0, 1};
            ctx->ClearRenderTargetView(rtv, black);
        }
        return true;
    }

    // vko_d3d11_plane_loop
    if (desc->format != 0) {
        if (!image) return false;
        const VKO_ColorFormatInfo &info = vko_color_formats[desc->format];
        const uint8_t *src = static_cast<const uint8_t *>(image);
        for (uint32_t p = 0; p < info.planes; p++) {
            const D3DPlaneGeometry pg = d3d_plane_geometry(desc, p);
            bool ok;
            if (desc->shared)
                ok = p != 0 || d3d11_map_shared_resource(f, dev, image);
            else if (!pg.ok) {
                // A plane the description cannot hold is never read.
                ok = false;
            } else
                ok = d3d11_refresh_resource(dev, ctx, &f->planes[p], d3d_plane_format(desc->format, p), src,
                                            pg.width, pg.height, pg.pitch, pg.bpp);
            if (!ok) return false;
            src += pg.next;
        }
    }

    float x, y, w, h;
    vko_gfx_viewport(desc, &x, &y, &w, &h);
    const D3D11_VIEWPORT vp = {x, y, w, h, 0, 0};
    ctx->RSSetViewports(1, &vp);
    ctx->OMSetRenderTargets(1, &rtv, nullptr);
    if (desc->layer == 0) {
        const float black[4] = {0, 0, 0, 1};
        ctx->ClearRenderTargetView(rtv, black);
        ctx->OMSetBlendState(nullptr, nullptr, 0xFFFFFFFF);
    } else {
        const float zero[4] = {0, 0, 0, 0};
        ctx->OMSetBlendState(f->blend, zero, 0xFFFFFFFF);
    }
    const uint32_t stride = 16, offset = 0;
    ctx->VSSetShader(f->vs, nullptr, 0);
    ctx->IASetVertexBuffers(0, 1, &f->vb, &stride, &offset);
    ctx->IASetIndexBuffer(f->ib, DXGI_FORMAT_R32_UINT, 0);
    ctx->IASetInputLayout(f->layout);
    ctx->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    ctx->OMSetDepthStencilState(f->depth, 0);
    ctx->RSSetState(f->raster);
    ctx->PSSetShader(f->ps, nullptr, 0);
    ctx->PSSetSamplers(0, 1, desc->filter ? &f->linear : &f->point);
    for (uint32_t p = 0; p < 3; p++)
        if (f->planes[p].srv) ctx->PSSetShaderResources(p, 1, &f->planes[p].srv);

    const VS_CONSTANT_BUFFER cb = d3d_video_constants(desc, f->format, h);
    if (memcmp(&cb, f->last_block, 64) != 0) {
        D3D11_MAPPED_SUBRESOURCE m;
        HRESULT hr = ctx->Map(f->cb_res, 0, D3D11_MAP_WRITE_DISCARD, 0, &m);
        if (hr < 0) {
            VKO_Log("vko_d3d11_render", "'ID3D11DeviceContext_Map' failed with HRESULT 0x%X", unsigned(hr));
            return false;
        }
        memcpy(m.pData, &cb, 64);
        ctx->Unmap(f->cb_res, 0);
        memcpy(f->last_block, &cb, 64);
    }
    ctx->PSSetConstantBuffers(0, 1, &f->cb);
    ctx->DrawIndexed(6, 0, 0);
    return true;
}

bool vko_d3d11_clear(void *, void *, void *context, uint32_t, uint32_t, float r, float g, float b, float a,
                     void *surface) {
    auto *ctx = static_cast<ID3D11DeviceContext *>(context);
    if (!ctx || !surface) return false;
    const float c[4] = {r, g, b, a};
    ctx->ClearRenderTargetView(static_cast<ID3D11RenderTargetView *>(surface), c);
    return true;
}

// ---- UI ----

namespace {

void destroy_ui(vko_d3d11_ui *u) {
    d3d_release(&u->vb.res);
    d3d_release(&u->vb.buffer);
    d3d_release(&u->ib.res);
    d3d_release(&u->ib.buffer);
    d3d_release(&u->vs);
    d3d_release(&u->layout);
    d3d_release(&u->cb_res);
    d3d_release(&u->cb);
    d3d_release(&u->ps);
    d3d_release(&u->sampler);
    d3d_release(&u->raster);
    d3d_release(&u->blend);
    d3d_release(&u->depth);
    delete u;
}

bool d3d11_ui_resize_buffer(ID3D11Device *dev, d3d11_ui_buffer *b, uint32_t needed, uint32_t extra,
                            uint32_t size, uint32_t bind) {
    if (b->buffer && b->capacity >= needed) return true;
    d3d_release(&b->res);
    d3d_release(&b->buffer);
    b->capacity = 0;
    const uint64_t bytes = (uint64_t(needed) + extra) * size;
    if (bytes > (256u << 20)) return false;
    D3D11_BUFFER_DESC d = {uint32_t(bytes), D3D11_USAGE_DYNAMIC, bind, D3D11_CPU_ACCESS_WRITE, 0, 0};
    HRESULT hr = dev->CreateBuffer(&d, nullptr, &b->buffer);
    if (hr < 0) {
        VKO_Log("d3d11_ui_resize_buffer", "'ID3D11Device_CreateBuffer' failed with HRESULT 0x%X",
                unsigned(hr));
        return false;
    }
    hr = b->buffer->QueryInterface(&b->res);
    if (hr < 0) {
        VKO_Log("d3d11_ui_resize_buffer", "'ID3D11Buffer_QueryInterface' failed with HRESULT 0x%X",
                unsigned(hr));
        d3d_release(&b->buffer);
        return false;
    }
    b->capacity = needed + extra;
    return true;
}

}  // namespace

void *vko_d3d11_ui_create(void *device) {
    auto *dev = static_cast<ID3D11Device *>(device);
    if (!dev) return nullptr;
    auto *u = new vko_d3d11_ui{};
    const char *tag = "vko_d3d11_ui_create";
    HRESULT hr = dev->CreateVertexShader(&d3d_ui_vs_code, sizeof(d3d_ui_vs_code), nullptr, &u->vs);
    if (hr < 0) {
        VKO_Log(tag, "'ID3D11Device_CreateVertexShader' failed with HRESULT 0x%X", unsigned(hr));
        goto fail;
    }
    hr = dev->CreateInputLayout(UI_LAYOUT, 3, &d3d_ui_vs_code, sizeof(d3d_ui_vs_code), &u->layout);
    if (hr < 0) {
        VKO_Log(tag, "'ID3D11Device_CreateInputLayout' failed with HRESULT 0x%X", unsigned(hr));
        goto fail;
    }
    {
        D3D11_BUFFER_DESC cd = {
            64, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, D3D11_CPU_ACCESS_WRITE, 0, 0};
        hr = dev->CreateBuffer(&cd, nullptr, &u->cb);
        if (hr < 0) {
            VKO_Log(tag, "'ID3D11Device_CreateBuffer' failed with HRESULT 0x%X", unsigned(hr));
            goto fail;
        }
    }
    hr = u->cb->QueryInterface(&u->cb_res);
    if (hr < 0) {
        VKO_Log(tag, "'ID3D11Buffer_QueryInterface' failed with HRESULT 0x%X", unsigned(hr));
        goto fail;
    }
    hr = dev->CreatePixelShader(&d3d_ui_ps_code, sizeof(d3d_ui_ps_code), nullptr, &u->ps);
    if (hr < 0) {
        VKO_Log(tag, "'ID3D11Device_CreatePixelShader' failed with HRESULT 0x%X", unsigned(hr));
        goto fail;
    }
    {
        D3D11_RASTERIZER_DESC r{};
        r.FillMode = D3D11_FILL_SOLID;
        r.CullMode = D3D11_CULL_NONE;
        r.DepthClipEnable = 1;
        r.ScissorEnable = 1;
        D3D11_DEPTH_STENCIL_DESC ds{};
        ds.DepthWriteMask = D3D11_DEPTH_WRITE_MASK_ALL;
        ds.DepthFunc = D3D11_COMPARISON_ALWAYS;
        ds.FrontFace = {D3D11_STENCIL_OP_KEEP, D3D11_STENCIL_OP_KEEP, D3D11_STENCIL_OP_KEEP,
                        D3D11_COMPARISON_ALWAYS};
        ds.BackFace = ds.FrontFace;
        if (!create_output_states(dev, tag, r, ds, &u->blend, &u->raster, &u->depth)) goto fail;
        D3D11_SAMPLER_DESC s{};
        s.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
        s.AddressU = s.AddressV = s.AddressW = D3D11_TEXTURE_ADDRESS_WRAP;
        s.ComparisonFunc = D3D11_COMPARISON_ALWAYS;
        hr = dev->CreateSamplerState(&s, &u->sampler);
        if (hr < 0) {
            VKO_Log(tag, "'ID3D11Device_CreateSamplerState' failed with HRESULT 0x%X", unsigned(hr));
            goto fail;
        }
    }
    return u;
fail:
    destroy_ui(u);
    return nullptr;
}

void vko_d3d11_ui_destroy(void **ui, void *) {
    d3d_ui_destroy<vko_d3d11_ui, destroy_ui>(ui);
}

bool vko_d3d11_ui_render(void *ui, void *device, void *context, const VKO_DrawData *data, void *texture_map,
                         void *surface) {
    auto *u = static_cast<vko_d3d11_ui *>(ui);
    auto *dev = static_cast<ID3D11Device *>(device);
    auto *ctx = static_cast<ID3D11DeviceContext *>(context);
    if (!u || !dev || !ctx || !data) return false;
    const float W = data->display_width, H = data->display_height;
    if (!d3d_ui_data_ok(data)) return false;
    if (!d3d11_ui_resize_buffer(dev, &u->vb, data->total_vtx, 5120, sizeof(VKO_Vtx),
                                D3D11_BIND_VERTEX_BUFFER) ||
        !d3d11_ui_resize_buffer(dev, &u->ib, data->total_idx, 10240, sizeof(uint16_t),
                                D3D11_BIND_INDEX_BUFFER))
        return false;
    D3D11_MAPPED_SUBRESOURCE vm, im;
    HRESULT hr = ctx->Map(u->vb.res, 0, D3D11_MAP_WRITE_DISCARD, 0, &vm);
    if (hr >= 0) {
        hr = ctx->Map(u->ib.res, 0, D3D11_MAP_WRITE_DISCARD, 0, &im);
        if (hr < 0) ctx->Unmap(u->vb.res, 0);
    }
    if (hr < 0) {
        VKO_Log("vko_d3d11_ui_render", "'ID3D11DeviceContext_Map' failed with HRESULT 0x%X", unsigned(hr));
        return false;
    }
    d3d_ui_copy_lists(data, vm.pData, im.pData);
    ctx->Unmap(u->vb.res, 0);
    ctx->Unmap(u->ib.res, 0);
    D3D11_MAPPED_SUBRESOURCE cm;
    hr = ctx->Map(u->cb_res, 0, D3D11_MAP_WRITE_DISCARD, 0, &cm);
    if (hr < 0) {
        VKO_Log("vko_d3d11_ui_render", "'ID3D11DeviceContext_Map' failed with HRESULT 0x%X", unsigned(hr));
        return false;
    }
    float proj[16];
    d3d_ui_projection(W, H, proj);
    memcpy(cm.pData, proj, sizeof(proj));
    ctx->Unmap(u->cb_res, 0);

    if (surface) {
        auto *rtv = static_cast<ID3D11RenderTargetView *>(surface);
        ctx->OMSetRenderTargets(1, &rtv, nullptr);
        const D3D11_VIEWPORT vp = {0, 0, W, H, 0, 1};
        ctx->RSSetViewports(1, &vp);
        if (data->clear) {
            const float black[4] = {0, 0, 0, 1};
            ctx->ClearRenderTargetView(rtv, black);
        }
    }
    const uint32_t stride = sizeof(VKO_Vtx), offset = 0;
    const float zero[4] = {0, 0, 0, 0};
    ctx->IASetInputLayout(u->layout);
    ctx->IASetVertexBuffers(0, 1, &u->vb.buffer, &stride, &offset);
    ctx->IASetIndexBuffer(u->ib.buffer, DXGI_FORMAT_R16_UINT, 0);
    ctx->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    ctx->VSSetShader(u->vs, nullptr, 0);
    ctx->VSSetConstantBuffers(0, 1, &u->cb);
    ctx->PSSetShader(u->ps, nullptr, 0);
    ctx->PSSetSamplers(0, 1, &u->sampler);
    ctx->OMSetBlendState(u->blend, zero, 0xFFFFFFFF);
    ctx->OMSetDepthStencilState(u->depth, 0);
    ctx->RSSetState(u->raster);

    VKO_Hash *map = static_cast<VKO_Hash *>(texture_map);
    uint32_t idx_base = 0, vtx_base = 0;
    for (uint32_t l = 0; l < data->list_count; l++) {
        const VKO_CmdList &cl = data->lists[l];
        for (uint32_t c = 0; cl.cmds && c < cl.cmd_count; c++) {
            const VKO_Cmd &cmd = cl.cmds[c];
            D3D11_RECT r;
            if (!d3d_ui_scissor(cmd, W, H, &r)) continue;
            ctx->RSSetScissorRects(1, &r);
            auto *srv = cmd.texture && map
                            ? static_cast<ID3D11ShaderResourceView *>(VKO_HashGetInt(map, cmd.texture))
                            : nullptr;
            ctx->PSSetShaderResources(0, 1, &srv);
            // Elements past the list's own indices are never drawn.
            if (uint64_t(cmd.idx_offset) + cmd.elem_count <= cl.idx_count)
                ctx->DrawIndexed(cmd.elem_count, idx_base + cmd.idx_offset,
                                 int32_t(vtx_base + cmd.vtx_offset));
        }
        idx_base += cl.idx_count;
        vtx_base += cl.vtx_count;
    }
    return true;
}

void *vko_d3d11_ui_create_texture(void *, void *device, const void *rgba, uint32_t width, uint32_t height) {
    auto *dev = static_cast<ID3D11Device *>(device);
    if (!dev || !rgba) return nullptr;
    const char *tag = "vko_d3d11_ui_create_texture";
    D3D11_TEXTURE2D_DESC d = {width,
                              height,
                              1,
                              1,
                              DXGI_FORMAT_R8G8B8A8_UNORM,
                              {1, 0},
                              D3D11_USAGE_DEFAULT,
                              D3D11_BIND_SHADER_RESOURCE,
                              0,
                              0};
    ID3D11Texture2D *tex = nullptr;
    HRESULT hr = dev->CreateTexture2D(&d, rgba, &tex);
    if (hr < 0) {
        VKO_Log(tag, "'ID3D11Device_CreateTexture2D' failed with HRESULT 0x%X", unsigned(hr));
        return nullptr;
    }
    ID3D11Resource *res = nullptr;
    hr = tex->QueryInterface(&res);
    tex->Release();
    if (hr < 0) {
        VKO_Log(tag, "'ID3D11Texture2D_QueryInterface' failed with HRESULT 0x%X", unsigned(hr));
        return nullptr;
    }
    D3D11_SHADER_RESOURCE_VIEW_DESC v = {DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_SRV_DIMENSION_TEXTURE2D, {0, 1}};
    ID3D11ShaderResourceView *srv = nullptr;
    hr = dev->CreateShaderResourceView(res, &v, &srv);
    res->Release();
    if (hr < 0) {
        VKO_Log(tag, "'ID3D11Device_CreateShaderResourceView' failed with HRESULT 0x%X", unsigned(hr));
        return nullptr;
    }
    return srv;
}

void vko_d3d11_ui_destroy_texture(void *, void **texture, void *) {
    if (!texture || !*texture) return;
    static_cast<ID3D11ShaderResourceView *>(*texture)->Release();
    *texture = nullptr;
}
