#include "platform/gfx/dxgi_ctx.h"

#include <sched.h>

#include "platform/gfx/d3d11.h"
#include "platform/log.h"

namespace {

void *dxgi_sync_thread(void *opaque) {
    auto *s = static_cast<dxgi_sync *>(opaque);
    const char *tag = "dxgi_sync_thread";
    IDXGIFactory2 *factory = nullptr;
    IDXGIAdapter *adapter = nullptr;
    IDXGIOutput *output = nullptr;
    HRESULT hr = CreateDXGIFactory2(0, &factory);
    if (hr < 0) {
        VKO_Log(tag, "'CreateDXGIFactory2' failed with HRESULT 0x%X", unsigned(hr));
        return nullptr;
    }
    hr = factory->EnumAdapters(0, &adapter);
    if (hr < 0) {
        VKO_Log(tag, "'IDXGIFactory2_EnumAdapters' failed with HRESULT 0x%X", unsigned(hr));
    } else {
        hr = adapter->EnumOutputs(0, &output);
        if (hr < 0) VKO_Log(tag, "'IDXGIAdapter_EnumOutputs' failed with HRESULT 0x%X", unsigned(hr));
    }
    while (output && !s->stop.load()) {
        hr = output->WaitForVBlank();
        if (hr < 0) {
            VKO_Log(tag, "'IDXGIOutput_WaitForVBlank' failed with HRESULT 0x%X", unsigned(hr));
            break;
        }
        s->count++;
        SetEvent(s->event);
        ResetEvent(s->event);
    }
    d3d_release(&output);
    d3d_release(&adapter);
    d3d_release(&factory);
    return nullptr;
}

}  // namespace

dxgi_sync *dxgi_sync_create(void) {
    HANDLE event = CreateEventW(nullptr, true, false, nullptr);
    if (!event) {
        VKO_Log("dxgi_sync_create", "'CreateEvent' failed with error 0x%X", GetLastError());
        return nullptr;
    }
    auto *s = new dxgi_sync{event, nullptr, {0}, {0}};
    s->thread = VKO_ThreadCreate(dxgi_sync_thread, s);
    if (!s->thread) {
        CloseHandle(event);
        delete s;
        return nullptr;
    }
    return s;
}

void dxgi_sync_destroy(dxgi_sync **s) {
    if (!s || !*s) return;
    (*s)->stop = 1;
    VKO_ThreadDestroy(&(*s)->thread);
    CloseHandle((*s)->event);
    delete *s;
    *s = nullptr;
}

bool dxgi_make_swap_chain(vko_dxgi_ctx_head *h, IDXGIFactory2 *factory, D3DObject *unknown, uint32_t flags,
                          const DxgiSwapTexts &texts, const char *tag, IDXGISwapChain **swap,
                          HANDLE *waitable) {
    const DXGI_SWAP_CHAIN_DESC1 d = {0,
                                     0,
                                     DXGI_FORMAT_B8G8R8A8_UNORM,
                                     0,
                                     {1, 0},
                                     DXGI_USAGE_RENDER_TARGET_OUTPUT,
                                     2,
                                     DXGI_SCALING_STRETCH,
                                     DXGI_SWAP_EFFECT_FLIP_DISCARD,
                                     DXGI_ALPHA_MODE_UNSPECIFIED,
                                     flags};
    IDXGISwapChain *swap1 = nullptr;
    HRESULT hr = factory->CreateSwapChainForHwnd(unknown, &h->window, &d, nullptr, nullptr, &swap1);
    if (hr < 0) {
        VKO_Log(tag, "'IDXGIFactory2_CreateSwapChainForHwnd' failed with HRESULT 0x%X", unsigned(hr));
        return false;
    }
    hr = swap1->QueryInterface(swap);
    swap1->Release();
    if (hr < 0) {
        VKO_Log(tag, "'IDXGISwapChain1_QueryInterface' failed with HRESULT 0x%X", unsigned(hr));
        return false;
    }
    *waitable = (*swap)->GetFrameLatencyWaitableObject();
    if (!*waitable) {
        VKO_Log(tag, "%s", texts.waitable_failed);
        return false;
    }
    if ((hr = (*swap)->SetMaximumFrameLatency(1)) < 0) {
        VKO_Log(tag, texts.latency_failed, unsigned(hr));
        return false;
    }
    if ((hr = factory->MakeWindowAssociation(&h->window, DXGI_MWA_NO_WINDOW_CHANGES)) < 0) {
        VKO_Log(tag, "'IDXGIFactory2_MakeWindowAssociation' failed with HRESULT 0x%X", unsigned(hr));
        return false;
    }
    return true;
}

uint32_t dxgi_present_interval(vko_dxgi_ctx_head *h) {
    if (h->sync == 0) return 0;
    const uint32_t total = h->sync + h->remainder;
    const uint32_t interval = total / 100;
    h->remainder = total - interval * 100;
    return interval;
}

void dxgi_pacing_wait(vko_dxgi_ctx_head *h, uint32_t interval) {
    if (!h->pacing) return;
    // Signed: the counter may have run ahead of the last present.
    const int64_t target = int64_t(h->last_count) + int64_t(interval);
    int64_t wait = target - int64_t(h->pacing->count.load());
    while (wait > 0) {
        const uint32_t r = WaitForSingleObjectEx(h->pacing->event, 2000, false);
        if (r == WAIT_OBJECT_0) {
            // The event stays set for a moment after each blank, so a wake
            // may belong to a blank already counted: only a new count ends
            // a wait.
            const int64_t left = target - int64_t(h->pacing->count.load());
            if (left >= wait)
                sched_yield();
            else
                wait = left;
            continue;
        }
        if (r == WAIT_FAILED)
            VKO_Log("dxgi_sync_wait", "'WaitForSingleObjectEx' failed with error 0x%X", GetLastError());
        wait--;
    }
}

void vko_d3d11_ctx_get_size(void *ctx, uint32_t *width, uint32_t *height) {
    auto *h = static_cast<vko_dxgi_ctx_head *>(ctx);
    *width = h->width;
    *height = h->height;
}

void *vko_d3d11_ctx_get_device(void *ctx) {
    return static_cast<vko_dxgi_ctx_head *>(ctx)->device;
}

uint64_t vko_d3d11_ctx_get_generation(void *ctx) {
    return static_cast<vko_dxgi_ctx_head *>(ctx)->generation;
}

void vko_d3d11_ctx_set_sync_interval(void *ctx, uint32_t value) {
    auto *h = static_cast<vko_dxgi_ctx_head *>(ctx);
    h->sync = value;
    h->remainder = 0;
    if (value >= 101 && !h->pacing) h->pacing = dxgi_sync_create();
}
