// The Direct3D 12 swap-chain context: queue, allocator and one command list
// open from get surface to present, an RTV heap for the two back buffers,
// and a fence the present waits on, so each frame has finished on the GPU
// before the next is recorded. The present rule and pacing are the DXGI
// contexts' shared ones; device loss re-makes every object in the same
// record (the device pointer changes, the context pointer stays).
#include <new>

#include "compat/d3d/d3d12.h"
#include "platform/gfx/d3d12.h"
#include "platform/gfx/dxgi_ctx.h"
#include "platform/gfx/vk_load.h"
#include "platform/log.h"

namespace {

struct d3d12_back_buffer {
    ID3D12Resource *resource;
    D3D12_CPU_DESCRIPTOR_HANDLE rtv;
};

}  // namespace

// What follows the shared prefix, whose device is the ID3D12Device.
struct vko_d3d12_core {
    ID3D12CommandQueue *queue;
    ID3D12CommandAllocator *allocator;
    ID3D12GraphicsCommandList *list;
    ID3D12Fence *fence;
    ID3D12DescriptorHeap *rtv_heap;
    IDXGISwapChain *swap;
    d3d12_back_buffer *current;  // NULL between frames
    d3d12_back_buffer buffers[2];
    HANDLE waitable;
    uint64_t fence_value;
    uint8_t recording;  // the list is open (a failed reset is tried again)
};

struct vko_d3d12_ctx {
    vko_dxgi_ctx_head head;
    vko_d3d12_core core;
};

namespace {

constexpr uint32_t SWAP_FLAGS =
    DXGI_SWAP_CHAIN_FLAG_FRAME_LATENCY_WAITABLE_OBJECT | DXGI_SWAP_CHAIN_FLAG_ALLOW_TEARING;

ID3D12Device *device_of(vko_d3d12_ctx *c) {
    return static_cast<ID3D12Device *>(c->head.device);
}

void release_buffers(vko_d3d12_core *k) {
    for (d3d12_back_buffer &b : k->buffers) d3d_release(&b.resource);
    k->current = nullptr;
}

void release_core(vko_d3d12_ctx *c) {
    vko_d3d12_core *k = &c->core;
    release_buffers(k);
    if (k->waitable) CloseHandle(k->waitable);
    k->waitable = nullptr;
    d3d_release(&k->swap);
    d3d_release(&k->rtv_heap);
    d3d_release(&k->fence);
    d3d_release(&k->list);
    d3d_release(&k->allocator);
    d3d_release(&k->queue);
    ID3D12Device *dev = device_of(c);
    d3d_release(&dev);
    c->head.device = nullptr;
    *k = {};
}

bool d3d12_core_refresh_buffers(vko_d3d12_ctx *c) {
    vko_d3d12_core *k = &c->core;
    D3D12_CPU_DESCRIPTOR_HANDLE at = k->rtv_heap->GetCPUDescriptorHandleForHeapStart();
    const uint32_t inc = device_of(c)->GetDescriptorHandleIncrementSize(D3D12_DESCRIPTOR_HEAP_TYPE_RTV);
    for (uint32_t i = 0; i < 2; i++) {
        HRESULT hr = k->swap->GetBuffer(i, &k->buffers[i].resource);
        if (hr < 0) {
            VKO_Log("d3d12_core_refresh_buffers", "'IDXGISwapChain3_GetBuffer' failed with HRESULT 0x%X",
                    unsigned(hr));
            release_buffers(k);
            return false;
        }
        const D3D12_RENDER_TARGET_VIEW_DESC v = {
            DXGI_FORMAT_B8G8R8A8_UNORM, D3D12_RTV_DIMENSION_TEXTURE2D, {0, 0}};
        device_of(c)->CreateRenderTargetView(k->buffers[i].resource, &v, at);
        k->buffers[i].rtv = at;
        at.ptr += inc;
    }
    return true;
}

// Steps 2 to 6 of create; on failure everything made here is released.
bool d3d12_core_init(vko_d3d12_ctx *c) {
    const char *tag = "d3d12_core_init";
    vko_d3d12_core *k = &c->core;
    IDXGIFactory2 *factory = nullptr;
    D3DObject *unknown = nullptr;
    ID3D12Device *dev = nullptr;
    bool ok = false;
    HRESULT hr = CreateDXGIFactory2(0, &factory);
    if (hr < 0) {
        VKO_Log(tag, "'CreateDXGIFactory2' failed with HRESULT 0x%X", unsigned(hr));
        return false;
    }
    do {
        if ((hr = D3D12CreateDevice(nullptr, D3D_FEATURE_LEVEL_11_0, &dev)) < 0) {
            VKO_Log(tag, "'D3D12CreateDevice' failed with HRESULT 0x%X", unsigned(hr));
            break;
        }
        c->head.device = dev;
        c->head.generation++;
        const D3D12_COMMAND_QUEUE_DESC qd = {D3D12_COMMAND_LIST_TYPE_DIRECT,
                                             D3D12_COMMAND_QUEUE_PRIORITY_NORMAL,
                                             D3D12_COMMAND_QUEUE_FLAG_NONE, 0};
        if ((hr = dev->CreateCommandQueue(&qd, &k->queue)) < 0) {
            VKO_Log(tag, "'ID3D12Device_CreateCommandQueue' failed with HRESULT 0x%X", unsigned(hr));
            break;
        }
        if ((hr = dev->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT, &k->allocator)) < 0) {
            VKO_Log(tag, "'ID3D12Device_CreateCommandAllocator' failed with HRESULT 0x%X", unsigned(hr));
            break;
        }
        if ((hr = dev->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, k->allocator, nullptr,
                                         &k->list)) < 0) {
            VKO_Log(tag, "'ID3D12Device_CreateCommandList' failed with HRESULT 0x%X", unsigned(hr));
            break;
        }
        k->recording = 1;
        const D3D12_DESCRIPTOR_HEAP_DESC hd = {D3D12_DESCRIPTOR_HEAP_TYPE_RTV, 2,
                                               D3D12_DESCRIPTOR_HEAP_FLAG_NONE, 0};
        if ((hr = dev->CreateDescriptorHeap(&hd, &k->rtv_heap)) < 0) {
            VKO_Log(tag, "'ID3D12Device_CreateDescriptorHeap' failed with HRESULT 0x%X", unsigned(hr));
            break;
        }
        if ((hr = dev->CreateFence(0, D3D12_FENCE_FLAG_NONE, &k->fence)) < 0) {
            VKO_Log(tag, "'ID3D12Device_CreateFence' failed with HRESULT 0x%X", unsigned(hr));
            break;
        }
        if ((hr = k->queue->QueryInterface(&unknown)) < 0) {
            VKO_Log(tag, "'ID3D12CommandQueue_QueryInterface' failed with HRESULT 0x%X", unsigned(hr));
            break;
        }
        static const DxgiSwapTexts texts = {
            "'IDXGISwapChain3_GetFrameLatencyWaitableObject' failed",
            "'IDXGISwapChain3_SetMaximumFrameLatency' failed with HRESULT 0x%X"};
        if (!dxgi_make_swap_chain(&c->head, factory, unknown, SWAP_FLAGS, texts, tag, &k->swap, &k->waitable))
            break;
        if (!d3d12_core_refresh_buffers(c)) break;
        if (WaitForSingleObjectEx(k->waitable, 2000, true) == WAIT_FAILED) {
            VKO_Log(tag, "'WaitForSingleObjectEx' failed with error 0x%X", GetLastError());
            break;
        }
        ok = true;
    } while (false);
    d3d_release(&unknown);
    d3d_release(&factory);
    if (!ok) release_core(c);
    return ok;
}

// Opens the frame's list again on its allocator for the next frame.
void reopen(vko_d3d12_core *k, const char *tag) {
    HRESULT hr;
    if ((hr = k->allocator->Reset()) < 0)
        VKO_Log(tag, "'ID3D12CommandAllocator_Reset' failed with HRESULT 0x%X", unsigned(hr));
    if ((hr = k->list->Reset(k->allocator, nullptr)) < 0)
        VKO_Log(tag, "'ID3D12GraphicsCommandList_Reset' failed with HRESULT 0x%X", unsigned(hr));
    else
        k->recording = 1;
}

// Device loss: everything goes and is made again in the same record.
void recover(vko_d3d12_ctx *c) {
    release_core(c);
    if (d3d12_core_init(c)) dxgi_client_size(&c->head.window, &c->head.width, &c->head.height);
}

}  // namespace

void *vko_d3d12_ctx_create(void *window, bool vsync) {
    return dxgi_ctx_create<vko_d3d12_ctx, d3d12_core_init>(window, vsync);
}

void vko_d3d12_ctx_destroy(void **ctx) {
    dxgi_ctx_destroy<vko_d3d12_ctx, release_core>(ctx);
}

void *vko_d3d12_ctx_get_context(void *ctx) {
    return static_cast<vko_d3d12_ctx *>(ctx)->core.list;
}

void *vko_d3d12_ctx_get_surface(void *ctx) {
    auto *c = static_cast<vko_d3d12_ctx *>(ctx);
    vko_d3d12_core *k = &c->core;
    if (!k->swap) return nullptr;
    if (k->current) return &k->current->rtv;
    // A list whose reset failed at the last present is reset now.
    if (!k->recording) reopen(k, "d3d12_ctx_refresh");
    if (!k->recording) return nullptr;
    uint32_t w, h;
    if (dxgi_client_size(&c->head.window, &w, &h) && (w != c->head.width || h != c->head.height)) {
        release_buffers(k);
        HRESULT hr = k->swap->ResizeBuffers(0, 0, 0, DXGI_FORMAT_UNKNOWN, SWAP_FLAGS);
        if (dxgi_device_lost(hr)) {
            VKO_Log("d3d12_ctx_refresh", "'IDXGISwapChain3_ResizeBuffers' failed with HRESULT 0x%X",
                    unsigned(hr));
            recover(c);
            return nullptr;
        }
        // On any other failure the old buffers come back and the resize is
        // tried again next frame.
        if (!d3d12_core_refresh_buffers(c) || hr < 0) return nullptr;
        c->head.width = w;
        c->head.height = h;
    }
    // Buffers lost to a failed refresh are fetched again before use.
    if (!k->buffers[0].resource && !d3d12_core_refresh_buffers(c)) return nullptr;
    const uint32_t index = k->swap->GetCurrentBackBufferIndex() & 1;
    k->fence_value++;
    k->current = &k->buffers[index];
    D3D12_RESOURCE_BARRIER b{};
    b.Type = D3D12_RESOURCE_BARRIER_TYPE_TRANSITION;
    b.Transition = {k->current->resource, D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES,
                    D3D12_RESOURCE_STATE_PRESENT, D3D12_RESOURCE_STATE_RENDER_TARGET};
    k->list->ResourceBarrier(1, &b);
    return &k->current->rtv;
}

void vko_d3d12_ctx_present(void *ctx) {
    auto *c = static_cast<vko_d3d12_ctx *>(ctx);
    vko_d3d12_core *k = &c->core;
    const char *tag = "vko_d3d12_ctx_present";
    // Without a surface this frame there is nothing to show.
    if (!k->swap || !k->current) return;
    D3D12_RESOURCE_BARRIER b{};
    b.Type = D3D12_RESOURCE_BARRIER_TYPE_TRANSITION;
    b.Transition = {k->current->resource, D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES,
                    D3D12_RESOURCE_STATE_RENDER_TARGET, D3D12_RESOURCE_STATE_PRESENT};
    k->list->ResourceBarrier(1, &b);
    HRESULT hr = k->list->Close();
    if (hr < 0) {
        VKO_Log(tag, "'ID3D12GraphicsCommandList_Close' failed with HRESULT 0x%X", unsigned(hr));
        // The list already ends with the barrier to PRESENT, so the next
        // frame cannot draw on in it: this one is dropped and the next starts
        // on a clean list. A list the failure left open is closed first, as
        // only a closed list can be reset (a closed one answers E_FAIL).
        k->list->Close();
        k->recording = 0;
        k->current = nullptr;
        reopen(k, tag);
        return;
    }
    k->recording = 0;
    ID3D12CommandList *lists = nullptr;
    if ((hr = k->list->QueryInterface(&lists)) < 0) {
        VKO_Log(tag, "'ID3D12GraphicsCommandList_QueryInterface' failed with HRESULT 0x%X", unsigned(hr));
        // The closed list never ran: it is opened again and the frame
        // dropped, or no later frame could record.
        reopen(k, tag);
        k->current = nullptr;
        return;
    }
    k->queue->ExecuteCommandLists(1, &lists);
    lists->Release();
    const uint32_t interval = dxgi_present_interval(&c->head);
    // The swap chain always has ALLOW_TEARING.
    const uint32_t flags = interval == 0 ? DXGI_PRESENT_ALLOW_TEARING : 0;
    dxgi_pacing_wait(&c->head, interval);
    hr = k->swap->Present(0, flags);
    c->head.last_count = c->head.pacing ? c->head.pacing->count.load() : 0;
    if (dxgi_device_lost(hr)) {
        VKO_Log(tag, "'IDXGISwapChain3_Present' failed with HRESULT 0x%X", unsigned(hr));
        recover(c);
        return;
    }
    if ((hr = k->queue->Signal(k->fence, k->fence_value)) < 0) {
        VKO_Log(tag, "'ID3D12CommandQueue_Signal' failed with HRESULT 0x%X", unsigned(hr));
    } else if (k->fence->GetCompletedValue() < k->fence_value &&
               (hr = k->fence->SetEventOnCompletion(k->fence_value, nullptr)) < 0) {
        VKO_Log(tag, "'ID3D12Fence_SetEventOnCompletion' failed with HRESULT 0x%X", unsigned(hr));
    }
    // The frame was shown; its list is opened again even when the wait
    // failed, or no later frame could record (a lost device shows at the
    // next present and re-makes everything).
    reopen(k, tag);
    if (WaitForSingleObjectEx(k->waitable, 2000, true) == WAIT_FAILED)
        VKO_Log(tag, "'WaitForSingleObjectEx' failed with error 0x%X", GetLastError());
    k->current = nullptr;
}
