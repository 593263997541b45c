#include "platform/image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <cstdio>

#include <jpeglib.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "platform/memory.h"
#include "support/alloc_watch.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes pattern(uint32_t w, uint32_t h, bool opaque = false) {
    Bytes px((size_t)w * h * 4);
    for (size_t i = 0; i < px.size(); i++) px[i] = (uint8_t)(i * 7 + i / 13);
    if (opaque)
        for (size_t i = 3; i < px.size(); i += 4) px[i] = 255;
    return px;
}

// FFmpeg's PNG encoder is the independent peer: it writes the colour types we
// must read.
Bytes ffmpeg_png(AVPixelFormat fmt, int w, int h, bool interlaced, const std::vector<Bytes> &planes) {
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    ctx->width = w;
    ctx->height = h;
    ctx->pix_fmt = fmt;
    ctx->time_base = {1, 25};
    if (interlaced) ctx->flags |= AV_CODEC_FLAG_INTERLACED_DCT;
    EXPECT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
    AVFrame *frame = av_frame_alloc();
    frame->format = fmt;
    frame->width = w;
    frame->height = h;
    av_frame_get_buffer(frame, 0);
    for (size_t p = 0; p < planes.size(); p++) {
        size_t row = planes[p].size() / (p == 1 ? 1 : h);
        for (int y = 0; y < (p == 1 ? 1 : h); y++)
            memcpy(frame->data[p] + y * frame->linesize[p], planes[p].data() + y * row, row);
    }
    AVPacket *pkt = av_packet_alloc();
    EXPECT_EQ(avcodec_send_frame(ctx, frame), 0);
    EXPECT_EQ(avcodec_receive_packet(ctx, pkt), 0);
    Bytes out(pkt->data, pkt->data + pkt->size);
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return out;
}

Bytes compress(int32_t method, const Bytes &px, uint32_t w, uint32_t h) {
    size_t size = 0;
    void *out = VKO_CompressImage(method, px.data(), w, h, &size);
    Bytes b;
    if (out) b.assign((uint8_t *)out, (uint8_t *)out + size);
    VKO_Free(out);
    return b;
}

Bytes decompress(const Bytes &file, uint32_t *w, uint32_t *h) {
    void *out = VKO_DecompressImage(file.data(), file.size(), w, h);
    Bytes b;
    if (out) b.assign((uint8_t *)out, (uint8_t *)out + (size_t)*w * *h * 4);
    VKO_Free(out);
    return b;
}

uint32_t crc(const uint8_t *p, size_t n) {
    return VKO_CRC32(0, p, n);
}

// A line that begins with the given text (the codes after it vary).
bool logged(LogCapture &log, const std::string &start) {
    for (const std::string &l : log.lines())
        if (l.rfind(start, 0) == 0) return true;
    return false;
}

void put_be32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24), p[1] = (uint8_t)(v >> 16), p[2] = (uint8_t)(v >> 8), p[3] = (uint8_t)v;
}

}  // namespace

TEST(Image, PngRoundTrips) {
    for (auto [w, h] : {std::pair{2u, 2u}, {64u, 32u}, {1u, 300u}}) {
        Bytes px = pattern(w, h);
        Bytes png = compress(VKO_IMAGE_PNG, px, w, h);
        ASSERT_FALSE(png.empty());
        uint32_t dw = 0, dh = 0;
        EXPECT_EQ(decompress(png, &dw, &dh), px);
        EXPECT_EQ(dw, w);
        EXPECT_EQ(dh, h);
    }
}

// Colour types, bit depths and interlacing written by another encoder all
// come out as 8-bit RGBA.
TEST(Image, DecodesForeignColourTypes) {
    const int w = 5, h = 3, n = w * h;
    Bytes gray(n), rgb48(n * 6), idx(n), pal(256 * 4), want_gray, want_rgb, want_pal;
    for (int i = 0; i < 256; i++) {  // palette entries are native-endian 0xAARRGGBB
        uint32_t argb =
            (uint32_t)(i * 60) << 24 | (uint32_t)(i * 10) << 16 | (uint32_t)(i * 20) << 8 | (i * 30);
        memcpy(&pal[i * 4], &argb, 4);
    }
    for (int i = 0; i < n; i++) {
        gray[i] = (uint8_t)(i * 17);
        idx[i] = (uint8_t)(i % 4);
        want_gray.insert(want_gray.end(), {gray[i], gray[i], gray[i], 255});
        want_pal.insert(want_pal.end(), {(uint8_t)(idx[i] * 10), (uint8_t)(idx[i] * 20),
                                         (uint8_t)(idx[i] * 30), (uint8_t)(idx[i] * 60)});
        for (int c = 0; c < 3; c++) {
            rgb48[i * 6 + c * 2] = (uint8_t)(i * 9 + c * 50);  // big-endian: the high byte survives
            rgb48[i * 6 + c * 2 + 1] = 0x7F;
            want_rgb.push_back((uint8_t)(i * 9 + c * 50));
        }
        want_rgb.push_back(255);
    }
    struct {
        AVPixelFormat fmt;
        std::vector<Bytes> planes;
        Bytes want;
    } cases[] = {{AV_PIX_FMT_GRAY8, {gray}, want_gray},
                 {AV_PIX_FMT_RGB48BE, {rgb48}, want_rgb},
                 {AV_PIX_FMT_PAL8, {idx, pal}, want_pal}};
    for (auto &c : cases)
        for (bool interlaced : {false, true}) {
            uint32_t dw = 0, dh = 0;
            EXPECT_EQ(decompress(ffmpeg_png(c.fmt, w, h, interlaced, c.planes), &dw, &dh), c.want)
                << c.fmt << " interlaced " << interlaced;
        }
}

TEST(Image, JpegRoundTripKeepsThePicture) {
    const uint32_t w = 64, h = 48;
    Bytes px(w * h * 4);
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++) {
            uint8_t *p = &px[(y * w + x) * 4];
            p[0] = (uint8_t)(x * 4), p[1] = (uint8_t)(y * 5), p[2] = (uint8_t)(128 + x - y), p[3] = 9;
        }
    Bytes jpg = compress(VKO_IMAGE_JPEG, px, w, h);
    ASSERT_GT(jpg.size(), 100u);
    uint32_t dw = 0, dh = 0;
    Bytes out = decompress(jpg, &dw, &dh);
    ASSERT_EQ(out.size(), px.size());
    // Lossy but close: mean error of the colour channels; JPEG has no alpha.
    double err = 0;
    for (size_t i = 0; i < px.size(); i++) err += i % 4 == 3 ? 255 - out[i] : std::abs(out[i] - px[i]);
    EXPECT_LT(err / (w * h * 3), 2.0);
}

// libjpeg itself writes a picture of `components` (3: RGB, 4: CMYK), each
// row filled by `fill`, progressive on request.
template <typename Fill>
Bytes libjpeg_write(uint32_t w, uint32_t h, int components, bool progressive, Fill fill) {
    jpeg_compress_struct c = {};
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char *mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &mem, &size);
    c.image_width = w;
    c.image_height = h;
    c.input_components = components;
    c.in_color_space = components == 4 ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&c);
    if (progressive) jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    Bytes row((size_t)w * components);
    while (c.next_scanline < h) {
        fill(&row, c.next_scanline);
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    Bytes out(mem, mem + size);
    free(mem);
    return out;
}

// libjpeg itself writes a four-component CMYK picture.
Bytes cmyk_jpeg(uint32_t w, uint32_t h) {
    return libjpeg_write(w, h, 4, false,
                         [](Bytes *row, uint32_t) { std::fill(row->begin(), row->end(), 0x80); });
}

TEST(Image, BadInputIsRefusedAndLogged) {
    LogCapture log;
    Bytes png = compress(VKO_IMAGE_PNG, pattern(16, 16), 16, 16);
    Bytes bad_crc = png;
    bad_crc[29] ^= 1;  // IHDR's checksum
    Bytes huge = png;  // IHDR claims 100000 x 100000 with a valid checksum
    put_be32(&huge[16], 100000);
    put_be32(&huge[20], 100000);
    put_be32(&huge[29], crc(&huge[12], 17));
    Bytes bad_data = png;
    bad_data[png.size() - 20] ^= 0x55;  // inside the image data, checksum stale
    Bytes jpeg = compress(VKO_IMAGE_JPEG, pattern(16, 16), 16, 16);

    struct {
        Bytes data;
        const char *line;
    } cases[] = {
        {Bytes{'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'},
         "'IWICImagingFactory_CreateDecoderFromStream' failed"},
        {Bytes(), "'IWICImagingFactory_CreateDecoderFromStream' failed"},
        {Bytes(png.begin(), png.begin() + 40), "'IWICBitmapSource_CopyPixels' failed"},
        {Bytes(png.begin(), png.end() - 30), "'IWICBitmapSource_CopyPixels' failed"},
        {bad_crc, "'IWICBitmapSource_CopyPixels' failed"},
        {huge, "'IWICBitmapFrameDecode_GetSize' failed"},
        {bad_data, "'IWICBitmapSource_CopyPixels' failed"},
        // Ends before any frame header: the decoder cannot be made.
        {Bytes(jpeg.begin(), jpeg.begin() + 3), "'IWICImagingFactory_CreateDecoderFromStream' failed"},
        // A valid picture in a colour space with no conversion to RGBA.
        {cmyk_jpeg(8, 8), "'WICConvertBitmapSource' failed"},
        {Bytes(jpeg.begin(), jpeg.begin() + jpeg.size() / 2), ""},  // libjpeg pads a cut stream
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.line);
        log.clear();
        uint32_t w = 0, h = 0;
        void *out = VKO_DecompressImage(c.data.data(), c.data.size(), &w, &h);
        if (*c.line) {
            EXPECT_EQ(out, nullptr);
            EXPECT_TRUE(logged(log, std::string("VKO_DecompressImage: ") + c.line))
                << testing::PrintToString(log.lines());
        }
        VKO_Free(out);
    }

    size_t size = 7;
    EXPECT_EQ(VKO_CompressImage(2, png.data(), 1, 1, &size), nullptr);
    EXPECT_TRUE(log.contains("VKO_CompressImage: VKO_ImageCompression method 2 not supported"));
    EXPECT_EQ(VKO_CompressImage(VKO_IMAGE_PNG, png.data(), 0, 1, &size), nullptr);
    EXPECT_TRUE(logged(log, "VKO_CompressImage: 'IWICBitmapFrameEncode_SetSize' failed"));
    EXPECT_EQ(size, 0u);
}

// A PNG whose header claims a height the data never reaches.
Bytes png_claiming(uint32_t w, uint32_t real_h, uint32_t claimed_h) {
    Bytes png = compress(VKO_IMAGE_PNG, Bytes((size_t)w * real_h * 4, 0), w, real_h);
    put_be32(&png[20], claimed_h);
    put_be32(&png[29], crc(&png[12], 17));
    return png;
}

// The same for a baseline JPEG: the frame header's height is patched.
Bytes jpeg_claiming(uint32_t w, uint32_t real_h, uint32_t claimed_h) {
    Bytes jpg = compress(VKO_IMAGE_JPEG, pattern(w, real_h, true), w, real_h);
    for (size_t i = 2; i + 9 < jpg.size(); i++)
        if (jpg[i] == 0xFF && jpg[i + 1] == 0xC0) {
            jpg[i + 5] = (uint8_t)(claimed_h >> 8), jpg[i + 6] = (uint8_t)claimed_h;
            break;
        }
    return jpg;
}

// The same for an interlaced PNG (FFmpeg writes it): the first pass's rows
// reach down the whole claimed height.
Bytes interlaced_png_claiming(uint32_t w, uint32_t real_h, uint32_t claimed_h) {
    Bytes png = ffmpeg_png(AV_PIX_FMT_GRAY8, (int)w, (int)real_h, true, {Bytes((size_t)w * real_h, 0)});
    put_be32(&png[20], claimed_h);
    put_be32(&png[29], crc(&png[12], 17));
    return png;
}

// A progressive JPEG (libjpeg's own progression) whose second scan is
// repeated `repeats` more times.
Bytes jpeg_rescanned(uint32_t w, uint32_t h, int repeats) {
    Bytes jpg = libjpeg_write(w, h, 3, true, [](Bytes *row, uint32_t y) {
        for (size_t i = 0; i < row->size(); i++) (*row)[i] = (uint8_t)(i / 64 + y / 32);
    });
    // The second scan (the first of the AC values) reads the same bits
    // however often it comes; on a smooth picture it is a few bytes long.
    size_t first = 0, end = 0;
    for (size_t i = 2, scans = 0; i + 1 < jpg.size() && !end; i++) {
        bool marker = jpg[i] == 0xFF && jpg[i + 1] && (jpg[i + 1] < 0xD0 || jpg[i + 1] > 0xD7);
        if (marker && first) end = i;
        if (marker && jpg[i + 1] == 0xDA && ++scans == 2) first = i++;
    }
    Bytes scan(jpg.begin() + (ptrdiff_t)first, jpg.begin() + (ptrdiff_t)end);
    for (int i = 0; i < repeats; i++) jpg.insert(jpg.begin() + (ptrdiff_t)end, scan.begin(), scan.end());
    return jpg;
}

// A progressive JPEG may hold any number of scans, each a pass over the whole
// picture: a few hundred are read (libjpeg's own progression has 10), more
// fail the decode rather than take minutes on a large picture.
TEST(Image, JpegScansAreBounded) {
    LogCapture log;
    uint32_t w = 0, h = 0;
    Bytes ok = jpeg_rescanned(64, 48, 280);
    EXPECT_EQ(decompress(ok, &w, &h).size(), (size_t)64 * 48 * 4);
    Bytes endless = jpeg_rescanned(64, 48, 300);
    EXPECT_EQ(VKO_DecompressImage(endless.data(), endless.size(), &w, &h), nullptr);
    EXPECT_TRUE(logged(log, "VKO_DecompressImage: 'WICConvertBitmapSource' failed"))
        << testing::PrintToString(log.lines());
}

// Each use bounds what one image may decode to; a larger one is refused from
// its header, before its pixels are given any memory.
TEST(Image, DecodeIsBoundedByItsUse) {
    LogCapture log;
    struct {
        Bytes data;
        uint32_t side;
        uint64_t pixels;
        bool fits;
    } cases[] = {
        // A picture: as many pixels as an 8K display, no side beyond 16384.
        {png_claiming(8192, 1, 8192), VKO_IMAGE_MAX_SIDE, VKO_IMAGE_MAX_PIXELS, false},
        {png_claiming(7681, 1, 4320), VKO_IMAGE_MAX_SIDE, VKO_IMAGE_MAX_PIXELS, false},
        {jpeg_claiming(8192, 8, 8192), VKO_IMAGE_MAX_SIDE, VKO_IMAGE_MAX_PIXELS, false},
        {png_claiming(16385, 1, 1), VKO_IMAGE_MAX_SIDE, VKO_IMAGE_MAX_PIXELS, false},
        {png_claiming(16384, 1, 1), VKO_IMAGE_MAX_SIDE, VKO_IMAGE_MAX_PIXELS, true},
        // A cursor: 1024 on a side.
        {png_claiming(1025, 1, 1), VKO_IMAGE_CURSOR_SIDE, 1 << 20, false},
        {png_claiming(1024, 1, 1), VKO_IMAGE_CURSOR_SIDE, 1 << 20, true},
        {jpeg_claiming(8, 1025, 1025), VKO_IMAGE_CURSOR_SIDE, 1 << 20, false},
    };
    for (auto &c : cases) {
        log.clear();
        AllocWatch watch;
        uint32_t w = 0, h = 0;
        void *out = VKO_DecompressImageWithin(c.data.data(), c.data.size(), c.side, c.pixels, &w, &h);
        SCOPED_TRACE(testing::Message() << w << " x " << h << " within " << c.side);
        EXPECT_EQ(out != nullptr, c.fits);
        if (!c.fits) {
            EXPECT_TRUE(logged(log, "VKO_DecompressImage: 'IWICBitmapFrameDecode_GetSize' failed"))
                << testing::PrintToString(log.lines());
            if (AllocWatch::available()) {
                EXPECT_LT(watch.largest_block(), (size_t)(4u << 20));
            }
        }
        VKO_Free(out);
    }
    // The plain call holds pictures to the picture bound.
    uint32_t w = 0, h = 0;
    Bytes big = png_claiming(8192, 1, 8192);
    EXPECT_EQ(VKO_DecompressImage(big.data(), big.size(), &w, &h), nullptr);
    EXPECT_EQ(w, 8192u);
    EXPECT_TRUE(logged(log, "VKO_DecompressImage: 'IWICBitmapFrameDecode_GetSize' failed"));
}

// Within the bound, memory follows the data really decoded: a short file that
// claims 4096 x 4096 (64 MiB of RGBA) fails once its data ends, having held
// about what its rows decoded to, also when interlaced (its first pass spans
// every row). Whole pictures, interlaced ones too, still decode to every pixel.
TEST(Image, OutputGrowsOnlyWithTheDataDecoded) {
    LogCapture log;
    for (const Bytes &file : {png_claiming(4096, 64, 4096), interlaced_png_claiming(4096, 64, 4096),
                              jpeg_claiming(4096, 64, 4096)}) {
        log.clear();
        AllocWatch watch;
        uint32_t w = 0, h = 0;
        void *out = VKO_DecompressImage(file.data(), file.size(), &w, &h);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(h, 4096u);
        EXPECT_TRUE(logged(log, "VKO_DecompressImage: 'IWICBitmapSource_CopyPixels' failed"))
            << testing::PrintToString(log.lines());
        if (AllocWatch::available()) {
            EXPECT_LT(watch.largest_block(), (size_t)(8u << 20));
        }
        VKO_Free(out);
    }

    const uint32_t w = 700, h = 500;  // over the first block of rows
    Bytes px = pattern(w, h);
    uint32_t dw = 0, dh = 0;
    EXPECT_EQ(decompress(compress(VKO_IMAGE_PNG, px, w, h), &dw, &dh), px);
    Bytes gray(w * h), want;
    for (size_t i = 0; i < gray.size(); i++) {
        gray[i] = (uint8_t)(i * 31 + i / w);
        want.insert(want.end(), {gray[i], gray[i], gray[i], 255});
    }
    EXPECT_EQ(decompress(ffmpeg_png(AV_PIX_FMT_GRAY8, w, h, true, {gray}), &dw, &dh), want);
    // Interlaced colour, passes empty or cut short at the edges.
    for (auto [iw, ih] : {std::pair{1u, 1u}, {3u, 2u}, {9u, 10u}, {17u, 9u}, {5u, 33u}}) {
        Bytes rgba = pattern(iw, ih);
        EXPECT_EQ(decompress(ffmpeg_png(AV_PIX_FMT_RGBA, (int)iw, (int)ih, true, {rgba}), &dw, &dh), rgba)
            << iw << " x " << ih;
    }
    Bytes jpg = compress(VKO_IMAGE_JPEG, pattern(w, h, true), w, h);
    EXPECT_EQ(decompress(jpg, &dw, &dh).size(), (size_t)w * h * 4);
}

// An .ico of one 32-bit image: colour and AND mask, rows bottom to top.
TEST(Image, FileIconTakesAlphaFromTheMaskWhereColourHasNone) {
    TempDir dir;
    const uint32_t n = 32;
    Bytes ico = {0, 0, 1, 0, 1, 0, (uint8_t)n, (uint8_t)n, 0, 0, 1, 0, 32, 0};
    Bytes dib(40 + n * n * 4 + n * 4);
    auto le32 = [](uint8_t *p, uint32_t v) { memcpy(p, &v, 4); };
    le32(&dib[0], 40), le32(&dib[4], n), le32(&dib[8], 2 * n), dib[12] = 1, dib[14] = 32;
    for (uint32_t i = 0; i < n * n; i++) dib[40 + i * 4] = 0x11, dib[40 + i * 4 + 2] = 0x33;  // B, R
    dib[40 + n * n * 4 + (n - 1) * 4] = 0x80;  // top row's first pixel is masked out
    ico.resize(22);
    le32(&ico[14], (uint32_t)dib.size()), le32(&ico[18], 22);
    ico.insert(ico.end(), dib.begin(), dib.end());
    write_file(dir.file("a.ico"), std::string(ico.begin(), ico.end()));

    uint32_t w = 0, h = 0;
    uint8_t *px = (uint8_t *)VKO_GetFileIcon(dir.file("a.ico").c_str(), &w, &h);
    ASSERT_NE(px, nullptr);
    EXPECT_EQ(w, n);
    EXPECT_EQ(h, n);
    EXPECT_EQ(Bytes(px, px + 8), (Bytes{0x33, 0, 0x11, 0, 0x33, 0, 0x11, 255}));
    EXPECT_EQ(px[n * n * 4 - 1], 255);
    VKO_Free(px);

    // Not an icon, a 24-bit image, a missing file: NULL, sizes untouched, silent.
    LogCapture log;
    ico[22 + 14] = 24;
    write_file(dir.file("b.ico"), std::string(ico.begin(), ico.end()));
    write_file(dir.file("c.txt"), "plain text");
    w = h = 7;
    for (const char *name : {"b.ico", "c.txt", "none.ico", "."}) {
        AllocWatch watch;
        EXPECT_EQ(VKO_GetFileIcon(dir.file(name).c_str(), &w, &h), nullptr) << name;
        // A small file is read into a block its size, not the bound's.
        if (AllocWatch::available()) {
            EXPECT_LT(watch.largest_block(), (size_t)(64u << 10)) << name;
        }
    }
    EXPECT_EQ(w, 7u);
    EXPECT_EQ(h, 7u);
    EXPECT_TRUE(log.lines().empty());
}
