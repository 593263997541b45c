// Direct3D 12 video-frame and UI renderers. They record into the context's
// command list; uploads, constants and descriptors are written while
// recording and read when the list executes at present, which the context
// follows with a fence wait, so they are reused frame after frame. Every SRV
// slot of the video table holds a descriptor from creation on (a null one
// until its plane exists), because the whole table is bound.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>

#include "compat/d3d/d3d12.h"
#include "platform/gfx/d3d11_shaders.h"
#include "platform/gfx/d3d12.h"
#include "platform/gfx/d3d_frame.h"
#include "platform/log.h"
#include "platform/map.h"

namespace {

struct d3d12_plane {
    uint32_t format;  // DXGI_FORMAT
    ID3D12Resource *upload;
    ID3D12Resource *texture;
    D3D12_CPU_DESCRIPTOR_HANDLE srv;
    uint32_t width, height;
};

}  // namespace

struct vko_d3d12_frame {
    uint32_t format;
    uint8_t last_block[64];
    d3d12_plane planes[3];
    ID3D12RootSignature *root;
    ID3D12PipelineState *pso;
    ID3D12DescriptorHeap *srv_heap;
    ID3D12DescriptorHeap *sampler_heap;
    D3D12_GPU_DESCRIPTOR_HANDLE srv_gpu;
    D3D12_GPU_DESCRIPTOR_HANDLE linear_gpu;
    D3D12_GPU_DESCRIPTOR_HANDLE point_gpu;
    ID3D12Resource *vb;
    ID3D12Resource *ib;
    ID3D12Resource *cb;
};

namespace {

struct d3d12_ui_buffer {
    ID3D12Resource *res;
    uint32_t capacity;
};

}  // namespace

struct vko_d3d12_ui_texture {
    ID3D12Resource *upload;
    ID3D12Resource *texture;
    ID3D12DescriptorHeap *heap;
    D3D12_GPU_DESCRIPTOR_HANDLE srv;
    uint32_t width, height;
    uint8_t uploaded;
};

struct vko_d3d12_ui {
    ID3D12RootSignature *root;
    ID3D12PipelineState *pso;
    d3d12_ui_buffer vb;
    d3d12_ui_buffer ib;
    vko_d3d12_ui_texture *fallback;  // 256 x 256 zeros
};

namespace {

constexpr float QUAD[16] = {-1, -1, 0, 1, -1, 1, 0, 0, 1, 1, 1, 0, 1, -1, 1, 1};
constexpr uint32_t QUAD_IDX[6] = {0, 1, 2, 2, 3, 0};

const D3D12_INPUT_ELEMENT_DESC VIDEO_LAYOUT[2] = {
    {"POSITION", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
    {"TEXCOORD", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 8, D3D11_INPUT_PER_VERTEX_DATA, 0},
};
const D3D12_INPUT_ELEMENT_DESC UI_LAYOUT[3] = {
    {"POSITION", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
    {"TEXCOORD", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 8, D3D11_INPUT_PER_VERTEX_DATA, 0},
    {"COLOR", 0, DXGI_FORMAT_R8G8B8A8_UNORM, 0, 16, D3D11_INPUT_PER_VERTEX_DATA, 0},
};

uint32_t aligned_pitch(uint64_t row) {
    return uint32_t((row + D3D12_TEXTURE_DATA_PITCH_ALIGNMENT - 1) / D3D12_TEXTURE_DATA_PITCH_ALIGNMENT *
                    D3D12_TEXTURE_DATA_PITCH_ALIGNMENT);
}

D3D12_RESOURCE_DESC buffer_desc(uint64_t bytes) {
    return {D3D12_RESOURCE_DIMENSION_BUFFER,
            0,
            bytes,
            1,
            1,
            1,
            DXGI_FORMAT_UNKNOWN,
            {1, 0},
            D3D12_TEXTURE_LAYOUT_ROW_MAJOR,
            D3D12_RESOURCE_FLAG_NONE};
}

D3D12_RESOURCE_DESC texture_desc(uint32_t w, uint32_t h, DXGI_FORMAT f) {
    return {D3D12_RESOURCE_DIMENSION_TEXTURE2D,
            0,
            w,
            h,
            1,
            1,
            f,
            {1, 0},
            D3D12_TEXTURE_LAYOUT_UNKNOWN,
            D3D12_RESOURCE_FLAG_NONE};
}

HRESULT committed(ID3D12Device *dev, uint32_t heap, const D3D12_RESOURCE_DESC &desc, uint32_t state,
                  ID3D12Resource **out) {
    const D3D12_HEAP_PROPERTIES hp = {heap, 0, 0, 1, 1};
    return dev->CreateCommittedResource(&hp, D3D12_HEAP_FLAG_NONE, &desc, state, nullptr, out);
}

D3D12_RESOURCE_BARRIER transition(ID3D12Resource *r, uint32_t before, uint32_t after) {
    D3D12_RESOURCE_BARRIER b{};
    b.Type = D3D12_RESOURCE_BARRIER_TYPE_TRANSITION;
    b.Flags = D3D12_RESOURCE_BARRIER_FLAG_NONE;
    b.Transition = {r, D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES, before, after};
    return b;
}

// Records the copy of an upload buffer into a texture kept in
// PIXEL_SHADER_RESOURCE between frames.
void record_upload(ID3D12GraphicsCommandList *list, ID3D12Resource *upload, ID3D12Resource *texture,
                   DXGI_FORMAT format, uint32_t w, uint32_t h, uint32_t pitch) {
    const D3D12_RESOURCE_BARRIER in =
        transition(texture, D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE, D3D12_RESOURCE_STATE_COPY_DEST);
    const D3D12_RESOURCE_BARRIER out =
        transition(texture, D3D12_RESOURCE_STATE_COPY_DEST, D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE);
    D3D12_TEXTURE_COPY_LOCATION dst{}, src{};
    dst.pResource = texture;
    dst.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
    dst.SubresourceIndex = 0;
    src.pResource = upload;
    src.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
    src.PlacedFootprint = {0, {format, w, h, 1, pitch}};
    list->ResourceBarrier(1, &in);
    list->CopyTextureRegion(&dst, 0, 0, 0, &src, nullptr);
    list->ResourceBarrier(1, &out);
}

// A null view in a plane's slot: reads zeros, and is never a dangling one.
void null_srv(ID3D12Device *dev, D3D12_CPU_DESCRIPTOR_HANDLE at) {
    const D3D12_SHADER_RESOURCE_VIEW_DESC v = {DXGI_FORMAT_R8_UNORM,
                                               D3D12_SRV_DIMENSION_TEXTURE2D,
                                               D3D12_DEFAULT_SHADER_4_COMPONENT_MAPPING,
                                               {0, 1, 0, 0}};
    dev->CreateShaderResourceView(nullptr, &v, at);
}

void clear_plane(ID3D12Device *dev, d3d12_plane *p) {
    d3d_release(&p->upload);
    d3d_release(&p->texture);
    const D3D12_CPU_DESCRIPTOR_HANDLE srv = p->srv;
    *p = {};
    p->srv = srv;
    if (srv.ptr && dev) null_srv(dev, srv);
}

// An upload buffer in GENERIC_READ, filled with data when given.
bool d3d12_buffer(ID3D12Device *dev, const void *data, uint64_t size, ID3D12Resource **out) {
    HRESULT hr =
        committed(dev, D3D12_HEAP_TYPE_UPLOAD, buffer_desc(size), D3D12_RESOURCE_STATE_GENERIC_READ, out);
    if (hr < 0) {
        VKO_Log("d3d12_buffer", "'ID3D12Device_CreateComittedResource' failed with HRESULT 0x%X",
                unsigned(hr));
        *out = nullptr;
        return false;
    }
    if (data) {
        void *p = nullptr;
        hr = (*out)->Map(0, nullptr, &p);
        if (hr < 0) {
            VKO_Log("d3d12_buffer", "'ID3D12Resource_Map' failed with HRESULT 0x%X", unsigned(hr));
            d3d_release(out);
            return false;
        }
        memcpy(p, data, size);
        (*out)->Unmap(0, nullptr);
    }
    return true;
}

ID3D12RootSignature *make_root(ID3D12Device *dev, const D3D12_ROOT_SIGNATURE_DESC &desc, const char *tag) {
    ID3DBlob *blob = nullptr, *error = nullptr;
    HRESULT hr = D3D12SerializeRootSignature(&desc, D3D_ROOT_SIGNATURE_VERSION_1, &blob, &error);
    d3d_release(&error);
    if (hr < 0) {
        VKO_Log(tag, "'D3D12SerializeRootSignature' failed with HRESULT 0x%X", unsigned(hr));
        return nullptr;
    }
    ID3D12RootSignature *root = nullptr;
    hr = dev->CreateRootSignature(0, blob->GetBufferPointer(), blob->GetBufferSize(), &root);
    blob->Release();
    if (hr < 0) {
        VKO_Log(tag, "'ID3D12Device_CreateRootSignature' failed with HRESULT 0x%X", unsigned(hr));
        return nullptr;
    }
    return root;
}

// Parameter 0: SRVs t0..t2 then the CBV b0; parameter 1: one sampler.
ID3D12RootSignature *d3d12_root_signature(ID3D12Device *dev) {
    const D3D12_DESCRIPTOR_RANGE views[2] = {
        {D3D12_DESCRIPTOR_RANGE_TYPE_SRV, 3, 0, 0, D3D12_DESCRIPTOR_RANGE_OFFSET_APPEND},
        {D3D12_DESCRIPTOR_RANGE_TYPE_CBV, 1, 0, 0, D3D12_DESCRIPTOR_RANGE_OFFSET_APPEND}};
    const D3D12_DESCRIPTOR_RANGE samplers = {D3D12_DESCRIPTOR_RANGE_TYPE_SAMPLER, 1, 0, 0,
                                             D3D12_DESCRIPTOR_RANGE_OFFSET_APPEND};
    D3D12_ROOT_PARAMETER p[2]{};
    p[0].ParameterType = D3D12_ROOT_PARAMETER_TYPE_DESCRIPTOR_TABLE;
    p[0].DescriptorTable = {2, views};
    p[0].ShaderVisibility = D3D12_SHADER_VISIBILITY_PIXEL;
    p[1].ParameterType = D3D12_ROOT_PARAMETER_TYPE_DESCRIPTOR_TABLE;
    p[1].DescriptorTable = {1, &samplers};
    p[1].ShaderVisibility = D3D12_SHADER_VISIBILITY_PIXEL;
    const D3D12_ROOT_SIGNATURE_DESC d = {2, p, 0, nullptr,
                                         D3D12_ROOT_SIGNATURE_FLAG_ALLOW_INPUT_ASSEMBLER_INPUT_LAYOUT};
    return make_root(dev, d, "d3d12_root_signature");
}

D3D12_GRAPHICS_PIPELINE_STATE_DESC pipeline_desc(ID3D12RootSignature *root) {
    D3D12_GRAPHICS_PIPELINE_STATE_DESC d{};
    d.pRootSignature = root;
    d.BlendState.RenderTarget[0] = {0,
                                    0,
                                    D3D11_BLEND_SRC_ALPHA,
                                    D3D11_BLEND_INV_SRC_ALPHA,
                                    D3D11_BLEND_OP_ADD,
                                    D3D11_BLEND_ONE,
                                    D3D11_BLEND_INV_SRC_ALPHA,
                                    D3D11_BLEND_OP_ADD,
                                    0,
                                    D3D11_COLOR_WRITE_ENABLE_ALL};
    d.SampleMask = 0xFFFFFFFF;
    d.RasterizerState.FillMode = D3D11_FILL_SOLID;
    d.RasterizerState.DepthClipEnable = 1;
    d.PrimitiveTopologyType = D3D12_PRIMITIVE_TOPOLOGY_TYPE_TRIANGLE;
    d.NumRenderTargets = 1;
    d.RTVFormats[0] = DXGI_FORMAT_B8G8R8A8_UNORM;
    d.SampleDesc = {1, 0};
    return d;
}

ID3D12PipelineState *d3d12_pipeline(ID3D12Device *dev, ID3D12RootSignature *root, bool blend) {
    D3D12_GRAPHICS_PIPELINE_STATE_DESC d = pipeline_desc(root);
    d.VS = {&d3d_video_vs_code, sizeof(d3d_video_vs_code)};
    d.PS = {&d3d_video_ps_code, sizeof(d3d_video_ps_code)};
    d.BlendState.RenderTarget[0].BlendEnable = blend ? 1 : 0;
    // The quad's winding is clockwise: its back faces are the ones culled.
    d.RasterizerState.CullMode = D3D11_CULL_BACK;
    d.InputLayout = {VIDEO_LAYOUT, 2};
    ID3D12PipelineState *pso = nullptr;
    HRESULT hr = dev->CreateGraphicsPipelineState(&d, &pso);
    if (hr < 0) {
        VKO_Log("d3d12_pipeline", "'ID3D12Device_CreateGraphicsPipelineState' failed with HRESULT 0x%X",
                unsigned(hr));
        return nullptr;
    }
    return pso;
}

void destroy_frame(vko_d3d12_frame *f) {
    for (d3d12_plane &p : f->planes) clear_plane(nullptr, &p);
    d3d_release(&f->root);
    d3d_release(&f->pso);
    d3d_release(&f->srv_heap);
    d3d_release(&f->sampler_heap);
    d3d_release(&f->vb);
    d3d_release(&f->ib);
    d3d_release(&f->cb);
    delete f;
}

// d3d12_crop_copy: the visible width of each row at the 256-byte pitch, then
// the copy into the texture recorded between barriers.
bool d3d12_crop_copy(ID3D12GraphicsCommandList *list, d3d12_plane *p, const uint8_t *src, uint32_t pitch,
                     uint32_t bpp) {
    void *m = nullptr;
    HRESULT hr = p->upload->Map(0, nullptr, &m);
    if (hr < 0) {
        VKO_Log("d3d12_crop_copy", "'ID3D12Resource_Map' failed with HRESULT 0x%X", unsigned(hr));
        return false;
    }
    const uint32_t up = aligned_pitch(uint64_t(p->width) * bpp);
    const size_t row = size_t(p->width) * bpp;
    for (uint32_t y = 0; y < p->height; y++)
        memcpy(static_cast<uint8_t *>(m) + size_t(y) * up, src + size_t(y) * pitch * bpp, row);
    p->upload->Unmap(0, nullptr);
    record_upload(list, p->upload, p->texture, DXGI_FORMAT(p->format), p->width, p->height, up);
    return true;
}

bool d3d12_refresh_resource(ID3D12Device *dev, ID3D12GraphicsCommandList *list, d3d12_plane *p,
                            DXGI_FORMAT format, const uint8_t *src, uint32_t width, uint32_t height,
                            uint32_t pitch, uint32_t bpp) {
    if (!p->texture || p->width != width || p->height != height || p->format != format) {
        clear_plane(dev, p);
        const uint64_t bytes = uint64_t(aligned_pitch(uint64_t(width) * bpp)) * height;
        HRESULT hr = committed(dev, D3D12_HEAP_TYPE_UPLOAD, buffer_desc(bytes),
                               D3D12_RESOURCE_STATE_GENERIC_READ, &p->upload);
        if (hr >= 0)
            hr = committed(dev, D3D12_HEAP_TYPE_DEFAULT, texture_desc(width, height, format),
                           D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE, &p->texture);
        if (hr < 0) {
            VKO_Log("d3d12_refresh_resource",
                    "'ID3D12Device_CreateCommittedResource' failed with HRESULT 0x%X", unsigned(hr));
            clear_plane(dev, p);
            return false;
        }
        const D3D12_SHADER_RESOURCE_VIEW_DESC v = {
            format, D3D12_SRV_DIMENSION_TEXTURE2D, D3D12_DEFAULT_SHADER_4_COMPONENT_MAPPING, {0, 1, 0, 0}};
        dev->CreateShaderResourceView(p->texture, &v, p->srv);
        p->format = format;
        p->width = width;
        p->height = height;
    }
    if (!d3d12_crop_copy(list, p, src, pitch, bpp)) {
        clear_plane(dev, p);
        return false;
    }
    return true;
}

}  // namespace

void *vko_d3d12_create(void *device, uint8_t layer) {
    auto *dev = static_cast<ID3D12Device *>(device);
    if (!dev) return nullptr;
    const char *tag = "vko_d3d12_create";
    auto *f = new vko_d3d12_frame{};
    HRESULT hr;
    if (!(f->root = d3d12_root_signature(dev)) || !(f->pso = d3d12_pipeline(dev, f->root, layer != 0)))
        goto fail;
    {
        const D3D12_DESCRIPTOR_HEAP_DESC hd = {D3D12_DESCRIPTOR_HEAP_TYPE_CBV_SRV_UAV, 4,
                                               D3D12_DESCRIPTOR_HEAP_FLAG_SHADER_VISIBLE, 0};
        hr = dev->CreateDescriptorHeap(&hd, &f->srv_heap);
        if (hr < 0) {
            VKO_Log(tag, "'ID3D12Device_CreateDescriptorHeap' failed with HRESULT 0x%X", unsigned(hr));
            goto fail;
        }
        f->srv_gpu = f->srv_heap->GetGPUDescriptorHandleForHeapStart();
        const uint32_t inc = dev->GetDescriptorHandleIncrementSize(D3D12_DESCRIPTOR_HEAP_TYPE_CBV_SRV_UAV);
        D3D12_CPU_DESCRIPTOR_HANDLE at = f->srv_heap->GetCPUDescriptorHandleForHeapStart();
        for (d3d12_plane &p : f->planes) {
            p.srv = at;
            null_srv(dev, at);
            at.ptr += inc;
        }
        if (!d3d12_buffer(dev, nullptr, 256, &f->cb)) goto fail;
        const D3D12_CONSTANT_BUFFER_VIEW_DESC cv = {f->cb->GetGPUVirtualAddress(), 256};
        dev->CreateConstantBufferView(&cv, at);
    }
    {
        const D3D12_DESCRIPTOR_HEAP_DESC hd = {D3D12_DESCRIPTOR_HEAP_TYPE_SAMPLER, 2,
                                               D3D12_DESCRIPTOR_HEAP_FLAG_SHADER_VISIBLE, 0};
        hr = dev->CreateDescriptorHeap(&hd, &f->sampler_heap);
        if (hr < 0) {
            VKO_Log(tag, "'ID3D12Device_CreateDescriptorHeap' failed with HRESULT 0x%X", unsigned(hr));
            goto fail;
        }
        const uint32_t inc = dev->GetDescriptorHandleIncrementSize(D3D12_DESCRIPTOR_HEAP_TYPE_SAMPLER);
        D3D12_SAMPLER_DESC s{};
        s.AddressU = s.AddressV = s.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
        s.ComparisonFunc = D3D11_COMPARISON_NEVER;
        s.MaxLOD = D3D12_FLOAT32_MAX;
        D3D12_CPU_DESCRIPTOR_HANDLE at = f->sampler_heap->GetCPUDescriptorHandleForHeapStart();
        s.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
        dev->CreateSampler(&s, at);
        at.ptr += inc;
        s.Filter = D3D11_FILTER_MIN_MAG_MIP_POINT;
        dev->CreateSampler(&s, at);
        f->linear_gpu = f->sampler_heap->GetGPUDescriptorHandleForHeapStart();
        f->point_gpu = {f->linear_gpu.ptr + inc};
    }
    if (!d3d12_buffer(dev, QUAD, sizeof(QUAD), &f->vb) ||
        !d3d12_buffer(dev, QUAD_IDX, sizeof(QUAD_IDX), &f->ib))
        goto fail;
    return f;
fail:
    destroy_frame(f);
    return nullptr;
}

void vko_d3d12_destroy(void **renderer, void *) {
    if (!renderer || !*renderer) return;
    destroy_frame(static_cast<vko_d3d12_frame *>(*renderer));
    *renderer = nullptr;
}

bool vko_d3d12_render(void *renderer, void *device, void *context, const void *image,
                      const VKO_RenderDesc *desc, void *surface) {
    auto *f = static_cast<vko_d3d12_frame *>(renderer);
    auto *dev = static_cast<ID3D12Device *>(device);
    auto *list = static_cast<ID3D12GraphicsCommandList *>(context);
    auto *rtv = static_cast<const D3D12_CPU_DESCRIPTOR_HANDLE *>(surface);
    if (!f || !dev || !list || !desc || !rtv || desc->format >= VKO_COLOR_FORMAT_COUNT) return false;
    if (desc->format != 0) f->format = desc->format;
    if (f->format == 0) {
        // Nothing to draw yet, but layer 0 still owns the whole target.
        if (desc->layer == 0) {
            const float black[4] = {0, 0, 0, 1};
            list->ClearRenderTargetView(*rtv, black, 0, nullptr);
        }
        return true;
    }

    if (desc->format != 0) {
        if (!image) return false;
        const VKO_ColorFormatInfo &info = vko_color_formats[desc->format];
        const uint8_t *src = static_cast<const uint8_t *>(image);
        for (uint32_t p = 0; p < info.planes; p++) {
            const D3DPlaneGeometry pg = d3d_plane_geometry(desc, p);
            // A plane the description cannot hold is never read.
            if (!pg.ok || !d3d12_refresh_resource(dev, list, &f->planes[p], d3d_plane_format(desc->format, p),
                                                  src, pg.width, pg.height, pg.pitch, pg.bpp))
                return false;
            src += pg.next;
        }
    }

    float x, y, w, h;
    vko_gfx_viewport(desc, &x, &y, &w, &h);
    const D3D12_VIEWPORT vp = {x, y, w, h, 0, 0};
    const D3D12_RECT scissor = {0, 0, int32_t(desc->view_width), int32_t(desc->view_height)};
    list->RSSetViewports(1, &vp);
    list->RSSetScissorRects(1, &scissor);
    list->OMSetRenderTargets(1, rtv, 0, nullptr);
    if (desc->layer == 0) {
        const float black[4] = {0, 0, 0, 1};
        list->ClearRenderTargetView(*rtv, black, 0, nullptr);
    }
    list->SetGraphicsRootSignature(f->root);
    ID3D12DescriptorHeap *heaps[2] = {f->srv_heap, f->sampler_heap};
    list->SetDescriptorHeaps(2, heaps);
    list->SetGraphicsRootDescriptorTable(0, f->srv_gpu);
    list->SetGraphicsRootDescriptorTable(1, desc->filter ? f->linear_gpu : f->point_gpu);
    list->SetPipelineState(f->pso);

    const VS_CONSTANT_BUFFER cb = d3d_video_constants(desc, f->format, h);
    if (memcmp(&cb, f->last_block, 64) != 0) {
        void *m = nullptr;
        HRESULT hr = f->cb->Map(0, nullptr, &m);
        if (hr < 0) {
            VKO_Log("vko_d3d12_render", "'ID3D12Resource_Map' failed with HRESULT 0x%X", unsigned(hr));
            return false;
        }
        memcpy(m, &cb, 64);
        f->cb->Unmap(0, nullptr);
        memcpy(f->last_block, &cb, 64);
    }
    const D3D12_VERTEX_BUFFER_VIEW vbv = {f->vb->GetGPUVirtualAddress(), sizeof(QUAD), 16};
    const D3D12_INDEX_BUFFER_VIEW ibv = {f->ib->GetGPUVirtualAddress(), sizeof(QUAD_IDX),
                                         DXGI_FORMAT_R32_UINT};
    list->IASetVertexBuffers(0, 1, &vbv);
    list->IASetIndexBuffer(&ibv);
    list->IASetPrimitiveTopology(D3D_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    list->DrawIndexedInstanced(6, 1, 0, 0, 0);
    return true;
}

bool vko_d3d12_clear(void *, void *, void *context, uint32_t, uint32_t, float r, float g, float b, float a,
                     void *surface) {
    auto *list = static_cast<ID3D12GraphicsCommandList *>(context);
    if (!list || !surface) return false;
    const float c[4] = {r, g, b, a};
    list->ClearRenderTargetView(*static_cast<const D3D12_CPU_DESCRIPTOR_HANDLE *>(surface), c, 0, nullptr);
    return true;
}

// ---- UI ----

namespace {

void destroy_texture(vko_d3d12_ui_texture *t) {
    if (!t) return;
    d3d_release(&t->heap);
    d3d_release(&t->texture);
    d3d_release(&t->upload);
    delete t;
}

void destroy_ui(vko_d3d12_ui *u) {
    destroy_texture(u->fallback);
    d3d_release(&u->vb.res);
    d3d_release(&u->ib.res);
    d3d_release(&u->pso);
    d3d_release(&u->root);
    delete u;
}

bool d3d12_ui_resize_buffer(ID3D12Device *dev, d3d12_ui_buffer *b, uint32_t needed, uint32_t extra,
                            uint32_t size) {
    if (b->res && b->capacity >= needed) return true;
    d3d_release(&b->res);
    b->capacity = 0;
    const uint64_t bytes = (uint64_t(needed) + extra) * size;
    HRESULT hr = committed(dev, D3D12_HEAP_TYPE_UPLOAD, buffer_desc(bytes), D3D12_RESOURCE_STATE_GENERIC_READ,
                           &b->res);
    if (hr < 0) {
        VKO_Log("d3d12_ui_resize_buffer", "'ID3D12Device_CreateComittedResource' failed with HRESULT 0x%X",
                unsigned(hr));
        b->res = nullptr;
        return false;
    }
    b->capacity = needed + extra;
    return true;
}

}  // namespace

void *vko_d3d12_ui_create(void *device) {
    auto *dev = static_cast<ID3D12Device *>(device);
    if (!dev) return nullptr;
    const char *tag = "vko_d3d12_ui_create";
    auto *u = new vko_d3d12_ui{};
    {
        const D3D12_DESCRIPTOR_RANGE srv = {D3D12_DESCRIPTOR_RANGE_TYPE_SRV, 1, 0, 0,
                                            D3D12_DESCRIPTOR_RANGE_OFFSET_APPEND};
        D3D12_ROOT_PARAMETER p[2]{};
        p[0].ParameterType = D3D12_ROOT_PARAMETER_TYPE_32BIT_CONSTANTS;
        p[0].Constants = {0, 0, 16};
        p[0].ShaderVisibility = D3D12_SHADER_VISIBILITY_VERTEX;
        p[1].ParameterType = D3D12_ROOT_PARAMETER_TYPE_DESCRIPTOR_TABLE;
        p[1].DescriptorTable = {1, &srv};
        p[1].ShaderVisibility = D3D12_SHADER_VISIBILITY_PIXEL;
        D3D12_STATIC_SAMPLER_DESC s{};
        s.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
        s.AddressU = s.AddressV = s.AddressW = D3D11_TEXTURE_ADDRESS_WRAP;
        s.ComparisonFunc = D3D11_COMPARISON_ALWAYS;
        s.BorderColor = D3D12_STATIC_BORDER_COLOR_TRANSPARENT_BLACK;
        s.ShaderVisibility = D3D12_SHADER_VISIBILITY_PIXEL;
        const D3D12_ROOT_SIGNATURE_DESC d = {2, p, 1, &s,
                                             D3D12_ROOT_SIGNATURE_FLAG_ALLOW_INPUT_ASSEMBLER_INPUT_LAYOUT |
                                                 D3D12_ROOT_SIGNATURE_FLAG_DENY_HULL_SHADER_ROOT_ACCESS |
                                                 D3D12_ROOT_SIGNATURE_FLAG_DENY_DOMAIN_SHADER_ROOT_ACCESS |
                                                 D3D12_ROOT_SIGNATURE_FLAG_DENY_GEOMETRY_SHADER_ROOT_ACCESS};
        if (!(u->root = make_root(dev, d, tag))) goto fail;
    }
    {
        D3D12_GRAPHICS_PIPELINE_STATE_DESC d = pipeline_desc(u->root);
        d.VS = {&d3d_ui_vs_code, sizeof(d3d_ui_vs_code)};
        d.PS = {&d3d_ui_ps_code, sizeof(d3d_ui_ps_code)};
        d.BlendState.RenderTarget[0].BlendEnable = 1;
        d.RasterizerState.CullMode = D3D11_CULL_NONE;
        d.DepthStencilState.DepthWriteMask = D3D11_DEPTH_WRITE_MASK_ALL;
        d.DepthStencilState.DepthFunc = D3D11_COMPARISON_ALWAYS;
        d.DepthStencilState.FrontFace = {D3D11_STENCIL_OP_KEEP, D3D11_STENCIL_OP_KEEP, D3D11_STENCIL_OP_KEEP,
                                         D3D11_COMPARISON_ALWAYS};
        d.DepthStencilState.BackFace = d.DepthStencilState.FrontFace;
        d.InputLayout = {UI_LAYOUT, 3};
        HRESULT hr = dev->CreateGraphicsPipelineState(&d, &u->pso);
        if (hr < 0) {
            VKO_Log(tag, "'ID3D12Device_CreateGraphicsPipelineState' failed with HRESULT 0x%X", unsigned(hr));
            goto fail;
        }
    }
    {
        std::vector<uint8_t> zeros(256 * 256 * 4, 0);
        u->fallback =
            static_cast<vko_d3d12_ui_texture *>(vko_d3d12_ui_create_texture(u, dev, zeros.data(), 256, 256));
        if (!u->fallback) goto fail;
    }
    return u;
fail:
    destroy_ui(u);
    return nullptr;
}

void vko_d3d12_ui_destroy(void **ui, void *) {
    d3d_ui_destroy<vko_d3d12_ui, destroy_ui>(ui);
}

bool vko_d3d12_ui_render(void *ui, void *device, void *context, const VKO_DrawData *data, void *texture_map,
                         void *surface) {
    auto *u = static_cast<vko_d3d12_ui *>(ui);
    auto *dev = static_cast<ID3D12Device *>(device);
    auto *list = static_cast<ID3D12GraphicsCommandList *>(context);
    if (!u || !dev || !list || !data) return false;
    const float W = data->display_width, H = data->display_height;
    if (!d3d_ui_data_ok(data)) return false;
    if (!d3d12_ui_resize_buffer(dev, &u->vb, data->total_vtx, 5120, sizeof(VKO_Vtx)) ||
        !d3d12_ui_resize_buffer(dev, &u->ib, data->total_idx, 10240, sizeof(uint16_t)))
        return false;
    void *vm = nullptr, *im = nullptr;
    HRESULT hr = u->vb.res->Map(0, nullptr, &vm);
    if (hr >= 0) {
        hr = u->ib.res->Map(0, nullptr, &im);
        if (hr < 0) u->vb.res->Unmap(0, nullptr);
    }
    if (hr < 0) {
        VKO_Log("vko_d3d12_ui_render", "'ID3D12Resource_Map' failed with HRESULT 0x%X", unsigned(hr));
        return false;
    }
    d3d_ui_copy_lists(data, vm, im);
    u->vb.res->Unmap(0, nullptr);
    u->ib.res->Unmap(0, nullptr);

    const D3D12_VIEWPORT vp = {0, 0, W, H, 0, 1};
    list->RSSetViewports(1, &vp);
    if (surface) {
        auto *rtv = static_cast<const D3D12_CPU_DESCRIPTOR_HANDLE *>(surface);
        list->OMSetRenderTargets(1, rtv, 0, nullptr);
        if (data->clear) {
            const float black[4] = {0, 0, 0, 1};
            list->ClearRenderTargetView(*rtv, black, 0, nullptr);
        }
    }
    list->SetGraphicsRootSignature(u->root);
    list->SetPipelineState(u->pso);
    float proj[16];
    d3d_ui_projection(W, H, proj);
    list->SetGraphicsRoot32BitConstants(0, 16, proj, 0);
    const D3D12_VERTEX_BUFFER_VIEW vbv = {u->vb.res->GetGPUVirtualAddress(),
                                          u->vb.capacity * uint32_t(sizeof(VKO_Vtx)),
                                          uint32_t(sizeof(VKO_Vtx))};
    const D3D12_INDEX_BUFFER_VIEW ibv = {u->ib.res->GetGPUVirtualAddress(), u->ib.capacity * 2u,
                                         DXGI_FORMAT_R16_UINT};
    list->IASetVertexBuffers(0, 1, &vbv);
    list->IASetIndexBuffer(&ibv);
    list->IASetPrimitiveTopology(D3D_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    const float zero[4] = {0, 0, 0, 0};
    list->OMSetBlendFactor(zero);

    VKO_Hash *map = static_cast<VKO_Hash *>(texture_map);
    vko_d3d12_ui_texture *bound = nullptr;  // within this call only
    uint32_t idx_base = 0, vtx_base = 0;
    for (uint32_t l = 0; l < data->list_count; l++) {
        const VKO_CmdList &cl = data->lists[l];
        for (uint32_t c = 0; cl.cmds && c < cl.cmd_count; c++) {
            const VKO_Cmd &cmd = cl.cmds[c];
            D3D12_RECT r;
            if (!d3d_ui_scissor(cmd, W, H, &r)) continue;
            list->RSSetScissorRects(1, &r);
            auto *tex = cmd.texture && map
                            ? static_cast<vko_d3d12_ui_texture *>(VKO_HashGetInt(map, cmd.texture))
                            : nullptr;
            if (!tex) tex = u->fallback;
            if (tex != bound) {
                if (!tex->uploaded) {
                    record_upload(list, tex->upload, tex->texture, DXGI_FORMAT_R8G8B8A8_UNORM, tex->width,
                                  tex->height, aligned_pitch(uint64_t(tex->width) * 4));
                    tex->uploaded = 1;
                }
                list->SetDescriptorHeaps(1, &tex->heap);
                list->SetGraphicsRootDescriptorTable(1, tex->srv);
                bound = tex;
            }
            // Elements past the list's own indices are never drawn.
            if (uint64_t(cmd.idx_offset) + cmd.elem_count <= cl.idx_count)
                list->DrawIndexedInstanced(cmd.elem_count, 1, idx_base + cmd.idx_offset,
                                           int32_t(vtx_base + cmd.vtx_offset), 0);
        }
        idx_base += cl.idx_count;
        vtx_base += cl.vtx_count;
    }
    return true;
}

void *vko_d3d12_ui_create_texture(void *, void *device, const void *rgba, uint32_t width, uint32_t height) {
    auto *dev = static_cast<ID3D12Device *>(device);
    if (!dev || !rgba) return nullptr;
    const char *tag = "vko_d3d12_ui_create_texture";
    auto *t = new vko_d3d12_ui_texture{};
    t->width = width;
    t->height = height;
    const uint32_t pitch = aligned_pitch(uint64_t(width) * 4);
    HRESULT hr = committed(dev, D3D12_HEAP_TYPE_UPLOAD, buffer_desc(uint64_t(pitch) * height),
                           D3D12_RESOURCE_STATE_GENERIC_READ, &t->upload);
    if (hr >= 0)
        hr = committed(dev, D3D12_HEAP_TYPE_DEFAULT, texture_desc(width, height, DXGI_FORMAT_R8G8B8A8_UNORM),
                       D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE, &t->texture);
    if (hr < 0) {
        VKO_Log(tag, "'ID3D12Device_CreateCommittedResource' failed with HRESULT 0x%X", unsigned(hr));
        destroy_texture(t);
        return nullptr;
    }
    void *m = nullptr;
    hr = t->upload->Map(0, nullptr, &m);
    if (hr < 0) {
        VKO_Log(tag, "'ID3D12Resource_Map' failed with HRESULT 0x%X", unsigned(hr));
        destroy_texture(t);
        return nullptr;
    }
    for (uint32_t y = 0; y < height; y++)
        memcpy(static_cast<uint8_t *>(m) + size_t(y) * pitch,
               static_cast<const uint8_t *>(rgba) + size_t(y) * width * 4, size_t(width) * 4);
    t->upload->Unmap(0, nullptr);
    const D3D12_DESCRIPTOR_HEAP_DESC hd = {D3D12_DESCRIPTOR_HEAP_TYPE_CBV_SRV_UAV, 1,
                                           D3D12_DESCRIPTOR_HEAP_FLAG_SHADER_VISIBLE, 0};
    hr = dev->CreateDescriptorHeap(&hd, &t->heap);
    if (hr < 0) {
        VKO_Log(tag, "'ID3D12Device_CreateDescriptorHeap' failed with HRESULT 0x%X", unsigned(hr));
        destroy_texture(t);
        return nullptr;
    }
    const D3D12_SHADER_RESOURCE_VIEW_DESC v = {DXGI_FORMAT_R8G8B8A8_UNORM,
                                               D3D12_SRV_DIMENSION_TEXTURE2D,
                                               D3D12_DEFAULT_SHADER_4_COMPONENT_MAPPING,
                                               {0, 1, 0, 0}};
    dev->CreateShaderResourceView(t->texture, &v, t->heap->GetCPUDescriptorHandleForHeapStart());
    t->srv = t->heap->GetGPUDescriptorHandleForHeapStart();
    return t;
}

void vko_d3d12_ui_destroy_texture(void *, void **texture, void *) {
    if (!texture || !*texture) return;
    destroy_texture(static_cast<vko_d3d12_ui_texture *>(*texture));
    *texture = nullptr;
}
