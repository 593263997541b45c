// What the two DXGI contexts share: the vertical-blank pacing record and the
// record prefix through which the Direct3D 12 row uses the Direct3D 11 get
// size, get device and set sync interval.
//
// Pacing model: the pacing thread alone adds 1 to `count` after each vertical
// blank and then sets and at once resets `event`; `stop` is set once by the
// drawing thread to end it. The drawing thread reads `count` and waits on the
// event; a set that is reset at once still wakes every waiter of that moment.
#pragma once

#include <atomic>
#include <cstdint>

#include "compat/d3d/dxgi.h"
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
};

// DXGI_ERROR_DEVICE_REMOVED, HUNG or RESET: the codes that re-make a context.
inline bool dxgi_device_lost(HRESULT hr) {
    return hr == DXGI_ERROR_DEVICE_REMOVED || hr == DXGI_ERROR_DEVICE_HUNG || hr == DXGI_ERROR_DEVICE_RESET;
}

// Starts the pacing thread; NULL (logged) when the event cannot be made.
dxgi_sync *dxgi_sync_create(void);
void dxgi_sync_destroy(dxgi_sync **s);

// The present rule: the interval for this frame, then the pacing wait.
uint32_t dxgi_present_interval(vko_dxgi_ctx_head *h);
void dxgi_pacing_wait(vko_dxgi_ctx_head *h, uint32_t interval);
