// PNG encode and decode of a 1920x1080 screenshot-like picture (flat panels,
// gradients and dense "text" runs): the codec's functions beside libspng
// called directly with its defaults. The ratio lines at the end compare each
// Ours/Spng pair.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include <spng.h>

#include "peer.h"
#include "platform/image.h"
#include "platform/memory.h"

namespace {

constexpr uint32_t W = 1920, H = 1080;

const std::vector<uint8_t> &screenshot() {
    static std::vector<uint8_t> px = [] {
        std::vector<uint8_t> p((size_t)W * H * 4);
        uint32_t seed = 1;
        for (uint32_t y = 0; y < H; y++)
            for (uint32_t x = 0; x < W; x++) {
                uint8_t *d = &p[((size_t)y * W + x) * 4];
                if (y < 40) {  // title bar gradient
                    d[0] = (uint8_t)(x / 8), d[1] = 60, d[2] = (uint8_t)(200 - y);
                } else if (x > 300 && x < 1600 && (y / 18) % 2 == 0) {  // text lines
                    seed = seed * 1103515245 + 12345;
                    uint8_t ink = (seed >> 16) % 3 == 0 ? 20 : 240;
                    d[0] = d[1] = d[2] = ink;
                } else {  // panels
                    d[0] = 230, d[1] = 232, d[2] = (uint8_t)(236 + (x / 240));
                }
                d[3] = 255;
            }
        return p;
    }();
    return px;
}

std::vector<uint8_t> encoded() {
    size_t size = 0;
    void *png = VKO_CompressImage(VKO_IMAGE_PNG, screenshot().data(), W, H, &size);
    std::vector<uint8_t> out((uint8_t *)png, (uint8_t *)png + size);
    VKO_Free(png);
    return out;
}

void BM_EncodeOurs(benchmark::State &state) {
    size_t size = 0;
    for (auto _ : state) {
        void *png = VKO_CompressImage(VKO_IMAGE_PNG, screenshot().data(), W, H, &size);
        if (!png) state.SkipWithError("encode failed");
        VKO_Free(png);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["png_bytes"] = (double)size;
}

void BM_EncodeSpng(benchmark::State &state) {
    size_t size = 0;
    for (auto _ : state) {
        spng_ctx *ctx = spng_ctx_new(SPNG_CTX_ENCODER);
        spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
        spng_ihdr ihdr = {W, H, 8, SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 0, 0, 0};
        spng_set_ihdr(ctx, &ihdr);
        int err = spng_encode_image(ctx, screenshot().data(), screenshot().size(), SPNG_FMT_PNG,
                                    SPNG_ENCODE_FINALIZE);
        void *png = spng_get_png_buffer(ctx, &size, &err);
        if (!png) state.SkipWithError("encode failed");
        free(png);
        spng_ctx_free(ctx);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["png_bytes"] = (double)size;
}

void BM_DecodeOurs(benchmark::State &state) {
    std::vector<uint8_t> png = encoded();
    for (auto _ : state) {
        uint32_t w = 0, h = 0;
        void *px = VKO_DecompressImage(png.data(), png.size(), &w, &h);
        if (!px || memcmp(px, screenshot().data(), screenshot().size()) != 0)
            state.SkipWithError("decode wrong");
        VKO_Free(px);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_DecodeSpng(benchmark::State &state) {
    std::vector<uint8_t> png = encoded();
    for (auto _ : state) {
        spng_ctx *ctx = spng_ctx_new(0);
        spng_set_png_buffer(ctx, png.data(), png.size());
        size_t size = 0;
        spng_decoded_image_size(ctx, SPNG_FMT_RGBA8, &size);
        void *px = malloc(size);
        if (spng_decode_image(ctx, px, size, SPNG_FMT_RGBA8, 0) != 0 ||
            memcmp(px, screenshot().data(), screenshot().size()) != 0)
            state.SkipWithError("decode wrong");
        free(px);
        spng_ctx_free(ctx);
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_EncodeOurs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeSpng)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeOurs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeSpng)->Unit(benchmark::kMillisecond);
int main(int argc, char **argv) {
    const char *names = "VKO_CompressImage / libspng";
    return bench::run_pairs(
        argc, argv,
        {{"encode 1920x1080 PNG", "BM_EncodeOurs", "BM_EncodeSpng", names},
         {"decode 1920x1080 PNG", "BM_DecodeOurs", "BM_DecodeSpng", "VKO_DecompressImage / libspng"}});
}
