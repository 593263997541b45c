// Image codec on libspng (PNG) and libjpeg-turbo (JPEG). Log texts keep the
// names of the original imaging calls so logs read the same on every
// platform; the numbers are libspng error codes, or libjpeg's message code
// for a JPEG failure (logged under the step that was running).
#include "platform/image.h"

#include <algorithm>
#include <csetjmp>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>

#include <jpeglib.h>
#include <jerror.h>
#include <spng.h>

#include "platform/log.h"
#include "platform/memory.h"

static bool image_rgba_size(uint32_t width, uint32_t height, size_t *size) {
    uint64_t bytes = (uint64_t)width * height * 4;
    if (width == 0 || height == 0 || bytes > VKO_IMAGE_MAX_BYTES) return false;
    *size = (size_t)bytes;
    return true;
}

// What one decode may hold, set by the use of the picture.
struct ImageBound {
    uint32_t side;
    uint64_t pixels;
};

static bool image_within(uint32_t width, uint32_t height, ImageBound bound) {
    return width && height && width <= bound.side && height <= bound.side &&
           (uint64_t)width * height <= bound.pixels;
}

// Decoded rows, grown as the decoder really reaches them: the header alone
// never sets the allocation, so a short file claiming a large picture costs
// about what its data decodes to.
struct ImageRows {
    uint8_t *data = nullptr;
    size_t stride = 0;
    uint32_t rows = 0;  // rows held
    uint32_t height = 0;

    bool hold(uint32_t need) {
        if (need <= rows) return true;
        if (need > height) return false;
        // Doubling keeps the copies linear; the first block is about 256 KiB.
        uint64_t n = std::max<uint64_t>({need, (uint64_t)rows * 2, (256u << 10) / stride});
        n = std::min<uint64_t>(n, height);
        uint8_t *p = (uint8_t *)realloc(data, (size_t)n * stride);
        if (!p) return false;
        memset(p + (size_t)rows * stride, 0, (size_t)(n - rows) * stride);
        data = p;
        rows = (uint32_t)n;
        return true;
    }
};

// PNG

// Interlaced rows come pass by pass and every pass spans the whole height, so
// one row of the first pass can lie at the picture's bottom. The seven passes
// are kept apart, each grown with its own rows as above, and woven into the
// picture once the last row was decoded: memory still follows the data (a
// file that ends in its first pass holds about 1/64 of the picture).
static int image_png_adam7(spng_ctx *ctx, uint32_t width, uint32_t height, uint8_t **picture) {
    static const uint8_t x0[7] = {0, 4, 0, 2, 0, 1, 0}, y0[7] = {0, 0, 4, 0, 2, 0, 1};
    static const uint8_t dx[7] = {8, 8, 4, 4, 2, 2, 1}, dy[7] = {8, 8, 8, 4, 4, 2, 2};
    ImageRows pass[7];
    uint32_t cols[7], decoded[7] = {};
    for (int p = 0; p < 7; p++) {
        cols[p] = width > x0[p] ? (width - x0[p] + dx[p] - 1) / dx[p] : 0;
        pass[p].stride = (size_t)cols[p] * 4;
        pass[p].height = cols[p] && height > y0[p] ? (height - y0[p] + dy[p] - 1) / dy[p] : 0;
    }
    // The decoder writes a pass's pixels at their places in a whole row.
    uint8_t *line = (uint8_t *)malloc((size_t)width * 4);
    int r = line ? 0 : SPNG_EMEM;
    while (r == 0) {
        struct spng_row_info row = {};
        r = spng_get_row_info(ctx, &row);
        if (r != 0) break;
        int p = row.pass;
        if (p < 0 || p > 6 || row.row_num < y0[p]) {
            r = SPNG_EINTERNAL;
            break;
        }
        uint32_t i = (row.row_num - y0[p]) / dy[p];
        if (!pass[p].hold(i + 1)) {
            r = SPNG_EMEM;
            break;
        }
        r = spng_decode_row(ctx, line, (size_t)width * 4);
        if (r != 0 && r != SPNG_EOI) break;
        uint8_t *to = pass[p].data + (size_t)i * pass[p].stride;
        for (uint32_t k = 0; k < cols[p]; k++)
            memcpy(to + (size_t)k * 4, line + ((size_t)x0[p] + (size_t)k * dx[p]) * 4, 4);
        decoded[p]++;
    }
    free(line);
    if (r == SPNG_EOI) {
        r = 0;
        for (int p = 0; p < 7; p++)
            if (decoded[p] != pass[p].height) r = SPNG_EOI;  // a pass never reached
    }
    *picture = r == 0 ? (uint8_t *)malloc((size_t)width * height * 4) : NULL;
    if (r == 0 && !*picture) r = SPNG_EMEM;
    for (int p = 0; p < 7; p++) {
        for (uint32_t i = 0; r == 0 && i < pass[p].height; i++) {
            const uint8_t *from = pass[p].data + (size_t)i * pass[p].stride;
            uint8_t *to = *picture + ((size_t)(y0[p] + i * dy[p]) * width + x0[p]) * 4;
            for (uint32_t k = 0; k < cols[p]; k++)
                memcpy(to + (size_t)k * dx[p] * 4, from + (size_t)k * 4, 4);
        }
        free(pass[p].data);
    }
    return r;
}

static void *image_png_encode(const void *rgba, uint32_t width, uint32_t height, size_t *size) {
    void *out = NULL;
    void *png = NULL;
    size_t bytes = 0;
    int r = 0;
    struct spng_ihdr ihdr = {};

    spng_ctx *ctx = spng_ctx_new(SPNG_CTX_ENCODER);
    if (!ctx) {
        VKO_Log("VKO_CompressImage", "'CoCreateInstance' failed with HRESULT 0x%X", SPNG_EMEM);
        return NULL;
    }
    // The encoder's growable buffer stands for the memory stream.
    r = spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
    if (r != 0) {
        VKO_Log("VKO_CompressImage", "'CreateStreamOnHGlobal' failed with HRESULT 0x%X", r);
        goto except;
    }

    ihdr.width = width;
    ihdr.height = height;
    ihdr.bit_depth = 8;
    ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
    if (!image_rgba_size(width, height, &bytes)) r = SPNG_EWIDTH;
    if (r == 0) r = spng_set_ihdr(ctx, &ihdr);
    if (r != 0) {
        VKO_Log("VKO_CompressImage", "'IWICBitmapFrameEncode_SetSize' failed with HRESULT 0x%X", r);
        goto except;
    }

    r = spng_encode_image(ctx, rgba, bytes, SPNG_FMT_PNG, 0);
    if (r != 0) {
        VKO_Log("VKO_CompressImage", "'IWICBitmapFrameEncode_WritePixels' failed with HRESULT 0x%X", r);
        goto except;
    }
    // Writes the chunks after the pixels and the end marker.
    r = spng_encode_chunks(ctx);
    if (r != 0) {
        VKO_Log("VKO_CompressImage", "'IWICBitmapFrameEncode_Commit' failed with HRESULT 0x%X", r);
        goto except;
    }

    // The encoder's own buffer comes from malloc, which VKO_Free releases.
    png = spng_get_png_buffer(ctx, size, &r);
    if (!png) {
        VKO_Log("VKO_CompressImage", "'IWICBitmapEncoder_Commit' failed with HRESULT 0x%X", r);
        goto except;
    }
    out = png;

except:
    spng_ctx_free(ctx);
    return out;
}

static void *image_png_decode(const void *data, size_t size, ImageBound bound, uint32_t *width,
                              uint32_t *height) {
    ImageRows out;
    size_t bytes = 0;
    struct spng_ihdr ihdr = {};
    int r = 0;

    spng_ctx *ctx = spng_ctx_new(0);
    if (!ctx) {
        VKO_Log("VKO_DecompressImage", "'CoCreateInstance' failed with HRESULT 0x%X", SPNG_EMEM);
        return NULL;
    }
    // Checksums are verified; ancillary chunks are bounded so hostile input
    // cannot make the decoder cache unbounded metadata.
    spng_set_crc_action(ctx, SPNG_CRC_ERROR, SPNG_CRC_ERROR);
    spng_set_chunk_limits(ctx, 1 << 24, 1 << 26);

    r = spng_set_png_buffer(ctx, data, size);
    if (r != 0) {
        VKO_Log("VKO_DecompressImage", "'SHCreateMemStream' failed");
        goto except;
    }
    r = spng_get_ihdr(ctx, &ihdr);
    if (r != 0) {
        VKO_Log("VKO_DecompressImage",
                "'IWICImagingFactory_CreateDecoderFromStream' failed with HRESULT 0x%X", r);
        goto except;
    }

    *width = ihdr.width;
    *height = ihdr.height;
    if (!image_within(ihdr.width, ihdr.height, bound) || !image_rgba_size(ihdr.width, ihdr.height, &bytes)) {
        VKO_Log("VKO_DecompressImage", "'IWICBitmapFrameDecode_GetSize' failed with HRESULT 0x%X",
                SPNG_EWIDTH);
        goto except;
    }

    {
        size_t converted = 0;
        r = spng_decoded_image_size(ctx, SPNG_FMT_RGBA8, &converted);
        if (r == 0 && converted != bytes) r = SPNG_EOVERFLOW;
        if (r != 0) {
            VKO_Log("VKO_DecompressImage", "'WICConvertBitmapSource' failed with HRESULT 0x%X", r);
            goto except;
        }
    }
    // Row by row; starting reads the chunks up to the image data.
    r = spng_decode_image(ctx, NULL, 0, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE);
    // Not the fatal allocator: memory the machine cannot give is a refusal.
    out.stride = (size_t)ihdr.width * 4;
    out.height = ihdr.height;
    if (r == 0 && ihdr.interlace_method != SPNG_INTERLACE_NONE) {
        r = image_png_adam7(ctx, ihdr.width, ihdr.height, &out.data);
    } else {
        while (r == 0) {
            struct spng_row_info row = {};
            r = spng_get_row_info(ctx, &row);
            if (r == 0 && !out.hold(row.row_num + 1)) r = SPNG_EMEM;
            if (r == 0) r = spng_decode_row(ctx, out.data + (size_t)row.row_num * out.stride, out.stride);
        }
        if (r == SPNG_EOI && out.rows == ihdr.height) r = 0;
    }
    if (r != 0) {
        VKO_Log("VKO_DecompressImage", "'IWICBitmapSource_CopyPixels' failed with HRESULT 0x%X", r);
        free(out.data);
        out.data = NULL;
    }

except:
    spng_ctx_free(ctx);
    return out.data;
}

// JPEG: libjpeg reports fatal errors through error_exit, which must not return.

namespace {
struct JpegError {
    jpeg_error_mgr mgr;
    jmp_buf jump;
    // The log text of the step running when libjpeg gives up.
    const char *volatile step;
};
}  // namespace

static void image_jpeg_error_exit(j_common_ptr cinfo) {
    longjmp(((JpegError *)cinfo->err)->jump, 1);
}

static void image_jpeg_silent(j_common_ptr cinfo, int level) {
    // Data that ends before the picture does is a failure, not grey rows:
    // otherwise a few bytes of header could fill any size of output.
    int code = cinfo->err->msg_code;
    if (level == -1 && (code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER)) image_jpeg_error_exit(cinfo);
}

// A progressive file may repeat its scans without end, and each scan is a
// pass over the whole picture: past this many (encoders write a few dozen at
// most) the decode fails instead of taking minutes.
static const int kJpegMaxScans = 300;

static void image_jpeg_progress(j_common_ptr cinfo) {
    if (cinfo->is_decompressor && ((j_decompress_ptr)cinfo)->input_scan_number > kJpegMaxScans)
        ERREXIT1(cinfo, JERR_BAD_SCAN_SCRIPT, kJpegMaxScans);
}

static void image_jpeg_errors(JpegError *err) {
    jpeg_std_error(&err->mgr);
    err->mgr.error_exit = image_jpeg_error_exit;
    err->mgr.emit_message = image_jpeg_silent;
}

static void *image_jpeg_encode(const void *rgba, uint32_t width, uint32_t height, size_t *size) {
    jpeg_compress_struct cinfo = {};
    JpegError err;
    unsigned char *volatile mem = NULL;
    unsigned long memSize = 0;
    size_t bytes = 0;

    if (!image_rgba_size(width, height, &bytes) || width > JPEG_MAX_DIMENSION ||
        height > JPEG_MAX_DIMENSION) {
        VKO_Log("VKO_CompressImage", "'IWICBitmapFrameEncode_SetSize' failed with HRESULT 0x%X", 1);
        return NULL;
    }

    image_jpeg_errors(&err);
    cinfo.err = &err.mgr;
    if (setjmp(err.jump)) {
        VKO_Log("VKO_CompressImage", err.step, err.mgr.msg_code);
        jpeg_destroy_compress(&cinfo);
        free(mem);
        return NULL;
    }

    err.step = "'IWICImagingFactory_CreateEncoder' failed with HRESULT 0x%X";
    jpeg_create_compress(&cinfo);
    err.step = "'CreateStreamOnHGlobal' failed with HRESULT 0x%X";
    jpeg_mem_dest(&cinfo, (unsigned char **)&mem, &memSize);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = 4;
    cinfo.in_color_space = JCS_EXT_RGBA;
    err.step = "'IWICBitmapFrameEncode_Initialize' failed with HRESULT 0x%X";
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 90, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    err.step = "'IWICBitmapFrameEncode_WritePixels' failed with HRESULT 0x%X";
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = (JSAMPROW)((const uint8_t *)rgba + (size_t)cinfo.next_scanline * width * 4);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    err.step = "'IWICBitmapFrameEncode_Commit' failed with HRESULT 0x%X";
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);

    *size = memSize;
    return mem;
}

static void *image_jpeg_decode(const void *data, size_t size, ImageBound bound, uint32_t *width,
                               uint32_t *height) {
    jpeg_decompress_struct cinfo = {};
    JpegError err;
    // Written between setjmp and longjmp, so kept volatile.
    uint8_t *volatile rows = NULL;
    size_t bytes = 0;
    jpeg_progress_mgr progress = {};
    progress.progress_monitor = image_jpeg_progress;

    image_jpeg_errors(&err);
    cinfo.err = &err.mgr;
    if (setjmp(err.jump)) {
        if (err.step)
            VKO_Log("VKO_DecompressImage", err.step, err.mgr.msg_code);
        else
            VKO_Log("VKO_DecompressImage", "'SHCreateMemStream' failed");
        jpeg_destroy_decompress(&cinfo);
        free(rows);
        return NULL;
    }

    err.step = "'CoCreateInstance' failed with HRESULT 0x%X";
    jpeg_create_decompress(&cinfo);
    cinfo.progress = &progress;
    err.step = NULL;
    jpeg_mem_src(&cinfo, (const unsigned char *)data, (unsigned long)size);
    err.step = "'IWICImagingFactory_CreateDecoderFromStream' failed with HRESULT 0x%X";
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        VKO_Log("VKO_DecompressImage",
                "'IWICImagingFactory_CreateDecoderFromStream' failed with HRESULT 0x%X", 1);
        jpeg_destroy_decompress(&cinfo);
        return NULL;
    }
    *width = cinfo.image_width;
    *height = cinfo.image_height;
    if (!image_within(cinfo.image_width, cinfo.image_height, bound) ||
        !image_rgba_size(cinfo.image_width, cinfo.image_height, &bytes)) {
        VKO_Log("VKO_DecompressImage", "'IWICBitmapFrameDecode_GetSize' failed with HRESULT 0x%X", 1);
        jpeg_destroy_decompress(&cinfo);
        return NULL;
    }
    // libjpeg's own whole-picture buffers (progressive files) stay near the
    // size of the output; beyond it the decode fails instead of allocating.
    cinfo.mem->max_memory_to_use = (long)std::min<uint64_t>((uint64_t)bytes * 2 + (16u << 20), LONG_MAX);

    // Decoding starts with the conversion to RGBA set up.
    err.step = "'WICConvertBitmapSource' failed with HRESULT 0x%X";
    cinfo.out_color_space = JCS_EXT_RGBA;
    jpeg_start_decompress(&cinfo);
    err.step = "'IWICBitmapSource_CopyPixels' failed with HRESULT 0x%X";
    {
        ImageRows out;
        out.stride = (size_t)cinfo.output_width * 4;
        out.height = cinfo.output_height;
        while (cinfo.output_scanline < cinfo.output_height) {
            if (!out.hold(cinfo.output_scanline + 1)) {
                VKO_Log("VKO_DecompressImage", "'IWICBitmapSource_CopyPixels' failed with HRESULT 0x%X", 1);
                jpeg_destroy_decompress(&cinfo);
                free(out.data);
                return NULL;
            }
            rows = out.data;
            JSAMPROW row = out.data + (size_t)cinfo.output_scanline * out.stride;
            jpeg_read_scanlines(&cinfo, &row, 1);
        }
        rows = out.data;
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return rows;
}

void *VKO_CompressImage(int32_t method, const void *rgba, uint32_t width, uint32_t height, size_t *size) {
    *size = 0;
    switch (method) {
        case VKO_IMAGE_PNG:
            return image_png_encode(rgba, width, height, size);
        case VKO_IMAGE_JPEG:
            return image_jpeg_encode(rgba, width, height, size);
        default:
            VKO_Log("VKO_CompressImage", "VKO_ImageCompression method %d not supported", method);
            return NULL;
    }
}

void *VKO_DecompressImageWithin(const void *data, size_t size, uint32_t max_side, uint64_t max_pixels,
                                uint32_t *width, uint32_t *height) {
    static const uint8_t jpeg_magic[3] = {0xFF, 0xD8, 0xFF};
    ImageBound bound = {max_side, max_pixels};

    if (data && size >= 3 && memcmp(data, jpeg_magic, 3) == 0)
        return image_jpeg_decode(data, size, bound, width, height);

    return image_png_decode(data ? data : "", size, bound, width, height);
}

void *VKO_DecompressImage(const void *data, size_t size, uint32_t *width, uint32_t *height) {
    return VKO_DecompressImageWithin(data, size, VKO_IMAGE_MAX_SIDE, VKO_IMAGE_MAX_PIXELS, width, height);
}

// Icons: an .ico file's first image, when it is a 32-bit DIB followed by its
// 1-bit AND mask (rows bottom to top, each padded to 4 bytes).

static uint32_t image_le32(const uint8_t *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static uint16_t image_le16(const uint8_t *p) {
    return (uint16_t)(p[0] | p[1] << 8);
}

static void *image_icon_decode(const uint8_t *file, size_t fileSize, uint32_t *width, uint32_t *height) {
    if (fileSize < 6 + 16 || image_le16(file) != 0 || image_le16(file + 2) != 1 || image_le16(file + 4) == 0)
        return NULL;

    const uint8_t *entry = file + 6;
    uint32_t bytes = image_le32(entry + 8), offset = image_le32(entry + 12);
    if (offset > fileSize || bytes > fileSize - offset || bytes < 40) return NULL;

    const uint8_t *dib = file + offset;
    int32_t w = (int32_t)image_le32(dib + 4), h2 = (int32_t)image_le32(dib + 8);
    if (image_le32(dib) < 40 || w <= 0 || w > 1024 || h2 <= 0 || h2 % 2 || h2 / 2 > 1024 ||
        image_le16(dib + 12) != 1 || image_le16(dib + 14) != 32 || image_le32(dib + 16) != 0)
        return NULL;

    uint32_t h = (uint32_t)h2 / 2;
    size_t colorStride = (size_t)w * 4, maskStride = (((size_t)w + 31) / 32) * 4;
    size_t colorSize = colorStride * h, maskSize = maskStride * h;
    size_t header = image_le32(dib);
    if (header > bytes || colorSize > bytes - header) return NULL;
    // The mask must cover at least 1/32 of the colour bits: one bit per pixel.
    size_t maskAvail = bytes - header - colorSize;
    if (maskAvail < colorSize / 32 || maskAvail < maskSize) return NULL;

    const uint8_t *color = dib + header, *mask = color + colorSize;
    uint8_t *rgba = (uint8_t *)VKO_Alloc(colorSize, 1);
    for (uint32_t y = 0; y < h; y++) {
        // DIB rows run bottom to top.
        const uint8_t *src = color + (h - 1 - y) * colorStride;
        const uint8_t *bits = mask + (h - 1 - y) * maskStride;
        uint8_t *dst = rgba + y * colorStride;
        for (int32_t x = 0; x < w; x++, src += 4, dst += 4) {
            dst[0] = src[2];
            dst[1] = src[1];
            dst[2] = src[0];
            dst[3] = src[3];
            if (src[3] == 0) dst[3] = (bits[x / 8] & (0x80 >> (x % 8))) ? 0 : 255;
        }
    }

    *width = (uint32_t)w;
    *height = h;
    return rgba;
}

void *VKO_GetFileIcon(const char *path, uint32_t *width, uint32_t *height) {
    // Read here rather than through the file service: a missing icon is not logged.
    FILE *f = fopen(path, "rb");
    if (!f) return NULL;

    // As much as the file holds (within the bound), not the bound itself.
    static const size_t max_icon_file = 1 << 24;
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
        fclose(f);
        return NULL;
    }
    size_t want = std::min<size_t>((size_t)st.st_size, max_icon_file);
    uint8_t *file = (uint8_t *)VKO_Alloc(want, 1);
    size_t size = fread(file, 1, want, f);
    fclose(f);

    void *rgba = image_icon_decode(file, size, width, height);
    VKO_Free(file);
    return rgba;
}
