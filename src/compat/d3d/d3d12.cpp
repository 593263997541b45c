#include "compat/d3d/d3d12.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "compat/d3d/dxgi.h"

// Pixel or byte memory of one resource.
struct D3D12Storage {
    uint8_t *data = nullptr;
    uint64_t size = 0;
    uint32_t pitch = 0;
    int shm_id = -1;
    std::vector<uint8_t> heap;
    ~D3D12Storage() {
        if (shm_id >= 0) shmdt(data);
    }
};

// One descriptor slot. Descriptors name resources by serial and hold no
// reference, as on Windows; a released resource is caught at execution.
enum : uint32_t { DESC_NONE, DESC_SRV, DESC_NULL_SRV, DESC_CBV, DESC_SAMPLER, DESC_RTV };
struct D3D12Descriptor {
    uint32_t kind;
    DXGI_FORMAT format;
    uint64_t serial;
    D3D12_GPU_VIRTUAL_ADDRESS va;
    uint32_t size;
    D3D12_SAMPLER_DESC sampler;
};

struct D3D12RootParam {
    uint32_t type, visibility;
    std::vector<D3D12_DESCRIPTOR_RANGE> ranges;
    D3D12_ROOT_CONSTANTS constants;
};
struct D3D12RootLayout {
    uint32_t flags = 0;
    std::vector<D3D12RootParam> params;
    std::vector<D3D12_STATIC_SAMPLER_DESC> samplers;
};

namespace {

constexpr uint32_t DESC_INC = sizeof(D3D12Descriptor);
constexpr uint32_t MAX_ROOT_PARAMS = 16;
constexpr uint32_t MAX_ROOT_CONSTANTS = 64;

std::atomic<uint64_t> g_maps{0};
std::mutex g_mutex;
uint64_t g_faults = 0;
std::string g_last_fault;
uint64_t g_next_serial = 1;
uint64_t g_next_va = 0x100000000ull;
uint64_t g_next_gpu_desc = 0x7000000000ull;
std::unordered_map<uint64_t, ID3D12Resource *> g_by_serial;
std::map<uint64_t, ID3D12Resource *> g_by_va;  // buffers by their start address
struct HeapEntry {
    ID3D12DescriptorHeap *heap;
    uint32_t type, count;
    D3D12Descriptor *slots;
};
std::map<uintptr_t, HeapEntry> g_heaps_cpu;  // by the first slot's address

void fault_locked(const std::string &text) {
    g_faults++;
    g_last_fault = text;
}

void fault_v(const char *format, va_list ap) __attribute__((format(printf, 1, 0)));
void fault_v(const char *format, va_list ap) {
    char buf[512];
    vsnprintf(buf, sizeof(buf), format, ap);
    std::lock_guard<std::mutex> lock(g_mutex);
    fault_locked(buf);
}

void fault(const char *format, ...) __attribute__((format(printf, 1, 2)));
void fault(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    fault_v(format, ap);
    va_end(ap);
}

// The slot a CPU handle names, copied out; false (a fault) when it names none.
bool read_descriptor(size_t handle, D3D12Descriptor *out, uint32_t *heap_type, const char *what) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_heaps_cpu.upper_bound(handle);
    if (it != g_heaps_cpu.begin()) {
        --it;
        const uintptr_t off = handle - it->first;
        if (off % DESC_INC == 0 && off / DESC_INC < it->second.count) {
            if (out) *out = it->second.slots[off / DESC_INC];
            if (heap_type) *heap_type = it->second.type;
            return true;
        }
    }
    fault_locked(std::string(what) + ": the descriptor handle names no live heap slot");
    return false;
}

bool write_descriptor(size_t handle, uint32_t heap_type, const D3D12Descriptor &d, const char *what) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_heaps_cpu.upper_bound(handle);
    if (it != g_heaps_cpu.begin()) {
        --it;
        const uintptr_t off = handle - it->first;
        if (off % DESC_INC == 0 && off / DESC_INC < it->second.count) {
            if (it->second.type != heap_type) {
                fault_locked(std::string(what) + ": the descriptor goes into a heap of another type");
                return false;
            }
            it->second.slots[off / DESC_INC] = d;
            return true;
        }
    }
    fault_locked(std::string(what) + ": the descriptor handle names no live heap slot");
    return false;
}

ID3D12Resource *live(uint64_t serial) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_by_serial.find(serial);
    return it == g_by_serial.end() ? nullptr : it->second;
}

// The buffer holding a GPU address and the offset into it.
ID3D12Resource *buffer_at(D3D12_GPU_VIRTUAL_ADDRESS va, uint64_t *offset) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_by_va.upper_bound(va);
    if (it == g_by_va.begin()) return nullptr;
    --it;
    const uint64_t off = va - it->first;
    if (off >= it->second->bytes()) return nullptr;
    *offset = off;
    return it->second;
}

HRESULT removed(ID3D12Device *dev) {
    return dev ? dev->GetDeviceRemovedReason() : S_OK;
}

uint32_t tex_rows(const D3D12_RESOURCE_DESC &d) {
    return d.Dimension == D3D12_RESOURCE_DIMENSION_BUFFER ? 1 : d.Height;
}

}  // namespace

uint64_t d3d12_map_count(void) {
    return g_maps.load();
}

uint64_t d3d12_fault_count(void) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_faults;
}

std::string d3d12_last_fault(void) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_last_fault;
}

void d3d12_report_fault(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    fault_v(format, ap);
    va_end(ap);
}

// ---- Root-signature blobs ----

namespace {

void put32(std::string &s, uint32_t v) {
    s.append(reinterpret_cast<const char *>(&v), 4);
}

struct Reader {
    const uint8_t *p;
    size_t left;
    bool get(uint32_t *v) {
        if (left < 4) return false;
        memcpy(v, p, 4);
        p += 4;
        left -= 4;
        return true;
    }
    bool get(void *v, size_t n) {
        if (left < n) return false;
        memcpy(v, p, n);
        p += n;
        left -= n;
        return true;
    }
};

bool range_ok(const D3D12_DESCRIPTOR_RANGE &r) {
    return r.RangeType <= D3D12_DESCRIPTOR_RANGE_TYPE_SAMPLER && r.NumDescriptors >= 1 &&
           r.NumDescriptors <= 4096 && r.BaseShaderRegister < 64;
}

}  // namespace

void *ID3DBlob::GetBufferPointer() {
    return bytes_.data();
}

size_t ID3DBlob::GetBufferSize() {
    return bytes_.size();
}

HRESULT D3D12SerializeRootSignature(const D3D12_ROOT_SIGNATURE_DESC *desc, uint32_t version, ID3DBlob **blob,
                                    ID3DBlob **error) {
    if (error) *error = nullptr;
    if (!blob) return E_INVALIDARG;
    *blob = nullptr;
    auto refuse = [&](const char *why) {
        if (error) *error = new ID3DBlob(why);
        return E_INVALIDARG;
    };
    if (!desc || version != D3D_ROOT_SIGNATURE_VERSION_1) return refuse("unsupported root signature version");
    if (desc->NumParameters > MAX_ROOT_PARAMS || (desc->NumParameters && !desc->pParameters))
        return refuse("too many root parameters");
    if (desc->NumStaticSamplers > 16 || (desc->NumStaticSamplers && !desc->pStaticSamplers))
        return refuse("too many static samplers");
    std::string s("ZRS1", 4);
    put32(s, desc->Flags);
    put32(s, desc->NumParameters);
    for (uint32_t i = 0; i < desc->NumParameters; i++) {
        const D3D12_ROOT_PARAMETER &p = desc->pParameters[i];
        put32(s, p.ParameterType);
        put32(s, p.ShaderVisibility);
        if (p.ParameterType == D3D12_ROOT_PARAMETER_TYPE_DESCRIPTOR_TABLE) {
            const D3D12_ROOT_DESCRIPTOR_TABLE &t = p.DescriptorTable;
            if (t.NumDescriptorRanges == 0 || t.NumDescriptorRanges > 32 || !t.pDescriptorRanges)
                return refuse("bad descriptor table");
            put32(s, t.NumDescriptorRanges);
            bool samplers = false, views = false;
            for (uint32_t r = 0; r < t.NumDescriptorRanges; r++) {
                const D3D12_DESCRIPTOR_RANGE &g = t.pDescriptorRanges[r];
                if (!range_ok(g)) return refuse("bad descriptor range");
                (g.RangeType == D3D12_DESCRIPTOR_RANGE_TYPE_SAMPLER ? samplers : views) = true;
                s.append(reinterpret_cast<const char *>(&g), sizeof(g));
            }
            if (samplers && views) return refuse("samplers and views in one table");
        } else if (p.ParameterType == D3D12_ROOT_PARAMETER_TYPE_32BIT_CONSTANTS) {
            if (p.Constants.Num32BitValues == 0 || p.Constants.Num32BitValues > MAX_ROOT_CONSTANTS)
                return refuse("bad root constants");
            s.append(reinterpret_cast<const char *>(&p.Constants), sizeof(p.Constants));
        } else {
            return refuse("unsupported root parameter type");
        }
    }
    put32(s, desc->NumStaticSamplers);
    for (uint32_t i = 0; i < desc->NumStaticSamplers; i++)
        s.append(reinterpret_cast<const char *>(&desc->pStaticSamplers[i]),
                 sizeof(D3D12_STATIC_SAMPLER_DESC));
    if (HRESULT hr = d3d_fault("D3D12SerializeRootSignature")) return hr;
    *blob = new ID3DBlob(std::move(s));
    return S_OK;
}

namespace {

// Reads a blob back; NULL when it is not a well-formed one of ours.
D3D12RootLayout *parse_root(const void *blob, size_t size) {
    if (!blob || size < 16 || memcmp(blob, "ZRS1", 4) != 0) return nullptr;
    Reader r{static_cast<const uint8_t *>(blob) + 4, size - 4};
    auto *l = new D3D12RootLayout();
    uint32_t n = 0;
    bool ok = r.get(&l->flags) && r.get(&n) && n <= MAX_ROOT_PARAMS;
    for (uint32_t i = 0; ok && i < n; i++) {
        D3D12RootParam p{};
        ok = r.get(&p.type) && r.get(&p.visibility);
        if (ok && p.type == D3D12_ROOT_PARAMETER_TYPE_DESCRIPTOR_TABLE) {
            uint32_t k = 0;
            ok = r.get(&k) && k >= 1 && k <= 32;
            for (uint32_t j = 0; ok && j < k; j++) {
                D3D12_DESCRIPTOR_RANGE g;
                ok = r.get(&g, sizeof(g)) && range_ok(g);
                if (ok) p.ranges.push_back(g);
            }
        } else if (ok && p.type == D3D12_ROOT_PARAMETER_TYPE_32BIT_CONSTANTS) {
            ok = r.get(&p.constants, sizeof(p.constants)) && p.constants.Num32BitValues >= 1 &&
                 p.constants.Num32BitValues <= MAX_ROOT_CONSTANTS;
        } else {
            ok = false;
        }
        if (ok) l->params.push_back(std::move(p));
    }
    uint32_t ns = 0;
    ok = ok && r.get(&ns) && ns <= 16;
    for (uint32_t i = 0; ok && i < ns; i++) {
        D3D12_STATIC_SAMPLER_DESC d;
        ok = r.get(&d, sizeof(d));
        if (ok) l->samplers.push_back(d);
    }
    if (!ok || r.left != 0) {
        delete l;
        return nullptr;
    }
    return l;
}

}  // namespace

ID3D12RootSignature::ID3D12RootSignature(D3D12RootLayout *layout) : layout_(layout) {}

ID3D12RootSignature::~ID3D12RootSignature() {
    delete layout_;
}

ID3D12PipelineState::ID3D12PipelineState(const D3D12_GRAPHICS_PIPELINE_STATE_DESC &desc, D3DVertexFn vs,
                                         D3DPixelFn ps, uint32_t stride)
    : desc_(desc), vs_(vs), ps_(ps), stride_(stride) {
    desc_.InputLayout = {nullptr, desc.InputLayout.NumElements};
    desc_.VS = desc_.PS = {nullptr, 0};
}

ID3D12PipelineState::~ID3D12PipelineState() = default;

// ---- Resources ----

ID3D12Resource::ID3D12Resource(const D3D12_RESOURCE_DESC &desc, uint32_t heap, uint32_t state)
    : desc_(desc), heap_(heap), state_(state) {
    std::lock_guard<std::mutex> lock(g_mutex);
    serial_ = g_next_serial++;
    g_by_serial[serial_] = this;
    if (desc.Dimension == D3D12_RESOURCE_DIMENSION_BUFFER) {
        va_ = g_next_va;
        // 64 KiB apart, so an address never runs from one buffer into the next.
        g_next_va += (desc.Width + 0xFFFF) / 0x10000 * 0x10000 + 0x10000;
        g_by_va[va_] = this;
    }
}

ID3D12Resource::~ID3D12Resource() {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_by_serial.erase(serial_);
        if (va_) g_by_va.erase(va_);
    }
    delete storage_;
}

void ID3D12Resource::GetDesc(D3D12_RESOURCE_DESC *desc) const {
    *desc = desc_;
}

uint8_t *ID3D12Resource::data() const {
    return storage_->data;
}

uint32_t ID3D12Resource::pitch() const {
    return storage_->pitch;
}

uint64_t ID3D12Resource::bytes() const {
    return storage_->size;
}

int ID3D12Resource::shm_id() const {
    return storage_->shm_id;
}

HRESULT ID3D12Resource::Map(uint32_t subresource, const D3D12_RANGE *, void **data) {
    if (data) *data = nullptr;
    if (subresource != 0 || desc_.Dimension != D3D12_RESOURCE_DIMENSION_BUFFER ||
        heap_ == D3D12_HEAP_TYPE_DEFAULT)
        return E_INVALIDARG;
    if (HRESULT hr = d3d_fault("ID3D12Resource_Map")) return hr;
    maps_++;
    g_maps++;
    if (data) *data = storage_->data;
    return S_OK;
}

void ID3D12Resource::Unmap(uint32_t, const D3D12_RANGE *) {}

D3D12_GPU_VIRTUAL_ADDRESS ID3D12Resource::GetGPUVirtualAddress() {
    return va_;
}

namespace {

bool make_storage(ID3D12Resource *r, const D3D12_RESOURCE_DESC &d, bool shm, D3D12Storage **out) {
    auto *st = new D3D12Storage();
    if (d.Dimension == D3D12_RESOURCE_DIMENSION_BUFFER) {
        st->pitch = uint32_t(d.Width);
        st->size = d.Width;
    } else {
        const uint32_t row = d.Width * d3d_format_bpp(d.Format);
        // Swap-chain buffers in shared memory are tight for XShm; other
        // textures keep a pitch wider than the row, as drivers do.
        st->pitch = shm ? row : (row + 63) / 64 * 64;
        st->size = uint64_t(st->pitch) * d.Height;
    }
    if (shm) {
        st->shm_id = shmget(IPC_PRIVATE, st->size, IPC_CREAT | 0600);
        if (st->shm_id < 0) {
            delete st;
            return false;
        }
        void *p = shmat(st->shm_id, nullptr, 0);
        // Marked for removal now: the segment goes with its last attachment.
        shmctl(st->shm_id, IPC_RMID, nullptr);
        if (p == (void *)-1) {
            st->shm_id = -1;
            delete st;
            return false;
        }
        st->data = static_cast<uint8_t *>(p);
        memset(st->data, 0, st->size);
    } else {
        st->heap.assign(st->size, 0);
        st->data = st->heap.data();
    }
    (void)r;
    *out = st;
    return true;
}

// A new resource goes out when its storage was made, else it is freed.
HRESULT hand_out(ID3D12Resource *r, bool stored, ID3D12Resource **out) {
    if (!stored) {
        r->Release();
        return E_OUTOFMEMORY;
    }
    *out = r;
    return S_OK;
}

}  // namespace

HRESULT d3d12_swap_buffer(ID3D12Device *device, uint32_t width, uint32_t height, DXGI_FORMAT format, bool shm,
                          ID3D12Resource **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!device || width == 0 || height == 0 || width > 16384 || height > 16384 ||
        d3d_format_bpp(format) != 4)
        return E_INVALIDARG;
    D3D12_RESOURCE_DESC d = {D3D12_RESOURCE_DIMENSION_TEXTURE2D,
                             0,
                             width,
                             height,
                             1,
                             1,
                             format,
                             {1, 0},
                             D3D12_TEXTURE_LAYOUT_UNKNOWN,
                             D3D12_RESOURCE_FLAG_ALLOW_RENDER_TARGET};
    auto *r = new ID3D12Resource(d, D3D12_HEAP_TYPE_DEFAULT, D3D12_RESOURCE_STATE_PRESENT);
    return hand_out(
        r, make_storage(r, d, shm, &r->storage_) || (shm && make_storage(r, d, false, &r->storage_)), out);
}

// ---- Descriptor heaps ----

ID3D12DescriptorHeap::ID3D12DescriptorHeap(const D3D12_DESCRIPTOR_HEAP_DESC &desc)
    : desc_(desc), slots_(new D3D12Descriptor[desc.NumDescriptors]()) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_heaps_cpu[reinterpret_cast<uintptr_t>(slots_)] = {this, desc.Type, desc.NumDescriptors, slots_};
    if (desc.Flags & D3D12_DESCRIPTOR_HEAP_FLAG_SHADER_VISIBLE) {
        gpu_base_ = g_next_gpu_desc;
        g_next_gpu_desc += (uint64_t(desc.NumDescriptors) * DESC_INC + 0xFFFF) / 0x10000 * 0x10000 + 0x10000;
    }
}

ID3D12DescriptorHeap::~ID3D12DescriptorHeap() {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_heaps_cpu.erase(reinterpret_cast<uintptr_t>(slots_));
    }
    delete[] slots_;
}

void ID3D12DescriptorHeap::GetDesc(D3D12_DESCRIPTOR_HEAP_DESC *desc) const {
    *desc = desc_;
}

D3D12_CPU_DESCRIPTOR_HANDLE ID3D12DescriptorHeap::GetCPUDescriptorHandleForHeapStart() {
    return {reinterpret_cast<size_t>(slots_)};
}

D3D12_GPU_DESCRIPTOR_HANDLE ID3D12DescriptorHeap::GetGPUDescriptorHandleForHeapStart() {
    return {gpu_base_};
}

// ---- Fences ----

struct ID3D12Fence::Waits {
    std::mutex mutex;
    std::condition_variable cond;
    std::vector<std::pair<uint64_t, HANDLE>> events;  // under mutex
};

ID3D12Fence::ID3D12Fence(uint64_t initial) : value_(initial), waits_(new Waits()) {}

ID3D12Fence::~ID3D12Fence() {
    delete waits_;
}

uint64_t ID3D12Fence::GetCompletedValue() {
    return value_.load();
}

void ID3D12Fence::reach(uint64_t value) {
    std::vector<HANDLE> fire;
    {
        std::lock_guard<std::mutex> lock(waits_->mutex);
        value_ = value;
        auto &ev = waits_->events;
        for (auto it = ev.begin(); it != ev.end();) {
            if (it->first <= value) {
                fire.push_back(it->second);
                it = ev.erase(it);
            } else {
                ++it;
            }
        }
    }
    waits_->cond.notify_all();
    for (HANDLE h : fire) SetEvent(h);
}

HRESULT ID3D12Fence::Signal(uint64_t value) {
    if (HRESULT hr = d3d_fault("ID3D12Fence_Signal")) return hr;
    reach(value);
    return S_OK;
}

HRESULT ID3D12Fence::SetEventOnCompletion(uint64_t value, HANDLE event) {
    if (HRESULT hr = d3d_fault("ID3D12Fence_SetEventOnCompletion")) return hr;
    std::unique_lock<std::mutex> lock(waits_->mutex);
    if (event) {
        if (value_.load() >= value) {
            lock.unlock();
            SetEvent(event);
        } else {
            waits_->events.emplace_back(value, event);
        }
        return S_OK;
    }
    // A value nothing will signal would block for ever; the stand-in gives
    // up after a long while and says so.
    if (!waits_->cond.wait_for(lock, std::chrono::seconds(10), [&] { return value_.load() >= value; })) {
        lock.unlock();
        fault("ID3D12Fence_SetEventOnCompletion: value %llu was never reached (completed %llu)",
              (unsigned long long)value, (unsigned long long)value_.load());
        return E_FAIL;
    }
    return S_OK;
}

HRESULT ID3D12CommandAllocator::Reset() {
    if (HRESULT hr = d3d_fault("ID3D12CommandAllocator_Reset")) return hr;
    if (pending_.load() != 0) {
        fault("ID3D12CommandAllocator_Reset: work recorded on the allocator is still executing");
        return E_FAIL;
    }
    return S_OK;
}

// ---- Command lists ----

namespace {

// A counted reference to a COM-like object, carried by recorded commands.
struct Ref {
    D3DObject *p = nullptr;
    Ref() = default;
    explicit Ref(D3DObject *o) : p(o) {
        if (p) p->AddRef();
    }
    Ref(const Ref &o) : Ref(o.p) {}
    Ref &operator=(const Ref &o) {
        if (o.p) o.p->AddRef();
        if (p) p->Release();
        p = o.p;
        return *this;
    }
    ~Ref() {
        if (p) p->Release();
    }
};

enum : uint32_t {
    OP_BARRIER,
    OP_COPY_REGION,
    OP_COPY_RESOURCE,
    OP_VIEWPORT,
    OP_SCISSOR,
    OP_TARGET,
    OP_CLEAR,
    OP_ROOT,
    OP_HEAPS,
    OP_TABLE,
    OP_CONSTANTS,
    OP_PSO,
    OP_VB,
    OP_IB,
    OP_TOPOLOGY,
    OP_BLEND_FACTOR,
    OP_DRAW,
};

}  // namespace

struct D3D12Command {
    uint32_t op = 0;
    uint64_t serial[2] = {};  // resources
    uint32_t u[6] = {};
    float f[6] = {};
    uint64_t handle = 0;
    D3D12_TEXTURE_COPY_LOCATION loc[2] = {};
    D3D12_BOX box = {};
    bool has_box = false;
    D3D12_VERTEX_BUFFER_VIEW vb = {};
    D3D12_INDEX_BUFFER_VIEW ib = {};
    Ref obj[2];
    std::vector<uint32_t> values;
};

struct D3D12CommandStream {
    std::vector<D3D12Command> cmds;
};

size_t ID3D12GraphicsCommandList::recorded() const {
    return stream_->cmds.size();
}

ID3D12GraphicsCommandList::ID3D12GraphicsCommandList(ID3D12CommandAllocator *allocator, bool fast_path)
    : allocator_(allocator), stream_(new D3D12CommandStream()), fast_path_(fast_path) {
    allocator_->AddRef();
}

ID3D12GraphicsCommandList::~ID3D12GraphicsCommandList() {
    delete stream_;
    allocator_->Release();
}

bool ID3D12GraphicsCommandList::record(D3D12Command &&c) {
    if (!open_) {
        fault("a command was recorded into a closed command list");
        return false;
    }
    stream_->cmds.push_back(std::move(c));
    return true;
}

HRESULT ID3D12GraphicsCommandList::QueryInterface(ID3D12CommandList **out) {
    return d3d_query_self(this, out, "ID3D12GraphicsCommandList_QueryInterface");
}

HRESULT ID3D12GraphicsCommandList::Close() {
    if (!open_) return E_FAIL;
    if (HRESULT hr = d3d_fault("ID3D12GraphicsCommandList_Close")) return hr;
    open_ = false;
    return S_OK;
}

HRESULT ID3D12GraphicsCommandList::Reset(ID3D12CommandAllocator *allocator, ID3D12PipelineState *) {
    if (!allocator) return E_INVALIDARG;
    if (open_) return E_FAIL;
    if (HRESULT hr = d3d_fault("ID3D12GraphicsCommandList_Reset")) return hr;
    allocator->AddRef();
    allocator_->Release();
    allocator_ = allocator;
    stream_->cmds.clear();
    open_ = true;
    return S_OK;
}

void ID3D12GraphicsCommandList::ResourceBarrier(uint32_t count, const D3D12_RESOURCE_BARRIER *barriers) {
    for (uint32_t i = 0; barriers && i < count; i++) {
        const D3D12_RESOURCE_BARRIER &b = barriers[i];
        if (b.Type != D3D12_RESOURCE_BARRIER_TYPE_TRANSITION || !b.Transition.pResource) {
            fault("ResourceBarrier: only transitions of a resource are supported");
            continue;
        }
        D3D12Command c;
        c.op = OP_BARRIER;
        c.serial[0] = b.Transition.pResource->serial();
        c.u[0] = b.Transition.StateBefore;
        c.u[1] = b.Transition.StateAfter;
        c.u[2] = b.Transition.Subresource;
        record(std::move(c));
    }
}

void ID3D12GraphicsCommandList::CopyTextureRegion(const D3D12_TEXTURE_COPY_LOCATION *dst, uint32_t x,
                                                  uint32_t y, uint32_t z,
                                                  const D3D12_TEXTURE_COPY_LOCATION *src,
                                                  const D3D12_BOX *box) {
    if (!dst || !src || !dst->pResource || !src->pResource || z != 0) {
        fault("CopyTextureRegion: missing or unsupported location");
        return;
    }
    D3D12Command c;
    c.op = OP_COPY_REGION;
    c.loc[0] = *dst;
    c.loc[1] = *src;
    c.serial[0] = dst->pResource->serial();
    c.serial[1] = src->pResource->serial();
    c.loc[0].pResource = c.loc[1].pResource = nullptr;
    c.u[0] = x;
    c.u[1] = y;
    if (box) {
        c.box = *box;
        c.has_box = true;
    }
    record(std::move(c));
}

void ID3D12GraphicsCommandList::CopyResource(ID3D12Resource *dst, ID3D12Resource *src) {
    if (!dst || !src) {
        fault("CopyResource: missing resource");
        return;
    }
    D3D12Command c;
    c.op = OP_COPY_RESOURCE;
    c.serial[0] = dst->serial();
    c.serial[1] = src->serial();
    record(std::move(c));
}

void ID3D12GraphicsCommandList::RSSetViewports(uint32_t count, const D3D12_VIEWPORT *vp) {
    D3D12Command c;
    c.op = OP_VIEWPORT;
    c.u[0] = count && vp ? 1 : 0;
    if (c.u[0]) {
        c.f[0] = vp->TopLeftX;
        c.f[1] = vp->TopLeftY;
        c.f[2] = vp->Width;
        c.f[3] = vp->Height;
        c.f[4] = vp->MinDepth;
        c.f[5] = vp->MaxDepth;
    }
    record(std::move(c));
}

void ID3D12GraphicsCommandList::RSSetScissorRects(uint32_t count, const D3D12_RECT *r) {
    D3D12Command c;
    c.op = OP_SCISSOR;
    c.u[0] = count && r ? 1 : 0;
    if (c.u[0]) {
        c.u[1] = uint32_t(r->left);
        c.u[2] = uint32_t(r->top);
        c.u[3] = uint32_t(r->right);
        c.u[4] = uint32_t(r->bottom);
    }
    record(std::move(c));
}

void ID3D12GraphicsCommandList::OMSetRenderTargets(uint32_t count, const D3D12_CPU_DESCRIPTOR_HANDLE *rtvs,
                                                   int32_t, const D3D12_CPU_DESCRIPTOR_HANDLE *) {
    D3D12Command c;
    c.op = OP_TARGET;
    c.u[0] = count && rtvs ? 1 : 0;
    c.handle = c.u[0] ? rtvs[0].ptr : 0;
    record(std::move(c));
}

void ID3D12GraphicsCommandList::ClearRenderTargetView(D3D12_CPU_DESCRIPTOR_HANDLE rtv, const float rgba[4],
                                                      uint32_t rects, const D3D12_RECT *) {
    if (!rgba || rects != 0) {
        fault("ClearRenderTargetView: no colour, or rectangles (unsupported)");
        return;
    }
    D3D12Command c;
    c.op = OP_CLEAR;
    c.handle = rtv.ptr;
    for (int i = 0; i < 4; i++) c.f[i] = rgba[i];
    record(std::move(c));
}

void ID3D12GraphicsCommandList::SetGraphicsRootSignature(ID3D12RootSignature *root) {
    D3D12Command c;
    c.op = OP_ROOT;
    c.obj[0] = Ref(root);
    record(std::move(c));
}

void ID3D12GraphicsCommandList::SetDescriptorHeaps(uint32_t count, ID3D12DescriptorHeap *const *heaps) {
    if (count > 2 || (count && !heaps)) {
        fault("SetDescriptorHeaps: at most one heap of each shader-visible type");
        return;
    }
    D3D12Command c;
    c.op = OP_HEAPS;
    for (uint32_t i = 0; i < count; i++) c.obj[i] = Ref(heaps[i]);
    record(std::move(c));
}

void ID3D12GraphicsCommandList::SetGraphicsRootDescriptorTable(uint32_t index,
                                                               D3D12_GPU_DESCRIPTOR_HANDLE base) {
    D3D12Command c;
    c.op = OP_TABLE;
    c.u[0] = index;
    c.handle = base.ptr;
    record(std::move(c));
}

void ID3D12GraphicsCommandList::SetGraphicsRoot32BitConstants(uint32_t index, uint32_t count,
                                                              const void *data, uint32_t offset) {
    if (!data || count == 0 || uint64_t(offset) + count > MAX_ROOT_CONSTANTS) {
        fault("SetGraphicsRoot32BitConstants: no data or out of range");
        return;
    }
    D3D12Command c;
    c.op = OP_CONSTANTS;
    c.u[0] = index;
    c.u[1] = offset;
    c.values.assign(static_cast<const uint32_t *>(data), static_cast<const uint32_t *>(data) + count);
    record(std::move(c));
}

void ID3D12GraphicsCommandList::SetPipelineState(ID3D12PipelineState *pso) {
    D3D12Command c;
    c.op = OP_PSO;
    c.obj[0] = Ref(pso);
    record(std::move(c));
}

void ID3D12GraphicsCommandList::IASetVertexBuffers(uint32_t slot, uint32_t count,
                                                   const D3D12_VERTEX_BUFFER_VIEW *views) {
    if (slot != 0 || count == 0 || !views) return;
    D3D12Command c;
    c.op = OP_VB;
    c.vb = views[0];
    record(std::move(c));
}

void ID3D12GraphicsCommandList::IASetIndexBuffer(const D3D12_INDEX_BUFFER_VIEW *view) {
    D3D12Command c;
    c.op = OP_IB;
    if (view) c.ib = *view;
    record(std::move(c));
}

void ID3D12GraphicsCommandList::IASetPrimitiveTopology(uint32_t topology) {
    D3D12Command c;
    c.op = OP_TOPOLOGY;
    c.u[0] = topology;
    record(std::move(c));
}

void ID3D12GraphicsCommandList::OMSetBlendFactor(const float factor[4]) {
    D3D12Command c;
    c.op = OP_BLEND_FACTOR;
    for (int i = 0; factor && i < 4; i++) c.f[i] = factor[i];
    record(std::move(c));
}

void ID3D12GraphicsCommandList::DrawIndexedInstanced(uint32_t count, uint32_t instances, uint32_t start,
                                                     int32_t base, uint32_t) {
    D3D12Command c;
    c.op = OP_DRAW;
    c.u[0] = count;
    c.u[1] = instances;
    c.u[2] = start;
    c.u[3] = uint32_t(base);
    c.u[4] = fast_path_ ? 1 : 0;
    record(std::move(c));
}

// ---- Execution ----

// The pipeline state while one command list is carried out.
struct D3D12Exec {
    ID3D12RootSignature *root = nullptr;  // kept alive by the stream's references
    ID3D12PipelineState *pso = nullptr;
    ID3D12DescriptorHeap *heaps[2] = {};  // CBV/SRV/UAV, sampler
    uint64_t tables[MAX_ROOT_PARAMS] = {};
    uint32_t table_set = 0;  // bits
    uint32_t constants[MAX_ROOT_PARAMS][MAX_ROOT_CONSTANTS] = {};
    bool has_vp = false, has_scissor = false, has_rtv = false;
    D3D12_VIEWPORT vp{};
    D3D12_RECT scissor{};
    size_t rtv = 0;
    D3D12_VERTEX_BUFFER_VIEW vb{};
    D3D12_INDEX_BUFFER_VIEW ib{};
    uint32_t topology = 0;

    void run(const D3D12Command &c);
    void barrier(const D3D12Command &c);
    void copy_region(const D3D12Command &c);
    void copy_resource(const D3D12Command &c);
    bool target(size_t handle, const char *what, D3DRasterTarget *t);
    void draw(const D3D12Command &c);
    bool bind(uint32_t stage, D3DBindings *b, D3DPlaneView planes[D3D_SRV_SLOTS], bool *sampler_set);
};

void D3D12Exec::run(const D3D12Command &c) {
    switch (c.op) {
        case OP_BARRIER:
            return barrier(c);
        case OP_COPY_REGION:
            return copy_region(c);
        case OP_COPY_RESOURCE:
            return copy_resource(c);
        case OP_VIEWPORT:
            has_vp = c.u[0] != 0;
            vp = {c.f[0], c.f[1], c.f[2], c.f[3], c.f[4], c.f[5]};
            return;
        case OP_SCISSOR:
            has_scissor = c.u[0] != 0;
            scissor = {int32_t(c.u[1]), int32_t(c.u[2]), int32_t(c.u[3]), int32_t(c.u[4])};
            return;
        case OP_TARGET:
            has_rtv = c.u[0] != 0;
            rtv = c.handle;
            return;
        case OP_CLEAR: {
            D3DRasterTarget t;
            if (target(c.handle, "ClearRenderTargetView", &t)) d3d_raster_clear(t, c.f);
            return;
        }
        case OP_ROOT:
            // A new root signature drops every root argument.
            root = static_cast<ID3D12RootSignature *>(c.obj[0].p);
            table_set = 0;
            return;
        case OP_HEAPS:
            heaps[0] = heaps[1] = nullptr;
            for (const Ref &r : c.obj) {
                auto *h = static_cast<ID3D12DescriptorHeap *>(r.p);
                if (!h) continue;
                if (!(h->desc_.Flags & D3D12_DESCRIPTOR_HEAP_FLAG_SHADER_VISIBLE) ||
                    h->desc_.Type > D3D12_DESCRIPTOR_HEAP_TYPE_SAMPLER) {
                    fault("SetDescriptorHeaps: a heap that is not shader visible");
                    continue;
                }
                heaps[h->desc_.Type] = h;
            }
            return;
        case OP_TABLE:
            if (c.u[0] < MAX_ROOT_PARAMS) {
                tables[c.u[0]] = c.handle;
                table_set |= 1u << c.u[0];
            }
            return;
        case OP_CONSTANTS:
            if (c.u[0] < MAX_ROOT_PARAMS)
                memcpy(&constants[c.u[0]][c.u[1]], c.values.data(), c.values.size() * 4);
            return;
        case OP_PSO:
            pso = static_cast<ID3D12PipelineState *>(c.obj[0].p);
            return;
        case OP_VB:
            vb = c.vb;
            return;
        case OP_IB:
            ib = c.ib;
            return;
        case OP_TOPOLOGY:
            topology = c.u[0];
            return;
        case OP_BLEND_FACTOR:
            return;
        case OP_DRAW:
            return draw(c);
    }
}

void D3D12Exec::barrier(const D3D12Command &c) {
    ID3D12Resource *r = live(c.serial[0]);
    if (!r) {
        fault("ResourceBarrier: the resource was released before execution");
        return;
    }
    if (c.u[2] != D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES && c.u[2] != 0)
        fault("ResourceBarrier: subresource %u does not exist", c.u[2]);
    const uint32_t now = r->state_.load();
    if (now != c.u[0])
        fault("ResourceBarrier: state before is 0x%X but the resource is in 0x%X", c.u[0], now);
    r->state_ = c.u[1];
}

namespace {

// Where a copy location's pixels are: the first byte, the row pitch, the size
// and format of the region it can hold.
struct CopySide {
    ID3D12Resource *res;
    uint8_t *data;
    uint32_t pitch, width, height;
    DXGI_FORMAT format;
    bool ok;
};

CopySide copy_side(const D3D12_TEXTURE_COPY_LOCATION &loc, uint64_t serial, const char *what) {
    CopySide s{};
    s.res = live(serial);
    if (!s.res) {
        fault("%s: the resource was released before execution", what);
        return s;
    }
    D3D12_RESOURCE_DESC d;
    s.res->GetDesc(&d);
    if (loc.Type == D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT) {
        const D3D12_SUBRESOURCE_FOOTPRINT &f = loc.PlacedFootprint.Footprint;
        const uint32_t bpp = d3d_format_bpp(f.Format);
        if (d.Dimension != D3D12_RESOURCE_DIMENSION_BUFFER || !bpp || f.Depth != 1 || f.Width == 0 ||
            f.Height == 0 || f.RowPitch % D3D12_TEXTURE_DATA_PITCH_ALIGNMENT ||
            loc.PlacedFootprint.Offset % D3D12_TEXTURE_DATA_PLACEMENT_ALIGNMENT ||
            uint64_t(f.Width) * bpp > f.RowPitch ||
            loc.PlacedFootprint.Offset + uint64_t(f.RowPitch) * (f.Height - 1) + uint64_t(f.Width) * bpp >
                s.res->bytes()) {
            fault("%s: the placed footprint does not fit its buffer or is misaligned", what);
            return s;
        }
        s.data = s.res->data() + loc.PlacedFootprint.Offset;
        s.pitch = f.RowPitch;
        s.width = f.Width;
        s.height = f.Height;
        s.format = f.Format;
    } else {
        if (d.Dimension != D3D12_RESOURCE_DIMENSION_TEXTURE2D || loc.SubresourceIndex != 0) {
            fault("%s: subresource %u of a resource that is not a texture", what, loc.SubresourceIndex);
            return s;
        }
        s.data = s.res->data();
        s.pitch = s.res->pitch();
        s.width = uint32_t(d.Width);
        s.height = d.Height;
        s.format = d.Format;
    }
    s.ok = true;
    return s;
}

bool readable_for_copy(ID3D12Resource *r) {
    return (r->state() & D3D12_RESOURCE_STATE_COPY_SOURCE) || r->heap_type() == D3D12_HEAP_TYPE_UPLOAD;
}

}  // namespace

void D3D12Exec::copy_region(const D3D12Command &c) {
    const char *what = "CopyTextureRegion";
    CopySide dst = copy_side(c.loc[0], c.serial[0], what), src = copy_side(c.loc[1], c.serial[1], what);
    if (!dst.ok || !src.ok) return;
    if (dst.res->state() != D3D12_RESOURCE_STATE_COPY_DEST) {
        fault("%s: the destination is in state 0x%X, not COPY_DEST", what, dst.res->state());
        return;
    }
    if (!readable_for_copy(src.res)) {
        fault("%s: the source is in state 0x%X, not COPY_SOURCE", what, src.res->state());
        return;
    }
    const uint32_t bpp = d3d_format_bpp(dst.format);
    if (bpp != d3d_format_bpp(src.format)) {
        fault("%s: formats of different sizes", what);
        return;
    }
    D3D12_BOX b = c.has_box ? c.box : D3D12_BOX{0, 0, 0, src.width, src.height, 1};
    if (b.right <= b.left || b.bottom <= b.top || b.right > src.width || b.bottom > src.height ||
        uint64_t(c.u[0]) + (b.right - b.left) > dst.width ||
        uint64_t(c.u[1]) + (b.bottom - b.top) > dst.height) {
        fault("%s: the region does not fit", what);
        return;
    }
    const size_t row = size_t(b.right - b.left) * bpp;
    for (uint32_t y = 0; y < b.bottom - b.top; y++)
        memmove(dst.data + size_t(c.u[1] + y) * dst.pitch + size_t(c.u[0]) * bpp,
                src.data + size_t(b.top + y) * src.pitch + size_t(b.left) * bpp, row);
}

void D3D12Exec::copy_resource(const D3D12Command &c) {
    ID3D12Resource *dst = live(c.serial[0]), *src = live(c.serial[1]);
    if (!dst || !src) {
        fault("CopyResource: the resource was released before execution");
        return;
    }
    if (dst->state() != D3D12_RESOURCE_STATE_COPY_DEST || !readable_for_copy(src)) {
        fault("CopyResource: states 0x%X -> 0x%X, not COPY_SOURCE -> COPY_DEST", src->state(), dst->state());
        return;
    }
    D3D12_RESOURCE_DESC a, b;
    dst->GetDesc(&a);
    src->GetDesc(&b);
    if (a.Dimension != b.Dimension || a.Width != b.Width || a.Height != b.Height ||
        d3d_format_bpp(a.Format) != d3d_format_bpp(b.Format)) {
        fault("CopyResource: resources of different shapes");
        return;
    }
    if (a.Dimension == D3D12_RESOURCE_DIMENSION_BUFFER) {
        memmove(dst->data(), src->data(), size_t(a.Width));
        return;
    }
    const size_t row = size_t(a.Width) * d3d_format_bpp(a.Format);
    for (uint32_t y = 0; y < a.Height; y++)
        memmove(dst->data() + size_t(y) * dst->pitch(), src->data() + size_t(y) * src->pitch(), row);
}

bool D3D12Exec::target(size_t handle, const char *what, D3DRasterTarget *t) {
    D3D12Descriptor d;
    if (!read_descriptor(handle, &d, nullptr, what)) return false;
    if (d.kind != DESC_RTV) {
        fault("%s: the handle holds no render target view", what);
        return false;
    }
    ID3D12Resource *r = live(d.serial);
    if (!r) {
        fault("%s: the render target was released", what);
        return false;
    }
    if (r->state() != D3D12_RESOURCE_STATE_RENDER_TARGET) {
        fault("%s: the render target is in state 0x%X, not RENDER_TARGET", what, r->state());
        return false;
    }
    D3D12_RESOURCE_DESC rd;
    r->GetDesc(&rd);
    t->data = r->data();
    t->pitch = r->pitch();
    t->width = uint32_t(rd.Width);
    t->height = rd.Height;
    t->bgra = d.format != DXGI_FORMAT_R8G8B8A8_UNORM;
    return true;
}

// Fills what one stage sees from the root signature's parameters.
bool D3D12Exec::bind(uint32_t stage, D3DBindings *b, D3DPlaneView planes[D3D_SRV_SLOTS], bool *sampler_set) {
    const uint32_t vis = stage == 0 ? D3D12_SHADER_VISIBILITY_VERTEX : D3D12_SHADER_VISIBILITY_PIXEL;
    const D3D12RootLayout &l = *root->layout_;
    for (uint32_t i = 0; i < l.params.size(); i++) {
        const D3D12RootParam &p = l.params[i];
        if (p.visibility != D3D12_SHADER_VISIBILITY_ALL && p.visibility != vis) continue;
        if (p.type == D3D12_ROOT_PARAMETER_TYPE_32BIT_CONSTANTS) {
            if (p.constants.ShaderRegister != 0) continue;
            const uint8_t *bytes = reinterpret_cast<const uint8_t *>(constants[i]);
            (stage == 0 ? b->vs_cb : b->ps_cb) = bytes;
            (stage == 0 ? b->vs_cb_size : b->ps_cb_size) = p.constants.Num32BitValues * 4;
            continue;
        }
        if (!(table_set & (1u << i))) {
            fault("DrawIndexedInstanced: root table %u was not set", i);
            return false;
        }
        uint32_t offset = 0;
        for (const D3D12_DESCRIPTOR_RANGE &g : p.ranges) {
            const bool sampler = g.RangeType == D3D12_DESCRIPTOR_RANGE_TYPE_SAMPLER;
            ID3D12DescriptorHeap *h = heaps[sampler ? 1 : 0];
            if (!h || tables[i] < h->gpu_base_ || (tables[i] - h->gpu_base_) % DESC_INC) {
                fault("DrawIndexedInstanced: root table %u is not in a bound heap", i);
                return false;
            }
            if (g.OffsetInDescriptorsFromTableStart != D3D12_DESCRIPTOR_RANGE_OFFSET_APPEND)
                offset = g.OffsetInDescriptorsFromTableStart;
            const uint64_t first = (tables[i] - h->gpu_base_) / DESC_INC + offset;
            if (first + g.NumDescriptors > h->desc_.NumDescriptors) {
                fault("DrawIndexedInstanced: root table %u runs past its heap", i);
                return false;
            }
            for (uint32_t k = 0; k < g.NumDescriptors; k++) {
                D3D12Descriptor d;
                {
                    std::lock_guard<std::mutex> lock(g_mutex);
                    d = h->slots_[first + k];
                }
                const uint32_t reg = g.BaseShaderRegister + k;
                if (d.kind == DESC_NONE) {
                    fault("DrawIndexedInstanced: root table %u reads unwritten descriptor %llu", i,
                          (unsigned long long)(first + k));
                    continue;
                }
                if (g.RangeType == D3D12_DESCRIPTOR_RANGE_TYPE_SAMPLER) {
                    if (d.kind != DESC_SAMPLER) continue;
                    if (reg == 0 && stage == 1) {
                        b->sampler = d.sampler;
                        *sampler_set = true;
                    }
                } else if (g.RangeType == D3D12_DESCRIPTOR_RANGE_TYPE_SRV) {
                    if (d.kind != DESC_SRV && d.kind != DESC_NULL_SRV) {
                        fault("DrawIndexedInstanced: descriptor %llu is not a shader resource view",
                              (unsigned long long)(first + k));
                        continue;
                    }
                    if (d.kind == DESC_NULL_SRV || stage != 1 || reg >= D3D_SRV_SLOTS) continue;
                    ID3D12Resource *r = live(d.serial);
                    if (!r) {
                        fault("DrawIndexedInstanced: a sampled texture was released");
                        continue;
                    }
                    if (!(r->state() & D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE))
                        fault(
                            "DrawIndexedInstanced: a sampled texture is in state 0x%X, not "
                            "PIXEL_SHADER_RESOURCE",
                            r->state());
                    D3D12_RESOURCE_DESC rd;
                    r->GetDesc(&rd);
                    planes[reg] = {r->data(), r->pitch(), uint32_t(rd.Width), rd.Height, d.format};
                    b->srv[reg] = &planes[reg];
                } else if (g.RangeType == D3D12_DESCRIPTOR_RANGE_TYPE_CBV) {
                    if (d.kind != DESC_CBV) {
                        fault("DrawIndexedInstanced: descriptor %llu is not a constant buffer view",
                              (unsigned long long)(first + k));
                        continue;
                    }
                    uint64_t off = 0;
                    ID3D12Resource *r = buffer_at(d.va, &off);
                    if (!r || reg != 0) continue;
                    (stage == 0 ? b->vs_cb : b->ps_cb) = r->data() + off;
                    (stage == 0 ? b->vs_cb_size : b->ps_cb_size) =
                        uint32_t(std::min<uint64_t>(d.size, r->bytes() - off));
                }
            }
            offset += g.NumDescriptors;
        }
    }
    for (const D3D12_STATIC_SAMPLER_DESC &s : l.samplers) {
        if (stage != 1 || s.ShaderRegister != 0 ||
            (s.ShaderVisibility != D3D12_SHADER_VISIBILITY_ALL && s.ShaderVisibility != vis))
            continue;
        b->sampler = {s.Filter,        s.AddressU,       s.AddressV,   s.AddressW, s.MipLODBias,
                      s.MaxAnisotropy, s.ComparisonFunc, {0, 0, 0, 0}, s.MinLOD,   s.MaxLOD};
        *sampler_set = true;
    }
    return true;
}

void D3D12Exec::draw(const D3D12Command &c) {
    const char *what = "DrawIndexedInstanced";
    if (!root || !pso) {
        fault("%s: no root signature or pipeline state", what);
        return;
    }
    if (pso->desc_.pRootSignature != root) {
        fault("%s: the pipeline was made for another root signature", what);
        return;
    }
    if (topology != D3D_PRIMITIVE_TOPOLOGY_TRIANGLELIST) {
        fault("%s: the topology is not a triangle list", what);
        return;
    }
    if (!has_rtv) {
        fault("%s: no render target", what);
        return;
    }
    D3DRasterTarget t;
    if (!target(rtv, what, &t)) return;
    if (!has_vp) {
        fault("%s: no viewport", what);
        return;
    }
    uint64_t voff = 0, ioff = 0;
    ID3D12Resource *vr = buffer_at(vb.BufferLocation, &voff), *ir = buffer_at(ib.BufferLocation, &ioff);
    if (!vr || !ir || vb.StrideInBytes == 0 ||
        (ib.Format != DXGI_FORMAT_R16_UINT && ib.Format != DXGI_FORMAT_R32_UINT)) {
        fault("%s: vertex or index buffer view names no buffer", what);
        return;
    }
    const uint64_t vbytes = std::min<uint64_t>(vb.SizeInBytes, vr->bytes() - voff);
    const uint64_t ibytes = std::min<uint64_t>(ib.SizeInBytes, ir->bytes() - ioff);
    const bool idx32 = ib.Format == DXGI_FORMAT_R32_UINT;
    const uint64_t isz = idx32 ? 4 : 2;
    const uint32_t count = c.u[0], start = c.u[2];
    if ((uint64_t(start) + count) * isz > ibytes) {
        fault("%s: indices %u..%u run past the index buffer", what, start, start + count);
        return;
    }
    D3DBindings b{};
    D3DPlaneView planes[D3D_SRV_SLOTS] = {};
    bool sampler_set = false;
    if (!bind(0, &b, planes, &sampler_set) || !bind(1, &b, planes, &sampler_set)) return;
    if (!sampler_set) {
        b.sampler = {};
        b.sampler.AddressU = b.sampler.AddressV = b.sampler.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
    }
    const D3D12_GRAPHICS_PIPELINE_STATE_DESC &pd = pso->desc_;
    D3DRasterState st{};
    st.vp_x = vp.TopLeftX;
    st.vp_y = vp.TopLeftY;
    st.vp_w = vp.Width;
    st.vp_h = vp.Height;
    st.scissor_on = true;  // always, in Direct3D 12; none set is an empty rectangle
    st.scissor = has_scissor ? scissor : D3D12_RECT{0, 0, 0, 0};
    st.cull = pd.RasterizerState.CullMode;
    st.front_ccw = pd.RasterizerState.FrontCounterClockwise != 0;
    const D3D12_RENDER_TARGET_BLEND_DESC &rb = pd.BlendState.RenderTarget[0];
    st.blend_on = rb.BlendEnable != 0;
    st.blend = {rb.BlendEnable,   rb.SrcBlend,       rb.DestBlend,    rb.BlendOp,
                rb.SrcBlendAlpha, rb.DestBlendAlpha, rb.BlendOpAlpha, rb.RenderTargetWriteMask};
    st.fast_path = c.u[4] != 0;
    for (uint32_t n = 0; n < std::max(c.u[1], 1u); n++)
        d3d_raster_draw(t, st, b, pso->vs_, pso->ps_, vr->data() + voff, vb.StrideInBytes, vbytes,
                        ir->data() + ioff + start * isz, idx32, count, int32_t(c.u[3]));
}

// ---- Queue ----

struct ID3D12CommandQueue::Worker {
    struct Item {
        D3D12CommandStream stream;
        ID3D12CommandAllocator *allocator = nullptr;  // referenced
        ID3D12Fence *fence = nullptr;                 // referenced
        uint64_t value = 0;
    };
    std::mutex mutex;
    std::condition_variable cond;
    std::deque<Item> items;  // under mutex
    bool stop = false;       // under mutex
    bool busy = false;       // under mutex: an item is being carried out
    std::thread thread;
};

namespace {

void carry_out(D3D12CommandStream &s) {
    D3D12Exec e;
    for (const D3D12Command &c : s.cmds) e.run(c);
}

}  // namespace

ID3D12CommandQueue::ID3D12CommandQueue(ID3D12Device *device) : device_(device) {
    device_->AddRef();
}

ID3D12CommandQueue::~ID3D12CommandQueue() {
    set_deferred(false);
    device_->Release();
}

void ID3D12CommandQueue::set_deferred(bool on) {
    if (on == (worker_ != nullptr)) return;
    if (on) {
        worker_ = new Worker();
        Worker *w = worker_;
        w->thread = std::thread([w] {
            std::unique_lock<std::mutex> lock(w->mutex);
            for (;;) {
                w->cond.wait(lock, [w] { return w->stop || !w->items.empty(); });
                if (w->items.empty()) return;
                Worker::Item it = std::move(w->items.front());
                w->items.pop_front();
                w->busy = true;
                lock.unlock();
                carry_out(it.stream);
                it.stream.cmds.clear();
                if (it.allocator) {
                    it.allocator->pending_--;
                    it.allocator->Release();
                }
                if (it.fence) {
                    it.fence->reach(it.value);
                    it.fence->Release();
                }
                lock.lock();
                w->busy = false;
                w->cond.notify_all();
            }
        });
        return;
    }
    Worker *w = worker_;
    {
        std::lock_guard<std::mutex> lock(w->mutex);
        w->stop = true;  // what is queued is still carried out
    }
    w->cond.notify_all();
    w->thread.join();
    delete w;
    worker_ = nullptr;
}

void ID3D12CommandQueue::drain() {
    Worker *w = worker_;
    if (!w) return;
    std::unique_lock<std::mutex> lock(w->mutex);
    w->cond.wait(lock, [w] { return w->items.empty() && !w->busy; });
}

void ID3D12CommandQueue::submit(D3D12CommandStream *work, ID3D12CommandAllocator *allocator,
                                ID3D12Fence *fence, uint64_t value) {
    if (!worker_) {
        if (work) carry_out(*work);
        if (fence) fence->reach(value);
        return;
    }
    Worker::Item it;
    if (work) it.stream = *work;
    if (allocator) {
        allocator->AddRef();
        allocator->pending_++;
    }
    if (fence) fence->AddRef();
    it.allocator = allocator;
    it.fence = fence;
    it.value = value;
    {
        std::lock_guard<std::mutex> lock(worker_->mutex);
        worker_->items.push_back(std::move(it));
    }
    worker_->cond.notify_all();
}

void ID3D12CommandQueue::ExecuteCommandLists(uint32_t count, ID3D12CommandList *const *lists) {
    if (removed(device_) < 0) return;
    for (uint32_t i = 0; lists && i < count; i++) {
        auto *l = dynamic_cast<ID3D12GraphicsCommandList *>(lists[i]);
        if (!l) {
            fault("ExecuteCommandLists: not a graphics command list");
            continue;
        }
        if (l->open_) {
            fault("ExecuteCommandLists: the command list was not closed");
            continue;
        }
        executed_++;
        submit(l->stream_, l->allocator_, nullptr, 0);
    }
}

HRESULT ID3D12CommandQueue::Signal(ID3D12Fence *fence, uint64_t value) {
    if (!fence) return E_INVALIDARG;
    if (HRESULT hr = removed(device_); hr < 0) return hr;
    if (HRESULT hr = d3d_fault("ID3D12CommandQueue_Signal")) return hr;
    submit(nullptr, nullptr, fence, value);
    return S_OK;
}

HRESULT ID3D12CommandQueue::QueryInterface(D3DObject **out) {
    return d3d_query_self(this, out, "ID3D12CommandQueue_QueryInterface");
}

// ---- Device ----

HRESULT D3D12CreateDevice(D3DObject *, uint32_t minimum_level, ID3D12Device **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (minimum_level < D3D_FEATURE_LEVEL_11_0 || minimum_level > D3D_FEATURE_LEVEL_12_1) return E_INVALIDARG;
    if (HRESULT hr = d3d_fault("D3D12CreateDevice")) return hr;
    *out = new ID3D12Device();
    return S_OK;
}

HRESULT ID3D12Device::GetDeviceRemovedReason() {
    return removed_.load();
}

#define D3D12_CHECK(name)                                       \
    do {                                                        \
        if (HRESULT hr_ = removed_.load(); hr_ < 0) return hr_; \
        if (HRESULT hr_ = d3d_fault(name)) return hr_;          \
    } while (0)

HRESULT ID3D12Device::CreateCommandQueue(const D3D12_COMMAND_QUEUE_DESC *desc, ID3D12CommandQueue **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!desc || desc->Type != D3D12_COMMAND_LIST_TYPE_DIRECT) return E_INVALIDARG;
    D3D12_CHECK("ID3D12Device_CreateCommandQueue");
    *out = new ID3D12CommandQueue(this);
    return S_OK;
}

HRESULT ID3D12Device::CreateCommandAllocator(uint32_t type, ID3D12CommandAllocator **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (type != D3D12_COMMAND_LIST_TYPE_DIRECT) return E_INVALIDARG;
    D3D12_CHECK("ID3D12Device_CreateCommandAllocator");
    *out = new ID3D12CommandAllocator();
    return S_OK;
}

HRESULT ID3D12Device::CreateCommandList(uint32_t, uint32_t type, ID3D12CommandAllocator *allocator,
                                        ID3D12PipelineState *, ID3D12GraphicsCommandList **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (type != D3D12_COMMAND_LIST_TYPE_DIRECT || !allocator) return E_INVALIDARG;
    D3D12_CHECK("ID3D12Device_CreateCommandList");
    *out = new ID3D12GraphicsCommandList(allocator, fast_path_);
    return S_OK;
}

HRESULT ID3D12Device::CreateDescriptorHeap(const D3D12_DESCRIPTOR_HEAP_DESC *desc,
                                           ID3D12DescriptorHeap **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!desc || desc->Type > D3D12_DESCRIPTOR_HEAP_TYPE_RTV || desc->NumDescriptors == 0 ||
        desc->NumDescriptors > (1u << 20) ||
        ((desc->Flags & D3D12_DESCRIPTOR_HEAP_FLAG_SHADER_VISIBLE) &&
         desc->Type == D3D12_DESCRIPTOR_HEAP_TYPE_RTV))
        return E_INVALIDARG;
    D3D12_CHECK("ID3D12Device_CreateDescriptorHeap");
    *out = new ID3D12DescriptorHeap(*desc);
    return S_OK;
}

uint32_t ID3D12Device::GetDescriptorHandleIncrementSize(uint32_t) {
    return DESC_INC;
}

HRESULT ID3D12Device::CreateFence(uint64_t initial, uint32_t flags, ID3D12Fence **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (flags != D3D12_FENCE_FLAG_NONE) return E_INVALIDARG;
    D3D12_CHECK("ID3D12Device_CreateFence");
    *out = new ID3D12Fence(initial);
    return S_OK;
}

HRESULT ID3D12Device::CreateRootSignature(uint32_t, const void *blob, size_t size,
                                          ID3D12RootSignature **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    D3D12_CHECK("ID3D12Device_CreateRootSignature");
    D3D12RootLayout *l = parse_root(blob, size);
    if (!l) return E_INVALIDARG;
    *out = new ID3D12RootSignature(l);
    return S_OK;
}

HRESULT ID3D12Device::CreateGraphicsPipelineState(const D3D12_GRAPHICS_PIPELINE_STATE_DESC *desc,
                                                  ID3D12PipelineState **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!desc || !desc->pRootSignature) return E_INVALIDARG;
    D3DShaderBlob vs, ps;
    if (!d3d_shader_blob(desc->VS.pShaderBytecode, desc->VS.BytecodeLength, 0, &vs) ||
        !d3d_shader_blob(desc->PS.pShaderBytecode, desc->PS.BytecodeLength, 1, &ps))
        return E_INVALIDARG;
    const D3D12_INPUT_LAYOUT_DESC &il = desc->InputLayout;
    if (!il.pInputElementDescs || il.NumElements == 0 || il.NumElements > 16) return E_INVALIDARG;
    uint32_t stride = 0;
    for (uint32_t i = 0; i < il.NumElements; i++) {
        const uint32_t bpp = d3d_format_bpp(il.pInputElementDescs[i].Format);
        if (!il.pInputElementDescs[i].SemanticName || !bpp || il.pInputElementDescs[i].InputSlot != 0)
            return E_INVALIDARG;
        stride = std::max(stride, il.pInputElementDescs[i].AlignedByteOffset + bpp);
    }
    const D3D12_RASTERIZER_DESC &r = desc->RasterizerState;
    const D3D12_RENDER_TARGET_BLEND_DESC &b = desc->BlendState.RenderTarget[0];
    auto blend_ok = [](uint32_t f) { return f >= 1 && f <= 17; };
    if (r.FillMode != D3D11_FILL_SOLID || r.CullMode < D3D11_CULL_NONE || r.CullMode > D3D11_CULL_BACK ||
        desc->PrimitiveTopologyType != D3D12_PRIMITIVE_TOPOLOGY_TYPE_TRIANGLE ||
        desc->NumRenderTargets != 1 || d3d_format_bpp(desc->RTVFormats[0]) != 4 ||
        desc->SampleDesc.Count != 1 || desc->DepthStencilState.DepthEnable ||
        desc->DepthStencilState.StencilEnable || b.LogicOpEnable ||
        (b.BlendEnable && (!blend_ok(b.SrcBlend) || !blend_ok(b.DestBlend) || !blend_ok(b.SrcBlendAlpha) ||
                           !blend_ok(b.DestBlendAlpha) || b.BlendOp != D3D11_BLEND_OP_ADD ||
                           b.BlendOpAlpha != D3D11_BLEND_OP_ADD)))
        return E_INVALIDARG;
    D3D12_CHECK("ID3D12Device_CreateGraphicsPipelineState");
    *out = new ID3D12PipelineState(*desc, vs.vs, ps.ps, stride);
    return S_OK;
}

HRESULT ID3D12Device::CreateCommittedResource(const D3D12_HEAP_PROPERTIES *heap, uint32_t,
                                              const D3D12_RESOURCE_DESC *desc, uint32_t state, const void *,
                                              ID3D12Resource **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!heap || !desc || heap->Type < D3D12_HEAP_TYPE_DEFAULT || heap->Type > D3D12_HEAP_TYPE_READBACK ||
        desc->SampleDesc.Count != 1 || desc->DepthOrArraySize != 1 || desc->MipLevels != 1)
        return E_INVALIDARG;
    if (desc->Dimension == D3D12_RESOURCE_DIMENSION_BUFFER) {
        if (desc->Width == 0 || desc->Width > (1u << 30) || desc->Height != 1 ||
            desc->Format != DXGI_FORMAT_UNKNOWN || desc->Layout != D3D12_TEXTURE_LAYOUT_ROW_MAJOR)
            return E_INVALIDARG;
    } else if (desc->Dimension == D3D12_RESOURCE_DIMENSION_TEXTURE2D) {
        if (desc->Width == 0 || desc->Width > 16384 || desc->Height == 0 || desc->Height > 16384 ||
            !d3d_format_bpp(desc->Format) || desc->Layout != D3D12_TEXTURE_LAYOUT_UNKNOWN ||
            heap->Type != D3D12_HEAP_TYPE_DEFAULT)
            return E_INVALIDARG;
    } else {
        return E_INVALIDARG;
    }
    // CPU-visible heaps have one state for life.
    if ((heap->Type == D3D12_HEAP_TYPE_UPLOAD && state != D3D12_RESOURCE_STATE_GENERIC_READ) ||
        (heap->Type == D3D12_HEAP_TYPE_READBACK && state != D3D12_RESOURCE_STATE_COPY_DEST))
        return E_INVALIDARG;
    D3D12_CHECK("ID3D12Device_CreateCommittedResource");
    auto *r = new ID3D12Resource(*desc, heap->Type, state);
    return hand_out(r, make_storage(r, *desc, false, &r->storage_), out);
}

void ID3D12Device::CreateShaderResourceView(ID3D12Resource *resource,
                                            const D3D12_SHADER_RESOURCE_VIEW_DESC *desc,
                                            D3D12_CPU_DESCRIPTOR_HANDLE at) {
    const char *what = "CreateShaderResourceView";
    D3D12Descriptor d{};
    if (desc && (desc->ViewDimension != D3D12_SRV_DIMENSION_TEXTURE2D ||
                 desc->Texture2D.MostDetailedMip != 0 || desc->Texture2D.MipLevels != 1 ||
                 desc->Shader4ComponentMapping != D3D12_DEFAULT_SHADER_4_COMPONENT_MAPPING)) {
        fault("%s: unsupported view description", what);
        return;
    }
    if (!resource) {
        if (!desc) {
            fault("%s: a null view needs a description", what);
            return;
        }
        d.kind = DESC_NULL_SRV;
        d.format = desc->Format;
    } else {
        D3D12_RESOURCE_DESC rd;
        resource->GetDesc(&rd);
        const DXGI_FORMAT f = desc ? desc->Format : rd.Format;
        if (rd.Dimension != D3D12_RESOURCE_DIMENSION_TEXTURE2D ||
            d3d_format_bpp(f) != d3d_format_bpp(rd.Format)) {
            fault("%s: the view does not fit the resource", what);
            return;
        }
        d.kind = DESC_SRV;
        d.format = f;
        d.serial = resource->serial();
    }
    write_descriptor(at.ptr, D3D12_DESCRIPTOR_HEAP_TYPE_CBV_SRV_UAV, d, what);
}

void ID3D12Device::CreateConstantBufferView(const D3D12_CONSTANT_BUFFER_VIEW_DESC *desc,
                                            D3D12_CPU_DESCRIPTOR_HANDLE at) {
    const char *what = "CreateConstantBufferView";
    uint64_t off = 0;
    ID3D12Resource *r = desc ? buffer_at(desc->BufferLocation, &off) : nullptr;
    if (!r || desc->SizeInBytes == 0 || desc->SizeInBytes % D3D12_CONSTANT_BUFFER_DATA_PLACEMENT_ALIGNMENT ||
        off % D3D12_CONSTANT_BUFFER_DATA_PLACEMENT_ALIGNMENT || off + desc->SizeInBytes > r->bytes()) {
        fault("%s: the view does not fit a buffer or is misaligned", what);
        return;
    }
    D3D12Descriptor d{};
    d.kind = DESC_CBV;
    d.va = desc->BufferLocation;
    d.size = desc->SizeInBytes;
    write_descriptor(at.ptr, D3D12_DESCRIPTOR_HEAP_TYPE_CBV_SRV_UAV, d, what);
}

void ID3D12Device::CreateSampler(const D3D12_SAMPLER_DESC *desc, D3D12_CPU_DESCRIPTOR_HANDLE at) {
    auto address_ok = [](uint32_t a) { return a >= 1 && a <= 5; };
    if (!desc || !address_ok(desc->AddressU) || !address_ok(desc->AddressV) || !address_ok(desc->AddressW)) {
        fault("CreateSampler: bad description");
        return;
    }
    D3D12Descriptor d{};
    d.kind = DESC_SAMPLER;
    d.sampler = *desc;
    write_descriptor(at.ptr, D3D12_DESCRIPTOR_HEAP_TYPE_SAMPLER, d, "CreateSampler");
}

void ID3D12Device::CreateRenderTargetView(ID3D12Resource *resource, const D3D12_RENDER_TARGET_VIEW_DESC *desc,
                                          D3D12_CPU_DESCRIPTOR_HANDLE at) {
    const char *what = "CreateRenderTargetView";
    if (!resource) {
        fault("%s: no resource", what);
        return;
    }
    D3D12_RESOURCE_DESC rd;
    resource->GetDesc(&rd);
    const DXGI_FORMAT f = desc ? desc->Format : rd.Format;
    if (rd.Dimension != D3D12_RESOURCE_DIMENSION_TEXTURE2D ||
        !(rd.Flags & D3D12_RESOURCE_FLAG_ALLOW_RENDER_TARGET) || d3d_format_bpp(f) != 4 ||
        d3d_format_bpp(rd.Format) != 4 ||
        (desc && (desc->ViewDimension != D3D12_RTV_DIMENSION_TEXTURE2D || desc->Texture2D.MipSlice != 0 ||
                  desc->Texture2D.PlaneSlice != 0))) {
        fault("%s: the view does not fit the resource", what);
        return;
    }
    D3D12Descriptor d{};
    d.kind = DESC_RTV;
    d.format = f;
    d.serial = resource->serial();
    write_descriptor(at.ptr, D3D12_DESCRIPTOR_HEAP_TYPE_RTV, d, what);
}

void ID3D12Device::GetCopyableFootprints(const D3D12_RESOURCE_DESC *desc, uint32_t first, uint32_t count,
                                         uint64_t offset, D3D12_PLACED_SUBRESOURCE_FOOTPRINT *layouts,
                                         uint32_t *rows, uint64_t *row_bytes, uint64_t *total) {
    const uint32_t bpp = desc ? d3d_format_bpp(desc->Format) : 0;
    if (!desc || first != 0 || count != 1 || desc->Dimension != D3D12_RESOURCE_DIMENSION_TEXTURE2D || !bpp) {
        if (total) *total = ~0ull;
        return;
    }
    const uint64_t row = desc->Width * bpp;
    const uint32_t pitch = uint32_t((row + D3D12_TEXTURE_DATA_PITCH_ALIGNMENT - 1) /
                                    D3D12_TEXTURE_DATA_PITCH_ALIGNMENT * D3D12_TEXTURE_DATA_PITCH_ALIGNMENT);
    const uint64_t at = (offset + D3D12_TEXTURE_DATA_PLACEMENT_ALIGNMENT - 1) /
                        D3D12_TEXTURE_DATA_PLACEMENT_ALIGNMENT * D3D12_TEXTURE_DATA_PLACEMENT_ALIGNMENT;
    if (layouts) *layouts = {at, {desc->Format, uint32_t(desc->Width), tex_rows(*desc), 1, pitch}};
    if (rows) *rows = desc->Height;
    if (row_bytes) *row_bytes = row;
    if (total) *total = uint64_t(pitch) * (desc->Height - 1) + row;
}
