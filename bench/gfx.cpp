// One 1920x1080 NV12 picture drawn and presented into a 1920x1080 X window
// (our own Xvfb) through the Direct3D 11 row on the CPU stand-in, beside the
// Vulkan row on Mesa's CPU device and beside libswscale converting the same
// picture to BGRA at the same size. The drawing part alone (upload, convert,
// draw into the back buffer, no present) is set beside libswscale too, with
// the stand-in's quad fast path and with its plain triangle path. The
// Direct3D 12 row (same stand-in, recorded and executed through its command
// list) is drawn and presented beside the Direct3D 11 row. The Direct3D 12
// plane upload alone (Map, rows into the upload buffer, barriers,
// CopyTextureRegion, execution and fence wait) is set beside the two plain
// row copies it amounts to, so the stand-in's own overhead shows.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "compat/d3d/d3d.h"
#include "compat/d3d/d3d12.h"
#include "peer.h"
#include "platform/gfx/gfx.h"
#include "platform/gfx/vk_load.h"
#include "support/xvfb.h"

// After the others: Xlib defines None.
#include <X11/Xlib.h>

extern "C" {
#include <libswscale/swscale.h>
}

namespace {

constexpr uint32_t W = 1920, H = 1080;

std::vector<uint8_t> nv12_picture() {
    std::vector<uint8_t> p(size_t(W) * H * 3 / 2);
    for (uint32_t y = 0; y < H; ++y)
        for (uint32_t x = 0; x < W; ++x) p[size_t(y) * W + x] = uint8_t((x * 3 + y) & 0xFF);
    for (size_t i = size_t(W) * H; i < p.size(); ++i) p[i] = uint8_t(i * 7);
    return p;
}

VKO_RenderDesc nv12_desc() {
    VKO_RenderDesc d{};
    d.format = VKO_COLOR_FORMAT_NV12;
    d.chroma = 2;
    d.stride = W;
    d.plane_height = H;
    d.image_width = W;
    d.image_height = H;
    d.filter = 1;
    return d;
}

// range(0): the row (2 Vulkan, 3 Direct3D 11, 4 Direct3D 12); range(1): 1 draws and
// presents, 0 presents only, 2 draws only (Direct3D 11: no present),
// 3 draws only on the plain triangle path.
void BM_GfxNV12ToWindow(benchmark::State &state) {
    const uint32_t api = uint32_t(state.range(0));
    const int64_t mode = state.range(1);
    if (xvfb_display(W, H).empty()) {
        state.SkipWithError("no Xvfb");
        return;
    }
    setenv("VK_ICD_FILENAMES", "/usr/share/vulkan/icd.d/lvp_icd.x86_64.json", 1);
    Display *dpy = XOpenDisplay(nullptr);
    Window win = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, W, H, 0, 0, 0);
    XMapWindow(dpy, win);
    XSync(dpy, False);
    VKO_X11Window handle{dpy, win};
    const vko_gfx_ctx_api &ctx_api = vko_gfx_ctx_apis[api];
    const vko_gfx_api &frames = vko_gfx_apis[api];
    void *ctx = ctx_api.create(&handle, false);
    void *device = ctx ? ctx_api.get_device(ctx) : nullptr;
    void *r = device ? frames.create(device, 0) : nullptr;
    if (!r) {
        state.SkipWithError("no device");
    } else {
        if (api == VKO_GFX_D3D11) static_cast<ID3D11Device *>(device)->set_fast_path(mode != 3);
        std::vector<uint8_t> pic = nv12_picture();
        VKO_RenderDesc d = nv12_desc();
        uint64_t drawn = 0;
        void *surface = nullptr;
        for (auto _ : state) {
            pic[drawn % pic.size()]++;  // a new picture each frame
            if (!surface) surface = ctx_api.get_surface(ctx);
            if (!surface) continue;
            ctx_api.get_size(ctx, &d.view_width, &d.view_height);
            if (mode != 0 && !frames.render(r, device, ctx_api.get_context(ctx), pic.data(), &d, surface)) {
                state.SkipWithError("render failed");
                break;
            }
            if (mode <= 1 || api != VKO_GFX_D3D11) {
                ctx_api.present(ctx);
                surface = nullptr;
            }
            drawn++;
        }
        if (surface) ctx_api.present(ctx);
        state.counters["fps"] = benchmark::Counter(double(drawn), benchmark::Counter::kIsRate);
        frames.destroy(&r, device);
    }
    if (ctx) ctx_api.destroy(&ctx);
    XDestroyWindow(dpy, win);
    XCloseDisplay(dpy);
}
BENCHMARK(BM_GfxNV12ToWindow)
    ->Args({3, 1})
    ->Args({3, 0})
    ->Args({3, 2})
    ->Args({3, 3})
    ->Args({2, 1})
    ->Args({4, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

constexpr uint32_t UPLOAD_PITCH = (W + 255) / 256 * 256;

// Both NV12 planes as the renderer uploads them: Y as R8 W x H, UV as R8G8
// W/2 x H/2, each the same W bytes a row.
void BM_D3D12PlaneUpload(benchmark::State &state) {
    ID3D12Device *dev = nullptr;
    ID3D12CommandQueue *queue = nullptr;
    ID3D12CommandAllocator *alloc = nullptr;
    ID3D12GraphicsCommandList *list = nullptr;
    ID3D12Fence *fence = nullptr;
    D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, &dev);
    const D3D12_COMMAND_QUEUE_DESC qd = {D3D12_COMMAND_LIST_TYPE_DIRECT, 0, 0, 0};
    dev->CreateCommandQueue(&qd, &queue);
    dev->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT, &alloc);
    dev->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, alloc, nullptr, &list);
    dev->CreateFence(0, 0, &fence);
    const D3D12_HEAP_PROPERTIES upload_heap = {D3D12_HEAP_TYPE_UPLOAD, 0, 0, 1, 1};
    const D3D12_HEAP_PROPERTIES default_heap = {D3D12_HEAP_TYPE_DEFAULT, 0, 0, 1, 1};
    const uint32_t heights[2] = {H, H / 2}, widths[2] = {W, W / 2};
    const DXGI_FORMAT formats[2] = {DXGI_FORMAT_R8_UNORM, DXGI_FORMAT_R8G8_UNORM};
    ID3D12Resource *up[2] = {}, *tex[2] = {};
    for (int p = 0; p < 2; ++p) {
        const D3D12_RESOURCE_DESC bd = {D3D12_RESOURCE_DIMENSION_BUFFER,
                                        0,
                                        uint64_t(UPLOAD_PITCH) * heights[p],
                                        1,
                                        1,
                                        1,
                                        DXGI_FORMAT_UNKNOWN,
                                        {1, 0},
                                        D3D12_TEXTURE_LAYOUT_ROW_MAJOR,
                                        0};
        const D3D12_RESOURCE_DESC td = {
            D3D12_RESOURCE_DIMENSION_TEXTURE2D, 0, widths[p], heights[p], 1, 1, formats[p], {1, 0},
            D3D12_TEXTURE_LAYOUT_UNKNOWN,       0};
        dev->CreateCommittedResource(&upload_heap, 0, &bd, D3D12_RESOURCE_STATE_GENERIC_READ, nullptr,
                                     &up[p]);
        dev->CreateCommittedResource(&default_heap, 0, &td, D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE,
                                     nullptr, &tex[p]);
    }
    std::vector<uint8_t> pic = nv12_picture();
    const uint64_t faults = d3d12_fault_count();
    uint64_t n = 0, value = 0;
    for (auto _ : state) {
        pic[n++ % pic.size()]++;
        const uint8_t *src = pic.data();
        for (int p = 0; p < 2; ++p) {
            void *m = nullptr;
            up[p]->Map(0, nullptr, &m);
            for (uint32_t y = 0; y < heights[p]; ++y)
                memcpy(static_cast<uint8_t *>(m) + size_t(y) * UPLOAD_PITCH, src + size_t(y) * W, W);
            up[p]->Unmap(0, nullptr);
            src += size_t(W) * heights[p];
            D3D12_RESOURCE_BARRIER b{};
            b.Type = D3D12_RESOURCE_BARRIER_TYPE_TRANSITION;
            b.Transition = {tex[p], D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES,
                            D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE, D3D12_RESOURCE_STATE_COPY_DEST};
            list->ResourceBarrier(1, &b);
            D3D12_TEXTURE_COPY_LOCATION dst{}, from{};
            dst.pResource = tex[p];
            dst.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
            from.pResource = up[p];
            from.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
            from.PlacedFootprint = {0, {formats[p], widths[p], heights[p], 1, UPLOAD_PITCH}};
            list->CopyTextureRegion(&dst, 0, 0, 0, &from, nullptr);
            std::swap(b.Transition.StateBefore, b.Transition.StateAfter);
            list->ResourceBarrier(1, &b);
        }
        list->Close();
        ID3D12CommandList *l = list;
        queue->ExecuteCommandLists(1, &l);
        queue->Signal(fence, ++value);
        if (fence->GetCompletedValue() < value) fence->SetEventOnCompletion(value, nullptr);
        alloc->Reset();
        list->Reset(alloc, nullptr);
    }
    if (d3d12_fault_count() != faults) state.SkipWithError(d3d12_last_fault().c_str());
    for (int p = 0; p < 2; ++p) {
        d3d_release(&up[p]);
        d3d_release(&tex[p]);
    }
    d3d_release(&fence);
    d3d_release(&list);
    d3d_release(&alloc);
    d3d_release(&queue);
    d3d_release(&dev);
}
BENCHMARK(BM_D3D12PlaneUpload)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(1.0);

// The peer: the same rows copied twice with memcpy, into a 256-byte pitched
// buffer and from it into a tight one, as the upload and the copy do.
void BM_RowsCopiedTwice(benchmark::State &state) {
    std::vector<uint8_t> pic = nv12_picture();
    const uint32_t rows = H + H / 2;
    std::vector<uint8_t> staging(size_t(UPLOAD_PITCH) * rows), texture(size_t(W) * rows);
    uint64_t n = 0;
    for (auto _ : state) {
        pic[n++ % pic.size()]++;
        for (uint32_t y = 0; y < rows; ++y)
            memcpy(staging.data() + size_t(y) * UPLOAD_PITCH, pic.data() + size_t(y) * W, W);
        for (uint32_t y = 0; y < rows; ++y)
            memcpy(texture.data() + size_t(y) * W, staging.data() + size_t(y) * UPLOAD_PITCH, W);
        benchmark::DoNotOptimize(texture.data());
    }
}
BENCHMARK(BM_RowsCopiedTwice)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(1.0);

void BM_SwscaleNV12ToBGRA(benchmark::State &state) {
    std::vector<uint8_t> pic = nv12_picture();
    std::vector<uint8_t> out(size_t(W) * H * 4);
    SwsContext *sws =
        sws_getContext(W, H, AV_PIX_FMT_NV12, W, H, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
    const uint8_t *src[2] = {pic.data(), pic.data() + size_t(W) * H};
    const int src_stride[2] = {int(W), int(W)};
    uint8_t *dst[1] = {out.data()};
    const int dst_stride[1] = {int(W * 4)};
    uint64_t n = 0;
    for (auto _ : state) {
        pic[n++ % pic.size()]++;
        sws_scale(sws, src, src_stride, 0, H, dst, dst_stride);
        benchmark::DoNotOptimize(out.data());
    }
    sws_freeContext(sws);
}
BENCHMARK(BM_SwscaleNV12ToBGRA)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char **argv) {
    return bench::run_pairs(
        argc, argv,
        {{"NV12 1080p drawn into the back buffer", "BM_GfxNV12ToWindow/3/2/min_time:2.000/real_time",
          "BM_SwscaleNV12ToBGRA/min_time:2.000/real_time",
          "Direct3D 11 row drawing (quad fast path) / libswscale conversion"},
         {"NV12 1080p drawn into the back buffer, plain path",
          "BM_GfxNV12ToWindow/3/3/min_time:2.000/real_time", "BM_SwscaleNV12ToBGRA/min_time:2.000/real_time",
          "Direct3D 11 row drawing (triangle path) / libswscale conversion"},
         {"NV12 1080p to the window", "BM_GfxNV12ToWindow/3/1/min_time:2.000/real_time",
          "BM_GfxNV12ToWindow/2/1/min_time:2.000/real_time",
          "Direct3D 11 row drawn and presented / Vulkan row on the CPU device"},
         {"NV12 1080p to the window, Direct3D 12", "BM_GfxNV12ToWindow/4/1/min_time:2.000/real_time",
          "BM_GfxNV12ToWindow/3/1/min_time:2.000/real_time",
          "Direct3D 12 row drawn and presented / Direct3D 11 row drawn and presented"},
         {"NV12 1080p to the window, beside a conversion", "BM_GfxNV12ToWindow/3/1/min_time:2.000/real_time",
          "BM_SwscaleNV12ToBGRA/min_time:2.000/real_time",
          "Direct3D 11 row drawn and presented / libswscale conversion"},
         {"NV12 1080p to the window through Direct3D 12, beside a conversion",
          "BM_GfxNV12ToWindow/4/1/min_time:2.000/real_time", "BM_SwscaleNV12ToBGRA/min_time:2.000/real_time",
          "Direct3D 12 row drawn and presented / libswscale conversion"},
         {"NV12 1080p planes uploaded through Direct3D 12", "BM_D3D12PlaneUpload/min_time:1.000/real_time",
          "BM_RowsCopiedTwice/min_time:1.000/real_time",
          "stand-in upload and CopyTextureRegion / two memcpy passes over the rows"}});
}
