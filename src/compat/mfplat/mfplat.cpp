#include "compat/mfplat/mfplat.h"

#include <stdint.h>
extern "C" {
#include <x264.h>
}

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::atomic<int64_t> g_live{0};

}  // namespace

struct MFAttrStore {
    struct Item {
        GUID key;
        uint32_t type;  // 0 u32, 1 u64, 2 GUID, 3 text
        uint64_t num;
        GUID guid;
        std::string text;
    };
    std::vector<Item> items;
    Item *find(REFGUID key) {
        for (Item &i : items)
            if (i.key == key) return &i;
        return nullptr;
    }
    Item &put(REFGUID key, uint32_t type) {
        Item *i = find(key);
        if (!i) {
            items.push_back(Item{key, type, 0, {}, {}});
            i = &items.back();
        }
        i->type = type;
        return *i;
    }
};

int64_t mf_live_objects(void) {
    return g_live.load();
}

MFUnknown::MFUnknown() {
    g_live++;
}

MFUnknown::~MFUnknown() {
    g_live--;
}

HRESULT MFUnknown::QueryInterface(REFGUID, void **out) {
    if (out) *out = nullptr;
    return MF_E_NOINTERFACE;
}

IMFAttributes::IMFAttributes() : store_(new MFAttrStore()) {}

IMFAttributes::~IMFAttributes() {
    delete store_;
}

HRESULT IMFAttributes::SetUINT32(REFGUID key, uint32_t v) {
    store_->put(key, 0).num = v;
    return 0;
}

HRESULT IMFAttributes::SetUINT64(REFGUID key, uint64_t v) {
    store_->put(key, 1).num = v;
    return 0;
}

HRESULT IMFAttributes::SetGUID(REFGUID key, REFGUID v) {
    store_->put(key, 2).guid = v;
    return 0;
}

HRESULT IMFAttributes::SetString(REFGUID key, const char *v) {
    if (!v) return MF_E_INVALIDARG;
    store_->put(key, 3).text = v;
    return 0;
}

HRESULT IMFAttributes::GetUINT32(REFGUID key, uint32_t *v) const {
    MFAttrStore::Item *i = store_->find(key);
    if (!i || i->type != 0) return MF_E_ATTRIBUTENOTFOUND;
    *v = (uint32_t)i->num;
    return 0;
}

HRESULT IMFAttributes::GetUINT64(REFGUID key, uint64_t *v) const {
    MFAttrStore::Item *i = store_->find(key);
    if (!i || i->type != 1) return MF_E_ATTRIBUTENOTFOUND;
    *v = i->num;
    return 0;
}

HRESULT IMFAttributes::GetGUID(REFGUID key, GUID *v) const {
    MFAttrStore::Item *i = store_->find(key);
    if (!i || i->type != 2) return MF_E_ATTRIBUTENOTFOUND;
    *v = i->guid;
    return 0;
}

HRESULT IMFAttributes::GetString(REFGUID key, char *buf, uint32_t size, uint32_t *length) const {
    MFAttrStore::Item *i = store_->find(key);
    if (!i || i->type != 3) return MF_E_ATTRIBUTENOTFOUND;
    if (i->text.size() + 1 > size) return MF_E_BUFFERTOOSMALL;
    memcpy(buf, i->text.c_str(), i->text.size() + 1);
    if (length) *length = (uint32_t)i->text.size();
    return 0;
}

namespace {

class AttributeStore : public IMFAttributes {};
class MediaType : public IMFMediaType {};

}  // namespace

IMFAttributes *mf_attributes_create(void) {
    return new AttributeStore();
}

IMFMediaBuffer::IMFMediaBuffer(uint32_t size) : data_((uint8_t *)calloc(size ? size : 1, 1)), max_(size) {}

IMFMediaBuffer::~IMFMediaBuffer() {
    free(data_);
}

HRESULT IMFMediaBuffer::Lock(uint8_t **data, uint32_t *max_length, uint32_t *current_length) {
    if (!data) return MF_E_INVALIDARG;
    locked_ = true;
    *data = data_;
    if (max_length) *max_length = max_;
    if (current_length) *current_length = cur_;
    return 0;
}

HRESULT IMFMediaBuffer::Unlock() {
    if (!locked_) return MF_E_UNEXPECTED;
    locked_ = false;
    return 0;
}

HRESULT IMFMediaBuffer::GetCurrentLength(uint32_t *length) const {
    *length = cur_;
    return 0;
}

HRESULT IMFMediaBuffer::SetCurrentLength(uint32_t length) {
    if (length > max_) return MF_E_INVALIDARG;
    cur_ = length;
    return 0;
}

HRESULT IMFMediaBuffer::GetMaxLength(uint32_t *length) const {
    *length = max_;
    return 0;
}

IMFSample::~IMFSample() {
    for (uint32_t i = 0; i < count_; i++) buffers_[i]->Release();
}

HRESULT IMFSample::AddBuffer(IMFMediaBuffer *buffer) {
    if (!buffer) return MF_E_INVALIDARG;
    if (count_ == 4) return MF_E_OUTOFMEMORY;
    buffer->AddRef();
    buffers_[count_++] = buffer;
    return 0;
}

HRESULT IMFSample::GetBufferByIndex(uint32_t index, IMFMediaBuffer **buffer) const {
    if (index >= count_) return MF_E_INVALIDARG;
    buffers_[index]->AddRef();
    *buffer = buffers_[index];
    return 0;
}

HRESULT IMFSample::SetSampleTime(int64_t t) {
    time_ = t;
    return 0;
}

HRESULT IMFSample::GetSampleTime(int64_t *t) const {
    *t = time_;
    return 0;
}

HRESULT IMFSample::SetSampleDuration(int64_t d) {
    duration_ = d;
    return 0;
}

namespace {

uint32_t hi32(uint64_t v) {
    return (uint32_t)(v >> 32);
}
uint32_t lo32(uint64_t v) {
    return (uint32_t)v;
}

class X264Transform;

// The transform's property interface; holds the transform while it lives.
class CodecApi : public ICodecAPI {
   public:
    explicit CodecApi(X264Transform *t);
    HRESULT SetValue(REFGUID api, const VARIANT *value) override;

   private:
    ~CodecApi() override;
    X264Transform *t_;
};

// The x264 transform: one output per input (zero-latency settings keep no
// frames back), encoded in ProcessInput and handed out by ProcessOutput.
class X264Transform : public IMFTransform {
   public:
    X264Transform() : attrs_(mf_attributes_create()) {}

    HRESULT QueryInterface(REFGUID iid, void **out) override {
        if (iid == IID_ICodecAPI) {
            *out = static_cast<ICodecAPI *>(new CodecApi(this));
            return 0;
        }
        if (iid == IID_IMFTransform) {
            AddRef();
            *out = static_cast<IMFTransform *>(this);
            return 0;
        }
        *out = nullptr;
        return MF_E_NOINTERFACE;
    }

    HRESULT GetAttributes(IMFAttributes **out) override {
        attrs_->AddRef();
        *out = attrs_;
        return 0;
    }

    HRESULT set_value(REFGUID api, const VARIANT *v) {
        if (!v || v->vt != MF_VT_UI4) return MF_E_INVALIDARG;
        if (api == CODECAPI_AVEncCommonMeanBitRate) {
            bitrate_ = v->ulVal;
            if (enc_) reconfigure();
        } else if (api == CODECAPI_AVEncCommonBufferSize) {
            buffer_bits_ = v->ulVal;
            if (enc_) reconfigure();
        } else if (api == CODECAPI_AVEncMPVGOPSize) {
            gop_ = v->ulVal;
        } else if (api == CODECAPI_AVEncNumWorkerThreads) {
            threads_ = v->ulVal;
        } else {
            return MF_E_INVALIDARG;
        }
        return 0;
    }

    HRESULT SetOutputType(uint32_t stream, IMFMediaType *t, uint32_t) override {
        GUID major, sub;
        uint64_t size, rate;
        if (stream != 0 || !t) return MF_E_INVALIDARG;
        if (t->GetGUID(MF_MT_MAJOR_TYPE, &major) || !(major == MFMediaType_Video) ||
            t->GetGUID(MF_MT_SUBTYPE, &sub) || !(sub == MFVideoFormat_H264) ||
            t->GetUINT64(MF_MT_FRAME_SIZE, &size) || t->GetUINT64(MF_MT_FRAME_RATE, &rate) || !hi32(size) ||
            !lo32(size) || hi32(size) % 2 || lo32(size) % 2 || !hi32(rate) || !lo32(rate))
            return MF_E_INVALIDMEDIATYPE;
        width_ = hi32(size);
        height_ = lo32(size);
        fps_num_ = hi32(rate);
        fps_den_ = lo32(rate);
        uint32_t avg;
        if (!t->GetUINT32(MF_MT_AVG_BITRATE, &avg) && !bitrate_) bitrate_ = avg;
        out_set_ = true;
        return 0;
    }

    HRESULT SetInputType(uint32_t stream, IMFMediaType *t, uint32_t) override {
        GUID major, sub;
        uint64_t size;
        uint32_t stride;
        if (stream != 0 || !t) return MF_E_INVALIDARG;
        if (!out_set_) return MF_E_TRANSFORM_TYPE_NOT_SET;
        if (t->GetGUID(MF_MT_MAJOR_TYPE, &major) || !(major == MFMediaType_Video) ||
            t->GetGUID(MF_MT_SUBTYPE, &sub) || !(sub == MFVideoFormat_NV12) ||
            t->GetUINT64(MF_MT_FRAME_SIZE, &size) || hi32(size) != width_ || lo32(size) != height_)
            return MF_E_INVALIDMEDIATYPE;
        if (t->GetUINT32(MF_MT_DEFAULT_STRIDE, &stride)) stride = width_;
        if (stride < width_) return MF_E_INVALIDMEDIATYPE;
        stride_ = stride;
        in_set_ = true;
        return 0;
    }

    HRESULT GetOutputStreamInfo(uint32_t stream, MFT_OUTPUT_STREAM_INFO *info) override {
        if (stream != 0 || !info) return MF_E_INVALIDARG;
        // What the next output needs; the caller regrows its buffer to it.
        *info = {0, (uint32_t)pending_.size(), 1};
        return 0;
    }

    HRESULT ProcessInput(uint32_t stream, IMFSample *sample, uint32_t) override {
        if (stream != 0 || !sample) return MF_E_INVALIDARG;
        if (!in_set_) return MF_E_TRANSFORM_TYPE_NOT_SET;
        if (has_output_) return MF_E_NOTACCEPTING;
        if (!enc_ && !open()) return MF_E_UNEXPECTED;
        IMFMediaBuffer *buf = nullptr;
        if (sample->GetBufferByIndex(0, &buf)) return MF_E_INVALIDARG;
        uint8_t *data;
        uint32_t max, cur;
        buf->Lock(&data, &max, &cur);
        HRESULT hr = 0;
        if ((uint64_t)cur < (uint64_t)stride_ * height_ * 3 / 2) {
            hr = MF_E_INVALIDARG;
        } else {
            x264_picture_t pic, out;
            x264_picture_init(&pic);
            pic.img.i_csp = X264_CSP_NV12;
            pic.img.i_plane = 2;
            pic.img.plane[0] = data;
            pic.img.plane[1] = data + (size_t)stride_ * height_;
            pic.img.i_stride[0] = pic.img.i_stride[1] = (int)stride_;
            pic.i_pts = frames_++;
            x264_nal_t *nals;
            int n;
            int size = x264_encoder_encode(enc_, &nals, &n, &pic, &out);
            if (size < 0) {
                hr = MF_E_UNEXPECTED;
            } else if (size > 0) {
                // The payloads of one call are contiguous.
                pending_.assign(nals[0].p_payload, nals[0].p_payload + size);
                has_output_ = true;
            }
        }
        buf->Unlock();
        buf->Release();
        return hr;
    }

    HRESULT ProcessOutput(uint32_t, uint32_t count, MFT_OUTPUT_DATA_BUFFER *b, uint32_t *status) override {
        if (status) *status = 0;
        if (count != 1 || !b || !b->pSample) return MF_E_INVALIDARG;
        if (!has_output_) return MF_E_TRANSFORM_NEED_MORE_INPUT;
        IMFMediaBuffer *buf = nullptr;
        if (b->pSample->GetBufferByIndex(0, &buf)) return MF_E_INVALIDARG;
        uint32_t max;
        buf->GetMaxLength(&max);
        HRESULT hr = 0;
        if (max < pending_.size()) {
            hr = MF_E_BUFFERTOOSMALL;
        } else {
            uint8_t *data;
            buf->Lock(&data, nullptr, nullptr);
            memcpy(data, pending_.data(), pending_.size());
            buf->Unlock();
            buf->SetCurrentLength((uint32_t)pending_.size());
            has_output_ = false;
            pending_.clear();
        }
        buf->Release();
        return hr;
    }

   private:
    ~X264Transform() override {
        if (enc_) x264_encoder_close(enc_);
        attrs_->Release();
    }

    void rate(x264_param_t *p) {
        int kbit = (int)(bitrate_ / 1000);
        if (kbit < 1) kbit = 1;
        p->rc.i_rc_method = X264_RC_ABR;
        p->rc.i_bitrate = kbit;
        p->rc.i_vbv_max_bitrate = kbit;
        // The buffer bounds every frame, key frames included, so what the
        // sender must carry stays small whatever the picture (x264 keeps it
        // at least one frame's worth). A one-second buffer when none is set.
        uint32_t buffer = buffer_bits_ ? buffer_bits_ / 1000 : (uint32_t)kbit;
        p->rc.i_vbv_buffer_size = buffer ? (int)buffer : 1;
    }

    bool open() {
        x264_param_t p;
        uint32_t low = 0;
        attrs_->GetUINT32(MF_LOW_LATENCY, &low);
        if (x264_param_default_preset(&p, "ultrafast", low ? "zerolatency" : nullptr) < 0) return false;
        p.i_threads = threads_ ? (int)threads_ : X264_THREADS_AUTO;
        p.b_sliced_threads = 0;
        p.i_width = (int)width_;
        p.i_height = (int)height_;
        p.i_csp = X264_CSP_NV12;
        p.i_fps_num = fps_num_;
        p.i_fps_den = fps_den_;
        p.i_timebase_num = fps_den_;
        p.i_timebase_den = fps_num_;
        p.b_vfr_input = 0;
        p.i_keyint_max = gop_ == 0 || gop_ == 0xFFFFFFFFu ? X264_KEYINT_MAX_INFINITE : (int)gop_;
        p.i_bframe = 0;
        p.b_annexb = 1;
        p.b_repeat_headers = 1;
        p.b_aud = 0;
        p.vui.b_fullrange = 0;
        p.vui.i_colorprim = 1;
        p.vui.i_transfer = 1;
        p.vui.i_colmatrix = 1;
        p.i_log_level = X264_LOG_NONE;
        rate(&p);
        if (x264_param_apply_profile(&p, "high") < 0) return false;
        enc_ = x264_encoder_open(&p);
        return enc_ != nullptr;
    }

    void reconfigure() {
        x264_param_t p;
        x264_encoder_parameters(enc_, &p);
        rate(&p);
        x264_encoder_reconfig(enc_, &p);
    }

    IMFAttributes *attrs_;
    x264_t *enc_ = nullptr;
    uint32_t width_ = 0, height_ = 0, stride_ = 0, fps_num_ = 0, fps_den_ = 1;
    uint32_t bitrate_ = 0, buffer_bits_ = 0, gop_ = 0, threads_ = 0;
    bool out_set_ = false, in_set_ = false, has_output_ = false;
    int64_t frames_ = 0;
    std::vector<uint8_t> pending_;
};

CodecApi::CodecApi(X264Transform *t) : t_(t) {
    t_->AddRef();
}

CodecApi::~CodecApi() {
    t_->Release();
}

HRESULT CodecApi::SetValue(REFGUID api, const VARIANT *value) {
    return t_->set_value(api, value);
}

class X264Activate : public IMFActivate {
   public:
    X264Activate() { SetString(MFT_FRIENDLY_NAME_Attribute, "x264 H.264 Encoder MFT"); }
    HRESULT ActivateObject(REFGUID iid, void **out) override {
        if (!out) return MF_E_INVALIDARG;
        X264Transform *t = new X264Transform();
        HRESULT hr = t->QueryInterface(iid, out);
        t->Release();
        return hr;
    }
};

}  // namespace

extern "C" {

HRESULT MFCreateMemoryBuffer(uint32_t size, IMFMediaBuffer **out) {
    if (!out) return MF_E_INVALIDARG;
    *out = new IMFMediaBuffer(size);
    return 0;
}

HRESULT MFCreateMediaType(IMFMediaType **out) {
    if (!out) return MF_E_INVALIDARG;
    *out = new MediaType();
    return 0;
}

HRESULT MFCreateSample(IMFSample **out) {
    if (!out) return MF_E_INVALIDARG;
    *out = new IMFSample();
    return 0;
}

HRESULT MFTEnumEx(REFGUID category, uint32_t flags, const MFT_REGISTER_TYPE_INFO *input,
                  const MFT_REGISTER_TYPE_INFO *output, IMFActivate ***activates, uint32_t *count) {
    if (!activates || !count) return MF_E_INVALIDARG;
    *activates = nullptr;
    *count = 0;
    bool match =
        category == MFT_CATEGORY_VIDEO_ENCODER && (flags & MFT_ENUM_FLAG_SYNCMFT) &&
        (!input || (input->guidMajorType == MFMediaType_Video && input->guidSubtype == MFVideoFormat_NV12)) &&
        (!output ||
         (output->guidMajorType == MFMediaType_Video && output->guidSubtype == MFVideoFormat_H264));
    if (!match) return 0;
    *activates = (IMFActivate **)calloc(1, sizeof(IMFActivate *));
    (*activates)[0] = new X264Activate();
    *count = 1;
    return 0;
}

void mf_free_activates(IMFActivate **activates) {
    free(activates);
}
}
