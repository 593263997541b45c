// A fake AMF runtime over the shared fake codec core, built from the row's
// own interface declarations: factory, context, components with caps,
// surfaces over stand-in textures and output buffers, each reference counted
// and counted while alive.
#include "support/fake_amf.h"

#include <deque>

namespace {

FakeAmf g_fake;

std::string narrow(const char16_t *s) {
    std::string out;
    for (; s && *s; s++) out += (char)*s;
    return out;
}

AMF_RESULT status(const char *call) {
    return (AMF_RESULT)g_fake.hit(call);
}

// Reference counting and live counts for every fake object.
template <typename Base>
class Counted : public Base {
   public:
    Counted() { g_fake.live++; }
    long Acquire() override { return ++refs_; }
    long Release() override {
        long left = --refs_;
        if (left == 0) {
            g_fake.live--;
            destroy();
        }
        return left;
    }

   protected:
    virtual void destroy() = 0;
    long refs_ = 1;
};

#define FINAL_DESTROY(T)      \
    void destroy() override { \
        delete this;          \
    }

// Properties set on an object go to a journal.
template <typename Base>
class Props : public Counted<Base> {
   public:
    AMF_RESULT SetProperty(const char16_t *name, AMFVariantStruct v) override {
        FakeAmf::Prop p{narrow(name), v.type, 0};
        if (v.type == AMF_VARIANT_INT64) p.value = v.int64Value;
        if (v.type == AMF_VARIANT_BOOL) p.value = v.boolValue;
        if (v.type == AMF_VARIANT_SIZE)
            p.value = (int64_t)v.sizeValue.width << 32 | (uint32_t)v.sizeValue.height;
        if (v.type == AMF_VARIANT_RATE) p.value = (int64_t)v.rateValue.num << 32 | v.rateValue.den;
        journal().push_back(p);
        values[p.name] = p.value;
        auto it = g_fake.refuse.find(p.name);
        if (it != g_fake.refuse.end() && (!it->second || *it->second == p.value)) return AMF_INVALID_ARG;
        return AMF_OK;
    }
    std::map<std::string, int64_t> values;

   protected:
    virtual std::vector<FakeAmf::Prop> &journal() { return g_fake.props; }
};

class Buffer final : public Props<AMFBuffer> {
   public:
    std::vector<uint8_t> bytes;
    AMF_RESULT QueryInterface(const AMFGuid &iid, void **out) override {
        if (!amf_same_guid(iid, IID_AMFBuffer) && !amf_same_guid(iid, IID_AMFData)) return AMF_NO_INTERFACE;
        if (AMF_RESULT r = status("QueryInterface:AMFBuffer")) return r;
        Acquire();
        *out = this;
        return AMF_OK;
    }
    size_t GetSize() override { return bytes.size(); }
    void *GetNative() override { return bytes.data(); }

   private:
    ~Buffer() { std::fill(bytes.begin(), bytes.end(), 0xEE); }  // stale reads show up as garbage
    FINAL_DESTROY(Buffer)
};

class Surface final : public Props<AMFSurface> {
   public:
    explicit Surface(ID3D11Texture2D *t) : texture(t) { texture->AddRef(); }
    ID3D11Texture2D *texture;
    AMF_RESULT QueryInterface(const AMFGuid &iid, void **out) override {
        if (!amf_same_guid(iid, IID_AMFData)) return AMF_NO_INTERFACE;
        if (AMF_RESULT r = status("QueryInterface:AMFData")) return r;
        Acquire();
        *out = static_cast<AMFData *>(this);
        return AMF_OK;
    }

   protected:
    std::vector<FakeAmf::Prop> &journal() override { return g_fake.frame_props; }

   private:
    ~Surface() { texture->Release(); }
    FINAL_DESTROY(Surface)
};

class IOCaps final : public Counted<AMFIOCaps> {
   public:
    explicit IOCaps(FakeAmf::Caps c) : caps(c) {}
    FakeAmf::Caps caps;
    AMF_RESULT QueryInterface(const AMFGuid &, void **) override { return AMF_NO_INTERFACE; }
    void GetWidthRange(int32_t *min, int32_t *max) override {
        *min = 64;
        *max = caps.max_width;
    }
    void GetHeightRange(int32_t *min, int32_t *max) override {
        *min = 64;
        *max = caps.max_height;
    }

   private:
    FINAL_DESTROY(IOCaps)
};

class Caps final : public Props<AMFCaps> {
   public:
    explicit Caps(FakeAmf::Caps c) : caps(c) {}
    FakeAmf::Caps caps;
    AMF_RESULT QueryInterface(const AMFGuid &, void **) override { return AMF_NO_INTERFACE; }
    int32_t GetAccelerationType() override { return caps.accel; }
    AMF_RESULT GetInputCaps(AMFIOCaps **out) override {
        if (AMF_RESULT r = status("GetInputCaps")) return r;
        *out = new IOCaps(caps);
        return AMF_OK;
    }

   private:
    FINAL_DESTROY(Caps)
};

class Component final : public Props<AMFComponent> {
   public:
    explicit Component(std::string n) : name(std::move(n)) {}
    std::string name;
    FakeCodec codec;
    std::deque<Buffer *> out;
    uint32_t repeats_left = 0;

    AMF_RESULT QueryInterface(const AMFGuid &, void **) override { return AMF_NO_INTERFACE; }
    AMF_RESULT Init(int32_t format, int32_t width, int32_t height) override {
        g_fake.init_format = format;
        g_fake.init_width = width;
        g_fake.init_height = height;
        if (AMF_RESULT r = status("Init")) return r;
        std::string pre = name == "AMFVideoEncoderHW_HEVC" ? "Hevc" : "";
        int64_t rate = values.count(pre + "FrameRate") ? values[pre + "FrameRate"] : (int64_t)60 << 32 | 1;
        int64_t bps = values.count(pre + "TargetBitrate") ? values[pre + "TargetBitrate"] : 5000000;
        if (width <= 0 || height <= 0 || !codec.open(width, height, (uint32_t)(rate >> 32), (uint32_t)bps, 1))
            return AMF_INVALID_ARG;
        return AMF_OK;
    }
    AMF_RESULT Terminate() override {
        g_fake.hit("Terminate");
        codec.close();
        return AMF_OK;
    }
    AMF_RESULT Flush() override {
        g_fake.hit("Flush");
        for (Buffer *b : out) b->Release();
        out.clear();
        return AMF_OK;
    }
    AMF_RESULT SetProperty(const char16_t *n, AMFVariantStruct v) override {
        AMF_RESULT r = Props<AMFComponent>::SetProperty(n, v);
        std::string key = narrow(n);
        if (r == AMF_OK && codec.is_open() && (key == "TargetBitrate" || key == "HevcTargetBitrate"))
            codec.set_bitrate((uint32_t)v.int64Value);
        return r;
    }
    AMF_RESULT SubmitInput(AMFData *data) override {
        if (AMF_RESULT r = status("SubmitInput")) return r;
        if (!codec.is_open() || !data) return AMF_NOT_INITIALIZED;
        Buffer *b = new Buffer();
        if (!codec.encode(static_cast<Surface *>(data)->texture, g_fake.out_size, &b->bytes)) {
            b->Release();
            return AMF_FAIL;
        }
        out.push_back(b);
        repeats_left = g_fake.repeats;
        return AMF_OK;
    }
    AMF_RESULT QueryOutput(AMFData **data) override {
        g_fake.polls++;
        *data = nullptr;
        if (AMF_RESULT r = status("QueryOutput")) return r;
        if (g_fake.never_output || out.empty()) return AMF_REPEAT;
        if (repeats_left) {
            repeats_left--;
            return AMF_REPEAT;
        }
        *data = out.front();
        out.pop_front();
        return AMF_OK;
    }
    AMF_RESULT GetCaps(AMFCaps **caps) override {
        if (AMF_RESULT r = status("GetCaps")) return r;
        auto it = g_fake.caps.find(name);
        FakeAmf::Caps c = it == g_fake.caps.end() ? FakeAmf::Caps{-1, 0, 0} : it->second;
        *caps = new Caps(c);
        return AMF_OK;
    }

   private:
    ~Component() {
        for (Buffer *b : out) b->Release();
    }
    FINAL_DESTROY(Component)
};

class Context final : public Props<AMFContext> {
   public:
    AMF_RESULT QueryInterface(const AMFGuid &, void **) override { return AMF_NO_INTERFACE; }
    AMF_RESULT Terminate() override {
        g_fake.hit("Context::Terminate");
        return AMF_OK;
    }
    AMF_RESULT InitDX11(void *device, int32_t version) override {
        g_fake.dx11_device = device;
        g_fake.dx_version = version;
        return status("InitDX11");
    }
    AMF_RESULT CreateSurfaceFromDX11Native(void *texture, AMFSurface **out, void *) override {
        if (AMF_RESULT r = status("CreateSurfaceFromDX11Native")) return r;
        if (!texture) return AMF_INVALID_ARG;
        *out = new Surface((ID3D11Texture2D *)texture);
        return AMF_OK;
    }

   private:
    FINAL_DESTROY(Context)
};

class Factory final : public AMFFactory {
   public:
    AMF_RESULT CreateContext(AMFContext **out) override {
        if (AMF_RESULT r = status("CreateContext")) return r;
        *out = new Context();
        return AMF_OK;
    }
    AMF_RESULT CreateComponent(AMFContext *, const char16_t *id, AMFComponent **out) override {
        g_fake.components.push_back(narrow(id));
        if (AMF_RESULT r = status("CreateComponent")) return r;
        *out = new Component(narrow(id));
        return AMF_OK;
    }
};

Factory g_factory;

}  // namespace

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

FAKE_EXPORT FakeAmf *fake_amf(void) {
    return &g_fake;
}

FAKE_EXPORT AMF_RESULT AMFQueryVersion(uint64_t *version) {
    if (AMF_RESULT r = status("AMFQueryVersion")) return r;
    *version = g_fake.version;
    return AMF_OK;
}

FAKE_EXPORT AMF_RESULT AMFInit(uint64_t version, AMFFactory **factory) {
    g_fake.init_version = version;
    if (AMF_RESULT r = status("AMFInit")) return r;
    *factory = &g_factory;
    return AMF_OK;
}
