// An X image read back from a window, as tightly packed RGBA bytes, and a
// screenshot of a window to look at.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct _XImage;    // Xlib's XImage, without its macros
struct _XDisplay;  // Xlib's Display

std::vector<uint8_t> ximage_rgba(_XImage *img, int w, int h);

// With ZARVEK_SCREENSHOTS set, the w x h area at the drawable's top-left
// corner (w or h 0: the drawable's whole size) as <that folder>/<name>.png;
// nothing otherwise.
void save_screenshot(_XDisplay *dpy, unsigned long drawable, const std::string &name, int w = 0, int h = 0);
