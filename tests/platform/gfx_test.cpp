#include "platform/gfx/gfx.h"

#include <gtest/gtest.h>

namespace {

struct Rect {
    float x, y, w, h;
};

Rect fit(uint32_t iw, uint32_t ih, uint32_t vw, uint32_t vh, float scale = 0, uint32_t rotation = 0,
         float aspect = 0) {
    VKO_RenderDesc d{};
    d.image_width = iw;
    d.image_height = ih;
    d.view_width = vw;
    d.view_height = vh;
    d.scale = scale;
    d.rotation = rotation;
    d.aspect = aspect;
    Rect r{};
    vko_gfx_viewport(&d, &r.x, &r.y, &r.w, &r.h);
    return r;
}

void expect_rect(Rect r, float x, float y, float w, float h) {
    EXPECT_EQ(r.x, x);
    EXPECT_EQ(r.y, y);
    EXPECT_EQ(r.w, w);
    EXPECT_EQ(r.h, h);
}

TEST(GfxViewport, FitsScalesAndCentres) {
    expect_rect(fit(1920, 1080, 1000, 1000), 0, 219, 1000, 563);  // 562.5 and 218.5 round away from zero
    expect_rect(fit(1920, 1080, 2560, 1440, 1), 320, 180, 1920, 1080);
    expect_rect(fit(1920, 1080, 1000, 1000, 0, 1), 219, 0, 563, 1000);
    expect_rect(fit(1920, 1080, 1000, 1000, 0, 3), 219, 0, 563, 1000);
    expect_rect(fit(1366, 768, 1000, 1000), 0, 219, 1000, 562);
    // A zoom that does not fit falls back to the view's width.
    expect_rect(fit(1920, 1080, 1280, 720, 2), 0, 0, 1280, 720);
    // Only the width follows the zoom: a custom aspect sets the height even at scale 1.
    expect_rect(fit(1000, 1000, 2000, 2000, 1, 0, 2.0f), 500, 750, 1000, 500);
    // A tall view limits by height.
    expect_rect(fit(1920, 1080, 1000, 400), 145, 0, 711, 400);
    // The zoom rounds ties to even: 5 x 0.5 = 2.5 becomes 2.
    expect_rect(fit(5, 5, 100, 100, 0.5f), 49, 49, 2, 2);
}

TEST(GfxViewport, DegeneratePicturesTakeNoRoomOrTheView) {
    expect_rect(fit(0, 1080, 1000, 1000), 0, 0, 0, 0);
    expect_rect(fit(0, 1080, 1000, 1000, 0, 1), 0, 0, 0, 0);
    expect_rect(fit(0, 0, 800, 600), 100, 0, 600, 600);  // aspect 1 fits the smaller side
    expect_rect(fit(640, 480, 0, 0), 0, 0, 0, 0);
}

TEST(GfxFormats, PlanesFollowStrideAndPlaneHeight) {
    VKO_RenderDesc d{};
    d.format = VKO_COLOR_FORMAT_NV12;
    d.chroma = 2;
    d.stride = 2048;
    d.plane_height = 1088;
    uint64_t off = 0;
    uint32_t row = 0, rows = 0;
    ASSERT_TRUE(vko_gfx_plane(&d, 0, &off, &row, &rows));
    EXPECT_EQ(off, 0u);
    EXPECT_EQ(row, 2048u);
    EXPECT_EQ(rows, 1088u);
    ASSERT_TRUE(vko_gfx_plane(&d, 1, &off, &row, &rows));
    EXPECT_EQ(off, 2048u * 1088u);
    EXPECT_EQ(row, 2048u);  // 1024 interleaved U,V pairs
    EXPECT_EQ(rows, 544u);
    EXPECT_FALSE(vko_gfx_plane(&d, 2, &off, &row, &rows));

    d.format = VKO_COLOR_FORMAT_I420;
    d.chroma = 0;  // 4:4:4
    ASSERT_TRUE(vko_gfx_plane(&d, 2, &off, &row, &rows));
    EXPECT_EQ(off, 2u * 2048u * 1088u);
    EXPECT_EQ(row, 2048u);
    EXPECT_EQ(rows, 1088u);
    d.chroma = 1;  // 4:2:2: half width, full height
    ASSERT_TRUE(vko_gfx_plane(&d, 2, &off, &row, &rows));
    EXPECT_EQ(off, 2048u * 1088u + 1024u * 1088u);
    EXPECT_EQ(row, 1024u);
    EXPECT_EQ(rows, 1088u);

    d.format = VKO_COLOR_FORMAT_P010;
    d.chroma = 2;
    ASSERT_TRUE(vko_gfx_plane(&d, 1, &off, &row, &rows));
    EXPECT_EQ(off, 2u * 2048u * 1088u);
    EXPECT_EQ(row, 4096u);

    d.format = VKO_COLOR_FORMAT_Y416;
    ASSERT_TRUE(vko_gfx_plane(&d, 0, &off, &row, &rows));
    EXPECT_EQ(row, 8u * 2048u);
    EXPECT_FALSE(vko_gfx_plane(&d, 1, &off, &row, &rows));

    d.format = VKO_COLOR_FORMAT_UNKNOWN;
    EXPECT_FALSE(vko_gfx_plane(&d, 0, &off, &row, &rows));
    d.format = VKO_COLOR_FORMAT_COUNT;
    EXPECT_FALSE(vko_gfx_plane(&d, 0, &off, &row, &rows));
}

TEST(GfxFormats, TableAndInterfaceMapping) {
    // planes, bytes per sample, yuv and high depth of the twelve rows
    const uint8_t rows[VKO_COLOR_FORMAT_COUNT][4] = {{0, 0, 0, 0}, {1, 4, 0, 0}, {1, 4, 0, 0}, {1, 2, 0, 0},
                                                     {1, 2, 0, 0}, {1, 4, 1, 0}, {1, 4, 1, 1}, {1, 8, 1, 1},
                                                     {2, 1, 1, 0}, {3, 1, 1, 0}, {2, 2, 1, 1}, {3, 2, 1, 1}};
    static_assert(sizeof(VKO_ColorFormatInfo) == 4);
    for (uint32_t i = 0; i < VKO_COLOR_FORMAT_COUNT; ++i) {
        const VKO_ColorFormatInfo &f = vko_color_formats[i];
        EXPECT_EQ(f.planes, rows[i][0]) << i;
        EXPECT_EQ(f.bytes_per_sample, rows[i][1]) << i;
        EXPECT_EQ(f.yuv, rows[i][2]) << i;
        EXPECT_EQ(f.high_depth, rows[i][3]) << i;
    }
    EXPECT_EQ(vko_gfx_resolve(0), VKO_GFX_NONE);
    EXPECT_EQ(vko_gfx_resolve(1), VKO_GFX_D3D11);
    EXPECT_EQ(vko_gfx_resolve(2), VKO_GFX_VULKAN);
    EXPECT_EQ(vko_gfx_resolve(4), VKO_GFX_D3D12);
    EXPECT_EQ(vko_gfx_resolve(5), VKO_GFX_D3D11);
    EXPECT_EQ(vko_gfx_resolve(77), VKO_GFX_D3D11);
}

}  // namespace
