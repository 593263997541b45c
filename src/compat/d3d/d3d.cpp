#include "compat/d3d/d3d.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

std::atomic<int64_t> g_live{0};

// Shared handles: small numbers naming a storage block while any texture
// made shared still holds it.
std::mutex g_mutex;
std::unordered_map<uintptr_t, std::weak_ptr<D3DStorage>> g_shared;
uintptr_t g_next_handle = 0x100;

struct NamedFault {
    HRESULT hr;
    uint32_t countdown;
};
std::map<std::string, NamedFault> g_faults;  // under g_mutex
std::atomic<int> g_armed{0};                 // entries in g_faults

}  // namespace

void d3d_fail(const char *call, HRESULT hr, uint32_t skip) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_faults[call] = {hr, skip};
    g_armed = int(g_faults.size());
}

void d3d_clear_faults(void) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_faults.clear();
    g_armed = 0;
}

HRESULT d3d_fault(const char *call) {
    if (g_armed.load(std::memory_order_relaxed) == 0) return S_OK;
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_faults.find(call);
    if (it == g_faults.end()) return S_OK;
    if (it->second.countdown > 0) {
        it->second.countdown--;
        return S_OK;
    }
    const HRESULT hr = it->second.hr;
    g_faults.erase(it);
    g_armed = int(g_faults.size());
    return hr;
}

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
        case DXGI_FORMAT_R16_UNORM:
        case DXGI_FORMAT_R16_UINT:
        case DXGI_FORMAT_B5G6R5_UNORM:
        case DXGI_FORMAT_B5G5R5A1_UNORM:
            return 2;
        case DXGI_FORMAT_R32G32B32A32_TYPELESS:
        case DXGI_FORMAT_R32G32B32A32_FLOAT:
        case DXGI_FORMAT_R32G32B32A32_UINT:
            return 16;
        case DXGI_FORMAT_R16G16B16A16_TYPELESS:
        case DXGI_FORMAT_R16G16B16A16_FLOAT:
        case DXGI_FORMAT_R16G16B16A16_UNORM:
        case DXGI_FORMAT_R32G32_FLOAT:
            return 8;
        case DXGI_FORMAT_R16G16_UNORM:
        case DXGI_FORMAT_R32_UINT:
        case DXGI_FORMAT_D24_UNORM_S8_UINT:
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

HRESULT ID3D11Resource::QueryInterface(ID3D11Resource **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (HRESULT hr =
            d3d_fault(as_buffer() ? "ID3D11Buffer_QueryInterface" : "ID3D11Texture2D_QueryInterface"))
        return hr;
    AddRef();
    *out = this;
    return S_OK;
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

D3DPlaneView ID3D11View::plane_view() const {
    D3DPlaneView v;
    v.data = plane(&v.pitch, &v.width, &v.height);
    v.format = format_;
    return v;
}

ID3D11Device::ID3D11Device() : context_(new ID3D11DeviceContext(this)) {
    for (Fault &f : faults_) f = {S_OK, -1};
}

ID3D11Device::~ID3D11Device() {
    context_->Release();
}

HRESULT D3D11CreateDevice(ID3D11Device **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (HRESULT hr = d3d_fault("D3D11CreateDevice")) return hr;
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
    if (HRESULT hr = d3d_fault("ID3D11Device_CreateTexture2D")) return hr;

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
    if (HRESULT hr = d3d_fault("ID3D11Device_CreateRenderTargetView")) return hr;
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
    if (HRESULT hr = d3d_fault("ID3D11Device_CreateShaderResourceView")) return hr;
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
    for (auto &v : rtv_more_) d3d_release(&v);
    d3d_release(&dsv_);
    d3d_release(&ps_);
    for (auto &v : srv_) d3d_release(&v);
    d3d_release(&rs_);
    d3d_release(&blend_);
    d3d_release(&ds_);
    d3d_release(&layout_);
    d3d_release(&vb_);
    d3d_release(&ib_);
    d3d_release(&vs_);
    d3d_release(&vs_cb_);
    d3d_release(&ps_cb_);
    d3d_release(&sampler_);
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
    if (type == D3D11_MAP_WRITE_DISCARD) need = D3D11_CPU_ACCESS_WRITE;
    if (type == D3D11_MAP_WRITE_DISCARD && d.Usage != D3D11_USAGE_DYNAMIC) return E_INVALIDARG;
    if (!need || (d.CPUAccessFlags & need) != need) return E_INVALIDARG;
    if (HRESULT hr = device_->injected(D3D_CALL_MAP)) return hr;
    if (HRESULT hr = d3d_fault("ID3D11DeviceContext_Map")) return hr;
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

void ID3D11DeviceContext::OMSetRenderTargets(uint32_t n, ID3D11RenderTargetView *const *views,
                                             ID3D11DepthStencilView *depth) {
    // As on Windows, slots past n are unbound.
    rebind(&rtv_, n && views ? views[0] : nullptr);
    for (uint32_t i = 1; i < D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT; i++)
        rebind(&rtv_more_[i - 1], i < n && views ? views[i] : nullptr);
    rebind(&dsv_, depth);
}

void ID3D11DeviceContext::OMGetRenderTargets(uint32_t n, ID3D11RenderTargetView **views,
                                             ID3D11DepthStencilView **depth) const {
    for (uint32_t i = 0; views && i < n; i++)
        views[i] = i == 0                                       ? get_ref(rtv_)
                   : i < D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT ? get_ref(rtv_more_[i - 1])
                                                                : nullptr;
    if (depth) *depth = get_ref(dsv_);
}

void ID3D11DeviceContext::PSSetShader(ID3D11PixelShader *shader) {
    rebind(&ps_, shader);
}

void ID3D11DeviceContext::PSGetShader(ID3D11PixelShader **shader) const {
    *shader = get_ref(ps_);
}

void ID3D11DeviceContext::PSSetShaderResources(uint32_t slot, uint32_t n,
                                               ID3D11ShaderResourceView *const *views) {
    for (uint32_t i = 0; i < n && slot + i < D3D_SRV_SLOTS; i++)
        rebind(&srv_[slot + i], views ? views[i] : nullptr);
}

void ID3D11DeviceContext::PSGetShaderResources(uint32_t slot, uint32_t n,
                                               ID3D11ShaderResourceView **views) const {
    for (uint32_t i = 0; views && i < n; i++)
        views[i] = slot + i < D3D_SRV_SLOTS ? get_ref(srv_[slot + i]) : nullptr;
}

void ID3D11DeviceContext::DrawIndexed(uint32_t count, uint32_t start, int32_t base) {
    if (vs_) return draw_program(count, start, base);
    if (count < 6 || !rtv_ || !ps_ || !ps_->pass() || !srv_[0] || !viewports_) return;
    // Kept within an int before the conversion; a pass clips to its target.
    auto extent = [](float v) { return v > 0 ? (v < 65536.0f ? uint32_t(v) : 65536u) : 0u; };
    const uint32_t w = extent(viewport_.Width), h = extent(viewport_.Height);
    if (w && h) ps_->pass()(srv_[0], rtv_, w, h, flip_);
}

// ---- Buffers, states, shaders and the programmable draw ----

ID3D11Buffer::ID3D11Buffer(const D3D11_BUFFER_DESC &desc)
    : desc_(desc), bytes_(new uint8_t[desc.ByteWidth]()) {}

HRESULT ID3D11Device::QueryInterface(D3DObject **out) {
    return d3d_query_self(this, out, "ID3D11Device_QueryInterface");
}

HRESULT ID3D11Device::CreateBuffer(const D3D11_BUFFER_DESC *desc, const D3D11_SUBRESOURCE_DATA *initial,
                                   ID3D11Buffer **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!desc || desc->ByteWidth == 0 || desc->ByteWidth > (256u << 20)) return E_INVALIDARG;
    if ((desc->BindFlags & D3D11_BIND_CONSTANT_BUFFER) && desc->ByteWidth % 16) return E_INVALIDARG;
    if (desc->Usage == D3D11_USAGE_DYNAMIC && !(desc->CPUAccessFlags & D3D11_CPU_ACCESS_WRITE))
        return E_INVALIDARG;
    if (HRESULT hr = d3d_fault("ID3D11Device_CreateBuffer")) return hr;
    auto *b = new ID3D11Buffer(*desc);
    if (initial && initial->pSysMem) memcpy(b->bytes_.get(), initial->pSysMem, desc->ByteWidth);
    *out = b;
    return S_OK;
}

bool d3d_shader_blob(const void *code, size_t size, uint32_t stage, D3DShaderBlob *out) {
    if (!code || size < sizeof(D3DShaderBlob)) return false;
    D3DShaderBlob b;
    memcpy(&b, code, sizeof(b));
    if (memcmp(b.magic, "ZSHD", 4) != 0 || b.stage != stage) return false;
    if (stage == 0 ? !b.vs : !b.ps) return false;
    if (out) *out = b;
    return true;
}

HRESULT ID3D11Device::CreateVertexShader(const void *code, size_t size, void *, ID3D11VertexShader **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    D3DShaderBlob b;
    if (!d3d_shader_blob(code, size, 0, &b)) return E_INVALIDARG;
    if (HRESULT hr = d3d_fault("ID3D11Device_CreateVertexShader")) return hr;
    *out = new ID3D11VertexShader(b.vs);
    return S_OK;
}

HRESULT ID3D11Device::CreatePixelShader(const void *code, size_t size, void *, ID3D11PixelShader **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    D3DShaderBlob b;
    if (!d3d_shader_blob(code, size, 1, &b)) return E_INVALIDARG;
    if (HRESULT hr = d3d_fault("ID3D11Device_CreatePixelShader")) return hr;
    *out = new ID3D11PixelShader(b.ps);
    return S_OK;
}

HRESULT ID3D11Device::CreateInputLayout(const D3D11_INPUT_ELEMENT_DESC *elements, uint32_t count,
                                        const void *code, size_t size, ID3D11InputLayout **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!elements || count == 0 || count > 16 || !d3d_shader_blob(code, size, 0, nullptr))
        return E_INVALIDARG;
    uint32_t stride = 0;
    for (uint32_t i = 0; i < count; i++) {
        const uint32_t bpp = d3d_format_bpp(elements[i].Format);
        if (!elements[i].SemanticName || !bpp || elements[i].InputSlot != 0) return E_INVALIDARG;
        stride = std::max(stride, elements[i].AlignedByteOffset + bpp);
    }
    if (HRESULT hr = d3d_fault("ID3D11Device_CreateInputLayout")) return hr;
    *out = new ID3D11InputLayout(count, stride);
    return S_OK;
}

static bool address_ok(uint32_t a) {
    return a >= 1 && a <= 5;
}

HRESULT ID3D11Device::CreateSamplerState(const D3D11_SAMPLER_DESC *desc, ID3D11SamplerState **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!desc || !address_ok(desc->AddressU) || !address_ok(desc->AddressV) || !address_ok(desc->AddressW))
        return E_INVALIDARG;
    if (HRESULT hr = d3d_fault("ID3D11Device_CreateSamplerState")) return hr;
    *out = new ID3D11SamplerState(*desc);
    return S_OK;
}

static bool blend_ok(uint32_t f) {
    return f >= 1 && f <= 17;
}

HRESULT ID3D11Device::CreateBlendState(const D3D11_BLEND_DESC *desc, ID3D11BlendState **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!desc) return E_INVALIDARG;
    const D3D11_RENDER_TARGET_BLEND_DESC &t = desc->RenderTarget[0];
    if (t.BlendEnable && (!blend_ok(t.SrcBlend) || !blend_ok(t.DestBlend) || !blend_ok(t.SrcBlendAlpha) ||
                          !blend_ok(t.DestBlendAlpha) || t.BlendOp != D3D11_BLEND_OP_ADD ||
                          t.BlendOpAlpha != D3D11_BLEND_OP_ADD))
        return E_INVALIDARG;
    if (HRESULT hr = d3d_fault("ID3D11Device_CreateBlendState")) return hr;
    *out = new ID3D11BlendState(*desc);
    return S_OK;
}

HRESULT ID3D11Device::CreateRasterizerState(const D3D11_RASTERIZER_DESC *desc, ID3D11RasterizerState **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!desc || desc->FillMode < 2 || desc->FillMode > 3 || desc->CullMode < 1 || desc->CullMode > 3)
        return E_INVALIDARG;
    if (HRESULT hr = d3d_fault("ID3D11Device_CreateRasterizerState")) return hr;
    *out = new ID3D11RasterizerState(*desc);
    return S_OK;
}

HRESULT ID3D11Device::CreateDepthStencilState(const D3D11_DEPTH_STENCIL_DESC *desc,
                                              ID3D11DepthStencilState **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    // The stand-in has no depth buffer: depth or stencil on cannot be honoured.
    if (!desc || desc->DepthEnable || desc->StencilEnable) return E_INVALIDARG;
    if (HRESULT hr = d3d_fault("ID3D11Device_CreateDepthStencilState")) return hr;
    *out = new ID3D11DepthStencilState(*desc);
    return S_OK;
}

HRESULT ID3D11Device::CreateShaderResourceView(ID3D11Resource *res,
                                               const D3D11_SHADER_RESOURCE_VIEW_DESC *desc,
                                               ID3D11ShaderResourceView **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    ID3D11Texture2D *tex = res ? res->as_texture() : nullptr;
    if (!tex) return E_INVALIDARG;
    D3D11_TEXTURE2D_DESC d;
    tex->GetDesc(&d);
    DXGI_FORMAT format = d.Format;
    if (desc) {
        if (desc->ViewDimension != D3D11_SRV_DIMENSION_TEXTURE2D || desc->Texture2D.MostDetailedMip != 0 ||
            desc->Texture2D.MipLevels != 1)
            return E_INVALIDARG;
        format = desc->Format;
    }
    return CreateShaderResourceView(tex, format, out);
}

HRESULT ID3D11Device::CreateRenderTargetView(ID3D11Resource *res, const void *desc,
                                             ID3D11RenderTargetView **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    ID3D11Texture2D *tex = res ? res->as_texture() : nullptr;
    if (!tex || desc) return E_INVALIDARG;
    D3D11_TEXTURE2D_DESC d;
    tex->GetDesc(&d);
    return CreateRenderTargetView(tex, d.Format, out);
}

HRESULT ID3D11Device::CreateDepthStencilView(ID3D11Resource *res, const void *desc,
                                             ID3D11DepthStencilView **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    ID3D11Texture2D *tex = res ? res->as_texture() : nullptr;
    if (!tex || desc) return E_INVALIDARG;
    D3D11_TEXTURE2D_DESC d;
    tex->GetDesc(&d);
    if (!(d.BindFlags & D3D11_BIND_DEPTH_STENCIL)) return E_INVALIDARG;
    if (HRESULT hr = injected(D3D_CALL_CREATE_VIEW)) return hr;
    if (HRESULT hr = d3d_fault("ID3D11Device_CreateDepthStencilView")) return hr;
    *out = new ID3D11View(tex, d.Format);
    return S_OK;
}

HRESULT ID3D11DeviceContext::Map(ID3D11Resource *res, uint32_t subresource, uint32_t type, uint32_t flags,
                                 D3D11_MAPPED_SUBRESOURCE *out) {
    if (!out) return E_INVALIDARG;
    *out = {};
    if (!res) return E_INVALIDARG;
    if (ID3D11Texture2D *t = res->as_texture()) return Map(t, subresource, type, flags, out);
    ID3D11Buffer *b = res->as_buffer();
    if (!b || subresource != 0 || type != D3D11_MAP_WRITE_DISCARD || b->desc_.Usage != D3D11_USAGE_DYNAMIC)
        return E_INVALIDARG;
    if (HRESULT hr = d3d_fault("ID3D11DeviceContext_Map")) return hr;
    b->maps_++;
    buffer_maps_++;
    out->pData = b->bytes_.get();
    out->RowPitch = out->DepthPitch = b->desc_.ByteWidth;
    return S_OK;
}

void ID3D11DeviceContext::Unmap(ID3D11Resource *res, uint32_t subresource) {
    if (res && res->as_texture()) Unmap(res->as_texture(), subresource);
}

static D3DRasterTarget target_of(ID3D11View *v) {
    D3DRasterTarget t;
    t.data = v->plane(&t.pitch, &t.width, &t.height);
    t.bgra = v->format() != DXGI_FORMAT_R8G8B8A8_UNORM;
    return t;
}

void ID3D11DeviceContext::ClearRenderTargetView(ID3D11RenderTargetView *view, const float rgba[4]) {
    if (!view || !rgba || d3d_format_bpp(view->format()) != 4) return;
    d3d_raster_clear(target_of(view), rgba);
}

void ID3D11DeviceContext::RSSetScissorRects(uint32_t n, const D3D11_RECT *rects) {
    scissors_ = n && rects ? 1 : 0;
    scissor_ = scissors_ ? rects[0] : D3D11_RECT{};
}

void ID3D11DeviceContext::RSSetState(ID3D11RasterizerState *state) {
    rebind(&rs_, state);
}

void ID3D11DeviceContext::OMSetBlendState(ID3D11BlendState *state, const float *, uint32_t) {
    rebind(&blend_, state);
}

void ID3D11DeviceContext::OMGetBlendState(ID3D11BlendState **state) const {
    *state = get_ref(blend_);
}

void ID3D11DeviceContext::OMSetDepthStencilState(ID3D11DepthStencilState *state, uint32_t) {
    rebind(&ds_, state);
}

void ID3D11DeviceContext::IASetInputLayout(ID3D11InputLayout *layout) {
    rebind(&layout_, layout);
}

void ID3D11DeviceContext::IASetVertexBuffers(uint32_t slot, uint32_t n, ID3D11Buffer *const *buffers,
                                             const uint32_t *strides, const uint32_t *offsets) {
    if (slot != 0 || n == 0) return;
    rebind(&vb_, buffers ? buffers[0] : nullptr);
    vb_stride_ = strides ? strides[0] : 0;
    vb_offset_ = offsets ? offsets[0] : 0;
}

void ID3D11DeviceContext::IAGetVertexBuffers(uint32_t slot, uint32_t n, ID3D11Buffer **buffers,
                                             uint32_t *strides, uint32_t *offsets) const {
    if (slot != 0 || n == 0) return;
    if (buffers) buffers[0] = get_ref(vb_);
    if (strides) strides[0] = vb_stride_;
    if (offsets) offsets[0] = vb_offset_;
}

void ID3D11DeviceContext::IAGetIndexBuffer(ID3D11Buffer **buffer, DXGI_FORMAT *format,
                                           uint32_t *offset) const {
    if (buffer) *buffer = get_ref(ib_);
    if (format) *format = ib_format_;
    if (offset) *offset = ib_offset_;
}

void ID3D11DeviceContext::RSGetScissorRects(uint32_t *n, D3D11_RECT *rects) const {
    if (rects && *n && scissors_) rects[0] = scissor_;
    *n = scissors_;
}

void ID3D11DeviceContext::IASetIndexBuffer(ID3D11Buffer *buffer, DXGI_FORMAT format, uint32_t offset) {
    rebind(&ib_, buffer);
    ib_format_ = format;
    ib_offset_ = offset;
}

void ID3D11DeviceContext::IASetPrimitiveTopology(uint32_t topology) {
    topology_ = topology;
}

void ID3D11DeviceContext::VSSetShader(ID3D11VertexShader *shader, void *const *, uint32_t) {
    rebind(&vs_, shader);
}

void ID3D11DeviceContext::VSSetConstantBuffers(uint32_t slot, uint32_t n, ID3D11Buffer *const *buffers) {
    if (slot == 0 && n) rebind(&vs_cb_, buffers ? buffers[0] : nullptr);
}

void ID3D11DeviceContext::PSSetConstantBuffers(uint32_t slot, uint32_t n, ID3D11Buffer *const *buffers) {
    if (slot == 0 && n) rebind(&ps_cb_, buffers ? buffers[0] : nullptr);
}

void ID3D11DeviceContext::PSSetSamplers(uint32_t slot, uint32_t n, ID3D11SamplerState *const *samplers) {
    if (slot == 0 && n) rebind(&sampler_, samplers ? samplers[0] : nullptr);
}

// A draw with missing pieces draws nothing, as a debug runtime would warn and
// the hardware would skip it; indices outside the buffers are never read.
void ID3D11DeviceContext::draw_program(uint32_t count, uint32_t start, int32_t base) {
    if (!rtv_ || !ps_ || !ps_->fn() || !vs_ || !layout_ || !vb_ || !ib_ || !viewports_ ||
        topology_ != D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST || d3d_format_bpp(rtv_->format()) != 4)
        return;
    const bool idx32 = ib_format_ == DXGI_FORMAT_R32_UINT;
    if (!idx32 && ib_format_ != DXGI_FORMAT_R16_UINT) return;
    const uint64_t isz = idx32 ? 4 : 2;
    if (ib_offset_ + (uint64_t(start) + count) * isz > ib_->desc_.ByteWidth) return;
    if (vb_offset_ > vb_->desc_.ByteWidth || vb_stride_ == 0) return;
    D3DPlaneView planes[D3D_SRV_SLOTS];
    D3DBindings b{};
    for (uint32_t i = 0; i < D3D_SRV_SLOTS; i++)
        if (srv_[i]) {
            planes[i] = srv_[i]->plane_view();
            b.srv[i] = &planes[i];
        }
    if (sampler_)
        b.sampler = sampler_->desc();
    else {
        b.sampler = {};
        b.sampler.AddressU = b.sampler.AddressV = b.sampler.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
    }
    if (vs_cb_) {
        b.vs_cb = vs_cb_->data();
        b.vs_cb_size = vs_cb_->desc_.ByteWidth;
    }
    if (ps_cb_) {
        b.ps_cb = ps_cb_->data();
        b.ps_cb_size = ps_cb_->desc_.ByteWidth;
    }
    D3DRasterState st{};
    st.vp_x = viewport_.TopLeftX;
    st.vp_y = viewport_.TopLeftY;
    st.vp_w = viewport_.Width;
    st.vp_h = viewport_.Height;
    // Without a rasteriser state: solid, cull back, no scissor.
    st.cull = rs_ ? rs_->desc().CullMode : D3D11_CULL_BACK;
    st.front_ccw = rs_ && rs_->desc().FrontCounterClockwise;
    st.scissor_on = rs_ && rs_->desc().ScissorEnable;
    st.scissor = scissors_ ? scissor_ : D3D11_RECT{};
    st.blend_on = blend_ && blend_->desc().RenderTarget[0].BlendEnable;
    if (blend_)
        st.blend = blend_->desc().RenderTarget[0];
    else
        st.blend.RenderTargetWriteMask = D3D11_COLOR_WRITE_ENABLE_ALL;
    st.fast_path = device_->fast_path();
    draws_++;
    d3d_raster_draw(target_of(rtv_), st, b, vs_->fn(), ps_->fn(), vb_->data() + vb_offset_, vb_stride_,
                    vb_->desc_.ByteWidth - vb_offset_, ib_->data() + ib_offset_ + start * isz, idx32, count,
                    base);
}
