// Stands in for the Direct3D 11 and DXGI calls the host and the window
// renderers make: reference-counted device, immediate context whose pipeline
// state persists between draws, 2D textures (the plane formats of the colour
// table, BGRA, NV12) and buffers in CPU memory, views, samplers, blend,
// rasteriser and depth states, input layouts, shaders that are C++ functions
// behind a small tagged "bytecode" blob, a CPU rasteriser (a plain triangle
// path and a fast path for axis-aligned quads), CopyResource, Map/Unmap with a
// row pitch, shared handles (a second texture object over the same storage),
// and the legacy full-target pixel passes of the converter. The DXGI part
// (factory, adapter, output, flip swap chain over a real X window) is in
// dxgi.h. Tests can set the row-pitch alignment, make any call fail with any
// result, and read the number of live objects.
//
// Threading: objects are reference counted with atomics and may be released
// from any thread; a device and its context are used by one thread at a time,
// as on Windows. The shared-handle table and the failure switches are guarded
// by one mutex (an atomic count of armed named faults lets calls skip it);
// the device's multithread-protection flag is atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "compat/d3d/d3d_pipe.h"

typedef int32_t HRESULT;

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_FAIL ((HRESULT)0x80004005u)
#define E_INVALIDARG ((HRESULT)0x80070057u)
#define E_OUTOFMEMORY ((HRESULT)0x8007000Eu)
#define E_NOINTERFACE ((HRESULT)0x80004002u)
#define DXGI_ERROR_INVALID_CALL ((HRESULT)0x887A0001u)
#define DXGI_ERROR_NOT_FOUND ((HRESULT)0x887A0002u)
#define DXGI_ERROR_UNSUPPORTED ((HRESULT)0x887A0004u)
#define DXGI_ERROR_DEVICE_REMOVED ((HRESULT)0x887A0005u)
#define DXGI_ERROR_DEVICE_HUNG ((HRESULT)0x887A0006u)
#define DXGI_ERROR_DEVICE_RESET ((HRESULT)0x887A0007u)

enum DXGI_FORMAT : uint32_t {
    DXGI_FORMAT_UNKNOWN = 0,
    DXGI_FORMAT_R32G32B32A32_TYPELESS = 1,
    DXGI_FORMAT_R32G32B32A32_FLOAT = 2,
    DXGI_FORMAT_R32G32B32A32_UINT = 3,
    DXGI_FORMAT_R16G16B16A16_TYPELESS = 9,
    DXGI_FORMAT_R16G16B16A16_FLOAT = 10,
    DXGI_FORMAT_R16G16B16A16_UNORM = 11,
    DXGI_FORMAT_R32G32_FLOAT = 16,
    DXGI_FORMAT_R16G16_UNORM = 35,
    DXGI_FORMAT_R32_UINT = 42,
    DXGI_FORMAT_D24_UNORM_S8_UINT = 45,
    DXGI_FORMAT_R16_UNORM = 56,
    DXGI_FORMAT_R16_UINT = 57,
    DXGI_FORMAT_R10G10B10A2_TYPELESS = 23,
    DXGI_FORMAT_R10G10B10A2_UNORM = 24,
    DXGI_FORMAT_R8G8B8A8_TYPELESS = 27,
    DXGI_FORMAT_R8G8B8A8_UNORM = 28,
    DXGI_FORMAT_R8G8_UNORM = 49,
    DXGI_FORMAT_R8_UNORM = 61,
    DXGI_FORMAT_B5G6R5_UNORM = 85,
    DXGI_FORMAT_B5G5R5A1_UNORM = 86,
    DXGI_FORMAT_B8G8R8A8_UNORM = 87,
    DXGI_FORMAT_B8G8R8X8_UNORM = 88,
    DXGI_FORMAT_B8G8R8A8_TYPELESS = 90,
    DXGI_FORMAT_B8G8R8X8_TYPELESS = 92,
    DXGI_FORMAT_NV12 = 103,
};

#define D3D11_USAGE_DEFAULT 0u
#define D3D11_USAGE_DYNAMIC 2u
#define D3D11_USAGE_STAGING 3u
#define D3D11_BIND_VERTEX_BUFFER 0x1u
#define D3D11_BIND_INDEX_BUFFER 0x2u
#define D3D11_BIND_CONSTANT_BUFFER 0x4u
#define D3D11_BIND_SHADER_RESOURCE 0x8u
#define D3D11_BIND_RENDER_TARGET 0x20u
#define D3D11_BIND_DEPTH_STENCIL 0x40u
#define D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT 8u
#define D3D_FEATURE_LEVEL_10_1 0xa100u
#define D3D_FEATURE_LEVEL_11_0 0xb000u
#define D3D_FEATURE_LEVEL_11_1 0xb100u
#define D3D11_CPU_ACCESS_WRITE 0x10000u
#define D3D11_CPU_ACCESS_READ 0x20000u
#define D3D11_RESOURCE_MISC_SHARED 0x2u
// Storage in a System V shared memory segment with a tight row pitch, so an
// X server can write captured pixels straight into the texture.
#define D3D11_RESOURCE_MISC_SYSV_SHM 0x40000000u

#define D3D11_MAP_READ 1u
#define D3D11_MAP_WRITE 2u
#define D3D11_MAP_READ_WRITE 3u
#define D3D11_MAP_WRITE_DISCARD 4u

struct DXGI_SAMPLE_DESC {
    uint32_t Count;
    uint32_t Quality;
};

struct D3D11_TEXTURE2D_DESC {
    uint32_t Width;
    uint32_t Height;
    uint32_t MipLevels;
    uint32_t ArraySize;
    DXGI_FORMAT Format;
    DXGI_SAMPLE_DESC SampleDesc;
    uint32_t Usage;
    uint32_t BindFlags;
    uint32_t CPUAccessFlags;
    uint32_t MiscFlags;
};

struct D3D11_MAPPED_SUBRESOURCE {
    void *pData;
    uint32_t RowPitch;
    uint32_t DepthPitch;
};

struct D3D11_VIEWPORT {
    float TopLeftX, TopLeftY, Width, Height, MinDepth, MaxDepth;
};

class D3DObject {
   public:
    uint32_t AddRef();
    uint32_t Release();  // returns the remaining count; 0 destroys
    uint32_t refs() const { return refs_.load(); }

   protected:
    D3DObject();
    virtual ~D3DObject();

   private:
    std::atomic<uint32_t> refs_{1};
};

struct D3DStorage;
class ID3D11Device;
class ID3D11Texture2D;
class ID3D11Buffer;

// What textures and buffers have in common; "query as ID3D11Resource" adds a
// reference to the same object.
class ID3D11Resource : public D3DObject {
   public:
    virtual ID3D11Texture2D *as_texture() { return nullptr; }
    virtual ID3D11Buffer *as_buffer() { return nullptr; }
    HRESULT QueryInterface(ID3D11Resource **out);
};

class ID3D11Texture2D : public ID3D11Resource {
   public:
    ID3D11Texture2D *as_texture() override { return this; }
    void GetDesc(D3D11_TEXTURE2D_DESC *desc) const { *desc = desc_; }
    // IDXGIResource::GetSharedHandle; only for textures made shared.
    HRESULT GetSharedHandle(void **handle);

    // CPU access for the stand-in's own users (capture, converter).
    uint8_t *data() const;
    uint32_t pitch() const;
    int shm_id() const;  // -1 unless made with D3D11_RESOURCE_MISC_SYSV_SHM

   private:
    friend class ID3D11Device;
    friend class ID3D11DeviceContext;
    ID3D11Texture2D(const D3D11_TEXTURE2D_DESC &desc, std::shared_ptr<D3DStorage> storage);
    ~ID3D11Texture2D() override;
    D3D11_TEXTURE2D_DESC desc_;
    std::shared_ptr<D3DStorage> storage_;
};

// One sampled plane as the shaders see it.
struct D3DPlaneView {
    const uint8_t *data;
    uint32_t pitch, width, height;
    DXGI_FORMAT format;
};

// A view picks a plane of a texture: R8 is the luma plane of NV12, R8G8 its
// interleaved chroma plane; any other format is the whole texture.
class ID3D11View : public D3DObject {
   public:
    ID3D11Texture2D *texture() const { return tex_; }
    DXGI_FORMAT format() const { return format_; }
    // Plane geometry.
    uint8_t *plane(uint32_t *pitch, uint32_t *width, uint32_t *height) const;
    D3DPlaneView plane_view() const;

   private:
    friend class ID3D11Device;
    ID3D11View(ID3D11Texture2D *tex, DXGI_FORMAT format);
    ~ID3D11View() override;
    ID3D11Texture2D *tex_;
    DXGI_FORMAT format_;
};
typedef ID3D11View ID3D11RenderTargetView;
typedef ID3D11View ID3D11ShaderResourceView;
typedef ID3D11View ID3D11DepthStencilView;  // only bound and unbound; nothing tests depth

// One full-target pass: reads the source view, writes the target view. The
// viewport size is the source extent the quad covers (the target may be
// smaller; what falls outside it is clipped). flip comes from the vertex data.
typedef void (*D3DPixelPass)(const ID3D11View *source, const ID3D11View *target, uint32_t viewport_w,
                             uint32_t viewport_h, bool flip);

class ID3D11PixelShader : public D3DObject {
   public:
    D3DPixelPass pass() const { return pass_; }
    D3DPixelFn fn() const { return fn_; }

   private:
    friend class ID3D11Device;
    explicit ID3D11PixelShader(D3DPixelPass pass) : pass_(pass) {}
    explicit ID3D11PixelShader(D3DPixelFn fn) : pass_(nullptr), fn_(fn) {}
    D3DPixelPass pass_;
    D3DPixelFn fn_ = nullptr;
};

class ID3D11VertexShader : public D3DObject {
   public:
    D3DVertexFn fn() const { return fn_; }

   private:
    friend class ID3D11Device;
    explicit ID3D11VertexShader(D3DVertexFn fn) : fn_(fn) {}
    D3DVertexFn fn_;
};

struct D3D11_BUFFER_DESC {
    uint32_t ByteWidth;
    uint32_t Usage;
    uint32_t BindFlags;
    uint32_t CPUAccessFlags;
    uint32_t MiscFlags;
    uint32_t StructureByteStride;
};

struct D3D11_SUBRESOURCE_DATA {
    const void *pSysMem;
    uint32_t SysMemPitch;
    uint32_t SysMemSlicePitch;
};

class ID3D11Buffer : public ID3D11Resource {
   public:
    ID3D11Buffer *as_buffer() override { return this; }
    void GetDesc(D3D11_BUFFER_DESC *desc) const { *desc = desc_; }
    const uint8_t *data() const { return bytes_.get(); }
    // Maps so far (tests count the writes of constant blocks).
    uint64_t maps() const { return maps_; }

   private:
    friend class ID3D11Device;
    friend class ID3D11DeviceContext;
    explicit ID3D11Buffer(const D3D11_BUFFER_DESC &desc);
    D3D11_BUFFER_DESC desc_;
    std::unique_ptr<uint8_t[]> bytes_;
    uint64_t maps_ = 0;
};

struct D3D11_INPUT_ELEMENT_DESC {
    const char *SemanticName;
    uint32_t SemanticIndex;
    DXGI_FORMAT Format;
    uint32_t InputSlot;
    uint32_t AlignedByteOffset;
    uint32_t InputSlotClass;
    uint32_t InstanceDataStepRate;
};

class ID3D11InputLayout : public D3DObject {
   public:
    uint32_t elements() const { return count_; }
    uint32_t stride() const { return stride_; }

   private:
    friend class ID3D11Device;
    ID3D11InputLayout(uint32_t count, uint32_t stride) : count_(count), stride_(stride) {}
    uint32_t count_, stride_;
};

// State objects keep their description.
template <typename Desc>
class D3DState : public D3DObject {
   public:
    void GetDesc(Desc *desc) const { *desc = desc_; }
    const Desc &desc() const { return desc_; }

   private:
    friend class ID3D11Device;
    explicit D3DState(const Desc &desc) : desc_(desc) {}
    Desc desc_;
};
typedef D3DState<D3D11_SAMPLER_DESC> ID3D11SamplerState;
typedef D3DState<D3D11_BLEND_DESC> ID3D11BlendState;
typedef D3DState<D3D11_RASTERIZER_DESC> ID3D11RasterizerState;
typedef D3DState<D3D11_DEPTH_STENCIL_DESC> ID3D11DepthStencilState;

struct D3D11_TEX2D_SRV {
    uint32_t MostDetailedMip;
    uint32_t MipLevels;
};
#define D3D11_SRV_DIMENSION_TEXTURE2D 4u
struct D3D11_SHADER_RESOURCE_VIEW_DESC {
    DXGI_FORMAT Format;
    uint32_t ViewDimension;
    D3D11_TEX2D_SRV Texture2D;
};

// The calls that tests can make fail.
enum D3DCall : uint32_t {
    D3D_CALL_CREATE_TEXTURE = 0,
    D3D_CALL_CREATE_VIEW,
    D3D_CALL_CREATE_SHADER,
    D3D_CALL_OPEN_SHARED,
    D3D_CALL_MAP,
    D3D_CALL_QUERY_MULTITHREAD,
    D3D_CALL_SET_MULTITHREAD,  // the switch does not take
    D3D_CALL_COUNT,
};

// Named faults for every other call, by "Interface_Method" as the stand-in's
// classes name them (e.g. "ID3D11Device_CreateBuffer",
// "IDXGISwapChain_Present"): the call answers hr on its (skip + 1)-th use from
// now on, then works again. Process-wide, for the tests.
void d3d_fail(const char *call, HRESULT hr, uint32_t skip = 0);
void d3d_clear_faults(void);
HRESULT d3d_fault(const char *call);

// An object's QueryInterface for a face it always has: *out is the object
// itself with one more reference, unless an injected fault answers first.
template <typename T, typename Self>
HRESULT d3d_query_self(Self *self, T **out, const char *call) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (HRESULT hr = d3d_fault(call)) return hr;
    self->AddRef();
    *out = self;
    return S_OK;
}

class ID3D11DeviceContext;
class ID3D11Device;

// The device's ID3D10Multithread face: whether its calls are serialised for
// runtimes that use it from their own threads. Holds a device reference.
class ID3D10Multithread : public D3DObject {
   public:
    bool GetMultithreadProtected() const;
    bool SetMultithreadProtected(bool on);  // the previous state

   private:
    friend class ID3D11Device;
    explicit ID3D10Multithread(ID3D11Device *device);
    ~ID3D10Multithread() override;
    ID3D11Device *device_;
};

class ID3D11Device : public D3DObject {
   public:
    HRESULT CreateTexture2D(const D3D11_TEXTURE2D_DESC *desc, const void *initial, ID3D11Texture2D **out);
    HRESULT CreateRenderTargetView(ID3D11Texture2D *tex, DXGI_FORMAT format, ID3D11RenderTargetView **out);
    HRESULT CreateShaderResourceView(ID3D11Texture2D *tex, DXGI_FORMAT format,
                                     ID3D11ShaderResourceView **out);
    HRESULT CreatePixelShader(D3DPixelPass pass, ID3D11PixelShader **out);
    // Shaders from the stand-in's tagged blobs (d3d_pipe.h).
    HRESULT CreatePixelShader(const void *code, size_t size, void *linkage, ID3D11PixelShader **out);
    HRESULT CreateVertexShader(const void *code, size_t size, void *linkage, ID3D11VertexShader **out);
    HRESULT CreateBuffer(const D3D11_BUFFER_DESC *desc, const D3D11_SUBRESOURCE_DATA *initial,
                         ID3D11Buffer **out);
    HRESULT CreateInputLayout(const D3D11_INPUT_ELEMENT_DESC *elements, uint32_t count, const void *code,
                              size_t size, ID3D11InputLayout **out);
    HRESULT CreateSamplerState(const D3D11_SAMPLER_DESC *desc, ID3D11SamplerState **out);
    HRESULT CreateBlendState(const D3D11_BLEND_DESC *desc, ID3D11BlendState **out);
    HRESULT CreateRasterizerState(const D3D11_RASTERIZER_DESC *desc, ID3D11RasterizerState **out);
    HRESULT CreateDepthStencilState(const D3D11_DEPTH_STENCIL_DESC *desc, ID3D11DepthStencilState **out);
    // With a description (2D, one level) or none (the texture's own format).
    HRESULT CreateShaderResourceView(ID3D11Resource *res, const D3D11_SHADER_RESOURCE_VIEW_DESC *desc,
                                     ID3D11ShaderResourceView **out);
    HRESULT CreateRenderTargetView(ID3D11Resource *res, const void *desc, ID3D11RenderTargetView **out);
    HRESULT CreateDepthStencilView(ID3D11Resource *res, const void *desc, ID3D11DepthStencilView **out);
    uint32_t GetFeatureLevel() const { return feature_level_; }
    // QueryInterface for IUnknown (adds a reference to the device itself).
    HRESULT QueryInterface(D3DObject **out);
    HRESULT OpenSharedResource(void *handle, ID3D11Texture2D **out);
    void GetImmediateContext(ID3D11DeviceContext **out);
    // QueryInterface for ID3D10Multithread.
    HRESULT QueryMultithread(ID3D10Multithread **out);
    // Whether textures of the format can be made (NV12 can be switched off).
    bool supports(DXGI_FORMAT format) const;

    // Whether draws may take the rasteriser's quad fast path (on by default).
    void set_fast_path(bool on) { fast_path_ = on; }
    bool fast_path() const { return fast_path_; }

    // Test switches.
    void set_pitch_alignment(uint32_t bytes) { pitch_align_ = bytes ? bytes : 1; }
    void set_nv12(bool on) { nv12_ = on; }
    void set_feature_level(uint32_t level) { feature_level_ = level; }
    // The device stands for one made through the Direct3D 10 runtime: its
    // swap chains answer GetDevice for ID3D10Device.
    void set_d3d10(bool on) { d3d10_ = on; }
    bool d3d10() const { return d3d10_; }
    // The call fails with hr on its (skip + 1)-th use from now on.
    void fail_call(D3DCall call, HRESULT hr, uint32_t skip = 0);
    HRESULT injected(D3DCall call);

   private:
    friend HRESULT D3D11CreateDevice(ID3D11Device **out);
    friend class ID3D10Multithread;
    ID3D11Device();
    ~ID3D11Device() override;
    ID3D11DeviceContext *context_;
    uint32_t pitch_align_ = 16;
    bool nv12_ = true;
    bool fast_path_ = true;
    bool d3d10_ = false;
    uint32_t feature_level_ = D3D_FEATURE_LEVEL_11_0;
    std::atomic<bool> multithread_{false};
    struct Fault {
        HRESULT hr;
        int64_t countdown;  // -1: off
    } faults_[D3D_CALL_COUNT];
};

// Pipeline items the stand-in's draws use; getters add a reference.
class ID3D11DeviceContext : public D3DObject {
   public:
    void CopyResource(ID3D11Texture2D *dst, ID3D11Texture2D *src);
    HRESULT Map(ID3D11Texture2D *tex, uint32_t subresource, uint32_t type, uint32_t flags,
                D3D11_MAPPED_SUBRESOURCE *out);
    void Unmap(ID3D11Texture2D *tex, uint32_t subresource);
    HRESULT Map(ID3D11Resource *res, uint32_t subresource, uint32_t type, uint32_t flags,
                D3D11_MAPPED_SUBRESOURCE *out);
    void Unmap(ID3D11Resource *res, uint32_t subresource);
    void Flush() {}

    void ClearRenderTargetView(ID3D11RenderTargetView *view, const float rgba[4]);
    void RSSetScissorRects(uint32_t n, const D3D11_RECT *rects);
    void RSSetState(ID3D11RasterizerState *state);
    void OMSetBlendState(ID3D11BlendState *state, const float factor[4], uint32_t mask);
    void OMGetBlendState(ID3D11BlendState **state) const;
    void OMSetDepthStencilState(ID3D11DepthStencilState *state, uint32_t ref);
    void IASetInputLayout(ID3D11InputLayout *layout);
    void IASetVertexBuffers(uint32_t slot, uint32_t n, ID3D11Buffer *const *buffers, const uint32_t *strides,
                            const uint32_t *offsets);
    void IASetIndexBuffer(ID3D11Buffer *buffer, DXGI_FORMAT format, uint32_t offset);
    void IASetPrimitiveTopology(uint32_t topology);
    void VSSetShader(ID3D11VertexShader *shader, void *const *instances, uint32_t n);
    void VSSetConstantBuffers(uint32_t slot, uint32_t n, ID3D11Buffer *const *buffers);
    void PSSetShader(ID3D11PixelShader *shader, void *const *, uint32_t) { PSSetShader(shader); }
    void PSSetConstantBuffers(uint32_t slot, uint32_t n, ID3D11Buffer *const *buffers);
    void PSSetSamplers(uint32_t slot, uint32_t n, ID3D11SamplerState *const *samplers);
    void IAGetVertexBuffers(uint32_t slot, uint32_t n, ID3D11Buffer **buffers, uint32_t *strides,
                            uint32_t *offsets) const;
    void IAGetIndexBuffer(ID3D11Buffer **buffer, DXGI_FORMAT *format, uint32_t *offset) const;
    void RSGetScissorRects(uint32_t *n, D3D11_RECT *rects) const;
    // Draws made so far through the rasteriser, and Maps of buffers (tests).
    uint64_t draws() const { return draws_; }
    uint64_t buffer_maps() const { return buffer_maps_; }

    void RSSetViewports(uint32_t n, const D3D11_VIEWPORT *vp);
    void RSGetViewports(uint32_t *n, D3D11_VIEWPORT *vp) const;
    // Up to eight render targets (draws use slot 0) and a depth-stencil view.
    void OMSetRenderTargets(uint32_t n, ID3D11RenderTargetView *const *views, ID3D11DepthStencilView *depth);
    void OMGetRenderTargets(uint32_t n, ID3D11RenderTargetView **views, ID3D11DepthStencilView **depth) const;
    void PSSetShader(ID3D11PixelShader *shader);
    void PSGetShader(ID3D11PixelShader **shader) const;
    void PSSetShaderResources(uint32_t slot, uint32_t n, ID3D11ShaderResourceView *const *views);
    void PSGetShaderResources(uint32_t slot, uint32_t n, ID3D11ShaderResourceView **views) const;
    // The vertex colour of the stand-in's quad (the flip flag).
    void IASetQuadFlip(bool flip) { flip_ = flip; }
    bool IAGetQuadFlip() const { return flip_; }
    // Draws the full-target quad (6 indices) with the bound pass.
    void DrawIndexed(uint32_t count, uint32_t start, int32_t base);

   private:
    friend class ID3D11Device;
    explicit ID3D11DeviceContext(ID3D11Device *device) : device_(device) {}
    ~ID3D11DeviceContext() override;
    void draw_program(uint32_t count, uint32_t start, int32_t base);
    ID3D11Device *device_;  // owner; not referenced
    D3D11_VIEWPORT viewport_{};
    uint32_t viewports_ = 0;
    ID3D11RenderTargetView *rtv_ = nullptr;
    ID3D11RenderTargetView *rtv_more_[D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT - 1] = {};  // slots 1..7
    ID3D11DepthStencilView *dsv_ = nullptr;
    ID3D11PixelShader *ps_ = nullptr;
    ID3D11ShaderResourceView *srv_[D3D_SRV_SLOTS] = {};
    bool flip_ = false;
    D3D11_RECT scissor_{};
    uint32_t scissors_ = 0;
    ID3D11RasterizerState *rs_ = nullptr;
    ID3D11BlendState *blend_ = nullptr;
    ID3D11DepthStencilState *ds_ = nullptr;
    ID3D11InputLayout *layout_ = nullptr;
    ID3D11Buffer *vb_ = nullptr;
    uint32_t vb_stride_ = 0, vb_offset_ = 0;
    ID3D11Buffer *ib_ = nullptr;
    DXGI_FORMAT ib_format_ = DXGI_FORMAT_UNKNOWN;
    uint32_t ib_offset_ = 0;
    uint32_t topology_ = 0;
    ID3D11VertexShader *vs_ = nullptr;
    ID3D11Buffer *vs_cb_ = nullptr;
    ID3D11Buffer *ps_cb_ = nullptr;
    ID3D11SamplerState *sampler_ = nullptr;
    uint64_t draws_ = 0;
    uint64_t buffer_maps_ = 0;
};

HRESULT D3D11CreateDevice(ID3D11Device **out);

// Objects alive in the process (tests check that everything was released).
int64_t d3d_live_objects(void);

// Bytes per pixel of a single-plane format, 0 for NV12 and unknown formats.
uint32_t d3d_format_bpp(DXGI_FORMAT format);

template <typename T>
inline void d3d_release(T **obj) {
    if (*obj) (*obj)->Release();
    *obj = nullptr;
}
