// Stands in for the Direct3D 11 and DXGI calls the host makes: reference-
// counted device, immediate context, 2D textures (BGRA, RGBA, RGBA10, R8,
// R8G8, NV12) in CPU memory, render-target and shader-resource views, pixel
// "shaders" that are C++ passes over a full-target quad, CopyResource,
// Map/Unmap with a row pitch, shared handles (a second texture object over the
// same storage) and the few pipeline items the converter saves and restores.
// Tests can set the row-pitch alignment, make a chosen call fail, and read
// the number of live objects.
//
// Threading: objects are reference counted with atomics and may be released
// from any thread; a device and its context are used by one thread at a time,
// as on Windows. The shared-handle table and the failure switches are guarded
// by one mutex; the device's multithread-protection flag is atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

typedef int32_t HRESULT;

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_FAIL ((HRESULT)0x80004005u)
#define E_INVALIDARG ((HRESULT)0x80070057u)
#define E_OUTOFMEMORY ((HRESULT)0x8007000Eu)
#define DXGI_ERROR_INVALID_CALL ((HRESULT)0x887A0001u)
#define DXGI_ERROR_NOT_FOUND ((HRESULT)0x887A0002u)
#define DXGI_ERROR_UNSUPPORTED ((HRESULT)0x887A0004u)

enum DXGI_FORMAT : uint32_t {
    DXGI_FORMAT_UNKNOWN = 0,
    DXGI_FORMAT_R10G10B10A2_TYPELESS = 23,
    DXGI_FORMAT_R10G10B10A2_UNORM = 24,
    DXGI_FORMAT_R8G8B8A8_TYPELESS = 27,
    DXGI_FORMAT_R8G8B8A8_UNORM = 28,
    DXGI_FORMAT_R8G8_UNORM = 49,
    DXGI_FORMAT_R8_UNORM = 61,
    DXGI_FORMAT_B8G8R8A8_UNORM = 87,
    DXGI_FORMAT_B8G8R8X8_UNORM = 88,
    DXGI_FORMAT_B8G8R8A8_TYPELESS = 90,
    DXGI_FORMAT_B8G8R8X8_TYPELESS = 92,
    DXGI_FORMAT_NV12 = 103,
};

#define D3D11_USAGE_DEFAULT 0u
#define D3D11_USAGE_STAGING 3u
#define D3D11_BIND_SHADER_RESOURCE 0x8u
#define D3D11_BIND_RENDER_TARGET 0x20u
#define D3D11_CPU_ACCESS_WRITE 0x10000u
#define D3D11_CPU_ACCESS_READ 0x20000u
#define D3D11_RESOURCE_MISC_SHARED 0x2u
// Storage in a System V shared memory segment with a tight row pitch, so an
// X server can write captured pixels straight into the texture.
#define D3D11_RESOURCE_MISC_SYSV_SHM 0x40000000u

#define D3D11_MAP_READ 1u
#define D3D11_MAP_WRITE 2u
#define D3D11_MAP_READ_WRITE 3u

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

   protected:
    D3DObject();
    virtual ~D3DObject();

   private:
    std::atomic<uint32_t> refs_{1};
};

struct D3DStorage;
class ID3D11Device;

class ID3D11Texture2D : public D3DObject {
   public:
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

// A view picks a plane of a texture: R8 is the luma plane of NV12, R8G8 its
// interleaved chroma plane; any other format is the whole texture.
class ID3D11View : public D3DObject {
   public:
    ID3D11Texture2D *texture() const { return tex_; }
    DXGI_FORMAT format() const { return format_; }
    // Plane geometry.
    uint8_t *plane(uint32_t *pitch, uint32_t *width, uint32_t *height) const;

   private:
    friend class ID3D11Device;
    ID3D11View(ID3D11Texture2D *tex, DXGI_FORMAT format);
    ~ID3D11View() override;
    ID3D11Texture2D *tex_;
    DXGI_FORMAT format_;
};
typedef ID3D11View ID3D11RenderTargetView;
typedef ID3D11View ID3D11ShaderResourceView;

// One full-target pass: reads the source view, writes the target view. The
// viewport size is the source extent the quad covers (the target may be
// smaller; what falls outside it is clipped). flip comes from the vertex data.
typedef void (*D3DPixelPass)(const ID3D11View *source, const ID3D11View *target, uint32_t viewport_w,
                             uint32_t viewport_h, bool flip);

class ID3D11PixelShader : public D3DObject {
   public:
    D3DPixelPass pass() const { return pass_; }

   private:
    friend class ID3D11Device;
    explicit ID3D11PixelShader(D3DPixelPass pass) : pass_(pass) {}
    D3DPixelPass pass_;
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
    HRESULT OpenSharedResource(void *handle, ID3D11Texture2D **out);
    void GetImmediateContext(ID3D11DeviceContext **out);
    // QueryInterface for ID3D10Multithread.
    HRESULT QueryMultithread(ID3D10Multithread **out);
    // Whether textures of the format can be made (NV12 can be switched off).
    bool supports(DXGI_FORMAT format) const;

    // Test switches.
    void set_pitch_alignment(uint32_t bytes) { pitch_align_ = bytes ? bytes : 1; }
    void set_nv12(bool on) { nv12_ = on; }
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
    void Flush() {}

    void RSSetViewports(uint32_t n, const D3D11_VIEWPORT *vp);
    void RSGetViewports(uint32_t *n, D3D11_VIEWPORT *vp) const;
    void OMSetRenderTargets(uint32_t n, ID3D11RenderTargetView *const *views, void *depth);
    void OMGetRenderTargets(uint32_t n, ID3D11RenderTargetView **views, void **depth) const;
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
    ID3D11Device *device_;  // owner; not referenced
    D3D11_VIEWPORT viewport_{};
    uint32_t viewports_ = 0;
    ID3D11RenderTargetView *rtv_ = nullptr;
    ID3D11PixelShader *ps_ = nullptr;
    ID3D11ShaderResourceView *srv_ = nullptr;
    bool flip_ = false;
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
