// The software row: H.264 through the first synchronous NV12 -> H.264
// transform the system lists, fed from the capture's NV12 texture through one
// staging texture.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "compat/mfplat/mfplat.h"
#include "host/encoder.h"
#include "platform/file.h"
#include "platform/memory.h"
#include "util/logger.h"

namespace {

struct MfteState {
    IMFTransform *transform;
    IMFMediaBuffer *out_buf;
    IMFMediaBuffer *in_buf;
    uint64_t frames;
    ID3D11Device *device;
    ID3D11Texture2D *staging;
    ID3D11DeviceContext *context;
    ICodecAPI *codec;
    uint32_t frame_size;
    void *module;
    PFN_MFCreateMemoryBuffer create_buffer;
    PFN_MFCreateMediaType create_type;
    PFN_MFCreateSample create_sample;
    PFN_MFTEnumEx enum_ex;
    uint8_t *copy;
    uint32_t copy_size;
    uint32_t width, height, stride;
};

__attribute__((format(printf, 1, 0))) void log_hr(const char *format, HRESULT hr) {
    log_message(LOG_LEVEL_INFO, format, (uint32_t)hr);
}

void set_u32(ICodecAPI *codec, REFGUID api, uint32_t v, HRESULT *hr) {
    VARIANT var = {};
    var.vt = MF_VT_UI4;
    var.ulVal = v;
    HRESULT r = codec->SetValue(api, &var);
    if (hr) *hr = r;
}

uint64_t pack(uint32_t hi, uint32_t lo) {
    return ((uint64_t)hi << 32) | lo;
}

// The type fields both streams share; false after logging the failure.
bool set_common(IMFMediaType *t, REFGUID subtype, uint32_t w, uint32_t h, uint32_t fps) {
    HRESULT hr;
    if ((hr = t->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video)) || (hr = t->SetGUID(MF_MT_SUBTYPE, subtype))) {
        log_hr("'IMFMediaType_SetGUID' failed with HRESULT 0x%X", hr);
        return false;
    }
    if ((hr = t->SetUINT64(MF_MT_FRAME_SIZE, pack(w, h))) ||
        (hr = t->SetUINT64(MF_MT_FRAME_RATE, pack(fps, 1)))) {
        log_hr("'MFSetAttributeSize' failed with HRESULT 0x%X", hr);
        return false;
    }
    return true;
}

int32_t init_steps(MfteState *s, uint32_t width, uint32_t height, RateParams *params) {
    // COM needs no initialisation for this layer.
    s->module = VKO_SOLoad("mfplat.dll");
    if (!s->module) {
        log_message(LOG_LEVEL_INFO, "'mfplat.dll' not found");
        return ENC_ERR_MF_INIT;
    }
    s->create_buffer = (PFN_MFCreateMemoryBuffer)VKO_SOGetSymbol(s->module, "MFCreateMemoryBuffer");
    s->create_type = (PFN_MFCreateMediaType)VKO_SOGetSymbol(s->module, "MFCreateMediaType");
    s->create_sample = (PFN_MFCreateSample)VKO_SOGetSymbol(s->module, "MFCreateSample");
    s->enum_ex = (PFN_MFTEnumEx)VKO_SOGetSymbol(s->module, "MFTEnumEx");
    if (!s->create_buffer || !s->create_type || !s->create_sample || !s->enum_ex) {
        log_message(LOG_LEVEL_INFO, "All 'mfplat.dll' symbols not found");
        return ENC_ERR_MF_INIT;
    }

    MFT_REGISTER_TYPE_INFO in = {MFMediaType_Video, MFVideoFormat_NV12},
                           out = {MFMediaType_Video, MFVideoFormat_H264};
    IMFActivate **acts = nullptr;
    uint32_t count = 0;
    HRESULT hr = s->enum_ex(MFT_CATEGORY_VIDEO_ENCODER, MFT_ENUM_FLAG_SYNCMFT, &in, &out, &acts, &count);
    if (hr) {
        log_hr("'MFTEnumEx' failed with HRESULT 0x%X", hr);
        return ENC_ERR_MF_INIT;
    }
    if (count == 0) {
        log_message(LOG_LEVEL_INFO, "No encoders matched");
        mf_free_activates(acts);
        return ENC_ERR_MF_INIT;
    }
    char name[256];
    if (!acts[0]->GetString(MFT_FRIENDLY_NAME_Attribute, name, sizeof(name), nullptr))
        log_message(LOG_LEVEL_INFO, "%-13s = %s", "encoder", name);
    hr = acts[0]->ActivateObject(IID_IMFTransform, (void **)&s->transform);
    for (uint32_t i = 0; i < count; i++) acts[i]->Release();
    mf_free_activates(acts);
    if (hr) {
        log_hr("'IMFActivate_ActivateObject' failed with HRESULT 0x%X", hr);
        return ENC_ERR_MF_INIT;
    }

    IMFAttributes *attrs = nullptr;
    if (!s->transform->GetAttributes(&attrs)) {
        attrs->SetUINT32(MF_LOW_LATENCY, 1);
        attrs->Release();
    }
    uint32_t mean = (uint32_t)params->max_bitrate * 1000000u;
    if (s->transform->QueryInterface(IID_ICodecAPI, (void **)&s->codec)) s->codec = nullptr;
    if (s->codec) {
        set_u32(s->codec, CODECAPI_AVEncCommonMeanBitRate, mean, nullptr);
        // The rate buffer of the hardware rows: no frame, not even a key
        // frame of a busy 4K screen at a high bitrate, outgrows what the
        // transport and the guests' limits carry.
        set_u32(s->codec, CODECAPI_AVEncCommonBufferSize, encoder_vbv_bits(params), nullptr);
    }

    if ((hr = s->create_buffer(ENC_MAX_FRAME, &s->out_buf))) {
        log_hr("'MFCreateMemoryBuffer' failed with HRESULT 0x%X", hr);
        return ENC_ERR_MF_INIT;
    }
    s->copy = (uint8_t *)VKO_Alloc(ENC_MAX_FRAME, 1);
    s->copy_size = ENC_MAX_FRAME;

    IMFMediaType *type = nullptr;
    if ((hr = s->create_type(&type))) {
        log_hr("'MFCreateMediaType' failed with HRESULT 0x%X", hr);
        return ENC_ERR_MF_INIT;
    }
    int32_t r = ENC_ERR_MF_INIT;
    if (!set_common(type, MFVideoFormat_H264, width, height, params->fps)) goto done;
    if ((hr = type->SetUINT64(MF_MT_PIXEL_ASPECT_RATIO, pack(1, 1)))) {
        log_hr("'MFSetAttributeRatio' failed with HRESULT 0x%X", hr);
        goto done;
    }
    if ((hr = type->SetUINT32(MF_MT_AVG_BITRATE, mean))) {
        log_hr("'MF_MT_AVG_BITRATE' failed with HRESULT 0x%X", hr);
        goto done;
    }
    if ((hr = type->SetUINT32(MF_MT_MAX_KEYFRAME_SPACING, 0x7FFFFFFF))) {
        log_hr("'MF_MT_MAX_KEYFRAME_SPACING' failed with HRESULT 0x%X", hr);
        goto done;
    }
    if ((hr = type->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, 1))) {
        log_hr("'MF_MT_ALL_SAMPLES_INDEPENDENT' failed with HRESULT 0x%X", hr);
        goto done;
    }
    if ((hr = type->SetUINT32(MF_MT_INTERLACE_MODE, 2))) {
        log_hr("'MF_MT_INTERLACE_MODE' failed with HRESULT 0x%X", hr);
        goto done;
    }
    if (s->codec) {
        set_u32(s->codec, CODECAPI_AVEncMPVGOPSize, 0xFFFFFFFFu, &hr);
        log_message(LOG_LEVEL_INFO, "'CODECAPI_AVEncMPVGOPSize' return value 0x%X", (uint32_t)hr);
        set_u32(s->codec, CODECAPI_AVEncNumWorkerThreads, 1, &hr);
        log_message(LOG_LEVEL_INFO, "'CODECAPI_AVEncNumWorkerThreads' return value 0x%X", (uint32_t)hr);
    }
    if ((hr = s->transform->SetOutputType(0, type, 0))) {
        log_hr("'IMFTransform_SetOutputType' failed with HRESULT 0x%X", hr);
        goto done;
    }
    type->Release();
    type = nullptr;

    s->stride = (width + 63) / 64 * 64;
    if ((hr = s->create_type(&type))) {
        log_hr("'MFCreateMediaType' failed with HRESULT 0x%X", hr);
        goto done;
    }
    if (!set_common(type, MFVideoFormat_NV12, width, height, params->fps)) goto done;
    if ((hr = type->SetUINT32(MF_MT_DEFAULT_STRIDE, s->stride))) {
        log_hr("'MF_MT_DEFAULT_STRIDE' failed with HRESULT 0x%X", hr);
        goto done;
    }
    if ((hr = s->transform->SetInputType(0, type, 0))) {
        log_hr("'IMFTransform_SetInputType' failed with HRESULT 0x%X", hr);
        goto done;
    }
    s->frame_size = s->stride * height * 3 / 2;
    if ((hr = s->create_buffer(s->frame_size, &s->in_buf))) {
        log_hr("'MFCreateMemoryBuffer' input failed with HRESULT 0x%X", hr);
        goto done;
    }
    s->device->GetImmediateContext(&s->context);
    params->software = 1;
    r = 0;
done:
    if (type) type->Release();
    return r;
}

// Copies the mapped NV12 picture row by row from its pitch to the
// transform's stride: the luma rows, then the chroma rows that follow
// RowPitch x height bytes later.
void copy_nv12(const D3D11_MAPPED_SUBRESOURCE &m, uint8_t *dst, uint32_t w, uint32_t h, uint32_t stride) {
    const uint8_t *src = (const uint8_t *)m.pData;
    for (uint32_t y = 0; y < h; y++) memcpy(dst + (size_t)y * stride, src + (size_t)y * m.RowPitch, w);
    const uint8_t *uv = src + (size_t)m.RowPitch * h;
    uint8_t *duv = dst + (size_t)stride * h;
    for (uint32_t y = 0; y < h / 2; y++) memcpy(duv + (size_t)y * stride, uv + (size_t)y * m.RowPitch, w);
}

}  // namespace

bool mfte_accepts_rgb(void) {
    return false;
}

void mfte_caps(void *, EncoderCaps *report) {
    report->h265 = 0;
    report->bit10 = 0;
}

int32_t mfte_init(void **handle, ID3D11Device *device, uint32_t width, uint32_t height, uint32_t,
                  RateParams *params) {
    MfteState *s = (MfteState *)VKO_Alloc(1, sizeof(MfteState));
    *handle = s;
    s->device = device;
    if (params->want_h265 || params->want_444 || params->full_range || params->want_10bit)
        return ENC_ERR_MF_INIT;
    // The capture's NV12 texture has even sides.
    s->width = width & ~1u;
    s->height = height & ~1u;
    return init_steps(s, s->width, s->height, params);
}

void mfte_update_bitrate(void *handle, RateParams *params) {
    MfteState *s = (MfteState *)handle;
    // Follows the current target (the other rows do too).
    if (s && s->codec)
        set_u32(s->codec, CODECAPI_AVEncCommonMeanBitRate, (uint32_t)(params->bitrate * 1e6f), nullptr);
}

int32_t mfte_encode(void *handle, ID3D11Texture2D *texture, uint8_t **data, uint32_t *size) {
    MfteState *s = (MfteState *)handle;
    *data = nullptr;
    *size = 0;
    if (!s || !s->transform || !s->in_buf || !s->out_buf) return ENC_ERR_SUBMIT;
    IMFSample *in = nullptr, *out = nullptr;
    D3D11_MAPPED_SUBRESOURCE map = {};
    bool mapped = false;
    int32_t r = ENC_ERR_SUBMIT;
    HRESULT hr;
    uint8_t *buf;
    MFT_OUTPUT_STREAM_INFO info;
    uint32_t max_len;
    if ((hr = s->create_sample(&in))) {
        log_hr("'MFCreateSample' input failed with HRESULT 0x%X", hr);
        return ENC_ERR_SUBMIT;
    }
    if (!s->staging) {
        D3D11_TEXTURE2D_DESC d;
        texture->GetDesc(&d);
        d.Usage = D3D11_USAGE_STAGING;
        d.BindFlags = 0;
        d.CPUAccessFlags = D3D11_CPU_ACCESS_READ | D3D11_CPU_ACCESS_WRITE;
        d.MiscFlags = 0;
        if ((hr = s->device->CreateTexture2D(&d, nullptr, &s->staging))) {
            log_hr("'ID3D11Device_CreateTexture2D' failed with HRESULT 0x%X", hr);
            log_hr("'mfte_copy_texture' failed with HRESULT 0x%X", hr);
            goto done;
        }
    }
    s->context->CopyResource(s->staging, texture);
    s->context->Flush();
    if ((hr = s->context->Map(s->staging, 0, D3D11_MAP_READ_WRITE, 0, &map))) {
        log_message(LOG_LEVEL_INFO, "ID3D11DeviceContext_Map failed: 0x%X\n", (uint32_t)hr);
        goto done;
    }
    mapped = true;
    if ((hr = s->in_buf->Lock(&buf, nullptr, nullptr))) {
        log_hr("'IMFMediaBuffer_Lock' failed with HRESULT 0x%X", hr);
        r = ENC_ERR_MF_BUFFER;
        goto done;
    }
    copy_nv12(map, buf, s->width, s->height, s->stride);
    s->in_buf->SetCurrentLength(s->frame_size);
    if ((hr = s->in_buf->Unlock())) {
        log_hr("'IMFMediaBuffer_Unlock' failed with HRESULT 0x%X", hr);
        r = ENC_ERR_MF_BUFFER;
        goto done;
    }
    if ((hr = in->AddBuffer(s->in_buf))) {
        log_hr("'IMFSample_AddBuffer' failed with HRESULT 0x%X", hr);
        goto done;
    }
    if ((hr = in->SetSampleTime((int64_t)s->frames * 160000)) || (hr = in->SetSampleDuration(160000))) {
        log_hr("'IMFSample_SetSampleTime' failed with HRESULT 0x%X", hr);
        goto done;
    }
    s->frames++;
    if ((hr = s->transform->ProcessInput(0, in, 0))) {
        log_hr("'IMFTransform_ProcessInput' failed with HRESULT 0x%X", hr);
        goto done;
    }
    if ((hr = s->transform->GetOutputStreamInfo(0, &info))) {
        log_hr("'IMFTransform_GetOutputStreamInfo' failed with HRESULT 0x%X", hr);
        goto done;
    }
    if ((hr = s->out_buf->GetMaxLength(&max_len))) {
        log_hr("'IMFMediaBuffer_GetMaxLength' failed with HRESULT 0x%X", hr);
        goto done;
    }
    if (info.cbSize > max_len) {
        // The old buffers stay until both new ones exist.
        log_message(LOG_LEVEL_INFO, "Resizing buffer to %d", (int)info.cbSize);
        IMFMediaBuffer *grown = nullptr;
        if ((hr = s->create_buffer(info.cbSize, &grown))) {
            log_hr("'MFCreateMemoryBuffer' failed with HRESULT 0x%X", hr);
            goto done;
        }
        s->out_buf->Release();
        s->out_buf = grown;
        VKO_Free(s->copy);
        s->copy = (uint8_t *)VKO_Alloc(info.cbSize, 1);
        s->copy_size = info.cbSize;
    }
    if ((hr = s->create_sample(&out))) {
        log_hr("'MFCreateSample' input failed with HRESULT 0x%X", hr);
        goto done;
    }
    s->out_buf->SetCurrentLength(0);
    out->AddBuffer(s->out_buf);
    {
        MFT_OUTPUT_DATA_BUFFER ob = {0, out, 0, nullptr};
        uint32_t status = 0;
        hr = s->transform->ProcessOutput(0, 1, &ob, &status);
    }
    if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT) {
        // A transform holding the frame back: no output yet, asked again
        // with the next frame instead of spinning here.
        r = 0;
    } else if (hr == MF_E_BUFFERTOOSMALL) {
        log_message(LOG_LEVEL_INFO, "'IMFTransform_ProcessOutput' buffer too small HRESULT 0x%X",
                    (uint32_t)hr);
    } else if (hr) {
        log_hr("'IMFTransform_ProcessOutput' failed with HRESULT 0x%X", hr);
    } else {
        uint32_t len = 0;
        s->out_buf->GetCurrentLength(&len);
        if (len > ENC_MAX_FRAME) {
            // The rate buffer should prevent it; refused like the other rows.
            r = ENC_ERR_TOO_LARGE;
        } else {
            uint8_t *p;
            s->out_buf->Lock(&p, nullptr, nullptr);
            if (len > s->copy_size) len = s->copy_size;
            memcpy(s->copy, p, len);
            s->out_buf->Unlock();
            *data = s->copy;
            *size = len;
            r = 0;
        }
    }
done:
    if (out) out->Release();
    if (mapped) s->context->Unmap(s->staging, 0);
    in->Release();
    return r;
}

void mfte_destroy(void **handle) {
    MfteState *s = handle ? (MfteState *)*handle : nullptr;
    if (!s) return;
    d3d_release(&s->staging);
    d3d_release(&s->context);
    if (s->codec) s->codec->Release();
    VKO_Free(s->copy);
    if (s->out_buf) s->out_buf->Release();
    if (s->in_buf) s->in_buf->Release();
    if (s->transform) s->transform->Release();
    VKO_SOUnload(&s->module);
    VKO_Free(s);
    *handle = nullptr;
}
