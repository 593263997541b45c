// The AMD row: H.264 or H.265 through the AMF runtime, loaded by name at init.
// Every encoder property is set by its name (the H.265 component takes the
// "Hevc" twin of each), and a failing one is logged under its constant name.
// The captured texture is wrapped as a surface and submitted; the output is
// polled and handed out in place until after_frame.
#include <cmath>
#include <cstring>

#include "host/amf_iface.h"
#include "host/capture.h"
#include "host/encoder_vendor.h"
#include "platform/file.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "util/logger.h"

namespace {

constexpr int kPolls = 2000;

struct AmfState {
    void *module;
    AMFFactory *factory;
    AMFContext *context;
    AMFComponent *component;
    AMFData *pending;  // the last frame's output, held until after_frame
    uint8_t h265;
    uint8_t bit10;
};

struct AmfCaps {
    uint8_t accelerated;
    uint8_t reserved[3];
    uint32_t max_width;
    uint32_t max_height;
};

#define LOG_STEP(op, call, line, code) \
    log_message(LOG_LEVEL_INFO, "* %s/%s[%d] = %d", op, call, line, (int)(code))

template <typename T>
void amf_release(T **obj) {
    if (*obj) (*obj)->Release();
    *obj = nullptr;
}

AMFVariantStruct v_int(int64_t v) {
    AMFVariantStruct s = {};
    s.type = AMF_VARIANT_INT64;
    s.int64Value = v;
    return s;
}
AMFVariantStruct v_bool(bool v) {
    AMFVariantStruct s = {};
    s.type = AMF_VARIANT_BOOL;
    s.boolValue = v;
    return s;
}
AMFVariantStruct v_size(uint32_t w, uint32_t h) {
    AMFVariantStruct s = {};
    s.type = AMF_VARIANT_SIZE;
    s.sizeValue = {(int32_t)w, (int32_t)h};
    return s;
}
AMFVariantStruct v_rate(uint32_t num, uint32_t den) {
    AMFVariantStruct s = {};
    s.type = AMF_VARIANT_RATE;
    s.rateValue = {num, den};
    return s;
}

// One property; a failure is logged under the property's constant name.
bool set_prop(AMFPropertyStorage *obj, const char16_t *name, AMFVariantStruct value, const char *tag,
              const char *constant, int line) {
    AMF_RESULT r = obj->SetProperty(name, value);
    if (r != AMF_OK) LOG_STEP(tag, constant, line, r);
    return r == AMF_OK;
}

// A property that has an H.264 and an H.265 name (and constant name): the
// one for the codec in use.
struct Twin {
    const char16_t *h264, *hevc;
    const char *h264_constant, *hevc_constant;
};

bool set_twin(AmfState *s, AMFPropertyStorage *obj, const Twin &t, AMFVariantStruct value, const char *tag,
              int line) {
    return set_prop(obj, s->h265 ? t.hevc : t.h264, value, tag, s->h265 ? t.hevc_constant : t.h264_constant,
                    line);
}

#define SET(twin, value) set_twin(s, s->component, twin, value, "amf_log_if_error", __LINE__)

int64_t bits_per_second(float mbit) {
    double v = (double)mbit * 1000000.0;
    return !(v > 0) ? 0 : v >= 9.2e18 ? INT64_MAX : (int64_t)v;
}

void set_bitrates(AmfState *s, const RateParams *params) {
    int64_t bps = bits_per_second(params->bitrate);
    set_twin(s, s->component,
             Twin{u"TargetBitrate", u"HevcTargetBitrate", "AMF_VIDEO_ENCODER_TARGET_BITRATE",
                  "AMF_VIDEO_ENCODER_HEVC_TARGET_BITRATE"},
             v_int(bps), "amf_update_bitrate", 401);
    set_twin(s, s->component,
             Twin{u"PeakBitrate", u"HevcPeakBitrate", "AMF_VIDEO_ENCODER_PEAK_BITRATE",
                  "AMF_VIDEO_ENCODER_HEVC_PEAK_BITRATE"},
             v_int(bps), "amf_update_bitrate", 404);
}

// True when every property that counts was taken.
bool amf_set_properties(AmfState *s, uint32_t width, uint32_t height, const RateParams *params, bool ultra) {
    bool ok = true;
    const Twin usage = ultra ? Twin{u"Usage", u"HevcUsage", "AMF_VIDEO_ENCODER_USAGE_ULTRA_LOW_LATENCY",
                                    "AMF_VIDEO_ENCODER_HEVC_USAGE_ULTRA_LOW_LATENCY"}
                             : Twin{u"Usage", u"HevcUsage", "AMF_VIDEO_ENCODER_USAGE_LOW_LATENCY",
                                    "AMF_VIDEO_ENCODER_HEVC_USAGE_LOW_LATENCY"};
    ok &= SET(usage, v_int(ultra ? 1 : 2));
    SET((Twin{u"QualityPreset", u"HevcQualityPreset", "AMF_VIDEO_ENCODER_QUALITY_PRESET",
              "AMF_VIDEO_ENCODER_HEVC_QUALITY_PRESET"}),
        v_int(s->h265 ? 10 : 1));
    ok &= SET((Twin{u"FrameSize", u"HevcFrameSize", "AMF_VIDEO_ENCODER_FRAMESIZE",
                    "AMF_VIDEO_ENCODER_HEVC_FRAMESIZE"}),
              v_size(width, height));
    ok &= SET((Twin{u"MaxNumRefFrames", u"HevcMaxNumRefFrames", "AMF_VIDEO_ENCODER_MAX_NUM_REFRAMES",
                    "AMF_VIDEO_ENCODER_HEVC_MAX_NUM_REFRAMES"}),
              v_int(1));
    ok &= SET((Twin{u"FrameRate", u"HevcFrameRate", "AMF_VIDEO_ENCODER_FRAMERATE",
                    "AMF_VIDEO_ENCODER_HEVC_FRAMERATE"}),
              v_rate(params->fps, 1));
    SET((Twin{u"RateControlSkipFrameEnable", u"HevcRateControlSkipFrameEnable",
              "AMF_VIDEO_ENCODER_RATE_CONTROL_SKIP_FRAME_ENABLE",
              "AMF_VIDEO_ENCODER_HEVC_RATE_CONTROL_SKIP_FRAME_ENABLE"}),
        v_bool(false));
    ok &= SET((Twin{u"FillerDataEnable", u"HevcFillerDataEnable", "AMF_VIDEO_ENCODER_FILLER_DATA_ENABLE",
                    "AMF_VIDEO_ENCODER_HEVC_FILLER_DATA_ENABLE"}),
              v_bool(false));
    ok &= SET((Twin{u"RateControlMethod", u"HevcRateControlMethod", "AMF_VIDEO_ENCODER_RATE_CONTROL_METHOD",
                    "AMF_VIDEO_ENCODER_HEVC_RATE_CONTROL_METHOD"}),
              v_int(2));
    if (!s->h265 && params->multipass)
        SET((Twin{u"RateControlPreanalysisEnable", u"HevcRateControlPreanalysisEnable",
                  "AMF_VIDEO_ENCODER_RATE_CONTROL_PREANALYSIS_ENABLE",
                  "AMF_VIDEO_ENCODER_HEVC_RATE_CONTROL_PREANALYSIS_ENABLE"}),
            v_bool(true));
    set_bitrates(s, params);
    uint32_t vbv = encoder_vbv_bits(params);
    ok &= SET((Twin{u"VBVBufferSize", u"HevcVBVBufferSize", "AMF_VIDEO_ENCODER_VBV_BUFFER_SIZE",
                    "AMF_VIDEO_ENCODER_HEVC_VBV_BUFFER_SIZE"}),
              v_int(vbv));
    ok &= SET((Twin{u"InitialVBVBufferFullness", u"HevcInitialVBVBufferFullness",
                    "AMF_VIDEO_ENCODER_INITIAL_VBV_BUFFER_FULLNESS",
                    "AMF_VIDEO_ENCODER_HEVC_INITIAL_VBV_BUFFER_FULLNESS"}),
              v_int((int64_t)((double)params->vbv_initial / 100.0 * 64)));
    SET((Twin{u"InColorPrimaries", u"HevcInColorPrimaries", "AMF_VIDEO_ENCODER_INPUT_COLOR_PRIMARIES",
              "AMF_VIDEO_ENCODER_HEVC_INPUT_COLOR_PRIMARIES"}),
        v_int(1));
    SET((Twin{u"OutColorPrimaries", u"HevcOutColorPrimaries", "AMF_VIDEO_ENCODER_OUTPUT_COLOR_PRIMARIES",
              "AMF_VIDEO_ENCODER_HEVC_OUTPUT_COLOR_PRIMARIES"}),
        v_int(1));
    SET((Twin{u"InColorTransferChar", u"HevcInColorTransferChar",
              "AMF_VIDEO_ENCODER_INPUT_TRANSFER_CHARACTERISTIC",
              "AMF_VIDEO_ENCODER_HEVC_INPUT_TRANSFER_CHARACTERISTIC"}),
        v_int(1));
    SET((Twin{u"OutColorTransferChar", u"HevcOutColorTransferChar",
              "AMF_VIDEO_ENCODER_OUTPUT_TRANSFER_CHARACTERISTIC",
              "AMF_VIDEO_ENCODER_HEVC_OUTPUT_TRANSFER_CHARACTERISTIC"}),
        v_int(1));
    SET((Twin{u"InColorProfile", u"HevcInColorProfile", "AMF_VIDEO_ENCODER_INPUT_COLOR_PROFILE",
              "AMF_VIDEO_ENCODER_HEVC_INPUT_COLOR_PROFILE"}),
        v_int(1));
    SET((Twin{u"OutColorProfile", u"HevcOutColorProfile", "AMF_VIDEO_ENCODER_OUTPUT_COLOR_PROFILE",
              "AMF_VIDEO_ENCODER_HEVC_OUTPUT_COLOR_PROFILE"}),
        v_int(1));
    AMFComponent *c = s->component;
    if (s->h265) {
        const char *tag = "amf_log_if_error";
        if (params->idr_interval > 1)
            ok &= set_prop(c, u"HevcGOPSPerIDR", v_int(params->idr_interval), tag,
                           "AMF_VIDEO_ENCODER_HEVC_NUM_GOPS_PER_IDR", __LINE__);
        set_prop(c, u"HevcGOPSize", v_int(0), tag, "AMF_VIDEO_ENCODER_HEVC_GOP_SIZE", __LINE__);
        ok &= set_prop(c, u"HevcHeaderInsertionMode", v_int(2), tag,
                       "AMF_VIDEO_ENCODER_HEVC_HEADER_INSERTION_MODE", __LINE__);
        set_prop(c, u"HevcMinQP_I", v_int(params->min_qp), tag, "AMF_VIDEO_ENCODER_HEVC_MIN_QP_I", __LINE__);
        set_prop(c, u"HevcMaxQP_I", v_int(params->max_qp), tag, "AMF_VIDEO_ENCODER_HEVC_MAX_QP_I", __LINE__);
        set_prop(c, u"HevcMinQP_P", v_int(params->min_qp), tag, "AMF_VIDEO_ENCODER_HEVC_MIN_QP_P", __LINE__);
        set_prop(c, u"HevcMaxQP_P", v_int(params->max_qp), tag, "AMF_VIDEO_ENCODER_HEVC_MAX_QP_P", __LINE__);
        if (s->bit10)
            ok &= set_prop(c, u"HevcColorBitDepth", v_int(10), tag, "AMF_VIDEO_ENCODER_HEVC_COLOR_BIT_DEPTH",
                           __LINE__);
        ok &= set_prop(c, u"HevcProfile", v_int(s->bit10 ? 2 : 1), tag, "AMF_VIDEO_ENCODER_HEVC_PROFILE",
                       __LINE__);
    } else {
        const char *tag = "amf_log_if_error";
        ok &= set_prop(c, u"Profile", v_int(100), tag, "AMF_VIDEO_ENCODER_PROFILE", __LINE__);
        ok &= set_prop(c, u"IDRPeriod", v_int(params->idr_interval), tag, "AMF_VIDEO_ENCODER_IDR_PERIOD",
                       __LINE__);
        ok &= set_prop(c, u"BReferenceEnable", v_bool(false), tag, "AMF_VIDEO_ENCODER_B_REFERENCE_ENABLE",
                       __LINE__);
        set_prop(c, u"MinQP", v_int(params->min_qp), tag, "AMF_VIDEO_ENCODER_MIN_QP", __LINE__);
        set_prop(c, u"MaxQP", v_int(params->max_qp), tag, "AMF_VIDEO_ENCODER_MAX_QP", __LINE__);
    }
    return ok;
}

void amf_get_caps(AmfState *s, AmfCaps *caps, const char16_t *component_name) {
    std::memset(caps, 0, sizeof *caps);
    AMFComponent *comp = nullptr;
    AMFCaps *c = nullptr;
    AMFIOCaps *io = nullptr;
    AMF_RESULT r = s->factory->CreateComponent(s->context, component_name, &comp);
    if (r != AMF_OK || !comp) {
        LOG_STEP("amf_get_caps", "AMFFactory_CreateComponent", 75, r);
    } else if ((r = comp->GetCaps(&c)) != AMF_OK || !c) {
        LOG_STEP("amf_get_caps", "AMFComponent_GetCaps", 81, r);
    } else if ((r = c->GetInputCaps(&io)) != AMF_OK || !io) {
        LOG_STEP("amf_get_caps", "AMFCaps_GetInputCaps", 89, r);
    } else {
        caps->accelerated = c->GetAccelerationType() == AMF_ACCEL_HARDWARE;
        int32_t lo = 0, hi = 0;
        io->GetWidthRange(&lo, &hi);
        caps->max_width = hi > 0 ? (uint32_t)hi : 0;
        lo = hi = 0;
        io->GetHeightRange(&lo, &hi);
        caps->max_height = hi > 0 ? (uint32_t)hi : 0;
    }
    amf_release(&io);
    amf_release(&c);
    amf_release(&comp);
}

int32_t surface_format(uint32_t source_format) {
    switch (source_format) {
        case CAPTURE_FORMAT_NV12:
            return AMF_SURFACE_NV12;
        case CAPTURE_FORMAT_RGBA10:
            return AMF_SURFACE_R10G10B10A2;
        case CAPTURE_FORMAT_BGRA:
            return AMF_SURFACE_BGRA;
        default:
            return AMF_SURFACE_RGBA;
    }
}

int32_t init_steps(AmfState *s, ID3D11Device *device, uint32_t width, uint32_t height, uint32_t source_format,
                   const RateParams *params) {
    s->module = VKO_SOLoad("amfrt64.dll");
    if (!s->module) {
        LOG_STEP("amf_init", "LoadLibrary", __LINE__, ENC_ERR_RUNTIME);
        return ENC_ERR_RUNTIME;
    }
    auto query_version = (AMFQueryVersion_Fn)VKO_SOGetSymbol(s->module, "AMFQueryVersion");
    if (!query_version) {
        LOG_STEP("amf_init", "GetProcAddress", __LINE__, ENC_ERR_RUNTIME);
        return ENC_ERR_RUNTIME;
    }
    uint64_t version = 0;
    if (query_version(&version) != AMF_OK) {
        LOG_STEP("amf_init", "AMFQueryVersion", __LINE__, ENC_ERR_RUNTIME);
        return ENC_ERR_RUNTIME;
    }
    auto amf_init_fn = (AMFInit_Fn)VKO_SOGetSymbol(s->module, "AMFInit");
    if (!amf_init_fn) {
        LOG_STEP("amf_init", "GetProcAddress", __LINE__, ENC_ERR_RUNTIME);
        return ENC_ERR_RUNTIME;
    }
    if (amf_init_fn(version, &s->factory) != AMF_OK || !s->factory) {
        s->factory = nullptr;
        LOG_STEP("amf_init", "AMFInit", __LINE__, ENC_ERR_RUNTIME);
        return ENC_ERR_RUNTIME;
    }

    if (s->factory->CreateContext(&s->context) != AMF_OK || !s->context) {
        s->context = nullptr;
        LOG_STEP("amf_init", "AMFFactory_CreateContext", __LINE__, ENC_ERR_SESSION);
        return ENC_ERR_SESSION;
    }
    if (s->context->InitDX11(device, AMF_DX11_0) != AMF_OK) {
        LOG_STEP("amf_init", "AMFContext_Init", __LINE__, ENC_ERR_DEVICE);
        return ENC_ERR_DEVICE;
    }

    AmfCaps h264 = {}, h265 = {};
    amf_get_caps(s, &h264, u"AMFVideoEncoderVCE_AVC");
    amf_get_caps(s, &h265, u"AMFVideoEncoderHW_HEVC");
    s->h265 = params->want_h265 && h265.accelerated;
    // The probe reads no 10-bit capability, so the byte stays 0 and 10-bit is never granted.
    if (params->want_10bit && h265.reserved[2]) s->h265 = s->bit10 = 1;

    const char16_t *name = s->h265 ? u"AMFVideoEncoderHW_HEVC" : u"AMFVideoEncoderVCE_AVC";
    if (s->factory->CreateComponent(s->context, name, &s->component) != AMF_OK || !s->component) {
        s->component = nullptr;
        LOG_STEP("amf_init", "AMFFactory_CreateComponent", __LINE__, ENC_ERR_COMPONENT);
        return ENC_ERR_COMPONENT;
    }

    if (!amf_set_properties(s, width, height, params, true)) {
        log_message(
            LOG_LEVEL_INFO,
            "WARNING: Couldn't configure AMD encoder for ultra-low latency mode. Switching to low latency "
            "mode.");
        amf_set_properties(s, width, height, params, false);
    }

    if (s->component->Init(surface_format(source_format), (int32_t)width, (int32_t)height) != AMF_OK) {
        LOG_STEP("amf_init", "AMFComponent_Init", __LINE__, ENC_ERR_INIT);
        return ENC_ERR_INIT;
    }

    log_message(LOG_LEVEL_INFO, "%-13s = %s", "encoder", "amd");
    log_message(LOG_LEVEL_INFO, "%-13s = %s", "input",
                source_format == CAPTURE_FORMAT_NV12     ? "nv12"
                : source_format == CAPTURE_FORMAT_RGBA10 ? "rgba10"
                                                         : "rgba");
    log_message(LOG_LEVEL_INFO, "%-13s = %s", "codec", s->h265 ? "h265" : "h264");
    if (params->multipass) log_message(LOG_LEVEL_INFO, "%-13s = %s", "multipass", "on");
    return 0;
}

}  // namespace

void amf_destroy(void **handle) {
    AmfState *s = handle ? (AmfState *)*handle : nullptr;
    if (!s) return;
    amf_release(&s->pending);
    if (s->component) {
        s->component->Flush();
        s->component->Terminate();
        amf_release(&s->component);
    }
    if (s->context) {
        s->context->Terminate();
        amf_release(&s->context);
    }
    s->factory = nullptr;  // the runtime's own
    VKO_SOUnload(&s->module);
    VKO_Free(s);
    *handle = nullptr;
}

int32_t amf_init(void **handle, ID3D11Device *device, uint32_t width, uint32_t height, uint32_t source_format,
                 RateParams *params) {
    AmfState *s = (AmfState *)VKO_Alloc(1, sizeof(AmfState));
    *handle = s;
    int32_t r = init_steps(s, device, width, height, source_format, params);
    if (r) amf_destroy(handle);
    return r;
}

int32_t amf_encode(void *handle, ID3D11Texture2D *texture, uint8_t **data, uint32_t *size) {
    AmfState *s = (AmfState *)handle;
    // Size 0 is "no frame": polling may end without output.
    *data = nullptr;
    *size = 0;
    if (!s || !s->component) return ENC_ERR_SUBMIT;
    amf_release(&s->pending);
    AMFSurface *surface = nullptr;
    AMFData *input = nullptr;
    int32_t r = 0;
    if (s->context->CreateSurfaceFromDX11Native(texture, &surface, nullptr) != AMF_OK || !surface) {
        surface = nullptr;
        LOG_STEP("amf_encode", "AMFContext_CreateSurfaceFromDX11Native", 433, ENC_ERR_INPUT);
        r = ENC_ERR_INPUT;
    } else if (surface->QueryInterface(IID_AMFData, (void **)&input) != AMF_OK || !input) {
        input = nullptr;
        LOG_STEP("amf_encode", "AMF_QueryInterface:AMFData", 440, ENC_ERR_SUBMIT);
        r = ENC_ERR_SUBMIT;
    } else {
        set_twin(s, input,
                 Twin{u"InsertAUD", u"HevcInsertAUD", "AMF_VIDEO_ENCODER_INSERT_AUD",
                      "AMF_VIDEO_ENCODER_HEVC_INSERT_AUD"},
                 v_bool(false), "amf_encode", 447);
        if (s->component->SubmitInput(input) != AMF_OK) {
            LOG_STEP("amf_encode", "AMFComponent_SubmitInput", 452, ENC_ERR_SUBMIT);
            r = ENC_ERR_SUBMIT;
        }
    }
    for (int poll = 0; r == 0 && poll < kPolls; poll++) {
        AMF_RESULT st = s->component->QueryOutput(&s->pending);
        if (st != AMF_OK && st != AMF_REPEAT) {
            LOG_STEP("amf_encode", "AMFComponent_QueryOutput", 467, ENC_ERR_OUTPUT);
            r = ENC_ERR_OUTPUT;
            break;
        }
        if (st == AMF_REPEAT || !s->pending) {
            amf_release(&s->pending);
            VKO_Sleep(1);
            continue;
        }
        AMFBuffer *buffer = nullptr;
        if (s->pending->QueryInterface(IID_AMFBuffer, (void **)&buffer) != AMF_OK || !buffer) {
            LOG_STEP("amf_encode", "AMF_QueryInterface:AMFBuffer", 474, ENC_ERR_OUTPUT);
            r = ENC_ERR_OUTPUT;
            break;
        }
        size_t n = buffer->GetSize();
        if (n <= ENC_MAX_FRAME) {
            *size = (uint32_t)n;
            *data = (uint8_t *)buffer->GetNative();
        } else {
            r = ENC_ERR_TOO_LARGE;
        }
        buffer->Release();  // the pending output keeps the data alive
        break;
    }
    amf_release(&input);
    amf_release(&surface);
    if (r != 0) {
        amf_release(&s->pending);
        *data = nullptr;
        *size = 0;
    }
    return r;
}

void amf_after_frame(void *handle) {
    AmfState *s = (AmfState *)handle;
    if (s) amf_release(&s->pending);
}

void amf_update_bitrate(void *handle, RateParams *params) {
    AmfState *s = (AmfState *)handle;
    if (s && s->component) set_bitrates(s, params);
}

void amf_caps(void *handle, EncoderCaps *report) {
    AmfState *s = (AmfState *)handle;
    if (!s || !report) return;
    report->h265 = s->h265;
    report->yuv444 = 0;
    report->bit10 = s->bit10;
}
