// Stands in for the part of Media Foundation the software encoder calls:
// attribute stores keyed by GUID, media types, memory buffers, samples, the
// ICodecAPI property interface and the transform enumeration. The one video
// encoder it lists is a synchronous NV12 -> H.264 transform over libx264
// (low-latency settings, Annex B output, BT.709 limited range, 8-bit 4:2:0)
// that follows the mean bitrate it is given and keeps every frame within the
// rate buffer it is given (CODECAPI_AVEncCommonBufferSize, bits; one second
// of the mean bitrate when none is set). It uses x264's fastest preset: one
// worker thread must keep up with 1920 x 1080 at 60 frames a second. The four entry points are
// exported by the library itself, so the encoder reaches them through the
// module loader under the name "mfplat.dll".
//
// Objects are reference counted (atomics); each is used by one thread at a
// time, as the encoder does.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

typedef int32_t HRESULT;

struct GUID {
    uint32_t Data1;
    uint16_t Data2, Data3;
    uint8_t Data4[8];
    bool operator==(const GUID &o) const { return !memcmp(this, &o, sizeof(GUID)); }
};
typedef const GUID &REFGUID;

// Identifiers of this layer (values are its own).
#define ZV_MF_GUID(n)                          \
    GUID {                                     \
        0x7a760000u + (n), 0x4d46, 0x0001, {   \
            0x5a, 0x56, 0x4d, 0x46, 0, 0, 0, 0 \
        }                                      \
    }
inline const GUID MF_MT_MAJOR_TYPE = ZV_MF_GUID(1);
inline const GUID MF_MT_SUBTYPE = ZV_MF_GUID(2);
inline const GUID MF_MT_FRAME_SIZE = ZV_MF_GUID(3);
inline const GUID MF_MT_FRAME_RATE = ZV_MF_GUID(4);
inline const GUID MF_MT_PIXEL_ASPECT_RATIO = ZV_MF_GUID(5);
inline const GUID MF_MT_AVG_BITRATE = ZV_MF_GUID(6);
inline const GUID MF_MT_MAX_KEYFRAME_SPACING = ZV_MF_GUID(7);
inline const GUID MF_MT_ALL_SAMPLES_INDEPENDENT = ZV_MF_GUID(8);
inline const GUID MF_MT_INTERLACE_MODE = ZV_MF_GUID(9);
inline const GUID MF_MT_DEFAULT_STRIDE = ZV_MF_GUID(10);
inline const GUID MFMediaType_Video = ZV_MF_GUID(11);
inline const GUID MFVideoFormat_NV12 = ZV_MF_GUID(12);
inline const GUID MFVideoFormat_H264 = ZV_MF_GUID(13);
inline const GUID MFT_CATEGORY_VIDEO_ENCODER = ZV_MF_GUID(14);
inline const GUID MFT_FRIENDLY_NAME_Attribute = ZV_MF_GUID(15);
inline const GUID MF_LOW_LATENCY = ZV_MF_GUID(16);
inline const GUID CODECAPI_AVEncCommonMeanBitRate = ZV_MF_GUID(17);
inline const GUID CODECAPI_AVEncMPVGOPSize = ZV_MF_GUID(18);
inline const GUID CODECAPI_AVEncNumWorkerThreads = ZV_MF_GUID(19);
inline const GUID IID_IMFTransform = ZV_MF_GUID(20);
inline const GUID IID_ICodecAPI = ZV_MF_GUID(21);
inline const GUID CODECAPI_AVEncCommonBufferSize = ZV_MF_GUID(22);

#define MF_E_ATTRIBUTENOTFOUND ((HRESULT)0xC00D36E6u)
#define MF_E_INVALIDMEDIATYPE ((HRESULT)0xC00D36B4u)
#define MF_E_BUFFERTOOSMALL ((HRESULT)0xC00D36B1u)
#define MF_E_NOTACCEPTING ((HRESULT)0xC00D36B5u)
#define MF_E_TRANSFORM_NEED_MORE_INPUT ((HRESULT)0xC00D6D72u)
#define MF_E_TRANSFORM_TYPE_NOT_SET ((HRESULT)0xC00D6D60u)
#define MF_E_UNEXPECTED ((HRESULT)0x8000FFFFu)
#define MF_E_NOINTERFACE ((HRESULT)0x80004002u)
#define MF_E_INVALIDARG ((HRESULT)0x80070057u)
#define MF_E_OUTOFMEMORY ((HRESULT)0x8007000Eu)

#define MFT_ENUM_FLAG_SYNCMFT 0x1u
#define MF_VT_UI4 19
#define MF_VT_UI8 21

struct MFT_REGISTER_TYPE_INFO {
    GUID guidMajorType;
    GUID guidSubtype;
};

struct VARIANT {
    uint16_t vt;
    union {
        uint32_t ulVal;
        uint64_t ullVal;
    };
};

class IMFMediaBuffer;
class IMFSample;
extern "C" {
HRESULT MFCreateMemoryBuffer(uint32_t size, IMFMediaBuffer **out);
HRESULT MFCreateSample(IMFSample **out);
}

class MFUnknown {
   public:
    uint32_t AddRef() { return ++refs_; }
    uint32_t Release() {
        uint32_t left = --refs_;
        if (!left) delete this;
        return left;
    }
    virtual HRESULT QueryInterface(REFGUID iid, void **out);

   protected:
    MFUnknown();
    virtual ~MFUnknown();

   private:
    std::atomic<uint32_t> refs_{1};
};

struct MFAttrStore;

class IMFAttributes : public MFUnknown {
   public:
    HRESULT SetUINT32(REFGUID key, uint32_t v);
    HRESULT SetUINT64(REFGUID key, uint64_t v);
    HRESULT SetGUID(REFGUID key, REFGUID v);
    HRESULT SetString(REFGUID key, const char *v);
    HRESULT GetUINT32(REFGUID key, uint32_t *v) const;
    HRESULT GetUINT64(REFGUID key, uint64_t *v) const;
    HRESULT GetGUID(REFGUID key, GUID *v) const;
    // Copies the text (UTF-8) into buf; the size includes the terminator.
    HRESULT GetString(REFGUID key, char *buf, uint32_t size, uint32_t *length) const;

   protected:
    IMFAttributes();
    ~IMFAttributes() override;

   private:
    MFAttrStore *store_;
};

class IMFMediaType : public IMFAttributes {};

class IMFMediaBuffer : public MFUnknown {
   public:
    HRESULT Lock(uint8_t **data, uint32_t *max_length, uint32_t *current_length);
    HRESULT Unlock();
    HRESULT GetCurrentLength(uint32_t *length) const;
    HRESULT SetCurrentLength(uint32_t length);
    HRESULT GetMaxLength(uint32_t *length) const;

   private:
    friend HRESULT MFCreateMemoryBuffer(uint32_t, IMFMediaBuffer **);
    explicit IMFMediaBuffer(uint32_t size);
    ~IMFMediaBuffer() override;
    uint8_t *data_;
    uint32_t max_, cur_ = 0;
    bool locked_ = false;
};

class IMFSample : public IMFAttributes {
   public:
    HRESULT AddBuffer(IMFMediaBuffer *buffer);
    HRESULT GetBufferByIndex(uint32_t index, IMFMediaBuffer **buffer) const;
    HRESULT SetSampleTime(int64_t t);
    HRESULT GetSampleTime(int64_t *t) const;
    HRESULT SetSampleDuration(int64_t d);

   private:
    friend HRESULT MFCreateSample(IMFSample **);
    IMFSample() = default;
    ~IMFSample() override;
    IMFMediaBuffer *buffers_[4] = {};
    uint32_t count_ = 0;
    int64_t time_ = 0, duration_ = 0;
};

class ICodecAPI : public MFUnknown {
   public:
    virtual HRESULT SetValue(REFGUID api, const VARIANT *value) = 0;
};

struct MFT_OUTPUT_STREAM_INFO {
    uint32_t dwFlags;
    uint32_t cbSize;
    uint32_t cbAlignment;
};

struct MFT_OUTPUT_DATA_BUFFER {
    uint32_t dwStreamID;
    IMFSample *pSample;
    uint32_t dwStatus;
    void *pEvents;
};

class IMFTransform : public MFUnknown {
   public:
    virtual HRESULT GetAttributes(IMFAttributes **attrs) = 0;
    virtual HRESULT SetInputType(uint32_t stream, IMFMediaType *type, uint32_t flags) = 0;
    virtual HRESULT SetOutputType(uint32_t stream, IMFMediaType *type, uint32_t flags) = 0;
    virtual HRESULT GetOutputStreamInfo(uint32_t stream, MFT_OUTPUT_STREAM_INFO *info) = 0;
    virtual HRESULT ProcessInput(uint32_t stream, IMFSample *sample, uint32_t flags) = 0;
    virtual HRESULT ProcessOutput(uint32_t flags, uint32_t count, MFT_OUTPUT_DATA_BUFFER *buffers,
                                  uint32_t *status) = 0;
};

class IMFActivate : public IMFAttributes {
   public:
    virtual HRESULT ActivateObject(REFGUID iid, void **out) = 0;
};

// A plain attribute store (the transform's attributes).
IMFAttributes *mf_attributes_create(void);

extern "C" {
HRESULT MFCreateMediaType(IMFMediaType **out);
// Lists matching transforms as a new array of activation objects (free the
// array with mf_free_activates after releasing each).
HRESULT MFTEnumEx(REFGUID category, uint32_t flags, const MFT_REGISTER_TYPE_INFO *input,
                  const MFT_REGISTER_TYPE_INFO *output, IMFActivate ***activates, uint32_t *count);
void mf_free_activates(IMFActivate **activates);
}

// Objects of this layer alive in the process.
int64_t mf_live_objects(void);

typedef HRESULT (*PFN_MFCreateMemoryBuffer)(uint32_t, IMFMediaBuffer **);
typedef HRESULT (*PFN_MFCreateMediaType)(IMFMediaType **);
typedef HRESULT (*PFN_MFCreateSample)(IMFSample **);
typedef HRESULT (*PFN_MFTEnumEx)(REFGUID, uint32_t, const MFT_REGISTER_TYPE_INFO *,
                                 const MFT_REGISTER_TYPE_INFO *, IMFActivate ***, uint32_t *);
