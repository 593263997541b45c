// An X image read back from a window, as tightly packed RGBA bytes.
#pragma once

#include <cstdint>
#include <vector>

struct _XImage;  // Xlib's XImage, without its macros

std::vector<uint8_t> ximage_rgba(_XImage *img, int w, int h);
