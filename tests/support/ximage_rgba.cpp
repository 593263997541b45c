#include "support/ximage_rgba.h"

#include <cstddef>

// Xlib after everything else: its macros clash with other headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

std::vector<uint8_t> ximage_rgba(_XImage *img, int w, int h) {
    std::vector<uint8_t> shot((size_t)w * h * 4);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            unsigned long p = XGetPixel(img, x, y);
            uint8_t *o = &shot[((size_t)y * w + x) * 4];
            o[0] = uint8_t(p >> 16), o[1] = uint8_t(p >> 8), o[2] = uint8_t(p), o[3] = 255;
        }
    return shot;
}
