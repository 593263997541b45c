#include "compat/d3d/d3d.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

std::atomic<int64_t> g_live{0};

// Shared handles: small numbers naming a storage block while any texture
// made shared still holds it.
std::mutex g_mutex;
std::unordered_map<uintptr_t, std::weak_ptr<D3DStorage>> g_shared;
uintptr_t g_next_handle = 0x100;

}  // namespace

// Pixel memory of one texture (and of every texture opened from its handle).
struct D3DStorage {
    D3D11_TEXTURE2D_DESC desc{};
    uint32_t pitch = 0;
    uint8_t *data = nullptr;
    std::vector<uint8_t> heap;
    int shm_id = -1;
    uintptr_t handle = 0;

    ~D3DStorage() {
        if (shm_id >= 0) shmdt(data);
        if (handle) {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_shared.erase(handle);
        }
    }
};

uint32_t d3d_format_bpp(DXGI_FORMAT format) {
    switch (format) {
        case DXGI_FORMAT_R8_UNORM:
            return 1;
        case DXGI_FORMAT_R8G8_UNORM:
            return 2;
        case DXGI_FORMAT_R10G10B10A2_TYPELESS:
        case DXGI_FORMAT_R10G10B10A2_UNORM:
        case DXGI_FORMAT_R8G8B8A8_TYPELESS:
        case DXGI_FORMAT_R8G8B8A8_UNORM:
        case DXGI_FORMAT_B8G8R8A8_UNORM:
        case DXGI_FORMAT_B8G8R8X8_UNORM:
        case DXGI_FORMAT_B8G8R8A8_TYPELESS:
        case DXGI_FORMAT_B8G8R8X8_TYPELESS:
            return 4;
        default:
            return 0;
    }
}

int64_t d3d_live_objects(void) {
    return g_live.load();
}

D3DObject::D3DObject() {
    g_live++;
}

D3DObject::~D3DObject() {
    g_live--;
}

uint32_t D3DObject::AddRef() {
    return ++refs_;
}

uint32_t D3DObject::Release() {
    uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
}

ID3D11Texture2D::ID3D11Texture2D(const D3D11_TEXTURE2D_DESC &desc, std::shared_ptr<D3DStorage> storage)
    : desc_(desc), storage_(std::move(storage)) {}

ID3D11Texture2D::~ID3D11Texture2D() = default;

uint8_t *ID3D11Texture2D::data() const {
    return storage_->data;
}

uint32_t ID3D11Texture2D::pitch() const {
    return storage_->pitch;
}

int ID3D11Texture2D::shm_id() const {
    return storage_->shm_id;
}

HRESULT ID3D11Texture2D::GetSharedHandle(void **handle) {
    if (!handle || !(desc_.MiscFlags & D3D11_RESOURCE_MISC_SHARED)) return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!storage_->handle) {
        storage_->handle = g_next_handle++;
        g_shared[storage_->handle] = storage_;
    }
    *handle = (void *)storage_->handle;
    return S_OK;
}

ID3D11View::ID3D11View(ID3D11Texture2D *tex, DXGI_FORMAT format) : tex_(tex), format_(format) {
    tex_->AddRef();
}

ID3D11View::~ID3D11View() {
    tex_->Release();
}

uint8_t *ID3D11View::plane(uint32_t *pitch, uint32_t *width, uint32_t *height) const {
    D3D11_TEXTURE2D_DESC d;
    tex_->GetDesc(&d);
    *pitch = tex_->pitch();
    *width = d.Width;
    *height = d.Height;
    if (d.Format == DXGI_FORMAT_NV12 && format_ == DXGI_FORMAT_R8G8_UNORM) {
        *width = d.Width / 2;
        *height = d.Height / 2;
        return tex_->data() + (size_t)tex_->pitch() * d.Height;
    }
    return tex_->data();
}

ID3D11Device::ID3D11Device() : context_(new ID3D11DeviceContext(this)) {
    for (Fault &f : faults_) f = {S_OK, -1};
}

ID3D11Device::~ID3D11Device() {
    context_->Release();
}

HRESULT D3D11CreateDevice(ID3D11Device **out) {
    if (!out) return E_INVALIDARG;
    *out = new ID3D11Device();
    return S_OK;
}

HRESULT ID3D11Device::QueryMultithread(ID3D10Multithread **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (HRESULT hr = injected(D3D_CALL_QUERY_MULTITHREAD)) return hr;
    *out = new ID3D10Multithread(this);
    return S_OK;
}

ID3D10Multithread::ID3D10Multithread(ID3D11Device *device) : device_(device) {
    device_->AddRef();
}

ID3D10Multithread::~ID3D10Multithread() {
    device_->Release();
}

bool ID3D10Multithread::GetMultithreadProtected() const {
    return device_->multithread_.load();
}

bool ID3D10Multithread::SetMultithreadProtected(bool on) {
    if (device_->injected(D3D_CALL_SET_MULTITHREAD)) return device_->multithread_.load();
    return device_->multithread_.exchange(on);
}

void ID3D11Device::fail_call(D3DCall call, HRESULT hr, uint32_t skip) {
    std::lock_guard<std::mutex> lock(g_mutex);
    faults_[call] = {hr, (int64_t)skip};
}

HRESULT ID3D11Device::injected(D3DCall call) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Fault &f = faults_[call];
    if (f.countdown < 0) return S_OK;
    if (f.countdown-- > 0) return S_OK;
    return f.hr;
}

bool ID3D11Device::supports(DXGI_FORMAT format) const {
    if (format == DXGI_FORMAT_NV12) return nv12_;
    return d3d_format_bpp(format) != 0;
}

void ID3D11Device::GetImmediateContext(ID3D11DeviceContext **out) {
    context_->AddRef();
    *out = context_;
}

HRESULT ID3D11Device::CreateTexture2D(const D3D11_TEXTURE2D_DESC *desc, const void *initial,
                                      ID3D11Texture2D **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!desc || desc->Width == 0 || desc->Height == 0 || desc->Width > 16384 || desc->Height > 16384 ||
        !supports(desc->Format))
        return E_INVALIDARG;
    if (desc->Format == DXGI_FORMAT_NV12 && (desc->Width % 2 || desc->Height % 2)) return E_INVALIDARG;
    if (HRESULT hr = injected(D3D_CALL_CREATE_TEXTURE)) return hr;

    auto st = std::make_shared<D3DStorage>();
    st->desc = *desc;
    uint32_t bpp = desc->Format == DXGI_FORMAT_NV12 ? 1 : d3d_format_bpp(desc->Format);
    uint32_t rows = desc->Format == DXGI_FORMAT_NV12 ? desc->Height + desc->Height / 2 : desc->Height;
    uint32_t row = desc->Width * bpp;
    if (desc->MiscFlags & D3D11_RESOURCE_MISC_SYSV_SHM) {
        st->pitch = row;
        st->shm_id = shmget(IPC_PRIVATE, (size_t)row * rows, IPC_CREAT | 0600);
        if (st->shm_id < 0) return E_OUTOFMEMORY;
        void *p = shmat(st->shm_id, nullptr, 0);
        // Marked for removal now: the segment goes with its last attachment.
        shmctl(st->shm_id, IPC_RMID, nullptr);
        if (p == (void *)-1) {
            st->shm_id = -1;
            return E_OUTOFMEMORY;
        }
        st->data = (uint8_t *)p;
    } else {
        st->pitch = (row + pitch_align_ - 1) / pitch_align_ * pitch_align_;
        st->heap.assign((size_t)st->pitch * rows, 0);
        st->data = st->heap.data();
    }
    if (initial)
        for (uint32_t y = 0; y < rows; y++)
            memcpy(st->data + (size_t)y * st->pitch, (const uint8_t *)initial + (size_t)y * row, row);
    *out = new ID3D11Texture2D(*desc, std::move(st));
    return S_OK;
}

HRESULT ID3D11Device::OpenSharedResource(void *handle, ID3D11Texture2D **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (HRESULT hr = injected(D3D_CALL_OPEN_SHARED)) return hr;
    std::shared_ptr<D3DStorage> st;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_shared.find((uintptr_t)handle);
        if (it != g_shared.end()) st = it->second.lock();
    }
    if (!st) return E_INVALIDARG;
    D3D11_TEXTURE2D_DESC desc = st->desc;
    *out = new ID3D11Texture2D(desc, std::move(st));
    return S_OK;
}

static bool view_fits(const D3D11_TEXTURE2D_DESC &d, DXGI_FORMAT format) {
    if (d.Format == DXGI_FORMAT_NV12)
        return format == DXGI_FORMAT_R8_UNORM || format == DXGI_FORMAT_R8G8_UNORM;
    return d3d_format_bpp(format) == d3d_format_bpp(d.Format);
}

HRESULT ID3D11Device::CreateRenderTargetView(ID3D11Texture2D *tex, DXGI_FORMAT format,
                                             ID3D11RenderTargetView **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!tex) return E_INVALIDARG;
    D3D11_TEXTURE2D_DESC d;
    tex->GetDesc(&d);
    if (!(d.BindFlags & D3D11_BIND_RENDER_TARGET) || !view_fits(d, format)) return E_INVALIDARG;
    if (HRESULT hr = injected(D3D_CALL_CREATE_VIEW)) return hr;
    *out = new ID3D11View(tex, format);
    return S_OK;
}

HRESULT ID3D11Device::CreateShaderResourceView(ID3D11Texture2D *tex, DXGI_FORMAT format,
                                               ID3D11ShaderResourceView **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!tex) return E_INVALIDARG;
    D3D11_TEXTURE2D_DESC d;
    tex->GetDesc(&d);
    if (!(d.BindFlags & D3D11_BIND_SHADER_RESOURCE) || !view_fits(d, format)) return E_INVALIDARG;
    if (HRESULT hr = injected(D3D_CALL_CREATE_VIEW)) return hr;
    *out = new ID3D11View(tex, format);
    return S_OK;
}

HRESULT ID3D11Device::CreatePixelShader(D3DPixelPass pass, ID3D11PixelShader **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!pass) return E_INVALIDARG;
    if (HRESULT hr = injected(D3D_CALL_CREATE_SHADER)) return hr;
    *out = new ID3D11PixelShader(pass);
    return S_OK;
}

ID3D11DeviceContext::~ID3D11DeviceContext() {
    d3d_release(&rtv_);
    d3d_release(&ps_);
    d3d_release(&srv_);
}

void ID3D11DeviceContext::CopyResource(ID3D11Texture2D *dst, ID3D11Texture2D *src) {
    if (!dst || !src || dst == src) return;
    D3D11_TEXTURE2D_DESC a, b;
    dst->GetDesc(&a);
    src->GetDesc(&b);
    // As on Windows, mismatched resources are silently not copied.
    if (a.Width != b.Width || a.Height != b.Height || a.Format != b.Format) return;
    uint32_t bpp = a.Format == DXGI_FORMAT_NV12 ? 1 : d3d_format_bpp(a.Format);
    uint32_t rows = a.Format == DXGI_FORMAT_NV12 ? a.Height + a.Height / 2 : a.Height;
    size_t row = (size_t)a.Width * bpp;
    if (dst->data() == src->data()) return;
    for (uint32_t y = 0; y < rows; y++)
        memcpy(dst->data() + (size_t)y * dst->pitch(), src->data() + (size_t)y * src->pitch(), row);
}

HRESULT ID3D11DeviceContext::Map(ID3D11Texture2D *tex, uint32_t subresource, uint32_t type, uint32_t,
                                 D3D11_MAPPED_SUBRESOURCE *out) {
    if (!out) return E_INVALIDARG;
    *out = {};
    if (!tex || subresource != 0) return E_INVALIDARG;
    D3D11_TEXTURE2D_DESC d;
    tex->GetDesc(&d);
    uint32_t need = 0;
    if (type & D3D11_MAP_READ) need |= D3D11_CPU_ACCESS_READ;
    if (type & D3D11_MAP_WRITE) need |= D3D11_CPU_ACCESS_WRITE;
    if (!need || (d.CPUAccessFlags & need) != need) return E_INVALIDARG;
    if (HRESULT hr = device_->injected(D3D_CALL_MAP)) return hr;
    out->pData = tex->data();
    out->RowPitch = tex->pitch();
    out->DepthPitch = tex->pitch() * (d.Format == DXGI_FORMAT_NV12 ? d.Height + d.Height / 2 : d.Height);
    return S_OK;
}

void ID3D11DeviceContext::Unmap(ID3D11Texture2D *, uint32_t) {}

void ID3D11DeviceContext::RSSetViewports(uint32_t n, const D3D11_VIEWPORT *vp) {
    viewports_ = n && vp ? 1 : 0;
    viewport_ = viewports_ ? vp[0] : D3D11_VIEWPORT{};
}

void ID3D11DeviceContext::RSGetViewports(uint32_t *n, D3D11_VIEWPORT *vp) const {
    if (vp && *n && viewports_) vp[0] = viewport_;
    *n = viewports_;
}

template <typename T>
static void rebind(T **slot, T *obj) {
    if (obj) obj->AddRef();
    if (*slot) (*slot)->Release();
    *slot = obj;
}

template <typename T>
static T *get_ref(T *obj) {
    if (obj) obj->AddRef();
    return obj;
}

void ID3D11DeviceContext::OMSetRenderTargets(uint32_t n, ID3D11RenderTargetView *const *views, void *) {
    rebind(&rtv_, n && views ? views[0] : nullptr);
}

void ID3D11DeviceContext::OMGetRenderTargets(uint32_t n, ID3D11RenderTargetView **views, void **depth) const {
    if (n && views) views[0] = get_ref(rtv_);
    if (depth) *depth = nullptr;
}

void ID3D11DeviceContext::PSSetShader(ID3D11PixelShader *shader) {
    rebind(&ps_, shader);
}

void ID3D11DeviceContext::PSGetShader(ID3D11PixelShader **shader) const {
    *shader = get_ref(ps_);
}

void ID3D11DeviceContext::PSSetShaderResources(uint32_t slot, uint32_t n,
                                               ID3D11ShaderResourceView *const *views) {
    if (slot == 0 && n) rebind(&srv_, views ? views[0] : nullptr);
}

void ID3D11DeviceContext::PSGetShaderResources(uint32_t slot, uint32_t n,
                                               ID3D11ShaderResourceView **views) const {
    if (slot == 0 && n && views) views[0] = get_ref(srv_);
}

void ID3D11DeviceContext::DrawIndexed(uint32_t count, uint32_t, int32_t) {
    if (count < 6 || !rtv_ || !ps_ || !srv_ || !viewports_) return;
    uint32_t w = viewport_.Width > 0 ? (uint32_t)viewport_.Width : 0;
    uint32_t h = viewport_.Height > 0 ? (uint32_t)viewport_.Height : 0;
    if (w && h) ps_->pass()(srv_, rtv_, w, h, flip_);
}
