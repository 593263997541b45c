// Stands in for the DXGI calls of the window contexts: factory, adapter and
// output (WaitForVBlank on a 60 Hz clock), the device's DXGI face, and a flip
// swap chain of two buffers bound to a real X window, whose Present puts the
// back buffer into the window (XShmPutImage where the server has MIT-SHM, else
// XPutImage). A swap chain made on a Direct3D 12 command queue has buffers of
// its own device (ID3D12Resource), takes turns between them, and checks that
// the presented one is in the PRESENT state. Also the few Windows synchronisation calls the
// contexts use: events (manual reset), the frame-latency waitable, WaitForSingleObjectEx and CloseHandle.
// Tearing support and the number of adapters are process-wide switches for
// the tests.
//
// Threading: a swap chain is used by one thread at a time. Sync objects may
// be waited on and signalled from any thread: each guards its state (count,
// signalled flag, generation) with its own mutex and wakes waiters through
// its condition variable; a set event's generation moves on, so a set that is
// reset at once still releases every thread waiting at that moment.
#pragma once

#include "compat/d3d/d3d.h"

typedef void *HANDLE;

#define DXGI_USAGE_RENDER_TARGET_OUTPUT 0x20u
#define DXGI_SCALING_STRETCH 0u
#define DXGI_SWAP_EFFECT_FLIP_DISCARD 4u
#define DXGI_ALPHA_MODE_UNSPECIFIED 0u
#define DXGI_SWAP_CHAIN_FLAG_FRAME_LATENCY_WAITABLE_OBJECT 0x40u
#define DXGI_SWAP_CHAIN_FLAG_ALLOW_TEARING 0x800u
#define DXGI_PRESENT_ALLOW_TEARING 0x200u
#define DXGI_MWA_NO_WINDOW_CHANGES 1u
#define DXGI_FEATURE_PRESENT_ALLOW_TEARING 0u

#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 0x102u
#define WAIT_FAILED 0xFFFFFFFFu
#define INFINITE 0xFFFFFFFFu

struct DXGI_SWAP_CHAIN_DESC1 {
    uint32_t Width, Height;
    DXGI_FORMAT Format;
    int32_t Stereo;
    DXGI_SAMPLE_DESC SampleDesc;
    uint32_t BufferUsage;
    uint32_t BufferCount;
    uint32_t Scaling;
    uint32_t SwapEffect;
    uint32_t AlphaMode;
    uint32_t Flags;
};

// The window a swap chain is made for: an X display (Display *) and window.
struct DXGI_X11_WINDOW {
    void *display;
    unsigned long window;
};

// The window's client size, as GetClientRect gives it; false when unknown.
bool dxgi_client_size(const DXGI_X11_WINDOW *window, uint32_t *width, uint32_t *height);

class IDXGIFactory2;
class IDXGIOutput;
class ID3D12CommandQueue;
class ID3D12Resource;

class IDXGIAdapter : public D3DObject {
   public:
    HRESULT GetParent(IDXGIFactory2 **out);
    HRESULT EnumOutputs(uint32_t index, IDXGIOutput **out);

   private:
    friend class IDXGIFactory2;
    friend class IDXGIDevice;
    IDXGIAdapter() = default;
};

class IDXGIOutput : public D3DObject {
   public:
    // Sleeps until the next tick of a 60 Hz clock.
    HRESULT WaitForVBlank();

   private:
    friend class IDXGIAdapter;
    friend class IDXGISwapChain;
    IDXGIOutput() = default;
};

// The DXGI face of a Direct3D 11 device; holds a device reference.
class IDXGIDevice : public D3DObject {
   public:
    HRESULT GetParent(IDXGIAdapter **out);

   private:
    friend HRESULT dxgi_device_of(ID3D11Device *, IDXGIDevice **);
    explicit IDXGIDevice(ID3D11Device *device);
    ~IDXGIDevice() override;
    ID3D11Device *device_;
};
// ID3D11Device::QueryInterface for IDXGIDevice2.
HRESULT dxgi_device_of(ID3D11Device *device, IDXGIDevice **out);

class IDXGISwapChain;

class IDXGIFactory2 : public D3DObject {
   public:
    HRESULT EnumAdapters(uint32_t index, IDXGIAdapter **out);
    // QueryInterface for IDXGIFactory5 (the same object, one more reference).
    HRESULT QueryInterface(IDXGIFactory2 **out);
    HRESULT CheckFeatureSupport(uint32_t feature, void *data, uint32_t size);
    // device: the Direct3D 11 device or the Direct3D 12 command queue (as
    // IUnknown).
    HRESULT CreateSwapChainForHwnd(D3DObject *device, const DXGI_X11_WINDOW *window,
                                   const DXGI_SWAP_CHAIN_DESC1 *desc, const void *fullscreen,
                                   IDXGIOutput *restrict_to, IDXGISwapChain **out);
    HRESULT MakeWindowAssociation(const DXGI_X11_WINDOW *window, uint32_t flags);

   private:
    friend HRESULT CreateDXGIFactory2(uint32_t, IDXGIFactory2 **);
    friend class IDXGIAdapter;
    IDXGIFactory2() = default;
};
HRESULT CreateDXGIFactory2(uint32_t flags, IDXGIFactory2 **out);

// Whether the factory reports tearing support (on by default).
void dxgi_set_tearing_supported(bool on);
// How many adapters the factory lists (1 by default; tests of adapter walks).
void dxgi_set_adapter_count(uint32_t count);

// Every swap chain's presents in the process, and the last one's arguments
// (tests).
struct DXGIPresentRecord {
    uint64_t count;
    uint32_t sync_interval;
    uint32_t flags;
};
DXGIPresentRecord dxgi_last_present(void);

struct DXGISync;

struct DXGI_PRESENT_PARAMETERS {
    uint32_t DirtyRectsCount;
    void *pDirtyRects;
    void *pScrollRect;
    void *pScrollOffset;
};

// What GetDevice is asked for.
enum DXGI_DEVICE_IID : uint32_t {
    DXGI_IID_ID3D10Device = 10,
    DXGI_IID_ID3D11Device = 11,
    DXGI_IID_ID3D12Device = 12,
};

// Present and Present1 are methods of the object's method table, so present
// hooks can be attached to them.
class IDXGISwapChain : public D3DObject {
   public:
    // QueryInterface for IDXGISwapChain2 or 3 (the same object).
    HRESULT QueryInterface(IDXGISwapChain **out);
    // Direct3D 11 swap chains only.
    HRESULT GetBuffer(uint32_t index, ID3D11Texture2D **out);
    HRESULT GetBuffer(uint32_t index, ID3D11Resource **out);
    // Direct3D 12 swap chains only.
    HRESULT GetBuffer(uint32_t index, ID3D12Resource **out);
    // Fails with DXGI_ERROR_INVALID_CALL while a back buffer is referenced
    // (views included) or when the flags change the waitable or tearing bits.
    HRESULT ResizeBuffers(uint32_t count, uint32_t width, uint32_t height, DXGI_FORMAT format,
                          uint32_t flags);
    virtual HRESULT Present(uint32_t sync_interval, uint32_t flags);
    // IDXGISwapChain1::Present1; the parameters (dirty rectangles) are not used.
    virtual HRESULT Present1(uint32_t sync_interval, uint32_t flags, const DXGI_PRESENT_PARAMETERS *params);
    // The device the swap chain was made for, as the interface asked for (a
    // reference), or E_NOINTERFACE.
    HRESULT GetDevice(DXGI_DEVICE_IID iid, D3DObject **out);
    // IDXGISwapChain1::GetHwnd: the window it presents into.
    HRESULT GetHwnd(DXGI_X11_WINDOW *out) const;
    HANDLE GetFrameLatencyWaitableObject();
    HRESULT SetMaximumFrameLatency(uint32_t frames);
    // Direct3D 11: always 0. Direct3D 12: the buffer the next Present shows.
    uint32_t GetCurrentBackBufferIndex() const { return index_; }
    void GetDesc1(DXGI_SWAP_CHAIN_DESC1 *desc) const { *desc = desc_; }

    // What the last Present was called with, and how many (tests).
    uint64_t presents() const { return presents_; }
    uint32_t last_sync_interval() const { return last_sync_; }
    uint32_t last_flags() const { return last_flags_; }

   private:
    friend class IDXGIFactory2;
    IDXGISwapChain(ID3D11Device *device, ID3D12CommandQueue *queue, const DXGI_X11_WINDOW &window,
                   const DXGI_SWAP_CHAIN_DESC1 &desc);
    ~IDXGISwapChain() override;
    HRESULT make_buffers();
    void drop_buffers();
    // The body of both presents (a hook on either must not see the other's).
    HRESULT present(uint32_t sync_interval, uint32_t flags);
    D3DObject *buffer(uint32_t i) const;
    ID3D11Device *device_;       // referenced, or NULL
    ID3D12CommandQueue *queue_;  // referenced, or NULL
    DXGI_X11_WINDOW window_;
    DXGI_SWAP_CHAIN_DESC1 desc_;
    ID3D11Texture2D *buffers_[2] = {};
    ID3D12Resource *buffers12_[2] = {};
    uint32_t index_ = 0;
    void *shm_[2] = {};  // XShmSegmentInfo per buffer, when attached
    void *gc_ = nullptr;
    bool use_shm_ = false;
    DXGISync *latency_ = nullptr;
    uint64_t presents_ = 0;
    uint32_t last_sync_ = 0, last_flags_ = 0;
};

// Windows synchronisation, on mutex and condition variable.
HANDLE CreateEventW(void *attributes, bool manual_reset, bool initial, const char16_t *name);
bool SetEvent(HANDLE event);
bool ResetEvent(HANDLE event);
uint32_t WaitForSingleObjectEx(HANDLE handle, uint32_t ms, bool alertable);
bool CloseHandle(HANDLE handle);
uint32_t GetLastError(void);
