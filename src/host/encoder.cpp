#include "host/encoder.h"

#include "host/encoder_vendor.h"

#include <cmath>

#include "platform/file.h"
#include "platform/memory.h"
#include "util/logger.h"

namespace {

// The vendor runtimes are loaded by name; where one is missing its row fails
// as on a machine without that graphics card. Their encoding sessions are
// not built on this platform, so a present runtime fails the same way.
struct VendorRow {
    const char *library;
    const char *entry;
    const char *tag;
    int32_t code;
};

const VendorRow kVendors[] = {
    {"amfrt64.dll", "AMFInit", "amf_init", ENC_ERR_RUNTIME},
};

template <int I>
int32_t vendor_init(void **handle, ID3D11Device *, uint32_t, uint32_t, uint32_t, RateParams *) {
    const VendorRow &v = kVendors[I];
    *handle = nullptr;
    void *so = VKO_SOLoad(v.library);
    if (!so) {
        log_message(LOG_LEVEL_INFO, "* %s/%s[%d] = %d", v.tag, "LoadLibrary", __LINE__, v.code);
        return v.code;
    }
    void *sym = VKO_SOGetSymbol(so, v.entry);
    log_message(LOG_LEVEL_INFO, "* %s/%s[%d] = %d", v.tag, sym ? "unsupported" : "GetProcAddress", __LINE__,
                v.code);
    VKO_SOUnload(&so);
    return v.code;
}

void vendor_destroy(void **handle) {
    if (handle) *handle = nullptr;
}

bool vendor_accepts_rgb(void) {
    return true;
}

#define VENDOR_ROW(i) \
    { vendor_destroy, vendor_init<i>, nullptr, nullptr, nullptr, vendor_accepts_rgb, nullptr, nullptr }

}  // namespace

const EncoderApi encoder_table[ENC_ROWS] = {
    {},
    {nve_destroy, nve_init, nve_update_bitrate, nve_after_frame, nve_encode, nve_accepts_rgb, nullptr,
     nve_caps},
    VENDOR_ROW(0),
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
        if (e->api.init(&e->handle, device, width, height, source, params) == 0) {
            *out = e;
            return 0;
        }
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
