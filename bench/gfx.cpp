// One 1920x1080 NV12 picture drawn and presented into a 1920x1080 X window
// (our own Xvfb) through the Direct3D 11 row on the CPU stand-in, beside the
// Vulkan row on Mesa's CPU device and beside libswscale converting the same
// picture to BGRA at the same size. The drawing part alone (upload, convert,
// draw into the back buffer, no present) is set beside libswscale too, with
// the stand-in's quad fast path and with its plain triangle path. The
// Direct3D 12 row (same stand-in, recorded and executed through its command
// list) is drawn and presented beside the Direct3D 11 row.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "compat/d3d/d3d.h"
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
          "Direct3D 12 row drawn and presented / libswscale conversion"}});
}
