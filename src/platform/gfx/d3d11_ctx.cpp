// The Direct3D 11 swap-chain context: a flip swap chain of two buffers on the
// window, one render target view per frame (made at get surface, released at
// present), the present rule with the frame-latency wait, and device-loss
// recovery in place (the record stays, the device pointer changes).
#include <cstring>
#include <new>

#include "platform/gfx/d3d11.h"
#include "platform/gfx/dxgi_ctx.h"
#include "platform/gfx/vk_load.h"
#include "platform/log.h"

struct vko_d3d11_ctx {
    vko_dxgi_ctx_head head;  // the device is head.device (ID3D11Device)
    ID3D11DeviceContext *context;
    ID3D11RenderTargetView *rtv;
    IDXGISwapChain *swap;
    HANDLE waitable;
    uint32_t flags;
};

namespace {

ID3D11Device *device_of(vko_d3d11_ctx *c) {
    return static_cast<ID3D11Device *>(c->head.device);
}

void release_objects(vko_d3d11_ctx *c) {
    d3d_release(&c->rtv);
    if (c->waitable) CloseHandle(c->waitable);
    c->waitable = nullptr;
    d3d_release(&c->swap);
    d3d_release(&c->context);
    ID3D11Device *dev = device_of(c);
    d3d_release(&dev);
    c->head.device = nullptr;
}

// Steps 2 to 6 of create; on failure everything made here is released.
bool d3d11_ctx_init(vko_d3d11_ctx *c) {
    const char *tag = "d3d11_ctx_init";
    ID3D11Device *dev = nullptr;
    IDXGIDevice *dxgi = nullptr;
    D3DObject *unknown = nullptr;
    IDXGIAdapter *adapter = nullptr;
    IDXGIFactory2 *factory = nullptr, *factory5 = nullptr;
    bool ok = false;
    HRESULT hr = D3D11CreateDevice(&dev);
    if (hr < 0) {
        VKO_Log(tag, "'D3D11CreateDevice' failed with HRESULT 0x%X", unsigned(hr));
        return false;
    }
    c->head.device = dev;
    c->head.generation++;
    dev->GetImmediateContext(&c->context);
    do {
        if ((hr = dxgi_device_of(dev, &dxgi)) < 0 || (hr = dev->QueryInterface(&unknown)) < 0) {
            VKO_Log(tag, "'ID3D11Device_QueryInterface' failed with HRESULT 0x%X", unsigned(hr));
            break;
        }
        if ((hr = dxgi->GetParent(&adapter)) < 0) {
            VKO_Log(tag, "'IDXGIDevice2_GetParent' failed with HRESULT 0x%X", unsigned(hr));
            break;
        }
        if ((hr = adapter->GetParent(&factory)) < 0) {
            VKO_Log(tag, "'IDXGIAdapter_GetParent' failed with HRESULT 0x%X", unsigned(hr));
            break;
        }
        c->flags = DXGI_SWAP_CHAIN_FLAG_FRAME_LATENCY_WAITABLE_OBJECT;
        if (factory->QueryInterface(&factory5) >= 0) {
            int32_t tearing = 0;
            if (factory5->CheckFeatureSupport(DXGI_FEATURE_PRESENT_ALLOW_TEARING, &tearing,
                                              sizeof(tearing)) >= 0 &&
                tearing)
                c->flags |= DXGI_SWAP_CHAIN_FLAG_ALLOW_TEARING;
        }
        static const DxgiSwapTexts texts = {
            "'IDXGISwapChain2_GetFrameLatencyWaitableObject' failed",
            "'IDXGISwapChain2_SetMaximumFrameLatency' failed with HRESULT 0x%X"};
        if (!dxgi_make_swap_chain(&c->head, factory, unknown, c->flags, texts, tag, &c->swap, &c->waitable))
            break;
        if (WaitForSingleObjectEx(c->waitable, 2000, true) == WAIT_FAILED) {
            VKO_Log(tag, "'WaitForSingleObjectEx' failed with error 0x%X", GetLastError());
            break;
        }
        ok = true;
    } while (false);
    d3d_release(&factory5);
    d3d_release(&factory);
    d3d_release(&adapter);
    d3d_release(&unknown);
    d3d_release(&dxgi);
    if (!ok) release_objects(c);
    return ok;
}

// Device loss: everything goes and is made again in the same record.
void recover(vko_d3d11_ctx *c) {
    release_objects(c);
    if (d3d11_ctx_init(c)) {
        uint32_t w, h;
        if (dxgi_client_size(&c->head.window, &w, &h)) {
            c->head.width = w;
            c->head.height = h;
        }
    }
}

}  // namespace

void *vko_d3d11_ctx_create(void *window, bool vsync) {
    return dxgi_ctx_create<vko_d3d11_ctx, d3d11_ctx_init>(window, vsync);
}

void vko_d3d11_ctx_destroy(void **ctx) {
    dxgi_ctx_destroy<vko_d3d11_ctx, release_objects>(ctx);
}

void *vko_d3d11_ctx_get_context(void *ctx) {
    return static_cast<vko_d3d11_ctx *>(ctx)->context;
}

void *vko_d3d11_ctx_get_surface(void *ctx) {
    auto *c = static_cast<vko_d3d11_ctx *>(ctx);
    if (!c->swap) return nullptr;
    if (c->rtv) return c->rtv;
    uint32_t w, h;
    if (dxgi_client_size(&c->head.window, &w, &h) && (w != c->head.width || h != c->head.height)) {
        // The last frame's target is still bound to the pipeline; the swap
        // chain cannot resize while anything holds its buffers.
        c->context->OMSetRenderTargets(0, nullptr, nullptr);
        HRESULT hr = c->swap->ResizeBuffers(0, 0, 0, DXGI_FORMAT_UNKNOWN, c->flags);
        if (hr >= 0) {
            c->head.width = w;
            c->head.height = h;
        } else if (dxgi_device_lost(hr)) {
            VKO_Log("d3d11_ctx_refresh", "'IDXGISwapChain2_ResizeBuffers' failed with HRESULT 0x%X",
                    unsigned(hr));
            recover(c);
            if (!c->swap) return nullptr;
        }
    }
    ID3D11Resource *buffer = nullptr;
    HRESULT hr = c->swap->GetBuffer(0, &buffer);
    if (hr < 0) {
        VKO_Log("vko_d3d11_ctx_get_surface", "'IDXGISwapChain2_GetBuffer' failed with HRESULT 0x%X",
                unsigned(hr));
        return nullptr;
    }
    hr = device_of(c)->CreateRenderTargetView(buffer, nullptr, &c->rtv);
    buffer->Release();
    if (hr < 0) {
        VKO_Log("vko_d3d11_ctx_get_surface", "'ID3D11Device_CreateRenderTargetView' failed with HRESULT 0x%X",
                unsigned(hr));
        return nullptr;
    }
    return c->rtv;
}

void vko_d3d11_ctx_present(void *ctx) {
    auto *c = static_cast<vko_d3d11_ctx *>(ctx);
    // Without a surface this frame there is nothing to show.
    if (!c->swap || !c->rtv) return;
    const uint32_t interval = dxgi_present_interval(&c->head);
    const uint32_t flags =
        interval == 0 && (c->flags & DXGI_SWAP_CHAIN_FLAG_ALLOW_TEARING) ? DXGI_PRESENT_ALLOW_TEARING : 0;
    dxgi_pacing_wait(&c->head, interval);
    HRESULT hr = c->swap->Present(0, flags);
    c->head.last_count = c->head.pacing ? c->head.pacing->count.load() : 0;
    d3d_release(&c->rtv);
    if (dxgi_device_lost(hr)) {
        VKO_Log("vko_d3d11_ctx_present", "'IDXGISwapChain2_Present' failed with HRESULT 0x%X", unsigned(hr));
        recover(c);
        return;
    }
    if (WaitForSingleObjectEx(c->waitable, 2000, true) == WAIT_FAILED)
        VKO_Log("vko_d3d11_ctx_present", "'WaitForSingleObjectEx' failed with error 0x%X", GetLastError());
}
