// The fixture the Direct3D context tests share: a mapped 160x120 X window on
// the test's Xvfb, the row's context on it (created by the test), and checks
// on tear-down that the context is gone and no stand-in object was leaked.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/gfx/gfx.h"
#include "platform/gfx/vk_load.h"
#include "support/gfx_pictures.h"

class D3DWindowTest : public ::testing::Test {
   protected:
    // row: VKO_GFX_D3D11 or VKO_GFX_D3D12.
    explicit D3DWindowTest(int row) : row_(row) {}

    static void SetUpTestSuite();
    void SetUp() override;
    void TearDown() override;

    // Resizes the window and waits until the server reports the new size.
    void resize(uint32_t w, uint32_t h);
    // One pixel of the window, read back with XGetImage.
    Rgb pixel(int x, int y);
    // One frame as the window glue draws it.
    bool draw(void *renderer, const void *image, VKO_RenderDesc desc);

    int row_;
    int64_t live_ = 0;
    Display *dpy_ = nullptr;
    Window win_ = 0;
    VKO_X11Window handle_{};
    void *ctx_ = nullptr;
};
