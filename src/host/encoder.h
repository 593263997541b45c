// The encoder interface: one table of operations per back-end, the rate
// parameters filled from the host settings, and the walk that keeps the
// first back-end whose initialisation succeeds. Every back-end takes a
// texture and hands back one Annex B access unit, owned by it until
// after_frame.
#pragma once

#include <cstdint>

#include "compat/d3d/d3d.h"
#include "util/config_records.h"

#define ENC_ERR_INIT (-15000)
#define ENC_ERR_SUBMIT (-15002)
#define ENC_ERR_TOO_LARGE (-15006)
#define ENC_ERR_SESSION (-15007)
#define ENC_ERR_PRESET (-15100)
#define ENC_ERR_RUNTIME (-15101)
#define ENC_ERR_MF_INIT (-10)
#define ENC_ERR_MF_BUFFER (-14)

#define ENC_MAX_FRAME 2097152u
#define ENC_MAX_WIDTH 3840u
#define ENC_MAX_HEIGHT 2160u
#define ENC_ROWS 5u

struct RateParams {
    uint32_t fps;
    uint32_t min_qp;
    uint32_t max_qp;
    float max_bitrate;  // Mbit/s
    float min_bitrate;  // Mbit/s
    uint32_t vbv_max;   // kbit
    float vbv_multi;    // frames
    uint32_t vbv_initial;
    uint32_t idr_interval;
    uint32_t slices;
    uint8_t multipass;
    uint8_t want_h265;
    uint8_t want_444;
    uint8_t software;
    uint8_t full_range;
    uint8_t want_10bit;
    float bitrate;  // current target, Mbit/s
};

struct EncoderCaps {
    uint8_t first;
    uint8_t h265;
    uint8_t yuv444;
    uint8_t bit10;
};

struct EncoderApi {
    void (*destroy)(void **handle);
    int32_t (*init)(void **handle, ID3D11Device *device, uint32_t width, uint32_t height,
                    uint32_t source_format, RateParams *params);
    void (*update_bitrate)(void *handle, RateParams *params);
    void (*after_frame)(void *handle);
    int32_t (*encode)(void *handle, ID3D11Texture2D *texture, uint8_t **data, uint32_t *size);
    bool (*accepts_rgb)(void);
    void *reserved;
    void (*caps)(void *handle, EncoderCaps *report);
};

// One initialisation attempt: input_format 0 gives the encoder the captured
// texture, 10 the capture's NV12 texture.
struct Encoder {
    void *handle;
    uint32_t input_format;
    EncoderApi api;
};

// Rows in walk order: none, NVENC, AMF, Quick Sync, Media Foundation.
extern const EncoderApi encoder_table[ENC_ROWS];

void encoder_rate_params_fill(RateParams *params, const HostVideoConfig *video, const HostConfig *host);
// VBV size in bits for the configured maximum bitrate.
uint32_t encoder_vbv_bits(const RateParams *params);
// Stores a new target; true when update_bitrate should be called.
bool encoder_set_bitrate(RateParams *params, float bitrate);

// Walks the rows in order and keeps the first that initialises; a failed row
// is logged with its code and destroyed at once. -15000 when none does or the
// frame is too large.
int32_t encoder_open(Encoder **out, const EncoderApi *rows, uint32_t count, ID3D11Device *device,
                     uint32_t width, uint32_t height, uint32_t captured_format, RateParams *params);
void encoder_close(Encoder **enc);

// The Media Foundation row.
void mfte_destroy(void **handle);
int32_t mfte_init(void **handle, ID3D11Device *device, uint32_t width, uint32_t height,
                  uint32_t source_format, RateParams *params);
void mfte_update_bitrate(void *handle, RateParams *params);
int32_t mfte_encode(void *handle, ID3D11Texture2D *texture, uint8_t **data, uint32_t *size);
bool mfte_accepts_rgb(void);
void mfte_caps(void *handle, EncoderCaps *report);
