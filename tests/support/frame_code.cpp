#include "support/frame_code.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cmath>

namespace {

// Limited-range black and white land near 16 and 235; a blend of the two, or
// a colour, falls between these and makes the read fail.
constexpr int kBlackBelow = 96;
constexpr int kWhiteAbove = 160;

int luma_of(unsigned long pixel) {
    const int r = int((pixel >> 16) & 0xFF), g = int((pixel >> 8) & 0xFF), b = int(pixel & 0xFF);
    return (54 * r + 183 * g + 19 * b) >> 8;  // BT.709
}

// Centre of block i along the row, in pixels of the scaled picture.
int centre_x(const FrameCodeArea &a, uint32_t i, double scale) {
    return int(std::floor((a.x + a.block * (i + 0.5)) * scale));
}

int centre_y(const FrameCodeArea &a, double scale) {
    return int(std::floor((a.y + a.block * 0.5) * scale));
}

}  // namespace

FrameCodeArea frame_code_area(uint32_t width, uint32_t height) {
    int block = int(width / (kFrameCodeBlocks + 6)) & ~15;
    block = std::max(16, std::min(block, int(height / 8) & ~15));
    FrameCodeArea a{block, int(height) - 2 * block, block};
    if (a.y < 0) a.y = 0;
    return a;
}

bool frame_code_white(uint32_t value, uint32_t i) {
    if (i < kFrameCodeBits) return (value >> i) & 1;
    return !((value >> (i - kFrameCodeBits)) & 1);
}

bool frame_code_decode(const uint8_t luma[kFrameCodeBlocks], uint32_t *value) {
    uint32_t bits = 0;
    for (uint32_t i = 0; i < kFrameCodeBlocks; i++) {
        if (luma[i] >= kBlackBelow && luma[i] <= kWhiteAbove) return false;
        if (luma[i] > kWhiteAbove) bits |= 1u << i;
    }
    const uint32_t v = bits & kFrameCodeMask;
    if (((bits >> kFrameCodeBits) ^ v) != kFrameCodeMask) return false;
    *value = v;
    return true;
}

bool frame_code_read_plane(const uint8_t *plane, uint32_t stride, const FrameCodeArea &area, double scale,
                           uint32_t *value) {
    uint8_t luma[kFrameCodeBlocks];
    const int y = centre_y(area, scale);
    for (uint32_t i = 0; i < kFrameCodeBlocks; i++)
        luma[i] = plane[size_t(y) * stride + centre_x(area, i, scale)];
    return frame_code_decode(luma, value);
}

void frame_code_paint(Display *dpy, Drawable d, GC gc, const FrameCodeArea &area, int left, int top,
                      uint32_t value) {
    for (uint32_t i = 0; i < kFrameCodeBlocks; i++) {
        XSetForeground(dpy, gc, frame_code_white(value, i) ? 0xFFFFFF : 0x000000);
        XFillRectangle(dpy, d, gc, left + area.x + area.block * int(i), top + area.y, unsigned(area.block),
                       unsigned(area.block));
    }
}

bool frame_code_read_window(Display *dpy, Window w, const FrameCodeArea &area, double scale,
                            uint32_t *value) {
    const int x0 = centre_x(area, 0, scale), x1 = centre_x(area, kFrameCodeBlocks - 1, scale);
    const int y = centre_y(area, scale);
    // A strip outside the window (one not yet grown to its size) is an X
    // error that would end the program: it reads as no value.
    Window root;
    int wx, wy;
    unsigned ww = 0, wh = 0, border, depth;
    if (!XGetGeometry(dpy, w, &root, &wx, &wy, &ww, &wh, &border, &depth) || x0 < 0 || y < 0 ||
        unsigned(x1) >= ww || unsigned(y) >= wh)
        return false;
    XImage *img = XGetImage(dpy, w, x0, y, unsigned(x1 - x0 + 1), 1, AllPlanes, ZPixmap);
    if (!img) return false;
    uint8_t luma[kFrameCodeBlocks];
    for (uint32_t i = 0; i < kFrameCodeBlocks; i++)
        luma[i] = uint8_t(luma_of(XGetPixel(img, centre_x(area, i, scale) - x0, 0)));
    XDestroyImage(img);
    return frame_code_decode(luma, value);
}
