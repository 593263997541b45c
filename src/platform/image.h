// Image codec: 8-bit RGBA pixel buffers (R, G, B, A; rows top to bottom, stride
// width x 4) to and from PNG and JPEG files, and the first icon of an icon file.
// Stateless; any thread may call. Every buffer returned is the caller's to free.
#pragma once

#include <cstddef>
#include <cstdint>

enum VKO_ImageCompression : int32_t {
    VKO_IMAGE_PNG = 0,
    VKO_IMAGE_JPEG = 1,
};

// Decoded images larger than this many bytes of RGBA are refused.
#define VKO_IMAGE_MAX_BYTES 0x40000000ull

// Encoded file and its size, or NULL (logged). JPEG drops the alpha channel.
void *VKO_CompressImage(int32_t method, const void *rgba, uint32_t width, uint32_t height, size_t *size);

// What a decoded picture may be: as many pixels as the largest display (8K),
// no side longer than 16384. A cursor's image is at most 1024 on a side.
#define VKO_IMAGE_MAX_PIXELS (7680ull * 4320ull)
#define VKO_IMAGE_MAX_SIDE 16384u
#define VKO_IMAGE_CURSOR_SIDE 1024u

// RGBA pixels of the first frame (PNG or JPEG), or NULL (logged). Width and
// height are written as soon as they are known. A picture beyond the picture
// bound is refused before anything is allocated for it.
void *VKO_DecompressImage(const void *data, size_t size, uint32_t *width, uint32_t *height);
// The same within a bound of the caller's use: sides up to max_side, at most
// max_pixels pixels. The output grows only as rows are really decoded, and
// data that ends before the picture does is a failure.
void *VKO_DecompressImageWithin(const void *data, size_t size, uint32_t max_side, uint64_t max_pixels,
                                uint32_t *width, uint32_t *height);

// RGBA pixels of the first icon of an .ico file, or NULL (nothing logged) when
// the file holds no icon in the supported form (32 bits per pixel with a
// 1-bit mask). Width and height are left unchanged on failure.
void *VKO_GetFileIcon(const char *path, uint32_t *width, uint32_t *height);
