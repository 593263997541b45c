// Any byte string either fails to decode cleanly or decodes to a picture
// within the bound whose every pixel can be read; PNG written from those
// pixels reads back the same. The bound is a cursor's, so each run is short.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/image.h"
#include "platform/log.h"
#include "platform/memory.h"

static void quiet(const char *, void *) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool init = (VKO_SetLogFunc(quiet, nullptr), true);
    (void)init;

    uint32_t w = 0, h = 0;
    auto *px = (uint8_t *)VKO_DecompressImageWithin(data, size, VKO_IMAGE_CURSOR_SIDE, 1u << 20, &w, &h);
    if (!px) return 0;
    if (!w || !h || w > VKO_IMAGE_CURSOR_SIDE || h > VKO_IMAGE_CURSOR_SIDE || (uint64_t)w * h > (1u << 20))
        abort();
    size_t bytes = (size_t)w * h * 4, png_size = 0;
    void *png = VKO_CompressImage(VKO_IMAGE_PNG, px, w, h, &png_size);
    if (!png) abort();
    uint32_t w2 = 0, h2 = 0;
    auto *again =
        (uint8_t *)VKO_DecompressImageWithin(png, png_size, VKO_IMAGE_CURSOR_SIDE, 1u << 20, &w2, &h2);
    if (!again || w2 != w || h2 != h || memcmp(again, px, bytes) != 0) abort();
    VKO_Free(again);
    VKO_Free(png);
    VKO_Free(px);
    return 0;
}
