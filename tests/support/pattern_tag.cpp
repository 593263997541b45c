#include "support/pattern_tag.h"

#include <cstddef>

#include "compat/d3d/d3d.h"

int pattern_tag(const ID3D11Texture2D *t, uint32_t w, uint32_t h) {
    int tag = -1;
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++) {
            const uint8_t *p = t->data() + (size_t)y * t->pitch() + x * 4;
            if (p[0] != (uint8_t)x || p[1] != (uint8_t)y) return -2;
            if (tag == -1) tag = p[2];
            if (p[2] != tag) return -3;
        }
    return tag;
}
