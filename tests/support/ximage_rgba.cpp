#include "support/ximage_rgba.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "platform/image.h"
#include "platform/memory.h"

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

void save_screenshot(_XDisplay *dpy, unsigned long drawable, const std::string &name, int w, int h) {
    const char *dir = getenv("ZARVEK_SCREENSHOTS");
    if (!dir || !dpy) return;
    if (w <= 0 || h <= 0) {
        Window root;
        int x, y;
        unsigned gw = 0, gh = 0, border, depth;
        if (!XGetGeometry(dpy, drawable, &root, &x, &y, &gw, &gh, &border, &depth)) return;
        w = (int)gw, h = (int)gh;
    }
    XImage *img = XGetImage(dpy, drawable, 0, 0, (unsigned)w, (unsigned)h, AllPlanes, ZPixmap);
    if (!img) return;
    std::vector<uint8_t> rgba = ximage_rgba(img, w, h);
    XDestroyImage(img);
    size_t size = 0;
    void *png = VKO_CompressImage(VKO_IMAGE_PNG, rgba.data(), (uint32_t)w, (uint32_t)h, &size);
    if (!png) return;
    if (FILE *f = fopen((std::string(dir) + "/" + name + ".png").c_str(), "wb")) {
        fwrite(png, 1, size, f);
        fclose(f);
    }
    VKO_Free(png);
}
