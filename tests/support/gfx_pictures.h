// Test pictures shared by the renderer tests of every graphics interface: a
// picture of any colour format whose left half is colour A and right half
// colour B, with row padding, and the colours each half must show.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "platform/gfx/gfx.h"

struct Rgb {
    int r, g, b;
};

// The picture: left half colour A, right half colour B, with row padding.
constexpr uint32_t W = 64, H = 32, STRIDE = 80, PLANE_H = 40;

// Limited-range 8-bit YUV of the two halves.
constexpr int YA = 81, UA = 90, VA = 240;
constexpr int YB = 170, UB = 166, VB = 16;

// RGB of a YUV sample by the BT.709 rule of the renderers, clamped and rounded.
Rgb yuv_ref(double y, double u, double v, bool hd, bool full);

// Fills a picture of the given format with the two halves; returns its bytes
// and the description's format-specific fields.
std::vector<uint8_t> make_picture(uint32_t format, uint32_t chroma, bool lsb, VKO_RenderDesc *d);

// Every colour format with the chroma sitings and bit packings the renderers
// are checked with.
struct PictureCase {
    uint32_t format, chroma;
    bool lsb;
};
inline constexpr PictureCase kPictureCases[] = {{1, 0, false}, {2, 0, false},  {3, 0, false}, {4, 0, false},
                                                {5, 0, false}, {6, 0, false},  {7, 0, false}, {8, 2, false},
                                                {9, 2, false}, {9, 0, false},  {9, 1, false}, {10, 2, false},
                                                {10, 2, true}, {11, 2, false}, {11, 0, true}};

// The colours of the two halves.
std::pair<Rgb, Rgb> expected(uint32_t format);
