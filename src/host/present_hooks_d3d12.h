// Present hooks of Direct3D 12 programs, on the stand-in (src/compat/d3d):
// nine Present-shaped detours (one on the swap chain's Present, four more
// three-argument and four four-argument entries on functions of the
// installer's choice). Each copies the current back buffer into a resource
// of its own on the state's command queue and hands it to the frame
// callback, then continues to its hooked function. The copy's command
// allocator is reset once the state's fence shows the previous copy done.
// Removed with the other hooks by hooks_remove_all.
#pragma once

#include <cstdint>

#include "compat/d3d/d3d12.h"
#include "compat/d3d/dxgi.h"
#include "host/present_hooks.h"
#include "platform/thread.h"

// The fields up to frame callback in the order of the other states; the
// fence and its last value follow (the allocator's reset needs them).
struct HookD3D12State {
    VKO_Mutex *mutex;
    void *first;  // handed on as the frame callback's first pointer
    ID3D12Device *device;
    ID3D12Resource *copy;
    ID3D12CommandQueue *queue;  // the installer's; captures happen only with one
    ID3D12CommandAllocator *allocator;
    ID3D12GraphicsCommandList *list;
    uint32_t width, height, format;
    void *opaque;
    HookErrorCallback on_error;
    HookFrameCallback on_frame;
    ID3D12Fence *fence;
    uint64_t fence_value;  // the last value signalled after a copy
};

#define HOOK_D3D12_ENTRIES 4

extern void *hook_d3d12_present_real;
extern void *hook_d3d12_present_entry_real[HOOK_D3D12_ENTRIES];   // _a .. _d
extern void *hook_d3d12_present1_entry_real[HOOK_D3D12_ENTRIES];  // _a .. _d

HRESULT hook_d3d12_present(IDXGISwapChain *swap_chain, uint32_t sync_interval, uint32_t flags);
HRESULT hook_d3d12_present_a(IDXGISwapChain *swap_chain, uint32_t sync_interval, uint32_t flags);
HRESULT hook_d3d12_present_b(IDXGISwapChain *swap_chain, uint32_t sync_interval, uint32_t flags);
HRESULT hook_d3d12_present_c(IDXGISwapChain *swap_chain, uint32_t sync_interval, uint32_t flags);
HRESULT hook_d3d12_present_d(IDXGISwapChain *swap_chain, uint32_t sync_interval, uint32_t flags);
HRESULT hook_d3d12_present1_a(IDXGISwapChain *swap_chain, uint32_t sync_interval, uint32_t flags,
                              const DXGI_PRESENT_PARAMETERS *params);
HRESULT hook_d3d12_present1_b(IDXGISwapChain *swap_chain, uint32_t sync_interval, uint32_t flags,
                              const DXGI_PRESENT_PARAMETERS *params);
HRESULT hook_d3d12_present1_c(IDXGISwapChain *swap_chain, uint32_t sync_interval, uint32_t flags,
                              const DXGI_PRESENT_PARAMETERS *params);
HRESULT hook_d3d12_present1_d(IDXGISwapChain *swap_chain, uint32_t sync_interval, uint32_t flags,
                              const DXGI_PRESENT_PARAMETERS *params);

// Releases the state's device, allocator, list, fence and copy (under its mutex).
void hook_d3d12_release(HookD3D12State *state);

// Makes the state (first value, command queue, callbacks) and attaches, in
// one transaction: hook_d3d12_present on the swap chain's Present when
// swap_chain is given, and each entry whose function is given (null for
// none). 0, or the patching code (4317 when already installed).
int32_t hook_d3d12_install(IDXGISwapChain *swap_chain, void *const present_functions[HOOK_D3D12_ENTRIES],
                           void *const present1_functions[HOOK_D3D12_ENTRIES], ID3D12CommandQueue *queue,
                           void *first, HookFrameCallback on_frame, HookErrorCallback on_error, void *opaque);

// For hooks_remove_all, as the Direct3D 11 ones (present_hooks_d3d.h).
bool hooks_d3d12_installed(void);
void hooks_d3d12_detach(void);
void hooks_d3d12_free(void);
