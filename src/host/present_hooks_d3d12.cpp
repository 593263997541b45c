// State model: as for the other graphics hooks (present_hooks_d3d.cpp), the
// Direct3D 12 state is made by its installer, published through an atomic
// pointer and freed by hooks_d3d12_free after the removal's detach and wait;
// every field beyond the callbacks and the queue changes only under its
// mutex. fence_value is the value signalled after the last copy; the
// allocator is reset only when the fence has reached it, and the objects
// are released only after waiting for it.
#include "host/present_hooks_d3d12.h"

#include <atomic>
#include <cstring>

#include "compat/detour/detour.h"
#include "host/present_hooks_d3d.h"
#include "host/present_hooks_slots.h"
#include "platform/memory.h"

void *hook_d3d12_present_real = nullptr;
void *hook_d3d12_present_entry_real[HOOK_D3D12_ENTRIES] = {};
void *hook_d3d12_present1_entry_real[HOOK_D3D12_ENTRIES] = {};

namespace {

std::atomic<HookD3D12State *> g_d3d12{nullptr};

void report(HookD3D12State *s, int32_t code) {
    if (s->on_error) s->on_error(code, s->opaque);
}

D3D12_RESOURCE_BARRIER transition(ID3D12Resource *r, uint32_t before, uint32_t after) {
    D3D12_RESOURCE_BARRIER b = {};
    b.Type = D3D12_RESOURCE_BARRIER_TYPE_TRANSITION;
    b.Transition = {r, D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES, before, after};
    return b;
}

// Copy resource, allocator, list and fence for the swap chain's size and
// format. Under the mutex; false when one could not be made.
bool make_objects(HookD3D12State *s, uint32_t w, uint32_t h, DXGI_FORMAT format) {
    D3D12_HEAP_PROPERTIES heap = {D3D12_HEAP_TYPE_DEFAULT, 0, 0, 1, 1};
    D3D12_RESOURCE_DESC d = {D3D12_RESOURCE_DIMENSION_TEXTURE2D,
                             0,
                             w,
                             h,
                             1,
                             1,
                             format,
                             {1, 0},
                             D3D12_TEXTURE_LAYOUT_UNKNOWN,
                             D3D12_RESOURCE_FLAG_NONE};
    if (s->device->CreateCommittedResource(&heap, D3D12_HEAP_FLAG_NONE, &d, D3D12_RESOURCE_STATE_COPY_DEST,
                                           nullptr, &s->copy) < 0 ||
        s->device->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT, &s->allocator) < 0 ||
        s->device->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, s->allocator, nullptr, &s->list) <
            0 ||
        s->list->Close() < 0 || s->device->CreateFence(0, D3D12_FENCE_FLAG_NONE, &s->fence) < 0)
        return false;
    s->fence_value = 0;
    s->width = w, s->height = h, s->format = format;
    return true;
}

// Under the state's mutex, only with a command queue.
void hook_d3d12_capture(HookD3D12State *s, IDXGISwapChain *sc) {
    uint32_t index = 0;
    IDXGISwapChain *sc3 = nullptr;
    if (sc->QueryInterface(&sc3) >= 0 && sc3) {
        index = sc3->GetCurrentBackBufferIndex();
        sc3->Release();
    }
    D3DObject *obj = nullptr;
    if (sc->GetDevice(DXGI_IID_ID3D12Device, &obj) < 0 || !obj) return report(s, HOOK_ERR_D3D12_NO_DEVICE);
    ID3D12Device *dev = static_cast<ID3D12Device *>(obj);
    DXGI_SWAP_CHAIN_DESC1 d;
    sc->GetDesc1(&d);
    if (dev != s->device || d.Width != s->width || d.Height != s->height || d.Format != s->format) {
        hook_d3d12_release(s);
        s->device = dev;  // keeps GetDevice's reference
        if (!make_objects(s, d.Width, d.Height, d.Format)) {
            hook_d3d12_release(s);
            return report(s, HOOK_ERR_D3D12_OBJECTS);
        }
    } else {
        dev->Release();
    }

    ID3D12Resource *back = nullptr;
    if (sc->GetBuffer(index, &back) < 0 || !back) return report(s, HOOK_ERR_D3D12_GET_BUFFER);
    // The allocator may be reused once the queue has carried out the last copy.
    if (s->fence->GetCompletedValue() >= s->fence_value) s->allocator->Reset();
    if (s->list->Reset(s->allocator, nullptr) < 0) {
        back->Release();
        hook_d3d12_release(s);
        return report(s, HOOK_ERR_D3D12_OBJECTS);
    }
    D3D12_RESOURCE_BARRIER to_copy =
        transition(back, D3D12_RESOURCE_STATE_PRESENT, D3D12_RESOURCE_STATE_COPY_SOURCE);
    D3D12_RESOURCE_BARRIER to_present =
        transition(back, D3D12_RESOURCE_STATE_COPY_SOURCE, D3D12_RESOURCE_STATE_PRESENT);
    s->list->ResourceBarrier(1, &to_copy);
    s->list->CopyResource(s->copy, back);
    s->list->ResourceBarrier(1, &to_present);
    back->Release();
    if (s->list->Close() < 0) {
        hook_d3d12_release(s);  // remade, closed, at the next present
        return report(s, HOOK_ERR_D3D12_CLOSE);
    }
    ID3D12CommandList *list = nullptr;
    s->list->QueryInterface(&list);
    s->queue->ExecuteCommandLists(1, &list);
    if (list) list->Release();
    s->queue->Signal(s->fence, ++s->fence_value);
    if (s->on_frame) s->on_frame(HOOK_KIND_D3D12, s->first, s->device, s->queue, s->copy, s->opaque);
}

void d3d12_step(IDXGISwapChain *sc) {
    HookD3D12State *s = g_d3d12.load(std::memory_order_acquire);
    if (!s || !sc || !s->queue) return;
    VKO_MutexLock(s->mutex);
    hook_d3d12_capture(s, sc);
    VKO_MutexUnlock(s->mutex);
}

typedef HRESULT (*PresentFn)(IDXGISwapChain *, uint32_t, uint32_t);
typedef HRESULT (*Present1Fn)(IDXGISwapChain *, uint32_t, uint32_t, const DXGI_PRESENT_PARAMETERS *);

// The inline entries differ only in their trampoline slot.
template <int N>
HRESULT present_entry(IDXGISwapChain *sc, uint32_t sync_interval, uint32_t flags) {
    auto real = (PresentFn)hook_load_slot(&hook_d3d12_present_entry_real[N]);
    d3d12_step(sc);
    return real(sc, sync_interval, flags);
}

template <int N>
HRESULT present1_entry(IDXGISwapChain *sc, uint32_t sync_interval, uint32_t flags,
                       const DXGI_PRESENT_PARAMETERS *params) {
    auto real = (Present1Fn)hook_load_slot(&hook_d3d12_present1_entry_real[N]);
    d3d12_step(sc);
    return real(sc, sync_interval, flags, params);
}

void *const kPresentEntries[HOOK_D3D12_ENTRIES] = {(void *)hook_d3d12_present_a, (void *)hook_d3d12_present_b,
                                                   (void *)hook_d3d12_present_c,
                                                   (void *)hook_d3d12_present_d};
void *const kPresent1Entries[HOOK_D3D12_ENTRIES] = {
    (void *)hook_d3d12_present1_a, (void *)hook_d3d12_present1_b, (void *)hook_d3d12_present1_c,
    (void *)hook_d3d12_present1_d};

void d3d12_free(HookD3D12State *s) {
    hook_d3d12_release(s);
    VKO_MutexDestroy(&s->mutex);
    VKO_Free(s);
}

}  // namespace

void hook_d3d12_release(HookD3D12State *s) {
    // Nothing goes while the queue may still carry out a copy with it.
    if (s->fence && s->fence->GetCompletedValue() < s->fence_value)
        s->fence->SetEventOnCompletion(s->fence_value, nullptr);
    d3d_release(&s->list);
    d3d_release(&s->allocator);
    d3d_release(&s->copy);
    d3d_release(&s->fence);
    d3d_release(&s->device);
    s->fence_value = 0;
    s->width = s->height = s->format = 0;
}

// Each detour reads its trampoline slot on entry (see present_hooks_d3d.cpp).
HRESULT hook_d3d12_present(IDXGISwapChain *sc, uint32_t sync_interval, uint32_t flags) {
    auto real = (PresentFn)hook_load_slot(&hook_d3d12_present_real);
    d3d12_step(sc);
    return real(sc, sync_interval, flags);
}

HRESULT hook_d3d12_present_a(IDXGISwapChain *sc, uint32_t s, uint32_t f) {
    return present_entry<0>(sc, s, f);
}
HRESULT hook_d3d12_present_b(IDXGISwapChain *sc, uint32_t s, uint32_t f) {
    return present_entry<1>(sc, s, f);
}
HRESULT hook_d3d12_present_c(IDXGISwapChain *sc, uint32_t s, uint32_t f) {
    return present_entry<2>(sc, s, f);
}
HRESULT hook_d3d12_present_d(IDXGISwapChain *sc, uint32_t s, uint32_t f) {
    return present_entry<3>(sc, s, f);
}
HRESULT hook_d3d12_present1_a(IDXGISwapChain *sc, uint32_t s, uint32_t f, const DXGI_PRESENT_PARAMETERS *p) {
    return present1_entry<0>(sc, s, f, p);
}
HRESULT hook_d3d12_present1_b(IDXGISwapChain *sc, uint32_t s, uint32_t f, const DXGI_PRESENT_PARAMETERS *p) {
    return present1_entry<1>(sc, s, f, p);
}
HRESULT hook_d3d12_present1_c(IDXGISwapChain *sc, uint32_t s, uint32_t f, const DXGI_PRESENT_PARAMETERS *p) {
    return present1_entry<2>(sc, s, f, p);
}
HRESULT hook_d3d12_present1_d(IDXGISwapChain *sc, uint32_t s, uint32_t f, const DXGI_PRESENT_PARAMETERS *p) {
    return present1_entry<3>(sc, s, f, p);
}

int32_t hook_d3d12_install(IDXGISwapChain *sc, void *const present_functions[HOOK_D3D12_ENTRIES],
                           void *const present1_functions[HOOK_D3D12_ENTRIES], ID3D12CommandQueue *queue,
                           void *first, HookFrameCallback on_frame, HookErrorCallback on_error,
                           void *opaque) {
    hooks_install_lock();
    if (hooks_d3d12_installed()) {
        hooks_install_unlock();
        return DETOUR_ERROR_INVALID_OPERATION;
    }
    HookD3D12State *s = hook_state_new<HookD3D12State>(on_frame, on_error, opaque);
    s->first = first;
    if (queue) {
        queue->AddRef();
        s->queue = queue;
    }
    g_d3d12.store(s, std::memory_order_release);
    void **slots[1 + 2 * HOOK_D3D12_ENTRIES];
    void *detours[1 + 2 * HOOK_D3D12_ENTRIES];
    size_t n = 0;
    if (sc) hook_d3d12_present_real = detour_method(sc, hook_method_index(&IDXGISwapChain::Present));
    // A Present the Direct3D 11 hook sits on is not hooked twice: the two
    // could not be taken off in any order.
    if (hook_d3d12_present_real == (void *)hook_dxgi_present) {
        hook_d3d12_present_real = nullptr;
        HookD3D12State *gone = g_d3d12.exchange(nullptr);
        d3d_release(&gone->queue);
        d3d12_free(gone);
        hooks_install_unlock();
        return DETOUR_ERROR_INVALID_OPERATION;
    }
    slots[n] = &hook_d3d12_present_real, detours[n++] = (void *)hook_d3d12_present;
    for (int i = 0; i < HOOK_D3D12_ENTRIES; i++) {
        hook_d3d12_present_entry_real[i] = present_functions ? present_functions[i] : nullptr;
        slots[n] = &hook_d3d12_present_entry_real[i], detours[n++] = kPresentEntries[i];
        hook_d3d12_present1_entry_real[i] = present1_functions ? present1_functions[i] : nullptr;
        slots[n] = &hook_d3d12_present1_entry_real[i], detours[n++] = kPresent1Entries[i];
    }
    int32_t r = hook_attach_all(slots, detours, n);
    if (r != 0) {
        // Nothing was attached, so no detour holds the state.
        HookD3D12State *gone = g_d3d12.exchange(nullptr);
        d3d_release(&gone->queue);
        d3d12_free(gone);
    }
    hooks_install_unlock();
    return r;
}

bool hooks_d3d12_installed(void) {
    if (g_d3d12.load() || hook_d3d12_present_real) return true;
    for (int i = 0; i < HOOK_D3D12_ENTRIES; i++)
        if (hook_d3d12_present_entry_real[i] || hook_d3d12_present1_entry_real[i]) return true;
    return false;
}

void hooks_d3d12_detach(void) {
    if (hook_d3d12_present_real) DetourDetach(&hook_d3d12_present_real, (void *)hook_d3d12_present);
    for (int i = 0; i < HOOK_D3D12_ENTRIES; i++) {
        if (hook_d3d12_present_entry_real[i])
            DetourDetach(&hook_d3d12_present_entry_real[i], kPresentEntries[i]);
        if (hook_d3d12_present1_entry_real[i])
            DetourDetach(&hook_d3d12_present1_entry_real[i], kPresent1Entries[i]);
    }
}

void hooks_d3d12_free(void) {
    hook_clear_slot(&hook_d3d12_present_real);
    for (int i = 0; i < HOOK_D3D12_ENTRIES; i++) {
        hook_clear_slot(&hook_d3d12_present_entry_real[i]);
        hook_clear_slot(&hook_d3d12_present1_entry_real[i]);
    }
    if (HookD3D12State *s = g_d3d12.exchange(nullptr)) {
        VKO_MutexLock(s->mutex);
        VKO_MutexUnlock(s->mutex);
        d3d_release(&s->queue);
        d3d12_free(s);
    }
}
