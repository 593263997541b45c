// The hardware rows of the encoder table: NVENC, AMF and Quick Sync. Each
// loads its vendor runtime by name at init; where the runtime is missing or
// refuses, init fails with its code after tearing everything down, and the
// walk moves on to the next row.
#pragma once

#include "host/encoder.h"

#define ENC_ERR_COMPONENT (-15103)
#define ENC_ERR_SURFACE_QUERY (-15104)
#define ENC_ERR_BITSTREAM (-15105)
#define ENC_ERR_INPUT (-15106)
#define ENC_ERR_OUTPUT (-15107)
#define ENC_ERR_PLATFORM (-15108)
#define ENC_ERR_DEVICE (-15109)
#define ENC_ERR_CAPS (-15110)
#define ENC_ERR_MULTITHREAD (-22005)

// NVENC.
void nve_destroy(void **handle);
int32_t nve_init(void **handle, ID3D11Device *device, uint32_t width, uint32_t height, uint32_t source_format,
                 RateParams *params);
void nve_update_bitrate(void *handle, RateParams *params);
void nve_after_frame(void *handle);
int32_t nve_encode(void *handle, ID3D11Texture2D *texture, uint8_t **data, uint32_t *size);
bool nve_accepts_rgb(void);
void nve_caps(void *handle, EncoderCaps *report);

// AMF (its accepts_rgb is nve_accepts_rgb).
void amf_destroy(void **handle);
int32_t amf_init(void **handle, ID3D11Device *device, uint32_t width, uint32_t height, uint32_t source_format,
                 RateParams *params);
void amf_update_bitrate(void *handle, RateParams *params);
void amf_after_frame(void *handle);
int32_t amf_encode(void *handle, ID3D11Texture2D *texture, uint8_t **data, uint32_t *size);
void amf_caps(void *handle, EncoderCaps *report);

// Quick Sync.
void mfxe_destroy(void **handle);
int32_t mfxe_init(void **handle, ID3D11Device *device, uint32_t width, uint32_t height,
                  uint32_t source_format, RateParams *params);
void mfxe_update_bitrate(void *handle, RateParams *params);
void mfxe_after_frame(void *handle);
int32_t mfxe_encode(void *handle, ID3D11Texture2D *texture, uint8_t **data, uint32_t *size);
bool mfxe_accepts_rgb(void);
void mfxe_caps(void *handle, EncoderCaps *report);
