// What the two DXGI contexts share: the vertical-blank pacing record, the
// record prefix through which the Direct3D 12 row uses the Direct3D 11 get
// size, get device and set sync interval, and the create and destroy around
// each row's own objects.
//
// Pacing model: the pacing thread alone adds 1 to `count` after each vertical
// blank and then sets and at once resets `event`; `stop` is set once by the
// drawing thread to end it. The drawing thread reads `count` and waits on the
// event; a set that is reset at once still wakes every waiter of that moment.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>

#include "compat/d3d/dxgi.h"
#include "platform/gfx/vk_load.h"
#include "platform/thread.h"

struct dxgi_sync {
    HANDLE event;
    VKO_Thread *thread;
    std::atomic<uint32_t> stop;
    std::atomic<uint64_t> count;
};

struct vko_dxgi_ctx_head {
    DXGI_X11_WINDOW window;
    uint32_t sync;       // hundredths of vertical blanks per frame; 100 with vsync
    uint32_t remainder;  // carried hundredths
    dxgi_sync *pacing;   // NULL unless started
    uint64_t last_count;
    uint32_t width, height;
    void *device;
    uint64_t generation;  // counts devices made; a new one may reuse a lost one's address
};

// DXGI_ERROR_DEVICE_REMOVED, HUNG or RESET: the codes that re-make a context.
inline bool dxgi_device_lost(HRESULT hr) {
    return hr == DXGI_ERROR_DEVICE_REMOVED || hr == DXGI_ERROR_DEVICE_HUNG || hr == DXGI_ERROR_DEVICE_RESET;
}

// Starts the pacing thread; NULL (logged) when the event cannot be made.
dxgi_sync *dxgi_sync_create(void);
void dxgi_sync_destroy(dxgi_sync **s);

// What a row calls its swap chain's frame-latency steps when they fail.
struct DxgiSwapTexts {
    const char *waitable_failed;
    const char *latency_failed;  // takes the HRESULT
};

// The flip swap chain of two B8G8R8A8 buffers on the head's window for
// `unknown` (the device, or the Direct3D 12 queue) with `flags`, its
// waitable at a frame latency of 1, and the window association; each failure
// logged under tag. False on failure; what was made is left in *swap and
// *waitable for the caller's release.
bool dxgi_make_swap_chain(vko_dxgi_ctx_head *h, IDXGIFactory2 *factory, D3DObject *unknown, uint32_t flags,
                          const DxgiSwapTexts &texts, const char *tag, IDXGISwapChain **swap,
                          HANDLE *waitable);

// The present rule: the interval for this frame, then the pacing wait.
uint32_t dxgi_present_interval(vko_dxgi_ctx_head *h);
void dxgi_pacing_wait(vko_dxgi_ctx_head *h, uint32_t interval);

// Create of a context record Ctx (whose `head` is the shared prefix) on an X11
// window: the head, then the row's objects by `init`; NULL when they cannot
// be made.
template <class Ctx, bool (*init)(Ctx *)>
void *dxgi_ctx_create(void *window, bool vsync) {
    const auto *w = static_cast<const VKO_X11Window *>(window);
    if (!w || !w->display) return nullptr;
    auto *c = new (std::nothrow) Ctx{};
    if (!c) return nullptr;
    c->head.window = {w->display, w->window};
    c->head.sync = vsync ? 100 : 0;
    dxgi_client_size(&c->head.window, &c->head.width, &c->head.height);
    if (!init(c)) {
        delete c;
        return nullptr;
    }
    return c;
}

// Destroy: the pacing thread stops before the row's objects go by `release`.
template <class Ctx, void (*release)(Ctx *)>
void dxgi_ctx_destroy(void **ctx) {
    if (!ctx || !*ctx) return;
    auto *c = static_cast<Ctx *>(*ctx);
    dxgi_sync_destroy(&c->head.pacing);
    release(c);
    delete c;
    *ctx = nullptr;
}
