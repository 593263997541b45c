#include "support/d3d_window.h"

#include "compat/d3d/d3d.h"
#include "compat/d3d/dxgi.h"
#include "support/x_window.h"
#include "support/xvfb.h"

// Xlib after everything else: its macros clash with the test framework.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

void D3DWindowTest::SetUpTestSuite() {
    ASSERT_FALSE(xvfb_display().empty());
}

void D3DWindowTest::SetUp() {
    live_ = d3d_live_objects();
    dpy_ = XOpenDisplay(nullptr);
    ASSERT_NE(dpy_, nullptr);
    win_ = mapped_window(dpy_, 160, 120);
    handle_ = {dpy_, win_};
}

void D3DWindowTest::TearDown() {
    d3d_clear_faults();
    dxgi_set_tearing_supported(true);
    if (ctx_) vko_gfx_ctx_apis[row_].destroy(&ctx_);
    EXPECT_EQ(ctx_, nullptr);
    XDestroyWindow(dpy_, win_);
    XCloseDisplay(dpy_);
    EXPECT_EQ(d3d_live_objects(), live_);
}

void D3DWindowTest::resize(uint32_t w, uint32_t h) {
    XResizeWindow(dpy_, win_, w, h);
    XSync(dpy_, False);
    for (int i = 0; i < 200; i++) {
        XWindowAttributes a;
        XGetWindowAttributes(dpy_, win_, &a);
        if (uint32_t(a.width) == w && uint32_t(a.height) == h) return;
    }
}

Rgb D3DWindowTest::pixel(int x, int y) {
    XImage *img = XGetImage(dpy_, win_, x, y, 1, 1, AllPlanes, ZPixmap);
    const unsigned long p = XGetPixel(img, 0, 0);
    XDestroyImage(img);
    return {int((p >> 16) & 0xFF), int((p >> 8) & 0xFF), int(p & 0xFF)};
}

bool D3DWindowTest::draw(void *renderer, const void *image, VKO_RenderDesc desc) {
    const vko_gfx_ctx_api &ctxs = vko_gfx_ctx_apis[row_];
    void *surface = ctxs.get_surface(ctx_);
    if (!surface) return false;
    ctxs.get_size(ctx_, &desc.view_width, &desc.view_height);
    const bool ok = vko_gfx_apis[row_].render(renderer, ctxs.get_device(ctx_), ctxs.get_context(ctx_), image,
                                              &desc, surface);
    ctxs.present(ctx_);
    return ok;
}
