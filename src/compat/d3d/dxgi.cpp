#include "compat/d3d/dxgi.h"

#include "compat/d3d/d3d12.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

// Xlib last: its macros clash with everything else.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

namespace {
std::atomic<bool> g_tearing{true};
std::atomic<uint32_t> g_adapters{1};
thread_local uint32_t t_last_error = 0;
std::mutex g_present_mutex;
DXGIPresentRecord g_present{};  // under g_present_mutex
}  // namespace

DXGIPresentRecord dxgi_last_present(void) {
    std::lock_guard<std::mutex> lock(g_present_mutex);
    return g_present;
}

// An event (manual reset) or a semaphore (the frame-latency waitable).
struct DXGISync : D3DObject {
    std::mutex mutex;
    std::condition_variable cond;
    bool semaphore = false;
    bool signalled = false;       // event
    uint64_t generation = 0;      // event: moves on at each set
    uint32_t count = 0, max = 1;  // semaphore
};

void dxgi_set_tearing_supported(bool on) {
    g_tearing = on;
}

void dxgi_set_adapter_count(uint32_t count) {
    g_adapters = count;
}

uint32_t GetLastError(void) {
    return t_last_error;
}

HANDLE CreateEventW(void *, bool manual_reset, bool initial, const char16_t *) {
    if (HRESULT hr = d3d_fault("CreateEvent")) {
        t_last_error = uint32_t(hr);
        return nullptr;
    }
    if (!manual_reset) {  // only manual-reset events are called for
        t_last_error = 87;
        return nullptr;
    }
    auto *s = new DXGISync();
    s->signalled = initial;
    return s;
}

bool SetEvent(HANDLE h) {
    auto *s = static_cast<DXGISync *>(h);
    if (!s || s->semaphore) return false;
    // Woken under the lock: a waiter may close the event as soon as it runs.
    std::lock_guard<std::mutex> lock(s->mutex);
    s->signalled = true;
    s->generation++;
    s->cond.notify_all();
    return true;
}

bool ResetEvent(HANDLE h) {
    auto *s = static_cast<DXGISync *>(h);
    if (!s || s->semaphore) return false;
    std::lock_guard<std::mutex> lock(s->mutex);
    s->signalled = false;
    return true;
}

uint32_t WaitForSingleObjectEx(HANDLE h, uint32_t ms, bool) {
    auto *s = static_cast<DXGISync *>(h);
    if (!s) {
        t_last_error = 6;  // invalid handle
        return WAIT_FAILED;
    }
    if (HRESULT hr = d3d_fault("WaitForSingleObjectEx")) {
        t_last_error = uint32_t(hr);
        return WAIT_FAILED;
    }
    std::unique_lock<std::mutex> lock(s->mutex);
    const uint64_t gen = s->generation;
    auto ready = [&] { return s->semaphore ? s->count > 0 : (s->signalled || s->generation != gen); };
    if (ms == INFINITE)
        s->cond.wait(lock, ready);
    else if (!s->cond.wait_for(lock, std::chrono::milliseconds(ms), ready))
        return WAIT_TIMEOUT;
    if (s->semaphore) s->count--;
    return WAIT_OBJECT_0;
}

bool CloseHandle(HANDLE h) {
    if (!h) return false;
    static_cast<DXGISync *>(h)->Release();
    return true;
}

bool dxgi_client_size(const DXGI_X11_WINDOW *w, uint32_t *width, uint32_t *height) {
    XWindowAttributes a;
    if (!w || !w->display || !XGetWindowAttributes(static_cast<Display *>(w->display), w->window, &a))
        return false;
    *width = uint32_t(a.width);
    *height = uint32_t(a.height);
    return true;
}

HRESULT CreateDXGIFactory2(uint32_t, IDXGIFactory2 **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (HRESULT hr = d3d_fault("CreateDXGIFactory2")) return hr;
    *out = new IDXGIFactory2();
    return S_OK;
}

HRESULT IDXGIFactory2::EnumAdapters(uint32_t index, IDXGIAdapter **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (HRESULT hr = d3d_fault("IDXGIFactory2_EnumAdapters")) return hr;
    if (index >= g_adapters.load()) return DXGI_ERROR_NOT_FOUND;
    *out = new IDXGIAdapter();
    return S_OK;
}

HRESULT IDXGIFactory2::QueryInterface(IDXGIFactory2 **out) {
    return d3d_query_self(this, out, "IDXGIFactory2_QueryInterface");
}

HRESULT IDXGIFactory2::CheckFeatureSupport(uint32_t feature, void *data, uint32_t size) {
    if (feature != DXGI_FEATURE_PRESENT_ALLOW_TEARING || !data || size != 4) return E_INVALIDARG;
    if (HRESULT hr = d3d_fault("IDXGIFactory5_CheckFeatureSupport")) return hr;
    const int32_t on = g_tearing ? 1 : 0;
    memcpy(data, &on, 4);
    return S_OK;
}

HRESULT IDXGIFactory2::MakeWindowAssociation(const DXGI_X11_WINDOW *, uint32_t) {
    return d3d_fault("IDXGIFactory2_MakeWindowAssociation");
}

HRESULT IDXGIFactory2::CreateSwapChainForHwnd(D3DObject *device, const DXGI_X11_WINDOW *window,
                                              const DXGI_SWAP_CHAIN_DESC1 *desc, const void *, IDXGIOutput *,
                                              IDXGISwapChain **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    auto *dev = dynamic_cast<ID3D11Device *>(device);
    auto *queue = dynamic_cast<ID3D12CommandQueue *>(device);
    if ((!dev && !queue) || !window || !desc || desc->BufferCount != 2 || desc->SampleDesc.Count != 1 ||
        desc->SwapEffect != DXGI_SWAP_EFFECT_FLIP_DISCARD || desc->Format != DXGI_FORMAT_B8G8R8A8_UNORM ||
        !(desc->BufferUsage & DXGI_USAGE_RENDER_TARGET_OUTPUT))
        return DXGI_ERROR_INVALID_CALL;
    if ((desc->Flags & DXGI_SWAP_CHAIN_FLAG_ALLOW_TEARING) && !g_tearing) return DXGI_ERROR_INVALID_CALL;
    if (HRESULT hr = d3d_fault("IDXGIFactory2_CreateSwapChainForHwnd")) return hr;
    DXGI_SWAP_CHAIN_DESC1 d = *desc;
    if (d.Width == 0 || d.Height == 0) {
        uint32_t w, h;
        if (!dxgi_client_size(window, &w, &h)) return DXGI_ERROR_INVALID_CALL;
        if (d.Width == 0) d.Width = w;
        if (d.Height == 0) d.Height = h;
    }
    auto *sc = new IDXGISwapChain(dev, queue, *window, d);
    if (HRESULT hr = sc->make_buffers(); hr < 0) {
        sc->Release();
        return hr;
    }
    *out = sc;
    return S_OK;
}

HRESULT IDXGIAdapter::GetParent(IDXGIFactory2 **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (HRESULT hr = d3d_fault("IDXGIAdapter_GetParent")) return hr;
    *out = new IDXGIFactory2();
    return S_OK;
}

HRESULT IDXGIAdapter::EnumOutputs(uint32_t index, IDXGIOutput **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (HRESULT hr = d3d_fault("IDXGIAdapter_EnumOutputs")) return hr;
    if (index != 0) return DXGI_ERROR_NOT_FOUND;
    *out = new IDXGIOutput();
    return S_OK;
}

HRESULT IDXGIOutput::WaitForVBlank() {
    if (HRESULT hr = d3d_fault("IDXGIOutput_WaitForVBlank")) return hr;
    constexpr int64_t period = 1000000000 / 60;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t ns = int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
    const int64_t next = (ns / period + 1) * period;
    timespec at{time_t(next / 1000000000), long(next % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != 0) {
    }
    return S_OK;
}

IDXGIDevice::IDXGIDevice(ID3D11Device *device) : device_(device) {
    device_->AddRef();
}

IDXGIDevice::~IDXGIDevice() {
    device_->Release();
}

HRESULT dxgi_device_of(ID3D11Device *device, IDXGIDevice **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!device) return E_INVALIDARG;
    if (HRESULT hr = d3d_fault("ID3D11Device_QueryInterface")) return hr;
    *out = new IDXGIDevice(device);
    return S_OK;
}

HRESULT IDXGIDevice::GetParent(IDXGIAdapter **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (HRESULT hr = d3d_fault("IDXGIDevice2_GetParent")) return hr;
    *out = new IDXGIAdapter();
    return S_OK;
}

IDXGISwapChain::IDXGISwapChain(ID3D11Device *device, ID3D12CommandQueue *queue, const DXGI_X11_WINDOW &window,
                               const DXGI_SWAP_CHAIN_DESC1 &desc)
    : device_(device), queue_(queue), window_(window), desc_(desc) {
    if (device_) device_->AddRef();
    if (queue_) queue_->AddRef();
    Display *dpy = static_cast<Display *>(window_.display);
    use_shm_ = XShmQueryExtension(dpy);
    gc_ = XCreateGC(dpy, window_.window, 0, nullptr);
    latency_ = new DXGISync();
    latency_->semaphore = true;
    latency_->count = 1;
    latency_->max = 1;
}

IDXGISwapChain::~IDXGISwapChain() {
    drop_buffers();
    XFreeGC(static_cast<Display *>(window_.display), static_cast<GC>(gc_));
    latency_->Release();
    if (device_) device_->Release();
    if (queue_) queue_->Release();
}

D3DObject *IDXGISwapChain::buffer(uint32_t i) const {
    if (queue_) return buffers12_[i];
    return buffers_[i];
}

HRESULT IDXGISwapChain::make_buffers() {
    Display *dpy = static_cast<Display *>(window_.display);
    for (int i = 0; i < 2; i++) {
        D3D11_TEXTURE2D_DESC d = {desc_.Width,
                                  desc_.Height,
                                  1,
                                  1,
                                  desc_.Format,
                                  {1, 0},
                                  D3D11_USAGE_DEFAULT,
                                  D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE,
                                  0,
                                  use_shm_ ? D3D11_RESOURCE_MISC_SYSV_SHM : 0u};
        HRESULT hr = queue_ ? d3d12_swap_buffer(queue_->device(), desc_.Width, desc_.Height, desc_.Format,
                                                use_shm_, &buffers12_[i])
                            : device_->CreateTexture2D(&d, nullptr, &buffers_[i]);
        if (hr < 0) {
            drop_buffers();
            return hr;
        }
        const int shm_id = queue_ ? buffers12_[i]->shm_id() : buffers_[i]->shm_id();
        if (use_shm_ && shm_id >= 0) {
            auto *info = new XShmSegmentInfo{};
            info->shmid = shm_id;
            info->shmaddr = reinterpret_cast<char *>(queue_ ? buffers12_[i]->data() : buffers_[i]->data());
            info->readOnly = True;
            if (!XShmAttach(dpy, info)) {
                delete info;
                continue;
            }
            shm_[i] = info;
        }
    }
    XSync(dpy, False);
    return S_OK;
}

void IDXGISwapChain::drop_buffers() {
    Display *dpy = static_cast<Display *>(window_.display);
    for (int i = 0; i < 2; i++) {
        if (shm_[i]) {
            XShmDetach(dpy, static_cast<XShmSegmentInfo *>(shm_[i]));
            XSync(dpy, False);
            delete static_cast<XShmSegmentInfo *>(shm_[i]);
            shm_[i] = nullptr;
        }
        d3d_release(&buffers_[i]);
        d3d_release(&buffers12_[i]);
    }
    index_ = 0;
}

HRESULT IDXGISwapChain::QueryInterface(IDXGISwapChain **out) {
    return d3d_query_self(this, out, "IDXGISwapChain1_QueryInterface");
}

HRESULT IDXGISwapChain::GetBuffer(uint32_t index, ID3D12Resource **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (index >= 2 || !buffers12_[index]) return DXGI_ERROR_INVALID_CALL;
    if (HRESULT hr = d3d_fault("IDXGISwapChain_GetBuffer")) return hr;
    buffers12_[index]->AddRef();
    *out = buffers12_[index];
    return S_OK;
}

HRESULT IDXGISwapChain::GetBuffer(uint32_t index, ID3D11Texture2D **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (index >= 2 || !buffers_[index]) return DXGI_ERROR_INVALID_CALL;
    if (HRESULT hr = d3d_fault("IDXGISwapChain_GetBuffer")) return hr;
    buffers_[index]->AddRef();
    *out = buffers_[index];
    return S_OK;
}

HRESULT IDXGISwapChain::GetBuffer(uint32_t index, ID3D11Resource **out) {
    ID3D11Texture2D *t = nullptr;
    HRESULT hr = GetBuffer(index, out ? &t : nullptr);
    if (out) *out = t;
    return hr;
}

HRESULT IDXGISwapChain::ResizeBuffers(uint32_t count, uint32_t width, uint32_t height, DXGI_FORMAT format,
                                      uint32_t flags) {
    if ((count != 0 && count != 2) || ((flags ^ desc_.Flags) & 0x840u)) return DXGI_ERROR_INVALID_CALL;
    for (uint32_t i = 0; i < 2; i++)
        if (buffer(i) && buffer(i)->refs() > 1) return DXGI_ERROR_INVALID_CALL;
    if (queue_)
        if (HRESULT hr = queue_->device()->GetDeviceRemovedReason(); hr < 0) return hr;
    if (HRESULT hr = d3d_fault("IDXGISwapChain_ResizeBuffers")) return hr;
    if (width == 0 || height == 0) {
        uint32_t w, h;
        if (!dxgi_client_size(&window_, &w, &h)) return DXGI_ERROR_INVALID_CALL;
        if (width == 0) width = w;
        if (height == 0) height = h;
    }
    if (width == 0 || height == 0 || width > 16384 || height > 16384) return DXGI_ERROR_INVALID_CALL;
    drop_buffers();
    desc_.Width = width;
    desc_.Height = height;
    if (format != DXGI_FORMAT_UNKNOWN) desc_.Format = format;
    desc_.Flags = flags;
    return make_buffers();
}

HANDLE IDXGISwapChain::GetFrameLatencyWaitableObject() {
    if (!(desc_.Flags & DXGI_SWAP_CHAIN_FLAG_FRAME_LATENCY_WAITABLE_OBJECT)) return nullptr;
    if (d3d_fault("IDXGISwapChain_GetFrameLatencyWaitableObject")) return nullptr;
    latency_->AddRef();
    return latency_;
}

HRESULT IDXGISwapChain::SetMaximumFrameLatency(uint32_t frames) {
    if (frames == 0 || frames > 16 || !(desc_.Flags & DXGI_SWAP_CHAIN_FLAG_FRAME_LATENCY_WAITABLE_OBJECT))
        return DXGI_ERROR_INVALID_CALL;
    if (HRESULT hr = d3d_fault("IDXGISwapChain_SetMaximumFrameLatency")) return hr;
    std::lock_guard<std::mutex> lock(latency_->mutex);
    latency_->max = frames;
    return S_OK;
}

HRESULT IDXGISwapChain::Present1(uint32_t sync_interval, uint32_t flags, const DXGI_PRESENT_PARAMETERS *) {
    if (HRESULT hr = d3d_fault("IDXGISwapChain1_Present1")) return hr;
    return present(sync_interval, flags);
}

HRESULT IDXGISwapChain::GetDevice(DXGI_DEVICE_IID iid, D3DObject **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (HRESULT hr = d3d_fault("IDXGISwapChain_GetDevice")) return hr;
    if (queue_) {
        if (iid != DXGI_IID_ID3D12Device) return E_NOINTERFACE;
        ID3D12Device *dev = queue_->device();
        dev->AddRef();
        *out = dev;
        return S_OK;
    }
    bool match = iid == DXGI_IID_ID3D10Device ? device_->d3d10() : iid == DXGI_IID_ID3D11Device;
    if (!match) return E_NOINTERFACE;
    device_->AddRef();
    *out = device_;
    return S_OK;
}

HRESULT IDXGISwapChain::GetHwnd(DXGI_X11_WINDOW *out) const {
    if (!out) return E_INVALIDARG;
    *out = window_;
    return S_OK;
}

HRESULT IDXGISwapChain::Present(uint32_t sync_interval, uint32_t flags) {
    return present(sync_interval, flags);
}

HRESULT IDXGISwapChain::present(uint32_t sync_interval, uint32_t flags) {
    if (sync_interval > 4) return DXGI_ERROR_INVALID_CALL;
    if ((flags & DXGI_PRESENT_ALLOW_TEARING) &&
        (sync_interval != 0 || !(desc_.Flags & DXGI_SWAP_CHAIN_FLAG_ALLOW_TEARING)))
        return DXGI_ERROR_INVALID_CALL;
    if (queue_)
        if (HRESULT hr = queue_->device()->GetDeviceRemovedReason(); hr < 0) return hr;
    if (HRESULT hr = d3d_fault("IDXGISwapChain_Present")) return hr;
    uint8_t *pixels = nullptr;
    uint32_t pitch = 0;
    void *shm = nullptr;
    if (queue_) {
        queue_->drain();
        ID3D12Resource *b = buffers12_[index_];
        if (b && b->state() != D3D12_RESOURCE_STATE_PRESENT)
            d3d12_report_fault("IDXGISwapChain_Present: back buffer %u is in state 0x%X, not PRESENT", index_,
                               b->state());
        else if (b) {
            pixels = b->data();
            pitch = b->pitch();
            shm = shm_[index_];
        }
        index_ ^= 1;
    } else if (buffers_[0]) {
        pixels = buffers_[0]->data();
        pitch = buffers_[0]->pitch();
        shm = shm_[0];
    }
    presents_++;
    last_sync_ = sync_interval;
    last_flags_ = flags;
    {
        std::lock_guard<std::mutex> lock(g_present_mutex);
        g_present = {g_present.count + 1, sync_interval, flags};
    }
    // A vertical-blank interval is a wait on the 60 Hz clock per blank.
    for (uint32_t i = 0; i < sync_interval; i++) {
        IDXGIOutput o;
        o.WaitForVBlank();
    }
    Display *dpy = static_cast<Display *>(window_.display);
    if (pixels) {
        XWindowAttributes a;
        if (XGetWindowAttributes(dpy, window_.window, &a) && a.depth >= 24) {
            if (shm) {
                XImage *img = XShmCreateImage(dpy, a.visual, unsigned(a.depth), ZPixmap,
                                              reinterpret_cast<char *>(pixels),
                                              static_cast<XShmSegmentInfo *>(shm), desc_.Width, desc_.Height);
                if (img) {
                    XShmPutImage(dpy, window_.window, static_cast<GC>(gc_), img, 0, 0, 0, 0, desc_.Width,
                                 desc_.Height, False);
                    XSync(dpy, False);  // the buffer is drawn into again next frame
                    img->data = nullptr;
                    XDestroyImage(img);
                }
            } else {
                XImage *img =
                    XCreateImage(dpy, a.visual, unsigned(a.depth), ZPixmap, 0,
                                 reinterpret_cast<char *>(pixels), desc_.Width, desc_.Height, 32, int(pitch));
                if (img) {
                    XPutImage(dpy, window_.window, static_cast<GC>(gc_), img, 0, 0, 0, 0, desc_.Width,
                              desc_.Height);
                    XSync(dpy, False);
                    img->data = nullptr;
                    XDestroyImage(img);
                }
            }
        }
    }
    {
        std::lock_guard<std::mutex> lock(latency_->mutex);
        if (latency_->count < latency_->max) latency_->count++;
    }
    latency_->cond.notify_all();
    return S_OK;
}
