// A frame counter painted into a picture as one row of big black and white
// blocks, and read back from wherever the picture ends up (a decoded plane, a
// window on screen), even scaled down and through a lossy H.264 encode: the
// counter's bits, then their complement, so a torn, blended or covered strip
// reads as no value rather than a wrong one.
#pragma once

#include <cstdint>

// Xlib's types without its macros (None, Bool), which clash with other headers.
struct _XDisplay;
struct _XGC;

constexpr uint32_t kFrameCodeBits = 12;  // the counter wraps every 4096 frames
constexpr uint32_t kFrameCodeMask = (1u << kFrameCodeBits) - 1;
constexpr uint32_t kFrameCodeBlocks = 2 * kFrameCodeBits;

// Where the strip sits in a picture of the given size, in its pixels: along
// the bottom edge, blocks of a multiple of 16 pixels (whole macroblocks).
struct FrameCodeArea {
    int x, y, block;
    int width() const { return block * int(kFrameCodeBlocks); }
};
FrameCodeArea frame_code_area(uint32_t width, uint32_t height);

// Whether block i (0..23) is white for this counter value.
bool frame_code_white(uint32_t value, uint32_t i);

// The value from the luma (0..255) at each block's centre; false unless every
// block is clearly black or white and the two halves are complements.
bool frame_code_decode(const uint8_t luma[kFrameCodeBlocks], uint32_t *value);

// Reads the strip from a luma plane whose picture is `scale` times the size
// the area was laid out for.
bool frame_code_read_plane(const uint8_t *plane, uint32_t stride, const FrameCodeArea &area, double scale,
                           uint32_t *value);

// Paints the value on a drawable (a root window, a test window).
void frame_code_paint(_XDisplay *dpy, unsigned long drawable, _XGC *gc, const FrameCodeArea &area, int left,
                      int top, uint32_t value);

// Reads the strip from a window showing the picture at `scale`, through one
// XGetImage of the single row through the block centres.
bool frame_code_read_window(_XDisplay *dpy, unsigned long window, const FrameCodeArea &area, double scale,
                            uint32_t *value);
