// Stands in for the Direct3D 12 calls of the window context, the renderers
// and the host's hooks: device, direct command queue, command allocator and
// graphics command list (recorded, then carried out at ExecuteCommandLists),
// descriptor heaps (CBV/SRV/UAV, sampler, RTV) addressed by CPU and GPU
// handles, root-signature blobs, pipeline state objects over the same tagged
// shader blobs and CPU rasteriser as the Direct3D 11 stand-in, committed
// resources on upload, default and readback heaps (Map/Unmap on the CPU
// heaps), and fences with SetEventOnCompletion. The flip swap chain on a
// queue is IDXGISwapChain in dxgi.h.
//
// Like the real debug layer, execution checks what the GPU would get wrong
// and reports it as a "fault" (counted, last text kept; the command is
// skipped, nothing crashes): a barrier whose "before" state is not the
// resource's state, a copy into a resource not in COPY_DEST, a draw or clear
// into a target not in RENDER_TARGET, a sampled texture not in
// PIXEL_SHADER_RESOURCE, a present of a buffer not in PRESENT, a read of an
// unwritten descriptor in a bound table, a handle or address that names no
// live heap or resource, commands on a closed list, an open list executed.
//
// Every interface is COM-like: reference counted (D3DObject) and with its
// methods virtual in the order declared, so each has a method-table slot a
// hook can redirect (slots 0 and 1 are D3DObject's destructor).
//
// Threading: a device's objects are used as on Windows (a list by one thread
// at a time). By default the queue carries out work inside
// ExecuteCommandLists and Signal on the calling thread. With set_deferred
// the queue hands work to its own thread in order, so CPU writes into upload
// buffers race with execution unless the caller waits on a fence, as on a
// GPU. A swap chain on such a queue presents only once the work executed
// before it is carried out. Resource states are changed only by execution.
// The process-wide tables (live resources by serial and address, live
// descriptor heaps, the fault log) are guarded by one mutex; the Map count
// is atomic. A fence's completed value is atomic; waiters sleep on the
// fence's mutex and condition variable; the queue's work list has its own
// mutex and condition variable.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "compat/d3d/d3d.h"

typedef void *HANDLE;

// Resource states (bits).
#define D3D12_RESOURCE_STATE_COMMON 0u
#define D3D12_RESOURCE_STATE_PRESENT 0u
#define D3D12_RESOURCE_STATE_VERTEX_AND_CONSTANT_BUFFER 0x1u
#define D3D12_RESOURCE_STATE_INDEX_BUFFER 0x2u
#define D3D12_RESOURCE_STATE_RENDER_TARGET 0x4u
#define D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE 0x40u
#define D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE 0x80u
#define D3D12_RESOURCE_STATE_INDIRECT_ARGUMENT 0x200u
#define D3D12_RESOURCE_STATE_COPY_DEST 0x400u
#define D3D12_RESOURCE_STATE_COPY_SOURCE 0x800u
#define D3D12_RESOURCE_STATE_GENERIC_READ 0xAC3u

#define D3D12_HEAP_TYPE_DEFAULT 1u
#define D3D12_HEAP_TYPE_UPLOAD 2u
#define D3D12_HEAP_TYPE_READBACK 3u
#define D3D12_HEAP_FLAG_NONE 0u

#define D3D12_RESOURCE_DIMENSION_BUFFER 1u
#define D3D12_RESOURCE_DIMENSION_TEXTURE2D 3u
#define D3D12_TEXTURE_LAYOUT_UNKNOWN 0u
#define D3D12_TEXTURE_LAYOUT_ROW_MAJOR 1u
#define D3D12_RESOURCE_FLAG_NONE 0u
#define D3D12_RESOURCE_FLAG_ALLOW_RENDER_TARGET 0x1u

#define D3D12_TEXTURE_DATA_PITCH_ALIGNMENT 256u
#define D3D12_TEXTURE_DATA_PLACEMENT_ALIGNMENT 512u
#define D3D12_CONSTANT_BUFFER_DATA_PLACEMENT_ALIGNMENT 256u

#define D3D12_COMMAND_LIST_TYPE_DIRECT 0u
#define D3D12_COMMAND_QUEUE_FLAG_NONE 0u
#define D3D12_COMMAND_QUEUE_PRIORITY_NORMAL 0
#define D3D12_FENCE_FLAG_NONE 0u

#define D3D12_DESCRIPTOR_HEAP_TYPE_CBV_SRV_UAV 0u
#define D3D12_DESCRIPTOR_HEAP_TYPE_SAMPLER 1u
#define D3D12_DESCRIPTOR_HEAP_TYPE_RTV 2u
#define D3D12_DESCRIPTOR_HEAP_FLAG_NONE 0u
#define D3D12_DESCRIPTOR_HEAP_FLAG_SHADER_VISIBLE 0x1u

#define D3D12_SRV_DIMENSION_TEXTURE2D 4u
#define D3D12_RTV_DIMENSION_TEXTURE2D 4u
#define D3D12_DEFAULT_SHADER_4_COMPONENT_MAPPING 0x1688u

#define D3D12_RESOURCE_BARRIER_TYPE_TRANSITION 0u
#define D3D12_RESOURCE_BARRIER_FLAG_NONE 0u
#define D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES 0xFFFFFFFFu

#define D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX 0u
#define D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT 1u

#define D3D_ROOT_SIGNATURE_VERSION_1 1u
#define D3D12_ROOT_PARAMETER_TYPE_DESCRIPTOR_TABLE 0u
#define D3D12_ROOT_PARAMETER_TYPE_32BIT_CONSTANTS 1u
#define D3D12_SHADER_VISIBILITY_ALL 0u
#define D3D12_SHADER_VISIBILITY_VERTEX 1u
#define D3D12_SHADER_VISIBILITY_PIXEL 5u
#define D3D12_DESCRIPTOR_RANGE_TYPE_SRV 0u
#define D3D12_DESCRIPTOR_RANGE_TYPE_UAV 1u
#define D3D12_DESCRIPTOR_RANGE_TYPE_CBV 2u
#define D3D12_DESCRIPTOR_RANGE_TYPE_SAMPLER 3u
#define D3D12_DESCRIPTOR_RANGE_OFFSET_APPEND 0xFFFFFFFFu
#define D3D12_ROOT_SIGNATURE_FLAG_ALLOW_INPUT_ASSEMBLER_INPUT_LAYOUT 0x1u
#define D3D12_ROOT_SIGNATURE_FLAG_DENY_HULL_SHADER_ROOT_ACCESS 0x4u
#define D3D12_ROOT_SIGNATURE_FLAG_DENY_DOMAIN_SHADER_ROOT_ACCESS 0x8u
#define D3D12_ROOT_SIGNATURE_FLAG_DENY_GEOMETRY_SHADER_ROOT_ACCESS 0x10u
#define D3D12_STATIC_BORDER_COLOR_TRANSPARENT_BLACK 0u

#define D3D12_PRIMITIVE_TOPOLOGY_TYPE_TRIANGLE 3u
#define D3D_PRIMITIVE_TOPOLOGY_TRIANGLELIST 4u
#define D3D12_FLOAT32_MAX 3.402823466e+38f

// D3D_FEATURE_LEVEL_11_0 is in d3d.h.
#define D3D_FEATURE_LEVEL_12_1 0xC100u

// The same layouts as the Direct3D 11 ones.
typedef D3D11_SAMPLER_DESC D3D12_SAMPLER_DESC;
typedef D3D11_DEPTH_STENCIL_DESC D3D12_DEPTH_STENCIL_DESC;
typedef D3D11_INPUT_ELEMENT_DESC D3D12_INPUT_ELEMENT_DESC;
typedef D3D11_RECT D3D12_RECT;
typedef D3D11_VIEWPORT D3D12_VIEWPORT;

typedef uint64_t D3D12_GPU_VIRTUAL_ADDRESS;
struct D3D12_CPU_DESCRIPTOR_HANDLE {
    size_t ptr;
};
struct D3D12_GPU_DESCRIPTOR_HANDLE {
    uint64_t ptr;
};

struct D3D12_HEAP_PROPERTIES {
    uint32_t Type;
    uint32_t CPUPageProperty;
    uint32_t MemoryPoolPreference;
    uint32_t CreationNodeMask;
    uint32_t VisibleNodeMask;
};

struct D3D12_RESOURCE_DESC {
    uint32_t Dimension;
    uint64_t Alignment;
    uint64_t Width;
    uint32_t Height;
    uint16_t DepthOrArraySize;
    uint16_t MipLevels;
    DXGI_FORMAT Format;
    DXGI_SAMPLE_DESC SampleDesc;
    uint32_t Layout;
    uint32_t Flags;
};

struct D3D12_RANGE {
    size_t Begin, End;
};

struct D3D12_COMMAND_QUEUE_DESC {
    uint32_t Type;
    int32_t Priority;
    uint32_t Flags;
    uint32_t NodeMask;
};

struct D3D12_DESCRIPTOR_HEAP_DESC {
    uint32_t Type;
    uint32_t NumDescriptors;
    uint32_t Flags;
    uint32_t NodeMask;
};

struct D3D12_TEX2D_SRV {
    uint32_t MostDetailedMip;
    uint32_t MipLevels;
    uint32_t PlaneSlice;
    float ResourceMinLODClamp;
};
struct D3D12_SHADER_RESOURCE_VIEW_DESC {
    DXGI_FORMAT Format;
    uint32_t ViewDimension;
    uint32_t Shader4ComponentMapping;
    D3D12_TEX2D_SRV Texture2D;
};

struct D3D12_TEX2D_RTV {
    uint32_t MipSlice;
    uint32_t PlaneSlice;
};
struct D3D12_RENDER_TARGET_VIEW_DESC {
    DXGI_FORMAT Format;
    uint32_t ViewDimension;
    D3D12_TEX2D_RTV Texture2D;
};

struct D3D12_CONSTANT_BUFFER_VIEW_DESC {
    D3D12_GPU_VIRTUAL_ADDRESS BufferLocation;
    uint32_t SizeInBytes;
};

struct D3D12_VERTEX_BUFFER_VIEW {
    D3D12_GPU_VIRTUAL_ADDRESS BufferLocation;
    uint32_t SizeInBytes;
    uint32_t StrideInBytes;
};
struct D3D12_INDEX_BUFFER_VIEW {
    D3D12_GPU_VIRTUAL_ADDRESS BufferLocation;
    uint32_t SizeInBytes;
    DXGI_FORMAT Format;
};

class ID3D12Resource;

struct D3D12_RESOURCE_TRANSITION_BARRIER {
    ID3D12Resource *pResource;
    uint32_t Subresource;
    uint32_t StateBefore;
    uint32_t StateAfter;
};
struct D3D12_RESOURCE_BARRIER {
    uint32_t Type;
    uint32_t Flags;
    D3D12_RESOURCE_TRANSITION_BARRIER Transition;
};

struct D3D12_SUBRESOURCE_FOOTPRINT {
    DXGI_FORMAT Format;
    uint32_t Width, Height, Depth;
    uint32_t RowPitch;
};
struct D3D12_PLACED_SUBRESOURCE_FOOTPRINT {
    uint64_t Offset;
    D3D12_SUBRESOURCE_FOOTPRINT Footprint;
};
struct D3D12_TEXTURE_COPY_LOCATION {
    ID3D12Resource *pResource;
    uint32_t Type;
    union {
        D3D12_PLACED_SUBRESOURCE_FOOTPRINT PlacedFootprint;
        uint32_t SubresourceIndex;
    };
};
struct D3D12_BOX {
    uint32_t left, top, front, right, bottom, back;
};

// Root signatures.
struct D3D12_DESCRIPTOR_RANGE {
    uint32_t RangeType;
    uint32_t NumDescriptors;
    uint32_t BaseShaderRegister;
    uint32_t RegisterSpace;
    uint32_t OffsetInDescriptorsFromTableStart;
};
struct D3D12_ROOT_DESCRIPTOR_TABLE {
    uint32_t NumDescriptorRanges;
    const D3D12_DESCRIPTOR_RANGE *pDescriptorRanges;
};
struct D3D12_ROOT_CONSTANTS {
    uint32_t ShaderRegister;
    uint32_t RegisterSpace;
    uint32_t Num32BitValues;
};
struct D3D12_ROOT_PARAMETER {
    uint32_t ParameterType;
    union {
        D3D12_ROOT_DESCRIPTOR_TABLE DescriptorTable;
        D3D12_ROOT_CONSTANTS Constants;
    };
    uint32_t ShaderVisibility;
};
struct D3D12_STATIC_SAMPLER_DESC {
    uint32_t Filter;
    uint32_t AddressU, AddressV, AddressW;
    float MipLODBias;
    uint32_t MaxAnisotropy;
    uint32_t ComparisonFunc;
    uint32_t BorderColor;
    float MinLOD, MaxLOD;
    uint32_t ShaderRegister;
    uint32_t RegisterSpace;
    uint32_t ShaderVisibility;
};
struct D3D12_ROOT_SIGNATURE_DESC {
    uint32_t NumParameters;
    const D3D12_ROOT_PARAMETER *pParameters;
    uint32_t NumStaticSamplers;
    const D3D12_STATIC_SAMPLER_DESC *pStaticSamplers;
    uint32_t Flags;
};

// Pipeline state (the fields the stand-in honours).
struct D3D12_SHADER_BYTECODE {
    const void *pShaderBytecode;
    size_t BytecodeLength;
};
struct D3D12_RENDER_TARGET_BLEND_DESC {
    int32_t BlendEnable;
    int32_t LogicOpEnable;
    uint32_t SrcBlend, DestBlend, BlendOp;
    uint32_t SrcBlendAlpha, DestBlendAlpha, BlendOpAlpha;
    uint32_t LogicOp;
    uint8_t RenderTargetWriteMask;
};
struct D3D12_BLEND_DESC {
    int32_t AlphaToCoverageEnable;
    int32_t IndependentBlendEnable;
    D3D12_RENDER_TARGET_BLEND_DESC RenderTarget[8];
};
// No scissor switch: Direct3D 12 always scissors.
struct D3D12_RASTERIZER_DESC {
    uint32_t FillMode, CullMode;
    int32_t FrontCounterClockwise;
    int32_t DepthBias;
    float DepthBiasClamp, SlopeScaledDepthBias;
    int32_t DepthClipEnable, MultisampleEnable, AntialiasedLineEnable;
    uint32_t ForcedSampleCount;
    uint32_t ConservativeRaster;
};
struct D3D12_INPUT_LAYOUT_DESC {
    const D3D12_INPUT_ELEMENT_DESC *pInputElementDescs;
    uint32_t NumElements;
};

class ID3D12RootSignature;

struct D3D12_GRAPHICS_PIPELINE_STATE_DESC {
    ID3D12RootSignature *pRootSignature;
    D3D12_SHADER_BYTECODE VS;
    D3D12_SHADER_BYTECODE PS;
    D3D12_BLEND_DESC BlendState;
    uint32_t SampleMask;
    D3D12_RASTERIZER_DESC RasterizerState;
    D3D12_DEPTH_STENCIL_DESC DepthStencilState;
    D3D12_INPUT_LAYOUT_DESC InputLayout;
    uint32_t IBStripCutValue;
    uint32_t PrimitiveTopologyType;
    uint32_t NumRenderTargets;
    DXGI_FORMAT RTVFormats[8];
    DXGI_FORMAT DSVFormat;
    DXGI_SAMPLE_DESC SampleDesc;
    uint32_t NodeMask;
    uint32_t Flags;
};

// ---- Execution checks ----

// Faults found so far in the process, and the text of the last one.
uint64_t d3d12_fault_count(void);
std::string d3d12_last_fault(void);
// Successful Maps of any resource so far (tests count writes through it).
uint64_t d3d12_map_count(void);
// Records one (the swap chain reports its present check through it).
void d3d12_report_fault(const char *format, ...) __attribute__((format(printf, 1, 2)));

// ---- Objects ----

// ID3DBlob: bytes made by D3D12SerializeRootSignature.
class ID3DBlob : public D3DObject {
   public:
    virtual void *GetBufferPointer();
    virtual size_t GetBufferSize();

   private:
    friend HRESULT D3D12SerializeRootSignature(const D3D12_ROOT_SIGNATURE_DESC *, uint32_t, ID3DBlob **,
                                               ID3DBlob **);
    explicit ID3DBlob(std::string bytes) : bytes_(std::move(bytes)) {}
    std::string bytes_;
};

HRESULT D3D12SerializeRootSignature(const D3D12_ROOT_SIGNATURE_DESC *desc, uint32_t version, ID3DBlob **blob,
                                    ID3DBlob **error);

struct D3D12Storage;
class ID3D12Device;

class ID3D12Resource : public D3DObject {
   public:
    virtual void GetDesc(D3D12_RESOURCE_DESC *desc) const;
    // Buffers on the upload and readback heaps only; subresource 0.
    virtual HRESULT Map(uint32_t subresource, const D3D12_RANGE *read, void **data);
    virtual void Unmap(uint32_t subresource, const D3D12_RANGE *written);
    virtual D3D12_GPU_VIRTUAL_ADDRESS GetGPUVirtualAddress();

    // For the stand-in's own users and tests: the heap type, the state as
    // execution left it, Maps so far, and the pixels or bytes.
    uint32_t heap_type() const { return heap_; }
    uint32_t state() const { return state_.load(); }
    uint64_t maps() const { return maps_.load(); }
    uint8_t *data() const;
    uint32_t pitch() const;  // row pitch of a texture; a buffer's width
    uint64_t bytes() const;  // the storage size
    int shm_id() const;      // -1 unless a swap-chain buffer in shared memory
    uint64_t serial() const { return serial_; }

   private:
    friend class ID3D12Device;
    friend class ID3D12CommandQueue;
    friend struct D3D12Exec;
    friend HRESULT d3d12_swap_buffer(ID3D12Device *, uint32_t, uint32_t, DXGI_FORMAT, bool,
                                     ID3D12Resource **);
    ID3D12Resource(const D3D12_RESOURCE_DESC &desc, uint32_t heap, uint32_t state);
    ~ID3D12Resource() override;
    D3D12_RESOURCE_DESC desc_;
    uint32_t heap_;
    std::atomic<uint32_t> state_;
    std::atomic<uint64_t> maps_{0};
    uint64_t serial_;
    D3D12_GPU_VIRTUAL_ADDRESS va_ = 0;  // buffers
    D3D12Storage *storage_ = nullptr;
};

// A back buffer of a swap chain: a B8G8R8A8 render-target texture in state
// PRESENT, optionally in a System V shared memory segment (for XShm).
HRESULT d3d12_swap_buffer(ID3D12Device *device, uint32_t width, uint32_t height, DXGI_FORMAT format, bool shm,
                          ID3D12Resource **out);

struct D3D12Descriptor;

class ID3D12DescriptorHeap : public D3DObject {
   public:
    virtual void GetDesc(D3D12_DESCRIPTOR_HEAP_DESC *desc) const;
    virtual D3D12_CPU_DESCRIPTOR_HANDLE GetCPUDescriptorHandleForHeapStart();
    // 0 for a heap that is not shader visible.
    virtual D3D12_GPU_DESCRIPTOR_HANDLE GetGPUDescriptorHandleForHeapStart();

   private:
    friend class ID3D12Device;
    friend struct D3D12Exec;
    ID3D12DescriptorHeap(const D3D12_DESCRIPTOR_HEAP_DESC &desc);
    ~ID3D12DescriptorHeap() override;
    D3D12_DESCRIPTOR_HEAP_DESC desc_;
    D3D12Descriptor *slots_;
    uint64_t gpu_base_ = 0;
};

struct D3D12RootLayout;

class ID3D12RootSignature : public D3DObject {
   private:
    friend class ID3D12Device;
    friend class ID3D12GraphicsCommandList;
    friend struct D3D12Exec;
    explicit ID3D12RootSignature(D3D12RootLayout *layout);
    ~ID3D12RootSignature() override;
    D3D12RootLayout *layout_;
};

class ID3D12PipelineState : public D3DObject {
   public:
    // What it was made with (tests read the blend and rasteriser parts).
    const D3D12_GRAPHICS_PIPELINE_STATE_DESC &desc() const { return desc_; }

   private:
    friend class ID3D12Device;
    friend struct D3D12Exec;
    ID3D12PipelineState(const D3D12_GRAPHICS_PIPELINE_STATE_DESC &desc, D3DVertexFn vs, D3DPixelFn ps,
                        uint32_t stride);
    ~ID3D12PipelineState() override;
    D3D12_GRAPHICS_PIPELINE_STATE_DESC desc_;  // root signature pointer referenced; layout not kept
    D3DVertexFn vs_;
    D3DPixelFn ps_;
    uint32_t stride_;
};

class ID3D12Fence : public D3DObject {
   public:
    virtual uint64_t GetCompletedValue();
    // With no event, blocks until the value is reached.
    virtual HRESULT SetEventOnCompletion(uint64_t value, HANDLE event);
    // Sets the value from the CPU.
    virtual HRESULT Signal(uint64_t value);

   private:
    friend class ID3D12Device;
    friend class ID3D12CommandQueue;
    friend struct D3D12Exec;
    explicit ID3D12Fence(uint64_t initial);
    ~ID3D12Fence() override;
    void reach(uint64_t value);
    struct Waits;
    std::atomic<uint64_t> value_;
    Waits *waits_;
};

class ID3D12CommandAllocator : public D3DObject {
   public:
    // Fails while work recorded on it has not finished executing.
    virtual HRESULT Reset();

   private:
    friend class ID3D12Device;
    friend class ID3D12GraphicsCommandList;
    friend class ID3D12CommandQueue;
    ID3D12CommandAllocator() = default;
    std::atomic<uint32_t> pending_{0};  // executions not yet finished
};

struct D3D12Command;
struct D3D12CommandStream;

class ID3D12CommandList : public D3DObject {
   protected:
    ID3D12CommandList() = default;
};

class ID3D12GraphicsCommandList : public ID3D12CommandList {
   public:
    // QueryInterface for ID3D12CommandList (the same object).
    virtual HRESULT QueryInterface(ID3D12CommandList **out);
    virtual HRESULT Close();
    virtual HRESULT Reset(ID3D12CommandAllocator *allocator, ID3D12PipelineState *initial);
    virtual void ResourceBarrier(uint32_t count, const D3D12_RESOURCE_BARRIER *barriers);
    virtual void CopyTextureRegion(const D3D12_TEXTURE_COPY_LOCATION *dst, uint32_t x, uint32_t y, uint32_t z,
                                   const D3D12_TEXTURE_COPY_LOCATION *src, const D3D12_BOX *box);
    virtual void CopyResource(ID3D12Resource *dst, ID3D12Resource *src);
    virtual void RSSetViewports(uint32_t count, const D3D12_VIEWPORT *viewports);
    virtual void RSSetScissorRects(uint32_t count, const D3D12_RECT *rects);
    virtual void OMSetRenderTargets(uint32_t count, const D3D12_CPU_DESCRIPTOR_HANDLE *rtvs, int32_t single,
                                    const D3D12_CPU_DESCRIPTOR_HANDLE *dsv);
    virtual void ClearRenderTargetView(D3D12_CPU_DESCRIPTOR_HANDLE rtv, const float rgba[4], uint32_t rects,
                                       const D3D12_RECT *r);
    virtual void SetGraphicsRootSignature(ID3D12RootSignature *root);
    virtual void SetDescriptorHeaps(uint32_t count, ID3D12DescriptorHeap *const *heaps);
    virtual void SetGraphicsRootDescriptorTable(uint32_t index, D3D12_GPU_DESCRIPTOR_HANDLE base);
    virtual void SetGraphicsRoot32BitConstants(uint32_t index, uint32_t count, const void *data,
                                               uint32_t offset);
    virtual void SetPipelineState(ID3D12PipelineState *pso);
    virtual void IASetVertexBuffers(uint32_t slot, uint32_t count, const D3D12_VERTEX_BUFFER_VIEW *views);
    virtual void IASetIndexBuffer(const D3D12_INDEX_BUFFER_VIEW *view);
    virtual void IASetPrimitiveTopology(uint32_t topology);
    virtual void OMSetBlendFactor(const float factor[4]);
    virtual void DrawIndexedInstanced(uint32_t count, uint32_t instances, uint32_t start, int32_t base,
                                      uint32_t first_instance);

    // Tests: whether the list is open for recording, and the commands in it.
    bool open() const { return open_; }
    size_t recorded() const;

   private:
    friend class ID3D12Device;
    friend class ID3D12CommandQueue;
    ID3D12GraphicsCommandList(ID3D12CommandAllocator *allocator, bool fast_path);
    ~ID3D12GraphicsCommandList() override;
    bool record(D3D12Command &&c);
    ID3D12CommandAllocator *allocator_;  // referenced
    D3D12CommandStream *stream_;
    bool open_ = true;
    bool fast_path_;
};

class ID3D12CommandQueue : public D3DObject {
   public:
    virtual void ExecuteCommandLists(uint32_t count, ID3D12CommandList *const *lists);
    virtual HRESULT Signal(ID3D12Fence *fence, uint64_t value);
    // QueryInterface for IUnknown (the same object), as swap chains take it.
    virtual HRESULT QueryInterface(D3DObject **out);

    ID3D12Device *device() const { return device_; }
    // Carry work out on the queue's own thread from now on (tests).
    void set_deferred(bool on);
    // Returns once everything submitted so far has been carried out: a swap
    // chain on this queue presents in queue order, after the work before it.
    void drain();
    // Lists executed so far.
    uint64_t executed() const { return executed_.load(); }

   private:
    friend class ID3D12Device;
    struct Worker;
    explicit ID3D12CommandQueue(ID3D12Device *device);
    ~ID3D12CommandQueue() override;
    void submit(D3D12CommandStream *work, ID3D12CommandAllocator *allocator, ID3D12Fence *fence,
                uint64_t value);
    ID3D12Device *device_;  // referenced
    Worker *worker_ = nullptr;
    std::atomic<uint64_t> executed_{0};
};

class ID3D12Device : public D3DObject {
   public:
    virtual HRESULT CreateCommandQueue(const D3D12_COMMAND_QUEUE_DESC *desc, ID3D12CommandQueue **out);
    virtual HRESULT CreateCommandAllocator(uint32_t type, ID3D12CommandAllocator **out);
    // The list starts open (recording).
    virtual HRESULT CreateCommandList(uint32_t node, uint32_t type, ID3D12CommandAllocator *allocator,
                                      ID3D12PipelineState *initial, ID3D12GraphicsCommandList **out);
    virtual HRESULT CreateDescriptorHeap(const D3D12_DESCRIPTOR_HEAP_DESC *desc, ID3D12DescriptorHeap **out);
    virtual uint32_t GetDescriptorHandleIncrementSize(uint32_t type);
    virtual HRESULT CreateFence(uint64_t initial, uint32_t flags, ID3D12Fence **out);
    virtual HRESULT CreateRootSignature(uint32_t node, const void *blob, size_t size,
                                        ID3D12RootSignature **out);
    virtual HRESULT CreateGraphicsPipelineState(const D3D12_GRAPHICS_PIPELINE_STATE_DESC *desc,
                                                ID3D12PipelineState **out);
    virtual HRESULT CreateCommittedResource(const D3D12_HEAP_PROPERTIES *heap, uint32_t heap_flags,
                                            const D3D12_RESOURCE_DESC *desc, uint32_t state,
                                            const void *clear_value, ID3D12Resource **out);
    // A NULL resource with a description writes a null descriptor (reads 0).
    virtual void CreateShaderResourceView(ID3D12Resource *resource,
                                          const D3D12_SHADER_RESOURCE_VIEW_DESC *desc,
                                          D3D12_CPU_DESCRIPTOR_HANDLE at);
    virtual void CreateConstantBufferView(const D3D12_CONSTANT_BUFFER_VIEW_DESC *desc,
                                          D3D12_CPU_DESCRIPTOR_HANDLE at);
    virtual void CreateSampler(const D3D12_SAMPLER_DESC *desc, D3D12_CPU_DESCRIPTOR_HANDLE at);
    virtual void CreateRenderTargetView(ID3D12Resource *resource, const D3D12_RENDER_TARGET_VIEW_DESC *desc,
                                        D3D12_CPU_DESCRIPTOR_HANDLE at);
    // Layout of subresource 0 of a texture in a buffer: 256-byte row pitch.
    virtual void GetCopyableFootprints(const D3D12_RESOURCE_DESC *desc, uint32_t first, uint32_t count,
                                       uint64_t offset, D3D12_PLACED_SUBRESOURCE_FOOTPRINT *layouts,
                                       uint32_t *rows, uint64_t *row_bytes, uint64_t *total);
    virtual HRESULT GetDeviceRemovedReason();

    // Test switches: draws may take the rasteriser's quad fast path (on).
    void set_fast_path(bool on) { fast_path_ = on; }
    // Every later call that can fail answers hr (device removed, hung, reset).
    void remove(HRESULT hr) { removed_ = hr; }

   private:
    friend HRESULT D3D12CreateDevice(D3DObject *, uint32_t, ID3D12Device **);
    ID3D12Device() = default;
    bool fast_path_ = true;
    std::atomic<HRESULT> removed_{S_OK};
};

// adapter: NULL for the default adapter.
HRESULT D3D12CreateDevice(D3DObject *adapter, uint32_t minimum_level, ID3D12Device **out);
