// Stands in for the few Direct3D 9 and 9Ex calls that the present hooks and
// the Direct3D 9 frame-submission row make: a device with its implicit swap
// chain and one back buffer, render targets (plain, lockable or shared),
// GetRenderTarget/SetRenderTarget, StretchRect, ColorFill, LockRect, Reset,
// creation parameters, and the presents. Surfaces are textures of the
// Direct3D 11 stand-in underneath (A8R8G8B8 has BGRA's byte order), so the
// shared handle of a shared surface opens in any stand-in Direct3D 11 device.
// The presents, Reset and EndScene are methods of the objects' method tables,
// where hooks can be attached. Nothing is shown on screen. Failures are
// injected by name through d3d_fail ("IDirect3DDevice9_GetBackBuffer", ...).
//
// Threading: as on Windows without the multithreaded flag, a device, its swap
// chain and its surfaces are used by one thread at a time; reference counts
// are atomic.
#pragma once

#include <cstdint>

#include "compat/d3d/d3d.h"

typedef uint32_t D3DFORMAT;
typedef void *HWND;  // an X window id carried in a pointer
typedef D3D11_RECT RECT;

#define D3DFMT_A8R8G8B8 21u
#define D3DFMT_X8R8G8B8 22u
#define D3DBACKBUFFER_TYPE_MONO 0u
#define D3DLOCK_READONLY 0x10u
#define D3DTEXF_NONE 0u
#define D3DTEXF_POINT 1u
#define D3DPOOL_DEFAULT 0u
#define D3DUSAGE_RENDERTARGET 0x1u
#define D3DRTYPE_SURFACE 1u
#define D3DDEVTYPE_HAL 1u
#define D3D_SDK_VERSION 32u
#define D3DERR_INVALIDCALL ((HRESULT)0x8876086Cu)
#define D3DERR_NOTAVAILABLE ((HRESULT)0x8876086Au)

struct D3DPRESENT_PARAMETERS {
    uint32_t BackBufferWidth;
    uint32_t BackBufferHeight;
    D3DFORMAT BackBufferFormat;
    uint32_t BackBufferCount;
    uint32_t MultiSampleType;
    uint32_t MultiSampleQuality;
    uint32_t SwapEffect;
    HWND hDeviceWindow;
    int32_t Windowed;
    int32_t EnableAutoDepthStencil;
    D3DFORMAT AutoDepthStencilFormat;
    uint32_t Flags;
    uint32_t FullScreen_RefreshRateInHz;
    uint32_t PresentationInterval;
};

struct D3DDEVICE_CREATION_PARAMETERS {
    uint32_t AdapterOrdinal;
    uint32_t DeviceType;
    HWND hFocusWindow;
    uint32_t BehaviorFlags;
};

struct D3DSURFACE_DESC {
    D3DFORMAT Format;
    uint32_t Type;
    uint32_t Usage;
    uint32_t Pool;
    uint32_t MultiSampleType;
    uint32_t MultiSampleQuality;
    uint32_t Width;
    uint32_t Height;
};

struct D3DLOCKED_RECT {
    int32_t Pitch;
    void *pBits;
};

class IDirect3DDevice9;

class IDirect3DSurface9 : public D3DObject {
   public:
    HRESULT GetDesc(D3DSURFACE_DESC *desc) const;
    // Only lockable surfaces; one lock at a time.
    HRESULT LockRect(D3DLOCKED_RECT *out, const RECT *rect, uint32_t flags);
    HRESULT UnlockRect();
    // The stand-in texture holding the pixels (the stand-in's own users).
    ID3D11Texture2D *texture() const { return tex_; }

   private:
    friend class IDirect3DDevice9;
    IDirect3DSurface9(ID3D11Texture2D *tex, bool lockable);
    ~IDirect3DSurface9() override;
    ID3D11Texture2D *tex_;
    bool lockable_;
    bool locked_ = false;
};

class IDirect3DSwapChain9 : public D3DObject {
   public:
    virtual HRESULT Present(const RECT *src, const RECT *dst, HWND override_window, const void *dirty,
                            uint32_t flags);
    HRESULT GetBackBuffer(uint32_t index, uint32_t type, IDirect3DSurface9 **out);
    // Adds a device reference.
    HRESULT GetDevice(IDirect3DDevice9 **out);

   private:
    friend class IDirect3DDevice9;
    explicit IDirect3DSwapChain9(IDirect3DDevice9 *device) : device_(device) {}
    IDirect3DDevice9 *device_;  // the owner, not referenced
};

class IDirect3DDevice9Ex;

// The device owns its implicit swap chain; release swap-chain references
// before the last device reference.
class IDirect3DDevice9 : public D3DObject {
   public:
    virtual HRESULT Present(const RECT *src, const RECT *dst, HWND override_window, const void *dirty);
    // Fails while a back-buffer reference is held outside the device.
    virtual HRESULT Reset(D3DPRESENT_PARAMETERS *params);
    virtual HRESULT BeginScene();
    virtual HRESULT EndScene();

    // QueryInterface for IDirect3DDevice9 (this object, one more reference)
    // and for IDirect3DDevice9Ex (E_NOINTERFACE unless made as one).
    HRESULT QueryInterface(IDirect3DDevice9 **out);
    HRESULT QueryInterface(IDirect3DDevice9Ex **out);
    HRESULT GetCreationParameters(D3DDEVICE_CREATION_PARAMETERS *out) const;
    HRESULT GetSwapChain(uint32_t index, IDirect3DSwapChain9 **out);
    HRESULT GetBackBuffer(uint32_t swap_chain, uint32_t index, uint32_t type, IDirect3DSurface9 **out);
    HRESULT GetRenderTarget(uint32_t index, IDirect3DSurface9 **out);
    HRESULT SetRenderTarget(uint32_t index, IDirect3DSurface9 *surface);
    // shared: when not null, the surface is made shared and *shared gets its
    // handle (for OpenSharedResource of the Direct3D 11 stand-in).
    HRESULT CreateRenderTarget(uint32_t width, uint32_t height, D3DFORMAT format, uint32_t multisample,
                               uint32_t quality, int32_t lockable, IDirect3DSurface9 **out, void **shared);
    // Nearest-neighbour scaling between rectangles (whole surfaces when null).
    HRESULT StretchRect(IDirect3DSurface9 *src, const RECT *src_rect, IDirect3DSurface9 *dst,
                        const RECT *dst_rect, uint32_t filter);
    HRESULT ColorFill(IDirect3DSurface9 *surface, const RECT *rect, uint32_t argb);

    // What the presents did (tests): how many, the last override window.
    uint64_t presents() const { return presents_; }
    HWND last_present_window() const { return last_window_; }

   protected:
    friend class IDirect3D9;
    friend class IDirect3DSwapChain9;
    IDirect3DDevice9(const D3DDEVICE_CREATION_PARAMETERS &creation, bool ex);
    ~IDirect3DDevice9() override;
    HRESULT make_back_buffer(uint32_t width, uint32_t height);
    HRESULT present(HWND override_window);
    HRESULT make_surface(uint32_t width, uint32_t height, bool lockable, bool shared,
                         IDirect3DSurface9 **out);
    ID3D11Device *store_;  // makes the surfaces' textures
    D3DDEVICE_CREATION_PARAMETERS creation_;
    bool ex_;
    IDirect3DSwapChain9 *swap_chain_;
    IDirect3DSurface9 *back_buffer_ = nullptr;
    IDirect3DSurface9 *render_target_ = nullptr;  // slot 0
    uint64_t presents_ = 0;
    HWND last_window_ = nullptr;
};

class IDirect3DDevice9Ex : public IDirect3DDevice9 {
   public:
    virtual HRESULT PresentEx(const RECT *src, const RECT *dst, HWND override_window, const void *dirty,
                              uint32_t flags);

   private:
    friend class IDirect3D9;
    using IDirect3DDevice9::IDirect3DDevice9;
};

class IDirect3D9 : public D3DObject {
   public:
    HRESULT CreateDevice(uint32_t adapter, uint32_t type, HWND focus_window, uint32_t flags,
                         D3DPRESENT_PARAMETERS *params, IDirect3DDevice9 **out);
    HRESULT CreateDeviceEx(uint32_t adapter, uint32_t type, HWND focus_window, uint32_t flags,
                           D3DPRESENT_PARAMETERS *params, const void *fullscreen_mode,
                           IDirect3DDevice9Ex **out);

   private:
    friend HRESULT Direct3DCreate9Ex(uint32_t, IDirect3D9 **);
    IDirect3D9() = default;
    HRESULT create(uint32_t adapter, uint32_t type, HWND focus_window, uint32_t flags,
                   D3DPRESENT_PARAMETERS *params, bool ex, IDirect3DDevice9 **out);
};

// One adapter (ordinal 0).
HRESULT Direct3DCreate9Ex(uint32_t sdk_version, IDirect3D9 **out);
