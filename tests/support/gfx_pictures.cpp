#include "support/gfx_pictures.h"

#include <algorithm>
#include <cmath>
#include <cstring>

Rgb yuv_ref(double y, double u, double v, bool hd, bool full) {
    if (full) {
        const double off = hd ? 0.500489 : 0.501961;
        u -= off;
        v -= off;
    } else if (hd) {
        y = y * 1.16781 - 0.0730594;
        u = u * 1.14174 - 0.571429;
        v = v * 1.14174 - 0.571429;
    } else {
        y = y * 1.16438 - 0.0730594;
        u = u * 1.13839 - 0.571429;
        v = v * 1.13839 - 0.571429;
    }
    const double r = y + 1.5748 * v, b = y + 1.8556 * u, g = (y - 0.2126 * r - 0.0722 * b) * 1.39821;
    auto q = [](double c) { return int(std::lround(std::clamp(c, 0.0, 1.0) * 255)); };
    return {q(r), q(g), q(b)};
}

std::vector<uint8_t> make_picture(uint32_t format, uint32_t chroma, bool lsb, VKO_RenderDesc *d) {
    *d = {};
    d->format = format;
    d->chroma = chroma;
    d->stride = STRIDE;
    d->plane_height = PLANE_H;
    d->image_width = W;
    d->image_height = H;
    d->lsb_aligned = lsb;
    const VKO_ColorFormatInfo &f = vko_color_formats[format];
    uint64_t total = 0;
    for (uint32_t p = 0; p < f.planes; ++p) {
        uint64_t off;
        uint32_t row, rows;
        vko_gfx_plane(d, p, &off, &row, &rows);
        total = off + uint64_t(row) * rows;
    }
    std::vector<uint8_t> buf(total, 0xEE);
    auto put16 = [&](uint64_t at, uint32_t v) { memcpy(&buf[at], &v, 2); };
    auto put32 = [&](uint64_t at, uint32_t v) { memcpy(&buf[at], &v, 4); };
    auto hd16 = [&](int v8) { return uint32_t(v8 * 1023 / 255) << (lsb ? 0 : 6); };
    for (uint32_t p = 0; p < f.planes; ++p) {
        uint64_t off;
        uint32_t row, rows;
        vko_gfx_plane(d, p, &off, &row, &rows);
        const uint32_t hd = p == 0 ? 1 : (chroma == 0 ? 1 : 2), vd = p == 0 ? 1 : (chroma == 2 ? 2 : 1);
        for (uint32_t y = 0; y < H / vd; ++y)
            for (uint32_t x = 0; x < W / hd; ++x) {
                const bool a = x * hd < W / 2;
                const int Y = a ? YA : YB, U = a ? UA : UB, V = a ? VA : VB;
                const uint64_t at = off + uint64_t(y) * row;
                switch (format) {
                    case VKO_COLOR_FORMAT_BGRA: {
                        const uint8_t px[4] = {uint8_t(a ? 0 : 255), 0, uint8_t(a ? 255 : 0), 255};
                        memcpy(&buf[at + x * 4], px, 4);
                        break;
                    }
                    case VKO_COLOR_FORMAT_RGBA: {
                        const uint8_t px[4] = {uint8_t(a ? 255 : 0), 0, uint8_t(a ? 0 : 255), 255};
                        memcpy(&buf[at + x * 4], px, 4);
                        break;
                    }
                    case VKO_COLOR_FORMAT_BGR565:
                        put16(at + x * 2, a ? 0xF800 : 0x001F);
                        break;
                    case VKO_COLOR_FORMAT_BGRA5551:
                        put16(at + x * 2, a ? 0xFC00 : 0x801F);
                        break;
                    case VKO_COLOR_FORMAT_AYUV: {
                        const uint8_t px[4] = {uint8_t(V), uint8_t(U), uint8_t(Y), 255};
                        memcpy(&buf[at + x * 4], px, 4);
                        break;
                    }
                    case VKO_COLOR_FORMAT_Y410:
                        put32(at + x * 4, uint32_t(U * 1023 / 255) | uint32_t(Y * 1023 / 255) << 10 |
                                              uint32_t(V * 1023 / 255) << 20 | 3u << 30);
                        break;
                    case VKO_COLOR_FORMAT_Y416:
                        put16(at + x * 8, hd16(U));
                        put16(at + x * 8 + 2, hd16(Y));
                        put16(at + x * 8 + 4, hd16(V));
                        put16(at + x * 8 + 6, 0xFFFF);
                        break;
                    case VKO_COLOR_FORMAT_NV12:
                        if (p == 0)
                            buf[at + x] = uint8_t(Y);
                        else {
                            buf[at + x * 2] = uint8_t(U);
                            buf[at + x * 2 + 1] = uint8_t(V);
                        }
                        break;
                    case VKO_COLOR_FORMAT_I420:
                        buf[at + x] = uint8_t(p == 0 ? Y : p == 1 ? U : V);
                        break;
                    case VKO_COLOR_FORMAT_P010:
                        if (p == 0)
                            put16(at + x * 2, hd16(Y));
                        else {
                            put16(at + x * 4, hd16(U));
                            put16(at + x * 4 + 2, hd16(V));
                        }
                        break;
                    case VKO_COLOR_FORMAT_I420_16:
                        put16(at + x * 2, hd16(p == 0 ? Y : p == 1 ? U : V));
                        break;
                }
            }
    }
    return buf;
}

std::pair<Rgb, Rgb> expected(uint32_t format) {
    const VKO_ColorFormatInfo &f = vko_color_formats[format];
    if (!f.yuv) return {{255, 0, 0}, {0, 0, 255}};
    auto n = [&](int v8) { return f.high_depth ? (v8 * 1023 / 255) / 1023.0 : v8 / 255.0; };
    return {yuv_ref(n(YA), n(UA), n(VA), f.high_depth, false),
            yuv_ref(n(YB), n(UB), n(VB), f.high_depth, false)};
}
