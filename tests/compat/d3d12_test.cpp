// The Direct3D 12 stand-in: a textured draw through root signature, heaps and
// pipeline read back through a readback buffer; the execution checks (wrong
// barrier, copy outside COPY_DEST, unwritten descriptor, closed and open
// lists, released resources); root-signature blobs, good and malformed;
// fences with deferred execution; fault injection and device removal; and
// the swap chain on a real X window under the test's Xvfb.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "compat/d3d/d3d12.h"
#include "support/d3d12_rig.h"
#include "compat/d3d/dxgi.h"
#include "support/x_window.h"
#include "support/swap_chain_desc.h"
#include "support/xvfb.h"

// Xlib after everything else: its macros clash with the test framework.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

// Position (x, y) and texture coordinate (u, v) through.
void pass_vs(const uint8_t *vertex, const D3DBindings &, float pos[4], float var[D3D_VARYINGS]) {
    float f[4];
    memcpy(f, vertex, 16);
    pos[0] = f[0];
    pos[1] = f[1];
    pos[2] = 0;
    pos[3] = 1;
    for (uint32_t k = 0; k < D3D_VARYINGS; k++) var[k] = 0;
    var[0] = f[2];
    var[1] = f[3];
}

// Samples t0, times the first float of b0 when a constant block is bound.
void tex_ps(const D3DBindings &b, const float var0[D3D_VARYINGS], const float dvar[D3D_VARYINGS], uint32_t n,
            float *r, float *g, float *bl, float *a) {
    static const D3DPlaneView none{};
    std::vector<float> u(n), v(n);
    for (uint32_t i = 0; i < n; i++) {
        u[i] = var0[0] + float(i) * dvar[0];
        v[i] = var0[1] + float(i) * dvar[1];
    }
    d3d_sample(b.srv[0] ? *b.srv[0] : none, b.sampler, u.data(), v.data(), n, r, g, bl, a);
    float k = 1;
    if (b.ps_cb && b.ps_cb_size >= 4) memcpy(&k, b.ps_cb, 4);
    for (uint32_t i = 0; i < n; i++) {
        r[i] *= k;
        g[i] *= k;
        bl[i] *= k;
    }
}

const auto VS = d3d_shader_code<64>(pass_vs, nullptr);
const auto PS = d3d_shader_code<64>(nullptr, tex_ps);

const D3D12_INPUT_ELEMENT_DESC LAYOUT[2] = {
    {"POSITION", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 0, 0, 0},
    {"TEXCOORD", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 8, 0, 0},
};

// Full-target quad, clockwise.
const float QUAD[16] = {-1, -1, 0, 1, -1, 1, 0, 0, 1, 1, 1, 0, 1, -1, 1, 1};
const uint16_t QUAD_IDX[6] = {0, 1, 2, 2, 3, 0};

D3D12_RESOURCE_DESC buffer_desc(uint64_t bytes) {
    return {D3D12_RESOURCE_DIMENSION_BUFFER, 0, bytes, 1, 1, 1, DXGI_FORMAT_UNKNOWN, {1, 0},
            D3D12_TEXTURE_LAYOUT_ROW_MAJOR,  0};
}

D3D12_RESOURCE_DESC texture_desc(uint32_t w, uint32_t h, DXGI_FORMAT f, uint32_t flags = 0) {
    return {D3D12_RESOURCE_DIMENSION_TEXTURE2D, 0,    w, h, 1, 1, f, {1, 0},
            D3D12_TEXTURE_LAYOUT_UNKNOWN,       flags};
}

D3D12_RESOURCE_BARRIER transition(ID3D12Resource *r, uint32_t before, uint32_t after) {
    D3D12_RESOURCE_BARRIER b{};
    b.Type = D3D12_RESOURCE_BARRIER_TYPE_TRANSITION;
    b.Transition = {r, D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES, before, after};
    return b;
}

// The shared rig at 16x8, with uploads.
struct Rig : D3D12Rig {
    static constexpr uint32_t W = 16, H = 8;
    Rig() : D3D12Rig(W, H) {}
    ID3D12Resource *upload(const void *bytes, uint64_t size) {
        ID3D12Resource *r =
            committed(D3D12_HEAP_TYPE_UPLOAD, buffer_desc(size), D3D12_RESOURCE_STATE_GENERIC_READ);
        void *p = nullptr;
        EXPECT_EQ(r->Map(0, nullptr, &p), S_OK);
        memcpy(p, bytes, size);
        r->Unmap(0, nullptr);
        return r;
    }
};

// A 2x1 BGRA texture (red | blue) in PIXEL_SHADER_RESOURCE, uploaded through
// a copy between barriers.
ID3D12Resource *red_blue(Rig &g, ID3D12Resource **staging) {
    ID3D12Resource *tex = g.committed(D3D12_HEAP_TYPE_DEFAULT, texture_desc(2, 1, DXGI_FORMAT_B8G8R8A8_UNORM),
                                      D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE);
    uint8_t rows[256] = {0, 0, 255, 255, 255, 0, 0, 255};
    *staging = g.upload(rows, sizeof(rows));
    D3D12_RESOURCE_BARRIER in =
        transition(tex, D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE, D3D12_RESOURCE_STATE_COPY_DEST);
    D3D12_RESOURCE_BARRIER out =
        transition(tex, D3D12_RESOURCE_STATE_COPY_DEST, D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE);
    D3D12_TEXTURE_COPY_LOCATION dst{}, src{};
    dst.pResource = tex;
    dst.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
    src.pResource = *staging;
    src.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
    src.PlacedFootprint = {0, {DXGI_FORMAT_B8G8R8A8_UNORM, 2, 1, 1, 256}};
    g.list->ResourceBarrier(1, &in);
    g.list->CopyTextureRegion(&dst, 0, 0, 0, &src, nullptr);
    g.list->ResourceBarrier(1, &out);
    return tex;
}

// Root signature: table 0 = t0 + b0, table 1 = one sampler; both pixel.
ID3D12RootSignature *root_of(ID3D12Device *dev) {
    const D3D12_DESCRIPTOR_RANGE views[2] = {
        {D3D12_DESCRIPTOR_RANGE_TYPE_SRV, 1, 0, 0, 0},
        {D3D12_DESCRIPTOR_RANGE_TYPE_CBV, 1, 0, 0, D3D12_DESCRIPTOR_RANGE_OFFSET_APPEND}};
    const D3D12_DESCRIPTOR_RANGE samp = {D3D12_DESCRIPTOR_RANGE_TYPE_SAMPLER, 1, 0, 0, 0};
    D3D12_ROOT_PARAMETER p[2]{};
    p[0].ParameterType = p[1].ParameterType = D3D12_ROOT_PARAMETER_TYPE_DESCRIPTOR_TABLE;
    p[0].DescriptorTable = {2, views};
    p[1].DescriptorTable = {1, &samp};
    p[0].ShaderVisibility = p[1].ShaderVisibility = D3D12_SHADER_VISIBILITY_PIXEL;
    D3D12_ROOT_SIGNATURE_DESC d = {2, p, 0, nullptr,
                                   D3D12_ROOT_SIGNATURE_FLAG_ALLOW_INPUT_ASSEMBLER_INPUT_LAYOUT};
    ID3DBlob *blob = nullptr;
    EXPECT_EQ(D3D12SerializeRootSignature(&d, D3D_ROOT_SIGNATURE_VERSION_1, &blob, nullptr), S_OK);
    ID3D12RootSignature *root = nullptr;
    EXPECT_EQ(dev->CreateRootSignature(0, blob->GetBufferPointer(), blob->GetBufferSize(), &root), S_OK);
    blob->Release();
    return root;
}

ID3D12PipelineState *pipeline_of(ID3D12Device *dev, ID3D12RootSignature *root) {
    D3D12_GRAPHICS_PIPELINE_STATE_DESC d{};
    d.pRootSignature = root;
    d.VS = {&VS, sizeof(VS)};
    d.PS = {&PS, sizeof(PS)};
    d.BlendState.RenderTarget[0].RenderTargetWriteMask = 0xF;
    d.SampleMask = 0xFFFFFFFF;
    d.RasterizerState = {D3D11_FILL_SOLID, D3D11_CULL_BACK, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    d.InputLayout = {LAYOUT, 2};
    d.PrimitiveTopologyType = D3D12_PRIMITIVE_TOPOLOGY_TYPE_TRIANGLE;
    d.NumRenderTargets = 1;
    d.RTVFormats[0] = DXGI_FORMAT_B8G8R8A8_UNORM;
    d.SampleDesc = {1, 0};
    ID3D12PipelineState *pso = nullptr;
    EXPECT_EQ(dev->CreateGraphicsPipelineState(&d, &pso), S_OK);
    return pso;
}

// Everything a textured quad needs, bound on the rig's list.
struct Quad {
    ID3D12RootSignature *root;
    ID3D12PipelineState *pso;
    ID3D12DescriptorHeap *views = nullptr, *samplers = nullptr;
    ID3D12Resource *vb, *ib, *cb;
    Quad(Rig &g) {
        root = root_of(g.dev);
        pso = pipeline_of(g.dev, root);
        D3D12_DESCRIPTOR_HEAP_DESC vd = {D3D12_DESCRIPTOR_HEAP_TYPE_CBV_SRV_UAV, 2,
                                         D3D12_DESCRIPTOR_HEAP_FLAG_SHADER_VISIBLE, 0};
        D3D12_DESCRIPTOR_HEAP_DESC sd = {D3D12_DESCRIPTOR_HEAP_TYPE_SAMPLER, 1,
                                         D3D12_DESCRIPTOR_HEAP_FLAG_SHADER_VISIBLE, 0};
        EXPECT_EQ(g.dev->CreateDescriptorHeap(&vd, &views), S_OK);
        EXPECT_EQ(g.dev->CreateDescriptorHeap(&sd, &samplers), S_OK);
        vb = g.upload(QUAD, sizeof(QUAD));
        ib = g.upload(QUAD_IDX, sizeof(QUAD_IDX));
        float block[64] = {1.0f};
        cb = g.upload(block, 256);
        D3D12_SAMPLER_DESC s{};
        s.AddressU = s.AddressV = s.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
        g.dev->CreateSampler(&s, samplers->GetCPUDescriptorHandleForHeapStart());
    }
    ~Quad() {
        d3d_release(&cb);
        d3d_release(&ib);
        d3d_release(&vb);
        d3d_release(&samplers);
        d3d_release(&views);
        d3d_release(&pso);
        d3d_release(&root);
    }
    void write_cbv(Rig &g) {
        D3D12_CPU_DESCRIPTOR_HANDLE h = views->GetCPUDescriptorHandleForHeapStart();
        h.ptr += g.dev->GetDescriptorHandleIncrementSize(D3D12_DESCRIPTOR_HEAP_TYPE_CBV_SRV_UAV);
        D3D12_CONSTANT_BUFFER_VIEW_DESC c = {cb->GetGPUVirtualAddress(), 256};
        g.dev->CreateConstantBufferView(&c, h);
    }
    void record(Rig &g) {
        ID3D12GraphicsCommandList *l = g.list;
        const D3D12_VIEWPORT vp = {0, 0, float(Rig::W), float(Rig::H), 0, 0};
        const D3D12_RECT sc = {0, 0, int32_t(Rig::W), int32_t(Rig::H)};
        l->RSSetViewports(1, &vp);
        l->RSSetScissorRects(1, &sc);
        l->OMSetRenderTargets(1, &g.rtv, 0, nullptr);
        l->SetGraphicsRootSignature(root);
        ID3D12DescriptorHeap *heaps[2] = {views, samplers};
        l->SetDescriptorHeaps(2, heaps);
        l->SetGraphicsRootDescriptorTable(0, views->GetGPUDescriptorHandleForHeapStart());
        l->SetGraphicsRootDescriptorTable(1, samplers->GetGPUDescriptorHandleForHeapStart());
        l->SetPipelineState(pso);
        const D3D12_VERTEX_BUFFER_VIEW v = {vb->GetGPUVirtualAddress(), sizeof(QUAD), 16};
        const D3D12_INDEX_BUFFER_VIEW i = {ib->GetGPUVirtualAddress(), sizeof(QUAD_IDX),
                                           DXGI_FORMAT_R16_UINT};
        l->IASetVertexBuffers(0, 1, &v);
        l->IASetIndexBuffer(&i);
        l->IASetPrimitiveTopology(D3D_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
        l->DrawIndexedInstanced(6, 1, 0, 0, 0);
    }
};

}  // namespace

TEST(D3D12StandIn, TexturedQuadThroughRootSignatureHeapsAndReadback) {
    const int64_t live = d3d_live_objects();
    const uint64_t faults = d3d12_fault_count();
    {
        Rig g;
        ID3D12Resource *staging = nullptr;
        ID3D12Resource *tex = red_blue(g, &staging);
        Quad q(g);
        g.dev->CreateShaderResourceView(tex, nullptr, q.views->GetCPUDescriptorHandleForHeapStart());
        q.write_cbv(g);
        const float grey[4] = {0.5f, 0.5f, 0.5f, 1};
        g.list->ClearRenderTargetView(g.rtv, grey, 0, nullptr);
        q.record(g);
        // Nothing happens before execution.
        EXPECT_EQ(g.px(0, 0)[3], 0);
        EXPECT_GT(g.list->recorded(), 10u);
        g.submit();
        EXPECT_EQ(g.queue->executed(), 1u);
        EXPECT_EQ(g.list->recorded(), 0u);
        // Nearest sampling: left half red, right half blue.
        EXPECT_EQ(g.px(2, 3)[2], 255);
        EXPECT_EQ(g.px(2, 3)[0], 0);
        EXPECT_EQ(g.px(13, 3)[0], 255);
        EXPECT_EQ(g.px(13, 3)[2], 0);

        // Read back through a readback buffer at a 256-byte pitch.
        D3D12_RESOURCE_DESC td = texture_desc(Rig::W, Rig::H, DXGI_FORMAT_B8G8R8A8_UNORM);
        D3D12_PLACED_SUBRESOURCE_FOOTPRINT fp;
        uint64_t total = 0;
        g.dev->GetCopyableFootprints(&td, 0, 1, 0, &fp, nullptr, nullptr, &total);
        EXPECT_EQ(fp.Footprint.RowPitch, 256u);
        ID3D12Resource *rb =
            g.committed(D3D12_HEAP_TYPE_READBACK, buffer_desc(total), D3D12_RESOURCE_STATE_COPY_DEST);
        D3D12_RESOURCE_BARRIER to_src =
            transition(g.rt, D3D12_RESOURCE_STATE_RENDER_TARGET, D3D12_RESOURCE_STATE_COPY_SOURCE);
        g.list->ResourceBarrier(1, &to_src);
        D3D12_TEXTURE_COPY_LOCATION dst{}, src{};
        dst.pResource = rb;
        dst.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
        dst.PlacedFootprint = fp;
        src.pResource = g.rt;
        src.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
        g.list->CopyTextureRegion(&dst, 0, 0, 0, &src, nullptr);
        g.submit();
        void *p = nullptr;
        ASSERT_EQ(rb->Map(0, nullptr, &p), S_OK);
        const uint8_t *row3 = static_cast<uint8_t *>(p) + 3 * 256;
        EXPECT_EQ(row3[2 * 4 + 2], 255);
        EXPECT_EQ(row3[13 * 4 + 0], 255);
        rb->Unmap(0, nullptr);
        EXPECT_EQ(d3d12_fault_count(), faults) << d3d12_last_fault();
        // Textures on a default heap cannot be mapped.
        EXPECT_EQ(tex->Map(0, nullptr, &p), E_INVALIDARG);
        rb->Release();
        tex->Release();
        staging->Release();
    }
    EXPECT_EQ(d3d_live_objects(), live);
}

TEST(D3D12StandIn, ExecutionCatchesStateAndDescriptorFaults) {
    Rig g;
    ID3D12Resource *staging = nullptr;
    ID3D12Resource *tex = red_blue(g, &staging);
    g.submit();
    auto expect_fault = [&](const char *text, auto &&record) {
        const uint64_t before = d3d12_fault_count();
        record();
        if (g.list->open()) g.submit();
        EXPECT_GT(d3d12_fault_count(), before) << text;
        EXPECT_NE(d3d12_last_fault().find(text), std::string::npos) << d3d12_last_fault();
    };
    // A barrier whose "before" is not the state execution left the texture in.
    expect_fault("state before is 0x400 but the resource is in 0x80", [&] {
        D3D12_RESOURCE_BARRIER b =
            transition(tex, D3D12_RESOURCE_STATE_COPY_DEST, D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE);
        g.list->ResourceBarrier(1, &b);
    });
    EXPECT_EQ(tex->state(), D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE);
    // A copy into a texture that was not moved to COPY_DEST, which keeps its pixels.
    expect_fault("not COPY_DEST", [&] {
        D3D12_TEXTURE_COPY_LOCATION dst{}, src{};
        dst.pResource = tex;
        src.pResource = staging;
        src.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
        src.PlacedFootprint = {0, {DXGI_FORMAT_B8G8R8A8_UNORM, 2, 1, 1, 256}};
        g.list->CopyTextureRegion(&dst, 0, 0, 0, &src, nullptr);
    });
    // A misaligned footprint and one running past its buffer.
    expect_fault("placed footprint", [&] {
        D3D12_TEXTURE_COPY_LOCATION dst{}, src{};
        dst.pResource = tex;
        src.pResource = staging;
        src.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
        src.PlacedFootprint = {0, {DXGI_FORMAT_B8G8R8A8_UNORM, 2, 2, 1, 256}};
        g.list->CopyTextureRegion(&dst, 0, 0, 0, &src, nullptr);
    });
    // A draw whose table holds an unwritten descriptor (the CBV slot).
    Quad q(g);
    g.dev->CreateShaderResourceView(tex, nullptr, q.views->GetCPUDescriptorHandleForHeapStart());
    expect_fault("reads unwritten descriptor 1", [&] { q.record(g); });
    // Drawing into a target that is not in RENDER_TARGET.
    q.write_cbv(g);
    expect_fault("not RENDER_TARGET", [&] {
        D3D12_RESOURCE_BARRIER b =
            transition(g.rt, D3D12_RESOURCE_STATE_RENDER_TARGET, D3D12_RESOURCE_STATE_PRESENT);
        g.list->ResourceBarrier(1, &b);
        q.record(g);
        b = transition(g.rt, D3D12_RESOURCE_STATE_PRESENT, D3D12_RESOURCE_STATE_RENDER_TARGET);
        g.list->ResourceBarrier(1, &b);
    });
    // Sampling a texture left in COPY_DEST.
    expect_fault("not PIXEL_SHADER_RESOURCE", [&] {
        D3D12_RESOURCE_BARRIER b =
            transition(tex, D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE, D3D12_RESOURCE_STATE_COPY_DEST);
        g.list->ResourceBarrier(1, &b);
        q.record(g);
        b = transition(tex, D3D12_RESOURCE_STATE_COPY_DEST, D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE);
        g.list->ResourceBarrier(1, &b);
    });
    // A null descriptor is a written one: the draw reads zeros, no fault.
    {
        const uint64_t before = d3d12_fault_count();
        D3D12_SHADER_RESOURCE_VIEW_DESC nd = {DXGI_FORMAT_B8G8R8A8_UNORM,
                                              D3D12_SRV_DIMENSION_TEXTURE2D,
                                              D3D12_DEFAULT_SHADER_4_COMPONENT_MAPPING,
                                              {0, 1, 0, 0}};
        g.dev->CreateShaderResourceView(nullptr, &nd, q.views->GetCPUDescriptorHandleForHeapStart());
        q.record(g);
        g.submit();
        EXPECT_EQ(d3d12_fault_count(), before) << d3d12_last_fault();
        EXPECT_EQ(g.px(5, 5)[0], 0);
        EXPECT_EQ(g.px(5, 5)[2], 0);
    }
    // Recording into a closed list, and executing an open one.
    ASSERT_EQ(g.list->Close(), S_OK);
    expect_fault("closed command list", [&] { g.list->IASetPrimitiveTopology(4); });
    EXPECT_EQ(g.list->Close(), E_FAIL);
    ASSERT_EQ(g.list->Reset(g.alloc, nullptr), S_OK);
    expect_fault("was not closed", [&] {
        ID3D12CommandList *l = g.list;
        g.queue->ExecuteCommandLists(1, &l);
    });
    // A resource released between recording and execution is caught, not read.
    expect_fault("released before execution", [&] {
        ID3D12Resource *gone = g.committed(D3D12_HEAP_TYPE_DEFAULT, texture_desc(4, 4, DXGI_FORMAT_R8_UNORM),
                                           D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE);
        D3D12_RESOURCE_BARRIER b =
            transition(gone, D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE, D3D12_RESOURCE_STATE_COPY_DEST);
        g.list->ResourceBarrier(1, &b);
        gone->Release();
    });
    // A descriptor handle that names no heap.
    expect_fault("names no live heap slot",
                 [&] { g.dev->CreateShaderResourceView(tex, nullptr, D3D12_CPU_DESCRIPTOR_HANDLE{0x1234}); });
    tex->Release();
    staging->Release();
}

TEST(D3D12StandIn, RootSignatureBlobsRoundTripAndBadOnesAreRefused) {
    ID3D12Device *dev = nullptr;
    ASSERT_EQ(D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, &dev), S_OK);
    D3D12_ROOT_PARAMETER p{};
    p.ParameterType = D3D12_ROOT_PARAMETER_TYPE_32BIT_CONSTANTS;
    p.Constants = {0, 0, 16};
    p.ShaderVisibility = D3D12_SHADER_VISIBILITY_VERTEX;
    D3D12_STATIC_SAMPLER_DESC s{};
    s.AddressU = s.AddressV = s.AddressW = 1;
    D3D12_ROOT_SIGNATURE_DESC d = {1, &p, 1, &s, 0x1D};
    ID3DBlob *blob = nullptr, *err = nullptr;
    ASSERT_EQ(D3D12SerializeRootSignature(&d, D3D_ROOT_SIGNATURE_VERSION_1, &blob, &err), S_OK);
    EXPECT_EQ(err, nullptr);
    ID3D12RootSignature *root = nullptr;
    EXPECT_EQ(dev->CreateRootSignature(0, blob->GetBufferPointer(), blob->GetBufferSize(), &root), S_OK);
    d3d_release(&root);
    // Every truncation and a flipped byte in the counts are refused.
    std::vector<uint8_t> bytes(static_cast<uint8_t *>(blob->GetBufferPointer()),
                               static_cast<uint8_t *>(blob->GetBufferPointer()) + blob->GetBufferSize());
    for (size_t n = 0; n < bytes.size(); n++) {
        EXPECT_EQ(dev->CreateRootSignature(0, bytes.data(), n, &root), E_INVALIDARG) << n;
        EXPECT_EQ(root, nullptr);
    }
    bytes[8] = 0xFF;  // parameter count
    EXPECT_EQ(dev->CreateRootSignature(0, bytes.data(), bytes.size(), &root), E_INVALIDARG);
    bytes.push_back(0);
    EXPECT_EQ(dev->CreateRootSignature(0, bytes.data(), bytes.size(), &root), E_INVALIDARG);
    blob->Release();
    // Version 2 and a zero-sized range: refused with a reason.
    EXPECT_EQ(D3D12SerializeRootSignature(&d, 2, &blob, &err), E_INVALIDARG);
    ASSERT_NE(err, nullptr);
    EXPECT_GT(err->GetBufferSize(), 0u);
    d3d_release(&err);
    const D3D12_DESCRIPTOR_RANGE empty = {D3D12_DESCRIPTOR_RANGE_TYPE_SRV, 0, 0, 0, 0};
    p.ParameterType = D3D12_ROOT_PARAMETER_TYPE_DESCRIPTOR_TABLE;
    p.DescriptorTable = {1, &empty};
    EXPECT_EQ(D3D12SerializeRootSignature(&d, D3D_ROOT_SIGNATURE_VERSION_1, &blob, nullptr), E_INVALIDARG);
    EXPECT_EQ(blob, nullptr);
    dev->Release();
}

TEST(D3D12StandIn, FencesOrderDeferredExecution) {
    Rig g;
    g.queue->set_deferred(true);
    const uint64_t faults = d3d12_fault_count();
    ID3D12Resource *staging = nullptr;
    ID3D12Resource *tex = red_blue(g, &staging);
    // Frames in a row, each waiting on the fence before its upload buffer
    // and texture are touched again.
    for (int frame = 0; frame < 20; frame++) {
        uint8_t *p = nullptr;
        ASSERT_EQ(staging->Map(0, nullptr, reinterpret_cast<void **>(&p)), S_OK);
        p[0] = uint8_t(frame);
        staging->Unmap(0, nullptr);
        D3D12_RESOURCE_BARRIER in =
            transition(tex, D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE, D3D12_RESOURCE_STATE_COPY_DEST);
        D3D12_RESOURCE_BARRIER out =
            transition(tex, D3D12_RESOURCE_STATE_COPY_DEST, D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE);
        D3D12_TEXTURE_COPY_LOCATION dst{}, src{};
        dst.pResource = tex;
        src.pResource = staging;
        src.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
        src.PlacedFootprint = {0, {DXGI_FORMAT_B8G8R8A8_UNORM, 2, 1, 1, 256}};
        g.list->ResourceBarrier(1, &in);
        g.list->CopyTextureRegion(&dst, 0, 0, 0, &src, nullptr);
        g.list->ResourceBarrier(1, &out);
        g.submit();
        EXPECT_EQ(tex->data()[0], uint8_t(frame));
        EXPECT_GE(g.fence->GetCompletedValue(), g.value);
    }
    // An event set on completion, and one set at once for a value reached.
    HANDLE ev = CreateEventW(nullptr, true, false, nullptr);
    ASSERT_EQ(g.list->Close(), S_OK);
    ID3D12CommandList *l = g.list;
    g.queue->ExecuteCommandLists(1, &l);
    ASSERT_EQ(g.queue->Signal(g.fence, ++g.value), S_OK);
    ASSERT_EQ(g.fence->SetEventOnCompletion(g.value, ev), S_OK);
    EXPECT_EQ(WaitForSingleObjectEx(ev, 5000, false), WAIT_OBJECT_0);
    EXPECT_EQ(g.fence->GetCompletedValue(), g.value);
    ResetEvent(ev);
    ASSERT_EQ(g.fence->SetEventOnCompletion(1, ev), S_OK);
    EXPECT_EQ(WaitForSingleObjectEx(ev, 0, false), WAIT_OBJECT_0);
    CloseHandle(ev);
    EXPECT_EQ(d3d12_fault_count(), faults) << d3d12_last_fault();
    ASSERT_EQ(g.alloc->Reset(), S_OK);
    ASSERT_EQ(g.list->Reset(g.alloc, nullptr), S_OK);
    tex->Release();
    staging->Release();
}

TEST(D3D12StandIn, InjectedFaultsDeviceRemovalAndLiveObjects) {
    const int64_t live = d3d_live_objects();
    {
        Rig g;
        const D3D12_RESOURCE_DESC bd = buffer_desc(256);
        D3D12_HEAP_PROPERTIES up = {D3D12_HEAP_TYPE_UPLOAD, 0, 0, 1, 1};
        ID3D12Resource *r = nullptr;
        d3d_fail("ID3D12Device_CreateCommittedResource", DXGI_ERROR_DEVICE_HUNG, 1);
        EXPECT_EQ(g.dev->CreateCommittedResource(&up, 0, &bd, D3D12_RESOURCE_STATE_GENERIC_READ, nullptr, &r),
                  S_OK);
        d3d_release(&r);
        EXPECT_EQ(g.dev->CreateCommittedResource(&up, 0, &bd, D3D12_RESOURCE_STATE_GENERIC_READ, nullptr, &r),
                  DXGI_ERROR_DEVICE_HUNG);
        EXPECT_EQ(r, nullptr);
        // Upload heaps live in GENERIC_READ; anything else is refused.
        EXPECT_EQ(g.dev->CreateCommittedResource(&up, 0, &bd, D3D12_RESOURCE_STATE_COPY_DEST, nullptr, &r),
                  E_INVALIDARG);
        r = g.committed(D3D12_HEAP_TYPE_UPLOAD, bd, D3D12_RESOURCE_STATE_GENERIC_READ);
        d3d_fail("ID3D12Resource_Map", E_OUTOFMEMORY);
        void *p = &r;
        EXPECT_EQ(r->Map(0, nullptr, &p), E_OUTOFMEMORY);
        EXPECT_EQ(p, nullptr);
        EXPECT_EQ(r->maps(), 0u);
        EXPECT_EQ(r->Map(0, nullptr, &p), S_OK);
        EXPECT_EQ(r->maps(), 1u);
        d3d_release(&r);
        d3d_clear_faults();
        // A removed device answers its reason from then on.
        g.dev->remove(DXGI_ERROR_DEVICE_REMOVED);
        EXPECT_EQ(g.dev->GetDeviceRemovedReason(), DXGI_ERROR_DEVICE_REMOVED);
        ID3D12Fence *f = nullptr;
        EXPECT_EQ(g.dev->CreateFence(0, 0, &f), DXGI_ERROR_DEVICE_REMOVED);
        EXPECT_EQ(g.queue->Signal(g.fence, 1), DXGI_ERROR_DEVICE_REMOVED);
        D3D12_DESCRIPTOR_HEAP_DESC hd = {D3D12_DESCRIPTOR_HEAP_TYPE_RTV, 1,
                                         D3D12_DESCRIPTOR_HEAP_FLAG_SHADER_VISIBLE, 0};
        ID3D12DescriptorHeap *h = nullptr;
        EXPECT_EQ(g.dev->CreateDescriptorHeap(&hd, &h), E_INVALIDARG);  // RTV heaps are never shader visible
    }
    EXPECT_EQ(d3d_live_objects(), live);
}

// ---- The swap chain on a queue ----

TEST(D3D12SwapChain, TwoBuffersTakeTurnsAndPresentChecksTheirState) {
    ASSERT_FALSE(xvfb_display().empty());
    const int64_t live = d3d_live_objects();
    Display *dpy = XOpenDisplay(nullptr);
    ASSERT_NE(dpy, nullptr);
    Window win = mapped_window(dpy, 96, 64);
    const DXGI_X11_WINDOW handle = {dpy, win};
    {
        Rig g;
        IDXGIFactory2 *factory = nullptr;
        ASSERT_EQ(CreateDXGIFactory2(0, &factory), S_OK);
        DXGI_SWAP_CHAIN_DESC1 d = flip_chain_desc(0, 0, 0x840);
        IDXGISwapChain *sc = nullptr;
        ASSERT_EQ(factory->CreateSwapChainForHwnd(g.queue, &handle, &d, nullptr, nullptr, &sc), S_OK);
        DXGI_SWAP_CHAIN_DESC1 got;
        sc->GetDesc1(&got);
        EXPECT_EQ(got.Width, 96u);
        EXPECT_EQ(got.Height, 64u);
        ID3D11Texture2D *wrong = nullptr;
        EXPECT_EQ(sc->GetBuffer(0, &wrong), DXGI_ERROR_INVALID_CALL);
        D3DObject *owner = nullptr;
        EXPECT_EQ(sc->GetDevice(DXGI_IID_ID3D11Device, &owner), E_NOINTERFACE);
        ASSERT_EQ(sc->GetDevice(DXGI_IID_ID3D12Device, &owner), S_OK);
        EXPECT_EQ(owner, g.dev);
        owner->Release();

        D3D12_DESCRIPTOR_HEAP_DESC hd = {D3D12_DESCRIPTOR_HEAP_TYPE_RTV, 2, 0, 0};
        ID3D12DescriptorHeap *heap = nullptr;
        ASSERT_EQ(g.dev->CreateDescriptorHeap(&hd, &heap), S_OK);
        ID3D12Resource *buf[2] = {};
        D3D12_CPU_DESCRIPTOR_HANDLE rtv[2];
        for (uint32_t i = 0; i < 2; i++) {
            ASSERT_EQ(sc->GetBuffer(i, &buf[i]), S_OK);
            EXPECT_EQ(buf[i]->state(), D3D12_RESOURCE_STATE_PRESENT);
            rtv[i] = heap->GetCPUDescriptorHandleForHeapStart();
            rtv[i].ptr += i * g.dev->GetDescriptorHandleIncrementSize(D3D12_DESCRIPTOR_HEAP_TYPE_RTV);
            g.dev->CreateRenderTargetView(buf[i], nullptr, rtv[i]);
        }
        auto pixel = [&](int x, int y) {
            XImage *img = XGetImage(dpy, win, x, y, 1, 1, AllPlanes, ZPixmap);
            const unsigned long p = XGetPixel(img, 0, 0);
            XDestroyImage(img);
            return p & 0xFFFFFF;
        };
        // Each frame clears the current buffer to its own colour.
        const float colours[3][4] = {{1, 0, 0, 1}, {0, 1, 0, 1}, {0, 0, 1, 1}};
        const unsigned long seen[3] = {0xFF0000, 0x00FF00, 0x0000FF};
        const uint64_t faults = d3d12_fault_count();
        for (uint32_t frame = 0; frame < 3; frame++) {
            const uint32_t i = sc->GetCurrentBackBufferIndex();
            EXPECT_EQ(i, frame % 2);
            D3D12_RESOURCE_BARRIER b =
                transition(buf[i], D3D12_RESOURCE_STATE_PRESENT, D3D12_RESOURCE_STATE_RENDER_TARGET);
            g.list->ResourceBarrier(1, &b);
            g.list->ClearRenderTargetView(rtv[i], colours[frame], 0, nullptr);
            b = transition(buf[i], D3D12_RESOURCE_STATE_RENDER_TARGET, D3D12_RESOURCE_STATE_PRESENT);
            g.list->ResourceBarrier(1, &b);
            g.submit();
            ASSERT_EQ(sc->Present(0, DXGI_PRESENT_ALLOW_TEARING), S_OK);
            EXPECT_EQ(pixel(10, 10), seen[frame]);
        }
        EXPECT_EQ(d3d12_fault_count(), faults) << d3d12_last_fault();
        // On a queue of its own thread the present still comes after the work
        // executed before it, without the caller waiting on a fence.
        g.queue->set_deferred(true);
        for (uint32_t frame = 0; frame < 6; frame++) {
            const uint32_t i = sc->GetCurrentBackBufferIndex();
            D3D12_RESOURCE_BARRIER b =
                transition(buf[i], D3D12_RESOURCE_STATE_PRESENT, D3D12_RESOURCE_STATE_RENDER_TARGET);
            g.list->ResourceBarrier(1, &b);
            // Enough work that the queue's thread is still busy when Present comes.
            for (int k = 0; k < 200; k++)
                g.list->ClearRenderTargetView(rtv[i], colours[(frame + k) % 3], 0, nullptr);
            g.list->ClearRenderTargetView(rtv[i], colours[frame % 3], 0, nullptr);
            b = transition(buf[i], D3D12_RESOURCE_STATE_RENDER_TARGET, D3D12_RESOURCE_STATE_PRESENT);
            g.list->ResourceBarrier(1, &b);
            ASSERT_EQ(g.list->Close(), S_OK);
            ID3D12CommandList *l = g.list;
            g.queue->ExecuteCommandLists(1, &l);
            ASSERT_EQ(sc->Present(0, 0), S_OK);
            EXPECT_EQ(pixel(10, 10), seen[frame % 3]);
            ASSERT_EQ(g.alloc->Reset(), S_OK);  // the present found the list carried out
            ASSERT_EQ(g.list->Reset(g.alloc, nullptr), S_OK);
        }
        g.queue->set_deferred(false);
        EXPECT_EQ(d3d12_fault_count(), faults) << d3d12_last_fault();
        // Presenting a buffer left in RENDER_TARGET is a fault and shows nothing new.
        const uint32_t i = sc->GetCurrentBackBufferIndex();
        D3D12_RESOURCE_BARRIER b =
            transition(buf[i], D3D12_RESOURCE_STATE_PRESENT, D3D12_RESOURCE_STATE_RENDER_TARGET);
        g.list->ResourceBarrier(1, &b);
        g.list->ClearRenderTargetView(rtv[i], colours[0], 0, nullptr);
        g.submit();
        EXPECT_EQ(sc->Present(0, 0), S_OK);
        EXPECT_NE(d3d12_last_fault().find("not PRESENT"), std::string::npos) << d3d12_last_fault();
        EXPECT_EQ(pixel(10, 10), seen[2]);
        b = transition(buf[i], D3D12_RESOURCE_STATE_RENDER_TARGET, D3D12_RESOURCE_STATE_PRESENT);
        g.list->ResourceBarrier(1, &b);
        g.submit();

        // Resizing waits for every buffer reference to go, and starts again at 0.
        XResizeWindow(dpy, win, 120, 80);
        XSync(dpy, False);
        EXPECT_EQ(sc->ResizeBuffers(0, 0, 0, DXGI_FORMAT_UNKNOWN, 0x840), DXGI_ERROR_INVALID_CALL);
        d3d_release(&buf[0]);
        d3d_release(&buf[1]);
        EXPECT_EQ(sc->ResizeBuffers(0, 0, 0, DXGI_FORMAT_UNKNOWN, 0x840), S_OK);
        sc->GetDesc1(&got);
        EXPECT_EQ(got.Width, 120u);
        EXPECT_EQ(sc->GetCurrentBackBufferIndex(), 0u);
        // A removed device's swap chain answers the reason.
        g.dev->remove(DXGI_ERROR_DEVICE_RESET);
        EXPECT_EQ(sc->Present(0, 0), DXGI_ERROR_DEVICE_RESET);
        sc->Release();
        heap->Release();
        factory->Release();
    }
    EXPECT_EQ(d3d_live_objects(), live);
    XDestroyWindow(dpy, win);
    XCloseDisplay(dpy);
}
