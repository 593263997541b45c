// State model: the Direct3D 11 and Direct3D 9 hook states are made by their
// installers and published through atomic pointers; detours take the
// state's mutex for the whole capture step (and the Direct3D 9 Reset notice),
// and every field beyond the callbacks changes only under it. A trampoline
// slot is filled by an attach under the patch lock and emptied by
// hooks_d3d_free only after hooks_remove_all detached it and waited, so a
// running detour always finds its slot filled. Installers, the first-call
// hook's attach and the removal are serialised by the hooks' install lock;
// `g_d3d9_first_done` is set by the first EndScene after an install.
#include "host/present_hooks_d3d.h"

#include <atomic>
#include <cstring>

#include "compat/detour/detour.h"
#include "host/present_hooks_d3d12.h"
#include "host/present_hooks_slots.h"
#include "platform/memory.h"

void *hook_dxgi_present_real = nullptr;
void *hook_dxgi_present1_real = nullptr;
void *hook_d3d9_present_real = nullptr;
void *hook_d3d9_present_ex_real = nullptr;
void *hook_d3d9_swapchain_present_real = nullptr;
void *hook_d3d9_reset_real = nullptr;
void *hook_d3d9_first_call_real = nullptr;

namespace {

std::atomic<HookD3D11State *> g_d3d11{nullptr};
std::atomic<HookD3D9State *> g_d3d9{nullptr};
std::atomic<bool> g_d3d9_first_done{false};

template <typename T>
void report(T *s, int32_t code) {
    if (s->on_error) s->on_error(code, s->opaque);
}

// --- Direct3D 11 ---

void d3d11_release(HookD3D11State *s) {
    d3d_release(&s->copy);
    d3d_release(&s->context);
    d3d_release(&s->device);
    s->width = s->height = 0;
}

// Under the state's mutex.
void hook_d3d11_capture(HookD3D11State *s, IDXGISwapChain *sc) {
    D3DObject *obj = nullptr;
    if (sc->GetDevice(DXGI_IID_ID3D10Device, &obj) >= 0) {
        obj->Release();
        return report(s, HOOK_ERR_D3D10);
    }
    if (sc->GetDevice(DXGI_IID_ID3D12Device, &obj) >= 0) {
        obj->Release();  // the Direct3D 12 detours take these
        return;
    }
    if (sc->GetDevice(DXGI_IID_ID3D11Device, &obj) < 0 || !obj) return report(s, HOOK_ERR_D3D11_NO_DEVICE);
    ID3D11Device *dev = static_cast<ID3D11Device *>(obj);
    if ((dev->GetFeatureLevel() & 0xF000u) != 0xB000u) {
        dev->Release();
        return report(s, HOOK_ERR_D3D11_LEVEL);
    }
    if (dev != s->device) {
        d3d11_release(s);
        s->device = dev;  // keeps GetDevice's reference
        dev->GetImmediateContext(&s->context);
        DXGI_X11_WINDOW w = {};
        sc->GetHwnd(&w);
        s->window = (uintptr_t)w.window;
    } else {
        dev->Release();
    }

    ID3D11Texture2D *back = nullptr;
    if (sc->GetBuffer(0, &back) < 0 || !back) return report(s, HOOK_ERR_D3D11_GET_BUFFER);
    D3D11_TEXTURE2D_DESC d;
    back->GetDesc(&d);
    if (s->copy && (d.Width != s->width || d.Height != s->height)) d3d_release(&s->copy);
    if (!s->copy) {
        D3D11_TEXTURE2D_DESC cd = d;
        cd.Usage = D3D11_USAGE_DEFAULT;
        cd.BindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;
        cd.CPUAccessFlags = 0;
        cd.MiscFlags = 0;
        if (s->device->CreateTexture2D(&cd, nullptr, &s->copy) < 0 || !s->copy) {
            s->copy = nullptr;
            back->Release();
            return report(s, HOOK_ERR_D3D11_COPY_TEXTURE);
        }
        s->width = d.Width;
        s->height = d.Height;
    }

    ID3D11Resource *copy_res = nullptr, *back_res = nullptr;
    if (s->copy->QueryInterface(&copy_res) < 0) {
        back->Release();
        return report(s, HOOK_ERR_D3D11_COPY_RESOURCE);
    }
    if (back->QueryInterface(&back_res) < 0) {
        copy_res->Release();
        back->Release();
        return report(s, HOOK_ERR_D3D11_BACK_RESOURCE);
    }
    s->context->CopyResource(copy_res->as_texture(), back_res->as_texture());

    // Every render target and the depth-stencil view go back as they were.
    ID3D11RenderTargetView *saved[D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT] = {};
    ID3D11DepthStencilView *saved_depth = nullptr;
    s->context->OMGetRenderTargets(D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT, saved, &saved_depth);
    ID3D11RenderTargetView *rtv = nullptr;
    if (s->device->CreateRenderTargetView(back_res, nullptr, &rtv) < 0 || !rtv) {
        report(s, HOOK_ERR_D3D11_RTV);
    } else {
        s->context->OMSetRenderTargets(1, &rtv, nullptr);
        if (s->on_frame)
            s->on_frame(HOOK_KIND_D3D11, (void *)s->window, s->device, s->context, s->copy, s->opaque);
        s->context->OMSetRenderTargets(D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT, saved, saved_depth);
        rtv->Release();
    }
    for (ID3D11RenderTargetView *v : saved)
        if (v) v->Release();
    if (saved_depth) saved_depth->Release();
    copy_res->Release();
    back_res->Release();
    back->Release();
}

void d3d11_step(IDXGISwapChain *sc) {
    HookD3D11State *s = g_d3d11.load(std::memory_order_acquire);
    if (!s || !sc) return;
    VKO_MutexLock(s->mutex);
    hook_d3d11_capture(s, sc);
    VKO_MutexUnlock(s->mutex);
}

// --- Direct3D 9 ---

// Under the state's mutex.
void hook_d3d9_capture(HookD3D9State *s, IDirect3DDevice9 *dev, IDirect3DSwapChain9 *sc,
                       HWND override_window) {
    if (dev != s->device) {
        if (s->device) s->device->Release();
        dev->AddRef();
        s->device = dev;
        D3DDEVICE_CREATION_PARAMETERS cp = {};
        s->window = override_window;
        if (!s->window && dev->GetCreationParameters(&cp) >= 0) s->window = cp.hFocusWindow;
    }
    if (!s->window) s->window = override_window;
    if (!s->window) return report(s, HOOK_ERR_D3D9_NO_WINDOW);

    IDirect3DSurface9 *back = nullptr;
    HRESULT hr = sc ? sc->GetBackBuffer(0, D3DBACKBUFFER_TYPE_MONO, &back)
                    : dev->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back);
    if (hr < 0 || !back) return report(s, HOOK_ERR_D3D9_BACK_BUFFER);
    IDirect3DSurface9 *saved = nullptr;
    if (dev->GetRenderTarget(0, &saved) < 0 || !saved) {
        back->Release();
        return report(s, HOOK_ERR_D3D9_RENDER_TARGET);
    }
    dev->SetRenderTarget(0, back);
    if (s->on_frame) s->on_frame(HOOK_KIND_D3D9, s->window, dev, nullptr, back, s->opaque);
    dev->SetRenderTarget(0, saved);
    saved->Release();
    back->Release();
}

void d3d9_step(IDirect3DDevice9 *dev, IDirect3DSwapChain9 *sc, HWND window) {
    HookD3D9State *s = g_d3d9.load(std::memory_order_acquire);
    if (!s || !dev) return;
    VKO_MutexLock(s->mutex);
    hook_d3d9_capture(s, dev, sc, window);
    VKO_MutexUnlock(s->mutex);
}

void d3d9_free(HookD3D9State *s) {
    if (s->device) s->device->Release();
    VKO_MutexDestroy(&s->mutex);
    VKO_Free(s);
}

void d3d11_free(HookD3D11State *s) {
    d3d11_release(s);
    VKO_MutexDestroy(&s->mutex);
    VKO_Free(s);
}

}  // namespace

// Each detour reads its trampoline slot on entry: the removal empties the
// slots only after its wait, and a detour that entered before has its copy.
HRESULT hook_dxgi_present(IDXGISwapChain *sc, uint32_t sync_interval, uint32_t flags) {
    auto real = (HRESULT(*)(IDXGISwapChain *, uint32_t, uint32_t))hook_load_slot(&hook_dxgi_present_real);
    d3d11_step(sc);
    return real(sc, sync_interval, flags);
}

HRESULT hook_dxgi_present1(IDXGISwapChain *sc1, uint32_t sync_interval, uint32_t flags,
                           const DXGI_PRESENT_PARAMETERS *params) {
    auto real = (HRESULT(*)(IDXGISwapChain *, uint32_t, uint32_t,
                            const DXGI_PRESENT_PARAMETERS *))hook_load_slot(&hook_dxgi_present1_real);
    IDXGISwapChain *sc = nullptr;
    if (sc1 && sc1->QueryInterface(&sc) >= 0 && sc) {
        d3d11_step(sc);
        sc->Release();
    }
    return real(sc1, sync_interval, flags, params);
}

HRESULT hook_d3d9_present(IDirect3DDevice9 *dev, const RECT *src, const RECT *dst, HWND window,
                          const void *dirty) {
    auto real = (HRESULT(*)(IDirect3DDevice9 *, const RECT *, const RECT *, HWND,
                            const void *))hook_load_slot(&hook_d3d9_present_real);
    d3d9_step(dev, nullptr, window);
    return real(dev, src, dst, window, dirty);
}

HRESULT hook_d3d9_present_ex(IDirect3DDevice9Ex *dev_ex, const RECT *src, const RECT *dst, HWND window,
                             const void *dirty, uint32_t flags) {
    auto real = (HRESULT(*)(IDirect3DDevice9Ex *, const RECT *, const RECT *, HWND, const void *,
                            uint32_t))hook_load_slot(&hook_d3d9_present_ex_real);
    IDirect3DDevice9 *dev = nullptr;
    if (dev_ex && dev_ex->QueryInterface(&dev) >= 0 && dev) {
        d3d9_step(dev, nullptr, window);
        dev->Release();
    } else if (HookD3D9State *s = g_d3d9.load(std::memory_order_acquire)) {
        VKO_MutexLock(s->mutex);
        report(s, HOOK_ERR_D3D9_NOT_DEVICE);
        VKO_MutexUnlock(s->mutex);
    }
    return real(dev_ex, src, dst, window, dirty, flags);
}

HRESULT hook_d3d9_swapchain_present(IDirect3DSwapChain9 *sc, const RECT *src, const RECT *dst, HWND window,
                                    const void *dirty, uint32_t flags) {
    auto real = (HRESULT(*)(IDirect3DSwapChain9 *, const RECT *, const RECT *, HWND, const void *,
                            uint32_t))hook_load_slot(&hook_d3d9_swapchain_present_real);
    IDirect3DDevice9 *dev = nullptr;
    if (sc && sc->GetDevice(&dev) >= 0 && dev) {
        d3d9_step(dev, sc, window);
        dev->Release();
    }
    return real(sc, src, dst, window, dirty, flags);
}

HRESULT hook_d3d9_reset(IDirect3DDevice9 *dev, D3DPRESENT_PARAMETERS *params) {
    auto real =
        (HRESULT(*)(IDirect3DDevice9 *, D3DPRESENT_PARAMETERS *))hook_load_slot(&hook_d3d9_reset_real);
    if (HookD3D9State *s = g_d3d9.load(std::memory_order_acquire)) {
        VKO_MutexLock(s->mutex);
        if (s->on_frame) s->on_frame(HOOK_KIND_D3D9, nullptr, nullptr, nullptr, nullptr, s->opaque);
        if (s->device) s->device->Release();
        s->device = nullptr;
        VKO_MutexUnlock(s->mutex);
    }
    return real(dev, params);
}

HRESULT hook_d3d9_first_call(IDirect3DDevice9 *dev) {
    auto real = (HRESULT(*)(IDirect3DDevice9 *))hook_load_slot(&hook_d3d9_first_call_real);
    if (dev && !g_d3d9_first_done.exchange(true)) {
        // The install lock keeps this attach from slipping between a removal's
        // detach and its freeing of the slots.
        hooks_install_lock();
        IDirect3DSwapChain9 *sc = nullptr;
        if (g_d3d9.load() && !hook_d3d9_swapchain_present_real && dev->GetSwapChain(0, &sc) >= 0 && sc) {
            hook_d3d9_swapchain_present_real =
                detour_method(sc, hook_method_index(&IDirect3DSwapChain9::Present));
            void **slots[] = {&hook_d3d9_swapchain_present_real};
            void *detours[] = {(void *)hook_d3d9_swapchain_present};
            hook_attach_all(slots, detours, 1);
        }
        if (sc) sc->Release();
        hooks_install_unlock();
    }
    return real(dev);
}

int32_t hook_d3d11_install(IDXGISwapChain *sc, HookFrameCallback on_frame, HookErrorCallback on_error,
                           void *opaque) {
    if (!sc) return DETOUR_ERROR_INVALID_HANDLE;
    hooks_install_lock();
    if (g_d3d11.load() || hook_dxgi_present_real || hook_dxgi_present1_real) {
        hooks_install_unlock();
        return DETOUR_ERROR_INVALID_OPERATION;
    }
    HookD3D11State *s = hook_state_new<HookD3D11State>(on_frame, on_error, opaque);
    g_d3d11.store(s, std::memory_order_release);
    hook_dxgi_present_real = detour_method(sc, hook_method_index(&IDXGISwapChain::Present));
    hook_dxgi_present1_real = detour_method(sc, hook_method_index(&IDXGISwapChain::Present1));
    // A Present the Direct3D 12 hook sits on is not hooked twice: the two
    // could not be taken off in any order.
    if (hook_dxgi_present_real == (void *)hook_d3d12_present) {
        hook_dxgi_present_real = hook_dxgi_present1_real = nullptr;
        d3d11_free(g_d3d11.exchange(nullptr));
        hooks_install_unlock();
        return DETOUR_ERROR_INVALID_OPERATION;
    }
    void **slots[] = {&hook_dxgi_present_real, &hook_dxgi_present1_real};
    void *detours[] = {(void *)hook_dxgi_present, (void *)hook_dxgi_present1};
    int32_t r = hook_attach_all(slots, detours, 2);
    if (r != 0) d3d11_free(g_d3d11.exchange(nullptr));  // nothing attached, so no detour holds it
    hooks_install_unlock();
    return r;
}

int32_t hook_d3d9_install(IDirect3DDevice9 *dev, HookFrameCallback on_frame, HookErrorCallback on_error,
                          void *opaque) {
    if (!dev) return DETOUR_ERROR_INVALID_HANDLE;
    hooks_install_lock();
    if (g_d3d9.load() || hook_d3d9_present_real || hook_d3d9_present_ex_real || hook_d3d9_reset_real ||
        hook_d3d9_first_call_real || hook_d3d9_swapchain_present_real) {
        hooks_install_unlock();
        return DETOUR_ERROR_INVALID_OPERATION;
    }
    HookD3D9State *s = hook_state_new<HookD3D9State>(on_frame, on_error, opaque);
    g_d3d9.store(s, std::memory_order_release);
    g_d3d9_first_done = false;
    hook_d3d9_present_real = detour_method(dev, hook_method_index(&IDirect3DDevice9::Present));
    hook_d3d9_reset_real = detour_method(dev, hook_method_index(&IDirect3DDevice9::Reset));
    hook_d3d9_first_call_real = detour_method(dev, hook_method_index(&IDirect3DDevice9::EndScene));
    IDirect3DDevice9Ex *ex = nullptr;
    if (dev->QueryInterface(&ex) >= 0 && ex) {
        hook_d3d9_present_ex_real = detour_method(ex, hook_method_index(&IDirect3DDevice9Ex::PresentEx));
        ex->Release();
    }
    void **slots[] = {&hook_d3d9_present_real, &hook_d3d9_reset_real, &hook_d3d9_first_call_real,
                      &hook_d3d9_present_ex_real};
    void *detours[] = {(void *)hook_d3d9_present, (void *)hook_d3d9_reset, (void *)hook_d3d9_first_call,
                       (void *)hook_d3d9_present_ex};
    int32_t r = hook_attach_all(slots, detours, 4);
    if (r != 0) d3d9_free(g_d3d9.exchange(nullptr));
    hooks_install_unlock();
    return r;
}

bool hooks_d3d_installed(void) {
    return g_d3d11.load() || g_d3d9.load() || hook_dxgi_present_real || hook_dxgi_present1_real ||
           hook_d3d9_present_real || hook_d3d9_present_ex_real || hook_d3d9_swapchain_present_real ||
           hook_d3d9_reset_real || hook_d3d9_first_call_real;
}

void hooks_d3d_detach(void) {
    struct {
        void **slot;
        void *detour;
    } hooks[] = {
        {&hook_dxgi_present_real, (void *)hook_dxgi_present},
        {&hook_dxgi_present1_real, (void *)hook_dxgi_present1},
        {&hook_d3d9_present_real, (void *)hook_d3d9_present},
        {&hook_d3d9_present_ex_real, (void *)hook_d3d9_present_ex},
        {&hook_d3d9_swapchain_present_real, (void *)hook_d3d9_swapchain_present},
        {&hook_d3d9_reset_real, (void *)hook_d3d9_reset},
        {&hook_d3d9_first_call_real, (void *)hook_d3d9_first_call},
    };
    for (auto &h : hooks)
        if (*h.slot) DetourDetach(h.slot, h.detour);
}

void hooks_d3d_free(void) {
    for (void **slot : {&hook_dxgi_present_real, &hook_dxgi_present1_real, &hook_d3d9_present_real,
                        &hook_d3d9_present_ex_real, &hook_d3d9_swapchain_present_real, &hook_d3d9_reset_real,
                        &hook_d3d9_first_call_real})
        hook_clear_slot(slot);
    if (HookD3D11State *s = g_d3d11.exchange(nullptr)) {
        // A detour that outlived the wait still holds the mutex: let it finish.
        VKO_MutexLock(s->mutex);
        VKO_MutexUnlock(s->mutex);
        d3d11_free(s);
    }
    if (HookD3D9State *s = g_d3d9.exchange(nullptr)) {
        VKO_MutexLock(s->mutex);
        VKO_MutexUnlock(s->mutex);
        d3d9_free(s);
    }
}
