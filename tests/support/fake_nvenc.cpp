// A fake NVENC runtime over the shared fake codec core: the entry points the
// encoder calls, each journaled and able to fail on demand.
#include "support/fake_nvenc.h"

#include <cstring>

namespace {

FakeNvenc g_fake;

struct Session {
    ID3D11Device *device;
    FakeCodec codec;
    std::vector<uint8_t> out;
    bool initialised = false;
    bool locked = false;
    uint32_t width = 0, height = 0;
};
struct Buffer {
    Session *session;
};
struct Registered {
    ID3D11Texture2D *texture;
    NV_ENC_BUFFER_FORMAT format;
};
struct Mapped {
    Registered *reg;
};

template <typename T>
T *make() {
    g_fake.live++;
    return new T();
}
template <typename T>
void drop(T *p) {
    if (!p) return;
    g_fake.live--;
    delete p;
}

NVENCSTATUS status(const char *call) {
    return (NVENCSTATUS)g_fake.hit(call);
}

NVENCSTATUS NVENCAPI open_session(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS *p, void **encoder) {
    if (NVENCSTATUS st = status("nvEncOpenEncodeSessionEx")) return st;
    g_fake.open = *p;
    if (p->deviceType != 0 || !p->device) return NV_ENC_ERR_INVALID_DEVICE;
    Session *s = make<Session>();
    s->device = (ID3D11Device *)p->device;
    s->device->AddRef();
    *encoder = s;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI guid_count(void *, uint32_t *count) {
    if (NVENCSTATUS st = status("nvEncGetEncodeGUIDCount")) return st;
    *count = (uint32_t)g_fake.guids.size();
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI guids(void *, GUID *out, uint32_t size, uint32_t *count) {
    if (NVENCSTATUS st = status("nvEncGetEncodeGUIDs")) return st;
    uint32_t n = 0;
    for (; n < size && n < g_fake.guids.size(); n++) out[n] = g_fake.guids[n];
    *count = n;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI caps(void *, GUID codec, NV_ENC_CAPS_PARAM *p, int *value) {
    if (NVENCSTATUS st = status("nvEncGetEncodeCaps")) return st;
    auto it = g_fake.caps.find({codec.Data1, (int)p->capsToQuery});
    *value = it == g_fake.caps.end() ? 0 : it->second;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI preset_config(void *, GUID codec, GUID preset, NV_ENC_PRESET_CONFIG *p) {
    g_fake.preset_version = p->version;
    g_fake.preset_cfg_version = p->presetCfg.version;
    g_fake.preset_codec = codec;
    g_fake.preset_guid = preset;
    if (NVENCSTATUS st = status("nvEncGetEncodePresetConfig")) return st;
    // A low-latency preset as a runtime hands it out: CBR, QP limits on
    // every frame type, a GOP and one slice.
    uint32_t version = p->presetCfg.version;
    std::memset(&p->presetCfg, 0, sizeof p->presetCfg);
    NV_ENC_CONFIG &c = p->presetCfg;
    c.version = version;
    c.gopLength = 30;
    c.frameIntervalP = 1;
    c.rcParams.rateControlMode = NV_ENC_PARAMS_RC_CBR;
    c.rcParams.averageBitRate = 5000000;
    c.rcParams.minQP.qpIntra = 11;
    c.rcParams.minQP.qpInterP = 12;
    c.rcParams.minQP.qpInterB = 13;
    c.rcParams.maxQP.qpIntra = 41;
    c.rcParams.maxQP.qpInterP = 42;
    c.rcParams.maxQP.qpInterB = 43;
    if (codec.Data1 == 0x790CDC88u) {
        NV_ENC_CONFIG_HEVC &h = c.encodeCodecConfig.hevcConfig;
        h.disableDeblockAcrossSliceBoundary = 1;
        h.enableFillerDataInsertion = 1;
        h.idrPeriod = 30;
        h.maxNumRefFramesInDPB = 4;
    } else {
        c.encodeCodecConfig.h264Config.idrPeriod = 30;
        c.encodeCodecConfig.h264Config.maxNumRefFrames = 4;
    }
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI initialize(void *encoder, NV_ENC_INITIALIZE_PARAMS *p) {
    g_fake.init = *p;
    if (p->encodeConfig) g_fake.config = *p->encodeConfig;
    if (NVENCSTATUS st = status("nvEncInitializeEncoder")) return st;
    Session *s = (Session *)encoder;
    if (!p->encodeConfig || !p->encodeWidth || !p->encodeHeight) return NV_ENC_ERR_INVALID_PARAM;
    const NV_ENC_CONFIG &c = *p->encodeConfig;
    uint32_t slices = c.encodeCodecConfig.h264Config.sliceModeData;
    if (p->encodeGUID.Data1 == 0x790CDC88u) slices = c.encodeCodecConfig.hevcConfig.sliceModeData;
    if (!s->codec.open(p->encodeWidth, p->encodeHeight, p->frameRateNum, c.rcParams.averageBitRate, slices))
        return NV_ENC_ERR_OUT_OF_MEMORY;
    g_fake.last_bitrate = c.rcParams.averageBitRate;
    s->width = p->encodeWidth;
    s->height = p->encodeHeight;
    s->initialised = true;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI create_bitstream(void *encoder, NV_ENC_CREATE_BITSTREAM_BUFFER *p) {
    g_fake.buffer = *p;
    if (NVENCSTATUS st = status("nvEncCreateBitstreamBuffer")) return st;
    Buffer *b = make<Buffer>();
    b->session = (Session *)encoder;
    p->bitstreamBuffer = b;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI destroy_bitstream(void *, NV_ENC_OUTPUT_PTR buffer) {
    g_fake.hit("nvEncDestroyBitstreamBuffer");
    drop((Buffer *)buffer);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI register_resource(void *, NV_ENC_REGISTER_RESOURCE *p) {
    g_fake.reg = *p;
    if (NVENCSTATUS st = status("nvEncRegisterResource")) return st;
    if (p->resourceType != 0 || !p->resourceToRegister) return NV_ENC_ERR_INVALID_PARAM;
    Registered *r = make<Registered>();
    r->texture = (ID3D11Texture2D *)p->resourceToRegister;
    r->texture->AddRef();
    r->format = p->bufferFormat;
    p->registeredResource = r;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI unregister_resource(void *, NV_ENC_REGISTERED_PTR reg) {
    g_fake.hit("nvEncUnregisterResource");
    Registered *r = (Registered *)reg;
    if (r) r->texture->Release();
    drop(r);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI map_input(void *encoder, NV_ENC_MAP_INPUT_RESOURCE *p) {
    if (NVENCSTATUS st = status("nvEncMapInputResource")) return st;
    Session *s = (Session *)encoder;
    Mapped *m = make<Mapped>();
    m->reg = (Registered *)p->registeredResource;
    s->device->AddRef();
    if (g_fake.leaky) s->device->AddRef();
    p->mappedResource = m;
    p->mappedBufferFmt = m->reg->format;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI unmap_input(void *encoder, NV_ENC_INPUT_PTR mapped) {
    g_fake.hit("nvEncUnmapInputResource");
    if (!mapped) return NV_ENC_ERR_INVALID_PARAM;
    ((Session *)encoder)->device->Release();
    drop((Mapped *)mapped);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI encode_picture(void *encoder, NV_ENC_PIC_PARAMS *p) {
    g_fake.pic = *p;
    if (NVENCSTATUS st = status("nvEncEncodePicture")) return st;
    Session *s = (Session *)encoder;
    Mapped *m = (Mapped *)p->inputBuffer;
    if (!s->initialised || !m || !p->outputBitstream) return NV_ENC_ERR_INVALID_PARAM;
    if (!s->codec.encode(m->reg->texture, g_fake.out_size, &s->out)) return NV_ENC_ERR_GENERIC;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI lock_bitstream(void *encoder, NV_ENC_LOCK_BITSTREAM *p) {
    if (NVENCSTATUS st = status("nvEncLockBitstream")) return st;
    Session *s = (Session *)encoder;
    if (s->locked) return NV_ENC_ERR_LOCK_BUSY;
    s->locked = true;
    p->bitstreamBufferPtr = s->out.data();
    p->bitstreamSizeInBytes = (uint32_t)s->out.size();
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI unlock_bitstream(void *encoder, NV_ENC_OUTPUT_PTR) {
    g_fake.hit("nvEncUnlockBitstream");
    Session *s = (Session *)encoder;
    s->locked = false;
    std::fill(s->out.begin(), s->out.end(), 0xEE);  // stale reads show up as garbage
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI reconfigure(void *encoder, NV_ENC_RECONFIGURE_PARAMS *p) {
    g_fake.reconfigs.push_back(*p);
    if (p->reInitEncodeParams.encodeConfig)
        g_fake.reconfig_configs.push_back(*p->reInitEncodeParams.encodeConfig);
    if (NVENCSTATUS st = status("nvEncReconfigureEncoder")) return st;
    if (!p->reInitEncodeParams.encodeConfig) return NV_ENC_ERR_INVALID_PARAM;
    g_fake.last_bitrate = p->reInitEncodeParams.encodeConfig->rcParams.averageBitRate;
    ((Session *)encoder)->codec.set_bitrate(g_fake.last_bitrate);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI destroy_encoder(void *encoder) {
    g_fake.hit("nvEncDestroyEncoder");
    Session *s = (Session *)encoder;
    if (!s) return NV_ENC_ERR_INVALID_PTR;
    s->device->Release();
    drop(s);
    return NV_ENC_SUCCESS;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) FakeNvenc *fake_nvenc(void) {
    return &g_fake;
}

extern "C" __attribute__((visibility("default"))) NVENCSTATUS NVENCAPI
NvEncodeAPICreateInstance(NV_ENCODE_API_FUNCTION_LIST *list) {
    g_fake.list_version = list ? list->version : 0;
    if (NVENCSTATUS st = status("NvEncodeAPICreateInstance")) return st;
    if (!list) return NV_ENC_ERR_INVALID_PTR;
    list->nvEncOpenEncodeSessionEx = open_session;
    list->nvEncGetEncodeGUIDCount = guid_count;
    list->nvEncGetEncodeGUIDs = guids;
    list->nvEncGetEncodeCaps = caps;
    list->nvEncGetEncodePresetConfig = preset_config;
    list->nvEncInitializeEncoder = initialize;
    list->nvEncCreateBitstreamBuffer = create_bitstream;
    list->nvEncDestroyBitstreamBuffer = destroy_bitstream;
    list->nvEncRegisterResource = register_resource;
    list->nvEncUnregisterResource = unregister_resource;
    list->nvEncMapInputResource = map_input;
    list->nvEncUnmapInputResource = unmap_input;
    list->nvEncEncodePicture = encode_picture;
    list->nvEncLockBitstream = g_fake.drop_entry ? nullptr : lock_bitstream;
    list->nvEncUnlockBitstream = unlock_bitstream;
    list->nvEncReconfigureEncoder = reconfigure;
    list->nvEncDestroyEncoder = destroy_encoder;
    return NV_ENC_SUCCESS;
}
