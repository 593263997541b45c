// Direct3D 11 and Direct3D 9 present hooks on the stand-in objects: the
// detours sit in the real method tables, the Direct3D 11 swap chain presents
// into a window of the test's Xvfb.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "compat/d3d/dxgi.h"
#include "compat/d3d9/d3d9.h"
#include "compat/detour/detour.h"
#include "connection/instance.h"
#include "host/present_hooks_d3d.h"
#include "platform/image.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "support/swap_chain_desc.h"
#include "support/xvfb.h"

// Xlib after everything else: its macros clash with the test framework.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

struct Seen {
    int frames = 0;
    uint32_t kind = 99;
    void *a = nullptr, *b = nullptr, *c = nullptr, *d = nullptr, *opaque = nullptr;
    std::vector<int32_t> errors;
    std::vector<uint8_t> copy;  // D3D11: the copy's first row; D3D9: the back buffer's
    bool target_was_back = false;
    std::function<void(Seen &)> during;  // runs inside the frame callback
};

void on_frame(uint32_t kind, void *a, void *b, void *c, void *d, void *opaque) {
    Seen *s = (Seen *)opaque;
    s->frames++;
    s->kind = kind, s->a = a, s->b = b, s->c = c, s->d = d, s->opaque = opaque;
    if (s->during) s->during(*s);
}

void on_error(int32_t code, void *opaque) {
    ((Seen *)opaque)->errors.push_back(code);
}

// --- Direct3D 11 ---

struct D3D11Hooks : ::testing::Test {
    Display *dpy = nullptr;
    Window win = 0;
    ID3D11Device *dev = nullptr;
    ID3D11DeviceContext *ctx = nullptr;
    IDXGIFactory2 *factory = nullptr;
    IDXGISwapChain *sc = nullptr;
    Seen seen;

    void SetUp() override {
        ASSERT_FALSE(xvfb_display().empty());
        dpy = XOpenDisplay(nullptr);
        ASSERT_NE(dpy, nullptr);
        win = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 64, 48, 0, 0, 0);
        XMapWindow(dpy, win);
        XSync(dpy, False);
        ASSERT_EQ(D3D11CreateDevice(&dev), S_OK);
        dev->GetImmediateContext(&ctx);
        ASSERT_EQ(CreateDXGIFactory2(0, &factory), S_OK);
        DXGI_X11_WINDOW w = {dpy, win};
        DXGI_SWAP_CHAIN_DESC1 d = flip_chain_desc(64, 48);
        ASSERT_EQ(factory->CreateSwapChainForHwnd(dev, &w, &d, nullptr, nullptr, &sc), S_OK);
        ASSERT_EQ(hook_d3d11_install(sc, on_frame, on_error, &seen), 0);
    }

    void TearDown() override {
        d3d_clear_faults();
        EXPECT_EQ(hooks_remove_all(0), 0);
        EXPECT_FALSE(hooks_installed());
        d3d_release(&sc);
        d3d_release(&factory);
        d3d_release(&ctx);
        d3d_release(&dev);
        EXPECT_EQ(d3d_live_objects(), 0);
        XDestroyWindow(dpy, win);
        XCloseDisplay(dpy);
    }

    // Back buffer: column x holds (x, 0x40, 0x80), row 0 of it a marker.
    void draw_back_buffer() {
        ID3D11Texture2D *bb = nullptr;
        ASSERT_EQ(sc->GetBuffer(0, &bb), S_OK);
        D3D11_TEXTURE2D_DESC d;
        bb->GetDesc(&d);
        for (uint32_t y = 0; y < d.Height; y++)
            for (uint32_t x = 0; x < d.Width; x++) {
                uint8_t *p = bb->data() + (size_t)y * bb->pitch() + x * 4;
                p[0] = (uint8_t)x, p[1] = 0x40, p[2] = 0x80, p[3] = 255;
            }
        bb->Release();
    }

    ID3D11View *target_view(DXGI_FORMAT f, uint32_t bind) {
        D3D11_TEXTURE2D_DESC d = {8, 8, 1, 1, f, {1, 0}, D3D11_USAGE_DEFAULT, bind, 0, 0};
        ID3D11Texture2D *t = nullptr;
        EXPECT_EQ(dev->CreateTexture2D(&d, nullptr, &t), S_OK);
        ID3D11View *v = nullptr;
        if (bind & D3D11_BIND_DEPTH_STENCIL)
            EXPECT_EQ(dev->CreateDepthStencilView(t, nullptr, &v), S_OK);
        else
            EXPECT_EQ(dev->CreateRenderTargetView(t, nullptr, &v), S_OK);
        t->Release();
        return v;
    }

    uint32_t window_pixel(int x, int y) {
        XImage *img = XGetImage(dpy, win, x, y, 1, 1, AllPlanes, ZPixmap);
        uint32_t p = img ? (uint32_t)XGetPixel(img, 0, 0) & 0xFFFFFFu : 0;
        if (img) XDestroyImage(img);
        return p;
    }

    // With ZARVEK_SCREENSHOTS set, the window as a PNG in that folder.
    void screenshot(const char *name) {
        const char *dir = getenv("ZARVEK_SCREENSHOTS");
        if (!dir) return;
        XImage *img = XGetImage(dpy, win, 0, 0, 64, 48, AllPlanes, ZPixmap);
        ASSERT_NE(img, nullptr);
        std::vector<uint8_t> rgba(64 * 48 * 4);
        for (int y = 0; y < 48; y++)
            for (int x = 0; x < 64; x++) {
                unsigned long p = XGetPixel(img, x, y);
                uint8_t *o = &rgba[((size_t)y * 64 + x) * 4];
                o[0] = uint8_t(p >> 16), o[1] = uint8_t(p >> 8), o[2] = uint8_t(p), o[3] = 255;
            }
        XDestroyImage(img);
        size_t size = 0;
        void *png = VKO_CompressImage(VKO_IMAGE_PNG, rgba.data(), 64, 48, &size);
        FILE *f = fopen((std::string(dir) + "/" + name + ".png").c_str(), "wb");
        if (f && png) fwrite(png, 1, size, f);
        if (f) fclose(f);
        VKO_Free(png);
    }
};

}  // namespace

// The copy holds the back buffer, the callback draws onto the back buffer
// (which reaches the window), and all eight render targets and the
// depth-stencil view the program had bound are bound again afterwards.
TEST_F(D3D11Hooks, CopiesBackBufferLetsCallbackDrawAndRestoresEveryTarget) {
    draw_back_buffer();
    ID3D11View *rtvs[8], *dsv = target_view(DXGI_FORMAT_D24_UNORM_S8_UINT, D3D11_BIND_DEPTH_STENCIL);
    for (auto &v : rtvs) v = target_view(DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_RENDER_TARGET);
    ctx->OMSetRenderTargets(8, rtvs, dsv);

    ID3D11Texture2D *bb = nullptr;
    ASSERT_EQ(sc->GetBuffer(0, &bb), S_OK);
    seen.during = [&](Seen &s) {
        auto *copy = (ID3D11Texture2D *)s.d;
        s.copy.assign(copy->data(), copy->data() + 64 * 4);
        ID3D11View *bound = nullptr;
        ((ID3D11DeviceContext *)s.c)->OMGetRenderTargets(1, &bound, nullptr);
        s.target_was_back = bound && bound->texture() == bb;
        // A green square in the top-left corner, as an overlay would draw.
        for (uint32_t y = 0; y < 8; y++)
            for (uint32_t x = 0; x < 8; x++)
                std::memcpy(bb->data() + y * bb->pitch() + x * 4, "\0\xff\0\xff", 4);
        if (bound) bound->Release();
    };
    ASSERT_EQ(sc->Present(0, 0), S_OK);

    EXPECT_TRUE(seen.errors.empty());
    ASSERT_EQ(seen.frames, 1);
    EXPECT_EQ(seen.kind, HOOK_KIND_D3D11);
    EXPECT_EQ((uintptr_t)seen.a, (uintptr_t)win);
    EXPECT_EQ(seen.b, dev);
    EXPECT_EQ(seen.c, ctx);
    EXPECT_NE(seen.d, bb);
    EXPECT_EQ(seen.opaque, &seen);
    EXPECT_TRUE(seen.target_was_back);
    ASSERT_EQ(seen.copy.size(), 64u * 4);
    for (uint32_t x = 0; x < 64; x++) {
        EXPECT_EQ(seen.copy[x * 4], (uint8_t)x);
        EXPECT_EQ(seen.copy[x * 4 + 2], 0x80);
    }
    EXPECT_EQ(sc->presents(), 1u);  // the hooked Present ran once

    ID3D11View *after[8] = {}, *after_dsv = nullptr;
    ctx->OMGetRenderTargets(8, after, &after_dsv);
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(after[i], rtvs[i]) << "render target " << i;
        if (after[i]) after[i]->Release();
    }
    EXPECT_EQ(after_dsv, dsv);
    if (after_dsv) after_dsv->Release();

    // What the callback drew reached the window; the rest is the program's.
    XSync(dpy, False);
    EXPECT_EQ(window_pixel(2, 2), 0x00FF00u);
    EXPECT_EQ(window_pixel(40, 30), 0x804028u);
    screenshot("present_hook_d3d11");

    // Present1 goes through the same step.
    seen.during = nullptr;
    ASSERT_EQ(sc->Present1(0, 0, nullptr), S_OK);
    EXPECT_EQ(seen.frames, 2);
    EXPECT_EQ(sc->presents(), 2u);

    ctx->OMSetRenderTargets(0, nullptr, nullptr);
    for (auto v : rtvs) v->Release();
    dsv->Release();
    bb->Release();
}

TEST_F(D3D11Hooks, ResizeRemakesTheCopyAtTheNewSize) {
    ASSERT_EQ(sc->Present(0, 0), S_OK);
    ASSERT_EQ(seen.frames, 1);
    D3D11_TEXTURE2D_DESC d;
    ((ID3D11Texture2D *)seen.d)->GetDesc(&d);
    EXPECT_EQ(d.Width, 64u);
    ASSERT_EQ(sc->ResizeBuffers(2, 80, 40, DXGI_FORMAT_B8G8R8A8_UNORM, 0), S_OK);
    ASSERT_EQ(sc->Present(0, 0), S_OK);
    ASSERT_EQ(seen.frames, 2);
    ((ID3D11Texture2D *)seen.d)->GetDesc(&d);
    EXPECT_EQ(d.Width, 80u);
    EXPECT_EQ(d.Height, 40u);
    EXPECT_EQ(d.MiscFlags, 0u);
    EXPECT_TRUE(seen.errors.empty());
}

// Every failure reaches the error callback, no frame is handed on, and the
// hooked Present still runs.
TEST_F(D3D11Hooks, EveryFailureIsReportedAndThePresentStillRuns) {
    struct Case {
        const char *name;
        std::function<void()> arm;
        int32_t code;
    } cases[] = {
        {"copy texture", [&] { dev->fail_call(D3D_CALL_CREATE_TEXTURE, E_OUTOFMEMORY); },
         HOOK_ERR_D3D11_COPY_TEXTURE},
        {"Direct3D 10 device", [&] { dev->set_d3d10(true); }, HOOK_ERR_D3D10},
        {"no Direct3D 11 device", [&] { d3d_fail("IDXGISwapChain_GetDevice", E_FAIL, 2); },
         HOOK_ERR_D3D11_NO_DEVICE},
        {"feature level", [&] { dev->set_feature_level(D3D_FEATURE_LEVEL_10_1); }, HOOK_ERR_D3D11_LEVEL},
        {"GetBuffer", [&] { d3d_fail("IDXGISwapChain_GetBuffer", E_FAIL); }, HOOK_ERR_D3D11_GET_BUFFER},
        {"copy resource", [&] { d3d_fail("ID3D11Texture2D_QueryInterface", E_FAIL); },
         HOOK_ERR_D3D11_COPY_RESOURCE},
        {"back-buffer resource", [&] { d3d_fail("ID3D11Texture2D_QueryInterface", E_FAIL, 1); },
         HOOK_ERR_D3D11_BACK_RESOURCE},
        {"render target view", [&] { d3d_fail("ID3D11Device_CreateRenderTargetView", E_FAIL); },
         HOOK_ERR_D3D11_RTV},
    };
    uint64_t presents = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        seen.errors.clear();
        int frames = seen.frames;
        c.arm();
        ASSERT_EQ(sc->Present(0, 0), S_OK);
        EXPECT_EQ(sc->presents(), ++presents);
        ASSERT_EQ(seen.errors.size(), 1u);
        EXPECT_EQ(seen.errors[0], c.code);
        EXPECT_EQ(seen.frames, frames);
        dev->set_d3d10(false);
        dev->set_feature_level(D3D_FEATURE_LEVEL_11_0);
        d3d_clear_faults();
        // The next present captures again.
        seen.errors.clear();
        ASSERT_EQ(sc->Present(0, 0), S_OK);
        ++presents;
        EXPECT_TRUE(seen.errors.empty());
        EXPECT_EQ(seen.frames, frames + 1);
    }
}

// --- Direct3D 9 ---

namespace {

struct D3D9Hooks : ::testing::Test {
    IDirect3D9 *d3d = nullptr;
    IDirect3DDevice9Ex *dev = nullptr;
    IDirect3DSurface9 *own_target = nullptr;
    Seen seen;
    void *present_target = nullptr;
    HWND focus = (HWND)(uintptr_t)0x5001;

    void SetUp() override {
        ASSERT_EQ(Direct3DCreate9Ex(D3D_SDK_VERSION, &d3d), S_OK);
        D3DPRESENT_PARAMETERS pp = {};
        pp.BackBufferWidth = 32, pp.BackBufferHeight = 16, pp.BackBufferFormat = D3DFMT_A8R8G8B8;
        ASSERT_EQ(d3d->CreateDeviceEx(0, D3DDEVTYPE_HAL, focus, 0, &pp, nullptr, &dev), S_OK);
        ASSERT_EQ(dev->CreateRenderTarget(8, 8, D3DFMT_A8R8G8B8, 0, 0, 0, &own_target, nullptr), S_OK);
        ASSERT_EQ(dev->SetRenderTarget(0, own_target), S_OK);
        present_target = detour_method(dev, 2);
        ASSERT_EQ(hook_d3d9_install(dev, on_frame, on_error, &seen), 0);
    }

    void TearDown() override {
        d3d_clear_faults();
        if (hooks_installed()) {
            EXPECT_EQ(hooks_remove_all(0), 0);
        }
        EXPECT_EQ(dev->refs(), 1u);  // the state's reference went with it
        d3d_release(&own_target);
        d3d_release(&dev);
        d3d_release(&d3d);
        EXPECT_EQ(d3d_live_objects(), 0);
    }

    IDirect3DSurface9 *back_buffer() {
        IDirect3DSurface9 *bb = nullptr;
        EXPECT_EQ(dev->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &bb), S_OK);
        bb->Release();  // the device keeps it
        return bb;
    }
};

}  // namespace

TEST_F(D3D9Hooks, PresentHandsTheBoundBackBufferAndRestoresTheTarget) {
    IDirect3DSurface9 *bb = back_buffer();
    seen.during = [&](Seen &s) {
        IDirect3DSurface9 *rt = nullptr;
        ((IDirect3DDevice9 *)s.b)->GetRenderTarget(0, &rt);
        s.target_was_back = rt == s.d;
        if (rt) rt->Release();
    };
    ASSERT_EQ(dev->Present(nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_TRUE(seen.errors.empty());
    ASSERT_EQ(seen.frames, 1);
    EXPECT_EQ(seen.kind, HOOK_KIND_D3D9);
    EXPECT_EQ(seen.a, focus);
    EXPECT_EQ(seen.b, (IDirect3DDevice9 *)dev);
    EXPECT_EQ(seen.c, nullptr);
    EXPECT_EQ(seen.d, bb);
    EXPECT_TRUE(seen.target_was_back);
    EXPECT_EQ(dev->presents(), 1u);
    IDirect3DSurface9 *rt = nullptr;
    ASSERT_EQ(dev->GetRenderTarget(0, &rt), S_OK);
    EXPECT_EQ(rt, own_target);
    rt->Release();

    // PresentEx takes the same step; the override window wins over the focus window
    // only for a device the state has not seen yet.
    ASSERT_EQ(dev->PresentEx(nullptr, nullptr, (HWND)(uintptr_t)0x77, nullptr, 0), S_OK);
    EXPECT_EQ(seen.frames, 2);
    EXPECT_EQ(seen.a, focus);
    EXPECT_EQ(dev->presents(), 2u);
    EXPECT_EQ(dev->last_present_window(), (HWND)(uintptr_t)0x77);
}

TEST_F(D3D9Hooks, ResetSendsTheNoticeAndDropsTheDevice) {
    ASSERT_EQ(dev->Present(nullptr, nullptr, nullptr, nullptr), S_OK);
    uint32_t held = dev->refs();
    D3DPRESENT_PARAMETERS pp = {};
    pp.BackBufferWidth = 40, pp.BackBufferHeight = 20, pp.BackBufferFormat = D3DFMT_A8R8G8B8;
    ASSERT_EQ(dev->Reset(&pp), S_OK);
    EXPECT_EQ(seen.frames, 2);
    EXPECT_EQ(seen.kind, HOOK_KIND_D3D9);
    EXPECT_EQ(seen.a, nullptr);
    EXPECT_EQ(seen.b, nullptr);
    EXPECT_EQ(seen.c, nullptr);
    EXPECT_EQ(seen.d, nullptr);
    EXPECT_EQ(dev->refs(), held - 1);
    // The next present takes the device again.
    ASSERT_EQ(dev->SetRenderTarget(0, own_target), S_OK);
    ASSERT_EQ(dev->Present(nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(seen.frames, 3);
    EXPECT_EQ(seen.b, (IDirect3DDevice9 *)dev);
    EXPECT_EQ(dev->refs(), held);
    D3DSURFACE_DESC d;
    ((IDirect3DSurface9 *)seen.d)->GetDesc(&d);
    EXPECT_EQ(d.Width, 40u);
    EXPECT_TRUE(seen.errors.empty());
}

// The first EndScene attaches the swap chain's Present, once.
TEST_F(D3D9Hooks, FirstCallAttachesTheSwapChainPresentOnce) {
    IDirect3DSwapChain9 *sc = nullptr;
    ASSERT_EQ(dev->GetSwapChain(0, &sc), S_OK);
    void *sc_present = detour_method(sc, 2);
    ASSERT_EQ(sc->Present(nullptr, nullptr, nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(seen.frames, 0);
    EXPECT_EQ(hook_d3d9_swapchain_present_real, nullptr);

    ASSERT_EQ(dev->EndScene(), S_OK);
    EXPECT_EQ(hook_d3d9_swapchain_present_real, sc_present);
    EXPECT_EQ(detour_patched_slots(sc_present), 1u);
    ASSERT_EQ(dev->EndScene(), S_OK);
    EXPECT_EQ(detour_patched_slots(sc_present), 1u);

    ASSERT_EQ(sc->Present(nullptr, nullptr, nullptr, nullptr, 0), S_OK);
    ASSERT_EQ(seen.frames, 1);
    EXPECT_EQ(seen.b, (IDirect3DDevice9 *)dev);
    EXPECT_EQ(seen.d, back_buffer());
    EXPECT_EQ(dev->presents(), 2u);

    sc->Release();
    ASSERT_EQ(hooks_remove_all(0), 0);
    EXPECT_EQ(detour_patched_slots(sc_present), 0u);
    EXPECT_EQ(hook_d3d9_swapchain_present_real, nullptr);
}

TEST_F(D3D9Hooks, EveryFailureIsReportedAndThePresentStillRuns) {
    struct Case {
        const char *fault;
        int32_t code;
        bool ex;
    } cases[] = {
        {"IDirect3DDevice9_GetBackBuffer", HOOK_ERR_D3D9_BACK_BUFFER, false},
        {"IDirect3DDevice9_GetRenderTarget", HOOK_ERR_D3D9_RENDER_TARGET, false},
        {"IDirect3DDevice9Ex_QueryInterface", HOOK_ERR_D3D9_NOT_DEVICE, true},
    };
    uint64_t presents = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fault);
        seen.errors.clear();
        d3d_fail(c.fault, E_FAIL);
        if (c.ex)
            ASSERT_EQ(dev->PresentEx(nullptr, nullptr, nullptr, nullptr, 0), S_OK);
        else
            ASSERT_EQ(dev->Present(nullptr, nullptr, nullptr, nullptr), S_OK);
        EXPECT_EQ(dev->presents(), ++presents);
        ASSERT_EQ(seen.errors.size(), 1u);
        EXPECT_EQ(seen.errors[0], c.code);
        EXPECT_EQ(seen.frames, 0);
        IDirect3DSurface9 *rt = nullptr;
        ASSERT_EQ(dev->GetRenderTarget(0, &rt), S_OK);
        EXPECT_EQ(rt, own_target);
        rt->Release();
    }

    // A device with neither a focus window nor an override window.
    D3DPRESENT_PARAMETERS pp = {};
    pp.BackBufferFormat = D3DFMT_A8R8G8B8;
    IDirect3DDevice9 *bare = nullptr;
    ASSERT_EQ(d3d->CreateDevice(0, D3DDEVTYPE_HAL, nullptr, 0, &pp, &bare), S_OK);
    seen.errors.clear();
    ASSERT_EQ(bare->Present(nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(bare->presents(), 1u);
    ASSERT_EQ(seen.errors.size(), 1u);
    EXPECT_EQ(seen.errors[0], HOOK_ERR_D3D9_NO_WINDOW);
    // An override window on a later present is taken.
    ASSERT_EQ(bare->Present(nullptr, nullptr, (HWND)(uintptr_t)0x99, nullptr), S_OK);
    EXPECT_EQ(seen.frames, 1);
    EXPECT_EQ(seen.a, (HWND)(uintptr_t)0x99);
    ASSERT_EQ(hooks_remove_all(0), 0);
    EXPECT_EQ(bare->refs(), 1u);
    bare->Release();
}

// The instance's removal detaches every hook, lets a detour that is still
// running finish inside its wait, and only then frees the states.
TEST_F(D3D9Hooks, InstanceRemovalDetachesAndFreesAfterTheWait) {
    ZarvekInstance *z = nullptr;
    ASSERT_EQ(ZarvekInit(nullptr, &z), 0);
    EXPECT_EQ(z->hook_removal_wait_ms, 2000u);
    z->hook_removal_wait_ms = 300;
    ASSERT_EQ(dev->EndScene(), S_OK);  // the swap-chain hook too
    IDirect3DSwapChain9 *sc = nullptr;
    ASSERT_EQ(dev->GetSwapChain(0, &sc), S_OK);
    void *sc_present = detour_method(sc, 2);
    ASSERT_GE(detour_patched_slots(present_target), 1u);

    std::atomic<bool> inside{false}, go{false};
    seen.during = [&](Seen &) {
        inside = true;
        while (!go) std::this_thread::yield();
    };
    std::thread app([&] { EXPECT_EQ(dev->Present(nullptr, nullptr, nullptr, nullptr), S_OK); });
    while (!inside) std::this_thread::yield();
    int32_t removed = 1;
    int64_t start = VKO_GetTime();
    double took = 0;
    std::thread remover([&] {
        removed = ZarvekRemoveHooks(z);
        took = VKO_TimeDiff(start, VKO_GetTime());
    });
    while (detour_patched_slots(present_target) != 0) std::this_thread::yield();
    EXPECT_EQ(detour_patched_slots(sc_present), 0u);
    go = true;  // the detour finishes and continues to the original
    app.join();
    remover.join();
    EXPECT_EQ(removed, 0);
    EXPECT_GE(took, 290.0);
    EXPECT_EQ(dev->presents(), 1u);
    EXPECT_FALSE(hooks_installed());
    EXPECT_EQ(ZarvekRemoveHooks(z), HOOK_ERR_NO_HOOKS);
    seen.during = nullptr;
    ASSERT_EQ(dev->Present(nullptr, nullptr, nullptr, nullptr), S_OK);
    ASSERT_EQ(sc->Present(nullptr, nullptr, nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(seen.frames, 1);
    sc->Release();
    ZarvekDestroy(&z);
}
