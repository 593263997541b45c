#include "compat/d3d9/d3d9.h"

#include <cstring>

namespace {

bool format_ok(D3DFORMAT f) {
    return f == D3DFMT_A8R8G8B8 || f == D3DFMT_X8R8G8B8;
}

// The rectangle clipped to the surface; false when empty.
bool rect_of(const IDirect3DSurface9 *s, const RECT *r, RECT *out) {
    D3DSURFACE_DESC d;
    s->GetDesc(&d);
    *out = r ? *r : RECT{0, 0, (int32_t)d.Width, (int32_t)d.Height};
    if (out->left < 0 || out->top < 0 || out->right > (int32_t)d.Width || out->bottom > (int32_t)d.Height)
        return false;
    return out->right > out->left && out->bottom > out->top;
}

}  // namespace

// --- surfaces ---

IDirect3DSurface9::IDirect3DSurface9(ID3D11Texture2D *tex, bool lockable) : tex_(tex), lockable_(lockable) {}

IDirect3DSurface9::~IDirect3DSurface9() {
    tex_->Release();
}

HRESULT IDirect3DSurface9::GetDesc(D3DSURFACE_DESC *desc) const {
    if (!desc) return D3DERR_INVALIDCALL;
    D3D11_TEXTURE2D_DESC d;
    tex_->GetDesc(&d);
    *desc = {D3DFMT_A8R8G8B8, D3DRTYPE_SURFACE, D3DUSAGE_RENDERTARGET, D3DPOOL_DEFAULT, 0, 0,
             d.Width,         d.Height};
    return S_OK;
}

HRESULT IDirect3DSurface9::LockRect(D3DLOCKED_RECT *out, const RECT *rect, uint32_t) {
    if (!out || !lockable_ || locked_) return D3DERR_INVALIDCALL;
    if (HRESULT hr = d3d_fault("IDirect3DSurface9_LockRect")) return hr;
    RECT r;
    if (!rect_of(this, rect, &r)) return D3DERR_INVALIDCALL;
    out->Pitch = (int32_t)tex_->pitch();
    out->pBits = tex_->data() + (size_t)r.top * tex_->pitch() + (size_t)r.left * 4;
    locked_ = true;
    return S_OK;
}

HRESULT IDirect3DSurface9::UnlockRect() {
    if (!locked_) return D3DERR_INVALIDCALL;
    locked_ = false;
    return S_OK;
}

// --- swap chain ---

HRESULT IDirect3DSwapChain9::Present(const RECT *, const RECT *, HWND override_window, const void *,
                                     uint32_t) {
    if (HRESULT hr = d3d_fault("IDirect3DSwapChain9_Present")) return hr;
    return device_->present(override_window);
}

HRESULT IDirect3DSwapChain9::GetBackBuffer(uint32_t index, uint32_t type, IDirect3DSurface9 **out) {
    if (!out) return D3DERR_INVALIDCALL;
    *out = nullptr;
    if (index != 0 || type != D3DBACKBUFFER_TYPE_MONO || !device_->back_buffer_) return D3DERR_INVALIDCALL;
    if (HRESULT hr = d3d_fault("IDirect3DSwapChain9_GetBackBuffer")) return hr;
    device_->back_buffer_->AddRef();
    *out = device_->back_buffer_;
    return S_OK;
}

HRESULT IDirect3DSwapChain9::GetDevice(IDirect3DDevice9 **out) {
    if (!out) return D3DERR_INVALIDCALL;
    *out = nullptr;
    if (HRESULT hr = d3d_fault("IDirect3DSwapChain9_GetDevice")) return hr;
    device_->AddRef();
    *out = device_;
    return S_OK;
}

// --- device ---

IDirect3DDevice9::IDirect3DDevice9(const D3DDEVICE_CREATION_PARAMETERS &creation, bool ex)
    : store_(nullptr), creation_(creation), ex_(ex), swap_chain_(new IDirect3DSwapChain9(this)) {
    D3D11CreateDevice(&store_);
}

IDirect3DDevice9::~IDirect3DDevice9() {
    d3d_release(&render_target_);
    d3d_release(&back_buffer_);
    swap_chain_->Release();
    d3d_release(&store_);
}

HRESULT IDirect3DDevice9::make_surface(uint32_t width, uint32_t height, bool lockable, bool shared,
                                       IDirect3DSurface9 **out) {
    *out = nullptr;
    if (!store_ || width == 0 || height == 0 || width > 16384 || height > 16384) return D3DERR_INVALIDCALL;
    D3D11_TEXTURE2D_DESC d = {width,
                              height,
                              1,
                              1,
                              DXGI_FORMAT_B8G8R8A8_UNORM,
                              {1, 0},
                              D3D11_USAGE_DEFAULT,
                              D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE,
                              0,
                              shared ? D3D11_RESOURCE_MISC_SHARED : 0u};
    ID3D11Texture2D *t = nullptr;
    if (store_->CreateTexture2D(&d, nullptr, &t) < 0) return E_OUTOFMEMORY;
    *out = new IDirect3DSurface9(t, lockable);
    return S_OK;
}

HRESULT IDirect3DDevice9::make_back_buffer(uint32_t width, uint32_t height) {
    IDirect3DSurface9 *bb = nullptr;
    if (HRESULT hr = make_surface(width, height, false, false, &bb); hr < 0) return hr;
    d3d_release(&back_buffer_);
    back_buffer_ = bb;
    SetRenderTarget(0, bb);
    return S_OK;
}

HRESULT IDirect3DDevice9::present(HWND override_window) {
    presents_++;
    last_window_ = override_window;
    return S_OK;
}

HRESULT IDirect3DDevice9::Present(const RECT *, const RECT *, HWND override_window, const void *) {
    if (HRESULT hr = d3d_fault("IDirect3DDevice9_Present")) return hr;
    return present(override_window);
}

HRESULT IDirect3DDevice9::Reset(D3DPRESENT_PARAMETERS *params) {
    if (!params || !format_ok(params->BackBufferFormat)) return D3DERR_INVALIDCALL;
    if (HRESULT hr = d3d_fault("IDirect3DDevice9_Reset")) return hr;
    // References the device holds itself: its own and the bound render target's.
    uint32_t own = 1 + (render_target_ == back_buffer_ ? 1 : 0);
    if (back_buffer_ && back_buffer_->refs() > own) return D3DERR_INVALIDCALL;
    uint32_t w = params->BackBufferWidth, h = params->BackBufferHeight;
    if (w == 0 || h == 0) {
        D3DSURFACE_DESC d;
        back_buffer_->GetDesc(&d);
        w = w ? w : d.Width;
        h = h ? h : d.Height;
    }
    d3d_release(&render_target_);
    return make_back_buffer(w, h);
}

HRESULT IDirect3DDevice9::BeginScene() {
    return S_OK;
}

HRESULT IDirect3DDevice9::EndScene() {
    return S_OK;
}

HRESULT IDirect3DDevice9::QueryInterface(IDirect3DDevice9 **out) {
    if (!out) return D3DERR_INVALIDCALL;
    *out = nullptr;
    if (HRESULT hr = d3d_fault(ex_ ? "IDirect3DDevice9Ex_QueryInterface" : "IDirect3DDevice9_QueryInterface"))
        return hr;
    AddRef();
    *out = this;
    return S_OK;
}

HRESULT IDirect3DDevice9::QueryInterface(IDirect3DDevice9Ex **out) {
    if (!out) return D3DERR_INVALIDCALL;
    *out = nullptr;
    if (!ex_) return E_NOINTERFACE;
    if (HRESULT hr = d3d_fault("IDirect3DDevice9_QueryInterface")) return hr;
    AddRef();
    *out = static_cast<IDirect3DDevice9Ex *>(this);
    return S_OK;
}

HRESULT IDirect3DDevice9::GetCreationParameters(D3DDEVICE_CREATION_PARAMETERS *out) const {
    if (!out) return D3DERR_INVALIDCALL;
    if (HRESULT hr = d3d_fault("IDirect3DDevice9_GetCreationParameters")) return hr;
    *out = creation_;
    return S_OK;
}

HRESULT IDirect3DDevice9::GetSwapChain(uint32_t index, IDirect3DSwapChain9 **out) {
    if (!out) return D3DERR_INVALIDCALL;
    *out = nullptr;
    if (index != 0) return D3DERR_INVALIDCALL;
    if (HRESULT hr = d3d_fault("IDirect3DDevice9_GetSwapChain")) return hr;
    swap_chain_->AddRef();
    *out = swap_chain_;
    return S_OK;
}

HRESULT IDirect3DDevice9::GetBackBuffer(uint32_t swap_chain, uint32_t index, uint32_t type,
                                        IDirect3DSurface9 **out) {
    if (!out) return D3DERR_INVALIDCALL;
    *out = nullptr;
    if (swap_chain != 0 || index != 0 || type != D3DBACKBUFFER_TYPE_MONO || !back_buffer_)
        return D3DERR_INVALIDCALL;
    if (HRESULT hr = d3d_fault("IDirect3DDevice9_GetBackBuffer")) return hr;
    back_buffer_->AddRef();
    *out = back_buffer_;
    return S_OK;
}

HRESULT IDirect3DDevice9::GetRenderTarget(uint32_t index, IDirect3DSurface9 **out) {
    if (!out) return D3DERR_INVALIDCALL;
    *out = nullptr;
    if (index != 0) return D3DERR_NOTAVAILABLE;
    if (HRESULT hr = d3d_fault("IDirect3DDevice9_GetRenderTarget")) return hr;
    if (!render_target_) return D3DERR_NOTAVAILABLE;
    render_target_->AddRef();
    *out = render_target_;
    return S_OK;
}

HRESULT IDirect3DDevice9::SetRenderTarget(uint32_t index, IDirect3DSurface9 *surface) {
    // Render target 0 can never be unbound.
    if (index != 0 || !surface) return D3DERR_INVALIDCALL;
    if (HRESULT hr = d3d_fault("IDirect3DDevice9_SetRenderTarget")) return hr;
    surface->AddRef();
    d3d_release(&render_target_);
    render_target_ = surface;
    return S_OK;
}

HRESULT IDirect3DDevice9::CreateRenderTarget(uint32_t width, uint32_t height, D3DFORMAT format, uint32_t,
                                             uint32_t, int32_t lockable, IDirect3DSurface9 **out,
                                             void **shared) {
    if (!out) return D3DERR_INVALIDCALL;
    *out = nullptr;
    if (!format_ok(format)) return D3DERR_INVALIDCALL;
    if (HRESULT hr = d3d_fault("IDirect3DDevice9_CreateRenderTarget")) return hr;
    IDirect3DSurface9 *s = nullptr;
    if (HRESULT hr = make_surface(width, height, lockable != 0, shared != nullptr, &s); hr < 0) return hr;
    if (shared && s->texture()->GetSharedHandle(shared) < 0) {
        s->Release();
        return E_OUTOFMEMORY;
    }
    *out = s;
    return S_OK;
}

HRESULT IDirect3DDevice9::StretchRect(IDirect3DSurface9 *src, const RECT *src_rect, IDirect3DSurface9 *dst,
                                      const RECT *dst_rect, uint32_t) {
    if (!src || !dst || src == dst) return D3DERR_INVALIDCALL;
    if (HRESULT hr = d3d_fault("IDirect3DDevice9_StretchRect")) return hr;
    RECT s, d;
    if (!rect_of(src, src_rect, &s) || !rect_of(dst, dst_rect, &d)) return D3DERR_INVALIDCALL;
    ID3D11Texture2D *st = src->texture(), *dt = dst->texture();
    uint32_t sw = (uint32_t)(s.right - s.left), sh = (uint32_t)(s.bottom - s.top);
    uint32_t dw = (uint32_t)(d.right - d.left), dh = (uint32_t)(d.bottom - d.top);
    for (uint32_t y = 0; y < dh; y++) {
        const uint8_t *srow = st->data() + (size_t)(s.top + (int32_t)((uint64_t)y * sh / dh)) * st->pitch();
        uint8_t *drow = dt->data() + (size_t)(d.top + (int32_t)y) * dt->pitch() + (size_t)d.left * 4;
        if (sw == dw) {
            std::memcpy(drow, srow + (size_t)s.left * 4, (size_t)dw * 4);
            continue;
        }
        for (uint32_t x = 0; x < dw; x++)
            std::memcpy(drow + (size_t)x * 4, srow + ((size_t)s.left + (uint64_t)x * sw / dw) * 4, 4);
    }
    return S_OK;
}

HRESULT IDirect3DDevice9::ColorFill(IDirect3DSurface9 *surface, const RECT *rect, uint32_t argb) {
    if (!surface) return D3DERR_INVALIDCALL;
    RECT r;
    if (!rect_of(surface, rect, &r)) return D3DERR_INVALIDCALL;
    ID3D11Texture2D *t = surface->texture();
    uint8_t px[4] = {(uint8_t)argb, (uint8_t)(argb >> 8), (uint8_t)(argb >> 16), (uint8_t)(argb >> 24)};
    for (int32_t y = r.top; y < r.bottom; y++)
        for (int32_t x = r.left; x < r.right; x++)
            std::memcpy(t->data() + (size_t)y * t->pitch() + x * 4, px, 4);
    return S_OK;
}

HRESULT IDirect3DDevice9Ex::PresentEx(const RECT *, const RECT *, HWND override_window, const void *,
                                      uint32_t) {
    if (HRESULT hr = d3d_fault("IDirect3DDevice9Ex_PresentEx")) return hr;
    return present(override_window);
}

// --- factory ---

HRESULT IDirect3D9::create(uint32_t adapter, uint32_t type, HWND focus_window, uint32_t flags,
                           D3DPRESENT_PARAMETERS *params, bool ex, IDirect3DDevice9 **out) {
    if (!out) return D3DERR_INVALIDCALL;
    *out = nullptr;
    if (adapter != 0 || !params || !format_ok(params->BackBufferFormat)) return D3DERR_INVALIDCALL;
    if (HRESULT hr = d3d_fault("IDirect3D9_CreateDevice")) return hr;
    D3DDEVICE_CREATION_PARAMETERS c = {adapter, type, focus_window, flags};
    IDirect3DDevice9 *dev = ex ? new IDirect3DDevice9Ex(c, true) : new IDirect3DDevice9(c, false);
    uint32_t w = params->BackBufferWidth ? params->BackBufferWidth : 640;
    uint32_t h = params->BackBufferHeight ? params->BackBufferHeight : 480;
    if (HRESULT hr = dev->make_back_buffer(w, h); hr < 0) {
        dev->Release();
        return hr;
    }
    *out = dev;
    return S_OK;
}

HRESULT IDirect3D9::CreateDevice(uint32_t adapter, uint32_t type, HWND focus_window, uint32_t flags,
                                 D3DPRESENT_PARAMETERS *params, IDirect3DDevice9 **out) {
    return create(adapter, type, focus_window, flags, params, false, out);
}

HRESULT IDirect3D9::CreateDeviceEx(uint32_t adapter, uint32_t type, HWND focus_window, uint32_t flags,
                                   D3DPRESENT_PARAMETERS *params, const void *, IDirect3DDevice9Ex **out) {
    IDirect3DDevice9 *dev = nullptr;
    HRESULT hr = create(adapter, type, focus_window, flags, params, true, &dev);
    if (out) *out = static_cast<IDirect3DDevice9Ex *>(dev);
    return hr;
}

HRESULT Direct3DCreate9Ex(uint32_t sdk_version, IDirect3D9 **out) {
    if (!out) return D3DERR_INVALIDCALL;
    *out = nullptr;
    if (sdk_version != D3D_SDK_VERSION) return D3DERR_NOTAVAILABLE;
    if (HRESULT hr = d3d_fault("Direct3DCreate9Ex")) return hr;
    *out = new IDirect3D9();
    return S_OK;
}
