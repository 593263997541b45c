// The pattern the frame-submission tests paint into a producer's picture:
// each BGRA pixel holds (x, y, tag), so a consumer's copy shows both that the
// whole picture arrived in place and which frame it is.
#pragma once

#include <cstdint>

class ID3D11Texture2D;

// The tag of the frame a consumer's BGRA texture holds after checking every
// pixel against the pattern: -2 for a pixel out of place, -3 for a mix of
// frames.
int pattern_tag(const ID3D11Texture2D *t, uint32_t w, uint32_t h);
