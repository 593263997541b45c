#include "host/encoder.h"

#include "host/encoder_vendor.h"

#include <cmath>

#include "platform/log.h"
#include "platform/memory.h"
#include "util/logger.h"

const EncoderApi encoder_table[ENC_ROWS] = {
    {},
    {nve_destroy, nve_init, nve_update_bitrate, nve_after_frame, nve_encode, nve_accepts_rgb, nullptr,
     nve_caps},
    {amf_destroy, amf_init, amf_update_bitrate, amf_after_frame, amf_encode, nve_accepts_rgb, nullptr,
     amf_caps},
    {mfxe_destroy, mfxe_init, mfxe_update_bitrate, mfxe_after_frame, mfxe_encode, mfxe_accepts_rgb, nullptr,
     mfxe_caps},
    {mfte_destroy, mfte_init, mfte_update_bitrate, [](void *) {}, mfte_encode, mfte_accepts_rgb, nullptr,
     mfte_caps},
};

void encoder_rate_params_fill(RateParams *p, const HostVideoConfig *video, const HostConfig *host) {
    p->fps = video->encoderFPS ? (uint32_t)video->encoderFPS : 60;
    p->multipass = (host->encoder_min_qp >> 6) & 1;
    p->min_qp = (uint32_t)host->encoder_min_qp & 63;
    p->max_qp = (uint32_t)host->max_qp;
    p->vbv_max = (uint32_t)host->vbv_max;
    p->vbv_initial = (uint32_t)host->vbv_initial;
    p->idr_interval = (uint32_t)host->idr_interval;
    p->slices = (uint32_t)host->slices;
    p->max_bitrate = (float)video->encoderMaxBitrate;
    p->min_bitrate = (float)host->min_bitrate;
    p->vbv_multi = (float)host->vbv_multi / 10.0f;
    p->want_h265 = 0;
    p->software = host->software_encode;
}

uint32_t encoder_vbv_bits(const RateParams *p) {
    float budget = p->max_bitrate * 1000.0f / (float)p->fps * p->vbv_multi;
    uint32_t frame = budget > 0 ? (uint32_t)budget : 0;
    return (p->vbv_max < frame ? p->vbv_max : frame) * 1000;
}

bool encoder_set_bitrate(RateParams *p, float bitrate) {
    bool change = std::fabs(bitrate - p->bitrate) > 0.01f;
    p->bitrate = bitrate;
    return change;
}

int32_t encoder_open(Encoder **out, const EncoderApi *rows, uint32_t count, ID3D11Device *device,
                     uint32_t width, uint32_t height, uint32_t captured_format, RateParams *params) {
    *out = nullptr;
    if (width > ENC_MAX_WIDTH || height > ENC_MAX_HEIGHT) return ENC_ERR_INIT;
    for (uint32_t i = 0; i < count; i++) {
        if (!rows[i].init) continue;
        Encoder *e = (Encoder *)VKO_Alloc(1, sizeof(Encoder));
        e->api = rows[i];
        e->input_format = e->api.accepts_rgb && e->api.accepts_rgb() ? 0 : 10;
        params->software = 0;
        uint32_t source = e->input_format == 0 ? captured_format : 10;
        int32_t r = e->api.init(&e->handle, device, width, height, source, params);
        if (r == 0) {
            *out = e;
            return 0;
        }
        log_message(LOG_LEVEL_INFO, "* %s[%d] = %d", "encode_init", 127, r);
        if (e->api.destroy) e->api.destroy(&e->handle);
        VKO_Free(e);
    }
    return ENC_ERR_INIT;
}

void encoder_close(Encoder **enc) {
    Encoder *e = enc ? *enc : nullptr;
    if (!e) return;
    if (e->api.destroy) e->api.destroy(&e->handle);
    VKO_Free(e);
    *enc = nullptr;
}
