// The NVENC row: H.264 or H.265 through NVIDIA's runtime, loaded by name at
// init. The encoder speaks API 6.0: every record carries that version's
// struct-version word, while the record layouts come from the packaged SDK
// header (the fields written are pinned below). The captured texture is
// registered and mapped every frame and the access unit is read in place from
// the locked bitstream buffer until after_frame.
#include <ffnvcodec/nvEncodeAPI.h>

#include <cstddef>
#include <cstring>

#include "host/capture.h"
#include "host/encoder_vendor.h"
#include "platform/file.h"
#include "platform/memory.h"
#include "util/logger.h"

namespace {

// Struct versions of API 6.0: major 6, minor 0, the record's own version in
// bits 16-23, 7 in the top nibble, bit 31 for the records with pointers.
constexpr uint32_t nv_ver(uint32_t v) {
    return 6u | (v << 16) | (0x7u << 28);
}
constexpr uint32_t kFunctionListVer = 0x70020006;
constexpr uint32_t kOpenSessionVer = 0x70010006;
constexpr uint32_t kCapsParamVer = 0x70010006;
constexpr uint32_t kBitstreamBufferVer = 0x70010006;
constexpr uint32_t kLockBitstreamVer = 0x70010006;
constexpr uint32_t kRegisterVer = 0x70030006;
constexpr uint32_t kMapInputVer = 0x70040006;
constexpr uint32_t kPresetConfigVer = 0xF0040006;
constexpr uint32_t kConfigVer = 0xF0060006;
constexpr uint32_t kInitializeVer = 0xF0050006;
constexpr uint32_t kPicParamsVer = 0xF0040006;
constexpr uint32_t kReconfigureVer = 0xF0010006;
static_assert(kFunctionListVer == nv_ver(2) && kOpenSessionVer == nv_ver(1) && kRegisterVer == nv_ver(3) &&
              kMapInputVer == nv_ver(4));
static_assert(kPresetConfigVer == (nv_ver(4) | 1u << 31) && kConfigVer == (nv_ver(6) | 1u << 31) &&
              kInitializeVer == (nv_ver(5) | 1u << 31) && kReconfigureVer == (nv_ver(1) | 1u << 31));
constexpr uint32_t kApiVersion = 6;  // major 6, minor 0

constexpr GUID kCodecH264 = {0x6BC82762, 0x4E63, 0x4CA4, {0xAA, 0x85, 0x1E, 0x50, 0xF3, 0x21, 0xF6, 0xBF}};
constexpr GUID kCodecH265 = {0x790CDC88, 0x4522, 0x4D7B, {0x94, 0x25, 0xBD, 0xA9, 0x97, 0x5F, 0x76, 0x03}};
constexpr GUID kPresetLowLatencyHP = {
    0x67082A44, 0x4BAD, 0x48FA, {0x98, 0xEA, 0x93, 0x05, 0x6D, 0x15, 0x0A, 0x58}};

// Buffer formats by the numbers this encoder sends (10-bit RGBA is 0x2000000).
constexpr NV_ENC_BUFFER_FORMAT kFormatNv12 = (NV_ENC_BUFFER_FORMAT)0x1;
constexpr NV_ENC_BUFFER_FORMAT kFormatRgba = (NV_ENC_BUFFER_FORMAT)0x1000000;
constexpr NV_ENC_BUFFER_FORMAT kFormatRgba10 = (NV_ENC_BUFFER_FORMAT)0x2000000;

constexpr uint32_t kBitstreamSize = 0x500000;
constexpr uint32_t kDeviceDirectX = 0;
constexpr uint32_t kHeapSystemCached = 2;

// Every field the row writes or reads, at the offsets this code was written for.
static_assert(offsetof(NV_ENCODE_API_FUNCTION_LIST, version) == 0);
static_assert(offsetof(NV_ENCODE_API_FUNCTION_LIST, nvEncOpenEncodeSessionEx) == 240);
static_assert(offsetof(NV_ENCODE_API_FUNCTION_LIST, nvEncReconfigureEncoder) == 264);
static_assert(offsetof(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS, deviceType) == 4);
static_assert(offsetof(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS, device) == 8);
static_assert(offsetof(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS, apiVersion) == 24);
static_assert(offsetof(NV_ENC_CAPS_PARAM, capsToQuery) == 4);
static_assert(offsetof(NV_ENC_PRESET_CONFIG, presetCfg) == 8);
static_assert(offsetof(NV_ENC_CONFIG, gopLength) == 20);
static_assert(offsetof(NV_ENC_CONFIG, rcParams) == 40);
static_assert(offsetof(NV_ENC_CONFIG, encodeCodecConfig) == 168);
static_assert(offsetof(NV_ENC_RC_PARAMS, rateControlMode) == 4);
static_assert(offsetof(NV_ENC_RC_PARAMS, averageBitRate) == 20);
static_assert(offsetof(NV_ENC_RC_PARAMS, maxBitRate) == 24);
static_assert(offsetof(NV_ENC_RC_PARAMS, vbvBufferSize) == 28);
static_assert(offsetof(NV_ENC_RC_PARAMS, vbvInitialDelay) == 32);
static_assert(offsetof(NV_ENC_RC_PARAMS, minQP) == 40);
static_assert(offsetof(NV_ENC_RC_PARAMS, maxQP) == 52);
static_assert(offsetof(NV_ENC_QP, qpInterP) == 0);
static_assert(offsetof(NV_ENC_CONFIG_H264, idrPeriod) == 8);
static_assert(offsetof(NV_ENC_CONFIG_H264, maxNumRefFrames) == 60);
static_assert(offsetof(NV_ENC_CONFIG_H264, h264VUIParameters) == 72);
static_assert(offsetof(NV_ENC_CONFIG_HEVC, idrPeriod) == 20);
static_assert(offsetof(NV_ENC_CONFIG_HEVC, maxNumRefFramesInDPB) == 32);
static_assert(offsetof(NV_ENC_CONFIG_HEVC, sliceMode) == 52);
static_assert(offsetof(NV_ENC_CONFIG_HEVC, sliceModeData) == 56);
static_assert(offsetof(NV_ENC_CONFIG_HEVC, hevcVUIParameters) == 64);
static_assert(offsetof(NV_ENC_CONFIG_H264_VUI_PARAMETERS, videoSignalTypePresentFlag) == 8);
static_assert(offsetof(NV_ENC_CONFIG_H264_VUI_PARAMETERS, videoFormat) == 12);
static_assert(offsetof(NV_ENC_CONFIG_H264_VUI_PARAMETERS, videoFullRangeFlag) == 16);
static_assert(offsetof(NV_ENC_INITIALIZE_PARAMS, encodeGUID) == 4);
static_assert(offsetof(NV_ENC_INITIALIZE_PARAMS, presetGUID) == 20);
static_assert(offsetof(NV_ENC_INITIALIZE_PARAMS, encodeWidth) == 36);
static_assert(offsetof(NV_ENC_INITIALIZE_PARAMS, encodeHeight) == 40);
static_assert(offsetof(NV_ENC_INITIALIZE_PARAMS, darWidth) == 44);
static_assert(offsetof(NV_ENC_INITIALIZE_PARAMS, darHeight) == 48);
static_assert(offsetof(NV_ENC_INITIALIZE_PARAMS, frameRateNum) == 52);
static_assert(offsetof(NV_ENC_INITIALIZE_PARAMS, frameRateDen) == 56);
static_assert(offsetof(NV_ENC_INITIALIZE_PARAMS, enableEncodeAsync) == 60);
static_assert(offsetof(NV_ENC_INITIALIZE_PARAMS, enablePTD) == 64);
static_assert(offsetof(NV_ENC_INITIALIZE_PARAMS, encodeConfig) == 88);
static_assert(offsetof(NV_ENC_INITIALIZE_PARAMS, maxEncodeWidth) == 96);
static_assert(offsetof(NV_ENC_INITIALIZE_PARAMS, maxEncodeHeight) == 100);
static_assert(offsetof(NV_ENC_CREATE_BITSTREAM_BUFFER, size) == 4);
static_assert(offsetof(NV_ENC_CREATE_BITSTREAM_BUFFER, memoryHeap) == 8);
static_assert(offsetof(NV_ENC_CREATE_BITSTREAM_BUFFER, bitstreamBuffer) == 16);
static_assert(offsetof(NV_ENC_REGISTER_RESOURCE, resourceType) == 4);
static_assert(offsetof(NV_ENC_REGISTER_RESOURCE, width) == 8);
static_assert(offsetof(NV_ENC_REGISTER_RESOURCE, height) == 12);
static_assert(offsetof(NV_ENC_REGISTER_RESOURCE, pitch) == 16);
static_assert(offsetof(NV_ENC_REGISTER_RESOURCE, subResourceIndex) == 20);
static_assert(offsetof(NV_ENC_REGISTER_RESOURCE, resourceToRegister) == 24);
static_assert(offsetof(NV_ENC_REGISTER_RESOURCE, registeredResource) == 32);
static_assert(offsetof(NV_ENC_REGISTER_RESOURCE, bufferFormat) == 40);
static_assert(offsetof(NV_ENC_REGISTER_RESOURCE, bufferUsage) == 44);
static_assert(offsetof(NV_ENC_MAP_INPUT_RESOURCE, registeredResource) == 16);
static_assert(offsetof(NV_ENC_MAP_INPUT_RESOURCE, mappedResource) == 24);
static_assert(offsetof(NV_ENC_MAP_INPUT_RESOURCE, mappedBufferFmt) == 32);
static_assert(offsetof(NV_ENC_PIC_PARAMS, inputWidth) == 4);
static_assert(offsetof(NV_ENC_PIC_PARAMS, inputHeight) == 8);
static_assert(offsetof(NV_ENC_PIC_PARAMS, inputPitch) == 12);
static_assert(offsetof(NV_ENC_PIC_PARAMS, encodePicFlags) == 16);
static_assert(offsetof(NV_ENC_PIC_PARAMS, frameIdx) == 20);
static_assert(offsetof(NV_ENC_PIC_PARAMS, inputTimeStamp) == 24);
static_assert(offsetof(NV_ENC_PIC_PARAMS, inputBuffer) == 40);
static_assert(offsetof(NV_ENC_PIC_PARAMS, outputBitstream) == 48);
static_assert(offsetof(NV_ENC_PIC_PARAMS, bufferFmt) == 64);
static_assert(offsetof(NV_ENC_PIC_PARAMS, pictureStruct) == 68);
static_assert(offsetof(NV_ENC_PIC_PARAMS, codecPicParams) == 80);
static_assert(offsetof(NV_ENC_PIC_PARAMS_H264, sliceMode) == 48);
static_assert(offsetof(NV_ENC_PIC_PARAMS_H264, sliceModeData) == 52);
static_assert(offsetof(NV_ENC_PIC_PARAMS_HEVC, sliceMode) == 36);
static_assert(offsetof(NV_ENC_PIC_PARAMS_HEVC, sliceModeData) == 40);
static_assert(offsetof(NV_ENC_LOCK_BITSTREAM, outputBitstream) == 8);
static_assert(offsetof(NV_ENC_LOCK_BITSTREAM, bitstreamSizeInBytes) == 36);
static_assert(offsetof(NV_ENC_LOCK_BITSTREAM, bitstreamBufferPtr) == 56);
static_assert(offsetof(NV_ENC_RECONFIGURE_PARAMS, reInitEncodeParams) == 8);

struct CodecCaps {
    uint8_t supported;
    uint8_t reserved;
    uint8_t yuv444;
    uint8_t bit10;  // H.265 only
    uint32_t max_width;
    uint32_t max_height;
};

struct NveState {
    void *module;
    void *encoder;
    NV_ENC_OUTPUT_PTR bitstream;
    NV_ENC_OUTPUT_PTR locked;  // between a successful encode and after_frame
    NV_ENC_MAP_INPUT_RESOURCE map;
    NV_ENC_REGISTER_RESOURCE reg;
    NV_ENC_BUFFER_FORMAT format;
    NV_ENCODE_API_FUNCTION_LIST api;
    NV_ENC_PRESET_CONFIG preset;  // presetCfg is the configuration in use
    NV_ENC_INITIALIZE_PARAMS init;
    uint32_t slices;
    uint8_t h265, bit10, yuv444;
    ID3D11Device *device;  // no reference held
    uint32_t baseline;     // the device's reference count to trim back to
    uint32_t width, height;
};

// A runtime call that failed inside one of the row's operations, with the
// runtime's status (or the row's code where the call itself succeeded).
void log_step(const char *op, const char *call, int line, int32_t code) {
    log_message(LOG_LEVEL_INFO, "* %s/%s[%d] = %d", op, call, line, code);
}

uint32_t device_refs(ID3D11Device *device) {
    if (!device) return 0;
    device->AddRef();
    return device->Release();
}

void nve_save_device_refs(NveState *s) {
    s->baseline = device_refs(s->device);
}

// Gives back references the runtime kept on the device beyond the baseline.
void trim_device_refs(NveState *s) {
    if (!s->device) return;
    uint32_t n = device_refs(s->device);
    while (n > s->baseline && n > 1) n = s->device->Release();
}

// Unlock, unmap, unregister, in that order; clears both records.
void release_frame(NveState *s) {
    if (s->locked) s->api.nvEncUnlockBitstream(s->encoder, s->locked);
    s->locked = nullptr;
    if (s->map.mappedResource) s->api.nvEncUnmapInputResource(s->encoder, s->map.mappedResource);
    if (s->reg.registeredResource) s->api.nvEncUnregisterResource(s->encoder, s->reg.registeredResource);
    std::memset(&s->map, 0, sizeof s->map);
    std::memset(&s->reg, 0, sizeof s->reg);
}

bool same_codec(const GUID &g, const GUID &codec) {
    return g.Data1 == codec.Data1;  // the first field names the codec
}

int32_t nve_query_caps(NveState *s, CodecCaps *h264, CodecCaps *h265) {
    uint32_t count = 0;
    NVENCSTATUS st = s->api.nvEncGetEncodeGUIDCount(s->encoder, &count);
    if (st != NV_ENC_SUCCESS || count == 0) {
        log_step("nve_query_caps", "nvEncGetEncodeGUIDCount", __LINE__, st ? (int32_t)st : ENC_ERR_CAPS);
        return ENC_ERR_CAPS;
    }
    if (count > 256) count = 256;
    GUID *guids = (GUID *)VKO_Alloc(count, sizeof(GUID));
    uint32_t got = 0;
    st = s->api.nvEncGetEncodeGUIDs(s->encoder, guids, count, &got);
    if (st != NV_ENC_SUCCESS) {
        log_step("nve_query_caps", "nvEncGetEncodeGUIDs", __LINE__, st);
        VKO_Free(guids);
        return ENC_ERR_CAPS;
    }
    if (got > count) got = count;
    for (uint32_t i = 0; i < got; i++) {
        bool is265 = same_codec(guids[i], kCodecH265);
        if (!is265 && !same_codec(guids[i], kCodecH264)) continue;
        CodecCaps *c = is265 ? h265 : h264;
        GUID codec = is265 ? kCodecH265 : kCodecH264;
        c->supported = 1;
        NV_ENC_CAPS_PARAM p = {};
        p.version = kCapsParamVer;
        int v = 0;
        p.capsToQuery = NV_ENC_CAPS_WIDTH_MAX;
        s->api.nvEncGetEncodeCaps(s->encoder, codec, &p, &v);
        c->max_width = (uint32_t)v;
        v = 0;
        p.capsToQuery = NV_ENC_CAPS_HEIGHT_MAX;
        s->api.nvEncGetEncodeCaps(s->encoder, codec, &p, &v);
        c->max_height = (uint32_t)v;
        v = 0;
        p.capsToQuery = NV_ENC_CAPS_SUPPORT_YUV444_ENCODE;
        s->api.nvEncGetEncodeCaps(s->encoder, codec, &p, &v);
        c->yuv444 = v != 0;
        if (is265) {
            v = 0;
            p.capsToQuery = NV_ENC_CAPS_SUPPORT_10BIT_ENCODE;
            s->api.nvEncGetEncodeCaps(s->encoder, codec, &p, &v);
            c->bit10 = v != 0;
        }
    }
    VKO_Free(guids);
    return 0;
}

uint32_t bits_per_second(float mbit) {
    double v = (double)mbit * 1000.0 * 1000.0;
    return !(v > 0) ? 0 : v >= 4294967295.0 ? 0xFFFFFFFFu : (uint32_t)v;
}

int32_t nve_configure(NveState *s, const RateParams *p) {
    GUID codec = s->h265 ? kCodecH265 : kCodecH264;
    s->preset.version = kPresetConfigVer;
    s->preset.presetCfg.version = kConfigVer;
    NVENCSTATUS st = s->api.nvEncGetEncodePresetConfig(s->encoder, codec, kPresetLowLatencyHP, &s->preset);
    if (st != NV_ENC_SUCCESS) {
        log_step("nve_configure", "nvEncGetEncodePresetConfig", __LINE__, st);
        return ENC_ERR_PRESET;
    }
    NV_ENC_CONFIG &cfg = s->preset.presetCfg;
    NV_ENC_RC_PARAMS &rc = cfg.rcParams;
    rc.rateControlMode = p->multipass ? (NV_ENC_PARAMS_RC_MODE)32 : (NV_ENC_PARAMS_RC_MODE)1;
    rc.averageBitRate = rc.maxBitRate = bits_per_second(p->bitrate);
    rc.vbvBufferSize = encoder_vbv_bits(p);
    rc.vbvInitialDelay = (uint32_t)((double)p->vbv_initial / 100.0 * rc.vbvBufferSize);
    rc.enableMinQP = 1;
    rc.enableMaxQP = 1;
    rc.minQP.qpInterP = p->min_qp;
    rc.maxQP.qpInterP = p->max_qp;
    uint32_t gop = p->idr_interval ? p->idr_interval : 0xFFFFFFFFu;
    cfg.gopLength = gop;
    NV_ENC_CONFIG_H264_VUI_PARAMETERS *vui;
    if (s->h265) {
        NV_ENC_CONFIG_HEVC &h = cfg.encodeCodecConfig.hevcConfig;
        h.maxNumRefFramesInDPB = 1;
        h.outputAUD = 0;
        h.repeatSPSPPS = 1;
        h.idrPeriod = gop;
        if (s->slices > 1) {
            h.sliceMode = 3;
            h.sliceModeData = s->slices;
        }
        if (s->bit10) {
            // The flags word keeps its low 11 bits (up to the chroma format).
            uint32_t flags;
            static_assert(offsetof(NV_ENC_CONFIG_HEVC, maxCUSize) + 4 == 16);
            std::memcpy(&flags, (uint8_t *)&h + 16, 4);
            flags &= 0x7FF;
            std::memcpy((uint8_t *)&h + 16, &flags, 4);
            h.pixelBitDepthMinus8 = 2;
        }
        if (s->yuv444) h.chromaFormatIDC = 3;
        vui = &h.hevcVUIParameters;
    } else {
        NV_ENC_CONFIG_H264 &h = cfg.encodeCodecConfig.h264Config;
        h.maxNumRefFrames = 1;
        h.outputAUD = 0;
        h.repeatSPSPPS = 1;
        h.idrPeriod = gop;
        vui = &h.h264VUIParameters;
    }
    if (p->full_range) {
        vui->videoSignalTypePresentFlag = 1;
        vui->videoFormat = 5;  // unspecified
        vui->videoFullRangeFlag = 1;
    }
    return 0;
}

const char *input_name(NV_ENC_BUFFER_FORMAT f) {
    return f == kFormatNv12 ? "nv12" : f == kFormatRgba10 ? "rgba10" : "rgba";
}

// The entry points the row calls; a runtime that leaves one out is refused.
bool api_complete(const NV_ENCODE_API_FUNCTION_LIST &a) {
    return a.nvEncOpenEncodeSessionEx && a.nvEncGetEncodeGUIDCount && a.nvEncGetEncodeGUIDs &&
           a.nvEncGetEncodeCaps && a.nvEncGetEncodePresetConfig && a.nvEncInitializeEncoder &&
           a.nvEncCreateBitstreamBuffer && a.nvEncDestroyBitstreamBuffer && a.nvEncRegisterResource &&
           a.nvEncUnregisterResource && a.nvEncMapInputResource && a.nvEncUnmapInputResource &&
           a.nvEncEncodePicture && a.nvEncLockBitstream && a.nvEncUnlockBitstream &&
           a.nvEncReconfigureEncoder && a.nvEncDestroyEncoder;
}

int32_t init_steps(NveState *s, ID3D11Device *device, uint32_t width, uint32_t height, uint32_t source_format,
                   const RateParams *p) {
    s->format = source_format == CAPTURE_FORMAT_NV12     ? kFormatNv12
                : source_format == CAPTURE_FORMAT_RGBA10 ? kFormatRgba10
                                                         : kFormatRgba;
    s->device = device;
    s->width = width;
    s->height = height;
    nve_save_device_refs(s);

    s->module = VKO_SOLoad("nvEncodeAPI64.dll");
    if (!s->module) {
        log_message(LOG_LEVEL_INFO, "LoadLibrary failed to load %s", "nvEncodeAPI64.dll");
        return ENC_ERR_RUNTIME;
    }
    auto create = (NVENCSTATUS(NVENCAPI *)(NV_ENCODE_API_FUNCTION_LIST *))VKO_SOGetSymbol(
        s->module, "NvEncodeAPICreateInstance");
    if (!create) {
        log_message(LOG_LEVEL_INFO, "GetProcAddress failed to find NvEncodeAPICreateInstance");
        return ENC_ERR_RUNTIME;
    }
    s->api.version = kFunctionListVer;
    NVENCSTATUS st = create(&s->api);
    if (st == NV_ENC_SUCCESS && !api_complete(s->api)) st = NV_ENC_ERR_INVALID_PTR;
    if (st != NV_ENC_SUCCESS) {
        log_message(LOG_LEVEL_INFO, "NvEncodeAPICreateInstance failed: %d", (int)st);
        return ENC_ERR_RUNTIME;
    }

    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS open = {};
    open.version = kOpenSessionVer;
    open.deviceType = (NV_ENC_DEVICE_TYPE)kDeviceDirectX;
    open.device = device;
    open.apiVersion = kApiVersion;
    void *encoder = nullptr;
    st = s->api.nvEncOpenEncodeSessionEx(&open, &encoder);
    if (st != NV_ENC_SUCCESS) {
        log_message(LOG_LEVEL_INFO, "nvEncOpenEncodeSessionEx failed: %d", (int)st);
        // A session the runtime handed out despite the failure is still its to close.
        if (encoder) s->api.nvEncDestroyEncoder(encoder);
        return ENC_ERR_SESSION;
    }
    s->encoder = encoder;
    nve_save_device_refs(s);

    CodecCaps h264 = {}, h265 = {};
    int32_t r = nve_query_caps(s, &h264, &h265);
    if (r) return r;
    s->h265 = p->want_h265 && h265.supported;
    s->bit10 = p->want_10bit && h265.bit10;
    s->yuv444 = p->want_444 && h265.yuv444;
    if (s->bit10 || s->yuv444) s->h265 = 1;
    s->slices = s->yuv444 ? 4 : p->slices;

    if ((r = nve_configure(s, p))) return r;

    NV_ENC_INITIALIZE_PARAMS &in = s->init;
    in.version = kInitializeVer;
    in.encodeGUID = s->h265 ? kCodecH265 : kCodecH264;
    in.presetGUID = kPresetLowLatencyHP;
    in.encodeWidth = in.darWidth = in.maxEncodeWidth = width;
    in.encodeHeight = in.darHeight = in.maxEncodeHeight = height;
    in.frameRateNum = p->fps;
    in.frameRateDen = 1;
    in.enablePTD = 1;
    in.enableEncodeAsync = 0;
    in.encodeConfig = &s->preset.presetCfg;
    if ((st = s->api.nvEncInitializeEncoder(s->encoder, &in)) != NV_ENC_SUCCESS) {
        log_message(LOG_LEVEL_INFO, "nvEncInitializeEncoder failed: %d", (int)st);
        return ENC_ERR_INIT;
    }

    NV_ENC_CREATE_BITSTREAM_BUFFER buf = {};
    buf.version = kBitstreamBufferVer;
    buf.size = kBitstreamSize;
    buf.memoryHeap = (NV_ENC_MEMORY_HEAP)kHeapSystemCached;
    if ((st = s->api.nvEncCreateBitstreamBuffer(s->encoder, &buf)) != NV_ENC_SUCCESS) {
        log_message(LOG_LEVEL_INFO, "nvEncCreateBitstreamBuffer failed: %d", (int)st);
        return ENC_ERR_BITSTREAM;
    }
    s->bitstream = buf.bitstreamBuffer;

    if (s->yuv444) log_message(LOG_LEVEL_INFO, "%-13s = %s", "chroma", "4:4:4");
    log_message(LOG_LEVEL_INFO, "%-13s = %s", "encoder", "nvidia");
    log_message(LOG_LEVEL_INFO, "%-13s = %s", "input", input_name(s->format));
    log_message(LOG_LEVEL_INFO, "%-13s = %s", "codec", s->h265 ? "h265" : "h264");
    if (p->multipass) log_message(LOG_LEVEL_INFO, "%-13s = %s", "multipass", "on");
    return 0;
}

}  // namespace

void nve_destroy(void **handle) {
    NveState *s = handle ? (NveState *)*handle : nullptr;
    if (!s) return;
    if (s->encoder) {
        release_frame(s);
        if (s->bitstream) s->api.nvEncDestroyBitstreamBuffer(s->encoder, s->bitstream);
        s->api.nvEncDestroyEncoder(s->encoder);
    }
    VKO_SOUnload(&s->module);
    VKO_Free(s);
    *handle = nullptr;
}

int32_t nve_init(void **handle, ID3D11Device *device, uint32_t width, uint32_t height, uint32_t source_format,
                 RateParams *params) {
    NveState *s = (NveState *)VKO_Alloc(1, sizeof(NveState));
    *handle = s;
    int32_t r = init_steps(s, device, width, height, source_format, params);
    if (r) nve_destroy(handle);
    return r;
}

int32_t nve_encode(void *handle, ID3D11Texture2D *texture, uint8_t **data, uint32_t *size) {
    NveState *s = (NveState *)handle;
    *data = nullptr;
    *size = 0;
    if (!s || !s->encoder) return ENC_ERR_SUBMIT;
    nve_save_device_refs(s);
    int32_t r = ENC_ERR_INPUT;
    NVENCSTATUS st;
    NV_ENC_LOCK_BITSTREAM lock = {};

    s->reg.version = kRegisterVer;
    s->reg.resourceType = (NV_ENC_INPUT_RESOURCE_TYPE)0;  // DirectX
    s->reg.width = s->width;
    s->reg.height = s->height;
    s->reg.pitch = s->width * 4;
    s->reg.subResourceIndex = 0;
    s->reg.resourceToRegister = texture;
    s->reg.bufferFormat = s->format;
    s->reg.bufferUsage = (NV_ENC_BUFFER_USAGE)0;  // input image
    if ((st = s->api.nvEncRegisterResource(s->encoder, &s->reg)) != NV_ENC_SUCCESS) {
        log_step("nve_encode", "nvEncRegisterResource", __LINE__, st);
        s->reg.registeredResource = nullptr;
        goto fail;
    }
    s->map.version = kMapInputVer;
    s->map.registeredResource = s->reg.registeredResource;
    if ((st = s->api.nvEncMapInputResource(s->encoder, &s->map)) != NV_ENC_SUCCESS) {
        log_step("nve_encode", "nvEncMapInputResource", __LINE__, st);
        s->map.mappedResource = nullptr;
        goto fail;
    }
    {
        NV_ENC_PIC_PARAMS pic = {};
        pic.version = kPicParamsVer;
        pic.inputWidth = s->width;
        pic.inputHeight = s->height;
        pic.inputPitch = s->width * 4;
        pic.inputBuffer = s->map.mappedResource;
        pic.bufferFmt = s->map.mappedBufferFmt;
        pic.outputBitstream = s->bitstream;
        pic.pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
        if (s->h265) {
            pic.codecPicParams.hevcPicParams.sliceModeDataUpdate = 1;
            pic.codecPicParams.hevcPicParams.sliceMode = 3;
            pic.codecPicParams.hevcPicParams.sliceModeData = s->slices;
        } else {
            pic.codecPicParams.h264PicParams.sliceModeDataUpdate = 1;
            pic.codecPicParams.h264PicParams.sliceMode = 3;
            pic.codecPicParams.h264PicParams.sliceModeData = s->slices;
        }
        if ((st = s->api.nvEncEncodePicture(s->encoder, &pic)) != NV_ENC_SUCCESS) {
            log_step("nve_encode", "nvEncEncodePicture", __LINE__, st);
            r = ENC_ERR_SUBMIT;
            goto fail;
        }
    }
    lock.version = kLockBitstreamVer;
    lock.outputBitstream = s->bitstream;
    if ((st = s->api.nvEncLockBitstream(s->encoder, &lock)) != NV_ENC_SUCCESS) {
        log_step("nve_encode", "nvEncLockBitstream", __LINE__, st);
        r = ENC_ERR_OUTPUT;
        goto fail;
    }
    s->locked = s->bitstream;
    if (lock.bitstreamSizeInBytes > ENC_MAX_FRAME || !lock.bitstreamBufferPtr) {
        r = ENC_ERR_TOO_LARGE;
        log_step("nve_encode", "nvEncLockBitstream", __LINE__, r);
        goto fail;
    }
    *size = lock.bitstreamSizeInBytes;
    *data = (uint8_t *)lock.bitstreamBufferPtr;
    return 0;

fail:
    release_frame(s);
    trim_device_refs(s);
    *data = nullptr;
    *size = 0;
    return r;
}

void nve_after_frame(void *handle) {
    NveState *s = (NveState *)handle;
    if (!s || !s->encoder) return;
    release_frame(s);
    trim_device_refs(s);
}

void nve_update_bitrate(void *handle, RateParams *params) {
    NveState *s = (NveState *)handle;
    if (!s || !s->encoder) return;
    NV_ENC_RC_PARAMS &rc = s->preset.presetCfg.rcParams;
    rc.averageBitRate = rc.maxBitRate = bits_per_second(params->bitrate);
    NV_ENC_RECONFIGURE_PARAMS re = {};
    re.version = kReconfigureVer;
    re.reInitEncodeParams = s->init;
    re.resetEncoder = 0;
    re.forceIDR = 0;
    NVENCSTATUS st = s->api.nvEncReconfigureEncoder(s->encoder, &re);
    if (st != NV_ENC_SUCCESS) log_step("nve_update_bitrate", "nvEncReconfigureEncoder", 360, st);
}

bool nve_accepts_rgb(void) {
    return true;
}

void nve_caps(void *handle, EncoderCaps *report) {
    NveState *s = (NveState *)handle;
    if (!s || !report) return;
    report->h265 = s->h265;
    report->yuv444 = s->yuv444;
    report->bit10 = s->bit10;
}
