// Present hooks of Direct3D 9 and Direct3D 11 programs, on the stand-in
// objects (src/compat/d3d, src/compat/d3d9): detours on the method-table
// slots of DXGI's Present and Present1 and of Direct3D 9's Present,
// PresentEx, swap-chain Present and Reset, plus the first-call hook on the
// device's EndScene that attaches the swap-chain detour itself. Each capture
// step runs under its state's mutex, reports failures to the error callback
// and always continues to the hooked function. Removed with the other hooks
// by hooks_remove_all.
#pragma once

#include <cstdint>

#include "compat/d3d/dxgi.h"
#include "compat/d3d9/d3d9.h"
#include "host/present_hooks.h"
#include "platform/thread.h"

struct HookD3D11State {
    VKO_Mutex *mutex;
    uintptr_t window;  // the swap chain's X window
    ID3D11Device *device;
    ID3D11DeviceContext *context;  // the device's immediate context
    ID3D11Texture2D *copy;
    uint32_t width, height;  // of the copy
    void *opaque;
    HookErrorCallback on_error;
    HookFrameCallback on_frame;
};

struct HookD3D9State {
    VKO_Mutex *mutex;
    HWND window;
    IDirect3DDevice9 *device;
    void *opaque;
    HookErrorCallback on_error;
    HookFrameCallback on_frame;
};

// Trampoline slots: empty while the hook is not attached.
extern void *hook_dxgi_present_real;
extern void *hook_dxgi_present1_real;
extern void *hook_d3d9_present_real;
extern void *hook_d3d9_present_ex_real;
extern void *hook_d3d9_swapchain_present_real;
extern void *hook_d3d9_reset_real;
extern void *hook_d3d9_first_call_real;

HRESULT hook_dxgi_present(IDXGISwapChain *swap_chain, uint32_t sync_interval, uint32_t flags);
HRESULT hook_dxgi_present1(IDXGISwapChain *swap_chain, uint32_t sync_interval, uint32_t flags,
                           const DXGI_PRESENT_PARAMETERS *params);
HRESULT hook_d3d9_present(IDirect3DDevice9 *device, const RECT *src, const RECT *dst, HWND window,
                          const void *dirty);
HRESULT hook_d3d9_present_ex(IDirect3DDevice9Ex *device, const RECT *src, const RECT *dst, HWND window,
                             const void *dirty, uint32_t flags);
HRESULT hook_d3d9_swapchain_present(IDirect3DSwapChain9 *swap_chain, const RECT *src, const RECT *dst,
                                    HWND window, const void *dirty, uint32_t flags);
HRESULT hook_d3d9_reset(IDirect3DDevice9 *device, D3DPRESENT_PARAMETERS *params);
// Sits on EndScene.
HRESULT hook_d3d9_first_call(IDirect3DDevice9 *device);

// The installers: make the state with its callbacks and attach the detours
// to the object's method table in one transaction under the patch lock.
// Direct3D 11: Present and Present1 of the swap chain. Direct3D 9: Present,
// Reset and the first-call hook of the device, and PresentEx when it is a 9Ex
// device. 0, or the patching code (4317 when already installed).
int32_t hook_d3d11_install(IDXGISwapChain *swap_chain, HookFrameCallback on_frame, HookErrorCallback on_error,
                           void *opaque);
int32_t hook_d3d9_install(IDirect3DDevice9 *device, HookFrameCallback on_frame, HookErrorCallback on_error,
                          void *opaque);

// For hooks_remove_all (under its install lock): whether any of these hooks
// is installed; queue the detach of every filled slot into the pending
// transaction; after the wait, empty the slots and free the states.
bool hooks_d3d_installed(void);
void hooks_d3d_detach(void);
void hooks_d3d_free(void);
