// The AMF runtime interfaces the AMD row calls, declared here because no
// Debian package ships AMF headers: the factory, context, component, caps,
// I/O caps, data, buffer and surface interfaces as C++ classes whose virtual
// slots follow the runtime's order, the variant record properties are set
// with, and the result codes, formats and interface identifiers used.
//
// Their binary interface against a real AMF runtime is unverified here: no
// runtime or reference header was available to check slot order, record
// layout or identifiers against, and property names are UTF-16 (char16_t)
// where the Linux runtime's wide strings are 32-bit. Only the fake runtime of
// the tests, built from these same declarations, has been run against them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

typedef int32_t AMF_RESULT;
#define AMF_OK 0
#define AMF_FAIL 1
#define AMF_INVALID_ARG 4
#define AMF_NO_INTERFACE 8
#define AMF_NOT_SUPPORTED 10
#define AMF_NOT_INITIALIZED 13
#define AMF_NO_DEVICE 17
#define AMF_REPEAT 24

#define AMF_DX11_0 110
#define AMF_ACCEL_HARDWARE 0

#define AMF_SURFACE_NV12 1
#define AMF_SURFACE_BGRA 3
#define AMF_SURFACE_RGBA 5
#define AMF_SURFACE_R10G10B10A2 13

struct AMFGuid {
    uint32_t data1;
    uint16_t data2, data3;
    uint8_t data4[8];
};

inline bool amf_same_guid(const AMFGuid &a, const AMFGuid &b) {
    return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 &&
           std::memcmp(a.data4, b.data4, sizeof a.data4) == 0;
}

constexpr AMFGuid IID_AMFData = {
    0xa1159bf6, 0x9104, 0x4107, {0x8e, 0xaa, 0xc5, 0x3d, 0x5d, 0xba, 0xc5, 0x11}};
constexpr AMFGuid IID_AMFBuffer = {
    0xb04b7248, 0xb6f0, 0x4321, {0xb6, 0x91, 0xba, 0xa4, 0x74, 0x0f, 0x9f, 0xcb}};

enum AMF_VARIANT_TYPE : int32_t {
    AMF_VARIANT_EMPTY = 0,
    AMF_VARIANT_BOOL = 1,
    AMF_VARIANT_INT64 = 2,
    AMF_VARIANT_DOUBLE = 3,
    AMF_VARIANT_RECT = 4,
    AMF_VARIANT_SIZE = 5,
    AMF_VARIANT_POINT = 6,
    AMF_VARIANT_RATE = 7,
};

struct AMFSize {
    int32_t width, height;
};
struct AMFRate {
    uint32_t num, den;
};

struct AMFVariantStruct {
    AMF_VARIANT_TYPE type;
    union {
        bool boolValue;
        int64_t int64Value;
        double doubleValue;
        AMFSize sizeValue;
        AMFRate rateValue;
        int32_t rectValue[4];
    };
};
static_assert(sizeof(AMFVariantStruct) == 24);

// A slot this program never calls; it only keeps the later slots in place.
#define AMF_UNUSED_SLOT(n)                \
    virtual AMF_RESULT amf_unused_##n() { \
        return AMF_NOT_SUPPORTED;         \
    }

class AMFInterface {
   public:
    virtual long Acquire() = 0;
    virtual long Release() = 0;
    virtual AMF_RESULT QueryInterface(const AMFGuid &iid, void **out) = 0;

   protected:
    ~AMFInterface() = default;  // not virtual: it would take slots
};

class AMFPropertyStorage : public AMFInterface {
   public:
    virtual AMF_RESULT SetProperty(const char16_t *name, AMFVariantStruct value) = 0;
    AMF_UNUSED_SLOT(get_property)
    AMF_UNUSED_SLOT(has_property)
    AMF_UNUSED_SLOT(property_count)
    AMF_UNUSED_SLOT(property_at)
    AMF_UNUSED_SLOT(clear)
    AMF_UNUSED_SLOT(add_to)
    AMF_UNUSED_SLOT(copy_to)
    AMF_UNUSED_SLOT(add_observer)
    AMF_UNUSED_SLOT(remove_observer)
};

class AMFPropertyStorageEx : public AMFPropertyStorage {
   public:
    AMF_UNUSED_SLOT(info_count)
    AMF_UNUSED_SLOT(info_at)
    AMF_UNUSED_SLOT(info_named)
    AMF_UNUSED_SLOT(validate)
};

class AMFData : public AMFPropertyStorage {
   public:
    AMF_UNUSED_SLOT(memory_type)
    AMF_UNUSED_SLOT(duplicate)
    AMF_UNUSED_SLOT(convert)
    AMF_UNUSED_SLOT(interop)
    AMF_UNUSED_SLOT(data_type)
    AMF_UNUSED_SLOT(is_reusable)
    AMF_UNUSED_SLOT(set_pts)
    AMF_UNUSED_SLOT(get_pts)
    AMF_UNUSED_SLOT(set_duration)
    AMF_UNUSED_SLOT(get_duration)
};

class AMFBuffer : public AMFData {
   public:
    AMF_UNUSED_SLOT(set_size)
    virtual size_t GetSize() = 0;
    virtual void *GetNative() = 0;
};

class AMFSurface : public AMFData {};

class AMFIOCaps : public AMFInterface {
   public:
    virtual void GetWidthRange(int32_t *min, int32_t *max) = 0;
    virtual void GetHeightRange(int32_t *min, int32_t *max) = 0;
};

class AMFCaps : public AMFPropertyStorage {
   public:
    virtual int32_t GetAccelerationType() = 0;
    virtual AMF_RESULT GetInputCaps(AMFIOCaps **out) = 0;
};

class AMFContext;

class AMFComponent : public AMFPropertyStorageEx {
   public:
    virtual AMF_RESULT Init(int32_t format, int32_t width, int32_t height) = 0;
    AMF_UNUSED_SLOT(reinit)
    virtual AMF_RESULT Terminate() = 0;
    AMF_UNUSED_SLOT(drain)
    virtual AMF_RESULT Flush() = 0;
    virtual AMF_RESULT SubmitInput(AMFData *data) = 0;
    virtual AMF_RESULT QueryOutput(AMFData **out) = 0;
    AMF_UNUSED_SLOT(get_context)
    AMF_UNUSED_SLOT(set_allocator)
    virtual AMF_RESULT GetCaps(AMFCaps **out) = 0;
};

class AMFContext : public AMFPropertyStorage {
   public:
    virtual AMF_RESULT Terminate() = 0;
    AMF_UNUSED_SLOT(init_dx9)
    AMF_UNUSED_SLOT(get_dx9)
    AMF_UNUSED_SLOT(lock_dx9)
    AMF_UNUSED_SLOT(unlock_dx9)
    virtual AMF_RESULT InitDX11(void *device, int32_t dx_version) = 0;
    AMF_UNUSED_SLOT(get_dx11)
    AMF_UNUSED_SLOT(lock_dx11)
    AMF_UNUSED_SLOT(unlock_dx11)
    AMF_UNUSED_SLOT(init_cl)
    AMF_UNUSED_SLOT(get_cl_context)
    AMF_UNUSED_SLOT(get_cl_queue)
    AMF_UNUSED_SLOT(get_cl_device)
    AMF_UNUSED_SLOT(get_cl_compute)
    AMF_UNUSED_SLOT(init_cl_ex)
    AMF_UNUSED_SLOT(lock_cl)
    AMF_UNUSED_SLOT(unlock_cl)
    AMF_UNUSED_SLOT(init_gl)
    AMF_UNUSED_SLOT(get_gl_context)
    AMF_UNUSED_SLOT(get_gl_drawable)
    AMF_UNUSED_SLOT(lock_gl)
    AMF_UNUSED_SLOT(unlock_gl)
    AMF_UNUSED_SLOT(init_xv)
    AMF_UNUSED_SLOT(get_xv)
    AMF_UNUSED_SLOT(lock_xv)
    AMF_UNUSED_SLOT(unlock_xv)
    AMF_UNUSED_SLOT(init_gralloc)
    AMF_UNUSED_SLOT(get_gralloc)
    AMF_UNUSED_SLOT(lock_gralloc)
    AMF_UNUSED_SLOT(unlock_gralloc)
    AMF_UNUSED_SLOT(alloc_buffer)
    AMF_UNUSED_SLOT(alloc_surface)
    AMF_UNUSED_SLOT(alloc_audio)
    AMF_UNUSED_SLOT(buffer_from_host)
    AMF_UNUSED_SLOT(surface_from_host)
    AMF_UNUSED_SLOT(surface_from_dx9)
    virtual AMF_RESULT CreateSurfaceFromDX11Native(void *texture, AMFSurface **out, void *observer) = 0;
};

// Not reference counted: it lives as long as the runtime is loaded.
class AMFFactory {
   public:
    virtual AMF_RESULT CreateContext(AMFContext **out) = 0;
    virtual AMF_RESULT CreateComponent(AMFContext *context, const char16_t *id, AMFComponent **out) = 0;

   protected:
    ~AMFFactory() = default;
};

typedef AMF_RESULT (*AMFQueryVersion_Fn)(uint64_t *version);
typedef AMF_RESULT (*AMFInit_Fn)(uint64_t version, AMFFactory **factory);
